#include "ts/TsDemultiplexer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "card/LogFile.h"
#include "platform/CallDeadline.h"
#include "platform/TextConv.h"
#include "platform/Time.h"
#include "ts/AsiPort.h"
#include "ts/DvbText.h"
#include "ts/LockedRingBuffer.h"
#include "ts/TsProgramEngine.h"

namespace velmora::ts {

namespace {

constexpr uint32_t kStatusIntervalMs = 2000;
constexpr uint32_t kNameChars = 16;

uint16_t PidOf(const uint8_t* packet) {
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}

// A name of the SDT record as UTF-16, at most 15 units and a zero.
void DecodeName(uint16_t* out, const char* field, uint32_t size) {
    DecodeDvbText(reinterpret_cast<const uint8_t*>(field), DvbTextLength(field, size), out,
                  kNameChars);
}

const SDT_SERVICE* FindService(const PSI_TABLES_VIEW& view, uint16_t programNumber) {
    if (!view.bHasSdt) return nullptr;
    const SDT_INFORMATION& sdt = view.Sdt;
    for (uint32_t s = 0; s < sdt.byServiceCount && s < SDT_INFORMATION::kMaxServices; ++s) {
        if (sdt.Service[s].wServiceId == programNumber) return &sdt.Service[s];
    }
    return nullptr;
}

std::unique_ptr<CLockedRingBuffer> MakeRing(uint32_t count, uint32_t size) {
    auto ring = std::make_unique<CLockedRingBuffer>();
    ring->SetSize(count, size);
    if (!ring->Allocate()) return nullptr;
    return ring;
}

}  // namespace

void CContinuityCheck::Reset() {
    std::memset(m_FirstPacket, 1, sizeof(m_FirstPacket));
    m_dwErrors = 0;
}

void CContinuityCheck::Check(const uint8_t* packet) {
    const uint16_t pid = PidOf(packet);
    const uint8_t counter = packet[3] & 0x0F;
    const bool payload = (packet[3] & 0x10) != 0;
    if (m_FirstPacket[pid]) {
        m_FirstPacket[pid] = 0;
    } else {
        const uint8_t last = m_LastCounter[pid];
        const bool inOrder = payload ? counter == ((last + 1) & 0x0F) : counter == last;
        if (!inOrder) ++m_dwErrors;
    }
    m_LastCounter[pid] = counter;
}

CTsDemultiplexer::CTsDemultiplexer(card::CVelmoraBoardSupport* pBoardSupport, uint32_t asiOff,
                                   uint32_t cardIndex, card::CLogFile* pLog)
    : m_bAsiOff(asiOff), m_pLog(pLog), m_dwCardIndex(cardIndex), m_pBoardSupport(pBoardSupport) {
    m_Continuity.Reset();
}

CTsDemultiplexer::~CTsDemultiplexer() {
    Stop();
    UdpReceiveStop();
    StopCaptureFile();
    Close();
}

uint32_t CTsDemultiplexer::Open(uint32_t packetLength, uint32_t firstWord, uint32_t endWord,
                                uint32_t port) {
    if (packetLength != 188 && packetLength != 204) return 0;
    m_dwPacketLength = packetLength;
    if (!m_bAsiOff && !m_pRawRing) m_pRawRing = MakeRing(kRingElements, kEntryBytes);
    if (!m_pPacketRing) m_pPacketRing = MakeRing(kRingElements, packetLength);
    if (!m_pIpRing) m_pIpRing = MakeRing(kRingElements, packetLength);
    if ((!m_bAsiOff && !m_pRawRing) || !m_pPacketRing || !m_pIpRing) {
        if (m_pLog) m_pLog->WriteLog(L"TsDemultiplexer: ring allocation failed");
        return 0;
    }
    m_dwFirstWord = firstWord;
    m_dwEndWord = endWord;
    m_dwPort = port;
    if (!m_bAsiOff) {
        if (!m_pInputPort) {
            m_pInputPort = std::make_unique<CAsiInputPort>(m_pBoardSupport);
            m_pInputPort->SetDmaChannel(m_dwDmaChannel);
        }
        if (!m_pInputPort->SetWindow(firstWord, endWord, port)) return 0;
    }
    if (!m_pEngine) {
        m_pEngine = std::make_unique<CTsProgramEngine>(
            m_pRawRing.get(), m_pIpRing.get(), m_pPacketRing.get(),
            static_cast<uint8_t>(packetLength), 0, m_pLog);
        if (!m_pEngine->IsReady()) {
            m_pEngine.reset();
            return 0;
        }
    }
    return 1;
}

uint32_t CTsDemultiplexer::Close() {
    Stop();
    m_pEngine.reset();
    m_pRawRing.reset();
    m_pPacketRing.reset();
    m_pIpRing.reset();
    m_pInputPort.reset();
    return 1;
}

bool CTsDemultiplexer::EngineRunning() const {
    return m_pEngine && m_pEngine->IsRunning();
}

uint32_t CTsDemultiplexer::Start() {
    if (!m_bStopped) {
        // The card's input may have been switched off under this capture:
        // another enable switches it on again.
        return m_pInputPort ? EnableInputPort() : 1;
    }
    if (!m_pPacketRing) return 0;
    if (m_pInputPort) {
        // A capture whose input stays off would answer every call and
        // deliver nothing.
        if (!EnableInputPort()) return 0;
        // What the card holds was captured before this start. It is let go
        // of once the input is on: from then on no open commits the window
        // start, and one that did before is undone here.
        m_pInputPort->StartCapture(m_dwPort);
    }
    m_bStopped = 0;
    if (!m_bAsiOff) {
        if (m_pCounted) m_pCounted->Reset();
        m_ReaderThread.Start([this] { return CaptureDmaThread(); });
        m_MoverThread.Start([this] { return PacketDistributionThread(); });
    }
    m_IpThread.Start([this] { return TsOverIpInputThread(); });
    // Work mode 1 survives a stop: the engine comes back with the capture.
    if (m_dwWorkMode == 1 && m_pEngine) m_pEngine->Start();
    return 1;
}

void CTsDemultiplexer::StopThreads() {
    m_ReaderThread.Join();
    m_MoverThread.Join();
    m_IpThread.Join();
}

uint32_t CTsDemultiplexer::Stop() {
    if (EngineRunning()) {
        m_pEngine->StopAllRecorderTasks();
        m_pEngine->Stop();
    }
    if (m_bStopped) return m_bInputReleasePending ? ReleaseInput() : 1;
    m_bStopped = 1;
    const uint32_t released = ReleaseInput();
    // The reader's last look counts what the capture lost to its end; its
    // waits for the card's locks give up once its end is awaited, so it is
    // given until the call's deadline first.
    if (m_pCounted && !m_bAsiOff) {
        m_pCounted->Wait(platform::CallDeadline::Bound(kLastCountWaitMs));
    }
    // Every producer and consumer has ended before the receiver closes and
    // the rings are emptied.
    StopThreads();
    if (m_bIpReceiving) UdpReceiveStop();
    ResetBuffers();
    if (m_pIpRing) m_pIpRing->Reset();
    return released;
}

uint32_t CTsDemultiplexer::ReleaseInput() {
    if (!m_pInputPort) return 1;
    // An input left on for want of its lock is let go of by the next stop.
    m_bInputReleasePending = !DisableInputPort();
    return m_bInputReleasePending ? 0 : 1;
}

uint32_t CTsDemultiplexer::SetPacketLength(uint32_t packetLength) {
    if (packetLength == m_dwPacketLength) return 1;
    if ((packetLength != 188 && packetLength != 204) || !m_bStopped || m_bIpReceiving ||
        !m_pEngine || !m_pPacketRing || !m_pIpRing) {
        return 0;
    }
    // The rings stay the objects the engine was given, with new storage.
    m_pPacketRing->SetSize(kRingElements, packetLength);
    m_pIpRing->SetSize(kRingElements, packetLength);
    if (!m_pPacketRing->Allocate() || !m_pIpRing->Allocate()) return 0;
    m_pEngine->SetPacketLength(static_cast<uint8_t>(packetLength));
    m_dwPacketLength = packetLength;
    return 1;
}

uint32_t CTsDemultiplexer::SetWorkMode(uint32_t mode) {
    if (mode > 2) {
        if (m_pLog) m_pLog->WriteLog(L"TsCaptureSetWorkMode: bad mode %u", mode);
        return 0;
    }
    if (mode == m_dwWorkMode) return 1;
    if (mode == 0 && EngineRunning()) m_pEngine->Stop();
    // The raw ring is handed over before its new consumer starts.
    m_dwWorkMode = mode;
    if (mode == 1 && m_pEngine && !m_pEngine->IsRunning() && !m_bStopped) {
        // The mover ends a pass it began in the old mode first.
        while (m_bMoverBusy)
            platform::Sleep(1);
        m_pEngine->Start();
    }
    return 1;
}

uint32_t CTsDemultiplexer::GetWorkMode(uint32_t* pMode) {
    if (pMode == nullptr) return 0;
    *pMode = m_dwWorkMode;
    return 1;
}

uint32_t CTsDemultiplexer::GetFillBufferNum(uint32_t* pCount) {
    if (pCount == nullptr || !m_pPacketRing) return 0;
    uint32_t fill = 0;
    uint32_t contiguous = 0;
    m_pPacketRing->GetFillCount(&fill, &contiguous);
    *pCount = std::min(fill, kMaxReported);
    return 1;
}

uint32_t CTsDemultiplexer::ReadPacketsFromBuffer(void* pDestination, uint32_t count) {
    if (pDestination == nullptr || !m_pPacketRing) return 0;
    // A count whose bytes do not fit 32 bits would wrap to a small read.
    const uint64_t bytes = uint64_t{count} * m_dwPacketLength;
    if (bytes > UINT32_MAX) return 0;
    return m_pPacketRing->Read(pDestination, static_cast<uint32_t>(bytes));
}

uint32_t CTsDemultiplexer::EnableInputPort() {
    return m_pInputPort ? m_pInputPort->EnableInput(m_dwPort) : 0;
}

uint32_t CTsDemultiplexer::DisableInputPort() {
    return m_pInputPort ? m_pInputPort->DisableInput(m_dwPort) : 0;
}

uint32_t CTsDemultiplexer::SetChannel(uint32_t channel) {
    m_dwDmaChannel = channel;
    if (m_pInputPort) m_pInputPort->SetDmaChannel(channel);
    return 1;
}

uint32_t CTsDemultiplexer::ResetBuffers() {
    if (m_pPacketRing) m_pPacketRing->Reset();
    if (m_pRawRing) m_pRawRing->Reset();
    return 1;
}

// --- Threads ----------------------------------------------------------------

uint32_t CTsDemultiplexer::CaptureDmaThread() {
    m_Continuity.Reset();
    uint64_t dropped = 0;
    uint32_t reportedErrors = 0;
    uint64_t reportedDropped = 0;
    uint32_t lastStatus = platform::TickCount();
    const auto changed = [&] {
        return m_Continuity.Errors() != reportedErrors || dropped != reportedDropped;
    };
    const auto report = [&](uint32_t now) {
        const uint32_t errors = m_Continuity.Errors();
        if (m_pLog && errors != reportedErrors) {
            m_pLog->WriteLog(L" \n Card %d  Channal %d   CC  %d", m_dwCardIndex, m_dwPort, errors);
        }
        if (m_pLog && dropped != reportedDropped) {
            m_pLog->WriteLog(
                L"TsCapture: card %u port %u entry ring full, %llu packets dropped%s",
                m_dwCardIndex, m_dwPort, static_cast<unsigned long long>(dropped),
                m_pInputPort->LostMayBeOff() ? " (may be off by a multiple of 4294967296)" : "");
        }
        reportedErrors = errors;
        reportedDropped = dropped;
        lastStatus = now;
    };
    // Packets lost while the application took its stream from IP are not
    // its loss.
    uint64_t notOurs = 0;
    uint64_t lost = 0;
    const auto count = [&] {
        const uint64_t now = m_pInputPort->LostPackets();
        if (m_dwInputSource == VELMORA_TS_INPUT_IP && m_dwWorkMode == 1) notOurs += now - lost;
        lost = now;
        dropped = lost - notOurs;
    };
    // What the card held once the reader last took from it, and since when
    // no packet has come.
    uint32_t left = 0;
    uint32_t stillSince = lastStatus;
    while (!m_bStopped) {
        uint32_t filled = 0;
        uint32_t free = 0;
        uint32_t contiguous = 0;
        // A capture that stops reading lets the card keep what comes; what
        // the card cannot keep, or lets go of for the others, is counted.
        m_pInputPort->LookAtCapture(m_dwPort, &filled);
        count();
        m_pRawRing->GetFreeCount(&free, &contiguous);
        const uint32_t looked = platform::TickCount();
        if (filled != left) {
            left = filled;
            stillSince = looked;
        }
        // Fewer than a block are taken only once no packet has come for a
        // while: the end of a stream that stopped. A stream that flows
        // keeps coming, so it is read in blocks.
        const uint32_t least = looked - stillSince >= kInputStillMs ? 1 : kMinUnits;
        if (filled >= least && free != 0) {
            const uint32_t n = std::min(filled, contiguous != 0 ? contiguous : free);
            uint8_t* write = nullptr;
            m_pRawRing->GetWritePointer(&write);
            // A failed transfer leaves nothing to publish; one whose first
            // entries the card wrote over while they were read, the rest.
            uint32_t read = 0;
            if (m_pInputPort->ReadDma(write, n, m_dwPort, &read)) {
                // The mode is read with the file it belongs to: a file started
                // for one PID never takes a packet under the mode before it.
                std::lock_guard<platform::CCriticalSection> capture(m_CaptureLock);
                const uint32_t onePid = m_dwCaptureMode != 0;
                for (uint32_t i = 0; i < read; ++i) {
                    const uint8_t* packet = write + i * kEntryBytes + 4;
                    if (PidOf(packet) != 0x1FFF) CheckContinuity(packet);
                    WriteCaptureFile(packet, onePid);
                }
                m_pRawRing->CommitWrite(read);
                left = filled - n;
            }
        }
        const uint32_t now = platform::TickCount();
        if (changed() && now - lastStatus > kStatusIntervalMs) report(now);
        platform::Sleep(1);
    }
    // The counts of the capture's last moments are told too.
    m_pInputPort->LookAtCapture(m_dwPort, nullptr, true);
    count();
    if (changed()) report(platform::TickCount());
    if (m_pCounted) m_pCounted->Set();
    return 0;
}

uint32_t CTsDemultiplexer::PacketDistributionThread() {
    while (!m_bStopped) {
        m_bMoverBusy = 1;
        if (m_dwWorkMode != 0) {
            m_bMoverBusy = 0;
            platform::Sleep(1);
            continue;
        }
        uint32_t fill = 0;
        uint32_t free = 0;
        uint32_t contiguous = 0;
        m_pRawRing->GetFillCount(&fill, &contiguous);
        m_pPacketRing->GetFreeCount(&free, &contiguous);
        const uint32_t n = std::min(fill, free);
        if (n == 0) {
            m_bMoverBusy = 0;
            platform::Sleep(1);
            continue;
        }
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t* entry = nullptr;
            m_pRawRing->GetReadPointer(&entry);
            m_pPacketRing->WriteElement(entry + 4, m_dwPacketLength);
            m_pRawRing->CommitRead(1);
        }
        m_bMoverBusy = 0;
    }
    return 0;
}

uint32_t CTsDemultiplexer::TsOverIpInputThread() {
    while (!m_bStopped) {
        uint32_t filled = 0;
        uint32_t free = 0;
        uint32_t contiguous = 0;
        bool moved = false;
        {
            // The receiver is not closed under a read.
            std::lock_guard<platform::CCriticalSection> lock(m_IpLock);
            if (m_bIpReceiving) m_IpReceiver.GetFillPacketNum(&filled);
            m_pIpRing->GetFreeCount(&free, &contiguous);
            if (filled != 0 && free != 0) {
                const uint32_t n = std::min(filled, contiguous != 0 ? contiguous : free);
                uint8_t* write = nullptr;
                m_pIpRing->GetWritePointer(&write);
                // Only what the receiver gave is published.
                if (m_IpReceiver.ReadPackets(write, n) == n * m_dwPacketLength) {
                    m_pIpRing->CommitWrite(n);
                    moved = true;
                }
            }
        }
        if (!moved) platform::Sleep(1);
    }
    return 0;
}

// --- Program information ----------------------------------------------------

uint32_t CTsDemultiplexer::GetProgramInformation(TS_PROGRAM_INFORMATION* pInformation,
                                                 uint32_t* pState) {
    if (pInformation == nullptr || pState == nullptr) return 0;
    if (!EngineRunning()) {
        *pState = 0;
        return 0;
    }
    std::memset(pInformation, 0, sizeof(*pInformation));
    auto view = std::make_unique<PSI_TABLES_VIEW>();
    if (!m_pEngine->GetPsiTables(view.get())) return 0;
    TS_ENGINE_STATISTICS statistics;
    m_pEngine->GetStreamStatistics(&statistics);
    const PAT_INFORMATION& pat = view->Pat;
    const uint32_t count = pat.byProgramCount;
    if (view->dwPatEntryCount > VELMORA_TS_MAX_PROGRAMS) {
        *pState = 255;
        return 0;
    }
    if (count == 0) {
        *pState = 1;
        return 1;
    }
    TS_PROGRAM_INFORMATION& info = *pInformation;
    info.dRateMark = statistics.dRateMark;
    info.dRateHighFirst = statistics.dRateHighFirst;
    info.dRateHighSecond = statistics.dRateHighSecond;
    info.dRateHighSecondLessNull = statistics.dRateHighLessNull;
    info.dwProgramCount = count;
    info.dwOriginalNetworkId = view->bHasSdt ? view->Sdt.wOriginalNetworkId : 65535;
    info.dwTransportStreamId = pat.wTransportStreamId;
    const CAT_INFORMATION& cat = view->Cat;
    const uint32_t caCount = std::min<uint32_t>(cat.byCaCount, CAT_INFORMATION::kMaxCaPairs);
    info.byCaCount = static_cast<uint8_t>(caCount);
    for (uint32_t i = 0; i < caCount; ++i) {
        info.Ca[i] = {cat.Ca[i].wCaSystemId, cat.Ca[i].wCaPid};
    }
    uint32_t k = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const PAT_PROGRAM& entry = pat.Program[i];
        if (entry.wProgramNumber == 0) {
            --info.dwProgramCount;
            continue;
        }
        TS_PROGRAM_ENTRY& out = info.Program[k++];
        std::memset(&out, 0, sizeof(out));
        out.dwProgramNumber = entry.wProgramNumber;
        // Each name is written whole: nothing of the other is left after its
        // terminator.
        if (const SDT_SERVICE* service = FindService(*view, entry.wProgramNumber)) {
            DecodeName(out.szServiceName, service->szServiceName, SDT_SERVICE::kNameSize);
            DecodeName(out.szProviderName, service->szProviderName, SDT_SERVICE::kProviderSize);
        } else {
            DecodeName(out.szServiceName, "NO Service", sizeof("NO Service"));
            DecodeName(out.szProviderName, "NO Provider", sizeof("NO Provider"));
        }
        out.wPmtPid = entry.wPid;
        for (uint32_t p = 0; p < count; ++p) {
            const PMT_INFORMATION& pmt = view->Pmt[p];
            if (pmt.wProgramNumber != entry.wProgramNumber) continue;
            out.byCaCount = std::min<uint8_t>(pmt.byCaCount, VELMORA_TS_PROGRAM_MAX_CA);
            for (uint32_t c = 0; c < out.byCaCount; ++c) {
                out.Ca[c] = {pmt.Ca[c].wCaSystemId, pmt.Ca[c].wCaPid};
            }
            out.byStreamCount =
                std::min<uint8_t>(pmt.byStreamCount, VELMORA_TS_PROGRAM_MAX_STREAMS);
            for (uint32_t s = 0; s < out.byStreamCount; ++s) {
                out.Stream[s].byStreamType = pmt.Stream[s].byStreamType;
                out.Stream[s].wElementaryPid = pmt.Stream[s].wElementaryPid;
                out.Stream[s].byZero = pmt.Stream[s].byZero;
            }
            out.dwScrambled = pmt.dwScrambled;
            break;
        }
    }
    *pState = 2;
    return 1;
}

uint32_t CTsDemultiplexer::SetFilteredProgram(int32_t count, FILTERED_PROGRAM* pList) {
    if (!EngineRunning()) return 0;
    return m_pEngine->SetFilteredProgram(count, pList);
}

uint32_t CTsDemultiplexer::GetRecorderLength(uint32_t programNumber, RECORD_LENGTH* pLength) {
    if (!m_pEngine) return 0;
    return m_pEngine->GetRecorderLength(programNumber, pLength);
}

uint32_t CTsDemultiplexer::GetRecorderErrorCounts(uint32_t programNumber,
                                                  record::RECORDER_ERROR_COUNTS* pCounts) {
    if (!m_pEngine) return 0;
    return m_pEngine->GetRecorderErrorCounts(programNumber, pCounts);
}

uint32_t CTsDemultiplexer::GetNitInformation(NIT_INFORMATION* pNit) {
    if (!m_pEngine) return 0;
    return m_pEngine->GetAnalysedNit(pNit);
}

// --- PES time stamps (no path calls these) ----------------------------------

uint32_t CTsDemultiplexer::ProcessPacketTimeStamp(const uint8_t* pEntry, uint64_t* pOut) {
    if (pEntry == nullptr || pOut == nullptr || pEntry[4] != 0x47) return 0;
    uint8_t packet[204];
    std::memcpy(packet, pEntry + 4, m_dwPacketLength);
    return FindPesHeader(packet, pOut);
}

uint32_t CTsDemultiplexer::DecodePesTimeStamp(const uint8_t* pPes, uint64_t* pOut) {
    if (pPes == nullptr || pOut == nullptr) return 0;
    const uint8_t id = pPes[3];
    if (!((id >= 0xE0 && id <= 0xEF) || (id >= 0xC0 && id <= 0xCF))) return 0;
    const uint8_t flags = pPes[7] >> 6;
    const uint8_t* stamp = flags == 3 ? pPes + 14 : pPes + 9;
    uint64_t value = 0;
    if (flags >= 2) {
        value = (uint64_t{stamp[0] & 0x0Eu} << 29) | (uint64_t{stamp[1]} << 22) |
                (uint64_t{stamp[2] & 0xFEu} << 14) | (uint64_t{stamp[3]} << 7) | (stamp[4] >> 1);
    }
    // The 27 MHz value of the DTS (or PTS).
    *pOut = value * 300;
    return 1;
}

uint32_t CTsDemultiplexer::FindPesHeader(const uint8_t* pPacket, uint64_t* pOut) {
    if (pPacket == nullptr || pOut == nullptr) return 0;
    if (!(pPacket[1] & 0x40) || !(pPacket[3] & 0x10)) return 0;
    uint32_t start = 4;
    if (pPacket[3] & 0x20) {
        start = 5u + pPacket[4];
        if (start >= m_dwPacketLength) return 0;
    }
    if (start + 10 > m_dwPacketLength) return 0;
    const uint8_t* payload = pPacket + start;
    if (payload[0] != 0 || payload[1] != 0 || payload[2] != 1) return 0;
    if (start + payload[8] + 9u > m_dwPacketLength) return 0;
    uint8_t copy[204] = {};
    std::memcpy(copy, payload, m_dwPacketLength - start);
    return DecodePesTimeStamp(copy, pOut);
}

uint32_t CTsDemultiplexer::OpenDebugDumpFile() {
    // Anyone may write in the temporary folder: each dump is a new file of
    // this user's alone under a name of its own, never one that a link or an
    // earlier dump leads to.
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    std::string path =
        ((error ? std::filesystem::path("/tmp") : folder) / "TsDemultiplexerDump-XXXXXX.ts")
            .string();
    const int descriptor = ::mkostemps(path.data(), 3, O_CLOEXEC);
    if (descriptor < 0) return 0;
    ::close(descriptor);
    return 1;
}

// --- TS over IP -------------------------------------------------------------

uint32_t CTsDemultiplexer::UdpReceiveStop() {
    std::lock_guard<platform::CCriticalSection> lock(m_IpLock);
    if (!m_bIpReceiving) return 0;
    m_bIpReceiving = 0;
    return m_IpReceiver.Close();
}

uint32_t CTsDemultiplexer::UdpReceiveRun() {
    {
        std::lock_guard<platform::CCriticalSection> lock(m_IpLock);
        if (m_bIpReceiving ||
            !ts_over_ip::MatchesCardPacketLength(m_IpReceiver.GetPacketLength(), m_dwPacketLength,
                                                 m_pLog) ||
            !m_IpReceiver.Open()) {
            return 0;
        }
    }
    platform::Sleep(10);
    m_bIpReceiving = 1;
    return 1;
}

uint32_t CTsDemultiplexer::SetReceiveParameter(TS_OVER_IP_PARAM param) {
    if (!ts_over_ip::MatchesCardPacketLength(param.dwPacketLength, m_dwPacketLength, m_pLog))
        return 0;
    return m_IpReceiver.SetParameter(param);
}

uint32_t CTsDemultiplexer::SetInputSource(uint32_t source) {
    if (source > 1 || source == m_dwInputSource || !m_pEngine) return 0;
    m_pEngine->SetInputSource(source == 0 ? 1 : 0);
    m_dwInputSource = source;
    return 1;
}

// --- Recorder, files --------------------------------------------------------

uint32_t CTsDemultiplexer::AddRecorderProgram(const record::RECORDER_TASK_REQUEST* pRequest) {
    if (!EngineRunning()) return 0;
    return m_pEngine->StartRecorderTask(pRequest) == 0 ? 1 : 0;
}

uint32_t CTsDemultiplexer::RemoveRecorderProgram(uint32_t programNumber) {
    if (!m_pEngine) return 0;
    record::RECORDER_TASK_REQUEST request = {};
    request.dwProgramNumber = programNumber;
    return m_pEngine->StopRecorderTask(&request) > 0 ? 0 : 1;
}

void CTsDemultiplexer::StopRecorders() {
    if (m_pEngine) m_pEngine->StopAllRecorderTasks();
}

uint32_t CTsDemultiplexer::StartWriteTsFile(const wchar_t* fileName) {
    if (!m_pEngine) return 0;
    // The program engine writes the file: outside work mode 1 nothing would
    // reach it unless the engine runs on (work mode 2 set after 1, until the
    // next disable stops it).
    if (m_dwWorkMode != 1 && !EngineRunning()) {
        if (m_pLog)
            m_pLog->WriteLog(
                L"StartWriteTsFile: refused in work mode %u: the program engine, which writes the "
                L"file, is not running (it runs in work mode 1, and on in work mode 2 set after 1 "
                L"until a disable)",
                m_dwWorkMode.load());
        return 0;
    }
    return m_pEngine->OpenStreamFile(fileName);
}

uint32_t CTsDemultiplexer::StopWriteTsFile() {
    return m_pEngine ? m_pEngine->CloseStreamFile() : 0;
}

uint32_t CTsDemultiplexer::StartCaptureFile(const wchar_t* path, uint32_t mode, uint32_t pid,
                                            platform::FileCreation creation) {
    if (path == nullptr || path[0] == 0) return 0;
    std::lock_guard<platform::CCriticalSection> lock(m_CaptureLock);
    if (m_pCaptureFile == nullptr) {
        const std::string name = platform::WideToUtf8(path);
        const char* whyNot = nullptr;
        m_pCaptureFile = platform::ExclusiveFile::Create(name, &whyNot, creation);
        if (m_pCaptureFile == nullptr) {
            if (m_pLog) m_pLog->WriteLogA("StartCaptureFile: %s %s: refused", name.c_str(), whyNot);
            return 0;
        }
    }
    m_bCaptureFileOn = 1;
    m_dwCapturePid = pid;
    m_dwCaptureMode = mode & 0xFF;
    return 1;
}

uint32_t CTsDemultiplexer::StopCaptureFile() {
    std::lock_guard<platform::CCriticalSection> lock(m_CaptureLock);
    m_bCaptureFileOn = 0;
    m_pCaptureFile.reset();
    m_dwCaptureMode = 0;
    return 1;
}

void CTsDemultiplexer::WriteCaptureFile(const uint8_t* pPacket, uint32_t onePid) {
    if (pPacket == nullptr || !m_bCaptureFileOn) return;
    std::lock_guard<platform::CCriticalSection> lock(m_CaptureLock);
    if (m_pCaptureFile == nullptr || !m_bCaptureFileOn) return;
    if (onePid == 0 || PidOf(pPacket) == m_dwCapturePid) {
        std::fwrite(pPacket, 1, m_dwPacketLength, m_pCaptureFile->Stream());
    }
}

}  // namespace velmora::ts

#include "ts/TsMultiplexer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

#include "card/LogFile.h"
#include "platform/Time.h"
#include "platform/Trace.h"
#include "ts/AsiPort.h"
#include "ts/LockedRingBuffer.h"

namespace velmora::ts {

namespace {

constexpr uint32_t kStatusIntervalMs = 2000;
constexpr uint32_t kAnalysisPacket = 188;
// A trace line each time this many more packets were dropped from the IP copy.
constexpr uint64_t kIpDropReport = 2000;

std::unique_ptr<CLockedRingBuffer> MakeRing(uint32_t count, uint32_t size) {
    auto ring = std::make_unique<CLockedRingBuffer>();
    ring->SetSize(count, size);
    if (!ring->Allocate()) return nullptr;
    return ring;
}

uint16_t PidOf(const uint8_t* packet) {
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}

}  // namespace

// The sender's lines go to the process's log: the writer handed in is the
// status line's, which the main function leaves unwritten.
CTsMultiplexer::CTsMultiplexer(card::CVelmoraBoardSupport* pBoardSupport,
                               CTsMultiplexerClient* pClient, uint32_t cardIndex,
                               card::CLogFile* pLog)
    : m_pBoardSupport(pBoardSupport),
      m_pClient(pClient),
      m_IpSender(&card::g_LogFile),
      m_pLog(pLog),
      m_dwCardIndex(cardIndex) {
    m_Continuity.Reset();
}

CTsMultiplexer::~CTsMultiplexer() {
    Stop();
    UdpStop();
    DestroyVideoAnalysis();
    Close();
}

uint32_t CTsMultiplexer::ComputeGapWord(uint32_t bitRate, uint32_t packetLength,
                                        ASI_GAP_WORD* pGap) {
    if (bitRate == 0 || pGap == nullptr || bitRate >= kAsiRate) return 0;
    const double rate = bitRate;
    const double length = packetLength;
    const double g = length * (kAsiRate - rate) / rate;
    const uint64_t gi = static_cast<uint64_t>(g);
    uint64_t high = static_cast<uint64_t>(g / length);
    // The card sends (P - 1) x H + L + 2 idle bytes: at least 2, and H must
    // leave L room in its 16 bits.
    if (gi < 2 || high > 65535u - packetLength) return 0;
    int64_t low = static_cast<int64_t>(gi % packetLength) + static_cast<int64_t>(high) - 2;
    if (low < 0) {
        // One H less is P - 1 more L: the same idle.
        --high;
        low += packetLength - 1;
    }
    pGap->wHigh = static_cast<uint16_t>(high);
    pGap->wLow = static_cast<uint16_t>(low);
    pGap->dFraction = g - static_cast<double>(gi);
    return 1;
}

uint32_t CTsMultiplexer::Open(uint32_t packetLength, uint32_t firstWord, uint32_t endWord,
                              uint32_t port) {
    if (packetLength != 188 && packetLength != 204) return 0;
    m_dwPacketLength = packetLength;
    if (!m_pPacketRing) m_pPacketRing = MakeRing(kRingElements, packetLength);
    if (!m_pEntryRing) m_pEntryRing = MakeRing(kRingElements, kEntryBytes);
    if (!m_pPacketRing || !m_pEntryRing) {
        if (m_pLog) m_pLog->WriteLog(L"TsMultiplexer: ring allocation failed");
        return 0;
    }
    m_dwFirstWord = firstWord;
    m_dwEndWord = endWord;
    m_dwPort = port;
    if (!m_pOutputPort) {
        m_pOutputPort = std::make_unique<CAsiOutputPort>(m_pBoardSupport);
        m_pOutputPort->SetDmaChannel(m_dwDmaChannel);
    }
    return m_pOutputPort->SetWindow(firstWord, endWord, port);
}

uint32_t CTsMultiplexer::Close() {
    Stop();
    m_pPacketRing.reset();
    m_pEntryRing.reset();
    m_pOutputPort.reset();
    return 1;
}

uint32_t CTsMultiplexer::Start() {
    if (!m_bStopped) return 1;
    if (!m_pPacketRing || !m_pEntryRing || !m_pOutputPort) return 0;
    // Another process, or this one before a close, may have played last.
    if (!m_pOutputPort->FollowCardReadPointer(m_dwPort, kDrainWaitMs))
        card::g_LogFile.WriteLog(L"TsPlaybackEnable: the card's read pointer is not usable");
    m_pPacketRing->Reset();
    m_pEntryRing->Reset();
    m_byRecordFlag = 0;
    m_Continuity.Reset();
    m_dwSyncErrors = 0;
    m_bReported = false;
    m_bStopped = 0;
    m_DmaThread.Start([this] { return DmaOutputThread(); });
    if (m_dwThreadMode == kClientThreadMode) {
        m_PacingThread.Start([this] { return ClientPacedOutputThread(); });
    } else {
        m_PacingThread.Start([this] { return PacedOutputThread(); });
    }
    return 1;
}

uint32_t CTsMultiplexer::Stop() {
    if (m_bStopped) return 1;
    m_bStopped = 1;
    m_byRecordFlag = 0;
    m_DmaThread.Join();
    m_PacingThread.Join();
    uint32_t free = 0;
    m_pOutputPort->GetFreeUnits(&free, m_dwPort);
    const uint32_t start = platform::TickCount();
    while (free != kEmptyCardUnits && platform::TickCount() - start < kDrainWaitMs) {
        platform::Sleep(1);
        m_pOutputPort->GetFreeUnits(&free, m_dwPort);
        ReleasePlayedToIp(free);
    }
    // What a slow stream left in the card's window would otherwise play ahead
    // of the next stream enabled.
    if (free != kEmptyCardUnits) m_pOutputPort->ReplacePending(m_dwPort);
    UdpStop();
    return 1;
}

uint32_t CTsMultiplexer::SetPacketLength(uint32_t packetLength) {
    if (packetLength == m_dwPacketLength) return 1;
    if ((packetLength != 188 && packetLength != 204) || !m_bStopped || m_bTsOverIpOn ||
        !m_pPacketRing) {
        return 0;
    }
    m_pPacketRing->SetSize(kRingElements, packetLength);
    if (!m_pPacketRing->Allocate()) return 0;
    m_dwPacketLength = packetLength;
    return 1;
}

uint32_t CTsMultiplexer::SetBitRate(uint32_t bitRate) {
    return SetBitRate(bitRate, m_dwPacketLength);
}

uint32_t CTsMultiplexer::SetBitRate(uint32_t bitRate, uint32_t nextPacketLength) {
    // Running, the rate is paced at the length of the packets under way;
    // stopped, at the length the next start takes.
    const uint32_t packetLength = m_bStopped ? nextPacketLength : m_dwPacketLength;
    ASI_GAP_WORD gap;
    if (!ComputeGapWord(bitRate, packetLength, &gap)) {
        if (m_pLog) m_pLog->WriteLog(L"TsPlaybackSetBitRate: rate %u refused", bitRate);
        return 0;
    }
    m_dwBitRate = bitRate;
    return 1;
}

uint32_t CTsMultiplexer::SetOutputMode(uint32_t mode) {
    m_dwOutputMode = mode;
    return 1;
}

uint32_t CTsMultiplexer::GetOutputMode(uint32_t* pMode) {
    if (pMode == nullptr) return 0;
    *pMode = m_dwOutputMode;
    return 1;
}

uint32_t CTsMultiplexer::GetEmptyBufferNum(uint32_t* pCount) {
    if (pCount == nullptr || !m_pPacketRing) return 0;
    uint32_t free = 0;
    uint32_t contiguous = 0;
    m_pPacketRing->GetFreeCount(&free, &contiguous);
    *pCount = std::min(free, kMaxReported);
    return 1;
}

uint32_t CTsMultiplexer::GetCardClock(uint64_t* pClock) {
    if (pClock == nullptr) return 0;
    uint64_t clock = 0;
    if (!m_pOutputPort || !m_pOutputPort->GetCardClock(&clock)) {
        *pClock = 0;
        return 0;
    }
    *pClock = clock * 100;
    return 1;
}

uint32_t CTsMultiplexer::WritePacketsToBuffer(const void* pSource, uint32_t count) {
    if (pSource == nullptr || !m_pPacketRing) return 0;
    // A count whose bytes do not fit 32 bits would wrap to a small write.
    const uint64_t bytes = uint64_t{count} * m_dwPacketLength;
    if (bytes > UINT32_MAX) return 0;
    return m_pPacketRing->Write(pSource, static_cast<uint32_t>(bytes));
}

uint32_t CTsMultiplexer::SetChannel(uint32_t channel) {
    m_dwDmaChannel = channel;
    if (m_pOutputPort) m_pOutputPort->SetDmaChannel(channel);
    return 1;
}

uint32_t CTsMultiplexer::SetCodeRateTrack(uint32_t on) {
    m_dwCodeRateTrack = on;
    return 1;
}

// --- TS over IP -------------------------------------------------------------

uint32_t CTsMultiplexer::SetTsOverIpParameter(TS_OVER_IP_PARAM param) {
    if (!ts_over_ip::MatchesCardPacketLength(param.dwPacketLength, m_dwPacketLength, m_pLog))
        return 0;
    return m_IpSender.SetParameter(param);
}

uint32_t CTsMultiplexer::UdpRun() {
    {
        std::lock_guard<platform::CCriticalSection> lock(m_IpLock);
        if (m_bTsOverIpOn ||
            !ts_over_ip::MatchesCardPacketLength(m_IpSender.GetPacketLength(), m_dwPacketLength,
                                                 m_pLog) ||
            !m_IpSender.Open()) {
            return 0;
        }
        m_qwIpDrops = 0;
    }
    platform::Sleep(10);
    m_bTsOverIpOn = 1;
    return 1;
}

uint32_t CTsMultiplexer::UdpStop() {
    std::lock_guard<platform::CCriticalSection> lock(m_IpLock);
    if (!m_bTsOverIpOn) return 0;
    m_bTsOverIpOn = 0;
    m_IpOnCard.clear();
    return m_IpSender.Close();
}

void CTsMultiplexer::CountIpDrops(uint32_t count) {
    const uint64_t before = m_qwIpDrops;
    m_qwIpDrops += count;
    for (uint64_t at = (before / kIpDropReport + 1) * kIpDropReport; at <= m_qwIpDrops;
         at += kIpDropReport) {
        platform::OutputDebugString("\n TsOverIp: Drop " + std::to_string(at) + " TsPacket!");
    }
}

void CTsMultiplexer::CopyToIp(const uint8_t* entries, uint32_t count) {
    std::lock_guard<platform::CCriticalSection> lock(m_IpLock);
    const uint64_t first = m_qwCardEntries;
    m_qwCardEntries += count;
    if (!m_bTsOverIpOn) return;
    uint32_t free = 0;
    m_IpSender.GetEmptyBufferNum(&free);
    // The card's output never waits for the network.
    const uint32_t copied = std::min(count, free);
    for (uint32_t i = 0; i < copied; ++i)
        m_IpSender.WritePackets(entries + uint64_t{i} * kEntryBytes + 4, 1);
    CountIpDrops(count - copied);
    if (copied == 0) return;
    if (!m_IpOnCard.empty() && m_IpOnCard.back().qwFirst + m_IpOnCard.back().dwCount == first) {
        m_IpOnCard.back().dwCount += copied;
    } else {
        m_IpOnCard.push_back({first, copied});
    }
}

void CTsMultiplexer::ReleasePlayedToIp(uint32_t freeUnits) {
    std::lock_guard<platform::CCriticalSection> lock(m_IpLock);
    if (!m_bTsOverIpOn) return;
    // The card plays in order: the entries still on it are the latest it
    // took.
    const uint64_t onCard = kEmptyCardUnits - std::min(freeUnits, kEmptyCardUnits);
    const uint64_t played = m_qwCardEntries - std::min(onCard, m_qwCardEntries);
    while (!m_IpOnCard.empty() && m_IpOnCard.front().qwFirst < played) {
        IP_COPY_RUN& run = m_IpOnCard.front();
        const uint32_t gone =
            static_cast<uint32_t>(std::min<uint64_t>(run.dwCount, played - run.qwFirst));
        m_IpSender.ReleasePackets(gone);
        run.qwFirst += gone;
        run.dwCount -= gone;
        if (run.dwCount == 0) m_IpOnCard.pop_front();
    }
}

// --- Pacing -----------------------------------------------------------------

void CTsMultiplexer::WaitForRate() {
    while (m_dwBitRate == 0 && !m_bStopped && !m_dwCodeRateTrack)
        platform::Sleep(1);
}

bool CTsMultiplexer::ApplyRate(uint32_t rate, ASI_GAP_WORD* pGap) {
    if (!ComputeGapWord(rate, m_dwPacketLength, pGap)) return false;
    m_pOutputPort->SetOutputControl(static_cast<uint8_t>(pGap->wHigh), 0, m_dwPort);
    return true;
}

void CTsMultiplexer::FinishEntry(uint8_t* entry, const ASI_GAP_WORD& gap, double* pAccumulator) {
    uint16_t low = gap.wLow;
    if (*pAccumulator > 0.0) {
        low = static_cast<uint16_t>(low + 1);
        *pAccumulator -= 1.0;
    }
    entry[0] = static_cast<uint8_t>(gap.wHigh >> 8);
    entry[1] = static_cast<uint8_t>(gap.wHigh);
    entry[2] = static_cast<uint8_t>(low >> 8);
    entry[3] = static_cast<uint8_t>(low);
    const uint8_t* packet = entry + 4;
    if (packet[0] == 0x47) {
        if (PidOf(packet) != 0x1FFF) CheckContinuity(packet);
    } else {
        ++m_dwSyncErrors;
    }
    *pAccumulator += gap.dFraction;
    m_pEntryRing->CommitWrite(1);
}

void CTsMultiplexer::ReportStatus() {
    const uint32_t sync = m_dwSyncErrors;
    const uint32_t continuity = m_Continuity.Errors();
    if (sync == m_dwReportedSync && continuity == m_dwReportedContinuity) return;
    const uint32_t now = platform::TickCount();
    if (m_bReported && now - m_dwLastReport <= kStatusIntervalMs) return;
    if (m_pLog) {
        m_pLog->WriteLog(L" \n TP Card %dC %d S_Err %d CC %d", m_dwCardIndex, m_dwPort, sync,
                         continuity);
    }
    m_dwReportedSync = sync;
    m_dwReportedContinuity = continuity;
    m_dwLastReport = now;
    m_bReported = true;
}

template <typename Fill>
uint32_t CTsMultiplexer::PacedLoop(Fill fill) {
    double accumulator = 0.0;
    WaitForRate();
    ASI_GAP_WORD gap = {0, 0, 0.0};
    uint32_t applied = 0;
    if (m_dwBitRate != 0 && ApplyRate(m_dwBitRate, &gap)) applied = m_dwBitRate;
    while (!m_bStopped) {
        // A new rate is picked up, also one set after tracking started us.
        const uint32_t rate = m_dwBitRate;
        if (rate != 0 && rate != applied && ApplyRate(rate, &gap)) applied = rate;
        // Output mode 1 pauses; no other mode moves anything.
        if (m_dwOutputMode != 0) {
            platform::Sleep(1);
            continue;
        }
        uint32_t free = 0;
        uint32_t contiguous = 0;
        m_pEntryRing->GetFreeCount(&free, &contiguous);
        const uint32_t moved = free == 0 ? 0 : fill(free, gap, &accumulator);
        if (moved == 0) platform::Sleep(1);
        ReportStatus();
    }
    return 0;
}

uint32_t CTsMultiplexer::PacedOutputThread() {
    return PacedLoop([this](uint32_t free, const ASI_GAP_WORD& gap, double* accumulator) {
        uint32_t fill = 0;
        uint32_t contiguous = 0;
        m_pPacketRing->GetFillCount(&fill, &contiguous);
        const uint32_t n = std::min(fill, free);
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t* entry = nullptr;
            m_pEntryRing->GetWritePointer(&entry);
            m_pPacketRing->ReadElement(entry + 4, m_dwPacketLength);
            FinishEntry(entry, gap, accumulator);
        }
        return n;
    });
}

uint32_t CTsMultiplexer::ClientPacedOutputThread() {
    return PacedLoop([this](uint32_t free, const ASI_GAP_WORD& gap, double* accumulator) {
        uint32_t n = 0;
        while (m_pClient != nullptr && n < free) {
            uint8_t* entry = nullptr;
            m_pEntryRing->GetWritePointer(&entry);
            if (m_pClient->FillEntries(entry, 1, kEntryBytes) != 1) break;
            std::memmove(entry + 4, entry, m_dwPacketLength);
            FinishEntry(entry, gap, accumulator);
            ++n;
        }
        return n;
    });
}

uint32_t CTsMultiplexer::ClientOutputThread() {
    while (!m_bStopped) {
        uint32_t free = 0;
        uint32_t contiguous = 0;
        m_pEntryRing->GetFreeCount(&free, &contiguous);
        const uint32_t room = contiguous != 0 ? contiguous : free;
        uint8_t* entry = nullptr;
        m_pEntryRing->GetWritePointer(&entry);
        const uint32_t filled = room != 0 && m_pClient != nullptr
                                    ? m_pClient->FillEntries(entry, room, kEntryBytes)
                                    : 0;
        if (filled == 0) {
            platform::Sleep(1);
            continue;
        }
        m_pEntryRing->CommitWrite(std::min(filled, room));
    }
    return 0;
}

// --- DMA --------------------------------------------------------------------

void CTsMultiplexer::WriteEntries(uint32_t count) {
    uint8_t* read = nullptr;
    m_pEntryRing->GetReadPointer(&read);
    // A failed transfer is logged by the port; its entries are not resent,
    // nor sent over IP, since they never play.
    if (m_pOutputPort->WriteDma(read, count, m_dwPort)) CopyToIp(read, count);
    m_pEntryRing->CommitRead(count);
}

uint32_t CTsMultiplexer::DmaOutputThread() {
    WaitForRate();
    while (!m_bStopped) {
        uint32_t fill = 0;
        uint32_t contiguous = 0;
        m_pEntryRing->GetFillCount(&fill, &contiguous);
        if (fill >= kDmaStartEntries) break;
        platform::Sleep(1);
    }
    while (!m_bStopped) {
        uint32_t free = 0;
        uint32_t fill = 0;
        uint32_t contiguous = 0;
        m_pOutputPort->GetFreeUnits(&free, m_dwPort);
        ReleasePlayedToIp(free);
        m_pEntryRing->GetFillCount(&fill, &contiguous);
        const uint32_t n = std::min(free, fill);
        if (n >= 1 && free >= kMinUnits) {
            if (contiguous != 0 && contiguous < n) {
                WriteEntries(contiguous);
                WriteEntries(n - contiguous);
            } else {
                WriteEntries(n);
            }
        }
        platform::Sleep(1);
    }
    return 0;
}

uint32_t CTsMultiplexer::FindSyncOffset(const uint8_t* pBuffer, uint32_t count,
                                        uint32_t* pOffset) const {
    if (pOffset == nullptr) return 0;
    *pOffset = 0;
    if (pBuffer == nullptr || count == 0) return 0;
    const uint32_t total = count * m_dwPacketLength;
    for (uint32_t i = 0; i + 2 * m_dwPacketLength < total; ++i) {
        if (pBuffer[i] == 0x47 && pBuffer[i + m_dwPacketLength] == 0x47 &&
            pBuffer[i + 2 * m_dwPacketLength] == 0x47) {
            *pOffset = i;
            break;
        }
    }
    return 1;
}

// --- Video analysis (fed by a client; no path of the card starts it) --------

uint32_t CTsMultiplexer::CreateVideoAnalysis() {
    if (m_pAnalysisFeeder) return 1;
    m_pAnalysisRing = MakeRing(kRingElements, kAnalysisPacket);
    if (!m_pAnalysisRing) return 0;
    m_pAnalysisFeeder = std::make_unique<record::CTsBufferAnalyzeFeeder>(m_pAnalysisRing.get());
    return 1;
}

uint32_t CTsMultiplexer::DestroyVideoAnalysis() {
    EnableVideoAnalysis(0, 0);
    m_pAnalysisFeeder.reset();
    m_pAnalysisRing.reset();
    return 1;
}

uint32_t CTsMultiplexer::EnableVideoAnalysis(uint32_t on, uint32_t) {
    if (on) {
        if (!m_pAnalysisFeeder || m_bAnalysisRun) return 0;
        m_bAnalysisRun = 1;
        m_AnalysisThread.Start([this] { return VideoAnalysisThread(); });
        m_pAnalysisFeeder->Start(this);
        return 0;
    }
    if (!m_bAnalysisRun) return 1;
    if (m_pAnalysisFeeder) m_pAnalysisFeeder->Stop();
    m_bAnalysisRun = 0;
    m_AnalysisThread.Join();
    return 1;
}

uint32_t CTsMultiplexer::VideoAnalysisThread() {
    while (m_bAnalysisRun) {
        uint32_t free = 0;
        uint32_t contiguous = 0;
        m_pAnalysisRing->GetFreeCount(&free, &contiguous);
        const uint32_t room = contiguous != 0 ? contiguous : free;
        uint8_t* write = nullptr;
        m_pAnalysisRing->GetWritePointer(&write);
        const uint32_t filled = room != 0 && m_pClient != nullptr
                                    ? m_pClient->FillAnalysisPackets(write, room, kAnalysisPacket)
                                    : 0;
        if (filled == 0) {
            platform::Sleep(1);
            continue;
        }
        m_pAnalysisRing->CommitWrite(std::min(filled, room));
    }
    return 0;
}

}  // namespace velmora::ts

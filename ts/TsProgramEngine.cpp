#include "ts/TsProgramEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "card/LogFile.h"
#include "platform/TextConv.h"
#include "platform/Time.h"
#include "platform/Trace.h"
#include "ts/CirBuffer.h"
#include "ts/Crc32Mpeg.h"
#include "ts/LockedRingBuffer.h"

namespace velmora::ts {

uint8_t g_TsPacketLength = 188;

namespace {

constexpr uint16_t kPidPat = 0x00;
constexpr uint16_t kPidCat = 0x01;
constexpr uint16_t kPidNit = 0x10;
constexpr uint16_t kPidSdt = 0x11;
constexpr uint16_t kInitialWatched[] = {0x00, 0x11, 0x10, 0x12, 0x01, 0x14, 0x13};
constexpr uint32_t kStatusIntervalMs = 2000;

uint16_t PidOf(const uint8_t* packet) {
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}

SECTION_FILTER TableFilter(uint8_t tableId) {
    SECTION_FILTER filter = {};
    filter.byValue[0] = tableId;
    filter.byMask[0] = 0xFF;
    filter.byDepth = 1;
    filter.byEnabled = 1;
    return filter;
}

// Where the payload of a packet starts, or 0 when it has none (or the
// adaptation field fills the packet).
uint32_t PayloadStart(const uint8_t* packet) {
    const uint8_t control = (packet[3] >> 4) & 0x03;
    if (control == 1) return 4;
    if (control != 3) return 0;
    const uint32_t start = 5u + packet[4];
    return start < kTsPacketSize ? start : 0;
}

}  // namespace

CTsProgramEngine::CTsProgramEngine(CLockedRingBuffer* pCardRing, CLockedRingBuffer* pIpRing,
                                   CLockedRingBuffer* pOutputRing, uint8_t packetLength, uint32_t,
                                   card::CLogFile* pLog)
    : m_pCardRing(pCardRing),
      m_pIpRing(pIpRing),
      m_pOutputRing(pOutputRing),
      m_pFilterRing(std::make_unique<CLockedRingBuffer>()),
      m_pAnalysisRing(std::make_unique<CLockedRingBuffer>()),
      m_dwPacketLength(packetLength),
      m_pLog(pLog),
      m_pNit(std::make_unique<NIT_INFORMATION>()),
      m_Section(kMaxSectionSize),
      m_pReplacementNit(std::make_unique<NIT_INFORMATION>()) {
    g_TsPacketLength = packetLength;
    std::memset(&m_Pat, 0, sizeof(m_Pat));
    std::memset(&m_LastPat, 0, sizeof(m_LastPat));
    std::memset(m_Pmt, 0, sizeof(m_Pmt));
    std::memset(&m_Sdt, 0, sizeof(m_Sdt));
    std::memset(m_pNit.get(), 0, sizeof(NIT_INFORMATION));
    std::memset(&m_Cat, 0, sizeof(m_Cat));
    m_Cat.byVersion = 255;
    std::memset(&m_OutputPat, 0, sizeof(m_OutputPat));
    std::memset(&m_OutputSdt, 0, sizeof(m_OutputSdt));
    std::memset(m_KeptPmt, 0, sizeof(m_KeptPmt));
    std::memset(m_pReplacementNit.get(), 0, sizeof(NIT_INFORMATION));
    m_pFilterRing->SetSize(kEngineRingElements, kEngineRingElementSize);
    m_pAnalysisRing->SetSize(kEngineRingElements, kEngineRingElementSize);
    m_bReady = m_pFilterRing->Allocate() != 0 && m_pAnalysisRing->Allocate() != 0;
    if (!m_bReady && m_pLog) m_pLog->WriteLog(L"TsProgramEngine: ring allocation failed");
}

CTsProgramEngine::~CTsProgramEngine() {
    Stop();
    // The tasks read the slot rings: they end before the rings go.
    StopAllRecorderTasks();
    m_pRecorder.reset();
    CloseStreamFile();
    m_pAnalysisRing->Free();
    m_pFilterRing->Free();
}

uint32_t CTsProgramEngine::Start() {
    if (m_bRun) return 1;
    if (!m_bReady) return 0;
    m_pAnalysisRing->Reset();
    m_pFilterRing->Reset();
    m_qwFilterIn = 0;
    m_qwFilterDone = 0;
    BeginAnalysis();
    // A program filter was made from the tables just cleared: it would act
    // on a stream whose programs are not known yet. The application sets it
    // again once they are analysed anew.
    DropProgramFilter();
    m_bRun = 1;
    m_PsiThread.Start([this] { return PsiAnalysisThread(); });
    m_DistributionThread.Start([this] { return DistributionThread(); });
    // NIT replacement set before a restart routes the stream through the
    // remultiplexer again.
    if (m_bFilterOn) StartRemultiplexer();
    return 1;
}

uint32_t CTsProgramEngine::SetPacketLength(uint8_t packetLength) {
    if (m_bRun) return 0;
    std::lock_guard<platform::CCriticalSection> lock(m_RecorderLock);
    if (packetLength != m_dwPacketLength) m_pRecorder.reset();
    m_dwPacketLength = packetLength;
    g_TsPacketLength = packetLength;
    return 1;
}

uint32_t CTsProgramEngine::Stop() {
    const bool wasRunning = m_bRun != 0;
    m_bRun = 0;
    if (wasRunning && m_bRecording) StopAllRecorderTasks();
    m_PsiThread.Join();
    m_DistributionThread.Join();
    m_RemultiplexThread.Join();
    m_bDistributing = m_bRemultiplexing = m_bAnalysing = false;
    return 1;
}

void CTsProgramEngine::StartRemultiplexer() {
    if (m_bRun && !m_RemultiplexThread.IsRunning()) {
        m_RemultiplexThread.Join();
        m_RemultiplexThread.Start([this] { return RemultiplexThread(); });
    }
}

uint32_t CTsProgramEngine::SetInputSource(uint32_t source) {
    m_dwInputSource = source;
    return 1;
}

uint32_t CTsProgramEngine::ResetBuffers() {
    if (m_pCardRing) m_pCardRing->Reset();
    m_pAnalysisRing->Reset();
    return 1;
}

// --- Recorder slots ---------------------------------------------------------

int32_t CTsProgramEngine::StartRecorderTask(const record::RECORDER_TASK_REQUEST* pRequest) {
    if (pRequest == nullptr) return -1;
    std::unique_lock<platform::CCriticalSection> lock(m_RecorderLock);
    uint32_t slot = 0;
    while (slot < kRecorderTaskSlots && m_Slot[slot].bInUse)
        ++slot;
    if (slot == kRecorderTaskSlots) return -1;
    auto ring = std::make_unique<CCirBuffer>();
    if (!ring->Allocate(P() * kRecorderRingPackets)) {
        if (m_pLog) m_pLog->WriteLog(L"TsProgramEngine: recorder ring allocation failed");
        return -1;
    }
    m_bRecording = 1;
    if (!m_pRecorder) {
        m_pRecorder = std::make_unique<record::CProgramRecorder>(P(), m_pLog);
    }
    m_Slot[slot] = {1, pRequest->dwProgramNumber};
    m_pSlotRing[slot] = ring.release();
    lock.unlock();
    const int32_t result = m_pRecorder->StartTask(pRequest, slot, m_pSlotRing[slot], 0);
    lock.lock();
    if (result != 0) {
        // A task that did not start gives its slot back.
        m_Slot[slot] = {0, 0};
        delete m_pSlotRing[slot];
        m_pSlotRing[slot] = nullptr;
    }
    return result;
}

int32_t CTsProgramEngine::StopRecorderTask(const record::RECORDER_TASK_REQUEST* pRequest) {
    if (!m_bRecording || pRequest == nullptr) return 1;
    CCirBuffer* ring = nullptr;
    {
        std::lock_guard<platform::CCriticalSection> lock(m_RecorderLock);
        for (uint32_t slot = 0; slot < kRecorderTaskSlots; ++slot) {
            if (m_Slot[slot].bInUse && m_Slot[slot].dwProgramNumber == pRequest->dwProgramNumber) {
                m_Slot[slot] = {0, 0};
                ring = m_pSlotRing[slot];
                m_pSlotRing[slot] = nullptr;
                break;
            }
        }
    }
    if (ring == nullptr) return 0;
    m_pRecorder->StopTask(pRequest);
    delete ring;
    return 0;
}

int32_t CTsProgramEngine::StopAllRecorderTasks() {
    uint32_t programs[kRecorderTaskSlots] = {};
    std::unique_ptr<CCirBuffer> rings[kRecorderTaskSlots];
    {
        std::lock_guard<platform::CCriticalSection> lock(m_RecorderLock);
        m_bRecording = 0;
        for (uint32_t slot = 0; slot < kRecorderTaskSlots; ++slot) {
            if (!m_Slot[slot].bInUse) continue;
            programs[slot] = m_Slot[slot].dwProgramNumber;
            rings[slot].reset(m_pSlotRing[slot]);
            m_pSlotRing[slot] = nullptr;
            m_Slot[slot] = {0, 0};
        }
    }
    if (!m_pRecorder) return 0;
    // All tasks are told at once; each is then waited for, as its ring goes
    // only after it has ended.
    m_pRecorder->StopAllTasks();
    for (uint32_t slot = 0; slot < kRecorderTaskSlots; ++slot) {
        if (!rings[slot]) continue;
        record::RECORDER_TASK_REQUEST request = {};
        request.dwProgramNumber = programs[slot];
        m_pRecorder->StopTask(&request);
    }
    return 0;
}

uint32_t CTsProgramEngine::RecorderSlotsInUse() {
    std::lock_guard<platform::CCriticalSection> lock(m_RecorderLock);
    uint32_t count = 0;
    for (uint32_t slot = 0; slot < kRecorderTaskSlots; ++slot)
        count += m_Slot[slot].bInUse != 0 || m_pSlotRing[slot] != nullptr;
    return count;
}

uint32_t CTsProgramEngine::GetRecorderLength(uint32_t programNumber, RECORD_LENGTH* pLength) {
    if (!m_pRecorder || pLength == nullptr) return 0;
    record::RECORD_LENGTH length = {};
    m_pRecorder->GetRecordLength(programNumber, &length);
    *pLength = {length.dwHours, length.dwMinutes, length.dwSeconds, length.dwFrames};
    return 1;
}

uint32_t CTsProgramEngine::GetRecorderErrorCounts(uint32_t programNumber,
                                                  record::RECORDER_ERROR_COUNTS* pCounts) {
    if (!m_pRecorder || pCounts == nullptr) return 0;
    m_pRecorder->GetErrorCounts(programNumber, pCounts);
    return 1;
}

uint64_t CTsProgramEngine::GetRecorderHandledPackets(uint32_t programNumber) {
    return m_pRecorder ? m_pRecorder->GetHandledPackets(programNumber) : 0;
}

// --- Whole-stream file ------------------------------------------------------

uint32_t CTsProgramEngine::OpenStreamFile(const wchar_t* path) {
    if (path == nullptr) return 0;
    const std::string name = platform::WideToUtf8(path);
    std::lock_guard<platform::CCriticalSection> lock(m_FileLock);
    if (m_pStreamFile != nullptr) return 0;
    const char* whyNot = nullptr;
    m_pStreamFile = platform::ExclusiveFile::Create(name, &whyNot);
    if (m_pStreamFile == nullptr) {
        if (m_pLog) m_pLog->WriteLogA("TsProgramEngine: %s %s: refused", name.c_str(), whyNot);
        return 0;
    }
    m_bStreamFileOn = 1;
    return 1;
}

uint32_t CTsProgramEngine::CloseStreamFile() {
    std::lock_guard<platform::CCriticalSection> lock(m_FileLock);
    m_bStreamFileOn = 0;
    m_pStreamFile.reset();
    return 1;
}

// --- Distribution -----------------------------------------------------------

CLockedRingBuffer* CTsProgramEngine::InputRing() const {
    return m_dwInputSource == 1 ? m_pCardRing : m_pIpRing;
}

bool CTsProgramEngine::IsEmpty(CLockedRingBuffer* pRing, uint32_t atMost) {
    if (pRing == nullptr) return true;
    uint32_t fill = 0;
    uint32_t contiguous = 0;
    pRing->GetFillCount(&fill, &contiguous);
    return fill <= atMost;
}

bool CTsProgramEngine::IsIdle() const {
    // Upstream first: a thread's ring is looked at after the thread that
    // fills it was seen done.
    return IsEmpty(InputRing(), kChunkBytes / P() - 1) && !m_bDistributing &&
           IsEmpty(m_pFilterRing.get(), 0) && !m_bRemultiplexing &&
           IsEmpty(m_pAnalysisRing.get(), 0) && !m_bAnalysing;
}

uint32_t CTsProgramEngine::ReadChunk(uint8_t* chunk) {
    const bool card = m_dwInputSource == 1;
    CLockedRingBuffer* source = card ? m_pCardRing : m_pIpRing;
    if (source == nullptr) return 0;
    uint32_t fill = 0;
    uint32_t contiguous = 0;
    source->GetFillCount(&fill, &contiguous);
    const uint32_t now = platform::TickCount();
    if (fill != m_dwInputFill) {
        m_dwInputFill = fill;
        m_dwInputStillSince = now;
    }
    uint32_t packets = kChunkBytes / P();
    if (fill < packets) {
        // Less than a chunk moves only once no packet has come for a while:
        // the end of a stream that stopped, or one too slow to fill a chunk
        // soon. A live stream adds packets every few milliseconds, so its
        // chunks stay whole.
        if (fill == 0 || now - m_dwInputStillSince < kInputStillMs) return 0;
        packets = fill;
    }
    m_dwInputFill = fill - packets;
    m_dwInputStillSince = now;
    // Both rings hold whole packets, one an element.
    const uint32_t bytes = packets * P();
    if (card) return source->ReadUnits(chunk, bytes, P(), 4) == 0 ? packets : 0;
    return source->Read(chunk, bytes) != 0 ? packets : 0;
}

void CTsProgramEngine::FeedRecorders(const uint8_t* chunk, uint32_t bytes) {
    std::lock_guard<platform::CCriticalSection> lock(m_RecorderLock);
    if (!m_bRecording) return;
    for (uint32_t slot = 0; slot < kRecorderTaskSlots; ++slot) {
        if (!m_Slot[slot].bInUse || m_pSlotRing[slot] == nullptr) continue;
        // A full task buffer loses this chunk for that task only.
        if (m_pSlotRing[slot]->Write(chunk, bytes) == CCirBuffer::kRefused) {
            platform::Sleep(1);
        }
    }
}

void CTsProgramEngine::WriteStreamFile(const uint8_t* chunk, uint32_t bytes) {
    std::lock_guard<platform::CCriticalSection> lock(m_FileLock);
    if (m_bStreamFileOn && m_pStreamFile) std::fwrite(chunk, 1, bytes, m_pStreamFile->Stream());
}

bool CTsProgramEngine::WriteChunk(CLockedRingBuffer* pRing, const uint8_t* chunk, uint32_t packets,
                                  const char* name) {
    uint32_t free = 0;
    uint32_t contiguous = 0;
    pRing->GetFreeCount(&free, &contiguous);
    if (free < packets) {
        // Never over unread packets: the chunk is skipped for this ring.
        ++m_qwSkippedChunks;
        m_pszSkippingRing = name;
        const uint32_t now = platform::TickCount();
        if (now - m_dwLastSkipReport > kStatusIntervalMs) ReportSkippedChunks(now);
        return false;
    }
    const uint32_t bytes = packets * P();
    if (pRing->GetElementSize() == P()) return pRing->Write(chunk, bytes) != 0;
    return pRing->WriteUnits(chunk, bytes, P()) >= 0;
}

void CTsProgramEngine::ReportSkippedChunks(uint32_t now) {
    if (!m_pLog) return;
    m_dwLastSkipReport = now;
    m_qwSkipsReported = m_qwSkippedChunks;
    m_pLog->WriteLog(L"TsProgramEngine: %s ring full, %llu chunks skipped", m_pszSkippingRing,
                     static_cast<unsigned long long>(m_qwSkipsReported));
}

uint32_t CTsProgramEngine::DistributionThread() {
    std::vector<uint8_t> chunk(kChunkBytes);
    m_dwInputFill = 0;
    m_dwInputStillSince = platform::TickCount();
    while (m_bRun) {
        m_bDistributing = true;
        const uint32_t packets = ReadChunk(chunk.data());
        if (packets == 0) {
            m_bDistributing = false;
            platform::Sleep(1);
            continue;
        }
        FeedRecorders(chunk.data(), packets * P());
        // The file before the output: a file stopped once the application
        // has read the stream's last packet holds that packet too.
        WriteStreamFile(chunk.data(), packets * P());
        // Once the filter is off, the stream still goes through the
        // remultiplexer (unchanged) until it has written out all it was
        // given: nobody waits for it, and its last packets go out first.
        const bool filter = m_bFilterOn || m_qwFilterDone != m_qwFilterIn;
        if (filter) {
            if (WriteChunk(m_pFilterRing.get(), chunk.data(), packets, "filter")) {
                m_qwFilterIn += packets;
            }
        } else if (m_pOutputRing) {
            WriteChunk(m_pOutputRing, chunk.data(), packets, "output");
        }
        WriteChunk(m_pAnalysisRing.get(), chunk.data(), packets, "analysis");
    }
    // The chunks skipped in the capture's last moments are told too.
    if (m_qwSkippedChunks != m_qwSkipsReported) ReportSkippedChunks(platform::TickCount());
    return 0;
}

// --- PSI analysis -----------------------------------------------------------

void CTsProgramEngine::BeginAnalysis() {
    // The last run's results go before Start returns, so that no request
    // made after it sees them.
    std::lock_guard<platform::CCriticalSection> lock(m_AnalysisLock);
    m_pParser = std::make_unique<CPsiSiParser>();
    m_dRateNull = 0.0;
    SetUpAnalysis();
}

void CTsProgramEngine::SetUpAnalysis() {
    m_bPatDone = m_bSdtDone = m_bNitDone = m_bPmtDone = m_bSdtSeen = 0;
    m_bCatDone = 0;
    m_bAnalysisNeeded = 1;
    std::memset(m_pNit.get(), 0, sizeof(NIT_INFORMATION));
    std::memset(&m_Pat, 0, sizeof(m_Pat));
    std::memset(&m_LastPat, 0, sizeof(m_LastPat));
    std::memset(m_Pmt, 0, sizeof(m_Pmt));
    std::fill(std::begin(m_bPmtParsed), std::end(m_bPmtParsed), false);
    std::memset(&m_Sdt, 0, sizeof(m_Sdt));
    std::memset(&m_Cat, 0, sizeof(m_Cat));
    m_Cat.byVersion = 255;
    m_wNetworkId = 0;
    m_dRateHighFirst = m_dRateHighSecond = m_dRateMark = 0.0;
    m_WatchedPids.assign(std::begin(kInitialWatched), std::end(kInitialWatched));
    m_pParser->ClearTables();
    m_pParser->Reset();
    const SECTION_FILTER pat = TableFilter(0x00);
    const SECTION_FILTER cat = TableFilter(0x01);
    const SECTION_FILTER nit = TableFilter(0x40);
    const SECTION_FILTER nitOther = TableFilter(0x41);
    m_pParser->OpenPidChannel(kPidPat);
    m_pParser->AddSectionFilter(kPidPat, &pat);
    m_pParser->OpenPidChannel(kPidSdt);
    for (uint8_t table : {0x42, 0x46, 0x4A}) {
        const SECTION_FILTER filter = TableFilter(table);
        m_pParser->AddSectionFilter(kPidSdt, &filter);
    }
    m_pParser->OpenPidChannel(kPidNit);
    m_pParser->AddSectionFilter(kPidNit, &nit);
    m_pParser->AddSectionFilter(kPidNit, &nitOther);
    m_pParser->OpenPidChannel(kPidCat);
    m_pParser->AddSectionFilter(kPidCat, &cat);
    m_dwAnalysisStart = m_dwIncompleteSince = platform::TickCount();
}

void CTsProgramEngine::TearDownAnalysis() {
    m_pRateAnalyzer.reset();
    m_AnalyzeList.clear();
    for (uint16_t pid : {kPidPat, kPidSdt, kPidNit, kPidCat})
        m_pParser->ClosePidChannel(pid);
    for (uint32_t i = 0; i < m_Pat.byProgramCount && i < PAT_INFORMATION::kMaxPrograms; ++i) {
        if (m_Pat.Program[i].wProgramNumber != 0) m_pParser->ClosePidChannel(m_Pat.Program[i].wPid);
    }
    m_pParser->FreeTables();
    m_pParser->Reset();
}

void CTsProgramEngine::RestartAnalysis(const uint8_t* packet) {
    m_dRateNull = PidOf(packet) == kNullPid ? 8.0 * P() : 0.0;
    TearDownAnalysis();
    SetUpAnalysis();
}

int32_t CTsProgramEngine::ParsePatSection(PAT_INFORMATION* pPat, const uint8_t* pSection,
                                          uint32_t available) {
    if (pPat == nullptr || pSection == nullptr || available < 12 || pSection[0] != 0x00) {
        return -1;
    }
    const uint32_t total = 3u + (((pSection[1] & 0x0F) << 8) | pSection[2]);
    if (total < 12 || total > available || Crc32Mpeg(pSection, total) != 0) return -1;
    std::memset(pPat, 0xFF, sizeof(*pPat));
    pPat->wTransportStreamId = static_cast<uint16_t>((pSection[3] << 8) | pSection[4]);
    pPat->byVersion = (pSection[5] >> 1) & 0x1F;
    pPat->byProgramCount = 0;
    for (uint32_t pos = 8; pos + 4 <= total - 4; pos += 4) {
        if (pPat->byProgramCount >= PAT_INFORMATION::kMaxPrograms) break;
        PAT_PROGRAM& entry = pPat->Program[pPat->byProgramCount++];
        entry.wProgramNumber = static_cast<uint16_t>((pSection[pos] << 8) | pSection[pos + 1]);
        entry.wPid = static_cast<uint16_t>(((pSection[pos + 2] & 0x1F) << 8) | pSection[pos + 3]);
    }
    return 1;
}

uint16_t CTsProgramEngine::GetTsIdFromPat(const uint8_t* pPacket) {
    if (pPacket == nullptr || PidOf(pPacket) != kPidPat) return 0;
    return static_cast<uint16_t>((pPacket[8] << 8) | pPacket[9]);
}

bool CTsProgramEngine::DetectStreamChange(const uint8_t* packet) {
    // Only whole, intact PAT sections are compared.
    m_pParser->PushPacket(packet);
    bool changed = false;
    while (m_pParser->GetSection(m_Section.data(), kMaxSectionSize, kPidPat) == 1) {
        PAT_INFORMATION pat;
        if (ParsePatSection(&pat, m_Section.data(), kMaxSectionSize) != 1) continue;
        const bool oneSection = m_Section[7] == 0;
        const bool same =
            pat.wTransportStreamId == m_LastPat.wTransportStreamId &&
            pat.byVersion == m_LastPat.byVersion &&
            (!oneSection || (pat.byProgramCount == m_LastPat.byProgramCount &&
                             std::memcmp(pat.Program, m_LastPat.Program,
                                         pat.byProgramCount * sizeof(PAT_PROGRAM)) == 0));
        if (!same) changed = true;
        if (oneSection) m_LastPat = pat;
    }
    return changed;
}

void CTsProgramEngine::TakePat() {
    while (m_pParser->GetSection(m_Section.data(), kMaxSectionSize, kPidPat) == 1) {
        if (m_pParser->ParsePat(&m_Pat, m_Section.data()) != 1) continue;
        m_dwPatEntryCount = m_pParser->GetPatEntryCount();
        m_LastPat = m_Pat;
        m_bPatDone = 1;
        m_pParser->ClearPmtStore();
        std::memset(m_Pmt, 0, sizeof(m_Pmt));
        m_WatchedPids.assign(std::begin(kInitialWatched), std::end(kInitialWatched));
        const SECTION_FILTER pmt = TableFilter(0x02);
        for (uint32_t i = 0; i < m_Pat.byProgramCount; ++i) {
            const PAT_PROGRAM& entry = m_Pat.Program[i];
            m_bPmtParsed[i] = entry.wProgramNumber == 0;
            if (entry.wProgramNumber == 0) continue;
            m_pParser->OpenPidChannel(entry.wPid);
            m_pParser->AddSectionFilter(entry.wPid, &pmt);
            PMT_INFORMATION& record = m_Pmt[i];
            record.wPmtPid = entry.wPid;
            record.wProgramNumber = entry.wProgramNumber;
            record.wPcrPid = 0xFFFF;
            record.byVersion = 255;
            if (entry.wPid != kPidNit && entry.wPid < kNullPid && !IsWatched(entry.wPid)) {
                m_WatchedPids.push_back(entry.wPid);
            }
        }
        if (m_WatchedPids.size() > kMaxWatchedPids) RebuildWatchedList();
    }
}

void CTsProgramEngine::TakePmts() {
    if (!m_bPatDone) return;
    bool all = true;
    for (uint32_t i = 0; i < m_Pat.byProgramCount; ++i) {
        if (m_bPmtParsed[i]) continue;
        const uint16_t pid = m_Pmt[i].wPmtPid;
        while (!m_bPmtParsed[i] &&
               m_pParser->GetSection(m_Section.data(), kMaxSectionSize, pid) == 1) {
            // A program without streams is parsed too: its information comes.
            if (m_pParser->ParsePmt(&m_Pmt[i], m_Section.data()) == 1) m_bPmtParsed[i] = true;
        }
        if (!m_bPmtParsed[i]) all = false;
    }
    if (all && !m_bPmtDone) {
        m_bPmtDone = 1;
        if (m_WatchedPids.size() > kMaxWatchedPids) RebuildWatchedList();
    }
}

void CTsProgramEngine::TakeSdtAndNit() {
    while (!m_bSdtDone && m_pParser->GetSection(m_Section.data(), kMaxSectionSize, kPidSdt) == 1) {
        if (m_pParser->ParseSdt(&m_Sdt, m_Section.data()) == 1) m_bSdtDone = m_bSdtSeen = 1;
    }
    while (!m_bNitDone && m_pParser->GetSection(m_Section.data(), kMaxSectionSize, kPidNit) == 1) {
        if (m_pParser->ParseNit(m_pNit.get(), m_Section.data()) == 1) {
            m_wNetworkId = m_pNit->wNetworkId;
            m_bNitDone = 1;
        }
    }
}

void CTsProgramEngine::TakeCat() {
    while (!m_bCatDone && m_pParser->GetSection(m_Section.data(), kMaxSectionSize, kPidCat) == 1) {
        if (m_pParser->ParseCat(&m_Cat, m_Section.data()) == 1) m_bCatDone = 1;
    }
}

bool CTsProgramEngine::IsWatched(uint16_t pid) const {
    return std::find(m_WatchedPids.begin(), m_WatchedPids.end(), pid) != m_WatchedPids.end();
}

void CTsProgramEngine::RebuildWatchedList() {
    m_WatchedPids.clear();
    if (!m_bNitDone) m_WatchedPids.push_back(kPidNit);
    if (!m_bPatDone) m_WatchedPids.push_back(kPidPat);
    if (!m_bSdtDone) m_WatchedPids.push_back(kPidSdt);
    for (uint32_t i = 0; i < m_Pat.byProgramCount && m_WatchedPids.size() < kMaxWatchedPids; ++i) {
        if (!m_bPmtParsed[i]) m_WatchedPids.push_back(m_Pmt[i].wPmtPid);
    }
}

void CTsProgramEngine::MeasureRate(const uint8_t* packet) {
    if (!m_bPatDone) return;
    if (!m_pRateAnalyzer) {
        for (uint32_t i = 0; i < m_Pat.byProgramCount; ++i) {
            if (m_Pat.Program[i].wProgramNumber == 0) continue;
            m_pRateAnalyzer =
                std::make_unique<record::CBufferAnalyzeFrame>(m_Pat.Program[i].wPid, 0, nullptr);
            break;
        }
        if (!m_pRateAnalyzer) return;
    }
    m_pRateAnalyzer->InputPacket(packet, static_cast<int32_t>(P()), 0);
    const double rate = m_pRateAnalyzer->m_dTsBitRate;
    if (rate > m_dRateHighFirst) {
        if (rate <= m_dRateHighSecond) {
            m_dRateHighSecond = rate;
        } else {
            m_dRateHighFirst = m_dRateHighSecond = rate;
        }
    } else {
        const double floor = std::floor(m_dRateHighFirst / 100000.0) * 100000.0;
        if (floor < rate) m_dRateMark = rate;
    }
}

void CTsProgramEngine::CheckScrambling(const uint8_t* packet) {
    const uint16_t pid = PidOf(packet);
    for (uint32_t i = 0; i < m_Pat.byProgramCount; ++i) {
        PMT_INFORMATION& pmt = m_Pmt[i];
        for (uint32_t s = 0; s < pmt.byStreamCount && s < PMT_INFORMATION::kMaxStreams; ++s) {
            const uint8_t type = pmt.Stream[s].byStreamType;
            if (pmt.Stream[s].wElementaryPid != pid || type < 2 || type > 4) continue;
            const int32_t result = IsPesStartPacket(packet);
            if (result == 1 || result == 0) pmt.dwScrambled = static_cast<uint32_t>(result);
            return;
        }
    }
}

void CTsProgramEngine::AnalysePacket(const uint8_t* packet) {
    const uint16_t pid = PidOf(packet);
    m_bAnalysisNeeded = !(m_bPmtDone && m_bPatDone && m_bSdtDone && m_bNitDone);
    if (m_bPatDone && pid == kPidPat) {
        if (DetectStreamChange(packet)) {
            m_dwAnalysisStart = m_dwIncompleteSince = platform::TickCount();
            RestartAnalysis(packet);
            return;
        }
    } else if (m_bAnalysisNeeded && IsWatched(pid)) {
        if (m_pParser->PushPacket(packet) == 1) {
            if (pid == kPidCat) TakeCat();
            if (!m_bPatDone) TakePat();
            TakePmts();
            TakeSdtAndNit();
        }
        if (pid == kPidSdt) m_bSdtSeen = 1;
    }
    MeasureRate(packet);
    if (m_bPatDone && m_bPmtDone) CheckScrambling(packet);
}

uint32_t CTsProgramEngine::PsiAnalysisThread() {
    // Packets are taken in batches, each analysed under one hold of the lock.
    constexpr uint32_t kBatch = 512;
    std::vector<uint8_t> batch(size_t{kBatch} * P());
    while (m_bRun) {
        m_bAnalysing = true;
        uint32_t fill = 0;
        uint32_t contiguous = 0;
        m_pAnalysisRing->GetFillCount(&fill, &contiguous);
        if (fill == 0) {
            m_bAnalysing = false;
            platform::Sleep(1);
            continue;
        }
        const uint32_t n = std::min(fill, kBatch);
        m_pAnalysisRing->ReadUnits(batch.data(), n * P(), P(), 0);
        std::lock_guard<platform::CCriticalSection> lock(m_AnalysisLock);
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* packet = &batch[size_t{i} * P()];
            if (packet[0] != 0x47) {
                platform::OutputDebugString("\n！！！！！！同步字节错！");
                continue;
            }
            AnalysePacket(packet);
        }
    }
    std::lock_guard<platform::CCriticalSection> lock(m_AnalysisLock);
    TearDownAnalysis();
    m_pParser.reset();
    return 0;
}

// --- Results ----------------------------------------------------------------

TS_ENGINE_STATISTICS* CTsProgramEngine::GetStreamStatistics(TS_ENGINE_STATISTICS* pStatistics) {
    if (pStatistics == nullptr) return nullptr;
    std::lock_guard<platform::CCriticalSection> lock(m_AnalysisLock);
    *pStatistics = {};
    pStatistics->pCaArea = m_CaArea;
    pStatistics->dRateMark = m_dRateMark;
    pStatistics->dRateHighFirst = m_dRateHighFirst;
    pStatistics->dRateHighSecond = m_dRateHighSecond;
    pStatistics->dRateHighLessNull = m_dRateHighSecond - m_dRateNull;
    pStatistics->wNetworkId = m_wNetworkId;
    pStatistics->dwPacketLength = P();
    return pStatistics;
}

uint32_t CTsProgramEngine::GetPsiTables(PSI_TABLES_VIEW* pView) {
    if (pView == nullptr) return 0;
    std::lock_guard<platform::CCriticalSection> lock(m_AnalysisLock);
    const uint32_t now = platform::TickCount();
    if (!m_bPatDone || !m_bPmtDone) {
        m_dwIncompleteSince = now;
        return 0;
    }
    if (!m_bSdtDone && (now - m_dwIncompleteSince < kTablesWithoutSdtMs ||
                        now - m_dwAnalysisStart < kTablesWithoutSdtMs)) {
        return 0;
    }
    pView->bHasSdt = m_bSdtDone;
    if (m_bSdtDone) pView->Sdt = m_Sdt;
    pView->Pat = m_Pat;
    std::memcpy(pView->Pmt, m_Pmt, sizeof(m_Pmt));
    pView->Cat = m_Cat;
    pView->dwPmtCount = PAT_INFORMATION::kMaxPrograms;
    pView->dwPatEntryCount = m_dwPatEntryCount;
    return 1;
}

uint32_t CTsProgramEngine::GetAnalysedNit(NIT_INFORMATION* pNit) {
    if (pNit == nullptr) return 0;
    std::lock_guard<platform::CCriticalSection> lock(m_AnalysisLock);
    if (!m_bNitDone) return 0;
    std::memcpy(pNit, m_pNit.get(), sizeof(NIT_INFORMATION));
    return 1;
}

uint32_t CTsProgramEngine::GetBufferAnalyzeInfo(record::BUFFER_ANALYZE_INFO* pInfo, uint16_t pid,
                                                uint32_t kind, uint32_t category) {
    if (pInfo == nullptr) return 0;
    *pInfo = {};
    // The list holds no objects keyed by PID; a PID always misses.
    (void)pid;
    for (const auto& analyzer : m_AnalyzeList) {
        pInfo->dwBufferSize = analyzer->GetBufferSize(kind, category, 0);
        pInfo->dwFullness = static_cast<uint32_t>(analyzer->GetBufferFullness(kind, category, 0));
        pInfo->dFullnessRatio = analyzer->GetBufferFullnessRatio(kind, category, 0);
        return 1;
    }
    return 0;
}

void CTsProgramEngine::GetUnusedPair(uint32_t pPair[2]) const {
    pPair[0] = m_UnusedPair[0];
    pPair[1] = m_UnusedPair[1];
}

int32_t CTsProgramEngine::IsPesStartPacket(const uint8_t* pPacket) {
    if (pPacket == nullptr || pPacket[0] != 0x47 || !(pPacket[1] & 0x40)) return -1;
    const uint32_t payload = PayloadStart(pPacket);
    // No payload, or no room for a PES header before the packet's end.
    if (payload == 0 || payload + 9 > kTsPacketSize) return -4;
    if (payload + 9 + pPacket[payload + 8] >= kTsPacketSize) return -4;
    return pPacket[payload] == 0 && pPacket[payload + 1] == 0 && pPacket[payload + 2] == 1 ? 0 : 1;
}

int32_t CTsProgramEngine::ParsePesVideo(const uint8_t* pPacket) {
    if (pPacket == nullptr || !(pPacket[1] & 0x40)) return -1;
    const uint32_t payload = PayloadStart(pPacket);
    if (payload == 0 || payload + 9 > kTsPacketSize) return -4;
    m_byVideoStreamId = pPacket[payload + 3];
    uint32_t pos = payload + 9 + pPacket[payload + 8];
    const uint8_t* p = pPacket;
    auto startCode = [&](uint32_t at, uint8_t code) {
        return p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 1 && p[at + 3] == code;
    };
    while (pos + 4 <= kTsPacketSize && !startCode(pos, 0xB3))
        ++pos;
    if (pos + 12 > kTsPacketSize) return -4;
    static constexpr double kFrameRates[] = {23.976, 24.0, 25.0, 29.97, 30.0, 50.0, 59.94, 60.0};
    const uint32_t width = (p[pos + 4] << 4) | (p[pos + 5] >> 4);
    const uint32_t height = ((p[pos + 5] & 0x0F) << 8) | p[pos + 6];
    const uint32_t rateCode = p[pos + 7] & 0x0F;
    m_dVideoFrameRate = rateCode >= 1 && rateCode <= 8 ? kFrameRates[rateCode - 1] : -1.0;
    const uint32_t bitRateValue = (p[pos + 8] << 10) | (p[pos + 9] << 2) | (p[pos + 10] >> 6);
    uint32_t next = pos + 12;
    // Quantiser matrices: the intra flag is bit 1 of byte 11, the non-intra
    // flag follows the intra matrix.
    bool nonIntra = p[pos + 11] & 0x01;
    if (p[pos + 11] & 0x02) {
        next += 64;
        if (next > kTsPacketSize) return -4;
        nonIntra = p[next - 1] & 0x01;
    }
    if (nonIntra) next += 64;
    if (next + 10 > kTsPacketSize) return -4;
    if (!startCode(next, 0xB5)) return -6;
    const uint32_t extension = ((p[next + 6] & 0x1F) << 7) | (p[next + 7] >> 1);
    m_dwVideoBitRate = (bitRateValue + (extension << 18)) * 400;
    m_wVideoWidth = static_cast<uint16_t>(width);
    m_wVideoHeight = static_cast<uint16_t>(height);
    return 1;
}

}  // namespace velmora::ts

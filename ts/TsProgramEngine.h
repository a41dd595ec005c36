#pragma once

// The program engine behind the capture side: a distribution thread moves the
// captured stream in chunks to the recorder tasks, to the output ring (or,
// while a program filter or NIT replacement is on, through the remultiplexing
// thread), to the analysis ring and to an optional whole-stream file; a PSI
// analysis thread learns the PAT, PMTs, CAT, SDT and NIT and measures the
// transport rate; the remultiplexing thread rewrites the PAT and SDT for the
// programs kept, nulls the packets of removed programs and replaces the NIT.
//
// Results of the inner operations: 1 done, 0 nothing new, negative refusals.
// The object is large (the parser's tables and two NIT blocks): heap only.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/CriticalSection.h"
#include "platform/ExclusiveFile.h"
#include "platform/Thread.h"
#include "record/BufferAnalyzeFrame.h"
#include "record/ProgramRecorder.h"
#include "ts/PsiSiParser.h"
#include "velmora/Velmora.h"

namespace velmora::card {
class CLogFile;
}

namespace velmora::ts {

class CLockedRingBuffer;
class CCirBuffer;

// The packet length every engine thread, the packetizer and the recorder
// slots use: 188 or 204, set by the engine's constructor.
extern uint8_t g_TsPacketLength;

inline constexpr uint32_t kChunkBytes = 306816;
inline constexpr uint32_t kRecorderTaskSlots = 12;
inline constexpr uint32_t kEngineRingElements = 25920;
inline constexpr uint32_t kEngineRingElementSize = 256;
inline constexpr uint32_t kRecorderRingPackets = 80000;
inline constexpr uint16_t kNullPid = 0x1FFF;
// How long an input stands still before less than its usual batch moves on
// (a part chunk here, fewer than a block off the card): far above the gaps of
// a stream that flows, well below what an application waits for the end of
// one.
inline constexpr uint32_t kInputStillMs = 150;

struct TS_ENGINE_STATISTICS {
    const uint32_t* pCaArea;  // 21 words that stay zero
    uint32_t dwZero;
    double dRateMark;
    double dRateHighFirst;
    double dRateHighSecond;
    double dRateHighLessNull;
    uint16_t wNetworkId;
    uint16_t wZero;
    uint32_t dwPacketLength;
};

// A consistent copy of the analysis results, taken under the engine's
// analysis lock: the caller's thread never reads tables being rewritten.
struct PSI_TABLES_VIEW {
    uint32_t bHasSdt;
    SDT_INFORMATION Sdt;
    PAT_INFORMATION Pat;
    PMT_INFORMATION Pmt[PAT_INFORMATION::kMaxPrograms];
    CAT_INFORMATION Cat;
    uint32_t dwPmtCount;
    uint32_t dwPatEntryCount;  // every PAT entry, those beyond Pat's 60 too
};

class CTsProgramEngine {
  public:
    static constexpr uint32_t kMaxWatchedPids = 100;
    static constexpr uint32_t kMaxSelected = 61;
    static constexpr uint32_t kSectionSlots = 10;
    static constexpr uint32_t kMaxPacketizedSection = 1012;
    static constexpr uint32_t kMaxPatPrograms = 42;
    static constexpr uint32_t kTablesWithoutSdtMs = 2000;

    // The rings are not owned. The unread word is kept for callers.
    CTsProgramEngine(CLockedRingBuffer* pCardRing, CLockedRingBuffer* pIpRing,
                     CLockedRingBuffer* pOutputRing, uint8_t packetLength, uint32_t unused,
                     card::CLogFile* pLog);
    virtual ~CTsProgramEngine();
    CTsProgramEngine(const CTsProgramEngine&) = delete;
    CTsProgramEngine& operator=(const CTsProgramEngine&) = delete;

    // Whether the constructor got its filter and analysis rings.
    bool IsReady() const { return m_bReady; }

    uint32_t Start();
    uint32_t Stop();
    bool IsRunning() const { return m_bRun != 0; }
    // The packet length of the next start, while stopped (0 while running);
    // the rings given keep their objects and the recorder is made anew.
    uint32_t SetPacketLength(uint8_t packetLength);
    uint32_t SetInputSource(uint32_t source);
    uint32_t ResetBuffers();

    // Recorder slots.
    int32_t StartRecorderTask(const record::RECORDER_TASK_REQUEST* pRequest);
    int32_t StopRecorderTask(const record::RECORDER_TASK_REQUEST* pRequest);
    // Stops every task and frees its slot and ring; returns once the tasks
    // have ended.
    int32_t StopAllRecorderTasks();
    // Slots holding a task (and its ring).
    uint32_t RecorderSlotsInUse();
    // 1 with a recorder (the length filled); 0 without one.
    uint32_t GetRecorderLength(uint32_t programNumber, RECORD_LENGTH* pLength);
    uint32_t GetRecorderErrorCounts(uint32_t programNumber, record::RECORDER_ERROR_COUNTS* pCounts);
    // Packets the program's recording task has handled; 0 without one.
    uint64_t GetRecorderHandledPackets(uint32_t programNumber);

    // Whole-stream file. Neither it nor a recording starts on a file that
    // another writer, in this process or another, writes already (logged).
    uint32_t OpenStreamFile(const wchar_t* path);
    uint32_t CloseStreamFile();

    // Analysis results.
    TS_ENGINE_STATISTICS* GetStreamStatistics(TS_ENGINE_STATISTICS* pStatistics);
    uint32_t GetPsiTables(PSI_TABLES_VIEW* pView);
    uint32_t GetAnalysedNit(NIT_INFORMATION* pNit);
    uint32_t GetBufferAnalyzeInfo(record::BUFFER_ANALYZE_INFO* pInfo, uint16_t pid, uint32_t kind,
                                  uint32_t category);
    void GetUnusedPair(uint32_t pPair[2]) const;
    int32_t ParsePesVideo(const uint8_t* pPacket);
    static int32_t IsPesStartPacket(const uint8_t* pPacket);
    static uint16_t GetTsIdFromPat(const uint8_t* pPacket);
    // The record of one PAT section (CRC-checked): 1, or -1 for a section
    // that is not a whole, intact PAT.
    static int32_t ParsePatSection(PAT_INFORMATION* pPat, const uint8_t* pSection,
                                   uint32_t available);

    // Program filter and NIT replacement. A filter (count > 0) is taken only
    // once the PAT, every PMT and an SDT with services are analysed, and
    // while no filter is on: 0 otherwise (nothing changed), else 1. Start
    // drops the filter: the tables it was made from are analysed anew.
    uint32_t SetFilteredProgram(int32_t count, const FILTERED_PROGRAM* pList);
    uint32_t EnableNitReplace();
    uint32_t DisableNitReplace();
    uint32_t GetNitInformation(NIT_INFORMATION* pNit, uint32_t unused);
    uint32_t SetNitInformation(const NIT_INFORMATION* pNit);
    static uint32_t CheckNitBlock(const NIT_INFORMATION& nit);

    // Table writers and packetizer.
    static void BuildPat(uint8_t* pPacket, const PAT_INFORMATION& pat);
    static uint32_t BuildSdt(const SDT_INFORMATION& sdt, uint8_t* pBuffer);
    void RewriteSdt(uint8_t* pPacket, const SDT_INFORMATION& sdt);
    uint32_t BuildNitSection(const NIT_INFORMATION* pNit);
    uint32_t BuildPmt(const PMT_INFORMATION* pPmt);
    int32_t PacketizeSection(const uint8_t* pSection, uint32_t length, uint16_t pid);
    // The built section packets (tests and the remultiplexer).
    const uint8_t* SectionPacket(uint32_t index) const { return m_SectionPacket[index]; }
    // Rewrites the PCR of a packet on `pid`, moved on by `packets` packets
    // of the packet length at `bitRate`; 1 when rewritten.
    int32_t RewritePcr(uint8_t* pPacket, uint16_t pid, uint32_t packets, double bitRate) const;

    // One packet through the remultiplexer's per-packet rules: 1 to pass on
    // (possibly rewritten), 0 to drop. The thread calls it; tests too.
    uint32_t RemultiplexPacket(uint8_t* pPacket);
    // Chunks skipped because a ring had no room.
    uint64_t SkippedChunks() const { return m_qwSkippedChunks; }
    // True once the input holds less than a chunk, every chunk taken from it
    // has been handed on and the filter and analysis threads have finished
    // all they were given. A whole chunk moves as soon as it is there; what
    // is left, less than a chunk, moves once the input has stood still for
    // 150 ms, and the engine is busy again until that part is handed on.
    bool IsIdle() const;

  private:
    uint32_t DistributionThread();
    uint32_t PsiAnalysisThread();
    uint32_t RemultiplexThread();

    // Distribution steps.
    // The packets read into the chunk: a whole chunk, or what waits once
    // the input has stood still; 0 for none.
    uint32_t ReadChunk(uint8_t* chunk);
    CLockedRingBuffer* InputRing() const;
    static bool IsEmpty(CLockedRingBuffer* pRing, uint32_t atMost);
    void FeedRecorders(const uint8_t* chunk, uint32_t bytes);
    void WriteStreamFile(const uint8_t* chunk, uint32_t bytes);
    // False when the ring had no room and the chunk was skipped.
    bool WriteChunk(CLockedRingBuffer* pRing, const uint8_t* chunk, uint32_t packets,
                    const char* name);
    // The log line of the chunks skipped so far, named after the ring that
    // skipped the last.
    void ReportSkippedChunks(uint32_t now);

    // Analysis steps.
    void BeginAnalysis();
    void SetUpAnalysis();
    void TearDownAnalysis();
    void RestartAnalysis(const uint8_t* packet);
    bool DetectStreamChange(const uint8_t* packet);
    void AnalysePacket(const uint8_t* packet);
    void TakePat();
    void TakePmts();
    void TakeSdtAndNit();
    void TakeCat();
    void RebuildWatchedList();
    bool IsWatched(uint16_t pid) const;
    void MeasureRate(const uint8_t* packet);
    void CheckScrambling(const uint8_t* packet);

    // Filter steps.
    uint32_t RemultiplexLocked(uint8_t* pPacket);
    void PrepareFilterTables();
    void AddToDropMap(const std::vector<uint16_t>& pids);
    void ReplaceNitPacket(uint8_t* packet, uint32_t* pass);
    uint32_t NullPacket(uint8_t* packet) const;
    void StartRemultiplexer();
    void DropProgramFilter();
    // The filter off, NIT replacement left as it is; the filter lock held.
    void ClearProgramFilter();
    bool FilterTablesReady();
    void WriteRemultiplexed(const uint8_t* packets, uint32_t count);

    uint32_t P() const { return m_dwPacketLength; }

    // Rings and threads.
    CLockedRingBuffer* m_pCardRing;
    CLockedRingBuffer* m_pIpRing;
    CLockedRingBuffer* m_pOutputRing;
    std::unique_ptr<CLockedRingBuffer> m_pFilterRing;
    std::unique_ptr<CLockedRingBuffer> m_pAnalysisRing;
    uint32_t m_dwPacketLength;
    card::CLogFile* m_pLog;
    bool m_bReady = false;
    std::atomic<uint32_t> m_dwInputSource{1};
    std::atomic<uint8_t> m_bRun{0};
    platform::Thread m_PsiThread;
    platform::Thread m_DistributionThread;
    platform::Thread m_RemultiplexThread;
    std::atomic<uint64_t> m_qwSkippedChunks{0};
    // The input's fill as the distribution thread last saw it, and since
    // when it has stood at that.
    uint32_t m_dwInputFill = 0;
    uint32_t m_dwInputStillSince = 0;
    // Each thread's work in hand: set before it looks at its ring, cleared
    // only when it finds nothing there, so that an empty ring and a cleared
    // flag, read in that order, mean its work is done.
    std::atomic<bool> m_bDistributing{false};
    std::atomic<bool> m_bRemultiplexing{false};
    std::atomic<bool> m_bAnalysing{false};
    uint32_t m_dwLastSkipReport = 0;
    uint64_t m_qwSkipsReported = 0;
    const char* m_pszSkippingRing = "";
    // Packets put into the filter ring, and those the remultiplexer has done
    // with (written out or dropped). While they differ the remultiplexer is
    // the output ring's writer and the stream keeps going through it, so the
    // output ring never has two writers and keeps the stream's order.
    std::atomic<uint64_t> m_qwFilterIn{0};
    std::atomic<uint64_t> m_qwFilterDone{0};

    // Recorder slots: changed under the lock the distribution thread takes
    // while it walks them.
    platform::CCriticalSection m_RecorderLock;
    struct RECORDER_SLOT {
        uint32_t bInUse;
        uint32_t dwProgramNumber;
    };
    RECORDER_SLOT m_Slot[kRecorderTaskSlots] = {};
    CCirBuffer* m_pSlotRing[kRecorderTaskSlots] = {};
    std::unique_ptr<record::CProgramRecorder> m_pRecorder;
    uint8_t m_bRecording = 0;

    // Whole-stream file, closed under the lock the distribution thread
    // writes it under.
    platform::CCriticalSection m_FileLock;
    std::unique_ptr<platform::ExclusiveFile> m_pStreamFile;
    uint8_t m_bStreamFileOn = 0;

    // Analysis (the analysis thread writes; readers copy under the lock).
    platform::CCriticalSection m_AnalysisLock;
    std::unique_ptr<CPsiSiParser> m_pParser;
    uint8_t m_bPatDone = 0;
    uint8_t m_bSdtDone = 0;
    uint8_t m_bNitDone = 0;
    uint8_t m_bPmtDone = 0;
    uint8_t m_bSdtSeen = 0;
    uint32_t m_bCatDone = 0;
    uint32_t m_bAnalysisNeeded = 1;
    std::vector<uint16_t> m_WatchedPids;
    bool m_bPmtParsed[PAT_INFORMATION::kMaxPrograms] = {};
    PAT_INFORMATION m_Pat;
    uint32_t m_dwPatEntryCount = 0;
    PAT_INFORMATION m_LastPat;
    PMT_INFORMATION m_Pmt[PAT_INFORMATION::kMaxPrograms];
    SDT_INFORMATION m_Sdt;
    std::unique_ptr<NIT_INFORMATION> m_pNit;
    CAT_INFORMATION m_Cat;
    uint16_t m_wNetworkId = 0;
    double m_dRateHighFirst = 0.0;
    double m_dRateHighSecond = 0.0;
    double m_dRateMark = 0.0;
    double m_dRateNull = 0.0;
    std::unique_ptr<record::CBufferAnalyzeFrame> m_pRateAnalyzer;
    std::vector<std::unique_ptr<record::CBufferAnalyzeFrame>> m_AnalyzeList;
    uint32_t m_dwAnalysisStart = 0;
    uint32_t m_dwIncompleteSince = 0;
    uint32_t m_CaArea[21] = {};
    uint32_t m_UnusedPair[2] = {};
    std::vector<uint8_t> m_Section;

    // Video fields of ParsePesVideo.
    uint8_t m_byVideoStreamId = 0;
    double m_dVideoFrameRate = 0.0;
    uint32_t m_dwVideoBitRate = 0;
    uint16_t m_wVideoWidth = 0;
    uint16_t m_wVideoHeight = 0;

    // Filter (the caller's thread sets it before the remultiplexer reads it;
    // the remultiplexer prepares its tables under the filter lock).
    platform::CCriticalSection m_FilterLock;
    std::atomic<uint8_t> m_bFilterOn{0};
    std::atomic<uint8_t> m_bFilterPrepared{0};
    std::atomic<uint8_t> m_bNitReplaceOn{0};
    std::atomic<uint8_t> m_bTableRewrite{0};
    uint32_t m_bFilterListGiven = 0;
    const FILTERED_PROGRAM* m_pFilterList = nullptr;
    std::vector<uint16_t> m_Selected;
    std::vector<uint16_t> m_FilterPids;
    uint8_t m_DropMap[kMaxPid] = {};
    PAT_INFORMATION m_OutputPat;
    SDT_INFORMATION m_OutputSdt;
    PMT_INFORMATION m_KeptPmt[PAT_INFORMATION::kMaxPrograms];
    std::vector<uint16_t> m_RemovedPcr;
    std::vector<uint16_t> m_RemovedCa;
    std::vector<uint16_t> m_RemovedEs;
    std::unique_ptr<NIT_INFORMATION> m_pReplacementNit;
    uint8_t m_SectionPacket[kSectionSlots][204] = {};
    uint32_t m_dwNitPackets = 0;
    uint32_t m_dwNitPending = 0;
    uint8_t m_byContinuity = 0;
    int32_t m_nSdtIncoming = 0;
    int32_t m_nSdtToSend = 0;
    int32_t m_nSdtSendPos = 0;
    uint8_t m_SdtSection[1024] = {};
};

}  // namespace velmora::ts

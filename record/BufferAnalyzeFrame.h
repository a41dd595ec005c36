#pragma once

// Follows one program of a transport stream packet by packet: its PMT, its
// PCR clock and the transport bit rate measured from the PCRs, plus the
// T-STD buffer models of the program's streams.

#include <cstdint>
#include <memory>
#include <vector>

namespace velmora::record {

class CCirBufferAnalyze;
class CSystemBufferAnalyze;
class CVideoBufferAnalyze;

// One buffer model's state as the engine's buffer query reports it.
struct BUFFER_ANALYZE_INFO {
    uint32_t dwBufferSize;
    uint32_t dwReserved0;
    double dFullnessRatio;
    uint32_t dwFullness;
    uint32_t dwReserved1;
};
static_assert(sizeof(BUFFER_ANALYZE_INFO) == 24);

// The last state reported for one buffer.
struct BUFFER_STATE_RECORD {
    uint32_t dwLevel;
    uint32_t dwReserved;
    double dTime;
};
static_assert(sizeof(BUFFER_STATE_RECORD) == 16);

// Told of buffer overflows when set on a frame analyser.
class CBufferAnalyzeObserver {
  public:
    virtual ~CBufferAnalyzeObserver() = default;
    virtual void OnBufferState(const BUFFER_STATE_RECORD& record, uint32_t bufferIndex) = 0;
};

class CBufferAnalyzeFrame {
  public:
    static constexpr uint16_t kNoPid = 8192;
    static constexpr uint32_t kBufferRecords = 7;
    static constexpr int32_t kSectionBufferSize = 1024;

    // Buffer query selections.
    enum Category : uint32_t { kCategoryStream = 0, kCategoryVideo = 1, kCategorySystem = 2 };

    CBufferAnalyzeFrame();
    // pClient: the feeder's client, or null (the engine passes none); kept
    // for the caller, not called.
    CBufferAnalyzeFrame(uint16_t pmtPid, uint32_t programId, void* pClient);
    virtual ~CBufferAnalyzeFrame();
    CBufferAnalyzeFrame(const CBufferAnalyzeFrame&) = delete;
    CBufferAnalyzeFrame& operator=(const CBufferAnalyzeFrame&) = delete;

    // length: the stream's packet length (188 or 204); shorter packets are
    // ignored.
    void InputPacket(const uint8_t* pPacket, int32_t length, uint32_t flag);
    // 1 section complete, 0 partial, -1 refused, -3 bad offset.
    int32_t AssemblePmtSection(const uint8_t* pPacket);
    // Before the PMT is parsed 0; an unknown kind or category -1.
    uint32_t GetBufferSize(uint32_t kind, uint32_t category, int32_t index);
    int32_t GetBufferFullness(uint32_t kind, uint32_t category, int32_t index);
    double GetBufferFullnessRatio(uint32_t kind, uint32_t category, int32_t index);
    void Reset();
    uint32_t NotifyBufferState(uint32_t level, uint32_t bufferIndex, double time);
    void SetObserver(CBufferAnalyzeObserver* pObserver) { m_pObserver = pObserver; }

    double GetCurrentTime() const { return m_dCurrentTime; }
    uint16_t GetPcrPid() const { return m_wPcrPid; }
    uint16_t GetPmtPid() const { return m_wPmtPid; }
    uint32_t GetProgramId() const { return m_dwProgramId; }
    void* GetClient() const { return m_pClient; }
    bool IsPmtParsed() const { return m_bPmtParsed; }
    uint8_t GetLeak() const { return m_bLeak; }
    CSystemBufferAnalyze* GetSystemAnalyzer() { return m_pSystem.get(); }
    CVideoBufferAnalyze* GetVideoAnalyzer() { return m_pVideo.get(); }

    // Transport bit rate in bit/s; 0 until two PCRs have been seen. Read on
    // the thread that feeds the analyser.
    double m_dTsBitRate = 0.0;

  private:
    // The buffer of one selection, or null; *known false for a selection
    // that does not exist.
    CCirBufferAnalyze* SelectBuffer(uint32_t kind, uint32_t category, int32_t index, bool* known);
    void ParsePmt();
    void ReadClock(const uint8_t* pPacket);
    void ClearSectionState();

    CBufferAnalyzeObserver* m_pObserver = nullptr;
    BUFFER_STATE_RECORD m_States[kBufferRecords]{};
    uint32_t m_dwProgramId = 0;
    uint16_t m_wPmtPid = kNoPid;
    uint8_t m_Section[kSectionBufferSize]{};
    int32_t m_nSectionCollected = 0;
    uint32_t m_dwLastCounter = 0;
    int32_t m_nSectionMissing = 0;
    double m_dLastPcrTime = 0.0;
    uint32_t m_nBytesSincePcr = 0;
    uint16_t m_wPcrPid = kNoPid;
    double m_dCurrentTime = 0.0;
    std::unique_ptr<CSystemBufferAnalyze> m_pSystem;
    std::unique_ptr<CVideoBufferAnalyze> m_pVideo;
    std::vector<std::unique_ptr<CSystemBufferAnalyze>> m_Streams;
    bool m_bPmtParsed = false;
    uint8_t m_bLeak = 1;
    void* m_pClient = nullptr;
};

}  // namespace velmora::record

#pragma once

// Follows one program of a transport stream packet by packet: its PMT, its
// PCR clock and the transport bit rate measured from the PCRs, plus the
// T-STD buffer models of the program's streams.

#include <cstdint>

namespace velmora::record {

// One buffer model's state as the engine's buffer query reports it.
struct BUFFER_ANALYZE_INFO {
    uint32_t dwBufferSize;
    uint32_t dwReserved0;
    double dFullnessRatio;
    uint32_t dwFullness;
    uint32_t dwReserved1;
};
static_assert(sizeof(BUFFER_ANALYZE_INFO) == 24);

class CBufferAnalyzeFrame {
  public:
    // pClient: the feeder's client, or null (the engine passes none).
    CBufferAnalyzeFrame(uint16_t pmtPid, uint32_t programId, void* pClient);
    virtual ~CBufferAnalyzeFrame();
    CBufferAnalyzeFrame(const CBufferAnalyzeFrame&) = delete;
    CBufferAnalyzeFrame& operator=(const CBufferAnalyzeFrame&) = delete;

    void InputPacket(const uint8_t* pPacket, int32_t length, uint32_t flag);
    uint32_t GetBufferSize(uint32_t kind, uint32_t category, int32_t index);
    int32_t GetBufferFullness(uint32_t kind, uint32_t category, int32_t index);
    double GetBufferFullnessRatio(uint32_t kind, uint32_t category, int32_t index);

    // Transport bit rate in bit/s; 0 until two PCRs have been seen. Read on
    // the thread that feeds the analyser.
    double m_dTsBitRate = 0.0;

  private:
    uint16_t m_wPmtPid;
    uint32_t m_dwProgramId;
    void* m_pClient;
};

}  // namespace velmora::record

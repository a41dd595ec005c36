#include "record/BufferAnalyzeFrame.h"

namespace velmora::record {

// The frame analysis is not available in this build: the rate stays at its
// value before two PCRs (0) and no buffer model is known.
CBufferAnalyzeFrame::CBufferAnalyzeFrame(uint16_t pmtPid, uint32_t programId, void* pClient)
    : m_wPmtPid(pmtPid), m_dwProgramId(programId), m_pClient(pClient) {}

CBufferAnalyzeFrame::~CBufferAnalyzeFrame() = default;

void CBufferAnalyzeFrame::InputPacket(const uint8_t*, int32_t, uint32_t) {}

uint32_t CBufferAnalyzeFrame::GetBufferSize(uint32_t, uint32_t, int32_t) {
    return 0;
}

int32_t CBufferAnalyzeFrame::GetBufferFullness(uint32_t, uint32_t, int32_t) {
    return 0;
}

double CBufferAnalyzeFrame::GetBufferFullnessRatio(uint32_t, uint32_t, int32_t) {
    return 0.0;
}

}  // namespace velmora::record

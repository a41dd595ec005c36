#include "record/SystemBufferAnalyze.h"

#include <algorithm>
#include <cmath>

#include "record/BufferAnalyzeFrame.h"

namespace velmora::record {

CSystemBufferAnalyze::CSystemBufferAnalyze() = default;

CSystemBufferAnalyze::CSystemBufferAnalyze(uint16_t pid, CBufferAnalyzeFrame* owner)
    : m_wPid(pid), m_pOwner(owner) {}

double CSystemBufferAnalyze::OwnerRate() const {
    return m_pOwner != nullptr ? m_pOwner->m_dTsBitRate : 0.0;
}

int32_t CSystemBufferAnalyze::InputPacket(const uint8_t* bytes, int32_t length, uint16_t pid) {
    if ((pid != m_wPid && pid != 0 && pid != 1) || bytes == nullptr || length <= 0) return 0;
    m_TBsys.Write(bytes, length);
    if (m_TBsys.GetFillLength() > m_TBsys.GetSize() && m_pOwner != nullptr)
        m_pOwner->NotifyBufferState(1, 0, m_TBsys.GetFillLength());
    // Before two PCRs the rate is unknown: the buffers only fill.
    const double rate = OwnerRate();
    if (rate <= 0.0) return 0;

    uint8_t moved[kTbsysSize * 2];
    const double leaving = std::min(length / rate * kRxsys, static_cast<double>(sizeof(moved)));
    const int32_t taken = m_TBsys.ReadAtMost(moved, static_cast<int32_t>(leaving));
    if (m_TBsys.GetFillLength() == 0 && m_pOwner != nullptr)
        m_dTbEmptyTime = m_pOwner->GetCurrentTime();
    m_Bsys.Write(moved, taken);
    if (m_Bsys.GetFillLength() > m_Bsys.GetSize() && m_pOwner != nullptr)
        m_pOwner->NotifyBufferState(2, 1, m_Bsys.GetFullnessRatio());

    if (m_Bsys.GetFillLength() == 0) {
        m_dCarry = 0.0;
        return 0;
    }
    const double share = rate / 500.0;
    m_nRsys = share >= kMinRsys + 1 ? static_cast<int32_t>(share) : kMinRsys;
    const double out = length / rate * m_nRsys + m_dCarry;
    const double whole = std::floor(out);
    m_dCarry = out - whole;
    return m_Bsys.Discard(std::min(static_cast<int32_t>(whole), m_Bsys.GetFillLength()));
}

}  // namespace velmora::record

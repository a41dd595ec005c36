#pragma once

// The T-STD model of a program's system-information buffers TBsys and Bsys.

#include <cstdint>

#include "record/CirBufferAnalyze.h"

namespace velmora::record {

class CBufferAnalyzeFrame;

class CSystemBufferAnalyze {
  public:
    static constexpr int32_t kBsysSize = 1536;
    static constexpr int32_t kTbsysSize = 512;
    static constexpr int32_t kMinRsys = 80000;
    static constexpr int32_t kRxsys = 1000000;

    CSystemBufferAnalyze();
    CSystemBufferAnalyze(uint16_t pid, CBufferAnalyzeFrame* owner);
    CSystemBufferAnalyze(const CSystemBufferAnalyze&) = delete;
    CSystemBufferAnalyze& operator=(const CSystemBufferAnalyze&) = delete;

    // Bytes of one packet of the program's PMT PID or of PID 0 or 1; returns
    // the count that left Bsys. Nothing leaves while the owner's rate is 0.
    int32_t InputPacket(const uint8_t* bytes, int32_t length, uint16_t pid);

    CCirBufferAnalyze& Bsys() { return m_Bsys; }
    CCirBufferAnalyze& TBsys() { return m_TBsys; }
    int32_t GetRsys() const { return m_nRsys; }
    double GetTbEmptyTime() const { return m_dTbEmptyTime; }

  private:
    double OwnerRate() const;

    CCirBufferAnalyze m_Bsys{kBsysSize, 2.0};
    CCirBufferAnalyze m_TBsys{kTbsysSize, 2.0};
    double m_dTbEmptyTime = 0.0;
    double m_dCarry = 0.0;
    int32_t m_nRsys = kMinRsys;
    uint16_t m_wPid = 8192;
    CBufferAnalyzeFrame* m_pOwner = nullptr;
};

}  // namespace velmora::record

#pragma once

// Philips SAA7128 video encoder (card model 0x5100). One IIC address serves
// both directions: 0x88 after construction, 0x8C after UseIicAddress8C.

#include "av/VideoEncoder.h"

namespace velmora::av {

class CVideoEncoderSaa7128 : public CVideoEncoder {
  public:
    static constexpr uint8_t kDefaultAddress = 0x88;
    static constexpr uint8_t kAddress8C = 0x8C;

    explicit CVideoEncoderSaa7128(hw::CIicMaster* pIicMaster);
    CVideoEncoderSaa7128(hw::CIicMaster* pIicMaster, uint8_t writeAddress, uint8_t readAddress);
    ~CVideoEncoderSaa7128() override;

    uint32_t UseIicAddress8C();

    uint32_t InitDevice() override;
    // Sets the output-disable bit and turns the outputs off.
    uint32_t CloseDevice() override;
    uint32_t SetPal() override;
    uint32_t SetNtsc() override;
    uint32_t SetFreeRunSync() override;
    uint32_t DisableGenlock() override;
    uint32_t EnableExternalSync() override;
    uint32_t DisableExternalSync() override;
    uint32_t SetChromaPhase(uint8_t value) override;
    uint32_t EnableColorBars() override;
    uint32_t DisableColorBars() override;
    uint32_t TestIicAccess() override;

    uint32_t EnableOutputs();
    uint32_t DisableOutputs();
    uint32_t SetInputControlBit();
    uint32_t ClearInputControlBit();
    uint32_t EnableGenlock();
    uint32_t SetGenlockAndExternalSync();
    uint32_t SetOutputControlBit7();
    uint32_t ClearOutputControlBit7();
    uint32_t SetOutputControlBit6();
    uint32_t ClearOutputControlBit6();
};

}  // namespace velmora::av

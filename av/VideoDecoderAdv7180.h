#pragma once

// Analog Devices ADV7180 video decoder. Models 0x5110/0x5111 carry two, at
// 0x40/0x41 and 0x42/0x43. The chip has no initialisation table: every
// input-selection table carries the whole set-up, so an input must be
// selected before the chip delivers a picture.

#include "av/VideoDecoder.h"

namespace velmora::av {

class CVideoDecoderAdv7180 : public CVideoDecoder {
  public:
    // Address pair 0x40/0x41.
    explicit CVideoDecoderAdv7180(hw::CIicMaster* pIicMaster);
    ~CVideoDecoderAdv7180() override = default;

    void UseIicAddress40();
    void UseIicAddress42();

    uint32_t InitDevice() override;
    uint32_t SetPal() override;
    uint32_t SetNtsc() override;
    uint32_t EnableSyncOutput() override;
    uint32_t DisableSyncOutput() override;
    uint32_t ResetChromaDto() override;
    uint32_t GetInputStatus() override;
    // At 0x42 input 0 is the second chip's own source-0 set-up.
    uint32_t SelectInput0() override;
    uint32_t SelectInput8() override;
    uint32_t SelectInput9() override;
    uint32_t SelectInput10() override;
    uint32_t SelectInput1() override;
    uint32_t SelectInput2() override;
    uint32_t SelectInput7() override;
    uint32_t SetFastLockOff() override;
    uint32_t SetFastLockOn() override;
    uint32_t SetContrast(uint8_t value) override;
    uint32_t SetBrightness(uint8_t value) override;
    uint32_t SetHue(uint8_t value) override;
    uint32_t SetChromaSaturation(uint8_t value, uint32_t component) override;
    uint32_t TestIicAccess() override;
};

}  // namespace velmora::av

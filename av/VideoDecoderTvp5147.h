#pragma once

// Texas Instruments TVP5147 video decoder: model 0x5100's decoder 0, at 0xB8
// for both directions.

#include "av/VideoDecoder.h"

namespace velmora::av {

class CVideoDecoderTvp5147 : public CVideoDecoder {
  public:
    explicit CVideoDecoderTvp5147(hw::CIicMaster* pIicMaster);
    ~CVideoDecoderTvp5147() override = default;

    // Writes the init table with a 100 ms settling pause after the chip's
    // reset pulse.
    uint32_t InitDevice() override;
    uint32_t SetPal() override;
    uint32_t SetNtsc() override;
    uint32_t EnableSyncOutput() override;
    uint32_t DisableSyncOutput() override;
    uint32_t ResetChromaDto() override;
    uint32_t GetInputStatus() override;
    uint32_t SelectInput0() override;
    uint32_t SelectInput1() override;
    uint32_t SelectInput2() override;
    uint32_t SetFastLockOff() override;
    uint32_t SetFastLockOn() override;
    uint32_t SetContrast(uint8_t value) override;
    uint32_t SetBrightness(uint8_t value) override;
    uint32_t SetHue(uint8_t value) override;
    uint32_t SetSaturation(uint8_t value) override;
    uint32_t TestIicAccess() override;

  private:
    // Input register := input, then the output format and input control
    // fields that go with it.
    uint32_t SelectAnalogInput(uint8_t input, uint8_t outputFormat, uint8_t inputControl);
};

}  // namespace velmora::av

#pragma once

// Philips SAA7113 video decoder, 0x48/0x49 unless the board gives another
// pair. No card model of this library carries it; the class is complete for
// boards that do.

#include "av/VideoDecoder.h"

namespace velmora::av {

class CVideoDecoderSaa7113 : public CVideoDecoder {
  public:
    // Address pair 0x48/0x49, input mode 0.
    explicit CVideoDecoderSaa7113(hw::CIicMaster* pIicMaster);
    CVideoDecoderSaa7113(hw::CIicMaster* pIicMaster, uint8_t writeAddress, uint8_t readAddress);
    ~CVideoDecoderSaa7113() override = default;

    // What SelectInput0 selects: mode 0 the chip's input 0, mode 3 its
    // input 3, any other mode nothing. No bus transfer.
    void SetInputMode(uint32_t mode);
    uint32_t SetControl83Off();
    uint32_t SetControl83On();

    uint32_t InitDevice() override;
    uint32_t SetPal() override;
    uint32_t SetNtsc() override;
    uint32_t EnableSyncOutput() override;
    uint32_t DisableSyncOutput() override;
    uint32_t ResetChromaDto() override;
    uint32_t GetInputStatus() override;
    uint32_t SelectInput0() override;
    uint32_t SelectInput1() override;
    uint32_t SetFastLockOff() override;
    uint32_t SetFastLockOn() override;
    uint32_t SetContrast(uint8_t value) override;
    uint32_t SetBrightness(uint8_t value) override;
    uint32_t SetHue(uint8_t value) override;
    uint32_t SetSaturation(uint8_t value) override;
    uint32_t TestIicAccess() override;

  protected:
    uint32_t m_nInputMode = 0;

  private:
    // Register 0x88 bit 5 low then high, from the value read once.
    void PulseControl88Bit5();
};

}  // namespace velmora::av

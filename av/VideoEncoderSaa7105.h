#pragma once

// Philips SAA7105 video encoder, at 0x88 for both directions. No card model
// of this library carries one; the driver is complete for boards that do.

#include "av/VideoEncoder.h"

namespace velmora::av {

class CVideoEncoderSaa7105 : public CVideoEncoder {
  public:
    static constexpr uint8_t kAddress = 0x88;

    explicit CVideoEncoderSaa7105(hw::CIicMaster* pIicMaster);
    ~CVideoEncoderSaa7105() override;

    uint32_t InitDevice() override;
    uint32_t CloseDevice() override;
    // The chip has no standard tables: each standard is a fixed sequence of
    // field updates.
    uint32_t SetPal() override;
    uint32_t SetNtsc() override;
    uint32_t SetFreeRunSync() override;
    uint32_t DisableGenlock() override;
    // Nothing to do on this chip.
    uint32_t EnableExternalSync() override;
    uint32_t DisableExternalSync() override;
    uint32_t SetChromaPhase(uint8_t value) override;
    uint32_t EnableColorBars() override;
    uint32_t DisableColorBars() override;
    uint32_t SelectOutputFormat0() override;
    uint32_t SelectOutputFormat2() override;
    uint32_t TestIicAccess() override;

    uint32_t EnableGenlock();
    uint32_t SetGenlockAndExternalSync();

  private:
    void WriteOutputFormat(uint8_t reg2D, uint8_t reg19);
};

}  // namespace velmora::av

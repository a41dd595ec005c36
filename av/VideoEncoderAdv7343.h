#pragma once

// Analog Devices ADV7343 video encoder (card models 0x5110 and 0x5111). The
// chip has no initialisation table: the standard tables carry its set-up,
// so a standard must be selected before it outputs a picture.

#include "av/VideoEncoder.h"

namespace velmora::av {

class CVideoEncoderAdv7343 : public CVideoEncoder {
  public:
    static constexpr uint8_t kDefaultWriteAddress = 0x54;
    static constexpr uint8_t kDefaultReadAddress = 0x55;
    // Boards from version 0x20100 on carry the chip at 0x56/0x57.
    static constexpr uint8_t kAlternateWriteAddress = 0x56;
    static constexpr uint8_t kAlternateReadAddress = 0x57;

    explicit CVideoEncoderAdv7343(hw::CIicMaster* pIicMaster);
    CVideoEncoderAdv7343(hw::CIicMaster* pIicMaster, uint8_t writeAddress, uint8_t readAddress);
    ~CVideoEncoderAdv7343() override;

    uint32_t InitDevice() override;
    uint32_t CloseDevice() override;
    uint32_t SetPal() override;
    uint32_t SetNtsc() override;
    uint32_t SetFreeRunSync() override;
    uint32_t SetGenlockSync(uint32_t mode) override;
    // Mode 0 (the board's call) selects genlock field 3, any other mode 1.
    uint32_t SetGenlockMode(uint32_t mode) override;
    uint32_t DisableGenlock() override;
    uint32_t EnableColorBars() override;
    uint32_t DisableColorBars() override;
    // On register 0x84, a live control register: its value is kept.
    uint32_t TestIicAccess() override;
};

}  // namespace velmora::av

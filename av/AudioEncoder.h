#pragma once

// An audio output as the board-support object sees it: output selection,
// which no card of this library needs to act on.

#include <cstdint>

namespace velmora::hw {
class CFpga;
}

namespace velmora::av {

class CAudioEncoder {
  public:
    CAudioEncoder() = default;
    CAudioEncoder(const CAudioEncoder&) = delete;
    CAudioEncoder& operator=(const CAudioEncoder&) = delete;

    virtual uint32_t SelectOutput(uint32_t code);

    virtual ~CAudioEncoder();
};

// The audio output of card models 0x5110 and 0x5111: nothing to set.
class CVelmoraAudioEncoder : public CAudioEncoder {
  public:
    // Takes the FPGA object as the board hands it, and does not keep it.
    explicit CVelmoraAudioEncoder(hw::CFpga* pFpga);
    ~CVelmoraAudioEncoder() override;
};

}  // namespace velmora::av

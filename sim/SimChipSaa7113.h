#pragma once

#include <cstdint>

#include "sim/SimChip.h"

namespace velmora::sim {

// Philips SAA7113 video decoder: a register file whose status byte 0x1F
// raises bit 6 (horizontal and vertical lock lost) while the input selected
// in register 0x02 carries no signal.
class SimChipSaa7113 {
  public:
    static constexpr uint8_t kAnalogControl = 0x02;  // bits 0-3: the analog input mode
    static constexpr uint8_t kInputMask = 0x0F;
    static constexpr uint8_t kStatus = 0x1F;
    static constexpr uint8_t kNotLocked = 0x40;

    static void Access(SimChipAccess& access);
};

}  // namespace velmora::sim

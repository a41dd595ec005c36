#pragma once

#include <cstdint>

#include "sim/SimChip.h"

namespace velmora::sim {

// Analog Devices ADV7180 video decoder: a register file whose status
// register 0x10 tells whether the input selected in register 0x00 carries a
// signal.
class SimChipAdv7180 {
  public:
    static constexpr uint8_t kInputControl = 0x00;  // bits 0-3: the analog input
    static constexpr uint8_t kInputMask = 0x0F;
    static constexpr uint8_t kStatus = 0x10;  // bit 0: locked to an input signal
    static constexpr uint8_t kLocked = 0x01;

    static void Access(SimChipAccess& access);
};

}  // namespace velmora::sim

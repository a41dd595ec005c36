#pragma once

// The PLX PEX 8311 bridge chip: its device identifier and its user pins.

#include <cstdint>

#include "hw/PlxPciBridge.h"

namespace velmora::hw {

class CPlxPex8311 : public CPlxPciBridge {
  public:
    CPlxPex8311();
    ~CPlxPex8311() override = default;

    uint32_t GetBoardCount(uint32_t* pCount) override;
    // The user output pin (bit 16 of local register 0x6C) to level 0 or 1;
    // the pin argument is not used, the chip has one.
    uint32_t SetUserOutput(uint32_t pin, uint32_t level) override;
    // *pLevel := the user input pin (bit 17 of local register 0x6C).
    uint32_t GetUserInput(uint32_t pin, uint32_t* pLevel) override;
};

}  // namespace velmora::hw

#pragma once

// The settings store this card builds: its EEPROM answers at 0xA0 for both
// writes and reads.

#include "card/NonvolatileRam.h"

namespace velmora::card {

class COstrevoNvRam : public CNonvolatileRam {
  public:
    static constexpr uint8_t kEepromAddress = 0xA0;

    explicit COstrevoNvRam(hw::CIicMaster* pIicMaster);
    ~COstrevoNvRam() override = default;
};

}  // namespace velmora::card

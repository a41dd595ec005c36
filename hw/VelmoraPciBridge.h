#pragma once

// This card's bridge: the PEX 8311 with the card's own identifiers.

#include "hw/PlxPex8311.h"

namespace velmora::hw {

class CVelmoraPciBridge : public CPlxPex8311 {
  public:
    static constexpr uint32_t kCardType = 0x5100;
    static constexpr uint32_t kVendorId = 0x4B57;
    static constexpr uint32_t kDeviceId = 0x5100;

    CVelmoraPciBridge();
    ~CVelmoraPciBridge() override = default;
};

}  // namespace velmora::hw

#pragma once

// The programmer of the card's FPGA configuration flash. The card builds it
// with the rest of its objects and the board support forwards the flash
// operations to it; building and deleting it touch no hardware. It holds the
// card index and the PCI bridge whose user pins it drives while programming.

#include <cstdint>

#include "hw/PlxPex8311.h"

namespace velmora::program {

class COstrevoFpgaConfig {
  public:
    COstrevoFpgaConfig(uint32_t cardIndex, hw::CPlxPex8311* pPciBridge);
    virtual ~COstrevoFpgaConfig() = default;
    COstrevoFpgaConfig(const COstrevoFpgaConfig&) = delete;
    COstrevoFpgaConfig& operator=(const COstrevoFpgaConfig&) = delete;

    uint32_t GetCardIndex() const { return m_dwCardIndex; }
    hw::CPlxPex8311* GetPciBridge() const { return m_pPciBridge; }

  private:
    const uint32_t m_dwCardIndex;
    hw::CPlxPex8311* const m_pPciBridge;
};

}  // namespace velmora::program

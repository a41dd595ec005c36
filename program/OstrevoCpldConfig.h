#pragma once

// The programmer of the card's CPLD. The card builds it with the rest of its
// objects and deletes it at close; building and deleting it touch no
// hardware and no other object of the card. It holds the card index and the
// PCI bridge whose user pins it drives while programming.

#include <cstdint>

#include "hw/PlxPex8311.h"

namespace velmora::program {

class COstrevoCpldConfig {
  public:
    COstrevoCpldConfig(uint32_t cardIndex, hw::CPlxPex8311* pPciBridge);
    virtual ~COstrevoCpldConfig() = default;
    COstrevoCpldConfig(const COstrevoCpldConfig&) = delete;
    COstrevoCpldConfig& operator=(const COstrevoCpldConfig&) = delete;

    uint32_t GetCardIndex() const { return m_dwCardIndex; }
    hw::CPlxPex8311* GetPciBridge() const { return m_pPciBridge; }

  private:
    const uint32_t m_dwCardIndex;
    hw::CPlxPex8311* const m_pPciBridge;
};

}  // namespace velmora::program

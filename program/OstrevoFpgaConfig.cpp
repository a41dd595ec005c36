#include "program/OstrevoFpgaConfig.h"

namespace velmora::program {

COstrevoFpgaConfig::COstrevoFpgaConfig(uint32_t cardIndex, hw::CPlxPex8311* pPciBridge)
    : m_dwCardIndex(cardIndex), m_pPciBridge(pPciBridge) {}

}  // namespace velmora::program

#include "program/OstrevoCpldConfig.h"

namespace velmora::program {

COstrevoCpldConfig::COstrevoCpldConfig(uint32_t cardIndex, hw::CPlxPex8311* pPciBridge)
    : m_dwCardIndex(cardIndex), m_pPciBridge(pPciBridge) {}

}  // namespace velmora::program

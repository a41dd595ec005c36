#include "hw/FpgaIicMaster.h"

#include "hw/Fpga.h"

namespace velmora::hw {

CFpgaIicMaster::CFpgaIicMaster(CFpga* pFpga) : m_pFpga(pFpga) {}

uint32_t CFpgaIicMaster::SetSdaLevel(uint32_t level) {
    return m_pFpga != nullptr ? m_pFpga->SetSdaLevel(level) : 0;
}

uint32_t CFpgaIicMaster::GetSdaLevel(uint32_t* pLevel) {
    return m_pFpga != nullptr ? m_pFpga->GetSdaLevel(pLevel) : 0;
}

uint32_t CFpgaIicMaster::SetSdaDirection(uint32_t release) {
    return m_pFpga != nullptr ? m_pFpga->SetSdaDirection(release) : 0;
}

uint32_t CFpgaIicMaster::SetSclLevel(uint32_t level) {
    return m_pFpga != nullptr ? m_pFpga->SetSclLevel(level) : 0;
}

}  // namespace velmora::hw

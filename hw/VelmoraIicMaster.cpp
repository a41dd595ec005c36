#include "hw/VelmoraIicMaster.h"

namespace velmora::hw {

CVelmoraIicMaster::CVelmoraIicMaster(CFpga* pFpga, card::CGlobalVars* pGlobalVars)
    : CIicMasterPro(pFpga, pGlobalVars), m_pCardGlobals(pGlobalVars) {}

// Each transfer sets the mode flag for the object's other users and runs on
// the engine itself, so that a concurrent change of the flag cannot send it
// down the bit-banged lines.

uint32_t CVelmoraIicMaster::Write(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                                  uint32_t count) {
    m_dwMode.store(kModeByteEngine);
    return WriteOn(kModeByteEngine, device, subAddress, pSource, count);
}

uint32_t CVelmoraIicMaster::Read(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                                 uint32_t count) {
    m_dwMode.store(kModeByteEngine);
    return ReadOn(kModeByteEngine, device, subAddress, pDestination, count);
}

uint32_t CVelmoraIicMaster::WriteField(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                                       const uint8_t* pValue, uint8_t shift, uint8_t width) {
    m_dwMode.store(kModeByteEngine);
    return WriteFieldOn(kModeByteEngine, writeDevice, readDevice, subAddress, pValue, shift, width);
}

uint32_t CVelmoraIicMaster::WriteShadowed(uint8_t device, uint8_t subAddress,
                                          const uint8_t* pSource, uint32_t count,
                                          uint8_t* pShadow) {
    m_dwMode.store(kModeByteEngine);
    return WriteShadowedOn(kModeByteEngine, device, subAddress, pSource, count, pShadow);
}

uint32_t CVelmoraIicMaster::ReadFromShadow(uint8_t device, uint8_t subAddress,
                                           uint8_t* pDestination, uint32_t count,
                                           const uint8_t* pShadow) {
    m_dwMode.store(kModeByteEngine);
    return ReadFromShadowOn(kModeByteEngine, device, subAddress, pDestination, count, pShadow);
}

uint32_t CVelmoraIicMaster::WriteFieldShadowed(uint8_t writeDevice, uint8_t readDevice,
                                               uint8_t subAddress, const uint8_t* pValue,
                                               uint8_t shift, uint8_t width, uint8_t* pShadow) {
    m_dwMode.store(kModeByteEngine);
    return WriteFieldShadowedOn(kModeByteEngine, writeDevice, readDevice, subAddress, pValue, shift,
                                width, pShadow);
}

}  // namespace velmora::hw

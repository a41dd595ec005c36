#pragma once

// This card's IIC master: every transfer runs on the FPGA's byte engine,
// whatever another user of the object did to the mode flag.

#include "hw/IicMasterPro.h"

namespace velmora::hw {

class CVelmoraIicMaster : public CIicMasterPro {
  public:
    CVelmoraIicMaster(CFpga* pFpga, card::CGlobalVars* pGlobalVars);
    ~CVelmoraIicMaster() override = default;

    uint32_t Write(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                   uint32_t count) override;
    uint32_t Read(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                  uint32_t count) override;
    uint32_t WriteField(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                        const uint8_t* pValue, uint8_t shift, uint8_t width) override;
    uint32_t WriteShadowed(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                           uint32_t count, uint8_t* pShadow) override;
    uint32_t ReadFromShadow(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                            uint32_t count, const uint8_t* pShadow) override;
    uint32_t WriteFieldShadowed(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                                const uint8_t* pValue, uint8_t shift, uint8_t width,
                                uint8_t* pShadow) override;

  private:
    // The card's globals once more, as the card level keeps them; the
    // transfers lock through the copy of the level below.
    [[maybe_unused]] card::CGlobalVars* m_pCardGlobals;
};

}  // namespace velmora::hw

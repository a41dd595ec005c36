#pragma once

// The bit-banged IIC master over the FPGA's line bits in register 0x60.

#include "hw/IicMaster.h"

namespace velmora::hw {

class CFpga;

class CFpgaIicMaster : public CIicMaster {
  public:
    explicit CFpgaIicMaster(CFpga* pFpga);
    ~CFpgaIicMaster() override = default;

    // Each fails when the FPGA did not apply the line state.
    uint32_t SetSdaLevel(uint32_t level) override;
    uint32_t GetSdaLevel(uint32_t* pLevel) override;
    uint32_t SetSdaDirection(uint32_t release) override;
    uint32_t SetSclLevel(uint32_t level) override;

  private:
    CFpga* m_pFpga;
};

}  // namespace velmora::hw

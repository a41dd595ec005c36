#pragma once

// The IIC front end of a card: serialises every transfer across threads and
// processes with the card's named IIC mutexes and runs it on the bit-banged
// lines (mode 0, the mode at construction) or on the byte engine (mode 1).
//
// Plain transfers hold IIC mutex 0. Field and shadow operations hold mutex 1
// and then mutex 0 as well, so that the bus phases of a read-modify-write
// never interleave with another caller's transfer. No operation takes mutex
// 1 while holding mutex 0. Without card globals (or their mutexes) nothing is
// locked.

#include <atomic>
#include <cstdint>
#include <memory>

#include "hw/IicMaster.h"

namespace velmora::card {
class CGlobalVars;
}

namespace velmora::hw {

class CFpga;
class CFpgaIicMaster;
class CFpgaIicMasterPro;

class CIicMasterPro : public CIicMaster {
  public:
    static constexpr uint32_t kModeBitBanged = 0;
    static constexpr uint32_t kModeByteEngine = 1;

    // Builds both paths over the FPGA object; a path that cannot be built
    // stays null and its transfers fail.
    CIicMasterPro(CFpga* pFpga, card::CGlobalVars* pGlobalVars);
    ~CIicMasterPro() override;

    // Each returns the transfer's own result, or 0 when the bus could not be
    // locked.
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

    // Bit 19 of the FPGA's port control register.
    virtual uint32_t SetIicControl();
    virtual uint32_t ClearIicControl();

    // 0 for a mode other than the two above.
    uint32_t SetMode(uint32_t mode);
    uint32_t GetMode() const { return m_dwMode.load(); }

  protected:
    // The transfers on an explicit path, so that a caller that picked the
    // path is not turned by another thread changing the mode flag meanwhile.
    uint32_t WriteOn(uint32_t mode, uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                     uint32_t count);
    uint32_t ReadOn(uint32_t mode, uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                    uint32_t count);
    uint32_t WriteFieldOn(uint32_t mode, uint8_t writeDevice, uint8_t readDevice,
                          uint8_t subAddress, const uint8_t* pValue, uint8_t shift, uint8_t width);
    uint32_t WriteShadowedOn(uint32_t mode, uint8_t device, uint8_t subAddress,
                             const uint8_t* pSource, uint32_t count, uint8_t* pShadow);
    uint32_t ReadFromShadowOn(uint32_t mode, uint8_t device, uint8_t subAddress,
                              uint8_t* pDestination, uint32_t count, const uint8_t* pShadow);
    uint32_t WriteFieldShadowedOn(uint32_t mode, uint8_t writeDevice, uint8_t readDevice,
                                  uint8_t subAddress, const uint8_t* pValue, uint8_t shift,
                                  uint8_t width, uint8_t* pShadow);

    std::atomic<uint32_t> m_dwMode{kModeBitBanged};

  private:
    enum class LockScope { Transfer, FieldOrShadow };
    // Runs one path's operation under the scope's mutexes.
    template <typename BitBanged, typename Engine>
    uint32_t Locked(LockScope scope, uint32_t mode, BitBanged bitBanged, Engine engine);

    CFpga* m_pFpga;
    card::CGlobalVars* m_pGlobalVars;
    std::unique_ptr<CFpgaIicMaster> m_pBitBanged;
    std::unique_ptr<CFpgaIicMasterPro> m_pByteEngine;
};

}  // namespace velmora::hw

#pragma once

// This card's card object: it owns the card's whole object graph (card
// variables and their named mutexes, PCI bridge, FPGA, IIC master, NVRAM,
// FPGA-flash and CPLD programmers, DMA manager, board support, main function
// and API object), builds it in a fixed order when the card is opened and
// deletes it in a fixed order when the card is closed.

#include <cstdint>
#include <memory>

#include "card/IoCard.h"

namespace velmora::hw {
class CVelmoraPciBridge;
class CVelmoraFpga;
class CVelmoraIicMaster;
class CDmaManager;
}  // namespace velmora::hw
namespace velmora::program {
class COstrevoFpgaConfig;
class COstrevoCpldConfig;
}  // namespace velmora::program
namespace velmora::api {
class CVelmoraSdkApi;
}

namespace velmora::card {

class CGlobalVars;
class COstrevoNvRam;
class CVelmoraBoardSupport;
class CVelmoraMainFunc;

class CVelmoraCard : public CIoCard {
  public:
    static constexpr const char* kCardName = "QuorvelVelmora";
    static constexpr uint32_t kCardType = 0x5100;

    explicit CVelmoraCard(uint32_t cardIndex);
    // Releases whatever is still built, without closing the card.
    ~CVelmoraCard() override;

    // Builds the object graph; with a non-zero flag also opens the card.
    // Refused (0) while the card is open. A graph left by a failed open is
    // released and built afresh. A card whose named mutexes cannot be made
    // is not built at all.
    virtual uint32_t OpenCardObjects(uint32_t openFlag);
    // With a non-zero flag closes the card first; the objects are released
    // even when the close fails, and the result is then 0. A programmer
    // still in its programming mode leaves it before anything else.
    virtual uint32_t CloseCardObjects(uint32_t closeFlag);

    // The API object; null while the graph is not built.
    api::CVelmoraSdkApi* GetApi() const { return m_pApi; }
    CVelmoraBoardSupport* GetBoardSupport() const { return m_pVelmoraBoardSupport; }
    CVelmoraMainFunc* GetMainFunc() const { return m_pVelmoraMainFunc; }
    CGlobalVars* GetGlobalVars() const { return m_pGlobalVars; }
    // The device programmers; what a programming tool built on the library
    // drives.
    program::COstrevoFpgaConfig* GetFpgaConfig() const { return m_pFpgaConfig; }
    program::COstrevoCpldConfig* GetCpldConfig() const { return m_pCpldConfig; }

  private:
    // Deletes the graph in its release order.
    void ReleaseObjects();
    // A programmer left in its programming mode holds the board open and
    // both DMA channel locks through the bridge: it leaves the mode before
    // the card closes the device or deletes the bridge.
    void LeaveProgrammingModes();

    CGlobalVars* m_pGlobalVars = nullptr;
    CVelmoraBoardSupport* m_pVelmoraBoardSupport = nullptr;
    hw::CVelmoraPciBridge* m_pPciBridge = nullptr;
    hw::CVelmoraFpga* m_pFpga = nullptr;
    hw::CVelmoraIicMaster* m_pIicMaster = nullptr;
    COstrevoNvRam* m_pNvram = nullptr;
    program::COstrevoFpgaConfig* m_pFpgaConfig = nullptr;
    program::COstrevoCpldConfig* m_pCpldConfig = nullptr;
    hw::CDmaManager* m_pDmaManager = nullptr;
    CVelmoraMainFunc* m_pVelmoraMainFunc = nullptr;
    api::CVelmoraSdkApi* m_pApi = nullptr;
};

}  // namespace velmora::card

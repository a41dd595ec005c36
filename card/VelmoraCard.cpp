#include "card/VelmoraCard.h"

#include <new>

#include "api/VelmoraSdkApi.h"
#include "card/GlobalVars.h"
#include "card/LogFile.h"
#include "card/OstrevoNvRam.h"
#include "card/VelmoraBoardSupport.h"
#include "card/VelmoraMainFunc.h"
#include "hw/DmaManager.h"
#include "hw/VelmoraFpga.h"
#include "hw/VelmoraIicMaster.h"
#include "hw/VelmoraPciBridge.h"
#include "program/OstrevoCpldConfig.h"
#include "program/OstrevoFpgaConfig.h"

namespace velmora::card {

namespace {

template <typename T>
void DeleteAndClear(T*& object) {
    delete object;
    object = nullptr;
}

}  // namespace

CVelmoraCard::CVelmoraCard(uint32_t cardIndex) : CIoCard(cardIndex) {}

CVelmoraCard::~CVelmoraCard() {
    ReleaseObjects();
}

uint32_t CVelmoraCard::OpenCardObjects(uint32_t openFlag) {
    // A second graph over an open card would leave the first one running and
    // count the card twice.
    if (IsOpen()) {
        g_LogFile.WriteLogA("OpenCard: card %u is open already", m_dwCardIndex);
        return 0;
    }
    // What a failed open left behind.
    ReleaseObjects();

    try {
        m_strCardName = kCardName;
        m_pGlobalVars = new CGlobalVars(m_dwCardIndex);
        m_pGlobalVars->SetName(m_strCardName);
        // Without its register and bus guards the card must not be driven.
        if (!m_pGlobalVars->CreateMutexes()) {
            g_LogFile.WriteLogA(
                "OpenCard: the register and bus mutexes of card %u cannot be had: not opened",
                m_dwCardIndex);
            ReleaseObjects();
            return 0;
        }
        m_pPciBridge = new hw::CVelmoraPciBridge();
        m_pFpga = new hw::CVelmoraFpga(m_pPciBridge, m_pGlobalVars);
        m_pIicMaster = new hw::CVelmoraIicMaster(m_pFpga, m_pGlobalVars);
        m_pNvram = new COstrevoNvRam(m_pIicMaster);
        m_pFpgaConfig = new program::COstrevoFpgaConfig(m_dwCardIndex, m_pPciBridge);
        m_pCpldConfig = new program::COstrevoCpldConfig(m_dwCardIndex, m_pPciBridge);
        m_pDmaManager = new hw::CDmaManager(m_pPciBridge);
        m_pVelmoraBoardSupport = new CVelmoraBoardSupport(
            m_dwCardIndex, m_pPciBridge, m_pFpga, m_pIicMaster, m_pGlobalVars, m_pNvram,
            m_pFpgaConfig, m_pCpldConfig, m_pDmaManager);
        m_pVelmoraBoardSupport->SetCard(this);
        m_pVelmoraMainFunc =
            new CVelmoraMainFunc(m_dwCardIndex, m_pVelmoraBoardSupport, m_pDmaManager);
        m_pVelmoraMainFunc->SetName(m_strCardName);
        m_pApi = new api::CVelmoraSdkApi(m_pVelmoraMainFunc, m_pVelmoraBoardSupport);
    } catch (const std::bad_alloc&) {
        g_LogFile.WriteLogA("OpenCard: no memory for the objects of card %u: not opened",
                            m_dwCardIndex);
        ReleaseObjects();
        return 0;
    }
    m_pCardVars = m_pGlobalVars;

    if (!openFlag) return 1;
    return Open(kCardType, 0, m_pVelmoraMainFunc, m_pVelmoraBoardSupport);
}

uint32_t CVelmoraCard::CloseCardObjects(uint32_t closeFlag) {
    uint32_t result = 1;
    LeaveProgrammingModes();
    if (closeFlag && m_pVelmoraMainFunc && m_pVelmoraBoardSupport && !Close()) result = 0;
    ReleaseObjects();
    return result;
}

void CVelmoraCard::LeaveProgrammingModes() {
    if (m_pFpgaConfig && m_pFpgaConfig->HoldsLines()) m_pFpgaConfig->LeaveConfigMode();
    if (m_pCpldConfig && m_pCpldConfig->HoldsLines()) m_pCpldConfig->LeaveProgrammingMode();
}

void CVelmoraCard::ReleaseObjects() {
    LeaveProgrammingModes();
    if (m_pGlobalVars) m_pGlobalVars->ReleaseMutexes();
    m_pCardVars = nullptr;
    // Not the reverse of the build: the board support goes after the DMA
    // manager. No destructor here touches another object of the graph.
    DeleteAndClear(m_pGlobalVars);
    DeleteAndClear(m_pPciBridge);
    DeleteAndClear(m_pFpga);
    DeleteAndClear(m_pIicMaster);
    DeleteAndClear(m_pNvram);
    DeleteAndClear(m_pFpgaConfig);
    DeleteAndClear(m_pCpldConfig);
    DeleteAndClear(m_pDmaManager);
    DeleteAndClear(m_pVelmoraBoardSupport);
    DeleteAndClear(m_pVelmoraMainFunc);
    DeleteAndClear(m_pApi);
    CBaseCard::m_pMainFunc = nullptr;
    CBaseCard::m_pBoardSupport = nullptr;
}

}  // namespace velmora::card

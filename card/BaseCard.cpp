#include "card/BaseCard.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "card/BoardSupport.h"
#include "card/CardMainFunc.h"
#include "card/GlobalVars.h"
#include "card/LogFile.h"
#include "platform/NamedMutex.h"
#include "platform/SharedMemory.h"
#include "platform/Thread.h"

namespace velmora::card {

namespace {

// The system-wide count is shared with other processes' opens and closes,
// also those that go on without the open mutex.
using SharedCount = std::atomic_ref<uint32_t>;
static_assert(SharedCount::is_always_lock_free);

bool Acquired(platform::WaitResult result) {
    // A previous owner that died holding the mutex leaves it to us; the
    // counts it guards are only changed in whole words, so they stay usable,
    // and a bring-up it left half-done shows in the card's bring-up mark.
    return result == platform::WaitResult::Signaled || result == platform::WaitResult::Abandoned;
}

}  // namespace

CBaseCard::CBaseCard(uint32_t cardIndex) : m_dwCardIndex(cardIndex) {}

CBaseCard::~CBaseCard() {
    if (m_pOpenMutex) m_pOpenMutex->Unlock();
}

uint32_t CBaseCard::Reserved0() {
    return 1;
}

uint32_t CBaseCard::Reserved1() {
    return 1;
}

uint32_t CBaseCard::Reserved6() {
    return 1;
}

uint32_t CBaseCard::Reserved7() {
    return 1;
}

uint32_t CBaseCard::Reserved8() {
    return 1;
}

CBaseCard* CBaseCard::SetCardIndex(uint32_t cardIndex) {
    m_dwCardIndex = cardIndex;
    return this;
}

std::string CBaseCard::OpenMutexName() const {
    return m_strCardName + kOpenMutexSuffix;
}

uint32_t CBaseCard::WhileNoneOpensOrCloses(
    const char* call, const std::function<uint32_t(bool othersOpen)>& change) const {
    const std::unique_ptr<platform::NamedMutex> mutex =
        platform::NamedMutex::Create(OpenMutexName());
    if (!mutex || !Acquired(mutex->Lock())) {
        g_LogFile.WriteLogA("%s: the open mutex of the cards cannot be had", call);
        return 0;
    }
    const auto unlock = [](platform::NamedMutex* held) { held->Unlock(); };
    const std::unique_ptr<platform::NamedMutex, decltype(unlock)> held(mutex.get(), unlock);
    return change(!m_pSharedBlock || m_pSharedBlock->HeldByAnotherProcess());
}

uint32_t* CBaseCard::SystemOpenCount() const {
    return m_pSharedBlock ? static_cast<uint32_t*>(m_pSharedBlock->Data()) : nullptr;
}

bool CBaseCard::IsInheritedCopy() const {
    return IsOpen() && m_dwOpenerProcessId != platform::CurrentProcessId();
}

uint32_t CBaseCard::GetSystemOpenCount() const {
    uint32_t* count = SystemOpenCount();
    return count ? SharedCount(*count).load() : 0;
}

void CBaseCard::CountSystemOpen(bool firstInSystem) {
    uint32_t* word = SystemOpenCount();
    if (!word) return;
    SharedCount count(*word);
    if (firstInSystem) {
        count.store(1);
    } else {
        count.fetch_add(1);
    }
}

bool CBaseCard::UncountSystemOpen() {
    uint32_t* word = SystemOpenCount();
    if (!word) return true;
    SharedCount count(*word);
    uint32_t before = count.load();
    while (before != 0 && !count.compare_exchange_weak(before, before - 1)) {
    }
    // A count found at 0 (wiped by an open that took the card over) counts
    // nobody else either.
    return before <= 1;
}

uint32_t CBaseCard::CreateSharedMemory() {
    char suffix[64];
    std::snprintf(suffix, sizeof(suffix), kSharedBlockSuffix, static_cast<int>(m_dwCardIndex));
    m_strSharedBlockName = m_strCardName + suffix;
    // Create and open are one step here: releasing a block that already
    // existed and opening it again by name would let it vanish in between.
    m_pSharedBlock = platform::SharedMemory::Open(m_strSharedBlockName, m_dwSharedBlockSize);
    if (!m_pSharedBlock) return 0;
    m_bCreator = m_pSharedBlock->AlreadyExisted() ? 0 : 1;
    return 1;
}

uint32_t CBaseCard::OpenSharedMemory() {
    if (!m_pSharedBlock) return 0;
    if (m_bCreator) std::memset(m_pSharedBlock->Data(), 0, m_dwSharedBlockSize);
    if (!Reserved8()) return 0;

    if (!m_pBoardSupport->OpenPciDevice(m_bCreator)) {
        g_LogFile.WriteLog(L"open pci device err");
        return 0;
    }
    m_bPciDeviceOpen = true;
    m_dwCardType = m_pCardVars ? m_pCardVars->GetCardType() : 0;
    if (!m_pBoardSupport->MapBars()) {
        g_LogFile.WriteLog(L"map bars err");
        return 0;
    }
    uint32_t chipsetClass = 0;
    if (!m_pBoardSupport->GetHostChipsetType(&chipsetClass)) {
        g_LogFile.WriteLog(L"get host chipset type err");
        return 0;
    }
    m_dwHostChipsetClass = chipsetClass;

    uint32_t cardVersion = 0, boardVersion = 0, fpgaVersion = 0, driverVersion = 0;
    if (!m_pBoardSupport->GetCardVersion(&cardVersion)) {
        g_LogFile.WriteLog(L"getcard version err");
        return 0;
    }
    if (!m_pBoardSupport->GetBoardVersion(&boardVersion)) {
        g_LogFile.WriteLog(L"getboard version err");
        return 0;
    }
    if (!m_pBoardSupport->GetFPGAVersion(&fpgaVersion)) {
        g_LogFile.WriteLog(L"getfpga version err");
        return 0;
    }
    if (!m_pBoardSupport->GetDriverVersion(&driverVersion)) {
        g_LogFile.WriteLog(L"getdriver version err");
        return 0;
    }
    m_dwCardVersion = cardVersion;
    m_dwBoardVersion = boardVersion;
    m_dwFpgaVersion = fpgaVersion;
    m_dwDriverVersion = driverVersion;
    return 1;
}

void CBaseCard::ReleaseOpenMutex() {
    if (!m_pOpenMutex) return;
    m_pOpenMutex->Unlock();
    m_pOpenMutex.reset();
}

uint32_t CBaseCard::TakeOverCard() {
    // Whoever the block counts is gone: a user that had opened the card
    // would hold it up. This open starts the block and the card as their
    // first opener does, the device opened again with a reset, whatever a
    // dead opener left running.
    g_LogFile.WriteLog(L"card %u was not brought up: initialising it again", m_dwCardIndex);
    m_pBoardSupport->ClosePciDevice(0);
    m_bPciDeviceOpen = false;
    m_bCreator = 1;
    return OpenSharedMemory();
}

uint32_t CBaseCard::CloseDevice() {
    // Cleared first: a close that dies half-way leaves a card the next
    // opener brings up again.
    const uint32_t cleared = m_pBoardSupport->SetBroughtUp(0);
    return m_pBoardSupport->CloseDevice() && cleared ? 1 : 0;
}

void CBaseCard::RollBackOpen(const OpenProgress& progress) {
    // Whether the card is left without users: counted, the shared count says
    // so; not yet counted, only a creator of the block was alone with it.
    bool lastInSystem = m_bCreator != 0;
    if (progress.systemCounted) lastInSystem = UncountSystemOpen();
    if (progress.deviceInit && lastInSystem) CloseDevice();
    if (progress.pciOpen) m_pBoardSupport->ClosePciDevice(lastInSystem ? 1 : 0);
    m_bPciDeviceOpen = false;
    if (progress.blockMapped) {
        m_pSharedBlock.reset();
        m_bCreator = 1;
    }
    if (progress.counted) --m_dwProcessOpenCount;
    m_bFirstInProcess = 1;
}

uint32_t CBaseCard::Open(uint32_t cardType, uint32_t flags, CCardMainFunc* pMainFunc,
                         CBoardSupport* pBoardSupport) {
    if (!pMainFunc || !pBoardSupport) {
        g_LogFile.WriteLogA("OpenCard: card %u has no main functions or board support: not opened",
                            m_dwCardIndex);
        return 0;
    }
    m_pMainFunc = pMainFunc;
    m_pBoardSupport = pBoardSupport;
    if (flags & kOpenNoHardware) {
        m_bNoHardware = 1;
        m_pBoardSupport->EnableNoHardwareMode();
        m_pMainFunc->EnableNoHardwareMode();
    }
    if (flags & kOpenNoRelays) {
        m_bNoRelays = 1;
        m_pBoardSupport->SetNoRelaysFlag(1);
    }
    m_dwBoardNumber = flags & kOpenBoardNumberMask;
    g_LogFile.EnableLog(1);
    m_pBoardSupport->SetBoardNumber(m_dwBoardNumber);
    m_pMainFunc->SetBoardNumber(m_dwBoardNumber);
    m_pMainFunc->SetCardType(cardType);
    const std::wstring productName(m_strCardName.begin(), m_strCardName.end());
    m_pBoardSupport->SetProductName(productName.c_str());
    m_pBoardSupport->SetCardModel(cardType);

    m_strOpenMutexName = OpenMutexName();
    m_pOpenMutex = platform::NamedMutex::Create(m_strOpenMutexName);
    if (!m_pOpenMutex) {
        g_LogFile.WriteLogA(
            "OpenCard: the open mutex of the cards cannot be made: card %u is not opened",
            m_dwCardIndex);
        return 0;
    }
    if (!Acquired(m_pOpenMutex->Lock())) {
        g_LogFile.WriteLog(
            L"OpenCard: the open mutex of the cards cannot be had: card %u is not opened",
            m_dwCardIndex);
        m_pOpenMutex.reset();
        return 0;
    }

    OpenProgress progress;
    // Every way out with 0 says which step failed (a step below may have
    // told more).
    const auto fail = [&](const char* step) -> uint32_t {
        g_LogFile.WriteLogA("OpenCard: %s: card %u is not opened", step, m_dwCardIndex);
        RollBackOpen(progress);
        ReleaseOpenMutex();
        return 0;
    };

    const uint32_t firstInProcess = m_dwProcessOpenCount == 0 ? 1 : 0;
    if (firstInProcess) m_dwOpenerProcessId = platform::CurrentProcessId();
    m_bFirstInProcess = firstInProcess;
    ++m_dwProcessOpenCount;
    progress.counted = true;

    if (firstInProcess) {
        m_bPciDeviceOpen = false;
        if (!CreateSharedMemory()) return fail("the card's shared block cannot be had");
        progress.blockMapped = true;
        const uint32_t opened = OpenSharedMemory();
        progress.pciOpen = m_bPciDeviceOpen;
        if (!opened) return fail("the card's device, windows or versions cannot be had");
        if (!m_bCreator && !m_pBoardSupport->IsBroughtUp() && !TakeOverCard()) {
            progress.pciOpen = m_bPciDeviceOpen;
            return fail("the card left without bring-up cannot be brought up again");
        }
    }

    if (!SystemOpenCount()) return fail("the card's shared block is not mapped");
    CountSystemOpen(m_bCreator && firstInProcess);
    progress.systemCounted = true;

    if (m_bCreator && firstInProcess) {
        progress.deviceInit = true;
        if (!m_pBoardSupport->InitDevice()) return fail("the card's chips cannot be set up");
        // The stored values are being re-applied, not changed: keep the
        // setters from writing them back.
        const uint32_t persist = m_pBoardSupport->GetPersistFlag();
        m_pBoardSupport->SetPersistFlag(0);
        const uint32_t restored = m_pBoardSupport->RestoreSettings();
        m_pBoardSupport->SetPersistFlag(persist);
        if (!restored) return fail("the settings stored on the card cannot be applied");
        if (!m_pBoardSupport->SetBroughtUp(1)) return fail("the card cannot be marked brought up");
    } else {
        // The card runs the standard its first opener restored; this process
        // starts from it too, so its time stamps and page geometry match.
        m_pBoardSupport->AdoptStoredVideoStandard();
    }
    if (firstInProcess && !Reserved7()) return fail("the card's process set-up failed");
    m_pOpenMutex->Unlock();

    // From here on the open is complete as far as other processes can see;
    // a failure is undone by a whole close.
    m_pMainFunc->SetCardType(m_dwCardType);
    m_pMainFunc->SetHostChipsetClass(m_dwHostChipsetClass);
    if (!m_pMainFunc->Init(m_bCreator, firstInProcess)) {
        g_LogFile.WriteLogA("OpenCard: the main functions of card %u cannot start: closed again",
                            m_dwCardIndex);
        Close();
        return 0;
    }
    if (!m_bNoRelays) {
        for (uint32_t channel = 0; channel < CBoardSupport::kChannels; ++channel) {
            if (!m_pBoardSupport->SetVideoRelayMode(channel, 1)) {
                g_LogFile.WriteLogA(
                    "OpenCard: the video relay %u of card %u cannot be switched: "
                    "closed again",
                    channel, m_dwCardIndex);
                Close();
                return 0;
            }
        }
        for (uint32_t channel = 0; channel < CBoardSupport::kChannels; ++channel) {
            if (!m_pBoardSupport->SetAudioRelayMode(channel, 1)) {
                g_LogFile.WriteLogA(
                    "OpenCard: the audio relay %u of card %u cannot be switched: "
                    "closed again",
                    channel, m_dwCardIndex);
                Close();
                return 0;
            }
        }
    }
    SYNC_SOURCE_CODE syncSource = kInternalSync;
    m_pBoardSupport->GetSyncSource(&syncSource);
    m_pBoardSupport->SetSyncSource(syncSource);
    return 1;
}

uint32_t CBaseCard::Close() {
    if (m_dwProcessOpenCount == 0) {
        ReleaseOpenMutex();
        return 1;
    }
    if (!m_pOpenMutex) m_pOpenMutex = platform::NamedMutex::Create(OpenMutexName());
    const bool locked = m_pOpenMutex && Acquired(m_pOpenMutex->Lock());
    // Without the lock the close still runs: leaving the card half-open
    // would be worse. The count's change is atomic all the same.
    uint32_t result = locked ? 1 : 0;

    --m_dwProcessOpenCount;
    if (m_dwProcessOpenCount == 0) {
        m_bLastInProcess = 1;
        m_bLastInSystem = UncountSystemOpen() ? 1 : 0;
    } else {
        m_bLastInProcess = 0;
        m_bLastInSystem = 0;
    }

    if (!m_pMainFunc->Exit(m_bLastInSystem, m_bLastInProcess)) result = 0;
    if (m_bLastInProcess) {
        if (!Reserved6()) result = 0;
        m_pSharedBlock.reset();
        if (m_bLastInSystem) {
            m_bCreator = 1;
            if (!CloseDevice()) result = 0;
        }
        if (!m_pBoardSupport->ClosePciDevice(m_bLastInSystem)) result = 0;
        m_bPciDeviceOpen = false;
        m_bFirstInProcess = 1;
        m_dwProcessOpenCount = 0;
    }

    if (locked) m_pOpenMutex->Unlock();
    m_pOpenMutex.reset();
    return result;
}

}  // namespace velmora::card

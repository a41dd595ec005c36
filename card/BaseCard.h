#pragma once

// One open card in this process and the cross-process open protocol around
// it. Opens and closes of every card in the system are serialised by one
// named open mutex; a named 4096-byte shared block per card index holds the
// system-wide open count, so the first opener in the system initialises the
// card's devices and the last user closes them, however many processes open
// the same card.
//
// The card itself keeps whether it was brought up (the board support's
// bring-up mark), so an opener that finds the block still held by a process
// that is dying, or left by an opener that died during its bring-up, but a
// card that is not brought up, brings it up as the first opener would.
//
// An open that fails undoes what it did (counts, shared block, PCI device,
// device initialisation), so a later close or another process never counts
// an open that did not happen. A close that fails at one step still releases
// everything it can and reports 0.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace velmora::platform {
class NamedMutex;
class SharedMemory;
}  // namespace velmora::platform

namespace velmora::card {

class CBoardSupport;
class CCardMainFunc;
class CGlobalVars;

class CBaseCard {
  public:
    // Open flags.
    static constexpr uint32_t kOpenNoHardware = 0x8000;
    static constexpr uint32_t kOpenNoRelays = 0x4000;
    static constexpr uint32_t kOpenBoardNumberMask = 0xFF;

    static constexpr uint32_t kSharedBlockSize = 4096;
    // Appended to the card name; the shared block's suffix takes the card
    // index.
    static constexpr const char* kOpenMutexSuffix = "CardBoardInfMutex";
    static constexpr const char* kSharedBlockSuffix = "CardFileMappingObject%d";

    explicit CBaseCard(uint32_t cardIndex);
    virtual ~CBaseCard();
    CBaseCard(const CBaseCard&) = delete;
    CBaseCard& operator=(const CBaseCard&) = delete;

    // --- Virtual operations, in slot order. ---
    virtual uint32_t Reserved0();
    virtual uint32_t Reserved1();
    virtual uint32_t Open(uint32_t cardType, uint32_t flags, CCardMainFunc* pMainFunc,
                          CBoardSupport* pBoardSupport);
    // Closing a card that is not open does nothing and succeeds.
    virtual uint32_t Close();
    // Creates the shared block, or opens it when another process holds it.
    virtual uint32_t CreateSharedMemory();
    // Zero-fills a block this process created, then opens the PCI device, maps
    // it and reads the versions.
    virtual uint32_t OpenSharedMemory();
    virtual uint32_t Reserved6();
    virtual uint32_t Reserved7();
    virtual uint32_t Reserved8();
    virtual CBaseCard* SetCardIndex(uint32_t cardIndex);

    // --- State, for the card table and for tests. ---

    uint32_t GetCardIndex() const { return m_dwCardIndex; }
    const std::string& GetCardName() const { return m_strCardName; }
    bool IsOpen() const { return m_dwProcessOpenCount != 0; }
    // True in a process forked from the one that opened the card: it holds a
    // copy of the card's objects but none of its opens, threads or devices.
    bool IsInheritedCopy() const;
    uint32_t GetProcessOpenCount() const { return m_dwProcessOpenCount; }
    // The system-wide count in the shared block; 0 while it is not mapped.
    uint32_t GetSystemOpenCount() const;
    // The count's changes of Open and Close, atomic in the shared block,
    // since a close that cannot have the open mutex still makes its change.
    // An opener counts itself, as the first in the system from 1; a closer
    // takes itself off unless the count is 0, and is the last in the system
    // when its own change brought it to 0, or it found 0 (or no block is
    // mapped).
    void CountSystemOpen(bool firstInSystem);
    bool UncountSystemOpen();
    uint32_t IsCreator() const { return m_bCreator; }
    uint32_t WasLastInSystem() const { return m_bLastInSystem; }
    uint32_t WasLastInProcess() const { return m_bLastInProcess; }
    uint32_t GetCardType() const { return m_dwCardType; }
    uint32_t GetHostChipsetClass() const { return m_dwHostChipsetClass; }
    uint32_t GetCardVersion() const { return m_dwCardVersion; }
    uint32_t GetBoardVersion() const { return m_dwBoardVersion; }
    uint32_t GetFpgaVersion() const { return m_dwFpgaVersion; }
    uint32_t GetDriverVersion() const { return m_dwDriverVersion; }
    const std::string& GetSharedBlockName() const { return m_strSharedBlockName; }
    std::string OpenMutexName() const;
    // Runs `change` under the open mutex, so that no process opens or closes
    // a card meanwhile, telling it whether a process other than this one has
    // the card open (one that ended without closing it has it no more).
    // Its result, or 0 with a log line naming `call` when the mutex cannot
    // be had.
    uint32_t WhileNoneOpensOrCloses(const char* call,
                                    const std::function<uint32_t(bool othersOpen)>& change) const;

  protected:
    // What an open has done so far, so that a failure can undo exactly that.
    struct OpenProgress {
        bool counted = false;        // process open count raised
        bool blockMapped = false;    // shared block created or opened here
        bool pciOpen = false;        // PCI device opened
        bool systemCounted = false;  // system-wide count raised
        bool deviceInit = false;     // device initialisation started
    };

    uint32_t* SystemOpenCount() const;
    // An opener that finds the shared block but a card that was not brought
    // up (its first opener died before the end of the bring-up, or the card
    // went with the users the block still counts) opens as the first opener.
    uint32_t TakeOverCard();
    // The last user's device close; the bring-up mark goes first.
    uint32_t CloseDevice();
    // Undoes a failed open; the open mutex is held.
    void RollBackOpen(const OpenProgress& progress);
    void ReleaseOpenMutex();

    uint32_t m_dwCardIndex;
    std::string m_strCardName;
    uint32_t m_dwBoardNumber = 0;
    CCardMainFunc* m_pMainFunc = nullptr;
    CBoardSupport* m_pBoardSupport = nullptr;
    // The card variables, where the board support leaves the card type of the
    // opened PCI device; set by the derived card before Open.
    CGlobalVars* m_pCardVars = nullptr;
    uint32_t m_dwCardVersion = 0;
    uint32_t m_dwBoardVersion = 0;
    uint32_t m_dwFpgaVersion = 0;
    uint32_t m_dwDriverVersion = 0;
    uint32_t m_dwCardType = 0;
    uint32_t m_dwHostChipsetClass = 0;
    std::string m_strSharedBlockName;
    uint32_t m_dwSharedBlockSize = kSharedBlockSize;
    uint32_t m_bNoHardware = 0;
    uint32_t m_bNoRelays = 0;
    uint32_t m_bCreator = 1;
    uint32_t m_bFirstInProcess = 1;
    uint32_t m_bLastInSystem = 1;
    uint32_t m_bLastInProcess = 1;
    std::unique_ptr<platform::SharedMemory> m_pSharedBlock;
    std::string m_strOpenMutexName;
    std::unique_ptr<platform::NamedMutex> m_pOpenMutex;
    uint32_t m_dwProcessOpenCount = 0;
    uint32_t m_dwOpenerProcessId = 0;
    // Set by OpenSharedMemory once the PCI device is open, for the roll-back.
    bool m_bPciDeviceOpen = false;
};

}  // namespace velmora::card

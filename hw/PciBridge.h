#pragma once

// The card's way to the hardware: finding the board among the PCI devices,
// opening it, register windows, block DMA on two channels under one
// system-wide mutex per channel, and DMA, local and field interrupt waits.
// CPciBridge is the interface and holds the state of the whole family; the
// implementation over the PLX device layer is CPlxPciBridge. Every operation
// returns 1 for success and 0 for failure.

#include <cstdint>
#include <memory>
#include <string>

#include "hw/PlxTypes.h"
#include "platform/NamedMutex.h"

namespace velmora::hw {

// One row of the table of identifiers the bridge looks for.
struct PCI_BRIDGE_ID_ENTRY {
    uint32_t dwCardType;
    uint32_t dwVendorId;
    uint32_t dwDeviceId;
};

class CPciBridge {
  public:
    static constexpr uint32_t kMaxIdEntries = 16;
    // Device numbers probed per identifier row when counting boards.
    static constexpr uint32_t kMaxBoardsPerEntry = 16;
    // Time limit of the interrupt waits.
    static constexpr uint32_t kInterruptWaitMs = 1000;
    // Time limit of one block DMA.
    static constexpr uint32_t kDmaTimeoutMs = 1000;

    CPciBridge();
    virtual ~CPciBridge();
    CPciBridge(const CPciBridge&) = delete;
    CPciBridge& operator=(const CPciBridge&) = delete;

    virtual uint32_t GetDriverVersion(uint32_t* pVersion) = 0;
    virtual uint32_t GetBoardCount(uint32_t* pCount) = 0;
    virtual uint32_t SelectBoard(uint32_t row, uint32_t boardNumber) = 0;
    virtual uint32_t FindBoard(uint32_t boardIndex) = 0;
    virtual uint32_t OpenBoard() = 0;
    virtual uint32_t CloseBoard() = 0;
    virtual uint32_t ResetBoard() = 0;
    virtual uint32_t EnableLocalInterrupt(uint32_t line) = 0;
    virtual uint32_t DisableLocalInterrupt(uint32_t line) = 0;
    virtual uint32_t EnableDmaInterrupt(uint32_t channel) = 0;
    virtual uint32_t DisableDmaInterrupt(uint32_t channel) = 0;
    virtual uint32_t DmaChannelOpen(uint32_t channel) = 0;
    virtual uint32_t DmaChannelClose(uint32_t channel) = 0;
    virtual uint32_t LockDmaChannel(uint32_t channel) = 0;
    // Takes the channel only if it is free now.
    virtual uint32_t TryLockDmaChannel(uint32_t channel) = 0;
    virtual uint32_t UnlockDmaChannel(uint32_t channel) = 0;
    // direction: 0 host to card, any other value card to host.
    virtual uint32_t DmaTransfer(uint32_t channel, void* pBuffer, uint32_t cardByteAddress,
                                 uint32_t byteCount, uint32_t direction) = 0;
    virtual uint32_t RegisterLocalInterruptNotification(uint32_t line) = 0;
    virtual uint32_t RegisterFieldNotification() = 0;
    virtual uint32_t RegisterDmaNotification(uint32_t channel) = 0;
    virtual uint32_t WaitLocalInterrupt(uint32_t line) = 0;
    virtual uint32_t WaitFieldNotification() = 0;
    virtual uint32_t WaitDmaInterrupt(uint32_t channel) = 0;
    virtual uint32_t CancelDmaNotification(uint32_t channel) = 0;
    virtual uint32_t IsEepromPresent() = 0;
    virtual uint32_t EepromRead(uint16_t offset, uint32_t* pValue) = 0;
    virtual uint32_t EepromWrite(uint16_t offset, uint32_t value) = 0;
    virtual uint32_t MapBar(uint32_t barIndex, void** ppAddress) = 0;
    virtual uint32_t UnmapBar(void** ppAddress) = 0;
    virtual uint32_t MapRegisterBar() = 0;
    virtual uint32_t UnmapRegisterBar() = 0;
    virtual uint32_t BarSpaceRead(uint32_t barIndex, uint32_t offset, uint32_t* pBuffer) = 0;
    virtual uint32_t BarSpaceWrite(uint32_t barIndex, uint32_t offset, const uint32_t* pBuffer) = 0;
    virtual uint32_t GetHostChipsetClass(uint32_t* pClass) = 0;
    // A word the bridge keeps while the card is powered and reads 0 after
    // power-up, for the host software's own use; 0 from a bridge without one.
    virtual uint32_t ReadHostMailbox(uint32_t* pValue);
    virtual uint32_t WriteHostMailbox(uint32_t value);

    // Set by the board support's no-hardware mode: every operation then
    // answers 1 without touching the hardware.
    void SetNoHardwareMode(uint32_t enable) { m_bNoHardware = enable; }
    uint32_t IsNoHardwareMode() const { return m_bNoHardware; }
    void SetProductName(const std::wstring& name) { m_strProductName = name; }
    const std::wstring& GetProductName() const { return m_strProductName; }

    // The identifiers of the board FindBoard selected.
    uint32_t GetSelectedCardType() const { return m_dwSelectedCardType; }
    uint32_t GetSelectedVendorId() const { return m_dwSelectedVendorId; }
    uint32_t GetSelectedDeviceId() const { return m_dwSelectedDeviceId; }
    uint32_t GetSelectedDeviceNumber() const { return m_dwSelectedDeviceNumber; }
    uint32_t GetBoardNumber() const { return m_dwBoardNumber; }

  protected:
    // The notify objects, one per thing a thread may wait for.
    enum NotifySlot : uint32_t {
        kNotifyLocal1 = 0,
        kNotifyLocal2,
        kNotifyDma0,
        kNotifyDma1,
        kNotifyField,
        kNotifyCount
    };

    // Cancels every registration still held on the open device and closes
    // every event still held; the driver must never keep a registration whose
    // notify object or event is gone.
    void ReleaseNotifications();

    uint32_t m_dwIdEntryCount = 1;
    PCI_BRIDGE_ID_ENTRY m_IdTable[kMaxIdEntries] = {};
    uint32_t m_dwBoardsPerEntry[kMaxIdEntries] = {};
    uint32_t m_dwSelectedCardType = 0;
    uint32_t m_dwSelectedVendorId = 0x10B5;
    uint32_t m_dwSelectedDeviceId = 0;
    uint32_t m_dwSelectedDeviceNumber = 0;
    uint32_t m_bNoHardware = 0;
    uint32_t m_dwBoardNumber = 0;
    // Opens of the board not yet closed; the device closes with the last.
    uint32_t m_dwOpenCount = 0;
    std::wstring m_strProductName;
    std::unique_ptr<platform::NamedMutex> m_pDma0Mutex;
    std::unique_ptr<platform::NamedMutex> m_pDma1Mutex;
    uint32_t m_bRegistersMapped = 0;
    void* m_pRegisterBar = nullptr;
    std::unique_ptr<PLX_DEVICE_OBJECT> m_pDevice;
    PLX_DEVICE_KEY m_DeviceKey = {};
    std::unique_ptr<PLX_NOTIFY_OBJECT> m_pNotify[kNotifyCount];
};

}  // namespace velmora::hw

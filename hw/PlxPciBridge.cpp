#include "hw/PlxPciBridge.h"

#include <cstdio>
#include <cstring>

#include "card/LoadTimeGlobals.h"
#include "hw/PlxApi.h"

namespace velmora::hw {

namespace {

constexpr wchar_t kTraceClass[] = L"PlxPciBridge";
constexpr int kTraceNumber = 1;

constexpr uint32_t kDmaControlStart = 0;
constexpr uint32_t kDmaControlResume = 2;
constexpr uint32_t kDmaControlAbort = 3;

// Host chipset classes by the host bridge's Intel device identifier.
constexpr uint32_t kIntelVendorId = 0x8086;
// Mailbox 7 of the local configuration registers: cleared at power-up and
// used by nothing on the card.
constexpr uint32_t kHostMailbox = 0x5C;
struct ChipsetClass {
    uint32_t deviceId;
    uint32_t chipsetClass;
};
constexpr ChipsetClass kChipsetClasses[] = {
    {0x2560, 1000}, {0x1A30, 1000}, {0x2570, 2000}, {0x2580, 3000},
    {0x2770, 4000}, {0x2980, 5000}, {0x2990, 5000}, {0x29A0, 5000},
};
constexpr uint32_t kOlderIntelChipsetClass = 100;

bool IsLine(uint32_t line) {
    return line == 1 || line == 2;
}
bool IsDmaChannel(uint32_t channel) {
    return channel <= 1;
}

uint32_t Ok(PLX_STATUS status) {
    return status == ApiSuccess ? 1 : 0;
}

// Abandoned: a process died inside a transfer; the lock is ours now and the
// channel's next transfer starts afresh.
bool ChannelTaken(platform::WaitResult result) {
    return result == platform::WaitResult::Signaled || result == platform::WaitResult::Abandoned;
}

}  // namespace

CPlxPciBridge::CPlxPciBridge() {
    m_IdTable[0].dwVendorId = 0x10B5;
}

uint32_t CPlxPciBridge::GetDriverVersion(uint32_t* pVersion) {
    if (m_bNoHardware) return 1;
    if (pVersion == nullptr) return 0;
    uint8_t major = 0, minor = 0, revision = 0;
    if (PlxPci_DriverVersion(m_pDevice.get(), &major, &minor, &revision) != ApiSuccess) return 0;
    *pVersion = major * 65536u + minor * 256u + revision;
    return 1;
}

uint32_t CPlxPciBridge::GetBoardCount(uint32_t* pCount) {
    if (pCount == nullptr) return 0;
    // Counted afresh on every call, so that a second count neither doubles
    // the rows' counts nor sends FindBoard to the wrong row.
    std::memset(m_dwBoardsPerEntry, 0, sizeof(m_dwBoardsPerEntry));
    *pCount = 0;
    if (m_bNoHardware) {
        *pCount = 1;
        return 1;
    }
    const uint32_t rows = m_dwIdEntryCount < kMaxIdEntries ? m_dwIdEntryCount : kMaxIdEntries;
    for (uint32_t row = 0; row < rows; ++row) {
        for (uint32_t number = 0; number < kMaxBoardsPerEntry; ++number) {
            if (SelectBoard(row, number)) {
                ++*pCount;
                ++m_dwBoardsPerEntry[row];
            }
        }
    }
    return 1;
}

uint32_t CPlxPciBridge::SelectBoard(uint32_t row, uint32_t boardNumber) {
    if (m_bNoHardware) return row == 0 && boardNumber == 0 ? 1 : 0;
    return FindDevice(row, boardNumber);
}

uint32_t CPlxPciBridge::FindDevice(uint32_t row, uint32_t boardNumber) {
    if (row >= kMaxIdEntries) return 0;
    std::memset(&m_DeviceKey, 0, sizeof(m_DeviceKey));
    m_DeviceKey.bus = kPlxAnyU8;
    m_DeviceKey.slot = kPlxAnyU8;
    m_DeviceKey.function = kPlxAnyU8;
    m_DeviceKey.VendorId = static_cast<uint16_t>(m_IdTable[row].dwVendorId);
    m_DeviceKey.DeviceId = static_cast<uint16_t>(m_IdTable[row].dwDeviceId);
    m_DeviceKey.SubVendorId = kPlxAnyU16;
    m_DeviceKey.SubDeviceId = kPlxAnyU16;
    m_DeviceKey.Revision = kPlxAnyU8;
    if (PlxPci_DeviceFind(&m_DeviceKey, boardNumber) != ApiSuccess) return 0;
    // The generic DMA driver does not serve this card.
    return m_DeviceKey.ApiIndex == kPlxDriverRowPlxDma ? 0 : 1;
}

uint32_t CPlxPciBridge::FindBoard(uint32_t boardIndex) {
    if (m_bNoHardware) return 1;
    if (boardIndex >= kMaxBoardsPerEntry) return 0;

    uint32_t boardsBefore = 0;
    for (uint32_t row = 0; row < kMaxIdEntries; ++row) {
        const uint32_t boards = m_dwBoardsPerEntry[row];
        if (boards == 0) continue;
        if (boardsBefore + boards > boardIndex) {
            m_dwSelectedCardType = m_IdTable[row].dwCardType;
            m_dwSelectedVendorId = m_IdTable[row].dwVendorId;
            m_dwSelectedDeviceId = m_IdTable[row].dwDeviceId;
            m_dwSelectedDeviceNumber = boardIndex - boardsBefore;
            return FindDevice(row, m_dwSelectedDeviceNumber);
        }
        boardsBefore += boards;
    }
    return 0;
}

uint32_t CPlxPciBridge::OpenBoard() {
    if (m_bNoHardware) return 1;
    // The device programmers open the board the card already holds open:
    // they share its device, and only the last close lets it go.
    if (m_dwOpenCount > 0) {
        ++m_dwOpenCount;
        return 1;
    }
    if (PlxPci_DeviceOpen(&m_DeviceKey, m_pDevice.get()) != ApiSuccess) return 0;
    m_dwOpenCount = 1;

    // Named by the identifiers, not by the process: every process that opens
    // a card of these identifiers shares the two channel locks.
    char name[96];
    std::snprintf(name, sizeof(name), "QuorvelPciBridgeDma0Mutex_%d_%d_%d",
                  static_cast<int>(m_dwSelectedVendorId), static_cast<int>(m_dwSelectedDeviceId),
                  static_cast<int>(m_dwBoardNumber));
    m_pDma0Mutex = platform::NamedMutex::Create(name);
    std::snprintf(name, sizeof(name), "QuorvelPciBridgeDma1Mutex_%d_%d_%d",
                  static_cast<int>(m_dwSelectedVendorId), static_cast<int>(m_dwSelectedDeviceId),
                  static_cast<int>(m_dwBoardNumber));
    m_pDma1Mutex = platform::NamedMutex::Create(name);
    return 1;
}

uint32_t CPlxPciBridge::CloseBoard() {
    if (m_bNoHardware) return 1;
    if (m_dwOpenCount > 1) {
        --m_dwOpenCount;
        return 1;
    }
    m_dwOpenCount = 0;
    ReleaseNotifications();
    if (PlxPci_DeviceClose(m_pDevice.get()) != ApiSuccess) return 0;
    m_pDma0Mutex.reset();
    m_pDma1Mutex.reset();
    return 1;
}

uint32_t CPlxPciBridge::ResetBoard() {
    if (m_bNoHardware) return 1;
    return Ok(PlxPci_DeviceReset(m_pDevice.get()));
}

uint32_t CPlxPciBridge::EnableLocalInterrupt(uint32_t line) {
    if (!IsLine(line)) return 0;
    if (m_bNoHardware) return 1;
    PLX_INTERRUPT interrupt{};
    interrupt.Flags = kPlxIntPciMain | (line == 1 ? kPlxIntLocal1 : kPlxIntLocal2);
    return Ok(PlxPci_InterruptEnable(m_pDevice.get(), &interrupt));
}

uint32_t CPlxPciBridge::DisableLocalInterrupt(uint32_t line) {
    if (!IsLine(line)) return 0;
    if (m_bNoHardware) return 1;
    PLX_INTERRUPT interrupt{};
    interrupt.Flags = line == 1 ? kPlxIntLocal1 : kPlxIntLocal2;
    return Ok(PlxPci_InterruptDisable(m_pDevice.get(), &interrupt));
}

uint32_t CPlxPciBridge::EnableDmaInterrupt(uint32_t channel) {
    if (!IsDmaChannel(channel)) return 0;
    if (m_bNoHardware) return 1;
    PLX_INTERRUPT interrupt{};
    interrupt.Flags = kPlxIntPciMain | (kPlxIntDmaDoneBase << channel);
    return Ok(PlxPci_InterruptEnable(m_pDevice.get(), &interrupt));
}

uint32_t CPlxPciBridge::DisableDmaInterrupt(uint32_t channel) {
    if (!IsDmaChannel(channel)) return 0;
    if (m_bNoHardware) return 1;
    PLX_INTERRUPT interrupt{};
    interrupt.Flags = kPlxIntPciMain | (kPlxIntDmaDoneBase << channel);
    return Ok(PlxPci_InterruptDisable(m_pDevice.get(), &interrupt));
}

uint32_t CPlxPciBridge::DmaChannelOpen(uint32_t channel) {
    if (m_bNoHardware) return 1;
    PLX_DMA_PROP properties{};
    properties.Bytes[8] = 0x07;
    properties.Bytes[10] = 0x02;
    return Ok(PlxPci_DmaChannelOpen(m_pDevice.get(), channel, &properties));
}

uint32_t CPlxPciBridge::DmaChannelClose(uint32_t channel) {
    if (m_bNoHardware) return 1;
    const PLX_STATUS status = PlxPci_DmaChannelClose(m_pDevice.get(), channel);
    if (status == ApiSuccess) return 1;
    if (status != ApiDmaInProgress) return 0;
    // A transfer left running holds the channel; only a reset frees it.
    if (PlxPci_DeviceReset(m_pDevice.get()) != ApiSuccess) return 0;
    return Ok(PlxPci_DmaChannelClose(m_pDevice.get(), channel));
}

platform::NamedMutex* CPlxPciBridge::DmaMutex(uint32_t channel) const {
    return channel == 0 ? m_pDma0Mutex.get() : m_pDma1Mutex.get();
}

uint32_t CPlxPciBridge::LockDmaChannel(uint32_t channel) {
    if (m_bNoHardware) return 1;
    platform::NamedMutex* mutex = DmaMutex(channel);
    return mutex != nullptr && ChannelTaken(mutex->Lock(platform::kInfinite)) ? 1 : 0;
}

uint32_t CPlxPciBridge::TryLockDmaChannel(uint32_t channel) {
    if (m_bNoHardware) return 1;
    platform::NamedMutex* mutex = DmaMutex(channel);
    return mutex != nullptr && ChannelTaken(mutex->TryLock()) ? 1 : 0;
}

uint32_t CPlxPciBridge::UnlockDmaChannel(uint32_t channel) {
    if (m_bNoHardware) return 1;
    platform::NamedMutex* mutex = DmaMutex(channel);
    if (mutex == nullptr) return 0;
    mutex->Unlock();
    return 1;
}

uint32_t CPlxPciBridge::DmaTransfer(uint32_t channel, void* pBuffer, uint32_t cardByteAddress,
                                    uint32_t byteCount, uint32_t direction) {
    if (m_bNoHardware) return 1;

    PLX_DMA_PARAMS params{};
    params.UserVa = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pBuffer));
    params.LocalAddr = cardByteAddress;
    params.ByteCount = byteCount;
    params.Direction = direction != 0 ? kPlxDirectionCardToHost : kPlxDirectionHostToCard;

    PLX_DEVICE_OBJECT* device = m_pDevice.get();
    PLX_STATUS status = PlxPci_DmaTransferUserBuffer(device, channel, &params, kDmaTimeoutMs);
    if (status == ApiSuccess) return 1;

    if (status == ApiWaitTimeout) {
        card::g_TraceUtility.TraceMessage(kTraceClass, L"DmaTransfer", kTraceNumber,
                                          L"Failed - ApiWaitTimeout");
        struct Step {
            uint32_t command;
            const wchar_t* failure;
        };
        static constexpr Step kRecovery[] = {
            {kDmaControlStart, L"Failed - DmaStart - %x"},
            {kDmaControlStart, L"Failed - DmaPause - %x"},
            {kDmaControlResume, L"Failed - DmaResume - %x"},
            {kDmaControlAbort, L"Failed - DmaAbort - %x"},
        };
        for (const Step& step : kRecovery) {
            PlxPci_DmaStatus(device, channel);
            status = PlxPci_DmaControl(device, channel, step.command);
            if (status != ApiSuccess) {
                card::g_TraceUtility.TraceMessage(kTraceClass, L"PlxPci_DmaControl", kTraceNumber,
                                                  step.failure, static_cast<unsigned>(status));
            }
        }
        PlxPci_DmaStatus(device, channel);
        return 0;
    }

    if (status == ApiDmaInProgress) {
        PlxPci_DmaStatus(device, channel);
        status = PlxPci_DmaControl(device, channel, kDmaControlAbort);
        if (status != ApiSuccess) {
            card::g_TraceUtility.TraceMessage(kTraceClass, L"PlxPci_DmaControl", kTraceNumber,
                                              L"Failed - DmaAbort - %x",
                                              static_cast<unsigned>(status));
        }
        PlxPci_DmaStatus(device, channel);
        return 0;
    }

    card::g_TraceUtility.TraceMessage(kTraceClass, L"DmaTransfer", kTraceNumber, L"Failed - %x",
                                      static_cast<unsigned>(status));
    return 0;
}

uint32_t CPlxPciBridge::Register(NotifySlot slot, uint32_t interruptFlags) {
    // Registering a notify object again would orphan the event of its first
    // registration: end that registration first.
    PLX_NOTIFY_OBJECT* pNotify = m_pNotify[slot].get();
    if (std::memcmp(pNotify->IsValidTag, kPlxTagValid, sizeof(kPlxTagValid)) == 0) {
        PlxPci_NotificationCancel(m_pDevice.get(), pNotify);
    }
    PLX_INTERRUPT interrupt{};
    interrupt.Flags = interruptFlags;
    return Ok(PlxPci_NotificationRegisterFor(m_pDevice.get(), &interrupt, pNotify));
}

uint32_t CPlxPciBridge::Wait(NotifySlot slot) {
    return Ok(PlxPci_NotificationWait(m_pDevice.get(), m_pNotify[slot].get(), kInterruptWaitMs));
}

uint32_t CPlxPciBridge::RegisterLocalInterruptNotification(uint32_t line) {
    if (!IsLine(line)) return 0;
    if (m_bNoHardware) return 1;
    return line == 1 ? Register(kNotifyLocal1, kPlxIntLocal1)
                     : Register(kNotifyLocal2, kPlxIntLocal2);
}

uint32_t CPlxPciBridge::RegisterFieldNotification() {
    if (m_bNoHardware) return 1;
    return Register(kNotifyField, kPlxIntLocal1);
}

uint32_t CPlxPciBridge::RegisterDmaNotification(uint32_t channel) {
    if (!IsDmaChannel(channel)) return 0;
    if (m_bNoHardware) return 1;
    return Register(channel == 0 ? kNotifyDma0 : kNotifyDma1, kPlxIntDmaDoneBase << channel);
}

uint32_t CPlxPciBridge::WaitLocalInterrupt(uint32_t line) {
    if (!IsLine(line)) return 0;
    if (m_bNoHardware) return 1;
    return Wait(line == 1 ? kNotifyLocal1 : kNotifyLocal2);
}

uint32_t CPlxPciBridge::WaitFieldNotification() {
    if (m_bNoHardware) return 1;
    return Wait(kNotifyField);
}

uint32_t CPlxPciBridge::WaitDmaInterrupt(uint32_t channel) {
    if (!IsDmaChannel(channel)) return 0;
    if (m_bNoHardware) return 1;
    // Bounded: the caller holds the system-wide channel lock while it waits,
    // and a completion that never comes must not stall every process.
    if (Wait(channel == 0 ? kNotifyDma0 : kNotifyDma1)) return 1;
    card::g_TraceUtility.TraceMessage(kTraceClass, L"WaitDmaInterrupt", kTraceNumber, L"Failed");
    return 0;
}

uint32_t CPlxPciBridge::CancelDmaNotification(uint32_t channel) {
    if (!IsDmaChannel(channel)) return 0;
    if (m_bNoHardware) return 1;
    return Ok(PlxPci_NotificationCancel(m_pDevice.get(),
                                        m_pNotify[channel == 0 ? kNotifyDma0 : kNotifyDma1].get()));
}

uint32_t CPlxPciBridge::IsEepromPresent() {
    if (m_bNoHardware) return 1;
    uint32_t present = 0;
    return PlxPci_EepromPresent(m_pDevice.get(), &present) == ApiSuccess && present ? 1 : 0;
}

uint32_t CPlxPciBridge::EepromRead(uint16_t offset, uint32_t* pValue) {
    if (m_bNoHardware) return 1;
    return Ok(PlxPci_EepromReadByOffset(m_pDevice.get(), offset, pValue));
}

uint32_t CPlxPciBridge::EepromWrite(uint16_t offset, uint32_t value) {
    if (m_bNoHardware) return 1;
    return Ok(PlxPci_EepromWriteByOffset(m_pDevice.get(), offset, value));
}

uint32_t CPlxPciBridge::MapBar(uint32_t barIndex, void** ppAddress) {
    if (m_bNoHardware) return 1;
    return Ok(PlxPci_PciBarMap(m_pDevice.get(), barIndex, ppAddress));
}

uint32_t CPlxPciBridge::UnmapBar(void** ppAddress) {
    if (m_bNoHardware) return 1;
    return Ok(PlxPci_PciBarUnmap(m_pDevice.get(), ppAddress));
}

uint32_t CPlxPciBridge::MapRegisterBar() {
    if (m_bNoHardware) return 1;
    void* address = nullptr;
    if (!MapBar(0, &address)) return 0;
    m_pRegisterBar = address;
    m_bRegistersMapped = 1;
    return 1;
}

uint32_t CPlxPciBridge::UnmapRegisterBar() {
    if (m_bNoHardware) return 1;
    if (!UnmapBar(&m_pRegisterBar)) return 0;
    m_bRegistersMapped = 0;
    return 1;
}

uint32_t CPlxPciBridge::BarSpaceRead(uint32_t barIndex, uint32_t offset, uint32_t* pBuffer) {
    if (m_bNoHardware) return 1;
    return Ok(PlxPci_PciBarSpaceRead(m_pDevice.get(), barIndex, offset, pBuffer, sizeof(uint32_t),
                                     kPlxBarAccess32Bit, false));
}

uint32_t CPlxPciBridge::BarSpaceWrite(uint32_t barIndex, uint32_t offset, const uint32_t* pBuffer) {
    if (m_bNoHardware) return 1;
    return Ok(PlxPci_PciBarSpaceWrite(m_pDevice.get(), barIndex, offset, pBuffer, sizeof(uint32_t),
                                      kPlxBarAccess32Bit, false));
}

uint32_t CPlxPciBridge::GetHostChipsetClass(uint32_t* pClass) {
    if (pClass == nullptr) return 0;
    PLX_STATUS status = ApiFailed;
    const uint32_t id = PlxPci_PciRegisterReadByLocation(0, 0, 0, 0, &status);
    *pClass = 0;
    if (status != ApiSuccess || (id & 0xFFFF) != kIntelVendorId) return 1;
    const uint32_t deviceId = id >> 16;
    for (const ChipsetClass& entry : kChipsetClasses) {
        if (entry.deviceId == deviceId) {
            *pClass = entry.chipsetClass;
            return 1;
        }
    }
    if (deviceId < 0x2560) *pClass = kOlderIntelChipsetClass;
    return 1;
}

uint32_t CPlxPciBridge::SetUserOutput(uint32_t, uint32_t) {
    return 0;
}

uint32_t CPlxPciBridge::UserPinControlA(uint32_t) {
    return 1;
}

uint32_t CPlxPciBridge::UserPinControlB(uint32_t) {
    return 1;
}

uint32_t CPlxPciBridge::GetUserInput(uint32_t, uint32_t*) {
    return 0;
}

uint32_t CPlxPciBridge::ReadPlxRegister(uint32_t offset, uint32_t* pValue) {
    if (m_bNoHardware) return 1;
    if (pValue == nullptr) return 0;
    if (m_bRegistersMapped) {
        *pValue = *reinterpret_cast<volatile const uint32_t*>(
            static_cast<const uint8_t*>(m_pRegisterBar) + offset);
        return 1;
    }
    return Ok(PlxPci_PlxRegisterRead(m_pDevice.get(), offset, pValue));
}

uint32_t CPlxPciBridge::WritePlxRegister(uint32_t offset, uint32_t value) {
    if (m_bNoHardware) return 1;
    if (m_bRegistersMapped) {
        *reinterpret_cast<volatile uint32_t*>(static_cast<uint8_t*>(m_pRegisterBar) + offset) =
            value;
        return 1;
    }
    return Ok(PlxPci_PlxRegisterWrite(m_pDevice.get(), offset, value));
}

uint32_t CPlxPciBridge::ReadHostMailbox(uint32_t* pValue) {
    return ReadPlxRegister(kHostMailbox, pValue);
}

uint32_t CPlxPciBridge::WriteHostMailbox(uint32_t value) {
    return WritePlxRegister(kHostMailbox, value);
}

uint32_t CPlxPciBridge::ReadPciConfig(uint16_t offset, uint32_t* pValue) {
    if (m_bNoHardware) return 1;
    return Ok(PlxPci_PciRegisterReadFast(m_pDevice.get(), offset, pValue));
}

uint32_t CPlxPciBridge::WritePciConfig(uint16_t offset, uint32_t value) {
    if (m_bNoHardware) return 1;
    return Ok(PlxPci_PciRegisterWriteFast(m_pDevice.get(), offset, value));
}

uint32_t CPlxPciBridge::WritePlxRegisterField(uint32_t offset, uint32_t value, uint32_t shift,
                                              uint32_t width) {
    if (m_bNoHardware) return 1;
    if (shift >= 32) return 0;
    uint32_t reg = 0;
    if (!ReadPlxRegister(offset, &reg)) return 0;
    const uint32_t mask = width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1;
    reg = (reg & ~(mask << shift)) | ((value & mask) << shift);
    return WritePlxRegister(offset, reg);
}

uint32_t CPlxPciBridge::WritePlxRegisterBit(uint32_t offset, uint32_t bit, uint32_t value) {
    if (m_bNoHardware) return 1;
    if (value > 1 || bit >= 32) return 0;
    uint32_t reg = 0;
    if (!ReadPlxRegister(offset, &reg)) return 0;
    reg = value ? reg | (1u << bit) : reg & ~(1u << bit);
    return WritePlxRegister(offset, reg);
}

uint32_t CPlxPciBridge::TestPlxRegisterBit(uint32_t offset, uint32_t bit, uint32_t* pSet) {
    if (m_bNoHardware) return 1;
    if (pSet == nullptr || bit >= 32) return 0;
    uint32_t reg = 0;
    if (!ReadPlxRegister(offset, &reg)) return 0;
    *pSet = (reg >> bit) & 1;
    return 1;
}

}  // namespace velmora::hw

#include "hw/PlxApi.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>

#include "hw/PlxI2c.h"
#include "platform/Event.h"

namespace velmora::hw {

namespace {

constexpr uint32_t kMessageSize = sizeof(PLX_IOCTL_MESSAGE);
constexpr uint32_t kBarCount = 6;
constexpr uint32_t kDmaChannelCount = 4;
constexpr uint32_t kAllOnes32 = 0xFFFFFFFFu;
constexpr size_t kDriverRowCount = std::size(PlxPci_DriverNameTable);

bool HasTag(const char* tag, const char (&expected)[4]) {
    return std::memcmp(tag, expected, 4) == 0;
}

void SetTag(char* tag, const char (&value)[4]) {
    std::memcpy(tag, value, 4);
}

bool IsOpen(const PLX_DEVICE_OBJECT* pDevice) {
    return HasTag(pDevice->IsValidTag, kPlxTagValid);
}

// The name walk ends at the first row whose name starts with '0'.
bool IsDriverRow(size_t row) {
    return row < kDriverRowCount && PlxPci_DriverNameTable[row][0] != '0';
}

platform::Event* EventOf(const PLX_NOTIFY_OBJECT* pNotify) {
    return reinterpret_cast<platform::Event*>(static_cast<uintptr_t>(pNotify->hEvent));
}

void CloseNotifyEvent(PLX_NOTIFY_OBJECT* pNotify) {
    delete EventOf(pNotify);
    pNotify->hEvent = 0;
}

uint64_t AddressOf(const void* p) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
}

void* PointerOf(uint64_t address) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

uint32_t WaitMs(uint64_t timeoutMs) {
    return timeoutMs >= kPlxWaitInfinite ? platform::kInfinite : static_cast<uint32_t>(timeoutMs);
}

void InitMessage(PLX_IOCTL_MESSAGE& message, const PLX_DEVICE_OBJECT* pDevice) {
    std::memset(&message, 0, sizeof(message));
    message.Key = pDevice->Key;
}

// Sends a prepared message; the message keeps the driver's reply.
PLX_STATUS Send(PLX_DEVICE_OBJECT* pDevice, uint32_t code, PLX_IOCTL_MESSAGE& message) {
    if (!IsOpen(pDevice)) return ApiInvalidDeviceInfo;
    // A driver that fails the I/O control itself writes no status.
    message.ReturnCode = ApiFailed;
    const uint32_t carried = PlxIoMessage(pDevice, code, &message);
    if (carried == kAllOnes32) return ApiInvalidAccessType;
    if (carried == 0) return ApiFailed;
    return static_cast<PLX_STATUS>(message.ReturnCode);
}

// A request whose only arguments are value words.
PLX_STATUS SendValues(PLX_DEVICE_OBJECT* pDevice, uint32_t code, uint64_t value0 = 0,
                      uint64_t value1 = 0, PLX_IOCTL_MESSAGE* pReply = nullptr) {
    if (pDevice == nullptr) return ApiNullParam;
    PLX_IOCTL_MESSAGE local;
    PLX_IOCTL_MESSAGE& message = pReply != nullptr ? *pReply : local;
    InitMessage(message, pDevice);
    message.value[0] = value0;
    message.value[1] = value1;
    return Send(pDevice, code, message);
}

// A request whose argument area carries one record.
template <typename Record>
PLX_STATUS SendRecord(PLX_DEVICE_OBJECT* pDevice, uint32_t code, uint64_t value0,
                      const Record* pRecord, uint64_t value1 = 0, uint64_t value2 = 0) {
    static_assert(sizeof(Record) <= sizeof(PLX_IOCTL_MESSAGE::u));
    if (pDevice == nullptr || pRecord == nullptr) return ApiNullParam;
    PLX_IOCTL_MESSAGE message;
    InitMessage(message, pDevice);
    message.value[0] = value0;
    message.value[1] = value1;
    message.value[2] = value2;
    std::memcpy(message.u, pRecord, sizeof(Record));
    return Send(pDevice, code, message);
}

PLX_STATUS BarSpaceTransfer(PLX_DEVICE_OBJECT* pDevice, uint32_t code, uint32_t barIndex,
                            uint32_t offset, const void* pBuffer, uint32_t byteCount,
                            uint32_t accessType, bool offsetIsLocalAddress) {
    if (pDevice == nullptr || pBuffer == nullptr) return ApiNullParam;
    if (barIndex >= kBarCount) return ApiInvalidIndex;
    PLX_DMA_PARAMS transfer{};
    transfer.UserVa = AddressOf(pBuffer);
    transfer.LocalAddr = offset;
    transfer.ByteCount = byteCount;
    return SendRecord(pDevice, code, barIndex, &transfer, accessType, offsetIsLocalAddress ? 1 : 0);
}

// Opens the adapter port of an I2C-mode key and learns the switch's chip
// from its identifier register.
PLX_STATUS OpenI2cDevice(PLX_DEVICE_OBJECT* pDevice) {
    const PLX_STATUS status = PlxI2c_PortOpen(pDevice, 0, kPlxI2cDefaultKhz);
    if (status != ApiSuccess) return status;
    uint32_t id = 0;
    if (PlxI2c_RegisterRead(pDevice, 0, &id) != ApiSuccess || (id & 0xFFFF) != kPlxVendorId) {
        PlxI2c_PortClose(pDevice->Key.ApiIndex);
        return ApiInvalidDeviceInfo;
    }
    const uint16_t device = static_cast<uint16_t>(id >> 16);
    const uint32_t family = device >> 8;
    pDevice->PlxChipType = family >= 0x85 && family <= 0x87 ? device : 0;
    SetTag(pDevice->IsValidTag, kPlxTagValid);
    return ApiSuccess;
}

}  // namespace

PLX_STATUS PlxPci_ApiVersion(uint8_t* pMajor, uint8_t* pMinor, uint8_t* pRevision) {
    if (pMajor == nullptr || pMinor == nullptr || pRevision == nullptr) return ApiNullParam;
    *pMajor = kPlxDriverVersionMajor;
    *pMinor = kPlxDriverVersionMinor;
    *pRevision = kPlxDriverVersionRevision;
    return ApiSuccess;
}

bool PlxDriverConnect(platform::DeviceHandle* pHandle, uint8_t apiIndex, uint8_t deviceNumber) {
    if (pHandle == nullptr) return false;
    *pHandle = platform::kInvalidDeviceHandle;
    if (!IsDriverRow(apiIndex)) return false;

    char name[64];
    int length =
        std::snprintf(name, sizeof(name), "\\\\.\\%s_v%u%u%u", PlxPci_DriverNameTable[apiIndex],
                      kPlxDriverVersionMajor, kPlxDriverVersionMinor, kPlxDriverVersionRevision);
    // The service driver is one device for the whole system; the others are
    // numbered per device.
    if (std::strstr(name, "PlxSvc") == nullptr) {
        length += std::snprintf(name + length, sizeof(name) - length, "-%u", deviceNumber);
    }
    *pHandle = platform::CreateDeviceFile(std::string_view(name, length));
    return *pHandle != platform::kInvalidDeviceHandle;
}

uint32_t PlxIoMessage(PLX_DEVICE_OBJECT* pDevice, uint32_t code, PLX_IOCTL_MESSAGE* pMessage) {
    if (pDevice == nullptr || pMessage == nullptr) return 0;
    switch (pDevice->Key.ApiMode) {
        case kPlxAccessPci: {
            uint32_t returned = 0;
            return platform::DeviceIoControl(pDevice->hDevice, code, pMessage, kMessageSize,
                                             pMessage, kMessageSize, &returned)
                       ? 1
                       : 0;
        }
        case kPlxAccessI2c:
            PlxI2c_Dispatch(pDevice, code, pMessage);
            return 1;
        default:
            return kAllOnes32;
    }
}

PLX_STATUS PlxPci_DeviceFind(PLX_DEVICE_KEY* pKey, uint32_t deviceNumber) {
    if (pKey == nullptr) return ApiNullParam;

    uint64_t foundSoFar = 0;
    bool driverOpened = false;
    for (size_t row = 0; IsDriverRow(row); ++row) {
        platform::DeviceHandle handle;
        if (!PlxDriverConnect(&handle, static_cast<uint8_t>(row), 0)) continue;
        driverOpened = true;

        PLX_IOCTL_MESSAGE message{};
        message.ReturnCode = ApiFailed;
        message.Key = *pKey;
        message.value[0] = deviceNumber - foundSoFar;
        uint32_t returned = 0;
        const bool carried =
            platform::DeviceIoControl(handle, PLX_IOCTL_DEVICE_FIND, &message, kMessageSize,
                                      &message, kMessageSize, &returned);
        platform::CloseDeviceHandle(handle);
        if (!carried) continue;  // the reply's count is not the driver's

        if (message.ReturnCode == ApiSuccess) {
            *pKey = message.Key;
            pKey->ApiIndex = static_cast<uint8_t>(row);
            pKey->ApiMode = kPlxAccessPci;
            SetTag(pKey->IsValidTag, kPlxTagValid);
            return ApiSuccess;
        }
        foundSoFar += message.value[0];
    }
    return driverOpened ? ApiInvalidDeviceInfo : ApiNoActiveDriver;
}

PLX_STATUS PlxPci_DeviceFindEx(PLX_DEVICE_KEY* pKey, uint32_t deviceNumber, uint32_t mode) {
    if (pKey == nullptr) return ApiNullParam;
    switch (mode) {
        case kPlxModePci:
            return PlxPci_DeviceFind(pKey, deviceNumber);
        case kPlxModeI2c:
            return PlxI2c_DeviceFind(pKey, deviceNumber,
                                     {0, kPlxI2cScanAllAddresses, kPlxI2cDefaultKhz});
        case kPlxModeUnsupported:
            return ApiUnsupportedFunction;
        default:
            return ApiInvalidAccessType;
    }
}

PLX_STATUS PlxPci_DeviceOpen(const PLX_DEVICE_KEY* pKey, PLX_DEVICE_OBJECT* pDevice) {
    if (pKey == nullptr || pDevice == nullptr) return ApiNullParam;
    if (IsOpen(pDevice)) return ApiInvalidDeviceInfo;

    std::memset(pDevice, 0, sizeof(*pDevice));
    SetTag(pDevice->IsValidTag, kPlxTagInvalid);
    pDevice->Key = *pKey;

    if (!HasTag(pDevice->Key.IsValidTag, kPlxTagValid)) {
        const PLX_STATUS status = PlxPci_DeviceFindEx(&pDevice->Key, 0, kPlxModePci);
        if (status != ApiSuccess) return status;
    } else if (pDevice->Key.ApiMode == kPlxAccessI2c) {
        return OpenI2cDevice(pDevice);
    }

    platform::DeviceHandle handle;
    if (!PlxDriverConnect(&handle, pDevice->Key.ApiIndex, pDevice->Key.DeviceNumber)) {
        return ApiInvalidDeviceInfo;
    }
    pDevice->hDevice = handle;
    SetTag(pDevice->IsValidTag, kPlxTagValid);

    uint8_t major = 0, minor = 0, revision = 0;
    const PLX_STATUS status = PlxPci_DriverVersion(pDevice, &major, &minor, &revision);
    if (status != ApiSuccess || major != kPlxDriverVersionMajor ||
        minor != kPlxDriverVersionMinor || revision != kPlxDriverVersionRevision) {
        platform::CloseDeviceHandle(handle);
        SetTag(pDevice->IsValidTag, kPlxTagInvalid);
        return ApiInvalidDriverVersion;
    }
    return ApiSuccess;
}

PLX_STATUS PlxPci_DeviceClose(PLX_DEVICE_OBJECT* pDevice) {
    if (pDevice == nullptr) return ApiNullParam;
    if (!IsOpen(pDevice)) return ApiInvalidDeviceInfo;
    if (pDevice->Key.ApiMode == kPlxAccessPci) platform::CloseDeviceHandle(pDevice->hDevice);
    if (pDevice->Key.ApiMode == kPlxAccessI2c) PlxI2c_PortClose(pDevice->Key.ApiIndex);
    SetTag(pDevice->IsValidTag, kPlxTagInvalid);
    SetTag(pDevice->Key.IsValidTag, kPlxTagInvalid);
    return ApiSuccess;
}

uint32_t PlxPci_PciRegisterReadByLocation(uint8_t bus, uint8_t slot, uint8_t function,
                                          uint16_t offset, PLX_STATUS* pStatus) {
    PLX_DEVICE_KEY anyKey;
    std::memset(&anyKey, 0xFF, sizeof(anyKey));
    PLX_DEVICE_OBJECT device{};
    PLX_STATUS status = PlxPci_DeviceOpen(&anyKey, &device);
    uint32_t value = kAllOnes32;
    if (status == ApiSuccess) {
        PLX_IOCTL_MESSAGE message;
        InitMessage(message, &device);
        message.Key.bus = bus;
        message.Key.slot = slot;
        message.Key.function = function;
        message.value[0] = offset;
        message.value[1] = kAllOnes32;
        status = Send(&device, PLX_IOCTL_PCI_REG_READ, message);
        value = static_cast<uint32_t>(message.value[1]);
        PlxPci_DeviceClose(&device);
    }
    if (pStatus != nullptr) *pStatus = status;
    return value;
}

PLX_STATUS PlxPci_DriverVersion(PLX_DEVICE_OBJECT* pDevice, uint8_t* pMajor, uint8_t* pMinor,
                                uint8_t* pRevision) {
    if (pMajor == nullptr || pMinor == nullptr || pRevision == nullptr) return ApiNullParam;
    *pMajor = *pMinor = *pRevision = 0;
    PLX_IOCTL_MESSAGE reply;
    const PLX_STATUS status = SendValues(pDevice, PLX_IOCTL_DRIVER_VERSION, 0, 0, &reply);
    if (status == ApiSuccess) {
        const uint64_t version = reply.value[0];
        *pMajor = static_cast<uint8_t>(version >> 16);
        *pMinor = static_cast<uint8_t>(version >> 8);
        *pRevision = static_cast<uint8_t>(version);
    }
    return status;
}

PLX_STATUS PlxPci_DeviceReset(PLX_DEVICE_OBJECT* pDevice) {
    return SendValues(pDevice, PLX_IOCTL_DEVICE_RESET);
}

PLX_STATUS PlxPci_PciBarMap(PLX_DEVICE_OBJECT* pDevice, uint32_t barIndex, void** ppAddress) {
    if (ppAddress != nullptr) *ppAddress = nullptr;
    if (pDevice == nullptr || ppAddress == nullptr) return ApiNullParam;
    if (barIndex >= kBarCount) return ApiInvalidIndex;
    if (!IsOpen(pDevice)) return ApiInvalidDeviceInfo;

    if (pDevice->PciBarVa[barIndex] != 0) {
        // The count is one byte: refuse a map it could not count.
        if (pDevice->BarMapRef[barIndex] == UINT8_MAX) return ApiFailed;
        ++pDevice->BarMapRef[barIndex];
        *ppAddress = PointerOf(pDevice->PciBarVa[barIndex]);
        return ApiSuccess;
    }

    PLX_IOCTL_MESSAGE reply;
    const PLX_STATUS status = SendValues(pDevice, PLX_IOCTL_PCI_BAR_MAP, barIndex, 0, &reply);
    if (status != ApiSuccess) {
        pDevice->PciBarVa[barIndex] = 0;
        pDevice->BarMapRef[barIndex] = 0;
        return status;
    }
    pDevice->PciBarVa[barIndex] = reply.value[1];
    pDevice->BarMapRef[barIndex] = 1;
    *ppAddress = PointerOf(reply.value[1]);
    return ApiSuccess;
}

PLX_STATUS PlxPci_PciBarUnmap(PLX_DEVICE_OBJECT* pDevice, void** ppAddress) {
    if (pDevice == nullptr || ppAddress == nullptr) return ApiNullParam;
    if (*ppAddress == nullptr) return ApiInvalidAddress;

    const uint64_t address = AddressOf(*ppAddress);
    uint32_t bar = 0;
    while (bar < kBarCount && pDevice->PciBarVa[bar] != address)
        ++bar;
    if (bar == kBarCount) return ApiInvalidAddress;

    if (pDevice->BarMapRef[bar] > 1) {
        --pDevice->BarMapRef[bar];
        *ppAddress = nullptr;
        return ApiSuccess;
    }
    if (SendValues(pDevice, PLX_IOCTL_PCI_BAR_UNMAP, bar, address) != ApiSuccess) {
        // The mapping is still there and still counted once.
        pDevice->BarMapRef[bar] = 1;
        return ApiInvalidAddress;
    }
    pDevice->PciBarVa[bar] = 0;
    pDevice->BarMapRef[bar] = 0;
    *ppAddress = nullptr;
    return ApiSuccess;
}

PLX_STATUS PlxPci_PciRegisterReadFast(PLX_DEVICE_OBJECT* pDevice, uint16_t offset,
                                      uint32_t* pValue) {
    if (pValue == nullptr) return ApiNullParam;
    PLX_IOCTL_MESSAGE reply;
    const PLX_STATUS status =
        SendValues(pDevice, PLX_IOCTL_PCI_REG_READ_FAST, offset, kAllOnes32, &reply);
    if (status == ApiSuccess) *pValue = static_cast<uint32_t>(reply.value[1]);
    return status;
}

PLX_STATUS PlxPci_PciRegisterWriteFast(PLX_DEVICE_OBJECT* pDevice, uint16_t offset,
                                       uint32_t value) {
    return SendValues(pDevice, PLX_IOCTL_PCI_REG_WRITE_FAST, offset, value);
}

PLX_STATUS PlxPci_PlxRegisterRead(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t* pValue) {
    if (pValue == nullptr) return ApiNullParam;
    PLX_IOCTL_MESSAGE reply;
    const PLX_STATUS status = SendValues(pDevice, PLX_IOCTL_PLX_REG_READ, offset, 0, &reply);
    if (status == ApiSuccess) *pValue = static_cast<uint32_t>(reply.value[1]);
    return status;
}

PLX_STATUS PlxPci_PlxRegisterWrite(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t value) {
    return SendValues(pDevice, PLX_IOCTL_PLX_REG_WRITE, offset, value);
}

PLX_STATUS PlxPci_PciBarSpaceRead(PLX_DEVICE_OBJECT* pDevice, uint32_t barIndex, uint32_t offset,
                                  void* pBuffer, uint32_t byteCount, uint32_t accessType,
                                  bool offsetIsLocalAddress) {
    return BarSpaceTransfer(pDevice, PLX_IOCTL_PCI_BAR_SPACE_READ, barIndex, offset, pBuffer,
                            byteCount, accessType, offsetIsLocalAddress);
}

PLX_STATUS PlxPci_PciBarSpaceWrite(PLX_DEVICE_OBJECT* pDevice, uint32_t barIndex, uint32_t offset,
                                   const void* pBuffer, uint32_t byteCount, uint32_t accessType,
                                   bool offsetIsLocalAddress) {
    return BarSpaceTransfer(pDevice, PLX_IOCTL_PCI_BAR_SPACE_WRITE, barIndex, offset, pBuffer,
                            byteCount, accessType, offsetIsLocalAddress);
}

PLX_STATUS PlxPci_EepromPresent(PLX_DEVICE_OBJECT* pDevice, uint32_t* pPresent) {
    if (pPresent == nullptr) return ApiNullParam;
    *pPresent = 0;
    PLX_IOCTL_MESSAGE reply;
    const PLX_STATUS status = SendValues(pDevice, PLX_IOCTL_EEPROM_PRESENT, 0, 0, &reply);
    if (status == ApiSuccess) *pPresent = reply.value[0] == 1 ? 1 : 0;
    return status;
}

PLX_STATUS PlxPci_EepromReadByOffset(PLX_DEVICE_OBJECT* pDevice, uint16_t offset,
                                     uint32_t* pValue) {
    if (pValue == nullptr) return ApiNullParam;
    PLX_IOCTL_MESSAGE reply;
    const PLX_STATUS status =
        SendValues(pDevice, PLX_IOCTL_EEPROM_READ_BY_OFFSET, offset, 0, &reply);
    *pValue = status == ApiSuccess ? static_cast<uint32_t>(reply.value[1]) : kAllOnes32;
    return status;
}

PLX_STATUS PlxPci_EepromWriteByOffset(PLX_DEVICE_OBJECT* pDevice, uint16_t offset, uint32_t value) {
    return SendValues(pDevice, PLX_IOCTL_EEPROM_WRITE_BY_OFFSET, offset, value);
}

PLX_STATUS PlxPci_InterruptEnable(PLX_DEVICE_OBJECT* pDevice, const PLX_INTERRUPT* pInterrupt) {
    return SendRecord(pDevice, PLX_IOCTL_INTR_ENABLE, 0, pInterrupt);
}

PLX_STATUS PlxPci_InterruptDisable(PLX_DEVICE_OBJECT* pDevice, const PLX_INTERRUPT* pInterrupt) {
    return SendRecord(pDevice, PLX_IOCTL_INTR_DISABLE, 0, pInterrupt);
}

PLX_STATUS PlxPci_NotificationRegisterFor(PLX_DEVICE_OBJECT* pDevice,
                                          const PLX_INTERRUPT* pInterrupt,
                                          PLX_NOTIFY_OBJECT* pNotify) {
    if (pDevice == nullptr || pInterrupt == nullptr || pNotify == nullptr) return ApiNullParam;
    if (!IsOpen(pDevice)) return ApiInvalidDeviceInfo;

    std::unique_ptr<platform::Event> event = platform::Event::Create(true, false);
    if (!event) return ApiInsufficientResources;
    pNotify->hEvent = AddressOf(event.release());

    const PLX_STATUS status =
        SendRecord(pDevice, PLX_IOCTL_NOTIFY_REGISTER_FOR, AddressOf(pNotify), pInterrupt);
    if (status == ApiSuccess) {
        SetTag(pNotify->IsValidTag, kPlxTagValid);
    } else {
        CloseNotifyEvent(pNotify);
    }
    return status;
}

PLX_STATUS PlxPci_NotificationWait(PLX_DEVICE_OBJECT* pDevice, PLX_NOTIFY_OBJECT* pNotify,
                                   uint64_t timeoutMs) {
    if (pDevice == nullptr || pNotify == nullptr) return ApiNullParam;
    if (!IsOpen(pDevice)) return ApiInvalidDeviceInfo;
    if (!HasTag(pNotify->IsValidTag, kPlxTagValid)) return ApiFailed;

    platform::Event* event = EventOf(pNotify);
    if (event == nullptr) return ApiInvalidHandle;
    switch (event->Wait(WaitMs(timeoutMs))) {
        case platform::WaitResult::Signaled:
            event->Reset();
            return ApiSuccess;
        case platform::WaitResult::Abandoned:
            return ApiWaitCanceled;
        case platform::WaitResult::Timeout:
            return ApiWaitTimeout;
        default:
            return ApiFailed;
    }
}

PLX_STATUS PlxPci_NotificationCancel(PLX_DEVICE_OBJECT* pDevice, PLX_NOTIFY_OBJECT* pNotify) {
    if (pDevice == nullptr || pNotify == nullptr) return ApiNullParam;
    if (!HasTag(pNotify->IsValidTag, kPlxTagValid)) return ApiFailed;

    const PLX_STATUS status = SendValues(pDevice, PLX_IOCTL_NOTIFY_CANCEL, AddressOf(pNotify));
    if (status == ApiSuccess) {
        CloseNotifyEvent(pNotify);
        SetTag(pNotify->IsValidTag, kPlxTagInvalid);
    }
    return status;
}

PLX_STATUS PlxPci_DmaChannelOpen(PLX_DEVICE_OBJECT* pDevice, uint32_t channel,
                                 const PLX_DMA_PROP* pProperties) {
    if (pDevice == nullptr) return ApiNullParam;
    if (channel >= kDmaChannelCount) return ApiDmaChannelInvalid;
    const PLX_STATUS status = SendValues(pDevice, PLX_IOCTL_DMA_CHANNEL_OPEN, channel);
    if (status != ApiSuccess || pProperties == nullptr) return status;
    return PlxPci_DmaSetProperties(pDevice, channel, pProperties);
}

PLX_STATUS PlxPci_DmaSetProperties(PLX_DEVICE_OBJECT* pDevice, uint32_t channel,
                                   const PLX_DMA_PROP* pProperties) {
    if (pDevice == nullptr || pProperties == nullptr) return ApiNullParam;
    if (channel >= kDmaChannelCount) return ApiDmaChannelInvalid;
    return SendRecord(pDevice, PLX_IOCTL_DMA_SET_PROPERTIES, channel, pProperties);
}

PLX_STATUS PlxPci_DmaControl(PLX_DEVICE_OBJECT* pDevice, uint32_t channel, uint32_t command) {
    if (pDevice == nullptr) return ApiNullParam;
    if (channel >= kDmaChannelCount) return ApiDmaChannelInvalid;
    return SendValues(pDevice, PLX_IOCTL_DMA_CONTROL, channel, command);
}

PLX_STATUS PlxPci_DmaStatus(PLX_DEVICE_OBJECT* pDevice, uint32_t channel) {
    if (pDevice == nullptr) return ApiNullParam;
    if (channel >= kDmaChannelCount) return ApiDmaChannelInvalid;
    return SendValues(pDevice, PLX_IOCTL_DMA_STATUS, channel);
}

PLX_STATUS PlxPci_DmaTransferUserBuffer(PLX_DEVICE_OBJECT* pDevice, uint32_t channel,
                                        const PLX_DMA_PARAMS* pParams, uint64_t timeoutMs) {
    if (pDevice == nullptr || pParams == nullptr) return ApiNullParam;
    if (channel >= kDmaChannelCount) return ApiDmaChannelInvalid;
    if (timeoutMs == 0) {
        return SendRecord(pDevice, PLX_IOCTL_DMA_TRANSFER_USER_VA, channel, pParams);
    }

    // Registered before the request, so that a transfer the driver finishes
    // at once still sets it.
    PLX_NOTIFY_OBJECT done{};
    PLX_INTERRUPT doneInterrupt{};
    doneInterrupt.Flags = kPlxIntDmaDoneBase << channel;
    PLX_STATUS status = PlxPci_NotificationRegisterFor(pDevice, &doneInterrupt, &done);
    if (status != ApiSuccess) return status;

    status = SendRecord(pDevice, PLX_IOCTL_DMA_TRANSFER_USER_VA, channel, pParams);
    if (status == ApiSuccess) {
        status = PlxPci_NotificationWait(pDevice, &done, timeoutMs);
        if (status == ApiWaitCanceled) status = ApiFailed;
    }

    if (PlxPci_NotificationCancel(pDevice, &done) != ApiSuccess) {
        // The registration lives on this stack frame: never leave its event
        // behind, whatever the driver answered.
        CloseNotifyEvent(&done);
    }
    return status;
}

PLX_STATUS PlxPci_DmaChannelClose(PLX_DEVICE_OBJECT* pDevice, uint32_t channel) {
    if (pDevice == nullptr) return ApiNullParam;
    if (channel >= kDmaChannelCount) return ApiDmaChannelInvalid;
    return SendValues(pDevice, PLX_IOCTL_DMA_CHANNEL_CLOSE, channel);
}

}  // namespace velmora::hw

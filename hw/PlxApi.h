#pragma once

// The PLX device layer: finds the bridge among the devices the PLX drivers
// offer, opens and closes device objects, and sends one 136-byte request
// message per operation to the driver. Every function returns a PLX_STATUS;
// ApiSuccess (512) is success. The layer keeps no lock of its own.

#include <cstdint>

#include "hw/PlxTypes.h"
#include "platform/DeviceIo.h"

namespace velmora::hw {

// Access modes of PlxPci_DeviceFindEx (the first two are a key's ApiMode).
inline constexpr uint32_t kPlxModePci = kPlxAccessPci;
inline constexpr uint32_t kPlxModeI2c = kPlxAccessI2c;
inline constexpr uint32_t kPlxModeUnsupported = 2;

// Access width code of a BAR-space transfer: 32-bit accesses.
inline constexpr uint32_t kPlxBarAccess32Bit = 2;

// Time-outs of 0xFFFFFFFF ms and above wait without limit.
inline constexpr uint64_t kPlxWaitInfinite = 0xFFFFFFFFull;

// Version of this layer: 6.3.1.
PLX_STATUS PlxPci_ApiVersion(uint8_t* pMajor, uint8_t* pMinor, uint8_t* pRevision);

// Finds the n-th device (from 0) matching the key over every driver of the
// name table and fills the key; ApiInvalidDeviceInfo when drivers answered but
// none has it, ApiNoActiveDriver when no driver could be opened.
PLX_STATUS PlxPci_DeviceFind(PLX_DEVICE_KEY* pKey, uint32_t deviceNumber);
// Mode kPlxModePci is PlxPci_DeviceFind. Mode kPlxModeI2c scans adapter
// port 0 at 100 kHz (PlxI2c_DeviceFind); without the USB-I2C adapter library
// it fails with ApiNoActiveDriver.
PLX_STATUS PlxPci_DeviceFindEx(PLX_DEVICE_KEY* pKey, uint32_t deviceNumber, uint32_t mode);

// The device object is the caller's (zero-filled before the first open).
PLX_STATUS PlxPci_DeviceOpen(const PLX_DEVICE_KEY* pKey, PLX_DEVICE_OBJECT* pDevice);
PLX_STATUS PlxPci_DeviceClose(PLX_DEVICE_OBJECT* pDevice);

// Reads a configuration word of any bus location through the first device
// that any driver offers; all ones when that device cannot be opened. pStatus
// may be null.
uint32_t PlxPci_PciRegisterReadByLocation(uint8_t bus, uint8_t slot, uint8_t function,
                                          uint16_t offset, PLX_STATUS* pStatus);

// Opens the driver of one row of the name table for one device number.
bool PlxDriverConnect(platform::DeviceHandle* pHandle, uint8_t apiIndex, uint8_t deviceNumber);

// Carries one request message to the device's driver, in and out through the
// same buffer. 1 when the message was answered (its status says how the
// request went), 0 when the transport failed, 0xFFFFFFFF for an unknown
// access mode.
uint32_t PlxIoMessage(PLX_DEVICE_OBJECT* pDevice, uint32_t code, PLX_IOCTL_MESSAGE* pMessage);

// Driver requests. A device object that is not open gives ApiInvalidDeviceInfo
// without sending anything.
PLX_STATUS PlxPci_DriverVersion(PLX_DEVICE_OBJECT* pDevice, uint8_t* pMajor, uint8_t* pMinor,
                                uint8_t* pRevision);
PLX_STATUS PlxPci_DeviceReset(PLX_DEVICE_OBJECT* pDevice);

PLX_STATUS PlxPci_PciBarMap(PLX_DEVICE_OBJECT* pDevice, uint32_t barIndex, void** ppAddress);
// Only the last of several unmaps of one BAR reaches the driver; *ppAddress
// is cleared on success.
PLX_STATUS PlxPci_PciBarUnmap(PLX_DEVICE_OBJECT* pDevice, void** ppAddress);

PLX_STATUS PlxPci_PciRegisterReadFast(PLX_DEVICE_OBJECT* pDevice, uint16_t offset,
                                      uint32_t* pValue);
PLX_STATUS PlxPci_PciRegisterWriteFast(PLX_DEVICE_OBJECT* pDevice, uint16_t offset, uint32_t value);
PLX_STATUS PlxPci_PlxRegisterRead(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t* pValue);
PLX_STATUS PlxPci_PlxRegisterWrite(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t value);

PLX_STATUS PlxPci_PciBarSpaceRead(PLX_DEVICE_OBJECT* pDevice, uint32_t barIndex, uint32_t offset,
                                  void* pBuffer, uint32_t byteCount, uint32_t accessType,
                                  bool offsetIsLocalAddress);
PLX_STATUS PlxPci_PciBarSpaceWrite(PLX_DEVICE_OBJECT* pDevice, uint32_t barIndex, uint32_t offset,
                                   const void* pBuffer, uint32_t byteCount, uint32_t accessType,
                                   bool offsetIsLocalAddress);

// *pPresent := 1 when the bridge has an EEPROM.
PLX_STATUS PlxPci_EepromPresent(PLX_DEVICE_OBJECT* pDevice, uint32_t* pPresent);
// *pValue is all ones when the read fails.
PLX_STATUS PlxPci_EepromReadByOffset(PLX_DEVICE_OBJECT* pDevice, uint16_t offset, uint32_t* pValue);
PLX_STATUS PlxPci_EepromWriteByOffset(PLX_DEVICE_OBJECT* pDevice, uint16_t offset, uint32_t value);

PLX_STATUS PlxPci_InterruptEnable(PLX_DEVICE_OBJECT* pDevice, const PLX_INTERRUPT* pInterrupt);
PLX_STATUS PlxPci_InterruptDisable(PLX_DEVICE_OBJECT* pDevice, const PLX_INTERRUPT* pInterrupt);

// Registration creates the notify object's event (a manual-reset
// platform::Event); a successful cancel closes it again.
PLX_STATUS PlxPci_NotificationRegisterFor(PLX_DEVICE_OBJECT* pDevice,
                                          const PLX_INTERRUPT* pInterrupt,
                                          PLX_NOTIFY_OBJECT* pNotify);
PLX_STATUS PlxPci_NotificationWait(PLX_DEVICE_OBJECT* pDevice, PLX_NOTIFY_OBJECT* pNotify,
                                   uint64_t timeoutMs);
PLX_STATUS PlxPci_NotificationCancel(PLX_DEVICE_OBJECT* pDevice, PLX_NOTIFY_OBJECT* pNotify);

// DMA channels 0 to 3; any other channel gives ApiDmaChannelInvalid.
// pProperties may be null (the channel is then opened without setting them).
PLX_STATUS PlxPci_DmaChannelOpen(PLX_DEVICE_OBJECT* pDevice, uint32_t channel,
                                 const PLX_DMA_PROP* pProperties);
PLX_STATUS PlxPci_DmaSetProperties(PLX_DEVICE_OBJECT* pDevice, uint32_t channel,
                                   const PLX_DMA_PROP* pProperties);
PLX_STATUS PlxPci_DmaControl(PLX_DEVICE_OBJECT* pDevice, uint32_t channel, uint32_t command);
PLX_STATUS PlxPci_DmaStatus(PLX_DEVICE_OBJECT* pDevice, uint32_t channel);
// With a non-zero time-out the call returns once the transfer is done
// (ApiSuccess) or the time-out has passed (ApiWaitTimeout); with 0 it returns
// as soon as the driver has taken the request.
PLX_STATUS PlxPci_DmaTransferUserBuffer(PLX_DEVICE_OBJECT* pDevice, uint32_t channel,
                                        const PLX_DMA_PARAMS* pParams, uint64_t timeoutMs);
PLX_STATUS PlxPci_DmaChannelClose(PLX_DEVICE_OBJECT* pDevice, uint32_t channel);

}  // namespace velmora::hw

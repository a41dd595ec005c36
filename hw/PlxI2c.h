#pragma once

// The device layer's I2C access mode: a PLX PCI Express switch reached over
// I2C through a USB-I2C adapter of the Aardvark family. The adapter's library
// "PlxI2cAa.dll" is loaded at run time; its entry points are looked up by
// name on first use. A key with access mode 1 names an adapter port (the
// key's ApiIndex), the switch's 7-bit slave address (DeviceNumber) and the
// switch's port (the byte after ApiMode); its requests are answered here by
// turning them into I2C register transactions.
//
// The adapter interface as this layer uses it (the library is not part of the
// system, so these are the layer's own conventions):
// - "c_version" () -> u32: the library's version in bits 16-31 and the
//   oldest caller version it serves in bits 0-15.
// - "c_aa_find_devices" (n, u16 ports[n]) -> number of adapters; a port
//   number with bit 15 set is in use by another program.
// - "c_aa_open" (port) -> handle above 0, or an error at or below 0.
// - "c_aa_close" (handle) -> 1 when closed.
// - "c_aa_target_power" (handle, mask), "c_aa_i2c_slave_disable" (handle),
//   "c_aa_i2c_free_bus" (handle): negative on error.
// - "c_aa_i2c_bitrate" (handle, kHz) -> the rate set.
// - "c_aa_i2c_read" / "c_aa_i2c_write" (handle, slave, flags, count, data)
//   -> bytes moved; flag kAaI2cNoStop leaves the bus without a stop.
//
// Switch commands (32 bits, sent most significant byte first): mode in the
// family's mode field (bit 18 for 0x8500, bit 19 for 0x8600 and for an
// unknown family, bit 20 for 0x8700), bit 26 set, the switch port from bit 15
// up to the mode field, byte enables 0x3C00 and the register offset's bits
// 2-11 in bits 0-9. Mode 4 reads; mode 3 writes, followed by the value (most
// significant byte first) in the same transaction.
//
// The switch's EEPROM controller, as the EEPROM requests drive it: register
// 0x260 holds the dword address (byte offset / 4) in bits 0-12, a command in
// bits 13-15 (3 reads the dword into register 0x264, 6 enables writing, 2
// writes register 0x264's dword), EEPROM present in bit 16, busy in bit 18
// and the EEPROM's address width (1 to 3 bytes) in bits 22-23. Every command
// waits until busy clears (kPlxI2cEepromPolls reads of 0x260, else 532);
// byte offsets past 0x7FFF, or not on the access's size, give 520. The
// 16-bit requests read (and write back) the dword that holds them. The
// address width is cached in the port record per switch. 0x222088 (the
// EEPROM's CRC) has no I2C form: 515.

#include <cstddef>
#include <cstdint>

#include "hw/PlxTypes.h"

namespace velmora::hw {

// Errors of the loader and of every adapter call made through it.
inline constexpr int kAaUnableToLoadLibrary = -1;
inline constexpr int kAaUnableToLoadFunction = -3;
inline constexpr int kAaIncompatibleLibrary = -4;

inline constexpr uint16_t kAaI2cNoStop = 0x04;
inline constexpr uint16_t kAaPortInUse = 0x8000;

// Adapter ports the layer serves.
inline constexpr uint32_t kPlxI2cPortCount = 10;
// The bit rate of an open that names none.
inline constexpr uint32_t kPlxI2cDefaultKhz = 100;
// Reads of the EEPROM controller's busy bit before a command gives up.
inline constexpr uint32_t kPlxI2cEepromPolls = 1000;
// A scan of the addresses a switch may answer at.
inline constexpr uint16_t kPlxI2cScanAllAddresses = 0xFFFF;
inline constexpr uint16_t kPlxVendorId = 0x10B5;

using AaVersionFn = uint32_t (*)();
using AaFindDevicesFn = int (*)(int count, uint16_t* ports);
using AaOpenFn = int (*)(int port);
using AaHandleFn = int (*)(int handle);
using AaHandleValueFn = int (*)(int handle, int value);
using AaI2cReadFn = int (*)(int handle, uint16_t slave, uint16_t flags, uint16_t count,
                            uint8_t* data);
using AaI2cWriteFn = int (*)(int handle, uint16_t slave, uint16_t flags, uint16_t count,
                             const uint8_t* data);

// One entry point of an adapter table handed in instead of the library.
struct PLX_I2C_ADAPTER_ENTRY {
    const char* name;
    void* entry;
};

// From now on the adapter's entry points come from this table (count
// entries, kept by the caller) instead of the library, and the loader starts
// afresh; a null table goes back to the library. Every port must be closed.
void PlxI2c_UseAdapterTable(const PLX_I2C_ADAPTER_ENTRY* pTable, size_t count);
// Loads the adapter once: 0, or kAaUnableToLoadLibrary, kAaUnableToLoad-
// Function ("c_version" missing) or kAaIncompatibleLibrary.
int PlxI2c_LoadAdapter();

// The adapter calls; each gives the loader's error when the library or the
// entry is not there.
int PlxI2c_AaFindDevices(int count, uint16_t* ports);
int PlxI2c_AaOpen(int port);
int PlxI2c_AaClose(int handle);
int PlxI2c_AaTargetPower(int handle, int mask);
int PlxI2c_AaI2cSlaveDisable(int handle);
int PlxI2c_AaI2cBitrate(int handle, int kHz);
int PlxI2c_AaI2cFreeBus(int handle);
int PlxI2c_AaI2cRead(int handle, uint16_t slave, uint16_t flags, uint16_t count, uint8_t* data);
int PlxI2c_AaI2cWrite(int handle, uint16_t slave, uint16_t flags, uint16_t count,
                      const uint8_t* data);

// The port, slave address and bit rate of an I2C find.
struct PLX_I2C_MODE_PROP {
    uint16_t I2cPort;
    uint16_t SlaveAddress;  // kPlxI2cScanAllAddresses scans
    uint32_t ClockRateKhz;  // 0: kPlxI2cDefaultKhz
};

// Opens the adapter port of the device's key (or, with a null device, the
// given port); the first open of a port opens the adapter. A device gets the
// handle in hDevice.
PLX_STATUS PlxI2c_PortOpen(PLX_DEVICE_OBJECT* pDevice, uint32_t port, uint32_t bitRateKhz);
// 528 when the port is not open or its adapter cannot be closed.
PLX_STATUS PlxI2c_PortClose(uint32_t port);
// How often the port is open (for tests and diagnostics).
int32_t PlxI2c_PortReferenceCount(uint32_t port);
// Bit p for each adapter port p, bit p + 16 when that port is in use.
PLX_STATUS PlxI2c_PortList(uint32_t* pMask);

// Finds the n-th switch (from 0) of the key's vendor and device (0xFFFF:
// any) on the adapter port; fills the key for access mode 1.
PLX_STATUS PlxI2c_DeviceFind(PLX_DEVICE_KEY* pKey, uint32_t n, const PLX_I2C_MODE_PROP& prop);

PLX_STATUS PlxI2c_RegisterRead(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t* pValue);
PLX_STATUS PlxI2c_RegisterWrite(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t value);

// Answers one request message of an I2C-mode device in its status.
void PlxI2c_Dispatch(PLX_DEVICE_OBJECT* pDevice, uint32_t code, PLX_IOCTL_MESSAGE* pMessage);

}  // namespace velmora::hw

#pragma once

// The records and codes of the PLX driver interface: the 136-byte request
// message that carries every request to the bridge's kernel driver and back,
// the device key and device object, and the status codes. The driver and the
// device layer both rely on these exact layouts.

#include <cstddef>
#include <cstdint>

namespace velmora::hw {

// Status codes of the device layer and the driver; 512 is success.
enum PLX_STATUS : uint32_t {
    ApiSuccess = 512,
    ApiFailed = 513,
    ApiNullParam = 514,
    ApiUnsupportedFunction = 515,
    ApiNoActiveDriver = 516,
    ApiInvalidDeviceInfo = 518,
    ApiInvalidDriverVersion = 519,
    ApiInvalidOffset = 520,
    ApiInvalidData = 521,
    ApiInvalidAddress = 523,
    ApiInvalidAccessType = 524,
    ApiInvalidIndex = 525,
    ApiInvalidHandle = 528,
    ApiInsufficientResources = 531,
    ApiWaitTimeout = 532,
    ApiWaitCanceled = 533,
    ApiDmaChannelInvalid = 535,
    ApiDmaInProgress = 538,
    ApiDeviceInUse = 548,
    ApiDeviceDisabled = 549,
};

// The driver's version that this layer accepts: 6.3.1.
inline constexpr uint32_t kPlxDriverVersionMajor = 6;
inline constexpr uint32_t kPlxDriverVersionMinor = 3;
inline constexpr uint32_t kPlxDriverVersionRevision = 1;

// The four-byte tags of keys, device objects and notify objects.
inline constexpr char kPlxTagValid[4] = {'X', 'L', 'P', '_'};
inline constexpr char kPlxTagInvalid[4] = {'D', 'I', 'O', 'V'};

// "Any" values of a device key used for a find.
inline constexpr uint8_t kPlxAnyU8 = 0xFF;
inline constexpr uint16_t kPlxAnyU16 = 0xFFFF;

// Access modes of a device key.
inline constexpr uint8_t kPlxAccessPci = 0;
inline constexpr uint8_t kPlxAccessI2c = 1;

#pragma pack(push, 1)
struct PLX_DEVICE_KEY {
    char IsValidTag[4];
    uint8_t bus;
    uint8_t slot;
    uint8_t function;
    uint8_t Reserved7;
    uint16_t VendorId;
    uint16_t DeviceId;
    uint16_t SubVendorId;
    uint16_t SubDeviceId;
    uint8_t Revision;
    uint8_t DriverData17[4];
    uint8_t ApiIndex;      // row of the driver-name table the device was found through
    uint8_t DeviceNumber;  // device number within that driver
    uint8_t ApiMode;       // kPlxAccessPci or kPlxAccessI2c
    uint8_t DriverData24[12];
};
#pragma pack(pop)
static_assert(sizeof(PLX_DEVICE_KEY) == 36);
static_assert(offsetof(PLX_DEVICE_KEY, VendorId) == 8);
static_assert(offsetof(PLX_DEVICE_KEY, SubDeviceId) == 14);
static_assert(offsetof(PLX_DEVICE_KEY, Revision) == 16);
static_assert(offsetof(PLX_DEVICE_KEY, ApiIndex) == 21);
static_assert(offsetof(PLX_DEVICE_KEY, DeviceNumber) == 22);
static_assert(offsetof(PLX_DEVICE_KEY, ApiMode) == 23);

struct PLX_DEVICE_OBJECT {
    char IsValidTag[4];
    PLX_DEVICE_KEY Key;
    uint32_t hDevice;      // driver handle in PCI mode, adapter handle in I2C mode
    uint16_t PlxChipType;  // the switch's chip identifier in I2C mode
    uint8_t Reserved46[194];
    uint64_t PciBarVa[6];  // user address of each mapped BAR, 0 when not mapped
    uint8_t BarMapRef[6];  // map count of each BAR
    uint8_t Reserved294[66];
};
static_assert(sizeof(PLX_DEVICE_OBJECT) == 360);
static_assert(offsetof(PLX_DEVICE_OBJECT, Key) == 4);
static_assert(offsetof(PLX_DEVICE_OBJECT, hDevice) == 40);
static_assert(offsetof(PLX_DEVICE_OBJECT, PlxChipType) == 44);
static_assert(offsetof(PLX_DEVICE_OBJECT, PciBarVa) == 240);
static_assert(offsetof(PLX_DEVICE_OBJECT, BarMapRef) == 288);

struct PLX_IOCTL_MESSAGE {
    uint32_t ReturnCode;
    PLX_DEVICE_KEY Key;
    uint64_t value[3];
    uint8_t u[72];  // argument area
};
static_assert(sizeof(PLX_IOCTL_MESSAGE) == 136);
static_assert(offsetof(PLX_IOCTL_MESSAGE, Key) == 4);
static_assert(offsetof(PLX_IOCTL_MESSAGE, value) == 40);
static_assert(offsetof(PLX_IOCTL_MESSAGE, u) == 64);

// Bits of the flag word of an interrupt set.
inline constexpr uint32_t kPlxIntPciMain = 1u << 0;
inline constexpr uint32_t kPlxIntLocal1 = 1u << 2;
inline constexpr uint32_t kPlxIntLocal2 = 1u << 3;
inline constexpr uint32_t kPlxIntDmaDoneBase = 1u << 4;  // channel c: bit 4 + c

struct PLX_INTERRUPT {
    uint32_t Doorbell;
    uint32_t Flags;
    uint32_t Reserved;
};
static_assert(sizeof(PLX_INTERRUPT) == 12);

struct PLX_NOTIFY_OBJECT {
    char IsValidTag[4];
    uint8_t Reserved4[12];
    uint64_t hEvent;  // the event this registration sets (a platform Event*)
};
static_assert(sizeof(PLX_NOTIFY_OBJECT) == 24);
static_assert(offsetof(PLX_NOTIFY_OBJECT, hEvent) == 16);

// The parameter block of a block DMA, and (same layout) the description of a
// BAR-space transfer: buffer address, card address or BAR offset, byte count.
struct PLX_DMA_PARAMS {
    uint64_t UserVa;
    uint8_t Reserved8[24];
    uint32_t LocalAddr;
    uint32_t ByteCount;
    uint32_t Direction;  // 0 host to card, 1 card to host
    uint32_t Reserved44;
};
static_assert(sizeof(PLX_DMA_PARAMS) == 48);
static_assert(offsetof(PLX_DMA_PARAMS, LocalAddr) == 32);
static_assert(offsetof(PLX_DMA_PARAMS, ByteCount) == 36);
static_assert(offsetof(PLX_DMA_PARAMS, Direction) == 40);

// DMA channel properties; the bridge sets byte 8 to 0x07 and the two low bits
// of byte 10 to 2.
struct PLX_DMA_PROP {
    uint8_t Bytes[12];
};
static_assert(sizeof(PLX_DMA_PROP) == 12);

inline constexpr uint32_t kPlxDirectionHostToCard = 0;
inline constexpr uint32_t kPlxDirectionCardToHost = 1;

// I/O-control codes of the requests the card code sends, and of the EEPROM
// requests of the I2C access mode: 0x222000 + 4 x n.
enum PLX_IOCTL_CODE : uint32_t {
    PLX_IOCTL_DRIVER_VERSION = 0x222000,
    PLX_IOCTL_CHIP_TYPE_GET = 0x22200c,
    PLX_IOCTL_CHIP_TYPE_SET = 0x222010,
    PLX_IOCTL_GET_PORT_PROPERTIES = 0x222014,
    PLX_IOCTL_DEVICE_RESET = 0x222018,
    PLX_IOCTL_DEVICE_FIND = 0x22201c,
    PLX_IOCTL_PCI_BAR_MAP = 0x222024,
    PLX_IOCTL_PCI_BAR_UNMAP = 0x222028,
    PLX_IOCTL_PCI_REG_READ_FAST = 0x22202c,
    PLX_IOCTL_PCI_REG_WRITE_FAST = 0x222030,
    PLX_IOCTL_PCI_REG_READ = 0x222034,
    PLX_IOCTL_PLX_REG_READ = 0x22203c,
    PLX_IOCTL_PLX_REG_WRITE = 0x222040,
    PLX_IOCTL_PCI_BAR_SPACE_READ = 0x222068,
    PLX_IOCTL_PCI_BAR_SPACE_WRITE = 0x22206c,
    PLX_IOCTL_EEPROM_PRESENT = 0x222078,
    PLX_IOCTL_EEPROM_PROBE = 0x22207c,
    PLX_IOCTL_EEPROM_GET_ADDRESS_WIDTH = 0x222080,
    PLX_IOCTL_EEPROM_SET_ADDRESS_WIDTH = 0x222084,
    PLX_IOCTL_EEPROM_READ_BY_OFFSET = 0x22208c,
    PLX_IOCTL_EEPROM_WRITE_BY_OFFSET = 0x222090,
    PLX_IOCTL_EEPROM_READ_BY_OFFSET_16 = 0x222094,
    PLX_IOCTL_EEPROM_WRITE_BY_OFFSET_16 = 0x222098,
    PLX_IOCTL_INTR_ENABLE = 0x2220a4,
    PLX_IOCTL_INTR_DISABLE = 0x2220a8,
    PLX_IOCTL_NOTIFY_REGISTER_FOR = 0x2220b0,
    PLX_IOCTL_NOTIFY_CANCEL = 0x2220b4,
    PLX_IOCTL_DMA_CHANNEL_OPEN = 0x2220c0,
    PLX_IOCTL_DMA_SET_PROPERTIES = 0x2220c8,
    PLX_IOCTL_DMA_CONTROL = 0x2220cc,
    PLX_IOCTL_DMA_STATUS = 0x2220d0,
    PLX_IOCTL_DMA_TRANSFER_USER_VA = 0x2220d8,
    PLX_IOCTL_DMA_CHANNEL_CLOSE = 0x2220dc,
};

// The driver-name table: the card models' own drivers (rows 0 to 16), then
// the PLX drivers (rows 17 to 21), ended by a row whose name starts with '0'.
inline constexpr const char* PlxPci_DriverNameTable[] = {
    "TQAA",     "TQBBPLAY", "TQBBIO",  "WRAAA",   "TQAAPRO", "TQCCIO", "WRBBB",  "TQDDIO",
    "TQDDPLAY", "TQDDCG",   "TQDDASI", "TQEEEE",  "TQFFFF",  "TQGGGG", "TQHHHH", "TQJJJJ",
    "TQKKKK",   "Plx9030",  "Plx9054", "Plx8311", "PlxDma",  "PlxSvc", "0",
};
inline constexpr uint8_t kPlxDriverRowPlxDma = 20;
inline constexpr uint8_t kPlxDriverRowPlxSvc = 21;

}  // namespace velmora::hw

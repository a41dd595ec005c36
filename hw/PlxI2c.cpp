#include "hw/PlxI2c.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string_view>

namespace velmora::hw {

namespace {

// The adapter library's entry points, in the order of its own table.
constexpr const char* kEntryNames[] = {
    "c_aa_find_devices",
    "c_aa_find_devices_ext",
    "c_aa_open",
    "c_aa_open_ext",
    "c_aa_close",
    "c_aa_port",
    "c_aa_features",
    "c_aa_unique_id",
    "c_aa_status_string",
    "c_aa_log",
    "c_aa_version",
    "c_aa_configure",
    "c_aa_target_power",
    "c_aa_sleep_ms",
    "c_aa_async_poll",
    "c_aa_i2c_free_bus",
    "c_aa_i2c_bitrate",
    "c_aa_i2c_bus_timeout",
    "c_aa_i2c_read",
    "c_aa_i2c_read_ext",
    "c_aa_i2c_write",
    "c_aa_i2c_write_ext",
    "c_aa_i2c_slave_enable",
    "c_aa_i2c_slave_disable",
    "c_aa_i2c_slave_set_response",
    "c_aa_i2c_slave_write_stats",
    "c_aa_i2c_slave_read",
    "c_aa_i2c_slave_write_stats_ext",
    "c_aa_i2c_slave_read_ext",
    "c_aa_i2c_monitor_enable",
    "c_aa_i2c_monitor_disable",
    "c_aa_i2c_monitor_read",
    "c_aa_i2c_pullup",
    "c_aa_spi_bitrate",
    "c_aa_spi_configure",
    "c_aa_spi_write",
    "c_aa_spi_slave_enable",
    "c_aa_spi_slave_disable",
    "c_aa_spi_slave_set_response",
    "c_aa_spi_slave_read",
    "c_aa_spi_master_ss_polarity",
    "c_aa_gpio_direction",
    "c_aa_gpio_pullup",
    "c_aa_gpio_get",
    "c_aa_gpio_set",
    "c_aa_gpio_change",
};
constexpr size_t kEntryCount = std::size(kEntryNames);

enum Entry : size_t {
    kFindDevices = 0,
    kOpen = 2,
    kClose = 4,
    kTargetPower = 12,
    kI2cFreeBus = 15,
    kI2cBitrate = 16,
    kI2cRead = 18,
    kI2cWrite = 20,
    kI2cSlaveDisable = 23,
};

constexpr char kLibraryName[] = "PlxI2cAa.dll";
constexpr uint32_t kMinLibraryVersion = 0x500;
constexpr uint32_t kCallerVersion = 0x500;
constexpr int kNotLoaded = 1;

// The library (or the table standing in for it) and the entries found so far.
class AdapterLoader {
  public:
    static AdapterLoader& Instance() {
        static AdapterLoader loader;
        return loader;
    }

    void UseTable(const PLX_I2C_ADAPTER_ENTRY* pTable, size_t count) {
        std::lock_guard lock(m_mutex);
        Unload();
        m_pTable = pTable;
        m_tableCount = pTable != nullptr ? count : 0;
    }

    int Load() {
        std::lock_guard lock(m_mutex);
        return LoadLocked();
    }

    // The entry, or null with the loader's error in *pError.
    void* Entry(size_t index, int* pError) {
        std::lock_guard lock(m_mutex);
        *pError = LoadLocked();
        if (*pError != 0) return nullptr;
        if (m_entries[index] == nullptr) m_entries[index] = Lookup(kEntryNames[index]);
        if (m_entries[index] == nullptr) *pError = kAaUnableToLoadFunction;
        return m_entries[index];
    }

  private:
    AdapterLoader() = default;

    int LoadLocked() {
        if (m_status != kNotLoaded) return m_status;
        if (m_pTable == nullptr) {
            m_library = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
            if (m_library == nullptr) return m_status = kAaUnableToLoadLibrary;
        }
        auto version = reinterpret_cast<AaVersionFn>(Lookup("c_version"));
        if (version == nullptr) return Fail(kAaUnableToLoadFunction);
        const uint32_t versions = version();
        if ((versions >> 16) < kMinLibraryVersion || (versions & 0xFFFF) > kCallerVersion) {
            return Fail(kAaIncompatibleLibrary);
        }
        return m_status = 0;
    }

    int Fail(int error) {
        if (m_library != nullptr) dlclose(m_library);
        m_library = nullptr;
        return m_status = error;
    }

    void* Lookup(const char* name) const {
        if (m_pTable == nullptr) return m_library != nullptr ? dlsym(m_library, name) : nullptr;
        for (size_t i = 0; i < m_tableCount; ++i) {
            if (m_pTable[i].name != nullptr && std::strcmp(m_pTable[i].name, name) == 0) {
                return m_pTable[i].entry;
            }
        }
        return nullptr;
    }

    void Unload() {
        if (m_library != nullptr) dlclose(m_library);
        m_library = nullptr;
        m_status = kNotLoaded;
        std::fill(std::begin(m_entries), std::end(m_entries), nullptr);
    }

    std::mutex m_mutex;
    const PLX_I2C_ADAPTER_ENTRY* m_pTable = nullptr;
    size_t m_tableCount = 0;
    void* m_library = nullptr;
    int m_status = kNotLoaded;
    void* m_entries[kEntryCount] = {};
};

template <typename Fn, typename... Args>
int Call(Entry index, Args... args) {
    int error = 0;
    void* entry = AdapterLoader::Instance().Entry(index, &error);
    if (entry == nullptr) return error;
    return reinterpret_cast<Fn>(entry)(args...);
}

// One record per adapter port.
struct PLX_I2C_PORT {
    std::recursive_mutex transaction;  // held around each register transaction
    int handle = 0;
    std::atomic<int32_t> references{0};
    // The EEPROM address width last read or set, and the slave address of
    // the switch it belongs to; both kUnknown until then.
    uint8_t cached[2] = {kUnknown, kUnknown};
    static constexpr uint8_t kUnknown = 0xFF;
};

PLX_I2C_PORT g_PlxI2cPortTable[kPlxI2cPortCount];
// Opens and closes of every port: two first opens of one port must not both
// open the adapter.
std::mutex g_PlxI2cPortTableLock;

// The slave addresses a switch may answer at, in the order they are tried.
constexpr uint8_t kScanRanges[][2] = {
    {0x38, 0x3F}, {0x58, 0x5F}, {0x68, 0x6F}, {0x70, 0x78}, {0x18, 0x1F},
};

constexpr uint32_t kReadMode = 4;
constexpr uint32_t kWriteMode = 3;
constexpr uint32_t kCommandBit = 1u << 26;
constexpr uint32_t kPortShift = 15;
constexpr uint32_t kAllByteEnables = 0x3C00;
constexpr uint32_t kMaxOffset = 0xFFF;

uint32_t ModeShift(uint16_t chipType) {
    switch (chipType >> 8) {
        case 0x85:
            return 18;
        case 0x87:
            return 20;
        default:
            return 19;
    }
}

bool IsChipTypeAccepted(uint32_t chipType) {
    const uint32_t family = chipType >> 8;
    return chipType == 0 ||
           (chipType <= 0xFFFF && (family == 0x85 || family == 0x86 || family == 0x87));
}

uint32_t SwitchPort(const PLX_DEVICE_OBJECT* pDevice) {
    return pDevice->Key.DriverData24[0];
}

uint32_t Command(const PLX_DEVICE_OBJECT* pDevice, uint32_t mode, uint32_t offset) {
    const uint32_t shift = ModeShift(pDevice->PlxChipType);
    const uint32_t portMask = (1u << (shift - kPortShift)) - 1;
    return (mode << shift) | kCommandBit | ((SwitchPort(pDevice) & portMask) << kPortShift) |
           kAllByteEnables | ((offset >> 2) & 0x3FF);
}

void PutBigEndian(uint32_t value, uint8_t* bytes) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

uint32_t GetBigEndian(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

PLX_STATUS CheckOffset(uint32_t offset) {
    return (offset & 3) != 0 || offset > kMaxOffset ? ApiInvalidOffset : ApiSuccess;
}

PLX_I2C_PORT* PortOf(const PLX_DEVICE_OBJECT* pDevice) {
    const uint32_t port = pDevice->Key.ApiIndex;
    return port < kPlxI2cPortCount ? &g_PlxI2cPortTable[port] : nullptr;
}

// A loader error means the adapter library is not there.
PLX_STATUS StatusOfLoad(int error) {
    return error == kAaUnableToLoadLibrary ? ApiNoActiveDriver : ApiFailed;
}

}  // namespace

void PlxI2c_UseAdapterTable(const PLX_I2C_ADAPTER_ENTRY* pTable, size_t count) {
    AdapterLoader::Instance().UseTable(pTable, count);
}

int PlxI2c_LoadAdapter() {
    return AdapterLoader::Instance().Load();
}

int PlxI2c_AaFindDevices(int count, uint16_t* ports) {
    return Call<AaFindDevicesFn>(kFindDevices, count, ports);
}
int PlxI2c_AaOpen(int port) {
    return Call<AaOpenFn>(kOpen, port);
}
int PlxI2c_AaClose(int handle) {
    return Call<AaHandleFn>(kClose, handle);
}
int PlxI2c_AaTargetPower(int handle, int mask) {
    return Call<AaHandleValueFn>(kTargetPower, handle, mask);
}
int PlxI2c_AaI2cSlaveDisable(int handle) {
    return Call<AaHandleFn>(kI2cSlaveDisable, handle);
}
int PlxI2c_AaI2cBitrate(int handle, int kHz) {
    return Call<AaHandleValueFn>(kI2cBitrate, handle, kHz);
}
int PlxI2c_AaI2cFreeBus(int handle) {
    return Call<AaHandleFn>(kI2cFreeBus, handle);
}
int PlxI2c_AaI2cRead(int handle, uint16_t slave, uint16_t flags, uint16_t count, uint8_t* data) {
    return Call<AaI2cReadFn>(kI2cRead, handle, slave, flags, count, data);
}
int PlxI2c_AaI2cWrite(int handle, uint16_t slave, uint16_t flags, uint16_t count,
                      const uint8_t* data) {
    return Call<AaI2cWriteFn>(kI2cWrite, handle, slave, flags, count, data);
}

PLX_STATUS PlxI2c_PortOpen(PLX_DEVICE_OBJECT* pDevice, uint32_t port, uint32_t bitRateKhz) {
    // Without the adapter library nothing of this mode works, whatever the port.
    const int loaded = PlxI2c_LoadAdapter();
    if (loaded != 0) return StatusOfLoad(loaded);
    if (pDevice != nullptr) port = pDevice->Key.ApiIndex;
    if (port >= kPlxI2cPortCount) return ApiInvalidIndex;
    std::lock_guard lock(g_PlxI2cPortTableLock);
    PLX_I2C_PORT& record = g_PlxI2cPortTable[port];
    if (record.handle == 0) {
        const int handle = PlxI2c_AaOpen(static_cast<int>(port));
        if (handle <= 0) return handle < 0 ? StatusOfLoad(handle) : ApiInvalidHandle;
        if (PlxI2c_AaTargetPower(handle, 0) < 0 || PlxI2c_AaI2cSlaveDisable(handle) < 0 ||
            PlxI2c_AaI2cBitrate(
                handle, static_cast<int>(bitRateKhz != 0 ? bitRateKhz : kPlxI2cDefaultKhz)) <= 0) {
            PlxI2c_AaClose(handle);
            return ApiFailed;
        }
        record.handle = handle;
        record.cached[0] = record.cached[1] = PLX_I2C_PORT::kUnknown;
    }
    ++record.references;
    if (pDevice != nullptr) pDevice->hDevice = static_cast<uint32_t>(record.handle);
    return ApiSuccess;
}

PLX_STATUS PlxI2c_PortClose(uint32_t port) {
    if (port >= kPlxI2cPortCount) return ApiInvalidIndex;
    std::lock_guard lock(g_PlxI2cPortTableLock);
    PLX_I2C_PORT& record = g_PlxI2cPortTable[port];
    if (record.references <= 0) return ApiInvalidHandle;
    if (--record.references > 0) return ApiSuccess;
    const int closed = PlxI2c_AaClose(record.handle);
    record.handle = 0;
    return closed > 0 ? ApiSuccess : ApiInvalidHandle;
}

int32_t PlxI2c_PortReferenceCount(uint32_t port) {
    return port < kPlxI2cPortCount ? g_PlxI2cPortTable[port].references.load() : 0;
}

PLX_STATUS PlxI2c_PortList(uint32_t* pMask) {
    if (pMask == nullptr) return ApiNullParam;
    *pMask = 0;
    uint16_t ports[kPlxI2cPortCount] = {};
    const int found = PlxI2c_AaFindDevices(kPlxI2cPortCount, ports);
    if (found < 0) return StatusOfLoad(found);
    for (int i = 0; i < found && i < static_cast<int>(kPlxI2cPortCount); ++i) {
        const uint32_t port = ports[i] & ~kAaPortInUse;
        if (port >= 16) continue;
        *pMask |= 1u << port;
        if (ports[i] & kAaPortInUse) *pMask |= 1u << (port + 16);
    }
    return ApiSuccess;
}

PLX_STATUS PlxI2c_DeviceFind(PLX_DEVICE_KEY* pKey, uint32_t n, const PLX_I2C_MODE_PROP& prop) {
    if (pKey == nullptr) return ApiNullParam;
    uint16_t ports[kPlxI2cPortCount] = {};
    const int found = PlxI2c_AaFindDevices(kPlxI2cPortCount, ports);
    if (found < 0) return StatusOfLoad(found);
    int listed = -1;
    for (int i = 0; i < found && i < static_cast<int>(kPlxI2cPortCount); ++i) {
        if ((ports[i] & ~kAaPortInUse) == prop.I2cPort) listed = i;
    }
    if (listed < 0) return ApiInvalidIndex;
    if (ports[listed] & kAaPortInUse) return ApiDeviceInUse;
    PLX_STATUS status = PlxI2c_PortOpen(nullptr, prop.I2cPort, prop.ClockRateKhz);
    if (status != ApiSuccess) return status;

    PLX_DEVICE_OBJECT probe{};
    probe.Key.ApiIndex = static_cast<uint8_t>(prop.I2cPort);
    probe.Key.ApiMode = kPlxAccessI2c;
    probe.hDevice = static_cast<uint32_t>(g_PlxI2cPortTable[prop.I2cPort].handle);
    uint32_t matches = 0;
    status = ApiInvalidDeviceInfo;
    auto tryAddress = [&](uint16_t address) {
        probe.Key.DeviceNumber = static_cast<uint8_t>(address);
        uint32_t id = 0;
        if (PlxI2c_RegisterRead(&probe, 0, &id) != ApiSuccess || (id & 0xFFFF) != kPlxVendorId) {
            return false;
        }
        const uint16_t device = static_cast<uint16_t>(id >> 16);
        if (pKey->DeviceId != kPlxAnyU16 && pKey->DeviceId != device) return false;
        if (matches++ != n) return false;
        pKey->VendorId = kPlxVendorId;
        pKey->DeviceId = device;
        pKey->ApiIndex = static_cast<uint8_t>(prop.I2cPort);
        pKey->DeviceNumber = static_cast<uint8_t>(address);
        pKey->ApiMode = kPlxAccessI2c;
        std::memcpy(pKey->IsValidTag, kPlxTagValid, 4);
        return true;
    };
    if (prop.SlaveAddress != kPlxI2cScanAllAddresses) {
        if (tryAddress(prop.SlaveAddress)) status = ApiSuccess;
    } else {
        for (const auto& range : kScanRanges) {
            for (uint16_t address = range[0]; address <= range[1] && status != ApiSuccess;
                 ++address) {
                if (tryAddress(address)) status = ApiSuccess;
            }
        }
    }
    PlxI2c_PortClose(prop.I2cPort);
    return status;
}

PLX_STATUS PlxI2c_RegisterRead(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t* pValue) {
    if (pDevice == nullptr || pValue == nullptr) return ApiNullParam;
    if (CheckOffset(offset) != ApiSuccess) return ApiInvalidOffset;
    PLX_I2C_PORT* port = PortOf(pDevice);
    if (port == nullptr) return ApiInvalidIndex;
    const int handle = static_cast<int>(pDevice->hDevice);
    const uint16_t slave = pDevice->Key.DeviceNumber;
    uint8_t bytes[4];
    PutBigEndian(Command(pDevice, kReadMode, offset), bytes);
    std::lock_guard lock(port->transaction);
    const int written = PlxI2c_AaI2cWrite(handle, slave, kAaI2cNoStop, 4, bytes);
    if (written != 4) {
        PlxI2c_AaI2cFreeBus(handle);
        return ApiFailed;
    }
    if (PlxI2c_AaI2cRead(handle, slave, 0, 4, bytes) != 4) return ApiFailed;
    *pValue = GetBigEndian(bytes);
    return ApiSuccess;
}

PLX_STATUS PlxI2c_RegisterWrite(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t value) {
    if (pDevice == nullptr) return ApiNullParam;
    if (CheckOffset(offset) != ApiSuccess) return ApiInvalidOffset;
    PLX_I2C_PORT* port = PortOf(pDevice);
    if (port == nullptr) return ApiInvalidIndex;
    const int handle = static_cast<int>(pDevice->hDevice);
    uint8_t bytes[8];
    PutBigEndian(Command(pDevice, kWriteMode, offset), bytes);
    PutBigEndian(value, bytes + 4);
    std::lock_guard lock(port->transaction);
    if (PlxI2c_AaI2cWrite(handle, pDevice->Key.DeviceNumber, 0, 8, bytes) != 8) {
        PlxI2c_AaI2cFreeBus(handle);
        return ApiFailed;
    }
    return ApiSuccess;
}

namespace {

// The switch's EEPROM controller (see the header).
constexpr uint32_t kEepromControl = 0x260;
constexpr uint32_t kEepromData = 0x264;
constexpr uint32_t kEepromCommandShift = 13;
constexpr uint32_t kEepromRead = 3;
constexpr uint32_t kEepromWrite = 2;
constexpr uint32_t kEepromWriteEnable = 6;
constexpr uint32_t kEepromPresent = 1u << 16;
constexpr uint32_t kEepromBusy = 1u << 18;
constexpr uint32_t kEepromWidthShift = 22;
constexpr uint32_t kEepromWidthMask = 3u << kEepromWidthShift;
constexpr uint32_t kEepromMaxOffset = 0x7FFF;

// Reads the control register until no command runs; *pControl is its last
// value.
PLX_STATUS EepromWaitIdle(PLX_DEVICE_OBJECT* pDevice, uint32_t* pControl) {
    for (uint32_t poll = 0; poll < kPlxI2cEepromPolls; ++poll) {
        const PLX_STATUS status = PlxI2c_RegisterRead(pDevice, kEepromControl, pControl);
        if (status != ApiSuccess) return status;
        if ((*pControl & kEepromBusy) == 0) return ApiSuccess;
    }
    return ApiWaitTimeout;
}

// Starts a command on the dword at a byte offset, keeping the address width,
// and waits for its end.
PLX_STATUS EepromCommand(PLX_DEVICE_OBJECT* pDevice, uint32_t command, uint32_t offset) {
    uint32_t control = 0;
    PLX_STATUS status = EepromWaitIdle(pDevice, &control);
    if (status != ApiSuccess) return status;
    status = PlxI2c_RegisterWrite(
        pDevice, kEepromControl,
        (control & kEepromWidthMask) | (command << kEepromCommandShift) | (offset >> 2));
    if (status != ApiSuccess) return status;
    return EepromWaitIdle(pDevice, &control);
}

PLX_STATUS EepromReadDword(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t* pValue) {
    const PLX_STATUS status = EepromCommand(pDevice, kEepromRead, offset);
    return status == ApiSuccess ? PlxI2c_RegisterRead(pDevice, kEepromData, pValue) : status;
}

PLX_STATUS EepromWriteDword(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t value) {
    uint32_t control = 0;
    PLX_STATUS status = EepromWaitIdle(pDevice, &control);
    if (status == ApiSuccess) status = PlxI2c_RegisterWrite(pDevice, kEepromData, value);
    if (status == ApiSuccess) status = EepromCommand(pDevice, kEepromWriteEnable, 0);
    return status == ApiSuccess ? EepromCommand(pDevice, kEepromWrite, offset) : status;
}

PLX_STATUS EepromCheckOffset(uint64_t offset, uint32_t alignment) {
    return offset % alignment != 0 || offset > kEepromMaxOffset ? ApiInvalidOffset : ApiSuccess;
}

// The 16-bit half of the dword that holds a byte offset.
uint32_t HalfShift(uint32_t offset) {
    return (offset & 2) * 8;
}

PLX_STATUS EepromReadHalf(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t* pValue) {
    uint32_t dword = 0;
    const PLX_STATUS status = EepromReadDword(pDevice, offset & ~3u, &dword);
    if (status == ApiSuccess) *pValue = (dword >> HalfShift(offset)) & 0xFFFF;
    return status;
}

PLX_STATUS EepromWriteHalf(PLX_DEVICE_OBJECT* pDevice, uint32_t offset, uint32_t value) {
    uint32_t dword = 0;
    const PLX_STATUS status = EepromReadDword(pDevice, offset & ~3u, &dword);
    if (status != ApiSuccess) return status;
    const uint32_t shift = HalfShift(offset);
    dword = (dword & ~(0xFFFFu << shift)) | ((value & 0xFFFF) << shift);
    return EepromWriteDword(pDevice, offset & ~3u, dword);
}

PLX_STATUS EepromAddressWidth(PLX_DEVICE_OBJECT* pDevice, PLX_I2C_PORT& port, uint32_t* pWidth) {
    const uint8_t slave = pDevice->Key.DeviceNumber;
    if (port.cached[0] != slave || port.cached[1] == PLX_I2C_PORT::kUnknown) {
        uint32_t control = 0;
        const PLX_STATUS status = PlxI2c_RegisterRead(pDevice, kEepromControl, &control);
        if (status != ApiSuccess) return status;
        port.cached[0] = slave;
        port.cached[1] = static_cast<uint8_t>((control & kEepromWidthMask) >> kEepromWidthShift);
    }
    *pWidth = port.cached[1];
    return ApiSuccess;
}

PLX_STATUS EepromSetAddressWidth(PLX_DEVICE_OBJECT* pDevice, PLX_I2C_PORT& port, uint64_t width) {
    if (width < 1 || width > 3) return ApiInvalidData;
    uint32_t control = 0;
    PLX_STATUS status = EepromWaitIdle(pDevice, &control);
    if (status != ApiSuccess) return status;
    status = PlxI2c_RegisterWrite(pDevice, kEepromControl,
                                  static_cast<uint32_t>(width) << kEepromWidthShift);
    if (status != ApiSuccess) return status;
    port.cached[0] = pDevice->Key.DeviceNumber;
    port.cached[1] = static_cast<uint8_t>(width);
    return ApiSuccess;
}

// One EEPROM request, under the port's lock for the whole sequence of
// register transactions.
PLX_STATUS EepromRequest(PLX_DEVICE_OBJECT* pDevice, uint32_t code, PLX_IOCTL_MESSAGE* pMessage) {
    PLX_I2C_PORT* port = PortOf(pDevice);
    if (port == nullptr) return ApiInvalidIndex;
    std::lock_guard lock(port->transaction);
    const uint64_t offset = pMessage->value[0];
    uint32_t value = 0;
    PLX_STATUS status = ApiSuccess;
    switch (code) {
        case PLX_IOCTL_EEPROM_PRESENT:
        case PLX_IOCTL_EEPROM_PROBE:
            status = PlxI2c_RegisterRead(pDevice, kEepromControl, &value);
            value = (value & kEepromPresent) != 0 ? 1 : 0;
            // A probe also has the EEPROM answer a read.
            if (status == ApiSuccess && value == 1 && code == PLX_IOCTL_EEPROM_PROBE) {
                uint32_t ignored = 0;
                status = EepromReadDword(pDevice, 0, &ignored);
            }
            pMessage->value[0] = status == ApiSuccess ? value : 0;
            return status;
        case PLX_IOCTL_EEPROM_GET_ADDRESS_WIDTH:
            status = EepromAddressWidth(pDevice, *port, &value);
            pMessage->value[0] = status == ApiSuccess ? value : 0;
            return status;
        case PLX_IOCTL_EEPROM_SET_ADDRESS_WIDTH:
            return EepromSetAddressWidth(pDevice, *port, pMessage->value[0]);
        case PLX_IOCTL_EEPROM_READ_BY_OFFSET:
        case PLX_IOCTL_EEPROM_READ_BY_OFFSET_16: {
            const bool half = code == PLX_IOCTL_EEPROM_READ_BY_OFFSET_16;
            status = EepromCheckOffset(offset, half ? 2 : 4);
            if (status == ApiSuccess) {
                status = half ? EepromReadHalf(pDevice, static_cast<uint32_t>(offset), &value)
                              : EepromReadDword(pDevice, static_cast<uint32_t>(offset), &value);
            }
            pMessage->value[1] = status == ApiSuccess ? value : (half ? 0xFFFFu : 0xFFFFFFFFu);
            return status;
        }
        case PLX_IOCTL_EEPROM_WRITE_BY_OFFSET:
        case PLX_IOCTL_EEPROM_WRITE_BY_OFFSET_16: {
            const bool half = code == PLX_IOCTL_EEPROM_WRITE_BY_OFFSET_16;
            status = EepromCheckOffset(offset, half ? 2 : 4);
            if (status != ApiSuccess) return status;
            const auto data = static_cast<uint32_t>(pMessage->value[1]);
            return half ? EepromWriteHalf(pDevice, static_cast<uint32_t>(offset), data)
                        : EepromWriteDword(pDevice, static_cast<uint32_t>(offset), data);
        }
        default:
            return ApiUnsupportedFunction;
    }
}

bool IsEepromRequest(uint32_t code) {
    return code >= PLX_IOCTL_EEPROM_PRESENT && code <= PLX_IOCTL_EEPROM_WRITE_BY_OFFSET_16;
}

}  // namespace

void PlxI2c_Dispatch(PLX_DEVICE_OBJECT* pDevice, uint32_t code, PLX_IOCTL_MESSAGE* pMessage) {
    if (pDevice == nullptr || pMessage == nullptr) return;
    const int loaded = PlxI2c_LoadAdapter();
    if (loaded != 0) {
        pMessage->ReturnCode = StatusOfLoad(loaded);
        return;
    }
    PLX_STATUS status = ApiSuccess;
    switch (code) {
        case PLX_IOCTL_DRIVER_VERSION:
            pMessage->value[0] = (kPlxDriverVersionMajor << 16) | (kPlxDriverVersionMinor << 8) |
                                 kPlxDriverVersionRevision;
            break;
        case PLX_IOCTL_CHIP_TYPE_GET:
            pMessage->value[0] = pDevice->PlxChipType;
            break;
        case PLX_IOCTL_CHIP_TYPE_SET:
            if (IsChipTypeAccepted(static_cast<uint32_t>(pMessage->value[0]))) {
                pDevice->PlxChipType = static_cast<uint16_t>(pMessage->value[0]);
            } else {
                status = ApiInvalidData;
            }
            break;
        case PLX_IOCTL_GET_PORT_PROPERTIES:
            pMessage->value[0] = SwitchPort(pDevice);
            break;
        case PLX_IOCTL_PCI_REG_READ_FAST:
        case PLX_IOCTL_PLX_REG_READ: {
            uint32_t value = 0;
            status =
                PlxI2c_RegisterRead(pDevice, static_cast<uint32_t>(pMessage->value[0]), &value);
            pMessage->value[1] = status == ApiSuccess ? value : 0xFFFFFFFFu;
            break;
        }
        case PLX_IOCTL_PCI_REG_WRITE_FAST:
        case PLX_IOCTL_PLX_REG_WRITE:
            status = PlxI2c_RegisterWrite(pDevice, static_cast<uint32_t>(pMessage->value[0]),
                                          static_cast<uint32_t>(pMessage->value[1]));
            break;
        default:
            // BAR properties, the PCI-Express register pair, the EEPROM CRC
            // and the performance counters have no I2C form here.
            status = IsEepromRequest(code) ? EepromRequest(pDevice, code, pMessage)
                                           : ApiUnsupportedFunction;
            break;
    }
    pMessage->ReturnCode = status;
}

}  // namespace velmora::hw

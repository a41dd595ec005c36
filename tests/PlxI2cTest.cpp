// The device layer's I2C access mode, without the adapter library (as the
// product runs) and over a fake adapter with a PLX switch behind it.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "hw/PlxApi.h"
#include "hw/PlxI2c.h"

namespace velmora::hw::testing {
namespace {

constexpr uint16_t kSwitchDevice = 0x8624;
constexpr int kHandleBase = 100;
constexpr uint32_t kEepromControl = 0x260, kEepromData = 0x264;
constexpr uint32_t kEepromPresent = 1u << 16, kEepromBusy = 1u << 18;

// The fake adapter: ports 0 to 2 (port 1 in use by another program) and on
// port 0 a switch at one slave address that answers the layer's commands,
// with an EEPROM behind its controller (registers 0x260 and 0x264).
struct FakeAdapter {
    std::mutex mutex;
    uint16_t switchAddress = 0x1A;
    std::map<uint32_t, uint32_t> registers;  // by byte offset
    std::vector<uint16_t> addressesTried;
    std::vector<uint8_t> lastWrite;
    uint32_t pendingCommand = 0;
    int opens = 0;
    int closes = 0;
    int closeResult = 1;
    int bitRate = 0;
    int freeBus = 0;
    uint32_t version = 0x05000500;
    std::map<uint32_t, uint32_t> eeprom;  // by dword address
    bool eepromBusy = false;
    bool writeEnabled = false;

    void Reset() {
        std::lock_guard lock(mutex);
        switchAddress = 0x1A;
        registers = {{0, (uint32_t{kSwitchDevice} << 16) | kPlxVendorId},
                     {0x10, 0x12345678},
                     {kEepromControl, kEepromPresent | (2u << 22)}};
        eeprom.clear();
        eepromBusy = writeEnabled = false;
        addressesTried.clear();
        lastWrite.clear();
        opens = closes = bitRate = freeBus = 0;
        closeResult = 1;
        version = 0x05000500;
    }
};

FakeAdapter g_Fake;

uint32_t FakeVersion() {
    return g_Fake.version;
}
int FakeFindDevices(int count, uint16_t* ports) {
    const uint16_t listed[] = {0, 1 | kAaPortInUse, 2};
    for (int i = 0; i < count && i < 3; ++i)
        ports[i] = listed[i];
    return 3;
}
int FakeOpen(int port) {
    std::lock_guard lock(g_Fake.mutex);
    ++g_Fake.opens;
    // Slow enough that two unguarded first opens would overlap.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return kHandleBase + port;
}
int FakeClose(int) {
    std::lock_guard lock(g_Fake.mutex);
    ++g_Fake.closes;
    return g_Fake.closeResult;
}
int FakeHandleValue(int, int value) {
    return value;
}
int FakeBitrate(int, int kHz) {
    std::lock_guard lock(g_Fake.mutex);
    g_Fake.bitRate = kHz;
    return kHz;
}
int FakeHandle(int) {
    return 0;
}
int FakeFreeBus(int) {
    std::lock_guard lock(g_Fake.mutex);
    ++g_Fake.freeBus;
    return 0;
}
uint32_t BigEndian(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}
// A command written to the EEPROM controller runs at once; the register
// keeps the address width and the presence.
void RunEepromCommand(uint32_t control) {
    const uint32_t address = control & 0x1FFF;
    switch ((control >> 13) & 7) {
        case 3:
            g_Fake.registers[kEepromData] = g_Fake.eeprom[address];
            break;
        case 6:
            g_Fake.writeEnabled = true;
            break;
        case 2:
            if (g_Fake.writeEnabled) g_Fake.eeprom[address] = g_Fake.registers[kEepromData];
            g_Fake.writeEnabled = false;
            break;
    }
    g_Fake.registers[kEepromControl] = (control & (3u << 22)) | kEepromPresent;
}
int FakeWrite(int handle, uint16_t slave, uint16_t, uint16_t count, const uint8_t* data) {
    std::lock_guard lock(g_Fake.mutex);
    g_Fake.addressesTried.push_back(slave);
    if (handle != kHandleBase || slave != g_Fake.switchAddress) return 0;
    g_Fake.lastWrite.assign(data, data + count);
    const uint32_t command = BigEndian(data);
    g_Fake.pendingCommand = command;
    // Mode 3 (write) of a 0x86 switch: the value follows the command.
    if (count == 8 && ((command >> 19) & 0x7F) == 3) {
        const uint32_t offset = (command & 0x3FF) * 4, value = BigEndian(data + 4);
        g_Fake.registers[offset] = value;
        if (offset == kEepromControl) RunEepromCommand(value);
    }
    return count;
}
int FakeRead(int handle, uint16_t slave, uint16_t, uint16_t count, uint8_t* data) {
    std::lock_guard lock(g_Fake.mutex);
    if (handle != kHandleBase || slave != g_Fake.switchAddress || count != 4) return 0;
    const uint32_t offset = (g_Fake.pendingCommand & 0x3FF) * 4;
    uint32_t value = g_Fake.registers[offset];
    if (offset == kEepromControl && g_Fake.eepromBusy) value |= kEepromBusy;
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    return 4;
}

std::vector<PLX_I2C_ADAPTER_ENTRY> FullTable() {
    return {
        {"c_version", reinterpret_cast<void*>(&FakeVersion)},
        {"c_aa_find_devices", reinterpret_cast<void*>(&FakeFindDevices)},
        {"c_aa_open", reinterpret_cast<void*>(&FakeOpen)},
        {"c_aa_close", reinterpret_cast<void*>(&FakeClose)},
        {"c_aa_target_power", reinterpret_cast<void*>(&FakeHandleValue)},
        {"c_aa_i2c_slave_disable", reinterpret_cast<void*>(&FakeHandle)},
        {"c_aa_i2c_bitrate", reinterpret_cast<void*>(&FakeBitrate)},
        {"c_aa_i2c_free_bus", reinterpret_cast<void*>(&FakeFreeBus)},
        {"c_aa_i2c_read", reinterpret_cast<void*>(&FakeRead)},
        {"c_aa_i2c_write", reinterpret_cast<void*>(&FakeWrite)},
    };
}

PLX_DEVICE_KEY AnySwitch() {
    PLX_DEVICE_KEY key{};
    key.VendorId = kPlxVendorId;
    key.DeviceId = kPlxAnyU16;
    return key;
}

class PlxI2cTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_Fake.Reset();
        Use(FullTable());
    }
    void TearDown() override { PlxI2c_UseAdapterTable(nullptr, 0); }
    void Use(std::vector<PLX_I2C_ADAPTER_ENTRY> table) {
        m_table = std::move(table);
        PlxI2c_UseAdapterTable(m_table.data(), m_table.size());
    }
    void Without(const char* name) {
        auto table = FullTable();
        table.erase(
            std::remove_if(table.begin(), table.end(),
                           [&](const auto& entry) { return std::string(entry.name) == name; }),
            table.end());
        Use(table);
    }

  private:
    std::vector<PLX_I2C_ADAPTER_ENTRY> m_table;
};

TEST(PlxI2cLibraryTest, WithoutTheAdapterLibraryEveryPathFailsAsToday) {
    EXPECT_EQ(PlxI2c_LoadAdapter(), kAaUnableToLoadLibrary);
    EXPECT_EQ(PlxI2c_AaOpen(0), kAaUnableToLoadLibrary);
    PLX_DEVICE_KEY key = AnySwitch();
    EXPECT_EQ(PlxPci_DeviceFindEx(&key, 0, kPlxModeI2c), ApiNoActiveDriver);
    uint32_t mask = 1;
    EXPECT_EQ(PlxI2c_PortList(&mask), ApiNoActiveDriver);
    EXPECT_EQ(mask, 0u);
    PLX_DEVICE_OBJECT device{};
    device.Key.ApiMode = kPlxAccessI2c;
    PLX_IOCTL_MESSAGE message{};
    EXPECT_EQ(PlxIoMessage(&device, PLX_IOCTL_PLX_REG_READ, &message), 1u);
    EXPECT_EQ(message.ReturnCode, ApiNoActiveDriver);
}

TEST_F(PlxI2cTest, TheLoaderChecksTheVersionAndEveryEntryItUses) {
    EXPECT_EQ(PlxI2c_LoadAdapter(), 0);
    Without("c_aa_open");
    EXPECT_EQ(PlxI2c_LoadAdapter(), 0);
    EXPECT_EQ(PlxI2c_AaOpen(0), kAaUnableToLoadFunction);
    EXPECT_EQ(PlxI2c_PortOpen(nullptr, 0, 0), ApiFailed);
    Without("c_version");
    EXPECT_EQ(PlxI2c_LoadAdapter(), kAaUnableToLoadFunction);

    g_Fake.version = 0x04FF0500;  // library too old
    Use(FullTable());
    EXPECT_EQ(PlxI2c_LoadAdapter(), kAaIncompatibleLibrary);
    EXPECT_EQ(PlxI2c_AaFindDevices(0, nullptr), kAaIncompatibleLibrary);
    g_Fake.version = 0x05000501;  // asks for a newer caller
    Use(FullTable());
    EXPECT_EQ(PlxI2c_LoadAdapter(), kAaIncompatibleLibrary);
}

TEST_F(PlxI2cTest, FindScansTheAddressesInOrderAndFillsTheKey) {
    uint32_t mask = 0;
    ASSERT_EQ(PlxI2c_PortList(&mask), ApiSuccess);
    EXPECT_EQ(mask, 0x7u | (1u << 17));

    PLX_DEVICE_KEY key = AnySwitch();
    ASSERT_EQ(PlxI2c_DeviceFind(&key, 0, {0, kPlxI2cScanAllAddresses, 0}), ApiSuccess);
    std::vector<uint16_t> expected;
    for (uint16_t a = 0x38; a <= 0x3F; ++a)
        expected.push_back(a);
    for (uint16_t a = 0x58; a <= 0x5F; ++a)
        expected.push_back(a);
    for (uint16_t a = 0x68; a <= 0x6F; ++a)
        expected.push_back(a);
    for (uint16_t a = 0x70; a <= 0x78; ++a)
        expected.push_back(a);
    for (uint16_t a = 0x18; a <= 0x1A; ++a)
        expected.push_back(a);
    EXPECT_EQ(g_Fake.addressesTried, expected);
    EXPECT_EQ(std::string(key.IsValidTag, 4), "XLP_");
    EXPECT_EQ(key.ApiMode, kPlxAccessI2c);
    EXPECT_EQ(key.ApiIndex, 0);
    EXPECT_EQ(key.DeviceNumber, 0x1A);
    EXPECT_EQ(key.DeviceId, kSwitchDevice);
    EXPECT_EQ(g_Fake.bitRate, 100);
    // The port opened for the search is closed again.
    EXPECT_EQ(PlxI2c_PortReferenceCount(0), 0);
    EXPECT_EQ(g_Fake.closes, 1);

    PLX_DEVICE_KEY second = AnySwitch();
    EXPECT_EQ(PlxI2c_DeviceFind(&second, 1, {0, kPlxI2cScanAllAddresses, 0}), ApiInvalidDeviceInfo);
    PLX_DEVICE_KEY wrongAddress = AnySwitch();
    EXPECT_EQ(PlxI2c_DeviceFind(&wrongAddress, 0, {0, 0x38, 400}), ApiInvalidDeviceInfo);
    EXPECT_EQ(g_Fake.bitRate, 400);
    EXPECT_EQ(PlxI2c_DeviceFind(&wrongAddress, 0, {5, 0x1A, 0}), ApiInvalidIndex);
    EXPECT_EQ(PlxI2c_DeviceFind(&wrongAddress, 0, {1, 0x1A, 0}), ApiDeviceInUse);
    EXPECT_EQ(PlxI2c_PortReferenceCount(0), 0);
}

TEST_F(PlxI2cTest, PortsAreCountedAndTheAdapterOpensOnceUnderConcurrentFirstOpens) {
    EXPECT_EQ(PlxI2c_PortOpen(nullptr, 10, 0), ApiInvalidIndex);
    EXPECT_EQ(PlxI2c_PortClose(0), ApiInvalidHandle);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([] { EXPECT_EQ(PlxI2c_PortOpen(nullptr, 2, 0), ApiSuccess); });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(g_Fake.opens, 1);
    EXPECT_EQ(PlxI2c_PortReferenceCount(2), 4);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(PlxI2c_PortClose(2), ApiSuccess);
    EXPECT_EQ(g_Fake.closes, 0);
    g_Fake.closeResult = 0;
    EXPECT_EQ(PlxI2c_PortClose(2), ApiInvalidHandle);  // the adapter refused to close
    EXPECT_EQ(g_Fake.closes, 1);
    EXPECT_EQ(PlxI2c_PortClose(2), ApiInvalidHandle);
    EXPECT_EQ(PlxI2c_PortReferenceCount(2), 0);
}

TEST_F(PlxI2cTest, RegistersAndRequestsOfAnOpenedSwitch) {
    PLX_DEVICE_KEY key = AnySwitch();
    ASSERT_EQ(PlxPci_DeviceFindEx(&key, 0, kPlxModeI2c), ApiSuccess);
    key.DriverData24[0] = 2;  // the switch's port
    PLX_DEVICE_OBJECT device{};
    ASSERT_EQ(PlxPci_DeviceOpen(&key, &device), ApiSuccess);
    EXPECT_EQ(device.PlxChipType, kSwitchDevice);
    EXPECT_EQ(PlxI2c_PortReferenceCount(0), 1);

    uint8_t major = 0, minor = 0, revision = 0;
    EXPECT_EQ(PlxPci_DriverVersion(&device, &major, &minor, &revision), ApiSuccess);
    EXPECT_EQ(major * 100 + minor * 10 + revision, 631);

    uint32_t value = 0;
    ASSERT_EQ(PlxPci_PlxRegisterRead(&device, 0x10, &value), ApiSuccess);
    EXPECT_EQ(value, 0x12345678u);
    // Read mode 4 at bit 19, bit 26, port 2 at bit 15, all byte enables,
    // register 4; most significant byte first.
    EXPECT_EQ(g_Fake.lastWrite, (std::vector<uint8_t>{0x04, 0x21, 0x3C, 0x04}));

    ASSERT_EQ(PlxPci_PlxRegisterWrite(&device, 0x20, 0xCAFEF00D), ApiSuccess);
    EXPECT_EQ(g_Fake.registers[0x20], 0xCAFEF00Du);
    ASSERT_EQ(PlxPci_PciRegisterReadFast(&device, 0x20, &value), ApiSuccess);
    EXPECT_EQ(value, 0xCAFEF00Du);
    EXPECT_EQ(PlxPci_PlxRegisterRead(&device, 0x22, &value), ApiInvalidOffset);
    EXPECT_EQ(PlxPci_PlxRegisterWrite(&device, 0x1000, 0), ApiInvalidOffset);

    // A switch that stops answering: the bus is freed, the read fails.
    g_Fake.switchAddress = 0x40;
    g_Fake.freeBus = 0;
    EXPECT_EQ(PlxPci_PlxRegisterRead(&device, 0x10, &value), ApiFailed);
    EXPECT_EQ(g_Fake.freeBus, 1);
    g_Fake.switchAddress = 0x1A;

    PLX_IOCTL_MESSAGE message{};
    message.value[0] = 0x9000;
    EXPECT_EQ(PlxIoMessage(&device, PLX_IOCTL_CHIP_TYPE_SET, &message), 1u);
    EXPECT_EQ(message.ReturnCode, ApiInvalidData);
    message.value[0] = 0x8532;
    PlxIoMessage(&device, PLX_IOCTL_CHIP_TYPE_SET, &message);
    EXPECT_EQ(message.ReturnCode, ApiSuccess);
    message.value[0] = 0;
    PlxIoMessage(&device, PLX_IOCTL_CHIP_TYPE_GET, &message);
    EXPECT_EQ(message.value[0], 0x8532u);
    for (uint32_t code : {0x222020u, 0x222044u, 0x222048u, 0x222088u, 0x2220e0u, 0x2220f4u,
                          static_cast<uint32_t>(PLX_IOCTL_DMA_TRANSFER_USER_VA)}) {
        PlxIoMessage(&device, code, &message);
        EXPECT_EQ(message.ReturnCode, ApiUnsupportedFunction) << std::hex << code;
    }

    EXPECT_EQ(PlxPci_DeviceClose(&device), ApiSuccess);
    EXPECT_EQ(PlxI2c_PortReferenceCount(0), 0);
}

TEST_F(PlxI2cTest, EepromRequestsGoThroughTheSwitchsController) {
    PLX_DEVICE_KEY key = AnySwitch();
    ASSERT_EQ(PlxPci_DeviceFindEx(&key, 0, kPlxModeI2c), ApiSuccess);
    PLX_DEVICE_OBJECT device{};
    ASSERT_EQ(PlxPci_DeviceOpen(&key, &device), ApiSuccess);
    const auto request = [&](uint32_t code, uint64_t value0, uint64_t value1 = 0) {
        PLX_IOCTL_MESSAGE message{};
        message.value[0] = value0;
        message.value[1] = value1;
        PlxIoMessage(&device, code, &message);
        return message;
    };
    uint32_t present = 0, value = 0;
    EXPECT_EQ(PlxPci_EepromPresent(&device, &present), ApiSuccess);
    EXPECT_EQ(present, 1u);
    ASSERT_EQ(PlxPci_EepromWriteByOffset(&device, 0x7FFC, 0xA1B2C3D4), ApiSuccess);
    EXPECT_EQ(request(PLX_IOCTL_EEPROM_WRITE_BY_OFFSET_16, 0x7FFE, 0x5566).ReturnCode, ApiSuccess);
    EXPECT_EQ(g_Fake.eeprom[0x1FFF], 0x5566C3D4u);
    ASSERT_EQ(PlxPci_EepromReadByOffset(&device, 0x7FFC, &value), ApiSuccess);
    EXPECT_EQ(value, 0x5566C3D4u);
    // Offsets past the EEPROM or off the access's size (520), a controller
    // that stays busy (532): nothing written.
    EXPECT_EQ(PlxPci_EepromReadByOffset(&device, 0x8000, &value), ApiInvalidOffset);
    EXPECT_EQ(request(PLX_IOCTL_EEPROM_WRITE_BY_OFFSET_16, 0x7FFF).ReturnCode, ApiInvalidOffset);
    g_Fake.eepromBusy = true;
    EXPECT_EQ(PlxPci_EepromWriteByOffset(&device, 0x7FFC, 1), ApiWaitTimeout);
    g_Fake.eepromBusy = false;
    EXPECT_EQ(g_Fake.eeprom[0x1FFF], 0x5566C3D4u);
    // The address width is read once and kept in the port's record until
    // the port is opened afresh.
    EXPECT_EQ(request(PLX_IOCTL_EEPROM_GET_ADDRESS_WIDTH, 0).value[0], 2u);
    g_Fake.registers[kEepromControl] = kEepromPresent | (1u << 22);
    EXPECT_EQ(request(PLX_IOCTL_EEPROM_GET_ADDRESS_WIDTH, 0).value[0], 2u);
    ASSERT_EQ(PlxPci_DeviceClose(&device), ApiSuccess);
    ASSERT_EQ(PlxPci_DeviceOpen(&key, &device), ApiSuccess);
    EXPECT_EQ(request(PLX_IOCTL_EEPROM_GET_ADDRESS_WIDTH, 0).value[0], 1u);
    EXPECT_EQ(PlxPci_DeviceClose(&device), ApiSuccess);
}

}  // namespace
}  // namespace velmora::hw::testing

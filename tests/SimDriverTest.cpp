// The simulated driver's answers to the device layer's requests: finding,
// naming, versions, register and configuration access.

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "SimTestSupport.h"
#include "sim/SimConfig.h"

namespace velmora::sim::testing {
namespace {

using namespace velmora::hw;

PLX_IOCTL_MESSAGE Find(const Device& device, uint64_t n,
                       const std::function<void(PLX_DEVICE_KEY&)>& narrow = {}) {
    return device.Send(PLX_IOCTL_DEVICE_FIND, [&](PLX_IOCTL_MESSAGE& m) {
        std::memset(&m.Key, 0xFF, sizeof(m.Key));
        std::memcpy(m.Key.IsValidTag, "abcd", 4);
        m.Key.ApiMode = 0;
        if (narrow) narrow(m.Key);
        m.value[0] = n;
    });
}

using SimDriverTest = SimTest;

TEST_F(SimDriverTest, FindCountsMatchingCards) {
    ASSERT_TRUE(SetCardCount(0));
    EXPECT_FALSE(Device(0).IsOpen());

    ASSERT_TRUE(SetCardCount(1));
    {
        Device device;
        ASSERT_TRUE(device.IsOpen());
        PLX_IOCTL_MESSAGE hit = Find(device, 0);
        EXPECT_EQ(hit.ReturnCode, ApiSuccess);
        EXPECT_EQ(std::memcmp(hit.Key.IsValidTag, "abcd", 4), 0);  // the tag is the caller's
        EXPECT_EQ(hit.Key.VendorId, 0x4B57);
        EXPECT_EQ(hit.Key.DeviceId, 0x5100);
        EXPECT_EQ(hit.Key.bus, 1);
        EXPECT_EQ(hit.Key.slot, 0);
        EXPECT_EQ(hit.Key.function, 0);
        EXPECT_EQ(hit.Key.DeviceNumber, 0);
        EXPECT_EQ(hit.Key.ApiIndex, 10);

        PLX_IOCTL_MESSAGE miss = Find(device, 1);
        EXPECT_EQ(miss.ReturnCode, ApiInvalidDeviceInfo);
        EXPECT_EQ(miss.value[0], 1u);
        miss = Find(device, 0, [](PLX_DEVICE_KEY& key) { key.VendorId = 0x10B5; });
        EXPECT_EQ(miss.ReturnCode, ApiInvalidDeviceInfo);
        EXPECT_EQ(miss.value[0], 0u);
    }

    ASSERT_TRUE(SetCardCount(2));
    Device device;
    PLX_IOCTL_MESSAGE second = Find(device, 1);
    EXPECT_EQ(second.ReturnCode, ApiSuccess);
    EXPECT_EQ(second.Key.bus, 2);
    EXPECT_EQ(second.Key.DeviceNumber, 1);
    PLX_IOCTL_MESSAGE miss = Find(device, 2);
    EXPECT_EQ(miss.ReturnCode, ApiInvalidDeviceInfo);
    EXPECT_EQ(miss.value[0], 2u);
    // Narrowed to the second card's location, it is the first match.
    PLX_IOCTL_MESSAGE located = Find(device, 0, [](PLX_DEVICE_KEY& key) {
        key.bus = 2;
        key.VendorId = 0x4B57;
        key.DeviceId = 0x5100;
    });
    EXPECT_EQ(located.ReturnCode, ApiSuccess);
    EXPECT_EQ(located.Key.DeviceNumber, 1);
    EXPECT_TRUE(Device(1).IsOpen());
    EXPECT_FALSE(Device(2).IsOpen());
    EXPECT_FALSE(SetCardCount(1)) << "a device is open";
}

TEST_F(SimDriverTest, AnswersOnlyItsRowsNames) {
    EXPECT_TRUE(Device(DeviceName(0)).IsOpen());
    for (const char* name : {"\\\\.\\TQDDASI_v631-00", "\\\\.\\TQDDASI_v631-",
                             "\\\\.\\TQDDASI_v631", "\\\\.\\TQDDASI_v630-0", "\\\\.\\TQDDIO_v631-0",
                             "TQDDASI_v631-0", "\\\\.\\TQDDASI_v631-0x"}) {
        EXPECT_FALSE(Device(std::string(name)).IsOpen()) << name;
    }

    ASSERT_TRUE(SetDriverRow(20));
    EXPECT_FALSE(Device(DeviceName(0)).IsOpen());
    Device plxDma(DeviceName(0, "PlxDma"));
    ASSERT_TRUE(plxDma.IsOpen());
    EXPECT_EQ(Find(plxDma, 0).Key.ApiIndex, 20);

    ASSERT_TRUE(SetDriverRow(21));
    EXPECT_TRUE(Device(std::string("\\\\.\\PlxSvc_v631")).IsOpen());
    EXPECT_FALSE(SetDriverRow(22));
}

TEST_F(SimDriverTest, ReportsVersionAndRefusesUnknownRequests) {
    Device device;
    PLX_IOCTL_MESSAGE version = device.Send(PLX_IOCTL_DRIVER_VERSION);
    EXPECT_EQ(version.ReturnCode, ApiSuccess);
    EXPECT_EQ(version.value[0], 0x00060301u);
    SetDriverVersion(0x00060300);
    EXPECT_EQ(device.Send(PLX_IOCTL_DRIVER_VERSION).value[0], 0x00060300u);

    EXPECT_EQ(device.Status(0x222008), ApiUnsupportedFunction);
    EXPECT_EQ(device.Status(PLX_IOCTL_EEPROM_PRESENT), ApiUnsupportedFunction);

    PLX_IOCTL_MESSAGE message{};
    uint32_t returned = 0;
    auto handle = platform::CreateDeviceFile(DeviceName(0));
    EXPECT_FALSE(platform::DeviceIoControl(handle, PLX_IOCTL_DRIVER_VERSION, &message, 135,
                                           &message, sizeof(message), &returned));
    EXPECT_FALSE(platform::DeviceIoControl(handle, PLX_IOCTL_DRIVER_VERSION, &message,
                                           sizeof(message), &message, 100, &returned));
    platform::CloseDeviceHandle(handle);
    EXPECT_FALSE(platform::DeviceIoControl(handle, PLX_IOCTL_DRIVER_VERSION, &message,
                                           sizeof(message), &message, sizeof(message), &returned));
}

TEST_F(SimDriverTest, Bar3RoundTripAndRefusals) {
    ASSERT_TRUE(EnableRegisterWriteLog(0, true));
    Device device;
    device.Write(0x50, 0x12345678);
    EXPECT_EQ(device.Read(0x50), 0x12345678u);
    EXPECT_EQ(PeekRegister(0, 0x50), 0x12345678u);
    EXPECT_EQ(device.Read(0x1C), 0x5110u);
    EXPECT_EQ(device.Read(0xF0), 0x50103u);
    device.Write(0x1C, 0);  // the board ID is wired
    EXPECT_EQ(device.Read(0x1C), 0x5110u);
    EXPECT_EQ(RegisterWriteLog(0), (std::vector<RegisterWrite>{{0x50, 0x12345678}, {0x1C, 0}}));

    uint32_t buffer = 0xA5A5A5A5;
    for (bool write : {false, true}) {
        // BAR 2 takes line writes only, and not while READY# input is enabled.
        EXPECT_EQ(device.BarSpace(write, 0x50, &buffer, 2), write ? ApiFailed : ApiInvalidIndex);
        EXPECT_EQ(device.BarSpace(write, 0x50, &buffer, 0), ApiInvalidIndex);
        EXPECT_EQ(device.BarSpace(write, 0x50, &buffer, 3, 1), ApiInvalidAccessType);
        EXPECT_EQ(device.BarSpace(write, 0x1000, &buffer), ApiInvalidAddress);
        EXPECT_EQ(device.BarSpace(write, 0x52, &buffer), ApiInvalidAddress);
        EXPECT_EQ(device.BarSpace(write, 0x50, &buffer, 3, 2, 8), ApiInvalidAddress);
        EXPECT_EQ(device.BarSpace(write, 0x50, &buffer, 3, 2, 4, 1), ApiInvalidAddress);
        EXPECT_EQ(device.BarSpace(write, 0x50, nullptr), ApiNullParam);
    }
    EXPECT_EQ(buffer, 0xA5A5A5A5u);
    EXPECT_EQ(device.Read(0x50), 0x12345678u);
    EXPECT_EQ(RegisterWriteLog(0).size(), 2u);

    ASSERT_TRUE(ClearRegisterWriteLog(0));
    EXPECT_TRUE(RegisterWriteLog(0).empty());
    SetBoardId(0x5100);
    EXPECT_EQ(device.Read(0x1C), 0x5100u);
}

TEST_F(SimDriverTest, MapsOnlyTheBar2Window) {
    Device device;
    Device other;
    PLX_IOCTL_MESSAGE map = device.Send(PLX_IOCTL_PCI_BAR_MAP, [](auto& m) { m.value[0] = 2; });
    ASSERT_EQ(map.ReturnCode, ApiSuccess);
    ASSERT_NE(map.value[1], 0u);
    auto* window = reinterpret_cast<volatile uint32_t*>(map.value[1]);
    window[0x7FFC / 4] = 0xCAFEF00D;
    PLX_IOCTL_MESSAGE again = other.Send(PLX_IOCTL_PCI_BAR_MAP, [](auto& m) { m.value[0] = 2; });
    EXPECT_EQ(reinterpret_cast<volatile uint32_t*>(again.value[1])[0x7FFC / 4], 0xCAFEF00Du);

    for (uint64_t bar : {0, 1, 3, 5, 6}) {
        EXPECT_NE(device.Status(PLX_IOCTL_PCI_BAR_MAP, bar), ApiSuccess) << bar;
    }
    EXPECT_EQ(device.Status(PLX_IOCTL_PCI_BAR_UNMAP, 2, map.value[1] + 4), ApiInvalidAddress);
    EXPECT_EQ(device.Status(PLX_IOCTL_PCI_BAR_UNMAP, 3, map.value[1]), ApiInvalidAddress);
    EXPECT_EQ(device.Status(PLX_IOCTL_PCI_BAR_UNMAP, 2, map.value[1]), ApiSuccess);
}

TEST_F(SimDriverTest, ConfigurationSpaceAndLocalRegisters) {
    Device device;
    PLX_IOCTL_MESSAGE read =
        device.Send(PLX_IOCTL_PCI_REG_READ_FAST, [](auto& m) { m.value[1] = ~0ull; });
    EXPECT_EQ(read.ReturnCode, ApiSuccess);
    EXPECT_EQ(read.value[1], 0x51004B57u);
    EXPECT_EQ(device.Status(PLX_IOCTL_PCI_REG_WRITE_FAST, 0x40, 0xAABBCCDD), ApiSuccess);
    EXPECT_EQ(device.Send(PLX_IOCTL_PCI_REG_READ_FAST, [](auto& m) { m.value[0] = 0x40; }).value[1],
              0xAABBCCDDu);
    EXPECT_NE(device.Status(PLX_IOCTL_PCI_REG_READ_FAST, 0x42), ApiSuccess);
    EXPECT_NE(device.Status(PLX_IOCTL_PCI_REG_WRITE_FAST, 0x1000, 1), ApiSuccess);

    auto byLocation = [&](uint8_t bus, uint8_t slot, uint8_t function, uint64_t offset) {
        return device.Send(PLX_IOCTL_PCI_REG_READ, [&](PLX_IOCTL_MESSAGE& m) {
            m.Key.bus = bus;
            m.Key.slot = slot;
            m.Key.function = function;
            m.value[0] = offset;
            m.value[1] = ~0ull;
        });
    };
    EXPECT_EQ(byLocation(0, 0, 0, 0).value[1], 0x29A08086u);
    SetHostChipsetWord(0x25708086);
    EXPECT_EQ(byLocation(0, 0, 0, 0).value[1], 0x25708086u);
    EXPECT_EQ(byLocation(1, 0, 0, 0).value[1], 0x51004B57u);
    EXPECT_EQ(byLocation(1, 0, 0, 0x40).value[1], 0xAABBCCDDu);
    EXPECT_EQ(byLocation(2, 0, 0, 0).value[1], 0xFFFFFFFFu);
    EXPECT_EQ(byLocation(1, 1, 0, 0).value[1], 0xFFFFFFFFu);

    EXPECT_EQ(device.Status(PLX_IOCTL_PLX_REG_WRITE, 0x6C, 0x10000), ApiSuccess);
    // Bit 17 is USERi: the programming lines' input, undriven (1) here.
    EXPECT_EQ(device.Send(PLX_IOCTL_PLX_REG_READ, [](auto& m) { m.value[0] = 0x6C; }).value[1],
              0x30000u);
    EXPECT_EQ(
        device.Send(PLX_IOCTL_PLX_REG_READ, [](auto& m) { m.value[0] = 0x18; }).value[1] & 0x40,
        0x40u);
    EXPECT_NE(device.Status(PLX_IOCTL_PLX_REG_READ, 0x200), ApiSuccess);
    EXPECT_NE(device.Status(PLX_IOCTL_PLX_REG_WRITE, 0x6E, 0), ApiSuccess);
}

TEST_F(SimDriverTest, CardStateLivesWhileHeld) {
    {
        Device device;
        device.Write(0x50, 7);
        Device second;
        second.Close();
        EXPECT_EQ(device.Read(0x50), 7u);
    }
    // Nobody holds the card any more: it comes back fresh.
    Device device;
    EXPECT_EQ(device.Read(0x50), 0u);
}

// The environment is read as a whole; unusable values fall back one by one.
TEST(SimConfigTest, ParsesEnvironmentWithDefaults) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("sim-config-" + std::to_string(getpid()));
    std::ofstream(file) << "x";
    struct Case {
        const char* name;
        const char* value;
    };
    const Case cases[] = {{"VELMORA_SIM_CARDS", "010"},
                          {"VELMORA_SIM_BOARD_ID", "0x5100"},
                          {"VELMORA_SIM_FPGA_VERSION", "0x50000"},
                          {"VELMORA_SIM_CLOCK", "manual"},
                          {"VELMORA_SIM_VIDEO_INPUT", "loopback"},
                          {"VELMORA_SIM_ASI_INPUT", "loopback"}};
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (const char* name :
         {"VELMORA_SIM_CARDS", "VELMORA_SIM_BOARD_ID", "VELMORA_SIM_FPGA_VERSION",
          "VELMORA_SIM_CLOCK", "VELMORA_SIM_VIDEO_INPUT", "VELMORA_SIM_ASI_INPUT",
          "VELMORA_SIM_STATE_DIR"}) {
        const char* value = std::getenv(name);
        saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    for (const Case& c : cases)
        setenv(c.name, c.value, 1);
    SimConfig config = SimConfig::FromEnvironment();
    EXPECT_EQ(config.cardCount, 10u);  // decimal, a leading 0 or not
    EXPECT_EQ(config.boardId, 0x5100u);
    EXPECT_EQ(config.fpgaVersion, 0x50000u);
    EXPECT_EQ(config.clock, ClockMode::Manual);
    EXPECT_EQ(config.videoInput, VideoInput::Loopback);
    EXPECT_EQ(config.asiInput, AsiInput::Loopback);

    setenv("VELMORA_SIM_ASI_INPUT", file.c_str(), 1);
    config = SimConfig::FromEnvironment();
    EXPECT_EQ(config.asiInput, AsiInput::File);
    EXPECT_EQ(config.asiFile, file.string());

    // A state folder under a file cannot be made.
    const std::string stateDir = (file / "state").string();
    const Case bad[] = {{"VELMORA_SIM_CARDS", "17"},
                        {"VELMORA_SIM_BOARD_ID", "0x5111"},
                        {"VELMORA_SIM_FPGA_VERSION", "v5"},
                        {"VELMORA_SIM_CLOCK", "fast"},
                        {"VELMORA_SIM_VIDEO_INPUT", "camera"},
                        {"VELMORA_SIM_ASI_INPUT", "/no/such/file.ts"},
                        {"VELMORA_SIM_STATE_DIR", stateDir.c_str()}};
    for (const Case& c : bad)
        setenv(c.name, c.value, 1);
    ::testing::internal::CaptureStderr();
    config = SimConfig::FromEnvironment();
    const std::string complaints = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(complaints.find("\"/no/such/file.ts\""), std::string::npos);
    EXPECT_NE(complaints.find("VELMORA_SIM_STATE_DIR=\"" + stateDir + "\""), std::string::npos);
    EXPECT_EQ(config.cardCount, 1u);
    EXPECT_EQ(config.boardId, 0x5110u);
    EXPECT_EQ(config.fpgaVersion, 0x50103u);
    EXPECT_EQ(config.clock, ClockMode::Realtime);
    EXPECT_EQ(config.videoInput, VideoInput::Pattern);
    // A file that cannot be played is still the input (without a signal),
    // never the generator standing in for it.
    EXPECT_EQ(config.asiInput, AsiInput::File);
    EXPECT_EQ(config.asiFile, "/no/such/file.ts");
    setenv("VELMORA_SIM_CARDS", "-1", 1);
    EXPECT_EQ(SimConfig::FromEnvironment().cardCount, 1u);

    for (const auto& [name, value] : saved) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    std::filesystem::remove(file);
}

// A state folder that others may write in, a link or another user's is not
// used: whoever may put names in it decides where the card's files lead. The
// line names the variable the folder came from; a relative XDG_STATE_HOME
// counts as unset, since it would move with the current folder.
TEST(SimConfigTest, StateFolderIsUsedOnlyWhenThisUsersAlone) {
    namespace fs = std::filesystem;
    const std::string own = std::getenv("VELMORA_SIM_STATE_DIR");
    constexpr const char* kVariables[] = {"VELMORA_SIM_STATE_DIR", "XDG_STATE_HOME", "HOME"};
    std::vector<std::optional<std::string>> saved;
    for (const char* name : kVariables) {
        const char* value = std::getenv(name);
        saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
    }
    std::string complaints;
    // The folder chosen with only these of the variables set.
    const auto choose = [&](std::initializer_list<std::pair<const char*, fs::path>> settings) {
        for (const char* name : kVariables)
            unsetenv(name);
        for (const auto& [name, value] : settings)
            setenv(name, value.c_str(), 1);
        ::testing::internal::CaptureStderr();
        const std::string chosen = SimConfig::FromEnvironment().stateDir;
        complaints = ::testing::internal::GetCapturedStderr();
        for (size_t i = 0; i < std::size(kVariables); ++i) {
            if (saved[i]) {
                setenv(kVariables[i], saved[i]->c_str(), 1);
            } else {
                unsetenv(kVariables[i]);
            }
        }
        return chosen;
    };
    const auto expectRefused = [&](const char* variable, const fs::path& value) {
        EXPECT_EQ(choose({{variable, value}}), "") << value;
        EXPECT_NE(complaints.find("settings last only while the card is open"), std::string::npos)
            << value;
        EXPECT_NE(complaints.find(variable), std::string::npos) << complaints;
        if (std::string_view(variable) != kVariables[0]) {
            EXPECT_EQ(complaints.find(kVariables[0]), std::string::npos) << complaints;
        }
    };
    const fs::path shared = fs::path(own) / "shared", link = fs::path(own) / "link";
    const fs::path xdg = fs::path(own) / "xdg", home = fs::path(own) / "home";
    for (const fs::path& dir : {shared, xdg / "velmora/sim", home / ".local/state/velmora/sim"}) {
        fs::create_directories(dir);
        fs::permissions(dir, fs::perms::all);
    }
    fs::create_directory_symlink(own, link);
    for (const fs::path& dir : {shared, link, link / ""})
        expectRefused("VELMORA_SIM_STATE_DIR", dir);
    expectRefused("XDG_STATE_HOME", xdg);
    expectRefused("HOME", home);
    const fs::path ownHome = fs::path(own) / "own-home";
    EXPECT_EQ(
        choose({{"XDG_STATE_HOME", fs::relative(xdg, fs::current_path())}, {"HOME", ownHome}}),
        (ownHome / ".local/state/velmora/sim").string());

    const passwd* nobody = getpwnam("nobody");
    if (getuid() != 0 || !nobody)
        GTEST_SKIP() << "another user's folder needs root and a user nobody";
    const fs::path theirs = fs::path(own) / "theirs";
    fs::create_directories(theirs);
    ASSERT_EQ(chown(theirs.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    expectRefused("VELMORA_SIM_STATE_DIR", theirs);
}

}  // namespace
}  // namespace velmora::sim::testing

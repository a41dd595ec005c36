// The IIC byte engine and the EEPROM of a simulated card, reached as the
// library reaches them: BAR-3 requests on register 0x60 through the driver.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "SimIicSupport.h"
#include "SimTestSupport.h"
#include "sim/SimControl.h"
#include "sim/SimEeprom.h"

namespace velmora::sim::testing {
namespace {

IicMaster MasterOf(const Device& device) {
    return IicMaster({[&device](uint32_t v) { device.Write(SimIicBus::kRegister, v); },
                      [&device] { return device.Read(SimIicBus::kRegister); }});
}

class SimIicCardTest : public SimTest {
  protected:
    void SetUp() override {
        // Every test starts from a card fresh from the factory.
        m_file = SimEeprom::FilePath(SimConfig::FromEnvironment().stateDir, 0);
        std::error_code ignored;
        std::filesystem::remove(m_file, ignored);
        SimTest::SetUp();
    }

    std::filesystem::path m_file;
};

TEST_F(SimIicCardTest, NvramByteReachesAnotherProcessAndOutlivesTheCard) {
    {
        Device device;
        ASSERT_TRUE(device.IsOpen());
        IicMaster master = MasterOf(device);
        ASSERT_TRUE(master.Write(0xA0, 57, 0x5C));
        ASSERT_TRUE(master.Write(0x40, 0x01, 0x77));  // a chip register: gone at power-off

        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int failures = 0;
            {
                Device other;
                if (!other.IsOpen()) _exit(10);
                IicMaster theirs = MasterOf(other);
                if (theirs.Read(0xA0, 57) != 0x5C) ++failures;
                if (!theirs.Write(0xA0, 58, 0xC5)) ++failures;
            }
            _exit(failures);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(master.Read(0xA0, 58), 0xC5);
        EXPECT_EQ(master.Read(0x40, 0x01), 0x77);
    }
    // Every process lets go: the card is switched off.
    ReleaseCards();

    Device device;
    ASSERT_TRUE(device.IsOpen());
    IicMaster master = MasterOf(device);
    EXPECT_EQ(master.Read(0x40, 0x01), 0x00) << "the card was not powered up again";
    EXPECT_EQ(master.Read(0xA0, 57), 0x5C);
    EXPECT_EQ(master.Read(0xA0, 58), 0xC5);
    EXPECT_EQ(master.Read(0xA0, 242), 1);  // the identity record is still there
}

TEST_F(SimIicCardTest, StuckBusyBitsFailTransfersInBoundedTime) {
    Device device;
    ASSERT_TRUE(device.IsOpen());
    IicMaster master = MasterOf(device);
    ASSERT_TRUE(master.Write(0xA0, 70, 0x03));

    for (bool second : {false, true}) {
        SCOPED_TRACE(second);
        ASSERT_TRUE(second ? SetIicSecondBusyStuck(0, true) : SetIicBusyStuck(0, true));
        EXPECT_EQ(device.Read(SimIicBus::kRegister) & (SimIicBus::kBusy | SimIicBus::kSecondBusy),
                  second ? SimIicBus::kSecondBusy : SimIicBus::kBusy);
        bool ok = true;
        EXPECT_EQ(master.Read(0xA0, 70, &ok), 0xFF);
        EXPECT_FALSE(ok);
        EXPECT_FALSE(master.Write(0xA0, 70, 0x04));
        ASSERT_TRUE(second ? SetIicSecondBusyStuck(0, false) : SetIicBusyStuck(0, false));
        EXPECT_EQ(master.Read(0xA0, 70), 0x03);
    }
}

TEST_F(SimIicCardTest, RegisterReadsGiveOnlyStatusAndReceivedByte) {
    Device device;
    ASSERT_TRUE(device.IsOpen());
    for (uint32_t word : {0xFFFFFFFFu, 0x0000A091u, 0x12345679u, 0x0000FF00u}) {
        device.Write(SimIicBus::kRegister, word);
        EXPECT_EQ(device.Read(SimIicBus::kRegister) & ~0x00FF0000u, 0u) << std::hex << word;
    }
    IicMaster master = MasterOf(device);
    ASSERT_TRUE(master.Write(0x42, 0x11, 0xE7));
    EXPECT_EQ(master.Read(0x42, 0x11), 0xE7);
    EXPECT_EQ(device.Read(SimIicBus::kRegister), 0x00E70000u);
}

TEST_F(SimIicCardTest, ControlApiLoadsImagesAndBreaksDevices) {
    Device device;
    ASSERT_TRUE(device.IsOpen());
    IicMaster master = MasterOf(device);

    EXPECT_EQ(EepromFilePath(0), m_file.string());
    uint8_t factory[SimEeprom::kSize];
    SimEeprom::FactoryImage(0, factory);
    const auto image = ReadEepromImage(0);
    ASSERT_TRUE(image);
    EXPECT_TRUE(std::equal(image->begin(), image->end(), factory));

    // Erased: no identity record, and the board version the board then
    // assumes puts the encoder at 0x54.
    ASSERT_TRUE(LoadErasedEeprom(0));
    EXPECT_EQ(master.Read(0xA0, 242), 0xFF);
    ASSERT_TRUE(master.Write(0x54, 0x00, 0x1C));
    EXPECT_EQ(master.Read(0x54, 0x00), 0x1C);
    EXPECT_EQ(master.Read(0x56, 0x00), 0xFF);
    std::ifstream in(m_file, std::ios::binary);
    const std::vector<char> file{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(file, std::vector<char>(SimEeprom::kSize, static_cast<char>(0xFF)));

    EepromImage loaded{};
    for (size_t i = 0; i < loaded.size(); ++i)
        loaded[i] = static_cast<uint8_t>(255 - i);
    ASSERT_TRUE(LoadEepromImage(0, loaded));
    EXPECT_EQ(master.Read(0xA0, 3), 252);
    EXPECT_EQ(ReadEepromImage(0), loaded);

    ASSERT_TRUE(ClearIicTransferLog(0));
    ASSERT_TRUE(SetIicDeviceAbsent(0, 0x40, true));
    master.Write(0x40, 0x05, 0x50);
    EXPECT_EQ(master.Read(0x40, 0x05), 0xFF);
    ASSERT_TRUE(SetIicDeviceAbsent(0, 0x40, false));
    EXPECT_EQ(master.Read(0x40, 0x05), 0x00);  // the write was lost
    const auto log = IicTransferLog(0);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].address, 0x40);
    EXPECT_EQ(log[0].reg, 0x05);
    EXPECT_EQ(log[0].value, 0x50);
    EXPECT_EQ(log[0].acknowledged, 0);
    EXPECT_EQ(log[2].acknowledged, 1);
    EXPECT_EQ(log[2].read, 1);

    // No such card.
    EXPECT_FALSE(LoadErasedEeprom(1));
    EXPECT_FALSE(ReadEepromImage(1));
    EXPECT_FALSE(SetIicBusyStuck(1, true));
    EXPECT_TRUE(IicTransferLog(1).empty());
}

}  // namespace
}  // namespace velmora::sim::testing

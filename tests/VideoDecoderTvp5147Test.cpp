// The TVP5147 driver through this card's IIC master on a simulated 0x5100
// card, seen from the card's IIC transfer log.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "PlatformTestSupport.h"
#include "VideoDecoderTestSupport.h"
#include "av/VideoDecoderTvp5147.h"
#include "platform/Time.h"

namespace velmora::av {
namespace {

using test::ChipTraffic;
using test::ParseRows;
using test::Row;
using test::WrittenRows;

constexpr uint8_t kTvp5147 = 0xB8;

constexpr const char* kTvp5147InitTable =
    "0xE8 = 0x02, 0xE9 = 0x00, 0xEA = 0x80, 0xE0 = 0x01, "
    "0xE8 = 0x60, 0xE9 = 0x00, 0xEA = 0xB0, 0xE0 = 0x01, "
    "0xE8 = 0x16, 0xE9 = 0x00, 0xEA = 0xA0, 0xE0 = 0x16, "
    "0xE8 = 0x60, 0xE9 = 0x00, 0xEA = 0xB0, 0xE0 = 0x00, "
    "0x03 = 0x01, 0x03 = 0x00, "
    "0x00 = 0x0C, 0x02 = 0x00, 0x04 = 0x23, 0x05 = 0x04, 0x06 = 0x00, 0x07 = 0x04, "
    "0x08 = 0x00, 0x0E = 0x0E, 0x1E = 0x70, 0x1F = 0x02, 0x2D = 0x00, 0x2E = 0x8A, "
    "0x33 = 0x40, 0x34 = 0x11, 0x35 = 0x6A, 0x36 = 0xAF, 0x75 = 0x16, "
    "0xE8 = 0x61, 0xE9 = 0x00, 0xEA = 0x80, 0xE0 = 0x11, "
    "0xE8 = 0x4D, 0xE9 = 0x00, 0xEA = 0x80, 0xE0 = 0x08";

class VideoDecoderTvp5147Test : public test::DecoderCardTest {
  protected:
    void SetUp() override {
        OpenBoard(0x5100);
        m_decoder = std::make_unique<CVideoDecoderTvp5147>(iic());
    }
    CVideoDecoderTvp5147& decoder() { return *m_decoder; }

    // What one operation moved to and from the chip, from an empty log.
    template <typename F>
    std::vector<sim::IicTransfer> TrafficOf(F operation) {
        ClearLog();
        operation();
        return ChipTraffic(kTvp5147);
    }

    std::unique_ptr<CVideoDecoderTvp5147> m_decoder;
};

TEST_F(VideoDecoderTvp5147Test, InitWritesTheWholeTableInOrder) {
    const auto traffic = TrafficOf([&] { EXPECT_EQ(decoder().InitDevice(), 1u); });
    EXPECT_EQ(WrittenRows(traffic), ParseRows(kTvp5147InitTable));
    for (const auto& t : traffic)
        EXPECT_EQ(t.acknowledged, 1);
    EXPECT_EQ(ChipRegister(kTvp5147, 0x75), 0x16);
    EXPECT_EQ(ChipRegister(kTvp5147, 0x1E), 0x70);
    // The indirect writes landed at their 24-bit addresses; 0xB00060 was
    // written twice and keeps the second byte.
    const std::pair<uint32_t, uint8_t> stored[] = {
        {0x800002, 0x01}, {0xB00060, 0x00}, {0xA00016, 0x16}, {0x800061, 0x11}, {0x80004D, 0x08}};
    for (const auto& [address, value] : stored)
        EXPECT_EQ(sim::Tvp5147IndirectByte(0, address), value) << std::hex << address;
}

// The reset pulse needs 100 ms to settle before the rest of the table. Test
// runs shorten settling pauses to nothing, so the pause is looked for in a
// child process that keeps them.
TEST_F(VideoDecoderTvp5147Test, InitPausesAfterTheResetPulseOnly) {
    if (platform::SleepScale() == 0) {
        const std::string self = std::filesystem::read_symlink("/proc/self/exe");
        // The child leaves this file behind once it has really run the check.
        const auto marker =
            std::filesystem::path(getenv("VELMORA_SIM_STATE_DIR")) / "pause-checked";
        platform::test::Child child([&] {
            setenv("VELMORA_SLEEP_SCALE", "1", 1);
            setenv("VELMORA_TEST_PAUSE_MARKER", marker.c_str(), 1);
            // A card and kernel objects of the child's own.
            const std::string ns = std::string(getenv("VELMORA_IPC_NAMESPACE")) + "-pause";
            setenv("VELMORA_IPC_NAMESPACE", ns.c_str(), 1);
            const auto dir = std::filesystem::path(getenv("VELMORA_SIM_STATE_DIR")) / "pause";
            std::filesystem::create_directories(dir);
            setenv("VELMORA_SIM_STATE_DIR", dir.c_str(), 1);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            const std::string filter =
                "--gtest_filter=VideoDecoderTvp5147Test.InitPausesAfterTheResetPulseOnly";
            char* const argv[] = {const_cast<char*>(self.c_str()),
                                  const_cast<char*>(filter.c_str()), nullptr};
            execve(self.c_str(), argv, environ);
            return 127;
        });
        EXPECT_EQ(child.Wait(30000), 0);
        EXPECT_TRUE(std::filesystem::exists(marker));
        return;
    }
    const auto traffic = TrafficOf([&] { decoder().InitDevice(); });
    ASSERT_EQ(traffic.size(), 43u);
    const auto pauseUs = static_cast<uint64_t>(100000 * platform::SleepScale());
    EXPECT_GE(traffic[18].timeUs - traffic[17].timeUs, pauseUs);
    // Rows 17 and 18 are the pulse's end and the first set-up row.
    EXPECT_EQ(traffic[17].reg, 0x03);
    EXPECT_EQ(traffic[18].reg, 0x00);
    const char* marker = getenv("VELMORA_TEST_PAUSE_MARKER");
    if (marker && !HasFailure()) std::ofstream(marker) << "checked\n";
}

TEST_F(VideoDecoderTvp5147Test, StandardsAndInputSelectionWriteTheirRegisters) {
    EXPECT_EQ(WrittenRows(TrafficOf([&] { decoder().SetNtsc(); })),
              (std::vector<Row>{{0x1E, 0x02}, {0x1F, 0x00}}));
    EXPECT_EQ(WrittenRows(TrafficOf([&] { decoder().SetPal(); })),
              (std::vector<Row>{{0x1E, 0x70}, {0x1F, 0x02}}));

    decoder().InitDevice();
    // Every register of an input selection is read, then written, in place:
    // register 0x00 too, all eight bits of it.
    auto traffic = TrafficOf([&] { decoder().SelectInput1(); });
    ASSERT_EQ(traffic.size(), 6u);
    const uint8_t order[] = {0x00, 0x00, 0x07, 0x07, 0x0D, 0x0D};
    for (size_t i = 0; i < traffic.size(); ++i) {
        EXPECT_EQ(traffic[i].reg, order[i]);
        EXPECT_EQ(traffic[i].read, i % 2 == 0 ? 1 : 0);
    }
    EXPECT_EQ(traffic[1].value, 0x55);
    EXPECT_EQ(traffic[3].value, 0x84);  // 0x04 with bits 6..7 := 2
    EXPECT_EQ(traffic[5].value & 0x08, 0x08);

    decoder().SelectInput2();
    EXPECT_EQ(ChipRegister(kTvp5147, 0x00), 0x96);
    EXPECT_EQ(ChipRegister(kTvp5147, 0x07), 0x84);
    ASSERT_TRUE(iic()->Write(kTvp5147, 0x0D, std::array<uint8_t, 1>{0xFF}.data(), 1));
    decoder().SelectInput0();
    EXPECT_EQ(ChipRegister(kTvp5147, 0x00), 0x0C);
    EXPECT_EQ(ChipRegister(kTvp5147, 0x07), 0x04);
    EXPECT_EQ(ChipRegister(kTvp5147, 0x0D), 0xF7);

    // Input codes this chip has no input for, and the operations it leaves
    // alone, change nothing.
    EXPECT_TRUE(TrafficOf([&] {
                    decoder().SelectInput3();
                    decoder().SelectInput7();
                    decoder().SelectInput8();
                    decoder().SelectInput9();
                    decoder().SelectInput10();
                    decoder().SetChromaSaturation(0x40, 0);
                    decoder().SetFastLockOff();
                    decoder().ResetChromaDto();
                }).empty());
}

TEST_F(VideoDecoderTvp5147Test, FieldsAndPictureControlsReachTheirRegisters) {
    const uint8_t background = 0xF8;
    ASSERT_TRUE(iic()->Write(kTvp5147, 0x31, &background, 1));
    decoder().EnableSyncOutput();
    EXPECT_EQ(ChipRegister(kTvp5147, 0x31), 0xFD);
    decoder().DisableSyncOutput();
    EXPECT_EQ(ChipRegister(kTvp5147, 0x31), 0xF8);

    const uint8_t noFastLock = 0x06;
    ASSERT_TRUE(iic()->Write(kTvp5147, 0x75, &noFastLock, 1));
    decoder().SetFastLockOn();
    EXPECT_EQ(ChipRegister(kTvp5147, 0x75), 0x16);

    EXPECT_EQ(
        WrittenRows(TrafficOf([&] {
            decoder().SetContrast(0x11);
            decoder().SetBrightness(0x22);
            decoder().SetSaturation(0x33);
            decoder().SetHue(0x80);
            decoder().SetHue(0x00);
            decoder().SetHue(0xFF);
        })),
        (std::vector<Row>{
            {0x0A, 0x11}, {0x09, 0x22}, {0x0B, 0x33}, {0x0C, 0x00}, {0x0C, 0x80}, {0x0C, 0x7F}}));
}

TEST_F(VideoDecoderTvp5147Test, SelfTestPassesRestoresAndFailsOnFaults) {
    const uint8_t held = 0x61;
    ASSERT_TRUE(iic()->Write(kTvp5147, 0xE8, &held, 1));
    const auto traffic = TrafficOf([&] { EXPECT_EQ(decoder().TestIicAccess(), 1u); });
    EXPECT_EQ(traffic.size(), 402u);
    EXPECT_EQ(ChipRegister(kTvp5147, 0xE8), 0x61);

    ASSERT_TRUE(sim::SetIicRegisterStuck(0, kTvp5147, 0xE8, uint8_t{0xAA}));
    EXPECT_EQ(decoder().TestIicAccess(), 0u);
    ASSERT_TRUE(sim::SetIicRegisterStuck(0, kTvp5147, 0xE8, std::nullopt));
    ASSERT_TRUE(sim::SetIicDeviceAbsent(0, kTvp5147, true));
    EXPECT_EQ(decoder().TestIicAccess(), 0u);
}

TEST_F(VideoDecoderTvp5147Test, InputStatusFollowsTheSignalOfTheSelectedInput) {
    using sim::SimIicChip;
    decoder().InitDevice();
    EXPECT_EQ(decoder().GetInputStatus(), 1u);
    ASSERT_TRUE(sim::SetVideoSignal(0, SimIicChip::Tvp5147, 0x0C, false));
    EXPECT_EQ(decoder().GetInputStatus(), 0u);
    decoder().SelectInput2();
    EXPECT_EQ(decoder().GetInputStatus(), 1u);
    ASSERT_TRUE(sim::SetVideoSignal(0, SimIicChip::Tvp5147, 0x96, false));
    EXPECT_EQ(decoder().GetInputStatus(), 0u);
    decoder().SelectInput9();  // no such input: component stays selected
    EXPECT_EQ(decoder().GetInputStatus(), 0u);
    decoder().SelectInput1();
    EXPECT_EQ(decoder().GetInputStatus(), 1u);

    // Both lock bits are needed.
    test::RecordingIicMaster master;
    CVideoDecoderTvp5147 offCard(&master);
    const std::pair<uint8_t, uint32_t> cases[] = {{0x02, 0}, {0x04, 0}, {0x06, 1}};
    for (const auto& [status, expected] : cases) {
        master.Registers(kTvp5147)[0x3A] = status;
        EXPECT_EQ(offCard.GetInputStatus(), expected) << int{status};
    }
    master.failReads = true;
    EXPECT_EQ(offCard.GetInputStatus(), 0u);
}

}  // namespace
}  // namespace velmora::av

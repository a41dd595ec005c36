// The ADV7180 driver through this card's IIC master on a simulated 0x5110
// card, seen from the card's IIC transfer log.

#include <gtest/gtest.h>

#include <memory>

#include "VideoDecoderTestSupport.h"
#include "av/VideoDecoderAdv7180.h"

namespace velmora::av {
namespace {

using test::ChipTraffic;
using test::ParseRows;
using test::Row;
using test::WrittenRows;

constexpr const char* kSource0 =
    "0x00 = 0x01, 0x04 = 0xD7, 0x0C = 0x12, 0x0D = 0x88, 0x27 = 0x58, 0x17 = 0x41, "
    "0x31 = 0x02, 0x34 = 0x66, 0x35 = 0x37, 0x36 = 0x35, 0x3D = 0xA2, 0x3E = 0x6A, "
    "0x3F = 0xA0, 0x0E = 0x80, 0x55 = 0x81, 0x0E = 0x00";
constexpr const char* kSource0Alt =
    "0x00 = 0x03, 0x04 = 0xD7, 0x0C = 0x12, 0x0D = 0x88, 0x27 = 0x58, 0x17 = 0x41, "
    "0x31 = 0x02, 0x3D = 0xA2, 0x3E = 0x6A, 0x3F = 0xA0, 0x0E = 0x80, 0x55 = 0x81, "
    "0x0E = 0x00";
constexpr const char* kSource1 =
    "0x00 = 0x08, 0x04 = 0xD7, 0x0C = 0x12, 0x0D = 0x88, 0x27 = 0x58, 0x31 = 0x02, "
    "0x3D = 0xA2, 0x3E = 0x6A, 0x3F = 0xA0, 0x58 = 0x04, 0x0E = 0x80, 0x55 = 0x81, "
    "0x0E = 0x00";
constexpr const char* kSource2 =
    "0x00 = 0x09, 0x04 = 0xD7, 0x0C = 0x12, 0x0D = 0x88, 0x27 = 0xD8, 0x31 = 0x02, "
    "0x3D = 0xA2, 0x3E = 0x6A, 0x3F = 0xA0, 0x0E = 0x80, 0x55 = 0x81, 0x0E = 0x00";

// Source 0's rows with another analog input in the first row.
std::vector<Row> Source0With(uint8_t input) {
    auto rows = ParseRows(kSource0);
    rows[0].value = input;
    return rows;
}

class VideoDecoderAdv7180Test : public test::DecoderCardTest {
  protected:
    void SetUp() override {
        OpenBoard(0x5110);
        // As the board builds them: both on the card's master, then each
        // moved to its address.
        m_first = std::make_unique<CVideoDecoderAdv7180>(iic());
        m_second = std::make_unique<CVideoDecoderAdv7180>(iic());
        m_first->UseIicAddress40();
        m_second->UseIicAddress42();
    }
    // What one operation wrote to `address`, from an empty log.
    template <typename F>
    std::vector<Row> WritesOf(uint8_t address, F operation) {
        ClearLog();
        operation();
        const auto traffic = ChipTraffic(address);
        for (const auto& t : traffic)
            EXPECT_EQ(t.acknowledged, 1);
        return WrittenRows(traffic);
    }

    std::unique_ptr<CVideoDecoderAdv7180> m_first;
    std::unique_ptr<CVideoDecoderAdv7180> m_second;
    CVideoDecoderAdv7180& first() { return *m_first; }
    CVideoDecoderAdv7180& second() { return *m_second; }
};

TEST_F(VideoDecoderAdv7180Test, BringUpAndSourceTablesReachTheChipInOrder) {
    // The board's bring-up: InitDevice on both does nothing, then input 0 on
    // the second chip loads its own source-0 set-up.
    ClearLog();
    EXPECT_EQ(first().InitDevice(), 1u);
    EXPECT_EQ(second().InitDevice(), 1u);
    EXPECT_TRUE(sim::IicTransferLog(0).empty());
    EXPECT_EQ(WritesOf(0x42, [&] { second().SelectInput0(); }), ParseRows(kSource0Alt));
    EXPECT_TRUE(ChipTraffic(0x40).empty());

    EXPECT_EQ(WritesOf(0x40, [&] { first().SelectInput0(); }), ParseRows(kSource0));
    // What the chips keep: 0x0E is back to 0 and 0x55 holds its value.
    const auto held = sim::IicChipRegisters(0, sim::SimIicChip::Adv7180First);
    ASSERT_TRUE(held.has_value());
    EXPECT_EQ((*held)[0x00], 0x01);
    EXPECT_EQ((*held)[0x0E], 0x00);
    EXPECT_EQ((*held)[0x55], 0x81);
    EXPECT_EQ((*held)[0x36], 0x35);
    EXPECT_EQ(sim::IicChipRegisters(0, sim::SimIicChip::Adv7180Second).value()[0x00], 0x03);
    EXPECT_EQ(WritesOf(0x40, [&] { first().SelectInput8(); }), Source0With(0x00));
    EXPECT_EQ(WritesOf(0x40, [&] { first().SelectInput9(); }), Source0With(0x03));
    EXPECT_EQ(WritesOf(0x40, [&] { first().SelectInput10(); }), Source0With(0x04));
    EXPECT_EQ(WritesOf(0x40, [&] { first().SelectInput1(); }), ParseRows(kSource1));
    EXPECT_EQ(WritesOf(0x40, [&] { first().SelectInput2(); }), ParseRows(kSource2));
    // Input 7 is the alternative source 0 whatever the address.
    EXPECT_EQ(WritesOf(0x40, [&] { first().SelectInput7(); }), ParseRows(kSource0Alt));
    EXPECT_EQ(ChipRegister(0x40, 0x00), 0x03);

    // Input 3 leaves the input selected; the fast-lock pair and saturation
    // have nothing to do on this chip.
    ClearLog();
    first().SelectInput3();
    first().SetFastLockOn();
    first().SetFastLockOff();
    first().SetSaturation(0x10);
    first().ResetChromaDto();
    EXPECT_TRUE(sim::IicTransferLog(0).empty());

    // Back at 0x40 the object loads the first chip's table again.
    second().UseIicAddress40();
    EXPECT_EQ(WritesOf(0x40, [&] { second().SelectInput0(); }), ParseRows(kSource0));
}

TEST_F(VideoDecoderAdv7180Test, StandardAndSyncOutputKeepRegister4Consistent) {
    first().SelectInput0();
    EXPECT_TRUE(WritesOf(0x40, [&] { first().SetPal(); }).empty());
    EXPECT_EQ(WritesOf(0x40, [&] { first().SetNtsc(); }), (std::vector<Row>{{0x04, 0xD7}}));

    // The sync output is bit 1 of register 0x04, updated in place.
    ClearLog();
    first().DisableSyncOutput();
    auto traffic = ChipTraffic(0x40);
    ASSERT_EQ(traffic.size(), 2u);
    EXPECT_EQ(traffic[0].read, 1);
    EXPECT_EQ(traffic[0].reg, 0x04);
    EXPECT_EQ(traffic[1].value, 0xD5);
    EXPECT_EQ(ChipRegister(0x40, 0x04), 0xD5);
    first().EnableSyncOutput();
    EXPECT_EQ(ChipRegister(0x40, 0x04), 0xD7);

    // Every table writes 0x04 = 0xD7, turning the output back on.
    first().DisableSyncOutput();
    first().SetNtsc();
    EXPECT_EQ(ChipRegister(0x40, 0x04), 0xD7);
    first().DisableSyncOutput();
    first().SelectInput1();
    EXPECT_EQ(ChipRegister(0x40, 0x04), 0xD7);
}

TEST_F(VideoDecoderAdv7180Test, PictureControlsInvertTheTopBitOfBrightnessAndHue) {
    EXPECT_EQ(WritesOf(0x40, [&] { first().SetContrast(0x9C); }), (std::vector<Row>{{0x08, 0x9C}}));
    const std::pair<uint8_t, uint8_t> offsets[] = {
        {0x80, 0x00}, {0x7F, 0xFF}, {0x00, 0x80}, {0xFF, 0x7F}, {0x81, 0x01}};
    for (const auto& row : offsets) {
        const uint8_t in = row.first;
        const uint8_t out = row.second;
        EXPECT_EQ(WritesOf(0x42, [&] { second().SetBrightness(in); }),
                  (std::vector<Row>{{0x0A, out}}));
        EXPECT_EQ(WritesOf(0x42, [&] { second().SetHue(in); }), (std::vector<Row>{{0x0B, out}}));
    }
    EXPECT_EQ(WritesOf(0x40, [&] { first().SetChromaSaturation(0x80, 0); }),
              (std::vector<Row>{{0xE3, 0x80}}));
    EXPECT_EQ(WritesOf(0x40, [&] { first().SetChromaSaturation(0x81, 1); }),
              (std::vector<Row>{{0xE4, 0x81}}));
    ClearLog();
    first().SetChromaSaturation(0x80, 2);
    EXPECT_TRUE(sim::IicTransferLog(0).empty());
}

TEST_F(VideoDecoderAdv7180Test, SelfTestPassesAndLeavesTheTestRegisterAsItWas) {
    first().WriteRegister(0xE8, 0x3C);
    ClearLog();
    EXPECT_EQ(first().TestIicAccess(), 1u);
    const auto traffic = ChipTraffic(0x40);
    ASSERT_EQ(traffic.size(), 402u);
    EXPECT_EQ(traffic[1].value, 0x55);
    EXPECT_EQ(traffic[2].value, 0x55);
    EXPECT_EQ(traffic[3].value, 0xAA);
    EXPECT_EQ(traffic[4].value, 0xAA);
    for (const auto& t : traffic)
        EXPECT_EQ(t.reg, 0xE8);
    EXPECT_EQ(traffic.back().read, 0);
    EXPECT_EQ(traffic.back().value, 0x3C);
    EXPECT_EQ(ChipRegister(0x40, 0xE8), 0x3C);
    EXPECT_EQ(second().TestIicAccess(), 1u);
}

TEST_F(VideoDecoderAdv7180Test, SelfTestFailsOnAnAbsentChipOrAStuckRegister) {
    ASSERT_TRUE(sim::SetIicDeviceAbsent(0, 0x42, true));
    ClearLog();
    EXPECT_EQ(second().TestIicAccess(), 0u);
    // The saving read, the first pattern and its read-back, then only the
    // write-back of what the saving read gave.
    const auto traffic = ChipTraffic(0x42);
    ASSERT_EQ(traffic.size(), 4u);
    EXPECT_EQ(traffic[1].value, 0x55);
    EXPECT_EQ(traffic[2].read, 1);
    EXPECT_EQ(traffic[3].read, 0);
    EXPECT_EQ(traffic[3].value, traffic[0].value);
    for (const auto& t : traffic)
        EXPECT_EQ(t.acknowledged, 0);
    EXPECT_EQ(first().TestIicAccess(), 1u);
}

TEST_F(VideoDecoderAdv7180Test, AFailedStatusReadReportsNoSignal) {
    first().SelectInput0();
    ASSERT_EQ(first().GetInputStatus(), 1u);
    // A hung byte engine fails the read and leaves 0xFF in the buffer, whose
    // bit 0 would read as "locked".
    ASSERT_TRUE(sim::SetIicBusyStuck(0, true));
    EXPECT_EQ(first().GetInputStatus(), 0u);
    ASSERT_TRUE(sim::SetIicBusyStuck(0, false));
    EXPECT_EQ(first().GetInputStatus(), 1u);

    // A master that fails without touching the buffer.
    test::RecordingIicMaster failing;
    failing.Registers(0x40)[0x10] = 0x01;
    CVideoDecoderAdv7180 decoder(&failing);
    EXPECT_EQ(decoder.GetInputStatus(), 1u);
    failing.failReads = true;
    EXPECT_EQ(decoder.GetInputStatus(), 0u);
    EXPECT_EQ(failing.ops.back().address, 0x41);
}

TEST_F(VideoDecoderAdv7180Test, InputStatusFollowsTheSignalOfEachChipsInput) {
    using sim::SimIicChip;
    first().SelectInput0();   // analog input 0x01
    second().SelectInput0();  // analog input 0x03
    EXPECT_EQ(first().GetInputStatus(), 1u);
    EXPECT_EQ(second().GetInputStatus(), 1u);
    ASSERT_TRUE(sim::SetVideoSignal(0, SimIicChip::Adv7180First, 0x01, false));
    EXPECT_EQ(first().GetInputStatus(), 0u);
    EXPECT_EQ(second().GetInputStatus(), 1u);
    // The status read goes to the read address.
    ClearLog();
    second().GetInputStatus();
    const auto traffic = ChipTraffic(0x42);
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].reg, 0x10);
    EXPECT_EQ(traffic[0].read, 1);

    first().SelectInput1();  // S-video, 0x08
    EXPECT_EQ(first().GetInputStatus(), 1u);
    ASSERT_TRUE(sim::SetVideoSignal(0, SimIicChip::Adv7180First, 0x08, false));
    EXPECT_EQ(first().GetInputStatus(), 0u);
    // Input 3 keeps the S-video input selected.
    first().SelectInput3();
    EXPECT_EQ(first().GetInputStatus(), 0u);
    first().SelectInput0();
    ASSERT_TRUE(sim::SetVideoSignal(0, SimIicChip::Adv7180First, 0x01, true));
    EXPECT_EQ(first().GetInputStatus(), 1u);
    ASSERT_TRUE(sim::SetAllVideoSignals(0, false));
    EXPECT_EQ(second().GetInputStatus(), 0u);
}

}  // namespace
}  // namespace velmora::av

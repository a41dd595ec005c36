// The SAA7113 driver. No board of this card carries the chip, so the
// simulated card's SAA7113 model is placed at the driver's address on a
// 0x5110 card; what the simulated bus cannot do (a read that fails without
// filling the buffer) runs on the test IIC master.

#include <gtest/gtest.h>

#include <memory>

#include "VideoDecoderTestSupport.h"
#include "av/VideoDecoderSaa7113.h"

namespace velmora::av {
namespace {

using test::ChipTraffic;
using test::ParseRows;
using test::RecordingIicMaster;
using test::Row;
using test::WrittenRows;

constexpr uint8_t kChip = 0x48;

constexpr const char* kInitTable =
    "0x01 = 0x08, 0x02 = 0xC0, 0x03 = 0x33, 0x04 = 0x00, 0x05 = 0x00, 0x06 = 0xEB, "
    "0x07 = 0xE0, 0x08 = 0xB8, 0x09 = 0x01, 0x0A = 0x80, 0x0B = 0x43, 0x0C = 0x42, "
    "0x0D = 0x01, 0x0E = 0x01, 0x0F = 0x0F, 0x10 = 0x08, 0x11 = 0x0C, 0x12 = 0xF4, "
    "0x13 = 0x00, 0x14 = 0x00, 0x15 = 0x37, 0x16 = 0x00, 0x17 = 0x01, 0x18 to 0x1E = 0x00, "
    "0x20 to 0x3F = 0x00, 0x40 = 0x02, 0x41 to 0x57 = 0xFF, 0x58 = 0x00, 0x59 = 0x54, "
    "0x5A = 0x07, 0x5B = 0x83, 0x5C to 0x5F = 0x00, 0x63 to 0xFF = 0x00";

class VideoDecoderSaa7113Test : public test::DecoderCardTest {
  protected:
    void SetUp() override {
        OpenBoard(0x5110);
        ASSERT_TRUE(sim::PlaceIicChip(0, sim::SimIicChip::Saa7113, kChip));
        m_decoder = std::make_unique<CVideoDecoderSaa7113>(iic());
    }
    CVideoDecoderSaa7113& decoder() { return *m_decoder; }
    template <typename F>
    std::vector<sim::IicTransfer> TrafficOf(F operation) {
        ClearLog();
        operation();
        return ChipTraffic(kChip);
    }
    uint8_t Held(uint8_t reg) {
        const auto registers = sim::IicChipRegisters(0, sim::SimIicChip::Saa7113);
        EXPECT_TRUE(registers.has_value());
        return registers ? (*registers)[reg] : 0;
    }
    void Put(uint8_t reg, uint8_t value) { ASSERT_TRUE(iic()->Write(kChip, reg, &value, 1)); }

    std::unique_ptr<CVideoDecoderSaa7113> m_decoder;
};

TEST_F(VideoDecoderSaa7113Test, InitAndStandardsWriteTheirTables) {
    const auto rows = WrittenRows(TrafficOf([&] { decoder().InitDevice(); }));
    EXPECT_EQ(rows.size(), 251u);
    EXPECT_EQ(rows, ParseRows(kInitTable));
    EXPECT_EQ(Held(0x4A), 0xFF);

    // Each standard's three rows, then register 0x88 read once (with the read
    // address) and written back with bit 5 low, then high.
    Put(0x88, 0xE5);
    auto traffic = TrafficOf([&] { decoder().SetPal(); });
    ASSERT_EQ(traffic.size(), 6u);
    EXPECT_EQ(WrittenRows({traffic.begin(), traffic.begin() + 3}),
              (std::vector<Row>{{0x08, 0x19}, {0x0E, 0x81}, {0x10, 0x08}}));
    EXPECT_EQ(traffic[3].read, 1);
    EXPECT_EQ(traffic[3].reg, 0x88);
    EXPECT_EQ(WrittenRows({traffic.begin() + 4, traffic.end()}),
              (std::vector<Row>{{0x88, 0xC5}, {0x88, 0xE5}}));

    Put(0x88, 0x00);
    traffic = TrafficOf([&] { decoder().SetNtsc(); });
    ASSERT_EQ(traffic.size(), 6u);
    EXPECT_EQ(WrittenRows({traffic.begin(), traffic.begin() + 3}),
              (std::vector<Row>{{0x08, 0x59}, {0x0E, 0x81}, {0x10, 0x00}}));
    EXPECT_EQ(WrittenRows({traffic.begin() + 4, traffic.end()}),
              (std::vector<Row>{{0x88, 0x00}, {0x88, 0x20}}));

    RecordingIicMaster master;
    CVideoDecoderSaa7113 offCard(&master, 0x4A, 0x4B);
    offCard.SetPal();
    EXPECT_EQ(master.Only('R').front().address, 0x4B);
    for (const auto& op : master.Only('W'))
        EXPECT_EQ(op.address, 0x4A);
    // A failed read of 0x88 writes nothing into it: the byte was never read.
    master.ops.clear();
    master.failReads = true;
    offCard.SetNtsc();
    EXPECT_EQ(master.WrittenRows(), (std::vector<Row>{{0x08, 0x59}, {0x0E, 0x81}, {0x10, 0x00}}));
}

TEST_F(VideoDecoderSaa7113Test, InputSelectionFollowsTheInputMode) {
    decoder().InitDevice();
    decoder().SelectInput1();
    EXPECT_EQ(Held(0x02), 0xC9);
    EXPECT_EQ(Held(0x09), 0x81);
    decoder().SelectInput0();
    EXPECT_EQ(Held(0x02), 0xC0);
    EXPECT_EQ(Held(0x09), 0x01);
    decoder().SetInputMode(3);
    decoder().SelectInput0();
    EXPECT_EQ(Held(0x02), 0xC3);
    // Any other mode leaves input 0 alone, as do the inputs the chip lacks.
    decoder().SetInputMode(1);
    EXPECT_TRUE(TrafficOf([&] {
                    decoder().SelectInput0();
                    decoder().SelectInput2();
                    decoder().SelectInput3();
                    decoder().SelectInput7();
                    decoder().SelectInput8();
                    decoder().SelectInput9();
                    decoder().SelectInput10();
                    decoder().SetChromaSaturation(0x40, 1);
                }).empty());
    EXPECT_EQ(Held(0x02), 0xC3);
}

TEST_F(VideoDecoderSaa7113Test, FieldsAndPictureControlsReachTheirRegisters) {
    decoder().InitDevice();
    decoder().SetFastLockOn();
    EXPECT_EQ(Held(0x08), 0xB8);  // bits 3..4 already 3
    decoder().SetFastLockOff();
    EXPECT_EQ(Held(0x08), 0xA8);
    decoder().EnableSyncOutput();
    EXPECT_EQ(Held(0x11), 0x0C);
    decoder().DisableSyncOutput();
    EXPECT_EQ(Held(0x11), 0x08);
    Put(0x83, 0xF2);
    decoder().SetControl83On();
    EXPECT_EQ(Held(0x83), 0xF1);
    decoder().SetControl83Off();
    EXPECT_EQ(Held(0x83), 0xF0);

    // The chroma DTO reset: bit 7 of 0x0E low, then high.
    Put(0x0E, 0x81);
    const auto traffic = TrafficOf([&] { decoder().ResetChromaDto(); });
    ASSERT_EQ(traffic.size(), 4u);
    EXPECT_EQ(traffic[1].value, 0x01);
    EXPECT_EQ(traffic[3].value, 0x81);

    const std::pair<uint8_t, uint8_t> contrast[] = {{0x00, 0x00}, {0x40, 0x23}, {0x7F, 0x46},
                                                    {0x80, 0x47}, {0xC0, 0x63}, {0xFF, 0x80}};
    for (const auto& row : contrast) {
        const uint8_t in = row.first;
        const uint8_t out = row.second;
        EXPECT_EQ(WrittenRows(TrafficOf([&] { decoder().SetContrast(in); })),
                  (std::vector<Row>{{0x0B, out}}))
            << int{in};
    }
    EXPECT_EQ(
        WrittenRows(TrafficOf([&] {
            decoder().SetSaturation(0xFF);
            decoder().SetSaturation(0x01);
            decoder().SetBrightness(0x9A);
            decoder().SetHue(0x80);
            decoder().SetHue(0x00);
        })),
        (std::vector<Row>{{0x0C, 0x7F}, {0x0C, 0x00}, {0x0A, 0x9A}, {0x0D, 0x00}, {0x0D, 0x80}}));
}

TEST_F(VideoDecoderSaa7113Test, InputStatusFollowsTheSignalOfTheSelectedInput) {
    decoder().InitDevice();
    decoder().SelectInput0();
    EXPECT_EQ(decoder().GetInputStatus(), 1u);
    ASSERT_TRUE(sim::SetVideoSignal(0, sim::SimIicChip::Saa7113, 0x00, false));
    EXPECT_EQ(decoder().GetInputStatus(), 0u);
    decoder().SelectInput1();
    EXPECT_EQ(decoder().GetInputStatus(), 1u);
    ASSERT_TRUE(sim::SetVideoSignal(0, sim::SimIicChip::Saa7113, 0x09, false));
    EXPECT_EQ(decoder().GetInputStatus(), 0u);
    ASSERT_TRUE(sim::SetAllVideoSignals(0, true));
    EXPECT_EQ(decoder().GetInputStatus(), 1u);

    // A master that fails without filling the buffer: the preset byte says
    // "no signal".
    RecordingIicMaster master;
    CVideoDecoderSaa7113 offCard(&master);
    master.Registers(kChip)[0x1F] = 0x40;
    EXPECT_EQ(offCard.GetInputStatus(), 0u);
    master.Registers(kChip)[0x1F] = 0x00;
    EXPECT_EQ(offCard.GetInputStatus(), 1u);
    master.failReads = true;
    EXPECT_EQ(offCard.GetInputStatus(), 0u);
}

TEST_F(VideoDecoderSaa7113Test, SelfTestPassesRestoresAndFailsOnFaults) {
    Put(0x05, 0x12);
    EXPECT_EQ(decoder().TestIicAccess(), 1u);
    EXPECT_EQ(Held(0x05), 0x12);

    ASSERT_TRUE(sim::SetIicRegisterStuck(0, kChip, 0x05, uint8_t{0x55}));
    ClearLog();
    EXPECT_EQ(decoder().TestIicAccess(), 0u);
    // Saving read, a passing half round, a failing one, the write-back.
    EXPECT_EQ(ChipTraffic(kChip).size(), 6u);
    ASSERT_TRUE(sim::SetIicRegisterStuck(0, kChip, 0x05, std::nullopt));
    EXPECT_EQ(decoder().TestIicAccess(), 1u);

    ASSERT_TRUE(sim::SetIicDeviceAbsent(0, kChip, true));
    EXPECT_EQ(decoder().TestIicAccess(), 0u);
}

}  // namespace
}  // namespace velmora::av

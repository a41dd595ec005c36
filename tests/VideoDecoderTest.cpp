// The decoder base and the register-table writer, on a test IIC master whose
// register files and call log the tests can look into.

#include <gtest/gtest.h>

#include "VideoDecoderTestSupport.h"
#include "av/ChipRegisterTable.h"
#include "av/VideoDecoder.h"

namespace velmora::av {
namespace {

using test::RecordingIicMaster;
using test::Row;

// A decoder whose address pair a test chooses, and whose protected helpers
// the tests reach.
class TestDecoder : public CVideoDecoder {
  public:
    TestDecoder(hw::CIicMaster* master, uint8_t write, uint8_t read) : CVideoDecoder(master) {
        m_byWriteAddress = write;
        m_byReadAddress = read;
    }
    using CVideoDecoder::RunIicSelfTest;
    using CVideoDecoder::UpdateField;
    using CVideoDecoder::WriteTable;
    using CVideoDecoder::WriteTableRows;
};

TEST(VideoDecoderTableTest, WritesRowsInOrderUpToTheCountByte) {
    RecordingIicMaster master;
    // Repeated registers are actions of their own and keep their order.
    constexpr auto table =
        MakeChipRegisterTable({{0x0E, 0x80}, {0x55, 0x81}, {0x0E, 0x00}, {0x0E, 0x7F}});
    static_assert(table.byCount == 4);
    WriteChipRegisterTable(&master, 0x40, table);
    EXPECT_EQ(master.WrittenRows(),
              (std::vector<Row>{{0x0E, 0x80}, {0x55, 0x81}, {0x0E, 0x00}, {0x0E, 0x7F}}));
    for (const auto& op : master.ops)
        EXPECT_EQ(op.address, 0x40);
    EXPECT_EQ(master.Registers(0x40)[0x0E], 0x7F);

    // The count byte decides, not the room the table has.
    master.ops.clear();
    CHIP_REGISTER_TABLE<2> shortened = MakeChipRegisterTable({{0x01, 0x11}, {0x02, 0x22}});
    shortened.byCount = 1;
    WriteChipRegisterTable(&master, 0x40, shortened);
    EXPECT_EQ(master.WrittenRows(), (std::vector<Row>{{0x01, 0x11}}));
    shortened.byCount = 0;
    master.ops.clear();
    WriteChipRegisterTable(&master, 0x40, shortened);
    EXPECT_TRUE(master.ops.empty());
    // A count byte larger than the rows held never reads past them.
    shortened.byCount = 200;
    WriteChipRegisterTable(&master, 0x40, shortened);
    EXPECT_EQ(master.ops.size(), 2u);

    // A part of a table, and nothing at all without a master.
    master.ops.clear();
    WriteChipRegisterRows(&master, 0x42, table, 1, 3);
    EXPECT_EQ(master.WrittenRows(), (std::vector<Row>{{0x55, 0x81}, {0x0E, 0x00}}));
    WriteChipRegisterTable(nullptr, 0x40, table);
}

TEST(VideoDecoderBaseTest, RegistersAreBytesAtTheirAddresses) {
    RecordingIicMaster master;
    TestDecoder decoder(&master, 0x48, 0x49);
    // Without a chip to ask, the base reports a signal and a passing test.
    EXPECT_EQ(decoder.GetInputStatus(), 1u);
    EXPECT_EQ(decoder.TestIicAccess(), 1u);
    EXPECT_EQ(decoder.SetChromaSaturation(1, 0), 1u);
    EXPECT_EQ(decoder.SelectInput3(), 1u);
    EXPECT_TRUE(master.ops.empty());

    // Writes go to the write address, reads to the read address, and the
    // byte arrives zero-extended.
    EXPECT_EQ(decoder.WriteRegister(0x21, 0xFF), 1u);
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(decoder.ReadRegister(0x21, &value), 1u);
    EXPECT_EQ(value, 0xFFu);
    ASSERT_EQ(master.ops.size(), 2u);
    EXPECT_EQ(master.ops[0], (RecordingIicMaster::Op{'W', 0x48, 0x21, 0xFF}));
    EXPECT_EQ(master.ops[1], (RecordingIicMaster::Op{'R', 0x49, 0x21, 0xFF}));

    // A read the master did not carry out gives 0, not what the stack held.
    master.failReads = true;
    value = 0xDEADBEEF;
    EXPECT_EQ(decoder.ReadRegister(0x21, &value), 1u);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(decoder.ReadRegister(0x21, nullptr), 0u);

    // A field update reads with the read address and writes with the write
    // address.
    master.failReads = false;
    master.ops.clear();
    master.Registers(0x48)[0x30] = 0xF0;
    decoder.UpdateField(0x30, 0x5, 1, 3);
    EXPECT_EQ(master.Registers(0x48)[0x30], 0xFA);
    ASSERT_EQ(master.ops.size(), 3u);
    EXPECT_EQ(master.ops[1].address, 0x49);
    EXPECT_EQ(master.ops[2].address, 0x48);
}

TEST(VideoDecoderBaseTest, SelfTestRestoresTheTestRegisterAndStopsAtTheFirstMismatch) {
    RecordingIicMaster master;
    TestDecoder decoder(&master, 0x54, 0x55);
    master.Registers(0x54)[0x84] = 0x3C;
    EXPECT_EQ(decoder.RunIicSelfTest(0x84), 1u);
    // What the register held before is back; the rounds in between wrote the
    // two patterns, reading each back with the write address.
    EXPECT_EQ(master.Registers(0x54)[0x84], 0x3C);
    ASSERT_EQ(master.ops.size(), 402u);
    EXPECT_EQ(master.ops.front(), (RecordingIicMaster::Op{'R', 0x54, 0x84, 0x3C}));
    for (size_t round = 0; round < 100; ++round) {
        const auto* op = &master.ops[1 + round * 4];
        EXPECT_EQ(op[0], (RecordingIicMaster::Op{'W', 0x54, 0x84, 0x55}));
        EXPECT_EQ(op[1], (RecordingIicMaster::Op{'R', 0x54, 0x84, 0x55}));
        EXPECT_EQ(op[2], (RecordingIicMaster::Op{'W', 0x54, 0x84, 0xAA}));
        EXPECT_EQ(op[3], (RecordingIicMaster::Op{'R', 0x54, 0x84, 0xAA}));
    }
    EXPECT_EQ(master.ops.back(), (RecordingIicMaster::Op{'W', 0x54, 0x84, 0x3C}));

    // A register that keeps 0x55: the first round passes its first half and
    // fails its second; the saved value is written back and nothing else.
    master.ops.clear();
    master.Registers(0x54)[0x84] = 0x55;
    master.stuckDevice = 0x54;
    master.stuckRegister = 0x84;
    EXPECT_EQ(decoder.RunIicSelfTest(0x84), 0u);
    EXPECT_EQ(master.ops.size(), 1u + 4u + 1u);
    EXPECT_EQ(master.ops.back(), (RecordingIicMaster::Op{'W', 0x54, 0x84, 0x55}));

    // A master whose reads fail: the preset buffers never match, and with no
    // saved value nothing is written back.
    master.ops.clear();
    master.stuckDevice = -1;
    master.failReads = true;
    EXPECT_EQ(decoder.RunIicSelfTest(0x84), 0u);
    EXPECT_EQ(master.Only('W').size(), 1u);
    EXPECT_EQ(master.Only('R').size(), 2u);

    TestDecoder orphan(nullptr, 0x54, 0x55);
    EXPECT_EQ(orphan.RunIicSelfTest(0x84), 0u);
    EXPECT_EQ(orphan.GetInputStatus(), 1u);
}

}  // namespace
}  // namespace velmora::av

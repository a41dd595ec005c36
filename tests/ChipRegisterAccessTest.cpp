// The register access the decoder and encoder interfaces share, and the
// writer of standard switches made of field updates, on a test IIC master
// whose register files and call log the tests can look into.

#include <gtest/gtest.h>

#include "VideoDecoderTestSupport.h"
#include "av/ChipRegisterTable.h"
#include "av/VideoDecoderSaa7113.h"
#include "av/VideoEncoderSaa7128.h"

namespace velmora::av {
namespace {

using test::RecordingIicMaster;
using Op = RecordingIicMaster::Op;

TEST(ChipRegisterAccessTest, StandardFieldsPickTheStandardsValueAndKeepTheirOrder) {
    RecordingIicMaster master;
    constexpr CHIP_STANDARD_FIELD steps[] = {{0x28, 0, 6, 0x21, 0x19}, {0x61, 4, 1, 0x00, 0x01}};
    master.Registers(0x8A)[0x28] = 0xC0;
    master.Registers(0x8A)[0x61] = 0xFF;

    WriteChipStandardFields(&master, 0x8A, 0x8B, steps, false);
    EXPECT_EQ(master.ops, (std::vector<Op>{{'F', 0x8A, 0x28, 0x19, 0, 6},
                                           {'R', 0x8B, 0x28, 0xC0},
                                           {'W', 0x8A, 0x28, 0xD9},
                                           {'F', 0x8A, 0x61, 0x01, 4, 1},
                                           {'R', 0x8B, 0x61, 0xFF},
                                           {'W', 0x8A, 0x61, 0xFF}}));

    master.ops.clear();
    WriteChipStandardFields(&master, 0x8A, 0x8A, steps, true);
    EXPECT_EQ(master.Only('W'),
              (std::vector<Op>{{'W', 0x8A, 0x28, 0xE1}, {'W', 0x8A, 0x61, 0xEF}}));
    EXPECT_EQ(master.Only('R').size(), 2u);
    for (const Op& read : master.Only('R'))
        EXPECT_EQ(read.address, 0x8A);

    master.ops.clear();
    WriteChipStandardFields(nullptr, 0x8A, 0x8A, steps, true);
    EXPECT_TRUE(master.ops.empty());
}

// An SAA7128 given two addresses: its standard switch passes the write
// address in both positions, its other field updates read with the read
// address.
TEST(ChipRegisterAccessTest, EncoderFieldUpdatesReadThroughTheAddressTheirOperationNames) {
    RecordingIicMaster master;
    CVideoEncoderSaa7128 encoder(&master, 0x8A, 0x8B);
    EXPECT_EQ(encoder.SetNtsc(), 1u);
    ASSERT_EQ(master.Only('F').size(), 8u);
    ASSERT_EQ(master.Only('R').size(), 8u);
    for (const Op& op : master.ops)
        EXPECT_EQ(op.address, 0x8A);

    master.ops.clear();
    EXPECT_EQ(encoder.EnableExternalSync(), 1u);
    EXPECT_EQ(master.Only('R'), (std::vector<Op>{{'R', 0x8B, 0x5E, 0x2E}}));
    EXPECT_EQ(master.Only('W'), (std::vector<Op>{{'W', 0x8A, 0x5E, 0x6E}}));
}

TEST(ChipRegisterAccessTest, DecodersAndEncodersAnswerAlike) {
    RecordingIicMaster master;
    CVideoDecoderSaa7113 decoder(&master, 0x4A, 0x4B);
    CVideoEncoderSaa7128 encoder(&master, 0x8A, 0x8B);
    EXPECT_EQ(decoder.GetWriteAddress(), 0x4A);
    EXPECT_EQ(decoder.GetReadAddress(), 0x4B);
    EXPECT_EQ(encoder.GetWriteAddress(), 0x8A);
    EXPECT_EQ(encoder.GetReadAddress(), 0x8B);

    master.Registers(0x8A)[0x26] = 0xFF;
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(encoder.ReadRegister(0x26, &value), 1u);
    EXPECT_EQ(value, 0xFFu);
    // A read the master did not carry out gives 0 on either interface.
    master.failReads = true;
    value = 0xDEADBEEF;
    EXPECT_EQ(decoder.ReadRegister(0x26, &value), 1u);
    EXPECT_EQ(value, 0u);
    value = 0xDEADBEEF;
    EXPECT_EQ(encoder.ReadRegister(0x26, &value), 1u);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(encoder.ReadRegister(0x26, nullptr), 0u);
}

}  // namespace
}  // namespace velmora::av

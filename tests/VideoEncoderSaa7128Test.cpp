// The SAA7128 driver on a simulated 0x5100 card: the board's bring-up, the
// standard switches with their field updates, sync, outputs and self-test,
// seen on the IIC bus.

#include <gtest/gtest.h>

#include "VideoEncoderTestSupport.h"
#include "av/VideoEncoderSaa7128.h"

namespace velmora::avtest {
namespace {

constexpr uint8_t kAt8C = 0x8C;

const std::vector<Access> kInitTable = Expand({
    {0x01, 0x27, 0x00}, {0x28, 0x28, 0x21}, {0x29, 0x29, 0x1D}, {0x2A, 0x2C, 0x00},
    {0x2D, 0x2D, 0x38}, {0x2E, 0x37, 0x00}, {0x38, 0x38, 0x1A}, {0x39, 0x39, 0x1A},
    {0x3A, 0x3A, 0x1B}, {0x4E, 0x4E, 0x00}, {0x50, 0x50, 0x00}, {0x54, 0x54, 0x0C},
    {0x55, 0x59, 0x00}, {0x5A, 0x5A, 0x0F}, {0x5B, 0x5B, 0x7D}, {0x5C, 0x5C, 0xAF},
    {0x5D, 0x5D, 0x33}, {0x5E, 0x5E, 0x35}, {0x5F, 0x5F, 0x35}, {0x60, 0x60, 0x00},
    {0x61, 0x61, 0x86}, {0x62, 0x62, 0x33}, {0x63, 0x63, 0xCB}, {0x64, 0x64, 0x8A},
    {0x65, 0x65, 0x09}, {0x66, 0x66, 0x2A}, {0x67, 0x6B, 0x00}, {0x6C, 0x6C, 0x02},
    {0x6D, 0x6D, 0x20}, {0x6E, 0x6E, 0xA0}, {0x6F, 0x6F, 0x14}, {0x70, 0x70, 0x49},
    {0x71, 0x71, 0x49}, {0x72, 0x72, 0x00}, {0x73, 0x73, 0x42}, {0x74, 0x74, 0x08},
    {0x75, 0x75, 0x03}, {0x76, 0x76, 0x05}, {0x77, 0x77, 0x16}, {0x78, 0x78, 0x04},
    {0x79, 0x79, 0x16}, {0x7A, 0x7F, 0x00},
});

const std::vector<Access> kSaa7128PalTable = {
    W(0x5A, 0x0F), W(0x5B, 0x7D), W(0x5C, 0xAF), W(0x63, 0xCB), W(0x64, 0x8A), W(0x65, 0x09),
    W(0x66, 0x2A), W(0x73, 0x42), W(0x76, 0x05), W(0x77, 0x16), W(0x78, 0x04), W(0x79, 0x16),
};
const std::vector<Access> kSaa7128NtscTable = {
    W(0x5A, 0x35), W(0x5B, 0x76), W(0x5C, 0xA5), W(0x63, 0x1F), W(0x64, 0x7C), W(0x65, 0xF0),
    W(0x66, 0x21), W(0x73, 0x54), W(0x76, 0x06), W(0x77, 0x10), W(0x78, 0x05), W(0x79, 0x10),
};

class VideoEncoderSaa7128Test : public ChipSimCardTest {
  protected:
    VideoEncoderSaa7128Test() : ChipSimCardTest(0x5100) {}

    // The board's device initialisation of this encoder.
    void BringUp(av::CVideoEncoderSaa7128& encoder) {
        EXPECT_EQ(encoder.UseIicAddress8C(), 1u);
        EXPECT_EQ(encoder.InitDevice(), 1u);
        EXPECT_EQ(encoder.SetInputControlBit(), 1u);
        EXPECT_EQ(encoder.EnableOutputs(), 1u);
    }
};

TEST_F(VideoEncoderSaa7128Test, BoardBringUpWritesTheTableThenEnablesTheOutputs) {
    av::CVideoEncoderSaa7128 encoder(card.iic.get());
    EXPECT_EQ(encoder.GetWriteAddress(), 0x88);
    BringUp(encoder);

    // Every transfer went to 0x8C, none to the constructor's 0x88.
    const auto log = sim::IicTransferLog(0);
    for (const auto& t : log)
        EXPECT_EQ(t.address, kAt8C);
    const auto expected = Concat({
        kInitTable,
        {R(0x3A, 0x1B), W(0x3A, 0x1B)},  // input control bit 3, already set by the table
        {R(0x61, 0x86), W(0x61, 0x06)},  // output disable bit 7 cleared
        {R(0x2D, 0x38), W(0x2D, 0x3F)},  // DACs 0..2 on
    });
    EXPECT_EQ(kInitTable.size(), 104u);
    EXPECT_EQ(AccessesTo(kAt8C), expected);
}

TEST_F(VideoEncoderSaa7128Test, StandardSwitchWritesTableThenFieldsAndKeepsTheControlBits) {
    av::CVideoEncoderSaa7128 encoder(card.iic.get());
    BringUp(encoder);
    EXPECT_EQ(encoder.EnableExternalSync(), 1u);
    EXPECT_EQ(encoder.EnableGenlock(), 1u);
    EXPECT_EQ(Peek(kAt8C, 0x5E), 0x75);
    ASSERT_TRUE(sim::ClearIicTransferLog(0));

    EXPECT_EQ(encoder.SetNtsc(), 1u);
    EXPECT_EQ(AccessesTo(kAt8C), Concat({kSaa7128NtscTable,
                                         {
                                             R(0x28, 0x21),
                                             W(0x28, 0x19),  //
                                             R(0x5D, 0x33),
                                             W(0x5D, 0x3A),  //
                                             R(0x5E, 0x75),
                                             W(0x5E, 0x6E),  //
                                             R(0x5F, 0x35),
                                             W(0x5F, 0x2E),  //
                                             R(0x61, 0x06),
                                             W(0x61, 0x16),  //
                                             R(0x61, 0x16),
                                             W(0x61, 0x14),  //
                                             R(0x61, 0x14),
                                             W(0x61, 0x15),  //
                                             R(0x62, 0xB3),
                                             W(0x62, 0xC2),
                                         }}));
    // External sync 0x5E bit 6 and genlock 0x62 bit 7 survived.
    EXPECT_EQ(Peek(kAt8C, 0x5E), 0x40 | 0x2E);
    EXPECT_EQ(Peek(kAt8C, 0x62), 0x80 | 0x42);

    // PAL puts every field back; output-disable (0x61 bit 7) survives too.
    EXPECT_EQ(encoder.DisableOutputs(), 1u);
    ASSERT_TRUE(sim::ClearIicTransferLog(0));
    EXPECT_EQ(encoder.SetPal(), 1u);
    const auto pal = WritesTo(kAt8C);
    ASSERT_EQ(pal.size(), 20u);
    EXPECT_EQ(std::vector<Access>(pal.begin(), pal.begin() + 12), kSaa7128PalTable);
    EXPECT_EQ(Peek(kAt8C, 0x28), 0x21);
    EXPECT_EQ(Peek(kAt8C, 0x5D), 0x33);
    EXPECT_EQ(Peek(kAt8C, 0x5E), 0x75);
    EXPECT_EQ(Peek(kAt8C, 0x5F), 0x35);
    EXPECT_EQ(Peek(kAt8C, 0x61), 0x86);
    EXPECT_EQ(Peek(kAt8C, 0x62), 0xB3);
}

TEST_F(VideoEncoderSaa7128Test, SyncOutputsChromaPhaseAndClose) {
    av::CVideoEncoderSaa7128 encoder(card.iic.get());
    BringUp(encoder);
    EXPECT_EQ(encoder.SetGenlockAndExternalSync(), 1u);
    ASSERT_TRUE(sim::ClearIicTransferLog(0));

    // The board's genlock request changes nothing on this chip.
    EXPECT_EQ(encoder.SetGenlockSync(0), 1u);
    EXPECT_EQ(encoder.SetGenlockMode(1), 1u);
    EXPECT_EQ(encoder.SelectOutputFormat0(), 1u);
    EXPECT_EQ(encoder.SelectOutputFormat2(), 1u);
    EXPECT_TRUE(sim::IicTransferLog(0).empty());

    EXPECT_EQ(encoder.SetFreeRunSync(), 1u);
    EXPECT_EQ(AccessesTo(kAt8C),
              (std::vector<Access>{R(0x62, 0xB3), W(0x62, 0x33), R(0x5E, 0x75), W(0x5E, 0x35)}));

    ASSERT_TRUE(sim::ClearIicTransferLog(0));
    EXPECT_EQ(encoder.SetChromaPhase(0x9C), 1u);
    EXPECT_EQ(AccessesTo(kAt8C), (std::vector<Access>{W(0x5A, 0x9C)}));

    EXPECT_EQ(encoder.EnableColorBars(), 1u);
    EXPECT_EQ(Peek(kAt8C, 0x3A), 0x9B);
    EXPECT_EQ(encoder.DisableColorBars(), 1u);
    EXPECT_EQ(encoder.ClearInputControlBit(), 1u);
    EXPECT_EQ(Peek(kAt8C, 0x3A), 0x13);

    EXPECT_EQ(encoder.CloseDevice(), 1u);
    EXPECT_EQ(Peek(kAt8C, 0x6E), 0xE0);
    EXPECT_EQ(Peek(kAt8C, 0x61) & 0x80, 0x80);
    EXPECT_EQ(Peek(kAt8C, 0x2D), 0x38);
}

TEST_F(VideoEncoderSaa7128Test, SelfTestPassesOnTheChipAndFailsWhenItIsAbsent) {
    av::CVideoEncoderSaa7128 encoder(card.iic.get());
    BringUp(encoder);
    ASSERT_TRUE(sim::ClearIicTransferLog(0));
    EXPECT_EQ(encoder.TestIicAccess(), 1u);
    const auto accesses = AccessesTo(kAt8C);
    ASSERT_EQ(accesses.size(), 402u);
    EXPECT_EQ(accesses.front(), R(0x26, 0x00));
    EXPECT_EQ(accesses.back(), W(0x26, 0x00));
    EXPECT_EQ(Peek(kAt8C, 0x26), 0x00);

    ASSERT_TRUE(sim::SetIicRegisterStuck(0, kAt8C, 0x26, 0xAA));
    EXPECT_EQ(encoder.TestIicAccess(), 0u);
    ASSERT_TRUE(sim::SetIicRegisterStuck(0, kAt8C, 0x26, std::nullopt));

    // At the constructor's address nobody answers.
    av::CVideoEncoderSaa7128 at88(card.iic.get());
    EXPECT_EQ(at88.TestIicAccess(), 0u);
    ASSERT_TRUE(sim::SetIicDeviceAbsent(0, kAt8C, true));
    EXPECT_EQ(encoder.TestIicAccess(), 0u);
}

}  // namespace
}  // namespace velmora::avtest

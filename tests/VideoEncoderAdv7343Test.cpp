// The ADV7343 driver on a simulated 0x5110 card: its standard tables, its
// genlock and colour-bar fields and its self-test, seen on the IIC bus.

#include <gtest/gtest.h>

#include "VideoEncoderTestSupport.h"
#include "av/VideoEncoderAdv7343.h"

namespace velmora::avtest {
namespace {

// The factory EEPROM says board version 0x20100: the encoder sits at 0x56.
constexpr uint8_t kAt56 = 0x56;

const std::vector<Access> kPalTable = {
    W(0x17, 0x02), W(0x00, 0xFC), W(0x01, 0x80), W(0x80, 0x11), W(0x82, 0xC3),
    W(0x87, 0x20), W(0x8C, 0xCB), W(0x8D, 0x8A), W(0x8E, 0x09), W(0x8F, 0x2A),
};
const std::vector<Access> kNtscTable = {
    W(0x17, 0x02), W(0x00, 0xFC), W(0x01, 0x80), W(0x80, 0x10), W(0x82, 0xCB),
    W(0x87, 0x20), W(0x8C, 0x1F), W(0x8D, 0x7C), W(0x8E, 0xF0), W(0x8F, 0x21),
};

class VideoEncoderAdv7343Test : public ChipSimCardTest {
  protected:
    VideoEncoderAdv7343Test() : ChipSimCardTest(0x5110) {}
};

TEST_F(VideoEncoderAdv7343Test, StandardTablesReachTheChipInOrder) {
    av::CVideoEncoderAdv7343 encoder(card.iic.get(), 0x56, 0x57);
    EXPECT_EQ(encoder.InitDevice(), 1u);
    EXPECT_TRUE(sim::IicTransferLog(0).empty()) << "the chip has no initialisation table";

    EXPECT_EQ(encoder.SetPal(), 1u);
    EXPECT_EQ(AccessesTo(kAt56), kPalTable);

    ASSERT_TRUE(sim::ClearIicTransferLog(0));
    EXPECT_EQ(encoder.SetNtsc(), 1u);
    const auto transfers = TransfersTo(kAt56);
    EXPECT_EQ(AccessesTo(kAt56), kNtscTable);
    for (size_t i = 1; i < transfers.size(); ++i)
        EXPECT_LE(transfers[i - 1].timeUs, transfers[i].timeUs);
    // The NTSC subcarrier word, read back from the chip.
    EXPECT_EQ(Peek(kAt56, 0x8C) | Peek(kAt56, 0x8D) << 8 | Peek(kAt56, 0x8E) << 16 |
                  uint32_t(Peek(kAt56, 0x8F)) << 24,
              0x21F07C1Fu);
}

TEST_F(VideoEncoderAdv7343Test, AddressFollowsTheConstructorTheBoardVersionPicks) {
    // Version 0x20100: the chip answers at 0x56 only.
    av::CVideoEncoderAdv7343 atDefault(card.iic.get());
    EXPECT_EQ(atDefault.GetWriteAddress(), 0x54);
    EXPECT_EQ(atDefault.GetReadAddress(), 0x55);
    EXPECT_EQ(atDefault.TestIicAccess(), 0u);
    av::CVideoEncoderAdv7343 at56(card.iic.get(), 0x56, 0x57);
    EXPECT_EQ(at56.TestIicAccess(), 1u);

    // An older board (version 0x200FF) carries it at 0x54.
    auto image = sim::ReadEepromImage(0);
    ASSERT_TRUE(image.has_value());
    (*image)[124] = 0xFF;
    (*image)[125] = 0x00;
    (*image)[126] = 0x02;
    (*image)[127] = 0x00;
    ASSERT_TRUE(sim::LoadEepromImage(0, *image));
    ASSERT_TRUE(sim::ClearIicTransferLog(0));
    EXPECT_EQ(atDefault.SetPal(), 1u);
    EXPECT_EQ(AccessesTo(0x54), kPalTable);
    EXPECT_EQ(atDefault.TestIicAccess(), 1u);
    EXPECT_EQ(at56.TestIicAccess(), 0u);
}

TEST_F(VideoEncoderAdv7343Test, GenlockColourBarsAndCloseRewriteOnlyTheirFields) {
    av::CVideoEncoderAdv7343 encoder(card.iic.get(), 0x56, 0x57);
    Poke(kAt56, 0x84, 0x81);
    Poke(kAt56, 0x83, 0x12);
    ASSERT_TRUE(sim::ClearIicTransferLog(0));

    EXPECT_EQ(encoder.SetGenlockSync(0), 1u);
    EXPECT_EQ(AccessesTo(kAt56), (std::vector<Access>{R(0x84, 0x81), W(0x84, 0x87)}));
    EXPECT_EQ(encoder.SetGenlockSync(5), 1u);
    EXPECT_EQ(Peek(kAt56, 0x84), 0x83);
    EXPECT_EQ(encoder.SetGenlockMode(0), 1u);
    EXPECT_EQ(Peek(kAt56, 0x84), 0x87);
    EXPECT_EQ(encoder.SetFreeRunSync(), 1u);
    EXPECT_EQ(Peek(kAt56, 0x84), 0x81);
    EXPECT_EQ(encoder.SetGenlockSync(0), 1u);
    EXPECT_EQ(encoder.DisableGenlock(), 1u);
    EXPECT_EQ(Peek(kAt56, 0x84), 0x81);

    EXPECT_EQ(encoder.EnableColorBars(), 1u);
    EXPECT_EQ(Peek(kAt56, 0x84), 0xC1);
    EXPECT_EQ(encoder.DisableColorBars(), 1u);
    EXPECT_EQ(Peek(kAt56, 0x84), 0x81);

    ASSERT_TRUE(sim::ClearIicTransferLog(0));
    EXPECT_EQ(encoder.CloseDevice(), 1u);
    EXPECT_EQ(AccessesTo(kAt56), (std::vector<Access>{R(0x83, 0x12), W(0x83, 0x1A)}));
}

// The test register 0x84 holds the genlock and colour-bar fields: a passing
// test leaves the chip as it found it.
TEST_F(VideoEncoderAdv7343Test, SelfTestPassesAndPutsTheControlRegisterBack) {
    av::CVideoEncoderAdv7343 encoder(card.iic.get(), 0x56, 0x57);
    EXPECT_EQ(encoder.SetGenlockSync(0), 1u);
    ASSERT_EQ(Peek(kAt56, 0x84), 0x06);
    ASSERT_TRUE(sim::ClearIicTransferLog(0));

    EXPECT_EQ(encoder.TestIicAccess(), 1u);

    std::vector<Access> expected = {R(0x84, 0x06)};
    for (int round = 0; round < 100; ++round) {
        expected.insert(expected.end(),
                        {W(0x84, 0x55), R(0x84, 0x55), W(0x84, 0xAA), R(0x84, 0xAA)});
    }
    expected.push_back(W(0x84, 0x06));
    EXPECT_EQ(AccessesTo(kAt56), expected);
    EXPECT_EQ(Peek(kAt56, 0x84), 0x06);

    // A later genlock change still rewrites only its field.
    EXPECT_EQ(encoder.DisableGenlock(), 1u);
    EXPECT_EQ(Peek(kAt56, 0x84), 0x00);
}

TEST_F(VideoEncoderAdv7343Test, SelfTestFailsAtTheFirstMismatchOfAStuckRegister) {
    av::CVideoEncoderAdv7343 encoder(card.iic.get(), 0x56, 0x57);
    // Stuck at the first pattern: round one's 0x55 passes, its 0xAA does not.
    ASSERT_TRUE(sim::SetIicRegisterStuck(0, kAt56, 0x84, 0x55));
    EXPECT_EQ(encoder.TestIicAccess(), 0u);
    EXPECT_EQ(AccessesTo(kAt56),
              (std::vector<Access>{R(0x84, 0x55), W(0x84, 0x55), R(0x84, 0x55), W(0x84, 0xAA),
                                   R(0x84, 0x55), W(0x84, 0x55)}));

    ASSERT_TRUE(sim::SetIicRegisterStuck(0, kAt56, 0x84, 0x00));
    EXPECT_EQ(encoder.TestIicAccess(), 0u);
    ASSERT_TRUE(sim::SetIicRegisterStuck(0, kAt56, 0x84, std::nullopt));
    EXPECT_EQ(encoder.TestIicAccess(), 1u);
}

TEST_F(VideoEncoderAdv7343Test, SelfTestFailsAtOnceOnAnAbsentChip) {
    av::CVideoEncoderAdv7343 encoder(card.iic.get(), 0x56, 0x57);
    ASSERT_TRUE(sim::SetIicDeviceAbsent(0, kAt56, true));
    EXPECT_EQ(encoder.TestIicAccess(), 0u);
    // Nothing after the first read-back that failed, beyond putting back what
    // the register was read to hold.
    const auto accesses = AccessesTo(kAt56);
    ASSERT_GE(accesses.size(), 3u);
    EXPECT_LE(accesses.size(), 4u);
    EXPECT_EQ(accesses[1], W(0x84, 0x55));
    EXPECT_EQ(accesses[2], R(0x84, 0xFF));
}

TEST_F(VideoEncoderAdv7343Test, OperationsTheChipLacksIssueNoTransfer) {
    av::CVideoEncoderAdv7343 encoder(card.iic.get(), 0x56, 0x57);
    av::CVideoEncoder& base = encoder;
    EXPECT_EQ(base.SelectOutputFormat0(), 1u);
    EXPECT_EQ(base.SelectOutputFormat1(), 1u);
    EXPECT_EQ(base.SelectOutputFormat2(), 1u);
    EXPECT_EQ(base.SelectOutputFormat3(), 1u);
    EXPECT_EQ(base.SetChromaPhase(0x12), 1u);
    EXPECT_EQ(base.EnableExternalSync(), 1u);
    EXPECT_EQ(base.DisableExternalSync(), 1u);
    EXPECT_EQ(base.Reserved10(), 1u);
    EXPECT_EQ(base.Reserved13(), 1u);
    EXPECT_EQ(base.Reserved17(), 1u);
    EXPECT_TRUE(sim::IicTransferLog(0).empty());

    // Register access: a 0xFF byte arrives as exactly 0xFF.
    EXPECT_EQ(base.WriteRegister(0x10, 0xFF), 1u);
    uint32_t value = 0x12345678;
    EXPECT_EQ(base.ReadRegister(0x10, &value), 1u);
    EXPECT_EQ(value, 0xFFu);
    EXPECT_EQ(AccessesTo(kAt56), (std::vector<Access>{W(0x10, 0xFF), R(0x10, 0xFF)}));
}

}  // namespace
}  // namespace velmora::avtest

// Settings of the board support: what reaches the chips, the FPGA and the
// EEPROM, what the first open re-applies, the defaults, and the sources a
// board refuses.

#include "tests/BoardSupportTestSupport.h"

namespace velmora::boardtest {
namespace {

constexpr uint8_t kAdv7180Second = 0x42;
constexpr uint8_t kAdv7180Contrast = 0x08;
constexpr uint32_t kBlockA = 0x10;
constexpr uint32_t kNtscBit = 1u << 12;
constexpr uint32_t kSyncBit = 1u << 4;

TEST_F(BoardSupportTest, SettingsReachTheChipTheFpgaAndTheEeprom) {
    OpenCard(0x5110);
    ASSERT_TRUE(board().SetVideoInputContrast(0, 0x90));
    EXPECT_EQ(ChipRegister(sim::SimIicChip::Adv7180First, kAdv7180Contrast), 0x90);
    EXPECT_EQ(EepromByte(67), 0x90);

    ASSERT_TRUE(board().SetVideoMode(0));
    EXPECT_EQ(EepromByte(56), 0);
    EXPECT_NE(Register(kBlockA) & kNtscBit, 0u);
    EXPECT_EQ(board().GetVideoStandard(), 0u);
    ASSERT_TRUE(board().SetVideoMode(7));  // any other value is PAL
    EXPECT_EQ(EepromByte(56), 1);
    EXPECT_EQ(Register(kBlockA) & kNtscBit, 0u);

    ASSERT_TRUE(board().SetControl2C(0x44));
    EXPECT_EQ(EepromByte(63), 0x44);
    EXPECT_EQ(Register(0x2C), 0x44u);
    // The 0x24 level reads back from the FPGA, not from the store.
    ASSERT_TRUE(sim::PokeRegister(0, 0x24, 0x5A));
    uint32_t value = 0;
    ASSERT_TRUE(board().GetControl24(&value));
    EXPECT_EQ(value, 0x5Au);

    // Without the persist flag only the hardware changes.
    board().SetPersistFlag(0);
    ASSERT_TRUE(board().SetVideoInputContrast(0, 0x20));
    board().SetPersistFlag(1);
    EXPECT_EQ(ChipRegister(sim::SimIicChip::Adv7180First, kAdv7180Contrast), 0x20);
    EXPECT_EQ(EepromByte(67), 0x90);
}

TEST_F(BoardSupportTest, FirstOpenReappliesTheStoredSettings) {
    OpenCard(0x5110);
    ASSERT_TRUE(board().SetVideoInputContrast(1, 0x91));
    ASSERT_TRUE(board().SetVideoMode(0));
    ASSERT_TRUE(board().SetAsiPacketLength(1, 0));
    ASSERT_TRUE(board().SetAsiOutputMode(1, 0));
    EXPECT_EQ(EepromByte(100) & 1, 1);
    stack.reset();

    ASSERT_TRUE(sim::PokeRegister(0, kBlockA, Register(kBlockA) & ~kNtscBit));
    ASSERT_TRUE(sim::ClearIicTransferLog(0));
    stack = std::make_unique<BoardStack>();
    ASSERT_TRUE(stack->Open());
    EXPECT_TRUE(WasWritten(kAdv7180Second, kAdv7180Contrast, 0x91));
    EXPECT_NE(Register(kBlockA) & kNtscBit, 0u);
    // The first open starts the ASI path from 188-byte packets and mode 0.
    EXPECT_EQ(EepromByte(100) & 1, 0);
    uint32_t mode = 1;
    ASSERT_TRUE(board().GetAsiOutputMode(&mode, 0));
    EXPECT_EQ(mode, 0u);
    EXPECT_EQ(sim::AsiOutputMode(0), 0u);
}

TEST_F(BoardSupportTest, AsiOutputModeIsReadFromTheCard) {
    OpenCard(0x5110);
    uint32_t mode = 0;
    ASSERT_TRUE(board().SetAsiOutputMode(1, 0));
    ASSERT_TRUE(board().GetAsiOutputMode(&mode, 0));
    EXPECT_EQ(mode, 1u);
    // Another process changing the mode is seen, whatever this one set.
    constexpr uint32_t kTsControl = 0x170, kOutputModeBit = 1u << 5;
    ASSERT_TRUE(sim::PokeRegister(0, kTsControl, Register(kTsControl) & ~kOutputModeBit));
    ASSERT_TRUE(board().GetAsiOutputMode(&mode, 0));
    EXPECT_EQ(mode, 0u);
}

TEST_F(BoardSupportTest, DefaultsAreAppliedAndStored) {
    OpenCard(0x5110);
    ASSERT_TRUE(board().SetVideoInputContrast(1, 0x10));
    ASSERT_TRUE(board().SetVideoInputChromaSaturation(1, 1, 0x10));
    ASSERT_TRUE(board().SetControl2C(0x10));
    ASSERT_TRUE(board().SetVideoSource(0, 0x01));
    ASSERT_TRUE(board().SetSyncSource(0x01));

    ASSERT_TRUE(board().SetDefaultSettings());
    EXPECT_EQ(EepromByte(57), 0x80);  // internal sync
    EXPECT_EQ(Register(kBlockA) & kSyncBit, 0u);
    EXPECT_EQ(EepromByte(56), 1);
    EXPECT_EQ(EepromByte(58), 0x00);
    EXPECT_EQ(EepromByte(89), 0x00);
    EXPECT_EQ(EepromByte(61), 0x00);
    EXPECT_EQ(EepromByte(62), 0x80);
    EXPECT_EQ(EepromByte(63), 0x82);
    EXPECT_EQ(EepromByte(64), 0x80);
    EXPECT_EQ(EepromByte(100) & 1, 0);
    for (uint32_t address : {66u, 67u, 68u, 69u, 176u, 177u, 178u, 179u, 192u, 193u}) {
        EXPECT_EQ(EepromByte(address), 0x80) << "byte " << address;
    }
    EXPECT_EQ(ChipRegister(sim::SimIicChip::Adv7180Second, kAdv7180Contrast), 0x80);
}

TEST_F(BoardSupportTest, RefusedSourceCodesAreNotStored) {
    OpenCard(0x5100);
    ASSERT_TRUE(board().SetVideoSource(0, 0x01));
    ASSERT_TRUE(board().SetAudioSource(0, 0x01));
    ASSERT_TRUE(board().SetSyncSource(0x01));

    EXPECT_EQ(board().SetVideoSource(0, 0x0B), 0u);  // no such input
    EXPECT_EQ(board().SetVideoSource(0, 0x11), 0u);  // no decoder 1 on this board
    EXPECT_EQ(EepromByte(58), 0x01);
    EXPECT_EQ(board().SetAudioSource(0, 0x11), 0u);  // refused by this board
    EXPECT_EQ(board().SetAudioSource(0, 0x13), 0u);  // no audio input 1
    EXPECT_EQ(EepromByte(89), 0x01);
    EXPECT_EQ(board().SetSyncSource(0x10), 0u);
    EXPECT_EQ(EepromByte(57), 0x01);

    // An accepted code that changes nothing on the card is still kept.
    EXPECT_EQ(board().SetVideoSource(0, 0x04), 1u);
    EXPECT_EQ(EepromByte(58), 0x04);
}

TEST_F(BoardSupportTest, PictureControlsCheckTheChannelAndClampLikeTheStore) {
    OpenCard(0x5110);
    EXPECT_EQ(board().SetVideoInputContrast(4, 0x50), 0u);
    EXPECT_EQ(board().SetVideoInputBrightness(4, 0x50), 0u);
    EXPECT_EQ(board().SetVideoInputHue(4, 0x50), 0u);
    EXPECT_EQ(board().SetVideoInputSaturation(4, 0x50), 0u);
    EXPECT_EQ(board().SetVideoInputChromaSaturation(4, 0, 0x50), 0u);
    // Channel 2 has no decoder on this board: nothing to do, nothing stored.
    const uint8_t before = EepromByte(181);
    EXPECT_EQ(board().SetVideoInputContrast(2, before ^ 0x0F), 1u);
    EXPECT_EQ(EepromByte(181), before);

    // 300 is kept as 255, and the chip shows what will be restored.
    ASSERT_TRUE(board().SetVideoInputContrast(0, 300));
    EXPECT_EQ(ChipRegister(sim::SimIicChip::Adv7180First, kAdv7180Contrast), 0xFF);
    EXPECT_EQ(EepromByte(67), 0xFF);
    ASSERT_TRUE(board().SetVideoInputBrightness(0, 255));
    const uint8_t brightness255 = ChipRegister(sim::SimIicChip::Adv7180First, 0x0A);
    ASSERT_TRUE(board().SetVideoInputBrightness(0, 0));
    ASSERT_TRUE(board().SetVideoInputBrightness(0, 300));
    EXPECT_EQ(ChipRegister(sim::SimIicChip::Adv7180First, 0x0A), brightness255);
    EXPECT_EQ(EepromByte(66), 0xFF);
}

TEST_F(BoardSupportTest, GlobalSelectSettingWritesItsOwnValue) {
    OpenCard(0x5110);
    constexpr uint32_t kBit17 = 1u << 17, kBit18 = 1u << 18;
    ASSERT_TRUE(sim::PokeRegister(0, kBlockA, (Register(kBlockA) | kBit17) & ~kBit18));
    ASSERT_TRUE(board().SetGlobalSelectSetting(0, 1));
    EXPECT_EQ(Register(kBlockA) & (kBit17 | kBit18), 0u);
    EXPECT_EQ(EepromByte(123), 0);
    ASSERT_TRUE(board().SetGlobalSelectSetting(5, 1));
    EXPECT_NE(Register(kBlockA) & kBit18, 0u);
    EXPECT_EQ(EepromByte(123), 1);
    uint32_t flag = 0;
    ASSERT_TRUE(board().GetGlobalSelectSetting(&flag));
    EXPECT_EQ(flag, 1u);
}

TEST_F(BoardSupportTest, SyncSourceFallsBackToInternalWithoutSignal) {
    OpenCard(0x5110);
    ASSERT_TRUE(sim::SetAllVideoSignals(0, false));
    ASSERT_TRUE(board().SetSyncSource(0x01));
    EXPECT_EQ(EepromByte(57), 0x01);  // the request is kept for the next open
    EXPECT_EQ(Register(kBlockA) & kSyncBit, 0u);

    ASSERT_TRUE(sim::SetAllVideoSignals(0, true));
    ASSERT_TRUE(board().SetSyncSource(0x01));
    EXPECT_NE(Register(kBlockA) & kSyncBit, 0u);
    uint32_t status = 0;
    ASSERT_TRUE(board().GetVideoInputStatus(0x00, &status));
    EXPECT_EQ(status, 1u);
    EXPECT_EQ(board().GetVideoInputStatus(0x20, &status), 0u);  // no decoder 2
}

}  // namespace
}  // namespace velmora::boardtest

#include "av/VideoDecoderTvp5147.h"

#include "platform/Time.h"

namespace velmora::av {

namespace {

// Registers 0xE8, 0xE9 and 0xEA take a 24-bit internal address (0xE8 least
// significant) and the next write of 0xE0 stores a byte there, so each group
// of four rows below is one indirect write and must stay together and in
// order. Rows 16 and 17 pulse the chip's reset; the rest of the table may
// only follow once the chip has settled from it.
// clang-format off
constexpr auto Tvp5147InitRegisterTable = MakeChipRegisterTable({
    // 0x800002 := 0x01, 0xB00060 := 0x01, 0xA00016 := 0x16, 0xB00060 := 0x00
    {0xE8, 0x02}, {0xE9, 0x00}, {0xEA, 0x80}, {0xE0, 0x01},
    {0xE8, 0x60}, {0xE9, 0x00}, {0xEA, 0xB0}, {0xE0, 0x01},
    {0xE8, 0x16}, {0xE9, 0x00}, {0xEA, 0xA0}, {0xE0, 0x16},
    {0xE8, 0x60}, {0xE9, 0x00}, {0xEA, 0xB0}, {0xE0, 0x00},
    // reset pulse
    {0x03, 0x01}, {0x03, 0x00},
    {0x00, 0x0C}, {0x02, 0x00}, {0x04, 0x23}, {0x05, 0x04}, {0x06, 0x00}, {0x07, 0x04},
    {0x08, 0x00}, {0x0E, 0x0E}, {0x1E, 0x70}, {0x1F, 0x02}, {0x2D, 0x00}, {0x2E, 0x8A},
    {0x33, 0x40}, {0x34, 0x11}, {0x35, 0x6A}, {0x36, 0xAF}, {0x75, 0x16},
    // 0x800061 := 0x11, 0x80004D := 0x08
    {0xE8, 0x61}, {0xE9, 0x00}, {0xEA, 0x80}, {0xE0, 0x11},
    {0xE8, 0x4D}, {0xE9, 0x00}, {0xEA, 0x80}, {0xE0, 0x08},
});
// clang-format on
static_assert(Tvp5147InitRegisterTable.byCount == 43);

// The rows up to and including the reset pulse.
constexpr uint32_t kRowsBeforeSettling = 18;
constexpr uint32_t kResetSettlingMs = 100;

constexpr auto Tvp5147PalRegisterTable = MakeChipRegisterTable({{0x1E, 0x70}, {0x1F, 0x02}});
constexpr auto Tvp5147NtscRegisterTable = MakeChipRegisterTable({{0x1E, 0x02}, {0x1F, 0x00}});

constexpr uint8_t kInputSelect = 0x00;
constexpr uint8_t kOutputFormat = 0x07;
constexpr uint8_t kInputControl = 0x0D;
constexpr uint8_t kSyncControl = 0x31;
constexpr uint8_t kStatus1 = 0x3A;
constexpr uint8_t kFastLockControl = 0x75;
// Not in the order of the other decoders.
constexpr uint8_t kBrightness = 0x09;
constexpr uint8_t kContrast = 0x0A;
constexpr uint8_t kSaturation = 0x0B;
constexpr uint8_t kHue = 0x0C;
constexpr uint8_t kSelfTestRegister = 0xE8;

// Bits 1 and 2 of status 1: both lock detectors report lock.
constexpr uint8_t kLockedBits = 0x06;

}  // namespace

CVideoDecoderTvp5147::CVideoDecoderTvp5147(hw::CIicMaster* pIicMaster)
    : CVideoDecoder(pIicMaster, 0xB8, 0xB8) {}

uint32_t CVideoDecoderTvp5147::InitDevice() {
    WriteTableRows(Tvp5147InitRegisterTable, 0, kRowsBeforeSettling);
    platform::SettlingSleep(kResetSettlingMs);
    WriteTableRows(Tvp5147InitRegisterTable, kRowsBeforeSettling, Tvp5147InitRegisterTable.byCount);
    return 1;
}

uint32_t CVideoDecoderTvp5147::SetPal() {
    WriteTable(Tvp5147PalRegisterTable);
    return 1;
}

uint32_t CVideoDecoderTvp5147::SetNtsc() {
    WriteTable(Tvp5147NtscRegisterTable);
    return 1;
}

uint32_t CVideoDecoderTvp5147::EnableSyncOutput() {
    UpdateField(kSyncControl, 5, 0, 3);
    return 1;
}

uint32_t CVideoDecoderTvp5147::DisableSyncOutput() {
    UpdateField(kSyncControl, 0, 0, 3);
    return 1;
}

uint32_t CVideoDecoderTvp5147::ResetChromaDto() {
    return 1;
}

uint32_t CVideoDecoderTvp5147::GetInputStatus() {
    return (ReadStatusRegister(kStatus1, 0x00) & kLockedBits) == kLockedBits ? 1 : 0;
}

// The input register is written as a field update of all eight bits, not a
// plain write.
uint32_t CVideoDecoderTvp5147::SelectAnalogInput(uint8_t input, uint8_t outputFormat,
                                                 uint8_t inputControl) {
    UpdateField(kInputSelect, input, 0, 8);
    UpdateField(kOutputFormat, outputFormat, 6, 2);
    UpdateField(kInputControl, inputControl, 3, 1);
    return 1;
}

uint32_t CVideoDecoderTvp5147::SelectInput0() {
    return SelectAnalogInput(0x0C, 0, 0);
}

uint32_t CVideoDecoderTvp5147::SelectInput1() {
    return SelectAnalogInput(0x55, 2, 1);
}

uint32_t CVideoDecoderTvp5147::SelectInput2() {
    return SelectAnalogInput(0x96, 2, 1);
}

// The init table already sets the fast-lock bit, and nothing clears it.
uint32_t CVideoDecoderTvp5147::SetFastLockOff() {
    return 1;
}

uint32_t CVideoDecoderTvp5147::SetFastLockOn() {
    UpdateField(kFastLockControl, 1, 4, 1);
    return 1;
}

uint32_t CVideoDecoderTvp5147::SetContrast(uint8_t value) {
    WriteRegister(kContrast, value);
    return 1;
}

uint32_t CVideoDecoderTvp5147::SetBrightness(uint8_t value) {
    WriteRegister(kBrightness, value);
    return 1;
}

uint32_t CVideoDecoderTvp5147::SetHue(uint8_t value) {
    WriteRegister(kHue, OffsetToTwosComplement(value));
    return 1;
}

uint32_t CVideoDecoderTvp5147::SetSaturation(uint8_t value) {
    WriteRegister(kSaturation, value);
    return 1;
}

uint32_t CVideoDecoderTvp5147::TestIicAccess() {
    return RunIicSelfTest(kSelfTestRegister);
}

}  // namespace velmora::av

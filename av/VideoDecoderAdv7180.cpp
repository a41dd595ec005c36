#include "av/VideoDecoderAdv7180.h"

namespace velmora::av {

namespace {

// Every source table starts with the input-control register 0x00 (the analog
// input) and ends by setting 0x0E to 0x80, writing 0x55, and setting 0x0E
// back: 0x55 is only reachable while 0x0E is 0x80.

constexpr auto Adv7180NtscRegisterTable = MakeChipRegisterTable({{0x04, 0xD7}});

// clang-format off
constexpr auto Adv7180Source0Table = MakeChipRegisterTable({
    {0x00, 0x01}, {0x04, 0xD7}, {0x0C, 0x12}, {0x0D, 0x88}, {0x27, 0x58}, {0x17, 0x41},
    {0x31, 0x02}, {0x34, 0x66}, {0x35, 0x37}, {0x36, 0x35}, {0x3D, 0xA2}, {0x3E, 0x6A},
    {0x3F, 0xA0}, {0x0E, 0x80}, {0x55, 0x81}, {0x0E, 0x00},
});

constexpr auto Adv7180Source8Table = MakeChipRegisterTable({
    {0x00, 0x00}, {0x04, 0xD7}, {0x0C, 0x12}, {0x0D, 0x88}, {0x27, 0x58}, {0x17, 0x41},
    {0x31, 0x02}, {0x34, 0x66}, {0x35, 0x37}, {0x36, 0x35}, {0x3D, 0xA2}, {0x3E, 0x6A},
    {0x3F, 0xA0}, {0x0E, 0x80}, {0x55, 0x81}, {0x0E, 0x00},
});

constexpr auto Adv7180Source9Table = MakeChipRegisterTable({
    {0x00, 0x03}, {0x04, 0xD7}, {0x0C, 0x12}, {0x0D, 0x88}, {0x27, 0x58}, {0x17, 0x41},
    {0x31, 0x02}, {0x34, 0x66}, {0x35, 0x37}, {0x36, 0x35}, {0x3D, 0xA2}, {0x3E, 0x6A},
    {0x3F, 0xA0}, {0x0E, 0x80}, {0x55, 0x81}, {0x0E, 0x00},
});

constexpr auto Adv7180Source10Table = MakeChipRegisterTable({
    {0x00, 0x04}, {0x04, 0xD7}, {0x0C, 0x12}, {0x0D, 0x88}, {0x27, 0x58}, {0x17, 0x41},
    {0x31, 0x02}, {0x34, 0x66}, {0x35, 0x37}, {0x36, 0x35}, {0x3D, 0xA2}, {0x3E, 0x6A},
    {0x3F, 0xA0}, {0x0E, 0x80}, {0x55, 0x81}, {0x0E, 0x00},
});

constexpr auto Adv7180Source0AltTable = MakeChipRegisterTable({
    {0x00, 0x03}, {0x04, 0xD7}, {0x0C, 0x12}, {0x0D, 0x88}, {0x27, 0x58}, {0x17, 0x41},
    {0x31, 0x02}, {0x3D, 0xA2}, {0x3E, 0x6A}, {0x3F, 0xA0}, {0x0E, 0x80}, {0x55, 0x81},
    {0x0E, 0x00},
});

constexpr auto Adv7180Source1Table = MakeChipRegisterTable({
    {0x00, 0x08}, {0x04, 0xD7}, {0x0C, 0x12}, {0x0D, 0x88}, {0x27, 0x58}, {0x31, 0x02},
    {0x3D, 0xA2}, {0x3E, 0x6A}, {0x3F, 0xA0}, {0x58, 0x04}, {0x0E, 0x80}, {0x55, 0x81},
    {0x0E, 0x00},
});

constexpr auto Adv7180Source2Table = MakeChipRegisterTable({
    {0x00, 0x09}, {0x04, 0xD7}, {0x0C, 0x12}, {0x0D, 0x88}, {0x27, 0xD8}, {0x31, 0x02},
    {0x3D, 0xA2}, {0x3E, 0x6A}, {0x3F, 0xA0}, {0x0E, 0x80}, {0x55, 0x81}, {0x0E, 0x00},
});
// clang-format on

static_assert(Adv7180Source0Table.byCount == 16 && Adv7180Source8Table.byCount == 16 &&
              Adv7180Source9Table.byCount == 16 && Adv7180Source10Table.byCount == 16);
static_assert(Adv7180Source0AltTable.byCount == 13 && Adv7180Source1Table.byCount == 13 &&
              Adv7180Source2Table.byCount == 12);

constexpr uint8_t kInputControl = 0x04;
constexpr uint8_t kStatus1 = 0x10;
constexpr uint8_t kContrast = 0x08;
constexpr uint8_t kBrightness = 0x0A;
constexpr uint8_t kHue = 0x0B;
constexpr uint8_t kChromaGainCb = 0xE3;
constexpr uint8_t kChromaGainCr = 0xE4;
constexpr uint8_t kSelfTestRegister = 0xE8;

}  // namespace

CVideoDecoderAdv7180::CVideoDecoderAdv7180(hw::CIicMaster* pIicMaster) : CVideoDecoder(pIicMaster) {
    UseIicAddress40();
}

void CVideoDecoderAdv7180::UseIicAddress40() {
    m_byWriteAddress = 0x40;
    m_byReadAddress = 0x41;
}

void CVideoDecoderAdv7180::UseIicAddress42() {
    m_byWriteAddress = 0x42;
    m_byReadAddress = 0x43;
}

uint32_t CVideoDecoderAdv7180::InitDevice() {
    return 1;
}

// The source tables set the standard-independent set-up; PAL needs nothing
// on top of it.
uint32_t CVideoDecoderAdv7180::SetPal() {
    return 1;
}

uint32_t CVideoDecoderAdv7180::SetNtsc() {
    WriteTable(Adv7180NtscRegisterTable);
    return 1;
}

uint32_t CVideoDecoderAdv7180::EnableSyncOutput() {
    UpdateField(kInputControl, 1, 1, 1);
    return 1;
}

uint32_t CVideoDecoderAdv7180::DisableSyncOutput() {
    UpdateField(kInputControl, 0, 1, 1);
    return 1;
}

uint32_t CVideoDecoderAdv7180::ResetChromaDto() {
    return 1;
}

uint32_t CVideoDecoderAdv7180::GetInputStatus() {
    // Bit 0 of status 1 is "input locked".
    return (ReadStatusRegister(kStatus1, 0x00) & 0x01) ? 1 : 0;
}

uint32_t CVideoDecoderAdv7180::SelectInput0() {
    if (m_byWriteAddress == 0x42) {
        WriteTable(Adv7180Source0AltTable);
    } else {
        WriteTable(Adv7180Source0Table);
    }
    return 1;
}

uint32_t CVideoDecoderAdv7180::SelectInput8() {
    WriteTable(Adv7180Source8Table);
    return 1;
}

uint32_t CVideoDecoderAdv7180::SelectInput9() {
    WriteTable(Adv7180Source9Table);
    return 1;
}

uint32_t CVideoDecoderAdv7180::SelectInput10() {
    WriteTable(Adv7180Source10Table);
    return 1;
}

uint32_t CVideoDecoderAdv7180::SelectInput1() {
    WriteTable(Adv7180Source1Table);
    return 1;
}

uint32_t CVideoDecoderAdv7180::SelectInput2() {
    WriteTable(Adv7180Source2Table);
    return 1;
}

uint32_t CVideoDecoderAdv7180::SelectInput7() {
    WriteTable(Adv7180Source0AltTable);
    return 1;
}

uint32_t CVideoDecoderAdv7180::SetFastLockOff() {
    return 1;
}
uint32_t CVideoDecoderAdv7180::SetFastLockOn() {
    return 1;
}

uint32_t CVideoDecoderAdv7180::SetContrast(uint8_t value) {
    WriteRegister(kContrast, value);
    return 1;
}

uint32_t CVideoDecoderAdv7180::SetBrightness(uint8_t value) {
    WriteRegister(kBrightness, OffsetToTwosComplement(value));
    return 1;
}

uint32_t CVideoDecoderAdv7180::SetHue(uint8_t value) {
    WriteRegister(kHue, OffsetToTwosComplement(value));
    return 1;
}

uint32_t CVideoDecoderAdv7180::SetChromaSaturation(uint8_t value, uint32_t component) {
    if (component == 0) {
        WriteRegister(kChromaGainCb, value);
    } else if (component == 1) {
        WriteRegister(kChromaGainCr, value);
    }
    return 1;
}

uint32_t CVideoDecoderAdv7180::TestIicAccess() {
    return RunIicSelfTest(kSelfTestRegister);
}

}  // namespace velmora::av

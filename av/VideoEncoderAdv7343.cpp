#include "av/VideoEncoderAdv7343.h"

namespace velmora::av {

namespace {

// Both standards end with the subcarrier frequency word in 0x8C..0x8F, least
// significant byte first: fsc / 27 MHz * 2^32.
constexpr auto Adv7343PalRegisterTable = MakeChipRegisterTable({
    {0x17, 0x02},
    {0x00, 0xFC},
    {0x01, 0x80},
    {0x80, 0x11},
    {0x82, 0xC3},
    {0x87, 0x20},
    {0x8C, 0xCB},
    {0x8D, 0x8A},
    {0x8E, 0x09},
    {0x8F, 0x2A},
});

constexpr auto Adv7343NtscRegisterTable = MakeChipRegisterTable({
    {0x17, 0x02},
    {0x00, 0xFC},
    {0x01, 0x80},
    {0x80, 0x10},
    {0x82, 0xCB},
    {0x87, 0x20},
    {0x8C, 0x1F},
    {0x8D, 0x7C},
    {0x8E, 0xF0},
    {0x8F, 0x21},
});

static_assert(Adv7343PalRegisterTable.byCount == 10);
static_assert(Adv7343NtscRegisterTable.byCount == 10);

constexpr uint8_t kRegPowerMode = 0x83;
constexpr uint8_t kRegControl = 0x84;  // genlock field bits 1..2, colour bars bit 6
constexpr uint8_t kGenlockShift = 1;
constexpr uint8_t kGenlockWidth = 2;
constexpr uint8_t kColorBarsBit = 6;
constexpr uint8_t kPowerDownBit = 3;

}  // namespace

CVideoEncoderAdv7343::CVideoEncoderAdv7343(hw::CIicMaster* pIicMaster)
    : CVideoEncoderAdv7343(pIicMaster, kDefaultWriteAddress, kDefaultReadAddress) {}

CVideoEncoderAdv7343::CVideoEncoderAdv7343(hw::CIicMaster* pIicMaster, uint8_t writeAddress,
                                           uint8_t readAddress)
    : CVideoEncoder(pIicMaster, writeAddress, readAddress) {}

CVideoEncoderAdv7343::~CVideoEncoderAdv7343() = default;

uint32_t CVideoEncoderAdv7343::InitDevice() {
    // The standard tables carry the whole set-up.
    return 1;
}

uint32_t CVideoEncoderAdv7343::CloseDevice() {
    UpdateFieldAtWriteAddress(kRegPowerMode, 1, kPowerDownBit, 1);
    return 1;
}

uint32_t CVideoEncoderAdv7343::SetPal() {
    WriteTable(Adv7343PalRegisterTable);
    return 1;
}

uint32_t CVideoEncoderAdv7343::SetNtsc() {
    WriteTable(Adv7343NtscRegisterTable);
    return 1;
}

uint32_t CVideoEncoderAdv7343::SetFreeRunSync() {
    return CVideoEncoderAdv7343::DisableGenlock();
}

uint32_t CVideoEncoderAdv7343::SetGenlockSync(uint32_t mode) {
    return CVideoEncoderAdv7343::SetGenlockMode(mode);
}

uint32_t CVideoEncoderAdv7343::SetGenlockMode(uint32_t mode) {
    UpdateField(kRegControl, mode == 0 ? 3 : 1, kGenlockShift, kGenlockWidth);
    return 1;
}

uint32_t CVideoEncoderAdv7343::DisableGenlock() {
    UpdateField(kRegControl, 0, kGenlockShift, kGenlockWidth);
    return 1;
}

uint32_t CVideoEncoderAdv7343::EnableColorBars() {
    UpdateField(kRegControl, 1, kColorBarsBit, 1);
    return 1;
}

uint32_t CVideoEncoderAdv7343::DisableColorBars() {
    UpdateField(kRegControl, 0, kColorBarsBit, 1);
    return 1;
}

uint32_t CVideoEncoderAdv7343::TestIicAccess() {
    return RunIicSelfTest(kRegControl);
}

}  // namespace velmora::av

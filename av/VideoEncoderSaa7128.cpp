#include "av/VideoEncoderSaa7128.h"

namespace velmora::av {

namespace {

// The initialisation leaves the chip in PAL with its outputs disabled
// (register 0x61 bit 7). Registers 0x3B to 0x4D, 0x4F and 0x51 to 0x53 are
// not written.
constexpr auto Saa7128InitRegisterTable = MakeChipRegisterTable({
    {0x01, 0x00}, {0x02, 0x00}, {0x03, 0x00}, {0x04, 0x00}, {0x05, 0x00}, {0x06, 0x00},
    {0x07, 0x00}, {0x08, 0x00}, {0x09, 0x00}, {0x0A, 0x00}, {0x0B, 0x00}, {0x0C, 0x00},
    {0x0D, 0x00}, {0x0E, 0x00}, {0x0F, 0x00}, {0x10, 0x00}, {0x11, 0x00}, {0x12, 0x00},
    {0x13, 0x00}, {0x14, 0x00}, {0x15, 0x00}, {0x16, 0x00}, {0x17, 0x00}, {0x18, 0x00},
    {0x19, 0x00}, {0x1A, 0x00}, {0x1B, 0x00}, {0x1C, 0x00}, {0x1D, 0x00}, {0x1E, 0x00},
    {0x1F, 0x00}, {0x20, 0x00}, {0x21, 0x00}, {0x22, 0x00}, {0x23, 0x00}, {0x24, 0x00},
    {0x25, 0x00}, {0x26, 0x00}, {0x27, 0x00}, {0x28, 0x21}, {0x29, 0x1D}, {0x2A, 0x00},
    {0x2B, 0x00}, {0x2C, 0x00}, {0x2D, 0x38}, {0x2E, 0x00}, {0x2F, 0x00}, {0x30, 0x00},
    {0x31, 0x00}, {0x32, 0x00}, {0x33, 0x00}, {0x34, 0x00}, {0x35, 0x00}, {0x36, 0x00},
    {0x37, 0x00}, {0x38, 0x1A}, {0x39, 0x1A}, {0x3A, 0x1B}, {0x4E, 0x00}, {0x50, 0x00},
    {0x54, 0x0C}, {0x55, 0x00}, {0x56, 0x00}, {0x57, 0x00}, {0x58, 0x00}, {0x59, 0x00},
    {0x5A, 0x0F}, {0x5B, 0x7D}, {0x5C, 0xAF}, {0x5D, 0x33}, {0x5E, 0x35}, {0x5F, 0x35},
    {0x60, 0x00}, {0x61, 0x86}, {0x62, 0x33}, {0x63, 0xCB}, {0x64, 0x8A}, {0x65, 0x09},
    {0x66, 0x2A}, {0x67, 0x00}, {0x68, 0x00}, {0x69, 0x00}, {0x6A, 0x00}, {0x6B, 0x00},
    {0x6C, 0x02}, {0x6D, 0x20}, {0x6E, 0xA0}, {0x6F, 0x14}, {0x70, 0x49}, {0x71, 0x49},
    {0x72, 0x00}, {0x73, 0x42}, {0x74, 0x08}, {0x75, 0x03}, {0x76, 0x05}, {0x77, 0x16},
    {0x78, 0x04}, {0x79, 0x16}, {0x7A, 0x00}, {0x7B, 0x00}, {0x7C, 0x00}, {0x7D, 0x00},
    {0x7E, 0x00}, {0x7F, 0x00},
});

// Registers 0x63..0x66 hold the subcarrier word, least significant byte
// first.
constexpr auto Saa7128PalRegisterTable = MakeChipRegisterTable({
    {0x5A, 0x0F},
    {0x5B, 0x7D},
    {0x5C, 0xAF},
    {0x63, 0xCB},
    {0x64, 0x8A},
    {0x65, 0x09},
    {0x66, 0x2A},
    {0x73, 0x42},
    {0x76, 0x05},
    {0x77, 0x16},
    {0x78, 0x04},
    {0x79, 0x16},
});

constexpr auto Saa7128NtscRegisterTable = MakeChipRegisterTable({
    {0x5A, 0x35},
    {0x5B, 0x76},
    {0x5C, 0xA5},
    {0x63, 0x1F},
    {0x64, 0x7C},
    {0x65, 0xF0},
    {0x66, 0x21},
    {0x73, 0x54},
    {0x76, 0x06},
    {0x77, 0x10},
    {0x78, 0x05},
    {0x79, 0x10},
});

static_assert(Saa7128InitRegisterTable.byCount == 104);
static_assert(Saa7128PalRegisterTable.byCount == 12);
static_assert(Saa7128NtscRegisterTable.byCount == 12);

// What follows the standard's table. Field updates keep the bits around
// each field: external sync (0x5E bit 6), output disable (0x61 bit 7) and
// genlock (0x62 bit 7) survive a standard switch.
constexpr CHIP_STANDARD_FIELD kStandardFields[] = {
    {0x28, 0, 6, 0x21, 0x19}, {0x5D, 0, 6, 0x33, 0x3A}, {0x5E, 0, 6, 0x35, 0x2E},
    {0x5F, 0, 6, 0x35, 0x2E}, {0x61, 4, 1, 0x00, 0x01}, {0x61, 1, 1, 0x01, 0x00},
    {0x61, 0, 1, 0x00, 0x01}, {0x62, 0, 7, 0x33, 0x42},
};

constexpr uint8_t kRegOutputControl = 0x2D;  // DAC enables bits 0..2, bits 6 and 7
constexpr uint8_t kRegInputControl = 0x3A;   // colour bars bit 7, input control bit 3
constexpr uint8_t kRegChromaPhase = 0x5A;
constexpr uint8_t kRegSyncControl = 0x5E;  // external sync bit 6
constexpr uint8_t kRegStandard = 0x61;     // output disable bit 7
constexpr uint8_t kRegGenlock = 0x62;      // genlock bit 7
constexpr uint8_t kRegCloseControl = 0x6E;
constexpr uint8_t kRegSelfTest = 0x26;

}  // namespace

CVideoEncoderSaa7128::CVideoEncoderSaa7128(hw::CIicMaster* pIicMaster)
    : CVideoEncoderSaa7128(pIicMaster, kDefaultAddress, kDefaultAddress) {}

CVideoEncoderSaa7128::CVideoEncoderSaa7128(hw::CIicMaster* pIicMaster, uint8_t writeAddress,
                                           uint8_t readAddress)
    : CVideoEncoder(pIicMaster, writeAddress, readAddress) {}

CVideoEncoderSaa7128::~CVideoEncoderSaa7128() = default;

uint32_t CVideoEncoderSaa7128::UseIicAddress8C() {
    m_byWriteAddress = kAddress8C;
    m_byReadAddress = kAddress8C;
    return 1;
}

uint32_t CVideoEncoderSaa7128::InitDevice() {
    WriteTable(Saa7128InitRegisterTable);
    return 1;
}

uint32_t CVideoEncoderSaa7128::CloseDevice() {
    UpdateFieldAtWriteAddress(kRegCloseControl, 1, 6, 1);
    return DisableOutputs();
}

// The standard's table, then its field updates, each passing the write
// address in both positions.
uint32_t CVideoEncoderSaa7128::SetPal() {
    WriteTable(Saa7128PalRegisterTable);
    WriteChipStandardFields(m_pIicMaster, m_byWriteAddress, m_byWriteAddress, kStandardFields,
                            true);
    return 1;
}

uint32_t CVideoEncoderSaa7128::SetNtsc() {
    WriteTable(Saa7128NtscRegisterTable);
    WriteChipStandardFields(m_pIicMaster, m_byWriteAddress, m_byWriteAddress, kStandardFields,
                            false);
    return 1;
}

uint32_t CVideoEncoderSaa7128::SetFreeRunSync() {
    CVideoEncoderSaa7128::DisableGenlock();
    CVideoEncoderSaa7128::DisableExternalSync();
    return 1;
}

uint32_t CVideoEncoderSaa7128::DisableGenlock() {
    UpdateField(kRegGenlock, 0, 7, 1);
    return 1;
}

uint32_t CVideoEncoderSaa7128::EnableExternalSync() {
    UpdateField(kRegSyncControl, 1, 6, 1);
    return 1;
}

uint32_t CVideoEncoderSaa7128::DisableExternalSync() {
    UpdateField(kRegSyncControl, 0, 6, 1);
    return 1;
}

uint32_t CVideoEncoderSaa7128::SetChromaPhase(uint8_t value) {
    return WriteRegister(kRegChromaPhase, value);
}

uint32_t CVideoEncoderSaa7128::EnableColorBars() {
    UpdateField(kRegInputControl, 1, 7, 1);
    return 1;
}

uint32_t CVideoEncoderSaa7128::DisableColorBars() {
    UpdateField(kRegInputControl, 0, 7, 1);
    return 1;
}

uint32_t CVideoEncoderSaa7128::TestIicAccess() {
    return RunIicSelfTest(kRegSelfTest);
}

uint32_t CVideoEncoderSaa7128::EnableOutputs() {
    UpdateField(kRegStandard, 0, 7, 1);
    UpdateField(kRegOutputControl, 7, 0, 3);
    return 1;
}

uint32_t CVideoEncoderSaa7128::DisableOutputs() {
    UpdateField(kRegStandard, 1, 7, 1);
    UpdateField(kRegOutputControl, 0, 0, 3);
    return 1;
}

uint32_t CVideoEncoderSaa7128::SetInputControlBit() {
    UpdateField(kRegInputControl, 1, 3, 1);
    return 1;
}

uint32_t CVideoEncoderSaa7128::ClearInputControlBit() {
    UpdateField(kRegInputControl, 0, 3, 1);
    return 1;
}

uint32_t CVideoEncoderSaa7128::EnableGenlock() {
    UpdateField(kRegGenlock, 1, 7, 1);
    return 1;
}

uint32_t CVideoEncoderSaa7128::SetGenlockAndExternalSync() {
    EnableGenlock();
    CVideoEncoderSaa7128::EnableExternalSync();
    return 1;
}

uint32_t CVideoEncoderSaa7128::SetOutputControlBit7() {
    UpdateField(kRegOutputControl, 1, 7, 1);
    return 1;
}

uint32_t CVideoEncoderSaa7128::ClearOutputControlBit7() {
    UpdateField(kRegOutputControl, 0, 7, 1);
    return 1;
}

uint32_t CVideoEncoderSaa7128::SetOutputControlBit6() {
    UpdateField(kRegOutputControl, 1, 6, 1);
    return 1;
}

uint32_t CVideoEncoderSaa7128::ClearOutputControlBit6() {
    UpdateField(kRegOutputControl, 0, 6, 1);
    return 1;
}

}  // namespace velmora::av

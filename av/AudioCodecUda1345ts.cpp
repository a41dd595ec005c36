#include "av/AudioCodecUda1345ts.h"

#include "hw/IoCardFpga.h"

namespace velmora::av {

namespace {

// Shadow positions: the status register, then data registers 0 to 3.
constexpr uint32_t kStatusIndex = 0;
constexpr uint32_t kDataIndex = 1;

// Start values. The top two bits of each data byte select its register in
// the codec.
constexpr uint8_t kInitialStatus = 0x21;
constexpr uint8_t kInitialData[CAudioCodecUda1345ts::kDataRegisterCount] = {0x00, 0x40, 0x80, 0xC3};
constexpr uint8_t kDataSelectBits = 0xC0;

constexpr uint32_t kVolumeRegister = 0;
constexpr uint32_t kVolumeShift = 0;
constexpr uint32_t kVolumeWidth = 6;
constexpr uint32_t kMuteRegister = 2;
constexpr uint32_t kMuteShift = 2;

constexpr uint32_t kPinReadsPerDelay = 10;

// The shadow byte with bits shift..shift+width-1 replaced by the low
// `width` bits of value. Widths and shifts past the byte are cut off rather
// than shifted out of range.
uint8_t MergeField(uint8_t current, uint32_t shift, uint32_t width, uint8_t value) {
    if (shift >= 8) return current;
    const uint32_t mask = width >= 8 ? 0xFFu : ((1u << width) - 1u);
    const uint32_t placed = (mask << shift) & 0xFFu;
    return static_cast<uint8_t>((current & ~placed) | (((value & mask) << shift) & placed));
}

// A step's result folded into a procedure's flag: the procedure goes on to
// its end and then reports whether every step succeeded.
inline void Step(uint32_t& flag, uint32_t result) {
    if (result == 0) flag = 0;
}

}  // namespace

CAudioCodecUda1345ts::CAudioCodecUda1345ts(uint32_t auxLineLevel) : m_nAuxLineLevel(auxLineLevel) {}

CAudioCodecUda1345ts::~CAudioCodecUda1345ts() = default;

uint32_t CAudioCodecUda1345ts::InitCodec() {
    // Mode and clock idle high before the first transfer.
    uint32_t flag = L3BeginTransfer();

    m_abyShadow[kStatusIndex] = kInitialStatus;
    for (uint32_t i = 0; i < kDataRegisterCount; ++i)
        m_abyShadow[kDataIndex + i] = kInitialData[i];

    Step(flag, L3WriteStatus());
    Step(flag, L3WriteData(0, kDataRegisterCount));
    Step(flag, SetVolume(kMaxVolume));
    return flag;
}

uint32_t CAudioCodecUda1345ts::CloseCodec() {
    return SetVolume(0);
}

uint32_t CAudioCodecUda1345ts::Reserved4(uint32_t) {
    return 1;
}

uint32_t CAudioCodecUda1345ts::MuteOn() {
    return WriteDataField(kMuteRegister, kMuteShift, 1, 1);
}

uint32_t CAudioCodecUda1345ts::MuteOff() {
    return WriteDataField(kMuteRegister, kMuteShift, 1, 0);
}

uint32_t CAudioCodecUda1345ts::Reserved7() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::Reserved8() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::Reserved9() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::Reserved10() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::Reserved11() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::Reserved12() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::Reserved13() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::Reserved14() {
    return 1;
}

uint32_t CAudioCodecUda1345ts::SetL3ModeHigh() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::SetL3ModeLow() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::SetL3ClockHigh() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::SetL3ClockLow() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::SetL3DataHigh() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::SetL3DataLow() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::SetAuxLineHigh() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::SetAuxLineLow() {
    return 1;
}
uint32_t CAudioCodecUda1345ts::L3Delay() {
    return 1;
}

uint32_t CAudioCodecUda1345ts::L3ModeHigh() {
    return SetL3ModeHigh() != 0 ? 1 : 0;
}
uint32_t CAudioCodecUda1345ts::L3ModeLow() {
    return SetL3ModeLow() != 0 ? 1 : 0;
}
uint32_t CAudioCodecUda1345ts::L3ClockHigh() {
    return SetL3ClockHigh() != 0 ? 1 : 0;
}
uint32_t CAudioCodecUda1345ts::L3ClockLow() {
    return SetL3ClockLow() != 0 ? 1 : 0;
}
uint32_t CAudioCodecUda1345ts::L3DataHigh() {
    return SetL3DataHigh() != 0 ? 1 : 0;
}
uint32_t CAudioCodecUda1345ts::L3DataLow() {
    return SetL3DataLow() != 0 ? 1 : 0;
}

uint32_t CAudioCodecUda1345ts::AuxLineHigh() {
    if (m_bL3Disabled) return 0;
    return SetAuxLineHigh() != 0 ? 1 : 0;
}

uint32_t CAudioCodecUda1345ts::AuxLineLow() {
    if (m_bL3Disabled) return 0;
    return SetAuxLineLow() != 0 ? 1 : 0;
}

uint32_t CAudioCodecUda1345ts::DriveAuxHigh() {
    if (!m_bL3Disabled) AuxLineHigh();
    return 1;
}

uint32_t CAudioCodecUda1345ts::DriveAuxLow() {
    if (!m_bL3Disabled) AuxLineLow();
    return 1;
}

uint32_t CAudioCodecUda1345ts::ApplyAuxLine() {
    if (m_nAuxLineLevel != 0)
        DriveAuxHigh();
    else
        DriveAuxLow();
    return 1;
}

uint32_t CAudioCodecUda1345ts::LowerAuxLine() {
    DriveAuxLow();
    return m_nAuxLineLevel != 0 ? 1 : 0;
}

uint32_t CAudioCodecUda1345ts::EnableL3Bus() {
    if (!Reserved10()) return 0;
    if (!Reserved12()) return 0;
    m_bL3Disabled = 0;
    return 1;
}

uint32_t CAudioCodecUda1345ts::DisableL3Bus() {
    if (!Reserved9()) return 0;
    if (!Reserved11()) return 0;
    m_bL3Disabled = 1;
    return 1;
}

uint32_t CAudioCodecUda1345ts::L3WriteByte(uint8_t byte) {
    if (m_bL3Disabled) return 0;
    uint32_t flag = 1;
    Step(flag, L3Delay());
    for (uint32_t bit = 0; bit < 8; ++bit) {
        // The codec samples the data line on the rising clock edge.
        Step(flag, L3ClockLow());
        Step(flag, L3Delay());
        Step(flag, ((byte >> bit) & 1u) ? L3DataHigh() : L3DataLow());
        Step(flag, L3Delay());
        Step(flag, L3ClockHigh());
        Step(flag, L3Delay());
    }
    return flag;
}

uint32_t CAudioCodecUda1345ts::L3SendPhase(uint8_t byte, bool addressPhase) {
    // An address byte is clocked in with the mode line low, a data byte with
    // it high; either way the line is high again afterwards.
    if (m_bL3Disabled) return 0;
    uint32_t flag = 1;
    Step(flag, L3Delay());
    Step(flag, addressPhase ? L3ModeLow() : L3ModeHigh());
    Step(flag, L3Delay());
    Step(flag, L3WriteByte(byte));
    Step(flag, L3Delay());
    Step(flag, L3ModeHigh());
    Step(flag, L3Delay());
    return flag;
}

uint32_t CAudioCodecUda1345ts::L3SendDataAddress() {
    return L3SendPhase(kDataAddressByte, true);
}

uint32_t CAudioCodecUda1345ts::L3SendStatusAddress() {
    return L3SendPhase(kStatusAddressByte, true);
}

uint32_t CAudioCodecUda1345ts::L3SendDataByte(uint8_t byte) {
    return L3SendPhase(byte, false);
}

uint32_t CAudioCodecUda1345ts::L3BeginTransfer() {
    uint32_t flag = 1;
    Step(flag, L3Delay());
    Step(flag, L3ModeHigh());
    Step(flag, L3Delay());
    Step(flag, L3ClockHigh());
    Step(flag, L3Delay());
    return flag;
}

uint32_t CAudioCodecUda1345ts::L3Transfer(uint8_t addressByte, const uint8_t* bytes,
                                          uint32_t count) {
    uint32_t flag = L3BeginTransfer();
    Step(flag, L3SendPhase(addressByte, true));
    Step(flag, L3Delay());
    for (uint32_t i = 0; i < count; ++i) {
        Step(flag, L3SendDataByte(bytes[i]));
        Step(flag, L3Delay());
        if (i + 1 < count) {
            // A short low pulse on the mode line separates the data bytes.
            Step(flag, L3ModeLow());
            Step(flag, L3Delay());
            Step(flag, L3ModeHigh());
            Step(flag, L3Delay());
        }
    }
    return flag;
}

uint32_t CAudioCodecUda1345ts::L3WriteStatus() {
    if (m_bL3Disabled) return 0;
    return L3Transfer(kStatusAddressByte, &m_abyShadow[kStatusIndex], 1);
}

uint32_t CAudioCodecUda1345ts::L3WriteData(uint32_t first, uint32_t count) {
    if (m_bL3Disabled) return 0;
    // An empty range sends nothing worth an address phase, and a range
    // reaching past register 3 would send bytes from beyond the shadows.
    if (count == 0 || first >= kDataRegisterCount || count > kDataRegisterCount ||
        first + count > kDataRegisterCount)
        return 0;
    return L3Transfer(kDataAddressByte, &m_abyShadow[kDataIndex + first], count);
}

uint32_t CAudioCodecUda1345ts::WriteStatusField(uint32_t reg, uint32_t shift, uint32_t width,
                                                uint8_t value) {
    if (m_bL3Disabled || reg != 0) return 0;
    m_abyShadow[kStatusIndex] = MergeField(m_abyShadow[kStatusIndex], shift, width, value);
    return L3WriteStatus() != 0 ? 1 : 0;
}

uint32_t CAudioCodecUda1345ts::WriteDataField(uint32_t reg, uint32_t shift, uint32_t width,
                                              uint8_t value) {
    if (m_bL3Disabled || reg >= kDataRegisterCount) return 0;
    uint8_t& shadow = m_abyShadow[kDataIndex + reg];
    // A field reaching into the select bits would send the byte to another
    // register of the codec.
    const uint8_t merged = MergeField(shadow, shift, width, value);
    shadow = static_cast<uint8_t>((merged & ~kDataSelectBits) | (shadow & kDataSelectBits));
    return L3WriteData(reg, 1) != 0 ? 1 : 0;
}

uint32_t CAudioCodecUda1345ts::SetVolume(uint8_t volume) {
    if (volume > kMaxVolume) volume = kMaxVolume;
    return WriteDataField(kVolumeRegister, kVolumeShift, kVolumeWidth,
                          static_cast<uint8_t>(kMaxVolume - volume));
}

uint32_t CAudioCodecUda1345ts::SetStatusBit0() {
    return WriteStatusField(0, 0, 1, 1);
}
uint32_t CAudioCodecUda1345ts::ClearStatusBit0() {
    return WriteStatusField(0, 0, 1, 0);
}
uint32_t CAudioCodecUda1345ts::SetStatusField1(uint8_t value) {
    return WriteStatusField(0, 1, 3, value);
}
uint32_t CAudioCodecUda1345ts::SetStatusField4(uint8_t value) {
    return WriteStatusField(0, 4, 2, value);
}

uint8_t CAudioCodecUda1345ts::GetDataShadow(uint32_t reg) const {
    return reg < kDataRegisterCount ? m_abyShadow[kDataIndex + reg] : 0;
}

CIoCardAudioCodecUda1345ts::CIoCardAudioCodecUda1345ts(hw::CIoCardFpga* pFpga)
    : CAudioCodecUda1345ts(1), m_pFpga(pFpga) {}

CIoCardAudioCodecUda1345ts::~CIoCardAudioCodecUda1345ts() = default;

uint32_t CIoCardAudioCodecUda1345ts::SetL3ModeHigh() {
    return m_pFpga != nullptr ? m_pFpga->SetAudioCodecPin0() : 0;
}
uint32_t CIoCardAudioCodecUda1345ts::SetL3ModeLow() {
    return m_pFpga != nullptr ? m_pFpga->ClearAudioCodecPin0() : 0;
}
uint32_t CIoCardAudioCodecUda1345ts::SetL3ClockHigh() {
    return m_pFpga != nullptr ? m_pFpga->SetAudioCodecPin1() : 0;
}
uint32_t CIoCardAudioCodecUda1345ts::SetL3ClockLow() {
    return m_pFpga != nullptr ? m_pFpga->ClearAudioCodecPin1() : 0;
}
uint32_t CIoCardAudioCodecUda1345ts::SetL3DataHigh() {
    return m_pFpga != nullptr ? m_pFpga->SetAudioCodecPin2() : 0;
}
uint32_t CIoCardAudioCodecUda1345ts::SetL3DataLow() {
    return m_pFpga != nullptr ? m_pFpga->ClearAudioCodecPin2() : 0;
}
uint32_t CIoCardAudioCodecUda1345ts::SetAuxLineHigh() {
    return m_pFpga != nullptr ? m_pFpga->SetAudioCodecPin3() : 0;
}
uint32_t CIoCardAudioCodecUda1345ts::SetAuxLineLow() {
    return m_pFpga != nullptr ? m_pFpga->ClearAudioCodecPin3() : 0;
}

uint32_t CIoCardAudioCodecUda1345ts::L3Delay() {
    if (m_pFpga == nullptr) return 0;
    // The register reads are the bus's timing: the lines hold each level for
    // at least ten register round trips.
    for (uint32_t i = 0; i < kPinReadsPerDelay; ++i)
        m_pFpga->ReadAudioCodecPins();
    return 1;
}

}  // namespace velmora::av

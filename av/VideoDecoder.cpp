#include "av/VideoDecoder.h"

namespace velmora::av {

CVideoDecoder::CVideoDecoder(hw::CIicMaster* pIicMaster, uint8_t writeAddress, uint8_t readAddress)
    : CChipRegisterAccess(pIicMaster, writeAddress, readAddress) {}

uint32_t CVideoDecoder::ReadRegister(uint8_t reg, uint32_t* pValue) {
    return ReadChipRegister(reg, pValue);
}

uint32_t CVideoDecoder::WriteRegister(uint8_t reg, uint8_t value) {
    return WriteChipRegister(reg, value);
}

// What a chip does not support does nothing; its caller reads no result.
uint32_t CVideoDecoder::Reserved2() {
    return 1;
}
uint32_t CVideoDecoder::InitDevice() {
    return 1;
}
uint32_t CVideoDecoder::SetPal() {
    return 1;
}
uint32_t CVideoDecoder::SetNtsc() {
    return 1;
}
uint32_t CVideoDecoder::EnableSyncOutput() {
    return 1;
}
uint32_t CVideoDecoder::DisableSyncOutput() {
    return 1;
}
uint32_t CVideoDecoder::ResetChromaDto() {
    return 1;
}
uint32_t CVideoDecoder::GetInputStatus() {
    return 1;
}
uint32_t CVideoDecoder::SelectInput0() {
    return 1;
}
uint32_t CVideoDecoder::SelectInput8() {
    return 1;
}
uint32_t CVideoDecoder::SelectInput9() {
    return 1;
}
uint32_t CVideoDecoder::SelectInput10() {
    return 1;
}
uint32_t CVideoDecoder::SelectInput1() {
    return 1;
}
uint32_t CVideoDecoder::SelectInput2() {
    return 1;
}
uint32_t CVideoDecoder::SelectInput7() {
    return 1;
}
uint32_t CVideoDecoder::SelectInput3() {
    return 1;
}
uint32_t CVideoDecoder::SetFastLockOff() {
    return 1;
}
uint32_t CVideoDecoder::SetFastLockOn() {
    return 1;
}
uint32_t CVideoDecoder::SetContrast(uint8_t) {
    return 1;
}
uint32_t CVideoDecoder::SetBrightness(uint8_t) {
    return 1;
}
uint32_t CVideoDecoder::SetHue(uint8_t) {
    return 1;
}
uint32_t CVideoDecoder::SetChromaSaturation(uint8_t, uint32_t) {
    return 1;
}
uint32_t CVideoDecoder::SetSaturation(uint8_t) {
    return 1;
}
uint32_t CVideoDecoder::TestIicAccess() {
    return 1;
}

uint8_t CVideoDecoder::ReadStatusRegister(uint8_t reg, uint8_t noSignalValue) {
    uint8_t status = noSignalValue;
    if (m_pIicMaster == nullptr) return noSignalValue;
    // A failing master may fill the buffer with what the idle bus gives
    // (0xFF), which on some chips reads as "signal": a failed read counts as
    // no signal whatever the buffer holds.
    if (!m_pIicMaster->Read(m_byReadAddress, reg, &status, 1)) return noSignalValue;
    return status;
}

}  // namespace velmora::av

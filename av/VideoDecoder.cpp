#include "av/VideoDecoder.h"

namespace velmora::av {

CVideoDecoder::CVideoDecoder(hw::CIicMaster* pIicMaster) : m_pIicMaster(pIicMaster) {}

uint32_t CVideoDecoder::ReadRegister(uint8_t reg, uint32_t* pValue) {
    if (pValue == nullptr) return 0;
    // Preset, so that a read the master did not carry out gives a defined
    // value instead of stack garbage.
    uint8_t byte = 0;
    if (m_pIicMaster != nullptr) m_pIicMaster->Read(m_byReadAddress, reg, &byte, 1);
    *pValue = byte;
    return 1;
}

uint32_t CVideoDecoder::WriteRegister(uint8_t reg, uint8_t value) {
    if (m_pIicMaster != nullptr) m_pIicMaster->Write(m_byWriteAddress, reg, &value, 1);
    return 1;
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

void CVideoDecoder::UpdateField(uint8_t reg, uint8_t value, uint8_t shift, uint8_t width) {
    if (m_pIicMaster == nullptr) return;
    m_pIicMaster->WriteField(m_byWriteAddress, m_byReadAddress, reg, &value, shift, width);
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

uint32_t CVideoDecoder::RunIicSelfTest(uint8_t testRegister) {
    if (m_pIicMaster == nullptr) return 0;
    hw::CIicMaster& iic = *m_pIicMaster;
    // The test register is a live control register on some chips: keep what
    // it held so the test leaves the chip as it found it. The reads pass the
    // write address; the master forms the direction bit itself.
    uint8_t saved = 0;
    const bool haveSaved = iic.Read(m_byWriteAddress, testRegister, &saved, 1) != 0;

    uint32_t result = 1;
    for (int round = 0; round < 100 && result; ++round) {
        uint8_t pattern = 0x55;
        uint8_t readBack = 0xAA;
        iic.Write(m_byWriteAddress, testRegister, &pattern, 1);
        iic.Read(m_byWriteAddress, testRegister, &readBack, 1);
        if (readBack != 0x55) {
            result = 0;
            break;
        }
        pattern = 0xAA;
        readBack = 0x55;
        iic.Write(m_byWriteAddress, testRegister, &pattern, 1);
        iic.Read(m_byWriteAddress, testRegister, &readBack, 1);
        if (readBack != 0xAA) result = 0;
    }

    if (haveSaved) iic.Write(m_byWriteAddress, testRegister, &saved, 1);
    return result;
}

}  // namespace velmora::av

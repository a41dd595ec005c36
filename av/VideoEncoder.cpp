#include "av/VideoEncoder.h"

namespace velmora::av {

namespace {
constexpr int kSelfTestRounds = 100;
constexpr uint8_t kPatternA = 0x55;
constexpr uint8_t kPatternB = 0xAA;
}  // namespace

CVideoEncoder::CVideoEncoder(hw::CIicMaster* pIicMaster) : m_pIicMaster(pIicMaster) {}

CVideoEncoder::~CVideoEncoder() = default;

uint32_t CVideoEncoder::InitDevice() {
    return 1;
}
uint32_t CVideoEncoder::CloseDevice() {
    return 1;
}

uint32_t CVideoEncoder::ReadRegister(uint8_t reg, uint32_t* pValue) {
    if (pValue == nullptr) return 0;
    *pValue = 0;
    uint8_t byte = 0;
    if (m_pIicMaster != nullptr) m_pIicMaster->Read(m_byReadAddress, reg, &byte, 1);
    *pValue = byte;
    return 1;
}

uint32_t CVideoEncoder::WriteRegister(uint8_t reg, uint8_t value) {
    if (m_pIicMaster != nullptr) m_pIicMaster->Write(m_byWriteAddress, reg, &value, 1);
    return 1;
}

uint32_t CVideoEncoder::SetPal() {
    return 1;
}
uint32_t CVideoEncoder::SetNtsc() {
    return 1;
}
uint32_t CVideoEncoder::SetFreeRunSync() {
    return 1;
}
uint32_t CVideoEncoder::SetGenlockSync(uint32_t) {
    return 1;
}
uint32_t CVideoEncoder::SetGenlockMode(uint32_t) {
    return 1;
}
uint32_t CVideoEncoder::DisableGenlock() {
    return 1;
}
uint32_t CVideoEncoder::Reserved10() {
    return 1;
}
uint32_t CVideoEncoder::Reserved11() {
    return 1;
}
uint32_t CVideoEncoder::Reserved12() {
    return 1;
}
uint32_t CVideoEncoder::Reserved13() {
    return 1;
}
uint32_t CVideoEncoder::Reserved14() {
    return 1;
}
uint32_t CVideoEncoder::Reserved15() {
    return 1;
}
uint32_t CVideoEncoder::Reserved16() {
    return 1;
}
uint32_t CVideoEncoder::Reserved17() {
    return 1;
}
uint32_t CVideoEncoder::EnableExternalSync() {
    return 1;
}
uint32_t CVideoEncoder::DisableExternalSync() {
    return 1;
}
uint32_t CVideoEncoder::SetChromaPhase(uint8_t) {
    return 1;
}
uint32_t CVideoEncoder::EnableColorBars() {
    return 1;
}
uint32_t CVideoEncoder::DisableColorBars() {
    return 1;
}
uint32_t CVideoEncoder::SelectOutputFormat0() {
    return 1;
}
uint32_t CVideoEncoder::SelectOutputFormat1() {
    return 1;
}
uint32_t CVideoEncoder::SelectOutputFormat2() {
    return 1;
}
uint32_t CVideoEncoder::SelectOutputFormat3() {
    return 1;
}
uint32_t CVideoEncoder::TestIicAccess() {
    return 1;
}

void CVideoEncoder::UpdateField(uint8_t reg, uint8_t value, uint8_t shift, uint8_t width) {
    if (m_pIicMaster == nullptr) return;
    m_pIicMaster->WriteField(m_byWriteAddress, m_byReadAddress, reg, &value, shift, width);
}

void CVideoEncoder::UpdateFieldAtWriteAddress(uint8_t reg, uint8_t value, uint8_t shift,
                                              uint8_t width) {
    if (m_pIicMaster == nullptr) return;
    m_pIicMaster->WriteField(m_byWriteAddress, m_byWriteAddress, reg, &value, shift, width);
}

uint32_t CVideoEncoder::RunIicSelfTest(uint8_t testRegister) {
    if (m_pIicMaster == nullptr) return 0;
    hw::CIicMaster& iic = *m_pIicMaster;
    // On some chips the test register is a live control register (the
    // ADV7343's genlock and colour-bar bits): the test puts back what it
    // held. A chip that does not answer has nothing worth putting back.
    uint8_t saved = 0;
    const bool haveSaved = iic.Read(m_byWriteAddress, testRegister, &saved, 1) != 0;

    uint32_t result = 1;
    for (int round = 0; round < kSelfTestRounds && result; ++round) {
        // Each read-back buffer is preset to the other pattern, so a read
        // that delivers nothing cannot pass.
        uint8_t pattern = kPatternA;
        uint8_t readBack = kPatternB;
        iic.Write(m_byWriteAddress, testRegister, &pattern, 1);
        iic.Read(m_byWriteAddress, testRegister, &readBack, 1);
        if (readBack != kPatternA) {
            result = 0;
            break;
        }
        pattern = kPatternB;
        readBack = kPatternA;
        iic.Write(m_byWriteAddress, testRegister, &pattern, 1);
        iic.Read(m_byWriteAddress, testRegister, &readBack, 1);
        if (readBack != kPatternB) result = 0;
    }

    if (haveSaved) iic.Write(m_byWriteAddress, testRegister, &saved, 1);
    return result;
}

}  // namespace velmora::av

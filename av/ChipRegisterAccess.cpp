#include "av/ChipRegisterAccess.h"

namespace velmora::av {

namespace {
constexpr int kSelfTestRounds = 100;
constexpr uint8_t kPatternA = 0x55;
constexpr uint8_t kPatternB = 0xAA;
}  // namespace

uint32_t CChipRegisterAccess::ReadChipRegister(uint8_t reg, uint32_t* pValue) {
    if (pValue == nullptr) return 0;
    // Preset, so that a read the master did not carry out gives a defined
    // value instead of stack garbage.
    uint8_t byte = 0;
    if (m_pIicMaster != nullptr) m_pIicMaster->Read(m_byReadAddress, reg, &byte, 1);
    *pValue = byte;
    return 1;
}

uint32_t CChipRegisterAccess::WriteChipRegister(uint8_t reg, uint8_t value) {
    if (m_pIicMaster != nullptr) m_pIicMaster->Write(m_byWriteAddress, reg, &value, 1);
    return 1;
}

void CChipRegisterAccess::UpdateField(uint8_t reg, uint8_t value, uint8_t shift, uint8_t width) {
    if (m_pIicMaster == nullptr) return;
    m_pIicMaster->WriteField(m_byWriteAddress, m_byReadAddress, reg, &value, shift, width);
}

void CChipRegisterAccess::UpdateFieldAtWriteAddress(uint8_t reg, uint8_t value, uint8_t shift,
                                                    uint8_t width) {
    if (m_pIicMaster == nullptr) return;
    m_pIicMaster->WriteField(m_byWriteAddress, m_byWriteAddress, reg, &value, shift, width);
}

uint32_t CChipRegisterAccess::RunIicSelfTest(uint8_t testRegister) {
    if (m_pIicMaster == nullptr) return 0;
    hw::CIicMaster& iic = *m_pIicMaster;
    // The test register is a live control register on some chips (the
    // ADV7343's genlock and colour-bar bits): keep what it held so the test
    // leaves the chip as it found it. A chip that does not answer has nothing
    // worth putting back. The reads pass the write address; the master forms
    // the direction bit itself.
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

#include "hw/PlxPex8311.h"

namespace velmora::hw {

namespace {

constexpr uint32_t kUserPinRegister = 0x6C;
constexpr uint32_t kUserOutputBit = 1u << 16;
constexpr uint32_t kUserInputBit = 1u << 17;

}  // namespace

CPlxPex8311::CPlxPex8311() {
    m_dwSelectedDeviceId = 0x8311;
}

uint32_t CPlxPex8311::GetBoardCount(uint32_t* pCount) {
    return CPlxPciBridge::GetBoardCount(pCount);
}

uint32_t CPlxPex8311::SetUserOutput(uint32_t, uint32_t level) {
    if (m_bNoHardware) return 1;
    if (level > 1) return 0;
    uint32_t reg = 0;
    if (!ReadPlxRegister(kUserPinRegister, &reg)) return 0;
    reg = level ? reg | kUserOutputBit : reg & ~kUserOutputBit;
    return WritePlxRegister(kUserPinRegister, reg);
}

uint32_t CPlxPex8311::GetUserInput(uint32_t, uint32_t* pLevel) {
    if (m_bNoHardware) return 1;
    if (pLevel == nullptr) return 0;
    uint32_t reg = 0;
    if (!ReadPlxRegister(kUserPinRegister, &reg)) return 0;
    *pLevel = (reg & kUserInputBit) ? 1 : 0;
    return 1;
}

}  // namespace velmora::hw

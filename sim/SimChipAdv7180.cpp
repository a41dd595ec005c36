#include "sim/SimChipAdv7180.h"

namespace velmora::sim {

void SimChipAdv7180::Access(SimChipAccess& access) {
    if (access.reg != kStatus) {
        SimPlainRegister(access);
        return;
    }
    // The status register is the chip's own: what the host writes there is
    // lost.
    if (access.read) {
        const unsigned input = access.registers[kInputControl] & kInputMask;
        access.value = SimChips(access.bench).Signal(access.chip, input) ? kLocked : 0x00;
    }
}

}  // namespace velmora::sim

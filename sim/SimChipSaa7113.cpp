#include "sim/SimChipSaa7113.h"

namespace velmora::sim {

void SimChipSaa7113::Access(SimChipAccess& access) {
    if (access.reg != kStatus) {
        SimPlainRegister(access);
        return;
    }
    // A read-only status byte: writes to it are lost.
    if (access.read) {
        const unsigned input = access.registers[kAnalogControl] & kInputMask;
        access.value = SimChips(access.bench).Signal(access.chip, input) ? 0x00 : kNotLocked;
    }
}

}  // namespace velmora::sim

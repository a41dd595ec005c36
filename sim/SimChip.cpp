#include "sim/SimChip.h"

#include <cstring>

#include "sim/SimChipAdv7180.h"
#include "sim/SimChipSaa7113.h"
#include "sim/SimChipTvp5147.h"

namespace velmora::sim {

namespace {

unsigned Index(SimIicChip chip) {
    return static_cast<unsigned>(chip);
}

}  // namespace

void SimPlainRegister(SimChipAccess& access) {
    if (access.read) {
        access.value = access.registers[access.reg];
    } else {
        access.registers[access.reg] = access.value;
    }
}

void SimChips::PowerUp(SimChipState& state) {
    std::memset(&state, 0, sizeof(state));
    // A bench with every cable plugged in: the board's sync source and input
    // checks find a picture wherever they look until a test pulls one.
    std::memset(state.signal, 0xFF, sizeof(state.signal));
    state.poweredUp = 1;
}

void SimChips::Access(SimChipAccess& access, uint8_t key) {
    for (const SimChipState::StuckRegister& stuck : m_state.stuck) {
        if (stuck.used && stuck.key == key && stuck.reg == access.reg) {
            if (access.read) access.value = stuck.value;
            return;
        }
    }
    switch (access.chip) {
        case SimIicChip::Adv7180First:
        case SimIicChip::Adv7180Second:
            SimChipAdv7180::Access(access);
            break;
        case SimIicChip::Tvp5147:
            SimChipTvp5147::Access(access);
            break;
        case SimIicChip::Saa7113:
            SimChipSaa7113::Access(access);
            break;
        case SimIicChip::Adv7343:
        case SimIicChip::Saa7128:
        case SimIicChip::Saa7105:
            // The encoders have nothing the host reads but what it wrote.
            SimPlainRegister(access);
            break;
    }
}

bool SimChips::Signal(SimIicChip chip, unsigned inputCode) const {
    if (Index(chip) >= kSimIicChipCount || inputCode >= SimChipState::kInputCodes) return false;
    return (m_state.signal[Index(chip)][inputCode / 32] >> (inputCode % 32)) & 1u;
}

void SimChips::SetSignal(SimIicChip chip, unsigned inputCode, bool connected) {
    if (Index(chip) >= kSimIicChipCount || inputCode >= SimChipState::kInputCodes) return;
    uint32_t& word = m_state.signal[Index(chip)][inputCode / 32];
    const uint32_t bit = 1u << (inputCode % 32);
    word = connected ? (word | bit) : (word & ~bit);
}

void SimChips::SetAllSignals(bool connected) {
    std::memset(m_state.signal, connected ? 0xFF : 0x00, sizeof(m_state.signal));
}

bool SimChips::SetStuck(uint8_t address, uint8_t reg, bool stuck, uint8_t value) {
    const auto key = static_cast<uint8_t>(address >> 1);
    SimChipState::StuckRegister* free = nullptr;
    for (SimChipState::StuckRegister& entry : m_state.stuck) {
        if (entry.used && entry.key == key && entry.reg == reg) {
            if (stuck) {
                entry.value = value;
            } else {
                entry = {};
            }
            return true;
        }
        if (!entry.used && !free) free = &entry;
    }
    if (!stuck) return true;
    if (!free) return false;
    *free = {1, key, reg, value};
    return true;
}

}  // namespace velmora::sim

#include "sim/SimChipTvp5147.h"

namespace velmora::sim {

namespace {

uint32_t IndirectAddress(const uint8_t (&registers)[256]) {
    const uint8_t* a = &registers[SimChipTvp5147::kIndirectAddress];
    return uint32_t{a[0]} | (uint32_t{a[1]} << 8) | (uint32_t{a[2]} << 16);
}

// The entry holding `address`, or -1.
int Find(const SimChipState& bench, uint32_t address) {
    for (uint32_t i = 0; i < bench.indirectCount && i < SimChipState::kIndirectCapacity; ++i) {
        if (bench.indirect[i].address == address) return static_cast<int>(i);
    }
    return -1;
}

void StoreIndirect(SimChipState& bench, uint32_t address, uint8_t value) {
    const int found = Find(bench, address);
    SimChipState::IndirectByte* entry = found >= 0 ? &bench.indirect[found] : nullptr;
    if (!entry) {
        // The chip's internal registers are few; a test that fills this many
        // different addresses sees the loss counted rather than silently
        // overwritten entries.
        if (bench.indirectCount >= SimChipState::kIndirectCapacity) {
            ++bench.indirectLost;
            return;
        }
        entry = &bench.indirect[bench.indirectCount++];
        entry->address = address;
    }
    entry->value = value;
}

}  // namespace

void SimChipTvp5147::Access(SimChipAccess& access) {
    switch (access.reg) {
        case kStatus:
            // The chip's own status: writes are lost.
            if (access.read) {
                const unsigned input = access.registers[kInputSelect];
                access.value = SimChips(access.bench).Signal(access.chip, input) ? kLocked : 0x00;
            }
            return;
        case kIndirectData: {
            const uint32_t address = IndirectAddress(access.registers);
            if (access.read) {
                const std::optional<uint8_t> stored = IndirectByte(access.bench, address);
                access.value = stored.value_or(0);
            } else {
                StoreIndirect(access.bench, address, access.value);
            }
            return;
        }
        default:
            SimPlainRegister(access);
            return;
    }
}

std::optional<uint8_t> SimChipTvp5147::IndirectByte(const SimChipState& bench, uint32_t address) {
    const int found = Find(bench, address);
    if (found < 0) return std::nullopt;
    return bench.indirect[found].value;
}

}  // namespace velmora::sim

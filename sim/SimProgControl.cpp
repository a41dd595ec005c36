#include "sim/SimProgControl.h"

#include <functional>

#include "hw/PlxTypes.h"
#include "sim/SimCard.h"
#include "sim/SimControl.h"
#include "sim/SimDriver.h"

namespace velmora::sim {

namespace {

bool WithProg(unsigned card, const std::function<void(SimProgState&)>& f) {
    auto held = SimDriver::Instance().HoldCard(card);
    return held && held->WithState([&](SimCardState& state) { f(state.prog); }) == hw::ApiSuccess;
}

}  // namespace

bool SetJtagChain(unsigned card, const std::vector<SimTap>& taps) {
    if (taps.empty() || taps.size() > SimProgState::kMaxTaps) return false;
    SimTapState states[SimProgState::kMaxTaps] = {};
    for (size_t i = 0; i < taps.size(); ++i) {
        states[i].irLength = taps[i].irLength;
        states[i].idcode = taps[i].idcode;
        states[i].isCpld = taps[i].cpld ? 1 : 0;
    }
    bool ok = false;
    return WithProg(card,
                    [&](SimProgState& s) {
                        ok = SimProgramming(s).SetChain(states, static_cast<unsigned>(taps.size()));
                    }) &&
           ok;
}

std::optional<std::vector<uint8_t>> CpldArray(unsigned card) {
    std::vector<uint8_t> data(SimProgState::kCpldBytes);
    if (!WithProg(card, [&](SimProgState& s) {
            std::copy(s.cpldArray, s.cpldArray + SimProgState::kCpldBytes, data.begin());
        })) {
        return std::nullopt;
    }
    return data;
}

bool LoadCpldArray(unsigned card, const std::vector<uint8_t>& data) {
    return WithProg(card, [&](SimProgState& s) {
        SimProgramming(s).LoadCpld(data.data(), static_cast<uint32_t>(data.size()));
    });
}

std::vector<uint32_t> ProgrammingLineLog(unsigned card) {
    std::vector<uint32_t> words;
    words.reserve(SimProgState::kLineLogCapacity);
    WithProg(card, [&](SimProgState& s) {
        const uint64_t total = s.lineLogCount;
        const uint64_t kept = total < SimProgState::kLineLogCapacity
                                  ? total
                                  : uint64_t{SimProgState::kLineLogCapacity};
        for (uint64_t i = total - kept; i < total; ++i)
            words.push_back(s.lineLog[i % SimProgState::kLineLogCapacity]);
    });
    return words;
}

std::optional<uint64_t> ProgrammingLineCount(unsigned card) {
    uint64_t count = 0;
    if (!WithProg(card, [&](SimProgState& s) { count = s.lineLogCount; })) return std::nullopt;
    return count;
}

bool ClearProgrammingLineLog(unsigned card) {
    return WithProg(card, [](SimProgState& s) { s.lineLogCount = 0; });
}

bool SetEpcsDensity(unsigned card, uint32_t density) {
    bool ok = false;
    return WithProg(card,
                    [&](SimProgState& s) { ok = SimProgramming(s).SetEpcsDensity(density); }) &&
           ok;
}

bool LoadEpcs(unsigned card, const std::vector<uint8_t>& data) {
    return WithProg(card, [&](SimProgState& s) {
        SimProgramming(s).LoadFlash(data.data(), static_cast<uint32_t>(data.size()));
    });
}

bool EraseEpcs(unsigned card) {
    return WithProg(card, [](SimProgState& s) { SimProgramming(s).EraseFlash(); });
}

std::optional<std::vector<uint8_t>> ReadEpcs(unsigned card) {
    std::vector<uint8_t> data;
    data.reserve(SimProgState::kMaxFlashSize);
    if (!WithProg(card, [&](SimProgState& s) { data.assign(s.flash, s.flash + s.epcsSize); })) {
        return std::nullopt;
    }
    return data;
}

bool SetEpcsSiliconId(unsigned card, uint8_t id) {
    return WithProg(card, [&](SimProgState& s) { s.siliconId = id; });
}

bool SetEpcsBusyNeverClears(unsigned card, bool on) {
    return WithProg(card, [&](SimProgState& s) {
        s.busyNeverClears = on ? 1 : 0;
        if (!on) s.busyReads = 0;
    });
}

bool SetEpcsStuckBit(unsigned card, std::optional<uint32_t> bit) {
    return WithProg(card, [&](SimProgState& s) {
        s.stuckBitSet = bit ? 1 : 0;
        s.stuckBit = bit.value_or(0);
    });
}

std::optional<FpgaReloads> FpgaReloadCount(unsigned card) {
    FpgaReloads reloads{};
    if (!WithProg(card, [&](SimProgState& s) { reloads = {s.reloads, s.reloadChecksum}; })) {
        return std::nullopt;
    }
    return reloads;
}

uint32_t EpcsChecksum(const std::vector<uint8_t>& stored) {
    return PlayedChecksum(stored.data(), stored.size());
}

}  // namespace velmora::sim

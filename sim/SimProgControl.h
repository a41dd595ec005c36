#pragma once

// The control panel of the simulated cards' programming lines (see
// sim/SimProgramming.h for the model): the JTAG chain with the CPLD and the
// EPCS configuration flash. Each call attaches the card as the calls of
// sim/SimControl.h do and fails for a card number at or past the count.

#include <cstdint>
#include <optional>
#include <vector>

namespace velmora::sim {

struct SimTap {
    uint32_t irLength;  // 2..32
    uint32_t idcode;
    bool cpld;  // the CPLD's private instructions and array
};

// TAP 0 is nearest TDI. One to four TAPs; the chain starts in
// Test-Logic-Reset. Default: the CPLD alone.
bool SetJtagChain(unsigned card, const std::vector<SimTap>& taps);
std::optional<std::vector<uint8_t>> CpldArray(unsigned card);
// Shorter data leave the rest erased (1 bits).
bool LoadCpldArray(unsigned card, const std::vector<uint8_t>& data);

// The last SimProgState::kLineLogCapacity line words written (accepted),
// oldest first.
std::vector<uint32_t> ProgrammingLineLog(unsigned card);
bool ClearProgrammingLineLog(unsigned card);
// Line words written since power-up (or the last clear of the log).
std::optional<uint64_t> ProgrammingLineCount(unsigned card);

// EPCS1 (default), EPCS4 or EPCS16; the flash comes erased.
bool SetEpcsDensity(unsigned card, uint32_t density);
// The bytes as stored (bit-reversed programming-file bytes); the rest erased.
bool LoadEpcs(unsigned card, const std::vector<uint8_t>& data);
bool EraseEpcs(unsigned card);
std::optional<std::vector<uint8_t>> ReadEpcs(unsigned card);
// Knobs: the silicon ID the flash answers (set by the density), a write in
// progress that never ends (switching it off ends the write), a bit (byte
// address x 8 + bit) that reads 0.
bool SetEpcsSiliconId(unsigned card, uint8_t id);
bool SetEpcsBusyNeverClears(unsigned card, bool on);
bool SetEpcsStuckBit(unsigned card, std::optional<uint32_t> bit);

struct FpgaReloads {
    uint64_t count;     // nCONFIG rising edges since power-up
    uint32_t checksum;  // EpcsChecksum of the flash at the last one
};
std::optional<FpgaReloads> FpgaReloadCount(unsigned card);
// The checksum a reload records for flash contents of one device's size.
uint32_t EpcsChecksum(const std::vector<uint8_t>& stored);

}  // namespace velmora::sim

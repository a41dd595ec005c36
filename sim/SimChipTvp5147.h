#pragma once

#include <cstdint>
#include <optional>

#include "sim/SimChip.h"

namespace velmora::sim {

// Texas Instruments TVP5147 video decoder: a register file with
// - status register 0x3A, whose bits 1 and 2 (horizontal and vertical lock)
//   are set while the input selected in register 0x00 carries a signal;
// - an indirect store of bytes at 24-bit internal addresses: registers
//   0xE8, 0xE9, 0xEA (least significant first) hold the address, a write of
//   0xE0 stores its byte there and a read of 0xE0 gives it back.
class SimChipTvp5147 {
  public:
    static constexpr uint8_t kInputSelect = 0x00;  // all 8 bits: the analog input
    static constexpr uint8_t kStatus = 0x3A;
    static constexpr uint8_t kLocked = 0x06;
    static constexpr uint8_t kIndirectData = 0xE0;
    static constexpr uint8_t kIndirectAddress = 0xE8;  // 0xE8..0xEA

    static void Access(SimChipAccess& access);

    // The byte stored at `address`; nothing when none was.
    static std::optional<uint8_t> IndirectByte(const SimChipState& bench, uint32_t address);
};

}  // namespace velmora::sim

#pragma once

// The UDA1345TS audio codec of the 0x5100 board and the three-wire L3 bus
// that reaches it: the host bit-bangs the lines in FPGA register 0x6C (bit 0
// mode, bit 1 clock, bit 2 data, bit 3 an auxiliary line), and this model
// rebuilds the bytes from the register's changes.

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace velmora::sim {

// One byte the L3 lines carried.
struct SimL3Transfer {
    uint64_t timeUs;   // monotonic microseconds of its last bit
    uint8_t byte;      // bits in the order they came, least significant first
    uint8_t bits;      // 8 for a whole byte; fewer when the mode line cut it short
    uint8_t address;   // 1: clocked with mode low (address phase); 0: data phase
    uint8_t accepted;  // 1: the codec took it (its address, or data for it)
    uint8_t reserved[4];
    bool operator==(const SimL3Transfer&) const = default;
};

// The codec's registers as it holds them.
struct SimAudioCodecRegisters {
    uint8_t status;   // the status byte, as last sent with address 0x16
    uint8_t data[4];  // data registers 0-3, as last sent with address 0x14
    // Bit 0: the status register was written since power-up; bits 1-4: data
    // registers 0-3 were.
    uint8_t written;
    uint8_t auxLine;  // the auxiliary line (0x6C bit 3) as last driven
    uint8_t reserved;
    bool operator==(const SimAudioCodecRegisters&) const = default;
};

// The L3 decoder and the codec, in the card's shared segment. All-zero is
// "not powered up".
struct SimL3State {
    static constexpr unsigned kLogCapacity = 512;

    uint32_t poweredUp;
    uint32_t shift;    // bits of the byte being clocked in
    uint32_t bits;     // how many of them
    uint32_t address;  // the last whole address byte
    uint32_t haveAddress;
    uint32_t reserved;
    SimAudioCodecRegisters codec;
    uint64_t logCount;  // entries ever logged (the log keeps the last ones)
    SimL3Transfer log[kLogCapacity];
};

static_assert(std::is_standard_layout_v<SimL3State>);
static_assert(std::is_trivially_copyable_v<SimL3State>);

// A view of one card's L3 lines and codec for one call, under the card lock.
class SimAudioCodec {
  public:
    static constexpr uint32_t kRegister = 0x6C;
    static constexpr uint32_t kMode = 1u << 0;
    static constexpr uint32_t kClock = 1u << 1;
    static constexpr uint32_t kData = 1u << 2;
    static constexpr uint32_t kAux = 1u << 3;
    // The codec's L3 device address (bits 7..2 of an address byte) and the
    // transfer types of bits 1..0 it answers.
    static constexpr uint8_t kDeviceAddress = 5;
    static constexpr uint8_t kTypeData = 0;
    static constexpr uint8_t kTypeStatus = 2;

    explicit SimAudioCodec(SimL3State& state) : m_state(state) {}

    static void PowerUp(SimL3State& state);

    // A write of 0x6C, with the word it replaced.
    void OnRegisterWrite(uint32_t oldValue, uint32_t newValue);

    size_t CopyLog(SimL3Transfer* out, size_t capacity) const;
    void ClearLog();

  private:
    void Complete(bool address);
    void Log(uint8_t byte, unsigned bits, bool address, bool accepted);

    SimL3State& m_state;
};

}  // namespace velmora::sim

#pragma once

// What the video chips on the card's IIC bus share: their identities, the
// per-card bench state around them (cables, placements, faults) and the
// access record every chip model works on.

#include <cstdint>
#include <type_traits>

namespace velmora::sim {

// The video chip models that can sit on the card's IIC bus. The first five
// are where the board model puts them (and for the 0x5110 board's encoder the
// board version kept in the EEPROM); the last two are on no board of this
// card and answer only where the control API places them.
enum class SimIicChip : uint32_t {
    Adv7180First = 0,   // 0x5110: first video decoder, 0x40
    Adv7180Second = 1,  // 0x5110: second video decoder, 0x42
    Adv7343 = 2,        // 0x5110: video encoder, 0x54 or 0x56
    Tvp5147 = 3,        // 0x5100: video decoder, 0xB8
    Saa7128 = 4,        // 0x5100: video encoder, 0x8C
    Saa7113 = 5,        // no board: video decoder (its driver's address is 0x48)
    Saa7105 = 6,        // no board: video encoder (its driver's address is 0x88)
};

constexpr unsigned kSimIicChipCount = 7;

// The chips' surroundings on one card, in its shared segment. All-zero is
// "not powered up"; SimChips::PowerUp gives the bench its power-up state.
struct SimChipState {
    static constexpr unsigned kInputCodes = 256;
    static constexpr unsigned kStuckCapacity = 8;
    static constexpr unsigned kIndirectCapacity = 64;

    // A register that ignores writes and always reads `value`, on the chip
    // answering at `key` (8-bit address >> 1).
    struct StuckRegister {
        uint8_t used;
        uint8_t key;
        uint8_t reg;
        uint8_t value;
    };

    // One byte of the TVP5147's indirect (24-bit addressed) store.
    struct IndirectByte {
        uint32_t address;
        uint8_t value;
        uint8_t reserved[3];
    };

    uint32_t poweredUp;
    // Per chip, one bit per analog input code (the value of the chip's
    // input-select field): a signal is connected there.
    uint32_t signal[kSimIicChipCount][kInputCodes / 32];
    // Per chip, the 8-bit address the control API placed it at; 0 leaves it
    // where the board puts it (nowhere for the SAA7113 and SAA7105).
    uint8_t placedAddress[kSimIicChipCount];
    uint8_t reserved0;
    StuckRegister stuck[kStuckCapacity];

    // The TVP5147's indirect store: the address registers 0xE8..0xEA live in
    // its register file; the bytes stored through 0xE0 live here.
    uint32_t indirectCount;  // entries in use
    uint32_t indirectLost;   // writes to a new address that found the store full
    IndirectByte indirect[kIndirectCapacity];
};

static_assert(std::is_standard_layout_v<SimChipState>);
static_assert(std::is_trivially_copyable_v<SimChipState>);

// One register byte of one chip moving over the bus, as the chip's model
// sees it. A model decides what the register keeps and what a read sends.
struct SimChipAccess {
    SimChipState& bench;
    SimIicChip chip;
    uint8_t (&registers)[256];
    uint8_t reg;
    bool read;
    uint8_t value;  // written: the byte from the master; read: the byte to send
};

// The chips' bench state and the routing of one access to the chip's model.
class SimChips {
  public:
    explicit SimChips(SimChipState& state) : m_state(state) {}

    // Every input of every chip has a signal, nothing is placed or stuck, the
    // indirect store is empty.
    static void PowerUp(SimChipState& state);

    // Runs one register byte through the stuck-register knob and then the
    // model of `access.chip`. `key` is the chip's address >> 1.
    void Access(SimChipAccess& access, uint8_t key);

    bool Signal(SimIicChip chip, unsigned inputCode) const;
    void SetSignal(SimIicChip chip, unsigned inputCode, bool connected);
    void SetAllSignals(bool connected);

    // False when the knob table is full (setting) or nothing was stuck there
    // (releasing is always true).
    bool SetStuck(uint8_t address, uint8_t reg, bool stuck, uint8_t value);

  private:
    SimChipState& m_state;
};

// A plain register: keeps what is written and reads it back.
void SimPlainRegister(SimChipAccess& access);

}  // namespace velmora::sim

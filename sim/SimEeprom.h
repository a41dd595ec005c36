#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace velmora::sim {

// The card's 256-byte settings EEPROM as it sits in the card's shared
// segment. The bytes are the EEPROM's contents; the image file named in
// `path` holds the same bytes so that they outlive the segment, as a real
// part keeps its contents with the power off. All-zero is "not powered up".
struct SimEepromState {
    static constexpr size_t kSize = 256;
    static constexpr size_t kPathCapacity = 4096;

    uint8_t bytes[kSize];
    // Where the image persists, fixed at power-up so that every process
    // writes to the same file whatever its own environment says; empty when
    // the path did not fit, and then the EEPROM lives in memory only.
    char path[kPathCapacity];
    // Set while the file could not be written; cleared by the next write that
    // reaches it.
    uint32_t persistFailed;
    uint32_t reserved;
};

static_assert(std::is_standard_layout_v<SimEepromState>);
static_assert(std::is_trivially_copyable_v<SimEepromState>);

// A view of one card's EEPROM for one call, made under the card's lock.
class SimEeprom {
  public:
    // The EEPROM's 8-bit IIC address (write; 0xA1 reads).
    static constexpr uint8_t kIicAddress = 0xA0;
    static constexpr size_t kSize = SimEepromState::kSize;

    // Bytes 124-127, little-endian. The factory board version is the first
    // revision whose video encoder answers at 0x56, so a fresh 0x5110 card
    // carries its encoder there.
    static constexpr size_t kBoardVersionOffset = 124;
    static constexpr uint32_t kFactoryBoardVersion = 0x00020100;
    // A board version from which the 0x5110 board's encoder answers at 0x56
    // instead of 0x54.
    static constexpr uint32_t kEncoderAt56FromVersion = 0x00020100;
    // What the board takes for an erased (0xFFFFFFFF) board version.
    static constexpr uint32_t kErasedBoardVersionMeaning = 0x00010000;

    // Bytes 240-252, big-endian fields: word 0, format (1), word 1, dword 0,
    // dword 1. The serial number is dword 0 without its low 16 bits plus the
    // low 16 bits of dword 1; the factory record makes card N's serial
    // kFactorySerialBase + N.
    static constexpr size_t kIdentityOffset = 240;
    static constexpr uint32_t kFactorySerialBase = 0x56531000;
    static constexpr uint16_t kFactoryIdentityWord0 = 0x4B57;
    static constexpr uint16_t kFactoryIdentityWord1 = 0x0001;

    explicit SimEeprom(SimEepromState& state) : m_state(state) {}

    // "card<N>.eeprom" in `stateDir`.
    static std::string FilePath(const std::string& stateDir, unsigned cardIndex);
    // The image a card leaves the factory with.
    static void FactoryImage(unsigned cardIndex, uint8_t (&image)[kSize]);
    static uint32_t FactorySerial(unsigned cardIndex) { return kFactorySerialBase + cardIndex; }

    // Takes the image from the card's file in `stateDir`, a folder already
    // checked. A file that is missing, a link, not exactly 256 bytes long, or
    // that cannot be read, gives the factory image, which then replaces it;
    // but for a missing one, standard error has a line saying so, as it has
    // when the image cannot be stored.
    static void PowerUp(SimEepromState& state, const std::string& stateDir, unsigned cardIndex);

    uint8_t Read(uint8_t address) const { return m_state.bytes[address]; }
    // Stores one byte and writes it through to the file before returning.
    void Write(uint8_t address, uint8_t value);
    // Replaces the whole contents (and the whole file, atomically).
    void Load(const uint8_t (&image)[kSize]);
    void Erase();

    // The board version word as the board reads it (0xFFFFFFFF when erased).
    uint32_t BoardVersion() const;
    std::string Path() const { return m_state.path; }
    // False while the last attempt to write the file failed.
    bool Persisted() const { return m_state.persistFailed == 0; }

  private:
    // Writes the whole image to its file through a temporary file and a
    // rename, so that a reader never finds a half-written image.
    static bool StoreImage(const SimEepromState& state);
    static bool StoreByte(const SimEepromState& state, uint8_t address);

    SimEepromState& m_state;
};

}  // namespace velmora::sim

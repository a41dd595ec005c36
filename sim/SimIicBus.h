#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "sim/SimAudioCodec.h"
#include "sim/SimChip.h"
#include "sim/SimConfig.h"
#include "sim/SimEeprom.h"

namespace velmora::sim {

// One register byte moved over the bus, as the transfer log keeps it.
struct IicTransfer {
    uint64_t timeUs;  // monotonic microseconds
    uint8_t address;  // 8-bit device address with the read/write bit clear
    uint8_t reg;      // the register (sub-address) the byte went to or came from
    uint8_t value;
    uint8_t read;          // 1: the device sent the byte; 0: it was written
    uint8_t acknowledged;  // 0: nobody answered (written bytes lost, read 0xFF)
    uint8_t reserved[3];
    bool operator==(const IicTransfer&) const = default;
};

// The byte engine and everything behind it, in the card's shared segment,
// with the codec's L3 lines beside it (the card's other serial control bus).
// All-zero is "not powered up".
struct SimIicState {
    static constexpr unsigned kChipCount = kSimIicChipCount;
    static constexpr unsigned kRegisterFileSize = 256;
    // Room for a whole card bring-up (EEPROM reads, every chip table).
    static constexpr unsigned kTransferLogCapacity = 4096;

    // Who is on the bus: the EEPROM, then the chips in SimIicChip order.
    static constexpr unsigned kEepromSlot = 0;
    static constexpr unsigned kSlotCount = 1 + kChipCount;
    // Stands for "nobody answered": it keeps the register the master meant,
    // for the transfer log.
    static constexpr unsigned kNobodySlot = kSlotCount;

    enum class Phase : uint32_t {
        Idle = 0,     // no transaction, or the addressed device has let go
        Address = 1,  // after a start: the next byte written is an address
        Write = 2,    // a device took a write address
        Read = 3,     // a device took a read address and sends bytes
    };

    uint32_t poweredUp;
    uint32_t boardId;

    // Bus.
    Phase phase;
    uint32_t address;       // last address byte sent after a start, read bit included
    uint32_t slot;          // the device that answered it, or kNobodySlot
    uint32_t acknowledged;  // the addressed device answered
    uint32_t pointerNext;   // the next byte written sets the register pointer
    uint32_t lastByte;      // received by the last read command (0x60 bits 16-23)
    uint8_t pointer[16];    // each device's register pointer, by slot

    // Fault knobs.
    uint32_t busyStuck;        // 0x60 bit 9 stays set
    uint32_t secondBusyStuck;  // 0x60 bit 15 stays set
    uint32_t absent[4];        // bit (address >> 1): that device does not answer
    uint32_t reserved1;

    uint64_t commandCount;   // byte-engine commands run since power-up
    uint64_t transferCount;  // entries ever logged (the log keeps the last ones)
    IicTransfer transfers[kTransferLogCapacity];

    uint8_t chips[kChipCount][kRegisterFileSize];
    SimChipState bench;  // cables, placements and faults around the chips
    SimEepromState eeprom;
    SimL3State l3;
};

static_assert(SimIicState::kNobodySlot < sizeof(SimIicState::pointer));

static_assert(std::is_standard_layout_v<SimIicState>);
static_assert(std::is_trivially_copyable_v<SimIicState>);

// The FPGA's IIC byte engine in register 0x60 and the devices on its bus: a
// view of one card's SimIicState for one call, made under the card's lock.
class SimIicBus {
  public:
    static constexpr uint32_t kRegister = 0x60;
    // Command word.
    static constexpr uint32_t kGo = 1u << 0;
    static constexpr uint32_t kNotAcknowledge = 1u << 3;
    static constexpr uint32_t kWriteByte = 1u << 4;
    static constexpr uint32_t kReadByte = 1u << 5;
    static constexpr uint32_t kStopAfter = 1u << 6;
    static constexpr uint32_t kStartBefore = 1u << 7;
    // Status word.
    static constexpr uint32_t kBusy = 1u << 9;
    static constexpr uint32_t kSecondBusy = 1u << 15;

    SimIicBus(SimIicState& state, const SimConfig& config, unsigned cardIndex);

    // Brings the bus up idle with the chips' registers cleared, and loads the
    // EEPROM from its file in the configured state folder (or gives it the
    // factory image).
    static void PowerUp(SimIicState& state, const SimConfig& config, unsigned cardIndex,
                        uint32_t boardId);
    // The board model decides which chips answer; for a board ID changed
    // after power-up.
    static void SetBoardId(SimIicState& state, uint32_t boardId);

    // A write of 0x60: with the go bit, runs one byte-engine command
    // synchronously (start, byte out or in, acknowledge, stop).
    void WriteRegister(uint32_t value);
    // What 0x60 reads: bit 9 busy, bit 15 second busy, bits 16-23 the last
    // byte received, nothing else.
    uint32_t ReadRegister() const;

    // The 8-bit address a chip answers at now: where the control API placed
    // it, else where this board carries it; 0 when it is on the bus nowhere.
    uint8_t ChipAddress(SimIicChip chip) const;
    // Puts a chip's model at `address` (8-bit form; the read bit is ignored);
    // 0 puts it back where the board carries it. False for the EEPROM's
    // address.
    bool PlaceChip(SimIicChip chip, uint8_t address);

    // Transfer log, oldest first; returns the number of entries copied.
    size_t CopyTransferLog(IicTransfer* out, size_t capacity) const;
    void ClearTransferLog();

    void SetDeviceAbsent(uint8_t address, bool absent);

  private:
    // The device slot answering `address` (read bit ignored), or -1.
    int SlotAt(uint8_t address) const;
    void SendAddress(uint8_t address);
    void SendByte(uint8_t value);
    uint8_t ReceiveByte();
    // One register byte of one device: what the device keeps, or sends.
    void WriteDevice(unsigned slot, uint8_t reg, uint8_t value);
    uint8_t ReadDevice(unsigned slot, uint8_t reg);
    void Log(uint8_t reg, uint8_t value, bool read);

    SimIicState& m_state;
};

}  // namespace velmora::sim

#pragma once

// The card's programming lines and the devices on them: the JTAG chain with
// the CPLD, and the FPGA's EPCS configuration flash.
//
// The lines are the address bits of 32-bit writes into the BAR-2 window (line
// word = byte offset / 4): TMS 0x1000, TDI 0x800, TCK 0x400, DCLK 0x40,
// nCS 0x20, ASDI 0x10, nCONFIG 0x08, nCE 0x04; 0x200, 0x100 and 0x80 are
// fixed levels, and 0x80 chooses the input the bridge's USERi pin (PLX
// register 0x6C bit 17) reads: TDO when set, else DATA from the flash (1 when
// the flash does not drive it). The lines reach the devices only while the
// bridge's USERo pin (0x6C bit 16) is low.
//
// JTAG chain: up to four TAPs, TDI into the first, TDO from the last; each an
// IEEE 1149.1 controller whose IR captures 01, with IDCODE (instruction 6,
// selected after Test-Logic-Reset) and BYPASS (all ones, and every
// instruction the TAP does not know). The CPLD's 10-bit IR adds these
// private instructions, which act only between ENABLE and DISABLE (or a
// Test-Logic-Reset):
//   0x2CC ENABLE        1-bit data register
//   0x201 DISABLE       1-bit data register
//   0x2F2 BULK_ERASE    1-bit; after kCpldEraseClocks clocks in Run-Test/Idle
//                       every array bit becomes 1
//   0x203 ROW_ADDRESS   8-bit; Update-DR selects row (value mod kCpldRows)
//   0x2F4 PROGRAM_ROW   64-bit; Update-DR latches the data, and after
//                       kCpldProgramClocks clocks in Run-Test/Idle the row
//                       becomes row AND data
//   0x205 READ_ROW      64-bit; Capture-DR loads the selected row
// Fewer Run-Test/Idle clocks (TMS low) than asked change nothing; an Update of the IR
// or DR starts the count again. Row r holds array bits 64r .. 64r + 63, bit 0
// of the row shifted first. The array (kCpldRows x 64 bits) persists in
// "card<N>.cpld" in the state folder.
//
// EPCS flash (EPCS1, 4 or 16): reachable only while nCONFIG is low; bits in
// on DCLK rising edges and out on falling edges, most significant first, so
// a byte the programmer sends least significant bit first is stored
// bit-reversed. Instructions: 0x06 write enable, 0xC7 bulk erase, 0x05 read
// status (repeated while selected; bit 0 write in progress, bit 1 write
// enable latch), 0x02 page program (3 address bytes, data ANDed into the
// page, wrapping within it), 0x03 read (3 address bytes), 0xAB silicon ID
// (after 3 dummy bytes). Erase and page program take effect when nCS rises
// after whole bytes with the latch set; the flash is then busy for
// kEraseBusyReads or kPageBusyReads status bytes and ignores everything but
// read status. The contents persist in "card<N>.epcs". Each rising edge of
// nCONFIG is an FPGA reload: it is counted with the checksum of the flash
// (PlayedChecksum of the whole device); the FPGA's registers are not touched
// by it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace velmora::sim {

struct SimTapState {
    uint32_t irLength;  // 2..32
    uint32_t idcode;
    uint32_t isCpld;
    uint32_t instruction;
    uint64_t shift;     // the selected register while it shifts (LSB nearest TDO)
    uint32_t drLength;  // length of the register selected by the instruction
    uint32_t reserved;
};

struct SimProgState {
    static constexpr unsigned kMaxTaps = 4;
    static constexpr unsigned kLineLogCapacity = 8192;
    static constexpr unsigned kCpldRows = 64;
    static constexpr unsigned kCpldRowBytes = 8;
    static constexpr unsigned kCpldBytes = kCpldRows * kCpldRowBytes;
    static constexpr uint32_t kMaxFlashSize = 2u << 20;
    static constexpr size_t kPathCapacity = 4096;

    uint32_t lineWord;       // last word written
    uint32_t deliveredWord;  // last word that reached the devices
    uint64_t lineLogCount;
    uint32_t lineLog[kLineLogCapacity];

    // JTAG.
    uint32_t tapCount;
    uint32_t tapState;  // 0..15 as the host's TapState numbers them
    SimTapState taps[kMaxTaps];
    uint32_t cpldEnabled;
    uint32_t cpldRow;
    uint32_t cpldIdleClocks;
    uint32_t cpldProgramPending;
    uint64_t cpldLatch;
    uint8_t cpldArray[kCpldBytes];

    // EPCS flash.
    uint32_t epcsSize;
    uint32_t siliconId;
    uint32_t busyNeverClears;
    uint32_t stuckBitSet;  // stuckBit is valid
    uint32_t stuckBit;     // flash bit address (byte x 8 + bit) that reads 0
    uint32_t writeEnable;
    uint32_t busyReads;  // status bytes still to show busy
    uint32_t selected;   // nCS low while reachable
    uint32_t inBits;     // bits of the byte being received
    uint32_t inByte;
    uint32_t byteCount;  // whole bytes received in this selection
    uint32_t opcode;
    uint32_t address;
    uint32_t output;  // the instruction's output phase has begun
    uint32_t outBits;
    uint32_t outByte;
    uint32_t dataLevel;
    uint32_t pageCount;
    uint8_t page[256];
    uint64_t reloads;
    uint32_t reloadChecksum;
    uint32_t reserved;
    uint8_t flash[kMaxFlashSize];

    char cpldPath[kPathCapacity];
    char epcsPath[kPathCapacity];
};

static_assert(std::is_standard_layout_v<SimProgState>);
static_assert(std::is_trivially_copyable_v<SimProgState>);

// A view of one card's programming lines for one call, made under the
// card's lock.
class SimProgramming {
  public:
    static constexpr uint32_t kIdcodeInstruction = 0x006;
    static constexpr uint32_t kCpldIrLength = 10;
    static constexpr uint32_t kCpldIdcode = 0x0A0B10DD;
    static constexpr uint32_t kCpldEnable = 0x2CC;
    static constexpr uint32_t kCpldDisable = 0x201;
    static constexpr uint32_t kCpldBulkErase = 0x2F2;
    static constexpr uint32_t kCpldRowAddress = 0x203;
    static constexpr uint32_t kCpldProgramRow = 0x2F4;
    static constexpr uint32_t kCpldReadRow = 0x205;
    static constexpr uint32_t kCpldEraseClocks = 400;
    static constexpr uint32_t kCpldProgramClocks = 40;
    static constexpr uint32_t kEraseBusyReads = 40;
    static constexpr uint32_t kPageBusyReads = 3;
    static constexpr uint32_t kEpcs1SiliconId = 0x10;

    // Line word bits.
    static constexpr uint32_t kTms = 0x1000, kTdi = 0x800, kTck = 0x400, kSelectTdo = 0x80;
    static constexpr uint32_t kDclk = 0x40, kNcs = 0x20, kAsdi = 0x10, kNconfig = 0x08;

    explicit SimProgramming(SimProgState& state) : m_state(state) {}

    // Chain of the CPLD alone, EPCS1, contents from the files in `stateDir`;
    // `state` is the zero-filled one of a card's new block.
    static void PowerUp(SimProgState& state, const std::string& stateDir, unsigned cardIndex);

    // One line write; `reach` says whether the lines reach the devices.
    void WriteLine(uint32_t word, bool reach);
    // The level USERi reads now.
    uint32_t InputLevel() const;

    // Control: the chain (TAP 0 nearest TDI), the flash density (1, 4 or 16,
    // which also sets the silicon ID; contents erased) and contents.
    bool SetChain(const SimTapState* taps, unsigned count);
    bool SetEpcsDensity(uint32_t density);
    void LoadFlash(const uint8_t* data, uint32_t size);
    void EraseFlash();
    void LoadCpld(const uint8_t* data, uint32_t size);
    uint32_t FlashChecksum() const;

  private:
    void JtagClock(bool tms, bool tdi);
    void EnterState(uint32_t next);
    void CaptureDr(SimTapState& tap);
    void UpdateDr(SimTapState& tap);
    void UpdateIr(SimTapState& tap);
    void IdleClock(SimTapState& tap);
    uint64_t CpldRow(uint32_t row) const;
    void SetCpldRow(uint32_t row, uint64_t value);

    void FlashSelect(bool select);
    void FlashRise(bool asdi);
    void FlashFall();
    void FlashByte(uint8_t value);
    uint8_t FlashOutput();
    void FlashDeselect();
    void FlashReload();
    uint8_t FlashRead(uint32_t address) const;
    void PersistFlash(uint32_t offset, uint32_t size);
    void PersistCpld();

    SimProgState& m_state;
};

}  // namespace velmora::sim

#pragma once

// The DVB-ASI input and output engine of the simulated card: two rings of
// 256-byte entries in card memory that the FPGA fills from the ASI input and
// drains to the ASI output, as card time passes.
//
// Input entries: a 4-byte header the card leaves zero, then the packet of the
// length set by block C bit 5; a 188-byte packet taken in as 204 bytes comes
// with 16 zero bytes where its parity would be, and the rest of the entry is
// zero. Output entries: H (bytes 0-1) and L (bytes 2-3), big-endian, then the
// packet; the entry leaves the ring once its packet and its idle bytes are
// out, P + (P - 1) x H + L + 2 byte times after the previous one (or after the
// commit that ended an idle spell).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>

#include "sim/SimConfig.h"
#include "sim/SimStep.h"

namespace velmora::sim {

// What feeds the ASI input. None is a disconnected cable: no signal.
enum class SimAsiSource : uint32_t { None = 0, Generator = 1, File = 2, Loopback = 3 };

// Fault knob of the input: what happens to chosen packets of one PID as they
// arrive from the generator or a file.
enum class SimAsiInputFaultKind : uint32_t {
    None = 0,
    Drop = 1,            // the packet never reaches the ring
    Duplicate = 2,       // the packet arrives twice in a row
    BadSyncByte = 3,     // byte 0 arrives as 0x00
    TransportError = 4,  // transport_error_indicator arrives set
};

// Packets of `pid` arriving after the knob was set are numbered from 0; the
// fault hits packet `first` and every `interval`-th one after it (interval 0:
// only `first`), `count` packets in all. `hit` counts the packets it hit.
struct SimAsiInputFault {
    SimAsiInputFaultKind kind;
    uint32_t pid;
    uint32_t first;
    uint32_t interval;
    uint32_t count;
    uint32_t seen;  // packets of the PID arrived since the knob was set
    uint32_t hit;
};

// One packet as the output played it.
struct SimAsiPlayedPacket {
    static constexpr uint32_t kMaxLength = 204;
    uint64_t sequence;    // 0 for the first packet played since power-up
    uint64_t playedTick;  // card time (27 MHz ticks) its last byte left the card
    uint32_t length;      // 188 or 204: the packet length in force when it was played
    uint16_t spacingH;    // the entry's pacing fields
    uint16_t spacingL;
    uint8_t bytes[kMaxLength];
};

// The engine's whole state, in the card's shared segment. All zero is "not
// powered up"; PowerUp gives the power-up values. The words before `monitor`
// are what a step of the engine changes.
struct SimAsiState {
    static constexpr uint32_t kMonitorCapacity = 256;
    static constexpr uint32_t kPathCapacity = 512;
    static constexpr uint32_t kWordsCapacity = 256;

    uint32_t poweredUp;
    SimAsiSource source;
    uint32_t invalidStatus;  // fault knob: the status nibble reads a value that is not 5
    // C bit 6 (before 0x50103) or 0x170 bit 5 (from 0x50103), as last written.
    // Kept for the control API only: the simulated output plays every entry
    // at its own pacing in either mode.
    uint32_t outputMode;

    // Ring pointers, card word addresses inside their windows.
    uint32_t inputWrite;   // the FPGA's (read at 0x204)
    uint32_t inputRead;    // the host's, as last committed
    uint32_t outputRead;   // the FPGA's (read at 0x250)
    uint32_t outputWrite;  // the host's, as last committed

    uint64_t lastTick;  // card time (27 MHz ticks) of the last catch-up

    // Input: source packets arrive at `inputRate` bits a second from the
    // origin on: packet rateOriginArrival + k arrives complete at the tick
    // rateOriginTick + (k + 1) x kPacketBitTicks / inputRate.
    uint32_t inputRate;
    uint32_t rateOverride;  // VELMORA_SIM_ASI_RATE; 0 = the source's own
    uint64_t rateOriginTick;
    uint64_t rateOriginArrival;
    uint64_t arrivals;      // source packets that have arrived so far (the next one is `arrivals`)
    uint64_t sourceOrigin;  // arrival number at which the file source started (its packet 0)
    uint64_t captured;      // packets written into the input ring since power-up
    uint64_t overflows;     // packets lost to a full input ring since power-up
    uint32_t countBase;     // the received count's value at power-up
    uint32_t unusedCount;

    // Output: the entry at outputRead started at outputStartTick.
    uint64_t outputStartTick;
    uint64_t sent;    // packets played since power-up
    uint64_t tapEnd;  // the tap file's byte where the next record goes

    SimAsiInputFault inputFault;

    // Output monitor: the last kMonitorCapacity packets played; entry
    // (sent - 1) % kMonitorCapacity is the latest.
    SimAsiPlayedPacket monitor[kMonitorCapacity];

    char filePath[kPathCapacity];  // the file source, zero-terminated
    // The output tap: when set, every packet played is appended to this file
    // as one SimAsiPlayedPacket record, whichever process plays it.
    char tapPath[kPathCapacity];

    SimStepJournal<kWordsCapacity> step;
};

static_assert(std::is_standard_layout_v<SimAsiState>);
static_assert(std::is_trivially_copyable_v<SimAsiState>);
static_assert(offsetof(SimAsiState, monitor) <= SimAsiState::kWordsCapacity);

// A light view of one card's ASI engine on the locked card state, for one
// request. Holds no state of its own (the file source keeps a process-local
// index of its file, rebuilt on demand).
class SimAsiEngine {
  public:
    // Registers (BAR 3 byte offsets) and bits.
    static constexpr uint32_t kRegAsiStatus = 0x16C;
    static constexpr uint32_t kRegTsControl = 0x170;
    static constexpr uint32_t kRegBlockC = 0x200;
    static constexpr uint32_t kRegInputWritePointer = 0x204;
    static constexpr uint32_t kRegOutputReadPointer = 0x250;
    static constexpr uint32_t kRegInputReadPointer = 0x260;
    static constexpr uint32_t kRegOutputWritePointer = 0x264;
    static constexpr uint32_t kRegFpgaVersion = 0xF0;

    static constexpr uint32_t kCInputCommit = 1u << 0;
    static constexpr uint32_t kCOutputCommit = 1u << 2;
    static constexpr uint32_t kCInputEnable = 1u << 4;
    static constexpr uint32_t kCPacket204 = 1u << 5;
    static constexpr uint32_t kCOutputModeOld = 1u << 6;
    static constexpr uint32_t kTsControlOutputMode = 1u << 5;
    // 0x16C bit 7: committed output entries wait to be played (the output runs).
    static constexpr uint32_t kStatusOutputBit = 1u << 7;
    static constexpr uint32_t kSignalPresent = 5;    // the status nibble with an input signal
    static constexpr uint32_t kInvalidSignal = 0xA;  // what the "invalid status" knob reports
    static constexpr uint32_t kSplitVersion = 0x50103;

    // Rings (card word addresses; byte address = 4 x word).
    static constexpr uint32_t kInputFirst = 0x465400;
    static constexpr uint32_t kInputEnd = 0x5FA400;
    static constexpr uint32_t kOutputFirst = 0x5FA400;
    static constexpr uint32_t kOutputEnd = 0x78F400;
    static constexpr uint32_t kUnitWords = 0x40;
    static constexpr uint32_t kUnitBytes = 256;
    static constexpr uint32_t kUnits = 0x6540;

    // Timing: card time in 27 MHz ticks; the output sends 27,000,000 bytes/s
    // (one byte per tick). The generator, a file without PCRs, delivers one
    // packet every kSourcePacketTicks; a file with them at its own rate.
    static constexpr uint64_t kTicksPerUs = 27;
    static constexpr uint64_t kSourcePacketTicks = 4000;  // 6750 packets/s
    // A 188-byte packet's bits times the ticks of a second.
    static constexpr uint64_t kPacketBitTicks = 188 * 8 * 27000000ull;
    static constexpr uint32_t kDefaultInputRate = kPacketBitTicks / kSourcePacketTicks;

    // bar3: the card's 4 KiB register file (words); memory: the 32 MiB of card memory.
    SimAsiEngine(SimAsiState& state, uint32_t* bar3, uint8_t* memory, const SimConfig& config,
                 unsigned cardIndex);

    // Power-up values: empty rings, the configured source, the status word.
    static void PowerUp(SimAsiState& state, uint32_t* bar3, const SimConfig& config);

    // Produces input and consumes output up to this card time. Card time never
    // runs backwards; an earlier time is ignored. After a long idle gap this
    // costs at most about one ring's worth of work per direction.
    void CatchUp(uint64_t cardTimeUs);

    // Puts back the words of a step that a holder of the card's lock left
    // half done as it died, and the registers that show them; the next
    // catch-up does the step again.
    static void UndoTornStep(SimAsiState& state, uint32_t* bar3);

    // A BAR-3 write the FPGA model routes here (after storing the new word):
    // block C, 0x260, 0x264, 0x170. Call after CatchUp for the same request.
    void OnRegisterWrite(uint32_t offset, uint32_t oldValue, uint32_t newValue);

    // Computed reads: 0x204, 0x250 and 0x16C; false = not mine, use the stored word.
    bool ReadRegister(uint32_t offset, uint32_t* value);

    // Live counts (low 32 bits), latched by the FPGA model into 0x54/0x58.
    // The captured count is of every packet the enabled input received,
    // whether or not the ring had room for it: what a reader did not get
    // is told by it.
    uint32_t CapturedPacketCount() const;
    uint32_t SentPacketCount() const;

    // Control: switch the input source at run time. File needs a readable
    // path (at most kPathCapacity - 1 bytes); false and no change otherwise.
    bool SetSource(SimAsiSource source, const char* path = nullptr);
    // True while the input has a signal (the status nibble reads 5).
    bool SignalPresent() const;
    // The packet length the FPGA works with now (C bit 5).
    uint32_t PacketLength() const;
    // The stored output mode.
    uint32_t OutputMode() const;
    // Bits a second at which the timed sources deliver now.
    uint32_t InputRate() const { return m_state.inputRate; }
    // A rate for every timed source from now on; 0 gives each its own again.
    void SetRateOverride(uint32_t bitsPerSecond);

    // Runs `hook` once, in this process, half-way through the next step of
    // card `cardIndex`'s engine that this process runs and that plays a
    // packet (`output`) or captures several: after the first of them, with
    // the rest of the step to come and the card's lock held. A later call
    // replaces a hook that has not run.
    static void RunInsideNextStep(unsigned cardIndex, bool output, std::function<void()> hook);

  private:
    bool InputEnabled() const;
    uint32_t InputFreeUnits() const;
    uint32_t StatusWord() const;
    void Publish();
    void WriteInputEntry(const uint8_t* packet, size_t size);
    // A source packet into the ring, through the fault knob.
    void DeliverSourcePacket(uint8_t* packet, size_t size);
    void DeliverLoopback(const uint8_t* packet, size_t size);
    void RunOutput(uint64_t now);
    void AppendToTap(const SimAsiPlayedPacket* played, size_t count);
    void RunInput(uint64_t now);
    // The source packets due by card tick `now`.
    uint64_t DueArrivals(uint64_t now) const;
    // Takes the rate of the source now set, from the arrivals so far on.
    void RestartInputClock();
    void RunStepHook(bool output) const;

    SimAsiState& m_state;
    uint32_t* m_bar3;
    uint8_t* m_memory;
    unsigned m_cardIndex;
};

}  // namespace velmora::sim

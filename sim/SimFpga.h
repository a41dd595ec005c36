#pragma once

// The FPGA of the simulated card: its registers, its time base and the
// port-0 frame and sample rings. The ASI engine and the IIC bus behind it have
// models of their own; this one routes their registers to them.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "sim/SimConfig.h"
#include "sim/SimStep.h"

namespace velmora::sim {

struct SimCardState;

// Where the audio capture ring's blocks come from: the card's test tone, or
// the audio played out, as through a cable from the output to the input.
enum class AudioInput : uint32_t { Tone = 0, Loopback = 1 };

// One port-0 ring of eight units as the FPGA keeps it.
struct SimFpgaRing {
    static constexpr uint32_t kUnits = 8;
    uint32_t write;  // w: the next unit the writer side fills
    uint32_t read;   // r: the next unit the reader side takes
    uint32_t count;  // n: filled units, 0..8
    uint32_t done;   // bit 29 of the status word
    // Playback rings: what the strobe latched with each unit (stamp in 10 µs
    // ticks as the host wrote it, the card time the unit is due at; audio
    // control word 0xEC).
    uint64_t stamp[kUnits];
    uint32_t control[kUnits];
    uint64_t filled;   // capture: units filled since power-up
    uint64_t dropped;  // capture: frames lost to a full ring since power-up
};

// What the card did with one played unit.
struct SimPlayedUnit {
    uint32_t unit;      // ring index 0..7
    uint32_t control;   // audio: the 0xEC word latched with the unit; video: 0
    uint64_t stamp;     // the stamp latched with the unit, 10 µs ticks
    uint64_t frame;     // the boundary it was played at: video the card frame number,
                        // audio the block number (card time / SimAudioTone::kBlockUs)
    uint32_t checksum;  // SimFpga::Checksum of the unit's bytes as played
    uint32_t reserved;
};

// The played-unit monitor of one playback ring: a count and the most recent
// units, oldest overwritten first.
struct SimPlayMonitor {
    static constexpr uint32_t kHistory = 32;
    uint64_t played;                  // units played since power-up
    SimPlayedUnit history[kHistory];  // entry (played - 1) % kHistory is the latest
};

// The words before `lastFrame` are what a step of the FPGA changes, with
// the field clock's in the card's header.
struct SimFpgaState {
    static constexpr uint32_t kVideoFrameBytes = 720 * 576 * 2;
    static constexpr uint32_t kAudioBlockBytes = 16384;
    static constexpr uint32_t kWordsCapacity = 4096;

    uint32_t poweredUp;
    uint32_t cardStatus;  // what 0x14 reads
    VideoInput videoInput;
    uint32_t readDoneNeverRises;  // fault knob: bit 29 of the port-0 rings never rises
    uint32_t badRingNumbers;      // fault knob: ring numbers read 8 or more
    uint32_t lastFramePlayed;     // 0 until a frame was played (loopback then gives black)

    // Card time base. Within one clock epoch (one clock mode, one video
    // standard) card time is linear in the field count: field f starts at
    // anchorUs + offset(f - anchorField), and in realtime card time itself
    // runs as anchorUs + (now - the card's clockEpochUs).
    uint64_t anchorUs;
    uint64_t anchorField;
    uint64_t frameBoundary;  // frame boundaries handled so far (field count / 2)
    uint64_t audioBoundary;  // audio block boundaries handled so far (card time / 40 ms)
    // The card time the live counters last showed, and the monotonic time it
    // was taken at (0: take a new one).
    uint64_t counterUs;
    uint64_t counterTakenAtUs;

    SimFpgaRing videoCapture;
    SimFpgaRing videoPlayback;
    SimFpgaRing audioCapture;
    SimFpgaRing audioPlayback;
    SimPlayMonitor playedVideo;
    SimPlayMonitor playedAudio;

    // The audio cable of the loopback: the pairs played and not yet taken by
    // a capture block, oldest at cableHead. It runs whichever input capture
    // listens to. It starts to deliver once it holds a block and a few pairs
    // more (primed), since played and captured blocks of one frame differ by
    // up to a pair or two.
    static constexpr uint32_t kCablePairs = 8192;
    static constexpr uint32_t kCableMargin = 4;
    AudioInput audioInput;
    uint32_t cablePrimed;
    uint32_t cableHead;
    uint32_t cableCount;

    // The last frame the card played out, the loopback video source, is
    // lastFrame[lastFrameIndex]: a frame played goes into the other one, so
    // that a step done again captures the frame it captured the first time.
    uint32_t lastFrameIndex;
    uint8_t lastFrame[2][kVideoFrameBytes];
    // The last audio block the card played out.
    uint8_t lastAudio[kAudioBlockBytes];
    // The audio cable's pairs.
    uint32_t cable[kCablePairs];

    SimStepJournal<kWordsCapacity> step;
};

static_assert(std::is_standard_layout_v<SimFpgaState>);
static_assert(std::is_trivially_copyable_v<SimFpgaState>);

// A light view of one card's FPGA, built on the locked card state for one
// request. Holds no state of its own.
class SimFpga {
  public:
    // Register offsets (BAR 3).
    static constexpr uint32_t kRegBlockA = 0x10;
    static constexpr uint32_t kRegCardStatus = 0x14;
    static constexpr uint32_t kRegFieldStatus = 0x18;
    static constexpr uint32_t kRegBoardId = 0x1C;
    static constexpr uint32_t kRegScratch = 0x50;
    static constexpr uint32_t kRegAsiCaptured = 0x54;
    static constexpr uint32_t kRegAsiSent = 0x58;
    static constexpr uint32_t kRegIic = 0x60;
    static constexpr uint32_t kRegClockLow = 0x68;
    static constexpr uint32_t kRegBlockB = 0x90;
    static constexpr uint32_t kRegVideoCaptureStatus = 0x94;
    static constexpr uint32_t kRegVideoPlaybackStatus = 0x98;
    static constexpr uint32_t kRegVideoCaptureEntry = 0x9C;  // + 4i, low word
    static constexpr uint32_t kRegVideoPlaybackStampLow = 0xBC;
    static constexpr uint32_t kRegAudioCaptureStatus = 0xC0;
    static constexpr uint32_t kRegAudioPlaybackStatus = 0xC4;
    static constexpr uint32_t kRegAudioCaptureEntry = 0xC8;  // + 4i, low word
    static constexpr uint32_t kRegAudioPlaybackStampLow = 0xE8;
    static constexpr uint32_t kRegAudioControl = 0xEC;
    static constexpr uint32_t kRegFpgaVersion = 0xF0;
    static constexpr uint32_t kRegClockHigh = 0x100;
    static constexpr uint32_t kRegVideoPlaybackStampHigh = 0x110;
    static constexpr uint32_t kRegAudioPlaybackStampHigh = 0x114;
    static constexpr uint32_t kRegVideoCaptureStampHigh = 0x118;  // + 4i
    static constexpr uint32_t kRegAudioCaptureStampHigh = 0x138;  // + 4i
    static constexpr uint32_t kRegCounter1Low = 0x158;
    static constexpr uint32_t kRegCounter1High = 0x15C;
    static constexpr uint32_t kRegCounter2Low = 0x160;
    static constexpr uint32_t kRegCounter2High = 0x164;
    static constexpr uint32_t kRegBlockC = 0x200;
    static constexpr uint32_t kRegBlockD = 0x300;

    // Block A bits.
    static constexpr uint32_t kAFieldInterrupt = 1u << 1;
    static constexpr uint32_t kAVideoCapture = 1u << 2;
    static constexpr uint32_t kANtsc = 1u << 12;
    static constexpr uint32_t kAAcknowledge = 1u << 21;
    static constexpr uint32_t kALatch = 1u << 22;
    // Block B bits.
    static constexpr uint32_t kBVideoCaptureStrobe = 1u << 2;
    static constexpr uint32_t kBVideoPlaybackStrobe = 1u << 3;
    static constexpr uint32_t kBVideoCaptureRequest = 1u << 5;
    static constexpr uint32_t kBVideoPlaybackFlush = 1u << 6;
    static constexpr uint32_t kBAudioCaptureStrobe = 1u << 7;
    static constexpr uint32_t kBAudioPlaybackStrobe = 1u << 8;
    static constexpr uint32_t kBAudioCaptureRequest = 1u << 9;
    static constexpr uint32_t kBAudioPlaybackFlush = 1u << 10;
    static constexpr uint32_t kBAudioCapture = 1u << 11;

    // Card memory (byte addresses) of the port-0 rings.
    static constexpr uint32_t kVideoCaptureBase = 0x195000;
    static constexpr uint32_t kVideoPlaybackBase = 0x7E9000;
    static constexpr uint32_t kAudioCaptureBase = 0xE3D000;
    static constexpr uint32_t kAudioPlaybackBase = 0xE5D000;

    // Status word bits.
    static constexpr uint32_t kStatusDone = 1u << 29;
    static constexpr uint32_t kStatusEmpty = 1u << 30;
    static constexpr uint32_t kStatusFull = 1u << 31;

    SimFpga(SimCardState& card, const SimConfig& config);

    // Power-up values of the FPGA and, through them, of the ASI engine and the
    // IIC bus. Runs once, on the zero-filled state of a card being created,
    // after the identity words and the field clock were set.
    static void PowerUp(SimCardState& card, const SimConfig& config);
    // Puts back what the steps of the card's hardware that a holder of the
    // card's lock left half done as it died had changed.
    static void UndoTornSteps(SimCardState& card);
    // The last frame the card played out.
    static const uint8_t* LastFrame(const SimFpgaState& state) {
        return state.lastFrame[state.lastFrameIndex];
    }

    // The field clock: whole fields since power-up. A change of the video
    // standard (block A bit 12) starts a new epoch here, so the count never
    // jumps.
    uint64_t FieldCount(uint64_t nowUs);
    // Card time in microseconds: monotonic since the card's epoch (realtime
    // clock), or driven by the field clock (manual: a step of N fields moves
    // it N field periods). Never runs backwards, also across mode changes.
    uint64_t CardTimeUs(uint64_t nowUs);
    // Switching keeps both the field count and card time where they stand.
    void SetClockMode(ClockMode mode, uint64_t nowUs);
    // Manual clock only; false otherwise.
    bool StepFields(uint64_t fields, uint64_t nowUs);

    // Brings the rings and the ASI engine up to the present. A few
    // comparisons when nothing is due; a long idle gap costs no more than a
    // ring's worth of frames. Video moves at the frame boundaries, audio at
    // the block boundaries of its own clock; a queued playback unit is played
    // at the first boundary not before its stamp.
    void CatchUp(uint64_t nowUs);

    // BAR-3 accesses, under the card lock and after CatchUp. WriteRegister
    // runs after the new word was stored at `offset` and may put back the old
    // one (registers the host cannot write).
    uint32_t ReadRegister(uint32_t offset, uint64_t nowUs);
    void WriteRegister(uint32_t offset, uint32_t oldValue, uint32_t newValue, uint64_t nowUs);

    // The status word of a ring as the host reads it, fault knobs applied.
    uint32_t RingStatus(const SimFpgaRing& ring) const;
    // The card clock in 10 µs ticks, as the latch and the stamps give it.
    uint64_t Ticks(uint64_t nowUs) { return CardTimeUs(nowUs) / 10; }
    // What the live counters show: the card clock in 10 µs ticks, held for
    // kCounterHoldUs of real time after each new look, so that a 64-bit read
    // made of two word reads, done twice to see it stable, finds one value
    // even over a slow bus. Never older than the last frame boundary.
    static constexpr uint64_t kCounterHoldUs = 50;
    uint64_t CounterTicks(uint64_t nowUs);

    // The checksum of the played-unit monitors: FNV-1a over 64-bit
    // little-endian words (then the bytes left over), folded to 32 bits.
    static uint32_t Checksum(const uint8_t* data, size_t size);

    // Microseconds from the start of one field to the start of the field
    // `fields` later.
    static uint64_t FieldOffsetUs(uint64_t fields, bool ntsc);

  private:
    using Step = SimStep<SimFpgaState::kWordsCapacity>;
    Step OpenStep();

    bool Ntsc() const;
    // Card time at the start of field `field` of the current epoch.
    uint64_t FieldStartUs(uint64_t field) const;
    // Starts a new epoch at the current field count, which begins at
    // `cardTimeUs`.
    void Reanchor(uint64_t cardTimeUs);

    void AdvanceFrames(uint64_t target);
    void AdvanceBlocks(uint64_t target);
    // The first frame boundary of the current epoch at or after card time
    // `ticks`.
    uint64_t FirstFrameAt(uint64_t ticks) const;
    void OnFrameBoundary(uint64_t frame);
    void OnAudioBoundary(uint64_t block);
    void Capture(SimFpgaRing& ring, uint32_t entryLow, uint32_t entryHigh, uint64_t ticks,
                 bool video, uint64_t boundary);
    void Play(SimFpgaRing& ring, SimPlayMonitor& monitor, bool video, uint64_t boundary,
              uint64_t ticks);
    // The audio cable: a played block puts its pairs on it, each frame
    // boundary takes a capture block's worth off (into `block`, or lost when
    // it is null).
    void PlayToCable(const uint8_t* block, uint32_t control);
    void TakeFromCable(uint8_t* block, uint32_t pairs);

    void OnBlockA(uint32_t oldValue, uint32_t newValue, uint64_t nowUs);
    void OnBlockB(uint32_t oldValue, uint32_t newValue);
    void Latch(uint64_t nowUs);
    // Keeps the stored ring status words what a read gives, for peeks.
    void StoreStatus();

    SimCardState& m_card;
    SimFpgaState& m_state;
    uint32_t* m_bar3;
    const SimConfig& m_config;
};

}  // namespace velmora::sim

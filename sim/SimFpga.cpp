#include "sim/SimFpga.h"

#include <algorithm>
#include <cstring>

#include "sim/SimAsiEngine.h"
#include "sim/SimAudioTone.h"
#include "sim/SimCard.h"
#include "sim/SimIicBus.h"
#include "sim/SimVideoPattern.h"

namespace velmora::sim {

static_assert(SimFpgaState::kVideoFrameBytes == SimVideoPattern::kFrameBytes);
static_assert(SimFpgaState::kAudioBlockBytes == SimAudioTone::kBlockBytes);
static_assert(SimFpga::kAudioPlaybackBase + 8 * SimFpgaState::kAudioBlockBytes <=
              SimCardState::kMemorySize);

namespace {

constexpr uint32_t kUnits = SimFpgaRing::kUnits;

uint32_t Next(uint32_t index) {
    return (index + 1) % kUnits;
}

bool Rose(uint32_t oldValue, uint32_t newValue, uint32_t bit) {
    return !(oldValue & bit) && (newValue & bit);
}

bool Fell(uint32_t oldValue, uint32_t newValue, uint32_t bit) {
    return (oldValue & bit) && !(newValue & bit);
}

// Pairs in a played audio block whose control word gives cycle position
// `position`: what the host's resampler makes of one 48 kHz frame there,
// ceil((k + 1) x 2,109.375) - ceil(k x 2,109.375).
uint32_t PlayedPairs(uint32_t position) {
    const auto before = [](uint64_t k) {
        return (k * SimAudioTone::kPairsPerCycle + SimAudioTone::kBlocksPerCycle - 1) /
               SimAudioTone::kBlocksPerCycle;
    };
    position %= SimAudioTone::kBlocksPerCycle;
    return static_cast<uint32_t>(before(position + 1) - before(position));
}

uint64_t FieldsIn(uint64_t elapsedUs, bool ntsc) {
    // NTSC fields last 1001/60 ms, PAL fields 20 ms.
    return ntsc ? elapsedUs * 60 / 1001000 : elapsedUs / 20000;
}

// When the next unit of a playback ring is due, in 10 µs ticks of card time.
// The host writes a stamp as a signed time: one before card time 0 is due at
// once. Stamps further ahead than about 20 years count as that far, so that
// the arithmetic on them cannot overflow.
uint64_t DueTicks(const SimFpgaRing& ring) {
    constexpr int64_t kFarTicks = int64_t{1} << 46;
    return static_cast<uint64_t>(
        std::clamp(static_cast<int64_t>(ring.stamp[ring.read]), int64_t{0}, kFarTicks));
}

// The first audio block boundary at or after card time `ticks`.
uint64_t FirstBlockAt(uint64_t ticks) {
    constexpr uint64_t kTicksPerBlock = SimAudioTone::kBlockUs / 10;
    return (ticks + kTicksPerBlock - 1) / kTicksPerBlock;
}

// The last boundary up to `target` that can pass with nothing but drops: the
// capture ring is stopped or full and the next playback unit falls due at
// boundary `due` or later. `handled` when the next boundary has work to do.
uint64_t QuietUntil(uint64_t handled, uint64_t target, bool captureOn, const SimFpgaRing& capture,
                    const SimFpgaRing& playback, uint64_t due) {
    if (captureOn && capture.count < kUnits) return handled;
    if (playback.count == 0 || due > target) return target;
    return due > handled ? due - 1 : handled;
}

// Moves `boundary` on to `target`: at most one ring's worth of boundaries
// does real work (onBoundary) and then those at which a queued unit falls due
// (firstDue); the rest of a gap only counts what the capture ring loses, and
// onQuiet says what else stands still meanwhile. Each boundary, or gap, is a
// step of its own (openStep).
template <typename OpenStep, typename FirstDue, typename OnQuiet, typename OnBoundary>
void AdvanceBoundaries(uint64_t& boundary, uint64_t target, bool captureOn, SimFpgaRing& capture,
                       const SimFpgaRing& playback, OpenStep openStep, FirstDue firstDue,
                       OnQuiet onQuiet, OnBoundary onBoundary) {
    while (boundary < target) {
        const auto step = openStep();
        const uint64_t quiet =
            QuietUntil(boundary, target, captureOn, capture, playback, firstDue());
        if (quiet > boundary) {
            if (captureOn) capture.dropped += quiet - boundary;
            onQuiet();
            boundary = quiet;
            continue;
        }
        ++boundary;
        onBoundary(boundary);
    }
}

// Registers the FPGA drives and the host only reads: a write leaves them be.
bool IsReadOnly(uint32_t offset) {
    switch (offset) {
        case SimFpga::kRegCardStatus:
        case SimFpga::kRegFieldStatus:
        case SimFpga::kRegBoardId:
        case SimFpga::kRegAsiCaptured:
        case SimFpga::kRegAsiSent:
        case SimFpga::kRegClockLow:
        case SimFpga::kRegClockHigh:
        case SimFpga::kRegFpgaVersion:
        case SimFpga::kRegVideoCaptureStatus:
        case SimFpga::kRegVideoPlaybackStatus:
        case SimFpga::kRegAudioCaptureStatus:
        case SimFpga::kRegAudioPlaybackStatus:
        case SimFpga::kRegCounter1Low:
        case SimFpga::kRegCounter1High:
        case SimFpga::kRegCounter2Low:
        case SimFpga::kRegCounter2High:
            return true;
        default:
            break;
    }
    const auto within = [offset](uint32_t first) {
        return offset >= first && offset < first + 4 * kUnits;
    };
    return within(SimFpga::kRegVideoCaptureEntry) || within(SimFpga::kRegAudioCaptureEntry) ||
           within(SimFpga::kRegVideoCaptureStampHigh) || within(SimFpga::kRegAudioCaptureStampHigh);
}

// The words a step of the FPGA changes: the field clock's and its own.
SimWords ClockWords(SimCardState& card) {
    return {&card.clockMode, offsetof(SimCardState, clockBase) + sizeof(card.clockBase) -
                                 offsetof(SimCardState, clockMode)};
}

SimWords FpgaWords(SimFpgaState& state) {
    return {&state, offsetof(SimFpgaState, lastFrame)};
}

static_assert(offsetof(SimCardState, clockBase) + sizeof(uint64_t) -
                  offsetof(SimCardState, clockMode) + offsetof(SimFpgaState, lastFrame) <=
              SimFpgaState::kWordsCapacity);

}  // namespace

SimFpga::SimFpga(SimCardState& card, const SimConfig& config)
    : m_card(card), m_state(card.fpga), m_bar3(card.bar3), m_config(config) {}

void SimFpga::PowerUp(SimCardState& card, const SimConfig& config) {
    SimFpgaState& s = card.fpga;
    s.cardStatus = 0;
    s.videoInput = config.videoInput;
    s.anchorUs = 0;
    s.anchorField = card.clockBase;
    s.frameBoundary = card.clockBase / 2;
    s.audioBoundary = 0;
    SimFpga fpga(card, config);
    fpga.StoreStatus();
    card.bar3[kRegBoardId / 4] = card.boardId;
    card.bar3[kRegFpgaVersion / 4] = card.fpgaVersion;
    s.poweredUp = 1;

    SimIicBus::PowerUp(card.iic, config, card.cardIndex, card.boardId);
    SimAsiEngine::PowerUp(card.asi, card.bar3, config);
}

void SimFpga::UndoTornSteps(SimCardState& card) {
    if (Step::Undo(card.fpga.step, {ClockWords(card), FpgaWords(card.fpga)})) {
        const SimConfig config;
        SimFpga(card, config).StoreStatus();
    }
    SimAsiEngine::UndoTornStep(card.asi, card.bar3);
}

SimFpga::Step SimFpga::OpenStep() {
    return Step(m_state.step, {ClockWords(m_card), FpgaWords(m_state)});
}

uint32_t SimFpga::Checksum(const uint8_t* data, size_t size) {
    // FNV-1a taken a 64-bit word at a time: a frame is hashed at each play
    // under the card's lock, so it has to be quick.
    constexpr uint64_t kPrime = 1099511628211ull;
    uint64_t hash = 14695981039346656037ull;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        hash = (hash ^ word) * kPrime;
    }
    for (; i < size; ++i)
        hash = (hash ^ data[i]) * kPrime;
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

bool SimFpga::Ntsc() const {
    return m_card.clockNtsc != 0;
}

uint64_t SimFpga::FieldOffsetUs(uint64_t fields, bool ntsc) {
    // The first microsecond at which FieldsIn counts the field as begun.
    return ntsc ? (fields * 1001000 + 59) / 60 : fields * 20000;
}

uint64_t SimFpga::FieldStartUs(uint64_t field) const {
    const uint64_t fields = field > m_state.anchorField ? field - m_state.anchorField : 0;
    return m_state.anchorUs + FieldOffsetUs(fields, Ntsc());
}

void SimFpga::Reanchor(uint64_t cardTimeUs) {
    m_state.anchorUs = cardTimeUs;
    m_state.anchorField = m_card.clockBase;
}

uint64_t SimFpga::FieldCount(uint64_t nowUs) {
    SimCardState& c = m_card;
    const uint32_t ntsc = (m_bar3[kRegBlockA / 4] & kANtsc) ? 1 : 0;
    if (ntsc != c.clockNtsc) {
        // The fields of the old standard end here; card time goes on.
        const Step step = OpenStep();
        const uint64_t timeUs = CardTimeUs(nowUs);
        if (c.clockMode == ClockMode::Realtime) {
            const uint64_t elapsed = nowUs > c.clockEpochUs ? nowUs - c.clockEpochUs : 0;
            c.clockBase += FieldsIn(elapsed, c.clockNtsc != 0);
            c.clockEpochUs = nowUs;
        }
        c.clockNtsc = ntsc;
        Reanchor(timeUs);
        return c.clockBase;
    }
    if (c.clockMode == ClockMode::Manual) return c.clockBase;
    const uint64_t elapsed = nowUs > c.clockEpochUs ? nowUs - c.clockEpochUs : 0;
    return c.clockBase + FieldsIn(elapsed, ntsc != 0);
}

uint64_t SimFpga::CardTimeUs(uint64_t nowUs) {
    const SimCardState& c = m_card;
    if (c.clockMode == ClockMode::Manual) return FieldStartUs(c.clockBase);
    return m_state.anchorUs + (nowUs > c.clockEpochUs ? nowUs - c.clockEpochUs : 0);
}

void SimFpga::SetClockMode(ClockMode mode, uint64_t nowUs) {
    CatchUp(nowUs);
    const Step step = OpenStep();
    SimCardState& c = m_card;
    const uint64_t timeUs = CardTimeUs(nowUs);
    c.clockBase = FieldCount(nowUs);
    c.clockEpochUs = nowUs;
    c.clockMode = mode;
    Reanchor(timeUs);
    m_state.counterTakenAtUs = 0;
}

bool SimFpga::StepFields(uint64_t fields, uint64_t nowUs) {
    if (m_card.clockMode != ClockMode::Manual) return false;
    m_card.clockBase += fields;
    CatchUp(nowUs);
    return true;
}

void SimFpga::CatchUp(uint64_t nowUs) {
    const uint64_t frames = FieldCount(nowUs) / 2;
    const uint64_t blocks = CardTimeUs(nowUs) / SimAudioTone::kBlockUs;
    if (frames != m_state.frameBoundary || blocks != m_state.audioBoundary) {
        AdvanceFrames(frames);
        AdvanceBlocks(blocks);
        // A stamp just taken is never ahead of what the counters show.
        m_state.counterTakenAtUs = 0;
        StoreStatus();
    }
    SimAsiEngine(m_card.asi, m_bar3, m_card.memory, m_config, m_card.cardIndex)
        .CatchUp(CardTimeUs(nowUs));
}

void SimFpga::AdvanceFrames(uint64_t target) {
    SimFpgaState& s = m_state;
    AdvanceBoundaries(
        s.frameBoundary, target, m_bar3[kRegBlockA / 4] & kAVideoCapture, s.videoCapture,
        s.videoPlayback, [this] { return OpenStep(); },
        [&] { return FirstFrameAt(DueTicks(s.videoPlayback)); }, [] {},
        [&](uint64_t boundary) { OnFrameBoundary(boundary); });
}

void SimFpga::AdvanceBlocks(uint64_t target) {
    SimFpgaState& s = m_state;
    AdvanceBoundaries(
        s.audioBoundary, target, m_bar3[kRegBlockB / 4] & kBAudioCapture, s.audioCapture,
        s.audioPlayback, [this] { return OpenStep(); },
        [&] { return FirstBlockAt(DueTicks(s.audioPlayback)); },
        // Nothing is played meanwhile, so the audio cable runs dry.
        [&] {
            s.cableCount = 0;
            s.cablePrimed = 0;
        },
        [&](uint64_t boundary) { OnAudioBoundary(boundary); });
}

uint64_t SimFpga::FirstFrameAt(uint64_t ticks) const {
    // The first field that begins at or after the time, counted as
    // FieldOffsetUs counts them.
    const uint64_t us = ticks * 10;
    const uint64_t fields =
        us > m_state.anchorUs ? FieldsIn(us - m_state.anchorUs - 1, Ntsc()) + 1 : 0;
    return (m_state.anchorField + fields + 1) / 2;
}

void SimFpga::OnFrameBoundary(uint64_t frame) {
    const uint64_t ticks = FieldStartUs(frame * 2) / 10;
    // What is captured at a boundary was on the input during the frame that
    // ends there, so a looped-back frame comes back one frame after it was
    // played, as through a cable.
    if (m_bar3[kRegBlockA / 4] & kAVideoCapture) {
        Capture(m_state.videoCapture, kRegVideoCaptureEntry, kRegVideoCaptureStampHigh, ticks, true,
                frame);
    }
    Play(m_state.videoPlayback, m_state.playedVideo, true, frame, ticks);
}

void SimFpga::OnAudioBoundary(uint64_t block) {
    const uint64_t ticks = block * SimAudioTone::kBlockUs / 10;
    const uint64_t audioBlocks = m_state.audioCapture.filled;
    if (m_bar3[kRegBlockB / 4] & kBAudioCapture) {
        Capture(m_state.audioCapture, kRegAudioCaptureEntry, kRegAudioCaptureStampHigh, ticks,
                false, block);
    }
    // The cable runs on when no capture block takes the block it carried.
    if (m_state.audioCapture.filled == audioBlocks) {
        TakeFromCable(nullptr, SimAudioTone::PairsInBlock(audioBlocks));
    }
    Play(m_state.audioPlayback, m_state.playedAudio, false, block, ticks);
}

void SimFpga::Capture(SimFpgaRing& ring, uint32_t entryLow, uint32_t entryHigh, uint64_t ticks,
                      bool video, uint64_t boundary) {
    if (ring.count >= kUnits) {
        ++ring.dropped;
        return;
    }
    const uint32_t unit = ring.write;
    if (video) {
        uint8_t* target = m_card.memory + kVideoCaptureBase + unit * SimFpgaState::kVideoFrameBytes;
        if (m_state.videoInput == VideoInput::Loopback) {
            if (m_state.lastFramePlayed) {
                std::memcpy(target, LastFrame(m_state), SimFpgaState::kVideoFrameBytes);
            } else {
                SimVideoPattern::FillBlack(target);
            }
        } else {
            SimVideoPattern::Fill(target, boundary);
        }
    } else {
        // The tone runs on across the blocks the card kept; the block count
        // keeps unit k at cycle position k, as the capture worker expects.
        uint8_t* block = m_card.memory + kAudioCaptureBase + unit * SimFpgaState::kAudioBlockBytes;
        const uint32_t pairs = SimAudioTone::PairsInBlock(ring.filled);
        if (m_state.audioInput == AudioInput::Loopback) {
            std::memset(block, 0, SimFpgaState::kAudioBlockBytes);
            TakeFromCable(block, pairs);
        } else {
            SimAudioTone::Fill(block, ring.filled);
            TakeFromCable(nullptr, pairs);
        }
    }
    m_bar3[entryLow / 4 + unit] = static_cast<uint32_t>(ticks);
    m_bar3[entryHigh / 4 + unit] = static_cast<uint32_t>(ticks >> 32);
    ring.write = Next(ring.write);
    ++ring.count;
    ++ring.filled;
}

void SimFpga::Play(SimFpgaRing& ring, SimPlayMonitor& monitor, bool video, uint64_t boundary,
                   uint64_t ticks) {
    // A unit not yet due waits, and the output shows what it showed; a late
    // one plays at once.
    if (ring.count == 0 || DueTicks(ring) > ticks) return;
    const uint32_t unit = ring.read;
    const uint32_t bytes = video ? SimFpgaState::kVideoFrameBytes : SimFpgaState::kAudioBlockBytes;
    const uint8_t* source =
        m_card.memory + (video ? kVideoPlaybackBase : kAudioPlaybackBase) + unit * bytes;
    if (video) {
        const uint32_t other = 1 - m_state.lastFrameIndex;
        std::memcpy(m_state.lastFrame[other], source, bytes);
        m_state.lastFrameIndex = other;
        m_state.lastFramePlayed = 1;
    } else {
        std::memcpy(m_state.lastAudio, source, bytes);
        PlayToCable(source, ring.control[unit]);
    }

    SimPlayedUnit& record = monitor.history[monitor.played % SimPlayMonitor::kHistory];
    record = {};
    record.unit = unit;
    record.control = video ? 0 : ring.control[unit];
    record.stamp = ring.stamp[unit];
    record.frame = boundary;
    record.checksum = Checksum(source, bytes);
    ++monitor.played;

    ring.read = Next(ring.read);
    --ring.count;
}

void SimFpga::PlayToCable(const uint8_t* block, uint32_t control) {
    SimFpgaState& s = m_state;
    const uint32_t pairs = PlayedPairs(control);
    for (uint32_t i = 0; i < pairs; ++i) {
        // A cable nobody listens to long enough keeps only its latest pairs.
        if (s.cableCount == SimFpgaState::kCablePairs) {
            s.cableHead = (s.cableHead + 1) % SimFpgaState::kCablePairs;
            --s.cableCount;
        }
        std::memcpy(&s.cable[(s.cableHead + s.cableCount) % SimFpgaState::kCablePairs],
                    block + i * 4, 4);
        ++s.cableCount;
    }
}

void SimFpga::TakeFromCable(uint8_t* block, uint32_t pairs) {
    SimFpgaState& s = m_state;
    if (!s.cablePrimed) {
        if (s.cableCount < pairs + SimFpgaState::kCableMargin) return;
        s.cablePrimed = 1;
    }
    const uint32_t taken = s.cableCount < pairs ? s.cableCount : pairs;
    for (uint32_t i = 0; block != nullptr && i < taken; ++i)
        std::memcpy(block + i * 4, &s.cable[(s.cableHead + i) % SimFpgaState::kCablePairs], 4);
    s.cableHead = (s.cableHead + taken) % SimFpgaState::kCablePairs;
    s.cableCount -= taken;
    // Run dry: playback stopped. Silence until the cable fills again.
    if (taken < pairs) s.cablePrimed = 0;
}

uint64_t SimFpga::CounterTicks(uint64_t nowUs) {
    SimFpgaState& s = m_state;
    if (m_card.clockMode == ClockMode::Manual) return Ticks(nowUs);
    if (s.counterTakenAtUs == 0 || nowUs < s.counterTakenAtUs ||
        nowUs - s.counterTakenAtUs >= kCounterHoldUs) {
        s.counterUs = CardTimeUs(nowUs);
        s.counterTakenAtUs = nowUs;
    }
    return s.counterUs / 10;
}

uint32_t SimFpga::RingStatus(const SimFpgaRing& ring) const {
    uint32_t write = ring.write;
    uint32_t read = ring.read;
    if (m_state.badRingNumbers) {
        write += kUnits;
        read += kUnits;
    }
    const bool done = ring.done && !m_state.readDoneNeverRises;
    return write | (read << 8) | (done ? kStatusDone : 0) | (ring.count == 0 ? kStatusEmpty : 0) |
           (ring.count >= kUnits ? kStatusFull : 0);
}

void SimFpga::StoreStatus() {
    m_bar3[kRegVideoCaptureStatus / 4] = RingStatus(m_state.videoCapture);
    m_bar3[kRegVideoPlaybackStatus / 4] = RingStatus(m_state.videoPlayback);
    m_bar3[kRegAudioCaptureStatus / 4] = RingStatus(m_state.audioCapture);
    m_bar3[kRegAudioPlaybackStatus / 4] = RingStatus(m_state.audioPlayback);
}

uint32_t SimFpga::ReadRegister(uint32_t offset, uint64_t nowUs) {
    switch (offset) {
        case kRegCardStatus:
            return m_state.cardStatus;
        case kRegFieldStatus:
            return static_cast<uint32_t>(FieldCount(nowUs) & 1);
        case kRegBoardId:
            return m_card.boardId;
        case kRegFpgaVersion:
            return m_card.fpgaVersion;
        case kRegVideoCaptureStatus:
            return RingStatus(m_state.videoCapture);
        case kRegVideoPlaybackStatus:
            return RingStatus(m_state.videoPlayback);
        case kRegAudioCaptureStatus:
            return RingStatus(m_state.audioCapture);
        case kRegAudioPlaybackStatus:
            return RingStatus(m_state.audioPlayback);
        case kRegCounter1Low:
        case kRegCounter2Low:
            return static_cast<uint32_t>(CounterTicks(nowUs));
        case kRegCounter1High:
        case kRegCounter2High:
            return static_cast<uint32_t>(CounterTicks(nowUs) >> 32);
        case kRegIic:
            return SimIicBus(m_card.iic, m_config, m_card.cardIndex).ReadRegister();
        default:
            break;
    }
    uint32_t value = 0;
    if (SimAsiEngine(m_card.asi, m_bar3, m_card.memory, m_config, m_card.cardIndex)
            .ReadRegister(offset, &value)) {
        return value;
    }
    return m_bar3[offset / 4];
}

void SimFpga::WriteRegister(uint32_t offset, uint32_t oldValue, uint32_t newValue, uint64_t nowUs) {
    if (IsReadOnly(offset)) {
        m_bar3[offset / 4] = oldValue;
        return;
    }
    switch (offset) {
        case kRegBlockA:
            OnBlockA(oldValue, newValue, nowUs);
            break;
        case kRegBlockB:
            OnBlockB(oldValue, newValue);
            break;
        case kRegIic:
            SimIicBus(m_card.iic, m_config, m_card.cardIndex).WriteRegister(newValue);
            break;
        case SimAudioCodec::kRegister:
            // The codec's L3 lines: the word is stored as written, the codec
            // watches its edges.
            SimAudioCodec(m_card.iic.l3).OnRegisterWrite(oldValue, newValue);
            break;
        case SimAsiEngine::kRegBlockC:
        case SimAsiEngine::kRegTsControl:
        case SimAsiEngine::kRegInputReadPointer:
        case SimAsiEngine::kRegOutputWritePointer:
            SimAsiEngine(m_card.asi, m_bar3, m_card.memory, m_config, m_card.cardIndex)
                .OnRegisterWrite(offset, oldValue, newValue);
            break;
        default:
            break;
    }
}

void SimFpga::OnBlockA(uint32_t oldValue, uint32_t newValue, uint64_t nowUs) {
    // A change of standard ends the epoch of the old one right here.
    if ((oldValue ^ newValue) & kANtsc) FieldCount(nowUs);
    if (Rose(oldValue, newValue, kALatch)) Latch(nowUs);
    // Capture enable is a level, looked at on each frame boundary; the
    // acknowledge needs no state, as field interrupts reach each process as
    // events of its own.
}

void SimFpga::Latch(uint64_t nowUs) {
    SimAsiEngine asi(m_card.asi, m_bar3, m_card.memory, m_config, m_card.cardIndex);
    const uint64_t ticks = Ticks(nowUs);
    m_bar3[kRegAsiCaptured / 4] = asi.CapturedPacketCount();
    m_bar3[kRegAsiSent / 4] = asi.SentPacketCount();
    m_bar3[kRegClockLow / 4] = static_cast<uint32_t>(ticks);
    m_bar3[kRegClockHigh / 4] = static_cast<uint32_t>(ticks >> 32);
}

void SimFpga::OnBlockB(uint32_t oldValue, uint32_t newValue) {
    const Step step = OpenStep();
    SimFpgaState& s = m_state;
    const auto request = [&](SimFpgaRing& ring, uint32_t bit) {
        // The FPGA answers a read request at once, full ring or empty; the
        // "never rises" knob is applied where the status word is read.
        if (Rose(oldValue, newValue, bit)) ring.done = 1;
        if (Fell(oldValue, newValue, bit)) ring.done = 0;
    };
    const auto release = [&](SimFpgaRing& ring, uint32_t bit) {
        if (Rose(oldValue, newValue, bit) && ring.count > 0) {
            ring.read = Next(ring.read);
            --ring.count;
        }
    };
    const auto flush = [&](SimFpgaRing& ring, uint32_t bit) {
        if (Rose(oldValue, newValue, bit)) {
            ring.read = ring.write;
            ring.count = 0;
            ring.done = 1;
        }
        if (Fell(oldValue, newValue, bit)) ring.done = 0;
    };
    const auto queue = [&](SimFpgaRing& ring, uint32_t bit, uint32_t flushBit, uint32_t stampLow,
                           uint32_t stampHigh, bool audio) {
        // A strobe into a full ring, or while the ring is held flushed, finds
        // no unit to take it.
        if (!Rose(oldValue, newValue, bit) || ring.count >= kUnits || (newValue & flushBit)) return;
        const uint32_t unit = ring.write;
        ring.stamp[unit] = m_bar3[stampLow / 4] | (uint64_t{m_bar3[stampHigh / 4]} << 32);
        ring.control[unit] = audio ? m_bar3[kRegAudioControl / 4] : 0;
        ring.write = Next(ring.write);
        ++ring.count;
    };

    request(s.videoCapture, kBVideoCaptureRequest);
    request(s.audioCapture, kBAudioCaptureRequest);
    release(s.videoCapture, kBVideoCaptureStrobe);
    release(s.audioCapture, kBAudioCaptureStrobe);
    flush(s.videoPlayback, kBVideoPlaybackFlush);
    flush(s.audioPlayback, kBAudioPlaybackFlush);
    queue(s.videoPlayback, kBVideoPlaybackStrobe, kBVideoPlaybackFlush, kRegVideoPlaybackStampLow,
          kRegVideoPlaybackStampHigh, false);
    queue(s.audioPlayback, kBAudioPlaybackStrobe, kBAudioPlaybackFlush, kRegAudioPlaybackStampLow,
          kRegAudioPlaybackStampHigh, true);
    StoreStatus();
}

}  // namespace velmora::sim

#include "sim/SimAsiEngine.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/SimAsiFileSource.h"
#include "sim/SimTsGenerator.h"

namespace velmora::sim {

namespace {

using Engine = SimAsiEngine;
using Step = SimStep<SimAsiState::kWordsCapacity>;

SimWords Words(SimAsiState& state) {
    return {&state, offsetof(SimAsiState, monitor)};
}

bool InWindow(uint32_t pointer, uint32_t first, uint32_t end) {
    return pointer >= first && pointer < end && (pointer - first) % Engine::kUnitWords == 0;
}

uint32_t Advance(uint32_t pointer, uint32_t first, uint32_t end) {
    pointer += Engine::kUnitWords;
    return pointer >= end ? first : pointer;
}

// Units from `from` up to `to`, going forward round the ring.
uint32_t Distance(uint32_t from, uint32_t to) {
    const uint32_t words =
        to >= from ? to - from : Engine::kUnits * Engine::kUnitWords - (from - to);
    return words / Engine::kUnitWords;
}

uint16_t BigEndian16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool CopyPath(SimAsiState& state, const char* path) {
    const size_t length = std::strlen(path);
    if (length == 0 || length >= SimAsiState::kPathCapacity) return false;
    std::memset(state.filePath, 0, sizeof(state.filePath));
    std::memcpy(state.filePath, path, length);
    return true;
}

// The test hook of RunInsideNextStep. Never destroyed: a process's end may
// still run a step.
struct StepHook {
    std::atomic<bool> armed{false};
    std::mutex mutex;
    unsigned card = 0;
    bool output = false;
    std::function<void()> run;
};

StepHook& TheStepHook() {
    static StepHook& hook = *new StepHook;
    return hook;
}

}  // namespace

SimAsiEngine::SimAsiEngine(SimAsiState& state, uint32_t* bar3, uint8_t* memory,
                           const SimConfig& config, unsigned cardIndex)
    : m_state(state), m_bar3(bar3), m_memory(memory), m_cardIndex(cardIndex) {
    // Everything per card lives in the state; the configuration only matters at power-up.
    (void)config;
}

void SimAsiEngine::RunInsideNextStep(unsigned cardIndex, bool output, std::function<void()> hook) {
    StepHook& step = TheStepHook();
    std::lock_guard lock(step.mutex);
    step.card = cardIndex;
    step.output = output;
    step.run = std::move(hook);
    step.armed = static_cast<bool>(step.run);
}

void SimAsiEngine::RunStepHook(bool output) const {
    StepHook& step = TheStepHook();
    if (!step.armed.load(std::memory_order_relaxed)) return;
    std::function<void()> run;
    {
        std::lock_guard lock(step.mutex);
        if (step.card != m_cardIndex || step.output != output) return;
        std::swap(run, step.run);
        step.armed = false;
    }
    if (run) run();
}

void SimAsiEngine::PowerUp(SimAsiState& state, uint32_t* bar3, const SimConfig& config) {
    std::memset(&state, 0, sizeof(state));
    switch (config.asiInput) {
        case AsiInput::Generator:
            state.source = SimAsiSource::Generator;
            break;
        case AsiInput::Loopback:
            state.source = SimAsiSource::Loopback;
            break;
        case AsiInput::File:
            if (CopyPath(state, config.asiFile.c_str())) {
                state.source = SimAsiSource::File;
            } else {
                std::fprintf(stderr, "velmora sim: ASI input file \"%s\" is not usable; no input\n",
                             config.asiFile.c_str());
                state.source = SimAsiSource::None;
            }
            break;
    }
    state.rateOverride = config.asiRate;
    state.inputWrite = kInputFirst;
    state.inputRead = kInputFirst;
    state.outputRead = kOutputFirst;
    state.outputWrite = kOutputFirst;
    bar3[kRegInputReadPointer / 4] = kInputFirst;
    bar3[kRegOutputWritePointer / 4] = kOutputFirst;
    state.poweredUp = 1;
    SimAsiEngine engine(state, bar3, nullptr, config, 0);
    engine.RestartInputClock();
    engine.Publish();
}

void SimAsiEngine::RestartInputClock() {
    uint32_t rate = m_state.rateOverride;
    if (rate == 0 && m_state.source == SimAsiSource::File) {
        const auto file = SimAsiFileSource::Open(m_state.filePath);
        if (file) rate = file->MeasuredRate();
    }
    if (rate == 0) rate = kDefaultInputRate;
    // The same rate keeps its schedule: packets go on arriving in step.
    if (rate == m_state.inputRate) return;
    m_state.inputRate = rate;
    m_state.rateOriginTick = m_state.lastTick;
    m_state.rateOriginArrival = m_state.arrivals;
}

void SimAsiEngine::SetRateOverride(uint32_t bitsPerSecond) {
    m_state.rateOverride = bitsPerSecond;
    RestartInputClock();
}

uint64_t SimAsiEngine::DueArrivals(uint64_t now) const {
    if (now <= m_state.rateOriginTick) return m_state.rateOriginArrival;
    const unsigned __int128 bitTicks =
        static_cast<unsigned __int128>(now - m_state.rateOriginTick) * m_state.inputRate;
    return m_state.rateOriginArrival + static_cast<uint64_t>(bitTicks / kPacketBitTicks);
}

uint32_t SimAsiEngine::PacketLength() const {
    return (m_bar3[kRegBlockC / 4] & kCPacket204) ? 204 : 188;
}

uint32_t SimAsiEngine::OutputMode() const {
    return m_state.outputMode;
}

bool SimAsiEngine::SignalPresent() const {
    switch (m_state.source) {
        case SimAsiSource::Generator:
        case SimAsiSource::Loopback:
            return true;
        case SimAsiSource::File:
            return SimAsiFileSource::Playable(m_state.filePath);
        case SimAsiSource::None:
            break;
    }
    return false;
}

bool SimAsiEngine::InputEnabled() const {
    return (m_bar3[kRegBlockC / 4] & kCInputEnable) != 0;
}

uint32_t SimAsiEngine::InputFreeUnits() const {
    // The write pointer stops one unit short of the read pointer: equal means empty.
    return kUnits - 1 - Distance(m_state.inputRead, m_state.inputWrite);
}

uint32_t SimAsiEngine::StatusWord() const {
    uint32_t nibble = SignalPresent() ? kSignalPresent : 0;
    if (m_state.invalidStatus) nibble = kInvalidSignal;
    uint32_t status = m_state.outputRead != m_state.outputWrite ? kStatusOutputBit : 0;
    status |= m_bar3[kRegFpgaVersion / 4] >= kSplitVersion ? nibble << 16 : nibble;
    return status;
}

void SimAsiEngine::Publish() {
    // The stored words follow the model so that a look at the raw register
    // file shows what the host would read.
    m_bar3[kRegInputWritePointer / 4] = m_state.inputWrite;
    m_bar3[kRegOutputReadPointer / 4] = m_state.outputRead;
    m_bar3[kRegAsiStatus / 4] = StatusWord();
}

void SimAsiEngine::WriteInputEntry(const uint8_t* packet, size_t size) {
    uint8_t* entry = m_memory + uint64_t{m_state.inputWrite} * 4;
    // The header is the card's own and carries nothing here; a 188-byte
    // packet taken as 204 comes with 16 zero bytes where the parity would be.
    std::memset(entry, 0, kUnitBytes);
    std::memcpy(entry + 4, packet, std::min<size_t>(size, PacketLength()));
    m_state.inputWrite = Advance(m_state.inputWrite, kInputFirst, kInputEnd);
    ++m_state.captured;
}

void SimAsiEngine::DeliverSourcePacket(uint8_t* packet, size_t size) {
    SimAsiInputFault& fault = m_state.inputFault;
    const uint32_t pid = static_cast<uint32_t>(packet[1] & 0x1F) << 8 | packet[2];
    if (fault.kind == SimAsiInputFaultKind::None || pid != fault.pid) {
        WriteInputEntry(packet, size);
        return;
    }
    const uint32_t index = fault.seen++;
    const bool chosen =
        fault.hit < fault.count && index >= fault.first &&
        (fault.interval == 0 ? index == fault.first : (index - fault.first) % fault.interval == 0);
    if (!chosen) {
        WriteInputEntry(packet, size);
        return;
    }
    ++fault.hit;
    switch (fault.kind) {
        case SimAsiInputFaultKind::Drop:
            return;
        case SimAsiInputFaultKind::Duplicate:
            WriteInputEntry(packet, size);
            // The copy needs a unit of its own; without one it is lost.
            if (InputFreeUnits() == 0) {
                ++m_state.overflows;
                return;
            }
            break;
        case SimAsiInputFaultKind::BadSyncByte:
            packet[0] = 0x00;
            break;
        case SimAsiInputFaultKind::TransportError:
            packet[1] |= 0x80;
            break;
        case SimAsiInputFaultKind::None:
            break;
    }
    WriteInputEntry(packet, size);
}

void SimAsiEngine::DeliverLoopback(const uint8_t* packet, size_t size) {
    if (m_state.source != SimAsiSource::Loopback || !InputEnabled()) return;
    if (InputFreeUnits() == 0) {
        ++m_state.overflows;
        return;
    }
    WriteInputEntry(packet, size);
}

void SimAsiEngine::AppendToTap(const SimAsiPlayedPacket* played, size_t count) {
    if (m_state.tapPath[0] == 0 || count == 0) return;
    // Where the step's words say, so that a step done again writes its
    // records over the same ones.
    const int tap = open(m_state.tapPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (tap < 0) return;
    const size_t bytes = count * sizeof(SimAsiPlayedPacket);
    if (pwrite(tap, played, bytes, static_cast<off_t>(m_state.tapEnd)) ==
        static_cast<ssize_t>(bytes)) {
        m_state.tapEnd += bytes;
    }
    close(tap);
}

void SimAsiEngine::RunOutput(uint64_t now) {
    const uint32_t length = PacketLength();
    std::vector<SimAsiPlayedPacket> tapped;
    while (m_state.outputRead != m_state.outputWrite) {
        const uint8_t* entry = m_memory + uint64_t{m_state.outputRead} * 4;
        const uint16_t h = BigEndian16(entry);
        const uint16_t l = BigEndian16(entry + 2);
        // The packet, then (P - 1) x H + L + 2 idle bytes, one byte per tick.
        const uint64_t duration = length + uint64_t{length - 1} * h + l + 2;
        const uint64_t end = m_state.outputStartTick + duration;
        if (end > now) break;

        SimAsiPlayedPacket& played = m_state.monitor[m_state.sent % SimAsiState::kMonitorCapacity];
        std::memset(&played, 0, sizeof(played));
        played.sequence = m_state.sent;
        played.playedTick = end;
        played.length = length;
        played.spacingH = h;
        played.spacingL = l;
        std::memcpy(played.bytes, entry + 4, length);
        if (m_state.tapPath[0] != 0) tapped.push_back(played);
        ++m_state.sent;
        RunStepHook(true);
        DeliverLoopback(played.bytes, length);

        m_state.outputRead = Advance(m_state.outputRead, kOutputFirst, kOutputEnd);
        m_state.outputStartTick = end;
    }
    AppendToTap(tapped.data(), tapped.size());
}

void SimAsiEngine::RunInput(uint64_t now) {
    const uint64_t due = DueArrivals(now);
    if (due <= m_state.arrivals) return;
    const uint64_t arriving = due - m_state.arrivals;
    const uint64_t first = m_state.arrivals;
    m_state.arrivals = due;

    const bool timed =
        m_state.source == SimAsiSource::Generator || m_state.source == SimAsiSource::File;
    if (!timed || !InputEnabled()) return;

    std::shared_ptr<const SimAsiFileSource> file;
    if (m_state.source == SimAsiSource::File) {
        file = SimAsiFileSource::Open(m_state.filePath);
        if (!file || file->PacketCount() == 0) return;
    }
    // Packets that find the ring full are lost; only those that fit are made,
    // so a long idle gap costs at most one ring's worth of work.
    const uint64_t fits = std::min<uint64_t>(arriving, InputFreeUnits());
    uint8_t packet[SimTsGenerator::kPacketSize];
    uint64_t written = 0;
    for (; written < fits; ++written) {
        const uint64_t arrival = first + written;
        if (file) {
            if (!file->ReadPacket(arrival - m_state.sourceOrigin, packet)) break;
        } else {
            SimTsGenerator::Packet(arrival, packet);
        }
        DeliverSourcePacket(packet, sizeof(packet));
        if (written + 1 < fits) RunStepHook(false);
    }
    // A file that became unreadable half-way is a lost signal, not an overflow.
    if (written == fits) m_state.overflows += arriving - fits;
}

void SimAsiEngine::CatchUp(uint64_t cardTimeUs) {
    if (!m_state.poweredUp) return;
    const uint64_t now = cardTimeUs * kTicksPerUs;
    if (now < m_state.lastTick) return;
    const Step step(m_state.step, {Words(m_state)});
    RunOutput(now);
    RunInput(now);
    m_state.lastTick = now;
    Publish();
}

void SimAsiEngine::UndoTornStep(SimAsiState& state, uint32_t* bar3) {
    if (!Step::Undo(state.step, {Words(state)}) || !state.poweredUp) return;
    SimAsiEngine(state, bar3, nullptr, SimConfig{}, 0).Publish();
}

void SimAsiEngine::OnRegisterWrite(uint32_t offset, uint32_t oldValue, uint32_t newValue) {
    if (!m_state.poweredUp) return;
    const Step step(m_state.step, {Words(m_state)});
    const bool split = m_bar3[kRegFpgaVersion / 4] >= kSplitVersion;
    if (offset == kRegBlockC) {
        const uint32_t rising = ~oldValue & newValue;
        if (rising & kCInputCommit) {
            const uint32_t pointer = m_bar3[kRegInputReadPointer / 4];
            // A pointer outside the window would make the card write elsewhere
            // in its memory; the card keeps the last good one.
            if (InWindow(pointer, kInputFirst, kInputEnd)) m_state.inputRead = pointer;
        }
        if (rising & kCOutputCommit) {
            const uint32_t pointer = m_bar3[kRegOutputWritePointer / 4];
            if (InWindow(pointer, kOutputFirst, kOutputEnd)) {
                // An idle output starts on the new entries now, not when it went idle.
                if (m_state.outputRead == m_state.outputWrite) {
                    m_state.outputStartTick = std::max(m_state.outputStartTick, m_state.lastTick);
                }
                m_state.outputWrite = pointer;
            }
        }
        if (!split) m_state.outputMode = (newValue & kCOutputModeOld) ? 1 : 0;
    } else if (offset == kRegTsControl) {
        if (split) m_state.outputMode = (newValue & kTsControlOutputMode) ? 1 : 0;
    }
    Publish();
}

bool SimAsiEngine::ReadRegister(uint32_t offset, uint32_t* value) {
    if (!m_state.poweredUp) return false;
    switch (offset) {
        case kRegInputWritePointer:
            *value = m_state.inputWrite;
            return true;
        case kRegOutputReadPointer:
            *value = m_state.outputRead;
            return true;
        case kRegAsiStatus:
            *value = StatusWord();
            return true;
        default:
            return false;
    }
}

uint32_t SimAsiEngine::CapturedPacketCount() const {
    return static_cast<uint32_t>(m_state.countBase + m_state.captured + m_state.overflows);
}

uint32_t SimAsiEngine::SentPacketCount() const {
    return static_cast<uint32_t>(m_state.sent);
}

bool SimAsiEngine::SetSource(SimAsiSource source, const char* path) {
    if (!m_state.poweredUp) return false;
    switch (source) {
        case SimAsiSource::None:
        case SimAsiSource::Generator:
        case SimAsiSource::Loopback:
            break;
        case SimAsiSource::File: {
            if (!path || !SimAsiFileSource::Open(path) || !CopyPath(m_state, path)) return false;
            // The file starts from its first packet with the next arrival.
            m_state.sourceOrigin = m_state.arrivals;
            break;
        }
        default:
            return false;
    }
    m_state.source = source;
    RestartInputClock();
    Publish();
    return true;
}

}  // namespace velmora::sim

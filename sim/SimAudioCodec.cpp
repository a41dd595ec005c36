#include "sim/SimAudioCodec.h"

#include <cstring>

#include "platform/Time.h"

namespace velmora::sim {

namespace {

bool IsCodecAddress(uint32_t byte) {
    const uint32_t type = byte & 3;
    return (byte >> 2) == SimAudioCodec::kDeviceAddress &&
           (type == SimAudioCodec::kTypeData || type == SimAudioCodec::kTypeStatus);
}

}  // namespace

void SimAudioCodec::PowerUp(SimL3State& state) {
    std::memset(&state, 0, sizeof(state));
    state.poweredUp = 1;
}

void SimAudioCodec::OnRegisterWrite(uint32_t oldValue, uint32_t newValue) {
    if (!m_state.poweredUp) return;
    m_state.codec.auxLine = (newValue & kAux) ? 1 : 0;
    if ((oldValue ^ newValue) & kMode) {
        // The mode line frames every byte: a change of it ends whatever was
        // being clocked in. A byte it cuts short (such as the one clock edge
        // of the lines going idle high after power-up) is logged, not taken.
        if (m_state.bits != 0) {
            const bool address = (oldValue & kMode) == 0;
            Log(static_cast<uint8_t>(m_state.shift), m_state.bits, address, false);
            // An address the codec did not receive whole selects nobody.
            if (address) m_state.haveAddress = 0;
        }
        m_state.shift = 0;
        m_state.bits = 0;
    }
    if (!(oldValue & kClock) && (newValue & kClock)) {
        if (newValue & kData) m_state.shift |= 1u << m_state.bits;
        if (++m_state.bits == 8) Complete((newValue & kMode) == 0);
    }
}

void SimAudioCodec::Complete(bool address) {
    const auto byte = static_cast<uint8_t>(m_state.shift);
    m_state.shift = 0;
    m_state.bits = 0;
    if (address) {
        m_state.address = byte;
        m_state.haveAddress = 1;
        Log(byte, 8, true, IsCodecAddress(byte));
        return;
    }
    const bool accepted = m_state.haveAddress && IsCodecAddress(m_state.address);
    if (accepted) {
        SimAudioCodecRegisters& codec = m_state.codec;
        if ((m_state.address & 3) == kTypeStatus) {
            codec.status = byte;
            codec.written |= 1;
        } else {
            // The top two bits of a data byte pick the register it belongs
            // to, so one transfer can set several.
            const unsigned reg = byte >> 6;
            codec.data[reg] = byte;
            codec.written |= static_cast<uint8_t>(2u << reg);
        }
    }
    Log(byte, 8, false, accepted);
}

void SimAudioCodec::Log(uint8_t byte, unsigned bits, bool address, bool accepted) {
    SimL3Transfer& entry = m_state.log[m_state.logCount % SimL3State::kLogCapacity];
    entry = SimL3Transfer{};
    entry.timeUs = platform::MonotonicUs();
    entry.byte = byte;
    entry.bits = static_cast<uint8_t>(bits);
    entry.address = address ? 1 : 0;
    entry.accepted = accepted ? 1 : 0;
    ++m_state.logCount;
}

size_t SimAudioCodec::CopyLog(SimL3Transfer* out, size_t capacity) const {
    const uint64_t total = m_state.logCount;
    uint64_t kept = total < SimL3State::kLogCapacity ? total : uint64_t{SimL3State::kLogCapacity};
    if (kept > capacity) kept = capacity;
    size_t copied = 0;
    for (uint64_t i = total - kept; i < total; ++i)
        out[copied++] = m_state.log[i % SimL3State::kLogCapacity];
    return copied;
}

void SimAudioCodec::ClearLog() {
    m_state.logCount = 0;
}

}  // namespace velmora::sim

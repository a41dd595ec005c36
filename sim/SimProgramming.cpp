#include "sim/SimProgramming.h"

#include <cstring>
#include <filesystem>

#include "sim/SimControl.h"
#include "sim/SimStateFile.h"

namespace velmora::sim {

namespace {

enum : uint32_t {
    kTestLogicReset = 0,
    kRunTestIdle = 1,
    kCaptureDr = 3,
    kShiftDr = 4,
    kUpdateDr = 8,
    kCaptureIr = 10,
    kShiftIr = 11,
    kUpdateIr = 15,
};

// IEEE 1149.1 controller: next state on TMS 0 and on TMS 1.
constexpr uint8_t kNext[16][2] = {
    {1, 0}, {1, 2},  {3, 9},   {4, 5},   {4, 5},   {6, 8},   {6, 7},   {4, 8},
    {1, 2}, {10, 0}, {11, 12}, {11, 12}, {13, 15}, {13, 14}, {11, 15}, {1, 2},
};

constexpr uint32_t kCpldRowBits = SimProgState::kCpldRowBytes * 8;

void SetPath(char (&target)[SimProgState::kPathCapacity], const std::string& dir,
             const std::string& name) {
    target[0] = '\0';
    if (dir.empty()) return;
    const std::string path = (std::filesystem::path(dir) / name).string();
    if (path.size() < sizeof(target)) std::memcpy(target, path.c_str(), path.size() + 1);
}

SimTapState CpldTap() {
    SimTapState tap{};
    tap.irLength = SimProgramming::kCpldIrLength;
    tap.idcode = SimProgramming::kCpldIdcode;
    tap.isCpld = 1;
    return tap;
}

}  // namespace

void SimProgramming::PowerUp(SimProgState& state, const std::string& stateDir, unsigned cardIndex) {
    // Only what is not zero at power-up is set: clearing the 2 MB again would
    // touch every page of the new block, and a card that no process holds
    // powers up at each look that counts the cards.
    const std::string card = "card" + std::to_string(cardIndex);
    SetPath(state.cpldPath, stateDir, card + ".cpld");
    SetPath(state.epcsPath, stateDir, card + ".epcs");
    SimProgramming model(state);
    const SimTapState cpld = CpldTap();
    model.SetChain(&cpld, 1);
    state.epcsSize = 1u << 17;
    state.siliconId = kEpcs1SiliconId;
    state.dataLevel = 1;
    // A file of another size belongs to another density: the part that was
    // fitted, as the first use finds it, is the default one.
    if (state.epcsPath[0] == '\0' ||
        ReadStateFile(state.epcsPath, state.flash, state.epcsSize) != StateFileRead::Whole) {
        model.EraseFlash();
    }
    if (state.cpldPath[0] == '\0' ||
        ReadStateFile(state.cpldPath, state.cpldArray, SimProgState::kCpldBytes) !=
            StateFileRead::Whole) {
        std::memset(state.cpldArray, 0xFF, sizeof(state.cpldArray));
        model.PersistCpld();
    }
}

bool SimProgramming::SetChain(const SimTapState* taps, unsigned count) {
    if (count == 0 || count > SimProgState::kMaxTaps) return false;
    for (unsigned i = 0; i < count; ++i) {
        if (taps[i].irLength < 2 || taps[i].irLength > 32) return false;
    }
    m_state.tapCount = count;
    for (unsigned i = 0; i < count; ++i) {
        m_state.taps[i] = SimTapState{};
        m_state.taps[i].irLength = taps[i].irLength;
        m_state.taps[i].idcode = taps[i].idcode;
        m_state.taps[i].isCpld = taps[i].isCpld;
    }
    EnterState(kTestLogicReset);
    return true;
}

// ---------------------------------------------------------------------------
// Lines.

void SimProgramming::WriteLine(uint32_t word, bool reach) {
    SimProgState& s = m_state;
    s.lineLog[s.lineLogCount % SimProgState::kLineLogCapacity] = word;
    ++s.lineLogCount;
    s.lineWord = word;
    if (!reach) return;
    const uint32_t old = s.deliveredWord;
    s.deliveredWord = word;
    const uint32_t changed = old ^ word;

    if ((changed & kTck) && (word & kTck)) JtagClock(word & kTms, word & kTdi);

    if (changed & kNconfig) {
        // The FPGA takes the flash's lines back, or gives them up: any
        // instruction is cut off either way.
        s.selected = 0;
        s.output = 0;
        if (word & kNconfig) {
            FlashReload();
            return;
        }
        if (!(word & kNcs)) FlashSelect(true);
        return;
    }
    if (word & kNconfig) return;
    if (changed & kNcs) FlashSelect(!(word & kNcs));
    if (!s.selected) return;
    if (changed & kDclk) {
        if (word & kDclk) {
            FlashRise(word & kAsdi);
        } else {
            FlashFall();
        }
    }
}

uint32_t SimProgramming::InputLevel() const {
    const SimProgState& s = m_state;
    if (s.lineWord & kSelectTdo) {
        if (s.tapState != kShiftDr && s.tapState != kShiftIr) return 1;
        return static_cast<uint32_t>(s.taps[s.tapCount - 1].shift & 1);
    }
    const bool driven = !(s.deliveredWord & kNconfig) && s.selected && s.output;
    return driven ? s.dataLevel : 1;
}

// ---------------------------------------------------------------------------
// JTAG chain.

void SimProgramming::JtagClock(bool tms, bool tdi) {
    SimProgState& s = m_state;
    const uint32_t state = s.tapState;
    if (state == kShiftDr || state == kShiftIr) {
        uint64_t carry = tdi ? 1 : 0;
        for (unsigned i = 0; i < s.tapCount; ++i) {
            SimTapState& tap = s.taps[i];
            const uint32_t length = state == kShiftIr ? tap.irLength : tap.drLength;
            const uint64_t out = tap.shift & 1;
            tap.shift = (tap.shift >> 1) | (carry << (length - 1));
            carry = out;
        }
    }
    // Only clocks that keep the controller in Run-Test/Idle count.
    if (state == kRunTestIdle && !tms) {
        for (unsigned i = 0; i < s.tapCount; ++i)
            IdleClock(s.taps[i]);
    }
    const uint32_t next = kNext[state][tms ? 1 : 0];
    if (next != state || next == kTestLogicReset) EnterState(next);
}

void SimProgramming::EnterState(uint32_t next) {
    SimProgState& s = m_state;
    s.tapState = next;
    for (unsigned i = 0; i < s.tapCount; ++i) {
        SimTapState& tap = s.taps[i];
        switch (next) {
            case kTestLogicReset:
                tap.instruction = kIdcodeInstruction;
                tap.drLength = 32;
                if (tap.isCpld) {
                    s.cpldEnabled = 0;
                    s.cpldProgramPending = 0;
                    s.cpldIdleClocks = 0;
                }
                break;
            case kCaptureIr:
                tap.shift = 1;  // 01
                break;
            case kCaptureDr:
                CaptureDr(tap);
                break;
            case kUpdateIr:
                UpdateIr(tap);
                break;
            case kUpdateDr:
                UpdateDr(tap);
                break;
            default:
                break;
        }
    }
}

void SimProgramming::UpdateIr(SimTapState& tap) {
    const uint32_t mask = tap.irLength >= 32 ? 0xFFFFFFFFu : (1u << tap.irLength) - 1;
    tap.instruction = static_cast<uint32_t>(tap.shift) & mask;
    tap.drLength = 1;
    if (tap.instruction == kIdcodeInstruction) tap.drLength = 32;
    if (!tap.isCpld) return;
    SimProgState& s = m_state;
    s.cpldIdleClocks = 0;
    s.cpldProgramPending = 0;
    if (tap.instruction == kCpldEnable) s.cpldEnabled = 1;
    if (tap.instruction == kCpldDisable) s.cpldEnabled = 0;
    if (!s.cpldEnabled) return;
    if (tap.instruction == kCpldRowAddress) tap.drLength = 8;
    if (tap.instruction == kCpldProgramRow || tap.instruction == kCpldReadRow) {
        tap.drLength = kCpldRowBits;
    }
}

void SimProgramming::CaptureDr(SimTapState& tap) {
    tap.shift = 0;
    if (tap.instruction == kIdcodeInstruction) tap.shift = tap.idcode;
    if (tap.isCpld && m_state.cpldEnabled && tap.instruction == kCpldReadRow) {
        tap.shift = CpldRow(m_state.cpldRow);
    }
}

void SimProgramming::UpdateDr(SimTapState& tap) {
    SimProgState& s = m_state;
    if (!tap.isCpld || !s.cpldEnabled) return;
    s.cpldIdleClocks = 0;
    if (tap.instruction == kCpldRowAddress) {
        s.cpldRow = static_cast<uint32_t>(tap.shift & 0xFF) % SimProgState::kCpldRows;
    }
    if (tap.instruction == kCpldProgramRow) {
        s.cpldLatch = tap.shift;
        s.cpldProgramPending = 1;
    }
}

void SimProgramming::IdleClock(SimTapState& tap) {
    SimProgState& s = m_state;
    if (!tap.isCpld || !s.cpldEnabled) return;
    if (tap.instruction == kCpldBulkErase) {
        if (++s.cpldIdleClocks == kCpldEraseClocks) {
            std::memset(s.cpldArray, 0xFF, sizeof(s.cpldArray));
            PersistCpld();
        }
    } else if (tap.instruction == kCpldProgramRow && s.cpldProgramPending) {
        if (++s.cpldIdleClocks == kCpldProgramClocks) {
            SetCpldRow(s.cpldRow, CpldRow(s.cpldRow) & s.cpldLatch);
            s.cpldProgramPending = 0;
            PersistCpld();
        }
    }
}

uint64_t SimProgramming::CpldRow(uint32_t row) const {
    uint64_t value = 0;
    for (unsigned i = 0; i < SimProgState::kCpldRowBytes; ++i) {
        value |= uint64_t{m_state.cpldArray[row * SimProgState::kCpldRowBytes + i]} << (8 * i);
    }
    return value;
}

void SimProgramming::SetCpldRow(uint32_t row, uint64_t value) {
    for (unsigned i = 0; i < SimProgState::kCpldRowBytes; ++i) {
        m_state.cpldArray[row * SimProgState::kCpldRowBytes + i] =
            static_cast<uint8_t>(value >> (8 * i));
    }
}

void SimProgramming::LoadCpld(const uint8_t* data, uint32_t size) {
    std::memset(m_state.cpldArray, 0xFF, sizeof(m_state.cpldArray));
    // An empty vector may hand over no data pointer at all.
    if (size != 0) {
        std::memcpy(m_state.cpldArray, data,
                    size < SimProgState::kCpldBytes ? size : SimProgState::kCpldBytes);
    }
    PersistCpld();
}

void SimProgramming::PersistCpld() {
    StoreStateFile(m_state.cpldPath, m_state.cpldArray, SimProgState::kCpldBytes);
}

// ---------------------------------------------------------------------------
// EPCS flash.

void SimProgramming::FlashSelect(bool select) {
    SimProgState& s = m_state;
    if (!select) {
        if (s.selected) FlashDeselect();
        s.selected = 0;
        return;
    }
    s.selected = 1;
    s.inBits = 0;
    s.inByte = 0;
    s.byteCount = 0;
    s.opcode = 0;
    s.address = 0;
    s.output = 0;
    s.outBits = 0;
    s.pageCount = 0;
}

void SimProgramming::FlashRise(bool asdi) {
    SimProgState& s = m_state;
    if (s.output) return;
    s.inByte = (s.inByte << 1) | (asdi ? 1 : 0);
    if (++s.inBits < 8) return;
    const uint8_t value = static_cast<uint8_t>(s.inByte);
    s.inBits = 0;
    s.inByte = 0;
    FlashByte(value);
}

void SimProgramming::FlashByte(uint8_t value) {
    SimProgState& s = m_state;
    const uint32_t index = s.byteCount++;
    if (index == 0) {
        s.opcode = value;
        // Busy: only the status can be read.
        if (s.busyReads > 0 && value != 0x05) s.opcode = 0;
        if (s.opcode == 0x05) s.output = 1;
        return;
    }
    switch (s.opcode) {
        case 0x02:
        case 0x03:
        case 0xAB:
            if (index <= 3) {
                s.address = (s.address << 8) | value;
                if (index == 3 && s.opcode != 0x02) s.output = 1;
                return;
            }
            if (s.opcode == 0x02) s.page[s.pageCount++ % 256] = value;
            return;
        default:
            return;
    }
}

void SimProgramming::FlashFall() {
    SimProgState& s = m_state;
    if (!s.output) return;
    if (s.outBits == 0) s.outByte = FlashOutput();
    s.dataLevel = (s.outByte >> (7 - s.outBits)) & 1;
    s.outBits = (s.outBits + 1) & 7;
}

uint8_t SimProgramming::FlashOutput() {
    SimProgState& s = m_state;
    switch (s.opcode) {
        case 0x05: {
            const uint8_t status = (s.busyReads > 0 ? 1 : 0) | (s.writeEnable ? 2 : 0);
            if (s.busyReads > 0 && !s.busyNeverClears) --s.busyReads;
            return status;
        }
        case 0x03: {
            const uint8_t value = FlashRead(s.address % s.epcsSize);
            s.address = (s.address + 1) % s.epcsSize;
            return value;
        }
        case 0xAB:
            return static_cast<uint8_t>(s.siliconId);
        default:
            return 0xFF;
    }
}

uint8_t SimProgramming::FlashRead(uint32_t address) const {
    uint8_t value = m_state.flash[address];
    if (m_state.stuckBitSet && m_state.stuckBit / 8 == address) {
        value &= static_cast<uint8_t>(~(1u << (m_state.stuckBit % 8)));
    }
    return value;
}

void SimProgramming::FlashDeselect() {
    SimProgState& s = m_state;
    // Only whole bytes count; a cut-off instruction does nothing.
    if (s.inBits != 0 || s.byteCount == 0) return;
    if (s.opcode == 0x06 && s.byteCount == 1) {
        s.writeEnable = 1;
    } else if (s.opcode == 0xC7 && s.byteCount == 1 && s.writeEnable) {
        s.writeEnable = 0;
        EraseFlash();
        s.busyReads = kEraseBusyReads;
    } else if (s.opcode == 0x02 && s.byteCount > 4 && s.writeEnable) {
        s.writeEnable = 0;
        const uint32_t base = (s.address % s.epcsSize) & ~0xFFu;
        const uint32_t count = s.pageCount < 256 ? s.pageCount : 256;
        // More than a page keeps the last 256 bytes sent.
        const uint32_t first = s.pageCount - count;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t offset = (s.address + i) & 0xFF;
            s.flash[base + offset] &= s.page[(first + i) % 256];
        }
        PersistFlash(base, 256);
        s.busyReads = kPageBusyReads;
    }
}

void SimProgramming::FlashReload() {
    ++m_state.reloads;
    m_state.reloadChecksum = FlashChecksum();
}

uint32_t SimProgramming::FlashChecksum() const {
    return PlayedChecksum(m_state.flash, m_state.epcsSize);
}

bool SimProgramming::SetEpcsDensity(uint32_t density) {
    if (density != 1 && density != 4 && density != 16) return false;
    m_state.epcsSize = density << 17;
    m_state.siliconId = density == 1 ? 0x10 : density == 4 ? 0x12 : 0x14;
    EraseFlash();
    return true;
}

void SimProgramming::LoadFlash(const uint8_t* data, uint32_t size) {
    std::memset(m_state.flash, 0xFF, m_state.epcsSize);
    if (size != 0)
        std::memcpy(m_state.flash, data, size < m_state.epcsSize ? size : m_state.epcsSize);
    PersistFlash(0, m_state.epcsSize);
}

void SimProgramming::EraseFlash() {
    std::memset(m_state.flash, 0xFF, m_state.epcsSize);
    StoreStateFile(m_state.epcsPath, m_state.flash, m_state.epcsSize);
}

void SimProgramming::PersistFlash(uint32_t offset, uint32_t size) {
    StoreStateFileRange(m_state.epcsPath, m_state.flash, m_state.epcsSize, offset, size);
}

}  // namespace velmora::sim

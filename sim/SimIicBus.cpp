#include "sim/SimIicBus.h"

#include <cstring>

#include "platform/Time.h"

namespace velmora::sim {

namespace {

using Phase = SimIicState::Phase;

constexpr unsigned kChipSlotBase = 1;

unsigned SlotOf(SimIicChip chip) {
    return kChipSlotBase + static_cast<unsigned>(chip);
}

// The 0x5110 board and its 0x5111 variant carry the ADV chips.
bool IsAdvBoard(uint32_t boardId) {
    return boardId == 0x5110 || boardId == 0x5111;
}

}  // namespace

SimIicBus::SimIicBus(SimIicState& state, const SimConfig& /*config*/, unsigned /*cardIndex*/)
    : m_state(state) {}

void SimIicBus::PowerUp(SimIicState& state, const SimConfig& config, unsigned cardIndex,
                        uint32_t boardId) {
    std::memset(&state, 0, sizeof(state));
    state.boardId = boardId;
    state.phase = Phase::Idle;
    state.slot = SimIicState::kNobodySlot;
    SimEeprom::PowerUp(state.eeprom, config.stateDir, cardIndex);
    SimChips::PowerUp(state.bench);
    SimAudioCodec::PowerUp(state.l3);
    state.poweredUp = 1;
}

void SimIicBus::SetBoardId(SimIicState& state, uint32_t boardId) {
    state.boardId = boardId;
}

uint32_t SimIicBus::ReadRegister() const {
    uint32_t value = (m_state.lastByte & 0xFF) << 16;
    if (m_state.busyStuck) value |= kBusy;
    if (m_state.secondBusyStuck) value |= kSecondBusy;
    return value;
}

void SimIicBus::WriteRegister(uint32_t value) {
    // Without the go bit nothing starts: the engine is the only thing wired to
    // this register on this card.
    if (!(value & kGo) || !m_state.poweredUp) return;
    ++m_state.commandCount;
    // An engine that never finishes its last command takes no new one, so
    // nothing reaches the bus.
    if (m_state.busyStuck || m_state.secondBusyStuck) return;

    if (value & kStartBefore) {
        // A repeated start ends the transfer but keeps every device's pointer.
        m_state.phase = Phase::Address;
        m_state.acknowledged = 0;
        m_state.pointerNext = 0;
        m_state.slot = SimIicState::kNobodySlot;
    }
    if (value & kWriteByte) {
        const auto byte = static_cast<uint8_t>(value >> 8);
        if (m_state.phase == Phase::Address) {
            SendAddress(byte);
        } else {
            SendByte(byte);
        }
    }
    if (value & kReadByte) {
        m_state.lastByte = ReceiveByte();
        // Not acknowledging tells the device to stop sending until the next
        // start.
        if (value & kNotAcknowledge) m_state.phase = Phase::Idle;
    }
    if (value & kStopAfter) {
        m_state.phase = Phase::Idle;
        m_state.acknowledged = 0;
        m_state.pointerNext = 0;
        m_state.slot = SimIicState::kNobodySlot;
    }
}

uint8_t SimIicBus::ChipAddress(SimIicChip chip) const {
    const uint8_t placed = m_state.bench.placedAddress[static_cast<unsigned>(chip)];
    if (placed != 0) return placed;
    const uint32_t board = m_state.boardId;
    switch (chip) {
        case SimIicChip::Adv7180First:
            return IsAdvBoard(board) ? 0x40 : 0;
        case SimIicChip::Adv7180Second:
            return IsAdvBoard(board) ? 0x42 : 0;
        case SimIicChip::Adv7343: {
            if (!IsAdvBoard(board)) return 0;
            // The board revision is what the EEPROM says; an erased word is
            // taken for the first revision, as the board itself takes it.
            uint32_t version = SimEeprom(m_state.eeprom).BoardVersion();
            if (version == 0xFFFFFFFFu) version = SimEeprom::kErasedBoardVersionMeaning;
            return version >= SimEeprom::kEncoderAt56FromVersion ? 0x56 : 0x54;
        }
        case SimIicChip::Tvp5147:
            return board == 0x5100 ? 0xB8 : 0;
        case SimIicChip::Saa7128:
            return board == 0x5100 ? 0x8C : 0;
        case SimIicChip::Saa7113:
        case SimIicChip::Saa7105:
            return 0;
    }
    return 0;
}

bool SimIicBus::PlaceChip(SimIicChip chip, uint8_t address) {
    const auto index = static_cast<unsigned>(chip);
    if (index >= SimIicState::kChipCount) return false;
    if (address != 0 && (address >> 1) == (SimEeprom::kIicAddress >> 1)) return false;
    m_state.bench.placedAddress[index] = static_cast<uint8_t>(address & 0xFE);
    return true;
}

int SimIicBus::SlotAt(uint8_t address) const {
    const unsigned key = address >> 1;
    if (m_state.absent[key / 32] & (1u << (key % 32))) return -1;
    if (key == (SimEeprom::kIicAddress >> 1)) return SimIicState::kEepromSlot;
    // A chip placed by hand answers before a board chip at the same address.
    for (unsigned i = 0; i < SimIicState::kChipCount; ++i) {
        const uint8_t placed = m_state.bench.placedAddress[i];
        if (placed != 0 && (placed >> 1) == key)
            return static_cast<int>(SlotOf(static_cast<SimIicChip>(i)));
    }
    for (unsigned i = 0; i < SimIicState::kChipCount; ++i) {
        const uint8_t chip = ChipAddress(static_cast<SimIicChip>(i));
        if (chip != 0 && (chip >> 1) == key)
            return static_cast<int>(SlotOf(static_cast<SimIicChip>(i)));
    }
    return -1;
}

void SimIicBus::SendAddress(uint8_t address) {
    const int slot = SlotAt(address);
    m_state.address = address;
    m_state.acknowledged = slot >= 0 ? 1 : 0;
    m_state.slot = slot >= 0 ? static_cast<uint32_t>(slot) : SimIicState::kNobodySlot;
    const bool read = (address & 1) != 0;
    m_state.phase = read ? Phase::Read : Phase::Write;
    m_state.pointerNext = read ? 0 : 1;
}

void SimIicBus::SendByte(uint8_t value) {
    // Bytes outside a write transfer (no start, a read transfer, a device
    // that let go) find no listener.
    if (m_state.phase != Phase::Write) return;
    uint8_t& pointer = m_state.pointer[m_state.slot];
    if (m_state.pointerNext) {
        pointer = value;
        m_state.pointerNext = 0;
        return;
    }
    const uint8_t reg = pointer++;
    if (m_state.acknowledged) WriteDevice(m_state.slot, reg, value);
    Log(reg, value, false);
}

uint8_t SimIicBus::ReceiveByte() {
    // Nobody drives the line: it floats high.
    if (m_state.phase != Phase::Read) return 0xFF;
    uint8_t& pointer = m_state.pointer[m_state.slot];
    const uint8_t reg = pointer++;
    const uint8_t value = m_state.acknowledged ? ReadDevice(m_state.slot, reg) : 0xFF;
    Log(reg, value, true);
    return value;
}

void SimIicBus::WriteDevice(unsigned slot, uint8_t reg, uint8_t value) {
    if (slot == SimIicState::kEepromSlot) {
        SimEeprom(m_state.eeprom).Write(reg, value);
        return;
    }
    const unsigned chip = slot - kChipSlotBase;
    SimChipAccess access{
        m_state.bench, static_cast<SimIicChip>(chip), m_state.chips[chip], reg, false, value};
    SimChips(m_state.bench).Access(access, static_cast<uint8_t>(m_state.address >> 1));
}

uint8_t SimIicBus::ReadDevice(unsigned slot, uint8_t reg) {
    if (slot == SimIicState::kEepromSlot) return SimEeprom(m_state.eeprom).Read(reg);
    const unsigned chip = slot - kChipSlotBase;
    SimChipAccess access{
        m_state.bench, static_cast<SimIicChip>(chip), m_state.chips[chip], reg, true, 0};
    SimChips(m_state.bench).Access(access, static_cast<uint8_t>(m_state.address >> 1));
    return access.value;
}

void SimIicBus::Log(uint8_t reg, uint8_t value, bool read) {
    IicTransfer& entry =
        m_state.transfers[m_state.transferCount % SimIicState::kTransferLogCapacity];
    entry = IicTransfer{};
    entry.timeUs = platform::MonotonicUs();
    entry.address = static_cast<uint8_t>(m_state.address & 0xFE);
    entry.reg = reg;
    entry.value = value;
    entry.read = read ? 1 : 0;
    entry.acknowledged = m_state.acknowledged ? 1 : 0;
    ++m_state.transferCount;
}

size_t SimIicBus::CopyTransferLog(IicTransfer* out, size_t capacity) const {
    const uint64_t total = m_state.transferCount;
    uint64_t kept = total < SimIicState::kTransferLogCapacity
                        ? total
                        : uint64_t{SimIicState::kTransferLogCapacity};
    if (kept > capacity) kept = capacity;
    size_t copied = 0;
    for (uint64_t i = total - kept; i < total; ++i)
        out[copied++] = m_state.transfers[i % SimIicState::kTransferLogCapacity];
    return copied;
}

void SimIicBus::ClearTransferLog() {
    m_state.transferCount = 0;
}

void SimIicBus::SetDeviceAbsent(uint8_t address, bool absent) {
    const unsigned key = address >> 1;
    const uint32_t bit = 1u << (key % 32);
    if (absent) {
        m_state.absent[key / 32] |= bit;
    } else {
        m_state.absent[key / 32] &= ~bit;
    }
}

}  // namespace velmora::sim

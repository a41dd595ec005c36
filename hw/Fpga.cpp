#include "hw/Fpga.h"

#include "platform/Time.h"

namespace velmora::hw {
namespace {

// The IIC register's line bits (bit-banged bus).
constexpr uint32_t kIicSdaLevel = 0;
constexpr uint32_t kIicSdaRelease = 1;
constexpr uint32_t kIicSclLevel = 2;
constexpr uint32_t kIicApplyStrobe = 3;
constexpr uint32_t kIicSdaReadBack = 4;
constexpr uint32_t kIicStrobeDone = 5;

// The IIC register's byte-engine command bits and status bits.
constexpr uint32_t kIicGo = 0x01;
constexpr uint32_t kIicNotAcknowledge = 0x08;
constexpr uint32_t kIicWriteByte = 0x10;
constexpr uint32_t kIicReadByte = 0x20;
constexpr uint32_t kIicStopAfter = 0x40;
constexpr uint32_t kIicStartBefore = 0x80;
constexpr uint32_t kIicReadAddressBit = 0x100;
constexpr uint32_t kIicBusyBit = 9;
constexpr uint32_t kIicSecondBusyBit = 15;

constexpr uint32_t kIndirectWrite = 1;
constexpr uint32_t kIndirectRead = 2;

constexpr uint32_t kScratchPasses = 10000;
constexpr uint32_t kScratchPatternA = 0x55AA55AA;
constexpr uint32_t kScratchPatternB = 0xAA55AA55;

constexpr uint32_t kWindowWidth = 0x2D0;
constexpr uint32_t kWindowHeight = 0x120;

constexpr uint32_t kMaxCaptureIndex = 7;

// Block B bits of the global operations.
constexpr uint32_t kBitPortControl4 = 4;
constexpr uint32_t kBitIicControl19 = 19;
constexpr uint32_t kBitPortControl23 = 23;
constexpr uint32_t kAudioRelayBit = 7;

}  // namespace

// Port 0's rings sit in the fixed registers around block B, port 1's video
// rings in block C and its audio rings in block D. Both ports share the audio
// playback control word and the two counters.
const CFpga::PortRegisters CFpga::kPorts[2] = {
    {
        {0x94, 0x9C, 0x118, {kBlockA, 2}, {kBlockB, 5}, {kBlockB, 2}, {kBlockB, 0}},
        {0x98, 0xBC, 0x110, {kBlockB, 0}, {kBlockB, 0}, {kBlockB, 3}, {kBlockB, 6}},
        {0xC0, 0xC8, 0x138, {kBlockB, 11}, {kBlockB, 9}, {kBlockB, 7}, {kBlockB, 0}},
        {0xC4, 0xE8, 0x114, {kBlockB, 0}, {kBlockB, 0}, {kBlockB, 8}, {kBlockB, 10}},
        0xEC,
        0x158,
        0x15C,
        0x160,
        0x164,
    },
    {
        {0x204, 0x210, 0x230, {kBlockC, 4}, {kBlockC, 1}, {kBlockC, 0}, {kBlockC, 0}},
        {0x250, 0x254, 0x258, {kBlockC, 0}, {kBlockC, 0}, {kBlockC, 2}, {kBlockC, 3}},
        {0x304, 0x310, 0x330, {kBlockD, 11}, {kBlockD, 9}, {kBlockD, 7}, {kBlockD, 0}},
        {0x358, 0x350, 0x354, {kBlockD, 0}, {kBlockD, 0}, {kBlockD, 8}, {kBlockD, 10}},
        0xEC,
        0x158,
        0x15C,
        0x160,
        0x164,
    },
};

CFpga::FpgaLock::FpgaLock(platform::NamedMutex* pMutex) : m_pMutex(pMutex) {
    if (!m_pMutex) return;
    const platform::WaitResult result = m_pMutex->Lock(platform::kInfinite);
    m_bHeld = result == platform::WaitResult::Signaled || result == platform::WaitResult::Abandoned;
}

CFpga::FpgaLock::~FpgaLock() {
    if (m_bHeld) m_pMutex->Unlock();
}

CFpga::CFpga(CPciBridge* pPciBridge, card::CGlobalVars* pGlobalVars)
    : m_pGlobalVars(pGlobalVars),
      m_pFpgaMutex(pGlobalVars ? pGlobalVars->GetFpgaMutex() : nullptr),
      m_pPciBridge(pPciBridge) {}

CFpga::~CFpga() = default;

// ---------------------------------------------------------------------------
// Access primitives

uint32_t CFpga::ReadRegister(uint32_t offset, uint32_t* pValue) {
    if (!pValue) return 0;
    if (m_bNoHardware) {
        *pValue = 0;
        return 1;
    }
    if (m_pMappedRegisters) {
        *pValue = m_pMappedRegisters[offset / 4];
        return 1;
    }
    uint32_t value = 0;
    if (!m_pPciBridge || !m_pPciBridge->BarSpaceRead(kRegisterBar, offset, &value)) {
        *pValue = kFailedRead;
        return 0;
    }
    *pValue = value;
    return 1;
}

uint32_t CFpga::WriteRegister(uint32_t offset, const uint32_t* pValue) {
    if (!pValue) return 0;
    if (m_bNoHardware) return 1;
    if (m_pMappedRegisters) {
        m_pMappedRegisters[offset / 4] = *pValue;
        return 1;
    }
    if (!m_pPciBridge) return 0;
    return m_pPciBridge->BarSpaceWrite(kRegisterBar, offset, pValue) ? 1 : 0;
}

uint32_t CFpga::ReadRegister64(uint32_t lowOffset, uint32_t highOffset, uint64_t* pValue) {
    if (!pValue) return 0;
    FpgaLock lock(m_pFpgaMutex);
    uint32_t low = 0;
    uint32_t high = 0;
    if (!lock.Held() || !ReadRegister(lowOffset, &low) || !ReadRegister(highOffset, &high)) {
        *pValue = ~uint64_t{0};
        return 0;
    }
    *pValue = low + (uint64_t{high} << 32);
    return 1;
}

uint32_t CFpga::ReadRegister64Stable(uint32_t lowOffset, uint32_t highOffset, uint64_t* pValue) {
    if (!pValue) return 0;
    *pValue = ~uint64_t{0};
    FpgaLock lock(m_pFpgaMutex);
    if (!lock.Held()) return 0;
    // A counter that carries from the low into the high word between the two
    // reads of one pass gives a torn value; two equal passes cannot both be
    // torn the same way.
    auto readPass = [&](uint64_t* pPass) -> bool {
        uint32_t low = 0;
        uint32_t high = 0;
        if (!ReadRegister(lowOffset, &low) || !ReadRegister(highOffset, &high)) return false;
        *pPass = low + (uint64_t{high} << 32);
        return true;
    };
    uint64_t a = 0;
    uint64_t b = 0;
    for (uint32_t tries = 0; tries < kPollTries; ++tries) {
        if (tries > 0) platform::Sleep(0);
        if (!readPass(&a) || !readPass(&b)) return 0;
        if (a == b) {
            *pValue = a;
            return 1;
        }
    }
    return 0;
}

uint32_t CFpga::WriteRegister64(uint32_t lowOffset, uint32_t highOffset, uint64_t value) {
    FpgaLock lock(m_pFpgaMutex);
    if (!lock.Held()) return 0;
    const uint32_t low = static_cast<uint32_t>(value);
    const uint32_t high = static_cast<uint32_t>(value >> 32);
    if (!WriteRegister(lowOffset, &low)) return 0;
    return WriteRegister(highOffset, &high);
}

uint32_t CFpga::WriteBitField(uint32_t offset, uint32_t value, uint32_t shift, uint32_t width) {
    if (width > 32 || shift >= 32) return 0;
    const uint32_t mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1u;
    FpgaLock lock(m_pFpgaMutex);
    if (!lock.Held()) return 0;
    uint32_t current = 0;
    if (!ReadRegister(offset, &current)) return 0;
    const uint32_t updated = (current & ~(mask << shift)) | ((value & mask) << shift);
    return WriteRegister(offset, &updated);
}

uint32_t CFpga::WriteBit(uint32_t offset, uint32_t bit, uint32_t value) {
    if (value > 1 || bit >= 32) return 0;
    FpgaLock lock(m_pFpgaMutex);
    if (!lock.Held()) return 0;
    uint32_t current = 0;
    if (!ReadRegister(offset, &current)) return 0;
    const uint32_t updated = value ? (current | (1u << bit)) : (current & ~(1u << bit));
    return WriteRegister(offset, &updated);
}

uint32_t CFpga::ReadBit(uint32_t offset, uint32_t bit, uint32_t* pValue) {
    if (!pValue) return 0;
    uint32_t current = 0;
    if (bit >= 32 || !ReadRegister(offset, &current)) {
        *pValue = 0;
        return 0;
    }
    *pValue = (current >> bit) & 1u;
    return 1;
}

uint32_t CFpga::OrRegister(uint32_t offset, uint32_t mask) {
    FpgaLock lock(m_pFpgaMutex);
    if (!lock.Held()) return 0;
    uint32_t current = 0;
    if (!ReadRegister(offset, &current)) return 0;
    const uint32_t updated = current | mask;
    return WriteRegister(offset, &updated);
}

uint32_t CFpga::ReservedOperationD(uint32_t, uint32_t, uint32_t) {
    return 1;
}

uint32_t CFpga::WaitForBit(uint32_t offset, uint32_t bit, uint32_t expected, uint32_t tries) {
    uint32_t value = 0;
    if (!ReadBit(offset, bit, &value)) return 0;
    for (uint32_t reads = 0; value != expected && reads < tries; ++reads) {
        platform::Sleep(0);
        if (!ReadBit(offset, bit, &value)) return 0;
    }
    return value == expected ? 1 : 0;
}

uint32_t CFpga::ReadControl24(uint32_t* pValue) {
    return ReadRegister(kRegControl24, pValue);
}

uint32_t CFpga::ReadStatus(uint32_t* pValue) {
    return ReadRegister(kRegStatus, pValue);
}

// ---------------------------------------------------------------------------
// Helpers shared by the operations

uint32_t CFpga::BlockBase(Block block) const {
    switch (block) {
        case kBlockA:
            return m_dwBlockBaseA;
        case kBlockB:
            return m_dwBlockBaseB;
        case kBlockC:
            return m_dwBlockBaseC;
        case kBlockD:
            return m_dwBlockBaseD;
    }
    return m_dwBlockBaseA;
}

uint32_t CFpga::WriteBlockBit(BlockBit bit, uint32_t value) {
    return WriteBit(BlockBase(bit.block), bit.bit, value);
}

uint32_t CFpga::StrobeBlockBit(BlockBit bit) {
    // All three steps run even after a failure so the bit is left at 0
    // whenever the bus allows it.
    const uint32_t first = WriteBlockBit(bit, 0);
    const uint32_t second = WriteBlockBit(bit, 1);
    const uint32_t third = WriteBlockBit(bit, 0);
    return first && second && third ? 1 : 0;
}

uint32_t CFpga::PulseBlockBit(Block block, uint32_t bit) {
    if (!WriteBlockBit(block, bit, 0)) return 0;
    if (!WriteBlockBit(block, bit, 1)) return 0;
    if (!WriteBlockBit(block, bit, 0)) return 0;
    return 1;
}

uint32_t CFpga::TestRegisterBit(uint32_t offset, uint32_t bit) {
    uint32_t value = 0;
    if (!ReadBit(offset, bit, &value)) return 0;
    return value;
}

uint32_t CFpga::ReadRingNumber(uint32_t statusOffset, bool readSide, uint32_t* pNumber) {
    if (!pNumber) return 0;
    uint32_t status = 0;
    if (!ReadRegister(statusOffset, &status)) {
        *pNumber = 0;
        return 0;
    }
    *pNumber = readSide ? ring::ReadNumber(status) : ring::WriteNumber(status);
    return 1;
}

uint32_t CFpga::ReadRingCount(uint32_t statusOffset, bool capture, uint32_t* pCount) {
    if (!pCount) return 0;
    uint32_t status = 0;
    if (!ReadRegister(statusOffset, &status)) {
        // No buffers to move and none to fill: the safe answer either way.
        *pCount = 0;
        return 0;
    }
    *pCount = capture ? ring::CaptureCount(status) : ring::PlaybackCount(status);
    return 1;
}

uint32_t CFpga::ReadCaptureEntry(const RingRegisters& ring, uint32_t index, uint32_t* pEntry) {
    if (!pEntry) return 0;
    if (index > kMaxCaptureIndex) {
        *pEntry = 0;
        return 1;
    }
    return ReadRegister(ring.stampLow + 4 * index, pEntry);
}

uint32_t CFpga::ReadCaptureStamp(const RingRegisters& ring, uint32_t index, uint64_t* pTime) {
    if (index > kMaxCaptureIndex) index = 0;
    return ReadCardTime(ring.stampLow + 4 * index, ring.stampHigh + 4 * index, pTime);
}

uint32_t CFpga::ReadCardTime(uint32_t lowOffset, uint32_t highOffset, uint64_t* pTime) {
    if (!pTime) return 0;
    if (!ReadRegister64Stable(lowOffset, highOffset, pTime)) return 0;
    *pTime = CardTimeFromStamp(*pTime);
    return 1;
}

uint32_t CFpga::WritePlaybackStamp(const RingRegisters& ring, int64_t time) {
    const uint64_t stamp = static_cast<uint64_t>(StampFromCardTime(time));
    const uint32_t low = static_cast<uint32_t>(stamp);
    const uint32_t high = static_cast<uint32_t>(stamp >> 32);
    if (!WriteRegister(ring.stampLow, &low)) return 0;
    return WriteRegister(ring.stampHigh, &high);
}

uint32_t CFpga::IsReadDone(const RingRegisters& ring) {
    // Every status reads 0 without hardware; the workers must not wait on it.
    if (m_bNoHardware) return 1;
    return TestRegisterBit(ring.status, ring::kDoneBit);
}

uint32_t CFpga::FlushPlaybackRing(const RingRegisters& ring) {
    // Without hardware the done bit never rises and there is nothing to flush.
    if (m_bNoHardware) return 1;
    if (!WriteBlockBit(ring.flush, 0)) return 0;
    if (!WriteBlockBit(ring.flush, 1)) return 0;
    // The callers hold the API lock: a ring that never reports done must not
    // hold every other caller of the card with it.
    const uint64_t start = platform::MonotonicMs();
    uint32_t done = 0;
    while (true) {
        if (!ReadBit(ring.status, ring::kDoneBit, &done)) break;
        if (done) return WriteBlockBit(ring.flush, 0);
        if (platform::MonotonicMs() - start >= kFlushTimeoutMs) break;
        platform::Sleep(1);
    }
    // A flush bit left set would keep the ring flushing.
    WriteBlockBit(ring.flush, 0);
    return 0;
}

// ---------------------------------------------------------------------------
// Global operations

uint32_t CFpga::GetRegisterBases(uint32_t, uint32_t, uint32_t* pBaseA, uint32_t* pBaseB,
                                 uint32_t* pBaseC, uint32_t* pBaseD) {
    if (!pBaseA || !pBaseB || !pBaseC || !pBaseD) return 0;
    *pBaseA = kDefaultBlockBaseA;
    *pBaseB = kDefaultBlockBaseB;
    *pBaseC = kDefaultBlockBaseC;
    *pBaseD = kDefaultBlockBaseD;
    return 1;
}

uint32_t CFpga::SetRegisterBases(uint32_t baseA, uint32_t baseB, uint32_t baseC, uint32_t baseD) {
    m_dwBlockBaseA = baseA;
    m_dwBlockBaseB = baseB;
    m_dwBlockBaseC = baseC;
    m_dwBlockBaseD = baseD;
    return 1;
}

uint32_t CFpga::ReservedOperationA() {
    return 1;
}

uint32_t CFpga::ReservedOperationB() {
    return 1;
}

uint32_t CFpga::ReadFieldStatus(uint32_t* pValue) {
    return ReadRegister(kRegFieldStatus, pValue);
}

uint32_t CFpga::SelectInternalSync() {
    return WriteBlockBit(kBlockA, kBitSyncSelect, 0);
}

uint32_t CFpga::SelectSyncFromChannel0() {
    return WriteBlockBit(kBlockA, kBitSyncSelect, 1);
}

uint32_t CFpga::SelectSyncFromChannel1() {
    return 1;
}

uint32_t CFpga::SelectSyncFromChannel2() {
    return 1;
}

uint32_t CFpga::SelectSyncFromChannel3() {
    return 1;
}

uint32_t CFpga::SelectPal() {
    return WriteBlockBit(kBlockA, kBitNtsc, 0);
}

uint32_t CFpga::SelectNtsc() {
    return WriteBlockBit(kBlockA, kBitNtsc, 1);
}

uint32_t CFpga::WriteControl24(uint32_t value) {
    return WriteRegister(kRegControl24, &value);
}

uint32_t CFpga::WriteControl2C(uint32_t value) {
    return WriteRegister(kRegControl2C, &value);
}

uint32_t CFpga::WriteControl30(uint32_t value) {
    return WriteRegister(kRegControl30, &value);
}

uint32_t CFpga::SetControlBit3() {
    return WriteBlockBit(kBlockA, 3, 1);
}

uint32_t CFpga::ClearControlBit3() {
    return WriteBlockBit(kBlockA, 3, 0);
}

uint32_t CFpga::PulseControlBit2() {
    return PulseBlockBit(kBlockA, kBitControl2);
}

uint32_t CFpga::ReadStatusBit0() {
    return TestRegisterBit(kRegStatus, 0);
}

uint32_t CFpga::GetFpgaVersion(uint32_t* pVersion) {
    return ReadRegister(kRegFpgaVersion, pVersion);
}

uint32_t CFpga::EnableFieldInterrupt() {
    return WriteBitField(m_dwBlockBaseA, 1, kBitFieldInterrupt, 1);
}

uint32_t CFpga::DisableFieldInterrupt() {
    return WriteBitField(m_dwBlockBaseA, 0, kBitFieldInterrupt, 1);
}

uint32_t CFpga::AcknowledgeInterrupt() {
    return PulseBlockBit(kBlockA, kBitInterruptAck);
}

uint32_t CFpga::SetControlBit13() {
    return WriteBlockBit(kBlockA, 13, 1);
}

uint32_t CFpga::PulseControlBit14() {
    if (!WriteBlockBit(kBlockA, 14, 1)) return 0;
    platform::Sleep(1);
    return WriteBlockBit(kBlockA, 14, 0);
}

uint32_t CFpga::WriteRegisterSet3C() {
    const uint32_t zero = 0;
    const uint32_t width = kWindowWidth;
    const uint32_t height = kWindowHeight;
    uint32_t ok = WriteRegister(kRegWindowStartX, &zero);
    ok &= WriteRegister(kRegWindowStartY, &zero);
    ok &= WriteRegister(kRegWindowWidth, &width);
    ok &= WriteRegister(kRegWindowHeight, &height);
    ok &= WriteBitField(m_dwBlockBaseA, 1, kBitWindowStrobe, 1);
    ok &= WriteBitField(m_dwBlockBaseA, 0, kBitWindowStrobe, 1);
    return ok;
}

uint32_t CFpga::VideoRelayOn(uint32_t channel) {
    if (channel > 0) return 1;
    return WriteBlockBit(kBlockA, kBitVideoRelay, 1);
}

uint32_t CFpga::VideoRelayOff(uint32_t channel) {
    if (channel > 0) return 1;
    return WriteBlockBit(kBlockA, kBitVideoRelay, 0);
}

uint32_t CFpga::AudioRelayOn(uint32_t channel) {
    if (channel > 0) return 1;
    return WriteBit(kRegAudioCodec, kAudioRelayBit, 1);
}

uint32_t CFpga::AudioRelayOff(uint32_t channel) {
    if (channel > 0) return 1;
    return WriteBit(kRegAudioCodec, kAudioRelayBit, 0);
}

uint32_t CFpga::IsStatusBit1Set() {
    return TestRegisterBit(kRegStatus, 1);
}

uint32_t CFpga::IicLineStrobe() {
    if (m_bNoHardware) return 1;
    uint32_t value = 0;
    if (!ReadRegister(kRegIic, &value)) return 0;
    const uint32_t applying = value | (1u << kIicApplyStrobe);
    const uint32_t applied = value & ~(1u << kIicApplyStrobe);
    if (!WriteRegister(kRegIic, &applying) || !WriteRegister(kRegIic, &applied)) return 0;
    for (uint32_t tries = 0; tries < kPollTries; ++tries) {
        platform::Sleep(0);
        if (!ReadRegister(kRegIic, &value)) return 0;
        if (value & (1u << kIicStrobeDone)) return 1;
    }
    return 0;
}

uint32_t CFpga::ChangeIicLineBit(uint32_t bit, uint32_t set) {
    uint32_t value = 0;
    if (!ReadRegister(kRegIic, &value)) return 0;
    value = set ? (value | (1u << bit)) : (value & ~(1u << bit));
    if (!WriteRegister(kRegIic, &value)) return 0;
    return IicLineStrobe();
}

uint32_t CFpga::SetSdaDirection(uint32_t release) {
    return ChangeIicLineBit(kIicSdaRelease, release != 0);
}

uint32_t CFpga::SetSdaLevel(uint32_t level) {
    if (!SetSdaDirection(0)) return 0;
    return ChangeIicLineBit(kIicSdaLevel, level != 0);
}

uint32_t CFpga::GetSdaLevel(uint32_t* pLevel) {
    if (!pLevel) return 0;
    if (!SetSdaDirection(1)) return 0;
    uint32_t value = 0;
    if (!ReadRegister(kRegIic, &value)) return 0;
    *pLevel = (value >> kIicSdaReadBack) & 1u;
    return IicLineStrobe();
}

uint32_t CFpga::SetSclLevel(uint32_t level) {
    return ChangeIicLineBit(kIicSclLevel, level != 0);
}

uint32_t CFpga::SetControlBit19() {
    return WriteBlockBit(kBlockA, 19, 1);
}

uint32_t CFpga::ClearControlBit19() {
    return WriteBlockBit(kBlockA, 19, 0);
}

uint32_t CFpga::WriteControl28(uint32_t value) {
    return WriteRegister(kRegControl28, &value);
}

uint32_t CFpga::SetControlBit10() {
    return WriteBlockBit(kBlockA, 10, 1);
}

uint32_t CFpga::ClearControlBit10() {
    return WriteBlockBit(kBlockA, 10, 0);
}

uint32_t CFpga::SetControlBit29() {
    return WriteBlockBit(kBlockA, 29, 1);
}

uint32_t CFpga::ClearControlBit29() {
    return WriteBlockBit(kBlockA, 29, 0);
}

uint32_t CFpga::ReadBoardId(uint32_t* pBoardId) {
    return ReadRegister(kRegBoardId, pBoardId);
}

uint32_t CFpga::WriteControlBit17(uint32_t selector) {
    if (selector == 1) return WriteBitField(m_dwBlockBaseA, 1, 18, 1);
    return WriteBitField(m_dwBlockBaseA, 0, 17, 1);
}

uint32_t CFpga::WriteControlBit18(uint32_t selector) {
    if (selector == 1) return WriteBitField(m_dwBlockBaseA, 0, 18, 1);
    return WriteBitField(m_dwBlockBaseA, 1, 17, 1);
}

uint32_t CFpga::WaitIndirectDone() {
    uint32_t done = 0;
    for (uint32_t tries = 0; tries < kPollTries; ++tries) {
        if (tries > 0) platform::Sleep(0);
        if (!ReadRegister(kRegIndirectDone, &done)) return 0;
        if (done != 0) return 1;
    }
    return 0;
}

uint32_t CFpga::IndirectRead16(uint32_t address, uint32_t* pValue) {
    if (!pValue) return 0;
    const uint32_t command = kIndirectRead;
    uint32_t data = 0;
    if (!WriteRegister(kRegIndirectAddress, &address) ||
        !WriteRegister(kRegIndirectCommand, &command) || !WaitIndirectDone() ||
        !ReadRegister(kRegIndirectData, &data)) {
        *pValue = kFailedRead;
        return 0;
    }
    *pValue = data & 0xFF;
    return 1;
}

uint32_t CFpga::IndirectWrite16(uint32_t address, const uint32_t* pValue) {
    if (!pValue) return 0;
    const uint32_t command = kIndirectWrite;
    if (!WriteRegister(kRegIndirectAddress, &address) || !WriteRegister(kRegIndirectData, pValue) ||
        !WriteRegister(kRegIndirectCommand, &command)) {
        return 0;
    }
    return WaitIndirectDone();
}

uint32_t CFpga::SetPortControlBit4() {
    return WriteBitField(m_dwBlockBaseB, 1, kBitPortControl4, 1);
}

uint32_t CFpga::ClearPortControlBit4() {
    return WriteBitField(m_dwBlockBaseB, 0, kBitPortControl4, 1);
}

uint32_t CFpga::SelectVideoSource(uint32_t, uint32_t) {
    return 1;
}

uint32_t CFpga::SelectAudioSource(uint32_t, uint32_t) {
    return 1;
}

uint32_t CFpga::SelectVideoRoute(uint32_t, uint32_t) {
    return 1;
}

uint32_t CFpga::SelectAudioRoute(uint32_t, uint32_t) {
    return 1;
}

uint32_t CFpga::SelectSourceMode(uint32_t) {
    return 1;
}

uint32_t CFpga::ClearControlBit11(uint32_t) {
    return WriteBlockBit(kBlockA, 11, 0);
}

uint32_t CFpga::SetControlBit11(uint32_t) {
    return WriteBlockBit(kBlockA, 11, 1);
}

uint32_t CFpga::WritePortControlBit23(uint32_t value) {
    // A value that is no bit level is ignored as before; a bus failure is
    // reported.
    if (value > 1) return 1;
    return WriteBlockBit(kBlockB, kBitPortControl23, value);
}

uint32_t CFpga::ReservedOperationC() {
    return 1;
}

uint32_t CFpga::IicEngineCommand(uint32_t command) {
    if (!WriteRegister(kRegIic, &command)) return 0;
    return WaitForBit(kRegIic, kIicBusyBit, 0, kPollTries);
}

uint32_t CFpga::IicEngineStart(uint32_t address, uint32_t readFlag) {
    if (readFlag > 1) return 0;
    uint32_t command = address << 8;
    command = readFlag ? (command | kIicReadAddressBit) : (command & ~kIicReadAddressBit);
    return IicEngineCommand(command | kIicStartBefore | kIicWriteByte | kIicGo);
}

uint32_t CFpga::IicEngineWriteByte(uint32_t, uint8_t byte) {
    if (!WaitForBit(kRegIic, kIicSecondBusyBit, 0, kPollTries)) return 0;
    return IicEngineCommand((uint32_t{byte} << 8) | kIicWriteByte | kIicGo);
}

uint32_t CFpga::IicEngineWriteByteStop(uint32_t, const uint8_t* pByte) {
    if (!pByte) return 0;
    if (!WaitForBit(kRegIic, kIicSecondBusyBit, 0, kPollTries)) return 0;
    if (!IicEngineCommand((uint32_t{*pByte} << 8) | kIicStopAfter | kIicWriteByte | kIicGo)) {
        return 0;
    }
    return WaitForBit(kRegIic, kIicSecondBusyBit, 0, kPollTries);
}

uint32_t CFpga::IicEngineReadData(uint8_t* pByte) {
    if (!pByte) return 0;
    uint32_t value = 0;
    const uint32_t ok = ReadRegister(kRegIic, &value);
    *pByte = static_cast<uint8_t>(value >> 16);
    return ok;
}

uint32_t CFpga::IicEngineReadStop(uint32_t) {
    return IicEngineCommand(kIicReadByte | kIicNotAcknowledge | kIicStopAfter | kIicGo);
}

uint32_t CFpga::SetIicControlBit19() {
    return WriteBlockBit(kBlockB, kBitIicControl19, 1);
}

uint32_t CFpga::ClearIicControlBit19() {
    return WriteBlockBit(kBlockB, kBitIicControl19, 0);
}

uint32_t CFpga::TestScratchRegister() {
    for (uint32_t pass = 0; pass < kScratchPasses; ++pass) {
        for (const uint32_t pattern : {kScratchPatternA, kScratchPatternB}) {
            uint32_t readBack = 0;
            if (!WriteRegister(kRegScratch, &pattern) || !ReadRegister(kRegScratch, &readBack) ||
                readBack != pattern) {
                return 0;
            }
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Per-port operations: each dispatcher picks its Port0 or Port1 form, and
// both forms run one body over their port's row of kPorts.

#define VELMORA_PORT_OP(Name, Body)                       \
    uint32_t CFpga::Name(uint32_t port) {                 \
        return port == 1 ? Name##Port1() : Name##Port0(); \
    }                                                     \
    uint32_t CFpga::Name##Port0() {                       \
        const PortRegisters& p = kPorts[0];               \
        return Body;                                      \
    }                                                     \
    uint32_t CFpga::Name##Port1() {                       \
        const PortRegisters& p = kPorts[1];               \
        return Body;                                      \
    }

#define VELMORA_PORT_OP_1(Name, ArgType, arg, Body)             \
    uint32_t CFpga::Name(ArgType arg, uint32_t port) {          \
        return port == 1 ? Name##Port1(arg) : Name##Port0(arg); \
    }                                                           \
    uint32_t CFpga::Name##Port0(ArgType arg) {                  \
        const PortRegisters& p = kPorts[0];                     \
        return Body;                                            \
    }                                                           \
    uint32_t CFpga::Name##Port1(ArgType arg) {                  \
        const PortRegisters& p = kPorts[1];                     \
        return Body;                                            \
    }

#define VELMORA_PORT_OP_2(Name, Type1, arg1, Type2, arg2, Body)               \
    uint32_t CFpga::Name(Type1 arg1, Type2 arg2, uint32_t port) {             \
        return port == 1 ? Name##Port1(arg1, arg2) : Name##Port0(arg1, arg2); \
    }                                                                         \
    uint32_t CFpga::Name##Port0(Type1 arg1, Type2 arg2) {                     \
        const PortRegisters& p = kPorts[0];                                   \
        return Body;                                                          \
    }                                                                         \
    uint32_t CFpga::Name##Port1(Type1 arg1, Type2 arg2) {                     \
        const PortRegisters& p = kPorts[1];                                   \
        return Body;                                                          \
    }

VELMORA_PORT_OP(StopVideoCapture, WriteBlockBit(p.videoCapture.enable, 0))
VELMORA_PORT_OP(StartVideoCapture, WriteBlockBit(p.videoCapture.enable, 1))
VELMORA_PORT_OP(StopAudioCapture, WriteBlockBit(p.audioCapture.enable, 0))
VELMORA_PORT_OP(StartAudioCapture, WriteBlockBit(p.audioCapture.enable, 1))
VELMORA_PORT_OP(FlushAudioPlaybackBuffer, FlushPlaybackRing(p.audioPlayback))
VELMORA_PORT_OP(FlushVideoPlaybackBuffer, FlushPlaybackRing(p.videoPlayback))
VELMORA_PORT_OP(IsAudioCaptureBufferFull, TestRegisterBit(p.audioCapture.status, ring::kFullBit))
VELMORA_PORT_OP(IsAudioCaptureBufferEmpty, TestRegisterBit(p.audioCapture.status, ring::kEmptyBit))
VELMORA_PORT_OP(IsAudioPlaybackBufferFull, TestRegisterBit(p.audioPlayback.status, ring::kFullBit))
VELMORA_PORT_OP(IsAudioPlaybackBufferEmpty,
                TestRegisterBit(p.audioPlayback.status, ring::kEmptyBit))
VELMORA_PORT_OP(IsVideoCaptureBufferFull, TestRegisterBit(p.videoCapture.status, ring::kFullBit))
VELMORA_PORT_OP(IsVideoCaptureBufferEmpty, TestRegisterBit(p.videoCapture.status, ring::kEmptyBit))
VELMORA_PORT_OP(IsVideoPlaybackBufferFull, TestRegisterBit(p.videoPlayback.status, ring::kFullBit))
VELMORA_PORT_OP(IsVideoPlaybackBufferEmpty,
                TestRegisterBit(p.videoPlayback.status, ring::kEmptyBit))
VELMORA_PORT_OP(SetVideoCaptureReadRequest, WriteBlockBit(p.videoCapture.readRequest, 1))
VELMORA_PORT_OP(ClearVideoCaptureReadRequest, WriteBlockBit(p.videoCapture.readRequest, 0))
VELMORA_PORT_OP(IsVideoCaptureReadDone, IsReadDone(p.videoCapture))
VELMORA_PORT_OP_1(GetVideoCaptureBufferReadNo, uint32_t*, pNumber,
                  ReadRingNumber(p.videoCapture.status, true, pNumber))
VELMORA_PORT_OP_1(GetVideoCaptureBufferWriteNo, uint32_t*, pNumber,
                  ReadRingNumber(p.videoCapture.status, false, pNumber))
VELMORA_PORT_OP_1(GetVideoCaptureBufferCount, uint32_t*, pCount,
                  ReadRingCount(p.videoCapture.status, true, pCount))
VELMORA_PORT_OP_2(GetVideoCaptureTimeStamp, uint32_t, index, uint64_t*, pTime,
                  ReadCaptureStamp(p.videoCapture, index, pTime))
VELMORA_PORT_OP_2(GetVideoCaptureEntry, uint32_t, index, uint32_t*, pEntry,
                  ReadCaptureEntry(p.videoCapture, index, pEntry))
VELMORA_PORT_OP(StrobeVideoCaptureBuffer, StrobeBlockBit(p.videoCapture.strobe))
VELMORA_PORT_OP_1(ReadTimeStampCounter, uint64_t*, pTime,
                  ReadCardTime(p.counter1Low, p.counter1High, pTime))
VELMORA_PORT_OP_1(GetVideoPlaybackBufferReadNo, uint32_t*, pNumber,
                  ReadRingNumber(p.videoPlayback.status, true, pNumber))
VELMORA_PORT_OP_1(GetVideoPlaybackBufferWriteNo, uint32_t*, pNumber,
                  ReadRingNumber(p.videoPlayback.status, false, pNumber))
VELMORA_PORT_OP_1(GetVideoPlaybackBufferCount, uint32_t*, pCount,
                  ReadRingCount(p.videoPlayback.status, false, pCount))
VELMORA_PORT_OP_1(SetVideoPlaybackTimeStamp, int64_t, time,
                  WritePlaybackStamp(p.videoPlayback, time))
VELMORA_PORT_OP_1(WriteVideoPlaybackTimeStampLow, uint32_t, value,
                  WriteRegister(p.videoPlayback.stampLow, &value))
VELMORA_PORT_OP(StrobeVideoPlaybackBuffer, StrobeBlockBit(p.videoPlayback.strobe))
VELMORA_PORT_OP(SetAudioCaptureReadRequest, WriteBlockBit(p.audioCapture.readRequest, 1))
VELMORA_PORT_OP(ClearAudioCaptureReadRequest, WriteBlockBit(p.audioCapture.readRequest, 0))
VELMORA_PORT_OP(IsAudioCaptureReadDone, IsReadDone(p.audioCapture))
VELMORA_PORT_OP_1(GetAudioCaptureBufferReadNo, uint32_t*, pNumber,
                  ReadRingNumber(p.audioCapture.status, true, pNumber))
VELMORA_PORT_OP_1(GetAudioCaptureBufferWriteNo, uint32_t*, pNumber,
                  ReadRingNumber(p.audioCapture.status, false, pNumber))
VELMORA_PORT_OP_1(GetAudioCaptureBufferCount, uint32_t*, pCount,
                  ReadRingCount(p.audioCapture.status, true, pCount))
VELMORA_PORT_OP_2(GetAudioCaptureTimeStamp, uint32_t, index, uint64_t*, pTime,
                  ReadCaptureStamp(p.audioCapture, index, pTime))
VELMORA_PORT_OP_2(GetAudioCaptureEntry, uint32_t, index, uint32_t*, pEntry,
                  ReadCaptureEntry(p.audioCapture, index, pEntry))
VELMORA_PORT_OP(StrobeAudioCaptureBuffer, StrobeBlockBit(p.audioCapture.strobe))
VELMORA_PORT_OP_1(ReadTimeStampCounter2, uint64_t*, pTime,
                  ReadCardTime(p.counter2Low, p.counter2High, pTime))
VELMORA_PORT_OP_1(GetAudioPlaybackBufferReadNo, uint32_t*, pNumber,
                  ReadRingNumber(p.audioPlayback.status, true, pNumber))
VELMORA_PORT_OP_1(GetAudioPlaybackBufferWriteNo, uint32_t*, pNumber,
                  ReadRingNumber(p.audioPlayback.status, false, pNumber))
VELMORA_PORT_OP_1(GetAudioPlaybackBufferCount, uint32_t*, pCount,
                  ReadRingCount(p.audioPlayback.status, false, pCount))
VELMORA_PORT_OP_1(SetAudioPlaybackTimeStamp, int64_t, time,
                  WritePlaybackStamp(p.audioPlayback, time))
VELMORA_PORT_OP_1(WriteAudioPlaybackTimeStampLow, uint32_t, value,
                  WriteRegister(p.audioPlayback.stampLow, &value))
VELMORA_PORT_OP_1(WriteAudioPlaybackControlEC, uint32_t, value,
                  WriteRegister(p.audioPlaybackControl, &value))
VELMORA_PORT_OP(StrobeAudioPlaybackBuffer, StrobeBlockBit(p.audioPlayback.strobe))

#undef VELMORA_PORT_OP
#undef VELMORA_PORT_OP_1
#undef VELMORA_PORT_OP_2

}  // namespace velmora::hw

#include "hw/IoCardFpga.h"

namespace velmora::hw {
namespace {

constexpr uint32_t kBitSyncSelectB = 12;

}  // namespace

CIoCardFpga::CIoCardFpga(CPciBridge* pPciBridge, card::CGlobalVars* pGlobalVars)
    : CFpga(pPciBridge, pGlobalVars) {}

CIoCardFpga::~CIoCardFpga() = default;

uint32_t CIoCardFpga::GetRegisterBases(uint32_t vendorId, uint32_t deviceId, uint32_t* pBaseA,
                                       uint32_t* pBaseB, uint32_t* pBaseC, uint32_t* pBaseD) {
    return RegisterBasesSwappedOn(kSwappedVendorId, kSwappedDeviceId, vendorId, deviceId, pBaseA,
                                  pBaseB, pBaseC, pBaseD);
}

uint32_t CIoCardFpga::RegisterBasesSwappedOn(uint32_t swappedVendorId, uint32_t swappedDeviceId,
                                             uint32_t vendorId, uint32_t deviceId, uint32_t* pBaseA,
                                             uint32_t* pBaseB, uint32_t* pBaseC, uint32_t* pBaseD) {
    if (!CFpga::GetRegisterBases(vendorId, deviceId, pBaseA, pBaseB, pBaseC, pBaseD)) return 0;
    if (vendorId == swappedVendorId && deviceId == swappedDeviceId) {
        *pBaseA = kDefaultBlockBaseB;
        *pBaseB = kDefaultBlockBaseA;
    }
    return 1;
}

uint32_t CIoCardFpga::SelectSyncBits(uint32_t blockABit4, uint32_t blockBBit12) {
    const uint32_t a = WriteBlockBit(kBlockA, kBitSyncSelect, blockABit4);
    const uint32_t b = WriteBlockBit(kBlockB, kBitSyncSelectB, blockBBit12);
    return a && b ? 1 : 0;
}

uint32_t CIoCardFpga::SelectInternalSync() {
    return SelectSyncBits(0, 0);
}

uint32_t CIoCardFpga::SelectSyncFromChannel0() {
    return SelectSyncBits(1, 0);
}

uint32_t CIoCardFpga::SelectSyncFromChannel1() {
    return SelectSyncBits(1, 1);
}

uint32_t CIoCardFpga::LatchAndRead(uint32_t firstOffset, uint32_t* pFirst, uint32_t secondOffset,
                                   uint32_t* pSecond) {
    FpgaLock lock(m_pFpgaMutex);
    if (!lock.Held()) {
        *pFirst = kFailedRead;
        if (pSecond) *pSecond = kFailedRead;
        return 0;
    }
    const uint32_t latched = PulseBlockBit(kBlockA, kBitLatch);
    const uint32_t first = ReadRegister(firstOffset, pFirst);
    const uint32_t second = pSecond ? ReadRegister(secondOffset, pSecond) : 1;
    return latched && first && second ? 1 : 0;
}

uint32_t CIoCardFpga::LatchBetweenReads(uint32_t watchedOffset, uint32_t* pBefore, uint32_t* pAfter,
                                        uint32_t latchedOffset, uint32_t* pLatched) {
    FpgaLock lock(m_pFpgaMutex);
    uint32_t blockA = 0;
    if (!lock.Held() || !ReadRegister(BlockBase(kBlockA), &blockA)) return 0;
    // Block A changes only under the mutex held here: the latch is written
    // without a read before it, and takes its value as the bit rises.
    const uint32_t low = blockA & ~(1u << kBitLatch);
    const uint32_t high = blockA | (1u << kBitLatch);
    const uint32_t cleared = WriteRegister(BlockBase(kBlockA), &low);
    const uint32_t before = ReadRegister(watchedOffset, pBefore);
    const uint32_t latched = WriteRegister(BlockBase(kBlockA), &high);
    const uint32_t after = ReadRegister(watchedOffset, pAfter);
    const uint32_t back = WriteRegister(BlockBase(kBlockA), &low);
    return cleared && before && latched && after && back && ReadRegister(latchedOffset, pLatched)
               ? 1
               : 0;
}

uint32_t CIoCardFpga::ReadCardClock(uint32_t* pClock) {
    if (!pClock) return 0;
    return LatchAndRead(kRegCardClockLow, pClock, 0, nullptr);
}

uint32_t CIoCardFpga::ReadCardClock64(uint64_t* pClock) {
    if (!pClock) return 0;
    uint32_t low = 0;
    uint32_t high = 0;
    if (!LatchAndRead(kRegCardClockLow, &low, kRegCardClockHigh, &high)) {
        *pClock = ~uint64_t{0};
        return 0;
    }
    *pClock = low + (uint64_t{high} << 32);
    return 1;
}

uint32_t CIoCardFpga::ReadRegisterF4(uint32_t* pValue) {
    return ReadRegister(kRegF4, pValue);
}

uint32_t CIoCardFpga::ReadTsStatusCh0(uint32_t* pValue) {
    return ReadRegister(kRegTsStatusCh0, pValue);
}

uint32_t CIoCardFpga::ReadCardStatus(uint32_t* pValue) {
    return ReadRegister(kRegStatus, pValue);
}

uint32_t CIoCardFpga::ReadAudioCodecPins() {
    // A failed read must not leave all ones in the shadow for the next pin
    // write to store.
    uint32_t value = 0;
    if (!ReadRegister(kRegAudioCodec, &value)) return 0;
    m_dwAudioCodecShadow = value;
    return 1;
}

uint32_t CIoCardFpga::WriteAudioCodecPin(uint32_t pin, bool set) {
    const uint32_t mask = 1u << pin;
    m_dwAudioCodecShadow = set ? (m_dwAudioCodecShadow | mask) : (m_dwAudioCodecShadow & ~mask);
    return WriteRegister(kRegAudioCodec, &m_dwAudioCodecShadow);
}

uint32_t CIoCardFpga::SetAudioCodecPin0() {
    return WriteAudioCodecPin(0, true);
}

uint32_t CIoCardFpga::SetAudioCodecPin1() {
    return WriteAudioCodecPin(1, true);
}

uint32_t CIoCardFpga::SetAudioCodecPin2() {
    return WriteAudioCodecPin(2, true);
}

uint32_t CIoCardFpga::SetAudioCodecPin3() {
    return WriteAudioCodecPin(3, true);
}

uint32_t CIoCardFpga::ClearAudioCodecPin0() {
    return WriteAudioCodecPin(0, false);
}

uint32_t CIoCardFpga::ClearAudioCodecPin1() {
    return WriteAudioCodecPin(1, false);
}

uint32_t CIoCardFpga::ClearAudioCodecPin2() {
    return WriteAudioCodecPin(2, false);
}

uint32_t CIoCardFpga::ClearAudioCodecPin3() {
    return WriteAudioCodecPin(3, false);
}

}  // namespace velmora::hw

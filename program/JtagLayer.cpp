// The TAP layer of the player: state walks, idle clocks and delays, and IR
// and DR scans framed by the preambles and postambles of the other devices
// of the chain.

#include <cstdlib>
#include <cstring>
#include <new>

#include "program/AlteraJtagConfig.h"

namespace velmora::program {

namespace {

// JtagStateTransitionTable: next state on TMS 1, on TMS 0.
constexpr int32_t kJtagStateTransitionTable[16][2] = {
    {0, 1}, {2, 1},  {9, 3},   {5, 4},   {5, 4},   {8, 6},   {7, 6},   {8, 4},
    {2, 1}, {0, 10}, {12, 11}, {12, 11}, {15, 13}, {14, 13}, {15, 11}, {2, 1},
};
// JtagTmsPathTable: bit t of state s's word is the TMS level to clock in s
// heading for t.
constexpr uint16_t kJtagTmsPathTable[16] = {
    0x0001, 0xFFFD, 0xFE01, 0xFFE7, 0xFFEF, 0xFF0F, 0xFFBF, 0xFFFF,
    0xFEFD, 0x0001, 0xF3FF, 0xF7FF, 0x87FF, 0xDFFF, 0xFFFF, 0x7FFD,
};

constexpr int kMaxWalk = 9;

// Fixed buffers of a work area.
struct WorkAreaLayout {
    uint32_t offset;
    uint32_t limitBits;
};
constexpr WorkAreaLayout kDrPreambleArea{0, 1024};
constexpr WorkAreaLayout kDrPostambleArea{128, 1024};
constexpr WorkAreaLayout kIrPreambleArea{256, 256};
constexpr WorkAreaLayout kIrPostambleArea{288, 256};
constexpr WorkAreaLayout kDrScanArea{320, 2048};
constexpr WorkAreaLayout kIrScanArea{576, 512};

inline bool Bit(const uint8_t* bits, uint64_t index) {
    return (bits[index >> 3] >> (index & 7)) & 1;
}
inline void PutBit(uint8_t* bits, uint64_t index, bool value) {
    const uint8_t mask = static_cast<uint8_t>(1u << (index & 7));
    if (value) {
        bits[index >> 3] |= mask;
    } else {
        bits[index >> 3] &= static_cast<uint8_t>(~mask);
    }
}

bool IsStable(int32_t state) {
    return state == kTapIdle || state == kTapShiftDr || state == kTapPauseDr ||
           state == kTapShiftIr || state == kTapPauseIr;
}

uint8_t* Allocate(uint64_t bits) {
    return static_cast<uint8_t*>(std::calloc(static_cast<size_t>((bits + 7) / 8) + 1, 1));
}

}  // namespace

void CAlteraJtagConfig::Clock(uint32_t tms) {
    JtagIo(tms, 0, 0);
}

int32_t CAlteraJtagConfig::InitJtag() {
    m_nTapState = kTapUndetermined;
    m_nDrStopState = kTapIdle;
    m_nIrStopState = kTapIdle;
    PlaceJtagBuffers();
    return kJbcSuccess;
}

void CAlteraJtagConfig::PlaceJtagBuffers() {
    m_dwDrPreambleLength = m_dwDrPostambleLength = 0;
    m_dwIrPreambleLength = m_dwIrPostambleLength = 0;
    m_dwDrScanCapacity = m_dwIrScanCapacity = 0;
    uint8_t* area = m_pWorkArea.get();
    m_pDrPreamble = area ? area + kDrPreambleArea.offset : nullptr;
    m_pDrPostamble = area ? area + kDrPostambleArea.offset : nullptr;
    m_pIrPreamble = area ? area + kIrPreambleArea.offset : nullptr;
    m_pIrPostamble = area ? area + kIrPostambleArea.offset : nullptr;
    m_pDrScan = area ? area + kDrScanArea.offset : nullptr;
    m_pIrScan = area ? area + kIrScanArea.offset : nullptr;
}

void CAlteraJtagConfig::ResetJtagToIdle() {
    for (int i = 0; i < 5; ++i)
        Clock(1);
    Clock(0);
    m_nTapState = kTapIdle;
}

int32_t CAlteraJtagConfig::GotoJtagState(int32_t target) {
    if (m_nTapState == kTapUndetermined) ResetJtagToIdle();
    if (m_nTapState == target) {
        if (IsStable(target)) Clock(0);
        if (target == kTapReset) Clock(1);
        return kJbcSuccess;
    }
    // Stop states come from the byte code unchecked: the bit is taken
    // unsigned, so a negative target is simply never reached.
    const uint32_t bit = static_cast<uint32_t>(target) % 32;
    for (int i = 0; i < kMaxWalk && m_nTapState != target; ++i) {
        const uint32_t tms = bit < 16 ? (kJtagTmsPathTable[m_nTapState] >> bit) & 1 : 0;
        Clock(tms);
        m_nTapState = kJtagStateTransitionTable[m_nTapState][tms ? 0 : 1];
    }
    return m_nTapState == target ? kJbcSuccess : kJbcStateNotReached;
}

int32_t CAlteraJtagConfig::SetDrStopState(int32_t state) {
    m_nDrStopState = state;
    return kJbcSuccess;
}

int32_t CAlteraJtagConfig::SetIrStopState(int32_t state) {
    m_nIrStopState = state;
    return kJbcSuccess;
}

int32_t CAlteraJtagConfig::SetAmble(uint32_t count, uint32_t start, const uint8_t* pSource,
                                    uint32_t& length, uint8_t*& pBits, uint32_t limit) {
    if (m_pWorkArea) {
        if (count > limit) return kJbcOutOfMemory;
        length = count;
    } else if (count > length || pBits == nullptr) {
        uint8_t* bits = Allocate(count);
        if (bits == nullptr) return kJbcOutOfMemory;
        std::free(pBits);
        pBits = bits;
        length = count;
    } else {
        length = count;
    }
    for (uint32_t i = 0; i < count; ++i)
        PutBit(pBits, i, pSource != nullptr ? Bit(pSource, uint64_t{start} + i) : true);
    return kJbcSuccess;
}

int32_t CAlteraJtagConfig::SetDrPreamble(uint32_t count, uint32_t start, const uint8_t* pSource) {
    return SetAmble(count, start, pSource, m_dwDrPreambleLength, m_pDrPreamble,
                    kDrPreambleArea.limitBits);
}
int32_t CAlteraJtagConfig::SetDrPostamble(uint32_t count, uint32_t start, const uint8_t* pSource) {
    return SetAmble(count, start, pSource, m_dwDrPostambleLength, m_pDrPostamble,
                    kDrPostambleArea.limitBits);
}
int32_t CAlteraJtagConfig::SetIrPreamble(uint32_t count, uint32_t start, const uint8_t* pSource) {
    return SetAmble(count, start, pSource, m_dwIrPreambleLength, m_pIrPreamble,
                    kIrPreambleArea.limitBits);
}
int32_t CAlteraJtagConfig::SetIrPostamble(uint32_t count, uint32_t start, const uint8_t* pSource) {
    return SetAmble(count, start, pSource, m_dwIrPostambleLength, m_pIrPostamble,
                    kIrPostambleArea.limitBits);
}

int32_t CAlteraJtagConfig::WaitCycles(int32_t cycles, int32_t state) {
    if (m_nTapState != state) {
        const int32_t status = GotoJtagState(state);
        if (status != kJbcSuccess) return status;
    }
    const uint32_t tms = state == kTapReset ? 1 : 0;
    for (int32_t i = 0; i < cycles; ++i)
        Clock(tms);
    return kJbcSuccess;
}

int32_t CAlteraJtagConfig::WaitMicroseconds(int32_t microseconds, int32_t state) {
    if (m_nTapState != kTapUndetermined && m_nTapState != state) {
        const int32_t status = GotoJtagState(state);
        if (status != kJbcSuccess) return status;
    }
    DelayMicroseconds(microseconds);
    return kJbcSuccess;
}

bool CAlteraJtagConfig::ShiftBits(bool ir, int kind, uint32_t total, uint8_t* pBits,
                                  uint8_t* pCapture) {
    static constexpr uint32_t kDrEntry[2][5] = {{1, 0, 0}, {1, 1, 1, 0, 0}};
    static constexpr uint32_t kIrEntry[2][6] = {{1, 1, 0, 0}, {1, 1, 1, 1, 0, 0}};
    if (kind < 0 || kind > 2) return false;
    const int row = kind == 0 ? 0 : 1;
    const int count = ir ? (row == 0 ? 4 : 6) : (row == 0 ? 3 : 5);
    for (int i = 0; i < count; ++i)
        Clock(ir ? kIrEntry[row][i] : kDrEntry[row][i]);
    for (uint32_t i = 0; i < total; ++i) {
        const uint32_t tdo =
            JtagIo(i + 1 == total ? 1 : 0, Bit(pBits, i) ? 1 : 0, pCapture ? 1 : 0);
        if (pCapture != nullptr) PutBit(pCapture, i, tdo != 0);
    }
    Clock(0);
    return true;
}

int32_t CAlteraJtagConfig::Scan(bool ir, uint32_t count, const uint8_t* pSource,
                                uint32_t sourceStart, uint8_t* pCapture, uint32_t captureStart) {
    const uint32_t pre = ir ? m_dwIrPreambleLength : m_dwDrPreambleLength;
    const uint32_t post = ir ? m_dwIrPostambleLength : m_dwDrPostambleLength;
    const uint64_t total64 = uint64_t{pre} + count + post;
    // Nothing to shift: the TAP would be left in the Shift state while
    // recorded as Pause.
    if (total64 == 0 || total64 > UINT32_MAX || (count > 0 && pSource == nullptr)) {
        return kJbcBoundsError;
    }
    const uint32_t total = static_cast<uint32_t>(total64);

    int kind = 0;
    int32_t pivot = kTapIdle;
    if (m_nTapState >= kTapSelectDr && m_nTapState <= kTapUpdateDr) {
        kind = 1;
        pivot = kTapPauseDr;
    } else if (m_nTapState >= kTapSelectIr) {
        kind = 2;
        pivot = kTapPauseIr;
    }
    if (m_nTapState != pivot) {
        const int32_t status = GotoJtagState(pivot);
        if (status != kJbcSuccess) return status;
    }

    uint8_t*& buffer = ir ? m_pIrScan : m_pDrScan;
    uint32_t& capacity = ir ? m_dwIrScanCapacity : m_dwDrScanCapacity;
    if (m_pWorkArea) {
        if (total > (ir ? kIrScanArea.limitBits : kDrScanArea.limitBits)) return kJbcOutOfMemory;
    } else if (total > capacity || buffer == nullptr) {
        uint8_t* bits = Allocate(total);
        if (bits == nullptr) return kJbcOutOfMemory;
        std::free(buffer);
        buffer = bits;
        capacity = (total + 7) / 8 * 8;
    }

    // ConcatenateScanBits
    const uint8_t* preBits = ir ? m_pIrPreamble : m_pDrPreamble;
    const uint8_t* postBits = ir ? m_pIrPostamble : m_pDrPostamble;
    for (uint32_t i = 0; i < pre; ++i)
        PutBit(buffer, i, Bit(preBits, i));
    for (uint32_t i = 0; i < count; ++i)
        PutBit(buffer, uint64_t{pre} + i, Bit(pSource, uint64_t{sourceStart} + i));
    for (uint32_t i = 0; i < post; ++i)
        PutBit(buffer, uint64_t{pre} + count + i, Bit(postBits, i));

    ShiftBits(ir, kind, total, buffer, pCapture != nullptr ? buffer : nullptr);

    m_nTapState = ir ? kTapPauseIr : kTapPauseDr;
    const int32_t stop = ir ? m_nIrStopState : m_nDrStopState;
    int32_t status = kJbcSuccess;
    if (stop != m_nTapState) status = GotoJtagState(stop);

    // ExtractScanBits
    if (pCapture != nullptr) {
        for (uint32_t i = 0; i < count; ++i)
            PutBit(pCapture, uint64_t{captureStart} + i, Bit(buffer, uint64_t{pre} + i));
    }
    return status;
}

int32_t CAlteraJtagConfig::DrScan(uint32_t count, const uint8_t* pSource, uint32_t start) {
    return Scan(false, count, pSource, start, nullptr, 0);
}
int32_t CAlteraJtagConfig::IrScan(uint32_t count, const uint8_t* pSource, uint32_t start) {
    return Scan(true, count, pSource, start, nullptr, 0);
}
int32_t CAlteraJtagConfig::DrScanCapture(uint32_t count, const uint8_t* pSource,
                                         uint32_t sourceStart, uint8_t* pCapture,
                                         uint32_t captureStart) {
    return Scan(false, count, pSource, sourceStart, pCapture, captureStart);
}
int32_t CAlteraJtagConfig::IrScanCapture(uint32_t count, const uint8_t* pSource,
                                         uint32_t sourceStart, uint8_t* pCapture,
                                         uint32_t captureStart) {
    return Scan(true, count, pSource, sourceStart, pCapture, captureStart);
}

void CAlteraJtagConfig::FreeJtagBuffers(int32_t reset) {
    if (reset && m_nTapState != kTapUndetermined) ResetJtagToIdle();
    if (m_pWorkArea) return;
    for (uint8_t** buffer : {&m_pDrPreamble, &m_pDrPostamble, &m_pIrPreamble, &m_pIrPostamble,
                             &m_pDrScan, &m_pIrScan}) {
        std::free(*buffer);
        *buffer = nullptr;
    }
}

}  // namespace velmora::program

#include "program/OstrevoLines.h"

namespace velmora::program {

namespace {

constexpr uint32_t kLocalSpace0Descriptor = 0x18;
constexpr uint32_t kReadyInputEnableBit = 6;

}  // namespace

uint32_t COstrevoLines::Write() {
    if (m_pLineWindow == nullptr) return 0;
    const uint32_t zero = 0;
    return m_pBridge->BarSpaceWrite(kLocalBusBar, 4 * m_dwLineWord, &zero);
}

uint32_t COstrevoLines::SetLine(uint32_t bit, uint32_t level) {
    if (level > 1) return 0;
    m_dwLineWord = level ? m_dwLineWord | bit : m_dwLineWord & ~bit;
    return Write();
}

uint32_t COstrevoLines::ReadInput(uint32_t fixedBits, uint32_t* pLevel) {
    if (pLevel == nullptr) return 0;
    m_dwLineWord |= fixedBits;
    if (!Write()) return 0;
    return m_pBridge->GetUserInput(0, pLevel);
}

void COstrevoLines::ReleaseDmaLocks() {
    m_pDmaLock[1].reset();
    m_pDmaLock[0].reset();
}

uint32_t COstrevoLines::Open() {
    // Entered already (a reconfiguration waits for its leave): the board is
    // held once, however often the mode is entered.
    if (m_bOpen) return 1;
    if (!m_pBridge->FindBoard(m_nCardIndex)) return 0;
    if (!m_pBridge->OpenBoard()) return 0;
    for (uint32_t channel = 0; channel < 2; ++channel) {
        m_pDmaLock[channel] = std::make_unique<hw::CDmaChannelLock>(m_pBridge, channel);
        if (!m_pDmaLock[channel]->Held()) {
            ReleaseDmaLocks();
            m_pBridge->CloseBoard();
            return 0;
        }
    }
    if (!m_pBridge->WritePlxRegisterBit(kLocalSpace0Descriptor, kReadyInputEnableBit, 0)) {
        ReleaseDmaLocks();
        m_pBridge->CloseBoard();
        return 0;
    }
    if (!m_pBridge->MapBar(kLocalBusBar, &m_pLineWindow)) {
        m_pLineWindow = nullptr;
        m_pBridge->WritePlxRegisterBit(kLocalSpace0Descriptor, kReadyInputEnableBit, 1);
        ReleaseDmaLocks();
        m_pBridge->CloseBoard();
        return 0;
    }
    m_bOpen = true;
    return 1;
}

uint32_t COstrevoLines::Close() {
    // Not entered: the board is the card's own, not ours to close.
    if (!m_bOpen) return 0;
    m_bOpen = false;
    uint32_t ok = m_pBridge->WritePlxRegisterBit(kLocalSpace0Descriptor, kReadyInputEnableBit, 1);
    if (m_pLineWindow != nullptr && !m_pBridge->UnmapBar(&m_pLineWindow)) ok = 0;
    m_pLineWindow = nullptr;
    ReleaseDmaLocks();
    if (!m_pBridge->CloseBoard()) ok = 0;
    return ok ? 1 : 0;
}

}  // namespace velmora::program

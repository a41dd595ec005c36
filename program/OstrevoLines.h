#pragma once

// The card's programming lines as the two board programmers drive them: the
// levels of all lines are the address bits of a 32-bit write of 0 into the
// local-bus window (BAR 2) at word offset `line word`; the one input comes
// back on the bridge's USERi pin, and USERo low hands the lines to the
// devices. Each write is a bridge BAR-space write, so every level change
// reaches the local bus as its own transfer, in order.
//
// While the lines are held the bridge's two DMA channel locks of the board
// are held too, so that no transfer of the card runs beside the programming.

#include <cstdint>
#include <memory>

#include "hw/DmaChannelLock.h"
#include "hw/PlxPex8311.h"

namespace velmora::program {

// LINE_WORD_BITS
enum : uint32_t {
    kLineTms = 0x1000,
    kLineTdi = 0x0800,
    kLineTck = 0x0400,
    kLineFixed200 = 0x0200,
    kLineFixed100 = 0x0100,
    kLineFixed080 = 0x0080,
    kLineDclk = 0x0040,
    kLineNcs = 0x0020,
    kLineAsdi = 0x0010,
    kLineNconfig = 0x0008,
    kLineNce = 0x0004,
};

inline constexpr uint32_t kLocalBusBar = 2;  // LOCAL_BUS_BAR

class COstrevoLines {
  public:
    COstrevoLines(uint32_t cardIndex, hw::CPlxPex8311* pBridge, uint32_t initialWord)
        : m_nCardIndex(cardIndex), m_pBridge(pBridge), m_dwLineWord(initialWord) {}
    COstrevoLines(const COstrevoLines&) = delete;
    COstrevoLines& operator=(const COstrevoLines&) = delete;

    // Level 0 clears, 1 sets the line's bit, and the word goes out; a level
    // above 1 changes nothing. 0 also when no window is mapped.
    uint32_t SetLine(uint32_t bit, uint32_t level);
    // Sets the fixed bits, writes the word and reads USERi.
    uint32_t ReadInput(uint32_t fixedBits, uint32_t* pLevel);

    // Selects and opens the board, takes its DMA channel locks, clears READY#
    // input enable and maps the window; a failed step undoes the steps
    // before it, in reverse.
    uint32_t Open();
    // Every step runs, also after a failed one: READY# input enable back,
    // window unmapped, locks released, board closed. 1 when all succeeded;
    // 0 and nothing done when not open.
    uint32_t Close();
    uint32_t SetUserOutput(uint32_t level) { return m_pBridge->SetUserOutput(0, level); }

    // The last step of entering a programming mode, after Open: the lines at
    // their idle levels (idle()) and handed to the devices (USERo low). A
    // failure closes the board again.
    template <typename Idle>
    uint32_t Engage(Idle idle) {
        idle();
        if (SetUserOutput(0)) return 1;
        Close();
        return 0;
    }
    // Leaving a programming mode: USERo high, the lines idle, the board
    // closed. Every step runs: a failed one must not leave the board held.
    template <typename Idle>
    uint32_t Disengage(Idle idle) {
        uint32_t ok = SetUserOutput(1);
        idle();
        if (!Close()) ok = 0;
        return ok ? 1 : 0;
    }

    // Whether the board is held for a programming mode (between Open and
    // Close).
    bool Held() const { return m_bOpen; }
    uint32_t CardIndex() const { return m_nCardIndex; }
    hw::CPlxPex8311* Bridge() const { return m_pBridge; }
    uint32_t LineWord() const { return m_dwLineWord; }

  private:
    uint32_t Write();
    void ReleaseDmaLocks();

    uint32_t m_nCardIndex;
    hw::CPlxPex8311* m_pBridge;
    void* m_pLineWindow = nullptr;
    uint32_t m_dwLineWord;
    std::unique_ptr<hw::CDmaChannelLock> m_pDmaLock[2];
    bool m_bOpen = false;
};

}  // namespace velmora::program

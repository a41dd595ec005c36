#pragma once

// Words used here:
// - unit: one packet, one entry of kAsiUnitWords words in the card's window.
// - written: units the card has written, counted in 64 bits from an origin
//   of the record's.
// - committed: the unit of the read pointer last given to the card.
// - whole: an entry read as the card wrote it, not written over meanwhile.
// - moment: a reading of the card clock with the card's count of packets
//   received then (TsInputRecord::clockAndReceived).
// - mark: this process's look that the input's rate is measured from.
// - doubt: how many more packets than the record's count the card may have
//   dropped, left by a commit that let a full card write again.
// - guess: a latch that could not tell how often the card's 32-bit count
//   wrapped since the moment and took an estimate, which may be off by whole
//   multiples of 2^32.
//
// The card's ASI input counted in units (one packet each) against the record
// that every process capturing from the card shares (card::TsInputRecord):
// what the card has written, the unit of the read pointer it holds and what
// it has dropped, each in 64 bits. A unit lies in the window at its index
// modulo the window's units.
//
// The card never writes past the read pointer last committed, and every
// commit goes through CommitAt, under the input's DMA channel, between two
// reads of the write pointer that the record takes in. A pointer is never
// committed behind the card's: the card is then held back by a pointer no
// further on than the record's count, so it writes less than a window
// between any two reads, and a count brought up from the record by one read
// of the write pointer is exact, with or without the channel, as long as no
// commit came between. The card drops packets only while it is full, when
// its write pointer stands still: its count latched then, against the units
// written, tells what it dropped. The count has 32 bits: how often it wrapped
// since the record's last moment is known while the card's clock since lets
// the fastest input bring it round one number of times only; past that, the
// input's rate, measured while the card had room, gives a guess.

#include <atomic>
#include <cstdint>

#include "card/TsInputShare.h"

namespace velmora::card {
class CVelmoraBoardSupport;
}

namespace velmora::ts {

// Card window geometry in 32-bit words: one entry is a unit of 64 words.
inline constexpr uint32_t kAsiUnitWords = 64;

class CAsiInputCount {
  public:
    static constexpr uint64_t kUnknown = card::TsInputRecord::kUnknown;

    // The card at one look.
    struct View {
        uint64_t written = 0;    // units the card has written
        uint64_t committed = 0;  // the unit of the card's read pointer
        // What the card has dropped: at least `dropped`, at most `doubt`
        // more (the record's words as read, `doubt` with its count of sets).
        uint64_t dropped = kUnknown;
        uint64_t doubt = 0;
        bool full = false;      // no room left: what arrives is dropped
        uint64_t sequence = 0;  // the record's at the look, which a latch checks
        uint64_t MostDropped() const { return dropped + static_cast<uint32_t>(doubt); }
    };
    enum class Commit { Done, Behind, Failed };

    explicit CAsiInputCount(card::CVelmoraBoardSupport* pBoardSupport);
    CAsiInputCount(const CAsiInputCount&) = delete;
    CAsiInputCount& operator=(const CAsiInputCount&) = delete;

    void SetWindow(uint32_t firstWord, uint32_t endWord);

    // The card as it stands, without the channel: false when a commit came
    // between the reads (or is under way), or the card cannot be read.
    bool Look(View* pView);
    // The same for a holder of the channel, which keeps the record up and
    // finishes a commit that a process that died left half done.
    bool LookHolding(View* pView);
    // Latches the card's count and takes in what the card dropped, when the
    // card wrote nothing from the look to the latch (it is full, or its
    // input is off) and no commit came; false otherwise.
    bool LatchDropped(View* pView);
    // For a holder of the channel: up to `tries` latches, until one comes
    // while the card writes nothing. While the card has room it drops
    // nothing, so each latch bounds one same figure, and the bounds of all
    // are kept, the doubt between them too.
    bool SettleDropped(View* pView, uint32_t tries);
    // For a holder of the channel: commits the read pointer at `unit`. Behind
    // (nothing committed) when the card's pointer is further on, since a
    // pointer behind it could be one the card has already passed; Failed
    // when `unit` lies past what the card wrote or the commit failed.
    Commit CommitAt(uint64_t unit, uint32_t port);

    // Where `unit` lies, in card words.
    uint32_t PointerOf(uint64_t unit) const;
    // The unit at card word `pointer`, at most a window behind `written`.
    uint64_t UnitOf(uint32_t pointer, uint64_t written) const;
    uint32_t Units() const { return (m_dwEndWord - m_dwFirstWord) / kAsiUnitWords; }
    // Latches that guessed how often the card's count wrapped (see
    // TsInputRecord).
    uint64_t Guesses() const;
    // A capture's start: the rate is measured from its looks alone, since
    // the input may have been off, or its source another, since this
    // process's last.
    void RestartRate() { m_bMarkStale = true; }
    // An input switched on from off: the rate measured before tells nothing
    // of the next source's.
    void ForgetRate();

  private:
    // The unit card word `pointer` starts, in the window.
    uint32_t WindowUnit(uint32_t pointer) const {
        return (pointer - m_dwFirstWord) / kAsiUnitWords;
    }
    // The unit the card's write pointer stands at, in the window.
    bool ReadWriteUnit(uint32_t* pUnit);
    // LookHolding's finish of a commit whose process died inside it.
    bool FinishDeadCommit(View* pView);
    // `written` brought up to the write pointer at window unit `unit`.
    uint64_t WrittenUpTo(uint64_t written, uint32_t unit) const;
    void Fill(View* pView, uint64_t written) const;
    // Keeps `least` in the record unless it holds more, and the doubt the
    // record had at the look (`doubt`) replaced by `more` beyond it, unless
    // it was set since.
    // A latch that settles the count exactly also keeps the moment, at card
    // clock `clock` (none when kNoClock).
    void KeepDropped(View* pView, uint64_t least, uint32_t more, uint64_t clock);
    // `low`, the low 32 bits of a count of drops, unwrapped by the view's
    // and what the card can have received since the record's moment, by
    // card clock `clock` read at most kLatchTicks before the latch (kNoClock
    // when it could not be read).
    uint64_t Unwrap(const View& view, uint32_t low, uint64_t clock);
    static constexpr uint64_t kNoClock = UINT64_MAX;
    // The card clock, kNoClock when it cannot be read.
    uint64_t ReadClock();
    // Whether `clock`, read just before a latch, dates it: read again after
    // the latch, the clock has moved on by kLatchTicks at most.
    bool DatesLatch(uint64_t clock);
    // Keeps `received` units, counted by card clock `clock`, as the record's
    // moment unless it has a later one.
    void KeepReceived(uint64_t clock, uint64_t received);
    // Measures the input's rate between looks at least kRateUnits apart
    // that found room, with no drop counted between.
    void NoteRate(const View& view);

    card::CVelmoraBoardSupport* m_pBoardSupport;
    uint32_t m_dwFirstWord;
    uint32_t m_dwEndWord;
    // This process's look the rate is measured from (none while `written`
    // is 0): its card clock is read only once kRateUnits have come since, so
    // that a capture that keeps up seldom latches the card's registers.
    struct RateMark {
        uint64_t written = 0;
        uint64_t clock = kNoClock;
        uint64_t dropped = 0;
        uint64_t doubt = 0;
    } m_RateMark;
    // The mark is the reading thread's: another that wants it measured
    // anew says so here, and the next look starts it again.
    std::atomic<bool> m_bMarkStale{false};
};

}  // namespace velmora::ts

#pragma once

// The card's transport-stream input is one switch for every process that
// captures from the card: it stays on while any of them captures, and one
// process's stop (or close) ends only its own capture.
//
// Each capturing process holds a slot: a small named block of the card that
// lives exactly as long as its holder keeps it, so a process that dies while
// capturing gives its slot up with its life. It neither keeps the input on
// once the others have stopped nor turns it off under them. The slots and
// the switch change under a named mutex of the card.
//
// The card has one read-pointer register for all of them, and it holds the
// pointer of whoever committed last. The share also keeps the input's record
// below in a block every process that has the card open holds.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora::platform {
class NamedMutex;
class SharedMemory;
}  // namespace velmora::platform

namespace velmora::card {

// What the processes that capture from the card know of its input, in units
// (one packet each) counted in 64 bits, so that no run length wraps them. The
// card never writes past the read pointer last committed, and every commit is
// made under the input's DMA channel between two reads of the write pointer:
// what the card wrote between two such reads is less than a window, so
// `written` is exact. Each word changes by one store, so a process that dies
// anywhere leaves every word whole; `sequence` is odd while a commit is under
// way, and the next holder of the channel finishes one that a dead process
// left.
struct TsInputRecord {
    static constexpr uint64_t kUnknown = UINT64_MAX;
    // A step of the card clock is 2^13 ticks (82 ms): the moment's 31 bits
    // of steps then span years.
    static constexpr uint32_t kClockStepBits = 13;
    static constexpr uint64_t kMomentKnown = uint64_t{1} << 63;
    // Units the card has written; its unit in the window is `written` modulo
    // the window's units. 0 until a holder of the channel first sets it.
    uint64_t written;
    // The unit of the read pointer last committed.
    uint64_t committed;
    // The card's count of packets received less `written`: the packets the
    // card dropped, from an origin of its own, at least. kUnknown until
    // first latched.
    uint64_t dropped;
    // How many more it may have dropped (low 32 bits), when a commit let a
    // card that may have been full write again before a latch could tell;
    // the high 32 bits count the times this was set.
    uint64_t doubt;
    uint64_t sequence;
    // A moment the card's count was known, so that a latch after a long
    // stop can tell how often the count wrapped since, packed in one word:
    // kMomentKnown once set (a moment at clock 0 with a count of 0 is one
    // too), the card clock then, in steps of 2^kClockStepBits ticks modulo
    // 2^31, in bits 32-62, and the low 32 bits of the units the card had
    // received by then (`written` and `dropped` together). A later moment
    // replaces an earlier one only.
    uint64_t clockAndReceived = 0;
    // The input's arrival rate in packets per card clock tick, times 2^32,
    // as last measured while the card had room; 0 until measured.
    uint64_t rate = 0;
    // How many latches could not tell how often the card's count wrapped
    // since the record's moment, and took an estimate, so that a count may
    // be off by whole multiples of 2^32.
    uint64_t guesses = 0;
};

class CTsInputShare {
  public:
    // Processes that can capture from one card at once.
    static constexpr uint32_t kSlots = 32;
    // How long a switch waits for another process's.
    static constexpr uint32_t kLockWaitMs = 10000;

    // Names begin with the card name and carry the card index.
    CTsInputShare(std::string cardName, uint32_t cardIndex);
    ~CTsInputShare();
    CTsInputShare(const CTsInputShare&) = delete;
    CTsInputShare& operator=(const CTsInputShare&) = delete;

    // Takes this process's slot (kept when held already), then switches the
    // input on with `switchOn`; its result, or 0 (with a log line) when no
    // slot or no lock could be had. A slot taken for a switch that failed is
    // given back.
    uint32_t Hold(const std::function<uint32_t()>& switchOn);
    // Gives this process's slot up and, when no other process holds one,
    // switches the input off with `switchOff` (its result); 1 when the input
    // stays on for the others. 0 (with a log line) when the switch's lock or
    // the slots could not be had; the slot is then given up by the next
    // Release.
    uint32_t Release(const std::function<uint32_t()>& switchOff);

    // The input's record: the card's, or this process's own when the block
    // could not be had.
    TsInputRecord* Record();

  private:
    std::string SlotName(uint32_t slot) const;
    // Which slots a process holds, this one's included.
    bool FindHeldSlots(std::vector<bool>* held) const;
    std::unique_ptr<platform::SharedMemory> TakeFreeSlot();

    std::string m_strCardName;
    uint32_t m_dwCardIndex;
    std::unique_ptr<platform::NamedMutex> m_pMutex;
    std::unique_ptr<platform::SharedMemory> m_pSlot;
    // Kept while the card is open, so that the reader thread's commits never
    // meet a block being let go of.
    std::unique_ptr<platform::SharedMemory> m_pRecordBlock;
    TsInputRecord m_OwnRecord{0, 0, TsInputRecord::kUnknown, 0, 0};
};

}  // namespace velmora::card

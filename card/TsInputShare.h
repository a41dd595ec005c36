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
// pointer of whoever committed last. The share also counts those commits in
// a block every process that has the card open holds: a reader that finds
// the count moved since its own last commit knows the card may have written
// over what it holds. The block also keeps how many slots were held at the
// last switch.

#include <atomic>
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

    // To be called after each commit of the card's input read pointer.
    void NoteCommit();
    // Whether another process has committed the pointer since this one
    // last did (false when the count's block could not be had).
    bool CommittedElsewhere() const;
    // Whether another process has committed since this was last asked, even
    // when this one committed after it.
    bool CommittedElsewhereSinceAsked();
    // Whether another process held a capture slot at the last switch of any
    // process (a shared-memory read: no lock is taken).
    bool OthersCapture() const;

  private:
    std::string SlotName(uint32_t slot) const;
    // Which slots a process holds, this one's included.
    bool FindHeldSlots(std::vector<bool>* held) const;
    std::unique_ptr<platform::SharedMemory> TakeFreeSlot();
    // Keeps the number of slots `held` in the block, for OthersCapture.
    void NoteCaptures(const std::vector<bool>& held);
    uint64_t Commits() const;

    std::string m_strCardName;
    uint32_t m_dwCardIndex;
    std::unique_ptr<platform::NamedMutex> m_pMutex;
    std::unique_ptr<platform::SharedMemory> m_pSlot;
    // Kept while the card is open, so that the reader thread's commits never
    // meet a block being let go of.
    std::unique_ptr<platform::SharedMemory> m_pCommits;
    std::atomic<uint64_t> m_ullOwnCommit{0};
    std::atomic<bool> m_bCommittedElsewhere{false};
    // The count at the last CommittedElsewhereSinceAsked.
    uint64_t m_ullAsked = 0;
    // Whether m_pSlot is held, for the reader thread's look at the slots.
    std::atomic<bool> m_bHolding{false};
};

}  // namespace velmora::card

#pragma once

// A step of the simulated card's hardware changes several words of the card's
// state under its lock, which a process can be killed half-way through, where
// the card's own hardware never stops. So a step keeps the words it changes in
// a journal first; the next holder of the lock, told that the last one died,
// puts back those of a step left open, and the step is done again, whole, the
// next time the card catches up. What a step writes outside its words (ring
// entries past a pointer, monitor records, a tap file at a place the words
// give) is unseen until the words say so, or written the same way again.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace velmora::sim {

template <size_t Capacity>
struct SimStepJournal {
    uint32_t open;  // `saved` holds the words of a step under way
    uint8_t saved[Capacity];
};

// A stretch of the card's state that a step changes.
struct SimWords {
    void* at;
    size_t size;
};

// The step on `words` for the scope of one object; the journal must hold them
// all. The signal fences keep the compiler's stores in the order written: a
// kill stops a process between two instructions, as a signal handler would.
template <size_t Capacity>
class SimStep {
  public:
    SimStep(SimStepJournal<Capacity>& journal, std::initializer_list<SimWords> words)
        : m_journal(journal) {
        uint8_t* saved = journal.saved;
        for (const SimWords& stretch : words) {
            std::memcpy(saved, stretch.at, stretch.size);
            saved += stretch.size;
        }
        std::atomic_signal_fence(std::memory_order_seq_cst);
        journal.open = 1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    ~SimStep() {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        m_journal.open = 0;
    }
    SimStep(const SimStep&) = delete;
    SimStep& operator=(const SimStep&) = delete;

    // Puts back the words of a step whose holder died (again, should this
    // holder die on the way too); false when no step was left open.
    static bool Undo(SimStepJournal<Capacity>& journal, std::initializer_list<SimWords> words) {
        if (!journal.open) return false;
        const uint8_t* saved = journal.saved;
        for (const SimWords& stretch : words) {
            std::memcpy(stretch.at, saved, stretch.size);
            saved += stretch.size;
        }
        std::atomic_signal_fence(std::memory_order_seq_cst);
        journal.open = 0;
        return true;
    }

  private:
    SimStepJournal<Capacity>& m_journal;
};

}  // namespace velmora::sim

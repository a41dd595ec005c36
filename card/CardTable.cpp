#include "card/CardTable.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

#include "card/VelmoraCard.h"
#include "platform/CallDeadline.h"

namespace velmora::card {

CVelmoraCard* g_pCardTable[kCardTableSize] = {};

namespace {

struct EntryGate {
    std::mutex lock;
    std::condition_variable idle;
    uint32_t calls = 0;
    bool changing = false;
};

// Never destroyed: application threads may still call while the process
// ends.
EntryGate* const g_EntryGates = new EntryGate[kCardTableSize];

// A forked child has none of the parent's other threads: a gate one of them
// held or counted a call on at the fork would turn the child's calls away or
// block them for ever. The child starts with open gates; the exports then
// refuse the inherited cards themselves.
void OpenGatesInChild() {
    for (uint32_t index = 0; index < kCardTableSize; ++index)
        new (&g_EntryGates[index]) EntryGate();
}

const int g_ForkHandler = pthread_atfork(nullptr, nullptr, &OpenGatesInChild);

std::atomic<bool> g_ProcessEnding{false};

// The card's threads call into the device layer, the log and the simulated
// card until the card is closed: they must be gone before any static object
// they use is destroyed. Closes on other threads finish first; opens after
// this are refused.
void CloseOpenCards() {
    g_ProcessEnding.store(true);
    for (uint32_t index = 0; index < kCardTableSize; ++index)
        CloseCardEntry(index);
}

}  // namespace

CardCall::CardCall(uint32_t cardIndex) : m_dwCardIndex(cardIndex) {
    if (cardIndex >= kCardTableSize) return;
    EntryGate& gate = g_EntryGates[cardIndex];
    std::lock_guard<std::mutex> guard(gate.lock);
    if (gate.changing || !g_pCardTable[cardIndex]) return;
    m_pCard = g_pCardTable[cardIndex];
    ++gate.calls;
}

CardCall::~CardCall() {
    if (!m_pCard) return;
    EntryGate& gate = g_EntryGates[m_dwCardIndex];
    std::lock_guard<std::mutex> guard(gate.lock);
    if (--gate.calls == 0) gate.idle.notify_all();
}

CardEntryChange::CardEntryChange(uint32_t cardIndex) : m_dwCardIndex(cardIndex) {
    EntryGate& gate = g_EntryGates[cardIndex];
    std::unique_lock<std::mutex> guard(gate.lock);
    // The process's end closes cards whatever the application's threads are
    // doing, so it may meet their open or close of the same index.
    gate.idle.wait(guard, [&] { return !gate.changing; });
    gate.changing = true;
    gate.idle.wait(guard, [&] { return gate.calls == 0; });
}

CardEntryChange::~CardEntryChange() {
    EntryGate& gate = g_EntryGates[m_dwCardIndex];
    std::lock_guard<std::mutex> guard(gate.lock);
    gate.changing = false;
    gate.idle.notify_all();
}

bool CardEntryChange::ProcessEnding() const {
    return g_ProcessEnding.load();
}

uint32_t CloseCardEntry(uint32_t cardIndex) {
    const platform::CallDeadline deadline;
    const CardEntryChange change(cardIndex);
    CVelmoraCard*& entry = g_pCardTable[cardIndex];
    if (!entry) return 0;
    if (entry->IsInheritedCopy()) {
        // A process forked from the opener: the threads, DMA channels, counts
        // and devices these objects drive are the opener's, and closing or
        // even destroying them would stop the opener's card. The copy is set
        // aside untouched; it goes with this process.
        entry = nullptr;
        return 1;
    }
    const uint32_t result = entry->CloseCardObjects(1);
    delete entry;
    entry = nullptr;
    return deadline.Missed() ? 0 : result;
}

void CloseCardsWhenTheProcessEnds(bool afterOpen) {
    // The process's end (and the library's unloading) runs these handlers and
    // the static destructors in the reverse order of their registration, so
    // the close runs before the destructors of every static object built
    // before it (statics the card's threads build later are never destroyed).
    // Registered before the first open, for an end that meets it, and again
    // after it, so that the close also runs before the end handlers the
    // devices registered when the open first reached them; the later of the
    // two closes what is open, the other finds nothing.
    static const bool beforeOpen = std::atexit(&CloseOpenCards) == 0;
    static_cast<void>(beforeOpen);
    if (!afterOpen) return;
    static const bool registered = std::atexit(&CloseOpenCards) == 0;
    static_cast<void>(registered);
}

}  // namespace velmora::card

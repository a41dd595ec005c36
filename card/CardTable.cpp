#include "card/CardTable.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <new>

namespace velmora::card {

CVelmoraCard* g_pCardTable[kCardTableSize] = {};

namespace {

struct EntryGate {
    std::mutex lock;
    std::condition_variable idle;
    uint32_t calls = 0;
    bool changing = false;
};

EntryGate g_EntryGates[kCardTableSize];

// A forked child has none of the parent's other threads: a gate one of them
// held or counted a call on at the fork would turn the child's calls away or
// block them for ever. The child starts with open gates; the exports then
// refuse the inherited cards themselves.
void OpenGatesInChild() {
    for (EntryGate& gate : g_EntryGates)
        new (&gate) EntryGate();
}

const int g_ForkHandler = pthread_atfork(nullptr, nullptr, &OpenGatesInChild);

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
    gate.changing = true;
    gate.idle.wait(guard, [&] { return gate.calls == 0; });
}

CardEntryChange::~CardEntryChange() {
    EntryGate& gate = g_EntryGates[m_dwCardIndex];
    std::lock_guard<std::mutex> guard(gate.lock);
    gate.changing = false;
}

}  // namespace velmora::card

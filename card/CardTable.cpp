#include "card/CardTable.h"

#include <condition_variable>
#include <mutex>

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

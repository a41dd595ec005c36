#include "sim/SimNotificationTable.h"

#include <algorithm>

#include "platform/Event.h"

namespace velmora::sim {

void SimNotificationTable::Register(uintptr_t notifyObject, const void* owner, unsigned card,
                                    uint32_t flags, platform::Event* event) {
    std::lock_guard lock(m_mutex);
    for (Entry& entry : m_entries) {
        if (entry.notifyObject == notifyObject) {
            entry = {notifyObject, owner, card, flags, event};
            return;
        }
    }
    m_entries.push_back({notifyObject, owner, card, flags, event});
}

bool SimNotificationTable::Cancel(uintptr_t notifyObject) {
    std::lock_guard lock(m_mutex);
    const auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& entry) {
        return entry.notifyObject == notifyObject;
    });
    if (it == m_entries.end()) return false;
    m_entries.erase(it);
    return true;
}

void SimNotificationTable::RemoveOwner(const void* owner) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_entries, [&](const Entry& entry) { return entry.owner == owner; });
}

void SimNotificationTable::Signal(unsigned card, uint32_t flags) {
    std::lock_guard lock(m_mutex);
    for (const Entry& entry : m_entries) {
        if (entry.card == card && (entry.flags & flags)) entry.event->Set();
    }
}

}  // namespace velmora::sim

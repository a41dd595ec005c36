#include "platform/HandleTable.h"

#include "platform/Event.h"

namespace velmora::platform {

HandleTable& HandleTable::Instance() {
    // Never destroyed: card objects and application threads may still close
    // handles while the process's static objects go away.
    static HandleTable* const table = new HandleTable;
    return *table;
}

Handle HandleTable::Insert(std::unique_ptr<Event> event) {
    if (!event) return nullptr;
    std::shared_ptr<Event> shared(std::move(event));
    std::lock_guard<std::mutex> lock(m_lock);
    // Values only grow (a 64-bit count does not wrap), so a closed handle can
    // never come to name another event.
    const uintptr_t value = ++m_lastValue;
    m_entries.emplace(value, std::move(shared));
    return reinterpret_cast<Handle>(value);
}

std::shared_ptr<Event> HandleTable::Find(Handle handle) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_entries.find(reinterpret_cast<uintptr_t>(handle));
    return found != m_entries.end() ? found->second : nullptr;
}

bool HandleTable::Close(Handle handle) {
    std::shared_ptr<Event> event;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_entries.find(reinterpret_cast<uintptr_t>(handle));
        if (found == m_entries.end()) return false;
        event = std::move(found->second);
        m_entries.erase(found);
    }
    // Waits still holding a reference wake and fail; the object itself goes
    // with the last of them.
    event->Close();
    return true;
}

size_t HandleTable::Count() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_entries.size();
}

}  // namespace velmora::platform

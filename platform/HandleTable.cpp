#include "platform/HandleTable.h"

#include "platform/Event.h"
#include "platform/ForkSafeLock.h"
#include "platform/SharedMemory.h"

namespace velmora::platform {

HandleTable& HandleTable::Instance() {
    // Never destroyed: card objects and application threads may still close
    // handles while the process's static objects go away.
    static HandleTable* const table = new HandleTable;
    return *table;
}

std::mutex& HandleTable::Lock() {
    return Instance().m_lock;
}

const int HandleTable::s_forkHandlers =
    KeepLockUsableInForkedChild<std::mutex, &HandleTable::Lock>();

Handle HandleTable::InsertEntry(Entry entry) {
    std::lock_guard<std::mutex> lock(m_lock);
    // Values only grow (a 64-bit count does not wrap), so a closed handle can
    // never come to name another object.
    const uintptr_t value = ++m_lastValue;
    m_entries.emplace(value, std::move(entry));
    return reinterpret_cast<Handle>(value);
}

Handle HandleTable::Insert(std::unique_ptr<Event> event) {
    if (!event) return nullptr;
    return InsertEntry(std::shared_ptr<Event>(std::move(event)));
}

Handle HandleTable::Insert(std::unique_ptr<SharedMemory> block) {
    if (!block) return nullptr;
    return InsertEntry(std::shared_ptr<SharedMemory>(std::move(block)));
}

template <typename T>
std::shared_ptr<T> HandleTable::FindOf(Handle handle) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_entries.find(reinterpret_cast<uintptr_t>(handle));
    if (found == m_entries.end()) return nullptr;
    const auto* object = std::get_if<std::shared_ptr<T>>(&found->second);
    return object != nullptr ? *object : nullptr;
}

std::shared_ptr<Event> HandleTable::Find(Handle handle) const {
    return FindOf<Event>(handle);
}

std::shared_ptr<SharedMemory> HandleTable::FindSharedMemory(Handle handle) const {
    return FindOf<SharedMemory>(handle);
}

bool HandleTable::Close(Handle handle) {
    Entry entry;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_entries.find(reinterpret_cast<uintptr_t>(handle));
        if (found == m_entries.end()) return false;
        entry = std::move(found->second);
        m_entries.erase(found);
    }
    // Waits still holding a reference wake and fail; the object itself goes
    // with the last of them.
    if (const auto* event = std::get_if<std::shared_ptr<Event>>(&entry)) (*event)->Close();
    return true;
}

size_t HandleTable::Count() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_entries.size();
}

}  // namespace velmora::platform

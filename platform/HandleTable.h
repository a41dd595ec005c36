#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <variant>

namespace velmora::platform {

class Event;
class SharedMemory;

// What the library hands to applications for an event or a shared-memory
// block: an opaque value that names an entry of this process's handle table,
// never a pointer into the library. Null is no handle.
struct HandleTag;
using Handle = HandleTag*;

// The process's table of the handles given out by the library (field events,
// the events of the public wait API, the shared-memory blocks a mailbox peer
// opens). Each entry holds a counted reference to its object: a call that
// uses a handle takes a reference of its own for as long as it runs, so
// closing the handle meanwhile frees nothing under it. A closed or unknown
// handle, or one of the other kind, is refused by every call, and a value is
// never given out twice.
class HandleTable {
  public:
    static HandleTable& Instance();

    // Takes the event into a new entry; null for a null event.
    Handle Insert(std::unique_ptr<Event> event);
    Handle Insert(std::unique_ptr<SharedMemory> block);
    // A reference to the handle's event; null for a closed or unknown handle.
    std::shared_ptr<Event> Find(Handle handle) const;
    std::shared_ptr<SharedMemory> FindSharedMemory(Handle handle) const;
    // Ends the entry: every wait in progress on an event returns Failed,
    // later calls refuse the handle, and the object goes with its last
    // reference. False for a closed or unknown handle.
    bool Close(Handle handle);
    // Open entries.
    size_t Count() const;

  private:
    using Entry = std::variant<std::shared_ptr<Event>, std::shared_ptr<SharedMemory>>;

    HandleTable() = default;
    static std::mutex& Lock();
    static const int s_forkHandlers;
    Handle InsertEntry(Entry entry);
    template <typename T>
    std::shared_ptr<T> FindOf(Handle handle) const;

    mutable std::mutex m_lock;
    std::unordered_map<uintptr_t, Entry> m_entries;
    // Values start well above the small numbers a stray integer might hold.
    uintptr_t m_lastValue = 0xFFFF;
};

}  // namespace velmora::platform

#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace velmora::platform {

class Event;

// What the library hands to applications for an event: an opaque value that
// names an entry of this process's handle table, never a pointer into the
// library. Null is no handle.
struct HandleTag;
using Handle = HandleTag*;

// The process's table of the event handles given out by the library (field
// events, and the events of the public wait API). Each entry holds a counted
// reference to its event: a call that uses a handle takes a reference of its
// own for as long as it runs, so closing the handle meanwhile frees nothing
// under it. A closed or unknown handle is refused by every call, and a value
// is never given out twice.
class HandleTable {
  public:
    static HandleTable& Instance();

    // Takes the event into a new entry; null for a null event.
    Handle Insert(std::unique_ptr<Event> event);
    // A reference to the handle's event; null for a closed or unknown handle.
    std::shared_ptr<Event> Find(Handle handle) const;
    // Ends the entry: every wait in progress on it returns Failed, later
    // calls refuse the handle, and the event goes with its last reference.
    // False for a closed or unknown handle.
    bool Close(Handle handle);
    // Open entries.
    size_t Count() const;

  private:
    HandleTable() = default;

    mutable std::mutex m_lock;
    std::unordered_map<uintptr_t, std::shared_ptr<Event>> m_entries;
    // Values start well above the small numbers a stray integer might hold.
    uintptr_t m_lastValue = 0xFFFF;
};

}  // namespace velmora::platform

#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace velmora::platform {
class Event;
}

namespace velmora::sim {

// This process's interrupt notifications: each registration names the
// caller's notify object (its address is the key), the device it came
// through, the interrupt flags it waits for and the event to set.
//
// Events are set while the table is locked, so once a cancel (or the close
// of the device) has returned, no thread of the driver touches that event
// again and the caller may delete it.
class SimNotificationTable {
  public:
    // Adds or replaces the registration of `notifyObject`.
    void Register(uintptr_t notifyObject, const void* owner, unsigned card, uint32_t flags,
                  platform::Event* event);
    // False when the object is not registered.
    bool Cancel(uintptr_t notifyObject);
    // Drops every registration made through one device.
    void RemoveOwner(const void* owner);
    // Sets the event of every registration on `card` that waits for any of
    // `flags`.
    void Signal(unsigned card, uint32_t flags);

    // Held across fork() so the child never inherits a table locked by a
    // thread it does not have.
    void LockForFork() { m_mutex.lock(); }
    void UnlockAfterFork() { m_mutex.unlock(); }

  private:
    struct Entry {
        uintptr_t notifyObject;
        const void* owner;
        unsigned card;
        uint32_t flags;
        platform::Event* event;
    };

    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

}  // namespace velmora::sim

#pragma once

#include <mutex>

namespace velmora::platform {

// A process-local lock that the owning thread may take again (recursive), as
// the objects of this library expect of their critical sections. It also
// meets the standard Lockable requirements, so std::lock_guard works on it.
class CCriticalSection {
  public:
    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }
    bool TryLock() { return m_mutex.try_lock(); }

    void lock() { Lock(); }
    void unlock() { Unlock(); }
    bool try_lock() { return TryLock(); }

  private:
    std::recursive_mutex m_mutex;
};

}  // namespace velmora::platform

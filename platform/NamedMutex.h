#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/WaitResult.h"

namespace velmora::platform {

class SharedMemory;
struct ProcessSharedMutex;

// A mutex shared by name between processes, the stand-in of a Windows named
// mutex: recursive per thread; when its owner dies the next owner is told
// Abandoned; unlocking a mutex the thread does not own does nothing. It lives
// while any process holds it open.
class NamedMutex {
  public:
    // Creates the mutex, or opens it when it exists. Null on failure.
    static std::unique_ptr<NamedMutex> Create(std::string_view name);

    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Inside an exported call, the wait ends by the call's deadline; on a
    // thread told to stop (its end awaited), it gives up.
    WaitResult Lock(uint32_t timeoutMs = kInfinite);
    // Takes the mutex only if it is free now, leaving the call's deadline as
    // it is.
    WaitResult TryLock();
    // False when the calling thread does not own the mutex.
    bool Unlock();
    bool AlreadyExisted() const;

  private:
    explicit NamedMutex(std::unique_ptr<SharedMemory> memory);
    // Notes this thread as the owner when `result` took the mutex.
    WaitResult Taken(WaitResult result);

    std::unique_ptr<SharedMemory> m_memory;
    ProcessSharedMutex* m_mutex;
    // Which thread of this process holds the mutex through this object, and
    // how often: the robust-mutex bookkeeping links the mapping into that
    // thread's list, so the mapping must not go while it is held.
    std::atomic<int> m_ownerThread{0};
    std::atomic<uint32_t> m_depth{0};
};

}  // namespace velmora::platform

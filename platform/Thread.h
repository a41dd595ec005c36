#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/WaitResult.h"

namespace velmora::platform {

// The calling process's identifier.
uint32_t CurrentProcessId();

// A thread whose end can be waited for with a time-out, the way the library
// waits on thread handles. Destroying a thread that still runs detaches it.
class Thread {
  public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts body on a new thread; false when a thread is already held or the
    // system refuses one.
    bool Start(std::function<uint32_t()> body);
    // Waits for the end of the thread: Signaled once it has ended (it is then
    // joined and the object can start another), Timeout while it still runs,
    // Failed when no thread was started.
    WaitResult Join(uint32_t timeoutMs = kInfinite);
    // Lets the thread run on by itself and forgets it.
    void Detach();
    bool IsRunning() const;
    uint32_t ExitCode() const;

    // True on a thread started here once another thread waits for its end:
    // the thread has been told to stop, and its waits for locks that other
    // processes may hold give up rather than keep the waiter for as long as
    // such a holder (a stopped process) likes.
    static bool EndAwaited();

  private:
    struct Shared {
        std::mutex lock;
        std::condition_variable ended;
        bool started = false;
        bool done = false;
        std::atomic<bool> endAwaited{false};
        uint32_t exitCode = 0;
    };
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

}  // namespace velmora::platform

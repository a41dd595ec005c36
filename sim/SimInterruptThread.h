#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora::platform {
class Thread;
}

namespace velmora::sim {

class SimCard;
class SimNotificationTable;

// The one thread of this process that turns field boundaries of the cards it
// has open into field interrupts (local interrupt 1) for this process's
// registrations. It runs while at least one device is open and is stopped
// before the process's static objects are destroyed, so it never sets an
// event that a static owner has already deleted.
class SimInterruptThread {
  public:
    explicit SimInterruptThread(SimNotificationTable& table);
    ~SimInterruptThread();
    SimInterruptThread(const SimInterruptThread&) = delete;
    SimInterruptThread& operator=(const SimInterruptThread&) = delete;

    // One open device of `card` more or less; the first starts the thread and
    // the last stops it.
    void Watch(const std::shared_ptr<SimCard>& card);
    void Unwatch(const SimCard* card);

    // A child of fork() has none of its parent's threads; this starts its own
    // on the child's next request. Cheap when nothing is to be done.
    void RestartIfForked() {
        if (m_forked.load(std::memory_order_relaxed)) RestartAfterFork();
    }

    // Stops the thread for good (process exit).
    void Shutdown();

    void PrepareFork();
    void ParentAfterFork();
    void ChildAfterFork();

  private:
    struct Watched {
        std::shared_ptr<SimCard> card;
        unsigned users;
        uint64_t lastCount;
    };

    uint32_t Run();
    void Poll();
    void StartLocked();
    void StopLocked();
    void RestartAfterFork();

    SimNotificationTable& m_table;
    std::mutex m_lifecycle;   // serialises start and stop; held across the join
    std::mutex m_watchMutex;  // guards m_watched; the only lock the loop takes
    std::vector<Watched> m_watched;
    std::unique_ptr<platform::Thread> m_thread;
    // In a child of fork(): the handles of threads that only the parent has.
    // They must be neither joined nor destroyed, and are kept here so that a
    // leak check at the child's exit does not take them for lost memory.
    std::vector<platform::Thread*> m_parentThreads;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_forked{false};
    bool m_shutDown = false;
    bool m_exitHookInstalled = false;
};

}  // namespace velmora::sim

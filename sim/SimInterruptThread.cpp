#include "sim/SimInterruptThread.h"

#include <algorithm>
#include <cstdlib>

#include "hw/PlxTypes.h"
#include "platform/Thread.h"
#include "platform/Time.h"
#include "sim/SimCard.h"
#include "sim/SimNotificationTable.h"

namespace velmora::sim {

namespace {

// Polling every millisecond keeps delivery within a millisecond of a field
// boundary, and a manual step is seen just as fast.
constexpr uint32_t kPollMs = 1;
// A card whose lock another process keeps (it may be stopped there) holds a
// pass up no longer than this, nor the device opens and closes that wait for
// the pass; a later pass sees the field.
constexpr uint32_t kCardWaitMs = 10;

SimInterruptThread* g_exitTarget = nullptr;

void StopAtExit() {
    if (g_exitTarget) g_exitTarget->Shutdown();
}

}  // namespace

SimInterruptThread::SimInterruptThread(SimNotificationTable& table) : m_table(table) {}

SimInterruptThread::~SimInterruptThread() {
    Shutdown();
}

void SimInterruptThread::Watch(const std::shared_ptr<SimCard>& card) {
    std::lock_guard lifecycle(m_lifecycle);
    {
        std::lock_guard lock(m_watchMutex);
        auto it = std::find_if(m_watched.begin(), m_watched.end(),
                               [&](const Watched& w) { return w.card == card; });
        if (it != m_watched.end()) {
            ++it->users;
        } else {
            // Fields that passed before the device was opened are not news.
            uint64_t count = 0;
            bool enabled = false;
            card->FieldState(&count, &enabled);
            m_watched.push_back({card, 1, count});
        }
    }
    if (!m_thread) StartLocked();
}

void SimInterruptThread::Unwatch(const SimCard* card) {
    std::lock_guard lifecycle(m_lifecycle);
    bool none = false;
    {
        std::lock_guard lock(m_watchMutex);
        auto it = std::find_if(m_watched.begin(), m_watched.end(),
                               [&](const Watched& w) { return w.card.get() == card; });
        if (it != m_watched.end() && --it->users == 0) m_watched.erase(it);
        none = m_watched.empty();
    }
    if (none && m_thread) StopLocked();
}

void SimInterruptThread::Shutdown() {
    std::lock_guard lifecycle(m_lifecycle);
    m_shutDown = true;
    if (m_thread) StopLocked();
}

void SimInterruptThread::StartLocked() {
    if (m_shutDown) return;
    if (!m_exitHookInstalled) {
        // Registered after the objects that opened a device were built, so it
        // runs before their destructors.
        g_exitTarget = this;
        std::atexit(StopAtExit);
        m_exitHookInstalled = true;
    }
    m_stop.store(false);
    auto thread = std::make_unique<platform::Thread>();
    if (thread->Start([this] { return Run(); })) m_thread = std::move(thread);
}

void SimInterruptThread::StopLocked() {
    m_stop.store(true);
    m_thread->Join(platform::kInfinite);
    m_thread.reset();
}

void SimInterruptThread::RestartAfterFork() {
    std::lock_guard lifecycle(m_lifecycle);
    if (!m_forked.exchange(false)) return;
    bool any = false;
    {
        std::lock_guard lock(m_watchMutex);
        any = !m_watched.empty();
    }
    if (any && !m_thread) StartLocked();
}

uint32_t SimInterruptThread::Run() {
    while (!m_stop.load()) {
        platform::Sleep(kPollMs);
        Poll();
    }
    return 0;
}

void SimInterruptThread::Poll() {
    std::lock_guard lock(m_watchMutex);
    for (Watched& watched : m_watched) {
        uint64_t count = 0;
        bool enabled = false;
        if (watched.card->FieldState(&count, &enabled, kCardWaitMs) != hw::ApiSuccess) continue;
        if (count == watched.lastCount) continue;
        // Several boundaries since the last look still make one interrupt:
        // the events are levels, not counters.
        watched.lastCount = count;
        if (enabled) m_table.Signal(watched.card->Index(), hw::kPlxIntLocal1);
    }
}

void SimInterruptThread::PrepareFork() {
    m_lifecycle.lock();
    m_watchMutex.lock();
    // The child sets the thread aside without allocating: the child of a
    // process with threads may not before its exec (an allocator that another
    // thread held at the fork stays locked there).
    if (m_thread) m_parentThreads.reserve(m_parentThreads.size() + 1);
}

void SimInterruptThread::ParentAfterFork() {
    m_watchMutex.unlock();
    m_lifecycle.unlock();
}

void SimInterruptThread::ChildAfterFork() {
    m_watchMutex.unlock();
    m_lifecycle.unlock();
    // The parent's thread does not exist here; its handle must be neither
    // joined nor detached.
    if (m_thread) {
        m_parentThreads.push_back(m_thread.release());
        m_forked.store(true);
    }
}

}  // namespace velmora::sim

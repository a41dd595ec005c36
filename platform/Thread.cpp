#include "platform/Thread.h"

#include <unistd.h>

#include <chrono>
#include <system_error>

#include "platform/SignalsHeldBack.h"

namespace velmora::platform {
namespace {

// The flag of the started thread this is, if any.
thread_local const std::atomic<bool>* t_EndAwaited = nullptr;

}  // namespace

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(getpid());
}

Thread::~Thread() {
    if (!m_thread.joinable()) return;
    bool done;
    {
        std::lock_guard<std::mutex> guard(m_shared->lock);
        done = m_shared->done;
    }
    // An ended thread only has to return; a running one is left to finish
    // by itself, as closing a thread handle does.
    if (done && m_thread.get_id() != std::this_thread::get_id()) {
        m_thread.join();
    } else {
        m_thread.detach();
    }
}

bool Thread::Start(std::function<uint32_t()> body) {
    if (m_thread.joinable() || !body) return false;
    auto shared = std::make_shared<Shared>();
    // Started with the signals held back, which it keeps: the application's
    // handlers never run on it.
    const SignalsHeldBack signals;
    try {
        m_thread = std::thread([shared, body = std::move(body)]() {
            t_EndAwaited = &shared->endAwaited;
            {
                std::lock_guard<std::mutex> guard(shared->lock);
                shared->started = true;
                shared->ended.notify_all();
            }
            const uint32_t code = body();
            std::lock_guard<std::mutex> guard(shared->lock);
            shared->exitCode = code;
            shared->done = true;
            shared->ended.notify_all();
        });
    } catch (const std::system_error&) {
        return false;
    }
    // Returns once the thread runs its body: a fork right after a start
    // then never copies the thread in the middle of the run time's own
    // set-up of it (its allocator locks held), which would leave the child's
    // allocations waiting for ever.
    {
        std::unique_lock<std::mutex> guard(shared->lock);
        shared->ended.wait(guard, [&] { return shared->started; });
    }
    m_shared = std::move(shared);
    return true;
}

WaitResult Thread::Join(uint32_t timeoutMs) {
    if (!m_thread.joinable()) return WaitResult::Failed;
    // A thread waiting for its own end would wait forever.
    if (m_thread.get_id() == std::this_thread::get_id()) return WaitResult::Failed;
    m_shared->endAwaited.store(true);
    {
        std::unique_lock<std::mutex> guard(m_shared->lock);
        auto ended = [this] { return m_shared->done; };
        if (timeoutMs == kInfinite) {
            m_shared->ended.wait(guard, ended);
        } else if (!m_shared->ended.wait_for(guard, std::chrono::milliseconds(timeoutMs), ended)) {
            return WaitResult::Timeout;
        }
    }
    m_thread.join();
    return WaitResult::Signaled;
}

bool Thread::EndAwaited() {
    return t_EndAwaited != nullptr && t_EndAwaited->load();
}

void Thread::Detach() {
    if (m_thread.joinable()) m_thread.detach();
    m_shared.reset();
}

bool Thread::IsRunning() const {
    if (!m_shared) return false;
    std::lock_guard<std::mutex> guard(m_shared->lock);
    return !m_shared->done;
}

uint32_t Thread::ExitCode() const {
    if (!m_shared) return 0;
    std::lock_guard<std::mutex> guard(m_shared->lock);
    return m_shared->exitCode;
}

}  // namespace velmora::platform

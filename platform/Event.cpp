#include "platform/Event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <new>

#include "platform/IpcName.h"
#include "platform/SharedMemory.h"

namespace velmora::platform {
namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the signal word is used as a futex");

uint32_t* FutexWord(Event::State* state) {
    return reinterpret_cast<uint32_t*>(&state->signaled);
}

// A named event's word is seen by other processes, so its futex must not be
// private to this one.
int FutexOp(int op, bool shared) {
    return shared ? op : (op | FUTEX_PRIVATE_FLAG);
}

bool TryTake(Event::State* state) {
    if (state->manualReset) return state->signaled.load(std::memory_order_acquire) == 1;
    uint32_t expected = 1;
    return state->signaled.compare_exchange_strong(expected, 0, std::memory_order_acquire);
}

}  // namespace

std::unique_ptr<Event> Event::Create(bool manualReset, bool initialState, std::string_view name) {
    std::unique_ptr<Event> event(new (std::nothrow) Event);
    if (!event) return nullptr;
    auto initialise = [manualReset, initialState](State* state) {
        state->manualReset = manualReset ? 1 : 0;
        state->signaled.store(initialState ? 1 : 0, std::memory_order_release);
    };
    if (name.empty()) {
        initialise(&event->m_localState);
        event->m_state = &event->m_localState;
        return event;
    }
    event->m_memory = SharedMemory::OpenPosix(
        MapObjectName("event", name), sizeof(State),
        [&initialise](void* data) { initialise(new (data) State{}); }, true);
    if (!event->m_memory) return nullptr;
    event->m_state = static_cast<State*>(event->m_memory->Data());
    event->m_alreadyExisted = event->m_memory->AlreadyExisted();
    return event;
}

std::unique_ptr<Event> Event::Open(std::string_view name) {
    if (name.empty()) return nullptr;
    std::unique_ptr<Event> event(new (std::nothrow) Event);
    if (!event) return nullptr;
    event->m_memory =
        SharedMemory::OpenPosix(MapObjectName("event", name), sizeof(State), {}, false);
    if (!event->m_memory) return nullptr;
    event->m_state = static_cast<State*>(event->m_memory->Data());
    event->m_alreadyExisted = true;
    return event;
}

Event::~Event() = default;

bool Event::Set() {
    if (!m_state) return false;
    m_state->signaled.store(1, std::memory_order_release);
    // Every waiter wakes; for an auto-reset event only one wins the word back
    // to zero and the others wait again.
    syscall(SYS_futex, FutexWord(m_state), FutexOp(FUTEX_WAKE, m_memory != nullptr), INT_MAX,
            nullptr, nullptr, 0);
    return true;
}

bool Event::Reset() {
    if (!m_state) return false;
    m_state->signaled.store(0, std::memory_order_release);
    return true;
}

WaitResult Event::Wait(uint32_t timeoutMs) {
    if (!m_state) return WaitResult::Failed;
    const bool infinite = timeoutMs == kInfinite;
    timespec deadline{};
    if (!infinite) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            ++deadline.tv_sec;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    const int op = FutexOp(FUTEX_WAIT_BITSET, m_memory != nullptr);
    for (;;) {
        if (TryTake(m_state)) return WaitResult::Signaled;
        if (timeoutMs == 0) return WaitResult::Timeout;
        // The bitset form takes an absolute time on the monotonic clock, so
        // wake-ups that lose the race do not stretch the time-out.
        const long result =
            syscall(SYS_futex, FutexWord(m_state), op, 0, infinite ? nullptr : &deadline, nullptr,
                    FUTEX_BITSET_MATCH_ANY);
        if (result != 0) {
            if (errno == ETIMEDOUT)
                return TryTake(m_state) ? WaitResult::Signaled : WaitResult::Timeout;
            if (errno != EAGAIN && errno != EINTR) return WaitResult::Failed;
        }
    }
}

bool Event::IsManualReset() const {
    return m_state && m_state->manualReset != 0;
}

}  // namespace velmora::platform

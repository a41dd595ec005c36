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
#include "platform/Time.h"

namespace velmora::platform {
namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the signal word is used as a futex");

constexpr uint32_t kSignalBit = 1;
constexpr uint32_t kCloseStep = 2;

uint32_t* FutexWord(Event::State* state) {
    return reinterpret_cast<uint32_t*>(&state->word);
}

// A named event's word is seen by other processes, so its futex must not be
// private to this one.
int FutexOp(int op, bool shared) {
    return shared ? op : (op | FUTEX_PRIVATE_FLAG);
}

// Takes the signal when the word (last seen as `seen`) holds it; an auto-reset
// event gives it to one waiter only.
bool TryTake(Event::State* state, uint32_t seen) {
    for (;;) {
        if (!(seen & kSignalBit)) return false;
        if (state->manualReset) return true;
        if (state->word.compare_exchange_weak(seen, seen & ~kSignalBit, std::memory_order_acquire))
            return true;
    }
}

void WakeAll(Event::State* state, bool shared) {
    syscall(SYS_futex, FutexWord(state), FutexOp(FUTEX_WAKE, shared), INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

std::unique_ptr<Event> Event::Create(bool manualReset, bool initialState, std::string_view name) {
    std::unique_ptr<Event> event(new (std::nothrow) Event);
    if (!event) return nullptr;
    auto initialise = [manualReset, initialState](State* state) {
        state->manualReset = manualReset ? 1 : 0;
        state->word.store(initialState ? kSignalBit : 0, std::memory_order_release);
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
    if (!m_state || m_closed.load(std::memory_order_acquire)) return false;
    m_state->word.fetch_or(kSignalBit, std::memory_order_release);
    // Every waiter wakes; for an auto-reset event only one takes the signal
    // and the others wait again.
    WakeAll(m_state, m_memory != nullptr);
    return true;
}

bool Event::Reset() {
    if (!m_state || m_closed.load(std::memory_order_acquire)) return false;
    m_state->word.fetch_and(~kSignalBit, std::memory_order_release);
    return true;
}

void Event::Close() {
    if (!m_state || m_closed.exchange(true, std::memory_order_acq_rel)) return;
    // The count changes the word, so a waiter that checked the flag just
    // before finds its sleep refused; waiters of other objects of the same
    // event wake, find the word unsignalled and sleep again.
    m_state->word.fetch_add(kCloseStep, std::memory_order_release);
    WakeAll(m_state, m_memory != nullptr);
}

WaitResult Event::Wait(uint32_t timeoutMs) {
    if (!m_state) return WaitResult::Failed;
    const bool infinite = timeoutMs == kInfinite;
    const timespec deadline = infinite ? timespec{} : MonotonicDeadline(timeoutMs);
    const int op = FutexOp(FUTEX_WAIT_BITSET, m_memory != nullptr);
    for (;;) {
        // The word first: a close after this load changes it, so the sleep
        // below is refused; a close before it is seen by the flag.
        const uint32_t seen = m_state->word.load(std::memory_order_acquire);
        if (m_closed.load(std::memory_order_acquire)) return WaitResult::Failed;
        if (TryTake(m_state, seen)) return WaitResult::Signaled;
        if (timeoutMs == 0) return WaitResult::Timeout;
        // The bitset form takes an absolute time on the monotonic clock, so
        // wake-ups that lose the race do not stretch the time-out.
        const long result =
            syscall(SYS_futex, FutexWord(m_state), op, seen, infinite ? nullptr : &deadline,
                    nullptr, FUTEX_BITSET_MATCH_ANY);
        if (result != 0) {
            if (errno == ETIMEDOUT) {
                if (m_closed.load(std::memory_order_acquire)) return WaitResult::Failed;
                return TryTake(m_state, m_state->word.load(std::memory_order_acquire))
                           ? WaitResult::Signaled
                           : WaitResult::Timeout;
            }
            if (errno != EAGAIN && errno != EINTR) return WaitResult::Failed;
        }
    }
}

bool Event::IsManualReset() const {
    return m_state && m_state->manualReset != 0;
}

}  // namespace velmora::platform

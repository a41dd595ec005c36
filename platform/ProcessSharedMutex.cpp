#include "platform/ProcessSharedMutex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <thread>

#include "platform/CallDeadline.h"
#include "platform/Thread.h"
#include "platform/Time.h"

namespace velmora::platform {
namespace {

// A mutex that processes share, and that the system lets go of when its
// owner dies.
bool InitRobust(pthread_mutex_t* mutex, int type) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    const bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                    pthread_mutexattr_settype(&attributes, type) == 0 &&
                    pthread_mutex_init(mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

}  // namespace

bool ProcessSharedMutex::Init(bool recursive) {
    claim = 0;
    next = 0;
    claims = 0;
    holds = 0;
    claimedUs = 0;
    // The error-checking type makes the system refuse an unlock by a thread
    // that does not own the mutex, which is what Unlock reports.
    if (!InitRobust(&mutex, recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_ERRORCHECK)) {
        return false;
    }
    for (pthread_mutex_t& seat : seats) {
        if (!InitRobust(&seat, PTHREAD_MUTEX_ERRORCHECK)) return false;
    }
    return true;
}

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// How often a long wait looks whether its thread is to end.
constexpr uint32_t kSliceMs = 50;
// How often a claimant waiting for the mutex looks whether its claim still
// stands: one taken over is made again soon, not a slice later.
constexpr auto kClaimantSlice = Ms(10);
// How long a claim stands before the other lockers leave the mutex to its
// claimant: a wait shorter than this is served without a hand-over, and
// others that take the mutex again and again keep a waiter out no longer.
constexpr auto kClaimRipens = Ms(1);
constexpr uint64_t kClaimRipensUs = 1000;
// How long a waiter leaves the mutex to the claim of a claimant that lives.
// One that has not had its turn by then is taken to be stopped or not run
// (it would have been served within a hold of the mutex), and its claim is
// taken over. Short, since the claim of a stopped claimant may be handed to
// one next in line that is stopped too, and whoever waits behind them pays
// both (a dead one costs nothing: its lost seat tells).
constexpr auto kClaimHonoured = Ms(10);

// A claim's value: the claimant's thread id, which fits in 22 bits (the
// system's largest process id is 2^22), its seat above it, and the low bits
// of the claim count above that.
constexpr uint32_t kThreadIdBits = 22;
constexpr uint32_t kThreadIdMask = (uint32_t{1} << kThreadIdBits) - 1;
constexpr uint32_t kSeatBits = 2;
static_assert(ProcessSharedMutex::kSeats == uint32_t{1} << kSeatBits);

uint32_t SeatOf(uint32_t value) {
    return value >> kThreadIdBits & (ProcessSharedMutex::kSeats - 1);
}

uint32_t Ceil(Clock::duration duration) {
    const int64_t ms = std::chrono::ceil<Ms>(duration).count();
    return static_cast<uint32_t>(std::clamp<int64_t>(ms, 1, kSliceMs));
}

// The thread id of the mutex's owner, 0 when it is free (a robust mutex
// keeps its owner's thread id in its lock word, and marks it when that owner
// died).
uint32_t Owner(const pthread_mutex_t& mutex) {
    const int word = __atomic_load_n(&mutex.__data.__lock, __ATOMIC_RELAXED);
    return static_cast<uint32_t>(word) & FUTEX_TID_MASK;
}

bool OwnedByCaller(const pthread_mutex_t& mutex) {
    const int word = __atomic_load_n(&mutex.__data.__lock, __ATOMIC_RELAXED);
    return (word & FUTEX_OWNER_DIED) == 0 && Owner(mutex) == static_cast<uint32_t>(gettid());
}

// The claim word is shared by processes: no private futex.
void FutexWait(uint32_t* word, uint32_t seen, uint32_t timeoutMs) {
    const timespec relative{static_cast<time_t>(timeoutMs / 1000),
                            static_cast<long>(timeoutMs % 1000) * 1000000L};
    syscall(SYS_futex, word, FUTEX_WAIT, seen, &relative, nullptr, 0);
}

void FutexWakeAll(uint32_t* word) {
    syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

#if defined(__SANITIZE_THREAD__)
// The thread sanitizer sees a mutex that an owner left abandoned as taken only
// from a plain or a try lock, and no timed form but one with the system clock,
// so the wait polls.
int TimedLock(pthread_mutex_t* mutex, uint32_t timeoutMs) {
    const Clock::time_point end = Clock::now() + Ms(timeoutMs);
    for (;;) {
        const int result = pthread_mutex_trylock(mutex);
        if (result != EBUSY) return result;
        if (Clock::now() >= end) return ETIMEDOUT;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}
#else
int TimedLock(pthread_mutex_t* mutex, uint32_t timeoutMs) {
    const timespec deadline = MonotonicDeadline(timeoutMs);
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
}
#endif

}  // namespace

// Waits in slices of at most kSliceMs, so that a thread told to stop does not
// wait on for a holder that may never let go (a stopped process keeps what
// it holds).
int ProcessSharedMutex::TakeInTurn(uint32_t timeoutMs, CallDeadline::HeldOut& heldOut) {
    std::atomic_ref<uint32_t> shared(claim);
    std::atomic_ref<uint64_t> sharedSince(claimedUs);
    std::atomic_ref<uint32_t> sharedNext(next);
    const bool forever = timeoutMs == kInfinite;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + Ms(forever ? 0 : timeoutMs);
    uint32_t seat = kSeats;  // this thread's seat, once it needed one
    uint32_t mine = 0;       // this thread's claim while it stands
    uint32_t waiting = 0;    // this thread's value as the one next in line
    uint32_t seen = 0;       // another's claim, and since when this thread sees it ripe
    Clock::time_point seenSince;
    // A value for a claim or a place in line; 0 when no seat is free.
    const auto newValue = [&] {
        if (seat == kSeats) seat = TakeSeat();
        if (seat == kSeats) return uint32_t{0};
        const uint32_t count = std::atomic_ref<uint32_t>(claims).fetch_add(1);
        return count << (kThreadIdBits + kSeatBits) | seat << kThreadIdBits |
               (static_cast<uint32_t>(gettid()) & kThreadIdMask);
    };
    // Claims the next turn in place of `current` (0: nobody's); false when
    // no seat is free to claim from.
    const auto claimTurn = [&](uint32_t current) {
        const uint32_t value = newValue();
        if (value == 0) return false;
        if (!shared.compare_exchange_strong(current, value)) return true;
        sharedSince.store(MonotonicUs());
        mine = value;
        // Its place next in line is no longer needed.
        uint32_t place = waiting;
        if (place != 0 && sharedNext.compare_exchange_strong(place, 0)) waiting = 0;
        return true;
    };
    // Takes the place next in line when nobody's stands there, or one whose
    // waiter died does.
    const auto takePlace = [&] {
        if (waiting != 0) return;
        uint32_t standing = sharedNext.load();
        if (standing != 0 && Seated(standing)) return;
        const uint32_t value = newValue();
        if (value != 0 && sharedNext.compare_exchange_strong(standing, value)) waiting = value;
    };
    int result = ETIMEDOUT;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (!forever && now >= end) break;
        if (!heldOut.Within(Hold())) break;
        const Clock::time_point stepEnd = std::min(
            forever ? now + Ms(kSliceMs) : std::min(end, now + Ms(kSliceMs)), heldOut.End());
        const uint32_t current = shared.load();
        // Handed the turn by the claimant before it.
        if (waiting != 0 && current == waiting) {
            mine = waiting;
            waiting = 0;
        }
        // Taken over: this thread was not seen to come for its turn.
        if (mine != 0 && current != mine) mine = 0;
        if (current != 0 && current != mine) {
            const auto age = std::chrono::microseconds(
                static_cast<int64_t>(MonotonicUs() - std::min(MonotonicUs(), sharedSince.load())));
            if (age < kClaimRipens) {
                // A claim that has not stood a moment yet: the mutex is
                // still everyone's until then.
                const Clock::time_point until = std::min(stepEnd, now + (kClaimRipens - age));
                result = TimedLock(&mutex, Ceil(until - now));
                if (result != ETIMEDOUT || Thread::EndAwaited()) break;
                continue;
            }
            if (current != seen) {
                seen = current;
                seenSince = now;
            }
            const Clock::time_point honoured = seenSince + kClaimHonoured;
            takePlace();
            if (now < honoured && Seated(current)) {
                FutexWait(&claim, current, Ceil(std::min(stepEnd, honoured) - now));
                if (Thread::EndAwaited()) break;
                continue;
            }
            if (claimTurn(current)) {
                if (mine != 0) FutexWakeAll(&claim);
                continue;
            }
        } else if (mine == 0) {
            result = pthread_mutex_trylock(&mutex);
            if (result != EBUSY) break;
            result = ETIMEDOUT;
            if (claimTurn(0)) continue;
        }
        // The claimant's wait, or the wait of one that found no seat free
        // (served as lockers were before the turns).
        result = TimedLock(&mutex, Ceil(std::min(stepEnd, now + kClaimantSlice) - now));
        if (result != ETIMEDOUT || Thread::EndAwaited()) break;
    }
    // Out of line: a place next in line is given up; a claim is handed to
    // the one next in line, already ripe (it has waited), or given back.
    uint32_t place = waiting;
    if (place != 0 && !sharedNext.compare_exchange_strong(place, 0) && shared.load() == waiting) {
        mine = waiting;
    }
    if (mine != 0) {
        uint32_t after = result == 0 || result == EOWNERDEAD ? sharedNext.exchange(0) : 0;
        // One next in line that died is handed nothing.
        if (after != 0 && !Seated(after)) after = 0;
        if (after != 0) sharedSince.store(MonotonicUs() - kClaimRipensUs);
        if (shared.compare_exchange_strong(mine, after)) {
            FutexWakeAll(&claim);
        } else if (after != 0) {
            // Taken over meanwhile: the one next in line stays so.
            uint32_t none = 0;
            sharedNext.compare_exchange_strong(none, after);
        }
    }
    // Only once nothing of this thread's stands: a claim whose seat is not
    // held is taken for one whose waiter died.
    if (seat != kSeats) pthread_mutex_unlock(&seats[seat]);
    return result;
}

uint32_t ProcessSharedMutex::TakeSeat() {
    for (uint32_t index = 0; index < kSeats; ++index) {
        const int result = pthread_mutex_trylock(&seats[index]);
        if (result == EOWNERDEAD) pthread_mutex_consistent(&seats[index]);
        if (result == 0 || result == EOWNERDEAD) return index;
    }
    return kSeats;
}

bool ProcessSharedMutex::Seated(uint32_t value) const {
    return (Owner(seats[SeatOf(value)]) & kThreadIdMask) == (value & kThreadIdMask);
}

WaitResult ProcessSharedMutex::Lock(uint32_t timeoutMs) {
    CallDeadline::HeldOut heldOut;
    // The owner locking again (a recursive mutex counts it, another refuses
    // it) waits for nobody.
    const int result = timeoutMs == 0 || OwnedByCaller(mutex) ? pthread_mutex_trylock(&mutex)
                                                              : TakeInTurn(timeoutMs, heldOut);
    const WaitResult outcome = Outcome(result);
    if (outcome == WaitResult::Timeout) heldOut.GaveUp();
    return outcome;
}

WaitResult ProcessSharedMutex::TryLock() {
    return Outcome(pthread_mutex_trylock(&mutex));
}

uint64_t ProcessSharedMutex::Hold() {
    const uint32_t owner = Owner(mutex);
    return owner == 0 ? 0 : uint64_t{std::atomic_ref<uint32_t>(holds).load()} << 32 | owner;
}

WaitResult ProcessSharedMutex::Outcome(int result) {
    switch (result) {
        case 0:
            std::atomic_ref<uint32_t>(holds).fetch_add(1);
            return WaitResult::Signaled;
        case EOWNERDEAD:
            // The owner died holding it; the caller owns it now and must be
            // told that what it guards may be half-changed.
            pthread_mutex_consistent(&mutex);
            std::atomic_ref<uint32_t>(holds).fetch_add(1);
            return WaitResult::Abandoned;
        case EBUSY:
        case ETIMEDOUT:
            return WaitResult::Timeout;
        default:
            return WaitResult::Failed;
    }
}

bool ProcessSharedMutex::Unlock() {
    return pthread_mutex_unlock(&mutex) == 0;
}

}  // namespace velmora::platform

#include "platform/ProcessSharedMutex.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

#include "platform/CallDeadline.h"
#include "platform/Thread.h"
#include "platform/Time.h"

namespace velmora::platform {

bool ProcessSharedMutex::Init(bool recursive) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    // The error-checking type makes the system refuse an unlock by a thread
    // that does not own the mutex, which is what Unlock reports.
    const bool ok =
        pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
        pthread_mutexattr_settype(
            &attributes, recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_ERRORCHECK) == 0 &&
        pthread_mutex_init(&mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

namespace {

using Clock = std::chrono::steady_clock;

// How often a long wait looks whether its thread is to end.
constexpr uint32_t kSliceMs = 50;

#if defined(__SANITIZE_THREAD__)
// The thread sanitizer sees a mutex that an owner left abandoned as taken only
// from a plain or a try lock, and no timed form but one with the system clock,
// so the wait polls.
int TimedLock(pthread_mutex_t* mutex, uint32_t timeoutMs) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
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

// Waits in slices, so that a thread told to stop does not wait on for a
// holder that may never let go (a stopped process keeps what it holds).
int SlicedLock(pthread_mutex_t* mutex, uint32_t timeoutMs) {
    const bool forever = timeoutMs == kInfinite;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    for (;;) {
        uint32_t slice = kSliceMs;
        if (!forever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return ETIMEDOUT;
            slice = static_cast<uint32_t>(std::min<int64_t>(left.count(), kSliceMs));
        }
        const int result = TimedLock(mutex, slice);
        if (result != ETIMEDOUT || Thread::EndAwaited()) return result;
    }
}

}  // namespace

WaitResult ProcessSharedMutex::Lock(uint32_t timeoutMs) {
    timeoutMs = CallDeadline::Bound(timeoutMs);
    const WaitResult result =
        Outcome(timeoutMs == 0 ? pthread_mutex_trylock(&mutex) : SlicedLock(&mutex, timeoutMs));
    if (result == WaitResult::Timeout) CallDeadline::NoteGaveUp();
    return result;
}

WaitResult ProcessSharedMutex::TryLock() {
    return Outcome(pthread_mutex_trylock(&mutex));
}

WaitResult ProcessSharedMutex::Outcome(int result) {
    switch (result) {
        case 0:
            return WaitResult::Signaled;
        case EOWNERDEAD:
            // The owner died holding it; the caller owns it now and must be
            // told that what it guards may be half-changed.
            pthread_mutex_consistent(&mutex);
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

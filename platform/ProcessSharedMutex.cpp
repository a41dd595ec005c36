#include "platform/ProcessSharedMutex.h"

#include <cerrno>
#include <ctime>

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

WaitResult ProcessSharedMutex::Lock(uint32_t timeoutMs) {
    int result;
    if (timeoutMs == kInfinite) {
        result = pthread_mutex_lock(&mutex);
    } else if (timeoutMs == 0) {
        result = pthread_mutex_trylock(&mutex);
    } else {
#if defined(__SANITIZE_THREAD__)
        // Every wait of an exported call is timed, and the thread sanitizer
        // sees only this form of a timed lock.
        const clockid_t clock = CLOCK_REALTIME;
#else
        const clockid_t clock = CLOCK_MONOTONIC;
#endif
        timespec deadline{};
        clock_gettime(clock, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            ++deadline.tv_sec;
            deadline.tv_nsec -= 1000000000L;
        }
#if defined(__SANITIZE_THREAD__)
        result = pthread_mutex_timedlock(&mutex, &deadline);
#else
        result = pthread_mutex_clocklock(&mutex, clock, &deadline);
#endif
    }
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

#pragma once

#include <pthread.h>

#include <cstdint>

#include "platform/WaitResult.h"

namespace velmora::platform {

// A mutex that lives inside shared memory and is shared by every process that
// maps it. It is robust: when its owner dies the next Lock returns Abandoned
// (and owns it). Initialise it once, in the process that created the memory.
struct ProcessSharedMutex {
    pthread_mutex_t mutex;

    // Recursive: the owning thread may lock again and must unlock as often.
    bool Init(bool recursive);
    // Inside an exported call the wait ends by the call's deadline. On a
    // thread whose end another awaits (it is to stop), it gives up within a
    // moment.
    WaitResult Lock(uint32_t timeoutMs = kInfinite);
    // Takes the mutex only if it is free now. A holder elsewhere is no wait
    // given up: the call's deadline is left as it is.
    WaitResult TryLock();
    // Returns false (and does nothing) when the calling thread is not the owner.
    bool Unlock();

  private:
    // What a lock's system result means to its caller.
    WaitResult Outcome(int result);
};

}  // namespace velmora::platform

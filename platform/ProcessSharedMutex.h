#pragma once

#include <pthread.h>

#include <cstdint>

#include "platform/CallDeadline.h"
#include "platform/WaitResult.h"

namespace velmora::platform {

// A mutex that lives inside shared memory and is shared by every process that
// maps it. It is robust: when its owner dies the next Lock returns Abandoned
// (and owns it). Initialise it once, in the process that created the memory.
//
// A waiter is served in a bounded time whatever the others do. One that
// finds the mutex held claims the next turn; once a claim has stood a moment
// the other lockers leave the mutex to the claimant, instead of taking it
// again at once as they let go of it (before that moment they may, so that
// short waits cost no hand-over). A claimant that does not come for its turn
// (stopped, dead, or not run for a long time) is honoured only for a while;
// then a waiter behind it claims instead. A claim is all a waiter leaves in
// the shared bytes, and it takes it back when it stops waiting, so a waiter
// that gives up costs the others nothing. The first waiter that finds a
// claim standing is next in line: the claimant, served, hands the turn to it,
// so that it does not have to run first to claim it again.
struct ProcessSharedMutex {
    pthread_mutex_t mutex;
    // The waiter that has the next turn: its thread id, with the low bits of
    // a claim count above them so that two claims of one thread differ; 0
    // when none.
    uint32_t claim;
    // The waiter that has waited behind the claim and has the turn after it
    // (its claim's value); 0 when none.
    uint32_t next;
    // Claims made so far.
    uint32_t claims;
    // Holds so far: with the owner's thread id it tells one hold from the
    // next, also when one thread takes the mutex again and again.
    uint32_t holds;
    // When the standing claim was made, in microseconds of the monotonic
    // clock, which all processes share.
    uint64_t claimedUs;

    // Recursive: the owning thread may lock again and must unlock as often.
    bool Init(bool recursive);
    // Inside an exported call the wait also ends once one owner has kept the
    // mutex for the call's deadline. On a thread whose end another awaits (it
    // is to stop), it gives up within a moment.
    WaitResult Lock(uint32_t timeoutMs = kInfinite);
    // Takes the mutex only if it is free now (also when a claimant waits for
    // it). A holder elsewhere is no wait given up: the call's deadline is
    // left as it is.
    WaitResult TryLock();
    // Returns false (and does nothing) when the calling thread is not the owner.
    bool Unlock();

  private:
    // Waits for the mutex, claiming the next turn once it has waited a
    // moment; a system result.
    int TakeInTurn(uint32_t timeoutMs, CallDeadline::HeldOut& heldOut);
    // Who holds the mutex now, a hold told from the next: 0 when nobody.
    uint64_t Hold();
    // What a lock's system result means to its caller (a new hold counted).
    WaitResult Outcome(int result);
};

}  // namespace velmora::platform

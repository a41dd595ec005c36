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
// short waits cost no hand-over). The first waiter that finds a claim
// standing is next in line: the claimant, served, hands the turn to it, so
// that it does not have to run first to claim it again.
//
// A waiter with a claim or a place in line holds a seat, a robust mutex of
// its own, for as long as it waits; its claim names the seat. A claimant or
// one next in line that died lost its seat with its life (the system lets go
// of a dead thread's robust mutexes), which the next waiter to look sees at
// once, and takes its place. One that lives but does not come for its turn
// (stopped, or not run) is honoured only for a moment (kClaimHonoured), then
// a waiter behind it claims instead. A claim and a seat are all a waiter
// leaves in the shared bytes, and it takes both back when it stops waiting,
// so a waiter that gives up costs the others nothing.
struct ProcessSharedMutex {
    static constexpr uint32_t kSeats = 4;

    pthread_mutex_t mutex;
    // Held by the waiters whose claims stand (in `claim` or `next`), and by
    // a waiter that was stopped while its claim was taken over, until it
    // runs again.
    pthread_mutex_t seats[kSeats];
    // The waiter that has the next turn: its thread id, its seat and the low
    // bits of a claim count above them, so that two claims of one thread
    // differ; 0 when none.
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
    // Takes a free seat (one whose holder died is free): its number, or
    // kSeats when every seat is held.
    uint32_t TakeSeat();
    // Whether the waiter whose claim is `value` still holds the seat the
    // claim names: false once it died.
    bool Seated(uint32_t value) const;
};

}  // namespace velmora::platform

#pragma once

#include <chrono>
#include <cstdint>

namespace velmora::platform {

// How long a holder elsewhere (another process's thread, or another thread
// of this one) may keep a lock from the exported call running on this
// thread: the named mutexes, the simulated card's lock, the namespace lock of
// the named objects. A wait gives up once one holder has kept its lock from
// it for the deadline's length, and the deadline is then spent for the rest
// of the call: a holder that lets go of nothing (a stopped process) costs the
// call one deadline however many waits it makes. A holder that lets go costs
// nothing, however long it held the lock and however often the call waits for
// one: on a machine so busy that the call and the others run slowly, the call
// still gives up only on a holder that made no progress for a deadline.
// Waits outside an exported call keep their own limits.
class CallDeadline {
  public:
    // Starts the calling thread's deadline; inside a call that has one
    // already, that one stays.
    CallDeadline();
    ~CallDeadline();
    CallDeadline(const CallDeadline&) = delete;
    CallDeadline& operator=(const CallDeadline&) = delete;

    // Whether a wait of the call gave up because the deadline had passed.
    bool Missed() const;

    // A wait's own limit cut to what is left of the calling thread's deadline.
    static uint32_t Bound(uint32_t timeoutMs);
    static std::chrono::steady_clock::time_point Bound(std::chrono::steady_clock::time_point end);

    // Tells one thread's exported calls apart: 0 outside one, else a number
    // that no other call of this thread has had.
    static uint64_t CurrentCall();

    // How long one holder may keep a lock from a call (tests shorten it); the
    // length before.
    static std::chrono::milliseconds SetLength(std::chrono::milliseconds length);

    // One wait's account of who keeps its lock from it. The wait tells it who
    // holds the lock at each look; the time counts from when it saw that
    // holder first, so that a wait whose holders take turns never runs out.
    // Only a wait that gives up spends the call's deadline, by as long as its
    // last holder kept it out.
    class HeldOut {
      public:
        HeldOut();
        HeldOut(const HeldOut&) = delete;
        HeldOut& operator=(const HeldOut&) = delete;

        // Told who holds the lock now (0: nobody, which restarts the time too);
        // false once that holder has kept it for what is left of the deadline.
        bool Within(uint64_t holder);
        // When the holder seen last will have kept the lock too long.
        std::chrono::steady_clock::time_point End() const;
        // The wait gave up: the call is charged what its last holder kept it
        // out, and misses its deadline when that is all of what was left.
        void GaveUp() const;

      private:
        std::chrono::steady_clock::time_point m_since;
        std::chrono::steady_clock::duration m_left;
        uint64_t m_holder = 0;
    };

  private:
    bool m_bOuter;
};

}  // namespace velmora::platform

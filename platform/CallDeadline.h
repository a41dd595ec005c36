#pragma once

#include <chrono>
#include <cstdint>

namespace velmora::platform {

// How long the exported call running on this thread may wait, in all, for
// locks that other processes may hold (the named mutexes, the simulated
// card's lock, the namespace lock of the named objects): a lock held
// elsewhere costs the call one deadline however many waits it makes. Only
// the time the call spends in those waits counts, not the time it takes to
// do its own work: on a machine so busy that the call itself runs slowly, it
// still gives up only when it has waited a deadline's worth for others.
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
    // Told by a wait how long it waited: that much of the call's deadline is
    // spent.
    static void NoteWaited(std::chrono::steady_clock::duration waited);
    // Told by a wait that gave up; the call missed its deadline when that has passed.
    static void NoteGaveUp();

    // Tells one thread's exported calls apart: 0 outside one, else a number
    // that no other call of this thread has had.
    static uint64_t CurrentCall();

    // How long every call may wait in all (tests shorten it); the length
    // before.
    static std::chrono::milliseconds SetLength(std::chrono::milliseconds length);

    // Times one wait of the calling thread and tells its deadline how long it
    // took when it ends.
    class Wait {
      public:
        Wait() : m_start(std::chrono::steady_clock::now()) {}
        ~Wait() { NoteWaited(std::chrono::steady_clock::now() - m_start); }
        Wait(const Wait&) = delete;
        Wait& operator=(const Wait&) = delete;

      private:
        std::chrono::steady_clock::time_point m_start;
    };

  private:
    bool m_bOuter;
};

}  // namespace velmora::platform

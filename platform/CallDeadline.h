#pragma once

#include <chrono>
#include <cstdint>

namespace velmora::platform {

// The time by which the exported call running on this thread answers. Every
// wait of the call for a lock that other processes may hold (the named
// mutexes, the namespace lock of the named objects) ends by it, so a lock
// held elsewhere costs the call one deadline however many waits it makes.
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
    // Told by a wait that gave up; the call missed its deadline when that has passed.
    static void NoteGaveUp();

    // Tells one thread's exported calls apart: 0 outside one, else a number
    // that no other call of this thread has had.
    static uint64_t CurrentCall();

    // How long every call may wait in all (tests shorten it); the length
    // before.
    static std::chrono::milliseconds SetLength(std::chrono::milliseconds length);

  private:
    bool m_bOuter;
};

}  // namespace velmora::platform

#pragma once

#include <signal.h>

namespace velmora::platform {

// Holds back the calling thread's asynchronous signals while it lives; they
// are delivered when it ends. An exported call holds locks of its own, of the
// card and of other processes: a handler that ended the process (exit) in
// the middle of one would leave them held for ever, also for the close of the
// cards that the process's end runs on that same thread. A thread started
// while it lives keeps the signals held back for good, so the application's
// handlers never run on the library's own threads. Signals that a fault of
// the thread raises are never held back.
class SignalsHeldBack {
  public:
    SignalsHeldBack();
    ~SignalsHeldBack();
    SignalsHeldBack(const SignalsHeldBack&) = delete;
    SignalsHeldBack& operator=(const SignalsHeldBack&) = delete;

  private:
    sigset_t m_previous;
};

}  // namespace velmora::platform

#include "platform/SignalsHeldBack.h"

#include <pthread.h>

#include <initializer_list>

namespace velmora::platform {

SignalsHeldBack::SignalsHeldBack() {
    sigset_t held;
    sigfillset(&held);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
        sigdelset(&held, fault);
    pthread_sigmask(SIG_BLOCK, &held, &m_previous);
}

SignalsHeldBack::~SignalsHeldBack() {
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

}  // namespace velmora::platform

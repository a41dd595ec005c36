#pragma once

// Process-local locks that a forked child's calls take. Another thread of
// the parent may hold such a lock at the fork; the child has no such thread
// and would wait for it for ever.

#include <pthread.h>

#include <new>

namespace velmora::platform {

// The forking thread takes the lock before the fork, so the state it guards
// is whole in the child, and both sides let it go afterwards. The child's
// copy is also made anew, since a recursive lock knows its owner by a thread
// id that the child's thread no longer has (its unlock there only tells a
// thread checker that the lock went). Only for a lock whose holder takes
// no other lock meanwhile, so that taking it before the fork cannot wait on
// a thread that waits for the forking one. Registered from a static
// initialiser, so that it is taken after the locks the driver takes before a
// fork. Returns pthread_atfork's result.
template <typename Mutex, Mutex& (*LockOf)()>
int KeepLockUsableInForkedChild() {
    return pthread_atfork([] { LockOf().lock(); }, [] { LockOf().unlock(); },
                          [] {
                              LockOf().unlock();
                              new (&LockOf()) Mutex();
                          });
}

}  // namespace velmora::platform

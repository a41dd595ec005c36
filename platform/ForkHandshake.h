#pragma once

namespace velmora::platform {

// Lets the parent of a fork wait until the child has run its after-fork
// steps, so that what the child takes over there (a hold on a shared block)
// is the child's before fork() returns in the parent, which may let go of
// its own hold at once. A child that ends or is stopped first costs the
// parent no more than a bound of seconds.
class ForkHandshake {
  public:
    ForkHandshake() = default;
    ~ForkHandshake();
    ForkHandshake(const ForkHandshake&) = delete;
    ForkHandshake& operator=(const ForkHandshake&) = delete;

    // Before the fork, in the forking thread.
    void Prepare();
    // In the parent after the fork; returns at once when Prepare failed or
    // the fork did.
    void AwaitChild();
    // In the child after its steps; async-signal-safe.
    void ChildDone();

  private:
    void CloseEnds();

    // The pipe the child tells on; -1 outside a fork.
    int m_read = -1;
    int m_write = -1;
};

}  // namespace velmora::platform

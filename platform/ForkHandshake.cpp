#include "platform/ForkHandshake.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>

namespace velmora::platform {

namespace {

constexpr auto kChildWait = std::chrono::seconds(10);

}  // namespace

ForkHandshake::~ForkHandshake() {
    CloseEnds();
}

void ForkHandshake::Prepare() {
    // Close-on-exec, so that a program another thread spawns meanwhile
    // keeps no write end that would hide the child's end.
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    m_read = ends[0];
    m_write = ends[1];
}

void ForkHandshake::AwaitChild() {
    if (m_read < 0) return;
    close(m_write);
    m_write = -1;
    // The child's byte, or the end of the pipe once the child has ended.
    const auto deadline = std::chrono::steady_clock::now() + kChildWait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd end{m_read, POLLIN, 0};
        if (left.count() <= 0 || poll(&end, 1, static_cast<int>(left.count())) >= 0 ||
            errno != EINTR) {
            break;
        }
    }
    CloseEnds();
}

void ForkHandshake::ChildDone() {
    if (m_write >= 0) {
        const char done = 1;
        write(m_write, &done, 1);
    }
    CloseEnds();
}

void ForkHandshake::CloseEnds() {
    if (m_read >= 0) close(m_read);
    if (m_write >= 0) close(m_write);
    m_read = -1;
    m_write = -1;
}

}  // namespace velmora::platform

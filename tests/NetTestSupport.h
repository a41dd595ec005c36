#pragma once

// Plain sockets on 127.0.0.1 for the TS-over-IP tests, and a private network
// namespace for the multicast ones: multicast never leaves this machine.

#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "WaitSupport.h"

namespace velmora::nettest {

// A datagram socket bound to 127.0.0.1 on a port of the system's choice.
class PlainSocket {
  public:
    PlainSocket() : m_handle(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in a = Loopback(0);
        const int size = 4 << 20;
        ::setsockopt(m_handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        ::bind(m_handle, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t length = sizeof(a);
        ::getsockname(m_handle, reinterpret_cast<sockaddr*>(&a), &length);
        m_port = ntohs(a.sin_port);
    }
    ~PlainSocket() { ::close(m_handle); }
    PlainSocket(const PlainSocket&) = delete;
    PlainSocket& operator=(const PlainSocket&) = delete;

    static sockaddr_in Loopback(uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    uint16_t Port() const { return m_port; }
    int Handle() const { return m_handle; }

    bool SendTo(uint16_t port, const std::vector<uint8_t>& data) const {
        const sockaddr_in to = Loopback(port);
        return ::sendto(m_handle, data.data(), data.size(), 0,
                        reinterpret_cast<const sockaddr*>(&to),
                        sizeof(to)) == static_cast<ssize_t>(data.size());
    }
    // One datagram, waiting at most `timeoutMs`; empty when none came.
    std::vector<uint8_t> Receive(int timeoutMs = 5000) const {
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(m_handle, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        const ssize_t n = ::recv(m_handle, m_datagram.data(), m_datagram.size(), 0);
        return {m_datagram.begin(), m_datagram.begin() + (n > 0 ? n : 0)};
    }

  private:
    int m_handle;
    uint16_t m_port = 0;
    // Room for the largest datagram, made once: a block this size made for
    // every datagram is mapped and unmapped each time under the thread
    // sanitizer, which made a test of 65,538 datagrams take minutes.
    mutable std::vector<uint8_t> m_datagram = std::vector<uint8_t>(65536);
};

// A UDP port nobody holds at the moment.
inline uint16_t FreePort() {
    PlainSocket probe;
    return probe.Port();
}

// Waits until `done` holds; a failure reported as a hang when it never does.
inline bool WaitFor(const std::function<bool()>& done, const std::string& what = "the condition") {
    return test::WaitUntil(done, what);
}

// Runs `body` in a forked child inside a private network namespace with lo up
// and a multicast route on lo. Returns "" when the body passed, the body's
// failure text, or "skip: <why>" when no namespace could be made.
inline std::string RunInPrivateNetwork(const std::function<std::string()>& body) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return "skip: no pipe";
    const pid_t child = ::fork();
    if (child < 0) return "skip: fork failed";
    if (child == 0) {
        ::close(pipeFds[0]);
        auto finish = [&](const std::string& text) {
            (void)!::write(pipeFds[1], text.data(), text.size());
            ::_exit(0);
        };
        if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            finish("skip: cannot make a network namespace (" + std::string(strerror(errno)) + ")");
        }
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        ifreq lo{};
        std::strcpy(lo.ifr_name, "lo");
        lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
        if (::ioctl(s, SIOCSIFFLAGS, &lo) != 0) finish("skip: cannot bring lo up");
        rtentry route{};
        auto* dst = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
        auto* mask = reinterpret_cast<sockaddr_in*>(&route.rt_genmask);
        dst->sin_family = mask->sin_family = AF_INET;
        dst->sin_addr.s_addr = htonl(0xE0000000u);
        mask->sin_addr.s_addr = htonl(0xF0000000u);
        reinterpret_cast<sockaddr_in*>(&route.rt_gateway)->sin_family = AF_INET;
        route.rt_flags = RTF_UP;
        char device[] = "lo";
        route.rt_dev = device;
        if (::ioctl(s, SIOCADDRT, &route) != 0) finish("skip: cannot add a multicast route");
        ::close(s);
        finish(body());
    }
    ::close(pipeFds[1]);
    std::string text;
    char chunk[256];
    ssize_t n;
    while ((n = ::read(pipeFds[0], chunk, sizeof(chunk))) > 0)
        text.append(chunk, size_t(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status)) return "the namespace child died";
    return text;
}

}  // namespace velmora::nettest

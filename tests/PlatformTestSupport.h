#pragma once

// Child processes for the cross-process tests of platform/. A child runs a
// function and leaves with _exit(its result); every wait on it is bounded and a
// child that overstays is killed, so no test can hang.
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "WaitSupport.h"
#include "platform/CallDeadline.h"
#include "platform/NamedMutex.h"
#include "platform/Paths.h"

namespace velmora::platform::test {

// A forked child that runs body and leaves with _exit(its result). It is
// killed when the test leaves it behind, also on a failed assertion.
class Child {
  public:
    explicit Child(const std::function<int()>& body) : m_pid(fork()) {
        if (m_pid == 0) {
            int code = 99;
            try {
                code = body();
            } catch (...) {
            }
            _exit(code);
        }
    }
    ~Child() { Kill(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

    // The child's exit code; -1 when it was killed, did not end in time (it
    // is then killed) or could not be waited for.
    int Wait(uint32_t timeoutMs = ::velmora::test::kHangBoundMs) {
        if (m_pid <= 0) return -1;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        for (;;) {
            const pid_t result = waitpid(m_pid, &status, WNOHANG);
            if (result == m_pid) break;
            if (result < 0) {
                m_pid = -1;
                return -1;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                Kill();
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // True while the child has not ended.
    bool Running() {
        if (m_pid <= 0) return false;
        siginfo_t info{};
        // Looks without reaping, so Wait still gets the exit code.
        return waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }

    // Stops the child as a debugger or Ctrl-Z does; true once it is stopped.
    bool Stop() { return m_pid > 0 && kill(m_pid, SIGSTOP) == 0 && WaitStopped(); }

    // True once the child is stopped, also by a signal it raised itself; a
    // continue sent before then would be lost. False when it ends instead.
    bool WaitStopped(uint32_t timeoutMs = ::velmora::test::kHangBoundMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_pid > 0 && std::chrono::steady_clock::now() < deadline) {
            siginfo_t info{};
            // Looks without reaping, so Wait still gets the exit code.
            if (waitid(P_PID, static_cast<id_t>(m_pid), &info,
                       WSTOPPED | WEXITED | WNOHANG | WNOWAIT) != 0) {
                return false;
            }
            if (info.si_pid != 0) return info.si_code == CLD_STOPPED;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    // Lets a stopped child go on.
    bool Continue() { return m_pid > 0 && kill(m_pid, SIGCONT) == 0; }

    // Kills the child and leaves it to Wait: until then the system may still
    // be ending it.
    void KillUnreaped() {
        if (m_pid > 0) kill(m_pid, SIGKILL);
    }

    void Kill() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        int status;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
    }

  private:
    pid_t m_pid;
};

// A one-way byte channel between parent and child for "ready"/"go" signals.
class Pipe {
  public:
    Pipe() {
        if (pipe(m_fds) != 0) m_fds[0] = m_fds[1] = -1;
    }
    ~Pipe() {
        if (m_fds[0] >= 0) close(m_fds[0]);
        if (m_fds[1] >= 0) close(m_fds[1]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    bool Signal(char value = 1) { return write(m_fds[1], &value, 1) == 1; }
    // The descriptors a process started from a child (they are inherited)
    // signals or waits on.
    int WriteEnd() const { return m_fds[1]; }
    int ReadEnd() const { return m_fds[0]; }
    // True when a byte arrived in time (stored in value when given).
    bool Wait(uint32_t timeoutMs = ::velmora::test::kHangBoundMs, char* value = nullptr) {
        pollfd entry{m_fds[0], POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(timeoutMs)) != 1) return false;
        char byte;
        if (read(m_fds[0], &byte, 1) != 1) return false;
        if (value) *value = byte;
        return true;
    }

  private:
    int m_fds[2];
};

// The body of a child that takes the named mutex `name`, signals `held` and
// keeps it until it is killed, as a hung process holding a lock of the card
// does; 1 when it cannot take it.
inline int HoldNamedMutexUntilKilled(const char* name, Pipe& held) {
    auto mutex = NamedMutex::Create(name);
    if (!mutex || mutex->Lock() != WaitResult::Signaled) return 1;
    held.Signal();
    for (;;)
        pause();
}

// This test program, to be run again by exec in a forked child as a second
// process that runs only the test `filter` names, with `settings` set in its
// environment (one without a value left out of it) and `arguments` after the
// filter. All of it is made here, before the fork: the child of a process
// whose threads run may call nothing that allocates before its exec, since an
// allocator that another thread held at the fork stays locked in the child
// (the address sanitizer's does).
class TestPeerImage {
  public:
    using Settings = std::vector<std::pair<std::string, std::optional<std::string>>>;

    explicit TestPeerImage(const std::string& filter, const Settings& settings = {},
                           const std::vector<std::string>& arguments = {})
        : m_Path(ExecutablePath()) {
        m_Arguments.push_back(m_Path);
        m_Arguments.push_back("--gtest_filter=" + filter);
        m_Arguments.insert(m_Arguments.end(), arguments.begin(), arguments.end());
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view text(*entry);
            const std::string_view name = text.substr(0, text.find('='));
            if (std::none_of(settings.begin(), settings.end(),
                             [&](const auto& setting) { return setting.first == name; }))
                m_Environment.emplace_back(text);
        }
        for (const auto& [name, value] : settings)
            if (value) m_Environment.push_back(name + "=" + *value);
        m_Argv = Pointers(m_Arguments);
        m_Envp = Pointers(m_Environment);
    }
    TestPeerImage(const TestPeerImage&) = delete;
    TestPeerImage& operator=(const TestPeerImage&) = delete;

    // In the child: becomes the peer; returns only when that cannot start.
    int Exec() const {
        execve(m_Path.c_str(), m_Argv.data(), m_Envp.data());
        return 127;
    }
    // The same with the peer's standard output thrown away.
    int ExecQuietly() const {
        dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), 1);
        return Exec();
    }

  private:
    // Pointers into `texts`, which stay where they are from here on.
    static std::vector<char*> Pointers(std::vector<std::string>& texts) {
        std::vector<char*> pointers;
        for (std::string& text : texts)
            pointers.push_back(text.data());
        pointers.push_back(nullptr);
        return pointers;
    }

    std::string m_Path;
    std::vector<std::string> m_Arguments;
    std::vector<std::string> m_Environment;
    std::vector<char*> m_Argv;
    std::vector<char*> m_Envp;
};

// A folder of its own in the temporary folder (TMPDIR's, else /tmp), or in
// `base`, removed with all it holds when it goes, also after a failure. Its
// name carries the pid, so that once a killed test's process has gone the
// namespace cleanup knows the folder is no one's.
class TempDir {
  public:
    explicit TempDir(const char* base = nullptr) {
        const std::filesystem::path root =
            base != nullptr ? std::filesystem::path(base) : std::filesystem::temp_directory_path();
        std::string pattern =
            (root / ("velmora-test-" + std::to_string(getpid()) + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Valid() const { return !m_path.empty(); }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Shortens the deadline of every exported call while it lives, so that a
// test of locks held elsewhere needs no ten seconds a call.
class ShortCallDeadline {
  public:
    explicit ShortCallDeadline(std::chrono::milliseconds length = std::chrono::milliseconds(500))
        : m_previous(CallDeadline::SetLength(length)) {}
    ~ShortCallDeadline() { CallDeadline::SetLength(m_previous); }
    ShortCallDeadline(const ShortCallDeadline&) = delete;
    ShortCallDeadline& operator=(const ShortCallDeadline&) = delete;

  private:
    std::chrono::milliseconds m_previous;
};

// The calling thread's time since it was made, less the time it spent ready
// to run while the machine ran others (the system's account of its waits in a
// run queue): what a call's own steps and waits took, which a busy machine
// does not stretch.
class ThreadTimeBesideTheLoad {
  public:
    ThreadTimeBesideTheLoad() : m_start(std::chrono::steady_clock::now()), m_queued(Queued()) {}

    std::chrono::nanoseconds Elapsed() const {
        return std::chrono::steady_clock::now() - m_start - (Queued() - m_queued);
    }

  private:
    // From /proc: the thread's time on the processor, then its time queued.
    static std::chrono::nanoseconds Queued() {
        std::ifstream stat("/proc/thread-self/schedstat");
        uint64_t running = 0;
        uint64_t queued = 0;
        stat >> running >> queued;
        return std::chrono::nanoseconds(queued);
    }

    std::chrono::steady_clock::time_point m_start;
    std::chrono::nanoseconds m_queued;
};

// Does to a block's file what another local user can: cuts it to `length`
// bytes and writes a holder table at its end that claims `claimedSize`.
inline bool CutShort(const std::string& path, off_t length, uint64_t claimedSize) {
    constexpr off_t kTableSize = 248;
    const uint32_t finished[2] = {0x484C4456, 0};
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    const bool done = fd >= 0 && ftruncate(fd, length) == 0 &&
                      pwrite(fd, finished, sizeof(finished), length - kTableSize) == 8 &&
                      pwrite(fd, &claimedSize, 8, length - kTableSize + 8) == 8;
    if (fd >= 0) close(fd);
    return done;
}

}  // namespace velmora::platform::test

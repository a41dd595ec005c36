#pragma once

// Waits of the tests on the library's threads. A test waits for a condition
// the library reports (a count, a state, a sequence number), never for time to
// pass; the one time bound stops a hung test and is reported as a hang, long
// enough that a slow or busy machine never reaches it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace velmora::test {

inline constexpr std::chrono::seconds kHangBound{60};
inline constexpr uint32_t kHangBoundMs = 60000;

// Polls `done` until it holds. False, with a failure naming `what` as a hang,
// when it has not held for kHangBound since `progress` last changed: a wait
// that a slow or busy machine may stretch past the bound while it goes on
// moving.
inline bool WaitWhileMoving(const std::function<bool()>& done,
                            const std::function<uint64_t()>& progress, const std::string& what) {
    uint64_t last = progress();
    auto end = std::chrono::steady_clock::now() + kHangBound;
    while (!done()) {
        const uint64_t now = progress();
        if (now != last) {
            last = now;
            end = std::chrono::steady_clock::now() + kHangBound;
        } else if (std::chrono::steady_clock::now() > end) {
            ADD_FAILURE() << "hang: still waiting after " << kHangBound.count()
                          << " s without progress for " << what;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// As WaitWhileMoving, with nothing that moves: the bound counts from the
// start.
inline bool WaitUntil(const std::function<bool()>& done, const std::string& what) {
    return WaitWhileMoving(
        done, [] { return uint64_t{0}; }, what);
}

}  // namespace velmora::test

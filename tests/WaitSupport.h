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
// when it still does not hold after kHangBound.
inline bool WaitUntil(const std::function<bool()>& done, const std::string& what) {
    const auto end = std::chrono::steady_clock::now() + kHangBound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            ADD_FAILURE() << "hang: still waiting after " << kHangBound.count() << " s for "
                          << what;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Polls `done` as WaitUntil does, for a wait that a slow or busy machine may
// stretch past kHangBound while it goes on moving: the bound counts from the
// last change of `progress`.
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
            ADD_FAILURE() << "hang: nothing moved for " << kHangBound.count() << " s waiting for "
                          << what;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace velmora::test

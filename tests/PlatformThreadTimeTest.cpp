#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "PlatformTestSupport.h"
#include "platform/Event.h"
#include "platform/Paths.h"
#include "platform/Thread.h"
#include "platform/Time.h"

namespace velmora::platform {
namespace {

TEST(PlatformThreadTest, JoinTimesOutWhileItRunsAndReportsTheExitCode) {
    Thread thread;
    EXPECT_EQ(thread.Join(0), WaitResult::Failed);  // nothing started
    auto release = Event::Create(true, false);
    ASSERT_TRUE(thread.Start([&release] {
        return release->Wait(::velmora::test::kHangBoundMs) == WaitResult::Signaled ? 7u : 1u;
    }));
    EXPECT_FALSE(thread.Start([] { return 0u; }));
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_EQ(thread.Join(50), WaitResult::Timeout);

    release->Set();
    EXPECT_EQ(thread.Join(10000), WaitResult::Signaled);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.ExitCode(), 7u);
    EXPECT_EQ(thread.Join(0), WaitResult::Failed);

    // A joined object starts the next thread.
    ASSERT_TRUE(thread.Start([] { return 3u; }));
    EXPECT_EQ(thread.Join(), WaitResult::Signaled);
    EXPECT_EQ(thread.ExitCode(), 3u);
}

TEST(PlatformThreadTest, DetachedOrDroppedThreadsRunOnByThemselves) {
    auto release = std::shared_ptr<Event>(Event::Create(true, false));
    auto finished = std::make_shared<std::atomic<int>>(0);
    auto body = [release, finished] {
        release->Wait(::velmora::test::kHangBoundMs);
        ++*finished;
        return 0u;
    };
    {
        Thread dropped;
        ASSERT_TRUE(dropped.Start(body));
    }  // returns at once although the thread runs
    Thread detached;
    ASSERT_TRUE(detached.Start(body));
    detached.Detach();
    EXPECT_FALSE(detached.IsRunning());
    EXPECT_EQ(detached.Join(0), WaitResult::Failed);
    EXPECT_EQ(finished->load(), 0);

    release->Set();
    EXPECT_TRUE(::velmora::test::WaitUntil([&] { return finished->load() == 2; },
                                           "both threads to finish"));
}

TEST(PlatformTimeTest, ClocksAreMonotonicAndAgree) {
    // Each reading is bracketed by readings of the other clock, so that no
    // pause of this thread between them counts.
    const uint64_t beforeUs = MonotonicUs();
    const uint64_t startMs = MonotonicMs();
    const uint64_t startUs = MonotonicUs();
    Sleep(50);
    const uint64_t endUs = MonotonicUs();
    EXPECT_GE(MonotonicMs() - startMs, 50u);
    EXPECT_GE(endUs - startUs, 50000u);
    EXPECT_LE(beforeUs / 1000, startMs + 1);
    EXPECT_LE(startMs, startUs / 1000 + 1);
    const uint64_t beforeTickMs = MonotonicMs();
    const uint32_t tick = TickCount();
    const uint64_t afterTickMs = MonotonicMs();
    EXPECT_LE(tick - static_cast<uint32_t>(beforeTickMs - 1000),
              static_cast<uint32_t>(afterTickMs - beforeTickMs) + 2000u);
}

// Runs in a process of its own started by SleepScaleComesFromTheEnvironment,
// since the scale is read only once per process.
TEST(PlatformTimeTest, SleepScaleOfThisProcess) {
    const char* expected = std::getenv("VELMORA_TEST_EXPECTED_SLEEP_SCALE");
    if (!expected) GTEST_SKIP() << "started by SleepScaleComesFromTheEnvironment";
    const double scale = std::strtod(expected, nullptr);
    EXPECT_DOUBLE_EQ(SleepScale(), scale);
    setenv("VELMORA_SLEEP_SCALE", "9", 1);
    EXPECT_DOUBLE_EQ(SleepScale(), scale);

    const uint64_t start = MonotonicMs();
    SettlingSleep(scale == 0.0 ? 60000 : 100);
    const uint64_t took = MonotonicMs() - start;
    if (scale == 0.0) {
        EXPECT_LT(took, 30000u) << "hang: the 60 s settling sleep was not skipped";
    } else if (scale == 2.0) {
        EXPECT_GE(took, 200u);
    }
}

TEST(PlatformTimeTest, SleepScaleComesFromTheEnvironment) {
    const struct {
        const char* value;  // null: unset
        const char* expected;
        int exitCode;
    } cases[] = {{nullptr, "1", 0},
                 {"2", "2", 0},
                 {"0", "0", 0},
                 {"0.25", "0.25", 0},
                 {"-3", "1", 0},
                 {"abc", "1", 0},
                 {"2x", "1", 0},
                 {"inf", "1", 0},
                 // Proves that the child really runs the check.
                 {"2", "3", 1}};
    for (const auto& c : cases) {
        const test::TestPeerImage image(
            "PlatformTimeTest.SleepScaleOfThisProcess",
            {{"VELMORA_SLEEP_SCALE", c.value ? std::optional<std::string>(c.value) : std::nullopt},
             {"VELMORA_TEST_EXPECTED_SLEEP_SCALE", c.expected}});
        // Quiet: only the exit code matters.
        test::Child child([&] { return image.ExecQuietly(); });
        EXPECT_EQ(child.Wait(30000), c.exitCode)
            << "VELMORA_SLEEP_SCALE=" << (c.value ? c.value : "(unset)");
    }
}

TEST(PlatformPathsTest, ExecutableAndModulePaths) {
    const std::string exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe.front(), '/');
    EXPECT_EQ(std::filesystem::canonical("/proc/self/exe").string(), exe);
    // The test program links these objects in, so it is their module.
    EXPECT_EQ(ModulePath(), exe);
}

TEST(PlatformPathsTest, CreatesDirectoriesRecursively) {
    const auto base = std::filesystem::temp_directory_path() /
                      ("velmora-platform-paths-" + std::to_string(getpid()));
    const std::string deep = (base / "a" / "b" / "c").string();
    EXPECT_TRUE(CreateDirectoryRecursive(deep + "/"));
    EXPECT_TRUE(std::filesystem::is_directory(deep));
    EXPECT_TRUE(CreateDirectoryRecursive(deep));  // exists already
    std::ofstream((base / "file").string()) << "x";
    EXPECT_FALSE(CreateDirectoryRecursive((base / "file" / "sub").string()));
    EXPECT_FALSE(CreateDirectoryRecursive(""));
    std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace velmora::platform

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "PlatformTestSupport.h"
#include "platform/NamedMutex.h"
#include "platform/ProcessSharedMutex.h"
#include "platform/SharedMemory.h"

namespace velmora::platform {
namespace {

using test::Child;
using test::Pipe;

struct Contended {
    volatile uint32_t counter;
    volatile uint32_t inside;
    volatile uint32_t overlaps;
};

// Increments the shared counter without atomics, so only the mutex keeps the
// two processes from losing updates.
int Hammer(Contended* shared, int rounds) {
    auto mutex = NamedMutex::Create("Global\\PlatformMutex.Contend");
    if (!mutex) return 1;
    for (int i = 0; i < rounds; ++i) {
        if (mutex->Lock(::velmora::test::kHangBoundMs) != WaitResult::Signaled) return 2;
        if (shared->inside) shared->overlaps = shared->overlaps + 1;
        shared->inside = 1;
        const uint32_t value = shared->counter;
        if (i % 64 == 0) std::this_thread::yield();
        shared->counter = value + 1;
        shared->inside = 0;
        if (!mutex->Unlock()) return 3;
    }
    return 0;
}

TEST(PlatformMutexTest, TwoProcessesNeverHoldItTogether) {
    constexpr int kRounds = 20000;
    auto memory = SharedMemory::Open("PlatformMutex.Counter", sizeof(Contended));
    ASSERT_TRUE(memory);
    auto* shared = static_cast<Contended*>(memory->Data());

    Pipe go;
    Child child([&] { return go.Wait() ? Hammer(shared, kRounds) : 9; });
    go.Signal();
    EXPECT_EQ(Hammer(shared, kRounds), 0);
    EXPECT_EQ(child.Wait(60000), 0);
    EXPECT_EQ(shared->overlaps, 0u);
    EXPECT_EQ(shared->counter, 2u * kRounds);
}

TEST(PlatformMutexTest, KilledOwnerLeavesItAbandonedForTheNextOwner) {
    Pipe locked;
    Child child([&locked] {
        auto mutex = NamedMutex::Create("PlatformMutex.Killed");
        if (!mutex || mutex->Lock(::velmora::test::kHangBoundMs) != WaitResult::Signaled) return 1;
        mutex->Lock(::velmora::test::kHangBoundMs);  // held twice: death releases every level
        locked.Signal();
        for (;;)
            pause();
    });
    ASSERT_TRUE(locked.Wait());

    auto mutex = NamedMutex::Create("PlatformMutex.Killed");
    ASSERT_TRUE(mutex);
    EXPECT_TRUE(mutex->AlreadyExisted());
    EXPECT_EQ(mutex->Lock(50), WaitResult::Timeout);
    child.Kill();

    EXPECT_EQ(mutex->Lock(::velmora::test::kHangBoundMs), WaitResult::Abandoned);
    EXPECT_TRUE(mutex->Unlock());
    EXPECT_FALSE(mutex->Unlock());
    EXPECT_EQ(mutex->Lock(::velmora::test::kHangBoundMs), WaitResult::Signaled);
    EXPECT_TRUE(mutex->Unlock());
}

TEST(PlatformMutexTest, EndedOwnerThreadLeavesItAbandoned) {
    auto mutex = NamedMutex::Create("PlatformMutex.Thread");
    ASSERT_TRUE(mutex);
    std::thread owner(
        [&mutex] { EXPECT_EQ(mutex->Lock(::velmora::test::kHangBoundMs), WaitResult::Signaled); });
    owner.join();
    EXPECT_EQ(mutex->Lock(::velmora::test::kHangBoundMs), WaitResult::Abandoned);
    EXPECT_TRUE(mutex->Unlock());
}

TEST(PlatformMutexTest, RecursiveForItsOwnerOnlyAndOthersCannotUnlockIt) {
    auto mutex = NamedMutex::Create("PlatformMutex.Recursive");
    auto other = NamedMutex::Create("PlatformMutex.Recursive");
    ASSERT_TRUE(mutex && other);
    EXPECT_FALSE(mutex->Unlock());  // nobody owns it

    ASSERT_EQ(mutex->Lock(), WaitResult::Signaled);
    ASSERT_EQ(mutex->Lock(0), WaitResult::Signaled);
    auto tryFromOtherThread = [&other] {
        WaitResult result = WaitResult::Failed;
        bool unlocked = true;
        std::thread thread([&] {
            unlocked = other->Unlock();
            result = other->Lock(50);
            if (result == WaitResult::Signaled) other->Unlock();
        });
        thread.join();
        EXPECT_FALSE(unlocked);
        return result;
    };
    EXPECT_EQ(tryFromOtherThread(), WaitResult::Timeout);
    EXPECT_TRUE(mutex->Unlock());
    EXPECT_EQ(tryFromOtherThread(), WaitResult::Timeout);  // still held once
    EXPECT_TRUE(mutex->Unlock());
    EXPECT_EQ(tryFromOtherThread(), WaitResult::Signaled);
    EXPECT_FALSE(mutex->Unlock());
}

TEST(PlatformMutexTest, WaitsTimeOutWhileAnotherProcessHoldsIt) {
    Pipe locked, release;
    Child child([&] {
        auto mutex = NamedMutex::Create("PlatformMutex.Held");
        if (!mutex || mutex->Lock(::velmora::test::kHangBoundMs) != WaitResult::Signaled) return 1;
        locked.Signal();
        if (!release.Wait()) return 2;
        return mutex->Unlock() ? 0 : 3;
    });
    ASSERT_TRUE(locked.Wait());
    auto mutex = NamedMutex::Create("PlatformMutex.Held");
    ASSERT_TRUE(mutex);
    EXPECT_EQ(mutex->Lock(0), WaitResult::Timeout);
    EXPECT_EQ(mutex->Lock(100), WaitResult::Timeout);
    EXPECT_FALSE(mutex->Unlock());
    release.Signal();
    EXPECT_EQ(mutex->Lock(::velmora::test::kHangBoundMs), WaitResult::Signaled);
    EXPECT_TRUE(mutex->Unlock());
    EXPECT_EQ(child.Wait(), 0);
}

TEST(PlatformMutexTest, ClosingAnOwnedMutexReleasesIt) {
    auto mutex = NamedMutex::Create("PlatformMutex.Close");
    auto other = NamedMutex::Create("PlatformMutex.Close");
    ASSERT_TRUE(mutex && other);
    ASSERT_EQ(mutex->Lock(), WaitResult::Signaled);
    ASSERT_EQ(mutex->Lock(), WaitResult::Signaled);
    mutex.reset();
    WaitResult result = WaitResult::Failed;
    std::thread thread([&] {
        result = other->Lock(::velmora::test::kHangBoundMs);
        other->Unlock();
    });
    thread.join();
    EXPECT_EQ(result, WaitResult::Signaled);
}

TEST(PlatformMutexTest, NonRecursiveProcessSharedMutexRefusesRelockAndForeignUnlock) {
    auto memory = SharedMemory::Open("", sizeof(ProcessSharedMutex));
    ASSERT_TRUE(memory);
    auto* mutex = new (memory->Data()) ProcessSharedMutex;
    ASSERT_TRUE(mutex->Init(false));
    ASSERT_EQ(mutex->Lock(), WaitResult::Signaled);
    EXPECT_EQ(mutex->Lock(0), WaitResult::Failed);
    bool unlocked = true;
    std::thread([&] { unlocked = mutex->Unlock(); }).join();
    EXPECT_FALSE(unlocked);
    EXPECT_TRUE(mutex->Unlock());
}

}  // namespace
}  // namespace velmora::platform

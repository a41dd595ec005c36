#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "PlatformTestSupport.h"
#include "platform/CallDeadline.h"
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

// Holds the mutex for about `us` microseconds of the clock.
void HoldMutexFor(int us) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    while (std::chrono::steady_clock::now() < until) {
    }
}

// Keeps the calling thread to the first processor it may run on (`first`),
// or to all the others; nothing when it may run on one only. The affinity
// before.
cpu_set_t KeepToProcessors(bool first) {
    cpu_set_t before;
    CPU_ZERO(&before);
    if (sched_getaffinity(0, sizeof(before), &before) != 0 || CPU_COUNT(&before) < 2) return before;
    cpu_set_t kept = before;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &before)) continue;
        if (first) {
            CPU_ZERO(&kept);
            CPU_SET(cpu, &kept);
        } else {
            CPU_CLR(cpu, &kept);
        }
        break;
    }
    sched_setaffinity(0, sizeof(kept), &kept);
    return before;
}

struct WaiterTurns {
    std::atomic<uint32_t> round;  // the waiter's wait under way (0: none yet)
    std::atomic<uint32_t> holds;  // the other's holds in that round
    std::atomic<uint32_t> done;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);

// Another process takes the mutex again the moment it lets go of it, and holds
// it nearly all the time: a waiter is served while it goes on doing so, within
// a few of its holds. The waiter claims its turn as it starts to wait, and
// the other leaves the mutex to the claim once it has stood a millisecond,
// however slowly the waiter runs (about 20 holds). Before the turns, a waiter
// was kept out for hundreds or thousands of such holds in some of the rounds,
// and now and then until the other stopped: each round lets the other stop
// after kStopAfter holds, so that a waiter kept out has the mutex then.
TEST(PlatformMutexTest, AWaiterIsServedBesideAProcessThatTakesItAgainAtOnce) {
    constexpr uint32_t kRounds = 50;
    constexpr uint32_t kStopAfter = 2000;
    // Ten times the holds the claim's millisecond takes.
    constexpr uint32_t kServedWithin = 200;
    auto memory = SharedMemory::Open("PlatformMutex.Turns", sizeof(WaiterTurns));
    ASSERT_TRUE(memory);
    auto* turns = new (memory->Data()) WaiterTurns{};
    Pipe taking;
    Child other([&] {
        KeepToProcessors(true);
        auto mutex = NamedMutex::Create("PlatformMutex.Retaken");
        if (!mutex) return 1;
        bool told = false;
        uint32_t counted = 0;
        uint32_t countedRound = 0;
        while (!turns->done.load()) {
            const uint32_t round = turns->round.load();
            if (round != countedRound) {
                countedRound = round;
                counted = 0;
            }
            if (counted >= kStopAfter) {
                std::this_thread::yield();
                continue;
            }
            if (mutex->Lock(::velmora::test::kHangBoundMs) != WaitResult::Signaled) return 2;
            if (!told) {
                taking.Signal();
                told = true;
            }
            HoldMutexFor(50);
            if (round != 0 && turns->round.load() == round) turns->holds.store(++counted);
            if (!mutex->Unlock()) return 3;
        }
        return 0;
    });
    ASSERT_TRUE(taking.Wait());
    auto mutex = NamedMutex::Create("PlatformMutex.Retaken");
    ASSERT_TRUE(mutex);
    // On other processors than the other process: the waiter cannot run in
    // the moment between the other's release and its next hold unless the
    // system stops the other there.
    const cpu_set_t affinity = KeepToProcessors(false);
    uint32_t most = 0;
    for (uint32_t round = 1; round <= kRounds; ++round) {
        turns->holds.store(0);
        turns->round.store(round);
        ASSERT_EQ(mutex->Lock(::velmora::test::kHangBoundMs), WaitResult::Signaled);
        most = std::max(most, turns->holds.load());
        EXPECT_TRUE(mutex->Unlock());
    }
    // Inside one exported call the other's holds, each let go of, cost the
    // call nothing however long its waits take in all: it waits until it has
    // waited twice its deadline and is never turned away. (Before, every wait
    // spent the deadline, so the call gave up once they came to it.)
    {
        constexpr auto kDeadline = std::chrono::seconds(2);
        const test::ShortCallDeadline shortened(kDeadline);
        const CallDeadline call;
        std::chrono::steady_clock::duration waited{};
        for (uint32_t round = kRounds + 1; waited < 2 * kDeadline && round < 1000000; ++round) {
            turns->holds.store(0);
            turns->round.store(round);
            const auto start = std::chrono::steady_clock::now();
            ASSERT_EQ(mutex->Lock(::velmora::test::kHangBoundMs), WaitResult::Signaled)
                << "turned away after " << round - kRounds << " waits";
            waited += std::chrono::steady_clock::now() - start;
            EXPECT_TRUE(mutex->Unlock());
        }
    }
    turns->done.store(1);
    sched_setaffinity(0, sizeof(affinity), &affinity);
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_LT(most, kServedWithin)
        << "the waiter was kept out for " << most << " holds of the other process";
}

// A waiter stopped while its claim stands (it has waited longer than a moment
// for the mutex) holds up the next waiter only a while. One killed there, or
// in the place next in line, is seen gone by the next waiter's look: nothing
// of it outlives that look, also when the waiter gives up before the holder
// lets go (a claim stood for a while before, and a thread told to stop gives
// up so), and a claimant served hands its turn to no dead waiter.
TEST(PlatformMutexTest, AWaiterStoppedOrKilledInItsTurnHoldsUpNoOther) {
    enum class Ends { StoppedClaimant, KilledClaimant, KilledNext };
    const std::pair<Ends, const char*> rows[] = {{Ends::StoppedClaimant, "stopped claimant"},
                                                 {Ends::KilledClaimant, "killed claimant"},
                                                 {Ends::KilledNext, "killed next in line"}};
    for (const auto& [ends, name] : rows) {
        SCOPED_TRACE(name);
        auto memory = SharedMemory::Open("", sizeof(ProcessSharedMutex));
        ASSERT_TRUE(memory);
        auto* mutex = new (memory->Data()) ProcessSharedMutex;
        ASSERT_TRUE(mutex->Init(true));
        const auto word = [](uint32_t& shared) { return std::atomic_ref<uint32_t>(shared).load(); };
        const auto waiter = [mutex] {
            return mutex->Lock(::velmora::test::kHangBoundMs) == WaitResult::Signaled &&
                           mutex->Unlock()
                       ? 0
                       : 2;
        };
        ASSERT_EQ(mutex->Lock(), WaitResult::Signaled);
        Child claimant(waiter);
        ASSERT_TRUE(::velmora::test::WaitUntil([&] { return word(mutex->claim) != 0; }, "claim"));
        std::optional<Child> next;
        if (ends == Ends::KilledNext) {
            next.emplace(waiter);
            ASSERT_TRUE(::velmora::test::WaitUntil([&] { return word(mutex->next) != 0; }, "next"));
        }
        const uint32_t gone = ends == Ends::KilledNext ? word(mutex->next) : word(mutex->claim);
        if (ends == Ends::StoppedClaimant) {
            ASSERT_TRUE(claimant.Stop());
        } else {
            (next ? *next : claimant).Kill();
            // Well within the while a living claimant is honoured: only a
            // waiter that sees the dead one gone at its look takes its place.
            std::thread([mutex] { EXPECT_EQ(mutex->Lock(100), WaitResult::Timeout); }).join();
            EXPECT_NE(word(mutex->claim), gone);
        }
        EXPECT_TRUE(mutex->Unlock());
        if (ends == Ends::KilledNext) {
            EXPECT_EQ(claimant.Wait(), 0);
            EXPECT_NE(word(mutex->claim), gone);
        }
        WaitResult served = WaitResult::Failed;
        std::thread([&] {
            served = mutex->Lock(::velmora::test::kHangBoundMs);
            if (served == WaitResult::Signaled) mutex->Unlock();
        }).join();
        EXPECT_EQ(served, WaitResult::Signaled);
        claimant.Kill();
        EXPECT_NE(word(mutex->claim), gone);
        EXPECT_NE(word(mutex->next), gone);
    }
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
    {
        // A call's deadline is spent by its waits for others, not by its own
        // work, however slowly a busy machine runs it.
        const test::ShortCallDeadline shortened(std::chrono::milliseconds(200));
        const CallDeadline call;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(CallDeadline::Bound(100u), 100u);
        EXPECT_EQ(mutex->Lock(50), WaitResult::Timeout);
        EXPECT_LE(CallDeadline::Bound(1000u), 150u);
    }
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

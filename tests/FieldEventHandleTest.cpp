// Field-event handles that cannot dangle: a close while another thread, or
// another process, waits on the event fails that wait and frees nothing under
// it; registrations racing each other or the card's last close leave one
// field-event thread at most and no event open.

#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CardTestSupport.h"
#include "PlatformTestSupport.h"
#include "WaitSupport.h"
#include "api/VelmoraSdkApi.h"
#include "card/VelmoraMainFunc.h"
#include "platform/HandleTable.h"
#include "velmora/VelmoraOs.h"

namespace velmora::cardtest {
namespace {

using platform::test::Child;
using platform::test::Pipe;

constexpr uint32_t kWaitMs = ::velmora::test::kHangBoundMs;

std::wstring EventName(int number) {
    return L"Global\\FieldEventHandleTest." + std::to_wstring(number);
}

size_t ThreadsOfThisProcess() {
    size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] != '.') ++count;
        }
        closedir(tasks);
    }
    return count;
}

// A joined thread may still be listed for a moment while the system reaps
// it: waits until at most `most` threads are left.
bool ThreadsComeDownTo(size_t most) {
    return ::velmora::test::WaitUntil([most] { return ThreadsOfThisProcess() <= most; },
                                      "at most " + std::to_string(most) + " threads");
}

// Waits kWaitMs on the handle in a thread of its own; `started` is signalled
// just before the wait.
class Waiter {
  public:
    Waiter(VELMORA_HANDLE handle, Pipe* started)
        : m_thread([this, handle, started] {
              started->Signal();
              m_result = VelmoraOs_WaitForSingleObject(handle, kWaitMs);
          }) {}
    uint32_t Result() {
        m_thread.join();
        return m_result;
    }

  private:
    std::atomic<uint32_t> m_result{0};
    std::thread m_thread;
};

// Lets a waiter that has signalled reach its sleep; the outcome is the same
// when it has not (the closed handle is refused before the wait).
void LetTheWaitBegin() {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// No field ever arrives: nothing but the close ends the waits.
class FieldEventHandleTest : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
        ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
        m_openHandles = platform::HandleTable::Instance().Count();
    }
    static card::CVelmoraMainFunc* Main() { return Card(0)->GetMainFunc(); }
    // Nothing this test registered is still open anywhere.
    void ExpectNothingOpen(int names) const {
        EXPECT_EQ(platform::HandleTable::Instance().Count(), m_openHandles);
        EXPECT_EQ(Main()->FieldEventCount(), 0u);
        for (int i = 0; i < names; ++i)
            EXPECT_EQ(VelmoraOs_OpenEvent(EventName(i).c_str()), nullptr) << i;
    }

    size_t m_openHandles = 0;
};

TEST_F(FieldEventHandleTest, CloseWhileWaitingFailsTheWait) {
    for (int round = 0; round < 10; ++round) {
        VELMORA_HANDLE handle = nullptr;
        ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(0).c_str(), &handle, 0), 1u);
        Pipe started;
        Waiter waiter(handle, &started);
        ASSERT_TRUE(started.Wait());
        LetTheWaitBegin();
        EXPECT_EQ(Quorvel_Velmora_CloseFieldEvent(handle, 0), 1u);
        EXPECT_EQ(waiter.Result(), VELMORA_WAIT_FAILED) << round;

        // The closed handle is refused by every call.
        EXPECT_EQ(VelmoraOs_WaitForSingleObject(handle, 0), VELMORA_WAIT_FAILED);
        EXPECT_EQ(VelmoraOs_SetEvent(handle), 0);
        EXPECT_EQ(VelmoraOs_ResetEvent(handle), 0);
        EXPECT_EQ(VelmoraOs_CloseHandle(handle), 0);
        EXPECT_EQ(Card(0)->GetApi()->CloseFieldEvent(static_cast<platform::Handle>(handle)), 0u);
    }
    // The same through the wait API's own handles.
    VELMORA_HANDLE own = VelmoraOs_CreateEvent(1, 0, EventName(1).c_str());
    ASSERT_NE(own, nullptr);
    Pipe started;
    Waiter waiter(own, &started);
    ASSERT_TRUE(started.Wait());
    LetTheWaitBegin();
    EXPECT_EQ(VelmoraOs_CloseHandle(own), 1);
    EXPECT_EQ(waiter.Result(), VELMORA_WAIT_FAILED);
    ExpectNothingOpen(2);
}

// The other process's handle of the same named event stays its own: each
// close fails only the waits on the handle it closed. The other process
// starts before this one opens the card, so that it forks no thread's locks.
using FieldEventProcessTest = CardTest;

TEST_F(FieldEventProcessTest, CloseWhileWaitingInTwoProcesses) {
    ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
    Pipe registered;
    Pipe opened;
    Pipe closeNow;
    Child child([&registered, &opened, &closeNow] {
        if (!registered.Wait(30000)) return 9;
        VELMORA_HANDLE mine = VelmoraOs_OpenEvent(EventName(0).c_str());
        if (!mine) return 10;
        Pipe started;
        Waiter waiter(mine, &started);
        if (!started.Wait()) return 11;
        opened.Signal();
        if (!closeNow.Wait()) return 12;
        LetTheWaitBegin();
        if (VelmoraOs_CloseHandle(mine) != 1) return 13;
        return waiter.Result() == VELMORA_WAIT_FAILED ? 0 : 14;
    });
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    const size_t openHandles = platform::HandleTable::Instance().Count();
    VELMORA_HANDLE handle = nullptr;
    ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(0).c_str(), &handle, 0), 1u);
    registered.Signal();
    ASSERT_TRUE(opened.Wait());
    Pipe started;
    Waiter waiter(handle, &started);
    ASSERT_TRUE(started.Wait());
    closeNow.Signal();
    LetTheWaitBegin();
    EXPECT_EQ(Quorvel_Velmora_CloseFieldEvent(handle, 0), 1u);
    EXPECT_EQ(waiter.Result(), VELMORA_WAIT_FAILED);
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(platform::HandleTable::Instance().Count(), openHandles);
    EXPECT_EQ(VelmoraOs_OpenEvent(EventName(0).c_str()), nullptr);
}

// Two threads register and close events over and over, so the table empties
// and fills again around the field-event thread's passes. Fields arrive all
// along: the thread passes every few milliseconds instead of once a second,
// so its end often meets a registration, or a registration comes in its last
// pass, within a few cycles.
TEST_F(FieldEventHandleTest, RacingRegistrationsLeaveOneThreadAndNoEvent) {
    const size_t threadsBefore = ThreadsOfThisProcess();
    constexpr int kCycles = 1000;
    std::atomic<int> failures{0};
    auto cycle = [&failures](int name) {
        for (int i = 0; i < kCycles; ++i) {
            VELMORA_HANDLE handle = nullptr;
            if (Quorvel_Velmora_InitialFieldEvent(EventName(name).c_str(), &handle, 0) != 1 ||
                Card(0)->GetApi()->CloseFieldEvent(static_cast<platform::Handle>(handle)) != 1)
                ++failures;
        }
    };
    std::atomic<bool> racing{true};
    std::thread fields([&racing] {
        // A field about every millisecond: one waits at each of the thread's passes.
        while (racing.load()) {
            sim::StepFields(0, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread first(cycle, 0);
    std::thread second(cycle, 1);
    first.join();
    second.join();
    racing = false;
    fields.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(ThreadsComeDownTo(threadsBefore + 1));
    ExpectNothingOpen(2);
    // The registry still works afterwards.
    VELMORA_HANDLE handle = nullptr;
    ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(2).c_str(), &handle, 0), 1u);
    ASSERT_TRUE(sim::StepFields(0, 1));
    EXPECT_EQ(VelmoraOs_WaitForSingleObject(handle, ::velmora::test::kHangBoundMs),
              VELMORA_WAIT_OBJECT_0);
    EXPECT_EQ(Quorvel_Velmora_CloseFieldEvent(handle, 0), 1u);
}

// The process's last close ends the registry while registrations go on: they
// are refused from then on, the thread is joined, and nothing stays open.
TEST_F(FieldEventHandleTest, RegistrationsRacingTheLastCloseLeaveNothing) {
    const size_t threadsBefore = ThreadsOfThisProcess();
    std::atomic<bool> closed{false};
    std::atomic<int> afterClose{0};
    std::thread registering([&closed, &afterClose] {
        for (int i = 0; i < 2000 || !closed; ++i) {
            const bool wasClosed = closed;
            platform::Handle handle = nullptr;
            if (Main()->RegisterFieldEvent(EventName(0).c_str(), &handle)) {
                if (wasClosed) ++afterClose;
                Main()->UnregisterFieldEvent(handle);
            }
            if (wasClosed) break;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Main()->Exit(0, 1), 1u);
    closed = true;
    registering.join();
    EXPECT_EQ(afterClose.load(), 0);
    EXPECT_FALSE(Main()->HasFieldEventTable());
    EXPECT_TRUE(ThreadsComeDownTo(threadsBefore));
    ExpectNothingOpen(1);
}

}  // namespace
}  // namespace velmora::cardtest

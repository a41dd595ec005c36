#include <gtest/gtest.h>

#include <thread>

#include "PlatformTestSupport.h"
#include "platform/Event.h"
#include "platform/Time.h"

namespace velmora::platform {
namespace {

using test::Child;
using test::Pipe;

TEST(PlatformEventTest, SetInOneProcessWakesAWaiterInAnother) {
    auto event = Event::Create(false, false, "Global\\PlatformEvent.Wake");
    ASSERT_TRUE(event);
    EXPECT_FALSE(event->AlreadyExisted());
    Pipe ready;
    Child child([&ready] {
        auto opened = Event::Open("Global\\PlatformEvent.Wake");
        if (!opened) return 1;
        ready.Signal();
        return opened->Wait(::velmora::test::kHangBoundMs) == WaitResult::Signaled ? 0 : 2;
    });
    ASSERT_TRUE(ready.Wait());
    EXPECT_TRUE(event->Set());
    EXPECT_EQ(child.Wait(), 0);
    // The waiter consumed the auto-reset signal.
    EXPECT_EQ(event->Wait(0), WaitResult::Timeout);
}

TEST(PlatformEventTest, AutoResetLetsOneWaiterPassPerSet) {
    auto event = Event::Create(false, false, "PlatformEvent.Auto");
    ASSERT_TRUE(event);
    Pipe ready, passed;
    auto waiter = [&](char id) {
        return [&ready, &passed, id] {
            auto opened = Event::Open("PlatformEvent.Auto");
            if (!opened) return 1;
            ready.Signal();
            if (opened->Wait(::velmora::test::kHangBoundMs) != WaitResult::Signaled) return 2;
            passed.Signal(id);
            return 0;
        };
    };
    Child first(waiter('a'));
    Child second(waiter('b'));
    ASSERT_TRUE(ready.Wait() && ready.Wait());

    EXPECT_TRUE(event->Set());
    char id = 0;
    ASSERT_TRUE(passed.Wait(10000, &id));
    // One Set, one waiter: the other one keeps waiting.
    EXPECT_FALSE(passed.Wait(200));
    EXPECT_EQ(event->Wait(0), WaitResult::Timeout);
    EXPECT_TRUE(id == 'a' ? second.Running() : first.Running());

    EXPECT_TRUE(event->Set());
    char other = 0;
    ASSERT_TRUE(passed.Wait(10000, &other));
    EXPECT_NE(id, other);
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_EQ(second.Wait(), 0);
}

TEST(PlatformEventTest, ManualResetStaysSetUntilReset) {
    auto event = Event::Create(true, false, "PlatformEvent.Manual");
    ASSERT_TRUE(event);
    EXPECT_TRUE(event->IsManualReset());
    EXPECT_EQ(event->Wait(0), WaitResult::Timeout);
    EXPECT_TRUE(event->Set());
    EXPECT_EQ(event->Wait(0), WaitResult::Signaled);
    EXPECT_EQ(event->Wait(10), WaitResult::Signaled);

    Child child([] {
        auto opened = Event::Open("PlatformEvent.Manual");
        if (!opened) return 1;
        for (int i = 0; i < 3; ++i) {
            if (opened->Wait(::velmora::test::kHangBoundMs) != WaitResult::Signaled) return 2;
        }
        return 0;
    });
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(event->Wait(0), WaitResult::Signaled);

    EXPECT_TRUE(event->Reset());
    EXPECT_EQ(event->Wait(0), WaitResult::Timeout);
}

TEST(PlatformEventTest, WaitsTimeOutAfterTheirTime) {
    for (const bool manual : {false, true}) {
        for (const char* name : {"", "PlatformEvent.Timeout"}) {
            auto event = Event::Create(manual, false, name);
            ASSERT_TRUE(event);
            const uint64_t start = MonotonicMs();
            EXPECT_EQ(event->Wait(100), WaitResult::Timeout);
            EXPECT_GE(MonotonicMs() - start, 100u);
        }
    }
}

TEST(PlatformEventTest, UnnamedEventWakesAThreadOfThisProcess) {
    auto event = Event::Create(false, true);
    ASSERT_TRUE(event);
    EXPECT_FALSE(event->AlreadyExisted());
    EXPECT_EQ(event->Wait(0), WaitResult::Signaled);  // the initial state
    EXPECT_EQ(event->Wait(0), WaitResult::Timeout);

    WaitResult result = WaitResult::Failed;
    std::thread waiter([&] { result = event->Wait(::velmora::test::kHangBoundMs); });
    Sleep(20);
    event->Set();
    waiter.join();
    EXPECT_EQ(result, WaitResult::Signaled);
}

TEST(PlatformEventTest, CreateOpensAnExistingEventAndOpenNeverCreates) {
    EXPECT_FALSE(Event::Open("PlatformEvent.Named"));
    EXPECT_FALSE(Event::Open(""));

    auto created = Event::Create(true, true, "PlatformEvent.Named");
    ASSERT_TRUE(created);
    auto again = Event::Create(false, false, "PlatformEvent.Named");
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->AlreadyExisted());
    EXPECT_TRUE(again->IsManualReset());  // the creator's flags hold
    EXPECT_EQ(again->Wait(0), WaitResult::Signaled);
    auto opened = Event::Open("PlatformEvent.Named");
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->IsManualReset());

    opened->Reset();
    EXPECT_EQ(created->Wait(0), WaitResult::Timeout);

    // It lives while any handle is open, then it is gone.
    created.reset();
    again.reset();
    EXPECT_TRUE(Event::Open("PlatformEvent.Named"));
    opened.reset();
    EXPECT_FALSE(Event::Open("PlatformEvent.Named"));
}

}  // namespace
}  // namespace velmora::platform

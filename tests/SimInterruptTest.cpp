// Field interrupts of the simulated cards, on the realtime and the manual
// clock.

#include <gtest/gtest.h>

#include <memory>

#include "SimTestSupport.h"
#include "WaitSupport.h"
#include "platform/Event.h"

namespace velmora::sim::testing {
namespace {

using namespace velmora::hw;

constexpr uint32_t kFieldInterruptEnable = 1u << 1;
constexpr uint32_t kNtsc = 1u << 12;

class SimInterruptTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(device.Open());
        event = platform::Event::Create(true, false);
        notify.hEvent = reinterpret_cast<uintptr_t>(event.get());
        ASSERT_EQ(device.Register(&notify, kPlxIntLocal1), ApiSuccess);
    }
    void TearDown() override {
        if (device.IsOpen()) {
            device.Status(PLX_IOCTL_NOTIFY_CANCEL, reinterpret_cast<uintptr_t>(&notify));
        }
        SimTest::TearDown();
    }
    void EnableField() {
        ASSERT_EQ(device.Interrupts(true, kPlxIntPciMain | kPlxIntLocal1), ApiSuccess);
        device.Write(0x10, device.Read(0x10) | kFieldInterruptEnable);
    }
    bool WaitField(uint32_t ms) {
        const bool fired = event->Wait(ms) == platform::WaitResult::Signaled;
        event->Reset();
        return fired;
    }

    Device device{Device::Closed{}};
    std::unique_ptr<platform::Event> event;
    PLX_NOTIFY_OBJECT notify{};
};

TEST_F(SimInterruptTest, RealtimeFieldsReachEnabledRegistrations) {
    // Neither the bridge's enable nor the card's own enable alone is enough.
    EXPECT_FALSE(WaitField(100));
    ASSERT_EQ(device.Interrupts(true, kPlxIntPciMain | kPlxIntLocal1), ApiSuccess);
    EXPECT_FALSE(WaitField(100));
    device.Write(0x10, kFieldInterruptEnable);
    ASSERT_EQ(device.Interrupts(false, kPlxIntLocal1), ApiSuccess);
    EXPECT_FALSE(WaitField(100));

    EnableField();
    EXPECT_TRUE(WaitField(::velmora::test::kHangBoundMs));
    // Each wake is a field: four of them see at least three more fields
    // (however late this thread is, a wake never comes without one).
    const uint64_t first = *FieldCount(0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(WaitField(::velmora::test::kHangBoundMs)) << i;
    }
    EXPECT_GE(*FieldCount(0) - first, 3u);

    const uint64_t before = *FieldCount(0);
    device.Write(0x10, device.Read(0x10) | kNtsc);
    EXPECT_TRUE(WaitField(::velmora::test::kHangBoundMs));
    EXPECT_GE(*FieldCount(0), before) << "switching standard never goes back";
}

TEST_F(SimInterruptTest, ManualClockAdvancesOnlyWhenStepped) {
    ASSERT_TRUE(SetClockMode(0, ClockMode::Manual));
    EnableField();
    WaitField(0);
    const uint64_t count = *FieldCount(0);
    // A field of the realtime clock may still be on its way to this process
    // after the switch; it is no new field. A clock that went on would keep
    // waking the wait.
    int wakes = 0;
    while (wakes < 3 && WaitField(100))
        ++wakes;
    EXPECT_LT(wakes, 3) << "the manual clock went on by itself";
    EXPECT_EQ(*FieldCount(0), count);

    ASSERT_TRUE(StepFields(0, 1));
    EXPECT_EQ(*FieldCount(0), count + 1);
    EXPECT_TRUE(WaitField(::velmora::test::kHangBoundMs));
    ASSERT_TRUE(StepFields(0, 3));
    EXPECT_TRUE(WaitField(::velmora::test::kHangBoundMs));
    EXPECT_EQ(*FieldCount(0), count + 4);

    device.Write(0x10, device.Read(0x10) ^ kNtsc);
    EXPECT_EQ(*FieldCount(0), count + 4) << "a standard change is no field";
    EXPECT_FALSE(WaitField(50));

    ASSERT_TRUE(SetClockMode(0, ClockMode::Realtime));
    EXPECT_FALSE(StepFields(0, 1));
    EXPECT_GE(*FieldCount(0), count + 4);
    EXPECT_TRUE(WaitField(::velmora::test::kHangBoundMs));
    EXPECT_FALSE(FieldCount(1).has_value());
}

TEST_F(SimInterruptTest, ClockModeComesFromTheEnvironment) {
    device.Close();
    const char* old = std::getenv("VELMORA_SIM_CLOCK");
    const std::string saved = old ? old : "";
    setenv("VELMORA_SIM_CLOCK", "manual", 1);
    ASSERT_TRUE(SetCardCount(1));
    if (old) {
        setenv("VELMORA_SIM_CLOCK", saved.c_str(), 1);
    } else {
        unsetenv("VELMORA_SIM_CLOCK");
    }
    Device manual;
    ASSERT_EQ(manual.Register(&notify, kPlxIntLocal1), ApiSuccess);
    ASSERT_EQ(manual.Interrupts(true, kPlxIntPciMain | kPlxIntLocal1), ApiSuccess);
    manual.Write(0x10, kFieldInterruptEnable);
    EXPECT_FALSE(WaitField(100));
    ASSERT_TRUE(StepFields(0, 1));
    EXPECT_TRUE(WaitField(::velmora::test::kHangBoundMs));
}

}  // namespace
}  // namespace velmora::sim::testing

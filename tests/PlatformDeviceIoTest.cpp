#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "WaitSupport.h"
#include "platform/DeviceIo.h"
#include "platform/Event.h"

namespace velmora::platform {
namespace {

constexpr uint32_t kEcho = 1;
constexpr uint32_t kMeet = 2;  // returns once two such requests run at once

struct DeviceLog {
    std::atomic<int> alive{0};
    std::atomic<int> meeting{0};
};

DeviceLog& Log() {
    static DeviceLog log;
    return log;
}

// Waits until a request has arrived at the device.
bool RequestArrived() {
    return ::velmora::test::WaitUntil([] { return Log().meeting.load() > 0; },
                                      "a request at the device");
}

class TestDevice : public DeviceFile {
  public:
    explicit TestDevice(uint32_t tag) : m_tag(tag) { ++Log().alive; }
    ~TestDevice() override { --Log().alive; }

    bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                   uint32_t* returned) override {
        if (code == kEcho) {
            if (outSize < inSize + 4) return false;
            std::memcpy(out, &m_tag, 4);
            std::memmove(static_cast<char*>(out) + 4, in, inSize);
            *returned = inSize + 4;
            return true;
        }
        if (code == kMeet) {
            ++Log().meeting;
            for (uint32_t i = 0; i < ::velmora::test::kHangBoundMs && Log().meeting.load() < 2;
                 ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            *returned = 0;
            return Log().meeting.load() >= 2;
        }
        return false;
    }

  private:
    uint32_t m_tag;
};

// Registered from a static initialiser, as drivers do.
const bool kRegistered = [] {
    RegisterDeviceProvider([](std::string_view path) -> std::unique_ptr<DeviceFile> {
        if (path != "\\\\.\\PlatformTestDevice") return nullptr;
        return std::make_unique<TestDevice>(1);
    });
    RegisterDeviceProvider([](std::string_view path) -> std::unique_ptr<DeviceFile> {
        // Asked after the first one: only its own names reach it.
        if (path != "\\\\.\\PlatformTestDevice" && path != "\\\\.\\PlatformTestDevice2") {
            return nullptr;
        }
        return std::make_unique<TestDevice>(2);
    });
    return true;
}();

TEST(PlatformDeviceIoTest, OpensThroughTheFirstProviderThatOwnsTheName) {
    ASSERT_TRUE(kRegistered);
    EXPECT_EQ(CreateDeviceFile("\\\\.\\NoSuchDevice"), kInvalidDeviceHandle);

    const DeviceHandle first = CreateDeviceFile("\\\\.\\PlatformTestDevice");
    const DeviceHandle second = CreateDeviceFile("\\\\.\\PlatformTestDevice2");
    ASSERT_NE(first, kInvalidDeviceHandle);
    ASSERT_NE(second, kInvalidDeviceHandle);
    EXPECT_NE(first, second);
    EXPECT_GE(first, 1u);
    EXPECT_LT(first, 1000u);

    char reply[16] = {};
    uint32_t returned = 0;
    ASSERT_TRUE(DeviceIoControl(first, kEcho, "abc", 3, reply, sizeof(reply), &returned));
    EXPECT_EQ(returned, 7u);
    uint32_t tag;
    std::memcpy(&tag, reply, 4);
    EXPECT_EQ(tag, 1u);
    EXPECT_EQ(std::string(reply + 4, 3), "abc");
    ASSERT_TRUE(DeviceIoControl(second, kEcho, "", 0, reply, sizeof(reply), &returned));
    std::memcpy(&tag, reply, 4);
    EXPECT_EQ(tag, 2u);
    EXPECT_FALSE(DeviceIoControl(first, 99, nullptr, 0, nullptr, 0, &returned));

    EXPECT_TRUE(CloseDeviceHandle(first));
    EXPECT_FALSE(CloseDeviceHandle(first));
    EXPECT_FALSE(DeviceIoControl(first, kEcho, "abc", 3, reply, sizeof(reply), &returned));
    EXPECT_FALSE(CloseDeviceHandle(kInvalidDeviceHandle));
    EXPECT_TRUE(CloseDeviceHandle(second));
    EXPECT_EQ(Log().alive.load(), 0);
}

TEST(PlatformDeviceIoTest, RequestsOnOneHandleRunInParallelAndOutliveTheClose) {
    const DeviceHandle handle = CreateDeviceFile("\\\\.\\PlatformTestDevice");
    ASSERT_NE(handle, kInvalidDeviceHandle);
    Log().meeting = 0;
    bool results[2] = {};
    std::thread first([&] {
        uint32_t returned;
        results[0] = DeviceIoControl(handle, kMeet, nullptr, 0, nullptr, 0, &returned);
    });
    // The second request enters while the first one still runs.
    EXPECT_TRUE(RequestArrived());
    std::thread second([&] {
        uint32_t returned;
        results[1] = DeviceIoControl(handle, kMeet, nullptr, 0, nullptr, 0, &returned);
    });
    second.join();
    first.join();
    EXPECT_TRUE(results[0]);
    EXPECT_TRUE(results[1]);

    Log().meeting = 0;
    std::thread late([&] {
        uint32_t returned;
        results[0] = DeviceIoControl(handle, kMeet, nullptr, 0, nullptr, 0, &returned);
    });
    // Closed while a request runs: the device stays until it ends.
    EXPECT_TRUE(RequestArrived());
    EXPECT_TRUE(CloseDeviceHandle(handle));
    EXPECT_EQ(Log().alive.load(), 1);
    ++Log().meeting;
    late.join();
    EXPECT_TRUE(results[0]);
    EXPECT_EQ(Log().alive.load(), 0);
}

}  // namespace
}  // namespace velmora::platform

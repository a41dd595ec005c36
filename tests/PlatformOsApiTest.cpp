#include <gtest/gtest.h>

#include "PlatformTestSupport.h"
#include "velmora/VelmoraOs.h"

namespace {

using velmora::platform::test::Child;
using velmora::platform::test::Pipe;

TEST(PlatformOsApiTest, FieldEventRoundTrip) {
    VELMORA_HANDLE event = VelmoraOs_CreateEvent(0, 0, L"Global\\PlatformOsApi.Field\u00E9");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(VelmoraOs_WaitForSingleObject(event, 10), VELMORA_WAIT_TIMEOUT);
    EXPECT_EQ(VelmoraOs_OpenEvent(L"PlatformOsApi.Missing"), nullptr);

    Pipe ready;
    Child child([&ready] {
        VELMORA_HANDLE opened = VelmoraOs_OpenEvent(L"Global\\PlatformOsApi.Field\u00E9");
        if (!opened) return 1;
        ready.Signal();
        const uint32_t result = VelmoraOs_WaitForSingleObject(opened, 10000);
        VelmoraOs_CloseHandle(opened);
        return result == VELMORA_WAIT_OBJECT_0 ? 0 : 2;
    });
    ASSERT_TRUE(ready.Wait());
    EXPECT_EQ(VelmoraOs_SetEvent(event), 1);
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(VelmoraOs_WaitForSingleObject(event, 0), VELMORA_WAIT_TIMEOUT);

    // A second handle of the same name shares the state.
    VELMORA_HANDLE same = VelmoraOs_CreateEvent(1, 1, L"Local\\PlatformOsApi.Field\u00E9");
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(VelmoraOs_SetEvent(same), 1);
    EXPECT_EQ(VelmoraOs_WaitForSingleObject(event, 0), VELMORA_WAIT_OBJECT_0);
    EXPECT_EQ(VelmoraOs_WaitForSingleObject(same, 0), VELMORA_WAIT_TIMEOUT);  // auto-reset
    EXPECT_EQ(VelmoraOs_SetEvent(event), 1);
    EXPECT_EQ(VelmoraOs_ResetEvent(same), 1);
    EXPECT_EQ(VelmoraOs_WaitForSingleObject(event, 0), VELMORA_WAIT_TIMEOUT);
    EXPECT_EQ(VelmoraOs_CloseHandle(same), 1);
    EXPECT_EQ(VelmoraOs_CloseHandle(event), 1);
    EXPECT_EQ(VelmoraOs_OpenEvent(L"Global\\PlatformOsApi.Field\u00E9"), nullptr);
}

TEST(PlatformOsApiTest, UnnamedEventsAndNullHandles) {
    VELMORA_HANDLE manual = VelmoraOs_CreateEvent(1, 1, nullptr);
    ASSERT_NE(manual, nullptr);
    EXPECT_EQ(VelmoraOs_WaitForSingleObject(manual, 0), VELMORA_WAIT_OBJECT_0);
    EXPECT_EQ(VelmoraOs_WaitForSingleObject(manual, VELMORA_INFINITE), VELMORA_WAIT_OBJECT_0);
    EXPECT_EQ(VelmoraOs_CloseHandle(manual), 1);
    EXPECT_EQ(VelmoraOs_OpenEvent(nullptr), nullptr);
    EXPECT_EQ(VelmoraOs_OpenEvent(L""), nullptr);

    EXPECT_EQ(VelmoraOs_WaitForSingleObject(nullptr, 0), VELMORA_WAIT_FAILED);
    EXPECT_EQ(VelmoraOs_SetEvent(nullptr), 0);
    EXPECT_EQ(VelmoraOs_ResetEvent(nullptr), 0);
    EXPECT_EQ(VelmoraOs_CloseHandle(nullptr), 0);
}

}  // namespace

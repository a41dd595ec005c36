#include <gtest/gtest.h>

#include "PlatformTestSupport.h"
#include "platform/SharedMemory.h"
#include "velmora/VelmoraOs.h"

namespace velmora::platform::test {

namespace {

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
        const uint32_t result =
            VelmoraOs_WaitForSingleObject(opened, ::velmora::test::kHangBoundMs);
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

// A block handle is a table entry like an event handle: closed twice, of the
// other kind or unknown, it is refused instead of freed again.
TEST(PlatformOsApiTest, SharedMemoryHandlesAreRefusedOnceClosed) {
    auto owner = velmora::platform::SharedMemory::Open("Global\\VelmoraOsApiBlock", 4096);
    ASSERT_TRUE(owner);
    VELMORA_HANDLE block = VelmoraOs_OpenSharedMemory(L"Global\\VelmoraOsApiBlock", 4096);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(VelmoraOs_OpenSharedMemory(L"Global\\VelmoraOsApiBlock", 8192), nullptr);
    auto* view = static_cast<uint8_t*>(VelmoraOs_MapSharedMemory(block));
    ASSERT_NE(view, nullptr);
    view[7] = 0x5A;
    EXPECT_EQ(static_cast<uint8_t*>(owner->Data())[7], 0x5A);

    VELMORA_HANDLE event = VelmoraOs_CreateEvent(0, 0, nullptr);
    EXPECT_EQ(VelmoraOs_MapSharedMemory(event), nullptr);
    EXPECT_EQ(VelmoraOs_CloseSharedMemory(event), 0);
    EXPECT_EQ(VelmoraOs_WaitForSingleObject(block, 0), VELMORA_WAIT_FAILED);
    EXPECT_EQ(VelmoraOs_CloseHandle(event), 1);

    EXPECT_EQ(VelmoraOs_CloseSharedMemory(block), 1);
    EXPECT_EQ(VelmoraOs_CloseSharedMemory(block), 0);
    EXPECT_EQ(VelmoraOs_MapSharedMemory(block), nullptr);
    EXPECT_EQ(VelmoraOs_CloseSharedMemory(reinterpret_cast<VELMORA_HANDLE>(0x1234)), 0);
}

}  // namespace

}  // namespace velmora::platform::test

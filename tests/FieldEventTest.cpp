// Named field events through the exported functions and the public wait API:
// the registry's table, its thread, and what other processes see.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "CardTestSupport.h"
#include "PlatformTestSupport.h"
#include "WaitSupport.h"
#include "api/VelmoraSdkApi.h"
#include "card/VelmoraMainFunc.h"
#include "velmora/VelmoraOs.h"

namespace velmora::cardtest {
namespace {

using platform::test::Child;

std::wstring EventName(int number) {
    return L"Global\\FieldEventTest." + std::to_wstring(number);
}

bool IsSetWithin(VELMORA_HANDLE event, uint32_t ms) {
    return VelmoraOs_WaitForSingleObject(event, ms) == VELMORA_WAIT_OBJECT_0;
}

class FieldEventTest : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    }
    static api::CVelmoraSdkApi* Api() { return Card(0)->GetApi(); }
};

// The card's field clock runs at 50 Hz; a process that only knows the event's
// name sees it set about that often.
TEST_F(FieldEventTest, RegisteredEventIsSetEveryFieldAndSeenByAnotherProcess) {
    VELMORA_HANDLE handle = nullptr;
    ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(0).c_str(), &handle, 0), 1u);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(IsSetWithin(handle, ::velmora::test::kHangBoundMs));

    // Twenty sets take at least ten fields' time however slow the machine;
    // an event that never cleared would give them at once.
    Child waiter([] {
        VELMORA_HANDLE opened = VelmoraOs_OpenEvent(EventName(0).c_str());
        if (!opened) return 255;
        const auto start = std::chrono::steady_clock::now();
        for (int sets = 0; sets < 20; ++sets) {
            if (!IsSetWithin(opened, ::velmora::test::kHangBoundMs)) return 254;
        }
        const auto took = std::chrono::steady_clock::now() - start;
        VelmoraOs_CloseHandle(opened);
        return took >= std::chrono::milliseconds(200) ? 0 : 1;
    });
    EXPECT_EQ(waiter.Wait(), 0) << "254: a field's set never came; 1: sets came too often";

    EXPECT_EQ(Quorvel_Velmora_CloseFieldEvent(handle, 0), 1u);
    EXPECT_EQ(VelmoraOs_OpenEvent(EventName(0).c_str()), nullptr) << "closed with its last holder";
}

TEST_F(FieldEventTest, TableOfTwoHundredFiftySixAndTheNamesMap) {
    std::vector<VELMORA_HANDLE> handles(card::CCardMainFunc::kFieldEventTableSize);
    for (size_t i = 0; i < handles.size(); ++i) {
        ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(static_cast<int>(i)).c_str(),
                                                    &handles[i], 0),
                  1u)
            << i;
    }
    // A full table refuses, and does not leave the event it made open.
    VELMORA_HANDLE extra = nullptr;
    EXPECT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(1000).c_str(), &extra, 0), 0u);
    EXPECT_EQ(VelmoraOs_OpenEvent(EventName(1000).c_str()), nullptr);

    // A freed entry takes the next registration.
    EXPECT_EQ(Quorvel_Velmora_CloseFieldEvent(handles[10], 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(1000).c_str(), &extra, 0), 1u);
    EXPECT_TRUE(IsSetWithin(extra, ::velmora::test::kHangBoundMs));

    // The map keeps the first handle of a name registered twice.
    VELMORA_HANDLE second = nullptr;
    ASSERT_EQ(Quorvel_Velmora_CloseFieldEvent(handles[20], 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(5).c_str(), &second, 0), 1u);
    EXPECT_NE(second, handles[5]);
    EXPECT_EQ(Api()->FindFieldEvent(EventName(5).c_str()), handles[5]);
    EXPECT_EQ(Api()->FindFieldEvent(L"FieldEventTest.unknown"), nullptr);

    // Everything at once: the thread stops, a new registration starts it.
    EXPECT_EQ(Quorvel_Velmora_CloseFieldEvent(nullptr, 0), 1u);
    EXPECT_EQ(VelmoraOs_OpenEvent(EventName(0).c_str()), nullptr);
    EXPECT_EQ(Api()->FindFieldEvent(EventName(5).c_str()), nullptr);
    VELMORA_HANDLE again = nullptr;
    ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(0).c_str(), &again, 0), 1u);
    EXPECT_TRUE(IsSetWithin(again, ::velmora::test::kHangBoundMs));
}

TEST_F(FieldEventTest, UnknownNamesAndHandlesLeaveTheOthersRunning) {
    VELMORA_HANDLE kept = nullptr;
    VELMORA_HANDLE byName = nullptr;
    ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(1).c_str(), &kept, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(2).c_str(), &byName, 0), 1u);

    EXPECT_EQ(Api()->CloseFieldEventByName(L"FieldEventTest.unknown"), 0u);
    // A handle the card never gave out is neither closed nor fatal.
    VELMORA_HANDLE foreign = VelmoraOs_CreateEvent(0, 0, nullptr);
    EXPECT_EQ(Api()->CloseFieldEvent(static_cast<platform::Handle>(foreign)), 0u);
    EXPECT_EQ(VelmoraOs_SetEvent(foreign), 1);
    EXPECT_EQ(VelmoraOs_CloseHandle(foreign), 1);
    VelmoraOs_ResetEvent(kept);
    EXPECT_TRUE(IsSetWithin(kept, ::velmora::test::kHangBoundMs));

    EXPECT_EQ(Api()->CloseFieldEventByName(EventName(2).c_str()), 1u);
    EXPECT_EQ(VelmoraOs_OpenEvent(EventName(2).c_str()), nullptr);
    VelmoraOs_ResetEvent(kept);
    EXPECT_TRUE(IsSetWithin(kept, ::velmora::test::kHangBoundMs));

    // Closing the card stops the thread before the table goes, and closes the
    // events it still held.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, ::velmora::test::kHangBound) << "hang";
    EXPECT_EQ(VelmoraOs_OpenEvent(EventName(1).c_str()), nullptr);
}

// A name registered twice gives two handles of one event; the map holds the
// name once, with the first. Closing either handle, or the name, leaves the
// other set every field.
TEST_F(FieldEventTest, ANameRegisteredTwiceStaysSetWhileOneHandleIsLeft) {
    struct Row {
        const char* closed;
        bool byName;
        bool first;
    };
    for (const Row row : {Row{"the first handle", false, true},
                          Row{"the second handle", false, false}, Row{"the name", true, true}}) {
        SCOPED_TRACE(row.closed);
        VELMORA_HANDLE first = nullptr;
        VELMORA_HANDLE second = nullptr;
        ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(4).c_str(), &first, 0), 1u);
        ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(EventName(4).c_str(), &second, 0), 1u);
        const VELMORA_HANDLE closed = row.first ? first : second;
        const VELMORA_HANDLE other = row.first ? second : first;
        EXPECT_EQ(row.byName ? Api()->CloseFieldEventByName(EventName(4).c_str())
                             : Api()->CloseFieldEvent(static_cast<platform::Handle>(closed)),
                  1u);
        // A pass under way at the close may set it once more; a second set
        // needs a thread that still runs.
        VelmoraOs_ResetEvent(other);
        for (int sets = 0; sets < 2; ++sets)
            EXPECT_TRUE(IsSetWithin(other, ::velmora::test::kHangBoundMs)) << sets;
        EXPECT_EQ(Api()->CloseFieldEvent(static_cast<platform::Handle>(other)), 1u);
    }
}

// A card whose open failed (no second card here) has no field interrupt to
// offer: the registration fails without leaving a thread marked as running.
TEST_F(FieldEventTest, FailedRegistrationLeavesNoThreadMarkedRunning) {
    EXPECT_EQ(Quorvel_Velmora_OpenCard(1), 0u);
    card::CVelmoraMainFunc* main = Card(1)->GetMainFunc();
    ASSERT_NE(main, nullptr);
    ASSERT_EQ(main->CCardMainFunc::Init(0, 1), 1u);
    platform::Handle handle = nullptr;
    EXPECT_EQ(main->RegisterFieldEvent(EventName(3).c_str(), &handle), 0u);
    // Unregistering answers 0 only while no thread counts as running.
    EXPECT_EQ(main->UnregisterFieldEvent(nullptr), 0u);
    EXPECT_EQ(main->RegisterFieldEvent(EventName(3).c_str(), &handle), 0u);
    EXPECT_EQ(main->CCardMainFunc::Exit(0, 1), 1u);
}

}  // namespace
}  // namespace velmora::cardtest

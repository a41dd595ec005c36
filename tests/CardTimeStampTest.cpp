// The card time stamp: the card counter plus one field of the standard the
// board support keeps, read without touching the IIC bus.

#include <gtest/gtest.h>
#include <unistd.h>

#include "CardTestSupport.h"
#include "PlatformTestSupport.h"
#include "api/VelmoraSdkApi.h"
#include "card/BaseCard.h"

namespace velmora::cardtest {
namespace {

constexpr uint64_t kNtscField = 166833;
constexpr uint64_t kPalField = 200000;

class CardTimeStampTest : public CardTest {};

TEST_F(CardTimeStampTest, OneFieldAheadOfTheCounterWithoutIicTraffic) {
    ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    const auto stampAhead = [] {
        uint64_t stamp = 0;
        EXPECT_EQ(Quorvel_Velmora_GetCardTimeStamp(&stamp, 0), 1u);
        return stamp - *sim::CardTimeUs(0) / 10 * 100;
    };
    for (const uint32_t mode : {VELMORA_VIDEO_MODE_NTSC, VELMORA_VIDEO_MODE_PAL}) {
        ASSERT_EQ(Quorvel_Velmora_SetVideoMode(mode, 0), 1u);
        ASSERT_TRUE(sim::ClearIicTransferLog(0));
        const uint64_t field = mode == VELMORA_VIDEO_MODE_NTSC ? kNtscField : kPalField;
        for (int call = 0; call < 1000; ++call)
            ASSERT_EQ(stampAhead(), field) << call;
        EXPECT_TRUE(sim::IicTransferLog(0).empty());
    }
}

// A process that opens a card another process already runs in NTSC stamps
// NTSC fields from its first call.
TEST_F(CardTimeStampTest, LaterOpenerTakesTheRunningStandard) {
    ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    // Forked before this process opens the card, so the child starts with no
    // card threads and an empty card table.
    platform::test::Child child([&] {
        close(ready[1]);
        char go = 0;
        if (read(ready[0], &go, 1) != 1) return 2;
        if (Quorvel_Velmora_OpenCard(0) != 1) return 3;
        uint64_t stamp = 0;
        const uint32_t read = Quorvel_Velmora_GetCardTimeStamp(&stamp, 0);
        const uint64_t ahead = stamp - *sim::CardTimeUs(0) / 10 * 100;
        Quorvel_Velmora_CloseCard(0);
        return read == 1 && ahead == kNtscField ? 0 : 4;
    });
    close(ready[0]);
    ASSERT_TRUE(child.Started());
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_SetVideoMode(VELMORA_VIDEO_MODE_NTSC, 0), 1u);
    ASSERT_EQ(write(ready[1], "g", 1), 1);
    close(ready[1]);
    EXPECT_EQ(child.Wait(30000), 0);
}

TEST_F(CardTimeStampTest, NoHardwareModeFollowsTheStandardSet) {
    ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
    card::CVelmoraCard card(0);
    ASSERT_EQ(card.OpenCardObjects(card::CBaseCard::kOpenNoHardware), 1u);
    api::CVelmoraSdkApi* api = card.GetApi();
    const auto stampAhead = [api] {
        uint64_t stamp = 0;
        EXPECT_EQ(api->GetCardTimeStamp(0, &stamp), 1u);
        return stamp - *sim::CardTimeUs(0) / 10 * 100;
    };
    ASSERT_EQ(api->SetVideoMode(0), 1u);
    EXPECT_EQ(stampAhead(), kNtscField);
    ASSERT_EQ(api->SetVideoMode(1), 1u);
    EXPECT_EQ(stampAhead(), kPalField);
    EXPECT_EQ(card.CloseCardObjects(card::CBaseCard::kOpenNoHardware), 1u);
}

}  // namespace
}  // namespace velmora::cardtest

// The card time stamp: the card counter plus one field of the standard the
// board support keeps, read without touching the IIC bus.

#include <gtest/gtest.h>

#include "CardTestSupport.h"
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

// The frame-memory operations: refused on this card, which maps no window,
// and bounded to the window where one is mapped.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "CardTestSupport.h"
#include "api/VelmoraSdkApi.h"
#include "card/VelmoraMainFunc.h"

namespace velmora::cardtest {
namespace {

using card::CCardMainFunc;

constexpr uint32_t kLineWidth = CCardMainFunc::kLinePixels;
constexpr uint32_t kWindowLines = CCardMainFunc::kWindowLines;

// The generic main function over a host buffer standing in for a mapped
// window; the card's board support tells the video mode.
class WindowedMainFunc : public CCardMainFunc {
  public:
    WindowedMainFunc(card::CBoardSupport* pBoardSupport, uint32_t* window)
        : CCardMainFunc(0, pBoardSupport) {
        m_pFrameMemory = window;
    }
};

class FrameRoadMemoryTest : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    }
};

TEST_F(FrameRoadMemoryTest, WithoutAWindowEveryOperationRefuses) {
    api::CVelmoraSdkApi* api = Card(0)->GetApi();
    std::vector<uint32_t> buffer(kLineWidth * CCardMainFunc::kPageLines, 0xA5A5A5A5);
    uint32_t value = 7;
    EXPECT_EQ(api->GetPixel(0, 0, &value), 0u);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(api->SetPixel(0, 0, 1), 0u);
    EXPECT_EQ(api->ReadLine(0, buffer.data()), 0u);
    EXPECT_EQ(api->WriteLine(0, buffer.data()), 0u);
    EXPECT_EQ(api->ReadLineSegment(0, 0, 4, buffer.data()), 0u);
    EXPECT_EQ(api->WriteLineSegment(0, 0, 4, buffer.data()), 0u);
    EXPECT_EQ(api->ReadColumn(0, buffer.data()), 0u);
    EXPECT_EQ(api->WriteColumn(0, buffer.data()), 0u);
    EXPECT_EQ(api->ReadColumnSegment(0, 0, 4, buffer.data()), 0u);
    EXPECT_EQ(api->WriteColumnSegment(0, 0, 4, buffer.data()), 0u);
    EXPECT_EQ(api->ReadPage(buffer.data(), 0), 0u);
    EXPECT_EQ(api->WritePage(buffer.data(), 0), 0u);
    EXPECT_EQ(api->ReadRectangle(0, 0, 2, 2, buffer.data()), 0u);
    EXPECT_EQ(api->WriteRectangle(0, 0, 2, 2, buffer.data()), 0u);
    EXPECT_EQ(api->WriteRectangleIndirect(0, 0, 2, 2, buffer.data()), 0u);
    EXPECT_EQ(api->ReadBackgroundPage(buffer.data()), 0u);
    EXPECT_EQ(Card(0)->GetMainFunc()->CCardMainFunc::ClearFrameMemory(), 0u);
    EXPECT_EQ(buffer[0], 0xA5A5A5A5u);
}

TEST_F(FrameRoadMemoryTest, AMappedWindowIsBoundedWithoutOverflow) {
    std::vector<uint32_t> window(static_cast<size_t>(kLineWidth) * kWindowLines, 0xFFFFFFFF);
    WindowedMainFunc frames(Card(0)->GetBoardSupport(), window.data());
    ASSERT_EQ(frames.ClearFrameMemory(), 1u);
    EXPECT_EQ(window[kLineWidth * CCardMainFunc::kFrameLines - 1], 0u);
    EXPECT_EQ(window[kLineWidth * CCardMainFunc::kFrameLines], CCardMainFunc::kBackgroundPixel);
    EXPECT_EQ(window.back(), CCardMainFunc::kBackgroundPixel);

    uint32_t value = 0;
    EXPECT_EQ(frames.SetPixel(kLineWidth - 1, kWindowLines - 1, 0x11), 1u);
    EXPECT_EQ(frames.GetPixel(kLineWidth - 1, kWindowLines - 1, &value), 1u);
    EXPECT_EQ(value, 0x11u);
    EXPECT_EQ(frames.SetPixel(kLineWidth, 0, 0x22), 0u);
    EXPECT_EQ(frames.GetPixel(0, kWindowLines, &value), 0u);
    EXPECT_EQ(frames.ReadLine(kWindowLines, &value), 0u);

    std::vector<uint32_t> buffer(kLineWidth * CCardMainFunc::kPageLines + 1, 0xC0FFEE);
    EXPECT_EQ(frames.ReadLineSegment(700, 3, 20, buffer.data()), 1u);
    EXPECT_EQ(frames.ReadLineSegment(700, 3, 21, buffer.data()), 0u);
    EXPECT_EQ(frames.WriteLineSegment(700, 3, 0xFFFFFFF0u, buffer.data()), 0u);
    EXPECT_EQ(frames.ReadColumnSegment(5, 570, 6, buffer.data()), 1u);
    EXPECT_EQ(frames.ReadColumnSegment(5, 570, 7, buffer.data()), 0u);
    EXPECT_EQ(frames.WriteColumnSegment(5, 0xFFFFFFFFu, 2, buffer.data()), 0u);
    EXPECT_EQ(frames.ReadColumn(kLineWidth, buffer.data()), 0u);
    EXPECT_EQ(frames.ReadRectangle(0, 2300, 4, 4, buffer.data()), 1u);
    EXPECT_EQ(frames.ReadRectangle(0, 2300, 4, 5, buffer.data()), 0u);
    EXPECT_EQ(frames.ReadRectangle(10, 0, 0xFFFFFFFFu, 1, buffer.data()), 0u);
    EXPECT_EQ(frames.WriteRectangle(716, 572, 4, 4, buffer.data()), 1u);
    EXPECT_EQ(frames.WriteRectangle(716, 573, 4, 4, buffer.data()), 0u);
    EXPECT_EQ(frames.WriteRectangle(0, 0xFFFFFFFEu, 1, 4, buffer.data()), 0u);
    EXPECT_EQ(frames.ReadPage(buffer.data(), 4), 0u);
    EXPECT_EQ(frames.WritePage(buffer.data(), 4), 0u);

    // A rectangle's rows are packed in the buffer and spread in the window.
    const uint32_t rows[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(frames.WriteRectangleIndirect(100, 200, 3, 2, rows), 1u);
    EXPECT_EQ(window[200 * kLineWidth + 102], 3u);
    EXPECT_EQ(window[201 * kLineWidth + 100], 4u);
    uint32_t back[6] = {};
    ASSERT_EQ(frames.ReadRectangle(100, 200, 3, 2, back), 1u);
    EXPECT_TRUE(std::equal(std::begin(rows), std::end(rows), std::begin(back)));

    // Pages and columns take the video mode's lines.
    ASSERT_EQ(frames.ReadBackgroundPage(buffer.data()), 1u);
    EXPECT_EQ(buffer[0], CCardMainFunc::kBackgroundPixel);
    EXPECT_EQ(buffer[kLineWidth * CCardMainFunc::kPageLines - 1], 0x11u);
    EXPECT_EQ(buffer.back(), 0xC0FFEEu);
    ASSERT_EQ(Quorvel_Velmora_SetVideoMode(VELMORA_VIDEO_MODE_NTSC, 0), 1u);
    std::fill(buffer.begin(), buffer.end(), 0xC0FFEE);
    ASSERT_EQ(frames.ReadColumn(0, buffer.data()), 1u);
    EXPECT_EQ(buffer[CCardMainFunc::kNtscPageLines - 1], 0u);
    EXPECT_EQ(buffer[CCardMainFunc::kNtscPageLines], 0xC0FFEEu);
}

}  // namespace
}  // namespace velmora::cardtest

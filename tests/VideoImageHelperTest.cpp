// The frame operations of the video image helper: conversions through the
// selected variant in the orders the capture and playback frame types use,
// the row-reversing copy and drawing onto the stand-in window.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "av/ColorConvert.h"
#include "av/VideoImageHelper.h"
#include "platform/DrawingSurface.h"

namespace velmora::test {
namespace {

using av::CVideoImageHelper;

constexpr int kWidth = 720, kHeight = 576;
constexpr int kYuy2Step = 1440, kBgraStep = 2880;

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(count);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(random());
    return bytes;
}

TEST(VideoImageHelperTest, CaptureAndPlaybackFrameTypes) {
    CVideoImageHelper helper;
    av::SelectCpuVariant();
    const int variant = av::g_nCpuClass.load();
    const auto card = RandomBytes(kYuy2Step * kHeight, 1);

    // Type 1: YUY2 to BGRA, alpha 0xFF, as the selected variant converts it.
    std::vector<uint8_t> type1(kBgraStep * kHeight), expected(kBgraStep * kHeight);
    ASSERT_EQ(helper.ConvertYuy2ToBgra(card.data(), kYuy2Step, type1.data(), kBgraStep, kWidth,
                                       kHeight, 0xFF),
              1);
    av::Yuy2ToBgraDispatchTable[variant](card.data(), kYuy2Step, expected.data(), kBgraStep, kWidth,
                                         kHeight, 0xFF);
    EXPECT_EQ(type1, expected);

    // Type 2: reverse the rows, then convert; the frame arrives bottom row first.
    std::vector<uint8_t> flipped(kYuy2Step * kHeight), type2(kBgraStep * kHeight);
    ASSERT_EQ(
        helper.FlipCopyVertical(card.data(), kYuy2Step, flipped.data(), kYuy2Step, kWidth, kHeight),
        1);
    ASSERT_EQ(helper.ConvertYuy2ToBgra(flipped.data(), kYuy2Step, type2.data(), kBgraStep, kWidth,
                                       kHeight, 0xFF),
              1);
    for (int r = 0; r < kHeight; ++r) {
        ASSERT_TRUE(std::equal(type2.begin() + r * kBgraStep, type2.begin() + (r + 1) * kBgraStep,
                               type1.begin() + (kHeight - 1 - r) * kBgraStep))
            << "row " << r;
    }

    // Playback type 2: convert, then reverse the converted frame's rows.
    std::vector<uint8_t> played(kYuy2Step * kHeight), out(kYuy2Step * kHeight);
    ASSERT_EQ(helper.ConvertBgraToYuy2(type2.data(), kBgraStep, played.data(), kYuy2Step, kWidth,
                                       kHeight),
              1);
    ASSERT_EQ(
        helper.FlipCopyVertical(played.data(), kYuy2Step, out.data(), kYuy2Step, kWidth, kHeight),
        1);
    std::vector<uint8_t> direct(kYuy2Step * kHeight);
    av::BgraToYuy2DispatchTable[variant](type1.data(), kBgraStep, direct.data(), kYuy2Step, kWidth,
                                         kHeight);
    EXPECT_EQ(out, direct);

    // A primitive's failure is a plain 0.
    EXPECT_EQ(
        helper.ConvertYuy2ToBgra(card.data(), kYuy2Step, type1.data(), kBgraStep, 1, kHeight, 0xFF),
        0);
    EXPECT_EQ(helper.ConvertYuy2ToBgra(nullptr, kYuy2Step, type1.data(), kBgraStep, kWidth, kHeight,
                                       0xFF),
              0);
    EXPECT_EQ(
        helper.ConvertBgraToYuy2(type1.data(), kBgraStep, nullptr, kYuy2Step, kWidth, kHeight), 0);
}

TEST(VideoImageHelperTest, ConcurrentConversionsAgree) {
    // Every conversion selects the variant again; threads doing so at once
    // must all dispatch to the same member.
    const auto source = RandomBytes(kYuy2Step * 8, 3);
    std::vector<uint8_t> expected(kBgraStep * 8);
    ASSERT_EQ(CVideoImageHelper().ConvertYuy2ToBgra(source.data(), kYuy2Step, expected.data(),
                                                    kBgraStep, kWidth, 8, 0xFF),
              1);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            CVideoImageHelper helper;
            std::vector<uint8_t> out(kBgraStep * 8);
            for (int i = 0; i < 50; ++i) {
                if (!helper.ConvertYuy2ToBgra(source.data(), kYuy2Step, out.data(), kBgraStep,
                                              kWidth, 8, 0xFF) ||
                    out != expected) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(VideoImageHelperTest, FlipCopiesExactRowsOfAnyWidthAndStep) {
    CVideoImageHelper helper;
    // Narrow rows, rows that are not whole 16-byte blocks, odd steps and
    // unaligned buffers: every row is copied whole and nothing else is touched.
    struct Case {
        int width, height, srcStep, dstStep, offset;
    };
    for (const Case& c : {Case{4, 3, 8, 8, 0}, Case{9, 5, 21, 19, 3}, Case{721, 2, 1442, 1450, 1},
                          Case{1, 1, 2, 2, 0}, Case{720, 4, -1440, 1440, 0}}) {
        SCOPED_TRACE(c.width);
        const int rowBytes = 2 * c.width;
        const auto src = RandomBytes(std::abs(c.srcStep) * c.height + 16, c.width);
        std::vector<uint8_t> dst(std::abs(c.dstStep) * c.height + 16, 0xEE);
        const uint8_t* first =
            src.data() + c.offset + (c.srcStep < 0 ? -c.srcStep * (c.height - 1) : 0);
        ASSERT_EQ(helper.FlipCopyVertical(first, c.srcStep, dst.data() + c.offset, c.dstStep,
                                          c.width, c.height),
                  1);
        std::vector<uint8_t> expected(dst.size(), 0xEE);
        for (int r = 0; r < c.height; ++r) {
            std::copy(first + r * c.srcStep, first + r * c.srcStep + rowBytes,
                      expected.begin() + c.offset + (c.height - 1 - r) * c.dstStep);
        }
        EXPECT_EQ(dst, expected);
    }
    uint8_t buffer[32] = {};
    EXPECT_EQ(helper.FlipCopyVertical(nullptr, 2, buffer, 2, 1, 1), 0);
    EXPECT_EQ(helper.FlipCopyVertical(buffer, 2, nullptr, 2, 1, 1), 0);
    EXPECT_EQ(helper.FlipCopyVertical(buffer, 2, buffer + 16, 2, -1, 1), 0);
    EXPECT_EQ(helper.FlipCopyVertical(buffer, 2, buffer + 16, 2, 1, -1), 0);
}

TEST(VideoImageHelperTest, DrawToWindowTopDownAndBottomUp) {
    CVideoImageHelper helper;
    platform::DrawingSurface window(8, 6);
    // A 3 x 2 image whose pixel (x, y) is 0x00RRGGBB = 0x00yyxx10 (+ alpha).
    uint8_t image[2][3][4];
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) {
            image[y][x][0] = 0x10;
            image[y][x][1] = static_cast<uint8_t>(x);
            image[y][x][2] = static_cast<uint8_t>(y);
            image[y][x][3] = 0x7F;
        }
    }
    auto expected = [](int x, int y) { return static_cast<uint32_t>(y << 16 | x << 8 | 0x10); };

    ASSERT_EQ(helper.DrawToWindow(&window, image, 2, 1, 3, 2), 1);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 8; ++x) {
            const bool inside = x >= 2 && x < 5 && y >= 1 && y < 3;
            EXPECT_EQ(window.Pixel(x, y), inside ? expected(x - 2, y - 1) : 0u) << x << "," << y;
        }
    }
    // A negative height draws the rows bottom-up; the part off the window is
    // clipped.
    ASSERT_EQ(helper.DrawToWindow(&window, image, 6, 4, 3, -2), 1);
    EXPECT_EQ(window.Pixel(6, 4), expected(0, 1));
    EXPECT_EQ(window.Pixel(7, 5), expected(1, 0));
    EXPECT_EQ(window.OpenContexts(), 0);

    // Failures release the context they took.
    EXPECT_EQ(helper.DrawToWindow(nullptr, image, 0, 0, 3, 2), 0);
    EXPECT_EQ(helper.DrawToWindow(&window, nullptr, 0, 0, 3, 2), 0);
    EXPECT_EQ(helper.DrawToWindow(&window, image, 0, 0, 0, 2), 0);
    EXPECT_EQ(window.OpenContexts(), 0);
    window.SetRefuseContexts(true);
    EXPECT_EQ(helper.DrawToWindow(&window, image, 0, 0, 3, 2), 0);
    EXPECT_EQ(window.Pixel(0, 0), 0u);
}

}  // namespace
}  // namespace velmora::test

// The region resizes of the video image helper against direct calls of the
// resize primitives they hand the region to, by fields and whole.
#include <gtest/gtest.h>

#include "GuardedBuffer.h"
#include "av/CpuClass.h"
#include "av/VideoImageHelper.h"
#include "resize/ImageStatus.h"
#include "resize/ResizeColor4.h"
#include "resize/ResizeYuv422.h"

namespace velmora::test {
namespace {

using av::CVideoImageHelper;
using av::RECT;

constexpr int kWidth = 720, kHeight = 576;

// The helper's resize and the primitive it hands the region to.
using HelperResize = int32_t (*)(const uint8_t*, int32_t, int32_t, int32_t, RECT, uint8_t*, int32_t,
                                 int32_t, int32_t, int32_t, int32_t);
struct Operation {
    const char* name;
    HelperResize resize;
    resize::ResizeYuv422Function primitive;
    int pixelBytes;
};
const Operation kOperations[] = {
    {"ResizeYuv422", [](auto... args) { return CVideoImageHelper().ResizeYuv422(args...); },
     resize::ResizeYuv422Dispatch, 2},
    {"ResizeColor4", [](auto... args) { return CVideoImageHelper().ResizeColor4(args...); },
     resize::ResizeColor4Dispatch, 4},
};

// A 720 x 576 source and a destination of dstWidth x dstHeight, both guarded;
// the destination's rows have 8 spare bytes.
struct Frames {
    Frames(const Operation& op, int dstWidth, int dstHeight)
        : srcStep(op.pixelBytes * kWidth),
          dstStep(op.pixelBytes * dstWidth + 8),
          src(static_cast<size_t>(srcStep) * kHeight),
          dst(static_cast<size_t>(dstStep) * dstHeight) {
        src.FillRandom(1);
        dst.Fill(0xEE);
    }
    int32_t srcStep, dstStep;
    GuardedBuffer src, dst;
};

TEST(VideoImageResizeTest, FieldsAndWholeFramesEqualThePrimitiveCalls) {
    for (const Operation& op : kOperations) {
        SCOPED_TRACE(op.name);
        // By fields, the whole 720 x 576 frame into 360 x 288: two 720 x 288
        // regions into 360 x 144 fields, factors 0.5.
        Frames frames(op, 360, 288);
        ASSERT_EQ(
            op.resize(frames.src.data(), kWidth, kHeight, frames.srcStep, {0, 0, kWidth, kHeight},
                      frames.dst.data(), frames.dstStep, 360, 288, 1, resize::INTERP_LINEAR),
            1);
        Frames expected(op, 360, 288);
        for (int field = 0; field < 2; ++field) {
            ASSERT_EQ(op.primitive(expected.src.data() + field * expected.srcStep, kWidth,
                                   kHeight / 2, 2 * expected.srcStep, 0, 0, kWidth, kHeight / 2,
                                   expected.dst.data() + field * expected.dstStep,
                                   2 * expected.dstStep, 360, 144, 0.5, 0.5, resize::INTERP_LINEAR),
                      resize::STS_OK);
        }
        EXPECT_EQ(frames.dst.Bytes(), expected.dst.Bytes());

        // Odd left, top, sizes and destination are evened: left 101 gives
        // origin 100 and width 618, left 102 origin 102 and width 618; the
        // destination 361 x 289 gets 360 x 288 (its last column and row stay).
        for (const int left : {101, 102}) {
            for (const int mode : {1, 2}) {
                SCOPED_TRACE(left * 10 + mode);
                Frames odd(op, 361, 289);
                ASSERT_EQ(op.resize(odd.src.data(), kWidth, kHeight, odd.srcStep,
                                    {left, 3, kWidth, kHeight}, odd.dst.data(), odd.dstStep, 361,
                                    289, mode, resize::INTERP_CUBIC),
                          1);
                Frames direct(op, 361, 289);
                const int x = left & ~1, fields = mode == 1 ? 2 : 1;
                for (int field = 0; field < fields; ++field) {
                    ASSERT_EQ(
                        op.primitive(direct.src.data() + field * direct.srcStep, kWidth,
                                     kHeight / fields, fields * direct.srcStep, x, 2 / fields, 618,
                                     572 / fields, direct.dst.data() + field * direct.dstStep,
                                     fields * direct.dstStep, 360, 288 / fields, 360.0 / 618,
                                     288.0 / 572, resize::INTERP_CUBIC),
                        resize::STS_OK);
                }
                EXPECT_EQ(odd.dst.Bytes(), direct.dst.Bytes());
            }
        }
    }
}

TEST(VideoImageResizeTest, RefusalsCallNothingAndWriteNothing) {
    av::SelectCpuVariant();
    const int32_t selected = av::g_nCpuClass.load();
    const int32_t planted = (selected + 1) % av::kCpuVariantCount;
    for (const Operation& op : kOperations) {
        SCOPED_TRACE(op.name);
        Frames frames(op, 360, 288);
        const auto untouched = frames.dst.Bytes();
        const auto resize = [&](RECT rect, int mode, int interpolation, int srcStep = 0) {
            return op.resize(frames.src.data(), kWidth, kHeight,
                             srcStep != 0 ? srcStep : frames.srcStep, rect, frames.dst.data(),
                             frames.dstStep, 360, 288, mode, interpolation);
        };
        const RECT whole{0, 0, kWidth, kHeight};

        // Modes other than 1 and 2 do not even select the variant.
        av::g_nCpuClass = planted;
        EXPECT_EQ(resize(whole, 0, resize::INTERP_LINEAR), 0);
        EXPECT_EQ(resize(whole, 3, resize::INTERP_LINEAR), 0);
        EXPECT_EQ(av::g_nCpuClass.load(), planted);

        // A region one pixel wider or taller than the image, or left of it.
        EXPECT_EQ(resize({0, 0, kWidth + 1, kHeight}, 2, resize::INTERP_LINEAR), 0);
        EXPECT_EQ(resize({0, 0, kWidth, kHeight + 1}, 1, resize::INTERP_LINEAR), 0);
        EXPECT_EQ(resize({-2, 0, kWidth - 2, kHeight}, 2, resize::INTERP_LINEAR), 0);
        EXPECT_EQ(resize({0, 0, INT32_MIN, kHeight}, 2, resize::INTERP_LINEAR), 0);
        // Field steps that do not fit in 32 bits.
        EXPECT_EQ(resize(whole, 1, resize::INTERP_LINEAR, INT32_MAX / 2 + 1), 0);
        // The first field fails (an unknown code; super-sampling upwards), so
        // the second is not tried; the variant was selected for the first.
        EXPECT_EQ(resize(whole, 1, 3), 0);
        EXPECT_EQ(av::g_nCpuClass.load(), selected);
        EXPECT_EQ(resize({0, 0, 100, 100}, 1, resize::INTERP_SUPERSAMPLE), 0);
        EXPECT_EQ(frames.dst.Bytes(), untouched);

        EXPECT_EQ(op.resize(nullptr, kWidth, kHeight, frames.srcStep, whole, frames.dst.data(),
                            frames.dstStep, 360, 288, 2, 1),
                  0);
        EXPECT_EQ(op.resize(frames.src.data(), kWidth, kHeight, frames.srcStep, whole, nullptr,
                            frames.dstStep, 360, 288, 2, 1),
                  0);
    }
}

}  // namespace
}  // namespace velmora::test

// The region resizes of the video image helper against direct calls of the
// resize primitives they hand the region to, by fields and whole.
#include <gtest/gtest.h>

#include <string>

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

constexpr int kImageWidth = 720, kImageHeight = 576;

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
        : srcStep(op.pixelBytes * kImageWidth),
          dstStep(op.pixelBytes * dstWidth + 8),
          src(static_cast<size_t>(srcStep) * kImageHeight),
          dst(static_cast<size_t>(dstStep) * dstHeight) {
        src.FillRandom(1);
        dst.Fill(0xEE);
    }
    int32_t srcStep, dstStep;
    GuardedBuffer src, dst;
};

TEST(VideoImageResizeTest, FieldsAndWholeFramesEqualThePrimitiveCalls) {
    // Left, top and the destination evened: 720 x 576 by fields into 360 x
    // 288 is two 720 x 288 regions into 360 x 144 fields, factors 0.5; left
    // 101 gives origin 100, left 102 origin 102, both width 618; a 361 x 289
    // destination gets 360 x 288, its last column and row stay. Regions are
    // evened before anything is checked (721 columns are the whole image),
    // and one reaching past the image goes to the primitive, which clips it
    // (the 320 columns from 400 on, at factor 1).
    struct Case {
        RECT rect;
        int dstWidth, dstHeight, mode, x, y, width, height;
    };
    for (const Operation& op : kOperations) {
        for (const Case& c :
             {Case{{0, 0, kImageWidth, kImageHeight}, 360, 288, 1, 0, 0, 720, 576},
              Case{{101, 3, kImageWidth, kImageHeight}, 361, 289, 1, 100, 2, 618, 572},
              Case{{102, 3, kImageWidth, kImageHeight}, 361, 289, 2, 102, 2, 618, 572},
              Case{{0, 0, kImageWidth + 1, kImageHeight + 1}, 360, 288, 1, 0, 0, 720, 576},
              Case{{400, 0, 800, kImageHeight}, 400, 576, 2, 400, 0, 400, 576}}) {
            SCOPED_TRACE(std::string(op.name) + " left " + std::to_string(c.rect.left));
            Frames frames(op, c.dstWidth, c.dstHeight), expected(op, c.dstWidth, c.dstHeight);
            ASSERT_EQ(op.resize(frames.src.data(), kImageWidth, kImageHeight, frames.srcStep,
                                c.rect, frames.dst.data(), frames.dstStep, c.dstWidth, c.dstHeight,
                                c.mode, resize::INTERP_CUBIC),
                      1);
            const int fields = c.mode == 1 ? 2 : 1;
            const int dw = c.dstWidth & ~1, dh = c.dstHeight & ~1;
            for (int field = 0; field < fields; ++field) {
                ASSERT_EQ(
                    op.primitive(expected.src.data() + field * expected.srcStep, kImageWidth,
                                 kImageHeight / fields, fields * expected.srcStep, c.x,
                                 c.y / fields, c.width, c.height / fields,
                                 expected.dst.data() + field * expected.dstStep,
                                 fields * expected.dstStep, dw, dh / fields, double(dw) / c.width,
                                 double(dh) / c.height, resize::INTERP_CUBIC),
                    resize::STS_OK);
            }
            EXPECT_EQ(frames.dst.Bytes(), expected.dst.Bytes());
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
        const auto resize = [&](RECT rect, int mode, int interpolation, int srcStep) {
            return op.resize(frames.src.data(), kImageWidth, kImageHeight, srcStep, rect,
                             frames.dst.data(), frames.dstStep, 360, 288, mode, interpolation);
        };
        const RECT whole{0, 0, kImageWidth, kImageHeight};
        const int step = frames.srcStep;

        // Modes other than 1 and 2 do not even select the variant.
        av::g_nCpuClass = planted;
        EXPECT_EQ(resize(whole, 0, resize::INTERP_LINEAR, step), 0);
        EXPECT_EQ(resize(whole, 3, resize::INTERP_LINEAR, step), 0);
        EXPECT_EQ(av::g_nCpuClass.load(), planted);
        // Regions left of or above the image, edges before the origin,
        // sizes beyond 32 bits; field steps beyond 32 bits.
        EXPECT_EQ(resize({-2, 0, kImageWidth - 2, kImageHeight}, 2, resize::INTERP_LINEAR, step),
                  0);
        EXPECT_EQ(resize({0, -1, kImageWidth, kImageHeight}, 2, resize::INTERP_LINEAR, step), 0);
        EXPECT_EQ(resize({8, 0, 2, kImageHeight}, 2, resize::INTERP_LINEAR, step), 0);
        EXPECT_EQ(resize({0, 8, kImageWidth, 8}, 1, resize::INTERP_LINEAR, step), 0);
        EXPECT_EQ(resize({INT32_MIN, 0, INT32_MAX, kImageHeight}, 2, resize::INTERP_LINEAR, step),
                  0);
        EXPECT_EQ(resize(whole, 1, resize::INTERP_LINEAR, INT32_MAX / 2 + 1), 0);
        // A failed first field (an unknown code): the second is not tried.
        EXPECT_EQ(resize(whole, 1, 3, step), 0);
        EXPECT_EQ(av::g_nCpuClass.load(), selected);
        EXPECT_EQ(frames.dst.Bytes(), untouched);
    }
}

}  // namespace
}  // namespace velmora::test

// The resize against independent references: a double-precision bilinear
// on the same end-aligned grid, and OpenCV's exact nearest neighbour when
// OpenCV is installed.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "resize/ImageStatus.h"
#include "resize/ResizeColor4.h"

#if defined(VELMORA_TEST_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace velmora::test {
namespace {

using namespace velmora::resize;

const ResizeColor4Function* Variants() {
    return ResizeColor4DispatchTable;
}

std::vector<uint8_t> RandomImage(int32_t w, int32_t h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> image(static_cast<size_t>(w) * h * 4);
    for (auto& b : image)
        b = static_cast<uint8_t>(rng());
    return image;
}

TEST(ResizeReference, LinearIsWithinOneOfDoubleBilinear) {
    const double factors[] = {1.0, 2.0, 0.5, 0.25, 1.0 / 3, 0.4, 0.75, 1.5, 13.7, 0.9999999};
    for (double f : factors) {
        const int32_t w = 37, h = 23;
        const std::vector<uint8_t> src = RandomImage(w, h, 3);
        const auto outW = static_cast<int32_t>(w * f + 1e-7);
        const auto outH = static_cast<int32_t>(h * f + 1e-7);
        const double sx = w * f > 1 ? (w - 1) / (w * f - 1) : 0.0;
        const double sy = h * f > 1 ? (h - 1) / (h * f - 1) : 0.0;
        for (int v = 0; v < av::kCpuVariantCount; ++v) {
            std::vector<uint8_t> dst(static_cast<size_t>(outW) * outH * 4, 0);
            ASSERT_EQ(Variants()[v](src.data(), w, h, 4 * w, 0, 0, w, h, dst.data(), 4 * outW, outW,
                                    outH, f, f, INTERP_LINEAR),
                      STS_OK);
            for (int32_t i = 0; i < outH; ++i) {
                const double y = std::min(i * sy, h - 1.0);
                const int32_t y0 = std::min(static_cast<int32_t>(y), h - 2);
                const double ty = y - y0;
                for (int32_t j = 0; j < outW; ++j) {
                    const double x = std::min(j * sx, w - 1.0);
                    const int32_t x0 = std::min(static_cast<int32_t>(x), w - 2);
                    const double tx = x - x0;
                    for (int c = 0; c < 3; ++c) {
                        auto s = [&](int32_t xx, int32_t yy) {
                            return static_cast<double>(
                                src[(static_cast<size_t>(yy) * w + xx) * 4 + c]);
                        };
                        const double top = s(x0, y0) * (1 - tx) + s(x0 + 1, y0) * tx;
                        const double bottom = s(x0, y0 + 1) * (1 - tx) + s(x0 + 1, y0 + 1) * tx;
                        const double want = top * (1 - ty) + bottom * ty;
                        const int got = dst[(static_cast<size_t>(i) * outW + j) * 4 + c];
                        ASSERT_NEAR(got, want, 1.0) << "factor " << f << " variant " << v;
                    }
                    ASSERT_EQ(dst[(static_cast<size_t>(i) * outW + j) * 4 + 3], 0);
                }
            }
        }
    }
}

// OpenCV's exact nearest neighbour picks the pixel under each output
// pixel's centre as ours does; where the centre falls on the border of two
// source pixels (reductions by 2 and 4) it takes the left (upper) one, while
// ours takes the right (lower) one, so that a factor of 0.5 takes columns
// 1, 3, 5, .... OpenCV's picks are read from an image of pixel indices.
TEST(ResizeReference, NearestEqualsOpenCvExactNearest) {
#if defined(VELMORA_TEST_OPENCV)
    cv::setNumThreads(1);
    const std::pair<double, int> factors[] = {
        {1.0, 0}, {2.0, 0}, {1.0 / 3, 0}, {0.5, 1}, {0.25, 1}};
    const int32_t w = 48, h = 36;  // divisible by 3 and 4
    const std::vector<uint8_t> src = RandomImage(w, h, 9);
    cv::Mat indices(h, w, CV_8UC4);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            indices.at<cv::Vec4b>(y, x) = cv::Vec4b(x, y, 0, 0);
    for (const auto& [f, tieShift] : factors) {
        const auto outW = static_cast<int32_t>(std::lround(w * f));
        const auto outH = static_cast<int32_t>(std::lround(h * f));
        cv::Mat picks;
        cv::resize(indices, picks, cv::Size(outW, outH), 0, 0, cv::INTER_NEAREST_EXACT);
        for (int v = 0; v < av::kCpuVariantCount; ++v) {
            std::vector<uint8_t> dst(static_cast<size_t>(outW) * outH * 4, 0);
            ASSERT_EQ(Variants()[v](src.data(), w, h, 4 * w, 0, 0, w, h, dst.data(), 4 * outW, outW,
                                    outH, f, f, INTERP_NEAREST),
                      STS_OK);
            for (int32_t i = 0; i < outH; ++i) {
                for (int32_t j = 0; j < outW; ++j) {
                    const int32_t x = picks.at<cv::Vec4b>(i, j)[0] + tieShift;
                    const int32_t y = picks.at<cv::Vec4b>(i, j)[1] + tieShift;
                    for (int c = 0; c < 3; ++c) {
                        ASSERT_EQ(dst[(static_cast<size_t>(i) * outW + j) * 4 + c],
                                  src[(static_cast<size_t>(y) * w + x) * 4 + c])
                            << "factor " << f << " variant " << v << " at " << i << "," << j;
                    }
                }
            }
        }
    }
#else
    GTEST_SKIP() << "OpenCV (libopencv-dev) is not installed: no comparison with its resize";
#endif
}

}  // namespace
}  // namespace velmora::test

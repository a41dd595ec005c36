#pragma once

// Support of the driver-level tests of the interpolating resizes: a whole
// ResizeColor4 call of one variant, and the frame-size check every
// interpolation shares (each variant equals its model, the variants agree).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include "ResizeTestSupport.h"
#include "resize/ImageStatus.h"
#include "resize/ResizeColor4.h"
#include "resize/ResizeInterpolate.h"
#include "resize/ResizeKernelTable.h"

namespace velmora::test {

inline decltype(&resize::ResizeInterpolate_Generic) const kInterpolateVariants[] = {
    resize::ResizeInterpolate_Generic, resize::ResizeInterpolate_Sse,
    resize::ResizeInterpolate_Sse2, resize::ResizeInterpolate_Sse3,
    resize::ResizeInterpolate_Ssse3};

// The whole image of variant v resized to dw x dh; the destination starts
// at 0xA5.
inline std::vector<uint8_t> Color4(int v, const std::vector<uint8_t>& src, int32_t w, int32_t h,
                                   int32_t dw, int32_t dh, int32_t code) {
    std::vector<uint8_t> dst(static_cast<size_t>(dw) * dh * 4, 0xA5);
    EXPECT_EQ(resize::ResizeColor4DispatchTable[v](src.data(), w, h, 4 * w, 0, 0, w, h, dst.data(),
                                                   4 * dw, dw, dh, static_cast<double>(dw) / w,
                                                   static_cast<double>(dh) / h, code),
              resize::STS_OK);
    return dst;
}

// 720 x 576 -> 1920 x 1080 and 1920 x 1080 -> 1280 x 720: every variant
// equals model(v, src, w, h, cols, rows, &want) and the variants agree within
// 1 (8u) and 1e-3 (32f on samples 0..255). The enlargement's model runs only
// for Generic and Sse2 and its 32f not at all, so the sanitizer run stays
// short.
template <typename Model>
void ExpectFrameSizesAgreeAcrossVariants(int32_t code, uint32_t seed, Model model) {
    for (auto [w, h] : {std::pair{720, 576}, std::pair{1920, 1080}}) {
        const int32_t dw = w == 720 ? 1920 : 1280, dh = w == 720 ? 1080 : 720;
        std::mt19937 rng(seed);
        std::vector<uint8_t> src(static_cast<size_t>(w) * h * 4);
        for (auto& s : src)
            s = static_cast<uint8_t>(rng());
        const std::vector<float> srcF(src.begin(), src.end());
        const ModelAxis cols = ModelGrid(w, static_cast<double>(dw) / w, dw, false, true);
        const ModelAxis rows = ModelGrid(h, static_cast<double>(dh) / h, dh, false, true);
        const bool reduce = w == 1920;
        std::vector<uint8_t> first;
        std::vector<float> firstF;
        for (int v = 0; v < 5; ++v) {
            const std::vector<uint8_t> out = Color4(v, src, w, h, dw, dh, code);
            if (reduce || v == 0 || v == 2) {
                std::vector<uint8_t> want(out.size(), 0xA5);
                model(v, src, w, h, cols, rows, &want);
                ASSERT_TRUE(out == want) << v;
            }
            std::vector<float> outF(reduce ? out.size() : 0);
            if (reduce) {
                ASSERT_EQ(kInterpolateVariants[v](
                              srcF.data(), w, h, 16 * w, 0, 0, w, h, outF.data(), 16 * dw, dw, dh,
                              static_cast<double>(dw) / w, static_cast<double>(dh) / h, 0, 0, 4, 4,
                              resize::RESIZE_DATA_32F, 0, code, 1),
                          resize::STS_OK);
            }
            if (v == 0) {
                first = out;
                firstF = outF;
                continue;
            }
            for (size_t k = 0; k < out.size(); ++k) {
                ASSERT_LE(std::abs(out[k] - first[k]), 1) << v << " at " << k;
                if (reduce) {
                    ASSERT_LE(std::abs(outF[k] - firstF[k]), 1e-3) << v << " at " << k;
                }
            }
        }
    }
}

}  // namespace velmora::test

#pragma once

// The row and frame bodies shared by every member of the two conversions.
// A member is this body instantiated with its block type: the Generic and Sse
// members have no vector blocks; the vector members supply blocks of 16 and 8
// pixels computed with the 16-bit formula, and convert the scalar pairs of
// BGRA to YUY2 several at a time with the scalar formula in exact 32-bit
// lanes. The remaining scalar pairs and the odd last pixel are the same code
// in every member.

#include <cstddef>
#include <cstdint>

#include "av/ColorConvertModel.h"
#include "resize/ImageStatus.h"

#define VELMORA_ALWAYS_INLINE inline __attribute__((always_inline))

namespace velmora::av::detail {

struct NoVectorBlocks {
    static constexpr bool kVector = false;
};

VELMORA_ALWAYS_INLINE void StoreBgra(uint8_t* dst, const model::Bgr& pixel, uint8_t alpha) {
    dst[0] = pixel.b;
    dst[1] = pixel.g;
    dst[2] = pixel.r;
    dst[3] = alpha;
}

template <class Blocks>
VELMORA_ALWAYS_INLINE void Yuy2ToBgraRow(const uint8_t* src, uint8_t* dst, int32_t width,
                                         uint8_t alpha) {
    int32_t x = 0;
    if constexpr (Blocks::kVector) {
        x = width & ~15;
        Blocks::Yuy2ToBgraBlocks16(src, dst, x, alpha);
        if ((width & 14) >= 8) {
            Blocks::Yuy2ToBgraBlock8(src + 2 * x, dst + 4 * x, alpha);
            x += 8;
        }
    }
    const int32_t evenWidth = width & ~1;
    for (; x < evenWidth; x += 2) {
        const uint8_t* pair = src + 2 * x;
        StoreBgra(dst + 4 * x, model::Yuy2ToBgrScalar(pair[0], pair[1], pair[3]), alpha);
        StoreBgra(dst + 4 * x + 4, model::Yuy2ToBgrScalar(pair[2], pair[1], pair[3]), alpha);
    }
    if (width & 1) {
        // No pair of its own: U follows its Y, V is the previous pair's.
        const uint8_t* last = src + 2 * x;
        StoreBgra(dst + 4 * x, model::Yuy2ToBgrScalar(last[0], last[1], last[-1]), alpha);
    }
}

template <class Blocks>
VELMORA_ALWAYS_INLINE void BgraToYuy2Row(const uint8_t* src, uint8_t* dst, int32_t width) {
    int32_t x = 0;
    if constexpr (Blocks::kVector) {
        // Blocks of 16 only up to a multiple of 32; an 8-block follows when
        // bit 3 of the width is set.
        x = width & ~31;
        Blocks::BgraToYuy2Blocks16(src, dst, x);
        if ((width & 15) >= 8) {
            Blocks::BgraToYuy2Block8(src + 4 * x, dst + 2 * x);
            x += 8;
        }
    }
    const int32_t evenWidth = width & ~1;
    if constexpr (Blocks::kVector) {
        // The scalar formula, several pairs at a time in exact 32-bit lanes.
        x += Blocks::BgraToYuy2ScalarPairs(src + 4 * x, dst + 2 * x, evenWidth - x);
    }
    for (; x < evenWidth; x += 2) {
        const uint8_t* p = src + 4 * x;
        uint8_t* out = dst + 2 * x;
        out[0] = model::LumaScalar(p[0], p[1], p[2]);
        out[1] = model::PairUScalar(p[0] + p[4], p[1] + p[5], p[2] + p[6]);
        out[2] = model::LumaScalar(p[4], p[5], p[6]);
        out[3] = model::PairVScalar(p[0] + p[4], p[1] + p[5], p[2] + p[6]);
    }
    if (width & 1) {
        // Only Y and U are stored for the last pixel.
        const uint8_t* p = src + 4 * x;
        dst[2 * x] = model::LumaScalar(p[0], p[1], p[2]);
        dst[2 * x + 1] = model::SingleUScalar(p[0], p[1], p[2]);
    }
}

VELMORA_ALWAYS_INLINE int32_t CheckFrame(const void* pSrc, const void* pDst, int32_t width,
                                         int32_t height) {
    if (pSrc == nullptr || pDst == nullptr) return resize::STS_NULL_PTR_ERR;
    if (width < 2 || height < 1) return resize::STS_SIZE_ERR;
    return resize::STS_OK;
}

template <class Blocks>
VELMORA_ALWAYS_INLINE int32_t Yuy2ToBgraFrame(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst,
                                              int32_t dstStep, int32_t width, int32_t height,
                                              uint8_t alpha) {
    const int32_t status = CheckFrame(pSrc, pDst, width, height);
    if (status != resize::STS_OK) return status;
    for (int32_t row = 0; row < height; ++row) {
        Yuy2ToBgraRow<Blocks>(pSrc + static_cast<ptrdiff_t>(row) * srcStep,
                              pDst + static_cast<ptrdiff_t>(row) * dstStep, width, alpha);
    }
    return resize::STS_OK;
}

template <class Blocks>
VELMORA_ALWAYS_INLINE int32_t BgraToYuy2Frame(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst,
                                              int32_t dstStep, int32_t width, int32_t height) {
    const int32_t status = CheckFrame(pSrc, pDst, width, height);
    if (status != resize::STS_OK) return status;
    for (int32_t row = 0; row < height; ++row) {
        BgraToYuy2Row<Blocks>(pSrc + static_cast<ptrdiff_t>(row) * srcStep,
                              pDst + static_cast<ptrdiff_t>(row) * dstStep, width);
    }
    return resize::STS_OK;
}

}  // namespace velmora::av::detail

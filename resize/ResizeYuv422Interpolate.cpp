#include "resize/ResizeYuv422Interpolate.h"

#include <cmath>
#include <cstddef>
#include <utility>

#include "resize/ImageStatus.h"
#include "resize/ResizeMemory.h"
#include "resize/ResizeYuv422Cubic.h"
#include "resize/ResizeYuv422Rows.h"

namespace velmora::resize {
namespace {

// ---- passes ----

void NearestPass(const uint8_t* pRoi, uint8_t* pDst, int32_t dstStep, int32_t pairs,
                 int32_t dstHeight, const int32_t* rowOffsets, const int32_t* lumaOffsets,
                 const int32_t* chromaOffsets) {
    for (int32_t j = 0; j < dstHeight; ++j) {
        const uint8_t* s = pRoi + rowOffsets[j];
        uint8_t* d = pDst + static_cast<ptrdiff_t>(j) * dstStep;
        for (int32_t i = 0; i < pairs; ++i) {
            d[4 * i] = s[lumaOffsets[2 * i]];
            d[4 * i + 1] = s[chromaOffsets[i] + 1];
            d[4 * i + 2] = s[lumaOffsets[2 * i + 1]];
            d[4 * i + 3] = s[chromaOffsets[i] + 3];
        }
    }
}

struct Yuv422Rows {
    decltype(&ResizeYuv422LinearRowH_Generic) rowH;
    decltype(&ResizeYuv422LinearRowV_Generic) rowV;
};

void LinearPass(const Yuv422Rows& rows, const uint8_t* pRoi, uint8_t* pDst, int32_t dstStep,
                int32_t srcStep, int32_t pairs, int32_t dstHeight, const int32_t* rowOffsets,
                const int32_t* lumaOffsets, const int32_t* chromaOffsets,
                const uint16_t* rowWeights, const uint16_t* lumaWeights,
                const uint16_t* chromaWeights, uint16_t* lumaUpper, uint16_t* lumaLower,
                uint16_t* uUpper, uint16_t* uLower, uint16_t* vUpper, uint16_t* vLower) {
    struct Set {
        uint16_t *y, *u, *v;
        bool held;
        ptrdiff_t offset;
    };
    Set upper{lumaUpper, uUpper, vUpper, false, 0};
    Set lower{lumaLower, uLower, vLower, false, 0};
    auto filter = [&](Set& set, ptrdiff_t offset) {
        rows.rowH(pRoi + offset, pairs, lumaOffsets, chromaOffsets, lumaWeights, chromaWeights,
                  set.y, set.u, set.v);
        set.held = true;
        set.offset = offset;
    };
    for (int32_t j = 0; j < dstHeight; ++j) {
        const ptrdiff_t r = rowOffsets[j];
        const ptrdiff_t below = r + srcStep;
        if (!(upper.held && upper.offset == r && lower.held && lower.offset == below)) {
            // Moving down by one row reuses the lower row as the upper one.
            if (lower.held && lower.offset == r) {
                std::swap(upper, lower);
            } else {
                filter(upper, r);
            }
            filter(lower, below);
        }
        rows.rowV(pDst + static_cast<ptrdiff_t>(j) * dstStep, pairs, rowWeights[j], upper.y,
                  lower.y, upper.u, lower.u, upper.v, lower.v);
    }
}

// ---- tables ----

// Nearest: pixel centres, positions accumulated from half a step.
void NearestTable(int32_t count, double factor, int32_t last, int32_t scale, int32_t* offsets) {
    const double step = 1.0 / factor;
    double p = 0.5 / factor;
    for (int32_t i = 0; i < count; ++i) {
        auto k = static_cast<int64_t>(std::trunc(p + 1e-7));
        if (k > last) k = last;
        offsets[i] = static_cast<int32_t>(k * scale);
        p += step;
    }
}

// End-aligned step of a sequence of n samples.
double LinearStep(int32_t n, double factor) {
    return n * factor > 1 ? (n - 1) / (n * factor - 1) : 0.0;
}

// Linear: offsets of the left (upper) sample; weights as (left, right) pairs
// per entry, or (rows) the lower row's weight alone.
void LinearTable(int32_t count, double step, int32_t last, int32_t scale, int32_t* offsets,
                 uint16_t* weights, bool pairsOfWeights) {
    double p = 0.0;
    for (int32_t i = 0; i < count; ++i) {
        auto k = static_cast<int64_t>(std::trunc(p + 1e-7));
        uint32_t f;
        if (k >= last) {
            k = last - 1;
            f = 16384;
        } else {
            f = static_cast<uint32_t>(std::trunc((p - static_cast<double>(k)) * 16384 + 1e-7));
        }
        offsets[i] = static_cast<int32_t>(k * scale);
        if (pairsOfWeights) {
            weights[2 * i] = static_cast<uint16_t>(16384 - f);
            weights[2 * i + 1] = static_cast<uint16_t>(f);
        } else {
            weights[i] = static_cast<uint16_t>(f);
        }
        p += step;
    }
}

// Cubic: offsets of the base sample k and t = position - k, with the four
// taps k - 1 .. k + 2 kept inside the image. Positions past the image's
// last sample (an output raised to its minimum) take the last one.
void CubicTable(int32_t count, double step, int32_t origin, int32_t last, int32_t scale,
                int32_t* offsets, float* fractions) {
    double p = 0.0;
    for (int32_t i = 0; i < count; ++i) {
        auto k = static_cast<int64_t>(std::trunc(p + 1e-7));
        float t;
        if (k >= last) {
            k = last - 2;
            t = 2.0f;
        } else {
            if (k + origin == 0)
                k += 1;
            else if (k == last - 1)
                k -= 1;
            t = static_cast<float>(p - static_cast<double>(k));
        }
        offsets[i] = static_cast<int32_t>(k * scale);
        fractions[i] = t;
        p += step;
    }
}

// Every block of one call, released on every path.
class Yuv422Blocks {
  public:
    ~Yuv422Blocks() {
        for (void* p : m_blocks)
            AlignedFree(p);
    }
    template <typename T>
    T* Keep(T* p) {
        m_blocks[m_count++] = p;
        m_failed = m_failed || p == nullptr;
        return p;
    }
    bool Failed() const { return m_failed; }

  private:
    void* m_blocks[20] = {};
    int m_count = 0;
    bool m_failed = false;
};

struct Yuv422Policy {
    int32_t* (*alloc32s)(int32_t);
    int16_t* (*alloc16s)(int32_t);
    decltype(&ResizeYuv422Nearest_Generic) nearest;
    decltype(&ResizeYuv422Linear_Generic) linear;
    decltype(&ResizeYuv422Cubic_Generic) cubic;
};

int32_t Interpolate(const Yuv422Policy& v, const uint8_t* pRoi, int32_t srcWidth, int32_t srcHeight,
                    int32_t srcStep, int32_t roiX, int32_t roiY, int32_t roiWidth,
                    int32_t roiHeight, uint8_t* pDst, int32_t dstStep, int32_t pairs,
                    int32_t dstHeight, double xFactor, double yFactor, int32_t interpolation) {
    if ((srcWidth < 8 || srcHeight < 4) && interpolation == INTERP_CUBIC)
        interpolation = INTERP_LINEAR;
    if ((srcWidth < 4 || srcHeight < 2) && interpolation == INTERP_LINEAR)
        interpolation = INTERP_NEAREST;
    const int32_t lastRow = srcHeight - roiY - 1;
    const int32_t lastLuma = srcWidth - roiX - 1;
    const int32_t lastPair = (srcWidth - roiX) / 2 - 1;
    const int32_t lumaCount = 2 * pairs;
    Yuv422Blocks blocks;
    int32_t* rowOffsets = blocks.Keep(v.alloc32s(dstHeight));
    int32_t* lumaOffsets = blocks.Keep(v.alloc32s(lumaCount));
    int32_t* chromaOffsets = blocks.Keep(v.alloc32s(pairs));
    if (interpolation == INTERP_NEAREST) {
        if (blocks.Failed()) return STS_NO_MEM_ERR;
        // An output raised to one row or one pair is centred past the ROI's
        // end: it takes the ROI's last row or pixel, not the image's next.
        NearestTable(dstHeight, yFactor, roiHeight - 1, srcStep, rowOffsets);
        NearestTable(lumaCount, xFactor, roiWidth - 1, 2, lumaOffsets);
        NearestTable(pairs, xFactor, roiWidth / 2 - 1, 4, chromaOffsets);
        v.nearest(pRoi, pDst, dstStep, pairs, dstHeight, rowOffsets, lumaOffsets, chromaOffsets);
        return STS_OK;
    }
    if (interpolation == INTERP_CUBIC) {
        auto allocFloat = [&](int32_t n) {
            return reinterpret_cast<float*>(blocks.Keep(v.alloc32s(n)));
        };
        float* rowFracs = allocFloat(dstHeight);
        float* lumaFracs = allocFloat(lumaCount);
        float* chromaFracs = allocFloat(pairs);
        float* lumaRows[4];
        float* uRows[4];
        float* vRows[4];
        for (int k = 0; k < 4; ++k) {
            lumaRows[k] = allocFloat(lumaCount);
            uRows[k] = allocFloat(pairs);
            vRows[k] = allocFloat(pairs);
        }
        if (blocks.Failed()) return STS_NO_MEM_ERR;
        CubicTable(dstHeight, LinearStep(roiHeight, yFactor), roiY, lastRow, srcStep, rowOffsets,
                   rowFracs);
        CubicTable(lumaCount, LinearStep(roiWidth, xFactor), roiX, lastLuma, 2, lumaOffsets,
                   lumaFracs);
        CubicTable(pairs, LinearStep(roiWidth / 2, xFactor), roiX / 2, lastPair, 4, chromaOffsets,
                   chromaFracs);
        v.cubic(pRoi, pDst, srcStep, dstStep, pairs, dstHeight, rowOffsets, lumaOffsets,
                chromaOffsets, rowFracs, lumaFracs, chromaFracs, lumaRows, uRows, vRows);
        return STS_OK;
    }
    auto alloc16 = [&](int32_t n) {
        return reinterpret_cast<uint16_t*>(blocks.Keep(v.alloc16s(n)));
    };
    uint16_t* rowWeights = alloc16(dstHeight);
    uint16_t* lumaWeights = alloc16(2 * lumaCount);
    uint16_t* chromaWeights = alloc16(2 * pairs);
    uint16_t* lumaUpper = alloc16(lumaCount);
    uint16_t* lumaLower = alloc16(lumaCount);
    uint16_t* uUpper = alloc16(pairs);
    uint16_t* uLower = alloc16(pairs);
    uint16_t* vUpper = alloc16(pairs);
    uint16_t* vLower = alloc16(pairs);
    if (blocks.Failed()) return STS_NO_MEM_ERR;
    LinearTable(dstHeight, LinearStep(roiHeight, yFactor), lastRow, srcStep, rowOffsets, rowWeights,
                false);
    LinearTable(lumaCount, LinearStep(roiWidth, xFactor), lastLuma, 2, lumaOffsets, lumaWeights,
                true);
    LinearTable(pairs, LinearStep(roiWidth / 2, xFactor), lastPair, 4, chromaOffsets, chromaWeights,
                true);
    v.linear(pRoi, pDst, srcStep, dstStep, pairs, dstHeight, rowOffsets, lumaOffsets, chromaOffsets,
             rowWeights, lumaWeights, chromaWeights, lumaUpper, lumaLower, uUpper, uLower, vUpper,
             vLower);
    return STS_OK;
}

}  // namespace

#define VELMORA_YUV422_NEAREST_DEFINE(V, target)                                               \
    target void ResizeYuv422Nearest_##V(                                                       \
        const uint8_t* pRoi, uint8_t* pDst, int32_t dstStep, int32_t pairs, int32_t dstHeight, \
        const int32_t* rowOffsets, const int32_t* lumaOffsets, const int32_t* chromaOffsets) { \
        NearestPass(pRoi, pDst, dstStep, pairs, dstHeight, rowOffsets, lumaOffsets,            \
                    chromaOffsets);                                                            \
    }
VELMORA_YUV422_NEAREST_DEFINE(Generic, )
VELMORA_YUV422_NEAREST_DEFINE(Sse2, __attribute__((target("sse2"))))

#define VELMORA_YUV422_LINEAR_DEFINE(V, ROWS, target)                                              \
    target void ResizeYuv422Linear_##V(                                                            \
        const uint8_t* pRoi, uint8_t* pDst, int32_t srcStep, int32_t dstStep, int32_t pairs,       \
        int32_t dstHeight, const int32_t* rowOffsets, const int32_t* lumaOffsets,                  \
        const int32_t* chromaOffsets, const uint16_t* rowWeights, const uint16_t* lumaWeights,     \
        const uint16_t* chromaWeights, uint16_t* lumaUpper, uint16_t* lumaLower, uint16_t* uUpper, \
        uint16_t* uLower, uint16_t* vUpper, uint16_t* vLower) {                                    \
        LinearPass({ResizeYuv422LinearRowH_##ROWS, ResizeYuv422LinearRowV_##ROWS}, pRoi, pDst,     \
                   dstStep, srcStep, pairs, dstHeight, rowOffsets, lumaOffsets, chromaOffsets,     \
                   rowWeights, lumaWeights, chromaWeights, lumaUpper, lumaLower, uUpper, uLower,   \
                   vUpper, vLower);                                                                \
    }
VELMORA_YUV422_LINEAR_DEFINE(Generic, Generic, )
VELMORA_YUV422_LINEAR_DEFINE(Sse, Generic, __attribute__((target("sse"))))
VELMORA_YUV422_LINEAR_DEFINE(Sse2, Sse2, __attribute__((target("sse2"))))
VELMORA_YUV422_LINEAR_DEFINE(Sse3, Sse3, __attribute__((target("sse3"))))
VELMORA_YUV422_LINEAR_DEFINE(Ssse3, Ssse3, __attribute__((target("ssse3"))))

#define VELMORA_YUV422_INTERPOLATE_DEFINE(V, NEAREST, A32, A16)                                    \
    int32_t ResizeYuv422Interpolate_##V(                                                           \
        const uint8_t* pRoi, int32_t srcWidth, int32_t srcHeight, int32_t srcStep, int32_t roiX,   \
        int32_t roiY, int32_t roiWidth, int32_t roiHeight, uint8_t* pDst, int32_t dstStep,         \
        int32_t pairs, int32_t dstHeight, double xFactor, double yFactor, int32_t interpolation) { \
        static const Yuv422Policy policy{A32, A16, ResizeYuv422Nearest_##NEAREST,                  \
                                         ResizeYuv422Linear_##V, ResizeYuv422Cubic_##V};           \
        return Interpolate(policy, pRoi, srcWidth, srcHeight, srcStep, roiX, roiY, roiWidth,       \
                           roiHeight, pDst, dstStep, pairs, dstHeight, xFactor, yFactor,           \
                           interpolation);                                                         \
    }
VELMORA_YUV422_INTERPOLATE_DEFINE(Generic, Generic, AlignedMalloc32s, AlignedMalloc16s)
VELMORA_YUV422_INTERPOLATE_DEFINE(Sse, Generic, AlignedMalloc32s, AlignedMalloc16s)
VELMORA_YUV422_INTERPOLATE_DEFINE(Sse2, Sse2, AlignedMalloc32s, AlignedMalloc16s)
VELMORA_YUV422_INTERPOLATE_DEFINE(Sse3, Sse2, AlignedMalloc32s_Sse3, AlignedMalloc16s_Sse3)
VELMORA_YUV422_INTERPOLATE_DEFINE(Ssse3, Sse2, AlignedMalloc32s, AlignedMalloc16s)

}  // namespace velmora::resize

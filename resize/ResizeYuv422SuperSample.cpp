#include "resize/ResizeYuv422SuperSample.h"

#include <cmath>
#include <cstddef>

#include "resize/ImageStatus.h"
#include "resize/ResizeMemory.h"
#include "resize/ResizeSuperSampleModel.h"

namespace velmora::resize {
namespace {

struct Yuv422SuperSamplePolicy {
    bool doubleAdds;  // Generic: product and sum in double, rounded once
    uint8_t* (*alloc8u)(int32_t);
    int32_t (*zero)(void*, int32_t);
};

// One output row's column sums over 4N bytes, weighted or whole.
class Yuv422Accumulator {
  public:
    Yuv422Accumulator(void* row, int32_t elements, bool integer, bool doubleAdds)
        : m_int(static_cast<uint32_t*>(row)),
          m_float(static_cast<float*>(row)),
          m_elements(elements),
          m_integer(integer),
          m_doubleAdds(doubleAdds) {}

    void AddWhole(const uint8_t* s) {
        if (m_integer) {
            for (int32_t k = 0; k < m_elements; ++k)
                m_int[k] += s[k];
        } else {
            for (int32_t k = 0; k < m_elements; ++k)
                m_float[k] += s[k];
        }
    }
    void AddWeighted(const uint8_t* s, double w) {
        for (int32_t k = 0; k < m_elements; ++k)
            m_float[k] = Weighted(m_float[k], s[k], w);
    }
    float Weighted(float element, double value, double w) const {
        return m_doubleAdds ? static_cast<float>(element + value * w)
                            : element + static_cast<float>(value * w);
    }
    double At(int64_t k) const { return m_integer ? m_int[k] : m_float[k]; }

  private:
    uint32_t* m_int;
    float* m_float;
    int32_t m_elements;
    bool m_integer;
    bool m_doubleAdds;
};

// Sum of a block of elements `stride` apart (walk block over indices), the
// indices kept below `count`.
double BlockSum(const Yuv422Accumulator& acc, const SuperSampleBlock& b, int64_t count,
                int32_t stride, int32_t offset, bool integer, bool doubleAdds) {
    auto at = [&](int64_t i) { return acc.At(SuperSampleClamp(i, count - 1) * stride + offset); };
    if (integer) {
        uint64_t s = 0;
        for (int64_t i = b.whole; i < b.whole + b.count; ++i)
            s += static_cast<uint64_t>(at(i));
        return static_cast<double>(s);
    }
    if (doubleAdds) {
        double s = b.hasFirst ? at(b.first) * b.firstWeight : 0.0;
        for (int64_t i = b.whole; i < b.whole + b.count; ++i)
            s += at(i);
        if (b.hasLast) s += at(b.last) * b.lastWeight;
        return static_cast<float>(s);
    }
    float s = b.hasFirst ? static_cast<float>(at(b.first) * b.firstWeight) : 0.0f;
    for (int64_t i = b.whole; i < b.whole + b.count; ++i)
        s += static_cast<float>(at(i));
    if (b.hasLast) s += static_cast<float>(at(b.last) * b.lastWeight);
    return s;
}

// Fractional luma column i: samples from trunc(a_i + 1e-7), the first by its
// uncovered share, then each by its covered share or 1.
double LumaColumn(const Yuv422Accumulator& acc, double a0, double a1, int64_t lumaCount,
                  bool doubleAdds) {
    const auto s = static_cast<int64_t>(std::trunc(a0 + 1e-7));
    const auto e = static_cast<int64_t>(std::trunc(a1 + 1e-7));
    const int64_t n = e - s + (std::fabs(a1 - static_cast<double>(e)) > 1e-7 ? 1 : 0);
    auto at = [&](int64_t k) { return acc.At(SuperSampleClamp(k, lumaCount - 1) * 2); };
    double sumD = 0.0;
    float sumF = 0.0f;
    for (int64_t k = s; k < s + n; ++k) {
        double w = 1.0;
        if (k == s) {
            w = 1.0 - (a0 - static_cast<double>(s));
        } else {
            const double share = a1 - static_cast<double>(k);
            if (share >= -1e-7 && share < 1 - 1e-7) w = share;
        }
        if (doubleAdds)
            sumD += w == 1.0 ? at(k) : at(k) * w;
        else
            sumF += w == 1.0 ? static_cast<float>(at(k)) : static_cast<float>(at(k) * w);
    }
    return doubleAdds ? static_cast<float>(sumD) : sumF;
}

uint8_t OutputByte(double value, double scale) {
    return static_cast<uint8_t>(static_cast<uint64_t>(std::trunc(value * scale + 0.5)));
}

int32_t SuperSample(const Yuv422SuperSamplePolicy& v, const uint8_t* pRoi, uint8_t* pDst,
                    int32_t srcStep, int32_t dstStep, int32_t srcPairs, int32_t srcRows,
                    int32_t pairs, int32_t dstHeight, double rx, double ry, double scale) {
    if (srcPairs < 1 || srcPairs > INT32_MAX / 16) return STS_NO_MEM_ERR;
    const int32_t elements = 4 * srcPairs;
    void* row = v.alloc8u(4 * elements);
    if (row == nullptr) return STS_NO_MEM_ERR;
    const bool wholeX = rx == std::trunc(rx);
    const bool wholeY = ry == std::trunc(ry);
    const bool integer = wholeX && wholeY;
    Yuv422Accumulator acc(row, elements, integer, v.doubleAdds);
    const int64_t lastRow = srcRows - 1;
    auto rowAt = [&](int64_t r) {
        return pRoi + static_cast<ptrdiff_t>(SuperSampleClamp(r, lastRow)) * srcStep;
    };
    const int64_t lumaCount = 2 * static_cast<int64_t>(srcPairs);
    SuperSampleWalk rows(ry, !wholeY);
    for (int32_t j = 0; j < dstHeight; ++j) {
        v.zero(row, 4 * elements);
        const SuperSampleBlock b = rows.Next();
        if (b.hasFirst) acc.AddWeighted(rowAt(b.first), b.firstWeight);
        for (int64_t k = 0; k < b.count; ++k)
            acc.AddWhole(rowAt(b.whole + k));
        if (b.hasLast) acc.AddWeighted(rowAt(b.last), b.lastWeight);

        uint8_t* d = pDst + static_cast<ptrdiff_t>(j) * dstStep;
        SuperSampleWalk chroma(rx, !wholeX);
        SuperSampleWalk luma(rx, false);
        double a = 0.0;
        for (int32_t q = 0; q < pairs; ++q) {
            const SuperSampleBlock c = chroma.Next();
            d[4 * q + 1] =
                OutputByte(BlockSum(acc, c, srcPairs, 4, 1, integer, v.doubleAdds), scale);
            d[4 * q + 3] =
                OutputByte(BlockSum(acc, c, srcPairs, 4, 3, integer, v.doubleAdds), scale);
            for (int32_t k = 0; k < 2; ++k) {
                double sum;
                if (wholeX) {
                    sum = BlockSum(acc, luma.Next(), lumaCount, 2, 0, integer, v.doubleAdds);
                } else {
                    const double next = a + rx;
                    sum = LumaColumn(acc, a, next, lumaCount, v.doubleAdds);
                    a = next;
                }
                d[4 * q + 2 * k] = OutputByte(sum, scale);
            }
        }
    }
    AlignedFree(row);
    return STS_OK;
}

}  // namespace

#define VELMORA_YUV422_SUPERSAMPLE_DEFINE(V, DOUBLE, ALLOC)                                      \
    int32_t ResizeYuv422SuperSample_##V(                                                         \
        const uint8_t* pRoi, uint8_t* pDst, int32_t srcStep, int32_t dstStep, int32_t srcPairs,  \
        int32_t srcRows, int32_t pairs, int32_t dstHeight, double rx, double ry, double scale) { \
        static const Yuv422SuperSamplePolicy policy{DOUBLE, ALLOC, ZeroBytes_##V};               \
        return SuperSample(policy, pRoi, pDst, srcStep, dstStep, srcPairs, srcRows, pairs,       \
                           dstHeight, rx, ry, scale);                                            \
    }
VELMORA_YUV422_SUPERSAMPLE_DEFINE(Generic, true, AlignedMalloc8u)
VELMORA_YUV422_SUPERSAMPLE_DEFINE(Sse, false, AlignedMalloc8u)
VELMORA_YUV422_SUPERSAMPLE_DEFINE(Sse2, false, AlignedMalloc8u)
VELMORA_YUV422_SUPERSAMPLE_DEFINE(Sse3, false, AlignedMalloc8u_Sse3)
VELMORA_YUV422_SUPERSAMPLE_DEFINE(Ssse3, false, AlignedMalloc8u)

}  // namespace velmora::resize

#pragma once

// Scalar model of the super-sampling kernels, one per arithmetic form. The
// members of every variant are this model with their variant's services
// (allocators, clear, row sums); the forms fix the rounding:
//  - Double (Generic): weighted adds and block sums in double precision,
//    each rounded to float once;
//  - Single (Sse, Sse2, Sse3; SingleSsse3 for Ssse3): a product with a
//    partial weight is rounded to float and added in single precision, block
//    sums are single-precision running sums; OneCh blocks of 11 or more whole
//    pixels are summed as eight interleaved partial sums whose four lanes
//    are combined (0+2)+(1+3), or (0+1)+(2+3) in SingleSsse3; the packed
//    stretches of the OneCh32f and FourCh32f members take the weight and
//    `scale` rounded to float and multiply in single precision.
// Mode 0 of 8u and 16u is exact integer arithmetic in every form.
//
// Block walk: a block starts where the previous one ended. A shared row or
// pixel that the previous block used up to 1e-7 counts as used, so every
// block covers its own `ratio` source rows and columns. Rows at or past
// `srcRows` (the image's rows from the region's top) read the image's last
// row, pixels at or past `srcCols` the last
// pixel of the working row (the output pixels' blocks reach past `srcCols`
// only where it is the region's edge), so a uniform region stays uniform.
// Blocks past the output width are not formed. Block sums of mode 0 of 8u and 16u are formed in 64
// bits.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "resize/ImageStatus.h"
#include "resize/ResizeLinearRowModel.h"  // VELMORA_RESIZE_INLINE
#include "resize/ResizeSuperSampleRows.h"

namespace velmora::resize {

enum class SuperSampleForm { Double, Single, SingleSsse3 };

// An index of a row or column the walk asks for, kept inside 0..last (a
// ratio below 1 lies outside the kernels' contract but must not read
// outside the image either).
inline int64_t SuperSampleClamp(int64_t i, int64_t last) {
    return i < 0 ? 0 : i > last ? last : i;
}

// One block of a direction: an optional weighted first index, `count` whole
// indices from `whole`, an optional weighted trailing index.
struct SuperSampleBlock {
    int64_t first = 0;
    double firstWeight = 0.0;
    bool hasFirst = false;
    int64_t whole = 0;
    int64_t count = 0;
    int64_t last = 0;
    double lastWeight = 0.0;
    bool hasLast = false;
};

// The walk over one direction: whole-ratio blocks of k indices, or the
// fractional walk with the shared index and its used fraction.
class SuperSampleWalk {
  public:
    SuperSampleWalk(double ratio, bool fractional)
        : m_ratio(ratio),
          m_k(static_cast<int64_t>(std::floor(ratio))),
          m_frac(ratio - std::floor(ratio)),
          m_fractional(fractional) {}

    SuperSampleBlock Next() {
        SuperSampleBlock b;
        if (!m_fractional) {
            b.whole = m_next;
            b.count = m_k;
            m_next += m_k;
            return b;
        }
        if (m_started) {
            const double w = 1.0 - m_used;
            const double t = m_ratio - w;
            const double n = std::floor(t + 1e-7);
            const double rest = t - n;
            b.hasFirst = w > 1e-7;
            b.first = m_next;
            b.firstWeight = w;
            b.whole = m_next + 1;
            b.count = static_cast<int64_t>(n);
            b.last = b.whole + b.count;
            b.lastWeight = rest;
            b.hasLast = rest > 1e-7;
            m_next = b.last;
            m_used = rest;
            return b;
        }
        m_started = true;
        b.whole = 0;
        b.count = m_k;
        b.last = m_k;
        b.lastWeight = m_frac;
        b.hasLast = true;
        m_next = m_k;
        m_used = m_frac;
        return b;
    }

  private:
    double m_ratio;
    int64_t m_k;
    double m_frac;
    bool m_fractional;
    bool m_started = false;
    int64_t m_next = 0;
    double m_used = 0.0;
};

// The model's loops over one-sample working rows: the steps of eight of the
// interleaved block sums (lane l of `a` takes pixel p + l, of `b` pixel
// p + 4 + l) and the sum of a whole block of integers. `inside`: every pixel
// up to `end` lies in the row, so `row` may be read directly. The vector
// members pass loops of their own with the same additions.
struct SuperSampleScalarSums {
    template <typename At>
    static void Steps(At at, const float*, bool, int64_t& p, int64_t end, float* a, float* b) {
        for (; p + 8 <= end; p += 8)
            for (int l = 0; l < 4; ++l) {
                a[l] += at(p + l);
                b[l] += at(p + 4 + l);
            }
    }
    static uint64_t Whole(const uint32_t* block, int64_t kx) {
        uint64_t sum = 0;
        for (int64_t p = 0; p < kx; ++p)
            sum += block[p];
        return sum;
    }
};

template <typename T, SuperSampleLayout L, SuperSampleForm F>
struct SuperSampleModel {
    using Acc = SuperSampleAcc<T>;
    static constexpr bool kFloat = std::is_same_v<T, float>;
    static constexpr int32_t kSummed = SuperSampleChannels<L>();
    static constexpr bool kSingle = F != SuperSampleForm::Double;
    // Members with packed float stretches over weighted rows and output.
    static constexpr bool kPacked32f = kSingle && kFloat && L != SuperSampleLayout::MultiCh;

    // Length of the packed stretch of a run of `count` values whose first
    // value lies `head` values before a 16-byte boundary (head < 0: the
    // run is not 4-byte aligned).
    static void PackedStretch(int64_t count, int64_t head, int64_t& begin, int64_t& end) {
        begin = end = 0;
        if (head < 0 || count < 11) return;
        begin = head;
        end = begin + (count - begin) / 8 * 8;
    }

    // The packed stretch of an output row of `count` values at `dst`: its
    // head reaches the first 16-byte boundary, and a row off the 4-byte grid
    // has none.
    static void PackedOutput(const T* dst, int64_t count, int64_t& begin, int64_t& end) {
        const auto address = reinterpret_cast<uintptr_t>(dst);
        const int64_t head =
            address % 4 != 0 ? -1 : static_cast<int64_t>((16 - address % 16) % 16 / 4);
        PackedStretch(count, head, begin, end);
    }

    // Whether the block sums of a row in `mode` take the eight interleaved
    // partial sums.
    static constexpr bool Interleaved(int32_t mode) {
        return L == SuperSampleLayout::OneCh && ((mode & 2) != 0 || (mode == 0 && kFloat));
    }

    // Element + sample x weight.
    static void AddWeighted(float* row, const T* s, int32_t srcCols, int32_t stride, double w) {
        const int64_t values = static_cast<int64_t>(srcCols) * stride;
        int64_t begin = 0, end = 0;
        if constexpr (kPacked32f) PackedStretch(values, 0, begin, end);
        const float wf = static_cast<float>(w);
        for (int32_t p = 0; p < srcCols; ++p) {
            for (int32_t c = 0; c < kSummed; ++c) {
                const ptrdiff_t k = static_cast<ptrdiff_t>(p) * stride + c;
                if constexpr (F == SuperSampleForm::Double) {
                    row[k] = static_cast<float>(static_cast<double>(row[k]) +
                                                static_cast<double>(s[k]) * w);
                } else {
                    if (k >= begin && k < end)
                        row[k] = row[k] + static_cast<float>(s[k]) * wf;
                    else
                        row[k] = row[k] + static_cast<float>(static_cast<double>(s[k]) * w);
                }
            }
        }
    }

    template <typename E>
    static void AddWhole(E* row, const T* s, int32_t srcCols, int32_t stride) {
        for (int32_t p = 0; p < srcCols; ++p)
            for (int32_t c = 0; c < kSummed; ++c) {
                const ptrdiff_t k = static_cast<ptrdiff_t>(p) * stride + c;
                row[k] += static_cast<E>(s[k]);
            }
    }

    // Single-precision sum of `count` whole pixels from `whole` onto s.
    template <class Sums>
    VELMORA_RESIZE_INLINE static float SumWholeSingle(const float* row, int64_t whole,
                                                      int64_t count, int32_t stride, int32_t c,
                                                      int64_t lastPixel, bool interleave, float s) {
        auto at = [&](int64_t p) {
            return row[static_cast<ptrdiff_t>(SuperSampleClamp(p, lastPixel)) * stride + c];
        };
        int64_t p = whole;
        const int64_t end = whole + count;
        if (interleave && count >= 11) {
            for (; p % 4 != 0; ++p)
                s += at(p);
            float a[4] = {s, 0.0f, 0.0f, 0.0f};
            float b[4] = {0.0f, 0.0f, 0.0f, 0.0f};
            Sums::Steps(at, row, stride == 1 && end <= lastPixel + 1, p, end, a, b);
            float lane[4];
            for (int l = 0; l < 4; ++l)
                lane[l] = a[l] + b[l];
            s = F == SuperSampleForm::SingleSsse3 ? (lane[0] + lane[1]) + (lane[2] + lane[3])
                                                  : (lane[0] + lane[2]) + (lane[1] + lane[3]);
        }
        for (; p < end; ++p)
            s += at(p);
        return s;
    }

    // Block sum of one channel of the float working row, as stored.
    template <class Sums>
    VELMORA_RESIZE_INLINE static float BlockSumFloat(const float* row, const SuperSampleBlock& b,
                                                     int32_t srcCols, int32_t stride, int32_t c,
                                                     bool interleave) {
        const int64_t lastPixel = srcCols - 1;
        auto at = [&](int64_t p) {
            return row[static_cast<ptrdiff_t>(SuperSampleClamp(p, lastPixel)) * stride + c];
        };
        if constexpr (F == SuperSampleForm::Double) {
            double s = b.hasFirst ? static_cast<double>(at(b.first)) * b.firstWeight : 0.0;
            for (int64_t p = b.whole; p < b.whole + b.count; ++p)
                s += at(p);
            if (b.hasLast) s += static_cast<double>(at(b.last)) * b.lastWeight;
            return static_cast<float>(s);
        } else {
            float s = b.hasFirst
                          ? static_cast<float>(static_cast<double>(at(b.first)) * b.firstWeight)
                          : 0.0f;
            s = SumWholeSingle<Sums>(row, b.whole, b.count, stride, c, lastPixel, interleave, s);
            if (b.hasLast) s += static_cast<float>(static_cast<double>(at(b.last)) * b.lastWeight);
            return s;
        }
    }

    static uint64_t BlockSumInteger(const uint32_t* row, const SuperSampleBlock& b, int32_t srcCols,
                                    int32_t stride, int32_t c) {
        const int64_t lastPixel = srcCols - 1;
        uint64_t s = 0;
        for (int64_t p = b.whole; p < b.whole + b.count; ++p)
            s += row[static_cast<ptrdiff_t>(SuperSampleClamp(p, lastPixel)) * stride + c];
        return s;
    }

    static T Output(double v) {
        if constexpr (kFloat)
            return static_cast<float>(v);
        else
            return static_cast<T>(static_cast<uint64_t>(std::trunc(v + 0.5)));
    }

    template <class Sums>
    VELMORA_RESIZE_INLINE static void OutputRowWhole(const uint32_t* row, T* dst, int32_t stride,
                                                     int32_t dstStride, int32_t dstWidth,
                                                     int64_t kx, double scale) {
        const uint32_t* block = row;
        for (int32_t j = 0; j < dstWidth; ++j) {
            uint64_t sum[kSummed] = {};
            if constexpr (kSummed == 1) {
                sum[0] = Sums::Whole(block, kx);
            } else {
                for (int64_t p = 0; p < kx; ++p)
                    for (int32_t c = 0; c < kSummed; ++c)
                        sum[c] += block[p * stride + c];
            }
            // Sums below 2^63 and results of at most 65535: signed
            // conversions, which the processor does in one step.
            for (int32_t c = 0; c < kSummed; ++c)
                dst[static_cast<ptrdiff_t>(j) * dstStride + c] =
                    static_cast<T>(static_cast<int64_t>(
                        static_cast<double>(static_cast<int64_t>(sum[c])) * scale + 0.5));
            block += kx * stride;
        }
    }

    // Horizontal pass and output pass of one output row.
    template <class Sums = SuperSampleScalarSums>
    VELMORA_RESIZE_INLINE static void OutputRow(const Acc* row, T* dst, int32_t srcCols,
                                                int32_t stride, int32_t dstStride, int32_t dstWidth,
                                                double xRatio, double scale, int32_t mode) {
        const bool fractional = (mode & 2) != 0;
        SuperSampleWalk walk(xRatio, fractional);
        const bool interleave = Interleaved(mode);
        int64_t begin = 0, end = 0;
        if constexpr (kPacked32f)
            PackedOutput(dst, static_cast<int64_t>(dstWidth) * kSummed, begin, end);
        if constexpr (!kFloat) {
            // Whole blocks that all lie in the working row: no walk, no clamp.
            const auto kx = static_cast<int64_t>(std::floor(xRatio));
            if (mode == 0 && static_cast<int64_t>(dstWidth) * kx <= srcCols) {
                OutputRowWhole<Sums>(reinterpret_cast<const uint32_t*>(row), dst, stride, dstStride,
                                     dstWidth, kx, scale);
                return;
            }
        }
        const float scalef = static_cast<float>(scale);
        for (int32_t j = 0; j < dstWidth; ++j) {
            const SuperSampleBlock b = walk.Next();
            for (int32_t c = 0; c < kSummed; ++c) {
                T& out = dst[static_cast<ptrdiff_t>(j) * dstStride + c];
                if constexpr (!kFloat) {
                    if (mode == 0) {
                        out = Output(
                            static_cast<double>(BlockSumInteger(
                                reinterpret_cast<const uint32_t*>(row), b, srcCols, stride, c)) *
                            scale);
                        continue;
                    }
                }
                const float sum = BlockSumFloat<Sums>(reinterpret_cast<const float*>(row), b,
                                                      srcCols, stride, c, interleave);
                const int64_t k = static_cast<int64_t>(j) * kSummed + c;
                if (kPacked32f && k >= begin && k < end)
                    out = static_cast<T>(sum * scalef);
                else
                    out = Output(static_cast<double>(sum) * scale);
            }
        }
    }
};

}  // namespace velmora::resize

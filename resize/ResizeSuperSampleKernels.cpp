// The 45 super-sampling kernels: one routine over the pixel layout, sample
// type and a per-variant policy (arithmetic form, allocators, clear, row
// sums), compiled for each variant's instruction set.
#include "resize/ResizeSuperSampleKernels.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <type_traits>

#include "resize/ResizeMemory.h"
#include "resize/ResizeSuperSampleModel.h"
#include "resize/ResizeSuperSampleVector.h"

namespace velmora::resize {
namespace {

using SuperSampleLayout::FourCh;
using SuperSampleLayout::MultiCh;
using SuperSampleLayout::OneCh;

// MULTI names the MultiCh 8u and 16u row sums (the Sse kernels use the
// Generic ones).
#define VELMORA_SUPERSAMPLE_POLICY(V, MULTI, FORM, ISA, ALLOC8, ALLOC32)            \
    struct SuperSamplePolicy_##V {                                                  \
        static constexpr SuperSampleForm kForm = FORM;                              \
        static constexpr SuperSampleIsa kIsa = ISA;                                 \
        static constexpr bool kVector = ISA == SuperSampleIsa::Sse2;                \
        static int32_t Zero(void* p, int32_t n) { return ZeroBytes_##V(p, n); }     \
        static void* Alloc8u(int32_t n) { return ALLOC8(n); }                       \
        static void* Alloc32s(int32_t n) { return ALLOC32(n); }                     \
        template <typename T, SuperSampleLayout L>                                  \
        static void SumRows(const T* s, int32_t step, int32_t w, int32_t n,         \
                            SuperSampleAcc<T>* acc, int32_t ch) {                   \
            if constexpr (L == MultiCh && std::is_same_v<T, uint8_t>)               \
                ResizeSuperSampleSumRowsMultiCh8u_##MULTI(s, step, w, n, acc, ch);  \
            else if constexpr (L == MultiCh && std::is_same_v<T, uint16_t>)         \
                ResizeSuperSampleSumRowsMultiCh16u_##MULTI(s, step, w, n, acc, ch); \
            else if constexpr (L == MultiCh)                                        \
                ResizeSuperSampleSumRowsMultiCh32f_##V(s, step, w, n, acc, ch);     \
            else if constexpr (L == OneCh && std::is_same_v<T, uint8_t>)            \
                ResizeSuperSampleSumRowsOneCh8u_##V(s, step, w, n, acc);            \
            else if constexpr (L == OneCh && std::is_same_v<T, uint16_t>)           \
                ResizeSuperSampleSumRowsOneCh16u_##V(s, step, w, n, acc);           \
            else if constexpr (L == OneCh)                                          \
                ResizeSuperSampleSumRowsOneCh32f_##V(s, step, w, n, acc);           \
            else if constexpr (std::is_same_v<T, uint8_t>)                          \
                ResizeSuperSampleSumRowsFourCh8u_##V(s, step, w, n, acc);           \
            else if constexpr (std::is_same_v<T, uint16_t>)                         \
                ResizeSuperSampleSumRowsFourCh16u_##V(s, step, w, n, acc);          \
            else                                                                    \
                ResizeSuperSampleSumRowsFourCh32f_##V(s, step, w, n, acc);          \
        }                                                                           \
    };

VELMORA_SUPERSAMPLE_POLICY(Generic, Generic, SuperSampleForm::Double, SuperSampleIsa::Scalar,
                           AlignedMalloc8u, AlignedMalloc32s)
VELMORA_SUPERSAMPLE_POLICY(Sse, Generic, SuperSampleForm::Single, SuperSampleIsa::Sse,
                           AlignedMalloc8u, AlignedMalloc32s)
VELMORA_SUPERSAMPLE_POLICY(Sse2, Sse2, SuperSampleForm::Single, SuperSampleIsa::Sse2,
                           AlignedMalloc8u, AlignedMalloc32s)
VELMORA_SUPERSAMPLE_POLICY(Sse3, Sse3, SuperSampleForm::Single, SuperSampleIsa::Sse2,
                           AlignedMalloc8u_Sse3, AlignedMalloc32s_Sse3)
VELMORA_SUPERSAMPLE_POLICY(Ssse3, Ssse3, SuperSampleForm::SingleSsse3, SuperSampleIsa::Sse2,
                           AlignedMalloc8u, AlignedMalloc32s)

// Whether the vector output row serves a request: mode 0 of 8u or 16u
// pixels 4 samples apart, blocks inside the working row, block sums and
// scaled values that fit in 31 bits.
template <typename T, SuperSampleLayout L, class P>
bool VectorOutput(int32_t mode, int32_t stride, int32_t srcCols, int32_t dstWidth, double xRatio,
                  double yRatio, double scale) {
    if (!P::kVector || std::is_same_v<T, float> || L == OneCh) return false;
    if (mode != 0 || stride != 4) return false;
    const double kx = std::floor(xRatio), ky = std::floor(yRatio);
    if (kx < 1.0 || static_cast<double>(dstWidth) * kx > srcCols) return false;
    const double maxSum = (std::is_same_v<T, uint8_t> ? 255.0 : 65535.0) * kx * ky;
    return maxSum < 2147483647.0 && std::fabs(maxSum * scale) < 2147483647.0;
}

// Horizontal and output passes of a one-sample row: the vector body of the
// 32f members with a packed output stretch, the model's passes with the
// variant's block sums for the others.
template <typename T, class P>
VELMORA_RESIZE_INLINE void SuperSampleOutputRowOne(const SuperSampleAcc<T>* row, T* dst,
                                                   int32_t srcCols, int32_t dstWidth, double xRatio,
                                                   double scale, int32_t mode) {
    using M = SuperSampleModel<T, OneCh, P::kForm>;
    using Sums = SuperSampleSums<P::kIsa>;
    if constexpr (M::kPacked32f)
        SuperSampleOutputRowOne32f<M, Sums>(row, dst, srcCols, dstWidth, xRatio, scale, mode);
    else
        M::template OutputRow<Sums>(row, dst, srcCols, 1, 1, dstWidth, xRatio, scale, mode);
}

// The float working row of the vector variants (of the Sse variant, the
// OneCh32f and FourCh32f members): the block's rows summed into it four at a
// time, then the horizontal and output passes.
template <typename T, SuperSampleLayout L, class P>
struct QuadRows {
    using M = SuperSampleModel<T, L, P::kForm>;
    float* acc;
    const SuperSampleBlock* blocks;
    int32_t srcCols, dstWidth;
    double xRatio, scale;
    int32_t mode;

    int64_t Values() const { return static_cast<int64_t>(srcCols) * (L == OneCh ? 1 : 4); }

    template <typename RowAt>
    VELMORA_RESIZE_INLINE void Block(const SuperSampleBlock& b, RowAt rowAt) const {
        int64_t begin = 0, end = 0;
        if constexpr (M::kPacked32f) M::PackedStretch(Values(), 0, begin, end);
        SuperSampleTerm<T> terms[4];
        int32_t n = 0;
        bool fresh = true;
        auto add = [&](const T* row, double weight, bool whole) VELMORA_LAMBDA_INLINE {
            terms[n++] = {row, weight, whole};
            if (n < 4) return;
            SuperSampleAddRowsQuad<T, P::kIsa>(acc, terms, n, Values(), end, fresh);
            n = 0;
            fresh = false;
        };
        if (b.hasFirst) add(rowAt(b.first), b.firstWeight, false);
        for (int64_t k = 0; k < b.count; ++k)
            add(rowAt(b.whole + k), 1.0, true);
        if (b.hasLast) add(rowAt(b.last), b.lastWeight, false);
        if (n > 0 || fresh) SuperSampleAddRowsQuad<T, P::kIsa>(acc, terms, n, Values(), end, fresh);
    }

    VELMORA_RESIZE_INLINE void Output(T* dst) const {
        if constexpr (L == OneCh) {
            SuperSampleOutputRowOne<T, P>(reinterpret_cast<const SuperSampleAcc<T>*>(acc), dst,
                                          srcCols, dstWidth, xRatio, scale, mode);
            return;
        }
        int64_t begin = 0, end = 0;
        if constexpr (M::kPacked32f)
            M::PackedOutput(dst, static_cast<int64_t>(dstWidth) * 4, begin, end);
        SuperSampleOutputRowQuad<T, P::kIsa>(acc, dst, srcCols, dstWidth, blocks, scale,
                                             L != MultiCh, begin, end);
    }
};

// Inlined into every member, so that each is compiled for its variant's
// instruction set.
template <typename T, SuperSampleLayout L, class P>
VELMORA_RESIZE_INLINE int32_t SuperSampleKernel(const T* pSrc, T* pDst, int32_t srcStep,
                                                int32_t dstStep, int32_t srcCols, int32_t srcRows,
                                                int32_t dstWidth, int32_t dstHeight, double xRatio,
                                                double yRatio, double scale, int32_t nChannels,
                                                int32_t mode) {
    using M = SuperSampleModel<T, L, P::kForm>;
    using Acc = SuperSampleAcc<T>;
    if (mode < 0 || mode > 3) return STS_OK;
    const int32_t stride = L == MultiCh ? nChannels : M::kSummed;
    const int64_t elements = static_cast<int64_t>(srcCols) * stride;
    // Vector bodies: four-sample pixels in the fractional modes and, for 32f,
    // in mode 0 (whole float rows sum alike in every form but the OneCh one,
    // whose Store form sums its tail in double precision); the rows of
    // one-sample pixels in the fractional modes. The Sse members pack only
    // the float rows of OneCh and FourCh pixels.
    const bool fourSamples = stride == 4 && (mode != 0 || M::kFloat);
    const bool packedRows = P::kVector || (P::kIsa == SuperSampleIsa::Sse && M::kPacked32f);
    const bool quad = packedRows && (fourSamples || (L == OneCh && mode != 0));
    // The vector bodies of four-sample pixels keep the horizontal walk's
    // blocks after the working row: the walk is the same for every output row.
    const int64_t blockElements = quad && fourSamples
                                      ? static_cast<int64_t>(std::max(dstWidth, 0)) *
                                            static_cast<int64_t>(sizeof(SuperSampleBlock) / 4)
                                      : 0;
    if (elements < 1 || elements + blockElements > INT32_MAX / 4) return STS_NO_MEM_ERR;
    const auto bytes = static_cast<int32_t>(elements * 4);
    const bool integer = mode == 0 && !M::kFloat;
    void* row =
        integer ? P::Alloc8u(bytes) : P::Alloc32s(static_cast<int32_t>(elements + blockElements));
    if (row == nullptr) return STS_NO_MEM_ERR;
    auto* acc = static_cast<Acc*>(row);
    auto* accFloat = static_cast<float*>(row);
    const int64_t lastRow = srcRows - 1;
    auto rowAt = [&](int64_t r) VELMORA_LAMBDA_INLINE {
        return SuperSampleRow(pSrc, srcStep, SuperSampleClamp(r, lastRow));
    };
    SuperSampleWalk walk(yRatio, (mode & 1) != 0);
    const bool vectorOutput =
        VectorOutput<T, L, P>(mode, stride, srcCols, dstWidth, xRatio, yRatio, scale);
    // Small blocks sum in 16 bits and scale in integers.
    SuperSampleDivisor sums16;
    if (std::is_same_v<T, uint8_t> && vectorOutput &&
        std::floor(xRatio) * std::floor(yRatio) * 255.0 <= 32767.0)
        sums16 = SuperSampleFindDivisor(
            scale, 255 * static_cast<int32_t>(std::floor(xRatio) * std::floor(yRatio)));
    auto* blocks = reinterpret_cast<SuperSampleBlock*>(accFloat + elements);
    if (quad && fourSamples) {
        SuperSampleWalk columns(xRatio, (mode & 2) != 0);
        for (int32_t j = 0; j < dstWidth; ++j)
            blocks[j] = columns.Next();
    }
    const QuadRows<T, L, P> quadRows{accFloat, blocks, srcCols, dstWidth, xRatio, scale, mode};
    T* dstRow = pDst;
    auto nextRow = [&]() VELMORA_LAMBDA_INLINE {
        dstRow = reinterpret_cast<T*>(reinterpret_cast<uint8_t*>(dstRow) +
                                      static_cast<ptrdiff_t>(dstStep));
    };
    for (int32_t i = 0; i < dstHeight; ++i) {
        const SuperSampleBlock b = walk.Next();
        if (quad) {
            quadRows.Block(b, rowAt);
            quadRows.Output(dstRow);
            nextRow();
            continue;
        }
        int64_t k = 0;
        if (mode == 0)
            k = std::clamp<int64_t>(lastRow + 1 - b.whole, 0, std::max<int64_t>(b.count, 0));
        // Store-form sums overwrite every element the vector output uses (the
        // fourth stays as the first clear left it): one clear is enough.
        if (sums16.found && k == b.count) {
            // Every row of the block lies in the region: 16-bit sums, no
            // accumulator row.
            const auto* src = reinterpret_cast<const uint8_t*>(rowAt(b.whole));
            auto* out = reinterpret_cast<uint8_t*>(dstRow);
            const auto kx = static_cast<int64_t>(xRatio);
            const auto rows = static_cast<int32_t>(k);
            int32_t done = 0;
            if constexpr (std::is_same_v<P, SuperSamplePolicy_Ssse3>) {
                if (kx == 2 && rows == 2)
                    done = SuperSampleHalveTwoRowsShuffled(src, srcStep, out, dstWidth, sums16,
                                                           L == MultiCh);
            }
            if (kx == 2 && done == 0)
                done = SuperSampleHalveRow(src, srcStep, rows, out, dstWidth, sums16, L == MultiCh);
            const int64_t first = done * kx * 4;
            SuperSampleSumRows16(src + first, srcStep, (dstWidth - done) * kx * 4, rows,
                                 static_cast<uint16_t*>(row));
            SuperSampleOutputSums16(static_cast<const uint16_t*>(row), out + done * 4,
                                    dstWidth - done, kx, sums16, L == MultiCh);
            nextRow();
            continue;
        }
        if (!vectorOutput || sums16.found || i == 0 || k == 0) P::Zero(row, bytes);
        if (b.hasFirst) M::AddWeighted(accFloat, rowAt(b.first), srcCols, stride, b.firstWeight);
        if (mode == 0) {
            if (k > 0)
                P::template SumRows<T, L>(rowAt(b.whole), srcStep, srcCols, static_cast<int32_t>(k),
                                          acc, nChannels);
        }
        for (; k < b.count; ++k) {
            if (integer)
                M::AddWhole(acc, rowAt(b.whole + k), srcCols, stride);
            else
                M::AddWhole(accFloat, rowAt(b.whole + k), srcCols, stride);
        }
        if (b.hasLast) M::AddWeighted(accFloat, rowAt(b.last), srcCols, stride, b.lastWeight);
        if constexpr (!M::kFloat) {
            if (vectorOutput)
                SuperSampleOutputQuad(acc, dstRow, dstWidth, static_cast<int64_t>(xRatio), scale,
                                      L == MultiCh);
        }
        if constexpr (L == OneCh)
            SuperSampleOutputRowOne<T, P>(acc, dstRow, srcCols, dstWidth, xRatio, scale, mode);
        else if (!vectorOutput)
            M::OutputRow(acc, dstRow, srcCols, stride, stride, dstWidth, xRatio, scale, mode);
        nextRow();
    }
    AlignedFree(row);
    return STS_OK;
}

}  // namespace

#define VELMORA_SUPERSAMPLE_MULTI_DEFINE(name, T, V, target)                                       \
    target int32_t name(const T* pSrc, T* pDst, int32_t srcStep, int32_t dstStep, int32_t srcCols, \
                        int32_t srcRows, int32_t dstWidth, int32_t dstHeight, double xRatio,       \
                        double yRatio, double scale, int32_t nChannels, int32_t mode) {            \
        return SuperSampleKernel<T, MultiCh, SuperSamplePolicy_##V>(                               \
            pSrc, pDst, srcStep, dstStep, srcCols, srcRows, dstWidth, dstHeight, xRatio, yRatio,   \
            scale, nChannels, mode);                                                               \
    }
#define VELMORA_SUPERSAMPLE_DEFINE(name, T, L, V, target)                                          \
    target int32_t name(const T* pSrc, T* pDst, int32_t srcStep, int32_t dstStep, int32_t srcCols, \
                        int32_t srcRows, int32_t dstWidth, int32_t dstHeight, double xRatio,       \
                        double yRatio, double scale, int32_t mode) {                               \
        return SuperSampleKernel<T, L, SuperSamplePolicy_##V>(                                     \
            pSrc, pDst, srcStep, dstStep, srcCols, srcRows, dstWidth, dstHeight, xRatio, yRatio,   \
            scale, 0, mode);                                                                       \
    }
#define VELMORA_SUPERSAMPLE_MEMBERS(V, target)                                              \
    VELMORA_SUPERSAMPLE_MULTI_DEFINE(ResizeSuperSampleMultiCh8u_##V, uint8_t, V, target)    \
    VELMORA_SUPERSAMPLE_MULTI_DEFINE(ResizeSuperSampleMultiCh16u_##V, uint16_t, V, target)  \
    VELMORA_SUPERSAMPLE_MULTI_DEFINE(ResizeSuperSampleMultiCh32f_##V, float, V, target)     \
    VELMORA_SUPERSAMPLE_DEFINE(ResizeSuperSampleOneCh8u_##V, uint8_t, OneCh, V, target)     \
    VELMORA_SUPERSAMPLE_DEFINE(ResizeSuperSampleOneCh16u_##V, uint16_t, OneCh, V, target)   \
    VELMORA_SUPERSAMPLE_DEFINE(ResizeSuperSampleOneCh32f_##V, float, OneCh, V, target)      \
    VELMORA_SUPERSAMPLE_DEFINE(ResizeSuperSampleFourCh8u_##V, uint8_t, FourCh, V, target)   \
    VELMORA_SUPERSAMPLE_DEFINE(ResizeSuperSampleFourCh16u_##V, uint16_t, FourCh, V, target) \
    VELMORA_SUPERSAMPLE_DEFINE(ResizeSuperSampleFourCh32f_##V, float, FourCh, V, target)

VELMORA_SUPERSAMPLE_MEMBERS(Generic, )
VELMORA_SUPERSAMPLE_MEMBERS(Sse, __attribute__((target("sse"))))
VELMORA_SUPERSAMPLE_MEMBERS(Sse2, __attribute__((target("sse2"))))
VELMORA_SUPERSAMPLE_MEMBERS(Sse3, __attribute__((target("sse3"))))
VELMORA_SUPERSAMPLE_MEMBERS(Ssse3, __attribute__((target("ssse3"))))

}  // namespace velmora::resize

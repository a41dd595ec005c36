#pragma once

// Row sums of the super-sampling kernels: a block of `nRows` source rows is
// added column by column into a row of accumulators (32-bit unsigned for 8u
// and 16u samples, float for 32f), one element per sample position of the
// row in the source's interleaved order. MultiCh pixels sum samples 0-2,
// FourCh pixels all four, OneCh one sample per position.
//
// Two forms share one scalar model (SuperSampleSumRowsModel):
//  - Add (Generic, Sse): the sums are added into what the accumulator holds,
//    pixels `nChannels` samples apart;
//  - Store (Sse2, Sse3, Ssse3): each summed element is overwritten with the
//    block's sum, MultiCh pixels 4 samples apart when nChannels is 4 and 3
//    apart otherwise; OneCh 32f sums its last width mod 16 samples in double
//    precision and rounds them once.
// Float sums are formed row by row in row order. Nothing happens when
// nRows < 1 or width < 1. The Sse variant has no MultiCh 8u and 16u members
// of its own: its kernels call the Generic ones.

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace velmora::resize {

enum class SuperSampleLayout { MultiCh, OneCh, FourCh };
enum class RowSumForm { Add, Store };

template <typename T>
using SuperSampleAcc = std::conditional_t<std::is_same_v<T, float>, float, uint32_t>;

// Samples of a pixel that the layout resizes.
template <SuperSampleLayout L>
constexpr int32_t SuperSampleChannels() {
    return L == SuperSampleLayout::OneCh ? 1 : L == SuperSampleLayout::FourCh ? 4 : 3;
}

template <typename T>
inline const T* SuperSampleRow(const T* first, int32_t srcStep, int64_t r) {
    return reinterpret_cast<const T*>(reinterpret_cast<const uint8_t*>(first) +
                                      static_cast<ptrdiff_t>(r) * srcStep);
}

template <typename T, SuperSampleLayout L, RowSumForm F>
inline void SuperSampleSumRowsModel(const T* srcRow, int32_t srcStep, int32_t width, int32_t nRows,
                                    SuperSampleAcc<T>* acc, int32_t nChannels) {
    if (nRows < 1 || width < 1) return;
    constexpr int32_t kSummed = SuperSampleChannels<L>();
    int32_t stride = kSummed;
    if constexpr (L == SuperSampleLayout::MultiCh)
        stride = F == RowSumForm::Store ? (nChannels == 4 ? 4 : 3) : nChannels;
    // The Store form starts every sum from zero: the same sums as adding into
    // a cleared accumulator, whatever the accumulator held.
    constexpr bool kDoubleTail =
        F == RowSumForm::Store && L == SuperSampleLayout::OneCh && std::is_same_v<T, float>;
    const int32_t rowEnd = kDoubleTail ? width - width % 16 : width;
    if constexpr (F == RowSumForm::Store) {
        for (int32_t p = 0; p < rowEnd; ++p)
            for (int32_t c = 0; c < kSummed; ++c)
                acc[static_cast<ptrdiff_t>(p) * stride + c] = 0;
    }
    constexpr bool kIntegerQuad = L == SuperSampleLayout::MultiCh && !std::is_same_v<T, float>;
    // Pixel strides of 3 and 4 as constants, so that the loops vectorise.
    auto addRows = [&](auto strideConstant) {
        const int32_t pixelStride = strideConstant == 0 ? stride : strideConstant;
        for (int32_t r = 0; r < nRows; ++r) {
            // The row and the accumulator never overlap; 8-bit samples
            // would otherwise keep the compiler from vectorising.
            const T* __restrict s = SuperSampleRow(srcRow, srcStep, r);
            SuperSampleAcc<T>* __restrict a = acc;
            for (int32_t p = 0; p < rowEnd; ++p) {
                const ptrdiff_t o = static_cast<ptrdiff_t>(p) * pixelStride;
                if constexpr (kIntegerQuad && decltype(strideConstant)::value == 4) {
                    // Integer sums of 3 of 4 samples as four lanes, the fourth
                    // adding 0 (its element keeps its value).
                    for (int32_t c = 0; c < 4; ++c)
                        a[o + c] += c < 3 ? static_cast<SuperSampleAcc<T>>(s[o + c]) : 0u;
                } else {
                    for (int32_t c = 0; c < kSummed; ++c)
                        a[o + c] += static_cast<SuperSampleAcc<T>>(s[o + c]);
                }
            }
        }
    };
    if (stride == kSummed)
        addRows(std::integral_constant<int32_t, kSummed>{});
    else if (stride == 4)
        addRows(std::integral_constant<int32_t, 4>{});
    else
        addRows(std::integral_constant<int32_t, 0>{});
    if constexpr (kDoubleTail) {
        for (int32_t p = rowEnd; p < width; ++p) {
            double sum = 0.0;
            for (int32_t r = 0; r < nRows; ++r)
                sum += SuperSampleRow(srcRow, srcStep, r)[p];
            acc[p] = static_cast<float>(sum);
        }
    }
}

#define VELMORA_SUMROWS_MULTI_DECLARE(name, T)                                \
    void name(const T* srcRow, int32_t srcStep, int32_t width, int32_t nRows, \
              SuperSampleAcc<T>* acc, int32_t nChannels);
#define VELMORA_SUMROWS_DECLARE(name, T)                                      \
    void name(const T* srcRow, int32_t srcStep, int32_t width, int32_t nRows, \
              SuperSampleAcc<T>* acc);

#define VELMORA_SUMROWS_VARIANT(V, MULTI, ONE)           \
    MULTI(ResizeSuperSampleSumRowsMultiCh32f_##V, float) \
    ONE(ResizeSuperSampleSumRowsOneCh8u_##V, uint8_t)    \
    ONE(ResizeSuperSampleSumRowsOneCh16u_##V, uint16_t)  \
    ONE(ResizeSuperSampleSumRowsOneCh32f_##V, float)     \
    ONE(ResizeSuperSampleSumRowsFourCh8u_##V, uint8_t)   \
    ONE(ResizeSuperSampleSumRowsFourCh16u_##V, uint16_t) \
    ONE(ResizeSuperSampleSumRowsFourCh32f_##V, float)
#define VELMORA_SUMROWS_INTEGER_MULTI(V, MULTI)           \
    MULTI(ResizeSuperSampleSumRowsMultiCh8u_##V, uint8_t) \
    MULTI(ResizeSuperSampleSumRowsMultiCh16u_##V, uint16_t)

VELMORA_SUMROWS_INTEGER_MULTI(Generic, VELMORA_SUMROWS_MULTI_DECLARE)
VELMORA_SUMROWS_VARIANT(Generic, VELMORA_SUMROWS_MULTI_DECLARE, VELMORA_SUMROWS_DECLARE)
VELMORA_SUMROWS_VARIANT(Sse, VELMORA_SUMROWS_MULTI_DECLARE, VELMORA_SUMROWS_DECLARE)
VELMORA_SUMROWS_INTEGER_MULTI(Sse2, VELMORA_SUMROWS_MULTI_DECLARE)
VELMORA_SUMROWS_VARIANT(Sse2, VELMORA_SUMROWS_MULTI_DECLARE, VELMORA_SUMROWS_DECLARE)
VELMORA_SUMROWS_INTEGER_MULTI(Sse3, VELMORA_SUMROWS_MULTI_DECLARE)
VELMORA_SUMROWS_VARIANT(Sse3, VELMORA_SUMROWS_MULTI_DECLARE, VELMORA_SUMROWS_DECLARE)
VELMORA_SUMROWS_INTEGER_MULTI(Ssse3, VELMORA_SUMROWS_MULTI_DECLARE)
VELMORA_SUMROWS_VARIANT(Ssse3, VELMORA_SUMROWS_MULTI_DECLARE, VELMORA_SUMROWS_DECLARE)

}  // namespace velmora::resize

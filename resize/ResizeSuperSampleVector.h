#pragma once

// Vector bodies of the super-sampling members, written once and inlined into
// each member, so that they are compiled for its instruction set. They
// compute exactly what the scalar model of the member's form computes:
//  - the Store-form row sums over a contiguous run of elements (MultiCh
//    pixels 3 samples apart, OneCh, FourCh; MultiCh pixels 4 samples apart
//    keep their fourth element as it was), and the Add-form 32f row sums of
//    the Sse members, and their Add-form 8u and 16u row sums;
//  - the output row of whole blocks of pixels 4 samples apart (mode 0 of
//    MultiCh and FourCh 8u and 16u), while every block sum fits in 31 bits,
//    with the 2 x 2 blocks of 8u straight from the source rows;
//  - the float working row of the Sse2, Sse3 and Ssse3 members: the rows of
//    the fractional modes (and of mode 0 of 32f pixels 4 samples apart), and
//    the horizontal and output passes of pixels 4 samples apart;
//  - the block sums of one-sample pixels of those members and of the Sse
//    members, and the packed output stretch of their one-sample 32f rows;
//  - the float rows of the Sse members' OneCh32f and FourCh32f pixels and
//    the packed output of the FourCh32f ones, in single-precision SSE
//    instructions only.
// A three-of-four output never reads or writes a pixel's fourth sample.

#include <emmintrin.h>
#include <tmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "resize/ResizeLanes.h"
#include "resize/ResizeLinearRowModel.h"  // VELMORA_RESIZE_INLINE
#include "resize/ResizeSuperSampleModel.h"
#include "resize/ResizeSuperSampleRows.h"

namespace velmora::resize {

// The instructions a vector body may use: Sse has no packed doubles and no
// integer SSE registers.
enum class SuperSampleIsa { Scalar, Sse, Sse2 };

// Rows of 255 whose sum still fits in 16 bits.
inline constexpr int32_t kSuperSampleRows16 = 257;

VELMORA_RESIZE_INLINE __m128i SuperSampleLoad(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

// Overwrites the elements of `acc` that `keep` leaves clear with `sum`.
VELMORA_RESIZE_INLINE void SuperSampleStore(uint32_t* acc, __m128i sum, __m128i keep) {
    auto* p = reinterpret_cast<__m128i*>(acc);
    const __m128i old = _mm_loadu_si128(p);
    _mm_storeu_si128(p, _mm_or_si128(_mm_andnot_si128(keep, sum), _mm_and_si128(keep, old)));
}

// Four output pixels of four bytes. With keepFourth the fourth byte of each
// pixel is neither read nor written.
VELMORA_RESIZE_INLINE void SuperSampleStorePixels(uint8_t* dst, __m128i bytes, bool keepFourth) {
    if (!keepFourth) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes);
        return;
    }
    StoreThreeOfFour8u(dst, bytes);
}

// 16 columns of 8u: 16-bit partial sums over batches of at most 257 rows,
// widened into 32-bit totals that wrap as the scalar sums do.
VELMORA_RESIZE_INLINE void SuperSampleSumColumns8u(const uint8_t* s, int32_t srcStep, int32_t nRows,
                                                   uint32_t* acc, __m128i keep) {
    const __m128i zero = _mm_setzero_si128();
    __m128i total[4] = {zero, zero, zero, zero};
    for (int32_t r = 0; r < nRows;) {
        const int32_t batchEnd = nRows - r > kSuperSampleRows16 ? r + kSuperSampleRows16 : nRows;
        __m128i lo = zero, hi = zero;
        for (; r < batchEnd; ++r) {
            const __m128i b = SuperSampleLoad(SuperSampleRow(s, srcStep, r));
            lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(b, zero));
            hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(b, zero));
        }
        total[0] = _mm_add_epi32(total[0], _mm_unpacklo_epi16(lo, zero));
        total[1] = _mm_add_epi32(total[1], _mm_unpackhi_epi16(lo, zero));
        total[2] = _mm_add_epi32(total[2], _mm_unpacklo_epi16(hi, zero));
        total[3] = _mm_add_epi32(total[3], _mm_unpackhi_epi16(hi, zero));
    }
    for (int32_t q = 0; q < 4; ++q)
        SuperSampleStore(acc + 4 * q, total[q], keep);
}

// 8 columns of 16u, added in 32 bits.
VELMORA_RESIZE_INLINE void SuperSampleSumColumns16u(const uint16_t* s, int32_t srcStep,
                                                    int32_t nRows, uint32_t* acc, __m128i keep) {
    const __m128i zero = _mm_setzero_si128();
    __m128i lo = zero, hi = zero;
    for (int32_t r = 0; r < nRows; ++r) {
        const __m128i w = SuperSampleLoad(SuperSampleRow(s, srcStep, r));
        lo = _mm_add_epi32(lo, _mm_unpacklo_epi16(w, zero));
        hi = _mm_add_epi32(hi, _mm_unpackhi_epi16(w, zero));
    }
    SuperSampleStore(acc, lo, keep);
    SuperSampleStore(acc + 4, hi, keep);
}

// 4 columns of 32f, single-precision running sums from zero in row order.
VELMORA_RESIZE_INLINE void SuperSampleSumColumns32f(const float* s, int32_t srcStep, int32_t nRows,
                                                    float* acc, __m128i keep) {
    __m128 sum = _mm_setzero_ps();
    for (int32_t r = 0; r < nRows; ++r)
        sum = _mm_add_ps(sum, _mm_loadu_ps(SuperSampleRow(s, srcStep, r)));
    SuperSampleStore(reinterpret_cast<uint32_t*>(acc), _mm_castps_si128(sum), keep);
}

// Store-form row sums. Elements past the last whole vector (for OneCh 32f
// the last width mod 16 samples, summed in double precision) go through the
// scalar model.
template <typename T, SuperSampleLayout L>
VELMORA_RESIZE_INLINE void SuperSampleSumRowsStore(const T* srcRow, int32_t srcStep, int32_t width,
                                                   int32_t nRows, SuperSampleAcc<T>* acc,
                                                   int32_t nChannels) {
    if (nRows < 1 || width < 1) return;
    const bool keepFourth = L == SuperSampleLayout::MultiCh && nChannels == 4;
    const int32_t stride =
        L == SuperSampleLayout::MultiCh ? (keepFourth ? 4 : 3) : SuperSampleChannels<L>();
    const __m128i keep = keepFourth ? _mm_setr_epi32(0, 0, 0, -1) : _mm_setzero_si128();
    constexpr int32_t kColumns = 16 / sizeof(T);
    // Whole pixels, so that the model finishes on a pixel boundary.
    constexpr bool kDoubleTail = L == SuperSampleLayout::OneCh && std::is_same_v<T, float>;
    const int64_t elements =
        kDoubleTail ? width - width % 16 : static_cast<int64_t>(width) * stride;
    int64_t e = 0;
    for (; e + kColumns <= elements; e += kColumns) {
        if constexpr (std::is_same_v<T, uint8_t>)
            SuperSampleSumColumns8u(srcRow + e, srcStep, nRows, acc + e, keep);
        else if constexpr (std::is_same_v<T, uint16_t>)
            SuperSampleSumColumns16u(srcRow + e, srcStep, nRows, acc + e, keep);
        else
            SuperSampleSumColumns32f(srcRow + e, srcStep, nRows, acc + e, keep);
    }
    const auto done = static_cast<int32_t>(e / stride);
    SuperSampleSumRowsModel<T, L, RowSumForm::Store>(srcRow + done * stride, srcStep, width - done,
                                                     nRows, acc + done * stride, nChannels);
}

// Add-form row sums of 32f samples (the Sse members): each element plus the
// block's rows in row order, four elements a step with SSE instructions, on
// whole pixels of 1, 3 or 4 samples (of which 3 summed); the rest, and other
// pixel strides, through the scalar model.
template <SuperSampleLayout L>
VELMORA_RESIZE_INLINE void SuperSampleSumRowsAdd32f(const float* srcRow, int32_t srcStep,
                                                    int32_t width, int32_t nRows, float* acc,
                                                    int32_t nChannels) {
    if (nRows < 1 || width < 1) return;
    const int32_t stride = L == SuperSampleLayout::MultiCh ? nChannels : SuperSampleChannels<L>();
    const bool keepFourth = L == SuperSampleLayout::MultiCh && stride == 4;
    int64_t end = 0;
    if (L != SuperSampleLayout::MultiCh || stride == 3 || stride == 4) {
        // Whole steps of whole pixels: the model adds each element once more.
        const int64_t elements = static_cast<int64_t>(width) * stride;
        end = elements - elements % (stride == 3 ? 12 : 4);
    }
    for (int64_t e = 0; e < end; e += 4) {
        __m128 sum = _mm_loadu_ps(acc + e);
        for (int32_t r = 0; r < nRows; ++r)
            sum = _mm_add_ps(sum, _mm_loadu_ps(SuperSampleRow(srcRow, srcStep, r) + e));
        if (keepFourth) {
            _mm_storel_pi(reinterpret_cast<__m64*>(acc + e), sum);
            _mm_store_ss(acc + e + 2, _mm_movehl_ps(sum, sum));
        } else {
            _mm_storeu_ps(acc + e, sum);
        }
    }
    const auto done = static_cast<int32_t>(end / stride);
    SuperSampleSumRowsModel<float, L, RowSumForm::Add>(
        srcRow + static_cast<ptrdiff_t>(done) * stride, srcStep, width - done, nRows,
        acc + static_cast<ptrdiff_t>(done) * stride, nChannels);
}

// Add-form row sums of 8u and 16u samples (the Sse members' OneCh and FourCh
// rows): two elements a step in a 64-bit MMX register, widened by unpacking
// against zero; whole numbers that wrap in 32 bits as the model's do, so the
// order of the additions cannot show. An odd last element goes through the
// scalar model.
template <typename T, SuperSampleLayout L>
VELMORA_RESIZE_INLINE void SuperSampleSumRowsAddMmx(const T* srcRow, int32_t srcStep, int32_t width,
                                                    int32_t nRows, uint32_t* acc) {
    if (nRows < 1 || width < 1) return;
    const int64_t elements = static_cast<int64_t>(width) * SuperSampleChannels<L>();
    const int64_t end = elements - elements % 2;
    const __m64 zero = _mm_setzero_si64();
    for (int64_t e = 0; e < end; e += 2) {
        __m64 sum;
        std::memcpy(&sum, acc + e, 8);
        for (int32_t r = 0; r < nRows; ++r) {
            uint32_t pair = 0;
            std::memcpy(&pair, SuperSampleRow(srcRow, srcStep, r) + e, 2 * sizeof(T));
            __m64 v = _mm_cvtsi32_si64(static_cast<int32_t>(pair));
            if constexpr (sizeof(T) == 1) v = _mm_unpacklo_pi8(v, zero);
            sum = _mm_add_pi32(sum, _mm_unpacklo_pi16(v, zero));
        }
        std::memcpy(acc + e, &sum, 8);
    }
    _mm_empty();
    const auto done = static_cast<int32_t>(end / SuperSampleChannels<L>());
    SuperSampleSumRowsModel<T, L, RowSumForm::Add>(srcRow + done * SuperSampleChannels<L>(),
                                                   srcStep, width - done, nRows,
                                                   acc + done * SuperSampleChannels<L>(), 0);
}

// Output of one row of whole kx-pixel blocks, pixels 4 samples apart: the
// model's double product and truncation, lane by lane. keepFourth leaves
// the fourth byte of every output pixel unread and unwritten. Every block sum must be
// below 2^31.
VELMORA_RESIZE_INLINE __m128i SuperSampleScaleBlocks(__m128i sum, __m128d scale) {
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d lo = _mm_add_pd(_mm_mul_pd(_mm_cvtepi32_pd(sum), scale), half);
    const __m128d hi =
        _mm_add_pd(_mm_mul_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(sum, sum)), scale), half);
    return _mm_unpacklo_epi64(_mm_cvttpd_epi32(lo), _mm_cvttpd_epi32(hi));
}

template <typename T>
VELMORA_RESIZE_INLINE void SuperSampleOutputQuad(const uint32_t* row, T* dst, int32_t dstWidth,
                                                 int64_t kx, double scale, bool keepFourth) {
    const __m128d scaleV = _mm_set1_pd(scale);
    // Values within the sample's range pack without saturation; the model's
    // narrowing keeps the same low bits.
    const __m128i low = _mm_set1_epi32(std::is_same_v<T, uint8_t> ? 0xFF : 0xFFFF);
    auto block = [&](int64_t j) VELMORA_LAMBDA_INLINE {
        const uint32_t* p = row + j * kx * 4;
        __m128i sum = SuperSampleLoad(p);
        for (int64_t q = 1; q < kx; ++q)
            sum = _mm_add_epi32(sum, SuperSampleLoad(p + q * 4));
        return _mm_and_si128(SuperSampleScaleBlocks(sum, scaleV), low);
    };
    int32_t j = 0;
    if constexpr (std::is_same_v<T, uint8_t>) {
        for (; j + 4 <= dstWidth; j += 4) {
            const __m128i a = _mm_packs_epi32(block(j), block(j + 1));
            const __m128i b = _mm_packs_epi32(block(j + 2), block(j + 3));
            SuperSampleStorePixels(dst + static_cast<ptrdiff_t>(j) * 4, _mm_packus_epi16(a, b),
                                   keepFourth);
        }
    } else {
        for (; j < dstWidth; ++j) {
            // Sign-extended from 16 bits, so that the signed pack keeps them.
            const __m128i v = _mm_srai_epi32(_mm_slli_epi32(block(j), 16), 16);
            const __m128i w = _mm_packs_epi32(v, v);
            T* d = dst + static_cast<ptrdiff_t>(j) * 4;
            if (!keepFourth) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(d), w);
                continue;
            }
            const int32_t first = _mm_cvtsi128_si32(w);
            std::memcpy(d, &first, 4);
            d[2] = static_cast<T>(_mm_extract_epi16(w, 2));
        }
    }
    for (; j < dstWidth; ++j) {
        alignas(16) uint32_t v[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(v), block(j));
        for (int32_t c = 0; c < (keepFourth ? 3 : 4); ++c)
            dst[static_cast<ptrdiff_t>(j) * 4 + c] = static_cast<T>(v[c]);
    }
}

}  // namespace velmora::resize

namespace velmora::resize {

// trunc(sum * scale + 0.5) of the model as (sum * m + c) >> shift with 16-bit
// m and c, proved equal for every block sum 0..maxSum (at most 32767) before
// use; `found` is false where no such form exists or a result could pass 255.
struct SuperSampleDivisor {
    int32_t multiplier = 0;
    int32_t shift = 0;
    bool found = false;
};

inline SuperSampleDivisor SuperSampleFindDivisor(double scale, int32_t maxSum) {
    SuperSampleDivisor d;
    // Results above 255 would saturate where the model keeps the low byte.
    if (!(scale > 0.0) || maxSum > 32767 || static_cast<double>(maxSum) * scale > 255.0) return d;
    auto model = [&](int32_t s) {
        return static_cast<int32_t>(static_cast<int64_t>(static_cast<double>(s) * scale + 0.5));
    };
    for (int32_t shift = 1; shift <= 30; ++shift) {
        const double target = std::ldexp(scale, shift);
        const int32_t bias = 1 << (shift - 1);
        if (bias > 32767) break;
        for (const double candidate : {std::floor(target), std::ceil(target)}) {
            if (candidate < 0.0 || candidate > 32767.0) continue;
            const auto m = static_cast<int32_t>(candidate);
            bool equal = true;
            for (int32_t s = 0; s <= maxSum && equal; ++s)
                equal = ((s * m + bias) >> shift) == model(s);
            if (equal) {
                d.multiplier = m | bias << 16;
                d.shift = shift;
                d.found = true;
                return d;
            }
        }
    }
    return d;
}

// 16-bit column sums of `nRows` rows of `elements` bytes (at most 257 rows).
VELMORA_RESIZE_INLINE void SuperSampleSumRows16(const uint8_t* src, int32_t srcStep,
                                                int64_t elements, int32_t nRows, uint16_t* sums) {
    const __m128i zero = _mm_setzero_si128();
    int64_t e = 0;
    for (; e + 16 <= elements; e += 16) {
        __m128i lo = zero, hi = zero;
        for (int32_t r = 0; r < nRows; ++r) {
            const __m128i b = SuperSampleLoad(SuperSampleRow(src, srcStep, r) + e);
            lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(b, zero));
            hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(b, zero));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + e), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + e + 8), hi);
    }
    for (; e < elements; ++e) {
        uint32_t s = 0;
        for (int32_t r = 0; r < nRows; ++r)
            s += SuperSampleRow(src, srcStep, r)[e];
        sums[e] = static_cast<uint16_t>(s);
    }
}

// Eight 16-bit block sums to eight results of the divisor: in 16 bits where
// the multiplier is 1, otherwise as s * m + c in 32 bits.
struct SuperSampleScaler {
    explicit SuperSampleScaler(const SuperSampleDivisor& d)
        : ones(_mm_set1_epi16(1)),
          mc(_mm_set1_epi32(d.multiplier)),
          bias(_mm_set1_epi16(static_cast<int16_t>(d.multiplier >> 16))),
          shift(_mm_cvtsi32_si128(d.shift)),
          plain((d.multiplier & 0xFFFF) == 1) {}
    VELMORA_RESIZE_INLINE __m128i operator()(__m128i s) const {
        return plain ? Apply<true>(s) : Apply<false>(s);
    }
    template <bool Plain>
    VELMORA_RESIZE_INLINE __m128i Apply(__m128i s) const {
        if constexpr (Plain) return _mm_srl_epi16(_mm_add_epi16(s, bias), shift);
        const __m128i lo = _mm_srl_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(s, ones), mc), shift);
        const __m128i hi = _mm_srl_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(s, ones), mc), shift);
        return _mm_packs_epi32(lo, hi);
    }
    __m128i ones, mc, bias, shift;
    bool plain;
};

// Sixteen result bytes (four pixels) stored.
VELMORA_RESIZE_INLINE void SuperSampleStoreQuad(uint8_t* dst, __m128i a, __m128i b,
                                                bool keepFourth) {
    SuperSampleStorePixels(dst, _mm_packus_epi16(a, b), keepFourth);
}

// Output of one row of whole kx-pixel blocks from 16-bit column sums of
// pixels 4 samples apart; keepFourth leaves every fourth byte unread and
// unwritten.
VELMORA_RESIZE_INLINE void SuperSampleOutputSums16(const uint16_t* sums, uint8_t* dst,
                                                   int32_t dstWidth, int64_t kx,
                                                   const SuperSampleDivisor& d, bool keepFourth) {
    const SuperSampleScaler scale(d);
    auto block = [&](int64_t j) VELMORA_LAMBDA_INLINE {
        const uint16_t* p = sums + j * kx * 4;
        __m128i sum = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        for (int64_t q = 1; q < kx; ++q)
            sum = _mm_add_epi16(sum, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + q * 4)));
        return sum;
    };
    int32_t j = 0;
    for (; j + 4 <= dstWidth; j += 4)
        SuperSampleStoreQuad(dst + static_cast<ptrdiff_t>(j) * 4,
                             scale(_mm_unpacklo_epi64(block(j), block(j + 1))),
                             scale(_mm_unpacklo_epi64(block(j + 2), block(j + 3))), keepFourth);
    for (; j < dstWidth; ++j) {
        alignas(16) uint16_t v[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(v), scale(block(j)));
        for (int32_t c = 0; c < (keepFourth ? 3 : 4); ++c)
            dst[static_cast<ptrdiff_t>(j) * 4 + c] = static_cast<uint8_t>(v[c]);
    }
}

// Blocks two pixels wide straight from the source rows, four output pixels
// at a time, no column sums stored. Returns the output pixels done.
VELMORA_RESIZE_INLINE int32_t SuperSampleHalveRow(const uint8_t* src, int32_t srcStep,
                                                  int32_t nRows, uint8_t* dst, int32_t dstWidth,
                                                  const SuperSampleDivisor& d, bool keepFourth) {
    const SuperSampleScaler scale(d);
    const __m128i zero = _mm_setzero_si128();
    // Column sums of 4 pixels folded to the 2 blocks they hold; two rows (a
    // 2 x 2 block) as a constant.
    auto run = [&](auto rowsConstant) VELMORA_LAMBDA_INLINE {
        const int32_t rows = rowsConstant == 0 ? nRows : rowsConstant;
        auto blocks = [&](ptrdiff_t e) VELMORA_LAMBDA_INLINE {
            __m128i lo = zero, hi = zero;
            for (int32_t r = 0; r < rows; ++r) {
                const __m128i b = SuperSampleLoad(SuperSampleRow(src, srcStep, r) + e);
                lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(b, zero));
                hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(b, zero));
            }
            return _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
        };
        int32_t j = 0;
        for (; j + 4 <= dstWidth; j += 4) {
            const ptrdiff_t e = static_cast<ptrdiff_t>(j) * 8;
            SuperSampleStoreQuad(dst + static_cast<ptrdiff_t>(j) * 4, scale(blocks(e)),
                                 scale(blocks(e + 16)), keepFourth);
        }
        return j;
    };
    return nRows == 2 ? run(std::integral_constant<int32_t, 2>{})
                      : run(std::integral_constant<int32_t, 0>{});
}

// Ssse3: blocks of two pixels and two rows, the pixel pairs of each row added
// by one byte shuffle and one multiply-add against ones (sums of at most 510,
// exact in 16 bits). Returns the output pixels done.
template <bool Plain, bool KeepFourth>
__attribute__((target("ssse3"))) inline int32_t SuperSampleHalveShuffled(
    const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstWidth,
    const SuperSampleScaler& scale) {
    const __m128i pairs = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m128i ones = _mm_set1_epi8(1);
    const uint8_t* below = src + srcStep;
    int32_t j = 0;
    for (; j + 4 <= dstWidth; j += 4) {
        const ptrdiff_t e = static_cast<ptrdiff_t>(j) * 8;
        const __m128i a = _mm_add_epi16(
            _mm_maddubs_epi16(_mm_shuffle_epi8(SuperSampleLoad(src + e), pairs), ones),
            _mm_maddubs_epi16(_mm_shuffle_epi8(SuperSampleLoad(below + e), pairs), ones));
        const __m128i b = _mm_add_epi16(
            _mm_maddubs_epi16(_mm_shuffle_epi8(SuperSampleLoad(src + e + 16), pairs), ones),
            _mm_maddubs_epi16(_mm_shuffle_epi8(SuperSampleLoad(below + e + 16), pairs), ones));
        SuperSampleStoreQuad(dst + static_cast<ptrdiff_t>(j) * 4, scale.Apply<Plain>(a),
                             scale.Apply<Plain>(b), KeepFourth);
    }
    return j;
}

__attribute__((target("ssse3"))) inline int32_t SuperSampleHalveTwoRowsShuffled(
    const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstWidth,
    const SuperSampleDivisor& d, bool keepFourth) {
    const SuperSampleScaler scale(d);
    if (scale.plain)
        return keepFourth
                   ? SuperSampleHalveShuffled<true, true>(src, srcStep, dst, dstWidth, scale)
                   : SuperSampleHalveShuffled<true, false>(src, srcStep, dst, dstWidth, scale);
    return keepFourth ? SuperSampleHalveShuffled<false, true>(src, srcStep, dst, dstWidth, scale)
                      : SuperSampleHalveShuffled<false, false>(src, srcStep, dst, dstWidth, scale);
}

}  // namespace velmora::resize

namespace velmora::resize {

// The loops of one-sample working rows in the Sse2, Sse3 and Ssse3 members:
// the interleaved block sums as two registers of four lanes, aligned loads
// (a step starts on a 16-byte boundary of the 32-byte aligned row), in
// single-precision instructions so that the Sse members share them; integer
// blocks of 7 or more elements four a step, in 64-bit lanes (exact).
struct SuperSampleVectorSums {
    template <typename At>
    VELMORA_RESIZE_INLINE static void Steps(At at, const float* row, bool inside, int64_t& p,
                                            int64_t end, float* a, float* b) {
        if (!inside) {
            SuperSampleScalarSums::Steps(at, row, inside, p, end, a, b);
            return;
        }
        // Lanes set from values, not loaded: a vector load of four scalar
        // stores cannot be forwarded and stalls blocks of one or two steps.
        __m128 va = _mm_setr_ps(a[0], a[1], a[2], a[3]);
        __m128 vb = _mm_setr_ps(b[0], b[1], b[2], b[3]);
        for (; p + 8 <= end; p += 8) {
            va = _mm_add_ps(va, _mm_load_ps(row + p));
            vb = _mm_add_ps(vb, _mm_load_ps(row + p + 4));
        }
        _mm_storeu_ps(a, va);
        _mm_storeu_ps(b, vb);
    }
    VELMORA_RESIZE_INLINE static uint64_t Whole(const uint32_t* block, int64_t kx) {
        if (kx < 7) return SuperSampleScalarSums::Whole(block, kx);
        const __m128i zero = _mm_setzero_si128();
        __m128i sum = zero;
        int64_t p = 0;
        for (; p + 4 <= kx; p += 4) {
            const __m128i v = SuperSampleLoad(block + p);
            sum = _mm_add_epi64(
                sum, _mm_add_epi64(_mm_unpacklo_epi32(v, zero), _mm_unpackhi_epi32(v, zero)));
        }
        uint64_t total = static_cast<uint64_t>(_mm_cvtsi128_si64(sum)) +
                         static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sum, sum)));
        for (; p < kx; ++p)
            total += block[p];
        return total;
    }
};

// The Sse members: the same interleaved float steps; integer blocks of 9 or
// more elements eight a step in 64-bit MMX registers, from an 8-byte
// boundary. MMX adds no 64-bit lanes, so each element is added as its two
// 16-bit halves into 32-bit lanes, which hold 2^14 steps before they are
// gathered: the sum stays exact past 2^32.
struct SuperSampleMmxSums : SuperSampleVectorSums {
    VELMORA_RESIZE_INLINE static uint64_t Whole(const uint32_t* block, int64_t kx) {
        if (kx < 9) return SuperSampleScalarSums::Whole(block, kx);
        int64_t p = 0;
        uint64_t total = 0;
        if (reinterpret_cast<uintptr_t>(block) % 8 != 0) total = block[p++];
        const __m64 low = _mm_set1_pi32(0xFFFF);
        auto lanes = [](__m64 v) VELMORA_LAMBDA_INLINE {
            return static_cast<uint64_t>(static_cast<uint32_t>(_mm_cvtsi64_si32(v))) +
                   static_cast<uint32_t>(_mm_cvtsi64_si32(_mm_srli_si64(v, 32)));
        };
        while (p + 8 <= kx) {
            const int64_t stop = p + std::min<int64_t>((kx - p) / 8, int64_t{1} << 14) * 8;
            __m64 lo = _mm_setzero_si64(), hi = _mm_setzero_si64();
            for (; p < stop; p += 8)
                for (int32_t q = 0; q < 8; q += 2) {
                    __m64 v;
                    std::memcpy(&v, block + p + q, 8);
                    lo = _mm_add_pi32(lo, _mm_and_si64(v, low));
                    hi = _mm_add_pi32(hi, _mm_srli_pi32(v, 16));
                }
            total += lanes(lo) + (lanes(hi) << 16);
        }
        // The MMX registers are the x87 ones: free them before any float work.
        _mm_empty();
        for (; p < kx; ++p)
            total += block[p];
        return total;
    }
};

template <SuperSampleIsa I>
using SuperSampleSums = std::conditional_t<
    I == SuperSampleIsa::Sse2, SuperSampleVectorSums,
    std::conditional_t<I == SuperSampleIsa::Sse, SuperSampleMmxSums, SuperSampleScalarSums>>;

// Fractional modes (float working row) of pixels 4 samples apart in the
// single-precision form of the Sse2, Sse3 and Ssse3 members: a pixel's four
// samples as four lanes, each lane the model's arithmetic for its element.
// A product with a partial weight is formed in double precision and rounded
// to float, except in the packed stretch of the FourCh32f members, which
// multiplies by the weight rounded to float.

// float(x * w) per lane, the product in double precision: lane by lane
// where there are no packed doubles.
template <SuperSampleIsa I>
VELMORA_RESIZE_INLINE __m128 SuperSampleMulDouble(__m128 x, double w) {
    if constexpr (I == SuperSampleIsa::Sse2) {
        const __m128d wd = _mm_set1_pd(w);
        const __m128 lo = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(x), wd));
        const __m128 hi = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), wd));
        return _mm_movelh_ps(lo, hi);
    } else {
        alignas(16) float v[4];
        _mm_store_ps(v, x);
        for (float& e : v)
            e = static_cast<float>(static_cast<double>(e) * w);
        return _mm_load_ps(v);
    }
}

// One source row of a block: whole (weight 1) or with a partial weight.
template <typename T>
struct SuperSampleTerm {
    const T* row;
    double weight;
    bool whole;
};

// Up to four rows of a block added into the working row (fresh: into zeros)
// in their order, four elements a step and the last values mod 4 singly:
// each element sees the additions the model makes row by row. Elements below
// `packedEnd` take the float product.
template <typename T, SuperSampleIsa I>
VELMORA_RESIZE_INLINE void SuperSampleAddRowsQuad(float* acc, const SuperSampleTerm<T>* terms,
                                                  int32_t n, int64_t values, int64_t packedEnd,
                                                  bool fresh) {
    // The row count as a constant, so that the rows of a step are unrolled.
    auto run = [&](auto count) VELMORA_LAMBDA_INLINE {
        constexpr int32_t kRows = decltype(count)::value;
        const T* rows[kRows > 0 ? kRows : 1];
        bool whole[kRows > 0 ? kRows : 1];
        double wd[kRows > 0 ? kRows : 1];
        __m128 wf[kRows > 0 ? kRows : 1];
        for (int32_t t = 0; t < kRows; ++t) {
            rows[t] = terms[t].row;
            whole[t] = terms[t].whole;
            wd[t] = terms[t].weight;
            wf[t] = _mm_set1_ps(static_cast<float>(terms[t].weight));
        }
        for (int64_t k = 0; k + 4 <= values; k += 4) {
            __m128 v = fresh ? _mm_setzero_ps() : _mm_load_ps(acc + k);
            for (int32_t t = 0; t < kRows; ++t) {
                const __m128 x = LoadWiden4(rows[t] + k).v;
                if (whole[t])
                    v = _mm_add_ps(v, x);
                else if (k < packedEnd)
                    v = _mm_add_ps(v, _mm_mul_ps(x, wf[t]));
                else
                    v = _mm_add_ps(v, SuperSampleMulDouble<I>(x, wd[t]));
            }
            _mm_store_ps(acc + k, v);
        }
        for (int64_t k = values - values % 4; k < values; ++k) {
            float v = fresh ? 0.0f : acc[k];
            for (int32_t t = 0; t < kRows; ++t) {
                const T x = rows[t][k];
                if (whole[t])
                    v += static_cast<float>(x);
                else if (k < packedEnd)
                    v += static_cast<float>(x) * static_cast<float>(terms[t].weight);
                else
                    v += static_cast<float>(static_cast<double>(x) * terms[t].weight);
            }
            acc[k] = v;
        }
    };
    switch (n) {
        case 0:
            return run(std::integral_constant<int32_t, 0>{});
        case 1:
            return run(std::integral_constant<int32_t, 1>{});
        case 2:
            return run(std::integral_constant<int32_t, 2>{});
        case 3:
            return run(std::integral_constant<int32_t, 3>{});
        default:
            return run(std::integral_constant<int32_t, 4>{});
    }
}

// Output samples of one pixel from four float block sums: 8u and 16u the
// low bits of trunc(sum x scale + 0.5) in double precision, 32f the double
// product rounded to float, or the float product in the lanes `packed` marks.
template <typename T, SuperSampleIsa I>
struct SuperSampleQuadOut {
    double scale;
    __m128 scalef;

    VELMORA_RESIZE_INLINE __m128i Integers(__m128 sum) const {
        const __m128d half = _mm_set1_pd(0.5), scaled = _mm_set1_pd(scale);
        const __m128d lo = _mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(sum), scaled), half);
        const __m128d hi =
            _mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(sum, sum)), scaled), half);
        return _mm_unpacklo_epi64(_mm_cvttpd_epi32(lo), _mm_cvttpd_epi32(hi));
    }

    // Stores samples 0-2, or all four. `packed`: 0 none, 1 all, else the
    // lanes of `mask`.
    VELMORA_RESIZE_INLINE void Store(T* d, __m128 sum, int32_t packed, __m128 mask,
                                     bool four) const {
        if constexpr (std::is_same_v<T, float>) {
            __m128 v;
            if (packed == 1)
                v = _mm_mul_ps(sum, scalef);
            else if (packed == 0)
                v = SuperSampleMulDouble<I>(sum, scale);
            else
                v = _mm_or_ps(_mm_and_ps(mask, _mm_mul_ps(sum, scalef)),
                              _mm_andnot_ps(mask, SuperSampleMulDouble<I>(sum, scale)));
            if (four) {
                _mm_storeu_ps(d, v);
            } else {
                _mm_storel_pi(reinterpret_cast<__m64*>(d), v);
                _mm_store_ss(d + 2, _mm_movehl_ps(v, v));
            }
        } else if constexpr (std::is_same_v<T, uint16_t>) {
            // Low 16 bits, sign-extended so that the signed pack keeps them.
            const __m128i v = _mm_srai_epi32(_mm_slli_epi32(Integers(sum), 16), 16);
            const __m128i w = _mm_packs_epi32(v, v);
            if (four) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(d), w);
            } else {
                const int32_t low = _mm_cvtsi128_si32(w);
                std::memcpy(d, &low, 4);
                d[2] = static_cast<uint16_t>(_mm_extract_epi16(w, 2));
            }
        } else {
            const __m128i v = _mm_and_si128(Integers(sum), _mm_set1_epi32(0xFF));
            const __m128i w = _mm_packs_epi32(v, v);
            const auto pixel = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(w, w)));
            if (four) {
                std::memcpy(d, &pixel, 4);
            } else {
                const auto low = static_cast<uint16_t>(pixel);
                std::memcpy(d, &low, 2);
                d[2] = static_cast<uint8_t>(pixel >> 16);
            }
        }
    }
};

// Horizontal and output pass of one output row from the float working row:
// block sums as single-precision running sums in pixel order, a block's
// partial first and last pixel as float(element x weight) in double
// precision; pixels at or past srcCols read the last one. `blocks` holds the
// horizontal walk's blocks of the `dstWidth` output pixels; `packedBegin`
// and `packedEnd` bound the output elements of the FourCh32f packed stretch.
template <typename T, SuperSampleIsa I>
VELMORA_RESIZE_INLINE void SuperSampleOutputRowQuad(const float* acc, T* dst, int32_t srcCols,
                                                    int32_t dstWidth,
                                                    const SuperSampleBlock* blocks, double scale,
                                                    bool four, int64_t packedBegin,
                                                    int64_t packedEnd) {
    const int64_t lastPixel = srcCols - 1;
    auto at = [&](int64_t p) VELMORA_LAMBDA_INLINE {
        return _mm_load_ps(acc + 4 * (p < lastPixel ? p : lastPixel));
    };
    const SuperSampleQuadOut<T, I> out{scale, _mm_set1_ps(static_cast<float>(scale))};
    for (int32_t j = 0; j < dstWidth; ++j) {
        const SuperSampleBlock& b = blocks[j];
        __m128 s =
            b.hasFirst ? SuperSampleMulDouble<I>(at(b.first), b.firstWeight) : _mm_setzero_ps();
        for (int64_t p = b.whole; p < b.whole + b.count; ++p)
            s = _mm_add_ps(s, at(p));
        if (b.hasLast) s = _mm_add_ps(s, SuperSampleMulDouble<I>(at(b.last), b.lastWeight));
        int32_t packed = 0;
        __m128 mask = _mm_setzero_ps();
        if constexpr (std::is_same_v<T, float>) {
            const int64_t first = 4 * static_cast<int64_t>(j);
            if (first >= packedBegin && first + 4 <= packedEnd) {
                packed = 1;
            } else if (first + 4 > packedBegin && first < packedEnd) {
                packed = 2;
                // Lanes whose element lies in [packedBegin, packedEnd): at
                // most two pixels a row, built in memory so that no integer
                // SSE instruction is needed.
                alignas(16) uint32_t lanes[4];
                for (int32_t l = 0; l < 4; ++l)
                    lanes[l] = first + l >= packedBegin && first + l < packedEnd ? ~0u : 0u;
                mask = _mm_load_ps(reinterpret_cast<const float*>(lanes));
            }
        }
        out.Store(dst + static_cast<ptrdiff_t>(j) * 4, s, packed, mask, four);
    }
}

// Horizontal and output pass of a one-sample float row: the block sums of
// the model's form M; in the packed stretch eight of them at a time
// multiplied by `scale` rounded to float and stored aligned, before and
// after it one at a time with the double product.
template <class M, class Sums>
VELMORA_RESIZE_INLINE void SuperSampleOutputRowOne32f(const float* row, float* dst, int32_t srcCols,
                                                      int32_t dstWidth, double xRatio, double scale,
                                                      int32_t mode) {
    SuperSampleWalk walk(xRatio, (mode & 2) != 0);
    const bool interleave = M::Interleaved(mode);
    auto sum = [&]() VELMORA_LAMBDA_INLINE {
        return M::template BlockSumFloat<Sums>(row, walk.Next(), srcCols, 1, 0, interleave);
    };
    int64_t begin = 0, end = 0;
    M::PackedOutput(dst, dstWidth, begin, end);
    int64_t j = 0;
    for (; j < begin; ++j)
        dst[j] = M::Output(static_cast<double>(sum()) * scale);
    const __m128 scalef = _mm_set1_ps(static_cast<float>(scale));
    for (; j < end; j += 8) {
        alignas(16) float sums[8];
        for (float& s : sums)
            s = sum();
        _mm_store_ps(dst + j, _mm_mul_ps(_mm_load_ps(sums), scalef));
        _mm_store_ps(dst + j + 4, _mm_mul_ps(_mm_load_ps(sums + 4), scalef));
    }
    for (; j < dstWidth; ++j)
        dst[j] = M::Output(static_cast<double>(sum()) * scale);
}

}  // namespace velmora::resize

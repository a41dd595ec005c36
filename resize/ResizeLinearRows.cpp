// Members of the linear row kernels. The Generic members are the scalar model
// of their form. The 8u and 16u members of Sse2, Sse3 and Ssse3 share vector
// bodies of SSE2 instructions (the same lane arithmetic as the model: 16-bit
// products summed in 32-bit lanes), compiled for each variant, the Ssse3 8u
// members with byte shuffles in their three-of-four paths; the single-form
// 32f RowH, RowHOneCh and RowV members share four-lane bodies of SSE
// instructions. The other members run the model of their form, compiled for
// their variant's instruction set.
#include <immintrin.h>

#include <cstring>

#include "resize/ResizeLanes.h"  // StoreThreeOfFour8u
#include "resize/ResizeLinearRows.h"

namespace velmora::resize {
namespace {

using LinearForm::Double;
using LinearForm::Integer;
using LinearForm::Mixed;
using LinearForm::Single;

VELMORA_RESIZE_INLINE __m128i Load32Bits(const void* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

VELMORA_RESIZE_INLINE __m128i WeightPair(const uint16_t* colWeights, int32_t x) {
    int32_t v;
    std::memcpy(&v, colWeights + 2 * x, 4);
    return _mm_set1_epi32(v);
}

// Pixel pair of one column as 16-bit (left, right) pairs per channel: bytes
// a0..a3 b0..b3 become a0 b0 a1 b1 a2 b2 a3 b3.
VELMORA_RESIZE_INLINE __m128i PairChannels(__m128i eightBytes) {
    const __m128i words = _mm_unpacklo_epi8(eightBytes, _mm_setzero_si128());
    return _mm_unpacklo_epi16(words, _mm_srli_si128(words, 8));
}

// The source row is read once, left to right: ask for it a few lines early.
VELMORA_RESIZE_INLINE void PrefetchAhead(const uint8_t* p) {
    // An address, not a pointer into the row: the line may lie past its end.
    _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(p) + 512), _MM_HINT_T0);
}

// Both pixels of a column: stride 4 reads them whole; any other stride is 3,
// the right pixel's samples at o + 3 .. o + 5 and a fourth lane of o + 3
// against zero, so nothing past o + 5 is read.
template <bool Stride4>
VELMORA_RESIZE_INLINE __m128i LoadColumn(const uint8_t* left) {
    if constexpr (Stride4) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(left));
    } else {
        const __m128i a = Load32Bits(left);
        const __m128i b = _mm_srli_epi32(Load32Bits(left + 2), 8);
        return _mm_unpacklo_epi32(a, b);
    }
}

// (w0 a + w1 b + 128) >> 8 for the four channels of one column.
template <bool Stride4>
VELMORA_RESIZE_INLINE __m128i FilterColumn8u(const uint8_t* srcRow, const int32_t* colOffsets,
                                             const uint16_t* colWeights, int32_t x) {
    const __m128i pairs = PairChannels(LoadColumn<Stride4>(srcRow + colOffsets[x]));
    const __m128i sums = _mm_madd_epi16(pairs, WeightPair(colWeights, x));
    return _mm_srai_epi32(_mm_add_epi32(sums, _mm_set1_epi32(128)), 8);
}

VELMORA_RESIZE_INLINE void RowH8uVector(const uint8_t* srcRow, int32_t width,
                                        const int32_t* colOffsets, const uint16_t* colWeights,
                                        uint16_t* dstBuf) {
    int32_t x = 0;
    for (; x + 1 < width; x += 2) {
        const __m128i a = FilterColumn8u<true>(srcRow, colOffsets, colWeights, x);
        const __m128i b = FilterColumn8u<true>(srcRow, colOffsets, colWeights, x + 1);
        _mm_store_si128(reinterpret_cast<__m128i*>(dstBuf + 4 * x), _mm_packs_epi32(a, b));
    }
    if (x < width) {
        const __m128i a = FilterColumn8u<true>(srcRow, colOffsets, colWeights, x);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dstBuf + 4 * x), _mm_packs_epi32(a, a));
    }
}

// Three values of the column in the low 64 bits of `packed`.
VELMORA_RESIZE_INLINE void StoreThree(uint16_t* d, __m128i packed) {
    const int32_t first = _mm_cvtsi128_si32(packed);
    std::memcpy(d, &first, 4);
    d[2] = static_cast<uint16_t>(_mm_extract_epi16(packed, 2));
}

// Ssse3: four columns a step; byte shuffles pair the channels and pack the
// twelve values, stored with one 16-byte and one 8-byte store.
template <bool Stride4>
__attribute__((target("ssse3"))) int32_t RowHPart8uShuffled(const uint8_t* srcRow, int32_t width,
                                                            const int32_t* colOffsets,
                                                            const uint16_t* colWeights,
                                                            uint16_t* dstBuf) {
    const __m128i first = _mm_setr_epi8(0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, 3, -1, 7, -1);
    const __m128i second =
        _mm_setr_epi8(8, -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, 11, -1, 15, -1);
    const __m128i low = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
    const __m128i high = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, 3);
    const __m128i tail = _mm_setr_epi8(4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i round = _mm_set1_epi32(128);
    auto column = [&](__m128i pairs, __m128i weight) {
        return _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(pairs, weight), round), 8);
    };
    int32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        const int32_t* o = colOffsets + x;
        PrefetchAhead(srcRow + o[3]);
        const __m128i q01 = _mm_unpacklo_epi64(LoadColumn<Stride4>(srcRow + o[0]),
                                               LoadColumn<Stride4>(srcRow + o[1]));
        const __m128i q23 = _mm_unpacklo_epi64(LoadColumn<Stride4>(srcRow + o[2]),
                                               LoadColumn<Stride4>(srcRow + o[3]));
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(colWeights + 2 * x));
        const __m128i p01 =
            _mm_packs_epi32(column(_mm_shuffle_epi8(q01, first), _mm_shuffle_epi32(w, 0x00)),
                            column(_mm_shuffle_epi8(q01, second), _mm_shuffle_epi32(w, 0x55)));
        const __m128i p23 =
            _mm_packs_epi32(column(_mm_shuffle_epi8(q23, first), _mm_shuffle_epi32(w, 0xAA)),
                            column(_mm_shuffle_epi8(q23, second), _mm_shuffle_epi32(w, 0xFF)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dstBuf + 3 * x),
                         _mm_or_si128(_mm_shuffle_epi8(p01, low), _mm_shuffle_epi8(p23, high)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dstBuf + 3 * x + 8),
                         _mm_shuffle_epi8(p23, tail));
    }
    return x;
}

template <bool Stride4, bool Shuffles>
VELMORA_RESIZE_INLINE void RowHPart8uRun(const uint8_t* srcRow, int32_t width,
                                         const int32_t* colOffsets, const uint16_t* colWeights,
                                         uint16_t* dstBuf) {
    int32_t x = 0;
    if constexpr (Shuffles) {
        x = RowHPart8uShuffled<Stride4>(srcRow, width, colOffsets, colWeights, dstBuf);
    }
    for (; x + 1 < width; x += 2) {
        PrefetchAhead(srcRow + colOffsets[x + 1]);
        const __m128i a = FilterColumn8u<Stride4>(srcRow, colOffsets, colWeights, x);
        const __m128i b = FilterColumn8u<Stride4>(srcRow, colOffsets, colWeights, x + 1);
        const __m128i packed = _mm_packs_epi32(a, b);
        StoreThree(dstBuf + 3 * x, packed);
        StoreThree(dstBuf + 3 * x + 3, _mm_srli_si128(packed, 8));
    }
    if (x < width) {
        const __m128i a = FilterColumn8u<Stride4>(srcRow, colOffsets, colWeights, x);
        StoreThree(dstBuf + 3 * x, _mm_packs_epi32(a, a));
    }
}

template <bool Shuffles>
VELMORA_RESIZE_INLINE void RowHPart8uVector(const uint8_t* srcRow, int32_t width, int32_t nChannels,
                                            const int32_t* colOffsets, const uint16_t* colWeights,
                                            uint16_t* dstBuf) {
    if (nChannels == 4) {
        RowHPart8uRun<true, Shuffles>(srcRow, width, colOffsets, colWeights, dstBuf);
    } else {
        RowHPart8uRun<false, Shuffles>(srcRow, width, colOffsets, colWeights, dstBuf);
    }
}

VELMORA_RESIZE_INLINE uint16_t SamplePair(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

VELMORA_RESIZE_INLINE uint32_t SamplePair16(const uint16_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Eight columns a step: (left, right) byte pairs against aligned weight pairs.
VELMORA_RESIZE_INLINE void RowHOneCh8uVector(const uint8_t* srcRow, int32_t width,
                                             const int32_t* colOffsets, const uint16_t* colWeights,
                                             uint16_t* dstBuf) {
    const __m128i round = _mm_set1_epi32(128);
    int32_t x = 0;
    for (; x + 8 <= width; x += 8) {
        const int32_t* o = colOffsets + x;
        const __m128i bytes = _mm_setr_epi16(static_cast<int16_t>(SamplePair(srcRow + o[0])),
                                             static_cast<int16_t>(SamplePair(srcRow + o[1])),
                                             static_cast<int16_t>(SamplePair(srcRow + o[2])),
                                             static_cast<int16_t>(SamplePair(srcRow + o[3])),
                                             static_cast<int16_t>(SamplePair(srcRow + o[4])),
                                             static_cast<int16_t>(SamplePair(srcRow + o[5])),
                                             static_cast<int16_t>(SamplePair(srcRow + o[6])),
                                             static_cast<int16_t>(SamplePair(srcRow + o[7])));
        const __m128i zero = _mm_setzero_si128();
        const auto* w = reinterpret_cast<const __m128i*>(colWeights + 2 * x);
        __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi8(bytes, zero), _mm_load_si128(w));
        __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi8(bytes, zero), _mm_load_si128(w + 1));
        lo = _mm_srai_epi32(_mm_add_epi32(lo, round), 8);
        hi = _mm_srai_epi32(_mm_add_epi32(hi, round), 8);
        _mm_store_si128(reinterpret_cast<__m128i*>(dstBuf + x), _mm_packs_epi32(lo, hi));
    }
    LinearRowHModel<uint8_t, 1, Integer>(srcRow, width - x, 1, colOffsets + x, colWeights + 2 * x,
                                         dstBuf + x);
}

// 16384 - w in the low and w in the high word of every lane: upper values
// come first in each interleaved pair.
VELMORA_RESIZE_INLINE __m128i RowWeightPairs(uint32_t w) {
    return _mm_set1_epi32(static_cast<int32_t>((w << 16) | (16384u - w)));
}

VELMORA_RESIZE_INLINE __m128i BlendV8u(__m128i upper, __m128i lower, __m128i weights) {
    const __m128i round = _mm_set1_epi32(524288);
    const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(upper, lower), weights);
    const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(upper, lower), weights);
    return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, round), 20),
                           _mm_srai_epi32(_mm_add_epi32(hi, round), 20));
}

VELMORA_RESIZE_INLINE void RowV8uVector(uint8_t* dstRow, int32_t count, uint32_t w,
                                        const uint16_t* upper, const uint16_t* lower) {
    const __m128i weights = RowWeightPairs(w);
    int32_t k = 0;
    for (; k + 16 <= count; k += 16) {
        const auto* u = reinterpret_cast<const __m128i*>(upper + k);
        const auto* l = reinterpret_cast<const __m128i*>(lower + k);
        const __m128i a = BlendV8u(_mm_load_si128(u), _mm_load_si128(l), weights);
        const __m128i b = BlendV8u(_mm_load_si128(u + 1), _mm_load_si128(l + 1), weights);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dstRow + k), _mm_packus_epi16(a, b));
    }
    if (k + 8 <= count) {
        const __m128i a =
            BlendV8u(_mm_load_si128(reinterpret_cast<const __m128i*>(upper + k)),
                     _mm_load_si128(reinterpret_cast<const __m128i*>(lower + k)), weights);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dstRow + k), _mm_packus_epi16(a, a));
        k += 8;
    }
    LinearRowVModel<uint8_t, Integer>(dstRow + k, count - k, w, upper + k, lower + k);
}

// One pixel from four consecutive buffer values (the fourth is the next
// pixel's and is never stored).
VELMORA_RESIZE_INLINE __m128i BlendPixel8u(const uint16_t* upper, const uint16_t* lower,
                                           __m128i weights) {
    const __m128i u = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(upper));
    const __m128i l = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(lower));
    const __m128i sums = _mm_madd_epi16(_mm_unpacklo_epi16(u, l), weights);
    return _mm_srai_epi32(_mm_add_epi32(sums, _mm_set1_epi32(524288)), 20);
}

// Ssse3: eight pixels a step from 24 consecutive values of each buffer,
// spread to four-byte pixels by byte shuffles.
__attribute__((target("ssse3"))) int32_t RowVPart8uShuffled(uint8_t* dstRow, int32_t width,
                                                            __m128i weights, const uint16_t* upper,
                                                            const uint16_t* lower) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    auto load = [](const uint16_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };
    int32_t p = 0;
    for (; p + 8 <= width; p += 8) {
        const uint16_t* u = upper + 3 * p;
        const uint16_t* l = lower + 3 * p;
        const __m128i first = _mm_packus_epi16(BlendV8u(load(u), load(l), weights),
                                               BlendV8u(load(u + 8), load(l + 8), weights));
        const __m128i b2 = BlendV8u(load(u + 16), load(l + 16), weights);
        const __m128i last = _mm_packus_epi16(b2, b2);
        StoreThreeOfFour8u(dstRow + 4 * p, _mm_shuffle_epi8(first, spread));
        StoreThreeOfFour8u(dstRow + 4 * p + 16,
                           _mm_shuffle_epi8(_mm_alignr_epi8(last, first, 12), spread));
    }
    return p;
}

template <bool Shuffles>
VELMORA_RESIZE_INLINE void RowVPart8uVector(uint8_t* dstRow, int32_t width, uint32_t w,
                                            const uint16_t* upper, const uint16_t* lower) {
    const __m128i weights = RowWeightPairs(w);
    int32_t p = 0;
    if constexpr (Shuffles) p = RowVPart8uShuffled(dstRow, width, weights, upper, lower);
    for (; p + 4 <= width; p += 4) {
        const uint16_t* u = upper + 3 * p;
        const uint16_t* l = lower + 3 * p;
        const __m128i a =
            _mm_packs_epi32(BlendPixel8u(u, l, weights), BlendPixel8u(u + 3, l + 3, weights));
        const __m128i b = _mm_packs_epi32(BlendPixel8u(u + 6, l + 6, weights),
                                          BlendPixel8u(u + 9, l + 9, weights));
        StoreThreeOfFour8u(dstRow + 4 * p, _mm_packus_epi16(a, b));
    }
    LinearRowVPartModel<uint8_t, Integer>(dstRow + 4 * p, width - p, w, upper + 3 * p,
                                          lower + 3 * p);
}

// ---- 16u: full 32-bit products of unsigned 16-bit values ----

// Eight 32-bit results of at most 65535 (the low 16 bits of each lane)
// packed to 16 bits: sign-extended so that the signed pack keeps them.
VELMORA_RESIZE_INLINE __m128i PackLow16(__m128i lo, __m128i hi) {
    lo = _mm_srai_epi32(_mm_slli_epi32(lo, 16), 16);
    hi = _mm_srai_epi32(_mm_slli_epi32(hi, 16), 16);
    return _mm_packs_epi32(lo, hi);
}

// w0 a + w1 b + round, then >> 14, from interleaved (a, b) pairs and
// (w0, w1) weight pairs: the products of the signed multiply-add against
// a - 32768 and b - 32768, plus 32768 (w0 + w1), give the unsigned sum.
VELMORA_RESIZE_INLINE __m128i Blend16u(__m128i pairs, __m128i weights) {
    const __m128i bias = _mm_set1_epi16(static_cast<int16_t>(0x8000));
    const __m128i centred = _mm_madd_epi16(_mm_xor_si128(pairs, bias), weights);
    const __m128i offset = _mm_madd_epi16(bias, weights);  // -32768 (w0 + w1)
    const __m128i sum = _mm_add_epi32(_mm_sub_epi32(centred, offset), _mm_set1_epi32(8192));
    return _mm_srli_epi32(sum, 14);
}

// One column of four-sample pixels: a0..a3 b0..b3 become (a, b) pairs.
VELMORA_RESIZE_INLINE __m128i FilterColumn16u(const uint16_t* srcRow, const int32_t* colOffsets,
                                              const uint16_t* colWeights, int32_t x) {
    const __m128i both = _mm_loadu_si128(reinterpret_cast<const __m128i*>(srcRow + colOffsets[x]));
    return Blend16u(_mm_unpacklo_epi16(both, _mm_srli_si128(both, 8)), WeightPair(colWeights, x));
}

VELMORA_RESIZE_INLINE void RowH16uVector(const uint16_t* srcRow, int32_t width,
                                         const int32_t* colOffsets, const uint16_t* colWeights,
                                         uint16_t* dstBuf) {
    int32_t x = 0;
    for (; x + 1 < width; x += 2) {
        const __m128i a = FilterColumn16u(srcRow, colOffsets, colWeights, x);
        const __m128i b = FilterColumn16u(srcRow, colOffsets, colWeights, x + 1);
        _mm_store_si128(reinterpret_cast<__m128i*>(dstBuf + 4 * x), PackLow16(a, b));
    }
    LinearRowHModel<uint16_t, 4, Integer>(srcRow, width - x, 4, colOffsets + x, colWeights + 2 * x,
                                          dstBuf + 4 * x);
}

// Four columns of one sample: the (a, b) pair of each column is one 32-bit
// load, against four aligned weight pairs.
VELMORA_RESIZE_INLINE __m128i FilterColumns16u(const uint16_t* srcRow, const int32_t* o,
                                               const uint16_t* colWeights) {
    const __m128i pairs = _mm_setr_epi32(static_cast<int32_t>(SamplePair16(srcRow + o[0])),
                                         static_cast<int32_t>(SamplePair16(srcRow + o[1])),
                                         static_cast<int32_t>(SamplePair16(srcRow + o[2])),
                                         static_cast<int32_t>(SamplePair16(srcRow + o[3])));
    return Blend16u(pairs, _mm_load_si128(reinterpret_cast<const __m128i*>(colWeights)));
}

VELMORA_RESIZE_INLINE void RowHOneCh16uVector(const uint16_t* srcRow, int32_t width,
                                              const int32_t* colOffsets, const uint16_t* colWeights,
                                              uint16_t* dstBuf) {
    int32_t x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m128i lo = FilterColumns16u(srcRow, colOffsets + x, colWeights + 2 * x);
        const __m128i hi = FilterColumns16u(srcRow, colOffsets + x + 4, colWeights + 2 * x + 8);
        _mm_store_si128(reinterpret_cast<__m128i*>(dstBuf + x), PackLow16(lo, hi));
    }
    LinearRowHModel<uint16_t, 1, Integer>(srcRow, width - x, 1, colOffsets + x, colWeights + 2 * x,
                                          dstBuf + x);
}

VELMORA_RESIZE_INLINE void RowV16uVector(uint16_t* dstRow, int32_t count, uint32_t w,
                                         const uint16_t* upper, const uint16_t* lower) {
    const __m128i weights = RowWeightPairs(w);
    int32_t k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m128i u = _mm_load_si128(reinterpret_cast<const __m128i*>(upper + k));
        const __m128i l = _mm_load_si128(reinterpret_cast<const __m128i*>(lower + k));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dstRow + k),
                         PackLow16(Blend16u(_mm_unpacklo_epi16(u, l), weights),
                                   Blend16u(_mm_unpackhi_epi16(u, l), weights)));
    }
    LinearRowVModel<uint16_t, Integer>(dstRow + k, count - k, w, upper + k, lower + k);
}

// Two pixels a step from eight buffer values (six used; a third pixel must
// follow, so that the load stays inside the buffers). Sample 3 of a pixel is
// neither read nor written: samples 0-1 as one 32-bit store, sample 2 as 16
// bits.
VELMORA_RESIZE_INLINE void RowVPart16uVector(uint16_t* dstRow, int32_t width, uint32_t w,
                                             const uint16_t* upper, const uint16_t* lower) {
    const __m128i weights = RowWeightPairs(w);
    int32_t p = 0;
    for (; p + 3 <= width; p += 2) {
        const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(upper + 3 * p));
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lower + 3 * p));
        const __m128i values = PackLow16(Blend16u(_mm_unpacklo_epi16(u, l), weights),
                                         Blend16u(_mm_unpackhi_epi16(u, l), weights));
        const auto low = static_cast<uint64_t>(_mm_cvtsi128_si64(values));
        const auto high =
            static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(values, values)));
        const auto first = static_cast<uint32_t>(low),
                   second = static_cast<uint32_t>((low >> 48) | (high << 16));
        const auto third = static_cast<uint16_t>(low >> 32),
                   sixth = static_cast<uint16_t>(high >> 16);
        uint16_t* d = dstRow + 4 * p;
        std::memcpy(d, &first, 4);
        std::memcpy(d + 2, &third, 2);
        std::memcpy(d + 4, &second, 4);
        std::memcpy(d + 6, &sixth, 2);
    }
    LinearRowVPartModel<uint16_t, Integer>(dstRow + 4 * p, width - p, w, upper + 3 * p,
                                           lower + 3 * p);
}

// ---- 32f, single form: every step rounded to float ----

VELMORA_RESIZE_INLINE void RowH32fSingleVector(const float* srcRow, int32_t width,
                                               const int32_t* colOffsets, const float* colWeights,
                                               float* dstBuf) {
    for (int32_t x = 0; x < width; ++x) {
        const float* p = srcRow + colOffsets[x];
        const __m128 a = _mm_loadu_ps(p);
        const __m128 b = _mm_loadu_ps(p + 4);
        const __m128 w = _mm_set1_ps(colWeights[x]);
        _mm_store_ps(dstBuf + 4 * x, _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), w)));
    }
}

VELMORA_RESIZE_INLINE void RowHOneCh32fSingleVector(const float* srcRow, int32_t width,
                                                    const int32_t* colOffsets,
                                                    const float* colWeights, float* dstBuf) {
    int32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        const int32_t* o = colOffsets + x;
        const __m128 a = _mm_setr_ps(srcRow[o[0]], srcRow[o[1]], srcRow[o[2]], srcRow[o[3]]);
        const __m128 b =
            _mm_setr_ps(srcRow[o[0] + 1], srcRow[o[1] + 1], srcRow[o[2] + 1], srcRow[o[3] + 1]);
        const __m128 w = _mm_load_ps(colWeights + x);
        _mm_store_ps(dstBuf + x, _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), w)));
    }
    LinearRowHModel<float, 1, Single>(srcRow, width - x, 1, colOffsets + x, colWeights + x,
                                      dstBuf + x);
}

VELMORA_RESIZE_INLINE void RowV32fSingleVector(float* dstRow, int32_t count, float w,
                                               const float* upper, const float* lower) {
    const __m128 lowerWeight = _mm_set1_ps(w);
    const __m128 upperWeight = _mm_set1_ps(LinearUpperWeight32f<Single>(w));
    int32_t k = 0;
    for (; k + 4 <= count; k += 4)
        _mm_storeu_ps(dstRow + k, _mm_add_ps(_mm_mul_ps(_mm_load_ps(upper + k), upperWeight),
                                             _mm_mul_ps(_mm_load_ps(lower + k), lowerWeight)));
    LinearRowVModel<float, Single>(dstRow + k, count - k, w, upper + k, lower + k);
}

}  // namespace

// ---- member definitions ----

#define VELMORA_DEFINE_ROWH(name, target, T, C, stride, F)                               \
    target void name(const T* srcRow, int32_t width, const int32_t* colOffsets,          \
                     const LinearColWeight<T>* colWeights, LinearBuf<T>* dstBuf) {       \
        LinearRowHModel<T, C, F>(srcRow, width, stride, colOffsets, colWeights, dstBuf); \
    }
#define VELMORA_DEFINE_ROWHPART(name, target, T, F)                                                \
    target void name(const T* srcRow, int32_t width, int32_t nChannels, const int32_t* colOffsets, \
                     const LinearColWeight<T>* colWeights, LinearBuf<T>* dstBuf) {                 \
        LinearRowHModel<T, 3, F>(srcRow, width, nChannels, colOffsets, colWeights, dstBuf);        \
    }
#define VELMORA_DEFINE_ROWV(name, target, T, Model, F)                             \
    target void name(T* dstRow, int32_t count, LinearRowWeight<T> rowWeight,       \
                     const LinearBuf<T>* bufUpper, const LinearBuf<T>* bufLower) { \
        Model<T, F>(dstRow, count, rowWeight, bufUpper, bufLower);                 \
    }

#define VELMORA_NO_TARGET
#define VELMORA_SSE __attribute__((target("sse")))
#define VELMORA_SSE2 __attribute__((target("sse2")))
#define VELMORA_SSE3 __attribute__((target("sse3")))
#define VELMORA_SSSE3 __attribute__((target("ssse3")))

// A member that runs a vector body.
#define VELMORA_DEFINE_ROW_BODY(name, target, T, Body)                             \
    target void name(const T* srcRow, int32_t width, const int32_t* colOffsets,    \
                     const LinearColWeight<T>* colWeights, LinearBuf<T>* dstBuf) { \
        Body(srcRow, width, colOffsets, colWeights, dstBuf);                       \
    }
#define VELMORA_DEFINE_ROWV_BODY(name, target, T, Body)                            \
    target void name(T* dstRow, int32_t count, LinearRowWeight<T> rowWeight,       \
                     const LinearBuf<T>* bufUpper, const LinearBuf<T>* bufLower) { \
        Body(dstRow, count, rowWeight, bufUpper, bufLower);                        \
    }

// 16u Generic: the integer model; Sse2, Sse3, Ssse3: the vector bodies.
VELMORA_DEFINE_ROWH(ResizeLinearRowH16u_Generic, VELMORA_NO_TARGET, uint16_t, 4, 4, Integer)
VELMORA_DEFINE_ROWH(ResizeLinearRowHOneCh16u_Generic, VELMORA_NO_TARGET, uint16_t, 1, 1, Integer)
VELMORA_DEFINE_ROWV(ResizeLinearRowV16u_Generic, VELMORA_NO_TARGET, uint16_t, LinearRowVModel,
                    Integer)
VELMORA_DEFINE_ROWV(ResizeLinearRowVPart16u_Generic, VELMORA_NO_TARGET, uint16_t,
                    LinearRowVPartModel, Integer)
#define VELMORA_DEFINE_ROWS_16U_VECTOR(V, target)                                               \
    VELMORA_DEFINE_ROW_BODY(ResizeLinearRowH16u_##V, target, uint16_t, RowH16uVector)           \
    VELMORA_DEFINE_ROW_BODY(ResizeLinearRowHOneCh16u_##V, target, uint16_t, RowHOneCh16uVector) \
    VELMORA_DEFINE_ROWV_BODY(ResizeLinearRowV16u_##V, target, uint16_t, RowV16uVector)          \
    VELMORA_DEFINE_ROWV_BODY(ResizeLinearRowVPart16u_##V, target, uint16_t, RowVPart16uVector)

VELMORA_DEFINE_ROWS_16U_VECTOR(Sse2, VELMORA_SSE2)
VELMORA_DEFINE_ROWS_16U_VECTOR(Sse3, VELMORA_SSE3)
VELMORA_DEFINE_ROWS_16U_VECTOR(Ssse3, VELMORA_SSSE3)
VELMORA_DEFINE_ROWHPART(ResizeLinearRowHPart16u_Generic, VELMORA_NO_TARGET, uint16_t, Integer)
VELMORA_DEFINE_ROWHPART(ResizeLinearRowHPart16u_Sse2, VELMORA_SSE2, uint16_t, Integer)
VELMORA_DEFINE_ROWHPART(ResizeLinearRowHPart16u_Sse3, VELMORA_SSE3, uint16_t, Integer)

// 8u Generic: the integer model.
VELMORA_DEFINE_ROWH(ResizeLinearRowH8u_Generic, VELMORA_NO_TARGET, uint8_t, 4, 4, Integer)
VELMORA_DEFINE_ROWHPART(ResizeLinearRowHPart8u_Generic, VELMORA_NO_TARGET, uint8_t, Integer)
VELMORA_DEFINE_ROWH(ResizeLinearRowHOneCh8u_Generic, VELMORA_NO_TARGET, uint8_t, 1, 1, Integer)
VELMORA_DEFINE_ROWV(ResizeLinearRowV8u_Generic, VELMORA_NO_TARGET, uint8_t, LinearRowVModel,
                    Integer)
VELMORA_DEFINE_ROWV(ResizeLinearRowVPart8u_Generic, VELMORA_NO_TARGET, uint8_t, LinearRowVPartModel,
                    Integer)

// 8u Sse2, Sse3, Ssse3: the vector body; the Ssse3 members add byte
// shuffles to the three-of-four paths.
#define VELMORA_DEFINE_ROWS_8U_VECTOR(V, target, Shuffles)                                         \
    target void ResizeLinearRowH8u_##V(const uint8_t* srcRow, int32_t width,                       \
                                       const int32_t* colOffsets, const uint16_t* colWeights,      \
                                       uint16_t* dstBuf) {                                         \
        RowH8uVector(srcRow, width, colOffsets, colWeights, dstBuf);                               \
    }                                                                                              \
    target void ResizeLinearRowHPart8u_##V(const uint8_t* srcRow, int32_t width,                   \
                                           int32_t nChannels, const int32_t* colOffsets,           \
                                           const uint16_t* colWeights, uint16_t* dstBuf) {         \
        RowHPart8uVector<Shuffles>(srcRow, width, nChannels, colOffsets, colWeights, dstBuf);      \
    }                                                                                              \
    target void ResizeLinearRowHOneCh8u_##V(const uint8_t* srcRow, int32_t width,                  \
                                            const int32_t* colOffsets, const uint16_t* colWeights, \
                                            uint16_t* dstBuf) {                                    \
        RowHOneCh8uVector(srcRow, width, colOffsets, colWeights, dstBuf);                          \
    }                                                                                              \
    target void ResizeLinearRowV8u_##V(uint8_t* dstRow, int32_t count, uint32_t rowWeight,         \
                                       const uint16_t* bufUpper, const uint16_t* bufLower) {       \
        RowV8uVector(dstRow, count, rowWeight, bufUpper, bufLower);                                \
    }                                                                                              \
    target void ResizeLinearRowVPart8u_##V(uint8_t* dstRow, int32_t width, uint32_t rowWeight,     \
                                           const uint16_t* bufUpper, const uint16_t* bufLower) {   \
        RowVPart8uVector<Shuffles>(dstRow, width, rowWeight, bufUpper, bufLower);                  \
    }

VELMORA_DEFINE_ROWS_8U_VECTOR(Sse2, VELMORA_SSE2, false)
VELMORA_DEFINE_ROWS_8U_VECTOR(Sse3, VELMORA_SSE3, false)
VELMORA_DEFINE_ROWS_8U_VECTOR(Ssse3, VELMORA_SSSE3, true)

// 32f horizontal members by form.
VELMORA_DEFINE_ROWH(ResizeLinearRowH32f_Generic, VELMORA_NO_TARGET, float, 4, 4, Double)
VELMORA_DEFINE_ROW_BODY(ResizeLinearRowH32f_Sse, VELMORA_SSE, float, RowH32fSingleVector)
VELMORA_DEFINE_ROW_BODY(ResizeLinearRowH32f_Sse2, VELMORA_SSE2, float, RowH32fSingleVector)
VELMORA_DEFINE_ROWH(ResizeLinearRowH32f_Sse3, VELMORA_SSE3, float, 4, 4, Double)
VELMORA_DEFINE_ROWHPART(ResizeLinearRowHPart32f_Generic, VELMORA_NO_TARGET, float, Double)
VELMORA_DEFINE_ROWHPART(ResizeLinearRowHPart32f_Sse, VELMORA_SSE, float, Single)
VELMORA_DEFINE_ROWHPART(ResizeLinearRowHPart32f_Sse2, VELMORA_SSE2, float, Single)
VELMORA_DEFINE_ROWHPART(ResizeLinearRowHPart32f_Sse3, VELMORA_SSE3, float, Double)
VELMORA_DEFINE_ROWH(ResizeLinearRowHOneCh32f_Generic, VELMORA_NO_TARGET, float, 1, 1, Double)
VELMORA_DEFINE_ROW_BODY(ResizeLinearRowHOneCh32f_Sse, VELMORA_SSE, float, RowHOneCh32fSingleVector)
VELMORA_DEFINE_ROW_BODY(ResizeLinearRowHOneCh32f_Sse2, VELMORA_SSE2, float,
                        RowHOneCh32fSingleVector)
VELMORA_DEFINE_ROW_BODY(ResizeLinearRowHOneCh32f_Sse3, VELMORA_SSE3, float,
                        RowHOneCh32fSingleVector)
VELMORA_DEFINE_ROW_BODY(ResizeLinearRowHOneCh32f_Ssse3, VELMORA_SSSE3, float,
                        RowHOneCh32fSingleVector)

// 32f vertical members by form.
VELMORA_DEFINE_ROWV(ResizeLinearRowV32f_Generic, VELMORA_NO_TARGET, float, LinearRowVModel, Double)
VELMORA_DEFINE_ROWV_BODY(ResizeLinearRowV32f_Sse, VELMORA_SSE, float, RowV32fSingleVector)
VELMORA_DEFINE_ROWV_BODY(ResizeLinearRowV32f_Sse2, VELMORA_SSE2, float, RowV32fSingleVector)
VELMORA_DEFINE_ROWV_BODY(ResizeLinearRowV32f_Sse3, VELMORA_SSE3, float, RowV32fSingleVector)
VELMORA_DEFINE_ROWV_BODY(ResizeLinearRowV32f_Ssse3, VELMORA_SSSE3, float, RowV32fSingleVector)
VELMORA_DEFINE_ROWV(ResizeLinearRowVPart32f_Generic, VELMORA_NO_TARGET, float, LinearRowVPartModel,
                    Double)
VELMORA_DEFINE_ROWV(ResizeLinearRowVPart32f_Sse, VELMORA_SSE, float, LinearRowVPartModel, Single)
VELMORA_DEFINE_ROWV(ResizeLinearRowVPart32f_Sse2, VELMORA_SSE2, float, LinearRowVPartModel, Single)
VELMORA_DEFINE_ROWV(ResizeLinearRowVPart32f_Sse3, VELMORA_SSE3, float, LinearRowVPartModel, Mixed)
VELMORA_DEFINE_ROWV(ResizeLinearRowVPart32f_Ssse3, VELMORA_SSSE3, float, LinearRowVPartModel,
                    Single)

}  // namespace velmora::resize

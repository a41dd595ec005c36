#pragma once

// Four single-precision lanes with the arithmetic operators of `float`, so
// that a vector body can run the very lane arithmetic of a scalar model;
// loads that widen four samples of 8u, 16u or 32f to four floats; the
// truncating conversions of the vector bodies; and the scatter of a
// three-of-four stream into four-sample pixels (with a byte shuffle in the
// Ssse3 members), which never touches a pixel's fourth sample.

#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "resize/ResizeCubicRowModel.h"  // the conversions of the float passes

namespace velmora::resize {

struct F4 {
    __m128 v;
    F4() = default;
    VELMORA_RESIZE_INLINE F4(__m128 x) : v(x) {}
    VELMORA_RESIZE_INLINE explicit F4(float f) : v(_mm_set1_ps(f)) {}
};

VELMORA_RESIZE_INLINE F4 operator+(F4 a, F4 b) {
    return _mm_add_ps(a.v, b.v);
}
VELMORA_RESIZE_INLINE F4 operator-(F4 a, F4 b) {
    return _mm_sub_ps(a.v, b.v);
}
VELMORA_RESIZE_INLINE F4 operator*(F4 a, F4 b) {
    return _mm_mul_ps(a.v, b.v);
}
VELMORA_RESIZE_INLINE F4 operator/(F4 a, F4 b) {
    return _mm_div_ps(a.v, b.v);
}

// Four consecutive samples widened exactly to float.
template <typename T>
VELMORA_RESIZE_INLINE F4 LoadWiden4(const T* p) {
    if constexpr (std::is_same_v<T, float>) {
        return _mm_loadu_ps(p);
    } else if constexpr (std::is_same_v<T, uint16_t>) {
        const __m128i w = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        return _mm_cvtepi32_ps(_mm_unpacklo_epi16(w, _mm_setzero_si128()));
    } else {
        int32_t bytes;
        std::memcpy(&bytes, p, 4);
        const __m128i zero = _mm_setzero_si128();
        const __m128i b = _mm_cvtsi32_si128(bytes);
        return _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(b, zero), zero));
    }
}

// Two consecutive samples in lanes 0 and 1; lanes 2 and 3 are 0.
template <typename T>
VELMORA_RESIZE_INLINE F4 LoadWiden2(const T* p) {
    if constexpr (std::is_same_v<T, float>) {
        return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    } else {
        int32_t samples = 0;
        std::memcpy(&samples, p, 2 * sizeof(T));
        const __m128i zero = _mm_setzero_si128();
        __m128i w = _mm_cvtsi32_si128(samples);
        if constexpr (std::is_same_v<T, uint8_t>) w = _mm_unpacklo_epi8(w, zero);
        return _mm_cvtepi32_ps(_mm_unpacklo_epi16(w, zero));
    }
}

// The byte shuffle of Ssse3, spelt as the compiler's builtin: the intrinsic
// is a function of its own target and cannot be inlined into a shared body
// before that body is inlined into its Ssse3 member, whereas the builtin is
// checked only where it is finally expanded.
VELMORA_RESIZE_INLINE __m128i ShuffleBytes(__m128i v, __m128i mask) {
    return reinterpret_cast<__m128i>(
        __builtin_ia32_pshufb128(reinterpret_cast<__v16qi>(v), reinterpret_cast<__v16qi>(mask)));
}

// Bytes b0 .. b3 of v widened to four floats by one byte shuffle; a negative
// index gives 0.
VELMORA_RESIZE_INLINE F4 ShuffleWiden(__m128i v, int8_t b0, int8_t b1, int8_t b2, int8_t b3) {
    const __m128i mask =
        _mm_setr_epi8(b0, -1, -1, -1, b1, -1, -1, -1, b2, -1, -1, -1, b3, -1, -1, -1);
    return _mm_cvtepi32_ps(ShuffleBytes(v, mask));
}

// Exactly three samples; the fourth lane is 0.
template <typename T>
VELMORA_RESIZE_INLINE F4 LoadWiden3(const T* p) {
    if constexpr (std::is_same_v<T, float>) {
        return _mm_setr_ps(p[0], p[1], p[2], 0.0f);
    } else {
        return _mm_cvtepi32_ps(_mm_setr_epi32(p[0], p[1], p[2], 0));
    }
}

// Truncation toward zero; out-of-range lanes give the integer indefinite.
VELMORA_RESIZE_INLINE __m128i TruncateLanes(F4 r) {
    return _mm_cvttps_epi32(r.v);
}

// Saturation of 32-bit lanes to 0 .. 65535, in the low 16 bits of each lane.
VELMORA_RESIZE_INLINE __m128i SaturateLanes16u(__m128i v) {
    v = _mm_andnot_si128(_mm_srai_epi32(v, 31), v);
    const __m128i max = _mm_set1_epi32(65535);
    const __m128i over = _mm_cmpgt_epi32(v, max);
    return _mm_or_si128(_mm_andnot_si128(over, v), _mm_and_si128(over, max));
}

// r + h truncated and saturated (8u, 16u) or r (32f) into four consecutive
// destination values.
template <typename T>
VELMORA_RESIZE_INLINE __m128i ConvertLanes(F4 r) {
    const __m128i v = TruncateLanes(r + F4(CubicFloatFromBits(kCubicBiasBits)));
    if constexpr (std::is_same_v<T, uint16_t>) {
        return SaturateLanes16u(v);
    } else {
        return v;
    }
}

template <typename T>
VELMORA_RESIZE_INLINE void StoreLanes(T* d, F4 r) {
    if constexpr (std::is_same_v<T, float>) {
        _mm_storeu_ps(d, r.v);
    } else if constexpr (std::is_same_v<T, uint8_t>) {
        const __m128i w = _mm_packs_epi32(ConvertLanes<T>(r), _mm_setzero_si128());
        const int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(w, w));
        std::memcpy(d, &bytes, 4);
    } else {
        const __m128i bias = _mm_set1_epi32(32768);
        const __m128i w = _mm_packs_epi32(_mm_sub_epi32(ConvertLanes<T>(r), bias), bias);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d),
                         _mm_xor_si128(w, _mm_set1_epi16(static_cast<int16_t>(0x8000))));
    }
}

// Samples 0-2 of four pixels of four bytes; sample 3 of each pixel is neither
// read nor written, since the caller (or another thread) may own it. Two
// pixels a general register: samples 0-1 as one 16-bit store, sample 2 as
// one byte.
VELMORA_RESIZE_INLINE void StoreThreeOfFour8u(uint8_t* dst, __m128i pixels) {
    auto pair = [](uint8_t* d, uint64_t v) VELMORA_LAMBDA_INLINE {
        const auto first = static_cast<uint16_t>(v);
        const auto second = static_cast<uint16_t>(v >> 32);
        std::memcpy(d, &first, 2);
        d[2] = static_cast<uint8_t>(v >> 16);
        std::memcpy(d + 4, &second, 2);
        d[6] = static_cast<uint8_t>(v >> 48);
    };
    pair(dst, static_cast<uint64_t>(_mm_cvtsi128_si64(pixels)));
    pair(dst + 8, static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(pixels, pixels))));
}

VELMORA_RESIZE_INLINE ptrdiff_t PartSample(int32_t e) {
    return 4 * static_cast<ptrdiff_t>(e / 3) + e % 3;
}

// Twelve 8u values (four pixels) from three vectors, as bytes 0-11.
template <typename Lanes>
VELMORA_RESIZE_INLINE __m128i TwelveBytes(const Lanes& lanes, int32_t e) {
    const __m128i a =
        _mm_packs_epi32(ConvertLanes<uint8_t>(lanes.At(e)), ConvertLanes<uint8_t>(lanes.At(e + 4)));
    const __m128i b = _mm_packs_epi32(ConvertLanes<uint8_t>(lanes.At(e + 8)), _mm_setzero_si128());
    return _mm_packus_epi16(a, b);
}

// Ssse3: the twelve bytes spread to four pixels by a byte shuffle.
template <typename Lanes>
__attribute__((target("ssse3"))) int32_t RowVPart8uShuffled(uint8_t* dstRow, int32_t main,
                                                            const Lanes& lanes) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    int32_t e = 0;
    for (; e + 12 <= main; e += 12)
        StoreThreeOfFour8u(dstRow + PartSample(e), _mm_shuffle_epi8(TwelveBytes(lanes, e), spread));
    return e;
}

// Three of four samples of 8u or 16u from a stream of 3 x `width` values:
// the main values (rounded down to a multiple of 4) four at a time from
// `lanes.At(e)`, the rest one by one from `tail(e)`.
template <typename T, bool Shuffles, typename Lanes, typename Tail>
VELMORA_RESIZE_INLINE void StorePartStream(T* dstRow, int32_t width, const Lanes& lanes,
                                           Tail tail) {
    const int32_t values = 3 * width;
    const int32_t main = values & ~3;
    int32_t e = 0;
    if constexpr (std::is_same_v<T, uint8_t>) {
        if constexpr (Shuffles) {
            e = RowVPart8uShuffled(dstRow, main, lanes);
        } else {
            for (; e + 12 <= main; e += 12) {
                alignas(16) uint8_t bytes[16];
                _mm_store_si128(reinterpret_cast<__m128i*>(bytes), TwelveBytes(lanes, e));
                for (int32_t l = 0; l < 12; ++l)
                    dstRow[PartSample(e + l)] = bytes[l];
            }
        }
    }
    for (; e < main; e += 4) {
        alignas(16) T four[8];
        StoreLanes(four, lanes.At(e));
        for (int32_t l = 0; l < 4; ++l)
            dstRow[PartSample(e + l)] = four[l];
    }
    for (; e < values; ++e)
        dstRow[PartSample(e)] = tail(e);
}

}  // namespace velmora::resize

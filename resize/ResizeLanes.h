#pragma once

// Four single-precision lanes with the arithmetic operators of `float`, so
// that a vector body can run the very lane arithmetic of a scalar model;
// loads that widen four samples of 8u, 16u or 32f to four floats; and the
// truncating conversions of the vector bodies. SSE2 instructions only; the
// byte shuffles of the Ssse3 members sit with those members.

#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "resize/ResizeLinearRowModel.h"  // VELMORA_RESIZE_INLINE

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

}  // namespace velmora::resize

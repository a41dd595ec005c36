// Members of the 4:2:2 linear row filters. The Generic members are the
// scalar model; the Sse2, Sse3 and Ssse3 members share one body of SSE2
// 16-bit multiply-adds with the model's weights and rounding (two output
// pairs a step horizontally, four vertically, the rest through the model).
#include <immintrin.h>

#include <cstring>

#include "resize/ResizeYuv422Rows.h"

namespace velmora::resize {
namespace {

inline __m128i Load32(const void* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

inline __m128i Round8(__m128i sums) {
    return _mm_srai_epi32(_mm_add_epi32(sums, _mm_set1_epi32(128)), 8);
}

// U0 U1 V0 V1 of the pair at c and the next one, as 16-bit lanes.
inline __m128i ChromaTaps(const uint8_t* c) {
    const __m128i bytes = _mm_srli_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c)), 8);
    return _mm_shufflelo_epi16(bytes, _MM_SHUFFLE(3, 1, 2, 0));
}

inline void RowHVector(const uint8_t* srcRow, int32_t pairs, const int32_t* yIndex,
                       const int32_t* cIndex, const uint16_t* yWeights, const uint16_t* cWeights,
                       uint16_t* yOut, uint16_t* uOut, uint16_t* vOut) {
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    int32_t p = 0;
    for (; p + 2 <= pairs; p += 2) {
        // Luma: bytes a and a + 2 of each of the four columns as 16-bit pairs.
        const __m128i taps =
            _mm_and_si128(_mm_setr_epi32(_mm_cvtsi128_si32(Load32(srcRow + yIndex[2 * p])),
                                         _mm_cvtsi128_si32(Load32(srcRow + yIndex[2 * p + 1])),
                                         _mm_cvtsi128_si32(Load32(srcRow + yIndex[2 * p + 2])),
                                         _mm_cvtsi128_si32(Load32(srcRow + yIndex[2 * p + 3]))),
                          lowBytes);
        const __m128i weights = _mm_loadu_si128(reinterpret_cast<const __m128i*>(yWeights + 4 * p));
        const __m128i luma = Round8(_mm_madd_epi16(taps, weights));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(yOut + 2 * p), _mm_packs_epi32(luma, luma));
        // U and V of both pairs against each pair's weights.
        const __m128i chroma =
            _mm_unpacklo_epi64(ChromaTaps(srcRow + cIndex[p]), ChromaTaps(srcRow + cIndex[p + 1]));
        int32_t w0, w1;
        std::memcpy(&w0, cWeights + 2 * p, 4);
        std::memcpy(&w1, cWeights + 2 * p + 2, 4);
        const __m128i uv = Round8(_mm_madd_epi16(chroma, _mm_setr_epi32(w0, w0, w1, w1)));
        uOut[p] = static_cast<uint16_t>(_mm_cvtsi128_si32(uv));
        vOut[p] = static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_srli_si128(uv, 4)));
        uOut[p + 1] = static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_srli_si128(uv, 8)));
        vOut[p + 1] = static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_srli_si128(uv, 12)));
    }
    ResizeYuv422LinearRowHModel(srcRow, pairs - p, yIndex + 2 * p, cIndex + p, yWeights + 4 * p,
                                cWeights + 2 * p, yOut + 2 * p, uOut + p, vOut + p);
}

inline __m128i Blend20(__m128i top, __m128i bottom, __m128i weights) {
    const __m128i sums = _mm_madd_epi16(_mm_unpacklo_epi16(top, bottom), weights);
    return _mm_srai_epi32(_mm_add_epi32(sums, _mm_set1_epi32(0x80000)), 20);
}

inline void RowVVector(uint8_t* dstRow, int32_t pairs, uint32_t weight, const uint16_t* yTop,
                       const uint16_t* yBottom, const uint16_t* uTop, const uint16_t* uBottom,
                       const uint16_t* vTop, const uint16_t* vBottom) {
    const __m128i weights = _mm_set1_epi32(static_cast<int32_t>((weight << 16) | (16384 - weight)));
    int32_t p = 0;
    for (; p + 4 <= pairs; p += 4) {
        auto load8 = [](const uint16_t* q) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        };
        auto load4 = [](const uint16_t* q) {
            return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q));
        };
        const __m128i yt = load8(yTop + 2 * p), yb = load8(yBottom + 2 * p);
        const __m128i y =
            _mm_packs_epi32(Blend20(yt, yb, weights),
                            Blend20(_mm_srli_si128(yt, 8), _mm_srli_si128(yb, 8), weights));
        const __m128i u = Blend20(load4(uTop + p), load4(uBottom + p), weights);
        const __m128i v = Blend20(load4(vTop + p), load4(vBottom + p), weights);
        const __m128i uv = _mm_unpacklo_epi16(_mm_packs_epi32(u, u), _mm_packs_epi32(v, v));
        const __m128i bytes =
            _mm_packus_epi16(_mm_unpacklo_epi16(y, uv), _mm_unpackhi_epi16(y, uv));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dstRow + 4 * p), bytes);
    }
    ResizeYuv422LinearRowVModel(dstRow + 4 * p, pairs - p, weight, yTop + 2 * p, yBottom + 2 * p,
                                uTop + p, uBottom + p, vTop + p, vBottom + p);
}

}  // namespace

#define VELMORA_YUV422_ROWS_DEFINE(V, target, H, V_)                                           \
    target void ResizeYuv422LinearRowH_##V(const uint8_t* srcRow, int32_t pairs,               \
                                           const int32_t* yIndex, const int32_t* cIndex,       \
                                           const uint16_t* yWeights, const uint16_t* cWeights, \
                                           uint16_t* yOut, uint16_t* uOut, uint16_t* vOut) {   \
        H(srcRow, pairs, yIndex, cIndex, yWeights, cWeights, yOut, uOut, vOut);                \
    }                                                                                          \
    target void ResizeYuv422LinearRowV_##V(uint8_t* dstRow, int32_t pairs, uint32_t weight,    \
                                           const uint16_t* yTop, const uint16_t* yBottom,      \
                                           const uint16_t* uTop, const uint16_t* uBottom,      \
                                           const uint16_t* vTop, const uint16_t* vBottom) {    \
        V_(dstRow, pairs, weight, yTop, yBottom, uTop, uBottom, vTop, vBottom);                \
    }

VELMORA_YUV422_ROWS_DEFINE(Generic, , ResizeYuv422LinearRowHModel, ResizeYuv422LinearRowVModel)
VELMORA_YUV422_ROWS_DEFINE(Sse2, __attribute__((target("sse2"))), RowHVector, RowVVector)
VELMORA_YUV422_ROWS_DEFINE(Sse3, __attribute__((target("sse3"))), RowHVector, RowVVector)
VELMORA_YUV422_ROWS_DEFINE(Ssse3, __attribute__((target("ssse3"))), RowHVector, RowVVector)

}  // namespace velmora::resize

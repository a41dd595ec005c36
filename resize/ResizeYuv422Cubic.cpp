#include "resize/ResizeYuv422Cubic.h"

#include <bit>
#include <cmath>
#include <cstddef>

#include <immintrin.h>

#include "resize/ResizeLinearRowModel.h"  // VELMORA_RESIZE_INLINE

namespace velmora::resize {

template <CubicForm F>
double ResizeYuv422CubicValue(double p0, double p1, double p2, double p3, float t, bool vertical) {
    if constexpr (F == CubicForm::Double) {
        const double td = t;
        const double a2 = td * (1.0 + td) / 2.0;
        const double a3 = (td - 1.0) * a2 / 3.0;
        // Horizontal coefficients in single precision, the vertical a3 too.
        const double c1 = vertical ? 1.0 + td : static_cast<float>(1.0 + td);
        const double c2 = vertical ? a2 : static_cast<float>(a2);
        const double c3 = static_cast<float>(a3);
        const double d1 = p1 - p0;
        const double d2 = (p2 - p1) - d1;
        const double d3 = (p3 - 2.0 * p2 + p1) - d2;
        return p0 + c1 * d1 + c2 * d2 + c3 * d3;
    } else {
        const auto q0 = static_cast<float>(p0), q1 = static_cast<float>(p1);
        const auto q2 = static_cast<float>(p2), q3 = static_cast<float>(p3);
        const float d1 = q1 - q0;
        const float d2 = (q2 - q1) - d1;
        const float d3 = ((q3 - q2) - q2) + (q1 - d2);
        const float c1 = t + 1.0f;
        const float c2 = (0.5f * t) * (t + 1.0f);
        float c3;
        if constexpr (F == CubicForm::Core)
            c3 = ((t - 1.0f) * std::bit_cast<float>(0x3EAAAAAAu)) * c2;
        else
            c3 = (t - 1.0f) * c2 / 3.0f;
        return (q0 + c1 * d1) + (c2 * d2 + c3 * d3);
    }
}

template <CubicForm F>
uint8_t ResizeYuv422CubicByte(double value) {
    double biased;
    if constexpr (F == CubicForm::Core)
        biased = static_cast<float>(value) + std::bit_cast<float>(0x3F000002u);
    else
        biased = value + 0.5000001;
    const double truncated = std::trunc(biased);
    return truncated <= 0 ? 0 : truncated >= 255 ? 255 : static_cast<uint8_t>(truncated);
}

namespace {

template <CubicForm F>
void RowHModel(const uint8_t* s, int32_t first, int32_t end, const int32_t* yIndex,
               const int32_t* cIndex, const float* yFrac, const float* cFrac, float* yOut,
               float* uOut, float* vOut) {
    auto value = [](const uint8_t* q, int32_t stride, float t) {
        return static_cast<float>(
            ResizeYuv422CubicValue<F>(q[-stride], q[0], q[stride], q[2 * stride], t, false));
    };
    for (int32_t p = first; p < end; ++p) {
        for (int32_t k = 0; k < 2; ++k)
            yOut[2 * p + k] = value(s + yIndex[2 * p + k], 2, yFrac[2 * p + k]);
        uOut[p] = value(s + cIndex[p] + 1, 4, cFrac[p]);
        vOut[p] = value(s + cIndex[p] + 3, 4, cFrac[p]);
    }
}

template <CubicForm F>
void RowVModel(uint8_t* d, int32_t first, int32_t end, float t, const float* const y[4],
               const float* const u[4], const float* const v[4]) {
    auto byte = [&](const float* const rows[4], int32_t k) {
        return ResizeYuv422CubicByte<F>(
            ResizeYuv422CubicValue<F>(rows[0][k], rows[1][k], rows[2][k], rows[3][k], t, true));
    };
    for (int32_t p = first; p < end; ++p) {
        d[4 * p] = byte(y, 2 * p);
        d[4 * p + 1] = byte(u, p);
        d[4 * p + 2] = byte(y, 2 * p + 1);
        d[4 * p + 3] = byte(v, p);
    }
}

// ---- the vector cores: two output pairs a step ----

// The Newton form over four lanes, in the order of the scalar core form.
struct CoreCoefs {
    __m128 c1, c2, c3;
};

VELMORA_RESIZE_INLINE CoreCoefs CoreCoefsOf(__m128 t) {
    const __m128 c1 = _mm_add_ps(t, _mm_set1_ps(1.0f));
    const __m128 c2 = _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(0.5f), t), c1);
    const __m128 third = _mm_set1_ps(std::bit_cast<float>(0x3EAAAAAAu));
    const __m128 c3 = _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(t, _mm_set1_ps(1.0f)), third), c2);
    return {c1, c2, c3};
}

VELMORA_RESIZE_INLINE __m128 CoreValue(__m128 p0, __m128 p1, __m128 p2, __m128 p3,
                                       const CoreCoefs& c) {
    const __m128 d1 = _mm_sub_ps(p1, p0);
    const __m128 d2 = _mm_sub_ps(_mm_sub_ps(p2, p1), d1);
    const __m128 d3 = _mm_add_ps(_mm_sub_ps(_mm_sub_ps(p3, p2), p2), _mm_sub_ps(p1, d2));
    return _mm_add_ps(_mm_add_ps(p0, _mm_mul_ps(c.c1, d1)),
                      _mm_add_ps(_mm_mul_ps(c.c2, d2), _mm_mul_ps(c.c3, d3)));
}

// The four luma taps of one output sample: 8 bytes from two before its base,
// the even bytes kept.
VELMORA_RESIZE_INLINE __m128 LumaTaps(const uint8_t* at) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at - 2));
    const __m128i even = _mm_and_si128(bytes, _mm_set1_epi16(0x00FF));
    return _mm_cvtepi32_ps(_mm_unpacklo_epi16(even, _mm_setzero_si128()));
}

VELMORA_RESIZE_INLINE void RowHCoreStep(const uint8_t* s, const int32_t* yIndex,
                                        const int32_t* cIndex, const float* yFrac,
                                        const float* cFrac, float* yOut, float* uOut, float* vOut) {
    __m128 a = LumaTaps(s + yIndex[0]), b = LumaTaps(s + yIndex[1]);
    __m128 c = LumaTaps(s + yIndex[2]), d = LumaTaps(s + yIndex[3]);
    _MM_TRANSPOSE4_PS(a, b, c, d);
    _mm_store_ps(yOut, CoreValue(a, b, c, d, CoreCoefsOf(_mm_load_ps(yFrac))));

    // Macropixels m - 1 .. m + 2 of each pair: U and V from the odd bytes.
    const __m128i odd = _mm_set1_epi32(static_cast<int32_t>(0xFF00FF00u));
    const __m128i first =
        _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + cIndex[0] - 4)), odd);
    const __m128i second =
        _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + cIndex[1] - 4)), odd);
    const __m128i low = _mm_set1_epi32(0xFF);
    __m128 u0 = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(first, 8), low));
    __m128 u1 = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(second, 8), low));
    __m128 v0 = _mm_cvtepi32_ps(_mm_srli_epi32(first, 24));
    __m128 v1 = _mm_cvtepi32_ps(_mm_srli_epi32(second, 24));
    _MM_TRANSPOSE4_PS(u0, u1, v0, v1);
    const __m128 t = _mm_castpd_ps(_mm_load1_pd(reinterpret_cast<const double*>(cFrac)));
    const __m128 uv = CoreValue(u0, u1, v0, v1, CoreCoefsOf(t));
    _mm_storel_pi(reinterpret_cast<__m64*>(uOut), uv);
    _mm_storeh_pi(reinterpret_cast<__m64*>(vOut), uv);
}

VELMORA_RESIZE_INLINE void RowHCore(const uint8_t* s, int32_t pairs, const int32_t* yIndex,
                                    const int32_t* cIndex, const float* yFrac, const float* cFrac,
                                    float* yOut, float* uOut, float* vOut) {
    for (int32_t p = 0; p < pairs; p += 2) {
        RowHCoreStep(s, yIndex + 2 * p, cIndex + p, yFrac + 2 * p, cFrac + p, yOut + 2 * p,
                     uOut + p, vOut + p);
    }
}

// U of two pairs of one row in lanes 0 and 1, their V in lanes 2 and 3.
VELMORA_RESIZE_INLINE __m128 ChromaLanes(const float* u, const float* v) {
    const __m128 lo = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(u));
    return _mm_loadh_pi(lo, reinterpret_cast<const __m64*>(v));
}

VELMORA_RESIZE_INLINE __m128i CoreBiasedTruncated(__m128 value) {
    const __m128 biased = _mm_add_ps(value, _mm_set1_ps(std::bit_cast<float>(0x3F000002u)));
    return _mm_cvttps_epi32(biased);
}

VELMORA_RESIZE_INLINE void RowVCore(uint8_t* d, int32_t pairs, float t, const float* const y[4],
                                    const float* const u[4], const float* const v[4]) {
    const CoreCoefs c = CoreCoefsOf(_mm_set1_ps(t));
    for (int32_t p = 0; p < pairs; p += 2) {
        const int32_t l = 2 * p;
        const __m128 luma = CoreValue(_mm_load_ps(y[0] + l), _mm_load_ps(y[1] + l),
                                      _mm_load_ps(y[2] + l), _mm_load_ps(y[3] + l), c);
        const __m128 chroma =
            CoreValue(ChromaLanes(u[0] + p, v[0] + p), ChromaLanes(u[1] + p, v[1] + p),
                      ChromaLanes(u[2] + p, v[2] + p), ChromaLanes(u[3] + p, v[3] + p), c);
        // Luma Y0 Y1 Y0 Y1 beside chroma U V U V, then word by word.
        const __m128i uv = _mm_shuffle_epi32(CoreBiasedTruncated(chroma), _MM_SHUFFLE(3, 1, 2, 0));
        const __m128i words =
            _mm_unpacklo_epi16(_mm_packs_epi32(CoreBiasedTruncated(luma), _mm_setzero_si128()),
                               _mm_packs_epi32(uv, _mm_setzero_si128()));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 4 * p), _mm_packus_epi16(words, words));
    }
}

// Vector variants: the even part through the core, an odd last pair in
// single precision.
template <class Core>
void RowHSplit(Core core, const uint8_t* s, int32_t pairs, const int32_t* yIndex,
               const int32_t* cIndex, const float* yFrac, const float* cFrac, float* yOut,
               float* uOut, float* vOut) {
    const int32_t even = pairs & ~1;
    if (even >= 2) core(s, even, yIndex, cIndex, yFrac, cFrac, yOut, uOut, vOut);
    if (pairs > even)
        RowHModel<CubicForm::Single>(s, even, pairs, yIndex, cIndex, yFrac, cFrac, yOut, uOut,
                                     vOut);
}

struct CubicRows {
    decltype(&ResizeYuv422CubicRowH_Generic) rowH;
    decltype(&ResizeYuv422CubicRowV_Generic) rowV;
};

void CubicPass(const CubicRows& rows, const uint8_t* pRoi, uint8_t* pDst, int32_t srcStep,
               int32_t dstStep, int32_t pairs, int32_t dstHeight, const int32_t* rowOffsets,
               const int32_t* lumaOffsets, const int32_t* chromaOffsets, const float* rowFracs,
               const float* lumaFracs, const float* chromaFracs, float* const lumaRows[4],
               float* const uRows[4], float* const vRows[4]) {
    struct Set {
        float *y, *u, *v;
        bool held;
        ptrdiff_t offset;
    };
    Set sets[4];
    for (int k = 0; k < 4; ++k)
        sets[k] = {lumaRows[k], uRows[k], vRows[k], false, 0};
    for (int32_t j = 0; j < dstHeight; ++j) {
        // Rows base - 1 .. base + 2: keep the sets that hold one of them,
        // filter the others into the sets left over.
        Set ordered[4];
        bool taken[4] = {}, placed[4] = {};
        for (int k = 0; k < 4; ++k) {
            const ptrdiff_t want = rowOffsets[j] + static_cast<ptrdiff_t>(k - 1) * srcStep;
            for (int m = 0; m < 4 && !placed[k]; ++m) {
                if (!taken[m] && sets[m].held && sets[m].offset == want) {
                    ordered[k] = sets[m];
                    taken[m] = placed[k] = true;
                }
            }
        }
        for (int k = 0; k < 4; ++k) {
            if (placed[k]) continue;
            int m = 0;
            while (taken[m])
                ++m;
            taken[m] = true;
            ordered[k] = sets[m];
            ordered[k].offset = rowOffsets[j] + static_cast<ptrdiff_t>(k - 1) * srcStep;
            ordered[k].held = true;
            rows.rowH(pRoi + ordered[k].offset, pairs, lumaOffsets, chromaOffsets, lumaFracs,
                      chromaFracs, ordered[k].y, ordered[k].u, ordered[k].v);
        }
        for (int k = 0; k < 4; ++k)
            sets[k] = ordered[k];
        rows.rowV(pDst + static_cast<ptrdiff_t>(j) * dstStep, pairs, rowFracs + j, sets[0].y,
                  sets[1].y, sets[2].y, sets[3].y, sets[0].u, sets[1].u, sets[2].u, sets[3].u,
                  sets[0].v, sets[1].v, sets[2].v, sets[3].v);
    }
}

}  // namespace

#define VELMORA_CUBIC_ROWV_ARGS                                                                \
    uint8_t *dstRow, int32_t pairs, const float *frac, const float *yRow0, const float *yRow1, \
        const float *yRow2, const float *yRow3, const float *uRow0, const float *uRow1,        \
        const float *uRow2, const float *uRow3, const float *vRow0, const float *vRow1,        \
        const float *vRow2, const float *vRow3
#define VELMORA_CUBIC_ROWV_ROWS                             \
    const float* const y[4] = {yRow0, yRow1, yRow2, yRow3}; \
    const float* const u[4] = {uRow0, uRow1, uRow2, uRow3}; \
    const float* const v[4] = {vRow0, vRow1, vRow2, vRow3};
#define VELMORA_CUBIC_ROWH_ARGS                                                         \
    const uint8_t *srcRow, int32_t pairs, const int32_t *yIndex, const int32_t *cIndex, \
        const float *yFrac, const float *cFrac, float *yOut, float *uOut, float *vOut

#define VELMORA_CUBIC_SCALAR_DEFINE(V, FORM, target)                                       \
    target void ResizeYuv422CubicRowH_##V(VELMORA_CUBIC_ROWH_ARGS) {                       \
        RowHModel<FORM>(srcRow, 0, pairs, yIndex, cIndex, yFrac, cFrac, yOut, uOut, vOut); \
    }                                                                                      \
    target void ResizeYuv422CubicRowV_##V(VELMORA_CUBIC_ROWV_ARGS) {                       \
        VELMORA_CUBIC_ROWV_ROWS                                                            \
        RowVModel<FORM>(dstRow, 0, pairs, *frac, y, u, v);                                 \
    }
VELMORA_CUBIC_SCALAR_DEFINE(Generic, CubicForm::Double, )
VELMORA_CUBIC_SCALAR_DEFINE(Sse, CubicForm::Single, __attribute__((target("sse"))))

#define VELMORA_CUBIC_VECTOR_DEFINE(V, target)                                                   \
    target void ResizeYuv422CubicRowHCore_##V(VELMORA_CUBIC_ROWH_ARGS) {                         \
        RowHCore(srcRow, pairs, yIndex, cIndex, yFrac, cFrac, yOut, uOut, vOut);                 \
    }                                                                                            \
    target void ResizeYuv422CubicRowVCore_##V(VELMORA_CUBIC_ROWV_ARGS) {                         \
        VELMORA_CUBIC_ROWV_ROWS                                                                  \
        RowVCore(dstRow, pairs, *frac, y, u, v);                                                 \
    }                                                                                            \
    target void ResizeYuv422CubicRowH_##V(VELMORA_CUBIC_ROWH_ARGS) {                             \
        RowHSplit(ResizeYuv422CubicRowHCore_##V, srcRow, pairs, yIndex, cIndex, yFrac, cFrac,    \
                  yOut, uOut, vOut);                                                             \
    }                                                                                            \
    target void ResizeYuv422CubicRowV_##V(VELMORA_CUBIC_ROWV_ARGS) {                             \
        const int32_t even = pairs & ~1;                                                         \
        if (even >= 2)                                                                           \
            ResizeYuv422CubicRowVCore_##V(dstRow, even, frac, yRow0, yRow1, yRow2, yRow3, uRow0, \
                                          uRow1, uRow2, uRow3, vRow0, vRow1, vRow2, vRow3);      \
        VELMORA_CUBIC_ROWV_ROWS                                                                  \
        RowVModel<CubicForm::Single>(dstRow, even, pairs, *frac, y, u, v);                       \
    }
VELMORA_CUBIC_VECTOR_DEFINE(Sse2, __attribute__((target("sse2"))))
VELMORA_CUBIC_VECTOR_DEFINE(Sse3, __attribute__((target("sse3"))))
VELMORA_CUBIC_VECTOR_DEFINE(Ssse3, __attribute__((target("ssse3"))))

#define VELMORA_CUBIC_PASS_DEFINE(V)                                                           \
    void ResizeYuv422Cubic_##V(                                                                \
        const uint8_t* pRoi, uint8_t* pDst, int32_t srcStep, int32_t dstStep, int32_t pairs,   \
        int32_t dstHeight, const int32_t* rowOffsets, const int32_t* lumaOffsets,              \
        const int32_t* chromaOffsets, const float* rowFracs, const float* lumaFracs,           \
        const float* chromaFracs, float* const lumaRows[4], float* const uRows[4],             \
        float* const vRows[4]) {                                                               \
        CubicPass({ResizeYuv422CubicRowH_##V, ResizeYuv422CubicRowV_##V}, pRoi, pDst, srcStep, \
                  dstStep, pairs, dstHeight, rowOffsets, lumaOffsets, chromaOffsets, rowFracs, \
                  lumaFracs, chromaFracs, lumaRows, uRows, vRows);                             \
    }
VELMORA_CUBIC_PASS_DEFINE(Generic)
VELMORA_CUBIC_PASS_DEFINE(Sse)
VELMORA_CUBIC_PASS_DEFINE(Sse2)
VELMORA_CUBIC_PASS_DEFINE(Sse3)
VELMORA_CUBIC_PASS_DEFINE(Ssse3)

template double ResizeYuv422CubicValue<CubicForm::Double>(double, double, double, double, float,
                                                          bool);
template double ResizeYuv422CubicValue<CubicForm::Single>(double, double, double, double, float,
                                                          bool);
template double ResizeYuv422CubicValue<CubicForm::Core>(double, double, double, double, float,
                                                        bool);
template uint8_t ResizeYuv422CubicByte<CubicForm::Double>(double);
template uint8_t ResizeYuv422CubicByte<CubicForm::Single>(double);
template uint8_t ResizeYuv422CubicByte<CubicForm::Core>(double);

}  // namespace velmora::resize

// Members of the Lanczos row kernels. The Generic and Sse members are the
// scalar models of their forms, except the Sse 32f vertical member, which
// runs its form four values a step. The Sse2, Sse3 and Ssse3 members give
// identical results and are one body compiled for each instruction set: the
// no-border RowH and RowHPart members take one pixel per vector (its
// channels in the lanes, summed pairwise), the no-border RowHOneCh members
// two columns a step, the 8u Ssse3 ones widening bytes by a byte shuffle
// rather than by unpacking; their border members compute the edge columns in
// scalar code (the Sse3 32f members in double) and hand the interior run to
// their no-border member; their vertical members take four values per
// vector, the rest one by one in the same arithmetic.
#include "resize/ResizeLanczosRows.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "resize/ResizeLanes.h"

namespace velmora::resize {
namespace {

using LanczosNoBorderForm::Double;
using LanczosNoBorderForm::Single;

// ---- no-border, vector members ----

// The six tap vectors of the pixel of stride S whose channel 0 is at q
// (channel c in lane c). Stride 3 reads taps 0-4 as four samples (the fourth
// is the next pixel's first) and tap 5 as exactly three. The 8u Ssse3 members
// fetch the six tap pixels with two 16-byte loads, the first from tap 0, the
// second ending with tap 5's last byte, and widen each tap by one byte
// shuffle. The tap loops are unrolled so that the taps stay in registers and
// the shuffle masks are constants.
template <typename T, int S, bool Shuffles>
VELMORA_RESIZE_INLINE void PixelTaps(const T* q, F4 (&t)[6]) {
    if constexpr (Shuffles) {
        static_assert(std::is_same_v<T, uint8_t>);
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q - 2 * S));
        const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 4 * S - 16));
        constexpr int kLastFrom = 6 * S - 16;  // tap 0's byte at which `last` starts
#pragma GCC unroll 6
        for (int k = 0; k < 6; ++k) {
            const int at = k < 4 ? k * S : k * S - kLastFrom;
            t[k] = ShuffleWiden(k < 4 ? first : last, at, at + 1, at + 2,
                                S == 3 && k == 5 ? -1 : at + 3);
        }
    } else {
#pragma GCC unroll 6
        for (int k = 0; k < 6; ++k) {
            const T* p = q + (k - 2) * S;
            t[k] = S == 3 && k == 5 ? LoadWiden3(p) : LoadWiden4(p);
        }
    }
}

template <typename T, int S, bool Shuffles>
VELMORA_RESIZE_INLINE F4 PixelSum(const T* q, const float* w) {
    F4 t[6];
    PixelTaps<T, S, Shuffles>(q, t);
#pragma GCC unroll 6
    for (int k = 0; k < 6; ++k)
        t[k] = t[k] * F4(w[k]);
    return ((t[0] + t[1]) + (t[2] + t[3])) + (t[4] + t[5]);
}

template <typename T, bool Shuffles>
VELMORA_RESIZE_INLINE void NoBorderRowHPixels(const T* srcRow, const int32_t* colOffsets,
                                              const float* colWeights, float* dstBuf,
                                              int32_t width) {
    for (int32_t j = 0; j < width; ++j) {
        const F4 r =
            PixelSum<T, 4, Shuffles>(srcRow + colOffsets[j], colWeights + 6 * ptrdiff_t{j});
        _mm_store_ps(dstBuf + 4 * ptrdiff_t{j}, r.v);
    }
}

// Any stride other than 3 is 4.
template <typename T, int S, bool Shuffles>
VELMORA_RESIZE_INLINE void NoBorderRowHPartRun(const T* srcRow, const int32_t* colOffsets,
                                               const float* colWeights, float* dstBuf,
                                               int32_t width) {
    for (int32_t j = 0; j < width; ++j) {
        const F4 r =
            PixelSum<T, S, Shuffles>(srcRow + colOffsets[j], colWeights + 6 * ptrdiff_t{j});
        float* d = dstBuf + 3 * ptrdiff_t{j};
        _mm_storel_pi(reinterpret_cast<__m64*>(d), r.v);
        _mm_store_ss(d + 2, _mm_movehl_ps(r.v, r.v));
    }
}

template <typename T, bool Shuffles>
VELMORA_RESIZE_INLINE void NoBorderRowHPartPixels(const T* srcRow, int32_t nChannels,
                                                  const int32_t* colOffsets,
                                                  const float* colWeights, float* dstBuf,
                                                  int32_t width) {
    if (nChannels == 3) {
        NoBorderRowHPartRun<T, 3, Shuffles>(srcRow, colOffsets, colWeights, dstBuf, width);
    } else {
        NoBorderRowHPartRun<T, 4, Shuffles>(srcRow, colOffsets, colWeights, dstBuf, width);
    }
}

// One channel. A column's taps 0-5 in bytes 0-5, fetched as a quadruple and
// a pair (8u Ssse3).
VELMORA_RESIZE_INLINE __m128i SixBytes(const uint8_t* p) {
    int32_t quad;
    uint16_t pair;
    std::memcpy(&quad, p, 4);
    std::memcpy(&pair, p + 4, 2);
    return _mm_insert_epi16(_mm_cvtsi32_si128(quad), pair, 2);
}

// Samples of a step of two columns A and B (taps from a and b): the lanes
// pair A's taps (k, k + 1) with B's taps (m, m + 1), so that A and B get
// their own grouping of the six products. A's taps 0-3 and 4-5 and B's taps
// 0-1 and 2-5 are fetched as a quadruple and a pair, so no load reaches
// past a column's last tap.
template <typename T, bool Shuffles>
VELMORA_RESIZE_INLINE void StepTaps(const T* a, const T* b, F4& a01b01, F4& a45b23, F4& a23b45) {
    if constexpr (Shuffles) {
        static_assert(std::is_same_v<T, uint8_t>);
        const __m128i ab = _mm_unpacklo_epi64(SixBytes(a), SixBytes(b));
        a01b01 = ShuffleWiden(ab, 0, 1, 8, 9);
        a45b23 = ShuffleWiden(ab, 4, 5, 10, 11);
        a23b45 = ShuffleWiden(ab, 2, 3, 12, 13);
    } else {
        const __m128 quadA = LoadWiden4(a).v, pairA = LoadWiden2(a + 4).v;
        const __m128 pairB = LoadWiden2(b).v, quadB = LoadWiden4(b + 2).v;
        a01b01 = _mm_movelh_ps(quadA, pairB);
        a45b23 = _mm_movelh_ps(pairA, quadB);
        a23b45 = _mm_shuffle_ps(quadA, quadB, _MM_SHUFFLE(3, 2, 3, 2));
    }
}

VELMORA_RESIZE_INLINE __m128 WeightPairs(const float* a, const float* b) {
    const __m128 low = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(a));
    return _mm_loadh_pi(low, reinterpret_cast<const __m64*>(b));
}

template <typename T, bool Shuffles>
VELMORA_RESIZE_INLINE void NoBorderOneChStep(const T* srcRow, const int32_t* o, const float* w,
                                             bool aligned, float* d) {
    F4 a01b01, a45b23, a23b45;
    StepTaps<T, Shuffles>(srcRow + o[0] - 2, srcRow + o[1] - 2, a01b01, a45b23, a23b45);
    a01b01 = a01b01 * F4(WeightPairs(w, w + 6));
    a45b23 = a45b23 * F4(WeightPairs(w + 4, w + 8));
    a23b45 = a23b45 * F4(WeightPairs(w + 2, w + 10));
    // Weights on a 16-byte boundary: A ((p0 + p4) + p2) + ((p1 + p5) + p3),
    // B ((p0 + p2) + p4) + ((p1 + p3) + p5); 8 bytes past one, the reverse.
    const F4 y = aligned ? (a01b01 + a45b23) + a23b45 : (a01b01 + a23b45) + a45b23;
    const F4 halves = _mm_shuffle_ps(y.v, y.v, _MM_SHUFFLE(3, 1, 2, 0));
    _mm_storel_pi(reinterpret_cast<__m64*>(d), (halves + F4(_mm_movehl_ps(halves.v, halves.v))).v);
}

// The odd last column, ((p0 + p4) + p2) + ((p1 + p5) + p3): taps 0-3 and 4-5
// as a quadruple and a pair.
template <typename T, bool Shuffles>
VELMORA_RESIZE_INLINE float NoBorderOneChLast(const T* a, const float* w) {
    F4 quad, pair;
    if constexpr (Shuffles) {
        const __m128i six = SixBytes(a);
        quad = ShuffleWiden(six, 0, 1, 2, 3);
        pair = ShuffleWiden(six, 4, 5, -1, -1);
    } else {
        quad = LoadWiden4(a);
        pair = LoadWiden2(a + 4);
    }
    quad = quad * F4(_mm_loadu_ps(w));
    pair = pair * F4(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(w + 4)));
    const F4 y = (quad + pair) + F4(_mm_movehl_ps(quad.v, quad.v));
    return _mm_cvtss_f32((y + F4(_mm_shuffle_ps(y.v, y.v, _MM_SHUFFLE(1, 1, 1, 1)))).v);
}

template <typename T, bool Shuffles>
VELMORA_RESIZE_INLINE void NoBorderOneChColumns(const T* srcRow, const int32_t* colOffsets,
                                                const float* colWeights, float* dstBuf,
                                                int32_t width) {
    const bool aligned = (reinterpret_cast<uintptr_t>(colWeights) & 15) == 0;
    int32_t j = 0;
    for (; j + 1 < width; j += 2) {
        NoBorderOneChStep<T, Shuffles>(srcRow, colOffsets + j, colWeights + 6 * ptrdiff_t{j},
                                       aligned, dstBuf + j);
    }
    if (j < width) {
        dstBuf[j] = NoBorderOneChLast<T, Shuffles>(srcRow + colOffsets[j] - 2,
                                                   colWeights + 6 * ptrdiff_t{j});
    }
}

// ---- border members ----

// Walks the runs: edge columns in `Form`, the interior handed to `interior`.
template <typename Form, int C, typename T, typename Interior>
VELMORA_RESIZE_INLINE void BorderRowHandingOver(const T* srcRow, int32_t stride,
                                                const int32_t* colOffsets, const float* colWeights,
                                                float* dstBuf, int32_t width, int32_t leftAvail,
                                                int32_t srcWidthFromRow, Interior interior) {
    LanczosWalkRuns(
        colOffsets, width, stride, leftAvail, srcWidthFromRow,
        [&](LanczosRun run, int32_t j) {
            LanczosEdgeColumn<Form, C>(run, srcRow, stride, colOffsets, colWeights, dstBuf, j);
        },
        [&](int32_t j0, int32_t count) {
            interior(colOffsets + j0, colWeights + 6 * ptrdiff_t{j0}, dstBuf + C * ptrdiff_t{j0},
                     count);
        });
}

// ---- vertical, vector members ----

struct LanczosVLanes {
    const float* const (&b)[6];
    F4 w[6];
    VELMORA_RESIZE_INLINE F4 At(int32_t i) const {
        F4 s(0.0f);
        for (int k = 0; k < 6; ++k)
            s = s + F4(_mm_load_ps(b[k] + i)) * w[k];
        return s;
    }
};

VELMORA_RESIZE_INLINE LanczosVLanes VLanesOf(const float* const (&b)[6], const float* weights) {
    LanczosVLanes lanes{b, {}};
    for (int k = 0; k < 6; ++k)
        lanes.w[k] = F4(weights[k]);
    return lanes;
}

template <typename T>
VELMORA_RESIZE_INLINE void RowVValues(T* dstRow, int32_t count, const float* weights,
                                      const float* const (&b)[6]) {
    const LanczosVLanes lanes = VLanesOf(b, weights);
    const int32_t main = FourLaneValues(count);
    for (int32_t i = 0; i < main; i += 4)
        StoreLanes(dstRow + i, lanes.At(i));
    for (int32_t i = main; i < count; ++i)
        dstRow[i] = LanczosVValue<T, LanczosVForm::Vector>(weights, b, i);
}

// Sse 32f: four values a step in the single-precision form (the sum starts
// at the first product), the rest one by one.
VELMORA_RESIZE_INLINE void RowVSingle32f(float* dstRow, int32_t count, const float* weights,
                                         const float* const (&b)[6]) {
    F4 w[6];
    for (int k = 0; k < 6; ++k)
        w[k] = F4(weights[k]);
    const int32_t main = FourLaneValues(count);
    for (int32_t i = 0; i < main; i += 4) {
        F4 s = F4(_mm_loadu_ps(b[0] + i)) * w[0];
        for (int k = 1; k < 6; ++k)
            s = s + F4(_mm_loadu_ps(b[k] + i)) * w[k];
        _mm_storeu_ps(dstRow + i, s.v);
    }
    for (int32_t i = main; i < count; ++i)
        dstRow[i] = LanczosVValue<float, LanczosVForm::Single>(weights, b, i);
}

template <typename T, bool Shuffles>
VELMORA_RESIZE_INLINE void RowVPartValues(T* dstRow, int32_t width, const float* weights,
                                          const float* const (&b)[6]) {
    StorePartStream<T, Shuffles>(dstRow, width, VLanesOf(b, weights), [&](int32_t e) {
        return LanczosVValue<T, LanczosVForm::Vector>(weights, b, e);
    });
}

}  // namespace

// ---- member definitions ----

#define VELMORA_LANCZOS_TARGET_Generic
#define VELMORA_LANCZOS_TARGET_Sse __attribute__((target("sse")))
#define VELMORA_LANCZOS_TARGET_Sse2 __attribute__((target("sse2")))
#define VELMORA_LANCZOS_TARGET_Sse3 __attribute__((target("sse3")))
#define VELMORA_LANCZOS_TARGET_Ssse3 __attribute__((target("ssse3")))

#define VELMORA_LANCZOS_DEFINE_NB(V, S, T, rowH, rowHPart, rowHOneCh)                           \
    VELMORA_LANCZOS_TARGET_##V void ResizeLanczosNoBorderRowH##S##_##V(                         \
        const T* srcRow, const int32_t* colOffsets, const float* colWeights, float* dstBuf,     \
        int32_t width) {                                                                        \
        rowH;                                                                                   \
    }                                                                                           \
    VELMORA_LANCZOS_TARGET_##V void ResizeLanczosNoBorderRowHPart##S##_##V(                     \
        const T* srcRow, int32_t nChannels, const int32_t* colOffsets, const float* colWeights, \
        float* dstBuf, int32_t width) {                                                         \
        rowHPart;                                                                               \
    }                                                                                           \
    VELMORA_LANCZOS_TARGET_##V void ResizeLanczosNoBorderRowHOneCh##S##_##V(                    \
        const T* srcRow, const int32_t* colOffsets, const float* colWeights, float* dstBuf,     \
        int32_t width) {                                                                        \
        rowHOneCh;                                                                              \
    }

#define VELMORA_LANCZOS_NB_MODELS(V, S, T, F)                                                 \
    VELMORA_LANCZOS_DEFINE_NB(                                                                \
        V, S, T,                                                                              \
        (LanczosNoBorderRowModel<T, 4, F>(srcRow, 4, colOffsets, colWeights, dstBuf, width)), \
        (LanczosNoBorderRowModel<T, 3, F>(srcRow, nChannels, colOffsets, colWeights, dstBuf,  \
                                          width)),                                            \
        (LanczosNoBorderRowModel<T, 1, F>(srcRow, 1, colOffsets, colWeights, dstBuf, width)))
#define VELMORA_LANCZOS_NB_VECTOR(V, S, T, Shuffles)                                               \
    VELMORA_LANCZOS_DEFINE_NB(                                                                     \
        V, S, T, (NoBorderRowHPixels<T, Shuffles>(srcRow, colOffsets, colWeights, dstBuf, width)), \
        (NoBorderRowHPartPixels<T, Shuffles>(srcRow, nChannels, colOffsets, colWeights, dstBuf,    \
                                             width)),                                              \
        (NoBorderOneChColumns<T, Shuffles>(srcRow, colOffsets, colWeights, dstBuf, width)))

#define VELMORA_LANCZOS_ARGS_H colOffsets, colWeights, dstBuf, width, leftAvail, srcWidthFromRow
#define VELMORA_LANCZOS_DEFINE_BORDER(V, S, T, rowH, rowHPart, rowHOneCh)                       \
    VELMORA_LANCZOS_TARGET_##V void ResizeLanczosRowH##S##_##V(                                 \
        const T* srcRow, const int32_t* colOffsets, const float* colWeights, float* dstBuf,     \
        int32_t width, int32_t leftAvail, int32_t srcWidthFromRow) {                            \
        rowH;                                                                                   \
    }                                                                                           \
    VELMORA_LANCZOS_TARGET_##V void ResizeLanczosRowHPart##S##_##V(                             \
        const T* srcRow, int32_t nChannels, const int32_t* colOffsets, const float* colWeights, \
        float* dstBuf, int32_t width, int32_t leftAvail, int32_t srcWidthFromRow) {             \
        rowHPart;                                                                               \
    }                                                                                           \
    VELMORA_LANCZOS_TARGET_##V void ResizeLanczosRowHOneCh##S##_##V(                            \
        const T* srcRow, const int32_t* colOffsets, const float* colWeights, float* dstBuf,     \
        int32_t width, int32_t leftAvail, int32_t srcWidthFromRow) {                            \
        rowHOneCh;                                                                              \
    }

// Generic and Sse: every column in place, in order.
#define VELMORA_LANCZOS_BORDER_IN_PLACE(V, S, T, R)                             \
    VELMORA_LANCZOS_DEFINE_BORDER(                                              \
        V, S, T,                                                                \
        (LanczosBorderRowInPlace<LanczosEdgeForm<R, LanczosOrder::InOrder>, 4>( \
            srcRow, 4, VELMORA_LANCZOS_ARGS_H)),                                \
        (LanczosBorderRowInPlace<LanczosEdgeForm<R, LanczosOrder::InOrder>, 3>( \
            srcRow, nChannels, VELMORA_LANCZOS_ARGS_H)),                        \
        (LanczosBorderRowInPlace<LanczosEdgeForm<R, LanczosOrder::InOrder>, 1>( \
            srcRow, 1, VELMORA_LANCZOS_ARGS_H)))

// Sse2, Sse3, Ssse3: edges in R (left runs tap 5 before tap 4), the interior
// to the no-border member of the variant.
#define VELMORA_LANCZOS_BORDER_HANDING_OVER(V, S, T, R)                                \
    VELMORA_LANCZOS_DEFINE_BORDER(                                                     \
        V, S, T,                                                                       \
        (BorderRowHandingOver<LanczosEdgeForm<R, LanczosOrder::Left54>, 4>(            \
            srcRow, 4, VELMORA_LANCZOS_ARGS_H,                                         \
            [&](const int32_t* o, const float* w, float* d, int32_t n) {               \
                ResizeLanczosNoBorderRowH##S##_##V(srcRow, o, w, d, n);                \
            })),                                                                       \
        (BorderRowHandingOver<LanczosEdgeForm<R, LanczosOrder::Left54>, 3>(            \
            srcRow, nChannels, VELMORA_LANCZOS_ARGS_H,                                 \
            [&](const int32_t* o, const float* w, float* d, int32_t n) {               \
                ResizeLanczosNoBorderRowHPart##S##_##V(srcRow, nChannels, o, w, d, n); \
            })),                                                                       \
        (BorderRowHandingOver<LanczosEdgeForm<R, LanczosOrder::Left54>, 1>(            \
            srcRow, 1, VELMORA_LANCZOS_ARGS_H,                                         \
            [&](const int32_t* o, const float* w, float* d, int32_t n) {               \
                ResizeLanczosNoBorderRowHOneCh##S##_##V(srcRow, o, w, d, n);           \
            })))

#define VELMORA_LANCZOS_BUFS \
    const float* const b[6] = {tap0Buf, tap1Buf, tap2Buf, tap3Buf, tap4Buf, tap5Buf}
#define VELMORA_LANCZOS_DEFINE_V(V, Kind, S, T, body)                                           \
    VELMORA_LANCZOS_TARGET_##V void ResizeLanczos##Kind##S##_##V(                               \
        T* dstRow, int32_t count, const float* rowWeightsOfRow, const float* tap0Buf,           \
        const float* tap1Buf, const float* tap2Buf, const float* tap3Buf, const float* tap4Buf, \
        const float* tap5Buf) {                                                                 \
        VELMORA_LANCZOS_BUFS;                                                                   \
        body;                                                                                   \
    }
#define VELMORA_LANCZOS_V_MODELS(V, S, T, F)                                              \
    VELMORA_LANCZOS_DEFINE_V(V, RowV, S, T,                                               \
                             (LanczosRowVModel<T, F>(dstRow, count, rowWeightsOfRow, b))) \
    VELMORA_LANCZOS_V_PART_MODEL(V, S, T, F)
#define VELMORA_LANCZOS_V_PART_MODEL(V, S, T, F) \
    VELMORA_LANCZOS_DEFINE_V(V, RowVPart, S, T,  \
                             (LanczosRowVPartModel<T, F>(dstRow, count, rowWeightsOfRow, b)))
#define VELMORA_LANCZOS_V_VECTOR(V, S, T, Shuffles)                                             \
    VELMORA_LANCZOS_DEFINE_V(V, RowV, S, T, (RowVValues<T>(dstRow, count, rowWeightsOfRow, b))) \
    VELMORA_LANCZOS_DEFINE_V(V, RowVPart, S, T,                                                 \
                             (RowVPartValues<T, Shuffles>(dstRow, count, rowWeightsOfRow, b)))

#define VELMORA_LANCZOS_GENERIC_OR_SSE(V, S, T, NbForm, R, VForm) \
    VELMORA_LANCZOS_NB_MODELS(V, S, T, NbForm)                    \
    VELMORA_LANCZOS_BORDER_IN_PLACE(V, S, T, R)                   \
    VELMORA_LANCZOS_V_MODELS(V, S, T, LanczosVForm::VForm)

VELMORA_LANCZOS_GENERIC_OR_SSE(Generic, 8u, uint8_t, Double, double, Double)
VELMORA_LANCZOS_GENERIC_OR_SSE(Generic, 16u, uint16_t, Double, double, Double)
VELMORA_LANCZOS_GENERIC_OR_SSE(Generic, 32f, float, Double, double, Double)
VELMORA_LANCZOS_GENERIC_OR_SSE(Sse, 8u, uint8_t, Single, float, Single)
VELMORA_LANCZOS_GENERIC_OR_SSE(Sse, 16u, uint16_t, Single, float, Single)
VELMORA_LANCZOS_NB_MODELS(Sse, 32f, float, Single)
VELMORA_LANCZOS_BORDER_IN_PLACE(Sse, 32f, float, float)
VELMORA_LANCZOS_DEFINE_V(Sse, RowV, 32f, float, (RowVSingle32f(dstRow, count, rowWeightsOfRow, b)))
VELMORA_LANCZOS_V_PART_MODEL(Sse, 32f, float, LanczosVForm::Single)

#define VELMORA_LANCZOS_VECTOR(V, S, T, EdgeR, Shuffles) \
    VELMORA_LANCZOS_NB_VECTOR(V, S, T, Shuffles)         \
    VELMORA_LANCZOS_BORDER_HANDING_OVER(V, S, T, EdgeR)  \
    VELMORA_LANCZOS_V_VECTOR(V, S, T, Shuffles)

VELMORA_LANCZOS_VECTOR(Sse2, 8u, uint8_t, float, false)
VELMORA_LANCZOS_VECTOR(Sse2, 16u, uint16_t, float, false)
VELMORA_LANCZOS_VECTOR(Sse2, 32f, float, float, false)
VELMORA_LANCZOS_VECTOR(Sse3, 8u, uint8_t, float, false)
VELMORA_LANCZOS_VECTOR(Sse3, 16u, uint16_t, float, false)
VELMORA_LANCZOS_VECTOR(Sse3, 32f, float, double, false)
VELMORA_LANCZOS_VECTOR(Ssse3, 8u, uint8_t, float, true)
VELMORA_LANCZOS_VECTOR(Ssse3, 16u, uint16_t, float, false)
VELMORA_LANCZOS_VECTOR(Ssse3, 32f, float, float, false)

}  // namespace velmora::resize

// Members of the cubic row kernels. The Generic members are the scalar
// models of scheme D (P in double for the 32f three-of-four kernel). The
// vector members run the lane arithmetic of the models over four lanes:
// - Sse2, Sse3, Ssse3 RowH and RowHPart: one pixel per vector, the lanes its
//   channels, every column in V K-first;
// - Sse RowH and RowHPart: four columns of one channel per vector, V K-last
//   on the main columns, S on the tail;
// - RowHOneCh: four columns per vector, V (K-first for 8u and 16u of Sse2,
//   Sse3 and Ssse3, K-last otherwise) on the main columns, S on the tail;
// - RowV and the 8u/16u RowVPart: four values per vector in V, S on the
//   tail; 32f RowVPart: P in single, value by value.
// The members of Sse2, Sse3 and Ssse3 give identical results, as do the
// vertical members of all four vector variants; they are one body compiled
// for each instruction set (the Ssse3 8u three-of-four members spread their
// bytes with a byte shuffle).
#include "resize/ResizeCubicRows.h"

#include <cstddef>

#include "resize/ResizeLanes.h"

namespace velmora::resize {
namespace {

using CubicHForm::D;

template <CubicThird M>
VELMORA_RESIZE_INLINE CubicCoefs<F4> CoefsLanes(F4 t) {
    return CubicCoefsOf<M, F4>(t, F4(1.0f), F4(0.5f), F4(CubicFloatFromBits(kCubicThirdBits)));
}

VELMORA_RESIZE_INLINE void StoreThreeLanes(float* d, F4 r) {
    _mm_storel_pi(reinterpret_cast<__m64*>(d), r.v);
    _mm_store_ss(d + 2, _mm_movehl_ps(r.v, r.v));
}

// ---- horizontal: one pixel per vector ----

template <typename T>
VELMORA_RESIZE_INLINE void RowHPixels(const T* srcRow, int32_t width, const int32_t* colOffsets,
                                      const float* colWeights, float* dstBuf) {
    for (int32_t j = 0; j < width; ++j) {
        const T* q = srcRow + colOffsets[j];
        const CubicCoefs<F4> c = CoefsLanes<CubicThird::KFirst>(F4(colWeights[j]));
        const F4 r = CubicHVector<F4>(LoadWiden4(q - 4), LoadWiden4(q), LoadWiden4(q + 4),
                                      LoadWiden4(q + 8), c);
        _mm_store_ps(dstBuf + 4 * static_cast<ptrdiff_t>(j), r.v);
    }
}

// Stride 4 reads each tap whole; stride 3 reads taps 0-2 as four samples
// (the fourth is the next pixel's first) and tap 3 as exactly three.
template <typename T, bool Stride4>
VELMORA_RESIZE_INLINE void RowHPartPixelRun(const T* srcRow, int32_t width,
                                            const int32_t* colOffsets, const float* colWeights,
                                            float* dstBuf) {
    constexpr int32_t s = Stride4 ? 4 : 3;
    for (int32_t j = 0; j < width; ++j) {
        const T* q = srcRow + colOffsets[j];
        const CubicCoefs<F4> c = CoefsLanes<CubicThird::KFirst>(F4(colWeights[j]));
        const F4 p3 = Stride4 ? LoadWiden4(q + 2 * s) : LoadWiden3(q + 2 * s);
        const F4 r = CubicHVector<F4>(LoadWiden4(q - s), LoadWiden4(q), LoadWiden4(q + s), p3, c);
        StoreThreeLanes(dstBuf + 3 * static_cast<ptrdiff_t>(j), r);
    }
}

template <typename T>
VELMORA_RESIZE_INLINE void RowHPartPixels(const T* srcRow, int32_t width, int32_t nChannels,
                                          const int32_t* colOffsets, const float* colWeights,
                                          float* dstBuf) {
    if (nChannels == 3) {
        RowHPartPixelRun<T, false>(srcRow, width, colOffsets, colWeights, dstBuf);
    } else {
        RowHPartPixelRun<T, true>(srcRow, width, colOffsets, colWeights, dstBuf);
    }
}

// ---- horizontal: four columns per vector ----

template <typename T, int C>
VELMORA_RESIZE_INLINE void TailColumnsS(const T* srcRow, int32_t from, int32_t width,
                                        int32_t stride, const int32_t* colOffsets,
                                        const float* colWeights, float* dstBuf) {
    for (int32_t j = from; j < width; ++j) {
        CubicColumnS<T, C>(srcRow + colOffsets[j], stride, colWeights[j],
                           dstBuf + static_cast<ptrdiff_t>(C) * j);
    }
}

// One channel: each column's taps are four consecutive samples, transposed
// into one vector per tap.
template <typename T, CubicThird M>
VELMORA_RESIZE_INLINE void RowHOneChColumns(const T* srcRow, int32_t width,
                                            const int32_t* colOffsets, const float* colWeights,
                                            float* dstBuf) {
    const int32_t main = FourLaneValues(width);
    for (int32_t j = 0; j < main; j += 4) {
        const int32_t* o = colOffsets + j;
        __m128 a = LoadWiden4(srcRow + o[0] - 1).v;
        __m128 b = LoadWiden4(srcRow + o[1] - 1).v;
        __m128 c = LoadWiden4(srcRow + o[2] - 1).v;
        __m128 d = LoadWiden4(srcRow + o[3] - 1).v;
        _MM_TRANSPOSE4_PS(a, b, c, d);
        const CubicCoefs<F4> k = CoefsLanes<M>(F4(_mm_load_ps(colWeights + j)));
        _mm_store_ps(dstBuf + j, CubicHVector<F4>(a, b, c, d, k).v);
    }
    TailColumnsS<T, 1>(srcRow, main, width, 1, colOffsets, colWeights, dstBuf);
}

// C channels, channel by channel: one tap of four columns per vector.
template <typename T, int C>
VELMORA_RESIZE_INLINE void RowHChannelColumns(const T* srcRow, int32_t width, int32_t stride,
                                              const int32_t* colOffsets, const float* colWeights,
                                              float* dstBuf) {
    const int32_t main = FourLaneValues(width);
    for (int c = 0; c < C; ++c) {
        for (int32_t j = 0; j < main; j += 4) {
            const int32_t* o = colOffsets + j;
            const T* base = srcRow + c - stride;
            auto tap = [&](int32_t k) {
                const ptrdiff_t at = static_cast<ptrdiff_t>(k) * stride;
                return F4(_mm_setr_ps(
                    static_cast<float>(base[o[0] + at]), static_cast<float>(base[o[1] + at]),
                    static_cast<float>(base[o[2] + at]), static_cast<float>(base[o[3] + at])));
            };
            const CubicCoefs<F4> k = CoefsLanes<CubicThird::KLast>(F4(_mm_load_ps(colWeights + j)));
            alignas(16) float lanes[4];
            _mm_store_ps(lanes, CubicHVector<F4>(tap(0), tap(1), tap(2), tap(3), k).v);
            for (int l = 0; l < 4; ++l)
                dstBuf[static_cast<ptrdiff_t>(C) * (j + l) + c] = lanes[l];
        }
    }
    TailColumnsS<T, C>(srcRow, main, width, stride, colOffsets, colWeights, dstBuf);
}

// ---- vertical ----

struct VLanes {
    const float* b0;
    const float* b1;
    const float* b2;
    const float* b3;
    CubicCoefs<F4> c;
    VELMORA_RESIZE_INLINE F4 At(int32_t i) const {
        return CubicVVector<F4>(_mm_load_ps(b0 + i), _mm_load_ps(b1 + i), _mm_load_ps(b2 + i),
                                _mm_load_ps(b3 + i), c);
    }
};

template <typename T>
VELMORA_RESIZE_INLINE void RowVValues(T* dstRow, int32_t count, float t, const float* b0,
                                      const float* b1, const float* b2, const float* b3) {
    const VLanes lanes{b0, b1, b2, b3, CoefsLanes<CubicThird::KFirst>(F4(t))};
    const int32_t main = FourLaneValues(count);
    for (int32_t i = 0; i < main; i += 4)
        StoreLanes(dstRow + i, lanes.At(i));
    const CubicVCoefs k(t);
    for (int32_t i = main; i < count; ++i)
        dstRow[i] = CubicValueS<T>(k, b0, b1, b2, b3, i);
}

// 8u and 16u, three of four samples: the cubic stream in V, its tail in S.
template <typename T, bool Shuffles>
VELMORA_RESIZE_INLINE void RowVPartValues(T* dstRow, int32_t width, float t, const float* b0,
                                          const float* b1, const float* b2, const float* b3) {
    const VLanes lanes{b0, b1, b2, b3, CoefsLanes<CubicThird::KFirst>(F4(t))};
    const CubicVCoefs k(t);
    StorePartStream<T, Shuffles>(dstRow, width, lanes,
                                 [&](int32_t e) { return CubicValueS<T>(k, b0, b1, b2, b3, e); });
}

}  // namespace

// ---- member definitions ----

#define VELMORA_CUBIC_TARGET_Generic
#define VELMORA_CUBIC_TARGET_Sse __attribute__((target("sse")))
#define VELMORA_CUBIC_TARGET_Sse2 __attribute__((target("sse2")))
#define VELMORA_CUBIC_TARGET_Sse3 __attribute__((target("sse3")))
#define VELMORA_CUBIC_TARGET_Ssse3 __attribute__((target("ssse3")))

#define VELMORA_CUBIC_DEFINE_ROWH(V, S, T, body)                                            \
    VELMORA_CUBIC_TARGET_##V void ResizeCubicRowH##S##_##V(                                 \
        const T* srcRow, int32_t width, const int32_t* colOffsets, const float* colWeights, \
        float* dstBuf) {                                                                    \
        body;                                                                               \
    }
#define VELMORA_CUBIC_DEFINE_ROWHPART(V, S, T, body)                                  \
    VELMORA_CUBIC_TARGET_##V void ResizeCubicRowHPart##S##_##V(                       \
        const T* srcRow, int32_t width, int32_t nChannels, const int32_t* colOffsets, \
        const float* colWeights, float* dstBuf) {                                     \
        body;                                                                         \
    }
#define VELMORA_CUBIC_DEFINE_ROWHONECH(V, S, T, body)                                       \
    VELMORA_CUBIC_TARGET_##V void ResizeCubicRowHOneCh##S##_##V(                            \
        const T* srcRow, int32_t width, const int32_t* colOffsets, const float* colWeights, \
        float* dstBuf) {                                                                    \
        body;                                                                               \
    }
#define VELMORA_CUBIC_DEFINE_ROWV(V, Kind, S, T, body)                                         \
    VELMORA_CUBIC_TARGET_##V void ResizeCubic##Kind##S##_##V(                                  \
        T* dstRow, int32_t count, float rowWeight, const float* tap0Buf, const float* tap1Buf, \
        const float* tap2Buf, const float* tap3Buf) {                                          \
        body;                                                                                  \
    }

#define VELMORA_CUBIC_BUFS rowWeight, tap0Buf, tap1Buf, tap2Buf, tap3Buf

// Generic: scheme D; the 32f three-of-four kernel P in double.
#define VELMORA_CUBIC_GENERIC(S, T, PartForm)                                                \
    VELMORA_CUBIC_DEFINE_ROWH(                                                               \
        Generic, S, T,                                                                       \
        (CubicRowHModel<T, 4, D>(srcRow, width, 4, colOffsets, colWeights, dstBuf)))         \
    VELMORA_CUBIC_DEFINE_ROWHPART(                                                           \
        Generic, S, T,                                                                       \
        (CubicRowHModel<T, 3, D>(srcRow, width, nChannels, colOffsets, colWeights, dstBuf))) \
    VELMORA_CUBIC_DEFINE_ROWHONECH(                                                          \
        Generic, S, T,                                                                       \
        (CubicRowHModel<T, 1, D>(srcRow, width, 1, colOffsets, colWeights, dstBuf)))         \
    VELMORA_CUBIC_DEFINE_ROWV(                                                               \
        Generic, RowV, S, T,                                                                 \
        (CubicRowVModel<T, CubicVForm::D>(dstRow, count, VELMORA_CUBIC_BUFS)))               \
    VELMORA_CUBIC_DEFINE_ROWV(                                                               \
        Generic, RowVPart, S, T,                                                             \
        (CubicRowVPartModel<T, CubicVForm::PartForm>(dstRow, count, VELMORA_CUBIC_BUFS)))

VELMORA_CUBIC_GENERIC(8u, uint8_t, D)
VELMORA_CUBIC_GENERIC(16u, uint16_t, D)
VELMORA_CUBIC_GENERIC(32f, float, PDouble)

// Vertical members of the vector variants.
#define VELMORA_CUBIC_VERTICAL(V, Shuffles)                                              \
    VELMORA_CUBIC_DEFINE_ROWV(V, RowV, 8u, uint8_t,                                      \
                              (RowVValues<uint8_t>(dstRow, count, VELMORA_CUBIC_BUFS)))  \
    VELMORA_CUBIC_DEFINE_ROWV(V, RowV, 16u, uint16_t,                                    \
                              (RowVValues<uint16_t>(dstRow, count, VELMORA_CUBIC_BUFS))) \
    VELMORA_CUBIC_DEFINE_ROWV(V, RowV, 32f, float,                                       \
                              (RowVValues<float>(dstRow, count, VELMORA_CUBIC_BUFS)))    \
    VELMORA_CUBIC_DEFINE_ROWV(                                                           \
        V, RowVPart, 8u, uint8_t,                                                        \
        (RowVPartValues<uint8_t, Shuffles>(dstRow, count, VELMORA_CUBIC_BUFS)))          \
    VELMORA_CUBIC_DEFINE_ROWV(                                                           \
        V, RowVPart, 16u, uint16_t,                                                      \
        (RowVPartValues<uint16_t, false>(dstRow, count, VELMORA_CUBIC_BUFS)))            \
    VELMORA_CUBIC_DEFINE_ROWV(                                                           \
        V, RowVPart, 32f, float,                                                         \
        (CubicRowVPartModel<float, CubicVForm::PSingle>(dstRow, count, VELMORA_CUBIC_BUFS)))

VELMORA_CUBIC_VERTICAL(Sse, false)
VELMORA_CUBIC_VERTICAL(Sse2, false)
VELMORA_CUBIC_VERTICAL(Sse3, false)
VELMORA_CUBIC_VERTICAL(Ssse3, true)

// Sse horizontal members: four columns per vector, V K-last, S tail.
#define VELMORA_CUBIC_SSE_HORIZONTAL(S, T)                                                       \
    VELMORA_CUBIC_DEFINE_ROWH(                                                                   \
        Sse, S, T, (RowHChannelColumns<T, 4>(srcRow, width, 4, colOffsets, colWeights, dstBuf))) \
    VELMORA_CUBIC_DEFINE_ROWHPART(                                                               \
        Sse, S, T,                                                                               \
        (RowHChannelColumns<T, 3>(srcRow, width, nChannels, colOffsets, colWeights, dstBuf)))    \
    VELMORA_CUBIC_DEFINE_ROWHONECH(                                                              \
        Sse, S, T,                                                                               \
        (RowHOneChColumns<T, CubicThird::KLast>(srcRow, width, colOffsets, colWeights, dstBuf)))

VELMORA_CUBIC_SSE_HORIZONTAL(8u, uint8_t)
VELMORA_CUBIC_SSE_HORIZONTAL(16u, uint16_t)
VELMORA_CUBIC_SSE_HORIZONTAL(32f, float)

// Sse2, Sse3, Ssse3 horizontal members: one pixel per vector in V K-first;
// one channel four columns per vector, K-first for 8u and 16u, K-last for 32f.
#define VELMORA_CUBIC_PIXEL_HORIZONTAL(V, S, T, OneChThird)                                     \
    VELMORA_CUBIC_DEFINE_ROWH(V, S, T,                                                          \
                              (RowHPixels<T>(srcRow, width, colOffsets, colWeights, dstBuf)))   \
    VELMORA_CUBIC_DEFINE_ROWHPART(                                                              \
        V, S, T, (RowHPartPixels<T>(srcRow, width, nChannels, colOffsets, colWeights, dstBuf))) \
    VELMORA_CUBIC_DEFINE_ROWHONECH(V, S, T,                                                     \
                                   (RowHOneChColumns<T, CubicThird::OneChThird>(                \
                                       srcRow, width, colOffsets, colWeights, dstBuf)))
#define VELMORA_CUBIC_PIXEL_VARIANT(V)                       \
    VELMORA_CUBIC_PIXEL_HORIZONTAL(V, 8u, uint8_t, KFirst)   \
    VELMORA_CUBIC_PIXEL_HORIZONTAL(V, 16u, uint16_t, KFirst) \
    VELMORA_CUBIC_PIXEL_HORIZONTAL(V, 32f, float, KLast)

VELMORA_CUBIC_PIXEL_VARIANT(Sse2)
VELMORA_CUBIC_PIXEL_VARIANT(Sse3)
VELMORA_CUBIC_PIXEL_VARIANT(Ssse3)

}  // namespace velmora::resize

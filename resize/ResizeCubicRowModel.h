#pragma once

// Scalar models of the cubic row kernels, one per scheme. The cubic through
// four taps at -1, 0, 1, 2 is taken at t in Newton's forward-difference form,
// c1 = 1 + t, c2 = t c1 / 2, c3 = (t - 1) c2 / 3, and each scheme fixes the
// precision and the order of the operations:
//   D  double throughout, rounded once at the store (Generic members);
//   S  single, each operation rounded (scalar tails of the vector members);
//   V  single, multiplying by K where D and S divide by 3, in the order of
//      the vector bodies; K-first ((t - 1) K) c2 or K-last (t - 1)(c2 K);
//   P  the order of the 32f three-of-four vertical members, in double
//      (Generic) or single.
// The lane arithmetic is written once over a lane type: `float` here, four
// floats in the vector bodies, so that a vector body and the model of its
// scheme are the same operations.

#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "resize/ResizeLinearRowModel.h"  // VELMORA_RESIZE_INLINE

namespace velmora::resize {

// The single-precision number nearest to 0.3333333 (one below 1/3).
inline constexpr uint32_t kCubicThirdBits = 0x3EAAAAAAu;
// The single-precision number two units above 0.5: the vector bodies' bias.
inline constexpr uint32_t kCubicBiasBits = 0x3F000002u;
// The bias of the scalar conversions, added in double.
inline constexpr double kCubicBias = 0.5000001;

VELMORA_RESIZE_INLINE float CubicFloatFromBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

enum class CubicThird { Divide, KFirst, KLast };

template <typename L>
struct CubicCoefs {
    L c1, c2, c3;
};

// c1, c2, c3 from t, in the lane type; `third` a lane of K (unused when
// dividing).
template <CubicThird M, typename L>
VELMORA_RESIZE_INLINE CubicCoefs<L> CubicCoefsOf(L t, L one, L half, [[maybe_unused]] L third) {
    const L c1 = one + t;
    const L c2 = (t * c1) * half;
    L c3;
    if constexpr (M == CubicThird::Divide) {
        c3 = ((t - one) * c2) / L(3);
    } else if constexpr (M == CubicThird::KFirst) {
        c3 = ((t - one) * third) * c2;
    } else {
        c3 = (t - one) * (c2 * third);
    }
    return {c1, c2, c3};
}

template <CubicThird M>
VELMORA_RESIZE_INLINE CubicCoefs<float> CubicCoefsSingle(float t) {
    return CubicCoefsOf<M, float>(t, 1.0f, 0.5f, CubicFloatFromBits(kCubicThirdBits));
}

// ---- horizontal schemes: taps p0..p3 ----

// D and S: d3 = (((p1 - p2) - p2) + p3) - d2, r = ((p0 + d3 c3) + d2 c2) + d1 c1.
template <typename R>
VELMORA_RESIZE_INLINE R CubicHScalar(R p0, R p1, R p2, R p3, const CubicCoefs<R>& c) {
    const R d1 = p1 - p0;
    const R d2 = (p2 - p1) - d1;
    const R d3 = (((p1 - p2) - p2) + p3) - d2;
    return ((p0 + d3 * c.c3) + d2 * c.c2) + d1 * c.c1;
}

// V: d3 = ((p3 - p2) - p2) + (p1 - d2), r = (p0 + c1 d1) + (c2 d2 + c3 d3).
template <typename L>
VELMORA_RESIZE_INLINE L CubicHVector(L p0, L p1, L p2, L p3, const CubicCoefs<L>& c) {
    const L d1 = p1 - p0;
    const L d2 = (p2 - p1) - d1;
    const L d3 = ((p3 - p2) - p2) + (p1 - d2);
    return (p0 + c.c1 * d1) + (c.c2 * d2 + c.c3 * d3);
}

// ---- vertical schemes: buffered rows b0..b3 ----

// D and S: d3 = (((b3 - b2) - b2) + b1) - d2.
template <typename R, typename C>
VELMORA_RESIZE_INLINE R CubicVScalar(R b0, R b1, R b2, R b3, const CubicCoefs<C>& c) {
    const R d1 = b1 - b0;
    const R d2 = (b2 - b1) - d1;
    const R d3 = (((b3 - b2) - b2) + b1) - d2;
    return ((b0 + d3 * R(c.c3)) + d2 * R(c.c2)) + d1 * R(c.c1);
}

// V: d3 = (b3 - d2) + ((b1 - b2) - b2).
template <typename L>
VELMORA_RESIZE_INLINE L CubicVVector(L b0, L b1, L b2, L b3, const CubicCoefs<L>& c) {
    const L d1 = b1 - b0;
    const L d2 = (b2 - b1) - d1;
    const L d3 = (b3 - d2) + ((b1 - b2) - b2);
    return (b0 + c.c1 * d1) + (c.c2 * d2 + c.c3 * d3);
}

// P: d2 = (b2 - d1) - b1, d3 = (((b3 - d2) - b2) - b2) + b1,
// r = ((d3 c3 + d2 c2) + d1 c1) + b0.
template <typename R>
VELMORA_RESIZE_INLINE R CubicVPart(R b0, R b1, R b2, R b3, const CubicCoefs<R>& c) {
    const R d1 = b1 - b0;
    const R d2 = (b2 - d1) - b1;
    const R d3 = (((b3 - d2) - b2) - b2) + b1;
    return ((d3 * c.c3 + d2 * c.c2) + d1 * c.c1) + b0;
}

// ---- conversions ----

// Truncation toward zero as the processor's truncating conversion does it:
// a value outside the 32-bit range gives the integer indefinite.
VELMORA_RESIZE_INLINE int32_t CubicTruncate(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

template <typename T>
VELMORA_RESIZE_INLINE T CubicClamp(int32_t v) {
    constexpr int32_t kMax = std::numeric_limits<T>::max();
    return static_cast<T>(v < 0 ? 0 : (v > kMax ? kMax : v));
}

// Scalar conversion (schemes D and S): + 0.5000001 in double, truncated,
// clamped; 32f stores the value.
template <typename T, typename R>
VELMORA_RESIZE_INLINE T CubicStoreScalar(R r) {
    if constexpr (std::is_same_v<T, float>) {
        return static_cast<float>(r);
    } else {
        return CubicClamp<T>(CubicTruncate(static_cast<double>(r) + kCubicBias));
    }
}

// Vector-body conversion of one lane (scheme V): + h in single, truncated,
// saturated.
template <typename T>
VELMORA_RESIZE_INLINE T CubicStoreVectorLane(float r) {
    if constexpr (std::is_same_v<T, float>) {
        return r;
    } else {
        return CubicClamp<T>(CubicTruncate(r + CubicFloatFromBits(kCubicBiasBits)));
    }
}

// ---- row models ----

// Layout of a horizontal member: D every column; V every column (one pixel
// per vector, K-first); or main columns (width rounded down to 4) in V with
// the given K placement and a tail in S.
enum class CubicHForm { D, VEvery, VMainKFirst, VMainKLast };

template <typename T>
VELMORA_RESIZE_INLINE float CubicTapSingle(T v) {
    return static_cast<float>(v);
}

// One column of C channels, taps `stride` samples apart, in one scheme.
template <typename T, int C, CubicHForm F>
VELMORA_RESIZE_INLINE void CubicColumnModel(const T* tap1, int32_t stride, float t, float* out) {
    const T* p = tap1 - stride;
    for (int c = 0; c < C; ++c) {
        const T* q = p + c;
        if constexpr (F == CubicHForm::D) {
            const double td = t;
            const CubicCoefs<double> k =
                CubicCoefsOf<CubicThird::Divide, double>(td, 1.0, 0.5, 0.0);
            out[c] = static_cast<float>(
                CubicHScalar<double>(q[0], q[stride], q[2 * stride], q[3 * stride], k));
        } else {
            const float p0 = CubicTapSingle(q[0]), p1 = CubicTapSingle(q[stride]);
            const float p2 = CubicTapSingle(q[2 * stride]), p3 = CubicTapSingle(q[3 * stride]);
            if constexpr (F == CubicHForm::VEvery || F == CubicHForm::VMainKFirst) {
                out[c] =
                    CubicHVector<float>(p0, p1, p2, p3, CubicCoefsSingle<CubicThird::KFirst>(t));
            } else {
                out[c] =
                    CubicHVector<float>(p0, p1, p2, p3, CubicCoefsSingle<CubicThird::KLast>(t));
            }
        }
    }
}

// A tail column in scheme S.
template <typename T, int C>
VELMORA_RESIZE_INLINE void CubicColumnS(const T* tap1, int32_t stride, float t, float* out) {
    const T* p = tap1 - stride;
    const CubicCoefs<float> k = CubicCoefsSingle<CubicThird::Divide>(t);
    for (int c = 0; c < C; ++c) {
        const T* q = p + c;
        out[c] =
            CubicHScalar<float>(CubicTapSingle(q[0]), CubicTapSingle(q[stride]),
                                CubicTapSingle(q[2 * stride]), CubicTapSingle(q[3 * stride]), k);
    }
}

// Values a four-lane body takes of a row of n; the scalar tail starts there.
// None of a count below 1, which writes nothing.
VELMORA_RESIZE_INLINE int32_t FourLaneValues(int32_t n) {
    return n > 0 ? n & ~3 : 0;
}

// Main columns of a member of form F; the tail starts there.
template <CubicHForm F>
VELMORA_RESIZE_INLINE int32_t CubicHMainColumns(int32_t width) {
    if constexpr (F == CubicHForm::VMainKFirst || F == CubicHForm::VMainKLast) {
        return FourLaneValues(width);
    } else {
        return width;
    }
}

// Horizontal pass of one source row: C values per column (4, 3 or 1), taps
// `stride` samples apart around colOffsets[j].
template <typename T, int C, CubicHForm F>
VELMORA_RESIZE_INLINE void CubicRowHModel(const T* srcRow, int32_t width, int32_t stride,
                                          const int32_t* colOffsets, const float* colWeights,
                                          float* dstBuf) {
    const int32_t main = CubicHMainColumns<F>(width);
    for (int32_t j = 0; j < width; ++j) {
        float* out = dstBuf + static_cast<ptrdiff_t>(C) * j;
        if (j < main) {
            CubicColumnModel<T, C, F>(srcRow + colOffsets[j], stride, colWeights[j], out);
        } else {
            CubicColumnS<T, C>(srcRow + colOffsets[j], stride, colWeights[j], out);
        }
    }
}

// Layout of a vertical member: D (Generic); V main values with an S tail
// (vector members); P in double or single (32f three-of-four members).
enum class CubicVForm { D, VMain, PDouble, PSingle };

// One value index of the vertical pass in scheme D, S or V.
struct CubicVCoefs {
    CubicCoefs<double> d;  // c3 rounded once to single
    CubicCoefs<float> s;
    CubicCoefs<float> v;
    explicit CubicVCoefs(float t) {
        d = CubicCoefsOf<CubicThird::Divide, double>(t, 1.0, 0.5, 0.0);
        d.c3 = static_cast<float>(d.c3);
        s = CubicCoefsSingle<CubicThird::Divide>(t);
        v = CubicCoefsSingle<CubicThird::KFirst>(t);
    }
};

template <typename T>
VELMORA_RESIZE_INLINE T CubicValueD(const CubicVCoefs& k, const float* b0, const float* b1,
                                    const float* b2, const float* b3, int32_t i) {
    return CubicStoreScalar<T>(CubicVScalar<double>(b0[i], b1[i], b2[i], b3[i], k.d));
}
template <typename T>
VELMORA_RESIZE_INLINE T CubicValueS(const CubicVCoefs& k, const float* b0, const float* b1,
                                    const float* b2, const float* b3, int32_t i) {
    return CubicStoreScalar<T>(CubicVScalar<float>(b0[i], b1[i], b2[i], b3[i], k.s));
}
template <typename T>
VELMORA_RESIZE_INLINE T CubicValueV(const CubicVCoefs& k, const float* b0, const float* b1,
                                    const float* b2, const float* b3, int32_t i) {
    return CubicStoreVectorLane<T>(CubicVVector<float>(b0[i], b1[i], b2[i], b3[i], k.v));
}

// P in double: c1, c2, c3 each from the unrounded values before it, then
// rounded to single; the rest in double.
VELMORA_RESIZE_INLINE CubicCoefs<double> CubicPartCoefsDouble(float t) {
    const CubicCoefs<double> e = CubicCoefsOf<CubicThird::Divide, double>(t, 1.0, 0.5, 0.0);
    return {static_cast<float>(e.c1), static_cast<float>(e.c2), static_cast<float>(e.c3)};
}

// Vertical pass, all values: `count` values.
template <typename T, CubicVForm F>
VELMORA_RESIZE_INLINE void CubicRowVModel(T* dstRow, int32_t count, float t, const float* b0,
                                          const float* b1, const float* b2, const float* b3) {
    const CubicVCoefs k(t);
    const int32_t main = F == CubicVForm::VMain ? FourLaneValues(count) : 0;
    for (int32_t i = 0; i < count; ++i) {
        if constexpr (F == CubicVForm::D) {
            dstRow[i] = CubicValueD<T>(k, b0, b1, b2, b3, i);
        } else {
            dstRow[i] = i < main ? CubicValueV<T>(k, b0, b1, b2, b3, i)
                                 : CubicValueS<T>(k, b0, b1, b2, b3, i);
        }
    }
}

// Vertical pass, samples 0-2 of `width` four-sample pixels from three
// buffered values each; sample 3 is not touched. Buffer value e goes to
// sample 4 (e / 3) + e % 3.
template <typename T, CubicVForm F>
VELMORA_RESIZE_INLINE void CubicRowVPartModel(T* dstRow, int32_t width, float t, const float* b0,
                                              const float* b1, const float* b2, const float* b3) {
    const int32_t values = 3 * width;
    if constexpr (F == CubicVForm::PDouble || F == CubicVForm::PSingle) {
        static_assert(std::is_same_v<T, float>);
        const CubicCoefs<double> kd = CubicPartCoefsDouble(t);
        const CubicCoefs<float> ks = CubicCoefsSingle<CubicThird::Divide>(t);
        for (int32_t e = 0; e < values; ++e) {
            float r;
            if constexpr (F == CubicVForm::PDouble) {
                r = static_cast<float>(CubicVPart<double>(b0[e], b1[e], b2[e], b3[e], kd));
            } else {
                r = CubicVPart<float>(b0[e], b1[e], b2[e], b3[e], ks);
            }
            dstRow[4 * (e / 3) + e % 3] = r;
        }
    } else {
        const CubicVCoefs k(t);
        const int32_t main = F == CubicVForm::VMain ? FourLaneValues(values) : 0;
        for (int32_t e = 0; e < values; ++e) {
            T r;
            if constexpr (F == CubicVForm::D) {
                r = CubicValueD<T>(k, b0, b1, b2, b3, e);
            } else {
                r = e < main ? CubicValueV<T>(k, b0, b1, b2, b3, e)
                             : CubicValueS<T>(k, b0, b1, b2, b3, e);
            }
            dstRow[4 * (e / 3) + e % 3] = r;
        }
    }
}

}  // namespace velmora::resize

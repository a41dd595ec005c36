#pragma once

// Scalar models of the Lanczos row kernels. A horizontal value is the sum of
// six products t_k = w_k s_k, a vertical value the sum of six products of
// buffered values and row weights; the members differ in the precision
// (double: exact products, double sums, rounded once at the store; single:
// every product and sum rounded to float) and in the order of the six
// additions, each fixed per member and per run of columns:
//   InOrder   ((((t0 + t1) + t2) + t3) + t4) + t5
//   Reverse   ((((t5 + t4) + t3) + t2) + t1) + t0
//   Left54    ((((t0 + t1) + t2) + t3) + t5) + t4
//   Pairwise  ((t0 + t1) + (t2 + t3)) + (t4 + t5)
//   SplitA    ((t0 + t4) + t2) + ((t1 + t5) + t3)
//   SplitB    ((t0 + t2) + t4) + ((t1 + t3) + t5)
// The lane arithmetic is written over a lane type, so that the vector
// bodies run exactly the model's operations.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "resize/ResizeCubicRowModel.h"  // conversions shared with the cubic pass

namespace velmora::resize {

enum class LanczosOrder { InOrder, Reverse, Left54, Pairwise, SplitA, SplitB };

template <LanczosOrder O, typename R>
VELMORA_RESIZE_INLINE R LanczosSum(const R (&t)[6]) {
    if constexpr (O == LanczosOrder::InOrder) {
        return ((((t[0] + t[1]) + t[2]) + t[3]) + t[4]) + t[5];
    } else if constexpr (O == LanczosOrder::Reverse) {
        return ((((t[5] + t[4]) + t[3]) + t[2]) + t[1]) + t[0];
    } else if constexpr (O == LanczosOrder::Left54) {
        return ((((t[0] + t[1]) + t[2]) + t[3]) + t[5]) + t[4];
    } else if constexpr (O == LanczosOrder::Pairwise) {
        return ((t[0] + t[1]) + (t[2] + t[3])) + (t[4] + t[5]);
    } else if constexpr (O == LanczosOrder::SplitA) {
        return ((t[0] + t[4]) + t[2]) + ((t[1] + t[5]) + t[3]);
    } else {
        return ((t[0] + t[2]) + t[4]) + ((t[1] + t[3]) + t[5]);
    }
}

// One horizontal value: channel c of the six tap pixels `taps` (pixel
// indices), `stride` samples apart, in precision R and order O.
template <typename R, LanczosOrder O, typename T>
VELMORA_RESIZE_INLINE float LanczosTapsValue(const T* srcRow, const int32_t (&taps)[6],
                                             int32_t stride, int32_t c, const float* w) {
    R t[6];
    for (int k = 0; k < 6; ++k) {
        t[k] = static_cast<R>(w[k]) *
               static_cast<R>(srcRow[static_cast<ptrdiff_t>(taps[k]) * stride + c]);
    }
    return static_cast<float>(LanczosSum<O, R>(t));
}

// ---- no-border horizontal models ----

// Forms: double p5 -> p0 (Generic), single p5 -> p0 (Sse), single pairwise
// with the channels of a column together (vector members), and the
// one-channel vector members' two-column steps.
enum class LanczosNoBorderForm { Double, Single, Pairwise };

template <typename T, int C, LanczosNoBorderForm F>
VELMORA_RESIZE_INLINE void LanczosNoBorderRowModel(const T* srcRow, int32_t stride,
                                                   const int32_t* colOffsets,
                                                   const float* colWeights, float* dstBuf,
                                                   int32_t width) {
    for (int32_t j = 0; j < width; ++j) {
        const int32_t p = colOffsets[j] / stride;
        const int32_t taps[6] = {p - 2, p - 1, p, p + 1, p + 2, p + 3};
        const float* w = colWeights + 6 * static_cast<ptrdiff_t>(j);
        float* d = dstBuf + static_cast<ptrdiff_t>(C) * j;
        for (int c = 0; c < C; ++c) {
            if constexpr (F == LanczosNoBorderForm::Double) {
                d[c] = LanczosTapsValue<double, LanczosOrder::Reverse>(srcRow, taps, stride, c, w);
            } else if constexpr (F == LanczosNoBorderForm::Single) {
                d[c] = LanczosTapsValue<float, LanczosOrder::Reverse>(srcRow, taps, stride, c, w);
            } else {
                d[c] = LanczosTapsValue<float, LanczosOrder::Pairwise>(srcRow, taps, stride, c, w);
            }
        }
    }
}

// The one-channel vector members: two columns a step, their grouping chosen
// once per call by the weights' place modulo 16 bytes; an odd last column
// is summed SplitA.
template <typename T>
VELMORA_RESIZE_INLINE void LanczosNoBorderOneChSteps(const T* srcRow, const int32_t* colOffsets,
                                                     const float* colWeights, float* dstBuf,
                                                     int32_t width) {
    const bool aligned = (reinterpret_cast<uintptr_t>(colWeights) & 15) == 0;
    auto column = [&](int32_t j, bool splitA) {
        const int32_t p = colOffsets[j];
        const int32_t taps[6] = {p - 2, p - 1, p, p + 1, p + 2, p + 3};
        const float* w = colWeights + 6 * static_cast<ptrdiff_t>(j);
        dstBuf[j] = splitA ? LanczosTapsValue<float, LanczosOrder::SplitA>(srcRow, taps, 1, 0, w)
                           : LanczosTapsValue<float, LanczosOrder::SplitB>(srcRow, taps, 1, 0, w);
    };
    int32_t j = 0;
    for (; j + 1 < width; j += 2) {
        column(j, aligned);
        column(j + 1, !aligned);
    }
    if (j < width) column(j, true);
}

// ---- border horizontal kernels: the run walk ----

// Tap pixels of a column of base pixel p in each run.
enum class LanczosRun { Left1, Left2, Left3, Interior, Right1, Right2, Right3 };

VELMORA_RESIZE_INLINE void LanczosRunTaps(LanczosRun run, int32_t p, int32_t (&taps)[6]) {
    for (int k = 0; k < 6; ++k)
        taps[k] = p - 2 + k;
    switch (run) {
        case LanczosRun::Left1:
            taps[0] = taps[1] = taps[2] = 0;
            break;
        case LanczosRun::Left2:
            taps[0] = taps[1] = 0;
            break;
        case LanczosRun::Left3:
            taps[0] = taps[1] = -1;
            break;
        case LanczosRun::Interior:
            break;
        case LanczosRun::Right1:
            taps[5] = p + 2;
            break;
        case LanczosRun::Right2:
            taps[4] = taps[5] = p + 1;
            break;
        case LanczosRun::Right3:
            taps[3] = taps[4] = taps[5] = p;
            break;
    }
}

// Walks the columns through the run sequence: left runs by `leftAvail`
// (0: offsets 0 and stride; 1: offset 0; 2 or more: none), the interior
// (offsets below (W - 3) stride), then the three right offsets in turn. An
// offset that fits no run still ahead ends the walk. `edge(run, j)` computes
// one edge column; `interior(j0, count)` the whole interior run.
template <typename Edge, typename Interior>
VELMORA_RESIZE_INLINE void LanczosWalkRuns(const int32_t* colOffsets, int32_t width, int32_t stride,
                                           int32_t leftAvail, int32_t srcWidthFromRow, Edge edge,
                                           Interior interior) {
    int32_t j = 0;
    auto take = [&](LanczosRun run, auto fits) {
        while (j < width && fits(static_cast<int64_t>(colOffsets[j]))) {
            edge(run, j);
            ++j;
        }
    };
    auto equals = [](int64_t value) { return [value](int64_t o) { return o == value; }; };
    if (leftAvail == 0) {
        take(LanczosRun::Left1, equals(0));
        take(LanczosRun::Left2, equals(stride));
    } else if (leftAvail == 1) {
        take(LanczosRun::Left3, equals(0));
    }
    const int64_t limit = (static_cast<int64_t>(srcWidthFromRow) - 3) * stride;
    int32_t count = 0;
    while (j + count < width && colOffsets[j + count] < limit)
        ++count;
    if (count > 0) interior(j, count);
    j += count;
    take(LanczosRun::Right1, equals(limit));
    take(LanczosRun::Right2, equals(limit + stride));
    take(LanczosRun::Right3, equals(limit + 2 * stride));
}

// Arithmetic of the edge columns of a border member: precision, order of
// the left runs; right runs and in-place interiors add in order.
template <typename R, LanczosOrder LeftOrder>
struct LanczosEdgeForm {
    template <typename T>
    static VELMORA_RESIZE_INLINE float Value(LanczosRun run, const T* srcRow,
                                             const int32_t (&taps)[6], int32_t stride, int32_t c,
                                             const float* w) {
        const bool left =
            run == LanczosRun::Left1 || run == LanczosRun::Left2 || run == LanczosRun::Left3;
        return left ? LanczosTapsValue<R, LeftOrder>(srcRow, taps, stride, c, w)
                    : LanczosTapsValue<R, LanczosOrder::InOrder>(srcRow, taps, stride, c, w);
    }
};

// One edge (or in-place) column of C channels.
template <typename Form, int C, typename T>
VELMORA_RESIZE_INLINE void LanczosEdgeColumn(LanczosRun run, const T* srcRow, int32_t stride,
                                             const int32_t* colOffsets, const float* colWeights,
                                             float* dstBuf, int32_t j) {
    const int32_t p = colOffsets[j] / stride;
    int32_t taps[6];
    LanczosRunTaps(run, p, taps);
    const float* w = colWeights + 6 * static_cast<ptrdiff_t>(j);
    for (int c = 0; c < C; ++c)
        dstBuf[static_cast<ptrdiff_t>(C) * j + c] =
            Form::template Value<T>(run, srcRow, taps, stride, c, w);
}

// A border member that computes its interior in place (Generic, Sse).
template <typename Form, int C, typename T>
VELMORA_RESIZE_INLINE void LanczosBorderRowInPlace(const T* srcRow, int32_t stride,
                                                   const int32_t* colOffsets,
                                                   const float* colWeights, float* dstBuf,
                                                   int32_t width, int32_t leftAvail,
                                                   int32_t srcWidthFromRow) {
    auto edge = [&](LanczosRun run, int32_t j) {
        LanczosEdgeColumn<Form, C>(run, srcRow, stride, colOffsets, colWeights, dstBuf, j);
    };
    LanczosWalkRuns(colOffsets, width, stride, leftAvail, srcWidthFromRow, edge,
                    [&](int32_t j0, int32_t count) {
                        for (int32_t j = j0; j < j0 + count; ++j)
                            edge(LanczosRun::Interior, j);
                    });
}

// ---- vertical ----

// Forms: double in order (Generic); single in order, bias in double (Sse);
// single from +0.0 in order, bias in single (vector members).
enum class LanczosVForm { Double, Single, Vector };

template <typename T, LanczosVForm F>
VELMORA_RESIZE_INLINE T LanczosVValue(const float* w, const float* const (&b)[6], ptrdiff_t i) {
    if constexpr (F == LanczosVForm::Double) {
        double s = static_cast<double>(b[0][i]) * w[0];
        for (int k = 1; k < 6; ++k)
            s += static_cast<double>(b[k][i]) * w[k];
        return CubicStoreScalar<T>(s);
    } else if constexpr (F == LanczosVForm::Single) {
        float s = b[0][i] * w[0];
        for (int k = 1; k < 6; ++k)
            s += b[k][i] * w[k];
        return CubicStoreScalar<T>(s);
    } else {
        float s = 0.0f;
        for (int k = 0; k < 6; ++k)
            s += b[k][i] * w[k];
        return CubicStoreVectorLane<T>(s);
    }
}

template <typename T, LanczosVForm F>
VELMORA_RESIZE_INLINE void LanczosRowVModel(T* dstRow, int32_t count, const float* w,
                                            const float* const (&b)[6]) {
    for (int32_t i = 0; i < count; ++i)
        dstRow[i] = LanczosVValue<T, F>(w, b, i);
}

template <typename T, LanczosVForm F>
VELMORA_RESIZE_INLINE void LanczosRowVPartModel(T* dstRow, int32_t width, const float* w,
                                                const float* const (&b)[6]) {
    for (int32_t e = 0; e < 3 * width; ++e)
        dstRow[4 * static_cast<ptrdiff_t>(e / 3) + e % 3] = LanczosVValue<T, F>(w, b, e);
}

}  // namespace velmora::resize

#pragma once

// Cubic filters of the packed 4:2:2 resize: the cubic through four samples
// p0..p3 at -1, 0, 1, 2, evaluated at t in Newton form. Three arithmetic
// forms, each a scalar model:
//  - Double (Generic): differences and value in double; the horizontal
//    coefficients rounded to float, the vertical third one too; bias
//    0.5000001 in double;
//  - Single (Sse, and the odd last pair of the vector variants): single
//    precision, c3 = (t - 1) c2 / 3; bias 0.5000001 added in double;
//  - Core (the two-pair inner loops of Sse2, Sse3, Ssse3): single precision,
//    c3 = ((t - 1) K) c2 with K the float of bits 0x3EAAAAAA, the float bias
//    of bits 0x3F000002.
// The vertical filters truncate toward zero and clamp to 0..255.
//
// RowH: for output pair p, luma taps at yIndex[2p] - 2, + 0, + 2, + 4 (and
// likewise for 2p + 1) with yFrac, U at cIndex[p] - 3, + 1, + 5, + 9 and V at
// - 1, + 3, + 7, + 11 with cFrac[p]; floats into yOut, uOut, vOut.
// RowV: four float rows (base - 1 .. base + 2) at *frac into Y0 U Y1 V bytes.
// The cores need an even pairs of at least 2 (they count down by two and
// stop only at 0); the vector RowH/RowV pass the even part to them.

#include <cstdint>

namespace velmora::resize {

#define VELMORA_YUV422_CUBIC_ROWH_DECLARE(name)                                                   \
    void name(const uint8_t* srcRow, int32_t pairs, const int32_t* yIndex, const int32_t* cIndex, \
              const float* yFrac, const float* cFrac, float* yOut, float* uOut, float* vOut);
#define VELMORA_YUV422_CUBIC_ROWV_DECLARE(name)                                               \
    void name(uint8_t* dstRow, int32_t pairs, const float* frac, const float* yRow0,          \
              const float* yRow1, const float* yRow2, const float* yRow3, const float* uRow0, \
              const float* uRow1, const float* uRow2, const float* uRow3, const float* vRow0, \
              const float* vRow1, const float* vRow2, const float* vRow3);

#define VELMORA_YUV422_CUBIC_ROWS_DECLARE(V)                     \
    VELMORA_YUV422_CUBIC_ROWH_DECLARE(ResizeYuv422CubicRowH_##V) \
    VELMORA_YUV422_CUBIC_ROWV_DECLARE(ResizeYuv422CubicRowV_##V)
VELMORA_YUV422_CUBIC_ROWS_DECLARE(Generic)
VELMORA_YUV422_CUBIC_ROWS_DECLARE(Sse)
VELMORA_YUV422_CUBIC_ROWS_DECLARE(Sse2)
VELMORA_YUV422_CUBIC_ROWS_DECLARE(Sse3)
VELMORA_YUV422_CUBIC_ROWS_DECLARE(Ssse3)

#define VELMORA_YUV422_CUBIC_CORES_DECLARE(V)                        \
    VELMORA_YUV422_CUBIC_ROWH_DECLARE(ResizeYuv422CubicRowHCore_##V) \
    VELMORA_YUV422_CUBIC_ROWV_DECLARE(ResizeYuv422CubicRowVCore_##V)
VELMORA_YUV422_CUBIC_CORES_DECLARE(Sse2)
VELMORA_YUV422_CUBIC_CORES_DECLARE(Sse3)
VELMORA_YUV422_CUBIC_CORES_DECLARE(Ssse3)

// The cubic pass: every source row an output row needs is filtered once into
// one of four sets of float rows; each output row combines the four.
#define VELMORA_YUV422_CUBIC_DECLARE(name)                                                         \
    void name(const uint8_t* pRoi, uint8_t* pDst, int32_t srcStep, int32_t dstStep, int32_t pairs, \
              int32_t dstHeight, const int32_t* rowOffsets, const int32_t* lumaOffsets,            \
              const int32_t* chromaOffsets, const float* rowFracs, const float* lumaFracs,         \
              const float* chromaFracs, float* const lumaRows[4], float* const uRows[4],           \
              float* const vRows[4]);
VELMORA_YUV422_CUBIC_DECLARE(ResizeYuv422Cubic_Generic)
VELMORA_YUV422_CUBIC_DECLARE(ResizeYuv422Cubic_Sse)
VELMORA_YUV422_CUBIC_DECLARE(ResizeYuv422Cubic_Sse2)
VELMORA_YUV422_CUBIC_DECLARE(ResizeYuv422Cubic_Sse3)
VELMORA_YUV422_CUBIC_DECLARE(ResizeYuv422Cubic_Ssse3)

enum class CubicForm { Double, Single, Core };

// One cubic value in the form (Double: in double, returned unrounded).
template <CubicForm F>
double ResizeYuv422CubicValue(double p0, double p1, double p2, double p3, float t, bool vertical);
// The output byte of a vertical value.
template <CubicForm F>
uint8_t ResizeYuv422CubicByte(double value);

}  // namespace velmora::resize

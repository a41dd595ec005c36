#pragma once

// Row kernels of the cubic resize. A horizontal kernel filters one source
// row into a float row buffer (RowH: four-sample pixels; RowHPart: samples
// 0-2 of pixels `nChannels` apart, three values per column; RowHOneCh: one
// sample), deriving the four weights of each column from its fraction; a
// vertical kernel combines four buffered rows into a destination row (RowV:
// `count` values; RowVPart: samples 0-2 of four-sample pixels, sample 3
// kept). The arithmetic of every member is one scheme of
// ResizeCubicRowModel.h, or a vector body in one scheme with a scalar tail
// in another. Nothing is checked; a width or count below 1 does nothing.
// Vector members need 16-byte aligned row buffers and column weights.

#include <cstdint>

#include "resize/ResizeCubicRowModel.h"

namespace velmora::resize {

template <typename T>
using CubicRowHFn = void (*)(const T* srcRow, int32_t width, const int32_t* colOffsets,
                             const float* colWeights, float* dstBuf);
template <typename T>
using CubicRowHPartFn = void (*)(const T* srcRow, int32_t width, int32_t nChannels,
                                 const int32_t* colOffsets, const float* colWeights, float* dstBuf);
template <typename T>
using CubicRowVFn = void (*)(T* dstRow, int32_t count, float rowWeight, const float* tap0Buf,
                             const float* tap1Buf, const float* tap2Buf, const float* tap3Buf);

#define VELMORA_CUBIC_ROWH(T, name)                                                               \
    void name(const T* srcRow, int32_t width, const int32_t* colOffsets, const float* colWeights, \
              float* dstBuf);
#define VELMORA_CUBIC_ROWHPART(T, name)                                                     \
    void name(const T* srcRow, int32_t width, int32_t nChannels, const int32_t* colOffsets, \
              const float* colWeights, float* dstBuf);
#define VELMORA_CUBIC_ROWV(T, name)                                            \
    void name(T* dstRow, int32_t count, float rowWeight, const float* tap0Buf, \
              const float* tap1Buf, const float* tap2Buf, const float* tap3Buf);

#define VELMORA_CUBIC_ROWS_OF_TYPE(T, S, V)                 \
    VELMORA_CUBIC_ROWH(T, ResizeCubicRowH##S##_##V)         \
    VELMORA_CUBIC_ROWHPART(T, ResizeCubicRowHPart##S##_##V) \
    VELMORA_CUBIC_ROWH(T, ResizeCubicRowHOneCh##S##_##V)    \
    VELMORA_CUBIC_ROWV(T, ResizeCubicRowV##S##_##V)         \
    VELMORA_CUBIC_ROWV(T, ResizeCubicRowVPart##S##_##V)
#define VELMORA_CUBIC_ROWS_OF_VARIANT(V)         \
    VELMORA_CUBIC_ROWS_OF_TYPE(uint8_t, 8u, V)   \
    VELMORA_CUBIC_ROWS_OF_TYPE(uint16_t, 16u, V) \
    VELMORA_CUBIC_ROWS_OF_TYPE(float, 32f, V)

VELMORA_CUBIC_ROWS_OF_VARIANT(Generic)
VELMORA_CUBIC_ROWS_OF_VARIANT(Sse)
VELMORA_CUBIC_ROWS_OF_VARIANT(Sse2)
VELMORA_CUBIC_ROWS_OF_VARIANT(Sse3)
VELMORA_CUBIC_ROWS_OF_VARIANT(Ssse3)

}  // namespace velmora::resize

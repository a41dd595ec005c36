#pragma once

// Row kernels of the Lanczos resize (six taps, weights from the caller).
// No-border horizontal kernels filter a run of columns whose taps all lie in
// the row; border horizontal kernels replicate the image's edge pixels by a
// fixed sequence of runs and, in the Sse2, Sse3 and Ssse3 variants, hand the
// interior run to the no-border kernel of their variant; vertical kernels
// combine six buffered rows into a destination row. Families: RowH (four
// samples per pixel, all filtered), RowHPart (samples 0-2 of pixels
// `nChannels` apart), RowHOneCh (one sample), RowV (`count` values), RowVPart
// (samples 0-2 of four-sample pixels, sample 3 kept). The arithmetic of
// every member is ResizeLanczosRowModel.h. Nothing is checked; a width or
// count below 1 does nothing. Vector members need 16-byte aligned row
// buffers and column weights on 8-byte boundaries.

#include <cstdint>

#include "resize/ResizeLanczosRowModel.h"

namespace velmora::resize {

template <typename T>
using LanczosNoBorderRowHFn = void (*)(const T* srcRow, const int32_t* colOffsets,
                                       const float* colWeights, float* dstBuf, int32_t width);
template <typename T>
using LanczosNoBorderRowHPartFn = void (*)(const T* srcRow, int32_t nChannels,
                                           const int32_t* colOffsets, const float* colWeights,
                                           float* dstBuf, int32_t width);
template <typename T>
using LanczosRowHFn = void (*)(const T* srcRow, const int32_t* colOffsets, const float* colWeights,
                               float* dstBuf, int32_t width, int32_t leftAvail,
                               int32_t srcWidthFromRow);
template <typename T>
using LanczosRowHPartFn = void (*)(const T* srcRow, int32_t nChannels, const int32_t* colOffsets,
                                   const float* colWeights, float* dstBuf, int32_t width,
                                   int32_t leftAvail, int32_t srcWidthFromRow);
template <typename T>
using LanczosRowVFn = void (*)(T* dstRow, int32_t count, const float* rowWeightsOfRow,
                               const float* tap0Buf, const float* tap1Buf, const float* tap2Buf,
                               const float* tap3Buf, const float* tap4Buf, const float* tap5Buf);

#define VELMORA_LANCZOS_NB_ROWH(T, name)                                                          \
    void name(const T* srcRow, const int32_t* colOffsets, const float* colWeights, float* dstBuf, \
              int32_t width);
#define VELMORA_LANCZOS_NB_ROWHPART(T, name)                                 \
    void name(const T* srcRow, int32_t nChannels, const int32_t* colOffsets, \
              const float* colWeights, float* dstBuf, int32_t width);
#define VELMORA_LANCZOS_ROWH(T, name)                                                             \
    void name(const T* srcRow, const int32_t* colOffsets, const float* colWeights, float* dstBuf, \
              int32_t width, int32_t leftAvail, int32_t srcWidthFromRow);
#define VELMORA_LANCZOS_ROWHPART(T, name)                                               \
    void name(const T* srcRow, int32_t nChannels, const int32_t* colOffsets,            \
              const float* colWeights, float* dstBuf, int32_t width, int32_t leftAvail, \
              int32_t srcWidthFromRow);
#define VELMORA_LANCZOS_ROWV(T, name)                                                       \
    void name(T* dstRow, int32_t count, const float* rowWeightsOfRow, const float* tap0Buf, \
              const float* tap1Buf, const float* tap2Buf, const float* tap3Buf,             \
              const float* tap4Buf, const float* tap5Buf);

#define VELMORA_LANCZOS_ROWS_OF_TYPE(T, S, V)                              \
    VELMORA_LANCZOS_NB_ROWH(T, ResizeLanczosNoBorderRowH##S##_##V)         \
    VELMORA_LANCZOS_NB_ROWHPART(T, ResizeLanczosNoBorderRowHPart##S##_##V) \
    VELMORA_LANCZOS_NB_ROWH(T, ResizeLanczosNoBorderRowHOneCh##S##_##V)    \
    VELMORA_LANCZOS_ROWH(T, ResizeLanczosRowH##S##_##V)                    \
    VELMORA_LANCZOS_ROWHPART(T, ResizeLanczosRowHPart##S##_##V)            \
    VELMORA_LANCZOS_ROWH(T, ResizeLanczosRowHOneCh##S##_##V)               \
    VELMORA_LANCZOS_ROWV(T, ResizeLanczosRowV##S##_##V)                    \
    VELMORA_LANCZOS_ROWV(T, ResizeLanczosRowVPart##S##_##V)
#define VELMORA_LANCZOS_ROWS_OF_VARIANT(V)         \
    VELMORA_LANCZOS_ROWS_OF_TYPE(uint8_t, 8u, V)   \
    VELMORA_LANCZOS_ROWS_OF_TYPE(uint16_t, 16u, V) \
    VELMORA_LANCZOS_ROWS_OF_TYPE(float, 32f, V)

VELMORA_LANCZOS_ROWS_OF_VARIANT(Generic)
VELMORA_LANCZOS_ROWS_OF_VARIANT(Sse)
VELMORA_LANCZOS_ROWS_OF_VARIANT(Sse2)
VELMORA_LANCZOS_ROWS_OF_VARIANT(Sse3)
VELMORA_LANCZOS_ROWS_OF_VARIANT(Ssse3)

}  // namespace velmora::resize

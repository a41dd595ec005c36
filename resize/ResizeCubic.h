#pragma once

// Cubic kernels of the kernel tables (rows 5 and 6): each source row that an
// output row needs is filtered horizontally once into one of four row
// buffers, and every output row combines the four buffered rows around its
// base row. The members of a row and type are one routine; they differ only
// in the row kernels of their variant (ResizeCubicRows.h).

#include <cstdint>

namespace velmora::resize {

#define VELMORA_RESIZE_CUBIC_DECLARE(name)                                                      \
    void name(const void* pSrc, void* pDst, int32_t srcStep, int32_t dstStep, int32_t dstWidth, \
              int32_t dstHeight, const int32_t* rowOffsets, const int32_t* colOffsets,          \
              const float* rowWeights, const float* colWeights, float* rowBuf0, float* rowBuf1, \
              float* rowBuf2, float* rowBuf3, int32_t nChannels, int32_t nProcessed);

#define VELMORA_RESIZE_CUBIC_VARIANT(X, V) \
    X(ResizeCubicMultiCh8u_##V)            \
    X(ResizeCubicMultiCh16u_##V)           \
    X(ResizeCubicMultiCh32f_##V)           \
    X(ResizeCubicOneCh8u_##V) X(ResizeCubicOneCh16u_##V) X(ResizeCubicOneCh32f_##V)

VELMORA_RESIZE_CUBIC_VARIANT(VELMORA_RESIZE_CUBIC_DECLARE, Generic)
VELMORA_RESIZE_CUBIC_VARIANT(VELMORA_RESIZE_CUBIC_DECLARE, Sse)
VELMORA_RESIZE_CUBIC_VARIANT(VELMORA_RESIZE_CUBIC_DECLARE, Sse2)
VELMORA_RESIZE_CUBIC_VARIANT(VELMORA_RESIZE_CUBIC_DECLARE, Sse3)
VELMORA_RESIZE_CUBIC_VARIANT(VELMORA_RESIZE_CUBIC_DECLARE, Ssse3)

}  // namespace velmora::resize

#pragma once

// Linear kernels of the kernel tables (rows 3 and 4): each source row that
// an output row needs is filtered horizontally once into one of two row
// buffers, and every output row blends the two buffered rows. The members of
// a row and type are one routine; they differ only in the row kernels of
// their variant (ResizeLinearRows.h), which fix the arithmetic form.

#include <cstdint>

namespace velmora::resize {

#define VELMORA_RESIZE_LINEAR_DECLARE(name)                                                     \
    void name(const void* pSrc, void* pDst, int32_t srcStep, int32_t dstStep, int32_t dstWidth, \
              int32_t dstHeight, const int32_t* rowOffsets, const int32_t* colOffsets,          \
              const void* rowWeights, const void* colWeights, void* rowBuf0, void* rowBuf1,     \
              int32_t nChannels, int32_t nProcessed);

#define VELMORA_RESIZE_LINEAR_VARIANT(X, V) \
    X(ResizeLinearMultiCh8u_##V)            \
    X(ResizeLinearMultiCh16u_##V)           \
    X(ResizeLinearMultiCh32f_##V)           \
    X(ResizeLinearOneCh8u_##V) X(ResizeLinearOneCh16u_##V) X(ResizeLinearOneCh32f_##V)

VELMORA_RESIZE_LINEAR_VARIANT(VELMORA_RESIZE_LINEAR_DECLARE, Generic)
VELMORA_RESIZE_LINEAR_VARIANT(VELMORA_RESIZE_LINEAR_DECLARE, Sse)
VELMORA_RESIZE_LINEAR_VARIANT(VELMORA_RESIZE_LINEAR_DECLARE, Sse2)
VELMORA_RESIZE_LINEAR_VARIANT(VELMORA_RESIZE_LINEAR_DECLARE, Sse3)
VELMORA_RESIZE_LINEAR_VARIANT(VELMORA_RESIZE_LINEAR_DECLARE, Ssse3)

}  // namespace velmora::resize

#pragma once

// Lanczos kernels of the kernel tables: rows 7 and 8 replicate the image's
// edge rows and columns; rows 9 and 10 (which no driver selects) read every
// tap from the source and need two rows and pixels before and three after
// every position the tables name. The members of a row and type are one
// routine; they differ only in the row kernels and row copy of their
// variant (ResizeLanczosRows.h, ResizeMemory.h).

#include <cstdint>

namespace velmora::resize {

#define VELMORA_RESIZE_LANCZOS_DECLARE(name)                                                    \
    void name(const void* pSrc, void* pDst, int32_t srcStep, int32_t dstStep, int32_t dstWidth, \
              int32_t dstHeight, const int32_t* rowOffsets, const int32_t* colOffsets,          \
              const float* rowWeights, const float* colWeights, float* rowBuf0, float* rowBuf1, \
              float* rowBuf2, float* rowBuf3, float* rowBuf4, float* rowBuf5, int32_t leftCols, \
              int32_t topRows, int32_t rightCols, int32_t bottomRows, int32_t enlargeRows,      \
              int32_t nChannels, int32_t nProcessed);
#define VELMORA_RESIZE_LANCZOS_NO_BORDER_DECLARE(name)                                           \
    void name(const void* pSrc, void* pDst, int32_t srcStep, int32_t dstStep, int32_t dstWidth,  \
              int32_t dstHeight, const int32_t* rowOffsets, const int32_t* colOffsets,           \
              const float* rowWeights, const float* colWeights, float* rowBuf0, float* rowBuf1,  \
              float* rowBuf2, float* rowBuf3, float* rowBuf4, float* rowBuf5, int32_t nChannels, \
              int32_t nProcessed);

#define VELMORA_RESIZE_LANCZOS_VARIANT(V)                                         \
    VELMORA_RESIZE_LANCZOS_DECLARE(ResizeLanczosMultiCh8u_##V)                    \
    VELMORA_RESIZE_LANCZOS_DECLARE(ResizeLanczosMultiCh16u_##V)                   \
    VELMORA_RESIZE_LANCZOS_DECLARE(ResizeLanczosMultiCh32f_##V)                   \
    VELMORA_RESIZE_LANCZOS_DECLARE(ResizeLanczosOneCh8u_##V)                      \
    VELMORA_RESIZE_LANCZOS_DECLARE(ResizeLanczosOneCh16u_##V)                     \
    VELMORA_RESIZE_LANCZOS_DECLARE(ResizeLanczosOneCh32f_##V)                     \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DECLARE(ResizeLanczosNoBorderMultiCh8u_##V)  \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DECLARE(ResizeLanczosNoBorderMultiCh16u_##V) \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DECLARE(ResizeLanczosNoBorderMultiCh32f_##V) \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DECLARE(ResizeLanczosNoBorderOneCh8u_##V)    \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DECLARE(ResizeLanczosNoBorderOneCh16u_##V)   \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DECLARE(ResizeLanczosNoBorderOneCh32f_##V)

VELMORA_RESIZE_LANCZOS_VARIANT(Generic)
VELMORA_RESIZE_LANCZOS_VARIANT(Sse)
VELMORA_RESIZE_LANCZOS_VARIANT(Sse2)
VELMORA_RESIZE_LANCZOS_VARIANT(Sse3)
VELMORA_RESIZE_LANCZOS_VARIANT(Ssse3)

}  // namespace velmora::resize

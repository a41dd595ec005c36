#pragma once

// Super-sampling kernels: ResizeSuperSample<Layout><Type>_<V>, 45 members.
// Each reduces a region by area averaging: output pixel (i, j) is the sum of
// the source area [j xRatio, (j + 1) xRatio) x [i yRatio, (i + 1) yRatio),
// partly covered pixels counted by their covered fraction, times `scale`.
// MultiCh resizes samples 0-2 of pixels `nChannels` samples apart and leaves
// the others untouched; OneCh one sample per pixel; FourCh all four.
//
// Arguments: region start, destination, source and destination steps (bytes),
// source columns and rows the kernel may read (`srcCols`, `srcRows`), output
// width and height, xRatio and yRatio (at least 1), scale, [nChannels], mode
// (bit 1: xRatio has a fraction, bit 0: yRatio has one). Blocks that reach
// past the rows or columns read the last one.
//
// Result: STS_OK (also, with nothing touched, for a mode outside 0..3);
// STS_NO_MEM_ERR when the working row cannot be allocated (nothing written).

#include <cstdint>

namespace velmora::resize {

#define VELMORA_SUPERSAMPLE_MULTI_DECLARE(name, T)                                          \
    int32_t name(const T* pSrc, T* pDst, int32_t srcStep, int32_t dstStep, int32_t srcCols, \
                 int32_t srcRows, int32_t dstWidth, int32_t dstHeight, double xRatio,       \
                 double yRatio, double scale, int32_t nChannels, int32_t mode);
#define VELMORA_SUPERSAMPLE_DECLARE(name, T)                                                \
    int32_t name(const T* pSrc, T* pDst, int32_t srcStep, int32_t dstStep, int32_t srcCols, \
                 int32_t srcRows, int32_t dstWidth, int32_t dstHeight, double xRatio,       \
                 double yRatio, double scale, int32_t mode);

#define VELMORA_SUPERSAMPLE_VARIANT(V)                                           \
    VELMORA_SUPERSAMPLE_MULTI_DECLARE(ResizeSuperSampleMultiCh8u_##V, uint8_t)   \
    VELMORA_SUPERSAMPLE_MULTI_DECLARE(ResizeSuperSampleMultiCh16u_##V, uint16_t) \
    VELMORA_SUPERSAMPLE_MULTI_DECLARE(ResizeSuperSampleMultiCh32f_##V, float)    \
    VELMORA_SUPERSAMPLE_DECLARE(ResizeSuperSampleOneCh8u_##V, uint8_t)           \
    VELMORA_SUPERSAMPLE_DECLARE(ResizeSuperSampleOneCh16u_##V, uint16_t)         \
    VELMORA_SUPERSAMPLE_DECLARE(ResizeSuperSampleOneCh32f_##V, float)            \
    VELMORA_SUPERSAMPLE_DECLARE(ResizeSuperSampleFourCh8u_##V, uint8_t)          \
    VELMORA_SUPERSAMPLE_DECLARE(ResizeSuperSampleFourCh16u_##V, uint16_t)        \
    VELMORA_SUPERSAMPLE_DECLARE(ResizeSuperSampleFourCh32f_##V, float)

VELMORA_SUPERSAMPLE_VARIANT(Generic)
VELMORA_SUPERSAMPLE_VARIANT(Sse)
VELMORA_SUPERSAMPLE_VARIANT(Sse2)
VELMORA_SUPERSAMPLE_VARIANT(Sse3)
VELMORA_SUPERSAMPLE_VARIANT(Ssse3)

}  // namespace velmora::resize

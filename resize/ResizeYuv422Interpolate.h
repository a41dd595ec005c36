#pragma once

// The interpolating worker of the packed 4:2:2 resize and its passes. Luma
// is resampled on the luma grid, U and V on the pair grid, each with its own
// step. The worker lowers the method for small source images (width below 8
// or height below 4: cubic becomes linear; width below 4 or height below 2:
// nearest), builds the row, luma and pair tables, runs one pass and frees
// everything.
//
// Worker arguments: ROI start, source width and height (whole image), source
// step (bytes), ROI left and top, clipped ROI width and height, destination,
// destination step (bytes), output pairs, output height, x and y factor,
// interpolation code. Result: STS_OK, or STS_NO_MEM_ERR (nothing written).
// Positions past the image (an output raised to its minimum) read the
// image's last column, pair or row; nearest positions past the ROI read the
// ROI's last.

#include <cstdint>

namespace velmora::resize {

#define VELMORA_YUV422_INTERPOLATE_DECLARE(name)                                                 \
    int32_t name(const uint8_t* pRoi, int32_t srcWidth, int32_t srcHeight, int32_t srcStep,      \
                 int32_t roiX, int32_t roiY, int32_t roiWidth, int32_t roiHeight, uint8_t* pDst, \
                 int32_t dstStep, int32_t pairs, int32_t dstHeight, double xFactor,              \
                 double yFactor, int32_t interpolation);
VELMORA_YUV422_INTERPOLATE_DECLARE(ResizeYuv422Interpolate_Generic)
VELMORA_YUV422_INTERPOLATE_DECLARE(ResizeYuv422Interpolate_Sse)
VELMORA_YUV422_INTERPOLATE_DECLARE(ResizeYuv422Interpolate_Sse2)
VELMORA_YUV422_INTERPOLATE_DECLARE(ResizeYuv422Interpolate_Sse3)
VELMORA_YUV422_INTERPOLATE_DECLARE(ResizeYuv422Interpolate_Ssse3)

// Nearest pass: for output row j and pair i, from ROI start + rowOffsets[j],
// the luma bytes at lumaOffsets[2i], [2i + 1] and U, V of the pair at
// chromaOffsets[i].
#define VELMORA_YUV422_NEAREST_DECLARE(name)                                            \
    void name(const uint8_t* pRoi, uint8_t* pDst, int32_t dstStep, int32_t pairs,       \
              int32_t dstHeight, const int32_t* rowOffsets, const int32_t* lumaOffsets, \
              const int32_t* chromaOffsets);
VELMORA_YUV422_NEAREST_DECLARE(ResizeYuv422Nearest_Generic)
VELMORA_YUV422_NEAREST_DECLARE(ResizeYuv422Nearest_Sse2)

// Linear pass: every source row an output row needs is filtered once
// (ResizeYuv422LinearRowH of the variant) into one of two buffer sets, and
// each output row blends the two (ResizeYuv422LinearRowV).
#define VELMORA_YUV422_LINEAR_DECLARE(name)                                                        \
    void name(const uint8_t* pRoi, uint8_t* pDst, int32_t srcStep, int32_t dstStep, int32_t pairs, \
              int32_t dstHeight, const int32_t* rowOffsets, const int32_t* lumaOffsets,            \
              const int32_t* chromaOffsets, const uint16_t* rowWeights,                            \
              const uint16_t* lumaWeights, const uint16_t* chromaWeights, uint16_t* lumaUpper,     \
              uint16_t* lumaLower, uint16_t* uUpper, uint16_t* uLower, uint16_t* vUpper,           \
              uint16_t* vLower);
VELMORA_YUV422_LINEAR_DECLARE(ResizeYuv422Linear_Generic)
VELMORA_YUV422_LINEAR_DECLARE(ResizeYuv422Linear_Sse)
VELMORA_YUV422_LINEAR_DECLARE(ResizeYuv422Linear_Sse2)
VELMORA_YUV422_LINEAR_DECLARE(ResizeYuv422Linear_Sse3)
VELMORA_YUV422_LINEAR_DECLARE(ResizeYuv422Linear_Ssse3)

}  // namespace velmora::resize

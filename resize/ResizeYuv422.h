#pragma once

// Resize of a region of interest of a packed 4:2:2 image (macropixels
// Y0 U Y1 V) into the top-left of a destination of the same format, by
// nearest, linear or cubic interpolation (ResizeYuv422Interpolate) or by
// super-sampling (ResizeYuv422SuperSample). Five members, one per processor
// variant, reached through ResizeYuv422Dispatch.
//
// Arguments: source, source width (even) and height, source step (bytes),
// ROI left (even), top, width (even) and height, destination, destination
// step (bytes), destination width (at least 2) and height (room for the
// output), x and y factor (output over ROI size), interpolation code.
//
// Statuses, first failure wins: STS_NULL_PTR_ERR; STS_SIZE_ERR (image or ROI
// sizes); STS_NO_INTERSECTION_WARN (ROI origin outside the image, nothing
// written); STS_SIZE_ERR (destination sizes, an odd width or left edge);
// STS_RESIZE_FACTOR_ERR (a factor not above 0 or not finite);
// STS_INTERPOLATION_ERR (a code other than 1, 2, 4, 8); STS_NO_OUTPUT_ERR
// (below two output pixels or one row); STS_RESIZE_FACTOR_ERR
// (super-sampling with a factor above 1); the worker's status. The output is
// trunc(ROI x factor + 1e-7) pixels and rows, clipped to the room, written
// as whole pairs (an odd width loses its last pixel).

#include <cstdint>

#include "av/CpuClass.h"

namespace velmora::resize {

using ResizeYuv422Function = int32_t (*)(const uint8_t*, int32_t, int32_t, int32_t, int32_t,
                                         int32_t, int32_t, int32_t, uint8_t*, int32_t, int32_t,
                                         int32_t, double, double, int32_t);

#define VELMORA_RESIZE_YUV422_DECLARE(name)                                                      \
    int32_t name(const uint8_t* pSrc, int32_t srcWidth, int32_t srcHeight, int32_t srcStep,      \
                 int32_t roiX, int32_t roiY, int32_t roiWidth, int32_t roiHeight, uint8_t* pDst, \
                 int32_t dstStep, int32_t dstWidth, int32_t dstHeight, double xFactor,           \
                 double yFactor, int32_t interpolation);

VELMORA_RESIZE_YUV422_DECLARE(ResizeYuv422_Generic)
VELMORA_RESIZE_YUV422_DECLARE(ResizeYuv422_Sse)
VELMORA_RESIZE_YUV422_DECLARE(ResizeYuv422_Sse2)
VELMORA_RESIZE_YUV422_DECLARE(ResizeYuv422_Sse3)
VELMORA_RESIZE_YUV422_DECLARE(ResizeYuv422_Ssse3)
// Calls the member of av::g_nCpuClass with the arguments unchanged.
VELMORA_RESIZE_YUV422_DECLARE(ResizeYuv422Dispatch)

// Indexed by av::CpuVariant.
extern const ResizeYuv422Function ResizeYuv422DispatchTable[av::kCpuVariantCount];

}  // namespace velmora::resize

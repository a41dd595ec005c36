#pragma once

// The four-channel region-of-interest resize of 8-bit images: samples 0-2 of
// every pixel are resized, sample 3 of each destination pixel is never
// written. Five members, one per processor variant, reached through
// ResizeColor4Dispatch; each passes the request to its variant's driver
// (ResizeInterpolate.h) with 4 channels, 3 processed, 8-bit samples,
// interleaved, no shift and size mode, and returns its status unchanged.
//
// Arguments: source, source width, height and step (bytes), ROI left, top,
// width and height, destination, destination step (bytes), destination width
// and height (room for the output, written from its first pixel), x and y
// factor (output over ROI size) and the interpolation code.

#include <cstdint>

#include "av/CpuClass.h"

namespace velmora::resize {

using ResizeColor4Function = int32_t (*)(const uint8_t*, int32_t, int32_t, int32_t, int32_t,
                                         int32_t, int32_t, int32_t, uint8_t*, int32_t, int32_t,
                                         int32_t, double, double, int32_t);

#define VELMORA_RESIZE_COLOR4_DECLARE(name)                                                      \
    int32_t name(const uint8_t* pSrc, int32_t srcWidth, int32_t srcHeight, int32_t srcStep,      \
                 int32_t roiX, int32_t roiY, int32_t roiWidth, int32_t roiHeight, uint8_t* pDst, \
                 int32_t dstStep, int32_t dstWidth, int32_t dstHeight, double xFactor,           \
                 double yFactor, int32_t interpolation);

VELMORA_RESIZE_COLOR4_DECLARE(ResizeColor4_Generic)
VELMORA_RESIZE_COLOR4_DECLARE(ResizeColor4_Sse)
VELMORA_RESIZE_COLOR4_DECLARE(ResizeColor4_Sse2)
VELMORA_RESIZE_COLOR4_DECLARE(ResizeColor4_Sse3)
VELMORA_RESIZE_COLOR4_DECLARE(ResizeColor4_Ssse3)
// Calls the member of av::g_nCpuClass with the arguments unchanged.
VELMORA_RESIZE_COLOR4_DECLARE(ResizeColor4Dispatch)

// Indexed by av::CpuVariant.
extern const ResizeColor4Function ResizeColor4DispatchTable[av::kCpuVariantCount];

}  // namespace velmora::resize

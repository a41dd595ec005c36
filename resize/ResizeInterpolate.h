#pragma once

// The interpolating driver of the region-of-interest resize, one member per
// processor variant: checks the arguments, clips the ROI to the image, fixes
// the output size and the sampling grid, builds the offset and weight tables
// and the row buffers, and calls one kernel of its variant's kernel table
// once per image (interleaved) or once per plane (planar).
//
// Arguments: source (interleaved: first sample; planar: array of plane
// pointers, 3 when nProcessed is 3, else 4), source width and height, source
// step in bytes, ROI left, top, width and height, destination (as the
// source), destination step in bytes, destination width and height (room for
// the output), x and y factor (size mode: output over ROI size; step mode:
// source step per output pixel), x and y shift (source pixels added to every
// position), nChannels, nProcessed, data type (ResizeDataType), planar flag,
// interpolation code (INTERP_NEAREST, _LINEAR, _CUBIC or _LANCZOS) and size
// mode (not 0: size mode).
//
// Statuses, first failure wins: STS_NULL_PTR_ERR (a null image or plane);
// STS_SIZE_ERR (image or ROI sizes, a data type outside 0..2, a 16u or 32f
// step that is not a whole number of samples, nProcessed not 1, 3 or 4 or
// above nChannels); STS_NO_INTERSECTION_WARN (ROI origin outside the image,
// nothing written); STS_SIZE_ERR (destination sizes); STS_RESIZE_FACTOR_ERR
// (a factor not above 0 or not finite); STS_INTERPOLATION_ERR (another
// code); STS_NO_OUTPUT_ERR (ROI times factor below one half); STS_NO_MEM_ERR; else STS_OK. The
// destination is written only on STS_OK. Finite shifts that move positions outside the image are
// outside the contract (the tables are not clamped to it); ResizeColor4 passes none.

#include <cstdint>

namespace velmora::resize {

#define VELMORA_RESIZE_INTERPOLATE_DECLARE(name)                                              \
    int32_t name(const void* pSrc, int32_t srcWidth, int32_t srcHeight, int32_t srcStep,      \
                 int32_t roiX, int32_t roiY, int32_t roiWidth, int32_t roiHeight, void* pDst, \
                 int32_t dstStep, int32_t dstWidth, int32_t dstHeight, double xFactor,        \
                 double yFactor, double xShift, double yShift, int32_t nChannels,             \
                 int32_t nProcessed, int32_t dataType, int32_t planar, int32_t interpolation, \
                 int32_t sizeMode);

VELMORA_RESIZE_INTERPOLATE_DECLARE(ResizeInterpolate_Generic)
VELMORA_RESIZE_INTERPOLATE_DECLARE(ResizeInterpolate_Sse)
VELMORA_RESIZE_INTERPOLATE_DECLARE(ResizeInterpolate_Sse2)
VELMORA_RESIZE_INTERPOLATE_DECLARE(ResizeInterpolate_Sse3)
VELMORA_RESIZE_INTERPOLATE_DECLARE(ResizeInterpolate_Ssse3)

// Where one output position samples the source: the base index (column or
// row from the ROI origin) and the fraction past it, after the method's edge
// rule. `last` is the index of the image's last column (or row) counted from
// the ROI origin, `origin` the ROI's left column (or top row).
struct ResizeTap {
    int32_t base;
    double t;
};
// Nearest: the index under the position, never past `last` (the driver
// passes the ROI's last column or row).
ResizeTap ResizeNearestTap(double position, int32_t last);
// Linear: the image's last column is taken as the one before it with the
// full weight on the second (t = 1).
ResizeTap ResizeLinearTap(double position, int32_t last);
// Cubic: moved so that the four taps base - 1 .. base + 2 lie in the image.
ResizeTap ResizeCubicTap(double position, int32_t origin, int32_t last);

}  // namespace velmora::resize

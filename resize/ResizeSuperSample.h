#pragma once

// The super-sample driver of the region-of-interest resize, one member per
// processor variant: checks the arguments, clips the ROI to the image, fixes
// the output size, the reciprocal factors, the area, the source columns to
// read and the step mode, and calls one super-sampling kernel of its variant
// once per image (interleaved) or once per plane (planar: the one-channel
// kernel for planes 0-2, and plane 3 unless nProcessed is 3).
//
// Arguments: source (interleaved: first sample; planar: array of plane
// pointers), source width, height and step (bytes), ROI left, top, width and
// height, destination (as the source), destination step (bytes), destination
// width and height (room for the output), x and y factor (output over ROI
// size, expected in (0, 1]), nChannels, nProcessed (1: one channel, 4: four
// channels, else multi-channel; planar: plane count), data type
// (ResizeDataType) and planar flag.
//
// Statuses, first failure wins: STS_NULL_PTR_ERR (a null image or plane);
// STS_SIZE_ERR (image or ROI sizes, a data type outside 0..2);
// STS_NO_INTERSECTION_WARN (ROI origin outside the image, nothing written);
// STS_SIZE_ERR (destination sizes); STS_RESIZE_FACTOR_ERR (a factor not
// above 0 or not finite); STS_NO_OUTPUT_ERR (ROI times factor below one
// half); the kernel's STS_NO_MEM_ERR (planar: the first plane that fails,
// no later plane is started); else STS_OK. Factors above 1 are not refused
// (ResizeColor4 routes them to the interpolating driver).

#include <cstdint>

namespace velmora::resize {

#define VELMORA_RESIZE_SUPERSAMPLE_DECLARE(name)                                              \
    int32_t name(const void* pSrc, int32_t srcWidth, int32_t srcHeight, int32_t srcStep,      \
                 int32_t roiX, int32_t roiY, int32_t roiWidth, int32_t roiHeight, void* pDst, \
                 int32_t dstStep, int32_t dstWidth, int32_t dstHeight, double xFactor,        \
                 double yFactor, int32_t nChannels, int32_t nProcessed, int32_t dataType,     \
                 int32_t planar);

VELMORA_RESIZE_SUPERSAMPLE_DECLARE(ResizeSuperSample_Generic)
VELMORA_RESIZE_SUPERSAMPLE_DECLARE(ResizeSuperSample_Sse)
VELMORA_RESIZE_SUPERSAMPLE_DECLARE(ResizeSuperSample_Sse2)
VELMORA_RESIZE_SUPERSAMPLE_DECLARE(ResizeSuperSample_Sse3)
VELMORA_RESIZE_SUPERSAMPLE_DECLARE(ResizeSuperSample_Ssse3)

// Output count of one direction: STS_OK with the count, or STS_NO_OUTPUT_ERR.
struct SuperSampleExtent {
    int32_t status;
    int32_t count;
};
SuperSampleExtent SuperSampleOutputSize(int32_t roi, double factor, int32_t room);

}  // namespace velmora::resize

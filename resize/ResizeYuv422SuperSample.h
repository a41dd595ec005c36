#pragma once

// The super-sampling worker of the packed 4:2:2 resize: every output sample
// is the mean of the source samples its footprint covers, partly covered
// ones by their covered share; luma on the luma grid, U and V on the pair
// grid. Both ratios whole: exact integer sums (block sums in 64 bits).
//
// Arguments: ROI start, destination, source and destination steps (bytes),
// N (source pairs per row the worker may read), source rows it may read,
// output pairs, output height, rx = 1 / xFactor, ry = 1 / yFactor, scale =
// xFactor yFactor. Footprints that reach past the N pairs or the rows read
// the last pair (luma sample) or row; a share of 1e-7 or less left of a row
// or pair counts it as used. Result: STS_OK, or STS_NO_MEM_ERR with nothing
// written.
//
// Generic forms each weighted addition in double precision and rounds it
// once; the other variants round the product to single precision first.

#include <cstdint>

namespace velmora::resize {

#define VELMORA_YUV422_SUPERSAMPLE_DECLARE(name)                                                 \
    int32_t name(const uint8_t* pRoi, uint8_t* pDst, int32_t srcStep, int32_t dstStep,           \
                 int32_t srcPairs, int32_t srcRows, int32_t pairs, int32_t dstHeight, double rx, \
                 double ry, double scale);
VELMORA_YUV422_SUPERSAMPLE_DECLARE(ResizeYuv422SuperSample_Generic)
VELMORA_YUV422_SUPERSAMPLE_DECLARE(ResizeYuv422SuperSample_Sse)
VELMORA_YUV422_SUPERSAMPLE_DECLARE(ResizeYuv422SuperSample_Sse2)
VELMORA_YUV422_SUPERSAMPLE_DECLARE(ResizeYuv422SuperSample_Sse3)
VELMORA_YUV422_SUPERSAMPLE_DECLARE(ResizeYuv422SuperSample_Ssse3)

}  // namespace velmora::resize

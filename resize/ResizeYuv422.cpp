#include "resize/ResizeYuv422.h"

#include <cmath>
#include <cstddef>

#include "resize/ImageStatus.h"
#include "resize/ResizeYuv422Interpolate.h"
#include "resize/ResizeYuv422SuperSample.h"

namespace velmora::resize {
namespace {

// Output count of one direction, clipped in double before the conversion so
// that any product fits: the count, or 0 when the product is below `least`
// less one half.
int32_t OutputCount(int32_t roi, double factor, int32_t room, int32_t least) {
    const double size = static_cast<double>(roi) * factor + 1e-7;
    if (size >= room) return room;
    const auto count = static_cast<int32_t>(std::trunc(size));
    if (count >= least) return count;
    return size < least - 0.5 ? 0 : least;
}

struct Yuv422Workers {
    decltype(&ResizeYuv422Interpolate_Generic) interpolate;
    decltype(&ResizeYuv422SuperSample_Generic) superSample;
};

int32_t ResizeYuv422Entry(const Yuv422Workers& v, const uint8_t* pSrc, int32_t srcWidth,
                          int32_t srcHeight, int32_t srcStep, int32_t roiX, int32_t roiY,
                          int32_t roiWidth, int32_t roiHeight, uint8_t* pDst, int32_t dstStep,
                          int32_t dstWidth, int32_t dstHeight, double xFactor, double yFactor,
                          int32_t interpolation) {
    if (pSrc == nullptr || pDst == nullptr) return STS_NULL_PTR_ERR;
    if (srcWidth <= 0 || srcHeight <= 0 || roiX < 0 || roiY < 0 || roiWidth <= 0 || roiHeight <= 0)
        return STS_SIZE_ERR;
    if (roiX >= srcWidth || roiY >= srcHeight) return STS_NO_INTERSECTION_WARN;
    if (dstWidth < 2 || dstHeight < 1 || srcWidth % 2 != 0 || roiWidth % 2 != 0 || roiX % 2 != 0)
        return STS_SIZE_ERR;
    if (!(xFactor > 0.0) || !(yFactor > 0.0) || !std::isfinite(xFactor) || !std::isfinite(yFactor))
        return STS_RESIZE_FACTOR_ERR;
    if (interpolation != INTERP_NEAREST && interpolation != INTERP_LINEAR &&
        interpolation != INTERP_CUBIC && interpolation != INTERP_SUPERSAMPLE)
        return STS_INTERPOLATION_ERR;
    const uint8_t* pRoi =
        pSrc + static_cast<ptrdiff_t>(roiY) * srcStep + 2 * static_cast<ptrdiff_t>(roiX);
    // Compared as differences: roiX + roiWidth may not fit.
    if (roiWidth > srcWidth - roiX) roiWidth = srcWidth - roiX;
    if (roiHeight > srcHeight - roiY) roiHeight = srcHeight - roiY;
    const int32_t width = OutputCount(roiWidth, xFactor, dstWidth, 2);
    if (width == 0) return STS_NO_OUTPUT_ERR;
    const int32_t height = OutputCount(roiHeight, yFactor, dstHeight, 1);
    if (height == 0) return STS_NO_OUTPUT_ERR;
    const int32_t pairs = width / 2;
    if (interpolation != INTERP_SUPERSAMPLE) {
        return v.interpolate(pRoi, srcWidth, srcHeight, srcStep, roiX, roiY, roiWidth, roiHeight,
                             pDst, dstStep, pairs, height, xFactor, yFactor, interpolation);
    }
    if (xFactor > 1.0 || yFactor > 1.0) return STS_RESIZE_FACTOR_ERR;
    const double rx = 1.0 / xFactor;
    const double ry = 1.0 / yFactor;
    // Every pair the footprints touch, within the ROI: a footprint reaching
    // past it (an output raised to one row or one pair) repeats the ROI's
    // last pair or row rather than read on into the image around it.
    const int32_t roiPairs = roiWidth / 2;
    const double wanted = std::trunc((pairs + 1) * rx) + 1.0;
    const int32_t srcPairs = wanted < roiPairs ? static_cast<int32_t>(wanted) : roiPairs;
    return v.superSample(pRoi, pDst, srcStep, dstStep, srcPairs, roiHeight, pairs, height, rx, ry,
                         xFactor * yFactor);
}

}  // namespace

#define VELMORA_RESIZE_YUV422_DEFINE(V)                                                            \
    int32_t ResizeYuv422_##V(const uint8_t* pSrc, int32_t srcWidth, int32_t srcHeight,             \
                             int32_t srcStep, int32_t roiX, int32_t roiY, int32_t roiWidth,        \
                             int32_t roiHeight, uint8_t* pDst, int32_t dstStep, int32_t dstWidth,  \
                             int32_t dstHeight, double xFactor, double yFactor,                    \
                             int32_t interpolation) {                                              \
        static const Yuv422Workers workers{ResizeYuv422Interpolate_##V,                            \
                                           ResizeYuv422SuperSample_##V};                           \
        return ResizeYuv422Entry(workers, pSrc, srcWidth, srcHeight, srcStep, roiX, roiY,          \
                                 roiWidth, roiHeight, pDst, dstStep, dstWidth, dstHeight, xFactor, \
                                 yFactor, interpolation);                                          \
    }

VELMORA_RESIZE_YUV422_DEFINE(Generic)
VELMORA_RESIZE_YUV422_DEFINE(Sse)
VELMORA_RESIZE_YUV422_DEFINE(Sse2)
VELMORA_RESIZE_YUV422_DEFINE(Sse3)
VELMORA_RESIZE_YUV422_DEFINE(Ssse3)

const ResizeYuv422Function ResizeYuv422DispatchTable[av::kCpuVariantCount] = {
    ResizeYuv422_Generic, ResizeYuv422_Sse,   ResizeYuv422_Sse2,
    ResizeYuv422_Sse3,    ResizeYuv422_Ssse3,
};

int32_t ResizeYuv422Dispatch(const uint8_t* pSrc, int32_t srcWidth, int32_t srcHeight,
                             int32_t srcStep, int32_t roiX, int32_t roiY, int32_t roiWidth,
                             int32_t roiHeight, uint8_t* pDst, int32_t dstStep, int32_t dstWidth,
                             int32_t dstHeight, double xFactor, double yFactor,
                             int32_t interpolation) {
    return ResizeYuv422DispatchTable[av::g_nCpuClass.load(std::memory_order_relaxed)](
        pSrc, srcWidth, srcHeight, srcStep, roiX, roiY, roiWidth, roiHeight, pDst, dstStep,
        dstWidth, dstHeight, xFactor, yFactor, interpolation);
}

}  // namespace velmora::resize

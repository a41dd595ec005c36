#include "resize/ResizeColor4.h"

#include "resize/ImageStatus.h"
#include "resize/ResizeInterpolate.h"
#include "resize/ResizeKernelTable.h"
#include "resize/ResizeSuperSample.h"

namespace velmora::resize {

// Super-sampling with both factors at most 1 goes to the super-sample
// driver; any other request (a larger factor with code 8 included, which the
// interpolating driver refuses) to the interpolating driver.
#define VELMORA_RESIZE_COLOR4_DEFINE(V)                                                            \
    int32_t ResizeColor4_##V(const uint8_t* pSrc, int32_t srcWidth, int32_t srcHeight,             \
                             int32_t srcStep, int32_t roiX, int32_t roiY, int32_t roiWidth,        \
                             int32_t roiHeight, uint8_t* pDst, int32_t dstStep, int32_t dstWidth,  \
                             int32_t dstHeight, double xFactor, double yFactor,                    \
                             int32_t interpolation) {                                              \
        if (interpolation == INTERP_SUPERSAMPLE && 1.0 >= xFactor && 1.0 >= yFactor)               \
            return ResizeSuperSample_##V(pSrc, srcWidth, srcHeight, srcStep, roiX, roiY, roiWidth, \
                                         roiHeight, pDst, dstStep, dstWidth, dstHeight, xFactor,   \
                                         yFactor, 4, 3, RESIZE_DATA_8U, 0);                        \
        return ResizeInterpolate_##V(pSrc, srcWidth, srcHeight, srcStep, roiX, roiY, roiWidth,     \
                                     roiHeight, pDst, dstStep, dstWidth, dstHeight, xFactor,       \
                                     yFactor, 0.0, 0.0, 4, 3, RESIZE_DATA_8U, 0, interpolation,    \
                                     1);                                                           \
    }

VELMORA_RESIZE_COLOR4_DEFINE(Generic)
VELMORA_RESIZE_COLOR4_DEFINE(Sse)
VELMORA_RESIZE_COLOR4_DEFINE(Sse2)
VELMORA_RESIZE_COLOR4_DEFINE(Sse3)
VELMORA_RESIZE_COLOR4_DEFINE(Ssse3)

const ResizeColor4Function ResizeColor4DispatchTable[av::kCpuVariantCount] = {
    ResizeColor4_Generic, ResizeColor4_Sse,   ResizeColor4_Sse2,
    ResizeColor4_Sse3,    ResizeColor4_Ssse3,
};

int32_t ResizeColor4Dispatch(const uint8_t* pSrc, int32_t srcWidth, int32_t srcHeight,
                             int32_t srcStep, int32_t roiX, int32_t roiY, int32_t roiWidth,
                             int32_t roiHeight, uint8_t* pDst, int32_t dstStep, int32_t dstWidth,
                             int32_t dstHeight, double xFactor, double yFactor,
                             int32_t interpolation) {
    return ResizeColor4DispatchTable[av::g_nCpuClass.load(std::memory_order_relaxed)](
        pSrc, srcWidth, srcHeight, srcStep, roiX, roiY, roiWidth, roiHeight, pDst, dstStep,
        dstWidth, dstHeight, xFactor, yFactor, interpolation);
}

}  // namespace velmora::resize

// Region resizes of the video image helper: the region and the destination
// size are evened, then handed to a resize primitive of the selected
// processor variant, once per field or once for the whole frame.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "av/CpuClass.h"
#include "av/VideoImageHelper.h"
#include "resize/ImageStatus.h"
#include "resize/ResizeColor4.h"
#include "resize/ResizeYuv422.h"

namespace velmora::av {

namespace {

using ResizeFunction = resize::ResizeYuv422Function;
static_assert(std::is_same_v<resize::ResizeYuv422Function, resize::ResizeColor4Function>);

enum ResizeMode : int32_t { kByFields = 1, kWholeFrame = 2 };

// Odd values lose 1, negative ones too (-3 becomes -4).
int32_t Even(int32_t value) {
    return value & ~1;
}

// The step between the rows of one field; false when it does not fit.
bool FieldStep(int32_t step, int32_t* pFieldStep) {
    const int64_t doubled = 2 * int64_t{step};
    if (doubled < INT32_MIN || doubled > INT32_MAX) return false;
    *pFieldStep = static_cast<int32_t>(doubled);
    return true;
}

int32_t ResizeRegion(ResizeFunction resize, const uint8_t* pSrc, int32_t srcWidth,
                     int32_t srcHeight, int32_t srcStep, RECT rect, uint8_t* pDst, int32_t dstStep,
                     int32_t dstWidth, int32_t dstHeight, int32_t mode, int32_t interpolation) {
    if (pSrc == nullptr || pDst == nullptr) return 0;
    // A region reaching past the image is the primitive's to clip. Refused
    // here are only a negative origin, a right or bottom edge before the
    // origin and a size beyond 32 bits; an empty region, which the primitive
    // refuses anyway, would divide by zero in the factors.
    const int64_t regionWidth = int64_t{rect.right} - rect.left;
    const int64_t regionHeight = int64_t{rect.bottom} - rect.top;
    if (regionWidth > INT32_MAX || regionHeight > INT32_MAX) return 0;
    const int32_t x = Even(rect.left), y = Even(rect.top);
    const int32_t width = Even(static_cast<int32_t>(regionWidth));
    const int32_t height = Even(static_cast<int32_t>(regionHeight));
    if (x < 0 || y < 0 || width <= 0 || height <= 0) return 0;
    dstWidth = Even(dstWidth);
    dstHeight = Even(dstHeight);

    if (mode == kByFields) {
        int32_t srcFieldStep = 0, dstFieldStep = 0;
        if (!FieldStep(srcStep, &srcFieldStep) || !FieldStep(dstStep, &dstFieldStep)) return 0;
        const double xFactor = static_cast<double>(dstWidth) / width;
        const double yFactor = static_cast<double>(dstHeight / 2) / (height / 2);
        for (int32_t field = 0; field < 2; ++field) {
            SelectCpuVariant();
            if (resize(pSrc + field * static_cast<ptrdiff_t>(srcStep), srcWidth, srcHeight / 2,
                       srcFieldStep, x, y / 2, width, height / 2,
                       pDst + field * static_cast<ptrdiff_t>(dstStep), dstFieldStep, dstWidth,
                       dstHeight / 2, xFactor, yFactor, interpolation) != resize::STS_OK) {
                return 0;
            }
        }
        return 1;
    }
    if (mode == kWholeFrame) {
        SelectCpuVariant();
        return resize(pSrc, srcWidth, srcHeight, srcStep, x, y, width, height, pDst, dstStep,
                      dstWidth, dstHeight, static_cast<double>(dstWidth) / width,
                      static_cast<double>(dstHeight) / height, interpolation) == resize::STS_OK
                   ? 1
                   : 0;
    }
    return 0;
}

}  // namespace

int32_t CVideoImageHelper::ResizeYuv422(const uint8_t* pSrc, int32_t srcWidth, int32_t srcHeight,
                                        int32_t srcStep, RECT rect, uint8_t* pDst, int32_t dstStep,
                                        int32_t dstWidth, int32_t dstHeight, int32_t mode,
                                        int32_t interpolation) {
    return ResizeRegion(resize::ResizeYuv422Dispatch, pSrc, srcWidth, srcHeight, srcStep, rect,
                        pDst, dstStep, dstWidth, dstHeight, mode, interpolation);
}

int32_t CVideoImageHelper::ResizeColor4(const uint8_t* pSrc, int32_t srcWidth, int32_t srcHeight,
                                        int32_t srcStep, RECT rect, uint8_t* pDst, int32_t dstStep,
                                        int32_t dstWidth, int32_t dstHeight, int32_t mode,
                                        int32_t interpolation) {
    return ResizeRegion(resize::ResizeColor4Dispatch, pSrc, srcWidth, srcHeight, srcStep, rect,
                        pDst, dstStep, dstWidth, dstHeight, mode, interpolation);
}

}  // namespace velmora::av

#include "resize/ResizeSuperSample.h"

#include <cmath>
#include <cstddef>

#include "resize/ImageStatus.h"
#include "resize/ResizeKernelTable.h"
#include "resize/ResizeSuperSampleKernels.h"

namespace velmora::resize {

// Clipped in double before the conversion, so that any product fits.
SuperSampleExtent SuperSampleOutputSize(int32_t roi, double factor, int32_t room) {
    const double size = static_cast<double>(roi) * factor + 1e-7;
    if (size >= room) return {STS_OK, room};
    const auto count = static_cast<int32_t>(std::trunc(size));
    if (count > 0) return {STS_OK, count};
    if (size < 0.5) return {STS_NO_OUTPUT_ERR, 0};
    return {STS_OK, 1};
}

namespace {

// What every kernel call of one request shares.
struct SuperSampleCall {
    int32_t srcStep, dstStep, srcCols, srcRows, dstWidth, dstHeight;
    double xRatio, yRatio, scale;
    int32_t nChannels, mode;
};

template <typename T>
const T* Offset(const void* p, ptrdiff_t bytes) {
    return reinterpret_cast<const T*>(static_cast<const uint8_t*>(p) + bytes);
}

#define VELMORA_SUPERSAMPLE_CALL(name, T, src, dst)                                               \
    name(Offset<T>(src, start), static_cast<T*>(dst), k.srcStep, k.dstStep, k.srcCols, k.srcRows, \
         k.dstWidth, k.dstHeight, k.xRatio, k.yRatio, k.scale, k.mode)
#define VELMORA_SUPERSAMPLE_MULTI_CALL(name, T, src, dst)                                         \
    name(Offset<T>(src, start), static_cast<T*>(dst), k.srcStep, k.dstStep, k.srcCols, k.srcRows, \
         k.dstWidth, k.dstHeight, k.xRatio, k.yRatio, k.scale, k.nChannels, k.mode)

// The nine kernels of one variant, chosen by layout and data type.
#define VELMORA_SUPERSAMPLE_KERNELS(V)                                                             \
    struct SuperSampleKernels_##V {                                                                \
        static int32_t OneCh(int32_t type, const void* src, ptrdiff_t start, void* dst,            \
                             const SuperSampleCall& k) {                                           \
            if (type == RESIZE_DATA_8U)                                                            \
                return VELMORA_SUPERSAMPLE_CALL(ResizeSuperSampleOneCh8u_##V, uint8_t, src, dst);  \
            if (type == RESIZE_DATA_16U)                                                           \
                return VELMORA_SUPERSAMPLE_CALL(ResizeSuperSampleOneCh16u_##V, uint16_t, src,      \
                                                dst);                                              \
            return VELMORA_SUPERSAMPLE_CALL(ResizeSuperSampleOneCh32f_##V, float, src, dst);       \
        }                                                                                          \
        static int32_t FourCh(int32_t type, const void* src, ptrdiff_t start, void* dst,           \
                              const SuperSampleCall& k) {                                          \
            if (type == RESIZE_DATA_8U)                                                            \
                return VELMORA_SUPERSAMPLE_CALL(ResizeSuperSampleFourCh8u_##V, uint8_t, src, dst); \
            if (type == RESIZE_DATA_16U)                                                           \
                return VELMORA_SUPERSAMPLE_CALL(ResizeSuperSampleFourCh16u_##V, uint16_t, src,     \
                                                dst);                                              \
            return VELMORA_SUPERSAMPLE_CALL(ResizeSuperSampleFourCh32f_##V, float, src, dst);      \
        }                                                                                          \
        static int32_t MultiCh(int32_t type, const void* src, ptrdiff_t start, void* dst,          \
                               const SuperSampleCall& k) {                                         \
            if (type == RESIZE_DATA_8U)                                                            \
                return VELMORA_SUPERSAMPLE_MULTI_CALL(ResizeSuperSampleMultiCh8u_##V, uint8_t,     \
                                                      src, dst);                                   \
            if (type == RESIZE_DATA_16U)                                                           \
                return VELMORA_SUPERSAMPLE_MULTI_CALL(ResizeSuperSampleMultiCh16u_##V, uint16_t,   \
                                                      src, dst);                                   \
            return VELMORA_SUPERSAMPLE_MULTI_CALL(ResizeSuperSampleMultiCh32f_##V, float, src,     \
                                                  dst);                                            \
        }                                                                                          \
    };

VELMORA_SUPERSAMPLE_KERNELS(Generic)
VELMORA_SUPERSAMPLE_KERNELS(Sse)
VELMORA_SUPERSAMPLE_KERNELS(Sse2)
VELMORA_SUPERSAMPLE_KERNELS(Sse3)
VELMORA_SUPERSAMPLE_KERNELS(Ssse3)

int32_t SampleBytes(int32_t dataType) {
    return dataType == RESIZE_DATA_8U ? 1 : dataType == RESIZE_DATA_16U ? 2 : 4;
}

int32_t PlaneCount(int32_t nProcessed) {
    return nProcessed == 3 ? 3 : 4;
}

bool HasNullPlane(const void* images, int32_t planar, int32_t nProcessed) {
    if (images == nullptr) return true;
    if (planar == 0) return false;
    const auto* planes = static_cast<const void* const*>(images);
    for (int32_t p = 0; p < PlaneCount(nProcessed); ++p)
        if (planes[p] == nullptr) return true;
    return false;
}

template <class K>
int32_t ResizeSuperSampleDriver(const void* pSrc, int32_t srcWidth, int32_t srcHeight,
                                int32_t srcStep, int32_t roiX, int32_t roiY, int32_t roiWidth,
                                int32_t roiHeight, void* pDst, int32_t dstStep, int32_t dstWidth,
                                int32_t dstHeight, double xFactor, double yFactor,
                                int32_t nChannels, int32_t nProcessed, int32_t dataType,
                                int32_t planar) {
    if (HasNullPlane(pSrc, planar, nProcessed) || HasNullPlane(pDst, planar, nProcessed))
        return STS_NULL_PTR_ERR;
    if (srcWidth <= 0 || srcHeight <= 0 || roiX < 0 || roiY < 0 || roiWidth <= 0 ||
        roiHeight <= 0 || dataType < RESIZE_DATA_8U || dataType > RESIZE_DATA_32F)
        return STS_SIZE_ERR;
    if (srcWidth <= roiX || srcHeight <= roiY) return STS_NO_INTERSECTION_WARN;
    if (dstWidth <= 0 || dstHeight <= 0) return STS_SIZE_ERR;
    if (!(xFactor > 0.0) || !(yFactor > 0.0) || !std::isfinite(xFactor) || !std::isfinite(yFactor))
        return STS_RESIZE_FACTOR_ERR;
    // Compared as a difference: roiX + roiWidth may not fit.
    if (roiWidth > srcWidth - roiX) roiWidth = srcWidth - roiX;
    if (roiHeight > srcHeight - roiY) roiHeight = srcHeight - roiY;
    const SuperSampleExtent outW = SuperSampleOutputSize(roiWidth, xFactor, dstWidth);
    if (outW.status != STS_OK) return outW.status;
    const SuperSampleExtent outH = SuperSampleOutputSize(roiHeight, yFactor, dstHeight);
    if (outH.status != STS_OK) return outH.status;

    SuperSampleCall k{};
    k.srcStep = srcStep;
    k.dstStep = dstStep;
    k.dstWidth = outW.count;
    k.dstHeight = outH.count;
    // A block reaching past the region repeats the region's last row rather
    // than read on into the image's rows below it.
    k.srcRows = roiHeight;
    k.xRatio = 1.0 / xFactor;
    k.yRatio = 1.0 / yFactor;
    k.scale = xFactor * yFactor;
    const double cols = std::trunc((outW.count + 1) * k.xRatio) + 1.0;
    k.srcCols = cols < roiWidth ? static_cast<int32_t>(cols) : roiWidth;
    k.mode =
        (k.xRatio != std::trunc(k.xRatio) ? 2 : 0) + (k.yRatio != std::trunc(k.yRatio) ? 1 : 0);
    k.nChannels = nChannels;

    const int32_t sample = SampleBytes(dataType);
    const ptrdiff_t rowBytes = static_cast<ptrdiff_t>(roiY) * srcStep;
    if (planar == 0) {
        const ptrdiff_t start = rowBytes + static_cast<ptrdiff_t>(roiX) * nChannels * sample;
        if (nProcessed == 1) return K::OneCh(dataType, pSrc, start, pDst, k);
        if (nProcessed == 4) return K::FourCh(dataType, pSrc, start, pDst, k);
        return K::MultiCh(dataType, pSrc, start, pDst, k);
    }
    const ptrdiff_t start = rowBytes + static_cast<ptrdiff_t>(roiX) * sample;
    const auto* srcPlanes = static_cast<const void* const*>(pSrc);
    auto* const* dstPlanes = static_cast<void* const*>(pDst);
    for (int32_t p = 0; p < PlaneCount(nProcessed); ++p) {
        const int32_t status = K::OneCh(dataType, srcPlanes[p], start, dstPlanes[p], k);
        if (status != STS_OK) return status;
    }
    return STS_OK;
}

}  // namespace

#define VELMORA_RESIZE_SUPERSAMPLE_DEFINE(V)                                                    \
    int32_t ResizeSuperSample_##V(                                                              \
        const void* pSrc, int32_t srcWidth, int32_t srcHeight, int32_t srcStep, int32_t roiX,   \
        int32_t roiY, int32_t roiWidth, int32_t roiHeight, void* pDst, int32_t dstStep,         \
        int32_t dstWidth, int32_t dstHeight, double xFactor, double yFactor, int32_t nChannels, \
        int32_t nProcessed, int32_t dataType, int32_t planar) {                                 \
        return ResizeSuperSampleDriver<SuperSampleKernels_##V>(                                 \
            pSrc, srcWidth, srcHeight, srcStep, roiX, roiY, roiWidth, roiHeight, pDst, dstStep, \
            dstWidth, dstHeight, xFactor, yFactor, nChannels, nProcessed, dataType, planar);    \
    }

VELMORA_RESIZE_SUPERSAMPLE_DEFINE(Generic)
VELMORA_RESIZE_SUPERSAMPLE_DEFINE(Sse)
VELMORA_RESIZE_SUPERSAMPLE_DEFINE(Sse2)
VELMORA_RESIZE_SUPERSAMPLE_DEFINE(Sse3)
VELMORA_RESIZE_SUPERSAMPLE_DEFINE(Ssse3)

}  // namespace velmora::resize

#include "av/VideoImageHelper.h"

#include <cstddef>
#include <cstring>

#include "av/ColorConvert.h"
#include "resize/ImageStatus.h"

namespace velmora::av {

int32_t CVideoImageHelper::ConvertYuy2ToBgra(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst,
                                             int32_t dstStep, int32_t width, int32_t height,
                                             uint8_t alpha) {
    SelectCpuVariant();
    return Yuy2ToBgraDispatch(pSrc, srcStep, pDst, dstStep, width, height, alpha) == resize::STS_OK
               ? 1
               : 0;
}

int32_t CVideoImageHelper::ConvertBgraToYuy2(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst,
                                             int32_t dstStep, int32_t width, int32_t height) {
    SelectCpuVariant();
    return BgraToYuy2Dispatch(pSrc, srcStep, pDst, dstStep, width, height) == resize::STS_OK ? 1
                                                                                             : 0;
}

int32_t CVideoImageHelper::FlipCopyVertical(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst,
                                            int32_t dstStep, int32_t width, int32_t height) {
    if (pSrc == nullptr || pDst == nullptr || width < 0 || height < 0) return 0;
    // Whole rows, whatever their length: rounding rows down to 16-byte blocks
    // would leave the tail of every row (or all of a narrow one) uncopied.
    const size_t rowBytes = 2 * static_cast<size_t>(width);
    for (int32_t row = 0; row < height; ++row) {
        const ptrdiff_t target = height - 1 - row;
        std::memcpy(pDst + target * dstStep, pSrc + static_cast<ptrdiff_t>(row) * srcStep,
                    rowBytes);
    }
    return 1;
}

int32_t CVideoImageHelper::DrawToWindow(platform::DrawingSurface* window, const void* pBits,
                                        int32_t x, int32_t y, int32_t width, int32_t height) {
    if (window == nullptr) return 0;
    platform::DeviceContext* context = platform::GetDC(window);
    if (pBits == nullptr || context == nullptr || height == INT32_MIN) {
        if (context != nullptr) platform::ReleaseDC(window, context);
        return 0;
    }
    platform::BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = -height;
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = platform::BI_RGB;
    const uint32_t rows =
        height < 0 ? 0u - static_cast<uint32_t>(height) : static_cast<uint32_t>(height);
    const int32_t lines =
        platform::SetDIBitsToDevice(context, x, y, static_cast<uint32_t>(width), rows, 0, 0, 0,
                                    rows, pBits, &header, platform::DIB_RGB_COLORS);
    platform::ReleaseDC(window, context);
    // A bitmap the drawing call refused was not drawn.
    return lines != 0 ? 1 : 0;
}

}  // namespace velmora::av

#pragma once

// The image operations the video workers use on each frame: the YUY2/BGRA
// conversions of the selected processor variant, the row-order reversal, and
// drawing a BGRA image onto a window. The class holds nothing; any number of
// instances may be used at once.

#include <cstdint>

#include "platform/DrawingSurface.h"

namespace velmora::av {

class CVideoImageHelper {
  public:
    // Every operation returns 1 on success and 0 on failure. Steps are signed
    // byte distances between rows.

    // Selects the processor variant, then converts; 0 for null buffers, a
    // width below 2 or a height below 1.
    int32_t ConvertYuy2ToBgra(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                              int32_t width, int32_t height, uint8_t alpha);
    int32_t ConvertBgraToYuy2(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                              int32_t width, int32_t height);

    // Copies `height` rows of 2 * `width` bytes (YUY2) so that source row r
    // lands in destination row height - 1 - r. Any width, step and alignment;
    // the buffers must not overlap. 0 for a null buffer or a negative size.
    int32_t FlipCopyVertical(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                             int32_t width, int32_t height);

    // Draws a top-down 32-bit BGRA image (a negative height: bottom-up) at
    // (x, y) of the window. 0 for a null window or image, a window without a
    // context, or an image the drawing call refuses.
    int32_t DrawToWindow(platform::DrawingSurface* window, const void* pBits, int32_t x, int32_t y,
                         int32_t width, int32_t height);
};

}  // namespace velmora::av

#pragma once

// The image operations the video workers use on each frame: the YUY2/BGRA
// conversions of the selected processor variant, the row-order reversal, and
// drawing a BGRA image onto a window; beside them the overlay operations (key
// planes, fills, copies, keyed and weighted blends of regions), audio-frame
// measurements, whole-frame effects and region resizes offered to
// applications. The class holds nothing; any number of instances may be used
// at once.

#include <cstdint>

#include "platform/DrawingSurface.h"

namespace velmora::av {

// A rectangle of pixels: width = right - left, height = bottom - top.
struct RECT {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// One region of a mosaic: rows and columns inclusive, in pixels of the image,
// and the size of its blocks.
struct MOSAIC_REGION {
    uint32_t top;
    uint32_t bottom;
    uint32_t left;
    uint32_t right;
    uint32_t blockWidth;
    uint32_t blockHeight;
};
static_assert(sizeof(MOSAIC_REGION) == 24);

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

    // Key and fill operations on a region of a BGRA image (4 bytes a pixel,
    // B G R A) of width x height pixels, rows `step` bytes apart (a negative
    // step: bottom-up). Each fails (0) for a null pointer, a negative size, a
    // negative origin, or a region that does not lie inside the image.

    // Plane value := A; the plane holds the region's width values a row.
    int32_t ExtractAlpha16(const uint8_t* pImage, int32_t width, int32_t height, int32_t step,
                           RECT rect, uint16_t* pPlane);
    int32_t ExtractAlpha32(const uint8_t* pImage, int32_t width, int32_t height, int32_t step,
                           RECT rect, uint32_t* pPlane);
    // First byte of each 2-byte cell (2 * region width bytes a row) :=
    // min(trunc(16 + 0.859 * A), 235); the second byte is left alone.
    int32_t ExtractAlphaToLuma(const uint8_t* pImage, int32_t width, int32_t height, int32_t step,
                               RECT rect, uint8_t* pPlane);
    // Where low < A < high: B := G, R := G. `reserved` has no effect.
    int32_t GrayWhereAlphaInRange(uint8_t* pImage, int32_t width, int32_t height, int32_t step,
                                  RECT rect, uint32_t high, uint32_t low, uint32_t reserved);
    // Plane value at the pixel's own position (image width values a row) :=
    // A | 0x8000.
    int32_t StoreAlphaInKeyPlane(const uint8_t* pImage, int32_t width, int32_t height, int32_t step,
                                 RECT rect, uint16_t* pPlane);
    // Here the image is a plane of 16-bit keys (rows `step` bytes apart); the
    // low byte of each key of the region becomes A of the same pixel of a BGRA
    // target with 4 * width bytes a row.
    int32_t LoadAlphaFromKeyPlane(const uint8_t* pPlane, int32_t width, int32_t height,
                                  int32_t step, RECT rect, uint8_t* pTarget);
    int32_t FillAlpha(uint8_t* pImage, int32_t width, int32_t height, int32_t step, RECT rect,
                      uint8_t value);
    // B, G, R := b, g, r; A is kept.
    int32_t FillColor(uint8_t* pImage, int32_t width, int32_t height, int32_t step, RECT rect,
                      uint8_t b, uint8_t g, uint8_t r);

    // Smooths Y and chroma of the interior of a YUY2 image (2 * width bytes a
    // row) over a cross of five samples, in place, where low < key < high;
    // the key plane has one value per pixel, width values a row.
    int32_t SmoothWhereKeyInRange(uint8_t* pImage, const uint16_t* pKey, int32_t width,
                                  int32_t height, uint32_t reserved, uint32_t high, uint32_t low);
    // Softens the alpha edges of a BGRA image (4 * width bytes a row) from
    // each interior pixel's 3 x 3 neighbourhood; edge rows and columns stay.
    int32_t SoftenAlphaEdges(uint8_t* pImage, int32_t width, int32_t height);

    // Copy the region of source A, then that of source B, to (x, y) of the
    // destination. A source whose region or placement does not fit fails the
    // call; a copy already made stays.
    int32_t CopyTwoRegions32(uint8_t* pDst, int32_t dstWidth, int32_t dstHeight, int32_t dstStep,
                             const uint8_t* pSrcA, int32_t widthA, int32_t heightA, int32_t stepA,
                             RECT rectA, int32_t xA, int32_t yA, const uint8_t* pSrcB,
                             int32_t widthB, int32_t heightB, int32_t stepB, RECT rectB, int32_t xB,
                             int32_t yB);
    int32_t CopyTwoRegionsYuv422(uint8_t* pDst, int32_t dstWidth, int32_t dstHeight,
                                 int32_t dstStep, const uint8_t* pSrcA, int32_t widthA,
                                 int32_t heightA, int32_t stepA, RECT rectA, int32_t xA, int32_t yA,
                                 const uint8_t* pSrcB, int32_t widthB, int32_t heightB,
                                 int32_t stepB, RECT rectB, int32_t xB, int32_t yB);

    // Blends (each byte := floor((fg * k + bg * (255 - k)) / 256)).

    // The region of a YUY2 foreground over the destination at (x, y): copied
    // when no key plane is given, else blended by the low byte of each
    // pixel's key (the plane packed, region width values a row). Left, width
    // and x are made even, an odd top moves down a row, y is made even.
    // Regions not on 8-pixel boundaries go through the caller's scratch
    // image (destination-sized) and scratch key (kScratchKeyBytes, at the
    // destination's pitch; 0 when the region's key rows would not fit it).
    // An empty region (right at or below left + 1, bottom at or above top)
    // gives 1 with nothing done.
    static constexpr int32_t kScratchKeyBytes = 829440;
    int32_t CompositeYuv422Keyed(const uint8_t* pFg, int32_t fgWidth, int32_t fgHeight,
                                 int32_t fgStep, RECT rect, const uint16_t* pKey, uint8_t* pDst,
                                 int32_t dstStep, int32_t dstWidth, int32_t dstHeight, int32_t x,
                                 int32_t y, uint8_t* pScratchImage, uint8_t* pScratchKey);
    // Output B, G, R := fg over bg by the low byte of the pixel's weight;
    // output A := 0. The step (a multiple of 16) serves all four buffers.
    int32_t BlendBgraByWeightPlane(const uint8_t* pFg, const uint8_t* pBg, uint8_t* pOut,
                                   const uint32_t* pWeight, int32_t width, int32_t height,
                                   int32_t step);
    // Blends the BGRA region's colours, converted to YUV, over the YUY2
    // destination at (x, y) by each pixel's A; groups of 8 transparent pixels
    // are skipped. Left, x and width must be multiples of 8 (after evening).
    int32_t OverlayBgraOnYuv422(const uint8_t* pBgra, int32_t bgraWidth, int32_t bgraHeight,
                                int32_t bgraStep, RECT rect, uint8_t* pDst, int32_t dstStep,
                                int32_t dstWidth, int32_t dstHeight, int32_t x, int32_t y);

    // Audio frames: kAudioPairs stereo pairs of signed 16-bit samples, left
    // first.
    static constexpr int kAudioPairs = 1920;
    // Per channel, in single precision: sqrt(mean of (sample - mean)^2).
    int32_t MeasureAudioLevels(const int16_t* pFrame, uint32_t reserved, float* pLeft,
                               float* pRight);
    // 20 * log10(level / reference), at least -100; -100 for a reference of 0
    // or below.
    float LevelToDecibels(float reference, float level);
    float DecibelsToGain(float decibels);
    // *pResult := 1 when the channels are mostly in opposite phase, else 0.
    int32_t DetectPhaseInversion(const int16_t* pFrame, uint32_t* pResult);
    // Mode 1: right := left; 2: left := right; 3: both := the rounded half
    // sum (the rounded half difference when `flag` is set), saturated; other
    // modes leave the frame alone.
    int32_t MixAudioChannels(int16_t* pFrame, uint32_t mode, uint32_t flag);
    int32_t ApplyAudioGain(int16_t* pFrame, float leftDecibels, float rightDecibels);

    // Frame effects. Those working on 16-byte blocks fail unless their steps
    // and row lengths are multiples of 16; any alignment is accepted.
    // avg(a, b) = (a + b + 1) >> 1. Negative sizes and row lengths give 0;
    // a negative step is a bottom-up frame.

    // Rows 0 and rows - 1 copied; row r := avg(avg(r - 1, r + 1), r); at
    // least 3 rows.
    int32_t DeinterlaceBlend(uint8_t* pDst, const uint8_t* pSrc, int32_t srcStep, int32_t dstStep,
                             int32_t rowBytes, int32_t rows);
    // A frame of `rows` (at least 2) rows from the lines of field 1 (source
    // rows 0, 2, ...; rows even) or field 2 (rows 1, 3, ...), the missing
    // lines averaged from their neighbours. Field 2 of an odd frame leaves
    // its last row alone.
    int32_t InterpolateField(uint8_t* pDst, const uint8_t* pSrc, int32_t srcStep, int32_t dstStep,
                             int32_t field, int32_t rowBytes, int32_t rows);
    // Each byte := floor((a * w + b * (255 - w)) / 256), w at most 255, over
    // all rows (mode 0), the even rows (1) or the odd rows (2); rows even.
    int32_t BlendFrames(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB, int32_t mode,
                        uint16_t weight, int32_t srcStep, int32_t dstStep, int32_t rowBytes,
                        int32_t rows);
    // BlendFrames mode 0 of YUY2 images `width` pixels wide.
    int32_t BlendImages(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB, int32_t weight,
                        int32_t srcStep, int32_t dstStep, int32_t width, int32_t rows);
    // Interpolates a field of A and the other field of B into the field
    // buffers (step srcStep), then blends them into dst. The field buffers
    // may have been filled when the blend fails.
    int32_t CrossFadeFields(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB, uint8_t* pFieldA,
                            uint8_t* pFieldB, int32_t order, int32_t weight, int32_t srcStep,
                            int32_t dstStep, int32_t width, int32_t rows);
    // Even output rows from A, odd ones from B, each from the same row.
    int32_t WeaveFrames(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB, int32_t srcStep,
                        int32_t dstStep, int32_t rowBytes, int32_t rows);
    // Groups of `group` 16-byte units of `current` that differ from
    // `reference` are copied into both `reference` and `output`; rows
    // `rowBytes` apart, selected by mode as in BlendFrames.
    int32_t UpdateChangedBlocks(const uint8_t* pCurrent, int32_t rowBytes, int32_t rows,
                                uint8_t* pReference, uint8_t* pOutput, int32_t mode, int32_t group);
    int32_t CopyRows32(uint8_t* pDst, int32_t dstStep, const uint8_t* pSrc, int32_t srcStep,
                       int32_t width, int32_t rows);
    // Turns each region of a YUY2 image into flat blocks, each coloured from a
    // sample near its centre. The regions must lie inside the image; a region
    // that cannot be done ends the call with 0, earlier ones stay done.
    int32_t MosaicRegions(uint8_t* pImage, int32_t step, const MOSAIC_REGION* pRegions,
                          uint32_t count);
    // Draws a border `thickness` pixels wide (made even) around the area
    // `percent` of the size inside each edge of a YUY2 image (2 * width bytes
    // a row); `fill` is two pixels, Y U Y V in memory order. 0, with nothing
    // drawn, when any pixel of the border would lie outside the image.
    int32_t DrawSafeAreaBorder(uint8_t* pImage, uint32_t width, uint32_t height, uint32_t fill,
                               uint32_t thickness, uint32_t percent);

    // Resizes the region `rect` of a packed 4:2:2 image (ResizeYuv422) or of
    // a four-channel image (ResizeColor4) into the top-left dstWidth x
    // dstHeight of the destination, with the primitive's interpolation code.
    // Left, top, the region's width and height and the destination size are
    // made even. Mode 1 resizes each field on its own (rows 0, 2, ... into
    // destination rows 0, 2, ..., then rows 1, 3, ...); a failed first field
    // leaves the second untouched. Mode 2 resizes the whole frame. The
    // primitive clips a region reaching past the source image. 0 for null
    // buffers, another mode, a negative origin, an empty region, or a failed
    // resize (the primitive's status is not passed on).
    int32_t ResizeYuv422(const uint8_t* pSrc, int32_t srcWidth, int32_t srcHeight, int32_t srcStep,
                         RECT rect, uint8_t* pDst, int32_t dstStep, int32_t dstWidth,
                         int32_t dstHeight, int32_t mode, int32_t interpolation);
    int32_t ResizeColor4(const uint8_t* pSrc, int32_t srcWidth, int32_t srcHeight, int32_t srcStep,
                         RECT rect, uint8_t* pDst, int32_t dstStep, int32_t dstWidth,
                         int32_t dstHeight, int32_t mode, int32_t interpolation);
};

}  // namespace velmora::av

#pragma once

// Row kernels shared by the video image helper's blends, averages and copies.
// Each handles exactly the count it is given, 16 bytes at a time with
// unaligned loads and stores, then the rest byte by byte with the same
// arithmetic; the destination may be one of the sources.

#include <cstddef>
#include <cstdint>

namespace velmora::av {

// floor((fg * k + bg * (255 - k)) / 256): the blend every operation uses.
inline uint8_t BlendByte(uint32_t fg, uint32_t bg, uint32_t k) {
    return static_cast<uint8_t>((fg * k + bg * (255 - k)) >> 8);
}

inline uint8_t AverageByte(uint32_t a, uint32_t b) {
    return static_cast<uint8_t>((a + b + 1) >> 1);
}

// 2-byte pixels, both bytes blended by the low byte of the pixel's 16-bit
// little-endian key (keys read bytewise, so they need no alignment).
void BlendRowByKey16(uint8_t* pDst, const uint8_t* pFg, const uint8_t* pBg,
                     const uint8_t* pKeyBytes, size_t pixels);
// 4-byte BGRA pixels: B, G, R blended by the low byte of the pixel's 32-bit
// little-endian weight, A := 0.
void BlendRowByWeight32(uint8_t* pDst, const uint8_t* pFg, const uint8_t* pBg,
                        const uint8_t* pWeightBytes, size_t pixels);
// Every byte blended by one weight (0 to 255).
void BlendRowConstant(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB, uint32_t weight,
                      size_t bytes);
// avg(avg(above, below), centre) byte by byte.
void DeinterlaceRow(uint8_t* pDst, const uint8_t* pAbove, const uint8_t* pCentre,
                    const uint8_t* pBelow, size_t bytes);
void AverageRows(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB, size_t bytes);
// Blends whole groups of 8 BGRA pixels, converted to studio-range YUV
// (Y from each pixel, U and V of a pair from its even pixel), over YUY2
// pixels by their A; a group whose A are all 0 is left alone.
void OverlayRowBgraOnYuy2(uint8_t* pYuy2, const uint8_t* pBgra, size_t pixels);
// Copies the part of a row a region covers, any length and alignment.
void CopyRowBytes(uint8_t* pDst, const uint8_t* pSrc, size_t bytes);

// Row r of an image, rows `step` bytes apart.
template <typename T>
T* RowAt(T* image, int64_t step, int64_t row) {
    return image + static_cast<ptrdiff_t>(step * row);
}

// A region in pixels, checked to lie inside its image.
struct CheckedRegion {
    int64_t left;
    int64_t top;
    int64_t width;
    int64_t height;
};

// Fails for a negative image size, a negative origin or size of the region,
// or a region that passes the image's right or bottom edge. The step plays
// no part: a negative one (a bottom-up image) still puts every row of the
// region where the caller says.
bool CheckRegion(int32_t imageWidth, int32_t imageHeight, int32_t left, int32_t top, int32_t right,
                 int32_t bottom, CheckedRegion& region);
// Whether (x, y) plus the size lies inside a width x height image.
bool FitsAt(int64_t x, int64_t y, int64_t width, int64_t height, int64_t imageWidth,
            int64_t imageHeight);

}  // namespace velmora::av

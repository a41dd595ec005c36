// Key-plane, fill, copy and blend operations on image regions.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "av/VideoImageHelper.h"
#include "av/VideoImageKernels.h"
#include "card/UtilityFunc.h"

namespace velmora::av {
namespace {

constexpr int kBgraBytes = 4;
constexpr int kYuy2Bytes = 2;

// Calls visit(pixel, row, column) for every BGRA pixel of a checked region;
// row and column count from the region's origin.
template <typename Pixel, typename Visit>
void ForEachPixel(Pixel* image, int32_t step, const CheckedRegion& region, Visit visit) {
    for (int64_t r = 0; r < region.height; ++r) {
        Pixel* row = RowAt(image, step, region.top + r) + region.left * kBgraBytes;
        for (int64_t c = 0; c < region.width; ++c) {
            visit(row + c * kBgraBytes, r, c);
        }
    }
}

// The region rect of an image, checked as CheckRegion does; false also when
// any of the given images or planes is null.
template <typename... Pointer>
bool CheckImageRect(int32_t width, int32_t height, const RECT& rect, CheckedRegion& region,
                    Pointer*... pointers) {
    return ((pointers != nullptr) && ...) &&
           CheckRegion(width, height, rect.left, rect.top, rect.right, rect.bottom, region);
}

// Plane values are stored byte by byte: a caller's plane need not be aligned
// for its value type.
template <typename Value>
void StoreValue(Value* pPlane, int64_t index, Value value) {
    std::memcpy(reinterpret_cast<uint8_t*>(pPlane) + index * int64_t{sizeof(Value)}, &value,
                sizeof(Value));
}

// Evens a position or size by taking 1 from an odd value.
int64_t EvenDown(int64_t value) {
    return value - (value & 1);
}

// The placement of a YUY2 region over a destination, as the keyed composite
// and the overlay check it: false when it does not fit.
bool FitsComposite(int64_t left, int64_t top, int64_t width, int64_t height, int64_t srcWidth,
                   int64_t srcHeight, int64_t x, int64_t y, int64_t dstWidth, int64_t dstHeight) {
    return FitsAt(left, top, width, height, srcWidth, srcHeight) &&
           FitsAt(x, y, width, height, dstWidth, dstHeight);
}

// Whether the key rows of a region placed at (x, y), at the destination's
// pitch, fit the frame-sized scratch key: its first and last written byte,
// whatever the sign of the step and however short it is beside the row.
bool FitsScratchKey(int64_t step, int64_t x, int64_t y, int64_t width, int64_t height) {
    const int64_t firstRow = step * y, lastRow = step * (y + height - 1);
    const int64_t first = std::min(firstRow, lastRow) + 2 * x;
    const int64_t last = std::max(firstRow, lastRow) + 2 * x + 2 * width - 1;
    return first >= 0 && last < CVideoImageHelper::kScratchKeyBytes;
}

// A source region and its place (x, y) in the destination.
struct RegionCopy {
    const uint8_t* source;
    int32_t step;
    CheckedRegion region;
    int64_t x;
    int64_t y;
};

void CopyRegionRows(uint8_t* pDst, int32_t dstStep, const RegionCopy& copy, int pixelBytes) {
    const size_t rowBytes = static_cast<size_t>(copy.region.width) * pixelBytes;
    for (int64_t r = 0; r < copy.region.height; ++r) {
        CopyRowBytes(
            RowAt(pDst, dstStep, copy.y + r) + copy.x * pixelBytes,
            RowAt(copy.source, copy.step, copy.region.top + r) + copy.region.left * pixelBytes,
            rowBytes);
    }
}

// A of each pixel of the region into a packed plane of 16- or 32-bit values.
template <typename Value>
int32_t ExtractAlphaPacked(const uint8_t* pImage, int32_t width, int32_t height, int32_t step,
                           RECT rect, Value* pPlane) {
    CheckedRegion region;
    if (!CheckImageRect(width, height, rect, region, pImage, pPlane)) return 0;
    ForEachPixel(pImage, step, region, [&](const uint8_t* pixel, int64_t r, int64_t c) {
        StoreValue<Value>(pPlane, r * region.width + c, pixel[3]);
    });
    return 1;
}

struct Destination {
    uint8_t* pImage;
    int32_t width;
    int32_t height;
    int32_t step;
};

// One source of a two-region copy: its image, region and place (x, y).
struct CopySource {
    const uint8_t* pImage;
    int32_t width;
    int32_t height;
    int32_t step;
    RECT rect;
    int32_t x;
    int32_t y;
};

// The region must lie in its image and, placed at (x, y), in the destination
// (a negative or overflowing place would write outside it). BGRA sources may
// be no larger than the destination; the region of a YUY2 source must end
// inside the destination's size.
bool PlaceCopy(const Destination& dst, const CopySource& source, int pixelBytes, RegionCopy& copy) {
    copy = {source.pImage, source.step, {}, source.x, source.y};
    if (!CheckImageRect(source.width, source.height, source.rect, copy.region, source.pImage)) {
        return false;
    }
    const bool sized = pixelBytes == kBgraBytes
                           ? source.width <= dst.width && source.height <= dst.height
                           : source.rect.right <= dst.width && source.rect.bottom <= dst.height;
    return sized &&
           FitsAt(source.x, source.y, copy.region.width, copy.region.height, dst.width, dst.height);
}

// Copies exactly region A, then region B; a failed check of B leaves A's copy.
int32_t CopyTwoRegions(const Destination& dst, const CopySource& a, const CopySource& b,
                       int pixelBytes) {
    if (dst.pImage == nullptr || a.pImage == nullptr || b.pImage == nullptr) return 0;
    for (const CopySource* source : {&a, &b}) {
        RegionCopy copy;
        if (!PlaceCopy(dst, *source, pixelBytes, copy)) return 0;
        CopyRegionRows(dst.pImage, dst.step, copy, pixelBytes);
    }
    return 1;
}

}  // namespace

int32_t CVideoImageHelper::ExtractAlpha16(const uint8_t* pImage, int32_t width, int32_t height,
                                          int32_t step, RECT rect, uint16_t* pPlane) {
    return ExtractAlphaPacked(pImage, width, height, step, rect, pPlane);
}

int32_t CVideoImageHelper::ExtractAlpha32(const uint8_t* pImage, int32_t width, int32_t height,
                                          int32_t step, RECT rect, uint32_t* pPlane) {
    return ExtractAlphaPacked(pImage, width, height, step, rect, pPlane);
}

int32_t CVideoImageHelper::ExtractAlphaToLuma(const uint8_t* pImage, int32_t width, int32_t height,
                                              int32_t step, RECT rect, uint8_t* pPlane) {
    CheckedRegion region;
    if (!CheckImageRect(width, height, rect, region, pImage, pPlane)) return 0;
    ForEachPixel(pImage, step, region, [&](const uint8_t* pixel, int64_t r, int64_t c) {
        const float luma = std::trunc(16.0f + 0.859f * static_cast<float>(pixel[3]));
        pPlane[(r * region.width + c) * kYuy2Bytes] =
            static_cast<uint8_t>(luma > 235.0f ? 235.0f : luma);
    });
    return 1;
}

int32_t CVideoImageHelper::GrayWhereAlphaInRange(uint8_t* pImage, int32_t width, int32_t height,
                                                 int32_t step, RECT rect, uint32_t high,
                                                 uint32_t low, uint32_t /*reserved*/) {
    CheckedRegion region;
    if (!CheckImageRect(width, height, rect, region, pImage)) return 0;
    ForEachPixel(pImage, step, region, [&](uint8_t* pixel, int64_t, int64_t) {
        if (low < pixel[3] && pixel[3] < high) {
            pixel[0] = pixel[1];
            pixel[2] = pixel[1];
        }
    });
    return 1;
}

int32_t CVideoImageHelper::StoreAlphaInKeyPlane(const uint8_t* pImage, int32_t width,
                                                int32_t height, int32_t step, RECT rect,
                                                uint16_t* pPlane) {
    CheckedRegion region;
    if (!CheckImageRect(width, height, rect, region, pImage, pPlane)) return 0;
    ForEachPixel(pImage, step, region, [&](const uint8_t* pixel, int64_t r, int64_t c) {
        StoreValue<uint16_t>(pPlane, (region.top + r) * width + region.left + c,
                             static_cast<uint16_t>(pixel[3] | 0x8000));
    });
    return 1;
}

int32_t CVideoImageHelper::LoadAlphaFromKeyPlane(const uint8_t* pPlane, int32_t width,
                                                 int32_t height, int32_t step, RECT rect,
                                                 uint8_t* pTarget) {
    CheckedRegion region;
    if (!CheckImageRect(width, height, rect, region, pPlane, pTarget)) return 0;
    const int64_t targetStep = int64_t{width} * kBgraBytes;
    for (int64_t r = 0; r < region.height; ++r) {
        // The key's low byte comes first (little-endian plane).
        const uint8_t* key = RowAt(pPlane, step, region.top + r) + region.left * kYuy2Bytes;
        uint8_t* target = RowAt(pTarget, targetStep, region.top + r) + region.left * kBgraBytes;
        for (int64_t c = 0; c < region.width; ++c) {
            target[c * kBgraBytes + 3] = key[c * kYuy2Bytes];
        }
    }
    return 1;
}

int32_t CVideoImageHelper::FillAlpha(uint8_t* pImage, int32_t width, int32_t height, int32_t step,
                                     RECT rect, uint8_t value) {
    CheckedRegion region;
    if (!CheckImageRect(width, height, rect, region, pImage)) return 0;
    ForEachPixel(pImage, step, region, [&](uint8_t* pixel, int64_t, int64_t) { pixel[3] = value; });
    return 1;
}

int32_t CVideoImageHelper::FillColor(uint8_t* pImage, int32_t width, int32_t height, int32_t step,
                                     RECT rect, uint8_t b, uint8_t g, uint8_t r) {
    CheckedRegion region;
    if (!CheckImageRect(width, height, rect, region, pImage)) return 0;
    ForEachPixel(pImage, step, region, [&](uint8_t* pixel, int64_t, int64_t) {
        pixel[0] = b;
        pixel[1] = g;
        pixel[2] = r;
    });
    return 1;
}

int32_t CVideoImageHelper::SmoothWhereKeyInRange(uint8_t* pImage, const uint16_t* pKey,
                                                 int32_t width, int32_t height,
                                                 uint32_t /*reserved*/, uint32_t high,
                                                 uint32_t low) {
    if (pImage == nullptr || pKey == nullptr || width < 0 || height < 0) return 0;
    const int64_t step = int64_t{width} * kYuy2Bytes;
    for (int64_t r = 1; r + 1 < height; ++r) {
        uint8_t* row = RowAt(pImage, step, r);
        for (int64_t c = 2; c + 2 < width; ++c) {
            uint16_t key = 0;
            std::memcpy(&key, reinterpret_cast<const uint8_t*>(pKey) + 2 * (r * width + c), 2);
            if (!(low < key && key < high)) continue;
            uint8_t* y = row + c * kYuy2Bytes;
            y[0] = static_cast<uint8_t>((y[0] + y[-2] + y[2] + y[-step] + y[step]) / 5);
            // The same chroma component lies one pair (4 bytes) to each side.
            uint8_t* chroma = y + 1;
            chroma[0] = static_cast<uint8_t>(
                (chroma[0] + chroma[-4] + chroma[4] + chroma[-step] + chroma[step]) / 5);
        }
    }
    return 1;
}

namespace {

// One interior pixel of the alpha softening, from its 3 x 3 neighbourhood as
// it stood before the pass (rows above, at and below; the pixel in the
// middle of each).
void SoftenPixel(uint8_t* out, const uint8_t* above, const uint8_t* at, const uint8_t* below) {
    uint32_t sums[4] = {0, 0, 0, 0};
    uint32_t opaque = 0;
    for (const uint8_t* row : {above, at, below}) {
        for (int dx = -1; dx <= 1; ++dx) {
            const uint8_t* pixel = row + dx * kBgraBytes;
            if (pixel == at || pixel[3] == 0) continue;
            ++opaque;
            for (int c = 0; c < 4; ++c)
                sums[c] += pixel[c];
        }
    }
    if (at[3] != 0) {
        const uint32_t transparent = 8 - opaque;
        for (int c = 0; c < 3; ++c) {
            out[c] = static_cast<uint8_t>((transparent * at[c] + at[c] + sums[c]) / 9);
        }
        out[3] = static_cast<uint8_t>((at[3] + sums[3]) / 9);
    } else if (opaque == 0 || sums[3] <= 100) {
        std::memset(out, 0, kBgraBytes);
    } else {
        for (int c = 0; c < 3; ++c)
            out[c] = static_cast<uint8_t>(sums[c] / opaque);
        out[3] = static_cast<uint8_t>(sums[3] / 10);
    }
}

}  // namespace

int32_t CVideoImageHelper::SoftenAlphaEdges(uint8_t* pImage, int32_t width, int32_t height) {
    if (pImage == nullptr || width < 0 || height < 0) return 0;
    const size_t rowBytes = static_cast<size_t>(width) * kBgraBytes;
    std::unique_ptr<uint8_t[]> buffers(new (std::nothrow) uint8_t[2 * rowBytes + 1]);
    if (!buffers) return 0;
    if (width < 3 || height < 3) return 1;
    uint8_t* pending = buffers.get();
    uint8_t* current = pending + rowBytes;
    const size_t interiorBytes = rowBytes - 2 * kBgraBytes;
    // Row r's result is kept back until row r + 1 has been read from the
    // image, so every pixel is computed from values before the pass.
    for (int64_t r = 1; r + 1 < height; ++r) {
        const uint8_t* at = RowAt(pImage, int64_t(rowBytes), r);
        for (int64_t c = 1; c + 1 < width; ++c) {
            const int64_t offset = c * kBgraBytes;
            SoftenPixel(current + offset, at - rowBytes + offset, at + offset,
                        at + rowBytes + offset);
        }
        if (r > 1) {
            std::memcpy(RowAt(pImage, int64_t(rowBytes), r - 1) + kBgraBytes, pending + kBgraBytes,
                        interiorBytes);
        }
        std::swap(pending, current);
    }
    std::memcpy(RowAt(pImage, int64_t(rowBytes), height - 2) + kBgraBytes, pending + kBgraBytes,
                interiorBytes);
    return 1;
}

int32_t CVideoImageHelper::CopyTwoRegions32(uint8_t* pDst, int32_t dstWidth, int32_t dstHeight,
                                            int32_t dstStep, const uint8_t* pSrcA, int32_t widthA,
                                            int32_t heightA, int32_t stepA, RECT rectA, int32_t xA,
                                            int32_t yA, const uint8_t* pSrcB, int32_t widthB,
                                            int32_t heightB, int32_t stepB, RECT rectB, int32_t xB,
                                            int32_t yB) {
    const Destination dst{pDst, dstWidth, dstHeight, dstStep};
    return CopyTwoRegions(dst, {pSrcA, widthA, heightA, stepA, rectA, xA, yA},
                          {pSrcB, widthB, heightB, stepB, rectB, xB, yB}, kBgraBytes);
}

int32_t CVideoImageHelper::CopyTwoRegionsYuv422(uint8_t* pDst, int32_t dstWidth, int32_t dstHeight,
                                                int32_t dstStep, const uint8_t* pSrcA,
                                                int32_t widthA, int32_t heightA, int32_t stepA,
                                                RECT rectA, int32_t xA, int32_t yA,
                                                const uint8_t* pSrcB, int32_t widthB,
                                                int32_t heightB, int32_t stepB, RECT rectB,
                                                int32_t xB, int32_t yB) {
    const Destination dst{pDst, dstWidth, dstHeight, dstStep};
    return CopyTwoRegions(dst, {pSrcA, widthA, heightA, stepA, rectA, xA, yA},
                          {pSrcB, widthB, heightB, stepB, rectB, xB, yB}, kYuy2Bytes);
}

int32_t CVideoImageHelper::CompositeYuv422Keyed(const uint8_t* pFg, int32_t fgWidth,
                                                int32_t fgHeight, int32_t fgStep, RECT rect,
                                                const uint16_t* pKey, uint8_t* pDst,
                                                int32_t dstStep, int32_t dstWidth,
                                                int32_t dstHeight, int32_t x, int32_t y,
                                                uint8_t* pScratchImage, uint8_t* pScratchKey) {
    if (pFg == nullptr || pDst == nullptr) return 0;
    if (pKey != nullptr && dstStep % 16 != 0) return 0;
    const int64_t left = EvenDown(rect.left);
    const int64_t width = EvenDown(int64_t{rect.right} - rect.left);
    int64_t top = rect.top;
    int64_t height = int64_t{rect.bottom} - rect.top;
    if (top % 2 != 0) {
        ++top;
        --height;
    }
    if (top >= fgHeight) top = int64_t{fgHeight} - 1;
    const int64_t dstX = EvenDown(x);
    const int64_t dstY = EvenDown(y);
    // An empty region (right below left included) is done at once.
    if (width < 2 || height < 1) return 1;
    if (fgWidth < 0 || fgHeight < 0 || dstWidth < 0 || dstHeight < 0 ||
        !FitsComposite(left, top, width, height, fgWidth, fgHeight, dstX, dstY, dstWidth,
                       dstHeight)) {
        return 0;
    }
    const RegionCopy region{pFg, fgStep, {left, top, width, height}, dstX, dstY};
    if (pKey == nullptr) {
        CopyRegionRows(pDst, dstStep, region, kYuy2Bytes);
        return 1;
    }
    const auto* keyBytes = reinterpret_cast<const uint8_t*>(pKey);
    const size_t pixels = static_cast<size_t>(width);
    if (left % 8 == 0 && dstX % 8 == 0 && width % 8 == 0) {
        for (int64_t r = 0; r < height; ++r) {
            uint8_t* dst = RowAt(pDst, dstStep, dstY + r) + dstX * kYuy2Bytes;
            BlendRowByKey16(dst, RowAt(pFg, fgStep, top + r) + left * kYuy2Bytes, dst,
                            keyBytes + r * width * 2, pixels);
        }
        return 1;
    }
    if (pScratchImage == nullptr || pScratchKey == nullptr ||
        !FitsScratchKey(dstStep, dstX, dstY, width, height)) {
        return 0;
    }
    CopyRegionRows(pScratchImage, dstStep, region, kYuy2Bytes);
    card::CUtilityFunc utility;
    utility.MemFillDword128(pScratchKey, 0, kScratchKeyBytes / 4);
    for (int64_t r = 0; r < height; ++r) {
        CopyRowBytes(RowAt(pScratchKey, dstStep, dstY + r) + dstX * 2, keyBytes + r * width * 2,
                     pixels * 2);
    }
    // Only the region is blended: the rest of the destination's rows keeps
    // its bytes.
    for (int64_t r = 0; r < height; ++r) {
        const int64_t offset = dstX * kYuy2Bytes;
        uint8_t* dst = RowAt(pDst, dstStep, dstY + r) + offset;
        BlendRowByKey16(dst, RowAt(pScratchImage, dstStep, dstY + r) + offset, dst,
                        RowAt(pScratchKey, dstStep, dstY + r) + dstX * 2, pixels);
    }
    return 1;
}

int32_t CVideoImageHelper::BlendBgraByWeightPlane(const uint8_t* pFg, const uint8_t* pBg,
                                                  uint8_t* pOut, const uint32_t* pWeight,
                                                  int32_t width, int32_t height, int32_t step) {
    if (pFg == nullptr || pBg == nullptr || pOut == nullptr || pWeight == nullptr || step < 1 ||
        step % 16 != 0 || width < 0 || height < 0) {
        return 0;
    }
    const auto* weightBytes = reinterpret_cast<const uint8_t*>(pWeight);
    for (int64_t r = 0; r < height; ++r) {
        BlendRowByWeight32(RowAt(pOut, step, r), RowAt(pFg, step, r), RowAt(pBg, step, r),
                           RowAt(weightBytes, step, r), static_cast<size_t>(width));
    }
    return 1;
}

int32_t CVideoImageHelper::OverlayBgraOnYuv422(const uint8_t* pBgra, int32_t bgraWidth,
                                               int32_t bgraHeight, int32_t bgraStep, RECT rect,
                                               uint8_t* pDst, int32_t dstStep, int32_t dstWidth,
                                               int32_t dstHeight, int32_t x, int32_t y) {
    if (pBgra == nullptr || pDst == nullptr) return 0;
    if (bgraWidth < 0 || bgraHeight < 0 || dstWidth < 0 || dstHeight < 0) return 0;
    const int64_t left = EvenDown(rect.left);
    const int64_t width = EvenDown(int64_t{rect.right} - rect.left);
    const int64_t height = int64_t{rect.bottom} - rect.top;
    const int64_t dstX = EvenDown(x);
    if (!FitsComposite(left, rect.top, width, height, bgraWidth, bgraHeight, dstX, y, dstWidth,
                       dstHeight)) {
        return 0;
    }
    if (left % 8 != 0 || dstX % 8 != 0 || width % 8 != 0) return 0;
    for (int64_t r = 0; r < height; ++r) {
        OverlayRowBgraOnYuy2(RowAt(pDst, dstStep, y + r) + dstX * kYuy2Bytes,
                             RowAt(pBgra, bgraStep, rect.top + r) + left * kBgraBytes,
                             static_cast<size_t>(width));
    }
    return 1;
}

}  // namespace velmora::av

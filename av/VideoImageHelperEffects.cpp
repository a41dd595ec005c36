// Effects on whole video frames or regions: de-interlacing, field
// interpolation, fixed-weight blends, weaving, changed-block update, row
// copies, mosaic and the safe-area border.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "av/VideoImageHelper.h"
#include "av/VideoImageKernels.h"
#include "card/UtilityFunc.h"

namespace velmora::av {
namespace {

constexpr int kYuy2Bytes = 2;

// The 16-byte operations take only row lengths of whole blocks, and steps of
// whole blocks in either direction (a negative step is a bottom-up frame).
bool WholeBlocks(int32_t rowBytes) {
    return rowBytes >= 0 && rowBytes % 16 == 0;
}

bool WholeBlocks(int32_t srcStep, int32_t dstStep, int32_t rowBytes) {
    return srcStep % 16 == 0 && dstStep % 16 == 0 && WholeBlocks(rowBytes);
}

void CopyRow(uint8_t* pDst, const uint8_t* pSrc, int32_t rowBytes) {
    card::CUtilityFunc utility;
    utility.MemCopyDword128(pDst, pSrc, static_cast<uint32_t>(rowBytes) / 4);
}

// The rows a frame operation works on: all (mode 0), the first field (1) or
// the second (2) of an even row count.
struct RowSelection {
    int64_t first;
    int64_t stride;
    int64_t count;
};

bool SelectRows(int32_t mode, int32_t rows, RowSelection& selection) {
    if (rows < 0 || rows % 2 != 0) return false;
    switch (mode) {
        case 0:
            selection = {0, 1, rows};
            return true;
        case 1:
        case 2:
            selection = {mode - 1, 2, rows / 2};
            return true;
        default:
            return false;
    }
}

}  // namespace

int32_t CVideoImageHelper::DeinterlaceBlend(uint8_t* pDst, const uint8_t* pSrc, int32_t srcStep,
                                            int32_t dstStep, int32_t rowBytes, int32_t rows) {
    if (pDst == nullptr || pSrc == nullptr || !WholeBlocks(srcStep, dstStep, rowBytes) ||
        rows < 3) {
        return 0;
    }
    CopyRow(pDst, pSrc, rowBytes);
    for (int64_t r = 1; r + 1 < rows; ++r) {
        DeinterlaceRow(RowAt(pDst, dstStep, r), RowAt(pSrc, srcStep, r - 1),
                       RowAt(pSrc, srcStep, r), RowAt(pSrc, srcStep, r + 1),
                       static_cast<size_t>(rowBytes));
    }
    CopyRow(RowAt(pDst, dstStep, rows - 1), RowAt(pSrc, srcStep, rows - 1), rowBytes);
    return 1;
}

int32_t CVideoImageHelper::InterpolateField(uint8_t* pDst, const uint8_t* pSrc, int32_t srcStep,
                                            int32_t dstStep, int32_t field, int32_t rowBytes,
                                            int32_t rows) {
    // Field 1 of an odd frame has its last line on the frame's last row:
    // the copy of the row after it would read and write past both frames.
    // Field 2 of an odd frame ends a row short of it and stays inside.
    if (pDst == nullptr || pSrc == nullptr || !WholeBlocks(srcStep, dstStep, rowBytes) ||
        (field != 1 && field != 2) || rows < 2 || (field == 1 && rows % 2 != 0)) {
        return 0;
    }
    const int64_t lines = rows / 2;
    const auto line = [&](int64_t k) { return RowAt(pSrc, srcStep, field - 1 + 2 * k); };
    int64_t out = 0;
    if (field == 2) CopyRow(RowAt(pDst, dstStep, out++), pSrc, rowBytes);
    for (int64_t k = 0; k + 1 < lines; ++k) {
        CopyRow(RowAt(pDst, dstStep, out++), line(k), rowBytes);
        AverageRows(RowAt(pDst, dstStep, out++), line(k), line(k + 1),
                    static_cast<size_t>(rowBytes));
    }
    CopyRow(RowAt(pDst, dstStep, out++), line(lines - 1), rowBytes);
    if (field == 1) CopyRow(RowAt(pDst, dstStep, out), RowAt(pSrc, srcStep, rows - 1), rowBytes);
    return 1;
}

int32_t CVideoImageHelper::BlendFrames(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB,
                                       int32_t mode, uint16_t weight, int32_t srcStep,
                                       int32_t dstStep, int32_t rowBytes, int32_t rows) {
    // A weight above 255 would give 255 - w a negative factor.
    RowSelection selection;
    if (pDst == nullptr || pA == nullptr || pB == nullptr || weight > 255 ||
        !WholeBlocks(srcStep, dstStep, rowBytes) || !SelectRows(mode, rows, selection)) {
        return 0;
    }
    for (int64_t i = 0; i < selection.count; ++i) {
        const int64_t r = selection.first + i * selection.stride;
        BlendRowConstant(RowAt(pDst, dstStep, r), RowAt(pA, srcStep, r), RowAt(pB, srcStep, r),
                         weight, static_cast<size_t>(rowBytes));
    }
    return 1;
}

int32_t CVideoImageHelper::BlendImages(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB,
                                       int32_t weight, int32_t srcStep, int32_t dstStep,
                                       int32_t width, int32_t rows) {
    if (pDst == nullptr || pA == nullptr || pB == nullptr || weight < 0 || weight > 255 ||
        width < 0 || width > INT32_MAX / kYuy2Bytes) {
        return 0;
    }
    return BlendFrames(pDst, pA, pB, 0, static_cast<uint16_t>(weight), srcStep, dstStep,
                       kYuy2Bytes * width, rows);
}

int32_t CVideoImageHelper::CrossFadeFields(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB,
                                           uint8_t* pFieldA, uint8_t* pFieldB, int32_t order,
                                           int32_t weight, int32_t srcStep, int32_t dstStep,
                                           int32_t width, int32_t rows) {
    if (pDst == nullptr || pA == nullptr || pB == nullptr || pFieldA == nullptr ||
        pFieldB == nullptr || weight < 0 || weight > 255 || width < 0 ||
        width > INT32_MAX / kYuy2Bytes) {
        return 0;
    }
    const int32_t rowBytes = kYuy2Bytes * width;
    InterpolateField(pFieldA, pA, srcStep, srcStep, order != 0 ? 2 : 1, rowBytes, rows);
    InterpolateField(pFieldB, pB, srcStep, srcStep, order != 0 ? 1 : 2, rowBytes, rows);
    return BlendFrames(pDst, pFieldA, pFieldB, 0, static_cast<uint16_t>(weight), srcStep, dstStep,
                       rowBytes, rows);
}

int32_t CVideoImageHelper::WeaveFrames(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB,
                                       int32_t srcStep, int32_t dstStep, int32_t rowBytes,
                                       int32_t rows) {
    if (pDst == nullptr || pA == nullptr || pB == nullptr ||
        !WholeBlocks(srcStep, dstStep, rowBytes) || rows < 0) {
        return 0;
    }
    for (int64_t r = 0; r < rows; ++r) {
        CopyRow(RowAt(pDst, dstStep, r), RowAt(r % 2 == 0 ? pA : pB, srcStep, r), rowBytes);
    }
    return 1;
}

int32_t CVideoImageHelper::UpdateChangedBlocks(const uint8_t* pCurrent, int32_t rowBytes,
                                               int32_t rows, uint8_t* pReference, uint8_t* pOutput,
                                               int32_t mode, int32_t group) {
    RowSelection selection;
    if (pCurrent == nullptr || pReference == nullptr || pOutput == nullptr ||
        !WholeBlocks(rowBytes) || group < 1 || (rowBytes / 16) % group != 0 ||
        !SelectRows(mode, rows, selection)) {
        return 0;
    }
    // A group larger than any row (rowBytes 0 allows any) must not overflow.
    const int64_t groupBytes = 16 * int64_t{group};
    for (int64_t i = 0; i < selection.count; ++i) {
        const int64_t r = selection.first + i * selection.stride;
        for (int64_t offset = 0; offset < rowBytes; offset += groupBytes) {
            const uint8_t* current = RowAt(pCurrent, rowBytes, r) + offset;
            uint8_t* reference = RowAt(pReference, rowBytes, r) + offset;
            if (std::memcmp(current, reference, static_cast<size_t>(groupBytes)) == 0) continue;
            CopyRow(reference, current, static_cast<int32_t>(groupBytes));
            CopyRow(RowAt(pOutput, rowBytes, r) + offset, current,
                    static_cast<int32_t>(groupBytes));
        }
    }
    return 1;
}

int32_t CVideoImageHelper::CopyRows32(uint8_t* pDst, int32_t dstStep, const uint8_t* pSrc,
                                      int32_t srcStep, int32_t width, int32_t rows) {
    if (pDst == nullptr || pSrc == nullptr || width < 0 || rows < 0) {
        return 0;
    }
    card::CUtilityFunc utility;
    for (int64_t r = 0; r < rows; ++r) {
        utility.MemCopyDword128(RowAt(pDst, dstStep, r), RowAt(pSrc, srcStep, r),
                                static_cast<uint32_t>(width));
    }
    return 1;
}

namespace {

// One region of a mosaic; false when its size leaves nothing to do.
bool MosaicRegion(uint8_t* pImage, int32_t step, const MOSAIC_REGION& area) {
    const int64_t left = area.left - (area.left & 1);
    int64_t width = int64_t{area.right} - left + 1;
    width -= width & 1;
    const int64_t height = int64_t{area.bottom} - area.top + 1;
    int64_t blockWidth = area.blockWidth;
    if (blockWidth % 2 != 0 && blockWidth >= 2) --blockWidth;
    if (width < 1 || height < 1 || blockWidth < 1 || area.blockHeight < 1) return false;
    blockWidth = std::min(blockWidth, width);
    const int64_t blockHeight = std::min<int64_t>(area.blockHeight, height);
    // One colour (Y U Y V) a block of the band, as many as the band holds.
    const int64_t blocks = (width + blockWidth - 1) / blockWidth;
    std::unique_ptr<uint8_t[]> cache(new (std::nothrow) uint8_t[static_cast<size_t>(blocks) * 4]);
    if (!cache) return false;
    for (int64_t bandTop = 0; bandTop < height; bandTop += blockHeight) {
        int64_t cy = blockHeight / 2;
        if (bandTop + cy >= height) cy = (height - bandTop) / 2;
        const uint8_t* sampleRow = RowAt(pImage, step, area.top + bandTop + cy) + left * kYuy2Bytes;
        for (int64_t block = 0; block < blocks; ++block) {
            const int64_t x = block * blockWidth;
            int64_t cx = blockWidth / 2;
            if (x + cx >= width) cx = (width - x) / 2;
            cx -= cx & 1;
            const int64_t column = x + cx;
            const uint8_t* pair = sampleRow + (column - (column & 1)) * kYuy2Bytes;
            uint8_t* colour = cache.get() + block * 4;
            colour[0] = sampleRow[column * kYuy2Bytes];  // the sample's own luma
            colour[1] = pair[1];
            colour[2] = colour[0];
            colour[3] = pair[3];
        }
        const int64_t bandRows = std::min(blockHeight, height - bandTop);
        for (int64_t r = 0; r < bandRows; ++r) {
            uint8_t* row = RowAt(pImage, step, area.top + bandTop + r) + left * kYuy2Bytes;
            for (int64_t x = 0; x < width; ++x) {
                // Even columns take the luma and U of their block's colour,
                // odd ones the luma and V.
                const uint8_t* colour = cache.get() + (x / blockWidth) * 4 + (x & 1) * 2;
                row[x * kYuy2Bytes] = colour[0];
                row[x * kYuy2Bytes + 1] = colour[1];
            }
        }
    }
    return true;
}

// The safe area and its border in the unsigned 32-bit arithmetic of the
// request: an inset past the middle wraps the area's size, and the bounds
// check, not the arithmetic, refuses what would then be drawn outside.
struct SAFE_AREA {
    uint32_t border;
    uint32_t insetX;
    uint32_t insetY;
    uint32_t innerWidth;
    uint32_t innerHeight;
};

SAFE_AREA SafeAreaOf(uint32_t width, uint32_t height, uint32_t thickness, uint32_t percent) {
    const auto evenUp = [](uint32_t value) { return value + (value & 1); };
    SAFE_AREA area;
    area.border = evenUp(thickness);
    area.insetX = evenUp(width * percent / 100);
    area.insetY = height * percent / 100;
    area.innerWidth = evenUp(width - 2 * area.insetX);
    area.innerHeight = height - 2 * area.insetY;
    return area;
}

// Calls run(row, first pixel, words of fill) for every non-empty run of the
// border, the area's rows from the top. Rows between the bands get a left
// block at the area's start and a right block ending at the area's end; a
// border wider than the area moves the right block left of the area's start.
// False, with nothing called, when the area's rows reach past the last row.
// The bands are bounded in 64 bits: a border of no thickness at the top of
// the frame would otherwise end its top band at row 0xFFFFFFFF.
template <typename Run>
bool ForEachBorderRun(const SAFE_AREA& area, uint32_t height, Run run) {
    const uint32_t last = area.insetY + area.innerHeight - 1;
    if (area.insetY > last) return true;
    if (last >= height) return false;
    const int64_t topBandEnd = int64_t{area.insetY} + area.border - 1;
    const int64_t bottomBandStart = int64_t{area.insetY} + area.innerHeight - area.border;
    const int64_t rightBlock =
        int64_t{area.insetX} + static_cast<int32_t>(area.innerWidth - area.border);
    for (uint32_t y = area.insetY; y <= last; ++y) {
        if (y <= topBandEnd || y >= bottomBandStart) {
            if (area.innerWidth / 2 != 0) run(y, int64_t{area.insetX}, area.innerWidth / 2);
        } else if (area.border / 2 != 0) {
            run(y, int64_t{area.insetX}, area.border / 2);
            run(y, rightBlock, area.border / 2);
        }
    }
    return true;
}

}  // namespace

int32_t CVideoImageHelper::MosaicRegions(uint8_t* pImage, int32_t step,
                                         const MOSAIC_REGION* pRegions, uint32_t count) {
    if (pImage == nullptr || pRegions == nullptr) return 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!MosaicRegion(pImage, step, pRegions[i])) return 0;
    }
    return 1;
}

int32_t CVideoImageHelper::DrawSafeAreaBorder(uint8_t* pImage, uint32_t width, uint32_t height,
                                              uint32_t fill, uint32_t thickness, uint32_t percent) {
    if (pImage == nullptr || width > 720 || height > 576) return 0;
    const SAFE_AREA area = SafeAreaOf(width, height, thickness, percent);
    bool inside = true;
    const bool rowsInside =
        ForEachBorderRun(area, height, [&](uint32_t, int64_t first, uint32_t words) {
            if (first < 0 || first + 2 * int64_t{words} > width) inside = false;
        });
    if (!rowsInside || !inside) return 0;
    card::CUtilityFunc utility;
    const int64_t step = int64_t{width} * kYuy2Bytes;
    ForEachBorderRun(area, height, [&](uint32_t y, int64_t first, uint32_t words) {
        utility.MemFillDwordBytewise(RowAt(pImage, step, y) + first * kYuy2Bytes, fill, words);
    });
    return 1;
}

}  // namespace velmora::av

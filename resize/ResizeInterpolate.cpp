#include "resize/ResizeInterpolate.h"

#include <cmath>
#include <cstddef>
#include <limits>

#include "resize/ImageStatus.h"
#include "resize/Lanczos3.h"
#include "resize/ResizeKernelTable.h"
#include "resize/ResizeMemory.h"

namespace velmora::resize {
namespace {

constexpr double kIndexBias = 1e-7;

// trunc(position + 1e-7), held inside the 32-bit range.
int32_t TruncIndex(double position) {
    const double v = std::trunc(position + kIndexBias);
    if (!(v > std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(v);
}

// ---- the per-variant services of the driver ----

struct DriverPolicy_Generic {
    static const ResizeKernelTable& Table() { return ResizeKernelTable_Generic; }
    static int32_t* Alloc32(int32_t n) { return AlignedMalloc32s(n); }
    static int16_t* Alloc16(int32_t n) { return AlignedMalloc16s(n); }
    static void LanczosWeights(const float* f, int32_t n, float* w) {
        CalcLanczos3Weights_Generic(f, n, w);
    }
};
struct DriverPolicy_Sse {
    static const ResizeKernelTable& Table() { return ResizeKernelTable_Sse; }
    static int32_t* Alloc32(int32_t n) { return AlignedMalloc32s(n); }
    static int16_t* Alloc16(int32_t n) { return AlignedMalloc16s(n); }
    static void LanczosWeights(const float* f, int32_t n, float* w) {
        CalcLanczos3Weights_Sse(f, n, w);
    }
};
struct DriverPolicy_Sse2 {
    static const ResizeKernelTable& Table() { return ResizeKernelTable_Sse2; }
    static int32_t* Alloc32(int32_t n) { return AlignedMalloc32s(n); }
    static int16_t* Alloc16(int32_t n) { return AlignedMalloc16s(n); }
    static void LanczosWeights(const float* f, int32_t n, float* w) {
        CalcLanczos3Weights_Sse2(f, n, w, Lanczos3Table.data());
    }
};
struct DriverPolicy_Sse3 {
    static const ResizeKernelTable& Table() { return ResizeKernelTable_Sse3; }
    static int32_t* Alloc32(int32_t n) { return AlignedMalloc32s_Sse3(n); }
    static int16_t* Alloc16(int32_t n) { return AlignedMalloc16s_Sse3(n); }
    static void LanczosWeights(const float* f, int32_t n, float* w) {
        CalcLanczos3Weights_Sse3(f, n, w, Lanczos3Table.data());
    }
};
struct DriverPolicy_Ssse3 {
    static const ResizeKernelTable& Table() { return ResizeKernelTable_Ssse3; }
    static int32_t* Alloc32(int32_t n) { return AlignedMalloc32s(n); }
    static int16_t* Alloc16(int32_t n) { return AlignedMalloc16s(n); }
    static void LanczosWeights(const float* f, int32_t n, float* w) {
        CalcLanczos3Weights_Ssse3(f, n, w, Lanczos3Table.data());
    }
};

// ---- argument checks ----

int32_t SampleBytes(int32_t dataType) {
    return dataType == RESIZE_DATA_8U ? 1 : (dataType == RESIZE_DATA_16U ? 2 : 4);
}

int32_t PlaneCount(int32_t nProcessed) {
    return nProcessed == 3 ? 3 : 4;
}

bool PlanesPresent(const void* images, int32_t nProcessed) {
    const auto* planes = static_cast<const void* const*>(images);
    for (int32_t p = 0; p < PlaneCount(nProcessed); ++p) {
        if (planes[p] == nullptr) return false;
    }
    return true;
}

struct ResizeRequest {
    const void* pSrc;
    int32_t srcWidth, srcHeight, srcStep;
    int32_t roiX, roiY, roiWidth, roiHeight;
    void* pDst;
    int32_t dstStep, dstWidth, dstHeight;
    double xFactor, yFactor, xShift, yShift;
    int32_t nChannels, nProcessed, dataType, planar, interpolation, sizeMode;
};

int32_t CheckRequest(const ResizeRequest& r) {
    if (r.pSrc == nullptr || r.pDst == nullptr) return STS_NULL_PTR_ERR;
    if (r.planar != 0 &&
        (!PlanesPresent(r.pSrc, r.nProcessed) || !PlanesPresent(r.pDst, r.nProcessed))) {
        return STS_NULL_PTR_ERR;
    }
    if (r.srcWidth <= 0 || r.srcHeight <= 0 || r.roiX < 0 || r.roiY < 0 || r.roiWidth <= 0 ||
        r.roiHeight <= 0) {
        return STS_SIZE_ERR;
    }
    // The kernels address rows in whole samples and pixels by their layout.
    if (r.dataType < RESIZE_DATA_8U || r.dataType > RESIZE_DATA_32F) return STS_SIZE_ERR;
    const int32_t sample = SampleBytes(r.dataType);
    if (r.srcStep % sample != 0 || r.dstStep % sample != 0) return STS_SIZE_ERR;
    if (r.planar == 0 && ((r.nProcessed != 1 && r.nProcessed != 3 && r.nProcessed != 4) ||
                          r.nChannels < r.nProcessed)) {
        return STS_SIZE_ERR;
    }
    if (!std::isfinite(r.xShift) || !std::isfinite(r.yShift)) return STS_SIZE_ERR;
    if (r.srcWidth <= r.roiX || r.srcHeight <= r.roiY) return STS_NO_INTERSECTION_WARN;
    if (r.dstWidth <= 0 || r.dstHeight <= 0) return STS_SIZE_ERR;
    if (!(r.xFactor > 0.0) || !(r.yFactor > 0.0) || !std::isfinite(r.xFactor) ||
        !std::isfinite(r.yFactor)) {
        return STS_RESIZE_FACTOR_ERR;
    }
    switch (r.interpolation) {
        case INTERP_NEAREST:
        case INTERP_LINEAR:
        case INTERP_CUBIC:
        case INTERP_LANCZOS:
            return STS_OK;
        default:
            return STS_INTERPOLATION_ERR;
    }
}

// Small images have too few samples for the wider filters.
int32_t LowerForSmallSource(int32_t code, int32_t width, int32_t height) {
    if ((width < 8 || height < 8) && code == INTERP_LANCZOS) code = INTERP_CUBIC;
    if ((width < 4 || height < 4) && code == INTERP_CUBIC) code = INTERP_LINEAR;
    if (width < 2 || height < 2) code = INTERP_NEAREST;
    return code;
}

// ---- output size and grid of one direction ----

struct Axis {
    int32_t count = 0;   // output columns or rows
    double first = 0.0;  // position of the first, from the ROI origin
    double step = 0.0;
};

// Size mode. The product is clipped to the destination in double, so that no
// product past the 32-bit range is converted.
int32_t SizeModeAxis(int32_t roi, double factor, int32_t room, bool nearest, Axis* axis) {
    const double product = roi * factor;
    const double biased = product + kIndexBias;
    if (biased >= room) {
        axis->count = room;
    } else {
        axis->count = static_cast<int32_t>(std::trunc(biased));
        if (axis->count <= 0) {
            if (biased < 0.5) return STS_NO_OUTPUT_ERR;
            axis->count = 1;
        }
    }
    if (nearest) {
        axis->step = 1.0 / factor;
        axis->first = 0.5 * axis->step;
    } else {
        axis->step = product > 1.0 ? (roi - 1) / (product - 1.0) : 0.0;
        axis->first = 0.0;
    }
    return STS_OK;
}

// Step mode: the factor is the source step per output pixel.
void StepModeAxis(int32_t roi, double step, int32_t room, bool nearest, Axis* axis) {
    // count = trunc(span) (+ 1 for the filters), compared with the room in
    // double before any conversion.
    const double span = (nearest ? roi : roi - 1) / step + kIndexBias;
    const double extra = nearest ? 0.0 : 1.0;
    if (span + extra >= room) {
        axis->count = room;
    } else {
        const auto count = static_cast<int32_t>(std::trunc(span) + extra);
        axis->count = count < 1 ? 1 : count;
    }
    axis->step = step;
    axis->first = nearest ? 0.5 * step : 0.0;
}

// ---- working tables ----

// Blocks in their release order: row offsets, column offsets, row and
// column weights, row buffers 1-4, row and column tap weights, buffers 5-6.
enum Block {
    kRowOffsets,
    kColOffsets,
    kRowWeights,
    kColWeights,
    kBuf1,
    kBuf2,
    kBuf3,
    kBuf4,
    kRowTaps,
    kColTaps,
    kBuf5,
    kBuf6,
    kBlockCount,
};

class WorkingBlocks {
  public:
    WorkingBlocks() = default;
    ~WorkingBlocks() {
        for (void* block : m_blocks)
            AlignedFree(block);
    }
    WorkingBlocks(const WorkingBlocks&) = delete;
    WorkingBlocks& operator=(const WorkingBlocks&) = delete;

    // Takes `count` elements from `allocate`; false when it cannot be had (a
    // count past the 32-bit range included).
    template <typename E>
    bool Take(Block block, int64_t count, E* (*allocate)(int32_t)) {
        if (count < 1 || count > std::numeric_limits<int32_t>::max()) return false;
        m_blocks[block] = allocate(static_cast<int32_t>(count));
        return m_blocks[block] != nullptr;
    }
    template <typename E>
    E* As(Block block) const {
        return static_cast<E*>(m_blocks[block]);
    }

  private:
    void* m_blocks[kBlockCount] = {};
};

struct Geometry {
    int32_t roiX, roiY, roiW, roiH;
    int32_t lastCol, lastRow;  // image's last column and row from the ROI origin
    int64_t srcStepSamples;
    int32_t nChannelsForOffsets;  // 1 for planar and one-channel images
};

template <typename Fill>
void Walk(const Axis& axis, Fill fill) {
    double p = axis.first;
    for (int32_t i = 0; i < axis.count; ++i, p += axis.step)
        fill(i, p);
}

int32_t Wrap32(int64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}

// A region whose size times the factor is short of one still gives one
// pixel, centred past the region's end: it takes the region's last pixel.
void FillNearest(const Axis& rows, const Axis& cols, const Geometry& g, int32_t* rowOffsets,
                 int32_t* colOffsets) {
    Walk(rows, [&](int32_t i, double p) {
        rowOffsets[i] = Wrap32(ResizeNearestTap(p, g.roiH - 1).base * g.srcStepSamples);
    });
    Walk(cols, [&](int32_t j, double p) {
        colOffsets[j] =
            Wrap32(int64_t{ResizeNearestTap(p, g.roiW - 1).base} * g.nChannelsForOffsets);
    });
}

// Q14 weight of a fraction.
uint16_t Q14(double t) {
    return static_cast<uint16_t>(std::trunc(t * 16384.0 + kIndexBias));
}

void FillLinear(const Axis& rows, const Axis& cols, const Geometry& g, bool floatWeights,
                const WorkingBlocks& blocks) {
    int32_t* rowOffsets = blocks.As<int32_t>(kRowOffsets);
    int32_t* colOffsets = blocks.As<int32_t>(kColOffsets);
    Walk(rows, [&](int32_t i, double p) {
        const ResizeTap tap = ResizeLinearTap(p, g.lastRow);
        rowOffsets[i] = Wrap32(tap.base * g.srcStepSamples);
        if (floatWeights) {
            blocks.As<float>(kRowWeights)[i] = static_cast<float>(tap.t);
        } else {
            blocks.As<uint16_t>(kRowWeights)[i] = tap.t == 1.0 ? 16384 : Q14(tap.t);
        }
    });
    Walk(cols, [&](int32_t j, double p) {
        const ResizeTap tap = ResizeLinearTap(p, g.lastCol);
        colOffsets[j] = Wrap32(int64_t{tap.base} * g.nChannelsForOffsets);
        if (floatWeights) {
            blocks.As<float>(kColWeights)[j] = static_cast<float>(tap.t);
        } else {
            const uint16_t w = tap.t == 1.0 ? 16384 : Q14(tap.t);
            blocks.As<uint16_t>(kColWeights)[2 * j] = static_cast<uint16_t>(16384 - w);
            blocks.As<uint16_t>(kColWeights)[2 * j + 1] = w;
        }
    });
}

// Cubic and Lanczos: a float fraction per row and column.
template <typename RowTap, typename ColTap>
void FillFractions(const Axis& rows, const Axis& cols, const Geometry& g,
                   const WorkingBlocks& blocks, RowTap rowTap, ColTap colTap) {
    Walk(rows, [&](int32_t i, double p) {
        const ResizeTap tap = rowTap(p);
        blocks.As<int32_t>(kRowOffsets)[i] = Wrap32(tap.base * g.srcStepSamples);
        blocks.As<float>(kRowWeights)[i] = static_cast<float>(tap.t);
    });
    Walk(cols, [&](int32_t j, double p) {
        const ResizeTap tap = colTap(p);
        blocks.As<int32_t>(kColOffsets)[j] = Wrap32(int64_t{tap.base} * g.nChannelsForOffsets);
        blocks.As<float>(kColWeights)[j] = static_cast<float>(tap.t);
    });
}

int32_t KernelIndex(int32_t code, int32_t dataType, int32_t nProcessed, bool planar) {
    const int32_t base = code == INTERP_NEAREST  ? 0
                         : code == INTERP_LINEAR ? 9
                         : code == INTERP_CUBIC  ? 15
                                                 : 21;
    if (planar) return dataType + base + 3;
    int32_t index = dataType + base + (nProcessed == 1 ? 3 : 0);
    if (code == INTERP_NEAREST && nProcessed == 4) index += 6;
    return index;
}

template <typename Policy>
int32_t Interpolate(const ResizeRequest& r) {
    if (const int32_t status = CheckRequest(r); status != STS_OK) return status;
    const int32_t code = LowerForSmallSource(r.interpolation, r.srcWidth, r.srcHeight);
    const bool nearest = code == INTERP_NEAREST;
    const bool planar = r.planar != 0;

    Geometry g{};
    g.roiX = r.roiX;
    g.roiY = r.roiY;
    // Subtraction, not roiX + roiW > W, which overflows for a huge ROI.
    g.roiW = r.roiWidth > r.srcWidth - r.roiX ? r.srcWidth - r.roiX : r.roiWidth;
    g.roiH = r.roiHeight > r.srcHeight - r.roiY ? r.srcHeight - r.roiY : r.roiHeight;
    g.lastCol = r.srcWidth - r.roiX - 1;
    g.lastRow = r.srcHeight - r.roiY - 1;

    Axis cols, rows;
    if (r.sizeMode != 0) {
        if (SizeModeAxis(g.roiW, r.xFactor, r.dstWidth, nearest, &cols) != STS_OK ||
            SizeModeAxis(g.roiH, r.yFactor, r.dstHeight, nearest, &rows) != STS_OK) {
            return STS_NO_OUTPUT_ERR;
        }
    } else {
        StepModeAxis(g.roiW, r.xFactor, r.dstWidth, nearest, &cols);
        StepModeAxis(g.roiH, r.yFactor, r.dstHeight, nearest, &rows);
    }
    cols.first += r.xShift;
    rows.first += r.yShift;

    const int32_t sample = SampleBytes(r.dataType);
    const ptrdiff_t roiBytes = static_cast<ptrdiff_t>(r.roiY) * r.srcStep +
                               static_cast<ptrdiff_t>(r.roiX) * (planar ? 1 : r.nChannels) * sample;
    const int shift = r.dataType == RESIZE_DATA_8U ? 0 : (r.dataType == RESIZE_DATA_16U ? 1 : 2);
    const int32_t srcStep = r.srcStep >> shift;
    const int32_t dstStep = r.dstStep >> shift;
    g.srcStepSamples = srcStep;
    g.nChannelsForOffsets = (planar || r.nProcessed == 1) ? 1 : r.nChannels;

    // Tables and buffers, in their allocation order.
    WorkingBlocks blocks;
    const int32_t outW = cols.count;
    const int32_t outH = rows.count;
    if (!blocks.Take(kRowOffsets, outH, Policy::Alloc32) ||
        !blocks.Take(kColOffsets, outW, Policy::Alloc32)) {
        return STS_NO_MEM_ERR;
    }
    const bool shortRows = code == INTERP_LINEAR && r.dataType != RESIZE_DATA_32F;
    const int32_t buffers =
        nearest ? 0 : (code == INTERP_LINEAR ? 2 : (code == INTERP_CUBIC ? 4 : 6));
    if (!nearest) {
        const bool weightsTaken =
            shortRows ? blocks.Take(kRowWeights, outH, Policy::Alloc16) &&
                            blocks.Take(kColWeights, 2 * int64_t{outW}, Policy::Alloc16)
                      : blocks.Take(kRowWeights, outH, Policy::Alloc32) &&
                            blocks.Take(kColWeights, outW, Policy::Alloc32);
        if (!weightsTaken) return STS_NO_MEM_ERR;
    }
    if (code == INTERP_LANCZOS && (!blocks.Take(kColTaps, 6 * int64_t{outW}, Policy::Alloc32) ||
                                   !blocks.Take(kRowTaps, 6 * int64_t{outH}, Policy::Alloc32))) {
        return STS_NO_MEM_ERR;
    }
    const int32_t perPixel = (planar || r.nProcessed == 1) ? 1 : (r.nProcessed == 3 ? 3 : 4);
    const int64_t bufferElements = (int64_t{outW} + 4) * perPixel;
    constexpr Block kBuffers[] = {kBuf1, kBuf2, kBuf3, kBuf4, kBuf5, kBuf6};
    for (int32_t b = 0; b < buffers; ++b) {
        const bool taken = shortRows ? blocks.Take(kBuffers[b], bufferElements, Policy::Alloc16)
                                     : blocks.Take(kBuffers[b], bufferElements, Policy::Alloc32);
        if (!taken) return STS_NO_MEM_ERR;
    }

    switch (code) {
        case INTERP_NEAREST:
            FillNearest(rows, cols, g, blocks.As<int32_t>(kRowOffsets),
                        blocks.As<int32_t>(kColOffsets));
            break;
        case INTERP_LINEAR:
            FillLinear(rows, cols, g, !shortRows, blocks);
            break;
        case INTERP_CUBIC:
            FillFractions(
                rows, cols, g, blocks,
                [&](double p) { return ResizeCubicTap(p, g.roiY, g.lastRow); },
                [&](double p) { return ResizeCubicTap(p, g.roiX, g.lastCol); });
            break;
        default: {
            const auto lanczosTap = [](double p) {
                const int32_t n = TruncIndex(p);
                return ResizeTap{n, p - n};
            };
            FillFractions(rows, cols, g, blocks, lanczosTap, lanczosTap);
            Policy::LanczosWeights(blocks.As<float>(kColWeights), outW, blocks.As<float>(kColTaps));
            Policy::LanczosWeights(blocks.As<float>(kRowWeights), outH, blocks.As<float>(kRowTaps));
            break;
        }
    }

    const ResizeKernelEntry& entry =
        Policy::Table()[KernelIndex(code, r.dataType, r.nProcessed, planar)];
    const int32_t planes = planar ? PlaneCount(r.nProcessed) : 1;
    const int32_t nChannels = planar ? 0 : r.nChannels;
    const int32_t nProcessed = planar ? 0 : r.nProcessed;
    const int32_t enlargeRows = r.sizeMode != 0 ? (r.yFactor >= 1.0) : (r.yFactor < 1.0);
    for (int32_t p = 0; p < planes; ++p) {
        const void* srcImage = planar ? static_cast<const void* const*>(r.pSrc)[p] : r.pSrc;
        void* dst = planar ? static_cast<void* const*>(r.pDst)[p] : r.pDst;
        const void* src = static_cast<const uint8_t*>(srcImage) + roiBytes;
        const int32_t* rowOffsets = blocks.As<int32_t>(kRowOffsets);
        const int32_t* colOffsets = blocks.As<int32_t>(kColOffsets);
        switch (entry.kind) {
            case ResizeKernelKind::Nearest:
                entry.nearest(src, dst, dstStep, outW, outH, rowOffsets, colOffsets, nChannels);
                break;
            case ResizeKernelKind::Linear:
                entry.linear(src, dst, srcStep, dstStep, outW, outH, rowOffsets, colOffsets,
                             blocks.As<void>(kRowWeights), blocks.As<void>(kColWeights),
                             blocks.As<void>(kBuf1), blocks.As<void>(kBuf2), nChannels, nProcessed);
                break;
            case ResizeKernelKind::Cubic:
                entry.cubic(src, dst, srcStep, dstStep, outW, outH, rowOffsets, colOffsets,
                            blocks.As<float>(kRowWeights), blocks.As<float>(kColWeights),
                            blocks.As<float>(kBuf1), blocks.As<float>(kBuf2),
                            blocks.As<float>(kBuf3), blocks.As<float>(kBuf4), nChannels,
                            nProcessed);
                break;
            case ResizeKernelKind::Lanczos:
                entry.lanczos(
                    src, dst, srcStep, dstStep, outW, outH, rowOffsets, colOffsets,
                    blocks.As<float>(kRowTaps), blocks.As<float>(kColTaps), blocks.As<float>(kBuf1),
                    blocks.As<float>(kBuf2), blocks.As<float>(kBuf3), blocks.As<float>(kBuf4),
                    blocks.As<float>(kBuf5), blocks.As<float>(kBuf6), r.roiX, r.roiY,
                    r.srcWidth - r.roiX, r.srcHeight - r.roiY, enlargeRows, nChannels, nProcessed);
                break;
            case ResizeKernelKind::LanczosNoBorder:  // never selected
                break;
        }
    }
    return STS_OK;
}

}  // namespace

ResizeTap ResizeNearestTap(double position, int32_t last) {
    const int32_t n = TruncIndex(position);
    return {n > last ? last : n, 0.0};
}

ResizeTap ResizeLinearTap(double position, int32_t last) {
    const int32_t n = TruncIndex(position);
    if (n == last) return {n - 1, 1.0};
    return {n, position - n};
}

ResizeTap ResizeCubicTap(double position, int32_t origin, int32_t last) {
    const int32_t n = TruncIndex(position);
    if (n == last) return {n - 2, 2.0};
    if (n == -origin) return {n + 1, position - (n + 1)};
    if (n == last - 1) return {n - 1, position - (n - 1)};
    return {n, position - n};
}

#define VELMORA_RESIZE_INTERPOLATE_DEFINE(V)                                                    \
    int32_t ResizeInterpolate_##V(                                                              \
        const void* pSrc, int32_t srcWidth, int32_t srcHeight, int32_t srcStep, int32_t roiX,   \
        int32_t roiY, int32_t roiWidth, int32_t roiHeight, void* pDst, int32_t dstStep,         \
        int32_t dstWidth, int32_t dstHeight, double xFactor, double yFactor, double xShift,     \
        double yShift, int32_t nChannels, int32_t nProcessed, int32_t dataType, int32_t planar, \
        int32_t interpolation, int32_t sizeMode) {                                              \
        return Interpolate<DriverPolicy_##V>(                                                   \
            {pSrc,     srcWidth,  srcHeight,     srcStep, roiX,      roiY,                      \
             roiWidth, roiHeight, pDst,          dstStep, dstWidth,  dstHeight,                 \
             xFactor,  yFactor,   xShift,        yShift,  nChannels, nProcessed,                \
             dataType, planar,    interpolation, sizeMode});                                    \
    }

VELMORA_RESIZE_INTERPOLATE_DEFINE(Generic)
VELMORA_RESIZE_INTERPOLATE_DEFINE(Sse)
VELMORA_RESIZE_INTERPOLATE_DEFINE(Sse2)
VELMORA_RESIZE_INTERPOLATE_DEFINE(Sse3)
VELMORA_RESIZE_INTERPOLATE_DEFINE(Ssse3)

}  // namespace velmora::resize

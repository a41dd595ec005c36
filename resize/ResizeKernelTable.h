#pragma once

// The kernel tables of the region-of-interest resize: per processor variant
// 33 entries, entry = 3 x row + data type code, read by that variant's
// interpolating driver. The entries of one kind share one argument list;
// pointers are element pointers of the entry's data type, steps and offsets
// count elements.

#include <array>
#include <cstdint>

namespace velmora::resize {

enum ResizeDataType : int32_t {
    RESIZE_DATA_8U = 0,
    RESIZE_DATA_16U = 1,
    RESIZE_DATA_32F = 2,
};
constexpr int32_t kResizeDataTypeCount = 3;

// Table rows.
enum ResizeKernelRow : int32_t {
    NearestMultiCh = 0,
    NearestOneCh = 1,
    NearestFourCh = 2,
    LinearMultiCh = 3,
    LinearOneCh = 4,
    CubicMultiCh = 5,
    CubicOneCh = 6,
    LanczosMultiCh = 7,
    LanczosOneCh = 8,
    LanczosNoBorderMultiCh = 9,
    LanczosNoBorderOneCh = 10,
};
constexpr int32_t kResizeKernelEntries = 33;

// pSrc, pDst, dstStep, dstWidth, dstHeight, rowOffsets, colOffsets, nChannels.
using ResizeNearestKernel = void (*)(const void*, void*, int32_t, int32_t, int32_t, const int32_t*,
                                     const int32_t*, int32_t);
// pSrc, pDst, srcStep, dstStep, dstWidth, dstHeight, rowOffsets, colOffsets,
// rowWeights, colWeights, rowBuf0, rowBuf1, nChannels, nProcessed.
using ResizeLinearKernel = void (*)(const void*, void*, int32_t, int32_t, int32_t, int32_t,
                                    const int32_t*, const int32_t*, const void*, const void*, void*,
                                    void*, int32_t, int32_t);
// As linear with rowBuf0..rowBuf3 before nChannels, nProcessed.
using ResizeCubicKernel = void (*)(const void*, void*, int32_t, int32_t, int32_t, int32_t,
                                   const int32_t*, const int32_t*, const float*, const float*,
                                   float*, float*, float*, float*, int32_t, int32_t);
// As linear with rowBuf0..rowBuf5, then leftCols, topRows, rightCols,
// bottomRows, enlargeRows, nChannels, nProcessed.
using ResizeLanczosKernel = void (*)(const void*, void*, int32_t, int32_t, int32_t, int32_t,
                                     const int32_t*, const int32_t*, const float*, const float*,
                                     float*, float*, float*, float*, float*, float*, int32_t,
                                     int32_t, int32_t, int32_t, int32_t, int32_t, int32_t);
// As Lanczos without the five border and direction arguments.
using ResizeLanczosNoBorderKernel = void (*)(const void*, void*, int32_t, int32_t, int32_t, int32_t,
                                             const int32_t*, const int32_t*, const float*,
                                             const float*, float*, float*, float*, float*, float*,
                                             float*, int32_t, int32_t);

enum class ResizeKernelKind : uint8_t { Nearest, Linear, Cubic, Lanczos, LanczosNoBorder };

// One entry: the kernel of the entry's kind. Every entry of every table
// holds one; Present() says whether it does.
struct ResizeKernelEntry {
    ResizeKernelKind kind;
    union {
        ResizeNearestKernel nearest;
        ResizeLinearKernel linear;
        ResizeCubicKernel cubic;
        ResizeLanczosKernel lanczos;
        ResizeLanczosNoBorderKernel lanczosNoBorder;
    };
    constexpr ResizeKernelEntry(ResizeNearestKernel k)
        : kind(ResizeKernelKind::Nearest), nearest(k) {}
    constexpr ResizeKernelEntry(ResizeLinearKernel k) : kind(ResizeKernelKind::Linear), linear(k) {}
    constexpr ResizeKernelEntry(ResizeCubicKernel k) : kind(ResizeKernelKind::Cubic), cubic(k) {}
    constexpr ResizeKernelEntry(ResizeLanczosKernel k)
        : kind(ResizeKernelKind::Lanczos), lanczos(k) {}
    constexpr ResizeKernelEntry(ResizeLanczosNoBorderKernel k)
        : kind(ResizeKernelKind::LanczosNoBorder), lanczosNoBorder(k) {}

    constexpr bool Present() const {
        switch (kind) {
            case ResizeKernelKind::Nearest:
                return nearest != nullptr;
            case ResizeKernelKind::Linear:
                return linear != nullptr;
            case ResizeKernelKind::Cubic:
                return cubic != nullptr;
            case ResizeKernelKind::Lanczos:
                return lanczos != nullptr;
            case ResizeKernelKind::LanczosNoBorder:
                return lanczosNoBorder != nullptr;
        }
        return false;
    }
};

using ResizeKernelTable = std::array<ResizeKernelEntry, kResizeKernelEntries>;

extern const ResizeKernelTable ResizeKernelTable_Generic;
extern const ResizeKernelTable ResizeKernelTable_Sse;
extern const ResizeKernelTable ResizeKernelTable_Sse2;
extern const ResizeKernelTable ResizeKernelTable_Sse3;
extern const ResizeKernelTable ResizeKernelTable_Ssse3;

constexpr int32_t ResizeKernelIndex(int32_t row, int32_t dataType) {
    return 3 * row + dataType;
}

}  // namespace velmora::resize

#pragma once

// The ring walk of the cubic kernels over the row kernels that a policy
// names (members k8u, k16u, k32f of type CubicRows<T>): four row buffers
// follow the base row; a move by k rows filters min(k, 4) rows, bottom row
// first, and keeps the rows the old and the new ring share.

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "resize/ResizeCubicRows.h"

namespace velmora::resize {

// The row kernels one variant's cubic kernels call for one sample type.
template <typename T>
struct CubicRows {
    CubicRowHFn<T> rowH;
    CubicRowHPartFn<T> rowHPart;
    CubicRowHFn<T> rowHOneCh;
    CubicRowVFn<T> rowV;
    CubicRowVFn<T> rowVPart;
};

template <typename Policy, typename T>
constexpr const CubicRows<T>& RowsOf() {
    if constexpr (std::is_same_v<T, uint8_t>) {
        return Policy::k8u;
    } else if constexpr (std::is_same_v<T, uint16_t>) {
        return Policy::k16u;
    } else {
        return Policy::k32f;
    }
}

// The ring walk of every cubic kernel. Offsets and steps count elements.
template <typename Policy, typename T, bool OneCh>
inline void CubicResize(const void* pSrc, void* pDst, int32_t srcStep, int32_t dstStep,
                        int32_t dstWidth, int32_t dstHeight, const int32_t* rowOffsets,
                        const int32_t* colOffsets, const float* rowWeights, const float* colWeights,
                        float* rowBuf0, float* rowBuf1, float* rowBuf2, float* rowBuf3,
                        int32_t nChannels, int32_t nProcessed) {
    constexpr const CubicRows<T>& rows = RowsOf<Policy, T>();
    const auto* src = static_cast<const T*>(pSrc);

    auto filter = [&](ptrdiff_t offset, float* buf) {
        const T* row = src + offset;
        if constexpr (OneCh) {
            rows.rowHOneCh(row, dstWidth, colOffsets, colWeights, buf);
        } else if (nProcessed == 3) {
            rows.rowHPart(row, dstWidth, nChannels, colOffsets, colWeights, buf);
        } else {
            rows.rowH(row, dstWidth, colOffsets, colWeights, buf);
        }
    };

    const ptrdiff_t step = srcStep;
    const bool down = srcStep > 0;
    // A move by at least n rows, tested without division.
    auto movedAtLeast = [&](ptrdiff_t off, ptrdiff_t last, int n) {
        return down ? off >= last + n * step : off <= last + n * step;
    };
    const ptrdiff_t first = rowOffsets[0];
    filter(first - step, rowBuf1);
    filter(first, rowBuf2);
    filter(first + step, rowBuf3);
    float* ring[4] = {rowBuf0, rowBuf1, rowBuf2, rowBuf3};
    // As if the ring stood one row before the first: the first output row
    // moves by one row and filters only its base + 2.
    ptrdiff_t last = down ? first - 1 : first + 1;
    for (int32_t i = 0; i < dstHeight; ++i) {
        const ptrdiff_t off = rowOffsets[i];
        if (down ? off > last : off < last) {
            // Bottom row first; the rows the old and the new ring share keep
            // their buffers.
            float* const old0 = ring[0];
            ring[0] = ring[1], ring[1] = ring[2], ring[2] = ring[3], ring[3] = old0;
            filter(off + 2 * step, ring[3]);
            if (movedAtLeast(off, last, 2)) {
                float* const r0 = ring[0];
                ring[0] = ring[1], ring[1] = ring[2], ring[2] = r0;
                filter(off + step, ring[2]);
                if (movedAtLeast(off, last, 3)) {
                    std::swap(ring[0], ring[1]);
                    filter(off, ring[1]);
                    if (movedAtLeast(off, last, 4)) filter(off - step, ring[0]);
                }
            }
            last = off;
        }
        T* dstRow = static_cast<T*>(pDst) + static_cast<ptrdiff_t>(i) * dstStep;
        if (OneCh || nChannels == nProcessed) {
            rows.rowV(dstRow, OneCh ? dstWidth : dstWidth * nProcessed, rowWeights[i], ring[0],
                      ring[1], ring[2], ring[3]);
        } else {
            rows.rowVPart(dstRow, dstWidth, rowWeights[i], ring[0], ring[1], ring[2], ring[3]);
        }
    }
}

}  // namespace velmora::resize

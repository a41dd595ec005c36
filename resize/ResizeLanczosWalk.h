#pragma once

// The ring walk of the Lanczos kernels over the row kernels that a policy
// names (members k8u, k16u, k32f of type LanczosRows<T>). Six row buffers
// hold the rows base - 2 .. base + 3. With border rows (table rows 7 and 8)
// the start replicates the rows that the image lacks above and below the
// first base row, the enlarging path advances one row per new base row and
// copies the last row where the image ends, and the general path refills
// min(k, 6) rows on a move by k rows, bottom row first, clamping the rows it
// reads to the image's last row. Without border rows (rows 9 and 10) every
// row is read as it stands.

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "resize/ResizeLanczosRows.h"

namespace velmora::resize {

template <typename T>
struct LanczosRows {
    LanczosRowHFn<T> rowH;
    LanczosRowHPartFn<T> rowHPart;
    LanczosRowHFn<T> rowHOneCh;
    LanczosNoBorderRowHFn<T> noBorderRowH;
    LanczosNoBorderRowHPartFn<T> noBorderRowHPart;
    LanczosNoBorderRowHFn<T> noBorderRowHOneCh;
    LanczosRowVFn<T> rowV;
    LanczosRowVFn<T> rowVPart;
    int32_t (*copyRow)(const void* src, void* dst, int32_t n);
};

template <typename Policy, typename T>
constexpr const LanczosRows<T>& LanczosRowsOf() {
    if constexpr (std::is_same_v<T, uint8_t>) {
        return Policy::k8u;
    } else if constexpr (std::is_same_v<T, uint16_t>) {
        return Policy::k16u;
    } else {
        return Policy::k32f;
    }
}

// The image around the region (border kernels only).
struct LanczosExtent {
    int32_t leftCols, topRows, rightCols, bottomRows, enlargeRows;
};

template <typename Policy, typename T, bool OneCh, bool Border>
inline void LanczosResize(const void* pSrc, void* pDst, int32_t srcStep, int32_t dstStep,
                          int32_t dstWidth, int32_t dstHeight, const int32_t* rowOffsets,
                          const int32_t* colOffsets, const float* rowWeights,
                          const float* colWeights, float* const (&rowBufs)[6],
                          const LanczosExtent& extent, int32_t nChannels, int32_t nProcessed) {
    constexpr const LanczosRows<T>& rows = LanczosRowsOf<Policy, T>();
    const auto* src = static_cast<const T*>(pSrc);
    const int32_t values = OneCh ? dstWidth : dstWidth * nProcessed;

    auto filter = [&](ptrdiff_t offset, float* buf) {
        const T* row = src + offset;
        if constexpr (Border) {
            if constexpr (OneCh) {
                rows.rowHOneCh(row, colOffsets, colWeights, buf, dstWidth, extent.leftCols,
                               extent.rightCols);
            } else if (nProcessed == 3) {
                rows.rowHPart(row, nChannels, colOffsets, colWeights, buf, dstWidth,
                              extent.leftCols, extent.rightCols);
            } else {
                rows.rowH(row, colOffsets, colWeights, buf, dstWidth, extent.leftCols,
                          extent.rightCols);
            }
        } else {
            if constexpr (OneCh) {
                rows.noBorderRowHOneCh(row, colOffsets, colWeights, buf, dstWidth);
            } else if (nProcessed == 3) {
                rows.noBorderRowHPart(row, nChannels, colOffsets, colWeights, buf, dstWidth);
            } else {
                rows.noBorderRowH(row, colOffsets, colWeights, buf, dstWidth);
            }
        }
    };
    auto copy = [&](const float* from, float* to) { rows.copyRow(from, to, values); };

    const ptrdiff_t s = srcStep;
    const bool down = srcStep > 0;
    // Offsets of the image's rows from the region's first, for the bottom
    // clamp and the enlarging path's end.
    auto imageRow = [&](int32_t fromBottom) {
        return (static_cast<ptrdiff_t>(extent.bottomRows) - fromBottom) * s;
    };
    float* ring[6] = {rowBufs[0], rowBufs[1], rowBufs[2], rowBufs[3], rowBufs[4], rowBufs[5]};
    const ptrdiff_t r0 = rowOffsets[0];
    if constexpr (Border) {
        filter(r0, ring[3]);
        if (extent.bottomRows == 1) {
            copy(ring[3], ring[4]);
            copy(ring[3], ring[5]);
        } else if (extent.bottomRows == 2) {
            filter(r0 + s, ring[4]);
            copy(ring[4], ring[5]);
        } else {
            filter(r0 + s, ring[4]);
            filter(r0 + 2 * s, ring[5]);
        }
        if (extent.topRows == 0) {
            copy(ring[3], ring[1]);
            copy(ring[3], ring[2]);
        } else if (extent.topRows == 1) {
            filter(r0 - s, ring[2]);
            copy(ring[2], ring[1]);
        } else {
            filter(r0 - 2 * s, ring[1]);
            filter(r0 - s, ring[2]);
        }
    } else {
        for (int k = 1; k <= 5; ++k)
            filter(r0 + (k - 3) * s, ring[k]);
    }
    // Rotates slots first .. 5 by one: each takes the next one's buffer, the
    // last takes the first's.
    auto rotateFrom = [&](int last) {
        float* const first = ring[0];
        for (int k = 0; k < last; ++k)
            ring[k] = ring[k + 1];
        ring[last] = first;
    };
    // As if the ring stood one row before the first: the first output row
    // moves by one row.
    ptrdiff_t last = down ? r0 - 1 : r0 + 1;
    for (int32_t i = 0; i < dstHeight; ++i) {
        const ptrdiff_t r = rowOffsets[i];
        if (down ? r > last : r < last) {
            if (Border && extent.enlargeRows != 0) {
                rotateFrom(5);
                if (down ? r < imageRow(3) : r > imageRow(3)) {
                    filter(r + 3 * s, ring[5]);
                } else {
                    copy(ring[4], ring[5]);
                }
            } else {
                auto movedAtLeast = [&](int k) {
                    return down ? r >= last + k * s : r <= last + k * s;
                };
                // Row base + k, or the image's last row when that lies
                // closer (exact comparisons with the last rows' offsets).
                auto below = [&](int k) {
                    if constexpr (Border) {
                        for (int e = 1; e <= k; ++e) {
                            if (r == imageRow(e)) return r + (e - 1) * s;
                        }
                    }
                    return r + k * s;
                };
                rotateFrom(5);
                filter(below(3), ring[5]);
                if (movedAtLeast(2)) {
                    rotateFrom(4);
                    filter(below(2), ring[4]);
                    if (movedAtLeast(3)) {
                        rotateFrom(3);
                        filter(below(1), ring[3]);
                        if (movedAtLeast(4)) {
                            rotateFrom(2);
                            filter(r, ring[2]);
                            if (movedAtLeast(5)) {
                                std::swap(ring[0], ring[1]);
                                filter(r - s, ring[1]);
                                if (movedAtLeast(6)) filter(r - 2 * s, ring[0]);
                            }
                        }
                    }
                }
            }
            last = r;
        }
        T* dstRow = static_cast<T*>(pDst) + static_cast<ptrdiff_t>(i) * dstStep;
        const float* w = rowWeights + 6 * static_cast<ptrdiff_t>(i);
        const auto rowV = (OneCh || nChannels == nProcessed) ? rows.rowV : rows.rowVPart;
        rowV(dstRow, (OneCh || nChannels == nProcessed) ? values : dstWidth, w, ring[0], ring[1],
             ring[2], ring[3], ring[4], ring[5]);
    }
}

}  // namespace velmora::resize

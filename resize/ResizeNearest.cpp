#include "resize/ResizeNearest.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace velmora::resize {
namespace {

// Pixel layouts of the three rows: samples copied, destination pixel step
// (0: nChannels).
struct MultiCh {
    static constexpr int kCopied = 3;
    static constexpr int kStep = 0;
};
struct OneCh {
    static constexpr int kCopied = 1;
    static constexpr int kStep = 1;
};
struct FourCh {
    static constexpr int kCopied = 4;
    static constexpr int kStep = 4;
};

// The copied samples as one block, at most eight bytes a move: the copies go
// through general-purpose registers.
template <typename E, typename Layout>
inline __attribute__((always_inline)) void CopyPixel(E* d, const E* s) {
    constexpr size_t kBytes = Layout::kCopied * sizeof(E);
    if constexpr (kBytes > 8) {
        const auto* in = reinterpret_cast<const uint8_t*>(s);
        auto* out = reinterpret_cast<uint8_t*>(d);
        uint64_t low, high = 0;
        std::memcpy(&low, in, 8);
        std::memcpy(&high, in + 8, kBytes - 8);
        asm("" : "+r"(low), "+r"(high));  // else the two moves merge into one vector move
        std::memcpy(out, &low, 8);
        std::memcpy(out + 8, &high, kBytes - 8);
    } else {
        std::memcpy(d, s, kBytes);
    }
}

// Samples 0-2 of a four-byte source pixel from one 32-bit load (the source
// pixel holds all four bytes): one register, two stores. Never used on the
// output, whose sample 3 is not ours to read.
inline __attribute__((always_inline)) void CopyThreeOfFour(uint8_t* d, const uint8_t* s) {
    uint32_t v;
    std::memcpy(&v, s, 4);
    const auto low = static_cast<uint16_t>(v);
    std::memcpy(d, &low, 2);
    d[2] = static_cast<uint8_t>(v >> 16);
}

// One output row: `at(i)` is the source of pixel i, `copy` copies one pixel.
template <int Columns, typename E, typename At, typename Copy>
inline __attribute__((always_inline)) void NearestRow(E* d, int32_t dstWidth, ptrdiff_t step, At at,
                                                      Copy copy) {
    int32_t i = 0;
    if constexpr (Columns == 2) {
        for (; i + 1 < dstWidth; i += 2) {
            copy(d + i * step, at(i));
            copy(d + (i + 1) * step, at(i + 1));
        }
    }
    for (; i < dstWidth; ++i)
        copy(d + i * step, at(i));
}

// The row walk. An output row whose source row is its predecessor's copies the
// predecessor's samples instead (with `copyOutput`): the same values, read in
// order rather than gathered through the column table, which on enlargement
// is about half the rows.
template <typename E, int Columns, typename Copy, typename CopyOutput>
inline __attribute__((always_inline)) void NearestWalk(const E* src, E* dst, int32_t dstStep,
                                                       int32_t dstWidth, int32_t dstHeight,
                                                       const int32_t* rowOffsets,
                                                       const int32_t* colOffsets, ptrdiff_t step,
                                                       Copy copy, CopyOutput copyOutput) {
    for (int32_t j = 0; j < dstHeight; ++j) {
        E* d = dst + static_cast<ptrdiff_t>(j) * dstStep;
        if (j > 0 && rowOffsets[j] == rowOffsets[j - 1]) {
            const E* previous = d - dstStep;
            auto sample = [&](int32_t i) __attribute__((always_inline)) {
                return previous + i * step;
            };
            NearestRow<Columns>(d, dstWidth, step, sample, copyOutput);
            continue;
        }
        const E* s = src + rowOffsets[j];
        auto sample = [&](int32_t i) __attribute__((always_inline)) {
            return s + colOffsets[i];
        };
        NearestRow<Columns>(d, dstWidth, step, sample, copy);
    }
}

// E is the sample's storage (uint32_t for 32f, so floats travel as bits).
template <typename E, typename Layout, int Columns>
inline __attribute__((always_inline)) void NearestRows(const void* pSrc, void* pDst,
                                                       int32_t dstStep, int32_t dstWidth,
                                                       int32_t dstHeight, const int32_t* rowOffsets,
                                                       const int32_t* colOffsets,
                                                       int32_t nChannels) {
    const auto* src = static_cast<const E*>(pSrc);
    auto* dst = static_cast<E*>(pDst);
    const ptrdiff_t step = Layout::kStep != 0 ? Layout::kStep : nChannels;
    const auto copyPixel = [](E * d, const E* s) __attribute__((always_inline)) {
        CopyPixel<E, Layout>(d, s);
    };
    if constexpr (std::is_same_v<E, uint8_t> && std::is_same_v<Layout, MultiCh>) {
        if (nChannels == 4) {
            NearestWalk<E, Columns>(
                src, dst, dstStep, dstWidth, dstHeight, rowOffsets, colOffsets, step,
                [](E * d, const E* s) __attribute__((always_inline)) { CopyThreeOfFour(d, s); },
                copyPixel);
            return;
        }
    }
    NearestWalk<E, Columns>(src, dst, dstStep, dstWidth, dstHeight, rowOffsets, colOffsets, step,
                            copyPixel, copyPixel);
}

}  // namespace

#define VELMORA_RESIZE_NEAREST_DEFINE(name, target, E, Layout, Columns)                       \
    target void name(const void* pSrc, void* pDst, int32_t dstStep, int32_t dstWidth,         \
                     int32_t dstHeight, const int32_t* rowOffsets, const int32_t* colOffsets, \
                     int32_t nChannels) {                                                     \
        NearestRows<E, Layout, Columns>(pSrc, pDst, dstStep, dstWidth, dstHeight, rowOffsets, \
                                        colOffsets, nChannels);                               \
    }

#define VELMORA_TARGET_NONE
#define VELMORA_TARGET_SSE2 __attribute__((target("sse2")))
#define VELMORA_TARGET_SSE3 __attribute__((target("sse3")))

#define VELMORA_RESIZE_NEAREST_ROWS(V, target, Columns)                                            \
    VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestMultiCh8u_##V, target, uint8_t, MultiCh, Columns)   \
    VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestMultiCh16u_##V, target, uint16_t, MultiCh, Columns) \
    VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestMultiCh32f_##V, target, uint32_t, MultiCh, Columns) \
    VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestOneCh8u_##V, target, uint8_t, OneCh, Columns)       \
    VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestOneCh16u_##V, target, uint16_t, OneCh, Columns)     \
    VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestOneCh32f_##V, target, uint32_t, OneCh, Columns)

VELMORA_RESIZE_NEAREST_ROWS(Generic, VELMORA_TARGET_NONE, 1)
VELMORA_RESIZE_NEAREST_ROWS(Sse2, VELMORA_TARGET_SSE2, 1)
VELMORA_RESIZE_NEAREST_ROWS(Sse3, VELMORA_TARGET_SSE3, 2)

VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestFourCh8u_Generic, VELMORA_TARGET_NONE, uint8_t, FourCh,
                              1)
VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestFourCh16u_Generic, VELMORA_TARGET_NONE, uint16_t, FourCh,
                              1)
VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestFourCh32f_Generic, VELMORA_TARGET_NONE, uint32_t, FourCh,
                              1)
VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestFourCh8u_Sse2, VELMORA_TARGET_SSE2, uint8_t, FourCh, 1)
VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestFourCh16u_Sse2, VELMORA_TARGET_SSE2, uint16_t, FourCh, 1)
VELMORA_RESIZE_NEAREST_DEFINE(ResizeNearestFourCh32f_Sse2, VELMORA_TARGET_SSE2, uint32_t, FourCh, 1)

}  // namespace velmora::resize

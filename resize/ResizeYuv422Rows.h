#pragma once

// Linear row filters of the packed 4:2:2 resize, in Q14 fixed point.
//
// ResizeYuv422LinearRowH filters one source row (macropixels Y0 U Y1 V):
// for output pair p, luma[2p] and luma[2p + 1] from the luma samples at
// byte offsets yIndex[2p], yIndex[2p + 1] and two bytes on, weighted by
// (yWeights[4p], yWeights[4p + 1]) and (yWeights[4p + 2], yWeights[4p + 3]);
// U[p] and V[p] from the pairs at cIndex[p] and four bytes on with
// (cWeights[2p], cWeights[2p + 1]): (w0 a + w1 b + 128) >> 8, six fraction
// bits kept.
// ResizeYuv422LinearRowV blends two filtered rows with the lower row's
// weight W: (top (16384 - W) + bottom W + 0x80000) >> 20, written Y0 U Y1 V.
// Both write nothing for pairs < 1. The Sse variant uses the Generic members;
// all members give the same bytes.

#include <cstdint>

namespace velmora::resize {

// The scalar model every member follows.
inline void ResizeYuv422LinearRowHModel(const uint8_t* srcRow, int32_t pairs, const int32_t* yIndex,
                                        const int32_t* cIndex, const uint16_t* yWeights,
                                        const uint16_t* cWeights, uint16_t* yOut, uint16_t* uOut,
                                        uint16_t* vOut) {
    auto blend = [](uint32_t w0, uint32_t a, uint32_t w1, uint32_t b) {
        return static_cast<uint16_t>((w0 * a + w1 * b + 128) >> 8);
    };
    for (int32_t p = 0; p < pairs; ++p) {
        for (int32_t k = 0; k < 2; ++k) {
            const uint8_t* y = srcRow + yIndex[2 * p + k];
            yOut[2 * p + k] =
                blend(yWeights[4 * p + 2 * k], y[0], yWeights[4 * p + 2 * k + 1], y[2]);
        }
        const uint8_t* c = srcRow + cIndex[p];
        uOut[p] = blend(cWeights[2 * p], c[1], cWeights[2 * p + 1], c[5]);
        vOut[p] = blend(cWeights[2 * p], c[3], cWeights[2 * p + 1], c[7]);
    }
}

inline void ResizeYuv422LinearRowVModel(uint8_t* dstRow, int32_t pairs, uint32_t weight,
                                        const uint16_t* yTop, const uint16_t* yBottom,
                                        const uint16_t* uTop, const uint16_t* uBottom,
                                        const uint16_t* vTop, const uint16_t* vBottom) {
    const uint32_t upper = 16384 - weight;
    auto blend = [&](uint32_t top, uint32_t bottom) {
        return static_cast<uint8_t>((top * upper + bottom * weight + 0x80000) >> 20);
    };
    for (int32_t p = 0; p < pairs; ++p) {
        dstRow[4 * p] = blend(yTop[2 * p], yBottom[2 * p]);
        dstRow[4 * p + 1] = blend(uTop[p], uBottom[p]);
        dstRow[4 * p + 2] = blend(yTop[2 * p + 1], yBottom[2 * p + 1]);
        dstRow[4 * p + 3] = blend(vTop[p], vBottom[p]);
    }
}

#define VELMORA_YUV422_ROWH_DECLARE(name)                                                         \
    void name(const uint8_t* srcRow, int32_t pairs, const int32_t* yIndex, const int32_t* cIndex, \
              const uint16_t* yWeights, const uint16_t* cWeights, uint16_t* yOut, uint16_t* uOut, \
              uint16_t* vOut);
#define VELMORA_YUV422_ROWV_DECLARE(name)                                             \
    void name(uint8_t* dstRow, int32_t pairs, uint32_t weight, const uint16_t* yTop,  \
              const uint16_t* yBottom, const uint16_t* uTop, const uint16_t* uBottom, \
              const uint16_t* vTop, const uint16_t* vBottom);

#define VELMORA_YUV422_ROWS_DECLARE(V)                      \
    VELMORA_YUV422_ROWH_DECLARE(ResizeYuv422LinearRowH_##V) \
    VELMORA_YUV422_ROWV_DECLARE(ResizeYuv422LinearRowV_##V)

VELMORA_YUV422_ROWS_DECLARE(Generic)
VELMORA_YUV422_ROWS_DECLARE(Sse2)
VELMORA_YUV422_ROWS_DECLARE(Sse3)
VELMORA_YUV422_ROWS_DECLARE(Ssse3)

}  // namespace velmora::resize

// Members of the 4:2:2 linear row filters: the scalar model, compiled for
// each variant's instruction set.
#include "resize/ResizeYuv422Rows.h"

namespace velmora::resize {

#define VELMORA_YUV422_ROWS_DEFINE(V, target)                                                      \
    target void ResizeYuv422LinearRowH_##V(const uint8_t* srcRow, int32_t pairs,                   \
                                           const int32_t* yIndex, const int32_t* cIndex,           \
                                           const uint16_t* yWeights, const uint16_t* cWeights,     \
                                           uint16_t* yOut, uint16_t* uOut, uint16_t* vOut) {       \
        ResizeYuv422LinearRowHModel(srcRow, pairs, yIndex, cIndex, yWeights, cWeights, yOut, uOut, \
                                    vOut);                                                         \
    }                                                                                              \
    target void ResizeYuv422LinearRowV_##V(uint8_t* dstRow, int32_t pairs, uint32_t weight,        \
                                           const uint16_t* yTop, const uint16_t* yBottom,          \
                                           const uint16_t* uTop, const uint16_t* uBottom,          \
                                           const uint16_t* vTop, const uint16_t* vBottom) {        \
        ResizeYuv422LinearRowVModel(dstRow, pairs, weight, yTop, yBottom, uTop, uBottom, vTop,     \
                                    vBottom);                                                      \
    }

VELMORA_YUV422_ROWS_DEFINE(Generic, )
VELMORA_YUV422_ROWS_DEFINE(Sse2, __attribute__((target("sse2"))))
VELMORA_YUV422_ROWS_DEFINE(Sse3, __attribute__((target("sse3"))))
VELMORA_YUV422_ROWS_DEFINE(Ssse3, __attribute__((target("ssse3"))))

}  // namespace velmora::resize

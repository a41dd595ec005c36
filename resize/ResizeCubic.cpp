#include "resize/ResizeCubic.h"

#include "resize/ResizeCubicRows.h"
#include "resize/ResizeCubicWalk.h"

namespace velmora::resize {
namespace {

#define VELMORA_CUBIC_ROWS(T, S, V)                                                            \
    CubicRows<T> {                                                                             \
        ResizeCubicRowH##S##_##V, ResizeCubicRowHPart##S##_##V, ResizeCubicRowHOneCh##S##_##V, \
            ResizeCubicRowV##S##_##V, ResizeCubicRowVPart##S##_##V                             \
    }
#define VELMORA_CUBIC_POLICY(V)                                                           \
    struct CubicPolicy_##V {                                                              \
        static constexpr CubicRows<uint8_t> k8u = VELMORA_CUBIC_ROWS(uint8_t, 8u, V);     \
        static constexpr CubicRows<uint16_t> k16u = VELMORA_CUBIC_ROWS(uint16_t, 16u, V); \
        static constexpr CubicRows<float> k32f = VELMORA_CUBIC_ROWS(float, 32f, V);       \
    };

// Every variant calls the row kernels of its own name.
VELMORA_CUBIC_POLICY(Generic)
VELMORA_CUBIC_POLICY(Sse)
VELMORA_CUBIC_POLICY(Sse2)
VELMORA_CUBIC_POLICY(Sse3)
VELMORA_CUBIC_POLICY(Ssse3)

}  // namespace

#define VELMORA_RESIZE_CUBIC_DEFINE(name, Policy, T, OneCh)                                     \
    void name(const void* pSrc, void* pDst, int32_t srcStep, int32_t dstStep, int32_t dstWidth, \
              int32_t dstHeight, const int32_t* rowOffsets, const int32_t* colOffsets,          \
              const float* rowWeights, const float* colWeights, float* rowBuf0, float* rowBuf1, \
              float* rowBuf2, float* rowBuf3, int32_t nChannels, int32_t nProcessed) {          \
        CubicResize<Policy, T, OneCh>(pSrc, pDst, srcStep, dstStep, dstWidth, dstHeight,        \
                                      rowOffsets, colOffsets, rowWeights, colWeights, rowBuf0,  \
                                      rowBuf1, rowBuf2, rowBuf3, nChannels, nProcessed);        \
    }

#define VELMORA_RESIZE_CUBIC_MEMBERS(V)                                                      \
    VELMORA_RESIZE_CUBIC_DEFINE(ResizeCubicMultiCh8u_##V, CubicPolicy_##V, uint8_t, false)   \
    VELMORA_RESIZE_CUBIC_DEFINE(ResizeCubicMultiCh16u_##V, CubicPolicy_##V, uint16_t, false) \
    VELMORA_RESIZE_CUBIC_DEFINE(ResizeCubicMultiCh32f_##V, CubicPolicy_##V, float, false)    \
    VELMORA_RESIZE_CUBIC_DEFINE(ResizeCubicOneCh8u_##V, CubicPolicy_##V, uint8_t, true)      \
    VELMORA_RESIZE_CUBIC_DEFINE(ResizeCubicOneCh16u_##V, CubicPolicy_##V, uint16_t, true)    \
    VELMORA_RESIZE_CUBIC_DEFINE(ResizeCubicOneCh32f_##V, CubicPolicy_##V, float, true)

VELMORA_RESIZE_CUBIC_MEMBERS(Generic)
VELMORA_RESIZE_CUBIC_MEMBERS(Sse)
VELMORA_RESIZE_CUBIC_MEMBERS(Sse2)
VELMORA_RESIZE_CUBIC_MEMBERS(Sse3)
VELMORA_RESIZE_CUBIC_MEMBERS(Ssse3)

}  // namespace velmora::resize

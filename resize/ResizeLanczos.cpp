#include "resize/ResizeLanczos.h"

#include "resize/ResizeLanczosWalk.h"
#include "resize/ResizeMemory.h"

namespace velmora::resize {
namespace {

#define VELMORA_LANCZOS_ROWS(T, S, V)                                                        \
    LanczosRows<T> {                                                                         \
        ResizeLanczosRowH##S##_##V, ResizeLanczosRowHPart##S##_##V,                          \
            ResizeLanczosRowHOneCh##S##_##V, ResizeLanczosNoBorderRowH##S##_##V,             \
            ResizeLanczosNoBorderRowHPart##S##_##V, ResizeLanczosNoBorderRowHOneCh##S##_##V, \
            ResizeLanczosRowV##S##_##V, ResizeLanczosRowVPart##S##_##V, CopyRow32f_##V       \
    }
#define VELMORA_LANCZOS_POLICY(V)                                                             \
    struct LanczosPolicy_##V {                                                                \
        static constexpr LanczosRows<uint8_t> k8u = VELMORA_LANCZOS_ROWS(uint8_t, 8u, V);     \
        static constexpr LanczosRows<uint16_t> k16u = VELMORA_LANCZOS_ROWS(uint16_t, 16u, V); \
        static constexpr LanczosRows<float> k32f = VELMORA_LANCZOS_ROWS(float, 32f, V);       \
    };

// Every variant calls the row kernels and the row copy of its own name.
VELMORA_LANCZOS_POLICY(Generic)
VELMORA_LANCZOS_POLICY(Sse)
VELMORA_LANCZOS_POLICY(Sse2)
VELMORA_LANCZOS_POLICY(Sse3)
VELMORA_LANCZOS_POLICY(Ssse3)

}  // namespace

#define VELMORA_RESIZE_LANCZOS_DEFINE(name, Policy, T, OneCh)                                      \
    void name(const void* pSrc, void* pDst, int32_t srcStep, int32_t dstStep, int32_t dstWidth,    \
              int32_t dstHeight, const int32_t* rowOffsets, const int32_t* colOffsets,             \
              const float* rowWeights, const float* colWeights, float* rowBuf0, float* rowBuf1,    \
              float* rowBuf2, float* rowBuf3, float* rowBuf4, float* rowBuf5, int32_t leftCols,    \
              int32_t topRows, int32_t rightCols, int32_t bottomRows, int32_t enlargeRows,         \
              int32_t nChannels, int32_t nProcessed) {                                             \
        float* const bufs[6] = {rowBuf0, rowBuf1, rowBuf2, rowBuf3, rowBuf4, rowBuf5};             \
        LanczosResize<Policy, T, OneCh, true>(                                                     \
            pSrc, pDst, srcStep, dstStep, dstWidth, dstHeight, rowOffsets, colOffsets, rowWeights, \
            colWeights, bufs, {leftCols, topRows, rightCols, bottomRows, enlargeRows}, nChannels,  \
            nProcessed);                                                                           \
    }
#define VELMORA_RESIZE_LANCZOS_NO_BORDER_DEFINE(name, Policy, T, OneCh)                           \
    void name(const void* pSrc, void* pDst, int32_t srcStep, int32_t dstStep, int32_t dstWidth,   \
              int32_t dstHeight, const int32_t* rowOffsets, const int32_t* colOffsets,            \
              const float* rowWeights, const float* colWeights, float* rowBuf0, float* rowBuf1,   \
              float* rowBuf2, float* rowBuf3, float* rowBuf4, float* rowBuf5, int32_t nChannels,  \
              int32_t nProcessed) {                                                               \
        float* const bufs[6] = {rowBuf0, rowBuf1, rowBuf2, rowBuf3, rowBuf4, rowBuf5};            \
        LanczosResize<Policy, T, OneCh, false>(pSrc, pDst, srcStep, dstStep, dstWidth, dstHeight, \
                                               rowOffsets, colOffsets, rowWeights, colWeights,    \
                                               bufs, {}, nChannels, nProcessed);                  \
    }

#define VELMORA_RESIZE_LANCZOS_MEMBERS(V)                                                          \
    VELMORA_RESIZE_LANCZOS_DEFINE(ResizeLanczosMultiCh8u_##V, LanczosPolicy_##V, uint8_t, false)   \
    VELMORA_RESIZE_LANCZOS_DEFINE(ResizeLanczosMultiCh16u_##V, LanczosPolicy_##V, uint16_t, false) \
    VELMORA_RESIZE_LANCZOS_DEFINE(ResizeLanczosMultiCh32f_##V, LanczosPolicy_##V, float, false)    \
    VELMORA_RESIZE_LANCZOS_DEFINE(ResizeLanczosOneCh8u_##V, LanczosPolicy_##V, uint8_t, true)      \
    VELMORA_RESIZE_LANCZOS_DEFINE(ResizeLanczosOneCh16u_##V, LanczosPolicy_##V, uint16_t, true)    \
    VELMORA_RESIZE_LANCZOS_DEFINE(ResizeLanczosOneCh32f_##V, LanczosPolicy_##V, float, true)       \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DEFINE(ResizeLanczosNoBorderMultiCh8u_##V, LanczosPolicy_##V, \
                                            uint8_t, false)                                        \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DEFINE(ResizeLanczosNoBorderMultiCh16u_##V,                   \
                                            LanczosPolicy_##V, uint16_t, false)                    \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DEFINE(ResizeLanczosNoBorderMultiCh32f_##V,                   \
                                            LanczosPolicy_##V, float, false)                       \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DEFINE(ResizeLanczosNoBorderOneCh8u_##V, LanczosPolicy_##V,   \
                                            uint8_t, true)                                         \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DEFINE(ResizeLanczosNoBorderOneCh16u_##V, LanczosPolicy_##V,  \
                                            uint16_t, true)                                        \
    VELMORA_RESIZE_LANCZOS_NO_BORDER_DEFINE(ResizeLanczosNoBorderOneCh32f_##V, LanczosPolicy_##V,  \
                                            float, true)

VELMORA_RESIZE_LANCZOS_MEMBERS(Generic)
VELMORA_RESIZE_LANCZOS_MEMBERS(Sse)
VELMORA_RESIZE_LANCZOS_MEMBERS(Sse2)
VELMORA_RESIZE_LANCZOS_MEMBERS(Sse3)
VELMORA_RESIZE_LANCZOS_MEMBERS(Ssse3)

}  // namespace velmora::resize

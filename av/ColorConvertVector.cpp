// The Sse2, Sse3 and Ssse3 members of the two conversions. The three share one
// body of SSE2 instructions (ColorConvertSimd.h) and differ only in the
// instruction set the body is compiled for. The Ssse3 members also run their
// 16-pixel blocks and scalar pairs with 256- or 512-bit vectors when the
// processor has AVX2 or AVX-512BW: the same lane arithmetic on more lanes, so
// every pixel gets the same value either way.
#include <atomic>

#include "av/ColorConvert.h"
#include "av/ColorConvertRows.h"
#include "av/ColorConvertSimd.h"
#include "av/ColorConvertWide.h"

namespace velmora::av {
namespace {

int32_t ProcessorVectorBits() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) return 512;
    if (__builtin_cpu_supports("avx2")) return 256;
    return 128;
}

const int32_t g_processorVectorBits = ProcessorVectorBits();
std::atomic<int32_t> g_vectorBits{g_processorVectorBits};

struct Sse2Blocks {
    static constexpr bool kVector = true;

    static VELMORA_SIMD_INLINE void Yuy2ToBgraBlocks16(const uint8_t* src, uint8_t* dst,
                                                       int32_t pixels, uint8_t alpha) {
        Yuy2ToBgraRun<V128>(src, dst, pixels, alpha);
    }
    static VELMORA_SIMD_INLINE void Yuy2ToBgraBlock8(const uint8_t* src, uint8_t* dst,
                                                     uint8_t alpha) {
        Yuy2ToBgraStep<V128>(src, dst, V128::Set16(alpha));
    }
    static VELMORA_SIMD_INLINE void BgraToYuy2Blocks16(const uint8_t* src, uint8_t* dst,
                                                       int32_t pixels) {
        BgraToYuy2Run<V128, Yuy2WordsVector>(src, dst, pixels);
    }
    static VELMORA_SIMD_INLINE void BgraToYuy2Block8(const uint8_t* src, uint8_t* dst) {
        BgraToYuy2Step<V128, Yuy2WordsVector>(src, dst);
    }
    static VELMORA_SIMD_INLINE int32_t BgraToYuy2ScalarPairs(const uint8_t* src, uint8_t* dst,
                                                             int32_t pixels) {
        return BgraToYuy2Run<V128, Yuy2WordsScalar>(src, dst, pixels);
    }
};

struct WideBlocks : Sse2Blocks {
    static VELMORA_SIMD_INLINE void Yuy2ToBgraBlocks16(const uint8_t* src, uint8_t* dst,
                                                       int32_t pixels, uint8_t alpha) {
        switch (g_vectorBits.load(std::memory_order_relaxed)) {
            case 512:
                detail::Yuy2ToBgraBlocksAvx512(src, dst, pixels, alpha);
                break;
            case 256:
                detail::Yuy2ToBgraBlocksAvx2(src, dst, pixels, alpha);
                break;
            default:
                Sse2Blocks::Yuy2ToBgraBlocks16(src, dst, pixels, alpha);
        }
    }
    static VELMORA_SIMD_INLINE void BgraToYuy2Blocks16(const uint8_t* src, uint8_t* dst,
                                                       int32_t pixels) {
        switch (g_vectorBits.load(std::memory_order_relaxed)) {
            case 512:
                detail::BgraToYuy2BlocksAvx512(src, dst, pixels);
                break;
            case 256:
                detail::BgraToYuy2BlocksAvx2(src, dst, pixels);
                break;
            default:
                Sse2Blocks::BgraToYuy2Blocks16(src, dst, pixels);
        }
    }
    static VELMORA_SIMD_INLINE int32_t BgraToYuy2ScalarPairs(const uint8_t* src, uint8_t* dst,
                                                             int32_t pixels) {
        const int32_t done = g_vectorBits.load(std::memory_order_relaxed) >= 256
                                 ? detail::BgraToYuy2ScalarPairsAvx2(src, dst, pixels)
                                 : 0;
        return done +
               Sse2Blocks::BgraToYuy2ScalarPairs(src + 4 * done, dst + 2 * done, pixels - done);
    }
};

// ---- kernels, one per variant, each compiled for its instruction set ----

__attribute__((target("sse2"))) int32_t Yuy2ToBgraKernelSse2(const uint8_t* pSrc, int32_t srcStep,
                                                             uint8_t* pDst, int32_t dstStep,
                                                             int32_t width, int32_t height,
                                                             uint8_t alpha) {
    return detail::Yuy2ToBgraFrame<Sse2Blocks>(pSrc, srcStep, pDst, dstStep, width, height, alpha);
}
__attribute__((target("sse3"))) int32_t Yuy2ToBgraKernelSse3(const uint8_t* pSrc, int32_t srcStep,
                                                             uint8_t* pDst, int32_t dstStep,
                                                             int32_t width, int32_t height,
                                                             uint8_t alpha) {
    return detail::Yuy2ToBgraFrame<Sse2Blocks>(pSrc, srcStep, pDst, dstStep, width, height, alpha);
}
__attribute__((target("ssse3"))) int32_t Yuy2ToBgraKernelSsse3(const uint8_t* pSrc, int32_t srcStep,
                                                               uint8_t* pDst, int32_t dstStep,
                                                               int32_t width, int32_t height,
                                                               uint8_t alpha) {
    return detail::Yuy2ToBgraFrame<WideBlocks>(pSrc, srcStep, pDst, dstStep, width, height, alpha);
}

__attribute__((target("sse2"))) int32_t BgraToYuy2KernelSse2(const uint8_t* pSrc, int32_t srcStep,
                                                             uint8_t* pDst, int32_t dstStep,
                                                             int32_t width, int32_t height) {
    return detail::BgraToYuy2Frame<Sse2Blocks>(pSrc, srcStep, pDst, dstStep, width, height);
}
__attribute__((target("sse3"))) int32_t BgraToYuy2KernelSse3(const uint8_t* pSrc, int32_t srcStep,
                                                             uint8_t* pDst, int32_t dstStep,
                                                             int32_t width, int32_t height) {
    return detail::BgraToYuy2Frame<Sse2Blocks>(pSrc, srcStep, pDst, dstStep, width, height);
}
__attribute__((target("ssse3"))) int32_t BgraToYuy2KernelSsse3(const uint8_t* pSrc, int32_t srcStep,
                                                               uint8_t* pDst, int32_t dstStep,
                                                               int32_t width, int32_t height) {
    return detail::BgraToYuy2Frame<WideBlocks>(pSrc, srcStep, pDst, dstStep, width, height);
}

}  // namespace

int32_t Yuy2ToBgraSse2(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                       int32_t width, int32_t height, uint8_t alpha) {
    return Yuy2ToBgraKernelSse2(pSrc, srcStep, pDst, dstStep, width, height, alpha);
}
int32_t Yuy2ToBgraSse3(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                       int32_t width, int32_t height, uint8_t alpha) {
    return Yuy2ToBgraKernelSse3(pSrc, srcStep, pDst, dstStep, width, height, alpha);
}
int32_t Yuy2ToBgraSsse3(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                        int32_t width, int32_t height, uint8_t alpha) {
    return Yuy2ToBgraKernelSsse3(pSrc, srcStep, pDst, dstStep, width, height, alpha);
}

int32_t BgraToYuy2Sse2(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                       int32_t width, int32_t height) {
    return BgraToYuy2KernelSse2(pSrc, srcStep, pDst, dstStep, width, height);
}
int32_t BgraToYuy2Sse3(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                       int32_t width, int32_t height) {
    return BgraToYuy2KernelSse3(pSrc, srcStep, pDst, dstStep, width, height);
}
int32_t BgraToYuy2Ssse3(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                        int32_t width, int32_t height) {
    return BgraToYuy2KernelSsse3(pSrc, srcStep, pDst, dstStep, width, height);
}

int32_t ColorConvertVectorBits() {
    return g_vectorBits.load(std::memory_order_relaxed);
}

int32_t LimitColorConvertVectorBits(int32_t bits) {
    const int32_t width = bits >= 512 ? 512 : (bits >= 256 ? 256 : 128);
    const int32_t allowed = width < g_processorVectorBits ? width : g_processorVectorBits;
    g_vectorBits.store(allowed, std::memory_order_relaxed);
    return allowed;
}

}  // namespace velmora::av

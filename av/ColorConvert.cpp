#include "av/ColorConvert.h"

#include "av/ColorConvertRows.h"

namespace velmora::av {

// The Sse members have no vector blocks of their own: both scalar members
// are the same body, kept as two entries so that each variant has its table
// slot.

int32_t Yuy2ToBgraGeneric(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                          int32_t width, int32_t height, uint8_t alpha) {
    return detail::Yuy2ToBgraFrame<detail::NoVectorBlocks>(pSrc, srcStep, pDst, dstStep, width,
                                                           height, alpha);
}

int32_t Yuy2ToBgraSse(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                      int32_t width, int32_t height, uint8_t alpha) {
    return detail::Yuy2ToBgraFrame<detail::NoVectorBlocks>(pSrc, srcStep, pDst, dstStep, width,
                                                           height, alpha);
}

int32_t BgraToYuy2Generic(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                          int32_t width, int32_t height) {
    return detail::BgraToYuy2Frame<detail::NoVectorBlocks>(pSrc, srcStep, pDst, dstStep, width,
                                                           height);
}

int32_t BgraToYuy2Sse(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                      int32_t width, int32_t height) {
    return detail::BgraToYuy2Frame<detail::NoVectorBlocks>(pSrc, srcStep, pDst, dstStep, width,
                                                           height);
}

const Yuy2ToBgraFunction Yuy2ToBgraDispatchTable[kCpuVariantCount] = {
    Yuy2ToBgraGeneric, Yuy2ToBgraSse, Yuy2ToBgraSse2, Yuy2ToBgraSse3, Yuy2ToBgraSsse3,
};

const BgraToYuy2Function BgraToYuy2DispatchTable[kCpuVariantCount] = {
    BgraToYuy2Generic, BgraToYuy2Sse, BgraToYuy2Sse2, BgraToYuy2Sse3, BgraToYuy2Ssse3,
};

int32_t Yuy2ToBgraDispatch(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                           int32_t width, int32_t height, uint8_t alpha) {
    return Yuy2ToBgraDispatchTable[g_nCpuClass.load(std::memory_order_relaxed)](
        pSrc, srcStep, pDst, dstStep, width, height, alpha);
}

int32_t BgraToYuy2Dispatch(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                           int32_t width, int32_t height) {
    return BgraToYuy2DispatchTable[g_nCpuClass.load(std::memory_order_relaxed)](
        pSrc, srcStep, pDst, dstStep, width, height);
}

}  // namespace velmora::av

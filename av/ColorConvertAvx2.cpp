// Compiled with -mavx2 (CMakeLists.txt); reached only through the Ssse3
// members on processors with AVX2.
#include "av/ColorConvertSimd.h"
#include "av/ColorConvertWide.h"

#if !defined(__AVX2__)
#error "this file must be compiled for AVX2"
#endif

namespace velmora::av::detail {

void Yuy2ToBgraBlocksAvx2(const uint8_t* src, uint8_t* dst, int32_t pixels, uint8_t alpha) {
    Yuy2ToBgraRun<V256>(src, dst, pixels, alpha);
}

void BgraToYuy2BlocksAvx2(const uint8_t* src, uint8_t* dst, int32_t pixels) {
    BgraToYuy2Run<V256, Yuy2WordsVector>(src, dst, pixels);
}

int32_t BgraToYuy2ScalarPairsAvx2(const uint8_t* src, uint8_t* dst, int32_t pixels) {
    return BgraToYuy2Run<V256, Yuy2WordsScalar>(src, dst, pixels);
}

}  // namespace velmora::av::detail

// Compiled with -mavx512f -mavx512bw (CMakeLists.txt); reached only through
// the Ssse3 members on processors with AVX-512BW. A run ends with 256-bit
// steps where a 512-bit one no longer fits. (The scalar pairs of a row are
// fewer than 32 pixels, so they keep to the 256-bit body.)

// GCC 12's AVX-512 intrinsics fill their unused pass-through operand from
// itself, which -Wmaybe-uninitialized reports wherever they are inlined.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "av/ColorConvertSimd.h"
#include "av/ColorConvertWide.h"

#if !defined(__AVX512BW__)
#error "this file must be compiled for AVX-512BW"
#endif

namespace velmora::av::detail {

void Yuy2ToBgraBlocksAvx512(const uint8_t* src, uint8_t* dst, int32_t pixels, uint8_t alpha) {
    const int32_t done = Yuy2ToBgraRun<V512>(src, dst, pixels, alpha);
    Yuy2ToBgraRun<V256>(src + 2 * done, dst + 4 * done, pixels - done, alpha);
}

void BgraToYuy2BlocksAvx512(const uint8_t* src, uint8_t* dst, int32_t pixels) {
    const int32_t done = BgraToYuy2Run<V512, Yuy2WordsVector>(src, dst, pixels);
    BgraToYuy2Run<V256, Yuy2WordsVector>(src + 4 * done, dst + 2 * done, pixels - done);
}

}  // namespace velmora::av::detail

// ResizeYuv422 by nearest, linear, cubic and super-sampling, 1920 x 1080 ->
// 1280 x 720 and (interpolating methods) 720 x 576 -> 1920 x 1080, in every
// processor variant, against libswscale's YUYV422 -> YUYV422 with the
// matching flag when it is installed, and a plain copy of the bytes the
// resize touches.
#include "ResizeBenchSupport.h"
#include "resize/ResizeYuv422.h"

namespace {

using namespace velmora::bench;

constexpr ResizeSizes kSizes[] = {{1920, 1080, 1280, 720}, {720, 576, 1920, 1080}};

// Arguments: variant, interpolation code, size index.
void BM_ResizeYuv422(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(2)], 2);
    RunResize(state, velmora::resize::ResizeYuv422DispatchTable[state.range(0)], im,
              static_cast<int32_t>(state.range(1)));
}
BENCHMARK(BM_ResizeYuv422)
    ->ArgsProduct({{0, 1, 2, 3, 4},
                   {velmora::resize::INTERP_NEAREST, velmora::resize::INTERP_LINEAR,
                    velmora::resize::INTERP_CUBIC},
                   {0, 1}});
BENCHMARK(BM_ResizeYuv422)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {velmora::resize::INTERP_SUPERSAMPLE}, {0}});

void BM_Yuv422MemcpyTouched(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(0)], 2);
    RunMemcpyTouched(state, im);
}
BENCHMARK(BM_Yuv422MemcpyTouched)->Arg(0)->Arg(1);

#if defined(VELMORA_BENCH_SWSCALE)
// Arguments: interpolation code (its matching flag), size index.
void BM_SwscaleYuv422(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(1)], 2);
    RunSwscale(state, im, AV_PIX_FMT_YUYV422, SwscaleFlags(state.range(0)));
}
BENCHMARK(BM_SwscaleYuv422)
    ->ArgsProduct({{velmora::resize::INTERP_NEAREST, velmora::resize::INTERP_LINEAR,
                    velmora::resize::INTERP_CUBIC},
                   {0, 1}});
BENCHMARK(BM_SwscaleYuv422)->Args({velmora::resize::INTERP_SUPERSAMPLE, 0});
#endif

}  // namespace

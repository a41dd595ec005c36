// ResizeColor4 by super-sampling (8-bit, 3 of 4 channels), 1920 x 1080 ->
// 1280 x 720 and -> 960 x 540, in every processor variant, against OpenCV's
// INTER_AREA (one thread) and libswscale's SWS_AREA when they are installed,
// and a plain copy of the bytes the resize touches (source plus destination).
#include "ResizeBenchSupport.h"
#include "resize/ResizeColor4.h"

namespace {

using namespace velmora::bench;

constexpr ResizeSizes kSizes[] = {{1920, 1080, 1280, 720}, {1920, 1080, 960, 540}};

// Arguments: variant, size index.
void BM_ResizeColor4SuperSample(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(1)], 4);
    RunResize(state, velmora::resize::ResizeColor4DispatchTable[state.range(0)], im,
              velmora::resize::INTERP_SUPERSAMPLE);
}
BENCHMARK(BM_ResizeColor4SuperSample)->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}});

void BM_SuperSampleMemcpyTouched(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(0)], 4);
    RunMemcpyTouched(state, im);
}
BENCHMARK(BM_SuperSampleMemcpyTouched)->Arg(0)->Arg(1);

#if defined(VELMORA_BENCH_OPENCV)
void BM_OpenCvArea(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(0)], 4);
    RunOpenCv(state, im, cv::INTER_AREA);
}
BENCHMARK(BM_OpenCvArea)->Arg(0)->Arg(1);
#endif

#if defined(VELMORA_BENCH_SWSCALE)
void BM_SwscaleArea(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(0)], 4);
    RunSwscale(state, im, AV_PIX_FMT_BGRA, SWS_AREA);
}
BENCHMARK(BM_SwscaleArea)->Arg(0)->Arg(1);
#endif

}  // namespace

// ResizeColor4 (8-bit, 3 of 4 channels) by nearest-neighbour, linear, cubic
// and Lanczos interpolation, 1920 x 1080 -> 1280 x 720 and 720 x 576 -> 1920 x 1080, in
// every processor variant, against OpenCV's cv::resize (one thread) and
// libswscale when they are installed, and a plain copy of the bytes the
// resize touches (source plus destination).
#include "ResizeBenchSupport.h"
#include "resize/ResizeColor4.h"

namespace {

using namespace velmora::bench;

constexpr ResizeSizes kSizes[] = {{1920, 1080, 1280, 720}, {720, 576, 1920, 1080}};

// Arguments: variant, interpolation code, size index.
void BM_ResizeColor4(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(2)], 4);
    RunResize(state, velmora::resize::ResizeColor4DispatchTable[state.range(0)], im,
              static_cast<int32_t>(state.range(1)));
}
BENCHMARK(BM_ResizeColor4)
    ->ArgsProduct({{0, 1, 2, 3, 4},
                   {velmora::resize::INTERP_NEAREST, velmora::resize::INTERP_LINEAR,
                    velmora::resize::INTERP_CUBIC, velmora::resize::INTERP_LANCZOS},
                   {0, 1}});

void BM_ResizeMemcpyTouched(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(0)], 4);
    RunMemcpyTouched(state, im);
}
BENCHMARK(BM_ResizeMemcpyTouched)->Arg(0)->Arg(1);

#if defined(VELMORA_BENCH_OPENCV)
// Arguments: the library's interpolation code; size index.
void BM_OpenCvResize(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(1)], 4);
    RunOpenCv(state, im, OpenCvMode(state.range(0)));
}
BENCHMARK(BM_OpenCvResize)->ArgsProduct({{1, 2, 4, 16}, {0, 1}});
#endif

#if defined(VELMORA_BENCH_SWSCALE)
void BM_SwscaleResize(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(1)], 4);
    RunSwscale(state, im, AV_PIX_FMT_BGRA, SwscaleFlags(state.range(0)));
}
BENCHMARK(BM_SwscaleResize)->ArgsProduct({{1, 2, 4, 16}, {0, 1}});
#endif

}  // namespace

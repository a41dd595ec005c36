// The region-of-interest resize, 1920 x 1080 -> 1280 x 720 and 720 x 576 ->
// 1920 x 1080, in every processor variant: ResizeColor4 (8-bit, 3 of 4
// channels) by nearest-neighbour, linear, cubic and Lanczos interpolation,
// and linear 16u and 32f images of four samples, all four resized. Each case
// runs beside OpenCV's cv::resize (one thread) of as many channels when it is
// installed, its output checked, and reports the ratio "vs_opencv"; the
// ResizeColor4 cases also beside libswscale's BGRA resize ("vs_swscale").
// A plain copy of the bytes the resize touches (source plus destination) is
// the floor.
#include "ResizeBenchSupport.h"
#include "resize/ResizeColor4.h"
#include "resize/ResizeInterpolate.h"
#include "resize/ResizeKernelTable.h"

namespace {

using namespace velmora::bench;
using namespace velmora::resize;

constexpr ResizeSizes kSizes[] = {{1920, 1080, 1280, 720}, {720, 576, 1920, 1080}};

// Arguments: variant, interpolation code, size index.
void BM_ResizeColor4(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(2)], 4);
    const ResizeSizes& s = im.size;
    const auto code = static_cast<int32_t>(state.range(1));
    auto library = [&, resize = ResizeColor4DispatchTable[state.range(0)]] {
        return resize(im.src.data(), s.srcW, s.srcH, 4 * s.srcW, 0, 0, s.srcW, s.srcH,
                      im.dst.data(), 4 * s.dstW, s.dstW, s.dstH,
                      static_cast<double>(s.dstW) / s.srcW, static_cast<double>(s.dstH) / s.srcH,
                      code);
    };
    // The library's Lanczos weighs 6 taps, OpenCV's INTER_LANCZOS4 8.
    if (code == INTERP_LANCZOS) state.SetLabel("ours 6-tap Lanczos, OpenCV 8-tap Lanczos4");
    std::vector<PeerCall> peers = OpenCvPeers(im, RESIZE_DATA_8U, 3, code);
#if defined(VELMORA_BENCH_SWSCALE)
    peers.push_back(SwscalePeer(im, AV_PIX_FMT_BGRA, code, 3));
#endif
    RunResizeBesidePeers(state, im, library, std::move(peers));
}
BENCHMARK(BM_ResizeColor4)
    ->ArgsProduct({{0, 1, 2, 3, 4},
                   {INTERP_NEAREST, INTERP_LINEAR, INTERP_CUBIC, INTERP_LANCZOS},
                   {0, 1}});

constexpr decltype(&ResizeInterpolate_Generic) kInterpolate[] = {
    ResizeInterpolate_Generic, ResizeInterpolate_Sse, ResizeInterpolate_Sse2,
    ResizeInterpolate_Sse3, ResizeInterpolate_Ssse3};

// Arguments: variant, data type (16u, 32f), size index.
void BM_ResizeLinearFourOfFour(benchmark::State& state) {
    ResizeImages im = FourSampleImages(kSizes[state.range(2)], state.range(1));
    const ResizeSizes& s = im.size;
    const auto type = static_cast<int32_t>(state.range(1));
    auto library = [&, resize = kInterpolate[state.range(0)]] {
        return resize(im.src.data(), s.srcW, s.srcH, im.pixelBytes * s.srcW, 0, 0, s.srcW, s.srcH,
                      im.dst.data(), im.pixelBytes * s.dstW, s.dstW, s.dstH,
                      static_cast<double>(s.dstW) / s.srcW, static_cast<double>(s.dstH) / s.srcH,
                      0.0, 0.0, 4, 4, type, 0, INTERP_LINEAR, 1);
    };
    RunResizeBesidePeers(state, im, library, OpenCvPeers(im, type, 4, INTERP_LINEAR));
}
BENCHMARK(BM_ResizeLinearFourOfFour)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {RESIZE_DATA_16U, RESIZE_DATA_32F}, {0, 1}});

void Floor_ResizeMemcpyTouched(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(0)], 4);
    RunMemcpyTouched(state, im);
}
BENCHMARK(Floor_ResizeMemcpyTouched)->Arg(0)->Arg(1);

}  // namespace

// ResizeYuv422 by nearest, linear, cubic and super-sampling, 1920 x 1080 ->
// 1280 x 720 and (interpolating methods) 720 x 576 -> 1920 x 1080, in every
// processor variant, and a plain copy of the bytes the resize touches.
// BM_Yuv422BesidePeers times the library and libswscale's YUYV422 ->
// YUYV422 with the matching flag (when it is installed) in the same
// iterations, on one clock, the peer's output checked.
#include <utility>
#include <vector>

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

void Floor_Yuv422MemcpyTouched(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(0)], 2);
    RunMemcpyTouched(state, im);
}
BENCHMARK(Floor_Yuv422MemcpyTouched)->Arg(0)->Arg(1);

// Arguments: variant, interpolation code, size index. Beside libswscale's
// YUYV422 -> YUYV422 with the matching flag (packed to packed, as the
// library works).
void BM_Yuv422BesidePeers(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(2)], 2);
    const auto code = static_cast<int32_t>(state.range(1));
    const ResizeSizes& s = im.size;
    std::vector<PeerCall> peers;
#if defined(VELMORA_BENCH_SWSCALE)
    peers.push_back(SwscalePeer(im, AV_PIX_FMT_YUYV422, code, 2));
#endif
    RunResizeBesidePeers(
        state, im,
        [&, resize = velmora::resize::ResizeYuv422DispatchTable[state.range(0)]] {
            return resize(im.src.data(), s.srcW, s.srcH, 2 * s.srcW, 0, 0, s.srcW, s.srcH,
                          im.dst.data(), 2 * s.dstW, s.dstW, s.dstH,
                          static_cast<double>(s.dstW) / s.srcW,
                          static_cast<double>(s.dstH) / s.srcH, code);
        },
        std::move(peers));
}
BENCHMARK(BM_Yuv422BesidePeers)
    ->ArgsProduct({{2, 3, 4},
                   {velmora::resize::INTERP_NEAREST, velmora::resize::INTERP_LINEAR,
                    velmora::resize::INTERP_CUBIC},
                   {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Yuv422BesidePeers)
    ->ArgsProduct({{2, 3, 4}, {velmora::resize::INTERP_SUPERSAMPLE}, {0}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

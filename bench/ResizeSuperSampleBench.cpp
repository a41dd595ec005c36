// The region-of-interest resize by super-sampling, 1920 x 1080 -> 1280 x 720
// and -> 960 x 540, in every processor variant: ResizeColor4 (8-bit, 3 of 4
// channels) and 16u and 32f images of four samples, all four resized; one-
// sample 8u and 32f images reduced twelvefold and more. Each case runs
// beside OpenCV's INTER_AREA (one thread) of as many channels when it is
// installed, its output checked, and reports the ratio "vs_opencv"; the
// ResizeColor4 cases also beside libswscale's SWS_AREA ("vs_swscale"). A
// plain copy of the bytes the resize touches (source plus destination) is
// the floor.
#include "ResizeBenchSupport.h"
#include "resize/ResizeColor4.h"
#include "resize/ResizeKernelTable.h"
#include "resize/ResizeSuperSample.h"

namespace {

using namespace velmora::bench;
using namespace velmora::resize;

constexpr ResizeSizes kSizes[] = {{1920, 1080, 1280, 720}, {1920, 1080, 960, 540}};

// Arguments: variant, size index.
void BM_ResizeColor4SuperSample(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(1)], 4);
    const ResizeSizes& s = im.size;
    auto library = [&, resize = ResizeColor4DispatchTable[state.range(0)]] {
        return resize(im.src.data(), s.srcW, s.srcH, 4 * s.srcW, 0, 0, s.srcW, s.srcH,
                      im.dst.data(), 4 * s.dstW, s.dstW, s.dstH,
                      static_cast<double>(s.dstW) / s.srcW, static_cast<double>(s.dstH) / s.srcH,
                      INTERP_SUPERSAMPLE);
    };
    std::vector<PeerCall> peers = OpenCvPeers(im, RESIZE_DATA_8U, 3, INTERP_SUPERSAMPLE);
#if defined(VELMORA_BENCH_SWSCALE)
    peers.push_back(SwscalePeer(im, AV_PIX_FMT_BGRA, INTERP_SUPERSAMPLE, 3));
#endif
    RunResizeBesidePeers(state, im, library, std::move(peers));
}
BENCHMARK(BM_ResizeColor4SuperSample)->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}});

constexpr decltype(&ResizeSuperSample_Generic) kSuperSample[] = {
    ResizeSuperSample_Generic, ResizeSuperSample_Sse, ResizeSuperSample_Sse2,
    ResizeSuperSample_Sse3, ResizeSuperSample_Ssse3};

// Arguments: variant, data type (16u, 32f), size index.
void BM_ResizeSuperSampleFourOfFour(benchmark::State& state) {
    ResizeImages im = FourSampleImages(kSizes[state.range(2)], state.range(1));
    const ResizeSizes& s = im.size;
    const auto type = static_cast<int32_t>(state.range(1));
    auto library = [&, resize = kSuperSample[state.range(0)]] {
        return resize(im.src.data(), s.srcW, s.srcH, im.pixelBytes * s.srcW, 0, 0, s.srcW, s.srcH,
                      im.dst.data(), im.pixelBytes * s.dstW, s.dstW, s.dstH,
                      static_cast<double>(s.dstW) / s.srcW, static_cast<double>(s.dstH) / s.srcH, 4,
                      4, type, 0);
    };
    RunResizeBesidePeers(state, im, library, OpenCvPeers(im, type, 4, INTERP_SUPERSAMPLE));
}
BENCHMARK(BM_ResizeSuperSampleFourOfFour)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {RESIZE_DATA_16U, RESIZE_DATA_32F}, {0, 1}});

// Large reductions of one-sample images, where a block holds 12 or 12.8
// pixels a row (its sums packed): 1920 x 1080 -> 160 x 90 and -> 150 x 84;
// and a reduction to 2/3, where the output pass weighs most.
constexpr ResizeSizes kOneSampleSizes[] = {
    {1920, 1080, 160, 90}, {1920, 1080, 150, 84}, {1920, 1080, 1280, 720}};

// Arguments: variant, data type (8u, 32f), size index.
void BM_ResizeSuperSampleOneSample(benchmark::State& state) {
    const auto type = static_cast<int32_t>(state.range(1));
    ResizeImages im(kOneSampleSizes[state.range(2)], type == RESIZE_DATA_8U ? 1 : 4);
    const ResizeSizes& s = im.size;
    if (type == RESIZE_DATA_32F) {
        for (size_t k = 0; k + 4 <= im.src.size(); k += 4) {
            const float v = static_cast<float>(im.src[k] * 100 + im.src[k + 1]) / 100.0f;
            std::memcpy(im.src.data() + k, &v, 4);
        }
    }
    auto library = [&, resize = kSuperSample[state.range(0)]] {
        return resize(im.src.data(), s.srcW, s.srcH, im.pixelBytes * s.srcW, 0, 0, s.srcW, s.srcH,
                      im.dst.data(), im.pixelBytes * s.dstW, s.dstW, s.dstH,
                      static_cast<double>(s.dstW) / s.srcW, static_cast<double>(s.dstH) / s.srcH, 1,
                      1, type, 0);
    };
    RunResizeBesidePeers(state, im, library, OpenCvPeers(im, type, 1, INTERP_SUPERSAMPLE));
}
BENCHMARK(BM_ResizeSuperSampleOneSample)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {RESIZE_DATA_8U, RESIZE_DATA_32F}, {0, 1, 2}});

void Floor_SuperSampleMemcpyTouched(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(0)], 4);
    RunMemcpyTouched(state, im);
}
BENCHMARK(Floor_SuperSampleMemcpyTouched)->Arg(0)->Arg(1);

}  // namespace

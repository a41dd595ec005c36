// ResizeYuv422 by nearest, linear, cubic and super-sampling, 1920 x 1080 ->
// 1280 x 720 and (interpolating methods) 720 x 576 -> 1920 x 1080, in every
// processor variant, against libswscale's YUYV422 -> YUYV422 with the
// matching flag when it is installed, and a plain copy of the bytes the
// resize touches.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "resize/ImageStatus.h"
#include "resize/ResizeYuv422.h"

#if defined(VELMORA_BENCH_SWSCALE)
extern "C" {
#include <libswscale/swscale.h>
}
#endif

namespace {

struct Sizes {
    int srcW, srcH, dstW, dstH;
};
constexpr Sizes kSizes[] = {{1920, 1080, 1280, 720}, {720, 576, 1920, 1080}};

struct Images {
    explicit Images(const Sizes& s)
        : size(s),
          src(static_cast<size_t>(s.srcW) * s.srcH * 2),
          dst(static_cast<size_t>(s.dstW) * s.dstH * 2) {
        std::mt19937 random(7);
        for (auto& b : src)
            b = static_cast<uint8_t>(random());
    }
    Sizes size;
    std::vector<uint8_t> src, dst;
};

void Finish(benchmark::State& state, const Sizes& s) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * s.dstW * s.dstH);
}

// Arguments: variant, interpolation code, size index.
void BM_ResizeYuv422(benchmark::State& state) {
    Images im(kSizes[state.range(2)]);
    const Sizes& s = im.size;
    const auto resize = velmora::resize::ResizeYuv422DispatchTable[state.range(0)];
    const auto code = static_cast<int32_t>(state.range(1));
    for (auto _ : state) {
        const int32_t status =
            resize(im.src.data(), s.srcW, s.srcH, 2 * s.srcW, 0, 0, s.srcW, s.srcH, im.dst.data(),
                   2 * s.dstW, s.dstW, s.dstH, static_cast<double>(s.dstW) / s.srcW,
                   static_cast<double>(s.dstH) / s.srcH, code);
        if (status != velmora::resize::STS_OK) state.SkipWithError("resize failed");
        benchmark::ClobberMemory();
    }
    Finish(state, s);
}
BENCHMARK(BM_ResizeYuv422)
    ->ArgsProduct({{0, 1, 2, 3, 4},
                   {velmora::resize::INTERP_NEAREST, velmora::resize::INTERP_LINEAR,
                    velmora::resize::INTERP_CUBIC},
                   {0, 1}});
BENCHMARK(BM_ResizeYuv422)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {velmora::resize::INTERP_SUPERSAMPLE}, {0}});

void BM_Yuv422MemcpyTouched(benchmark::State& state) {
    Images im(kSizes[state.range(0)]);
    std::vector<uint8_t> sourceCopy(im.src.size()), destinationFill(im.dst.size(), 1);
    for (auto _ : state) {
        std::memcpy(sourceCopy.data(), im.src.data(), im.src.size());
        std::memcpy(im.dst.data(), destinationFill.data(), im.dst.size());
        benchmark::ClobberMemory();
    }
    Finish(state, im.size);
}
BENCHMARK(BM_Yuv422MemcpyTouched)->Arg(0)->Arg(1);

#if defined(VELMORA_BENCH_SWSCALE)
// Arguments: interpolation code (its matching flag), size index.
void BM_SwscaleYuv422(benchmark::State& state) {
    Images im(kSizes[state.range(1)]);
    const Sizes& s = im.size;
    const int flags = state.range(0) == velmora::resize::INTERP_NEAREST  ? SWS_POINT
                      : state.range(0) == velmora::resize::INTERP_LINEAR ? SWS_BILINEAR
                      : state.range(0) == velmora::resize::INTERP_CUBIC  ? SWS_BICUBIC
                                                                         : SWS_AREA;
    SwsContext* ctx = sws_getContext(s.srcW, s.srcH, AV_PIX_FMT_YUYV422, s.dstW, s.dstH,
                                     AV_PIX_FMT_YUYV422, flags, nullptr, nullptr, nullptr);
    const uint8_t* srcPlanes[1] = {im.src.data()};
    uint8_t* dstPlanes[1] = {im.dst.data()};
    const int srcStride[1] = {2 * s.srcW};
    const int dstStride[1] = {2 * s.dstW};
    for (auto _ : state) {
        sws_scale(ctx, srcPlanes, srcStride, 0, s.srcH, dstPlanes, dstStride);
        benchmark::ClobberMemory();
    }
    sws_freeContext(ctx);
    Finish(state, s);
}
BENCHMARK(BM_SwscaleYuv422)
    ->ArgsProduct({{velmora::resize::INTERP_NEAREST, velmora::resize::INTERP_LINEAR,
                    velmora::resize::INTERP_CUBIC},
                   {0, 1}});
BENCHMARK(BM_SwscaleYuv422)->Args({velmora::resize::INTERP_SUPERSAMPLE, 0});
#endif

}  // namespace

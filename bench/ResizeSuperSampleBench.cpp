// ResizeColor4 by super-sampling (8-bit, 3 of 4 channels), 1920 x 1080 ->
// 1280 x 720 and -> 960 x 540, in every processor variant, against OpenCV's
// INTER_AREA (one thread) and libswscale's SWS_AREA when they are installed,
// and a plain copy of the bytes the resize touches (source plus destination).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "resize/ImageStatus.h"
#include "resize/ResizeColor4.h"

#if defined(VELMORA_BENCH_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif
#if defined(VELMORA_BENCH_SWSCALE)
extern "C" {
#include <libswscale/swscale.h>
}
#endif

namespace {

struct Sizes {
    int srcW, srcH, dstW, dstH;
};
constexpr Sizes kSizes[] = {{1920, 1080, 1280, 720}, {1920, 1080, 960, 540}};

struct Images {
    explicit Images(const Sizes& s)
        : size(s),
          src(static_cast<size_t>(s.srcW) * s.srcH * 4),
          dst(static_cast<size_t>(s.dstW) * s.dstH * 4) {
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

// Arguments: variant, size index.
void BM_ResizeColor4SuperSample(benchmark::State& state) {
    Images im(kSizes[state.range(1)]);
    const Sizes& s = im.size;
    const auto resize = velmora::resize::ResizeColor4DispatchTable[state.range(0)];
    for (auto _ : state) {
        const int32_t status =
            resize(im.src.data(), s.srcW, s.srcH, 4 * s.srcW, 0, 0, s.srcW, s.srcH, im.dst.data(),
                   4 * s.dstW, s.dstW, s.dstH, static_cast<double>(s.dstW) / s.srcW,
                   static_cast<double>(s.dstH) / s.srcH, velmora::resize::INTERP_SUPERSAMPLE);
        if (status != velmora::resize::STS_OK) state.SkipWithError("resize failed");
        benchmark::ClobberMemory();
    }
    Finish(state, s);
}
BENCHMARK(BM_ResizeColor4SuperSample)->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}});

void BM_SuperSampleMemcpyTouched(benchmark::State& state) {
    Images im(kSizes[state.range(0)]);
    std::vector<uint8_t> sourceCopy(im.src.size()), destinationFill(im.dst.size(), 1);
    for (auto _ : state) {
        std::memcpy(sourceCopy.data(), im.src.data(), im.src.size());
        std::memcpy(im.dst.data(), destinationFill.data(), im.dst.size());
        benchmark::ClobberMemory();
    }
    Finish(state, im.size);
}
BENCHMARK(BM_SuperSampleMemcpyTouched)->Arg(0)->Arg(1);

#if defined(VELMORA_BENCH_OPENCV)
void BM_OpenCvArea(benchmark::State& state) {
    Images im(kSizes[state.range(0)]);
    const Sizes& s = im.size;
    cv::setNumThreads(1);
    const cv::Mat src(s.srcH, s.srcW, CV_8UC4, im.src.data());
    cv::Mat dst(s.dstH, s.dstW, CV_8UC4, im.dst.data());
    for (auto _ : state) {
        cv::resize(src, dst, dst.size(), 0, 0, cv::INTER_AREA);
        benchmark::ClobberMemory();
    }
    Finish(state, s);
}
BENCHMARK(BM_OpenCvArea)->Arg(0)->Arg(1);
#endif

#if defined(VELMORA_BENCH_SWSCALE)
void BM_SwscaleArea(benchmark::State& state) {
    Images im(kSizes[state.range(0)]);
    const Sizes& s = im.size;
    SwsContext* ctx = sws_getContext(s.srcW, s.srcH, AV_PIX_FMT_BGRA, s.dstW, s.dstH,
                                     AV_PIX_FMT_BGRA, SWS_AREA, nullptr, nullptr, nullptr);
    const uint8_t* srcPlanes[1] = {im.src.data()};
    uint8_t* dstPlanes[1] = {im.dst.data()};
    const int srcStride[1] = {4 * s.srcW};
    const int dstStride[1] = {4 * s.dstW};
    for (auto _ : state) {
        sws_scale(ctx, srcPlanes, srcStride, 0, s.srcH, dstPlanes, dstStride);
        benchmark::ClobberMemory();
    }
    sws_freeContext(ctx);
    Finish(state, s);
}
BENCHMARK(BM_SwscaleArea)->Arg(0)->Arg(1);
#endif

}  // namespace

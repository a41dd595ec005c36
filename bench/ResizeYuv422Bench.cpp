// ResizeYuv422 by nearest, linear, cubic and super-sampling, 1920 x 1080 ->
// 1280 x 720 and (interpolating methods) 720 x 576 -> 1920 x 1080, in every
// processor variant, against libswscale's YUYV422 -> YUYV422 with the
// matching flag when it is installed, and a plain copy of the bytes the
// resize touches. BM_Yuv422BesidePeers times the library and its peers in
// the same iterations (thread CPU time) and gives each peer's ratio.
#include <time.h>

#include <functional>
#include <string>
#include <utility>

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

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

struct Peer {
    std::string name;
    std::function<void()> run;
    double ms = 0;
};

#if defined(VELMORA_BENCH_OPENCV)
// The source split into its Y, U and V planes, and planes of the output
// size: OpenCV resizes each plane on its own.
struct Yuv422Planes {
    explicit Yuv422Planes(const ResizeImages& im)
        : y(im.size.srcH, im.size.srcW, CV_8UC1),
          u(im.size.srcH, im.size.srcW / 2, CV_8UC1),
          v(im.size.srcH, im.size.srcW / 2, CV_8UC1),
          outY(im.size.dstH, im.size.dstW, CV_8UC1),
          outU(im.size.dstH, im.size.dstW / 2, CV_8UC1),
          outV(im.size.dstH, im.size.dstW / 2, CV_8UC1) {
        const uint8_t* s = im.src.data();
        for (int r = 0; r < im.size.srcH; ++r) {
            for (int p = 0; p < im.size.srcW / 2; ++p, s += 4) {
                y.at<uint8_t>(r, 2 * p) = s[0];
                u.at<uint8_t>(r, p) = s[1];
                y.at<uint8_t>(r, 2 * p + 1) = s[2];
                v.at<uint8_t>(r, p) = s[3];
            }
        }
    }
    void Resize(int mode) {
        cv::resize(y, outY, outY.size(), 0, 0, mode);
        cv::resize(u, outU, outU.size(), 0, 0, mode);
        cv::resize(v, outV, outV.size(), 0, 0, mode);
    }
    cv::Mat y, u, v, outY, outU, outV;
};
#endif

// Arguments: variant, interpolation code, size index.
void BM_Yuv422BesidePeers(benchmark::State& state) {
    ResizeImages im(kSizes[state.range(2)], 2);
    const auto code = static_cast<int32_t>(state.range(1));
    const ResizeSizes& s = im.size;
    const auto resize = velmora::resize::ResizeYuv422DispatchTable[state.range(0)];
    std::vector<Peer> peers;
#if defined(VELMORA_BENCH_OPENCV)
    cv::setNumThreads(1);
    Yuv422Planes planes(im);
    const int mode = OpenCvMode(code);
    peers.push_back({"opencv_planes", [&] { planes.Resize(mode); }});
#endif
#if defined(VELMORA_BENCH_SWSCALE)
    ResizeImages swsImages(s, 2);
    SwsContext* ctx =
        sws_getContext(s.srcW, s.srcH, AV_PIX_FMT_YUYV422, s.dstW, s.dstH, AV_PIX_FMT_YUYV422,
                       SwscaleFlags(code), nullptr, nullptr, nullptr);
    const uint8_t* srcPlanes[1] = {im.src.data()};
    uint8_t* dstPlanes[1] = {swsImages.dst.data()};
    const int srcStride[1] = {2 * s.srcW};
    const int dstStride[1] = {2 * s.dstW};
    peers.push_back({"swscale", [&] {
                         sws_scale(ctx, srcPlanes, srcStride, 0, s.srcH, dstPlanes, dstStride);
                     }});
#endif
    double oursMs = 0;
    for (auto _ : state) {
        const double start = ThreadCpuMs();
        const int32_t status =
            resize(im.src.data(), s.srcW, s.srcH, 2 * s.srcW, 0, 0, s.srcW, s.srcH, im.dst.data(),
                   2 * s.dstW, s.dstW, s.dstH, static_cast<double>(s.dstW) / s.srcW,
                   static_cast<double>(s.dstH) / s.srcH, code);
        oursMs += ThreadCpuMs() - start;
        if (status != velmora::resize::STS_OK) state.SkipWithError("resize failed");
        state.PauseTiming();
        for (Peer& peer : peers) {
            const double peerStart = ThreadCpuMs();
            peer.run();
            peer.ms += ThreadCpuMs() - peerStart;
        }
        benchmark::ClobberMemory();
        state.ResumeTiming();
    }
#if defined(VELMORA_BENCH_SWSCALE)
    sws_freeContext(ctx);
#endif
    const auto n = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = oursMs / n;
    for (const Peer& peer : peers) {
        state.counters[peer.name + "_ms"] = peer.ms / n;
        state.counters["ours/" + peer.name] = oursMs / peer.ms;
    }
    FinishResize(state, s);
}
BENCHMARK(BM_Yuv422BesidePeers)
    ->ArgsProduct({{2, 3, 4}, {velmora::resize::INTERP_CUBIC}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Yuv422BesidePeers)
    ->ArgsProduct({{2, 3, 4}, {velmora::resize::INTERP_SUPERSAMPLE}, {0}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

#pragma once

// What the resize benchmarks share: a source of random bytes and its
// destination, the library call of one dispatch-table entry, a plain copy of
// the bytes a resize touches (source plus destination), and the optional
// peers OpenCV (one thread) and libswscale on the same images.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <random>
#include <type_traits>
#include <vector>

#include "resize/ImageStatus.h"
#include "resize/ResizeKernelTable.h"

#if defined(VELMORA_BENCH_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif
#if defined(VELMORA_BENCH_SWSCALE)
extern "C" {
#include <libswscale/swscale.h>
}
#endif

namespace velmora::bench {

struct ResizeSizes {
    int srcW, srcH, dstW, dstH;
};

struct ResizeImages {
    ResizeImages(const ResizeSizes& s, int bytesPerPixel)
        : size(s),
          pixelBytes(bytesPerPixel),
          src(static_cast<size_t>(s.srcW) * s.srcH * bytesPerPixel),
          dst(static_cast<size_t>(s.dstW) * s.dstH * bytesPerPixel) {
        std::mt19937 random(7);
        for (auto& b : src)
            b = static_cast<uint8_t>(random());
    }
    ResizeSizes size;
    int pixelBytes;
    std::vector<uint8_t> src, dst;
};

inline void FinishResize(benchmark::State& state, const ResizeSizes& s) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * s.dstW * s.dstH);
}

// One whole-image call of a dispatch-table entry (ResizeColor4 or
// ResizeYuv422: both take the same arguments).
template <typename Resize>
void RunResize(benchmark::State& state, Resize resize, ResizeImages& im, int32_t code) {
    const ResizeSizes& s = im.size;
    for (auto _ : state) {
        const int32_t status = resize(im.src.data(), s.srcW, s.srcH, im.pixelBytes * s.srcW, 0, 0,
                                      s.srcW, s.srcH, im.dst.data(), im.pixelBytes * s.dstW, s.dstW,
                                      s.dstH, static_cast<double>(s.dstW) / s.srcW,
                                      static_cast<double>(s.dstH) / s.srcH, code);
        if (status != velmora::resize::STS_OK) state.SkipWithError("resize failed");
        benchmark::ClobberMemory();
    }
    FinishResize(state, s);
}

// The resize reads the whole source and writes the whole destination: one
// copy of each size.
inline void RunMemcpyTouched(benchmark::State& state, ResizeImages& im) {
    std::vector<uint8_t> sourceCopy(im.src.size()), destinationFill(im.dst.size(), 1);
    for (auto _ : state) {
        std::memcpy(sourceCopy.data(), im.src.data(), im.src.size());
        std::memcpy(im.dst.data(), destinationFill.data(), im.dst.size());
        benchmark::ClobberMemory();
    }
    FinishResize(state, im.size);
}

// CPU time of the calling thread, in seconds.
inline double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The library call under the benchmark's timing, each followed by one peer
// call outside it, so that both see the same machine load: the counter
// "vs_peer" is the library's CPU time over the peer's (below 1: the library
// is faster). A null peer (none installed) runs the library alone.
template <typename Library, typename Peer>
void RunBesidePeer(benchmark::State& state, const ResizeSizes& s, Library library, Peer peer) {
    double librarySeconds = 0, peerSeconds = 0;
    for (auto _ : state) {
        const double start = ThreadCpuSeconds();
        if (library() != velmora::resize::STS_OK) state.SkipWithError("resize failed");
        benchmark::ClobberMemory();
        librarySeconds += ThreadCpuSeconds() - start;
        if constexpr (!std::is_null_pointer_v<Peer>) {
            state.PauseTiming();
            const double peerStart = ThreadCpuSeconds();
            peer();
            benchmark::ClobberMemory();
            peerSeconds += ThreadCpuSeconds() - peerStart;
            state.ResumeTiming();
        }
    }
    if (peerSeconds > 0) state.counters["vs_peer"] = librarySeconds / peerSeconds;
    FinishResize(state, s);
}

// Images of four samples a pixel of a library data type: random bytes for
// 8u and 16u, random values 0..255 for 32f.
inline ResizeImages FourSampleImages(const ResizeSizes& s, int64_t dataType) {
    const int sampleBytes = dataType == velmora::resize::RESIZE_DATA_8U    ? 1
                            : dataType == velmora::resize::RESIZE_DATA_16U ? 2
                                                                           : 4;
    ResizeImages im(s, 4 * sampleBytes);
    if (dataType == velmora::resize::RESIZE_DATA_32F) {
        std::mt19937 random(7);
        for (size_t k = 0; k + 4 <= im.src.size(); k += 4) {
            const auto v = static_cast<float>(random() % 25600) / 100.0f;
            std::memcpy(im.src.data() + k, &v, 4);
        }
    }
    return im;
}

#if defined(VELMORA_BENCH_OPENCV)
// The OpenCV mode of the library's interpolation code.
inline int OpenCvMode(int64_t code) {
    switch (code) {
        case velmora::resize::INTERP_NEAREST:
            // Samples the same pixel centres (INTER_NEAREST takes another grid).
            return cv::INTER_NEAREST_EXACT;
        case velmora::resize::INTERP_LINEAR:
            return cv::INTER_LINEAR;
        case velmora::resize::INTERP_CUBIC:
            return cv::INTER_CUBIC;
        case velmora::resize::INTERP_SUPERSAMPLE:
            return cv::INTER_AREA;
        default:
            return cv::INTER_LANCZOS4;
    }
}

// One cv::resize of the images (one thread) as a peer call; cvType is the
// OpenCV type of the images' pixels.
inline auto OpenCvPeer(ResizeImages& im, int cvType, int mode) {
    cv::setNumThreads(1);
    const ResizeSizes& s = im.size;
    return [src = cv::Mat(s.srcH, s.srcW, cvType, im.src.data()),
            dst = cv::Mat(s.dstH, s.dstW, cvType, im.dst.data()), mode]() mutable {
        cv::resize(src, dst, dst.size(), 0, 0, mode);
    };
}

// The OpenCV type of four samples of a library data type.
inline int OpenCvFourSampleType(int64_t dataType) {
    return dataType == velmora::resize::RESIZE_DATA_8U    ? CV_8UC4
           : dataType == velmora::resize::RESIZE_DATA_16U ? CV_16UC4
                                                          : CV_32FC4;
}

inline void RunOpenCv(benchmark::State& state, ResizeImages& im, int mode) {
    const ResizeSizes& s = im.size;
    cv::setNumThreads(1);
    const cv::Mat src(s.srcH, s.srcW, CV_8UC4, im.src.data());
    cv::Mat dst(s.dstH, s.dstW, CV_8UC4, im.dst.data());
    for (auto _ : state) {
        cv::resize(src, dst, dst.size(), 0, 0, mode);
        benchmark::ClobberMemory();
    }
    FinishResize(state, s);
}
#endif

#if defined(VELMORA_BENCH_SWSCALE)
// The libswscale flag of the library's interpolation code.
inline int SwscaleFlags(int64_t code) {
    switch (code) {
        case velmora::resize::INTERP_NEAREST:
            return SWS_POINT;
        case velmora::resize::INTERP_LINEAR:
            return SWS_BILINEAR;
        case velmora::resize::INTERP_CUBIC:
            return SWS_BICUBIC;
        case velmora::resize::INTERP_SUPERSAMPLE:
            return SWS_AREA;
        default:
            return SWS_LANCZOS;
    }
}

inline void RunSwscale(benchmark::State& state, ResizeImages& im, AVPixelFormat format, int flags) {
    const ResizeSizes& s = im.size;
    SwsContext* ctx = sws_getContext(s.srcW, s.srcH, format, s.dstW, s.dstH, format, flags, nullptr,
                                     nullptr, nullptr);
    const uint8_t* srcPlanes[1] = {im.src.data()};
    uint8_t* dstPlanes[1] = {im.dst.data()};
    const int srcStride[1] = {im.pixelBytes * s.srcW};
    const int dstStride[1] = {im.pixelBytes * s.dstW};
    for (auto _ : state) {
        sws_scale(ctx, srcPlanes, srcStride, 0, s.srcH, dstPlanes, dstStride);
        benchmark::ClobberMemory();
    }
    sws_freeContext(ctx);
    FinishResize(state, s);
}
#endif

}  // namespace velmora::bench

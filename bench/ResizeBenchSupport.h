#pragma once

// What the resize benchmarks share: a source image and its
// destination, the library call of one dispatch-table entry, a plain copy of
// the bytes a resize touches (source plus destination), and the optional
// peers OpenCV (one thread) and libswscale on the same images.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "BesidePeers.h"
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
        // Slow waves, another for each byte of a pixel, with a little noise:
        // resized alike by every peer, whatever its weights, so that a
        // peer's output can be held to the library's; the resize's time does
        // not depend on the values.
        std::mt19937 random(7);
        std::vector<double> across(static_cast<size_t>(s.srcW) * bytesPerPixel);
        std::vector<double> down(static_cast<size_t>(s.srcH) * bytesPerPixel);
        for (size_t k = 0; k < across.size(); ++k)
            across[k] =
                60 * std::sin(0.05 * static_cast<double>(k / bytesPerPixel) + k % bytesPerPixel);
        for (size_t k = 0; k < down.size(); ++k)
            down[k] = 60 * std::cos(0.07 * static_cast<double>(k / bytesPerPixel) +
                                    2.0 * (k % bytesPerPixel));
        size_t k = 0;
        for (int y = 0; y < s.srcH; ++y) {
            for (int x = 0; x < s.srcW * bytesPerPixel; ++x, ++k) {
                const double noise = static_cast<double>(random() % 17) - 8;
                src[k] = static_cast<uint8_t>(std::clamp(
                    128 + across[static_cast<size_t>(x)] +
                        down[static_cast<size_t>(y) * bytesPerPixel + x % bytesPerPixel] + noise,
                    0.0, 255.0));
            }
        }
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

// The library call under the benchmark's timing beside its peers (none when
// none is installed), on one clock.
template <typename Library>
void RunResizeBesidePeers(benchmark::State& state, const ResizeSizes& s, Library library,
                          std::vector<PeerCall> peers) {
    RunBesidePeers(
        state, [&] { return library() == velmora::resize::STS_OK; }, std::move(peers));
    FinishResize(state, s);
}

// The largest mean difference over one row's first samples of each pixel
// between two images of T, in steps of an 8-bit sample: a peer that leaves
// rows or samples unwritten, or resizes another geometry, is far off; one
// that weighs its taps otherwise is near.
template <typename T>
double WorstRowDifference(const uint8_t* ours, int oursSamples, const uint8_t* peer,
                          int peerSamples, int samples, int width, int height) {
    const double step = std::is_same_v<T, uint16_t> ? 257.0 : 1.0;
    const auto at = [](const uint8_t* image, size_t index) {
        T value;
        std::memcpy(&value, image + index * sizeof(T), sizeof(T));
        return static_cast<double>(value);
    };
    double worst = 0;
    for (int y = 0; y < height; ++y) {
        double sum = 0;
        for (int x = 0; x < width; ++x) {
            const size_t pixel = static_cast<size_t>(y) * width + x;
            for (int c = 0; c < samples; ++c)
                sum +=
                    std::abs(at(ours, pixel * oursSamples + c) - at(peer, pixel * peerSamples + c));
        }
        worst = std::max(worst, sum / (width * samples) / step);
    }
    return worst;
}

// The worst row difference (WorstRowDifference) a peer's output may have:
// the slow waves resized with other weights stay within a few steps, a row
// left unwritten is some hundred steps off.
constexpr double kPeerRowTolerance = 8;

// Images of four samples a pixel of a library data type: the bytes of
// ResizeImages for 8u and 16u, values 0..256 made of them for 32f.
inline ResizeImages FourSampleImages(const ResizeSizes& s, int64_t dataType) {
    const int sampleBytes = dataType == velmora::resize::RESIZE_DATA_8U    ? 1
                            : dataType == velmora::resize::RESIZE_DATA_16U ? 2
                                                                           : 4;
    ResizeImages im(s, 4 * sampleBytes);
    if (dataType == velmora::resize::RESIZE_DATA_32F) {
        for (size_t k = 0; k + 4 <= im.src.size(); k += 4) {
            const float v = im.src[k] + im.src[k + 1] / 256.0f;
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

// One cv::resize (one thread) as a peer: of the images' pixels as the type
// cvType, whose channels may be fewer than the images' samples (the library
// resizing 3 of 4), into its own destination, checked against the library's.
inline PeerCall OpenCvPeer(ResizeImages& im, int cvType, int mode) {
    cv::setNumThreads(1);
    const ResizeSizes& s = im.size;
    const int depth = CV_MAT_DEPTH(cvType);
    const int channels = CV_MAT_CN(cvType);
    const int sampleBytes = static_cast<int>(CV_ELEM_SIZE1(depth));
    const int imageSamples = im.pixelBytes / sampleBytes;
    cv::Mat src(s.srcH, s.srcW, CV_MAKETYPE(depth, imageSamples), im.src.data());
    // The first three of four samples, packed (made before the timing).
    if (channels == 3 && imageSamples == 4) cv::cvtColor(src, src, cv::COLOR_BGRA2BGR);
    cv::Mat dst(s.dstH, s.dstW, cvType);
    return {"opencv",
            [src, dst, mode]() mutable {
                cv::resize(src, dst, dst.size(), 0, 0, mode);
                return true;
            },
            [&im, dst, depth, channels, imageSamples] {
                const ResizeSizes& s = im.size;
                const auto worst = depth == CV_8U    ? WorstRowDifference<uint8_t>
                                   : depth == CV_16U ? WorstRowDifference<uint16_t>
                                                     : WorstRowDifference<float>;
                return worst(im.dst.data(), imageSamples, dst.data, channels, channels, s.dstW,
                             s.dstH) <= kPeerRowTolerance;
            }};
}

// The OpenCV type of pixels of a library data type with this many samples.
inline int OpenCvType(int64_t dataType, int samples) {
    const int depth = dataType == velmora::resize::RESIZE_DATA_8U    ? CV_8U
                      : dataType == velmora::resize::RESIZE_DATA_16U ? CV_16U
                                                                     : CV_32F;
    return CV_MAKETYPE(depth, samples);
}
#endif

// The peers of a case: OpenCV's resize (of the interpolation code's mode)
// when it is installed, with as many channels as the library resizes
// samples of the images' pixels.
inline std::vector<PeerCall> OpenCvPeers([[maybe_unused]] ResizeImages& im,
                                         [[maybe_unused]] int64_t dataType,
                                         [[maybe_unused]] int samples,
                                         [[maybe_unused]] int64_t code) {
#if defined(VELMORA_BENCH_OPENCV)
    return {OpenCvPeer(im, OpenCvType(dataType, samples), OpenCvMode(code))};
#else
    return {};
#endif
}

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
// One sws_scale of the images' packed pixels into its own destination of
// the same format, as a peer checked against the library's output (each
// byte a sample).
inline PeerCall SwscalePeer(ResizeImages& im, AVPixelFormat format, int flags) {
    const ResizeSizes& s = im.size;
    std::shared_ptr<SwsContext> context(sws_getContext(s.srcW, s.srcH, format, s.dstW, s.dstH,
                                                       format, flags, nullptr, nullptr, nullptr),
                                        sws_freeContext);
    auto dst = std::make_shared<std::vector<uint8_t>>(im.dst.size());
    return {"swscale",
            [&im, context, dst] {
                const ResizeSizes& s = im.size;
                const uint8_t* srcPlanes[1] = {im.src.data()};
                uint8_t* dstPlanes[1] = {dst->data()};
                const int srcStride[1] = {im.pixelBytes * s.srcW};
                const int dstStride[1] = {im.pixelBytes * s.dstW};
                return context != nullptr && sws_scale(context.get(), srcPlanes, srcStride, 0,
                                                       s.srcH, dstPlanes, dstStride) == s.dstH;
            },
            [&im, dst] {
                const ResizeSizes& s = im.size;
                return WorstRowDifference<uint8_t>(im.dst.data(), 1, dst->data(), 1, 1,
                                                   im.pixelBytes * s.dstW,
                                                   s.dstH) <= kPeerRowTolerance;
            }};
}
#endif

}  // namespace velmora::bench

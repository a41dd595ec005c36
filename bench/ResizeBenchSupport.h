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
#include <functional>
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
        // Slow waves, another for each byte of a pixel, with a little noise
        // that sets a cheaper kernel apart from a finer one; the resize's
        // time does not depend on the values.
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

// The library call, resizing into the images' destination, under the
// benchmark's timing beside its peers (none when none is installed), on one
// clock.
template <typename Library>
void RunResizeBesidePeers(benchmark::State& state, ResizeImages& im, Library library,
                          std::vector<PeerCall> peers) {
    RunBesidePeers(
        state, [&] { return library() == velmora::resize::STS_OK; }, std::move(peers),
        ResetOutput(im.dst.data(), im.dst.size()));
    FinishResize(state, im.size);
}

// Where the samples compared lie: `samples` of each pixel, among
// oursSamples a pixel in the library's image (or a reference's) and
// peerSamples in the peer's.
struct SampleLayout {
    int oursSamples, peerSamples, samples, width, height;
};

template <typename T>
T SampleAt(const uint8_t* image, size_t index) {
    T value;
    std::memcpy(&value, image + index * sizeof(T), sizeof(T));
    return value;
}

// The largest difference between a peer's samples and the reference's, in
// steps of an 8-bit sample; infinite when a peer's sample is not a number.
template <typename T>
double LargestDifference(const uint8_t* reference, const uint8_t* peer, const SampleLayout& l) {
    const double step = std::is_same_v<T, uint16_t> ? 257.0 : 1.0;
    double largest = 0;
    for (size_t pixel = 0; pixel < static_cast<size_t>(l.width) * l.height; ++pixel) {
        for (int c = 0; c < l.samples; ++c) {
            const double d =
                std::abs(static_cast<double>(SampleAt<T>(reference, pixel * l.oursSamples + c)) -
                         static_cast<double>(SampleAt<T>(peer, pixel * l.peerSamples + c)));
            if (std::isnan(d)) return INFINITY;
            largest = std::max(largest, d / step);
        }
    }
    return largest;
}

// Before each run of a peer, each sample of its output is set far from the
// library's.
template <typename T>
void FillUnwritten(const uint8_t* ours, uint8_t* peer, const SampleLayout& l) {
    for (size_t pixel = 0; pixel < static_cast<size_t>(l.width) * l.height; ++pixel) {
        for (int c = 0; c < l.samples; ++c) {
            const T value = FarFrom(SampleAt<T>(ours, pixel * l.oursSamples + c));
            std::memcpy(peer + (pixel * l.peerSamples + c) * sizeof(T), &value, sizeof(T));
        }
    }
}

// How far a peer's sample may lie from the reference's, in steps of an 8-bit
// sample: the same kernel rounded otherwise is within one step; a cheaper
// kernel (nearest, linear or area for cubic or Lanczos, cubic for Lanczos,
// nearest for linear or area) is two or more off somewhere, a sample left
// unwritten half the range.
constexpr double kPeerSampleTolerance = 1;

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

// A peer's output of samples of T, at output: filled before each run from
// the library's at ours (FillUnwritten), and after the timing held to the
// reference, the same kernel's output made then in the peer's layout (none:
// the library's, whose kernel and pixel centres are the peer's).
template <typename T>
void CheckSamples(PeerCall& peer, const uint8_t* ours, uint8_t* output, const SampleLayout& l,
                  std::function<const uint8_t*()> reference = nullptr) {
    peer.prepare = [=] { FillUnwritten<T>(ours, output, l); };
    peer.check = [=] {
        const double largest =
            reference
                ? LargestDifference<T>(reference(), output,
                                       {l.peerSamples, l.peerSamples, l.samples, l.width, l.height})
                : LargestDifference<T>(ours, output, l);
        return largest <= kPeerSampleTolerance;
    };
}

// One cv::resize (one thread) as a peer: of the images' pixels as the type
// cvType, whose channels may be fewer than the images' samples (the library
// resizing 3 of 4), into its own destination, checked (CheckSamples).
inline PeerCall OpenCvPeer(ResizeImages& im, int cvType, int64_t code) {
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
    PeerCall peer{"opencv", [src, dst, mode = OpenCvMode(code)]() mutable {
                      cv::resize(src, dst, dst.size(), 0, 0, mode);
                      return true;
                  }};
    const SampleLayout layout{imageSamples, channels, channels, s.dstW, s.dstH};
    std::function<const uint8_t*()> reference;
    // The library's nearest and super-sampling take OpenCV's pixel centres
    // and weights; its filters take other centres, so that OpenCV's resize
    // is held to its own general warp of the same kernel and centres.
    if (code != velmora::resize::INTERP_NEAREST && code != velmora::resize::INTERP_SUPERSAMPLE)
        reference = [src, dst, mode = OpenCvMode(code), warped = cv::Mat()]() mutable {
            const double x = static_cast<double>(src.cols) / dst.cols;
            const double y = static_cast<double>(src.rows) / dst.rows;
            const cv::Matx23d toSource(x, 0, 0.5 * x - 0.5, 0, y, 0.5 * y - 0.5);
            cv::warpAffine(src, warped, toSource, dst.size(), mode | cv::WARP_INVERSE_MAP,
                           cv::BORDER_REPLICATE);
            return static_cast<const uint8_t*>(warped.data);
        };
    if (depth == CV_8U)
        CheckSamples<uint8_t>(peer, im.dst.data(), dst.data, layout, reference);
    else if (depth == CV_16U)
        CheckSamples<uint16_t>(peer, im.dst.data(), dst.data, layout, reference);
    else
        CheckSamples<float>(peer, im.dst.data(), dst.data, layout, reference);
    return peer;
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
    return {OpenCvPeer(im, OpenCvType(dataType, samples), code)};
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

// A context resizing the images' packed pixels of one format.
inline std::shared_ptr<SwsContext> SwscaleContext(const ResizeImages& im, AVPixelFormat format,
                                                  int flags) {
    const ResizeSizes& s = im.size;
    return {sws_getContext(s.srcW, s.srcH, format, s.dstW, s.dstH, format, flags, nullptr, nullptr,
                           nullptr),
            sws_freeContext};
}

// True when the context wrote every row of out.
inline bool Scale(const std::shared_ptr<SwsContext>& context, const ResizeImages& im,
                  uint8_t* out) {
    const ResizeSizes& s = im.size;
    const uint8_t* srcPlanes[1] = {im.src.data()};
    uint8_t* dstPlanes[1] = {out};
    const int srcStride[1] = {im.pixelBytes * s.srcW};
    const int dstStride[1] = {im.pixelBytes * s.dstW};
    return context != nullptr && sws_scale(context.get(), srcPlanes, srcStride, 0, s.srcH,
                                           dstPlanes, dstStride) == s.dstH;
}

// One sws_scale of the images' packed pixels into its own destination of
// the same format, as a peer: samples of the pixelBytes bytes of each pixel
// checked (the library resizing 3 of 4), against libswscale's exactly
// rounded path of the same kernel.
inline PeerCall SwscalePeer(ResizeImages& im, AVPixelFormat format, int64_t code, int samples) {
    auto dst = std::make_shared<std::vector<uint8_t>>(im.dst.size());
    auto exact = std::make_shared<std::vector<uint8_t>>(im.dst.size());
    PeerCall peer{"swscale", [&im, dst, context = SwscaleContext(im, format, SwscaleFlags(code))] {
                      return Scale(context, im, dst->data());
                  }};
    // The run's lambda keeps the destination.
    CheckSamples<uint8_t>(
        peer, im.dst.data(), dst->data(),
        {im.pixelBytes, im.pixelBytes, samples, im.size.dstW, im.size.dstH},
        [&im, exact, format, code] {
            Scale(SwscaleContext(im, format, SwscaleFlags(code) | SWS_ACCURATE_RND | SWS_BITEXACT),
                  im, exact->data());
            return static_cast<const uint8_t*>(exact->data());
        });
    return peer;
}
#endif

}  // namespace velmora::bench

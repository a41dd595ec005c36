// YUY2 <-> BGRA of one 720 x 576 frame in every processor variant, against
// libyuv and libswscale (when they are installed) and a plain copy of the
// output frame's bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "av/ColorConvert.h"

#if defined(VELMORA_BENCH_LIBYUV)
#include <libyuv.h>
#endif
#if defined(VELMORA_BENCH_SWSCALE)
extern "C" {
#include <libswscale/swscale.h>
}
#endif

namespace {

constexpr int kWidth = 720, kHeight = 576;
constexpr int kYuy2Step = kWidth * 2, kBgraStep = kWidth * 4;

struct Frames {
    Frames() : yuy2(kYuy2Step * kHeight), bgra(kBgraStep * kHeight) {
        std::mt19937 random(7);
        for (auto& b : yuy2)
            b = static_cast<uint8_t>(random());
        for (auto& b : bgra)
            b = static_cast<uint8_t>(random());
    }
    std::vector<uint8_t> yuy2, bgra;
};

void Finish(benchmark::State& state) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight);
}

void BM_Yuy2ToBgra(benchmark::State& state) {
    Frames f;
    const auto convert = velmora::av::Yuy2ToBgraDispatchTable[state.range(0)];
    for (auto _ : state) {
        convert(f.yuy2.data(), kYuy2Step, f.bgra.data(), kBgraStep, kWidth, kHeight, 0xFF);
        benchmark::ClobberMemory();
    }
    Finish(state);
}
BENCHMARK(BM_Yuy2ToBgra)->DenseRange(0, velmora::av::kCpuVariantCount - 1);

void BM_BgraToYuy2(benchmark::State& state) {
    Frames f;
    const auto convert = velmora::av::BgraToYuy2DispatchTable[state.range(0)];
    for (auto _ : state) {
        convert(f.bgra.data(), kBgraStep, f.yuy2.data(), kYuy2Step, kWidth, kHeight);
        benchmark::ClobberMemory();
    }
    Finish(state);
}
BENCHMARK(BM_BgraToYuy2)->DenseRange(0, velmora::av::kCpuVariantCount - 1);

// The Ssse3 members with their vectors narrowed to 128, 256 or 512 bits.
template <bool kToBgra>
void Ssse3Width(benchmark::State& state) {
    const auto bits = static_cast<int32_t>(state.range(0));
    const int32_t saved = velmora::av::ColorConvertVectorBits();
    if (velmora::av::LimitColorConvertVectorBits(bits) != bits) {
        velmora::av::LimitColorConvertVectorBits(saved);
        state.SkipWithError("the processor lacks these vectors");
        return;
    }
    Frames f;
    for (auto _ : state) {
        if (kToBgra) {
            velmora::av::Yuy2ToBgraSsse3(f.yuy2.data(), kYuy2Step, f.bgra.data(), kBgraStep, kWidth,
                                         kHeight, 0xFF);
        } else {
            velmora::av::BgraToYuy2Ssse3(f.bgra.data(), kBgraStep, f.yuy2.data(), kYuy2Step, kWidth,
                                         kHeight);
        }
        benchmark::ClobberMemory();
    }
    velmora::av::LimitColorConvertVectorBits(saved);
    Finish(state);
}
void BM_Yuy2ToBgraSsse3Bits(benchmark::State& state) {
    Ssse3Width<true>(state);
}
void BM_BgraToYuy2Ssse3Bits(benchmark::State& state) {
    Ssse3Width<false>(state);
}
BENCHMARK(BM_Yuy2ToBgraSsse3Bits)->Arg(128)->Arg(256)->Arg(512);
BENCHMARK(BM_BgraToYuy2Ssse3Bits)->Arg(128)->Arg(256)->Arg(512);

void BM_MemcpyBgraFrame(benchmark::State& state) {
    Frames f;
    std::vector<uint8_t> to(f.bgra.size());
    for (auto _ : state) {
        std::memcpy(to.data(), f.bgra.data(), f.bgra.size());
        benchmark::ClobberMemory();
    }
    Finish(state);
}
BENCHMARK(BM_MemcpyBgraFrame);

void BM_MemcpyYuy2Frame(benchmark::State& state) {
    Frames f;
    std::vector<uint8_t> to(f.yuy2.size());
    for (auto _ : state) {
        std::memcpy(to.data(), f.yuy2.data(), f.yuy2.size());
        benchmark::ClobberMemory();
    }
    Finish(state);
}
BENCHMARK(BM_MemcpyYuy2Frame);

#if defined(VELMORA_BENCH_LIBYUV)
// libyuv's "ARGB" is B, G, R, A in memory, the layout converted here.
void BM_LibyuvYuy2ToArgb(benchmark::State& state) {
    Frames f;
    for (auto _ : state) {
        libyuv::YUY2ToARGB(f.yuy2.data(), kYuy2Step, f.bgra.data(), kBgraStep, kWidth, kHeight);
        benchmark::ClobberMemory();
    }
    Finish(state);
}
BENCHMARK(BM_LibyuvYuy2ToArgb);

void BM_LibyuvArgbToYuy2(benchmark::State& state) {
    Frames f;
    for (auto _ : state) {
        libyuv::ARGBToYUY2(f.bgra.data(), kBgraStep, f.yuy2.data(), kYuy2Step, kWidth, kHeight);
        benchmark::ClobberMemory();
    }
    Finish(state);
}
BENCHMARK(BM_LibyuvArgbToYuy2);
#endif

#if defined(VELMORA_BENCH_SWSCALE)
void Swscale(benchmark::State& state, AVPixelFormat from, AVPixelFormat to) {
    Frames f;
    SwsContext* context = sws_getContext(kWidth, kHeight, from, kWidth, kHeight, to, SWS_POINT,
                                         nullptr, nullptr, nullptr);
    if (context == nullptr) {
        state.SkipWithError("no swscale context");
        return;
    }
    const bool toBgra = to == AV_PIX_FMT_BGRA;
    const uint8_t* src[4] = {toBgra ? f.yuy2.data() : f.bgra.data()};
    uint8_t* dst[4] = {toBgra ? f.bgra.data() : f.yuy2.data()};
    const int srcStride[4] = {toBgra ? kYuy2Step : kBgraStep};
    const int dstStride[4] = {toBgra ? kBgraStep : kYuy2Step};
    for (auto _ : state) {
        sws_scale(context, src, srcStride, 0, kHeight, dst, dstStride);
        benchmark::ClobberMemory();
    }
    sws_freeContext(context);
    Finish(state);
}
void BM_SwscaleYuyvToBgra(benchmark::State& state) {
    Swscale(state, AV_PIX_FMT_YUYV422, AV_PIX_FMT_BGRA);
}
void BM_SwscaleBgraToYuyv(benchmark::State& state) {
    Swscale(state, AV_PIX_FMT_BGRA, AV_PIX_FMT_YUYV422);
}
BENCHMARK(BM_SwscaleYuyvToBgra);
BENCHMARK(BM_SwscaleBgraToYuyv);
#endif

}  // namespace

// YUY2 <-> BGRA of one 720 x 576 frame in every processor variant, beside
// libyuv and libswscale (when they are installed) and a plain copy of the
// output frame's bytes, each peer's output checked against the library's.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "av/ColorConvert.h"

#include "BesidePeers.h"

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
// The peers round differently: a sample may differ by this much.
constexpr int kTolerance = 4;
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

// Every byte of a peer's output within tolerance of the library's: a peer
// writing less, or another layout, fails.
velmora::bench::PeerCall Checked(std::string name, std::function<bool()> run,
                                 const std::vector<uint8_t>& ours, std::vector<uint8_t>& peer,
                                 int tolerance) {
    return {
        std::move(name), std::move(run),
        [&ours, &peer, tolerance] {
            for (size_t i = 0; i < ours.size(); ++i) {
                if (std::abs(ours[i] - peer[i]) > tolerance) return false;
            }
            return true;
        },
        [&ours, &peer] { velmora::bench::MarkUnwritten(ours.data(), peer.data(), ours.size()); }};
}

// The peers of one direction, each writing its own frame: a copy of the
// output frame's bytes (the floor), libyuv and libswscale.
struct Peers {
    Peers(const Frames& f, bool toBgra) {
        const std::vector<uint8_t>& ours = toBgra ? f.bgra : f.yuy2;
        copy.resize(ours.size());
        calls.push_back(Checked(
            "memcpy",
            [this, &ours] {
                std::memcpy(copy.data(), ours.data(), ours.size());
                return true;
            },
            ours, copy, 0));
#if defined(VELMORA_BENCH_LIBYUV)
        // libyuv's "ARGB" is B, G, R, A in memory, the layout converted here.
        libyuvOut.resize(ours.size());
        calls.push_back(Checked(
            "libyuv",
            [&f, this, toBgra] {
                return (toBgra ? libyuv::YUY2ToARGB(f.yuy2.data(), kYuy2Step, libyuvOut.data(),
                                                    kBgraStep, kWidth, kHeight)
                               : libyuv::ARGBToYUY2(f.bgra.data(), kBgraStep, libyuvOut.data(),
                                                    kYuy2Step, kWidth, kHeight)) == 0;
            },
            ours, libyuvOut, kTolerance));
#endif
#if defined(VELMORA_BENCH_SWSCALE)
        swscaleOut.resize(ours.size());
        context = sws_getContext(kWidth, kHeight, toBgra ? AV_PIX_FMT_YUYV422 : AV_PIX_FMT_BGRA,
                                 kWidth, kHeight, toBgra ? AV_PIX_FMT_BGRA : AV_PIX_FMT_YUYV422,
                                 SWS_POINT, nullptr, nullptr, nullptr);
        calls.push_back(Checked(
            "swscale",
            [&f, this, toBgra] {
                const uint8_t* src[4] = {toBgra ? f.yuy2.data() : f.bgra.data()};
                uint8_t* dst[4] = {swscaleOut.data()};
                const int srcStride[4] = {toBgra ? kYuy2Step : kBgraStep};
                const int dstStride[4] = {toBgra ? kBgraStep : kYuy2Step};
                return context != nullptr &&
                       sws_scale(context, src, srcStride, 0, kHeight, dst, dstStride) == kHeight;
            },
            ours, swscaleOut, kTolerance));
#endif
    }
    ~Peers() {
#if defined(VELMORA_BENCH_SWSCALE)
        sws_freeContext(context);
#endif
    }
    Peers(const Peers&) = delete;
    Peers& operator=(const Peers&) = delete;

    std::vector<uint8_t> copy, libyuvOut, swscaleOut;
    std::vector<velmora::bench::PeerCall> calls;
#if defined(VELMORA_BENCH_SWSCALE)
    SwsContext* context = nullptr;
#endif
};

// Arguments: variant. Beside the peers.
void BM_Yuy2ToBgra(benchmark::State& state) {
    Frames f;
    Peers peers(f, true);
    velmora::bench::RunBesidePeers(
        state,
        [&f, convert = velmora::av::Yuy2ToBgraDispatchTable[state.range(0)]] {
            convert(f.yuy2.data(), kYuy2Step, f.bgra.data(), kBgraStep, kWidth, kHeight, 0xFF);
            return true;
        },
        peers.calls, velmora::bench::ResetOutput(f.bgra.data(), f.bgra.size()));
    Finish(state);
}
BENCHMARK(BM_Yuy2ToBgra)->DenseRange(0, velmora::av::kCpuVariantCount - 1);

void BM_BgraToYuy2(benchmark::State& state) {
    Frames f;
    Peers peers(f, false);
    velmora::bench::RunBesidePeers(
        state,
        [&f, convert = velmora::av::BgraToYuy2DispatchTable[state.range(0)]] {
            convert(f.bgra.data(), kBgraStep, f.yuy2.data(), kYuy2Step, kWidth, kHeight);
            return true;
        },
        peers.calls, velmora::bench::ResetOutput(f.yuy2.data(), f.yuy2.size()));
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

}  // namespace

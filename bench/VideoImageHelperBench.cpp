// The video image helper's blends and copies on 720 x 576 frames, each beside
// a memcpy moving the same number of bytes (half read, half written) as the
// operation reads and writes together (the floor); and its ResizeYuv422 by
// fields, 720 x 576 -> 360 x 288, beside libswscale resizing the same two
// fields when it is installed, its output checked.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "ResizeBenchSupport.h"
#include "av/VideoImageHelper.h"
#include "resize/ImageStatus.h"

namespace {

using velmora::av::CVideoImageHelper;
using velmora::av::RECT;

constexpr int kWidth = 720, kHeight = 576;
constexpr int kYuy2Step = 2 * kWidth, kBgraStep = 4 * kWidth;
constexpr size_t kYuy2Bytes = size_t(kYuy2Step) * kHeight;
constexpr size_t kBgraBytes = size_t(kBgraStep) * kHeight;
constexpr size_t kKeyBytes = size_t(kWidth) * kHeight * 2;

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

Buffer RandomBuffer(size_t bytes, uint32_t seed) {
    Buffer buffer(static_cast<uint8_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64)));
    std::mt19937 random(seed);
    for (size_t i = 0; i < bytes; ++i)
        buffer.get()[i] = static_cast<uint8_t>(random());
    return buffer;
}

void Touched(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// The baseline: memcpy of half the bytes, so as many are read and written.
void Floor_MemcpyTouched(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0)) / 2;
    Buffer from = RandomBuffer(bytes, 1), to = RandomBuffer(bytes, 2);
    for (auto _ : state) {
        std::memcpy(to.get(), from.get(), bytes);
        benchmark::ClobberMemory();
    }
    Touched(state, 2 * bytes);
}
// Composite and overlay (fg, key or BGRA, destination read and written),
// blend, copy.
BENCHMARK(Floor_MemcpyTouched)
    ->Arg(kYuy2Bytes + kKeyBytes + 2 * kYuy2Bytes)
    ->Arg(3 * kYuy2Bytes)

    ->Arg(2 * kYuy2Bytes);

void BM_CompositeYuv422Keyed(benchmark::State& state) {
    // Left 0 takes the 8-pixel path; left 2 goes through the scratch buffers.
    const int left = static_cast<int>(state.range(0));
    Buffer fg = RandomBuffer(kYuy2Bytes, 3), dst = RandomBuffer(kYuy2Bytes, 4);
    Buffer key = RandomBuffer(kKeyBytes, 5), scratch = RandomBuffer(kYuy2Bytes, 6);
    Buffer scratchKey = RandomBuffer(CVideoImageHelper::kScratchKeyBytes, 7);
    CVideoImageHelper helper;
    const RECT rect{left, 0, kWidth - left, kHeight};
    for (auto _ : state) {
        benchmark::DoNotOptimize(helper.CompositeYuv422Keyed(
            fg.get(), kWidth, kHeight, kYuy2Step, rect, reinterpret_cast<uint16_t*>(key.get()),
            dst.get(), kYuy2Step, kWidth, kHeight, left, 0, scratch.get(), scratchKey.get()));
    }
    Touched(state, kYuy2Bytes + kKeyBytes + 2 * kYuy2Bytes);
}
BENCHMARK(BM_CompositeYuv422Keyed)->Arg(0)->Arg(2);

void BM_BlendFrames(benchmark::State& state) {
    Buffer a = RandomBuffer(kYuy2Bytes, 8), b = RandomBuffer(kYuy2Bytes, 9);
    Buffer dst = RandomBuffer(kYuy2Bytes, 10);
    CVideoImageHelper helper;
    for (auto _ : state) {
        benchmark::DoNotOptimize(helper.BlendFrames(dst.get(), a.get(), b.get(), 0, 100, kYuy2Step,
                                                    kYuy2Step, kYuy2Step, kHeight));
    }
    Touched(state, 3 * kYuy2Bytes);
}
BENCHMARK(BM_BlendFrames);

void BM_DeinterlaceBlend(benchmark::State& state) {
    Buffer src = RandomBuffer(kYuy2Bytes, 11), dst = RandomBuffer(kYuy2Bytes, 12);
    CVideoImageHelper helper;
    for (auto _ : state) {
        benchmark::DoNotOptimize(helper.DeinterlaceBlend(dst.get(), src.get(), kYuy2Step, kYuy2Step,
                                                         kYuy2Step, kHeight));
    }
    Touched(state, 2 * kYuy2Bytes);
}
BENCHMARK(BM_DeinterlaceBlend);

void BM_OverlayBgraOnYuv422(benchmark::State& state) {
    Buffer bgra = RandomBuffer(kBgraBytes, 13), dst = RandomBuffer(kYuy2Bytes, 14);
    CVideoImageHelper helper;
    for (auto _ : state) {
        benchmark::DoNotOptimize(helper.OverlayBgraOnYuv422(bgra.get(), kWidth, kHeight, kBgraStep,
                                                            {0, 0, kWidth, kHeight}, dst.get(),
                                                            kYuy2Step, kWidth, kHeight, 0, 0));
    }
    Touched(state, kBgraBytes + 2 * kYuy2Bytes);
}
BENCHMARK(BM_OverlayBgraOnYuv422);

void BM_CopyTwoRegionsYuv422(benchmark::State& state) {
    // The two halves of a frame, the second off any 16-byte boundary.
    Buffer src = RandomBuffer(kYuy2Bytes, 15), dst = RandomBuffer(kYuy2Bytes, 16);
    CVideoImageHelper helper;
    for (auto _ : state) {
        benchmark::DoNotOptimize(helper.CopyTwoRegionsYuv422(
            dst.get(), kWidth, kHeight, kYuy2Step, src.get(), kWidth, kHeight, kYuy2Step,
            {0, 0, 357, kHeight}, 0, 0, src.get(), kWidth, kHeight, kYuy2Step,
            {357, 0, kWidth, kHeight}, 357, 0));
    }
    Touched(state, 2 * kYuy2Bytes);
}
BENCHMARK(BM_CopyTwoRegionsYuv422);

constexpr int kHalfWidth = kWidth / 2, kHalfHeight = kHeight / 2;
constexpr int kHalfStep = 2 * kHalfWidth;

#if defined(VELMORA_BENCH_SWSCALE)
// A context taking one field, 720 x 288 -> 360 x 144, with the flag of an
// interpolation code.
std::shared_ptr<SwsContext> FieldContext(int flags) {
    return {sws_getContext(kWidth, kHeight / 2, AV_PIX_FMT_YUYV422, kHalfWidth, kHalfHeight / 2,
                           AV_PIX_FMT_YUYV422, flags, nullptr, nullptr, nullptr),
            sws_freeContext};
}

// Both fields (rows two apart) of src through the context into dst; false
// when a row was not written.
bool ScaleFields(const std::shared_ptr<SwsContext>& context, const uint8_t* src, uint8_t* dst) {
    const int srcStride[1] = {2 * kYuy2Step};
    const int dstStride[1] = {2 * kHalfStep};
    bool done = context != nullptr;
    for (int field = 0; field < 2 && done; ++field) {
        const uint8_t* srcPlanes[1] = {src + field * kYuy2Step};
        uint8_t* dstPlanes[1] = {dst + field * kHalfStep};
        done = sws_scale(context.get(), srcPlanes, srcStride, 0, kHeight / 2, dstPlanes,
                         dstStride) == kHalfHeight / 2;
    }
    return done;
}

// libswscale resizing the same two fields with the matching flag, held to its
// exactly rounded path of the same kernel.
velmora::bench::PeerCall SwscaleFieldsPeer(const uint8_t* src, const uint8_t* ours, int64_t code) {
    const int flags = velmora::bench::SwscaleFlags(code);
    auto out = std::make_shared<std::vector<uint8_t>>(size_t(kHalfStep) * kHalfHeight);
    auto exact = std::make_shared<std::vector<uint8_t>>(out->size());
    velmora::bench::PeerCall peer{"swscale", [src, out, context = FieldContext(flags)] {
                                      return ScaleFields(context, src, out->data());
                                  }};
    velmora::bench::CheckSamples<uint8_t>(
        peer, ours, out->data(), {2, 2, 2, kHalfWidth, kHalfHeight}, [src, exact, flags] {
            ScaleFields(FieldContext(flags | SWS_ACCURATE_RND | SWS_BITEXACT), src, exact->data());
            return static_cast<const uint8_t*>(exact->data());
        });
    return peer;
}
#endif

// Argument: the interpolation code. Beside libswscale resizing the same two
// fields.
void BM_ResizeYuv422ByFields(benchmark::State& state) {
    Buffer src = RandomBuffer(kYuy2Bytes, 17),
           dst = RandomBuffer(size_t(kHalfStep) * kHalfHeight, 18);
    CVideoImageHelper helper;
    const auto code = static_cast<int32_t>(state.range(0));
    std::vector<velmora::bench::PeerCall> peers;
#if defined(VELMORA_BENCH_SWSCALE)
    peers.push_back(SwscaleFieldsPeer(src.get(), dst.get(), code));
#endif
    velmora::bench::RunBesidePeers(
        state,
        [&] {
            return helper.ResizeYuv422(src.get(), kWidth, kHeight, kYuy2Step,
                                       {0, 0, kWidth, kHeight}, dst.get(), kHalfStep, kHalfWidth,
                                       kHalfHeight, 1, code) == 1;
        },
        std::move(peers), velmora::bench::ResetOutput(dst.get(), size_t(kHalfStep) * kHalfHeight));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kHalfWidth * kHalfHeight);
}
BENCHMARK(BM_ResizeYuv422ByFields)
    ->Arg(velmora::resize::INTERP_NEAREST)
    ->Arg(velmora::resize::INTERP_LINEAR)
    ->Arg(velmora::resize::INTERP_CUBIC)
    ->Arg(velmora::resize::INTERP_SUPERSAMPLE);

}  // namespace

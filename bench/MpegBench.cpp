// The inverse DCT in each processor variant and the DC-only thumbnail decode
// of the 720 x 576 I pictures, against libavcodec's inverse DCT (AVDCT) and
// its full MPEG-2 decode of the same pictures (when it is installed).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "card/LoadTimeGlobals.h"
#include "record/Idct.h"
#include "record/MpegVideoInfo.h"
#include "record/VideoParser.h"

#if defined(VELMORA_BENCH_AVCODEC)
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/avdct.h>
#include <libavutil/mem.h>
}
#endif

namespace {

using velmora::record::MPEG_SEQUENCE_INFO;
using velmora::record::MPEG_THUMBNAIL;

constexpr int kBlocks = 1024;

struct alignas(16) Block {
    int16_t v[64];
};

// Dequantised intra-like blocks: a DC and a few low-frequency coefficients.
std::vector<Block> Blocks() {
    std::vector<Block> blocks(kBlocks);
    std::mt19937 rng(5);
    for (Block& b : blocks) {
        for (int i = 0; i < 64; ++i) {
            const int u = i % 8, v = i / 8;
            b.v[i] = (u + v < 4 && rng() % 2 == 0) ? int16_t(int(rng() % 512) - 256) : 0;
        }
        b.v[0] = int16_t(rng() % 2048);
    }
    return blocks;
}

template <typename Transform>
void RunIdct(benchmark::State& state, Transform transform) {
    std::vector<Block> in = Blocks();
    std::vector<Block> out(kBlocks);
    for (auto _ : state) {
        for (int i = 0; i < kBlocks; ++i)
            transform(in[i].v, out[i].v);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kBlocks);
}

void BM_IdctMmx(benchmark::State& state) {
    RunIdct(state,
            [](const int16_t* in, int16_t* out) { velmora::card::g_IdctMmx.Transform(in, out); });
}
void BM_IdctSse2(benchmark::State& state) {
    RunIdct(state,
            [](const int16_t* in, int16_t* out) { velmora::card::g_IdctSse2.Transform(in, out); });
}
void BM_IdctSse2Vec(benchmark::State& state) {
    RunIdct(state, velmora::record::IdctSse2Vec);
}
BENCHMARK(BM_IdctMmx);
BENCHMARK(BM_IdctSse2);
BENCHMARK(BM_IdctSse2Vec);

#if defined(VELMORA_BENCH_AVCODEC)
void BM_IdctLibavcodec(benchmark::State& state) {
    AVDCT* dct = avcodec_dct_alloc();
    dct->idct_algo = FF_IDCT_AUTO;
    avcodec_dct_init(dct);
    std::vector<Block> in = Blocks();
    std::vector<Block> work(kBlocks);
    for (auto _ : state) {
        // In place, as its interface works.
        std::copy(in.begin(), in.end(), work.begin());
        for (int i = 0; i < kBlocks; ++i)
            dct->idct(work[i].v);
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kBlocks);
    av_free(dct);
}
BENCHMARK(BM_IdctLibavcodec);
#endif

std::vector<uint8_t> Fixture() {
    const auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / "tests" /
                      "data" / "m2v_pal_bframes.m2v";
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The I pictures of the fixture, each with its sequence header, up to the
// next picture's start code.
std::vector<std::vector<uint8_t>> IntraPictures() {
    const std::vector<uint8_t> s = Fixture();
    std::vector<size_t> pictures, sequences;
    for (size_t i = 0; i + 5 < s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            if (s[i + 3] == 0x00) pictures.push_back(i);
            if (s[i + 3] == 0xB3) sequences.push_back(i);
        }
    }
    std::vector<std::vector<uint8_t>> out;
    for (size_t k = 0; k < pictures.size(); ++k) {
        const uint32_t type = (s[pictures[k] + 5] >> 3) & 7;
        if (type != 1) continue;
        size_t begin = pictures[k];
        for (size_t q : sequences) {
            if (q < pictures[k]) begin = q;
        }
        const size_t end = k + 1 < pictures.size() ? pictures[k + 1] : s.size();
        out.emplace_back(s.begin() + begin, s.begin() + end);
    }
    return out;
}

void BM_ThumbnailDecode720x576(benchmark::State& state) {
    const auto pictures = IntraPictures();
    if (pictures.empty()) {
        state.SkipWithError("fixture m2v_pal_bframes.m2v not found");
        return;
    }
    std::vector<uint8_t> pixels(90 * 72 * 3);
    size_t n = 0;
    for (auto _ : state) {
        const auto& p = pictures[n++ % pictures.size()];
        MPEG_THUMBNAIL thumbnail{pixels.data(), 90, 72, 90 * 3, 0, 0, 0, 0, 0};
        MPEG_SEQUENCE_INFO sequence;
        benchmark::DoNotOptimize(
            velmora::record::ParseVideoHeaders(p.data(), int32_t(p.size()), &sequence, &thumbnail));
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_ThumbnailDecode720x576);

#if defined(VELMORA_BENCH_AVCODEC)
void BM_LibavcodecDecode720x576(benchmark::State& state) {
    const auto pictures = IntraPictures();
    if (pictures.empty()) {
        state.SkipWithError("fixture m2v_pal_bframes.m2v not found");
        return;
    }
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG2VIDEO);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->thread_count = 1;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    avcodec_open2(context, codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<std::vector<uint8_t>> padded;
    for (const auto& p : pictures) {
        padded.push_back(p);
        padded.back().resize(p.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    }
    size_t n = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        const size_t k = n++ % pictures.size();
        packet->data = padded[k].data();
        packet->size = int(pictures[k].size());
        avcodec_send_packet(context, packet);
        while (avcodec_receive_frame(context, frame) == 0)
            ++frames;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["frames_out"] = double(frames);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
}
BENCHMARK(BM_LibavcodecDecode720x576);
#endif

}  // namespace

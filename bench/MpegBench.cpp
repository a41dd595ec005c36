// The inverse DCT in each processor variant and the DC-only thumbnail decode
// of the 720 x 576 I pictures, against libavcodec's inverse DCT (AVDCT), its
// full MPEG-2 decode of the same pictures and its decode at an eighth of the
// size (lowres 3) with the conversion to the thumbnail's pixels (when they
// are installed), each held to the thumbnail's pixels; the full decode on its
// own is the reference.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "card/LoadTimeGlobals.h"
#include "record/Idct.h"
#include "record/MpegVideoInfo.h"
#include "record/VideoParser.h"

#include "BesidePeers.h"

#if defined(VELMORA_BENCH_AVCODEC)
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/avdct.h>
#include <libavutil/mem.h>
}
#endif
#if defined(VELMORA_BENCH_AVCODEC) && defined(VELMORA_BENCH_SWSCALE)
extern "C" {
#include <libswscale/swscale.h>
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

void IdctMmx(const int16_t* in, int16_t* out) {
    velmora::card::g_IdctMmx.Transform(in, out);
}
void IdctSse2(const int16_t* in, int16_t* out) {
    velmora::card::g_IdctSse2.Transform(in, out);
}
constexpr void (*kIdcts[])(const int16_t*, int16_t*) = {IdctMmx, IdctSse2,
                                                        velmora::record::IdctSse2Vec};

#if defined(VELMORA_BENCH_AVCODEC)
// libavcodec's inverse DCT, which transforms in place: before each round it
// is handed the blocks afresh (untimed), in its coefficient order. Its
// output must match the library's within one step of a sample.
class AvcodecIdct {
  public:
    explicit AvcodecIdct(const std::vector<Block>& blocks)
        : m_blocks(blocks), m_work(blocks.size()), m_dct(avcodec_dct_alloc()) {
        m_dct->idct_algo = FF_IDCT_AUTO;
        avcodec_dct_init(m_dct);
    }
    ~AvcodecIdct() { av_free(m_dct); }
    AvcodecIdct(const AvcodecIdct&) = delete;
    AvcodecIdct& operator=(const AvcodecIdct&) = delete;

    velmora::bench::PeerCall Peer(const std::vector<Block>& ours) {
        return {"avcodec_idct",
                [this] {
                    for (Block& b : m_work)
                        m_dct->idct(b.v);
                    return true;
                },
                [this, &ours] {
                    for (size_t k = 0; k < ours.size(); ++k) {
                        for (int i = 0; i < 64; ++i) {
                            if (std::abs(ours[k].v[i] - m_work[k].v[i]) > 1) return false;
                        }
                    }
                    return true;
                },
                [this] {
                    for (size_t k = 0; k < m_blocks.size(); ++k) {
                        for (int i = 0; i < 64; ++i)
                            m_work[k].v[m_dct->idct_permutation[i]] = m_blocks[k].v[i];
                    }
                }};
    }

  private:
    const std::vector<Block>& m_blocks;
    std::vector<Block> m_work;
    AVDCT* m_dct;
};
#endif

// Arguments: variant (MMX, SSE2, SSE2 vectors). Beside libavcodec's inverse
// DCT of the same blocks.
void BM_Idct(benchmark::State& state) {
    const std::vector<Block> in = Blocks();
    std::vector<Block> out(kBlocks);
    std::vector<velmora::bench::PeerCall> peers;
#if defined(VELMORA_BENCH_AVCODEC)
    AvcodecIdct avcodec(in);
    peers.push_back(avcodec.Peer(out));
#endif
    velmora::bench::RunBesidePeers(
        state,
        [&, transform = kIdcts[state.range(0)]] {
            for (int i = 0; i < kBlocks; ++i)
                transform(in[i].v, out[i].v);
            return true;
        },
        std::move(peers), velmora::bench::ResetOutput(out.data(), out.size() * sizeof(Block)));
    state.SetItemsProcessed(int64_t(state.iterations()) * kBlocks);
}
BENCHMARK(BM_Idct)->DenseRange(0, 2);

std::vector<uint8_t> Fixture() {
    std::ifstream in(std::string(VELMORA_BENCH_DATA_DIR) + "/m2v_pal_bframes.m2v",
                     std::ios::binary);
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

#if defined(VELMORA_BENCH_AVCODEC)
// libavcodec's MPEG-2 decoder on one thread, handed the I pictures one at a
// time; with lowres 3 it decodes at an eighth of the size, 90 x 72.
class AvcodecPictures {
  public:
    AvcodecPictures(const std::vector<std::vector<uint8_t>>& pictures, int lowres)
        : m_codec(avcodec_find_decoder(AV_CODEC_ID_MPEG2VIDEO)),
          m_context(avcodec_alloc_context3(m_codec)) {
        m_context->thread_count = 1;
        m_context->flags |= AV_CODEC_FLAG_LOW_DELAY;
        m_context->lowres = lowres;
        m_open = avcodec_open2(m_context, m_codec, nullptr) == 0;
        for (const auto& p : pictures) {
            m_padded.push_back(p);
            m_padded.back().resize(p.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
            m_sizes.push_back(int(p.size()));
        }
    }
    ~AvcodecPictures() {
        av_frame_free(&m_last);
        av_frame_free(&m_frame);
        av_packet_free(&m_packet);
        avcodec_free_context(&m_context);
    }
    AvcodecPictures(const AvcodecPictures&) = delete;
    AvcodecPictures& operator=(const AvcodecPictures&) = delete;

    // Decodes the next picture (round the list); each frame that comes out
    // goes to take. The number of frames.
    template <typename Take>
    int DecodeNext(Take take) {
        if (!m_open) return 0;
        const size_t k = m_next++ % m_padded.size();
        m_packet->data = m_padded[k].data();
        m_packet->size = m_sizes[k];
        avcodec_send_packet(m_context, m_packet);
        int frames = 0;
        for (; avcodec_receive_frame(m_context, m_frame) == 0; ++frames) {
            take(m_frame);
            av_frame_unref(m_last);
            av_frame_move_ref(m_last, m_frame);
        }
        return frames;
    }

    // The last frame that came out; none after ForgetLast.
    const AVFrame* Last() const { return m_last; }
    void ForgetLast() { av_frame_unref(m_last); }

  private:
    const AVCodec* m_codec;
    AVCodecContext* m_context;
    AVPacket* m_packet = av_packet_alloc();
    AVFrame* m_frame = av_frame_alloc();
    AVFrame* m_last = av_frame_alloc();
    bool m_open = false;
    std::vector<std::vector<uint8_t>> m_padded;
    std::vector<int> m_sizes;
    size_t m_next = 0;
};
#endif

constexpr size_t kThumbnailStride = 90 * 3, kThumbnailBytes = kThumbnailStride * 72;

#if defined(VELMORA_BENCH_AVCODEC) && defined(VELMORA_BENCH_SWSCALE)
// A peer's thumbnail, of peerStride bytes a row, near the library's: the
// mean difference of a byte at most 2, the largest 48. Honest peers differ by
// their rounding (the lowres decode: mean 0.5, largest 4) and by the full
// decode's chroma, scaled down and interpolated back at the colour bars'
// edges (mean 1.2, largest 32); another picture, part of the picture or
// bytes left unwritten (marked half the range off) lie far beyond. False
// also for a peer's thumbnail narrower than the library's (or none).
bool NearThumbnail(const std::vector<uint8_t>& ours, const uint8_t* peer, int peerStride) {
    if (peerStride < int(kThumbnailStride)) return false;
    int largest = 0;
    double sum = 0;
    for (size_t i = 0; i < ours.size(); ++i) {
        const int d =
            std::abs(ours[i] - peer[i / kThumbnailStride * peerStride + i % kThumbnailStride]);
        largest = std::max(largest, d);
        sum += d;
    }
    return sum / double(ours.size()) <= 2 && largest <= 48;
}

// A decoded frame converted to the thumbnail's form: bottom-up rows of blue,
// green, red, at the frame's size or (the full decode) scaled down to it.
class BgrThumbnail {
  public:
    ~BgrThumbnail() { sws_freeContext(m_context); }
    void Convert(const AVFrame* frame, int width, int height, int flags) {
        SwsContext* before = m_context;
        m_context = sws_getCachedContext(m_context, frame->width, frame->height,
                                         AVPixelFormat(frame->format), width, height,
                                         AV_PIX_FMT_BGR24, flags, nullptr, nullptr, nullptr);
        // The library's colours: ITU-R BT.709 from studio range.
        if (m_context != before) {
            const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
            sws_setColorspaceDetails(m_context, bt709, 0, bt709, 1, 0, 1 << 16, 1 << 16);
        }
        // Room for the converter's wide stores past each row's end.
        m_stride = 3 * width + 64;
        m_pixels.resize(size_t(m_stride) * height);
        uint8_t* lastRow[1] = {m_pixels.data() + size_t(m_stride) * (height - 1)};
        const int upward[1] = {-m_stride};
        sws_scale(m_context, frame->data, frame->linesize, 0, frame->height, lastRow, upward);
    }
    const uint8_t* Pixels() const { return m_pixels.data(); }
    int Stride() const { return m_stride; }
    // Each byte of the last conversion made far from the thumbnail's, so
    // that one the next conversion leaves unwritten is seen.
    void Mark(const std::vector<uint8_t>& thumbnail) {
        for (size_t at = 0, row = 0; at < m_pixels.size(); at += m_stride, ++row)
            velmora::bench::MarkUnwritten(&thumbnail[row * kThumbnailStride], &m_pixels[at],
                                          std::min(kThumbnailStride, size_t(m_stride)));
    }

  private:
    SwsContext* m_context = nullptr;
    std::vector<uint8_t> m_pixels;
    int m_stride = 0;
};
#endif

// Beside libavcodec's full decode of the same picture and, with libswscale,
// its decode at lowres 3 with the conversion to the thumbnail's pixels.
void BM_ThumbnailDecode720x576(benchmark::State& state) {
    const auto pictures = IntraPictures();
    if (pictures.empty()) {
        state.SkipWithError("fixture m2v_pal_bframes.m2v not found");
        return;
    }
    std::vector<uint8_t> pixels(kThumbnailBytes);
    std::vector<velmora::bench::PeerCall> peers;
#if defined(VELMORA_BENCH_AVCODEC) && defined(VELMORA_BENCH_SWSCALE)
    // The full decode's last frame is scaled down to the thumbnail after the
    // timing; the lowres decode converts its own.
    AvcodecPictures full(pictures, 0), lowres(pictures, 3);
    BgrThumbnail scaled, converted;
    peers.push_back({"full_decode", [&] { return full.DecodeNext([](const AVFrame*) {}) > 0; },
                     [&] {
                         const AVFrame* f = full.Last();
                         if (f->width != 720 || f->height != 576) return false;
                         scaled.Convert(f, 90, 72, SWS_AREA);
                         return NearThumbnail(pixels, scaled.Pixels(), scaled.Stride());
                     },
                     [&] { full.ForgetLast(); }});
    peers.push_back({"lowres3",
                     [&] {
                         return lowres.DecodeNext([&](const AVFrame* f) {
                             converted.Convert(f, f->width, f->height, SWS_POINT);
                         }) > 0;
                     },
                     [&] { return NearThumbnail(pixels, converted.Pixels(), converted.Stride()); },
                     [&] { converted.Mark(pixels); }});
#endif
    size_t n = 0;
    velmora::bench::RunBesidePeers(
        state,
        [&] {
            const auto& p = pictures[n++ % pictures.size()];
            MPEG_THUMBNAIL thumbnail{pixels.data(), 90, 72, 90 * 3, 0, 0, 0, 0, 0};
            MPEG_SEQUENCE_INFO sequence;
            return velmora::record::ParseVideoHeaders(p.data(), int32_t(p.size()), &sequence,
                                                      &thumbnail) == 1 &&
                   thumbnail.pictureValid == 1;
        },
        std::move(peers), velmora::bench::ResetOutput(pixels.data(), pixels.size()));
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_ThumbnailDecode720x576);

#if defined(VELMORA_BENCH_AVCODEC)
void Reference_LibavcodecDecode720x576(benchmark::State& state) {
    const auto pictures = IntraPictures();
    if (pictures.empty()) {
        state.SkipWithError("fixture m2v_pal_bframes.m2v not found");
        return;
    }
    AvcodecPictures decoder(pictures, 0);
    int64_t frames = 0;
    for (auto _ : state)
        frames += decoder.DecodeNext([](const AVFrame*) {});
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["frames_out"] = double(frames);
}
BENCHMARK(Reference_LibavcodecDecode720x576);
#endif

}  // namespace

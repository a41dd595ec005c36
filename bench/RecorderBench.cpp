// Recording throughput: the recorder's tasks turning program 1 of the
// three-program fixture, padded with null packets to the ASI payload rate
// (26.6 MB/s, so one second of input holds 26.6 MB), into program-stream
// files; input MB/s with 1 and 12 tasks, fed in the engine's chunks through
// each slot's ring. Against libavformat's stream copy of the same program to
// its "vob" muxer (what ffmpeg -c copy -f vob does), when it is installed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "record/ProgramRecorder.h"
#include "ts/CirBuffer.h"

#if defined(VELMORA_BENCH_AVFORMAT)
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}
#endif

namespace {

constexpr uint32_t kChunk = 306816;  // the engine's distribution chunk
constexpr uint32_t kRingSize = 188 * 80000;
constexpr double kAsiBytesPerSecond = 26.6e6;
constexpr double kFixtureSeconds = 1.2;

const std::vector<uint8_t>& Input() {
    static const std::vector<uint8_t> input = [] {
        std::ifstream in(std::string(VELMORA_BENCH_DATA_DIR) + "/rec_three_programs.ts",
                         std::ios::binary);
        const std::vector<uint8_t> ts((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
        const size_t packets = ts.size() / 188;
        const size_t target = static_cast<size_t>(kAsiBytesPerSecond * kFixtureSeconds) / 188;
        std::vector<uint8_t> padded;
        padded.reserve(target * 188 + 188);
        uint8_t null[188] = {0x47, 0x1F, 0xFF, 0x10};
        std::fill(null + 4, null + 188, 0xFF);
        // Spread the fixture's packets evenly among null packets.
        size_t next = 0;
        for (size_t i = 0; i < target; ++i) {
            if (next < packets && i * packets >= next * target) {
                padded.insert(padded.end(), ts.begin() + next * 188, ts.begin() + next * 188 + 188);
                ++next;
            } else {
                padded.insert(padded.end(), null, null + 188);
            }
        }
        return padded;
    }();
    return input;
}

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("velmora_bench_" + std::to_string(::getpid()) + "_" + name))
        .string();
}

void BM_RecorderTasks(benchmark::State& state) {
    const auto tasks = static_cast<uint32_t>(state.range(0));
    const std::vector<uint8_t>& input = Input();
    std::vector<std::wstring> paths;
    for (uint32_t i = 0; i < tasks; ++i) {
        const std::string path = TempPath("task" + std::to_string(i) + ".mpg");
        paths.emplace_back(path.begin(), path.end());
    }
    for (auto _ : state) {
        velmora::record::CProgramRecorder recorder(188, nullptr);
        std::vector<std::unique_ptr<velmora::ts::CCirBuffer>> rings;
        for (uint32_t i = 0; i < tasks; ++i) {
            rings.push_back(std::make_unique<velmora::ts::CCirBuffer>(kRingSize));
            const velmora::record::RECORDER_TASK_REQUEST request{
                1, 0x200, 0x201, 3, paths[i].c_str(), 0};
            recorder.StartTask(&request, i, rings.back().get(), 0);
        }
        for (size_t at = 0; at < input.size(); at += kChunk) {
            const auto n = static_cast<uint32_t>(std::min<size_t>(kChunk, input.size() - at));
            for (auto& ring : rings)
                while (ring->Write(&input[at], n) != 0)
                    std::this_thread::yield();
        }
        for (auto& ring : rings)
            while (ring->GetFillSize() != 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        for (uint32_t i = 0; i < tasks; ++i) {
            const velmora::record::RECORDER_TASK_REQUEST request{
                1, 0x200, 0x201, 3, paths[i].c_str(), 0};
            recorder.StopTask(&request);
        }
    }
    for (const auto& path : paths)
        std::filesystem::remove(std::string(path.begin(), path.end()));
    // Input bytes per task: the rate each task keeps up with.
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(input.size()));
    state.counters["tasks"] = tasks;
}
BENCHMARK(BM_RecorderTasks)->Arg(1)->Arg(12)->Unit(benchmark::kMillisecond)->UseRealTime();

#if defined(VELMORA_BENCH_AVFORMAT)
struct MemoryInput {
    const std::vector<uint8_t>* data;
    size_t at;
};

int ReadMemory(void* opaque, uint8_t* buffer, int size) {
    auto* in = static_cast<MemoryInput*>(opaque);
    const size_t n = std::min<size_t>(static_cast<size_t>(size), in->data->size() - in->at);
    if (n == 0) return AVERROR_EOF;
    std::copy_n(in->data->begin() + static_cast<std::ptrdiff_t>(in->at), n, buffer);
    in->at += n;
    return static_cast<int>(n);
}

// ffmpeg -i input.ts -map 0:v:0 -map 0:a:0 -c copy -f vob output.mpg
bool CopyToVob(const std::vector<uint8_t>& input, const std::string& path) {
    MemoryInput memory{&input, 0};
    auto* ioBuffer = static_cast<uint8_t*>(av_malloc(1 << 16));
    AVIOContext* io =
        avio_alloc_context(ioBuffer, 1 << 16, 0, &memory, ReadMemory, nullptr, nullptr);
    AVFormatContext* in = avformat_alloc_context();
    in->pb = io;
    bool ok = avformat_open_input(&in, nullptr, nullptr, nullptr) == 0 &&
              avformat_find_stream_info(in, nullptr) >= 0;
    AVFormatContext* out = nullptr;
    int map[2] = {-1, -1};
    if (ok) {
        for (unsigned i = 0; i < in->nb_streams; ++i) {
            if (in->streams[i]->id == 0x200) map[0] = static_cast<int>(i);
            if (in->streams[i]->id == 0x201) map[1] = static_cast<int>(i);
        }
        ok = map[0] >= 0 && map[1] >= 0 &&
             avformat_alloc_output_context2(&out, nullptr, "vob", path.c_str()) >= 0;
    }
    int outIndex[64];
    std::fill(outIndex, outIndex + 64, -1);
    for (int k = 0; ok && k < 2; ++k) {
        AVStream* stream = avformat_new_stream(out, nullptr);
        ok = stream != nullptr &&
             avcodec_parameters_copy(stream->codecpar, in->streams[map[k]]->codecpar) >= 0;
        if (ok) {
            stream->codecpar->codec_tag = 0;
            stream->time_base = in->streams[map[k]]->time_base;
            outIndex[map[k]] = k;
        }
    }
    ok = ok && avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 &&
         avformat_write_header(out, nullptr) >= 0;
    AVPacket* packet = av_packet_alloc();
    while (ok && av_read_frame(in, packet) >= 0) {
        const int target = packet->stream_index < 64 ? outIndex[packet->stream_index] : -1;
        if (target >= 0) {
            av_packet_rescale_ts(packet, in->streams[packet->stream_index]->time_base,
                                 out->streams[target]->time_base);
            packet->stream_index = target;
            packet->pos = -1;
            ok = av_interleaved_write_frame(out, packet) >= 0;
        }
        av_packet_unref(packet);
    }
    if (ok) av_write_trailer(out);
    av_packet_free(&packet);
    if (out != nullptr) {
        if (out->pb != nullptr) avio_closep(&out->pb);
        avformat_free_context(out);
    }
    avformat_close_input(&in);
    av_freep(&io->buffer);
    avio_context_free(&io);
    return ok;
}

void BM_LibavformatVobCopy(benchmark::State& state) {
    const std::vector<uint8_t>& input = Input();
    const std::string path = TempPath("vob.mpg");
    av_log_set_level(AV_LOG_ERROR);
    for (auto _ : state) {
        if (!CopyToVob(input, path)) {
            state.SkipWithError("libavformat could not copy the program");
            break;
        }
    }
    std::filesystem::remove(path);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(input.size()));
}
BENCHMARK(BM_LibavformatVobCopy)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

// Recording throughput: the recorder's tasks turning program 1 of the
// three-program fixture, padded with null packets to the ASI payload rate
// (26.6 MB/s, so one second of input holds 26.6 MB), into program-stream
// files; input MB/s with 1 and 12 tasks, fed in the engine's chunks through
// each slot's ring. Beside libavformat's stream copy of the same program to
// its "vob" muxer (what ffmpeg -c copy -f vob does), when it is installed,
// once per task. The tasks pace themselves (1 ms at each unit start, as on a
// live input) and run at once where the copies run one after another, so
// their wall times are no speed comparison: the ratio "cpu_vs_avformat_copy"
// is of the CPU time of the same work (the recorder's with the copy of the
// input into each task's ring, as the engine distributes it).
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

#include "AvformatVobCopy.h"
#include "BesidePeers.h"

#if defined(VELMORA_BENCH_AVFORMAT)
extern "C" {
#include <libavutil/log.h>
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

using Rings = std::vector<std::unique_ptr<velmora::ts::CCirBuffer>>;

// A ring for each task, its pages touched once here rather than in the
// first timed run.
Rings TouchedRings(uint32_t tasks) {
    Rings rings;
    for (uint32_t i = 0; i < tasks; ++i) {
        rings.push_back(std::make_unique<velmora::ts::CCirBuffer>(kRingSize));
        rings.back()->Write(Input().data(), kRingSize);
        rings.back()->Reset();
    }
    return rings;
}

// Each task records the whole input once through its ring (one a path),
// which it finds empty and leaves empty; false when a task did not start.
bool RecordOnce(const std::vector<uint8_t>& input, const std::vector<std::wstring>& paths,
                const Rings& rings) {
    const auto tasks = static_cast<uint32_t>(paths.size());
    // The rings outlive the recorder, which ends its tasks when it goes.
    velmora::record::CProgramRecorder recorder(188, nullptr);
    for (uint32_t i = 0; i < tasks; ++i) {
        const velmora::record::RECORDER_TASK_REQUEST request{1, 0x200, 0x201, 3, paths[i].c_str(),
                                                             0};
        // A task that did not start would never drain its ring.
        if (recorder.StartTask(&request, i, rings[i].get(), 0) != 0) return false;
    }
    for (size_t at = 0; at < input.size(); at += kChunk) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(kChunk, input.size() - at));
        // Waiting for room sleeps, so that the CPU time is the tasks'.
        for (auto& ring : rings)
            while (ring->Write(&input[at], n) != 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    for (auto& ring : rings)
        while (ring->GetFillSize() != 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    for (uint32_t i = 0; i < tasks; ++i) {
        const velmora::record::RECORDER_TASK_REQUEST request{1, 0x200, 0x201, 3, paths[i].c_str(),
                                                             0};
        recorder.StopTask(&request);
    }
    return true;
}

// The tasks' files, so that a run that records nothing leaves none to be
// taken for its output.
void RemoveFiles(const std::vector<std::wstring>& paths) {
    for (const auto& path : paths)
        std::filesystem::remove(std::string(path.begin(), path.end()));
}

// libavformat's stream copy of the same program, once per task: the same
// work as the recorder's tasks. Each copy must write at least the stream
// bytes that libavformat reads back from the first task's file.
std::vector<velmora::bench::PeerCall> StreamCopyPeer([[maybe_unused]] uint32_t tasks,
                                                     [[maybe_unused]] const std::wstring& ours) {
#if defined(VELMORA_BENCH_AVFORMAT)
    av_log_set_level(AV_LOG_ERROR);
    auto fewest = std::make_shared<int64_t>(-1);
    return {{"avformat_copy",
             [tasks, fewest, path = TempPath("peer.mpg")] {
                 for (uint32_t i = 0; i < tasks; ++i) {
                     const int64_t written = velmora::bench::AvformatVobCopyMemory(
                         Input(), {0x200, 0x201}, path.c_str());
                     *fewest = i == 0 ? written : std::min(*fewest, written);
                 }
                 std::filesystem::remove(path);
                 return *fewest >= 0;
             },
             [fewest, file = std::string(ours.begin(), ours.end())] {
                 const int64_t recorded = velmora::bench::AvformatStreamBytes(file.c_str());
                 return recorded > 0 && *fewest >= recorded;
             },
             [fewest] { *fewest = -1; }}};
#else
    return {};
#endif
}

void BM_RecorderTasks(benchmark::State& state) {
    const auto tasks = static_cast<uint32_t>(state.range(0));
    const std::vector<uint8_t>& input = Input();
    std::vector<std::wstring> paths;
    for (uint32_t i = 0; i < tasks; ++i) {
        const std::string path = TempPath("task" + std::to_string(i) + ".mpg");
        paths.emplace_back(path.begin(), path.end());
    }
    const Rings rings = TouchedRings(tasks);
    velmora::bench::RunBesidePeers(
        state, [&] { return RecordOnce(input, paths, rings); }, StreamCopyPeer(tasks, paths[0]),
        [&] { RemoveFiles(paths); });
    auto& counters = state.counters;
    if (counters.count("avformat_copy_cpu_ms") != 0) {
        counters["cpu_vs_avformat_copy"] =
            counters["ours_cpu_ms"] / counters["avformat_copy_cpu_ms"];
        counters.erase("vs_avformat_copy");
    }
    RemoveFiles(paths);
    // Input bytes per task: the rate each task keeps up with.
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(input.size()));
    state.counters["tasks"] = tasks;
}
BENCHMARK(BM_RecorderTasks)->Arg(1)->Arg(12)->Unit(benchmark::kMillisecond)->UseRealTime();

#if defined(VELMORA_BENCH_AVFORMAT)
void Reference_LibavformatVobCopy(benchmark::State& state) {
    const std::vector<uint8_t>& input = Input();
    const std::string path = TempPath("vob.mpg");
    av_log_set_level(AV_LOG_ERROR);
    for (auto _ : state) {
        if (velmora::bench::AvformatVobCopyMemory(input, {0x200, 0x201}, path.c_str()) < 0) {
            state.SkipWithError("libavformat could not copy the program");
            break;
        }
    }
    std::filesystem::remove(path);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(input.size()));
}
BENCHMARK(Reference_LibavformatVobCopy)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

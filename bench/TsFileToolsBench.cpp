// The transport-stream file tools on a cached file: the export of two
// programs and the conversion of one program to a program stream, against
// reading the same bytes through the read-ahead reader (the floor) and
// libavformat's stream copy of the same streams (when it is installed: on its
// own, and beside each tool as "vs_avformat_copy"); both cut scans in I
// pictures a second.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "record/CutDetection.h"
#include "record/ReadAheadFile.h"
#include "record/TsAnalysis.h"
#include "record/TsExport.h"
#include "record/TsFileSet.h"
#include "record/TsToPsConverter.h"

#include "AvformatVobCopy.h"
#include "BesidePeers.h"

#if defined(VELMORA_BENCH_AVFORMAT)
extern "C" {
#include <libavutil/log.h>
}
#endif

namespace {

using namespace velmora::record;

std::vector<uint8_t> ReadFixture(const std::string& name) {
    std::ifstream in(std::string(VELMORA_BENCH_DATA_DIR) + "/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

size_t CountLines(const std::string& name) {
    std::ifstream in(std::string(VELMORA_BENCH_DATA_DIR) + "/" + name);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);)
        lines += !line.empty();
    return lines;
}

// About 16 MB of the three-program stream in one scratch file, written once.
struct Workload {
    std::string dir;
    std::string input;
    uint64_t size = 0;
    Workload() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) return;
        dir = pattern;
        input = dir + "/three.ts";
        std::ofstream out(input, std::ios::binary);
        std::vector<uint8_t> one;
        for (int i = 1; i <= 3; ++i) {
            const std::vector<uint8_t> part = ReadFixture("cut_three_" + std::to_string(i) + ".ts");
            one.insert(one.end(), part.begin(), part.end());
        }
        while (size < 16u * 1024 * 1024 && !one.empty()) {
            out.write(reinterpret_cast<const char*>(one.data()),
                      static_cast<std::streamsize>(one.size()));
            size += one.size();
        }
        SCAN_PROGRAM_RECORD records[8];
        uint32_t count = 0;
        ScanPrograms(one.data(), static_cast<int32_t>(one.size()), 8, records, &count, nullptr,
                     nullptr);
    }
    ~Workload() {
        std::error_code ignored;
        if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }
};

Workload& Load() {
    static Workload workload;
    return workload;
}

void BM_ReadAheadFloor(benchmark::State& state) {
    Workload& w = Load();
    CReadAheadFile reader(1 << 20, 4096);
    uint8_t packet[188];
    for (auto _ : state) {
        reader.Open(w.input.c_str());
        while (reader.Read(packet, sizeof(packet)) == sizeof(packet))
            benchmark::DoNotOptimize(packet);
        reader.Close();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.size));
}
BENCHMARK(BM_ReadAheadFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

// libavformat's stream copy of the same input's PIDs into the named muxer,
// when it is installed.
std::vector<velmora::bench::PeerCall> StreamCopyPeer([[maybe_unused]] const Workload& w,
                                                     [[maybe_unused]] std::vector<int> pids,
                                                     [[maybe_unused]] const char* format) {
#if defined(VELMORA_BENCH_AVFORMAT)
    av_log_set_level(AV_LOG_QUIET);
    return {{"avformat_copy", [&w, pids, format, out = w.dir + "/peer." + format] {
                 return velmora::bench::AvformatVobCopyFile(w.input.c_str(), pids, out.c_str(),
                                                            format);
             }}};
#else
    return {};
#endif
}

// The tools refuse to overwrite a file: each run starts without the files
// of the run before.
void RemoveOutputs(const std::string& dir, const std::string& stem) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind(stem, 0) == 0) {
            std::filesystem::remove(entry.path());
        }
    }
}

// Beside the stream copy of both programs' streams into libavformat's
// transport-stream muxer.
void BM_ExportTwoPrograms(benchmark::State& state) {
    Workload& w = Load();
    CTsFileSet set;
    set.AddFile(w.input.c_str(), w.size, 0);
    const TS_EXPORT_PID kept[] = {
        {0x100, kUnassignedPid, kKindPmt, 0, 0, 0, 1, 0}, {0x200, kUnassignedPid, 0, 0, 0, 0, 1, 0},
        {0x201, kUnassignedPid, 0, 0, 0, 0, 1, 0},        {0x202, kUnassignedPid, 0, 0, 0, 0, 1, 0},
        {0x101, kUnassignedPid, kKindPmt, 0, 0, 0, 2, 0}, {0x203, kUnassignedPid, 0, 0, 0, 0, 2, 0},
        {0x204, kUnassignedPid, 0, 0, 0, 0, 2, 0}};
    CReadAheadFile reader(1 << 20, 4096);
    const std::string out = w.dir + "/export.tls";
    velmora::bench::RunBesidePeers(
        state,
        [&] {
            RemoveOutputs(w.dir, "export");
            return ExportTsWithCuts(&set, out.c_str(), kExportListMode, nullptr, 64, &reader,
                                    nullptr, nullptr, 0, kept, 7, nullptr, 0, 0, 0, 0, 0) == 0;
        },
        StreamCopyPeer(w, {0x200, 0x201, 0x202, 0x203, 0x204}, "mpegts"));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.size));
}
BENCHMARK(BM_ExportTwoPrograms)->Unit(benchmark::kMillisecond)->UseRealTime();

// Beside the stream copy of the same two streams into libavformat's "vob"
// muxer.
void BM_ConvertTsToPsAc3(benchmark::State& state) {
    Workload& w = Load();
    CTsFileSet set;
    set.AddFile(w.input.c_str(), w.size, 0);
    const std::string out = w.dir + "/convert_000.mpg";
    velmora::bench::RunBesidePeers(
        state,
        [&] {
            RemoveOutputs(w.dir, "convert_");
            return ConvertTsToPsAc3(&set, out.c_str(), 0x200, 0x202, 1024, nullptr, nullptr) == 0;
        },
        StreamCopyPeer(w, {0x200, 0x202}, "vob"));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.size));
}
BENCHMARK(BM_ConvertTsToPsAc3)->Unit(benchmark::kMillisecond)->UseRealTime();

#if defined(VELMORA_BENCH_AVFORMAT)
// The converter's peer: program 1's video and AC-3 sound only.
void BM_AvformatTsToPsCopyProgram(benchmark::State& state) {
    Workload& w = Load();
    av_log_set_level(AV_LOG_QUIET);
    const std::string out = w.dir + "/avformat1.vob";
    for (auto _ : state) {
        if (!velmora::bench::AvformatVobCopyFile(w.input.c_str(), {0x200, 0x202}, out.c_str())) {
            state.SkipWithError("libavformat copy failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.size));
}
BENCHMARK(BM_AvformatTsToPsCopyProgram)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AvformatTsToPsCopy(benchmark::State& state) {
    Workload& w = Load();
    av_log_set_level(AV_LOG_QUIET);
    const std::string out = w.dir + "/avformat.vob";
    for (auto _ : state) {
        if (!velmora::bench::AvformatVobCopyFile(w.input.c_str(), {}, out.c_str())) {
            state.SkipWithError("libavformat copy failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.size));
}
BENCHMARK(BM_AvformatTsToPsCopy)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

void ScanBench(benchmark::State& state, const char* name, const char* positions, bool picture) {
    const std::string path = std::string(VELMORA_BENCH_DATA_DIR) + "/" + name;
    const size_t pictures = CountLines(positions);
    PID_TABLE table;
    std::memset(&table, 0, sizeof(table));
    PidTableAdd(&table, 0x100)->streamKind = kKindVideo;
    CReadAheadFile reader(1 << 20, 4096);
    for (auto _ : state) {
        CTsFileSet set;
        set.AddFile(path.c_str(), std::filesystem::file_size(path), 0);
        // Step 0 throughout (a byte rate of 0): every I picture is classified.
        const uint32_t result =
            picture ? DetectCutsByPicture(&set, &table, &reader, nullptr, nullptr, 0, 10, 1)
                    : DetectCutsByBorder(&set, &table, 20000, 10000, 8.0f, 0.2f, &reader, nullptr,
                                         nullptr);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * pictures));
}

void BM_DetectCutsByPicture1080(benchmark::State& state) {
    ScanBench(state, "cut_pillar.ts", "cut_pillar_ipos.txt", true);
}
BENCHMARK(BM_DetectCutsByPicture1080)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DetectCutsByBorder(benchmark::State& state) {
    ScanBench(state, "cut_still.ts", "cut_still_ipos.txt", false);
}
BENCHMARK(BM_DetectCutsByBorder)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

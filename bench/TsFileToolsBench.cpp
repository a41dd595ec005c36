// The transport-stream file tools on a cached file: the export of two
// programs and the conversion of one program to a program stream, each
// beside a read of the same bytes through the system cache (the floor) and
// libavformat's stream copy of the same streams (when it is installed); the
// read-ahead reader beside the cached read; both cut scans in I pictures a
// second.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
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

constexpr uint64_t k33Bits = (uint64_t{1} << 33) - 1;

// A PTS or DTS (33 bits of 90 kHz, with marker bits) at p.
uint64_t TimeStamp(const uint8_t* p) {
    return (uint64_t{p[0] & 0x0Eu} << 29) | (uint64_t{p[1]} << 22) |
           (uint64_t{p[2] & 0xFEu} << 14) | (uint64_t{p[3]} << 7) | (p[4] >> 1);
}
void SetTimeStamp(uint8_t* p, uint64_t t) {
    p[0] = static_cast<uint8_t>((p[0] & 0xF1) | ((t >> 29) & 0x0E));
    p[1] = static_cast<uint8_t>(t >> 22);
    p[2] = static_cast<uint8_t>((t >> 14) | 1);
    p[3] = static_cast<uint8_t>(t >> 7);
    p[4] = static_cast<uint8_t>((t << 1) | 1);
}

// The 33-bit base of a PCR at p (its extension is left alone).
uint64_t PcrBase(const uint8_t* p) {
    return (uint64_t{p[0]} << 25) | (uint64_t{p[1]} << 17) | (uint64_t{p[2]} << 9) |
           (uint64_t{p[3]} << 1) | (p[4] >> 7);
}
void SetPcrBase(uint8_t* p, uint64_t base) {
    p[0] = static_cast<uint8_t>(base >> 25);
    p[1] = static_cast<uint8_t>(base >> 17);
    p[2] = static_cast<uint8_t>(base >> 9);
    p[3] = static_cast<uint8_t>(base >> 1);
    p[4] = static_cast<uint8_t>((p[4] & 0x7F) | ((base & 1) << 7));
}

// Where a packet's PCR and its PES header's PTS and DTS lie (0: none).
struct TimeStampPlaces {
    explicit TimeStampPlaces(const uint8_t* packet) {
        const uint8_t control = (packet[3] >> 4) & 3;
        size_t payload = 4;
        if ((control & 2) != 0) {
            if (packet[4] > 0 && (packet[5] & 0x10) != 0) pcr = 6;
            payload = 5 + size_t{packet[4]};
        }
        if ((control & 1) == 0 || (packet[1] & 0x40) == 0 || payload + 14 > 188) return;
        const uint8_t* pes = packet + payload;
        if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1) return;
        if ((pes[7] & 0x80) != 0) pts = payload + 9;
        if ((pes[7] & 0x40) != 0 && payload + 19 <= 188) dts = payload + 14;
    }
    size_t pcr = 0, pts = 0, dts = 0;
};

// The stream's running time in 90 kHz units: the largest span of one PID's
// PCRs, PTSs or DTSs with one more of its mean steps, so that the next copy's
// first stamp of each kind follows the last one of this copy.
uint64_t RunningTime(const std::vector<uint8_t>& ts) {
    std::map<std::pair<uint16_t, size_t>, std::vector<uint64_t>> stamps;  // by PID and kind
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        const uint8_t* packet = &ts[at];
        const auto pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
        const TimeStampPlaces places(packet);
        if (places.pcr != 0) stamps[{pid, 0}].push_back(PcrBase(packet + places.pcr));
        if (places.pts != 0) stamps[{pid, 1}].push_back(TimeStamp(packet + places.pts));
        if (places.dts != 0) stamps[{pid, 2}].push_back(TimeStamp(packet + places.dts));
    }
    uint64_t longest = 0;
    for (const auto& [key, times] : stamps) {
        if (times.size() < 2) continue;
        const auto [low, high] = std::minmax_element(times.begin(), times.end());
        const uint64_t span = *high - *low;
        longest = std::max(longest, span + span / (times.size() - 1));
    }
    return longest;
}

// One copy of the fixture with its time stamps moved on by offset and its
// continuity counters carried on from counters (by PID), which it updates.
void AppendCopy(const std::vector<uint8_t>& one, uint64_t offset, std::map<uint16_t, int>* counters,
                std::vector<uint8_t>* out) {
    const size_t start = out->size();
    out->insert(out->end(), one.begin(), one.end());
    for (size_t at = start; at + 188 <= out->size(); at += 188) {
        uint8_t* packet = out->data() + at;
        const auto pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
        if (pid == 0x1FFF) continue;
        const TimeStampPlaces places(packet);
        if (places.pcr != 0)
            SetPcrBase(packet + places.pcr, (PcrBase(packet + places.pcr) + offset) & k33Bits);
        for (const size_t place : {places.pts, places.dts}) {
            if (place != 0)
                SetTimeStamp(packet + place, (TimeStamp(packet + place) + offset) & k33Bits);
        }
        // A packet without payload repeats the counter of the one before.
        const auto [counter, first] = counters->try_emplace(pid, packet[3] & 0x0F);
        if (!first && (packet[3] & 0x10) != 0) counter->second = (counter->second + 1) & 0x0F;
        packet[3] = static_cast<uint8_t>((packet[3] & 0xF0) | counter->second);
    }
}

// About 16 MB of the three-program stream in one scratch file, written once:
// copies of the fixture, each with its time stamps and continuity counters
// following on from the last, so that the copies make one continuous stream
// (a copy with time stamps going back makes a muxer refuse its packets).
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
        std::vector<uint8_t> one;
        for (int i = 1; i <= 3; ++i) {
            const std::vector<uint8_t> part = ReadFixture("cut_three_" + std::to_string(i) + ".ts");
            one.insert(one.end(), part.begin(), part.end());
        }
        // The export rewrites the PAT and PMTs from the tables the scan of
        // the stream stores.
        SCAN_PROGRAM_RECORD records[8];
        uint32_t count = 0;
        ScanPrograms(one.data(), static_cast<int32_t>(one.size()), 8, records, &count, nullptr,
                     nullptr);
        const uint64_t runningTime = RunningTime(one);
        std::map<uint16_t, int> counters;
        std::vector<uint8_t> stream;
        for (uint64_t copy = 0; stream.size() < 16u * 1024 * 1024 && !one.empty(); ++copy)
            AppendCopy(one, copy * runningTime, &counters, &stream);
        std::ofstream out(input, std::ios::binary);
        out.write(reinterpret_cast<const char*>(stream.data()),
                  static_cast<std::streamsize>(stream.size()));
        size = stream.size();
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

// Reads the whole workload in 1 MiB blocks through the system cache: the
// floor of every tool reading it. True when every byte came.
bool CachedRead(const Workload& w) {
    std::ifstream in(w.input, std::ios::binary);
    std::vector<char> block(1 << 20);
    uint64_t total = 0;
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
        total += static_cast<uint64_t>(in.gcount());
    return total == w.size;
}

velmora::bench::PeerCall CachedReadFloor(const Workload& w) {
    return {"cached_read", [&w] { return CachedRead(w); }};
}

// Reads the whole workload in packets through the read-ahead reader; true
// when every byte came.
bool ReadAhead(const Workload& w, CReadAheadFile& reader, bool* unbuffered) {
    uint8_t packet[188];
    uint64_t total = 0;
    reader.Open(w.input.c_str());
    for (int32_t n; (n = reader.Read(packet, sizeof(packet))) > 0;)
        total += static_cast<uint64_t>(n);
    *unbuffered = reader.IsUnbuffered();
    reader.Close();
    return total == w.size;
}

// The read-ahead reader (past the system cache where the file system
// allows it: "direct_io") beside the cached read.
void BM_ReadAheadFloor(benchmark::State& state) {
    Workload& w = Load();
    CReadAheadFile reader(1 << 20, 4096);
    bool unbuffered = false;
    velmora::bench::RunBesidePeers(state, [&] { return ReadAhead(w, reader, &unbuffered); },
                                   {CachedReadFloor(w)});
    state.counters["direct_io"] = unbuffered;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.size));
}
BENCHMARK(BM_ReadAheadFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

// The tools refuse to overwrite a file: each run starts without the files
// of the run before.
void RemoveOutputs(const std::string& dir, const std::string& stem) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind(stem, 0) == 0) {
            std::filesystem::remove(entry.path());
        }
    }
}

// The tool's call on the workload (which removes its outputs of the run
// before, as the peer's open truncates its own), then the cached read and
// libavformat's stream copy of the same PIDs into the named muxer, when it is
// installed: the copy must write at least the stream bytes that libavformat
// reads back from the tool's output.
template <typename Tool>
void RunFileTool(benchmark::State& state, const Workload& w,
                 [[maybe_unused]] const std::string& output, Tool tool,
                 [[maybe_unused]] const std::vector<int>& pids,
                 [[maybe_unused]] const char* format) {
    std::vector<velmora::bench::PeerCall> peers{CachedReadFloor(w)};
#if defined(VELMORA_BENCH_AVFORMAT)
    av_log_set_level(AV_LOG_QUIET);
    auto written = std::make_shared<int64_t>(-1);
    const std::string peerOutput = w.dir + "/peer." + format;
    peers.push_back({"avformat_copy",
                     [&w, pids, format, peerOutput, written] {
                         *written = velmora::bench::AvformatVobCopyFile(w.input.c_str(), pids,
                                                                        peerOutput.c_str(), format);
                         return *written >= 0;
                     },
                     [output, written] {
                         const int64_t ours = velmora::bench::AvformatStreamBytes(output.c_str());
                         return ours > 0 && *written >= ours;
                     },
                     [written] { *written = -1; }});
#endif
    velmora::bench::RunBesidePeers(state, tool, std::move(peers));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.size));
}

// Beside the stream copy of both programs' streams into libavformat's
// transport-stream muxer.
void BM_ExportTwoPrograms(benchmark::State& state) {
    Workload& w = Load();
    CTsFileSet set;
    set.AddFile(w.input.c_str(), w.size, 0);
    const TS_EXPORT_PID kept[] = {{0x100, kUnassignedPid, kKindPmt, 0, 0, 0, 1, 0},
                                  {0x200, kUnassignedPid, kKindVideo, 0, 0, 0, 1, 0},
                                  {0x201, kUnassignedPid, kKindMpeg1Audio, 0, 0, 0, 1, 0},
                                  {0x202, kUnassignedPid, kKindAc3, 0, 0, 0, 1, 0},
                                  {0x101, kUnassignedPid, kKindPmt, 0, 0, 0, 2, 0},
                                  {0x203, kUnassignedPid, kKindVideo, 0, 0, 0, 2, 0},
                                  {0x204, kUnassignedPid, kKindMpeg1Audio, 0, 0, 0, 2, 0}};
    CReadAheadFile reader(1 << 20, 4096);
    const std::string list = w.dir + "/export.tls";
    RunFileTool(
        state, w, w.dir + "/export_000.tp",
        [&] {
            RemoveOutputs(w.dir, "export");
            return ExportTsWithCuts(&set, list.c_str(), kExportListMode, nullptr, 64, &reader,
                                    nullptr, nullptr, 0, kept, 7, nullptr, 0, 0, 0, 0, 0) == 0;
        },
        {0x200, 0x201, 0x202, 0x203, 0x204}, "mpegts");
}
BENCHMARK(BM_ExportTwoPrograms)->Unit(benchmark::kMillisecond)->UseRealTime();

// Beside the stream copy of the same two streams into libavformat's "vob"
// muxer.
void BM_ConvertTsToPsAc3(benchmark::State& state) {
    Workload& w = Load();
    CTsFileSet set;
    set.AddFile(w.input.c_str(), w.size, 0);
    const std::string out = w.dir + "/convert_000.mpg";
    RunFileTool(
        state, w, out,
        [&] {
            RemoveOutputs(w.dir, "convert_");
            return ConvertTsToPsAc3(&set, out.c_str(), 0x200, 0x202, 1024, nullptr, nullptr) == 0;
        },
        {0x200, 0x202}, "vob");
}
BENCHMARK(BM_ConvertTsToPsAc3)->Unit(benchmark::kMillisecond)->UseRealTime();

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

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "RecordTestSupport.h"
#include "RecorderTestSupport.h"
#include "WaitSupport.h"
#include "record/CutDetection.h"
#include "record/ReadAheadFile.h"
#include "record/TsAnalysis.h"
#include "record/TsExport.h"
#include "record/TsFileSet.h"
#include "record/TsToPsConverter.h"
#include "ts/CirBuffer.h"

namespace velmora::record {
namespace {

using test::FixturePath;
using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

uint32_t PacketPid(const uint8_t* p) {
    return ((p[1] & 0x1Fu) << 8) | p[2];
}

// Damages the tables and PES headers of a stream: random bytes in PAT, PMT
// and PES-start packets, and ATSC base-PID sections (VCT, MGT, others) with
// random lengths in place of some null packets.
void Mutate(std::vector<uint8_t>& ts, std::mt19937& rng) {
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        uint8_t* p = ts.data() + at;
        const uint32_t pid = PacketPid(p);
        const bool table = pid == 0 || (pid >= 0x100 && pid <= 0x102);
        const bool pesStart = (p[1] & 0x40) != 0 && pid >= 0x200 && pid < 0x300;
        if (pid == 0x1FFF && rng() % 8 == 0) {
            static const uint8_t kTables[] = {0xC7, 0xC8, 0xC9, 0xCD};
            p[1] = static_cast<uint8_t>(0x40 * (rng() % 2) | 0x1F);
            p[2] = 0xFB;
            p[4] = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : 0);
            p[5] = kTables[rng() % 4];
            for (int i = 6; i < 188; ++i)
                p[i] = static_cast<uint8_t>(rng());
            p[6] = static_cast<uint8_t>(0xF0 | (rng() % 16));
        } else if ((table && rng() % 3 == 0) || (pesStart && rng() % 6 == 0)) {
            const int count = 1 + static_cast<int>(rng() % 6);
            for (int i = 0; i < count; ++i) {
                const uint32_t where = 4 + rng() % (table ? 40 : 184);
                p[where] = static_cast<uint8_t>(rng());
            }
        } else if (rng() % 2000 == 0) {
            p[0] = static_cast<uint8_t>(rng());  // a lost sync byte
        }
    }
}

// Runs `tool` (given the number of its attempt) with `reader` again as long as
// it failed after the reader gave up waiting for its worker: a worker
// starved past the reader's one-second wait (a busy machine) fails the tool
// as a read error would, which is the tool's right answer and no finding of
// a test of damaged streams. The tool's last answer; retried up to the hang
// bound.
uint32_t RunAgainWhileStarved(const CReadAheadFile& reader,
                              const std::function<uint32_t(int)>& tool) {
    const auto end = std::chrono::steady_clock::now() + velmora::test::kHangBound;
    for (int attempt = 0;; ++attempt) {
        const uint64_t gaveUp = reader.GetUnsignalledWaits();
        const uint32_t result = tool(attempt);
        if (result == 0 || reader.GetUnsignalledWaits() == gaveUp ||
            std::chrono::steady_clock::now() > end) {
            return result;
        }
    }
}

TEST(TsToolsMutationTest, DamagedStreamsRunThroughEveryTool) {
    const std::vector<uint8_t> three = ReadWholeFile(FixturePath("cut_three_1.ts"));
    const std::vector<uint8_t> pillar = ReadWholeFile(FixturePath("cut_pillar.ts"));
    std::mt19937 rng(0x5eed15);
    PID_TABLE table;
    for (int round = 0; round < 24; ++round) {
        TempDir dir;  // the tools refuse to overwrite the last round's files
        std::vector<uint8_t> ts = round % 2 == 0 ? three : pillar;
        ts.resize(std::min<size_t>(ts.size(), 188 * 700));
        Mutate(ts, rng);
        const std::string input = dir.File("in.ts");
        WriteWholeFile(input, ts);
        CTsFileSet set;
        set.AddFile(input.c_str(), ts.size(), 0);
        set.AddCutMark(kCutExclude, 188 * (rng() % 700) + rng() % 3);
        set.AddCutMark(rng() % 3, 188 * (rng() % 700));
        SCAN_PROGRAM_RECORD records[8];
        uint32_t count = 0;
        ScanPrograms(ts.data(), static_cast<int32_t>(ts.size()), 8, records, &count, nullptr,
                     nullptr);
        std::vector<TS_EXPORT_PID> kept;
        for (uint16_t pid : {0x100, 0x101}) {
            kept.push_back(TS_EXPORT_PID{pid, kUnassignedPid, kKindPmt, 0, 0, 0, 1, 0});
        }
        for (uint16_t pid = 0x200; pid < 0x206; ++pid) {
            kept.push_back(TS_EXPORT_PID{pid, kUnassignedPid, 0, 0, 0, 0, 1, 0});
        }
        kept.push_back(TS_EXPORT_PID{0x1FFB, kUnassignedPid, kKindAtscBase, 0, 0, 0, 0, 0});
        const uint16_t excluded[] = {0x202};
        CReadAheadFile reader(1 << 16, 4096);
        const uint8_t noSplit = static_cast<uint8_t>(rng() % 2);
        const uint8_t nullStuffing = static_cast<uint8_t>(rng() % 2);
        // Each attempt writes files of its own: the tool refuses to
        // overwrite the last one's.
        std::string name;
        EXPECT_EQ(RunAgainWhileStarved(reader,
                                       [&](int attempt) {
                                           name = "out" + std::to_string(attempt);
                                           const std::string list = dir.File(name + ".tls");
                                           return ExportTsWithCuts(
                                               &set, list.c_str(), kExportListMode, nullptr, 1,
                                               &reader, nullptr, nullptr, 0, kept.data(),
                                               static_cast<uint32_t>(kept.size()), excluded, 1,
                                               noSplit, nullStuffing, 1088, 1);
                                       }),
                  0u);
        const std::vector<uint8_t> out = ReadWholeFile(dir.File(name + "_000.tp"));
        EXPECT_EQ(out.size() % 188, 0u);

        // Both converters: whole packs whatever the damage.
        const bool three = round % 2 == 0;
        const std::string ps = dir.File("out_000.mpg");
        EXPECT_EQ(ConvertTsToPsAc3(&set, ps.c_str(), three ? 0x200 : 0x100, three ? 0x202 : -1, 1,
                                   nullptr, nullptr),
                  0u);
        EXPECT_EQ(velmora::test::ReadPsFile(ReadWholeFile(ps)).error, "");
        const std::string fromRing = dir.File("ring_000.mpg");
        ts::CCirBuffer ring(static_cast<uint32_t>(ts.size()));
        ASSERT_EQ(ring.Write(ts.data(), static_cast<uint32_t>(ts.size())), 0u);
        const std::atomic<uint32_t> end{1};
        EXPECT_EQ(ConvertTsToPs(fromRing.c_str(), three ? 0x200 : 0x100, three ? 0x201 : 0, 1,
                                &ring, &end),
                  0u);
        EXPECT_EQ(velmora::test::ReadPsFile(ReadWholeFile(fromRing)).error, "");

        std::memset(&table, 0, sizeof(table));
        PidTableAdd(&table, round % 2 == 0 ? 0x200 : 0x100)->streamKind = kKindVideo;
        EXPECT_EQ(RunAgainWhileStarved(reader,
                                       [&](int) {
                                           return DetectCutsByPicture(&set, &table, &reader,
                                                                      nullptr, nullptr, 1000, 10,
                                                                      1);
                                       }),
                  0u);
        EXPECT_EQ(RunAgainWhileStarved(reader,
                                       [&](int) {
                                           return DetectCutsByBorder(&set, &table, 2000, 1000, 8.0f,
                                                                     0.2f, &reader, nullptr,
                                                                     nullptr);
                                       }),
                  0u);
    }
}

// A FIFO in place of a file is refused at once by every tool. A tool still
// waiting in its open after a bound is let go by a writer, and fails here.
TEST(TsToolsMutationTest, FifoInputIsRefusedWithoutWaiting) {
    TempDir dir;
    const std::string fifo = dir.File("fifo.ts");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    CTsFileSet set;
    set.AddFile(fifo.c_str(), 188 * 100, 0);
    PID_TABLE table{};
    PidTableAdd(&table, 0x200)->streamKind = kKindVideo;
    for (int tool = 0; tool < 4; ++tool) {
        auto result = std::async(std::launch::async, [&] {
            CReadAheadFile reader(1 << 16, 4096);
            const std::string out = dir.File("out" + std::to_string(tool) + "_000");
            switch (tool) {
                case 0:
                    return ExportTsWithCuts(&set, out.c_str(), 0, nullptr, 1, &reader, nullptr,
                                            nullptr, 0, nullptr, 0, nullptr, 0, 1, 0, 0, 0);
                case 1:
                    return ConvertTsToPsAc3(&set, out.c_str(), 0x200, 0x202, 1, nullptr, nullptr);
                case 2:
                    return DetectCutsByPicture(&set, &table, &reader, nullptr, nullptr, 1000, 10,
                                               1);
                default:
                    return DetectCutsByBorder(&set, &table, 2000, 1000, 8.0f, 0.2f, &reader,
                                              nullptr, nullptr);
            }
        });
        const bool waited = result.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
        while (result.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
            if (const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) close(fd);
        }
        EXPECT_FALSE(waited) << tool;
        EXPECT_EQ(result.get(), 1u) << tool;
    }
}

}  // namespace
}  // namespace velmora::record

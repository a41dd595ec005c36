#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "RecordTestSupport.h"
#include "platform/Trace.h"
#include "record/ReadAheadFile.h"
#include "record/TsAnalysis.h"
#include "record/TsExport.h"
#include "record/TsFileSet.h"
#include "ts/Crc32Mpeg.h"

namespace velmora::record {
namespace {

using test::FileSizeLimit;
using test::FixturePath;
using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

uint32_t Pid(const uint8_t* p) {
    return ((p[1] & 0x1Fu) << 8) | p[2];
}

std::vector<uint64_t> ReadOffsetFile(const std::string& path) {
    std::vector<uint64_t> offsets;
    std::ifstream in(path);
    for (uint64_t v; in >> v;)
        offsets.push_back(v);
    return offsets;
}

// Copies of the three cut files, `rounds` times, under names that sort in
// stream order; the set holds them.
struct ThreeProgramSet {
    TempDir dir;
    CTsFileSet set;
    std::vector<uint8_t> bytes;  // the whole set, in order

    explicit ThreeProgramSet(int rounds) {
        for (int r = 0; r < rounds; ++r) {
            for (int i = 1; i <= 3; ++i) {
                const std::vector<uint8_t> part =
                    ReadWholeFile(FixturePath("cut_three_" + std::to_string(i) + ".ts"));
                const std::string name =
                    dir.File("in" + std::to_string(r) + std::to_string(i) + ".ts");
                WriteWholeFile(name, part);
                set.AddFile(name.c_str(), part.size(), 0);
                bytes.insert(bytes.end(), part.begin(), part.end());
            }
        }
        SCAN_PROGRAM_RECORD records[16];
        uint32_t count = 0;
        ScanPrograms(bytes.data(), 188 * 400, 16, records, &count, nullptr, nullptr);
    }
};

TS_EXPORT_PID Kept(uint16_t pid, uint32_t kind, uint32_t program) {
    TS_EXPORT_PID r{};
    r.pid = pid;
    r.newPid = kUnassignedPid;
    r.kind = kind;
    r.programNumber = program;
    return r;
}

struct ExportResult {
    std::map<uint32_t, std::vector<uint8_t>> payload;   // by PID
    std::map<uint32_t, uint32_t> pmtProgram;            // PMT PID -> program
    std::map<uint32_t, std::vector<uint32_t>> streams;  // PMT PID -> ES PIDs
    uint32_t packets = 0;
    uint32_t nulls = 0;
    uint32_t badCrc = 0;
    uint32_t counterBreaks = 0;
};

bool SectionCrcOk(const uint8_t* section) {
    const uint32_t length = 3 + (((section[1] & 0x0Fu) << 8) | section[2]);
    return length <= 184 && ts::Crc32Mpeg(section, length) == 0;
}

void ParseOutput(const std::vector<uint8_t>& out, ExportResult* result, uint32_t programs) {
    std::map<uint32_t, int> counters;
    for (size_t at = 0; at + 188 <= out.size(); at += 188) {
        const uint8_t* p = out.data() + at;
        ASSERT_EQ(p[0], 0x47);
        ++result->packets;
        const uint32_t pid = Pid(p);
        if (pid == 0x1FFF) {
            ++result->nulls;
            continue;
        }
        const int32_t payload = TsPayloadOffset(p);
        const int cc = p[3] & 0x0F;
        if (counters.count(pid) != 0) {
            const int expected = payload >= 0 ? (counters[pid] + 1) & 15 : counters[pid];
            result->counterBreaks += cc != expected;
        }
        counters[pid] = cc;
        if (payload < 0) continue;
        if (pid == 0 || result->pmtProgram.count(pid) != 0) {
            const uint8_t* s = p + payload + 1 + p[payload];
            result->badCrc += !SectionCrcOk(s);
            const uint32_t length = ((s[1] & 0x0Fu) << 8) | s[2];
            if (pid == 0) {
                EXPECT_EQ(length, 4 * programs + 9);
                for (uint32_t n = 1; 8 + 4 * n <= length - 1; ++n) {
                    const uint8_t* e = s + 4 + 4 * n;
                    EXPECT_EQ((e[0] << 8) | e[1], n);
                    const uint32_t pmt = ((e[2] & 0x1Fu) << 8) | e[3];
                    EXPECT_EQ(pmt, 16 * n);
                    result->pmtProgram[pmt] = n;
                }
            } else {
                EXPECT_EQ(((s[3] << 8) | s[4]), result->pmtProgram[pid]);
                std::vector<uint32_t> es;
                const uint32_t end = 3 + length - 4;
                for (uint32_t e = 12 + (((s[10] & 0x0Fu) << 8) | s[11]); e + 5 <= end;
                     e += 5 + (((s[e + 3] & 0x0Fu) << 8) | s[e + 4])) {
                    es.push_back(((s[e + 1] & 0x1Fu) << 8) | s[e + 2]);
                }
                result->streams[pid] = es;
            }
            continue;
        }
        auto& bytes = result->payload[pid];
        bytes.insert(bytes.end(), p + payload, p + 188);
    }
}

// The payload of a PID over the included packets of the set.
std::vector<uint8_t> IncludedPayload(CTsFileSet& set, const std::vector<uint8_t>& bytes,
                                     uint32_t pid) {
    std::vector<uint8_t> out;
    TS_CUT_MARK* mark = set.NextMark(nullptr);
    uint32_t state = kCutInclude;
    for (uint64_t at = 0; at + 188 <= bytes.size(); at += 188) {
        while (mark != nullptr && mark->entry->startOffset + mark->position <= at) {
            state = mark->kind;
            mark = set.NextMark(mark);
        }
        const uint8_t* p = bytes.data() + at;
        const int32_t payload = TsPayloadOffset(p);
        if (state != kCutExclude && Pid(p) == pid && payload >= 0) {
            out.insert(out.end(), p + payload, p + 188);
        }
    }
    return out;
}

std::string Captured;
void CaptureTrace() {
    Captured.clear();
    platform::SetTraceCapture([](std::string_view text) { Captured += text; });
}

uint32_t Export(ThreeProgramSet& in, const std::string& path, uint32_t mode, uint32_t splitMiB,
                const std::vector<TS_EXPORT_PID>& kept, const std::vector<uint16_t>& excluded,
                uint8_t noSplit, uint8_t nullStuffing, TsExportProgress progress = nullptr,
                void* argument = nullptr) {
    CReadAheadFile reader(1 << 18, 4096);
    return ExportTsWithCuts(&in.set, path.c_str(), mode, nullptr, splitMiB, &reader, progress,
                            argument, 0, kept.data(), static_cast<uint32_t>(kept.size()),
                            excluded.data(), static_cast<uint32_t>(excluded.size()), noSplit,
                            nullStuffing, 0, 0);
}

const std::vector<TS_EXPORT_PID> kTwoPrograms = {
    Kept(0x100, kKindPmt, 1), Kept(0x200, 0, 1), Kept(0x201, 0, 1), Kept(0x202, 0, 1),
    Kept(0x101, kKindPmt, 2), Kept(0x203, 0, 2), Kept(0x204, 0, 2), Kept(0x205, 0, 2)};

TEST(TsExportTest, TwoProgramsWithCutsSplitIntoListedFiles) {
    ThreeProgramSet in(3);
    ASSERT_EQ(g_TsScanStore.pmtPacketCount, 3u);
    const uint64_t fileSize = in.set.GetFirstFile()->size;
    // Exclude from inside the first file into the second, across the boundary.
    in.set.AddCutMark(kCutExclude, 188 * 300);
    in.set.AddCutMark(kCutInclude, fileSize + 188 * 200);
    const std::string list = in.dir.File("show.TLS");
    CaptureTrace();
    ASSERT_EQ(Export(in, list, kExportListMode, 1, kTwoPrograms, {0x202}, 0, 1), 0u) << Captured;
    platform::SetTraceCapture({});

    std::vector<uint8_t> all;
    std::string expectedList = std::string("KarnTV List File.\n") + std::string(8, '\0');
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i) {
        char name[16];
        std::snprintf(name, sizeof(name), "show_%03d.tp", i);
        const std::string path = in.dir.File(name);
        if (!std::filesystem::exists(path)) break;
        names.push_back(path);
        expectedList += path + "||";
    }
    ASSERT_GE(names.size(), 2u);
    const std::vector<uint8_t> listBytes = ReadWholeFile(list);
    EXPECT_EQ(std::string(listBytes.begin(), listBytes.end()), expectedList);
    for (size_t i = 0; i < names.size(); ++i) {
        const std::vector<uint8_t> part = ReadWholeFile(names[i]);
        EXPECT_EQ(part.size() % 188, 0u);
        EXPECT_LT(part.size(), 1048576u);
        if (i + 1 < names.size()) {
            EXPECT_GE(part.size() + 188, 1048576u);
        }
        all.insert(all.end(), part.begin(), part.end());
    }

    ExportResult result;
    ParseOutput(all, &result, 2);
    EXPECT_EQ(result.badCrc, 0u);
    EXPECT_EQ(result.counterBreaks, 0u);
    // Null stuffing keeps the packet count: the start's PAT and PMTs, then
    // one packet for each included input packet.
    EXPECT_EQ(result.packets * 188, 7 * 188 + in.set.GetIncludedLength());
    EXPECT_GT(result.nulls, 0u);
    EXPECT_EQ(result.streams[0x10], (std::vector<uint32_t>{0x11, 0x14}));
    EXPECT_EQ(result.streams[0x20], (std::vector<uint32_t>{0x21, 0x24, 0x25}));
    const std::map<uint32_t, uint32_t> renumbered = {
        {0x200, 0x11}, {0x201, 0x14}, {0x203, 0x21}, {0x204, 0x24}, {0x205, 0x25}};
    for (const auto& [from, to] : renumbered) {
        EXPECT_EQ(result.payload[to], IncludedPayload(in.set, in.bytes, from)) << std::hex << from;
    }
    EXPECT_EQ(result.payload.count(0x202), 0u);
    EXPECT_EQ(result.payload.count(0x206), 0u);

    if (std::system("ffprobe -version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ffprobe not installed: program listing not compared";
    }
    const std::string probe = "ffprobe -v error -show_entries program=program_num -of csv=p=0 " +
                              names[0] + " > " + in.dir.File("probe.txt");
    ASSERT_EQ(std::system(probe.c_str()), 0);
    std::ifstream text(in.dir.File("probe.txt"));
    std::vector<int> programs;
    for (std::string line; std::getline(text, line);) {
        if (!line.empty()) programs.push_back(std::atoi(line.c_str()));
    }
    EXPECT_EQ(programs, (std::vector<int>{1, 2}));
}

TEST(TsExportTest, NoSplitModeStopsAtTheCallbackAndNamesFiles) {
    ThreeProgramSet in(1);
    const std::string out = in.dir.File("plain.ts");
    struct Calls {
        uint32_t count = 0;
        uint64_t written = 0;
    } calls;
    auto stop = [](const char*, const char*, uint64_t, uint64_t, uint64_t, uint64_t written,
                   uint32_t, void* argument) -> uint32_t {
        auto* c = static_cast<Calls*>(argument);
        ++c->count;
        c->written = written;
        return 0;
    };
    EXPECT_EQ(Export(in, out, 0, 0, kTwoPrograms, {}, 1, 0, stop, &calls), 0u);
    EXPECT_EQ(calls.count, 1u);
    // Without null stuffing: start packets and what 63 rounds kept.
    const std::vector<uint8_t> bytes = ReadWholeFile(out);
    EXPECT_EQ(bytes.size(), calls.written);
    EXPECT_LE(bytes.size(), (7u + 63u) * 188);
    EXPECT_GT(bytes.size(), 7u * 188);

    // With the no-split flag, an include after an exclude opens the next file.
    in.set.AddCutMark(kCutExclude, 188 * 100);
    in.set.AddCutMark(kCutInclude, 188 * 200);
    const std::string list = in.dir.File("cuts.dat");
    EXPECT_EQ(Export(in, list, kExportListMode, 0, kTwoPrograms, {}, 1, 0), 0u);
    EXPECT_TRUE(std::filesystem::exists(in.dir.File("cuts.dat_000.tp")));
    EXPECT_TRUE(std::filesystem::exists(in.dir.File("cuts.dat_001.tp")));
    EXPECT_FALSE(std::filesystem::exists(in.dir.File("cuts.dat_002.tp")));
}

TEST(TsExportTest, BadInputFailsWithAMessage) {
    ThreeProgramSet in(1);
    CaptureTrace();
    CTsFileSet empty;
    CReadAheadFile reader(1 << 16, 4096);
    EXPECT_EQ(ExportTsWithCuts(&empty, in.dir.File("x.ts").c_str(), 0, nullptr, 1, &reader, nullptr,
                               nullptr, 0, nullptr, 0, nullptr, 0, 0, 0, 0, 0),
              1u);
    EXPECT_EQ(Export(in, in.dir.File("x.ts"), 0, 0, kTwoPrograms, {}, 0, 0), 1u);
    EXPECT_EQ(Export(in, in.dir.File("none/x.ts"), 0, 1, kTwoPrograms, {}, 0, 0), 1u);
    EXPECT_NE(Captured.find("Couldn't open output file"), std::string::npos);
    EXPECT_EQ(Export(in, in.dir.File("none/x.tls"), 1, 1, kTwoPrograms, {}, 0, 0), 1u);
    EXPECT_NE(Captured.find("Couldn't open output list file"), std::string::npos);
    in.set.AddFile(in.dir.File("in99.ts").c_str(), 188 * 10, 0);  // not on disk
    EXPECT_EQ(Export(in, in.dir.File("y.ts"), 0, 0, kTwoPrograms, {}, 1, 0), 1u);
    EXPECT_NE(Captured.find("Couldn't open input file"), std::string::npos);
    EXPECT_EQ(in.set.NextMark(nullptr), nullptr);
    in.set.RemoveFileByName(in.dir.File("in99.ts").c_str());
    {
        const FileSizeLimit limit(1000);
        EXPECT_EQ(Export(in, in.dir.File("full.ts"), 0, 0, kTwoPrograms, {}, 1, 0), 1u);
    }
    EXPECT_NE(Captured.find("Couldn't write to output file"), std::string::npos);
    // An existing file is kept untouched, and nothing is made for an export
    // whose first output or list file exists.
    in.set.AddCutMark(kCutIncludeSplit, 188 * 100);
    const struct {
        const char* path;
        uint32_t mode;
        const char* existing;
        const char* notMade;
    } existingFiles[] = {{"old.ts", 0, "old.ts", nullptr},
                         {"old.tls", kExportListMode, "old.tls", "old_000.tp"},
                         {"new.tls", kExportListMode, "new_000.tp", "new.tls"},
                         {"split.tls", kExportListMode, "split_001.tp", nullptr}};
    for (const auto& row : existingFiles) {
        const std::vector<uint8_t> kept = {'k', 'e', 'p', 't'};
        WriteWholeFile(in.dir.File(row.existing), kept);
        EXPECT_EQ(Export(in, in.dir.File(row.path), row.mode, 1, kTwoPrograms, {}, 0, 0), 1u)
            << row.path;
        EXPECT_EQ(ReadWholeFile(in.dir.File(row.existing)), kept) << row.path;
        if (row.notMade != nullptr) {
            EXPECT_FALSE(std::filesystem::exists(in.dir.File(row.notMade))) << row.path;
        }
    }
    EXPECT_NE(Captured.find("List file already exists"), std::string::npos);
    // More programs than one PAT packet holds are refused before any output.
    std::vector<TS_EXPORT_PID> many;
    for (uint16_t i = 0; i < 43; ++i)
        many.push_back(Kept(0x300 + i, kKindPmt, i + 1));
    EXPECT_EQ(Export(in, in.dir.File("many.ts"), 0, 0, many, {}, 1, 0), 1u);
    EXPECT_FALSE(std::filesystem::exists(in.dir.File("many.ts")));
    platform::SetTraceCapture({});
}

// The output files of an export in list mode, in order.
std::vector<std::vector<uint8_t>> ListedOutputs(const std::string& list) {
    const std::vector<uint8_t> bytes = ReadWholeFile(list);
    std::vector<std::vector<uint8_t>> outputs;
    const std::string text(bytes.begin() + std::min<size_t>(bytes.size(), 26), bytes.end());
    for (size_t at = 0, end; (end = text.find("||", at)) != std::string::npos; at = end + 2)
        outputs.push_back(ReadWholeFile(text.substr(at, end - at)));
    return outputs;
}

// A set cut inside packets, several cuts into one packet among them and
// empty files, exports the same packets into the same files as the one file,
// whatever mark lies from a shared packet's start up to the next file's first
// whole packet.
TEST(TsExportTest, FileSetSplitInsideAPacketExportsAsTheOneFile) {
    std::vector<uint8_t> ts = ReadWholeFile(FixturePath("cut_three_1.ts"));
    ts.resize(188 * 600);
    SCAN_PROGRAM_RECORD records[16];
    uint32_t count = 0;
    ScanPrograms(ts.data(), 188 * 400, 16, records, &count, nullptr, nullptr);
    std::mt19937 rng(37);
    for (int round = 0; round < 24; ++round) {
        const uint64_t shared = 188 * (100 + rng() % 400);
        const uint64_t cut = shared + 1 + rng() % 187;
        // On the shared packet's start, the file boundary, the next whole
        // packet, or anywhere between; a mark of each kind, alone or after
        // an exclude mark.
        const uint64_t window[] = {shared, cut, shared + 188, shared + rng() % 189};
        const uint64_t inWindow = window[round / 6];
        const uint32_t kind = static_cast<uint32_t>(round % 3);
        const bool excludedBefore = round % 6 >= 3;
        const uint64_t excludeAt = shared - 188 * (1 + rng() % 50);
        const uint8_t noSplit = static_cast<uint8_t>(rng() % 2);
        // Up to two further cuts: an empty file at the first, a cut into the
        // shared packet, or one anywhere.
        std::vector<uint64_t> ends = {cut, ts.size()};
        for (uint32_t more = rng() % 3; more > 0; --more) {
            const uint64_t at[] = {cut, cut + rng() % (shared + 189 - cut), rng() % ts.size()};
            ends.push_back(at[rng() % 3]);
        }
        std::sort(ends.begin(), ends.end());
        SCOPED_TRACE(testing::Message() << "cut " << cut << " mark " << kind << " at " << inWindow
                                        << (excludedBefore ? " after an exclude" : "") << " "
                                        << testing::PrintToString(ends));
        TempDir dir;
        CTsFileSet one;
        CTsFileSet two;
        WriteWholeFile(dir.File("whole.ts"), ts);
        one.AddFile(dir.File("whole.ts").c_str(), ts.size(), 0);
        uint64_t start = 0;
        for (uint64_t end : ends) {
            const std::string name =
                dir.File(std::string(1, static_cast<char>('a' + two.GetFileCount())) + ".ts");
            WriteWholeFile(name, std::vector<uint8_t>(ts.begin() + start, ts.begin() + end));
            two.AddFile(name.c_str(), end - start,
                        static_cast<uint32_t>((188 - start % 188) % 188));
            start = end;
        }
        std::vector<std::vector<std::vector<uint8_t>>> outputs;
        for (CTsFileSet* set : {&one, &two}) {
            if (excludedBefore) set->AddCutMark(kCutExclude, excludeAt);
            set->AddCutMark(kind, inWindow);
            if (kind == kCutExclude) set->AddCutMark(kCutInclude, inWindow + 188 * 20);
            const std::string list = dir.File(set == &one ? "one.tls" : "two.tls");
            CReadAheadFile reader(1 << 16, 4096);
            ASSERT_EQ(ExportTsWithCuts(set, list.c_str(), kExportListMode, nullptr, 1, &reader,
                                       nullptr, nullptr, 0, kTwoPrograms.data(),
                                       static_cast<uint32_t>(kTwoPrograms.size()), nullptr, 0,
                                       noSplit, 1, 0, 0),
                      0u);
            outputs.push_back(ListedOutputs(list));
        }
        EXPECT_EQ(outputs[0].size(), outputs[1].size());
        EXPECT_TRUE(outputs[0] == outputs[1]);  // the same bytes, file by file
    }
}

TEST(TsExportTest, FindsTheListedIntraPictures) {
    ThreeProgramSet in(1);
    const std::vector<uint64_t> expected = ReadOffsetFile(FixturePath("cut_three_ipos.txt"));
    ASSERT_GE(expected.size(), 3u);
    const uint8_t* data = in.bytes.data();
    const uint64_t size = in.bytes.size();
    uint64_t previous = 0;
    for (const uint64_t at : expected) {
        // The forward search looks 100 packets ahead.
        const uint64_t from = at > 188 * 50 ? at - 188 * 50 : 0;
        EXPECT_EQ(FindIFrameStartAfter(data, size, 0, &in.set, from, 0x200), at);
        EXPECT_EQ(FindIFrameStartBefore(data, size, 0, &in.set, at + 188 * 5 + 7, 0, 0x200), at);
        if (previous != 0) {
            EXPECT_EQ(FindIFrameStartBefore(data, size, 0, &in.set, at - 1, 0, 0x200), previous);
            EXPECT_EQ(FindIFrameStartBefore(data, size, 0, &in.set, at - 1, previous + 1, 0x200),
                      kNoOffset);
            // A buffer that starts after the previous picture holds none.
            EXPECT_EQ(FindIFrameStartBefore(data + previous + 188, size - previous - 188,
                                            previous + 188, &in.set, at - 1, 0, 0x200),
                      kNoOffset);
        }
        previous = at;
    }
    // Another program's video is not taken.
    EXPECT_NE(FindIFrameStartAfter(data, size, 0, &in.set, expected[1] - 188, 0x203), expected[1]);
}

TEST(TsExportTest, PacketHelpers) {
    uint8_t packet[188];
    std::memset(packet, 0x11, sizeof(packet));
    packet[0] = 0x72;
    MakeNullPacket(packet);
    EXPECT_EQ(packet[0], 0x72);
    EXPECT_EQ(Pid(packet), 0x1FFFu);
    EXPECT_EQ(packet[3], 0x10);
    EXPECT_EQ(packet[187], 0xFF);

    // The height patch touches 1088 only, not 576 (same low byte).
    const uint8_t header1088[] = {0x47, 0x00, 0x40, 0x10, 0, 0, 1, 0xB3, 0x78, 0x04, 0x40, 0x33};
    std::memset(packet, 0, sizeof(packet));
    std::memcpy(packet, header1088, sizeof(header1088));
    EXPECT_TRUE(PatchSequenceHeader1088(packet));
    EXPECT_EQ(packet[10], 0x38);
    packet[9] = 0x02;
    packet[10] = 0x40;
    EXPECT_FALSE(PatchSequenceHeader1088(packet));
    EXPECT_EQ(packet[10], 0x40);

    // PMT: one video, one AC-3; then an ES_info_length pointing far past.
    const uint8_t pmt[] = {0x47, 0x41, 0x00, 0x10, 0x00, 0x02, 0xB0, 0x17, 0x00, 0x01, 0xC1,
                           0x00, 0x00, 0xE2, 0x00, 0xF0, 0x00, 0x02, 0xE2, 0x00, 0xF0, 0x00,
                           0x81, 0xE2, 0x01, 0xF0, 0x00, 0,    0,    0,    0};
    std::memset(packet, 0xFF, sizeof(packet));
    std::memcpy(packet, pmt, sizeof(pmt));
    EXPECT_TRUE(PmtHasVideoAndAudio(packet));
    packet[25] = 0xFF;
    packet[26] = 0xFF;
    EXPECT_FALSE(PmtHasVideoAndAudio(packet));
    packet[7] = 0xFF;  // section_length past the packet
    EXPECT_FALSE(PmtHasVideoAndAudio(packet));
}

}  // namespace
}  // namespace velmora::record

namespace velmora::record {
namespace {

// Packs a section into packets of a PID, as a multiplexer would.
void AppendSection(std::vector<uint8_t>& ts, uint32_t pid, std::vector<uint8_t> section,
                   uint8_t* counter) {
    const uint32_t length = static_cast<uint32_t>(section.size()) + 4 - 3;
    section[1] = static_cast<uint8_t>((section[1] & 0xF0) | (length >> 8));
    section[2] = static_cast<uint8_t>(length);
    const uint32_t crc = ts::Crc32Mpeg(section.data(), static_cast<uint32_t>(section.size()));
    for (int shift = 24; shift >= 0; shift -= 8)
        section.push_back(uint8_t(crc >> shift));
    size_t done = 0;
    for (bool first = true; done < section.size(); first = false) {
        uint8_t p[188];
        std::memset(p, 0xFF, sizeof(p));
        p[0] = 0x47;
        p[1] = static_cast<uint8_t>((first ? 0x40 : 0) | (pid >> 8));
        p[2] = static_cast<uint8_t>(pid);
        p[3] = static_cast<uint8_t>(0x10 | ((*counter)++ & 15));
        size_t at = 4;
        if (first) p[at++] = 0;
        const size_t take = std::min(188 - at, section.size() - done);
        std::memcpy(p + at, section.data() + done, take);
        done += take;
        ts.insert(ts.end(), p, p + 188);
    }
}

std::vector<uint8_t> VctChannel(uint32_t program, uint32_t pcr, std::vector<uint32_t> pids,
                                uint32_t padding) {
    std::vector<uint8_t> c(32, 0);
    c[24] = static_cast<uint8_t>(program >> 8);
    c[25] = static_cast<uint8_t>(program);
    std::vector<uint8_t> d = {0xA1, 0, uint8_t(0xE0 | (pcr >> 8)), uint8_t(pcr),
                              uint8_t(pids.size())};
    for (uint32_t pid : pids) {
        d.insert(d.end(), {0x02, uint8_t(0xE0 | (pid >> 8)), uint8_t(pid), 'e', 'n', 'g'});
    }
    d[1] = static_cast<uint8_t>(d.size() - 2);
    if (padding != 0) {
        d.push_back(0x80);
        d.push_back(static_cast<uint8_t>(padding));
        d.insert(d.end(), padding, 0x55);
    }
    c[30] = static_cast<uint8_t>(0xFC | (d.size() >> 8));
    c[31] = static_cast<uint8_t>(d.size());
    c.insert(c.end(), d.begin(), d.end());
    return c;
}

TEST(TsExportTest, RewritesAtscTablesAndFollowsAPcrOnSound) {
    std::vector<uint8_t> ts;
    uint8_t cc[4] = {};
    // Program 5 becomes program 1.
    AppendSection(ts, 0, {0x00, 0xB0, 0, 0x00, 0x07, 0xC1, 0, 0, 0x00, 0x05, 0xE1, 0x00}, &cc[0]);
    // The PCR rides on the AC-3 stream.
    AppendSection(ts, 0x100, {0x02, 0xB0, 0,    0x00, 0x05, 0xC1, 0,    0,    0xE2, 0x01, 0xF0,
                              0x00, 0x02, 0xE2, 0x00, 0xF0, 0x00, 0x81, 0xE2, 0x01, 0xF0, 0x00},
                  &cc[1]);
    std::vector<uint8_t> vct = {0xC8, 0xF0, 0, 0x00, 0x07, 0xC1, 0, 0, 0, 2};
    const std::vector<uint8_t> one = VctChannel(5, 0x200, {0x200, 0x201, 0x333}, 0);
    const std::vector<uint8_t> two = VctChannel(2, 0x300, {0x300}, 150);
    vct.insert(vct.end(), one.begin(), one.end());
    vct.insert(vct.end(), two.begin(), two.end());
    vct.insert(vct.end(), {0xFC, 0x00});
    std::vector<uint8_t> mgt = {0xC7, 0xF0, 0, 0, 0, 0xC1, 0, 0, 0, 0, 2};
    mgt.insert(mgt.end(), {0x00, 0x04, 0xFF, 0xFB, 0xE1, 0, 0, 0x10, 0x00, 0xF0, 0x00});
    mgt.insert(mgt.end(), {0x00, 0x00, 0xFF, 0xFB, 0xE1, 0, 0, 0x01, 0x00, 0xF0, 0x02, 0x80, 0x00});
    mgt.insert(mgt.end(), {0xF0, 0x00});
    // A guide ahead of the first channel table, and one behind it.
    AppendSection(ts, 0x1FFB, mgt, &cc[2]);
    AppendSection(ts, 0x1FFB, vct, &cc[2]);
    AppendSection(ts, 0x1FFB, mgt, &cc[2]);
    ASSERT_EQ(ts.size(), 6u * 188);

    TempDir dir;
    const std::string input = dir.File("atsc.ts");
    WriteWholeFile(input, ts);
    CTsFileSet set;
    set.AddFile(input.c_str(), ts.size(), 0);
    SCAN_PROGRAM_RECORD records[4];
    uint32_t count = 0;
    std::vector<uint8_t> scan = ts;
    scan.insert(scan.begin(), ts.begin(), ts.begin() + 188);  // the scan skips its first packet
    ScanPrograms(scan.data(), static_cast<int32_t>(scan.size()), 4, records, &count, nullptr,
                 nullptr);
    ASSERT_EQ(g_TsScanStore.pmtPacketCount, 1u);
    const std::vector<TS_EXPORT_PID> kept = {Kept(0x100, kKindPmt, 5), Kept(0x200, 0, 5),
                                             Kept(0x201, 0, 5)};
    CReadAheadFile reader(1 << 16, 4096);
    const std::string out = dir.File("atsc_out.ts");
    ASSERT_EQ(ExportTsWithCuts(&set, out.c_str(), 0, nullptr, 0, &reader, nullptr, nullptr, 0,
                               kept.data(), 3, nullptr, 0, 1, 0, 0, 0),
              0u);
    const std::vector<uint8_t> bytes = ReadWholeFile(out);
    std::vector<const uint8_t*> sections;
    for (size_t at = 0; at + 188 <= bytes.size(); at += 188) {
        const uint8_t* p = bytes.data() + at;
        if ((p[1] & 0x40) != 0) sections.push_back(p + 5 + p[4]);
        if (Pid(p) == 0x10) {
            const uint8_t* s = p + 5;
            EXPECT_EQ(((s[8] & 0x1F) << 8) | s[9], 0x14);  // the sound's new PID
        }
    }
    // 3 PAT + 2 PMT at the start, then PAT, PMT, MGT, VCT and MGT.
    ASSERT_EQ(sections.size(), 10u);
    for (const uint8_t* s : sections)
        EXPECT_TRUE(SectionCrcOk(s));
    const uint8_t* v = sections[8];
    ASSERT_EQ(v[0], 0xC8);
    EXPECT_EQ(v[9], 1);  // one channel kept
    EXPECT_EQ((v[10 + 24] << 8) | v[10 + 25], 1);
    const uint8_t* d = v + 10 + 32;
    EXPECT_EQ(d[0], 0xA1);
    EXPECT_EQ(((d[2] & 0x1F) << 8) | d[3], 0x11);
    EXPECT_EQ(d[4], 2);
    EXPECT_EQ(((d[6] & 0x1F) << 8) | d[7], 0x11);
    EXPECT_EQ(((d[12] & 0x1F) << 8) | d[13], 0x14);
    const uint32_t vctLength = 3 + (((v[1] & 0x0F) << 8) | v[2]);
    for (const uint8_t* m : {sections[7], sections[9]}) {
        ASSERT_EQ(m[0], 0xC7);
        EXPECT_EQ((m[9] << 8) | m[10], 1);
        EXPECT_EQ((m[11] << 8) | m[12], 0);  // the first entry of type 0 to 3
        EXPECT_EQ(static_cast<uint32_t>((m[16] << 24) | (m[17] << 16) | (m[18] << 8) | m[19]),
                  vctLength);
    }
}

// A program whose streams cannot all have PIDs of their own under the
// renumbering is refused before any output.
TEST(TsExportTest, RefusesProgramsThatRenumberingCannotHold) {
    TempDir dir;
    auto run = [&](const std::vector<uint8_t>& entries, uint32_t streams) {
        std::vector<uint8_t> ts;
        uint8_t cc[2] = {};
        AppendSection(ts, 0, {0x00, 0xB0, 0, 0x00, 0x07, 0xC1, 0, 0, 0x00, 0x01, 0xE1, 0x00},
                      &cc[0]);
        std::vector<uint8_t> pmt = {0x02, 0xB0, 0, 0x00, 0x01, 0xC1, 0, 0, 0xE2, 0x00, 0xF0, 0x00};
        pmt.insert(pmt.end(), entries.begin(), entries.end());
        AppendSection(ts, 0x100, pmt, &cc[1]);
        const std::string input = dir.File("in.ts");
        WriteWholeFile(input, ts);
        std::vector<uint8_t> scan = ts;
        scan.insert(scan.begin(), ts.begin(), ts.begin() + 188);
        SCAN_PROGRAM_RECORD records[16];
        uint32_t count = 0;
        ScanPrograms(scan.data(), static_cast<int32_t>(scan.size()), 16, records, &count, nullptr,
                     nullptr);
        CTsFileSet set;
        set.AddFile(input.c_str(), ts.size(), 0);
        std::vector<TS_EXPORT_PID> kept = {Kept(0x100, kKindPmt, 1)};
        for (uint32_t i = 0; i < streams; ++i)
            kept.push_back(Kept(0x200 + i, 0, 1));
        CReadAheadFile reader(1 << 16, 4096);
        const std::string out = dir.File("out.ts");
        std::filesystem::remove(out);
        const uint32_t result = ExportTsWithCuts(
            &set, out.c_str(), 0, nullptr, 0, &reader, nullptr, nullptr, 0, kept.data(),
            static_cast<uint32_t>(kept.size()), nullptr, 0, 1, 0, 0, 0);
        return std::make_pair(result, std::filesystem::exists(out));
    };
    auto entry = [](uint8_t type, uint32_t pid) {
        return std::vector<uint8_t>{type, uint8_t(0xE0 | (pid >> 8)), uint8_t(pid), 0xF0, 0x00};
    };
    std::vector<uint8_t> twoVideos = entry(0x02, 0x200);
    const std::vector<uint8_t> second = entry(0x80, 0x201);
    twoVideos.insert(twoVideos.end(), second.begin(), second.end());
    EXPECT_EQ(run(twoVideos, 2), std::make_pair(1u, false));
    // Only the first video kept: fine.
    EXPECT_EQ(run(twoVideos, 1), std::make_pair(0u, true));

    std::vector<uint8_t> audio = entry(0x02, 0x200);
    for (uint32_t i = 1; i <= 12; ++i) {
        const std::vector<uint8_t> e = entry(0x03, 0x200 + i);
        audio.insert(audio.end(), e.begin(), e.end());
    }
    EXPECT_EQ(run(audio, 13), std::make_pair(1u, false));  // a 12th sound
    EXPECT_EQ(run(audio, 12), std::make_pair(0u, true));   // eleven fit
}

// Three kept programs: PAT section_length 4 x (3 + 1) + 5 = 21.
TEST(TsExportTest, ThreeProgramsGiveAPatOf21Bytes) {
    ThreeProgramSet in(1);
    std::vector<TS_EXPORT_PID> kept = kTwoPrograms;
    kept.push_back(Kept(0x102, kKindPmt, 3));
    kept.push_back(Kept(0x206, 0, 3));
    const std::string out = in.dir.File("three.ts");
    ASSERT_EQ(Export(in, out, 0, 0, kept, {}, 1, 0), 0u);
    ExportResult result;
    ParseOutput(ReadWholeFile(out), &result, 3);
    EXPECT_EQ(result.badCrc, 0u);
    EXPECT_EQ(result.pmtProgram.size(), 3u);
    EXPECT_EQ(result.streams[0x30], (std::vector<uint32_t>{0x31}));
}

}  // namespace
}  // namespace velmora::record

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <vector>

#include "RecordTestSupport.h"
#include "platform/Trace.h"
#include "record/BitStream.h"
#include "record/CutDetection.h"
#include "record/ReadAheadFile.h"
#include "record/TsFileSet.h"

namespace velmora::record {
namespace {

using test::FixturePath;

std::vector<uint64_t> ReadOffsets(const std::string& path) {
    std::vector<uint64_t> offsets;
    std::ifstream in(path);
    for (uint64_t v; in >> v;)
        offsets.push_back(v);
    return offsets;
}

struct Thumb {
    std::vector<uint8_t> pixels;
    MPEG_THUMBNAIL t{};
    Thumb(uint32_t width, uint32_t height, uint8_t value) : pixels(width * height * 3, value) {
        t.pixels = pixels.data();
        t.maximumWidth = t.usedWidth = width;
        t.maximumHeight = t.usedHeight = height;
        t.stride = width * 3;
        t.pictureValid = 1;
    }
    void Set(uint32_t x, uint8_t value) {
        for (uint32_t y = 0; y < t.maximumHeight; ++y)
            pixels[y * t.stride + 3 * x] = value;
    }
};

TEST(CutDetectionTest, BorderDifferenceComparesTheStrips) {
    Thumb a(240, 10, 50), b(240, 10, 50);
    EXPECT_EQ(BorderDifference(&a.t, &b.t, 0.1f), 0.0f);
    // 0.1 x 240 - 1 = 23 pixels a side: columns 0..22 and 217..239.
    b.Set(23, 0);
    b.Set(216, 0);
    EXPECT_EQ(BorderDifference(&a.t, &b.t, 0.1f), 0.0f);
    b.Set(22, 0);
    EXPECT_FLOAT_EQ(BorderDifference(&a.t, &b.t, 0.1f),
                    std::sqrt(50.0f * 50.0f * 10 / (10 * 2 * 23 * 3)));
    b.Set(217, 0);
    EXPECT_FLOAT_EQ(BorderDifference(&a.t, &b.t, 0.1f),
                    std::sqrt(2 * 50.0f * 50.0f * 10 / (10 * 2 * 23 * 3)));

    Thumb narrow(120, 10, 50);
    EXPECT_EQ(BorderDifference(&a.t, &narrow.t, 0.1f), 256.0f);
    EXPECT_EQ(BorderDifference(&a.t, nullptr, 0.1f), 256.0f);
    b.t.pictureValid = 0;
    EXPECT_EQ(BorderDifference(&a.t, &b.t, 0.1f), 256.0f);
    b.t.pictureValid = 1;
    // Strips under one pixel or no rows compare nothing: different, not NaN.
    EXPECT_EQ(BorderDifference(&a.t, &b.t, 0.004f), 256.0f);
    a.t.usedHeight = b.t.usedHeight = 0;
    EXPECT_EQ(BorderDifference(&a.t, &b.t, 0.1f), 256.0f);
}

TEST(CutDetectionTest, ClassifiesSideBars) {
    MACROBLOCK_MASK mask;
    ResetMacroblockMask(&mask);
    mask.width = 1920;
    mask.rows = 67;
    uint32_t result = 0;
    ClassifyPicture(&result, &mask, 0);
    EXPECT_EQ(result, kPictureFull);
    // Bars of 8 columns a side, starting at the second column: class 1.
    for (uint32_t r = 1; r < 67; ++r)
        mask.border[r] &= ~(0xFFu << 1) & ~(0xFFu << 20);
    ClassifyPicture(&result, &mask, 0);
    EXPECT_EQ(result, kPictureSideBars);
    ClassifyPicture(&result, &mask, 1);
    EXPECT_EQ(result, kPictureSideBars);
    std::fill(std::begin(mask.middle), std::end(mask.middle), 0u);
    ClassifyPicture(&result, &mask, 1);  // nothing in the middle
    EXPECT_EQ(result, kPictureFull);
    mask.border[30] |= 1u << 25;  // one row breaks the right bar at 6 columns
    ClassifyPicture(&result, &mask, 0);
    EXPECT_EQ(result, kPictureFull);
    mask.width = 720;
    ClassifyPicture(&result, &mask, 0);
    EXPECT_EQ(result, kPictureFull);
}

TEST(CutDetectionTest, CodedBlockPatternTable) {
    // Every pattern 0..63 once, and a prefix-free code: decode each.
    std::vector<int> seen(64, 0);
    for (uint32_t bits = 1; bits < 512; ++bits) {
        uint8_t buffer[8] = {static_cast<uint8_t>(bits >> 1), static_cast<uint8_t>(bits << 7)};
        InitBitStream(buffer, sizeof(buffer), 0);
        uint32_t pattern = 99;
        ASSERT_TRUE(GetCodedBlockPattern(&pattern)) << bits;
        ASSERT_LT(pattern, 64u);
        const int32_t used = g_BitStream.position;
        if ((bits & ((1u << (9 - used)) - 1)) == 0) ++seen[pattern];
    }
    for (int p = 0; p < 64; ++p)
        EXPECT_EQ(seen[p], 1) << p;
    uint8_t zero[8] = {};
    InitBitStream(zero, sizeof(zero), 0);
    uint32_t pattern = 0;
    EXPECT_FALSE(GetCodedBlockPattern(&pattern));
    uint8_t sixty[8] = {0xE0};
    InitBitStream(sixty, sizeof(sixty), 0);
    EXPECT_TRUE(GetCodedBlockPattern(&pattern));
    EXPECT_EQ(pattern, 60u);
}

PID_TABLE* VideoTable(uint32_t pid) {
    static PID_TABLE table;
    std::memset(&table, 0, sizeof(table));
    PID_TABLE_ENTRY* entry = PidTableAdd(&table, pid);
    entry->streamKind = kKindVideo;
    return &table;
}

std::vector<std::pair<uint32_t, uint64_t>> Marks(CTsFileSet& set) {
    std::vector<std::pair<uint32_t, uint64_t>> marks;
    for (TS_CUT_MARK* m = set.NextMark(nullptr); m != nullptr; m = set.NextMark(m)) {
        marks.emplace_back(m->kind, m->entry->startOffset + m->position);
    }
    return marks;
}

TEST(CutDetectionTest, PictureScanMarksPillarboxedSegments) {
    const std::string path = FixturePath("cut_pillar.ts");
    const std::vector<uint64_t> ipos = ReadOffsets(FixturePath("cut_pillar_ipos.txt"));
    ASSERT_EQ(ipos.size(), 8u);
    const std::vector<std::pair<uint32_t, uint64_t>> expected = {
        {kCutInclude, 0}, {kCutExclude, ipos[2]}, {kCutInclude, ipos[4]}, {kCutExclude, ipos[6]}};
    for (const uint32_t selector : {10u, 60u}) {
        for (const uint8_t middle : {0, 1}) {
            CTsFileSet set;
            set.AddFile(path.c_str(), std::filesystem::file_size(path), 0);
            CReadAheadFile reader(1 << 16, 4096);
            EXPECT_EQ(DetectCutsByPicture(&set, VideoTable(0x100), &reader, nullptr, nullptr, 1000,
                                          selector, middle),
                      0u);
            EXPECT_EQ(Marks(set), expected) << selector << " " << int(middle);
        }
    }
}

TEST(CutDetectionTest, BorderScanExcludesLongStillRuns) {
    const std::string path = FixturePath("cut_still.ts");
    const std::vector<uint64_t> ipos = ReadOffsets(FixturePath("cut_still_ipos.txt"));
    CTsFileSet set;
    set.AddFile(path.c_str(), std::filesystem::file_size(path), 0);
    CReadAheadFile reader(1 << 16, 4096);
    ASSERT_EQ(ipos.size(), 24u);
    // Still borders from ipos[7] to ipos[16]; a short still pair at the end.
    std::string trace;
    platform::SetTraceCapture([&trace](std::string_view text) { trace += text; });
    EXPECT_EQ(DetectCutsByBorder(&set, VideoTable(0x100), 20000, 10000, 8.0f, 0.2f, &reader,
                                 nullptr, nullptr),
              0u);
    platform::SetTraceCapture({});
    const std::vector<std::pair<uint32_t, uint64_t>> expected = {{kCutExclude, ipos[7]},
                                                                 {kCutInclude, ipos[16]}};
    EXPECT_EQ(Marks(set), expected);
    char line[64];
    std::snprintf(line, sizeof(line), "Start Exclude %08x%08x\n", 0u, uint32_t(ipos[7]));
    EXPECT_NE(trace.find(line), std::string::npos) << trace;

    // A run shorter than the minimum makes no mark; a second pass over the
    // marked set restarts at the include mark and adds nothing new.
    CTsFileSet shortRuns;
    shortRuns.AddFile(path.c_str(), std::filesystem::file_size(path), 0);
    EXPECT_EQ(DetectCutsByBorder(&shortRuns, VideoTable(0x100), 20000, 40000, 8.0f, 0.2f, &reader,
                                 nullptr, nullptr),
              0u);
    EXPECT_TRUE(Marks(shortRuns).empty());
    EXPECT_EQ(DetectCutsByBorder(&set, VideoTable(0x100), 20000, 10000, 8.0f, 0.2f, &reader,
                                 nullptr, nullptr),
              0u);
    EXPECT_EQ(Marks(set), expected);

    // With low limits the short still pair at the end is excluded too.
    CTsFileSet low;
    low.AddFile(path.c_str(), std::filesystem::file_size(path), 0);
    EXPECT_EQ(DetectCutsByBorder(&low, VideoTable(0x100), 1000, 1000, 8.0f, 0.2f, &reader, nullptr,
                                 nullptr),
              0u);
    const std::vector<std::pair<uint32_t, uint64_t>> all = {
        {kCutExclude, ipos[7]}, {kCutInclude, ipos[16]}, {kCutExclude, ipos[22]}};
    EXPECT_EQ(Marks(low), all);
}

}  // namespace
}  // namespace velmora::record

namespace velmora::record {
namespace {

TEST(CutDetectionTest, BadInputAndStoppingCallback) {
    CReadAheadFile reader(1 << 16, 4096);
    CTsFileSet empty;
    EXPECT_EQ(
        DetectCutsByBorder(&empty, VideoTable(0x100), 1, 1, 8.0f, 0.2f, &reader, nullptr, nullptr),
        1u);
    EXPECT_EQ(DetectCutsByPicture(&empty, VideoTable(0x100), &reader, nullptr, nullptr, 1, 10, 0),
              1u);
    test::TempDir dir;
    CTsFileSet missing;
    missing.AddFile(dir.File("gone.ts").c_str(), 188 * 100, 0);
    missing.AddCutMark(kCutExclude, 188 * 50);
    std::string trace;
    platform::SetTraceCapture([&trace](std::string_view text) { trace += text; });
    EXPECT_EQ(DetectCutsByBorder(&missing, VideoTable(0x100), 1, 1, 8.0f, 0.2f, &reader, nullptr,
                                 nullptr),
              1u);
    EXPECT_EQ(DetectCutsByPicture(&missing, VideoTable(0x100), &reader, nullptr, nullptr, 1, 10, 0),
              1u);
    platform::SetTraceCapture({});
    EXPECT_NE(trace.find("Couldn't open input file"), std::string::npos);
    EXPECT_EQ(missing.NextMark(nullptr)->position, 188 * 50);  // marks kept
    EXPECT_FALSE(reader.IsOpen());

    // Listed as larger than it is, the file ends early and the scan passes
    // 20,000,000 bytes: the callback's 0 ends it with 0, marks kept.
    const std::string path = test::FixturePath("cut_pillar.ts");
    CTsFileSet set;
    set.AddFile(path.c_str(), 21000000, 0);
    uint32_t calls = 0;
    auto stop = [](const char*, uint32_t, uint64_t, uint64_t, uint64_t, uint64_t, uint32_t,
                   void* argument) -> uint32_t {
        ++*static_cast<uint32_t*>(argument);
        return 0;
    };
    EXPECT_EQ(DetectCutsByPicture(&set, VideoTable(0x100), &reader, stop, &calls, 1000, 10, 0), 0u);
    EXPECT_EQ(calls, 1u);
    EXPECT_EQ(Marks(set).size(), 4u);
}

}  // namespace
}  // namespace velmora::record

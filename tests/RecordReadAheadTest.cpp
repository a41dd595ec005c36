#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CpuClassFake.h"
#include "RecordTestSupport.h"
#include "card/LoadTimeGlobals.h"
#include "record/Idct.h"
#include "record/ReadAheadFile.h"

namespace velmora::record {
namespace {

using test::TempDir;
using test::WriteWholeFile;

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    std::mt19937 rng(seed);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

TEST(ReadAheadFileTest, SmallFileExamples) {
    TempDir dir;
    const std::string path = dir.File("small.bin");
    const auto bytes = Pattern(1000, 1);
    WriteWholeFile(path, bytes);

    CReadAheadFile reader(4096, 512);
    EXPECT_EQ(reader.Read(nullptr, 0), -1);
    uint8_t out[1200];
    EXPECT_EQ(reader.Read(out, 10), -1);  // no file yet
    ASSERT_TRUE(reader.Open(path.c_str()));
    EXPECT_FALSE(reader.Open(path.c_str()));  // the open file stays
    EXPECT_TRUE(reader.IsOpen());
    EXPECT_EQ(reader.GetSize(), 1000u);
    EXPECT_EQ(reader.Read(out, 1200), 1000);
    EXPECT_EQ(0, std::memcmp(out, bytes.data(), 1000));
    EXPECT_EQ(reader.Read(out, 1200), 0);
    EXPECT_EQ(reader.HasError(), 0);

    reader.Seek(1000 - 1);
    EXPECT_EQ(reader.Read(out, 5), 1);
    EXPECT_EQ(out[0], bytes[999]);
    reader.Seek(700);
    EXPECT_EQ(reader.Read(out, 10), 10);
    EXPECT_EQ(0, std::memcmp(out, bytes.data() + 700, 10));
    reader.Close();
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(reader.Read(out, 10), -1);
}

// Random chunks and seeks over a file of several buffers equal the file, on
// a disk file system (unbuffered where allowed) and on tmpfs (refused).
TEST(ReadAheadFileTest, RandomChunksAndSeeksEqualTheFile) {
    const char* bases[] = {nullptr, "/dev/shm"};
    for (const char* base : bases) {
        if (base != nullptr && access(base, W_OK) != 0) {
            continue;
        }
        TempDir dir(base);
        ASSERT_TRUE(dir.Valid());
        const std::string path = dir.File("big.bin");
        const auto bytes = Pattern(3 * 65536 + 1234, 7);
        WriteWholeFile(path, bytes);
        // A buffer size off the sector grid is rounded up.
        CReadAheadFile reader(65536 + 100, 4096);
        ASSERT_TRUE(reader.Open(path.c_str()));
        std::mt19937 rng(99);
        uint64_t position = 0;
        std::vector<uint8_t> out(100000);
        for (int step = 0; step < 200; ++step) {
            if (rng() % 8 == 0) {
                position = rng() % bytes.size();
                reader.Seek(position);
            }
            const uint32_t count = rng() % 30000 + 1;
            const int32_t got = reader.Read(out.data(), count);
            const uint64_t expected = std::min<uint64_t>(count, bytes.size() - position);
            ASSERT_EQ(got, static_cast<int32_t>(expected)) << "step " << step;
            ASSERT_EQ(0, std::memcmp(out.data(), bytes.data() + position, expected));
            position += expected;
        }
        EXPECT_EQ(reader.HasError(), 0);
        std::printf("read-ahead on %s: %s\n", base != nullptr ? base : "the temporary folder",
                    reader.IsUnbuffered() ? "unbuffered" : "through the cache");
    }
}

TEST(ReadAheadFileTest, TruncatedFileSetsTheError) {
    TempDir dir;
    const std::string path = dir.File("shrinks.bin");
    const auto bytes = Pattern(64 * 4096, 3);
    WriteWholeFile(path, bytes);
    CReadAheadFile reader(16 * 4096, 4096);
    ASSERT_TRUE(reader.Open(path.c_str()));
    ASSERT_EQ(truncate(path.c_str(), 20 * 4096), 0);
    std::vector<uint8_t> out(4096);
    int32_t got = 0;
    uint64_t total = 0;
    while ((got = reader.Read(out.data(), 4096)) > 0)
        total += static_cast<uint64_t>(got);
    EXPECT_EQ(got, -1);
    EXPECT_EQ(reader.HasError(), 1);
    EXPECT_LE(total, 64u * 4096);
}

TEST(ReadAheadFileTest, BadSectorSizesAndMissingFilesFailOpen) {
    TempDir dir;
    const std::string path = dir.File("f.bin");
    WriteWholeFile(path, Pattern(100, 5));
    CReadAheadFile notPowerOfTwo(4096, 1000);
    EXPECT_FALSE(notPowerOfTwo.Open(path.c_str()));
    CReadAheadFile zero(4096, 0);
    EXPECT_FALSE(zero.Open(path.c_str()));
    CReadAheadFile good(4096, 512);
    EXPECT_FALSE(good.Open(dir.File("missing").c_str()));
    EXPECT_FALSE(good.Open(nullptr));
}

// With no file, on an empty file and past the end of a file the worker
// makes no rounds until an open or a seek wants data again. A round at the
// moment the end is found may still be under way when the count is taken.
TEST(ReadAheadFileTest, WorkerRestsUntilDataIsWanted) {
    TempDir dir;
    const std::string empty = dir.File("empty.bin");
    WriteWholeFile(empty, {});
    const std::string small = dir.File("small.bin");
    const auto bytes = Pattern(1000, 2);
    WriteWholeFile(small, bytes);
    CReadAheadFile reader(4096, 512);
    const auto expectResting = [&reader](const char* when) {
        const uint64_t before = reader.GetWorkerRounds();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_LE(reader.GetWorkerRounds() - before, 2u) << when;
    };
    expectResting("no file");
    uint8_t out[1200];
    ASSERT_TRUE(reader.Open(empty.c_str()));
    EXPECT_EQ(reader.Read(out, 10), 0);
    expectResting("empty file");
    reader.Close();
    ASSERT_TRUE(reader.Open(small.c_str()));
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(reader.Read(out, sizeof(out)), 1000);
        EXPECT_EQ(0, std::memcmp(out, bytes.data(), 1000));
        EXPECT_EQ(reader.Read(out, sizeof(out)), 0);
        expectResting("past the end");
        reader.Seek(0);
    }
}

// Destroying the reader while the worker fills ends the worker before the
// buffers go (under ASan a late fill would be a use after free). A read
// right after the open is woken by the end of the first fill, not by a clock
// of its own.
TEST(ReadAheadFileTest, DestructionWhileFilling) {
    TempDir dir;
    const std::string path = dir.File("big.bin");
    WriteWholeFile(path, Pattern(4 << 20, 11));
    for (int i = 0; i < 20; ++i) {
        CReadAheadFile reader(1 << 20, 4096);
        ASSERT_TRUE(reader.Open(path.c_str()));
        uint8_t out[16];
        if (i % 2 == 0) {
            EXPECT_EQ(reader.Read(out, sizeof(out)), 16);
            EXPECT_EQ(reader.GetUnsignalledWaits(), 0u);
        }
    }
}

TEST(SelectIdctTest, ChoosesByProcessorFeatures) {
    idct* const before = GetSelectedIdct();
    {
        const velmora::test::FakeCpu sse2 = velmora::test::MakeFakeCpu(
            true, 15, velmora::test::kMmx | velmora::test::kSse | velmora::test::kSse2);
        velmora::test::ScopedCpuidSource scoped(sse2);
        EXPECT_TRUE(SelectIdct());
        EXPECT_EQ(GetSelectedIdct(), &card::g_IdctSse2);
    }
    {
        const velmora::test::FakeCpu sse =
            velmora::test::MakeFakeCpu(true, 6, velmora::test::kMmx | velmora::test::kSse);
        velmora::test::ScopedCpuidSource scoped(sse);
        EXPECT_TRUE(SelectIdct());
        EXPECT_EQ(GetSelectedIdct(), &card::g_IdctMmx);
    }
    {
        const velmora::test::FakeCpu mmx =
            velmora::test::MakeFakeCpu(false, 5, velmora::test::kMmx);
        velmora::test::ScopedCpuidSource scoped(mmx);
        EXPECT_FALSE(SelectIdct());
        EXPECT_EQ(GetSelectedIdct(), &card::g_IdctMmx);  // left unchanged
    }
    SetSelectedIdct(before);
}

}  // namespace
}  // namespace velmora::record

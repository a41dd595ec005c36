#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "RecordTestSupport.h"
#include "record/BitStream.h"
#include "record/BufferedFile.h"

namespace velmora::record {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

// Reads, writes and seeks of a buffered file against pread/pwrite on a second
// descriptor of the same (sparse) file, with positions beyond 4 GiB.
TEST(BufferedFileTest, MatchesPosixModelWithLargeOffsets) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string path = dir.File("big.bin");
    const int64_t kBase = (5ll << 30) + 12345;  // past 4 GiB
    std::mt19937 rng(1234);
    std::vector<uint8_t> model;  // bytes from kBase on; the file is sparse below

    CBufferedFile* out = CBufferedFile::Open(path.c_str(), "wb", 4096, 0, 0, nullptr);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(CBufferedFile::Seek(out, kBase, 0), kBase);
    for (int step = 0; step < 400; ++step) {
        const int64_t here = CBufferedFile::Tell(out) - kBase;
        if (rng() % 4 == 0 && here > 0) {
            const int64_t target = kBase + static_cast<int64_t>(rng() % (here + 1));
            ASSERT_EQ(CBufferedFile::Seek(out, target, 2), target);
            continue;
        }
        std::vector<uint8_t> data(rng() % 9000 + 1);
        for (auto& b : data)
            b = static_cast<uint8_t>(rng());
        ASSERT_EQ(CBufferedFile::Write(data.data(), 1, static_cast<uint32_t>(data.size()), out),
                  data.size());
        if (model.size() < static_cast<size_t>(here) + data.size())
            model.resize(here + data.size());
        std::memcpy(model.data() + here, data.data(), data.size());
        ASSERT_EQ(CBufferedFile::Tell(out), kBase + here + static_cast<int64_t>(data.size()));
    }
    CBufferedFile::Close(out);

    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> onDisk(model.size());
    ASSERT_EQ(::pread(fd, onDisk.data(), onDisk.size(), kBase), static_cast<ssize_t>(model.size()));
    ::close(fd);
    ASSERT_EQ(onDisk, model);

    CBufferedFile* in = CBufferedFile::Open(path.c_str(), "rb", 3000, 0, 0, nullptr);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(CBufferedFile::GetSize(in), kBase + static_cast<int64_t>(model.size()));
    for (int step = 0; step < 300; ++step) {
        const int64_t at = static_cast<int64_t>(rng() % model.size());
        ASSERT_EQ(CBufferedFile::Seek(in, kBase + at, 1), kBase + at);
        // Never more than the buffer holds plus one refill.
        const uint32_t count = rng() % 2900 + 1;
        std::vector<uint8_t> got(count);
        const uint32_t items = CBufferedFile::Read(got.data(), 1, count, in);
        const uint32_t expected =
            static_cast<uint32_t>(std::min<int64_t>(count, model.size() - at));
        ASSERT_EQ(items, expected) << "at " << at;
        ASSERT_EQ(0, std::memcmp(got.data(), model.data() + at, items));
        ASSERT_EQ(CBufferedFile::Tell(in), kBase + at + items);
    }
    CBufferedFile::Close(in);
}

TEST(BufferedFileTest, ReadRefillsOncePerCallAndCountsItems) {
    TempDir dir;
    const std::string path = dir.File("r.bin");
    std::vector<uint8_t> bytes(10000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    WriteWholeFile(path, bytes);
    CBufferedFile* in = CBufferedFile::Open(path.c_str(), "rb", 1000, 0, 0, nullptr);
    ASSERT_NE(in, nullptr);
    std::vector<uint8_t> got(5000);
    // Empty buffer plus one refill of 1000 bytes: 250 items of 4.
    EXPECT_EQ(CBufferedFile::Read(got.data(), 4, 1000, in), 250u);
    EXPECT_EQ(0, std::memcmp(got.data(), bytes.data(), 1000));
    EXPECT_EQ(CBufferedFile::Read(got.data(), 3000, 1, in), 0u);  // short single item
    EXPECT_EQ(CBufferedFile::Read(got.data(), 8, 0, in), 0u);     // count 0 moves nothing
    EXPECT_EQ(CBufferedFile::Tell(in), 2000);
    CBufferedFile::Close(in);

    EXPECT_EQ(CBufferedFile::Open(dir.File("missing").c_str(), "rb", 64, 0, 0, nullptr), nullptr);
    EXPECT_EQ(CBufferedFile::GetLastError(), ENOENT);
    EXPECT_EQ(CBufferedFile::Open(path.c_str(), "rb", 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(CBufferedFile::Open(nullptr, "rb", 64, 0, 0, nullptr), nullptr);
}

TEST(BufferedFileTest, WriteKeepsBytesPendingBehindBackwardSeek) {
    TempDir dir;
    const std::string path = dir.File("w.bin");
    // Other users and servers may read the output as far as the umask lets them.
    const mode_t umaskBefore = ::umask(027);
    CBufferedFile* out = CBufferedFile::Open(path.c_str(), "wb", 64, 0, 0, nullptr);
    ::umask(umaskBefore);
    ASSERT_NE(out, nullptr);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    ASSERT_EQ(CBufferedFile::Write("abcdefghij", 1, 10, out), 10u);
    ASSERT_EQ(CBufferedFile::Seek(out, 2, 0), 2);
    ASSERT_EQ(CBufferedFile::Write("XY", 2, 1, out), 1u);
    EXPECT_EQ(CBufferedFile::Write("zz", 1, 0, out), 0u);  // count 0 writes nothing
    CBufferedFile::Close(out);
    const auto bytes = ReadWholeFile(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "abXYefghij");
}

// Bytes that cannot be written are reported, never taken as written.
TEST(BufferedFileTest, FailedFlushesAreReported) {
    CBufferedFile* full = CBufferedFile::Open("/dev/full", "wb", 16, 0, 1, nullptr);
    if (full == nullptr) GTEST_SKIP() << "/dev/full cannot be opened here";
    EXPECT_EQ(CBufferedFile::Write("0123456789", 1, 10, full), 10u);  // still buffered
    EXPECT_EQ(CBufferedFile::Seek(full, 100, 0), -1);                 // the flush fails
    EXPECT_EQ(CBufferedFile::Tell(full), 10);
    EXPECT_FALSE(CBufferedFile::Flush(full));
    EXPECT_EQ(CBufferedFile::Write("0123456789", 1, 10, full), 6u);  // the buffer is full
    CBufferedFile::Close(full);
}

TEST(BufferedFileTest, AppendKeepsOldContentAndCountsFromOpen) {
    TempDir dir;
    const std::string path = dir.File("a.bin");
    WriteWholeFile(path, std::vector<uint8_t>(2048, 0x11));
    auto* external = static_cast<uint8_t*>(std::malloc(256));
    CBufferedFile* out = CBufferedFile::Open(path.c_str(), "wb", 256, 1, 1, external);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(CBufferedFile::Tell(out), 0);
    EXPECT_EQ(CBufferedFile::GetSize(out), 2048);
    const std::vector<uint8_t> tail(1000, 0x22);
    ASSERT_EQ(CBufferedFile::Write(tail.data(), 1000, 1, out), 1u);
    EXPECT_EQ(CBufferedFile::GetSize(out), 2048 + 768);  // three flushes of 256
    CBufferedFile::Close(out);
    const auto bytes = ReadWholeFile(path);
    ASSERT_EQ(bytes.size(), 3048u);
    EXPECT_EQ(bytes[2047], 0x11);
    EXPECT_EQ(bytes[2048], 0x22);
    EXPECT_EQ(bytes[3047], 0x22);

    // Without keep the file starts empty again.
    out = CBufferedFile::Open(path.c_str(), "wb", 256, 0, 0, nullptr);
    CBufferedFile::Close(out);
    EXPECT_TRUE(ReadWholeFile(path).empty());
}

TEST(NextFileNumberTest, CountsTheFileNamePartOnly) {
    struct Case {
        const char* before;
        bool result;
        const char* after;
    } cases[] = {
        {"rec_000.tp", true, "rec_001.tp"},
        {"rec_009.tp", true, "rec_010.tp"},
        {"rec_199.tp", true, "rec_200.tp"},
        {"rec_999.tp", false, "rec_999.tp"},  // wrapping would truncate the first file
        {"rec.tp", false, "rec.tp"},
        {"/data/2024/rec.tp", false, "/data/2024/rec.tp"},  // a directory's digits stay
        {"/data/2024/rec_7", true, "/data/2024/rec_8"},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        char name[64];
        std::strcpy(name, c.before);
        EXPECT_EQ(NextFileNumber(name), c.result) << c.before;
        EXPECT_STREQ(name, c.after);
    }
    EXPECT_FALSE(NextFileNumber(nullptr));
}

TEST(BitReaderTest, ReadsBigEndianFieldsAndNothingPastTheSize) {
    uint8_t bytes[4] = {0x12, 0x34, 0x56, 0x78};
    InitBitStream(bytes, 4, 0);
    EXPECT_EQ(GetBits(4), 0x1u);
    EXPECT_EQ(ShowBits(8), 0x23u);
    EXPECT_EQ(GetBits(12), 0x234u);
    EXPECT_EQ(GetBits(16), 0x5678u);
    EXPECT_EQ(GetBitStreamBytes(), 4);

    // Only the first two bytes belong to the stream: the rest read as zero
    // (under ASan a read of bytes[2..] of a 2-byte heap block would fail).
    std::vector<uint8_t> two = {0xFF, 0xFF};
    auto* heap = static_cast<uint8_t*>(std::malloc(2));
    std::memcpy(heap, two.data(), 2);
    InitBitStream(heap, 2, 0);
    EXPECT_EQ(GetBits(12), 0xFFFu);
    EXPECT_EQ(GetBits(8), 0xF0u);
    SkipBits(40);
    EXPECT_EQ(GetBits(31), 0u);
    EXPECT_LT(BitsLeft(), 0);
    std::free(heap);
}

TEST(BitReaderTest, EachThreadHasItsOwnState) {
    uint8_t mine[4] = {0xAB, 0xCD, 0, 0};
    InitBitStream(mine, 4, 0);
    EXPECT_EQ(GetBits(8), 0xABu);
    std::thread other([] {
        uint8_t theirs[8] = {};
        InitBitStream(theirs, 8, 1);
        PutBits(0x1BA, 32);
        PutBits(5, 3);
        PutBits(0x3F, 6);  // spans a byte boundary
        EXPECT_EQ(GetBitStreamBytes(), 5);
        EXPECT_EQ(theirs[3], 0xBA);
        EXPECT_EQ(theirs[4], 0xBF);
        EXPECT_EQ(theirs[5], 0x80);
    });
    other.join();
    EXPECT_EQ(GetBits(8), 0xCDu);
}

}  // namespace
}  // namespace velmora::record

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordTestSupport.h"
#include "record/ProgramStreamWriter.h"

namespace velmora::record {
namespace {

using test::ReadWholeFile;
using test::TempDir;

using Bytes = std::vector<uint8_t>;

// Runs `write` on a fresh file and returns what landed in it.
template <typename Write>
Bytes Written(Write write, bool expected = true) {
    TempDir dir;
    const std::string path = dir.File("ps.mpg");
    CBufferedFile* file = CBufferedFile::Open(path.c_str(), "wb", 0x80000, 0, 0, nullptr);
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(write(file), expected);
    CBufferedFile::Close(file);
    return ReadWholeFile(path);
}

TEST(ProgramStreamWriterTest, PackHeaderBytes) {
    EXPECT_EQ(Written([](CBufferedFile* f) { return WritePackHeader(f, 0); }),
              (Bytes{0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x17, 0x73, 0xF7,
                     0xF8}));
    // Ten seconds and 17 ticks: base 900000, extension 17.
    const Bytes pack =
        Written([](CBufferedFile* f) { return WritePackHeader(f, 27000000ll * 10 + 17); });
    ASSERT_EQ(pack.size(), 14u);
    const uint64_t base = (uint64_t(pack[4] >> 3 & 7) << 30) | (uint64_t(pack[4] & 3) << 28) |
                          (uint64_t(pack[5]) << 20) | (uint64_t(pack[6] >> 3) << 15) |
                          (uint64_t(pack[6] & 3) << 13) | (uint64_t(pack[7]) << 5) | (pack[8] >> 3);
    const uint32_t extension = ((pack[8] & 3) << 7) | (pack[9] >> 1);
    EXPECT_EQ(base, 900000u);
    EXPECT_EQ(extension, 17u);
}

TEST(ProgramStreamWriterTest, StreamStartIsOne2048BytePack) {
    const Bytes av =
        Written([](CBufferedFile* f) { return WritePsStart(f, 0xE0, 0xC0, 0x100, 0x101, 0); });
    ASSERT_EQ(av.size(), 2048u);
    const Bytes system(av.begin() + 14, av.begin() + 32);
    EXPECT_EQ(system, (Bytes{0x00, 0x00, 0x01, 0xBB, 0x00, 0x0C, 0x8B, 0xB9, 0xFB, 0x04, 0xE1, 0x7F,
                             0xE0, 0xF0, 0x00, 0xC0, 0xC0, 0x3A}));
    EXPECT_EQ(Bytes(av.begin() + 32, av.begin() + 38), (Bytes{0x00, 0x00, 0x01, 0xBE, 0x07, 0xDA}));
    EXPECT_EQ(av[37 + 1], 0xFF);
    EXPECT_EQ(av[2047], 0xFF);

    const Bytes ac3 =
        Written([](CBufferedFile* f) { return WritePsStart(f, 0xE0, 0xBD, 0x100, 0x101, 0); });
    EXPECT_EQ(Bytes(ac3.begin() + 29, ac3.begin() + 32), (Bytes{0xBD, 0xC0, 0x3A}));

    const Bytes video =
        Written([](CBufferedFile* f) { return WritePsStart(f, 0xE0, 0xC0, 0x100, -1, 0); });
    ASSERT_EQ(video.size(), 2048u);
    EXPECT_EQ(Bytes(video.begin() + 18, video.begin() + 20), (Bytes{0x00, 0x09}));
    EXPECT_EQ(Bytes(video.begin() + 29, video.begin() + 33), (Bytes{0x00, 0x00, 0x01, 0xBE}));
    EXPECT_EQ((video[33] << 8) | video[34], 2019 - 6);

    // A file that already holds bytes is padded up to byte 2048 only; past
    // byte 2042 no padding packet fits.
    const Bytes after = Written([](CBufferedFile* f) {
        const Bytes lead(1000, 0x55);
        CBufferedFile::Write(lead.data(), 1000, 1, f);
        return WritePsStart(f, 0xE0, 0xC0, 0x100, 0x101, 0);
    });
    EXPECT_EQ(after.size(), 2048u);
    Written(
        [](CBufferedFile* f) {
            const Bytes lead(2011, 0x55);
            CBufferedFile::Write(lead.data(), 2011, 1, f);
            return WritePsStart(f, 0xE0, 0xC0, 0x100, 0x101, 0);
        },
        false);
}

TEST(ProgramStreamWriterTest, PaddingLengthsOutsideThe16BitFieldAreRefused) {
    EXPECT_TRUE(Written([](CBufferedFile* f) { return WritePaddingPacket(f, 5); }, false).empty());
    EXPECT_TRUE(
        Written([](CBufferedFile* f) { return WritePaddingPacket(f, 65542); }, false).empty());
    const Bytes largest = Written([](CBufferedFile* f) { return WritePaddingPacket(f, 65541); });
    ASSERT_EQ(largest.size(), 65541u);
    EXPECT_EQ(largest[4], 0xFF);
    EXPECT_EQ(largest[5], 0xFF);
    EXPECT_EQ(Written([](CBufferedFile* f) { return WritePaddingPacket(f, 6); }),
              (Bytes{0, 0, 1, 0xBE, 0, 0}));
}

TEST(ProgramStreamWriterTest, PesHeaders) {
    uint8_t header[19];
    std::fill(std::begin(header), std::end(header), 0xEE);
    BuildPesHeader(header, 0xE0, 0, kNoTimeStamp, kNoTimeStamp);
    EXPECT_EQ(Bytes(header, header + 9), (Bytes{0, 0, 1, 0xE0, 0, 0, 0x88, 0x00, 0x00}));
    EXPECT_EQ(header[9], 0xEE);  // nothing past the header is touched

    BuildPesHeader(header, 0xC0, 0x1234, 0x1FFFFFFFFull, kNoTimeStamp);
    EXPECT_EQ(Bytes(header, header + 14),
              (Bytes{0, 0, 1, 0xC0, 0x12, 0x34, 0x88, 0x80, 0x05, 0x2F, 0xFF, 0xFF, 0xFF, 0xFF}));

    BuildPesHeader(header, 0xE0, 0, 90000, 86400);
    EXPECT_EQ(header[7], 0xC0);
    EXPECT_EQ(header[8], 10);
    EXPECT_EQ(Bytes(header + 9, header + 14), (Bytes{0x31, 0x00, 0x05, 0xBF, 0x21}));
    EXPECT_EQ(Bytes(header + 14, header + 19), (Bytes{0x11, 0x00, 0x05, 0xA3, 0x01}));
}

}  // namespace
}  // namespace velmora::record

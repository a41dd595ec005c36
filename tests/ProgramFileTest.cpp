// The programming-file source: file and memory modes, bounds, and the
// failures that must not pass unnoticed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "program/FpgaProgramFile.h"

namespace velmora::program {
namespace {

class ProgramFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = std::filesystem::temp_directory_path() /
               ("velmora-programfile-" + std::to_string(getpid()));
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    void WriteFile(const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

    std::filesystem::path path;
    CAlteraCpldProgramFile file;
};

TEST_F(ProgramFileTest, FileReadsAreBoundedAndRewind) {
    WriteFile("abcdef");
    file.SetFileName(path.wstring());
    ASSERT_EQ(file.Open(0), 1u);
    uint32_t size = 0;
    file.GetSize(&size);
    EXPECT_EQ(size, 6u);
    uint8_t* buffer = nullptr;
    file.GetBuffer(&buffer);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), "abcdef");

    uint8_t bytes[8] = {};
    EXPECT_EQ(file.Read(bytes, 4), 1u);
    // A count that would wrap position + count past 32 bits is refused.
    EXPECT_EQ(file.Read(bytes, 0xFFFFFFFFu), 0u);
    EXPECT_EQ(file.Read(bytes, 3), 0u);
    EXPECT_EQ(file.Read(bytes, 2), 1u);
    EXPECT_EQ(file.Read(bytes, 1), 0u);
    file.Rewind();
    EXPECT_EQ(file.Read(bytes, 1), 1u);
    EXPECT_EQ(bytes[0], 'a');
    EXPECT_EQ(file.Write(bytes, 1), 0u);  // not opened for writing

    // Opening again lets go of the first load instead of leaking it.
    ASSERT_EQ(file.Open(0), 1u);
    file.Close();
    file.GetBuffer(&buffer);
    EXPECT_EQ(buffer, nullptr);

    WriteFile("");
    ASSERT_EQ(file.Open(0), 1u);
    EXPECT_EQ(file.Read(bytes, 1), 0u);
    file.Close();

    file.SetFileName(L"/nonexistent/file.jbc");
    EXPECT_EQ(file.Open(0), 0u);
}

TEST_F(ProgramFileTest, FileWritesTruncateAndReportFailure) {
    WriteFile(std::string(100, 'x'));
    file.SetFileName(path.wstring());
    ASSERT_EQ(file.Open(1), 1u);
    const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(file.Write(data, 10), 1u);
    file.Close();
    EXPECT_EQ(std::filesystem::file_size(path), 10u);

    // A full device: the write that pushes the bytes out fails.
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    file.SetFileName(L"/dev/full");
    ASSERT_EQ(file.Open(1), 1u);
    uint32_t failed = 0;
    for (int i = 0; i < 8192 && !failed; ++i)
        failed = file.Write(data, 1) == 0 ? 1 : 0;
    EXPECT_EQ(failed, 1u);
    file.Close();
}

TEST_F(ProgramFileTest, MemoryModeCopiesInAndOut) {
    std::vector<uint8_t> block(256, 0);
    file.SetMemorySource(block.data(), 256);
    ASSERT_EQ(file.Open(1), 1u);
    for (int i = 0; i < 256; ++i) {
        const uint8_t value = static_cast<uint8_t>(i);
        ASSERT_EQ(file.Write(&value, 1), 1u);
    }
    const uint8_t extra = 0xEE;
    EXPECT_EQ(file.Write(&extra, 1), 0u);
    file.Close();
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(block[i], i);

    ASSERT_EQ(file.Open(0), 1u);
    uint8_t bytes[2];
    EXPECT_EQ(file.Read(bytes, 2), 1u);
    EXPECT_EQ(bytes[1], 1);
    file.Close();

    // A null block with a size is no source.
    file.SetMemorySource(nullptr, 16);
    EXPECT_EQ(file.Open(0), 0u);
    file.SetMemorySource(nullptr, 0);
    EXPECT_EQ(file.Open(0), 1u);
    file.Close();
}

}  // namespace
}  // namespace velmora::program

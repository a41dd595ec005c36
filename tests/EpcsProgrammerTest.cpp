// The FPGA configuration flash programmer on the simulated card: the API
// object's flash operations end to end, and the refusals.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "CardTestSupport.h"
#include "api/VelmoraSdkApi.h"
#include "program/AlteraFpgaAsConfig.h"
#include "program/OstrevoFpgaConfig.h"
#include "sim/SimProgControl.h"

namespace velmora::cardtest {
namespace {

using program::CAlteraFpgaAsConfig;

std::vector<uint8_t> Image(size_t size, uint32_t seed) {
    std::vector<uint8_t> image(size);
    uint32_t x = seed;
    for (auto& byte : image) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return image;
}

// What the flash stores for a programming image: each byte bit-reversed.
std::vector<uint8_t> Stored(const std::vector<uint8_t>& image, size_t flashSize) {
    std::vector<uint8_t> stored(flashSize, 0xFF);
    for (size_t i = 0; i < image.size(); ++i)
        stored[i] = CAlteraFpgaAsConfig::ReverseBits(image[i]);
    return stored;
}

std::filesystem::path TempFile(const char* name) {
    return std::filesystem::temp_directory_path() /
           (std::string("velmora-epcs-") + std::to_string(getpid()) + name);
}

class EpcsProgrammerTest : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
        api = Card(0)->GetApi();
        programmer = Card(0)->GetFpgaConfig();
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove(TempFile("read"), ignored);
        std::filesystem::remove(TempFile("image"), ignored);
        CardTest::TearDown();
    }

    // Runs a flow with standard error, where its status lines go, captured.
    template <typename F>
    uint32_t Quiet(F flow) {
        testing::internal::CaptureStderr();
        const uint32_t result = flow();
        output = testing::internal::GetCapturedStderr();
        return result;
    }

    api::CVelmoraSdkApi* api = nullptr;
    program::COstrevoFpgaConfig* programmer = nullptr;
    std::string output;
};

TEST_F(EpcsProgrammerTest, ProgramVerifyReadBackAndReloadThroughTheApiObject) {
    // Each bit is a line request, so the flows cost by the byte: half the
    // flash and a part page are enough to carry page addresses past 64 KiB,
    // and only the read-back has to take the whole of it.
    const std::vector<uint8_t> image = Image(65536 + 300, 7);
    const auto imageSize = static_cast<uint32_t>(image.size());
    const uint64_t reloadsBefore = sim::FpgaReloadCount(0)->count;

    // Progress from another thread: programming reaches 100, then verifying.
    std::atomic<bool> done{false};
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    std::thread poller([&] {
        // One last look after the flow returned.
        for (bool last = false; !last;) {
            last = done;
            uint32_t stage = 0, percent = 0;
            api->GetFpgaConfigProgress(&stage, &percent);
            if (seen.empty() || seen.back() != std::make_pair(stage, percent))
                seen.emplace_back(stage, percent);
            // A page takes hundreds of line requests: a spinning poller
            // would only take a core from the flow it watches.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    EXPECT_EQ(Quiet([&] { return api->ProgramAndVerifyFpgaConfigData(image.data(), imageSize); }),
              1u)
        << output;
    done = true;
    poller.join();
    EXPECT_NE(output.find("Info: Serial Configuration Device - EPCS1\n"), std::string::npos);
    EXPECT_NE(output.find("Info: Verify completed\n"), std::string::npos);
    // Programming percents rise, then verifying runs to 100; the moment
    // between the two stages is too short for a poller to be sure of seeing
    // (1, 100), which the program-only flow shows below.
    const auto verifying =
        std::find_if(seen.begin(), seen.end(), [](const auto& p) { return p.first == 3; });
    ASSERT_NE(verifying, seen.end());
    EXPECT_TRUE(std::any_of(seen.begin(), verifying,
                            [](const auto& p) { return p.first == 1 && p.second > 0; }));
    EXPECT_TRUE(std::is_sorted(seen.begin(), verifying));
    EXPECT_EQ(seen.back(), std::make_pair(3u, 100u));

    const std::vector<uint8_t> stored = Stored(image, 131072);
    EXPECT_EQ(sim::ReadEpcs(0), stored);
    // Another process sees the same flash.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(sim::ReadEpcs(0) == stored ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // Every FPGA reload of the flows saw the new contents at the last one.
    const auto reloads = sim::FpgaReloadCount(0);
    EXPECT_GT(reloads->count, reloadsBefore);
    EXPECT_EQ(reloads->checksum, sim::EpcsChecksum(stored));

    const auto readFile = TempFile("read");
    EXPECT_EQ(Quiet([&] { return api->ReadBackFpgaConfigFile(readFile.wstring()); }), 1u);
    std::ifstream in(readFile, std::ios::binary);
    const std::vector<uint8_t> readBack{std::istreambuf_iterator<char>(in), {}};
    // The whole flash comes back, the erased rest as 0xFF.
    std::vector<uint8_t> flash = image;
    flash.resize(131072, 0xFF);
    EXPECT_EQ(readBack, flash);
    uint32_t stage = 0, percent = 0;
    api->GetFpgaConfigProgress(&stage, &percent);
    EXPECT_EQ(stage, 2u);
    EXPECT_EQ(percent, 100u);

    // A shorter image over it: the erase clears what the first left beyond.
    const std::vector<uint8_t> shorter(image.begin(), image.begin() + 1000);
    EXPECT_EQ(Quiet([&] { return api->ProgramFpgaConfigData(shorter.data(), 1000); }), 1u);
    api->GetFpgaConfigProgress(&stage, &percent);
    EXPECT_EQ(std::make_pair(stage, percent), std::make_pair(1u, 100u));

    const uint64_t count = sim::FpgaReloadCount(0)->count;
    EXPECT_EQ(Card(0)->GetBoardSupport()->ReconfigureFpga(), 1u);
    EXPECT_EQ(sim::FpgaReloadCount(0)->count, count + 1);

    // The card works on: registers, a frame, and its close.
    EXPECT_EQ(Card(0)->GetBoardSupport()->TestScratchRegister(), 1u);
    static uint8_t frame[829440];
    uint64_t stamp = 0;
    EXPECT_EQ(Quorvel_Velmora_ReadOneVideoFrame(&stamp, frame, 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_EQ(SystemOpenCount(0), -1);

    // The flash keeps its contents with every card let go.
    sim::ReleaseCards();
    EXPECT_EQ(sim::ReadEpcs(0), Stored(shorter, 131072));
}

TEST_F(EpcsProgrammerTest, RefusalsLeaveTheFlashAndTheCardUsable) {
    const std::vector<uint8_t> old = Image(1000, 3);
    ASSERT_TRUE(sim::LoadEpcs(0, Stored(old, 1000)));
    const auto before = sim::ReadEpcs(0);

    // An unknown silicon ID.
    ASSERT_TRUE(sim::SetEpcsSiliconId(0, 0x16));
    std::vector<uint8_t> image = Image(4096, 9);
    EXPECT_EQ(Quiet([&] { return api->ProgramFpgaConfigData(image.data(), 4096); }), 0u);
    EXPECT_NE(output.find("\nError: Unsupported Device"), std::string::npos);
    ASSERT_TRUE(sim::SetEpcsSiliconId(0, 0x10));

    // One byte more than the flash holds: refused before anything is erased.
    std::vector<uint8_t> large = Image(131073, 5);
    EXPECT_EQ(Quiet([&] { return api->ProgramAndVerifyFpgaConfigData(large.data(), 131073); }), 0u);
    EXPECT_NE(output.find("\nError: Wrong programming file"), std::string::npos);
    EXPECT_EQ(output.find("Erasing"), std::string::npos);
    EXPECT_EQ(sim::ReadEpcs(0), before);

    // Verify of other data: stage 3, no success line.
    EXPECT_EQ(Quiet([&] { return api->VerifyFpgaConfigData(image.data(), 4096); }), 0u);
    uint32_t stage = 0, percent = 0;
    api->GetFpgaConfigProgress(&stage, &percent);
    EXPECT_EQ(stage, 3u);
    EXPECT_EQ(output.find("Verify completed"), std::string::npos);
    EXPECT_EQ(Quiet([&] { return api->VerifyFpgaConfigData(old.data(), 1000); }), 1u);

    // A flash that never ends its write: the bounded wait gives up. Short
    // bounds only here: the simulated flash is busy for a count of status
    // reads, not for a time, so a flow meant to succeed keeps the real
    // bounds, lest a stalled test process be taken for a hung flash.
    ASSERT_TRUE(sim::SetEpcsBusyNeverClears(0, true));
    programmer->SetBusyLimits(200, 200);
    EXPECT_EQ(Quiet([&] { return api->ProgramFpgaConfigData(image.data(), 4096); }), 0u);
    EXPECT_NE(output.find("Error: "), std::string::npos);
    programmer->SetBusyLimits(CAlteraFpgaAsConfig::kEraseBusyLimitMs,
                              CAlteraFpgaAsConfig::kPageBusyLimitMs);
    ASSERT_TRUE(sim::SetEpcsBusyNeverClears(0, false));

    // A missing file.
    EXPECT_EQ(Quiet([&] { return api->ProgramFpgaConfigFile(L"/nonexistent/image.rbf"); }), 0u);
    EXPECT_EQ(output, "");
    // A read-back file that cannot take the bytes (a full disk).
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_EQ(Quiet([&] { return api->ReadBackFpgaConfigFile(L"/dev/full"); }), 0u);
        EXPECT_EQ(output.find("Read successful"), std::string::npos);
    }

    // Each refusal left the mode: the card and the programmer work on.
    EXPECT_EQ(Card(0)->GetBoardSupport()->TestScratchRegister(), 1u);
    const auto file = TempFile("image");
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), 300);
    }
    EXPECT_EQ(Quiet([&] { return api->ProgramAndVerifyFpgaConfigFile(file.wstring()); }), 1u);
    const std::vector<uint8_t> first300(image.begin(), image.begin() + 300);
    EXPECT_EQ(sim::ReadEpcs(0), Stored(first300, 131072));
}

TEST_F(EpcsProgrammerTest, EnterRefusesACardPastTheCountAndEmptyImagesErase) {
    program::COstrevoFpgaConfig other(1, programmer->GetPciBridge());
    EXPECT_EQ(other.EnterConfigMode(), 0u);
    uint8_t byte = 0;
    other.SetProgramData(&byte, 1);
    EXPECT_EQ(Quiet([&] { return other.ProgramDevice(); }), 0u);

    // A read-back into a small block keeps the flash's first bytes.
    ASSERT_TRUE(sim::LoadEpcs(0, Stored(Image(2000, 4), 2000)));
    std::vector<uint8_t> block(1000);
    EXPECT_EQ(Quiet([&] { return api->ReadBackFpgaConfigData(block.data(), 1000); }), 1u);
    const auto expected = Image(2000, 4);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), expected.begin()));
    // An empty image erases the flash and reports success.
    ASSERT_TRUE(sim::LoadEpcs(0, std::vector<uint8_t>(100, 0)));
    ASSERT_TRUE(sim::SetEpcsDensity(0, 4));
    ASSERT_TRUE(sim::LoadEpcs(0, std::vector<uint8_t>(100, 0)));
    EXPECT_EQ(Quiet([&] { return api->ProgramFpgaConfigData(nullptr, 0); }), 1u);
    EXPECT_NE(output.find("EPCS4"), std::string::npos);
    EXPECT_NE(output.find("Info: Programming successful\n"), std::string::npos);
    EXPECT_EQ(sim::ReadEpcs(0), std::vector<uint8_t>(524288, 0xFF));
    // The simulated flash and CPLD array take empty images as erased ones.
    ASSERT_TRUE(sim::LoadEpcs(0, Image(10, 1)));
    ASSERT_TRUE(sim::LoadEpcs(0, {}));
    EXPECT_EQ(sim::ReadEpcs(0), std::vector<uint8_t>(524288, 0xFF));
    ASSERT_TRUE(sim::LoadCpldArray(0, {}));
    const auto array = sim::CpldArray(0);
    ASSERT_TRUE(array.has_value());
    EXPECT_TRUE(std::all_of(array->begin(), array->end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(EpcsProgrammerTest, LineWordsReachTheWindowOnlyWhileEntered) {
    // No window before entering: nothing is written.
    EXPECT_EQ(programmer->SetNCs(0), 0u);
    EXPECT_EQ(programmer->GetLineWord(), 0x130Cu);
    ASSERT_TRUE(sim::ClearProgrammingLineLog(0));
    ASSERT_EQ(programmer->EnterConfigMode(), 1u);
    // Entering set every line idle (nCS high again).
    EXPECT_EQ(sim::ProgrammingLineLog(0),
              (std::vector<uint32_t>{0x130C, 0x130C, 0x130C, 0x132C, 0x132C}));
    ASSERT_TRUE(sim::ClearProgrammingLineLog(0));
    EXPECT_EQ(programmer->SetNCs(0), 1u);
    EXPECT_EQ(programmer->SetNCs(2), 0u);
    EXPECT_EQ(programmer->GetLineWord(), 0x130Cu);
    uint32_t level = 0;
    EXPECT_EQ(programmer->GetData(&level), 1u);
    EXPECT_EQ(level, 1u);  // undriven
    EXPECT_EQ(sim::ProgrammingLineLog(0), (std::vector<uint32_t>{0x130C, 0x130C}));
    // With USERo high the lines do not reach the devices: no reload.
    const uint64_t reloads = sim::FpgaReloadCount(0)->count;
    ASSERT_EQ(programmer->GetPciBridge()->SetUserOutput(0, 1), 1u);
    programmer->SetNConfig(0);
    programmer->SetNConfig(1);
    EXPECT_EQ(sim::FpgaReloadCount(0)->count, reloads);
    ASSERT_EQ(programmer->GetPciBridge()->SetUserOutput(0, 0), 1u);
    programmer->SetNConfig(0);
    programmer->SetNConfig(1);
    EXPECT_EQ(sim::FpgaReloadCount(0)->count, reloads + 1);
    EXPECT_EQ(programmer->LeaveConfigMode(), 1u);
    // Leaving twice does not close the card's own board.
    EXPECT_EQ(programmer->LeaveConfigMode(), 0u);
    EXPECT_EQ(Card(0)->GetBoardSupport()->TestScratchRegister(), 1u);
    // With READY# input enabled again the window takes no line.
    ASSERT_TRUE(sim::ClearProgrammingLineLog(0));
    EXPECT_EQ(programmer->SetNCs(1), 0u);
    EXPECT_TRUE(sim::ProgrammingLineLog(0).empty());
}

// Answers silicon ID 0x10 (EPCS1) on DATA, most significant bit first.
class Epcs1Lines : public CAlteraFpgaAsConfig {
  public:
    uint32_t GetData(uint32_t* pLevel) override {
        *pLevel = (0x10 >> (7 - m_bit++ % 8)) & 1;
        return 1;
    }
    uint32_t CheckSize(uint32_t size) { return ReadEpcsSiliconId(size); }

  private:
    uint32_t m_bit = 0;
};

TEST(EpcsSizeCheckTest, SizesAreComparedUnsigned) {
    Epcs1Lines lines;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(lines.CheckSize(131072), 1u);
    EXPECT_EQ(lines.CheckSize(131073), 0u);
    EXPECT_EQ(lines.CheckSize(0x80000000u), 0u);
    EXPECT_EQ(lines.CheckSize(0xFFFFFFFFu), 0u);
    const std::string output = testing::internal::GetCapturedStderr();
    EXPECT_NE(output.find("\nError: Wrong programming file"), std::string::npos);
    // Standard output may carry the application's data.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// Lines whose steps fail on demand; the flash answers silicon ID 0x10 and
// then reads as 0x08 bytes. Counts the mode changes.
class FailingLines : public CAlteraFpgaAsConfig {
  public:
    uint32_t EnterConfigMode() override {
        ++entered;
        return 1;
    }
    uint32_t LeaveConfigMode() override {
        ++left;
        return failLeave ? 0 : 1;
    }
    uint32_t SetAsdi(uint32_t) override { return ++asdiCalls > asdiLimit ? 0 : 1; }
    uint32_t SetNConfig(uint32_t) override { return failNConfig ? 0 : 1; }
    uint32_t GetData(uint32_t* pLevel) override {
        *pLevel = (0x10 >> (7 - m_bit++ % 8)) & 1;
        return 1;
    }
    uint32_t CheckSize(uint32_t size) { return ReadEpcsSiliconId(size); }

    int entered = 0;
    int left = 0;
    bool failLeave = false;
    bool failNConfig = false;
    uint32_t asdiCalls = 0;
    uint32_t asdiLimit = UINT32_MAX;

  private:
    uint32_t m_bit = 0;
};

TEST(EpcsLineFailureTest, FailedStepsAreReportedAndLetTheModeAndFileGo) {
    testing::internal::CaptureStderr();
    // The opcode goes out, its address bytes do not: the instruction fails.
    FailingLines address;
    address.asdiLimit = 8;
    EXPECT_EQ(address.CheckSize(100), 0u);
    EXPECT_GT(address.asdiCalls, 8u);

    // A failed nCONFIG pulse still leaves the mode it entered.
    FailingLines pulse;
    pulse.failNConfig = true;
    EXPECT_EQ(pulse.Reconfigure(), 0u);
    EXPECT_EQ(pulse.entered, 1);
    EXPECT_EQ(pulse.left, 1);

    // A read-back whose leave fails reports it, and still lets the data
    // source go with what was read.
    FailingLines reader;
    reader.failLeave = true;
    std::vector<uint8_t> block(1000, 0xAA);
    reader.SetProgramData(block.data(), 1000);
    EXPECT_EQ(reader.ReadDeviceToFile(), 0u);
    EXPECT_EQ(reader.left, 1);
    EXPECT_EQ(block, std::vector<uint8_t>(1000, 0x08));
    testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace velmora::cardtest

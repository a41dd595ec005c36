// The API object of an open card: which calls wait for the API lock, and the
// colour conversion it does itself.

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CardTestSupport.h"
#include "api/VelmoraSdkApi.h"

namespace velmora::cardtest {
namespace {

using namespace std::chrono_literals;

using CardApiTest = CardTest;

TEST_F(CardApiTest, OnlyTheStateCallsWaitForTheApiLock) {
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    api::CVelmoraSdkApi& api = *Card(0)->GetApi();

    std::promise<void> held, release;
    std::thread holder([&] {
        std::lock_guard lock(api.ApiLock());
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();

    // Base-level settings, the card clock and the frame reads go by.
    uint32_t value = 0;
    uint64_t clock = 0;
    auto unlocked = std::async(std::launch::async, [&] {
        return Quorvel_Velmora_GetVideoMode(&value, 0) + Quorvel_Velmora_GetFPGAVersion(&value, 0) +
               api.GetCardClock64(&clock);
    });
    EXPECT_EQ(unlocked.wait_for(10s), std::future_status::ready);
    static uint8_t frame[2 * 1024 * 1024];
    uint64_t stamp = 0;
    auto frames = std::async(std::launch::async, [&] {
        Quorvel_Velmora_ReadOneVideoFrame(&stamp, frame, 0);
        Quorvel_Velmora_ReadOneAudioFrame(&stamp, frame, 0);
    });
    EXPECT_EQ(frames.wait_for(10s), std::future_status::ready);

    // A transport-stream call and the audio/video control calls wait for the
    // lock.
    uint32_t status = 0;
    uint64_t cardStamp = 0;
    auto locked =
        std::async(std::launch::async, [&] { return Quorvel_Velmora_TsGetAsiStatus(&value, 0); });
    auto lockedAv = std::async(std::launch::async, [&] {
        return Quorvel_Velmora_GetVideoCaptureBufferStatus(&status, 0) +
               Quorvel_Velmora_GetCardTimeStamp(&cardStamp, 0);
    });
    EXPECT_EQ(locked.wait_for(200ms), std::future_status::timeout);
    EXPECT_EQ(lockedAv.wait_for(10ms), std::future_status::timeout);
    release.set_value();
    EXPECT_EQ(locked.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(lockedAv.wait_for(10s), std::future_status::ready);
    holder.join();
    EXPECT_EQ(unlocked.get(), 3u);
    EXPECT_EQ(locked.get(), 1u);
}

// Under the thread sanitizer: the values the board support and the main
// function keep of the relays, the versions and the field are shared by the
// threads that set and read them.
TEST_F(CardApiTest, CachedStateCallsRunOnSeveralThreadsAtOnce) {
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    std::vector<std::future<uint32_t>> callers;
    for (uint32_t thread = 0; thread < 4; ++thread) {
        callers.push_back(std::async(std::launch::async, [thread] {
            uint32_t failed = 0;
            for (uint32_t round = 0; round < 50; ++round) {
                const uint32_t mode = (round + thread) & 1;
                uint32_t value = 0;
                failed += 1 - Quorvel_Velmora_SetVideoRelayMode(VELMORA_VIDEO_RELAY_0, mode, 0);
                failed += 1 - Quorvel_Velmora_GetVideoRelayMode(VELMORA_VIDEO_RELAY_0, &value, 0);
                failed += value > 1;
                failed += 1 - Quorvel_Velmora_SetAudioRelayMode(VELMORA_AUDIO_RELAY_1, mode, 0);
                failed += 1 - Quorvel_Velmora_GetAudioRelayMode(VELMORA_AUDIO_RELAY_1, &value, 0);
                failed += value > 1;
                failed += 1 - Quorvel_Velmora_GetBoardVersion(&value, 0);
                failed += 1 - Quorvel_Velmora_GetFPGAVersion(&value, 0);
                failed += 1 - Quorvel_Velmora_GetDriverVersion(&value, 0);
                failed += 1 - Quorvel_Velmora_GetFieldNumber(&value, 0);
            }
            return failed;
        }));
    }
    for (auto& caller : callers)
        EXPECT_EQ(caller.get(), 0u);
}

TEST(CardApiConversionTest, RgbBecomesStudioRangeYCbCr) {
    api::CSdkApi api(nullptr, nullptr);
    struct Case {
        uint8_t r, g, b, y, cb, cr;
    };
    for (const Case& c : {Case{0, 0, 0, 16, 128, 128}, Case{255, 255, 255, 235, 128, 128},
                          Case{0, 0, 255, 41, 240, 110}, Case{255, 0, 0, 82, 90, 240}}) {
        uint8_t y = 0, cb = 0, cr = 0;
        api.RgbToYCbCr(c.r, c.g, c.b, &y, &cb, &cr);
        EXPECT_EQ(y, c.y) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_EQ(cb, c.cb);
        EXPECT_EQ(cr, c.cr);
    }

    // White then black: Cb of the even pixel, Cr of the odd one.
    const uint32_t pair[2] = {0x00FFFFFF, 0x00000000};
    uint32_t word = 0;
    api.RgbImageToYCbCr422(pair, &word, 2, 1);
    EXPECT_EQ(word, 0x80EB8010u);

    // An odd width ends a row on a pair with the next row's first pixel
    // (white with red); the last row, with nothing after it, on a pair of
    // its own last pixel (black).
    const uint32_t image[2 * 3] = {0, 0, 0x00FFFFFF, 0x00FF0000, 0x00FF0000, 0};
    uint32_t out[2 * 2] = {};
    api.RgbImageToYCbCr422(image, out, 3, 2);
    EXPECT_EQ(out[1], 0x80EBF052u);
    EXPECT_EQ(out[2], 0x5A52F052u);
    EXPECT_EQ(out[3], 0x80108010u);
}

// Records the capture and memory-test calls the API object makes.
class CaptureLog : public card::CBoardSupport {
  public:
    CaptureLog() : CBoardSupport(0, nullptr, nullptr, nullptr, nullptr, {}, nullptr, nullptr) {}
    uint32_t StopAudioCapture(uint32_t port) override { return Note("stop audio", port); }
    uint32_t StopVideoCapture(uint32_t port) override { return Note("stop video", port); }
    uint32_t StartAudioCapture(uint32_t port) override { return Note("start audio", port); }
    uint32_t StartVideoCapture(uint32_t port) override { return Note("start video", port); }
    uint32_t TestCardMemory() override {
        calls.push_back("memory");
        return memoryResult;
    }

    std::vector<std::string> calls;
    uint32_t memoryResult = 1;

  private:
    uint32_t Note(const char* what, uint32_t port) {
        calls.push_back(std::string(what) + " " + std::to_string(port));
        return 0;  // a failing stop or start is not reported
    }
};

TEST(CardApiSelfTest, CardMemoryTestStopsAudioThenVideoCaptureAndStartsThemAgain) {
    CaptureLog board;
    api::CSdkApi api(nullptr, &board);
    EXPECT_EQ(api.TestCardMemory(), 1u);
    std::vector<std::string> expected;
    for (const char* step : {"stop audio", "stop video"}) {
        for (int port = 0; port < 4; ++port)
            expected.push_back(step + std::string(" ") + std::to_string(port));
    }
    expected.push_back("memory");
    for (const char* step : {"start audio", "start video"}) {
        for (int port = 0; port < 4; ++port)
            expected.push_back(step + std::string(" ") + std::to_string(port));
    }
    EXPECT_EQ(board.calls, expected);

    board.memoryResult = 0;
    board.calls.clear();
    EXPECT_EQ(api.TestCardMemory(), 0u);
    EXPECT_EQ(board.calls.size(), expected.size());
}

}  // namespace
}  // namespace velmora::cardtest

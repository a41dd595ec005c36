// The audio capture worker on the simulated card: tone blocks with their
// stamps, resampled into one continuous 48 kHz tone by either read, and the
// failures that must give 0 quickly and leave samples, resampler, ring and
// channel lock as they were, and readers on several threads at once.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <mutex>
#include <numbers>
#include <set>
#include <thread>

#include "AudioWorkerTestSupport.h"
#include "WaitSupport.h"
#include "card/AudioCapture.h"

namespace velmora::audiotest {
namespace {

using card::CAudioCapture;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kReadRequestBit = 1u << 9;
constexpr uint32_t kSentinel = 0xDEADBEEF;

class AudioCaptureTest : public AudioWorkerTest {
  protected:
    void SetUp() override {
        AudioWorkerTest::SetUp();
        capture = std::make_unique<CAudioCapture>(stack->board.get());
        ASSERT_EQ(capture->Start(), 1u);
    }
    void TearDown() override {
        if (capture) capture->Stop();
        capture.reset();
        AudioWorkerTest::TearDown();
    }
    uint32_t Status() {
        uint32_t status = 99;
        EXPECT_EQ(capture->GetBufferStatus(&status), 1u);
        return status;
    }
    static uint32_t ReadNo() {
        return (sim::PeekRegister(0, kRegAudioCaptureStatus).value_or(0) >> 8) & 7;
    }

    std::unique_ptr<CAudioCapture> capture;
    std::vector<uint32_t> samples = std::vector<uint32_t>(kFramePairs, kSentinel);
};

TEST_F(AudioCaptureTest, ReadsToneBlocksWithTheirStamps) {
    uint64_t stamp = 0;
    EXPECT_EQ(capture->ReadOneFrameFromBuffer(&stamp, samples.data(), 0), 0u);
    EXPECT_EQ(samples[0], kSentinel);
    EXPECT_EQ(Status(), 1u);

    StepFrames(3);
    EXPECT_EQ(Status(), 0u);
    // Without resampling the caller gets the block's first 1920 pairs.
    const auto block = CardPairs(kCaptureRing + ReadNo() * kBlockBytes, kFramePairs);
    uint64_t first = 0, second = 0;
    ASSERT_EQ(capture->ReadOneFrameFromBuffer(&first, samples.data(), 0), 1u);
    EXPECT_EQ(samples, block);
    ASSERT_EQ(capture->ReadOneFrameFromBuffer(&second, samples.data(), 0), 1u);
    EXPECT_EQ(second - first, kPalFrame);
    // The 32-bit stamp is the low word of the block's stamp in 10 µs ticks.
    uint32_t entry = 0;
    ASSERT_EQ(capture->ReadOneFrame32(&entry, samples.data(), 0), 1u);
    EXPECT_EQ(uint64_t{entry} * 100, second + kPalFrame);
    EXPECT_EQ(Status(), 1u);
}

TEST_F(AudioCaptureTest, BothReadsResampleIntoOneContinuousTone) {
    // Alternating the reads over two cycles: a block resampled with the wrong
    // pair count or phase for its place in the cycle breaks the tone.
    std::vector<uint32_t> tone;
    for (int n = 0; n < 17; ++n) {
        StepFrames(1);
        uint64_t stamp64 = 0;
        uint32_t stamp32 = 0;
        ASSERT_EQ(n % 2 ? capture->ReadOneFrame32(&stamp32, samples.data(), 1)
                        : capture->ReadOneFrameFromBuffer(&stamp64, samples.data(), 1),
                  1u);
        // The first frame starts from an empty look-behind.
        if (n > 0) tone.insert(tone.end(), samples.begin(), samples.end());
    }
    // Linear interpolation at the card's rate: h^2 / 8 of the second
    // derivative, and a step of rounding.
    const auto bound = [](double hz) {
        return 8192 * std::pow(2 * std::numbers::pi * hz / 52734.375, 2) / 8 + 2;
    };
    const ToneFit left = FitTone(tone, false, 1000, 48000);
    const ToneFit right = FitTone(tone, true, 2000, 48000);
    EXPECT_NEAR(left.amplitude, 8192, bound(1000));
    EXPECT_LT(left.worst, bound(1000));
    EXPECT_NEAR(right.amplitude, 8192, bound(2000));
    EXPECT_LT(right.worst, bound(2000));
}

TEST_F(AudioCaptureTest, FailedTransferTouchesNeitherSamplesNorResampler) {
    StepFrames(2);
    uint64_t stamp = 0;
    ASSERT_EQ(capture->ReadOneFrameFromBuffer(&stamp, samples.data(), 1), 1u);
    const float phase = capture->GetPhase();
    const int32_t left = capture->GetLastLeft(), right = capture->GetLastRight();
    samples.assign(kFramePairs, kSentinel);

    ASSERT_TRUE(sim::SetDmaFault(0, 0, sim::DmaFault::NeverCompletes));
    const auto start = Clock::now();
    uint64_t failedStamp = 0;
    EXPECT_EQ(capture->ReadOneFrameFromBuffer(&failedStamp, samples.data(), 1), 0u);
    EXPECT_LT(Clock::now() - start, ::velmora::test::kHangBound) << "hang";
    EXPECT_EQ(samples, std::vector<uint32_t>(kFramePairs, kSentinel));
    EXPECT_EQ(capture->GetPhase(), phase);
    EXPECT_EQ(capture->GetLastLeft(), left);
    EXPECT_EQ(capture->GetLastRight(), right);

    // The block stayed in the ring and comes with the next read.
    ASSERT_EQ(capture->ReadOneFrameFromBuffer(&stamp, samples.data(), 1), 1u);
    EXPECT_EQ(stamp, failedStamp);
    EXPECT_NE(samples[5], kSentinel);
    EXPECT_EQ(Status(), 1u);

    // Without the channel lock nothing moves either.
    StepFrames(1);
    bridge->failLock = true;
    samples.assign(kFramePairs, kSentinel);
    EXPECT_EQ(capture->ReadOneFrameFromBuffer(&stamp, samples.data(), 1), 0u);
    EXPECT_EQ(samples[5], kSentinel);
    EXPECT_EQ(Status(), 0u);
}

TEST_F(AudioCaptureTest, ReadDoneThatNeverRisesGivesUpAfterASecond) {
    StepFrames(1);
    ASSERT_TRUE(sim::SetReadDoneNeverRises(0, true));
    const auto start = Clock::now();
    uint32_t stamp = 0;
    EXPECT_EQ(capture->ReadOneFrame32(&stamp, samples.data(), 1), 0u);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, ::velmora::test::kHangBound) << "hang";
    EXPECT_EQ(samples[0], kSentinel);
    // The request is withdrawn and the channel free for another thread.
    EXPECT_EQ(sim::PeekRegister(0, kRegBlockB).value_or(kReadRequestBit) & kReadRequestBit, 0u);
    auto other = std::async(std::launch::async, [this] {
        const uint32_t locked = bridge->LockDmaChannel(0);
        bridge->UnlockDmaChannel(0);
        return locked;
    });
    ASSERT_EQ(other.wait_for(::velmora::test::kHangBound), std::future_status::ready);
    EXPECT_EQ(other.get(), 1u);

    ASSERT_TRUE(sim::SetReadDoneNeverRises(0, false));
    EXPECT_EQ(capture->ReadOneFrame32(&stamp, samples.data(), 1), 1u);
}

TEST_F(AudioCaptureTest, ReadersOnSeveralThreadsEachGetAWholeBlockOfTheirOwn) {
    constexpr uint32_t kFramesPerRound = 6;
    std::set<uint64_t> stamps;
    for (int round = 0; round < 20; ++round) {
        StepFrames(kFramesPerRound);
        std::vector<std::vector<uint32_t>> blocks;
        for (uint32_t unit = 0; unit < 8; ++unit)
            blocks.push_back(CardPairs(kCaptureRing + unit * kBlockBytes, kFramePairs));
        std::mutex lock;
        std::vector<std::vector<uint32_t>> read;
        std::vector<std::thread> readers;
        for (int reader = 0; reader < 4; ++reader) {
            readers.emplace_back([&] {
                std::vector<uint32_t> frame(kFramePairs);
                uint64_t stamp = 0;
                while (capture->ReadOneFrameFromBuffer(&stamp, frame.data(), 0)) {
                    std::lock_guard<std::mutex> guard(lock);
                    stamps.insert(stamp);
                    read.push_back(frame);
                }
            });
        }
        for (auto& reader : readers)
            reader.join();
        ASSERT_EQ(read.size(), kFramesPerRound) << "round " << round;
        for (const auto& frame : read) {
            // A torn frame mixes two blocks and matches none.
            EXPECT_NE(std::find(blocks.begin(), blocks.end(), frame), blocks.end());
            EXPECT_EQ(std::count(read.begin(), read.end(), frame), 1);
        }
    }
    EXPECT_EQ(stamps.size(), 20 * kFramesPerRound);
}

}  // namespace
}  // namespace velmora::audiotest

// The audio playback worker on the simulated card: resampled blocks at their
// place in the 8-frame cycle with advanced stamps, late and full-ring frames,
// mode 1 packing, failures that leave the resampler ready for a retry, and a
// 1 kHz tone through the card's audio loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

#include "AudioWorkerTestSupport.h"
#include "WaitSupport.h"
#include "card/AudioCapture.h"
#include "card/AudioPlayback.h"

namespace velmora::audiotest {
namespace {

using card::CAudioPlayback;
using Clock = std::chrono::steady_clock;

// Frame n of a 1 kHz tone at 48 kHz, left `leftAmplitude` in sine, right
// half of it in cosine.
std::vector<uint32_t> ToneFrame(int n, double leftAmplitude = 8000) {
    std::vector<uint32_t> frame(kFramePairs);
    for (uint32_t i = 0; i < kFramePairs; ++i) {
        const double angle = 2 * std::numbers::pi * 1000 * (n * double{kFramePairs} + i) / 48000;
        frame[i] = Pair(static_cast<int>(std::lround(leftAmplitude * std::sin(angle))),
                        static_cast<int>(std::lround(leftAmplitude / 2 * std::cos(angle))));
    }
    return frame;
}

struct Resampler {
    float phase = 0;
    int32_t left = 0, right = 0;
    // The card pairs of one frame.
    std::vector<uint32_t> Next(const std::vector<uint32_t>& frame) {
        std::vector<uint32_t> out(4096);
        uint32_t count = 0;
        card::ResampleStereo16(frame.data(), 48000.0f, kFramePairs, out.data(),
                               card::AUDIO_CARD_SAMPLE_RATE, &count, &phase, &left, &right);
        out.resize(count);
        return out;
    }
};

class AudioPlaybackTest : public AudioWorkerTest {
  protected:
    void SetUp() override {
        AudioWorkerTest::SetUp();
        playback = std::make_unique<CAudioPlayback>(stack->board.get());
    }
    void TearDown() override {
        playback.reset();
        AudioWorkerTest::TearDown();
    }
    uint32_t Status() {
        uint32_t status = 99;
        EXPECT_EQ(playback->GetBufferStatus(&status), 1u);
        return status;
    }
    std::unique_ptr<CAudioPlayback> playback;
};

TEST_F(AudioPlaybackTest, WritesResampledBlocksWithAdvancedStamps) {
    const auto frame = ToneFrame(0);
    // Stamp 0 is not newer than the initial last stamp: dropped, with success.
    EXPECT_EQ(playback->WriteOneFrame(0, frame.data(), 1), 1u);
    EXPECT_EQ(Status(), 1u);
    ASSERT_EQ(playback->WriteOneFrame(kPalFrame, frame.data(), 1), 1u);
    EXPECT_EQ(Status(), 0u);
    // The card's stamp is one field later (600,000: field 3, frame 1 of the
    // cycle); the block holds what the resampler made of the frame.
    Resampler model;
    EXPECT_EQ(CardPairs(kPlaybackRing, 2110), model.Next(frame));
    // Not newer than the stored card stamp: dropped.
    EXPECT_EQ(playback->WriteOneFrame(600000, frame.data(), 1), 1u);
    // The card plays the block at its stamp, 60 ms: at the block boundary of
    // 80 ms.
    StepFrames(2);
    const auto played = sim::PlayedAudio(0);
    ASSERT_TRUE(played && played->played == 1);
    EXPECT_EQ(played->recent[0].stamp, 6000u);
    EXPECT_EQ(played->recent[0].control, 1u);

    // A full ring refuses with its log line; a flush empties it and keeps the
    // last stamp.
    for (uint64_t n = 2; n < 10; ++n)
        ASSERT_EQ(playback->WriteOneFrame(n * kPalFrame, frame.data(), 1), 1u) << n;
    EXPECT_EQ(Status(), 2u);
    const size_t logged = LogText().size();
    EXPECT_EQ(playback->WriteOneFrame(10 * kPalFrame, frame.data(), 1), 0u);
    EXPECT_NE(LogSince(logged).find(" \n AudioPlaybackBufferFull!!!! "), std::string::npos);
    EXPECT_EQ(playback->FlushBuffer(), 1u);
    EXPECT_EQ(Status(), 1u);
    EXPECT_EQ(playback->GetLastTimeStamp(), static_cast<int64_t>(9 * kPalFrame + 200000));
}

TEST_F(AudioPlaybackTest, ModeOnePacksAndUnpacksEachPairInTwoWords) {
    playback->SetAudioMode(1);
    playback->SetBlockSize(0x2000);
    playback->SetRingBase(0x39F400);
    const std::vector<uint32_t> frame(kFramePairs, 0x03040102);
    ASSERT_EQ(playback->WriteOneFrame(kPalFrame, frame.data(), 1), 1u);
    EXPECT_EQ(CardPairs(0x39F400 * 4, 2), (std::vector<uint32_t>{0x01020000, 0x03040002}));

    card::CAudioCapture capture(stack->board.get());
    capture.SetAudioMode(1);
    capture.SetBlockSize(0x2000);
    ASSERT_EQ(capture.Start(), 1u);
    StepFrames(1);
    std::vector<uint32_t> words(2 * kFramePairs);
    for (uint32_t i = 0; i < kFramePairs; ++i) {
        words[2 * i] = 0x01020000;
        words[2 * i + 1] = 0x03040002;
    }
    ASSERT_TRUE(sim::PokeMemory(0, kCaptureRing, words.data(), words.size() * 4));
    std::vector<uint32_t> samples(kFramePairs);
    uint64_t stamp = 0;
    ASSERT_EQ(capture.ReadOneFrameFromBuffer(&stamp, samples.data(), 1), 1u);
    EXPECT_EQ(samples, frame);
    // The 32-bit read copies the block as it stands, never more than a frame,
    // though the mode 1 record counts 3840 words.
    capture.SetSamplesPerFrame(3840);
    StepFrames(1);
    std::vector<uint32_t> twice(2 * kFramePairs, 0xDEADBEEF);
    uint32_t entry = 0;
    ASSERT_EQ(capture.ReadOneFrame32(&entry, twice.data(), 0), 1u);
    EXPECT_EQ(twice[kFramePairs], 0xDEADBEEFu);
    capture.Stop();
}

TEST_F(AudioPlaybackTest, FailedWriteLeavesTheResamplerForTheRetry) {
    Resampler model;
    ASSERT_EQ(playback->WriteOneFrame(kPalFrame, ToneFrame(0).data(), 1), 1u);
    model.Next(ToneFrame(0));
    const float phase = playback->GetPhase();

    ASSERT_TRUE(sim::SetDmaFault(0, 0, sim::DmaFault::NeverCompletes));
    const auto start = Clock::now();
    EXPECT_EQ(playback->WriteOneFrame(2 * kPalFrame, ToneFrame(1).data(), 1), 0u);
    EXPECT_LT(Clock::now() - start, ::velmora::test::kHangBound) << "hang";
    EXPECT_EQ(playback->GetPhase(), phase);
    EXPECT_EQ(playback->GetLastTimeStamp(), static_cast<int64_t>(kPalFrame + 200000));

    bridge->failLock = true;
    const size_t logged = LogText().size();
    EXPECT_EQ(playback->WriteOneFrame(2 * kPalFrame, ToneFrame(1).data(), 1), 0u);
    EXPECT_NE(LogSince(logged).find("A lock Dma fial!!! \n"), std::string::npos);
    EXPECT_EQ(playback->GetPhase(), phase);
    bridge->failLock = false;

    // The retry continues the tone as if nothing had failed.
    ASSERT_EQ(playback->WriteOneFrame(2 * kPalFrame, ToneFrame(1).data(), 1), 1u);
    const auto expected = model.Next(ToneFrame(1));
    EXPECT_EQ(CardPairs(kPlaybackRing + kBlockBytes, static_cast<uint32_t>(expected.size())),
              expected);
}

TEST_F(AudioPlaybackTest, ToneComesBackThroughLoopbackWithinTolerance) {
    ASSERT_TRUE(sim::SetAudioInput(0, sim::AudioInput::Loopback));
    card::CAudioCapture capture(stack->board.get());
    // From frame 8 on the stamps start at place 0 of the 8-frame cycle; with
    // the card there, each frame is due at the boundary after its write.
    StepFrames(8);
    ASSERT_EQ(capture.Start(), 1u);
    std::vector<uint32_t> back, samples(kFramePairs);
    for (int n = 8; n < 32; ++n) {
        ASSERT_EQ(playback->WriteOneFrame(n * kPalFrame, ToneFrame(n).data(), 1), 1u);
        StepFrames(1);
        uint64_t stamp = 0;
        ASSERT_EQ(capture.ReadOneFrameFromBuffer(&stamp, samples.data(), 1), 1u);
        // The cable delivers about two frames after the first play.
        if (n >= 12) back.insert(back.end(), samples.begin(), samples.end());
    }

    // Stamped 0.2 s ahead, the tone waits for its stamp: the card plays it at
    // the first block boundary not before the card stamp, and it comes back
    // two blocks later, as the cable delivers.
    StepFrames(4);  // the cable runs dry
    uint64_t stamp = 0;
    while (capture.ReadOneFrameFromBuffer(&stamp, samples.data(), 1)) {
    }
    const uint64_t ahead = *sim::CardTimeUs(0) / 10 * 100 + 2000000;
    for (int n = 0; n < 3; ++n)
        ASSERT_EQ(playback->WriteOneFrame(ahead + n * kPalFrame, ToneFrame(n).data(), 1), 1u);
    uint64_t cameBack = 0;
    for (int step = 0; step < 12 && cameBack == 0; ++step) {
        StepFrames(1);
        ASSERT_EQ(capture.ReadOneFrameFromBuffer(&stamp, samples.data(), 1), 1u);
        if (std::any_of(samples.begin(), samples.end(), [](uint32_t pair) { return pair != 0; }))
            cameBack = stamp;
    }
    const uint64_t playedAt = (ahead + 200000 + kPalFrame - 1) / kPalFrame * kPalFrame;
    EXPECT_EQ(cameBack, playedAt + 2 * kPalFrame);
    capture.Stop();
    // Linear interpolation at both rates, h^2 / 8 of the second derivative
    // each, and a step of rounding in each.
    const double w = 2 * std::numbers::pi * 1000;
    const double bound = (std::pow(w / 48000, 2) + std::pow(w / 52734.375, 2)) / 8;
    const ToneFit left = FitTone(back, false, 1000, 48000);
    const ToneFit right = FitTone(back, true, 1000, 48000);
    EXPECT_NEAR(left.amplitude, 8000, 8000 * bound + 2);
    EXPECT_LT(left.worst, 8000 * bound + 2);
    EXPECT_NEAR(right.amplitude, 4000, 4000 * bound + 2);
    EXPECT_LT(right.worst, 4000 * bound + 2);

    // The card was told each block's place in the cycle.
    const auto played = sim::PlayedAudio(0);
    ASSERT_TRUE(played && played->recent.size() >= 16);
    for (const auto& unit : played->recent)
        EXPECT_EQ(unit.control, (unit.stamp / 4000) % 8);
}

}  // namespace
}  // namespace velmora::audiotest

// The rate conversion between 48 kHz caller frames and the card's
// 52,734.375 Hz blocks: pair counts over the 8-frame cycle, where each block
// starts, and the interpolation itself.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "AudioWorkerTestSupport.h"
#include "card/AudioResampler.h"

namespace velmora::audiotest {
namespace {

using card::AUDIO_CARD_SAMPLE_RATE;
using card::ResampleStereo16;

TEST(AudioResamplerTest, PlaybackFramesFollowTheEightFrameCycle) {
    const std::vector<uint32_t> frame(kFramePairs, Pair(100, -100));
    std::vector<uint32_t> out(4096);
    float phase = 0;
    int32_t left = 0, right = 0;
    uint32_t count = 0, total = 0;
    const uint32_t expected[8] = {2110, 2109, 2110, 2109, 2109, 2110, 2109, 2109};
    for (int f = 0; f < 8; ++f) {
        ASSERT_EQ(ResampleStereo16(frame.data(), 48000.0f, kFramePairs, out.data(),
                                   AUDIO_CARD_SAMPLE_RATE, &count, &phase, &left, &right),
                  1u);
        EXPECT_EQ(count, expected[f]) << "frame " << f;
        if (f == 0) {
            EXPECT_NEAR(phase, 0.568889, 1e-5);
        }
        total += count;
    }
    EXPECT_EQ(total, 16875u);
    EXPECT_NEAR(phase, 0.0, 1e-3);
    EXPECT_EQ(left, 100);
    EXPECT_EQ(right, -100);

    // A zero count or rate changes nothing.
    count = 77;
    phase = 0.25f;
    EXPECT_EQ(ResampleStereo16(frame.data(), 48000.0f, 0, out.data(), AUDIO_CARD_SAMPLE_RATE,
                               &count, &phase, &left, &right),
              0u);
    EXPECT_EQ(ResampleStereo16(frame.data(), 0.0f, kFramePairs, out.data(), AUDIO_CARD_SAMPLE_RATE,
                               &count, &phase, &left, &right),
              0u);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(phase, 0.25f);
}

TEST(AudioResamplerTest, EachCaptureBlockGivesOneFrame) {
    std::vector<uint32_t> block(4096, Pair(7, 7));
    std::vector<uint32_t> out(4096);
    for (uint32_t k = 0; k < 8; ++k) {
        // Where block k starts on the card's sample grid, in eighths of a pair.
        const uint32_t start = k * 16875, end = (k + 1) * 16875;
        EXPECT_EQ(card::audio_frame::CaptureBlockPairs(k), end / 8 - start / 8) << k;
        EXPECT_EQ(card::audio_frame::CaptureBlockPhase(k), (start % 8) / 8.0f) << k;
        float phase = card::audio_frame::CaptureBlockPhase(k);
        int32_t left = 0, right = 0;
        uint32_t count = 0;
        ResampleStereo16(block.data(), AUDIO_CARD_SAMPLE_RATE,
                         card::audio_frame::CaptureBlockPairs(k), out.data(), 48000.0f, &count,
                         &phase, &left, &right);
        EXPECT_EQ(count, kFramePairs) << k;
    }
}

TEST(AudioResamplerTest, InterpolatesBetweenThePreviousAndTheCurrentPair) {
    // The look-behind counts by its low 16 bits, sign-extended.
    const uint32_t source[3] = {Pair(1000, -1000), Pair(-4, 3), Pair(0, 0)};
    uint32_t out[8] = {};
    float phase = 0;
    int32_t left = 0x10000 + 200, right = -50;
    uint32_t count = 0;
    // Source rate twice the destination's: positions 0 and 2, each exactly on
    // a pair, give the pair before it unchanged, negative samples too.
    ResampleStereo16(source, 2.0f, 3, out, 1.0f, &count, &phase, &left, &right);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(Left(out[0]), 200);
    EXPECT_EQ(Right(out[0]), -50);
    EXPECT_EQ(out[1], source[1]);
    EXPECT_EQ(phase, 1.0f);
    EXPECT_EQ(left, 0);

    // Half-way: the mean, halves rounded up.
    phase = 1.5f;
    ResampleStereo16(source, 1.0f, 2, out, 1.0f, &count, &phase, &left, &right);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(Left(out[0]), 498);    // (1000 - 4) / 2
    EXPECT_EQ(Right(out[0]), -498);  // (-1000 + 3) / 2 = -498.5 -> -498
}

}  // namespace
}  // namespace velmora::audiotest

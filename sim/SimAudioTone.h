#pragma once

// The simulated card's audio test signal: a steady stereo tone at the card's
// sample rate, cut into the capture ring's blocks the way the card cuts its
// input (eight blocks hold 16,875 sample pairs).

#include <cstdint>

namespace velmora::sim {

class SimAudioTone {
  public:
    // 27,000,000 / 512 Hz, kept as a ratio so that the tone never drifts.
    static constexpr uint32_t kRateNumerator = 27000000;
    static constexpr uint32_t kRateDenominator = 512;
    static constexpr uint32_t kLeftHz = 1000;
    static constexpr uint32_t kRightHz = 2000;
    static constexpr int32_t kAmplitude = 8192;
    static constexpr uint32_t kBlockBytes = 16384;
    static constexpr uint64_t kPairsPerCycle = 16875;  // eight blocks
    static constexpr uint64_t kBlocksPerCycle = 8;
    // A block lasts 40 ms of card time in either video standard: the audio
    // runs on the card's 27 MHz clock, not on the video frames.
    static constexpr uint64_t kBlockUs = 40000;

    // Sample pairs in block `block` (counted from the first block captured):
    // 2,110 at cycle positions 2, 5 and 7, else 2,109.
    static uint32_t PairsInBlock(uint64_t block);
    // The first pair of block `block` on the tone's continuous time line.
    static uint64_t FirstPair(uint64_t block);
    // One sample of a tone of `hz` at pair `pair`.
    static int16_t Sample(uint32_t hz, uint64_t pair);
    // Fills one kBlockBytes block: its pairs (left in the low half of each
    // 32-bit word, right in the high half), then zeros.
    static void Fill(uint8_t* block, uint64_t number);
};

static_assert(SimAudioTone::kPairsPerCycle * SimAudioTone::kRateDenominator * 1000000 ==
              SimAudioTone::kBlocksPerCycle * SimAudioTone::kBlockUs *
                  SimAudioTone::kRateNumerator);

}  // namespace velmora::sim

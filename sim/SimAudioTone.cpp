#include "sim/SimAudioTone.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace velmora::sim {

uint64_t SimAudioTone::FirstPair(uint64_t block) {
    return (block / kBlocksPerCycle) * kPairsPerCycle +
           (block % kBlocksPerCycle) * kPairsPerCycle / kBlocksPerCycle;
}

uint32_t SimAudioTone::PairsInBlock(uint64_t block) {
    return static_cast<uint32_t>(FirstPair(block + 1) - FirstPair(block));
}

int16_t SimAudioTone::Sample(uint32_t hz, uint64_t pair) {
    // Phase in cycles = pair * hz / rate, taken modulo one cycle in integers
    // so that a tone hours long is as clean as its first second.
    const uint64_t whole = static_cast<uint64_t>(kRateNumerator);
    const uint64_t step = static_cast<uint64_t>(hz) * kRateDenominator;  // per pair, in 1/whole
    const uint64_t phase = ((pair % whole) * step) % whole;
    const double angle = 2.0 * std::numbers::pi * static_cast<double>(phase) / whole;
    return static_cast<int16_t>(std::lround(kAmplitude * std::sin(angle)));
}

void SimAudioTone::Fill(uint8_t* block, uint64_t number) {
    std::memset(block, 0, kBlockBytes);
    const uint64_t first = FirstPair(number);
    const uint32_t pairs = PairsInBlock(number);
    for (uint32_t i = 0; i < pairs; ++i) {
        const uint16_t left = static_cast<uint16_t>(Sample(kLeftHz, first + i));
        const uint16_t right = static_cast<uint16_t>(Sample(kRightHz, first + i));
        const uint32_t word = left | (uint32_t{right} << 16);
        std::memcpy(block + i * 4, &word, 4);
    }
}

}  // namespace velmora::sim

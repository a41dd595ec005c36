#pragma once

// The simulated card's video test signal: moving colour bars in the card's
// 720 x 576 YUY2 frame format, each frame carrying its frame number.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace velmora::sim {

class SimVideoPattern {
  public:
    static constexpr uint32_t kWidth = 720;
    static constexpr uint32_t kHeight = 576;
    static constexpr uint32_t kRowBytes = kWidth * 2;
    static constexpr uint32_t kFrameBytes = kRowBytes * kHeight;
    // The number sits in the luma of the first kNumberPixels pixels of the
    // top row, most significant bit first: kOne for a 1, kZero for a 0, with
    // neutral chroma.
    static constexpr uint32_t kNumberPixels = 32;
    static constexpr uint8_t kOne = 235;
    static constexpr uint8_t kZero = 16;
    // The bars move this many pixels to the left a frame.
    static constexpr uint32_t kStepPixels = 4;

    // Fills `frame` (kFrameBytes) with frame `number` of the pattern.
    static void Fill(uint8_t* frame, uint64_t number);
    // Black (Y 16, U and V 128).
    static void FillBlack(uint8_t* frame);
    // The number a frame carries; nothing when its first pixels do not hold
    // clean levels (it is not a pattern frame).
    static std::optional<uint32_t> Number(const uint8_t* frame, size_t size);
};

}  // namespace velmora::sim

#include "sim/SimVideoPattern.h"

#include <cstring>

namespace velmora::sim {

namespace {

struct Yuv {
    uint8_t y, u, v;
};

// 75 % colour bars (ITU-R BT.601 levels): white, yellow, cyan, green,
// magenta, red, blue, black.
constexpr Yuv kBars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                          {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};
constexpr uint32_t kBarWidth = SimVideoPattern::kWidth / 8;

}  // namespace

void SimVideoPattern::Fill(uint8_t* frame, uint64_t number) {
    // Every row is the same but the top one, so one row is built and copied.
    const uint32_t shift = static_cast<uint32_t>((number * kStepPixels) % kWidth);
    uint8_t* row = frame;
    for (uint32_t x = 0; x < kWidth; x += 2) {
        // The bar width and the shift are even, so a pixel pair never
        // straddles two bars and shares its chroma honestly.
        const Yuv& c = kBars[((x + shift) % kWidth) / kBarWidth];
        uint8_t* p = row + x * 2;
        p[0] = c.y;
        p[1] = c.u;
        p[2] = c.y;
        p[3] = c.v;
    }
    for (uint32_t y = 1; y < kHeight; ++y)
        std::memcpy(frame + y * kRowBytes, row, kRowBytes);

    const uint32_t value = static_cast<uint32_t>(number);
    for (uint32_t i = 0; i < kNumberPixels; ++i) {
        const bool bit = (value >> (kNumberPixels - 1 - i)) & 1;
        row[i * 2] = bit ? kOne : kZero;
        row[i * 2 + 1] = 128;
    }
}

void SimVideoPattern::FillBlack(uint8_t* frame) {
    static constexpr uint8_t kBlack[4] = {16, 128, 16, 128};
    for (uint32_t i = 0; i < kFrameBytes; i += 4)
        std::memcpy(frame + i, kBlack, 4);
}

std::optional<uint32_t> SimVideoPattern::Number(const uint8_t* frame, size_t size) {
    if (!frame || size < kNumberPixels * 2) return std::nullopt;
    // Generous margins, so a frame that went through a colour conversion and
    // back still reads.
    constexpr uint8_t kLowMax = kZero + 40;
    constexpr uint8_t kHighMin = kOne - 40;
    uint32_t value = 0;
    for (uint32_t i = 0; i < kNumberPixels; ++i) {
        const uint8_t y = frame[i * 2];
        uint32_t bit = 0;
        if (y >= kHighMin) {
            bit = 1;
        } else if (y > kLowMax) {
            return std::nullopt;
        }
        value = (value << 1) | bit;
    }
    return value;
}

}  // namespace velmora::sim

#pragma once

// The audio workers on one simulated card with the manual clock, opened the
// way the card opens its board support, and a least-squares look at a tone.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "BoardSupportTestSupport.h"
#include "card/AudioResampler.h"
#include "sim/SimControl.h"

namespace velmora::audiotest {

// Two PAL fields in 100 ns units.
inline constexpr uint64_t kPalFrame = 400000;
inline constexpr uint32_t kFramePairs = 1920;
inline constexpr uint32_t kBlockBytes = 16384;
inline constexpr uint32_t kCaptureRing = 0xE3D000;
inline constexpr uint32_t kPlaybackRing = 0xE5D000;
inline constexpr uint32_t kRegBlockB = 0x90;
inline constexpr uint32_t kRegAudioCaptureStatus = 0xC0;

inline int16_t Left(uint32_t pair) {
    return static_cast<int16_t>(pair & 0xFFFF);
}
inline int16_t Right(uint32_t pair) {
    return static_cast<int16_t>(pair >> 16);
}
inline uint32_t Pair(int left, int right) {
    return static_cast<uint16_t>(left) | (uint32_t{static_cast<uint16_t>(right)} << 16);
}

// A sine of `hz` at `rate` fitted to one channel: its amplitude and the
// largest distance of a sample from the fitted curve.
struct ToneFit {
    double amplitude = 0;
    double worst = 0;
};
inline ToneFit FitTone(const std::vector<uint32_t>& pairs, bool right, double hz, double rate) {
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    const auto value = [&](size_t n) { return right ? Right(pairs[n]) : Left(pairs[n]); };
    for (size_t n = 0; n < pairs.size(); ++n) {
        const double angle = 2 * std::numbers::pi * hz * static_cast<double>(n) / rate;
        const double s = std::sin(angle), c = std::cos(angle);
        ss += s * s;
        sc += s * c;
        cc += c * c;
        ys += value(n) * s;
        yc += value(n) * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det;
    const double b = (yc * ss - ys * sc) / det;
    ToneFit fit;
    fit.amplitude = std::hypot(a, b);
    for (size_t n = 0; n < pairs.size(); ++n) {
        const double angle = 2 * std::numbers::pi * hz * static_cast<double>(n) / rate;
        fit.worst =
            std::max(fit.worst, std::abs(value(n) - (a * std::sin(angle) + b * std::cos(angle))));
    }
    return fit;
}

// A bridge whose DMA channel lock can be made to fail.
class LockFailBridge : public hw::CVelmoraPciBridge {
  public:
    uint32_t LockDmaChannel(uint32_t channel) override {
        return failLock ? 0 : hw::CVelmoraPciBridge::LockDmaChannel(channel);
    }
    bool failLock = false;
};

class AudioWorkerTest : public boardtest::BoardSupportTest {
  protected:
    void SetUp() override {
        StartCard(0x5110);
        ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
        auto owned = std::make_unique<LockFailBridge>();
        bridge = owned.get();
        stack = std::make_unique<boardtest::BoardStack>(std::move(owned));
        ASSERT_TRUE(stack->Open());
    }

    static void StepFrames(uint64_t frames) { ASSERT_TRUE(sim::StepFields(0, 2 * frames)); }
    static std::vector<uint32_t> CardPairs(uint32_t address, uint32_t count) {
        std::vector<uint32_t> pairs(count);
        EXPECT_TRUE(sim::PeekMemory(0, address, pairs.data(), count * 4));
        return pairs;
    }
    static std::string LogSince(size_t from) {
        const std::string text = LogText();
        return from < text.size() ? text.substr(from) : std::string();
    }

    LockFailBridge* bridge = nullptr;
};

}  // namespace velmora::audiotest

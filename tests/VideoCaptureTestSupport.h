#pragma once

// The video workers on one simulated card with the manual clock: the board
// support opened as the card opens it, over a bridge whose DMA channel lock
// can be made to fail and is counted.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BoardSupportTestSupport.h"
#include "av/ColorConvertModel.h"
#include "hw/VelmoraPciBridge.h"
#include "sim/SimControl.h"

namespace velmora::videotest {

inline constexpr int kWidth = 720;
inline constexpr int kHeight = 576;
inline constexpr size_t kYuy2Bytes = 829440;
inline constexpr size_t kBgraBytes = 1658880;
// Two PAL fields in 100 ns units.
inline constexpr uint64_t kPalFrame = 400000;

class CountingBridge : public hw::CVelmoraPciBridge {
  public:
    uint32_t LockDmaChannel(uint32_t channel) override {
        ++lockCalls;
        if (failLock) return 0;
        const uint32_t locked = hw::CVelmoraPciBridge::LockDmaChannel(channel);
        if (onLocked) onLocked();
        return locked;
    }
    std::atomic<bool> failLock{false};
    // Runs on the mover's thread once it holds the channel.
    std::function<void()> onLocked;
    std::atomic<int> lockCalls{0};
};

class VideoWorkerTest : public boardtest::BoardSupportTest {
  protected:
    void SetUp() override {
        StartCard(0x5110);
        ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
        auto owned = std::make_unique<CountingBridge>();
        bridge = owned.get();
        stack = std::make_unique<boardtest::BoardStack>(std::move(owned));
        ASSERT_TRUE(stack->Open());
    }

    // Whole frames of the card clock.
    static void StepFrames(uint64_t frames) { ASSERT_TRUE(sim::StepFields(0, 2 * frames)); }

    // The log lines written since `from` (a size LogText had before).
    static std::string LogSince(size_t from) {
        const std::string text = LogText();
        return from < text.size() ? text.substr(from) : std::string();
    }

    CountingBridge* bridge = nullptr;
};

// The scalar formula for every pixel of a 720 x 576 frame, alpha 0xFF.
inline std::vector<uint8_t> ModelYuy2ToBgra(const uint8_t* yuy2) {
    std::vector<uint8_t> bgra(kBgraBytes);
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const uint8_t* pair = yuy2 + 2 * (i & ~1);
        const av::model::Bgr p = av::model::Yuy2ToBgrScalar(yuy2[2 * i], pair[1], pair[3]);
        bgra[4 * i] = p.b;
        bgra[4 * i + 1] = p.g;
        bgra[4 * i + 2] = p.r;
        bgra[4 * i + 3] = 0xFF;
    }
    return bgra;
}

inline std::vector<uint8_t> ModelBgraToYuy2(const uint8_t* bgra) {
    std::vector<uint8_t> yuy2(kYuy2Bytes);
    for (int i = 0; i < kWidth * kHeight; i += 2) {
        const uint8_t* p = bgra + 4 * i;
        const int bs = p[0] + p[4], gs = p[1] + p[5], rs = p[2] + p[6];
        yuy2[2 * i] = av::model::LumaScalar(p[0], p[1], p[2]);
        yuy2[2 * i + 1] = av::model::PairUScalar(bs, gs, rs);
        yuy2[2 * i + 2] = av::model::LumaScalar(p[4], p[5], p[6]);
        yuy2[2 * i + 3] = av::model::PairVScalar(bs, gs, rs);
    }
    return yuy2;
}

// The rows of a frame in reverse order.
inline std::vector<uint8_t> ReverseRows(const std::vector<uint8_t>& frame) {
    const size_t row = frame.size() / kHeight;
    std::vector<uint8_t> out(frame.size());
    for (size_t r = 0; r < static_cast<size_t>(kHeight); ++r) {
        std::copy(frame.begin() + r * row, frame.begin() + (r + 1) * row,
                  out.begin() + (kHeight - 1 - r) * row);
    }
    return out;
}

}  // namespace velmora::videotest

// Video frames per second through the exported capture and playback calls on
// the simulated card. With the card's realtime clock the rings move at the
// frame rate (25 frames/s in PAL), so those figures show the calls keep up
// with the card; with the manual clock stepped by one frame inside the loop
// they show what a call costs without waiting for the card (the step itself
// is measured alone as a baseline).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "platform/Time.h"
#include "sim/SimControl.h"
#include "velmora/Velmora.h"

namespace {

constexpr size_t kYuy2Bytes = 720 * 576 * 2;
constexpr size_t kBgraBytes = 720 * 576 * 4;
constexpr uint64_t kPalFrame = 400000;  // 100 ns units

// Card 0 opened through the exports, on the clock asked for.
class OpenCard {
  public:
    explicit OpenCard(velmora::sim::ClockMode clock) {
        velmora::sim::SetCardCount(1);
        velmora::sim::SetClockMode(0, clock);
        m_open = Quorvel_Velmora_OpenCard(0) == 1;
    }
    ~OpenCard() {
        Quorvel_Velmora_CloseCard(0);
        velmora::sim::ReleaseCards();
    }
    OpenCard(const OpenCard&) = delete;
    OpenCard& operator=(const OpenCard&) = delete;
    bool IsOpen() const { return m_open; }

  private:
    bool m_open = false;
};

size_t FrameBytes(uint32_t frameType) {
    return frameType == VELMORA_FRAME_YUY2 ? kYuy2Bytes : kBgraBytes;
}

void Finish(benchmark::State& state) {
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Realtime: each iteration waits for the next captured frame and reads it.
void BM_ReadOneVideoFrameRealtime(benchmark::State& state) {
    const auto frameType = static_cast<uint32_t>(state.range(0));
    OpenCard card(velmora::sim::ClockMode::Realtime);
    if (!card.IsOpen()) return state.SkipWithError("card could not be opened");
    Quorvel_Velmora_SetVideoCaptureFrameType(frameType, 0);
    std::vector<uint8_t> frame(FrameBytes(frameType));
    uint64_t stamp = 0;
    // Start from an empty ring, so that every frame read was waited for.
    while (Quorvel_Velmora_ReadOneVideoFrame(&stamp, frame.data(), 0)) {
    }
    for (auto _ : state) {
        while (!Quorvel_Velmora_ReadOneVideoFrame(&stamp, frame.data(), 0)) {
            velmora::platform::Sleep(1);
        }
    }
    Finish(state);
}

// Realtime: each iteration queues one frame, waiting while the ring is full.
void BM_WriteOneVideoFrameRealtime(benchmark::State& state) {
    const auto frameType = static_cast<uint32_t>(state.range(0));
    OpenCard card(velmora::sim::ClockMode::Realtime);
    if (!card.IsOpen()) return state.SkipWithError("card could not be opened");
    Quorvel_Velmora_SetVideoPlaybackFrameType(frameType, 0);
    std::vector<uint8_t> frame(FrameBytes(frameType), 0x80);
    uint64_t stamp = 0;
    Quorvel_Velmora_GetCardTimeStamp(&stamp, 0);
    // Fill the ring first, so that every frame written waited for a free unit.
    while (Quorvel_Velmora_WriteOneVideoFrame(stamp += kPalFrame, frame.data(), 0)) {
    }
    for (auto _ : state) {
        while (!Quorvel_Velmora_WriteOneVideoFrame(stamp, frame.data(), 0)) {
            velmora::platform::Sleep(1);
        }
        stamp += kPalFrame;
    }
    Finish(state);
}

// Manual clock: each iteration steps one frame and reads the frame it made.
void BM_ReadOneVideoFrameManual(benchmark::State& state) {
    const auto frameType = static_cast<uint32_t>(state.range(0));
    OpenCard card(velmora::sim::ClockMode::Manual);
    if (!card.IsOpen()) return state.SkipWithError("card could not be opened");
    Quorvel_Velmora_SetVideoCaptureFrameType(frameType, 0);
    std::vector<uint8_t> frame(FrameBytes(frameType));
    uint64_t stamp = 0;
    for (auto _ : state) {
        velmora::sim::StepFields(0, 2);
        if (!Quorvel_Velmora_ReadOneVideoFrame(&stamp, frame.data(), 0)) {
            return state.SkipWithError("no frame after a step");
        }
    }
    Finish(state);
}

// Manual clock: each iteration queues one frame and steps one frame to play it.
void BM_WriteOneVideoFrameManual(benchmark::State& state) {
    const auto frameType = static_cast<uint32_t>(state.range(0));
    OpenCard card(velmora::sim::ClockMode::Manual);
    if (!card.IsOpen()) return state.SkipWithError("card could not be opened");
    Quorvel_Velmora_SetVideoPlaybackFrameType(frameType, 0);
    std::vector<uint8_t> frame(FrameBytes(frameType), 0x80);
    uint64_t stamp = 0;
    for (auto _ : state) {
        if (!Quorvel_Velmora_WriteOneVideoFrame(stamp += kPalFrame, frame.data(), 0)) {
            return state.SkipWithError("the ring did not take the frame");
        }
        velmora::sim::StepFields(0, 2);
    }
    Finish(state);
}

// The manual step alone, with capture running and nothing queued: what the
// manual-clock figures above include besides the call.
void BM_StepOneFrameManual(benchmark::State& state) {
    OpenCard card(velmora::sim::ClockMode::Manual);
    if (!card.IsOpen()) return state.SkipWithError("card could not be opened");
    Quorvel_Velmora_VideoCaptureStop(0);
    Quorvel_Velmora_AudioCaptureStop(0);
    for (auto _ : state) {
        velmora::sim::StepFields(0, 2);
        uint32_t status = 0;
        Quorvel_Velmora_GetVideoCaptureBufferStatus(&status, 0);
        benchmark::DoNotOptimize(status);
    }
    Finish(state);
}

BENCHMARK(BM_ReadOneVideoFrameRealtime)
    ->ArgName("frameType")
    ->Arg(VELMORA_FRAME_YUY2)
    ->Arg(VELMORA_FRAME_BGRA)
    ->Iterations(50)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteOneVideoFrameRealtime)
    ->ArgName("frameType")
    ->Arg(VELMORA_FRAME_YUY2)
    ->Arg(VELMORA_FRAME_BGRA)
    ->Iterations(50)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadOneVideoFrameManual)
    ->ArgName("frameType")
    ->Arg(VELMORA_FRAME_YUY2)
    ->Arg(VELMORA_FRAME_BGRA)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteOneVideoFrameManual)
    ->ArgName("frameType")
    ->Arg(VELMORA_FRAME_YUY2)
    ->Arg(VELMORA_FRAME_BGRA)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StepOneFrameManual)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

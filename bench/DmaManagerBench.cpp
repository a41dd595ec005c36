// Throughput of frame transfers queued through the DMA manager, against the
// same frames moved by the bridge's block DMA directly on the same channel.
#include <benchmark/benchmark.h>

#include <vector>

#include "BenchCard.h"
#include "hw/DmaChannelLock.h"
#include "hw/DmaManager.h"

namespace {

using velmora::bench::BenchCard;

constexpr uint32_t kFrameBytes = 829440;
constexpr uint32_t kCardAddress = 0x1FA400 * 4;
constexpr uint32_t kSlots = 16;
// Frames cycle through as many host buffers and the eight frames of a card
// ring, as a frame mover's would, so neither side stays in one core's cache.
constexpr uint32_t kRingFrames = 8;

uint32_t CardFrame(uint32_t n) {
    return kCardAddress + (n % kRingFrames) * kFrameBytes;
}

bool OpenChannels(velmora::hw::CPciBridge& bridge) {
    for (uint32_t channel = 0; channel < 2; ++channel) {
        if (!bridge.DmaChannelOpen(channel) || !bridge.EnableDmaInterrupt(channel) ||
            !bridge.RegisterDmaNotification(channel)) {
            return false;
        }
    }
    return true;
}

void CloseChannels(velmora::hw::CPciBridge& bridge) {
    for (uint32_t channel = 0; channel < 2; ++channel) {
        bridge.CancelDmaNotification(channel);
        bridge.DmaChannelClose(channel);
    }
}

// Host to card on bridge channel 1, the manager's channel for direction 0.
void BM_BridgeFrameDma(benchmark::State& state) {
    BenchCard card;
    auto& bridge = card.Bridge();
    if (!card.IsOpen() || !OpenChannels(bridge)) {
        state.SkipWithError("card could not be opened");
        return;
    }
    std::vector<std::vector<uint8_t>> frames(kSlots, std::vector<uint8_t>(kFrameBytes, 0x5A));
    uint32_t next = 0;
    for (auto _ : state) {
        const uint32_t n = next++;
        velmora::hw::CDmaChannelLock lock(&bridge, 1);
        if (!bridge.DmaTransfer(1, frames[n % kSlots].data(), CardFrame(n), kFrameBytes, 0) ||
            !bridge.WaitDmaInterrupt(1)) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
    CloseChannels(bridge);
}

// Up to one request in flight per slot, so the worker never waits for work.
void BM_DmaManagerFrames(benchmark::State& state) {
    BenchCard card;
    auto& bridge = card.Bridge();
    if (!card.IsOpen() || !OpenChannels(bridge)) {
        state.SkipWithError("card could not be opened");
        return;
    }
    std::vector<std::vector<uint8_t>> frames(kSlots, std::vector<uint8_t>(kFrameBytes, 0x5A));
    {
        velmora::hw::CDmaManager manager(&bridge);
        manager.Start(kSlots);
        uint32_t ids[kSlots] = {};
        for (uint32_t& id : ids)
            manager.AddChannel(&id, 0);
        uint32_t next = 0;
        for (auto _ : state) {
            const uint32_t n = next++;
            const uint32_t id = ids[n % kSlots];
            if (!manager.WaitDone(id) ||
                !manager.Submit(id, frames[n % kSlots].data(), CardFrame(n), kFrameBytes)) {
                state.SkipWithError("request failed");
                break;
            }
        }
        for (uint32_t id : ids)
            manager.WaitDone(id);
        manager.Stop();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
    CloseChannels(bridge);
}

BENCHMARK(BM_BridgeFrameDma)->UseRealTime();
BENCHMARK(BM_DmaManagerFrames)->UseRealTime();

}  // namespace

// Throughput of block DMA through the PLX device layer and the simulated
// driver, against a plain memcpy of the same bytes, and the cost of one BAR-3
// register read at the bridge.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "BenchCard.h"
#include "hw/DmaChannelLock.h"

namespace {

using velmora::bench::BenchCard;

constexpr uint32_t kFrameBytes = 829440;         // one 720 x 576 YUY2 frame
constexpr uint32_t kCardAddress = 0x1FA400 * 4;  // channel 0's video playback ring

void Dma(benchmark::State& state, uint32_t direction) {
    BenchCard card;
    auto& bridge = card.Bridge();
    if (!card.IsOpen() || !bridge.DmaChannelOpen(0) || !bridge.EnableDmaInterrupt(0) ||
        !bridge.RegisterDmaNotification(0)) {
        state.SkipWithError("card could not be opened");
        return;
    }
    const auto bytes = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> host(bytes, 0x5A);
    for (auto _ : state) {
        uint32_t ok = 0;
        {
            velmora::hw::CDmaChannelLock channel(&bridge, 0);
            ok = bridge.DmaTransfer(0, host.data(), kCardAddress, bytes, direction);
            if (ok) bridge.WaitDmaInterrupt(0);
        }
        if (!ok) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
    bridge.CancelDmaNotification(0);
    bridge.DmaChannelClose(0);
}

void BM_DmaHostToCard(benchmark::State& state) {
    Dma(state, 0);
}
void BM_DmaCardToHost(benchmark::State& state) {
    Dma(state, 1);
}

void Floor_Memcpy(benchmark::State& state) {
    const auto bytes = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> from(bytes, 0x5A), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}

void BM_BridgeBar3Read(benchmark::State& state) {
    BenchCard card;
    if (!card.IsOpen()) {
        state.SkipWithError("card could not be opened");
        return;
    }
    uint32_t value = 0;
    for (auto _ : state) {
        card.Bridge().BarSpaceRead(3, 0x50, &value);
        benchmark::DoNotOptimize(value);
    }
}

BENCHMARK(BM_DmaHostToCard)->Arg(kFrameBytes)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_DmaCardToHost)->Arg(kFrameBytes)->Arg(1 << 20)->UseRealTime();
BENCHMARK(Floor_Memcpy)->Arg(kFrameBytes)->Arg(1 << 20);
BENCHMARK(BM_BridgeBar3Read);

}  // namespace

// Throughput of block DMA through the PLX device layer and the simulated
// driver, against a plain memcpy of the same bytes, and the cost of one BAR-3
// register read.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "hw/VelmoraPciBridge.h"
#include "sim/SimControl.h"

namespace {

using velmora::hw::CVelmoraPciBridge;

constexpr uint32_t kFrameBytes = 829440;  // one 720 x 576 YUY2 frame
constexpr uint32_t kCardAddress = 0x195000 * 4;

class OpenBridge {
  public:
    OpenBridge() {
        velmora::sim::SetCardCount(1);
        uint32_t count = 0;
        m_bridge.GetBoardCount(&count);
        m_open = count > 0 && m_bridge.FindBoard(0) && m_bridge.OpenBoard() &&
                 m_bridge.DmaChannelOpen(0) && m_bridge.EnableDmaInterrupt(0) &&
                 m_bridge.RegisterDmaNotification(0);
    }
    ~OpenBridge() {
        if (!m_open) return;
        m_bridge.CancelDmaNotification(0);
        m_bridge.DmaChannelClose(0);
        m_bridge.CloseBoard();
    }
    bool IsOpen() const { return m_open; }
    CVelmoraPciBridge& Bridge() { return m_bridge; }

  private:
    CVelmoraPciBridge m_bridge;
    bool m_open = false;
};

void Dma(benchmark::State& state, uint32_t direction) {
    OpenBridge card;
    if (!card.IsOpen()) {
        state.SkipWithError("card could not be opened");
        return;
    }
    const auto bytes = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> host(bytes, 0x5A);
    auto& bridge = card.Bridge();
    for (auto _ : state) {
        bridge.LockDmaChannel(0);
        const uint32_t ok = bridge.DmaTransfer(0, host.data(), kCardAddress, bytes, direction);
        if (ok) bridge.WaitDmaInterrupt(0);
        bridge.UnlockDmaChannel(0);
        if (!ok) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}

void BM_DmaHostToCard(benchmark::State& state) {
    Dma(state, 0);
}
void BM_DmaCardToHost(benchmark::State& state) {
    Dma(state, 1);
}

void BM_Memcpy(benchmark::State& state) {
    const auto bytes = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> from(bytes, 0x5A), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}

void BM_Bar3RegisterRead(benchmark::State& state) {
    OpenBridge card;
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
BENCHMARK(BM_Memcpy)->Arg(kFrameBytes)->Arg(1 << 20);
BENCHMARK(BM_Bar3RegisterRead);

}  // namespace

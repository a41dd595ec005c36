// Packets per second through the program engine on one core: the card input
// ring fed from memory, the distribution thread, PSI analysis and, with the
// filter on, the remultiplexer removing a program and replacing the NIT. The
// "line_rates" counter is the multiple of the ASI line rate (213 Mbit/s of
// 188-byte packets, about 142,000 packets a second); memcpy of the same bytes
// stands beside it.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "sim/SimTsGenerator.h"
#include "ts/LockedRingBuffer.h"
#include "ts/TsProgramEngine.h"

namespace {

using velmora::ts::CLockedRingBuffer;
using velmora::ts::CTsProgramEngine;

constexpr uint32_t kPacket = 188;
constexpr uint32_t kEntry = 256;
constexpr double kLinePacketsPerSecond = 213000000.0 / (8.0 * kPacket);
constexpr size_t kSourcePackets = 1632 * 8;
constexpr size_t kPacketsPerIteration = 1632 * 16;

// The built-in stream as card entries.
const std::vector<uint8_t>& Entries() {
    static const std::vector<uint8_t> entries = [] {
        std::vector<uint8_t> e(kSourcePackets * kEntry, 0);
        for (size_t i = 0; i < kSourcePackets; ++i) {
            velmora::sim::SimTsGenerator::Packet(i, &e[i * kEntry + 4]);
        }
        return e;
    }();
    return entries;
}

// Keeps the engine's threads, which inherit it, on the caller's core.
class OneCore {
  public:
    OneCore() {
        sched_getaffinity(0, sizeof(m_saved), &m_saved);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        sched_setaffinity(0, sizeof(one), &one);
    }
    ~OneCore() { sched_setaffinity(0, sizeof(m_saved), &m_saved); }

  private:
    cpu_set_t m_saved;
};

class Pump {
  public:
    Pump() {
        m_card.SetSize(25920, kEntry);
        m_card.Allocate();
        m_output.SetSize(25920, kPacket);
        m_output.Allocate();
        m_drain.resize(size_t{25920} * kPacket);
        engine =
            std::make_unique<CTsProgramEngine>(&m_card, nullptr, &m_output, kPacket, 0, nullptr);
    }

    // Feeds entries and drains the output until `packets` came out.
    void Run(size_t packets) {
        const auto& entries = Entries();
        size_t out = 0;
        while (out < packets) {
            uint32_t free = 0;
            uint32_t contiguous = 0;
            m_card.GetFreeCount(&free, &contiguous);
            const size_t n = std::min<size_t>(free, kSourcePackets - m_next);
            if (n > 0) {
                m_card.Write(&entries[m_next * kEntry], static_cast<uint32_t>(n * kEntry));
                m_next = (m_next + n) % kSourcePackets;
            }
            uint32_t fill = 0;
            m_output.GetFillCount(&fill, &contiguous);
            if (fill > 0) {
                m_output.Read(m_drain.data(), fill * kPacket);
                out += fill;
            }
            if (n == 0 && fill == 0) std::this_thread::yield();
        }
    }

    std::unique_ptr<CTsProgramEngine> engine;

  private:
    CLockedRingBuffer m_card;
    CLockedRingBuffer m_output;
    std::vector<uint8_t> m_drain;
    size_t m_next = 0;
};

void BM_ProgramEngine(benchmark::State& state) {
    OneCore core;
    Pump pump;
    pump.engine->Start();
    auto view = std::make_unique<velmora::ts::PSI_TABLES_VIEW>();
    while (!pump.engine->GetPsiTables(view.get()))
        pump.Run(1632);
    if (state.range(0)) {
        static const FILTERED_PROGRAM list[] = {1, 0, 0x200, 0};
        pump.engine->SetFilteredProgram(1, list);
        auto nit = std::make_unique<NIT_INFORMATION>();
        std::memset(nit.get(), 0, sizeof(NIT_INFORMATION));
        std::strcpy(reinterpret_cast<char*>(nit->byNetworkName), "Bench");
        pump.engine->SetNitInformation(nit.get());
    }
    const uint64_t skippedBefore = pump.engine->SkippedChunks();
    for (auto _ : state)
        pump.Run(kPacketsPerIteration);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPacketsPerIteration));
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * kPacketsPerIteration * kPacket));
    state.counters["line_rates"] =
        benchmark::Counter(kPacketsPerIteration / kLinePacketsPerSecond,
                           benchmark::Counter::kIsIterationInvariantRate);
    state.counters["skipped_chunks"] =
        static_cast<double>(pump.engine->SkippedChunks() - skippedBefore);
    pump.engine->Stop();
}
BENCHMARK(BM_ProgramEngine)->Arg(0)->Arg(1)->ArgName("filter")->UseRealTime();

// The same bytes copied once from the entries into a packet buffer.
void BM_MemcpyOfTheSameBytes(benchmark::State& state) {
    const auto& entries = Entries();
    std::vector<uint8_t> out(kPacketsPerIteration * kPacket);
    for (auto _ : state) {
        for (size_t i = 0; i < kPacketsPerIteration; ++i) {
            std::memcpy(&out[i * kPacket], &entries[(i % kSourcePackets) * kEntry + 4], kPacket);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPacketsPerIteration));
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * kPacketsPerIteration * kPacket));
    state.counters["line_rates"] =
        benchmark::Counter(kPacketsPerIteration / kLinePacketsPerSecond,
                           benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_MemcpyOfTheSameBytes);

}  // namespace

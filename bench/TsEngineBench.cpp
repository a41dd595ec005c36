// Packets per second through the program engine on one core: the card input
// ring fed from memory, the distribution thread, PSI analysis and, with the
// filter on, the remultiplexer removing a program and replacing the NIT. The
// "line_rates" counter is the multiple of the ASI line rate (213 Mbit/s of
// 188-byte packets, about 142,000 packets a second) at which the engine
// skips nothing, "skipped_chunks" the chunks it skipped all the same (0);
// memcpy of the same bytes runs beside it, on the same clock.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "sim/SimTsGenerator.h"
#include "ts/LockedRingBuffer.h"
#include "ts/TsProgramEngine.h"

#include "BesidePeers.h"

namespace {

using velmora::ts::CLockedRingBuffer;
using velmora::ts::CTsProgramEngine;

constexpr uint32_t kPacket = 188;
constexpr uint32_t kEntry = 256;
constexpr double kLinePacketsPerSecond = 213000000.0 / (8.0 * kPacket);
constexpr size_t kSourcePackets = 1632 * 8;
// A batch: 15 of the engine's chunks of 1632 packets, what its rings hold.
constexpr size_t kPacketsPerIteration = 1632 * 15;

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

// Feeds the engine as fast as it works off its input without skipping any:
// a batch of what its rings hold, then a wait until it reports it has done
// all it was given. Feeding it faster only makes it skip chunks (the
// "skipped_chunks" counter), which would be counted as done.
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

    // One batch fed and worked off: whole chunks, each taken as soon as it
    // is there, so none waits for the input to stand still.
    void Run() {
        Feed(kPacketsPerIteration);
        while (!engine->IsIdle()) {
            if (!Drain()) std::this_thread::yield();
        }
        Drain();
    }

    std::unique_ptr<CTsProgramEngine> engine;

  private:
    void Feed(size_t packets) {
        const auto& entries = Entries();
        while (packets > 0) {
            uint32_t free = 0;
            uint32_t contiguous = 0;
            m_card.GetFreeCount(&free, &contiguous);
            const size_t n = std::min({size_t{free}, kSourcePackets - m_next, packets});
            if (n == 0) {
                std::this_thread::yield();
                continue;
            }
            m_card.Write(&entries[m_next * kEntry], static_cast<uint32_t>(n * kEntry));
            m_next = (m_next + n) % kSourcePackets;
            packets -= n;
        }
    }

    // False when the output held nothing.
    bool Drain() {
        uint32_t fill = 0;
        uint32_t contiguous = 0;
        m_output.GetFillCount(&fill, &contiguous);
        if (fill > 0) m_output.Read(m_drain.data(), fill * kPacket);
        return fill > 0;
    }

    CLockedRingBuffer m_card;
    CLockedRingBuffer m_output;
    std::vector<uint8_t> m_drain;
    size_t m_next = 0;
};

// The packet of a batch's ith, among the entries.
const uint8_t* SourcePacket(size_t i) {
    return &Entries()[(i % kSourcePackets) * kEntry + 4];
}

// The floor: the same bytes copied once from the entries into a packet
// buffer, every packet of them checked.
velmora::bench::PeerCall MemcpyOfTheSameBytes() {
    auto out = std::make_shared<std::vector<uint8_t>>(kPacketsPerIteration * kPacket);
    return {"memcpy",
            [out] {
                for (size_t i = 0; i < kPacketsPerIteration; ++i)
                    std::memcpy(&(*out)[i * kPacket], SourcePacket(i), kPacket);
                return true;
            },
            [out] {
                for (size_t i = 0; i < kPacketsPerIteration; ++i) {
                    if (std::memcmp(&(*out)[i * kPacket], SourcePacket(i), kPacket) != 0)
                        return false;
                }
                return true;
            },
            [out] {
                for (size_t i = 0; i < kPacketsPerIteration; ++i)
                    velmora::bench::MarkUnwritten(SourcePacket(i), &(*out)[i * kPacket], kPacket);
            }};
}

void BM_ProgramEngine(benchmark::State& state) {
    OneCore core;
    Pump pump;
    pump.engine->Start();
    auto view = std::make_unique<velmora::ts::PSI_TABLES_VIEW>();
    while (!pump.engine->GetPsiTables(view.get()))
        pump.Run();
    if (state.range(0)) {
        static const FILTERED_PROGRAM list[] = {1, 0, 0x200, 0};
        pump.engine->SetFilteredProgram(1, list);
        auto nit = std::make_unique<NIT_INFORMATION>();
        std::memset(nit.get(), 0, sizeof(NIT_INFORMATION));
        std::strcpy(reinterpret_cast<char*>(nit->byNetworkName), "Bench");
        pump.engine->SetNitInformation(nit.get());
    }
    const uint64_t skippedBefore = pump.engine->SkippedChunks();
    velmora::bench::RunBesidePeers(state,
                                   [&] {
                                       pump.Run();
                                       return true;
                                   },
                                   {MemcpyOfTheSameBytes()});
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

}  // namespace

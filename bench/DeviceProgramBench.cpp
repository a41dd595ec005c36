// Device programming: the byte-code player's core speed, DR-scan clocks
// through the simulated card against bare clocks, and an EPCS1 program and
// verify through the API object against its floor (the same number of bare
// line writes and input reads).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "../tests/JbcAssembler.h"
#include "BenchCard.h"
#include "api/VelmoraSdkApi.h"
#include "card/CardTable.h"
#include "card/VelmoraCard.h"
#include "program/AlteraJtagConfig.h"
#include "program/OstrevoCpldConfig.h"
#include "program/OstrevoFpgaConfig.h"
#include "sim/SimProgControl.h"
#include "velmora/Velmora.h"

namespace {

using namespace velmora;

// A loop of arithmetic: per pass 7 instructions.
void BM_PlayerCoreInstructions(benchmark::State& state) {
    constexpr int32_t kPasses = 200000;
    jbctest::JbcAssembler a(1);
    const uint32_t i = a.Scalar("I", 0);
    const uint32_t sum = a.Scalar("SUM", 0);
    a.PushLabel("loop");
    a.Push(kPasses);
    a.Push(1);
    a.Label("loop");
    a.Op(0x41, sum);
    a.Op(0x41, i);
    a.Op(0x03);
    a.Push(3);
    a.Op(0x0D);
    a.Op(0x4D, sum);
    a.Op(0x44, i);
    a.Op(0x41, sum);
    a.Op(0x25);
    const std::vector<uint8_t> image = a.Build();
    program::CAlteraJtagConfig player;
    player.SetImage(image.data(), static_cast<int32_t>(image.size()));
    for (auto _ : state) {
        uint32_t address = 0;
        int32_t exitCode = 0, version = 0;
        benchmark::DoNotOptimize(player.Execute(0, &address, &exitCode, &version));
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kPasses} * 7);
}
BENCHMARK(BM_PlayerCoreInstructions)->Unit(benchmark::kMillisecond);

// Clocks through the card's JTAG lines: a DR scan, or the same count of
// bare clocks.
void DrScanClocks(benchmark::State& state, bool scan) {
    bench::BenchCard card;
    if (!card.IsOpen()) {
        state.SkipWithError("no card");
        return;
    }
    program::COstrevoCpldConfig cpld(0, &card.Bridge());
    if (!cpld.EnterProgrammingMode()) {
        state.SkipWithError("programming mode refused");
        return;
    }
    constexpr uint32_t kBits = 4096;
    std::vector<uint8_t> bits(kBits / 8, 0x5A);
    cpld.InitJtag();
    cpld.GotoJtagState(program::kTapIdle);
    for (auto _ : state) {
        if (scan) {
            cpld.DrScan(kBits, bits.data(), 0);
        } else {
            for (uint32_t b = 0; b < kBits; ++b)
                cpld.JtagIo(0, (bits[b / 8] >> (b % 8)) & 1, 0);
        }
    }
    cpld.FreeJtagBuffers(0);
    cpld.LeaveProgrammingMode();
    state.SetItemsProcessed(state.iterations() * kBits);
    state.counters["clocks/s"] =
        benchmark::Counter(double(state.iterations()) * kBits, benchmark::Counter::kIsRate);
}
void BM_DrScanClocksThroughSim(benchmark::State& state) {
    DrScanClocks(state, true);
}
void BM_BareJtagIoClocks(benchmark::State& state) {
    DrScanClocks(state, false);
}
BENCHMARK(BM_DrScanClocksThroughSim)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareJtagIoClocks)->Unit(benchmark::kMillisecond);

// EPCS1: 1 Mbit programmed and verified through the API object; the floor
// is the same number of bare BAR-2 line writes and USERi reads.
uint64_t g_lineWrites = 0;
uint64_t g_inputReads = 0;

void BM_EpcsProgramVerifyThroughApi(benchmark::State& state) {
    sim::SetCardCount(1);
    if (Quorvel_Velmora_OpenCard(0) != 1) {
        state.SkipWithError("card not opened");
        return;
    }
    api::CVelmoraSdkApi* api = card::g_pCardTable[0]->GetApi();
    std::vector<uint8_t> image(131072);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    for (auto _ : state) {
        const uint64_t before = sim::ProgrammingLineCount(0).value_or(0);
        if (api->ProgramAndVerifyFpgaConfigData(image.data(), 131072) != 1) {
            state.SkipWithError("programming failed");
            break;
        }
        g_lineWrites = sim::ProgrammingLineCount(0).value_or(0) - before;
        // One input read a received bit: the verify's 1 Mbit and a few
        // status and ID bytes.
        g_inputReads = 131072u * 8;
    }
    Quorvel_Velmora_CloseCard(0);
    sim::ReleaseCards();
    state.counters["line writes"] = double(g_lineWrites);
    state.counters["bits/s"] = benchmark::Counter(double(state.iterations()) * 131072 * 8 * 2,
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EpcsProgramVerifyThroughApi)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_EpcsFloorBareLineWrites(benchmark::State& state) {
    bench::BenchCard card;
    if (!card.IsOpen() || g_lineWrites == 0) {
        state.SkipWithError("no card or no count from the API run");
        return;
    }
    program::COstrevoFpgaConfig lines(0, &card.Bridge());
    if (!lines.EnterConfigMode()) {
        state.SkipWithError("config mode refused");
        return;
    }
    // The flash selected and reading from address 0 (instruction 0x03 and
    // three address bytes, most significant bit first), then DCLK toggling:
    // the lines and the flash do the work they do in the flows.
    const uint32_t zero = 0;
    constexpr uint32_t kSelected = 0x132C & ~0x28u;  // nCS and nCONFIG low
    auto write = [&](uint32_t word) { card.Bridge().BarSpaceWrite(2, 4 * word, &zero); };
    for (auto _ : state) {
        uint64_t writes = 0;
        for (int bit = 31; bit >= 0; --bit, writes += 2) {
            const uint32_t asdi = ((0x03000000u >> bit) & 1) ? 0x10 : 0;
            write(kSelected | asdi);
            write(kSelected | asdi | 0x40);
        }
        uint32_t level = 0;
        for (uint64_t i = 0; writes < g_lineWrites; ++i) {
            write(kSelected | ((i & 1) << 6));
            ++writes;
            if ((i & 1) && i / 2 < g_inputReads) card.Bridge().GetUserInput(0, &level);
        }
    }
    lines.LeaveConfigMode();
    state.counters["line writes"] = double(g_lineWrites);
}
BENCHMARK(BM_EpcsFloorBareLineWrites)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

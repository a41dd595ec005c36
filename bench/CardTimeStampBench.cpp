// Card time-stamp reads per second through the exported call, on card 0 of
// the simulated card with its realtime clock. The call runs under the API
// lock, so its cost is what every other locked call of the card waits for.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "sim/SimControl.h"
#include "velmora/Velmora.h"

namespace {

void BM_GetCardTimeStamp(benchmark::State& state) {
    velmora::sim::SetCardCount(1);
    velmora::sim::SetClockMode(0, velmora::sim::ClockMode::Realtime);
    if (Quorvel_Velmora_OpenCard(0) != 1) {
        velmora::sim::ReleaseCards();
        return state.SkipWithError("card could not be opened");
    }
    uint64_t stamp = 0;
    for (auto _ : state) {
        if (!Quorvel_Velmora_GetCardTimeStamp(&stamp, 0)) {
            state.SkipWithError("time stamp read failed");
            break;
        }
        benchmark::DoNotOptimize(stamp);
    }
    state.counters["calls/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    Quorvel_Velmora_CloseCard(0);
    velmora::sim::ReleaseCards();
}
BENCHMARK(BM_GetCardTimeStamp)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

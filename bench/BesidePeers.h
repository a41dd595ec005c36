#pragma once

// The library's call under the benchmark's timing, each followed by the
// peers' calls doing the same work outside it, so that all see the same
// machine load and one clock. Every call is timed by the wall clock (the
// recorder and the file tools work in threads of their own) and by the
// process's CPU time. Counters: "ours_ms" and "<peer>_ms" (wall, per
// iteration), "ours_cpu_ms" and "<peer>_cpu_ms", and "vs_<peer>", the
// library's wall time over that peer's (below 1: the library is faster).
// After the timing each peer's output is checked against the library's, so
// that a peer doing less work fails the benchmark instead of winning it; a
// checked peer's output is reset before each run (its prepare), so that one
// that returns early on the output of the run before fails it too.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora::bench {

struct PeerCall {
    std::string name;
    std::function<bool()> run;  // false: the peer could not do the work
    // Called once after the timing, on the last outputs: false when the
    // peer's output falls short of the library's. None: nothing to compare.
    std::function<bool()> check = nullptr;
    // Called untimed before each run: the output reset (MarkUnwritten) and
    // an in-place peer's fresh input. Required with a check.
    std::function<void()> prepare = nullptr;
    double seconds = 0;
    double cpuSeconds = 0;
};

// A sample half the range from like (a float: not a number), never near it
// by chance: what an output is reset to, so that a sample a run leaves
// unwritten fails a check of any tolerance below that.
template <typename T>
T FarFrom(T like) {
    if constexpr (std::is_floating_point_v<T>)
        return std::numeric_limits<T>::quiet_NaN();
    else
        return static_cast<T>(like ^ (T{1} << (8 * sizeof(T) - 1)));
}

// Each byte of out set far from the same byte of like (out itself: unlike
// the output of the run before).
inline void MarkUnwritten(const uint8_t* like, uint8_t* out, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        out[i] = FarFrom(like[i]);
}

// The library's prepare: its output of `bytes` bytes at out made unlike the
// output of the run before.
inline std::function<void()> ResetOutput(void* out, size_t bytes) {
    return [at = static_cast<uint8_t*>(out), bytes] { MarkUnwritten(at, at, bytes); };
}

inline double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Wall and CPU seconds of one call, added to the totals.
template <typename Call>
bool TimeCall(Call&& call, double* seconds, double* cpuSeconds) {
    using Clock = std::chrono::steady_clock;
    const double cpuStart = ProcessCpuSeconds();
    const auto start = Clock::now();
    const bool done = call();
    *seconds += std::chrono::duration<double>(Clock::now() - start).count();
    *cpuSeconds += ProcessCpuSeconds() - cpuStart;
    return done;
}

// The peers' calls, each after its prepare, outside the benchmark's timing;
// false when one could not do the work.
inline bool RunPeers(benchmark::State& state, std::vector<PeerCall>& peers) {
    state.PauseTiming();
    bool done = true;
    for (PeerCall& peer : peers) {
        if (peer.prepare) peer.prepare();
        done = TimeCall(peer.run, &peer.seconds, &peer.cpuSeconds) && done;
        benchmark::ClobberMemory();
    }
    state.ResumeTiming();
    return done;
}

// ours: a call returning true when it did the work; prepareOurs, untimed
// before it, resets its output as the peers' prepare resets theirs (after
// the peers' prepare has read it), so that both sides find their outputs
// alike in the caches. The library runs first on even iterations and the
// peers on odd ones, so that neither side always finds the caches warmed
// by the other.
template <typename Ours>
void RunBesidePeers(benchmark::State& state, Ours ours, std::vector<PeerCall> peers,
                    const std::function<void()>& prepareOurs = nullptr) {
    for (const PeerCall& peer : peers) {
        if (peer.check && !peer.prepare) {
            state.SetLabel(peer.name);
            state.SkipWithError("this peer's output is not reset before each run");
            return;
        }
    }
    double oursSeconds = 0, oursCpuSeconds = 0;
    bool peersFirst = false;
    for (auto _ : state) {
        if (peersFirst && !RunPeers(state, peers)) {
            state.SkipWithError("a peer could not do the work");
            return;
        }
        if (prepareOurs) {
            state.PauseTiming();
            prepareOurs();
            state.ResumeTiming();
        }
        if (!TimeCall(ours, &oursSeconds, &oursCpuSeconds)) {
            state.SkipWithError("the library's call failed");
            return;
        }
        benchmark::ClobberMemory();
        if (!peersFirst && !RunPeers(state, peers)) {
            state.SkipWithError("a peer could not do the work");
            return;
        }
        peersFirst = !peersFirst;
    }
    const auto perIterationMs = [n = static_cast<double>(state.iterations())](double seconds) {
        return 1e3 * seconds / n;
    };
    state.counters["ours_ms"] = perIterationMs(oursSeconds);
    state.counters["ours_cpu_ms"] = perIterationMs(oursCpuSeconds);
    for (const PeerCall& peer : peers) {
        if (peer.check && !peer.check()) {
            state.SetLabel(peer.name);
            state.SkipWithError("this peer's output falls short of the library's");
            return;
        }
        state.counters[peer.name + "_ms"] = perIterationMs(peer.seconds);
        state.counters[peer.name + "_cpu_ms"] = perIterationMs(peer.cpuSeconds);
        if (peer.seconds > 0) state.counters["vs_" + peer.name] = oursSeconds / peer.seconds;
    }
}

}  // namespace velmora::bench

#pragma once

// The library's call under the benchmark's timing, each followed by the
// peers' calls doing the same work outside it, so that all see the same
// machine load. Every call is timed by the wall clock (the recorder and the
// file tools work in threads of their own); the counter "vs_<peer>" is the
// library's time over that peer's (below 1: the library is faster).

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace velmora::bench {

struct PeerCall {
    std::string name;
    std::function<bool()> run;  // false: the peer could not do the work
    double seconds = 0;
};

// ours: a call returning true when it did the work.
template <typename Ours>
void RunBesidePeers(benchmark::State& state, Ours ours, std::vector<PeerCall> peers) {
    using Clock = std::chrono::steady_clock;
    const auto seconds = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    double oursSeconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!ours()) {
            state.SkipWithError("the library's call failed");
            break;
        }
        oursSeconds += seconds(start);
        state.PauseTiming();
        bool done = true;
        for (PeerCall& peer : peers) {
            const auto peerStart = Clock::now();
            done = peer.run() && done;
            peer.seconds += seconds(peerStart);
        }
        state.ResumeTiming();
        if (!done) {
            state.SkipWithError("a peer could not do the work");
            break;
        }
    }
    for (const PeerCall& peer : peers) {
        if (peer.seconds > 0) state.counters["vs_" + peer.name] = oursSeconds / peer.seconds;
    }
}

}  // namespace velmora::bench

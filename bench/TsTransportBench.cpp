// The transport-stream carriers: packets per second through the locked ring
// against a memcpy of the same bytes, and datagrams per second of the
// TS-over-IP sender and receiver on loopback against a plain sendto/recv loop
// of the same datagrams, with the loss at paced rates.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "ts/LockedRingBuffer.h"
#include "ts/TsOverIp.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kPacket = 188;
constexpr uint32_t kDatagram = 7 * kPacket;
constexpr uint32_t kBatch = 64;

void BM_LockedRing(benchmark::State& state) {
    velmora::ts::CLockedRingBuffer ring;
    ring.SetSize(25900, kPacket);
    ring.Allocate();
    std::vector<uint8_t> in(kBatch * kPacket, 0x47), out(kBatch * kPacket);
    for (auto _ : state) {
        uint32_t count = 0, contiguous = 0;
        ring.GetFreeCount(&count, &contiguous);
        ring.Write(in.data(), kBatch * kPacket);
        ring.GetFillCount(&count, &contiguous);
        ring.Read(out.data(), kBatch * kPacket);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kBatch);
}
BENCHMARK(BM_LockedRing);

void Floor_MemcpySameBytes(benchmark::State& state) {
    std::vector<uint8_t> in(kBatch * kPacket, 0x47), ring(25900 * kPacket), out(kBatch * kPacket);
    size_t at = 0;
    for (auto _ : state) {
        std::memcpy(&ring[at], in.data(), in.size());
        std::memcpy(out.data(), &ring[at], out.size());
        at = (at + in.size()) % (ring.size() - in.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kBatch);
}
BENCHMARK(Floor_MemcpySameBytes);

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t FreePort() {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Loopback(0);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t length = sizeof(a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(s);
    return ntohs(a.sin_port);
}

// Packets due at `rate` bit/s after `elapsed`; unpaced when the rate is 0.
uint64_t Due(double rate, Clock::duration elapsed, uint64_t total) {
    if (rate == 0) return total;
    const double seconds = std::chrono::duration<double>(elapsed).count();
    return std::min<uint64_t>(total, uint64_t(seconds * rate / (8.0 * kPacket)));
}

// Our sender to our receiver: `datagrams` datagrams' packets at `rate`
// bit/s (0: as fast as the send ring takes them). Datagrams/s received and
// the packets lost.
void BM_TsOverIp(benchmark::State& state) {
    const double rate = double(state.range(0)) * 1e6;
    const uint64_t total = uint64_t(state.range(1)) * 7 + 7;  // the last 7 stay queued
    const uint16_t port = FreePort();
    const TS_OVER_IP_PARAM param{L"127.0.0.1", port, 0, kPacket, 0, 0};
    uint64_t received = 0;
    double seconds = 0;
    for (auto _ : state) {
        velmora::ts::CTsOverIpCapture receiver;
        velmora::ts::CTsOverIpMulticast sender;
        receiver.SetParameter(param);
        sender.SetParameter(param);
        if (!receiver.Open() || !sender.Open()) {
            state.SkipWithError("could not open");
            return;
        }
        std::vector<uint8_t> packets(kBatch * kPacket, 0x47);
        const auto start = Clock::now();
        uint64_t sent = 0;
        received = 0;
        auto lastProgress = Clock::now();
        while (received < total - 7) {
            const uint64_t due = Due(rate, Clock::now() - start, total);
            uint32_t free = 0;
            sender.GetEmptyBufferNum(&free);
            const uint32_t n = uint32_t(std::min<uint64_t>({due - sent, free, kBatch}));
            // Nothing plays them out first here: they may leave at once.
            if (n > 0 && sender.WritePackets(packets.data(), n)) {
                sender.ReleasePackets(n);
                sent += n;
            }
            uint32_t filled = 0;
            receiver.GetFillPacketNum(&filled);
            filled = std::min(filled, kBatch);
            if (filled > 0 && receiver.ReadPackets(packets.data(), filled)) {
                received += filled;
                lastProgress = Clock::now();
            }
            if (sent == total && Clock::now() - lastProgress > std::chrono::milliseconds(300)) {
                break;
            }
            if (n == 0 && filled == 0) std::this_thread::yield();
        }
        seconds = std::chrono::duration<double>(lastProgress - start).count();
        state.SetIterationTime(seconds);
        sender.Close();
        receiver.Close();
    }
    state.counters["datagrams/s"] = double(received) / 7 / seconds;
    state.counters["lost_packets"] = double(total - 7 - received);
}
BENCHMARK(BM_TsOverIp)
    ->Args({0, 20000})
    ->Args({50, 5000})
    ->Args({100, 10000})
    ->Args({200, 20000})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The same datagrams through a plain sendto loop and a recv loop.
void Floor_PlainSocketLoop(benchmark::State& state) {
    const uint64_t total = uint64_t(state.range(0));
    uint64_t received = 0;
    double seconds = 0;
    for (auto _ : state) {
        const int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int size = 0x140000;
        ::setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        ::setsockopt(tx, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        sockaddr_in a = Loopback(0);
        ::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t length = sizeof(a);
        ::getsockname(rx, reinterpret_cast<sockaddr*>(&a), &length);
        timeval tv{0, 300000};
        ::setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        std::atomic<uint64_t> got{0};
        Clock::time_point last;
        const auto start = Clock::now();
        std::thread reader([&] {
            std::vector<uint8_t> d(kDatagram);
            while (::recv(rx, d.data(), d.size(), 0) > 0) {
                ++got;
                last = Clock::now();
            }
        });
        std::vector<uint8_t> d(kDatagram, 0x47);
        for (uint64_t k = 0; k < total; ++k) {
            ::sendto(tx, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        }
        reader.join();
        received = got;
        seconds = std::chrono::duration<double>(last - start).count();
        state.SetIterationTime(seconds);
        ::close(rx);
        ::close(tx);
    }
    state.counters["datagrams/s"] = double(received) / seconds;
    state.counters["lost_datagrams"] = double(total - received);
}
BENCHMARK(Floor_PlainSocketLoop)
    ->Arg(20000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

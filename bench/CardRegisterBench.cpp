// Register and IIC traffic through the card's layers: BAR-3 accesses through
// the FPGA object, read-modify-writes under the FPGA mutex, and one-byte IIC
// transactions on the FPGA's byte engine under the IIC mutex.
#include <benchmark/benchmark.h>

#include "BenchCard.h"

namespace {

using velmora::bench::BenchCard;

constexpr uint8_t kEncoderAddress = 0x56;  // a chip register file of board 0x5110

// Runs the benchmark loop `body` on the open card, counting one item per
// iteration.
template <typename Body>
void OnCard(benchmark::State& state, Body body) {
    BenchCard card;
    if (!card.IsOpen()) {
        state.SkipWithError("card could not be opened");
        return;
    }
    body(card);
    state.SetItemsProcessed(state.iterations());
}

void BM_FpgaRegisterRead(benchmark::State& state) {
    OnCard(state, [&](BenchCard& card) {
        uint32_t value = 0;
        for (auto _ : state) {
            card.fpga->ReadRegister(0x50, &value);
            benchmark::DoNotOptimize(value);
        }
    });
}

void BM_FpgaRegisterWrite(benchmark::State& state) {
    OnCard(state, [&](BenchCard& card) {
        uint32_t value = 0x55AA55AA;
        for (auto _ : state) {
            card.fpga->WriteRegister(0x50, &value);
        }
    });
}

void BM_FpgaWriteBit(benchmark::State& state) {
    OnCard(state, [&](BenchCard& card) {
        uint32_t bit = 0;
        for (auto _ : state) {
            card.fpga->WriteBit(0x24, 3, (bit ^= 1));
        }
    });
}

void BM_IicWriteOneByte(benchmark::State& state) {
    OnCard(state, [&](BenchCard& card) {
        uint8_t data = 0;
        for (auto _ : state) {
            ++data;
            card.iic->Write(kEncoderAddress, 0x10, &data, 1);
        }
    });
}

void BM_IicReadOneByte(benchmark::State& state) {
    OnCard(state, [&](BenchCard& card) {
        uint8_t data = 0;
        for (auto _ : state) {
            card.iic->Read(kEncoderAddress, 0x10, &data, 1);
            benchmark::DoNotOptimize(data);
        }
    });
}

BENCHMARK(BM_FpgaRegisterRead);
BENCHMARK(BM_FpgaRegisterWrite);
BENCHMARK(BM_FpgaWriteBit);
BENCHMARK(BM_IicWriteOneByte);
BENCHMARK(BM_IicReadOneByte);

}  // namespace

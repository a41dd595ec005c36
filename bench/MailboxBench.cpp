// Request-to-reply time of an open card's recording mailbox, seen from a peer
// that writes a request, signals the event and waits for the reply.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>

#include "sim/SimControl.h"
#include "velmora/Velmora.h"
#include "velmora/VelmoraOs.h"

namespace {

constexpr uint32_t kMagic = 0x1211DBFF;
constexpr uint32_t kPayloadOffset = 31;
constexpr uint32_t kMarkOffset = 12;

void BM_MailboxRoundTrip(benchmark::State& state) {
    velmora::sim::SetCardCount(1);
    if (Quorvel_Velmora_OpenCard(0) != 1) {
        state.SkipWithError("card could not be opened");
        return;
    }
    VELMORA_HANDLE block = VelmoraOs_OpenSharedMemory(L"MAP_TQ5110_Read_0", 0x10000);
    VELMORA_HANDLE event = VelmoraOs_OpenEvent(L"Global\\Event_TQ5110_Read_0");
    auto* view = static_cast<volatile uint8_t*>(VelmoraOs_MapSharedMemory(block));
    if (view == nullptr || event == nullptr) {
        state.SkipWithError("mailbox not found");
    } else {
        // A register read: the chip test the mailbox runs most cheaply.
        const uint32_t request[8] = {kMagic, 1, 20, 0, 0, 0, 0, 0};
        const uint32_t payload[5] = {0x10, 0xF2, 0x14, 0, 0};
        for (auto _ : state) {
            std::memcpy(const_cast<uint8_t*>(view), request, sizeof(request));
            std::memcpy(const_cast<uint8_t*>(view) + kPayloadOffset, payload, sizeof(payload));
            view[kMarkOffset] = 0xEE;
            VelmoraOs_SetEvent(event);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (view[kMarkOffset] == 0xEE && std::chrono::steady_clock::now() < deadline) {
            }
            if (view[kMarkOffset] == 0xEE) {
                state.SkipWithError("no reply");
                break;
            }
        }
    }
    VelmoraOs_CloseSharedMemory(block);
    VelmoraOs_CloseHandle(event);
    Quorvel_Velmora_CloseCard(0);
    velmora::sim::ReleaseCards();
}

BENCHMARK(BM_MailboxRoundTrip)->UseRealTime();

}  // namespace

// A frame transfer that fails between taking the card's DMA channel and
// giving it back leaves the channel's system-wide mutex free: another process
// takes it at once.

#include <gtest/gtest.h>

#include <vector>

#include "CardTestSupport.h"
#include "PlatformTestSupport.h"
#include "hw/VelmoraPciBridge.h"

namespace velmora::cardtest {
namespace {

using platform::test::Child;
using platform::test::Pipe;

constexpr uint32_t kDmaChannel = 0;  // card 0's frame workers
constexpr size_t kFrameYuy2Bytes = 720 * 576 * 2;
constexpr size_t kAudioBytes = 1920 * 4;

class DmaChannelLockTest : public CardTest {};

TEST_F(DmaChannelLockTest, TransferThatNeverCompletesLeavesTheChannelToAnotherProcess) {
    ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
    // The other process starts before this one opens the card, so that it
    // opens its own bridge from scratch; each round it takes the channel
    // when told to and reports whether it could.
    constexpr int kRounds = 3;
    Pipe go;
    Pipe answer;
    Child other([&go, &answer] {
        hw::CVelmoraPciBridge bridge;
        uint32_t count = 0;
        if (!bridge.GetBoardCount(&count) || !bridge.FindBoard(0) || !bridge.OpenBoard()) return 10;
        for (int round = 0; round < kRounds; ++round) {
            if (!go.Wait(30000)) return 11;
            const bool locked = bridge.LockDmaChannel(kDmaChannel) != 0;
            if (locked) bridge.UnlockDmaChannel(kDmaChannel);
            answer.Signal(locked ? 1 : 2);
        }
        bridge.CloseBoard();
        return 0;
    });
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    ASSERT_TRUE(sim::StepFields(0, 4));  // frames and audio blocks to read
    uint32_t status = 0;
    ASSERT_EQ(Quorvel_Velmora_GetVideoCaptureBufferStatus(&status, 0), 1u);
    ASSERT_NE(status, 1u) << "nothing captured: the reads would not reach the channel";
    ASSERT_EQ(Quorvel_Velmora_GetAudioCaptureBufferStatus(&status, 0), 1u);
    ASSERT_NE(status, 1u);

    std::vector<uint8_t> frame(kFrameYuy2Bytes, 0x10);
    std::vector<uint8_t> samples(kAudioBytes);
    uint64_t stamp = 0;
    const auto failedMoves = {
        +[](std::vector<uint8_t>& f, std::vector<uint8_t>&, uint64_t*) {
            return Quorvel_Velmora_WriteOneVideoFrame(400000, f.data(), 0);
        },
        +[](std::vector<uint8_t>& f, std::vector<uint8_t>&, uint64_t* s) {
            return Quorvel_Velmora_ReadOneVideoFrame(s, f.data(), 0);
        },
        +[](std::vector<uint8_t>&, std::vector<uint8_t>& a, uint64_t* s) {
            return Quorvel_Velmora_ReadOneAudioFrame(s, a.data(), 0);
        },
    };
    for (const auto move : failedMoves) {
        ASSERT_TRUE(sim::SetDmaFault(0, kDmaChannel, sim::DmaFault::NeverCompletes));
        EXPECT_EQ(move(frame, samples, &stamp), 0u);
        ASSERT_TRUE(go.Signal());
        char locked = 0;
        // A channel left locked would keep the other process waiting.
        ASSERT_TRUE(answer.Wait(10000, &locked));
        EXPECT_EQ(locked, 1);
    }
    EXPECT_EQ(other.Wait(), 0);
}

}  // namespace
}  // namespace velmora::cardtest

// Bring-up, close, versions, relays and the field interrupt of the board
// support on the simulated card.

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "WaitSupport.h"
#include "av/AudioCodec.h"
#include "av/AudioDecoder.h"
#include "av/AudioEncoder.h"
#include "av/VideoDecoder.h"
#include "av/VideoEncoder.h"
#include "platform/Time.h"
#include "sim/SimPortIo.h"
#include "tests/BoardSupportTestSupport.h"

namespace velmora::boardtest {
namespace {

using card::CVelmoraBoardSupport;

TEST_F(BoardSupportTest, Board5110BuildsItsChipSetAndFixesTheBridgeWord) {
    StartCard(0x5110);
    ASSERT_TRUE(sim::SetBridgeConfigWord(0, 0x68, 0x1234));
    stack = std::make_unique<BoardStack>();
    ASSERT_TRUE(stack->Open());

    EXPECT_EQ(board().GetBoardModel(), 0x5110u);
    ASSERT_NE(board().VideoDecoder(0), nullptr);
    ASSERT_NE(board().VideoDecoder(1), nullptr);
    EXPECT_EQ(board().VideoDecoder(0)->GetWriteAddress(), 0x40);
    EXPECT_EQ(board().VideoDecoder(1)->GetWriteAddress(), 0x42);
    EXPECT_EQ(board().VideoDecoder(2), nullptr);
    EXPECT_EQ(board().VideoEncoder(0), nullptr);
    ASSERT_NE(board().VideoEncoder(1), nullptr);
    // The factory board version is 0x20100: the encoder answers at 0x56.
    EXPECT_EQ(board().VideoEncoder(1)->GetWriteAddress(), 0x56);
    EXPECT_NE(board().AudioDecoder(0), nullptr);
    EXPECT_NE(board().AudioEncoder(0), nullptr);
    EXPECT_EQ(board().AudioDecoder(1), nullptr);

    // The bring-up set the PCI Express bridge's configuration word.
    EXPECT_EQ(sim::BridgeConfigWord(0, 0x68), 0x5100);
}

TEST_F(BoardSupportTest, Board5110BelowVersion20100UsesTheLowEncoderAddress) {
    sim::EepromImage image = FactoryImage();
    image[124] = 0xFF;  // board version 0x000200FF
    image[125] = 0x00;
    OpenCard(0x5110, &image);
    ASSERT_NE(board().VideoEncoder(1), nullptr);
    EXPECT_EQ(board().VideoEncoder(1)->GetWriteAddress(), 0x54);
}

TEST_F(BoardSupportTest, Board5100BuildsItsChipSet) {
    OpenCard(0x5100);
    EXPECT_EQ(board().GetBoardModel(), 0x5100u);
    ASSERT_NE(board().VideoDecoder(0), nullptr);
    EXPECT_EQ(board().VideoDecoder(0)->GetWriteAddress(), 0xB8);
    EXPECT_EQ(board().VideoDecoder(1), nullptr);
    EXPECT_EQ(board().VideoEncoder(0), nullptr);
    ASSERT_NE(board().VideoEncoder(1), nullptr);
    EXPECT_EQ(board().VideoEncoder(1)->GetWriteAddress(), 0x8C);
    // The codec is audio input 0, and its output part audio output 0.
    ASSERT_NE(board().AudioDecoder(0), nullptr);
    EXPECT_EQ(board().AudioEncoder(0), static_cast<av::CAudioEncoder*>(
                                           static_cast<av::CAudioCodec*>(board().AudioDecoder(0))));
}

TEST_F(BoardSupportTest, UnknownBoardIdFailsTheBringUpWithItsLogLine) {
    StartCard(0x1234);
    stack = std::make_unique<BoardStack>();
    ASSERT_TRUE(stack->board->OpenPciDevice(1));
    EXPECT_EQ(stack->board->InitDevice(), 0u);
    EXPECT_FALSE(stack->board->HasChipObjects());
    EXPECT_NE(LogText().find("5100  1234 "), std::string::npos);

    // 0x5111 passes the model tests but not the bring-up.
    sim::SetBoardId(0x5111);
    EXPECT_EQ(stack->board->InitDevice(), 0u);
    stack->board->ClosePciDevice(1);
}

TEST_F(BoardSupportTest, NoHardwareModeBringsUpAsModel5100) {
    StartCard(0x1234);
    stack = std::make_unique<BoardStack>();
    stack->board->EnableNoHardwareMode();
    ASSERT_TRUE(stack->board->InitDevice());
    EXPECT_EQ(stack->board->GetBoardModel(), 0x5100u);
    // The clock is the tick count in 10 µs units, in 64 bits.
    const uint64_t before = platform::MonotonicMs() * 100;
    uint64_t clock = 0;
    ASSERT_TRUE(stack->board->GetCardClock64(&clock));
    EXPECT_GE(clock, before);
    EXPECT_LE(clock, platform::MonotonicMs() * 100);
    stack->board->CloseDevice();
}

TEST_F(BoardSupportTest, MissingPortIoDriverLeavesTheBridgeWordAndTheBringUpSucceeds) {
    StartCard(0x5110);
    ASSERT_TRUE(sim::SetBridgeConfigWord(0, 0x68, 0x1234));
    sim::SetPortIoDriverPresent(false);
    EXPECT_EQ(card::FixPciConfigWord(0x10B5, 0x8111, 0x68, 0x5100, 0xFFFF), 0);
    stack = std::make_unique<BoardStack>();
    const bool opened = stack->Open();
    sim::SetPortIoDriverPresent(true);
    EXPECT_TRUE(opened);
    EXPECT_EQ(sim::BridgeConfigWord(0, 0x68), 0x1234);

    // With the driver, functions already holding the value are left alone
    // and a search that finds nothing still succeeds.
    EXPECT_EQ(card::FixPciConfigWord(0x10B5, 0x8111, 0x68, 0x5100, 0xFFFF), 1);
    EXPECT_EQ(sim::BridgeConfigWord(0, 0x68), 0x5100);
    EXPECT_EQ(card::FixPciConfigWord(0x10B5, 0x9999, 0x68, 0x5100, 0xFFFF), 1);
}

TEST_F(BoardSupportTest, VersionsAndSerialComeFromTheCard) {
    OpenCard(0x5110);
    uint32_t value = 0;
    ASSERT_TRUE(board().GetCardTypeNumber(&value));
    EXPECT_EQ(value, 0x5110u);
    ASSERT_TRUE(board().GetBoardVersion(&value));
    EXPECT_EQ(value, sim::SimEeprom::kFactoryBoardVersion);
    ASSERT_TRUE(board().GetFPGAVersion(&value));
    EXPECT_EQ(value, 0x50103u);
    ASSERT_TRUE(board().GetDriverVersion(&value));
    EXPECT_EQ(value, 0x00060301u);
    ASSERT_TRUE(board().GetSerialNumber(&value));
    EXPECT_EQ(value, sim::SimEeprom::FactorySerial(0));

    // The top byte of a board version is never stored.
    ASSERT_TRUE(board().SetBoardVersion(0xAB030201));
    EXPECT_EQ(EepromByte(127), 0);
    ASSERT_TRUE(board().GetBoardVersion(&value));
    EXPECT_EQ(value, 0x030201u);
}

TEST_F(BoardSupportTest, ErasedEepromGivesTheDefaultCardVersionAndNoSerial) {
    sim::EepromImage erased;
    erased.fill(0xFF);
    OpenCard(0x5100, &erased);
    uint32_t value = 0;
    ASSERT_TRUE(board().GetCardVersion(&value));
    EXPECT_EQ(value, CVelmoraBoardSupport::kDefaultCardVersion);
    value = 7;
    EXPECT_EQ(board().GetSerialNumber(&value), 0u);
    EXPECT_EQ(value, 7u);
    ASSERT_TRUE(board().GetStoredDword(&value));
    EXPECT_EQ(value, 0u);
}

TEST_F(BoardSupportTest, RelaysAreOnAfterOpenAndOffAfterClose) {
    OpenCard(0x5110);
    for (uint32_t channel = 0; channel < 4; ++channel) {
        uint32_t video = 0, audio = 0;
        ASSERT_TRUE(board().GetVideoRelayMode(channel, &video));
        ASSERT_TRUE(board().GetAudioRelayMode(channel, &audio));
        EXPECT_EQ(video, 1u);
        EXPECT_EQ(audio, 1u);
    }
    EXPECT_EQ(board().SetVideoRelayMode(4, 1), 0u);
    EXPECT_EQ(board().SetAudioRelayMode(0, 2), 0u);
    EXPECT_NE(LogText().find("   @@@@@@@@@@@@@@@@@@@Video Relay on @@@@@@@@@@@@@@@@@@@@@@@@@@@@"),
              std::string::npos);

    ASSERT_TRUE(board().CloseDevice());
    for (uint32_t channel = 0; channel < 4; ++channel) {
        uint32_t video = 1, audio = 1;
        board().GetVideoRelayMode(channel, &video);
        board().GetAudioRelayMode(channel, &audio);
        EXPECT_EQ(video, 0u);
        EXPECT_EQ(audio, 0u);
    }
    stack->Close(true);
}

// Each wait ends with a field; the second reuses the registration. A wait
// the library gave up after its whole wait without a field (its process's
// interrupt thread starved on a busy machine) is made again, until the bound
// of a hang; one that answers 0 before its wait ran out failed.
TEST_F(BoardSupportTest, FieldInterruptWaitReturnsWithinAField) {
    OpenCard(0x5110);
    const std::chrono::milliseconds gaveUp(hw::CPciBridge::kInterruptWaitMs / 2);
    for (int i = 0; i < 2; ++i) {
        const auto end = std::chrono::steady_clock::now() + ::velmora::test::kHangBound;
        uint32_t result = 0;
        while (result == 0 && std::chrono::steady_clock::now() < end) {
            const auto start = std::chrono::steady_clock::now();
            result = board().WaitForFieldInterrupt();
            if (result == 0) {
                ASSERT_GE(std::chrono::steady_clock::now() - start, gaveUp)
                    << "the wait failed before its time ran out";
            }
        }
        EXPECT_EQ(result, 1u) << "hang: no field in " << ::velmora::test::kHangBound.count()
                              << " s";
    }
}

// Application threads may wait for fields together from the start: the
// notification is registered once, and no registration cancels the one
// another thread already waits on.
TEST_F(BoardSupportTest, ThreadsWaitingForTheirFirstFieldTogetherAllSeeOne) {
    OpenCard(0x5110);
    constexpr int kThreads = 4;
    std::atomic<int> ready{0};
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kThreads; ++i) {
        waiters.emplace_back([&] {
            ++ready;
            while (ready.load() < kThreads) {
            }
            if (board().WaitForFieldInterrupt()) ++woken;
        });
    }
    for (std::thread& waiter : waiters)
        waiter.join();
    EXPECT_EQ(woken.load(), kThreads);
}

TEST_F(BoardSupportTest, LaterOpenerBuildsChipObjectsWithoutTouchingTheChips) {
    OpenCard(0x5110);
    ASSERT_TRUE(board().SetSyncSource(0x01));

    // A second opener in the system does not initialise the card, yet its
    // stored sync source must find decoder 0 and its signal.
    sim::ClearIicTransferLog(0);
    BoardStack second;
    ASSERT_TRUE(second.Open(false));
    EXPECT_TRUE(second.board->HasChipObjects());
    EXPECT_EQ(second.board->GetBoardModel(), 0x5110u);
    EXPECT_EQ(EepromByte(57), 0x01);
    EXPECT_NE(Register(0x10) & (1u << 4), 0u) << "sync switched to internal";
    // No chip was set up again: decoder 1, which the sync source does not
    // involve, saw no traffic.
    for (const auto& transfer : sim::IicTransferLog(0)) {
        EXPECT_NE(transfer.address, 0x42) << "decoder 1 was set up again";
    }
    second.Close(false);
}

TEST_F(BoardSupportTest, CloseClearsTheChipTable) {
    OpenCard(0x5100);
    stack->Close(true);
    EXPECT_FALSE(board().HasChipObjects());
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(board().VideoDecoder(i), nullptr);
        EXPECT_EQ(board().VideoEncoder(i), nullptr);
        EXPECT_EQ(board().AudioDecoder(i), nullptr);
        EXPECT_EQ(board().AudioEncoder(i), nullptr);
    }
    // Operations on the emptied table find no chip instead of a freed one.
    EXPECT_EQ(board().TestChipRegisters(), 1u);
}

}  // namespace
}  // namespace velmora::boardtest

// The video capture worker on the simulated card: pattern frames in order
// with their stamps, the BGRA frame types, and the failures that must give 0
// quickly and leave the ring and the channel lock usable.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "CpuClassFake.h"
#include "VideoCaptureTestSupport.h"
#include "WaitSupport.h"
#include "card/VideoCapture.h"

namespace velmora::videotest {
namespace {

using card::CVideoCapture;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRegBlockB = 0x90;
constexpr uint32_t kVideoCaptureRequestBit = 1u << 5;
constexpr uint32_t kRegVideoCaptureStatus = 0x94;
constexpr uint32_t kVideoCaptureRing = 0x195000;

class VideoCaptureTest : public VideoWorkerTest {
  protected:
    void SetUp() override {
        VideoWorkerTest::SetUp();
        capture = std::make_unique<CVideoCapture>(stack->board.get());
        ASSERT_EQ(capture->Start(), 1u);
    }
    void TearDown() override {
        if (capture) capture->Stop();
        capture.reset();
        VideoWorkerTest::TearDown();
    }

    // The YUY2 bytes of the frame the next read will return.
    static std::vector<uint8_t> OldestFrameOnCard() {
        const uint32_t readNo = (sim::PeekRegister(0, kRegVideoCaptureStatus).value_or(0) >> 8) & 7;
        std::vector<uint8_t> yuy2(kYuy2Bytes);
        EXPECT_TRUE(
            sim::PeekMemory(0, kVideoCaptureRing + readNo * kYuy2Bytes, yuy2.data(), yuy2.size()));
        return yuy2;
    }
    uint32_t Status() {
        uint32_t status = 99;
        EXPECT_EQ(capture->GetBufferStatus(&status), 1u);
        return status;
    }
    static uint32_t FrameNumber(const std::vector<uint8_t>& yuy2) {
        return sim::PatternFrameNumber(yuy2.data(), yuy2.size()).value_or(0xFFFFFFFF);
    }

    std::unique_ptr<CVideoCapture> capture;
};

TEST_F(VideoCaptureTest, ReadsConsecutivePatternFramesWithStamps) {
    // An empty ring: 0 at once, nothing touched, not even the channel lock.
    std::vector<uint8_t> frame(kYuy2Bytes, 0xAB);
    uint64_t stamp = 7;
    const int locks = bridge->lockCalls;
    EXPECT_EQ(Status(), 1u);
    EXPECT_EQ(capture->ReadOneFrameFromBuffer(&stamp, frame.data()), 0u);
    EXPECT_EQ(stamp, 7u);
    EXPECT_EQ(frame, std::vector<uint8_t>(kYuy2Bytes, 0xAB));
    EXPECT_EQ(bridge->lockCalls, locks);

    StepFrames(4);
    EXPECT_EQ(Status(), 0u);
    uint32_t firstNumber = 0;
    uint64_t firstStamp = 0;
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(capture->ReadOneFrameFromBuffer(&stamp, frame.data()), 1u);
        if (i == 0) {
            firstNumber = FrameNumber(frame);
            firstStamp = stamp;
        }
        EXPECT_EQ(FrameNumber(frame), firstNumber + i);
        EXPECT_EQ(stamp, firstStamp + i * kPalFrame);
    }
    // The 32-bit read: the next frame, with the ring's stamp entry (10 µs).
    uint32_t entry = 0;
    ASSERT_EQ(capture->ReadOneFrame32(&entry, frame.data()), 1u);
    EXPECT_EQ(FrameNumber(frame), firstNumber + 3);
    EXPECT_EQ(entry, static_cast<uint32_t>((firstStamp + 3 * kPalFrame) / 100));
    EXPECT_EQ(Status(), 1u);

    StepFrames(9);
    EXPECT_EQ(Status(), 2u);
}

TEST_F(VideoCaptureTest, BgraFrameTypesMatchScalarModel) {
    // The generic variant converts every pixel with the scalar formula.
    const test::FakeCpu generic = test::MakeFakeCpu(true, 6, 0);
    test::ScopedCpuidSource cpu(generic);

    ASSERT_EQ(capture->SetFrameType(card::VIDEO_FRAME_TYPE_BGRA), 1u);
    EXPECT_NE(capture->WorkBuffer1(), nullptr);
    EXPECT_EQ(capture->WorkBuffer2(), nullptr);
    StepFrames(1);
    std::vector<uint8_t> expected = ModelYuy2ToBgra(OldestFrameOnCard().data());
    std::vector<uint8_t> bgra(kBgraBytes);
    uint64_t stamp = 0;
    ASSERT_EQ(capture->ReadOneFrameFromBuffer(&stamp, bgra.data()), 1u);
    EXPECT_TRUE(bgra == expected);

    ASSERT_EQ(capture->SetFrameType(card::VIDEO_FRAME_TYPE_BGRA_FLIPPED), 1u);
    EXPECT_NE(capture->WorkBuffer2(), nullptr);
    StepFrames(1);
    expected = ReverseRows(ModelYuy2ToBgra(OldestFrameOnCard().data()));
    uint32_t entry = 0;
    ASSERT_EQ(capture->ReadOneFrame32(&entry, bgra.data()), 1u);
    EXPECT_TRUE(bgra == expected);

    // 2 -> 1 keeps both buffers; any other type frees them.
    ASSERT_EQ(capture->SetFrameType(card::VIDEO_FRAME_TYPE_BGRA), 1u);
    EXPECT_NE(capture->WorkBuffer2(), nullptr);
    ASSERT_EQ(capture->SetFrameType(7), 1u);
    EXPECT_EQ(capture->WorkBuffer1(), nullptr);
    EXPECT_EQ(capture->WorkBuffer2(), nullptr);
}

TEST_F(VideoCaptureTest, FrameTypeChangeWaitsForTheReadInProgress) {
    // The frame-type setter runs under the API lock, the read beside it: a
    // change that freed the work buffers mid-read would have the transfer and
    // the conversion use freed memory.
    const test::FakeCpu generic = test::MakeFakeCpu(true, 6, 0);
    test::ScopedCpuidSource cpu(generic);
    ASSERT_EQ(capture->SetFrameType(card::VIDEO_FRAME_TYPE_BGRA_FLIPPED), 1u);
    StepFrames(1);
    const std::vector<uint8_t> expected = ReverseRows(ModelYuy2ToBgra(OldestFrameOnCard().data()));

    std::future<uint32_t> change;
    bool changedMidRead = true;
    bool fired = false;
    bridge->onLocked = [&] {
        if (fired) return;
        fired = true;
        change = std::async(std::launch::async,
                            [&] { return capture->SetFrameType(card::VIDEO_FRAME_TYPE_YUY2); });
        changedMidRead =
            change.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
    };
    std::vector<uint8_t> bgra(kBgraBytes);
    uint64_t stamp = 0;
    const uint32_t moved = capture->ReadOneFrameFromBuffer(&stamp, bgra.data());
    bridge->onLocked = nullptr;
    ASSERT_EQ(moved, 1u);
    EXPECT_FALSE(changedMidRead);
    EXPECT_TRUE(bgra == expected);
    ASSERT_TRUE(change.valid());
    EXPECT_EQ(change.get(), 1u);
    EXPECT_EQ(capture->GetFrameType(), card::VIDEO_FRAME_TYPE_YUY2);
    EXPECT_EQ(capture->WorkBuffer1(), nullptr);
}

class StarvedCapture : public CVideoCapture {
  public:
    using CVideoCapture::CVideoCapture;
    int allocations = 0;

  protected:
    uint8_t* AllocateWorkBuffer() override {
        return allocations-- > 0 ? CVideoCapture::AllocateWorkBuffer() : nullptr;
    }
};

TEST_F(VideoCaptureTest, FailedWorkBufferAllocationKeepsFrameType) {
    StarvedCapture starved(stack->board.get());
    starved.allocations = 1;
    EXPECT_EQ(starved.SetFrameType(card::VIDEO_FRAME_TYPE_BGRA_FLIPPED), 0u);
    EXPECT_EQ(starved.SetFrameType(card::VIDEO_FRAME_TYPE_BGRA), 1u);
    EXPECT_EQ(starved.GetFrameType(), card::VIDEO_FRAME_TYPE_BGRA);
    EXPECT_EQ(starved.SetFrameType(card::VIDEO_FRAME_TYPE_BGRA_FLIPPED), 0u);
    EXPECT_EQ(starved.GetFrameType(), card::VIDEO_FRAME_TYPE_BGRA);

    // Still a BGRA reader with its one buffer.
    StepFrames(1);
    std::vector<uint8_t> bgra(kBgraBytes);
    uint64_t stamp = 0;
    EXPECT_EQ(starved.ReadOneFrameFromBuffer(&stamp, bgra.data()), 1u);
}

// Runs `read`, expecting 0 after the card's answer was waited for in vain.
template <typename Read>
void ExpectTimedOutRead(Read read) {
    const auto start = Clock::now();
    EXPECT_EQ(read(), 0u);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, ::velmora::test::kHangBound) << "hang";
}

TEST_F(VideoCaptureTest, ReadDoneThatNeverRisesGivesUpAndReleasesChannel) {
    StepFrames(2);
    std::vector<uint8_t> frame(kYuy2Bytes, 0x5A);
    const std::vector<uint8_t> untouched = frame;
    uint64_t stamp = 3;
    uint32_t entry = 4;
    ASSERT_TRUE(sim::SetReadDoneNeverRises(0, true));
    ExpectTimedOutRead([&] { return capture->ReadOneFrameFromBuffer(&stamp, frame.data()); });
    EXPECT_EQ(sim::PeekRegister(0, kRegBlockB).value_or(~0u) & kVideoCaptureRequestBit, 0u);
    ExpectTimedOutRead([&] { return capture->ReadOneFrame32(&entry, frame.data()); });
    EXPECT_EQ(stamp, 3u);
    EXPECT_EQ(entry, 4u);
    EXPECT_TRUE(frame == untouched);

    // Another thread gets the channel at once.
    auto other = std::async(std::launch::async, [this] {
        const uint32_t locked = bridge->LockDmaChannel(0);
        bridge->UnlockDmaChannel(0);
        return locked;
    });
    ASSERT_EQ(other.wait_for(::velmora::test::kHangBound), std::future_status::ready);
    EXPECT_EQ(other.get(), 1u);

    ASSERT_TRUE(sim::SetReadDoneNeverRises(0, false));
    const uint32_t expected = FrameNumber(OldestFrameOnCard());
    EXPECT_EQ(capture->ReadOneFrameFromBuffer(&stamp, frame.data()), 1u);
    EXPECT_EQ(FrameNumber(frame), expected);
}

TEST_F(VideoCaptureTest, StuckTransferFailsAndLeavesFrameInRing) {
    StepFrames(2);
    const uint32_t oldest = FrameNumber(OldestFrameOnCard());
    std::vector<uint8_t> frame(kYuy2Bytes, 0x5A);
    uint64_t stamp = 0;
    uint32_t entry = 0;
    ASSERT_TRUE(sim::SetDmaFault(0, 0, sim::DmaFault::NeverCompletes));
    ExpectTimedOutRead([&] { return capture->ReadOneFrameFromBuffer(&stamp, frame.data()); });
    ASSERT_TRUE(sim::SetDmaFault(0, 0, sim::DmaFault::NeverCompletes));
    ExpectTimedOutRead([&] { return capture->ReadOneFrame32(&entry, frame.data()); });
    EXPECT_TRUE(frame == std::vector<uint8_t>(kYuy2Bytes, 0x5A));

    ASSERT_EQ(capture->ReadOneFrameFromBuffer(&stamp, frame.data()), 1u);
    EXPECT_EQ(FrameNumber(frame), oldest);
}

TEST_F(VideoCaptureTest, ReadsTakeTheChannelLockAndFailWithoutIt) {
    StepFrames(3);
    const uint32_t oldest = FrameNumber(OldestFrameOnCard());
    std::vector<uint8_t> frame(kYuy2Bytes);
    uint32_t entry = 0;
    uint64_t stamp = 0;

    // The lock cannot be had: nothing is asked of the card.
    bridge->failLock = true;
    EXPECT_EQ(capture->ReadOneFrame32(&entry, frame.data()), 0u);
    EXPECT_EQ(capture->ReadOneFrameFromBuffer(&stamp, frame.data()), 0u);
    bridge->failLock = false;

    // The 32-bit read waits while another thread holds the channel.
    std::promise<void> locked, release;
    std::thread holder([&] {
        bridge->LockDmaChannel(0);
        locked.set_value();
        release.get_future().wait();
        bridge->UnlockDmaChannel(0);
    });
    locked.get_future().wait();
    auto read = std::async(std::launch::async,
                           [&] { return capture->ReadOneFrame32(&entry, frame.data()); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    release.set_value();
    holder.join();
    ASSERT_EQ(read.wait_for(::velmora::test::kHangBound), std::future_status::ready);
    EXPECT_EQ(read.get(), 1u);
    EXPECT_EQ(FrameNumber(frame), oldest);
}

}  // namespace
}  // namespace velmora::videotest

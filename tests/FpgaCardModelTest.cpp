// The FPGA register object against the simulated card's register model: the
// ring protocols the frame and stream workers rely on, end to end.
#include <gtest/gtest.h>

#include <chrono>

#include "IicMasterSimCard.h"
#include "WaitSupport.h"

namespace velmora {
namespace {

using iictest::SimCardTest;

class FpgaCardModelTest : public SimCardTest {
  protected:
    void SetUp() override {
        SimCardTest::SetUp();
        ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
    }
    hw::CVelmoraFpga& Fpga() { return *card.fpga; }
};

TEST_F(FpgaCardModelTest, CaptureRingFillsPerFrameAndOneCycleFreesOneUnit) {
    ASSERT_TRUE(Fpga().StartVideoCapture(0));
    ASSERT_TRUE(sim::StepFields(0, 6));  // three PAL frames

    uint32_t count = 0;
    ASSERT_TRUE(Fpga().GetVideoCaptureBufferCount(&count, 0));
    EXPECT_EQ(count, 3u);
    uint64_t stamps[3] = {};
    for (uint32_t i = 0; i < 3; ++i)
        ASSERT_TRUE(Fpga().GetVideoCaptureTimeStamp(i, &stamps[i], 0));
    EXPECT_EQ(stamps[1] - stamps[0], 400000u);  // 40 ms in 100-ns units
    EXPECT_EQ(stamps[2] - stamps[1], 400000u);

    // The worker's cycle: request, done, take the buffer, strobe, release.
    ASSERT_TRUE(Fpga().SetVideoCaptureReadRequest(0));
    EXPECT_EQ(Fpga().IsVideoCaptureReadDone(0), 1u);
    uint32_t readNo = 99;
    ASSERT_TRUE(Fpga().GetVideoCaptureBufferReadNo(&readNo, 0));
    EXPECT_EQ(readNo, 0u);
    ASSERT_TRUE(Fpga().StrobeVideoCaptureBuffer(0));
    ASSERT_TRUE(Fpga().ClearVideoCaptureReadRequest(0));
    EXPECT_EQ(Fpga().IsVideoCaptureReadDone(0), 0u);
    ASSERT_TRUE(Fpga().GetVideoCaptureBufferCount(&count, 0));
    EXPECT_EQ(count, 2u);
    ASSERT_TRUE(Fpga().GetVideoCaptureBufferReadNo(&readNo, 0));
    EXPECT_EQ(readNo, 1u);
}

TEST_F(FpgaCardModelTest, PlaybackStrobeTakesABufferAndFlushEmptiesTheRing) {
    uint32_t freeUnits = 0;
    ASSERT_TRUE(Fpga().GetVideoPlaybackBufferCount(&freeUnits, 0));
    EXPECT_EQ(freeUnits, 8u);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Fpga().SetVideoPlaybackTimeStamp(400000 * (i + 1), 0));
        ASSERT_TRUE(Fpga().StrobeVideoPlaybackBuffer(0));
    }
    ASSERT_TRUE(Fpga().GetVideoPlaybackBufferCount(&freeUnits, 0));
    EXPECT_EQ(freeUnits, 5u);

    ASSERT_TRUE(Fpga().FlushVideoPlaybackBuffer(0));
    ASSERT_TRUE(Fpga().GetVideoPlaybackBufferCount(&freeUnits, 0));
    EXPECT_EQ(freeUnits, 8u);
}

TEST_F(FpgaCardModelTest, WaitsForADoneBitThatNeverRisesEndInBoundedTime) {
    ASSERT_TRUE(sim::SetReadDoneNeverRises(0, true));
    ASSERT_TRUE(Fpga().StartVideoCapture(0));
    ASSERT_TRUE(sim::StepFields(0, 2));
    ASSERT_TRUE(Fpga().SetVideoCaptureReadRequest(0));
    EXPECT_EQ(Fpga().IsVideoCaptureReadDone(0), 0u);
    ASSERT_TRUE(Fpga().ClearVideoCaptureReadRequest(0));

    ASSERT_TRUE(Fpga().StrobeVideoPlaybackBuffer(0));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Fpga().FlushVideoPlaybackBuffer(0), 0u);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, ::velmora::test::kHangBound) << "hang";
    // The flush bit is released, so the card is not left flushing.
    const auto blockB = sim::PeekRegister(0, 0x90);
    ASSERT_TRUE(blockB.has_value());
    EXPECT_EQ(*blockB & (1u << 6), 0u);
}

TEST_F(FpgaCardModelTest, AsiStatusFollowsTheFpgaVersionSplit) {
    uint32_t status = 0;
    ASSERT_TRUE(Fpga().GetAsiStatus(&status));
    EXPECT_EQ(status & 0xF, 5u);  // the built-in stream is a signal

    sim::SetFpgaVersion(0x50102);
    ASSERT_TRUE(Fpga().GetAsiStatus(&status));
    EXPECT_EQ(status & 0xF, 5u);
    const auto whole = sim::PeekRegister(0, 0x16C);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(status, *whole);

    ASSERT_TRUE(sim::SetAsiInput(0, sim::SimAsiSource::None));
    ASSERT_TRUE(Fpga().GetAsiStatus(&status));
    EXPECT_NE(status & 0xF, 5u);
}

TEST_F(FpgaCardModelTest, AsiInputPointerAdvancesWhileCaptureIsEnabled) {
    hw::ASI_RING_POINTER before = 0, after = 0;
    ASSERT_TRUE(Fpga().ReadTsCaptureStatus(&before));
    ASSERT_TRUE(sim::StepFields(0, 2));
    ASSERT_TRUE(Fpga().ReadTsCaptureStatus(&after));
    EXPECT_EQ(after, before);  // capture not enabled yet

    ASSERT_TRUE(Fpga().StartTsCapture());
    ASSERT_TRUE(sim::StepFields(0, 2));
    ASSERT_TRUE(Fpga().ReadTsCaptureStatus(&after));
    EXPECT_NE(after, before);
    EXPECT_GE(after, 0x465400u);
    EXPECT_LT(after, 0x5FA400u);
    EXPECT_EQ((after - 0x465400u) % 0x40, 0u);
}

}  // namespace
}  // namespace velmora

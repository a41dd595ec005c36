// The video playback worker on the simulated card: frames reach the ring with
// their stamps and are played in order, BGRA types are converted by the
// scalar model's rules, late frames are dropped with their log line, and the
// failures give 0 without committing anything.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <numeric>
#include <random>

#include "CpuClassFake.h"
#include "VideoCaptureTestSupport.h"
#include "WaitSupport.h"
#include "card/VideoCapture.h"
#include "card/VideoPlayback.h"

namespace velmora::videotest {
namespace {

using card::CVideoPlayback;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kVideoPlaybackRing = 0x7E9000;

std::vector<uint8_t> RandomFrame(size_t bytes, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> frame(bytes);
    for (auto& b : frame)
        b = static_cast<uint8_t>(random());
    return frame;
}

class VideoPlaybackTest : public VideoWorkerTest {
  protected:
    void SetUp() override {
        VideoWorkerTest::SetUp();
        playback = std::make_unique<CVideoPlayback>(stack->board.get());
    }
    void TearDown() override {
        playback.reset();
        VideoWorkerTest::TearDown();
    }
    uint32_t Status() {
        uint32_t status = 99;
        EXPECT_EQ(playback->GetBufferStatus(&status), 1u);
        return status;
    }
    static uint64_t PlayedCount() {
        return sim::PlayedVideo(0).value_or(sim::PlayedUnits{}).played;
    }

    std::unique_ptr<CVideoPlayback> playback;
};

TEST_F(VideoPlaybackTest, FramesArePlayedInOrderAtTheirStamps) {
    uint64_t now = 0;
    ASSERT_EQ(playback->GetTimeStamp(&now), 1u);
    EXPECT_EQ(Status(), 1u);

    // Stamp 0 is not newer than the initial last stamp: dropped, success.
    const auto zero = RandomFrame(kYuy2Bytes, 99);
    EXPECT_EQ(playback->WriteOneFrame(0, zero.data()), 1u);
    EXPECT_EQ(Status(), 1u);

    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t i = 0; i < 3; ++i) {
        frames.push_back(RandomFrame(kYuy2Bytes, i));
        ASSERT_EQ(playback->WriteOneFrame(now + (i + 1) * kPalFrame, frames[i].data()), 1u);
    }
    EXPECT_EQ(Status(), 0u);
    EXPECT_EQ(playback->GetLastFrameTimeStamp(), static_cast<int64_t>(now + 3 * kPalFrame));

    // A late frame: dropped with success and its log line, nothing queued.
    const size_t logSize = LogText().size();
    EXPECT_EQ(playback->WriteOneFrame(now + 2 * kPalFrame, zero.data()), 1u);
    const std::string expectedLine =
        "rtFrameTimeStamp <= m_rtLastFrameTimeStamp! rtFrameTimeStamp= " +
        std::to_string(static_cast<double>(now + 2 * kPalFrame)) +
        "  m_rtLastFrameTimeStamp = " + std::to_string(static_cast<double>(now + 3 * kPalFrame)) +
        "  \n";
    EXPECT_NE(LogSince(logSize).find(expectedLine), std::string::npos) << LogSince(logSize);

    StepFrames(4);
    EXPECT_EQ(Status(), 1u);
    const auto played = sim::PlayedVideo(0);
    ASSERT_TRUE(played.has_value());
    ASSERT_EQ(played->played, 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(played->recent[i].stamp, (now + (i + 1) * kPalFrame) / 100);
        EXPECT_EQ(played->recent[i].checksum,
                  sim::PlayedChecksum(frames[i].data(), frames[i].size()));
    }
    std::vector<uint8_t> last;
    ASSERT_TRUE(sim::LastPlayedVideoFrame(0, &last));
    EXPECT_TRUE(last == frames[2]);

    // Eight frames 80 ms apart, the last 640 ms ahead, fill the ring; each
    // waits for its stamp, so they are played two frames apart.
    ASSERT_EQ(playback->GetTimeStamp(&now), 1u);
    for (uint64_t i = 1; i <= 8; ++i)
        ASSERT_EQ(playback->WriteOneFrame(now + i * 2 * kPalFrame, frames[i % 3].data()), 1u);
    EXPECT_EQ(Status(), 2u);
    StepFrames(1);
    EXPECT_EQ(PlayedCount(), 3u) << "not due yet";
    StepFrames(16);
    const auto spaced = sim::PlayedVideo(0);
    ASSERT_TRUE(spaced.has_value());
    ASSERT_EQ(spaced->played, 11u);
    for (uint64_t i = 1; i < 8; ++i)
        EXPECT_EQ(spaced->recent[3 + i].frame, spaced->recent[2 + i].frame + 2) << i;
}

TEST_F(VideoPlaybackTest, FullRingFailsAndFlushEmptiesIt) {
    const auto frame = RandomFrame(kYuy2Bytes, 5);
    for (uint64_t i = 1; i <= 8; ++i) {
        ASSERT_EQ(playback->WriteOneFrame(i * kPalFrame, frame.data()), 1u);
    }
    EXPECT_EQ(Status(), 2u);
    const size_t logSize = LogText().size();
    EXPECT_EQ(playback->WriteOneFrame(9 * kPalFrame, frame.data()), 0u);
    EXPECT_EQ(playback->WriteOneFrame32(9, frame.data()), 0u);
    EXPECT_NE(LogSince(logSize).find(" \n VideoPlaybackBufferFull!!!! "), std::string::npos);
    EXPECT_EQ(playback->GetLastFrameTimeStamp(), static_cast<int64_t>(8 * kPalFrame));

    EXPECT_EQ(playback->FlushBuffer(), 1u);
    EXPECT_EQ(Status(), 1u);
    StepFrames(2);
    EXPECT_EQ(PlayedCount(), 0u);
    // Flushing keeps the last stamp.
    EXPECT_EQ(playback->WriteOneFrame(8 * kPalFrame, frame.data()), 1u);
    EXPECT_EQ(Status(), 1u);
}

TEST_F(VideoPlaybackTest, BgraFrameTypesAreConvertedByScalarModel) {
    const test::FakeCpu generic = test::MakeFakeCpu(true, 6, 0);
    test::ScopedCpuidSource cpu(generic);
    const auto bgra = RandomFrame(kBgraBytes, 11);
    const auto expected = ModelBgraToYuy2(bgra.data());
    std::vector<uint8_t> played;

    ASSERT_EQ(playback->SetFrameType(card::VIDEO_FRAME_TYPE_BGRA), 1u);
    ASSERT_EQ(playback->WriteOneFrame(kPalFrame, bgra.data()), 1u);
    StepFrames(1);
    ASSERT_TRUE(sim::LastPlayedVideoFrame(0, &played));
    EXPECT_TRUE(played == expected);

    // Bottom row first: the card gets the rows back in order.
    ASSERT_EQ(playback->SetFrameType(card::VIDEO_FRAME_TYPE_BGRA_FLIPPED), 1u);
    uint32_t type = 0;
    ASSERT_EQ(playback->GetFrameType(&type), 1u);
    EXPECT_EQ(type, card::VIDEO_FRAME_TYPE_BGRA_FLIPPED);
    // The 32-bit path keeps its own last stamp: 1 is newer than its 0.
    ASSERT_EQ(playback->WriteOneFrame32(1, bgra.data()), 1u);
    EXPECT_EQ(playback->WriteOneFrame32(1, bgra.data()), 1u);
    StepFrames(2);
    ASSERT_TRUE(sim::LastPlayedVideoFrame(0, &played));
    EXPECT_TRUE(played == ReverseRows(expected));
    const auto units = sim::PlayedVideo(0);
    ASSERT_TRUE(units.has_value());
    ASSERT_EQ(units->played, 2u);
    EXPECT_EQ(units->recent[1].stamp, 1u);

    ASSERT_EQ(playback->SetFrameType(card::VIDEO_FRAME_TYPE_YUY2), 1u);
    EXPECT_EQ(playback->WorkBuffer1(), nullptr);
    EXPECT_EQ(playback->WorkBuffer2(), nullptr);
}

TEST_F(VideoPlaybackTest, FrameTypeChangeWaitsForTheWriteInProgress) {
    // As for capture: the setter must not free the buffers the write is
    // converting into and sending from.
    const test::FakeCpu generic = test::MakeFakeCpu(true, 6, 0);
    test::ScopedCpuidSource cpu(generic);
    const auto bgra = RandomFrame(kBgraBytes, 23);
    ASSERT_EQ(playback->SetFrameType(card::VIDEO_FRAME_TYPE_BGRA), 1u);

    std::future<uint32_t> change;
    bool changedMidWrite = true;
    bool fired = false;
    bridge->onLocked = [&] {
        if (fired) return;
        fired = true;
        change = std::async(std::launch::async,
                            [&] { return playback->SetFrameType(card::VIDEO_FRAME_TYPE_YUY2); });
        changedMidWrite =
            change.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
    };
    const uint32_t moved = playback->WriteOneFrame(kPalFrame, bgra.data());
    bridge->onLocked = nullptr;
    ASSERT_EQ(moved, 1u);
    EXPECT_FALSE(changedMidWrite);
    ASSERT_TRUE(change.valid());
    EXPECT_EQ(change.get(), 1u);
    StepFrames(1);
    std::vector<uint8_t> played;
    ASSERT_TRUE(sim::LastPlayedVideoFrame(0, &played));
    EXPECT_TRUE(played == ModelBgraToYuy2(bgra.data()));
    uint32_t type = 9;
    ASSERT_EQ(playback->GetFrameType(&type), 1u);
    EXPECT_EQ(type, card::VIDEO_FRAME_TYPE_YUY2);
}

TEST_F(VideoPlaybackTest, FailedTransferOrLockCommitsNothing) {
    const auto frame = RandomFrame(kYuy2Bytes, 4);
    ASSERT_EQ(playback->WriteOneFrame(kPalFrame, frame.data()), 1u);

    ASSERT_TRUE(sim::SetDmaFault(0, 0, sim::DmaFault::NeverCompletes));
    size_t logSize = LogText().size();
    const auto start = Clock::now();
    EXPECT_EQ(playback->WriteOneFrame(2 * kPalFrame, frame.data()), 0u);
    EXPECT_LT(Clock::now() - start, ::velmora::test::kHangBound) << "hang";
    EXPECT_NE(LogSince(logSize).find("V Wirte Dma Fail!!! \n"), std::string::npos);
    EXPECT_EQ(playback->GetLastFrameTimeStamp(), static_cast<int64_t>(kPalFrame));
    ASSERT_TRUE(sim::SetDmaFault(0, 0, sim::DmaFault::NeverCompletes));
    EXPECT_EQ(playback->WriteOneFrame32(7, frame.data()), 0u);
    EXPECT_EQ(playback->GetLastFrameTimeStamp32(), 0u);

    // Without the channel lock nothing reaches the card.
    bridge->failLock = true;
    logSize = LogText().size();
    EXPECT_EQ(playback->WriteOneFrame(2 * kPalFrame, frame.data()), 0u);
    EXPECT_EQ(playback->WriteOneFrame32(7, frame.data()), 0u);
    EXPECT_NE(LogSince(logSize).find("V lock Dma fial!!! \n"), std::string::npos);
    bridge->failLock = false;

    // Only the first frame was queued; the next write works.
    ASSERT_EQ(playback->WriteOneFrame(2 * kPalFrame, frame.data()), 1u);
    StepFrames(3);
    const auto played = sim::PlayedVideo(0);
    ASSERT_TRUE(played.has_value());
    ASSERT_EQ(played->played, 2u);
    EXPECT_EQ(played->recent[1].stamp, 2 * kPalFrame / 100);
}

TEST_F(VideoPlaybackTest, VerifyingWriteReadsTheFrameBack) {
    const auto frame = RandomFrame(kYuy2Bytes, 6);
    size_t logSize = LogText().size();
    ASSERT_EQ(playback->WriteOneFrameAndVerify(kPalFrame, frame.data()), 1u);
    ASSERT_EQ(playback->WriteOneFrameAndVerify(3 * kPalFrame, frame.data()), 1u);
    const std::string log = LogSince(logSize);
    EXPECT_EQ(log.find("uiPlaybackBufferWrite read!=write"), std::string::npos);
    // Only the second stamp is off the PAL frame step from its predecessor.
    EXPECT_EQ(log.find("rtFrameTimeStamp= 400000 "), std::string::npos);
    EXPECT_NE(log.find("uiPlaybackBufferWrite TimeStamp!!!!  rtFrameTimeStamp= 1200000  "
                       "m_rtLastFrameTimeStamp = 400000  \n"),
              std::string::npos)
        << log;
    std::vector<uint8_t> onCard(kYuy2Bytes);
    ASSERT_TRUE(sim::PeekMemory(0, kVideoPlaybackRing + kYuy2Bytes, onCard.data(), onCard.size()));
    EXPECT_TRUE(onCard == frame);
}

TEST_F(VideoPlaybackTest, VerifyingWritersOnTwoChannelsEachCompareTheirOwnFrame) {
    // Every playback worker of the process reads back into one buffer: two
    // verifying writers on separate channels must not compare the other's
    // frame. The second ring lies where the idle capture ring would be.
    CVideoPlayback second(stack->board.get());
    second.SetDmaChannel(1);
    second.SetRingBase(card::CVideoCapture::kDefaultRingBase);
    const auto first = RandomFrame(kYuy2Bytes, 41);
    const auto other = RandomFrame(kYuy2Bytes, 42);
    const size_t logSize = LogText().size();
    const auto verify = [](CVideoPlayback& worker, const std::vector<uint8_t>& frame) {
        uint32_t all = 1;
        for (uint64_t i = 1; i <= 3; ++i)
            all &= worker.WriteOneFrameAndVerify(i * kPalFrame, frame.data());
        return all;
    };
    auto secondDone = std::async(std::launch::async, [&] { return verify(second, other); });
    EXPECT_EQ(verify(*playback, first), 1u);
    EXPECT_EQ(secondDone.get(), 1u);
    EXPECT_EQ(LogSince(logSize).find("uiPlaybackBufferWrite read!=write"), std::string::npos);
}

}  // namespace
}  // namespace velmora::videotest

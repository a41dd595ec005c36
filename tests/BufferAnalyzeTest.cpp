#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

#include "RecorderTestSupport.h"
#include "record/BufferAnalyzeFrame.h"
#include "record/CirBufferAnalyze.h"
#include "record/SystemBufferAnalyze.h"
#include "record/TsBufferAnalyzeFeeder.h"
#include "record/VideoBufferAnalyze.h"
#include "ts/Crc32Mpeg.h"
#include "ts/LockedRingBuffer.h"

namespace velmora::recordertest {

namespace {

using namespace velmora::record;
using velmora::test::Bytes;

TEST(CirBufferAnalyzeTest, OverfillWrapAndRefusals) {
    CCirBufferAnalyzeEB eb;
    eb.Resize(512, 2.0);
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(eb.Write(data.data(), 700), 0);
    EXPECT_DOUBLE_EQ(eb.GetFullnessRatio(), 1.3671875);
    EXPECT_EQ(eb.Write(data.data(), 325), -1);  // past the capacity of 1024
    std::vector<uint8_t> out(1024);
    EXPECT_EQ(eb.Read(out.data(), 701), -1);
    EXPECT_EQ(eb.GetFillLength(), 700);
    EXPECT_EQ(eb.Read(out.data(), -1), -1);
    EXPECT_EQ(eb.Write(data.data(), -5), -1);
    EXPECT_EQ(eb.Discard(-2), -1);
    EXPECT_EQ(eb.ReadAtMost(out.data(), -3), -1);
    EXPECT_EQ(eb.ReadAtMost(out.data(), 1000), 700);
    ASSERT_EQ(eb.Write(data.data(), 300), 0);  // write index 1000
    ASSERT_EQ(eb.Discard(300), 300);           // read index 1000
    EXPECT_EQ(eb.RemoveAccessUnit(0.0), -1);   // empty queue
    // 24 bytes at the end, 76 at the start: the access unit ends at 76.
    ASSERT_EQ(eb.Write(data.data(), 100), 0);
    eb.PushAccessUnit(5.0);
    ASSERT_EQ(eb.Peek(out.data(), 100), 0);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 100, data.begin()));
    EXPECT_EQ(eb.RemoveAccessUnit(5.0), 100);  // 76 + 1024 - 1000
    EXPECT_EQ(eb.GetFillLength(), 0);

    CCirBufferAnalyze none;
    EXPECT_FALSE(std::isfinite(none.GetFullnessRatio()));
    EXPECT_EQ(none.Write(data.data(), 1), -1);
}

// Builds transport packets for the analyser's tests.
Bytes TsPacket(uint32_t pid, uint8_t counter, bool unitStart) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | (pid >> 8));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | (counter & 0x0F));
    return p;
}

Bytes SectionPacket(uint32_t pid, uint8_t counter, Bytes section) {
    const uint32_t crc =
        velmora::ts::Crc32Mpeg(section.data(), static_cast<uint32_t>(section.size()));
    for (int shift = 24; shift >= 0; shift -= 8)
        section.push_back(static_cast<uint8_t>(crc >> shift));
    Bytes p = TsPacket(pid, counter, true);
    p[4] = 0;
    std::copy(section.begin(), section.end(), p.begin() + 5);
    return p;
}

// A PMT of program 1: PCR and MPEG-2 video on 0x200, MP2 audio on 0x201.
Bytes PmtPacket(uint8_t counter, bool leakInvalid = false) {
    Bytes s = {0x02, 0xB0, 0,    0x00, 0x01, 0xC1, 0,    0,    0xE2, 0x00, 0xF0,
               0x00, 0x02, 0xE2, 0x00, 0xF0, 0x00, 0x03, 0xE2, 0x01, 0xF0, 0x00};
    if (leakInvalid) {
        s[16] = 3;
        s.insert(s.begin() + 17, {0x11, 0x01, 0xFE});
    }
    const size_t length = s.size() + 4 - 3;
    s[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
    s[2] = static_cast<uint8_t>(length);
    return SectionPacket(0x100, counter, s);
}

Bytes PcrPacket(uint8_t counter, int64_t pcr, bool discontinuity = false) {
    Bytes p = TsPacket(0x200, counter, false);
    p[3] = static_cast<uint8_t>(0x30 | (counter & 0x0F));
    p[4] = 7;
    p[5] = discontinuity ? 0x90 : 0x10;
    const int64_t base = pcr / 300;
    const int64_t extension = pcr % 300;
    p[6] = static_cast<uint8_t>(base >> 25);
    p[7] = static_cast<uint8_t>(base >> 17);
    p[8] = static_cast<uint8_t>(base >> 9);
    p[9] = static_cast<uint8_t>(base >> 1);
    p[10] = static_cast<uint8_t>((base & 1) << 7 | 0x7E | extension >> 8);
    p[11] = static_cast<uint8_t>(extension);
    return p;
}

TEST(BufferAnalyzeFrameTest, RateFromPcrsResetsAndQueries) {
    CBufferAnalyzeFrame frame(0x100, 0, nullptr);
    EXPECT_EQ(frame.GetBufferSize(0, CBufferAnalyzeFrame::kCategorySystem, 0), 0u);
    EXPECT_EQ(frame.GetBufferFullnessRatio(3, CBufferAnalyzeFrame::kCategorySystem, 0), 0.0);
    frame.InputPacket(PmtPacket(0).data(), 188, 0);
    EXPECT_FALSE(frame.IsPmtParsed()) << "a first PMT packet with counter 0 is refused";
    frame.InputPacket(PmtPacket(1).data(), 188, 0);
    ASSERT_TRUE(frame.IsPmtParsed());
    EXPECT_EQ(frame.GetPcrPid(), 0x200);
    ASSERT_NE(frame.GetVideoAnalyzer(), nullptr);
    EXPECT_EQ(frame.GetBufferSize(0, CBufferAnalyzeFrame::kCategorySystem, 0), 512u);
    EXPECT_EQ(frame.GetBufferSize(3, CBufferAnalyzeFrame::kCategorySystem, 0), 1536u);
    EXPECT_EQ(frame.GetBufferSize(0, CBufferAnalyzeFrame::kCategoryVideo, 0), 512u);
    EXPECT_EQ(frame.GetBufferFullness(3, CBufferAnalyzeFrame::kCategoryVideo, 0), -1);
    EXPECT_EQ(frame.GetBufferFullness(0, 7, 0), -1);
    EXPECT_EQ(frame.GetBufferSize(0, CBufferAnalyzeFrame::kCategoryStream, 0), 0u);

    // 2,500,000 bytes between two PCRs one second apart, the second's
    // packet included.
    const Bytes filler = TsPacket(0x300, 0, false);
    frame.InputPacket(PcrPacket(0, 27000000).data(), 200, 0);
    EXPECT_EQ(frame.m_dTsBitRate, 0.0);
    for (int i = 0; i < 12499; ++i)
        frame.InputPacket(filler.data(), 200, 0);
    frame.InputPacket(PcrPacket(1, 54000000).data(), 200, 0);
    EXPECT_DOUBLE_EQ(frame.m_dTsBitRate, 20000000.0);
    // The clock runs on between PCRs at the measured rate.
    frame.InputPacket(filler.data(), 200, 0);
    EXPECT_DOUBLE_EQ(frame.GetCurrentTime(), 54000000.0 + 200 * 8.0 / 20000000.0 * 27000000.0);
    // The same PCR again: no time has passed, the rate stays.
    frame.InputPacket(PcrPacket(2, 54000000).data(), 200, 0);
    EXPECT_DOUBLE_EQ(frame.m_dTsBitRate, 20000000.0);
    EXPECT_TRUE(std::isfinite(frame.m_dTsBitRate));
    // A discontinuity starts over, PMT included.
    frame.InputPacket(PcrPacket(3, 1000, true).data(), 188, 0);
    EXPECT_EQ(frame.m_dTsBitRate, 0.0);
    EXPECT_FALSE(frame.IsPmtParsed());
    frame.InputPacket(PmtPacket(2, true).data(), 188, 0);
    ASSERT_TRUE(frame.IsPmtParsed());
    EXPECT_EQ(frame.GetLeak(), 0);
}

TEST(BufferAnalyzeFrameTest, FixtureRateMatchesItsMuxRate) {
    const Bytes ts = velmora::test::LoadRecorderFixture("rec_three_programs.ts");
    ASSERT_FALSE(ts.empty());
    CBufferAnalyzeFrame frame(0x100, 0, nullptr);
    for (size_t at = 0; at + 188 <= ts.size(); at += 188)
        frame.InputPacket(&ts[at], 188, 0);
    EXPECT_NEAR(frame.m_dTsBitRate, 2400000.0, 2400000.0 * 0.005);
}

// Elementary bytes of a sequence header and extension with the given
// profile_and_level_indication, bit rate (units of 400 bit/s) and VBV size
// (units of 2048 bytes).
Bytes SequenceStart(uint8_t profileAndLevel, uint32_t bitRate, uint32_t vbv) {
    Bytes bits;
    uint64_t acc = 0;
    int n = 0;
    auto put = [&](uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            acc = acc << 1 | ((value >> i) & 1);
            if (++n == 8) {
                bits.push_back(static_cast<uint8_t>(acc));
                acc = 0;
                n = 0;
            }
        }
    };
    put(0x000001B3, 32);
    put(720, 12);
    put(576, 12);
    put(2, 4);
    put(3, 4);  // 25 Hz
    put(bitRate & 0x3FFFF, 18);
    put(1, 1);
    put(vbv & 0x3FF, 10);
    put(0, 3);
    put(0x000001B5, 32);
    put(1, 4);
    put(profileAndLevel, 8);
    put(0, 1);
    put(1, 2);
    put(0, 4);
    put(bitRate >> 18, 12);
    put(1, 1);
    put(vbv >> 10, 8);
    put(0, 8);
    return bits;
}

// The video model of a frame analyser after one unit-start packet.
struct VideoModel {
    CBufferAnalyzeFrame frame{0x100, 0, nullptr};
    CVideoBufferAnalyze* video = nullptr;
    explicit VideoModel(const Bytes& es) {
        frame.InputPacket(PmtPacket(1).data(), 188, 0);
        video = frame.GetVideoAnalyzer();
        Bytes p = TsPacket(0x200, 0, true);
        const uint8_t pes[9] = {0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0};
        std::copy(pes, pes + 9, p.begin() + 4);
        std::copy(es.begin(), es.end(), p.begin() + 13);
        status = video->InputPacket(p.data(), 188, 0x200);
    }
    int32_t status = 0;
};

TEST(VideoBufferAnalyzeTest, SizesAndRatesFromProfileAndLevel) {
    // Main profile, Main level, 6 Mbit/s, VBV 229,376 bytes.
    VideoModel main(SequenceStart(0x48, 15000, 112));
    ASSERT_EQ(main.status, 1);
    EXPECT_EQ(main.video->Eb().GetSize(), 229376);
    EXPECT_EQ(main.video->Mb().GetSize(), 10000);
    EXPECT_EQ(main.video->GetRbx(), 15000000);
    EXPECT_EQ(main.video->GetRxn(), 18000000);
    EXPECT_EQ(main.frame.GetBufferSize(2, CBufferAnalyzeFrame::kCategoryVideo, 0), 229376u);
    // High level, 20 Mbit/s: 1.05 x the stream's rate.
    VideoModel high(SequenceStart(0x44, 50000, 500));
    EXPECT_EQ(high.video->GetRbx(), 21000000);
    // A profile outside the table, or a VBV larger than the level allows:
    // no model.
    VideoModel undefined(SequenceStart(0x14, 15000, 112));
    EXPECT_EQ(undefined.video->Eb().GetSize(), 0);
    EXPECT_EQ(undefined.video->Mb().GetSize(), 0);
    VideoModel oversized(SequenceStart(0x48, 15000, 1000));
    EXPECT_EQ(oversized.video->Mb().GetSize(), 0);
    // No sequence extension.
    Bytes cut = SequenceStart(0x48, 15000, 112);
    cut[12 + 3] = 0xB2;
    EXPECT_EQ(VideoModel(cut).status, CVideoBufferAnalyze::kNoSequenceExtension);
}

TEST(VideoBufferAnalyzeTest, FlowThroughTbMbAndEb) {
    VideoModel model(SequenceStart(0x48, 15000, 112));
    CVideoBufferAnalyze& video = *model.video;
    // Two PES packets with a DTS each, sent through TB in pieces.
    Bytes stream;
    for (int k = 0; k < 2; ++k) {
        Bytes p = TsPacket(0x200, static_cast<uint8_t>(k), true);
        const uint8_t pes[19] = {0,
                                 0,
                                 1,
                                 0xE0,
                                 0,
                                 0,
                                 0x80,
                                 0xC0,
                                 10,
                                 0x31,
                                 0,
                                 1,
                                 0,
                                 1,
                                 0x11,
                                 0x00,
                                 0x05,
                                 0xBF,
                                 static_cast<uint8_t>(0x21 + 2 * k)};
        std::copy(pes, pes + 19, p.begin() + 4);
        p[23] = 0;
        p[24] = 0;
        p[25] = 1;
        p[26] = 0;  // picture start code
        stream.insert(stream.end(), p.begin(), p.end());
        video.RecordPictureArrivals(p.data(), 188);
    }
    EXPECT_EQ(video.PictureArrivalTimes().size(), 2u);
    video.OutputTransportBuffer(stream.data(), 100);
    video.OutputTransportBuffer(stream.data() + 100, static_cast<int32_t>(stream.size()) - 100);
    EXPECT_EQ(video.Mb().GetFillLength(), 2 * 184);
    std::vector<uint8_t> moved(400);
    // Leak method (no vbv_delay seen): Rbx of 15 Mbit/s for 1 ms.
    ASSERT_EQ(video.GetLeak(), 1);
    EXPECT_EQ(video.OutputMultiplexBuffer(0.0, moved.data(), 400), 0);
    const int32_t n = video.OutputMultiplexBuffer(27000.0, moved.data(), 400);
    EXPECT_EQ(n, 2 * 184);
    video.MoveToElementaryBuffer(moved.data(), 50);
    video.MoveToElementaryBuffer(moved.data() + 50, n - 50);
    // Headers removed: 2 x (184 - 19) elementary bytes; the first access
    // unit ended by the second header, due at its DTS.
    EXPECT_EQ(video.Eb().GetFillLength(), 2 * (184 - 19));
    double due = 0;
    ASSERT_TRUE(video.Eb().GetNextRemovalTime(&due));
    EXPECT_EQ(due, 90000.0 * 300);
    EXPECT_EQ(video.Eb().RemoveAccessUnit(due), 184 - 19);
}

TEST(SystemBufferAnalyzeTest, RsysFollowsTheRateAndNothingLeavesWithoutOne) {
    CBufferAnalyzeFrame frame(0x100, 0, nullptr);
    CSystemBufferAnalyze& system = *frame.GetSystemAnalyzer();
    const Bytes bytes(188, 0x5A);
    EXPECT_EQ(system.InputPacket(bytes.data(), 188, 0x100), 0);
    EXPECT_EQ(system.TBsys().GetFillLength(), 188);
    EXPECT_EQ(system.Bsys().GetFillLength(), 0);
    EXPECT_EQ(system.InputPacket(bytes.data(), 188, 0x333), 0);  // another PID
    frame.m_dTsBitRate = 40000000.0;
    system.InputPacket(bytes.data(), 188, 0);
    EXPECT_EQ(system.GetRsys(), 80000);
    EXPECT_GT(system.Bsys().GetFillLength(), 0);
    frame.m_dTsBitRate = 50000000.0;
    system.InputPacket(bytes.data(), 188, 1);
    EXPECT_EQ(system.GetRsys(), 100000);
}

class CountingClient : public CTsBufferAnalyzeClient {
  public:
    void OnFeederRunning(uint32_t running) override {
        ++calls;
        last = running;
    }
    std::atomic<uint32_t> calls{0};
    std::atomic<uint32_t> last{99};
};

Bytes PatPacket() {
    // Program 0 (network PID) first, then program 7 on PMT PID 0x0081.
    return SectionPacket(
        0, 0,
        {0x00, 0xB0, 0x11, 0x00, 0x01, 0xC1, 0, 0, 0x00, 0x00, 0xE0, 0x10, 0x00, 0x07, 0xE0, 0x81});
}

TEST(TsBufferAnalyzeFeederTest, FindsThePmtBehindProgramZeroAndStopsCleanly) {
    velmora::ts::CLockedRingBuffer ring;
    ASSERT_EQ(ring.SetSize(25920, 188), 1u);
    ASSERT_EQ(ring.Allocate(), 1u);
    uint32_t free = 0, contiguous = 0;
    ring.GetFreeCount(&free, &contiguous);
    const Bytes filler = TsPacket(0x300, 0, false);
    for (int i = 0; i < 10; ++i)
        ring.Write(filler.data(), 188);
    ring.Write(PatPacket().data(), 188);
    for (int i = 0; i < 50; ++i)
        ring.Write(filler.data(), 188);

    CTsBufferAnalyzeFeeder feeder(&ring);
    CountingClient client;
    EXPECT_FALSE(feeder.Start(nullptr));
    ASSERT_TRUE(feeder.Start(&client));
    EXPECT_EQ(feeder.GetPmtPid(), 0x81);
    while (client.calls.load() < 60)
        std::this_thread::yield();
    EXPECT_TRUE(feeder.Stop());
    EXPECT_EQ(client.last.load(), 0u);
    ASSERT_NE(feeder.GetFrameAnalyzer(), nullptr);
    EXPECT_EQ(feeder.GetFrameAnalyzer()->GetPmtPid(), 0x81);

    // Deleting a running feeder ends its thread first.
    auto running = std::make_unique<CTsBufferAnalyzeFeeder>(&ring);
    ring.GetFreeCount(&free, &contiguous);
    ring.Write(PatPacket().data(), 188);
    ASSERT_TRUE(running->Start(&client));
    running.reset();
}

TEST(TsBufferAnalyzeFeederTest, EmptyRingGivesUp) {
    velmora::ts::CLockedRingBuffer ring;
    ASSERT_EQ(ring.SetSize(16, 188), 1u);
    ASSERT_EQ(ring.Allocate(), 1u);
    CTsBufferAnalyzeFeeder feeder(&ring);
    EXPECT_FALSE(feeder.FindProgramMapPid());
    EXPECT_EQ(feeder.GetPmtPid(), CTsBufferAnalyzeFeeder::kNoPid);
}

}  // namespace

}  // namespace velmora::recordertest

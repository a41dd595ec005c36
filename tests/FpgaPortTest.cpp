// The per-port ring, stamp, strobe and flush operations of both ports.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "FpgaTestSupport.h"
#include "WaitSupport.h"

namespace velmora::hw::testing {
namespace {

using std::chrono::steady_clock;

// One ring of one port, with the operations that read its status word.
struct RingCase {
    const char* name;
    uint32_t port;
    uint32_t status;
    bool capture;
    uint32_t (CFpga::*readNo)(uint32_t*, uint32_t);
    uint32_t (CFpga::*writeNo)(uint32_t*, uint32_t);
    uint32_t (CFpga::*count)(uint32_t*, uint32_t);
    uint32_t (CFpga::*full)(uint32_t);
    uint32_t (CFpga::*empty)(uint32_t);
};

const RingCase kRings[] = {
    {"video capture 0", 0, 0x94, true, &CFpga::GetVideoCaptureBufferReadNo,
     &CFpga::GetVideoCaptureBufferWriteNo, &CFpga::GetVideoCaptureBufferCount,
     &CFpga::IsVideoCaptureBufferFull, &CFpga::IsVideoCaptureBufferEmpty},
    {"video capture 1", 1, 0x204, true, &CFpga::GetVideoCaptureBufferReadNo,
     &CFpga::GetVideoCaptureBufferWriteNo, &CFpga::GetVideoCaptureBufferCount,
     &CFpga::IsVideoCaptureBufferFull, &CFpga::IsVideoCaptureBufferEmpty},
    {"video playback 0", 0, 0x98, false, &CFpga::GetVideoPlaybackBufferReadNo,
     &CFpga::GetVideoPlaybackBufferWriteNo, &CFpga::GetVideoPlaybackBufferCount,
     &CFpga::IsVideoPlaybackBufferFull, &CFpga::IsVideoPlaybackBufferEmpty},
    {"video playback 1", 1, 0x250, false, &CFpga::GetVideoPlaybackBufferReadNo,
     &CFpga::GetVideoPlaybackBufferWriteNo, &CFpga::GetVideoPlaybackBufferCount,
     &CFpga::IsVideoPlaybackBufferFull, &CFpga::IsVideoPlaybackBufferEmpty},
    {"audio capture 0", 0, 0xC0, true, &CFpga::GetAudioCaptureBufferReadNo,
     &CFpga::GetAudioCaptureBufferWriteNo, &CFpga::GetAudioCaptureBufferCount,
     &CFpga::IsAudioCaptureBufferFull, &CFpga::IsAudioCaptureBufferEmpty},
    {"audio capture 1", 1, 0x304, true, &CFpga::GetAudioCaptureBufferReadNo,
     &CFpga::GetAudioCaptureBufferWriteNo, &CFpga::GetAudioCaptureBufferCount,
     &CFpga::IsAudioCaptureBufferFull, &CFpga::IsAudioCaptureBufferEmpty},
    {"audio playback 0", 0, 0xC4, false, &CFpga::GetAudioPlaybackBufferReadNo,
     &CFpga::GetAudioPlaybackBufferWriteNo, &CFpga::GetAudioPlaybackBufferCount,
     &CFpga::IsAudioPlaybackBufferFull, &CFpga::IsAudioPlaybackBufferEmpty},
    {"audio playback 1", 1, 0x358, false, &CFpga::GetAudioPlaybackBufferReadNo,
     &CFpga::GetAudioPlaybackBufferWriteNo, &CFpga::GetAudioPlaybackBufferCount,
     &CFpga::IsAudioPlaybackBufferFull, &CFpga::IsAudioPlaybackBufferEmpty},
};

TEST_F(FpgaTest, RingNumbersAndCountsOfEveryRing) {
    struct StatusCase {
        uint32_t status;
        uint32_t read, write, captureCount, playbackCount, full, empty;
    };
    const StatusCase statuses[] = {
        {0x00000503, 5, 3, 6, 2, 0, 0},
        {0x80000000, 0, 0, 8, 0, 1, 0},
        {0xC0000000, 0, 0, 8, 0, 1, 1},  // both flags: full wins
        {0x40000304, 3, 4, 0, 8, 0, 1},
        {0x00000A0C, 7, 7, 0, 0, 0, 0},  // both numbers clamped to 7
        {0x20000102, 1, 2, 1, 7, 0, 0},  // the done bit plays no part
    };
    CFpga& fpga = *m_fpga;
    for (const RingCase& ring : kRings) {
        for (const StatusCase& s : statuses) {
            SCOPED_TRACE(::testing::Message() << ring.name << " status 0x" << std::hex << s.status);
            for (const RingCase& other : kRings)
                m_bridge.Set(other.status, other.status == ring.status ? s.status : 0x00000707);
            uint32_t value = 99;
            EXPECT_EQ((fpga.*ring.readNo)(&value, ring.port), 1u);
            EXPECT_EQ(value, s.read);
            EXPECT_EQ((fpga.*ring.writeNo)(&value, ring.port), 1u);
            EXPECT_EQ(value, s.write);
            EXPECT_EQ((fpga.*ring.count)(&value, ring.port), 1u);
            EXPECT_EQ(value, ring.capture ? s.captureCount : s.playbackCount);
            EXPECT_EQ((fpga.*ring.full)(ring.port), s.full);
            EXPECT_EQ((fpga.*ring.empty)(ring.port), s.empty);
        }
    }
    EXPECT_TRUE(m_bridge.Writes().empty());
}

TEST_F(FpgaTest, AnyPortOtherThanOneIsPortZero) {
    m_bridge.Set(0x94, 0x00000503);
    m_bridge.Set(0x204, 0x80000000);
    uint32_t count = 0;
    EXPECT_EQ(m_fpga->GetVideoCaptureBufferCount(&count, 7), 1u);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(m_fpga->GetVideoCaptureBufferCount(&count, 1), 1u);
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(m_fpga->StartVideoCapture(2), 1u);
    EXPECT_EQ(m_bridge.Writes(), (std::vector<Write>{{kBlockA, Bit(2)}}));
}

// A control bit and the operation that drives it.
struct ControlCase {
    const char* name;
    std::function<uint32_t(CFpga&)> op;
    uint32_t block;
    uint32_t bit;
    std::vector<uint32_t> levels;  // the bit's level after each write
};

TEST_F(FpgaTest, ControlBitsOfBothPorts) {
    const std::vector<uint32_t> set = {1};
    const std::vector<uint32_t> clear = {0};
    const std::vector<uint32_t> strobe = {0, 1, 0};
    const ControlCase cases[] = {
        {"start video 0", [](CFpga& f) { return f.StartVideoCapture(0); }, kBlockA, 2, set},
        {"stop video 1", [](CFpga& f) { return f.StopVideoCapture(1); }, kBlockC, 4, clear},
        {"start video 1", [](CFpga& f) { return f.StartVideoCapture(1); }, kBlockC, 4, set},
        {"start audio 0", [](CFpga& f) { return f.StartAudioCapture(0); }, kBlockB, 11, set},
        {"stop audio 1", [](CFpga& f) { return f.StopAudioCapture(1); }, kBlockD, 11, clear},
        {"start audio 1", [](CFpga& f) { return f.StartAudioCapture(1); }, kBlockD, 11, set},
        {"video request 0", [](CFpga& f) { return f.SetVideoCaptureReadRequest(0); }, kBlockB, 5,
         set},
        {"video request 1", [](CFpga& f) { return f.SetVideoCaptureReadRequest(1); }, kBlockC, 1,
         set},
        {"video release 1", [](CFpga& f) { return f.ClearVideoCaptureReadRequest(1); }, kBlockC, 1,
         clear},
        {"audio request 0", [](CFpga& f) { return f.SetAudioCaptureReadRequest(0); }, kBlockB, 9,
         set},
        {"audio request 1", [](CFpga& f) { return f.SetAudioCaptureReadRequest(1); }, kBlockD, 9,
         set},
        {"audio release 0", [](CFpga& f) { return f.ClearAudioCaptureReadRequest(0); }, kBlockB, 9,
         clear},
        {"video capture strobe 0", [](CFpga& f) { return f.StrobeVideoCaptureBuffer(0); }, kBlockB,
         2, strobe},
        {"video capture strobe 1", [](CFpga& f) { return f.StrobeVideoCaptureBuffer(1); }, kBlockC,
         0, strobe},
        {"video playback strobe 0", [](CFpga& f) { return f.StrobeVideoPlaybackBuffer(0); },
         kBlockB, 3, strobe},
        {"video playback strobe 1", [](CFpga& f) { return f.StrobeVideoPlaybackBuffer(1); },
         kBlockC, 2, strobe},
        {"audio capture strobe 0", [](CFpga& f) { return f.StrobeAudioCaptureBuffer(0); }, kBlockB,
         7, strobe},
        {"audio capture strobe 1", [](CFpga& f) { return f.StrobeAudioCaptureBuffer(1); }, kBlockD,
         7, strobe},
        {"audio playback strobe 0", [](CFpga& f) { return f.StrobeAudioPlaybackBuffer(0); },
         kBlockB, 8, strobe},
        {"audio playback strobe 1", [](CFpga& f) { return f.StrobeAudioPlaybackBuffer(1); },
         kBlockD, 8, strobe},
    };
    for (const ControlCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Every other bit of the block stays as it stood.
        const uint32_t others = ~Bit(c.bit) & 0x0F0F0F0F;
        m_bridge.Set(c.block, others | (c.levels.front() ? 0 : Bit(c.bit)));
        m_bridge.ClearLog();
        EXPECT_EQ(c.op(*m_fpga), 1u);
        std::vector<Write> expected;
        for (uint32_t level : c.levels)
            expected.push_back({c.block, others | (level ? Bit(c.bit) : 0)});
        EXPECT_EQ(m_bridge.Writes(), expected);
    }
}

TEST_F(FpgaTest, ReadDoneIsBit29OfTheCaptureRing) {
    m_bridge.Set(0x94, Bit(29));
    m_bridge.Set(0x304, Bit(29));
    EXPECT_EQ(m_fpga->IsVideoCaptureReadDone(0), 1u);
    EXPECT_EQ(m_fpga->IsVideoCaptureReadDone(1), 0u);
    EXPECT_EQ(m_fpga->IsAudioCaptureReadDone(0), 0u);
    EXPECT_EQ(m_fpga->IsAudioCaptureReadDone(1), 1u);
}

TEST_F(FpgaTest, CaptureEntriesAndStampsByIndex) {
    for (uint32_t i = 0; i < 8; ++i) {
        m_bridge.Set(0x9C + 4 * i, 0x100 + i);
        m_bridge.Set(0x118 + 4 * i, i);
        m_bridge.Set(0x210 + 4 * i, 0x200 + i);
        m_bridge.Set(0x230 + 4 * i, 0x10 + i);
        m_bridge.Set(0xC8 + 4 * i, 0x300 + i);
        m_bridge.Set(0x138 + 4 * i, 0x20 + i);
        m_bridge.Set(0x310 + 4 * i, 0x400 + i);
        m_bridge.Set(0x330 + 4 * i, 0x30 + i);
    }
    uint32_t entry = 0;
    EXPECT_EQ(m_fpga->GetVideoCaptureEntry(3, &entry, 1), 1u);
    EXPECT_EQ(entry, 0x203u);
    EXPECT_EQ(m_fpga->GetAudioCaptureEntry(7, &entry, 0), 1u);
    EXPECT_EQ(entry, 0x307u);
    m_bridge.ClearLog();
    entry = 55;
    EXPECT_EQ(m_fpga->GetVideoCaptureEntry(9, &entry, 0), 1u);
    EXPECT_EQ(entry, 0u);
    EXPECT_EQ(m_bridge.TotalReads(), 0u);

    uint64_t stamp = 0;
    EXPECT_EQ(m_fpga->GetVideoCaptureTimeStamp(2, &stamp, 0), 1u);
    EXPECT_EQ(stamp, (0x102 + (uint64_t{2} << 32)) * 100);
    EXPECT_EQ(m_fpga->GetVideoCaptureTimeStamp(9, &stamp, 1), 1u);
    EXPECT_EQ(stamp, (0x200 + (uint64_t{0x10} << 32)) * 100);
    EXPECT_EQ(m_fpga->GetAudioCaptureTimeStamp(5, &stamp, 0), 1u);
    EXPECT_EQ(stamp, (0x305 + (uint64_t{0x25} << 32)) * 100);
    EXPECT_EQ(m_fpga->GetAudioCaptureTimeStamp(1, &stamp, 1), 1u);
    EXPECT_EQ(stamp, (0x401 + (uint64_t{0x31} << 32)) * 100);
}

TEST_F(FpgaTest, CountersAreSharedByBothPorts) {
    m_bridge.Set(0x158, 7);
    m_bridge.Set(0x15C, 1);
    m_bridge.Set(0x160, 9);
    m_bridge.Set(0x164, 2);
    uint64_t port0 = 0;
    uint64_t port1 = 0;
    EXPECT_EQ(m_fpga->ReadTimeStampCounter(&port0, 0), 1u);
    EXPECT_EQ(m_fpga->ReadTimeStampCounter(&port1, 1), 1u);
    EXPECT_EQ(port0, (7 + (uint64_t{1} << 32)) * 100);
    EXPECT_EQ(port1, port0);
    EXPECT_EQ(m_fpga->ReadTimeStampCounter2(&port1, 1), 1u);
    EXPECT_EQ(port1, (9 + (uint64_t{2} << 32)) * 100);
}

TEST_F(FpgaTest, StableReadsHoldTheFpgaMutex) {
    auto other = OtherHolder();
    int unlockedReads = 0;
    m_bridge.SetReadHook([&](uint32_t offset, uint32_t) -> std::optional<uint32_t> {
        if ((offset == 0x158 || offset == 0x15C) && FpgaMutexFreeForOthers(*other)) ++unlockedReads;
        return std::nullopt;
    });
    uint64_t value = 0;
    EXPECT_EQ(m_fpga->ReadTimeStampCounter(&value, 0), 1u);
    EXPECT_EQ(unlockedReads, 0);
    EXPECT_TRUE(FpgaMutexFreeForOthers(*other));
}

TEST_F(FpgaTest, PlaybackStampsAreDividedAndSplit) {
    EXPECT_EQ(m_fpga->SetVideoPlaybackTimeStamp(-250, 0), 1u);
    EXPECT_EQ(m_fpga->SetVideoPlaybackTimeStamp(0x1234567800LL * 100 + 99, 1), 1u);
    EXPECT_EQ(m_fpga->SetAudioPlaybackTimeStamp(1000, 0), 1u);
    EXPECT_EQ(m_fpga->SetAudioPlaybackTimeStamp(-100, 1), 1u);
    EXPECT_EQ(m_fpga->WriteVideoPlaybackTimeStampLow(5, 1), 1u);
    EXPECT_EQ(m_fpga->WriteAudioPlaybackTimeStampLow(6, 0), 1u);
    EXPECT_EQ(m_fpga->WriteAudioPlaybackControlEC(0xEC0, 1), 1u);
    EXPECT_EQ(m_bridge.Writes(), (std::vector<Write>{{0xBC, 0xFFFFFFFE},
                                                     {0x110, 0xFFFFFFFF},
                                                     {0x254, 0x34567800},
                                                     {0x258, 0x12},
                                                     {0xE8, 10},
                                                     {0x114, 0},
                                                     {0x350, 0xFFFFFFFF},
                                                     {0x354, 0xFFFFFFFF},
                                                     {0x254, 5},
                                                     {0xE8, 6},
                                                     {0xEC, 0xEC0}}));
}

TEST_F(FpgaTest, FlushWaitsForDoneThenReleasesTheFlushBit) {
    m_bridge.Script(0x250, {0, 0, Bit(29)});
    EXPECT_EQ(m_fpga->FlushVideoPlaybackBuffer(1), 1u);
    EXPECT_EQ(m_bridge.WritesTo(kBlockC), (std::vector<uint32_t>{0, Bit(3), 0}));
    EXPECT_EQ(m_bridge.ReadCount(0x250), 3u);
    m_bridge.ClearLog();
    m_bridge.Set(0xC4, Bit(29));
    EXPECT_EQ(m_fpga->FlushAudioPlaybackBuffer(0), 1u);
    EXPECT_EQ(m_bridge.WritesTo(kBlockB), (std::vector<uint32_t>{0, Bit(10), 0}));
}

TEST_F(FpgaTest, FlushThatNeverCompletesGivesUpAfterAboutASecond) {
    const auto start = steady_clock::now();
    EXPECT_EQ(m_fpga->FlushVideoPlaybackBuffer(0), 0u);
    const auto took = steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, ::velmora::test::kHangBound) << "hang";
    // The flush bit does not stay set.
    EXPECT_EQ(m_bridge.WritesTo(kBlockB), (std::vector<uint32_t>{0, Bit(6), 0}));

    m_bridge.ClearLog();
    m_bridge.FailReadsOf(0xC4);
    EXPECT_EQ(m_fpga->FlushAudioPlaybackBuffer(0), 0u);
    EXPECT_EQ(m_bridge.Get(kBlockB) & Bit(10), 0u);
}

}  // namespace
}  // namespace velmora::hw::testing

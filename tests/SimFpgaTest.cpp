// The simulated card's FPGA as the register layer sees it: BAR-3 requests
// through the simulated driver, the manual clock stepping card time.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "SimTestSupport.h"
#include "WaitSupport.h"
#include "platform/Time.h"
#include "sim/SimAudioTone.h"
#include "sim/SimControl.h"
#include "sim/SimFpga.h"
#include "sim/SimVideoPattern.h"

namespace velmora::sim::testing {
namespace {

constexpr uint32_t kA = 0x10;
constexpr uint32_t kB = 0x90;
constexpr uint32_t kVc = 0x94;
constexpr uint32_t kVp = 0x98;
constexpr uint32_t kAc = 0xC0;
constexpr uint32_t kAp = 0xC4;
constexpr uint32_t kFrame = SimFpgaState::kVideoFrameBytes;
constexpr uint32_t kBlock = SimFpgaState::kAudioBlockBytes;
constexpr uint32_t kDone = 1u << 29;
constexpr uint32_t kEmpty = 1u << 30;
constexpr uint32_t kFull = 1u << 31;

uint32_t WriteNo(uint32_t status) {
    return status & 0xFF;
}
uint32_t ReadNo(uint32_t status) {
    return (status >> 8) & 0xFF;
}
// Filled units of a ring, from its status word alone.
uint32_t Filled(uint32_t status) {
    if (status & kFull) return 8;
    if (status & kEmpty) return 0;
    return (WriteNo(status) + 8 - ReadNo(status)) % 8;
}

class SimFpgaTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(m_device.Open());
        ASSERT_TRUE(SetClockMode(0, ClockMode::Manual));
    }
    void TearDown() override {
        m_device.Close();
        SimTest::TearDown();
    }

    uint32_t Read(uint32_t offset) const { return m_device.Read(offset); }
    void Write(uint32_t offset, uint32_t value) const { m_device.Write(offset, value); }
    void SetBit(uint32_t offset, unsigned bit, bool on) const {
        const uint32_t value = Read(offset);
        Write(offset, on ? value | (1u << bit) : value & ~(1u << bit));
    }
    void Pulse(uint32_t offset, unsigned bit) const {
        SetBit(offset, bit, false);
        SetBit(offset, bit, true);
        SetBit(offset, bit, false);
    }
    uint64_t Read64(uint32_t low, uint32_t high) const {
        const uint64_t l = Read(low);
        return l | (uint64_t{Read(high)} << 32);
    }
    uint64_t Latched() const {
        Pulse(kA, 22);
        return Read64(0x68, 0x100);
    }
    static void StepFrames(uint64_t frames) { ASSERT_TRUE(StepFields(0, 2 * frames)); }
    static uint64_t FrameNow() { return *FieldCount(0) / 2; }
    // Card time of frame boundary `frame` of the manual PAL clock.
    static uint64_t FrameUs(uint64_t frame) {
        return *CardTimeUs(0) - (*FieldCount(0) - 2 * frame) * 20000;
    }

    // One capture read as the capture worker makes it; returns the unit read.
    uint32_t CaptureCycle(unsigned request, unsigned strobe, uint32_t statusOffset) const {
        SetBit(kB, request, true);
        EXPECT_TRUE(Read(statusOffset) & kDone);
        const uint32_t unit = ReadNo(Read(statusOffset));
        Pulse(kB, strobe);
        SetBit(kB, request, false);
        EXPECT_FALSE(Read(statusOffset) & kDone);
        return unit;
    }

    std::vector<uint8_t> Memory(uint32_t address, size_t size) const {
        std::vector<uint8_t> bytes(size);
        EXPECT_TRUE(PeekMemory(0, address, bytes.data(), size));
        return bytes;
    }

    Device m_device{Device::Closed{}};
};

TEST_F(SimFpgaTest, PowerUpValuesAndPlainRegisters) {
    EXPECT_EQ(Read(0x1C), SimConfig::kDefaultBoardId);
    EXPECT_EQ(Read(0xF0), SimConfig::kDefaultFpgaVersion);
    EXPECT_EQ(Read(0x14), 0u);
    for (uint32_t ring : {kVc, kVp, kAc, kAp})
        EXPECT_EQ(Read(ring), kEmpty) << std::hex << ring;
    EXPECT_EQ(Read(kA), 0u);
    EXPECT_EQ(Read(kB), 0u);

    // Scratch and other plain registers keep what is written; what the FPGA
    // drives does not change under a host write.
    Write(0x50, 0x55AA55AA);
    EXPECT_EQ(Read(0x50), 0x55AA55AAu);
    Write(0x24, 0x1234);
    EXPECT_EQ(Read(0x24), 0x1234u);
    for (uint32_t wired : {0x14u, 0x1Cu, 0xF0u, kVc, kVp, 0x9Cu, 0x118u, 0x68u, 0x158u}) {
        const uint32_t before = Read(wired);
        Write(wired, 0xDEADBEEF);
        EXPECT_EQ(Read(wired), before) << std::hex << wired;
    }

    ASSERT_TRUE(SetCardStatus(0, 0x00000003));
    EXPECT_EQ(Read(0x14), 3u);
}

TEST_F(SimFpgaTest, CaptureFillsOneUnitAFrameAndFreesOneACycle) {
    const uint32_t first = WriteNo(Read(kVc));
    SetBit(kA, 2, true);  // port-0 video capture on
    StepFrames(3);

    const uint32_t status = Read(kVc);
    EXPECT_EQ(Filled(status), 3u);
    EXPECT_EQ(ReadNo(status), first);
    EXPECT_EQ(WriteNo(status), (first + 3) % 8);

    // Stamps one PAL frame (400,000 in 100-ns units) apart, and frames that
    // carry consecutive card frame numbers up to the present.
    const uint64_t lastFrame = FrameNow();
    for (uint32_t i = 0; i < 3; ++i) {
        const uint32_t unit = (first + i) % 8;
        const uint64_t stamp = Read64(0x9C + 4 * unit, 0x118 + 4 * unit) * 100;
        if (i > 0) {
            const uint32_t prev = (first + i - 1) % 8;
            EXPECT_EQ(stamp - Read64(0x9C + 4 * prev, 0x118 + 4 * prev) * 100, 400000u);
        }
        const auto frame = Memory(SimFpga::kVideoCaptureBase + unit * kFrame, kFrame);
        const auto number = PatternFrameNumber(frame.data(), frame.size());
        ASSERT_TRUE(number.has_value());
        EXPECT_EQ(*number, lastFrame - 2 + i);
        // The bars move from frame to frame.
        if (i > 0) {
            const auto prev =
                Memory(SimFpga::kVideoCaptureBase + ((first + i - 1) % 8) * kFrame, kFrame);
            EXPECT_NE(std::memcmp(frame.data() + 1440, prev.data() + 1440, 1440), 0);
        }
    }

    EXPECT_EQ(CaptureCycle(5, 2, kVc), first);
    EXPECT_EQ(Filled(Read(kVc)), 2u);
    EXPECT_EQ(ReadNo(Read(kVc)), (first + 1) % 8);

    // A request answers whatever the ring holds; a strobe on an empty ring
    // moves nothing.
    CaptureCycle(5, 2, kVc);
    CaptureCycle(5, 2, kVc);
    EXPECT_EQ(Read(kVc) & kEmpty, kEmpty);
    CaptureCycle(5, 2, kVc);
    EXPECT_EQ(Read(kVc), kEmpty | ((first + 3) % 8) | (((first + 3) % 8) << 8));

    // Capture off: frames pass without filling anything.
    SetBit(kA, 2, false);
    StepFrames(2);
    EXPECT_EQ(Filled(Read(kVc)), 0u);
}

TEST_F(SimFpgaTest, FullRingDropsAndCountsEvenOverALongGap) {
    SetBit(kA, 2, true);
    SetBit(kB, 11, true);
    const auto before = *VideoCaptureCounts(0);
    StepFrames(20);
    EXPECT_EQ(Read(kVc) & kFull, kFull);
    EXPECT_EQ(Filled(Read(kVc)), 8u);
    EXPECT_EQ(Read(kAc) & kFull, kFull);
    const auto after = *VideoCaptureCounts(0);
    EXPECT_EQ(after.filled - before.filled, 8u);
    EXPECT_EQ(after.dropped - before.dropped, 12u);
    EXPECT_EQ(AudioCaptureCounts(0)->dropped, 12u);

    // The ring keeps the oldest frames: the one read next is the first.
    const uint32_t unit = ReadNo(Read(kVc));
    const auto frame = Memory(SimFpga::kVideoCaptureBase + unit * kFrame, kFrame);
    EXPECT_EQ(PatternFrameNumber(frame.data(), frame.size()), FrameNow() - 19);

    // Ten hours of an unread ring cost no more than a ring's worth of work.
    const auto start = std::chrono::steady_clock::now();
    StepFrames(900000);
    EXPECT_EQ(Read(kVc) & kFull, kFull);
    EXPECT_LT(std::chrono::steady_clock::now() - start, ::velmora::test::kHangBound) << "hang";
    EXPECT_EQ(VideoCaptureCounts(0)->dropped - after.dropped, 900000u);

    // Freeing one unit lets the next frame in.
    CaptureCycle(5, 2, kVc);
    EXPECT_EQ(Filled(Read(kVc)), 7u);
    StepFrames(1);
    EXPECT_EQ(Filled(Read(kVc)), 8u);
    const uint32_t newest = (WriteNo(Read(kVc)) + 7) % 8;
    const auto latest = Memory(SimFpga::kVideoCaptureBase + newest * kFrame, kFrame);
    EXPECT_EQ(PatternFrameNumber(latest.data(), latest.size()), static_cast<uint32_t>(FrameNow()));
}

TEST_F(SimFpgaTest, AudioCaptureGivesToneBlocks) {
    SetBit(kB, 11, true);
    StepFrames(3);
    ASSERT_EQ(Filled(Read(kAc)), 3u);
    EXPECT_EQ(Read64(0xC8 + 4, 0x138 + 4) - Read64(0xC8, 0x138), 4000u);
    for (uint32_t k = 0; k < 3; ++k) {
        const auto block = Memory(SimFpga::kAudioCaptureBase + k * kBlock, kBlock);
        const uint32_t pairs = k == 2 ? 2110 : 2109;
        EXPECT_EQ(SimAudioTone::PairsInBlock(k), pairs);
        int16_t peak = 0;
        for (uint32_t i = 0; i < pairs; ++i) {
            int16_t left;
            std::memcpy(&left, block.data() + 4 * i, 2);
            peak = std::max<int16_t>(peak, left);
        }
        EXPECT_GT(peak, 8000) << "a tone, not silence";
        const std::vector<uint8_t> zeros(kBlock - 4 * pairs, 0);
        EXPECT_EQ(std::memcmp(block.data() + 4 * pairs, zeros.data(), zeros.size()), 0);
    }
    // The tone runs on from block to block: the first left sample of block 1
    // continues where block 0 stopped.
    const auto b0 = Memory(SimFpga::kAudioCaptureBase, kBlock);
    const auto b1 = Memory(SimFpga::kAudioCaptureBase + kBlock, kBlock);
    int16_t last0, first1;
    std::memcpy(&last0, b0.data() + 4 * 2108, 2);
    std::memcpy(&first1, b1.data(), 2);
    EXPECT_LT(std::abs(first1 - last0), 1200);
    EXPECT_EQ(CaptureCycle(9, 7, kAc), 0u);
    EXPECT_EQ(Filled(Read(kAc)), 2u);

    // The audio clock does not follow the video standard: in NTSC too a
    // block lasts 40 ms, 25 blocks a second.
    SetBit(kA, 12, true);
    const uint64_t startUs = *CardTimeUs(0);
    const uint64_t blocks = AudioCaptureCounts(0)->filled + AudioCaptureCounts(0)->dropped;
    ASSERT_TRUE(StepFields(0, 600));
    const uint64_t endUs = *CardTimeUs(0);
    EXPECT_EQ(endUs - startUs, 10010000u);
    EXPECT_EQ(AudioCaptureCounts(0)->filled + AudioCaptureCounts(0)->dropped - blocks,
              endUs / 40000 - startUs / 40000);
}

TEST_F(SimFpgaTest, PlaybackQueuesOnStrobeAndPlaysAtItsStamp) {
    const uint32_t unit = WriteNo(Read(kVp));
    std::vector<uint8_t> frame(kFrame);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(PokeMemory(0, SimFpga::kVideoPlaybackBase + unit * kFrame, frame.data(), kFrame));
    Write(0xBC, 0x89ABCDEF);
    Write(0x110, 0x1);
    Pulse(kB, 3);
    EXPECT_EQ(WriteNo(Read(kVp)), (unit + 1) % 8);
    EXPECT_EQ(Filled(Read(kVp)), 1u);
    EXPECT_EQ(PlayedVideo(0)->played, 0u);

    // The frame is due at card time 0x189ABCDEF ticks, 18 hours ahead: it
    // waits until then, however far the clock steps, and then plays at the
    // first boundary not before it.
    const uint64_t dueUs = 0x189ABCDEFull * 10;
    ASSERT_TRUE(StepFields(0, (dueUs - *CardTimeUs(0)) / 20000 - 1));
    EXPECT_EQ(Filled(Read(kVp)), 1u);
    EXPECT_EQ(PlayedVideo(0)->played, 0u);
    StepFrames(2);
    EXPECT_EQ(Read(kVp) & kEmpty, kEmpty);
    EXPECT_EQ(ReadNo(Read(kVp)), (unit + 1) % 8);
    const auto played = *PlayedVideo(0);
    ASSERT_EQ(played.played, 1u);
    ASSERT_EQ(played.recent.size(), 1u);
    EXPECT_EQ(played.recent[0].unit, unit);
    EXPECT_EQ(played.recent[0].stamp, 0x189ABCDEFull);
    EXPECT_GE(FrameUs(played.recent[0].frame), dueUs);
    EXPECT_LT(FrameUs(played.recent[0].frame - 1), dueUs);
    EXPECT_EQ(played.recent[0].checksum, PlayedChecksum(frame.data(), frame.size()));
    std::vector<uint8_t> last;
    ASSERT_TRUE(LastPlayedVideoFrame(0, &last));
    EXPECT_EQ(last, frame);

    // Audio: the stamp and the control word go with the block.
    std::vector<uint8_t> block(kBlock, 0x5A);
    ASSERT_TRUE(PokeMemory(0, SimFpga::kAudioPlaybackBase, block.data(), kBlock));
    Write(0xE8, 600000 / 100);
    Write(0x114, 0);
    Write(0xEC, 3);
    Pulse(kB, 8);
    Write(0xEC, 4);
    EXPECT_EQ(Filled(Read(kAp)), 1u);
    StepFrames(1);
    const auto audio = *PlayedAudio(0);
    ASSERT_EQ(audio.played, 1u);
    EXPECT_EQ(audio.recent[0].stamp, 6000u);
    EXPECT_EQ(audio.recent[0].control, 3u);
    EXPECT_EQ(audio.recent[0].checksum, PlayedChecksum(block.data(), block.size()));

    // Eight queued frames fill the ring; a ninth strobe finds no unit.
    for (int i = 0; i < 9; ++i)
        Pulse(kB, 3);
    EXPECT_EQ(Read(kVp) & kFull, kFull);
    StepFrames(3);
    EXPECT_EQ(Filled(Read(kVp)), 5u);
    EXPECT_EQ(PlayedVideo(0)->played, 4u);
}

TEST_F(SimFpgaTest, FlushEmptiesThePlaybackRing) {
    for (int i = 0; i < 3; ++i)
        Pulse(kB, 3);
    ASSERT_EQ(Filled(Read(kVp)), 3u);
    SetBit(kB, 6, true);
    uint32_t status = Read(kVp);
    EXPECT_EQ(status & (kDone | kEmpty), kDone | kEmpty);
    EXPECT_EQ(ReadNo(status), WriteNo(status));
    // Held flushed, the ring takes nothing.
    Pulse(kB, 3);
    EXPECT_EQ(Read(kVp) & kEmpty, kEmpty);
    SetBit(kB, 6, false);
    EXPECT_FALSE(Read(kVp) & kDone);
    StepFrames(2);
    EXPECT_EQ(PlayedVideo(0)->played, 0u);

    Pulse(kB, 8);
    SetBit(kB, 10, true);
    EXPECT_EQ(Read(kAp) & (kDone | kEmpty), kDone | kEmpty);
    SetBit(kB, 10, false);
    EXPECT_FALSE(Read(kAp) & kDone);
}

TEST_F(SimFpgaTest, CountersFieldStatusAndTheLatchFollowCardTime) {
    const uint64_t latched = Latched();
    const uint64_t counter1 = Read64(0x158, 0x15C);
    const uint64_t counter2 = Read64(0x160, 0x164);
    EXPECT_GE(counter1, latched);
    EXPECT_GE(counter2, latched);
    const uint32_t field = Read(0x18);
    EXPECT_LE(field, 1u);

    ASSERT_TRUE(StepFields(0, 1));
    EXPECT_EQ(Read(0x18), field ^ 1);
    ASSERT_TRUE(StepFields(0, 1));
    EXPECT_EQ(Read(0x18), field);

    // The latched clock stays until the next latch; the counters run live.
    EXPECT_EQ(Read64(0x68, 0x100), latched);
    EXPECT_EQ(Read64(0x158, 0x15C) - counter1, 4000u);
    EXPECT_EQ(Read64(0x160, 0x164) - counter2, 4000u);
    EXPECT_EQ(Latched() - latched, 4000u);

    // NTSC fields last 1001/60 ms: sixty of them are 1.001 s.
    SetBit(kA, 12, true);
    const uint64_t ntsc = Read64(0x158, 0x15C);
    ASSERT_TRUE(StepFields(0, 60));
    EXPECT_EQ(Read64(0x158, 0x15C) - ntsc, 100100u);
    SetBit(kA, 12, false);
    const uint64_t pal = Read64(0x158, 0x15C);
    ASSERT_TRUE(StepFields(0, 50));
    EXPECT_EQ(Read64(0x158, 0x15C) - pal, 100000u);

    // The packet counters are latched with the clock.
    EXPECT_EQ(Read(0x54), 0u);
    EXPECT_EQ(Read(0x58), 0u);
}

TEST_F(SimFpgaTest, CardTimeCarriesOnAcrossClockModes) {
    ASSERT_TRUE(SetClockMode(0, ClockMode::Realtime));
    const uint64_t start = Read64(0x158, 0x15C);
    platform::Sleep(30);
    const uint64_t later = Read64(0x158, 0x15C);
    EXPECT_GE(later - start, 3000u) << "at least 30 ms passed";
    // A stable 64-bit read (two passes of low and high that must agree) gets
    // through within a few tries on the running clock.
    int tries = 1;
    while (Read64(0x158, 0x15C) != Read64(0x158, 0x15C) && tries < 100)
        ++tries;
    EXPECT_LT(tries, 100);
    ASSERT_TRUE(SetClockMode(0, ClockMode::Manual));
    const uint64_t manual = Read64(0x158, 0x15C);
    EXPECT_GE(manual, later);
    platform::Sleep(5);
    EXPECT_EQ(Read64(0x158, 0x15C), manual) << "a manual clock stands still";
    ASSERT_TRUE(SetClockMode(0, ClockMode::Realtime));
    EXPECT_GE(Read64(0x158, 0x15C), manual);
    EXPECT_FALSE(StepFields(0, 2)) << "stepping needs the manual clock";
}

TEST_F(SimFpgaTest, RealtimeClockFillsTheRingAsTimePasses) {
    ASSERT_TRUE(SetClockMode(0, ClockMode::Realtime));
    SetBit(kA, 2, true);
    const uint32_t first = WriteNo(Read(kVc));
    ASSERT_TRUE(::velmora::test::WaitUntil([&] { return Filled(Read(kVc)) >= 2; },
                                           "two frames in the ring"));
    const uint32_t second = (first + 1) % 8;
    const uint64_t stamp0 = Read64(0x9C + 4 * first, 0x118 + 4 * first);
    const uint64_t stamp1 = Read64(0x9C + 4 * second, 0x118 + 4 * second);
    EXPECT_EQ(stamp1 - stamp0, 4000u);
    EXPECT_LE(stamp1, Read64(0x158, 0x15C)) << "no stamp from the future";
}

TEST_F(SimFpgaTest, FaultKnobsKeepTheWaitsFromEnding) {
    SetBit(kA, 2, true);
    StepFrames(2);
    Pulse(kB, 3);

    ASSERT_TRUE(SetReadDoneNeverRises(0, true));
    SetBit(kB, 5, true);
    SetBit(kB, 9, true);
    SetBit(kB, 6, true);
    SetBit(kB, 10, true);
    int rose = 0;
    for (int poll = 0; poll < 1000; ++poll) {
        for (uint32_t ring : {kVc, kAc, kVp, kAp})
            rose += (Read(ring) & kDone) ? 1 : 0;
    }
    EXPECT_EQ(rose, 0);
    // The flush itself still empties the ring; only its answer is missing.
    EXPECT_EQ(Read(kVp) & kEmpty, kEmpty);
    ASSERT_TRUE(SetReadDoneNeverRises(0, false));
    EXPECT_TRUE(Read(kVc) & kDone);
    SetBit(kB, 5, false);
    SetBit(kB, 6, false);

    ASSERT_TRUE(SetBadRingNumbers(0, true));
    for (uint32_t ring : {kVc, kAc, kVp, kAp}) {
        EXPECT_GE(WriteNo(Read(ring)), 8u);
        EXPECT_GE(ReadNo(Read(ring)), 8u);
    }
    EXPECT_EQ(Filled(Read(kVc)), 2u) << "the flags still tell the count";
    ASSERT_TRUE(SetBadRingNumbers(0, false));
    EXPECT_LT(WriteNo(Read(kVc)), 8u);
}

TEST_F(SimFpgaTest, LoopbackCapturesWhatWasPlayed) {
    ASSERT_TRUE(SetVideoInput(0, VideoInput::Loopback));
    SetBit(kA, 2, true);
    StepFrames(1);
    // Nothing played yet: black.
    const auto black = Memory(SimFpga::kVideoCaptureBase, 4);
    EXPECT_EQ(black, (std::vector<uint8_t>{16, 128, 16, 128}));

    std::vector<uint8_t> frame(kFrame);
    SimVideoPattern::Fill(frame.data(), 0xC0FFEE);
    const uint32_t unit = WriteNo(Read(kVp));
    ASSERT_TRUE(PokeMemory(0, SimFpga::kVideoPlaybackBase + unit * kFrame, frame.data(), kFrame));
    Pulse(kB, 3);
    StepFrames(2);
    ASSERT_EQ(Filled(Read(kVc)), 3u);
    const uint32_t newest = (WriteNo(Read(kVc)) + 7) % 8;
    const auto captured = Memory(SimFpga::kVideoCaptureBase + newest * kFrame, kFrame);
    EXPECT_EQ(PatternFrameNumber(captured.data(), captured.size()), 0xC0FFEEu);
    EXPECT_EQ(captured, frame);
}

TEST_F(SimFpgaTest, TwoProcessesSeeOneRingState) {
    SetBit(kA, 2, true);
    StepFrames(3);
    const uint32_t first = ReadNo(Read(kVc));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        {
            Device device;
            if (!device.IsOpen()) _exit(10);
            uint32_t status = 0;
            device.BarSpace(false, kVc, &status);
            if (Filled(status) != 3) code = 11;
            // One read cycle and one queued playback frame from here.
            uint32_t b = 0;
            device.BarSpace(false, kB, &b);
            for (uint32_t value :
                 {b | (1u << 5), b | (1u << 5) | (1u << 2), b | (1u << 5), b, b | (1u << 3), b}) {
                device.BarSpace(true, kB, &value);
            }
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Filled(Read(kVc)), 2u);
    EXPECT_EQ(ReadNo(Read(kVc)), (first + 1) % 8);
    EXPECT_FALSE(Read(kVc) & kDone);
    EXPECT_EQ(Filled(Read(kVp)), 1u);
}

TEST(SimFpgaPattern, NumberSurvivesSmallLevelChanges) {
    std::vector<uint8_t> frame(SimVideoPattern::kFrameBytes);
    SimVideoPattern::Fill(frame.data(), 0x12345678);
    EXPECT_EQ(PatternFrameNumber(frame.data(), frame.size()), 0x12345678u);
    for (uint32_t i = 0; i < 32; ++i)
        frame[i * 2] = static_cast<uint8_t>(frame[i * 2] + (frame[i * 2] > 128 ? -5 : 5));
    EXPECT_EQ(PatternFrameNumber(frame.data(), frame.size()), 0x12345678u);
    frame[10] = 128;  // not a clean level
    EXPECT_FALSE(PatternFrameNumber(frame.data(), frame.size()).has_value());
    EXPECT_FALSE(PatternFrameNumber(frame.data(), 10).has_value());
}

}  // namespace
}  // namespace velmora::sim::testing

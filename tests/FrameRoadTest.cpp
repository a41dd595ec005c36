// Video frames through the exported functions against the simulated card on
// a manual clock: the card's pattern through capture, frames played and
// looped back, ring statuses, injected faults, and the channel set-up of the
// main function at first and later opens.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "CardTestSupport.h"
#include "PlatformTestSupport.h"
#include "WaitSupport.h"
#include "api/VelmoraSdkApi.h"
#include "av/ColorConvertModel.h"
#include "av/CpuClass.h"
#include "card/VelmoraMainFunc.h"
#include "card/VideoCapture.h"
#include "card/VideoPlayback.h"
#include "sim/SimVideoPattern.h"

namespace velmora::cardtest {
namespace {

using Clock = std::chrono::steady_clock;
using sim::SimVideoPattern;

constexpr size_t kYuy2Bytes = SimVideoPattern::kFrameBytes;
constexpr size_t kBgraBytes = kYuy2Bytes * 2;
constexpr int kWidth = SimVideoPattern::kWidth;
constexpr int kHeight = SimVideoPattern::kHeight;
constexpr uint64_t kPalFrame = 400000;  // 100 ns units

using Bytes = std::vector<uint8_t>;
// Room for any audio frame the card delivers (a block is 4096 words).
constexpr size_t kAudioDrainBytes = 4096 * 4 * 2;

Bytes PatternFrame(uint64_t number) {
    Bytes frame(kYuy2Bytes);
    SimVideoPattern::Fill(frame.data(), number);
    return frame;
}

// The conversions as the selected processor variant computes them: a vector
// variant takes the 16-bit formula for the pixels its blocks cover (all 720
// of a row to BGRA, the first 704 to YUY2), the 32-bit one elsewhere.
bool VectorVariant() {
    return av::g_nCpuClass.load() >= av::Sse2;
}

Bytes ModelToBgra(const Bytes& yuy2, bool bottomUp) {
    const bool vector = VectorVariant();
    Bytes bgra(kBgraBytes);
    for (int row = 0; row < kHeight; ++row) {
        const uint8_t* s = yuy2.data() + static_cast<size_t>(row) * kWidth * 2;
        uint8_t* d =
            bgra.data() + static_cast<size_t>(bottomUp ? kHeight - 1 - row : row) * kWidth * 4;
        for (int x = 0; x < kWidth; ++x) {
            const int pair = x & ~1;
            const int y = s[2 * x], u = s[2 * pair + 1], v = s[2 * pair + 3];
            const av::model::Bgr p =
                vector ? av::model::Yuy2ToBgrVector(y, u, v) : av::model::Yuy2ToBgrScalar(y, u, v);
            d[4 * x] = p.b;
            d[4 * x + 1] = p.g;
            d[4 * x + 2] = p.r;
            d[4 * x + 3] = 0xFF;
        }
    }
    return bgra;
}

Bytes ModelToYuy2(const Bytes& bgra, bool bottomUp) {
    using namespace av::model;
    const int vectorEnd = VectorVariant() ? (kWidth & ~31) : 0;
    Bytes yuy2(kYuy2Bytes);
    for (int row = 0; row < kHeight; ++row) {
        const uint8_t* s =
            bgra.data() + static_cast<size_t>(bottomUp ? kHeight - 1 - row : row) * kWidth * 4;
        uint8_t* d = yuy2.data() + static_cast<size_t>(row) * kWidth * 2;
        for (int x = 0; x < kWidth; x += 2) {
            const uint8_t* p = s + 4 * x;
            const int bs = p[0] + p[4], gs = p[1] + p[5], rs = p[2] + p[6];
            const bool v = x < vectorEnd;
            d[2 * x] = v ? LumaVector(p[0], p[1], p[2]) : LumaScalar(p[0], p[1], p[2]);
            d[2 * x + 1] = v ? PairUVector(bs, gs, rs) : PairUScalar(bs, gs, rs);
            d[2 * x + 2] = v ? LumaVector(p[4], p[5], p[6]) : LumaScalar(p[4], p[5], p[6]);
            d[2 * x + 3] = v ? PairVVector(bs, gs, rs) : PairVScalar(bs, gs, rs);
        }
    }
    return yuy2;
}

Bytes RandomBgra(uint32_t seed) {
    std::mt19937 random(seed);
    Bytes frame(kBgraBytes);
    for (auto& byte : frame)
        byte = static_cast<uint8_t>(random());
    return frame;
}

class FrameRoadTest : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
        ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
        // Frames begin at even fields.
        if (sim::FieldCount(0).value_or(0) % 2) {
            ASSERT_TRUE(sim::StepFields(0, 1));
        }
        // Every test starts from empty capture rings, whatever the card
        // captured while it was being opened.
        Bytes frame(kYuy2Bytes);
        while (Read(&frame)) {
        }
        Bytes samples(kAudioDrainBytes);
        uint64_t stamp = 0;
        while (Quorvel_Velmora_ReadOneAudioFrame(&stamp, samples.data(), 0)) {
        }
    }

    static void StepFrames(uint64_t frames) { ASSERT_TRUE(sim::StepFields(0, 2 * frames)); }

    static uint32_t Read(Bytes* frame, uint64_t* stamp = nullptr) {
        uint64_t ignored = 0;
        return Quorvel_Velmora_ReadOneVideoFrame(stamp ? stamp : &ignored, frame->data(), 0);
    }
    static uint32_t Write(uint64_t stamp, const Bytes& frame) {
        return Quorvel_Velmora_WriteOneVideoFrame(stamp, const_cast<uint8_t*>(frame.data()), 0);
    }
    static uint32_t CaptureStatus() {
        uint32_t status = 99;
        EXPECT_EQ(Quorvel_Velmora_GetVideoCaptureBufferStatus(&status, 0), 1u);
        return status;
    }
    static uint32_t PlaybackStatus() {
        uint32_t status = 99;
        EXPECT_EQ(Quorvel_Velmora_GetVideoPlaybackBufferStatus(&status, 0), 1u);
        return status;
    }
    static uint64_t PlayedCount() {
        return sim::PlayedVideo(0).value_or(sim::PlayedUnits{}).played;
    }
};

TEST_F(FrameRoadTest, PatternFramesComeInOrderWithPalStampsAndAsModelBgra) {
    StepFrames(3);
    Bytes frame(kYuy2Bytes);
    uint64_t stamps[3] = {};
    uint32_t numbers[3] = {};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(Read(&frame, &stamps[i]), 1u) << i;
        const auto number = sim::PatternFrameNumber(frame.data(), frame.size());
        ASSERT_TRUE(number.has_value());
        numbers[i] = *number;
        EXPECT_TRUE(frame == PatternFrame(numbers[i])) << i;
    }
    EXPECT_EQ(numbers[1], numbers[0] + 1);
    EXPECT_EQ(numbers[2], numbers[1] + 1);
    EXPECT_EQ(stamps[1] - stamps[0], kPalFrame);
    EXPECT_EQ(stamps[2] - stamps[1], kPalFrame);
    EXPECT_EQ(Read(&frame), 0u) << "the ring is empty";

    Bytes bgra(kBgraBytes);
    uint64_t stamp = 0;
    ASSERT_EQ(Quorvel_Velmora_SetVideoCaptureFrameType(VELMORA_FRAME_BGRA, 0), 1u);
    StepFrames(1);
    ASSERT_EQ(Read(&bgra, &stamp), 1u);
    EXPECT_EQ(stamp - stamps[2], kPalFrame);
    EXPECT_TRUE(bgra == ModelToBgra(PatternFrame(numbers[2] + 1), false));

    ASSERT_EQ(Quorvel_Velmora_SetVideoCaptureFrameType(VELMORA_FRAME_BGRA_BOTTOM_UP, 0), 1u);
    StepFrames(1);
    ASSERT_EQ(Read(&bgra), 1u);
    EXPECT_TRUE(bgra == ModelToBgra(PatternFrame(numbers[2] + 2), true));
}

TEST_F(FrameRoadTest, NtscStampsAndCardTime) {
    const auto cardTime = [] {
        uint64_t stamp = 0;
        EXPECT_EQ(Quorvel_Velmora_GetCardTimeStamp(&stamp, 0), 1u);
        return stamp;
    };
    // The counter ticks in 10 µs; the card's time stamp is one field ahead.
    EXPECT_EQ(cardTime(), *sim::CardTimeUs(0) / 10 * 100 + 200000);

    ASSERT_EQ(Quorvel_Velmora_SetVideoMode(VELMORA_VIDEO_MODE_NTSC, 0), 1u);
    if (sim::FieldCount(0).value_or(0) % 2) {
        ASSERT_TRUE(sim::StepFields(0, 1));
    }
    EXPECT_EQ(cardTime(), *sim::CardTimeUs(0) / 10 * 100 + 166833);

    // Drop what the PAL clock captured.
    Bytes frame(kYuy2Bytes);
    while (Read(&frame)) {
    }
    StepFrames(7);
    uint64_t stamps[7] = {};
    for (auto& stamp : stamps)
        ASSERT_EQ(Read(&frame, &stamp), 1u);
    for (int i = 1; i < 7; ++i) {
        const uint64_t step = stamps[i] - stamps[i - 1];
        EXPECT_TRUE(step == 333600 || step == 333700) << step;
    }
    // Six NTSC frames are 200.2 ms, to the counter's 10 µs.
    EXPECT_NEAR(static_cast<double>(stamps[6] - stamps[0]), 2002000.0, 100.0);

    // The field number is read at once, whatever the clock does.
    uint32_t before = 0, after = 0;
    ASSERT_EQ(Quorvel_Velmora_GetFieldNumber(&before, 0), 1u);
    ASSERT_TRUE(sim::StepFields(0, 1));
    ASSERT_EQ(Quorvel_Velmora_GetFieldNumber(&after, 0), 1u);
    EXPECT_NE(before & 1, after & 1);
}

TEST_F(FrameRoadTest, LoopbackReturnsPlayedFramesAndTheMonitorShowsThemAtTheirStamps) {
    ASSERT_TRUE(sim::SetVideoInput(0, sim::VideoInput::Loopback));
    const uint64_t startUs = *sim::CardTimeUs(0);
    const uint64_t startFrame = *sim::FieldCount(0) / 2;
    const uint64_t playedBefore = PlayedCount();
    std::vector<Bytes> frames;
    for (uint64_t j = 1; j <= 3; ++j) {
        frames.push_back(PatternFrame(1000 + j));
        // Each frame is due at the boundary that will play it.
        ASSERT_EQ(Write((startUs + 40000 * j) * 10, frames.back()), 1u);
    }
    EXPECT_EQ(PlaybackStatus(), 0u);

    StepFrames(4);
    Bytes frame(kYuy2Bytes);
    ASSERT_EQ(Read(&frame), 1u);  // captured before anything was played
    for (const Bytes& expected : frames) {
        ASSERT_EQ(Read(&frame), 1u);
        EXPECT_TRUE(frame == expected);
    }
    EXPECT_EQ(PlaybackStatus(), 1u);

    const auto played = sim::PlayedVideo(0);
    ASSERT_TRUE(played.has_value());
    ASSERT_EQ(played->played - playedBefore, 3u);
    ASSERT_GE(played->recent.size(), 3u);
    for (size_t j = 0; j < 3; ++j) {
        const sim::SimPlayedUnit& unit = played->recent[played->recent.size() - 3 + j];
        EXPECT_EQ(unit.checksum, sim::PlayedChecksum(frames[j].data(), frames[j].size())) << j;
        EXPECT_EQ(unit.frame, startFrame + j + 1) << j;
        // Played at the boundary its stamp names (the card keeps 10 µs ticks).
        EXPECT_EQ(unit.stamp, (startUs + 40000 * (unit.frame - startFrame)) / 10) << j;
    }

    // A flush drops what is queued; nothing more is played.
    const uint64_t next = (startUs + 40000 * 10) * 10;
    for (uint64_t j = 0; j < 3; ++j)
        ASSERT_EQ(Write(next + j * kPalFrame, frames[j]), 1u);
    EXPECT_EQ(PlaybackStatus(), 0u);
    ASSERT_EQ(Quorvel_Velmora_FlushVideoPlaybackBuffer(0), 1u);
    EXPECT_EQ(PlaybackStatus(), 1u);
    StepFrames(2);
    EXPECT_EQ(PlayedCount() - playedBefore, 3u);
}

TEST_F(FrameRoadTest, BgraFramesPlayAsTheModelsYuy2) {
    ASSERT_TRUE(sim::SetVideoInput(0, sim::VideoInput::Loopback));
    const Bytes topDown = RandomBgra(1);
    const Bytes bottomUp = RandomBgra(2);
    ASSERT_EQ(Quorvel_Velmora_SetVideoPlaybackFrameType(VELMORA_FRAME_BGRA, 0), 1u);
    ASSERT_EQ(Write(kPalFrame, topDown), 1u);
    ASSERT_EQ(Quorvel_Velmora_SetVideoPlaybackFrameType(VELMORA_FRAME_BGRA_BOTTOM_UP, 0), 1u);
    ASSERT_EQ(Write(2 * kPalFrame, bottomUp), 1u);

    StepFrames(3);
    Bytes frame(kYuy2Bytes);
    ASSERT_EQ(Read(&frame), 1u);
    ASSERT_EQ(Read(&frame), 1u);
    EXPECT_TRUE(frame == ModelToYuy2(topDown, false));
    ASSERT_EQ(Read(&frame), 1u);
    EXPECT_TRUE(frame == ModelToYuy2(bottomUp, true));
}

TEST_F(FrameRoadTest, BufferStatusesFollowTheRings) {
    uint32_t audio = 99;
    EXPECT_EQ(CaptureStatus(), 1u);
    ASSERT_EQ(Quorvel_Velmora_GetAudioCaptureBufferStatus(&audio, 0), 1u);
    EXPECT_EQ(audio, 1u);
    StepFrames(3);
    EXPECT_EQ(CaptureStatus(), 0u);
    StepFrames(8);
    EXPECT_EQ(CaptureStatus(), 2u);
    ASSERT_EQ(Quorvel_Velmora_GetAudioCaptureBufferStatus(&audio, 0), 1u);
    EXPECT_EQ(audio, 2u);
    Bytes frame(kYuy2Bytes);
    ASSERT_EQ(Read(&frame), 1u);
    EXPECT_EQ(CaptureStatus(), 0u);

    ASSERT_EQ(Quorvel_Velmora_GetAudioPlaybackBufferStatus(&audio, 0), 1u);
    EXPECT_EQ(audio, 1u);
    EXPECT_EQ(PlaybackStatus(), 1u);
    for (uint64_t j = 1; j <= 8; ++j)
        ASSERT_EQ(Write(j * kPalFrame, frame), 1u) << j;
    EXPECT_EQ(PlaybackStatus(), 2u);
    EXPECT_EQ(Write(9 * kPalFrame, frame), 0u) << "full";
    StepFrames(1);
    EXPECT_EQ(PlaybackStatus(), 0u);
    EXPECT_EQ(Write(9 * kPalFrame, frame), 1u);
}

TEST_F(FrameRoadTest, InjectedFaultsFailWithinASecondAndTheNextCallWorks) {
    StepFrames(2);
    Bytes frame(kYuy2Bytes);
    const auto timed = [](auto call) {
        const auto start = Clock::now();
        const uint32_t result = call();
        EXPECT_LT(Clock::now() - start, ::velmora::test::kHangBound) << "hang";
        return result;
    };
    const uint32_t dmaChannel = 0;  // card 0's channel-0 workers

    ASSERT_TRUE(sim::SetDmaFault(0, dmaChannel, sim::DmaFault::NeverCompletes));
    EXPECT_EQ(timed([&] { return Read(&frame); }), 0u);
    ASSERT_EQ(Read(&frame), 1u) << "the failed frame stayed in the ring";
    const auto first = sim::PatternFrameNumber(frame.data(), frame.size());

    ASSERT_TRUE(sim::SetReadDoneNeverRises(0, true));
    EXPECT_EQ(timed([&] { return Read(&frame); }), 0u);
    ASSERT_TRUE(sim::SetReadDoneNeverRises(0, false));
    ASSERT_EQ(Read(&frame), 1u);
    EXPECT_EQ(sim::PatternFrameNumber(frame.data(), frame.size()), *first + 1);

    const uint64_t playedBefore = PlayedCount();
    ASSERT_TRUE(sim::SetDmaFault(0, dmaChannel, sim::DmaFault::NeverCompletes));
    EXPECT_EQ(timed([&] { return Write(kPalFrame, frame); }), 0u);
    EXPECT_EQ(PlaybackStatus(), 1u);
    ASSERT_EQ(Write(kPalFrame, frame), 1u) << "the failed stamp was not kept";
    StepFrames(1);
    EXPECT_EQ(PlayedCount(), playedBefore + 1);
}

// A card whose open failed has no workers: every channel call refuses.
TEST_F(FrameRoadTest, ChannelCallsOfACardWhoseOpenFailedReturnZero) {
    ASSERT_EQ(Quorvel_Velmora_OpenCard(1), 0u);
    Bytes frame(kBgraBytes);
    uint64_t stamp = 0;
    uint32_t status = 0;
    EXPECT_EQ(Quorvel_Velmora_ReadOneVideoFrame(&stamp, frame.data(), 1), 0u);
    EXPECT_EQ(Quorvel_Velmora_WriteOneVideoFrame(kPalFrame, frame.data(), 1), 0u);
    EXPECT_EQ(Quorvel_Velmora_ReadOneAudioFrame(&stamp, frame.data(), 1), 0u);
    EXPECT_EQ(Quorvel_Velmora_WriteOneAudioFrame(kPalFrame, frame.data(), 1), 0u);
    EXPECT_EQ(Quorvel_Velmora_GetVideoCaptureBufferStatus(&status, 1), 0u);
    EXPECT_EQ(Quorvel_Velmora_GetAudioPlaybackBufferStatus(&status, 1), 0u);
    EXPECT_EQ(Quorvel_Velmora_SetVideoCaptureFrameType(VELMORA_FRAME_BGRA, 1), 0u);
    EXPECT_EQ(Quorvel_Velmora_FlushVideoPlaybackBuffer(1), 0u);
    EXPECT_EQ(Quorvel_Velmora_VideoCaptureStart(1), 0u);
    EXPECT_EQ(Quorvel_Velmora_GetCardTimeStamp(&stamp, 1), 0u);
    EXPECT_EQ(Card(1)->GetApi()->ReadOneVideoFrame32(9, nullptr, frame.data()), 0u);
}

// The process's first open builds its workers but clears the frame rings
// only for the first opener in the system; the process's last close deletes
// them and stops the captures only for the last user in the system.
TEST_F(FrameRoadTest, WorkersFollowTheProcessAndTheRingsTheSystem) {
    card::CVelmoraMainFunc* main = Card(0)->GetMainFunc();
    ASSERT_NE(main->VideoCaptureWorker(0), nullptr);
    constexpr uint32_t kCaptureRing = 0x65400 * 4;
    const uint32_t marker = 0x12345678;
    const auto markerKept = [&] {
        uint32_t word = 0;
        EXPECT_TRUE(sim::PeekMemory(0, kCaptureRing, &word, sizeof(word)));
        return word == marker;
    };
    const auto filled = [] { return sim::VideoCaptureCounts(0)->filled; };

    // Another process is still using the card.
    ASSERT_EQ(main->Exit(0, 1), 1u);
    EXPECT_EQ(main->VideoCaptureWorker(0), nullptr);
    EXPECT_EQ(main->AudioPlaybackWorker(0), nullptr);
    uint64_t before = filled();
    StepFrames(1);
    EXPECT_EQ(filled(), before + 1) << "capture goes on for the other process";

    ASSERT_TRUE(sim::PokeMemory(0, kCaptureRing, &marker, sizeof(marker)));
    ASSERT_EQ(main->Init(0, 1), 1u);
    EXPECT_NE(main->VideoCaptureWorker(0), nullptr);
    EXPECT_NE(main->AudioCaptureWorker(0), nullptr);
    EXPECT_EQ(main->VideoPlaybackWorker(0)->GetDmaChannel(), 0u);
    EXPECT_TRUE(markerKept());

    // The last user in the system stops the captures.
    ASSERT_EQ(main->Exit(1, 1), 1u);
    before = filled();
    StepFrames(1);
    EXPECT_EQ(filled(), before);

    // The first opener in the system clears the rings.
    ASSERT_EQ(main->Init(1, 1), 1u);
    EXPECT_FALSE(markerKept());
}

// The main function as the card builds it, with no memory for the clearing.
class NoMemoryMainFunc : public card::CVelmoraMainFunc {
  public:
    using CVelmoraMainFunc::CVelmoraMainFunc;

  protected:
    std::unique_ptr<uint32_t[]> AllocateClearBuffer() override { return nullptr; }
};

TEST_F(FrameRoadTest, ClearingWithoutMemoryFailsAndLeavesTheChannelFree) {
    NoMemoryMainFunc starved(0, Card(0)->GetBoardSupport(), nullptr);
    EXPECT_EQ(starved.ClearFrameMemory(), 0u);
    EXPECT_EQ(starved.Init(1, 1), 0u);
    // Another thread takes the channel at once (detached, so that a channel
    // left locked fails the test instead of hanging it).
    auto result = std::make_shared<std::promise<uint32_t>>();
    std::future<uint32_t> cleared = result->get_future();
    card::CVelmoraMainFunc* main = Card(0)->GetMainFunc();
    std::thread([main, result] { result->set_value(main->ClearFrameMemory()); }).detach();
    ASSERT_EQ(cleared.wait_for(::velmora::test::kHangBound), std::future_status::ready);
    EXPECT_EQ(cleared.get(), 1u);
}

// Moves one unit through a ring of card 0 and marks it apart from every
// other: a captured video frame by the frame number its pattern carries, a
// captured audio block by its stamp, a played unit by the mark it was written
// with. Nothing once the card answers 0.
struct RingUser {
    const char* name;
    uint64_t step;  // between the marks of two captured units in a row
    // Of the two-process tests: enough that the processes meet at the ring's
    // end many times over (an audio block moves much faster than a frame).
    size_t rounds;
    std::optional<uint64_t> (*use)();
    // Of a playback ring: the mark of the unit the card played last.
    uint64_t (*played)();
};

std::optional<uint64_t> ReadVideoMark() {
    static Bytes frame(kYuy2Bytes);
    uint64_t stamp = 0;
    if (!Quorvel_Velmora_ReadOneVideoFrame(&stamp, frame.data(), 0)) return std::nullopt;
    return sim::PatternFrameNumber(frame.data(), frame.size()).value_or(~0u);
}

std::optional<uint64_t> ReadAudioMark() {
    static Bytes samples(kAudioDrainBytes);
    uint64_t stamp = 0;
    if (!Quorvel_Velmora_ReadOneAudioFrame(&stamp, samples.data(), 0)) return std::nullopt;
    return stamp;
}

// The units this process queued into a playback ring, and a bit (1 in the
// peer) that keeps its marks apart from the other process's.
uint64_t g_Queued = 0;
uint64_t g_WriterBit = 0;

// Writes this process's next unit, marked by the units it queued so far,
// doubled, plus its bit. The stamps go a frame a queued unit, so each is newer
// than the last and due once the card has passed more frames than both
// processes queued.
template <typename Write>
std::optional<uint64_t> WriteMarked(Write write) {
    const uint64_t mark = 2 * g_Queued + g_WriterBit;
    if (!write(mark, (g_Queued + 1) * kPalFrame)) return std::nullopt;
    ++g_Queued;
    return mark;
}

std::optional<uint64_t> WriteVideoMark() {
    static Bytes frame = PatternFrame(0);
    return WriteMarked([](uint64_t mark, uint64_t stamp) {
        // Only the number is written again: a frame filled anew each time
        // would keep the writers from meeting at the ring's end.
        for (uint32_t bit = 0; bit < SimVideoPattern::kNumberPixels; ++bit) {
            const bool one = (mark >> (SimVideoPattern::kNumberPixels - 1 - bit)) & 1;
            frame[2 * bit] = one ? SimVideoPattern::kOne : SimVideoPattern::kZero;
        }
        return Quorvel_Velmora_WriteOneVideoFrame(stamp, frame.data(), 0);
    });
}

// An audio frame whose every sample is the mark: what the card plays holds it
// too, whatever the rate conversion does at the frame's start.
constexpr size_t kAudioMarkPair = 1000;

std::optional<uint64_t> WriteAudioMark() {
    static std::vector<uint32_t> samples(1920);
    return WriteMarked([](uint64_t mark, uint64_t stamp) {
        std::fill(samples.begin(), samples.end(), static_cast<uint32_t>(mark * 0x10001));
        return Quorvel_Velmora_WriteOneAudioFrame(stamp, samples.data(), 0);
    });
}

uint64_t PlayedVideoMark() {
    Bytes frame;
    sim::LastPlayedVideoFrame(0, &frame);
    return sim::PatternFrameNumber(frame.data(), frame.size()).value_or(~0u);
}

uint64_t PlayedAudioMark() {
    Bytes block;
    uint32_t pair = ~0u;
    if (sim::LastPlayedAudioBlock(0, &block))
        std::memcpy(&pair, block.data() + 4 * kAudioMarkPair, sizeof(pair));
    return pair & 0xFFFF;
}

constexpr RingUser kRingUsers[] = {{"video capture", 1, 250, ReadVideoMark, nullptr},
                                   {"audio capture", kPalFrame, 1000, ReadAudioMark, nullptr},
                                   {"video playback", 0, 100, WriteVideoMark, PlayedVideoMark},
                                   {"audio playback", 0, 400, WriteAudioMark, PlayedAudioMark}};

// The peer's row of kRingUsers, and the pipe ends it is told on and sends its
// marks on, each round's followed by kRoundEnd.
constexpr char kPeerRing[] = "VELMORA_TEST_FRAME_PEER_RING";
constexpr char kPeerTold[] = "VELMORA_TEST_FRAME_PEER_TOLD";
constexpr char kPeerSent[] = "VELMORA_TEST_FRAME_PEER_SENT";
constexpr uint64_t kRoundEnd = ~uint64_t{0};

// The next value from a pipe end; nothing when none comes in time.
template <typename T>
std::optional<T> Receive(int fd) {
    T value{};
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, ::velmora::test::kHangBoundMs) != 1 ||
        read(fd, &value, sizeof(value)) != sizeof(value))
        return std::nullopt;
    return value;
}

// Another process using the same card: this test program started again with
// only this test. Each time it is told to, it uses its ring until the card
// answers 0 and sends back the marks of the units it moved.
TEST(FrameRoadPeerProcess, UsesARingWhenTold) {
    const char* row = std::getenv(kPeerRing);
    if (!row) GTEST_SKIP() << "runs as the peer process of the two-process tests";
    const RingUser& user = kRingUsers[std::atoi(row)];
    const int told = std::atoi(std::getenv(kPeerTold));
    const int sent = std::atoi(std::getenv(kPeerSent));
    const auto send = [sent](uint64_t mark) {
        return write(sent, &mark, sizeof(mark)) == sizeof(mark);
    };
    g_WriterBit = 1;
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    ASSERT_TRUE(send(kRoundEnd));
    while (Receive<char>(told).value_or(0)) {
        while (const auto mark = user.use())
            ASSERT_TRUE(send(*mark));
        ASSERT_TRUE(send(kRoundEnd));
    }
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
}

// The peer process on row `row` of kRingUsers, opened.
class RingPeer {
  public:
    explicit RingPeer(size_t row)
        : m_Image("FrameRoadPeerProcess.UsesARingWhenTold",
                  {{kPeerRing, std::to_string(row)},
                   {kPeerTold, std::to_string(m_Told.ReadEnd())},
                   {kPeerSent, std::to_string(m_Sent.WriteEnd())}}),
          m_Peer([this] { return m_Image.ExecQuietly(); }),
          m_bOpened(Receive<uint64_t>(m_Sent.ReadEnd()) == kRoundEnd) {}

    bool Opened() const { return m_bOpened; }
    bool StartRound() { return m_Told.Signal(1); }
    // Adds the marks of the peer's round; false when it stopped.
    bool ReceiveRound(std::vector<uint64_t>* marks) {
        for (auto mark = Receive<uint64_t>(m_Sent.ReadEnd()); mark != kRoundEnd;
             mark = Receive<uint64_t>(m_Sent.ReadEnd())) {
            if (!mark) return false;
            marks->push_back(*mark);
        }
        return true;
    }
    int End() {
        m_Told.Signal(0);
        return m_Peer.Wait();
    }

  private:
    platform::test::Pipe m_Told, m_Sent;
    const platform::test::TestPeerImage m_Image;
    platform::test::Child m_Peer;
    bool m_bOpened;
};

// Two processes read one ring of the card at once: each unit goes to one of
// them, each gets its units in order, and one that finds the ring empty gets
// 0, never a unit read before. Card time moves a few frames a round, then
// both read until the card answers 0.
TEST_F(FrameRoadTest, TwoProcessesReadingOneRingGetEachUnitOnce) {
    constexpr uint64_t kFramesARound = 7;
    const auto inOrder = [](const std::vector<uint64_t>& marks) {
        return std::adjacent_find(marks.begin(), marks.end(), std::greater_equal<>()) ==
               marks.end();
    };
    for (size_t row = 0; row < std::size(kRingUsers); ++row) {
        const RingUser& reader = kRingUsers[row];
        if (reader.played) continue;
        SCOPED_TRACE(reader.name);
        while (reader.use()) {
        }
        RingPeer peer(row);
        ASSERT_TRUE(peer.Opened()) << "the peer did not open";
        std::vector<uint64_t> mine, theirs;
        for (size_t round = 0; round < reader.rounds; ++round) {
            StepFrames(kFramesARound);
            ASSERT_TRUE(peer.StartRound());
            while (const auto mark = reader.use())
                mine.push_back(*mark);
            ASSERT_TRUE(peer.ReceiveRound(&theirs)) << "the peer stopped reading";
        }
        EXPECT_EQ(peer.End(), 0);
        EXPECT_TRUE(inOrder(mine));
        EXPECT_TRUE(inOrder(theirs));
        std::vector<uint64_t> all = mine;
        all.insert(all.end(), theirs.begin(), theirs.end());
        std::sort(all.begin(), all.end());
        EXPECT_EQ(all.size(), reader.rounds * kFramesARound);
        const auto gap = std::adjacent_find(
            all.begin(), all.end(), [&](uint64_t a, uint64_t b) { return b - a != reader.step; });
        EXPECT_TRUE(gap == all.end()) << "read twice or lost after " << *gap;
    }
}

// Two processes write one playback ring of the card at once, its clock
// stopped, until the card answers 0: the ring then holds 8 units, and the card
// plays each unit a write answered 1 for once, none written over by the other
// process.
TEST_F(FrameRoadTest, TwoProcessesWritingOneRingQueueEachUnitOnce) {
    constexpr size_t kRingUnits = 8;
    // The first stamps are due.
    StepFrames(kRingUnits + 2);
    for (size_t row = 0; row < std::size(kRingUsers); ++row) {
        const RingUser& writer = kRingUsers[row];
        if (!writer.played) continue;
        SCOPED_TRACE(writer.name);
        g_Queued = 0;
        RingPeer peer(row);
        ASSERT_TRUE(peer.Opened()) << "the peer did not open";
        for (size_t round = 0; round < writer.rounds; ++round) {
            ASSERT_TRUE(peer.StartRound());
            std::vector<uint64_t> queued, played;
            while (const auto mark = writer.use())
                queued.push_back(*mark);
            ASSERT_TRUE(peer.ReceiveRound(&queued)) << "the peer stopped writing";
            // Every unit is late, so one plays at each frame.
            for (size_t unit = 0; unit < kRingUnits; ++unit) {
                StepFrames(1);
                played.push_back(writer.played());
            }
            std::sort(queued.begin(), queued.end());
            std::sort(played.begin(), played.end());
            ASSERT_EQ(queued, played) << "round " << round;
        }
        EXPECT_EQ(peer.End(), 0);
    }
}

}  // namespace
}  // namespace velmora::cardtest

#pragma once

// What the transport-stream card tests share: the card fixture, playback
// on the card, the application side of a capture on the card's manual clock,
// and the peer process that the multi-process tests start (its modes are in
// TsCaptureProcessTest.cpp).

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "CardTestSupport.h"
#include "PlatformTestSupport.h"
#include "TsEngineTestSupport.h"
#include "hw/VelmoraFpga.h"
#include "platform/Paths.h"
#include "sim/SimAsiEngine.h"
#include "sim/SimCard.h"
#include "sim/SimDriver.h"
#include "sim/SimTsGenerator.h"
#include "ts/AsiPort.h"
#include "ts/TsDemultiplexer.h"
#include "ts/TsProgramEngine.h"

namespace velmora::tstest {
namespace {

class TsCardTest : public cardtest::CardTest {
  public:
    // The fixture is a short loop at 1.2 Mbit/s; these tests want many
    // packets of it soon, so the card delivers it at the generator's rate.
    static void UseFixture() {
        ASSERT_TRUE(
            sim::SetAsiInput(0, sim::SimAsiSource::File, DataPath("psi_three_programs.ts")));
        ASSERT_TRUE(sim::SetAsiInputRate(0, sim::SimAsiEngine::kDefaultInputRate));
    }
    static void Open() { ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u); }

    // `count` captured packets; `turn`, when given, runs before each look.
    static std::vector<Bytes> Capture(size_t count, uint32_t length = 188,
                                      const std::function<void()>& turn = {}) {
        std::vector<Bytes> packets;
        WaitFor(
            [&] {
                if (turn) turn();
                uint32_t ready = 0;
                Quorvel_Velmora_TsCaptureGetFillBufferNum(&ready, 0);
                ready = std::min<uint32_t>(ready, static_cast<uint32_t>(count - packets.size()));
                if (ready == 0) return packets.size() == count;
                Bytes data(size_t{ready} * length);
                if (Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(data.data(), ready, 0)) {
                    for (uint32_t i = 0; i < ready; ++i) {
                        packets.emplace_back(data.begin() + i * length,
                                             data.begin() + (i + 1) * length);
                    }
                }
                return packets.size() == count;
            },
            std::to_string(count) + " captured packets");
        return packets;
    }

    // Reads and drops what the capture holds.
    static void DropCaptured() {
        uint32_t ready = 0;
        Quorvel_Velmora_TsCaptureGetFillBufferNum(&ready, 0);
        Bytes data(size_t{ready} * 188);
        if (ready) Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(data.data(), ready, 0);
    }

    static TS_PROGRAM_INFORMATION* ProgramInformation() {
        static TS_PROGRAM_INFORMATION info;
        uint32_t state = 0;
        if (!WaitFor([&] {
                return Quorvel_Velmora_TsCaptureGetProgramInformation(&info, &state, 0) == 1 &&
                       state == 2;
            })) {
            return nullptr;
        }
        return &info;
    }

    // A program filter is taken once the PMTs and the SDT are analysed as
    // well; the program information is given from the PAT on, so a slow
    // process may set the filter before that.
    static bool FilterTaken(int32_t count, FILTERED_PROGRAM* list) {
        return WaitFor(
            [&] { return Quorvel_Velmora_TsCaptureSetFilteredProgram(count, list, 0) == 1; });
    }

    // Writes every packet into the playback ring as room comes.
    static bool Play(const std::vector<Bytes>& packets, uint32_t length) {
        size_t done = 0;
        return WaitFor([&] {
            uint32_t room = 0;
            Quorvel_Velmora_TsPlaybackGetEmptyBufferNum(&room, 0);
            const size_t n = std::min<size_t>(room, packets.size() - done);
            if (n > 0) {
                Bytes data;
                for (size_t i = 0; i < n; ++i) {
                    data.insert(data.end(), packets[done + i].begin(),
                                packets[done + i].begin() + length);
                }
                if (!Quorvel_Velmora_TsPlaybackWritePacketsToBuffer(data.data(),
                                                                    static_cast<uint32_t>(n), 0)) {
                    return false;
                }
                done += n;
            }
            return done == packets.size();
        });
    }

    // A file of the test's own, removed with its folder after the test.
    std::string TempPath(const char* name) const { return m_temp.File(name); }

  private:
    const platform::test::TempDir m_temp;
};

inline std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Plays packets at `rate` and checks the tap: the bytes written, and the
// rate the played ticks give. "" when all holds, else what did not.
// With `rateAfterStart` code-rate tracking starts the engine before any rate
// is set, and the rate comes after.
inline std::string PacedPlayback(uint32_t rate, uint32_t length, bool rateAfterStart = false) {
    const platform::test::TempDir temp;
    const std::string tap = temp.File("tap");
    if (!sim::SetAsiOutputTap(0, tap)) return "no tap";
    // The range is the one of the length the enable below takes, whichever
    // length played last. A rate taken here is replaced by `rate` before the
    // enable; with `rateAfterStart` none may be taken.
    const bool wide = length == 204;
    const uint32_t low = wide ? VELMORA_TS_MIN_BIT_RATE_204 : VELMORA_TS_MIN_BIT_RATE_188;
    const uint32_t high = wide ? VELMORA_TS_MAX_BIT_RATE_204 : VELMORA_TS_MAX_BIT_RATE_188;
    const std::pair<uint32_t, uint32_t> rates[] = {
        {0, 0}, {216000000, 0}, {100, 0}, {low - 1, 0}, {high + 1, 0}, {low, 1}, {high, 1}};
    for (const auto& [tried, taken] : rates) {
        if (rateAfterStart && taken) continue;
        if (Quorvel_Velmora_TsPlaybackSetBitRate(tried, 0) != taken)
            return "rate " + std::to_string(tried) + (taken ? " refused" : " taken");
    }
    if (rateAfterStart) {
        if (!Quorvel_Velmora_TsSetAsiCodeRateTrackStart(1, 0) ||
            !Quorvel_Velmora_TsPlaybackEnable(0)) {
            return "playback did not start";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!Quorvel_Velmora_TsPlaybackSetBitRate(rate, 0)) return "rate refused";
    } else if (!Quorvel_Velmora_TsPlaybackSetBitRate(rate, 0) ||
               !Quorvel_Velmora_TsPlaybackEnable(0)) {
        return "playback did not start";
    }
    std::vector<Bytes> packets = GeneratorPackets(0, 14000);
    for (Bytes& p : packets)
        p.resize(length, 0x5A);
    if (!TsCardTest::Play(packets, length)) return "packets not taken";
    constexpr size_t kChecked = 2000;
    std::vector<sim::SimAsiPlayedPacket> played;
    const bool enough = WaitFor(
        [&] {
            played = sim::ReadAsiOutputTap(tap);
            return played.size() >= kChecked;
        },
        "the packets played out");
    Quorvel_Velmora_TsPlaybackDisable(0);
    sim::SetAsiOutputTap(0, "");
    if (!enough) return "only " + std::to_string(played.size()) + " packets played";
    for (size_t i = 0; i < kChecked; ++i) {
        if (played[i].length != length) return "played length " + std::to_string(played[i].length);
        if (Bytes(played[i].bytes, played[i].bytes + length) != packets[i]) {
            return "packet " + std::to_string(i) + " differs";
        }
    }
    // Between the first and the last checked packet: kChecked - 1 packets.
    const double ticks =
        static_cast<double>(played[kChecked - 1].playedTick - played[0].playedTick);
    const double measured = (kChecked - 1) * length * 8.0 * 27000000.0 / ticks;
    if (std::abs(measured / rate - 1.0) > 1e-4) return "rate " + std::to_string(measured);
    return "";
}

// Packets of one player: enough for the engine to start its DMA, few enough
// to leave part of the card's window unwritten.
constexpr size_t kPlayerPackets = 13000;

// Plays kPlayerPackets packets of `pid` fast, waits until the card has played
// as many (or until `playedOut` holds) and disables; false when a step fails.
inline bool PlayOut(uint16_t pid, std::function<bool()> playedOut = {}) {
    const uint64_t before = sim::PlayedAsiPackets(0)->played;
    if (!playedOut)
        playedOut = [&] { return sim::PlayedAsiPackets(0)->played >= before + kPlayerPackets; };
    std::vector<Bytes> packets = GeneratorPackets(0, kPlayerPackets);
    for (Bytes& p : packets)
        p[1] = static_cast<uint8_t>(pid >> 8), p[2] = static_cast<uint8_t>(pid);
    if (!Quorvel_Velmora_TsPlaybackSetBitRate(150000000, 0) ||
        !Quorvel_Velmora_TsPlaybackEnable(0) || !TsCardTest::Play(packets, 188)) {
        return false;
    }
    const bool out = WaitFor(playedOut, "the packets played out");
    return Quorvel_Velmora_TsPlaybackDisable(0) == 1 && out;
}

constexpr uint32_t kBlockC = 0x200;
constexpr uint32_t kInputEnable = 1u << 4;
constexpr uint32_t kInputCommit = 1u << 0;
constexpr uint32_t kRegRead = hw::CVelmoraFpga::kRegAsiInputReadPointer;
constexpr uint32_t kRegWrite = hw::CVelmoraFpga::kRegAsiInputWritePointer;
// The card's input window, and the capture's two rings, in packets.
constexpr uint64_t kWindow = ts::CTsDemultiplexer::kRingElements;
constexpr uint64_t kRingsHold = 2 * (kWindow - 1);

inline bool InputEnabled() {
    return (sim::PeekRegister(0, kBlockC).value_or(0) & kInputEnable) != 0;
}

// Units from card word `pointer` to the window's end.
inline uint32_t UnitsToWindowEnd(uint32_t pointer) {
    return (ts::CAsiInputPort::kDefaultEndWord - pointer) / ts::kAsiUnitWords;
}
inline uint32_t UnitsToEnd(uint32_t reg) {
    return UnitsToWindowEnd(sim::PeekRegister(0, reg).value());
}

// The entries the card holds behind the read pointer it was last given,
// whoever gave it.
inline uint64_t CardHolds() {
    return (UnitsToEnd(kRegRead) + kWindow - UnitsToEnd(kRegWrite)) % kWindow;
}

// Packets that reached the card's input while it was on: captured or lost.
inline uint64_t Received() {
    const auto counts = sim::AsiCaptureCounts(0);
    return counts->captured + counts->overflows;
}

// The generator's number of the next packet to reach the card's input (the
// card's count of arrivals, on or off).
inline uint64_t NextArrival() {
    uint64_t next = 0;
    const auto card = sim::SimDriver::Instance().HoldCard(0);
    if (card) card->WithState([&](sim::SimCardState& state) { next = state.asi.arrivals; });
    return next;
}

// The name of the mutex of the board's DMA channel `channel`.
inline std::string DmaChannelMutex(int channel) {
    char name[64];
    std::snprintf(name, sizeof(name), "QuorvelPciBridgeDma%dMutex_%d_%d_0", channel,
                  sim::SimCard::kVendorId, sim::SimCard::kDeviceId);
    return name;
}

// Where the first packet of `run` that carries a PCR is (its size if none).
inline size_t FirstPcrAt(const std::vector<Bytes>& run) {
    for (size_t at = 0; at < run.size(); ++at) {
        const uint8_t* p = run[at].data();
        if ((p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10)) return at;
    }
    return run.size();
}

// The generator's number of the first packet of `run`, read from its first
// PCR; none without one.
inline std::optional<uint64_t> GeneratorIndexOfFirst(const std::vector<Bytes>& run) {
    const size_t at = FirstPcrAt(run);
    if (at == run.size()) return std::nullopt;
    const uint8_t* p = run[at].data();
    const uint64_t base = (uint64_t{p[6]} << 25) | (uint64_t{p[7]} << 17) | (uint64_t{p[8]} << 9) |
                          (uint64_t{p[9]} << 1) | (p[10] >> 7);
    const uint64_t pcr = base * 300 + (((p[10] & 1u) << 8) | p[11]);
    const uint64_t index = pcr / sim::SimTsGenerator::kTicksPerPacket;
    return index >= at ? std::optional<uint64_t>(index - at) : std::nullopt;
}

// The count of the last "packets dropped" line of this process's log from
// byte `from` on: what the capture lost by then; 0 without one.
inline uint64_t LoggedDrops(size_t from) {
    const std::string text = cardtest::LogText();
    constexpr std::string_view kLine = " packets dropped";
    const size_t end = text.rfind(kLine);
    if (end == std::string::npos || end < from) return 0;
    const size_t start = text.rfind(' ', end - 1);
    return std::strtoull(text.c_str() + start + 1, nullptr, 10);
}

// The application side of one capture on the manual clock: it moves card
// time on only while it keeps up, takes what the card passes on and checks
// each packet against the generator as it comes (a 204-byte packet with 16
// zero bytes after the 188 sent).
class SteppedCapture {
  public:
    // The most packets that arrived after the restart and that the capture
    // has not yet read when the clock is stepped: two of the program
    // engine's chunks, which it passes on whole while packets keep coming.
    static constexpr uint64_t kMostBehind = 2 * ts::kChunkBytes / 188;

    explicit SteppedCapture(uint32_t length = 188) : m_length(length) {}

    // Steps the clock by a field when fewer than kMostBehind of the packets
    // that arrived since the restart wait to be read (and `mayStep`, when
    // given, allows it), then takes what is ready, at most `most`.
    void Turn(uint64_t most = UINT64_MAX, const std::function<bool()>& mayStep = {}) {
        if (Behind() < kMostBehind && (!mayStep || mayStep())) sim::StepFields(0, 1);
        Take(most);
    }
    // Takes `count` more packets; false when they do not come.
    bool TakeMore(uint64_t count, const std::function<bool()>& mayStep = {}) {
        const uint64_t goal = m_count + count;
        return WaitFor(
            [&] {
                Turn(goal - m_count, mayStep);
                return m_count >= goal;
            },
            std::to_string(goal) + " captured packets");
    }
    // Takes, without stepping the clock, every packet that arrived since the
    // restart: none waits for this capture afterwards. Only for a capture
    // that has lost nothing since.
    bool TakeAll() {
        return WaitFor(
            [&] {
                Take(UINT64_MAX);
                return Behind() == 0;
            },
            "every packet arrived read");
    }
    // From now on, what the card captures is what this capture should get:
    // one new stretch of the stream.
    void Restart() {
        m_base = sim::AsiCaptureCounts(0)->captured;
        m_count = 0;
        m_next.reset();
        m_first.reset();
        m_pending.clear();
        m_gaps.clear();
        m_whole = true;
    }
    // Takes what is ready without stepping the clock, as another process
    // would; a gap in the stream is measured, and the stretch goes on after
    // it.
    void TakeAcrossGaps() {
        m_acrossGaps = true;
        Take(UINT64_MAX);
    }
    // Packets missing from the gaps measured: those the stretch's span leaves
    // out, which needs no packet's place between two gaps.
    uint64_t Missing() const {
        return m_next && m_first ? *m_next - *m_first - m_count : m_missing;
    }
    uint64_t Count() const { return m_count; }
    // Whether every packet taken since the restart continues one stretch;
    // if not, where it first broke and what came there.
    testing::AssertionResult Whole() const {
        if (!m_whole) {
            return testing::AssertionFailure()
                   << m_break << "; its log counts " << LoggedDrops(0) << " dropped by now";
        }
        if (!m_next) return testing::AssertionFailure() << "no packet placed in the stream";
        return testing::AssertionSuccess();
    }
    // The generator's number of the packet that continues the stretch; none
    // before the first packet is placed, and after a gap until a PCR places
    // the packets after it.
    std::optional<uint64_t> Next() const { return m_next; }
    // The generator's number of the stretch's first packet.
    std::optional<uint64_t> First() const { return m_first; }
    // A gap measured across: the generator's numbers of the last packet
    // before it and of the first after it.
    struct Gap {
        uint64_t last;
        uint64_t first;
    };
    const std::vector<Gap>& Gaps() const { return m_gaps; }

  private:
    // Packets that arrived since the restart and that this capture has not
    // read (lost ones included).
    uint64_t Behind() const {
        const uint64_t captured = sim::AsiCaptureCounts(0)->captured;
        return captured > m_base + m_count ? captured - m_base - m_count : 0;
    }
    void Take(uint64_t most) {
        uint32_t ready = 0;
        Quorvel_Velmora_TsCaptureGetFillBufferNum(&ready, 0);
        ready = static_cast<uint32_t>(std::min<uint64_t>(ready, most));
        for (Bytes& packet : TsCardTest::Capture(ready, m_length)) {
            Check(std::move(packet));
            ++m_count;
        }
    }
    // Packets wait until a PCR tells where in the stream they are. After a
    // gap, only the PCR's packet and those after it are placed: another gap
    // may lie before it.
    void Check(Bytes packet) {
        if (m_next) {
            Verify(packet);
            return;
        }
        m_pending.push_back(std::move(packet));
        const std::optional<uint64_t> first = GeneratorIndexOfFirst(m_pending);
        if (!first) return;
        const size_t from = m_first ? FirstPcrAt(m_pending) : 0;
        if (m_first) m_gaps.push_back({m_gapLast, *first});
        if (!m_first) m_first = first;
        m_next = *first + from;
        for (size_t at = from; at < m_pending.size(); ++at)
            Verify(m_pending[at]);
        m_pending.clear();
    }
    void Verify(const Bytes& packet) {
        Bytes expected(m_length, 0);
        sim::SimTsGenerator::Packet(*m_next, expected.data());
        if (packet == expected) {
            ++*m_next;
        } else if (m_acrossGaps && m_pending.empty()) {
            m_missing = Missing();
            m_gapLast = *m_next - 1;
            m_next.reset();
            m_pending.push_back(packet);
        } else {
            if (m_whole) m_break = DescribeBreak(packet);
            ++*m_next;
            m_whole = false;
        }
    }
    // The first break of the stretch, told whole: a break that comes once in
    // a thousand runs must be understood from its one report. The packet is
    // named by the nearest generator packet with its bytes.
    std::string DescribeBreak(const Bytes& packet) const {
        std::ostringstream text;
        text << "packet " << m_count << " of the stretch should be the generator's " << *m_next;
        constexpr uint64_t kSearched = 1 << 18;
        Bytes candidate(m_length, 0);
        const auto matches = [&](uint64_t number) {
            sim::SimTsGenerator::Packet(number, candidate.data());
            return candidate == packet;
        };
        std::optional<uint64_t> found;
        for (uint64_t distance = 1; distance <= kSearched && !found; ++distance) {
            if (matches(*m_next + distance)) found = *m_next + distance;
            if (distance <= *m_next && matches(*m_next - distance)) found = *m_next - distance;
        }
        if (found) {
            text << " but has the bytes of its " << *found;
        } else {
            text << " but is none of its packets near there (header";
            for (size_t at = 0; at < 4 && at < packet.size(); ++at)
                text << ' ' << std::hex << int{packet[at]} << std::dec;
            text << ')';
        }
        // Packets that arrived while the input was off are neither.
        if (const auto counts = sim::AsiCaptureCounts(0))
            text << "; the card had captured " << counts->captured << " (" << m_base
                 << " at the restart) and lost " << counts->overflows
                 << ", and the generator had sent " << NextArrival();
        return text.str();
    }

    uint32_t m_length;
    uint64_t m_base = 0;
    uint64_t m_count = 0;
    std::optional<uint64_t> m_next;
    // The number of the stretch's first packet.
    std::optional<uint64_t> m_first;
    std::vector<Bytes> m_pending;
    std::vector<Gap> m_gaps;
    uint64_t m_gapLast = 0;
    bool m_whole = true;
    std::string m_break;
    bool m_acrossGaps = false;
    uint64_t m_missing = 0;
};

// A card on the manual clock, open in this process.
class SteppedCardTest : public TsCardTest {
  protected:
    void SetUp() override {
        TsCardTest::SetUp();
        ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
        Open();
    }
};

// The peer process's settings.
constexpr const char* kPeerMode = "VELMORA_TEST_TS_PEER";
constexpr const char* kPeerReady = "VELMORA_TEST_TS_PEER_READY";
constexpr const char* kPeerSeed = "VELMORA_TEST_TS_PEER_SEED";
constexpr const char* kPeerRecording = "VELMORA_TEST_TS_PEER_RECORDING";
constexpr const char* kPeerWork = "VELMORA_TEST_TS_PEER_WORK";
constexpr const char* kPeerEnding = "VELMORA_TEST_TS_PEER_ENDING";
constexpr const char* kPeerGo = "VELMORA_TEST_TS_PEER_GO";
constexpr const char* kPeerLocks = "VELMORA_TEST_TS_PEER_LOCKS";
constexpr const char* kPeerRate = "VELMORA_TEST_TS_PEER_RATE";
constexpr const char* kPeerTold = "VELMORA_TEST_TS_PEER_TOLD";
// Set when the peer's standard output goes to a file: it leaves its text
// there, in the output's buffer, for its end to write.
constexpr const char* kPeerOutput = "VELMORA_TEST_TS_PEER_OUTPUT";

// Starts the peer process (TsCardPeerProcess.CapturesAndLetsGo) in `mode`
// with `settings` in its environment; with `output`, its standard output
// goes to that file, as a shell's redirection sends it, and with `user` it
// runs as that user.
inline std::unique_ptr<platform::test::Child> StartPeer(
    const std::string& mode, const std::vector<std::pair<const char*, std::string>>& settings,
    const std::string& output = {}, const passwd* user = nullptr) {
    platform::test::TestPeerImage::Settings changes = {{kPeerMode, mode}};
    for (const auto& [name, value] : settings)
        changes.emplace_back(name, value);
    if (!output.empty()) changes.emplace_back(kPeerOutput, "1");
    // Only its failures are worth a line among the test's own.
    const platform::test::TestPeerImage image("TsCardPeerProcess.CapturesAndLetsGo", changes,
                                              {"--gtest_brief=1"});
    return std::make_unique<platform::test::Child>([&] {
        if (!output.empty()) {
            const int file = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (file < 0 || dup2(file, 1) != 1) return 126;
        }
        if (user &&
            (setgroups(0, nullptr) != 0 || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0))
            return 126;
        return image.Exec();
    });
}

}  // namespace
}  // namespace velmora::tstest

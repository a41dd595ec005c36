// The transport-stream exports on the simulated card: capture, program
// information, playback pacing, program removal, the whole-stream file and
// TS over IP, as an application sees them.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string_view>
#include <thread>
#include <utility>

#include "CardTestSupport.h"
#include "NetTestSupport.h"
#include "NumberedStream.h"
#include "PlatformTestSupport.h"
#include "RecorderTestSupport.h"
#include "TsEngineTestSupport.h"
#include "card/LogFile.h"
#include "card/TsInputShare.h"
#include "card/VelmoraMainFunc.h"
#include "hw/VelmoraFpga.h"
#include "platform/NamedMutex.h"
#include "platform/Paths.h"
#include "platform/Trace.h"
#include "sim/SimCard.h"
#include "sim/SimDriver.h"
#include "ts/AsiPort.h"
#include "ts/TsDemultiplexer.h"
#include "ts/TsMultiplexer.h"
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

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::string Narrow(const uint16_t* text) {
    std::string out;
    while (*text)
        out.push_back(static_cast<char>(*text++));
    return out;
}

// The entries the card's input window holds for its readers.
uint32_t CardHeldEntries() {
    constexpr uint32_t kWindowWords =
        ts::CAsiInputPort::kDefaultEndWord - ts::CAsiInputPort::kDefaultFirstWord;
    const uint32_t read = sim::PeekRegister(0, hw::CVelmoraFpga::kRegAsiInputReadPointer).value();
    const uint32_t write = sim::PeekRegister(0, hw::CVelmoraFpga::kRegAsiInputWritePointer).value();
    return (write + kWindowWords - read) % kWindowWords / ts::kAsiUnitWords;
}

TEST_F(TsCardTest, CaptureReturnsTheFixtureInOrderInBothWorkModes) {
    UseFixture();
    Open();
    const auto fixture = FixturePackets();
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    auto run = Capture(3000);
    ASSERT_EQ(run.size(), 3000u);
    EXPECT_TRUE(IsCyclicRun(run, fixture));

    // Across a disable: what the card still held, then what came after the
    // enable, each without a gap.
    ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    run = Capture(3000);
    ASSERT_EQ(run.size(), 3000u);
    EXPECT_LE(JumpsInRun(run, fixture), 1u);

    // Through the program engine: the mover's last packets and the engine's
    // first ones join without a gap.
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
    uint32_t mode = 0;
    EXPECT_EQ(Quorvel_Velmora_TsCaptureGetWorkMode(&mode, 0), 1u);
    EXPECT_EQ(mode, 1u);
    run = Capture(6000);
    ASSERT_EQ(run.size(), 6000u);
    EXPECT_TRUE(IsCyclicRun(run, fixture));

    // Stop and start keep work mode 1 and its engine.
    ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    run = Capture(4000);
    ASSERT_EQ(run.size(), 4000u);
    EXPECT_LE(JumpsInRun(run, fixture), 1u);

    // A transfer that never completes: capture resumes, nothing lost. Card
    // time passes a field at a time once the card holds nothing for the
    // reader, so that the recovery, however long a busy machine takes over
    // it, cannot outlast the card's window.
    ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
    ASSERT_TRUE(sim::SetDmaFault(0, 1, sim::DmaFault::NeverCompletes));
    run = Capture(5000, 188, [] {
        if (CardHeldEntries() == 0) sim::StepFields(0, 1);
    });
    ASSERT_EQ(run.size(), 5000u);
    EXPECT_TRUE(IsCyclicRun(run, fixture));
    EXPECT_EQ(sim::AsiCaptureCounts(0)->overflows, 0u);
}

TEST_F(TsCardTest, ProgramInformationOfTheFixture) {
    UseFixture();
    Open();
    TS_PROGRAM_INFORMATION info;
    uint32_t state = 7;
    // Without capture in work mode 1 the engine does not run.
    EXPECT_EQ(Quorvel_Velmora_TsCaptureGetProgramInformation(&info, &state, 0), 0u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    const TS_PROGRAM_INFORMATION* read = ProgramInformation();
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->dwTransportStreamId, 0x2Au);
    ASSERT_EQ(read->dwProgramCount, 3u);
    const char* names[] = {"Psi Fixture One", "Psi Fixture Two", "Psi Fixture Thr"};
    const char* providers[] = {"Velmora Lab", "Velmora Lab", "Other Provider"};
    for (uint32_t i = 0; i < 3; ++i) {
        const TS_PROGRAM_ENTRY& program = read->Program[i];
        EXPECT_EQ(program.dwProgramNumber, 101u * (i + 1));
        EXPECT_EQ(program.wPmtPid, 0x200 + i);
        EXPECT_EQ(Narrow(program.szServiceName), names[i]);
        EXPECT_EQ(Narrow(program.szProviderName), providers[i]);
        ASSERT_EQ(program.byStreamCount, 3u);
        EXPECT_EQ(program.Stream[0].byStreamType, 2u);
        EXPECT_EQ(program.Stream[0].wElementaryPid, 0x300 + 3 * i);
        EXPECT_EQ(program.Stream[1].wElementaryPid, 0x301 + 3 * i);
    }
    // Names the ffmpeg muxer wrote in UTF-8 (selector 0x15) and GB-2312.
    ASSERT_TRUE(sim::SetAsiInput(0, sim::SimAsiSource::File, DataPath("psi_names.ts")));
    ASSERT_TRUE(WaitFor([&] {
        return Quorvel_Velmora_TsCaptureGetProgramInformation(&info, &state, 0) == 1 &&
               state == 2 && info.dwTransportStreamId == 0x2Bu;
    }));
    ASSERT_EQ(info.dwProgramCount, 2u);
    EXPECT_EQ(Field(info.Program[0].szServiceName), Padded(u"T\u00E9l\u00E9 5 \u20ACuro"));
    EXPECT_EQ(Field(info.Program[0].szProviderName),
              Padded(u"Soci\u00E9t\u00E9 G\u00E9n\u00E9ral"));
    EXPECT_EQ(Field(info.Program[1].szServiceName), Padded(u"\u4E2D\u592E\u7535\u89C6\u53F0"));
    EXPECT_EQ(Field(info.Program[1].szProviderName), Padded(u"Velmora"));
    // No signal: a zeroed record and state 3.
    ASSERT_TRUE(sim::SetAsiInvalidStatus(0, true));
    std::memset(&info, 0xAB, sizeof(info));
    ASSERT_EQ(Quorvel_Velmora_TsCaptureGetProgramInformation(&info, &state, 0), 1u);
    EXPECT_EQ(state, 3u);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(info), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(Quorvel_Velmora_TsCaptureGetProgramInformation(nullptr, &state, 0), 0u);
}

// Plays packets at `rate` and checks the tap: the bytes written, and the
// rate the played ticks give. "" when all holds, else what did not.
// With `rateAfterStart` code-rate tracking starts the engine before any rate
// is set, and the rate comes after.
std::string PacedPlayback(uint32_t rate, uint32_t length, bool rateAfterStart = false) {
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
bool PlayOut(uint16_t pid, std::function<bool()> playedOut = {}) {
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

TEST_F(TsCardTest, PlaybackPacesAt38And5MbitPerSecond) {
    Open();
    EXPECT_EQ(PacedPlayback(38000000, 188), "");
    EXPECT_EQ(PacedPlayback(5000000, 188), "");
}

TEST_F(TsCardTest, ARateSetAfterCodeRateTrackingStartedIsPickedUp) {
    Open();
    EXPECT_EQ(PacedPlayback(5000000, 188, true), "");
}

// A second process opens the card after the first set 204-byte packets: its
// engines take them. While this process keeps the card open, another's set
// is refused, so a third one's 188-byte buffers still take 188-byte packets.
// The children fork before this process opens the card.
TEST_F(TsCardTest, PlaybackOf204BytePacketsInASecondProcess) {
    platform::test::Pipe lengthSet;
    platform::test::Pipe setterGo;
    platform::test::Pipe userGo;
    platform::test::Child child([&] {
        if (!lengthSet.Wait(30000)) return 9;
        if (Quorvel_Velmora_OpenCard(0) != 1) return 10;
        const std::string failure = PacedPlayback(38000000, 204);
        Quorvel_Velmora_CloseCard(0);
        if (!failure.empty()) std::fprintf(stderr, "%s\n", failure.c_str());
        return failure.empty() ? 0 : 11;
    });
    platform::test::Child setter([&] {
        if (!setterGo.Wait(60000) || Quorvel_Velmora_OpenCard(0) != 1) return 10;
        const uint32_t set = Quorvel_Velmora_TsSetAsiPacketLength(VELMORA_ASI_PACKET_204, 0);
        Quorvel_Velmora_CloseCard(0);
        return set == 0 ? 0 : 11;
    });
    platform::test::Child user([&] {
        if (!userGo.Wait(90000) || Quorvel_Velmora_OpenCard(0) != 1) return 10;
        const bool enabled = Quorvel_Velmora_TsCaptureEnable(0) == 1;
        const std::vector<Bytes> run = enabled ? Capture(3000) : std::vector<Bytes>{};
        const bool synced = run.size() == 3000 && std::all_of(run.begin(), run.end(),
                                                              [](auto& p) { return p[0] == 0x47; });
        Quorvel_Velmora_TsCaptureDisable(0);
        const std::string failure = PacedPlayback(38000000, 188);
        Quorvel_Velmora_CloseCard(0);
        if (!failure.empty()) std::fprintf(stderr, "%s\n", failure.c_str());
        return synced && failure.empty() ? 0 : 11;
    });
    Open();
    ASSERT_EQ(Quorvel_Velmora_TsSetAsiPacketLength(VELMORA_ASI_PACKET_204, 0), 1u);
    lengthSet.Signal();
    EXPECT_EQ(child.Wait(60000), 0);
    ASSERT_EQ(Quorvel_Velmora_TsSetAsiPacketLength(VELMORA_ASI_PACKET_188, 0), 1u);

    setterGo.Signal();
    EXPECT_EQ(setter.Wait(60000), 0);
    uint32_t flag = 9;
    ASSERT_EQ(Quorvel_Velmora_TsGetAsiPacketLength(&flag, 0), 1u);
    EXPECT_EQ(flag, VELMORA_ASI_PACKET_188);
    userGo.Signal();
    EXPECT_EQ(user.Wait(60000), 0);
}

TEST_F(TsCardTest, RemovingProgramTwoOfTheBuiltInStream) {
    Open();
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    ASSERT_NE(ProgramInformation(), nullptr);
    const uint16_t pmtPid = sim::SimTsGenerator::PmtPid(1);
    FILTERED_PROGRAM list[] = {1, 0, pmtPid, 0};
    EXPECT_EQ(Quorvel_Velmora_TsCaptureSetFilteredProgram(1, list, 0), 1u);
    // What was captured before the filter comes first, as much as a slow run
    // buffered: the filtered stream is there from its first new PAT on.
    const auto newPat = [](const Bytes& p) {
        const Sections pat = CollectSections({p}, 0);
        return !pat.all.empty() && PatPrograms(pat.all[0]).count(2) == 0;
    };
    std::vector<Bytes> out;
    ASSERT_TRUE(WaitFor([&] {
        out = Capture(1000);
        out.erase(out.begin(), std::find_if(out.begin(), out.end(), newPat));
        return !out.empty();
    }));
    const auto rest = Capture(14000 - out.size());
    out.insert(out.end(), rest.begin(), rest.end());
    ASSERT_EQ(out.size(), 14000u);
    for (const Bytes& p : out) {
        const uint16_t pid = Pid(p.data());
        ASSERT_TRUE(pid != pmtPid && pid != pmtPid + 1 && pid != pmtPid + 2) << pid;
    }
    const Sections pat = CollectSections(out, 0);
    ASSERT_FALSE(pat.all.empty());
    EXPECT_EQ(pat.crcOk, pat.all.size());
    EXPECT_EQ(PatPrograms(pat.all.back()).count(2), 0u);
    EXPECT_EQ(PatPrograms(pat.all.back()).count(3), 1u);
    const Sections sdt = CollectSections(out, 0x11);
    ASSERT_FALSE(sdt.all.empty());
    EXPECT_EQ(sdt.crcOk, sdt.all.size());
    EXPECT_EQ(SdtServices(sdt.all.back()).size(), 2u);
    // Clearing the filter passes the stream unchanged again.
    EXPECT_EQ(Quorvel_Velmora_TsCaptureSetFilteredProgram(0, list, 0), 1u);
}

TEST_F(TsCardTest, WholeStreamFileAndRecorderEnable) {
    UseFixture();
    Open();
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    ASSERT_NE(ProgramInformation(), nullptr);
    const std::string path = TempPath("whole") + ".ts";
    ASSERT_EQ(Quorvel_Velmora_StartWriteTsFile(Wide(path).c_str(), 0), 1u);
    Capture(5000);
    ASSERT_EQ(Quorvel_Velmora_StopWriteTsFile(0), 1u);
    const auto written = ReadPackets(path);
    std::remove(path.c_str());
    ASSERT_GE(written.size(), 1632u);
    EXPECT_TRUE(IsCyclicRun(written, FixturePackets()));

    // No recorder yet: no length.
    RECORD_LENGTH length = {};
    EXPECT_EQ(Quorvel_Velmora_TsCaptureRecorderGetLength(101, 0, &length, 0), 0u);
    // A program of the stream records until it is disabled.
    const std::string outPath = TempPath("program") + ".mpg";
    const std::wstring out = Wide(outPath);
    EXPECT_EQ(Quorvel_Velmora_TsCaptureRecorderEnable(101, out.c_str(), 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_TsCaptureRecorderGetLength(101, 0, &length, 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_TsCaptureRecorderDisable(101, out.c_str(), 0), 1u);
    std::remove(outPath.c_str());
    // Not a program the stream does not carry.
    EXPECT_EQ(Quorvel_Velmora_TsCaptureRecorderEnable(999, out.c_str(), 0), 0u);
}

TS_OVER_IP_PARAM Param(const wchar_t* address, uint16_t port, uint32_t rtp) {
    return {address, port, 0, 188, rtp, 0};
}

// The datagrams leave as the card plays the stream, never ahead of it, and a
// stream shorter than the sender's ring arrives whole (but the packet that
// always stays queued).
TEST_F(TsCardTest, PlayedStreamReachesASocketOverUdpAndRtp) {
    Open();
    for (uint32_t rtp : {0u, 1u}) {
        nettest::PlainSocket peer;
        ASSERT_EQ(Quorvel_Velmora_SetParameter(Param(L"127.0.0.1", peer.Port(), rtp), 0), 1u);
        ASSERT_EQ(Quorvel_Velmora_UdpRun(0), 1u);
        EXPECT_EQ(Quorvel_Velmora_UdpRun(0), 0u);
        ASSERT_EQ(Quorvel_Velmora_TsPlaybackSetBitRate(40000000, 0), 1u);
        const uint64_t playedBefore = sim::PlayedAsiPackets(0)->played;
        ASSERT_EQ(Quorvel_Velmora_TsPlaybackEnable(0), 1u);
        constexpr size_t kSent = 7 * 1858;
        const auto packets = GeneratorPackets(0, kSent + 1);
        ASSERT_TRUE(Play(packets, 188));
        Bytes received;
        const size_t header = rtp ? 12 : 0;
        while (received.size() < kSent * 188) {
            const Bytes datagram = peer.Receive(5000);
            ASSERT_EQ(datagram.size(), header + 7 * 188);
            received.insert(received.end(), datagram.begin() + header, datagram.end());
            ASSERT_LE(received.size() / 188, sim::PlayedAsiPackets(0)->played - playedBefore);
        }
        for (size_t i = 0; i < kSent; ++i) {
            ASSERT_EQ(Bytes(received.begin() + i * 188, received.begin() + (i + 1) * 188),
                      packets[i])
                << i;
        }
        ASSERT_EQ(Quorvel_Velmora_TsPlaybackDisable(0), 1u);
        EXPECT_EQ(Quorvel_Velmora_UdpStop(0), 0u);  // the disable closed it
    }
}

// Inside a network of its own whose loopback carries 1 Mbit/s, a 20 Mbit/s
// playback with TS over IP: the card plays on far ahead of what the network
// takes, the IP copy drops and reports it, and the disable leaves unsent what
// the network has not taken.
TEST_F(TsCardTest, ASlowNetworkDropsTheIpCopyAndNeverHoldsTheCard) {
    const std::string result = nettest::RunInPrivateNetwork([]() -> std::string {
        if (std::system("tc qdisc add dev lo root tbf rate 1mbit burst 16kb limit 50mb") != 0)
            return "skip: cannot shape the loopback with tc";
        std::atomic<bool> dropsReported{false};
        platform::SetTraceCapture([&](std::string_view text) {
            if (text == "\n TsOverIp: Drop 2000 TsPacket!") dropsReported = true;
        });
        const std::string failure = [&]() -> std::string {
            if (Quorvel_Velmora_OpenCard(0) != 1) return "the card did not open";
            nettest::PlainSocket peer;
            Quorvel_Velmora_SetParameter(Param(L"127.0.0.1", peer.Port(), 0), 0);
            if (Quorvel_Velmora_UdpRun(0) != 1) return "UdpRun failed";
            Quorvel_Velmora_TsPlaybackSetBitRate(20000000, 0);
            const uint64_t playedBefore = sim::PlayedAsiPackets(0)->played;
            if (Quorvel_Velmora_TsPlaybackEnable(0) != 1) return "the enable failed";
            Bytes block(ts::CTsMultiplexer::kMaxReported * 188, 0x47);
            std::atomic<uint64_t> received{0};
            std::jthread reader([&](std::stop_token stop) {
                while (!stop.stop_requested())
                    received += peer.Receive(100).size() / 188;
            });
            const auto gap = [&] {
                return int64_t(sim::PlayedAsiPackets(0)->played - playedBefore - received);
            };
            // Were the card held for the IP copy, it could get no further ahead
            // of the network than the sender holds.
            int64_t ahead = 0;
            if (!WaitFor([&] {
                    uint32_t room = 0;
                    Quorvel_Velmora_TsPlaybackGetEmptyBufferNum(&room, 0);
                    if (room > 0)
                        Quorvel_Velmora_TsPlaybackWritePacketsToBuffer(block.data(), room, 0);
                    ahead = gap();
                    return dropsReported && ahead > ts::CTsOverIpMulticast::kRingPackets;
                })) {
                return "the card played only " + std::to_string(ahead) + " ahead of the network";
            }
            if (Quorvel_Velmora_TsPlaybackDisable(0) != 1) return "the disable failed";
            reader = {};
            while (!peer.Receive(1000).empty())
                received += 7;
            // The card played what it held meanwhile; a disable that waited
            // for the network would also have sent the sender's backlog.
            if (gap() < ahead) return "the disable sent the backlog";
            return "";
        }();
        Quorvel_Velmora_CloseCard(0);
        platform::SetTraceCapture({});
        return failure;
    });
    if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
    EXPECT_EQ(result, "");
}

// A stream that stops arrives whole, its last part-chunk too, in the
// capture and in the whole-stream file: sent over IP, or played out and
// looped back to the card's input, where its last packets are fewer than
// the card reader takes while a stream flows. The capture's continuity count
// is logged at the disable, however soon after the error.
TEST_F(TsCardTest, StreamSentToTheCardComesBackThroughTheEngine) {
    Open();
    struct Row {
        bool overIp;
        uint32_t mode;
        uint32_t count;
    };
    // Over IP three chunks and a part; looped back, what playback waits for
    // before it starts and 40 more.
    for (const Row row : {Row{false, 0, 13001}, Row{false, 1, 13001}, Row{true, 1, 5005}}) {
        SCOPED_TRACE(std::string(row.overIp ? "over IP" : "looped back") + ", work mode " +
                     std::to_string(row.mode));
        // Each packet carries its number; one counter jump, at packet 100.
        std::vector<Bytes> packets(row.count, Bytes(188, 0xFF));
        for (uint32_t i = 0; i < packets.size(); ++i) {
            packets[i][0] = 0x47, packets[i][1] = 0x01, packets[i][2] = 0x00;
            packets[i][3] = static_cast<uint8_t>(0x10 | ((i + (i >= 100)) & 15));
            std::memcpy(&packets[i][4], &i, sizeof(i));
        }
        const uint16_t port = nettest::FreePort();
        if (row.overIp) {
            ASSERT_EQ(Quorvel_Velmora_SetReceiveParameter(Param(L"127.0.0.1", port, 0), 0), 1u);
            ASSERT_EQ(Quorvel_Velmora_UdpReceiveRun(0), 1u);
            EXPECT_EQ(Quorvel_Velmora_UdpReceiveRun(0), 0u);
            ASSERT_EQ(Quorvel_Velmora_TsSetInputSource(VELMORA_TS_INPUT_IP, 0), 1u);
            EXPECT_EQ(Quorvel_Velmora_TsSetInputSource(VELMORA_TS_INPUT_IP, 0), 0u);
        } else {
            ASSERT_TRUE(sim::SetAsiInput(0, sim::SimAsiSource::Loopback));
        }
        ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(row.mode, 0), 1u);
        const size_t logged = cardtest::LogText().size();
        ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
        const std::string path = TempPath("whole") + ".ts";
        if (row.mode == 1) {
            ASSERT_EQ(Quorvel_Velmora_StartWriteTsFile(Wide(path).c_str(), 0), 1u);
        }
        if (row.overIp) {
            nettest::PlainSocket sender;
            for (size_t at = 0; at < packets.size(); at += 7) {
                Bytes datagram;
                for (size_t i = at; i < at + 7; ++i) {
                    datagram.insert(datagram.end(), packets[i].begin(), packets[i].end());
                }
                ASSERT_TRUE(sender.SendTo(port, datagram));
                if (at % 700 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        } else {
            // The last packets follow at 1 Mbit/s, slower than the reader
            // looks, so that it takes them in blocks of 32 and a smaller last.
            const uint64_t played = sim::PlayedAsiPackets(0)->played;
            const auto last = packets.begin() + VELMORA_TS_PLAYBACK_START_PACKETS;
            ASSERT_EQ(Quorvel_Velmora_TsPlaybackSetBitRate(38000000, 0), 1u);
            ASSERT_EQ(Quorvel_Velmora_TsPlaybackEnable(0), 1u);
            ASSERT_TRUE(Play(std::vector<Bytes>(packets.begin(), last), 188));
            ASSERT_TRUE(WaitFor([&] {
                return sim::PlayedAsiPackets(0)->played ==
                       played + VELMORA_TS_PLAYBACK_START_PACKETS;
            }));
            ASSERT_EQ(Quorvel_Velmora_TsPlaybackSetBitRate(1000000, 0), 1u);
            ASSERT_TRUE(Play(std::vector<Bytes>(last, packets.end()), 188));
        }
        const auto back = Capture(packets.size());
        ASSERT_EQ(back.size(), packets.size());
        for (size_t i = 0; i < back.size(); ++i)
            ASSERT_EQ(back[i], packets[i]) << i;
        if (row.mode == 1) {
            ASSERT_EQ(Quorvel_Velmora_StopWriteTsFile(0), 1u);
            EXPECT_EQ(ReadPackets(path), packets);
            std::remove(path.c_str());
        }
        ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
        if (row.overIp) {
            EXPECT_EQ(Quorvel_Velmora_UdpReceiveStop(0), 0u);  // the disable stopped it
        } else {
            ASSERT_EQ(Quorvel_Velmora_TsPlaybackDisable(0), 1u);
            EXPECT_NE(cardtest::LogText().find("Channal 0   CC  1", logged), std::string::npos);
        }
    }
}

// What a slow stream left in the card at its disable never plays after the
// next enable.
TEST_F(TsCardTest, ADisabledStreamDoesNotPlayAfterTheNextEnable) {
    Open();
    const std::string tap = TempPath("tap_restart");
    ASSERT_TRUE(sim::SetAsiOutputTap(0, tap));
    const auto played = [&](uint16_t pid, size_t from) {
        const auto all = sim::ReadAsiOutputTap(tap);
        return std::count_if(all.begin() + std::min(from, all.size()), all.end(),
                             [&](const sim::SimAsiPlayedPacket& p) { return Pid(p.bytes) == pid; });
    };
    std::vector<size_t> disabledAt = {0};
    for (uint16_t pid : {0x101, 0x102}) {
        std::vector<Bytes> packets = GeneratorPackets(0, 14000);
        for (Bytes& p : packets)
            p[1] = 0x01, p[2] = static_cast<uint8_t>(pid);
        ASSERT_EQ(Quorvel_Velmora_TsPlaybackSetBitRate(pid == 0x101 ? 1000000 : 38000000, 0), 1u);
        ASSERT_EQ(Quorvel_Velmora_TsPlaybackEnable(0), 1u);
        ASSERT_TRUE(Play(packets, 188));
        ASSERT_TRUE(
            WaitFor([&] { return played(pid, disabledAt.back()) >= (pid == 0x101 ? 1 : 1000); }));
        ASSERT_EQ(Quorvel_Velmora_TsPlaybackDisable(0), 1u);
        disabledAt.push_back(sim::ReadAsiOutputTap(tap).size());
    }
    sim::SetAsiOutputTap(0, "");
    // The packet on the cable at the first disable may end after it.
    EXPECT_EQ(played(0x101, disabledAt[1] + 1), 0);
    std::remove(tap.c_str());
}

// A 6 Mbit/s file on the ASI input: 10 s of card time bring 10 s of the
// stream to the capture, as the file's PCRs tell; VELMORA_SIM_ASI_RATE wins.
TEST_F(TsCardTest, AFileArrivesAtItsOwnRate) {
    constexpr uint64_t kRate = 6000000;
    Bytes file;
    for (uint64_t i = 0; i < 4000; ++i) {
        Bytes p = GeneratorPackets(i, 1)[0];
        if (i % 40 == 0) {  // an adaptation field with a PCR on PID 0x100
            const uint64_t base = i * 188 * 8 * 90000 / kRate;
            p = {0x47, 0x01, 0x00, 0x20, 183, 0x10};
            for (int shift = 25; shift >= 1; shift -= 8)
                p.push_back(uint8_t(base >> shift));
            p.push_back(uint8_t(base << 7 | 0x7E));
            p.resize(188, 0);
        }
        file.insert(file.end(), p.begin(), p.end());
    }
    const std::string path = TempPath("six_mbit") + ".ts";
    FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), out), file.size());
    std::fclose(out);
    setenv("VELMORA_SIM_ASI_INPUT", path.c_str(), 1);
    // Packets read by the capture in `fields` fields of card time.
    const auto delivered = [](uint64_t fields) {
        StartCard(0x5110);
        uint64_t read = 0, first = 0;  // `first`: what the first step brought
        Bytes data(3240 * 188);
        // Until every packet the card took in is read.
        const auto settle = [&] {
            return WaitFor([&] {
                uint32_t n = 0;
                Quorvel_Velmora_TsCaptureGetFillBufferNum(&n, 0);
                if (n && Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(data.data(), n, 0))
                    read += n;
                return read == sim::AsiCaptureCounts(0)->captured;
            });
        };
        if (sim::SetClockMode(0, sim::ClockMode::Manual) && Quorvel_Velmora_OpenCard(0) == 1 &&
            Quorvel_Velmora_TsCaptureEnable(0) == 1) {
            for (uint64_t step = 0; step <= fields && sim::StepFields(0, 25) && settle();
                 step += 25)
                if (step == 0) first = read;
        }
        Quorvel_Velmora_CloseCard(0);
        return static_cast<double>(read - first);
    };
    EXPECT_NEAR(delivered(500) * 188 * 8 / kRate, 10.0, 0.1);
    EXPECT_NEAR(*sim::AsiInputRate(0), kRate, kRate / 1000);
    setenv("VELMORA_SIM_ASI_RATE", "3008000", 1);  // 2000 packets a second
    EXPECT_NEAR(delivered(50), 2000.0, 40.0);
    unsetenv("VELMORA_SIM_ASI_INPUT");
    unsetenv("VELMORA_SIM_ASI_RATE");
    std::remove(path.c_str());
}

// What an application reading a numbered stream through the exports got:
// the numbers it missed, and any packet that came again or out of order.
class NumberedCapture {
  public:
    explicit NumberedCapture(uint32_t filePackets) : m_dwFilePackets(filePackets) {}

    // Reads what the capture holds; true once `more` packets have come
    // since the last Mark, or with `afterGap` since the first gap after it.
    bool TakeUntil(uint64_t more, bool afterGap) {
        uint32_t ready = 0;
        Quorvel_Velmora_TsCaptureGetFillBufferNum(&ready, 0);
        Bytes data(size_t{ready} * 188);
        if (ready != 0 && Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(data.data(), ready, 0)) {
            for (uint32_t i = 0; i < ready; ++i)
                Take(test::PacketNumber(&data[size_t{i} * 188]));
        }
        return (afterGap ? m_ullAfterGap : m_ullSinceMark) >= more;
    }
    void Mark() {
        m_ullMissedAtMark = m_ullMissed;
        m_ullSinceMark = m_ullAfterGap = 0;
    }
    uint64_t Missed() const { return m_ullMissed; }
    uint64_t Disordered() const { return m_ullDisordered; }
    uint32_t Last() const { return m_dwLast; }

  private:
    void Take(uint32_t number) {
        if (m_bStarted) {
            // Far more than can arrive between two reads: back, or again.
            const uint32_t step = (number - m_dwLast) % m_dwFilePackets;
            if (step == 0 || step > m_dwFilePackets / 2) {
                ++m_ullDisordered;
            } else {
                m_ullMissed += step - 1;
            }
        }
        m_bStarted = true;
        m_dwLast = number;
        ++m_ullSinceMark;
        if (m_ullMissed > m_ullMissedAtMark) ++m_ullAfterGap;
    }

    uint32_t m_dwFilePackets;
    bool m_bStarted = false;
    uint32_t m_dwLast = 0;
    uint64_t m_ullMissed = 0;
    uint64_t m_ullMissedAtMark = 0;
    uint64_t m_ullSinceMark = 0;
    uint64_t m_ullAfterGap = 0;
    uint64_t m_ullDisordered = 0;
};

// The last "packets dropped" count in `log`, 0 without one.
uint64_t LastDroppedCount(const std::string& log) {
    const std::string tail = " packets dropped";
    const size_t at = log.rfind(tail);
    if (at == std::string::npos) return 0;
    const size_t from = log.rfind(' ', at - 1);
    return std::stoull(log.substr(from + 1, at - from - 1));
}

// A capture at the card's top rate on the card's own clock, whose
// application stops reading for longer than its rings and the card's window
// take, counts in its log's last line at least what it missed, and no more
// than that and what arrived after the last packet it read until the end of
// its disable, in each of three enables; it never gets a packet twice or out
// of order. A slow build (the sanitizers) or a busy machine makes its looks
// and transfers slow, as a slow process's are.
TEST_F(TsCardTest, ACaptureThatPausesAtTheTopRateCountsWhatItMissed) {
    // Half of it is 1.8 s at the top rate: what the test's own process may
    // be kept waiting past the pause on a busy machine.
    constexpr uint32_t kFilePackets = 1u << 19;
    constexpr uint64_t kHeld = 3 * uint64_t{ts::CTsDemultiplexer::kRingElements};
    const std::string path = TempPath("numbered.ts");
    ASSERT_TRUE(test::WriteNumberedStream(path, kFilePackets));
    ASSERT_TRUE(sim::SetAsiInput(0, sim::SimAsiSource::File, path));
    ASSERT_TRUE(sim::SetAsiInputRate(0, 216000000));
    Open();
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(0, 0), 1u);
    const auto received = [] {
        const auto counts = sim::AsiCaptureCounts(0);
        return counts->captured + counts->overflows;
    };
    // What arrived after packet `number`, the last of that number to arrive.
    const auto arrivedAfter = [](uint32_t number) {
        const auto counts = sim::AsiCaptureCounts(0);
        return (counts->arrivals - 1 - counts->sourceOrigin - number) % kFilePackets;
    };
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("enable " + std::to_string(cycle));
        const size_t logged = cardtest::LogText().size();
        NumberedCapture capture(kFilePackets);
        ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
        ASSERT_TRUE(WaitFor([&] { return capture.TakeUntil(2000, false); }));
        const uint64_t pausedAt = received();
        ASSERT_TRUE(WaitFor([&] { return received() > pausedAt + kHeld + 20000; }));
        capture.Mark();
        ASSERT_TRUE(WaitFor([&] { return capture.TakeUntil(2000, true); }));
        ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
        const uint64_t count = LastDroppedCount(cardtest::LogText().substr(logged));
        EXPECT_GE(count, capture.Missed());
        EXPECT_LE(count, capture.Missed() + arrivedAfter(capture.Last()));
        EXPECT_EQ(capture.Disordered(), 0u);
    }
}

// The IP settings take only the card's packet length, whichever it is; the
// receiver drops datagrams of the other length (TsOverIpReceiverTest).
TEST_F(TsCardTest, TsOverIpTakesOnlyTheCardsPacketLength) {
    Open();
    TS_OVER_IP_PARAM other = Param(L"127.0.0.1", nettest::FreePort(), 0);
    other.dwPacketLength = 204;
    EXPECT_EQ(Quorvel_Velmora_SetReceiveParameter(other, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_SetParameter(other, 0), 0u);
    ts::CTsDemultiplexer demux(nullptr, 1, 0, nullptr);
    ts::CTsMultiplexer mux(Card(0)->GetBoardSupport(), nullptr, 0, nullptr);
    ASSERT_EQ(demux.Open(204, 0, 0, 0), 1u);
    ASSERT_EQ(mux.Open(204, card::CVelmoraMainFunc::kTsPlaybackStart,
                       card::CVelmoraMainFunc::kTsPlaybackEnd, 0),
              1u);
    // The 188-byte settings the objects start with never run at 204.
    EXPECT_EQ(demux.UdpReceiveRun() + mux.UdpRun(), 0u);
    EXPECT_EQ(demux.SetReceiveParameter(other) + mux.SetTsOverIpParameter(other), 2u);
    EXPECT_EQ(demux.UdpReceiveRun() + mux.UdpRun(), 2u);
}

// Port 0, a port above 65535 or an address that does not parse is refused
// where it is set.
TEST_F(TsCardTest, TsOverIpSettingsThatCannotWorkAreRefused) {
    Open();
    for (uint32_t port : {0u, 65536u}) {
        TS_OVER_IP_PARAM bad = Param(L"127.0.0.1", 0, 0);
        bad.dwPort = port;
        EXPECT_EQ(Quorvel_Velmora_SetParameter(bad, 0), 0u) << port;
        EXPECT_EQ(Quorvel_Velmora_SetReceiveParameter(bad, 0), 0u) << port;
    }
    for (const wchar_t* address : {L"not an address", L"1.2.3.400", L"", L"host..name"}) {
        EXPECT_EQ(Quorvel_Velmora_SetParameter(Param(address, 8008, 0), 0), 0u);
        EXPECT_EQ(Quorvel_Velmora_SetReceiveParameter(Param(address, 8008, 0), 0), 0u);
    }
    EXPECT_EQ(Quorvel_Velmora_SetParameter(Param(L"localhost", 65535, 1), 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_SetReceiveParameter(Param(L"239.1.2.3", 65535, 1), 0), 1u);
}

TEST_F(TsCardTest, BadInputIsRefused) {
    Open();
    EXPECT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(3, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_TsCaptureGetWorkMode(nullptr, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_TsCaptureGetFillBufferNum(nullptr, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(nullptr, 10, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_TsPlaybackGetEmptyBufferNum(nullptr, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_TsPlaybackWritePacketsToBuffer(nullptr, 10, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_TsReplaceNitEnable(0), 0u);
    EXPECT_EQ(Quorvel_Velmora_TsReplaceNitDisable(0), 1u);
    EXPECT_EQ(Quorvel_Velmora_TsReplaceNitSetNitInformation(nullptr, 0), 0u);
    auto nit = std::make_unique<NIT_INFORMATION>();
    std::memset(nit.get(), 0, sizeof(NIT_INFORMATION));
    nit->byTransportStreamCount = 200;
    EXPECT_EQ(Quorvel_Velmora_TsReplaceNitSetNitInformation(nit.get(), 0), 0u);
    // No NIT analysed yet: nothing to give.
    EXPECT_EQ(Quorvel_Velmora_TsReplaceNitGetNitInformation(nit.get(), 0, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_StartWriteTsFile(nullptr, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_TsSetInputSource(2, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_TsPlaybackSetBitRate(0, 0), 0u);
    // A count whose bytes pass 32 bits is refused, not wrapped to one packet.
    std::vector<uint8_t> one(188, 0x47);
    uint32_t room = 0;
    ASSERT_EQ(Quorvel_Velmora_TsPlaybackGetEmptyBufferNum(&room, 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_TsPlaybackWritePacketsToBuffer(one.data(), 0x40000001, 0), 0u);

    // A count beyond the list reads only the list's own entries.
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    ASSERT_NE(ProgramInformation(), nullptr);
    FILTERED_PROGRAM list[] = {1, 0, sim::SimTsGenerator::PmtPid(0), 0};
    EXPECT_EQ(Quorvel_Velmora_TsCaptureSetFilteredProgram(40, list, 0), 1u);
    EXPECT_EQ(Capture(2000).size(), 2000u);
    ASSERT_TRUE(WaitFor([&] {
        Quorvel_Velmora_TsCaptureGetFillBufferNum(&room, 0);
        return room > 0;
    }));
    EXPECT_EQ(Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(one.data(), 0x40000001, 0), 0u);
    // The analysed NIT comes once the engine saw one.
    ASSERT_TRUE(WaitFor(
        [&] { return Quorvel_Velmora_TsReplaceNitGetNitInformation(nit.get(), 0, 0) == 1; }));
    EXPECT_EQ(nit->wNetworkId, sim::SimTsGenerator::kNetworkId);

    // Capture stopped while datagrams arrive.
    const uint16_t port = nettest::FreePort();
    ASSERT_EQ(Quorvel_Velmora_SetReceiveParameter(Param(L"127.0.0.1", port, 0), 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_UdpReceiveRun(0), 1u);
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        nettest::PlainSocket socket;
        const Bytes datagram(7 * 188, 0x47);
        while (sending)
            socket.SendTo(port, datagram);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The receiver closed under the running IP input, then capture stopped.
    EXPECT_EQ(Quorvel_Velmora_UdpReceiveStop(0), 1u);
    EXPECT_EQ(Quorvel_Velmora_UdpReceiveRun(0), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
    sending = false;
    sender.join();
}

}  // namespace
}  // namespace velmora::tstest

namespace velmora::tstest {
namespace {

// A client that hands out generator packets: the client-fed pacing thread
// and the video-analysis filler, which no path of the card starts.
class PacketClient : public ts::CTsMultiplexerClient {
  public:
    uint32_t FillEntries(uint8_t* pDestination, uint32_t count, uint32_t unitSize) override {
        for (uint32_t i = 0; i < count; ++i) {
            sim::SimTsGenerator::Packet(m_next++, pDestination + size_t{i} * unitSize);
        }
        return count;
    }
    uint32_t FillAnalysisPackets(uint8_t* pDestination, uint32_t count,
                                 uint32_t packetLength) override {
        const uint32_t n = std::min<uint32_t>(count, 100);
        for (uint32_t i = 0; i < n; ++i) {
            sim::SimTsGenerator::Packet(i, pDestination + size_t{i} * packetLength);
        }
        m_analysisPackets += n;
        return n;
    }
    uint64_t m_next = 0;
    std::atomic<uint64_t> m_analysisPackets{0};
};

TEST_F(TsCardTest, ClientFedPacingPlaysTheClientsPackets) {
    Open();
    const std::string tap = TempPath("client_tap");
    std::remove(tap.c_str());
    ASSERT_TRUE(sim::SetAsiOutputTap(0, tap));
    PacketClient client;
    ts::CTsMultiplexer mux(Card(0)->GetBoardSupport(), &client, 0, nullptr);
    ASSERT_EQ(mux.Open(188, card::CVelmoraMainFunc::kTsPlaybackStart,
                       card::CVelmoraMainFunc::kTsPlaybackEnd, 0),
              1u);
    ASSERT_EQ(mux.SetChannel(0), 1u);
    mux.SetThreadMode(ts::CTsMultiplexer::kClientThreadMode);
    ASSERT_EQ(mux.SetBitRate(38000000), 1u);
    ASSERT_EQ(mux.Start(), 1u);
    std::vector<sim::SimAsiPlayedPacket> played;
    ASSERT_TRUE(WaitFor([&] {
        played = sim::ReadAsiOutputTap(tap);
        return played.size() >= 500;
    }));
    ASSERT_EQ(mux.Stop(), 1u);
    sim::SetAsiOutputTap(0, "");
    std::remove(tap.c_str());
    const auto expected = GeneratorPackets(0, 500);
    for (size_t i = 0; i < 500; ++i) {
        ASSERT_EQ(Bytes(played[i].bytes, played[i].bytes + 188), expected[i]) << i;
    }
    EXPECT_EQ(mux.GetContinuityErrors(), 0u);
    uint64_t clock = 0;
    EXPECT_EQ(mux.GetCardClock(&clock), 1u);
    EXPECT_GT(clock, 0u);
    uint32_t offset = 7;
    const Bytes run = [&] {
        Bytes bytes(3, 0);
        for (const Bytes& p : expected)
            bytes.insert(bytes.end(), p.begin(), p.end());
        return bytes;
    }();
    EXPECT_EQ(mux.FindSyncOffset(run.data(), 4, &offset), 1u);
    EXPECT_EQ(offset, 3u);
}

TEST_F(TsCardTest, VideoAnalysisFillsItsRingFromTheClient) {
    PacketClient client;
    ts::CTsMultiplexer mux(nullptr, &client, 0, nullptr);
    EXPECT_EQ(mux.EnableVideoAnalysis(1, 0), 0u);  // nothing created yet
    ASSERT_EQ(mux.CreateVideoAnalysis(), 1u);
    EXPECT_EQ(mux.EnableVideoAnalysis(1, 0), 0u);
    EXPECT_TRUE(WaitFor([&] { return client.m_analysisPackets >= 100; }));
    EXPECT_EQ(mux.EnableVideoAnalysis(0, 0), 1u);
    EXPECT_EQ(mux.DestroyVideoAnalysis(), 1u);
}

}  // namespace
}  // namespace velmora::tstest

namespace velmora::tstest {
namespace {

// The capture file, opened and closed while the card reader writes it: mode
// 0 takes every packet, another mode the packets of the capture PID.
TEST_F(TsCardTest, CaptureFileTakesAllPacketsOrOnePid) {
    UseFixture();
    Open();
    ts::CTsDemultiplexer demux(Card(0)->GetBoardSupport(), 0, 0, nullptr);
    ASSERT_EQ(demux.Open(188, card::CVelmoraMainFunc::kTsCaptureStart,
                         card::CVelmoraMainFunc::kTsCaptureEnd, 0),
              1u);
    ASSERT_EQ(demux.SetChannel(1), 1u);
    ASSERT_EQ(demux.Start(), 1u);
    const auto fixture = FixturePackets();
    const std::string all = TempPath("capture_all") + ".ts";
    const std::string one = TempPath("capture_one") + ".ts";
    // What reached the disk is a lower bound of what the file will hold.
    const auto holds = [](const std::string& path, uintmax_t packets) {
        return WaitFor(
            [&] {
                std::error_code absent;
                const uintmax_t size = std::filesystem::file_size(path, absent);
                return !absent && size > packets * 188;
            },
            path + " holding " + std::to_string(packets) + " packets");
    };
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(demux.StartCaptureFile(Wide(all).c_str(), 0, 0), 1u);
        EXPECT_TRUE(holds(all, 100));
        ASSERT_EQ(demux.StopCaptureFile(), 1u);
    }
    ASSERT_EQ(demux.StartCaptureFile(Wide(one).c_str(), 1, 0x300), 1u);
    EXPECT_TRUE(holds(one, 10));
    ASSERT_EQ(demux.StopCaptureFile(), 1u);
    ASSERT_EQ(demux.Stop(), 1u);
    const auto written = ReadPackets(all);
    const auto video = ReadPackets(one);
    std::remove(all.c_str());
    std::remove(one.c_str());
    ASSERT_GT(written.size(), 100u);
    EXPECT_TRUE(IsCyclicRun(written, fixture));
    ASSERT_GT(video.size(), 10u);
    for (const Bytes& p : video)
        ASSERT_EQ(Pid(p.data()), 0x300);
}

}  // namespace
}  // namespace velmora::tstest

// Capture restarts, packet lengths and several processes on one card. The
// card runs its built-in stream on the manual clock: the generator's packet
// n carries the tick n x 4000 in its PCR, so every captured packet can be
// checked against the one the card was sent.
namespace velmora::tstest {
namespace {

constexpr uint32_t kBlockC = 0x200;
constexpr uint32_t kInputEnable = 1u << 4;
constexpr uint32_t kInputCommit = 1u << 0;
// The peer process's settings.
constexpr const char* kPeerMode = "VELMORA_TEST_TS_PEER";
constexpr const char* kPeerReady = "VELMORA_TEST_TS_PEER_READY";
constexpr const char* kPeerSeed = "VELMORA_TEST_TS_PEER_SEED";
constexpr const char* kPeerRecording = "VELMORA_TEST_TS_PEER_RECORDING";
constexpr const char* kPeerWork = "VELMORA_TEST_TS_PEER_WORK";
constexpr const char* kPeerEnding = "VELMORA_TEST_TS_PEER_ENDING";
constexpr const char* kPeerGo = "VELMORA_TEST_TS_PEER_GO";
constexpr const char* kPeerLocks = "VELMORA_TEST_TS_PEER_LOCKS";
// What the "count" peer leaves with: this, plus 10 for an answer of 1, plus
// 1 + the count when the call wrote one.
constexpr int kCountAnswerBase = 10;
constexpr const char* kPeerRate = "VELMORA_TEST_TS_PEER_RATE";
constexpr const char* kPeerTold = "VELMORA_TEST_TS_PEER_TOLD";
// Where the "reader" peer leaves the number of packets missing from what it
// read.
constexpr const char* kPeerMissing = "VELMORA_TEST_TS_PEER_MISSING";
// Set when the peer's standard output goes to a file: it leaves this there,
// in the output's buffer, for its end to write.
constexpr const char* kPeerOutput = "VELMORA_TEST_TS_PEER_OUTPUT";
constexpr const char kPeerOutputText[] = "the peer's own output, written as it ends\n";
constexpr int kOtherUsersStatus = 16;

// Whether the peer's output file holds what it left for its end to write.
bool EndedWithItsOutput(const std::string& path) {
    const Bytes written = test::ReadWholeFile(path);
    return std::string(written.begin(), written.end()).find(kPeerOutputText) != std::string::npos;
}

// The field event the "events" peer registers.
constexpr const wchar_t* kPeerFieldEvent = L"TsPeerFieldEvent";
VELMORA_HANDLE g_peerField = nullptr;

bool InputEnabled() {
    return (sim::PeekRegister(0, kBlockC).value_or(0) & kInputEnable) != 0;
}

// One field run on the card's manual clock sets this process's field event.
bool AFieldReaches(VELMORA_HANDLE field) {
    VelmoraOs_ResetEvent(field);
    return sim::StepFields(0, 1) &&
           VelmoraOs_WaitForSingleObject(field, test::kHangBoundMs) == VELMORA_WAIT_OBJECT_0;
}

// The name of the mutex of the board's DMA channel `channel`.
std::string DmaChannelMutex(int channel) {
    char name[64];
    std::snprintf(name, sizeof(name), "QuorvelPciBridgeDma%dMutex_%d_%d_0", channel,
                  sim::SimCard::kVendorId, sim::SimCard::kDeviceId);
    return name;
}

// The generator's number of the first packet of `run`, read from its first
// PCR; none without one.
// Where the first packet of `run` that carries a PCR is (its size if none).
size_t FirstPcrAt(const std::vector<Bytes>& run) {
    for (size_t at = 0; at < run.size(); ++at) {
        const uint8_t* p = run[at].data();
        if ((p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10)) return at;
    }
    return run.size();
}

std::optional<uint64_t> GeneratorIndexOfFirst(const std::vector<Bytes>& run) {
    const size_t at = FirstPcrAt(run);
    if (at == run.size()) return std::nullopt;
    const uint8_t* p = run[at].data();
    const uint64_t base = (uint64_t{p[6]} << 25) | (uint64_t{p[7]} << 17) | (uint64_t{p[8]} << 9) |
                          (uint64_t{p[9]} << 1) | (p[10] >> 7);
    const uint64_t pcr = base * 300 + (((p[10] & 1u) << 8) | p[11]);
    const uint64_t index = pcr / sim::SimTsGenerator::kTicksPerPacket;
    return index >= at ? std::optional<uint64_t>(index - at) : std::nullopt;
}

// The application side of one capture on the manual clock: it moves card
// time on only while it keeps up, takes what the card passes on and checks
// each packet against the generator as it comes (a 204-byte packet with 16
// zero bytes after the 188 sent).
class SteppedCapture {
  public:
    explicit SteppedCapture(uint32_t length = 188) : m_length(length) {}

    // Steps the clock when fewer than four chunks of captured packets wait,
    // then takes what is ready, at most `most`.
    void Turn(uint64_t most = UINT64_MAX) {
        const uint64_t captured = sim::AsiCaptureCounts(0)->captured;
        if (captured < m_base + m_count + 4 * ts::kChunkBytes / 188) sim::StepFields(0, 1);
        Take(most);
    }
    // Takes `count` more packets; false when they do not come.
    bool TakeMore(uint64_t count) {
        const uint64_t goal = m_count + count;
        return WaitFor(
            [&] {
                Turn(goal - m_count);
                return m_count >= goal;
            },
            std::to_string(goal) + " captured packets");
    }
    // From now on, what the card captures is what this capture should get:
    // one new stretch of the stream.
    void Restart() {
        m_base = sim::AsiCaptureCounts(0)->captured;
        m_count = 0;
        m_next.reset();
        m_first.reset();
        m_pending.clear();
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
    // Whether every packet taken since the restart continues one stretch.
    bool Whole() const { return m_whole && m_next.has_value(); }
    // The generator's number of the packet that continues the stretch.
    uint64_t Next() const { return m_next.value_or(0); }

  private:
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
            m_next.reset();
            m_pending.push_back(packet);
        } else {
            ++*m_next;
            m_whole = false;
        }
    }

    uint32_t m_length;
    uint64_t m_base = 0;
    uint64_t m_count = 0;
    std::optional<uint64_t> m_next;
    // The number of the stretch's first packet.
    std::optional<uint64_t> m_first;
    std::vector<Bytes> m_pending;
    bool m_whole = true;
    bool m_acrossGaps = false;
    uint64_t m_missing = 0;
};

std::unique_ptr<platform::test::Child> StartPeer(
    const std::string& mode, const std::vector<std::pair<const char*, std::string>>& settings,
    const std::string& output = {}, const passwd* user = nullptr);

class TsCardRestartTest : public TsCardTest {
  protected:
    void SetUp() override {
        TsCardTest::SetUp();
        ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
        Open();
    }
};

// Nothing captured before a restart comes out after it: neither what the
// application had counted but not read, nor what the card still held.
TEST_F(TsCardRestartTest, ARestartBringsBackNothingFromBeforeIt) {
    SteppedCapture capture;
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    capture.Restart();
    ASSERT_TRUE(capture.TakeMore(1000));
    EXPECT_TRUE(capture.Whole());

    // A count taken before the restart allows no read after it.
    sim::StepFields(0, 4);
    uint32_t counted = 0;
    ASSERT_TRUE(WaitFor([&] {
        Quorvel_Velmora_TsCaptureGetFillBufferNum(&counted, 0);
        return counted > 0;
    }));
    ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    Bytes stale(size_t{counted} * 188);
    EXPECT_EQ(Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(stale.data(), counted, 0), 0u);

    // Fewer packets than the reader takes from a flowing stream wait on the
    // card at a disable; card time passes before the next enable. Then again
    // with the card's entries close to its window's end and another process's
    // open while the enable lets go of what the card holds: a thread keeps
    // the input's switch from then until that open is done, so that an input
    // still off would have the open commit the window start there, and the
    // card count itself full and drop what comes.
    for (const bool openBetween : {false, true}) {
        SCOPED_TRACE(openBetween ? "another process opens" : "alone");
        constexpr uint32_t kFewPerField = 20;
        if (openBetween) {
            constexpr uint32_t kNearPerField = 50;
            ASSERT_TRUE(sim::SetAsiInputRate(0, kNearPerField * 188 * 8 * 50));
            ASSERT_TRUE(WaitFor([&] {
                capture.Turn();
                const uint32_t write =
                    sim::PeekRegister(0, hw::CVelmoraFpga::kRegAsiInputWritePointer).value();
                const uint32_t left =
                    (ts::CAsiInputPort::kDefaultEndWord - write) / ts::kAsiUnitWords;
                // Fewer than a field's packets at the stream's rate once those below come.
                return left > 2 * kFewPerField && left <= 2 * kFewPerField + kNearPerField;
            }));
        }
        ASSERT_TRUE(sim::SetAsiInputRate(0, kFewPerField * 188 * 8 * 50));
        const uint64_t before = sim::AsiCaptureCounts(0)->captured;
        ASSERT_TRUE(sim::StepFields(0, 1));
        ASSERT_EQ(sim::AsiCaptureCounts(0)->captured, before + kFewPerField);
        ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
        ASSERT_TRUE(sim::StepFields(0, 1));
        ASSERT_TRUE(sim::SetAsiInputRate(0, sim::SimAsiEngine::kDefaultInputRate));
        std::thread opener;
        std::promise<void> switchHeld;
        if (openBetween) {
            ASSERT_TRUE(
                sim::RunAfterNextRegisterWrite(0, hw::CVelmoraFpga::kRegAsiInputReadPointer, [&] {
                    opener = std::thread([&] {
                        const auto inputSwitch = platform::NamedMutex::Create(
                            std::string(cardtest::kCardName) + "TsInputMutex_0");
                        EXPECT_EQ(inputSwitch->Lock(), platform::WaitResult::Signaled);
                        switchHeld.set_value();
                        // Once the discard has let the channel go.
                        const auto channel = platform::NamedMutex::Create(DmaChannelMutex(1));
                        EXPECT_EQ(channel->Lock(), platform::WaitResult::Signaled);
                        channel->Unlock();
                        EXPECT_EQ(StartPeer("open", {})->Wait(), 0);
                    });
                    switchHeld.get_future().wait();
                }));
        }
        EXPECT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
        if (opener.joinable()) opener.join();
        capture.Restart();
        ASSERT_TRUE(capture.TakeMore(3000));
        EXPECT_TRUE(capture.Whole());
    }
}

// The length set takes effect for this process's own engines at the next
// enable, also when it is the only process on the card.
TEST_F(TsCardRestartTest, APacketLengthSetTakesEffectAtTheNextEnable) {
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsSetAsiPacketLength(VELMORA_ASI_PACKET_204, 0), 1u);
    // Not while capture runs at the other length.
    EXPECT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 0u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    SteppedCapture wide(204);
    wide.Restart();
    ASSERT_TRUE(wide.TakeMore(2000));
    EXPECT_TRUE(wide.Whole());
    ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
    ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Realtime));
    EXPECT_EQ(PacedPlayback(38000000, 204), "");

    ASSERT_EQ(Quorvel_Velmora_TsSetAsiPacketLength(VELMORA_ASI_PACKET_188, 0), 1u);
    EXPECT_EQ(PacedPlayback(38000000, 188), "");
}

// The peer process: this test program started again with only this test and
// its settings in the environment. It opens card 0, captures and lets go as
// its mode says ("disable", "close", "hold": capture until killed, "random":
// restart and close at random until the test's go, recording a program,
// "play": play 13,000 packets of PID 0x101 out, "player": play until the
// test's go, "open": close at once, "end": start some work and end the
// process without a close, "lock": hold locks of the card and stop, "count":
// count the cards, "beside": open beside a stopped holder of locks and
// capture once it let go, "reach": end at once, without the card).
void PeerSignalReady() {
    if (const char* ready = std::getenv(kPeerReady)) {
        FILE* file = std::fopen(ready, "w");
        if (file) std::fclose(file);
    }
}

// Capture through the program engine with the peer's program recorded.
void PeerStartRecording(const std::wstring& path) {
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    TS_PROGRAM_INFORMATION info;
    uint32_t state = 0;
    ASSERT_TRUE(WaitFor([&] {
        return Quorvel_Velmora_TsCaptureGetProgramInformation(&info, &state, 0) == 1 && state == 2;
    }));
    ASSERT_EQ(Quorvel_Velmora_TsCaptureRecorderEnable(2, path.c_str(), 0), 1u);
    ASSERT_EQ(TsCardTest::Capture(ts::kChunkBytes / 188).size(), ts::kChunkBytes / 188);
}

// Whether the test's go is there.
bool PeerToldToEnd() {
    return std::filesystem::exists(std::getenv(kPeerGo));
}

// Stops, restarts, changes work mode and closes at random until the test's
// go, recording a program whenever it captures.
void PeerRestartsAtRandom() {
    const std::wstring path = Wide(std::getenv(kPeerRecording));
    std::mt19937 random(static_cast<uint32_t>(std::strtoul(std::getenv(kPeerSeed), nullptr, 10)));
    ASSERT_NO_FATAL_FAILURE(PeerStartRecording(path));
    while (!PeerToldToEnd()) {
        const size_t packets = random() % (4 * ts::kChunkBytes / 188);
        ASSERT_EQ(TsCardTest::Capture(packets).size(), packets);
        switch (random() % 3) {
            case 0:
                ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
                break;
            case 1:
                ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(0, 0), 1u);
                break;
            default:
                ASSERT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
                ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
                break;
        }
        ASSERT_NO_FATAL_FAILURE(PeerStartRecording(path));
    }
}

uintmax_t FileSize(const std::string& path) {
    std::error_code absent;
    const uintmax_t size = std::filesystem::file_size(path, absent);
    return absent ? 0 : size;
}

// Starts the work and waits until it runs: "capture" in work mode 0,
// "record" a program into `file`, "file" the whole stream into `file` or
// "stamp" (capture only) in work mode 1, "play" or "video" capture, or
// "events", "waiter", "objects" or "mailbox", which register a field event
// (the last also opens the mailbox's block as its peers do), or close the
// card and "reopen" it, or create and close one named "event" (also
// "waiting", which makes another as it ends).
void PeerStartWork(const std::string& work, const std::string& file) {
    if (work == "reopen" || work == "event" || work == "waiting") {
        ASSERT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
        if (work == "reopen") {
            ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
        } else {
            ASSERT_EQ(VelmoraOs_CloseHandle(VelmoraOs_CreateEvent(0, 0, L"TsPeerObject")), 1);
        }
        return;
    }
    if (work == "events" || work == "waiter" || work == "objects" || work == "mailbox") {
        ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(kPeerFieldEvent, &g_peerField, 0), 1u);
        if (work == "mailbox") {
            ASSERT_NE(VelmoraOs_MapSharedMemory(
                          VelmoraOs_OpenSharedMemory(L"MAP_TQ5110_Read_0", 0x10000)),
                      nullptr);
        }
        return;
    }
    if (work == "play") {
        ASSERT_EQ(Quorvel_Velmora_TsPlaybackEnable(0), 1u);
        ASSERT_TRUE(
            TsCardTest::Play(GeneratorPackets(0, VELMORA_TS_PLAYBACK_START_PACKETS + 1000), 188));
        return;
    }
    if (work == "video") {
        ASSERT_EQ(Quorvel_Velmora_VideoCaptureStart(0), 1u);
        Bytes frame(720 * 576 * 4);
        uint64_t stamp = 0;
        ASSERT_TRUE(
            WaitFor([&] { return Quorvel_Velmora_ReadOneVideoFrame(&stamp, frame.data(), 0); }));
        return;
    }
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(work == "capture" ? 0 : 1, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    ASSERT_EQ(TsCardTest::Capture(500).size(), 500u);
    if (work == "record") {
        ASSERT_NE(TsCardTest::ProgramInformation(), nullptr);
        ASSERT_EQ(Quorvel_Velmora_TsCaptureRecorderEnable(1, Wide(file).c_str(), 0), 1u);
        RECORD_LENGTH length = {};
        ASSERT_TRUE(WaitFor([&] {
            TsCardTest::Capture(100);
            return Quorvel_Velmora_TsCaptureRecorderGetLength(1, 0, &length, 0) == 1 &&
                   length.dwFrames >= 2;
        }));
    } else if (work == "file") {
        ASSERT_EQ(Quorvel_Velmora_StartWriteTsFile(Wide(file).c_str(), 0), 1u);
        ASSERT_TRUE(WaitFor([&] {
            TsCardTest::Capture(100);
            return FileSize(file) > 0;
        }));
    }
}

// Plays the generator's stream until the test's go.
void PeerPlays() {
    ASSERT_EQ(Quorvel_Velmora_TsPlaybackSetBitRate(38000000, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsPlaybackEnable(0), 1u);
    for (uint64_t next = 0; !PeerToldToEnd(); next += 1000)
        ASSERT_TRUE(TsCardTest::Play(GeneratorPackets(next, 1000), 188));
    EXPECT_EQ(Quorvel_Velmora_TsPlaybackDisable(0), 1u);
}

// Takes the named mutexes `names` lists, separated by commas, until the
// result goes; none when one of them is not taken whole.
std::vector<std::unique_ptr<platform::NamedMutex>> LockNamed(const std::string& names) {
    std::vector<std::unique_ptr<platform::NamedMutex>> held;
    std::istringstream list(names);
    for (std::string name; std::getline(list, name, ',');) {
        held.push_back(platform::NamedMutex::Create(name));
        if (!held.back() || held.back()->Lock() != platform::WaitResult::Signaled) return {};
    }
    return held;
}

// Holds the locks `names` lists ("sim": the simulated card's own, "namespace":
// the named objects' lock, else named mutexes separated by commas), says so
// and stops itself there, in a session of its own: the system hangs up the
// stopped processes of a group that the shell which started the test leaves
// behind, which would end this one and let its locks go. Continued, it lets
// them go and ends.
void PeerHoldsLocks(const std::string& names) {
    const auto holdStopped = [] {
        setsid();
        PeerSignalReady();
        raise(SIGSTOP);
    };
    if (names == "sim") {
        const auto card = sim::SimDriver::Instance().HoldCard(0);
        ASSERT_NE(card, nullptr);
        card->WithState([&](sim::SimCardState&) { holdStopped(); });
        return;
    }
    if (names == "namespace") {
        // A block's set-up runs under the lock.
        platform::SharedMemory::Open("TsNamespaceHeld", 64, [&](void*) { holdStopped(); });
        FAIL() << "the namespace's lock was not had";
    }
    const auto held = LockNamed(names);
    ASSERT_FALSE(held.empty());
    holdStopped();
}

// Captures and reads as an application does, with the card's clock left to
// the test; once told to go on, reads until 1,000 packets have come after a
// gap, then disables, after which its log must count the packets missing,
// and leaves their number.
void PeerReadsAcrossAGap() {
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    SteppedCapture capture;
    ASSERT_TRUE(WaitFor([&] {
        capture.TakeAcrossGaps();
        return capture.Count() >= 1000;
    }));
    PeerSignalReady();
    const char* go = std::getenv(kPeerGo);
    ASSERT_TRUE(WaitFor([&] {
        capture.TakeAcrossGaps();
        return std::filesystem::exists(go);
    }));
    std::optional<uint64_t> afterGap;
    ASSERT_TRUE(WaitFor([&] {
        capture.TakeAcrossGaps();
        if (!afterGap && capture.Missing() != 0) afterGap = capture.Count();
        return afterGap && capture.Count() >= *afterGap + 1000;
    }));
    EXPECT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    // Its count is never short; a loss before the stop, or after the last
    // packet read, may come on top of the gap measured.
    EXPECT_GE(LastDroppedCount(cardtest::LogText()), capture.Missing());
    FILE* missing = std::fopen(std::getenv(kPeerMissing), "w");
    ASSERT_NE(missing, nullptr);
    std::fprintf(missing, "%llu", static_cast<unsigned long long>(capture.Missing()));
    std::fclose(missing);
}

// Stops `peer` where it holds none of the card's locks that a capture takes
// (the simulated card's, the registers', a DMA channel's): stopped inside
// one, it would hold up every process of the card.
bool StopOutsideTheCard(platform::test::Child& peer) {
    const auto free = [](const std::string& name) {
        auto mutex = platform::NamedMutex::Create(name);
        const platform::WaitResult result = mutex ? mutex->TryLock() : platform::WaitResult::Failed;
        if (result != platform::WaitResult::Signaled && result != platform::WaitResult::Abandoned)
            return false;
        mutex->Unlock();
        return true;
    };
    for (int tries = 0; tries < 10000; ++tries) {
        if (!peer.Stop()) return false;
        if (sim::CardLockFree(0) && free(std::string(cardtest::kCardName) + "FpgaMutex_0") &&
            free(DmaChannelMutex(0)) && free(DmaChannelMutex(1))) {
            return true;
        }
        peer.Continue();
    }
    return false;
}

// Opens once the test's go is there and says so, then captures once the
// locks `names` lists are free.
void PeerOpensBesideAHolder(const std::string& names) {
    const char* go = std::getenv(kPeerGo);
    ASSERT_TRUE(WaitFor([go] { return std::filesystem::exists(go); }));
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    PeerSignalReady();
    ASSERT_FALSE(LockNamed(names).empty());
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    EXPECT_EQ(TsCardTest::Capture(500).size(), 500u);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
}

// The deadline of the calls that meet a stopped holder of a lock: long enough
// that an ordinary holder of the namespace lock, which the machine's load may
// deschedule for a while, never makes them give up; short beside the bound of
// a hang, so that a call that gives up on a stopped holder is told apart from
// one that hangs on it.
constexpr auto kStoppedHolderDeadline = std::chrono::seconds(5);

// Reads what it captures, if anything, until the test's go. The calls from
// then on, and the close at the process's end, give up a lock held elsewhere
// by kStoppedHolderDeadline, so that a stopped holder costs them little.
void PeerAwaitsGo() {
    platform::CallDeadline::SetLength(kStoppedHolderDeadline);
    const char* go = std::getenv(kPeerGo);
    ASSERT_TRUE(WaitFor([go] {
        TsCardTest::DropCaptured();
        return std::filesystem::exists(go);
    }));
}

// Has a thread make a named event and returns once it waits for the named
// objects' lock, which a stopped process holds: the thread then sleeps
// between its looks at the lock. Its call, and the process's end, may wait
// twice the deadline of the test's bound, so that an end that waits for the
// thread misses that bound by a whole deadline.
void PeerWaitsForTheObjectsLock() {
    platform::CallDeadline::SetLength(2 * kStoppedHolderDeadline);
    static std::atomic<pid_t> s_maker{0};
    std::thread([] {
        s_maker = gettid();
        VelmoraOs_CreateEvent(0, 0, L"TsPeerWaiting");
        for (;;)
            pause();
    }).detach();
    ASSERT_TRUE(WaitFor([] {
        long call = -1;
        std::ifstream("/proc/self/task/" + std::to_string(s_maker.load()) + "/syscall") >> call;
        return s_maker != 0 && (call == SYS_clock_nanosleep || call == SYS_nanosleep);
    }));
}

// Plays the generator's stream at its rate, keeping the card's window full,
// until told on its pipe how to let the output go: "d" by a disable, "c" by
// a close, "e" by exit with the card open, "k" by being killed inside the
// card's next step that plays a packet. It tells on its ready pipe once its
// stream is on the card and once it let go.
void PeerHoldsTheOutput() {
    const int ready = std::atoi(std::getenv(kPeerReady));
    const int told = std::atoi(std::getenv(kPeerTold));
    const uint32_t rate = static_cast<uint32_t>(std::strtoul(std::getenv(kPeerRate), nullptr, 10));
    ASSERT_EQ(Quorvel_Velmora_TsPlaybackSetBitRate(rate, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsPlaybackEnable(0), 1u);
    // Enough for the engine to move the stream to the card.
    uint64_t next = VELMORA_TS_PLAYBACK_START_PACKETS + 1000;
    ASSERT_TRUE(TsCardTest::Play(GeneratorPackets(0, next), 188));
    ASSERT_EQ(write(ready, "r", 1), 1);
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(test::kHangBoundMs);
    char ending = 0;
    pollfd entry{told, POLLIN, 0};
    const auto playWhile = [&](const auto& more) {
        while (more() && std::chrono::steady_clock::now() < end) {
            ASSERT_TRUE(TsCardTest::Play(GeneratorPackets(next, 1000), 188));
            next += 1000;
        }
    };
    playWhile([&] { return poll(&entry, 1, 0) == 0; });
    ASSERT_EQ(read(told, &ending, 1), 1);
    if (ending == 'k') {
        ASSERT_TRUE(sim::RunInsideNextAsiStep(0, true, [] { raise(SIGKILL); }));
        playWhile([] { return true; });
    }
    if (ending == 'e') std::exit(0);
    EXPECT_EQ(ending == 'd' ? Quorvel_Velmora_TsPlaybackDisable(0) : Quorvel_Velmora_CloseCard(0),
              1u);
    ASSERT_EQ(write(ready, "g", 1), 1);
    for (;;)
        pause();
}

// Calls on the card ("stamp") or on its field event's handles ("events", or
// waits on it: "waiter") until an alarm's handler ends the process with
// `status` on this thread, which is inside a call nearly all the time.
[[noreturn]] void PeerEndsInsideACall(const std::string& work, const std::string& status) {
    static int s_status = 0;
    s_status = std::atoi(status.c_str());
    std::signal(SIGALRM, [](int) { std::exit(s_status); });
    ualarm(200000, 0);
    for (uint64_t stamp = 0;;) {
        if (work == "stamp") {
            Quorvel_Velmora_GetCardTimeStamp(&stamp, 0);
            continue;
        }
        if (work == "waiter") {
            VelmoraOs_WaitForSingleObject(g_peerField, VELMORA_INFINITE);
            continue;
        }
        // A closed handle: each call is little more than its look-up in the
        // handle table, so the alarm mostly comes while the table is locked.
        static const VELMORA_HANDLE closed = [] {
            const VELMORA_HANDLE event = VelmoraOs_OpenEvent(kPeerFieldEvent);
            VelmoraOs_CloseHandle(event);
            return event;
        }();
        VelmoraOs_ResetEvent(closed);
        VelmoraOs_SetEvent(closed);
        VelmoraOs_WaitForSingleObject(closed, 0);
        VelmoraOs_CloseHandle(closed);
    }
}

// A thread makes and closes a named event over and over. The process's end,
// once it has closed the card (which takes their lock often), goes on when
// the thread is back to it, so that it ends the thread nearly always inside
// a call.
void PeerMakesObjects() {
    static std::atomic<uint64_t> s_made{0};
    static std::thread* const s_maker = new std::thread([] {
        for (;; ++s_made)
            VelmoraOs_CloseHandle(VelmoraOs_CreateEvent(0, 0, L"TsPeerObject"));
    });
    static_cast<void>(s_maker);
    std::atexit([] {
        const uint64_t made = s_made;
        WaitFor([made] { return s_made > made + 2; });
    });
}

// Another user's process on the same namespace: it counts the cards, as a
// program does before it opens one, holds a named event until told on its
// pipe, then ends with its own status and output.
[[noreturn]] void PeerOfAnotherUser() {
    const int ready = std::atoi(std::getenv(kPeerReady));
    const int told = std::atoi(std::getenv(kPeerTold));
    uint32_t count = 0;
    Quorvel_Velmora_GetTotalCardNumber(&count);
    VELMORA_HANDLE event = nullptr;
    // Refused while a process of the other user holds the namespace's lock.
    WaitFor([&event] { return (event = VelmoraOs_CreateEvent(0, 0, L"TsOtherUsers")) != nullptr; });
    char byte = 0;
    if (!event || write(ready, "r", 1) != 1 || read(told, &byte, 1) != 1) std::_Exit(1);
    std::fputs(kPeerOutputText, stdout);
    std::exit(kOtherUsersStatus);
}

TEST(TsCardPeerProcess, CapturesAndLetsGo) {
    const char* mode = std::getenv(kPeerMode);
    if (!mode) GTEST_SKIP() << "runs as the peer process of the two-process capture tests";
    if (std::string(mode) == "reach") return;
    if (std::string(mode) == "lock") return PeerHoldsLocks(std::getenv(kPeerLocks));
    if (std::string(mode) == "user") PeerOfAnotherUser();
    if (std::string(mode) == "beside") return PeerOpensBesideAHolder(std::getenv(kPeerLocks));
    if (std::string(mode) == "count") {
        ASSERT_NO_FATAL_FAILURE(PeerAwaitsGo());
        constexpr uint32_t kUnwritten = 99;
        uint32_t count = kUnwritten;
        const int answer = static_cast<int>(Quorvel_Velmora_GetTotalCardNumber(&count));
        std::_Exit(kCountAnswerBase + 10 * answer +
                   (count == kUnwritten ? 0 : 1 + static_cast<int>(count)));
    }
    const char* work = std::getenv(kPeerWork);
    if (work && std::string(work) == "objects") PeerMakesObjects();
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    if (std::string(mode) == "open") {
        EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
        return;
    }
    if (std::string(mode) == "play") {
        EXPECT_TRUE(PlayOut(0x101));
        EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
        return;
    }
    if (std::string(mode) == "output") {
        PeerHoldsTheOutput();
        return;
    }
    if (std::string(mode) == "reader") return PeerReadsAcrossAGap();
    if (std::string(mode) == "end") {
        ASSERT_NO_FATAL_FAILURE(PeerStartWork(std::getenv(kPeerWork), std::getenv(kPeerRecording)));
        PeerSignalReady();
        if (std::getenv(kPeerGo)) {
            ASSERT_NO_FATAL_FAILURE(PeerAwaitsGo());
        }
        // "return": from the test, and so from main.
        const std::string ending = std::getenv(kPeerEnding);
        const std::string work = std::getenv(kPeerWork);
        if (work == "waiting") {
            ASSERT_NO_FATAL_FAILURE(PeerWaitsForTheObjectsLock());
        }
        if (std::getenv(kPeerOutput)) std::fputs(kPeerOutputText, stdout);
        if (work == "stamp" || work == "events" || work == "waiter")
            PeerEndsInsideACall(work, ending);
        if (ending != "return") std::exit(std::atoi(ending.c_str()));
        return;
    }
    if (std::string(mode) == "random" || std::string(mode) == "player") {
        if (std::string(mode) == "random") {
            PeerRestartsAtRandom();
        } else {
            PeerPlays();
        }
        EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
        return;
    }
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    ASSERT_EQ(TsCardTest::Capture(500).size(), 500u);
    PeerSignalReady();
    if (std::string(mode) == "disable") {
        EXPECT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
    } else if (std::string(mode) == "hold") {
        for (;;)
            pause();
    } else if (std::string(mode) == "step") {
        // Dies half-way through the card's step that captures a field's packets.
        ASSERT_TRUE(sim::RunInsideNextAsiStep(0, false, [] { raise(SIGKILL); }));
        sim::StepFields(0, 1);
    }
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
}

// Starts the peer process in `mode` with `settings` in its environment; with
// `output`, its standard output goes to that file, as a shell's redirection
// sends it, and with `user` it runs as that user.
std::unique_ptr<platform::test::Child> StartPeer(
    const std::string& mode, const std::vector<std::pair<const char*, std::string>>& settings,
    const std::string& output, const passwd* user) {
    const std::string self = platform::ExecutablePath();
    return std::make_unique<platform::test::Child>([&] {
        setenv(kPeerMode, mode.c_str(), 1);
        for (const auto& [name, value] : settings)
            setenv(name, value.c_str(), 1);
        if (!output.empty()) {
            const int file = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (file < 0 || dup2(file, 1) != 1) return 126;
            setenv(kPeerOutput, "1", 1);
        }
        if (user &&
            (setgroups(0, nullptr) != 0 || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0))
            return 126;
        const std::string filter = "--gtest_filter=TsCardPeerProcess.CapturesAndLetsGo";
        // Only its failures are worth a line among the test's own.
        const std::string brief = "--gtest_brief=1";
        char* const argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(filter.c_str()),
                              const_cast<char*>(brief.c_str()), nullptr};
        execve(self.c_str(), argv, environ);
        return 127;
    });
}

// Whether `user` can start this test program, which it cannot from a folder
// only its owner may enter.
bool RunsAs(const passwd* user) {
    return StartPeer("reach", {}, {}, user)->Wait() == 0;
}

// Whoever played before, by a close and reopen or from another process, the
// first packets on the cable after an enable are the new stream's own, not
// what an earlier stream left in the card's window; also when another process
// opens between the player's first pointer write and its commit.
TEST_F(TsCardTest, AnEnablePlaysItsOwnPacketsFirstWhoeverPlayedBefore) {
    const std::string tap = TempPath("tap_follow");
    constexpr uint32_t kWrite = hw::CVelmoraFpga::kRegAsiOutputWritePointer;
    std::function<void()> openBetween = [&] {
        EXPECT_EQ(StartPeer("open", {})->Wait(), 0);
        sim::RunAfterNextRegisterWrite(0, kWrite, openBetween);
    };
    for (const std::string before : {"this process, closed since", "another process", "open"}) {
        if (before == "another process") {
            ASSERT_EQ(StartPeer("play", {})->Wait(), 0);
        } else if (before != "open") {
            Open();
            ASSERT_TRUE(PlayOut(0x101));
            ASSERT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
        }
        Open();
        ASSERT_TRUE(sim::SetAsiOutputTap(0, tap));
        if (before == "open") {
            ASSERT_TRUE(sim::RunAfterNextRegisterWrite(0, kWrite, openBetween));
        }
        ASSERT_TRUE(PlayOut(0x102));
        sim::RunAfterNextRegisterWrite(0, kWrite, nullptr);
        sim::SetAsiOutputTap(0, "");
        const auto played = sim::ReadAsiOutputTap(tap);
        std::remove(tap.c_str());
        ASSERT_GE(played.size(), kPlayerPackets);
        const auto isOwn = [](const sim::SimAsiPlayedPacket& p) { return Pid(p.bytes) == 0x102; };
        EXPECT_TRUE(std::all_of(played.begin(), played.begin() + kPlayerPackets, isOwn)) << before;
        // Nor does an earlier stream of the same PID play after it.
        EXPECT_EQ(std::count_if(played.begin(), played.end(), isOwn), kPlayerPackets) << before;
        ASSERT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    }
}

// The card has one output: while another process plays, an enable answers 0
// and the other's stream plays on; once that process lets go or dies, the
// enable answers 1 and this process's stream follows the card, none of the
// other's after its first packet, also when the other died with a window of
// its slow stream still to play. A stopped player keeps the output.
TEST_F(TsCardTest, OneProcessPlaysAtATimeAndTheNextFollowsTheCard) {
    struct LettingGo {
        const char* how;
        char told;  // what the peer is told, 0 for a signal
        bool stopFirst;
        // The peer's bits a second: at 100 kbit/s one packet lasts 15 ms.
        const char* rate = "2000000";
    };
    const LettingGo rows[] = {{"disables", 'd', false},
                              {"closes", 'c', false},
                              {"exits", 'e', false},
                              {"is killed", 0, false},
                              {"is stopped, then killed", 0, true},
                              {"is killed inside the card's step", 'k', false},
                              {"is killed at 100 kbit/s", 0, false, "100000"}};
    // A PID the peer's stream, the generator's, does not use.
    constexpr uint16_t kOwnPid = 0x1000;
    const auto isOwn = [](const sim::SimAsiPlayedPacket& p) { return Pid(p.bytes) == kOwnPid; };
    const std::string tap = TempPath("tap_one_output");
    const std::string after = TempPath("tap_after_letting_go");
    Open();
    for (const LettingGo& row : rows) {
        SCOPED_TRACE(row.how);
        std::remove(tap.c_str());
        ASSERT_TRUE(sim::SetAsiOutputTap(0, tap));
        // The card's numbers of what it plays from here on: the peer's packet
        // n is numbered before + n.
        const uint64_t before = sim::PlayedAsiPackets(0)->played;
        platform::test::Pipe ready;
        platform::test::Pipe told;
        auto peer = StartPeer("output", {{kPeerRate, row.rate},
                                         {kPeerReady, std::to_string(ready.WriteEnd())},
                                         {kPeerTold, std::to_string(told.ReadEnd())}});
        ASSERT_TRUE(ready.Wait());
        ASSERT_TRUE(WaitFor([&] { return !sim::ReadAsiOutputTap(tap).empty(); }));
        EXPECT_EQ(Quorvel_Velmora_TsPlaybackEnable(0), 0u);
        if (row.stopFirst) {
            ASSERT_TRUE(peer->Stop());
            EXPECT_EQ(Quorvel_Velmora_TsPlaybackEnable(0), 0u);
        }
        if (row.told == 0) {
            peer->Kill();
        } else {
            ASSERT_TRUE(told.Signal(row.told));
            if (row.told == 'e' || row.told == 'k') {
                EXPECT_EQ(peer->Wait(), row.told == 'e' ? 0 : -1);
            } else {
                ASSERT_TRUE(ready.Wait());
            }
        }
        // A process that ends may cut short the record its thread appended
        // to the tap: what the card plays from here on goes to a file of its
        // own.
        std::remove(after.c_str());
        ASSERT_TRUE(sim::SetAsiOutputTap(0, after));
        Bytes last = GeneratorPackets(kPlayerPackets - 1, 1)[0];
        last[1] = kOwnPid >> 8, last[2] = kOwnPid & 0xFF;
        ASSERT_TRUE(PlayOut(kOwnPid, [&] {
            const auto recent = sim::PlayedAsiPackets(0)->recent;
            return !recent.empty() && Bytes(recent.back().bytes, recent.back().bytes + 188) == last;
        }));
        // Checked by the card's numbers, which tell the packets the card
        // played whatever the tap file may have missed.
        const auto played = sim::ReadAsiOutputTap(after);
        const auto first = std::find_if(played.begin(), played.end(), isOwn);
        ASSERT_NE(first, played.end());
        EXPECT_TRUE(std::all_of(first, played.end(), isOwn));
        EXPECT_EQ(played.back().sequence - first->sequence + 1, kPlayerPackets);
        // Before it, the rest of the peer's stream once and in order, then
        // perhaps the null packets that replaced what its disable left.
        auto at = played.begin();
        while (at != first &&
               Bytes(at->bytes, at->bytes + 188) == GeneratorPackets(at->sequence - before, 1)[0]) {
            ++at;
        }
        at = std::find_if(at, first, [](const sim::SimAsiPlayedPacket& p) {
            return Pid(p.bytes) != sim::SimTsGenerator::kNullPid;
        });
        EXPECT_EQ(at - played.begin(), first - played.begin());
    }
    sim::SetAsiOutputTap(0, "");
    std::remove(tap.c_str());
    std::remove(after.c_str());
}

// Another process's capture on the same card starts, stops, closes or dies,
// or it only opens and closes the card; this process's capture goes on whole
// throughout, every field still reaches its field event, and the input goes
// off only when the last capture stops. One that stops reading while another
// reads on loses only what comes after its rings, and counts it.
TEST_F(TsCardRestartTest, AnotherProcessEndsOnlyItsOwnCapture) {
    SteppedCapture capture;
    VELMORA_HANDLE field = nullptr;
    ASSERT_EQ(Quorvel_Velmora_InitialFieldEvent(L"TsRestartField", &field, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    capture.Restart();
    ASSERT_TRUE(capture.TakeMore(1000));
    const std::string ready = TempPath("peer_ready");
    for (const std::string mode : {"disable", "close", "hold", "step", "open"}) {
        SCOPED_TRACE(mode);
        std::remove(ready.c_str());
        auto peer = StartPeer(mode, {{kPeerReady, ready}});
        if (mode == "open") {
            // No card time passes meanwhile: its close comes while this
            // process's field thread waits for the next field.
            EXPECT_EQ(peer->Wait(), 0);
        } else {
            ASSERT_TRUE(WaitFor([&] {
                capture.Turn();
                return std::filesystem::exists(ready);
            }));
            if (mode == "hold") {
                peer->Kill();
            } else {
                ASSERT_TRUE(WaitFor([&] {
                    capture.Turn();
                    return !peer->Running();
                }));
                EXPECT_EQ(peer->Wait(), mode == "step" ? -1 : 0);
            }
        }
        EXPECT_TRUE(InputEnabled());
        EXPECT_TRUE(AFieldReaches(field));
        ASSERT_TRUE(capture.TakeMore(3000));
        EXPECT_TRUE(capture.Whole());
    }
    std::remove(ready.c_str());
    EXPECT_EQ(Quorvel_Velmora_CloseFieldEvent(field, 0), 1u);

    // Another process opens between this reader's pointer write and its
    // commit, while the card writes a few dozen units before its window's
    // end: a window start committed there would make the card count itself
    // full. The card is brought there a packet a field, each once the reader
    // has taken what it takes, so that no read passes over the spot.
    const uint64_t overflows = sim::AsiCaptureCounts(0)->overflows;
    const auto unitsToEnd = [](uint32_t reg) {
        return (ts::CAsiInputPort::kDefaultEndWord - sim::PeekRegister(0, reg).value()) /
               ts::kAsiUnitWords;
    };
    constexpr uint32_t kRead = hw::CVelmoraFpga::kRegAsiInputReadPointer;
    constexpr uint32_t kWrite = hw::CVelmoraFpga::kRegAsiInputWritePointer;
    ASSERT_TRUE(WaitFor([&] {
        capture.Turn();
        return unitsToEnd(kWrite) <= 250;
    }));
    std::atomic<int> stage{0};
    std::function<void()> onCommit = [&] {
        if (!(sim::PeekRegister(0, kBlockC).value() & kInputCommit)) {
            sim::RunAfterNextRegisterWrite(0, kBlockC, onCommit);
            return;
        }
        sim::SetAsiInputRate(0, sim::SimAsiEngine::kDefaultInputRate);
        sim::StepFields(0, 1);
        stage = 2;
    };
    std::function<void()> onPointer = [&] {
        const uint32_t left = unitsToEnd(kRead);
        if (left < 40 || left > 120) {
            sim::RunAfterNextRegisterWrite(0, kRead, onPointer);
            return;
        }
        stage = 1;
        EXPECT_EQ(StartPeer("open", {})->Wait(), 0);
        sim::RunAfterNextRegisterWrite(0, kBlockC, onCommit);
    };
    ASSERT_TRUE(sim::SetAsiInputRate(0, 188 * 8 * 50));
    ASSERT_TRUE(sim::RunAfterNextRegisterWrite(0, kRead, onPointer));
    ASSERT_TRUE(WaitFor([&] {
        if (stage == 0 && unitsToEnd(kRead) - unitsToEnd(kWrite) < 32) sim::StepFields(0, 1);
        return stage == 2;
    }));
    ASSERT_TRUE(capture.TakeMore(3000));
    EXPECT_TRUE(capture.Whole());
    EXPECT_EQ(sim::AsiCaptureCounts(0)->overflows, overflows);

    // This capture stops reading for longer than the card's window while
    // another process reads on, card time passing only while that one keeps
    // up: what this one's two rings held comes whole, and what it lost after
    // them is counted in its log.
    {
        constexpr uint64_t kWindow = ts::CTsDemultiplexer::kRingElements;
        constexpr uint64_t kHeld = 2 * (kWindow - 1);
        const std::string go = TempPath("peer_go");
        auto reader = StartPeer("end", {{kPeerWork, "capture"},
                                        {kPeerRecording, ""},
                                        {kPeerReady, ready},
                                        {kPeerGo, go},
                                        {kPeerEnding, "0"}});
        ASSERT_TRUE(WaitFor([&] {
            capture.Turn();
            return std::filesystem::exists(ready);
        }));
        const size_t logged = cardtest::LogText().size();
        const uint64_t pausedAt = sim::AsiCaptureCounts(0)->captured;
        ASSERT_TRUE(WaitFor([&] {
            if ((unitsToEnd(kRead) + kWindow - unitsToEnd(kWrite)) % kWindow < 32)
                sim::StepFields(0, 1);
            return sim::AsiCaptureCounts(0)->captured > pausedAt + kHeld + 2 * kWindow;
        }));
        ASSERT_TRUE(capture.TakeMore(kHeld));
        EXPECT_TRUE(capture.Whole());
        const uint64_t next = capture.Next();
        capture.Restart();
        ASSERT_TRUE(capture.TakeMore(1000));
        EXPECT_TRUE(capture.Whole());
        const uint64_t lost = capture.Next() - capture.Count() - next;
        std::fclose(std::fopen(go.c_str(), "w"));
        EXPECT_EQ(reader->Wait(), 0);
        // The last count is written at the disable.
        ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
        EXPECT_NE(cardtest::LogText().find(
                      "ring full, " + std::to_string(lost) + " packets dropped", logged),
                  std::string::npos)
            << lost << " lost";
        ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    }

    // A capture whose process is stopped while more than the card's window
    // comes, alone or beside this one, reads on after the gap, and its log
    // counts what it missed; this capture misses nothing. Alone it is also
    // stopped on the card's own clock at a broadcast rate, where packets
    // arrive while it starts and while it looks (a rate at which the
    // simulated card's lock is free often enough under the thread sanitizer
    // on a busy machine for the reader to be stopped outside it). Beside
    // this capture, which stops reading while it is stopped, it reads on
    // too: the card, full behind this capture's pointer, takes up the one it
    // lets go of all it held up to.
    struct StoppedRow {
        const char* name;
        bool beside;
        bool realTime;
        bool thisReads;
    };
    for (const StoppedRow row :
         {StoppedRow{"stopped alone", false, false, false},
          StoppedRow{"stopped beside this capture", true, false, true},
          StoppedRow{"stopped alone, real time", false, true, false},
          StoppedRow{"stopped beside this capture, which stops reading, real time", true, true,
                     false}}) {
        SCOPED_TRACE(row.name);
        const bool beside = row.beside;
        if (!beside) {
            ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
        }
        if (row.realTime) {
            ASSERT_TRUE(sim::SetAsiInputRate(0, 20000000));
            ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Realtime));
        }
        bool stopped = false;
        const auto moveOn = [&] {
            if (beside && (row.thisReads || !stopped)) {
                capture.Turn();
            } else if (!row.realTime) {
                sim::StepFields(0, 1);
            }
        };
        std::remove(ready.c_str());
        const std::string go = TempPath("peer_go");
        const std::string missing = TempPath("peer_missing");
        std::remove(go.c_str());
        auto reader =
            StartPeer("reader", {{kPeerReady, ready}, {kPeerGo, go}, {kPeerMissing, missing}});
        ASSERT_TRUE(WaitFor([&] {
            moveOn();
            return std::filesystem::exists(ready);
        }));
        ASSERT_TRUE(StopOutsideTheCard(*reader));
        stopped = true;
        const auto received = [] {
            const auto counts = sim::AsiCaptureCounts(0);
            return counts->captured + counts->overflows;
        };
        constexpr uint64_t kWindow = ts::CTsDemultiplexer::kRingElements;
        const uint64_t stoppedAt = received();
        ASSERT_TRUE(WaitFor([&] {
            moveOn();
            return received() > stoppedAt + 3 * kWindow;
        }));
        ASSERT_TRUE(reader->Continue());
        std::fclose(std::fopen(go.c_str(), "w"));
        ASSERT_TRUE(WaitFor([&] {
            moveOn();
            return !reader->Running();
        }));
        EXPECT_EQ(reader->Wait(), 0);
        const Bytes lost = test::ReadWholeFile(missing);
        EXPECT_GT(std::stoull("0" + std::string(lost.begin(), lost.end())), kWindow);
        EXPECT_TRUE(capture.Whole());
        std::remove(missing.c_str());
        std::remove(go.c_str());
        if (row.realTime) {
            ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
            ASSERT_TRUE(sim::SetAsiInputRate(0, sim::SimAsiEngine::kDefaultInputRate));
        }
        if (!row.thisReads) {
            // What this capture held from before the stop is not read.
            if (beside) {
                ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
            }
            ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
            capture.Restart();
            ASSERT_TRUE(capture.TakeMore(1000));
        }
    }

    // Alone on the card, a capture that stops reading keeps what its two
    // rings and the card's window hold, and counts what it loses after them;
    // while its stream comes from IP, the ASI packets it does not read are
    // no loss of its.
    {
        constexpr uint64_t kWindow = ts::CTsDemultiplexer::kRingElements;
        constexpr uint64_t kKept = 3 * (kWindow - 1);
        const auto received = [] {
            const auto counts = sim::AsiCaptureCounts(0);
            return counts->captured + counts->overflows;
        };
        const auto cardHolds = [&] {
            return (unitsToEnd(kRead) + kWindow - unitsToEnd(kWrite)) % kWindow;
        };
        capture.Restart();
        ASSERT_TRUE(capture.TakeMore(1000));
        const size_t logged = cardtest::LogText().size();
        // Card time moves on while the reader keeps its rings filling, then
        // while the card's window fills, up to 1,000 packets past it.
        const uint64_t pausedAt = received();
        ASSERT_TRUE(WaitFor([&] {
            if (cardHolds() < 32 || received() - pausedAt - cardHolds() + 4000 > 2 * kWindow)
                sim::StepFields(0, 1);
            return received() > pausedAt + kKept + 1000;
        }));
        ASSERT_TRUE(capture.TakeMore(kKept - 1000));
        EXPECT_TRUE(capture.Whole());
        const uint64_t taken = capture.Count();
        ASSERT_TRUE(WaitFor([&] {
            if (cardHolds() < 32) sim::StepFields(0, 1);
            capture.TakeAcrossGaps();
            return capture.Missing() != 0 && capture.Count() > taken + 3000;
        }));
        const uint64_t lost = capture.Missing();
        ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
        EXPECT_NE(cardtest::LogText().find(
                      "ring full, " + std::to_string(lost) + " packets dropped", logged),
                  std::string::npos)
            << lost << " lost";

        ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
        ASSERT_EQ(Quorvel_Velmora_TsSetInputSource(VELMORA_TS_INPUT_IP, 0), 1u);
        ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
        const size_t overIp = cardtest::LogText().size();
        sim::StepFields(0, 3 * kWindow / 100);
        ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
        EXPECT_EQ(cardtest::LogText().find("ring full", overIp), std::string::npos);
        ASSERT_EQ(Quorvel_Velmora_TsSetInputSource(VELMORA_TS_INPUT_ASI, 0), 1u);
        ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(0, 0), 1u);
        ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    }

    // A capture that stopped reading keeps a whole window once another
    // process's capture has come and gone: the newest the card wrote, its
    // room counted from the point the other read to. What the card wrote over
    // of what this one held is counted exactly.
    for (const std::string mode : {"disable", "close"}) {
        SCOPED_TRACE("alone again after a " + mode);
        constexpr uint64_t kWindow = ts::CTsDemultiplexer::kRingElements;
        constexpr uint64_t kHeld = 2 * (kWindow - 1);
        const auto cardHolds = [&] {
            return (unitsToEnd(kRead) + kWindow - unitsToEnd(kWrite)) % kWindow;
        };
        capture.Restart();
        ASSERT_TRUE(capture.TakeMore(1000));
        const size_t logged = cardtest::LogText().size();
        // Its rings fill, then the card holds what comes: a thousand more
        // packets than they take.
        const auto received = [] {
            const auto counts = sim::AsiCaptureCounts(0);
            return counts->captured + counts->overflows;
        };
        const uint64_t pausedAt = received();
        ASSERT_TRUE(WaitFor([&] {
            if (received() < pausedAt + kHeld + 1000 && cardHolds() < kWindow / 4)
                sim::StepFields(0, 1);
            return received() >= pausedAt + kHeld + 1000 && cardHolds() >= 1000;
        }));
        std::remove(ready.c_str());
        auto peer = StartPeer(mode, {{kPeerReady, ready}});
        // The card is moved on only while the other has little to read, so
        // that this capture never holds more than half the window.
        ASSERT_TRUE(WaitFor([&] {
            if (cardHolds() < 600) sim::StepFields(0, 1);
            return std::filesystem::exists(ready);
        }));
        EXPECT_EQ(peer->Wait(), 0);
        // The card fills from the other's point on.
        ASSERT_TRUE(WaitFor([&] {
            if (cardHolds() < kWindow - 1) sim::StepFields(0, 1);
            return cardHolds() == kWindow - 1;
        }));
        ASSERT_TRUE(WaitFor([&] {
            capture.TakeAcrossGaps();
            return capture.Count() >= 1000 + kHeld + kWindow - 1;
        }));
        EXPECT_GT(capture.Missing(), 0u);
        ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
        EXPECT_EQ(LastDroppedCount(cardtest::LogText().substr(logged)), capture.Missing());
        ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    }

    // The input switched off under this capture (as another process's stop
    // once did) comes back on with the next enable.
    ASSERT_TRUE(
        sim::PokeRegister(0, kBlockC, sim::PeekRegister(0, kBlockC).value() & ~kInputEnable));
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    EXPECT_TRUE(InputEnabled());
    capture.Restart();
    ASSERT_TRUE(capture.TakeMore(1000));
    EXPECT_TRUE(capture.Whole());

    // A stop that cannot have the switch's lock says so and leaves the input
    // as it is; the next stop switches it off.
    {
        const platform::test::ShortCallDeadline deadline;
        platform::test::Pipe held;
        platform::test::Child holder([&held] {
            return platform::test::HoldNamedMutexUntilKilled("QuorvelVelmoraTsInputMutex_0", held);
        });
        ASSERT_TRUE(held.Wait());
        EXPECT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 0u);
        EXPECT_TRUE(InputEnabled());
    }

    // The peer that died capturing holds the input on no longer.
    ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
    EXPECT_FALSE(InputEnabled());
}

// A process whose switch-on failed holds no slot: the input goes off with the
// stop of the last process that switched it on.
TEST(TsInputShareTest, ASwitchOnThatFailedHoldsNoSlot) {
    card::CTsInputShare failed("TsShareTest", 0);
    card::CTsInputShare capturing("TsShareTest", 0);
    uint32_t switchedOff = 0;
    const auto switchOff = [&switchedOff] { return ++switchedOff; };
    EXPECT_EQ(failed.Hold([] { return 0u; }), 0u);
    ASSERT_EQ(capturing.Hold([] { return 1u; }), 1u);
    EXPECT_EQ(capturing.Release(switchOff), 1u);
    EXPECT_EQ(switchedOff, 1u);
}

// A process that ends with the card open, by returning from main or by exit,
// while it captures, records, writes the whole stream, plays or captures
// video, makes named events on another thread or has the mailbox's block
// open, or by exit in an alarm's handler while the same thread calls on the
// card or on the handles of its field event: it ends with its own status and
// output, its files are whole up to its end, and its end closed the card and
// its named objects as its closes would have; also beside what it may not use
// under the namespace's names: a link, another user's file, or the objects of
// another user's process, which ends whole beside this user's objects too.
TEST_F(TsCardTest, AProcessEndingWithTheCardOpenEndsWholeAndClosesIt) {
    struct Ending {
        const char* work;
        const char* ending;
        int status;
        const char* beside = "";
    };
    const Ending endings[] = {{"capture", "return", 0},
                              {"capture", "3", 3},
                              {"record", "4", 4},
                              {"file", "return", 0},
                              {"play", "5", 5},
                              {"video", "return", 0},
                              {"stamp", "9", 9},
                              {"events", "6", 6},
                              // Each catches a handler inside the handle table's lock about
                              // half the time.
                              {"events", "7", 7},
                              {"events", "8", 8},
                              {"waiter", "10", 10},
                              {"mailbox", "11", 11},
                              {"objects", "12", 12},
                              {"reopen", "13", 13, "a link"},
                              {"reopen", "14", 14, "another user's file"},
                              {"reopen", "15", 15, "another user's process"}};
    const std::string peerObjects[] = {platform::MapObjectName("event", "TsPeerFieldEvent"),
                                       platform::MapObjectName("event", "TsPeerObject"),
                                       platform::MapObjectName("shm", "MAP_TQ5110_Read_0"),
                                       platform::MapObjectName("lock", {})};
    const std::string file = TempPath("ending");
    const std::string output = TempPath("ending_output");
    const std::string otherOutput = TempPath("ending_other_output");
    const std::string planted = "/dev/shm" + platform::MapObjectName("shm", "TsPlanted");
    const passwd* nobody = getuid() == 0 ? getpwnam("nobody") : nullptr;
    const bool nobodyRuns = nobody && RunsAs(nobody);
    // An application's handler that calls exit is common, though the call
    // is not safe in a handler: the thread checker is not to report it.
    const char* checker = std::getenv("TSAN_OPTIONS");
    const std::string checkerOptions =
        std::string(checker ? checker : "") + " report_signal_unsafe=0";
    for (const Ending& row : endings) {
        SCOPED_TRACE(std::string(row.work) + ", ending " + row.ending + " " + row.beside);
        const std::string beside = row.beside;
        if (beside.starts_with("another user's") && !nobody) {
            std::printf("Row beside %s skipped: needs root and a user nobody\n", row.beside);
            continue;
        }
        if (beside == "another user's process" && !nobodyRuns) {
            std::printf(
                "Row beside %s skipped: user nobody cannot run this test program "
                "(a folder on its path only its owner may enter?)\n",
                row.beside);
            continue;
        }
        std::remove(file.c_str());
        if (beside == "a link") {
            ASSERT_EQ(symlink(file.c_str(), planted.c_str()), 0);
        }
        if (beside == "another user's file") {
            const int made = open(planted.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
            ASSERT_GE(made, 0);
            EXPECT_EQ(fchown(made, nobody->pw_uid, nobody->pw_gid), 0);
            close(made);
        }
        // It holds an object while the peer ends, and ends beside this one.
        VELMORA_HANDLE own = nullptr;
        platform::test::Pipe otherReady, otherTold;
        std::unique_ptr<platform::test::Child> other;
        if (beside == "another user's process") {
            own = VelmoraOs_CreateEvent(0, 0, L"TsThisUsers");
            ASSERT_NE(own, nullptr);
            other = StartPeer("user",
                              {{kPeerReady, std::to_string(otherReady.WriteEnd())},
                               {kPeerTold, std::to_string(otherTold.ReadEnd())}},
                              otherOutput, nobody);
            ASSERT_TRUE(otherReady.Wait());
        }
        auto peer = StartPeer("end",
                              {{kPeerWork, row.work},
                               {kPeerEnding, row.ending},
                               {kPeerRecording, file},
                               {"TSAN_OPTIONS", checkerOptions}},
                              output);
        EXPECT_EQ(peer->Wait(), row.status);
        EXPECT_TRUE(EndedWithItsOutput(output));
        // Looked at before anything here takes the namespace's lock.
        for (const std::string& object : peerObjects)
            EXPECT_FALSE(std::filesystem::exists("/dev/shm" + object)) << object;
        EXPECT_EQ(cardtest::SystemOpenCount(0), -1);
        EXPECT_FALSE(InputEnabled());
        if (std::string(row.work) == "record") {
            const test::PsFile ps = test::ReadPsFile(test::ReadWholeFile(file));
            EXPECT_EQ(ps.error, "");
            EXPECT_GE(ps.packs.size(), 2u);
        } else if (std::string(row.work) == "file") {
            const auto packets = ReadPackets(file);
            EXPECT_EQ(FileSize(file), packets.size() * 188);
            EXPECT_GE(packets.size(), 1u);
            EXPECT_TRUE(std::all_of(packets.begin(), packets.end(),
                                    [](const Bytes& p) { return p[0] == 0x47; }));
        }
        if (other) {
            ASSERT_TRUE(otherTold.Signal());
            EXPECT_EQ(other->Wait(), kOtherUsersStatus);
            EXPECT_TRUE(EndedWithItsOutput(otherOutput));
            EXPECT_EQ(VelmoraOs_CloseHandle(own), 1);
        }
        unlink(planted.c_str());
    }
    std::remove(file.c_str());
}

// Another process holds a lock of the card (the register mutex, the DMA
// channels' mutexes or the simulated card's own lock) or the named objects'
// lock and is stopped there, as a debugger stops it, while a capture runs: the
// capture still closes, and a process with the card open still ends with its
// own status and output, each within its calls' deadline (the bound here only
// stops a hang, but for an end that has no second deadline to spend), and a
// new process's count of cards answers (0 when it could not reach the card).
// A holder of the DMA channels costs a third process's open nothing: it
// answers while the holder is stopped, and captures once the holder goes on.
// An end waits for no call of its other threads that waits for the held lock,
// and a set of the length the card has, or a restore of the defaults on a
// card of 188-byte packets, answers beside a process stopped in its open.
// Once the holder has gone, the card works (for the next row, and at the end).
TEST_F(TsCardTest, AStoppedHolderOfALockCostsACloseOrAnEndNoMoreThanItsDeadline) {
    const std::string dmaMutexes = DmaChannelMutex(0) + "," + DmaChannelMutex(1);
    const std::string fpgaMutex = std::string(cardtest::kCardName) + "FpgaMutex_0";
    const std::string openMutex =
        std::string(cardtest::kCardName) + card::CBaseCard::kOpenMutexSuffix;
    struct Row {
        std::string locks;
        bool exits;
        const char* work = "capture";
        // Deadlines that the end takes at most (0: only a hang's bound): one
        // that its close gives up once for all its named objects, none when
        // it has nothing of its own left to remove.
        uint32_t deadlines = 0;
        bool opens = false;  // another process opens beside this one's open card
    };
    const Row rows[] = {{fpgaMutex, false},
                        {dmaMutexes, false},
                        {"sim", false},
                        {dmaMutexes, true},
                        {"sim", true},
                        {"namespace", true, "capture", 2},
                        {"namespace", true, "event", 1},
                        {"namespace", true, "waiting", 1},
                        {openMutex, false, "length"},
                        {dmaMutexes, false, "capture", 0, true}};
    const std::string ready = TempPath("lock_user_ready");
    const std::string go = TempPath("lock_user_go");
    const std::string held = TempPath("lock_held");
    const std::string output = TempPath("lock_user_output");
    constexpr auto kHang = std::chrono::seconds(40);
    constexpr uint32_t kHangMs = 40000;
    constexpr uint32_t kDeadlineMs = std::chrono::milliseconds(kStoppedHolderDeadline).count();
    const auto overflows = [] { return sim::AsiCaptureCounts(0).value().overflows; };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.locks + (row.exits   ? ", exit after " + std::string(row.work)
                                  : row.opens ? ", open"
                                              : ", close"));
        for (const std::string& path : {ready, go, held})
            std::remove(path.c_str());
        std::optional<platform::test::ShortCallDeadline> deadline;
        std::unique_ptr<platform::test::Child> user;
        if (row.opens) {
            user = StartPeer("beside",
                             {{kPeerLocks, row.locks}, {kPeerGo, held}, {kPeerReady, ready}});
        } else if (row.exits) {
            // It reads what it captures until it is told to end.
            user = StartPeer("end",
                             {{kPeerWork, row.work},
                              {kPeerEnding, "3"},
                              {kPeerRecording, ""},
                              {kPeerReady, ready},
                              {kPeerGo, go}},
                             output);
            ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(ready); }));
        }
        if (!row.exits) Open();
        if (!row.exits && !row.opens) {
            ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
            deadline.emplace(kStoppedHolderDeadline);
        }
        const auto readCapture = [&] {
            if (!row.exits) DropCaptured();
        };
        const uint64_t lost = overflows();
        // Started first: this process forks no child while the lock is held.
        auto counter = StartPeer("count", {{kPeerGo, held}});
        auto holder = StartPeer("lock", {{kPeerLocks, row.locks}, {kPeerReady, held}});
        ASSERT_TRUE(WaitFor([&] {
            readCapture();
            return std::filesystem::exists(held);
        }));
        // It says so before it stops itself: only once stopped is it the
        // holder each row is about, and a continue before then is lost.
        ASSERT_TRUE(holder->WaitStopped()) << "the holder of the lock ended";
        // The card loses input once the capture's thread waits for the lock
        // (the simulated card's own answers no one; every thread waits on it;
        // the named objects' is none of the capture's). A holder that ended
        // has let the lock go, and the card would never fill: told at once.
        const bool mutexes = row.locks != "sim" && row.locks != "namespace";
        if (mutexes && !row.opens && std::string(row.work) == "capture") {
            ASSERT_TRUE(WaitFor([&] {
                readCapture();
                return overflows() > lost || !holder->Running();
            }));
            ASSERT_TRUE(holder->Running()) << "the holder of the lock ended";
        }
        std::future<uint32_t> closed;
        if (row.opens) {
            ASSERT_TRUE(
                WaitFor([&] { return std::filesystem::exists(ready) || !user->Running(); }));
            EXPECT_TRUE(std::filesystem::exists(ready)) << "the open did not answer 1";
            ASSERT_TRUE(holder->Continue());
            EXPECT_EQ(user->Wait(kHangMs), 0);
            EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
        } else if (row.exits) {
            std::fclose(std::fopen(go.c_str(), "w"));
            EXPECT_EQ(user->Wait(row.deadlines ? row.deadlines * kDeadlineMs : kHangMs), 3);
            EXPECT_TRUE(EndedWithItsOutput(output));
        } else {
            if (std::string(row.work) == "length") {
                const auto atOnce = [](const std::function<uint32_t()>& call) {
                    const size_t logged = cardtest::LogText().size();
                    // A wait for the open mutex would have given up, and said so.
                    return call() == 1 &&
                           cardtest::LogText().find("open mutex", logged) == std::string::npos;
                };
                EXPECT_TRUE(atOnce([] {
                    return Quorvel_Velmora_TsSetAsiPacketLength(VELMORA_ASI_PACKET_188, 0);
                }));
                EXPECT_TRUE(atOnce([] { return Quorvel_Velmora_RestoreDefault(0); }));
            }
            closed = std::async(std::launch::async, [] { return Quorvel_Velmora_CloseCard(0); });
            EXPECT_EQ(closed.wait_for(kHang), std::future_status::ready);
        }
        // Given up, it leaves the count alone; else it counts the one card.
        EXPECT_EQ(counter->Wait(kHangMs), kCountAnswerBase + (mutexes ? 10 + 2 : 0));
        holder->Kill();
        if (closed.valid()) closed.get();
        deadline.reset();
        EXPECT_EQ(cardtest::SystemOpenCount(0), -1);
    }
    Open();
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    EXPECT_EQ(Capture(500).size(), 500u);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
}

// The recording's length in frames.
uint64_t RecordedFrames(uint32_t program) {
    RECORD_LENGTH length = {};
    Quorvel_Velmora_TsCaptureRecorderGetLength(program, 0, &length, 0);
    return ((uint64_t{length.dwHours} * 60 + length.dwMinutes) * 60 + length.dwSeconds) * 25 +
           length.dwFrames;
}

// Two processes capture and record from one card while the other one stops,
// restarts, changes work mode and closes at random (seeded), a third plays
// out, and others one after another record and end without a close: this
// one's packets arrive whole, in order and once, and its recording keeps
// growing, look after look. The others go on until this one has looked often
// enough, however long a slow machine takes over it.
TEST_F(TsCardRestartTest, TwoProcessesCaptureAndRecordWhileOneRestartsAtRandom) {
    constexpr uint32_t kSeed = 31;
    constexpr uint64_t kPacketsBetweenLooks = 50000;
    constexpr uint64_t kLooks = 4;
    const std::string recording = TempPath("stress") + ".mpg";
    const std::string peerRecording = TempPath("stress_peer") + ".mpg";
    const uint64_t overflows = sim::AsiCaptureCounts(0)->overflows;
    SteppedCapture capture;
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    capture.Restart();
    TS_PROGRAM_INFORMATION info;
    uint32_t state = 0;
    ASSERT_TRUE(WaitFor([&] {
        capture.Turn();
        return Quorvel_Velmora_TsCaptureGetProgramInformation(&info, &state, 0) == 1 && state == 2;
    }));
    ASSERT_EQ(Quorvel_Velmora_TsCaptureRecorderEnable(1, Wide(recording).c_str(), 0), 1u);

    const std::string enderRecording = TempPath("stress_ender") + ".mpg";
    const std::string end = TempPath("stress_end");
    auto peer = StartPeer(
        "random",
        {{kPeerSeed, std::to_string(kSeed)}, {kPeerGo, end}, {kPeerRecording, peerRecording}});
    auto player = StartPeer("player", {{kPeerGo, end}});
    std::unique_ptr<platform::test::Child> ender;
    const auto nextEnder = [&] {
        if (ender) {
            EXPECT_EQ(ender->Wait(), 3);
        }
        ender = StartPeer(
            "end", {{kPeerWork, "record"}, {kPeerEnding, "3"}, {kPeerRecording, enderRecording}});
    };
    uint64_t frames = 0;
    uint64_t looks = 0;
    // Each look waits for the packets it needs; the wait's turn a
    // millisecond is plenty for both processes and their engines, which
    // share the machine with the other tests.
    while (looks < kLooks) {
        const uint64_t lookAt = capture.Count() + kPacketsBetweenLooks;
        ASSERT_TRUE(WaitFor([&] {
            if (!ender || !ender->Running()) nextEnder();
            capture.Turn();
            return capture.Count() >= lookAt || !peer->Running();
        }));
        // What went wrong is told below.
        if (!peer->Running() || !capture.Whole()) break;
        ++looks;
        EXPECT_TRUE(WaitFor([&] { return RecordedFrames(1) > frames; }, "the recording to grow"))
            << "after " << capture.Count() << " packets";
        frames = RecordedFrames(1);
    }
    std::fclose(std::fopen(end.c_str(), "w"));
    // The others go on only while card time does.
    EXPECT_TRUE(WaitFor([&] {
        capture.Turn();
        return !peer->Running() && !player->Running() && !ender->Running();
    }));
    EXPECT_EQ(peer->Wait(), 0);
    EXPECT_EQ(player->Wait(), 0);
    EXPECT_EQ(ender->Wait(), 3);
    EXPECT_TRUE(capture.Whole()) << "after " << capture.Count() << " packets";
    // A loss on the card is every process's, not this one's.
    EXPECT_EQ(sim::AsiCaptureCounts(0)->overflows, overflows);
    EXPECT_EQ(looks, kLooks);
    EXPECT_EQ(Quorvel_Velmora_TsCaptureRecorderDisable(1, Wide(recording).c_str(), 0), 1u);
    EXPECT_GT(std::filesystem::file_size(recording), 0u);
    std::remove(recording.c_str());
    std::remove(peerRecording.c_str());
    std::remove(enderRecording.c_str());
    std::remove(end.c_str());
}

}  // namespace
}  // namespace velmora::tstest

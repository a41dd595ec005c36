// The transport-stream exports on the simulated card: capture, program
// information, playback pacing, program removal, the whole-stream file and
// TS over IP, as an application sees them; a capture's restart, and the
// card's one output between processes. The capture of several processes
// on one card, and the peer process of these tests, are in
// TsCaptureProcessTest.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "CardTestSupport.h"
#include "NetTestSupport.h"
#include "PlatformTestSupport.h"
#include "RecorderTestSupport.h"
#include "TsCardTestSupport.h"
#include "TsEngineTestSupport.h"
#include "card/LogFile.h"
#include "card/TsInputShare.h"
#include "card/VelmoraMainFunc.h"
#include "hw/VelmoraFpga.h"
#include "platform/NamedMutex.h"
#include "platform/Trace.h"
#include "sim/SimCard.h"
#include "sim/SimDriver.h"
#include "ts/AsiPort.h"
#include "ts/TsDemultiplexer.h"
#include "ts/TsMultiplexer.h"
#include "ts/TsProgramEngine.h"

namespace velmora::tstest {
namespace {

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
    ASSERT_TRUE(FilterTaken(1, list));
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

// A capture at the card's top rate on the card's own clock, whose
// application stops reading for longer than its rings and the card's window
// take, counts in its log's last line at least what it missed, and no more
// than that, what arrived after the last packet it read until the end of
// its disable and what arrived from its enable to its first packet (a card
// full at the enable drops them), in each of three enables. A slow build
// (the sanitizers) or a busy machine makes its looks and transfers slow, as
// a slow process's are.
TEST_F(TsCardTest, ACaptureThatPausesAtTheTopRateCountsWhatItMissed) {
    ASSERT_TRUE(sim::SetAsiInputRate(0, 216000000));
    Open();
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(0, 0), 1u);
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("enable " + std::to_string(cycle));
        const size_t logged = cardtest::LogText().size();
        SteppedCapture capture;
        const uint64_t enabledAt = NextArrival();
        const uint64_t cardLostBefore = sim::AsiCaptureCounts(0)->overflows;
        ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
        capture.Restart();
        ASSERT_TRUE(WaitFor([&] {
            capture.TakeAcrossGaps();
            return capture.Count() >= 2000;
        }));
        const uint64_t pausedAt = Received();
        ASSERT_TRUE(WaitFor([&] { return Received() > pausedAt + kRingsHold + kWindow + 20000; }));
        std::optional<uint64_t> afterGap;
        ASSERT_TRUE(WaitFor([&] {
            capture.TakeAcrossGaps();
            if (!afterGap && capture.Missing() != 0) afterGap = capture.Count();
            return afterGap && capture.Count() >= *afterGap + 2000 && capture.Next();
        }));
        ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
        ASSERT_GE(*capture.First(), enabledAt) << "a packet from before the enable";
        const uint64_t count = LoggedDrops(logged);
        std::ostringstream gaps;
        for (const SteppedCapture::Gap& gap : capture.Gaps())
            gaps << ' ' << gap.last << '-' << gap.first;
        EXPECT_GE(count, capture.Missing())
            << "first " << *capture.First() << " enabled at " << enabledAt << ", gaps" << gaps.str()
            << "; the card dropped " << sim::AsiCaptureCounts(0)->overflows - cardLostBefore
            << " from the enable to the disable";
        // The generator's packet n is the n-th to arrive.
        EXPECT_LE(count, capture.Missing() + (NextArrival() - *capture.Next()) +
                             (*capture.First() - enabledAt));
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
    ASSERT_TRUE(FilterTaken(40, list));
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
    ASSERT_NO_FATAL_FAILURE(Open());
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

// Capture restarts and packet lengths on the card's manual clock: the
// generator's packet n carries the tick n x 4000 in its PCR, so every
// captured packet can be checked against the one the card was sent.
namespace velmora::tstest {
namespace {

class TsCardRestartTest : public SteppedCardTest {};

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

}  // namespace
}  // namespace velmora::tstest

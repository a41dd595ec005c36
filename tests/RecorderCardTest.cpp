// Programs of the captured stream recorded through the exports on the
// simulated card, as an application records them: the files, their lengths,
// twelve tasks at once, 204-byte packets and faults on the ASI input.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <sstream>
#include <thread>

#include "CardTestSupport.h"
#include "PlatformTestSupport.h"
#include "RecorderTestSupport.h"
#include "TsEngineTestSupport.h"
#include "card/VelmoraBoardSupport.h"
#include "card/VelmoraMainFunc.h"
#include "hw/VelmoraFpga.h"
#include "record/ProgramRecorder.h"
#include "ts/TsDemultiplexer.h"
#include "ts/TsProgramEngine.h"

namespace velmora::tstest {
namespace {

using test::KeptPesPackets;
using test::PsFile;

struct Program {
    uint32_t number;
    uint32_t videoPid;
    uint32_t audioPid;  // 0: none
    uint8_t audioId;    // stream id in the file
};
const std::vector<Program> kThree = {
    {1, 0x200, 0x201, 0xC0}, {2, 0x202, 0x203, 0xBD}, {3, 0x204, 0, 0}};

std::vector<Program> TwelvePrograms() {
    std::vector<Program> list;
    for (uint32_t i = 0; i < 12; ++i) {
        const uint32_t stream = i + (i + 3) / 4;  // MP2 behind every fourth video
        list.push_back({11 + i, 0x200 + stream, i % 4 == 0 ? 0x201 + stream : 0, 0xC0});
    }
    return list;
}

class RecorderCardTest : public cardtest::CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        m_dir = std::filesystem::temp_directory_path() /
                ("velmora_reccard_" + std::to_string(getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override {
        CardTest::TearDown();
        std::filesystem::remove_all(m_dir);
    }

    static constexpr uint32_t kFieldsBeforeRecording = 13;  // 1755 packets
    // Card 0 on the fixture with the manual clock, capture through the
    // program engine, stepped until the program information is read.
    void Start(const char* fixture, uint32_t packetLength = 188) {
        m_length = packetLength;
        ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
        ASSERT_TRUE(sim::SetAsiInput(0, sim::SimAsiSource::File, DataPath(fixture)));
        // The steps below count in packets at the generator's rate.
        ASSERT_TRUE(sim::SetAsiInputRate(0, sim::SimAsiEngine::kDefaultInputRate));
        ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
        ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
        ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
        TS_PROGRAM_INFORMATION info;
        uint32_t state = 0;
        // The recordings start at one place of the fixture however fast the
        // analysis is: its tables lie within these fields, which reach the
        // engine whole once the card stands still.
        Step(kFieldsBeforeRecording);
        ASSERT_TRUE(WaitFor(
            [&] {
                Drain();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                return Quorvel_Velmora_TsCaptureGetProgramInformation(&info, &state, 0) == 1 &&
                       state == 2;
            },
            "the program information"));
        // Recorders enabled from now on see what the engine passes on after
        // this.
        Settle({});
        m_mark = m_seen.size();
    }
    // A fresh card for the next round.
    void Restart() {
        CardTest::TearDown();
        StartCard(0x5110);
        m_seen.clear();
    }
    std::vector<Bytes> Recorded() const {
        return std::vector<Bytes>(m_seen.begin() + static_cast<ptrdiff_t>(m_mark), m_seen.end());
    }

    // Moves card time on by `fields` (135 packets each), taking what the
    // engine passes on as it comes.
    void Step(uint32_t fields) {
        for (uint32_t i = 0; i < fields; ++i) {
            ASSERT_TRUE(sim::StepFields(0, 1));
            Drain();
        }
    }
    void Drain() {
        uint32_t ready = 0;
        Quorvel_Velmora_TsCaptureGetFillBufferNum(&ready, 0);
        if (ready == 0) return;
        Bytes data(size_t{ready} * m_length);
        if (!Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(data.data(), ready, 0)) return;
        for (uint32_t k = 0; k < ready; ++k)
            m_seen.emplace_back(data.begin() + k * m_length, data.begin() + k * m_length + 188);
    }
    // Packets on the card that the card reader has not taken.
    static uint64_t OnCard() {
        const auto write = sim::PeekRegister(0, hw::CVelmoraFpga::kRegAsiInputWritePointer);
        const auto read = sim::PeekRegister(0, hw::CVelmoraFpga::kRegAsiInputReadPointer);
        return card::asi_ring::InputFilledUnits(write.value_or(0), read.value_or(0));
    }
    // Waits until the engine passed on all that the card captured (the card
    // reader and the engine take their last part once their input stood
    // still) and each program's task handled every packet it was given (the
    // engine gives the tasks a chunk before it passes it on).
    void Settle(const std::vector<Program>& programs) {
        const uint64_t captured = sim::AsiCaptureCounts(0)->captured;
        ASSERT_TRUE(WaitFor(
            [&] {
                Drain();
                return m_seen.size() == captured;
            },
            "the engine to pass on all " + std::to_string(captured) + " packets captured"))
            << m_seen.size() << " passed on, " << OnCard() << " on the card";
        ts::CTsProgramEngine* engine =
            Card(0)->GetMainFunc()->GetTsDemultiplexer()->GetProgramEngine();
        for (const Program& p : programs) {
            const uint64_t given = m_seen.size() - m_enabledAt.at(p.number);
            ASSERT_TRUE(
                WaitFor([&] { return engine->GetRecorderHandledPackets(p.number) == given; },
                        "program " + std::to_string(p.number) + "'s task to handle " +
                            std::to_string(given) + " packets"))
                << engine->GetRecorderHandledPackets(p.number) << " handled";
        }
    }

    static uint64_t LengthMs(uint32_t program) {
        RECORD_LENGTH length{};
        Quorvel_Velmora_TsCaptureRecorderGetLength(program, 0, &length, 0);
        return ((length.dwHours * 60ull + length.dwMinutes) * 60 + length.dwSeconds) * 1000 +
               length.dwFrames * 40ull;
    }
    std::string PathOf(const Program& p) const {
        return (m_dir / ("program" + std::to_string(p.number) + ".mpg")).string();
    }
    uint32_t Enable(const Program& p) {
        m_enabledAt[p.number] = m_seen.size();
        const std::string path = PathOf(p);
        const std::wstring wide(path.begin(), path.end());
        return Quorvel_Velmora_TsCaptureRecorderEnable(p.number, wide.c_str(), 0);
    }
    uint32_t Disable(const Program& p) const {
        const std::string path = PathOf(p);
        const std::wstring wide(path.begin(), path.end());
        return Quorvel_Velmora_TsCaptureRecorderDisable(p.number, wide.c_str(), 0);
    }
    static record::RECORDER_ERROR_COUNTS ErrorCounts(uint32_t program) {
        record::RECORDER_ERROR_COUNTS counts{};
        Card(0)->GetMainFunc()->GetTsDemultiplexer()->GetRecorderErrorCounts(program, &counts);
        return counts;
    }

    // The file of one program: well formed, its streams runs of the PES
    // packets the engine passed on, its length `lengthMs` (read before the
    // stop) the pictures in it within one GOP. The file read.
    PsFile CheckFile(const Program& p, uint64_t lengthMs, double msPerPicture, size_t gop,
                     bool byteRule = true) const {
        SCOPED_TRACE("program " + std::to_string(p.number));
        const PsFile ps = test::ReadPsFile(test::ReadWholeFile(PathOf(p)));
        EXPECT_EQ(ps.error, "");
        if (!ps.error.empty() || ps.packs.size() < 2) return ps;
        // The stream start: a pack with the system header and padding.
        EXPECT_EQ(ps.packs[0].streamId, 0);
        if (byteRule) {
            test::ExpectScrByteRule(ps);
        } else {
            for (size_t i = 1; i < ps.packs.size(); ++i)
                EXPECT_GE(ps.packs[i].scr, ps.packs[i - 1].scr) << "pack " << i;
        }
        EXPECT_EQ(ps.streams.size(), p.audioPid != 0 ? 2u : 1u);
        EXPECT_EQ(ps.systemHeaderStreams[0], 0xE0);
        const Bytes& video = ps.streams.count(0xE0) ? ps.streams.at(0xE0) : Bytes();
        EXPECT_TRUE(video.size() >= 4 && video[3] == 0xB3);  // from a sequence header on
        size_t first = 0;
        size_t last = 0;
        EXPECT_TRUE(test::FindPesRun(video, KeptPesPackets(Recorded(), p.videoPid), &first, &last));
        if (p.audioPid != 0 && ps.streams.count(p.audioId)) {
            EXPECT_TRUE(test::FindPesRun(ps.streams.at(p.audioId),
                                         KeptPesPackets(Recorded(), p.audioPid), &first, &last));
            for (const auto& pack : ps.packs)
                EXPECT_TRUE(pack.subHeaderOk);
        }
        const double pictures = static_cast<double>(test::CountPictures(video));
        EXPECT_GE(lengthMs + 40, pictures * msPerPicture);
        EXPECT_LE(lengthMs, (pictures + gop) * msPerPicture);
        return ps;
    }

    // Records the three programs over more than three passes of the fixture
    // and checks their files.
    void RecordThree() {
        for (const Program& p : kThree)
            ASSERT_EQ(Enable(p), 1u);
        Step(45);  // 6075 packets
        Settle(kThree);
        std::vector<uint64_t> lengths;
        for (const Program& p : kThree)
            lengths.push_back(LengthMs(p.number));
        for (const Program& p : kThree)
            ASSERT_EQ(Disable(p), 1u);
        for (size_t i = 0; i < kThree.size(); ++i) {
            EXPECT_GE(lengths[i], 2000u);
            CheckFile(kThree[i], lengths[i], 40, 12);
        }
    }

    std::filesystem::path m_dir;
    uint32_t m_length = 188;
    std::vector<Bytes> m_seen;               // what the engine passed on, 188 bytes each
    size_t m_mark = 0;                       // m_seen's size when the recorders were enabled
    std::map<uint32_t, size_t> m_enabledAt;  // m_seen's size when each program was enabled
};

TEST_F(RecorderCardTest, ThreeProgramsRecordIntoProgramStreamFiles) {
    Start("rec_three_programs.ts");
    RecordThree();
    // Players decode every file without an error.
    if (std::system("command -v ffmpeg > /dev/null 2>&1") != 0) {
        std::printf("ffmpeg not installed: recorded files not decoded\n");
        return;
    }
    for (const Program& p : kThree) {
        const std::string path = PathOf(p);
        const std::string command =
            "ffmpeg -nostdin -v error -i '" + path + "' -f null - 2> '" + path + ".err'";
        EXPECT_EQ(std::system(command.c_str()), 0) << path;
        EXPECT_EQ(test::ReadWholeFile(path + ".err").size(), 0u) << path;
    }
}

// A process that opens the card after 204-byte packets were set records the
// same streams; its checks run in the child.
TEST_F(RecorderCardTest, PacketsOf204BytesGiveTheSameStreams) {
    platform::test::Pipe lengthSet;
    platform::test::Child child([&] {
        if (!lengthSet.Wait(30000)) return 9;
        Start("rec_three_programs.ts", 204);
        RecordThree();
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsSetAsiPacketLength(VELMORA_ASI_PACKET_204, 0), 1u);
    lengthSet.Signal();
    EXPECT_EQ(child.Wait(120000), 0);
    ASSERT_EQ(Quorvel_Velmora_TsSetAsiPacketLength(VELMORA_ASI_PACKET_188, 0), 1u);
}

TEST_F(RecorderCardTest, TwelveProgramsRecordAtOnce) {
    Start("rec_twelve_programs.ts");
    const std::vector<Program> twelve = TwelvePrograms();
    for (const Program& p : twelve)
        ASSERT_EQ(Enable(p), 1u);
    // Every slot is taken.
    const std::string path = (m_dir / "thirteenth.mpg").string();
    const std::wstring wide(path.begin(), path.end());
    EXPECT_EQ(Quorvel_Velmora_TsCaptureRecorderEnable(12, wide.c_str(), 0), 0u);
    Step(30);
    Settle(twelve);
    // Stopping one leaves the others running.
    const uint64_t first = LengthMs(twelve[0].number);
    ASSERT_EQ(Disable(twelve[0]), 1u);
    CheckFile(twelve[0], first, 1001.0 / 30, 15);
    const std::vector<Program> rest(twelve.begin() + 1, twelve.end());
    std::vector<uint64_t> before;
    for (const Program& p : rest)
        before.push_back(LengthMs(p.number));
    Step(30);
    Settle(rest);
    for (size_t i = 0; i < rest.size(); ++i) {
        const uint64_t length = LengthMs(rest[i].number);
        EXPECT_GT(length, before[i] + 1000) << rest[i].number;
        ASSERT_EQ(Disable(rest[i]), 1u);
        CheckFile(rest[i], length, 1001.0 / 30, 15);
    }
}

// Capture stopped and started again, then the work mode changed, between
// recordings of the same program: each records a whole file, and the stops
// leave no task, slot or ring behind.
TEST_F(RecorderCardTest, TheSameProgramRecordsAgainAfterACaptureRestartAndAModeChange) {
    Start("rec_three_programs.ts");
    const Program& p = kThree[0];
    ts::CTsProgramEngine* engine = Card(0)->GetMainFunc()->GetTsDemultiplexer()->GetProgramEngine();
    std::vector<std::string> paths;
    auto record = [&] {
        paths.push_back((m_dir / ("round" + std::to_string(paths.size()) + ".mpg")).string());
        SCOPED_TRACE(paths.back());
        const std::wstring wide(paths.back().begin(), paths.back().end());
        ASSERT_EQ(Quorvel_Velmora_TsCaptureRecorderEnable(p.number, wide.c_str(), 0), 1u);
        EXPECT_EQ(engine->RecorderSlotsInUse(), 1u);
        ASSERT_TRUE(WaitFor([&] {
            Step(1);
            return LengthMs(p.number) > 1000;
        }));
    };
    record();
    ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
    EXPECT_EQ(engine->RecorderSlotsInUse(), 0u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    record();
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(0, 0), 1u);
    EXPECT_EQ(engine->RecorderSlotsInUse(), 0u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
    record();
    ASSERT_EQ(Disable(p), 1u);
    EXPECT_EQ(engine->RecorderSlotsInUse(), 0u);
    ASSERT_EQ(paths.size(), 3u);
    for (const std::string& path : paths) {
        const PsFile ps = test::ReadPsFile(test::ReadWholeFile(path));
        EXPECT_EQ(ps.error, "") << path;
        EXPECT_GT(ps.streams.count(0xE0) ? ps.streams.at(0xE0).size() : 0u, 10000u) << path;
    }
}

// Another process with the card open: this test program started again with
// only this test. It records a program (another one for each) and writes the
// whole stream into each file listed in its environment, which another
// process writes, and is refused every time.
constexpr char kPeerFiles[] = "VELMORA_TEST_RECORDER_PEER_FILES";
constexpr char kPeerReady[] = "VELMORA_TEST_RECORDER_PEER_READY";

TEST(RecorderCardPeerProcess, IsRefusedTheFilesOfAnother) {
    const char* files = std::getenv(kPeerFiles);
    if (!files) GTEST_SKIP() << "runs as the peer process of the recorder card tests";
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    std::fclose(std::fopen(std::getenv(kPeerReady), "w"));
    TS_PROGRAM_INFORMATION info;
    uint32_t state = 0;
    ASSERT_TRUE(WaitFor([&] {
        return Quorvel_Velmora_TsCaptureGetProgramInformation(&info, &state, 0) == 1 && state == 2;
    }));
    std::istringstream list(files);
    size_t tried = 0;
    for (std::string path; std::getline(list, path); ++tried) {
        const std::wstring wide(path.begin(), path.end());
        const Program& program = kThree[1 + tried % 2];
        EXPECT_EQ(Quorvel_Velmora_TsCaptureRecorderEnable(program.number, wide.c_str(), 0), 0u)
            << path;
        EXPECT_EQ(Quorvel_Velmora_StartWriteTsFile(wide.c_str(), 0), 0u) << path;
    }
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
}

// The call's answer. One still waiting after the hang bound to open the
// FIFO is let go by a reader, so that it fails the test instead of hanging.
uint32_t AnsweredAtOnce(const std::function<uint32_t()>& call, const std::filesystem::path& fifo) {
    auto answer = std::async(std::launch::async, call);
    if (answer.wait_for(::velmora::test::kHangBound) == std::future_status::ready)
        return answer.get();
    ADD_FAILURE() << "hang: the call waits for a reader of the FIFO";
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const uint32_t result = answer.get();
    close(reader);
    return result;
}

// Requests that cannot take effect fail at once: a recording whose file
// cannot be made, a recording or whole-stream file into a file the card
// already writes (however the path is spelt, in this process or another,
// which leaves it whole; a forked child does not keep it) or into what is no
// regular file (a FIFO without a reader would hold the card's TS calls until
// one came; the card's next call works), a whole-stream
// file outside work mode 1, a filter while the stream's tables are not
// analysed (right after the engine started again) and a second filter while
// one is on. A filter set just before a restart does not act on the stream
// after it.
TEST_F(RecorderCardTest, RequestsThatCannotTakeEffectFail) {
    Start("rec_three_programs.ts");
    const Program& p = kThree[0];
    EXPECT_EQ(Quorvel_Velmora_TsCaptureRecorderEnable(p.number, L"/nonexistent_velmora/p1.mpg", 0),
              0u);
    // Not left listed: the program records to a path that can be made.
    ASSERT_EQ(Enable(p), 1u);
    const auto wide = [](const std::filesystem::path& path) {
        const std::string text = path.string();
        return std::wstring(text.begin(), text.end());
    };
    const std::filesystem::path whole = m_dir / "whole.ts";
    ASSERT_EQ(Quorvel_Velmora_StartWriteTsFile(wide(whole).c_str(), 0), 1u);
    std::filesystem::create_directory(m_dir / "sub");
    std::filesystem::create_symlink(PathOf(p), m_dir / "link.mpg");
    std::filesystem::create_hard_link(whole, m_dir / "hard.ts");
    struct Written {
        std::filesystem::path path;
        bool anotherProcess;
    };
    const Written written[] = {
        {PathOf(p), false},
        {m_dir / "sub" / ".." / ("program" + std::to_string(p.number) + ".mpg"), false},
        {m_dir / "link.mpg", false},
        {std::filesystem::relative(PathOf(p)), false},
        {whole, false},
        {m_dir / "hard.ts", false},
        {PathOf(p), true},
        {whole, true},
    };
    std::string othersFiles;
    for (const Written& file : written) {
        SCOPED_TRACE(file.path);
        if (file.anotherProcess) {
            othersFiles += file.path.string() + "\n";
            continue;
        }
        EXPECT_EQ(
            Quorvel_Velmora_TsCaptureRecorderEnable(kThree[1].number, wide(file.path).c_str(), 0),
            0u);
    }
    // The stream moves on while the other process starts and tries.
    const std::string ready = (m_dir / "peer_ready").string();
    const platform::test::TestPeerImage image("RecorderCardPeerProcess.IsRefusedTheFilesOfAnother",
                                              {{kPeerFiles, othersFiles}, {kPeerReady, ready}});
    platform::test::Child peer([&] { return image.ExecQuietly(); });
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(ready) || !peer.Running(); }));
    const uint64_t backlog = 4 * ts::kChunkBytes / m_length;
    ASSERT_TRUE(WaitFor([&] {
        if (sim::AsiCaptureCounts(0)->captured < m_seen.size() + backlog) Step(1);
        Drain();
        return !peer.Running();
    }));
    EXPECT_EQ(peer.Wait(), 0);
    // Another file records.
    ASSERT_EQ(Enable(kThree[1]), 1u);
    ASSERT_EQ(Disable(kThree[1]), 1u);
    Step(15);
    Settle({p});
    const uint64_t length = LengthMs(p.number);
    ASSERT_EQ(Quorvel_Velmora_StopWriteTsFile(0), 1u);
    const std::vector<Bytes> stream = ReadPackets(whole.string());
    EXPECT_GT(stream.size(), 1000u);
    EXPECT_TRUE(std::all_of(stream.begin(), stream.end(), [](const Bytes& packet) {
        return packet[0] == 0x47;
    })) << "the whole-stream file was cut by another writer";
    for (const std::filesystem::path& path : {written[1].path, written[2].path, written[3].path}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Quorvel_Velmora_StartWriteTsFile(wide(path).c_str(), 0), 0u);
    }
    ASSERT_EQ(Quorvel_Velmora_StopWriteTsFile(0), 1u);
    ASSERT_EQ(Disable(p), 1u);
    CheckFile(p, length, 40, 12);
    const std::filesystem::path fifo = m_dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::filesystem::path& path :
         {fifo, std::filesystem::path("/dev/null"), m_dir / "sub"}) {
        SCOPED_TRACE(path);
        const std::wstring name = wide(path);
        EXPECT_EQ(
            AnsweredAtOnce([&] { return Quorvel_Velmora_StartWriteTsFile(name.c_str(), 0); }, fifo),
            0u);
        EXPECT_EQ(AnsweredAtOnce(
                      [&] {
                          return Quorvel_Velmora_TsCaptureRecorderEnable(kThree[1].number,
                                                                         name.c_str(), 0);
                      },
                      fifo),
                  0u);
    }
    // A child forked while the file was written holds it no longer once this
    // process has closed it.
    ASSERT_EQ(Quorvel_Velmora_StartWriteTsFile(wide(whole).c_str(), 0), 1u);
    platform::test::Pipe done;
    platform::test::Child child([&] { return done.Wait() ? 0 : 1; });
    ASSERT_EQ(Quorvel_Velmora_StopWriteTsFile(0), 1u);
    EXPECT_EQ(Quorvel_Velmora_StartWriteTsFile(wide(whole).c_str(), 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_StopWriteTsFile(0), 1u);
    done.Signal();
    EXPECT_EQ(child.Wait(), 0);
    FILTERED_PROGRAM list[] = {1, 0, 0x101, 0};  // program 2's PMT PID
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(0, 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_StartWriteTsFile(wide(whole).c_str(), 0), 0u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_TsCaptureSetFilteredProgram(1, list, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_TsCaptureSetFilteredProgram(0, list, 0), 1u);
    const std::function<void()> restarts[] = {
        [] {
            ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(0, 0), 1u);
            ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(1, 0), 1u);
        },
        [] {
            ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);
            ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
        },
    };
    for (size_t r = 0; r < std::size(restarts); ++r) {
        SCOPED_TRACE("restart " + std::to_string(r));
        // Taken once the tables are there again.
        ASSERT_TRUE(WaitFor([&] {
            Step(1);
            return Quorvel_Velmora_TsCaptureSetFilteredProgram(1, list, 0) == 1;
        }));
        EXPECT_EQ(Quorvel_Velmora_TsCaptureSetFilteredProgram(1, list, 0), 0u);
        // Set before any packet went through it, then the restart: the
        // stream after it passes whole.
        restarts[r]();
        const size_t mark = m_seen.size();
        ASSERT_TRUE(WaitFor([&] {
            Step(1);
            return m_seen.size() >= mark + 3 * ts::kChunkBytes / m_length;
        }));
        const std::vector<Bytes> after(m_seen.begin() + static_cast<ptrdiff_t>(mark), m_seen.end());
        const Sections pat = CollectSections(after, 0);
        ASSERT_FALSE(pat.all.empty());
        EXPECT_EQ(PatPrograms(pat.all.back()).size(), 3u);
        EXPECT_GT(CountPid(after, 0x101), 0u);
    }
    EXPECT_EQ(Quorvel_Velmora_TsCaptureSetFilteredProgram(0, list, 0), 1u);
}

// The payloads of the packets of one PID, in order.
Bytes Payloads(const std::vector<Bytes>& packets, uint32_t pid) {
    Bytes bytes;
    for (const Bytes& packet : packets) {
        if (Pid(packet.data()) != pid || (packet[3] & 0x10) == 0) continue;
        const size_t at = (packet[3] & 0x20) != 0 ? 5u + packet[4] : 4u;
        if (at < 188) bytes.insert(bytes.end(), packet.begin() + at, packet.begin() + 188);
    }
    return bytes;
}

// Continuity errors a recording task counts on its two PIDs.
uint32_t ContinuityErrors(const std::vector<Bytes>& packets, const Program& p) {
    std::map<uint32_t, int> last;
    uint32_t errors = 0;
    for (const Bytes& packet : packets) {
        const uint32_t pid = Pid(packet.data());
        if (packet[0] != 0x47 || (pid != p.videoPid && pid != p.audioPid)) continue;
        const int counter = packet[3] & 0x0F;
        const bool payload = (packet[3] & 0x10) != 0;
        const auto found = last.find(pid);
        if (found != last.end() &&
            counter != (payload ? (found->second + 1) & 0x0F : found->second))
            ++errors;
        last[pid] = counter;
    }
    return errors;
}

// Faults on the video PID of program 1 while it records: the counts they
// give, and the streams that come of them.
TEST_F(RecorderCardTest, InputFaultsAreCountedAndRecordingGoesOn) {
    struct Case {
        sim::SimAsiInputFaultKind kind;
        uint32_t continuityErrors;  // per fault
        uint32_t syncByteErrors;
    };
    const Case cases[] = {
        {sim::SimAsiInputFaultKind::Drop, 1, 0},
        {sim::SimAsiInputFaultKind::Duplicate, 1, 0},
        // The packet after a bad sync byte finds its counter one ahead.
        {sim::SimAsiInputFaultKind::BadSyncByte, 1, 1},
        {sim::SimAsiInputFaultKind::TransportError, 0, 0},
    };
    const Program& p = kThree[0];
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        Start("rec_three_programs.ts");
        ASSERT_EQ(Enable(p), 1u);
        // Packets arrive from the start of the file, so the recording sees no
        // wrap of the fixture while the faults come.
        const size_t restart = sim::AsiCaptureCounts(0)->captured;
        ASSERT_TRUE(
            sim::SetAsiInput(0, sim::SimAsiSource::File, DataPath("rec_three_programs.ts")));
        constexpr uint32_t kFaults = 5;
        ASSERT_TRUE(sim::SetAsiInputFault(0, c.kind, p.videoPid, 40, 40, kFaults));
        Step(13);  // 1755 packets: within the file
        Settle({p});
        EXPECT_EQ(sim::AsiInputFaultHits(0), kFaults);
        // Recording goes on: its length grows by the pictures passed on
        // since, but for one in progress at either end and those a PES lost
        // to a fault took with it up to the next sequence header (a GOP).
        // How many pictures that is (the whole chunks the step gave) depends
        // on where the start left the stream.
        const uint64_t faulted = LengthMs(p.number);
        const size_t before = m_seen.size();
        Step(15);
        Settle({p});
        const uint64_t length = LengthMs(p.number);
        const std::vector<Bytes> later(m_seen.begin() + static_cast<ptrdiff_t>(before),
                                       m_seen.end());
        const size_t pictures = test::CountPictures(Payloads(later, p.videoPid));
        ASSERT_GT(pictures, 10u);
        EXPECT_LE(length - faulted, (pictures + 2) * 40);
        EXPECT_GE(length - faulted + 12 * 40, pictures * 40);
        const record::RECORDER_ERROR_COUNTS counts = ErrorCounts(p.number);
        EXPECT_EQ(counts.dwContinuityErrors, ContinuityErrors(Recorded(), p));
        EXPECT_EQ(counts.dwSyncByteErrors, kFaults * c.syncByteErrors);
        // In the file's first 1600 packets (the faults lie before packet
        // 1350), where neither what the card held before nor the file's wrap
        // breaks a counter, only the faults do.
        ASSERT_LE(restart + 1600, m_seen.size());
        const auto first = m_seen.begin() + static_cast<ptrdiff_t>(restart);
        EXPECT_EQ(ContinuityErrors(std::vector<Bytes>(first, first + 1600), p),
                  kFaults * c.continuityErrors);
        ASSERT_EQ(Disable(p), 1u);
        // A PES lost to a fault may take the pictures up to the next
        // sequence header with it; its pictures were counted all the same.
        CheckFile(p, length, 40, 12 * (kFaults + 1), false);
        Restart();
    }
}

}  // namespace
}  // namespace velmora::tstest

#include "record/ProgramRecorder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "RecorderTestSupport.h"
#include "WaitSupport.h"
#include "card/LogFile.h"
#include "platform/Time.h"
#include "ts/CirBuffer.h"

namespace velmora::recordertest {

namespace {

using velmora::record::CProgramRecorder;
using velmora::record::RECORD_LENGTH;
using velmora::record::RECORDER_ERROR_COUNTS;
using velmora::record::RECORDER_TASK_REQUEST;
using velmora::test::Bytes;
using velmora::test::ExpectScrByteRule;
using velmora::test::PsFile;
using velmora::test::ReadPsFile;
using velmora::test::ReadWholeFile;
using velmora::test::TsPesPackets;
using velmora::ts::CCirBuffer;

// The three-program fixture: program, video PID, audio PID, stream type.
struct FixtureProgram {
    uint32_t program;
    uint32_t videoPid;
    uint32_t audioPid;
    uint32_t audioType;
};
constexpr FixtureProgram kThreePrograms[] = {
    {1, 0x200, 0x201, 3}, {2, 0x202, 0x203, 0x81}, {3, 0x204, 0, 0}};

class ProgramRecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("velmora_rec_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
        m_log = std::make_unique<velmora::card::CLogFile>(m_dir.string());
        m_log->InitLogFile();
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::wstring PathFor(const std::string& name) const {
        const std::string path = (m_dir / name).string();
        return std::wstring(path.begin(), path.end());
    }
    static RECORDER_TASK_REQUEST Request(const FixtureProgram& p, const std::wstring& path) {
        return RECORDER_TASK_REQUEST{p.program,   p.videoPid,   p.audioPid,
                                     p.audioType, path.c_str(), 0};
    }
    static std::unique_ptr<CCirBuffer> RingWith(const Bytes& stream, uint32_t packetLength = 188) {
        auto ring = std::make_unique<CCirBuffer>(static_cast<uint32_t>(stream.size()) * 2 + 4096);
        if (packetLength == 188) {
            EXPECT_EQ(ring->Write(stream.data(), static_cast<uint32_t>(stream.size())), 0u);
        } else {
            Bytes unit(packetLength, 0xAA);
            for (size_t at = 0; at + 188 <= stream.size(); at += 188) {
                std::copy(stream.begin() + at, stream.begin() + at + 188, unit.begin());
                EXPECT_EQ(ring->Write(unit.data(), packetLength), 0u);
            }
        }
        return ring;
    }
    // Waits until the program's task handled every packet of its ring.
    static void WaitHandled(CProgramRecorder* recorder, uint32_t program, uint64_t packets) {
        ASSERT_TRUE(velmora::test::WaitUntil(
            [&] { return recorder->GetHandledPackets(program) == packets; },
            "program " + std::to_string(program) + "'s task to handle its ring"))
            << recorder->GetHandledPackets(program) << " of " << packets;
    }

    std::filesystem::path m_dir;
    std::unique_ptr<velmora::card::CLogFile> m_log;
};

// The elementary stream of the file is a run of whole PES packets of the
// TS, ending with the last one taken when its length field says it is whole
// (the fixture's audio), else with the one before it (video, whose PES
// length is left 0: the one in progress at the stop is not written).
void ExpectStreamFromTs(const Bytes& es, const Bytes& ts, uint32_t pid, size_t maxFirst) {
    const auto list = TsPesPackets(ts, pid);
    ASSERT_GE(list.size(), 2u);
    const Bytes& tail = list.back();
    const size_t declared = tail.size() >= 6 ? (tail[4] << 8 | tail[5]) : 0;
    const bool whole = declared != 0 && tail.size() >= 6 + declared;
    size_t first = 0;
    ASSERT_TRUE(velmora::test::IsPesRun(es, list, list.size() - (whole ? 0 : 1), &first))
        << "PID " << pid;
    EXPECT_LE(first, maxFirst) << "PID " << pid;
}

TEST_F(ProgramRecorderTest, RecordsThreeProgramsIntoProgramStreamFiles) {
    const Bytes ts = velmora::test::LoadRecorderFixture("rec_three_programs.ts");
    ASSERT_FALSE(ts.empty());
    CProgramRecorder recorder(188, m_log.get());
    std::vector<std::unique_ptr<CCirBuffer>> rings;
    std::vector<std::wstring> paths;
    for (uint32_t slot = 0; slot < 3; ++slot) {
        rings.push_back(RingWith(ts));
        paths.push_back(PathFor("program" + std::to_string(slot + 1) + ".mpg"));
        const RECORDER_TASK_REQUEST request = Request(kThreePrograms[slot], paths.back());
        ASSERT_EQ(recorder.StartTask(&request, slot, rings.back().get(), 0), 0);
    }
    for (const FixtureProgram& p : kThreePrograms)
        WaitHandled(&recorder, p.program, ts.size() / 188);
    RECORD_LENGTH lengths[3]{};
    RECORDER_ERROR_COUNTS counts{99, 99};
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(recorder.GetRecordLength(kThreePrograms[i].program, &lengths[i]), 1u);
    recorder.GetErrorCounts(1, &counts);
    EXPECT_EQ(counts.dwContinuityErrors, 0u);
    EXPECT_EQ(counts.dwSyncByteErrors, 0u);
    for (uint32_t i = 0; i < 3; ++i) {
        const RECORDER_TASK_REQUEST request = Request(kThreePrograms[i], paths[i]);
        EXPECT_EQ(recorder.StopTask(&request), 0);
    }

    for (uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const std::string path(paths[i].begin(), paths[i].end());
        const PsFile ps = ReadPsFile(ReadWholeFile(path));
        ASSERT_EQ(ps.error, "");
        ExpectScrByteRule(ps);
        const Bytes& video = ps.streams.at(0xE0);
        ASSERT_GE(video.size(), 4u);
        EXPECT_EQ(Bytes(video.begin(), video.begin() + 4), (Bytes{0, 0, 1, 0xB3}));
        ExpectStreamFromTs(video, ts, kThreePrograms[i].videoPid, 0);
        // 25 pictures a second, 40 ms each; the PES in progress at the stop
        // (one picture) is counted but not written.
        uint32_t pictures = 0;
        for (size_t k = 0; k + 4 <= video.size(); ++k)
            pictures +=
                video[k] == 0 && video[k + 1] == 0 && video[k + 2] == 1 && video[k + 3] == 0;
        const uint32_t ms = lengths[i].dwSeconds * 1000 + lengths[i].dwFrames * 40;
        EXPECT_GE(ms, pictures * 40);
        EXPECT_LE(ms, (pictures + 12) * 40);
    }
    const PsFile mp2 = ReadPsFile(ReadWholeFile(std::string(paths[0].begin(), paths[0].end())));
    ExpectStreamFromTs(mp2.streams.at(0xC0), ts, 0x201, 3);
    EXPECT_EQ(mp2.systemHeaderStreams[1], 0xC0);
    const PsFile ac3 = ReadPsFile(ReadWholeFile(std::string(paths[1].begin(), paths[1].end())));
    ExpectStreamFromTs(ac3.streams.at(0xBD), ts, 0x203, 3);
    for (const auto& pack : ac3.packs)
        EXPECT_TRUE(pack.subHeaderOk);
    // Players decode every file without an error (when ffmpeg is here).
    if (std::system("command -v ffmpeg > /dev/null 2>&1") != 0) {
        std::printf("ffmpeg not installed: recorded files not decoded\n");
    } else {
        for (const auto& wide : paths) {
            const std::string path(wide.begin(), wide.end());
            const std::string errors = path + ".err";
            const std::string command =
                "ffmpeg -nostdin -v error -i '" + path + "' -f null - 2> '" + errors + "'";
            EXPECT_EQ(std::system(command.c_str()), 0) << path;
            EXPECT_EQ(ReadWholeFile(errors).size(), 0u) << path;
        }
    }
    const PsFile videoOnly =
        ReadPsFile(ReadWholeFile(std::string(paths[2].begin(), paths[2].end())));
    EXPECT_EQ(videoOnly.streams.size(), 1u);
    EXPECT_EQ(videoOnly.systemHeaderStreams[0], 0xE0);
}

TEST_F(ProgramRecorderTest, PacketsOf204BytesGiveTheSameFile) {
    const Bytes ts = velmora::test::LoadRecorderFixture("rec_three_programs.ts");
    Bytes files[2];
    const uint32_t lengths[2] = {188, 204};
    for (int k = 0; k < 2; ++k) {
        CProgramRecorder recorder(lengths[k], m_log.get());
        auto ring = RingWith(ts, lengths[k]);
        const std::wstring path = PathFor("p" + std::to_string(k) + ".mpg");
        const RECORDER_TASK_REQUEST request = Request(kThreePrograms[1], path);
        ASSERT_EQ(recorder.StartTask(&request, 0, ring.get(), 0), 0);
        WaitHandled(&recorder, kThreePrograms[1].program, ts.size() / 188);
        recorder.StopTask(&request);
        files[k] = ReadWholeFile(std::string(path.begin(), path.end()));
    }
    EXPECT_GT(files[0].size(), 2048u * 10);
    EXPECT_EQ(files[0], files[1]);
}

TEST_F(ProgramRecorderTest, TwelveProgramsRecordAtOnceAt29_97Hz) {
    const Bytes ts = velmora::test::LoadRecorderFixture("rec_twelve_programs.ts");
    ASSERT_FALSE(ts.empty());
    CProgramRecorder recorder(188, m_log.get());
    std::vector<std::unique_ptr<CCirBuffer>> rings;
    std::vector<std::wstring> paths;
    std::vector<FixtureProgram> programs;
    for (uint32_t i = 0; i < 12; ++i) {
        // Program 11 + i: video 0x200 + its stream index, MP2 behind every
        // fourth.
        const uint32_t stream = i + (i + 3) / 4;
        programs.push_back({11 + i, 0x200 + stream, i % 4 == 0 ? 0x201 + stream : 0, 3});
        rings.push_back(RingWith(ts));
        paths.push_back(PathFor("twelve" + std::to_string(i) + ".mpg"));
        const RECORDER_TASK_REQUEST request = Request(programs.back(), paths.back());
        ASSERT_EQ(recorder.StartTask(&request, i, rings.back().get(), 0), 0);
    }
    for (const FixtureProgram& p : programs)
        WaitHandled(&recorder, p.program, ts.size() / 188);
    for (uint32_t i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        RECORD_LENGTH length{};
        recorder.GetRecordLength(programs[i].program, &length);
        const RECORDER_TASK_REQUEST request = Request(programs[i], paths[i]);
        recorder.StopTask(&request);
        const PsFile ps = ReadPsFile(ReadWholeFile(std::string(paths[i].begin(), paths[i].end())));
        ASSERT_EQ(ps.error, "");
        ExpectScrByteRule(ps);
        ExpectStreamFromTs(ps.streams.at(0xE0), ts, programs[i].videoPid, 0);
        // Every picture start counted at 1001/30 ms, fractions carried.
        const auto list = TsPesPackets(ts, programs[i].videoPid);
        const uint64_t ms = length.dwSeconds * 1000ull + length.dwFrames * 40ull;
        const uint64_t expected = list.size() * 1001 / 30;
        EXPECT_LE(ms, expected);
        EXPECT_GE(ms + 40, expected);
    }
}

TEST_F(ProgramRecorderTest, StartRefusesBadRequestsAndStopNeverHangs) {
    CProgramRecorder recorder(188, m_log.get());
    CCirBuffer ring(188 * 100);
    const std::wstring path = PathFor("x.mpg");
    RECORDER_TASK_REQUEST request{5, 0x100, 0x101, 3, path.c_str(), 0};
    EXPECT_NE(recorder.StartTask(nullptr, 0, &ring, 0), 0);
    EXPECT_NE(recorder.StartTask(&request, 12, &ring, 0), 0);
    EXPECT_NE(recorder.StartTask(&request, 0, nullptr, 0), 0);
    RECORDER_TASK_REQUEST noVideo = request;
    noVideo.dwVideoPid = 0;
    EXPECT_NE(recorder.StartTask(&noVideo, 0, &ring, 0), 0);
    RECORDER_TASK_REQUEST programZero = request;
    programZero.dwProgramNumber = 0;
    EXPECT_NE(recorder.StartTask(&programZero, 0, &ring, 0), 0);
    const std::wstring longPath = PathFor(std::string(300, 'a'));
    RECORDER_TASK_REQUEST tooLong = request;
    tooLong.pszOutputPath = longPath.c_str();
    EXPECT_NE(recorder.StartTask(&tooLong, 0, &ring, 0), 0);

    // Nothing started: stops of any program, program 0 too, return at once.
    EXPECT_EQ(recorder.StopTask(&programZero), 0);
    EXPECT_EQ(recorder.StopTask(&request), 0);

    ASSERT_EQ(recorder.StartTask(&request, 0, &ring, 0), 0);
    EXPECT_NE(recorder.StartTask(&request, 0, &ring, 0), 0) << "slot still running";
    EXPECT_EQ(recorder.StopTask(&programZero), 0);
    EXPECT_EQ(recorder.StopTask(&request), 0);
    // Never fed: the file holds only the end code.
    EXPECT_EQ(ReadWholeFile(std::string(path.begin(), path.end())), (Bytes{0, 0, 1, 0xB9}));

    // A task ended by the stop of all tasks leaves its slot to a new start.
    ASSERT_EQ(recorder.StartTask(&request, 0, &ring, 0), 0);
    recorder.StopAllTasks();
    ASSERT_EQ(recorder.StartTask(&request, 0, &ring, 0), 0);
    recorder.StopTask(&request);
}

TEST_F(ProgramRecorderTest, DeletingTheRecorderEndsTwelveRunningTasks) {
    std::vector<std::unique_ptr<CCirBuffer>> rings;
    auto recorder = std::make_unique<CProgramRecorder>(188, m_log.get());
    std::vector<std::wstring> paths;
    for (uint32_t i = 0; i < 12; ++i) {
        rings.push_back(std::make_unique<CCirBuffer>(188 * 1000));
        paths.push_back(PathFor("d" + std::to_string(i) + ".mpg"));
        RECORDER_TASK_REQUEST request{100 + i, 0x100, 0, 0, paths.back().c_str(), 0};
        ASSERT_EQ(recorder->StartTask(&request, i, rings.back().get(), 0), 0);
    }
    recorder.reset();  // joins every task before the rings go
    rings.clear();
    for (const auto& path : paths)
        EXPECT_EQ(ReadWholeFile(std::string(path.begin(), path.end())).size(), 4u);
}

TEST(RecordLengthTest, HoursWrapAtADayAndFramesCount40Ms) {
    RECORD_LENGTH length{};
    velmora::record::RecordLengthFromMs(3725040, &length);
    EXPECT_EQ(length.dwHours, 1u);
    EXPECT_EQ(length.dwMinutes, 2u);
    EXPECT_EQ(length.dwSeconds, 5u);
    EXPECT_EQ(length.dwFrames, 1u);
    velmora::record::RecordLengthFromMs(90000000, &length);
    EXPECT_EQ(length.dwHours, 1u);
    EXPECT_EQ(length.dwMinutes, 0u);
    EXPECT_EQ(length.dwSeconds, 0u);
    EXPECT_EQ(length.dwFrames, 0u);
}

}  // namespace

}  // namespace velmora::recordertest

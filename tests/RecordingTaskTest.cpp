#include "record/RecordingTask.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "RecorderTestSupport.h"
#include "WaitSupport.h"
#include "card/LogFile.h"
#include "record/BufferAnalyzeFrame.h"
#include "record/BufferedFile.h"
#include "record/PesPackWriter.h"
#include "ts/CirBuffer.h"

namespace velmora::recordertest {

namespace {

using namespace velmora::record;
using velmora::test::Bytes;
using velmora::test::PsFile;
using velmora::test::ReadPsFile;
using velmora::test::ReadWholeFile;

Bytes Packet(uint32_t pid, uint8_t counter, bool unitStart, bool payload = true) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | (pid >> 8));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>((payload ? 0x10 : 0x20) | (counter & 0x0F));
    if (!payload) p[4] = 183;
    return p;
}

TEST(RecordingTaskFunctionsTest, ContinuityCountsErrorsAndDuplicates) {
    auto table = std::make_unique<CONTINUITY_TABLE>();
    ResetContinuityTable(table.get());
    RECORDER_SLOT_STATE slot;
    EXPECT_EQ(CheckContinuityCounter(Packet(0x100, 7, false).data(), table.get(), &slot),
              kContinuityGood);  // first packet of the PID
    EXPECT_EQ(CheckContinuityCounter(Packet(0x100, 8, false).data(), table.get(), &slot),
              kContinuityGood);
    EXPECT_EQ(CheckContinuityCounter(Packet(0x100, 8, false, false).data(), table.get(), &slot),
              kContinuityGood);  // no payload: the counter stays
    EXPECT_EQ(CheckContinuityCounter(Packet(0x100, 8, false).data(), table.get(), &slot),
              kContinuityDuplicate);
    EXPECT_EQ(CheckContinuityCounter(Packet(0x100, 11, false).data(), table.get(), &slot),
              kContinuityError);
    EXPECT_EQ(CheckContinuityCounter(Packet(0x100, 12, false).data(), table.get(), &slot),
              kContinuityGood);
    EXPECT_EQ(slot.continuityErrors.load(), 2u);
}

TEST(RecordingTaskFunctionsTest, PesStartTestAndTimeStampsStayInThePacket) {
    Bytes p = Packet(0x100, 0, true);
    p[4] = 0;
    p[5] = 0;
    p[6] = 1;
    p[7] = 0xE0;
    p[12] = 0;  // PES_header_data_length
    EXPECT_EQ(TestPesStart(p.data()), 0);
    p[4] = 0x12;
    EXPECT_EQ(TestPesStart(p.data()), 1);  // scrambled payload
    p[0] = 0x72;
    EXPECT_EQ(TestPesStart(p.data()), -2);
    p[0] = 0x47;
    p[1] &= ~0x40;
    EXPECT_EQ(TestPesStart(p.data()), -1);
    // An adaptation field that leaves no room for the PES header.
    Bytes q = Packet(0x100, 0, true);
    q[3] = 0x30;
    q[4] = 182;
    EXPECT_EQ(TestPesStart(q.data()), -4);
    int64_t clock = kClockUnset;
    EXPECT_EQ(GetFirstPesTimestamp(q.data(), &clock), 0u);
    EXPECT_EQ(clock, kClockUnset);
    // PTS and DTS flagged with a header too short to hold them.
    const uint8_t header[12] = {0, 0, 1, 0xE0, 0, 0, 0x80, 0xC0, 0, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(ReadPesTimestamp(header, sizeof(header), &clock), 1u);
    EXPECT_EQ(clock, kClockUnset);
    // DTS of 90000 ticks (one second).
    const uint8_t full[19] = {0,    0, 1, 0xE0, 0,    0,    0x80, 0xC0, 10,  0x31,
                              0x00, 1, 0, 1,    0x11, 0x00, 0x05, 0xBF, 0x21};
    EXPECT_EQ(ReadPesTimestamp(full, sizeof(full), &clock), 1u);
    EXPECT_EQ(clock, 90000 * 300);
}

TEST(RecordingTaskFunctionsTest, PictureDurationsCarryTheirFractions) {
    // Pictures of each frame-rate code and how long they last; no header
    // yet (0) and the reserved codes count as 25 a second.
    const struct {
        uint8_t code;
        uint64_t pictures;
        uint64_t ms;
    } rates[] = {{0, 25, 1000},       {1, 24000, 1001000}, {2, 24000, 1000000}, {3, 25, 1000},
                 {4, 30000, 1001000}, {5, 30, 1000},       {6, 50, 1000},       {7, 60000, 1001000},
                 {8, 30000, 500000},  {9, 25, 1000},       {15, 25, 1000}};
    for (const auto& rate : rates) {
        EXPECT_EQ(rate.pictures * PictureDurationTicks(rate.code) / kDurationTicksPerMs, rate.ms)
            << int{rate.code};
    }
}

class PackWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_path = (std::filesystem::temp_directory_path() /
                  ("velmora_packs_" + std::to_string(::getpid()) + ".mpg"))
                     .string();
    }
    void TearDown() override { std::filesystem::remove(m_path); }
    // One PES of `length` bytes written as packs; the file's bytes.
    Bytes Write(uint32_t length, bool ac3, PesPackResult* result, PS_PACK_CLOCK* clock) {
        Bytes pes(length, 0x55);
        if (length >= 9) {
            pes[0] = 0;
            pes[1] = 0;
            pes[2] = 1;
            pes[3] = 0xE0;
            pes[6] = 0x80;
            pes[7] = 0;
            pes[8] = 0;
        }
        CBufferedFile* file = CBufferedFile::Open(m_path.c_str(), "wb", 0x10000, 0, 0, nullptr);
        EXPECT_NE(file, nullptr);
        *result = WritePesPacks(file, pes.data(), length, ac3 ? 0xBD : 0xE0, ac3, clock);
        const uint8_t end[4] = {0, 0, 1, 0xB9};
        CBufferedFile::Write(end, 1, 4, file);
        CBufferedFile::Close(file);
        return ReadWholeFile(m_path);
    }
    std::string m_path;
};

TEST_F(PackWriterTest, LastPackIsStuffedUpTo16BytesElsePadded) {
    // A PES of n bytes fills 14 + n bytes of its pack.
    for (uint32_t freeBytes : {1u, 16u, 17u, 100u}) {
        SCOPED_TRACE(freeBytes);
        PS_PACK_CLOCK clock{0, 0, true};
        PesPackResult result;
        const Bytes file = Write(2048 - 14 - freeBytes, false, &result, &clock);
        ASSERT_EQ(result, PesPackResult::kWritten);
        ASSERT_EQ(file.size(), 2048u + 4);
        const PsFile ps = ReadPsFile(file);
        ASSERT_EQ(ps.error, "");
        const bool stuffed = freeBytes <= 16;
        EXPECT_EQ(ps.packs[0].headerBytes, stuffed ? 9 + freeBytes : 9u);
        // The byte clock counts the header and stuffing once more.
        EXPECT_EQ(clock.byteCount, 2048 + 9 + (stuffed ? freeBytes : 0));
        EXPECT_EQ(ps.streams.at(0xE0).size(), 2048u - 14 - 9 - freeBytes);
    }
}

TEST_F(PackWriterTest, LongPesSpansPacksWithRepeatedHeadersAndSubStreamHeaders) {
    PS_PACK_CLOCK clock{0, 1000, true};
    PesPackResult result;
    const Bytes file = Write(5000, true, &result, &clock);
    ASSERT_EQ(result, PesPackResult::kWritten);
    const PsFile ps = ReadPsFile(file);
    ASSERT_EQ(ps.error, "");
    ASSERT_EQ(ps.packs.size(), 3u);
    EXPECT_EQ(ps.streams.at(0xBD), Bytes(5000 - 9, 0x55));
    EXPECT_EQ(ps.packs[0].scr, 1000);
    EXPECT_EQ(ps.packs[1].scr, 1000 + (2048 + 9 + 4) * 27000000ll / 2401587);
    for (const auto& pack : ps.packs)
        EXPECT_TRUE(pack.subHeaderOk);
}

TEST_F(PackWriterTest, MalformedPesIsNotWritten) {
    PS_PACK_CLOCK clock{0, 0, true};
    PesPackResult result;
    EXPECT_EQ(Write(5, false, &result, &clock).size(), 4u);
    EXPECT_EQ(result, PesPackResult::kMalformed);
    EXPECT_EQ(clock.byteCount, 0);
}

// A task of program 1 of the three-program fixture fed `stream`.
struct TaskRun {
    Bytes file;
    uint32_t continuityErrors = 0;
    uint32_t syncErrors = 0;
};

TaskRun RunTask(const Bytes& stream, const std::string& path, uint32_t videoPid = 0x200,
                uint32_t audioPid = 0x201, int32_t audioType = 3,
                velmora::card::CLogFile* log = nullptr) {
    velmora::ts::CCirBuffer ring(static_cast<uint32_t>(stream.size()) + 188);
    ring.Write(stream.data(), static_cast<uint32_t>(stream.size()));
    RECORDER_SLOT_STATE slot;
    velmora::platform::CCriticalSection lock;
    TaskRun run;
    std::atomic<bool> ended{false};
    std::thread task([&] {
        ConvertTsToPsTask(path.c_str(), 1, videoPid, audioPid, audioType, 1024, 0, &ring, &slot,
                          log, &lock, 188);
        ended = true;
    });
    // Every packet handled: the counts stand until the task ends.
    const uint64_t packets = stream.size() / 188;
    EXPECT_TRUE(::velmora::test::WaitUntil(
        [&] { return slot.handledPackets.load() == packets || ended; }, "the task's packets"));
    run.continuityErrors = slot.continuityErrors.load();
    run.syncErrors = slot.syncByteErrors.load();
    slot.stop = 1;
    task.join();
    if (std::filesystem::is_regular_file(path)) run.file = ReadWholeFile(path);
    return run;
}

void ExpectScrNeverGoesBack(const PsFile& ps) {
    for (size_t i = 1; i < ps.packs.size(); ++i)
        ASSERT_GE(ps.packs[i].scr, ps.packs[i - 1].scr) << "pack " << i;
}

class TaskFaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_ts = velmora::test::LoadRecorderFixture("rec_three_programs.ts");
        ASSERT_FALSE(m_ts.empty());
        m_path = (std::filesystem::temp_directory_path() /
                  ("velmora_task_" + std::to_string(::getpid()) + ".mpg"))
                     .string();
        m_clean = RunTask(m_ts, m_path);
    }
    void TearDown() override { std::filesystem::remove(m_path); }
    // Indexes of the video packets of program 1 that carry payload without a
    // unit start, from the middle of the stream.
    std::vector<size_t> VideoPackets(size_t count) const {
        std::vector<size_t> found;
        for (size_t at = m_ts.size() / 188 / 3 * 188;
             at + 188 <= m_ts.size() && found.size() < count; at += 188 * 37) {
            for (size_t k = at; k + 188 <= m_ts.size(); k += 188) {
                const uint8_t* p = &m_ts[k];
                if ((((p[1] & 0x1F) << 8) | p[2]) == 0x200 && (p[1] & 0x40) == 0 &&
                    (p[3] & 0x30) == 0x10) {
                    if (found.empty() || found.back() != k) found.push_back(k);
                    break;
                }
            }
        }
        return found;
    }
    Bytes m_ts;
    std::string m_path;
    TaskRun m_clean;
};

TEST_F(TaskFaultTest, DroppedPacketsAreCountedAndTheClockNeverGoesBack) {
    const auto drops = VideoPackets(3);
    ASSERT_EQ(drops.size(), 3u);
    Bytes cut;
    for (size_t at = 0; at < m_ts.size(); at += 188)
        if (std::find(drops.begin(), drops.end(), at) == drops.end())
            cut.insert(cut.end(), m_ts.begin() + at, m_ts.begin() + at + 188);
    const TaskRun run = RunTask(cut, m_path);
    EXPECT_EQ(run.continuityErrors, 3u);
    const PsFile ps = ReadPsFile(run.file);
    ASSERT_EQ(ps.error, "");
    ExpectScrNeverGoesBack(ps);
    const PsFile clean = ReadPsFile(m_clean.file);
    EXPECT_EQ(ps.streams.at(0xE0).size() + 3 * 184, clean.streams.at(0xE0).size());
    EXPECT_EQ(ps.streams.at(0xC0), clean.streams.at(0xC0));
}

TEST_F(TaskFaultTest, DuplicatesAreCountedAndDropped) {
    const auto copies = VideoPackets(4);
    Bytes doubled;
    for (size_t at = 0; at < m_ts.size(); at += 188) {
        doubled.insert(doubled.end(), m_ts.begin() + at, m_ts.begin() + at + 188);
        if (std::find(copies.begin(), copies.end(), at) != copies.end())
            doubled.insert(doubled.end(), m_ts.begin() + at, m_ts.begin() + at + 188);
    }
    const TaskRun run = RunTask(doubled, m_path);
    EXPECT_EQ(run.continuityErrors, 4u);
    EXPECT_EQ(run.file, m_clean.file);
}

TEST_F(TaskFaultTest, BadSyncBytesAndTransportErrorsAreCountedAndRecordingGoesOn) {
    const auto marked = VideoPackets(4);
    Bytes bad = m_ts;
    bad[marked[0]] = 0x00;
    bad[marked[1]] = 0x00;
    bad[marked[2] + 1] |= 0x80;  // transport_error_indicator
    const TaskRun run = RunTask(bad, m_path);
    EXPECT_EQ(run.syncErrors, 2u);
    const PsFile ps = ReadPsFile(run.file);
    ASSERT_EQ(ps.error, "");
    // The PES packets hit are dropped; the rest are recorded.
    EXPECT_GT(ps.streams.at(0xE0).size(), ReadPsFile(m_clean.file).streams.at(0xE0).size() / 2);
}

TEST_F(TaskFaultTest, WriteErrorIsLoggedBeforeTheEndLine) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    const std::filesystem::path dir = m_path + ".log";
    std::filesystem::create_directories(dir);
    velmora::card::CLogFile log(dir.string());
    log.InitLogFile();
    RunTask(m_ts, "/dev/full", 0x200, 0x201, 3, &log);
    const Bytes text = ReadWholeFile(log.GetLogFilePath());
    const std::string lines(text.begin(), text.end());
    const size_t failure = lines.find("写文件错误");
    EXPECT_NE(failure, std::string::npos) << lines;
    EXPECT_NE(lines.find("convert end", failure), std::string::npos) << lines;
    std::filesystem::remove_all(dir);
}

TEST_F(TaskFaultTest, RandomMutationsKeepFilesWellFormed) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        Bytes mutated;
        const size_t packets = m_ts.size() / 188;
        for (size_t i = 0; i < packets; ++i) {
            const uint32_t roll = random() % 1000;
            if (roll < 4) continue;  // dropped
            const size_t first = mutated.size();
            mutated.insert(mutated.end(), m_ts.begin() + i * 188, m_ts.begin() + (i + 1) * 188);
            if (roll < 8)
                mutated.insert(mutated.end(), m_ts.begin() + i * 188, m_ts.begin() + (i + 1) * 188);
            if (roll >= 990) {
                // A few bytes anywhere in the packet, header included.
                for (int k = 0; k < 3; ++k)
                    mutated[first + random() % 188] = static_cast<uint8_t>(random());
            }
        }
        const bool ac3 = round % 2 == 1;
        const TaskRun run =
            RunTask(mutated, m_path, ac3 ? 0x202 : 0x200, ac3 ? 0x203 : 0x201, ac3 ? 0x81 : 3);
        const PsFile ps = ReadPsFile(run.file);
        ASSERT_EQ(ps.error, "");
        ExpectScrNeverGoesBack(ps);
        CBufferAnalyzeFrame analyser(0x100, 0, nullptr);
        for (size_t at = 0; at + 188 <= mutated.size(); at += 188) {
            analyser.InputPacket(&mutated[at], 188, 0);
            ASSERT_GE(analyser.m_dTsBitRate, 0.0);
        }
    }
}

}  // namespace

}  // namespace velmora::recordertest

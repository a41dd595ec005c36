#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "RecordTestSupport.h"
#include "RecorderTestSupport.h"
#include "record/TsAnalysis.h"
#include "record/TsToPsConverter.h"
#include "ts/CirBuffer.h"

namespace velmora::record {
namespace {

using test::FileSizeLimit;
using test::FixturePath;
using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;
using velmora::test::Bytes;
using velmora::test::PsFile;
using velmora::test::ReadPsFile;
using velmora::test::TsPesPackets;

constexpr uint32_t kVideoPid = 0x200;
constexpr uint32_t kMp2Pid = 0x201;
constexpr uint32_t kAc3Pid = 0x202;

// The PES payload bytes of packets first..last-1 of each round, rounds
// joined: a round's last packet is cut off by the counter break into the
// next round.
Bytes ExpectedStream(const std::vector<std::vector<Bytes>>& rounds, size_t first) {
    Bytes all;
    for (size_t r = 0; r < rounds.size(); ++r) {
        const size_t last = rounds[r].size() - (r + 1 < rounds.size() ? 1 : 0);
        const Bytes part = velmora::test::Concat(rounds[r], r == 0 ? first : 0, last);
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

bool HasStartCode(const Bytes& b, uint8_t code) {
    for (size_t i = 0; i + 4 <= b.size(); ++i)
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && b[i + 3] == code) return true;
    return false;
}

// The first packs of the PES packets of a stream: those whose PES header
// carries a time stamp (continuation packs carry none).
std::vector<const uint8_t*> TimedPesData(const Bytes& file, uint8_t streamId) {
    std::vector<const uint8_t*> data;
    for (size_t at = 2048; at + 2048 <= file.size(); at += 2048) {
        const uint8_t* h = &file[at + 14];
        if (h[3] == streamId && (h[7] & 0x80) != 0) data.push_back(h + 9 + h[8]);
    }
    return data;
}

// cleanInput: no error output either. A looped input's time stamps jump
// back, and a split file begins between two sequence headers.
void ExpectDecodes(const std::vector<std::string>& paths, bool cleanInput) {
    if (std::system("command -v ffmpeg > /dev/null 2>&1") != 0) {
        std::printf("ffmpeg not installed: converted files not decoded\n");
        return;
    }
    for (const std::string& path : paths) {
        const std::string errors = path + ".err";
        const std::string command =
            "ffmpeg -nostdin -v error -i '" + path + "' -f null - 2> '" + errors + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << path;
        const Bytes text = ReadWholeFile(errors);
        if (cleanInput) {
            EXPECT_EQ(text.size(), 0u) << path << ": " << std::string(text.begin(), text.end());
        }
    }
}

TEST(TsToPsConverterTest, Ac3SetSplitsIntoWholeProgramStreams) {
    constexpr int kRounds = 8;
    TempDir dir;
    CTsFileSet set;
    std::vector<std::vector<Bytes>> video;
    std::vector<std::vector<Bytes>> ac3;
    Bytes round;
    for (int i = 1; i <= 3; ++i) {
        const Bytes part = ReadWholeFile(FixturePath("cut_three_" + std::to_string(i) + ".ts"));
        round.insert(round.end(), part.begin(), part.end());
    }
    // The stream over and over: its counters break between the rounds.
    for (int r = 0; r < kRounds; ++r) {
        for (int i = 1; i <= 3; ++i) {
            const std::string source = FixturePath("cut_three_" + std::to_string(i) + ".ts");
            const std::string name = dir.File("in" + std::to_string(r + 10) + std::to_string(i));
            std::filesystem::copy_file(source, name);
            set.AddFile(name.c_str(), std::filesystem::file_size(name), 0);
        }
        video.push_back(TsPesPackets(round, kVideoPid));
        ac3.push_back(TsPesPackets(round, kAc3Pid));
    }
    uint32_t calls = 0;
    const auto progress = [](const char*, const char*, uint64_t, uint64_t, uint64_t, uint64_t,
                             uint32_t, void* argument) -> uint32_t {
        ++*static_cast<uint32_t*>(argument);
        return 1;
    };
    const std::string out = dir.File("prog_000.mpg");
    ASSERT_EQ(ConvertTsToPsAc3(&set, out.c_str(), kVideoPid, kAc3Pid, 1, progress, &calls), 0u);
    EXPECT_GT(calls, 100u);

    std::vector<std::string> paths;
    Bytes videoOut;
    Bytes ac3Out;
    for (int n = 0;; ++n) {
        char name[32];
        std::snprintf(name, sizeof(name), "prog_%03d.mpg", n);
        const Bytes file = ReadWholeFile(dir.File(name));
        if (file.empty()) break;
        paths.push_back(dir.File(name));
        SCOPED_TRACE(name);
        const PsFile ps = ReadPsFile(file);
        ASSERT_EQ(ps.error, "");
        ASSERT_GE(ps.packs.size(), 2u);
        // Every file opens with the stream start; its clock starts near 0.
        EXPECT_EQ(ps.packs[0].streamId, 0);
        EXPECT_EQ(ps.systemHeaderStreams[0], 0xE0);
        EXPECT_EQ(ps.systemHeaderStreams[1], 0xBD);
        EXPECT_LT(ps.packs[1].scr, 27000000 / 10);
        if (n == 0) {
            EXPECT_EQ(ps.packs[0].scr, 0);
        }
        for (const auto& pack : ps.packs)
            EXPECT_TRUE(pack.subHeaderOk);
        for (const uint8_t* data : TimedPesData(file, 0xBD)) {
            EXPECT_EQ(data[4], 0x0B);
            EXPECT_EQ(data[5], 0x77);
        }
        if (ps.streams.count(0xE0) != 0)
            videoOut.insert(videoOut.end(), ps.streams.at(0xE0).begin(), ps.streams.at(0xE0).end());
        if (ps.streams.count(0xBD) != 0)
            ac3Out.insert(ac3Out.end(), ps.streams.at(0xBD).begin(), ps.streams.at(0xBD).end());
    }
    ASSERT_GE(paths.size(), 2u);
    EXPECT_LE(ReadWholeFile(paths[0]).size(), 1048576u + 2 * 2048 + 4);

    size_t firstSequence = 0;
    while (!HasStartCode(velmora::test::PesPayload(video[0][firstSequence]), 0xB3))
        ++firstSequence;
    EXPECT_EQ(videoOut, ExpectedStream(video, firstSequence));
    EXPECT_EQ(ac3Out, ExpectedStream(ac3, 0));
    ExpectDecodes(paths, false);
}

Bytes ThreeProgramStream() {
    Bytes ts;
    for (int i = 1; i <= 3; ++i) {
        const Bytes part = ReadWholeFile(FixturePath("cut_three_" + std::to_string(i) + ".ts"));
        ts.insert(ts.end(), part.begin(), part.end());
    }
    return ts;
}

// The offsets of the packets that start the I pictures of ThreeProgramStream.
std::vector<size_t> IntraPicturePositions() {
    std::ifstream positions(FixturePath("cut_three_ipos.txt"));
    std::vector<size_t> ipos;
    for (size_t v; positions >> v;)
        ipos.push_back(v);
    return ipos;
}

// The PES packets of pid in ts, without the last one when it has not all
// arrived by the length its header declares.
std::vector<Bytes> WholePesPackets(const Bytes& ts, uint32_t pid) {
    std::vector<Bytes> list = TsPesPackets(ts, pid);
    if (!list.empty()) {
        const Bytes& last = list.back();
        const size_t declared = static_cast<size_t>(last[4]) << 8 | last[5];
        if (declared != 0 && last.size() < 6 + declared) list.pop_back();
    }
    return list;
}

uint8_t Counter(const Bytes& ts, size_t at, uint32_t pid, bool forward) {
    for (size_t i = at;; forward ? i += 188 : i -= 188) {
        const uint8_t* p = &ts[forward ? i : i - 188];
        if (((p[1] & 0x1Fu) << 8 | p[2]) == pid) return p[3] & 15;
    }
}

TEST(TsToPsConverterTest, CutMarksFlushBeforeAndStartAfreshAfter) {
    const Bytes original = ThreeProgramStream();
    const std::vector<size_t> ipos = IntraPicturePositions();
    ASSERT_GE(ipos.size(), 6u);
    const size_t cutFrom = ipos[2];
    const size_t cutTo = ipos[5];
    // The counters behind the cut are moved on so that they repeat the last
    // ones before it (taken for a duplicate) or break from them.
    for (const uint8_t step : {0, 7}) {
        SCOPED_TRACE(step);
        Bytes ts = original;
        for (const uint32_t pid : {kVideoPid, kAc3Pid}) {
            const uint8_t delta =
                (Counter(ts, cutFrom, pid, false) + step - Counter(ts, cutTo, pid, true) + 16) & 15;
            for (size_t at = cutTo; at < ts.size(); at += 188) {
                uint8_t* p = &ts[at];
                if (((p[1] & 0x1Fu) << 8 | p[2]) == pid)
                    p[3] = static_cast<uint8_t>((p[3] & 0xF0) | ((p[3] + delta) & 15));
            }
        }
        TempDir dir;
        const std::string input = dir.File("cut.ts");
        WriteWholeFile(input, ts);
        CTsFileSet set;
        set.AddFile(input.c_str(), ts.size(), 0);
        set.AddCutMark(kCutExclude, cutFrom);
        set.AddCutMark(kCutInclude, cutTo);
        const std::string out = dir.File("cut_000.mpg");
        ASSERT_EQ(ConvertTsToPsAc3(&set, out.c_str(), kVideoPid, kAc3Pid, 100, nullptr, nullptr),
                  0u);
        const PsFile ps = ReadPsFile(ReadWholeFile(out));
        ASSERT_EQ(ps.error, "");

        const Bytes before(ts.begin(), ts.begin() + static_cast<ptrdiff_t>(cutFrom));
        const Bytes after(ts.begin() + static_cast<ptrdiff_t>(cutTo), ts.end());
        const std::vector<Bytes> video = TsPesPackets(before, kVideoPid);
        size_t firstSequence = 0;
        while (!HasStartCode(velmora::test::PesPayload(video[firstSequence]), 0xB3))
            ++firstSequence;
        Bytes expected = velmora::test::Concat(video, firstSequence, video.size());
        const std::vector<Bytes> videoAfter = TsPesPackets(after, kVideoPid);
        const Bytes rest = velmora::test::Concat(videoAfter, 0, videoAfter.size());
        expected.insert(expected.end(), rest.begin(), rest.end());
        EXPECT_TRUE(ps.streams.at(0xE0) == expected);

        const std::vector<Bytes> ac3 = WholePesPackets(before, kAc3Pid);
        const std::vector<Bytes> ac3After = TsPesPackets(after, kAc3Pid);
        expected = velmora::test::Concat(ac3, 0, ac3.size());
        const Bytes ac3Rest = velmora::test::Concat(ac3After, 0, ac3After.size());
        expected.insert(expected.end(), ac3Rest.begin(), ac3Rest.end());
        EXPECT_TRUE(ps.streams.at(0xBD) == expected);
        ExpectDecodes({out}, true);
    }
}

// The same stream in one file and in several files cut inside its packets,
// with the same marks: a mark on a shared packet counts for all of it.
TEST(TsToPsConverterTest, PacketCutByTheEndOfAFileGoesOnInTheNext) {
    const Bytes ts = ThreeProgramStream();
    const std::vector<size_t> ipos = IntraPicturePositions();
    ASSERT_GE(ipos.size(), 5u);
    struct Case {
        std::vector<size_t> cuts;
        std::vector<std::pair<uint32_t, size_t>> marks;
    };
    const Case cases[] = {
        {{188 * 300 + 100}, {}},
        // An exclude mark on the packet that starts an I picture, and an
        // include mark on one.
        {{ipos[2] + 100}, {{kCutExclude, ipos[2]}, {kCutInclude, ipos[4]}}},
        {{ipos[4] + 100}, {{kCutExclude, ipos[2]}, {kCutInclude, ipos[4]}}},
        // A packet over three files, and an empty file inside a packet.
        {{188 * 300 + 12, 188 * 300 + 112}, {}},
        {{ipos[4] + 100, ipos[4] + 100}, {{kCutExclude, ipos[2]}, {kCutInclude, ipos[4]}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cuts[0]);
        TempDir dir;
        const std::string whole = dir.File("whole.ts");
        WriteWholeFile(whole, ts);
        CTsFileSet one;
        one.AddFile(whole.c_str(), ts.size(), 0);
        CTsFileSet cut;
        size_t start = 0;
        std::vector<size_t> ends = c.cuts;
        ends.push_back(ts.size());
        for (size_t end : ends) {
            const std::string part = dir.File("part" + std::to_string(cut.GetFileCount()) + ".ts");
            WriteWholeFile(part, Bytes(ts.begin() + static_cast<ptrdiff_t>(start),
                                       ts.begin() + static_cast<ptrdiff_t>(end)));
            cut.AddFile(part.c_str(), end - start,
                        static_cast<uint32_t>((188 - start % 188) % 188));
            start = end;
        }
        for (const auto& [kind, at] : c.marks) {
            one.AddCutMark(kind, at);
            cut.AddCutMark(kind, at);
        }
        const std::string expected = dir.File("one_000.mpg");
        ASSERT_EQ(
            ConvertTsToPsAc3(&one, expected.c_str(), kVideoPid, kAc3Pid, 10, nullptr, nullptr), 0u);
        const std::string out = dir.File("two_000.mpg");
        ASSERT_EQ(ConvertTsToPsAc3(&cut, out.c_str(), kVideoPid, kAc3Pid, 10, nullptr, nullptr),
                  0u);
        EXPECT_TRUE(ReadWholeFile(out) == ReadWholeFile(expected));
        ExpectDecodes({out}, true);
    }
}

// A transport packet of pid holding payload bytes [at, at + n) of data,
// stuffed by an adaptation field when n is short of 184.
Bytes TsPacket(uint32_t pid, bool start, uint8_t counter, const Bytes& data, size_t at, size_t n) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((start ? 0x40 : 0) | pid >> 8);
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | counter);
    size_t offset = 4;
    if (n < 184) {
        p[3] |= 0x20;
        p[4] = static_cast<uint8_t>(183 - n);
        if (p[4] > 0) p[5] = 0;
        offset = 188 - n;
    }
    std::copy(data.begin() + at, data.begin() + at + n, p.begin() + offset);
    return p;
}

void AddPes(Bytes& ts, uint32_t pid, uint8_t* counter, const Bytes& pes) {
    for (size_t at = 0; at < pes.size(); at += 184) {
        const Bytes p =
            TsPacket(pid, at == 0, *counter, pes, at, std::min<size_t>(184, pes.size() - at));
        *counter = (*counter + 1) & 15;
        ts.insert(ts.end(), p.begin(), p.end());
    }
}

Bytes Pes(uint8_t streamId, const Bytes& data) {
    Bytes pes = {0, 0, 1, streamId, 0, 0, 0x80, 0x80, 5, 0x21, 0, 1, 0, 1};
    pes.insert(pes.end(), data.begin(), data.end());
    return pes;
}

// An AC-3 frame: the sync word, then bytes that hold no sync word.
Bytes Ac3Frame(uint8_t fill, size_t size) {
    Bytes frame(size, fill);
    frame[0] = 0x0B;
    frame[1] = 0x77;
    return frame;
}

TEST(TsToPsConverterTest, Ac3FramesAlignedAndCounterRule) {
    Bytes sequence = {0, 0, 1, 0xB3, 0x0B, 0x00, 0x90, 0x13, 0xFF, 0xFF, 0xE0, 0x18};
    sequence.resize(600, 0x55);
    const Bytes frame1 = Ac3Frame(0x11, 500);
    const Bytes frame2 = Ac3Frame(0x22, 500);
    const Bytes frame3 = Ac3Frame(0x33, 300);
    Bytes second = {0x11, 0x11};  // the tail of frame 1 ahead of frame 2
    second.insert(second.end(), frame2.begin(), frame2.end());

    Bytes ts;
    uint8_t videoCounter = 0;
    uint8_t audioCounter = 0;
    AddPes(ts, kVideoPid, &videoCounter, Pes(0xE0, sequence));
    Bytes first = frame1;
    first.resize(first.size() - 2);
    AddPes(ts, kAc3Pid, &audioCounter, Pes(0xBD, first));
    // A repeated packet and a PCR-only packet (counter kept) change nothing.
    const Bytes repeated(ts.end() - 188, ts.end());
    ts.insert(ts.end(), repeated.begin(), repeated.end());
    Bytes pcrOnly(188, 0xFF);
    pcrOnly[0] = 0x47;
    pcrOnly[1] = kAc3Pid >> 8;
    pcrOnly[2] = kAc3Pid & 0xFF;
    pcrOnly[3] = static_cast<uint8_t>(0x20 | ((audioCounter + 15) & 15));
    pcrOnly[4] = 183;
    pcrOnly[5] = 0;
    ts.insert(ts.end(), pcrOnly.begin(), pcrOnly.end());
    AddPes(ts, kAc3Pid, &audioCounter, Pes(0xBD, second));
    Bytes broken;  // a PES whose middle packet is lost
    AddPes(broken, kAc3Pid, &audioCounter, Pes(0xBD, Ac3Frame(0x44, 400)));
    broken.erase(broken.begin() + 188, broken.begin() + 2 * 188);
    ts.insert(ts.end(), broken.begin(), broken.end());
    AddPes(ts, kAc3Pid, &audioCounter, Pes(0xBD, frame3));
    AddPes(ts, kVideoPid, &videoCounter, Pes(0xE0, sequence));

    TempDir dir;
    const std::string input = dir.File("a.ts");
    WriteWholeFile(input, ts);
    CTsFileSet set;
    set.AddFile(input.c_str(), ts.size(), 0);
    const std::string out = dir.File("a_000.mpg");
    ASSERT_EQ(ConvertTsToPsAc3(&set, out.c_str(), kVideoPid, kAc3Pid, 1, nullptr, nullptr), 0u);
    const Bytes file = ReadWholeFile(out);
    const PsFile ps = ReadPsFile(file);
    ASSERT_EQ(ps.error, "");
    Bytes expected = frame1;
    expected.insert(expected.end(), frame2.begin(), frame2.end());
    expected.insert(expected.end(), frame3.begin(), frame3.end());
    EXPECT_EQ(ps.streams.at(0xBD), expected);
    const auto starts = TimedPesData(file, 0xBD);
    ASSERT_EQ(starts.size(), 3u);
    for (const uint8_t* data : starts) {
        EXPECT_EQ(data[4], 0x0B);
        EXPECT_EQ(data[5], 0x77);
    }
    Bytes video = sequence;
    video.insert(video.end(), sequence.begin(), sequence.end());
    EXPECT_EQ(ps.streams.at(0xE0), video);
}

TEST(TsToPsConverterTest, VideoBeforeTheFirstSequenceHeaderIsDropped) {
    Bytes picture(700, 0x66);
    picture[0] = 0;
    picture[1] = 0;
    picture[2] = 1;
    picture[3] = 0;
    picture[5] = 2 << 3;  // P picture
    Bytes sequence = {0, 0, 1, 0xB3};
    sequence.resize(700, 0x55);
    // The last P picture of a GOP, then the next GOP's sequence header and
    // I picture in the same PES packet, well past its first packets.
    Bytes pictureThenSequence = picture;
    pictureThenSequence.resize(3000, 0x66);
    pictureThenSequence.insert(pictureThenSequence.end(), {0, 0, 1, 0xB3, 0x16, 0x00, 0xF0, 0x13});
    pictureThenSequence.insert(pictureThenSequence.end(), {0, 0, 1, 0x00, 0x00, 1 << 3});
    pictureThenSequence.resize(3700, 0x44);
    struct Case {
        std::vector<Bytes> pes;
        size_t firstKept;  // from the first accepted on, every PES is kept
    };
    const Case cases[] = {
        {{picture, Bytes(100, 0x77) /* too short to judge */, sequence, picture}, 2},
        {{picture, pictureThenSequence, picture}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstKept);
        Bytes ts;
        Bytes expected;
        uint8_t counter = 0;
        for (size_t i = 0; i < c.pes.size(); ++i) {
            AddPes(ts, kVideoPid, &counter, Pes(0xE0, c.pes[i]));
            if (i >= c.firstKept) expected.insert(expected.end(), c.pes[i].begin(), c.pes[i].end());
        }
        TempDir dir;
        const std::string input = dir.File("v.ts");
        WriteWholeFile(input, ts);
        CTsFileSet set;
        set.AddFile(input.c_str(), ts.size(), 0);
        const std::string out = dir.File("v_000.mpg");
        ASSERT_EQ(ConvertTsToPsAc3(&set, out.c_str(), kVideoPid, 0, 1, nullptr, nullptr), 0u);
        const PsFile ps = ReadPsFile(ReadWholeFile(out));
        ASSERT_EQ(ps.error, "");
        ASSERT_EQ(ps.streams.size(), 1u);  // audio PID 0: no audio
        EXPECT_EQ(ps.streams.at(0xE0), expected);
        EXPECT_EQ(ps.systemHeaderStreams[1], 0);

        // The ring converter gates alike; PID 0 is no audio there either.
        ts::CCirBuffer ring(static_cast<uint32_t>(ts.size()));
        ASSERT_EQ(ring.Write(ts.data(), static_cast<uint32_t>(ts.size())), 0u);
        const std::atomic<uint32_t> end{1};
        const std::string ringOut = dir.File("r_000.mpg");
        ASSERT_EQ(ConvertTsToPs(ringOut.c_str(), kVideoPid, 0, 1, &ring, &end), 0u);
        const PsFile fromRing = ReadPsFile(ReadWholeFile(ringOut));
        ASSERT_EQ(fromRing.streams.size(), 1u);
        EXPECT_EQ(fromRing.streams.at(0xE0), expected);
    }
}

TEST(TsToPsConverterTest, IntraPictureWithoutHeaderTakesTheStoredSequenceHeader) {
    const TS_SCAN_STORE saved = g_TsScanStore;
    // A stored packet payload: the end of a picture, then a sequence header
    // with its extension, then the next picture.
    const Bytes header = {0,    0,    1, 0xB3, 0x16, 0x00, 0xF0, 0x13, 0xFF, 0xFF,
                          0xE0, 0x18, 0, 0,    1,    0xB5, 0x14, 0x8A, 0x00, 0x01};
    Bytes stored = {0x12, 0x34};
    stored.insert(stored.end(), header.begin(), header.end());
    stored.insert(stored.end(), {0, 0, 1, 0x00, 0x00, 0x08});
    std::copy(stored.begin(), stored.end(), g_TsScanStore.sequenceHeaderPayload);
    g_TsScanStore.sequenceHeaderPayloadLength = static_cast<uint32_t>(stored.size());

    Bytes intra(700, 0x66);
    intra[0] = 0;
    intra[1] = 0;
    intra[2] = 1;
    intra[3] = 0;
    intra[5] = 1 << 3;
    Bytes ts;
    uint8_t counter = 0;
    AddPes(ts, kVideoPid, &counter, Pes(0xE0, intra));
    TempDir dir;
    const std::string input = dir.File("i.ts");
    WriteWholeFile(input, ts);
    CTsFileSet set;
    set.AddFile(input.c_str(), ts.size(), 0);
    const std::string out = dir.File("i_000.mpg");
    const uint32_t result = ConvertTsToPsAc3(&set, out.c_str(), kVideoPid, 0, 1, nullptr, nullptr);
    g_TsScanStore = saved;
    ASSERT_EQ(result, 0u);
    const PsFile ps = ReadPsFile(ReadWholeFile(out));
    ASSERT_EQ(ps.error, "");
    Bytes expected = header;
    expected.insert(expected.end(), intra.begin(), intra.end());
    EXPECT_EQ(ps.streams.at(0xE0), expected);
}

// Writes the stream `rounds` times into the ring in pieces that do not fall
// on packet boundaries, then raises the end flag; stops early on `quit`.
void FeedRing(ts::CCirBuffer* ring, const Bytes& ts, int rounds, std::atomic<uint32_t>* end,
              const std::atomic<bool>* quit) {
    for (int r = 0; r < rounds; ++r) {
        for (size_t at = 0; at < ts.size() && !*quit;) {
            const size_t n = std::min<size_t>(1000, ts.size() - at);
            if (ring->Write(ts.data() + at, static_cast<uint32_t>(n)) == 0)
                at += n;
            else
                std::this_thread::yield();
        }
    }
    *end = 1;
}

TEST(TsToPsConverterTest, RingConversionEndsOnItsFlagAndDrainsTheRing) {
    const Bytes ts = ThreeProgramStream();
    TempDir dir;
    const std::string out = dir.File("ring_000.mpg");
    ts::CCirBuffer ring(64 * 1024);
    std::atomic<uint32_t> end{0};
    std::atomic<bool> quit{false};
    std::thread writer(FeedRing, &ring, std::cref(ts), 1, &end, &quit);
    const uint32_t result = ConvertTsToPs(out.c_str(), kVideoPid, kMp2Pid, 1, &ring, &end);
    writer.join();
    EXPECT_EQ(result, 0u);
    const PsFile ps = ReadPsFile(ReadWholeFile(out));
    ASSERT_EQ(ps.error, "");
    EXPECT_EQ(ps.systemHeaderStreams[1], 0xC0);
    EXPECT_EQ(ps.streams.at(0xC0), velmora::test::Concat(TsPesPackets(ts, kMp2Pid), 0, 1000));
    const std::vector<Bytes> video = TsPesPackets(ts, kVideoPid);
    size_t first = 0;
    ASSERT_TRUE(velmora::test::IsPesRun(ps.streams.at(0xE0), video, video.size(), &first));
    ExpectDecodes({out}, true);
}

TEST(TsToPsConverterTest, FailuresGiveOne) {
    TempDir dir;
    const Bytes part = ReadWholeFile(FixturePath("cut_three_1.ts"));
    const std::string input = dir.File("in.ts");
    WriteWholeFile(input, part);
    CTsFileSet set;
    const std::string out = dir.File("o_000.mpg");
    // An empty set, an input that is gone, an output that cannot be opened,
    // a split size of 0, a write that fails.
    EXPECT_EQ(ConvertTsToPsAc3(&set, out.c_str(), kVideoPid, kAc3Pid, 1, nullptr, nullptr), 1u);
    set.AddFile(dir.File("gone.ts").c_str(), part.size(), 0);
    EXPECT_EQ(ConvertTsToPsAc3(&set, out.c_str(), kVideoPid, kAc3Pid, 1, nullptr, nullptr), 1u);
    set.RemoveAllFiles();
    set.AddFile(input.c_str(), part.size(), 0);
    const std::string badOut = dir.File("no/such/dir.mpg");
    EXPECT_EQ(ConvertTsToPsAc3(&set, badOut.c_str(), kVideoPid, kAc3Pid, 1, nullptr, nullptr), 1u);
    EXPECT_EQ(ConvertTsToPsAc3(&set, out.c_str(), kVideoPid, kAc3Pid, 0, nullptr, nullptr), 1u);
    {
        const FileSizeLimit limit(1000);
        const std::string full = dir.File("full_000.mpg");
        EXPECT_EQ(ConvertTsToPsAc3(&set, full.c_str(), kVideoPid, kAc3Pid, 1, nullptr, nullptr),
                  1u);
    }
    // An existing output is kept untouched.
    WriteWholeFile(out, Bytes(3, 7));
    EXPECT_EQ(ConvertTsToPsAc3(&set, out.c_str(), kVideoPid, kAc3Pid, 1, nullptr, nullptr), 1u);
    EXPECT_EQ(ReadWholeFile(out), Bytes(3, 7));
    std::filesystem::remove(out);
    // The callback stops the conversion: 0, and the file is whole.
    const auto stop = [](const char*, const char*, uint64_t, uint64_t, uint64_t, uint64_t, uint32_t,
                         void*) -> uint32_t { return 0; };
    EXPECT_EQ(ConvertTsToPsAc3(&set, out.c_str(), kVideoPid, kAc3Pid, 1, stop, nullptr), 0u);
    EXPECT_EQ(ReadPsFile(ReadWholeFile(out)).error, "");

    // The ring converter: a failed write, and an output that cannot be had
    // (a first or next file that exists and is kept, a name without digits)
    // give 1 too.
    const Bytes ts = ThreeProgramStream();
    for (const std::string& path : {dir.File("full_000.mpg"), dir.File("x_000.mpg"),
                                    dir.File("x_001.mpg"), dir.File("nodigits.mpg")}) {
        SCOPED_TRACE(path);
        WriteWholeFile(dir.File("x_001.mpg"), Bytes(1, 0));
        ts::CCirBuffer ring(64 * 1024);
        std::atomic<uint32_t> end{0};
        std::atomic<bool> quit{false};
        std::thread writer(FeedRing, &ring, std::cref(ts), 1000, &end, &quit);
        std::filesystem::remove(dir.File("full_000.mpg"));
        const FileSizeLimit limit(path == dir.File("full_000.mpg") ? 1000 : RLIM_INFINITY);
        EXPECT_EQ(ConvertTsToPs(path.c_str(), kVideoPid, kMp2Pid, 1, &ring, &end), 1u);
        quit = true;
        writer.join();
        EXPECT_EQ(ReadWholeFile(dir.File("x_001.mpg")), Bytes(1, 0));
    }
}

}  // namespace
}  // namespace velmora::record

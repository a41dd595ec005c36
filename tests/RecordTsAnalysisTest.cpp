#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "RecordTestSupport.h"
#include "platform/Trace.h"
#include "record/BitStream.h"
#include "record/TsAnalysis.h"

namespace velmora::record {
namespace {

using test::FixturePath;
using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

using Bytes = std::vector<uint8_t>;

// Collects the trace output for the life of the scope.
class TraceCapture {
  public:
    TraceCapture() {
        platform::SetTraceCapture([this](std::string_view text) { m_Text.append(text); });
    }
    ~TraceCapture() { platform::SetTraceCapture({}); }
    const std::string& Text() const { return m_Text; }

  private:
    std::string m_Text;
};

TEST(TsAnalysisTest, ScansTheThreeProgramFixture) {
    const Bytes ts = ReadWholeFile(FixturePath("ts3_mux.ts"));
    ASSERT_FALSE(ts.empty());
    SCAN_PROGRAM_RECORD records[16];
    uint32_t count = 0;
    uint16_t words[3] = {};
    ASSERT_EQ(ScanPrograms(ts.data(), int32_t(ts.size()), 16, records, &count, words, nullptr), 1);
    ASSERT_EQ(count, 3u);
    struct Expected {
        uint32_t program, videoPid, width, height, frameRateCode, audio, pmtPid;
    } expected[] = {
        {1, 0x100, 176, 144, 3, (kKindMpeg1Audio << 16) | 0x103, 0x1000},
        {2, 0x101, 352, 288, 3, (kKindAc3 << 16) | 0x104, 0x1001},
        {3, 0x102, 176, 144, 4, kNoAudio, 0x1002},
    };
    for (uint32_t i = 0; i < 3; ++i) {
        const SCAN_PROGRAM_RECORD& r = records[i];
        SCOPED_TRACE(i);
        EXPECT_STREQ(r.name, "NONAME");
        EXPECT_EQ(r.programNumber, expected[i].program);
        EXPECT_EQ(r.video, (kKindVideo << 16) | expected[i].videoPid);
        // ffmpeg's mp2 may be signalled as MPEG-1 or MPEG-2 audio.
        if (expected[i].audio >> 16 == kKindMpeg1Audio) {
            EXPECT_TRUE(r.audio == expected[i].audio ||
                        r.audio == ((kKindMpeg2Audio << 16) | 0x103))
                << std::hex << r.audio;
        } else {
            EXPECT_EQ(r.audio, expected[i].audio);
        }
        EXPECT_EQ(r.horizontalSize, expected[i].width);
        EXPECT_EQ(r.verticalSize, expected[i].height);
        EXPECT_EQ(r.frameRateCode, expected[i].frameRateCode);
        EXPECT_EQ(r.chromaFormat, 1u);
        EXPECT_EQ(r.pmtPid, expected[i].pmtPid);
        EXPECT_EQ(r.pcrPid, expected[i].videoPid);
        EXPECT_NEAR(double(r.bitRate), 1000000.0, 10000.0);
    }
    EXPECT_EQ(g_TsScanStore.patStored, 1);
    EXPECT_EQ(g_TsScanStore.pmtPacketCount, 3u);

    // A record array too small for the stream is never overrun.
    SCAN_PROGRAM_RECORD one[2];
    ASSERT_EQ(ScanPrograms(ts.data(), int32_t(ts.size()), 1, one, &count, nullptr, nullptr), 1);
    EXPECT_EQ(count, 1u);
}

// A packet of one PID carrying `payload` (stuffed with 0xFF).
Bytes Packet(uint32_t pid, bool unitStart, const Bytes& payload, uint32_t counter = 0) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | (pid >> 8));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | (counter & 15));
    std::copy(payload.begin(), payload.begin() + std::min<size_t>(payload.size(), 184),
              p.begin() + 4);
    return p;
}

// A packet with only an adaptation field that carries a PCR.
Bytes PcrPacket(uint32_t pid, uint64_t pcr27) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>(pid >> 8);
    p[2] = static_cast<uint8_t>(pid);
    p[3] = 0x20;
    p[4] = 183;
    p[5] = 0x10;
    const uint64_t base = pcr27 / 300, extension = pcr27 % 300;
    p[6] = uint8_t(base >> 25);
    p[7] = uint8_t(base >> 17);
    p[8] = uint8_t(base >> 9);
    p[9] = uint8_t(base >> 1);
    p[10] = uint8_t(((base & 1) << 7) | 0x7E | (extension >> 8));
    p[11] = uint8_t(extension);
    return p;
}

void Append(Bytes& stream, const Bytes& packet) {
    stream.insert(stream.end(), packet.begin(), packet.end());
}

// A terrestrial virtual channel table with one channel: name "DEMO", 9.1,
// program 3, a service location descriptor with video 0x31 and AC-3 0x34.
Bytes VirtualChannelTable() {
    Bytes s = {0xC8, 0xF0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01};
    const char16_t name[7] = {u'D', u'E', u'M', u'O', 0, 0, 0};
    for (char16_t c : name) {
        s.push_back(uint8_t(c >> 8));
        s.push_back(uint8_t(c));
    }
    const uint32_t major = 9, minor = 1;
    s.push_back(uint8_t(0xF0 | (major >> 6)));
    s.push_back(uint8_t(((major & 0x3F) << 2) | (minor >> 8)));
    s.push_back(uint8_t(minor));
    s.push_back(0x04);                // modulation
    s.insert(s.end(), {0, 0, 0, 0});  // carrier
    s.insert(s.end(), {0x00, 0x01});  // channel TSID
    s.insert(s.end(), {0x00, 0x03});  // program number
    s.insert(s.end(), {0x0D, 0xC2});  // flags and service type
    s.insert(s.end(), {0x00, 0x01});  // source id
    const Bytes sld = {0xA1, 15, 0xE0, 0x31, 2,    0x02, 0xE0, 0x31, 0,
                       0,    0,  0x81, 0xE0, 0x34, 'e',  'n',  'g'};
    s.push_back(uint8_t(0xFC | (sld.size() >> 8)));
    s.push_back(uint8_t(sld.size()));
    s.insert(s.end(), sld.begin(), sld.end());
    s.insert(s.end(), {0xFC, 0x00});  // additional descriptors length
    s.insert(s.end(), {0, 0, 0, 0});  // CRC (not checked by the scan)
    const uint32_t sectionLength = uint32_t(s.size() - 3);
    s[1] = uint8_t(0xF0 | (sectionLength >> 8));
    s[2] = uint8_t(sectionLength);
    return s;
}

TEST(TsAnalysisTest, VirtualChannelTableNamesProgramsAndRepeatedPcrsDoNoHarm) {
    Bytes stream;
    Append(stream, Packet(0x1FFF, false, {}));  // the scan starts behind the first packet
    Bytes section = VirtualChannelTable();
    section.insert(section.begin(), 0);  // pointer field
    Append(stream, Packet(0x1FFB, true, section));
    // The same PCR over and over, then one that goes back past the wrap.
    for (int i = 0; i < 5; ++i)
        Append(stream, PcrPacket(0x31, 27000000));
    Append(stream, PcrPacket(0x31, 1000));
    Append(stream, PcrPacket(0x31, 1000 + 27000 * 188 * 8 / 1000));
    Append(stream, Packet(0x1FFF, false, {}));
    SCAN_PROGRAM_RECORD records[4];
    uint32_t count = 0;
    uint16_t words[3] = {};
    ASSERT_EQ(
        ScanPrograms(stream.data(), int32_t(stream.size()), 4, records, &count, words, nullptr), 1);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(records[0].name, "DEMO");
    EXPECT_EQ(records[0].majorNumber, 9u);
    EXPECT_EQ(records[0].minorNumber, 1u);
    EXPECT_EQ(records[0].programNumber, 3u);
    EXPECT_EQ(records[0].video, (kKindVideo << 16) | 0x31);
    EXPECT_EQ(records[0].audio, (kKindAc3 << 16) | 0x34);
    EXPECT_EQ(records[0].pcrPid, 0x31u);
    // 188 bytes in 1.504 ms: 1,000,000 bit/s.
    EXPECT_EQ(records[0].bitRate, 1000000u);
    EXPECT_EQ(words[0], 0x1FFB);
    EXPECT_EQ(words[1], 0x1FFF);
    EXPECT_EQ(words[2], 0);
}

// A PMT with two audio streams gives the program two records.
TEST(TsAnalysisTest, SecondAudioStreamMakesACopy) {
    Bytes stream;
    Append(stream, Packet(0x1FFF, false, {}));
    const Bytes pat = {0, 0x00, 0xB0, 13, 0, 1, 0xC1, 0, 0, 0, 7, 0xE1, 0x00, 0, 0, 0, 0};
    Append(stream, Packet(0, true, pat));
    const Bytes pmt = {0,    0x02, 0xB0, 30,   0,    7, 0xC1, 0,    0,    0xE0, 0x40, 0xF0,
                       0,    0x02, 0xE0, 0x40, 0xF0, 0, 0x04, 0xE0, 0x41, 0xF0, 0,    0x06,
                       0xE0, 0x42, 0xF0, 2,    0x6A, 0, 0,    0,    0,    0};
    Append(stream, Packet(0x100, true, pmt));
    Append(stream, Packet(0x100, true, pmt));  // repeated tables add nothing
    SCAN_PROGRAM_RECORD records[4];
    uint32_t count = 0;
    ScanPrograms(stream.data(), int32_t(stream.size()), 4, records, &count, nullptr, nullptr);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(records[0].audio, (kKindMpeg2Audio << 16) | 0x41);
    EXPECT_EQ(records[1].audio, (kKindAc3 << 16) | 0x42);
    EXPECT_EQ(records[1].minorNumber, records[0].minorNumber + 1);
    EXPECT_EQ(records[1].video, records[0].video);
    EXPECT_EQ(records[0].programNumber, 7u);
}

TEST(TsAnalysisTest, BadLengthsAndShortBuffers) {
    SCAN_PROGRAM_RECORD records[4];
    uint32_t count = 7;
    EXPECT_EQ(ScanPrograms(nullptr, 188, 4, records, &count, nullptr, nullptr), 0);
    EXPECT_EQ(count, 0u);
    const Bytes tiny = {0x47, 0x00};
    EXPECT_EQ(ScanPrograms(tiny.data(), 2, 4, records, &count, nullptr, nullptr), 1);
    EXPECT_EQ(count, 0u);
    // A section length beyond the collection buffer, and one that claims
    // more programs than the section holds.
    Bytes stream;
    Append(stream, Packet(0x1FFF, false, {}));
    Append(stream, Packet(0, true, {0, 0x00, 0xBF, 0xFF, 0, 1}));
    Append(stream, Packet(0, true, {0, 0x00, 0xB0, 9, 0, 1, 0xC1, 0, 0, 0, 1, 0xE1}));
    TraceCapture trace;
    EXPECT_EQ(
        ScanPrograms(stream.data(), int32_t(stream.size()), 4, records, &count, nullptr, nullptr),
        1);
    EXPECT_NE(trace.Text().find("Error: buffer overflow! PID=0x00, Table packet"),
              std::string::npos);
}

TEST(TsAnalysisTest, SyncSearch) {
    Bytes buffer(188 * 20, 0);
    for (size_t i = 5; i < buffer.size(); i += 188)
        buffer[i] = 0x47;
    EXPECT_EQ(FindTsSyncOffset(buffer.data(), int32_t(buffer.size())), 5);
    const Bytes shortBuffer(100, 0);  // only the bytes at hand are read
    EXPECT_EQ(FindTsSyncOffset(shortBuffer.data(), 100), 188);
    EXPECT_EQ(FindTsSyncOffset(buffer.data(), 100), 5);
    buffer[5 + 188 * 3] = 0x72;
    EXPECT_EQ(FindTsSyncOffset(buffer.data(), int32_t(buffer.size())), 5);
    buffer[5 + 188 * 4] = 0x10;
    EXPECT_EQ(FindTsSyncOffset(buffer.data(), int32_t(buffer.size())), 188);

    TempDir dir;
    const std::string path = dir.File("s.ts");
    Bytes file(1000, 0);
    file[100] = 0x47;  // a short file: the search reads what there is
    file[288] = 0x47;
    file[476] = 0x47;
    file[664] = 0x47;
    file[852] = 0x47;
    WriteWholeFile(path, file);
    CBufferedFile* in = CBufferedFile::Open(path.c_str(), "rb", 4096, 0, 0, nullptr);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(SeekToTsSync(in), 100);
    EXPECT_EQ(CBufferedFile::Tell(in), 100);
    CBufferedFile::Close(in);
    WriteWholeFile(path, Bytes(500, 0));
    in = CBufferedFile::Open(path.c_str(), "rb", 4096, 0, 0, nullptr);
    EXPECT_EQ(SeekToTsSync(in), 0);
    EXPECT_EQ(CBufferedFile::Tell(in), 0);
    CBufferedFile::Close(in);
}

TEST(TsAnalysisTest, WeightedRateAndPidTable) {
    PID_RATE_LIST rates;
    EXPECT_EQ(UpdatePidBitRate(0x100, &rates, 100), 100);
    EXPECT_EQ(UpdatePidBitRate(0x100, &rates, 50), 83);
    EXPECT_EQ(UpdatePidBitRate(0x200, &rates, 7), 7);
    FreePidRateLists(&rates);
    EXPECT_TRUE(rates.empty());

    auto table = std::make_unique<PID_TABLE>();
    std::memset(table.get(), 0, sizeof(PID_TABLE));
    for (uint32_t pid = 0; pid < 100; ++pid)
        ASSERT_NE(PidTableAdd(table.get(), pid), nullptr);
    EXPECT_EQ(PidTableAdd(table.get(), 500), nullptr);  // full
    EXPECT_EQ(PidTableAdd(table.get(), 42)->pid, 42u);
    EXPECT_EQ(PidTableAdd(table.get(), 42)->mark, -1);
    table->entries[60].streamKind = kKindAac;
    EXPECT_EQ(PidTableFindByKind(table.get(), kKindAac), &table->entries[60]);
    EXPECT_EQ(PidTableFind(table.get(), 1000), nullptr);
}

TEST(TsAnalysisTest, PesHeaderDescriptorAndTrace) {
    TraceCapture trace;
    // Stream 0xE0 with PTS 90000 and DTS 86400, then payload byte 0xAB.
    Bytes pes = {0x00, 0x20, 0x84, 0xC0, 10,   0x31, 0x00, 0x05,
                 0xBF, 0x21, 0x11, 0x00, 0x05, 0xA3, 0x01, 0xAB};
    InitBitStream(pes.data(), uint32_t(pes.size()), 0);
    EXPECT_EQ(ReadPesHeader(0xE0), 0x20u);
    EXPECT_EQ(GetBits(8), 0xABu);
    EXPECT_NE(trace.Text().find("\tPES_packet, stream_id=e0, PES_packet_length=32\n"),
              std::string::npos);
    EXPECT_NE(trace.Text().find("\t\tPTS=000015F90, 1.0000\n"), std::string::npos);
    EXPECT_NE(trace.Text().find("\t\tDTS=000015180, 0.9600\n"), std::string::npos);

    Bytes descriptors = {0x0A, 4, 'e', 'n', 'g', 0, 0x81, 4, 0x08, 0x3C, 0x05, 0x0F, 0x5A};
    InitBitStream(descriptors.data(), uint32_t(descriptors.size()), 0);
    EXPECT_EQ(SkipDescriptor(), 4u);
    EXPECT_EQ(SkipDescriptor(), 4u);
    EXPECT_EQ(GetBits(8), 0x5Au);

    // The trace output is bounded whatever the arguments.
    const std::string longText(5000, 'x');
    DebugPrintf("%s", longText.c_str());
    EXPECT_LT(trace.Text().size(), 6000u);
}

TEST(TsAnalysisTest, DumpTsFilePrintsTheStructure) {
    TraceCapture trace;
    DumpTsFile(FixturePath("ts3_mux.ts").c_str());
    const std::string& text = trace.Text();
    EXPECT_NE(text.find("file: "), std::string::npos);
    EXPECT_NE(text.find("program_clock_reference_base = "), std::string::npos);
    EXPECT_NE(text.find("stream_type=0x02, elementary_PID=0x100"), std::string::npos);
    EXPECT_NE(text.find("sequence: 352x288"), std::string::npos);
    EXPECT_NE(text.find("AC-3 sync word found"), std::string::npos);
    EXPECT_NE(text.find("time_fileinfo_taken="), std::string::npos);

    TraceCapture missing;
    DumpTsFile("/nonexistent/file.ts");
    EXPECT_NE(missing.Text().find("Couldn't open source file /nonexistent/file.ts!\n"),
              std::string::npos);
}

}  // namespace
}  // namespace velmora::record

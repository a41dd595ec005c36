// The PSI/SI section library: CRC, section assembly and extraction, and the
// table parsers over the ffmpeg fixture, the simulated card's built-in
// stream and hand-built sections.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "PsiTestSupport.h"
#include "sim/SimTsGenerator.h"
#include "ts/DvbText.h"

namespace velmora::psitest {
namespace {

using ts::CPsiSiParser;

TEST(Crc32MpegTest, CheckValueAndIntactSections) {
    const char* check = "123456789";
    EXPECT_EQ(ts::Crc32Mpeg(reinterpret_cast<const uint8_t*>(check), 9), 0x0376E6E7u);
    EXPECT_EQ(ts::Crc32Mpeg(nullptr, 0), 0xFFFFFFFFu);
    for (uint16_t id = 0; id < 50; ++id) {
        const Bytes s = SectionBuilder(0x00, id).U16(id).U16(0xE000 | id).Finish();
        EXPECT_EQ(ts::Crc32Mpeg(s.data(), uint32_t(s.size())), 0u);
        // Agrees with the simulated card's own routine.
        EXPECT_EQ(ts::Crc32Mpeg(s.data(), uint32_t(s.size() - 4)),
                  sim::SimTsGenerator::Crc32(s.data(), s.size() - 4));
    }
}

// Runs a stream through the parser the way the program engine does: PAT,
// SDT and NIT PIDs open from the start, each PMT PID once the PAT names it.
struct TableCollector {
    std::unique_ptr<CPsiSiParser> parser = std::make_unique<CPsiSiParser>();
    ts::PAT_INFORMATION pat{};
    ts::SDT_INFORMATION sdt{};
    std::unique_ptr<NIT_INFORMATION> nit = std::make_unique<NIT_INFORMATION>();
    std::map<uint16_t, ts::PMT_INFORMATION> pmts;  // by program number
    int patChanges = 0;

    TableCollector() {
        std::memset(&pat, 0xFF, sizeof(pat));
        std::memset(&sdt, 0xFF, sizeof(sdt));
        OpenAll(*parser, 0x00);
        OpenAll(*parser, 0x10);
        OpenAll(*parser, 0x11);
    }

    void Push(const uint8_t* packet) {
        if (parser->PushPacket(packet) != 1) return;
        const uint16_t pid = ((packet[1] & 0x1F) << 8) | packet[2];
        uint8_t section[ts::kMaxSectionSize];
        while (parser->GetSection(section, sizeof(section), pid) == 1)
            Parse(pid, section);
    }

    void Parse(uint16_t pid, const uint8_t* section) {
        if (pid == 0x00 && parser->ParsePat(&pat, section) == 1) {
            ++patChanges;
            for (uint32_t i = 0; i < pat.byProgramCount; ++i) {
                const auto& p = pat.Program[i];
                if (p.wProgramNumber == 0 || pmts.count(p.wProgramNumber)) continue;
                ts::PMT_INFORMATION pmt{};
                pmt.wPmtPid = p.wPid;
                pmt.wProgramNumber = p.wProgramNumber;
                pmt.byVersion = 255;
                pmts[p.wProgramNumber] = pmt;
                OpenAll(*parser, p.wPid);
            }
        } else if (pid == 0x11) {
            parser->ParseSdt(&sdt, section);
        } else if (pid == 0x10) {
            parser->ParseNit(nit.get(), section);
        } else {
            for (auto& [number, pmt] : pmts) {
                if (pmt.wPmtPid == pid) parser->ParsePmt(&pmt, section);
            }
        }
    }
};

TEST(PsiSiParserStreamTest, FfmpegFixtureGivesItsPrograms) {
    const Bytes ts = ReadFile(DataPath("psi_three_programs.ts"));
    ASSERT_GT(ts.size(), 100u * 188) << "fixture missing";
    TableCollector c;
    for (size_t pos = 0; pos + 188 <= ts.size(); pos += 188)
        c.Push(&ts[pos]);

    EXPECT_EQ(c.patChanges, 1);
    EXPECT_EQ(c.pat.wTransportStreamId, 0x2A);
    ASSERT_EQ(c.pat.byProgramCount, 3);
    const uint16_t numbers[3] = {101, 202, 303};
    const char* names[3] = {"Psi Fixture One", "Psi Fixture Two", "Psi Fixture Three"};
    const char* providers[3] = {"Velmora Lab", "Velmora Lab", "Other Provider"};
    ASSERT_EQ(c.sdt.byServiceCount, 3);
    EXPECT_EQ(c.sdt.wTransportStreamId, 0x2A);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c.pat.Program[i].wProgramNumber, numbers[i]);
        EXPECT_EQ(c.pat.Program[i].wPid, 0x200 + i);
        const ts::PMT_INFORMATION& pmt = c.pmts[numbers[i]];
        const uint16_t video = static_cast<uint16_t>(0x300 + 3 * i);
        EXPECT_EQ(pmt.wPcrPid, video);
        ASSERT_EQ(pmt.byStreamCount, 3);
        EXPECT_EQ(pmt.byCaCount, 0);
        const uint8_t types[3] = {0x02, 0x03, 0x81};  // MPEG-2 video, MP2, AC-3
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(pmt.Stream[k].byStreamType, types[k]);
            EXPECT_EQ(pmt.Stream[k].wElementaryPid, video + k);
        }
        EXPECT_EQ(c.sdt.Service[i].wServiceId, numbers[i]);
        EXPECT_EQ(c.sdt.Service[i].byServiceType, 1);
        EXPECT_STREQ(c.sdt.Service[i].szServiceName, names[i]);
        EXPECT_STREQ(c.sdt.Service[i].szProviderName, providers[i]);
    }
}

TEST(PsiSiParserStreamTest, SimulatedCardStreamGivesItsPrograms) {
    using Gen = sim::SimTsGenerator;
    TableCollector c;
    uint8_t packet[Gen::kPacketSize];
    for (uint64_t n = 0; n < Gen::kPacketsPerFrame * Gen::kNitEveryFrames + 10; ++n) {
        Gen::Packet(n, packet);
        c.Push(packet);
    }
    EXPECT_EQ(c.pat.wTransportStreamId, Gen::kTransportStreamId);
    ASSERT_EQ(c.pat.byProgramCount, 4);  // the network PID first
    EXPECT_EQ(c.pat.Program[0].wProgramNumber, 0);
    EXPECT_EQ(c.pat.Program[0].wPid, Gen::kNitPid);
    ASSERT_EQ(c.sdt.byServiceCount, Gen::kPrograms);
    EXPECT_EQ(c.sdt.wOriginalNetworkId, Gen::kNetworkId);
    for (unsigned i = 0; i < Gen::kPrograms; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c.pat.Program[i + 1].wProgramNumber, Gen::ProgramNumber(i));
        EXPECT_EQ(c.pat.Program[i + 1].wPid, Gen::PmtPid(i));
        const ts::PMT_INFORMATION& pmt = c.pmts[Gen::ProgramNumber(i)];
        EXPECT_EQ(pmt.wPcrPid, Gen::VideoPid(i));
        ASSERT_EQ(pmt.byStreamCount, 2);
        EXPECT_EQ(pmt.Stream[0].byStreamType, 0x02);
        EXPECT_EQ(pmt.Stream[0].wElementaryPid, Gen::VideoPid(i));
        EXPECT_EQ(pmt.Stream[1].byStreamType, 0x03);
        EXPECT_EQ(pmt.Stream[1].wElementaryPid, Gen::AudioPid(i));
        EXPECT_EQ(c.sdt.Service[i].wServiceId, Gen::ProgramNumber(i));
        EXPECT_EQ(std::string(c.sdt.Service[i].szServiceName),
                  "Velmora Sim " + std::to_string(i + 1));
        EXPECT_STREQ(c.sdt.Service[i].szProviderName, "Velmora");
    }
    // The network carries no cable delivery, so no stream is counted.
    EXPECT_EQ(c.nit->wNetworkId, Gen::kNetworkId);
    EXPECT_EQ(c.nit->byTransportStreamCount, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.nit->byNetworkName)),
              "Velmora Sim Network");
}

// A NIT section with the given transport streams, each (tsid, BCD frequency
// bytes, modulation, BCD symbol rate bytes, services).
struct NitStream {
    uint16_t tsid;
    Bytes frequency;  // 4 BCD bytes, empty for none
    uint8_t modulation;
    Bytes symbolRate;  // 4 bytes: 7 BCD digits and FEC_inner
    std::vector<std::pair<uint16_t, uint8_t>> services;
};

Bytes NitSection(const std::vector<NitStream>& streams, uint8_t version = 1, uint8_t number = 0,
                 uint8_t last = 0, const std::string& name = "Net") {
    SectionBuilder s(0x40, 0x3001, version, number, last);
    const size_t network = s.Size();
    s.U16(0).U8(0x40).U8(uint8_t(name.size())).Text(name).PatchLength(network);
    const size_t loop = s.Size();
    s.U16(0);
    for (const NitStream& t : streams) {
        s.U16(t.tsid).U16(0x2002);
        const size_t descriptors = s.Size();
        s.U16(0);
        if (!t.frequency.empty()) {
            s.U8(0x44).U8(11).Raw(t.frequency).U16(0xFFF2).U8(t.modulation).Raw(t.symbolRate);
        }
        if (!t.services.empty()) {
            s.U8(0x41).U8(uint8_t(3 * t.services.size()));
            for (auto [id, type] : t.services)
                s.U16(id).U8(type);
        }
        s.PatchLength(descriptors);
    }
    s.PatchLength(loop);
    return s.Finish();
}

TEST(PsiSiParserTableTest, NitCableDeliveryServicesAndOverflow) {
    CPsiSiParser parser;
    auto nit = std::make_unique<NIT_INFORMATION>();
    std::memset(nit.get(), 0, sizeof(*nit));
    // 0312.0004 MHz rounds down, 0474.0005 MHz up; 6.8744 / 6.9005 Msymbol/s
    // likewise; modulation 3 kept, 7 stored as 3, 5 kept.
    const std::vector<NitStream> streams = {
        {0x11, {0x03, 0x12, 0x00, 0x04}, 5, {0x00, 0x68, 0x74, 0x43}, {{1, 1}, {2, 2}}},
        {0x12, {}, 0, {}, {{9, 1}}},  // no frequency: overwritten by the next one
        {0x13, {0x04, 0x74, 0x00, 0x05}, 7, {0x00, 0x69, 0x00, 0x55}, {}},
    };
    ASSERT_EQ(parser.ParseNit(nit.get(), NitSection(streams).data()), 1);
    EXPECT_EQ(nit->wNetworkId, 0x3001);
    EXPECT_EQ(nit->byVersion, 1);
    ASSERT_EQ(nit->byTransportStreamCount, 2);
    EXPECT_STREQ(reinterpret_cast<const char*>(nit->byNetworkName), "Net");
    const NIT_TRANSPORT_STREAM& a = nit->TransportStream[0];
    EXPECT_EQ(a.wTransportStreamId, 0x11);
    EXPECT_EQ(a.wOriginalNetworkId, 0x2002);
    EXPECT_EQ(a.dwFrequencyKhz, 312000u);
    EXPECT_EQ(a.dwSymbolRateKsps, 6874u);
    EXPECT_EQ(a.dwModulation, 5u);
    EXPECT_EQ(a.wFecOuter, 2);
    EXPECT_EQ(a.wFecInner, 3);
    ASSERT_EQ(a.dwServiceCount, 2u);
    EXPECT_EQ(a.Service[1].dwServiceId, 2u);
    EXPECT_EQ(a.Service[1].wServiceType, 2);
    const NIT_TRANSPORT_STREAM& b = nit->TransportStream[1];
    EXPECT_EQ(b.wTransportStreamId, 0x13);
    EXPECT_EQ(b.dwFrequencyKhz, 474001u);
    EXPECT_EQ(b.dwSymbolRateKsps, 6901u);
    EXPECT_EQ(b.dwModulation, 3u);
    EXPECT_EQ(b.dwServiceCount, 0u);  // the overwritten entry left nothing behind
    EXPECT_EQ(parser.ParseNit(nit.get(), NitSection(streams).data()), -1);  // a repeat

    // 129 counted streams over four sections of version 2: -1, record as it was.
    const auto before = std::make_unique<NIT_INFORMATION>(*nit);
    int result = 0;
    for (uint8_t number = 0; number < 4; ++number) {
        std::vector<NitStream> part;
        for (int k = 0; k < (number == 3 ? 33 : 32); ++k) {
            part.push_back({uint16_t(number * 64 + k),
                            {0x01, 0x00, 0x00, 0x00},
                            1,
                            {0x00, 0x10, 0x00, 0x01},
                            {}});
        }
        result = parser.ParseNit(nit.get(), NitSection(part, 2, number, 3).data());
        if (number < 3) {
            EXPECT_EQ(result, 0);
        }
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(std::memcmp(nit.get(), before.get(), sizeof(NIT_INFORMATION)), 0);
}

TEST(PsiSiParserTableTest, PatListsRepeatsAndVersions) {
    CPsiSiParser parser;
    ts::PAT_INFORMATION pat;
    std::memset(&pat, 0xFF, sizeof(pat));
    const Bytes s1 = SectionBuilder(0, 7, 3, 1, 1).U16(2).U16(0xE200).Finish();
    const Bytes s0 = SectionBuilder(0, 7, 3, 0, 1).U16(1).U16(0xE100).Finish();
    EXPECT_EQ(parser.ParsePat(&pat, s1.data()), 0);  // section 0 still missing
    EXPECT_EQ(parser.ParsePat(&pat, s0.data()), 1);
    ASSERT_EQ(pat.byProgramCount, 2);
    EXPECT_EQ(pat.Program[0].wPid, 0x100);
    EXPECT_EQ(pat.Program[1].wPid, 0x200);
    EXPECT_EQ(parser.ParsePat(&pat, s0.data()), -1);  // identical repeat
    // A new version replaces the whole list.
    const Bytes v4 = SectionBuilder(0, 7, 4).U16(5).U16(0xE500).Finish();
    EXPECT_EQ(parser.ParsePat(&pat, v4.data()), 1);
    EXPECT_EQ(pat.byVersion, 4);
    ASSERT_EQ(pat.byProgramCount, 1);
    EXPECT_EQ(pat.Program[0].wProgramNumber, 5);
    // Header refusals.
    Bytes bad = v4;
    bad[0] = 0x02;
    EXPECT_EQ(parser.ParsePat(&pat, bad.data()), -5);
    bad = v4;
    bad[5] &= 0xFE;
    EXPECT_EQ(parser.ParsePat(&pat, bad.data()), -6);
    bad = v4;
    bad[1] &= 0x7F;
    EXPECT_EQ(parser.ParsePat(&pat, bad.data()), -7);
    EXPECT_EQ(parser.ParsePat(nullptr, v4.data()), -2);
    EXPECT_EQ(parser.ParsePat(&pat, nullptr), -3);
}

TEST(PsiSiParserTableTest, PmtKeepsProgramAndStreamCaPairsAndCat) {
    CPsiSiParser parser;
    ts::PMT_INFORMATION pmt{};
    pmt.wPmtPid = 0x100;
    pmt.wProgramNumber = 9;
    pmt.byVersion = 255;
    SectionBuilder s(0x02, 9, 1);
    s.U16(0xE101);
    const size_t info = s.Size();
    s.U16(0).U8(0x09).U8(4).U16(0x0B00).U16(0xE050).PatchLength(info);
    s.U8(0x02).U16(0xE101);
    const size_t es = s.Size();
    s.U16(0).U8(0x09).U8(4).U16(0x0B01).U16(0xE051).U8(0x0A).U8(4).Text("eng").U8(0);
    s.PatchLength(es);
    s.U8(0x04).U16(0xE102).U16(0xF000);
    const Bytes section = s.Finish();
    ASSERT_EQ(parser.ParsePmt(&pmt, section.data()), 1);
    EXPECT_EQ(pmt.wPcrPid, 0x101);
    ASSERT_EQ(pmt.byCaCount, 2);
    EXPECT_EQ(pmt.Ca[0].wCaSystemId, 0x0B00);
    EXPECT_EQ(pmt.Ca[0].wCaPid, 0x50);
    EXPECT_EQ(pmt.Ca[1].wCaPid, 0x51);
    ASSERT_EQ(pmt.byStreamCount, 2);
    EXPECT_EQ(pmt.Stream[1].byStreamType, 0x04);
    EXPECT_EQ(parser.ParsePmt(&pmt, section.data()), 0);  // same bytes
    ts::PMT_INFORMATION other = pmt;
    other.wProgramNumber = 10;
    EXPECT_EQ(parser.ParsePmt(&other, section.data()), -9);

    ts::CAT_INFORMATION cat{};
    cat.byVersion = 255;
    const Bytes c = SectionBuilder(0x01, 0xFFFF, 2).U8(0x09).U8(4).U16(0x0100).U16(0xE070).Finish();
    EXPECT_EQ(parser.ParseCat(&cat, c.data()), 1);
    ASSERT_EQ(cat.byCaCount, 1);
    EXPECT_EQ(cat.Ca[0].wCaPid, 0x70);
    EXPECT_EQ(parser.ParseCat(&cat, c.data()), 0);
}

// A service whose names overrun its descriptor keeps no names; the next
// service is read as it stands.
TEST(PsiSiParserTableTest, SdtNamesAreBoundedByTheirDescriptor) {
    CPsiSiParser parser;
    ts::SDT_INFORMATION sdt;
    std::memset(&sdt, 0xFF, sizeof(sdt));
    SectionBuilder s(0x42, 1, 0);
    s.U16(0x77).U8(0xFF);
    s.U16(1).U8(0xFC);
    size_t loop = s.Size();
    s.U16(0).U8(0x48).U8(6).U8(1).U8(2).Text("AB").U8(40).Text("C");  // name overruns
    s.PatchLength(loop, 0x80);
    s.U16(2).U8(0xFD);
    loop = s.Size();
    s.U16(0).U8(0x48).U8(8).U8(2).U8(2).Text("PQ").U8(3).U8(0x13).Text("XY");
    s.PatchLength(loop, 0x90);
    // A provider name longer than its field keeps 31 bytes.
    const std::string longProvider(40, 'p');
    s.U16(3).U8(0xFD);
    loop = s.Size();
    s.U16(0).U8(0x48).U8(44).U8(1).U8(40).Text(longProvider).U8(1).Text("N");
    s.PatchLength(loop, 0x80);
    ASSERT_EQ(parser.ParseSdt(&sdt, s.Finish().data()), 1);
    ASSERT_EQ(sdt.byServiceCount, 3);
    EXPECT_EQ(std::string(sdt.Service[2].szProviderName), longProvider.substr(0, 31));
    EXPECT_EQ(sdt.wOriginalNetworkId, 0x77);
    EXPECT_STREQ(sdt.Service[0].szServiceName, "");
    EXPECT_EQ(sdt.Service[0].byRunningStatus, 4);
    EXPECT_EQ(sdt.Service[1].byServiceType, 2);
    EXPECT_STREQ(sdt.Service[1].szProviderName, "PQ");
    // The GB-2312 selector stays: the name is decoded by it.
    EXPECT_STREQ(sdt.Service[1].szServiceName, "\x13XY");
    EXPECT_EQ(sdt.Service[1].byEitPresentFollowingFlag, 1);
    EXPECT_EQ(sdt.Service[1].byFreeCaMode, 1);
}

TEST(PsiSiParserTableTest, EitEventsAndElementaryStreamHeaders) {
    CPsiSiParser parser;
    auto eit = std::make_unique<ts::EIT_INFORMATION>();
    std::memset(eit.get(), 0, sizeof(*eit));
    eit->wServiceId = 0xFFFF;  // the highest service id has its place in the stores
    eit->byPresentFollowingVersion = 255;
    SectionBuilder s(0x4E, 0xFFFF, 1);
    s.U16(0x0044).U16(0x0055).U8(0).U8(0x4E);
    // 13 October 1993 (MJD 49273) 12:45:00, lasting 01:45:30.
    s.U16(0x1234).U16(0xC079).U8(0x12).U8(0x45).U8(0x00).U8(0x01).U8(0x45).U8(0x30);
    const size_t loop = s.Size();
    s.U16(0).U8(0x4D).U8(15).Text("eng").U8(4).Text("News").U8(6).U8(0x13).Text("Today");
    s.PatchLength(loop, 0x80);
    const Bytes section = s.Finish();
    ASSERT_EQ(parser.ParseEit(eit.get(), section.data()), 1);
    EXPECT_EQ(parser.ParseEit(eit.get(), section.data()), 0);
    EXPECT_EQ(eit->byPresentFollowingVersion, 1);
    EXPECT_EQ(eit->wTransportStreamId, 0x44);
    ASSERT_EQ(eit->byPresentFollowingEventCount, 1);
    const ts::EIT_EVENT& e = eit->Event[0][0];
    EXPECT_EQ(e.wEventId, 0x1234);
    EXPECT_EQ(e.wYear, 1993);
    EXPECT_EQ(e.wMonth, 10);
    EXPECT_EQ(e.wDay, 13);
    EXPECT_EQ(e.wHour, 0x12);
    EXPECT_EQ(e.wDurationMinutes, 45);
    EXPECT_EQ(e.wDurationSeconds, 30);
    EXPECT_EQ(e.byRunningStatus, 4);
    EXPECT_STREQ(e.szLanguage, "eng");
    EXPECT_STREQ(e.szEventName, "News");
    EXPECT_STREQ(e.szEventText, "Today");
    Bytes other = section;
    other[0] = 0x4F;
    EXPECT_EQ(parser.ParseEit(eit.get(), other.data()), -1);
    eit->wServiceId = 1;
    EXPECT_EQ(parser.ParseEit(eit.get(), section.data()), -8);

    // An MPEG-2 sequence header with its extension, and an MPEG audio frame.
    Bytes video = {0, 0, 1, 0xE0, 0,    0,    0x80, 0,    0,  // PES header
                   0, 0, 1, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0x24, 0x9F, 0x20, 0, 0,
                   0, 0, 0, 0,    1,    0xB5, 0x14, 0x8A, 0,    0,    0,    0};
    ts::VIDEO_SEQUENCE_INFO v{};
    v.wPid = 0x100;
    ASSERT_EQ(parser.ParseVideoSequenceHeader(Packet(0x100, true, 0, video).data(), &v), 1);
    EXPECT_EQ(v.dwHorizontalSize, 720u);
    EXPECT_EQ(v.dwVerticalSize, 576u);
    EXPECT_EQ(v.dFrameRate, 25.0);
    EXPECT_EQ(v.dwBitRate, 15'000'000u);
    EXPECT_EQ(v.byProfile, 4);
    EXPECT_EQ(v.byLevel, 8);
    EXPECT_EQ(v.byChromaFormat, 1);
    EXPECT_EQ(parser.ParseVideoSequenceHeader(Packet(0x101, true, 0, video).data(), &v), -3);
    EXPECT_EQ(parser.ParseVideoSequenceHeader(Packet(0x100, false, 0, video).data(), &v), -1);
    video.resize(28);
    EXPECT_EQ(parser.ParseVideoSequenceHeader(Packet(0x100, true, 0, video).data(), &v), -6);
    const Bytes audio = {0, 0, 1, 0xC0, 0, 0, 0x80, 0, 0, 0xFF, 0xFD, 0xC4, 0x04};
    ts::AUDIO_HEADER_INFO a{};
    a.wPid = 0x101;
    ASSERT_EQ(parser.ParseAudioHeader(Packet(0x101, true, 0, audio).data(), &a), 1);
    EXPECT_EQ(a.byLayer, 2);
    EXPECT_EQ(a.dwBitRateKbps, 256u);
    EXPECT_EQ(a.bySamplingFrequencyIndex, 1);
    EXPECT_EQ(parser.ParseAudioHeader(Packet(0x101, true, 0, video).data(), &a), -5);
}

class PsiAssemblyTest : public ::testing::Test {
  protected:
    void SetUp() override { OpenAll(parser, kPid); }
    // Every section the PID now gives.
    std::vector<Bytes> Drain() {
        std::vector<Bytes> out;
        uint8_t buffer[ts::kMaxSectionSize];
        while (parser.GetSection(buffer, sizeof(buffer), kPid) == 1) {
            out.emplace_back(buffer, buffer + 3 + (((buffer[1] & 0x0F) << 8) | buffer[2]));
        }
        return out;
    }
    static Bytes Pat(uint16_t id, size_t programs = 1) {
        SectionBuilder s(0, id);
        for (size_t i = 0; i < programs; ++i)
            s.U16(uint16_t(i + 1)).U16(uint16_t(0xE100 + i));
        return s.Finish();
    }
    static constexpr uint16_t kPid = 0x30;
    CPsiSiParser parser;
};

TEST_F(PsiAssemblyTest, HeaderSplitTwoSectionsStuffingAndCrc) {
    // The first 8 bytes of a section split over two packets.
    const Bytes a = Pat(1, 3);
    Bytes head(184, 0xFF);
    head[0] = 184 - 1 - 5;  // pointer: 5 bytes of the section fit
    std::copy(a.begin(), a.begin() + 5, head.end() - 5);
    Bytes rest(a.begin() + 5, a.end());
    EXPECT_EQ(parser.PushPacket(Packet(kPid, true, 0, head).data()), -1);
    EXPECT_EQ(parser.PushPacket(Packet(kPid, false, 1, rest).data()), 1);
    auto got = Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], a);

    // Two sections ending in one packet, stuffing after them; the second
    // with a broken CRC is never returned.
    Bytes broken = Pat(3);
    broken.back() ^= 1;
    auto packets = Packetize(kPid, {Pat(2), broken}, 2);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(parser.PushPacket(packets[0].data()), 1);
    got = Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Pat(2));

    // A time and date section of 8 bytes passes without a CRC.
    const Bytes tdt = {0x70, 0x70, 0x05, 0xE0, 0x01, 0x12, 0x00, 0x00};
    EXPECT_EQ(parser.PushPacket(Packetize(kPid, {tdt}, 3)[0].data()), 1);
    got = Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], tdt);
}

TEST_F(PsiAssemblyTest, DuplicatesGapsAndAbandonedSectionsLeaveNothingBehind) {
    const Bytes big = Pat(1, 60);  // 252 bytes: two packets
    const Bytes next = Pat(2);
    auto packets = Packetize(kPid, {big});
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(parser.PushPacket(packets[0].data()), 1);
    EXPECT_EQ(parser.PushPacket(packets[0].data()), -1);  // duplicate counter
    // A gap drops the section in progress, and its bytes leave the ring:
    // the next section comes out whole.
    auto later = Packetize(kPid, {next}, 5);
    EXPECT_EQ(parser.PushPacket(later[0].data()), 1);
    auto got = Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], next);

    // A new unit start abandons a section in progress the same way.
    EXPECT_EQ(parser.PushPacket(Packetize(kPid, {big}, 6)[0].data()), 1);
    EXPECT_EQ(parser.PushPacket(Packetize(kPid, {next}, 7)[0].data()), 1);
    got = Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], next);
}

TEST_F(PsiAssemblyTest, SectionEndingInAUnitStartPacketIsKept) {
    const Bytes big = Pat(1, 50);  // 212 bytes
    const Bytes next = Pat(2, 2);
    // First packet: pointer 0, 183 bytes of `big`; second: pointer 29 (the
    // rest of `big`), then `next`.
    Bytes p1 = {0};
    p1.insert(p1.end(), big.begin(), big.begin() + 183);
    Bytes p2 = {uint8_t(big.size() - 183)};
    p2.insert(p2.end(), big.begin() + 183, big.end());
    p2.insert(p2.end(), next.begin(), next.end());
    EXPECT_EQ(parser.PushPacket(Packet(kPid, true, 0, p1).data()), 1);
    EXPECT_EQ(parser.PushPacket(Packet(kPid, true, 1, p2).data()), 1);
    auto got = Drain();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], big);
    EXPECT_EQ(got[1], next);
}

// A refused time section is passed over whole though its body holds the
// ring's record marker and a framing over what follows; a section abandoned
// after the reader looked leaves the ring as it was; a writer and a reader
// on two threads get every completed section exactly once, in order.
TEST_F(PsiAssemblyTest, RefusedAndAbandonedSectionsLoseNothingOnTwoThreads) {
    Bytes tdt = {0x70, 0x70, 37, 0x12, 0x34, 0x56, 0x78, 0x00, 0xB0, 0x60};
    tdt.resize(40, 0x00);
    std::mt19937 rng(24);
    std::vector<Bytes> expected, received;  // `received` is the reader's until joined
    std::atomic<size_t> completed{0}, got{0};
    std::atomic<bool> writing{true};
    uint8_t counter = 0;
    const auto write = [&](const Bytes& section, bool abandon) {
        const auto packets = Packetize(kPid, {section}, counter);
        for (size_t k = 0; k + abandon < packets.size(); ++k)
            parser.PushPacket(packets[k].data());
        counter = uint8_t(counter + packets.size());  // an abandoned one leaves a gap
        if (section[0] != 0x70 && !abandon) {
            expected.push_back(section);
            ++completed;
        }
    };
    write(tdt, false);
    write(Pat(100, 60), true);
    EXPECT_TRUE(Drain().empty());
    for (uint16_t id = 1; id <= 5; ++id)
        write(Pat(id, id), false);
    EXPECT_EQ(Drain(), expected);

    expected.clear();
    completed = 0;
    std::thread reader([&] {
        uint8_t buffer[ts::kMaxSectionSize];
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while ((writing || got < completed) && std::chrono::steady_clock::now() < end) {
            if (parser.GetSection(buffer, sizeof(buffer), kPid) != 1) continue;
            received.emplace_back(buffer, buffer + 3 + (((buffer[1] & 0x0F) << 8) | buffer[2]));
            ++got;
        }
    });
    for (uint16_t id = 0; id < 3000; ++id) {
        while (completed - got > 6)  // the ring holds a few sections
            std::this_thread::yield();
        const uint32_t kind = rng() % 8;
        write(kind == 0 ? tdt : Pat(id, 1 + rng() % 120), kind == 1);
    }
    writing = false;
    reader.join();
    EXPECT_TRUE(received == expected) << received.size() << " of " << expected.size();
}

TEST_F(PsiAssemblyTest, PayloadOutsideThePacketIsRefused) {
    Bytes p = Packetize(kPid, {Pat(1)})[0];
    Bytes af = p;
    af[3] = 0x30;  // adaptation field and payload
    af[4] = 183;   // payload would start at 188
    EXPECT_EQ(parser.PushPacket(af.data()), -3);
    Bytes pointer = p;
    pointer[4] = 184;  // target at 189
    EXPECT_EQ(parser.PushPacket(pointer.data()), -3);
    // A section start of fewer than 3 bytes at the packet's end waits in the
    // header buffer.
    Bytes tail(184, 0xFF);
    tail[0] = 181;
    tail[182] = 0x00;
    tail[183] = 0xB0;
    EXPECT_EQ(parser.PushPacket(Packet(kPid, true, 0, tail).data()), -1);
    const Bytes s = Pat(4);
    EXPECT_EQ(parser.PushPacket(Packet(kPid, false, 1, Bytes(s.begin() + 2, s.end())).data()), 1);
    auto got = Drain();
    Bytes expected = s;
    expected[1] = 0xB0;  // what the first packet carried
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], expected);
}

TEST_F(PsiAssemblyTest, ChannelAndFilterRefusals) {
    ts::SECTION_FILTER f{};
    EXPECT_EQ(parser.OpenPidChannel(8192), -1);
    EXPECT_EQ(parser.OpenPidChannel(kPid), 0);
    EXPECT_EQ(parser.AddSectionFilter(0x31, &f), -2);
    EXPECT_EQ(parser.AddSectionFilter(kPid, &f), -5);  // depth 0
    EXPECT_EQ(parser.ClosePidChannel(0x31), -2);
    for (uint16_t pid = 0x100; pid < 0x100 + 99; ++pid)
        ASSERT_EQ(parser.OpenPidChannel(pid), 1);
    EXPECT_EQ(parser.OpenPidChannel(0x200), -2);
    // A filter that does not match keeps the PAT out.
    ASSERT_EQ(parser.ClosePidChannel(kPid), 1);
    ASSERT_EQ(parser.OpenPidChannel(kPid), 1);
    f.byDepth = 20;  // cut to 8
    f.byValue[0] = 0x02;
    f.byMask[0] = 0xFF;
    ASSERT_EQ(parser.AddSectionFilter(kPid, &f), 1);
    EXPECT_EQ(parser.PushPacket(Packetize(kPid, {Pat(1)})[0].data()), -1);
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(parser.PushPacket(Packetize(0x1FFF, {Pat(1)})[0].data()), 0);
}

// Bit flips, truncations and length fields at their extremes over real
// packets and sections: nothing may read or write outside its buffers.
TEST(PsiSiParserMutationTest, MutatedPacketsAndSectionsAreHandledSafely) {
    const Bytes fixture = ReadFile(DataPath("psi_three_programs.ts"));
    ASSERT_GT(fixture.size(), 188u * 100) << "fixture missing";
    std::mt19937 rng(20261207);
    TableCollector c;
    for (uint16_t pid : {0x200, 0x201, 0x202})
        OpenAll(*c.parser, pid);
    const size_t packets = fixture.size() / 188;
    Bytes packet(204);
    for (int round = 0; round < 150000; ++round) {
        const size_t index = rng() % packets;
        std::memcpy(packet.data(), &fixture[index * 188], 188);
        const int mutations = 1 + int(rng() % 4);
        for (int m = 0; m < mutations; ++m) {
            const uint32_t pos = rng() % 188;
            switch (rng() % 4) {
                case 0:
                    packet[pos] ^= uint8_t(1u << (rng() % 8));
                    break;
                case 1:
                    packet[pos] = 0xFF;
                    break;
                case 2:
                    packet[pos] = 0x00;
                    break;
                default:
                    packet[4] = uint8_t(rng() % 256);
                    break;  // pointer or AF length
            }
        }
        c.Push(packet.data());
    }
    // Sections straight to the parsers: lengths at their extremes, cut short.
    uint8_t buffer[ts::kMaxSectionSize];
    CPsiSiParser& p = *c.parser;
    ts::PMT_INFORMATION pmt{};
    ts::CAT_INFORMATION cat{};
    auto eit = std::make_unique<ts::EIT_INFORMATION>();
    for (int round = 0; round < 50000; ++round) {
        std::memset(buffer, 0xA5, sizeof(buffer));
        const uint8_t tables[] = {0x00, 0x01, 0x02, 0x40, 0x42, 0x4E, 0x50};
        const Bytes base =
            SectionBuilder(tables[rng() % 7], uint16_t(rng() % 4), uint8_t(rng() % 2))
                .U16(uint16_t(rng()))
                .U16(uint16_t(rng()))
                .U16(uint16_t(rng() | 0x0F00))
                .U16(uint16_t(rng()))
                .U16(uint16_t(rng()))
                .Finish();
        std::memcpy(buffer, base.data(), base.size());
        const uint32_t limit = (rng() % 2) ? uint32_t(base.size()) : 1024;
        for (int m = 0; m < 3; ++m) {
            const uint32_t pos = 8 + rng() % (limit - 8);
            buffer[pos] = (rng() % 2) ? 0xFF : uint8_t(rng());
        }
        if (rng() % 4 == 0) {  // section_length anywhere from its least to 4093
            const uint32_t length = (rng() % 2) ? 5 + rng() % 1017 : 4093;
            buffer[1] = uint8_t(0xB0 | (length >> 8));
            buffer[2] = uint8_t(length);
        }
        // A CRC that fits the mutated bytes, so the parsers get past it; the
        // section goes in a buffer of exactly its size.
        const uint32_t total = 3 + (((buffer[1] & 0x0F) << 8) | buffer[2]);
        const uint32_t crc = ts::Crc32Mpeg(buffer, total - 4);
        for (int k = 0; k < 4; ++k)
            buffer[total - 4 + k] = uint8_t(crc >> (24 - 8 * k));
        const Bytes exact(buffer, buffer + total);
        pmt.wPmtPid = uint16_t(rng() % 8);
        pmt.wProgramNumber = uint16_t(rng() % 4);
        eit->wServiceId = pmt.wProgramNumber;
        p.ParsePat(&c.pat, exact.data());
        p.ParsePmt(&pmt, exact.data());
        p.ParseCat(&cat, exact.data());
        p.ParseSdt(&c.sdt, exact.data());
        p.ParseNit(c.nit.get(), exact.data());
        p.ParseEit(eit.get(), exact.data());
    }
    EXPECT_LE(c.sdt.byServiceCount, 60);
    EXPECT_LE(pmt.byStreamCount, 32);
    // Random names under every selector, as the record keeps them (bytes, or
    // UTF-8 of one to four bytes): the UTF-16 ends in zeros within its 16
    // units and keeps every surrogate pair whole.
    for (int round = 0; round < 20000; ++round) {
        char field[ts::SDT_SERVICE::kNameSize] = {};
        const uint32_t length = rng() % sizeof(field);
        for (uint32_t i = 1; i < length;) {
            const uint32_t bytes = 1 + rng() % 4;
            const uint32_t bits = rng();
            field[i++] = static_cast<char>(bytes == 1 ? bits : (0xF00 >> bytes) | (bits & 7));
            for (uint32_t k = 1; k < bytes && i < length; ++k)
                field[i++] = static_cast<char>(0x80 | ((bits >> (3 + 6 * k)) & 0x3F));
        }
        field[0] = static_cast<char>(rng() % 2 ? rng() % 0x20 : rng());
        uint16_t out[17];
        out[16] = 0xA5A5;
        ts::DecodeDvbText(reinterpret_cast<const uint8_t*>(field),
                          ts::DvbTextLength(field, sizeof(field)), out, 16);
        ASSERT_EQ(out[16], 0xA5A5);
        ASSERT_EQ(out[15], 0);
        const std::u16string text(reinterpret_cast<const char16_t*>(out));
        ASSERT_TRUE(std::all_of(out + text.size(), out + 16, [](uint16_t u) { return u == 0; }));
        for (size_t i = 0; i < text.size(); ++i) {
            const int kind = text[i] & 0xFC00;
            ASSERT_NE(kind, 0xDC00) << round;
            if (kind == 0xD800) {
                ASSERT_EQ(i + 1 < text.size() ? text[++i] & 0xFC00 : 0, 0xDC00) << round;
            }
        }
    }
}

}  // namespace
}  // namespace velmora::psitest

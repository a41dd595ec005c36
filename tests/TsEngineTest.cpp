// The transport-stream engines driven directly through their classes: the
// program engine fed from memory (analysis, filter, NIT replacement, section
// writers), the capture engine's checks and files, the playback engine's gap
// word.

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "CardTestSupport.h"
#include "NetTestSupport.h"
#include "PlatformTestSupport.h"
#include "TsEngineTestSupport.h"
#include "platform/Paths.h"
#include "ts/Crc32Mpeg.h"
#include "ts/LockedRingBuffer.h"
#include "ts/TsDemultiplexer.h"
#include "ts/TsMultiplexer.h"
#include "ts/TsProgramEngine.h"

namespace velmora::tstest {
namespace {

using ts::CLockedRingBuffer;
using ts::CTsProgramEngine;

// A program engine over a card ring the test fills with entries and an
// output ring the test drains.
class EngineRig {
  public:
    explicit EngineRig(uint32_t length = 188) : m_length(length) {
        m_card.SetSize(25920, 256);
        m_card.Allocate();
        m_output.SetSize(25920, length);
        m_output.Allocate();
        engine = std::make_unique<CTsProgramEngine>(&m_card, nullptr, &m_output,
                                                    static_cast<uint8_t>(length), 0, nullptr);
    }
    ~EngineRig() { engine->Stop(); }

    // Feeds every packet (as card entries), draining the output meanwhile,
    // until the engine has passed on every whole chunk of them or, with
    // `all`, every packet (the last part-chunk moves once the input stood
    // still a while).
    std::vector<Bytes> Run(const std::vector<Bytes>& in, bool all = false) {
        std::vector<Bytes> out;
        size_t fed = 0;
        WaitFor(
            [&] {
                Feed(in, &fed);
                // Idle before the drain: every whole chunk is out once idle.
                const bool idle = fed == in.size() && engine->IsIdle();
                Drain(&out);
                return idle && (!all || out.size() == in.size());
            },
            "the engine to hand on " + std::to_string(in.size()) + " packets");
        return out;
    }

    // As many packets as the card ring has room for.
    void Feed(const std::vector<Bytes>& in, size_t* fed) {
        uint32_t free = 0;
        uint32_t contiguous = 0;
        m_card.GetFreeCount(&free, &contiguous);
        const size_t n = std::min<size_t>(free, in.size() - *fed);
        if (n == 0) return;
        Bytes entries(n * 256, 0);
        for (size_t i = 0; i < n; ++i) {
            std::memcpy(&entries[i * 256 + 4], in[*fed + i].data(), m_length);
        }
        m_card.Write(entries.data(), static_cast<uint32_t>(entries.size()));
        *fed += n;
    }

    void Drain(std::vector<Bytes>* out) {
        uint32_t fill = 0;
        uint32_t contiguous = 0;
        m_output.GetFillCount(&fill, &contiguous);
        if (fill == 0) return;
        Bytes data(size_t{fill} * m_length);
        m_output.Read(data.data(), static_cast<uint32_t>(data.size()));
        for (uint32_t i = 0; i < fill; ++i) {
            out->emplace_back(data.begin() + i * m_length, data.begin() + (i + 1) * m_length);
        }
    }

    std::unique_ptr<ts::PSI_TABLES_VIEW> Tables() {
        auto view = std::make_unique<ts::PSI_TABLES_VIEW>();
        if (!WaitFor([&] { return engine->GetPsiTables(view.get()) == 1; }, "the PSI tables"))
            return nullptr;
        return view;
    }

    std::unique_ptr<CTsProgramEngine> engine;

  private:
    uint32_t m_length;
    CLockedRingBuffer m_card;
    CLockedRingBuffer m_output;
};

std::vector<Bytes> Cycle(const std::vector<Bytes>& source, size_t count) {
    std::vector<Bytes> out;
    for (size_t i = 0; i < count; ++i)
        out.push_back(source[i % source.size()]);
    return out;
}

uint16_t PmtPidOf(const ts::PSI_TABLES_VIEW& view, uint16_t program) {
    for (uint32_t i = 0; i < view.Pat.byProgramCount; ++i) {
        if (view.Pat.Program[i].wProgramNumber == program) return view.Pat.Program[i].wPid;
    }
    return 0;
}

TEST(TsProgramEngineTest, AnalysesTheBuiltInStreamAndPassesItUnchanged) {
    EngineRig rig;
    ASSERT_EQ(rig.engine->Start(), 1u);
    // Five chunks exactly: once the engine is idle all are out, the last too,
    // without the wait for the input to stand still that a part-chunk has.
    const auto in = GeneratorPackets(0, 1632 * 5);
    const auto out = rig.Run(in);
    // In order, none changed.
    ASSERT_EQ(out.size(), in.size());
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], in[i]) << i;

    const auto view = rig.Tables();
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->bHasSdt);
    EXPECT_EQ(view->Pat.wTransportStreamId, sim::SimTsGenerator::kTransportStreamId);
    // The PAT names the network PID too.
    ASSERT_EQ(view->Pat.byProgramCount, 4u);
    EXPECT_EQ(view->Pat.Program[0].wProgramNumber, 0u);
    for (unsigned i = 0; i < 3; ++i) {
        const ts::PMT_INFORMATION& pmt = view->Pmt[i + 1];
        EXPECT_EQ(pmt.wProgramNumber, sim::SimTsGenerator::ProgramNumber(i));
        EXPECT_EQ(pmt.wPcrPid, sim::SimTsGenerator::VideoPid(i));
        ASSERT_EQ(pmt.byStreamCount, 2u);
        EXPECT_EQ(pmt.Stream[0].wElementaryPid, sim::SimTsGenerator::VideoPid(i));
        EXPECT_EQ(pmt.Stream[1].wElementaryPid, sim::SimTsGenerator::AudioPid(i));
    }
    auto nit = std::make_unique<NIT_INFORMATION>();
    ASSERT_EQ(rig.engine->GetAnalysedNit(nit.get()), 1u);
    EXPECT_EQ(nit->wNetworkId, sim::SimTsGenerator::kNetworkId);
    ts::TS_ENGINE_STATISTICS statistics;
    EXPECT_EQ(rig.engine->GetStreamStatistics(&statistics)->dwPacketLength, 188u);
    EXPECT_EQ(rig.engine->SkippedChunks(), 0u);
}

TEST(TsProgramEngineTest, AStreamChangeRestartsTheAnalysisOnce) {
    EngineRig rig;
    ASSERT_EQ(rig.engine->Start(), 1u);
    rig.Run(GeneratorPackets(0, 5000));
    ASSERT_TRUE(rig.Tables());
    // The fixture has another transport_stream_id: the tables follow it.
    rig.Run(Cycle(FixturePackets(), 8000));
    auto view = std::make_unique<ts::PSI_TABLES_VIEW>();
    ASSERT_TRUE(WaitFor([&] {
        return rig.engine->GetPsiTables(view.get()) == 1 && view->Pat.wTransportStreamId == 0x2A;
    }));
    EXPECT_EQ(view->Pat.byProgramCount, 3u);
    EXPECT_EQ(view->Pmt[1].wProgramNumber, 202u);
}

// The filtered output of `in` after `program` was removed, checked against
// the kept programs.
void CheckProgramRemoved(const std::vector<Bytes>& source, uint16_t program) {
    EngineRig rig;
    ASSERT_EQ(rig.engine->Start(), 1u);
    // Every packet out, the last part-chunk too: left in the input, it moves
    // once the input has stood still, unfiltered if that comes before the
    // filter is set, and the next run would read it.
    rig.Run(Cycle(source, 9000), true);
    const auto view = rig.Tables();
    ASSERT_TRUE(view);
    const uint16_t pmtPid = PmtPidOf(*view, program);
    ASSERT_NE(pmtPid, 0);
    std::vector<uint16_t> removedPids = {pmtPid};
    std::vector<uint16_t> keptPrograms;
    for (uint32_t i = 0; i < view->Pat.byProgramCount; ++i) {
        const ts::PMT_INFORMATION& pmt = view->Pmt[i];
        if (pmt.wPmtPid == pmtPid) {
            for (uint32_t s = 0; s < pmt.byStreamCount; ++s) {
                removedPids.push_back(pmt.Stream[s].wElementaryPid);
            }
        } else if (view->Pat.Program[i].wProgramNumber != 0) {
            keptPrograms.push_back(view->Pat.Program[i].wProgramNumber);
        }
    }
    const FILTERED_PROGRAM list[] = {1, 0, pmtPid, 0};
    rig.engine->SetFilteredProgram(1, list);
    // A second filter while one is on changes nothing.
    const FILTERED_PROGRAM other[] = {1, 0, PmtPidOf(*view, keptPrograms[0]), 0};
    rig.engine->SetFilteredProgram(1, other);
    const auto out = rig.Run(Cycle(source, 12000));
    ASSERT_GT(out.size(), 6000u);
    for (const Bytes& p : out) {
        const uint16_t pid = Pid(p.data());
        for (uint16_t removed : removedPids)
            ASSERT_NE(pid, removed);
        ASSERT_NE(pid, 0x12);
        ASSERT_NE(pid, 0x14);
    }
    const Sections pat = CollectSections(out, 0);
    ASSERT_FALSE(pat.all.empty());
    EXPECT_EQ(pat.crcOk, pat.all.size());
    for (const Bytes& s : pat.all) {
        std::vector<uint16_t> numbers;
        for (const auto& [number, pid] : PatPrograms(s)) {
            if (number != 0) numbers.push_back(number);
        }
        EXPECT_EQ(numbers, keptPrograms);
    }
    const Sections sdt = CollectSections(out, 0x11);
    ASSERT_FALSE(sdt.all.empty());
    EXPECT_EQ(sdt.crcOk, sdt.all.size());
    for (const Bytes& s : sdt.all) {
        const auto services = SdtServices(s);
        EXPECT_EQ(services.size(), keptPrograms.size());
        EXPECT_EQ(services.count(program), 0u);
    }
}

TEST(TsProgramEngineTest, RemovingProgramTwoOfTheBuiltInStream) {
    CheckProgramRemoved(GeneratorPackets(0, 13500), 2);
}

TEST(TsProgramEngineTest, RemovingProgramTwoOfTheFixture) {
    CheckProgramRemoved(FixturePackets(), 202);
}

NIT_INFORMATION* TestNit() {
    static auto nit = [] {
        auto block = std::make_unique<NIT_INFORMATION>();
        std::memset(block.get(), 0, sizeof(NIT_INFORMATION));
        block->wNetworkId = 0x1234;
        block->byVersion = 3;
        std::strcpy(reinterpret_cast<char*>(block->byNetworkName), "Velmora Net");
        block->byTransportStreamCount = 1;
        NIT_TRANSPORT_STREAM& ts = block->TransportStream[0];
        ts.wTransportStreamId = 7;
        ts.wOriginalNetworkId = 0x1234;
        ts.dwFrequencyKhz = 474000;
        ts.dwSymbolRateKsps = 6900;
        ts.dwModulation = 3;
        ts.wFecOuter = 2;
        ts.wFecInner = 5;
        ts.dwServiceCount = 2;
        ts.Service[0] = {1, 1, {}};
        ts.Service[1] = {3, 2, {}};
        return block;
    }();
    return nit.get();
}

TEST(TsProgramEngineTest, NitReplacementReplacesEveryNitPacketOneForOne) {
    EngineRig rig;
    ASSERT_EQ(rig.engine->Start(), 1u);
    const auto in = GeneratorPackets(0, 24000);
    // Everything but the NIT passes unchanged, one for one: the output goes
    // on where this run's left off, its part-chunk first. (A search for the
    // first packet put out could meet an identical earlier one.)
    const size_t offset = rig.Run(std::vector<Bytes>(in.begin(), in.begin() + 4000)).size();
    ASSERT_TRUE(rig.Tables());
    ASSERT_EQ(rig.engine->SetNitInformation(TestNit()), 1u);
    const auto out = rig.Run(std::vector<Bytes>(in.begin() + 4000, in.end()));
    ASSERT_LE(offset + out.size(), in.size());
    size_t nitPackets = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        const bool inputNit = Pid(in[offset + i].data()) == 0x10;
        ASSERT_EQ(Pid(out[i].data()) == 0x10, inputNit) << i;
        if (!inputNit) {
            ASSERT_EQ(out[i], in[offset + i]) << i;
        }
        nitPackets += inputNit;
    }
    ASSERT_GT(nitPackets, 1u);
    const Sections nit = CollectSections(out, 0x10);
    ASSERT_GE(nit.all.size(), nitPackets);
    EXPECT_EQ(nit.crcOk, nit.all.size());
    const Bytes& s = nit.all.back();
    EXPECT_EQ(U16(&s[3]), 0x1234);
    EXPECT_EQ(s[10], 0x40);
    EXPECT_EQ(std::string(s.begin() + 12, s.begin() + 12 + s[11]), "Velmora Net");
    const size_t ts = 12 + s[11] + 2;
    EXPECT_EQ(U16(&s[ts]), 7);
    const uint8_t* cable = &s[ts + 6];
    EXPECT_EQ(cable[0], 0x44);
    EXPECT_EQ(Bytes(cable + 2, cable + 6), (Bytes{0x04, 0x74, 0x00, 0x00}));
    EXPECT_EQ(cable[7] & 0x0F, 2);
    EXPECT_EQ(cable[8], 3);
    EXPECT_EQ(Bytes(cable + 9, cable + 13), (Bytes{0x00, 0x69, 0x00, 0x05}));

    // A filter set and cleared again: the NIT is still replaced, nothing else
    // changes.
    const FILTERED_PROGRAM list[] = {1, 0, sim::SimTsGenerator::PmtPid(1), 0};
    rig.engine->SetFilteredProgram(1, list);
    rig.Run(GeneratorPackets(24000, 3000));
    rig.engine->SetFilteredProgram(0, nullptr);
    const auto later = GeneratorPackets(27000, 9000);
    const auto cleared = rig.Run(later);
    // Aligned on the last packet, the output runs back through `later`
    // unchanged but for the NIT; before it come what the remultiplexer still
    // held from the filter and the packets read before the clear.
    size_t matched = 0;
    for (size_t end = 0; end < later.size(); ++end) {
        size_t n = 0;
        while (n <= end && n < cleared.size()) {
            const Bytes& out = cleared[cleared.size() - 1 - n];
            const Bytes& in = later[end - n];
            const bool nit = Pid(in.data()) == 0x10 && Pid(out.data()) == 0x10;
            if (!nit && out != in) break;
            ++n;
        }
        matched = std::max(matched, n);
    }
    EXPECT_GE(matched, cleared.size() - 2 * 1632);
    EXPECT_GT(matched, 6000u);
    const Sections replaced = CollectSections(cleared, 0x10);
    ASSERT_FALSE(replaced.all.empty());
    EXPECT_EQ(U16(&replaced.all.back()[3]), 0x1234);
    EXPECT_EQ(rig.engine->DisableNitReplace(), 1u);
    EXPECT_EQ(rig.engine->DisableNitReplace(), 0u);
}

TEST(TsProgramEngineTest, MalformedNitBlocksAreRefused) {
    EngineRig rig;
    auto block = std::make_unique<NIT_INFORMATION>();
    auto reset = [&] { std::memcpy(block.get(), TestNit(), sizeof(NIT_INFORMATION)); };
    EXPECT_EQ(rig.engine->SetNitInformation(nullptr), 0u);
    reset();
    block->byTransportStreamCount = 200;
    EXPECT_EQ(rig.engine->SetNitInformation(block.get()), 0u);
    reset();
    block->TransportStream[0].dwServiceCount = 61;
    EXPECT_EQ(rig.engine->SetNitInformation(block.get()), 0u);
    reset();
    block->TransportStream[0].dwFrequencyKhz = 10000000;
    EXPECT_EQ(rig.engine->SetNitInformation(block.get()), 0u);
    reset();
    // A name of all 128 bytes, as the analysed NIT gives long names out, is
    // taken back whole.
    std::memset(block->byNetworkName, 'x', sizeof(block->byNetworkName));
    EXPECT_EQ(rig.engine->SetNitInformation(block.get()), 1u);
    reset();
    // Sixty transport streams do not fit one section of 1,012 bytes.
    block->byTransportStreamCount = 60;
    EXPECT_EQ(rig.engine->SetNitInformation(block.get()), 0u);
    reset();
    EXPECT_EQ(rig.engine->SetNitInformation(block.get()), 1u);
}

TEST(TsProgramEngineTest, SectionWritersGiveIntactSections) {
    EngineRig rig;
    // An SDT of 60 services with long names is cut to what fits 1,024 bytes.
    auto sdt = std::make_unique<ts::SDT_INFORMATION>();
    std::memset(sdt.get(), 0, sizeof(*sdt));
    sdt->wTransportStreamId = 9;
    sdt->byServiceCount = 60;
    for (uint16_t i = 0; i < 60; ++i) {
        sdt->Service[i].wServiceId = static_cast<uint16_t>(i + 1);
        std::snprintf(sdt->Service[i].szServiceName, 40, "Service number %u of many", i);
    }
    uint8_t section[1024];
    const uint32_t length = CTsProgramEngine::BuildSdt(*sdt, section);
    ASSERT_LE(length, 1024u);
    EXPECT_EQ(BitwiseCrc(section, length), 0u);
    const auto services = SdtServices(Bytes(section, section + length));
    EXPECT_GT(services.size(), 20u);
    EXPECT_EQ(services.at(1), "Service number 0 of many");

    // A PAT of more than 42 programs is cut to 42.
    ts::PAT_INFORMATION pat = {};
    pat.byProgramCount = 50;
    for (uint16_t i = 0; i < 50; ++i)
        pat.Program[i] = {static_cast<uint16_t>(i + 1), 0x100};
    Bytes packet = GeneratorPackets(0, 1)[0];
    ASSERT_EQ(Pid(packet.data()), 0);
    CTsProgramEngine::BuildPat(packet.data(), pat);
    const Sections pats = CollectSections({packet}, 0);
    ASSERT_EQ(pats.all.size(), 1u);
    EXPECT_EQ(pats.crcOk, 1u);
    EXPECT_EQ(PatPrograms(pats.all[0]).size(), 42u);

    EXPECT_EQ(rig.engine->PacketizeSection(section, 1013, 0x10), -1);
    EXPECT_EQ(rig.engine->PacketizeSection(section, 1012, 0x20), 6);
}

TEST(TsProgramEngineTest, SectionBytesOf204BytePacketsEndAtByte187) {
    EngineRig rig(204);
    Bytes section(400, 0xAB);
    ASSERT_EQ(rig.engine->PacketizeSection(section.data(), 400, 0x10), 3);
    size_t carried = 0;
    for (uint32_t i = 0; i < 3; ++i) {
        const uint8_t* p = rig.engine->SectionPacket(i);
        const size_t start = i == 0 ? 5 : 4;
        for (size_t b = start; b < 188; ++b)
            carried += p[b] == 0xAB;
        for (size_t b = 188; b < 204; ++b)
            ASSERT_NE(p[b], 0xAB) << i << " " << b;
        EXPECT_EQ(p[3] & 0x0F, (i + 1) & 0x0F);
    }
    EXPECT_EQ(carried, 400u);
}

TEST(TsProgramEngineTest, PesAndPcrHelpersStayInsideThePacket) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = 0x41;
    p[3] = 0x30;
    p[4] = 183;  // the adaptation field fills the packet
    EXPECT_EQ(CTsProgramEngine::IsPesStartPacket(p.data()), -4);
    p[3] = 0x20;  // no payload at all
    EXPECT_EQ(CTsProgramEngine::IsPesStartPacket(p.data()), -4);
    p[3] = 0x10;
    p[4] = 0;
    p[5] = 0;
    p[6] = 1;
    p[12] = 5;
    EXPECT_EQ(CTsProgramEngine::IsPesStartPacket(p.data()), 0);
    p[6] = 2;
    EXPECT_EQ(CTsProgramEngine::IsPesStartPacket(p.data()), 1);
    p[12] = 200;
    EXPECT_EQ(CTsProgramEngine::IsPesStartPacket(p.data()), -4);

    // A PCR moved on by 1000 packets at 10,152,000 bit/s: 4,000,000 ticks.
    Bytes pcr = GeneratorPackets(0, 400)[0];
    for (const Bytes& candidate : GeneratorPackets(0, 400)) {
        if ((candidate[3] & 0x20) && candidate[4] >= 7 && (candidate[5] & 0x10)) {
            pcr = candidate;
            break;
        }
    }
    ASSERT_TRUE(pcr[5] & 0x10);
    auto value = [](const Bytes& b) {
        const uint64_t base = (uint64_t{b[6]} << 25) | (uint64_t{b[7]} << 17) |
                              (uint64_t{b[8]} << 9) | (uint64_t{b[9]} << 1) | (b[10] >> 7);
        return base * 300 + (((b[10] & 1) << 8) | b[11]);
    };
    const uint64_t before = value(pcr);
    EngineRig rig;
    ASSERT_EQ(rig.engine->RewritePcr(pcr.data(), Pid(pcr.data()), 1000, 10152000.0), 1);
    EXPECT_EQ(value(pcr) - before, 4000000u);
    EXPECT_EQ(rig.engine->RewritePcr(pcr.data(), 0x1FFF, 1000, 10152000.0), 0);
}

TEST(TsProgramEngineTest, MutatedPacketsThroughAnalysisAndRemux) {
    std::mt19937 random(20261207);
    const auto fixture = FixturePackets();
    const auto generator = GeneratorPackets(0, 6750);
    EngineRig rig;
    ASSERT_EQ(rig.engine->Start(), 1u);
    rig.Run(generator);
    ASSERT_TRUE(rig.Tables());
    const FILTERED_PROGRAM list[] = {2, 0x101, 0x200, 0x1FFF, 0x300, 0};
    rig.engine->SetFilteredProgram(2, list);
    ASSERT_EQ(rig.engine->SetNitInformation(TestNit()), 1u);
    for (int round = 0; round < 6; ++round) {
        std::vector<Bytes> in;
        for (size_t i = 0; i < 5000; ++i) {
            Bytes p = (i & 1) ? fixture[random() % fixture.size()] : generator[random() % 6750];
            const int flips = random() % 6;
            for (int f = 0; f < flips; ++f)
                p[random() % 188] = static_cast<uint8_t>(random());
            if (random() % 8 == 0) p[1] = static_cast<uint8_t>((p[1] & 0xE0) | (random() % 3));
            in.push_back(std::move(p));
        }
        rig.Run(in);
    }
    SUCCEED();
}

TEST(TsProgramEngineTest, RecorderAndFilesWithoutARecorder) {
    const platform::test::TempDir temp;
    EngineRig rig;
    RECORD_LENGTH length = {};
    EXPECT_EQ(rig.engine->GetRecorderLength(1, &length), 0u);
    EXPECT_EQ(rig.engine->StartRecorderTask(nullptr), -1);
    EXPECT_EQ(rig.engine->OpenStreamFile(nullptr), 0u);
    const std::string path = temp.File("engine.ts");
    const std::wstring wide(path.begin(), path.end());
    EXPECT_EQ(rig.engine->OpenStreamFile(wide.c_str()), 1u);
    EXPECT_EQ(rig.engine->OpenStreamFile(wide.c_str()), 0u);
    ASSERT_EQ(rig.engine->Start(), 1u);
    const auto in = GeneratorPackets(0, 5000);
    // Closed as soon as the output had the stream's end: the file has it.
    rig.Run(in, true);
    EXPECT_EQ(rig.engine->CloseStreamFile(), 1u);
    const auto written = ReadPackets(path);
    ASSERT_EQ(written.size(), in.size());
    for (size_t i = 0; i < written.size(); ++i)
        ASSERT_EQ(written[i], in[i]);
}

// --- Capture engine ---------------------------------------------------------

TEST(TsDemultiplexerTest, ContinuityCheckCountsOnlyRealBreaks) {
    ts::CContinuityCheck check;
    check.Reset();
    Bytes p = {0x47, 0x01, 0x00, 0x15};
    p.resize(188);
    check.Check(p.data());  // first of its PID
    p[3] = 0x16;
    check.Check(p.data());
    p[3] = 0x26;  // the same counter without payload
    check.Check(p.data());
    EXPECT_EQ(check.Errors(), 0u);
    p[3] = 0x16;  // repeated with payload
    check.Check(p.data());
    p[3] = 0x19;  // a gap
    check.Check(p.data());
    EXPECT_EQ(check.Errors(), 2u);
}

TEST(TsDemultiplexerTest, RefusalsAndCaptureFileModes) {
    const platform::test::TempDir temp;
    ts::CTsDemultiplexer demux(nullptr, 1, 0, nullptr);
    EXPECT_EQ(demux.Open(190, 0, 0, 0), 0u);
    ASSERT_EQ(demux.Open(188, 0, 0, 0), 1u);
    EXPECT_EQ(demux.SetWorkMode(3), 0u);
    EXPECT_EQ(demux.EnableInputPort(), 0u);
    EXPECT_EQ(demux.SetInputSource(1), 1u);
    EXPECT_EQ(demux.SetInputSource(1), 0u);
    EXPECT_EQ(demux.SetInputSource(2), 0u);
    TS_PROGRAM_INFORMATION info;
    uint32_t state = 9;
    EXPECT_EQ(demux.GetProgramInformation(&info, &state), 0u);
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(demux.SetFilteredProgram(1, nullptr), 0u);
    EXPECT_EQ(demux.StartCaptureFile(L"", 0, 0), 0u);
    EXPECT_EQ(demux.StartCaptureFile(nullptr, 0, 0), 0u);

    const std::string path = temp.File("capture.ts");
    const std::wstring wide(path.begin(), path.end());
    const auto packets = GeneratorPackets(0, 300);
    ASSERT_EQ(demux.StartCaptureFile(wide.c_str(), 0, 0), 1u);
    for (const Bytes& p : packets)
        demux.WriteCaptureFile(p.data(), 0);
    // A second start keeps the file and takes the new mode and PID.
    ASSERT_EQ(demux.StartCaptureFile(wide.c_str(), 0x101, 0x101), 1u);
    for (const Bytes& p : packets)
        demux.WriteCaptureFile(p.data(), 1);
    EXPECT_EQ(demux.StopCaptureFile(), 1u);
    const auto written = ReadPackets(path);
    ASSERT_EQ(written.size(), 300 + CountPid(packets, 0x101));
    for (size_t i = 300; i < written.size(); ++i)
        EXPECT_EQ(Pid(written[i].data()), 0x101);
}

// --- Playback engine --------------------------------------------------------

TEST(TsMultiplexerTest, GapWordGivesTheIdleOfTheRate) {
    ts::ASI_GAP_WORD gap;
    ASSERT_EQ(ts::CTsMultiplexer::ComputeGapWord(38000000, 188, &gap), 1u);
    EXPECT_EQ(gap.wHigh, 4);
    EXPECT_EQ(gap.wLow, 130);
    EXPECT_NEAR(gap.dFraction, 0.6315789, 1e-6);
    // Where L would be negative, one H less carries the same idle.
    ASSERT_EQ(ts::CTsMultiplexer::ComputeGapWord(108000000, 204, &gap), 1u);
    EXPECT_EQ(203u * gap.wHigh + gap.wLow + 2, 204u);
    for (uint32_t length : {188u, 204u}) {
        for (uint32_t rate = 1000000; rate < 216000000; rate += 997331) {
            if (!ts::CTsMultiplexer::ComputeGapWord(rate, length, &gap)) continue;
            const double g = length * (216000000.0 - rate) / rate;
            ASSERT_EQ((length - 1) * uint64_t{gap.wHigh} + gap.wLow + 2, uint64_t(g)) << rate;
            ASSERT_LT(gap.wLow, 65536u);
        }
    }
    EXPECT_EQ(ts::CTsMultiplexer::ComputeGapWord(0, 188, &gap), 0u);
    EXPECT_EQ(ts::CTsMultiplexer::ComputeGapWord(216000000, 188, &gap), 0u);
    EXPECT_EQ(ts::CTsMultiplexer::ComputeGapWord(215000000, 188, &gap), 0u);  // Gi below 2
    EXPECT_EQ(ts::CTsMultiplexer::ComputeGapWord(100, 188, &gap), 0u);        // H too large
    // The range the public header promises, to the bit.
    const uint32_t bounds[2][3] = {{188, VELMORA_TS_MIN_BIT_RATE_188, VELMORA_TS_MAX_BIT_RATE_188},
                                   {204, VELMORA_TS_MIN_BIT_RATE_204, VELMORA_TS_MAX_BIT_RATE_204}};
    for (const auto& [length, low, high] : bounds) {
        EXPECT_EQ(ts::CTsMultiplexer::ComputeGapWord(low, length, &gap), 1u) << length;
        EXPECT_EQ(ts::CTsMultiplexer::ComputeGapWord(high, length, &gap), 1u) << length;
        EXPECT_EQ(ts::CTsMultiplexer::ComputeGapWord(low - 1, length, &gap), 0u) << length;
        EXPECT_EQ(ts::CTsMultiplexer::ComputeGapWord(high + 1, length, &gap), 0u) << length;
    }
}

}  // namespace
}  // namespace velmora::tstest

namespace velmora::tstest {
namespace {

// A video PES start with a sequence header, its extension and a PTS.
Bytes VideoPacket() {
    Bytes p(188, 0xFF);
    const uint8_t header[] = {0x47, 0x41, 0x01, 0x10,                                // TS
                              0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x05,  // PES
                              0x21, 0x00, 0x01, 0x00, 0x07,                          // PTS 3
                              0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23,        // 720x576
                              0x00, 0x3A, 0x9F, 0xFC,                                // rate
                              0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00};
    std::memcpy(p.data(), header, sizeof(header));
    return p;
}

TEST(TsUnusedOperationsTest, PesVideoAndTimeStampReaders) {
    EngineRig rig;
    Bytes p = VideoPacket();
    EXPECT_EQ(rig.engine->ParsePesVideo(p.data()), 1);
    p[1] = 0x01;  // no unit start
    EXPECT_EQ(rig.engine->ParsePesVideo(p.data()), -1);

    ts::CTsDemultiplexer demux(nullptr, 1, 0, nullptr);
    ASSERT_EQ(demux.Open(188, 0, 0, 0), 1u);
    uint64_t stamp = 0;
    p = VideoPacket();
    ASSERT_EQ(demux.FindPesHeader(p.data(), &stamp), 1u);
    EXPECT_EQ(stamp, 3u * 300);
    Bytes entry(256, 0);
    std::memcpy(&entry[4], p.data(), 188);
    EXPECT_EQ(demux.ProcessPacketTimeStamp(entry.data(), &stamp), 1u);
    entry[4] = 0;
    EXPECT_EQ(demux.ProcessPacketTimeStamp(entry.data(), &stamp), 0u);
    p[7] = 0xBD;  // not a video or audio stream
    EXPECT_EQ(demux.FindPesHeader(p.data(), &stamp), 0u);
    p = VideoPacket();
    p[3] = 0x30;
    p[4] = 190;  // an adaptation field past the packet
    EXPECT_EQ(demux.FindPesHeader(p.data(), &stamp), 0u);

    // Each dump is a new file of this user's alone, here in a temporary
    // folder of the test's own: a link planted under a name a dump might take
    // leads nowhere.
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string saved = tmpdir ? tmpdir : "";
    std::string folder = (std::filesystem::temp_directory_path() / "velmora-dump-XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    setenv("TMPDIR", folder.c_str(), 1);
    std::ofstream(folder + "/victim") << "kept";
    std::filesystem::create_symlink(folder + "/victim", folder + "/TsDemultiplexerDump.ts");
    EXPECT_EQ(demux.OpenDebugDumpFile(), 1u);
    EXPECT_EQ(demux.OpenDebugDumpFile(), 1u);
    saved.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", saved.c_str(), 1);
    EXPECT_EQ(std::filesystem::file_size(folder + "/victim"), 4u);
    size_t dumps = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_symlink() || entry.path().filename() == "victim") continue;
        using std::filesystem::perms;
        EXPECT_EQ(entry.status().permissions() & (perms::group_all | perms::others_all),
                  perms::none);
        ++dumps;
    }
    EXPECT_EQ(dumps, 2u);
    std::filesystem::remove_all(folder);

    record::BUFFER_ANALYZE_INFO info;
    EXPECT_EQ(rig.engine->GetBufferAnalyzeInfo(&info, 0x100, 0, 0), 0u);
    EXPECT_EQ(info.dwBufferSize, 0u);
    uint32_t pair[2] = {9, 9};
    rig.engine->GetUnusedPair(pair);
    EXPECT_EQ(pair[0] + pair[1], 0u);
    EXPECT_EQ(CTsProgramEngine::GetTsIdFromPat(GeneratorPackets(0, 1)[0].data()),
              sim::SimTsGenerator::kTransportStreamId);
}

}  // namespace
}  // namespace velmora::tstest

namespace velmora::tstest {
namespace {

// A card ring of 256-byte entries feeding an engine whose 4,000-packet
// output ring nobody reads until the test says so.
struct UnreadOutputRig {
    CLockedRingBuffer card;
    CLockedRingBuffer output;
    std::unique_ptr<CTsProgramEngine> engine;

    bool Start(card::CLogFile* pLog = nullptr) {
        card.SetSize(25920, 256);
        output.SetSize(4000, 188);
        if (card.Allocate() != 1 || output.Allocate() != 1) return false;
        engine = std::make_unique<CTsProgramEngine>(&card, nullptr, &output, 188, 0, pLog);
        return engine->Start() == 1;
    }
    // Packets [from, to) of `in` as card entries.
    bool Feed(const std::vector<Bytes>& in, size_t from, size_t to) {
        Bytes entries((to - from) * 256, 0);
        for (size_t i = from; i < to; ++i)
            std::memcpy(&entries[(i - from) * 256 + 4], in[i].data(), 188);
        uint32_t free = 0;
        uint32_t contiguous = 0;
        card.GetFreeCount(&free, &contiguous);
        return card.Write(entries.data(), static_cast<uint32_t>(entries.size())) == 1;
    }
};

// An output ring nobody reads: chunks that find no room are skipped and
// counted; the unread packets stay intact. The log's last count, however soon
// after the first skip the stop came, is the total.
TEST(TsProgramEngineTest, AFullOutputRingSkipsChunksInsteadOfOverwriting) {
    card::g_LogFile.InitLogFile();
    const size_t logged = cardtest::LogText().size();
    UnreadOutputRig rig;
    ASSERT_TRUE(rig.Start(&card::g_LogFile));
    CLockedRingBuffer& output = rig.output;
    CTsProgramEngine& engine = *rig.engine;
    const auto in = GeneratorPackets(0, 1632 * 6);
    ASSERT_TRUE(rig.Feed(in, 0, in.size()));
    ASSERT_TRUE(WaitFor([&] { return engine.SkippedChunks() >= 3; }));
    engine.Stop();
    const std::string log = cardtest::LogText();
    const size_t last = log.rfind(" ring full, ");
    ASSERT_NE(last, std::string::npos);
    ASSERT_GT(last, logged);
    EXPECT_EQ(std::stoull(log.substr(last + 12)), engine.SkippedChunks());
    uint32_t fill = 0;
    uint32_t contiguous = 0;
    output.GetFillCount(&fill, &contiguous);
    ASSERT_EQ(fill, 1632u * 2);
    Bytes data(size_t{fill} * 188);
    ASSERT_EQ(output.Read(data.data(), static_cast<uint32_t>(data.size())), 1u);
    for (size_t i = 0; i < fill; ++i) {
        ASSERT_EQ(Bytes(data.begin() + i * 188, data.begin() + (i + 1) * 188), in[i]) << i;
    }
}

// The remultiplexer stalled behind an output ring nobody reads, then NIT
// replacement switched off: the card input goes on being taken (through the
// remultiplexer, which keeps the order), and once read the output is the
// input, none lost, repeated or reordered (NIT packets were replaced).
TEST(TsProgramEngineTest, SwitchingOffBehindAFullOutputStallsNothingAndKeepsTheOrder) {
    UnreadOutputRig rig;
    ASSERT_TRUE(rig.Start());
    CLockedRingBuffer& card = rig.card;
    CLockedRingBuffer& output = rig.output;
    CTsProgramEngine& engine = *rig.engine;
    ASSERT_EQ(engine.SetNitInformation(TestNit()), 1u);
    // 14 chunks in all, which the filter ring holds even when the
    // remultiplexer has moved none, so that no chunk finds a full ring
    // whatever the threads' pace, and one packet more, which moves once the
    // input has stood still.
    const auto in = GeneratorPackets(0, 1632 * 14 + 1);
    auto feed = [&](size_t from, size_t to) { ASSERT_TRUE(rig.Feed(in, from, to)); };
    auto taken = [&] {
        uint32_t fill = 0;
        uint32_t contiguous = 0;
        card.GetFillCount(&fill, &contiguous);
        return fill <= 1632;
    };
    feed(0, 1632 * 8 + 1);
    ASSERT_TRUE(WaitFor(taken));
    ASSERT_EQ(engine.DisableNitReplace(), 1u);
    feed(1632 * 8 + 1, in.size());
    ASSERT_TRUE(WaitFor(taken)) << "capture stalled behind the unread output";
    std::vector<Bytes> out;
    Bytes data(size_t{4000} * 188);
    ASSERT_TRUE(WaitFor([&] {
        uint32_t fill = 0;
        uint32_t contiguous = 0;
        output.GetFillCount(&fill, &contiguous);
        if (fill > 0 && output.Read(data.data(), fill * 188)) {
            for (uint32_t i = 0; i < fill; ++i)
                out.emplace_back(data.begin() + i * 188, data.begin() + (i + 1) * 188);
        }
        return out.size() >= in.size();
    }));
    ASSERT_EQ(out.size(), in.size());
    EXPECT_EQ(engine.SkippedChunks(), 0u);
    for (size_t i = 0; i < out.size(); ++i) {
        if (Pid(in[i].data()) == 0x10) {
            ASSERT_EQ(Pid(out[i].data()), 0x10) << i;
        } else {
            ASSERT_EQ(out[i], in[i]) << i;
        }
    }
}

// Rings that cannot be had fail the open: a fresh process of this program
// with little address space left (not under the address or thread sanitizer,
// which reserve much). Fresh, since memory that earlier tests of this process
// freed would be had again under the limit.
TEST(TsEngineOpenTest, RingAllocationFailureFailsOpen) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer reserves the address space this test limits";
#else
    constexpr const char* kFresh = "VELMORA_TEST_FRESH_PROCESS";
    if (std::getenv(kFresh) == nullptr) {
        const std::string self = platform::ExecutablePath();
        platform::test::Child child([&] {
            setenv(kFresh, "1", 1);
            const std::string filter =
                "--gtest_filter=TsEngineOpenTest.RingAllocationFailureFailsOpen";
            char* const argv[] = {const_cast<char*>(self.c_str()),
                                  const_cast<char*>(filter.c_str()), nullptr};
            execve(self.c_str(), argv, environ);
            return 127;
        });
        EXPECT_EQ(child.Wait(), 0) << "2, 3: no limit set; 4, 5: a ring was had under it";
        return;
    }
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) _exit(2);
    std::fclose(statm);
    // Large blocks come from new mappings, not from memory freed earlier;
    // then there is room for one packet ring (4.9 MB) but not for two.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (7u << 20);
    const rlimit rl = {limit, limit};
    if (setrlimit(RLIMIT_AS, &rl) != 0) _exit(3);
    ts::CTsDemultiplexer demux(nullptr, 1, 0, nullptr);
    if (demux.Open(188, 0, 0, 0) != 0) _exit(4);
    ts::CTsMultiplexer mux(nullptr, nullptr, 0, nullptr);
    if (mux.Open(188, 0, 0, 0) != 0) _exit(5);
    _exit(0);
#endif
}

}  // namespace
}  // namespace velmora::tstest

namespace velmora::tstest {
namespace {

// A long-form section with its CRC (table_id, id, version 0, one section).
Bytes Section(uint8_t tableId, uint16_t id, const Bytes& body) {
    Bytes s = {tableId, 0xB0, 0x00, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id),
               0xC1,    0x00, 0x00};
    s.insert(s.end(), body.begin(), body.end());
    const size_t length = s.size() + 4 - 3;
    s[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
    s[2] = static_cast<uint8_t>(length);
    const uint32_t crc = BitwiseCrc(s.data(), s.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<uint8_t>(crc >> shift));
    return s;
}

Bytes SectionPacket(uint16_t pid, uint8_t counter, const Bytes& section) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>(0x40 | (pid >> 8));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | (counter & 0x0F));
    p[4] = 0;
    std::memcpy(&p[5], section.data(), std::min<size_t>(section.size(), 183));
    return p;
}

// A section in as many packets as it takes.
std::vector<Bytes> SectionPackets(uint16_t pid, uint8_t* counter, const Bytes& section) {
    std::vector<Bytes> packets = {SectionPacket(pid, (*counter)++, section)};
    for (size_t at = 183; at < section.size(); at += 184) {
        Bytes p(188, 0xFF);
        p[0] = 0x47;
        p[1] = static_cast<uint8_t>(pid >> 8);
        p[2] = static_cast<uint8_t>(pid);
        p[3] = static_cast<uint8_t>(0x10 | ((*counter)++ & 0x0F));
        std::memcpy(&p[4], &section[at], std::min<size_t>(section.size() - at, 184));
        packets.push_back(p);
    }
    return packets;
}

Bytes Service(uint16_t id, const std::string& provider, const std::string& name) {
    const size_t descriptor = 5 + provider.size() + name.size();
    Bytes s;
    s.reserve(5 + descriptor);
    for (const size_t byte :
         {size_t{id} >> 8, size_t{id} & 0xFF, size_t{0xFD}, 0x80 | (descriptor >> 8),
          descriptor & 0xFF, size_t{0x48}, descriptor - 2, size_t{0x01}, provider.size()}) {
        s.push_back(static_cast<uint8_t>(byte));
    }
    for (const char c : provider)
        s.push_back(static_cast<uint8_t>(c));
    s.push_back(static_cast<uint8_t>(name.size()));
    for (const char c : name)
        s.push_back(static_cast<uint8_t>(c));
    return s;
}

// Service names in each character table, given to programs 3 on, and the
// UTF-16 they read as.
// Octal escapes where a hex escape would run into the letter after it.
const std::pair<std::string, std::u16string> kNames[] = {
    // The default table: a diacritic before its letter, and the euro sign.
    {"Caf\302e \244", u"Caf\u00E9 \u20AC"},
    {"\x15T\xC3\xA9l\xC3\xA9", u"T\u00E9l\u00E9"},
    {"\x13\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
    {"\x14\xA4\xA4\xA4\xE5", u"\u4E2D\u6587"},
    {std::string("\x11\000A\x01\x00", 5), u"A\u0100"},
    // A lone surrogate is left out and the units after it keep their places;
    // a pair is one character.
    {std::string("\x11\0a\0b\xD8\x3C\0c\0d\xD8\x3D\xDE\x00", 15), u"abcd\U0001F600"},
    {std::string("\x10\x00\x02\xB1", 4), u"\u0105"},
    {"\x01\xB0", u"\u0410"},
    {"\x0B\xA4", u"\u20AC"},
    // Seven of eight characters beyond 16 bits fit, as surrogate pairs.
    {"\x15\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
     "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80",
     u"\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600"},
    // Emphasis and line break control codes are not text.
    {"\206Bold\207 \212News", u"Bold News"},
    // A table not known keeps its ASCII; bytes not of the table are left out.
    {"\022\260\241Ab", u"Ab"},
    {"\025A\377B", u"AB"},
    {"\x13\xD6", u""},
};

// Program 2's PMT lists no stream; the SDT names the services in the other
// order, with names longer than the record's fields and names in every
// character table. The stream comes in over UDP to a capture engine without
// ASI.
TEST(TsDemultiplexerTest, ProgramInformationMatchesServicesByIdOverIp) {
    Bytes patBody = {0x00, 0x01, 0xE1, 0x00, 0x00, 0x02, 0xE2, 0x00};
    const Bytes pmt1 = Section(0x02, 1, {0xE1, 0x01, 0xF0, 0x00, 0x02, 0xE1, 0x01, 0xF0, 0x00});
    const Bytes pmt2 = Section(0x02, 2, {0xE1, 0xFF, 0xF0, 0x00});
    Bytes sdtBody = {0x00, 0x09, 0xFF};
    for (const Bytes& s : {Service(2, "Prov\xE9", "Second service, long name"),
                           Service(1, "Provider One", "First")}) {
        sdtBody.insert(sdtBody.end(), s.begin(), s.end());
    }
    std::vector<std::pair<uint16_t, Bytes>> named;
    for (uint8_t n = 3; n < 3 + std::size(kNames); ++n) {
        patBody.insert(patBody.end(), {0, n, 0xE3, n});
        named.emplace_back(0x300 + n, Section(0x02, n, {0xE1, 0xFF, 0xF0, 0x00}));
        const Bytes s = Service(n, "P", kNames[n - 3].first);
        sdtBody.insert(sdtBody.end(), s.begin(), s.end());
    }
    const Bytes pat = Section(0x00, 0x77, patBody);
    const Bytes sdt = Section(0x42, 0x77, sdtBody);

    // Sends the sections, each in a packet of its PID, until the program
    // information is in `wanted` state; false when it never is.
    auto info = std::make_unique<TS_PROGRAM_INFORMATION>();
    const auto analyse = [&](const std::vector<std::pair<uint16_t, Bytes>>& sections,
                             uint32_t wanted) {
        ts::CTsDemultiplexer demux(nullptr, 1, 0, nullptr);
        const uint16_t port = nettest::FreePort();
        if (!demux.Open(188, 0, 0, 0) ||
            !demux.SetReceiveParameter({L"127.0.0.1", port, 0, 188, 0, 0}) ||
            !demux.UdpReceiveRun() || !demux.SetInputSource(1) || !demux.Start() ||
            !demux.SetWorkMode(1)) {
            return false;
        }
        nettest::PlainSocket sender;
        uint32_t state = 0;
        std::map<uint16_t, uint8_t> counters;
        const bool reached = WaitFor([&] {
            Bytes datagram;
            for (const auto& [pid, section] : sections) {
                for (const Bytes& p : SectionPackets(pid, &counters[pid], section))
                    datagram.insert(datagram.end(), p.begin(), p.end());
            }
            const Bytes null = GeneratorPackets(20, 1)[0];
            while (datagram.size() % (7 * 188) != 0)
                datagram.insert(datagram.end(), null.begin(), null.end());
            for (int i = 0; i < 40; ++i) {
                for (size_t at = 0; at < datagram.size(); at += 7 * 188)
                    sender.SendTo(port,
                                  Bytes(datagram.begin() + at, datagram.begin() + at + 7 * 188));
            }
            const uint32_t result = demux.GetProgramInformation(info.get(), &state);
            return state == wanted && result == (wanted == 255 ? 0u : 1u);
        });
        demux.Stop();
        return reached;
    };
    named.insert(named.begin(), {{0, pat}, {0x100, pmt1}, {0x200, pmt2}, {0x11, sdt}});
    ASSERT_TRUE(analyse(named, 2));
    EXPECT_EQ(info->dwTransportStreamId, 0x77u);
    EXPECT_EQ(info->dwOriginalNetworkId, 9u);
    ASSERT_EQ(info->dwProgramCount, 2u + std::size(kNames));
    const TS_PROGRAM_ENTRY& first = info->Program[0];
    const TS_PROGRAM_ENTRY& second = info->Program[1];
    EXPECT_EQ(first.dwProgramNumber, 1u);
    EXPECT_EQ(first.byStreamCount, 1u);
    // Nothing of "NO Service" is left behind a shorter name.
    EXPECT_EQ(Field(first.szServiceName), Padded(u"First"));
    EXPECT_EQ(second.dwProgramNumber, 2u);
    EXPECT_EQ(second.byStreamCount, 0u);
    EXPECT_EQ(Field(second.szServiceName), Padded(u"Second service,"));
    // 0xE9 of the default table (ISO 6937).
    EXPECT_EQ(Field(second.szProviderName), Padded(u"Prov\u00D8"));
    for (size_t i = 0; i < std::size(kNames); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(info->Program[2 + i].dwProgramNumber, 3 + i);
        EXPECT_EQ(Field(info->Program[2 + i].szServiceName), Padded(kNames[i].second));
        EXPECT_EQ(Field(info->Program[2 + i].szProviderName), Padded(u"P"));
    }

    // 61 programs, in two PAT sections: more than the record holds.
    std::vector<std::pair<uint16_t, Bytes>> many;
    for (uint8_t number : {0, 1}) {
        Bytes body;
        for (uint16_t n = 1 + 40 * number; n <= std::min(61, 40 + 40 * number); ++n)
            body.insert(body.end(), {0, uint8_t(n), uint8_t(0xE1), uint8_t(n)});
        Bytes section = Section(0x00, 0x77, body);
        section.resize(section.size() - 4);
        section[6] = number, section[7] = 1;
        const uint32_t crc = BitwiseCrc(section.data(), section.size());
        for (int shift = 24; shift >= 0; shift -= 8)
            section.push_back(static_cast<uint8_t>(crc >> shift));
        many.emplace_back(0, section);
    }
    for (uint16_t n = 1; n <= 60; ++n)
        many.emplace_back(0x100 + n, Section(0x02, n, {0xE1, 0x01, 0xF0, 0x00}));
    EXPECT_TRUE(analyse(many, 255));
}

}  // namespace
}  // namespace velmora::tstest

namespace velmora::tstest {
namespace {

// Two programs sharing their PCR and audio PIDs: removing one keeps what
// the other still uses.
TEST(TsProgramEngineTest, PidsSharedWithAKeptProgramStay) {
    const Bytes pat = Section(0x00, 0x55, {0x00, 0x01, 0xE1, 0x00, 0x00, 0x02, 0xE2, 0x00});
    const Bytes pmt1 = Section(
        0x02, 1,
        {0xE1, 0x01, 0xF0, 0x00, 0x02, 0xE1, 0x01, 0xF0, 0x00, 0x03, 0xE1, 0x50, 0xF0, 0x00});
    const Bytes pmt2 = Section(
        0x02, 2,
        {0xE1, 0x01, 0xF0, 0x00, 0x02, 0xE2, 0x01, 0xF0, 0x00, 0x03, 0xE1, 0x50, 0xF0, 0x00});
    Bytes sdtBody = {0x00, 0x09, 0xFF};
    for (const Bytes& s : {Service(1, "P", "One"), Service(2, "P", "Two")}) {
        sdtBody.insert(sdtBody.end(), s.begin(), s.end());
    }
    const Bytes sdt = Section(0x42, 0x55, sdtBody);
    std::vector<Bytes> in;
    for (uint32_t cycle = 0; in.size() < 24000; ++cycle) {
        const auto counter = static_cast<uint8_t>(cycle);
        in.push_back(SectionPacket(0x00, counter, pat));
        in.push_back(SectionPacket(0x100, counter, pmt1));
        in.push_back(SectionPacket(0x200, counter, pmt2));
        in.push_back(SectionPacket(0x11, counter, sdt));
        for (const uint16_t pid : {0x101, 0x150, 0x201}) {
            Bytes p(188, static_cast<uint8_t>(cycle));
            p[0] = 0x47;
            p[1] = static_cast<uint8_t>(pid >> 8);
            p[2] = static_cast<uint8_t>(pid);
            p[3] = static_cast<uint8_t>(0x10 | (cycle & 0x0F));
            in.push_back(p);
        }
    }
    EngineRig rig;
    ASSERT_EQ(rig.engine->Start(), 1u);
    rig.Run(std::vector<Bytes>(in.begin(), in.begin() + 5000));
    ASSERT_TRUE(rig.Tables());
    const FILTERED_PROGRAM list[] = {1, 0, 0x200, 0};
    rig.engine->SetFilteredProgram(1, list);
    const auto out = rig.Run(std::vector<Bytes>(in.begin() + 5000, in.end()));
    ASSERT_GT(out.size(), 12000u);
    // Past what was already on its way before the filter.
    const std::vector<Bytes> filtered(out.begin() + 2 * 1632, out.end());
    EXPECT_EQ(CountPid(filtered, 0x200), 0u);
    EXPECT_EQ(CountPid(filtered, 0x201), 0u);
    EXPECT_GT(CountPid(filtered, 0x100), 1000u);
    EXPECT_GT(CountPid(filtered, 0x101), 1000u);
    EXPECT_GT(CountPid(filtered, 0x150), 1000u);
    const Sections pats = CollectSections(filtered, 0);
    ASSERT_FALSE(pats.all.empty());
    EXPECT_EQ(PatPrograms(pats.all.back()), (std::map<uint16_t, uint16_t>{{1, 0x100}}));
}

}  // namespace
}  // namespace velmora::tstest

namespace velmora::tstest {
namespace {

uint64_t FileSize(const std::string& path) {
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

// Seeded; runs for the stress time. Packets of two PIDs of the looped recorder fixture
// carry a serial number in their last 8 bytes: program 3's video, which the
// filter keeps, and program 2's, which it removes. The filter and NIT
// replacement switch at random intervals of 0.2 to 3 ms while a reader drains
// the output at a varying pace and program 1 records; its file grows all
// along. The first half feeds no more than the output holds: every serial of
// the kept PID arrives, once, in order. Then capture stops and starts again
// (the stop leaves no recorder slot), the same program records anew and the
// reader stalls at times: chunks that find no room are lost whole, and the
// serials still only rise.
TEST(TsProgramEngineTest, SwitchingFilterAndNitWhileRecordingLosesAndRepeatsNothing) {
    constexpr uint32_t kSeed = 0x24A;
    SCOPED_TRACE("seed " + std::to_string(kSeed));
    constexpr uint16_t kPid[2] = {0x202, 0x204};  // removed, kept
    // Each phase lasts for a count of switches and of packets fed, however
    // slow the machine makes a switch.
    constexpr uint64_t kSwitchesPerPhase = 500;
    constexpr uint64_t kSampleEvery = 100000;  // packets fed between file-size checks
    // The recordings (about 70 MB) go with it, after the engine.
    const platform::test::TempDir temp;
    CLockedRingBuffer card;
    CLockedRingBuffer output;
    card.SetSize(25920, 256);
    ASSERT_EQ(card.Allocate(), 1u);
    output.SetSize(25920, 188);
    ASSERT_EQ(output.Allocate(), 1u);
    CTsProgramEngine engine(&card, nullptr, &output, 188, 0, nullptr);
    ASSERT_EQ(engine.Start(), 1u);
    const auto source = ReadPackets(DataPath("rec_three_programs.ts"));
    uint64_t fed = 0;
    uint64_t serialsFed[2] = {};
    std::atomic<uint64_t> received{0};
    std::atomic<bool> stalls{false};
    // Read once the reader has ended: serials due, kept ones missing, removed
    // ones received, the first fault.
    uint64_t due[2] = {};
    uint64_t keptMissing = 0;
    uint64_t removedReceived = 0;
    std::string fault;
    auto check = [&](const uint8_t* packet) {
        const uint16_t pid = Pid(packet);
        const int kept = pid == kPid[1];
        if (!kept && pid != kPid[0]) return;
        uint64_t serial = 0;
        for (int b = 0; b < 8; ++b)
            serial = (serial << 8) | packet[180 + b];
        const bool gap = serial > due[kept] && kept && !stalls;
        if ((serial < due[kept] || gap) && fault.empty()) {
            fault = "PID " + std::to_string(pid) + ": serial " + std::to_string(serial) +
                    " where " + std::to_string(due[kept]) + " was due";
        }
        if (kept) keptMissing += serial - std::min(serial, due[kept]);
        removedReceived += !kept;
        due[kept] = serial + 1;
    };
    std::jthread reader([&](std::stop_token stop) {
        std::mt19937 random(kSeed + 1);
        Bytes data(size_t{25920} * 188);
        while (!stop.stop_requested()) {
            const uint32_t pace = random() % 4;
            if (pace > 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 8000));
            if (stalls && random() % 64 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300 + random() % 700));
            }
            uint32_t fill = 0;
            uint32_t contiguous = 0;
            output.GetFillCount(&fill, &contiguous);
            // Sometimes only a part of what waits.
            const uint32_t n = pace == 3 && fill > 1 ? 1 + random() % fill : fill;
            if (n == 0 || !output.Read(data.data(), n * 188)) continue;
            for (uint32_t i = 0; i < n; ++i)
                check(&data[size_t{i} * 188]);
            received += n;
        }
    });
    // The lock stands for the API's, which keeps the calls apart from the
    // engine's stop and start.
    std::mutex apiLock;
    std::atomic<uint64_t> switches{0};
    uint64_t filtersTaken = 0;
    std::jthread switcher([&](std::stop_token stop) {
        std::mt19937 random(kSeed + 2);
        FILTERED_PROGRAM list[] = {1, 0, 0x101, 0};  // program 2's PMT PID
        while (!stop.stop_requested()) {
            std::this_thread::sleep_for(std::chrono::microseconds(200 + random() % 2801));
            std::lock_guard<std::mutex> hold(apiLock);
            const uint32_t action = random() % 4;
            if (action < 2) filtersTaken += engine.SetFilteredProgram(action == 0 ? 1 : 0, list);
            if (action == 2) engine.SetNitInformation(TestNit());
            if (action == 3) engine.DisableNitReplace();
            ++switches;
        }
    });

    // Feeds for one phase, at most `inFlight` packets not yet read.
    std::mt19937 random(kSeed);
    auto feed = [&](const std::string& path, uint64_t inFlight) {
        const uint64_t switchesDue = switches + kSwitchesPerPhase;
        const uint64_t fedDue = fed + 2 * kSampleEvery;
        uint64_t lastSize = 0;
        uint64_t nextSample = fed + kSampleEvery;
        auto switchSeen = std::chrono::steady_clock::now();
        for (uint64_t seen = switches; seen < switchesDue || fed < fedDue;) {
            if (seen != switches) {
                seen = switches;
                switchSeen = std::chrono::steady_clock::now();
            }
            ASSERT_LT(std::chrono::steady_clock::now() - switchSeen, test::kHangBound)
                << "hang: the switcher stopped at " << seen << " switches";
            uint32_t free = 0;
            uint32_t contiguous = 0;
            card.GetFreeCount(&free, &contiguous);
            const uint64_t room =
                std::min<uint64_t>(free, inFlight - std::min(inFlight, fed - received));
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(room, 1 + random() % 1632));
            Bytes entries(size_t{n} * 256, 0);
            for (uint32_t i = 0; i < n; ++i, ++fed) {
                uint8_t* packet = &entries[size_t{i} * 256 + 4];
                std::memcpy(packet, source[fed % source.size()].data(), 188);
                const int kept = Pid(packet) == kPid[1];
                if (!kept && Pid(packet) != kPid[0]) continue;
                for (int b = 0; b < 8; ++b)
                    packet[180 + b] = static_cast<uint8_t>(serialsFed[kept] >> (56 - 8 * b));
                ++serialsFed[kept];
            }
            if (n > 0) {
                ASSERT_EQ(card.Write(entries.data(), n * 256), 1u);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(n > 0 ? 20 : 1));
            if (fed < nextSample) continue;
            nextSample += kSampleEvery;
            ASSERT_TRUE(WaitFor([&] { return FileSize(path) > lastSize; }))
                << "the recording stopped growing at " << lastSize << " bytes";
            lastSize = FileSize(path);
        }
    };
    const std::string paths[2] = {temp.File("1.mpg"), temp.File("2.mpg")};
    auto record = [&](const std::string& path) {
        const std::wstring wide(path.begin(), path.end());
        const record::RECORDER_TASK_REQUEST request = {1, 0x200, 0x201, 3, wide.c_str(), 0};
        return engine.StartRecorderTask(&request);
    };

    ASSERT_EQ(record(paths[0]), 0);
    feed(paths[0], 8000);  // below every ring's size
    if (HasFatalFailure()) return;
    // Every packet fed comes out, the last part-chunk too.
    ASSERT_TRUE(WaitFor([&] { return received >= fed; })) << received << " of " << fed;
    EXPECT_EQ(received, fed);
    {
        std::lock_guard<std::mutex> hold(apiLock);
        engine.Stop();
        EXPECT_EQ(engine.RecorderSlotsInUse(), 0u);
        ASSERT_EQ(engine.Start(), 1u);
        ASSERT_EQ(record(paths[1]), 0);
        EXPECT_EQ(engine.RecorderSlotsInUse(), 1u);
    }
    stalls = true;
    feed(paths[1], UINT64_MAX);
    if (HasFatalFailure()) return;
    switcher = {};
    reader = {};
    engine.Stop();
    EXPECT_EQ(engine.RecorderSlotsInUse(), 0u);
    EXPECT_EQ(fault, "");
    EXPECT_LE(keptMissing, engine.SkippedChunks() * 1632);
    // The switches took effect: the filter was on at times and off at others.
    EXPECT_GE(switches, 2 * kSwitchesPerPhase);
    EXPECT_GT(filtersTaken, 0u);
    EXPECT_GT(removedReceived, 0u);
    EXPECT_LT(removedReceived, serialsFed[0]);
    for (const std::string& path : paths)
        EXPECT_GT(FileSize(path), 0u);
}

}  // namespace
}  // namespace velmora::tstest

// Packets per second through section assembly and PAT, PMT and SDT parsing of
// the three-program fixture, beside libdvbpsi doing the same when it is
// installed.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "ts/PsiSiParser.h"

#include "BesidePeers.h"

#ifdef VELMORA_BENCH_DVBPSI
#include <dvbpsi/dvbpsi.h>
// The library's headers rely on these being included first.
#include <dvbpsi/demux.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/sdt.h>
#endif

namespace {

using velmora::ts::CPsiSiParser;

constexpr size_t kPacket = 188;
constexpr uint16_t kPatPid = 0x00;
constexpr uint16_t kSdtPid = 0x11;

const std::vector<uint8_t>& Fixture() {
    static const std::vector<uint8_t> data = [] {
        std::ifstream in(std::string(VELMORA_BENCH_DATA_DIR) + "/psi_three_programs.ts",
                         std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>());
    }();
    return data;
}

uint16_t PidOf(const uint8_t* p) {
    return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
}

void OpenWithAnyFilter(CPsiSiParser& parser, uint16_t pid) {
    velmora::ts::SECTION_FILTER any{};
    any.byDepth = 1;
    parser.OpenPidChannel(pid);
    parser.AddSectionFilter(pid, &any);
}

// What one pass found: programs (PMT PIDs), services of the SDT and
// elementary streams of the PMTs.
struct PassCounts {
    size_t programs = 0, services = 0, streams = 0;
    bool operator==(const PassCounts&) const = default;
};

// One pass of the parser over the fixture: the PAT and SDT from the start,
// each program's PMT once the PAT names it.
PassCounts ParserPass(CPsiSiParser& parser, std::vector<uint8_t>& section) {
    const auto& ts = Fixture();
    parser.Reset();
    parser.FreeTables();
    OpenWithAnyFilter(parser, kPatPid);
    OpenWithAnyFilter(parser, kSdtPid);
    velmora::ts::PAT_INFORMATION pat;
    velmora::ts::SDT_INFORMATION sdt;
    std::memset(&pat, 0xFF, sizeof(pat));
    std::memset(&sdt, 0xFF, sizeof(sdt));
    std::map<uint16_t, velmora::ts::PMT_INFORMATION> pmts;  // by PMT PID
    for (size_t pos = 0; pos + kPacket <= ts.size(); pos += kPacket) {
        const uint8_t* packet = &ts[pos];
        if (parser.PushPacket(packet) != 1) continue;
        const uint16_t pid = PidOf(packet);
        while (parser.GetSection(section.data(), uint32_t(section.size()), pid) == 1) {
            if (pid == kPatPid) {
                if (parser.ParsePat(&pat, section.data()) != 1) continue;
                for (uint32_t i = 0; i < pat.byProgramCount; ++i) {
                    const auto& p = pat.Program[i];
                    if (p.wProgramNumber == 0 || pmts.count(p.wPid)) continue;
                    velmora::ts::PMT_INFORMATION pmt{};
                    pmt.wPmtPid = p.wPid;
                    pmt.wProgramNumber = p.wProgramNumber;
                    pmt.byVersion = 255;
                    pmts[p.wPid] = pmt;
                    OpenWithAnyFilter(parser, p.wPid);
                }
            } else if (pid == kSdtPid) {
                parser.ParseSdt(&sdt, section.data());
            } else if (auto it = pmts.find(pid); it != pmts.end()) {
                parser.ParsePmt(&it->second, section.data());
            }
        }
    }
    PassCounts counts{pmts.size(), sdt.byServiceCount == 0xFF ? 0u : sdt.byServiceCount, 0};
    for (const auto& [pid, pmt] : pmts)
        counts.streams += pmt.byVersion == 255 ? 0 : pmt.byStreamCount;
    return counts;
}

#ifdef VELMORA_BENCH_DVBPSI
// The decoders by PID, looked up in one table as the parser looks up its
// channels; the PAT and SDT decoders sit at their PIDs.
struct DvbpsiRun {
    std::array<dvbpsi_t*, 8192> decoders{};
    std::vector<uint16_t> pmtPids;
    size_t services = 0;
    size_t streams = 0;
};

void OnPmt(void* data, dvbpsi_pmt_t* pmt) {
    auto* run = static_cast<DvbpsiRun*>(data);
    for (dvbpsi_pmt_es_t* es = pmt->p_first_es; es != nullptr; es = es->p_next)
        ++run->streams;
    dvbpsi_pmt_delete(pmt);
}

void OnPat(void* data, dvbpsi_pat_t* pat) {
    auto* run = static_cast<DvbpsiRun*>(data);
    for (dvbpsi_pat_program_t* p = pat->p_first_program; p != nullptr; p = p->p_next) {
        if (p->i_number == 0 || run->decoders[p->i_pid] != nullptr) continue;
        dvbpsi_t* handle = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
        dvbpsi_pmt_attach(handle, p->i_number, OnPmt, run);
        run->decoders[p->i_pid] = handle;
        run->pmtPids.push_back(p->i_pid);
    }
    dvbpsi_pat_delete(pat);
}

void OnSdt(void* data, dvbpsi_sdt_t* sdt) {
    auto* run = static_cast<DvbpsiRun*>(data);
    for (dvbpsi_sdt_service_t* s = sdt->p_first_service; s != nullptr; s = s->p_next) {
        ++run->services;
    }
    dvbpsi_sdt_delete(sdt);
}

void OnNewSubtable(dvbpsi_t* handle, uint8_t tableId, uint16_t extension, void* data) {
    if (tableId == 0x42) dvbpsi_sdt_attach(handle, tableId, extension, OnSdt, data);
}

// The PAT and SDT decoders of one pass, at their PIDs.
void OpenPass(DvbpsiRun& run) {
    dvbpsi_t* pat = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    dvbpsi_t* sdt = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    dvbpsi_pat_attach(pat, OnPat, &run);
    dvbpsi_AttachDemux(sdt, OnNewSubtable, &run);
    run.decoders[kPatPid] = pat;
    run.decoders[kSdtPid] = sdt;
}

// Deletes the pass's decoders and clears their entries (only those: the
// table is not cleared whole, as the parser's is not).
void ClosePass(DvbpsiRun& run) {
    for (const uint16_t pid : run.pmtPids) {
        dvbpsi_pmt_detach(run.decoders[pid]);
        dvbpsi_delete(run.decoders[pid]);
        run.decoders[pid] = nullptr;
    }
    run.pmtPids.clear();
    dvbpsi_pat_detach(run.decoders[kPatPid]);
    dvbpsi_delete(run.decoders[kPatPid]);
    dvbpsi_DetachDemux(run.decoders[kSdtPid]);
    dvbpsi_delete(run.decoders[kSdtPid]);
    run.decoders[kPatPid] = run.decoders[kSdtPid] = nullptr;
}

// One pass of libdvbpsi over the fixture; its push takes writable packets,
// so it is fed a writable copy made before the timing, in place as the
// parser is fed.
PassCounts DvbpsiPass(DvbpsiRun& run, std::vector<uint8_t>& ts) {
    run.services = run.streams = 0;
    OpenPass(run);
    for (size_t pos = 0; pos + kPacket <= ts.size(); pos += kPacket) {
        uint8_t* packet = &ts[pos];
        if (dvbpsi_t* decoder = run.decoders[PidOf(packet)]) dvbpsi_packet_push(decoder, packet);
    }
    const PassCounts counts{run.pmtPids.size(), run.services, run.streams};
    ClosePass(run);
    return counts;
}
#endif

// Beside libdvbpsi: both must find the same programs, services and streams.
void BM_PsiSiParser(benchmark::State& state) {
    if (Fixture().size() < kPacket) {
        state.SkipWithError("fixture missing");
        return;
    }
    auto parser = std::make_unique<CPsiSiParser>();
    std::vector<uint8_t> section(velmora::ts::kMaxSectionSize);
    PassCounts ours;
    std::vector<velmora::bench::PeerCall> peers;
#ifdef VELMORA_BENCH_DVBPSI
    std::vector<uint8_t> writable = Fixture();
    DvbpsiRun run;
    PassCounts theirs;
    peers.push_back({"dvbpsi",
                     [&] {
                         theirs = DvbpsiPass(run, writable);
                         return true;
                     },
                     [&] { return theirs == ours; }});
#endif
    velmora::bench::RunBesidePeers(
        state,
        [&] {
            ours = ParserPass(*parser, section);
            return ours.programs > 0;
        },
        std::move(peers));
    state.counters["programs"] = double(ours.programs);
    state.counters["services"] = double(ours.services);
    state.counters["streams"] = double(ours.streams);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(Fixture().size() / kPacket));
}
BENCHMARK(BM_PsiSiParser);

}  // namespace

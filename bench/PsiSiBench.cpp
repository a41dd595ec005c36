// Packets per second through section assembly and PAT, PMT and SDT parsing of
// the three-program fixture, against libdvbpsi doing the same when it is
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

void BM_PsiSiParser(benchmark::State& state) {
    const auto& ts = Fixture();
    if (ts.size() < kPacket) {
        state.SkipWithError("fixture missing");
        return;
    }
    auto parser = std::make_unique<CPsiSiParser>();
    std::vector<uint8_t> section(velmora::ts::kMaxSectionSize);
    size_t programs = 0;
    for (auto _ : state) {
        parser->Reset();
        parser->FreeTables();
        OpenWithAnyFilter(*parser, kPatPid);
        OpenWithAnyFilter(*parser, kSdtPid);
        velmora::ts::PAT_INFORMATION pat;
        velmora::ts::SDT_INFORMATION sdt;
        std::memset(&pat, 0xFF, sizeof(pat));
        std::memset(&sdt, 0xFF, sizeof(sdt));
        std::map<uint16_t, velmora::ts::PMT_INFORMATION> pmts;  // by PMT PID
        for (size_t pos = 0; pos + kPacket <= ts.size(); pos += kPacket) {
            const uint8_t* packet = &ts[pos];
            if (parser->PushPacket(packet) != 1) continue;
            const uint16_t pid = PidOf(packet);
            while (parser->GetSection(section.data(), uint32_t(section.size()), pid) == 1) {
                if (pid == kPatPid) {
                    if (parser->ParsePat(&pat, section.data()) != 1) continue;
                    for (uint32_t i = 0; i < pat.byProgramCount; ++i) {
                        const auto& p = pat.Program[i];
                        if (p.wProgramNumber == 0 || pmts.count(p.wPid)) continue;
                        velmora::ts::PMT_INFORMATION pmt{};
                        pmt.wPmtPid = p.wPid;
                        pmt.wProgramNumber = p.wProgramNumber;
                        pmt.byVersion = 255;
                        pmts[p.wPid] = pmt;
                        OpenWithAnyFilter(*parser, p.wPid);
                    }
                } else if (pid == kSdtPid) {
                    parser->ParseSdt(&sdt, section.data());
                } else if (auto it = pmts.find(pid); it != pmts.end()) {
                    parser->ParsePmt(&it->second, section.data());
                }
            }
        }
        programs = pmts.size();
        benchmark::DoNotOptimize(sdt.byServiceCount);
    }
    state.counters["programs"] = double(programs);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(ts.size() / kPacket));
}
BENCHMARK(BM_PsiSiParser);

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

void BM_Dvbpsi(benchmark::State& state) {
    // Its push takes writable packets; it is fed the stream in place, as the
    // parser is, from one writable copy made before the timing.
    std::vector<uint8_t> ts = Fixture();
    if (ts.size() < kPacket) {
        state.SkipWithError("fixture missing");
        return;
    }
    size_t programs = 0;
    DvbpsiRun run;
    for (auto _ : state) {
        OpenPass(run);
        for (size_t pos = 0; pos + kPacket <= ts.size(); pos += kPacket) {
            uint8_t* packet = &ts[pos];
            if (dvbpsi_t* decoder = run.decoders[PidOf(packet)])
                dvbpsi_packet_push(decoder, packet);
        }
        programs = run.pmtPids.size();
        ClosePass(run);
        benchmark::DoNotOptimize(run.services);
    }
    state.counters["programs"] = double(programs);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(ts.size() / kPacket));
}
BENCHMARK(BM_Dvbpsi);
#endif

}  // namespace

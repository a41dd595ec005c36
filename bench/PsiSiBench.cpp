// Packets per second through section assembly and PAT, PMT and SDT parsing of
// the three-program fixture, beside libdvbpsi doing the same when it is
// installed. Each repetition of a table in the fixture carries the table's
// next version, so that both decode every table of the whole input.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ts/Crc32Mpeg.h"
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

uint16_t PidOf(const uint8_t* p) {
    return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
}

// A section's bytes, its header and checksum included.
size_t SectionBytes(const uint8_t* section) {
    return 3 + (((section[1] & 0x0Fu) << 8) | section[2]);
}

// A PAT, PMT or SDT section starting in the packet's payload and ending in
// it; null for any other.
uint8_t* TableSection(uint8_t* packet) {
    // A unit start with payload only; the pointer field and the section's
    // header within the packet.
    if ((packet[1] & 0x40) == 0 || (packet[3] & 0x30) != 0x10 || packet[4] > kPacket - 8)
        return nullptr;
    uint8_t* section = packet + 5 + packet[4];
    const size_t length = SectionBytes(section);
    const uint16_t pid = PidOf(packet);
    const bool table = (section[0] == 0x00 && pid == kPatPid) || section[0] == 0x02 ||
                       (section[0] == 0x42 && pid == kSdtPid);
    return table && length >= 12 && section + length <= packet + kPacket ? section : nullptr;
}

// The fixture with each PAT, PMT and SDT section given the next version of
// its PID's table (its checksum made anew): a decoder that stops early ends
// on an older version, one that skips a table has fewer.
const std::vector<uint8_t>& Input() {
    static const std::vector<uint8_t> data = [] {
        std::ifstream in(std::string(VELMORA_BENCH_DATA_DIR) + "/psi_three_programs.ts",
                         std::ios::binary);
        std::vector<uint8_t> ts((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        std::map<uint16_t, uint8_t> next;  // by PID
        for (size_t pos = 0; pos + kPacket <= ts.size(); pos += kPacket) {
            uint8_t* section = TableSection(&ts[pos]);
            if (section == nullptr) continue;
            const uint8_t version = next[PidOf(&ts[pos])]++ & 0x1F;
            section[5] = static_cast<uint8_t>((section[5] & 0xC1) | (version << 1));
            const auto length = static_cast<uint32_t>(SectionBytes(section) - 4);
            const uint32_t crc = velmora::ts::Crc32Mpeg(section, length);
            for (int i = 0; i < 4; ++i)
                section[length + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        }
        return ts;
    }();
    return data;
}

void OpenWithAnyFilter(CPsiSiParser& parser, uint16_t pid) {
    velmora::ts::SECTION_FILTER any{};
    any.byDepth = 1;
    parser.OpenPidChannel(pid);
    parser.AddSectionFilter(pid, &any);
}

// What one pass decoded: every version of each table in the order they came
// (by table id and program number or transport stream id), the programs of
// the last PAT (PMT PID by program number), the streams of each program's
// last PMT (type and PID) and the services of the last SDT (name by id).
struct PassTables {
    std::map<std::pair<uint8_t, uint16_t>, std::vector<uint8_t>> versions;
    std::map<uint16_t, uint16_t> programs;
    std::map<uint16_t, std::vector<std::pair<uint8_t, uint16_t>>> streams;
    std::map<uint16_t, std::string> services;
    bool operator==(const PassTables&) const = default;
};

std::string ServiceName(const char* name, size_t size) {
    return std::string(name, strnlen(name, size));
}

// One pass of the parser over the input: the PAT and SDT from the start,
// each program's PMT once the PAT names it.
PassTables ParserPass(CPsiSiParser& parser, std::vector<uint8_t>& section) {
    const auto& ts = Input();
    parser.Reset();
    parser.FreeTables();
    OpenWithAnyFilter(parser, kPatPid);
    OpenWithAnyFilter(parser, kSdtPid);
    velmora::ts::PAT_INFORMATION pat;
    velmora::ts::SDT_INFORMATION sdt;
    std::memset(&pat, 0xFF, sizeof(pat));
    std::memset(&sdt, 0xFF, sizeof(sdt));
    std::map<uint16_t, velmora::ts::PMT_INFORMATION> pmts;  // by PMT PID
    PassTables tables;
    for (size_t pos = 0; pos + kPacket <= ts.size(); pos += kPacket) {
        const uint8_t* packet = &ts[pos];
        if (parser.PushPacket(packet) != 1) continue;
        const uint16_t pid = PidOf(packet);
        while (parser.GetSection(section.data(), uint32_t(section.size()), pid) == 1) {
            if (pid == kPatPid) {
                if (parser.ParsePat(&pat, section.data()) != 1) continue;
                tables.versions[{0x00, pat.wTransportStreamId}].push_back(pat.byVersion);
                tables.programs.clear();
                for (uint32_t i = 0; i < pat.byProgramCount; ++i) {
                    const auto& p = pat.Program[i];
                    if (p.wProgramNumber == 0) continue;
                    tables.programs[p.wProgramNumber] = p.wPid;
                    if (pmts.count(p.wPid)) continue;
                    velmora::ts::PMT_INFORMATION pmt{};
                    pmt.wPmtPid = p.wPid;
                    pmt.wProgramNumber = p.wProgramNumber;
                    pmt.byVersion = 255;
                    pmts[p.wPid] = pmt;
                    OpenWithAnyFilter(parser, p.wPid);
                }
            } else if (pid == kSdtPid) {
                if (parser.ParseSdt(&sdt, section.data()) != 1) continue;
                tables.versions[{0x42, sdt.wTransportStreamId}].push_back(sdt.byVersion);
                tables.services.clear();
                for (uint32_t i = 0; i < sdt.byServiceCount; ++i) {
                    const auto& service = sdt.Service[i];
                    tables.services[service.wServiceId] =
                        ServiceName(service.szServiceName, velmora::ts::SDT_SERVICE::kNameSize);
                }
            } else if (auto it = pmts.find(pid); it != pmts.end()) {
                const velmora::ts::PMT_INFORMATION& pmt = it->second;
                if (parser.ParsePmt(&it->second, section.data()) != 1) continue;
                tables.versions[{0x02, pmt.wProgramNumber}].push_back(pmt.byVersion);
                auto& streams = tables.streams[pmt.wProgramNumber];
                streams.clear();
                for (uint32_t i = 0; i < pmt.byStreamCount; ++i)
                    streams.emplace_back(pmt.Stream[i].byStreamType, pmt.Stream[i].wElementaryPid);
            }
        }
    }
    return tables;
}

#ifdef VELMORA_BENCH_DVBPSI
// The decoders by PID, looked up in one table as the parser looks up its
// channels; the PAT and SDT decoders sit at their PIDs.
struct DvbpsiRun {
    std::array<dvbpsi_t*, 8192> decoders{};
    std::vector<uint16_t> pmtPids;
    PassTables tables;
};

void OnPmt(void* data, dvbpsi_pmt_t* pmt) {
    auto* run = static_cast<DvbpsiRun*>(data);
    run->tables.versions[{0x02, pmt->i_program_number}].push_back(pmt->i_version);
    auto& streams = run->tables.streams[pmt->i_program_number];
    streams.clear();
    for (dvbpsi_pmt_es_t* es = pmt->p_first_es; es != nullptr; es = es->p_next)
        streams.emplace_back(es->i_type, es->i_pid);
    dvbpsi_pmt_delete(pmt);
}

void OnPat(void* data, dvbpsi_pat_t* pat) {
    auto* run = static_cast<DvbpsiRun*>(data);
    run->tables.versions[{0x00, pat->i_ts_id}].push_back(pat->i_version);
    run->tables.programs.clear();
    for (dvbpsi_pat_program_t* p = pat->p_first_program; p != nullptr; p = p->p_next) {
        if (p->i_number == 0) continue;
        run->tables.programs[p->i_number] = p->i_pid;
        if (run->decoders[p->i_pid] != nullptr) continue;
        dvbpsi_t* handle = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
        dvbpsi_pmt_attach(handle, p->i_number, OnPmt, run);
        run->decoders[p->i_pid] = handle;
        run->pmtPids.push_back(p->i_pid);
    }
    dvbpsi_pat_delete(pat);
}

// The service name of a service descriptor (tag 0x48: type, provider name
// and service name, each name after its length), cut as the parser cuts it.
std::string DescribedServiceName(const dvbpsi_descriptor_t* d) {
    if (d->i_length < 2) return {};
    const size_t at = 3u + d->p_data[1];  // past the provider's name and the length
    if (at > d->i_length) return {};
    const size_t size = std::min<size_t>(d->p_data[at - 1], d->i_length - at);
    return ServiceName(reinterpret_cast<const char*>(d->p_data + at),
                       std::min<size_t>(size, velmora::ts::SDT_SERVICE::kNameSize - 1));
}

void OnSdt(void* data, dvbpsi_sdt_t* sdt) {
    auto* run = static_cast<DvbpsiRun*>(data);
    run->tables.versions[{0x42, sdt->i_extension}].push_back(sdt->i_version);
    run->tables.services.clear();
    for (dvbpsi_sdt_service_t* s = sdt->p_first_service; s != nullptr; s = s->p_next) {
        std::string& name = run->tables.services[s->i_service_id];
        for (dvbpsi_descriptor_t* d = s->p_first_descriptor; d != nullptr; d = d->p_next) {
            if (d->i_tag == 0x48) name = DescribedServiceName(d);
        }
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

// One pass of libdvbpsi over the input; its push takes writable packets,
// so it is fed a writable copy made before the timing, in place as the
// parser is fed.
PassTables DvbpsiPass(DvbpsiRun& run, std::vector<uint8_t>& ts) {
    run.tables = {};
    OpenPass(run);
    for (size_t pos = 0; pos + kPacket <= ts.size(); pos += kPacket) {
        uint8_t* packet = &ts[pos];
        if (dvbpsi_t* decoder = run.decoders[PidOf(packet)]) dvbpsi_packet_push(decoder, packet);
    }
    ClosePass(run);
    return std::move(run.tables);
}
#endif

// Beside libdvbpsi: both must decode the same tables.
void BM_PsiSiParser(benchmark::State& state) {
    if (Input().size() < kPacket) {
        state.SkipWithError("fixture missing");
        return;
    }
    auto parser = std::make_unique<CPsiSiParser>();
    std::vector<uint8_t> section(velmora::ts::kMaxSectionSize);
    PassTables ours;
    std::vector<velmora::bench::PeerCall> peers;
#ifdef VELMORA_BENCH_DVBPSI
    std::vector<uint8_t> writable = Input();
    DvbpsiRun run;
    PassTables theirs;
    peers.push_back({"dvbpsi",
                     [&] {
                         theirs = DvbpsiPass(run, writable);
                         return true;
                     },
                     [&] { return theirs == ours; }, [&] { theirs = {}; }});
#endif
    velmora::bench::RunBesidePeers(
        state,
        [&] {
            ours = ParserPass(*parser, section);
            return !ours.programs.empty();
        },
        std::move(peers), [&] { ours = {}; });
    size_t streams = 0, tables = 0;
    for (const auto& [program, list] : ours.streams)
        streams += list.size();
    for (const auto& [table, versions] : ours.versions)
        tables += versions.size();
    state.counters["programs"] = double(ours.programs.size());
    state.counters["services"] = double(ours.services.size());
    state.counters["streams"] = double(streams);
    state.counters["tables"] = double(tables);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(Input().size() / kPacket));
}
BENCHMARK(BM_PsiSiParser);

}  // namespace

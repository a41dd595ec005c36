// The program engine's filter side: the remultiplexing thread, the program
// filter and NIT replacement, and the section writers and packetizer.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "card/LogFile.h"
#include "platform/Time.h"
#include "ts/Crc32Mpeg.h"
#include "ts/DvbText.h"
#include "ts/LockedRingBuffer.h"
#include "ts/TsProgramEngine.h"

namespace velmora::ts {

namespace {

constexpr uint16_t kPidPat = 0x00;
constexpr uint16_t kPidNit = 0x10;
constexpr uint16_t kPidSdt = 0x11;
constexpr uint16_t kPidEit = 0x12;
constexpr uint16_t kPidTdt = 0x14;
// Section bytes of a 204-byte packet end where a 188-byte packet ends.
constexpr uint32_t kPayloadEnd = kTsPacketSize;

constexpr uint8_t kNullHeader[4] = {0x47, 0x1F, 0xFF, 0x10};

uint16_t PidOf(const uint8_t* packet) {
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}

void Put16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

void PutCrc(uint8_t* section, uint32_t length) {
    const uint32_t crc = Crc32Mpeg(section, length);
    section[length] = static_cast<uint8_t>(crc >> 24);
    section[length + 1] = static_cast<uint8_t>(crc >> 16);
    section[length + 2] = static_cast<uint8_t>(crc >> 8);
    section[length + 3] = static_cast<uint8_t>(crc);
}

// The section_length field once `total` bytes (CRC included) are written.
void PutSectionLength(uint8_t* section, uint32_t total, uint8_t high) {
    const uint32_t length = total - 3;
    section[1] = static_cast<uint8_t>(high | ((length >> 8) & 0x0F));
    section[2] = static_cast<uint8_t>(length);
}

uint32_t NameLength(const char* name, uint32_t limit) {
    uint32_t length = 0;
    while (length < limit && name[length] != 0)
        ++length;
    return length;
}

// `digits` decimal digits of value, most significant first, as packed BCD
// nibbles starting at the high nibble of at[0].
void PutBcd(uint8_t* at, uint32_t value, uint32_t digits) {
    for (uint32_t i = digits; i-- > 0;) {
        const uint8_t digit = static_cast<uint8_t>(value % 10);
        value /= 10;
        uint8_t& byte = at[i / 2];
        byte = (i % 2) ? static_cast<uint8_t>((byte & 0xF0) | digit)
                       : static_cast<uint8_t>((byte & 0x0F) | (digit << 4));
    }
}

bool Contains(const std::vector<uint16_t>& list, uint16_t pid) {
    return std::find(list.begin(), list.end(), pid) != list.end();
}

constexpr uint32_t kMaxNitName = 128;
constexpr uint32_t kMaxFrequencyKhz = 9999999;
constexpr uint32_t kMaxSymbolRate = 999999;

// The whole NIT section of a block; 0 when it would not fit `capacity`.
uint32_t WriteNitSection(const NIT_INFORMATION& nit, uint8_t* out, uint32_t capacity) {
    std::vector<uint8_t> s(4096 + 64);
    const uint32_t nameLength =
        NameLength(reinterpret_cast<const char*>(nit.byNetworkName), kMaxNitName);
    uint32_t pos = 0;
    s[pos++] = 0x40;
    pos += 2;
    Put16(&s[pos], nit.wNetworkId);
    pos += 2;
    s[pos++] = static_cast<uint8_t>((nit.byVersion << 1) | 0xC1);
    s[pos++] = 0;
    s[pos++] = 0;
    Put16(&s[pos], 0xF000 | (nameLength + 2));
    pos += 2;
    s[pos++] = 0x40;
    s[pos++] = static_cast<uint8_t>(nameLength);
    std::memcpy(&s[pos], nit.byNetworkName, nameLength);
    pos += nameLength;
    const uint32_t loopAt = pos;
    pos += 2;
    for (uint32_t t = 0; t < nit.byTransportStreamCount && t < VELMORA_NIT_MAX_STREAMS; ++t) {
        const NIT_TRANSPORT_STREAM& ts = nit.TransportStream[t];
        const uint32_t services = std::min<uint32_t>(ts.dwServiceCount, VELMORA_NIT_MAX_SERVICES);
        const uint32_t descriptors = 13 + 2 + 3 * services;
        if (pos + 6 + descriptors + 4 > s.size()) return 0;
        Put16(&s[pos], ts.wTransportStreamId);
        Put16(&s[pos + 2], ts.wOriginalNetworkId);
        Put16(&s[pos + 4], descriptors & 0x0FFF);
        pos += 6;
        s[pos++] = 0x44;
        s[pos++] = 11;
        std::memset(&s[pos], 0, 11);
        PutBcd(&s[pos], (ts.dwFrequencyKhz % 10000000) * 10, 8);
        s[pos + 4] = 0xFF;
        s[pos + 5] = static_cast<uint8_t>(0xF0 | (ts.wFecOuter & 0x0F));
        s[pos + 6] = ts.dwModulation >= 1 && ts.dwModulation <= 5
                         ? static_cast<uint8_t>(ts.dwModulation)
                         : 0;
        PutBcd(&s[pos + 7], (ts.dwSymbolRateKsps % 1000000) * 10, 7);
        s[pos + 10] = static_cast<uint8_t>((s[pos + 10] & 0xF0) | (ts.wFecInner & 0x0F));
        pos += 11;
        s[pos++] = 0x41;
        s[pos++] = static_cast<uint8_t>(3 * services);
        for (uint32_t k = 0; k < services; ++k) {
            Put16(&s[pos], ts.Service[k].dwServiceId);
            s[pos + 2] = static_cast<uint8_t>(ts.Service[k].wServiceType);
            pos += 3;
        }
    }
    Put16(&s[loopAt], 0xF000 | ((pos - loopAt - 2) & 0x0FFF));
    PutSectionLength(s.data(), pos + 4, 0xF0);
    PutCrc(s.data(), pos);
    pos += 4;
    if (pos > capacity) return 0;
    std::memcpy(out, s.data(), pos);
    return pos;
}

}  // namespace

// --- Filter and NIT control -------------------------------------------------

uint32_t CTsProgramEngine::SetFilteredProgram(int32_t count, const FILTERED_PROGRAM* pList) {
    std::lock_guard<platform::CCriticalSection> lock(m_FilterLock);
    // A filter that is on stays as it is: the application turns it off first.
    if (count > 0 && pList != nullptr && m_bFilterOn && m_bFilterListGiven) {
        if (m_pLog) {
            m_pLog->WriteLog(
                L"TsCaptureSetFilteredProgram: a filter is on; turn it off (count 0) before "
                L"setting another");
        }
        return 0;
    }
    // The output tables are made from the analysed ones: before they are all
    // there a filter would remove nothing, or every program.
    if (count > 0 && (pList == nullptr || !FilterTablesReady())) {
        if (m_pLog) {
            m_pLog->WriteLog(
                L"TsCaptureSetFilteredProgram: no list, or the stream's PAT, PMTs "
                L"and SDT not analysed yet: filter refused");
        }
        return 0;
    }
    {
        std::lock_guard<platform::CCriticalSection> analysis(m_AnalysisLock);
        m_OutputSdt = m_Sdt;
    }
    if (count > 0) {
        m_FilterPids.clear();
        m_Selected.clear();
        const uint32_t entries = std::min<uint32_t>(static_cast<uint32_t>(count), pList[0]);
        const auto* entry = pList + 1;
        for (uint32_t i = 0; i < entries; ++i, entry += 3) {
            m_FilterPids.push_back(entry[0]);
            if (!Contains(m_Selected, entry[1]) && m_Selected.size() < kMaxSelected) {
                m_Selected.push_back(entry[1]);
            }
        }
        m_pFilterList = pList;
        m_bFilterListGiven = 1;
        m_bTableRewrite = 1;
        m_bFilterPrepared = 0;
        m_bFilterOn = 1;
        StartRemultiplexer();
        return 1;
    }
    ClearProgramFilter();
    return 1;
}

void CTsProgramEngine::DropProgramFilter() {
    std::lock_guard<platform::CCriticalSection> lock(m_FilterLock);
    ClearProgramFilter();
}

void CTsProgramEngine::ClearProgramFilter() {
    m_FilterPids.clear();
    m_Selected.clear();
    m_pFilterList = nullptr;
    m_bFilterListGiven = 0;
    m_bTableRewrite = 0;
    m_bFilterPrepared = 0;
    // NIT replacement alone keeps the stream on the remultiplexer.
    m_bFilterOn = m_bNitReplaceOn.load();
}

bool CTsProgramEngine::FilterTablesReady() {
    std::lock_guard<platform::CCriticalSection> analysis(m_AnalysisLock);
    return m_bPatDone && m_bPmtDone && m_bSdtDone && m_Sdt.byServiceCount >= 1;
}

uint32_t CTsProgramEngine::EnableNitReplace() {
    std::lock_guard<platform::CCriticalSection> lock(m_FilterLock);
    if (!m_bFilterOn) {
        m_bFilterPrepared = 0;
        m_bFilterOn = 1;
    }
    m_bNitReplaceOn = 1;
    StartRemultiplexer();
    return 1;
}

uint32_t CTsProgramEngine::DisableNitReplace() {
    std::lock_guard<platform::CCriticalSection> lock(m_FilterLock);
    if (!m_bNitReplaceOn) return 0;
    m_bNitReplaceOn = 0;
    m_dwNitPending = 0;
    if (!m_bFilterListGiven) m_bFilterOn = 0;
    return 1;
}

uint32_t CTsProgramEngine::GetNitInformation(NIT_INFORMATION* pNit, uint32_t) {
    return GetAnalysedNit(pNit);
}

uint32_t CTsProgramEngine::CheckNitBlock(const NIT_INFORMATION& nit) {
    // A name of all 128 bytes has no terminator; the analysed NIT gives such
    // names out and the section writer takes them whole.
    if (nit.byTransportStreamCount > VELMORA_NIT_MAX_STREAMS) return 0;
    for (uint32_t t = 0; t < nit.byTransportStreamCount; ++t) {
        const NIT_TRANSPORT_STREAM& ts = nit.TransportStream[t];
        if (ts.dwServiceCount > VELMORA_NIT_MAX_SERVICES || ts.dwFrequencyKhz > kMaxFrequencyKhz ||
            ts.dwSymbolRateKsps > kMaxSymbolRate) {
            return 0;
        }
    }
    uint8_t section[kMaxPacketizedSection];
    return WriteNitSection(nit, section, kMaxPacketizedSection) != 0 ? 1 : 0;
}

uint32_t CTsProgramEngine::SetNitInformation(const NIT_INFORMATION* pNit) {
    if (pNit == nullptr) return 0;
    if (!CheckNitBlock(*pNit)) {
        if (m_pLog) m_pLog->WriteLog(L"TsReplaceNit: NIT block refused");
        return 0;
    }
    {
        std::lock_guard<platform::CCriticalSection> lock(m_FilterLock);
        std::memcpy(m_pReplacementNit.get(), pNit, sizeof(NIT_INFORMATION));
        m_dwNitPending = 0;
    }
    return EnableNitReplace();
}

// --- Remultiplexer ----------------------------------------------------------

void CTsProgramEngine::AddToDropMap(const std::vector<uint16_t>& pids) {
    for (uint16_t pid : pids) {
        if (pid < kMaxPid && pid != kPidPat && pid != kPidSdt) m_DropMap[pid] = 1;
    }
}

void CTsProgramEngine::PrepareFilterTables() {
    std::memset(m_DropMap, 0, sizeof(m_DropMap));
    m_RemovedPcr.clear();
    m_RemovedCa.clear();
    m_RemovedEs.clear();
    std::lock_guard<platform::CCriticalSection> analysis(m_AnalysisLock);
    if (m_Selected.empty()) {
        m_OutputPat = m_Pat;
        m_OutputSdt = m_Sdt;
    } else {
        std::memset(&m_OutputPat, 0, sizeof(m_OutputPat));
        m_OutputPat.wTransportStreamId = m_Pat.wTransportStreamId;
        m_OutputPat.byVersion = m_Pat.byVersion;
        // The PIDs the kept programs use stay, even where a removed program
        // shares them.
        std::vector<uint16_t> kept;
        std::vector<const PMT_INFORMATION*> removed;
        for (uint32_t i = 0; i < m_Pat.byProgramCount; ++i) {
            const PAT_PROGRAM& entry = m_Pat.Program[i];
            const PMT_INFORMATION& pmt = m_Pmt[i];
            if (!Contains(m_Selected, entry.wPid)) {
                m_OutputPat.Program[m_OutputPat.byProgramCount++] = entry;
                m_KeptPmt[i] = pmt;
                kept.push_back(entry.wPid);
                if (entry.wProgramNumber == 0) continue;
                kept.push_back(pmt.wPcrPid);
                for (uint32_t s = 0; s < pmt.byStreamCount && s < PMT_INFORMATION::kMaxStreams;
                     ++s) {
                    kept.push_back(pmt.Stream[s].wElementaryPid);
                }
                for (uint32_t c = 0; c < pmt.byCaCount && c < PMT_INFORMATION::kMaxCaPairs; ++c) {
                    kept.push_back(pmt.Ca[c].wCaPid);
                }
                continue;
            }
            removed.push_back(&pmt);
            for (uint32_t s = 0; s < m_OutputSdt.byServiceCount; ++s) {
                if (m_OutputSdt.Service[s].wServiceId != entry.wProgramNumber) continue;
                std::memmove(&m_OutputSdt.Service[s], &m_OutputSdt.Service[s + 1],
                             (m_OutputSdt.byServiceCount - s - 1) * sizeof(SDT_SERVICE));
                --m_OutputSdt.byServiceCount;
                break;
            }
        }
        auto add = [&](std::vector<uint16_t>& list, uint16_t pid) {
            if (!Contains(kept, pid) && !Contains(list, pid)) list.push_back(pid);
        };
        for (const PMT_INFORMATION* pmt : removed) {
            if (pmt->wProgramNumber == 0) continue;
            add(m_RemovedPcr, pmt->wPcrPid);
            for (uint32_t s = 0; s < pmt->byStreamCount && s < PMT_INFORMATION::kMaxStreams; ++s) {
                add(m_RemovedEs, pmt->Stream[s].wElementaryPid);
            }
            for (uint32_t c = 0; c < pmt->byCaCount && c < PMT_INFORMATION::kMaxCaPairs; ++c) {
                add(m_RemovedCa, pmt->Ca[c].wCaPid);
            }
        }
        std::vector<uint16_t> selected;
        for (uint16_t pid : m_Selected) {
            if (!Contains(kept, pid)) selected.push_back(pid);
        }
        AddToDropMap(selected);
        m_bTableRewrite = 1;
    }
    AddToDropMap(m_FilterPids);
    AddToDropMap(m_RemovedPcr);
    AddToDropMap(m_RemovedCa);
    AddToDropMap(m_RemovedEs);
    m_nSdtIncoming = 0;
    m_bFilterPrepared = 1;
}

uint32_t CTsProgramEngine::NullPacket(uint8_t* packet) const {
    if (P() != 188 && P() != 204) return 0;
    std::memcpy(packet, kNullHeader, sizeof(kNullHeader));
    std::memset(packet + 4, 0xFF, P() - 4);
    return 1;
}

void CTsProgramEngine::ReplaceNitPacket(uint8_t* packet, uint32_t* pass) {
    if (m_dwNitPending == 0) {
        m_dwNitPackets = m_dwNitPending = BuildNitSection(m_pReplacementNit.get());
    }
    // While the NIT cannot be built its packets are dropped.
    if (m_dwNitPending == 0) {
        *pass = 0;
        return;
    }
    std::memcpy(packet, m_SectionPacket[m_dwNitPackets - m_dwNitPending], P());
    --m_dwNitPending;
    *pass = 1;
}

uint32_t CTsProgramEngine::RemultiplexPacket(uint8_t* pPacket) {
    std::lock_guard<platform::CCriticalSection> lock(m_FilterLock);
    return RemultiplexLocked(pPacket);
}

uint32_t CTsProgramEngine::RemultiplexLocked(uint8_t* pPacket) {
    if (!m_bFilterOn) return 1;
    if (!m_bFilterPrepared) PrepareFilterTables();
    const uint16_t pid = PidOf(pPacket);
    if (pid == kPidNit) {
        if (!m_bNitReplaceOn) return 1;
        uint32_t pass = 0;
        ReplaceNitPacket(pPacket, &pass);
        return pass;
    }
    if (m_bTableRewrite) {
        switch (pid) {
            case kPidPat:
                // Only a packet that starts a PAT section can carry the new one.
                if ((pPacket[1] & 0x40) && pPacket[4] == 0 && pPacket[5] == 0x00) {
                    BuildPat(pPacket, m_OutputPat);
                    return 1;
                }
                return NullPacket(pPacket);
            case kPidSdt:
                RewriteSdt(pPacket, m_OutputSdt);
                return 1;
            case kPidEit:
            case kPidTdt:
                return NullPacket(pPacket);
            default:
                break;
        }
    }
    if (pid != 0 && m_DropMap[pid]) return NullPacket(pPacket);
    return 1;
}

uint32_t CTsProgramEngine::RemultiplexThread() {
    // Packets move in batches: one ring transfer each way and one hold of
    // the filter lock per batch.
    constexpr uint32_t kBatch = 512;
    std::vector<uint8_t> batch(size_t{kBatch} * P());
    while (m_bRun) {
        m_bRemultiplexing = true;
        uint32_t fill = 0;
        uint32_t contiguous = 0;
        m_pFilterRing->GetFillCount(&fill, &contiguous);
        if (fill == 0) {
            m_bRemultiplexing = false;
            platform::Sleep(1);
            continue;
        }
        const uint32_t n = std::min(fill, kBatch);
        m_pFilterRing->ReadUnits(batch.data(), n * P(), P(), 0);
        uint32_t out = 0;
        {
            std::lock_guard<platform::CCriticalSection> lock(m_FilterLock);
            for (uint32_t i = 0; i < n; ++i) {
                uint8_t* packet = &batch[size_t{i} * P()];
                if (!RemultiplexLocked(packet)) continue;
                // Dropped packets close up.
                if (out != i) std::memcpy(&batch[size_t{out} * P()], packet, P());
                ++out;
            }
        }
        WriteRemultiplexed(batch.data(), out);
        // Only now is the batch out of the remultiplexer's hands.
        m_qwFilterDone += n;
    }
    return 0;
}

void CTsProgramEngine::WriteRemultiplexed(const uint8_t* packets, uint32_t count) {
    if (count == 0 || m_pOutputRing == nullptr) return;
    uint32_t free = 0;
    uint32_t contiguous = 0;
    m_pOutputRing->GetFreeCount(&free, &contiguous);
    // The remultiplexer waits for the output's reader rather than losing
    // packets; the distribution thread does not wait with it.
    while (free < count && m_bRun) {
        platform::Sleep(1);
        m_pOutputRing->GetFreeCount(&free, &contiguous);
    }
    if (free >= count) m_pOutputRing->Write(packets, count * P());
}

// --- Section writers --------------------------------------------------------

void CTsProgramEngine::BuildPat(uint8_t* pPacket, const PAT_INFORMATION& pat) {
    const uint32_t programs = std::min<uint32_t>(pat.byProgramCount, kMaxPatPrograms);
    std::memset(pPacket + 13, 0xFF, kPayloadEnd - 13);
    uint8_t* loop = pPacket + 13;
    for (uint32_t i = 0; i < programs; ++i, loop += 4) {
        Put16(loop, pat.Program[i].wProgramNumber);
        Put16(loop + 2, 0xE000 | pat.Program[i].wPid);
    }
    const uint32_t length = 4 * programs + 9;
    pPacket[6] = static_cast<uint8_t>((pPacket[6] & 0xF0) | ((length >> 8) & 0x0F));
    pPacket[7] = static_cast<uint8_t>(length);
    PutCrc(pPacket + 5, 4 * programs + 8);
}

uint32_t CTsProgramEngine::BuildSdt(const SDT_INFORMATION& sdt, uint8_t* pBuffer) {
    constexpr uint32_t kLimit = 1024;
    uint8_t* s = pBuffer;
    s[0] = 0x42;
    Put16(s + 3, sdt.wTransportStreamId);
    s[5] = static_cast<uint8_t>((sdt.byVersion << 1) | 0xC1);
    s[6] = 0;
    s[7] = 0;
    Put16(s + 8, sdt.wOriginalNetworkId);
    s[10] = 0xFF;
    uint32_t pos = 11;
    const uint32_t count = std::min<uint32_t>(sdt.byServiceCount, SDT_INFORMATION::kMaxServices);
    for (uint32_t i = 0; i < count; ++i) {
        const SDT_SERVICE& service = sdt.Service[i];
        const uint32_t name = DvbTextLength(service.szServiceName, SDT_SERVICE::kNameSize - 1);
        const uint32_t size = 5 + 5 + name;
        if (pos + size + 4 > kLimit) continue;  // a service that does not fit is left out
        Put16(s + pos, service.wServiceId);
        s[pos + 2] = 0xFF;
        s[pos + 3] = 0x80;
        s[pos + 4] = static_cast<uint8_t>(name + 5);
        s[pos + 5] = 0x48;
        s[pos + 6] = static_cast<uint8_t>(name + 3);
        s[pos + 7] = 1;
        s[pos + 8] = 0;
        s[pos + 9] = static_cast<uint8_t>(name);
        std::memcpy(s + pos + 10, service.szServiceName, name);
        pos += size;
    }
    PutSectionLength(s, pos + 4, 0xF0);
    PutCrc(s, pos);
    return pos + 4;
}

void CTsProgramEngine::RewriteSdt(uint8_t* pPacket, const SDT_INFORMATION& sdt) {
    const bool unitStart = (pPacket[1] & 0x40) != 0;
    if (unitStart && pPacket[4] == 0 && pPacket[5] == 0x42) {
        // A new incoming SDT: the rebuilt one goes out in its packets.
        const int32_t incoming = 3 + (((pPacket[6] & 0x0F) << 8) | pPacket[7]);
        m_nSdtToSend = static_cast<int32_t>(BuildSdt(sdt, m_SdtSection));
        m_nSdtSendPos = 0;
        m_nSdtIncoming = incoming - static_cast<int32_t>(kPayloadEnd - 5);
        std::memset(pPacket + 5, 0xFF, kPayloadEnd - 5);
        const int32_t now = std::min<int32_t>(m_nSdtToSend, kPayloadEnd - 5);
        std::memcpy(pPacket + 5, m_SdtSection, now);
        m_nSdtSendPos = now;
        m_nSdtToSend -= now;
        return;
    }
    if (!unitStart && m_nSdtIncoming > 0) {
        m_nSdtIncoming -= static_cast<int32_t>(kPayloadEnd - 4);
        if (m_nSdtToSend <= 0) return;
        std::memset(pPacket + 4, 0xFF, kPayloadEnd - 4);
        const int32_t now = std::min<int32_t>(m_nSdtToSend, kPayloadEnd - 4);
        std::memcpy(pPacket + 4, m_SdtSection + m_nSdtSendPos, now);
        m_nSdtSendPos += now;
        m_nSdtToSend -= now;
        return;
    }
    if (!unitStart && pPacket[5] == 0x42) NullPacket(pPacket);
}

int32_t CTsProgramEngine::PacketizeSection(const uint8_t* pSection, uint32_t length, uint16_t pid) {
    if (length > kMaxPacketizedSection) return -1;
    uint32_t done = 0;
    int32_t packets = 0;
    while (done < length || packets == 0) {
        uint8_t* packet = m_SectionPacket[packets];
        const bool first = packets == 0;
        m_byContinuity = static_cast<uint8_t>((m_byContinuity + 1) & 0x0F);
        packet[0] = 0x47;
        packet[1] = static_cast<uint8_t>((first ? 0x40 : 0x00) | ((pid >> 8) & 0x1F));
        packet[2] = static_cast<uint8_t>(pid);
        packet[3] = static_cast<uint8_t>(0x10 | m_byContinuity);
        uint32_t at = 4;
        if (first) packet[at++] = 0;
        const uint32_t now = std::min(length - done, kPayloadEnd - at);
        std::memcpy(packet + at, pSection + done, now);
        std::memset(packet + at + now, 0xFF, sizeof(m_SectionPacket[0]) - at - now);
        done += now;
        ++packets;
    }
    return packets;
}

uint32_t CTsProgramEngine::BuildNitSection(const NIT_INFORMATION* pNit) {
    if (pNit == nullptr) return 0;
    uint8_t section[kMaxPacketizedSection];
    const uint32_t length = WriteNitSection(*pNit, section, kMaxPacketizedSection);
    if (length == 0) return 0;
    const int32_t packets = PacketizeSection(section, length, kPidNit);
    return packets > 0 ? static_cast<uint32_t>(packets) : 0;
}

uint32_t CTsProgramEngine::BuildPmt(const PMT_INFORMATION* pPmt) {
    if (pPmt == nullptr) return 0;
    uint8_t s[kMaxPacketizedSection + 64];
    s[0] = 0x02;
    Put16(s + 3, pPmt->wProgramNumber);
    s[5] = static_cast<uint8_t>((pPmt->byVersion << 1) | 0xC1);
    s[6] = 0;
    s[7] = 0;
    Put16(s + 8, 0xE000 | pPmt->wPcrPid);
    const uint32_t ca = std::min<uint32_t>(pPmt->byCaCount, PMT_INFORMATION::kMaxCaPairs);
    Put16(s + 10, 0xF000 | (6 * ca));
    uint32_t pos = 12;
    for (uint32_t c = 0; c < ca; ++c, pos += 6) {
        s[pos] = 9;
        s[pos + 1] = 4;
        Put16(s + pos + 2, pPmt->Ca[c].wCaSystemId);
        Put16(s + pos + 4, 0xE000 | pPmt->Ca[c].wCaPid);
    }
    const uint32_t streams = std::min<uint32_t>(pPmt->byStreamCount, PMT_INFORMATION::kMaxStreams);
    for (uint32_t i = 0; i < streams; ++i) {
        const uint16_t pid = pPmt->Stream[i].wElementaryPid;
        if (Contains(m_FilterPids, pid)) continue;
        s[pos] = pPmt->Stream[i].byStreamType;
        Put16(s + pos + 1, 0xE000 | pid);
        s[pos + 3] = 0xF0;
        s[pos + 4] = 0;
        pos += 5;
    }
    PutSectionLength(s, pos + 4, 0xB0);
    PutCrc(s, pos);
    pos += 4;
    if (pos > kMaxPacketizedSection) return 0;
    const int32_t packets = PacketizeSection(s, pos, pPmt->wPmtPid);
    return packets > 0 ? static_cast<uint32_t>(packets) : 0;
}

int32_t CTsProgramEngine::RewritePcr(uint8_t* pPacket, uint16_t pid, uint32_t packets,
                                     double bitRate) const {
    if (pPacket == nullptr || PidOf(pPacket) != pid || bitRate <= 0.0) return 0;
    if (!(pPacket[3] & 0x20) || pPacket[4] < 7 || !(pPacket[5] & 0x10)) return 0;
    const uint8_t* p = pPacket + 6;
    const uint64_t base = (uint64_t{p[0]} << 25) | (uint64_t{p[1]} << 17) | (uint64_t{p[2]} << 9) |
                          (uint64_t{p[3]} << 1) | (p[4] >> 7);
    const uint64_t extension = ((p[4] & 0x01) << 8) | p[5];
    // The time `packets` packets take at the rate, in 27 MHz ticks.
    const double shift = static_cast<double>(packets) * P() * 8.0 * 27000000.0 / bitRate;
    constexpr uint64_t kWrap = (uint64_t{1} << 33) * 300;
    const double pcr = static_cast<double>(base * 300 + extension) + shift;
    const uint64_t value = static_cast<uint64_t>(pcr) % kWrap;
    const uint64_t newBase = value / 300;
    const uint64_t newExtension = value % 300;
    uint8_t* q = pPacket + 6;
    q[0] = static_cast<uint8_t>(newBase >> 25);
    q[1] = static_cast<uint8_t>(newBase >> 17);
    q[2] = static_cast<uint8_t>(newBase >> 9);
    q[3] = static_cast<uint8_t>(newBase >> 1);
    q[4] = static_cast<uint8_t>(((newBase & 1) << 7) | 0x7E | (newExtension >> 8));
    q[5] = static_cast<uint8_t>(newExtension);
    return 1;
}

}  // namespace velmora::ts

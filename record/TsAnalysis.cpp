#include "record/TsAnalysis.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "av/CpuClass.h"
#include "platform/Trace.h"
#include "record/BitStream.h"
#include "record/MpegVideoInfo.h"
#include "record/VideoParser.h"

namespace velmora::record {

TS_SCAN_STORE g_TsScanStore;

namespace {

constexpr uint32_t kNullPid = 0x1FFF;
constexpr uint32_t kReservedPid = 0x1FEF;
constexpr uint32_t kAtscBasePid = 0x1FFB;
constexpr uint32_t kSectionBufferSize = 1024;
constexpr uint32_t kVideoCollectSize = 1024;

uint32_t PidOf(const uint8_t* packet) {
    return ((packet[1] & 0x1Fu) << 8) | packet[2];
}

// The payload of a packet; false when it has none.
bool PayloadOf(const uint8_t* packet, const uint8_t** payload, uint32_t* length) {
    const uint32_t control = (packet[3] >> 4) & 3;
    uint32_t start = 4;
    if (control & 2) start += 1 + packet[4];
    if (!(control & 1) || start >= kTsPacketSize) return false;
    *payload = packet + start;
    *length = kTsPacketSize - start;
    return true;
}

// The stream kind of an elementary stream type; 0 for one not collected.
uint32_t KindOfStreamType(uint32_t type, bool ac3Descriptor) {
    switch (type) {
        case 0x01:
        case 0x02:
        case 0x80:
            return kKindVideo;
        case 0x81:
            return kKindAc3;
        case 0x06:
            return ac3Descriptor ? static_cast<uint32_t>(kKindAc3) : 0u;
        case 0x0F:
            return kKindAac;
        case 0x04:
            return kKindMpeg2Audio;
        case 0x03:
            return kKindMpeg1Audio;
        default:
            return 0;
    }
}

bool HasDescriptor(const uint8_t* data, uint32_t length, uint8_t tag) {
    for (uint32_t i = 0; i + 2 <= length; i += 2u + data[i + 1]) {
        if (data[i] == tag) return true;
    }
    return false;
}

void AddPidWord(uint16_t* words, uint32_t pid) {
    if (words == nullptr) return;
    for (int i = 0; i < 3; ++i) {
        if (words[i] == pid) return;
        if (words[i] == 0) {
            words[i] = static_cast<uint16_t>(pid);
            return;
        }
    }
}

// The state of one scan.
class CProgramScan {
  public:
    CProgramScan(SCAN_PROGRAM_RECORD* records, int32_t maximum, uint32_t* count)
        : m_pRecords(records), m_nMaximum(maximum), m_pCount(count) {}
    ~CProgramScan() {
        for (uint32_t i = 0; i < m_Table.count; ++i)
            delete[] m_Table.entries[i].buffer;
        FreePidRateLists(&m_Rates);
    }

    void Start();
    void Packet(const uint8_t* packet, int64_t position);
    void Finish();

  private:
    PID_TABLE_ENTRY* Entry(uint32_t pid, uint32_t payloadType, uint32_t kind);
    void Pcr(PID_TABLE_ENTRY* entry, const uint8_t* packet, int64_t position);
    void CollectSections(PID_TABLE_ENTRY* entry, const uint8_t* packet, const uint8_t* payload,
                         uint32_t length);
    void Append(PID_TABLE_ENTRY* entry, const uint8_t* data, uint32_t length);
    void SectionsComplete(PID_TABLE_ENTRY* entry, const uint8_t* packet);
    void Section(PID_TABLE_ENTRY* entry, const uint8_t* section, uint32_t length,
                 const uint8_t* packet);
    void Pat(PID_TABLE_ENTRY* entry, const uint8_t* section, uint32_t length,
             const uint8_t* packet);
    void Pmt(PID_TABLE_ENTRY* entry, const uint8_t* section, uint32_t length,
             const uint8_t* packet);
    void Vct(const uint8_t* section, uint32_t length);
    void CollectVideo(PID_TABLE_ENTRY* entry, bool unitStart, const uint8_t* payload,
                      uint32_t length);
    void ParseVideo(PID_TABLE_ENTRY* entry);
    SCAN_PROGRAM_RECORD* AddRecord(uint32_t program, uint32_t videoPid, uint32_t pmtPid,
                                   uint32_t pcrPid);
    SCAN_PROGRAM_RECORD* FindRecord(uint32_t program);
    void AddAudio(uint32_t program, uint32_t kind, uint32_t pid);
    uint32_t PcrRate(uint32_t pcrPid);

    PID_TABLE m_Table{};
    PID_RATE_LIST m_Rates;
    SCAN_PROGRAM_RECORD* m_pRecords;
    int32_t m_nMaximum;
    uint32_t* m_pCount;
};

PID_TABLE_ENTRY* CProgramScan::Entry(uint32_t pid, uint32_t payloadType, uint32_t kind) {
    PID_TABLE_ENTRY* entry = PidTableAdd(&m_Table, pid);
    if (entry != nullptr && entry->streamKind == 0) {
        entry->payloadType = payloadType;
        entry->streamKind = kind;
    }
    return entry;
}

void CProgramScan::Start() {
    PID_TABLE_ENTRY* e = Entry(kNullPid, kPayloadNone, kKindIgnored);
    e->done = 1;
    e = Entry(kReservedPid, kPayloadNone, kKindIgnored);
    e->done = 1;
    Entry(0, kPayloadSections, kKindPat);
    Entry(kAtscBasePid, kPayloadSections, kKindAtscBase);
}

void CProgramScan::Packet(const uint8_t* packet, int64_t position) {
    PID_TABLE_ENTRY* entry = PidTableAdd(&m_Table, PidOf(packet));
    if (entry == nullptr) return;
    ++entry->packetCount;
    Pcr(entry, packet, position);
    if (entry->done != 0) return;
    const uint8_t* payload = nullptr;
    uint32_t length = 0;
    if (!PayloadOf(packet, &payload, &length)) return;
    if (entry->payloadType == kPayloadSections) {
        CollectSections(entry, packet, payload, length);
    } else if (entry->payloadType == kPayloadPes && entry->streamKind == kKindVideo) {
        CollectVideo(entry, (packet[1] & 0x40) != 0, payload, length);
    }
}

void CProgramScan::Pcr(PID_TABLE_ENTRY* entry, const uint8_t* packet, int64_t position) {
    if (!(packet[3] & 0x20) || packet[4] < 7 || !(packet[5] & 0x10)) return;
    const uint8_t* p = packet + 6;
    entry->pcrBase = (int64_t{p[0]} << 25) | (int64_t{p[1]} << 17) | (int64_t{p[2]} << 9) |
                     (int64_t{p[3]} << 1) | (p[4] >> 7);
    entry->pcrExtension = ((p[4] & 1) << 8) | p[5];
    entry->pcr = entry->pcrBase * 300 + entry->pcrExtension;
    if (entry->pcrFlags & 1) {
        entry->bytesBetweenPcrs = position - entry->lastPcrPosition;
        const int64_t difference = entry->pcr - entry->previousPcr;
        // A repeated PCR or one across the wrap gives no rate.
        if (difference > 0 && entry->bytesBetweenPcrs > 0) {
            const int64_t rate = entry->bytesBetweenPcrs * 27000000 / difference * 8;
            entry->estimatedBitRate = UpdatePidBitRate(entry->pid, &m_Rates, rate);
        }
    }
    entry->pcrFlags |= 1;
    entry->previousPcrBase = entry->pcrBase;
    entry->previousPcr = entry->pcr;
    entry->lastPcrPosition = position;
}

void CProgramScan::Append(PID_TABLE_ENTRY* entry, const uint8_t* data, uint32_t length) {
    const uint32_t room = entry->capacity - entry->length;
    const uint32_t n = std::min(room, length);
    std::memcpy(entry->buffer + entry->length, data, n);
    entry->length += n;
}

void CProgramScan::CollectSections(PID_TABLE_ENTRY* entry, const uint8_t* packet,
                                   const uint8_t* payload, uint32_t length) {
    if (entry->buffer == nullptr) {
        entry->buffer = new uint8_t[kSectionBufferSize];
        entry->capacity = kSectionBufferSize;
    }
    if (packet[1] & 0x40) {
        const uint32_t pointer = payload[0];
        if (pointer + 1 > length) {
            entry->collecting = 0;
            return;
        }
        if (entry->collecting != 0) {
            Append(entry, payload + 1, pointer);
            SectionsComplete(entry, packet);
        }
        entry->collecting = 1;
        entry->length = 0;
        Append(entry, payload + 1 + pointer, length - 1 - pointer);
    } else if (entry->collecting != 0) {
        Append(entry, payload, length);
    } else {
        return;
    }
    SectionsComplete(entry, packet);
}

// Parses every complete section at the head of the collection buffer.
void CProgramScan::SectionsComplete(PID_TABLE_ENTRY* entry, const uint8_t* packet) {
    while (entry->collecting != 0 && entry->length >= 3) {
        if (entry->buffer[0] == 0xFF) {  // stuffing: no further section
            entry->collecting = 0;
            entry->length = 0;
            return;
        }
        const uint32_t total = 3 + (((entry->buffer[1] & 0x0Fu) << 8) | entry->buffer[2]);
        if (total > entry->capacity) {
            DebugPrintf("Error: buffer overflow! PID=0x%02X, Table packet, buffer size = %d\n",
                        entry->pid, static_cast<int>(entry->capacity));
            entry->collecting = 0;
            entry->length = 0;
            return;
        }
        if (entry->length < total) return;
        Section(entry, entry->buffer, total, packet);
        if (entry->done != 0) {
            entry->collecting = 0;
            entry->length = 0;
            return;
        }
        std::memmove(entry->buffer, entry->buffer + total, entry->length - total);
        entry->length -= total;
    }
}

void CProgramScan::Section(PID_TABLE_ENTRY* entry, const uint8_t* section, uint32_t length,
                           const uint8_t* packet) {
    if (length < 12) return;  // shorter than any table parsed here
    switch (entry->streamKind) {
        case kKindPat:
            if (section[0] == 0x00) Pat(entry, section, length, packet);
            break;
        case kKindPmt:
            if (section[0] == 0x02) Pmt(entry, section, length, packet);
            break;
        case kKindAtscBase:
            if (section[0] == 0xC8 || section[0] == 0xC9) Vct(section, length);
            break;
        default:
            break;
    }
}

void CProgramScan::Pat(PID_TABLE_ENTRY* entry, const uint8_t* section, uint32_t length,
                       const uint8_t* packet) {
    TS_SCAN_STORE& store = g_TsScanStore;
    if (store.patStored == 0) {
        std::memcpy(store.patPacket, packet, kTsPacketSize);
        store.patStored = 1;
    }
    for (uint32_t i = 8; i + 4 <= length - 4; i += 4) {
        const uint32_t program = (section[i] << 8) | section[i + 1];
        const uint32_t pid = ((section[i + 2] & 0x1Fu) << 8) | section[i + 3];
        if (program == 0) {
            Entry(pid, kPayloadNone, kKindNetwork);
        } else {
            Entry(pid, kPayloadSections, kKindPmt);
        }
    }
    entry->done = 1;
}

SCAN_PROGRAM_RECORD* CProgramScan::FindRecord(uint32_t program) {
    for (uint32_t i = 0; i < *m_pCount; ++i) {
        if (m_pRecords[i].programNumber == program) return &m_pRecords[i];
    }
    return nullptr;
}

SCAN_PROGRAM_RECORD* CProgramScan::AddRecord(uint32_t program, uint32_t videoPid, uint32_t pmtPid,
                                             uint32_t pcrPid) {
    for (uint32_t i = 0; i < *m_pCount; ++i) {
        SCAN_PROGRAM_RECORD& r = m_pRecords[i];
        if (r.programNumber == program && (r.video & 0xFFFF) == videoPid) return &r;
    }
    if (static_cast<int64_t>(*m_pCount) >= m_nMaximum) return nullptr;
    SCAN_PROGRAM_RECORD& r = m_pRecords[(*m_pCount)++];
    std::memset(&r, 0, sizeof(r));
    std::strcpy(r.name, "NONAME");
    r.majorNumber = *m_pCount - 1;
    r.minorNumber = 1;
    r.video = (kKindVideo << 16) | videoPid;
    r.audio = kNoAudio;
    r.pmtPid = pmtPid;
    r.pcrPid = pcrPid;
    r.programNumber = program & 0xFFFF;
    return &r;
}

void CProgramScan::AddAudio(uint32_t program, uint32_t kind, uint32_t pid) {
    const uint32_t audio = (kind << 16) | pid;
    SCAN_PROGRAM_RECORD* first = nullptr;
    for (uint32_t i = 0; i < *m_pCount; ++i) {
        SCAN_PROGRAM_RECORD& r = m_pRecords[i];
        if (r.programNumber != program) continue;
        if (r.audio == audio) return;  // a repeated table
        if (first == nullptr) first = &r;
    }
    if (first == nullptr) return;
    if (first->audio == kNoAudio) {
        first->audio = audio;
        return;
    }
    if (static_cast<int64_t>(*m_pCount) >= m_nMaximum) return;
    SCAN_PROGRAM_RECORD& copy = m_pRecords[(*m_pCount)++];
    copy = *first;
    uint32_t minor = first->minorNumber;
    for (uint32_t i = 0; i + 1 < *m_pCount; ++i) {
        if (m_pRecords[i].programNumber == program)
            minor = std::max(minor, m_pRecords[i].minorNumber);
    }
    copy.minorNumber = minor + 1;
    copy.audio = audio;
}

void CProgramScan::Pmt(PID_TABLE_ENTRY* entry, const uint8_t* section, uint32_t length,
                       const uint8_t* packet) {
    TS_SCAN_STORE& store = g_TsScanStore;
    bool stored = false;
    for (uint32_t i = 0; i < store.pmtPacketCount; ++i)
        stored |= store.pmtPids[i] == entry->pid;
    if (!stored && store.pmtPacketCount < kMaxStoredPmtPackets) {
        std::memcpy(store.pmtPackets[store.pmtPacketCount], packet, kTsPacketSize);
        store.pmtPids[store.pmtPacketCount++] = entry->pid;
    }
    const uint32_t program = (section[3] << 8) | section[4];
    const uint32_t pcrPid = ((section[8] & 0x1Fu) << 8) | section[9];
    const uint32_t end = length - 4;  // CRC
    const uint32_t first = 12 + (((section[10] & 0x0Fu) << 8) | section[11]);
    // Video first, so that every audio stream finds its program's record.
    uint32_t videoPid = 0x2000;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t i = first; i + 5 <= end;) {
            const uint32_t type = section[i];
            const uint32_t pid = ((section[i + 1] & 0x1Fu) << 8) | section[i + 2];
            const uint32_t infoLength =
                std::min((((section[i + 3] & 0x0Fu) << 8) | section[i + 4]), end - (i + 5));
            const uint32_t kind =
                KindOfStreamType(type, HasDescriptor(section + i + 5, infoLength, 0x6A));
            if (pass == 0 && kind == kKindVideo) {
                PID_TABLE_ENTRY* video = Entry(pid, kPayloadPes, kKindVideo);
                if (video != nullptr && video->buffer == nullptr) {
                    video->buffer = new uint8_t[kVideoCollectSize];
                    video->capacity = kVideoCollectSize;
                }
                AddRecord(program, pid, entry->pid, pcrPid);
                videoPid = pid;
            } else if (pass == 1 && kind != kKindVideo) {
                PID_TABLE_ENTRY* stream = Entry(pid, kind == 0 ? kPayloadNone : kPayloadPes,
                                                kind == 0 ? kKindIgnored : kind);
                if (kind == 0 && stream != nullptr) stream->done = 1;
                if (kind != 0) AddAudio(program, kind, pid);
            }
            i += 5 + infoLength;
        }
    }
    if (pcrPid != videoPid) Entry(pcrPid, kPayloadPes, kKindPcrOnly);
}

void CProgramScan::Vct(const uint8_t* section, uint32_t length) {
    const uint32_t end = length - 4;
    uint32_t channels = section[9];
    uint32_t i = 10;
    for (; channels > 0 && i + 32 <= end; --channels) {
        const uint8_t* c = section + i;
        char name[8] = {};
        for (int k = 0; k < 7; ++k) {
            const uint16_t ch = static_cast<uint16_t>((c[2 * k] << 8) | c[2 * k + 1]);
            name[k] = ch < 0x80 ? static_cast<char>(ch) : '?';
            if (ch == 0) break;
        }
        const uint32_t major = ((c[14] & 0x0Fu) << 6) | (c[15] >> 2);
        const uint32_t minor = ((c[15] & 0x03u) << 8) | c[16];
        const uint32_t program = (c[24] << 8) | c[25];
        const uint32_t descriptorsLength = std::min(((c[30] & 0x03u) << 8) | c[31], end - (i + 32));
        // The service location descriptor: PCR PID and the elements.
        uint32_t pcrPid = 0x1FFF, videoPid = 0x2000;
        std::vector<std::pair<uint32_t, uint32_t>> audio;
        const uint8_t* d = c + 32;
        for (uint32_t k = 0; k + 2 <= descriptorsLength; k += 2u + d[k + 1]) {
            const uint32_t dLength = std::min<uint32_t>(d[k + 1], descriptorsLength - k - 2);
            if (d[k] != 0xA1 || dLength < 3) continue;
            const uint8_t* s = d + k + 2;
            pcrPid = ((s[0] & 0x1Fu) << 8) | s[1];
            for (uint32_t e = 0; e < s[2] && 3 + 6 * e + 6 <= dLength; ++e) {
                const uint8_t* element = s + 3 + 6 * e;
                const uint32_t pid = ((element[1] & 0x1Fu) << 8) | element[2];
                const uint32_t kind = KindOfStreamType(element[0], false);
                if (kind == kKindVideo) {
                    videoPid = pid;
                    PID_TABLE_ENTRY* video = Entry(pid, kPayloadPes, kKindVideo);
                    if (video != nullptr && video->buffer == nullptr) {
                        video->buffer = new uint8_t[kVideoCollectSize];
                        video->capacity = kVideoCollectSize;
                    }
                } else if (kind != 0) {
                    Entry(pid, kPayloadPes, kind);
                    audio.emplace_back(kind, pid);
                }
            }
        }
        SCAN_PROGRAM_RECORD* record = FindRecord(program);
        if (record == nullptr && videoPid != 0x2000)
            record = AddRecord(program, videoPid, 0, pcrPid);
        if (record != nullptr) {
            std::memcpy(record->name, name, sizeof(name));
            record->majorNumber = major;
            record->minorNumber = minor;
            for (const auto& [kind, pid] : audio)
                AddAudio(program, kind, pid);
        }
        i += 32 + descriptorsLength;
    }
}

void CProgramScan::CollectVideo(PID_TABLE_ENTRY* entry, bool unitStart, const uint8_t* payload,
                                uint32_t length) {
    if (entry->buffer == nullptr) return;
    if (unitStart) {
        if (entry->collecting != 0 && entry->length > 0) ParseVideo(entry);
        if (entry->done != 0) return;
        entry->collecting = 1;
        entry->length = 0;
    }
    if (entry->collecting == 0) return;
    Append(entry, payload, length);
    if (entry->length == entry->capacity) {
        ParseVideo(entry);
        entry->collecting = 0;
    }
}

uint32_t CProgramScan::PcrRate(uint32_t pcrPid) {
    PID_TABLE_ENTRY* pcr = PidTableFind(&m_Table, pcrPid);
    return pcr != nullptr ? static_cast<uint32_t>(pcr->estimatedBitRate) : 0;
}

void CProgramScan::ParseVideo(PID_TABLE_ENTRY* entry) {
    const uint8_t* data = entry->buffer;
    bool header = false;
    for (uint32_t i = 0; i + 3 < entry->length && !header; ++i) {
        header = data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xB3;
    }
    if (!header) return;
    MPEG_SEQUENCE_INFO sequence;
    ParseVideoHeaders(data, static_cast<int32_t>(entry->length), &sequence, nullptr);
    if (sequence.marker != 0x1B3) return;
    for (uint32_t i = 0; i < *m_pCount; ++i) {
        SCAN_PROGRAM_RECORD& r = m_pRecords[i];
        if ((r.video & 0xFFFF) != entry->pid) continue;
        r.horizontalSize = sequence.horizontalSize;
        r.verticalSize = sequence.verticalSize;
        r.aspectRatioInformation = sequence.aspectRatioInformation;
        r.frameRateCode = sequence.frameRateCode;
        r.chromaFormat = sequence.chromaFormat;
        r.progressiveSequence = (sequence.flags & kSeqProgressiveSequence) ? 1 : 0;
        r.bitRate = PcrRate(r.pcrPid);
    }
    entry->done = 1;
}

void CProgramScan::Finish() {
    // The estimate has grown with every PCR since the video header was read.
    for (uint32_t i = 0; i < *m_pCount; ++i) {
        const uint32_t rate = PcrRate(m_pRecords[i].pcrPid);
        if (rate != 0) m_pRecords[i].bitRate = rate;
    }
}

}  // namespace

bool IsTsSyncByte(uint8_t b) {
    return b == 0x47 || b == 0x72 || b == 0x29;
}

void DebugPrintf(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    platform::OutputDebugString(line);
}

PID_TABLE_ENTRY* PidTableFind(PID_TABLE* table, uint32_t pid) {
    if (table == nullptr) return nullptr;
    for (uint32_t i = 0; i < std::min(table->count, kPidTableSize); ++i) {
        if (table->entries[i].pid == pid) return &table->entries[i];
    }
    return nullptr;
}

PID_TABLE_ENTRY* PidTableAdd(PID_TABLE* table, uint32_t pid) {
    PID_TABLE_ENTRY* entry = PidTableFind(table, pid);
    if (entry != nullptr || table == nullptr || table->count >= kPidTableSize) return entry;
    entry = &table->entries[table->count++];
    std::memset(entry, 0, sizeof(*entry));
    entry->pid = pid;
    entry->mark = -1;
    return entry;
}

PID_TABLE_ENTRY* PidTableFindByKind(PID_TABLE* table, uint32_t kind) {
    if (table == nullptr) return nullptr;
    for (uint32_t i = 0; i < std::min(table->count, kPidTableSize); ++i) {
        if (table->entries[i].streamKind == kind) return &table->entries[i];
    }
    return nullptr;
}

int32_t FindTsSyncOffset(const uint8_t* buffer, int32_t length) {
    if (buffer == nullptr) return static_cast<int32_t>(kTsPacketSize);
    for (int32_t offset = 0; offset < static_cast<int32_t>(kTsPacketSize) && offset < length;
         ++offset) {
        bool all = true;
        for (int32_t i = offset; i < length && all; i += kTsPacketSize)
            all = IsTsSyncByte(buffer[i]);
        if (all) return offset;
    }
    return static_cast<int32_t>(kTsPacketSize);
}

int32_t SeekToTsSync(CBufferedFile* file) {
    if (file == nullptr) return 0;
    const int64_t here = CBufferedFile::Tell(file);
    uint8_t bytes[kSyncSearchBytes];
    const uint32_t got = CBufferedFile::Read(bytes, 1, kSyncSearchBytes, file);
    int32_t offset = FindTsSyncOffset(bytes, static_cast<int32_t>(got));
    if (offset == static_cast<int32_t>(kTsPacketSize)) offset = 0;
    CBufferedFile::Seek(file, here + offset, 0);
    return offset;
}

int64_t UpdatePidBitRate(uint32_t pid, PID_RATE_LIST* list, int64_t sample) {
    if (list == nullptr) return 0;
    auto node = std::find_if(list->begin(), list->end(), [pid](const PID_RATE_NODE& n) {
        return n.pid == static_cast<int32_t>(pid);
    });
    if (node == list->end()) {
        list->push_back(PID_RATE_NODE{});
        node = list->end() - 1;
        node->pid = static_cast<int32_t>(pid);
    }
    auto& samples = node->samples;
    samples.insert(std::upper_bound(samples.begin(), samples.end(), sample, std::greater<>()),
                   sample);
    const int64_t largest = samples.front();
    if (largest != 0) {
        double weighted = 0, weights = 0;
        for (int64_t s : samples) {
            const double weight = static_cast<double>(s) / static_cast<double>(largest);
            weighted += static_cast<double>(static_cast<int64_t>(static_cast<double>(s) * weight));
            weights += weight;
        }
        if (weights != 0) node->estimate = static_cast<int64_t>(weighted / weights);
    }
    return node->estimate;
}

void FreePidRateLists(PID_RATE_LIST* list) {
    if (list != nullptr) list->clear();
}

int32_t ScanPrograms(const uint8_t* buffer, int32_t length, int32_t maximumRecords,
                     SCAN_PROGRAM_RECORD* records, uint32_t* recordCount, uint16_t* pidWords,
                     void* /*unused*/) {
    if (recordCount != nullptr) *recordCount = 0;
    if (buffer == nullptr || records == nullptr || recordCount == nullptr || maximumRecords <= 0) {
        return 0;
    }
    std::memset(records, 0, sizeof(SCAN_PROGRAM_RECORD) * static_cast<size_t>(maximumRecords));
    TS_SCAN_STORE& store = g_TsScanStore;
    store.patStored = 0;
    store.pmtPacketCount = 0;
    if (length < static_cast<int32_t>(kTsPacketSize)) return 1;

    auto scan = std::make_unique<CProgramScan>(records, maximumRecords, recordCount);
    scan->Start();
    int32_t start = FindTsSyncOffset(buffer, std::min<int32_t>(length, kSyncSearchBytes));
    if (start == static_cast<int32_t>(kTsPacketSize)) start = 0;
    for (int64_t at = int64_t{start} + kTsPacketSize; at + kTsPacketSize <= length;
         at += kTsPacketSize) {
        const uint8_t* packet = buffer + at;
        if (!IsTsSyncByte(packet[0]) || (packet[1] & 0x80)) continue;
        const uint32_t pid = PidOf(packet);
        if (pid == kNullPid || pid == kReservedPid) {
            AddPidWord(pidWords, pid);
            continue;
        }
        if (pid == kAtscBasePid) AddPidWord(pidWords, pid);
        scan->Packet(packet, at);
    }
    scan->Finish();
    return 1;
}

uint32_t SkipDescriptor() {
    const uint32_t tag = GetBits(8);
    const uint32_t length = GetBits(8);
    DebugPrintf("\t\tdescriptor_tag=0x%02X, descriptor_length=%u\n", tag, length);
    if (tag == 0x81 && length >= 3) {
        DebugPrintf("\t\tsample_rate_code=%u\n", GetBits(3));
        DebugPrintf("\t\tbsid=%u\n", GetBits(5));
        DebugPrintf("\t\tbit_rate_code=%u\n", GetBits(6));
        DebugPrintf("\t\tsurround_mode=%u\n", GetBits(2));
        DebugPrintf("\t\tbsmod=%u\n", GetBits(3));
        DebugPrintf("\t\tnum_channels=%u\n", GetBits(4));
        DebugPrintf("\t\tfull_svc=%u\n", GetBits(1));
        SkipBits(static_cast<int32_t>(8 * (length - 3)));
    } else {
        SkipBits(static_cast<int32_t>(8 * length));
    }
    return length;
}

namespace {

uint64_t ReadTimeStamp() {
    const uint64_t high = GetBits(3);
    SkipBits(1);
    const uint64_t middle = GetBits(15);
    SkipBits(1);
    const uint64_t low = GetBits(15);
    SkipBits(1);
    return (high << 30) | (middle << 15) | low;
}

void PrintTimeStamp(const char* name, uint64_t value) {
    DebugPrintf("\t\t%s=%03X%06X, %.4f\n", name, static_cast<unsigned>(value >> 24),
                static_cast<unsigned>(value & 0xFFFFFF), static_cast<double>(value) / 90000.0);
}

}  // namespace

uint32_t ReadPesHeader(uint8_t streamId) {
    const uint32_t packetLength = GetBits(16);
    DebugPrintf("\tPES_packet, stream_id=%0x, PES_packet_length=%d\n", streamId,
                static_cast<int>(packetLength));
    switch (streamId) {
        case 0xBC:
        case 0xBE:
        case 0xBF:
        case 0xF0:
        case 0xF1:
        case 0xF2:
        case 0xF8:
        case 0xFF:
            return packetLength;
        default:
            break;
    }
    SkipBits(2);
    DebugPrintf("\t\tPES_scrambling_control=%d\n", static_cast<int>(GetBits(2)));
    DebugPrintf("\t\tPES_priority=%d\n", static_cast<int>(GetBits(1)));
    DebugPrintf("\t\tdata_alignment_indicator=%d\n", static_cast<int>(GetBits(1)));
    DebugPrintf("\t\tcopyright=%d\n", static_cast<int>(GetBits(1)));
    DebugPrintf("\t\toriginal_or_copy=%d\n", static_cast<int>(GetBits(1)));
    const uint32_t ptsDtsFlags = GetBits(2);
    const uint32_t escrFlag = GetBits(1);
    const uint32_t esRateFlag = GetBits(1);
    DebugPrintf("\t\tPTS_DTS_flags=%d\n", static_cast<int>(ptsDtsFlags));
    DebugPrintf("\t\tESCR_flag=%d\n", static_cast<int>(escrFlag));
    DebugPrintf("\t\tES_rate_flag=%d\n", static_cast<int>(esRateFlag));
    DebugPrintf("\t\tDSM_trick_mode_flag=%d\n", static_cast<int>(GetBits(1)));
    DebugPrintf("\t\tadditional_copy_info_flag=%d\n", static_cast<int>(GetBits(1)));
    DebugPrintf("\t\tPES_CRC_flag=%d\n", static_cast<int>(GetBits(1)));
    DebugPrintf("\t\tPES_extension_flag=%d\n", static_cast<int>(GetBits(1)));
    const uint32_t headerLength = GetBits(8);
    DebugPrintf("\t\tPES_header_data_length=%d\n", static_cast<int>(headerLength));
    const int32_t fieldsStart = g_BitStream.position;
    if (ptsDtsFlags & 2) {
        SkipBits(4);
        PrintTimeStamp("PTS", ReadTimeStamp());
    }
    if (ptsDtsFlags & 1) {
        SkipBits(4);
        PrintTimeStamp("DTS", ReadTimeStamp());
    }
    if (escrFlag != 0) {
        SkipBits(2);
        const uint64_t base = ReadTimeStamp();
        const uint32_t extension = GetBits(9);
        SkipBits(1);
        DebugPrintf("\t\tESCR_base=%llu, ESCR_extension=%u\n",
                    static_cast<unsigned long long>(base), extension);
    }
    if (esRateFlag != 0) {
        SkipBits(1);
        DebugPrintf("\t\tES_rate=%u\n", GetBits(22));
        SkipBits(1);
    }
    // Further fields and stuffing: skip to the end of the header.
    const int32_t consumed = g_BitStream.position - fieldsStart;
    if (consumed < static_cast<int32_t>(8 * headerLength)) {
        SkipBits(static_cast<int32_t>(8 * headerLength) - consumed);
    }
    return packetLength;
}

namespace {

// The PES packets one PID collects during the dump.
struct DUMP_PES {
    uint32_t pid;
    uint32_t kind;
    std::vector<uint8_t> data;
    size_t capacity;
};

void DumpAdaptationField(const uint8_t* packet) {
    const uint32_t length = packet[4];
    DebugPrintf("\tAdaptation header, PID = 0x%x\n", PidOf(packet));
    DebugPrintf("{\tadaptation_field_length = %d\n", static_cast<int>(length));
    if (length == 0 || 5 + length > kTsPacketSize) return;
    const uint8_t flags = packet[5];
    DebugPrintf("\tdiscontinuity_indicator = %d\n", (flags >> 7) & 1);
    DebugPrintf("\trandom_access_indicator = %d\n", (flags >> 6) & 1);
    DebugPrintf("\telementary_stream_priority_indicator = %d\n", (flags >> 5) & 1);
    DebugPrintf("\tPCR_flag = %d\n", (flags >> 4) & 1);
    DebugPrintf("\tOPCR_flag = %d\n", (flags >> 3) & 1);
    DebugPrintf("\tsplicing_point_flag = %d\n", (flags >> 2) & 1);
    DebugPrintf("\ttransport_private_data_flag = %d\n", (flags >> 1) & 1);
    DebugPrintf("\tadaptation_field_extension_flag = %d\n", flags & 1);
    uint32_t at = 6;
    for (const char* name : {"", "original_"}) {
        const bool present = name[0] == 0 ? (flags & 0x10) : (flags & 0x08);
        if (!present || at + 6 > 5 + length) continue;
        const uint8_t* p = packet + at;
        const uint64_t base = (uint64_t{p[0]} << 25) | (uint64_t{p[1]} << 17) |
                              (uint64_t{p[2]} << 9) | (uint64_t{p[3]} << 1) | (p[4] >> 7);
        const uint32_t extension = ((p[4] & 1u) << 8) | p[5];
        DebugPrintf("\t%sprogram_clock_reference_base = %03X%06X, %.4f\n", name,
                    static_cast<unsigned>(base >> 24), static_cast<unsigned>(base & 0xFFFFFF),
                    static_cast<double>(base) / 90000.0);
        DebugPrintf("\t%sprogram_clock_reference_extension = %d\n", name,
                    static_cast<int>(extension));
        at += 6;
    }
    DebugPrintf("}\n");
}

// A PAT or PMT section in one packet.
void DumpSection(const uint8_t* payload, uint32_t length, std::vector<DUMP_PES>& pes,
                 std::vector<uint32_t>& pmtPids) {
    const uint32_t pointer = payload[0];
    if (1 + pointer + 3 > length) return;
    const uint8_t* s = payload + 1 + pointer;
    const uint32_t available = length - 1 - pointer;
    const uint32_t total = std::min(3 + (((s[1] & 0x0Fu) << 8) | s[2]), available);
    if (total < 12) return;
    const uint32_t end = total - 4;
    InitBitStream(const_cast<uint8_t*>(s), total, 0);
    const uint32_t tableId = GetBits(8);
    DebugPrintf("\ttable_id=0x%02X, section_length=%u\n", tableId, total - 3);
    if (tableId == 0x00) {
        for (uint32_t i = 8; i + 4 <= end; i += 4) {
            const uint32_t program = (s[i] << 8) | s[i + 1];
            const uint32_t pid = ((s[i + 2] & 0x1Fu) << 8) | s[i + 3];
            DebugPrintf("\t\tprogram_number=%u, PID=0x%X\n", program, pid);
            if (program != 0 && std::find(pmtPids.begin(), pmtPids.end(), pid) == pmtPids.end()) {
                pmtPids.push_back(pid);
            }
        }
    } else if (tableId == 0x02) {
        DebugPrintf("\t\tprogram_number=%u, PCR_PID=0x%X\n", (s[3] << 8) | s[4],
                    ((s[8] & 0x1Fu) << 8) | s[9]);
        uint32_t i = 12 + (((s[10] & 0x0Fu) << 8) | s[11]);
        while (i + 5 <= end) {
            const uint32_t type = s[i];
            const uint32_t pid = ((s[i + 1] & 0x1Fu) << 8) | s[i + 2];
            const uint32_t info = std::min(((s[i + 3] & 0x0Fu) << 8) | s[i + 4], end - (i + 5));
            DebugPrintf("\t\tstream_type=0x%02X, elementary_PID=0x%X\n", type, pid);
            InitBitStream(const_cast<uint8_t*>(s + i + 5), info, 0);
            while (GetBitStreamBytes() + 2 <= static_cast<int32_t>(info))
                SkipDescriptor();
            const uint32_t kind = KindOfStreamType(type, HasDescriptor(s + i + 5, info, 0x6A));
            const bool known = std::any_of(pes.begin(), pes.end(),
                                           [pid](const DUMP_PES& p) { return p.pid == pid; });
            if ((kind == kKindVideo || kind == kKindAc3) && !known) {
                pes.push_back(
                    {pid, kind, {}, kind == kKindVideo ? size_t{0x100000} : size_t{0x20000}});
            }
            i += 5 + info;
        }
    }
}

void DumpPes(DUMP_PES& p) {
    if (p.data.empty()) return;
    if (p.kind == kKindVideo) {
        MPEG_SEQUENCE_INFO sequence;
        const uint8_t intra = ParseVideoHeaders(p.data.data(), static_cast<int32_t>(p.data.size()),
                                                &sequence, nullptr);
        if (sequence.marker == 0x1B3) {
            DebugPrintf("\t\tsequence: %ux%u, aspect %u, frame_rate_code %u\n",
                        sequence.horizontalSize, sequence.verticalSize,
                        sequence.aspectRatioInformation, sequence.frameRateCode);
        }
        if (intra != 0) DebugPrintf("\t\tI picture\n");
    } else {
        uint32_t sync[3];
        FindAc3SyncWord(p.data.data(), static_cast<int32_t>(p.data.size()), sync, nullptr);
        DebugPrintf("\t\tAC-3 sync word %s\n", sync[0] == 0x0B77 ? "found" : "missing");
    }
    p.data.clear();
}

}  // namespace

void DumpTsFile(const char* path) {
    DebugPrintf("file: %s\n", path != nullptr ? path : "(null)");
    if (path == nullptr) return;
    CBufferedFile* file = CBufferedFile::Open(path, "rb", 0x400000, 0, 0, nullptr);
    if (file == nullptr) {
        DebugPrintf("Couldn't open source file %s!\n", path);
        return;
    }
    const uint64_t started = av::ReadTimeStampCounter();
    SeekToTsSync(file);
    std::vector<uint32_t> pmtPids;
    std::vector<DUMP_PES> pes;
    uint8_t packet[kTsPacketSize];
    while (CBufferedFile::Read(packet, kTsPacketSize, 1, file) == 1) {
        if (!IsTsSyncByte(packet[0])) {
            DebugPrintf("Bad transport packet (no sync byte 0x47)!\n");
            continue;
        }
        const uint32_t pid = PidOf(packet);
        if ((packet[3] & 0x20) && packet[4] > 0) DumpAdaptationField(packet);
        const uint8_t* payload = nullptr;
        uint32_t length = 0;
        if (!PayloadOf(packet, &payload, &length)) continue;
        const bool unitStart = (packet[1] & 0x40) != 0;
        if (unitStart &&
            (pid == 0 || std::find(pmtPids.begin(), pmtPids.end(), pid) != pmtPids.end())) {
            DumpSection(payload, length, pes, pmtPids);
            continue;
        }
        for (DUMP_PES& p : pes) {
            if (p.pid != pid) continue;
            if (unitStart) DumpPes(p);
            if (p.data.size() + length > p.capacity) {
                DebugPrintf("Error: buffer overflow! PID=0x%02X, PES packet, buffer size = %d\n",
                            pid, static_cast<int>(p.capacity));
                p.data.clear();
                continue;
            }
            p.data.insert(p.data.end(), payload, payload + length);
        }
    }
    for (DUMP_PES& p : pes)
        DumpPes(p);
    CBufferedFile::Close(file);
    DebugPrintf("\t\ttime_fileinfo_taken=%lld\n",
                static_cast<long long>(av::ReadTimeStampCounter() - started));
}

}  // namespace velmora::record

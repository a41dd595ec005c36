#include "record/TsExport.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "record/BufferedFile.h"
#include "record/TsAnalysis.h"
#include "ts/Crc32Mpeg.h"

namespace velmora::record {

namespace {

constexpr uint32_t kOutputBufferSize = 0x80000;
constexpr uint32_t kMiB = 1048576;
constexpr uint32_t kProgressRounds = 64;
constexpr uint32_t kPmtPidStep = 16;
constexpr uint32_t kMaxKeptPrograms = 42;     // what one PAT packet holds
constexpr uint32_t kMaxAudioPerProgram = 11;  // P + 4 .. P + 14
constexpr uint32_t kAtscBasePid = 0x1FFB;
constexpr uint32_t kNullPid = 0x1FFF;
constexpr uint32_t kMaxSection = 4096 + 3;
constexpr uint32_t kSearchBytes = 18800;  // 100 packets
constexpr uint32_t kPesCollect = 1024;
constexpr uint32_t kPesLookAt = 513;
const char kListHeader[] = "KarnTV List File.\n";
constexpr uint32_t kListHeaderSize = 26;

uint32_t PacketPid(const uint8_t* p) {
    return ((p[1] & 0x1Fu) << 8) | p[2];
}

void SetPid(uint8_t* p, uint32_t pid) {
    p[1] = static_cast<uint8_t>((p[1] & 0xE0u) | ((pid >> 8) & 0x1Fu));
    p[2] = static_cast<uint8_t>(pid);
}

uint32_t Read12(const uint8_t* p) {
    return ((p[0] & 0x0Fu) << 8) | p[1];
}
uint32_t Read13(const uint8_t* p) {
    return ((p[0] & 0x1Fu) << 8) | p[1];
}

void Write12(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>((p[0] & 0xF0u) | ((value >> 8) & 0x0Fu));
    p[1] = static_cast<uint8_t>(value);
}
void Write13(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>((p[0] & 0xE0u) | ((value >> 8) & 0x1Fu));
    p[1] = static_cast<uint8_t>(value);
}
void Write10(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>((p[0] & 0xFCu) | ((value >> 8) & 0x03u));
    p[1] = static_cast<uint8_t>(value);
}

void WriteCrc(uint8_t* section, uint32_t lengthBeforeCrc) {
    const uint32_t crc = ts::Crc32Mpeg(section, lengthBeforeCrc);
    section[lengthBeforeCrc] = static_cast<uint8_t>(crc >> 24);
    section[lengthBeforeCrc + 1] = static_cast<uint8_t>(crc >> 16);
    section[lengthBeforeCrc + 2] = static_cast<uint8_t>(crc >> 8);
    section[lengthBeforeCrc + 3] = static_cast<uint8_t>(crc);
}

// The section that begins in a packet: its offset in the packet, or -1 when
// the packet starts none or the section does not lie within it.
int32_t SectionInPacket(const uint8_t* packet, bool wholeSection) {
    if ((packet[1] & 0x40u) == 0) return -1;
    const int32_t payload = TsPayloadOffset(packet);
    if (payload < 0) return -1;
    const int32_t section = payload + 1 + packet[payload];
    if (section + 3 > static_cast<int32_t>(kTsPacketSize)) return -1;
    if (wholeSection && section + 3 + static_cast<int32_t>(Read12(packet + section + 1)) >
                            static_cast<int32_t>(kTsPacketSize)) {
        return -1;
    }
    return section;
}

enum class StreamClass { kNone, kVideo, kAudio };

StreamClass ClassOfStreamType(uint32_t type) {
    switch (type) {
        case 0x02:
        case 0x80:
            return StreamClass::kVideo;
        case 0x03:
        case 0x04:
        case 0x06:
        case 0x0F:
        case 0x81:
            return StreamClass::kAudio;
        default:
            return StreamClass::kNone;
    }
}

uint32_t KindOfStreamType(uint32_t type) {
    switch (type) {
        case 0x02:
            return kKindVideo;
        case 0x80:
            return 6;
        case 0x06:
        case 0x81:
            return kKindAc3;
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

bool IsElementaryKind(uint32_t kind) {
    return (kind >= kKindVideo && kind <= kKindMpeg1Audio) || kind == kKindPcrOnly;
}

// Walks the elementary-stream loop of a whole PMT section; false when a
// length points past the section.
template <typename Visit>
bool ForEachPmtEntry(const uint8_t* section, Visit visit) {
    const uint32_t sectionLength = Read12(section + 1);
    if (sectionLength < 13) return false;
    const uint32_t end = 3 + sectionLength - 4;
    uint32_t at = 12 + Read12(section + 10);
    if (at > end) return false;
    while (at < end) {
        if (at + 5 > end) return false;
        const uint32_t infoLength = Read12(section + at + 3);
        if (at + 5 + infoLength > end) return false;
        visit(section + at, 5 + infoLength);
        at += 5 + infoLength;
    }
    return true;
}

class CTsExporter {
  public:
    CTsExporter(CTsFileSet* set, CReadAheadFile* reader, TsExportProgress progress, void* argument)
        : m_pSet(set), m_pReader(reader), m_pProgress(progress), m_pArgument(argument) {}
    ~CTsExporter();

    uint32_t Run(const char* outputPath, uint32_t mode, uint32_t splitSizeMiB,
                 const TS_EXPORT_PID* keptPids, uint32_t keptPidCount, const uint16_t* excludedPids,
                 uint32_t excludedPidCount, uint8_t noSplit, uint8_t nullStuffing,
                 uint32_t pictureHeight, uint8_t patchHeight);

  private:
    bool Fail(const char* format, const char* text);
    void BuildTable(const TS_EXPORT_PID* keptPids, uint32_t keptPidCount,
                    const uint16_t* excludedPids, uint32_t excludedPidCount);
    TS_EXPORT_PID* Record(uint32_t pid);
    TS_EXPORT_PID* AddRecord(uint32_t pid, uint32_t kind);
    bool CheckRenumbering();
    bool OpenOutput();
    bool OpenFirstOutputs(const char* outputPath, uint32_t mode);
    bool Split();
    bool WritePacket(const uint8_t* packet);
    bool WriteStart();
    void Renumber(TS_EXPORT_PID* record, uint8_t* packet);
    bool RewritePat(uint8_t* packet);
    bool RewritePmt(const uint8_t* input, uint8_t* output);
    bool HandleAtsc(const uint8_t* packet);
    bool FinishAtscSection();
    uint32_t RenumberedProgram(uint32_t program);
    bool RewriteVct(const uint8_t* section, uint32_t length, std::vector<uint8_t>& out);
    bool RewriteMgt(const uint8_t* section, uint32_t length, std::vector<uint8_t>& out);
    bool EmitSection(const std::vector<uint8_t>& section);
    bool Dropped(const uint8_t* packet);
    bool ProcessPacket(uint8_t* packet);
    bool ReadPacket(uint8_t* packet, bool* have);
    void MoveToEntry(TS_FILE_ENTRY* entry, uint64_t positionInEntry);
    bool ApplyMarks();
    int32_t ReadFromEntry(uint8_t* destination, uint32_t count);
    bool FlushOutputs();

    CTsFileSet* m_pSet;
    CReadAheadFile* m_pReader;
    TsExportProgress m_pProgress;
    void* m_pArgument;

    std::vector<TS_EXPORT_PID> m_Records;
    int16_t m_Index[8192];
    uint8_t m_bNoSplit = 0;
    uint8_t m_bNullStuffing = 0;
    uint8_t m_bPatchHeight = 0;
    uint32_t m_uPictureHeight = 0;
    uint8_t m_bListMode = 0;

    std::string m_OutputName;
    CBufferedFile* m_pOutput = nullptr;
    CBufferedFile* m_pList = nullptr;
    uint64_t m_ullOutputPosition = 0;
    uint64_t m_ullWritten = 0;
    uint64_t m_ullRead = 0;

    TS_FILE_ENTRY* m_pEntry = nullptr;
    TS_FILE_ENTRY* m_pReaderEntry = nullptr;
    uint64_t m_ullPosition = 0;  // within m_pEntry, on its packet grid
    uint64_t m_ullReaderPosition = 0;
    TS_CUT_MARK* m_pMark = nullptr;
    uint32_t m_uState = kCutInclude;
    uint8_t m_bSplitDue = 0;

    uint8_t m_bPmtsDone = 0;
    std::vector<uint8_t> m_AtscSection;
    uint8_t m_bAtscGathering = 0;
    uint32_t m_uChannelTableLength = 0;
    std::vector<uint8_t> m_PendingMgt;
};

CTsExporter::~CTsExporter() {
    if (m_pOutput != nullptr) CBufferedFile::Close(m_pOutput);
    if (m_pList != nullptr) CBufferedFile::Close(m_pList);
    if (m_pReader != nullptr) m_pReader->Close();
}

bool CTsExporter::Fail(const char* format, const char* text) {
    // No dialog here: the Retry question is answered with Cancel.
    DebugPrintf(format, text);
    return false;
}

TS_EXPORT_PID* CTsExporter::Record(uint32_t pid) {
    const int16_t index = m_Index[pid & 0x1FFFu];
    return index < 0 ? nullptr : &m_Records[static_cast<size_t>(index)];
}

TS_EXPORT_PID* CTsExporter::AddRecord(uint32_t pid, uint32_t kind) {
    TS_EXPORT_PID record{};
    record.pid = static_cast<uint16_t>(pid);
    record.newPid = kUnassignedPid;
    record.kind = kind;
    record.counter = 0xFFFF;
    m_Records.push_back(record);
    m_Index[pid] = static_cast<int16_t>(m_Records.size() - 1);
    return &m_Records.back();
}

void CTsExporter::BuildTable(const TS_EXPORT_PID* keptPids, uint32_t keptPidCount,
                             const uint16_t* excludedPids, uint32_t excludedPidCount) {
    std::memset(m_Index, 0xFF, sizeof(m_Index));
    m_Records.reserve(keptPidCount + excludedPidCount + 2);
    for (uint32_t i = 0; i < keptPidCount; ++i) {
        const uint32_t pid = keptPids[i].pid & 0x1FFFu;
        if (m_Index[pid] >= 0) continue;  // the first record of a PID holds
        m_Records.push_back(keptPids[i]);
        m_Records.back().counterStarted = 0;
        m_Index[pid] = static_cast<int16_t>(m_Records.size() - 1);
    }
    for (uint32_t i = 0; i < excludedPidCount; ++i) {
        const uint32_t pid = excludedPids[i] & 0x1FFFu;
        if (m_Index[pid] >= 0) {
            m_Records[static_cast<size_t>(m_Index[pid])].drop = 1;
        } else {
            AddRecord(pid, 0)->drop = 1;
        }
    }
    // The rewritten tables need counters of their own.
    if (Record(0) == nullptr) AddRecord(0, kKindPat);
    if (Record(kAtscBasePid) == nullptr) AddRecord(kAtscBasePid, kKindAtscBase);
}

// The renumbering gives each program one video PID, eleven audio PIDs and
// one PCR PID below the next program's PMT; refuse what would collide.
bool CTsExporter::CheckRenumbering() {
    uint32_t programs = 0;
    for (const TS_EXPORT_PID& r : m_Records)
        programs += r.kind == kKindPmt && r.drop == 0;
    if (programs > kMaxKeptPrograms) {
        DebugPrintf("Too many programs kept: %u\n", programs);
        return false;
    }
    const TS_SCAN_STORE& store = g_TsScanStore;
    for (uint32_t i = 0; i < store.pmtPacketCount && i < kMaxStoredPmtPackets; ++i) {
        const TS_EXPORT_PID* pmt = Record(store.pmtPids[i]);
        if (pmt == nullptr || pmt->kind != kKindPmt || pmt->drop != 0) continue;
        const uint8_t* packet = store.pmtPackets[i];
        const int32_t section = SectionInPacket(packet, true);
        if (section < 0) continue;
        uint32_t video = 0;
        uint32_t audio = 0;
        ForEachPmtEntry(packet + section, [&](const uint8_t* entry, uint32_t) {
            const TS_EXPORT_PID* r = Record(Read13(entry + 1));
            if (r == nullptr || r->drop != 0) return;
            const StreamClass c = ClassOfStreamType(entry[0]);
            video += c == StreamClass::kVideo;
            audio += c == StreamClass::kAudio;
        });
        if (video > 1 || audio > kMaxAudioPerProgram) {
            DebugPrintf("Too many streams kept in program on PID 0x%04X\n", store.pmtPids[i]);
            return false;
        }
    }
    return true;
}

// Output files are created, never overwritten: an existing file is kept
// untouched and the export ends as on the question's Cancel.
bool CTsExporter::OpenOutput() {
    m_pOutput = CBufferedFile::Open(m_OutputName.c_str(), "wx", kOutputBufferSize, 0, 0, nullptr);
    if (m_pOutput == nullptr) {
        return Fail(CBufferedFile::GetLastError() == EEXIST
                        ? "File already exists!\n%s\nRetry and overwrite anyway?"
                        : "Couldn't open output file\n%s",
                    m_OutputName.c_str());
    }
    m_ullOutputPosition = 0;
    if (m_bListMode != 0) {
        const bool written =
            CBufferedFile::Write(m_OutputName.data(), 1, static_cast<uint32_t>(m_OutputName.size()),
                                 m_pList) == m_OutputName.size() &&
            CBufferedFile::Write("||", 1, 2, m_pList) == 2 && CBufferedFile::Flush(m_pList);
        if (!written) return Fail("Couldn't write to output list file\n%s", m_OutputName.c_str());
    }
    return true;
}

bool CTsExporter::OpenFirstOutputs(const char* outputPath, uint32_t mode) {
    m_OutputName = outputPath;
    m_bListMode = mode == kExportListMode;
    if (m_bListMode != 0) {
        const size_t length = m_OutputName.size();
        if (length >= 4 && strcasecmp(m_OutputName.c_str() + length - 4, ".tls") == 0) {
            m_OutputName.resize(length - 4);
        }
        m_OutputName += "_000.tp";
        // Nor is a list file made for a first output that cannot be.
        struct stat status {};
        if (lstat(m_OutputName.c_str(), &status) == 0) {
            return Fail("File already exists!\n%s\nRetry and overwrite anyway?",
                        m_OutputName.c_str());
        }
        m_pList = CBufferedFile::Open(outputPath, "wx", 4096, 0, 0, nullptr);
        if (m_pList == nullptr) {
            return Fail(CBufferedFile::GetLastError() == EEXIST
                            ? "List file already exists\n%s\nRetry and overwrite anyway?"
                            : "Couldn't open output list file\n%s",
                        outputPath);
        }
        uint8_t header[kListHeaderSize] = {};
        std::memcpy(header, kListHeader, sizeof(kListHeader) - 1);
        if (CBufferedFile::Write(header, 1, kListHeaderSize, m_pList) != kListHeaderSize) {
            return Fail("Couldn't write to output list file\n%s", outputPath);
        }
    }
    return OpenOutput();
}

bool CTsExporter::FlushOutputs() {
    if (m_pOutput != nullptr && !CBufferedFile::Flush(m_pOutput)) {
        return Fail("Couldn't write to output file\n%s", m_OutputName.c_str());
    }
    return true;
}

bool CTsExporter::Split() {
    if (!FlushOutputs()) return false;
    CBufferedFile::Close(m_pOutput);
    m_pOutput = nullptr;
    if (!NextFileNumber(m_OutputName.data())) {
        return Fail("Couldn't open output file\n%s", m_OutputName.c_str());
    }
    return OpenOutput();
}

bool CTsExporter::WritePacket(const uint8_t* packet) {
    if (CBufferedFile::Write(packet, 1, kTsPacketSize, m_pOutput) != kTsPacketSize) {
        return Fail("Couldn't write to output file\n%s", m_OutputName.c_str());
    }
    m_ullOutputPosition += kTsPacketSize;
    m_ullWritten += kTsPacketSize;
    return true;
}

void CTsExporter::Renumber(TS_EXPORT_PID* record, uint8_t* packet) {
    const bool hasPayload = (packet[3] & 0x10u) != 0;
    if (record->counterStarted == 0) {
        record->counterStarted = 1;
        record->counter = 0;
    } else if (hasPayload) {
        record->counter = static_cast<uint16_t>((record->counter + 1) & 0x0Fu);
    }
    packet[3] = static_cast<uint8_t>((packet[3] & 0xF0u) | (record->counter & 0x0Fu));
}

bool CTsExporter::RewritePat(uint8_t* packet) {
    const uint8_t* stored = g_TsScanStore.patPacket;
    const int32_t section = SectionInPacket(stored, false);
    if (g_TsScanStore.patStored == 0 || section < 0) return false;
    uint8_t out[kTsPacketSize];
    std::memset(out, 0xFF, sizeof(out));
    out[0] = 0x47;
    out[1] = 0x40;
    out[2] = 0x00;
    out[3] = 0x10;
    out[4] = 0;  // pointer field
    uint8_t* s = out + 5;
    s[0] = 0x00;
    s[1] = 0xB0;
    s[3] = stored[section + 3];  // transport_stream_id
    s[4] = stored[section + 4];
    s[5] = stored[section + 5];  // version, current_next
    s[6] = 0;
    s[7] = 0;
    uint32_t count = 0;
    for (TS_EXPORT_PID& r : m_Records) {
        if (r.kind != kKindPmt || r.drop != 0 || count == kMaxKeptPrograms) continue;
        ++count;
        r.newPid = static_cast<uint16_t>(kPmtPidStep * count);
        uint8_t* entry = s + 4 + 4 * count;
        entry[0] = static_cast<uint8_t>(count >> 8);
        entry[1] = static_cast<uint8_t>(count);
        entry[2] = static_cast<uint8_t>(0xE0u | (r.newPid >> 8));
        entry[3] = static_cast<uint8_t>(r.newPid);
    }
    const uint32_t sectionLength = 4 * (count + 1) + 5;
    Write12(s + 1, sectionLength);
    WriteCrc(s, sectionLength - 1);
    Renumber(Record(0), out);
    std::memcpy(packet, out, kTsPacketSize);
    return true;
}

bool CTsExporter::RewritePmt(const uint8_t* input, uint8_t* output) {
    TS_EXPORT_PID* pmt = Record(PacketPid(input));
    const int32_t at = SectionInPacket(input, true);
    if (pmt == nullptr || at < 0 || pmt->newPid == kUnassignedPid) return false;
    const uint8_t* in = input + at;
    if (in[0] != 0x02 || Read12(in + 1) < 13 || 12 + Read12(in + 10) + 4 > 3u + Read12(in + 1)) {
        return false;
    }
    const uint32_t p = pmt->newPid;
    const uint32_t programNumber = p / kPmtPidStep;
    uint8_t out[kTsPacketSize];
    std::memset(out, 0xFF, sizeof(out));
    out[0] = 0x47;
    out[1] = 0x40;
    out[2] = 0;
    out[3] = 0x10;
    SetPid(out, p);
    out[4] = 0;
    uint8_t* s = out + 5;
    const uint32_t infoLength = Read12(in + 10);
    std::memcpy(s, in, 12 + infoLength);
    s[3] = static_cast<uint8_t>(programNumber >> 8);
    s[4] = static_cast<uint8_t>(programNumber);
    uint32_t length = 12 + infoLength;
    uint32_t audio = 0;
    bool videoTaken = false;
    const bool whole = ForEachPmtEntry(in, [&](const uint8_t* entry, uint32_t size) {
        TS_EXPORT_PID* r = Record(Read13(entry + 1));
        if (r == nullptr || r->drop != 0) return;
        r->kind = KindOfStreamType(entry[0]);
        const StreamClass c = ClassOfStreamType(entry[0]);
        if (c == StreamClass::kNone || (c == StreamClass::kVideo && videoTaken) ||
            (c == StreamClass::kAudio && audio == kMaxAudioPerProgram)) {
            return;  // no PID of its own to give it
        }
        if (c == StreamClass::kVideo) {
            videoTaken = true;
            r->newPid = static_cast<uint16_t>(p + 1);
        } else if (r->newPid == kUnassignedPid) {
            r->newPid = static_cast<uint16_t>(p + 4 + audio);
        }
        audio += c == StreamClass::kAudio;
        std::memcpy(s + length, entry, size);
        Write13(s + length + 1, r->newPid);
        length += size;
    });
    if (!whole) return false;
    // The PCR PID: a PCR-only PID moves to P + 15, a PCR on a kept stream
    // follows that stream, anything else is taken to be on the video.
    uint32_t pcrPid = p + 1;
    TS_EXPORT_PID* pcr = Record(Read13(in + 8));
    if (pcr != nullptr && pcr->drop == 0) {
        if (pcr->kind == kKindPcrOnly) {
            pcr->newPid = static_cast<uint16_t>(p + 15);
            pcrPid = p + 15;
        } else if (IsElementaryKind(pcr->kind) && pcr->newPid != kUnassignedPid) {
            pcrPid = pcr->newPid;
        }
    }
    Write13(s + 8, pcrPid);
    if (length + 4 + 5 > kTsPacketSize) return false;
    Write12(s + 1, length + 4 - 3);
    WriteCrc(s, length);
    Renumber(pmt, out);
    std::memcpy(output, out, kTsPacketSize);
    m_bPmtsDone = 1;
    for (const TS_EXPORT_PID& r : m_Records) {
        if (r.kind == kKindPmt && r.drop == 0 && r.counterStarted == 0) m_bPmtsDone = 0;
    }
    return true;
}

bool CTsExporter::WriteStart() {
    uint8_t packet[kTsPacketSize];
    for (int i = 0; i < 3; ++i) {
        if (RewritePat(packet) && !WritePacket(packet)) return false;
    }
    const TS_SCAN_STORE& store = g_TsScanStore;
    for (uint32_t i = 0; i < store.pmtPacketCount && i < kMaxStoredPmtPackets; ++i) {
        const TS_EXPORT_PID* r = Record(store.pmtPids[i]);
        if (r == nullptr || r->kind != kKindPmt || r->drop != 0) continue;
        for (int copy = 0; copy < 2; ++copy) {
            if (RewritePmt(store.pmtPackets[i], packet) && !WritePacket(packet)) return false;
        }
    }
    return true;
}

bool CTsExporter::EmitSection(const std::vector<uint8_t>& section) {
    TS_EXPORT_PID* record = Record(kAtscBasePid);
    size_t done = 0;
    bool first = true;
    while (done < section.size()) {
        uint8_t out[kTsPacketSize];
        std::memset(out, 0xFF, sizeof(out));
        out[0] = 0x47;
        out[1] = first ? 0x40 : 0x00;
        out[3] = 0x10;
        SetPid(out, kAtscBasePid);
        uint32_t at = 4;
        if (first) out[at++] = 0;  // pointer field
        const size_t take = std::min<size_t>(kTsPacketSize - at, section.size() - done);
        std::memcpy(out + at, section.data() + done, take);
        done += take;
        first = false;
        Renumber(record, out);
        if (!WritePacket(out)) return false;
    }
    return true;
}

// The PAT numbers the kept programs 1..n by their PMT PIDs 16 x n; a
// program without a kept PMT keeps its number.
uint32_t CTsExporter::RenumberedProgram(uint32_t program) {
    for (const TS_EXPORT_PID& r : m_Records) {
        if (r.kind == kKindPmt && r.drop == 0 && r.newPid != kUnassignedPid &&
            r.programNumber == program) {
            return r.newPid / kPmtPidStep;
        }
    }
    return program;
}

bool CTsExporter::RewriteVct(const uint8_t* in, uint32_t length, std::vector<uint8_t>& out) {
    if (length < 10 + 2 + 4) return false;
    const uint32_t end = length - 4;
    out.assign(in, in + 10);
    uint32_t kept = 0;
    uint32_t at = 10;
    for (uint32_t channel = 0; channel < in[9]; ++channel) {
        if (at + 32 > end) return false;
        const uint8_t* record = in + at;
        const uint32_t program = (record[24] << 8) | record[25];
        const uint32_t descriptorsLength = ((record[30] & 0x03u) << 8) | record[31];
        if (at + 32 + descriptorsLength > end) return false;
        const uint8_t* d = record + 32;
        const uint8_t* dEnd = d + descriptorsLength;
        for (; d + 2 <= dEnd && d + 2 + d[1] <= dEnd; d += 2 + d[1]) {
            if (d[0] != 0xA1 || d[1] < 3) continue;
            const uint32_t pcrPid = Read13(d + 2);
            uint32_t newPcr = kUnassignedPid;
            for (const TS_EXPORT_PID& r : m_Records) {
                if (r.drop != 0 || r.newPid == kUnassignedPid) continue;
                if (r.kind == kKindPcrOnly && r.pid == pcrPid) newPcr = r.newPid;
                if (r.kind == kKindPmt && r.pid + 1u == pcrPid && r.programNumber == program) {
                    newPcr = r.newPid + 1u;
                }
                if ((r.kind == kKindVideo || r.kind == 6) && r.pid == pcrPid &&
                    r.programNumber == program) {
                    newPcr = r.newPid;
                }
            }
            if (newPcr == kUnassignedPid) break;
            const size_t recordAt = out.size();
            out.insert(out.end(), record, record + 32);
            const uint32_t newProgram = RenumberedProgram(program);
            out[recordAt + 24] = static_cast<uint8_t>(newProgram >> 8);
            out[recordAt + 25] = static_cast<uint8_t>(newProgram);
            const size_t descriptorAt = out.size();
            out.insert(out.end(), {0xA1, 0, d[2], d[3], 0});
            Write13(out.data() + descriptorAt + 2, newPcr);
            uint32_t elements = 0;
            for (uint32_t e = 0; e < d[4] && 3u + 6 * (e + 1) <= d[1]; ++e) {
                const uint8_t* element = d + 5 + 6 * e;
                const TS_EXPORT_PID* r = Record(Read13(element + 1));
                if (r == nullptr || r->drop != 0 || r->newPid == kUnassignedPid) continue;
                const size_t elementAt = out.size();
                out.insert(out.end(), element, element + 6);
                Write13(out.data() + elementAt + 1, r->newPid);
                ++elements;
            }
            out[descriptorAt + 4] = static_cast<uint8_t>(elements);
            out[descriptorAt + 1] = static_cast<uint8_t>(3 + 6 * elements);
            Write10(out.data() + recordAt + 30, 5 + 6 * elements);
            ++kept;
            break;
        }
        at += 32 + descriptorsLength;
    }
    out.push_back(0xFC);  // additional_descriptors_length 0
    out.push_back(0x00);
    out[9] = static_cast<uint8_t>(kept);
    Write12(out.data() + 1, static_cast<uint32_t>(out.size() + 4 - 3));
    out.resize(out.size() + 4);
    WriteCrc(out.data(), static_cast<uint32_t>(out.size() - 4));
    m_uChannelTableLength = static_cast<uint32_t>(out.size());
    return out.size() <= kMaxSection;
}

bool CTsExporter::RewriteMgt(const uint8_t* in, uint32_t length, std::vector<uint8_t>& out) {
    if (length < 11 + 4) return false;
    const uint32_t end = length - 4;
    const uint32_t tables = (in[9] << 8) | in[10];
    uint32_t at = 11;
    for (uint32_t t = 0; t < tables; ++t) {
        if (at + 11 > end) return false;
        const uint32_t type = (in[at] << 8) | in[at + 1];
        const uint32_t descriptorsLength = Read12(in + at + 9);
        if (type <= 3) {
            out.assign(in, in + 11);
            out[9] = 0;
            out[10] = 1;
            out.insert(out.end(), in + at, in + at + 11);
            uint8_t* entry = out.data() + 11;
            if (m_uChannelTableLength != 0) {
                entry[5] = static_cast<uint8_t>(m_uChannelTableLength >> 24);
                entry[6] = static_cast<uint8_t>(m_uChannelTableLength >> 16);
                entry[7] = static_cast<uint8_t>(m_uChannelTableLength >> 8);
                entry[8] = static_cast<uint8_t>(m_uChannelTableLength);
            }
            Write12(entry + 9, 0);
            out.push_back(0xF0);  // descriptors_length 0
            out.push_back(0x00);
            Write12(out.data() + 1, static_cast<uint32_t>(out.size() + 4 - 3));
            out.resize(out.size() + 4);
            WriteCrc(out.data(), static_cast<uint32_t>(out.size() - 4));
            return true;
        }
        at += 11 + descriptorsLength;
    }
    return false;
}

bool CTsExporter::FinishAtscSection() {
    m_bAtscGathering = 0;
    const std::vector<uint8_t>& in = m_AtscSection;
    const auto length = static_cast<uint32_t>(in.size());
    std::vector<uint8_t> out;
    if (in[0] == 0xC7 && m_uChannelTableLength == 0) {
        // The guide names the channel table's length, known once a channel
        // table has been rewritten: until then it waits, and goes out just
        // ahead of that table.
        m_PendingMgt = in;
        return true;
    }
    bool rewritten = false;
    if (in[0] == 0xC8 || in[0] == 0xC9) {
        rewritten = RewriteVct(in.data(), length, out);
        std::vector<uint8_t> guide;
        guide.swap(m_PendingMgt);
        std::vector<uint8_t> guideOut;
        if (rewritten && !guide.empty() &&
            RewriteMgt(guide.data(), static_cast<uint32_t>(guide.size()), guideOut) &&
            !EmitSection(guideOut)) {
            return false;
        }
    }
    if (in[0] == 0xC7) rewritten = RewriteMgt(in.data(), length, out);
    if (!rewritten) return true;  // skipped
    return EmitSection(out);
}

// Gathers an ATSC base-PID section over the packets it spans; the packets
// are consumed and the rewritten section written when it is complete.
bool CTsExporter::HandleAtsc(const uint8_t* packet) {
    const int32_t payload = TsPayloadOffset(packet);
    if (payload < 0) return true;
    const uint8_t* data = packet + payload;
    uint32_t size = kTsPacketSize - static_cast<uint32_t>(payload);
    auto append = [&](const uint8_t* bytes, uint32_t count) -> bool {
        const uint32_t need =
            3 + Read12(m_AtscSection.data() + 1) - static_cast<uint32_t>(m_AtscSection.size());
        const uint32_t take = std::min(count, need);
        m_AtscSection.insert(m_AtscSection.end(), bytes, bytes + take);
        return take == need;
    };
    if ((packet[1] & 0x40u) != 0) {
        const uint32_t pointer = data[0];
        if (pointer + 1 > size) return true;
        if (m_bAtscGathering != 0 && append(data + 1, pointer) && !FinishAtscSection()) {
            return false;
        }
        m_bAtscGathering = 0;
        data += 1 + pointer;
        size -= 1 + pointer;
        if (size < 3 || data[0] == 0xFF) return true;
        m_AtscSection.assign(data, data + 3);
        m_bAtscGathering = 1;
        if (append(data + 3, size - 3)) return FinishAtscSection();
        return true;
    }
    if (m_bAtscGathering != 0 && append(data, size)) return FinishAtscSection();
    return true;
}

bool CTsExporter::Dropped(const uint8_t* packet) {
    if (m_bNullStuffing == 0) return true;
    uint8_t null[kTsPacketSize];
    std::memcpy(null, packet, kTsPacketSize);
    MakeNullPacket(null);
    return WritePacket(null);
}

bool CTsExporter::ProcessPacket(uint8_t* packet) {
    if (!IsTsSyncByte(packet[0])) return Dropped(packet);
    packet[0] = 0x47;
    if ((packet[1] & 0x80u) != 0) return true;  // transport_error_indicator
    const uint32_t pid = PacketPid(packet);
    TS_EXPORT_PID* record = Record(pid);
    if (record != nullptr && record->drop != 0) return Dropped(packet);
    if (pid == 0) {
        const int32_t at = TsPayloadOffset(packet);
        const int32_t stored = TsPayloadOffset(g_TsScanStore.patPacket);
        if (at < 0 || stored < 0 || g_TsScanStore.patStored == 0 ||
            std::memcmp(packet + at, g_TsScanStore.patPacket + stored, 6) != 0) {
            return true;
        }
        return !RewritePat(packet) || WritePacket(packet);
    }
    if (pid == kAtscBasePid) {
        if (m_bPmtsDone == 0) return Dropped(packet);
        const uint64_t before = m_ullWritten;
        if (!HandleAtsc(packet)) return false;
        return m_ullWritten != before || Dropped(packet);
    }
    const uint32_t kind = record != nullptr ? record->kind : 0;
    if (kind == 0) return Dropped(packet);
    if (kind == kKindPmt) {
        const TS_SCAN_STORE& store = g_TsScanStore;
        const int32_t at = SectionInPacket(packet, true);
        for (uint32_t i = 0; at >= 0 && i < store.pmtPacketCount && i < kMaxStoredPmtPackets; ++i) {
            const int32_t storedAt = SectionInPacket(store.pmtPackets[i], true);
            if (store.pmtPids[i] != pid || storedAt < 0) continue;
            const uint8_t* a = packet + at;
            const uint8_t* b = store.pmtPackets[i] + storedAt;
            if (Read12(a + 1) != Read12(b + 1) || a[3] != b[3] || a[4] != b[4]) break;
            uint8_t out[kTsPacketSize];
            if (!RewritePmt(packet, out)) break;
            return WritePacket(out);
        }
        return Dropped(packet);
    }
    if (kind == kKindVideo && m_bPatchHeight != 0 && m_uPictureHeight == 1088) {
        PatchSequenceHeader1088(packet);
    }
    if (IsElementaryKind(kind)) {
        if (record->newPid == kUnassignedPid) return Dropped(packet);
        SetPid(packet, record->newPid);
        Renumber(record, packet);
    }
    return WritePacket(packet);
}

void CTsExporter::MoveToEntry(TS_FILE_ENTRY* entry, uint64_t positionInEntry) {
    if (entry != m_pEntry && m_pReader->IsOpen()) m_pReader->Close();
    m_pEntry = entry;
    if (entry == nullptr) return;
    // Onto the entry's packet grid, rounding up.
    uint64_t position = entry->dataOffset;
    if (positionInEntry > position) {
        position +=
            (positionInEntry - position + kTsPacketSize - 1) / kTsPacketSize * kTsPacketSize;
    }
    m_ullPosition = position;
}

// Passes the marks at or before the input position; false ends the export
// when an exclude runs to the end of the set. A split a mark makes due stays
// due until the next packet is written.
bool CTsExporter::ApplyMarks() {
    for (;;) {
        while (m_pEntry != nullptr && m_ullPosition >= m_pEntry->size) {
            MoveToEntry(m_pEntry->next, 0);
        }
        if (m_pEntry == nullptr) return false;
        const uint64_t global = m_pEntry->startOffset + m_ullPosition;
        while (m_pMark != nullptr &&
               static_cast<int64_t>(m_pMark->entry->startOffset) + m_pMark->position <=
                   static_cast<int64_t>(global)) {
            const uint32_t previous = m_uState;
            m_uState = m_pMark->kind;
            m_pMark = m_pSet->NextMark(m_pMark);
            if (m_uState == kCutIncludeSplit ||
                (m_bNoSplit != 0 && m_uState == kCutInclude && previous == kCutExclude &&
                 m_ullOutputPosition > 0)) {
                m_bSplitDue = 1;
            }
        }
        if (m_uState != kCutExclude) return true;
        if (m_pMark == nullptr) return false;
        MoveToEntry(m_pMark->entry, static_cast<uint64_t>(std::max<int64_t>(m_pMark->position, 0)));
    }
}

// Reads up to count bytes at the position in the current entry; the count
// read (short at the entry's end), -1 on failure.
int32_t CTsExporter::ReadFromEntry(uint8_t* destination, uint32_t count) {
    TS_FILE_ENTRY* entry = m_pEntry;
    if (!m_pReader->IsOpen() || m_pReaderEntry != entry) {
        m_pReader->Close();
        if (!m_pReader->Open(entry->name)) {
            Fail("Couldn't open input file\n%s", entry->name);
            return -1;
        }
        m_pReaderEntry = entry;
        m_ullReaderPosition = ~0ull;
    }
    if (m_ullReaderPosition != m_ullPosition) {
        m_pReader->Seek(m_ullPosition);
        m_ullReaderPosition = m_ullPosition;
    }
    const auto want = static_cast<uint32_t>(std::min<uint64_t>(entry->size - m_ullPosition, count));
    const int32_t got = m_pReader->Read(destination, want);
    if (got < 0) {
        Fail("Error reading input file\n%s", entry->name);
        return -1;
    }
    m_ullRead += static_cast<uint64_t>(got);
    m_ullReaderPosition += static_cast<uint64_t>(got);
    m_ullPosition += static_cast<uint64_t>(got);
    return got;
}

// A packet cut by the end of a file goes on in the files after it. It is
// completed at once, so that the marks behind its start meet the packet after
// it, as in the one file the set was cut from.
bool CTsExporter::ReadPacket(uint8_t* packet, bool* have) {
    *have = false;
    const int32_t got = ReadFromEntry(packet, kTsPacketSize);
    if (got < 0) return false;
    if (got == static_cast<int32_t>(kTsPacketSize)) {
        *have = true;
        return true;
    }
    bool failed = false;
    const auto readStart = [&](TS_FILE_ENTRY* entry, uint8_t* destination, uint32_t count) {
        MoveToEntry(entry, 0);
        m_ullPosition = 0;
        const int32_t rest = ReadFromEntry(destination, count);
        failed = rest != static_cast<int32_t>(count);
        if (failed && rest >= 0) Fail("Error reading input file\n%s", entry->name);
        return !failed;
    };
    TS_FILE_ENTRY* cut = m_pEntry;
    *have = CompleteSharedPacket(cut, static_cast<uint32_t>(got), packet, readStart) != nullptr;
    if (!*have && !failed) MoveToEntry(cut->next, 0);
    return !failed;
}

uint32_t CTsExporter::Run(const char* outputPath, uint32_t mode, uint32_t splitSizeMiB,
                          const TS_EXPORT_PID* keptPids, uint32_t keptPidCount,
                          const uint16_t* excludedPids, uint32_t excludedPidCount, uint8_t noSplit,
                          uint8_t nullStuffing, uint32_t pictureHeight, uint8_t patchHeight) {
    if (m_pSet == nullptr || m_pReader == nullptr || outputPath == nullptr) return 1;
    TS_FILE_ENTRY* first = m_pSet->GetFirstFile();
    if (first == nullptr) {
        DebugPrintf("No input file\n");
        return 1;
    }
    if (noSplit == 0 && splitSizeMiB == 0) {
        DebugPrintf("Split size of 0 MiB\n");
        return 1;
    }
    if ((keptPidCount != 0 && keptPids == nullptr) ||
        (excludedPidCount != 0 && excludedPids == nullptr)) {
        return 1;
    }
    m_bNoSplit = noSplit;
    m_bNullStuffing = nullStuffing;
    m_uPictureHeight = pictureHeight;
    m_bPatchHeight = patchHeight;
    BuildTable(keptPids, keptPidCount, excludedPids, excludedPidCount);
    if (!CheckRenumbering()) return 1;
    if (!OpenFirstOutputs(outputPath, mode) || !WriteStart()) return 1;

    const uint64_t splitBytes = static_cast<uint64_t>(splitSizeMiB) * kMiB;
    m_pMark = m_pSet->NextMark(nullptr);
    MoveToEntry(first, 0);
    uint8_t packet[kTsPacketSize];
    for (uint64_t round = 1;; ++round) {
        if (round % kProgressRounds == 0 && m_pProgress != nullptr) {
            const char* name = m_pEntry != nullptr ? m_pEntry->name : "";
            const uint64_t global = m_pEntry != nullptr ? m_pEntry->startOffset + m_ullPosition : 0;
            if (m_pProgress(name, m_OutputName.c_str(), global, m_ullRead,
                            static_cast<uint64_t>(m_pSet->GetIncludedLength()), m_ullWritten, 0,
                            m_pArgument) == 0) {
                break;
            }
        }
        if (!ApplyMarks()) break;
        bool have = false;
        if (!ReadPacket(packet, &have)) return 1;
        if (!have) continue;
        if (noSplit == 0 && m_ullOutputPosition + kTsPacketSize >= splitBytes) m_bSplitDue = 1;
        if (m_bSplitDue != 0) {
            if (!Split()) return 1;
            m_bSplitDue = 0;
        }
        if (!ProcessPacket(packet)) return 1;
    }
    if (!FlushOutputs()) return 1;
    if (m_pList != nullptr && !CBufferedFile::Flush(m_pList)) {
        Fail("Couldn't write to output list file\n%s", outputPath);
        return 1;
    }
    return 0;
}

// The packet grid of the set: each file's packets lie at its start offset +
// data offset + 188 x n and end within it.
bool FirstPacketAtOrBefore(CTsFileSet* set, uint64_t offset, uint64_t* packet) {
    // The file that holds the byte at offset, not the one that ends there.
    TS_FILE_ENTRY* entry = set->FindFileAt(offset + 1);
    if (entry == nullptr) entry = set->GetLastFile();
    for (; entry != nullptr; entry = entry->previous) {
        const uint64_t first = entry->startOffset + entry->dataOffset;
        const uint64_t end = entry->startOffset + entry->size;
        if (first + kTsPacketSize > end || offset < first) continue;
        const uint64_t limit = std::min(offset, end - kTsPacketSize);
        *packet = first + (limit - first) / kTsPacketSize * kTsPacketSize;
        return true;
    }
    return false;
}

bool NextPacket(CTsFileSet* set, uint64_t current, uint64_t* packet) {
    TS_FILE_ENTRY* entry = set->FindFileAt(current + 1);
    if (entry == nullptr) return false;
    if (current + 2 * kTsPacketSize <= entry->startOffset + entry->size) {
        *packet = current + kTsPacketSize;
        return true;
    }
    for (entry = entry->next; entry != nullptr; entry = entry->next) {
        if (entry->dataOffset + kTsPacketSize <= entry->size) {
            *packet = entry->startOffset + entry->dataOffset;
            return true;
        }
    }
    return false;
}

bool IsPesStartOf(const uint8_t* packet, uint32_t pid) {
    return IsTsSyncByte(packet[0]) && (packet[1] & 0x80u) == 0 && (packet[1] & 0x40u) != 0 &&
           PacketPid(packet) == pid && TsPayloadOffset(packet) >= 0;
}

bool BeginsIntraPicture(const std::vector<uint8_t>& data) {
    for (size_t i = 0; i + 6 <= data.size(); ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
        if (data[i + 3] == 0xB8) return true;
        if (data[i + 3] == 0x00 && ((data[i + 5] >> 3) & 7u) == 1) return true;
    }
    return false;
}

}  // namespace

uint64_t FindIFrameStartAfter(const uint8_t* buffer, uint64_t length, uint64_t bufferStart,
                              CTsFileSet* set, uint64_t offset, uint32_t pid) {
    if (buffer == nullptr || set == nullptr) return kNoOffset;
    CTsFileSetLock guard(set);
    uint64_t at = 0;
    if (!FirstPacketAtOrBefore(set, offset, &at)) return kNoOffset;
    if (at < offset && !NextPacket(set, at, &at)) return kNoOffset;
    const uint64_t bufferEnd = bufferStart + length;
    std::vector<uint8_t> data;
    uint64_t start = kNoOffset;
    bool looked = false;
    for (const uint64_t limit = at + kSearchBytes; at < limit;) {
        if (at < bufferStart || at + kTsPacketSize > bufferEnd) break;
        const uint8_t* packet = buffer + (at - bufferStart);
        const int32_t payload = TsPayloadOffset(packet);
        if (IsTsSyncByte(packet[0]) && PacketPid(packet) == pid && payload >= 0 &&
            (packet[1] & 0x80u) == 0) {
            if ((packet[1] & 0x40u) != 0) {
                if (start != kNoOffset && !looked && BeginsIntraPicture(data)) return start;
                start = at;
                looked = false;
                data.clear();
            }
            if (start != kNoOffset && !looked) {
                const size_t take = std::min<size_t>(kPesCollect - data.size(),
                                                     kTsPacketSize - static_cast<size_t>(payload));
                data.insert(data.end(), packet + payload, packet + payload + take);
                if (data.size() >= kPesLookAt) {
                    if (BeginsIntraPicture(data)) return start;
                    looked = true;
                }
            }
        }
        if (!NextPacket(set, at, &at)) break;
    }
    if (start != kNoOffset && !looked && BeginsIntraPicture(data)) return start;
    return kNoOffset;
}

uint64_t FindIFrameStartBefore(const uint8_t* buffer, uint64_t length, uint64_t bufferStart,
                               CTsFileSet* set, uint64_t offset, uint64_t lowerLimit,
                               uint32_t pid) {
    if (buffer == nullptr || set == nullptr) return kNoOffset;
    CTsFileSetLock guard(set);
    uint64_t at = 0;
    if (!FirstPacketAtOrBefore(set, offset, &at)) return kNoOffset;
    const uint64_t bufferEnd = bufferStart + length;
    while (at >= lowerLimit && at >= bufferStart) {
        if (at + kTsPacketSize <= bufferEnd && IsPesStartOf(buffer + (at - bufferStart), pid) &&
            FindIFrameStartAfter(buffer, length, bufferStart, set, at, pid) == at) {
            return at;
        }
        if (at == 0 || !FirstPacketAtOrBefore(set, at - 1, &at)) break;
    }
    return kNoOffset;
}

int32_t TsPayloadOffset(const uint8_t* packet) {
    switch ((packet[3] >> 4) & 3u) {
        case 1:
            return 4;
        case 3:
            return packet[4] <= 183 ? 5 + packet[4] : -1;
        default:
            return -1;
    }
}

void MakeNullPacket(uint8_t* packet) {
    packet[1] = 0x1F;
    packet[2] = 0xFF;
    packet[3] = 0x10;
    std::memset(packet + 4, 0xFF, kTsPacketSize - 4);
}

bool PatchSequenceHeader1088(uint8_t* packet) {
    for (uint32_t i = 4; i + 7 <= kTsPacketSize; ++i) {
        if (packet[i] != 0 || packet[i + 1] != 0 || packet[i + 2] != 1 || packet[i + 3] != 0xB3) {
            continue;
        }
        // Only a header of 1088 lines; 0x240 (576) shares the low byte.
        if (Read12(packet + i + 5) != 1088) return false;
        packet[i + 6] = 0x38;
        return true;
    }
    return false;
}

bool PmtHasVideoAndAudio(const uint8_t* packet) {
    const int32_t at = SectionInPacket(packet, true);
    if (at < 0 || packet[at] != 0x02) return false;
    bool video = false;
    bool audio = false;
    ForEachPmtEntry(packet + at, [&](const uint8_t* entry, uint32_t) {
        const StreamClass c = ClassOfStreamType(entry[0]);
        video |= c == StreamClass::kVideo;
        audio |= c == StreamClass::kAudio;
    });
    return video && audio;
}

uint32_t ExportTsWithCuts(CTsFileSet* set, const char* outputPath, uint32_t mode,
                          void* /*pidTableParameter*/, uint32_t splitSizeMiB,
                          CReadAheadFile* reader, TsExportProgress progress, void* argument,
                          uint8_t /*analyse*/, const TS_EXPORT_PID* keptPids, uint32_t keptPidCount,
                          const uint16_t* excludedPids, uint32_t excludedPidCount, uint8_t noSplit,
                          uint8_t nullStuffing, uint32_t pictureHeight, uint8_t patchHeight) {
    if (set == nullptr) return 1;
    CTsFileSetLock guard(set);
    CTsExporter exporter(set, reader, progress, argument);
    return exporter.Run(outputPath, mode, splitSizeMiB, keptPids, keptPidCount, excludedPids,
                        excludedPidCount, noSplit, nullStuffing, pictureHeight, patchHeight);
}

}  // namespace velmora::record

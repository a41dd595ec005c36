#include "record/TsToPsConverter.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Time.h"
#include "record/BufferedFile.h"
#include "record/PesPackWriter.h"
#include "record/ProgramStreamWriter.h"
#include "record/RecordingTask.h"
#include "record/TsAnalysis.h"
#include "ts/CirBuffer.h"

namespace velmora::record {

namespace {

constexpr uint32_t kFileBufferSize = 0x80000;
constexpr uint32_t kVideoBufferSize = 0x100000;
constexpr uint32_t kMpegAudioBufferSize = 0x20000;
constexpr uint32_t kAc3AudioBufferSize = 0x100000;
constexpr uint64_t kMiB = 1048576;
constexpr uint32_t kProgressPackets = 64;
constexpr uint8_t kVideoStreamId = 0xE0;
constexpr uint8_t kMpegAudioStreamId = 0xC0;
constexpr uint8_t kPrivateStream1 = 0xBD;
constexpr uint8_t kEndCode[4] = {0x00, 0x00, 0x01, 0xB9};
constexpr uint8_t kSequenceHeader = 0xB3;
constexpr uint8_t kGroupHeader = 0xB8;
constexpr uint8_t kPictureStart = 0x00;
constexpr uint8_t kLastSliceStart = 0xAF;
constexpr uint32_t kIntraCodingType = 1;

// The packet-level reports (damaged packets, unsynchronised AC-3) name what
// was left out of the output; they are not shown anywhere.
void ReportPacket(const char* /*text*/) {}

bool StartCodeAt(const uint8_t* p, uint8_t code) {
    return p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == code;
}

// The first AC-3 sync word in bytes [from, to), or to.
uint32_t FindAc3Sync(const uint8_t* bytes, uint32_t from, uint32_t to) {
    for (uint32_t i = from; i + 1 < to; ++i)
        if (bytes[i] == 0x0B && bytes[i + 1] == 0x77) return i;
    return to;
}

class CTsToPsConverter {
  public:
    explicit CTsToPsConverter(bool ac3) : m_bAc3(ac3) { ResetContinuityTable(&m_Continuity); }
    ~CTsToPsConverter();
    CTsToPsConverter(const CTsToPsConverter&) = delete;
    CTsToPsConverter& operator=(const CTsToPsConverter&) = delete;

    bool Start(const char* outputPath, uint32_t videoPid, int32_t audioPid, uint32_t splitSizeMiB);
    // Counts bytes read from the input: the pack clock runs with them.
    void CountInput(uint32_t bytes);
    // False when a write failed or the next split file could not be had.
    bool HandlePacket(const uint8_t* packet);
    // After a jump over an excluded stretch: what each stream collected
    // before it is written when whole, and each stream starts afresh at its
    // next unit start, its counter taken as it comes. False on failure.
    bool Resume();
    // Writes what is collected (atEnd), then the end code; false on failure.
    bool Finish(bool atEnd);
    const char* OutputName() const { return m_OutputName.c_str(); }
    uint64_t BytesRead() const { return m_ullRead; }
    uint64_t BytesWritten() const;

  private:
    bool Fail(const char* format, const char* text);
    bool OpenOutput();
    bool Split();
    bool WriteEndCodeAndClose();
    void ClearCollecting();
    bool IsVideo(const PID_TABLE_ENTRY* entry) const { return entry == &m_Streams.entries[0]; }
    bool IsAc3Audio(const PID_TABLE_ENTRY* entry) const { return m_bAc3 && !IsVideo(entry); }
    void Append(PID_TABLE_ENTRY* entry, const uint8_t* bytes, uint32_t count);
    void GateVideo(PID_TABLE_ENTRY* entry);
    bool InsertStoredSequenceHeader(PID_TABLE_ENTRY* entry);
    bool AlignAc3(PID_TABLE_ENTRY* entry);
    bool FlushEntry(PID_TABLE_ENTRY* entry);
    bool StartPes(PID_TABLE_ENTRY* entry, const uint8_t* payload, uint32_t n);

    bool m_bAc3;
    PID_TABLE m_Streams{};
    CONTINUITY_TABLE m_Continuity;
    RECORDER_SLOT_STATE m_ContinuityCounts;
    uint8_t m_AudioStreamId = kMpegAudioStreamId;
    int32_t m_nAudioPid = -1;
    std::string m_OutputName;
    CBufferedFile* m_pOutput = nullptr;
    uint64_t m_ullSplitBytes = 0;
    uint64_t m_ullRead = 0;
    uint64_t m_ullWrittenBefore = 0;  // by the files already closed
    PS_PACK_CLOCK m_Clock{0, 0, false};
    bool m_bVideoStarted = false;
    bool m_bWriteFailed = false;
};

CTsToPsConverter::~CTsToPsConverter() {
    for (uint32_t i = 0; i < m_Streams.count; ++i)
        std::free(m_Streams.entries[i].buffer);
    if (m_pOutput != nullptr) CBufferedFile::Close(m_pOutput);
}

bool CTsToPsConverter::Fail(const char* format, const char* text) {
    // No dialog here: a Retry question is answered with Cancel.
    DebugPrintf(format, text);
    return false;
}

uint64_t CTsToPsConverter::BytesWritten() const {
    const int64_t current = m_pOutput != nullptr ? CBufferedFile::Tell(m_pOutput) : 0;
    return m_ullWrittenBefore + static_cast<uint64_t>(std::max<int64_t>(current, 0));
}

bool CTsToPsConverter::Start(const char* outputPath, uint32_t videoPid, int32_t audioPid,
                             uint32_t splitSizeMiB) {
    if (outputPath == nullptr) return false;
    if (splitSizeMiB == 0) return Fail("Split size of 0 MiB\n%s", outputPath);
    m_OutputName = outputPath;
    m_ullSplitBytes = splitSizeMiB * kMiB;
    PID_TABLE_ENTRY* video = PidTableAdd(&m_Streams, videoPid & 0x1FFF);
    video->payloadType = kPayloadPes;
    video->streamKind = kKindVideo;
    video->capacity = kVideoBufferSize;
    // PID 0 carries the PAT, never sound.
    if (audioPid >= 1 && static_cast<uint32_t>(audioPid) != (videoPid & 0x1FFF)) {
        m_nAudioPid = audioPid & 0x1FFF;
        PID_TABLE_ENTRY* audio = PidTableAdd(&m_Streams, static_cast<uint32_t>(m_nAudioPid));
        audio->payloadType = kPayloadPes;
        audio->streamKind = m_bAc3 ? kKindAc3 : kKindMpeg1Audio;
        audio->capacity = m_bAc3 ? kAc3AudioBufferSize : kMpegAudioBufferSize;
        m_AudioStreamId = m_bAc3 ? kPrivateStream1 : kMpegAudioStreamId;
    }
    for (uint32_t i = 0; i < m_Streams.count; ++i) {
        PID_TABLE_ENTRY& entry = m_Streams.entries[i];
        entry.buffer = static_cast<uint8_t*>(std::malloc(entry.capacity));
        if (entry.buffer == nullptr) return Fail("Out of memory\n%s", outputPath);
    }
    return OpenOutput();
}

// Output files are created, never overwritten: an existing file is kept
// untouched and the conversion ends as on the question's Cancel.
bool CTsToPsConverter::OpenOutput() {
    m_pOutput = CBufferedFile::Open(m_OutputName.c_str(), "wx", kFileBufferSize, 0, 0, nullptr);
    if (m_pOutput == nullptr) {
        return Fail(CBufferedFile::GetLastError() == EEXIST
                        ? "File already exists\n%s\nRetry and overwrite anyway?"
                        : "Couldn't open output file\n%s",
                    m_OutputName.c_str());
    }
    // Each file's clock starts near 0.
    m_Clock.base = -PackClockScr(PS_PACK_CLOCK{m_Clock.byteCount, 0, false});
    if (!WritePsStart(m_pOutput, kVideoStreamId, m_nAudioPid < 0 ? 0 : m_AudioStreamId,
                      m_Streams.entries[0].pid, m_nAudioPid, PackClockScr(m_Clock))) {
        m_bWriteFailed = true;
        return Fail("Couldn't write file header to output file\n%s", m_OutputName.c_str());
    }
    return true;
}

bool CTsToPsConverter::WriteEndCodeAndClose() {
    bool written =
        CBufferedFile::Write(kEndCode, 1, sizeof(kEndCode), m_pOutput) == sizeof(kEndCode) &&
        CBufferedFile::Flush(m_pOutput);
    m_ullWrittenBefore = BytesWritten();
    CBufferedFile::Close(m_pOutput);
    m_pOutput = nullptr;
    if (!written) {
        m_bWriteFailed = true;
        return Fail("Couldn't write to output file\n%s", m_OutputName.c_str());
    }
    return true;
}

bool CTsToPsConverter::Split() {
    if (!WriteEndCodeAndClose()) return false;
    if (!NextFileNumber(m_OutputName.data()))
        return Fail("Couldn't open output file\n%s", m_OutputName.c_str());
    return OpenOutput();
}

void CTsToPsConverter::CountInput(uint32_t bytes) {
    m_ullRead += bytes;
    m_Clock.byteCount = static_cast<int64_t>(m_ullRead);
}

void CTsToPsConverter::ClearCollecting() {
    for (uint32_t i = 0; i < m_Streams.count; ++i)
        m_Streams.entries[i].collecting = 0;
}

void CTsToPsConverter::Append(PID_TABLE_ENTRY* entry, const uint8_t* bytes, uint32_t count) {
    if (entry->collecting == 0 || count == 0) return;
    if (entry->length + count > entry->capacity) {
        entry->collecting = 0;  // the PES packet is dropped
        return;
    }
    std::memcpy(entry->buffer + entry->length, bytes, count);
    entry->length += count;
}

// The stored sequence header, from its start code up to the next picture,
// group or slice, goes in front of the PES data.
bool CTsToPsConverter::InsertStoredSequenceHeader(PID_TABLE_ENTRY* entry) {
    const TS_SCAN_STORE& store = g_TsScanStore;
    const uint32_t stored =
        std::min<uint32_t>(store.sequenceHeaderPayloadLength, sizeof(store.sequenceHeaderPayload));
    const uint8_t* bytes = store.sequenceHeaderPayload;
    uint32_t first = 0;
    while (first + 4 <= stored && !StartCodeAt(bytes + first, kSequenceHeader))
        ++first;
    if (first + 4 > stored) return false;
    uint32_t last = first + 4;
    for (; last + 4 <= stored; ++last) {
        if (bytes[last] != 0 || bytes[last + 1] != 0 || bytes[last + 2] != 1) continue;
        const uint8_t code = bytes[last + 3];
        if (code == kPictureStart || code == kGroupHeader || code <= kLastSliceStart) break;
    }
    if (last + 4 > stored) last = stored;
    const uint32_t count = last - first;
    const uint32_t header = kPesHeaderBaseSize + entry->buffer[8];
    if (entry->length < header || entry->length + count > entry->capacity) return false;
    std::memmove(entry->buffer + header + count, entry->buffer + header, entry->length - header);
    std::memcpy(entry->buffer + header, bytes + first, count);
    entry->length += count;
    return true;
}

bool HoldsSequenceOrGroupHeader(const uint8_t* bytes, uint32_t length) {
    for (uint32_t i = 0; i + 4 <= length; ++i)
        if (StartCodeAt(bytes + i, kSequenceHeader) || StartCodeAt(bytes + i, kGroupHeader))
            return true;
    return false;
}

bool FirstPictureIsIntra(const uint8_t* bytes, uint32_t length) {
    for (uint32_t i = 0; i + 4 <= length; ++i) {
        if (StartCodeAt(bytes + i, kPictureStart))
            return i + 5 < length && ((bytes[i + 5] >> 3) & 7u) == kIntraCodingType;
    }
    return false;
}

// Judged when the PES packet is whole: a sequence or group header anywhere in
// it starts the video with this packet, also behind the last pictures of a
// GOP whose header came before the input did, which a look at its first
// bytes would miss.
void CTsToPsConverter::GateVideo(PID_TABLE_ENTRY* entry) {
    const bool accepted =
        m_bVideoStarted || HoldsSequenceOrGroupHeader(entry->buffer, entry->length) ||
        (FirstPictureIsIntra(entry->buffer, entry->length) && InsertStoredSequenceHeader(entry));
    if (accepted) {
        entry->accepted = 1;
        m_bVideoStarted = true;
    } else {
        entry->collecting = 0;  // video before the first sequence or group header
    }
}

// Drops the bytes before the first sync frame; false when there is none.
bool CTsToPsConverter::AlignAc3(PID_TABLE_ENTRY* entry) {
    uint8_t* bytes = entry->buffer;
    const uint32_t header = kPesHeaderBaseSize + bytes[8];
    if (entry->length < header) return true;  // refused by the pack writer
    const uint32_t sync = FindAc3Sync(bytes, header, entry->length);
    if (sync == entry->length) return false;
    if (sync != header) {
        std::memmove(bytes + header, bytes + sync, entry->length - sync);
        entry->length -= sync - header;
    }
    return true;
}

bool CTsToPsConverter::FlushEntry(PID_TABLE_ENTRY* entry) {
    if (entry->collecting == 0 || entry->length == 0) return true;
    if (IsVideo(entry) && entry->accepted == 0) {
        GateVideo(entry);
        if (entry->collecting == 0) return true;
    }
    if (IsAc3Audio(entry) && !AlignAc3(entry)) {
        ReportPacket("Couldn't sync AC3 packet!\n");
        return true;
    }
    const PesPackResult result = WritePesPacks(m_pOutput, entry->buffer, entry->length,
                                               IsVideo(entry) ? kVideoStreamId : m_AudioStreamId,
                                               IsAc3Audio(entry), &m_Clock);
    if (result == PesPackResult::kWriteError) {
        m_bWriteFailed = true;
        return Fail("Couldn't write to output file\n%s", m_OutputName.c_str());
    }
    if (result == PesPackResult::kMalformed) ReportPacket("Bad PES packet\n");
    return true;
}

// A unit start ends the stream's PES packet and begins the next. AC-3 bytes
// ahead of the new packet's first sync word finish the previous frame.
bool CTsToPsConverter::StartPes(PID_TABLE_ENTRY* entry, const uint8_t* payload, uint32_t n) {
    uint32_t header = 0;
    uint32_t sync = 0;
    if (IsAc3Audio(entry) && n >= kPesHeaderBaseSize && payload[0] == 0 && payload[1] == 0 &&
        payload[2] == 1 && kPesHeaderBaseSize + payload[8] <= n) {
        header = kPesHeaderBaseSize + payload[8];
        sync = FindAc3Sync(payload, header, n);
        if (sync == n) sync = header;  // no frame starts here
        Append(entry, payload + header, sync - header);
    }
    if (entry->collecting != 0 && entry->length != 0 && !FlushEntry(entry)) return false;
    entry->collecting = 1;
    entry->length = 0;
    entry->accepted = 0;
    Append(entry, payload, header);
    Append(entry, payload + sync, n - sync);
    return true;
}

bool CTsToPsConverter::HandlePacket(const uint8_t* packet) {
    if (m_bVideoStarted &&
        static_cast<uint64_t>(CBufferedFile::Tell(m_pOutput)) >= m_ullSplitBytes && !Split()) {
        return false;
    }
    if (!IsTsSyncByte(packet[0])) {
        ReportPacket("Bad transport packet (no sync byte 0x47)!\n");
        ClearCollecting();
        return true;
    }
    PID_TABLE_ENTRY* entry = PidTableFind(&m_Streams, (packet[1] & 0x1Fu) << 8 | packet[2]);
    if (entry == nullptr) return true;
    if (m_bAc3) {
        const uint32_t continuity =
            CheckContinuityCounter(packet, &m_Continuity, &m_ContinuityCounts);
        if (continuity == kContinuityDuplicate) return true;
        if (continuity == kContinuityError) {
            ReportPacket("Bad continuity code in packet\n");
            entry->collecting = 0;  // dropped up to the next unit start
        }
    }
    if ((packet[1] & 0x80u) != 0) {
        ReportPacket("Error bit set in packet\n");
        entry->collecting = 0;
        return true;
    }
    uint32_t offset = 4;
    switch ((packet[3] >> 4) & 3u) {
        case 0:
            ReportPacket("Bad adaption code (code was 0)!\n");
            ClearCollecting();
            return true;
        case 2:
            offset = kTsPacketSize;
            break;
        case 3:
            if (packet[4] > 183) {
                ReportPacket("Invalid adapt len (was > 183)!\n");
                ClearCollecting();
                return true;
            }
            offset = 5u + packet[4];
            break;
        default:
            break;
    }
    const uint8_t* payload = packet + offset;
    const uint32_t n = kTsPacketSize - offset;
    if ((packet[1] & 0x40u) != 0) return StartPes(entry, payload, n);
    Append(entry, payload, n);
    return true;
}

// A PES packet that declares its length is whole once that many bytes
// arrived; one that declares none (video) ends wherever the next begins.
bool IsWholePes(const PID_TABLE_ENTRY& entry) {
    constexpr uint32_t kLengthEnd = 6;
    if (entry.length < kLengthEnd) return false;
    const uint32_t declared = static_cast<uint32_t>(entry.buffer[4]) << 8 | entry.buffer[5];
    return declared == 0 || entry.length >= kLengthEnd + declared;
}

bool CTsToPsConverter::Resume() {
    for (uint32_t i = 0; i < m_Streams.count; ++i) {
        PID_TABLE_ENTRY* entry = &m_Streams.entries[i];
        if (entry->collecting != 0 && IsWholePes(*entry) && !FlushEntry(entry)) return false;
        entry->collecting = 0;
    }
    ResetContinuityTable(&m_Continuity);
    return true;
}

bool CTsToPsConverter::Finish(bool atEnd) {
    if (m_bWriteFailed || m_pOutput == nullptr) return false;
    // At the end of the input the PES packets in progress are whole.
    for (uint32_t i = 0; atEnd && i < m_Streams.count; ++i) {
        if (!FlushEntry(&m_Streams.entries[i])) return false;
        m_Streams.entries[i].collecting = 0;
    }
    return WriteEndCodeAndClose();
}

// The included packets of a file set, in order, read with the buffered
// reader on each file's packet grid.
class CSetPacketReader {
  public:
    explicit CSetPacketReader(CTsFileSet* set) : m_pSet(set) {}
    ~CSetPacketReader() { CloseInput(); }
    CSetPacketReader(const CSetPacketReader&) = delete;
    CSetPacketReader& operator=(const CSetPacketReader&) = delete;

    void Begin();
    // False at the end of the set, and with *failed set when an input file
    // could not be opened or read.
    bool Next(uint8_t* packet, bool* failed);
    // True when the packet Next gave last follows an excluded stretch.
    bool Jumped() const { return m_bJumped; }
    const char* EntryName() const { return m_pEntry != nullptr ? m_pEntry->name : ""; }
    uint64_t GlobalOffset() const {
        return m_pEntry != nullptr ? m_pEntry->startOffset + m_ullPosition : 0;
    }

  private:
    void MoveTo(TS_FILE_ENTRY* entry, uint64_t position);
    void CloseInput();
    int64_t ReadBytes(uint8_t* destination, uint32_t count);
    bool NextFile(uint8_t* packet, bool* failed);

    CTsFileSet* m_pSet;
    TS_FILE_ENTRY* m_pEntry = nullptr;
    uint64_t m_ullPosition = 0;
    CBufferedFile* m_pInput = nullptr;
    int64_t m_llInputPosition = -1;
    TS_CUT_MARK* m_pMark = nullptr;
    uint32_t m_uState = kCutInclude;
    bool m_bJumped = false;
};

void CSetPacketReader::CloseInput() {
    if (m_pInput != nullptr) CBufferedFile::Close(m_pInput);
    m_pInput = nullptr;
}

void CSetPacketReader::Begin() {
    m_pMark = m_pSet->NextMark(nullptr);
    m_uState = kCutInclude;
    MoveTo(m_pSet->GetFirstFile(), 0);
}

void CSetPacketReader::MoveTo(TS_FILE_ENTRY* entry, uint64_t position) {
    if (entry != m_pEntry) CloseInput();
    m_pEntry = entry;
    if (entry == nullptr) return;
    // Onto the file's packet grid, rounding up.
    m_ullPosition = entry->dataOffset;
    if (position > m_ullPosition) {
        m_ullPosition +=
            (position - m_ullPosition + kTsPacketSize - 1) / kTsPacketSize * kTsPacketSize;
    }
}

// Reads count bytes at the position in the current file; the count read
// (short at the file's end), -1 on failure.
int64_t CSetPacketReader::ReadBytes(uint8_t* destination, uint32_t count) {
    if (m_pInput == nullptr) {
        m_pInput = CBufferedFile::Open(m_pEntry->name, "rb", kFileBufferSize, 0, 0, nullptr);
        if (m_pInput == nullptr) {
            DebugPrintf("Couldn't open input file\n%s", m_pEntry->name);
            return -1;
        }
        m_llInputPosition = 0;
    }
    const auto position = static_cast<int64_t>(m_ullPosition);
    if (m_llInputPosition != position && CBufferedFile::Seek(m_pInput, position, 0) != position) {
        DebugPrintf("Error reading input file\n%s", m_pEntry->name);
        return -1;
    }
    const uint32_t got = CBufferedFile::Read(destination, 1, count, m_pInput);
    m_ullPosition += got;
    m_llInputPosition = position + got;
    return got;
}

// A packet cut by the end of a file goes on in the files after it; true when
// it was completed there.
bool CSetPacketReader::NextFile(uint8_t* packet, bool* failed) {
    const int64_t carried =
        ReadBytes(packet, static_cast<uint32_t>(m_pEntry->size - m_ullPosition));
    if (carried < 0) {
        *failed = true;
        return false;
    }
    const auto readStart = [&](TS_FILE_ENTRY* entry, uint8_t* destination, uint32_t count) {
        MoveTo(entry, 0);
        m_ullPosition = 0;
        const int64_t got = ReadBytes(destination, count);
        *failed = got < 0;
        return got == count;
    };
    TS_FILE_ENTRY* cut = m_pEntry;
    if (CompleteSharedPacket(cut, static_cast<uint32_t>(carried), packet, readStart) != nullptr)
        return true;
    if (m_pEntry == cut) MoveTo(cut->next, 0);
    return false;
}

bool CSetPacketReader::Next(uint8_t* packet, bool* failed) {
    *failed = false;
    m_bJumped = false;
    for (;;) {
        while (m_pEntry != nullptr && m_ullPosition >= m_pEntry->size)
            MoveTo(m_pEntry->next, 0);
        if (m_pEntry == nullptr) return false;
        // The marks at a packet that the file's end cuts apply to it before
        // it is completed from the next file.
        const int64_t global = static_cast<int64_t>(m_pEntry->startOffset + m_ullPosition);
        while (m_pMark != nullptr &&
               static_cast<int64_t>(m_pMark->entry->startOffset) + m_pMark->position <= global) {
            m_uState = m_pMark->kind;
            m_pMark = m_pSet->NextMark(m_pMark);
        }
        if (m_uState == kCutExclude) {
            if (m_pMark == nullptr) return false;
            MoveTo(m_pMark->entry, static_cast<uint64_t>(std::max<int64_t>(m_pMark->position, 0)));
            m_bJumped = true;
            continue;
        }
        if (m_ullPosition + kTsPacketSize > m_pEntry->size) {
            if (NextFile(packet, failed)) return true;
            if (*failed) return false;
            continue;
        }
        const int64_t got = ReadBytes(packet, kTsPacketSize);
        if (got < 0) {
            *failed = true;
            return false;
        }
        if (got == kTsPacketSize) return true;
        // The file is shorter than the set was told: on with the next one.
        MoveTo(m_pEntry->next, 0);
    }
}

}  // namespace

uint32_t ConvertTsToPs(const char* outputPath, uint32_t videoPid, int32_t audioPid,
                       uint32_t splitSizeMiB, ts::CCirBuffer* ring,
                       const std::atomic<uint32_t>* endFlag) {
    if (ring == nullptr || endFlag == nullptr) return 1;
    CTsToPsConverter converter(false);
    if (!converter.Start(outputPath, videoPid, audioPid, splitSizeMiB)) return 1;
    uint8_t packet[kTsPacketSize];
    uint32_t filled = 0;
    for (;;) {
        // The flag is read before the ring: what was written before it was
        // raised is still drained.
        const bool ending = endFlag->load() != 0;
        const uint32_t got = ring->ReadUpTo(packet + filled, kTsPacketSize - filled);
        if (got == 0) {
            if (ending) break;
            platform::Sleep(1);
            continue;
        }
        converter.CountInput(got);
        filled += got;
        if (filled < kTsPacketSize) continue;
        filled = 0;
        if (!converter.HandlePacket(packet)) {
            converter.Finish(false);
            return 1;
        }
    }
    return converter.Finish(true) ? 0 : 1;
}

uint32_t ConvertTsToPsAc3(CTsFileSet* set, const char* outputPath, uint32_t videoPid,
                          int32_t audioPid, uint32_t splitSizeMiB, TsExportProgress progress,
                          void* argument) {
    if (set == nullptr) return 1;
    CTsFileSetLock guard(set);
    if (set->GetFirstFile() == nullptr) {
        DebugPrintf("No input file\n");
        return 1;
    }
    CTsToPsConverter converter(true);
    if (!converter.Start(outputPath, videoPid, audioPid, splitSizeMiB)) return 1;
    CSetPacketReader reader(set);
    reader.Begin();
    uint8_t packet[kTsPacketSize];
    bool atEnd = true;
    for (uint64_t count = 1;; ++count) {
        if (count % kProgressPackets == 0 && progress != nullptr &&
            progress(reader.EntryName(), converter.OutputName(), reader.GlobalOffset(),
                     converter.BytesRead(), static_cast<uint64_t>(set->GetIncludedLength()),
                     converter.BytesWritten(), 0, argument) == 0) {
            atEnd = false;
            break;
        }
        bool failed = false;
        if (!reader.Next(packet, &failed)) {
            if (!failed) break;
            converter.Finish(false);
            return 1;
        }
        converter.CountInput(kTsPacketSize);
        if ((reader.Jumped() && !converter.Resume()) || !converter.HandlePacket(packet)) {
            converter.Finish(false);
            return 1;
        }
    }
    return converter.Finish(atEnd) ? 0 : 1;
}

}  // namespace velmora::record

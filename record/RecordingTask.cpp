#include "record/RecordingTask.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "card/LogFile.h"
#include "platform/Time.h"
#include "record/BufferedFile.h"
#include "record/MpegVideoInfo.h"
#include "record/PesPackWriter.h"
#include "record/ProgramStreamWriter.h"
#include "record/TsAnalysis.h"
#include "record/VideoParser.h"
#include "ts/CirBuffer.h"

namespace velmora::record {

namespace {

constexpr uint32_t kMaxPacketLength = 204;
constexpr uint32_t kPayloadSize = kTsPacketSize - 4;
constexpr uint32_t kNoInputLogCount = 50000;
// A video PES is judged once it holds this much.
constexpr uint32_t kGateBytes = 512;
constexpr uint8_t kVideoStreamId = 0xE0;
constexpr uint8_t kEndCode[4] = {0x00, 0x00, 0x01, 0xB9};
constexpr uint32_t kSequenceHeaderCode = 0x000001B3;
constexpr uint32_t kGroupStartCode = 0x000001B8;
constexpr uint32_t kPictureStartCode = 0x00000100;
constexpr uint32_t kIntraCodingType = 1;

uint32_t Pid(const uint8_t* packet) {
    return static_cast<uint32_t>(packet[1] & 0x1F) << 8 | packet[2];
}
bool UnitStart(const uint8_t* packet) {
    return (packet[1] & 0x40) != 0;
}
bool HasPayload(const uint8_t* packet) {
    return (packet[3] & 0x10) != 0;
}
bool HasAdaptationField(const uint8_t* packet) {
    return (packet[3] & 0x20) != 0;
}
uint32_t ReadWord(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Whether the PES packet collected holds every byte its length field names.
bool IsWholePes(const PID_TABLE_ENTRY& entry) {
    if (entry.collecting == 0 || entry.length < 6) return false;
    const uint32_t declared = static_cast<uint32_t>(entry.buffer[4]) << 8 | entry.buffer[5];
    return declared != 0 && entry.length >= 6 + declared;
}

uint32_t AudioKind(int32_t audioStreamType) {
    if (audioStreamType == 3) return kKindMpeg1Audio;
    if (audioStreamType == 4) return kKindMpeg2Audio;
    return kKindAc3;
}

class CRecordingTask {
  public:
    CRecordingTask(const char* path, uint32_t programNumber, uint32_t videoPid, uint32_t audioPid,
                   int32_t audioStreamType, ts::CCirBuffer* ring, RECORDER_SLOT_STATE* slot,
                   card::CLogFile* log, platform::CCriticalSection* fileLock,
                   uint32_t packetLength);
    ~CRecordingTask();
    CRecordingTask(const CRecordingTask&) = delete;
    CRecordingTask& operator=(const CRecordingTask&) = delete;

    uint32_t Run();

  private:
    enum class Step { kNext, kEnd, kFailed };

    bool AllocateStreams();
    Step HandlePacket(const uint8_t* packet);
    void ClearCollecting();
    void AddPictureDuration(const uint8_t* payload, uint32_t n);
    Step StartStream();
    bool FlushEntry(PID_TABLE_ENTRY* entry);
    bool WriteCollected(PID_TABLE_ENTRY* entry);
    void Collect(PID_TABLE_ENTRY* entry, const uint8_t* payload, uint32_t n);
    void GateVideo(PID_TABLE_ENTRY* entry);
    uint32_t Finish();
    bool IsVideo(const PID_TABLE_ENTRY* entry) const { return entry == &m_Streams.entries[0]; }
    uint8_t AudioStreamId() const;
    void ClearSlotCounters();

    char m_szPath[kRecorderPathSize + 4] = {};
    uint32_t m_dwProgramNumber;
    uint32_t m_dwAudioPid;
    ts::CCirBuffer* m_pRing;
    RECORDER_SLOT_STATE* m_pSlot;
    card::CLogFile* m_pLog;
    platform::CCriticalSection* m_pFileLock;
    uint32_t m_dwPacketLength;

    PID_TABLE m_Streams{};
    int64_t m_llFirstClock = kClockUnset;
    PS_PACK_CLOCK m_Clock{0, 0, true};
    CBufferedFile* m_pFile = nullptr;
    bool m_bStreamStarted = false;
    bool m_bWaiting = true;
    bool m_bWriteError = false;
    bool m_bSequenceSeen = false;
    bool m_bSequenceInPes = false;
    uint32_t m_dwDurationRemainder = 0;
    MPEG_SEQUENCE_INFO m_Sequence{};
    uint32_t m_dwNoInput = 0;
    CONTINUITY_TABLE m_Continuity;
};

CRecordingTask::CRecordingTask(const char* path, uint32_t programNumber, uint32_t videoPid,
                               uint32_t audioPid, int32_t audioStreamType, ts::CCirBuffer* ring,
                               RECORDER_SLOT_STATE* slot, card::CLogFile* log,
                               platform::CCriticalSection* fileLock, uint32_t packetLength)
    : m_dwProgramNumber(programNumber),
      m_dwAudioPid(audioPid),
      m_pRing(ring),
      m_pSlot(slot),
      m_pLog(log),
      m_pFileLock(fileLock),
      m_dwPacketLength(std::clamp(packetLength, kTsPacketSize, kMaxPacketLength)) {
    if (path != nullptr) std::strncpy(m_szPath, path, sizeof(m_szPath) - 1);
    ResetContinuityTable(&m_Continuity);
    PID_TABLE_ENTRY* video = PidTableAdd(&m_Streams, videoPid);
    video->payloadType = 2;
    video->streamKind = kKindVideo;
    video->capacity = kVideoPesBufferSize;
    // PID 0 carries the PAT: a program without audio has no audio entry.
    if (audioPid != 0 && audioPid != videoPid) {
        PID_TABLE_ENTRY* audio = PidTableAdd(&m_Streams, audioPid);
        audio->payloadType = 2;
        audio->streamKind = AudioKind(audioStreamType);
        audio->capacity = kAudioPesBufferSize;
    }
}

CRecordingTask::~CRecordingTask() {
    for (uint32_t i = 0; i < m_Streams.count; ++i)
        std::free(m_Streams.entries[i].buffer);
    if (m_pFile != nullptr) CBufferedFile::Close(m_pFile);
}

bool CRecordingTask::AllocateStreams() {
    for (uint32_t i = 0; i < m_Streams.count; ++i) {
        PID_TABLE_ENTRY& entry = m_Streams.entries[i];
        entry.buffer = static_cast<uint8_t*>(std::malloc(entry.capacity));
        if (entry.buffer == nullptr) return false;
    }
    return true;
}

uint8_t CRecordingTask::AudioStreamId() const {
    if (m_Streams.count < 2) return 0xBD;
    return m_Streams.entries[1].streamKind == kKindAc3 ? 0xBD : 0xC0;
}

void CRecordingTask::ClearSlotCounters() {
    m_pSlot->durationMs = 0;
    m_pSlot->continuityErrors = 0;
    m_pSlot->syncByteErrors = 0;
    m_pSlot->handledPackets = 0;
}

void CRecordingTask::ClearCollecting() {
    for (uint32_t i = 0; i < m_Streams.count; ++i)
        m_Streams.entries[i].collecting = 0;
}

uint32_t CRecordingTask::Run() {
    ClearSlotCounters();
    if (!AllocateStreams()) return 1;
    uint8_t packet[kMaxPacketLength];
    for (;;) {
        if (m_pRing->Read(packet, m_dwPacketLength) != m_dwPacketLength) {
            if (m_pSlot->stop.load() != 0) break;
            if (++m_dwNoInput > kNoInputLogCount) {
                if (m_pLog != nullptr)
                    m_pLog->WriteLogA("录制任务 %d 无数据输入",
                                      static_cast<int>(m_dwProgramNumber));
                m_dwNoInput = 0;
            }
            platform::Sleep(1);
            continue;
        }
        const Step step = HandlePacket(packet);
        ++m_pSlot->handledPackets;
        if (step == Step::kFailed) return 1;
        if (step == Step::kEnd) break;
    }
    return Finish();
}

CRecordingTask::Step CRecordingTask::HandlePacket(const uint8_t* packet) {
    if (!IsTsSyncByte(packet[0])) {
        ClearCollecting();
        ++m_pSlot->syncByteErrors;
        if (m_pLog != nullptr)
            m_pLog->WriteLogA("录制任务 %d 同步字节错误", static_cast<int>(m_dwProgramNumber));
        return Step::kNext;
    }
    PID_TABLE_ENTRY* entry = PidTableFind(&m_Streams, Pid(packet));
    if (entry == nullptr) return Step::kNext;
    const uint32_t continuity = CheckContinuityCounter(packet, &m_Continuity, m_pSlot);
    if (continuity == kContinuityDuplicate) return Step::kNext;
    // The pack clock takes a new base from the next video time stamp.
    if (continuity == kContinuityError) m_llFirstClock = kClockUnset;
    ++entry->packetCount;
    if (UnitStart(packet)) {
        const int32_t start = TestPesStart(packet);
        if (start == 0) {
            m_bWaiting = false;
        } else if (start == 1) {
            if (m_pLog != nullptr)
                m_pLog->WriteLogA("%d ts流加扰！！ ", static_cast<int>(m_dwProgramNumber));
            m_bWaiting = true;
        }
    }
    if ((packet[1] & 0x80) != 0) {
        entry->collecting = 0;
        if (m_pLog != nullptr) m_pLog->WriteLogA("Error bit set in packet\n");
        return Step::kNext;
    }
    uint32_t offset = 0;
    const uint32_t control = (packet[3] >> 4) & 0x03;
    bool bad = false;
    if (control == 0) {
        if (m_pLog != nullptr) m_pLog->WriteLogA("Bad adaption code (code was 0)!\n");
        bad = true;
    } else if (control == 2) {
        offset = kPayloadSize;
    } else if (control == 3) {
        offset = packet[4] + 1u;
        if (offset > kPayloadSize) {
            if (m_pLog != nullptr) m_pLog->WriteLogA("Invalid adapt len (was > 183)!\n");
            bad = true;
        }
    }
    if (bad) {
        ClearCollecting();
        if (m_pLog != nullptr) m_pLog->WriteLogA(" discard any packets in progress\n");
        return Step::kNext;
    }
    if (IsVideo(entry)) {
        const bool wasUnset = m_llFirstClock == kClockUnset;
        GetFirstPesTimestamp(packet, &m_llFirstClock);
        if (wasUnset && m_llFirstClock != kClockUnset) {
            // Keep the SCR where the byte count has taken it: the new stamp
            // becomes the present time, never an earlier one.
            const int64_t base =
                m_llFirstClock - m_Clock.byteCount * kSystemClockHz / kPackClockBytesPerSecond;
            m_Clock.base = m_bStreamStarted ? std::max(m_Clock.base, base) : base;
        }
    }
    if (!m_bWaiting && !m_bStreamStarted && m_llFirstClock != kClockUnset) {
        const Step step = StartStream();
        if (step != Step::kNext) return step;
    }
    if (!m_bStreamStarted) return Step::kNext;
    if (UnitStart(packet)) {
        {
            std::lock_guard<platform::CCriticalSection> lock(*m_pFileLock);
            if (!WriteCollected(entry)) {
                m_bWriteError = true;
                return Step::kEnd;
            }
            entry->collecting = 1;
            entry->length = 0;
            entry->accepted = 0;
        }
        platform::Sleep(1);
    }
    if (entry->collecting != 0 && !m_bWaiting)
        Collect(entry, packet + 4 + offset, kPayloadSize - offset);
    return Step::kNext;
}

CRecordingTask::Step CRecordingTask::StartStream() {
    std::lock_guard<platform::CCriticalSection> lock(*m_pFileLock);
    CBufferedFile* file =
        CBufferedFile::Open(m_szPath, "wb", kRecorderFileBufferSize, 0, 0, nullptr);
    if (file == nullptr) {
        if (m_pLog != nullptr)
            m_pLog->WriteLogA(" \n @@@@@@@@@@@@@@Creat file erorr!!!!@@@@@@@@@@@@@");
        return Step::kFailed;
    }
    const uint32_t audioPid = m_dwAudioPid & 0xFFFF;
    const bool started =
        WritePsStart(file, kVideoStreamId, AudioStreamId(), m_Streams.entries[0].pid,
                     static_cast<int32_t>(audioPid), m_llFirstClock) &&
        CBufferedFile::Flush(file);
    CBufferedFile::Close(file);
    if (!started) {
        m_bWriteError = true;
        return Step::kEnd;
    }
    m_bStreamStarted = true;
    return Step::kNext;
}

bool CRecordingTask::FlushEntry(PID_TABLE_ENTRY* entry) {
    const bool video = IsVideo(entry);
    if (video && m_bSequenceInPes) {
        // A PES flagged by a group header alone holds no sequence header:
        // the record keeps the last one read.
        MPEG_SEQUENCE_INFO sequence{};
        ParseVideoHeaders(entry->buffer, static_cast<int32_t>(entry->length), &sequence, nullptr);
        if (sequence.marker == 0x1B3) m_Sequence = sequence;
        // A PES too short for the gate must not take this one's flag.
        m_bSequenceInPes = false;
        // Only a header that reaches the file opens the gate: one lost with
        // its PES (a bad sync byte, a transport error) does not.
        m_bSequenceSeen = true;
    }
    if (m_pFile == nullptr) {
        m_pFile = CBufferedFile::Open(m_szPath, "wb", kRecorderFileBufferSize, 1, 1, nullptr);
        if (m_pFile == nullptr) return false;
    }
    const bool subStream = !video && entry->streamKind == kKindAc3;
    const PesPackResult result =
        WritePesPacks(m_pFile, entry->buffer, entry->length,
                      video ? kVideoStreamId : AudioStreamId(), subStream, &m_Clock);
    if (result == PesPackResult::kMalformed && m_pLog != nullptr) m_pLog->WriteLogA(" alen error ");
    return result != PesPackResult::kWriteError;
}

// The PES packet in hand, if any, into the file; false on a write error.
// The file lock held.
bool CRecordingTask::WriteCollected(PID_TABLE_ENTRY* entry) {
    // A video PES too short to reach the gate is judged whole, so that no
    // picture before the first sequence header reaches the file.
    if (IsVideo(entry) && entry->collecting != 0 && entry->accepted == 0) GateVideo(entry);
    return entry->collecting == 0 || entry->length == 0 || FlushEntry(entry);
}

void CRecordingTask::AddPictureDuration(const uint8_t* payload, uint32_t n) {
    for (uint32_t i = 0; i + 4 <= n; ++i) {
        if (ReadWord(payload + i) != kPictureStartCode) continue;
        m_dwDurationRemainder += PictureDurationTicks(m_Sequence.frameRateCode);
        m_pSlot->durationMs += m_dwDurationRemainder / kDurationTicksPerMs;
        m_dwDurationRemainder %= kDurationTicksPerMs;
        return;
    }
}

void CRecordingTask::Collect(PID_TABLE_ENTRY* entry, const uint8_t* payload, uint32_t n) {
    if (n == 0) return;
    if (entry->length + n <= entry->capacity) {
        std::memcpy(entry->buffer + entry->length, payload, n);
        entry->length += n;
        if (IsVideo(entry)) AddPictureDuration(payload, n);
    } else {
        entry->collecting = 0;
    }
    if (entry->accepted == 0 && entry->length > kGateBytes) {
        if (IsVideo(entry))
            GateVideo(entry);
        else
            entry->accepted = 1;
    }
}

void CRecordingTask::GateVideo(PID_TABLE_ENTRY* entry) {
    m_bSequenceInPes = false;
    const uint8_t* bytes = entry->buffer;
    for (uint32_t i = 0; i + 4 <= entry->length; ++i) {
        const uint32_t code = ReadWord(bytes + i);
        if (code == kSequenceHeaderCode || code == kGroupStartCode) {
            m_bSequenceInPes = true;
            break;
        }
        if (code == kPictureStartCode && i + 5 < entry->length &&
            ((bytes[i + 5] >> 3) & 0x07) == kIntraCodingType)
            break;
    }
    if (m_bSequenceInPes || m_bSequenceSeen)
        entry->accepted = 1;
    else
        entry->collecting = 0;
}

uint32_t CRecordingTask::Finish() {
    bool failed = m_bWriteError;
    if (!failed) {
        std::lock_guard<platform::CCriticalSection> lock(*m_pFileLock);
        // A PES packet taken whole is written at the stop as before a unit
        // start. One whose length field is 0 (video, mostly) or that the
        // stop cut short cannot be told whole and stays out, so the file
        // never ends in half a picture.
        for (uint32_t i = 0; i < m_Streams.count && !failed; ++i) {
            PID_TABLE_ENTRY* entry = &m_Streams.entries[i];
            if (IsWholePes(*entry)) failed = !WriteCollected(entry);
        }
        if (!failed && m_pFile == nullptr)
            m_pFile = CBufferedFile::Open(m_szPath, "wb", kRecorderFileBufferSize, 1, 1, nullptr);
        failed = failed || m_pFile == nullptr ||
                 CBufferedFile::Write(kEndCode, 1, sizeof(kEndCode), m_pFile) != sizeof(kEndCode);
        if (!failed) m_Clock.byteCount += sizeof(kEndCode);
    }
    if (m_pFile != nullptr) {
        std::lock_guard<platform::CCriticalSection> lock(*m_pFileLock);
        // The last buffered bytes are written here: a failure must be seen.
        if (!CBufferedFile::Flush(m_pFile)) failed = true;
        CBufferedFile::Close(m_pFile);
        m_pFile = nullptr;
    }
    if (failed && m_pLog != nullptr)
        m_pLog->WriteLogA("录制任务 %d 写文件错误", static_cast<int>(m_dwProgramNumber));
    ClearSlotCounters();
    if (m_pLog != nullptr)
        m_pLog->WriteLogA("%d  convert end\n", static_cast<int>(m_dwProgramNumber));
    return 0;
}

}  // namespace

int64_t ReadTimeStamp33(const uint8_t* p) {
    return static_cast<int64_t>((p[0] >> 1) & 0x07) << 30 | static_cast<int64_t>(p[1]) << 22 |
           static_cast<int64_t>(p[2] >> 1) << 15 | static_cast<int64_t>(p[3]) << 7 | (p[4] >> 1);
}

void ResetContinuityTable(CONTINUITY_TABLE* table) {
    std::memset(table->firstPacket, 1, sizeof(table->firstPacket));
    std::memset(table->lastCounter, 0, sizeof(table->lastCounter));
}

uint32_t CheckContinuityCounter(const uint8_t* packet, CONTINUITY_TABLE* table,
                                RECORDER_SLOT_STATE* slot) {
    const uint32_t pid = Pid(packet);
    const uint8_t counter = packet[3] & 0x0F;
    const bool payload = HasPayload(packet);
    const uint8_t last = table->lastCounter[pid];
    table->lastCounter[pid] = counter;
    if (table->firstPacket[pid] != 0) {
        table->firstPacket[pid] = 0;
        return kContinuityGood;
    }
    if ((payload && counter == ((last + 1) & 0x0F)) || (!payload && counter == last))
        return kContinuityGood;
    ++slot->continuityErrors;
    return payload && counter == last ? kContinuityDuplicate : kContinuityError;
}

uint32_t ReadPesTimestamp(const uint8_t* header, uint32_t available, int64_t* firstClock) {
    if (available < 4) return 0;
    const uint8_t kind = header[3] & 0xF0;
    if (kind != 0xE0 && kind != 0xC0) return 0;
    if (*firstClock != kClockUnset || available < 9) return 1;
    const uint32_t flags = header[7] >> 6;
    if (flags == 3 && available >= 19)
        *firstClock = ReadTimeStamp33(header + 14) * 300;
    else if (flags == 2 && available >= 14)
        *firstClock = ReadTimeStamp33(header + 9) * 300;
    return 1;
}

uint32_t GetFirstPesTimestamp(const uint8_t* packet, int64_t* firstClock) {
    if (!UnitStart(packet)) return 0;
    uint32_t offset = 4;
    if (HasAdaptationField(packet)) {
        offset = packet[4] + 5u;
        if (offset >= kTsPacketSize) return 0;
    }
    if (!HasPayload(packet)) return 0;
    const uint32_t available = kTsPacketSize - offset;
    if (available < 10) return 0;
    const uint8_t* payload = packet + offset;
    if (payload[0] != 0 || payload[1] != 0 || payload[2] != 1) return 0;
    if (available < payload[8] + 9u) return 0;
    ReadPesTimestamp(payload, available, firstClock);
    return 1;
}

int32_t TestPesStart(const uint8_t* packet) {
    if (packet[0] != 0x47) return -2;
    if (!UnitStart(packet)) return -1;
    const uint32_t control = (packet[3] >> 4) & 0x03;
    const uint32_t adaptation = control != 1 ? packet[4] + 1u : 0u;
    // PES_header_data_length sits at payload byte 8; the start must lie in
    // the packet before it is looked at.
    if (!HasPayload(packet) || 4 + adaptation + 9 > kTsPacketSize) return -4;
    const uint8_t* payload = packet + 4 + adaptation;
    if (adaptation + payload[8] + 13 >= kTsPacketSize) return -4;
    if (payload[0] == 0 && payload[1] == 0 && payload[2] == 1) return 0;
    return 1;
}

uint32_t PictureDurationTicks(uint8_t frameRateCode) {
    switch (frameRateCode) {
        case 1:
            return 125125;  // 1001/24 ms
        case 2:
            return 125000;  // 1000/24 ms
        case 4:
            return 100100;  // 1001/30 ms
        case 5:
            return 100000;  // 1000/30 ms
        case 6:
            return 20 * kDurationTicksPerMs;
        case 7:
            return 50050;  // 1001/60 ms
        case 8:
            return 50000;  // 1000/60 ms
        default:
            return 40 * kDurationTicksPerMs;
    }
}

uint32_t ConvertTsToPsTask(const char* path, uint32_t programNumber, uint32_t videoPid,
                           uint32_t audioPid, int32_t audioStreamType, int32_t /*sizeLimitMb*/,
                           uint32_t /*unused*/, ts::CCirBuffer* ring, RECORDER_SLOT_STATE* slot,
                           card::CLogFile* log, platform::CCriticalSection* fileLock,
                           uint32_t packetLength) {
    if (ring == nullptr || slot == nullptr || fileLock == nullptr) return 1;
    auto task =
        std::make_unique<CRecordingTask>(path, programNumber, videoPid, audioPid, audioStreamType,
                                         ring, slot, log, fileLock, packetLength);
    return task->Run();
}

}  // namespace velmora::record

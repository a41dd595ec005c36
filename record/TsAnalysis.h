#pragma once

// Per-PID collection state and the analysis of transport streams built on
// it: the program scan (PAT, PMT, ATSC virtual channel tables), PCR bit
// rates, the PES header reader, the descriptor skipper, the file dump, the
// packet sync search and the trace output these tools print to.

#include <cstdint>
#include <vector>

#include "record/BufferedFile.h"

namespace velmora::record {

inline constexpr uint32_t kTsPacketSize = 188;
inline constexpr uint32_t kPidTableSize = 100;
inline constexpr uint32_t kSyncSearchBytes = 3760;  // 20 packets

enum StreamKind : uint32_t {
    kKindIgnored = 1,
    kKindPat = 2,
    kKindPmt = 3,
    kKindNetwork = 4,
    kKindVideo = 5,
    kKindAc3 = 7,
    kKindAac = 8,
    kKindMpeg2Audio = 9,
    kKindMpeg1Audio = 10,
    kKindAtscBase = 11,
    kKindPcrOnly = 12,
};

enum PayloadType : uint32_t {
    kPayloadNone = 0,
    kPayloadSections = 1,
    kPayloadPes = 2,
};

struct PID_TABLE_ENTRY {
    uint32_t pid;
    uint32_t packetCount;
    uint32_t payloadType;
    uint32_t streamKind;
    uint8_t done;
    uint8_t* buffer;
    uint32_t capacity;
    uint32_t length;
    int32_t mark;
    uint8_t collecting;
    uint8_t accepted;
    // PCR state.
    int64_t pcrBase;
    int64_t pcrExtension;
    int64_t previousPcrBase;
    uint32_t pcrFlags;  // bit 0: a PCR was seen
    int64_t bytesBetweenPcrs;
    int64_t lastPcrPosition;
    int64_t estimatedBitRate;
    int64_t pcr;
    int64_t previousPcr;
};

struct PID_TABLE {
    uint32_t count;
    uint32_t reserved;
    PID_TABLE_ENTRY entries[kPidTableSize];
};

// One program found by the scan.
struct SCAN_PROGRAM_RECORD {
    char name[8];  // short channel name, or "NONAME"
    uint32_t majorNumber;
    uint32_t minorNumber;
    uint32_t video;  // stream kind << 16 | PID
    uint32_t audio;  // stream kind << 16 | PID; all ones: none
    uint32_t horizontalSize;
    uint32_t verticalSize;
    uint32_t bitRate;  // from the PCRs of the program's PCR PID, bit/s
    uint32_t aspectRatioInformation;
    uint32_t frameRateCode;
    uint32_t chromaFormat;
    uint32_t progressiveSequence;
    uint32_t unused;
    uint32_t pmtPid;
    uint32_t pcrPid;
    uint32_t programNumber;
};
static_assert(sizeof(SCAN_PROGRAM_RECORD) == 68);

inline constexpr uint32_t kNoAudio = 0xFFFFFFFF;

// Rate samples of each PID, largest first.
struct PID_RATE_NODE {
    int32_t pid = -1;
    int64_t estimate = 0;
    std::vector<int64_t> samples;
};
using PID_RATE_LIST = std::vector<PID_RATE_NODE>;

// The stores the scans fill for the export: one scan at a time per process.
inline constexpr uint32_t kMaxStoredPmtPackets = 128;
struct TS_SCAN_STORE {
    uint8_t patPacket[kTsPacketSize];
    uint8_t patStored;
    uint8_t pmtPackets[kMaxStoredPmtPackets][kTsPacketSize];
    uint32_t pmtPids[kMaxStoredPmtPackets];
    uint32_t pmtPacketCount;
    uint8_t sequenceHeaderPayload[184];
    uint32_t sequenceHeaderPayloadLength;
};
extern TS_SCAN_STORE g_TsScanStore;

PID_TABLE_ENTRY* PidTableAdd(PID_TABLE* table, uint32_t pid);
PID_TABLE_ENTRY* PidTableFind(PID_TABLE* table, uint32_t pid);
PID_TABLE_ENTRY* PidTableFindByKind(PID_TABLE* table, uint32_t kind);

// pidWords: three 16-bit words (0 = free) that receive 0x1FFF, 0x1FEF and
// 0x1FFB as they are met; may be null. Returns 1.
int32_t ScanPrograms(const uint8_t* buffer, int32_t length, int32_t maximumRecords,
                     SCAN_PROGRAM_RECORD* records, uint32_t* recordCount, uint16_t* pidWords,
                     void* unused);

int64_t UpdatePidBitRate(uint32_t pid, PID_RATE_LIST* list, int64_t sample);
void FreePidRateLists(PID_RATE_LIST* list);

// Through the bit reader, which stands behind the stream id.
uint32_t ReadPesHeader(uint8_t streamId);
uint32_t SkipDescriptor();
void DumpTsFile(const char* path);

int32_t FindTsSyncOffset(const uint8_t* buffer, int32_t length);
int32_t SeekToTsSync(CBufferedFile* file);

// The trace output: one bounded line to the platform trace sink.
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

bool IsTsSyncByte(uint8_t b);

}  // namespace velmora::record

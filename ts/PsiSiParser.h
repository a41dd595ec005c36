#pragma once

// Transport packets to PSI/SI sections, and sections to plain records: the
// program association table, program map tables, the conditional access
// table, the actual service description and network information tables and
// the event information table.
//
// Packets of open PIDs are assembled into sections in a ring per PID; the
// section filters of the PID decide which sections are kept. Finished
// sections are taken out one at a time and handed to the table parsers.
// Results: 1 done (or changed), 0 nothing new, a negative refusal code.
//
// The object is several megabytes: allocate it on the heap. Nothing on the
// packet path allocates; only the accepted PAT, SDT and NIT sections are
// copied to the heap.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "velmora/Velmora.h"

namespace velmora::ts {

inline constexpr uint32_t kTsPacketSize = 188;
inline constexpr uint32_t kMaxPid = 8192;
// The longest section of any table (section_length 4093).
inline constexpr uint32_t kMaxSectionSize = 4096;
// The longest PAT, PMT, CAT, SDT or NIT section.
inline constexpr uint32_t kMaxPsiSectionSize = 1024;

// A section filter: the first `byDepth` bytes of a section (1 to 8) are
// compared under the mask.
struct SECTION_FILTER {
    uint8_t byValue[16];
    uint8_t byMask[16];
    uint8_t byDepth;
    uint8_t byEnabled;  // set by the program engine; not read here
};
static_assert(sizeof(SECTION_FILTER) == 34, "SECTION_FILTER layout");

struct PAT_PROGRAM {
    uint16_t wProgramNumber;  // 0: the entry names the network PID
    uint16_t wPid;
};

struct PAT_INFORMATION {
    static constexpr uint32_t kMaxPrograms = 60;
    uint16_t wTransportStreamId;
    uint8_t byVersion;
    uint8_t byProgramCount;
    PAT_PROGRAM Program[kMaxPrograms];
};
static_assert(sizeof(PAT_INFORMATION) == 244, "PAT_INFORMATION layout");

struct CA_PAIR {
    uint16_t wCaSystemId;
    uint16_t wCaPid;
};

struct PMT_STREAM {
    uint8_t byStreamType;
    uint8_t bySpare;
    uint16_t wElementaryPid;
    uint8_t byZero;
    uint8_t bySpare2;
};

// The caller sets the PMT PID and program number, and the version to 255,
// before the first parse.
struct PMT_INFORMATION {
    static constexpr uint32_t kMaxCaPairs = 4;
    static constexpr uint32_t kMaxStreams = 32;
    uint16_t wPmtPid;
    uint16_t wProgramNumber;
    uint16_t wPcrPid;
    uint8_t byVersion;
    uint8_t byCaCount;
    CA_PAIR Ca[kMaxCaPairs];
    uint8_t byStreamCount;
    PMT_STREAM Stream[kMaxStreams];
    uint32_t dwScrambled;  // kept by the program engine
    uint32_t dwSpare;
};
static_assert(sizeof(PMT_INFORMATION) == 228, "PMT_INFORMATION layout");
static_assert(offsetof(PMT_INFORMATION, Stream) == 26 &&
                  offsetof(PMT_INFORMATION, dwScrambled) == 220,
              "PMT_INFORMATION padding");

// Its owner starts it with version 255 and no pairs.
struct CAT_INFORMATION {
    static constexpr uint32_t kMaxCaPairs = 20;
    uint8_t byVersion;
    uint8_t byCaCount;
    CA_PAIR Ca[kMaxCaPairs];
};
static_assert(sizeof(CAT_INFORMATION) == 82, "CAT_INFORMATION layout");

struct SDT_SERVICE {
    static constexpr uint32_t kNameSize = 128;
    static constexpr uint32_t kProviderSize = 33;
    uint16_t wServiceId;
    uint8_t byEitScheduleFlag;
    uint8_t byEitPresentFollowingFlag;
    uint8_t byRunningStatus;
    uint8_t byFreeCaMode;
    uint8_t byServiceType;
    // The names' bytes as sent, their character-table selectors first (see
    // DvbText.h), cut to the field less one byte (the provider's to 31
    // bytes) and zero-filled after.
    char szServiceName[kNameSize];
    char szProviderName[kProviderSize];
};
static_assert(sizeof(SDT_SERVICE) == 168, "SDT_SERVICE layout");

struct SDT_INFORMATION {
    static constexpr uint32_t kMaxServices = 60;
    uint16_t wTransportStreamId;
    uint16_t wOriginalNetworkId;
    uint8_t byVersion;
    uint8_t byServiceCount;
    SDT_SERVICE Service[kMaxServices];
};
static_assert(sizeof(SDT_INFORMATION) == 10086, "SDT_INFORMATION layout");

// An element of the parser's list of service description sections.
struct SDTSECTION {
    uint32_t dwSectionNumber;
    uint32_t dwLength;
};
static_assert(sizeof(SDTSECTION) == 8, "SDTSECTION layout");

struct EIT_EVENT {
    uint16_t wEventId;
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDay;
    uint16_t wHour;  // the start time's raw BCD bytes
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wDurationHours;  // converted from BCD
    uint16_t wDurationMinutes;
    uint16_t wDurationSeconds;
    uint8_t byRunningStatus;
    uint8_t byFreeCaMode;
    char szLanguage[4];
    char szEventName[32];  // at most 31 bytes and a zero
    char szEventText[64];  // at most 63 bytes and a zero
};
static_assert(sizeof(EIT_EVENT) == 122, "EIT_EVENT layout");

// Table 0 is present/following (0x4E), tables 1 to 16 the schedule tables
// 0x50 to 0x5F. Each table keeps its first kMaxEventsPerTable events.
struct EIT_INFORMATION {
    static constexpr uint32_t kScheduleTables = 16;
    static constexpr uint32_t kTables = kScheduleTables + 1;
    static constexpr uint32_t kMaxEventsPerTable = 64;
    uint16_t wServiceId;                // set by the caller
    uint8_t byPresentFollowingVersion;  // 255: none
    uint8_t byScheduleVersion[kScheduleTables];
    uint16_t wTransportStreamId;
    uint16_t wOriginalNetworkId;
    uint8_t byPresentFollowingEventCount;
    uint8_t byScheduleEventCount[kScheduleTables];
    EIT_EVENT Event[kTables][kMaxEventsPerTable];
};

// What the unreferenced elementary-stream header parsers find; the caller
// sets the PID.
struct VIDEO_SEQUENCE_INFO {
    uint16_t wPid;
    uint8_t byPesStart[4];
    uint16_t wPesFlags;
    uint32_t dwHorizontalSize;
    uint32_t dwVerticalSize;
    double dFrameRate;   // -1.0 for a code outside 1 to 8
    uint32_t dwBitRate;  // bit/s
    uint8_t byProfile;
    uint8_t byLevel;
    uint8_t byAspectRatio;
    uint8_t byChromaFormat;
    uint8_t byValid;
    uint8_t byScrambled;
};

struct AUDIO_HEADER_INFO {
    uint16_t wPid;
    uint8_t byPesStart[4];
    uint16_t wPesFlags;
    uint8_t byLayer;  // 1, 2 or 3
    uint32_t dwBitRateKbps;
    uint8_t bySamplingFrequencyIndex;
    uint8_t byMode;
    uint8_t byValid;
    uint8_t byScrambled;
};

class CPsiSiParser {
  public:
    static constexpr uint32_t kChannels = 100;
    static constexpr uint32_t kFilterSlots = 100;
    static constexpr uint32_t kFiltersPerChannel = 32;
    static constexpr uint32_t kRingSize = 8192;
    static constexpr uint32_t kPmtSlots = 60;
    static constexpr uint32_t kEitSlots = 60;
    static constexpr uint8_t kNone = 255;
    // "remaining" while the first 8 bytes of a section wait in the header
    // buffer.
    static constexpr int32_t kHeaderPending = 4096;
    static constexpr uint8_t kSectionMarker[4] = {0x12, 0x34, 0x56, 0x78};

    // Every PID closed, every store empty.
    CPsiSiParser();
    ~CPsiSiParser();
    CPsiSiParser(const CPsiSiParser&) = delete;
    CPsiSiParser& operator=(const CPsiSiParser&) = delete;

    int32_t Reset();
    // 1 opened; 0 already open; -1 PID >= 8192; -2 all channels in use.
    int32_t OpenPidChannel(uint16_t pid);
    // 1; -1 PID >= 8192; -2 not open; -3 bad channel number.
    int32_t ClosePidChannel(uint16_t pid);
    // 1; -1 PID >= 8192; -2 not open; -3 the PID has 32 filters; -4 all slots
    // in use; -5 depth 0 (or no filter). A depth above 8 is cut to 8.
    int32_t AddSectionFilter(uint16_t pid, const SECTION_FILTER* pFilter);
    // One 188-byte packet (of a 204-byte packet the first 188 bytes are
    // read). 1 section data stored; 0 PID not open or header still
    // incomplete; -1 refused or nothing stored; -2 header buffer state bad;
    // -3 no room, or the payload would start beyond the packet.
    int32_t PushPacket(const uint8_t* pPacket);
    // 1 one section copied; 0 none complete; -1 PID >= 8192; -2 not open;
    // -3 buffer smaller than the next section.
    int32_t GetSection(uint8_t* pBuffer, uint32_t bufferSize, uint16_t pid);

    // 1 new record; 0 incomplete or unchanged; -1 section not taken into the
    // list (a repeat among them); -2 null record; -3 null section; -4 length;
    // -5 table_id; -6 current_next_indicator; -7 section_syntax_indicator.
    int32_t ParsePat(PAT_INFORMATION* pPat, const uint8_t* pSection);
    // Every entry of the PAT last built, those beyond the record's 60 too.
    uint32_t GetPatEntryCount() const { return m_dwPatEntryCount; }
    int32_t ParseSdt(SDT_INFORMATION* pSdt, const uint8_t* pSection);
    // As ParsePat; the record's name is not compared. -1 also when the
    // network has more than 128 transport streams with a cable frequency;
    // the record is then untouched.
    int32_t ParseNit(NIT_INFORMATION* pNit, const uint8_t* pSection);
    // 1 filled; 0 unchanged; -1 PMT PID >= 8192 (or no record); -2 PMT store
    // full; -3 null section; -4 length; -5 table_id; -6 section numbers not
    // 0; -7 syntax indicator; -8 current_next; -9 program_number differs.
    int32_t ParsePmt(PMT_INFORMATION* pPmt, const uint8_t* pSection);
    // 1 filled; 0 same version; -2 null record; -3 null section; -4 length;
    // -5 table_id; -6 syntax indicator; -7 current_next.
    int32_t ParseCat(CAT_INFORMATION* pCat, const uint8_t* pSection);
    // 1 new events; 0 nothing new; -1 table of another stream (or no
    // record); -2 store full; -3 null section; -4 length; -5 table_id
    // outside 0x4E..0x5F; -6 syntax indicator; -7 current_next; -8 service
    // id differs.
    int32_t ParseEit(EIT_INFORMATION* pEit, const uint8_t* pSection);

    // Forgets the PAT, SDT and NIT lists and the PMT store.
    int32_t ClearTables();
    int32_t FreeTables();
    int32_t ClearPmtStore();
    int32_t ClearSdtSectionArray();

    // 1 found; 0 scrambled; -1 no unit start; -2 no record or packet;
    // -3 other PID; -4 the packet ends first; -6 no sequence extension.
    int32_t ParseVideoSequenceHeader(const uint8_t* pPacket, VIDEO_SEQUENCE_INFO* pInfo);
    // As ParseVideoSequenceHeader; -5 no frame sync after the PES header.
    int32_t ParseAudioHeader(const uint8_t* pPacket, AUDIO_HEADER_INFO* pInfo);

  private:
    struct PID_CHANNEL {
        uint8_t byRing[kRingSize];
        int32_t nRingSize;
        int32_t nReadPos;
        int32_t nWritePos;
        int32_t nFill;  // changed only by atomic addition
        uint8_t byHeader[8];
        int32_t nHeaderCount;
        uint16_t wPid;
        uint8_t byLastCounter;
        uint8_t byOverflowCount;
        int32_t nRemaining;
        int32_t nSectionBytes;  // gathered in the channel's section buffer
        uint8_t byFilterCount;
        uint8_t byInUse;
        uint8_t byFilterSlot[kFiltersPerChannel];
    };
    struct FILTER_SLOT {
        SECTION_FILTER Filter;
        uint8_t byInUse;
    };
    struct SECTION_NODE {
        uint8_t* pSection;
        SECTION_NODE* pNext;
    };
    struct PMT_SLOT {
        uint8_t byInUse;
        uint8_t bySpare;
        uint16_t wPmtPid;
        uint8_t bySection[kMaxPsiSectionSize];
    };
    struct EIT_SLOT {
        uint8_t byInUse;
        uint8_t bySpare;
        uint16_t wServiceId;
        uint8_t bySection[kMaxSectionSize];
    };

    // Assembly.
    static int32_t Fill(const PID_CHANNEL& ch);
    static void AddFill(PID_CHANNEL& ch, int32_t delta);
    static bool HasRoom(const PID_CHANNEL& ch, int32_t bytes);
    static void CopyIntoRing(PID_CHANNEL& ch, const uint8_t* data, int32_t bytes);
    // The marker and a whole section into the ring, published at once; an
    // overflow (false) when there is no room.
    static bool StoreSection(PID_CHANNEL& ch, const uint8_t* section, int32_t total);
    // The section in progress is gathered in a buffer of its channel and
    // enters the ring only whole: the reader never sees a part, and an
    // abandoned section leaves nothing behind.
    uint8_t* SectionBuffer(const PID_CHANNEL& ch);
    void BeginSection(PID_CHANNEL& ch, const uint8_t* data, int32_t bytes);
    static void AbandonSection(PID_CHANNEL& ch);
    // The gathered section into the ring: 1, or -3 when there is no room.
    int32_t FinishSection(PID_CHANNEL& ch);
    bool MatchFilters(const PID_CHANNEL& ch, const uint8_t* data, int32_t bytes) const;
    int32_t StartSections(PID_CHANNEL& ch, const uint8_t* packet, int32_t start);
    int32_t ContinueSection(PID_CHANNEL& ch, const uint8_t* data, int32_t bytes);
    int32_t CompleteHeader(PID_CHANNEL& ch, const uint8_t*& data, int32_t& bytes);
    static uint8_t RingByte(const PID_CHANNEL& ch, int32_t offset);
    static void Consume(PID_CHANNEL& ch, int32_t bytes);

    // Section lists.
    static void FreeList(SECTION_NODE*& head);
    static int32_t NewList(SECTION_NODE*& head, const uint8_t* section);
    static int32_t InsertSection(SECTION_NODE*& head, const uint8_t* section);
    static int32_t IsListComplete(const SECTION_NODE* head);
    int32_t TakeIntoList(SECTION_NODE*& head, const uint8_t* section, uint8_t tableId,
                         uint32_t minimum, bool checkRecord);

    // Records.
    int32_t BuildSdt();
    int32_t BuildNit();
    int32_t StorePmtSection(uint16_t pmtPid, const uint8_t* section, uint32_t total);

    PID_CHANNEL m_Channel[kChannels];
    // kMaxSectionSize bytes a channel, kept off the object so that it still
    // fits a stack.
    std::unique_ptr<uint8_t[]> m_pSectionBuffers;
    FILTER_SLOT m_Filter[kFilterSlots];
    uint8_t m_PidMap[kMaxPid];
    SECTION_NODE* m_pPatList = nullptr;
    uint32_t m_dwPatEntryCount = 0;
    SECTION_NODE* m_pSdtList = nullptr;
    SECTION_NODE* m_pNitList = nullptr;
    std::vector<SDTSECTION> m_SdtSectionArray;
    PMT_SLOT m_PmtStore[kPmtSlots];
    uint8_t m_PmtPidMap[kMaxPid];
    // EIT stores, keyed by the full 16-bit service id.
    EIT_SLOT m_EitPfStore[kEitSlots];
    uint8_t m_EitPfMap[65536];
    EIT_SLOT m_EitScheduleStore[EIT_INFORMATION::kScheduleTables][kEitSlots];
    uint8_t m_EitScheduleMap[65536 * EIT_INFORMATION::kScheduleTables];
    // The SDT and NIT records are built here before they are compared.
    SDT_INFORMATION m_SdtBuild;
    NIT_INFORMATION m_NitBuild;
    NIT_TRANSPORT_STREAM m_NitStreamBuild;
};

}  // namespace velmora::ts

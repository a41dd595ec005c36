#include "ts/PsiSiParser.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "ts/Crc32Mpeg.h"

namespace velmora::ts {

namespace {

constexpr uint8_t kTablePat = 0x00;
constexpr uint8_t kTableCat = 0x01;
constexpr uint8_t kTablePmt = 0x02;
constexpr uint8_t kTableNit = 0x40;
constexpr uint8_t kTableSdt = 0x42;
constexpr uint8_t kTableEitPf = 0x4E;
constexpr uint8_t kTableEitPfOther = 0x4F;
constexpr uint8_t kTableEitSchedule = 0x50;
constexpr uint8_t kTableEitScheduleLast = 0x5F;
constexpr uint8_t kTableEitOtherLast = 0x6F;
constexpr uint8_t kTableTdt = 0x70;
constexpr uint8_t kTableRst = 0x71;

constexpr uint8_t kTagCa = 0x09;
constexpr uint8_t kTagNetworkName = 0x40;
constexpr uint8_t kTagServiceList = 0x41;
constexpr uint8_t kTagCableDelivery = 0x44;
constexpr uint8_t kTagService = 0x48;
constexpr uint8_t kTagShortEvent = 0x4D;
// The GB-2312 character table selector that may lead a name.
constexpr uint8_t kGb2312Selector = 0x13;

constexpr uint32_t kCrcSize = 4;
constexpr uint32_t kTsHeaderSize = 4;

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint16_t Pid13(const uint8_t* p) {
    return U16(p) & 0x1FFF;
}
uint32_t Length12(const uint8_t* p) {
    return U16(p) & 0x0FFF;
}
uint32_t SectionTotal(const uint8_t* section) {
    return Length12(section + 1) + 3;
}
uint8_t VersionOf(const uint8_t* section) {
    return (section[5] >> 1) & 0x1F;
}
bool CurrentNext(const uint8_t* section) {
    return (section[5] & 0x01) != 0;
}
bool SyntaxIndicator(const uint8_t* section) {
    return (section[1] & 0x80) != 0;
}
uint8_t SectionNumber(const uint8_t* section) {
    return section[6];
}
uint8_t LastSectionNumber(const uint8_t* section) {
    return section[7];
}

// The header checks shared by the table parsers; 0 when the section passes.
int32_t CheckHeader(const uint8_t* section, uint8_t tableId, uint32_t minimum, int32_t lengthCode,
                    int32_t tableCode) {
    const uint32_t total = SectionTotal(section);
    if (total < minimum || total > kMaxPsiSectionSize) return lengthCode;
    if (section[0] != tableId) return tableCode;
    return 0;
}

// Copies a name of `length` bytes into a field of `size` bytes (at most
// size - 1 bytes of text and a zero); a leading GB-2312 selector is dropped.
// The text's bytes as sent, its character-table selector with them, cut to
// the field.
void CopyText(char* field, uint32_t size, const uint8_t* text, uint32_t length) {
    const uint32_t n = std::min(length, size - 1);
    std::memcpy(field, text, n);
    field[n] = 0;
}

void CopyName(char* field, uint32_t size, const uint8_t* text, uint32_t length) {
    if (length > 0 && text[0] == kGb2312Selector) {
        ++text;
        --length;
    }
    CopyText(field, size, text, length);
}

uint32_t Bcd(uint8_t byte) {
    return (byte >> 4) * 10 + (byte & 0x0F);
}

// The value of `digits` BCD digits from the start of `p`, rounded on the
// digit after them (5 to 9 adds one).
uint32_t BcdRounded(const uint8_t* p, uint32_t digits) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < digits; ++i) {
        value = value * 10 + ((i % 2 == 0) ? (p[i / 2] >> 4) : (p[i / 2] & 0x0F));
    }
    const uint8_t next = (digits % 2 == 0) ? (p[digits / 2] >> 4) : (p[digits / 2] & 0x0F);
    return value + (next >= 5 ? 1 : 0);
}

// The CA_descriptor at `d` (tag, length, body) as a pair; false when its
// body is too short to hold one.
bool ReadCaPair(const uint8_t* d, CA_PAIR* pair) {
    if (d[1] < 4) return false;
    pair->wCaSystemId = U16(d + 2);
    pair->wCaPid = Pid13(d + 4);
    return true;
}

// The payload start of a packet (after its adaptation field); 188 or more
// when there is none inside the packet.
uint32_t PayloadStart(const uint8_t* packet) {
    const uint32_t control = (packet[3] >> 4) & 0x03;
    return control == 3 ? kTsHeaderSize + 1 + packet[4] : kTsHeaderSize;
}

}  // namespace

CPsiSiParser::CPsiSiParser()
    : m_pSectionBuffers(std::make_unique<uint8_t[]>(size_t{kChannels} * kMaxSectionSize)) {
    std::memset(m_Channel, 0, sizeof(m_Channel));
    std::memset(m_PmtStore, 0, sizeof(m_PmtStore));
    std::memset(m_Filter, 0, sizeof(m_Filter));
    std::memset(m_EitPfStore, 0, sizeof(m_EitPfStore));
    std::memset(m_EitScheduleStore, 0, sizeof(m_EitScheduleStore));
    std::memset(m_EitPfMap, kNone, sizeof(m_EitPfMap));
    std::memset(m_EitScheduleMap, kNone, sizeof(m_EitScheduleMap));
    Reset();
    ClearPmtStore();
}

CPsiSiParser::~CPsiSiParser() {
    FreeTables();
}

int32_t CPsiSiParser::Reset() {
    // A ring's bytes mean nothing until its channel is opened again, so only
    // the channel state is cleared.
    constexpr size_t kState = offsetof(PID_CHANNEL, nRingSize);
    for (PID_CHANNEL& ch : m_Channel) {
        std::memset(reinterpret_cast<uint8_t*>(&ch) + kState, 0, sizeof(ch) - kState);
    }
    std::memset(m_Filter, 0, sizeof(m_Filter));
    std::memset(m_PidMap, kNone, sizeof(m_PidMap));
    return 1;
}

int32_t CPsiSiParser::OpenPidChannel(uint16_t pid) {
    if (pid >= kMaxPid) return -1;
    if (m_PidMap[pid] != kNone) return 0;
    for (uint32_t n = 0; n < kChannels; ++n) {
        PID_CHANNEL& ch = m_Channel[n];
        if (ch.byInUse) continue;
        ch.nRingSize = kRingSize;
        ch.nReadPos = 0;
        ch.nWritePos = 0;
        std::atomic_ref<int32_t>(ch.nFill).store(0);
        ch.nHeaderCount = 0;
        ch.wPid = pid;
        ch.byLastCounter = kNone;
        ch.byOverflowCount = 0;
        ch.nRemaining = 0;
        ch.nSectionBytes = 0;
        ch.byFilterCount = 0;
        ch.byInUse = 1;
        m_PidMap[pid] = static_cast<uint8_t>(n);
        return 1;
    }
    return -2;
}

int32_t CPsiSiParser::ClosePidChannel(uint16_t pid) {
    if (pid >= kMaxPid) return -1;
    const uint8_t n = m_PidMap[pid];
    if (n == kNone) return -2;
    if (n >= kChannels) return -3;
    PID_CHANNEL& ch = m_Channel[n];
    for (uint32_t i = 0; i < ch.byFilterCount; ++i)
        m_Filter[ch.byFilterSlot[i]].byInUse = 0;
    ch.byFilterCount = 0;
    ch.byInUse = 0;
    m_PidMap[pid] = kNone;
    return 1;
}

int32_t CPsiSiParser::AddSectionFilter(uint16_t pid, const SECTION_FILTER* pFilter) {
    if (pid >= kMaxPid) return -1;
    const uint8_t n = m_PidMap[pid];
    if (n == kNone || n >= kChannels) return -2;
    PID_CHANNEL& ch = m_Channel[n];
    if (ch.byFilterCount >= kFiltersPerChannel) return -3;
    uint32_t slot = 0;
    while (slot < kFilterSlots && m_Filter[slot].byInUse)
        ++slot;
    if (slot == kFilterSlots) return -4;
    if (pFilter == nullptr || pFilter->byDepth == 0) return -5;
    m_Filter[slot].Filter = *pFilter;
    m_Filter[slot].Filter.byDepth = std::min<uint8_t>(pFilter->byDepth, 8);
    m_Filter[slot].byInUse = 1;
    ch.byFilterSlot[ch.byFilterCount++] = static_cast<uint8_t>(slot);
    return 1;
}

// --- Assembly ---------------------------------------------------------------

int32_t CPsiSiParser::Fill(const PID_CHANNEL& ch) {
    return std::atomic_ref<int32_t>(const_cast<int32_t&>(ch.nFill)).load();
}

void CPsiSiParser::AddFill(PID_CHANNEL& ch, int32_t delta) {
    std::atomic_ref<int32_t>(ch.nFill).fetch_add(delta);
}

bool CPsiSiParser::HasRoom(const PID_CHANNEL& ch, int32_t bytes) {
    return ch.nRingSize - Fill(ch) >= bytes;
}

void CPsiSiParser::CopyIntoRing(PID_CHANNEL& ch, const uint8_t* data, int32_t bytes) {
    const int32_t first = std::min(bytes, ch.nRingSize - ch.nWritePos);
    std::memcpy(ch.byRing + ch.nWritePos, data, first);
    std::memcpy(ch.byRing, data + first, bytes - first);
    ch.nWritePos = (ch.nWritePos + bytes) % ch.nRingSize;
}

bool CPsiSiParser::StoreSection(PID_CHANNEL& ch, const uint8_t* section, int32_t total) {
    constexpr int32_t kMarker = sizeof(kSectionMarker);
    if (!HasRoom(ch, kMarker + total)) {
        ++ch.byOverflowCount;
        return false;
    }
    CopyIntoRing(ch, kSectionMarker, kMarker);
    CopyIntoRing(ch, section, total);
    // The fill is raised once both are there, so a reader on another thread
    // sees the record whole or not at all.
    AddFill(ch, kMarker + total);
    return true;
}

uint8_t* CPsiSiParser::SectionBuffer(const PID_CHANNEL& ch) {
    return m_pSectionBuffers.get() + (&ch - m_Channel) * kMaxSectionSize;
}

// Gathers the first bytes of a section that continues in later packets.
void CPsiSiParser::BeginSection(PID_CHANNEL& ch, const uint8_t* data, int32_t bytes) {
    std::memcpy(SectionBuffer(ch), data, bytes);
    ch.nSectionBytes = bytes;
}

void CPsiSiParser::AbandonSection(PID_CHANNEL& ch) {
    ch.nSectionBytes = 0;
    ch.nRemaining = 0;
    ch.nHeaderCount = 0;
}

bool CPsiSiParser::MatchFilters(const PID_CHANNEL& ch, const uint8_t* data, int32_t bytes) const {
    for (uint32_t i = 0; i < ch.byFilterCount; ++i) {
        const FILTER_SLOT& slot = m_Filter[ch.byFilterSlot[i]];
        const SECTION_FILTER& f = slot.Filter;
        if (!slot.byInUse || f.byDepth == 0 || bytes < f.byDepth) continue;
        bool match = true;
        for (uint32_t k = 0; k < f.byDepth && match; ++k) {
            match = (data[k] & f.byMask[k]) == (f.byValue[k] & f.byMask[k]);
        }
        if (match) return true;
    }
    return false;
}

int32_t CPsiSiParser::PushPacket(const uint8_t* p) {
    if (p == nullptr) return -1;
    const uint16_t pid = Pid13(p + 1);
    const uint8_t n = m_PidMap[pid];
    if (n >= kChannels) return 0;
    PID_CHANNEL& ch = m_Channel[n];

    const uint32_t control = (p[3] >> 4) & 0x03;
    if (p[0] != 0x47 || (p[1] & 0x80) || (p[3] & 0xC0) || control == 0 || control == 2) return -1;
    const bool unitStart = (p[1] & 0x40) != 0;
    // The payload (and for a unit start the pointer_field's target) must lie
    // inside the packet; such a packet is refused before its counter counts,
    // so the next packet finds the gap.
    const uint32_t start = PayloadStart(p);
    if (start >= kTsPacketSize) return -3;
    const uint32_t target = unitStart ? start + 1 + p[start] : start;
    if (target > kTsPacketSize) return -3;

    const uint8_t counter = p[3] & 0x0F;
    if (ch.byLastCounter != kNone) {
        if (counter == ch.byLastCounter) return -1;
        if (counter != ((ch.byLastCounter + 1) & 0x0F)) AbandonSection(ch);
    }
    ch.byLastCounter = counter;

    if (!unitStart) {
        if (ch.nRemaining < 1) return -1;
        return ContinueSection(ch, p + start, static_cast<int32_t>(kTsPacketSize - start));
    }
    // The bytes before the pointer_field's target end the section in
    // progress.
    bool stored = false;
    const int32_t before = static_cast<int32_t>(target - start - 1);
    if (ch.nRemaining > 0 && before > 0) {
        const int32_t r = ContinueSection(ch, p + start + 1, before);
        stored = r == 1 && ch.nRemaining == 0;
    }
    AbandonSection(ch);
    if (target >= kTsPacketSize) return stored ? 1 : -1;
    return StartSections(ch, p, static_cast<int32_t>(target)) == 1 || stored ? 1 : -1;
}

// Reads the sections that begin in a unit-start packet at `pos`.
int32_t CPsiSiParser::StartSections(PID_CHANNEL& ch, const uint8_t* p, int32_t pos) {
    constexpr int32_t kEnd = kTsPacketSize;
    bool stored = false;
    while (pos < kEnd) {
        if (p[pos] == 0xFF) break;
        const int32_t left = kEnd - pos;
        if (left < 8) {
            std::memcpy(ch.byHeader, p + pos, left);
            ch.nHeaderCount = left;
            ch.nRemaining = kHeaderPending;
            break;
        }
        const uint32_t length = Length12(p + pos + 1);
        if (length < 5 || length >= 4094) break;
        const int32_t total = static_cast<int32_t>(length + 3);
        if (total <= left) {
            if (MatchFilters(ch, p + pos, total) && StoreSection(ch, p + pos, total)) {
                stored = true;
            }
            pos += total;
            continue;
        }
        if (MatchFilters(ch, p + pos, left)) {
            BeginSection(ch, p + pos, left);
            ch.nRemaining = total - left;
            stored = true;
        }
        break;
    }
    return stored ? 1 : -1;
}

// Completes the header waiting in the header buffer from `data`, advancing
// it; 1 when the section start is stored, else the result of the packet.
int32_t CPsiSiParser::CompleteHeader(PID_CHANNEL& ch, const uint8_t*& data, int32_t& bytes) {
    if (ch.nHeaderCount < 1 || ch.nHeaderCount >= 8) {
        ch.nRemaining = 0;
        ch.nHeaderCount = 0;
        return -2;
    }
    const int32_t take = std::min(8 - ch.nHeaderCount, bytes);
    std::memcpy(ch.byHeader + ch.nHeaderCount, data, take);
    ch.nHeaderCount += take;
    data += take;
    bytes -= take;
    if (ch.nHeaderCount < 8) return 0;
    const int32_t total = static_cast<int32_t>(SectionTotal(ch.byHeader));
    ch.nHeaderCount = 0;
    ch.nRemaining = 0;
    if (total < 8 || total > static_cast<int32_t>(kMaxSectionSize)) return -1;
    if (!MatchFilters(ch, ch.byHeader, 8)) return -1;
    BeginSection(ch, ch.byHeader, 8);
    ch.nRemaining = total - 8;
    if (ch.nRemaining == 0) return FinishSection(ch);
    return 1;
}

int32_t CPsiSiParser::FinishSection(PID_CHANNEL& ch) {
    const bool stored = StoreSection(ch, SectionBuffer(ch), ch.nSectionBytes);
    ch.nSectionBytes = 0;
    return stored ? 1 : -3;
}

int32_t CPsiSiParser::ContinueSection(PID_CHANNEL& ch, const uint8_t* data, int32_t bytes) {
    if (ch.nRemaining == kHeaderPending) {
        const int32_t r = CompleteHeader(ch, data, bytes);
        if (r != 1 || ch.nRemaining == 0) return r;
    }
    const int32_t n = std::min(bytes, ch.nRemaining);
    std::memcpy(SectionBuffer(ch) + ch.nSectionBytes, data, n);
    ch.nSectionBytes += n;
    ch.nRemaining -= n;
    return ch.nRemaining == 0 ? FinishSection(ch) : 1;
}

uint8_t CPsiSiParser::RingByte(const PID_CHANNEL& ch, int32_t offset) {
    return ch.byRing[(ch.nReadPos + offset) % ch.nRingSize];
}

void CPsiSiParser::Consume(PID_CHANNEL& ch, int32_t bytes) {
    ch.nReadPos = (ch.nReadPos + bytes) % ch.nRingSize;
    AddFill(ch, -bytes);
}

int32_t CPsiSiParser::GetSection(uint8_t* pBuffer, uint32_t bufferSize, uint16_t pid) {
    if (pid >= kMaxPid) return -1;
    const uint8_t n = m_PidMap[pid];
    if (n >= kChannels) return -2;
    PID_CHANNEL& ch = m_Channel[n];
    constexpr int32_t kMarker = sizeof(kSectionMarker);
    while (Fill(ch) >= 12) {
        bool marker = true;
        for (int32_t i = 0; i < kMarker && marker; ++i) {
            marker = RingByte(ch, i) == kSectionMarker[i];
        }
        if (!marker) {
            Consume(ch, 1);
            continue;
        }
        const uint8_t tableId = RingByte(ch, 4);
        const int32_t total = (((RingByte(ch, 5) & 0x0F) << 8) | RingByte(ch, 6)) + 3;
        if (total < 8 || total > static_cast<int32_t>(kMaxSectionSize)) {
            Consume(ch, kMarker);
            continue;
        }
        if (pBuffer == nullptr || bufferSize < static_cast<uint32_t>(total)) return -3;
        if (Fill(ch) < total + kMarker) return 0;
        Consume(ch, kMarker);
        const int32_t first = std::min(total, ch.nRingSize - ch.nReadPos);
        std::memcpy(pBuffer, ch.byRing + ch.nReadPos, first);
        std::memcpy(pBuffer + first, ch.byRing, total - first);
        // A refused section is consumed whole: its body may hold the
        // marker's bytes, and a scan inside it would frame a false section
        // over the records after it.
        if (tableId == kTableTdt || tableId == kTableRst) {
            const bool accepted = tableId == kTableTdt ? total == 8 : total <= 1024;
            if (!accepted) {
                Consume(ch, total);
                continue;
            }
        } else if (Crc32Mpeg(pBuffer, static_cast<uint32_t>(total)) != 0) {
            Consume(ch, total);
            continue;
        }
        Consume(ch, total);
        return 1;
    }
    return 0;
}

// --- Section lists ----------------------------------------------------------

void CPsiSiParser::FreeList(SECTION_NODE*& head) {
    while (head != nullptr) {
        SECTION_NODE* next = head->pNext;
        delete[] head->pSection;
        delete head;
        head = next;
    }
}

namespace {
uint8_t* CopySection(const uint8_t* section) {
    const uint32_t total = SectionTotal(section);
    uint8_t* copy = new (std::nothrow) uint8_t[total];
    if (copy != nullptr) std::memcpy(copy, section, total);
    return copy;
}
}  // namespace

int32_t CPsiSiParser::NewList(SECTION_NODE*& head, const uint8_t* section) {
    FreeList(head);
    SECTION_NODE* node = new (std::nothrow) SECTION_NODE{nullptr, nullptr};
    if (node == nullptr) return -3;
    node->pSection = CopySection(section);
    if (node->pSection == nullptr) {
        delete node;
        return -4;
    }
    head = node;
    return 1;
}

int32_t CPsiSiParser::InsertSection(SECTION_NODE*& head, const uint8_t* section) {
    if (section == nullptr) return -1;
    if (head == nullptr) return NewList(head, section);
    const uint32_t total = SectionTotal(section);
    SECTION_NODE** link = &head;
    while (true) {
        SECTION_NODE* node = *link;
        const uint8_t* held = node->pSection;
        if (held == nullptr) {
            std::fprintf(stderr, "Fatal error: section list error.\n");
            return NewList(head, section);
        }
        if (held[0] != section[0] || VersionOf(held) != VersionOf(section) ||
            LastSectionNumber(held) != LastSectionNumber(section)) {
            return NewList(head, section);
        }
        if (SectionNumber(held) == SectionNumber(section)) {
            if (SectionTotal(held) == total && std::memcmp(held, section, total) == 0) return 0;
            return NewList(head, section);
        }
        if (SectionNumber(held) > SectionNumber(section) || node->pNext == nullptr) {
            SECTION_NODE* fresh = new (std::nothrow) SECTION_NODE{nullptr, nullptr};
            if (fresh == nullptr) return -6;
            fresh->pSection = CopySection(section);
            if (fresh->pSection == nullptr) {
                delete fresh;
                return -7;
            }
            if (SectionNumber(held) > SectionNumber(section)) {
                fresh->pNext = node;
                *link = fresh;
            } else {
                node->pNext = fresh;
            }
            return 1;
        }
        link = &node->pNext;
    }
}

int32_t CPsiSiParser::IsListComplete(const SECTION_NODE* head) {
    if (head == nullptr) return -1;
    if (head->pSection == nullptr) return -2;
    const uint32_t last = LastSectionNumber(head->pSection);
    const SECTION_NODE* node = head;
    for (uint32_t number = 0; number <= last; ++number, node = node->pNext) {
        if (node == nullptr) return -1;
        if (node->pSection == nullptr) return -2;
        if (SectionNumber(node->pSection) != number) return -3;
    }
    return 1;
}

// The shared front of the PAT, SDT and NIT parsers: header checks, then the
// section into its list. 1 when the list is complete and a record is to be
// built; else the parser's result.
int32_t CPsiSiParser::TakeIntoList(SECTION_NODE*& head, const uint8_t* section, uint8_t tableId,
                                   uint32_t minimum, bool hasRecord) {
    if (!hasRecord) return -2;
    if (section == nullptr) return -3;
    const int32_t header = CheckHeader(section, tableId, minimum, -4, -5);
    if (header != 0) return header;
    if (!CurrentNext(section)) return -6;
    if (!SyntaxIndicator(section)) return -7;
    if (InsertSection(head, section) != 1) return -1;
    return IsListComplete(head) == 1 ? 1 : 0;
}

int32_t CPsiSiParser::ClearTables() {
    return FreeTables();
}

int32_t CPsiSiParser::FreeTables() {
    FreeList(m_pPatList);
    m_dwPatEntryCount = 0;
    FreeList(m_pSdtList);
    FreeList(m_pNitList);
    ClearPmtStore();
    return 1;
}

int32_t CPsiSiParser::ClearPmtStore() {
    // A slot's section is written whole when the slot is taken.
    for (PMT_SLOT& slot : m_PmtStore) {
        slot.byInUse = 0;
        slot.wPmtPid = 0;
    }
    std::memset(m_PmtPidMap, kNone, sizeof(m_PmtPidMap));
    return 1;
}

int32_t CPsiSiParser::ClearSdtSectionArray() {
    m_SdtSectionArray.clear();
    return 1;
}

// --- PAT --------------------------------------------------------------------

int32_t CPsiSiParser::ParsePat(PAT_INFORMATION* pPat, const uint8_t* pSection) {
    constexpr uint32_t kMinimum = 8 + kCrcSize;
    const int32_t taken = TakeIntoList(m_pPatList, pSection, kTablePat, kMinimum, pPat != nullptr);
    if (taken != 1) return taken;

    PAT_INFORMATION pat;
    std::memset(&pat, 0xFF, sizeof(pat));
    pat.wTransportStreamId = U16(m_pPatList->pSection + 3);
    pat.byVersion = VersionOf(m_pPatList->pSection);
    pat.byProgramCount = 0;
    uint32_t entries = 0;
    for (const SECTION_NODE* node = m_pPatList; node != nullptr; node = node->pNext) {
        const uint8_t* s = node->pSection;
        const uint32_t end = SectionTotal(s) - kCrcSize;
        for (uint32_t pos = 8; pos + 4 <= end; pos += 4, ++entries) {
            if (pat.byProgramCount >= PAT_INFORMATION::kMaxPrograms) continue;
            PAT_PROGRAM& entry = pat.Program[pat.byProgramCount++];
            entry.wProgramNumber = U16(s + pos);
            entry.wPid = Pid13(s + pos + 2);
        }
    }
    const bool unchanged =
        pat.byVersion == pPat->byVersion && pat.wTransportStreamId == pPat->wTransportStreamId &&
        pat.byProgramCount == pPat->byProgramCount && entries == m_dwPatEntryCount &&
        std::memcmp(pat.Program, pPat->Program, pat.byProgramCount * sizeof(PAT_PROGRAM)) == 0;
    if (unchanged) return 0;
    *pPat = pat;
    m_dwPatEntryCount = entries;
    return 1;
}

// --- PMT --------------------------------------------------------------------

// Keeps the section in the PMT store under its PMT PID; 0 when the slot
// already holds these bytes, -2 when the store is full.
int32_t CPsiSiParser::StorePmtSection(uint16_t pmtPid, const uint8_t* section, uint32_t total) {
    uint8_t slot = m_PmtPidMap[pmtPid];
    if (slot != kNone &&
        (slot >= kPmtSlots || !m_PmtStore[slot].byInUse || m_PmtStore[slot].wPmtPid != pmtPid)) {
        ClearPmtStore();
        slot = kNone;
    }
    if (slot == kNone) {
        uint32_t free = 0;
        while (free < kPmtSlots && m_PmtStore[free].byInUse)
            ++free;
        if (free == kPmtSlots) return -2;
        slot = static_cast<uint8_t>(free);
        m_PmtStore[slot].byInUse = 1;
        m_PmtStore[slot].wPmtPid = pmtPid;
        m_PmtPidMap[pmtPid] = slot;
    } else if (std::memcmp(m_PmtStore[slot].bySection, section, total) == 0) {
        return 0;
    }
    std::memset(m_PmtStore[slot].bySection, 0, sizeof(m_PmtStore[slot].bySection));
    std::memcpy(m_PmtStore[slot].bySection, section, total);
    return 1;
}

int32_t CPsiSiParser::ParsePmt(PMT_INFORMATION* pPmt, const uint8_t* pSection) {
    if (pPmt == nullptr || pPmt->wPmtPid >= kMaxPid) return -1;
    if (pSection == nullptr) return -3;
    // The fixed part: header, PCR_PID, program_info_length and the CRC.
    constexpr uint32_t kMinimum = 12 + kCrcSize;
    const int32_t header = CheckHeader(pSection, kTablePmt, kMinimum, -4, -5);
    if (header != 0) return header;
    if (SectionNumber(pSection) != 0 || LastSectionNumber(pSection) != 0) return -6;
    if (!SyntaxIndicator(pSection)) return -7;
    if (!CurrentNext(pSection)) return -8;
    if (U16(pSection + 3) != pPmt->wProgramNumber) return -9;

    const uint32_t total = SectionTotal(pSection);
    const int32_t stored = StorePmtSection(pPmt->wPmtPid, pSection, total);
    if (stored != 1) return stored;
    const uint8_t version = VersionOf(pSection);
    if (version == pPmt->byVersion) return 0;

    pPmt->byVersion = version;
    pPmt->wPcrPid = Pid13(pSection + 8);
    pPmt->byCaCount = 0;
    pPmt->byStreamCount = 0;
    const uint32_t end = total - kCrcSize;
    const uint32_t programInfoEnd = std::min(12 + Length12(pSection + 10), end);
    auto takeCa = [pPmt](const uint8_t* d) {
        CA_PAIR pair;
        if (pPmt->byCaCount < PMT_INFORMATION::kMaxCaPairs && ReadCaPair(d, &pair)) {
            pPmt->Ca[pPmt->byCaCount++] = pair;
        }
    };
    // Program-level CA descriptors lead the loop; the first other tag ends it.
    for (uint32_t pos = 12; pos + 2 <= programInfoEnd && pSection[pos] == kTagCa;) {
        if (pos + 2 + pSection[pos + 1] > programInfoEnd) break;
        takeCa(pSection + pos);
        pos += 2 + pSection[pos + 1];
    }
    // Stream-level CA pairs join the program-level ones.
    for (uint32_t pos = 12 + Length12(pSection + 10); pos + 5 <= end;) {
        const uint32_t infoEnd = pos + 5 + Length12(pSection + pos + 3);
        if (infoEnd > end) break;
        if (pPmt->byStreamCount < PMT_INFORMATION::kMaxStreams) {
            PMT_STREAM& stream = pPmt->Stream[pPmt->byStreamCount++];
            stream.byStreamType = pSection[pos];
            stream.wElementaryPid = Pid13(pSection + pos + 1);
            stream.byZero = 0;
        }
        for (uint32_t d = pos + 5; d + 2 <= infoEnd;) {
            if (d + 2 + pSection[d + 1] > infoEnd) break;
            if (pSection[d] == kTagCa) takeCa(pSection + d);
            d += 2 + pSection[d + 1];
        }
        pos = infoEnd;
    }
    return 1;
}

// --- CAT --------------------------------------------------------------------

int32_t CPsiSiParser::ParseCat(CAT_INFORMATION* pCat, const uint8_t* pSection) {
    if (pCat == nullptr) return -2;
    if (pSection == nullptr) return -3;
    const int32_t header = CheckHeader(pSection, kTableCat, 8 + kCrcSize, -4, -5);
    if (header != 0) return header;
    if (!SyntaxIndicator(pSection)) return -6;
    if (!CurrentNext(pSection)) return -7;
    const uint8_t version = VersionOf(pSection);
    if (version == pCat->byVersion) return 0;
    pCat->byVersion = version;
    pCat->byCaCount = 0;
    const uint32_t end = SectionTotal(pSection) - kCrcSize;
    for (uint32_t pos = 8; pos + 2 <= end && pSection[pos] == kTagCa;) {
        if (pos + 2 + pSection[pos + 1] > end) break;
        CA_PAIR pair;
        if (pCat->byCaCount < CAT_INFORMATION::kMaxCaPairs && ReadCaPair(pSection + pos, &pair)) {
            pCat->Ca[pCat->byCaCount++] = pair;
        }
        pos += 2 + pSection[pos + 1];
    }
    return 1;
}

// --- SDT --------------------------------------------------------------------

int32_t CPsiSiParser::ParseSdt(SDT_INFORMATION* pSdt, const uint8_t* pSection) {
    constexpr uint32_t kMinimum = 11 + kCrcSize;
    const int32_t taken = TakeIntoList(m_pSdtList, pSection, kTableSdt, kMinimum, pSdt != nullptr);
    if (taken != 1) return taken;
    const int32_t built = BuildSdt();
    if (built != 1) return built;
    const SDT_INFORMATION& sdt = m_SdtBuild;
    const bool unchanged =
        sdt.byVersion == pSdt->byVersion && sdt.wTransportStreamId == pSdt->wTransportStreamId &&
        sdt.wOriginalNetworkId == pSdt->wOriginalNetworkId &&
        sdt.byServiceCount == pSdt->byServiceCount &&
        std::memcmp(sdt.Service, pSdt->Service, sdt.byServiceCount * sizeof(SDT_SERVICE)) == 0;
    if (unchanged) return 0;
    *pSdt = sdt;
    return 1;
}

namespace {
// Takes a service_descriptor (body of `length` bytes) into the entry; a name
// that overruns the descriptor leaves the entry as it was.
void TakeServiceDescriptor(SDT_SERVICE& service, const uint8_t* body, uint32_t length) {
    if (length < 2) return;
    const uint32_t providerLength = body[1];
    if (2 + providerLength + 1 > length) return;
    const uint32_t nameLength = body[2 + providerLength];
    if (3 + providerLength + nameLength > length) return;
    service.byServiceType = body[0];
    // The names are decoded by their selectors where they are given out.
    // The provider field's last byte stays zero: 31 bytes of text at most.
    CopyText(service.szProviderName, SDT_SERVICE::kProviderSize - 1, body + 2, providerLength);
    CopyText(service.szServiceName, SDT_SERVICE::kNameSize, body + 3 + providerLength, nameLength);
}
}  // namespace

int32_t CPsiSiParser::BuildSdt() {
    SDT_INFORMATION& sdt = m_SdtBuild;
    std::memset(&sdt, 0xFF, sizeof(sdt));
    const uint8_t* first = m_pSdtList->pSection;
    sdt.wTransportStreamId = U16(first + 3);
    sdt.wOriginalNetworkId = U16(first + 8);
    sdt.byVersion = VersionOf(first);
    sdt.byServiceCount = 0;
    for (const SECTION_NODE* node = m_pSdtList; node != nullptr; node = node->pNext) {
        const uint8_t* s = node->pSection;
        const uint32_t end = SectionTotal(s) - kCrcSize;
        for (uint32_t pos = 11; pos + 5 <= end;) {
            const uint32_t loopEnd = pos + 5 + Length12(s + pos + 3);
            if (loopEnd > end || sdt.byServiceCount >= SDT_INFORMATION::kMaxServices) break;
            SDT_SERVICE& service = sdt.Service[sdt.byServiceCount++];
            std::memset(&service, 0, sizeof(service));
            service.wServiceId = U16(s + pos);
            service.byEitScheduleFlag = (s[pos + 2] >> 1) & 1;
            service.byEitPresentFollowingFlag = s[pos + 2] & 1;
            service.byRunningStatus = s[pos + 3] >> 5;
            service.byFreeCaMode = (s[pos + 3] >> 4) & 1;
            for (uint32_t d = pos + 5; d + 2 <= loopEnd;) {
                const uint32_t length = s[d + 1];
                if (d + 2 + length > loopEnd) break;
                if (s[d] == kTagService) TakeServiceDescriptor(service, s + d + 2, length);
                d += 2 + length;
            }
            pos = loopEnd;
        }
    }
    return 1;
}

// --- NIT --------------------------------------------------------------------

int32_t CPsiSiParser::ParseNit(NIT_INFORMATION* pNit, const uint8_t* pSection) {
    constexpr uint32_t kMinimum = 12 + kCrcSize;
    const int32_t taken = TakeIntoList(m_pNitList, pSection, kTableNit, kMinimum, pNit != nullptr);
    if (taken != 1) return taken;
    const int32_t built = BuildNit();
    if (built != 1) return built;
    const NIT_INFORMATION& nit = m_NitBuild;
    const bool unchanged =
        nit.byVersion == pNit->byVersion && nit.wNetworkId == pNit->wNetworkId &&
        nit.byTransportStreamCount == pNit->byTransportStreamCount &&
        nit.byTransportStreamCount != 0 &&
        std::memcmp(nit.TransportStream, pNit->TransportStream,
                    nit.byTransportStreamCount * sizeof(NIT_TRANSPORT_STREAM)) == 0;
    if (unchanged) return 0;
    std::memcpy(pNit, &nit, sizeof(nit));
    return 1;
}

namespace {
void TakeCableDelivery(NIT_TRANSPORT_STREAM& entry, const uint8_t* body) {
    entry.dwFrequencyKhz = BcdRounded(body, 7);
    entry.wFecOuter = body[5] & 0x0F;
    const uint8_t modulation = body[6];
    entry.dwModulation =
        (modulation == 1 || modulation == 2 || modulation == 4 || modulation == 5) ? modulation : 3;
    entry.dwSymbolRateKsps = BcdRounded(body + 7, 6);
    entry.wFecInner = body[10] & 0x0F;
}

void TakeServiceList(NIT_TRANSPORT_STREAM& entry, const uint8_t* body, uint32_t length) {
    for (uint32_t i = 0; i + 3 <= length; i += 3) {
        if (entry.dwServiceCount >= VELMORA_NIT_MAX_SERVICES) break;
        NIT_SERVICE& service = entry.Service[entry.dwServiceCount++];
        service.dwServiceId = U16(body + i);
        service.wServiceType = body[i + 2];
    }
}
}  // namespace

int32_t CPsiSiParser::BuildNit() {
    NIT_INFORMATION& nit = m_NitBuild;
    std::memset(&nit, 0, sizeof(nit));
    const uint8_t* first = m_pNitList->pSection;
    nit.wNetworkId = U16(first + 3);
    nit.byVersion = VersionOf(first);
    uint32_t count = 0;
    for (const SECTION_NODE* node = m_pNitList; node != nullptr; node = node->pNext) {
        const uint8_t* s = node->pSection;
        const uint32_t end = SectionTotal(s) - kCrcSize;
        const uint32_t networkEnd = 10 + Length12(s + 8);
        if (networkEnd + 2 > end) continue;
        if (node == m_pNitList && networkEnd >= 12 && s[10] == kTagNetworkName &&
            12u + s[11] <= networkEnd) {
            // Fills the whole field when 128 bytes long: every reader bounds it.
            std::memcpy(nit.byNetworkName, s + 12, std::min<uint32_t>(s[11], 128));
        }
        for (uint32_t pos = networkEnd + 2; pos + 6 <= end;) {
            const uint32_t loopEnd = pos + 6 + Length12(s + pos + 4);
            if (loopEnd > end) break;
            NIT_TRANSPORT_STREAM& entry = m_NitStreamBuild;
            std::memset(&entry, 0, sizeof(entry));
            entry.wTransportStreamId = U16(s + pos);
            entry.wOriginalNetworkId = U16(s + pos + 2);
            for (uint32_t d = pos + 6; d + 2 <= loopEnd;) {
                const uint32_t length = s[d + 1];
                if (d + 2 + length > loopEnd) break;
                if (s[d] == kTagCableDelivery && length >= 11) TakeCableDelivery(entry, s + d + 2);
                if (s[d] == kTagServiceList) TakeServiceList(entry, s + d + 2, length);
                d += 2 + length;
            }
            pos = loopEnd;
            if (entry.dwFrequencyKhz == 0) continue;
            if (count >= VELMORA_NIT_MAX_STREAMS) return -1;
            nit.TransportStream[count++] = entry;
        }
    }
    nit.byTransportStreamCount = static_cast<uint8_t>(count);
    return 1;
}

// --- EIT --------------------------------------------------------------------

int32_t CPsiSiParser::ParseEit(EIT_INFORMATION* pEit, const uint8_t* pSection) {
    if (pEit == nullptr) return -1;
    if (pSection == nullptr) return -3;
    const uint32_t total = SectionTotal(pSection);
    if (total < 14 + kCrcSize || total > kMaxSectionSize) return -4;
    const uint8_t tableId = pSection[0];
    if (tableId == kTableEitPfOther ||
        (tableId > kTableEitScheduleLast && tableId <= kTableEitOtherLast)) {
        return -1;
    }
    if (tableId != kTableEitPf &&
        (tableId < kTableEitSchedule || tableId > kTableEitScheduleLast)) {
        return -5;
    }
    if (!SyntaxIndicator(pSection)) return -6;
    if (!CurrentNext(pSection)) return -7;
    const uint16_t serviceId = U16(pSection + 3);
    if (serviceId != pEit->wServiceId) return -8;

    const bool presentFollowing = tableId == kTableEitPf;
    const uint32_t table = presentFollowing ? 0 : 1 + tableId - kTableEitSchedule;
    uint8_t& version =
        presentFollowing ? pEit->byPresentFollowingVersion : pEit->byScheduleVersion[table - 1];
    uint8_t& eventCount = presentFollowing ? pEit->byPresentFollowingEventCount
                                           : pEit->byScheduleEventCount[table - 1];
    EIT_SLOT* store = presentFollowing ? m_EitPfStore : m_EitScheduleStore[table - 1];
    uint8_t& mapEntry =
        presentFollowing ? m_EitPfMap[serviceId] : m_EitScheduleMap[serviceId * 16 + (table - 1)];

    const uint8_t sectionVersion = VersionOf(pSection);
    if (version != sectionVersion) {
        if (mapEntry < kEitSlots) std::memset(store[mapEntry].bySection, 0, kMaxSectionSize);
        eventCount = 0;
        version = 255;
    }
    if (mapEntry >= kEitSlots) {
        uint32_t free = 0;
        while (free < kEitSlots && store[free].byInUse)
            ++free;
        if (free == kEitSlots) return -2;
        mapEntry = static_cast<uint8_t>(free);
        store[free].byInUse = 1;
        store[free].wServiceId = serviceId;
    } else if (std::memcmp(store[mapEntry].bySection, pSection, total) == 0) {
        return 0;
    }
    std::memset(store[mapEntry].bySection, 0, kMaxSectionSize);
    std::memcpy(store[mapEntry].bySection, pSection, total);
    version = sectionVersion;
    pEit->wTransportStreamId = U16(pSection + 8);
    pEit->wOriginalNetworkId = U16(pSection + 10);

    int32_t result = 0;
    const uint32_t end = total - kCrcSize;
    for (uint32_t pos = 14; pos + 12 <= end;) {
        const uint8_t* e = pSection + pos;
        const uint32_t loopEnd = pos + 12 + Length12(e + 10);
        if (loopEnd > end) break;
        pos = loopEnd;
        const uint16_t eventId = U16(e);
        EIT_EVENT* events = pEit->Event[table];
        bool held = false;
        for (uint32_t i = 0; i < eventCount && !held; ++i)
            held = events[i].wEventId == eventId;
        if (held || eventCount >= EIT_INFORMATION::kMaxEventsPerTable) continue;
        EIT_EVENT& event = events[eventCount++];
        std::memset(&event, 0, sizeof(event));
        event.wEventId = eventId;
        const int32_t mjd = U16(e + 2);
        const int32_t y = static_cast<int32_t>((mjd - 15078.2) / 365.25);
        const int32_t m =
            static_cast<int32_t>((mjd - 14956.1 - static_cast<int32_t>(y * 365.25)) / 30.6001);
        const int32_t k = (m == 14 || m == 15) ? 1 : 0;
        event.wDay = static_cast<uint16_t>(mjd - 14956 - static_cast<int32_t>(y * 365.25) -
                                           static_cast<int32_t>(m * 30.6001));
        event.wYear = static_cast<uint16_t>(y + k + 1900);
        event.wMonth = static_cast<uint16_t>(m - 1 - 12 * k);
        event.wHour = e[4];
        event.wMinute = e[5];
        event.wSecond = e[6];
        event.wDurationHours = static_cast<uint16_t>(Bcd(e[7]));
        event.wDurationMinutes = static_cast<uint16_t>(Bcd(e[8]));
        event.wDurationSeconds = static_cast<uint16_t>(Bcd(e[9]));
        event.byRunningStatus = e[10] >> 5;
        event.byFreeCaMode = (e[10] >> 4) & 1;
        for (uint32_t d = static_cast<uint32_t>(e - pSection) + 12; d + 2 <= loopEnd;) {
            const uint32_t length = pSection[d + 1];
            if (d + 2 + length > loopEnd) break;
            const uint8_t* body = pSection + d + 2;
            // Language (3), name length, name, text length, text.
            if (pSection[d] == kTagShortEvent && length >= 5 && 5u + body[3] <= length &&
                5u + body[3] + body[4 + body[3]] <= length) {
                std::memcpy(event.szLanguage, body, 3);
                event.szLanguage[3] = 0;
                CopyName(event.szEventName, sizeof(event.szEventName), body + 4, body[3]);
                CopyName(event.szEventText, sizeof(event.szEventText), body + 5 + body[3],
                         body[4 + body[3]]);
            }
            d += 2 + length;
        }
        result = 1;
    }
    return result;
}

// --- Elementary-stream headers ------------------------------------------------

namespace {

// The start of the elementary-stream bytes of a unit-start packet of `pid`:
// checks shared by the two header parsers. Returns 1 with `esStart` and the
// PES fields set, else the parser's result.
int32_t FindElementaryData(const uint8_t* packet, uint16_t pid, uint8_t* pesStart,
                           uint16_t* pesFlags, uint8_t* scrambled, uint32_t* esStart) {
    if (Pid13(packet + 1) != pid) return -3;
    if (!(packet[1] & 0x40)) return -1;
    if (packet[3] & 0xC0) {
        *scrambled = 1;
        return 0;
    }
    const uint32_t pes = PayloadStart(packet);
    if (pes + 9 > kTsPacketSize) return -4;
    std::memcpy(pesStart, packet + pes, 4);
    *pesFlags = U16(packet + pes + 6);
    *esStart = pes + 9 + packet[pes + 8];
    return *esStart < kTsPacketSize ? 1 : -4;
}

// The position of the start code 00 00 01 `code` at or after `from` that
// has `need` bytes after it inside the packet; 0 when none.
uint32_t FindStartCode(const uint8_t* packet, uint32_t from, uint8_t code, uint32_t need) {
    for (uint32_t i = from; i + 4 + need <= kTsPacketSize; ++i) {
        if (packet[i] == 0 && packet[i + 1] == 0 && packet[i + 2] == 1 && packet[i + 3] == code) {
            return i;
        }
    }
    return 0;
}

}  // namespace

int32_t CPsiSiParser::ParseVideoSequenceHeader(const uint8_t* pPacket, VIDEO_SEQUENCE_INFO* pInfo) {
    if (pPacket == nullptr || pInfo == nullptr) return -2;
    uint32_t es = 0;
    const int32_t found = FindElementaryData(pPacket, pInfo->wPid, pInfo->byPesStart,
                                             &pInfo->wPesFlags, &pInfo->byScrambled, &es);
    if (found != 1) return found;
    constexpr uint8_t kSequenceHeader = 0xB3;
    constexpr uint8_t kExtension = 0xB5;
    const uint32_t header = FindStartCode(pPacket, es, kSequenceHeader, 8);
    if (header == 0) return -4;
    uint32_t ext = header + 12;
    // The sequence extension has extension_start_code_identifier 1.
    while ((ext = FindStartCode(pPacket, ext, kExtension, 6)) != 0 &&
           (pPacket[ext + 4] >> 4) != 1) {
        ++ext;
    }
    if (ext == 0) return -6;
    const uint8_t* h = pPacket + header + 4;
    const uint8_t* x = pPacket + ext + 4;
    static constexpr double kFrameRates[9] = {-1.0, 24000.0 / 1001, 24, 25, 30000.0 / 1001, 30,
                                              50,   60000.0 / 1001, 60};
    const uint32_t rateCode = h[3] & 0x0F;
    pInfo->dFrameRate = (rateCode >= 1 && rateCode <= 8) ? kFrameRates[rateCode] : -1.0;
    pInfo->byAspectRatio = h[3] >> 4;
    const uint32_t bitRateValue = (h[4] << 10) | (h[5] << 2) | (h[6] >> 6);
    const uint32_t profileLevel = ((x[0] & 0x0F) << 4) | (x[1] >> 4);
    pInfo->byProfile = (profileLevel >> 4) & 0x07;
    pInfo->byLevel = profileLevel & 0x0F;
    pInfo->byChromaFormat = (x[1] >> 1) & 0x03;
    const uint32_t hExt = ((x[1] & 1) << 1) | (x[2] >> 7);
    const uint32_t vExt = (x[2] >> 5) & 0x03;
    const uint32_t bitRateExt = ((x[2] & 0x1F) << 7) | (x[3] >> 1);
    pInfo->dwHorizontalSize = (hExt << 12) | (h[0] << 4) | (h[1] >> 4);
    pInfo->dwVerticalSize = (vExt << 12) | ((h[1] & 0x0F) << 8) | h[2];
    pInfo->dwBitRate = ((bitRateExt << 18) | bitRateValue) * 400;
    pInfo->byValid = 1;
    return 1;
}

int32_t CPsiSiParser::ParseAudioHeader(const uint8_t* pPacket, AUDIO_HEADER_INFO* pInfo) {
    if (pPacket == nullptr || pInfo == nullptr) return -2;
    uint32_t es = 0;
    const int32_t found = FindElementaryData(pPacket, pInfo->wPid, pInfo->byPesStart,
                                             &pInfo->wPesFlags, &pInfo->byScrambled, &es);
    if (found != 1) return found;
    if (es + 4 > kTsPacketSize) return -4;
    const uint8_t* a = pPacket + es;
    if (a[0] != 0xFF || (a[1] & 0xF0) != 0xF0) return -5;
    // MPEG-1 audio bit rates in kbit/s by bitrate index, for layers I, II, III.
    static constexpr uint16_t kBitRates[16][3] = {
        {0, 0, 0},       {32, 32, 32},    {64, 48, 40},    {96, 56, 48},
        {128, 64, 56},   {160, 80, 64},   {192, 96, 80},   {224, 112, 96},
        {256, 128, 112}, {288, 160, 128}, {320, 192, 160}, {352, 224, 192},
        {384, 256, 224}, {416, 320, 256}, {448, 384, 320}, {0, 0, 0}};
    const uint32_t layerBits = (a[1] >> 1) & 0x03;
    if (layerBits == 0) return -5;
    pInfo->byLayer = static_cast<uint8_t>(4 - layerBits);
    pInfo->dwBitRateKbps = kBitRates[a[2] >> 4][pInfo->byLayer - 1];
    pInfo->bySamplingFrequencyIndex = (a[2] >> 2) & 0x03;
    pInfo->byMode = a[3] >> 6;
    pInfo->byValid = 1;
    return 1;
}

}  // namespace velmora::ts

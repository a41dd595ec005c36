#include "record/CutDetection.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "record/BitStream.h"
#include "record/IntraDecoder.h"
#include "record/TsExport.h"
#include "record/VideoParser.h"

namespace velmora::record {

namespace {

constexpr uint64_t kProgressBytes = 20000000;
constexpr uint32_t kWorkBufferSize = 1u << 20;
constexpr uint32_t kPesLookAt = 513;
constexpr uint64_t kNone = ~0ull;
constexpr uint32_t kThumbnailSize = 256;  // thumbnail pixels a side: 2048 picture lines

// Table B-9: code, length, coded_block_pattern.
struct CBP_CODE {
    uint16_t code;
    uint8_t length;
    uint8_t value;
};
constexpr CBP_CODE kCodedBlockPattern[] = {
    {0x7, 3, 60},  {0xD, 4, 4},   {0xC, 4, 8},   {0xB, 4, 16},  {0xA, 4, 32},  {0x13, 5, 12},
    {0x12, 5, 48}, {0x11, 5, 20}, {0x10, 5, 40}, {0xF, 5, 28},  {0xE, 5, 44},  {0xD, 5, 52},
    {0xC, 5, 56},  {0xB, 5, 1},   {0xA, 5, 61},  {0x9, 5, 2},   {0x8, 5, 62},  {0xF, 6, 24},
    {0xE, 6, 36},  {0xD, 6, 3},   {0xC, 6, 63},  {0x17, 7, 5},  {0x16, 7, 9},  {0x15, 7, 17},
    {0x14, 7, 33}, {0x13, 7, 6},  {0x12, 7, 10}, {0x11, 7, 18}, {0x10, 7, 34}, {0x1F, 8, 7},
    {0x1E, 8, 11}, {0x1D, 8, 19}, {0x1C, 8, 35}, {0x1B, 8, 13}, {0x1A, 8, 49}, {0x19, 8, 21},
    {0x18, 8, 41}, {0x17, 8, 14}, {0x16, 8, 50}, {0x15, 8, 22}, {0x14, 8, 42}, {0x13, 8, 15},
    {0x12, 8, 51}, {0x11, 8, 23}, {0x10, 8, 43}, {0xF, 8, 25},  {0xE, 8, 37},  {0xD, 8, 26},
    {0xC, 8, 38},  {0xB, 8, 29},  {0xA, 8, 45},  {0x9, 8, 53},  {0x8, 8, 57},  {0x7, 8, 30},
    {0x6, 8, 46},  {0x5, 8, 54},  {0x4, 8, 58},  {0x7, 9, 31},  {0x6, 9, 47},  {0x5, 9, 55},
    {0x4, 9, 59},  {0x3, 9, 27},  {0x2, 9, 39},  {0x1, 9, 0},
};

bool IsDarkOrGrey(const uint8_t* orBgr) {
    const bool dark = orBgr[0] <= 7 && orBgr[1] <= 7 && orBgr[2] <= 7;
    const bool grey = std::all_of(orBgr, orBgr + 3, [](uint8_t v) { return v >= 104 && v <= 111; });
    return dark || grey;
}

void TestMacroblock(uint32_t column, uint64_t row, uint32_t chromaFormat, uint32_t precision,
                    void* context) {
    auto* mask = static_cast<MACROBLOCK_MASK*>(context);
    uint8_t ored[3] = {};
    for (uint32_t b = 0; b < 4; ++b) {
        uint8_t bgr[3];
        LuminanceBlockColour(b, chromaFormat, precision, bgr);
        for (int c = 0; c < 3; ++c)
            ored[c] |= bgr[c];
    }
    if (!IsDarkOrGrey(ored) || row >= 67 || row >= kMaskRows) return;
    const bool hd = mask->width == 1920;
    const uint32_t left = hd ? 15 : 11;
    const uint32_t middleFirst = hd ? 44 : 24;
    const uint32_t middleLast = hd ? 76 : 56;
    const uint32_t right = hd ? 105 : 70;
    const uint32_t rightBit0 = hd ? 89 : 54;
    if (column < left) {
        mask->border[row] &= ~(1u << column);
    } else if (column >= middleFirst && column <= middleLast) {
        mask->middle[row] &= ~(1u << (column % 32));
    } else if (column >= right && column - rightBit0 < 32) {
        // Wider rows than the mask holds are not looked at.
        mask->border[row] &= ~(1u << (column - rightBit0));
    }
}

// The width of the run of columns (mask bits first .. end - 1, walked by
// step) that are clear in every row from row 1 on, starting within `tries`
// columns of the inner edge.
uint32_t ClearRun(const MACROBLOCK_MASK* mask, int32_t first, int32_t end, int32_t step,
                  int32_t tries) {
    const uint32_t rows = std::min(mask->rows, kMaskRows);
    auto clearColumn = [&](int32_t bit) {
        for (uint32_t r = 1; r < rows; ++r) {
            if ((mask->border[r] >> bit) & 1u) return false;
        }
        return true;
    };
    int32_t start = first;
    for (int32_t n = 0; start != end && !clearColumn(start); start += step) {
        if (++n == tries) return 0;
    }
    if (start == end) return 0;
    int32_t stop = start;
    while (stop != end && clearColumn(stop))
        stop += step;
    return static_cast<uint32_t>((stop - start) * step);
}

// Reads the set packet by packet on each file's packet grid and collects
// the video PES packets.
class CPesScanner {
  public:
    CPesScanner(CTsFileSet* set, PID_TABLE* table, CReadAheadFile* reader)
        : m_pSet(set), m_pTable(table), m_pReader(reader) {}
    ~CPesScanner() { m_pReader->Close(); }

    bool Start();
    // Moves to a global offset (onto the grid of the file that holds it);
    // false past the end.
    bool Seek(uint64_t offset);
    // Next packet; *complete is set when a video PES packet was finished
    // (in Pes(), starting at PesStart()). False at the end; failure() tells
    // a read failure from the end.
    bool Step(bool* complete);
    bool Failed() const { return m_bFailed; }
    uint64_t Position() const {
        return m_pEntry != nullptr ? m_pEntry->startOffset + m_ullPosition : m_pSet->GetTotalSize();
    }
    const char* FileName() const { return m_pEntry != nullptr ? m_pEntry->name : ""; }
    const std::vector<uint8_t>& Pes() const { return m_Done; }
    uint64_t PesStart() const { return m_ullDoneStart; }
    uint64_t BytesRead() const { return m_ullRead; }

  private:
    bool Fail(const char* format);
    void Collect(const uint8_t* packet, uint64_t global);

    CTsFileSet* m_pSet;
    PID_TABLE* m_pTable;
    CReadAheadFile* m_pReader;
    uint32_t m_uVideoPid = 0x2000;
    TS_FILE_ENTRY* m_pEntry = nullptr;
    TS_FILE_ENTRY* m_pOpen = nullptr;
    uint64_t m_ullPosition = 0;
    uint64_t m_ullReaderPosition = kNone;
    uint64_t m_ullRead = 0;
    std::vector<uint8_t> m_Pes;
    std::vector<uint8_t> m_Done;
    uint64_t m_ullPesStart = kNone;
    uint64_t m_ullDoneStart = kNone;
    bool m_bCollecting = false;
    bool m_bFailed = false;
};

bool CPesScanner::Fail(const char* format) {
    DebugPrintf(format, FileName());
    m_bFailed = true;
    return false;
}

bool CPesScanner::Start() {
    const PID_TABLE_ENTRY* video =
        m_pTable != nullptr ? PidTableFindByKind(m_pTable, kKindVideo) : nullptr;
    if (video != nullptr) m_uVideoPid = video->pid;
    m_Pes.reserve(kWorkBufferSize);
    m_Done.reserve(kWorkBufferSize);
    return Seek(0);
}

bool CPesScanner::Seek(uint64_t offset) {
    m_bCollecting = false;
    m_Pes.clear();
    for (m_pEntry = m_pSet->GetFirstFile(); m_pEntry != nullptr; m_pEntry = m_pEntry->next) {
        if (offset < m_pEntry->startOffset + m_pEntry->size) break;
    }
    if (m_pEntry == nullptr) return false;
    const uint64_t within = offset > m_pEntry->startOffset ? offset - m_pEntry->startOffset : 0;
    m_ullPosition = m_pEntry->dataOffset;
    if (within > m_ullPosition) {
        m_ullPosition +=
            (within - m_ullPosition + kTsPacketSize - 1) / kTsPacketSize * kTsPacketSize;
    }
    return true;
}

void CPesScanner::Collect(const uint8_t* packet, uint64_t global) {
    const int32_t payload = TsPayloadOffset(packet);
    if ((packet[1] & 0x40u) != 0) {
        m_bCollecting = true;
        m_Pes.clear();
        m_ullPesStart = global;
    }
    if (!m_bCollecting || payload < 0) return;
    const size_t size = kTsPacketSize - static_cast<size_t>(payload);
    if (m_Pes.size() + size > kWorkBufferSize) {
        DebugPrintf("Error: buffer overflow! PID=0x%02X, PES packet, buffer size = %d\n",
                    m_uVideoPid, static_cast<int>(kWorkBufferSize));
        m_bCollecting = false;
        return;
    }
    const size_t before = m_Pes.size();
    m_Pes.insert(m_Pes.end(), packet + payload, packet + kTsPacketSize);
    // Only PES packets that carry a sequence header are worth decoding.
    if (before < kPesLookAt && m_Pes.size() >= kPesLookAt) {
        bool header = false;
        for (size_t i = 0; i + 3 < m_Pes.size() && !header; ++i) {
            header =
                m_Pes[i] == 0 && m_Pes[i + 1] == 0 && m_Pes[i + 2] == 1 && m_Pes[i + 3] == 0xB3;
        }
        m_bCollecting = header;
    }
}

bool CPesScanner::Step(bool* complete) {
    *complete = false;
    while (m_pEntry != nullptr && m_ullPosition + kTsPacketSize > m_pEntry->size) {
        m_pEntry = m_pEntry->next;
        if (m_pEntry != nullptr) m_ullPosition = m_pEntry->dataOffset;
    }
    if (m_pEntry == nullptr) return false;
    if (m_pOpen != m_pEntry) {
        m_pReader->Close();
        m_pOpen = nullptr;
        if (!m_pReader->Open(m_pEntry->name)) return Fail("Couldn't open input file\n%s");
        m_pOpen = m_pEntry;
        m_ullReaderPosition = kNone;
    }
    if (m_ullReaderPosition != m_ullPosition) {
        m_pReader->Seek(m_ullPosition);
        m_ullReaderPosition = m_ullPosition;
    }
    uint8_t packet[kTsPacketSize];
    const int32_t got = m_pReader->Read(packet, kTsPacketSize);
    if (got < 0) return Fail("Error reading input file\n%s");
    if (got != static_cast<int32_t>(kTsPacketSize)) {
        m_ullPosition = m_pEntry->size;  // the file is shorter than listed
        return true;
    }
    const uint64_t global = m_pEntry->startOffset + m_ullPosition;
    m_ullPosition += kTsPacketSize;
    m_ullReaderPosition += kTsPacketSize;
    m_ullRead += kTsPacketSize;
    if (!IsTsSyncByte(packet[0])) return true;
    const uint32_t pid = ((packet[1] & 0x1Fu) << 8) | packet[2];
    if (m_pTable != nullptr && PidTableFind(m_pTable, pid) == nullptr) return true;
    if (pid != m_uVideoPid) return true;
    if ((packet[1] & 0x80u) != 0) {  // transport_error_indicator
        m_bCollecting = false;
        return true;
    }
    if ((packet[1] & 0x40u) != 0 && m_bCollecting && !m_Pes.empty()) {
        m_Done.swap(m_Pes);
        m_ullDoneStart = m_ullPesStart;
        *complete = true;
    }
    Collect(packet, global);
    return true;
}

void InitThumbnail(MPEG_THUMBNAIL* thumbnail, std::vector<uint8_t>& pixels) {
    pixels.assign(kThumbnailSize * kThumbnailSize * 3, 0);
    std::memset(thumbnail, 0, sizeof(*thumbnail));
    thumbnail->pixels = pixels.data();
    thumbnail->maximumWidth = kThumbnailSize;
    thumbnail->maximumHeight = kThumbnailSize;
    thumbnail->stride = kThumbnailSize * 3;
}

class CProgressGate {
  public:
    CProgressGate(CutScanProgress progress, void* argument)
        : m_pProgress(progress), m_pArgument(argument) {}
    // False when the callback stops the scan.
    bool Pass(const CPesScanner& scanner, uint64_t second, uint64_t third) {
        const uint64_t at = scanner.Position();
        if (m_pProgress == nullptr || at < m_ullNext) return true;
        m_ullNext = (at / kProgressBytes + 1) * kProgressBytes;
        return m_pProgress(scanner.FileName(), 0, at, second, third, ~0ull, 0, m_pArgument) != 0;
    }

  private:
    CutScanProgress m_pProgress;
    void* m_pArgument;
    uint64_t m_ullNext = kProgressBytes;
};

void TraceOffset(const char* format, uint64_t offset) {
    DebugPrintf(format, static_cast<uint32_t>(offset >> 32), static_cast<uint32_t>(offset));
}

}  // namespace

bool GetCodedBlockPattern(uint32_t* pattern) {
    const uint32_t bits = ShowBits(9);
    for (const CBP_CODE& c : kCodedBlockPattern) {
        if ((bits >> (9 - c.length)) == c.code) {
            SkipBits(c.length);
            *pattern = c.value;
            return true;
        }
    }
    return false;
}

void ResetMacroblockMask(MACROBLOCK_MASK* mask) {
    std::memset(mask, 0, sizeof(*mask));
    std::fill(std::begin(mask->border), std::end(mask->border), ~0u);
    std::fill(std::begin(mask->middle), std::end(mask->middle), ~0u);
}

bool DecodeMacroblockMask(uint32_t sliceStartCode, const MPEG_SEQUENCE_INFO* sequence,
                          const MPEG_PICTURE_INFO* picture, MACROBLOCK_MASK* mask) {
    if (mask == nullptr) return false;
    return DecodeIntraSlice(sliceStartCode, 0, sequence, picture, TestMacroblock, mask);
}

void ClassifyPicture(uint32_t* result, const MACROBLOCK_MASK* mask, uint8_t middleCheck) {
    *result = kPictureFull;
    if (mask == nullptr || (mask->width != 1920 && mask->width != 1280)) return;
    const bool hd = mask->width == 1920;
    const int32_t columns = hd ? 11 : 9;
    const int32_t rightFirst = hd ? 19 : 16;
    const uint32_t needed = hd ? 7 : 4;
    const uint32_t leftRun = ClearRun(mask, 0, columns, 1, 5);
    const uint32_t rightRun = ClearRun(mask, rightFirst, rightFirst + columns, 1, 6);
    if (leftRun < needed || rightRun < needed) return;
    if (middleCheck != 0) {
        bool content = false;
        for (uint32_t r = 1; r < std::min(mask->rows, kMaskRows); ++r)
            content |= mask->middle[r] != 0;
        if (!content) return;
    }
    *result = kPictureSideBars;
}

float BorderDifference(const MPEG_THUMBNAIL* current, const MPEG_THUMBNAIL* previous,
                       float borderFraction) {
    constexpr float kDifferent = 256.0f;
    if (current == nullptr || previous == nullptr || current->pixels == nullptr ||
        previous->pixels == nullptr || current->pictureValid == 0 || previous->pictureValid == 0 ||
        current->usedWidth != previous->usedWidth || current->usedHeight != previous->usedHeight ||
        current->aspect != previous->aspect) {
        return kDifferent;
    }
    const uint32_t width = current->usedWidth;
    const uint32_t height = current->usedHeight;
    const int64_t n = static_cast<int64_t>(static_cast<float>(width) * borderFraction) - 1;
    // No strip or no row to compare: 0 / 0 would count as alike.
    if (n < 1 || height == 0 || n > width) return kDifferent;
    float sum = 0.0f;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* a = current->pixels + (current->maximumHeight - y - 1) * current->stride;
        const uint8_t* b = previous->pixels + (previous->maximumHeight - y - 1) * previous->stride;
        for (int64_t i = 0; i < n; ++i) {
            for (const int64_t x : {i, static_cast<int64_t>(width) - n + i}) {
                for (int c = 0; c < 3; ++c) {
                    const float d =
                        static_cast<float>(a[3 * x + c]) - static_cast<float>(b[3 * x + c]);
                    sum += d * d;
                }
            }
        }
    }
    return std::sqrt(sum / static_cast<float>(height * 2 * n * 3));
}

uint32_t DetectCutsByBorder(CTsFileSet* set, PID_TABLE* pidTable, uint64_t minimumExcludeSpan,
                            uint64_t minimumRun, float threshold, float borderFraction,
                            CReadAheadFile* reader, CutScanProgress progress, void* argument) {
    if (set == nullptr || reader == nullptr) return 1;
    set->Lock();
    struct Unlock {
        CTsFileSet* set;
        ~Unlock() { set->Unlock(); }
    } unlock{set};
    if (set->GetFirstFile() == nullptr) {
        DebugPrintf("No input file\n");
        return 1;
    }
    CPesScanner scanner(set, pidTable, reader);
    if (!scanner.Start()) return 0;
    CProgressGate gate(progress, argument);

    MPEG_THUMBNAIL thumbnails[2];
    std::vector<uint8_t> pixels[2];
    InitThumbnail(&thumbnails[0], pixels[0]);
    InitThumbnail(&thumbnails[1], pixels[1]);
    int previous = -1;  // index of the previous I-frame's thumbnail
    uint64_t previousPosition = 0;
    uint64_t runStart = kNone;
    uint64_t restart = kNone;
    TS_CUT_MARK* lastInclude = nullptr;
    uint64_t lastIncludePosition = 0;
    bool excluded = false;

    TS_CUT_MARK* mark = set->NextMark(nullptr);
    uint32_t state = kCutInclude;
    auto markOffset = [](TS_CUT_MARK* m) {
        return static_cast<uint64_t>(static_cast<int64_t>(m->entry->startOffset) + m->position);
    };
    for (;;) {
        if (!gate.Pass(scanner, scanner.BytesRead(),
                       static_cast<uint64_t>(set->GetIncludedLength()))) {
            return 0;
        }
        // Marks in the set ahead of the scan (not those it adds behind it).
        while (mark != nullptr && markOffset(mark) <= scanner.Position()) {
            const uint32_t before = state;
            state = mark->kind;
            mark = set->NextMark(mark);
            if (before == kCutExclude && state != kCutExclude) {
                previous = -1;
                runStart = kNone;
                restart = scanner.Position();
                excluded = false;
                lastInclude = nullptr;
            }
        }
        if (state == kCutExclude) {
            if (mark == nullptr || !scanner.Seek(markOffset(mark))) return 0;
            continue;
        }
        bool complete = false;
        if (!scanner.Step(&complete)) return scanner.Failed() ? 1 : 0;
        if (!complete) continue;
        const int free = previous == 0 ? 1 : 0;
        MPEG_THUMBNAIL* current = &thumbnails[free];
        current->pictureValid = 0;
        const std::vector<uint8_t>& pes = scanner.Pes();
        if (ParseVideoHeaders(pes.data(), static_cast<int32_t>(pes.size()), nullptr, current) ==
            0) {
            continue;
        }
        const uint64_t position = scanner.PesStart();
        const float d = BorderDifference(current, previous >= 0 ? &thumbnails[previous] : nullptr,
                                         borderFraction);
        if (d >= threshold) {
            if (excluded) {
                TS_CUT_MARK* include = set->AddCutMark(kCutInclude, previousPosition);
                TraceOffset("Start Include %08x%08x\n", previousPosition);
                if (include != nullptr) {
                    lastInclude = include;
                    lastIncludePosition = previousPosition;
                }
            }
            runStart = kNone;
            excluded = false;
        } else {
            if (runStart == kNone) runStart = restart != kNone ? restart : previousPosition;
            if (!excluded && position - runStart > minimumRun) {
                if (lastInclude != nullptr && lastIncludePosition <= runStart &&
                    runStart - lastIncludePosition < minimumRun) {
                    TraceOffset("Removing Include %08x%08x\n", lastIncludePosition);
                    set->RemoveCutMark(lastInclude);
                    lastInclude = nullptr;
                    excluded = true;
                } else if (position - runStart > minimumExcludeSpan) {
                    TraceOffset("Start Exclude %08x%08x\n", runStart);
                    excluded = set->AddCutMark(kCutExclude, runStart) != nullptr;
                }
            }
        }
        if (previous >= 0) restart = kNone;
        previous = free;
        previousPosition = position;
    }
}

uint32_t DetectCutsByPicture(CTsFileSet* set, PID_TABLE* pidTable, CReadAheadFile* reader,
                             CutScanProgress progress, void* argument, uint64_t byteRate,
                             uint32_t coarseStepSelector, uint8_t middleCheck) {
    if (set == nullptr || reader == nullptr) return 1;
    set->Lock();
    struct Unlock {
        CTsFileSet* set;
        ~Unlock() { set->Unlock(); }
    } unlock{set};
    if (set->GetFirstFile() == nullptr) {
        DebugPrintf("No input file\n");
        return 1;
    }
    CPesScanner scanner(set, pidTable, reader);
    if (!scanner.Start()) return 0;
    CProgressGate gate(progress, argument);
    const uint64_t fine = 10 * byteRate;
    const uint64_t coarse = coarseStepSelector == 10 ? fine : 60 * byteRate;
    const uint64_t total = set->GetTotalSize();
    // The largest step of `from` downwards that does not pass the end.
    auto fitting = [&](uint64_t at, uint64_t from) {
        if (from == coarse && at + coarse <= total) return coarse;
        if (from >= fine && at + fine <= total) return fine;
        return uint64_t{0};
    };
    auto smaller = [&](uint64_t step) { return step == coarse && coarse != fine ? fine : 0; };

    uint32_t state = kPictureSideBars;
    uint64_t lastSample = 0;
    uint64_t step = 0;
    bool firstChange = true;
    MACROBLOCK_MASK mask;
    for (;;) {
        if (!gate.Pass(scanner, scanner.Position(), total)) return 0;
        bool complete = false;
        if (!scanner.Step(&complete)) return scanner.Failed() ? 1 : 0;
        if (!complete) continue;
        const std::vector<uint8_t>& pes = scanner.Pes();
        ResetMacroblockMask(&mask);
        MPEG_PICTURE_INFO picture;
        std::memset(&picture, 0, sizeof(picture));
        if (ParseVideoHeaders(pes.data(), static_cast<int32_t>(pes.size()), nullptr, nullptr) ==
            0) {
            continue;  // not an I picture
        }
        ParsePictureMask(pes.data(), static_cast<int32_t>(pes.size()), nullptr, &mask);
        uint32_t pictureClass = kPictureFull;
        ClassifyPicture(&pictureClass, &mask, middleCheck);
        const uint64_t position = scanner.PesStart();
        const bool change = (pictureClass == kPictureSideBars) != (state == kPictureSideBars);
        if (change && step != 0) {
            step = smaller(step);  // back to the last sample, finer
        } else if (change) {
            uint64_t at = position;
            if (pictureClass == kPictureFull && firstChange) {
                // The start of the file that holds this picture.
                const TS_FILE_ENTRY* entry = set->FindFileAt(position + 1);
                if (entry != nullptr) at = entry->startOffset;
            }
            set->AddCutMark(pictureClass == kPictureSideBars ? kCutExclude : kCutInclude, at);
            firstChange = false;
            state = pictureClass;
            lastSample = position;
            step = fitting(lastSample, coarse);
            if (step == 0) continue;
        } else {
            lastSample = position;
            step = fitting(lastSample, step);
            // Step 0 reads on to the next I picture.
            if (step == 0) continue;
        }
        if (!scanner.Seek(lastSample + step)) return 0;
    }
}

}  // namespace velmora::record

#include "record/TsFileSet.h"

#include <unistd.h>

#include <cstring>
#include <mutex>

#include "record/TsAnalysis.h"

namespace velmora::record {

namespace {

using Guard = std::lock_guard<platform::CCriticalSection>;

uint8_t FoldCase(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c;
}

void FreeMarks(TS_FILE_ENTRY* entry) {
    TS_CUT_MARK* mark = entry->firstMark;
    while (mark != nullptr) {
        TS_CUT_MARK* next = mark->next;
        delete mark;
        mark = next;
    }
    entry->firstMark = nullptr;
    entry->lastMark = nullptr;
    entry->markCount = 0;
}

TS_CUT_MARK* InsertMark(TS_FILE_ENTRY* entry, uint32_t kind, int64_t position) {
    TS_CUT_MARK* at = entry->firstMark;
    while (at != nullptr && at->position < position)
        at = at->next;
    if (at != nullptr && at->position == position) {
        at->kind = kind;
        return at;
    }
    TS_CUT_MARK* mark = new TS_CUT_MARK{};
    mark->entry = entry;
    mark->position = position;
    mark->kind = kind;
    if (at == nullptr) {
        mark->previous = entry->lastMark;
        if (entry->lastMark != nullptr) {
            entry->lastMark->next = mark;
        } else {
            entry->firstMark = mark;
        }
        entry->lastMark = mark;
    } else {
        mark->next = at;
        mark->previous = at->previous;
        if (at->previous != nullptr) {
            at->previous->next = mark;
        } else {
            entry->firstMark = mark;
        }
        at->previous = mark;
    }
    ++entry->markCount;
    return mark;
}

bool IsIncludedKind(uint32_t kind) {
    return kind == kCutInclude || kind == kCutIncludeSplit;
}

// The file in which a packet whose first `carried` bytes end `entry` ends.
TS_FILE_ENTRY* SharedPacketEnd(TS_FILE_ENTRY* entry, uint32_t carried) {
    if (carried == 0 || carried >= kTsPacketSize) return nullptr;
    uint64_t missing = kTsPacketSize - carried;
    for (entry = entry->next; entry != nullptr; entry = entry->next) {
        if (entry->dataOffset == missing && entry->size >= missing) return entry;
        // A file holding a packet start of its own holds no middle of one.
        if (entry->size >= missing || entry->dataOffset < entry->size) return nullptr;
        missing -= entry->size;
    }
    return nullptr;
}

}  // namespace

int32_t CompareFileNames(const char* a, const char* b) {
    const auto* x = reinterpret_cast<const uint8_t*>(a);
    const auto* y = reinterpret_cast<const uint8_t*>(b);
    for (;; ++x, ++y) {
        const uint8_t cx = FoldCase(*x);
        const uint8_t cy = FoldCase(*y);
        if (cx != cy) return cx < cy ? -1 : 1;
        if (cx == 0) return 0;
    }
}

void CloseEntryHandle(TS_FILE_ENTRY* entry) {
    if (entry->handle != kClosedFileHandle) {
        ::close(static_cast<int>(entry->handle));
        entry->handle = kClosedFileHandle;
    }
}

TS_FILE_ENTRY* CompleteSharedPacket(TS_FILE_ENTRY* entry, uint32_t carried, uint8_t* packet,
                                    const EntryStartRead& read) {
    TS_FILE_ENTRY* last = SharedPacketEnd(entry, carried);
    if (last == nullptr) return nullptr;
    for (TS_FILE_ENTRY* at = entry->next;; at = at->next) {
        const auto count = static_cast<uint32_t>(at == last ? at->dataOffset : at->size);
        if (count > 0 && !read(at, packet + carried, count)) return nullptr;
        carried += count;
        if (at == last) return last;
    }
}

CTsFileSet::~CTsFileSet() {
    RemoveAllFiles();
}

void CTsFileSet::Unlink(TS_FILE_ENTRY* entry) {
    if (entry->previous != nullptr) {
        entry->previous->next = entry->next;
    } else {
        m_pFirst = entry->next;
    }
    if (entry->next != nullptr) {
        entry->next->previous = entry->previous;
    } else {
        m_pLast = entry->previous;
    }
    entry->previous = nullptr;
    entry->next = nullptr;
    --m_uCount;
}

void CTsFileSet::InsertBefore(TS_FILE_ENTRY* entry, TS_FILE_ENTRY* before) {
    if (before == nullptr) {
        entry->previous = m_pLast;
        entry->next = nullptr;
        if (m_pLast != nullptr) {
            m_pLast->next = entry;
        } else {
            m_pFirst = entry;
        }
        m_pLast = entry;
    } else {
        entry->next = before;
        entry->previous = before->previous;
        if (before->previous != nullptr) {
            before->previous->next = entry;
        } else {
            m_pFirst = entry;
        }
        before->previous = entry;
    }
    ++m_uCount;
}

TS_FILE_ENTRY* CTsFileSet::AddFile(const char* name, uint64_t size, uint32_t dataOffset) {
    Guard guard(m_csLock);
    if (name == nullptr || std::strlen(name) >= kTsFileNameSize) return nullptr;
    TS_FILE_ENTRY* entry = FindFile(name);
    if (entry != nullptr) {
        CloseEntryHandle(entry);
        entry->size = size;
        entry->dataOffset = dataOffset;
    } else {
        entry = new TS_FILE_ENTRY{};
        entry->handle = kClosedFileHandle;
        std::strcpy(entry->name, name);
        entry->size = size;
        entry->dataOffset = dataOffset;
        TS_FILE_ENTRY* before = m_pFirst;
        while (before != nullptr && CompareFileNames(before->name, name) <= 0) {
            before = before->next;
        }
        InsertBefore(entry, before);
    }
    RecomputeOffsets();
    RecomputeIncludedLength();
    return entry;
}

TS_FILE_ENTRY* CTsFileSet::FindFile(const char* name) {
    Guard guard(m_csLock);
    if (name == nullptr) return nullptr;
    for (TS_FILE_ENTRY* entry = m_pFirst; entry != nullptr; entry = entry->next) {
        if (CompareFileNames(entry->name, name) == 0) return entry;
    }
    return nullptr;
}

void CTsFileSet::RemoveFileByName(const char* name) {
    Guard guard(m_csLock);
    TS_FILE_ENTRY* entry = FindFile(name);
    if (entry != nullptr) RemoveFile(entry);
}

void CTsFileSet::RemoveFile(TS_FILE_ENTRY* entry) {
    Guard guard(m_csLock);
    if (entry == nullptr) return;
    Unlink(entry);
    CloseEntryHandle(entry);
    FreeMarks(entry);
    delete entry;
    RecomputeOffsets();
    RecomputeIncludedLength();
}

void CTsFileSet::RemoveAllFiles() {
    Guard guard(m_csLock);
    TS_FILE_ENTRY* entry = m_pFirst;
    while (entry != nullptr) {
        TS_FILE_ENTRY* next = entry->next;
        CloseEntryHandle(entry);
        FreeMarks(entry);
        delete entry;
        entry = next;
    }
    m_pFirst = nullptr;
    m_pLast = nullptr;
    m_uCount = 0;
    m_ullTotalSize = 0;
    m_llIncludedLength = 0;
}

TS_FILE_ENTRY* CTsFileSet::FindFileAt(uint64_t offset) {
    Guard guard(m_csLock);
    for (TS_FILE_ENTRY* entry = m_pFirst; entry != nullptr; entry = entry->next) {
        if (entry->startOffset + entry->size >= offset) return entry;
    }
    return nullptr;
}

void CTsFileSet::RecomputeOffsets() {
    Guard guard(m_csLock);
    m_ullTotalSize = 0;
    for (TS_FILE_ENTRY* entry = m_pFirst; entry != nullptr; entry = entry->next) {
        entry->startOffset = m_ullTotalSize;
        m_ullTotalSize += entry->size;
    }
}

void CTsFileSet::RecomputeIncludedLength() {
    Guard guard(m_csLock);
    uint32_t state = kCutInclude;
    int64_t included = 0;
    for (TS_FILE_ENTRY* entry = m_pFirst; entry != nullptr; entry = entry->next) {
        const auto size = static_cast<int64_t>(entry->size);
        int64_t previous = 0;
        for (TS_CUT_MARK* mark = entry->firstMark; mark != nullptr; mark = mark->next) {
            // A mark left beyond the end by a shorter re-added file counts at
            // the end, so the length never goes negative.
            const int64_t position = mark->position < size ? mark->position : size;
            if (IsIncludedKind(state)) included += position - previous;
            previous = position;
            state = mark->kind;
        }
        if (IsIncludedKind(state)) included += size - previous;
    }
    m_llIncludedLength = included;
}

int64_t CTsFileSet::GetIncludedLength() {
    Guard guard(m_csLock);
    return m_llIncludedLength;
}

void CTsFileSet::CloseHandlesOutside(uint64_t low, uint64_t high) {
    Guard guard(m_csLock);
    for (TS_FILE_ENTRY* entry = m_pFirst; entry != nullptr; entry = entry->next) {
        const bool overlaps = entry->startOffset + entry->size > low && entry->startOffset <= high;
        if (!overlaps) CloseEntryHandle(entry);
    }
}

TS_CUT_MARK* CTsFileSet::FindMarkBefore(uint64_t offset) {
    Guard guard(m_csLock);
    TS_CUT_MARK* found = nullptr;
    for (TS_FILE_ENTRY* entry = m_pFirst; entry != nullptr; entry = entry->next) {
        for (TS_CUT_MARK* mark = entry->firstMark; mark != nullptr; mark = mark->next) {
            if (static_cast<int64_t>(entry->startOffset) + mark->position <=
                static_cast<int64_t>(offset)) {
                found = mark;
            }
        }
    }
    return found;
}

TS_CUT_MARK* CTsFileSet::PreviousMark(TS_CUT_MARK* mark) {
    Guard guard(m_csLock);
    if (mark == nullptr) return nullptr;
    if (mark->previous != nullptr) return mark->previous;
    for (TS_FILE_ENTRY* entry = mark->entry->previous; entry != nullptr; entry = entry->previous) {
        if (entry->lastMark != nullptr) return entry->lastMark;
    }
    return nullptr;
}

TS_CUT_MARK* CTsFileSet::NextMark(TS_CUT_MARK* mark) {
    Guard guard(m_csLock);
    TS_FILE_ENTRY* entry = m_pFirst;
    if (mark != nullptr) {
        if (mark->next != nullptr) return mark->next;
        entry = mark->entry->next;
    }
    for (; entry != nullptr; entry = entry->next) {
        if (entry->firstMark != nullptr) return entry->firstMark;
    }
    return nullptr;
}

TS_CUT_MARK* CTsFileSet::AddCutMark(uint32_t kind, uint64_t offset) {
    Guard guard(m_csLock);
    TS_FILE_ENTRY* entry = FindFileAt(offset);
    if (entry == nullptr) return nullptr;
    TS_CUT_MARK* mark = InsertMark(entry, kind, static_cast<int64_t>(offset - entry->startOffset));
    RecomputeIncludedLength();
    return mark;
}

void CTsFileSet::RemoveCutMark(TS_CUT_MARK* mark) {
    Guard guard(m_csLock);
    if (mark == nullptr) return;
    TS_FILE_ENTRY* entry = mark->entry;
    if (mark->previous != nullptr) {
        mark->previous->next = mark->next;
    } else {
        entry->firstMark = mark->next;
    }
    if (mark->next != nullptr) {
        mark->next->previous = mark->previous;
    } else {
        entry->lastMark = mark->previous;
    }
    --entry->markCount;
    delete mark;
    RecomputeIncludedLength();
}

void CTsFileSet::RemoveAllCutMarks() {
    Guard guard(m_csLock);
    for (TS_FILE_ENTRY* entry = m_pFirst; entry != nullptr; entry = entry->next)
        FreeMarks(entry);
    RecomputeIncludedLength();
}

void CTsFileSet::ClearUserWords() {
    Guard guard(m_csLock);
    for (TS_FILE_ENTRY* entry = m_pFirst; entry != nullptr; entry = entry->next) {
        entry->userWord = 0;
    }
}

TS_FILE_ENTRY* CTsFileSet::EntryAt(int32_t index) const {
    TS_FILE_ENTRY* entry = m_pFirst;
    for (uint32_t i = 0; entry != nullptr && i < static_cast<uint32_t>(index); ++i) {
        entry = entry->next;
    }
    return entry;
}

void CTsFileSet::MoveFile(int32_t from, int32_t to) {
    Guard guard(m_csLock);
    if (from < 0 || static_cast<uint32_t>(from) >= m_uCount) return;
    TS_FILE_ENTRY* entry = EntryAt(from);
    if (to == -1) {
        if (entry == m_pLast) return;
        Unlink(entry);
        InsertBefore(entry, nullptr);
    } else {
        // An index past the end names the last entry.
        TS_FILE_ENTRY* target = static_cast<uint32_t>(to) >= m_uCount ? m_pLast : EntryAt(to);
        if (target == entry) return;
        Unlink(entry);
        InsertBefore(entry, target);
    }
    RecomputeOffsets();
    // The cut state runs on from one file into the next, so the order
    // decides what is included.
    RecomputeIncludedLength();
}

}  // namespace velmora::record

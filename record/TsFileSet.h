#pragma once

// Several transport-stream files read as one recording, addressed by one
// 64-bit global byte offset, each with a sorted list of cut marks that
// switch between included and excluded stretches.

#include <cstdint>
#include <functional>

#include "platform/CriticalSection.h"

namespace velmora::record {

inline constexpr uint32_t kTsFileNameSize = 260;
inline constexpr intptr_t kClosedFileHandle = -1;

enum CutMarkKind : uint32_t {
    kCutInclude = 0,
    kCutExclude = 1,
    kCutIncludeSplit = 2,  // counts as included; the export starts a new file there
};

struct TS_FILE_ENTRY;

struct TS_CUT_MARK {
    TS_CUT_MARK* previous;
    TS_CUT_MARK* next;
    TS_FILE_ENTRY* entry;
    uint32_t reserved;
    int64_t position;  // relative to the file's first byte
    uint32_t kind;
    uint32_t reserved2;
};

// The user word and the handle are pointer-sized here: the record is larger
// than the 32-bit one.
struct TS_FILE_ENTRY {
    TS_FILE_ENTRY* previous;
    TS_FILE_ENTRY* next;
    uintptr_t userWord;
    char name[kTsFileNameSize];
    uint64_t size;
    uint32_t dataOffset;
    uint32_t reserved;
    uint64_t startOffset;
    intptr_t handle;  // a file descriptor, -1 when closed
    TS_CUT_MARK* firstMark;
    TS_CUT_MARK* lastMark;
    uint32_t markCount;
};

class CTsFileSet {
  public:
    CTsFileSet() = default;
    ~CTsFileSet();
    CTsFileSet(const CTsFileSet&) = delete;
    CTsFileSet& operator=(const CTsFileSet&) = delete;

    // Null when the name does not fit the entry (260 bytes with terminator).
    TS_FILE_ENTRY* AddFile(const char* name, uint64_t size, uint32_t dataOffset);
    TS_FILE_ENTRY* FindFile(const char* name);
    void RemoveFileByName(const char* name);
    void RemoveFile(TS_FILE_ENTRY* entry);
    void RemoveAllFiles();
    TS_FILE_ENTRY* FindFileAt(uint64_t offset);
    void RecomputeOffsets();
    void RecomputeIncludedLength();
    int64_t GetIncludedLength();
    void CloseHandlesOutside(uint64_t low, uint64_t high);
    TS_CUT_MARK* FindMarkBefore(uint64_t offset);
    TS_CUT_MARK* PreviousMark(TS_CUT_MARK* mark);
    TS_CUT_MARK* NextMark(TS_CUT_MARK* mark);
    TS_CUT_MARK* AddCutMark(uint32_t kind, uint64_t offset);
    void RemoveCutMark(TS_CUT_MARK* mark);
    void RemoveAllCutMarks();
    void ClearUserWords();
    void MoveFile(int32_t from, int32_t to);
    void Lock() { m_csLock.Lock(); }
    void Unlock() { m_csLock.Unlock(); }

    // For walkers that hold the lock.
    TS_FILE_ENTRY* GetFirstFile() const { return m_pFirst; }
    TS_FILE_ENTRY* GetLastFile() const { return m_pLast; }
    uint32_t GetFileCount() const { return m_uCount; }
    uint64_t GetTotalSize() const { return m_ullTotalSize; }

  private:
    TS_FILE_ENTRY* EntryAt(int32_t index) const;
    void Unlink(TS_FILE_ENTRY* entry);
    void InsertBefore(TS_FILE_ENTRY* entry, TS_FILE_ENTRY* before);

    TS_FILE_ENTRY* m_pFirst = nullptr;
    TS_FILE_ENTRY* m_pLast = nullptr;
    uint32_t m_uCount = 0;
    uint64_t m_ullTotalSize = 0;
    int64_t m_llIncludedLength = 0;
    platform::CCriticalSection m_csLock;
};

// Holds a set's lock for a whole export, conversion or scan.
class CTsFileSetLock {
  public:
    explicit CTsFileSetLock(CTsFileSet* set) : m_pSet(set) { m_pSet->Lock(); }
    ~CTsFileSetLock() { m_pSet->Unlock(); }
    CTsFileSetLock(const CTsFileSetLock&) = delete;
    CTsFileSetLock& operator=(const CTsFileSetLock&) = delete;

  private:
    CTsFileSet* m_pSet;
};

// Case-insensitive name order: letters A to Z folded to lower case, then
// byte-wise.
int32_t CompareFileNames(const char* a, const char* b);

// Closes the entry's handle when open.
void CloseEntryHandle(TS_FILE_ENTRY* entry);

// Reads count bytes from the entry's first byte on; false when not all came.
using EntryStartRead = std::function<bool(TS_FILE_ENTRY*, uint8_t*, uint32_t)>;

// A packet whose first `carried` bytes end `entry` goes on in the files
// after it: through whole files too short to hold a packet start of their
// own (empty ones among them), up to the bytes before the first packet of
// the file it ends in. Reads those bytes behind the carried ones and returns
// that last file; null when a read fails, or when the files after do not go
// on with the packet (nothing is read then).
TS_FILE_ENTRY* CompleteSharedPacket(TS_FILE_ENTRY* entry, uint32_t carried, uint8_t* packet,
                                    const EntryStartRead& read);

}  // namespace velmora::record

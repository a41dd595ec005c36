#pragma once

// Sequential reading of one large file at disk speed: the file is opened
// without the system cache where the file system allows it, and a worker
// thread keeps two sector-aligned buffers filled ahead of the reader.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>

#include "platform/CriticalSection.h"
#include "platform/Thread.h"

namespace velmora::record {

struct READ_AHEAD_BUFFER {
    uint8_t* raw = nullptr;   // the allocation
    uint8_t* data = nullptr;  // raw rounded up to the sector size
    uint32_t capacity = 0;
    uint32_t length = 0;
    uint64_t offset = 0;  // file offset of data[0]
    uint8_t valid = 0;
    platform::CCriticalSection lock;
};

class CReadAheadFile {
  public:
    // bufferSize is rounded up to a whole number of sectors; sectorSize must
    // be a power of two (Open fails otherwise, and when the buffers could not
    // be allocated).
    CReadAheadFile(uint32_t bufferSize, uint64_t sectorSize);
    ~CReadAheadFile();
    CReadAheadFile(const CReadAheadFile&) = delete;
    CReadAheadFile& operator=(const CReadAheadFile&) = delete;

    bool Open(const char* path);
    void Close();
    void Seek(uint64_t position);
    // Bytes copied; 0 at the end of the file; -1 with no file open, after a
    // failed fill, or when no data came for about a second.
    int32_t Read(void* destination, uint32_t count);

    bool IsOpen() const { return m_nFile.load() != -1; }
    uint64_t GetSize() const { return m_ullFileSize; }
    uint8_t HasError() const { return m_bError.load(); }
    // Whether the file is read past the system cache.
    bool IsUnbuffered() const { return m_bUnbuffered.load(); }
    // The worker's rounds so far: it makes none while no file is open and
    // after the end of the file or a failed fill, until an open or a seek.
    uint64_t GetWorkerRounds() const { return m_ullWorkerRounds.load(); }
    // The reader's waits for data that ended on its own clock rather than by
    // the signal of a fill: only a wait that gives up after about a second.
    uint64_t GetUnsignalledWaits() const { return m_ullUnsignalledWaits.load(); }

  private:
    uint32_t WorkerLoop();
    bool FillOne();
    void FillBuffer(READ_AHEAD_BUFFER* buffer);
    int64_t ReadSectors(uint8_t* data, uint64_t length, uint64_t offset);
    READ_AHEAD_BUFFER* FindBuffer();
    READ_AHEAD_BUFFER* AwaitBuffer(int32_t* result);
    bool WaitForFill(uint64_t fillsSeen, std::chrono::steady_clock::time_point giveUp);
    void ReleaseHeld();
    int32_t ReadPart(uint8_t* destination, uint32_t count);

    std::atomic<uint8_t> m_bStop{0};
    platform::Thread m_Worker;
    std::atomic<int32_t> m_nFile{-1};
    uint64_t m_ullReadPosition = 0;
    uint64_t m_ullFillPosition = 0;
    uint64_t m_ullFileSize = 0;
    uint64_t m_ullSectorSize;
    std::atomic<uint8_t> m_bError{0};
    std::atomic<uint8_t> m_bEnd{0};
    std::atomic<bool> m_bUnbuffered{false};
    bool m_bUsable = false;
    platform::CCriticalSection m_csFile;
    // Signalled under the file lock when the worker may have work again.
    std::condition_variable_any m_cvWanted;
    std::atomic<uint64_t> m_ullWorkerRounds{0};
    // Counted and signalled under the file lock at the end of every fill.
    std::condition_variable_any m_cvFilled;
    std::atomic<uint64_t> m_ullFills{0};
    std::atomic<uint64_t> m_ullUnsignalledWaits{0};
    READ_AHEAD_BUFFER m_BufferA;
    READ_AHEAD_BUFFER m_BufferB;
    std::atomic<READ_AHEAD_BUFFER*> m_pHeld{nullptr};
    std::atomic<READ_AHEAD_BUFFER*> m_pFilling{nullptr};
};

}  // namespace velmora::record

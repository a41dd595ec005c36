#pragma once

// A buffered binary file with 64-bit positions, shaped like the C stream
// functions (items of a size and a count), and the split-file name counter.

#include <cstdint>

namespace velmora::record {

class CBufferedFile {
  public:
    // mode beginning with 'r': read; anything else: write (created readable
    // and writable by all as far as the umask allows, truncated unless keep;
    // keep with append appends; an 'x' in the mode refuses an existing file,
    // with the last error EEXIST).
    // externalBuffer, when given, must come from std::malloc: the file owns
    // it from here on and frees it at close. Null on any failure (a zero
    // buffer size too).
    static CBufferedFile* Open(const char* path, const char* mode, uint32_t bufferSize,
                               uint8_t append, uint8_t keep, uint8_t* externalBuffer);
    static uint32_t Read(void* destination, int32_t itemSize, uint32_t itemCount,
                         CBufferedFile* file);
    static uint32_t Write(const void* source, int32_t itemSize, uint32_t itemCount,
                          CBufferedFile* file);
    static bool Flush(CBufferedFile* file);
    static int64_t Tell(CBufferedFile* file);
    // The offset is always from the file's start; origin is not looked at.
    // -1 when the pending bytes could not be written first or the move failed.
    static int64_t Seek(CBufferedFile* file, int64_t offset, uint32_t origin);
    static int64_t GetSize(CBufferedFile* file);
    static void Close(CBufferedFile* file);
    // The error number of the last failed open.
    static int32_t GetLastError();

  private:
    CBufferedFile() = default;
    ~CBufferedFile() = default;
    void Refill();
    uint32_t TransferCount(int32_t itemSize, uint32_t itemCount) const;

    int32_t m_nFile = -1;
    uint8_t m_bReadMode = 0;
    uint8_t* m_pBuffer = nullptr;
    uint32_t m_uBufferSize = 0;
    int32_t m_nCursor = 0;
    int32_t m_nFill = 0;
    int64_t m_llBufferOffset = 0;
    int64_t m_llSize = 0;
};

// Counts the last run of digits in the file-name part of `name` up by one
// (009 -> 010). False, name unchanged, when the file name has no digit or the
// run is all nines (the counter would wrap onto the first file).
bool NextFileNumber(char* name);

}  // namespace velmora::record

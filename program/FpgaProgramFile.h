#pragma once

// The byte source and sink of the two device programmers: programming data
// from a file or from the caller's memory block, loaded whole into a private
// buffer at Open; read-back data written straight to a file or into a
// private buffer that Close hands back to the caller's block.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace velmora::program {

class CFpgaProgramFile {
  public:
    CFpgaProgramFile() = default;
    ~CFpgaProgramFile();
    CFpgaProgramFile(const CFpgaProgramFile&) = delete;
    CFpgaProgramFile& operator=(const CFpgaProgramFile&) = delete;

    virtual void SetMemorySource(uint8_t* pData, uint32_t size);
    virtual void SetFileName(std::wstring fileName);
    // 1 opened, 0 failed (nothing held then).
    virtual uint32_t Open(uint32_t write);
    virtual void Close();
    virtual uint32_t GetSize(uint32_t* pSize);
    virtual uint32_t Read(uint8_t* pDestination, uint32_t count);
    virtual uint32_t Write(const uint8_t* pSource, uint32_t count);
    virtual void Rewind();
    virtual uint32_t GetBuffer(uint8_t** ppBuffer);

    // 1 when the source is a file, 0 a memory block.
    uint32_t IsFileMode() const { return m_bFileMode; }

  private:
    uint32_t OpenFileForRead();
    uint32_t AllocateBuffer();
    // Bytes left between the position and the size.
    uint32_t Remaining() const { return m_dwPosition <= m_dwSize ? m_dwSize - m_dwPosition : 0; }

    std::wstring m_strFileName;
    std::FILE* m_pFile = nullptr;
    uint32_t m_bWrite = 0;
    uint32_t m_dwSize = 0;
    std::unique_ptr<uint8_t[]> m_pBuffer;
    uint32_t m_bFileMode = 1;
    uint8_t* m_pMemorySource = nullptr;
    uint32_t m_dwPosition = 0;
    // File-mode bytes written since the last flush.
    static constexpr uint32_t kFlushBlock = 4096;
    uint32_t m_dwUnflushed = 0;
};

// The data object of the EPCS flash programmer.
class CAlteraFpgaProgramFile final : public CFpgaProgramFile {};

// The data object of the byte-code player.
class CAlteraCpldProgramFile final : public CFpgaProgramFile {};

}  // namespace velmora::program

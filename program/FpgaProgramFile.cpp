#include "program/FpgaProgramFile.h"

#include <cstring>
#include <new>

#include "platform/TextConv.h"

namespace velmora::program {

CFpgaProgramFile::~CFpgaProgramFile() {
    // An owner may forget to close: the file handle must not outlive us.
    if (m_pFile != nullptr) std::fclose(m_pFile);
}

void CFpgaProgramFile::SetMemorySource(uint8_t* pData, uint32_t size) {
    m_pMemorySource = pData;
    m_dwSize = size;
    m_bFileMode = 0;
}

void CFpgaProgramFile::SetFileName(std::wstring fileName) {
    m_strFileName = std::move(fileName);
    m_bFileMode = 1;
}

uint32_t CFpgaProgramFile::AllocateBuffer() {
    m_pBuffer.reset(new (std::nothrow) uint8_t[m_dwSize == 0 ? 1 : m_dwSize]);
    return m_pBuffer ? 1 : 0;
}

uint32_t CFpgaProgramFile::OpenFileForRead() {
    m_pFile = std::fopen(platform::WideToUtf8(m_strFileName).c_str(), "rb");
    if (m_pFile == nullptr) return 0;
    long length = -1;
    if (std::fseek(m_pFile, 0, SEEK_END) == 0) length = std::ftell(m_pFile);
    // A file the 32-bit size cannot describe is no programming file.
    if (length < 0 || static_cast<unsigned long>(length) > UINT32_MAX ||
        std::fseek(m_pFile, 0, SEEK_SET) != 0) {
        return 0;
    }
    m_dwSize = static_cast<uint32_t>(length);
    if (!AllocateBuffer()) return 0;
    // A short read would hand the programmer a buffer with stale bytes.
    return std::fread(m_pBuffer.get(), 1, m_dwSize, m_pFile) == m_dwSize ? 1 : 0;
}

uint32_t CFpgaProgramFile::Open(uint32_t write) {
    // Opening again must not leak what the last open holds.
    Close();
    m_bWrite = write;
    m_dwPosition = 0;
    uint32_t opened = 0;
    if (m_bFileMode) {
        if (write) {
            m_pFile = std::fopen(platform::WideToUtf8(m_strFileName).c_str(), "w+b");
            m_dwUnflushed = 0;
            opened = m_pFile != nullptr ? 1 : 0;
        } else {
            opened = OpenFileForRead();
        }
    } else if (m_pMemorySource != nullptr || m_dwSize == 0) {
        opened = AllocateBuffer();
        if (opened && !write && m_dwSize != 0) {
            std::memcpy(m_pBuffer.get(), m_pMemorySource, m_dwSize);
        }
    }
    if (!opened) Close();
    return opened;
}

void CFpgaProgramFile::Close() {
    if (m_pFile != nullptr) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
    if (m_pBuffer) {
        if (!m_bFileMode && m_bWrite && m_pMemorySource != nullptr) {
            const uint32_t written = m_dwPosition < m_dwSize ? m_dwPosition : m_dwSize;
            std::memcpy(m_pMemorySource, m_pBuffer.get(), written);
        }
        m_pBuffer.reset();
    }
}

uint32_t CFpgaProgramFile::GetSize(uint32_t* pSize) {
    if (pSize != nullptr) *pSize = m_dwSize;
    return 1;
}

uint32_t CFpgaProgramFile::Read(uint8_t* pDestination, uint32_t count) {
    if (!m_pBuffer || count > Remaining()) return 0;
    if (count != 0) std::memcpy(pDestination, m_pBuffer.get() + m_dwPosition, count);
    m_dwPosition += count;
    return 1;
}

uint32_t CFpgaProgramFile::Write(const uint8_t* pSource, uint32_t count) {
    if (!m_bWrite) return 0;
    if (m_bFileMode) {
        if (m_pFile == nullptr) return 0;
        // A full disk must not pass for a written file: stdio holds the
        // bytes back, so the buffer is pushed out at every block boundary
        // and its failure reported with the write that crossed it.
        if (std::fwrite(pSource, 1, count, m_pFile) != count) return 0;
        m_dwUnflushed += count;
        if (m_dwUnflushed < kFlushBlock) return 1;
        m_dwUnflushed = 0;
        return std::fflush(m_pFile) == 0 ? 1 : 0;
    }
    if (!m_pBuffer || count > Remaining()) return 0;
    if (count != 0) std::memcpy(m_pBuffer.get() + m_dwPosition, pSource, count);
    m_dwPosition += count;
    return 1;
}

void CFpgaProgramFile::Rewind() {
    if (m_bFileMode && m_bWrite && m_pFile != nullptr) std::fseek(m_pFile, 0, SEEK_SET);
    m_dwPosition = 0;
}

uint32_t CFpgaProgramFile::GetBuffer(uint8_t** ppBuffer) {
    if (ppBuffer != nullptr) *ppBuffer = m_pBuffer.get();
    return 1;
}

}  // namespace velmora::program

#include "card/FfmServer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/IpcName.h"
#include "platform/NamedMutex.h"
#include "platform/SharedMemory.h"

namespace velmora::card {

CFFMServer::CFFMServer(const char* fileName, const char* mappingName, uint32_t size) {
    Create(fileName, mappingName, size);
}

CFFMServer::~CFFMServer() {
    Close();
}

uint32_t CFFMServer::Create(const char* fileName, const char* mappingName, uint32_t size) {
    if (m_bCreated || m_bOpened) Close();
    m_strFileName = fileName ? fileName : "";
    m_strMappingName = mappingName ? mappingName : kDefaultName;
    m_dwSize = size ? size : kDefaultSize;

    if (fileName) {
        if (!MapFile()) {
            const uint32_t error = static_cast<uint32_t>(errno);
            Close();
            return Fail(error);
        }
    } else {
        // The one named object that every local user may read and write.
        m_pMapping = platform::SharedMemory::Open(m_strMappingName, m_dwSize, {},
                                                  platform::SharedMemory::Access::Everyone);
        if (!m_pMapping) {
            const uint32_t error = static_cast<uint32_t>(errno);
            Close();
            return Fail(error);
        }
        m_pView = static_cast<uint8_t*>(m_pMapping->Data());
    }
    // A mutex of the block's name: the kinds of object keep their names apart.
    m_pServerLock = platform::NamedMutex::Create(m_strMappingName);
    if (!m_pServerLock) {
        const uint32_t error = static_cast<uint32_t>(errno);
        Close();
        return Fail(error);
    }
    m_bCreated = 1;
    return 1;
}

uint32_t CFFMServer::MapFile() {
    m_hFile = open(m_strFileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (m_hFile < 0) return 0;
    // Every user may use the block, whatever the umask.
    fchmod(m_hFile, 0666);
    struct stat status {};
    if (fstat(m_hFile, &status) != 0) return 0;
    if (static_cast<uint64_t>(status.st_size) < m_dwSize &&
        ftruncate(m_hFile, static_cast<off_t>(m_dwSize)) != 0) {
        return 0;
    }
    void* view = mmap(nullptr, m_dwSize, PROT_READ | PROT_WRITE, MAP_SHARED, m_hFile, 0);
    if (view == MAP_FAILED) return 0;
    m_pView = static_cast<uint8_t*>(view);
    return 1;
}

uint32_t CFFMServer::Open(uint32_t /*access*/, const char* mappingName, uint32_t size) {
    if (m_bCreated || m_bOpened) Close();
    m_strMappingName = mappingName ? mappingName : kDefaultName;
    m_dwSize = size ? size : kDefaultSize;
    m_pMapping = platform::SharedMemory::OpenPosix(platform::MapObjectName("shm", m_strMappingName),
                                                   m_dwSize, {}, false);
    if (!m_pMapping) {
        const uint32_t error = static_cast<uint32_t>(errno);
        Close();
        return Fail(error);
    }
    m_pView = static_cast<uint8_t*>(m_pMapping->Data());
    m_bOpened = 1;
    return 1;
}

void CFFMServer::Close() {
    if (m_hFile >= 0) {
        if (m_pView) munmap(m_pView, m_dwSize);
        close(m_hFile);
    }
    m_hFile = -1;
    m_pServerLock.reset();
    m_pMapping.reset();
    m_pView = nullptr;
    m_strFileName.clear();
    m_strMappingName.clear();
    m_dwSize = 0;
    m_bCreated = 0;
    m_bOpened = 0;
    m_dwLastError = 0;
}

platform::WaitResult CFFMServer::TakeServing(uint32_t timeoutMs) {
    return m_pServerLock ? m_pServerLock->Lock(timeoutMs) : platform::WaitResult::Failed;
}

void CFFMServer::LeaveServing() {
    if (m_pServerLock) m_pServerLock->Unlock();
}

void CFFMServer::CloseOpened() {
    Close();
}

uint32_t CFFMServer::Fail(uint32_t error) {
    m_dwLastError = error;
    return 0;
}

bool CFFMServer::ReadBlock(uint32_t offset, void* pDestination, uint32_t count) const {
    if (m_pMapping) return m_pMapping->ReadAt(offset, pDestination, count);
    return m_hFile >= 0 && offset <= m_dwSize && count <= m_dwSize - offset &&
           pread(m_hFile, pDestination, count, offset) == static_cast<ssize_t>(count);
}

bool CFFMServer::WriteBlock(uint32_t offset, const void* pSource, uint32_t count) const {
    if (m_pMapping) return m_pMapping->WriteAt(offset, pSource, count);
    return m_hFile >= 0 && offset <= m_dwSize && count <= m_dwSize - offset &&
           pwrite(m_hFile, pSource, count, offset) == static_cast<ssize_t>(count);
}

uint32_t CFFMServer::ReadMessageHeader(uint32_t* pLength, uint32_t* pType) {
    if (pLength) *pLength = 0;
    if (!HoldsHeader()) return Fail(kErrorNoView);
    FFM_MESSAGE_HEADER header;
    if (!ReadBlock(0, &header, sizeof(header))) return Fail(kErrorNoMessage);
    if (header.dwMagic != kMagic) return Fail(kErrorNoMagic);
    if (header.dwType == 0) return Fail(kErrorNoMessage);
    if (pLength) *pLength = header.dwLength;
    if (pType) *pType = header.dwType;
    return 1;
}

uint32_t CFFMServer::ReadMessageData(uint32_t, uint32_t length, void* pDestination) {
    if (!m_pView) return Fail(kErrorNoView);
    const uint32_t copied = std::min(length, PayloadRoom());
    if (copied == 0) return 1;
    if (!pDestination) return Fail(kErrorInvalidUserBuffer);
    return ReadBlock(kPayloadOffset, pDestination, copied) ? 1 : Fail(kErrorNoMessage);
}

uint32_t CFFMServer::WriteMessage(uint32_t type, uint32_t length, const void* pData) {
    if (!HoldsHeader()) return Fail(kErrorNoView);
    if (type == 0) return Fail(kErrorNoMessage);
    if (length != 0 && !pData) return Fail(kErrorInvalidUserBuffer);
    if (length > PayloadRoom()) return Fail(kErrorInvalidUserBuffer);
    FFM_MESSAGE_HEADER header;
    InitMessageHeader(&header);
    header.dwType = type;
    header.dwLength = length;
    // The block holds no message (type 0) while its words change: under the
    // type before, a server that takes over from a writer killed in between
    // would run a reply's status words as the request they replace. The type
    // goes last, so a peer that sees it sees the message whole. The payload's
    // first byte is the header's last.
    const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
    constexpr uint32_t kTypeAt = offsetof(FFM_MESSAGE_HEADER, dwType);
    constexpr uint32_t kTypeEnd = offsetof(FFM_MESSAGE_HEADER, dwLength);
    constexpr uint32_t kNoMessage = 0;
    if (!WriteBlock(kTypeAt, &kNoMessage, sizeof(kNoMessage)) ||
        (length != 0 && !WriteBlock(kPayloadOffset, pData, length)) ||
        !WriteBlock(kTypeEnd, bytes + kTypeEnd, kPayloadOffset - kTypeEnd) ||
        !WriteBlock(0, bytes, kTypeEnd)) {
        return Fail(kErrorNoView);
    }
    return 1;
}

void CFFMServer::InitMessageHeader(FFM_MESSAGE_HEADER* pHeader) {
    if (!pHeader) return;
    std::memset(pHeader, 0, sizeof(*pHeader));
    pHeader->dwMagic = kMagic;
}

}  // namespace velmora::card

#include "record/BufferedFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/RegularFile.h"

namespace velmora::record {

namespace {

std::atomic<int32_t> g_nLastError{0};

ssize_t WriteAll(int fd, const uint8_t* data, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, data + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t ReadAll(int fd, uint8_t* data, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, data + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

CBufferedFile* CBufferedFile::Open(const char* path, const char* mode, uint32_t bufferSize,
                                   uint8_t append, uint8_t keep, uint8_t* externalBuffer) {
    if (path == nullptr || mode == nullptr || bufferSize == 0 || bufferSize > INT32_MAX) {
        std::free(externalBuffer);
        return nullptr;
    }
    auto* file = new CBufferedFile;
    if (mode[0] == 'r') {
        file->m_bReadMode = 1;
        file->m_nFile = platform::OpenRegularFile(path, O_RDONLY);
        if (file->m_nFile < 0) {
            g_nLastError = errno;
            std::free(externalBuffer);
            delete file;
            return nullptr;
        }
        std::free(externalBuffer);
        file->m_pBuffer = static_cast<uint8_t*>(std::malloc(bufferSize));
        const off_t end = ::lseek(file->m_nFile, 0, SEEK_END);
        ::lseek(file->m_nFile, 0, SEEK_SET);
        file->m_llSize = end < 0 ? 0 : end;
    } else {
        int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
        if (std::strchr(mode, 'x') != nullptr) flags |= O_EXCL;
        if (keep == 0) flags |= O_TRUNC;
        if (keep != 0 && append != 0) flags |= O_APPEND;
        file->m_nFile = ::open(path, flags, 0666);
        if (file->m_nFile < 0) {
            g_nLastError = errno;
            std::free(externalBuffer);
            delete file;
            return nullptr;
        }
        if (keep != 0 && append != 0) {
            const off_t end = ::lseek(file->m_nFile, 0, SEEK_END);
            file->m_llSize = end < 0 ? 0 : end;
        }
        file->m_pBuffer = externalBuffer != nullptr
                              ? externalBuffer
                              : static_cast<uint8_t*>(std::malloc(bufferSize));
    }
    if (file->m_pBuffer == nullptr) {
        ::close(file->m_nFile);
        delete file;
        return nullptr;
    }
    file->m_uBufferSize = bufferSize;
    return file;
}

uint32_t CBufferedFile::TransferCount(int32_t itemSize, uint32_t itemCount) const {
    if (itemSize <= 0 || itemCount == 0) return 0;
    const uint64_t bytes = static_cast<uint64_t>(itemSize) * itemCount;
    return bytes > INT32_MAX ? static_cast<uint32_t>(INT32_MAX) : static_cast<uint32_t>(bytes);
}

void CBufferedFile::Refill() {
    m_llBufferOffset += m_nFill;
    const ssize_t n = ReadAll(m_nFile, m_pBuffer, m_uBufferSize);
    m_nFill = n < 0 ? 0 : static_cast<int32_t>(n);
    m_nCursor = 0;
}

uint32_t CBufferedFile::Read(void* destination, int32_t itemSize, uint32_t itemCount,
                             CBufferedFile* file) {
    if (file == nullptr || destination == nullptr || file->m_bReadMode == 0) return 0;
    const uint32_t wanted = file->TransferCount(itemSize, itemCount);
    auto* out = static_cast<uint8_t*>(destination);
    uint32_t done = 0;
    const uint32_t buffered = static_cast<uint32_t>(file->m_nFill - file->m_nCursor);
    if (wanted <= buffered) {
        std::memcpy(out, file->m_pBuffer + file->m_nCursor, wanted);
        file->m_nCursor += static_cast<int32_t>(wanted);
        done = wanted;
    } else {
        // The rest of the buffer, then one refill.
        std::memcpy(out, file->m_pBuffer + file->m_nCursor, buffered);
        done = buffered;
        file->m_nCursor = file->m_nFill;
        file->Refill();
        const uint32_t more = std::min(wanted - done, static_cast<uint32_t>(file->m_nFill));
        std::memcpy(out + done, file->m_pBuffer, more);
        file->m_nCursor = static_cast<int32_t>(more);
        done += more;
    }
    if (wanted == 0) return 0;
    if (itemCount == 1) return done == wanted ? 1 : 0;
    return done / static_cast<uint32_t>(itemSize);
}

uint32_t CBufferedFile::Write(const void* source, int32_t itemSize, uint32_t itemCount,
                              CBufferedFile* file) {
    if (file == nullptr || source == nullptr || file->m_bReadMode != 0) return 0;
    const uint32_t wanted = file->TransferCount(itemSize, itemCount);
    const auto* in = static_cast<const uint8_t*>(source);
    uint32_t done = 0;
    while (done < wanted) {
        const uint32_t room = file->m_uBufferSize - static_cast<uint32_t>(file->m_nCursor);
        const uint32_t n = std::min(room, wanted - done);
        std::memcpy(file->m_pBuffer + file->m_nCursor, in + done, n);
        file->m_nCursor += static_cast<int32_t>(n);
        // Bytes behind a backward seek inside the buffer stay pending.
        file->m_nFill = std::max(file->m_nFill, file->m_nCursor);
        done += n;
        if (static_cast<uint32_t>(file->m_nCursor) == file->m_uBufferSize && !Flush(file)) break;
    }
    if (wanted == 0) return 0;
    if (itemCount == 1) return done == wanted ? 1 : 0;
    return done / static_cast<uint32_t>(itemSize);
}

bool CBufferedFile::Flush(CBufferedFile* file) {
    if (file == nullptr || file->m_bReadMode != 0) return false;
    const ssize_t written =
        WriteAll(file->m_nFile, file->m_pBuffer, static_cast<size_t>(file->m_nFill));
    if (written < file->m_nFill) {
        // Whatever went out is gone from the buffer; the rest stays pending.
        if (written > 0) {
            std::memmove(file->m_pBuffer, file->m_pBuffer + written,
                         static_cast<size_t>(file->m_nFill - written));
            file->m_llBufferOffset += written;
            file->m_llSize += written;
            file->m_nFill -= static_cast<int32_t>(written);
            file->m_nCursor = std::max(0, file->m_nCursor - static_cast<int32_t>(written));
        }
        return false;
    }
    file->m_llBufferOffset += file->m_nFill;
    file->m_llSize += file->m_nFill;
    file->m_nFill = 0;
    file->m_nCursor = 0;
    return true;
}

int64_t CBufferedFile::Tell(CBufferedFile* file) {
    return file == nullptr ? -1 : file->m_llBufferOffset + file->m_nCursor;
}

int64_t CBufferedFile::Seek(CBufferedFile* file, int64_t offset, uint32_t /*origin*/) {
    if (file == nullptr || offset < 0) return -1;
    if (offset >= file->m_llBufferOffset && offset < file->m_llBufferOffset + file->m_nFill) {
        file->m_nCursor = static_cast<int32_t>(offset - file->m_llBufferOffset);
        return offset;
    }
    if (file->m_bReadMode == 0 && file->m_nFill > 0 && !Flush(file)) return -1;
    if (::lseek(file->m_nFile, offset, SEEK_SET) < 0) return -1;
    file->m_llBufferOffset = offset;
    file->m_nFill = 0;
    file->m_nCursor = 0;
    return offset;
}

int64_t CBufferedFile::GetSize(CBufferedFile* file) {
    return file == nullptr ? 0 : file->m_llSize;
}

void CBufferedFile::Close(CBufferedFile* file) {
    if (file == nullptr) return;
    if (file->m_bReadMode == 0) Flush(file);
    ::close(file->m_nFile);
    std::free(file->m_pBuffer);
    delete file;
}

int32_t CBufferedFile::GetLastError() {
    return g_nLastError;
}

bool NextFileNumber(char* name) {
    if (name == nullptr) return false;
    const size_t length = std::strlen(name);
    const char* slash = std::strrchr(name, '/');
    const size_t start = slash != nullptr ? static_cast<size_t>(slash - name) + 1 : 0;
    size_t end = length;
    while (end > start && !(name[end - 1] >= '0' && name[end - 1] <= '9'))
        --end;
    if (end == start) return false;
    size_t first = end;
    while (first > start && name[first - 1] >= '0' && name[first - 1] <= '9')
        --first;
    size_t i = end;
    while (i > first && name[i - 1] == '9')
        --i;
    if (i == first) return false;
    ++name[i - 1];
    for (size_t j = i; j < end; ++j)
        name[j] = '0';
    return true;
}

}  // namespace velmora::record

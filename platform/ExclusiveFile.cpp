#include "platform/ExclusiveFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace velmora::platform {
namespace {

// Takes the lock and empties the file; a device or a pipe has no contents to
// keep whole and is written as it is. False when another writer holds the
// file (*pHeld set) or it cannot be emptied.
bool TakeFile(int descriptor, bool* pHeld) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) return false;
    if (!S_ISREG(status.st_mode)) return true;
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        if (pHeld) *pHeld = errno == EWOULDBLOCK;
        return false;
    }
    return ::ftruncate(descriptor, 0) == 0;
}

}  // namespace

std::unique_ptr<ExclusiveFile> ExclusiveFile::Create(const std::string& path, bool* pHeld) {
    if (pHeld) *pHeld = false;
    // Opened without truncation: the file is emptied only under the lock, so
    // a writer turned away leaves the other one's file as it was.
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor < 0) return nullptr;
    FILE* stream = TakeFile(descriptor, pHeld) ? ::fdopen(descriptor, "wb") : nullptr;
    if (stream == nullptr) {
        ::close(descriptor);
        return nullptr;
    }
    return std::unique_ptr<ExclusiveFile>(new ExclusiveFile(stream));
}

ExclusiveFile::ExclusiveFile(FILE* stream) : m_pStream(stream) {}

ExclusiveFile::~ExclusiveFile() {
    // Everything is written before the lock goes. The lock goes explicitly:
    // a child forked meanwhile shares the open file, which would otherwise
    // keep it for as long as the child lives.
    std::fflush(m_pStream);
    ::flock(::fileno(m_pStream), LOCK_UN);
    std::fclose(m_pStream);
}

}  // namespace velmora::platform

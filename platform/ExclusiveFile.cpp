#include "platform/ExclusiveFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/RegularFile.h"

namespace velmora::platform {
namespace {

// The reason an open failed, for a log line.
const char* WhyNotOpened(int error) {
    if (error == EINVAL) return "is no regular file";
    return error == EEXIST ? "is there already" : "cannot be opened";
}

// Takes the lock and empties the file; the reason when it cannot.
const char* TakeFile(int descriptor) {
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? "is written by another writer" : "cannot be locked";
    return ::ftruncate(descriptor, 0) == 0 ? nullptr : "cannot be emptied";
}

}  // namespace

std::unique_ptr<ExclusiveFile> ExclusiveFile::Create(const std::string& path, const char** pWhyNot,
                                                     FileCreation creation) {
    // Opened without truncation: the file is emptied only under the lock, so
    // a writer turned away leaves the other one's file as it was.
    const int newOnly = creation == FileCreation::kNewOnly ? O_EXCL | O_NOFOLLOW : 0;
    const int descriptor = OpenRegularFile(path.c_str(), O_WRONLY | O_CREAT | newOnly, 0666);
    const char* whyNot = descriptor < 0 ? WhyNotOpened(errno) : TakeFile(descriptor);
    FILE* stream = whyNot == nullptr ? ::fdopen(descriptor, "wb") : nullptr;
    if (stream == nullptr) {
        if (descriptor >= 0) ::close(descriptor);
        if (pWhyNot) *pWhyNot = whyNot != nullptr ? whyNot : "cannot be opened";
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

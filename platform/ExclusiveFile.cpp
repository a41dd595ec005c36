#include "platform/ExclusiveFile.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

namespace velmora::platform {
namespace {

// The descriptors of the files written here. A forked child gets copies of
// them: it would hold the parent's locks for as long as it lives, so that
// the parent could not write the same file again, and write the parent's
// buffered bytes into the files a second time when it exits. In the child
// they lead to the null device instead. Files open and close under the lock,
// which a fork takes too, so no child is made between an open and its entry.
struct OpenFiles {
    std::mutex lock;
    std::vector<int> descriptors;
};

OpenFiles& Files();

void PrepareFork() {
    Files().lock.lock();
}

void ParentAfterFork() {
    Files().lock.unlock();
}

void ChildAfterFork() {
    OpenFiles& files = Files();
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        for (const int descriptor : files.descriptors)
            ::dup3(null, descriptor, O_CLOEXEC);
        ::close(null);
    }
    files.lock.unlock();
}

OpenFiles& Files() {
    // Never destroyed: a file may close while static objects go at exit.
    static OpenFiles* const files = [] {
        auto* created = new OpenFiles;
        pthread_atfork(&PrepareFork, &ParentAfterFork, &ChildAfterFork);
        return created;
    }();
    return *files;
}

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
    OpenFiles& files = Files();
    std::lock_guard<std::mutex> guard(files.lock);
    // Opened without truncation: the file is emptied only under the lock, so
    // a writer turned away leaves the other one's file as it was.
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor < 0) return nullptr;
    FILE* stream = TakeFile(descriptor, pHeld) ? ::fdopen(descriptor, "wb") : nullptr;
    if (stream == nullptr) {
        ::close(descriptor);
        return nullptr;
    }
    files.descriptors.push_back(descriptor);
    return std::unique_ptr<ExclusiveFile>(new ExclusiveFile(stream, descriptor));
}

ExclusiveFile::ExclusiveFile(FILE* stream, int descriptor)
    : m_pStream(stream), m_nDescriptor(descriptor) {}

ExclusiveFile::~ExclusiveFile() {
    OpenFiles& files = Files();
    std::lock_guard<std::mutex> guard(files.lock);
    files.descriptors.erase(
        std::remove(files.descriptors.begin(), files.descriptors.end(), m_nDescriptor),
        files.descriptors.end());
    std::fclose(m_pStream);
}

}  // namespace velmora::platform

#include "sim/SimStateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/RegularFile.h"

namespace velmora::sim {
namespace {

bool WriteAll(int fd, const uint8_t* data, size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t done = ::pwrite(fd, data, size, offset);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        size -= static_cast<size_t>(done);
        offset += done;
    }
    return true;
}

// The temporary file is always a new one. What stands under its name was
// left by a process of this user's that had this pid and died before its
// rename, or was planted: the name goes, which leaves any file it led to as
// it was, and the file is made afresh.
int CreateTemporary(const std::string& name) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(name.c_str(), kFlags, 0644);
    if (fd < 0 && errno == EEXIST && ::unlink(name.c_str()) == 0)
        fd = ::open(name.c_str(), kFlags, 0644);
    return fd;
}

}  // namespace

bool ReadStateFile(const char* path, uint8_t* data, size_t size) {
    const int fd = platform::OpenRegularFile(path, O_RDONLY | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && static_cast<size_t>(info.st_size) == size;
    size_t got = 0;
    while (ok && got < size) {
        const ssize_t done = ::pread(fd, data + got, size - got, static_cast<off_t>(got));
        if (done < 0 && errno == EINTR) continue;
        ok = done > 0;
        if (ok) got += static_cast<size_t>(done);
    }
    ::close(fd);
    return ok;
}

bool StoreStateFile(const char* path, const uint8_t* data, size_t size) {
    if (path[0] == '\0') return false;
    const std::string temporary = std::string(path) + ".tmp" + std::to_string(::getpid());
    const int fd = CreateTemporary(temporary);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, data, size, 0);
    const bool closed = ::close(fd) == 0;
    // The rename replaces a link that stands under the name, never the file
    // it leads to.
    if (written && closed && ::rename(temporary.c_str(), path) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

bool StoreStateFileRange(const char* path, const uint8_t* image, size_t size, size_t offset,
                         size_t count) {
    if (path[0] == '\0') return false;
    const int fd = platform::OpenRegularFile(path, O_WRONLY | O_NOFOLLOW);
    if (fd < 0) return StoreStateFile(path, image, size);
    struct stat info {};
    bool ok =
        ::fstat(fd, &info) == 0 && info.st_nlink == 1 && static_cast<size_t>(info.st_size) == size;
    if (ok) ok = WriteAll(fd, image + offset, count, static_cast<off_t>(offset));
    const bool closed = ::close(fd) == 0;
    if (!ok) return StoreStateFile(path, image, size);
    return closed;
}

}  // namespace velmora::sim

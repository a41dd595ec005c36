#include "sim/SimStateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "platform/ForkSafeLock.h"
#include "platform/RegularFile.h"

namespace velmora::sim {
namespace {

class HeldFolder {
  public:
    explicit HeldFolder(int fd) : m_fd(fd) {}
    ~HeldFolder() { ::close(m_fd); }
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;
    int Fd() const { return m_fd; }

  private:
    const int m_fd;
};

// Shared, so that a folder held anew is closed only once no file operation
// still works in the old one.
using Folder = std::shared_ptr<const HeldFolder>;

// Never destroyed: a card's threads may still store while the process ends.
struct HeldFolders {
    std::mutex lock;
    std::map<std::string, Folder> byName;
};

HeldFolders& Held() {
    static HeldFolders* const held = new HeldFolders;
    return *held;
}

std::mutex& HeldLock() {
    return Held().lock;
}

const int g_forkHandlers = platform::KeepLockUsableInForkedChild<std::mutex, &HeldLock>();

// A trailing '/' would have a link at the end followed.
std::string WithoutTrailingSlash(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

Folder OpenUsable(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    Folder folder = std::make_shared<const HeldFolder>(fd);
    struct stat status {};
    const bool usable = ::fstat(fd, &status) == 0 && status.st_uid == ::geteuid() &&
                        (status.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
                        ::faccessat(fd, ".", W_OK | X_OK, 0) == 0;
    return usable ? folder : nullptr;
}

// The held folder of the file at `path`, and the file's name in it.
Folder FolderOf(const char* path, std::string& name) {
    const std::string whole(path);
    const size_t slash = whole.rfind('/');
    if (slash == std::string::npos) return nullptr;
    name = whole.substr(slash + 1);
    const std::string dir = WithoutTrailingSlash(whole.substr(0, slash == 0 ? 1 : slash));
    std::lock_guard<std::mutex> lock(Held().lock);
    Folder& folder = Held().byName[dir];
    // A removed folder takes no file any more; one made again under its name
    // is checked as a new one.
    struct stat status {};
    if (!folder || ::fstat(folder->Fd(), &status) != 0 || status.st_nlink == 0)
        folder = OpenUsable(dir);
    return folder;
}

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
int CreateTemporary(int folder, const std::string& name) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(folder, name.c_str(), kFlags, 0644);
    if (fd < 0 && errno == EEXIST && ::unlinkat(folder, name.c_str(), 0) == 0)
        fd = ::openat(folder, name.c_str(), kFlags, 0644);
    return fd;
}

bool StoreWhole(int folder, const std::string& name, const uint8_t* data, size_t size) {
    const std::string temporary = name + ".tmp" + std::to_string(::getpid());
    const int fd = CreateTemporary(folder, temporary);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, data, size, 0);
    const bool closed = ::close(fd) == 0;
    // The rename replaces a link that stands under the name, never the file
    // it leads to.
    if (written && closed && ::renameat(folder, temporary.c_str(), folder, name.c_str()) == 0)
        return true;
    ::unlinkat(folder, temporary.c_str(), 0);
    return false;
}

}  // namespace

bool HoldStateFolder(const std::string& dir) {
    const std::string name = WithoutTrailingSlash(dir);
    Folder folder = OpenUsable(name);
    const bool usable = folder != nullptr;
    std::lock_guard<std::mutex> lock(Held().lock);
    Held().byName[name] = std::move(folder);
    return usable;
}

StateFileRead ReadStateFile(const char* path, uint8_t* data, size_t size) {
    std::string name;
    const Folder folder = FolderOf(path, name);
    if (!folder) return StateFileRead::Missing;
    const int fd = platform::OpenRegularFileAt(folder->Fd(), name.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) {
        switch (errno) {
            case ENOENT:
                return StateFileRead::Missing;
            case ELOOP:
                return StateFileRead::Link;
            case EINVAL:
                return StateFileRead::NotAFile;
            default:
                return StateFileRead::Unreadable;
        }
    }
    struct stat info {};
    StateFileRead result = StateFileRead::Unreadable;
    if (::fstat(fd, &info) == 0)
        result = static_cast<size_t>(info.st_size) == size ? StateFileRead::Whole
                                                           : StateFileRead::WrongSize;
    size_t got = 0;
    while (result == StateFileRead::Whole && got < size) {
        const ssize_t done = ::pread(fd, data + got, size - got, static_cast<off_t>(got));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            result = StateFileRead::Unreadable;
        } else {
            got += static_cast<size_t>(done);
        }
    }
    ::close(fd);
    return result;
}

bool StoreStateFile(const char* path, const uint8_t* data, size_t size) {
    std::string name;
    const Folder folder = FolderOf(path, name);
    return folder && StoreWhole(folder->Fd(), name, data, size);
}

bool StoreStateFileRange(const char* path, const uint8_t* image, size_t size, size_t offset,
                         size_t count) {
    std::string name;
    const Folder folder = FolderOf(path, name);
    if (!folder) return false;
    const int fd = platform::OpenRegularFileAt(folder->Fd(), name.c_str(), O_WRONLY | O_NOFOLLOW);
    if (fd < 0) return StoreWhole(folder->Fd(), name, image, size);
    struct stat info {};
    bool ok =
        ::fstat(fd, &info) == 0 && info.st_nlink == 1 && static_cast<size_t>(info.st_size) == size;
    if (ok) ok = WriteAll(fd, image + offset, count, static_cast<off_t>(offset));
    const bool closed = ::close(fd) == 0;
    if (!ok) return StoreWhole(folder->Fd(), name, image, size);
    return closed;
}

}  // namespace velmora::sim

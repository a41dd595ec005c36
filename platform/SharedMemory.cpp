#include "platform/SharedMemory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/IpcName.h"

namespace velmora::platform {
namespace {

constexpr mode_t kEveryone = 0666;

// Opening and closing named blocks is serialised across the processes of one
// namespace by an exclusive flock on a lock file. Each holder keeps a read lock
// (an open-file-description lock, which dies with its process) on the block
// itself, so under the namespace lock "a write lock can be taken" means "nobody
// holds the block", even when its last holder crashed. The lock is re-entrant
// per thread so that an onCreate may open further named objects.
//
// The lock file is removed on release so that none is left behind; whoever
// locked a file that was removed meanwhile tries again with the current one.
class NamespaceLock {
  public:
    NamespaceLock() {
        // A forked child inherits the parent's lock file descriptor, which
        // shares the parent's lock; it must take one of its own.
        if (t_pid != getpid()) {
            if (t_fd >= 0) close(t_fd);
            t_fd = -1;
            t_depth = 0;
            t_pid = getpid();
        }
        if (t_depth == 0 && !Acquire()) return;
        ++t_depth;
        m_held = true;
    }
    ~NamespaceLock() {
        if (!m_held || --t_depth > 0) return;
        // Fails harmlessly in a sticky /dev/shm when another user made it.
        unlink(Path().c_str());
        flock(t_fd, LOCK_UN);
        close(t_fd);
        t_fd = -1;
    }
    NamespaceLock(const NamespaceLock&) = delete;
    NamespaceLock& operator=(const NamespaceLock&) = delete;

    bool Held() const { return m_held; }

  private:
    static const std::string& Path() {
        static const std::string path = "/dev/shm" + MapObjectName("lock", {});
        return path;
    }

    static bool Acquire() {
        for (;;) {
            const int fd = open(Path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kEveryone);
            if (fd < 0) return false;
            // Other users of the namespace must be able to take it too; this
            // fails harmlessly when another user made the file.
            fchmod(fd, kEveryone);
            int result;
            do {
                result = flock(fd, LOCK_EX);
            } while (result != 0 && errno == EINTR);
            struct stat locked {};
            struct stat current {};
            if (result != 0 || fstat(fd, &locked) != 0) {
                close(fd);
                return false;
            }
            const bool found = stat(Path().c_str(), &current) == 0;
            const int error = errno;
            if (found && current.st_ino == locked.st_ino && current.st_dev == locked.st_dev) {
                t_fd = fd;
                return true;
            }
            close(fd);
            if (!found && error != ENOENT) return false;
        }
    }

    bool m_held = false;
    static thread_local int t_fd;
    static thread_local int t_depth;
    static thread_local pid_t t_pid;
};

thread_local int NamespaceLock::t_fd = -1;
thread_local int NamespaceLock::t_depth = 0;
thread_local pid_t NamespaceLock::t_pid = 0;

// Sets this open file description's lock on the whole object without waiting;
// a read lock held already becomes a write lock or back.
bool SetOfdLock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

}  // namespace

SharedMemory::SharedMemory(int fd, void* data, size_t size, bool alreadyExisted,
                           std::string posixName)
    : m_fd(fd),
      m_data(data),
      m_size(size),
      m_alreadyExisted(alreadyExisted),
      m_posixName(std::move(posixName)),
      m_pid(getpid()) {}

std::unique_ptr<SharedMemory> SharedMemory::Open(std::string_view name, size_t size,
                                                 const std::function<void(void* data)>& onCreate) {
    return OpenPosix(name.empty() ? std::string() : MapObjectName("shm", name), size, onCreate,
                     true);
}

std::unique_ptr<SharedMemory> SharedMemory::OpenPosix(
    const std::string& posixName, size_t size, const std::function<void(void* data)>& onCreate,
    bool create) {
    if (size == 0) return nullptr;
    if (posixName.empty()) {
        if (!create) return nullptr;
        void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (data == MAP_FAILED) return nullptr;
        std::unique_ptr<SharedMemory> memory(new SharedMemory(-1, data, size, false, {}));
        if (onCreate) onCreate(data);
        return memory;
    }

    NamespaceLock lock;
    if (!lock.Held()) return nullptr;
    const int fd =
        shm_open(posixName.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), kEveryone);
    if (fd < 0) return nullptr;

    bool existed = true;
    if (SetOfdLock(fd, F_WRLCK)) {
        // Nobody holds it: it is new, or its last holder died without closing
        // it. Either way it starts afresh.
        if (!create) {
            shm_unlink(posixName.c_str());
            close(fd);
            return nullptr;
        }
        existed = false;
        fchmod(fd, kEveryone);  // shm_open applied the umask
        if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
            shm_unlink(posixName.c_str());
            close(fd);
            return nullptr;
        }
    } else {
        struct stat status {};
        if (!SetOfdLock(fd, F_RDLCK) || fstat(fd, &status) != 0 ||
            static_cast<size_t>(status.st_size) < size) {
            close(fd);
            return nullptr;
        }
    }

    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        if (!existed) shm_unlink(posixName.c_str());
        close(fd);
        return nullptr;
    }
    // From here on the destructor cleans up, also when onCreate throws.
    std::unique_ptr<SharedMemory> memory(new SharedMemory(fd, data, size, existed, posixName));
    if (!existed) {
        if (onCreate) onCreate(data);
        SetOfdLock(fd, F_RDLCK);
    }
    return memory;
}

SharedMemory::~SharedMemory() {
    if (m_data) munmap(m_data, m_size);
    if (m_fd < 0) return;
    if (m_pid == getpid()) {
        NamespaceLock lock;
        if (lock.Held() && SetOfdLock(m_fd, F_WRLCK)) shm_unlink(m_posixName.c_str());
        // Closed under the namespace lock, or a holder closing at the same
        // moment could still see this lock and leave the block behind.
        close(m_fd);
        return;
    }
    close(m_fd);
}

}  // namespace velmora::platform

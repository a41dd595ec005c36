#include "platform/SharedMemory.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>

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

// Kept behind the caller's bytes of every named block: who holds it, and
// whether its creator finished setting it up. Changed only under the
// namespace lock.
//
// A dead process's lock can outlive it a little (the system lets go of it
// after the process has been reaped), so a refused write lock alone does not
// prove a live holder. The holder list tells such a lock apart from one of a
// live holder; a holder that found no free slot makes the list incomplete.
struct HolderTable {
    static constexpr uint32_t kFinished = 0x484C4456;  // "VDLH"
    static constexpr unsigned kSlots = 58;
    uint32_t finished;
    uint32_t incomplete;
    uint64_t size;  // the creator's size
    int32_t pid[kSlots];
};
static_assert(sizeof(HolderTable) == 248);

// How long a lock whose known holders have all died may take to go.
constexpr auto kDeadHolderLockWait = std::chrono::seconds(5);

// The caller's bytes, then the table at an aligned offset.
size_t MappedSize(size_t size) {
    const size_t align = alignof(HolderTable);
    return (size + align - 1) / align * align + sizeof(HolderTable);
}

// The table is read and written through the descriptor, never through a
// mapping, so each access is one whole step of the system's.
off_t TableOffsetInFile(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || static_cast<size_t>(status.st_size) < sizeof(HolderTable))
        return -1;
    return status.st_size - static_cast<off_t>(sizeof(HolderTable));
}

bool ReadTable(int fd, HolderTable* table) {
    const off_t offset = TableOffsetInFile(fd);
    return offset >= 0 && pread(fd, table, sizeof(HolderTable), offset) == sizeof(HolderTable);
}

template <typename T>
void WriteTableField(int fd, size_t fieldOffset, T value) {
    const off_t offset = TableOffsetInFile(fd);
    if (offset >= 0) pwrite(fd, &value, sizeof(value), offset + static_cast<off_t>(fieldOffset));
}

size_t SlotOffset(int slot) {
    return offsetof(HolderTable, pid) + sizeof(int32_t) * static_cast<size_t>(slot);
}

bool ProcessAlive(pid_t pid) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return false;
    // A process that has ended but is not yet reaped still answers; it holds
    // nothing any more.
    char path[32];
    std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = std::fopen(path, "re");
    if (!file) return true;
    char line[512];
    const bool read = std::fgets(line, sizeof(line), file) != nullptr;
    std::fclose(file);
    // The state follows the parenthesised command name.
    const char* end = read ? std::strrchr(line, ')') : nullptr;
    if (!end || end[1] != ' ') return true;
    return end[2] != 'Z' && end[2] != 'X';
}

bool KnownHolderAlive(const HolderTable& table) {
    if (table.incomplete) return true;
    for (const int32_t pid : table.pid) {
        if (pid != 0 && ProcessAlive(pid)) return true;
    }
    return false;
}

// Takes the write lock when nobody holds the block: at once, or, when every
// holder it knows of has died, once the system has let go of their locks.
bool LockWhenUnheld(int fd) {
    if (SetOfdLock(fd, F_WRLCK)) return true;
    HolderTable table{};
    if (!ReadTable(fd, &table) || KnownHolderAlive(table)) return false;
    const auto deadline = std::chrono::steady_clock::now() + kDeadHolderLockWait;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (SetOfdLock(fd, F_WRLCK)) return true;
    }
    return false;
}

// A block whose creator died before it had set it up.
bool Unfinished(int fd) {
    HolderTable table{};
    return !ReadTable(fd, &table) || table.finished != HolderTable::kFinished;
}

// Takes a slot of the table for this holder; -1 when none is free.
int Register(int fd) {
    HolderTable table{};
    if (!ReadTable(fd, &table)) return -1;
    for (unsigned slot = 0; slot < HolderTable::kSlots; ++slot) {
        if (table.pid[slot] == 0 || !ProcessAlive(table.pid[slot])) {
            WriteTableField(fd, SlotOffset(static_cast<int>(slot)), int32_t{getpid()});
            return static_cast<int>(slot);
        }
    }
    WriteTableField(fd, offsetof(HolderTable, incomplete), uint32_t{1});
    return -1;
}

// Removes the blocks of this namespace that no process holds any more: those
// whose last holders died and that nobody opened again since.
void RemoveAbandoned() {
    const std::string prefix = "/" + IpcNamespace() + ".";
    const std::string lockName = MapObjectName("lock", {});
    DIR* directory = opendir("/dev/shm");
    if (!directory) return;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = std::string("/") + entry->d_name;
        if (name.rfind(prefix, 0) != 0 || name == lockName) continue;
        const int fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd < 0) continue;
        if (LockWhenUnheld(fd)) shm_unlink(name.c_str());
        close(fd);
    }
    closedir(directory);
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

namespace {

// Opens the named object under the namespace lock with this open file
// description's write lock when nobody holds it (existed false) or its read
// lock otherwise; -1 on failure. A block its creator never finished is
// abandoned: its name goes and, when asked to, a new block takes it.
int OpenLocked(const std::string& posixName, bool create, bool* existed) {
    int fd = shm_open(posixName.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), kEveryone);
    if (fd < 0) return -1;
    // Only a creator that died before it finished leaves a block unfinished,
    // as set-up runs under the namespace lock: it is not waited for.
    *existed = !SetOfdLock(fd, F_WRLCK);
    const bool abandoned = *existed && Unfinished(fd);
    if (*existed && !abandoned) *existed = !LockWhenUnheld(fd);
    if (abandoned) {
        close(fd);
        shm_unlink(posixName.c_str());
        if (!create) return -1;
        fd = shm_open(posixName.c_str(), O_RDWR | O_CLOEXEC | O_CREAT | O_EXCL, kEveryone);
        if (fd < 0) return -1;
        *existed = !SetOfdLock(fd, F_WRLCK);
    }
    if (*existed) {
        if (SetOfdLock(fd, F_RDLCK)) return fd;
    } else if (create) {
        return fd;
    } else {
        // Nobody holds it: it is gone, whatever its last holder left.
        shm_unlink(posixName.c_str());
    }
    close(fd);
    return -1;
}

}  // namespace

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
    bool existed = true;
    const int fd = OpenLocked(posixName, create, &existed);
    if (fd < 0) return nullptr;

    size_t mapped = MappedSize(size);
    if (existed) {
        HolderTable table{};
        struct stat status {};
        if (!ReadTable(fd, &table) || table.size < size || fstat(fd, &status) != 0) {
            close(fd);
            return nullptr;
        }
        mapped = static_cast<size_t>(status.st_size);
    } else {
        fchmod(fd, kEveryone);  // shm_open applied the umask
        if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(mapped)) != 0) {
            shm_unlink(posixName.c_str());
            close(fd);
            return nullptr;
        }
    }

    void* data = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        if (!existed) shm_unlink(posixName.c_str());
        close(fd);
        return nullptr;
    }
    // From here on the destructor cleans up, also when onCreate throws.
    std::unique_ptr<SharedMemory> memory(new SharedMemory(fd, data, size, existed, posixName));
    memory->m_mapped = mapped;
    memory->m_slot = Register(fd);
    if (!existed) {
        WriteTableField(fd, offsetof(HolderTable, size), uint64_t{size});
        if (onCreate) onCreate(data);
        WriteTableField(fd, offsetof(HolderTable, finished), HolderTable::kFinished);
        SetOfdLock(fd, F_RDLCK);
    }
    return memory;
}

void SharedMemory::HandOverToForkedChild() {
    m_slot = -1;
}

void SharedMemory::ClaimInForkedChild() {
    if (m_fd < 0 || m_pid == getpid()) return;
    NamespaceLock lock;
    if (!lock.Held()) return;
    m_pid = getpid();
    if (m_slot >= 0) {
        WriteTableField(m_fd, SlotOffset(m_slot), int32_t{getpid()});
    } else {
        m_slot = Register(m_fd);
    }
}

SharedMemory::~SharedMemory() {
    if (m_fd < 0) {
        if (m_data) munmap(m_data, m_size);
        return;
    }
    if (m_pid != getpid()) {
        munmap(m_data, m_mapped);
        close(m_fd);
        return;
    }
    NamespaceLock lock;
    if (m_slot >= 0) WriteTableField(m_fd, SlotOffset(m_slot), int32_t{0});
    munmap(m_data, m_mapped);
    if (lock.Held() && LockWhenUnheld(m_fd)) {
        shm_unlink(m_posixName.c_str());
        // The last holder is gone; so are the blocks that only dead
        // processes held.
        RemoveAbandoned();
    }
    // Closed under the namespace lock, or a holder closing at the same
    // moment could still see this lock and leave the block behind.
    close(m_fd);
}

}  // namespace velmora::platform

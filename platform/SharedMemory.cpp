#include "platform/SharedMemory.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "platform/CallDeadline.h"
#include "platform/ForkSafeLock.h"
#include "platform/IpcName.h"
#include "platform/Trace.h"

namespace velmora::platform {
namespace {

using Clock = std::chrono::steady_clock;

mode_t ModeOf(SharedMemory::Access access) {
    return access == SharedMemory::Access::Everyone ? 0666 : 0600;
}

// How long an open or close waits for another process to let go of the
// namespace lock: long enough for any set-up done under it, short enough
// that a stopped holder cannot stop the caller for good.
constexpr auto kNamespaceLockWait = std::chrono::seconds(10);

// Told once per exported call: a count of cards meets the same refusal at
// each board it tries. What was told is kept in plain values: the process's
// end tells refusals too, after the system has destroyed the ending thread's
// thread-local objects (a call meets few refusals; past those kept here, a
// refusal is told again).
void LogRefusal(const std::string& text) {
    struct Told {
        uint64_t call;
        size_t count;
        size_t texts[8];
    };
    static_assert(std::is_trivially_destructible_v<Told>);
    thread_local Told t_told{};
    const uint64_t call = CallDeadline::CurrentCall();
    if (call != t_told.call) {
        t_told.call = call;
        t_told.count = 0;
    }
    if (call != 0) {
        const size_t hash = std::hash<std::string>{}(text);
        size_t* const end = t_told.texts + t_told.count;
        if (std::find(t_told.texts, end, hash) != end) return;
        if (t_told.count < std::size(t_told.texts)) t_told.texts[t_told.count++] = hash;
    }
    ShowMessage(text, "Velmora");
}

std::string ShmPath(const std::string& posixName) {
    return "/dev/shm" + posixName;
}

// Opens a file of the shared-memory folder, where every local user may put
// anything, so nothing found there is trusted: no link is followed, only a
// regular file of this process's user is used (another user's could be cut
// short or locked under it at any time), and only a file this call made gets
// its mode set (the umask could cut it). -1 on failure.
int OpenShmFile(const std::string& posixName, bool create, mode_t mode = 0600) {
    const std::string path = ShmPath(posixName);
    bool created = false;
    int fd = -1;
    // A file removed or made between the two opens is looked for again.
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        if (create) {
            fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            created = fd >= 0;
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && (errno != ENOENT || !create)) break;
    }
    if (fd < 0) {
        if (errno == ELOOP) LogRefusal(path + " is a link: not used");
        if (errno == EACCES) LogRefusal(path + " is another user's: not used");
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        LogRefusal(path + " is not a regular file: not used");
        close(fd);
        return -1;
    }
    if (status.st_uid != geteuid()) {
        LogRefusal(path + " is another user's: not used");
        close(fd);
        return -1;
    }
    if (created) fchmod(fd, mode);
    return fd;
}

bool TurnedAwayByTheEnd();

// Takes fd's flock before the deadline, and before its holder has kept it
// for the calling export's deadline (the lock's file is made afresh by each
// holder, so whoever holds this one has held it since the wait began). A
// wait that the process's end turns away gives up at once: the end waits for
// it to leave, and its holder may be stopped.
bool LockBefore(int fd, Clock::time_point deadline, CallDeadline::HeldOut& heldOut) {
    constexpr uint64_t kThisFilesHolder = 1;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        // A free lock is taken as before: the end waits for this thread's
        // call, which then removes the file it may have made.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (TurnedAwayByTheEnd()) return false;
        if (!heldOut.Within(kThisFilesHolder)) return false;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(
            std::min({Clock::duration(pause), deadline - now, heldOut.End() - now}));
        pause = std::min(pause * 2, std::chrono::milliseconds(16));
    }
}

// Opening and closing named blocks is serialised across the processes of one
// namespace by an exclusive flock on the namespace's lock file. The lock file
// is removed on release so that none is left behind; whoever locked a file
// that was removed meanwhile tries again with the current one. -1 when the
// lock could not be had by the deadline (logged).
int TakeLockFile(const std::string& ns, Clock::time_point deadline) {
    const std::string name = MapObjectNameIn(ns, "lock", {});
    for (;;) {
        const int fd = OpenShmFile(name, true);
        if (fd < 0) break;
        CallDeadline::HeldOut heldOut;
        if (!LockBefore(fd, deadline, heldOut)) {
            close(fd);
            // Turned away by this process's own end: nothing to tell.
            if (TurnedAwayByTheEnd()) return -1;
            heldOut.GaveUp();
            LogRefusal("the lock of namespace " + ns + " is held by another process: gave up");
            return -1;
        }
        struct stat locked {};
        struct stat current {};
        const bool found = stat(ShmPath(name).c_str(), &current) == 0;
        const int error = errno;
        if (fstat(fd, &locked) == 0 && found && current.st_ino == locked.st_ino &&
            current.st_dev == locked.st_dev) {
            return fd;
        }
        close(fd);
        if (!found && error != ENOENT) break;
    }
    LogRefusal("the lock of namespace " + ns + " cannot be taken");
    return -1;
}

void DropLockFile(const std::string& ns, int fd) {
    // Fails harmlessly in a sticky /dev/shm when another user made it.
    unlink(ShmPath(MapObjectNameIn(ns, "lock", {})).c_str());
    flock(fd, LOCK_UN);
    close(fd);
}

// The threads of this process that hold a namespace lock or wait for it.
// Once the process's end has let go of its named objects, only the thread
// that runs the end takes the lock: another one ended while holding it would
// leave its file behind, or a block that nothing removes.
class LockTakers {
  public:
    static LockTakers& Instance() {
        // Never destroyed: other threads may take the lock while the
        // process's static objects go away.
        static LockTakers* const instance = new LockTakers;
        return *instance;
    }

    // False on any thread but the ending one once the process is ending.
    bool Enter() {
        std::lock_guard guard(m_mutex);
        if (TurnsAway()) return false;
        ++m_inside;
        return true;
    }
    // Read without the mutex by a wait for the lock, as often as it looks.
    bool TurnsAway() const { return m_ending.load() && !t_ending; }
    void Leave() {
        std::lock_guard guard(m_mutex);
        if (--m_inside == 0) m_left.notify_all();
    }
    // Makes the calling thread the ending one, turns the others away from now
    // on (also those that wait for the lock already) and waits until those
    // inside have left, or the deadline.
    void TurnAwayOthers(Clock::time_point deadline) {
        std::unique_lock guard(m_mutex);
        m_ending = true;
        t_ending = true;
        m_left.wait_until(guard, deadline, [this] { return m_inside == 0; });
    }
    // Told by a close that could not take the lock by `deadline` (or was
    // turned away): its block, and those that only dead processes held, may
    // be left for the process's end to remove.
    void NoteLeftBehind(Clock::time_point deadline) {
        std::lock_guard guard(m_mutex);
        m_leftBehind = true;
        m_leftBy = std::max(m_leftBy, deadline);
    }
    bool LeftBehind() {
        std::lock_guard guard(m_mutex);
        return m_leftBehind;
    }
    // The end waits for a holder that made a close give up no longer than
    // that close did.
    Clock::time_point EndBy(Clock::time_point fresh) {
        std::lock_guard guard(m_mutex);
        return m_leftBehind ? std::min(fresh, m_leftBy) : fresh;
    }
    // A forked child has none of its parent's other threads, is not ending
    // and has left nothing behind.
    void StartAfresh() {
        new (&m_mutex) std::mutex();
        new (&m_left) std::condition_variable();
        m_inside = 0;
        m_ending = false;
        m_leftBehind = false;
        m_leftBy = Clock::time_point::min();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_left;
    int m_inside = 0;
    std::atomic<bool> m_ending{false};
    bool m_leftBehind = false;
    Clock::time_point m_leftBy = Clock::time_point::min();
    static thread_local bool t_ending;
};

thread_local bool LockTakers::t_ending = false;

bool TurnedAwayByTheEnd() {
    return LockTakers::Instance().TurnsAway();
}

const int g_lockTakersForkHandler =
    pthread_atfork(nullptr, nullptr, [] { LockTakers::Instance().StartAfresh(); });

// The namespace lock, waited for until the deadline, or until one holder has
// kept it for the calling export's deadline. It is re-entrant per thread for
// this process's own namespace, so that an onCreate may open further named
// objects.
class NamespaceLock {
  public:
    explicit NamespaceLock(const std::string& ns = IpcNamespace(),
                           Clock::time_point deadline = Clock::now() + kNamespaceLockWait)
        : m_ns(ns), m_deadline(deadline) {
        if (ns != IpcNamespace()) {
            if (!LockTakers::Instance().Enter()) return;
            m_fd = TakeLockFile(ns, m_deadline);
            m_held = m_fd >= 0;
            if (!m_held) LockTakers::Instance().Leave();
            return;
        }
        // A forked child inherits the parent's lock file descriptor, which
        // shares the parent's lock; it must take one of its own.
        if (t_pid != getpid()) {
            if (t_fd >= 0) close(t_fd);
            t_fd = -1;
            t_depth = 0;
            t_pid = getpid();
        }
        if (t_depth == 0) {
            if (!LockTakers::Instance().Enter()) return;
            if ((t_fd = TakeLockFile(ns, m_deadline)) < 0) {
                LockTakers::Instance().Leave();
                return;
            }
        }
        ++t_depth;
        m_held = true;
    }
    ~NamespaceLock() {
        if (!m_held) return;
        if (m_fd >= 0) {
            DropLockFile(m_ns, m_fd);
        } else if (--t_depth == 0) {
            DropLockFile(m_ns, t_fd);
            t_fd = -1;
        } else {
            return;
        }
        LockTakers::Instance().Leave();
    }
    NamespaceLock(const NamespaceLock&) = delete;
    NamespaceLock& operator=(const NamespaceLock&) = delete;

    bool Held() const { return m_held; }
    Clock::time_point Deadline() const { return m_deadline; }

  private:
    std::string m_ns;
    Clock::time_point m_deadline;
    // The lock of another namespace; -1 for this process's own.
    int m_fd = -1;
    bool m_held = false;
    static thread_local int t_fd;
    static thread_local int t_depth;
    static thread_local pid_t t_pid;
};

thread_local int NamespaceLock::t_fd = -1;
thread_local int NamespaceLock::t_depth = 0;
thread_local pid_t NamespaceLock::t_pid = 0;

// Every holder keeps two locks on its block. A read lock of its own open
// file description on the bytes before kLiveMark tells holders apart, also
// two in one process: under the namespace lock "a write lock can be taken"
// means "no other holder is left". A forked child's copy of a descriptor
// shares its parent's description, so it is no holder of its own, and the
// parent lets go of that lock explicitly on close so that the copy does not
// keep the block held either.
//
// Such a lock goes only with the last reference to its description, which
// the system may drop a little after a killed holder has been reaped. The
// process's own read lock on the byte at kLiveMark, which the system drops
// as the process ends, tells a holder whose process still runs (in any pid
// namespace) from such a leftover; it is seen from other processes only.
constexpr off_t kLiveMark = off_t{1} << 40;

// Sets this open file description's holder lock without waiting; a read
// lock held already becomes a write lock or back.
bool SetOfdLock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_len = kLiveMark;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// The process lock of the type given on the byte at kLiveMark.
struct flock LiveMarkLock(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kLiveMark;
    lock.l_len = 1;
    return lock;
}

void SetLiveMark(int fd) {
    struct flock lock = LiveMarkLock(F_RDLCK);
    fcntl(fd, F_SETLK, &lock);
}

bool AnotherProcessHolds(int fd) {
    struct flock lock = LiveMarkLock(F_WRLCK);
    return fcntl(fd, F_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

using FileKey = std::pair<dev_t, ino_t>;

bool KeyOf(int fd, FileKey* key) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return false;
    *key = {status.st_dev, status.st_ino};
    return true;
}

// The descriptors of the named blocks this process holds. Closing any
// descriptor of a file drops every live mark of the process on it, so the
// mark is set again through one of those left.
class HeldFiles {
    // A forked child inherits its parent's entries; they are not its own.
    struct Entry {
        int fd;
        pid_t pid;
    };

  public:
    using Entries = std::multimap<FileKey, Entry>;

    static HeldFiles& Instance() {
        static HeldFiles* const instance = new HeldFiles;
        return *instance;
    }
    static std::mutex& Lock() { return Instance().m_mutex; }

    bool HoldsOwn() {
        std::lock_guard guard(m_mutex);
        return std::any_of(m_held.begin(), m_held.end(),
                           [](const auto& entry) { return entry.second.pid == getpid(); });
    }
    // The process's end: its holds go with it, whoever still uses them.
    void ForgetOwn() {
        std::lock_guard guard(m_mutex);
        std::erase_if(m_held, [](const auto& entry) { return entry.second.pid == getpid(); });
    }
    void Add(int fd) { Add(Made(fd)); }
    // An entry for fd, made where allocating is safe, that Add records
    // without allocating; empty when fd's file cannot be told.
    static Entries::node_type Made(int fd) {
        FileKey key;
        if (!KeyOf(fd, &key)) return {};
        Entries one;
        one.emplace(key, Entry{fd, 0});
        return one.extract(one.begin());
    }
    // Records the entry as this process's own.
    void Add(Entries::node_type entry) {
        if (entry.empty()) return;
        entry.mapped().pid = getpid();
        std::lock_guard guard(m_mutex);
        m_held.insert(std::move(entry));
    }
    void Remove(int fd) {
        std::lock_guard guard(m_mutex);
        for (auto it = m_held.begin(); it != m_held.end(); ++it) {
            if (it->second.fd == fd && it->second.pid == getpid()) {
                m_held.erase(it);
                return;
            }
        }
    }
    // How many holders of the file this process has.
    size_t Count(const FileKey& key) {
        std::lock_guard guard(m_mutex);
        return static_cast<size_t>(
            std::count_if(m_held.lower_bound(key), m_held.upper_bound(key),
                          [](const auto& entry) { return entry.second.pid == getpid(); }));
    }
    void Close(int fd) {
        FileKey key;
        const bool known = KeyOf(fd, &key);
        close(fd);
        if (!known) return;
        std::lock_guard guard(m_mutex);
        for (auto it = m_held.lower_bound(key); it != m_held.upper_bound(key); ++it) {
            if (it->second.pid != getpid()) continue;
            SetLiveMark(it->second.fd);
            return;
        }
    }

  private:
    std::mutex m_mutex;
    Entries m_held;
};

const int g_heldFilesForkHandlers = KeepLockUsableInForkedChild<std::mutex, &HeldFiles::Lock>();

void CloseBlockFile(int fd) {
    HeldFiles::Instance().Close(fd);
}

// The holders other than the caller (which HeldFiles does not count), as the
// system knows them: none (fd's description then has the write lock), one
// whose process runs, or only the leftover locks of holders whose processes
// ended (or of forked children's copies, which hold nothing). Leftovers are
// never waited for: they may stay as long as such a copy does.
enum class Holders { kNone, kLive, kGone };

Holders OtherHolders(int fd) {
    if (SetOfdLock(fd, F_WRLCK)) return Holders::kNone;
    FileKey key;
    if (!KeyOf(fd, &key) || HeldFiles::Instance().Count(key) > 0 || AnotherProcessHolds(fd)) {
        return Holders::kLive;
    }
    return Holders::kGone;
}

bool OthersHold(int fd) {
    return OtherHolders(fd) == Holders::kLive;
}

// Kept behind the caller's bytes of every named block: whether its creator
// finished setting it up (which older builds look at), and its size. Changed
// only under the namespace lock. Older builds kept their holders' process ids in the rest of it; it
// keeps its size so that they find the fields where they look.
struct HolderTable {
    static constexpr uint32_t kFinished = 0x484C4456;  // "VDLH"
    uint32_t finished;
    uint32_t unused;
    uint64_t size;  // the creator's size
    int32_t unusedSlots[58];
};
static_assert(sizeof(HolderTable) == 248);

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

// Whether an existing block holds size bytes of its users and its table:
// a block cut short would be used past its end, and none is made longer than
// its creator made it. The table of a block every local user may write tells
// its creator's length only while it still fits the file's (another user may
// have zeroed it, or moved it by growing the file), and such a block found
// short was cut by another user: it gets its length back, so that what that
// user did costs the requests under way and nothing more. A request above
// the creator's length is the asker's mistake, not the block's: made tells
// that length, and the block serves its users on as it is.
enum class BlockSize { kHolds, kAskedMore, kTooSmall };
BlockSize HoldsSize(int fd, size_t size, size_t* mapped, uint64_t* made) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return BlockSize::kTooSmall;
    const bool othersWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    HolderTable table{};
    const bool creators =
        ReadTable(fd, &table) &&
        (!othersWrite || (table.finished == HolderTable::kFinished &&
                          MappedSize(table.size) == static_cast<size_t>(status.st_size)));
    if (creators && table.size < size) {
        *made = table.size;
        return BlockSize::kAskedMore;
    }
    if (!creators && !othersWrite) return BlockSize::kTooSmall;
    *mapped = MappedSize(size);
    if (static_cast<size_t>(status.st_size) >= *mapped) return BlockSize::kHolds;
    return othersWrite && ftruncate(fd, static_cast<off_t>(*mapped)) == 0 ? BlockSize::kHolds
                                                                          : BlockSize::kTooSmall;
}

// Whether posixName still leads to the block open as fd: the process's end
// lets go of its names, which other processes may then give new blocks.
bool NamesBlock(const std::string& posixName, int fd) {
    struct stat named {};
    FileKey key;
    return stat(ShmPath(posixName).c_str(), &named) == 0 && KeyOf(fd, &key) &&
           key == FileKey{named.st_dev, named.st_ino};
}

// Removes the blocks of namespace ns that no process holds any more: those
// whose last holders died and that nobody opened again since. Runs under
// that namespace's lock; its own objects are exactly those whose names
// begin with "/<ns>.", as a namespace has no '.'.
void RemoveUnheld(const std::string& ns) {
    const std::string prefix = "/" + ns + ".";
    const std::string lockName = MapObjectNameIn(ns, "lock", {});
    DIR* directory = opendir("/dev/shm");
    if (!directory) return;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = std::string("/") + entry->d_name;
        if (name.rfind(prefix, 0) != 0 || name == lockName) continue;
        const int fd = OpenShmFile(name, false);
        if (fd < 0) continue;
        if (!OthersHold(fd)) shm_unlink(name.c_str());
        CloseBlockFile(fd);
    }
    closedir(directory);
}

// The process's end, after every close it runs: what those closes left to
// the blocks' other holders in this process goes as well, also a block that
// a thread still waits on, or that a handle never closed keeps open, and
// what a close that gave up left. Blocks that another process holds stay.
// An end with nothing of its own left takes no lock.
void LetGoAtProcessEnd() {
    const CallDeadline call;
    LockTakers& takers = LockTakers::Instance();
    const Clock::time_point deadline =
        CallDeadline::Bound(takers.EndBy(Clock::now() + kNamespaceLockWait));
    takers.TurnAwayOthers(deadline);
    // In this order: a close turned away notes what it left before it lets
    // go of its hold.
    if (!HeldFiles::Instance().HoldsOwn() && !takers.LeftBehind()) return;
    NamespaceLock lock(IpcNamespace(), deadline);
    if (!lock.Held()) return;
    HeldFiles::Instance().ForgetOwn();
    RemoveUnheld(IpcNamespace());
}

// Registered as the program starts, so that it runs after the end handlers
// registered later, the close of the cards among them.
const int g_processEndHandler = std::atexit(&LetGoAtProcessEnd);

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
                                                 const std::function<void(void* data)>& onCreate,
                                                 Access access) {
    return OpenPosix(name.empty() ? std::string() : MapObjectName("shm", name), size, onCreate,
                     true, access);
}

namespace {

// Opens the named object under the namespace lock with this open file
// description's write lock when nobody holds it (existed false) or its read
// lock otherwise; -1 on failure. A block whose holders have all ended is
// abandoned: its name goes and, when asked to, a new block takes it, free of
// the leftover locks of the old one. Only the holders' locks decide it, never
// the block's bytes: a live holder finished its set-up (which runs under the
// namespace lock), and a creator that died in it holds nothing any more.
int OpenLocked(const std::string& posixName, bool create, mode_t mode, bool* existed) {
    int fd = OpenShmFile(posixName, create, mode);
    if (fd < 0) return -1;
    const Holders holders = OtherHolders(fd);
    *existed = holders != Holders::kNone;
    const bool abandoned = holders == Holders::kGone;
    if (abandoned) {
        CloseBlockFile(fd);
        shm_unlink(posixName.c_str());
        if (!create) return -1;
        fd = OpenShmFile(posixName, true, mode);
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
    CloseBlockFile(fd);
    return -1;
}

}  // namespace

std::unique_ptr<SharedMemory> SharedMemory::OpenPosix(
    const std::string& posixName, size_t size, const std::function<void(void* data)>& onCreate,
    bool create, Access access) {
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
    const int fd = OpenLocked(posixName, create, ModeOf(access), &existed);
    if (fd < 0) return nullptr;

    size_t mapped = MappedSize(size);
    if (existed) {
        uint64_t made = 0;
        const BlockSize held = HoldsSize(fd, size, &mapped, &made);
        if (held == BlockSize::kAskedMore) {
            LogRefusal(ShmPath(posixName) + ": " + std::to_string(size) +
                       " bytes asked, more than the block's " + std::to_string(made) +
                       ": refused, the block stays as it is and this call does not use it");
        } else if (held == BlockSize::kTooSmall) {
            LogRefusal(ShmPath(posixName) + " is smaller than its users need: not used");
        }
        if (held != BlockSize::kHolds) {
            CloseBlockFile(fd);
            return nullptr;
        }
    } else if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(mapped)) != 0) {
        shm_unlink(posixName.c_str());
        CloseBlockFile(fd);
        return nullptr;
    }

    void* data = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        if (!existed) shm_unlink(posixName.c_str());
        CloseBlockFile(fd);
        return nullptr;
    }
    // From here on the destructor cleans up, also when onCreate throws.
    std::unique_ptr<SharedMemory> memory(new SharedMemory(fd, data, size, existed, posixName));
    memory->m_mapped = mapped;
    SetLiveMark(fd);
    HeldFiles::Instance().Add(fd);
    if (!existed) {
        WriteTableField(fd, offsetof(HolderTable, size), uint64_t{size});
        if (onCreate) onCreate(data);
        WriteTableField(fd, offsetof(HolderTable, finished), HolderTable::kFinished);
        SetOfdLock(fd, F_RDLCK);
    }
    return memory;
}

bool SharedMemory::FindHeld(const std::vector<std::string>& names, std::vector<bool>* held) {
    NamespaceLock lock;
    if (!lock.Held()) return false;
    held->assign(names.size(), false);
    for (size_t i = 0; i < names.size(); ++i) {
        const int fd = OpenShmFile(MapObjectName("shm", names[i]), false);
        if (fd < 0) continue;
        (*held)[i] = OthersHold(fd);
        CloseBlockFile(fd);
    }
    return true;
}

void SharedMemory::RemoveAbandoned(const std::string& ns) {
    NamespaceLock lock(ns);
    if (lock.Held()) RemoveUnheld(ns);
}

bool SharedMemory::HeldByAnotherProcess() const {
    // A block without a name has no holders beyond this process.
    return m_fd >= 0 && AnotherProcessHolds(m_fd);
}

// What a forked child's claim records, made before the fork.
struct SharedMemory::ChildClaim {
    HeldFiles::Entries::node_type entry;
};

std::unique_ptr<SharedMemory> SharedMemory::OpenForForkedChild(std::string_view name, size_t size) {
    std::unique_ptr<SharedMemory> memory = Open(name, size);
    if (memory && memory->m_fd >= 0)
        memory->m_childClaim.reset(new ChildClaim{HeldFiles::Made(memory->m_fd)});
    return memory;
}

void SharedMemory::HandOverToForkedChild() {
    // The parent's close must leave the lock, which is the child's now.
    m_pid = 0;
}

void SharedMemory::ClaimInForkedChild() {
    // Only a block with a file has a claim (OpenForForkedChild).
    if (!m_childClaim || m_pid == getpid()) return;
    m_pid = getpid();
    SetLiveMark(m_fd);
    HeldFiles::Instance().Add(std::move(m_childClaim->entry));
}

bool SharedMemory::ReadAt(size_t offset, void* destination, size_t count) const {
    if (offset > m_size || count > m_size - offset) return false;
    if (m_fd < 0) {
        std::memcpy(destination, static_cast<const uint8_t*>(m_data) + offset, count);
        return true;
    }
    return pread(m_fd, destination, count, static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(count);
}

bool SharedMemory::WriteAt(size_t offset, const void* source, size_t count) const {
    if (offset > m_size || count > m_size - offset) return false;
    if (m_fd < 0) {
        std::memcpy(static_cast<uint8_t*>(m_data) + offset, source, count);
        return true;
    }
    return pwrite(m_fd, source, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
}

SharedMemory::~SharedMemory() {
    if (m_fd < 0) {
        if (m_data) munmap(m_data, m_size);
        return;
    }
    munmap(m_data, m_mapped);
    if (m_pid != getpid()) {
        // A copy in a forked child, or one handed over to it: the lock is
        // the other process's. Its close drops this process's live marks on
        // the file, which it then sets again through the holds left here;
        // under the namespace lock, so that no other process looks in
        // between and takes a block held here for abandoned.
        NamespaceLock lock;
        HeldFiles::Instance().Remove(m_fd);
        CloseBlockFile(m_fd);
        return;
    }
    NamespaceLock lock;
    // Counted as held until the lock is had or what is left noted, so that
    // the process's end always knows of the block.
    if (!lock.Held()) LockTakers::Instance().NoteLeftBehind(lock.Deadline());
    HeldFiles::Instance().Remove(m_fd);
    if (lock.Held() && !OthersHold(m_fd)) {
        if (NamesBlock(m_posixName, m_fd)) shm_unlink(m_posixName.c_str());
        // The last holder is gone; so are the blocks that only dead
        // processes held.
        RemoveUnheld(IpcNamespace());
    }
    // Let go before closing: a forked child's copy of the descriptor would
    // keep the lock otherwise. Done under the namespace lock, or a holder
    // closing at the same moment could still see this lock and leave the
    // block behind.
    SetOfdLock(m_fd, F_UNLCK);
    CloseBlockFile(m_fd);
}

}  // namespace velmora::platform

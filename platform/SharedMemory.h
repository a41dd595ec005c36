#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::platform {

// A named block of memory shared by every process that opens it, the stand-in
// of a named file mapping. The process that creates it sees it zero-filled;
// later openers see what is there and are told it already existed. The block
// goes away when the last holder in any process closes it (or dies, or ends:
// its end lets go of every block it holds, whatever still uses them), so the
// next open creates it afresh; a holder is what the system knows of it, never
// a process id. Only its creator's user may open it, unless it was made for
// every local user; a file of the folder that another user owns is never
// used, locked or waited for. A forked child's copy holds nothing once its
// parent closed the original.
class SharedMemory {
  public:
    // Who may open a block that an open creates.
    enum class Access { Owner, Everyone };

    // Creates or opens the block. When this call creates it, onCreate runs on
    // the zero-filled block before any other process can open it (so shared
    // locks and headers can be set up there). Null on failure: also when an
    // existing block's file is smaller than size and its table, when what
    // the name leads to is a link or no regular file, and when another
    // process keeps the namespace lock for seconds (or past the calling
    // export's deadline), and when the file is another user's (each logged);
    // also, unlogged, once this process's end began before the lock was had.
    static std::unique_ptr<SharedMemory> Open(std::string_view name, size_t size,
                                              const std::function<void(void* data)>& onCreate = {},
                                              Access access = Access::Owner);

    // The same for a POSIX name that the caller mapped itself (the other
    // kernel-object stand-ins keep their own kind of name); with create false
    // it only opens a block that some holder keeps alive. An empty name makes
    // a block that only this process and its children share.
    static std::unique_ptr<SharedMemory> OpenPosix(const std::string& posixName, size_t size,
                                                   const std::function<void(void* data)>& onCreate,
                                                   bool create, Access access = Access::Owner);

    // Tells, under one namespace lock and without making or holding any of
    // them, which of the blocks `names` (as Open takes them) some holder keeps
    // alive, this process's own objects included; false when it cannot look.
    static bool FindHeld(const std::vector<std::string>& names, std::vector<bool>* held);

    // Removes the blocks of namespace ns (IpcNamespace() for this process's
    // own) that no process holds any more, and its lock file: what processes
    // that ended without closing them left behind.
    static void RemoveAbandoned(const std::string& ns);

    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // An object opened just before a fork for the child: the parent lets go
    // of its copy after HandOverToForkedChild, which leaves its hold to the
    // child, whose copy counts as a holder once ClaimInForkedChild made it its
    // own. Without the hand-over the object would look held by nobody alive
    // in between. Before the claim the block looks abandoned once the parent
    // lets go of its other holds, so the parent waits for it (ForkHandshake).
    // What the claim records is made by the open: the child of a process
    // with threads may allocate nothing before its exec, since an allocator
    // that another thread held at the fork stays locked in the child (the
    // address sanitizer's does). A copy opened otherwise claims nothing.
    static std::unique_ptr<SharedMemory> OpenForForkedChild(std::string_view name, size_t size);
    void HandOverToForkedChild();
    void ClaimInForkedChild();

    void* Data() const { return m_data; }
    // Bytes of the block through its descriptor, not the mapping: a block
    // every local user may write can be cut short under its holders, and a
    // mapping would then fault where these calls only fail. False for a range
    // outside the block or a short transfer.
    bool ReadAt(size_t offset, void* destination, size_t count) const;
    bool WriteAt(size_t offset, const void* source, size_t count) const;
    size_t Size() const { return m_size; }
    bool AlreadyExisted() const { return m_alreadyExisted; }
    // Whether a process other than this one holds the block now (one that
    // ended holds it no more); true also when that cannot be told.
    bool HeldByAnotherProcess() const;

  private:
    SharedMemory(int fd, void* data, size_t size, bool alreadyExisted, std::string posixName);

    int m_fd;
    void* m_data;
    size_t m_size;
    bool m_alreadyExisted;
    std::string m_posixName;
    // A child forked from the opener shares its lock, so only the opener's
    // own process may decide that the last holder is gone (0: nobody here).
    int m_pid;
    // The mapping of a named block reaches past the caller's bytes to its
    // holder table.
    size_t m_mapped = 0;
    struct ChildClaim;
    std::unique_ptr<ChildClaim> m_childClaim;
};

}  // namespace velmora::platform

#include "platform/NamedMutex.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

#include "platform/IpcName.h"
#include "platform/ProcessSharedMutex.h"
#include "platform/SharedMemory.h"

namespace velmora::platform {
namespace {

bool ThreadAlive(int tid) {
    return syscall(SYS_tgkill, getpid(), tid, 0) == 0;
}

}  // namespace

NamedMutex::NamedMutex(std::unique_ptr<SharedMemory> memory)
    : m_memory(std::move(memory)), m_mutex(static_cast<ProcessSharedMutex*>(m_memory->Data())) {}

std::unique_ptr<NamedMutex> NamedMutex::Create(std::string_view name) {
    bool initialised = true;
    auto memory = SharedMemory::OpenPosix(
        name.empty() ? std::string() : MapObjectName("mutex", name), sizeof(ProcessSharedMutex),
        [&initialised](void* data) { initialised = (new (data) ProcessSharedMutex)->Init(true); },
        true);
    if (!memory || !initialised) return nullptr;
    return std::unique_ptr<NamedMutex>(new NamedMutex(std::move(memory)));
}

NamedMutex::~NamedMutex() {
    uint32_t depth = m_depth.load();
    if (depth == 0) return;
    const int owner = m_ownerThread.load();
    if (owner == gettid()) {
        // Closing an owned mutex releases it rather than leaving it held by a
        // handle that no longer exists.
        m_depth = 0;
        m_ownerThread = 0;
        while (depth-- > 0)
            m_mutex->Unlock();
    } else if (ThreadAlive(owner)) {
        // Another thread of this process holds it through this mapping; its
        // robust-mutex list points into the mapping, so the mapping stays.
        static_cast<void>(m_memory.release());
    }
}

WaitResult NamedMutex::Lock(uint32_t timeoutMs) {
    return Taken(m_mutex->Lock(timeoutMs));
}

WaitResult NamedMutex::TryLock() {
    return Taken(m_mutex->TryLock());
}

WaitResult NamedMutex::Taken(WaitResult result) {
    if (result == WaitResult::Signaled || result == WaitResult::Abandoned) {
        const int self = gettid();
        if (result == WaitResult::Signaled && m_ownerThread.load() == self) {
            ++m_depth;
        } else {
            m_ownerThread = self;
            m_depth = 1;
        }
    }
    return result;
}

bool NamedMutex::Unlock() {
    const int self = gettid();
    if (m_ownerThread.load() != self || m_depth.load() == 0) {
        // Not taken through this object; the thread may still own it through
        // another one of the same name, and the system knows.
        return m_mutex->Unlock();
    }
    // The bookkeeping changes before the release, while no other thread can
    // take the mutex through this object.
    if (--m_depth == 0) m_ownerThread = 0;
    return m_mutex->Unlock();
}

bool NamedMutex::AlreadyExisted() const {
    return m_memory->AlreadyExisted();
}

}  // namespace velmora::platform

#include "record/ReadAheadFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/RegularFile.h"
#include "platform/Time.h"

namespace velmora::record {

namespace {

bool IsPowerOfTwo(uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

uint64_t RoundUp(uint64_t v, uint64_t to) {
    return (v + to - 1) / to * to;
}

bool Allocate(READ_AHEAD_BUFFER& buffer, uint64_t capacity, uint64_t sector) {
    buffer.capacity = static_cast<uint32_t>(capacity);
    buffer.raw = static_cast<uint8_t*>(std::malloc(capacity + 3 * sector));
    if (buffer.raw == nullptr) return false;
    const uintptr_t address = reinterpret_cast<uintptr_t>(buffer.raw);
    buffer.data = reinterpret_cast<uint8_t*>(RoundUp(address, sector));
    return true;
}

}  // namespace

CReadAheadFile::CReadAheadFile(uint32_t bufferSize, uint64_t sectorSize)
    : m_ullSectorSize(sectorSize) {
    if (IsPowerOfTwo(sectorSize) && sectorSize <= (1u << 20) && bufferSize > 0) {
        // A size off the sector grid would make every unbuffered read fail.
        const uint64_t capacity = RoundUp(bufferSize, sectorSize);
        m_bUsable = capacity <= UINT32_MAX / 2 && Allocate(m_BufferA, capacity, sectorSize) &&
                    Allocate(m_BufferB, capacity, sectorSize);
    }
    m_Worker.Start([this] { return WorkerLoop(); });
    platform::Sleep(1);
}

CReadAheadFile::~CReadAheadFile() {
    ReleaseHeld();
    Close();
    {
        std::lock_guard<platform::CCriticalSection> guard(m_csFile);
        m_bStop = 1;
        m_cvWanted.notify_all();
    }
    // The worker may be in the middle of a fill: the buffers live until it
    // has ended.
    m_Worker.Join();
    std::free(m_BufferA.raw);
    std::free(m_BufferB.raw);
}

bool CReadAheadFile::Open(const char* path) {
    if (IsOpen() || path == nullptr || !m_bUsable) return false;
    std::lock_guard<platform::CCriticalSection> guard(m_csFile);
    m_BufferA.valid = 0;
    m_BufferB.valid = 0;
    bool unbuffered = true;
    int fd = platform::OpenRegularFile(path, O_RDONLY | O_DIRECT);
    if (fd < 0 && errno == EINVAL) {
        // The file system refuses unbuffered access (tmpfs): read through
        // the cache instead.
        unbuffered = false;
        fd = platform::OpenRegularFile(path, O_RDONLY);
    }
    if (fd < 0) return false;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0) {
        ::close(fd);
        return false;
    }
    m_ullFileSize = static_cast<uint64_t>(size);
    m_ullReadPosition = 0;
    m_ullFillPosition = 0;
    m_bError = 0;
    m_bEnd = 0;
    m_bUnbuffered = unbuffered;
    m_nFile = fd;
    m_cvWanted.notify_all();
    return true;
}

void CReadAheadFile::Close() {
    ReleaseHeld();
    std::lock_guard<platform::CCriticalSection> guard(m_csFile);
    const int fd = m_nFile.exchange(-1);
    if (fd != -1) ::close(fd);
}

void CReadAheadFile::Seek(uint64_t position) {
    ReleaseHeld();
    std::lock_guard<platform::CCriticalSection> guard(m_csFile);
    m_ullFillPosition = position / m_ullSectorSize * m_ullSectorSize;
    for (READ_AHEAD_BUFFER* buffer : {&m_BufferA, &m_BufferB}) {
        std::lock_guard<platform::CCriticalSection> bufferGuard(buffer->lock);
        buffer->valid = 0;
    }
    m_ullReadPosition = position;
    m_bError = 0;
    m_bEnd = 0;
    m_pHeld = nullptr;
    m_pFilling = nullptr;
    m_cvWanted.notify_all();
}

void CReadAheadFile::ReleaseHeld() {
    READ_AHEAD_BUFFER* held = m_pHeld.exchange(nullptr);
    if (held != nullptr) held->lock.Unlock();
}

uint32_t CReadAheadFile::WorkerLoop() {
    while (m_bStop == 0) {
        if (!FillOne()) platform::Sleep(1);
    }
    return 0;
}

// One round of the worker; false when it found nothing to do.
bool CReadAheadFile::FillOne() {
    std::unique_lock<platform::CCriticalSection> file(m_csFile);
    // Past the end (or a failed fill) nothing more can be had until a seek;
    // without a file, until an open.
    m_cvWanted.wait(file, [this] { return m_bStop != 0 || (IsOpen() && m_bEnd == 0); });
    if (m_bStop != 0) return true;
    ++m_ullWorkerRounds;
    READ_AHEAD_BUFFER* held = m_pHeld.load();
    for (READ_AHEAD_BUFFER* candidate : {&m_BufferA, &m_BufferB}) {
        if (candidate == held) continue;
        candidate->lock.Lock();
        if (candidate->valid == 0) {
            m_pFilling = candidate;
            FillBuffer(candidate);
            candidate->lock.Unlock();
            m_pFilling = nullptr;
            ++m_ullFills;
            m_cvFilled.notify_all();
            return true;
        }
        candidate->lock.Unlock();
    }
    file.unlock();
    if (held != nullptr) {
        // Both buffers are full: wait until the reader lets its one go.
        held->lock.Lock();
        held->lock.Unlock();
        return true;
    }
    return false;
}

void CReadAheadFile::FillBuffer(READ_AHEAD_BUFFER* buffer) {
    const uint64_t left = m_ullFileSize > m_ullFillPosition ? m_ullFileSize - m_ullFillPosition : 0;
    const uint64_t wanted = std::min<uint64_t>(buffer->capacity, left);
    if (wanted == 0) {
        m_bEnd = 1;
        return;
    }
    const uint64_t length =
        RoundUp(m_ullFillPosition + wanted, m_ullSectorSize) - m_ullFillPosition;
    const int64_t got = ReadSectors(buffer->data, length, m_ullFillPosition);
    buffer->length = static_cast<uint32_t>(std::min<uint64_t>(got < 0 ? 0 : got, wanted));
    if (buffer->length > 0) {
        buffer->valid = 1;
        buffer->offset = m_ullFillPosition;
        m_ullFillPosition += buffer->length;
    }
    m_bError = buffer->length < wanted ? 1 : 0;
    m_bEnd = (m_bError != 0 || m_ullFillPosition == m_ullFileSize) ? 1 : 0;
}

int64_t CReadAheadFile::ReadSectors(uint8_t* data, uint64_t length, uint64_t offset) {
    const int fd = m_nFile.load();
    uint64_t done = 0;
    while (done < length) {
        const ssize_t n =
            ::pread(fd, data + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EINVAL && m_bUnbuffered) {
            // The device's sectors are larger than ours: go on through the
            // cache.
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags != -1 && ::fcntl(fd, F_SETFL, flags & ~O_DIRECT) == 0) {
                m_bUnbuffered = false;
                continue;
            }
        }
        if (n <= 0) return n < 0 && done == 0 ? -1 : static_cast<int64_t>(done);
        done += static_cast<uint64_t>(n);
        // Past the end of the file: a short read of whole sectors.
        if (offset + done >= m_ullFileSize) break;
    }
    return static_cast<int64_t>(done);
}

READ_AHEAD_BUFFER* CReadAheadFile::FindBuffer() {
    READ_AHEAD_BUFFER* filling = m_pFilling.load();
    // The buffer in filling is looked at last, so the reader waits on its
    // lock while the worker fills it.
    READ_AHEAD_BUFFER* order[3] = {&m_BufferA, &m_BufferB, filling};
    for (int i = 0; i < 3; ++i) {
        READ_AHEAD_BUFFER* candidate = order[i];
        if (candidate == nullptr || (i < 2 && candidate == filling)) continue;
        candidate->lock.Lock();
        if (candidate->valid != 0 && m_ullReadPosition >= candidate->offset &&
            m_ullReadPosition < candidate->offset + candidate->length) {
            m_pHeld = candidate;
            return candidate;
        }
        candidate->lock.Unlock();
    }
    return nullptr;
}

// False when no fill has ended since fillsSeen by the give-up time.
bool CReadAheadFile::WaitForFill(uint64_t fillsSeen, std::chrono::steady_clock::time_point giveUp) {
    std::unique_lock<platform::CCriticalSection> file(m_csFile);
    if (m_cvFilled.wait_until(file, giveUp, [&] { return m_ullFills != fillsSeen; })) return true;
    ++m_ullUnsignalledWaits;
    return false;
}

// The buffer that holds the read position, once the worker has filled it;
// null with *result 0 at the end of the file, -1 after a failed fill or
// when no fill came for about a second.
READ_AHEAD_BUFFER* CReadAheadFile::AwaitBuffer(int32_t* result) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        // Counted before the look: a fill that ends after it ends the wait.
        const uint64_t fillsSeen = m_ullFills.load();
        READ_AHEAD_BUFFER* found = FindBuffer();
        if (found != nullptr) return found;
        *result = -1;
        if (m_bError != 0) return nullptr;
        if (m_bEnd != 0) {
            // The worker may have reached the end while this buffer was
            // being filled: look once more.
            *result = 0;
            return FindBuffer();
        }
        if (!WaitForFill(fillsSeen, giveUp)) return nullptr;
    }
}

int32_t CReadAheadFile::ReadPart(uint8_t* destination, uint32_t count) {
    READ_AHEAD_BUFFER* held = m_pHeld.load();
    if (held == nullptr) {
        int32_t result = 0;
        held = AwaitBuffer(&result);
        if (held == nullptr) return result;
    }
    const uint64_t inBuffer = held->offset + held->length - m_ullReadPosition;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, inBuffer));
    std::memcpy(destination, held->data + (m_ullReadPosition - held->offset), n);
    m_ullReadPosition += n;
    if (n == inBuffer) {
        held->valid = 0;
        ReleaseHeld();
    }
    return static_cast<int32_t>(n);
}

int32_t CReadAheadFile::Read(void* destination, uint32_t count) {
    if (!IsOpen() || destination == nullptr) return -1;
    count = std::min<uint32_t>(count, INT32_MAX);
    auto* out = static_cast<uint8_t*>(destination);
    uint32_t done = 0;
    while (done < count) {
        const int32_t n = ReadPart(out + done, count - done);
        if (n <= 0) return done > 0 ? static_cast<int32_t>(done) : n;
        done += static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(done);
}

}  // namespace velmora::record

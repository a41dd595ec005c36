#include "ts/LockedRingBuffer.h"

#include <cstring>
#include <mutex>
#include <new>

namespace velmora::ts {

namespace {
constexpr std::align_val_t kAlignment{16};
}

CLockedRingBuffer::~CLockedRingBuffer() {
    Free();
}

uint32_t CLockedRingBuffer::SetSize(uint32_t count, uint32_t size) {
    m_dwElementCount = count;
    m_dwElementSize = size;
    return 1;
}

uint32_t CLockedRingBuffer::Allocate() {
    std::lock_guard<CCriticalSection> lock(*this);
    ::operator delete[](m_pStorage, kAlignment, std::nothrow);
    m_pStorage = m_pRead = m_pWrite = m_pEnd = nullptr;
    const uint64_t bytes = uint64_t{m_dwElementCount} * m_dwElementSize;
    if (bytes == 0) return 0;
    m_pStorage = static_cast<uint8_t*>(::operator new[](bytes, kAlignment, std::nothrow));
    if (m_pStorage == nullptr) return 0;
    m_pRead = m_pWrite = m_pStorage;
    m_pEnd = m_pStorage + bytes;
    m_dwCachedFill = 0;
    return 1;
}

uint32_t CLockedRingBuffer::Free() {
    std::lock_guard<CCriticalSection> lock(*this);
    ::operator delete[](m_pStorage, kAlignment, std::nothrow);
    m_pStorage = m_pRead = m_pWrite = m_pEnd = nullptr;
    m_dwElementSize = 0;
    m_dwElementCount = 0;
    return 1;
}

uint32_t CLockedRingBuffer::Reset() {
    std::lock_guard<CCriticalSection> lock(*this);
    m_pRead = m_pWrite = m_pStorage;
    // A fill count taken before counts elements that are gone: reading on it
    // would hand out an old lap of the storage. A free count only grows here.
    m_dwCachedFill = 0;
    return 1;
}

uint32_t CLockedRingBuffer::Elements(const uint8_t* from, const uint8_t* to) const {
    return static_cast<uint32_t>((to - from) / m_dwElementSize);
}

uint8_t* CLockedRingBuffer::Advance(uint8_t* p, uint32_t elements) const {
    const uint64_t offset = (uint64_t(p - m_pStorage) + uint64_t{elements} * m_dwElementSize) %
                            (uint64_t{m_dwElementCount} * m_dwElementSize);
    return m_pStorage + offset;
}

uint32_t CLockedRingBuffer::GetFreeCount(uint32_t* pFree, uint32_t* pContiguous) {
    if (pFree == nullptr || pContiguous == nullptr) return 0;
    std::lock_guard<CCriticalSection> lock(*this);
    if (m_pStorage == nullptr) {
        *pFree = *pContiguous = m_dwCachedFree = 0;
        return 1;
    }
    uint32_t free = m_dwElementCount;
    uint32_t contiguous = Elements(m_pWrite, m_pEnd);
    if (m_pWrite != m_pRead && m_pRead <= m_pWrite) {
        free = m_dwElementCount - Elements(m_pRead, m_pWrite);
    } else if (m_pRead > m_pWrite) {
        free = Elements(m_pWrite, m_pRead);
        contiguous = 0;
    }
    --free;
    if (free == 0 || contiguous > free) contiguous = free == 0 ? 0 : free;
    *pFree = m_dwCachedFree = free;
    *pContiguous = contiguous;
    return 1;
}

uint32_t CLockedRingBuffer::GetFillCount(uint32_t* pFill, uint32_t* pContiguous) {
    if (pFill == nullptr || pContiguous == nullptr) return 0;
    std::lock_guard<CCriticalSection> lock(*this);
    uint32_t fill = 0;
    uint32_t contiguous = 0;
    if (m_pStorage != nullptr && m_pWrite < m_pRead) {
        fill = m_dwElementCount - Elements(m_pWrite, m_pRead);
        contiguous = Elements(m_pRead, m_pEnd);
    } else if (m_pStorage != nullptr && m_pWrite > m_pRead) {
        fill = Elements(m_pRead, m_pWrite);
    }
    *pFill = m_dwCachedFill = fill;
    *pContiguous = contiguous;
    return 1;
}

uint8_t* CLockedRingBuffer::CopyIn(uint8_t* at, const uint8_t* source, uint32_t bytes) {
    const uint32_t first = static_cast<uint32_t>(std::min<ptrdiff_t>(bytes, m_pEnd - at));
    std::memcpy(at, source, first);
    std::memcpy(m_pStorage, source + first, bytes - first);
    return first == bytes ? (at + bytes == m_pEnd ? m_pStorage : at + bytes)
                          : m_pStorage + (bytes - first);
}

uint8_t* CLockedRingBuffer::CopyOut(uint8_t* at, uint8_t* destination, uint32_t bytes) {
    const uint32_t first = static_cast<uint32_t>(std::min<ptrdiff_t>(bytes, m_pEnd - at));
    std::memcpy(destination, at, first);
    std::memcpy(destination + first, m_pStorage, bytes - first);
    return first == bytes ? (at + bytes == m_pEnd ? m_pStorage : at + bytes)
                          : m_pStorage + (bytes - first);
}

uint32_t CLockedRingBuffer::Write(const void* pSource, uint32_t bytes) {
    if (pSource == nullptr || m_dwElementSize == 0 || bytes % m_dwElementSize != 0) return 0;
    uint8_t* write;
    uint32_t free;
    {
        std::lock_guard<CCriticalSection> lock(*this);
        write = m_pWrite;
        free = m_dwCachedFree;
    }
    if (bytes == 0 || m_pStorage == nullptr || bytes / m_dwElementSize > free) return 0;
    uint8_t* next = CopyIn(write, static_cast<const uint8_t*>(pSource), bytes);
    std::lock_guard<CCriticalSection> lock(*this);
    m_pWrite = next;
    m_dwCachedFree -= bytes / m_dwElementSize;
    return 1;
}

uint32_t CLockedRingBuffer::Read(void* pDestination, uint32_t bytes) {
    if (pDestination == nullptr || m_dwElementSize == 0 || bytes % m_dwElementSize != 0) return 0;
    uint8_t* read;
    uint32_t fill;
    {
        std::lock_guard<CCriticalSection> lock(*this);
        read = m_pRead;
        fill = m_dwCachedFill;
    }
    if (bytes == 0 || m_pStorage == nullptr || bytes / m_dwElementSize > fill) return 0;
    uint8_t* next = CopyOut(read, static_cast<uint8_t*>(pDestination), bytes);
    std::lock_guard<CCriticalSection> lock(*this);
    m_pRead = next;
    m_dwCachedFill -= bytes / m_dwElementSize;
    return 1;
}

uint32_t CLockedRingBuffer::WriteElement(const void* pSource, uint32_t bytes) {
    if (pSource == nullptr) return 0;
    if (bytes == 0) return 1;
    uint8_t* write;
    {
        std::lock_guard<CCriticalSection> lock(*this);
        write = m_pWrite;
    }
    if (bytes > m_dwElementSize || m_pStorage == nullptr || write + bytes > m_pEnd) return 0;
    std::memcpy(write, pSource, bytes);
    std::lock_guard<CCriticalSection> lock(*this);
    m_pWrite = Advance(write, 1);
    return 1;
}

uint32_t CLockedRingBuffer::ReadElement(void* pDestination, uint32_t bytes) {
    if (pDestination == nullptr) return 0;
    if (bytes == 0) return 1;
    uint8_t* read;
    {
        std::lock_guard<CCriticalSection> lock(*this);
        read = m_pRead;
    }
    if (bytes > m_dwElementSize || m_pStorage == nullptr || read + bytes > m_pEnd) return 0;
    std::memcpy(pDestination, read, bytes);
    std::lock_guard<CCriticalSection> lock(*this);
    m_pRead = Advance(read, 1);
    return 1;
}

uint32_t CLockedRingBuffer::GetWritePointer(uint8_t** ppPointer) {
    if (ppPointer == nullptr) return 0;
    std::lock_guard<CCriticalSection> lock(*this);
    *ppPointer = m_pWrite;
    return 1;
}

uint32_t CLockedRingBuffer::GetReadPointer(uint8_t** ppPointer) {
    if (ppPointer == nullptr) return 0;
    std::lock_guard<CCriticalSection> lock(*this);
    *ppPointer = m_pRead;
    return 1;
}

uint32_t CLockedRingBuffer::CommitWrite(uint32_t count) {
    if (count == 0) return 1;
    std::lock_guard<CCriticalSection> lock(*this);
    if (m_pStorage == nullptr || uint64_t{count} * m_dwElementSize > uint64_t(m_pEnd - m_pWrite)) {
        return 0;
    }
    m_pWrite = Advance(m_pWrite, count);
    return 1;
}

uint32_t CLockedRingBuffer::CommitRead(uint32_t count) {
    if (count == 0) return 1;
    std::lock_guard<CCriticalSection> lock(*this);
    if (m_pStorage == nullptr || uint64_t{count} * m_dwElementSize > uint64_t(m_pEnd - m_pRead)) {
        return 0;
    }
    m_pRead = Advance(m_pRead, count);
    return 1;
}

bool CLockedRingBuffer::UnitRefused(uint32_t unit) const {
    return unit > m_dwElementSize || unit <= m_dwElementSize / 2;
}

int32_t CLockedRingBuffer::GetFreeBytes(uint32_t unit) {
    if (UnitRefused(unit)) return -1;
    uint32_t free = 0;
    uint32_t contiguous = 0;
    GetFreeCount(&free, &contiguous);
    return static_cast<int32_t>(free * unit);
}

int32_t CLockedRingBuffer::GetFillBytes(uint32_t unit) {
    if (UnitRefused(unit)) return -1;
    uint32_t fill = 0;
    uint32_t contiguous = 0;
    GetFillCount(&fill, &contiguous);
    return static_cast<int32_t>(fill * unit);
}

int32_t CLockedRingBuffer::WriteUnits(const void* pSource, uint32_t bytes, uint32_t unit) {
    if (UnitRefused(unit) || pSource == nullptr) return -1;
    if (bytes == 0) return 0;
    if (bytes % unit != 0 || m_pStorage == nullptr || bytes / unit >= m_dwElementCount) return -1;
    const uint32_t n = bytes / unit;
    const auto* source = static_cast<const uint8_t*>(pSource);
    uint8_t* write;
    {
        std::lock_guard<CCriticalSection> lock(*this);
        write = m_pWrite;
    }
    uint8_t* next = write;
    if (unit == m_dwElementSize) {
        next = CopyIn(write, source, bytes);
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            std::memcpy(next, source + i * unit, unit);
            next = Advance(next, 1);
        }
    }
    std::lock_guard<CCriticalSection> lock(*this);
    m_pWrite = next;
    return 0;
}

int32_t CLockedRingBuffer::ReadUnits(void* pDestination, uint32_t bytes, uint32_t unit,
                                     uint32_t offset) {
    if (UnitRefused(unit) || pDestination == nullptr || uint64_t{unit} + offset > m_dwElementSize) {
        return -1;
    }
    if (bytes == 0) return 0;
    if (bytes % unit != 0 || m_pStorage == nullptr || bytes / unit >= m_dwElementCount) return -1;
    const uint32_t n = bytes / unit;
    auto* destination = static_cast<uint8_t*>(pDestination);
    uint8_t* read;
    {
        std::lock_guard<CCriticalSection> lock(*this);
        read = m_pRead;
    }
    uint8_t* next = read;
    if (unit == m_dwElementSize) {
        next = CopyOut(read, destination, bytes);
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            std::memcpy(destination + i * unit, next + offset, unit);
            next = Advance(next, 1);
        }
    }
    std::lock_guard<CCriticalSection> lock(*this);
    m_pRead = next;
    return 0;
}

}  // namespace velmora::ts

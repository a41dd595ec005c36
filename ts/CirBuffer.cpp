#include "ts/CirBuffer.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

namespace velmora::ts {

CCirBuffer::CCirBuffer(uint32_t capacity) {
    Allocate(capacity);
}

CCirBuffer::~CCirBuffer() {
    FreeBuffer();
}

uint32_t CCirBuffer::Allocate(uint32_t n) {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    delete[] m_pData;
    m_pData = n == 0 ? nullptr : new (std::nothrow) uint8_t[n];
    m_dwCapacity = m_pData != nullptr ? n : 0;
    m_dwFill = 0;
    m_dwReadIndex = m_dwWriteIndex = 0;
    return m_pData != nullptr ? 1 : 0;
}

void CCirBuffer::FreeBuffer() {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    delete[] m_pData;
    m_pData = nullptr;
    m_dwCapacity = 0;
    m_dwFill = 0;
    m_dwReadIndex = m_dwWriteIndex = 0;
}

void CCirBuffer::Reset() {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    m_dwFill = 0;
    m_dwReadIndex = m_dwWriteIndex = 0;
}

uint32_t CCirBuffer::GetFreeSize() const {
    return m_dwCapacity - m_dwFill;
}

uint32_t CCirBuffer::GetFillSize() const {
    return m_dwFill;
}

void CCirBuffer::CopyIn(const uint8_t* source, uint32_t n) {
    const uint32_t first = std::min(n, m_dwCapacity - m_dwWriteIndex);
    std::memcpy(m_pData + m_dwWriteIndex, source, first);
    std::memcpy(m_pData, source + first, n - first);
    m_dwWriteIndex = (m_dwWriteIndex + n) % m_dwCapacity;
}

void CCirBuffer::CopyOut(uint8_t* destination, uint32_t n) {
    const uint32_t first = std::min(n, m_dwCapacity - m_dwReadIndex);
    std::memcpy(destination, m_pData + m_dwReadIndex, first);
    std::memcpy(destination + first, m_pData, n - first);
    m_dwReadIndex = (m_dwReadIndex + n) % m_dwCapacity;
}

uint32_t CCirBuffer::Write(const void* pSource, uint32_t n) {
    if (n > GetFreeSize() || (n > 0 && pSource == nullptr)) return kRefused;
    if (n == 0) return 0;
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    CopyIn(static_cast<const uint8_t*>(pSource), n);
    m_dwFill += n;
    return 0;
}

uint32_t CCirBuffer::Read(void* pDestination, uint32_t n) {
    if (n > GetFillSize() || n == 0 || pDestination == nullptr) return 0;
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    CopyOut(static_cast<uint8_t*>(pDestination), n);
    m_dwFill -= n;
    return n;
}

uint32_t CCirBuffer::ReadUpTo(void* pDestination, uint32_t n) {
    return Read(pDestination, std::min(n, GetFillSize()));
}

}  // namespace velmora::ts

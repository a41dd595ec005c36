#pragma once

// A byte ring for one writer and one reader: the TS-over-IP receiver's
// datagram store and the recorder tasks' stream buffers. Fill and free space
// are checked before the lock is taken, which is safe with one reader and
// one writer, since the other side can only enlarge the checked quantity.

#include <atomic>
#include <cstdint>

#include "platform/CriticalSection.h"

namespace velmora::ts {

class CCirBuffer {
  public:
    static constexpr uint32_t kRefused = 0xFFFFFFFFu;

    // No data block: every transfer is refused until Allocate.
    CCirBuffer() = default;
    explicit CCirBuffer(uint32_t capacity);
    virtual ~CCirBuffer();
    CCirBuffer(const CCirBuffer&) = delete;
    CCirBuffer& operator=(const CCirBuffer&) = delete;

    // 0 when written; kRefused when n exceeds the free space (nothing moves).
    uint32_t Write(const void* pSource, uint32_t n);
    // n when read; 0 when fewer bytes are filled (nothing moves).
    uint32_t Read(void* pDestination, uint32_t n);
    // Reads what there is, at most n; returns the count.
    uint32_t ReadUpTo(void* pDestination, uint32_t n);
    uint32_t GetFreeSize() const;
    uint32_t GetFillSize() const;
    void Reset();
    // A new, empty data block of n bytes; 0 when it cannot be had.
    uint32_t Allocate(uint32_t n);
    void FreeBuffer();

  private:
    void CopyIn(const uint8_t* source, uint32_t n);
    void CopyOut(uint8_t* destination, uint32_t n);

    uint32_t m_dwCapacity = 0;
    std::atomic<uint32_t> m_dwFill{0};
    uint8_t* m_pData = nullptr;
    platform::CCriticalSection m_Lock;
    uint32_t m_dwReadIndex = 0;
    uint32_t m_dwWriteIndex = 0;
};

}  // namespace velmora::ts

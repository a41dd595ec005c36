#pragma once

// A ring of fixed-size elements in host memory for one producer thread and
// one consumer thread: a transport packet or a 256-byte card entry each.
// The critical section guards every pointer read and update; the copies run
// outside it. Each side counts first (GetFreeCount / GetFillCount) and then
// moves at most what it counted: its cached count, lowered by every Write or
// Read, so a second transfer after one count never overruns the other side.
//
// Results are 1 for done and 0 for refused, except the unit operations,
// which give a signed count or 0 for done and -1 for refused. A refused call
// changes nothing.

#include <cstdint>

#include "platform/CriticalSection.h"

namespace velmora::ts {

class CLockedRingBuffer : public platform::CCriticalSection {
  public:
    CLockedRingBuffer() = default;
    ~CLockedRingBuffer();
    CLockedRingBuffer(const CLockedRingBuffer&) = delete;
    CLockedRingBuffer& operator=(const CLockedRingBuffer&) = delete;

    uint32_t SetSize(uint32_t count, uint32_t size);
    // A 16-byte-aligned block of count x size bytes, the ring empty; 0 when
    // the allocation fails (the ring then has no storage).
    uint32_t Allocate();
    uint32_t Free();
    // Empties the ring; a fill count taken before allows no Read after it.
    uint32_t Reset();

    // Free elements (one is always kept empty) and the elements that follow
    // the write pointer before the storage end when the free space wraps (0
    // when it lies in one piece after the write pointer). No storage: 0, 0.
    uint32_t GetFreeCount(uint32_t* pFree, uint32_t* pContiguous);
    // Filled elements and, when the filled run wraps, those before the end.
    uint32_t GetFillCount(uint32_t* pFill, uint32_t* pContiguous);

    // Whole elements, at most what the last count of the same side reported.
    uint32_t Write(const void* pSource, uint32_t bytes);
    uint32_t Read(void* pDestination, uint32_t bytes);
    // At most one element's bytes; the pointer moves by one whole element.
    // The caller has counted first.
    uint32_t WriteElement(const void* pSource, uint32_t bytes);
    uint32_t ReadElement(void* pDestination, uint32_t bytes);

    // In-place filling and draining.
    uint32_t GetWritePointer(uint8_t** ppPointer);
    uint32_t GetReadPointer(uint8_t** ppPointer);
    uint32_t CommitWrite(uint32_t count);
    uint32_t CommitRead(uint32_t count);

    // Free (filled) elements in units of `unit` bytes; -1 for a unit longer
    // than an element or not longer than half of one.
    int32_t GetFreeBytes(uint32_t unit);
    int32_t GetFillBytes(uint32_t unit);
    // Units of `unit` bytes, one at the start (or at `offset`) of each
    // element. No count is checked; a run longer than the ring is refused.
    int32_t WriteUnits(const void* pSource, uint32_t bytes, uint32_t unit);
    int32_t ReadUnits(void* pDestination, uint32_t bytes, uint32_t unit, uint32_t offset);

    uint32_t GetElementSize() const { return m_dwElementSize; }
    uint32_t GetElementCount() const { return m_dwElementCount; }

  private:
    // The pointer one element past `p`, wrapped.
    uint8_t* Advance(uint8_t* p, uint32_t elements) const;
    uint32_t Elements(const uint8_t* from, const uint8_t* to) const;
    // Copies `bytes` into the ring at `at` (or out of it), wrapping; returns
    // the pointer after them.
    uint8_t* CopyIn(uint8_t* at, const uint8_t* source, uint32_t bytes);
    uint8_t* CopyOut(uint8_t* at, uint8_t* destination, uint32_t bytes);
    bool UnitRefused(uint32_t unit) const;

    uint32_t m_dwElementSize = 0;
    uint32_t m_dwElementCount = 0;
    uint8_t* m_pRead = nullptr;
    uint8_t* m_pWrite = nullptr;
    uint8_t* m_pEnd = nullptr;
    uint32_t m_dwCachedFree = 0;
    uint32_t m_dwCachedFill = 0;
    uint8_t* m_pStorage = nullptr;
};

}  // namespace velmora::ts

#pragma once

// A bounded ring of items copied by value, guarded by its own critical
// section, whose reader may wait for the next item; and the scope guard that
// holds a critical section for a block.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/CriticalSection.h"
#include "platform/Event.h"

namespace velmora::hw {

// Holds the given critical section from construction to destruction.
class CHcLock {
  public:
    explicit CHcLock(platform::CCriticalSection& section) : m_section(section) { m_section.Lock(); }
    virtual ~CHcLock() { m_section.Unlock(); }
    CHcLock(const CHcLock&) = delete;
    CHcLock& operator=(const CHcLock&) = delete;

  private:
    platform::CCriticalSection& m_section;
};

template <typename T>
class CHcQueue {
  public:
    // threshold: when non-zero, the threshold event is set as the count
    // reaches it.
    explicit CHcQueue(uint32_t waitTimeoutMs, uint32_t threshold = 0)
        : m_dwThreshold(threshold),
          m_dwWaitTimeoutMs(waitTimeoutMs),
          m_pNotEmptyEvent(platform::Event::Create(true, false)),
          m_pThresholdEvent(platform::Event::Create(true, false)) {}
    virtual ~CHcQueue() = default;
    CHcQueue(const CHcQueue&) = delete;
    CHcQueue& operator=(const CHcQueue&) = delete;

    // Sets the capacity; the array grows (zeroed) when n exceeds what it
    // holds. The ring restarts empty, so nothing queued before is indexed
    // with the new capacity or run again.
    uint32_t Resize(uint32_t n) {
        CHcLock lock(m_Lock);
        if (n > m_Items.size()) m_Items.assign(n, T{});
        m_dwCapacity = n;
        m_dwHead = m_dwTail = m_dwCount = 0;
        if (m_pNotEmptyEvent) m_pNotEmptyEvent->Reset();
        return 1;
    }

    uint32_t Push(const T& item) {
        CHcLock lock(m_Lock);
        if (m_dwCount >= m_dwCapacity) return 0;
        m_Items[m_dwTail] = item;
        m_dwTail = Next(m_dwTail);
        ++m_dwCount;
        if (m_dwThreshold != 0 && m_dwCount == m_dwThreshold && m_pThresholdEvent) {
            m_pThresholdEvent->Set();
        }
        if (m_bReaderWaiting) {
            if (m_pNotEmptyEvent) m_pNotEmptyEvent->Set();
            m_bReaderWaiting = false;
        }
        return 1;
    }

    uint32_t PopFront() {
        CHcLock lock(m_Lock);
        if (m_dwCount == 0) return 0;
        m_dwHead = Next(m_dwHead);
        if (--m_dwCount == 0 && m_pNotEmptyEvent) m_pNotEmptyEvent->Reset();
        return 1;
    }

    // Copies the oldest item without removing it. With wait set, an empty
    // queue is waited on for up to the wait time-out.
    uint32_t Peek(T* pItem, uint32_t wait) {
        {
            CHcLock lock(m_Lock);
            if (m_dwCount != 0) {
                *pItem = m_Items[m_dwHead];
                return 1;
            }
            if (!wait || !m_pNotEmptyEvent) return 0;
            m_bReaderWaiting = true;
        }
        m_pNotEmptyEvent->Wait(m_dwWaitTimeoutMs);
        CHcLock lock(m_Lock);
        if (m_dwCount == 0) return 0;
        *pItem = m_Items[m_dwHead];
        return 1;
    }

    uint32_t IsEmpty() {
        CHcLock lock(m_Lock);
        return m_dwCount == 0 ? 1 : 0;
    }
    uint32_t IsFull() {
        CHcLock lock(m_Lock);
        return m_dwCount == m_dwCapacity ? 1 : 0;
    }

  private:
    uint32_t Next(uint32_t index) const { return index + 1 >= m_dwCapacity ? 0 : index + 1; }

    std::vector<T> m_Items;
    uint32_t m_dwCapacity = 0;
    uint32_t m_dwThreshold;
    uint32_t m_dwHead = 0;
    uint32_t m_dwTail = 0;
    uint32_t m_dwCount = 0;
    uint32_t m_dwWaitTimeoutMs;
    std::unique_ptr<platform::Event> m_pNotEmptyEvent;
    std::unique_ptr<platform::Event> m_pThresholdEvent;
    bool m_bReaderWaiting = false;
    platform::CCriticalSection m_Lock;
};

}  // namespace velmora::hw

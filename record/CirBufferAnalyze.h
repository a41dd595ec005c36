#pragma once

// The byte rings that stand for the buffers of the T-STD models: a nominal
// size (the model's buffer size) and a capacity of nominal size x factor, so
// that a model can fill one past its nominal size and see the overflow. The
// EB variant keeps a queue of access units, each removed whole.

#include <cstdint>
#include <deque>

#include "platform/CriticalSection.h"

namespace velmora::record {

class CCirBufferAnalyze {
  public:
    CCirBufferAnalyze() = default;
    CCirBufferAnalyze(int32_t nominalSize, double factor);
    virtual ~CCirBufferAnalyze();
    CCirBufferAnalyze(const CCirBufferAnalyze&) = delete;
    CCirBufferAnalyze& operator=(const CCirBufferAnalyze&) = delete;

    // 0, or -1 when n is negative or exceeds the free space.
    int32_t Write(const void* source, int32_t n);
    // 0, or -1 when n is negative or exceeds the fill.
    int32_t Read(void* destination, int32_t n);
    int32_t Peek(void* destination, int32_t n);
    // The count read: min(n, fill); -1 for a negative n.
    int32_t ReadAtMost(void* destination, int32_t n);
    // n, or -1 when n is negative or exceeds the fill.
    int32_t Discard(int32_t n);
    void Reset();
    // New storage of (int)(nominal x factor) bytes; the buffer is emptied.
    void Resize(int32_t nominalSize, double factor);
    int32_t GetSize() const { return m_nNominalSize; }
    int32_t GetFillLength() const;
    // fill / nominal size; not finite for a nominal size of 0.
    double GetFullnessRatio() const;

  protected:
    int32_t ReadIndex() const { return m_nReadIndex; }
    int32_t WriteIndex() const { return m_nWriteIndex; }
    int32_t Capacity() const { return m_nCapacity; }

  private:
    void CopyOut(void* destination, int32_t n) const;
    void Allocate(int32_t nominalSize, double factor);

    int32_t m_nCapacity = 0;
    mutable platform::CCriticalSection m_Lock;
    int32_t m_nFill = 0;
    int32_t m_nReadIndex = 0;
    int32_t m_nWriteIndex = 0;
    uint8_t* m_pStorage = nullptr;
    int32_t m_nNominalSize = 0;
};

class CCirBufferAnalyzeEB : public CCirBufferAnalyze {
  public:
    CCirBufferAnalyzeEB() = default;
    ~CCirBufferAnalyzeEB() override = default;

    // Ends an access unit at the present write index, to leave at `time`
    // (27 MHz).
    void PushAccessUnit(double removalTime);
    // Removes the oldest access unit: the count discarded, or -1 when no
    // access unit is queued.
    int32_t RemoveAccessUnit(double time);
    size_t GetAccessUnitCount() const { return m_AccessUnits.size(); }
    // Removal time of the oldest access unit; false when none is queued.
    bool GetNextRemovalTime(double* time) const;

  private:
    struct ACCESS_UNIT {
        double removalTime;
        uint32_t endOffset;
    };
    std::deque<ACCESS_UNIT> m_AccessUnits;
};

}  // namespace velmora::record

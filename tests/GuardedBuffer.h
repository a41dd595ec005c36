#pragma once

// A buffer between two inaccessible pages, so that a read or write past
// either end faults at once. The buffer lies against the upper guard page
// (or the lower one); the unused bytes of its first (last) page hold a known
// pattern, checked when the buffer goes away, so that stray writes on that
// side are seen too.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <vector>

namespace velmora::test {

class GuardedBuffer {
  public:
    enum class Edge { End, Start };
    static constexpr uint8_t kSlackPattern = 0xA5;

    explicit GuardedBuffer(size_t bytes, Edge edge = Edge::End) : m_nBytes(bytes) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t dataPages = (bytes + page - 1) / page + (bytes == 0 ? 1 : 0);
        m_nMapped = (dataPages + 2) * page;
        void* map =
            mmap(nullptr, m_nMapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) throw std::bad_alloc();
        m_pMap = static_cast<uint8_t*>(map);
        mprotect(m_pMap, page, PROT_NONE);
        mprotect(m_pMap + (dataPages + 1) * page, page, PROT_NONE);
        m_pFirst = m_pMap + page;
        m_pLast = m_pFirst + dataPages * page;
        m_pData = edge == Edge::End ? m_pLast - bytes : m_pFirst;
        std::memset(m_pFirst, kSlackPattern, dataPages * page);
    }
    ~GuardedBuffer() {
        EXPECT_TRUE(SlackIntact()) << "a write landed beside a guarded buffer";
        munmap(m_pMap, m_nMapped);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() { return m_pData; }
    const uint8_t* data() const { return m_pData; }
    size_t size() const { return m_nBytes; }
    template <typename T>
    T* as() {
        return reinterpret_cast<T*>(m_pData);
    }

    void FillRandom(uint32_t seed) {
        std::mt19937 random(seed);
        for (size_t i = 0; i < m_nBytes; ++i)
            m_pData[i] = static_cast<uint8_t>(random());
    }
    void Fill(uint8_t value) { std::memset(m_pData, value, m_nBytes); }
    void Assign(const std::vector<uint8_t>& bytes) {
        std::memcpy(m_pData, bytes.data(), std::min(bytes.size(), m_nBytes));
    }
    std::vector<uint8_t> Bytes() const { return {m_pData, m_pData + m_nBytes}; }

    bool SlackIntact() const {
        const auto intact = [](const uint8_t* from, const uint8_t* to) {
            for (const uint8_t* p = from; p < to; ++p) {
                if (*p != kSlackPattern) return false;
            }
            return true;
        };
        return intact(m_pFirst, m_pData) && intact(m_pData + m_nBytes, m_pLast);
    }

  private:
    size_t m_nBytes;
    size_t m_nMapped = 0;
    uint8_t* m_pMap = nullptr;
    uint8_t* m_pFirst = nullptr;
    uint8_t* m_pLast = nullptr;
    uint8_t* m_pData = nullptr;
};

}  // namespace velmora::test

#include "record/CirBufferAnalyze.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

namespace velmora::record {

CCirBufferAnalyze::CCirBufferAnalyze(int32_t nominalSize, double factor) {
    Allocate(nominalSize, factor);
}

CCirBufferAnalyze::~CCirBufferAnalyze() {
    delete[] m_pStorage;
}

void CCirBufferAnalyze::Allocate(int32_t nominalSize, double factor) {
    const double capacity = std::max(0.0, nominalSize * factor);
    m_nCapacity =
        capacity >= std::numeric_limits<int32_t>::max() ? 0 : static_cast<int32_t>(capacity);
    m_nNominalSize = m_nCapacity > 0 ? nominalSize : 0;
    m_pStorage = m_nCapacity > 0 ? new uint8_t[static_cast<size_t>(m_nCapacity)] : nullptr;
    m_nFill = m_nReadIndex = m_nWriteIndex = 0;
}

int32_t CCirBufferAnalyze::Write(const void* source, int32_t n) {
    if (n < 0 || n > m_nCapacity - GetFillLength()) return -1;
    if (n == 0) return 0;
    const auto* bytes = static_cast<const uint8_t*>(source);
    const int32_t first = std::min(n, m_nCapacity - m_nWriteIndex);
    std::memcpy(m_pStorage + m_nWriteIndex, bytes, static_cast<size_t>(first));
    std::memcpy(m_pStorage, bytes + first, static_cast<size_t>(n - first));
    m_nWriteIndex = (m_nWriteIndex + n) % m_nCapacity;
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    m_nFill += n;
    return 0;
}

void CCirBufferAnalyze::CopyOut(void* destination, int32_t n) const {
    auto* bytes = static_cast<uint8_t*>(destination);
    const int32_t first = std::min(n, m_nCapacity - m_nReadIndex);
    std::memcpy(bytes, m_pStorage + m_nReadIndex, static_cast<size_t>(first));
    std::memcpy(bytes + first, m_pStorage, static_cast<size_t>(n - first));
}

int32_t CCirBufferAnalyze::Read(void* destination, int32_t n) {
    if (n < 0 || n > GetFillLength()) return -1;
    if (n == 0) return 0;
    CopyOut(destination, n);
    return Discard(n) < 0 ? -1 : 0;
}

int32_t CCirBufferAnalyze::Peek(void* destination, int32_t n) {
    if (n < 0 || n > GetFillLength()) return -1;
    if (n != 0) CopyOut(destination, n);
    return 0;
}

int32_t CCirBufferAnalyze::ReadAtMost(void* destination, int32_t n) {
    if (n < 0) return -1;
    const int32_t count = std::min(n, GetFillLength());
    return Read(destination, count) == 0 ? count : 0;
}

int32_t CCirBufferAnalyze::Discard(int32_t n) {
    if (n < 0 || n > GetFillLength()) return -1;
    if (n == 0) return 0;
    m_nReadIndex = (m_nReadIndex + n) % m_nCapacity;
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    m_nFill -= n;
    return n;
}

void CCirBufferAnalyze::Reset() {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    m_nFill = m_nReadIndex = m_nWriteIndex = 0;
}

void CCirBufferAnalyze::Resize(int32_t nominalSize, double factor) {
    delete[] m_pStorage;
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    Allocate(nominalSize, factor);
}

int32_t CCirBufferAnalyze::GetFillLength() const {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    return m_nFill;
}

double CCirBufferAnalyze::GetFullnessRatio() const {
    return static_cast<double>(GetFillLength()) / static_cast<double>(m_nNominalSize);
}

void CCirBufferAnalyzeEB::PushAccessUnit(double removalTime) {
    m_AccessUnits.push_back({removalTime, static_cast<uint32_t>(WriteIndex())});
}

int32_t CCirBufferAnalyzeEB::RemoveAccessUnit(double /*time*/) {
    if (m_AccessUnits.empty()) return -1;
    const int32_t end = static_cast<int32_t>(m_AccessUnits.front().endOffset);
    m_AccessUnits.pop_front();
    const int32_t read = ReadIndex();
    return Discard(end >= read ? end - read : end + Capacity() - read);
}

bool CCirBufferAnalyzeEB::GetNextRemovalTime(double* time) const {
    if (m_AccessUnits.empty()) return false;
    *time = m_AccessUnits.front().removalTime;
    return true;
}

}  // namespace velmora::record

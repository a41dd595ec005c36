#include "record/TsBufferAnalyzeFeeder.h"

namespace velmora::record {

// Video analysis is not available in this build: the feeder never starts.
CTsBufferAnalyzeFeeder::CTsBufferAnalyzeFeeder(ts::CLockedRingBuffer* pRing) : m_pRing(pRing) {}

CTsBufferAnalyzeFeeder::~CTsBufferAnalyzeFeeder() = default;

bool CTsBufferAnalyzeFeeder::Start(CTsBufferAnalyzeClient*) {
    return false;
}

bool CTsBufferAnalyzeFeeder::Stop() {
    if (m_pClient != nullptr) m_pClient->OnFeederRunning(0);
    return true;
}

}  // namespace velmora::record

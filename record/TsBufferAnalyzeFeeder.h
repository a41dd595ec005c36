#pragma once

// The playback side's video-analysis feeder: finds the program's PMT PID in
// the packets of a ring, then feeds a frame analyser from the ring on a
// thread of its own, telling its client the running state after every poll.

#include <cstdint>

namespace velmora::ts {
class CLockedRingBuffer;
}

namespace velmora::record {

class CBufferAnalyzeFrame;

// What the feeder tells the object that started it.
class CTsBufferAnalyzeClient {
  public:
    virtual ~CTsBufferAnalyzeClient() = default;
    virtual void OnFeederRunning(uint32_t running) = 0;
};

class CTsBufferAnalyzeFeeder {
  public:
    static constexpr uint16_t kNoPid = 8192;

    explicit CTsBufferAnalyzeFeeder(ts::CLockedRingBuffer* pRing);
    virtual ~CTsBufferAnalyzeFeeder();
    CTsBufferAnalyzeFeeder(const CTsBufferAnalyzeFeeder&) = delete;
    CTsBufferAnalyzeFeeder& operator=(const CTsBufferAnalyzeFeeder&) = delete;

    bool Start(CTsBufferAnalyzeClient* pClient);
    bool Stop();

  private:
    ts::CLockedRingBuffer* m_pRing;
    uint16_t m_wPmtPid = kNoPid;
    CTsBufferAnalyzeClient* m_pClient = nullptr;
};

}  // namespace velmora::record

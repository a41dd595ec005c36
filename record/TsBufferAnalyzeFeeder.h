#pragma once

// The playback side's video-analysis feeder: finds the program's PMT PID in
// the packets of a ring, then feeds a frame analyser from the ring on a
// thread of its own, telling its client the running state after every poll.

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Thread.h"

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
    static constexpr uint32_t kPatSearchPackets = 500;
    // FindProgramMapPid gives up when the ring stays empty this long.
    static constexpr uint32_t kEmptyRingTimeoutMs = 5000;

    explicit CTsBufferAnalyzeFeeder(ts::CLockedRingBuffer* pRing);
    // Stops a running feeder first.
    virtual ~CTsBufferAnalyzeFeeder();
    CTsBufferAnalyzeFeeder(const CTsBufferAnalyzeFeeder&) = delete;
    CTsBufferAnalyzeFeeder& operator=(const CTsBufferAnalyzeFeeder&) = delete;

    bool Start(CTsBufferAnalyzeClient* pClient);
    bool Stop();
    // Reads up to 500 packets for a PAT; builds the frame analyser for the
    // first program that is not program 0.
    bool FindProgramMapPid();

    uint16_t GetPmtPid() const { return m_wPmtPid; }
    // The analyser is fed on the feeder's thread: read it once stopped.
    CBufferAnalyzeFrame* GetFrameAnalyzer() { return m_pFrame.get(); }

  private:
    bool ReadPacket(uint8_t* packet);
    uint16_t PmtPidFromPat(const uint8_t* packet) const;
    uint32_t ThreadProc();
    void Run();

    ts::CLockedRingBuffer* m_pRing;
    uint16_t m_wPmtPid = kNoPid;
    CTsBufferAnalyzeClient* m_pClient = nullptr;
    std::unique_ptr<CBufferAnalyzeFrame> m_pFrame;
    std::atomic<uint8_t> m_bRunning{0};
    platform::Thread m_Thread;
};

}  // namespace velmora::record

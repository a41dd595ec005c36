#pragma once

// Queues caller frames of 1920 stereo pairs at 48 kHz, one block at a time,
// into an 8-block audio playback ring in card memory: in audio mode 0 with
// resampling the frame is converted to the card's rate (2,109 or 2,110 pairs
// by its place in the 8-frame cycle), the PCI bridge moves the block by DMA
// and the board support commits it with its stamp.
//
// A worker keeps no lock of its own: two threads must not write through one
// worker at once. DMA on a channel is serialised across threads and processes
// by the bridge's DMA channel lock, and a write decides under it whether the
// ring has room, so that writers in several processes never write over a
// queued block.

#include <cstdint>
#include <memory>

#include "card/ChannelWorker.h"

namespace velmora::card {

class CBoardSupport;

class CAudioPlayback : public CChannelWorker {
  public:
    static constexpr uint32_t kDefaultRingBase = 0x397400;
    static constexpr uint32_t kDefaultBlockSize = 0x1000;
    static constexpr uint32_t kDefaultSamplesPerFrame = 1920;
    // The card gets each 64-bit stamp one field (PAL) later than the caller's.
    static constexpr int64_t kStampAdvance = 200000;

    explicit CAudioPlayback(CBoardSupport* pBoardSupport);
    ~CAudioPlayback() override;

    // Set by the main function when it builds the worker (the channel's
    // CHANNEL_MEMORY_CONFIG and its DMA channel).
    void SetAudioMode(uint32_t mode) { m_dwAudioMode = mode; }
    // Ring base and block size, in card words.
    void SetBlockSize(uint32_t blockWords) { m_dwBlockSize = blockWords; }
    void SetSamplesPerFrame(uint32_t samples) { m_dwSamplesPerFrame = samples; }
    uint32_t GetAudioMode() const { return m_dwAudioMode; }
    uint32_t GetBlockSize() const { return m_dwBlockSize; }
    uint32_t GetSamplesPerFrame() const { return m_dwSamplesPerFrame; }

    // Every operation returns 1 for success and 0 for failure; the forwarding
    // ones return the board support's result.
    uint32_t IsBufferFull() override;
    uint32_t IsBufferEmpty() override;
    // Drops the queued blocks; the last stamps stay.
    uint32_t FlushBuffer();

    // One caller frame (7,680 bytes) with its stamp (100 ns units, compared
    // as a signed value). A stamp not newer than the last one written drops
    // the frame with result 1. 0
    // for a full ring or a failed transfer; the frame is then not queued, and
    // the resampler state is as before the call, so the frame can be written
    // again.
    uint32_t WriteOneFrame(uint64_t timeStamp, const void* pSamples, uint32_t resample);
    // As WriteOneFrame with a 32-bit stamp handed to the card unchanged.
    uint32_t WriteOneFrame32(uint32_t timeStamp, const void* pSamples, uint32_t resample);

    // The shared rate conversion (AudioResampler.h).
    static uint32_t ResampleStereo16(const uint32_t* pSource, float sourceRate,
                                     uint32_t sourceCount, uint32_t* pDest, float destRate,
                                     uint32_t* pDestCount, float* pPhase, int32_t* pLastLeft,
                                     int32_t* pLastRight);

    int64_t GetLastTimeStamp() const { return m_rtLastTimeStamp; }
    uint32_t GetLastTimeStamp32() const { return m_dwLastTimeStamp32; }
    // The resampler state carried from one frame to the next.
    float GetPhase() const { return m_fPhase; }
    int32_t GetLastLeft() const { return m_iLastLeft; }
    int32_t GetLastRight() const { return m_iLastRight; }

  private:
    // The two writers' part of the ring transfer.
    struct WriteSteps;

    // Fills the host buffer from the caller's frame: packed for audio mode 1,
    // else resampled (the phase starts afresh at the start of the 8-frame
    // cycle) or copied.
    void FillHostBuffer(const void* pSamples, bool pack, bool resample, bool cycleStart);
    // The ring protocol of both writes after the stamp and full checks; `wide`
    // selects the 64-bit stamp path.
    uint32_t QueueBlock(int64_t stamp64, uint32_t stamp32, bool wide, const void* pSamples,
                        uint32_t resample);

    uint32_t m_dwLastTimeStamp32 = 0;
    int64_t m_rtLastTimeStamp = 0;
    uint32_t m_dwAudioMode = 0;
    uint32_t m_dwBlockSize = kDefaultBlockSize;
    uint32_t m_dwSamplesPerFrame = kDefaultSamplesPerFrame;
    std::unique_ptr<uint32_t[]> m_pHostBuffer;
    float m_fPhase = 0.0f;
    int32_t m_iLastLeft = 0;
    int32_t m_iLastRight = 0;
};

}  // namespace velmora::card

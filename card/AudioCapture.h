#pragma once

// Reads captured audio, one block at a time, out of an 8-block audio capture
// ring in card memory and hands the caller one frame of 1920 stereo pairs at
// 48 kHz: the board support speaks the ring protocol (read request, done,
// index, stamp, strobe), the PCI bridge moves the block by DMA, and in audio
// mode 0 with resampling the block is converted from the card's rate.
//
// Reads from several threads take turns on the worker's own lock: the ring
// protocol, the card buffer the block lands in and the resampler state all
// belong to one read until its samples are out. DMA on a channel is
// serialised across threads and processes by the bridge's DMA channel lock,
// and a read decides under it whether the ring holds a block, so that readers
// in several processes each get a block the others do not.

#include <cstdint>
#include <memory>
#include <mutex>

#include "card/ChannelWorker.h"

namespace velmora::card {

class CBoardSupport;

class CAudioCapture : public CChannelWorker {
  public:
    static constexpr uint32_t kDefaultRingBase = 0x38F400;
    static constexpr uint32_t kDefaultBlockSize = 0x1000;
    static constexpr uint32_t kDefaultSamplesPerFrame = 1920;
    // How long a read request may wait for the card's done bit.
    static constexpr uint32_t kReadDoneTimeoutMs = 1000;

    explicit CAudioCapture(CBoardSupport* pBoardSupport);
    ~CAudioCapture() override;

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
    uint32_t Start();
    uint32_t Stop();
    uint32_t IsBufferFull() override;
    uint32_t IsBufferEmpty() override;

    // The oldest captured block as one caller frame (7,680 bytes) with its
    // stamp (100 ns units). 0 for an empty ring, a card that does not answer
    // the read request within kReadDoneTimeoutMs, or a failed transfer: the
    // block then stays in the ring, and neither the caller's samples nor the
    // resampler state are touched.
    uint32_t ReadOneFrameFromBuffer(uint64_t* pTimeStamp, void* pSamples, uint32_t resample);
    // As ReadOneFrameFromBuffer, with the ring's 32-bit stamp entry; audio
    // mode 0 only.
    uint32_t ReadOneFrame32(uint32_t* pTimeStamp, void* pSamples, uint32_t resample);

    // The shared rate conversion (AudioResampler.h).
    static uint32_t ResampleStereo16(const uint32_t* pSource, float sourceRate,
                                     uint32_t sourceCount, uint32_t* pDest, float destRate,
                                     uint32_t* pDestCount, float* pPhase, int32_t* pLastLeft,
                                     int32_t* pLastRight);

    // The resampler state carried from one frame to the next.
    float GetPhase() const { return m_fPhase; }
    int32_t GetLastLeft() const { return m_iLastLeft; }
    int32_t GetLastRight() const { return m_iLastRight; }

  private:
    // This reader's part of the ring transfer.
    struct ReadSteps;

    // The ring protocol of both reads; `pStamp64` or `pStamp32` receives the
    // stamp.
    uint32_t ReadBlock(uint64_t* pStamp64, uint32_t* pStamp32, void* pSamples, uint32_t resample);

    // Held for a whole read.
    std::mutex m_ReadLock;
    uint32_t m_dwAudioMode = 0;
    uint32_t m_dwBlockSize = kDefaultBlockSize;
    uint32_t m_dwSamplesPerFrame = kDefaultSamplesPerFrame;
    std::unique_ptr<uint32_t[]> m_pCardBuffer;
    std::unique_ptr<uint32_t[]> m_pResultBuffer;
    float m_fPhase = 0.0f;
    int32_t m_iLastLeft = 0;
    int32_t m_iLastRight = 0;
};

}  // namespace velmora::card

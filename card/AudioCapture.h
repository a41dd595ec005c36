#pragma once

// Reads captured audio, one block at a time, out of an 8-block audio capture
// ring in card memory and hands the caller one frame of 1920 stereo pairs at
// 48 kHz: the board support speaks the ring protocol (read request, done,
// index, stamp, strobe), the PCI bridge moves the block by DMA, and in audio
// mode 0 with resampling the block is converted from the card's rate.
//
// A worker keeps no lock of its own: two threads must not read through one
// worker at once (the resampler state and the ring protocol are unguarded).
// DMA on a channel is serialised across threads and processes by the
// bridge's DMA channel lock.

#include <cstdint>
#include <memory>

namespace velmora::hw {
class CPciBridge;
}

namespace velmora::card {

class CBoardSupport;
class CIoCardBoardSupport;

class CAudioCapture {
  public:
    static constexpr uint32_t kDefaultRingBase = 0x38F400;
    static constexpr uint32_t kDefaultBlockSize = 0x1000;
    static constexpr uint32_t kDefaultSamplesPerFrame = 1920;
    // How long a read request may wait for the card's done bit.
    static constexpr uint32_t kReadDoneTimeoutMs = 1000;

    // The board support is not owned; the worker uses the PCI bridge it holds.
    // Without a card-family board support every ring operation fails.
    explicit CAudioCapture(CBoardSupport* pBoardSupport);
    virtual ~CAudioCapture();
    CAudioCapture(const CAudioCapture&) = delete;
    CAudioCapture& operator=(const CAudioCapture&) = delete;

    // Set by the main function when it builds the worker (the channel's
    // CHANNEL_MEMORY_CONFIG and its DMA channel).
    void SetDmaChannel(uint32_t channel) { m_dwDmaChannel = channel; }
    void SetPort(uint32_t port) { m_dwPort = port; }
    void SetAudioMode(uint32_t mode) { m_dwAudioMode = mode; }
    // Ring base and block size, in card words.
    void SetRingBase(uint32_t baseWords) { m_dwRingBase = baseWords; }
    void SetBlockSize(uint32_t blockWords) { m_dwBlockSize = blockWords; }
    void SetSamplesPerFrame(uint32_t samples) { m_dwSamplesPerFrame = samples; }
    uint32_t GetDmaChannel() const { return m_dwDmaChannel; }
    uint32_t GetPort() const { return m_dwPort; }
    uint32_t GetAudioMode() const { return m_dwAudioMode; }
    uint32_t GetRingBase() const { return m_dwRingBase; }
    uint32_t GetBlockSize() const { return m_dwBlockSize; }
    uint32_t GetSamplesPerFrame() const { return m_dwSamplesPerFrame; }

    // Every operation returns 1 for success and 0 for failure; the forwarding
    // ones return the board support's result.
    uint32_t Start();
    uint32_t Stop();
    uint32_t IsBufferFull();
    uint32_t IsBufferEmpty();
    // FRAME_BUFFER_STATUS: 1 empty, 2 full, 0 neither.
    uint32_t GetBufferStatus(uint32_t* pStatus);

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
    // The ring protocol of both reads; `pStamp64` or `pStamp32` receives the
    // stamp.
    uint32_t ReadBlock(uint64_t* pStamp64, uint32_t* pStamp32, void* pSamples, uint32_t resample);

    CIoCardBoardSupport* m_pBoardSupport;
    hw::CPciBridge* m_pPciBridge;
    uint32_t m_dwDmaChannel = 0;
    uint32_t m_dwPort = 0;
    uint32_t m_dwAudioMode = 0;
    uint32_t m_dwRingBase = kDefaultRingBase;
    uint32_t m_dwBlockSize = kDefaultBlockSize;
    uint32_t m_dwSamplesPerFrame = kDefaultSamplesPerFrame;
    std::unique_ptr<uint32_t[]> m_pCardBuffer;
    std::unique_ptr<uint32_t[]> m_pResultBuffer;
    float m_fPhase = 0.0f;
    int32_t m_iLastLeft = 0;
    int32_t m_iLastRight = 0;
};

}  // namespace velmora::card

#pragma once

// The card-family level of the main-function family. It divides the card's
// memory into the frame and sample rings of each channel (CARD_MEMORY_MAP),
// keeps one CHANNEL_MEMORY_CONFIG record per channel and direction, and holds
// the audio/video channel workers that the channel operations forward to.
//
// A channel whose worker was not built (a failed or partial open, a channel
// past the count) refuses every channel operation with 0.

#include <cstdint>
#include <memory>

#include "card/CardMainFunc.h"

namespace velmora::hw {
class CDmaManager;
}

namespace velmora::card {

class CAudioCapture;
class CAudioPlayback;
class CVideoCapture;
class CVideoPlayback;

// Fixed ring addresses in card memory, in 32-bit words; every ring holds 8
// units. Channel 1's rings lie 0x400000 words after channel 0's.
namespace card_memory {
inline constexpr uint32_t kRingUnits = 8;
inline constexpr uint32_t kChannelStride = 0x400000;
inline constexpr uint32_t kVideoUnitWords = 0x32A00;
inline constexpr uint32_t kVideoCaptureBase = 0x65400;
inline constexpr uint32_t kVideoPlaybackBase = 0x1FA400;
inline constexpr uint32_t kAudioCaptureBase = 0x38F400;
inline constexpr uint32_t kAudioPlaybackBaseMode0 = 0x397400;
inline constexpr uint32_t kAudioPlaybackBaseMode1 = 0x39F400;
inline constexpr uint32_t kAudioUnitWordsMode0 = 0x1000;
inline constexpr uint32_t kAudioUnitWordsMode1 = 0x2000;
inline constexpr uint32_t kAudioSamplesMode0 = 1920;
inline constexpr uint32_t kAudioSamplesMode1 = 3840;
// YUY2 black (Y 16, U and V 128), two pixels a word.
inline constexpr uint32_t kBlackYuy2Pair = 0x80108010;
}  // namespace card_memory

struct CHANNEL_MEMORY_CONFIG {
    uint32_t dwPort;          // FPGA port of the channel
    uint32_t dwAudioMode;     // audio records only
    uint32_t dwBase;          // ring base, card words
    uint32_t dwUnitWords;     // words of one ring unit
    uint32_t dwFrameSamples;  // audio samples a frame; the unit for video
};

class CIoCardMainFunc : public CCardMainFunc {
  public:
    static constexpr uint32_t kMaxChannels = 8;
    // The DMA channel that clears the video rings.
    static constexpr uint32_t kClearDmaChannel = 1;

    // Neither the board support nor the DMA manager is owned.
    CIoCardMainFunc(uint32_t cardIndex, CBoardSupport* pBoardSupport, hw::CDmaManager* pDmaManager);
    ~CIoCardMainFunc() override;

    // With both flags set the channel records are filled, the workers built
    // and audio and video capture started.
    uint32_t Init(uint32_t firstInSystem, uint32_t firstInProcess) override;
    // The process's last close deletes its workers; captures are stopped only
    // by the last user in the system, since other processes may still read.
    uint32_t Exit(uint32_t lastInSystem, uint32_t lastInProcess) override;
    // Fills channel 0's video playback and capture rings with black over DMA.
    uint32_t ClearFrameMemory() override;
    uint32_t GetFieldNumber(uint32_t* pField) override;

    // --- Slots added by this level, in slot order. ---
    virtual uint32_t AudioCaptureStart(uint32_t channel);
    virtual uint32_t AudioCaptureStop(uint32_t channel);
    virtual uint32_t VideoCaptureStop(uint32_t channel);
    virtual uint32_t VideoCaptureStart(uint32_t channel);
    virtual uint32_t FlushAudioPlaybackBuffer(uint32_t channel);
    virtual uint32_t FlushVideoPlaybackBuffer(uint32_t channel);
    virtual uint32_t SetVideoCaptureFrameType(uint32_t channel, uint32_t frameType);
    virtual uint32_t SetVideoPlaybackFrameType(uint32_t channel, uint32_t frameType);
    virtual uint32_t GetAudioCaptureBufferStatus(uint32_t channel, uint32_t* pStatus);
    virtual uint32_t GetAudioPlaybackBufferStatus(uint32_t channel, uint32_t* pStatus);
    virtual uint32_t GetVideoCaptureBufferStatus(uint32_t channel, uint32_t* pStatus);
    virtual uint32_t GetVideoPlaybackBufferStatus(uint32_t channel, uint32_t* pStatus);
    virtual uint32_t ReadOneVideoFrame(uint32_t channel, uint64_t* pTimeStamp, void* pFrame);
    virtual uint32_t ReadOneVideoFrame32(uint32_t channel, uint32_t* pTimeStamp, void* pFrame);
    virtual uint32_t WriteOneVideoFrame(uint32_t channel, uint32_t stampLow, uint32_t stampHigh,
                                        void* pFrame);
    virtual uint32_t WriteOneVideoFrame32(uint32_t channel, uint32_t timeStamp, void* pFrame);
    virtual uint32_t Reserved45(uint32_t, uint32_t, uint32_t, uint32_t);
    virtual uint32_t ReadOneAudioFrame(uint32_t channel, uint64_t* pTimeStamp, void* pSamples);
    virtual uint32_t ReadOneAudioFrame32(uint32_t channel, uint32_t* pTimeStamp, void* pSamples);
    virtual uint32_t WriteOneAudioFrame(uint32_t channel, uint32_t stampLow, uint32_t stampHigh,
                                        void* pSamples);
    virtual uint32_t WriteOneAudioFrame32(uint32_t channel, uint32_t timeStamp, void* pSamples);
    virtual uint32_t GetCardTimeStamp(uint32_t channel, uint64_t* pTimeStamp);
    virtual uint32_t Reserved51();
    virtual uint32_t Reserved52();
    virtual uint32_t Reserved53(uint32_t);
    virtual uint32_t Reserved54(uint32_t);
    virtual uint32_t Reserved55(uint32_t, uint32_t);
    virtual uint32_t Reserved56(uint32_t, uint32_t);

    const CHANNEL_MEMORY_CONFIG& AudioCaptureConfig(uint32_t channel) const {
        return m_AudioCaptureConfig[channel % kMaxChannels];
    }
    const CHANNEL_MEMORY_CONFIG& VideoCaptureConfig(uint32_t channel) const {
        return m_VideoCaptureConfig[channel % kMaxChannels];
    }
    const CHANNEL_MEMORY_CONFIG& AudioPlaybackConfig(uint32_t channel) const {
        return m_AudioPlaybackConfig[channel % kMaxChannels];
    }
    const CHANNEL_MEMORY_CONFIG& VideoPlaybackConfig(uint32_t channel) const {
        return m_VideoPlaybackConfig[channel % kMaxChannels];
    }

    // The channel's workers; null when not built.
    CAudioCapture* AudioCaptureWorker(uint32_t channel) const {
        return channel < kMaxChannels ? m_pAudioCapture[channel] : nullptr;
    }
    CVideoCapture* VideoCaptureWorker(uint32_t channel) const {
        return channel < kMaxChannels ? m_pVideoCapture[channel] : nullptr;
    }
    CAudioPlayback* AudioPlaybackWorker(uint32_t channel) const {
        return channel < kMaxChannels ? m_pAudioPlayback[channel] : nullptr;
    }
    CVideoPlayback* VideoPlaybackWorker(uint32_t channel) const {
        return channel < kMaxChannels ? m_pVideoPlayback[channel] : nullptr;
    }

  protected:
    // Init's work. `clear` clears the frame stores (the first opener in the
    // system only), `build` fills the records and builds the workers.
    uint32_t InitChannels(uint32_t clear, uint32_t build, uint32_t firstInProcess);
    void FillChannelRecords();
    uint32_t BuildWorkers();
    // Deletes every worker; stops the captures first when `stopCaptures` is
    // set (then a failing stop returns 0 and leaves the rest).
    uint32_t DeleteWorkers(bool stopCaptures);
    // The one-frame buffer ClearFrameMemory fills with black; null when memory
    // runs out.
    virtual std::unique_ptr<uint32_t[]> AllocateClearBuffer();

    uint32_t m_bResample = 1;
    uint32_t m_dwAudioMode = 0;
    uint32_t m_dwAudioCaptureCount = 1;
    uint32_t m_dwVideoCaptureCount = 1;
    uint32_t m_dwAudioPlaybackCount = 1;
    uint32_t m_dwVideoPlaybackCount = 1;
    CHANNEL_MEMORY_CONFIG m_AudioCaptureConfig[kMaxChannels] = {};
    CHANNEL_MEMORY_CONFIG m_VideoCaptureConfig[kMaxChannels] = {};
    CHANNEL_MEMORY_CONFIG m_AudioPlaybackConfig[kMaxChannels] = {};
    CHANNEL_MEMORY_CONFIG m_VideoPlaybackConfig[kMaxChannels] = {};
    hw::CDmaManager* m_pDmaManager;
    CAudioCapture* m_pAudioCapture[kMaxChannels] = {};
    CVideoCapture* m_pVideoCapture[kMaxChannels] = {};
    CAudioPlayback* m_pAudioPlayback[kMaxChannels] = {};
    CVideoPlayback* m_pVideoPlayback[kMaxChannels] = {};
};

}  // namespace velmora::card

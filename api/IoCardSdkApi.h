#pragma once

// The card-family level of the API object: the audio/video channel
// operations of the main function, under the API lock except for the frame
// reads and writes (a read that waits for a frame must not hold up the other
// calls), and the two card-clock reads under a lock of their own.

#include <cstdint>

#include "api/SdkApi.h"
#include "platform/CriticalSection.h"

namespace velmora::card {
class CIoCardMainFunc;
class CIoCardBoardSupport;
}  // namespace velmora::card

namespace velmora::api {

class CIoCardSdkApi : public CSdkApi {
  public:
    CIoCardSdkApi(card::CIoCardMainFunc* pMainFunc, card::CIoCardBoardSupport* pBoardSupport);
    ~CIoCardSdkApi() override;

    virtual uint32_t AudioCaptureStart(uint32_t channel);
    virtual uint32_t AudioCaptureStop(uint32_t channel);
    virtual uint32_t VideoCaptureStart(uint32_t channel);
    virtual uint32_t VideoCaptureStop(uint32_t channel);
    virtual uint32_t SetPortControlBit4(uint32_t value);
    virtual uint32_t ClearPortControlBit4(uint32_t value);
    virtual uint32_t FlushAudioPlaybackBuffer(uint32_t channel);
    virtual uint32_t FlushVideoPlaybackBuffer(uint32_t channel);
    virtual uint32_t GetAudioCaptureBufferStatus(uint32_t channel, uint32_t* pStatus);
    virtual uint32_t GetAudioPlaybackBufferStatus(uint32_t channel, uint32_t* pStatus);
    virtual uint32_t SetVideoCaptureFrameType(uint32_t channel, uint32_t frameType);
    virtual uint32_t SetVideoPlaybackFrameType(uint32_t channel, uint32_t frameType);
    virtual uint32_t GetVideoCaptureBufferStatus(uint32_t channel, uint32_t* pStatus);
    virtual uint32_t GetVideoPlaybackBufferStatus(uint32_t channel, uint32_t* pStatus);
    virtual uint32_t ReadOneVideoFrame(uint32_t channel, uint64_t* pTimeStamp, void* pFrame);
    virtual uint32_t ReadOneVideoFrame32(uint32_t channel, uint32_t* pTimeStamp, void* pFrame);
    virtual uint32_t WriteOneVideoFrame(uint32_t channel, uint32_t stampLow, uint32_t stampHigh,
                                        void* pFrame);
    virtual uint32_t WriteOneVideoFrame32(uint32_t channel, uint32_t timeStamp, void* pFrame);
    virtual uint32_t ReadOneAudioFrame(uint32_t channel, uint64_t* pTimeStamp, void* pSamples);
    virtual uint32_t ReadOneAudioFrame32(uint32_t channel, uint32_t* pTimeStamp, void* pSamples);
    virtual uint32_t WriteOneAudioFrame(uint32_t channel, uint32_t stampLow, uint32_t stampHigh,
                                        void* pSamples);
    virtual uint32_t WriteOneAudioFrame32(uint32_t channel, uint32_t timeStamp, void* pSamples);
    virtual uint32_t GetCardTimeStamp(uint32_t channel, uint64_t* pTimeStamp);
    virtual uint32_t GetCardClock64(uint64_t* pClock);
    virtual uint32_t GetCardClock(uint32_t* pClock);
    virtual uint32_t GetReservedStatus(uint32_t* pValue);

  protected:
    card::CIoCardMainFunc* m_pIoCardMainFunc;
    card::CIoCardBoardSupport* m_pIoCardBoardSupport;
    platform::CCriticalSection m_csCardClock;
};

}  // namespace velmora::api

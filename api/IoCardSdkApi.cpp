#include "api/IoCardSdkApi.h"

#include <mutex>

#include "card/IoCardBoardSupport.h"
#include "card/IoCardMainFunc.h"

namespace velmora::api {

using Lock = std::lock_guard<platform::CCriticalSection>;

CIoCardSdkApi::CIoCardSdkApi(card::CIoCardMainFunc* pMainFunc,
                             card::CIoCardBoardSupport* pBoardSupport)
    : CSdkApi(pMainFunc, pBoardSupport),
      m_pIoCardMainFunc(pMainFunc),
      m_pIoCardBoardSupport(pBoardSupport) {}

CIoCardSdkApi::~CIoCardSdkApi() = default;

uint32_t CIoCardSdkApi::AudioCaptureStart(uint32_t channel) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->AudioCaptureStart(channel);
}

uint32_t CIoCardSdkApi::AudioCaptureStop(uint32_t channel) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->AudioCaptureStop(channel);
}

uint32_t CIoCardSdkApi::VideoCaptureStart(uint32_t channel) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->VideoCaptureStart(channel);
}

uint32_t CIoCardSdkApi::VideoCaptureStop(uint32_t channel) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->VideoCaptureStop(channel);
}

uint32_t CIoCardSdkApi::SetPortControlBit4(uint32_t value) {
    Lock lock(m_csSdkApi);
    return m_pBoardSupport->SetPortControlBit4(value);
}

uint32_t CIoCardSdkApi::ClearPortControlBit4(uint32_t value) {
    Lock lock(m_csSdkApi);
    return m_pBoardSupport->ClearPortControlBit4(value);
}

uint32_t CIoCardSdkApi::FlushAudioPlaybackBuffer(uint32_t channel) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->FlushAudioPlaybackBuffer(channel);
}

uint32_t CIoCardSdkApi::FlushVideoPlaybackBuffer(uint32_t channel) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->FlushVideoPlaybackBuffer(channel);
}

uint32_t CIoCardSdkApi::GetAudioCaptureBufferStatus(uint32_t channel, uint32_t* pStatus) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->GetAudioCaptureBufferStatus(channel, pStatus);
}

uint32_t CIoCardSdkApi::GetAudioPlaybackBufferStatus(uint32_t channel, uint32_t* pStatus) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->GetAudioPlaybackBufferStatus(channel, pStatus);
}

uint32_t CIoCardSdkApi::SetVideoCaptureFrameType(uint32_t channel, uint32_t frameType) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->SetVideoCaptureFrameType(channel, frameType);
}

uint32_t CIoCardSdkApi::SetVideoPlaybackFrameType(uint32_t channel, uint32_t frameType) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->SetVideoPlaybackFrameType(channel, frameType);
}

uint32_t CIoCardSdkApi::GetVideoCaptureBufferStatus(uint32_t channel, uint32_t* pStatus) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->GetVideoCaptureBufferStatus(channel, pStatus);
}

uint32_t CIoCardSdkApi::GetVideoPlaybackBufferStatus(uint32_t channel, uint32_t* pStatus) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->GetVideoPlaybackBufferStatus(channel, pStatus);
}

uint32_t CIoCardSdkApi::ReadOneVideoFrame(uint32_t channel, uint64_t* pTimeStamp, void* pFrame) {
    return m_pIoCardMainFunc->ReadOneVideoFrame(channel, pTimeStamp, pFrame);
}

uint32_t CIoCardSdkApi::ReadOneVideoFrame32(uint32_t channel, uint32_t* pTimeStamp, void* pFrame) {
    return m_pIoCardMainFunc->ReadOneVideoFrame32(channel, pTimeStamp, pFrame);
}

uint32_t CIoCardSdkApi::WriteOneVideoFrame(uint32_t channel, uint32_t stampLow, uint32_t stampHigh,
                                           void* pFrame) {
    return m_pIoCardMainFunc->WriteOneVideoFrame(channel, stampLow, stampHigh, pFrame);
}

uint32_t CIoCardSdkApi::WriteOneVideoFrame32(uint32_t channel, uint32_t timeStamp, void* pFrame) {
    return m_pIoCardMainFunc->WriteOneVideoFrame32(channel, timeStamp, pFrame);
}

uint32_t CIoCardSdkApi::ReadOneAudioFrame(uint32_t channel, uint64_t* pTimeStamp, void* pSamples) {
    return m_pIoCardMainFunc->ReadOneAudioFrame(channel, pTimeStamp, pSamples);
}

uint32_t CIoCardSdkApi::ReadOneAudioFrame32(uint32_t channel, uint32_t* pTimeStamp,
                                            void* pSamples) {
    return m_pIoCardMainFunc->ReadOneAudioFrame32(channel, pTimeStamp, pSamples);
}

uint32_t CIoCardSdkApi::WriteOneAudioFrame(uint32_t channel, uint32_t stampLow, uint32_t stampHigh,
                                           void* pSamples) {
    return m_pIoCardMainFunc->WriteOneAudioFrame(channel, stampLow, stampHigh, pSamples);
}

uint32_t CIoCardSdkApi::WriteOneAudioFrame32(uint32_t channel, uint32_t timeStamp, void* pSamples) {
    return m_pIoCardMainFunc->WriteOneAudioFrame32(channel, timeStamp, pSamples);
}

uint32_t CIoCardSdkApi::GetCardTimeStamp(uint32_t channel, uint64_t* pTimeStamp) {
    Lock lock(m_csSdkApi);
    return m_pIoCardMainFunc->GetCardTimeStamp(channel, pTimeStamp);
}

uint32_t CIoCardSdkApi::GetCardClock64(uint64_t* pClock) {
    Lock lock(m_csCardClock);
    return m_pIoCardBoardSupport->GetCardClock64(pClock);
}

uint32_t CIoCardSdkApi::GetCardClock(uint32_t* pClock) {
    Lock lock(m_csCardClock);
    return m_pIoCardBoardSupport->GetCardClock(pClock);
}

uint32_t CIoCardSdkApi::GetReservedStatus(uint32_t* pValue) {
    Lock lock(m_csSdkApi);
    return m_pIoCardBoardSupport->GetReservedStatus(pValue);
}

}  // namespace velmora::api

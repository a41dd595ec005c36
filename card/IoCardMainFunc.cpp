#include "card/IoCardMainFunc.h"

#include <algorithm>
#include <memory>
#include <new>

#include "card/AudioCapture.h"
#include "card/AudioPlayback.h"
#include "card/BoardSupport.h"
#include "card/VideoCapture.h"
#include "card/VideoPlayback.h"
#include "hw/DmaChannelLock.h"
#include "hw/PciBridge.h"
#include "platform/Time.h"

namespace velmora::card {

namespace {

constexpr uint32_t kVideoUnitBytes = card_memory::kVideoUnitWords * 4;
constexpr uint32_t kHostToCard = 0;
// Pauses of the no-hardware playback statuses.
constexpr uint32_t kNoHardwareAudioStatusMs = 5;
constexpr uint32_t kNoHardwareVideoStatusMs = 30;
// One field period in 100 ns units.
constexpr uint64_t kNtscFieldPeriod = 166833;
constexpr uint64_t kPalFieldPeriod = 200000;

uint64_t Stamp64(uint32_t low, uint32_t high) {
    return (static_cast<uint64_t>(high) << 32) | low;
}

}  // namespace

CIoCardMainFunc::CIoCardMainFunc(uint32_t cardIndex, CBoardSupport* pBoardSupport,
                                 hw::CDmaManager* pDmaManager)
    : CCardMainFunc(cardIndex, pBoardSupport), m_pDmaManager(pDmaManager) {}

CIoCardMainFunc::~CIoCardMainFunc() {
    // Workers left by a close that failed or never came.
    DeleteWorkers(false);
}

void CIoCardMainFunc::FillChannelRecords() {
    using namespace card_memory;
    const bool mode1 = m_dwAudioMode == 1;
    for (uint32_t channel = 0; channel < 2; ++channel) {
        const uint32_t offset = channel * kChannelStride;
        m_VideoCaptureConfig[channel] = {channel, 0, kVideoCaptureBase + offset, kVideoUnitWords,
                                         kVideoUnitWords};
        m_VideoPlaybackConfig[channel] = {channel, 0, kVideoPlaybackBase + offset, kVideoUnitWords,
                                          kVideoUnitWords};
        const uint32_t audioUnit = mode1 ? kAudioUnitWordsMode1 : kAudioUnitWordsMode0;
        const uint32_t audioSamples = mode1 ? kAudioSamplesMode1 : kAudioSamplesMode0;
        m_AudioCaptureConfig[channel] = {channel, m_dwAudioMode, kAudioCaptureBase + offset,
                                         audioUnit, audioSamples};
        m_AudioPlaybackConfig[channel] = {
            channel, m_dwAudioMode,
            (mode1 ? kAudioPlaybackBaseMode1 : kAudioPlaybackBaseMode0) + offset, audioUnit,
            audioSamples};
    }
}

uint32_t CIoCardMainFunc::Init(uint32_t firstInSystem, uint32_t firstInProcess) {
    return InitChannels(firstInSystem, firstInSystem && firstInProcess, firstInProcess);
}

uint32_t CIoCardMainFunc::InitChannels(uint32_t clear, uint32_t build, uint32_t firstInProcess) {
    if (!InitFieldEventsAndFrames(clear, firstInProcess)) return 0;
    if (!build || !firstInProcess) return 1;
    FillChannelRecords();
    return BuildWorkers();
}

namespace {

// Channel 0 moves its frames on DMA channel 0, every other channel on 1.
uint32_t DmaChannelOf(uint32_t channel) {
    return channel == 0 ? 0 : 1;
}

template <typename AudioWorker>
void ConfigureAudio(AudioWorker* worker, const CHANNEL_MEMORY_CONFIG& config, uint32_t channel) {
    worker->SetPort(config.dwPort);
    worker->SetAudioMode(config.dwAudioMode);
    worker->SetRingBase(config.dwBase);
    worker->SetBlockSize(config.dwUnitWords);
    worker->SetSamplesPerFrame(config.dwFrameSamples);
    worker->SetDmaChannel(DmaChannelOf(channel));
}

template <typename VideoWorker>
void ConfigureVideo(VideoWorker* worker, const CHANNEL_MEMORY_CONFIG& config, uint32_t channel) {
    worker->SetPort(config.dwPort);
    worker->SetRingBase(config.dwBase);
    worker->SetFrameSize(config.dwUnitWords);
    worker->SetDmaChannel(DmaChannelOf(channel));
}

}  // namespace

uint32_t CIoCardMainFunc::BuildWorkers() {
    const uint32_t audioCaptures = std::min(m_dwAudioCaptureCount, kMaxChannels);
    const uint32_t audioPlaybacks = std::min(m_dwAudioPlaybackCount, kMaxChannels);
    const uint32_t videoCaptures = std::min(m_dwVideoCaptureCount, kMaxChannels);
    const uint32_t videoPlaybacks = std::min(m_dwVideoPlaybackCount, kMaxChannels);

    for (uint32_t channel = 0; channel < audioCaptures; ++channel) {
        auto worker = std::make_unique<CAudioCapture>(m_pBoardSupport);
        ConfigureAudio(worker.get(), m_AudioCaptureConfig[channel], channel);
        if (!worker->Start()) return 0;
        m_pAudioCapture[channel] = worker.release();
    }
    for (uint32_t channel = 0; channel < audioPlaybacks; ++channel) {
        auto worker = std::make_unique<CAudioPlayback>(m_pBoardSupport);
        ConfigureAudio(worker.get(), m_AudioPlaybackConfig[channel], channel);
        m_pAudioPlayback[channel] = worker.release();
    }
    for (uint32_t channel = 0; channel < videoCaptures; ++channel) {
        auto worker = std::make_unique<CVideoCapture>(m_pBoardSupport);
        ConfigureVideo(worker.get(), m_VideoCaptureConfig[channel], channel);
        if (!worker->Start()) return 0;
        m_pVideoCapture[channel] = worker.release();
    }
    for (uint32_t channel = 0; channel < videoPlaybacks; ++channel) {
        auto worker = std::make_unique<CVideoPlayback>(m_pBoardSupport);
        ConfigureVideo(worker.get(), m_VideoPlaybackConfig[channel], channel);
        m_pVideoPlayback[channel] = worker.release();
    }
    return 1;
}

uint32_t CIoCardMainFunc::DeleteWorkers(bool stopCaptures) {
    for (CAudioCapture*& worker : m_pAudioCapture) {
        if (!worker) continue;
        if (stopCaptures && !worker->Stop()) return 0;
        delete worker;
        worker = nullptr;
    }
    for (CAudioPlayback*& worker : m_pAudioPlayback) {
        delete worker;
        worker = nullptr;
    }
    for (CVideoCapture*& worker : m_pVideoCapture) {
        if (!worker) continue;
        if (stopCaptures && !worker->Stop()) return 0;
        delete worker;
        worker = nullptr;
    }
    for (CVideoPlayback*& worker : m_pVideoPlayback) {
        delete worker;
        worker = nullptr;
    }
    return 1;
}

uint32_t CIoCardMainFunc::Exit(uint32_t lastInSystem, uint32_t lastInProcess) {
    const uint32_t deleted = lastInProcess ? DeleteWorkers(lastInSystem != 0) : 1;
    // The field-event thread goes even when a capture would not stop: the
    // card's bridge is deleted before this object.
    const uint32_t result = CCardMainFunc::Exit(lastInSystem, lastInProcess);
    return deleted ? result : 0;
}

std::unique_ptr<uint32_t[]> CIoCardMainFunc::AllocateClearBuffer() {
    return std::unique_ptr<uint32_t[]>(new (std::nothrow) uint32_t[card_memory::kVideoUnitWords]);
}

uint32_t CIoCardMainFunc::ClearFrameMemory() {
    hw::CPciBridge* bridge = m_pBoardSupport->GetPciBridge();
    if (!bridge) return 0;
    // Allocated before the channel is locked, so that running out of memory
    // leaves nothing to undo.
    std::unique_ptr<uint32_t[]> black = AllocateClearBuffer();
    if (!black) return 0;
    std::fill_n(black.get(), card_memory::kVideoUnitWords, card_memory::kBlackYuy2Pair);
    hw::CDmaChannelLock channel(bridge, kClearDmaChannel);
    if (!channel.Held()) return 0;
    uint32_t result = 1;
    // Playback ring first, then the capture ring; the first failure ends both.
    for (const uint32_t ringWords :
         {card_memory::kVideoPlaybackBase, card_memory::kVideoCaptureBase}) {
        for (uint32_t unit = 0; result && unit < card_memory::kRingUnits; ++unit) {
            const uint32_t address = ringWords * 4 + unit * kVideoUnitBytes;
            result = bridge->DmaTransfer(kClearDmaChannel, black.get(), address, kVideoUnitBytes,
                                         kHostToCard);
            if (result) result = bridge->WaitDmaInterrupt(kClearDmaChannel);
        }
    }
    return result;
}

uint32_t CIoCardMainFunc::GetFieldNumber(uint32_t* pField) {
    if (!pField) return 0;
    uint32_t status = 0;
    if (!m_pBoardSupport->ReadFieldStatus(&status)) return 0;
    m_dwLastFieldStatus = status;
    *pField = status;
    return 1;
}

// Every channel operation forwards to the channel's worker; a channel without
// one refuses.

uint32_t CIoCardMainFunc::AudioCaptureStart(uint32_t channel) {
    CAudioCapture* worker = AudioCaptureWorker(channel);
    return worker ? worker->Start() : 0;
}

uint32_t CIoCardMainFunc::AudioCaptureStop(uint32_t channel) {
    CAudioCapture* worker = AudioCaptureWorker(channel);
    return worker ? worker->Stop() : 0;
}

uint32_t CIoCardMainFunc::VideoCaptureStop(uint32_t channel) {
    CVideoCapture* worker = VideoCaptureWorker(channel);
    return worker ? worker->Stop() : 0;
}

uint32_t CIoCardMainFunc::VideoCaptureStart(uint32_t channel) {
    CVideoCapture* worker = VideoCaptureWorker(channel);
    return worker ? worker->Start() : 0;
}

uint32_t CIoCardMainFunc::FlushAudioPlaybackBuffer(uint32_t channel) {
    CAudioPlayback* worker = AudioPlaybackWorker(channel);
    return worker ? worker->FlushBuffer() : 0;
}

uint32_t CIoCardMainFunc::FlushVideoPlaybackBuffer(uint32_t channel) {
    CVideoPlayback* worker = VideoPlaybackWorker(channel);
    return worker ? worker->FlushBuffer() : 0;
}

uint32_t CIoCardMainFunc::SetVideoCaptureFrameType(uint32_t channel, uint32_t frameType) {
    CVideoCapture* worker = VideoCaptureWorker(channel);
    return worker ? worker->SetFrameType(frameType) : 0;
}

uint32_t CIoCardMainFunc::SetVideoPlaybackFrameType(uint32_t channel, uint32_t frameType) {
    CVideoPlayback* worker = VideoPlaybackWorker(channel);
    return worker ? worker->SetFrameType(frameType) : 0;
}

uint32_t CIoCardMainFunc::GetAudioCaptureBufferStatus(uint32_t channel, uint32_t* pStatus) {
    CAudioCapture* worker = AudioCaptureWorker(channel);
    return worker && pStatus ? worker->GetBufferStatus(pStatus) : 0;
}

uint32_t CIoCardMainFunc::GetAudioPlaybackBufferStatus(uint32_t channel, uint32_t* pStatus) {
    if (!pStatus) return 0;
    if (m_pBoardSupport->IsNoHardwareMode()) {
        platform::Sleep(kNoHardwareAudioStatusMs);
        *pStatus = 0;
        return 1;
    }
    CAudioPlayback* worker = AudioPlaybackWorker(channel);
    return worker ? worker->GetBufferStatus(pStatus) : 0;
}

uint32_t CIoCardMainFunc::GetVideoCaptureBufferStatus(uint32_t channel, uint32_t* pStatus) {
    CVideoCapture* worker = VideoCaptureWorker(channel);
    return worker && pStatus ? worker->GetBufferStatus(pStatus) : 0;
}

uint32_t CIoCardMainFunc::GetVideoPlaybackBufferStatus(uint32_t channel, uint32_t* pStatus) {
    if (!pStatus) return 0;
    if (m_pBoardSupport->IsNoHardwareMode()) {
        platform::Sleep(kNoHardwareVideoStatusMs);
        *pStatus = 0;
        return 1;
    }
    CVideoPlayback* worker = VideoPlaybackWorker(channel);
    return worker ? worker->GetBufferStatus(pStatus) : 0;
}

uint32_t CIoCardMainFunc::ReadOneVideoFrame(uint32_t channel, uint64_t* pTimeStamp, void* pFrame) {
    CVideoCapture* worker = VideoCaptureWorker(channel);
    return worker ? worker->ReadOneFrameFromBuffer(pTimeStamp, pFrame) : 0;
}

uint32_t CIoCardMainFunc::ReadOneVideoFrame32(uint32_t channel, uint32_t* pTimeStamp,
                                              void* pFrame) {
    CVideoCapture* worker = VideoCaptureWorker(channel);
    return worker ? worker->ReadOneFrame32(pTimeStamp, pFrame) : 0;
}

uint32_t CIoCardMainFunc::WriteOneVideoFrame(uint32_t channel, uint32_t stampLow,
                                             uint32_t stampHigh, void* pFrame) {
    CVideoPlayback* worker = VideoPlaybackWorker(channel);
    return worker ? worker->WriteOneFrame(Stamp64(stampLow, stampHigh), pFrame) : 0;
}

uint32_t CIoCardMainFunc::WriteOneVideoFrame32(uint32_t channel, uint32_t timeStamp, void* pFrame) {
    CVideoPlayback* worker = VideoPlaybackWorker(channel);
    return worker ? worker->WriteOneFrame32(timeStamp, pFrame) : 0;
}

uint32_t CIoCardMainFunc::Reserved45(uint32_t, uint32_t, uint32_t, uint32_t) {
    return 0;
}

uint32_t CIoCardMainFunc::ReadOneAudioFrame(uint32_t channel, uint64_t* pTimeStamp,
                                            void* pSamples) {
    CAudioCapture* worker = AudioCaptureWorker(channel);
    return worker ? worker->ReadOneFrameFromBuffer(pTimeStamp, pSamples, m_bResample) : 0;
}

uint32_t CIoCardMainFunc::ReadOneAudioFrame32(uint32_t channel, uint32_t* pTimeStamp,
                                              void* pSamples) {
    CAudioCapture* worker = AudioCaptureWorker(channel);
    return worker ? worker->ReadOneFrame32(pTimeStamp, pSamples, m_bResample) : 0;
}

uint32_t CIoCardMainFunc::WriteOneAudioFrame(uint32_t channel, uint32_t stampLow,
                                             uint32_t stampHigh, void* pSamples) {
    CAudioPlayback* worker = AudioPlaybackWorker(channel);
    return worker ? worker->WriteOneFrame(Stamp64(stampLow, stampHigh), pSamples, m_bResample) : 0;
}

uint32_t CIoCardMainFunc::WriteOneAudioFrame32(uint32_t channel, uint32_t timeStamp,
                                               void* pSamples) {
    CAudioPlayback* worker = AudioPlaybackWorker(channel);
    return worker ? worker->WriteOneFrame32(timeStamp, pSamples, m_bResample) : 0;
}

uint32_t CIoCardMainFunc::GetCardTimeStamp(uint32_t channel, uint64_t* pTimeStamp) {
    CVideoPlayback* worker = VideoPlaybackWorker(channel);
    if (!worker || !pTimeStamp) return 0;
    uint64_t now = 0;
    if (!worker->GetTimeStamp(&now)) return 0;
    // The standard SetVideoMode keeps: asking the NVRAM would cost an IIC
    // transfer under the API lock on every call.
    const uint32_t pal = m_pBoardSupport->GetVideoStandard();
    *pTimeStamp = now + (pal == 0 ? kNtscFieldPeriod : kPalFieldPeriod);
    return 1;
}

uint32_t CIoCardMainFunc::Reserved51() {
    return 1;
}

uint32_t CIoCardMainFunc::Reserved52() {
    return 1;
}

uint32_t CIoCardMainFunc::Reserved53(uint32_t) {
    return 1;
}

uint32_t CIoCardMainFunc::Reserved54(uint32_t) {
    return 1;
}

uint32_t CIoCardMainFunc::Reserved55(uint32_t, uint32_t) {
    return 1;
}

uint32_t CIoCardMainFunc::Reserved56(uint32_t, uint32_t) {
    return 1;
}

}  // namespace velmora::card

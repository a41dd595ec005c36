#include "card/IoCardMainFunc.h"

#include <new>
#include <vector>

#include "card/BoardSupport.h"
#include "hw/DmaManager.h"

namespace velmora::card {

namespace {

constexpr uint32_t kVideoUnitBytes = card_memory::kVideoUnitWords * 4;
constexpr uint32_t kHostToCard = 0;

}  // namespace

CIoCardMainFunc::CIoCardMainFunc(uint32_t cardIndex, CBoardSupport* pBoardSupport,
                                 hw::CDmaManager* pDmaManager)
    : CCardMainFunc(cardIndex, pBoardSupport), m_pDmaManager(pDmaManager) {}

CIoCardMainFunc::~CIoCardMainFunc() = default;

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
    if (!CCardMainFunc::Init(firstInSystem, firstInProcess)) return 0;
    if (!firstInSystem || !firstInProcess) return 1;
    FillChannelRecords();
    return 1;
}

uint32_t CIoCardMainFunc::Exit(uint32_t lastInSystem, uint32_t lastInProcess) {
    return CCardMainFunc::Exit(lastInSystem, lastInProcess);
}

uint32_t CIoCardMainFunc::ClearFrameMemory() {
    hw::CPciBridge* bridge = m_pDmaManager ? m_pDmaManager->GetPciBridge() : nullptr;
    if (!bridge) return 0;
    std::vector<uint32_t> black;
    try {
        black.assign(card_memory::kVideoUnitWords, card_memory::kBlackYuy2Pair);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (!bridge->LockDmaChannel(kClearDmaChannel)) return 0;
    uint32_t result = 1;
    // Playback ring first, then the capture ring; the first failure ends both.
    for (const uint32_t ringWords :
         {card_memory::kVideoPlaybackBase, card_memory::kVideoCaptureBase}) {
        for (uint32_t unit = 0; result && unit < card_memory::kRingUnits; ++unit) {
            const uint32_t address = ringWords * 4 + unit * kVideoUnitBytes;
            result = bridge->DmaTransfer(kClearDmaChannel, black.data(), address, kVideoUnitBytes,
                                         kHostToCard);
            if (result) result = bridge->WaitDmaInterrupt(kClearDmaChannel);
        }
    }
    bridge->UnlockDmaChannel(kClearDmaChannel);
    return result;
}

// The channel workers are not available yet, so every channel is one
// without its worker and refuses the call.

uint32_t CIoCardMainFunc::GetFieldNumber(uint32_t*) {
    return 0;
}

uint32_t CIoCardMainFunc::AudioCaptureStart(uint32_t) {
    return 0;
}

uint32_t CIoCardMainFunc::AudioCaptureStop(uint32_t) {
    return 0;
}

uint32_t CIoCardMainFunc::VideoCaptureStop(uint32_t) {
    return 0;
}

uint32_t CIoCardMainFunc::VideoCaptureStart(uint32_t) {
    return 0;
}

uint32_t CIoCardMainFunc::FlushAudioPlaybackBuffer(uint32_t) {
    return 0;
}

uint32_t CIoCardMainFunc::FlushVideoPlaybackBuffer(uint32_t) {
    return 0;
}

uint32_t CIoCardMainFunc::SetVideoCaptureFrameType(uint32_t, uint32_t) {
    return 0;
}

uint32_t CIoCardMainFunc::SetVideoPlaybackFrameType(uint32_t, uint32_t) {
    return 0;
}

uint32_t CIoCardMainFunc::GetAudioCaptureBufferStatus(uint32_t, uint32_t*) {
    return 0;
}

uint32_t CIoCardMainFunc::GetAudioPlaybackBufferStatus(uint32_t, uint32_t*) {
    return 0;
}

uint32_t CIoCardMainFunc::GetVideoCaptureBufferStatus(uint32_t, uint32_t*) {
    return 0;
}

uint32_t CIoCardMainFunc::GetVideoPlaybackBufferStatus(uint32_t, uint32_t*) {
    return 0;
}

uint32_t CIoCardMainFunc::ReadOneVideoFrame(uint32_t, uint64_t*, void*) {
    return 0;
}

uint32_t CIoCardMainFunc::ReadOneVideoFrame32(uint32_t, uint32_t*, void*) {
    return 0;
}

uint32_t CIoCardMainFunc::WriteOneVideoFrame(uint32_t, uint32_t, uint32_t, void*) {
    return 0;
}

uint32_t CIoCardMainFunc::WriteOneVideoFrame32(uint32_t, uint32_t, void*) {
    return 0;
}

uint32_t CIoCardMainFunc::Reserved45(uint32_t, uint32_t, uint32_t, uint32_t) {
    return 0;
}

uint32_t CIoCardMainFunc::ReadOneAudioFrame(uint32_t, uint64_t*, void*) {
    return 0;
}

uint32_t CIoCardMainFunc::ReadOneAudioFrame32(uint32_t, uint32_t*, void*) {
    return 0;
}

uint32_t CIoCardMainFunc::WriteOneAudioFrame(uint32_t, uint32_t, uint32_t, void*) {
    return 0;
}

uint32_t CIoCardMainFunc::WriteOneAudioFrame32(uint32_t, uint32_t, void*) {
    return 0;
}

uint32_t CIoCardMainFunc::GetCardTimeStamp(uint32_t, uint64_t*) {
    return 0;
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

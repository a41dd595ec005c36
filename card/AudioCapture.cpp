#include "card/AudioCapture.h"

#include <cstring>

#include "card/AudioResampler.h"
#include "card/IoCardBoardSupport.h"
#include "hw/PciBridge.h"

namespace velmora::card {

namespace {

// The trace instance of this reader among the capture frame readers'.
constexpr size_t kTraceInstance = 1;
constexpr uint32_t kHostBufferWords = audio_frame::kHostBufferBytes / 4;

}  // namespace

struct CAudioCapture::ReadSteps : CaptureSteps {
    CAudioCapture& capture;

    static constexpr CaptureRing kRing{&CIoCardBoardSupport::IsAudioCaptureBufferEmpty,
                                       &CIoCardBoardSupport::SetAudioCaptureReadRequest,
                                       &CIoCardBoardSupport::ClearAudioCaptureReadRequest,
                                       &CIoCardBoardSupport::IsAudioCaptureReadDone,
                                       &CIoCardBoardSupport::GetAudioCaptureBufferReadNo,
                                       &CIoCardBoardSupport::GetAudioCaptureTimeStamp,
                                       &CIoCardBoardSupport::GetAudioCaptureEntry,
                                       &CIoCardBoardSupport::StrobeAudioCaptureBuffer,
                                       kReadDoneTimeoutMs,
                                       kTraceInstance,
                                       L"AudioCapture"};

    bool Transfer(uint32_t index) {
        const uint32_t cardByteAddress = (capture.m_dwRingBase + capture.m_dwBlockSize * index) * 4;
        return capture.MoveUnit(capture.m_pCardBuffer.get(), cardByteAddress,
                                capture.m_dwBlockSize * 4, kCardToHost, RingLog{});
    }
};

CAudioCapture::CAudioCapture(CBoardSupport* pBoardSupport)
    : CChannelWorker(pBoardSupport, kDefaultRingBase),
      m_pCardBuffer(new uint32_t[kHostBufferWords]()),
      m_pResultBuffer(new uint32_t[kHostBufferWords]()) {}

CAudioCapture::~CAudioCapture() = default;

uint32_t CAudioCapture::Start() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->StartAudioCapture(m_dwPort) : 0;
}

uint32_t CAudioCapture::Stop() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->StopAudioCapture(m_dwPort) : 0;
}

uint32_t CAudioCapture::IsBufferFull() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->IsAudioCaptureBufferFull(m_dwPort) : 0;
}

uint32_t CAudioCapture::IsBufferEmpty() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->IsAudioCaptureBufferEmpty(m_dwPort) : 0;
}

uint32_t CAudioCapture::ResampleStereo16(const uint32_t* pSource, float sourceRate,
                                         uint32_t sourceCount, uint32_t* pDest, float destRate,
                                         uint32_t* pDestCount, float* pPhase, int32_t* pLastLeft,
                                         int32_t* pLastRight) {
    return card::ResampleStereo16(pSource, sourceRate, sourceCount, pDest, destRate, pDestCount,
                                  pPhase, pLastLeft, pLastRight);
}

uint32_t CAudioCapture::ReadOneFrameFromBuffer(uint64_t* pTimeStamp, void* pSamples,
                                               uint32_t resample) {
    if (pTimeStamp == nullptr) return 0;
    return ReadBlock(pTimeStamp, nullptr, pSamples, resample);
}

uint32_t CAudioCapture::ReadOneFrame32(uint32_t* pTimeStamp, void* pSamples, uint32_t resample) {
    if (pTimeStamp == nullptr) return 0;
    return ReadBlock(nullptr, pTimeStamp, pSamples, resample);
}

uint32_t CAudioCapture::ReadBlock(uint64_t* pStamp64, uint32_t* pStamp32, void* pSamples,
                                  uint32_t resample) {
    if (pSamples == nullptr || m_pBoardSupport == nullptr || m_pPciBridge == nullptr) return 0;
    std::lock_guard<std::mutex> readLock(m_ReadLock);
    // A block that does not fit the card buffer would be written past it.
    if (m_dwBlockSize == 0 || m_dwBlockSize > kHostBufferWords) return 0;
    // Looked at again under the DMA channel lock; an empty ring is answered
    // without taking it.
    if (m_pBoardSupport->IsAudioCaptureBufferEmpty(m_dwPort)) return 0;
    ReadSteps steps{{*this, ReadSteps::kRing, pStamp64, pStamp32}, *this};
    const uint32_t result = TransferRingUnit(steps, RingLog{});
    const uint32_t readNo = steps.readNo;
    // A block that did not arrive leaves the card buffer holding an older
    // one: the caller's samples and the look-behind stay as they are.
    if (!result) return 0;

    // Unit k of the ring holds the block at place k of the 8-frame cycle,
    // whichever read asks. The 32-bit entry is the low word of the block's
    // 10 µs stamp, whose bits say nothing of that place, so both reads take
    // it from the read index.
    if (pStamp64 != nullptr && m_dwAudioMode == audio_frame::kMode1) {
        // Two words a pair, each sample in the upper half.
        auto* samples = static_cast<uint32_t*>(pSamples);
        for (uint32_t i = 0; i < audio_frame::kFramePairs; ++i) {
            const uint32_t first = m_pCardBuffer[2 * i];
            const uint32_t second = m_pCardBuffer[2 * i + 1];
            samples[i] = (first >> 16) | (second & 0xFFFF0000u);
        }
    } else if (resample) {
        const uint32_t position = readNo % audio_frame::kCycleFrames;
        uint32_t written = 0;
        m_fPhase = audio_frame::CaptureBlockPhase(position);
        card::ResampleStereo16(m_pCardBuffer.get(), AUDIO_CARD_SAMPLE_RATE,
                               audio_frame::CaptureBlockPairs(position), m_pResultBuffer.get(),
                               audio_frame::kCallerSampleRate, &written, &m_fPhase, &m_iLastLeft,
                               &m_iLastRight);
        std::memcpy(pSamples, m_pResultBuffer.get(), audio_frame::kFrameBytes);
    } else {
        // The caller's frame is 1920 pairs whatever the record says (a mode 1
        // record counts 3840 words).
        const uint32_t words = m_dwSamplesPerFrame < audio_frame::kFramePairs
                                   ? m_dwSamplesPerFrame
                                   : audio_frame::kFramePairs;
        std::memcpy(pSamples, m_pCardBuffer.get(), words * 4);
    }
    return 1;
}

}  // namespace velmora::card

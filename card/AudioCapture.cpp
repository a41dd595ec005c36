#include "card/AudioCapture.h"

#include <cstring>

#include "card/AudioResampler.h"
#include "card/IoCardBoardSupport.h"
#include "card/LoadTimeGlobals.h"
#include "hw/PciBridge.h"
#include "platform/Time.h"

namespace velmora::card {

namespace {

// The direction argument of a card-to-host transfer.
constexpr uint32_t kCardToHost = 1;
// The trace instance of this reader among the capture frame readers'.
constexpr size_t kTraceInstance = 1;
constexpr uint32_t kHostBufferWords = audio_frame::kHostBufferBytes / 4;

// Polls the ring's done bit, yielding the processor between polls. The DMA
// channel lock is held meanwhile, so a card that never answers must not keep
// every other mover on the channel waiting.
bool WaitReadDone(CIoCardBoardSupport* board, uint32_t port, uint32_t timeoutMs) {
    const uint32_t start = platform::TickCount();
    while (!board->IsAudioCaptureReadDone(port)) {
        if (platform::TickCount() - start >= timeoutMs) return false;
        platform::Sleep(0);
    }
    return true;
}

}  // namespace

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
    // A block that does not fit the card buffer would be written past it.
    if (m_dwBlockSize == 0 || m_dwBlockSize > kHostBufferWords) return 0;
    if (m_pBoardSupport->IsAudioCaptureBufferEmpty(m_dwPort)) return 0;
    // Without the channel lock the transfer could run beside another mover's.
    if (!m_pPciBridge->LockDmaChannel(m_dwDmaChannel)) return 0;
    m_pBoardSupport->SetAudioCaptureReadRequest(m_dwPort);
    uint32_t result = 0;
    uint32_t readNo = 0;
    if (WaitReadDone(m_pBoardSupport, m_dwPort, kReadDoneTimeoutMs)) {
        m_pBoardSupport->GetAudioCaptureBufferReadNo(m_dwPort, &readNo);
        // An index past the ring would move some other ring's memory: the
        // block is refused and stays where it is.
        if (readNo >= audio_frame::kRingUnits) {
            if (pStamp64 != nullptr) {
                g_FrameTraceUtility[kTraceInstance].TraceMessage(
                    L"AudioCapture", L"ReadOneFrameFromBuffer", 1,
                    L"Error - uiCaptureBufferReadNo - %d", static_cast<int>(readNo));
            }
        } else {
            if (pStamp64 != nullptr) {
                uint64_t stamp = 0;
                m_pBoardSupport->GetAudioCaptureTimeStamp(m_dwPort, readNo, &stamp);
                *pStamp64 = stamp;
            } else {
                uint32_t entry = 0;
                m_pBoardSupport->GetAudioCaptureEntry(m_dwPort, readNo, &entry);
                *pStamp32 = entry;
            }
            const uint32_t cardByteAddress = (m_dwRingBase + m_dwBlockSize * readNo) * 4;
            if (m_pPciBridge->DmaTransfer(m_dwDmaChannel, m_pCardBuffer.get(), cardByteAddress,
                                          m_dwBlockSize * 4, kCardToHost) &&
                m_pPciBridge->WaitDmaInterrupt(m_dwDmaChannel)) {
                m_pBoardSupport->StrobeAudioCaptureBuffer(m_dwPort);
                result = 1;
            }
        }
    }
    m_pBoardSupport->ClearAudioCaptureReadRequest(m_dwPort);
    m_pPciBridge->UnlockDmaChannel(m_dwDmaChannel);
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

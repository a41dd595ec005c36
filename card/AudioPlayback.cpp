#include "card/AudioPlayback.h"

#include <cstring>

#include "card/AudioResampler.h"
#include "card/IoCardBoardSupport.h"
#include "card/LogFile.h"
#include "hw/PciBridge.h"

namespace velmora::card {

namespace {

// The direction argument of a host-to-card transfer.
constexpr uint32_t kHostToCard = 0;
constexpr uint32_t kHostBufferWords = audio_frame::kHostBufferBytes / 4;
// One PAL field in 100 ns units: a frame's place in the 8-frame cycle is its
// field number halved.
constexpr uint64_t kFieldPeriod = 200000;

}  // namespace

CAudioPlayback::CAudioPlayback(CBoardSupport* pBoardSupport)
    : CChannelWorker(pBoardSupport, kDefaultRingBase),
      m_pHostBuffer(new uint32_t[kHostBufferWords]()) {}

CAudioPlayback::~CAudioPlayback() = default;

uint32_t CAudioPlayback::IsBufferFull() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->IsAudioPlaybackBufferFull(m_dwPort) : 0;
}

uint32_t CAudioPlayback::IsBufferEmpty() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->IsAudioPlaybackBufferEmpty(m_dwPort) : 0;
}

uint32_t CAudioPlayback::FlushBuffer() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->FlushAudioPlaybackBuffer(m_dwPort) : 0;
}

uint32_t CAudioPlayback::ResampleStereo16(const uint32_t* pSource, float sourceRate,
                                          uint32_t sourceCount, uint32_t* pDest, float destRate,
                                          uint32_t* pDestCount, float* pPhase, int32_t* pLastLeft,
                                          int32_t* pLastRight) {
    return card::ResampleStereo16(pSource, sourceRate, sourceCount, pDest, destRate, pDestCount,
                                  pPhase, pLastLeft, pLastRight);
}

void CAudioPlayback::FillHostBuffer(const void* pSamples, bool pack, bool resample,
                                    bool cycleStart) {
    uint32_t* host = m_pHostBuffer.get();
    if (pack) {
        // Two words a pair, each sample in the upper half; the right word
        // carries the card's mark.
        const auto* samples = static_cast<const uint32_t*>(pSamples);
        for (uint32_t i = 0; i < audio_frame::kFramePairs; ++i) {
            host[2 * i] = samples[i] << 16;
            host[2 * i + 1] = (samples[i] & 0xFFFF0000u) | audio_frame::kMode1RightMark;
        }
    } else if (resample) {
        if (cycleStart) m_fPhase = 0.0f;
        uint32_t written = 0;
        card::ResampleStereo16(static_cast<const uint32_t*>(pSamples),
                               audio_frame::kCallerSampleRate, audio_frame::kFramePairs, host,
                               AUDIO_CARD_SAMPLE_RATE, &written, &m_fPhase, &m_iLastLeft,
                               &m_iLastRight);
    } else {
        // The caller's frame is 1920 pairs whatever the record says (a mode 1
        // record counts 3840 words).
        const uint32_t words = m_dwSamplesPerFrame < audio_frame::kFramePairs
                                   ? m_dwSamplesPerFrame
                                   : audio_frame::kFramePairs;
        std::memcpy(host, pSamples, words * 4);
    }
}

uint32_t CAudioPlayback::WriteOneFrame(uint64_t timeStamp, const void* pSamples,
                                       uint32_t resample) {
    if (pSamples == nullptr || m_pBoardSupport == nullptr || m_pPciBridge == nullptr) return 0;
    const int64_t stamp = static_cast<int64_t>(timeStamp);
    if (stamp <= m_rtLastTimeStamp) return 1;
    if (m_pBoardSupport->IsAudioPlaybackBufferFull(m_dwPort)) {
        g_LogFile.WriteLog(L" \n AudioPlaybackBufferFull!!!! ");
        return 0;
    }
    return QueueBlock(stamp, 0, true, pSamples, resample);
}

uint32_t CAudioPlayback::WriteOneFrame32(uint32_t timeStamp, const void* pSamples,
                                         uint32_t resample) {
    if (pSamples == nullptr || m_pBoardSupport == nullptr || m_pPciBridge == nullptr) return 0;
    if (timeStamp <= m_dwLastTimeStamp32) return 1;
    if (m_pBoardSupport->IsAudioPlaybackBufferFull(m_dwPort)) {
        g_LogFile.WriteLog(L" \n AudioPlaybackBufferFull!!!! ");
        return 0;
    }
    return QueueBlock(0, timeStamp, false, pSamples, resample);
}

uint32_t CAudioPlayback::QueueBlock(int64_t stamp64, uint32_t stamp32, bool wide,
                                    const void* pSamples, uint32_t resample) {
    // A block that does not fit the host buffer would be read past it.
    if (m_dwBlockSize == 0 || m_dwBlockSize > kHostBufferWords) return 0;
    // Without the channel lock the transfer could run beside another mover's.
    if (!m_pPciBridge->LockDmaChannel(m_dwDmaChannel)) {
        if (wide) g_LogFile.WriteLog(L"A lock Dma fial!!! \n");
        return 0;
    }
    // A frame that does not reach the card is written again by its caller:
    // the resampler must then start from where it stood.
    const float phase = m_fPhase;
    const int32_t lastLeft = m_iLastLeft;
    const int32_t lastRight = m_iLastRight;

    if (wide) {
        stamp64 = static_cast<int64_t>(static_cast<uint64_t>(stamp64) + kStampAdvance);
        const bool pack = m_dwAudioMode == audio_frame::kMode1;
        uint32_t position = 0;
        if (!pack && resample) {
            position = static_cast<uint32_t>(
                ((static_cast<uint64_t>(stamp64) / kFieldPeriod) >> 1) % audio_frame::kCycleFrames);
            m_pBoardSupport->WriteAudioPlaybackControlEC(m_dwPort, position);
        }
        FillHostBuffer(pSamples, pack, resample != 0, position == 0);
    } else {
        // The 32-bit path neither packs mode 1 nor tells the card the
        // frame's place; the phase starts afresh when bits 1 to 3 of the
        // stamp are clear.
        const bool cycleStart = ((stamp32 >> 1) % audio_frame::kCycleFrames) == 0;
        FillHostBuffer(pSamples, false, resample != 0, cycleStart);
    }

    uint32_t writeNo = 0;
    m_pBoardSupport->GetAudioPlaybackBufferWriteNo(m_dwPort, &writeNo);
    uint32_t result = 0;
    if (writeNo >= audio_frame::kRingUnits) {
        // An index past the ring would write into some other ring's memory.
        if (wide) g_LogFile.WriteLog(L" A uiPlaybackBufferWriteNo >= 8 !!!! ");
    } else {
        if (wide) {
            const uint64_t card = static_cast<uint64_t>(stamp64);
            m_pBoardSupport->SetAudioPlaybackTimeStamp(m_dwPort, static_cast<uint32_t>(card),
                                                       static_cast<uint32_t>(card >> 32));
        } else {
            m_pBoardSupport->WriteAudioPlaybackTimeStampLow(m_dwPort, stamp32);
        }
        const uint32_t cardByteAddress = (m_dwRingBase + m_dwBlockSize * writeNo) * 4;
        if (!m_pPciBridge->DmaTransfer(m_dwDmaChannel, m_pHostBuffer.get(), cardByteAddress,
                                       m_dwBlockSize * 4, kHostToCard)) {
            if (wide) g_LogFile.WriteLog(L"A  Wirte Dma Fail!!! \n");
        } else {
            if (wide) g_LogFile.WriteLog(L"A Wirte Dma Interrupt!!! \n");
            if (!m_pPciBridge->WaitDmaInterrupt(m_dwDmaChannel)) {
                if (wide) g_LogFile.WriteLog(L" A Cannot get dma interrupt !!! ");
            } else {
                m_pBoardSupport->StrobeAudioPlaybackBuffer(m_dwPort);
                if (wide) {
                    m_rtLastTimeStamp = stamp64;
                } else {
                    m_dwLastTimeStamp32 = stamp32;
                }
                result = 1;
            }
        }
    }
    if (!result) {
        m_fPhase = phase;
        m_iLastLeft = lastLeft;
        m_iLastRight = lastRight;
    }
    if (!m_pPciBridge->UnlockDmaChannel(m_dwDmaChannel) && wide) {
        g_LogFile.WriteLog(L"A unlock Dma fial!!! \n");
    }
    return result;
}

}  // namespace velmora::card

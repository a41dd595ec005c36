#include "card/AudioPlayback.h"

#include <cstring>

#include "card/AudioResampler.h"
#include "card/IoCardBoardSupport.h"
#include "card/LogFile.h"
#include "hw/PciBridge.h"

namespace velmora::card {

namespace {

constexpr uint32_t kHostBufferWords = audio_frame::kHostBufferBytes / 4;
// One PAL field in 100 ns units: a frame's place in the 8-frame cycle is its
// field number halved.
constexpr uint64_t kFieldPeriod = 200000;
constexpr const wchar_t* kRingFull = L" \n AudioPlaybackBufferFull!!!! ";

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
    if (PlaybackRingFull(&CIoCardBoardSupport::IsAudioPlaybackBufferFull, kRingFull)) return 0;
    return QueueBlock(stamp, 0, true, pSamples, resample);
}

uint32_t CAudioPlayback::WriteOneFrame32(uint32_t timeStamp, const void* pSamples,
                                         uint32_t resample) {
    if (pSamples == nullptr || m_pBoardSupport == nullptr || m_pPciBridge == nullptr) return 0;
    if (timeStamp <= m_dwLastTimeStamp32) return 1;
    if (PlaybackRingFull(&CIoCardBoardSupport::IsAudioPlaybackBufferFull, kRingFull)) return 0;
    return QueueBlock(0, timeStamp, false, pSamples, resample);
}

// The 64-bit writer logs its steps, the 32-bit one does not.
struct CAudioPlayback::WriteSteps {
    CAudioPlayback& worker;
    int64_t stamp64;
    uint32_t stamp32;
    bool wide;
    const void* pSamples;
    uint32_t resample;
    // A frame that does not reach the card is written again by its caller:
    // the resampler must then start from where it stood.
    float phase = 0.0f;
    int32_t lastLeft = 0;
    int32_t lastRight = 0;
    bool queued = false;

    RingLog Log() const {
        if (!wide) return {};
        return {L"A lock Dma fial!!! \n", L"A unlock Dma fial!!! \n", L"A  Wirte Dma Fail!!! \n",
                L"A Wirte Dma Interrupt!!! \n", L" A Cannot get dma interrupt !!! "};
    }

    bool Request() {
        phase = worker.m_fPhase;
        lastLeft = worker.m_iLastLeft;
        lastRight = worker.m_iLastRight;
        if (worker.PlaybackRingFull(&CIoCardBoardSupport::IsAudioPlaybackBufferFull, kRingFull))
            return false;
        if (wide) {
            stamp64 = static_cast<int64_t>(static_cast<uint64_t>(stamp64) + kStampAdvance);
            const bool pack = worker.m_dwAudioMode == audio_frame::kMode1;
            uint32_t position = 0;
            if (!pack && resample) {
                position =
                    static_cast<uint32_t>(((static_cast<uint64_t>(stamp64) / kFieldPeriod) >> 1) %
                                          audio_frame::kCycleFrames);
                worker.m_pBoardSupport->WriteAudioPlaybackControlEC(worker.m_dwPort, position);
            }
            worker.FillHostBuffer(pSamples, pack, resample != 0, position == 0);
        } else {
            // The 32-bit path neither packs mode 1 nor tells the card the
            // frame's place; the phase starts afresh when bits 1 to 3 of the
            // stamp are clear.
            const bool cycleStart = ((stamp32 >> 1) % audio_frame::kCycleFrames) == 0;
            worker.FillHostBuffer(pSamples, false, resample != 0, cycleStart);
        }
        return true;
    }
    uint32_t Index() {
        uint32_t writeNo = 0;
        worker.m_pBoardSupport->GetAudioPlaybackBufferWriteNo(worker.m_dwPort, &writeNo);
        return writeNo;
    }
    // An index past the ring would write into some other ring's memory.
    void Refuse(uint32_t) {
        if (wide) g_LogFile.WriteLog(L" A uiPlaybackBufferWriteNo >= 8 !!!! ");
    }
    void Stamp(uint32_t) {
        if (wide) {
            const uint64_t card = static_cast<uint64_t>(stamp64);
            worker.m_pBoardSupport->SetAudioPlaybackTimeStamp(
                worker.m_dwPort, static_cast<uint32_t>(card), static_cast<uint32_t>(card >> 32));
        } else {
            worker.m_pBoardSupport->WriteAudioPlaybackTimeStampLow(worker.m_dwPort, stamp32);
        }
    }
    bool Transfer(uint32_t writeNo) {
        const uint32_t cardByteAddress = (worker.m_dwRingBase + worker.m_dwBlockSize * writeNo) * 4;
        return worker.MoveUnit(worker.m_pHostBuffer.get(), cardByteAddress,
                               worker.m_dwBlockSize * 4, kHostToCard, Log());
    }
    void Strobe() { worker.m_pBoardSupport->StrobeAudioPlaybackBuffer(worker.m_dwPort); }
    uint32_t Done() {
        if (wide) {
            worker.m_rtLastTimeStamp = stamp64;
        } else {
            worker.m_dwLastTimeStamp32 = stamp32;
        }
        queued = true;
        return 1;
    }
    void Release() {
        if (queued) return;
        worker.m_fPhase = phase;
        worker.m_iLastLeft = lastLeft;
        worker.m_iLastRight = lastRight;
    }
};

uint32_t CAudioPlayback::QueueBlock(int64_t stamp64, uint32_t stamp32, bool wide,
                                    const void* pSamples, uint32_t resample) {
    // A block that does not fit the host buffer would be read past it.
    if (m_dwBlockSize == 0 || m_dwBlockSize > kHostBufferWords) return 0;
    // Without the channel lock the transfer could run beside another mover's.
    WriteSteps steps{*this, stamp64, stamp32, wide, pSamples, resample};
    return TransferRingUnit(steps, steps.Log());
}

}  // namespace velmora::card

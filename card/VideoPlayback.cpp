#include "card/VideoPlayback.h"

#include <pthread.h>

#include <cstring>
#include <mutex>
#include <new>

#include "card/IoCardBoardSupport.h"
#include "card/LoadTimeGlobals.h"
#include "card/LogFile.h"
#include "hw/PciBridge.h"

namespace velmora::card {

namespace {

// What the 64-bit writer logs; the verifying writer logs the transfer alone,
// the 32-bit writer nothing.
constexpr const wchar_t* kDmaFailed = L"V Wirte Dma Fail!!! \n";
constexpr const wchar_t* kDmaStarted = L"V Wirte Dma Interrupt!!! \n";
constexpr const wchar_t* kNoInterrupt = L"V Canot get dma interrupt!!! \n";
constexpr const wchar_t* kRingFull = L" \n VideoPlaybackBufferFull!!!! ";

// The read-back buffer is one for the whole process: verifying writers of
// other channels or cards take turns with it.
std::mutex g_ReadBackLock;

// Its holder moves a frame over the card while holding it, so it cannot be
// taken before a fork; what it guards is scratch space, so a forked child
// (which has no holder) may simply start with it free.
const int g_ReadBackForkHandler =
    pthread_atfork(nullptr, nullptr, [] { new (&g_ReadBackLock) std::mutex(); });

}  // namespace

struct CVideoPlayback::WriteSteps {
    enum class Writer { Wide, Narrow, Verify };

    CVideoPlayback& worker;
    Writer writer;
    uint64_t timeStamp;
    const void* pFrame;
    uint32_t readBack = 0;

    int64_t Stamp64() const { return static_cast<int64_t>(timeStamp); }
    RingLog Log() const {
        switch (writer) {
            case Writer::Wide:
                return {L"V lock Dma fial!!! \n", L"V unlock Dma fial!!! \n", kDmaFailed,
                        kDmaStarted, kNoInterrupt};
            case Writer::Verify:
                return {nullptr, nullptr, kDmaFailed, kDmaStarted, kNoInterrupt};
            case Writer::Narrow:
                break;
        }
        return {};
    }

    // The verifying writer answers a full ring without a line.
    bool Request() {
        return !worker.PlaybackRingFull(&CIoCardBoardSupport::IsVideoPlaybackBufferFull,
                                        writer == Writer::Verify ? nullptr : kRingFull);
    }
    uint32_t Index() {
        uint32_t writeNo = 0;
        worker.m_pBoardSupport->GetVideoPlaybackBufferWriteNo(worker.m_dwPort, &writeNo);
        return writeNo;
    }
    // Past the ring lies the next ring's memory: nothing is written.
    void Refuse(uint32_t) {
        if (writer == Writer::Wide) g_LogFile.WriteLog(L"V uiPlaybackBufferWriteNo >=8 ");
        if (writer == Writer::Verify) g_LogFile.WriteLog(L"uiPlaybackBufferWriteNo >=8 ");
    }
    void Stamp(uint32_t writeNo) {
        const uint32_t port = worker.m_dwPort;
        if (writer == Writer::Narrow) {
            worker.m_dwPreviousWriteNo = writeNo;
            worker.m_pBoardSupport->WriteVideoPlaybackTimeStampLow(
                port, static_cast<uint32_t>(timeStamp));
            return;
        }
        if (writeNo == worker.m_dwPreviousWriteNo) {
            g_LogFile.WriteLog(L"@@@@@@V  uiPlaybackBufferWriteNo Err  %d",
                               static_cast<int>(writeNo));
        }
        worker.m_dwPreviousWriteNo = writeNo;
        const int64_t last = worker.m_rtLastFrameTimeStamp;
        if (writer == Writer::Verify && Stamp64() - last != kPalFramePeriod) {
            // The line's fields are 32 bits wide: the low halves of the stamps.
            g_LogFile.WriteLog(
                L"uiPlaybackBufferWrite TimeStamp!!!!  rtFrameTimeStamp= %u  "
                L"m_rtLastFrameTimeStamp = %u  \n",
                static_cast<unsigned>(Stamp64()), static_cast<unsigned>(last));
        }
        worker.m_pBoardSupport->SetVideoPlaybackTimeStamp(port, static_cast<uint32_t>(timeStamp),
                                                          static_cast<uint32_t>(timeStamp >> 32));
    }
    bool Transfer(uint32_t writeNo) {
        const uint8_t* source = worker.SendFrame(pFrame, writeNo, Log());
        if (source == nullptr) return false;
        // The frame is on the card whatever the read-back finds.
        if (writer != Writer::Verify) return true;
        std::lock_guard<std::mutex> readBackLock(g_ReadBackLock);
        if (worker.MoveUnit(g_pPlaybackConvertBuffer, worker.CardByteAddress(writeNo),
                            video_frame::kFrameBytes, kCardToHost, RingLog{})) {
            // Compared with what was sent: for the BGRA types the caller's
            // frame is not what the card holds.
            if (std::memcmp(g_pPlaybackConvertBuffer, source, video_frame::kFrameBytes) != 0) {
                g_LogFile.WriteLog(L"uiPlaybackBufferWrite read!=write \n");
            }
            readBack = 1;
        }
        return true;
    }
    void Strobe() { worker.m_pBoardSupport->StrobeVideoPlaybackBuffer(worker.m_dwPort); }
    uint32_t Done() {
        if (writer == Writer::Narrow) {
            worker.m_dwLastTimeStamp32 = static_cast<uint32_t>(timeStamp);
            return 1;
        }
        worker.m_rtLastFrameTimeStamp = Stamp64();
        return writer == Writer::Verify ? readBack : 1;
    }
    void Release() {}
};

CVideoPlayback::CVideoPlayback(CBoardSupport* pBoardSupport)
    : CChannelWorker(pBoardSupport, kDefaultRingBase) {}

CVideoPlayback::~CVideoPlayback() {
    video_frame::FreeWorkBuffer(m_pWorkBuffer1);
    video_frame::FreeWorkBuffer(m_pWorkBuffer2);
}

uint8_t* CVideoPlayback::AllocateWorkBuffer() {
    return video_frame::AllocateWorkBuffer();
}

uint32_t CVideoPlayback::IsBufferFull() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->IsVideoPlaybackBufferFull(m_dwPort) : 0;
}

uint32_t CVideoPlayback::IsBufferEmpty() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->IsVideoPlaybackBufferEmpty(m_dwPort) : 0;
}

uint32_t CVideoPlayback::FlushBuffer() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->FlushVideoPlaybackBuffer(m_dwPort) : 0;
}

uint32_t CVideoPlayback::SetFrameType(uint32_t frameType) {
    std::lock_guard<std::mutex> lock(m_FrameLock);
    return video_frame::ApplyFrameType(frameType, m_dwFrameType, m_pWorkBuffer1, m_pWorkBuffer2,
                                       [this] { return AllocateWorkBuffer(); });
}

uint32_t CVideoPlayback::GetFrameType(uint32_t* pFrameType) {
    if (pFrameType == nullptr) return 0;
    std::lock_guard<std::mutex> lock(m_FrameLock);
    *pFrameType = m_dwFrameType;
    return 1;
}

uint32_t CVideoPlayback::GetTimeStamp(uint64_t* pTimeStamp) {
    if (pTimeStamp == nullptr || m_pBoardSupport == nullptr) return 0;
    return m_pBoardSupport->ReadTimeStampCounter(m_dwPort, pTimeStamp);
}

uint32_t CVideoPlayback::CardByteAddress(uint32_t writeNo) const {
    return (m_dwRingBase + m_dwFrameSize * writeNo) * 4;
}

const uint8_t* CVideoPlayback::SendFrame(const void* pFrame, uint32_t writeNo, const RingLog& log) {
    const uint8_t* source =
        video_frame::PreparePlaybackFrame(m_dwFrameType, pFrame, m_pWorkBuffer1, m_pWorkBuffer2);
    if (source == nullptr) return nullptr;  // a conversion refused: nothing to send
    if (!MoveUnit(const_cast<uint8_t*>(source), CardByteAddress(writeNo), video_frame::kFrameBytes,
                  kHostToCard, log))
        return nullptr;
    return source;
}

uint32_t CVideoPlayback::WriteOneFrame(uint64_t timeStamp, const void* pFrame) {
    if (pFrame == nullptr || m_pBoardSupport == nullptr || m_pPciBridge == nullptr) return 0;
    std::lock_guard<std::mutex> frameLock(m_FrameLock);
    if (!video_frame::HasWorkBuffers(m_dwFrameType, m_pWorkBuffer1, m_pWorkBuffer2)) return 0;
    const auto stamp = static_cast<int64_t>(timeStamp);
    if (stamp <= m_rtLastFrameTimeStamp) {
        g_LogFile.WriteLog(
            L"rtFrameTimeStamp <= m_rtLastFrameTimeStamp! rtFrameTimeStamp= %f  "
            L"m_rtLastFrameTimeStamp = %f  \n",
            static_cast<double>(stamp), static_cast<double>(m_rtLastFrameTimeStamp));
        return 1;
    }
    if (PlaybackRingFull(&CIoCardBoardSupport::IsVideoPlaybackBufferFull, kRingFull)) return 0;
    WriteSteps steps{*this, WriteSteps::Writer::Wide, timeStamp, pFrame};
    return TransferRingUnit(steps, steps.Log());
}

uint32_t CVideoPlayback::WriteOneFrame32(uint32_t timeStamp, const void* pFrame) {
    if (pFrame == nullptr || m_pBoardSupport == nullptr || m_pPciBridge == nullptr) return 0;
    std::lock_guard<std::mutex> frameLock(m_FrameLock);
    if (!video_frame::HasWorkBuffers(m_dwFrameType, m_pWorkBuffer1, m_pWorkBuffer2)) return 0;
    if (timeStamp <= m_dwLastTimeStamp32) return 1;
    if (PlaybackRingFull(&CIoCardBoardSupport::IsVideoPlaybackBufferFull, kRingFull)) return 0;
    WriteSteps steps{*this, WriteSteps::Writer::Narrow, timeStamp, pFrame};
    return TransferRingUnit(steps, steps.Log());
}

uint32_t CVideoPlayback::WriteOneFrameAndVerify(uint64_t timeStamp, const void* pFrame) {
    if (pFrame == nullptr || m_pBoardSupport == nullptr || m_pPciBridge == nullptr) return 0;
    std::lock_guard<std::mutex> frameLock(m_FrameLock);
    if (!video_frame::HasWorkBuffers(m_dwFrameType, m_pWorkBuffer1, m_pWorkBuffer2)) return 0;
    const auto stamp = static_cast<int64_t>(timeStamp);
    if (stamp <= m_rtLastFrameTimeStamp) return 1;
    if (PlaybackRingFull(&CIoCardBoardSupport::IsVideoPlaybackBufferFull, nullptr)) return 0;
    WriteSteps steps{*this, WriteSteps::Writer::Verify, timeStamp, pFrame};
    return TransferRingUnit(steps, steps.Log());
}

}  // namespace velmora::card

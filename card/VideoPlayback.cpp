#include "card/VideoPlayback.h"

#include <cstring>

#include "card/IoCardBoardSupport.h"
#include "card/LoadTimeGlobals.h"
#include "card/LogFile.h"
#include "hw/PciBridge.h"

namespace velmora::card {

namespace {
// The direction arguments of DmaTransfer.
constexpr uint32_t kHostToCard = 0;
constexpr uint32_t kCardToHost = 1;
}  // namespace

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

const uint8_t* CVideoPlayback::SendFrame(const void* pFrame, uint32_t writeNo, bool logSteps) {
    const uint8_t* source =
        video_frame::PreparePlaybackFrame(m_dwFrameType, pFrame, m_pWorkBuffer1, m_pWorkBuffer2);
    if (source == nullptr) return nullptr;  // a conversion refused: nothing to send
    if (!m_pPciBridge->DmaTransfer(m_dwDmaChannel, const_cast<uint8_t*>(source),
                                   CardByteAddress(writeNo), video_frame::kFrameBytes,
                                   kHostToCard)) {
        if (logSteps) g_LogFile.WriteLog(L"V Wirte Dma Fail!!! \n");
        return nullptr;
    }
    if (logSteps) g_LogFile.WriteLog(L"V Wirte Dma Interrupt!!! \n");
    if (!m_pPciBridge->WaitDmaInterrupt(m_dwDmaChannel)) {
        if (logSteps) g_LogFile.WriteLog(L"V Canot get dma interrupt!!! \n");
        return nullptr;
    }
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
    if (m_pBoardSupport->IsVideoPlaybackBufferFull(m_dwPort)) {
        g_LogFile.WriteLog(L" \n VideoPlaybackBufferFull!!!! ");
        return 0;
    }
    // Without the lock another mover could be using the channel.
    if (!m_pPciBridge->LockDmaChannel(m_dwDmaChannel)) {
        g_LogFile.WriteLog(L"V lock Dma fial!!! \n");
        return 0;
    }

    uint32_t result = 0;
    uint32_t writeNo = 0;
    m_pBoardSupport->GetVideoPlaybackBufferWriteNo(m_dwPort, &writeNo);
    if (writeNo >= video_frame::kRingUnits) {
        // Past the ring lies the next ring's memory: nothing is written.
        g_LogFile.WriteLog(L"V uiPlaybackBufferWriteNo >=8 ");
    } else {
        if (writeNo == m_dwPreviousWriteNo) {
            g_LogFile.WriteLog(L"@@@@@@V  uiPlaybackBufferWriteNo Err  %d",
                               static_cast<int>(writeNo));
        }
        m_dwPreviousWriteNo = writeNo;
        m_pBoardSupport->SetVideoPlaybackTimeStamp(m_dwPort, static_cast<uint32_t>(timeStamp),
                                                   static_cast<uint32_t>(timeStamp >> 32));
        if (SendFrame(pFrame, writeNo, true) != nullptr) {
            m_pBoardSupport->StrobeVideoPlaybackBuffer(m_dwPort);
            m_rtLastFrameTimeStamp = stamp;
            result = 1;
        }
    }
    if (!m_pPciBridge->UnlockDmaChannel(m_dwDmaChannel)) {
        g_LogFile.WriteLog(L"V unlock Dma fial!!! \n");
    }
    return result;
}

uint32_t CVideoPlayback::WriteOneFrame32(uint32_t timeStamp, const void* pFrame) {
    if (pFrame == nullptr || m_pBoardSupport == nullptr || m_pPciBridge == nullptr) return 0;
    std::lock_guard<std::mutex> frameLock(m_FrameLock);
    if (!video_frame::HasWorkBuffers(m_dwFrameType, m_pWorkBuffer1, m_pWorkBuffer2)) return 0;
    if (timeStamp <= m_dwLastTimeStamp32) return 1;
    if (m_pBoardSupport->IsVideoPlaybackBufferFull(m_dwPort)) {
        g_LogFile.WriteLog(L" \n VideoPlaybackBufferFull!!!! ");
        return 0;
    }
    if (!m_pPciBridge->LockDmaChannel(m_dwDmaChannel)) return 0;

    uint32_t result = 0;
    uint32_t writeNo = 0;
    m_pBoardSupport->GetVideoPlaybackBufferWriteNo(m_dwPort, &writeNo);
    if (writeNo < video_frame::kRingUnits) {
        m_dwPreviousWriteNo = writeNo;
        m_pBoardSupport->WriteVideoPlaybackTimeStampLow(m_dwPort, timeStamp);
        if (SendFrame(pFrame, writeNo, false) != nullptr) {
            m_pBoardSupport->StrobeVideoPlaybackBuffer(m_dwPort);
            m_dwLastTimeStamp32 = timeStamp;
            result = 1;
        }
    }
    m_pPciBridge->UnlockDmaChannel(m_dwDmaChannel);
    return result;
}

uint32_t CVideoPlayback::WriteOneFrameAndVerify(uint64_t timeStamp, const void* pFrame) {
    if (pFrame == nullptr || m_pBoardSupport == nullptr || m_pPciBridge == nullptr) return 0;
    std::lock_guard<std::mutex> frameLock(m_FrameLock);
    if (!video_frame::HasWorkBuffers(m_dwFrameType, m_pWorkBuffer1, m_pWorkBuffer2)) return 0;
    const auto stamp = static_cast<int64_t>(timeStamp);
    if (stamp <= m_rtLastFrameTimeStamp) return 1;
    if (m_pBoardSupport->IsVideoPlaybackBufferFull(m_dwPort)) return 0;
    if (!m_pPciBridge->LockDmaChannel(m_dwDmaChannel)) return 0;

    uint32_t result = 0;
    uint32_t writeNo = 0;
    m_pBoardSupport->GetVideoPlaybackBufferWriteNo(m_dwPort, &writeNo);
    if (writeNo >= video_frame::kRingUnits) {
        g_LogFile.WriteLog(L"uiPlaybackBufferWriteNo >=8 ");
    } else {
        if (writeNo == m_dwPreviousWriteNo) {
            g_LogFile.WriteLog(L"@@@@@@V  uiPlaybackBufferWriteNo Err  %d",
                               static_cast<int>(writeNo));
        }
        m_dwPreviousWriteNo = writeNo;
        if (stamp - m_rtLastFrameTimeStamp != kPalFramePeriod) {
            // The line's fields are 32 bits wide: the low halves of the stamps.
            g_LogFile.WriteLog(
                L"uiPlaybackBufferWrite TimeStamp!!!!  rtFrameTimeStamp= %u  "
                L"m_rtLastFrameTimeStamp = %u  \n",
                static_cast<unsigned>(stamp), static_cast<unsigned>(m_rtLastFrameTimeStamp));
        }
        m_pBoardSupport->SetVideoPlaybackTimeStamp(m_dwPort, static_cast<uint32_t>(timeStamp),
                                                   static_cast<uint32_t>(timeStamp >> 32));
        const uint8_t* source = SendFrame(pFrame, writeNo, true);
        if (source != nullptr) {
            // The frame is on the card whatever the read-back finds.
            if (m_pPciBridge->DmaTransfer(m_dwDmaChannel, g_pPlaybackConvertBuffer,
                                          CardByteAddress(writeNo), video_frame::kFrameBytes,
                                          kCardToHost) &&
                m_pPciBridge->WaitDmaInterrupt(m_dwDmaChannel)) {
                // Compared with what was sent: for the BGRA types the caller's
                // frame is not what the card holds.
                if (std::memcmp(g_pPlaybackConvertBuffer, source, video_frame::kFrameBytes) != 0) {
                    g_LogFile.WriteLog(L"uiPlaybackBufferWrite read!=write \n");
                }
                result = 1;
            }
            m_pBoardSupport->StrobeVideoPlaybackBuffer(m_dwPort);
            m_rtLastFrameTimeStamp = stamp;
        }
    }
    m_pPciBridge->UnlockDmaChannel(m_dwDmaChannel);
    return result;
}

}  // namespace velmora::card

#include "card/VideoCapture.h"

#include "card/IoCardBoardSupport.h"
#include "card/LoadTimeGlobals.h"
#include "hw/PciBridge.h"
#include "platform/Time.h"

namespace velmora::card {

namespace {
// The direction argument of a card-to-host transfer.
constexpr uint32_t kCardToHost = 1;
// The trace instance of this reader among the capture frame readers'.
constexpr size_t kTraceInstance = 0;

// Polls the ring's done bit, yielding the processor between polls. The DMA
// channel lock is held meanwhile, so a card that never answers must not keep
// every other mover on the channel waiting.
bool WaitReadDone(CIoCardBoardSupport* board, uint32_t port, uint32_t timeoutMs) {
    const uint32_t start = platform::TickCount();
    while (!board->IsVideoCaptureReadDone(port)) {
        if (platform::TickCount() - start >= timeoutMs) return false;
        platform::Sleep(0);
    }
    return true;
}
}  // namespace

CVideoCapture::CVideoCapture(CBoardSupport* pBoardSupport)
    : CChannelWorker(pBoardSupport, kDefaultRingBase) {}

CVideoCapture::~CVideoCapture() {
    video_frame::FreeWorkBuffer(m_pWorkBuffer1);
    video_frame::FreeWorkBuffer(m_pWorkBuffer2);
}

uint8_t* CVideoCapture::AllocateWorkBuffer() {
    return video_frame::AllocateWorkBuffer();
}

uint32_t CVideoCapture::Start() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->StartVideoCapture(m_dwPort) : 0;
}

uint32_t CVideoCapture::Stop() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->StopVideoCapture(m_dwPort) : 0;
}

uint32_t CVideoCapture::IsBufferFull() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->IsVideoCaptureBufferFull(m_dwPort) : 0;
}

uint32_t CVideoCapture::IsBufferEmpty() {
    return m_pBoardSupport != nullptr ? m_pBoardSupport->IsVideoCaptureBufferEmpty(m_dwPort) : 0;
}

uint32_t CVideoCapture::SetFrameType(uint32_t frameType) {
    std::lock_guard<std::mutex> lock(m_FrameLock);
    return video_frame::ApplyFrameType(frameType, m_dwFrameType, m_pWorkBuffer1, m_pWorkBuffer2,
                                       [this] { return AllocateWorkBuffer(); });
}

uint32_t CVideoCapture::ReadOneFrameFromBuffer(uint64_t* pTimeStamp, void* pFrame) {
    if (pTimeStamp == nullptr) return 0;
    return ReadFrame(pTimeStamp, nullptr, pFrame);
}

uint32_t CVideoCapture::ReadOneFrame32(uint32_t* pTimeStamp, void* pFrame) {
    if (pTimeStamp == nullptr) return 0;
    return ReadFrame(nullptr, pTimeStamp, pFrame);
}

uint32_t CVideoCapture::ReadFrame(uint64_t* pStamp64, uint32_t* pStamp32, void* pFrame) {
    if (pFrame == nullptr || m_pBoardSupport == nullptr || m_pPciBridge == nullptr) return 0;
    std::lock_guard<std::mutex> frameLock(m_FrameLock);
    if (!video_frame::HasWorkBuffers(m_dwFrameType, m_pWorkBuffer1, m_pWorkBuffer2)) return 0;
    if (m_pBoardSupport->IsVideoCaptureBufferEmpty(m_dwPort)) return 0;
    if (!m_pPciBridge->LockDmaChannel(m_dwDmaChannel)) return 0;

    m_pBoardSupport->SetVideoCaptureReadRequest(m_dwPort);
    uint32_t result = 0;
    if (WaitReadDone(m_pBoardSupport, m_dwPort, kReadDoneTimeoutMs)) {
        uint32_t readNo = 0;
        m_pBoardSupport->GetVideoCaptureBufferReadNo(m_dwPort, &readNo);
        // An index past the ring would move some other ring's memory: the
        // frame is refused and stays where it is.
        if (readNo >= video_frame::kRingUnits) {
            if (pStamp64 != nullptr) {
                g_FrameTraceUtility[kTraceInstance].TraceMessage(
                    L"VideoCapture", L"ReadOneFrameFromBuffer", 1,
                    L"Error - uiCaptureBufferReadNo - %d", static_cast<int>(readNo));
            }
        } else {
            if (pStamp64 != nullptr) {
                uint64_t stamp = 0;
                m_pBoardSupport->GetVideoCaptureTimeStamp(m_dwPort, readNo, &stamp);
                *pStamp64 = stamp;
            } else {
                uint32_t entry = 0;
                m_pBoardSupport->GetVideoCaptureEntry(m_dwPort, readNo, &entry);
                *pStamp32 = entry;
            }
            const bool converts = m_dwFrameType == VIDEO_FRAME_TYPE_BGRA ||
                                  m_dwFrameType == VIDEO_FRAME_TYPE_BGRA_FLIPPED;
            void* target = converts ? m_pWorkBuffer1 : pFrame;
            const uint32_t cardByteAddress = (m_dwRingBase + m_dwFrameSize * readNo) * 4;
            if (m_pPciBridge->DmaTransfer(m_dwDmaChannel, target, cardByteAddress,
                                          video_frame::kFrameBytes, kCardToHost) &&
                m_pPciBridge->WaitDmaInterrupt(m_dwDmaChannel) &&
                video_frame::ConvertCapturedFrame(m_dwFrameType, m_pWorkBuffer1, m_pWorkBuffer2,
                                                  pFrame)) {
                m_pBoardSupport->StrobeVideoCaptureBuffer(m_dwPort);
                result = 1;
            }
        }
    }
    m_pBoardSupport->ClearVideoCaptureReadRequest(m_dwPort);
    m_pPciBridge->UnlockDmaChannel(m_dwDmaChannel);
    return result;
}

}  // namespace velmora::card

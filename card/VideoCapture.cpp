#include "card/VideoCapture.h"

#include "card/IoCardBoardSupport.h"
#include "hw/PciBridge.h"

namespace velmora::card {

namespace {
// The trace instance of this reader among the capture frame readers'.
constexpr size_t kTraceInstance = 0;
}  // namespace

struct CVideoCapture::ReadSteps : CaptureSteps {
    CVideoCapture& capture;
    void* pFrame;

    static constexpr CaptureRing kRing{&CIoCardBoardSupport::IsVideoCaptureBufferEmpty,
                                       &CIoCardBoardSupport::SetVideoCaptureReadRequest,
                                       &CIoCardBoardSupport::ClearVideoCaptureReadRequest,
                                       &CIoCardBoardSupport::IsVideoCaptureReadDone,
                                       &CIoCardBoardSupport::GetVideoCaptureBufferReadNo,
                                       &CIoCardBoardSupport::GetVideoCaptureTimeStamp,
                                       &CIoCardBoardSupport::GetVideoCaptureEntry,
                                       &CIoCardBoardSupport::StrobeVideoCaptureBuffer,
                                       kReadDoneTimeoutMs,
                                       kTraceInstance,
                                       L"VideoCapture"};

    bool Transfer(uint32_t index) {
        const uint32_t type = capture.m_dwFrameType;
        const bool converts =
            type == VIDEO_FRAME_TYPE_BGRA || type == VIDEO_FRAME_TYPE_BGRA_FLIPPED;
        void* target = converts ? capture.m_pWorkBuffer1 : pFrame;
        const uint32_t cardByteAddress = (capture.m_dwRingBase + capture.m_dwFrameSize * index) * 4;
        return capture.MoveUnit(target, cardByteAddress, video_frame::kFrameBytes, kCardToHost,
                                RingLog{}) &&
               video_frame::ConvertCapturedFrame(type, capture.m_pWorkBuffer1,
                                                 capture.m_pWorkBuffer2, pFrame);
    }
};

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
    // Looked at again under the DMA channel lock; an empty ring is answered
    // without taking it.
    if (m_pBoardSupport->IsVideoCaptureBufferEmpty(m_dwPort)) return 0;
    ReadSteps steps{{*this, ReadSteps::kRing, pStamp64, pStamp32}, *this, pFrame};
    return TransferRingUnit(steps, RingLog{});
}

}  // namespace velmora::card

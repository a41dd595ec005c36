#include "card/VideoCapture.h"

#include "card/IoCardBoardSupport.h"
#include "card/LoadTimeGlobals.h"
#include "hw/PciBridge.h"
#include "platform/Time.h"

namespace velmora::card {

namespace {
// The trace instance of this reader among the capture frame readers'.
constexpr size_t kTraceInstance = 0;
}  // namespace

struct CVideoCapture::ReadSteps {
    CVideoCapture& worker;
    uint64_t* pStamp64;
    uint32_t* pStamp32;
    void* pFrame;

    bool Request() {
        worker.m_pBoardSupport->SetVideoCaptureReadRequest(worker.m_dwPort);
        return WaitUntil(
            [this] { return worker.m_pBoardSupport->IsVideoCaptureReadDone(worker.m_dwPort); },
            kReadDoneTimeoutMs);
    }
    uint32_t Index() {
        uint32_t readNo = 0;
        worker.m_pBoardSupport->GetVideoCaptureBufferReadNo(worker.m_dwPort, &readNo);
        return readNo;
    }
    void Refuse(uint32_t readNo) {
        if (pStamp64 != nullptr) {
            g_FrameTraceUtility[kTraceInstance].TraceMessage(
                L"VideoCapture", L"ReadOneFrameFromBuffer", 1,
                L"Error - uiCaptureBufferReadNo - %d", static_cast<int>(readNo));
        }
    }
    void Stamp(uint32_t readNo) {
        if (pStamp64 != nullptr) {
            uint64_t stamp = 0;
            worker.m_pBoardSupport->GetVideoCaptureTimeStamp(worker.m_dwPort, readNo, &stamp);
            *pStamp64 = stamp;
        } else {
            uint32_t entry = 0;
            worker.m_pBoardSupport->GetVideoCaptureEntry(worker.m_dwPort, readNo, &entry);
            *pStamp32 = entry;
        }
    }
    bool Transfer(uint32_t readNo) {
        const uint32_t type = worker.m_dwFrameType;
        const bool converts =
            type == VIDEO_FRAME_TYPE_BGRA || type == VIDEO_FRAME_TYPE_BGRA_FLIPPED;
        void* target = converts ? worker.m_pWorkBuffer1 : pFrame;
        const uint32_t cardByteAddress = (worker.m_dwRingBase + worker.m_dwFrameSize * readNo) * 4;
        return worker.MoveUnit(target, cardByteAddress, video_frame::kFrameBytes, kCardToHost,
                               RingLog{}) &&
               video_frame::ConvertCapturedFrame(type, worker.m_pWorkBuffer1, worker.m_pWorkBuffer2,
                                                 pFrame);
    }
    void Strobe() { worker.m_pBoardSupport->StrobeVideoCaptureBuffer(worker.m_dwPort); }
    uint32_t Done() { return 1; }
    void Release() { worker.m_pBoardSupport->ClearVideoCaptureReadRequest(worker.m_dwPort); }
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
    if (m_pBoardSupport->IsVideoCaptureBufferEmpty(m_dwPort)) return 0;
    ReadSteps steps{*this, pStamp64, pStamp32, pFrame};
    return TransferRingUnit(steps, RingLog{});
}

}  // namespace velmora::card

#include "card/ChannelWorker.h"

#include "card/IoCardBoardSupport.h"
#include "card/LoadTimeGlobals.h"
#include "card/LogFile.h"

namespace velmora::card {

CChannelWorker::CChannelWorker(CBoardSupport* pBoardSupport, uint32_t defaultRingBase)
    : m_pBoardSupport(dynamic_cast<CIoCardBoardSupport*>(pBoardSupport)),
      m_pPciBridge(pBoardSupport != nullptr ? pBoardSupport->GetPciBridge() : nullptr),
      m_dwRingBase(defaultRingBase) {}

uint32_t CChannelWorker::GetBufferStatus(uint32_t* pStatus) {
    if (pStatus == nullptr || m_pBoardSupport == nullptr) return 0;
    if (IsBufferEmpty()) {
        *pStatus = kStatusEmpty;
    } else if (IsBufferFull()) {
        *pStatus = kStatusFull;
    } else {
        *pStatus = kStatusNeither;
    }
    return 1;
}

bool CChannelWorker::MoveUnit(void* pHost, uint32_t cardByteAddress, uint32_t bytes,
                              uint32_t direction, const RingLog& log) {
    if (!m_pPciBridge->DmaTransfer(m_dwDmaChannel, pHost, cardByteAddress, bytes, direction)) {
        WriteRingLog(log.dmaFailed);
        return false;
    }
    WriteRingLog(log.dmaStarted);
    if (!m_pPciBridge->WaitDmaInterrupt(m_dwDmaChannel)) {
        WriteRingLog(log.noInterrupt);
        return false;
    }
    return true;
}

bool CChannelWorker::PlaybackRingFull(uint32_t (CIoCardBoardSupport::*isFull)(uint32_t port),
                                      const wchar_t* fullLog) {
    if (!(m_pBoardSupport->*isFull)(m_dwPort)) return false;
    WriteRingLog(fullLog);
    return true;
}

bool CChannelWorker::CaptureSteps::Request() {
    CIoCardBoardSupport* board = worker.m_pBoardSupport;
    const uint32_t port = worker.m_dwPort;
    // Decided under the channel lock, which readers in every process take:
    // the card answers a request on an empty ring with a unit already read.
    if ((board->*ring.isEmpty)(port)) return false;
    (board->*ring.setReadRequest)(port);
    requested = true;
    return WaitUntil([&] { return (board->*ring.isReadDone)(port); }, ring.readDoneTimeoutMs);
}

uint32_t CChannelWorker::CaptureSteps::Index() {
    (worker.m_pBoardSupport->*ring.getReadNo)(worker.m_dwPort, &readNo);
    return readNo;
}

void CChannelWorker::CaptureSteps::Refuse(uint32_t index) {
    if (pStamp64 != nullptr) {
        g_FrameTraceUtility[ring.traceInstance].TraceMessage(
            ring.traceClass, L"ReadOneFrameFromBuffer", 1, L"Error - uiCaptureBufferReadNo - %d",
            static_cast<int>(index));
    }
}

void CChannelWorker::CaptureSteps::Stamp(uint32_t index) {
    if (pStamp64 != nullptr) {
        uint64_t stamp = 0;
        (worker.m_pBoardSupport->*ring.getTimeStamp)(worker.m_dwPort, index, &stamp);
        *pStamp64 = stamp;
    } else {
        uint32_t entry = 0;
        (worker.m_pBoardSupport->*ring.getEntry)(worker.m_dwPort, index, &entry);
        *pStamp32 = entry;
    }
}

void CChannelWorker::CaptureSteps::Strobe() {
    (worker.m_pBoardSupport->*ring.strobe)(worker.m_dwPort);
}

void CChannelWorker::CaptureSteps::Release() {
    if (requested) (worker.m_pBoardSupport->*ring.clearReadRequest)(worker.m_dwPort);
}

void CChannelWorker::WriteRingLog(const wchar_t* text) {
    if (text != nullptr) g_LogFile.WriteLog(text);
}

}  // namespace velmora::card

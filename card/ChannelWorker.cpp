#include "card/ChannelWorker.h"

#include "card/IoCardBoardSupport.h"
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

void CChannelWorker::WriteRingLog(const wchar_t* text) {
    if (text != nullptr) g_LogFile.WriteLog(text);
}

}  // namespace velmora::card

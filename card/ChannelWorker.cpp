#include "card/ChannelWorker.h"

#include "card/IoCardBoardSupport.h"

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

}  // namespace velmora::card

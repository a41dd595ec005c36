#pragma once

// The card's queued DMA service. The card builds one per open card with its
// PCI bridge and deletes it at close, and the board support and the
// main-function object keep its pointer; no caller submits requests to it
// (every frame and stream mover drives the bridge's DMA operations directly),
// so only its place in the object graph is built: it holds the bridge, starts
// no worker and touches no hardware.

#include "hw/PciBridge.h"

namespace velmora::hw {

class CDmaManager {
  public:
    explicit CDmaManager(CPciBridge* pPciBridge) : m_pPciBridge(pPciBridge) {}
    virtual ~CDmaManager() = default;
    CDmaManager(const CDmaManager&) = delete;
    CDmaManager& operator=(const CDmaManager&) = delete;

    CPciBridge* GetPciBridge() const { return m_pPciBridge; }

  private:
    CPciBridge* const m_pPciBridge;
};

}  // namespace velmora::hw

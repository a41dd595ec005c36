#pragma once

// Holds one of the board's system-wide DMA channel mutexes for a scope: the
// channel is released on every way out, so an early return or a failed
// transfer never leaves another process waiting for the channel.

#include <cstdint>

#include "hw/PciBridge.h"

namespace velmora::hw {

class CDmaChannelLock {
  public:
    CDmaChannelLock(CPciBridge* pBridge, uint32_t channel)
        : m_pBridge(pBridge),
          m_channel(channel),
          m_held(pBridge != nullptr && pBridge->LockDmaChannel(channel) != 0) {}
    // Held only if the channel is free now: a holder elsewhere costs no wait.
    struct TryOnly {};
    CDmaChannelLock(CPciBridge* pBridge, uint32_t channel, TryOnly)
        : m_pBridge(pBridge),
          m_channel(channel),
          m_held(pBridge != nullptr && pBridge->TryLockDmaChannel(channel) != 0) {}
    ~CDmaChannelLock() { Unlock(); }
    CDmaChannelLock(const CDmaChannelLock&) = delete;
    CDmaChannelLock& operator=(const CDmaChannelLock&) = delete;

    bool Held() const { return m_held; }

    // Releases early and says whether the release succeeded (1) or the
    // channel was not held / the release failed (0).
    uint32_t Unlock() {
        if (!m_held) return 0;
        m_held = false;
        return m_pBridge->UnlockDmaChannel(m_channel);
    }

  private:
    CPciBridge* m_pBridge;
    uint32_t m_channel;
    bool m_held;
};

}  // namespace velmora::hw

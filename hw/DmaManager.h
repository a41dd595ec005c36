#pragma once

// The card's queued DMA service: any thread submits transfers between a host
// buffer and card memory on behalf of a channel slot; one worker thread runs
// them in submission order through the PCI bridge's block DMA and signals the
// slot after each. The card builds one per open card and deletes it at close;
// its worker runs only between Start and Stop.

#include <cstdint>
#include <memory>
#include <vector>

#include "hw/HcQueue.h"
#include "hw/PciBridge.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace velmora::hw {

// One request, copied by value through the queues. The host buffer is a
// pointer, so the record is 24 bytes on a 64-bit host (16 with 32-bit
// addresses).
struct stDmaTransfer {
    uint32_t dwChannelId;
    void* pHostBuffer;
    uint32_t dwCardAddress;
    uint32_t dwByteCount;
};

// One channel slot.
struct stDmaChannel {
    // 0: host to card on bridge DMA channel 1; other: card to host on 0.
    uint32_t dwDirection = 0;
    // Requests submitted and not yet finished; the slot is busy while any is.
    uint32_t dwPending = 0;
    // A request of the slot failed since the last WaitDone.
    uint32_t bFailed = 0;
    // Set when the slot was removed, so a waiter holding it knows.
    uint32_t bRemoved = 0;
    // Auto-reset; set after each finished request and at removal.
    std::unique_ptr<platform::Event> pDoneEvent;
};

class CDmaManager {
  public:
    static constexpr uint32_t kQueueWaitMs = 10000;

    explicit CDmaManager(CPciBridge* pPciBridge);
    // Stops a running worker and frees every slot.
    virtual ~CDmaManager();
    CDmaManager(const CDmaManager&) = delete;
    CDmaManager& operator=(const CDmaManager&) = delete;

    // Starts the worker with n slots and n queue places; 0 when it runs
    // already or n is 0.
    virtual uint32_t Start(uint32_t n);
    // Ends the worker, completes every queued request as failed and frees
    // every slot (waking its waiters).
    virtual uint32_t Stop();
    virtual uint32_t AddChannel(uint32_t* pId, uint32_t direction);
    virtual uint32_t RemoveChannel(uint32_t id);
    virtual uint32_t IsBusy(uint32_t id, uint32_t* pBusy);
    // Waits until every request submitted on the slot has finished; 0 when
    // one of them failed since the last wait (or for a bad slot).
    virtual uint32_t WaitDone(uint32_t id);
    // Queues a transfer; 0 at once when the queue is full.
    virtual uint32_t Submit(uint32_t id, void* pHostBuffer, uint32_t cardByteAddress,
                            uint32_t byteCount);

    CPciBridge* GetPciBridge() const { return m_pPciBridge; }

  private:
    uint32_t DmaWorkerThread();
    // The slot of id, or null; called under the lock.
    std::shared_ptr<stDmaChannel> SlotOf(uint32_t id) const;
    // Runs the oldest queued request (or drops it when its slot went away)
    // and retires it.
    void RunRequest(const stDmaTransfer& request);
    // Counts one request of the slot as finished; called under the lock.
    static void Finish(stDmaChannel& slot, bool ok);
    // Pops the oldest request and gives its token back; called under the
    // lock.
    void Retire();
    // Frees a slot, waking its waiter; called under the lock.
    void FreeSlot(uint32_t id);
    // Back to the state before Start; called under the lock with no worker.
    void ClearTables();

    CPciBridge* const m_pPciBridge;
    platform::Thread m_WorkerThread;
    std::unique_ptr<platform::Event> m_pStopEvent;
    platform::CCriticalSection m_Lock;
    uint32_t m_dwCapacity = 0;
    // Shared with waiters, so a slot removed under a waiter stays valid for it.
    std::vector<std::shared_ptr<stDmaChannel>> m_ChannelTable;
    // Per table index: queued requests of removed slots that the worker must
    // drop. Requests run in order, so they all come before any request of a
    // slot added again at that index.
    std::vector<uint32_t> m_StaleRequests;
    // The slot whose request the worker is transferring, if any.
    const stDmaChannel* m_pRunningSlot = nullptr;
    CHcQueue<stDmaTransfer> m_RequestQueue{kQueueWaitMs};
    CHcQueue<stDmaTransfer> m_FreeQueue{kQueueWaitMs};
};

}  // namespace velmora::hw

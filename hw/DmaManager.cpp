#include "hw/DmaManager.h"

#include <utility>

#include "hw/DmaChannelLock.h"
#include "platform/Time.h"

namespace velmora::hw {

CDmaManager::CDmaManager(CPciBridge* pPciBridge) : m_pPciBridge(pPciBridge) {}

CDmaManager::~CDmaManager() {
    Stop();
}

uint32_t CDmaManager::Start(uint32_t n) {
    {
        CHcLock lock(m_Lock);
        // A second start would replace the tables under a running worker.
        if (m_pStopEvent || n == 0) return 0;
        m_pStopEvent = platform::Event::Create(true, false);
        if (!m_pStopEvent) return 0;
        m_dwCapacity = n;
        m_ChannelTable.assign(n, nullptr);
        m_StaleRequests.assign(n, 0);
        m_RequestQueue.Resize(n);
        m_FreeQueue.Resize(n);
        for (uint32_t i = 0; i < n; ++i)
            m_FreeQueue.Push(stDmaTransfer{});
    }
    if (m_WorkerThread.Start([this] { return DmaWorkerThread(); })) return 1;
    CHcLock lock(m_Lock);
    ClearTables();
    return 0;
}

uint32_t CDmaManager::Stop() {
    {
        CHcLock lock(m_Lock);
        if (!m_pStopEvent) return 1;
        m_pStopEvent->Set();
    }
    // Not under the lock: the worker needs it to finish the request in flight.
    m_WorkerThread.Join(platform::kInfinite);

    CHcLock lock(m_Lock);
    // What never ran is reported as failed, so no submitter waits for ever.
    stDmaTransfer request{};
    while (m_RequestQueue.Peek(&request, 0)) {
        if (m_StaleRequests[request.dwChannelId] > 0) {
            --m_StaleRequests[request.dwChannelId];
        } else if (auto slot = SlotOf(request.dwChannelId)) {
            Finish(*slot, false);
            slot->pDoneEvent->Set();
        }
        m_RequestQueue.PopFront();
    }
    for (uint32_t id = 0; id < m_dwCapacity; ++id) {
        if (m_ChannelTable[id]) FreeSlot(id);
    }
    ClearTables();
    return 1;
}

void CDmaManager::ClearTables() {
    m_RequestQueue.Resize(0);
    m_FreeQueue.Resize(0);
    m_pStopEvent.reset();
    m_dwCapacity = 0;
    m_ChannelTable.clear();
    m_StaleRequests.clear();
}

uint32_t CDmaManager::AddChannel(uint32_t* pId, uint32_t direction) {
    if (pId == nullptr) return 0;
    CHcLock lock(m_Lock);
    for (uint32_t id = 0; id < m_dwCapacity; ++id) {
        if (m_ChannelTable[id]) continue;
        auto slot = std::make_shared<stDmaChannel>();
        slot->dwDirection = direction;
        slot->pDoneEvent = platform::Event::Create(false, false);
        if (!slot->pDoneEvent) return 0;
        m_ChannelTable[id] = std::move(slot);
        *pId = id;
        return 1;
    }
    return 0;
}

uint32_t CDmaManager::RemoveChannel(uint32_t id) {
    CHcLock lock(m_Lock);
    if (!SlotOf(id)) return 0;
    FreeSlot(id);
    return 1;
}

uint32_t CDmaManager::IsBusy(uint32_t id, uint32_t* pBusy) {
    if (pBusy == nullptr) return 0;
    CHcLock lock(m_Lock);
    auto slot = SlotOf(id);
    if (!slot) return 0;
    *pBusy = slot->dwPending > 0 ? 1 : 0;
    return 1;
}

uint32_t CDmaManager::WaitDone(uint32_t id) {
    std::shared_ptr<stDmaChannel> slot;
    {
        CHcLock lock(m_Lock);
        slot = SlotOf(id);
        if (!slot) return 0;
        if (slot->dwPending == 0) {
            // Drops a completion nobody waited for.
            slot->pDoneEvent->Reset();
            return std::exchange(slot->bFailed, 0) ? 0 : 1;
        }
    }
    for (;;) {
        if (slot->pDoneEvent->Wait(platform::kInfinite) != platform::WaitResult::Signaled) {
            return 0;
        }
        CHcLock lock(m_Lock);
        if (slot->dwPending == 0) return std::exchange(slot->bFailed, 0) ? 0 : 1;
        // Removed under the waiter: its requests will not run; the wait ends.
        if (slot->bRemoved) return 1;
    }
}

uint32_t CDmaManager::Submit(uint32_t id, void* pHostBuffer, uint32_t cardByteAddress,
                             uint32_t byteCount) {
    CHcLock lock(m_Lock);
    auto slot = SlotOf(id);
    if (!slot || pHostBuffer == nullptr) return 0;
    stDmaTransfer token{};
    if (!m_FreeQueue.Peek(&token, 0)) return 0;
    m_FreeQueue.PopFront();
    m_RequestQueue.Push({id, pHostBuffer, cardByteAddress, byteCount});
    ++slot->dwPending;
    return 1;
}

uint32_t CDmaManager::DmaWorkerThread() {
    while (m_pStopEvent->Wait(0) != platform::WaitResult::Signaled) {
        stDmaTransfer request{};
        if (!m_RequestQueue.Peek(&request, 0)) {
            platform::Sleep(1);
            continue;
        }
        RunRequest(request);
    }
    return 1;
}

void CDmaManager::RunRequest(const stDmaTransfer& request) {
    std::shared_ptr<stDmaChannel> slot;
    {
        CHcLock lock(m_Lock);
        if (m_StaleRequests[request.dwChannelId] > 0) {
            // Its slot was removed after it was queued.
            --m_StaleRequests[request.dwChannelId];
            Retire();
            return;
        }
        slot = SlotOf(request.dwChannelId);
        if (!slot) {
            Retire();
            return;
        }
        m_pRunningSlot = slot.get();
    }
    const uint32_t direction = slot->dwDirection;
    const uint32_t channel = direction == 0 ? 1 : 0;
    bool ok = false;
    {
        CDmaChannelLock channelLock(m_pPciBridge, channel);
        if (channelLock.Held()) {
            ok = m_pPciBridge->DmaTransfer(channel, request.pHostBuffer, request.dwCardAddress,
                                           request.dwByteCount, direction) != 0 &&
                 m_pPciBridge->WaitDmaInterrupt(channel) != 0;
        }
    }
    {
        CHcLock lock(m_Lock);
        m_pRunningSlot = nullptr;
        // Its queue place is free before anyone learns it is done, so a submit
        // right after WaitDone finds room.
        Retire();
        // Removed while it ran: nobody is left to tell.
        if (slot->bRemoved) return;
        Finish(*slot, ok);
    }
    // Woken outside the lock, so the waiter does not wake only to wait for
    // the lock; the waiter reads the count under the lock and takes an early
    // or late signal for what it is.
    slot->pDoneEvent->Set();
}

void CDmaManager::Finish(stDmaChannel& slot, bool ok) {
    if (slot.dwPending > 0) --slot.dwPending;
    if (!ok) slot.bFailed = 1;
}

void CDmaManager::Retire() {
    m_RequestQueue.PopFront();
    m_FreeQueue.Push(stDmaTransfer{});
}

std::shared_ptr<stDmaChannel> CDmaManager::SlotOf(uint32_t id) const {
    return id < m_ChannelTable.size() ? m_ChannelTable[id] : nullptr;
}

void CDmaManager::FreeSlot(uint32_t id) {
    std::shared_ptr<stDmaChannel> slot = std::move(m_ChannelTable[id]);
    m_ChannelTable[id] = nullptr;
    // Its queued requests are dropped when the worker reaches them.
    m_StaleRequests[id] += slot->dwPending - (slot.get() == m_pRunningSlot ? 1 : 0);
    slot->bRemoved = 1;
    slot->pDoneEvent->Set();
}

}  // namespace velmora::hw

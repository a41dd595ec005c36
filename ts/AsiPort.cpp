#include "ts/AsiPort.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "card/LogFile.h"
#include "card/VelmoraBoardSupport.h"
#include "hw/DmaChannelLock.h"
#include "hw/PciBridge.h"
#include "platform/Time.h"

namespace velmora::ts {

namespace {
constexpr uint32_t kHostToCard = 0;
constexpr uint32_t kCardToHost = 1;

// Whether `count` entries from `pointer` stay inside the window, wrapping
// at most once.
bool FitsWindow(uint32_t pointer, uint32_t count, uint32_t firstWord, uint32_t endWord) {
    return pointer >= firstWord && pointer < endWord &&
           count <= (endWord - firstWord) / kAsiUnitWords;
}

// Entries that fit before the window end from `pointer`: all `count` when
// they do not pass it.
uint32_t FirstRun(uint32_t pointer, uint32_t count, uint32_t endWord) {
    const uint64_t last = pointer + uint64_t{count} * kAsiUnitWords;
    return last > endWord ? (endWord - pointer) / kAsiUnitWords : count;
}

// The most looks a capture's look, or its last, takes before it goes under
// the channel: a commit coming between a look's reads makes it look again.
constexpr uint32_t kLookTries = 4;
constexpr uint32_t kSettleTries = 64;

// The pointer after `count` units, wrapped to the window's first word at the
// end.
uint32_t AdvancePointer(uint32_t pointer, uint32_t count, uint32_t firstWord, uint32_t endWord) {
    pointer += count * kAsiUnitWords;
    return pointer >= endWord ? firstWord : pointer;
}
}  // namespace

// --- Output ---------------------------------------------------------------

CAsiOutputPort::CAsiOutputPort(card::CVelmoraBoardSupport* pBoardSupport)
    : m_pBoardSupport(pBoardSupport),
      m_pPciBridge(pBoardSupport != nullptr ? pBoardSupport->GetPciBridge() : nullptr) {}

uint32_t CAsiOutputPort::SetWindow(uint32_t firstWord, uint32_t endWord, uint32_t port) {
    m_dwFirstWord = firstWord;
    m_dwEndWord = endWord;
    if (CardOutputInUse(port)) return 1;
    // A channel held elsewhere means the card is in use: the open writes
    // nothing rather than wait on a holder that may be stopped, and the next
    // player's follow puts the pointer right. A player may also have come
    // since the look above.
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel, hw::CDmaChannelLock::TryOnly{});
    if (!lock.Held() || CardOutputInUse(port)) return 1;
    return PublishWritePointer(firstWord, port);
}

uint32_t CAsiOutputPort::CardOutputInUse(uint32_t port) {
    uint32_t read = 0;
    return m_pBoardSupport->IsAsiOutputHeld(port) ||
                   !m_pBoardSupport->GetAsiOutputReadPointer(&read, port) || read != m_dwFirstWord
               ? 1
               : 0;
}

uint32_t CAsiOutputPort::PublishWritePointer(uint32_t pointer, uint32_t port) {
    return m_pBoardSupport->SetAsiOutputWritePointer(pointer, port) &&
                   m_pBoardSupport->CommitAsiOutputWritePointer(port)
               ? 1
               : 0;
}

uint32_t CAsiOutputPort::TransferAt(uint32_t* pPointer, const uint8_t* pEntries, uint32_t count,
                                    uint32_t port, int pass, bool publish) {
    if (!m_pPciBridge->DmaTransfer(m_dwDmaChannel, const_cast<uint8_t*>(pEntries), *pPointer * 4,
                                   count * kAsiEntryBytes, kHostToCard)) {
        card::g_LogFile.WriteLog(L"Asi Dma fial!!! %d", pass);
        return 0;
    }
    if (!m_pPciBridge->WaitDmaInterrupt(m_dwDmaChannel)) {
        card::g_LogFile.WriteLog(L"Asi Dma WaitInterrupt fial!!! %d", pass);
        return 0;
    }
    *pPointer = AdvancePointer(*pPointer, count, m_dwFirstWord, m_dwEndWord);
    if (publish) PublishWritePointer(*pPointer, port);
    return 1;
}

uint32_t CAsiOutputPort::TransferRun(uint32_t pointer, const uint8_t* pEntries, uint32_t count,
                                     uint32_t port, bool publish) {
    const uint32_t first = FirstRun(pointer, count, m_dwEndWord);
    // Two transfers on one channel at once would mix their data: without
    // the channel nothing moves.
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel);
    if (!lock.Held()) {
        card::g_LogFile.WriteLog(L"Asi lock Dma fial!!!");
        return 0;
    }
    uint32_t result = TransferAt(&pointer, pEntries, first, port, 1, publish);
    if (result && first < count) {
        result = TransferAt(&pointer, pEntries + uint64_t{first} * kAsiEntryBytes, count - first,
                            port, 2, publish);
    }
    if (!lock.Unlock()) card::g_LogFile.WriteLog(L"Asi Dma unlock fial!!!");
    return result;
}

uint32_t CAsiOutputPort::WriteDma(const void* pEntries, uint32_t count, uint32_t port) {
    if (count == 0) return 1;
    if (pEntries == nullptr || m_pPciBridge == nullptr) return 0;
    uint32_t pointer = 0;
    m_pBoardSupport->GetAsiOutputWritePointer(&pointer, port);
    if (!FitsWindow(pointer, count, m_dwFirstWord, m_dwEndWord)) return 0;
    return TransferRun(pointer, static_cast<const uint8_t*>(pEntries), count, port, true);
}

uint32_t CAsiOutputPort::ReplacePending(uint32_t port) {
    if (m_pPciBridge == nullptr) return 0;
    uint32_t read = 0;
    uint32_t write = 0;
    if (!m_pBoardSupport->GetAsiOutputReadPointer(&read, port) ||
        !m_pBoardSupport->GetAsiOutputWritePointer(&write, port) ||
        !FitsWindow(read, 0, m_dwFirstWord, m_dwEndWord) ||
        !FitsWindow(write, 0, m_dwFirstWord, m_dwEndWord)) {
        return 0;
    }
    const uint32_t windowWords = m_dwEndWord - m_dwFirstWord;
    const uint32_t pending = (write + windowWords - read) % windowWords / kAsiUnitWords;
    // The entry at the read pointer may be on the cable already.
    if (pending <= 1) return 1;
    const uint32_t pointer = AdvancePointer(read, 1, m_dwFirstWord, m_dwEndWord);
    const uint32_t count = pending - 1;
    // No idle (both gap halves 0), then a null packet: PID 0x1FFF, payload only.
    static constexpr uint8_t kNullEntryHead[] = {0, 0, 0, 0, 0x47, 0x1F, 0xFF, 0x10};
    std::vector<uint8_t> entries(size_t{count} * kAsiEntryBytes, 0xFF);
    for (uint32_t i = 0; i < count; ++i)
        std::memcpy(&entries[size_t{i} * kAsiEntryBytes], kNullEntryHead, sizeof(kNullEntryHead));
    return TransferRun(pointer, entries.data(), count, port, false);
}

uint32_t CAsiOutputPort::ReadCardPointer(uint32_t* pRead, uint32_t port) {
    return m_pBoardSupport->GetAsiOutputReadPointer(pRead, port) &&
                   FitsWindow(*pRead, 0, m_dwFirstWord, m_dwEndWord) &&
                   (*pRead - m_dwFirstWord) % kAsiUnitWords == 0
               ? 1
               : 0;
}

uint32_t CAsiOutputPort::StopCardAfter(uint32_t read, uint32_t port) {
    const uint32_t windowWords = m_dwEndWord - m_dwFirstWord;
    const uint32_t windowUnits = windowWords / kAsiUnitWords;
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel);
    if (!lock.Held()) return 0;
    for (uint32_t margin = 1; margin < windowUnits; margin *= 2) {
        const uint32_t stop =
            m_dwFirstWord + (read - m_dwFirstWord + margin * kAsiUnitWords) % windowWords;
        uint32_t now = 0;
        if (!PublishWritePointer(stop, port) || !ReadCardPointer(&now, port)) return 0;
        // The card never passes a committed write pointer, so a read pointer
        // short of it shows the card stops there; one past it had gone by
        // before the commit reached the card.
        if ((now - read + windowWords) % windowWords / kAsiUnitWords <= margin) return 1;
        read = now;
    }
    return 0;
}

uint32_t CAsiOutputPort::EntryPlayMs(uint32_t pointer) {
    uint8_t entry[kAsiEntryBytes] = {};
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel);
    if (!lock.Held() ||
        !m_pPciBridge->DmaTransfer(m_dwDmaChannel, entry, pointer * 4, kAsiEntryBytes,
                                   kCardToHost) ||
        !m_pPciBridge->WaitDmaInterrupt(m_dwDmaChannel)) {
        // An entry that cannot be read may ask for the longest idle of all.
        std::memset(entry, 0xFF, 4);
    }
    const uint64_t high = (uint64_t{entry[0]} << 8) | entry[1];
    const uint64_t low = (uint64_t{entry[2]} << 8) | entry[3];
    // The longer packet length, so that the wait never falls short.
    const uint64_t bytes = kMaxPacketBytes + (kMaxPacketBytes - 1) * high + low + 2;
    return static_cast<uint32_t>((bytes * 1000 + kAsiBytesPerSecond - 1) / kAsiBytesPerSecond);
}

uint32_t CAsiOutputPort::FollowCardReadPointer(uint32_t port, uint32_t waitMs) {
    uint32_t read = 0;
    if (!ReadCardPointer(&read, port)) return 0;
    // The card still plays what was queued before (a stop that gave up
    // waiting leaves null packets, a player that died a whole window): its
    // read pointer has yet to come to rest. The pointer stays on an entry as
    // long as the entry's packet and idle last, which at a low rate is far
    // longer than kSettledMs: it is at rest only when it stays put longer
    // than the entry it points at lasts, however long this thread waits
    // between reads.
    const uint32_t start = platform::TickCount();
    uint32_t seen = start;
    uint32_t settleMs = kSettledMs;
    bool timed = false;
    for (;;) {
        platform::Sleep(1);
        const uint32_t before = platform::TickCount();
        uint32_t now = 0;
        if (!ReadCardPointer(&now, port)) return 0;
        if (now != read) {
            seen = platform::TickCount();
            settleMs = kSettledMs;
            timed = false;
            read = now;
            // Only a pointer just seen moving tells the card is sending the
            // entry there: one at rest would play a stale entry if stopped
            // after it.
            if (before - start >= waitMs) return StopCardAfter(read, port);
            continue;
        }
        if (before - seen < settleMs) continue;
        if (timed) break;
        const uint32_t entryMs = EntryPlayMs(read);
        settleMs = entryMs + entryMs / 4 + kSettledMs;
        timed = true;
    }
    // The card rests at `read`: committed there, the pointer changes nothing
    // on the card, where one left uncommitted would be taken up by whichever
    // strobe came next.
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel);
    return lock.Held() ? PublishWritePointer(read, port) : 0;
}

uint32_t CAsiOutputPort::GetFreeUnits(uint32_t* pCount, uint32_t port) {
    return m_pBoardSupport->GetAsiOutputFreeUnits(pCount, port);
}

uint32_t CAsiOutputPort::IsBufferFull(uint32_t port) {
    return m_pBoardSupport->IsAsiOutputBufferFull(port);
}

uint32_t CAsiOutputPort::IsBufferEmpty(uint32_t port) {
    return m_pBoardSupport->IsAsiOutputBufferEmpty(port);
}

uint32_t CAsiOutputPort::GetOutputStatus(uint32_t* pStatus, uint32_t port) {
    if (pStatus == nullptr) return 0;
    if (IsBufferEmpty(port)) {
        *pStatus = 1;
        return 1;
    }
    uint32_t free = 0;
    GetFreeUnits(&free, port);
    *pStatus = free > kLowWaterFreeUnits ? 0 : 2;
    return 1;
}

uint32_t CAsiOutputPort::SetOutputControl(uint8_t first, uint8_t second, uint32_t port) {
    return m_pBoardSupport->SetAsiOutputControl(first, second, port);
}

uint32_t CAsiOutputPort::SetOutputControlWord(uint16_t word, uint32_t port) {
    return m_pBoardSupport->SetAsiOutputControlWord(word, port);
}

uint32_t CAsiOutputPort::GetOutputControl(uint32_t port) {
    return m_pBoardSupport->GetAsiOutputControl(port);
}

uint32_t CAsiOutputPort::GetOutputStatusBit(uint32_t* pBit, uint32_t port) {
    return m_pBoardSupport->GetAsiOutputStatusBit(pBit, port);
}

uint32_t CAsiOutputPort::GetPacketLength(uint32_t* pFlag, uint32_t port) {
    return m_pBoardSupport->GetAsiPacketLength(pFlag, port);
}

uint32_t CAsiOutputPort::GetCardClock(uint64_t* pClock) {
    return m_pBoardSupport->GetCardClock64(pClock);
}

// --- Input ----------------------------------------------------------------

CAsiInputPort::CAsiInputPort(card::CVelmoraBoardSupport* pBoardSupport)
    : m_pBoardSupport(pBoardSupport),
      m_pPciBridge(pBoardSupport != nullptr ? pBoardSupport->GetPciBridge() : nullptr),
      m_Count(pBoardSupport) {}

uint32_t CAsiInputPort::SetWindow(uint32_t firstWord, uint32_t endWord, uint32_t port) {
    m_dwFirstWord = firstWord;
    m_dwEndWord = endWord;
    m_Count.SetWindow(firstWord, endWord);
    // While the input is on, the card's one read-pointer register is the
    // capturing processes': a window start committed there, or left for
    // their next strobe, would have the card count itself full near the
    // window's end and drop what arrives.
    if (m_pBoardSupport->IsAsiInputOn(port)) return 1;
    // A channel held elsewhere means the card is in use: the open writes
    // nothing rather than wait on a holder that may be stopped, and the next
    // capture's start puts the pointer right. An input switched on since the
    // look above is past its own commit.
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel, hw::CDmaChannelLock::TryOnly{});
    CAsiInputCount::View view;
    if (!lock.Held() || m_pBoardSupport->IsAsiInputOn(port)) return 1;
    return m_Count.LookHolding(&view) ? PublishUnit(m_Count.UnitOf(firstWord, view.written), port)
                                      : 0;
}

uint32_t CAsiInputPort::PublishUnit(uint64_t unit, uint32_t port) {
    switch (m_Count.CommitAt(unit, port)) {
        case CAsiInputCount::Commit::Done:
            return 1;
        case CAsiInputCount::Commit::Behind:
            // The card follows the reader furthest on; a commit behind it
            // could name a pointer the card has passed.
            return m_pBoardSupport->SkipAsiInputReadPointer(m_Count.PointerOf(unit), port);
        case CAsiInputCount::Commit::Failed:
            break;
    }
    return 0;
}

uint32_t CAsiInputPort::TransferAt(uint32_t* pPointer, uint8_t* pDestination, uint32_t count) {
    if (!m_pPciBridge->DmaTransfer(m_dwDmaChannel, pDestination, *pPointer * 4,
                                   count * kAsiEntryBytes, kCardToHost) ||
        !m_pPciBridge->WaitDmaInterrupt(m_dwDmaChannel)) {
        return 0;
    }
    *pPointer = AdvancePointer(*pPointer, count, m_dwFirstWord, m_dwEndWord);
    return 1;
}

uint32_t CAsiInputPort::SkipTo(uint64_t unit, uint32_t port) {
    if (m_Capture.active) m_Capture.position = unit;
    return m_pBoardSupport->SkipAsiInputReadPointer(m_Count.PointerOf(unit), port);
}

uint32_t CAsiInputPort::ReadDma(void* pDestination, uint32_t count, uint32_t port,
                                uint32_t* pRead) {
    if (pRead != nullptr) *pRead = 0;
    if (count == 0) return 1;
    if (pDestination == nullptr || m_pPciBridge == nullptr) return 0;
    uint32_t pointer = 0;
    m_pBoardSupport->GetAsiInputReadPointer(&pointer, port);
    if (!FitsWindow(pointer, count, m_dwFirstWord, m_dwEndWord)) return 0;
    const uint32_t first = FirstRun(pointer, count, m_dwEndWord);
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel);
    CAsiInputCount::View view;
    if (!lock.Held() || !m_Count.LookHolding(&view)) return 0;
    // Outside a capture the pointer is taken to be less than a window
    // behind the card's.
    uint64_t from = m_Capture.active ? m_Capture.position : m_Count.UnitOf(pointer, view.written);
    auto* destination = static_cast<uint8_t*>(pDestination);
    // Entries leave the card only once all have arrived: a first part let go
    // before a failed second transfer would reach nobody.
    if (!TransferAt(&pointer, destination, first) ||
        (first < count &&
         !TransferAt(&pointer, destination + uint64_t{first} * kAsiEntryBytes, count - first)) ||
        !m_Count.LookHolding(&view)) {
        return 0;
    }
    // The card writes unit u + window over unit u, and may be writing the
    // unit after its pointer as it is read: what lies before `whole` may have
    // been written over while it was read. Only that is let go of, and only
    // this process's pointer moves past it: the card's stays where the
    // reader furthest on put it, so that what that reader has yet to read
    // is not given to the card to write over.
    const uint64_t whole = view.written - (WindowUnits() - 1);
    if (from < whole) {
        const uint64_t over = whole - from;
        if (over >= count || pRead == nullptr) {
            SkipTo(whole, port);
            return 0;
        }
        count -= static_cast<uint32_t>(over);
        std::memmove(destination, destination + over * kAsiEntryBytes,
                     uint64_t{count} * kAsiEntryBytes);
        from = whole;
    }
    if (!PublishUnit(from + count, port)) return 0;
    if (m_Capture.active) {
        m_Capture.position = from + count;
        m_Capture.taken += count;
    }
    if (pRead != nullptr) *pRead = count;
    return 1;
}

uint32_t CAsiInputPort::StartCapture(uint32_t port) {
    // A start the card does not let settle now is made by the first look.
    m_Capture = {};
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel);
    return lock.Held() ? BeginCapture(port) : 0;
}

uint32_t CAsiInputPort::BeginCapture(uint32_t port) {
    // The capture's packets are those the card writes from the unit it would
    // write next at the look below, and those it drops once it has written
    // that unit. A card with room at the look writes that unit before it can
    // fill, so what it drops from the look on is this capture's, however
    // long this process takes to commit. A full card drops until the commit
    // lets it write again, before the capture's first packet: what it had
    // dropped is then taken after the commit, which is closer, but only while
    // the card has not filled since: what it drops then is this capture's.
    m_Capture = {};
    m_Count.RestartRate();
    CAsiInputCount::View before;
    CAsiInputCount::View after;
    if (!m_Count.LookHolding(&before) ||
        (before.full ? !m_Count.LatchDropped(&before)
                     : (before.dropped == CAsiInputCount::kUnknown ||
                        static_cast<uint32_t>(before.doubt) != 0) &&
                           !m_Count.SettleDropped(&before, kSettleTries)) ||
        m_Count.CommitAt(before.written, port) != CAsiInputCount::Commit::Done ||
        !m_Count.LookHolding(&after)) {
        return 0;
    }
    if (!after.full && static_cast<uint32_t>(after.doubt) != 0) {
        m_Count.SettleDropped(&after, kSettleTries);
    }
    m_Capture.active = true;
    m_Capture.position = before.written;
    m_Capture.start = before.written;
    m_Capture.droppedAtStart =
        before.full && !after.full ? std::max(before.dropped, after.dropped) : before.dropped;
    m_Capture.guessesAtStart = m_Count.Guesses();
    return 1;
}

bool CAsiInputPort::LookAtCard(CAsiInputCount::View* pView, bool settle) {
    bool looked = false;
    for (uint32_t tried = 0; tried < (settle ? kSettleTries : kLookTries) && !looked; ++tried) {
        looked = m_Count.Look(pView) && (!pView->full || m_Count.LatchDropped(pView));
    }
    // The last look also settles what a commit that let a full card write
    // again left in doubt.
    if (looked && (!settle || static_cast<uint32_t>(pView->doubt) == 0)) return true;
    // Commits keep coming, or one was left half done by a process that
    // died: the look goes under the channel, but never waits for it, which
    // another reader may hold for a transfer; the next look tries again.
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel, hw::CDmaChannelLock::TryOnly{});
    if (!lock.Held() || !m_Count.LookHolding(pView)) return looked;
    if (pView->full) return m_Count.LatchDropped(pView);
    if (settle && static_cast<uint32_t>(pView->doubt) != 0) {
        m_Count.SettleDropped(pView, kSettleTries);
    }
    return true;
}

uint32_t CAsiInputPort::LookAtCapture(uint32_t port, uint32_t* pFilled, bool settle) {
    if (pFilled != nullptr) *pFilled = 0;
    if (!m_Capture.active) {
        hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel);
        if (!lock.Held() || !BeginCapture(port)) return 0;
    }
    CAsiInputCount::View view;
    if (!LookAtCard(&view, settle)) return 0;
    CaptureLedger& ledger = m_Capture;
    // What the card wrote over is gone, and so is the unit it may be
    // writing.
    const uint64_t from = std::max(ledger.position, view.written - (WindowUnits() - 1));
    if (from != ledger.position && !SkipTo(from, port)) return 0;
    // What the card may have dropped, at the most: the count is never short.
    const uint64_t dropped = view.dropped == CAsiInputCount::kUnknown
                                 ? ledger.droppedAtStart
                                 : std::max(view.MostDropped(), ledger.droppedAtStart);
    ledger.lost = from - ledger.start - ledger.taken + dropped - ledger.droppedAtStart;
    if (pFilled != nullptr) *pFilled = static_cast<uint32_t>(view.written - from);
    return 1;
}

uint32_t CAsiInputPort::GetFilledUnits(uint32_t* pCount, uint32_t port) {
    return m_pBoardSupport->GetAsiInputFilledUnits(pCount, port);
}

uint32_t CAsiInputPort::EnableInput(uint32_t port) {
    if (!m_pBoardSupport->IsAsiInputOn(port)) {
        m_Count.ForgetRate();
        // Under the channel no commit lets an input that is off write; one
        // switched on meanwhile elsewhere leaves the latch to the captures.
        hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel);
        CAsiInputCount::View view;
        if (lock.Held() && m_Count.LookHolding(&view)) m_Count.LatchDropped(&view);
    }
    return m_pBoardSupport->EnableAsiInput(port);
}

uint32_t CAsiInputPort::DisableInput(uint32_t port) {
    return m_pBoardSupport->DisableAsiInput(port);
}

uint32_t CAsiInputPort::IsBufferFull(uint32_t port) {
    return m_pBoardSupport->IsAsiInputBufferFull(port);
}

uint32_t CAsiInputPort::IsBufferEmpty(uint32_t port) {
    return m_pBoardSupport->IsAsiInputBufferEmpty(port);
}

uint32_t CAsiInputPort::GetInputStatus(uint32_t* pStatus, uint32_t port) {
    if (pStatus == nullptr) return 0;
    if (IsBufferFull(port)) {
        *pStatus = 2;
        return 1;
    }
    uint32_t filled = 0;
    GetFilledUnits(&filled, port);
    *pStatus = filled >= kHighWaterFilledUnits ? 0 : 1;
    return 1;
}

}  // namespace velmora::ts

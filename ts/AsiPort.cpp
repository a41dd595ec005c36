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

// The pointer `count` units on from `pointer`, around the window.
uint32_t PointerAfter(uint32_t pointer, uint32_t count, uint32_t firstWord, uint32_t endWord) {
    return firstWord +
           static_cast<uint32_t>((pointer - firstWord + uint64_t{count} * kAsiUnitWords) %
                                 (endWord - firstWord));
}

// The most latches of the card's count that a capture's start, or a look
// that makes its count exact, takes before it goes on.
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
      m_pPciBridge(pBoardSupport != nullptr ? pBoardSupport->GetPciBridge() : nullptr) {}

uint32_t CAsiInputPort::SetWindow(uint32_t firstWord, uint32_t endWord, uint32_t port) {
    m_dwFirstWord = firstWord;
    m_dwEndWord = endWord;
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
    if (!lock.Held() || m_pBoardSupport->IsAsiInputOn(port)) return 1;
    return PublishReadPointer(firstWord, port);
}

uint32_t CAsiInputPort::PublishReadPointer(uint32_t pointer, uint32_t port) {
    if (!m_pBoardSupport->SetAsiInputReadPointer(pointer, port) ||
        !m_pBoardSupport->CommitAsiInputReadPointer(port)) {
        return 0;
    }
    m_Capture.committed = pointer;
    return 1;
}

uint32_t CAsiInputPort::UnitsBetween(uint32_t from, uint32_t to) const {
    const uint32_t windowWords = m_dwEndWord - m_dwFirstWord;
    return (to + windowWords - from) % windowWords / kAsiUnitWords;
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

uint32_t CAsiInputPort::ReadDma(void* pDestination, uint32_t count, uint32_t port) {
    if (count == 0) return 1;
    if (pDestination == nullptr || m_pPciBridge == nullptr) return 0;
    uint32_t pointer = 0;
    m_pBoardSupport->GetAsiInputReadPointer(&pointer, port);
    if (!FitsWindow(pointer, count, m_dwFirstWord, m_dwEndWord)) return 0;
    const uint32_t first = FirstRun(pointer, count, m_dwEndWord);
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel);
    if (!lock.Held()) return 0;
    auto* destination = static_cast<uint8_t*>(pDestination);
    // Entries leave the card only once all have arrived: a first part let go
    // before a failed second transfer would reach nobody.
    if (!TransferAt(&pointer, destination, first) ||
        (first < count &&
         !TransferAt(&pointer, destination + uint64_t{first} * kAsiEntryBytes, count - first))) {
        return 0;
    }
    if (m_Capture.active && MayBeOverwritten(port)) {
        // Some of what came may be a window newer than its place says. What
        // the card holds is let go of, and the card's pointer is this one's
        // again: the pointer it holds may be a stopped reader's, behind which
        // the card would take nothing more for anyone.
        LetGoOfHeld(port, &pointer);
        return 0;
    }
    // Alone, a card that filled is full until this commit: what it dropped
    // meanwhile is counted by the next look. So is what it may have dropped
    // between this look at it and the commit, when it came that far.
    uint32_t room = 0;
    uint32_t write = 0;
    if (m_Capture.active && (!ReadWrite(&write, port) || CardFull(write))) {
        m_Capture.fullSeen = true;
    } else if (m_Capture.active) {
        room = WindowUnits() - 1 - UnitsBetween(m_Capture.committed, write);
    }
    if (!PublishReadPointer(pointer, port)) return 0;
    if (m_Capture.active) {
        uint32_t after = 0;
        if (!m_Capture.fullSeen &&
            (!ReadWrite(&after, port) || UnitsBetween(write, after) >= room)) {
            m_Capture.fullSeen = true;
        }
        m_Capture.taken += count;
        m_Capture.safeUntil += count;
    }
    return 1;
}

uint32_t CAsiInputPort::ReadWrite(uint32_t* pWrite, uint32_t port) {
    uint32_t pointer = 0;
    uint32_t filled = 0;
    if (!ReadFilled(&pointer, &filled, port)) return 0;
    *pWrite = PointerAfter(pointer, filled, m_dwFirstWord, m_dwEndWord);
    return 1;
}

uint32_t CAsiInputPort::LatchCount(uint32_t* pCount, uint32_t* pBefore, uint32_t* pAfter) {
    return m_pBoardSupport->GetTsCapturedPacketsAt(pCount, pBefore, pAfter) &&
                   FitsWindow(*pBefore, 0, m_dwFirstWord, m_dwEndWord) &&
                   FitsWindow(*pAfter, 0, m_dwFirstWord, m_dwEndWord)
               ? 1
               : 0;
}

bool CAsiInputPort::MayBeOverwritten(uint32_t port) {
    if (!m_pBoardSupport->IsAsiInputCommittedElsewhere(port)) return false;
    uint32_t count = 0;
    uint32_t before = 0;
    uint32_t after = 0;
    const CaptureLedger& ledger = m_Capture;
    if (!ledger.counted || ledger.offsetHigh == INT64_MAX || !LatchCount(&count, &before, &after)) {
        return true;
    }
    // The least that can have arrived by the latch.
    const int64_t arrived =
        static_cast<int64_t>(ledger.count + static_cast<uint32_t>(count - ledger.lastCount)) -
        ledger.offsetHigh;
    return arrived > static_cast<int64_t>(ledger.safeUntil);
}

uint32_t CAsiInputPort::ReadFilled(uint32_t* pPointer, uint32_t* pFilled, uint32_t port) {
    return GetFilledUnits(pFilled, port) &&
                   m_pBoardSupport->GetAsiInputReadPointer(pPointer, port) &&
                   FitsWindow(*pPointer, *pFilled, m_dwFirstWord, m_dwEndWord)
               ? 1
               : 0;
}

uint32_t CAsiInputPort::LetGoOfHeld(uint32_t port, uint32_t* pPointer) {
    return ReadWrite(pPointer, port) && PublishReadPointer(*pPointer, port) ? 1 : 0;
}

uint32_t CAsiInputPort::SkipOldest(uint32_t pointer, uint32_t filled, uint32_t kept,
                                   uint32_t port) {
    if (filled <= kept) return 1;
    return m_pBoardSupport->SkipAsiInputReadPointer(
        PointerAfter(pointer, filled - kept, m_dwFirstWord, m_dwEndWord), port);
}

bool CAsiInputPort::OthersCapture(uint32_t port) {
    return platform::TickCount() - m_dwCommittedElsewhereMs < kOthersQuietMs &&
           m_pBoardSupport->IsAsiInputCapturedElsewhere(port);
}

void CAsiInputPort::TakeCardPointer(uint32_t port) {
    // The look never waits for the channel, which another reader may hold
    // for a transfer; the next look tries again.
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel, hw::CDmaChannelLock::TryOnly{});
    uint32_t pointer = 0;
    if (lock.Held() && m_pBoardSupport->GetAsiInputReadPointer(&pointer, port)) {
        PublishReadPointer(pointer, port);
    }
}

uint32_t CAsiInputPort::StartCapture(uint32_t port) {
    // A start the card does not let settle now is made by the first look.
    m_Capture = {};
    hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel);
    return lock.Held() ? BeginCapture(port) : 0;
}

uint32_t CAsiInputPort::BeginCapture(uint32_t port) {
    // The capture's packets are those the card writes after the pointer it
    // lets go of up to: none has been lost yet.
    uint32_t start = 0;
    if (!LetGoOfHeld(port, &start)) return 0;
    // Commits made elsewhere before this one's are no longer the card's; a
    // capture that another process holds a slot for counts as reading for
    // a while.
    m_pBoardSupport->WasAsiInputCommittedElsewhere(port);
    m_dwCommittedElsewhereMs = platform::TickCount();
    m_Capture.active = true;
    m_Capture.lastWrite = start;
    m_Capture.safeUntil = WindowUnits() - 1;
    // Counts latched now, while nothing can be lost, tell how the card's
    // count stands to what arrives.
    uint32_t filled = 0;
    return Recount(port, start, kSettleTries, &filled, true);
}

bool CAsiInputPort::CardFull(uint32_t write) const {
    return UnitsBetween(m_Capture.committed, write) >= WindowUnits() - 1;
}

bool CAsiInputPort::CountExact() const {
    return m_Capture.receivedLow == m_Capture.receivedHigh &&
           m_Capture.offsetLow == m_Capture.offsetHigh;
}

void CAsiInputPort::TakeCount(uint32_t count, uint32_t looked, uint32_t before, uint32_t after,
                              bool whole) {
    CaptureLedger& ledger = m_Capture;
    constexpr uint64_t kUnbounded = CaptureLedger::kUnbounded;
    // The card's count is 32 bits wide and wraps.
    ledger.count =
        ledger.counted ? ledger.count + static_cast<uint32_t>(count - ledger.lastCount) : count;
    ledger.counted = true;
    ledger.lastCount = count;
    const auto c = static_cast<int64_t>(ledger.count);
    const uint64_t toBefore = UnitsBetween(looked, before);
    const uint64_t between = UnitsBetween(before, after);
    // What arrived by each pointer read.
    const uint64_t beforeLow = ledger.receivedLow + toBefore;
    const uint64_t beforeHigh =
        whole && ledger.receivedHigh != kUnbounded ? ledger.receivedHigh + toBefore : kUnbounded;
    const uint64_t afterLow = beforeLow + between;
    const uint64_t afterHigh = beforeHigh != kUnbounded ? beforeHigh + between : kUnbounded;
    // What arrived by the latch lies between the two, and is the count less
    // its difference.
    int64_t latchLow = static_cast<int64_t>(beforeLow);
    int64_t latchHigh = afterHigh != kUnbounded ? static_cast<int64_t>(afterHigh) : INT64_MAX;
    if (ledger.offsetHigh != INT64_MAX) latchLow = std::max(latchLow, c - ledger.offsetHigh);
    if (ledger.offsetLow != INT64_MIN) latchHigh = std::min(latchHigh, c - ledger.offsetLow);
    if (latchLow > latchHigh) {
        // A loss the pointers did not show: the count alone tells.
        ledger.offsetLow = INT64_MIN;
        ledger.offsetHigh = INT64_MAX;
        latchLow = static_cast<int64_t>(beforeLow);
        latchHigh = afterHigh != kUnbounded ? static_cast<int64_t>(afterHigh) : INT64_MAX;
    }
    if (latchHigh != INT64_MAX) ledger.offsetLow = std::max(ledger.offsetLow, c - latchHigh);
    ledger.offsetHigh = std::min(ledger.offsetHigh, c - latchLow);
    ledger.receivedLow = std::max(afterLow, static_cast<uint64_t>(latchLow));
    ledger.receivedHigh = whole && latchHigh != INT64_MAX
                              ? std::min(afterHigh, static_cast<uint64_t>(latchHigh) + between)
                              : kUnbounded;
}

uint32_t CAsiInputPort::Recount(uint32_t port, uint32_t pointer, uint32_t tries, uint32_t* pFilled,
                                bool starting) {
    CaptureLedger& ledger = m_Capture;
    uint32_t write = PointerAfter(pointer, *pFilled, m_dwFirstWord, m_dwEndWord);
    // The card writes every packet that arrives while it has room, and room
    // is freed only by commits: while only this process commits and the card
    // has not been full since the last look, the write pointer's way is what
    // arrived. Another process's commit may let the card write over what
    // this capture holds, or stop it short of what arrives.
    // At the start the card has the room this capture's commit gave it, less
    // what another reader that commits since holds, half the window at the
    // most: nothing arriving in the moment the start takes is lost.
    const bool freshElsewhere = m_pBoardSupport->WasAsiInputCommittedElsewhere(port) != 0;
    if (freshElsewhere) m_dwCommittedElsewhereMs = platform::TickCount();
    const bool elsewhere = !starting && m_pBoardSupport->IsAsiInputCommittedElsewhere(port);
    const bool steady =
        (starting || (!freshElsewhere && !elsewhere && !ledger.fullSeen)) && !CardFull(write);
    ledger.fullSeen = false;
    const uint32_t way = UnitsBetween(ledger.lastWrite, write);
    ledger.receivedLow += way;
    if (!steady) ledger.receivedHigh = CaptureLedger::kUnbounded;
    if (ledger.receivedHigh != CaptureLedger::kUnbounded) ledger.receivedHigh += way;
    // The card's count is latched only when packets may have been lost, or
    // while what arrived is not known exactly.
    for (uint32_t tried = 0; tried < tries && (!steady || !CountExact()); ++tried) {
        uint32_t count = 0;
        uint32_t before = 0;
        uint32_t after = 0;
        if (!LatchCount(&count, &before, &after)) return 0;
        // The card may have filled since it was looked at: the next look
        // goes by the count.
        ledger.fullSeen = CardFull(after);
        TakeCount(count, write, before, after, !elsewhere && !ledger.fullSeen);
        write = after;
        *pFilled = UnitsBetween(pointer, write);
        if (CountExact()) break;
    }
    ledger.lastWrite = write;
    return 1;
}

uint32_t CAsiInputPort::LookAtCapture(uint32_t port, uint32_t* pFilled, bool settle) {
    if (pFilled != nullptr) *pFilled = 0;
    if (!m_Capture.active) {
        hw::CDmaChannelLock lock(m_pPciBridge, m_dwDmaChannel);
        if (!lock.Held() || !BeginCapture(port)) return 0;
    }
    // The rest goes without the channel, which the other readers need for
    // their transfers: only a look that takes the card's pointer back
    // commits, and only when the channel is free; what is read later is
    // looked at again under the channel.
    uint32_t filled = 0;
    uint32_t pointer = 0;
    if (!ReadFilled(&pointer, &filled, port) ||
        !Recount(port, pointer, settle ? kSettleTries : 1, &filled)) {
        return 0;
    }
    CaptureLedger& ledger = m_Capture;
    uint32_t kept = filled;
    if (m_pBoardSupport->IsAsiInputCommittedElsewhere(port)) {
        bool others = false;
        if (ledger.receivedLow > ledger.safeUntil) {
            kept = 0;
        } else if ((others = OthersCapture(port))) {
            kept = std::min(filled, kKeptBesideOthers);
        }
        if (!SkipOldest(pointer, filled, kept, port)) return 0;
        // Alone, or with nothing left to read, the card's room is counted
        // from this capture's pointer again: another's that nobody moves on
        // (a process that stopped capturing, or was stopped) would keep the
        // card full.
        if (!others || kept == 0) TakeCardPointer(port);
    }
    ledger.safeUntil = ledger.receivedLow + (WindowUnits() - 1 - kept);
    if (ledger.receivedLow >= ledger.taken + kept) {
        ledger.lost = std::max(ledger.lost, ledger.receivedLow - ledger.taken - kept);
    }
    if (pFilled != nullptr) *pFilled = kept;
    return 1;
}

uint32_t CAsiInputPort::GetFilledUnits(uint32_t* pCount, uint32_t port) {
    return m_pBoardSupport->GetAsiInputFilledUnits(pCount, port);
}

uint32_t CAsiInputPort::EnableInput(uint32_t port) {
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

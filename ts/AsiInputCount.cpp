#include "ts/AsiInputCount.h"

#include <algorithm>
#include <atomic>

#include "card/VelmoraBoardSupport.h"
#include "ts/AsiPort.h"

namespace velmora::ts {

namespace {

using card::TsInputRecord;

std::atomic_ref<uint64_t> Word(uint64_t& word) {
    return std::atomic_ref<uint64_t>(word);
}

// The first count a record takes, so far from 0 that no unit a window
// behind it goes below 0 and 0 can tell a record nobody has set.
constexpr uint64_t kFirstWindows = uint64_t{1} << 32;

// The most latches a commit that let a full card write again takes, holding
// the channel.
constexpr uint32_t kCommitLatches = 8;

// Units written between two looks the input's rate is measured by.
constexpr uint64_t kRateUnits = uint64_t{1} << 16;
// The card clock runs in 10 us ticks.
constexpr uint64_t kClockTicksPerSecond = 100000;
// The fastest an ASI input can deliver, 27,000,000 bytes a second in
// 188-byte packets, in packets per tick times 2^32, rounded up.
constexpr uint64_t kMostRate =
    ((uint64_t{27000000} << 32) + 188 * kClockTicksPerSecond - 1) / (188 * kClockTicksPerSecond);
constexpr uint32_t kStepBits = TsInputRecord::kClockStepBits;
// A moment keeps the clock's steps modulo 2^31; a span of half that or more
// (years) cannot be told from a shorter one.
constexpr uint32_t kMomentSteps = 0x7FFFFFFF;
constexpr uint32_t kLongestSpanSteps = kMomentSteps / 2;
constexpr uint64_t kWrap = uint64_t{1} << 32;
// The longest a latch may take between its two reads of the card clock: far
// fewer packets than half a wrap arrive meanwhile.
constexpr uint64_t kLatchTicks = kClockTicksPerSecond;

// Packets that arrive in `ticks` at `rate`.
uint64_t Arrivals(uint64_t rate, uint64_t ticks) {
    return static_cast<uint64_t>(static_cast<unsigned __int128>(rate) * ticks >> 32);
}

}  // namespace

CAsiInputCount::CAsiInputCount(card::CVelmoraBoardSupport* pBoardSupport)
    : m_pBoardSupport(pBoardSupport),
      m_dwFirstWord(CAsiInputPort::kDefaultFirstWord),
      m_dwEndWord(CAsiInputPort::kDefaultEndWord) {}

void CAsiInputCount::SetWindow(uint32_t firstWord, uint32_t endWord) {
    m_dwFirstWord = firstWord;
    m_dwEndWord = endWord;
}

uint32_t CAsiInputCount::PointerOf(uint64_t unit) const {
    return m_dwFirstWord + static_cast<uint32_t>(unit % Units()) * kAsiUnitWords;
}

uint64_t CAsiInputCount::UnitOf(uint32_t pointer, uint64_t written) const {
    const uint32_t unit = WindowUnit(pointer);
    const uint64_t behind = (written % Units() + Units() - unit) % Units();
    return written - behind;
}

uint64_t CAsiInputCount::WrittenUpTo(uint64_t written, uint32_t unit) const {
    return written + (unit + Units() - written % Units()) % Units();
}

bool CAsiInputCount::ReadWriteUnit(uint32_t* pUnit) {
    uint32_t filled = 0;
    uint32_t pointer = 0;
    if (!m_pBoardSupport->GetAsiInputFilledUnits(&filled, 0) ||
        !m_pBoardSupport->GetAsiInputReadPointer(&pointer, 0) || pointer < m_dwFirstWord ||
        pointer >= m_dwEndWord || filled >= Units()) {
        return false;
    }
    *pUnit = (WindowUnit(pointer) + filled) % Units();
    return true;
}

void CAsiInputCount::Fill(View* pView, uint64_t written) const {
    pView->written = written;
    pView->full = written >= pView->committed + Units() - 1;
}

bool CAsiInputCount::Look(View* pView) {
    TsInputRecord* record = m_pBoardSupport->GetAsiInputRecord(0);
    const uint64_t sequence = Word(record->sequence).load();
    const uint64_t written = Word(record->written).load();
    if ((sequence & 1) != 0 || written == 0) return false;
    pView->committed = Word(record->committed).load();
    // The doubt first: a latch raises `dropped` before it settles the
    // doubt, so a settled doubt is never paired with the count before it.
    pView->doubt = Word(record->doubt).load();
    pView->dropped = Word(record->dropped).load();
    uint32_t unit = 0;
    if (!ReadWriteUnit(&unit) || Word(record->sequence).load() != sequence) return false;
    pView->sequence = sequence;
    Fill(pView, WrittenUpTo(written, unit));
    NoteRate(*pView);
    return true;
}

bool CAsiInputCount::LookHolding(View* pView) {
    TsInputRecord* record = m_pBoardSupport->GetAsiInputRecord(0);
    uint32_t unit = 0;
    if (!ReadWriteUnit(&unit)) return false;
    uint64_t written = Word(record->written).load();
    if (written == 0) {
        // Nobody has counted this card's input yet: any pointer committed
        // before lies behind the card's write pointer, so the first commit
        // is never behind one taken to stand there.
        written = kFirstWindows * Units() + unit;
        Word(record->committed).store(written);
    } else {
        written = WrittenUpTo(written, unit);
    }
    Word(record->written).store(written);
    uint64_t sequence = Word(record->sequence).load();
    pView->committed = Word(record->committed).load();
    pView->sequence = sequence;
    // The doubt first: a latch raises `dropped` before it settles the
    // doubt, so a settled doubt is never paired with the count before it.
    pView->doubt = Word(record->doubt).load();
    pView->dropped = Word(record->dropped).load();
    Fill(pView, written);
    return (sequence & 1) == 0 || FinishDeadCommit(pView);
}

bool CAsiInputCount::FinishDeadCommit(View* pView) {
    // Odd under the channel: a commit whose process died before its end.
    // The card is held back by its pointer or the one before, both behind
    // the count taken; the record's, stored before the card had it, is
    // committed again, so that the card's room is counted from it. A card
    // that came to the end of its room under the pointer before may have
    // dropped what arrived until then, which no latch has seen, and no later
    // one may: its count is latched now, as a commit's own is.
    TsInputRecord* record = m_pBoardSupport->GetAsiInputRecord(0);
    if (!m_pBoardSupport->RecommitAsiInputReadPointer(PointerOf(pView->committed), 0)) {
        return false;
    }
    SettleDropped(pView, kCommitLatches);
    Word(record->written).store(pView->written);
    Word(record->sequence).store(++pView->sequence);
    return true;
}

uint64_t CAsiInputCount::Guesses() const {
    return Word(m_pBoardSupport->GetAsiInputRecord(0)->guesses).load();
}

uint64_t CAsiInputCount::ReadClock() {
    uint64_t clock = 0;
    // A card just powered up reads 0, a time like any other.
    return m_pBoardSupport->GetCardClock64(&clock) && clock != kNoClock ? clock : kNoClock;
}

bool CAsiInputCount::DatesLatch(uint64_t clock) {
    if (clock == kNoClock) return false;
    const uint64_t later = ReadClock();
    return later != kNoClock && later >= clock && later - clock <= kLatchTicks;
}

void CAsiInputCount::ForgetRate() {
    m_bMarkStale = true;
    Word(m_pBoardSupport->GetAsiInputRecord(0)->rate).store(0);
}

void CAsiInputCount::KeepReceived(uint64_t clock, uint64_t received) {
    const uint32_t steps = static_cast<uint32_t>(clock >> kStepBits) & kMomentSteps;
    const uint64_t moment =
        TsInputRecord::kMomentKnown | (uint64_t{steps} << 32) | static_cast<uint32_t>(received);
    std::atomic_ref<uint64_t> kept = Word(m_pBoardSupport->GetAsiInputRecord(0)->clockAndReceived);
    uint64_t seen = kept.load();
    // Several processes may keep one at once: the latest stays.
    while (((seen & TsInputRecord::kMomentKnown) == 0 ||
            ((steps - static_cast<uint32_t>(seen >> 32)) & kMomentSteps) <= kLongestSpanSteps) &&
           !kept.compare_exchange_weak(seen, moment)) {
    }
}

void CAsiInputCount::NoteRate(const View& view) {
    RateMark& mark = m_RateMark;
    if (m_bMarkStale.exchange(false)) mark = {};
    // A full card drops what the units written leave out, and so may one
    // that filled between two looks: its drops are counted, or left in
    // doubt, before it has room again.
    if (view.full || view.dropped == kUnknown || static_cast<uint32_t>(view.doubt) != 0) {
        mark = {};
        return;
    }
    if (mark.written == 0 || view.written < mark.written || view.dropped != mark.dropped ||
        view.doubt != mark.doubt) {
        mark = {view.written, kNoClock, view.dropped, view.doubt};
        return;
    }
    if (view.written - mark.written < kRateUnits) return;
    // The clock dates the look only while the card, still with room, wrote
    // little since: a process held up between lets the count run on unseen.
    const uint64_t clock = ReadClock();
    uint32_t unit = 0;
    if (clock == kNoClock || !ReadWriteUnit(&unit) ||
        Word(m_pBoardSupport->GetAsiInputRecord(0)->sequence).load() != view.sequence) {
        return;
    }
    const uint64_t now = WrittenUpTo(view.written, unit);
    if (now - view.written > kRateUnits / 64 || now >= view.committed + Units() - 1) return;
    if (mark.clock != kNoClock && clock > mark.clock) {
        const unsigned __int128 units = view.written - mark.written;
        Word(m_pBoardSupport->GetAsiInputRecord(0)->rate)
            .store(static_cast<uint64_t>((units << 32) / (clock - mark.clock)));
    }
    KeepReceived(clock, view.dropped + view.written);
    mark = {view.written, clock, view.dropped, view.doubt};
}

uint64_t CAsiInputCount::Unwrap(const View& view, uint32_t low, uint64_t clock) {
    // The first starts a window of counts on, so that no bound below it
    // goes under 0.
    if (view.dropped == kUnknown) return kWrap + low;
    const uint64_t least =
        view.dropped + static_cast<uint32_t>(low - static_cast<uint32_t>(view.dropped));
    TsInputRecord* record = m_pBoardSupport->GetAsiInputRecord(0);
    const uint64_t moment = Word(record->clockAndReceived).load();
    uint64_t rate = Word(record->rate).load();
    // An input that is off receives nothing for as long as it stays off: the
    // rate tells nothing of the time since, and the next source's is
    // measured anew.
    if (rate != 0 && !m_pBoardSupport->IsAsiInputOn(0)) {
        Word(record->rate).store(0);
        rate = 0;
    }
    const uint32_t steps =
        (static_cast<uint32_t>(clock >> kStepBits) - static_cast<uint32_t>(moment >> 32)) &
        kMomentSteps;
    uint64_t guess = least;
    if ((moment & TsInputRecord::kMomentKnown) != 0 && clock != kNoClock &&
        steps <= kLongestSpanSteps) {
        // What the card had received at the moment, its low 32 bits put by
        // what the view counts: the two lie less than 2^31 apart, as the
        // moment is kept at each latch and every kRateUnits written.
        const uint64_t counted = view.dropped + view.written;
        const uint64_t then = counted + static_cast<int32_t>(static_cast<uint32_t>(moment) -
                                                             static_cast<uint32_t>(counted));
        const uint64_t ticks = uint64_t{steps} << kStepBits;
        const uint64_t received = least + view.written;
        // The most the fastest input can have brought since: the moment's
        // clock and the latch's each lie up to a step before what they date,
        // the latch up to kLatchTicks after its clock, and a look's moment up
        // to kRateUnits / 64 units before its clock.
        const uint64_t most =
            then + Arrivals(kMostRate, ticks + (uint64_t{2} << kStepBits) + kLatchTicks) +
            kRateUnits / 64;
        // One number of wraps only fits: the count is exact, whatever the
        // input's rate was meanwhile, or whether it had a signal.
        if (most < received + kWrap) return least;
        // More fit: the rate measured before, which may have changed since,
        // tells the likeliest, within what the fastest input allows.
        const uint64_t expected = then + Arrivals(rate, ticks);
        if (rate != 0 && expected > received) {
            guess += std::min((expected - received + kWrap / 2) >> 32, (most - received) >> 32)
                     << 32;
        }
    }
    // The captures are told their count is a guess, off by whole multiples
    // of 2^32 unless the estimate is right.
    Word(record->guesses).fetch_add(1);
    return guess;
}

void CAsiInputCount::KeepDropped(View* pView, uint64_t least, uint32_t more, uint64_t clock) {
    TsInputRecord* record = m_pBoardSupport->GetAsiInputRecord(0);
    std::atomic_ref<uint64_t> dropped = Word(record->dropped);
    uint64_t kept = dropped.load();
    // Several processes may latch at once; what is known only grows.
    while ((kept == kUnknown || kept < least) && !dropped.compare_exchange_weak(kept, least)) {
    }
    if (kept == kUnknown || kept < least) kept = least;
    // The doubt the look saw is settled now; one set since belongs to a
    // later commit and stays.
    const uint64_t most = least + more;
    const uint64_t doubt = (pView->doubt >> 32 << 32) + (more != 0 ? uint64_t{1} << 32 : 0) +
                           (most > kept ? most - kept : 0);
    uint64_t seen = pView->doubt;
    Word(record->doubt).compare_exchange_strong(seen, doubt);
    pView->dropped = kept;
    pView->doubt = Word(record->doubt).load();
    // The units received at the latch, this latch's own count with what the
    // card had written, are known at its clock.
    if (more == 0 && clock != kNoClock) {
        KeepReceived(clock, least + pView->written);
    }
}

bool CAsiInputCount::LatchDropped(View* pView) {
    uint32_t count = 0;
    uint32_t before = 0;
    uint32_t after = 0;
    const uint32_t pointer = PointerOf(pView->written);
    // The card's clock read on both sides dates the latch, unless this
    // process was held up between.
    const uint64_t clock = ReadClock();
    if (!m_pBoardSupport->GetTsCapturedPacketsAt(&count, &before, &after) || before != pointer ||
        after != pointer ||
        Word(m_pBoardSupport->GetAsiInputRecord(0)->sequence).load() != pView->sequence) {
        return false;
    }
    if (clock != kNoClock && !DatesLatch(clock)) return false;
    // The card wrote nothing from the look on (less than a window can be
    // written without a commit): its count is what it wrote and dropped.
    KeepDropped(pView, Unwrap(*pView, count - static_cast<uint32_t>(pView->written), clock), 0,
                clock);
    return true;
}

bool CAsiInputCount::SettleDropped(View* pView, uint32_t tries) {
    uint64_t least = 0;
    uint64_t most = kUnknown;
    uint64_t clock = kNoClock;  // of the last latch
    for (uint32_t tried = 0; tried < tries && least != most; ++tried) {
        uint32_t count = 0;
        uint32_t before = 0;
        uint32_t after = 0;
        clock = ReadClock();
        if (!m_pBoardSupport->GetTsCapturedPacketsAt(&count, &before, &after)) return false;
        // A clock that the latch came long after dates nothing.
        if (!DatesLatch(clock)) clock = kNoClock;
        // Under the channel the card only writes on, so what it had written
        // at the latch lies between what it had by the two reads.
        const uint64_t first = WrittenUpTo(pView->written, WindowUnit(before));
        const uint64_t last = WrittenUpTo(first, WindowUnit(after));
        Fill(pView, last);
        const uint64_t high = Unwrap(*pView, count - static_cast<uint32_t>(first), clock);
        const uint64_t low = high - (last - first);
        least = std::max(least, low);
        // While the card has room it drops nothing, and every latch bounds
        // the same figure; one full by the second read may drop on, which
        // only the latches from then on bound.
        most = first == last || pView->full ? high : std::min(most, high);
    }
    if (most == kUnknown) return false;
    KeepDropped(pView, least, static_cast<uint32_t>(std::min<uint64_t>(most - least, UINT32_MAX)),
                clock);
    return true;
}

CAsiInputCount::Commit CAsiInputCount::CommitAt(uint64_t unit, uint32_t port) {
    View view;
    if (!LookHolding(&view) || unit > view.written) return Commit::Failed;
    if (unit < view.committed) return Commit::Behind;
    TsInputRecord* record = m_pBoardSupport->GetAsiInputRecord(0);
    const uint64_t sequence = Word(record->sequence).load();
    Word(record->sequence).store(sequence + 1);
    // Stored first: a process that dies before its commit reaches the card
    // leaves a unit at or past the card's, which no later commit is taken to
    // be behind wrongly.
    Word(record->committed).store(unit);
    const bool committed = m_pBoardSupport->SetAsiInputReadPointer(PointerOf(unit), port) &&
                           m_pBoardSupport->CommitAsiInputReadPointer(port);
    if (!committed) Word(record->committed).store(view.committed);
    const uint64_t full = view.committed + Units() - 1;
    uint32_t now = 0;
    if (ReadWriteUnit(&now)) {
        view.committed = committed ? unit : view.committed;
        Fill(&view, WrittenUpTo(view.written, now));
        Word(record->written).store(view.written);
        // A card that came to the end of its room before the commit reached
        // it dropped what arrived meanwhile, which no look saw: the count is
        // latched now, while no other process can commit.
        if (committed && view.written >= full) SettleDropped(&view, kCommitLatches);
    }
    Word(record->sequence).store(sequence + 2);
    return committed ? Commit::Done : Commit::Failed;
}

}  // namespace velmora::ts

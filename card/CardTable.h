#pragma once

// The process's open cards, by card index. An entry is set from a
// successful Quorvel_Velmora_OpenCard (or a failed one, until the matching
// Quorvel_Velmora_CloseCard) to the Quorvel_Velmora_CloseCard of its index.
//
// Application threads may call on a card while another thread opens or
// closes it: each call on an entry is a CardCall, and the open and the close
// hold a CardEntryChange, which turns new calls away and waits for the calls
// in flight to leave before it touches the card. Every call is bounded (the
// card's waits for fields, frames and transfers time out), so a close never
// waits for ever. An open or close waits for one already under way on
// another thread of the same index.
//
// A process may end (return from main, exit, or unload the library) with
// cards open: the first open arranges that the end closes every card still
// open, as Quorvel_Velmora_CloseCard would, before the library's static
// objects go, and from then on opens are refused.

#include <cstdint>

namespace velmora::card {

class CVelmoraCard;

inline constexpr uint32_t kCardTableSize = 8;

extern CVelmoraCard* g_pCardTable[kCardTableSize];

// One call on the card of an index; Card() is null for an index outside the
// table, an empty entry, or one being opened or closed.
class CardCall {
  public:
    explicit CardCall(uint32_t cardIndex);
    ~CardCall();
    CardCall(const CardCall&) = delete;
    CardCall& operator=(const CardCall&) = delete;

    CVelmoraCard* Card() const { return m_pCard; }

  private:
    uint32_t m_dwCardIndex;
    CVelmoraCard* m_pCard = nullptr;
};

// The open or close of an index: while it lives, calls on the index are
// turned away, and none is in flight. The index must be inside the table.
class CardEntryChange {
  public:
    explicit CardEntryChange(uint32_t cardIndex);
    ~CardEntryChange();
    CardEntryChange(const CardEntryChange&) = delete;
    CardEntryChange& operator=(const CardEntryChange&) = delete;

    // The process is ending: nothing may be opened any more.
    bool ProcessEnding() const;

  private:
    uint32_t m_dwCardIndex;
};

// Closes the card of an index inside the table as Quorvel_Velmora_CloseCard
// does, with its result.
uint32_t CloseCardEntry(uint32_t cardIndex);

// Has the process's end close the cards still open; called before and after
// every open.
void CloseCardsWhenTheProcessEnds(bool afterOpen);

}  // namespace velmora::card

#pragma once

// The process's open cards, by card index. An entry is set from a
// successful Quorvel_Velmora_OpenCard (or a failed one, until the matching
// Quorvel_Velmora_CloseCard) to the Quorvel_Velmora_CloseCard of its index.
// The table has no lock: the application serialises opening and closing an
// index against the other calls on it.

#include <cstdint>

namespace velmora::card {

class CVelmoraCard;

inline constexpr uint32_t kCardTableSize = 8;

extern CVelmoraCard* g_pCardTable[kCardTableSize];

}  // namespace velmora::card

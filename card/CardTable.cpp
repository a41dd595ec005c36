#include "card/CardTable.h"

namespace velmora::card {

CVelmoraCard* g_pCardTable[kCardTableSize] = {};

}  // namespace velmora::card

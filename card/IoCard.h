#pragma once

// The card-family level of the card object; it adds nothing to the base.

#include "card/BaseCard.h"

namespace velmora::card {

class CIoCard : public CBaseCard {
  public:
    using CBaseCard::CBaseCard;
};

}  // namespace velmora::card

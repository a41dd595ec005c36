#include "card/IoCard.h"

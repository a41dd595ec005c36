#include "card/OstrevoNvRam.h"

namespace velmora::card {

COstrevoNvRam::COstrevoNvRam(hw::CIicMaster* pIicMaster) : CNonvolatileRam(pIicMaster) {
    m_byWriteAddress = kEepromAddress;
    m_byReadAddress = kEepromAddress;
}

}  // namespace velmora::card

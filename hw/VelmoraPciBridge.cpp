#include "hw/VelmoraPciBridge.h"

namespace velmora::hw {

CVelmoraPciBridge::CVelmoraPciBridge() {
    m_dwIdEntryCount = 1;
    m_IdTable[0] = {kCardType, kVendorId, kDeviceId};
}

}  // namespace velmora::hw

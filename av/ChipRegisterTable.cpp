#include "av/ChipRegisterTable.h"

namespace velmora::av {

void WriteChipRegisterRowRange(hw::CIicMaster* pIicMaster, uint8_t writeAddress,
                               const CHIP_REGISTER_ROW* rows, uint32_t first, uint32_t end) {
    if (pIicMaster == nullptr || rows == nullptr) return;
    for (uint32_t i = first; i < end; ++i) {
        // One transfer per row, even for consecutive registers: several chips
        // reach banked or indirect registers through repeated rows.
        pIicMaster->Write(writeAddress, rows[i].byRegister, &rows[i].byValue, 1);
    }
}

}  // namespace velmora::av

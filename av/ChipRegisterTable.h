#pragma once

// Register tables of the video chips, and the writer that sends them.
//
// What this header offers (shared by the decoder and encoder drivers):
// - CHIP_REGISTER_ROW: one {register, value} pair.
// - CHIP_REGISTER_TABLE<N>: the stored form of a table, a count byte then N
//   rows, 1 + 2N bytes with no padding. A row is an action, not a setting:
//   the same register may appear twice, and rows go out strictly in order.
// - MakeChipRegisterTable({{reg, value}, ...}): builds a table at compile
//   time with the count byte set to the number of rows (at most 255).
// - WriteChipRegisterTable(master, writeAddress, table): one single-byte IIC
//   Write per row, in order, from row 0 to the count byte. Results are
//   dropped and the table always runs to the end: chip set-up never reports
//   bus errors.
// - WriteChipRegisterRows(master, writeAddress, table, first, end): the same
//   for rows first..end-1 only (for set-ups that pause in the middle of a
//   table); `end` is clamped to the count byte.
// - CHIP_STANDARD_FIELD and WriteChipStandardFields(master, writeAddress,
//   readAddress, steps, pal): a standard switch made of field updates, each
//   step holding its value for both standards; one WriteField per step, in
//   order, results dropped.

#include <cstddef>
#include <cstdint>

#include "hw/IicMaster.h"

namespace velmora::av {

struct CHIP_REGISTER_ROW {
    uint8_t byRegister;
    uint8_t byValue;
};
static_assert(sizeof(CHIP_REGISTER_ROW) == 2);

template <std::size_t N>
struct CHIP_REGISTER_TABLE {
    static_assert(N >= 1 && N <= 255, "the row counter of a table is 8-bit");
    uint8_t byCount;
    CHIP_REGISTER_ROW rows[N];
};
static_assert(sizeof(CHIP_REGISTER_TABLE<1>) == 3);
static_assert(sizeof(CHIP_REGISTER_TABLE<255>) == 511);

template <std::size_t N>
constexpr CHIP_REGISTER_TABLE<N> MakeChipRegisterTable(const CHIP_REGISTER_ROW (&rows)[N]) {
    CHIP_REGISTER_TABLE<N> table{};
    table.byCount = static_cast<uint8_t>(N);
    for (std::size_t i = 0; i < N; ++i)
        table.rows[i] = rows[i];
    return table;
}

// The untyped writer behind the templates: rows[first..end-1], in order.
void WriteChipRegisterRowRange(hw::CIicMaster* pIicMaster, uint8_t writeAddress,
                               const CHIP_REGISTER_ROW* rows, uint32_t first, uint32_t end);

template <std::size_t N>
void WriteChipRegisterRows(hw::CIicMaster* pIicMaster, uint8_t writeAddress,
                           const CHIP_REGISTER_TABLE<N>& table, uint32_t first, uint32_t end) {
    // The count byte is what a table says of itself; it can never reach past
    // the rows the table holds.
    uint32_t count = table.byCount < N ? table.byCount : static_cast<uint32_t>(N);
    if (end > count) end = count;
    WriteChipRegisterRowRange(pIicMaster, writeAddress, table.rows, first, end);
}

// Register byRegister bits byShift..byShift+byWidth-1 := byPalValue or
// byNtscValue (a width of 8 is the whole register).
struct CHIP_STANDARD_FIELD {
    uint8_t byRegister;
    uint8_t byShift;
    uint8_t byWidth;
    uint8_t byPalValue;
    uint8_t byNtscValue;
};

// `readAddress` is where the read half of each update goes.
template <std::size_t N>
void WriteChipStandardFields(hw::CIicMaster* pIicMaster, uint8_t writeAddress, uint8_t readAddress,
                             const CHIP_STANDARD_FIELD (&steps)[N], bool pal) {
    if (pIicMaster == nullptr) return;
    for (const CHIP_STANDARD_FIELD& step : steps) {
        const uint8_t value = pal ? step.byPalValue : step.byNtscValue;
        pIicMaster->WriteField(writeAddress, readAddress, step.byRegister, &value, step.byShift,
                               step.byWidth);
    }
}

template <std::size_t N>
void WriteChipRegisterTable(hw::CIicMaster* pIicMaster, uint8_t writeAddress,
                            const CHIP_REGISTER_TABLE<N>& table) {
    WriteChipRegisterRows(pIicMaster, writeAddress, table, 0, 255);
}

}  // namespace velmora::av

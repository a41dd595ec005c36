#include "ts/Crc32Mpeg.h"

#include <array>

namespace velmora::ts {

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7;

// The standard byte table of the polynomial: entry i is the register after
// feeding byte i into a zero register.
constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x80000000u) ? (c << 1) ^ kPolynomial : c << 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t Crc32Mpeg(const uint8_t* data, uint32_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < length; ++i)
        crc = (crc << 8) ^ kTable[(crc >> 24) ^ data[i]];
    return crc;
}

}  // namespace velmora::ts

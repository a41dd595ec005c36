#include "record/MpegVlcTables.h"

#include <cstring>
#include <iterator>

#include "record/BitStream.h"

namespace velmora::record {

CVlcTable::CVlcTable(const VLC_CODE* codes, size_t count, uint32_t maxBits)
    : m_Entries(size_t{1} << maxBits, Entry{0, 0}), m_uMaxBits(maxBits) {
    for (size_t i = 0; i < count; ++i) {
        const uint32_t length = static_cast<uint32_t>(std::strlen(codes[i].bits));
        uint32_t code = 0;
        for (uint32_t b = 0; b < length; ++b)
            code = (code << 1) | (codes[i].bits[b] == '1');
        const uint32_t first = code << (maxBits - length);
        for (uint32_t j = 0; j < (1u << (maxBits - length)); ++j) {
            m_Entries[first + j] = Entry{codes[i].value, static_cast<uint8_t>(length)};
        }
    }
}

bool CVlcTable::Decode(int32_t* value) const {
    const Entry& e = m_Entries[ShowBits(m_uMaxBits)];
    if (e.length == 0) return false;
    SkipBits(e.length);
    *value = e.value;
    return true;
}

namespace {

template <size_t N>
CVlcTable Make(const VLC_CODE (&codes)[N], uint32_t maxBits) {
    return CVlcTable(codes, N, maxBits);
}

// macroblock_type flags: quant 1, forward 2, backward 4, pattern 8, intra 16.
constexpr int32_t Q = 1, F = 2, B = 4, P = 8, I = 16;

const VLC_CODE kAddressIncrement[] = {
    {"1", 1},
    {"011", 2},
    {"010", 3},
    {"0011", 4},
    {"0010", 5},
    {"00011", 6},
    {"00010", 7},
    {"0000111", 8},
    {"0000110", 9},
    {"00001011", 10},
    {"00001010", 11},
    {"00001001", 12},
    {"00001000", 13},
    {"00000111", 14},
    {"00000110", 15},
    {"0000010111", 16},
    {"0000010110", 17},
    {"0000010101", 18},
    {"0000010100", 19},
    {"0000010011", 20},
    {"0000010010", 21},
    {"00000100011", 22},
    {"00000100010", 23},
    {"00000100001", 24},
    {"00000100000", 25},
    {"00000011111", 26},
    {"00000011110", 27},
    {"00000011101", 28},
    {"00000011100", 29},
    {"00000011011", 30},
    {"00000011010", 31},
    {"00000011001", 32},
    {"00000011000", 33},
};

const VLC_CODE kTypeI[] = {{"1", I}, {"01", Q | I}};
const VLC_CODE kTypeP[] = {
    {"1", F | P},         {"01", P},        {"001", F},        {"00011", I},
    {"00010", Q | F | P}, {"00001", Q | P}, {"000001", Q | I},
};
const VLC_CODE kTypeB[] = {
    {"10", F | B},         {"11", F | B | P},     {"010", B},        {"011", B | P},
    {"0010", F},           {"0011", F | P},       {"00011", I},      {"00010", Q | F | B | P},
    {"000011", Q | F | P}, {"000010", Q | B | P}, {"000001", Q | I},
};
// I pictures with spatial scalability: coded-compatible macroblocks carry
// the pattern flag only.
const VLC_CODE kTypeISpatial[] = {
    {"1", P}, {"01", Q | P}, {"0011", I}, {"0010", Q | I}, {"0001", 0},
};

const VLC_CODE kMotionCode[] = {
    {"1", 0},
    {"010", 1},
    {"011", -1},
    {"0010", 2},
    {"0011", -2},
    {"00010", 3},
    {"00011", -3},
    {"0000110", 4},
    {"0000111", -4},
    {"00001010", 5},
    {"00001011", -5},
    {"00001000", 6},
    {"00001001", -6},
    {"00000110", 7},
    {"00000111", -7},
    {"0000010110", 8},
    {"0000010111", -8},
    {"0000010100", 9},
    {"0000010101", -9},
    {"0000010010", 10},
    {"0000010011", -10},
    {"00000100010", 11},
    {"00000100011", -11},
    {"00000100000", 12},
    {"00000100001", -12},
    {"00000011110", 13},
    {"00000011111", -13},
    {"00000011100", 14},
    {"00000011101", -14},
    {"00000011010", 15},
    {"00000011011", -15},
    {"00000011000", 16},
    {"00000011001", -16},
};

const VLC_CODE kDmvector[] = {{"0", 0}, {"10", 1}, {"11", -1}};

const VLC_CODE kDcSizeLuminance[] = {
    {"100", 0},     {"00", 1},       {"01", 2},         {"101", 3},
    {"110", 4},     {"1110", 5},     {"11110", 6},      {"111110", 7},
    {"1111110", 8}, {"11111110", 9}, {"111111110", 10}, {"111111111", 11},
};
const VLC_CODE kDcSizeChrominance[] = {
    {"00", 0},       {"01", 1},        {"10", 2},          {"110", 3},
    {"1110", 4},     {"11110", 5},     {"111110", 6},      {"1111110", 7},
    {"11111110", 8}, {"111111110", 9}, {"1111111110", 10}, {"1111111111", 11},
};

struct DCT_CODE {
    const char* bits;  // without the sign bit
    uint8_t run;
    uint8_t level;
};

// Codes of B-14 and B-15 alike (run, level), from 12 bits on.
const DCT_CODE kDctCommonLong[] = {
    {"000000011111", 17, 1},     {"000000011010", 18, 1},     {"000000011001", 19, 1},
    {"000000010111", 20, 1},     {"000000010110", 21, 1},     {"000000011100", 3, 3},
    {"000000010010", 4, 3},      {"000000011110", 6, 2},      {"000000010101", 7, 2},
    {"000000010001", 8, 2},      {"0000000010110", 1, 6},     {"0000000010101", 1, 7},
    {"0000000010100", 2, 5},     {"0000000010011", 3, 4},     {"0000000010010", 5, 3},
    {"0000000010001", 9, 2},     {"0000000010000", 10, 2},    {"0000000011111", 22, 1},
    {"0000000011110", 23, 1},    {"0000000011101", 24, 1},    {"0000000011100", 25, 1},
    {"0000000011011", 26, 1},    {"00000000011111", 0, 16},   {"00000000011110", 0, 17},
    {"00000000011101", 0, 18},   {"00000000011100", 0, 19},   {"00000000011011", 0, 20},
    {"00000000011010", 0, 21},   {"00000000011001", 0, 22},   {"00000000011000", 0, 23},
    {"00000000010111", 0, 24},   {"00000000010110", 0, 25},   {"00000000010101", 0, 26},
    {"00000000010100", 0, 27},   {"00000000010011", 0, 28},   {"00000000010010", 0, 29},
    {"00000000010001", 0, 30},   {"00000000010000", 0, 31},   {"000000000011000", 0, 32},
    {"000000000010111", 0, 33},  {"000000000010110", 0, 34},  {"000000000010101", 0, 35},
    {"000000000010100", 0, 36},  {"000000000010011", 0, 37},  {"000000000010010", 0, 38},
    {"000000000010001", 0, 39},  {"000000000010000", 0, 40},  {"000000000011111", 1, 8},
    {"000000000011110", 1, 9},   {"000000000011101", 1, 10},  {"000000000011100", 1, 11},
    {"000000000011011", 1, 12},  {"000000000011010", 1, 13},  {"000000000011001", 1, 14},
    {"0000000000010011", 1, 15}, {"0000000000010010", 1, 16}, {"0000000000010001", 1, 17},
    {"0000000000010000", 1, 18}, {"0000000000010100", 6, 3},  {"0000000000011010", 11, 2},
    {"0000000000011001", 12, 2}, {"0000000000011000", 13, 2}, {"0000000000010111", 14, 2},
    {"0000000000010110", 15, 2}, {"0000000000010101", 16, 2}, {"0000000000011111", 27, 1},
    {"0000000000011110", 28, 1}, {"0000000000011101", 29, 1}, {"0000000000011100", 30, 1},
    {"0000000000011011", 31, 1},
};

// B-14 up to 12 bits (the intra form: "11" is run 0 level 1, "10" ends the
// block).
const DCT_CODE kDctTableZero[] = {
    {"11", 0, 1},
    {"011", 1, 1},
    {"0100", 0, 2},
    {"0101", 2, 1},
    {"00101", 0, 3},
    {"00111", 3, 1},
    {"00110", 4, 1},
    {"000110", 1, 2},
    {"000111", 5, 1},
    {"000101", 6, 1},
    {"000100", 7, 1},
    {"0000110", 0, 4},
    {"0000100", 2, 2},
    {"0000111", 8, 1},
    {"0000101", 9, 1},
    {"00100110", 0, 5},
    {"00100001", 0, 6},
    {"00100101", 1, 3},
    {"00100100", 3, 2},
    {"00100111", 10, 1},
    {"00100011", 11, 1},
    {"00100010", 12, 1},
    {"00100000", 13, 1},
    {"0000001010", 0, 7},
    {"0000001100", 1, 4},
    {"0000001011", 2, 3},
    {"0000001111", 4, 2},
    {"0000001001", 5, 2},
    {"0000001110", 14, 1},
    {"0000001101", 15, 1},
    {"0000001000", 16, 1},
    {"000000011101", 0, 8},
    {"000000011000", 0, 9},
    {"000000010011", 0, 10},
    {"000000010000", 0, 11},
    {"000000011011", 1, 5},
    {"000000010100", 2, 4},
    {"0000000011010", 0, 12},
    {"0000000011001", 0, 13},
    {"0000000011000", 0, 14},
    {"0000000010111", 0, 15},
};

// B-15 where it differs from B-14.
const DCT_CODE kDctTableOne[] = {
    {"10", 0, 1},         {"010", 1, 1},        {"110", 0, 2},         {"00101", 2, 1},
    {"0111", 0, 3},       {"00111", 3, 1},      {"000110", 4, 1},      {"00110", 1, 2},
    {"000111", 5, 1},     {"0000110", 6, 1},    {"0000100", 7, 1},     {"11100", 0, 4},
    {"0000111", 2, 2},    {"0000101", 8, 1},    {"1111000", 9, 1},     {"11101", 0, 5},
    {"000101", 0, 6},     {"1111001", 1, 3},    {"00100110", 3, 2},    {"1111010", 10, 1},
    {"00100001", 11, 1},  {"00100101", 12, 1},  {"00100100", 13, 1},   {"000100", 0, 7},
    {"00100111", 1, 4},   {"11111100", 2, 3},   {"11111101", 4, 2},    {"000000100", 5, 2},
    {"000000101", 14, 1}, {"000000111", 15, 1}, {"0000001101", 16, 1}, {"1111011", 0, 8},
    {"1111100", 0, 9},    {"00100011", 0, 10},  {"00100010", 0, 11},   {"00100000", 1, 5},
    {"0000001100", 2, 4}, {"11111010", 0, 12},  {"11111011", 0, 13},   {"11111110", 0, 14},
    {"11111111", 0, 15},
};

void Fill(DCT_COEFFICIENT_TABLE& table, const char* bits, DCT_COEFFICIENT_CODE code) {
    const uint32_t length = static_cast<uint32_t>(std::strlen(bits));
    uint32_t value = 0;
    for (uint32_t b = 0; b < length; ++b)
        value = (value << 1) | (bits[b] == '1');
    code.length = static_cast<uint8_t>(length);
    if (length <= 8 && (value << (16 - length)) >= 0x400) {
        const uint32_t first = value << (8 - length);
        for (uint32_t j = 0; j < (1u << (8 - length)); ++j)
            table.shortCodes[first + j] = code;
    } else {
        const uint32_t first = value << (16 - length);
        for (uint32_t j = 0; j < (1u << (16 - length)); ++j)
            table.longCodes[first + j] = code;
    }
}

template <size_t N>
DCT_COEFFICIENT_TABLE MakeDct(const DCT_CODE (&codes)[N], const char* endOfBlock) {
    DCT_COEFFICIENT_TABLE table{};
    for (const DCT_CODE& c : codes)
        Fill(table, c.bits, {0, c.run, kDctRunLevel, c.level});
    for (const DCT_CODE& c : kDctCommonLong)
        Fill(table, c.bits, {0, c.run, kDctRunLevel, c.level});
    Fill(table, endOfBlock, {0, 0, kDctEndOfBlock, 0});
    Fill(table, "000001", {0, 0, kDctEscape, 0});
    return table;
}

}  // namespace

const CVlcTable& MacroblockAddressIncrementTable() {
    static const CVlcTable table = Make(kAddressIncrement, 11);
    return table;
}

const CVlcTable& MacroblockTypeTable(uint32_t pictureCodingType, bool spatialScalable) {
    static const CVlcTable i = Make(kTypeI, 2);
    static const CVlcTable p = Make(kTypeP, 6);
    static const CVlcTable b = Make(kTypeB, 6);
    static const CVlcTable iSpatial = Make(kTypeISpatial, 4);
    if (pictureCodingType == 1) return spatialScalable ? iSpatial : i;
    return pictureCodingType == 2 ? p : b;
}

const CVlcTable& MotionCodeTable() {
    static const CVlcTable table = Make(kMotionCode, 11);
    return table;
}

const CVlcTable& DmvectorTable() {
    static const CVlcTable table = Make(kDmvector, 2);
    return table;
}

const CVlcTable& DctDcSizeLuminanceTable() {
    static const CVlcTable table = Make(kDcSizeLuminance, 9);
    return table;
}

const CVlcTable& DctDcSizeChrominanceTable() {
    static const CVlcTable table = Make(kDcSizeChrominance, 10);
    return table;
}

const DCT_COEFFICIENT_TABLE& DctCoefficientTable(uint32_t intraVlcFormat) {
    static const DCT_COEFFICIENT_TABLE zero = MakeDct(kDctTableZero, "10");
    static const DCT_COEFFICIENT_TABLE one = MakeDct(kDctTableOne, "0110");
    return intraVlcFormat != 0 ? one : zero;
}

const uint8_t g_ZigzagScan[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

const uint8_t g_AlternateScan[64] = {
    0,  8,  16, 24, 1,  9,  2,  10, 17, 25, 32, 40, 48, 56, 57, 49, 41, 33, 26, 18, 3,  11,
    4,  12, 19, 27, 34, 42, 50, 58, 35, 43, 51, 59, 20, 28, 5,  13, 6,  14, 21, 29, 36, 44,
    52, 60, 37, 45, 53, 61, 22, 30, 7,  15, 23, 31, 38, 46, 54, 62, 39, 47, 55, 63,
};

const uint8_t g_DefaultIntraQuantiserMatrix[64] = {
    8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37, 19, 22, 26, 27, 29, 34,
    34, 38, 22, 22, 26, 27, 29, 34, 37, 40, 22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32,
    35, 40, 48, 58, 26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83,
};

const uint8_t g_QuantiserScale[2][32] = {
    {255, 2,  4,  6,  8,  10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30,
     32,  34, 36, 38, 40, 42, 44, 46, 48, 50, 52, 54, 56, 58, 60, 62},
    {255, 1,  2,  3,  4,  5,  6,  7,  8,  10, 12, 14, 16, 18, 20,  22,
     24,  28, 32, 36, 40, 44, 48, 52, 56, 64, 72, 80, 88, 96, 104, 112},
};

}  // namespace velmora::record

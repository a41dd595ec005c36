#pragma once

// The variable-length code tables of ISO/IEC 13818-2 that the intra slice
// decoder reads, as direct look-up tables built once from the standard's
// code lists.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::record {

// One code list entry: its bits as text ('0'/'1') and the value it stands for.
struct VLC_CODE {
    const char* bits;
    int32_t value;
};

// A look-up table indexed by the next maxBits bits of the stream.
class CVlcTable {
  public:
    CVlcTable(const VLC_CODE* codes, size_t count, uint32_t maxBits);
    // Reads one code through the bit reader; false (nothing read) when the
    // next bits are none of the table's codes.
    bool Decode(int32_t* value) const;

  private:
    struct Entry {
        int32_t value;
        uint8_t length;  // 0: no code
    };
    std::vector<Entry> m_Entries;
    uint32_t m_uMaxBits;
};

const CVlcTable& MacroblockAddressIncrementTable();  // B-1
// B-2 to B-4 by picture coding type (1 to 3); B-5 for I pictures with
// spatial scalability. Values are the macroblock_type flags.
const CVlcTable& MacroblockTypeTable(uint32_t pictureCodingType, bool spatialScalable);
const CVlcTable& MotionCodeTable();            // B-10, sign included
const CVlcTable& DmvectorTable();              // B-11
const CVlcTable& DctDcSizeLuminanceTable();    // B-12
const CVlcTable& DctDcSizeChrominanceTable();  // B-13

// B-14 (table 0) and B-15 (table 1) without their sign bits.
struct DCT_COEFFICIENT_CODE {
    uint8_t length;  // 0: no code
    uint8_t run;
    uint8_t kind;  // 0 run/level, 1 end_of_block, 2 escape
    uint8_t level;
};
inline constexpr uint8_t kDctRunLevel = 0;
inline constexpr uint8_t kDctEndOfBlock = 1;
inline constexpr uint8_t kDctEscape = 2;
// Codes of up to 8 bits by the next 8 bits; the longer ones all begin with
// six zeros and are found by the 10 bits behind those.
struct DCT_COEFFICIENT_TABLE {
    DCT_COEFFICIENT_CODE shortCodes[256];
    DCT_COEFFICIENT_CODE longCodes[1024];
};
const DCT_COEFFICIENT_TABLE& DctCoefficientTable(uint32_t intraVlcFormat);
inline const DCT_COEFFICIENT_CODE& LookUpDctCoefficient(const DCT_COEFFICIENT_TABLE& table,
                                                        uint32_t next16) {
    return next16 >= 0x400 ? table.shortCodes[next16 >> 8] : table.longCodes[next16];
}

// Scans: raster position of the n-th coefficient.
extern const uint8_t g_ZigzagScan[64];
extern const uint8_t g_AlternateScan[64];
extern const uint8_t g_DefaultIntraQuantiserMatrix[64];  // raster order
// Table 7-6: quantiser_scale by q_scale_type and quantiser_scale_code.
extern const uint8_t g_QuantiserScale[2][32];

}  // namespace velmora::record

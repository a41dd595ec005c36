#pragma once

// The intra slice decoder: turns the slices of an I picture into a thumbnail
// with one pixel for every 8 x 8 luminance block, from the DC coefficients
// (the parser's mode) or from the fully reconstructed blocks.

#include <cstdint>

#include "record/MpegVideoInfo.h"

namespace velmora::record {

enum MacroblockTypeFlag : uint32_t {
    kMbQuant = 1u << 0,
    kMbMotionForward = 1u << 1,
    kMbMotionBackward = 1u << 2,
    kMbPattern = 1u << 3,
    kMbIntra = 1u << 4,
    kMbSpatialTemporalWeightCode = 1u << 5,
};

// What the decoder keeps of one macroblock; motion data is parsed and kept
// only to follow the bit stream.
struct MACROBLOCK_STATE {
    uint32_t typeFlags;
    uint32_t spatialTemporalWeightCode;
    uint32_t frameMotionType;
    uint32_t fieldMotionType;
    uint32_t dctType;
    uint32_t predictionType;
    uint32_t motionVectorCount;
    uint32_t mvFormat;  // 0 field, 1 frame
    uint32_t dmv;
    int32_t motionCode[2][2][2];
    uint32_t motionResidual[2][2][2];
    int32_t dmvector[2];
    uint32_t motionVerticalFieldSelect[2][2];
    uint32_t patternCode[12];
};

// Decodes one slice; the bit reader stands just behind the slice start
// code's value byte. True when the slice ended at a start code, false when a
// code could not be decoded or the slice cannot be followed (a macroblock
// that is not intra, SNR scalability, a chroma format outside 1 to 3, a
// picture narrower than one macroblock). The full mode needs SelectIdct.
bool DecodeIntraPicture(uint32_t sliceStartCode, uint8_t fullDecode, MPEG_THUMBNAIL* thumbnail,
                        const MPEG_SEQUENCE_INFO* sequence, const MPEG_PICTURE_INFO* picture);

// The slice decoder itself: after each macroblock, `visit` (when given)
// receives its column and row while its blocks' DC values are at hand.
using MacroblockVisitor = void (*)(uint32_t column, uint64_t row, uint32_t chromaFormat,
                                   uint32_t precision, void* context);
bool DecodeIntraSlice(uint32_t sliceStartCode, uint8_t fullDecode,
                      const MPEG_SEQUENCE_INFO* sequence, const MPEG_PICTURE_INFO* picture,
                      MacroblockVisitor visit, void* context);

// The colour of luminance block b (0 to 3) of the macroblock just decoded,
// from its DC values and those of its chrominance: blue, green, red.
void LuminanceBlockColour(uint32_t b, uint32_t chromaFormat, uint32_t precision, uint8_t* bgr);

// The code readers; each returns false on a code its table does not hold.
bool GetMacroblockAddressIncrement(uint32_t* increment);
bool GetMacroblockType(uint32_t* flags, uint32_t pictureCodingType, uint32_t scalableMode);
bool GetDctDcSizeLuminance(uint32_t* size);
bool GetDctDcSizeChrominance(uint32_t* size);
bool GetDctCoefficient(uint32_t index, uint32_t intraVlcFormat, bool* endOfBlock, int32_t* run,
                       int32_t* level);
bool SkipDctCoefficients(uint32_t index, uint32_t intraVlcFormat, MACROBLOCK_STATE* state);
bool GetMotionCode(int32_t* code);
bool ParseMotionVectors(uint32_t s, const MPEG_PICTURE_INFO* picture, MACROBLOCK_STATE* state);
bool ParseMotionVector(uint32_t r, uint32_t s, const MPEG_PICTURE_INFO* picture,
                       MACROBLOCK_STATE* state);

}  // namespace velmora::record

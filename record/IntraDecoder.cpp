#include "record/IntraDecoder.h"

#include <algorithm>
#include <cstring>

#include "record/BitStream.h"
#include "record/Idct.h"
#include "record/MpegVlcTables.h"

namespace velmora::record {

namespace {

// The block store and the transform's output; one per thread, so a file tool
// and a recording task never share them.
struct alignas(16) DECODER_BLOCKS {
    int16_t blocks[12][64];
    int16_t output[64];
};
thread_local DECODER_BLOCKS g_DecoderBlocks;

constexpr uint32_t kScalableDataPartitioning = 0;
constexpr uint32_t kScalableSpatial = 1;
constexpr uint32_t kScalableSnr = 2;

bool FramePicture(const MPEG_PICTURE_INFO* picture) {
    return picture->pictureStructure == 3;
}

void ResetDcPredictors(int32_t* predictors, uint32_t precision) {
    for (int i = 0; i < 3; ++i)
        predictors[i] = 128 << precision;
}

// The weighting of intra blocks in raster order: the quant matrix
// extension's, else the sequence header's, else the default matrix.
void IntraWeights(const MPEG_SEQUENCE_INFO* sequence, const MPEG_PICTURE_INFO* picture, bool chroma,
                  uint8_t* weights) {
    const uint8_t* streamOrder = nullptr;
    if (chroma && (picture->flags & kPicLoadChromaIntraQuantiserMatrix)) {
        streamOrder = picture->chromaIntraQuantiserMatrix;
    } else if (picture->flags & kPicLoadIntraQuantiserMatrix) {
        streamOrder = picture->intraQuantiserMatrix;
    } else if (sequence->flags & kSeqLoadIntraQuantiserMatrix) {
        streamOrder = sequence->intraQuantiserMatrix;
    }
    for (int i = 0; i < 64; ++i) {
        weights[g_ZigzagScan[i]] = streamOrder != nullptr
                                       ? streamOrder[i]
                                       : g_DefaultIntraQuantiserMatrix[g_ZigzagScan[i]];
    }
}

// The standard's intra reconstruction of one block, its inverse DCT, and the
// mean sample (times 2^precision) as the block's DC value.
bool DecodeFullBlock(int16_t* block, uint32_t intraVlcFormat, uint32_t quantiserScale,
                     const uint8_t* weights, const MPEG_PICTURE_INFO* picture) {
    static constexpr int32_t kIntraDcMult[4] = {8, 4, 2, 1};
    const uint8_t* scan = (picture->flags & kPicAlternateScan) ? g_AlternateScan : g_ZigzagScan;
    const uint32_t precision = picture->intraDcPrecision & 3;
    int32_t coefficients[64] = {};
    coefficients[0] = std::clamp(block[0] * kIntraDcMult[precision], -2048, 2047);
    uint32_t n = 1;
    for (;;) {
        bool endOfBlock = false;
        int32_t run = 0, level = 0;
        if (!GetDctCoefficient(n, intraVlcFormat, &endOfBlock, &run, &level)) return false;
        if (endOfBlock) break;
        n += static_cast<uint32_t>(run);
        if (n < 64) {
            const int32_t value = (2 * level * static_cast<int32_t>(weights[scan[n]]) *
                                   static_cast<int32_t>(quantiserScale)) /
                                  32;
            coefficients[scan[n]] = std::clamp(value, -2048, 2047);
        }
        ++n;
    }
    int32_t sum = 0;
    for (int i = 0; i < 64; ++i)
        sum += coefficients[i];
    if ((sum & 1) == 0) coefficients[63] ^= 1;  // mismatch control
    for (int i = 0; i < 64; ++i)
        block[i] = static_cast<int16_t>(coefficients[i]);

    idct* transform = GetSelectedIdct();
    if (transform == nullptr) return false;
    int16_t* output = g_DecoderBlocks.output;
    transform->Transform(block, output);
    int32_t samples = 0;
    for (int i = 0; i < 64; ++i)
        samples += std::clamp<int32_t>(output[i], 0, 255);
    block[0] = static_cast<int16_t>(((samples << precision) + 32) / 64);
    return true;
}

void WritePixels(MPEG_THUMBNAIL* thumbnail, uint32_t column, uint32_t row, uint32_t chromaFormat,
                 uint32_t precision) {
    for (uint32_t b = 0; b < 4; ++b) {
        const uint64_t x = 2ull * column + (b & 1);
        const uint64_t y = 2ull * row + b / 2;
        if (x >= thumbnail->maximumWidth || y >= thumbnail->maximumHeight) continue;
        uint8_t* pixel =
            thumbnail->pixels + (thumbnail->maximumHeight - y - 1) * thumbnail->stride + 3 * x;
        LuminanceBlockColour(b, chromaFormat, precision, pixel);
    }
}

}  // namespace

void LuminanceBlockColour(uint32_t b, uint32_t chromaFormat, uint32_t precision, uint8_t* bgr) {
    const int16_t(*blocks)[64] = g_DecoderBlocks.blocks;
    const float scale = static_cast<float>(1u << precision);
    // 4:2:0 has one Cb/Cr pair; in 4:2:2 blocks 6/7 cover the lower
    // luminance blocks; 4:4:4 has a pair for every luminance block, its Cb
    // blocks 4, 8 over 6, 10 (the pairs run down the columns).
    uint32_t cb = 4, cr = 5;
    if (chromaFormat == 2 && b >= 2) cb = 6, cr = 7;
    if (chromaFormat == 3) {
        const uint32_t pair = 2 * (b & 1) + b / 2;
        cb = 4 + 2 * pair, cr = 5 + 2 * pair;
    }
    const float yl = (blocks[b][0] - 16.0f * scale) / (219.0f * scale);
    const float u = (blocks[cb][0] - 128.0f * scale) / (224.0f * scale);
    const float v = (blocks[cr][0] - 128.0f * scale) / (224.0f * scale);
    const float rgb[3] = {
        1.0018f * yl + 1.8556f * u + 0.0010f * v,  // blue
        0.9998f * yl - 0.1873f * u - 0.4580f * v,  // green
        1.0f * yl + 0.0007f * u + 1.5751f * v,     // red
    };
    for (int c = 0; c < 3; ++c) {
        const int32_t value = static_cast<int32_t>(rgb[c] * 255.0f);
        bgr[c] = static_cast<uint8_t>(std::clamp(value, 0, 255));
    }
}

bool GetMacroblockAddressIncrement(uint32_t* increment) {
    int32_t value = 0;
    if (!MacroblockAddressIncrementTable().Decode(&value)) return false;
    *increment = static_cast<uint32_t>(value);
    return true;
}

bool GetMacroblockType(uint32_t* flags, uint32_t pictureCodingType, uint32_t scalableMode) {
    if (pictureCodingType < 1 || pictureCodingType > 3 || scalableMode == kScalableSnr)
        return false;
    const bool spatial = scalableMode == kScalableSpatial;
    // The spatial-scalability tables of P and B pictures are not decoded:
    // no macroblock of theirs could be followed further.
    if (spatial && pictureCodingType != 1) return false;
    int32_t value = 0;
    if (!MacroblockTypeTable(pictureCodingType, spatial).Decode(&value)) return false;
    *flags = static_cast<uint32_t>(value);
    return true;
}

bool GetDctDcSizeLuminance(uint32_t* size) {
    int32_t value = 0;
    if (!DctDcSizeLuminanceTable().Decode(&value)) return false;
    *size = static_cast<uint32_t>(value);
    return true;
}

bool GetDctDcSizeChrominance(uint32_t* size) {
    int32_t value = 0;
    if (!DctDcSizeChrominanceTable().Decode(&value)) return false;
    *size = static_cast<uint32_t>(value);
    return true;
}

namespace {

// One coefficient code with its sign or escape fields, read from one look
// at the next 64 bits.
inline bool ReadDctCoefficient(BIT_STREAM_STATE& s, const DCT_COEFFICIENT_TABLE& table,
                               bool* endOfBlock, int32_t* run, int32_t* level) {
    const uint64_t window = PeekWindow(s);
    const DCT_COEFFICIENT_CODE& code =
        LookUpDctCoefficient(table, static_cast<uint32_t>(window >> 48));
    if (code.length == 0) return false;
    *endOfBlock = code.kind == kDctEndOfBlock;
    if (code.kind == kDctEndOfBlock) {
        *run = 0;
        *level = 0;
        AdvanceBits(s, code.length);
    } else if (code.kind == kDctEscape) {
        *run = static_cast<int32_t>((window >> 52) & 63);
        const int32_t raw = static_cast<int32_t>((window >> 40) & 0xFFF);
        *level = raw >= 2048 ? raw - 4096 : raw;
        AdvanceBits(s, 24);
    } else {
        *run = code.run;
        const bool negative = ((window >> (63 - code.length)) & 1) != 0;
        *level = negative ? -static_cast<int32_t>(code.level) : code.level;
        AdvanceBits(s, code.length + 1);
    }
    return true;
}

}  // namespace

bool GetDctCoefficient(uint32_t /*index*/, uint32_t intraVlcFormat, bool* endOfBlock, int32_t* run,
                       int32_t* level) {
    return ReadDctCoefficient(g_BitStream, DctCoefficientTable(intraVlcFormat), endOfBlock, run,
                              level);
}

bool SkipDctCoefficients(uint32_t index, uint32_t intraVlcFormat, MACROBLOCK_STATE* /*state*/) {
    BIT_STREAM_STATE& s = g_BitStream;
    const DCT_COEFFICIENT_TABLE& table = DctCoefficientTable(intraVlcFormat);
    for (;;) {
        bool endOfBlock = false;
        int32_t run = 0, level = 0;
        if (!ReadDctCoefficient(s, table, &endOfBlock, &run, &level)) return false;
        if (endOfBlock) return true;
        index += static_cast<uint32_t>(run) + 1;
        // A block holds 64 coefficients; more means the stream is not
        // followed any longer.
        if (index > 64) return false;
    }
}

bool GetMotionCode(int32_t* code) {
    return MotionCodeTable().Decode(code);
}

bool ParseMotionVector(uint32_t r, uint32_t s, const MPEG_PICTURE_INFO* picture,
                       MACROBLOCK_STATE* state) {
    for (uint32_t t = 0; t < 2; ++t) {
        if (!GetMotionCode(&state->motionCode[r][s][t])) return false;
        const uint32_t fCode = picture->fCodes[2 * s + t];
        if (fCode != 1 && state->motionCode[r][s][t] != 0) {
            if (fCode == 0 || fCode > 9) return false;
            state->motionResidual[r][s][t] = GetBits(fCode - 1);
        }
        if (state->dmv == 1) {
            if (!DmvectorTable().Decode(&state->dmvector[t])) return false;
        }
    }
    return true;
}

bool ParseMotionVectors(uint32_t s, const MPEG_PICTURE_INFO* picture, MACROBLOCK_STATE* state) {
    if (state->motionVectorCount == 1) {
        if (state->mvFormat == 0 && state->dmv == 0) {
            state->motionVerticalFieldSelect[0][s] = GetBits(1);
        }
        return ParseMotionVector(0, s, picture, state);
    }
    state->motionVerticalFieldSelect[0][s] = GetBits(1);
    if (!ParseMotionVector(0, s, picture, state)) return false;
    state->motionVerticalFieldSelect[1][s] = GetBits(1);
    return ParseMotionVector(1, s, picture, state);
}

bool DecodeIntraPicture(uint32_t sliceStartCode, uint8_t fullDecode, MPEG_THUMBNAIL* thumbnail,
                        const MPEG_SEQUENCE_INFO* sequence, const MPEG_PICTURE_INFO* picture) {
    if (thumbnail != nullptr && thumbnail->pixels == nullptr) thumbnail = nullptr;
    if (thumbnail == nullptr) {
        return DecodeIntraSlice(sliceStartCode, fullDecode, sequence, picture, nullptr, nullptr);
    }
    return DecodeIntraSlice(
        sliceStartCode, fullDecode, sequence, picture,
        [](uint32_t column, uint64_t row, uint32_t chromaFormat, uint32_t precision,
           void* context) {
            if (row <= UINT32_MAX / 2) {
                WritePixels(static_cast<MPEG_THUMBNAIL*>(context), column,
                            static_cast<uint32_t>(row), chromaFormat, precision);
            }
        },
        thumbnail);
}

bool DecodeIntraSlice(uint32_t sliceStartCode, uint8_t fullDecode,
                      const MPEG_SEQUENCE_INFO* sequence, const MPEG_PICTURE_INFO* picture,
                      MacroblockVisitor visit, void* context) {
    if (sequence == nullptr || picture == nullptr) return false;
    const uint32_t chromaFormat = sequence->chromaFormat;
    if (chromaFormat < 1 || chromaFormat > 3) return false;
    const bool scalable = sequence->sequenceScalableExtensionId != 0;
    if (scalable && sequence->scalableMode == kScalableSnr) return false;
    const uint32_t columns = (sequence->horizontalSize + 15) / 16;
    if (columns == 0) return false;

    const uint32_t precision = picture->intraDcPrecision & 3;
    const uint32_t intraVlc = (picture->flags & kPicIntraVlcFormat) ? 1 : 0;
    const uint32_t qScaleType = (picture->flags & kPicQScaleType) ? 1 : 0;
    int32_t predictors[3];
    ResetDcPredictors(predictors, precision);

    // Slice header.
    const uint32_t verticalPositionExtension = sequence->verticalSize > 2800 ? GetBits(3) : 0;
    if (scalable && sequence->scalableMode == kScalableDataPartitioning) GetBits(7);
    uint32_t quantiserScaleCode = GetBits(5);
    if (GetBits(1) != 0) {
        GetBits(1);  // intra_slice
        SkipBits(7);
        while (GetBits(1) != 0) {
            SkipBits(8);
            if (BitsLeft() < 0) return false;
        }
    }
    const uint64_t row = (uint64_t{verticalPositionExtension} << 7) + sliceStartCode - 1;
    int64_t address = static_cast<int64_t>(row * columns) - 1;

    const uint32_t blockCount = chromaFormat == 1 ? 6 : (chromaFormat == 2 ? 8 : 12);
    uint8_t lumaWeights[64], chromaWeights[64];
    if (fullDecode != 0) {
        IntraWeights(sequence, picture, false, lumaWeights);
        IntraWeights(sequence, picture, chromaFormat != 1, chromaWeights);
    }

    for (;;) {
        uint32_t increment = 0;
        while (ShowBits(11) == 0x008) {
            SkipBits(11);
            increment += 33;
        }
        uint32_t code = 0;
        if (!GetMacroblockAddressIncrement(&code)) return false;
        increment += code;
        address += increment;
        const uint32_t column = static_cast<uint32_t>(address % columns);
        const uint64_t mbRow = static_cast<uint64_t>(address) / columns;
        MACROBLOCK_STATE state{};

        if (!GetMacroblockType(&state.typeFlags, picture->pictureCodingType,
                               scalable ? sequence->scalableMode : 3)) {
            return false;
        }
        // Only intra macroblocks can be followed; anything else needs the
        // reference pictures' data this decoder does not keep.
        if ((state.typeFlags & kMbIntra) == 0) return false;
        if ((state.typeFlags & kMbSpatialTemporalWeightCode) &&
            picture->spatialTemporalWeightCodeTableIndex != 0) {
            state.spatialTemporalWeightCode = GetBits(2);
        }
        const bool frame = FramePicture(picture);
        if (frame && !(picture->flags & kPicFramePredFrameDct)) state.dctType = GetBits(1);
        if (increment >= 2) ResetDcPredictors(predictors, precision);
        if (state.typeFlags & kMbQuant) quantiserScaleCode = GetBits(5);
        if (picture->flags & kPicConcealmentMotionVectors) {
            state.motionVectorCount = 1;
            state.mvFormat = frame ? 1 : 0;
            state.dmv = 0;
            if (!ParseMotionVectors(0, picture, &state)) return false;
            SkipBits(1);  // marker_bit
        }

        const uint32_t quantiserScale = g_QuantiserScale[qScaleType][quantiserScaleCode & 31];
        for (uint32_t i = 0; i < blockCount; ++i) {
            const uint32_t component = i < 4 ? 0 : 1 + (i & 1);
            uint32_t size = 0;
            const bool sized =
                component == 0 ? GetDctDcSizeLuminance(&size) : GetDctDcSizeChrominance(&size);
            if (!sized) return false;
            int32_t differential = 0;
            if (size != 0) {
                differential = static_cast<int32_t>(GetBits(size));
                if (differential < (1 << (size - 1))) differential += 1 - (1 << size);
            }
            predictors[component] = static_cast<int16_t>(predictors[component] + differential);
            int16_t* block = g_DecoderBlocks.blocks[i];
            block[0] = static_cast<int16_t>(predictors[component]);
            state.patternCode[i] = 1;
            const bool decoded =
                fullDecode != 0
                    ? DecodeFullBlock(block, intraVlc, quantiserScale,
                                      component == 0 ? lumaWeights : chromaWeights, picture)
                    : SkipDctCoefficients(1, intraVlc, &state);
            if (!decoded) return false;
        }
        if (visit != nullptr) visit(column, mbRow, chromaFormat, precision, context);
        if (ShowBits(23) == 0) return BitsLeft() >= 0;
        if (BitsLeft() < 0) return false;
    }
}

}  // namespace velmora::record

#pragma once

// The records that the MPEG-2 video header parser fills and the intra slice
// decoder reads: the sequence parameters (for the caller), the picture
// parameters (the parser's own) and the caller's thumbnail image.

#include <cstddef>
#include <cstdint>

namespace velmora::record {

enum SequenceFlag : uint32_t {
    kSeqConstrainedParameters = 1u << 0,
    kSeqLoadIntraQuantiserMatrix = 1u << 1,
    kSeqLoadNonIntraQuantiserMatrix = 1u << 2,
    kSeqProgressiveSequence = 1u << 3,
    kSeqLowDelay = 1u << 4,
    kSeqPictureMuxEnable = 1u << 5,
    kSeqMuxToProgressiveSequence = 1u << 6,
};

struct MPEG_SEQUENCE_INFO {
    uint32_t marker;  // 0x1B3 once a sequence header was read
    uint32_t horizontalSize;
    uint32_t verticalSize;
    uint32_t bitRate;  // units of 400 bit/s
    uint32_t vbvBufferSize;
    uint32_t bitRateExtension;
    uint32_t lowerLayerPredictionHorizontalSize;
    uint32_t lowerLayerPredictionVerticalSize;
    uint8_t aspectRatioInformation;
    uint8_t frameRateCode;
    uint8_t sequenceExtensionId;  // 1 once read
    uint8_t profileAndLevelIndication;
    uint8_t chromaFormat;  // 1 = 4:2:0, 2 = 4:2:2, 3 = 4:4:4
    uint8_t horizontalSizeExtension;
    uint8_t verticalSizeExtension;
    uint8_t vbvBufferSizeExtension;
    uint8_t frameRateExtensionN;
    uint8_t frameRateExtensionD;
    uint8_t sequenceScalableExtensionId;  // 5 once read
    uint8_t scalableMode;
    uint8_t layerId;
    uint8_t horizontalSubsamplingFactorM;
    uint8_t horizontalSubsamplingFactorN;
    uint8_t verticalSubsamplingFactorM;
    uint8_t verticalSubsamplingFactorN;
    uint8_t pictureMuxOrder;
    uint8_t pictureMuxFactor;
    uint32_t flags;                       // SequenceFlag
    uint8_t intraQuantiserMatrix[64];     // stream (zigzag) order
    uint8_t nonIntraQuantiserMatrix[64];  // stream order
};
static_assert(sizeof(MPEG_SEQUENCE_INFO) == 184);
static_assert(offsetof(MPEG_SEQUENCE_INFO, flags) == 52);

enum PictureFlag : uint32_t {
    kPicFullPelForwardVector = 1u << 0,
    kPicFullPelBackwardVector = 1u << 1,
    kPicTopFieldFirst = 1u << 2,
    kPicFramePredFrameDct = 1u << 3,
    kPicConcealmentMotionVectors = 1u << 4,
    kPicQScaleType = 1u << 5,
    kPicIntraVlcFormat = 1u << 6,
    kPicAlternateScan = 1u << 7,
    kPicRepeatFirstField = 1u << 8,
    kPicChroma420Type = 1u << 9,
    kPicProgressiveFrame = 1u << 10,
    kPicCompositeDisplay = 1u << 11,
    kPicVAxis = 1u << 12,
    kPicSubCarrier = 1u << 13,
    kPicLoadIntraQuantiserMatrix = 1u << 14,
    kPicLoadNonIntraQuantiserMatrix = 1u << 15,
    kPicLoadChromaIntraQuantiserMatrix = 1u << 16,
    kPicLoadChromaNonIntraQuantiserMatrix = 1u << 17,
    kPicLowerLayerProgressiveFrame = 1u << 18,
    kPicLowerLayerDeinterlacedFieldSelect = 1u << 19,
};

struct MPEG_PICTURE_INFO {
    uint32_t marker;  // 0x100 once a picture header was read
    uint32_t temporalReference;
    uint32_t vbvDelay;
    uint32_t lowerLayerTemporalReference;
    int32_t lowerLayerHorizontalOffset;
    int32_t lowerLayerVerticalOffset;
    uint32_t forwardTemporalReference;
    uint32_t backwardTemporalReference;
    uint8_t pictureCodingType;  // 1 I, 2 P, 3 B
    uint8_t forwardFCode;
    uint8_t backwardFCode;
    uint8_t pictureCodingExtensionId;  // 8 once read
    uint8_t intraDcPrecision;          // 0 to 3 = 8 to 11 bits
    uint8_t pictureStructure;          // 3 = frame picture
    uint8_t fieldSequence;
    uint8_t burstAmplitude;
    uint8_t subCarrierPhase;
    uint8_t quantMatrixExtensionId;             // 3 once read
    uint8_t pictureSpatialScalableExtensionId;  // 9 once read
    uint8_t spatialTemporalWeightCodeTableIndex;
    uint8_t pictureTemporalScalableExtensionId;  // 10 once read
    uint8_t referenceSelectCode;
    uint32_t flags;                    // PictureFlag
    uint8_t fCodes[4];                 // f_code[0][0], [0][1], [1][0], [1][1]
    uint8_t intraQuantiserMatrix[64];  // of the quant matrix extension, stream order
    uint8_t nonIntraQuantiserMatrix[64];
    uint8_t chromaIntraQuantiserMatrix[64];
    uint8_t chromaNonIntraQuantiserMatrix[64];
};
static_assert(sizeof(MPEG_PICTURE_INFO) == 312);
static_assert(offsetof(MPEG_PICTURE_INFO, flags) == 48);

// One 24-bit pixel for every 8 x 8 luminance block of the picture.
struct MPEG_THUMBNAIL {
    uint8_t* pixels;  // bottom-up rows of blue, green, red
    uint32_t maximumWidth;
    uint32_t maximumHeight;
    uint32_t stride;
    uint32_t reserved;
    uint32_t pictureValid;  // 1 once a picture was decoded into it
    uint32_t usedWidth;
    uint32_t usedHeight;
    uint32_t aspect;
};

}  // namespace velmora::record

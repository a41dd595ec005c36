#include "record/VideoParser.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "record/BitStream.h"
#include "record/CutDetection.h"
#include "record/IntraDecoder.h"
#include "record/TsAnalysis.h"

namespace velmora::record {

namespace {

constexpr uint32_t kSequenceHeaderCode = 0xB3;
constexpr uint32_t kExtensionStartCode = 0xB5;
constexpr uint32_t kPictureStartCode = 0x00;
constexpr uint32_t kLastSliceStartCode = 0xAF;

void SetReader(const uint8_t* buffer, int32_t offset, int32_t length) {
    InitBitStream(const_cast<uint8_t*>(buffer) + offset, static_cast<uint32_t>(length - offset), 0);
}

uint32_t Flag(uint32_t bit) {
    return GetBits(1) != 0 ? bit : 0;
}

void ReadMatrix(uint8_t* matrix) {
    for (int i = 0; i < 64; ++i)
        matrix[i] = static_cast<uint8_t>(GetBits(8));
}

int32_t SignExtend15(uint32_t value) {
    return (value & 0x4000) ? static_cast<int32_t>(value) - 0x8000 : static_cast<int32_t>(value);
}

void ReadSequenceHeader(MPEG_SEQUENCE_INFO* s) {
    s->marker = 0x1B3;
    s->horizontalSize = GetBits(12);
    s->verticalSize = GetBits(12);
    s->aspectRatioInformation = static_cast<uint8_t>(GetBits(4));
    s->frameRateCode = static_cast<uint8_t>(GetBits(4));
    s->bitRate = GetBits(18);
    SkipBits(1);
    s->vbvBufferSize = GetBits(10);
    s->flags = (s->flags & ~(kSeqConstrainedParameters | kSeqLoadIntraQuantiserMatrix |
                             kSeqLoadNonIntraQuantiserMatrix)) |
               Flag(kSeqConstrainedParameters);
    if (GetBits(1) != 0) {
        s->flags |= kSeqLoadIntraQuantiserMatrix;
        ReadMatrix(s->intraQuantiserMatrix);
    }
    if (GetBits(1) != 0) {
        s->flags |= kSeqLoadNonIntraQuantiserMatrix;
        ReadMatrix(s->nonIntraQuantiserMatrix);
    }
}

void ReadSequenceExtension(MPEG_SEQUENCE_INFO* s) {
    s->sequenceExtensionId = 1;
    s->profileAndLevelIndication = static_cast<uint8_t>(GetBits(8));
    s->flags = (s->flags & ~kSeqProgressiveSequence) | Flag(kSeqProgressiveSequence);
    s->chromaFormat = static_cast<uint8_t>(GetBits(2));
    s->horizontalSizeExtension = static_cast<uint8_t>(GetBits(2));
    s->verticalSizeExtension = static_cast<uint8_t>(GetBits(2));
    s->bitRateExtension = GetBits(12);
    SkipBits(1);
    s->vbvBufferSizeExtension = static_cast<uint8_t>(GetBits(8));
    s->flags = (s->flags & ~kSeqLowDelay) | Flag(kSeqLowDelay);
    s->frameRateExtensionN = static_cast<uint8_t>(GetBits(2));
    s->frameRateExtensionD = static_cast<uint8_t>(GetBits(5));
    s->horizontalSize |= uint32_t{s->horizontalSizeExtension} << 12;
    s->verticalSize |= uint32_t{s->verticalSizeExtension} << 12;
    s->bitRate |= s->bitRateExtension << 18;
    s->vbvBufferSize |= uint32_t{s->vbvBufferSizeExtension} << 10;
}

void ReadSequenceScalableExtension(MPEG_SEQUENCE_INFO* s) {
    s->sequenceScalableExtensionId = 5;
    s->scalableMode = static_cast<uint8_t>(GetBits(2));
    s->layerId = static_cast<uint8_t>(GetBits(4));
    if (s->scalableMode == 1) {
        s->lowerLayerPredictionHorizontalSize = GetBits(14);
        SkipBits(1);
        s->lowerLayerPredictionVerticalSize = GetBits(14);
        s->horizontalSubsamplingFactorM = static_cast<uint8_t>(GetBits(5));
        s->horizontalSubsamplingFactorN = static_cast<uint8_t>(GetBits(5));
        s->verticalSubsamplingFactorM = static_cast<uint8_t>(GetBits(5));
        s->verticalSubsamplingFactorN = static_cast<uint8_t>(GetBits(5));
    } else if (s->scalableMode == 3) {
        s->flags = (s->flags & ~kSeqPictureMuxEnable) | Flag(kSeqPictureMuxEnable);
        if (s->flags & kSeqPictureMuxEnable) {
            s->flags =
                (s->flags & ~kSeqMuxToProgressiveSequence) | Flag(kSeqMuxToProgressiveSequence);
        }
        s->pictureMuxOrder = static_cast<uint8_t>(GetBits(3));
        s->pictureMuxFactor = static_cast<uint8_t>(GetBits(3));
    }
}

void ReadPictureHeader(MPEG_PICTURE_INFO* p) {
    p->marker = 0x100;
    p->temporalReference = GetBits(10);
    p->pictureCodingType = static_cast<uint8_t>(GetBits(3));
    p->vbvDelay = GetBits(16);
    if (p->pictureCodingType == 2 || p->pictureCodingType == 3) {
        p->flags = (p->flags & ~kPicFullPelForwardVector) | Flag(kPicFullPelForwardVector);
        p->forwardFCode = static_cast<uint8_t>(GetBits(3));
    }
    if (p->pictureCodingType == 3) {
        p->flags = (p->flags & ~kPicFullPelBackwardVector) | Flag(kPicFullPelBackwardVector);
        p->backwardFCode = static_cast<uint8_t>(GetBits(3));
    }
    while (GetBits(1) != 0) {
        SkipBits(8);
        if (BitsLeft() < 0) return;
    }
}

void ReadPictureCodingExtension(MPEG_PICTURE_INFO* p) {
    p->pictureCodingExtensionId = 8;
    for (uint8_t& f : p->fCodes)
        f = static_cast<uint8_t>(GetBits(4));
    p->intraDcPrecision = static_cast<uint8_t>(GetBits(2));
    p->pictureStructure = static_cast<uint8_t>(GetBits(2));
    constexpr uint32_t kCodingFlags =
        kPicTopFieldFirst | kPicFramePredFrameDct | kPicConcealmentMotionVectors | kPicQScaleType |
        kPicIntraVlcFormat | kPicAlternateScan | kPicRepeatFirstField | kPicChroma420Type |
        kPicProgressiveFrame | kPicCompositeDisplay;
    p->flags &= ~kCodingFlags;
    for (uint32_t bit = kPicTopFieldFirst; bit <= kPicCompositeDisplay; bit <<= 1) {
        p->flags |= Flag(bit);
    }
    if (p->flags & kPicCompositeDisplay) {
        p->flags = (p->flags & ~kPicVAxis) | Flag(kPicVAxis);
        p->fieldSequence = static_cast<uint8_t>(GetBits(3));
        p->flags = (p->flags & ~kPicSubCarrier) | Flag(kPicSubCarrier);
        p->burstAmplitude = static_cast<uint8_t>(GetBits(7));
        p->subCarrierPhase = static_cast<uint8_t>(GetBits(8));
    }
}

void ReadQuantMatrixExtension(MPEG_PICTURE_INFO* p) {
    p->quantMatrixExtensionId = 3;
    uint8_t* matrices[4] = {p->intraQuantiserMatrix, p->nonIntraQuantiserMatrix,
                            p->chromaIntraQuantiserMatrix, p->chromaNonIntraQuantiserMatrix};
    for (uint32_t i = 0; i < 4; ++i) {
        const uint32_t bit = kPicLoadIntraQuantiserMatrix << i;
        p->flags &= ~bit;
        if (GetBits(1) != 0) {
            p->flags |= bit;
            ReadMatrix(matrices[i]);
        }
    }
}

void ReadPictureSpatialScalableExtension(MPEG_PICTURE_INFO* p) {
    p->pictureSpatialScalableExtensionId = 9;
    p->lowerLayerTemporalReference = GetBits(10);
    SkipBits(1);
    p->lowerLayerHorizontalOffset = SignExtend15(GetBits(15));
    SkipBits(1);
    p->lowerLayerVerticalOffset = SignExtend15(GetBits(15));
    p->spatialTemporalWeightCodeTableIndex = static_cast<uint8_t>(GetBits(2));
    p->flags &= ~(kPicLowerLayerProgressiveFrame | kPicLowerLayerDeinterlacedFieldSelect);
    p->flags |= Flag(kPicLowerLayerProgressiveFrame);
    p->flags |= Flag(kPicLowerLayerDeinterlacedFieldSelect);
}

void ReadPictureTemporalScalableExtension(MPEG_PICTURE_INFO* p) {
    p->pictureTemporalScalableExtensionId = 10;
    p->referenceSelectCode = static_cast<uint8_t>(GetBits(2));
    p->forwardTemporalReference = GetBits(10);
    SkipBits(1);
    p->backwardTemporalReference = GetBits(10);
}

// Runs the extensions that follow a header. `read` handles one extension
// identifier and returns false for one it does not know. A record whose
// extension is cut by the buffer's end is restored as it was.
template <typename Record, typename Read>
void ExtensionLoop(const uint8_t* buffer, int32_t* offset, int32_t length, Record* record,
                   Read read) {
    while (NextStartCode(buffer, offset, length)) {
        const Record before = *record;
        const uint32_t code = GetBits(8);
        if (code == kExtensionStartCode && read(GetBits(4))) {
            if (BitsLeft() < 0) {
                *record = before;
                return;
            }
            continue;
        }
        // Let the outer loop meet this start code again.
        *offset = std::max(0, *offset - 4);
        SetReader(buffer, *offset, length);
        return;
    }
}

uint8_t ParseBuffer(const uint8_t* buffer, int32_t length, MPEG_SEQUENCE_INFO* sequence,
                    MPEG_THUMBNAIL* thumbnail, MPEG_PICTURE_INFO& picture, MACROBLOCK_MASK* mask);

}  // namespace

bool NextStartCode(const uint8_t* buffer, int32_t* offset, int32_t length) {
    if (buffer == nullptr || offset == nullptr) return false;
    uint32_t window = 0xFFFFFFFF;
    for (int64_t i = int64_t{*offset} + GetBitStreamBytes(); i < length; ++i) {
        if (i < 0) continue;
        window = (window << 8) | buffer[i];
        if ((window & 0xFFFFFF) == 0x000001) {
            *offset = static_cast<int32_t>(i + 1);
            SetReader(buffer, *offset, length);
            return true;
        }
    }
    return false;
}

uint8_t ParseVideoHeaders(const uint8_t* buffer, int32_t length, MPEG_SEQUENCE_INFO* sequence,
                          MPEG_THUMBNAIL* thumbnail, MPEG_PICTURE_INFO* pictureOut) {
    MPEG_SEQUENCE_INFO ownSequence;
    if (sequence == nullptr) sequence = &ownSequence;
    std::memset(sequence, 0, sizeof(*sequence));
    MPEG_PICTURE_INFO picture;
    std::memset(&picture, 0, sizeof(picture));
    const uint8_t result = ParseBuffer(buffer, length, sequence, thumbnail, picture, nullptr);
    if (pictureOut != nullptr) *pictureOut = picture;
    return result;
}

namespace {

uint8_t ParseBuffer(const uint8_t* buffer, int32_t length, MPEG_SEQUENCE_INFO* sequence,
                    MPEG_THUMBNAIL* thumbnail, MPEG_PICTURE_INFO& picture, MACROBLOCK_MASK* mask) {
    if (buffer == nullptr || length <= 0) return 0;

    int32_t offset = 0;
    uint8_t intraPicture = 0;
    bool latestIsIntra = false;
    uint32_t endHeight = 0;
    bool lastRow = false;
    SetReader(buffer, 0, length);
    while (NextStartCode(buffer, &offset, length)) {
        const uint32_t code = GetBits(8);
        if (code == kPictureStartCode) {
            const MPEG_PICTURE_INFO before = picture;
            ReadPictureHeader(&picture);
            if (BitsLeft() < 0) {
                picture = before;
                break;
            }
            ExtensionLoop(buffer, &offset, length, &picture, [&picture](uint32_t id) {
                switch (id) {
                    case 3:
                        ReadQuantMatrixExtension(&picture);
                        return true;
                    case 8:
                        ReadPictureCodingExtension(&picture);
                        return true;
                    case 9:
                        ReadPictureSpatialScalableExtension(&picture);
                        return true;
                    case 10:
                        ReadPictureTemporalScalableExtension(&picture);
                        return true;
                    default:
                        return false;
                }
            });
            // Slices are decoded only while the latest picture is an I
            // picture, never over its thumbnail from a later P or B picture.
            latestIsIntra = picture.pictureCodingType == 1;
            if (latestIsIntra) intraPicture = 1;
        } else if (code == kSequenceHeaderCode) {
            const MPEG_SEQUENCE_INFO before = *sequence;
            ReadSequenceHeader(sequence);
            if (BitsLeft() < 0) {
                *sequence = before;
                break;
            }
            const uint32_t verticalValue = sequence->verticalSize;
            endHeight = verticalValue == 1080 ? 1088 : verticalValue;
            ExtensionLoop(buffer, &offset, length, sequence, [sequence](uint32_t id) {
                switch (id) {
                    case 1:
                        ReadSequenceExtension(sequence);
                        return true;
                    case 5:
                        ReadSequenceScalableExtension(sequence);
                        return true;
                    default:
                        return false;
                }
            });
            if (mask != nullptr) {
                mask->width = sequence->horizontalSize;
                mask->height = endHeight;
                mask->columns = mask->width / 16;
                mask->rows = endHeight / 16 - (endHeight == 1088 ? 1 : 0);
                endHeight = 0;  // the mask is filled to the end of the buffer
            }
            if (thumbnail != nullptr) {
                thumbnail->usedWidth =
                    std::min(sequence->horizontalSize / 8, thumbnail->maximumWidth);
                thumbnail->usedHeight =
                    std::min(sequence->verticalSize / 8, thumbnail->maximumHeight);
                thumbnail->aspect = sequence->aspectRatioInformation;
            }
        } else if (code >= 0x01 && code <= kLastSliceStartCode) {
            if (latestIsIntra && thumbnail != nullptr && sequence->marker == 0x1B3 &&
                picture.marker == 0x100) {
                DecodeIntraPicture(code, 0, thumbnail, sequence, &picture);
            }
            if (latestIsIntra && mask != nullptr && sequence->marker == 0x1B3 &&
                picture.marker == 0x100) {
                DecodeMacroblockMask(code, sequence, &picture, mask);
            }
        }
        if (endHeight != 0) {
            if (lastRow) break;
            if (code == endHeight / 16) lastRow = true;
        }
    }
    if (thumbnail != nullptr && thumbnail->usedWidth != 0) thumbnail->pictureValid = 1;
    return intraPicture;
}

}  // namespace

void ParsePictureMask(const uint8_t* buffer, int32_t length, MPEG_SEQUENCE_INFO* sequence,
                      MACROBLOCK_MASK* mask) {
    MPEG_SEQUENCE_INFO ownSequence;
    if (sequence == nullptr) sequence = &ownSequence;
    std::memset(sequence, 0, sizeof(*sequence));
    MPEG_PICTURE_INFO picture;
    std::memset(&picture, 0, sizeof(picture));
    ParseBuffer(buffer, length, sequence, nullptr, picture, mask);
}

uint8_t FindAc3SyncWord(const uint8_t* buffer, int32_t length, uint32_t* syncRecord,
                        uint32_t* secondRecord) {
    uint32_t ownSync[3], ownSecond[3];
    if (syncRecord == nullptr) syncRecord = ownSync;
    if (secondRecord == nullptr) secondRecord = ownSecond;
    std::memset(syncRecord, 0, 3 * sizeof(uint32_t));
    std::memset(secondRecord, 0, 3 * sizeof(uint32_t));
    if (buffer == nullptr || length <= 0) return 1;
    int32_t offset = 0;
    SetReader(buffer, 0, length);
    if (!NextStartCode(buffer, &offset, length)) return 1;
    const uint8_t streamId = static_cast<uint8_t>(GetBits(8));
    ReadPesHeader(streamId);
    const uint32_t sync = GetBits(16);
    if (BitsLeft() >= 0 && sync == 0x0B77) syncRecord[0] = 0x0B77;
    return 1;
}

namespace {

bool Contains(const uint8_t* data, size_t length, uint8_t code) {
    for (size_t i = 0; i + 3 < length; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == code)
            return true;
    }
    return false;
}

}  // namespace

uint8_t FindFirstIntraPicture(const uint8_t* buffer, uint32_t length, uint32_t pid,
                              MPEG_THUMBNAIL* thumbnail) {
    if (buffer == nullptr) return 0;
    constexpr size_t kPesBufferSize = 0x100000;
    std::vector<uint8_t> pes;
    pes.reserve(kPesBufferSize);
    bool collecting = false;
    bool checked = false;
    TS_SCAN_STORE& store = g_TsScanStore;
    for (uint64_t at = 0; at + kTsPacketSize <= length; at += kTsPacketSize) {
        const uint8_t* packet = buffer + at;
        if (!IsTsSyncByte(packet[0])) continue;
        if ((((packet[1] & 0x1Fu) << 8) | packet[2]) != pid) continue;
        const bool unitStart = (packet[1] & 0x40) != 0;
        const uint32_t control = (packet[3] >> 4) & 3;
        uint32_t payloadStart = 4;
        if (control & 2) payloadStart += 1 + packet[4];
        if (!(control & 1) || payloadStart >= kTsPacketSize) continue;
        const uint8_t* payload = packet + payloadStart;
        const uint32_t payloadLength = kTsPacketSize - payloadStart;
        if (!unitStart && (control & 2) && Contains(payload, payloadLength, 0xB3)) {
            std::memcpy(store.sequenceHeaderPayload, payload, payloadLength);
            store.sequenceHeaderPayloadLength = payloadLength;
        }
        if (unitStart) {
            if (collecting && !pes.empty() &&
                ParseVideoHeaders(pes.data(), static_cast<int32_t>(pes.size()), nullptr,
                                  thumbnail) != 0) {
                return 1;
            }
            pes.clear();
            collecting = true;
            checked = false;
        }
        if (!collecting) continue;
        if (pes.size() + payloadLength > kPesBufferSize) {
            DebugPrintf("Error: buffer overflow! PID=0x%02X, PES packet, buffer size = %d\n", pid,
                        static_cast<int>(kPesBufferSize));
            pes.clear();
            collecting = false;
            continue;
        }
        pes.insert(pes.end(), payload, payload + payloadLength);
        if (!checked && pes.size() > 512) {
            checked = true;
            if (!Contains(pes.data(), pes.size(), 0xB3) &&
                !Contains(pes.data(), pes.size(), 0xB8)) {
                const size_t stored = std::min<size_t>(store.sequenceHeaderPayloadLength,
                                                       sizeof(store.sequenceHeaderPayload));
                if (stored != 0) {
                    pes.insert(pes.begin(), store.sequenceHeaderPayload,
                               store.sequenceHeaderPayload + stored);
                } else {
                    pes.clear();
                    collecting = false;
                }
            }
        }
    }
    return 0;
}

}  // namespace velmora::record

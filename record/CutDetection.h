#pragma once

// Automatic cut marks from the I pictures of a transport-stream file set:
// by the stillness of the picture borders, and by side bars that mark
// pillarboxed (advertising) stretches.

#include <cstdint>

#include "record/MpegVideoInfo.h"
#include "record/ReadAheadFile.h"
#include "record/TsAnalysis.h"
#include "record/TsFileSet.h"

namespace velmora::record {

inline constexpr uint32_t kMaskRows = 128;

// One bit per macroblock column of the border and middle areas, by row; a
// cleared bit marks a dark or grey macroblock.
struct MACROBLOCK_MASK {
    uint32_t width;   // coded width
    uint32_t height;  // coded height, 1080 counted as 1088
    uint32_t columns;
    uint32_t rows;  // less 1 for 1088
    uint32_t border[kMaskRows];
    uint32_t middle[kMaskRows];
};

enum PictureClass : uint32_t {
    kPictureSideBars = 1,
    kPictureFull = 2,
};

// Progress callback: 0 stops the scan.
using CutScanProgress = uint32_t (*)(const char* fileName, uint32_t zero, uint64_t globalOffset,
                                     uint64_t second, uint64_t third, uint64_t minusOne,
                                     uint32_t waitSeconds, void* argument);

// 0 when the scan reached the end or the callback stopped it, 1 on failure
// (message in the trace); marks already added stay. The PID table names the
// PIDs to follow, the video among them with stream kind 5.
uint32_t DetectCutsByBorder(CTsFileSet* set, PID_TABLE* pidTable, uint64_t minimumExcludeSpan,
                            uint64_t minimumRun, float threshold, float borderFraction,
                            CReadAheadFile* reader, CutScanProgress progress, void* argument);
uint32_t DetectCutsByPicture(CTsFileSet* set, PID_TABLE* pidTable, CReadAheadFile* reader,
                             CutScanProgress progress, void* argument, uint64_t byteRate,
                             uint32_t coarseStepSelector, uint8_t middleCheck);

float BorderDifference(const MPEG_THUMBNAIL* current, const MPEG_THUMBNAIL* previous,
                       float borderFraction);
void ResetMacroblockMask(MACROBLOCK_MASK* mask);
void ClassifyPicture(uint32_t* result, const MACROBLOCK_MASK* mask, uint8_t middleCheck);
// The header parser filling the mask from every slice of an I picture, to
// the end of the buffer.
void ParsePictureMask(const uint8_t* buffer, int32_t length, MPEG_SEQUENCE_INFO* sequence,
                      MACROBLOCK_MASK* mask);
// One slice in DC-only mode, testing each macroblock into the mask; the bit
// reader stands behind the slice start code's value byte.
bool DecodeMacroblockMask(uint32_t sliceStartCode, const MPEG_SEQUENCE_INFO* sequence,
                          const MPEG_PICTURE_INFO* picture, MACROBLOCK_MASK* mask);
// coded_block_pattern (table B-9 of ISO/IEC 13818-2) through the bit reader.
bool GetCodedBlockPattern(uint32_t* pattern);

}  // namespace velmora::record

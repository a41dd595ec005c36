#pragma once

// The MPEG-2 video header parser: sequence and picture headers with their
// extensions from one buffer of elementary-stream bytes, with the slices of
// an I picture decoded into a thumbnail when one is given.

#include <cstdint>

#include "record/MpegVideoInfo.h"

namespace velmora::record {

// Finds the next start code behind what the bit reader consumed since it
// was set to buffer + offset; offset becomes the index of the code's value
// byte and the reader is set there.
bool NextStartCode(const uint8_t* buffer, int32_t* offset, int32_t length);

// 1 when a picture header of an I picture was read in the buffer. A header
// cut by the buffer's end counts as absent. `picture`, when given, receives
// the parser's picture record (the last picture header read).
uint8_t ParseVideoHeaders(const uint8_t* buffer, int32_t length, MPEG_SEQUENCE_INFO* sequence,
                          MPEG_THUMBNAIL* thumbnail, MPEG_PICTURE_INFO* picture = nullptr);

// Stores 0x0B77 in syncRecord[0] when the payload behind the first PES
// header begins with the AC-3 sync word; always 1.
uint8_t FindAc3SyncWord(const uint8_t* buffer, int32_t length, uint32_t* syncRecord,
                        uint32_t* secondRecord);

// Collects the PES packets of one PID from a buffer of transport packets
// until one holds an I picture, decoded into the thumbnail.
uint8_t FindFirstIntraPicture(const uint8_t* buffer, uint32_t length, uint32_t pid,
                              MPEG_THUMBNAIL* thumbnail);

}  // namespace velmora::record

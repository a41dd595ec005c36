#pragma once

// Writers of the MPEG-2 program-stream structures: pack header, system
// header, padding packet, PES header and the 2048-byte stream start at the
// head of every recorded file.

#include <cstdint>

#include "record/BufferedFile.h"

namespace velmora::record {

// program_mux_rate and rate_bound, in units of 50 bytes/s.
inline constexpr uint32_t kProgramMuxRate = 384253;
inline constexpr uint32_t kPackHeaderSize = 14;
inline constexpr uint32_t kPsStartSize = 2048;
inline constexpr uint32_t kPaddingPacketMin = 6;
inline constexpr uint32_t kPaddingPacketMax = 65541;  // 16-bit length + 6
inline constexpr uint64_t kNoTimeStamp = ~0ull;

// scr in 27 MHz units.
bool WritePackHeader(CBufferedFile* file, int64_t scr);
// A stream is listed only when its id is not 0, video first.
bool WriteSystemHeader(CBufferedFile* file, uint32_t videoStreamId, uint32_t videoBoundScale,
                       uint32_t videoSizeBound, uint32_t audioStreamId, uint32_t audioBoundScale,
                       uint32_t audioSizeBound);
// False, nothing written, for a total length outside 6 to 65541.
bool WritePaddingPacket(CBufferedFile* file, uint32_t totalLength);
// 9 bytes without time stamps (pts all ones), 14 with a PTS (dts all ones),
// 19 with both.
void BuildPesHeader(uint8_t* destination, uint8_t streamId, uint16_t packetLength, uint64_t pts,
                    uint64_t dts);
// Pack header, system header and padding up to byte 2048 of the file; false
// when the file already stands past byte 2042. audioPid -1: video only.
bool WritePsStart(CBufferedFile* file, uint32_t videoStreamId, uint32_t audioStreamId,
                  uint32_t videoPid, int32_t audioPid, int64_t scr);
// Where the writer's messages go: nowhere.
void PsWriterMessage(const char* text, uint32_t value);

}  // namespace velmora::record

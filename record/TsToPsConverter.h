#pragma once

// Conversion of one program of a transport stream, given by its video and
// audio PIDs, into MPEG-2 program-stream files of 2048-byte packs, split into
// numbered files by size: from a byte ring (MPEG audio) or from the included
// stretches of a transport-stream file set (AC-3 audio, aligned on its sync
// frames).

#include <atomic>
#include <cstdint>

#include "record/TsExport.h"
#include "record/TsFileSet.h"

namespace velmora::ts {
class CCirBuffer;
}

namespace velmora::record {

// Both converters create their output files and never overwrite one: an
// output name that exists is a failure, and that file is left as it was.

// Reads 188-byte packets from the ring until endFlag is set and the ring is
// drained, then writes the program end code. An audio PID below 1 means no
// audio. 0 after the end flag; 1 on any failure (message in the trace).
uint32_t ConvertTsToPs(const char* outputPath, uint32_t videoPid, int32_t audioPid,
                       uint32_t splitSizeMiB, ts::CCirBuffer* ring,
                       const std::atomic<uint32_t>* endFlag);

// 0 when the end of the set is reached or the callback stops it (the end
// code is written first), 1 on any failure (message in the trace). The
// callback is called every 64 packets. An audio PID below 1 means no audio.
uint32_t ConvertTsToPsAc3(CTsFileSet* set, const char* outputPath, uint32_t videoPid,
                          int32_t audioPid, uint32_t splitSizeMiB, TsExportProgress progress,
                          void* argument);

}  // namespace velmora::record

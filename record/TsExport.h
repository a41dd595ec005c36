#pragma once

// Export of the included stretches of a transport-stream file set into
// numbered split files, with the kept programs and PIDs renumbered and the
// PAT, PMTs and ATSC program tables rewritten to match; and the searches for
// the packet that starts an I-frame's PES packet.

#include <cstdint>

#include "record/ReadAheadFile.h"
#include "record/TsFileSet.h"

namespace velmora::record {

inline constexpr uint16_t kUnassignedPid = 0xFFFF;
inline constexpr uint64_t kNoOffset = ~0ull;
inline constexpr uint32_t kExportListMode = 1;

// One PID that the export knows; the caller's kept records have this layout.
struct TS_EXPORT_PID {
    uint16_t pid;
    uint16_t newPid;  // kUnassignedPid when not assigned
    uint32_t kind;    // StreamKind of the PID table; 0 none
    uint8_t drop;
    uint8_t counterStarted;
    uint16_t counter;
    uint32_t programNumber;
    uint32_t userWord;
};
static_assert(sizeof(TS_EXPORT_PID) == 20);

// Result 0 stops the export.
using TsExportProgress = uint32_t (*)(const char* inputName, const char* outputPath,
                                      uint64_t globalOffset, uint64_t bytesRead,
                                      uint64_t includedLength, uint64_t bytesWritten,
                                      uint32_t waitSeconds, void* argument);

// 0 when the copy ran to the end or the callback stopped it, 1 on failure
// (message in the trace). An output or list file that exists is a failure
// and is left as it was; when it is the list or the first output, no file is
// written. pidTableParameter and analyse are accepted for the callers' sake
// and not looked at.
uint32_t ExportTsWithCuts(CTsFileSet* set, const char* outputPath, uint32_t mode,
                          void* pidTableParameter, uint32_t splitSizeMiB, CReadAheadFile* reader,
                          TsExportProgress progress, void* argument, uint8_t analyse,
                          const TS_EXPORT_PID* keptPids, uint32_t keptPidCount,
                          const uint16_t* excludedPids, uint32_t excludedPidCount, uint8_t noSplit,
                          uint8_t nullStuffing, uint32_t pictureHeight, uint8_t patchHeight);

// The global offset of the packet starting the last PES packet of pid at or
// before offset (and not below lowerLimit) whose data begins an I-frame;
// kNoOffset when the buffer holds none. The buffer holds the set's bytes
// from bufferStart on.
uint64_t FindIFrameStartBefore(const uint8_t* buffer, uint64_t length, uint64_t bufferStart,
                               CTsFileSet* set, uint64_t offset, uint64_t lowerLimit, uint32_t pid);
// The first such packet at or after offset, within 100 packets.
uint64_t FindIFrameStartAfter(const uint8_t* buffer, uint64_t length, uint64_t bufferStart,
                              CTsFileSet* set, uint64_t offset, uint32_t pid);

bool PmtHasVideoAndAudio(const uint8_t* packet);
void MakeNullPacket(uint8_t* packet);
// Declares 1080 lines in a sequence header of 1088; true when patched.
bool PatchSequenceHeader1088(uint8_t* packet);

// Offset of the packet's payload, or -1 when it has none or its adaptation
// field does not fit.
int32_t TsPayloadOffset(const uint8_t* packet);

}  // namespace velmora::record

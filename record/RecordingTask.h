#pragma once

// One recording task of the program recorder: turns one program of the
// captured transport stream, read from its slot's byte ring, into an MPEG-2
// program-stream file of 2048-byte packs.

#include <atomic>
#include <cstdint>

#include "platform/CriticalSection.h"

namespace velmora::card {
class CLogFile;
}
namespace velmora::ts {
class CCirBuffer;
}

namespace velmora::record {

inline constexpr uint32_t kPidCount = 8192;
inline constexpr uint32_t kRecorderPathSize = 256;
inline constexpr uint32_t kVideoPesBufferSize = 0x200000;
inline constexpr uint32_t kAudioPesBufferSize = 0x40000;
inline constexpr uint32_t kRecorderFileBufferSize = 0x80000;

// The words of one recorder slot that the recorder and its task share.
struct RECORDER_SLOT_STATE {
    std::atomic<uint64_t> durationMs{0};
    std::atomic<uint32_t> continuityErrors{0};
    std::atomic<uint32_t> syncByteErrors{0};
    std::atomic<uint32_t> stop{0};
    // Packets the task has taken from its ring and handled: once it equals
    // what the ring was given, the length and counts above are final for it.
    std::atomic<uint64_t> handledPackets{0};
};

// Per-PID continuity state of one task.
struct CONTINUITY_TABLE {
    uint8_t firstPacket[kPidCount];
    uint8_t lastCounter[kPidCount];
};
void ResetContinuityTable(CONTINUITY_TABLE* table);

enum ContinuityResult : uint32_t {
    kContinuityError = 0,
    kContinuityGood = 1,
    // The same counter again with a payload: a repeated packet, counted as
    // an error but never collected twice.
    kContinuityDuplicate = 2,
};
// Counts errors and duplicates in the slot's continuity error count.
uint32_t CheckContinuityCounter(const uint8_t* packet, CONTINUITY_TABLE* table,
                                RECORDER_SLOT_STATE* slot);

inline constexpr int64_t kClockUnset = INT64_MIN;
// The 33-bit PES time stamp of the five bytes at p, marker bits dropped.
int64_t ReadTimeStamp33(const uint8_t* p);
// 1 when the packet starts a PES header (the first clock is set from it
// while unset), else 0.
uint32_t GetFirstPesTimestamp(const uint8_t* packet, int64_t* firstClock);
// header: `available` bytes from the PES start code on. 1 for video and
// MPEG audio stream ids, else 0; sets an unset clock from DTS (else PTS) x
// 300 when those bytes are present.
uint32_t ReadPesTimestamp(const uint8_t* header, uint32_t available, int64_t* firstClock);
// -2 bad sync byte, -1 no unit start, -4 header past the packet, 0 clean PES
// start, 1 scrambled payload.
int32_t TestPesStart(const uint8_t* packet);

// Milliseconds of one picture in 1/3000 ms, by frame_rate_code (0 before a
// sequence header was read).
uint32_t PictureDurationTicks(uint8_t frameRateCode);
inline constexpr uint32_t kDurationTicksPerMs = 3000;

// The task body. Returns 0 after a stop or a write error, 1 when a PES
// buffer cannot be allocated or the file cannot be created. packetLength
// (188 or 204) is the unit read from the ring; the first 188 bytes of each
// unit are the transport packet. audioPid 0: the program has no audio.
uint32_t ConvertTsToPsTask(const char* path, uint32_t programNumber, uint32_t videoPid,
                           uint32_t audioPid, int32_t audioStreamType, int32_t sizeLimitMb,
                           uint32_t unused, ts::CCirBuffer* ring, RECORDER_SLOT_STATE* slot,
                           card::CLogFile* log, platform::CCriticalSection* fileLock,
                           uint32_t packetLength);

}  // namespace velmora::record

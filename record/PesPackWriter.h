#pragma once

// Writes one collected PES packet into a program-stream file as a run of
// 2048-byte packs: the recorder's tasks and the TS-to-PS converters share it.

#include <cstdint>

#include "record/BufferedFile.h"

namespace velmora::record {

inline constexpr uint32_t kPackSize = 2048;
inline constexpr uint32_t kPesHeaderBaseSize = 9;
inline constexpr uint32_t kAc3SubStreamHeaderSize = 4;
// Pack clock: bytes on the clock run at this rate against 27 MHz.
inline constexpr int64_t kPackClockBytesPerSecond = 2401587;
inline constexpr int64_t kSystemClockHz = 27000000;

// The clock behind each pack's SCR: scr = byteCount x 27 MHz / 2,401,587 +
// base. With countWrites the bytes written advance byteCount (the recorder);
// without, the caller advances it (the converters count input bytes).
struct PS_PACK_CLOCK {
    int64_t byteCount;
    int64_t base;
    bool countWrites;
};

int64_t PackClockScr(const PS_PACK_CLOCK& clock);

enum class PesPackResult {
    kWritten,
    kWriteError,
    // Not a PES packet: no start code, shorter than its own header, or a
    // header too long to take stuffing. Nothing written.
    kMalformed,
};

// pes holds `length` collected bytes starting with a PES header; its bytes
// are rewritten in place (stream id, packet lengths, the repeated headers).
// ac3SubStream puts the 4-byte private-stream-1 sub-stream header into every
// pack. The last pack is completed by stuffing (up to 16 bytes) or padding.
PesPackResult WritePesPacks(CBufferedFile* file, uint8_t* pes, uint32_t length, uint8_t streamId,
                            bool ac3SubStream, PS_PACK_CLOCK* clock);

}  // namespace velmora::record

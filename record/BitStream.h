#pragma once

// MSB-first bit writer and reader over a byte buffer. Each thread has a state
// of its own, so a file tool on a caller's thread and a recording task never
// share one; within a thread, one composition or parse runs at a time.

#include <cstdint>

namespace velmora::record {

struct BIT_STREAM_STATE {
    int32_t position;     // bits written or read since the buffer was set
    uint32_t cachedWord;  // the big-endian word that holds the position
    uint8_t* buffer;
    uint32_t size;  // bytes of the buffer; nothing past them is read or written
};

extern thread_local BIT_STREAM_STATE g_BitStream;

// 2^n - 1 for n = 0 to 32.
extern const uint32_t g_BitMask[33];

// Sets the state to `buffer`; with `clear` the `size` bytes are zero-filled
// after the cached word was taken (the writer ORs its bits in).
void InitBitStream(uint8_t* buffer, uint32_t size, uint8_t clear);
int32_t GetBitStreamBytes();
// Appends the low n bits (1 to 32) of value.
void PutBits(uint32_t value, int32_t n);

// The next n bits (0 to 32); bits past the buffer's size read as zero.
uint32_t GetBits(uint32_t n);
uint32_t ShowBits(uint32_t n);
uint32_t SkipBits(int32_t n);

// Bits left before the end of the buffer (negative once a read went past it).
int64_t BitsLeft();

}  // namespace velmora::record

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

// The 64 bits from the position on, MSB first; bits past the buffer's size
// read as zero.
uint64_t PeekWindowSlow(const BIT_STREAM_STATE& s);
inline uint64_t PeekWindow(const BIT_STREAM_STATE& s) {
    const uint32_t byteIndex = static_cast<uint32_t>(s.position) >> 3;
    if (s.position >= 0 && static_cast<uint64_t>(byteIndex) + 8 <= s.size) {
        uint64_t window;
        __builtin_memcpy(&window, s.buffer + byteIndex, 8);
        return __builtin_bswap64(window) << (s.position & 7);
    }
    return PeekWindowSlow(s);
}

// Moves the position, reloading the cached word when it leaves it.
void ReloadCachedWord(BIT_STREAM_STATE& s);
inline void AdvanceBits(BIT_STREAM_STATE& s, int32_t n) {
    const int32_t before = s.position;
    s.position += n;
    if ((before >> 5) != (s.position >> 5)) ReloadCachedWord(s);
}

// The next n bits (0 to 32); bits past the buffer's size read as zero.
inline uint32_t ShowBits(uint32_t n) {
    if (n == 0) return 0;
    if (n > 32) n = 32;
    return static_cast<uint32_t>(PeekWindow(g_BitStream) >> (64 - n));
}
inline uint32_t GetBits(uint32_t n) {
    BIT_STREAM_STATE& s = g_BitStream;
    if (n == 0) return 0;
    if (n > 32) n = 32;
    const uint32_t value = static_cast<uint32_t>(PeekWindow(s) >> (64 - n));
    AdvanceBits(s, static_cast<int32_t>(n));
    return value;
}
inline uint32_t SkipBits(int32_t n) {
    BIT_STREAM_STATE& s = g_BitStream;
    AdvanceBits(s, n);
    return s.cachedWord;
}

// Bits left before the end of the buffer (negative once a read went past it).
int64_t BitsLeft();

}  // namespace velmora::record

#include "record/BitStream.h"

#include <cstring>

namespace velmora::record {

thread_local BIT_STREAM_STATE g_BitStream = {0, 0, nullptr, 0};

const uint32_t g_BitMask[33] = {0x0,        0x1,        0x3,       0x7,       0xF,       0x1F,
                                0x3F,       0x7F,       0xFF,      0x1FF,     0x3FF,     0x7FF,
                                0xFFF,      0x1FFF,     0x3FFF,    0x7FFF,    0xFFFF,    0x1FFFF,
                                0x3FFFF,    0x7FFFF,    0xFFFFF,   0x1FFFFF,  0x3FFFFF,  0x7FFFFF,
                                0xFFFFFF,   0x1FFFFFF,  0x3FFFFFF, 0x7FFFFFF, 0xFFFFFFF, 0x1FFFFFFF,
                                0x3FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF};

namespace {

// Eight bytes from byteIndex on, big-endian; bytes past the size are zero.
uint64_t LoadWindow(const BIT_STREAM_STATE& s, uint32_t byteIndex) {
    uint64_t window = 0;
    if (s.buffer != nullptr && static_cast<uint64_t>(byteIndex) + 8 <= s.size) {
        uint8_t bytes[8];
        std::memcpy(bytes, s.buffer + byteIndex, 8);
        for (uint8_t b : bytes)
            window = (window << 8) | b;
        return window;
    }
    for (uint32_t i = 0; i < 8; ++i) {
        const uint64_t index = static_cast<uint64_t>(byteIndex) + i;
        const uint8_t b = (s.buffer != nullptr && index < s.size) ? s.buffer[index] : 0;
        window = (window << 8) | b;
    }
    return window;
}

uint32_t WordAt(const BIT_STREAM_STATE& s, int32_t position) {
    if (position < 0) return 0;
    return static_cast<uint32_t>(LoadWindow(s, static_cast<uint32_t>(position / 32) * 4) >> 32);
}

}  // namespace

void InitBitStream(uint8_t* buffer, uint32_t size, uint8_t clear) {
    g_BitStream.position = 0;
    g_BitStream.buffer = buffer;
    g_BitStream.size = buffer != nullptr ? size : 0;
    g_BitStream.cachedWord = WordAt(g_BitStream, 0);
    if (clear != 0 && buffer != nullptr) std::memset(buffer, 0, size);
}

int32_t GetBitStreamBytes() {
    return g_BitStream.position >> 3;
}

void PutBits(uint32_t value, int32_t n) {
    if (n < 1 || n > 32) return;
    BIT_STREAM_STATE& s = g_BitStream;
    value &= g_BitMask[n];
    while (n > 0) {
        const int32_t free = 8 - (s.position % 8);
        const uint32_t byteIndex = static_cast<uint32_t>(s.position / 8);
        uint8_t bits;
        if (n < free) {
            bits = static_cast<uint8_t>(value << (free - n));
            s.position += n;
            n = 0;
        } else {
            bits = static_cast<uint8_t>(value >> (n - free));
            s.position += free;
            n -= free;
            value &= g_BitMask[n];
        }
        if (byteIndex < s.size) s.buffer[byteIndex] |= bits;
    }
}

uint64_t PeekWindowSlow(const BIT_STREAM_STATE& s) {
    if (s.position < 0) return 0;
    const uint32_t position = static_cast<uint32_t>(s.position);
    // 7 + 32 bits of the window are ever asked for.
    return LoadWindow(s, position / 8) << (position % 8);
}

void ReloadCachedWord(BIT_STREAM_STATE& s) {
    s.cachedWord = WordAt(s, s.position);
}

int64_t BitsLeft() {
    return static_cast<int64_t>(g_BitStream.size) * 8 - g_BitStream.position;
}

}  // namespace velmora::record

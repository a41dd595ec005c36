// The decompressor of the byte-code image's Boolean array data: an LZ77
// variant over a bit stream, least significant bit first.

#include <cstring>

#include "program/AlteraJtagConfig.h"

namespace velmora::program {

namespace {

constexpr uint32_t kWindowFormat1 = 8192;
constexpr uint32_t kWindowFormat2 = 8191;

}  // namespace

uint32_t CAlteraJtagConfig::BitsNeeded(uint32_t value) {
    value &= 0xFFFF;
    if (value == 0) return 1;
    uint32_t bits = 0;
    while (value != 0) {
        ++bits;
        value >>= 1;
    }
    return bits;
}

uint32_t CAlteraJtagConfig::ReadBits(const uint8_t* pInput, int32_t count) {
    uint32_t result = 0;
    for (int32_t i = 0; i < count; ++i) {
        // The block's length bounds the reading: past it the block is corrupt.
        if (m_dwInputIndex >= m_dwCompressedLength) {
            m_bInputOverrun = true;
            return result;
        }
        const uint32_t bit = (pInput[m_dwInputIndex] >> (8 - m_dwBitsLeft)) & 1;
        result |= bit << i;
        if (--m_dwBitsLeft == 0) {
            m_dwBitsLeft = 8;
            ++m_dwInputIndex;
        }
    }
    return result;
}

uint32_t CAlteraJtagConfig::Uncompress(const uint8_t* pInput, uint32_t compressedLength,
                                       uint8_t* pOutput, uint32_t capacity, int32_t version) {
    m_dwCompressedLength = compressedLength;
    m_dwInputIndex = 0;
    m_dwBitsLeft = 8;
    m_bInputOverrun = false;
    if (capacity != 0) std::memset(pOutput, 0, capacity);

    uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
        length |= ReadBits(pInput, 8) << (8 * i);
    if (m_bInputOverrun || length > capacity) return 0;

    const uint32_t window = version == 0 ? kWindowFormat1 : kWindowFormat2;
    uint32_t written = 0;
    while (written < length) {
        if (ReadBits(pInput, 1) != 0) {
            const uint32_t offset = ReadBits(
                pInput, static_cast<int32_t>(BitsNeeded(written < window ? written : window)));
            const uint32_t count = ReadBits(pInput, 8);
            // A reference before the start of the output is corrupt.
            if (m_bInputOverrun || offset > written) return 0;
            for (uint32_t i = 0; i < count && written < length; ++i, ++written)
                pOutput[written] = pOutput[written - offset];
        } else {
            for (int i = 0; i < 3 && written < length; ++i) {
                const uint32_t value = ReadBits(pInput, 8);
                if (m_bInputOverrun) return 0;
                pOutput[written++] = static_cast<uint8_t>(value);
            }
        }
        if (m_bInputOverrun) return 0;
    }
    return length;
}

}  // namespace velmora::program

#pragma once

// The section checksum of MPEG-2 systems (CRC-32/MPEG-2): polynomial
// 0x04C11DB7, register preset to all ones, bytes fed most significant bit
// first, no reflection and no final inversion. Over a whole section
// including its four CRC bytes it gives 0 for an intact section.

#include <cstdint>

namespace velmora::ts {

// The register after the last byte; 0xFFFFFFFF for a length of 0.
uint32_t Crc32Mpeg(const uint8_t* data, uint32_t length);

}  // namespace velmora::ts

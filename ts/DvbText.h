#pragma once

// Text of the DVB service information (service and provider names): an
// optional character-table selector, then the text in that table.

#include <cstdint>

namespace velmora::ts {

// The bytes of a text kept in a zero-filled field of `size` bytes, its
// selector included: up to the first zero byte, or for two-byte text (UCS-2)
// up to the first zero character.
uint32_t DvbTextLength(const char* field, uint32_t size);

// The text as UTF-16 in `capacity` units, a zero terminator included, the
// rest zero-filled. The tables are those of the selector: the default
// (ISO 6937 with the euro sign at 0xA4), ISO 8859-5 to -15 (0x01 to 0x0B, and
// 0x10 with the part number), UCS-2 (0x11), GB-2312 (0x13), Big5 (0x14) and
// UTF-8 (0x15). Bytes a table does not define are left out, as are the
// control codes; under a selector of an unknown table only the printable
// ASCII characters are kept.
void DecodeDvbText(const uint8_t* text, uint32_t length, uint16_t* out, uint32_t capacity);

}  // namespace velmora::ts

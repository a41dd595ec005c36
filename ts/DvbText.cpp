#include "ts/DvbText.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace velmora::ts {

namespace {

constexpr uint8_t kSelectorUcs2 = 0x11;
constexpr uint8_t kSelectorPart = 0x10;
constexpr uint8_t kSelectorEncodingId = 0x1F;
constexpr const char* kDefaultTable = "ISO_6937";
constexpr uint8_t kEuroByte = 0xA4;
constexpr char32_t kEuro = 0x20AC;
// Characters come out of iconv one at a time as UTF-32 in host order.
static_assert(std::endian::native == std::endian::little);
constexpr const char* kCharacters = "UTF-32LE";

// The iconv name of the text's table ("" for a table not known), where the
// text starts after its selector and the bytes of its code unit.
struct TABLE {
    std::string name;
    uint32_t start;
    uint32_t unit = 1;
};

std::string Iso8859(uint32_t part) {
    // There is no part 12.
    return part >= 1 && part <= 15 && part != 12 ? "ISO-8859-" + std::to_string(part) : "";
}

TABLE TableOf(const uint8_t* text, uint32_t length) {
    const uint8_t selector = text[0];
    if (selector >= 0x20) return {kDefaultTable, 0};
    if (selector >= 0x01 && selector <= 0x0B) return {Iso8859(selector + 4u), 1};
    switch (selector) {
        case kSelectorPart:
            return length >= 3 ? TABLE{Iso8859((text[1] << 8) | text[2]), 3} : TABLE{"", length};
        case kSelectorUcs2:
            // A surrogate pair passes as the one character it encodes.
            return {"UTF-16BE", 1, 2};
        case 0x13:
            return {"GB2312", 1};
        case 0x14:
            return {"BIG5", 1};
        case 0x15:
            return {"UTF-8", 1};
        case kSelectorEncodingId:
            return {"", length >= 2 ? 2u : length};
        default:
            return {"", 1};
    }
}

// DVB's control codes (emphasis, line break), in their one-byte places and
// in the private use area, and the C0 and C1 controls are not text.
bool IsText(char32_t c) {
    return c >= 0x20 && !(c >= 0x7F && c <= 0x9F) && !(c >= 0xE080 && c <= 0xE09F);
}

// Appends one character as UTF-16; false when it does not fit before the
// terminator.
bool Put(char32_t c, uint16_t* out, uint32_t capacity, uint32_t* used) {
    if (!IsText(c)) return true;
    const uint32_t units = c >= 0x10000 ? 2 : 1;
    if (*used + units >= capacity) return false;
    if (units == 2) {
        out[(*used)++] = static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10));
        out[(*used)++] = static_cast<uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        out[(*used)++] = static_cast<uint16_t>(c);
    }
    return true;
}

// The next character of the text through `convert`, one at a time; 0 at the
// end or at a character cut short there. A code unit the table does not
// define is passed over whole, so that the units after it stay aligned.
char32_t NextCharacter(iconv_t convert, uint32_t unit, const uint8_t*& at, const uint8_t* end) {
    while (at < end) {
        char32_t c = 0;
        char* in = const_cast<char*>(reinterpret_cast<const char*>(at));
        size_t inLeft = static_cast<size_t>(end - at);
        char* out = reinterpret_cast<char*>(&c);
        size_t outLeft = sizeof(c);
        const size_t result = iconv(convert, &in, &inLeft, &out, &outLeft);
        const int error = errno;
        at = reinterpret_cast<const uint8_t*>(in);
        if (outLeft == 0) return c;
        if (result != static_cast<size_t>(-1) || error == EINVAL) return 0;
        iconv(convert, nullptr, nullptr, nullptr, nullptr);
        at += std::min<std::ptrdiff_t>(unit, end - at);
    }
    return 0;
}

// False when the system cannot convert from the table.
bool DecodeTable(const TABLE& table, const uint8_t* at, const uint8_t* end, uint16_t* out,
                 uint32_t capacity, uint32_t* used) {
    const iconv_t convert = iconv_open(kCharacters, table.name.c_str());
    if (convert == reinterpret_cast<iconv_t>(-1)) return false;
    const bool defaultTable = table.name == kDefaultTable;
    bool room = true;
    while (room && at < end) {
        // The default table's euro sign is not ISO 6937's.
        if (defaultTable && *at == kEuroByte) {
            room = Put(kEuro, out, capacity, used);
            ++at;
            continue;
        }
        const char32_t c = NextCharacter(convert, table.unit, at, end);
        if (c == 0) break;
        room = Put(c, out, capacity, used);
    }
    iconv_close(convert);
    return true;
}

void DecodeAscii(const uint8_t* at, const uint8_t* end, uint16_t* out, uint32_t capacity,
                 uint32_t* used) {
    for (; at < end; ++at) {
        if (*at < 0x80 && !Put(*at, out, capacity, used)) return;
    }
}

}  // namespace

uint32_t DvbTextLength(const char* field, uint32_t size) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(field);
    if (size == 0) return 0;
    if (bytes[0] == kSelectorUcs2) {
        uint32_t length = 1;
        while (length + 1 < size && (bytes[length] != 0 || bytes[length + 1] != 0))
            length += 2;
        return length < size ? length : size;
    }
    // The part number of an ISO 8859 selector holds a zero byte.
    uint32_t length = bytes[0] == kSelectorPart ? 3 : 0;
    while (length < size && bytes[length] != 0)
        ++length;
    return length < size ? length : size;
}

void DecodeDvbText(const uint8_t* text, uint32_t length, uint16_t* out, uint32_t capacity) {
    if (capacity == 0) return;
    std::memset(out, 0, capacity * sizeof(uint16_t));
    if (length == 0) return;
    uint32_t used = 0;
    const TABLE table = TableOf(text, length);
    const uint8_t* at = text + table.start;
    const uint8_t* end = text + length;
    if (table.name.empty() || !DecodeTable(table, at, end, out, capacity, &used)) {
        DecodeAscii(at, end, out, capacity, &used);
    }
}

}  // namespace velmora::ts

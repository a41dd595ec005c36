#pragma once

#include <string>
#include <string_view>

namespace velmora::platform {

// Conversions between the wide strings of the exported interface (UTF-32 on
// this system), the UTF-16 text of fixed-layout records and UTF-8, which is the
// narrow encoding (the "ANSI code page") here. Invalid input is replaced by
// U+FFFD, never dropped silently.
std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace velmora::platform

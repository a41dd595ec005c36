#include "card/UtilityFunc.h"

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/TextConv.h"
#include "platform/Trace.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::card {
namespace {

// Copies the words that follow the last whole wide unit.
void CopyTailWords(uint8_t* destination, const uint8_t* source, size_t firstWord, size_t count) {
    if (firstWord < count) {
        std::memcpy(destination + firstWord * 4, source + firstWord * 4, (count - firstWord) * 4);
    }
}

void FillTailWords(uint8_t* destination, uint32_t value, size_t firstWord, size_t count) {
    for (size_t word = firstWord; word < count; ++word) {
        std::memcpy(destination + word * 4, &value, 4);
    }
}

}  // namespace

void CUtilityFunc::MemCopyDword(void* destination, const void* source, uint32_t count) {
    if (destination == nullptr || source == nullptr) return;
    auto* to = static_cast<uint8_t*>(destination);
    const auto* from = static_cast<const uint8_t*>(source);
    const size_t units = count / 2;
    for (size_t unit = 0; unit < units; ++unit) {
        uint64_t pair;
        std::memcpy(&pair, from + unit * 8, 8);
        std::memcpy(to + unit * 8, &pair, 8);
    }
    CopyTailWords(to, from, units * 2, count);
}

void CUtilityFunc::MemFillDword(void* destination, uint32_t value, uint32_t count) {
    if (destination == nullptr) return;
    auto* to = static_cast<uint8_t*>(destination);
    const uint64_t pair = (static_cast<uint64_t>(value) << 32) | value;
    const size_t units = count / 2;
    for (size_t unit = 0; unit < units; ++unit) {
        std::memcpy(to + unit * 8, &pair, 8);
    }
    FillTailWords(to, value, units * 2, count);
}

void CUtilityFunc::MemFillDwordBytewise(void* destination, uint32_t value, uint32_t count) {
    if (destination == nullptr) return;
    auto* to = static_cast<uint8_t*>(destination);
    for (size_t word = 0; word < count; ++word) {
        to[word * 4 + 0] = static_cast<uint8_t>(value);
        to[word * 4 + 1] = static_cast<uint8_t>(value >> 8);
        to[word * 4 + 2] = static_cast<uint8_t>(value >> 16);
        to[word * 4 + 3] = static_cast<uint8_t>(value >> 24);
    }
}

void CUtilityFunc::MemCopyDword128(void* destination, const void* source, uint32_t count) {
    if (destination == nullptr || source == nullptr) return;
    auto* to = static_cast<uint8_t*>(destination);
    const auto* from = static_cast<const uint8_t*>(source);
    const size_t units = count / 4;
#if defined(__SSE2__)
    for (size_t unit = 0; unit < units; ++unit) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + unit * 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + unit * 16), block);
    }
#else
    std::memcpy(to, from, units * 16);
#endif
    CopyTailWords(to, from, units * 4, count);
}

void CUtilityFunc::MemFillDword128(void* destination, uint32_t value, uint32_t count) {
    if (destination == nullptr) return;
    auto* to = static_cast<uint8_t*>(destination);
    const size_t units = count / 4;
#if defined(__SSE2__)
    const __m128i block = _mm_set1_epi32(static_cast<int>(value));
    for (size_t unit = 0; unit < units; ++unit) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + unit * 16), block);
    }
#else
    FillTailWords(to, value, 0, units * 4);
#endif
    FillTailWords(to, value, units * 4, count);
}

void CUtilityFunc::InvertLowBytes(void* destination, const void* source, uint32_t count) {
    if (destination == nullptr || source == nullptr) return;
    auto* to = static_cast<uint8_t*>(destination);
    const auto* from = static_cast<const uint8_t*>(source);
    // Items are little-endian: the low byte comes first.
    for (size_t item = 0; item < count; ++item) {
        to[item * 2] = static_cast<uint8_t>(255 - from[item * 2]);
    }
}

void CUtilityFunc::BinarizeLowBytes(void* destination, const void* source, uint32_t count) {
    if (destination == nullptr || source == nullptr) return;
    auto* to = static_cast<uint8_t*>(destination);
    const auto* from = static_cast<const uint8_t*>(source);
    for (size_t item = 0; item < count; ++item) {
        to[item * 2] = from[item * 2] != 0 ? 255 : 0;
        to[item * 2 + 1] = 0;
    }
}

int32_t CUtilityFunc::GetSdkVersion(uint32_t* version) {
    if (version == nullptr) return 0;
    *version = kSdkVersion;
    return 1;
}

void CUtilityFunc::TraceMessage(const wchar_t* className, const wchar_t* functionName, int number,
                                const wchar_t* format, ...) {
    // vswprintf leaves a cut message unterminated, and a failed one partly
    // written: start from zeros and always close the buffer.
    wchar_t message[kTraceBufferSize] = {};
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        std::vswprintf(message, kTraceBufferSize, format, args);
        va_end(args);
        message[kTraceBufferSize - 1] = L'\0';
    }

    wchar_t numberText[32];
    std::swprintf(numberText, 32, L" - %d - ", number);

    std::wstring line = L"\n";
    if (className != nullptr) line += className;
    line += L" - ";
    if (functionName != nullptr) line += functionName;
    line += numberText;
    line += message;
    platform::OutputDebugString(platform::WideToUtf8(line));
}

}  // namespace velmora::card

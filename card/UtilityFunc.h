#pragma once

// Word copy and fill routines for frame memory and image code, the SDK
// version and the debugger trace line. The class holds nothing; the library
// keeps a few global instances (LoadTimeGlobals.h) and image code makes its
// own on the stack.

#include <cstdint>

namespace velmora::card {

class CUtilityFunc {
  public:
    // The trace message (without its class/function/number prefix) is cut to
    // this many wide characters, terminator included.
    static constexpr unsigned kTraceBufferSize = 1024;
    static constexpr uint32_t kSdkVersion = 0x40000;

    // Counts are in 32-bit words (16-bit items for the two low-byte routines).
    // Every routine handles exactly count units and does nothing for a null
    // pointer.
    void MemCopyDword(void* destination, const void* source, uint32_t count);
    void MemFillDword(void* destination, uint32_t value, uint32_t count);
    // Stores each word one byte at a time, low byte first, whatever the
    // host's byte order.
    void MemFillDwordBytewise(void* destination, uint32_t value, uint32_t count);
    void MemCopyDword128(void* destination, const void* source, uint32_t count);
    void MemFillDword128(void* destination, uint32_t value, uint32_t count);
    // Per 16-bit item: low byte := 255 - source low byte, high byte kept.
    void InvertLowBytes(void* destination, const void* source, uint32_t count);
    // Per 16-bit item: 255 when the source's low byte is non-zero, else 0.
    void BinarizeLowBytes(void* destination, const void* source, uint32_t count);

    // 0x40000 into *version; 0 for a null pointer, else 1.
    int32_t GetSdkVersion(uint32_t* version);

    // Sends "\n<class> - <function> - <number> - <message>" to the debugger
    // output. The wide format follows vswprintf, so "%s" takes narrow strings.
    void TraceMessage(const wchar_t* className, const wchar_t* functionName, int number,
                      const wchar_t* format, ...);
};

}  // namespace velmora::card

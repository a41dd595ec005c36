#pragma once

// The header of a JBC image and bounded access to its tables and strings:
// every multi-byte field is big-endian, and nothing is read outside the image.

#include <cstdint>
#include <cstring>

namespace velmora::program {

inline constexpr uint32_t kJbcMinimumSize = 53;
inline constexpr uint32_t kJbcActionEntrySize = 12;
inline constexpr uint32_t kJbcProcedureEntrySize = 13;
inline constexpr uint32_t kJbcNoteEntrySize = 8;

struct JbcHeader {
    int32_t version;  // 1 or 2
    uint32_t actionTable, procedureTable, stringTable, noteStrings, noteTable, symbolTable;
    uint32_t dataSection, codeSection, debugSection, crcOffset;
    uint32_t actionCount, procedureCount, noteCount, symbolCount;
};

inline uint32_t LoadBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// A view of the image with bounds on every access.
class CJbcImage {
  public:
    CJbcImage(const uint8_t* pImage, int32_t size)
        : m_p(pImage), m_size(pImage != nullptr && size > 0 ? static_cast<uint32_t>(size) : 0) {}

    uint32_t Size() const { return m_size; }
    const uint8_t* Data() const { return m_p; }
    // Whether [offset, offset + count) lies inside the image.
    bool Holds(uint64_t offset, uint64_t count) const {
        return offset <= m_size && count <= m_size - offset;
    }
    bool Be32(uint64_t offset, uint32_t* pValue) const {
        if (!Holds(offset, 4)) return false;
        *pValue = LoadBe32(m_p + offset);
        return true;
    }
    // A terminated string at `offset`, or null.
    const char* String(uint64_t offset) const {
        if (offset >= m_size) return nullptr;
        const void* end = std::memchr(m_p + offset, 0, m_size - offset);
        return end != nullptr ? reinterpret_cast<const char*>(m_p + offset) : nullptr;
    }

    // Signature, size and header fields; false for an invalid image.
    bool Header(JbcHeader* pHeader) const {
        if (m_size < kJbcMinimumSize) return false;
        const uint32_t signature = LoadBe32(m_p);
        if ((signature & 0xFFFFFFFEu) != 0x4A414D00u) return false;
        JbcHeader& h = *pHeader;
        h = JbcHeader{};
        h.version = static_cast<int32_t>(signature & 1) + 1;
        const uint32_t d = h.version == 2 ? 8 : 0;
        // Format 2's procedure count ends at byte 56.
        if (h.version == 2 && !Holds(0, 56)) return false;
        if (h.version == 2) {
            h.actionTable = LoadBe32(m_p + 4);
            h.procedureTable = LoadBe32(m_p + 8);
            h.actionCount = LoadBe32(m_p + 48);
            h.procedureCount = LoadBe32(m_p + 52);
        }
        h.stringTable = LoadBe32(m_p + 4 + d);
        h.noteStrings = LoadBe32(m_p + 8 + d);
        h.noteTable = LoadBe32(m_p + 12 + d);
        h.symbolTable = LoadBe32(m_p + 16 + d);
        h.dataSection = LoadBe32(m_p + 20 + d);
        h.codeSection = LoadBe32(m_p + 24 + d);
        h.debugSection = LoadBe32(m_p + 28 + d);
        h.crcOffset = LoadBe32(m_p + 32 + d);
        // Format 2's counts sit past the first 53 bytes.
        if (!Be32(44 + 2 * d, &h.noteCount) || !Be32(48 + 2 * d, &h.symbolCount)) return false;
        return true;
    }

  private:
    const uint8_t* m_p;
    uint32_t m_size;
};

}  // namespace velmora::program

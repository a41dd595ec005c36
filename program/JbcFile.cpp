// The file services of the byte-code image: CRC, format and counts, actions
// with their procedure chains, and notes. They read the image only, inside
// its bounds.

#include <new>

#include "program/AlteraJtagConfig.h"
#include "program/JbcImage.h"

namespace velmora::program {

namespace {

// CRC-16/X-25 (the HDLC frame check sequence).
uint16_t Crc16X25(const uint8_t* data, uint32_t size) {
    uint16_t crc = 0xFFFF;
    for (uint32_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return static_cast<uint16_t>(~crc);
}

// Copies at most `length` characters; a string that does not fit is cut at
// length - 1 and terminated.
void CopyCut(char* target, const char* source, int32_t length) {
    if (target == nullptr || length < 1) return;
    int32_t i = 0;
    for (; i < length - 1 && source[i] != '\0'; ++i)
        target[i] = source[i];
    target[i] = '\0';
}

}  // namespace

int32_t CAlteraJtagConfig::CheckCrc(uint16_t* pStored, uint16_t* pComputed) {
    const CJbcImage image(m_pImage, m_nImageSize);
    JbcHeader h;
    if (!image.Header(&h)) return kJbcBadImage;
    if (!image.Holds(h.crcOffset, 2)) return kJbcBadImage;
    const uint16_t stored =
        static_cast<uint16_t>((image.Data()[h.crcOffset] << 8) | image.Data()[h.crcOffset + 1]);
    const uint16_t computed = Crc16X25(image.Data(), h.crcOffset);
    if (pStored != nullptr) *pStored = stored;
    if (pComputed != nullptr) *pComputed = computed;
    return stored != computed ? kJbcCrcMismatch : kJbcSuccess;
}

int32_t CAlteraJtagConfig::GetFileInfo(int32_t* pVersion, int32_t* pActionCount,
                                       int32_t* pProcedureCount) {
    const CJbcImage image(m_pImage, m_nImageSize);
    JbcHeader h;
    if (!image.Header(&h)) return kJbcBadImage;
    if (pVersion != nullptr) *pVersion = h.version;
    if (h.version == 2) {
        if (pActionCount != nullptr) *pActionCount = static_cast<int32_t>(h.actionCount);
        if (pProcedureCount != nullptr) *pProcedureCount = static_cast<int32_t>(h.procedureCount);
    }
    return kJbcSuccess;
}

int32_t CAlteraJtagConfig::GetActionInfo(int32_t index, const char** ppName,
                                         const char** ppDescription, JBC_PROCEDURE_NODE** ppList) {
    const CJbcImage image(m_pImage, m_nImageSize);
    JbcHeader h;
    if (!image.Header(&h) || h.version != 2) return kJbcBadImage;
    if (index < 0 || static_cast<uint32_t>(index) >= h.actionCount) return kJbcBadImage;
    const uint64_t entry = h.actionTable + uint64_t{kJbcActionEntrySize} * index;
    uint32_t nameOffset = 0, descriptionOffset = 0, first = 0;
    if (!image.Be32(entry, &nameOffset) || !image.Be32(entry + 4, &descriptionOffset) ||
        !image.Be32(entry + 8, &first)) {
        return kJbcBadImage;
    }
    const char* name = image.String(uint64_t{h.stringTable} + nameOffset);
    if (name == nullptr) return kJbcBadImage;
    const char* description = nullptr;
    if (descriptionOffset < h.noteStrings - h.stringTable) {
        description = image.String(uint64_t{h.stringTable} + descriptionOffset);
        if (description == nullptr) return kJbcBadImage;
    }

    // Walk the chain into a list of our own first, so that a bad chain
    // leaves the caller's list as it was.
    JBC_PROCEDURE_NODE* head = nullptr;
    JBC_PROCEDURE_NODE** tail = &head;
    int32_t status = kJbcSuccess;
    uint32_t procedure = first;
    uint64_t walked = 0;
    do {
        // A chain longer than the table loops.
        if (procedure >= h.procedureCount || ++walked > h.procedureCount) {
            FreeProcedureList(head);
            return kJbcBadImage;
        }
        const uint64_t at = h.procedureTable + uint64_t{kJbcProcedureEntrySize} * procedure;
        uint32_t procName = 0, next = 0;
        const char* text = nullptr;
        if (!image.Be32(at, &procName) || !image.Be32(at + 4, &next) || !image.Holds(at + 8, 1) ||
            (text = image.String(uint64_t{h.stringTable} + procName)) == nullptr) {
            FreeProcedureList(head);
            return kJbcBadImage;
        }
        auto* node = new (std::nothrow)
            JBC_PROCEDURE_NODE{text, static_cast<uint8_t>(image.Data()[at + 8] & 3), nullptr};
        if (node == nullptr) {
            status = kJbcOutOfMemory;
        } else {
            *tail = node;
            tail = &node->next;
        }
        procedure = next;
    } while (procedure != 0 && procedure < h.procedureCount);

    if (ppName != nullptr) *ppName = name;
    if (ppDescription != nullptr && description != nullptr) *ppDescription = description;
    if (ppList != nullptr) {
        JBC_PROCEDURE_NODE** end = ppList;
        while (*end != nullptr)
            end = &(*end)->next;
        *end = head;
    } else {
        FreeProcedureList(head);
    }
    return status;
}

int32_t CAlteraJtagConfig::GetNote(int32_t* pIndex, char* pKey, char* pValue, int32_t length) {
    const CJbcImage image(m_pImage, m_nImageSize);
    JbcHeader h;
    if (!image.Header(&h)) return kJbcBadImage;
    if (h.noteCount == 0) return kJbcNotFound;

    auto note = [&](uint32_t i, const char** key, const char** value) {
        const uint64_t at = h.noteTable + uint64_t{kJbcNoteEntrySize} * i;
        uint32_t keyOffset = 0, valueOffset = 0;
        if (!image.Be32(at, &keyOffset) || !image.Be32(at + 4, &valueOffset)) return false;
        *key = image.String(uint64_t{h.noteStrings} + keyOffset);
        *value = image.String(uint64_t{h.noteStrings} + valueOffset);
        return *key != nullptr && *value != nullptr;
    };

    const char* key = nullptr;
    const char* value = nullptr;
    if (pIndex != nullptr) {
        if (*pIndex < 0 || static_cast<uint32_t>(*pIndex) >= h.noteCount) return kJbcNotFound;
        if (!note(static_cast<uint32_t>(*pIndex), &key, &value)) return kJbcBadImage;
        CopyCut(pKey, key, length);
        CopyCut(pValue, value, length);
        ++*pIndex;
        return kJbcSuccess;
    }
    if (pKey == nullptr) return kJbcNotFound;
    for (uint32_t i = 0; i < h.noteCount; ++i) {
        if (!note(i, &key, &value)) return kJbcBadImage;
        if (CAlteraJtagConfig::CompareNoCase(key, pKey) == 0) {
            CopyCut(pValue, value, length);
            return kJbcSuccess;
        }
    }
    return kJbcNotFound;
}

}  // namespace velmora::program

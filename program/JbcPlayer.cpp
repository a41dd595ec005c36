// The byte-code player: loads the image's symbols, chooses where the action
// starts, interprets the byte code on a 128-entry stack machine and releases
// everything at the end. Every offset, index, range and array kind the byte
// code supplies is checked: nothing is read or written outside the image,
// the stack or an array.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "program/AlteraJtagConfig.h"
#include "program/JbcImage.h"

namespace velmora::program {

namespace {

constexpr int kStackSize = 128;
constexpr size_t kMessageLength = 1024;
// No array of a CPLD's byte code comes near this; larger sizes are refused
// as memory the player will not take.
constexpr uint64_t kMaxArrayBytes = 64u << 20;

// Attribute bits of the run.
constexpr uint8_t kOwned = 0x80;
constexpr uint8_t kCopied = 0x01;
constexpr uint8_t kProcedureDisabled = 0x40;
constexpr uint8_t kProcedureEnabled = 0x80;

// Compares the name part of "name=value" with `name`, without case; the
// value part goes to *pValue. False for a string without '='.
bool InitEntryNames(const char* entry, const char* name, uint32_t* pValue) {
    const char* equals = std::strchr(entry, '=');
    if (equals == nullptr) return false;
    const char* p = entry;
    const char* q = name;
    for (; p < equals && *q != '\0'; ++p, ++q) {
        if (CAlteraJtagConfig::ToUpperAscii(*p) != CAlteraJtagConfig::ToUpperAscii(*q))
            return false;
    }
    if (p != equals || *q != '\0') return false;
    *pValue = CAlteraJtagConfig::ParseDecimal(equals + 1);
    return true;
}

inline int32_t Wrap(int64_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

}  // namespace

class CJbcPlayer {
  public:
    explicit CJbcPlayer(CAlteraJtagConfig& jtag)
        : m_jtag(jtag), m_image(jtag.m_pImage, jtag.m_nImageSize) {}
    ~CJbcPlayer() { Release(); }
    CJbcPlayer(const CJbcPlayer&) = delete;
    CJbcPlayer& operator=(const CJbcPlayer&) = delete;

    int32_t Run(int32_t reset, uint32_t* pErrorAddress, int32_t* pExitCode, int32_t* pVersion);

  private:
    // Loading.
    bool Load(int32_t* pVersion);
    bool SetUpSymbol(uint32_t index);
    void ApplyInitListToSymbols();
    bool SymbolName(uint32_t index, const char** ppName);
    bool ChooseStart();
    bool ProcedureEntry(uint32_t index, uint32_t* pNext, uint8_t* pAttributes, uint32_t* pEntry,
                        const char** ppName);
    bool Skipped(uint32_t index) const {
        const uint8_t a = m_procedureAttributes[index];
        return a == 1 || (a & 0xC0) == kProcedureDisabled;
    }
    // From `index` on along the chain to the first procedure that runs;
    // false (status set or done) when there is none.
    bool EnterProcedureFrom(uint32_t index, bool first);
    void Release();

    // Execution.
    void Step();
    bool Fetch(uint32_t* pValue, uint32_t bytes);
    bool JumpTo(int64_t offset);
    bool Fail(int32_t status) {
        if (m_status == kJbcSuccess) m_status = status;
        return false;
    }
    bool Need(int64_t count) {
        return count >= 0 && count <= m_depth ? true : Fail(kJbcStackError);
    }
    bool Push(int32_t value) {
        if (m_depth >= kStackSize - 1) return Fail(kJbcStackError);
        m_stack[m_depth++] = value;
        return true;
    }
    int32_t Pop() { return m_stack[--m_depth]; }
    int32_t& Top(int fromTop = 1) { return m_stack[m_depth - fromTop]; }
    bool Spend(uint64_t clocks);
    bool Symbol(uint32_t index) {
        return index < m_header.symbolCount ? true : Fail(kJbcBoundsError);
    }
    bool CheckString(uint32_t offset) {
        return m_image.String(uint64_t{m_header.stringTable} + offset) != nullptr
                   ? true
                   : Fail(kJbcBadImage);
    }
    void Append(const char* text);

    // Arrays.
    bool IsBoolean(uint32_t v) const { return (m_attributes[v] & 0x18) == 0x08; }
    bool IsWritableBoolean(uint32_t v) const { return (m_attributes[v] & 0x1C) == 0x08; }
    uint8_t* Storage(uint32_t v) const { return reinterpret_cast<uint8_t*>(m_variables[v]); }
    uint64_t Capacity(uint32_t v) const { return m_bounds[v] > 0 ? uint64_t(m_bounds[v]) : 0; }
    // Bits [start, start + count) of a Boolean array lie inside it.
    bool BitRange(uint32_t v, int64_t start, int64_t count) {
        if (start < 0 || count < 0 || Storage(v) == nullptr ||
            uint64_t(start) + uint64_t(count) > Capacity(v)) {
            return count == 0 && start >= 0 ? true : Fail(kJbcBoundsError);
        }
        return true;
    }
    bool ReadBit(uint32_t v, uint64_t i) const { return (Storage(v)[i >> 3] >> (i & 7)) & 1; }
    void WriteBit(uint32_t v, uint64_t i, bool value) {
        uint8_t& byte = Storage(v)[i >> 3];
        const uint8_t mask = static_cast<uint8_t>(1u << (i & 7));
        byte = value ? byte | mask : byte & static_cast<uint8_t>(~mask);
    }
    bool CopyOnWrite(uint32_t v);
    bool AllocateArray(uint32_t v, int64_t bound);

    // Instructions of the JTAG and array families.
    void ScanValue(bool ir, bool capture);
    void AmbleOnes(int which);
    void AmbleValue(int which);
    void AmbleArray(int which, uint32_t v);
    int32_t SetAmble(int which, uint32_t count, uint32_t start, const uint8_t* pSource);
    void ScanArray(bool ir, uint32_t v);
    void ScanArrayCapture(bool ir, uint32_t v, uint32_t w);
    void Wait(int32_t state, int32_t end);
    void PopIntegerElement(uint32_t v);
    void PopBooleanBits(uint32_t v);
    void PushIntegerElement(uint32_t v);
    void PushBooleanBits(uint32_t v);
    void ResizeArray(uint32_t v);
    void CopyBits(uint32_t v, uint32_t w);
    void CompareArrays(uint32_t v, uint32_t w, uint32_t m);
    void Return();
    void StackShuffle();
    void Next(uint32_t i);

    CAlteraJtagConfig& m_jtag;
    CJbcImage m_image;
    JbcHeader m_header{};
    int32_t m_version = 0;
    std::vector<intptr_t> m_variables;
    std::vector<int32_t> m_bounds;
    std::vector<uint8_t> m_attributes;
    std::vector<uint8_t> m_procedureAttributes;
    int32_t m_stack[kStackSize] = {};
    int m_depth = 0;
    uint32_t m_pc = 0;
    uint32_t m_instruction = 0;  // address of the current instruction
    uint32_t m_args[3] = {};
    uint32_t m_procedure = 0;
    char m_message[kMessageLength + 1] = {};
    size_t m_messageLength = 0;
    int32_t m_status = kJbcSuccess;
    bool m_done = false;
    bool m_exitWritten = false;
    int32_t m_exitCode = 0;
    uint64_t m_budget = 0;
};

// ---------------------------------------------------------------------------
// Loading and the end of the run.

bool CJbcPlayer::SymbolName(uint32_t index, const char** ppName) {
    const uint32_t entrySize = m_version == 2 ? 13 : 11;
    const uint64_t at = m_header.symbolTable + uint64_t{entrySize} * index;
    uint32_t offset = 0;
    if (m_version == 2) {
        if (!m_image.Be32(at + 1, &offset)) return Fail(kJbcBadImage);
    } else {
        if (!m_image.Holds(at + 1, 2)) return Fail(kJbcBadImage);
        offset = (uint32_t{m_image.Data()[at + 1]} << 8) | m_image.Data()[at + 2];
    }
    *ppName = m_image.String(uint64_t{m_header.stringTable} + offset);
    return *ppName != nullptr ? true : Fail(kJbcBadImage);
}

bool CJbcPlayer::AllocateArray(uint32_t v, int64_t bound) {
    const bool integer = (m_attributes[v] & 0x10) != 0;
    const uint64_t bytes = integer ? uint64_t(bound) * 4 : (uint64_t(bound) + 7) / 8;
    if (bytes > kMaxArrayBytes) return Fail(kJbcOutOfMemory);
    void* storage = std::calloc(bytes + 1, 1);
    if (storage == nullptr) return Fail(kJbcOutOfMemory);
    if ((m_attributes[v] & kOwned) != 0) std::free(Storage(v));
    m_variables[v] = reinterpret_cast<intptr_t>(storage);
    m_bounds[v] = static_cast<int32_t>(bound);
    m_attributes[v] |= kOwned;
    return true;
}

bool CJbcPlayer::SetUpSymbol(uint32_t index) {
    const uint32_t v = m_version == 2 ? 1 : 0;
    const uint64_t at = m_header.symbolTable + uint64_t{m_version == 2 ? 13u : 11u} * index;
    uint32_t value = 0, bound = 0;
    if (!m_image.Holds(at, 1) || !m_image.Be32(at + 3 + 2 * v, &value) ||
        !m_image.Be32(at + 7 + 2 * v, &bound)) {
        return Fail(kJbcBadImage);
    }
    const uint8_t t = m_image.Data()[at] & 0x7F;
    m_attributes[index] = t;
    m_bounds[index] = static_cast<int32_t>(bound);
    const uint64_t data = uint64_t{m_header.dataSection} + value;
    const int64_t signedBound = static_cast<int32_t>(bound);

    if ((t & 0x0C) == 0x04) {
        m_variables[index] = static_cast<int32_t>(value);
    } else if ((t & 0x1E) == 0x0E) {
        uint32_t length = 0;
        if (!m_image.Holds(data, 4) || !m_image.Holds(data, bound)) return Fail(kJbcBadImage);
        const uint8_t* block = m_image.Data() + data;
        length = CAlteraJtagConfig::LoadLe32(block);
        if (length > kMaxArrayBytes) return Fail(kJbcOutOfMemory);
        void* storage = std::calloc(uint64_t{length} + 1, 1);
        if (storage == nullptr) return Fail(kJbcOutOfMemory);
        m_variables[index] = reinterpret_cast<intptr_t>(storage);
        m_attributes[index] |= kOwned;
        m_bounds[index] = 0;
        const uint32_t unpacked =
            m_jtag.Uncompress(block, bound, static_cast<uint8_t*>(storage), length, m_version - 1);
        if (unpacked != length) return Fail(kJbcBadImage);
        m_bounds[index] = static_cast<int32_t>(uint64_t{length} * 8);
    } else if ((t & 0x1E) == 0x0C) {
        const uint64_t bytes = signedBound > 0 ? (uint64_t(signedBound) + 7) / 8 : 0;
        if (!m_image.Holds(data, bytes)) return Fail(kJbcBadImage);
        m_variables[index] = reinterpret_cast<intptr_t>(m_image.Data() + data);
    } else if ((t & 0x1C) == 0x1C) {
        const uint64_t bytes = signedBound > 0 ? uint64_t(signedBound) * 4 : 0;
        if (!m_image.Holds(data, bytes)) return Fail(kJbcBadImage);
        m_variables[index] = reinterpret_cast<intptr_t>(m_image.Data() + data);
    } else if ((t & 0x0C) == 0x08) {
        m_attributes[index] |= kOwned;
        if (signedBound >= 1) return AllocateArray(index, signedBound);
    }
    return true;
}

void CJbcPlayer::ApplyInitListToSymbols() {
    for (const char* const* entry = m_jtag.m_ppInitList; *entry != nullptr; ++entry) {
        for (uint32_t i = 0; i < m_header.symbolCount && m_status == kJbcSuccess; ++i) {
            const char* name = nullptr;
            uint32_t value = 0;
            // Only scalars take a value: an array's variable is its storage.
            if ((m_attributes[i] & 0x08) != 0 || !SymbolName(i, &name)) continue;
            if (InitEntryNames(*entry, name, &value)) m_variables[i] = static_cast<int32_t>(value);
        }
    }
}

bool CJbcPlayer::Load(int32_t* pVersion) {
    if (!m_image.Header(&m_header)) return Fail(kJbcBadImage);
    m_version = m_header.version;
    if (pVersion != nullptr) *pVersion = m_version;
    const JbcHeader& h = m_header;
    if (h.codeSection > h.debugSection || h.debugSection > m_image.Size()) {
        return Fail(kJbcBadImage);
    }
    const uint64_t symbolBytes = uint64_t{h.symbolCount} * (m_version == 2 ? 13 : 11);
    if (!m_image.Holds(h.symbolTable, symbolBytes)) return Fail(kJbcBadImage);
    if (m_version == 2 &&
        (!m_image.Holds(h.procedureTable, uint64_t{h.procedureCount} * kJbcProcedureEntrySize) ||
         !m_image.Holds(h.actionTable, uint64_t{h.actionCount} * kJbcActionEntrySize))) {
        return Fail(kJbcBadImage);
    }
    m_variables.assign(h.symbolCount, 0);
    m_bounds.assign(h.symbolCount, 0);
    m_attributes.assign(h.symbolCount, 0);
    if (m_version == 2) m_procedureAttributes.assign(h.procedureCount, 0);
    for (uint32_t i = 0; i < h.symbolCount; ++i) {
        if (!SetUpSymbol(i)) return false;
    }
    if (m_version == 1 && m_jtag.m_ppInitList != nullptr) ApplyInitListToSymbols();
    return m_status == kJbcSuccess;
}

bool CJbcPlayer::ProcedureEntry(uint32_t index, uint32_t* pNext, uint8_t* pAttributes,
                                uint32_t* pEntry, const char** ppName) {
    if (index >= m_header.procedureCount) return Fail(kJbcBadImage);
    const uint64_t at = m_header.procedureTable + uint64_t{kJbcProcedureEntrySize} * index;
    uint32_t name = 0;
    m_image.Be32(at, &name);
    m_image.Be32(at + 4, pNext);
    *pAttributes = m_image.Data()[at + 8] & 3;
    m_image.Be32(at + 9, pEntry);
    *ppName = m_image.String(uint64_t{m_header.stringTable} + name);
    if (*ppName == nullptr) return Fail(kJbcBadImage);
    // Past the table the chain ends.
    if (*pNext >= m_header.procedureCount) *pNext = 0;
    return true;
}

bool CJbcPlayer::EnterProcedureFrom(uint32_t index, bool first) {
    uint32_t next = 0, entry = 0;
    uint8_t attributes = 0;
    const char* name = nullptr;
    // A chain longer than the table loops.
    for (uint64_t walked = 0; walked <= m_header.procedureCount; ++walked) {
        if (index == 0 && !first) {
            m_done = true;
            return false;
        }
        first = false;
        if (!ProcedureEntry(index, &next, &attributes, &entry, &name)) return false;
        if (!Skipped(index)) {
            m_procedure = index;
            if (!JumpTo(entry)) return false;
            return true;
        }
        index = next;
    }
    return Fail(kJbcBadImage);
}

bool CJbcPlayer::ChooseStart() {
    const char* action = m_jtag.m_pszAction;
    if (action == nullptr) return Fail(kJbcActionNotFound);
    uint32_t firstProcedure = 0;
    bool found = false;
    for (uint32_t i = 0; i < m_header.actionCount && !found; ++i) {
        const uint64_t at = m_header.actionTable + uint64_t{kJbcActionEntrySize} * i;
        uint32_t nameOffset = 0;
        m_image.Be32(at, &nameOffset);
        const char* name = m_image.String(uint64_t{m_header.stringTable} + nameOffset);
        if (name == nullptr) return Fail(kJbcBadImage);
        if (CAlteraJtagConfig::CompareNoCase(name, action) == 0) {
            m_image.Be32(at + 8, &firstProcedure);
            found = true;
        }
    }
    if (!found) return Fail(kJbcActionNotFound);

    // The procedures' attributes, with what the init list enables or
    // disables.
    uint32_t index = firstProcedure;
    bool first = true;
    for (uint64_t walked = 0; index != 0 || first; ++walked) {
        if (walked > m_header.procedureCount) return Fail(kJbcBadImage);
        first = false;
        uint32_t next = 0, entry = 0;
        uint8_t attributes = 0;
        const char* name = nullptr;
        if (!ProcedureEntry(index, &next, &attributes, &entry, &name)) return false;
        m_procedureAttributes[index] = attributes;
        if (attributes != 0 && m_jtag.m_ppInitList != nullptr) {
            for (const char* const* init = m_jtag.m_ppInitList; *init != nullptr; ++init) {
                uint32_t value = 0;
                if (InitEntryNames(*init, name, &value)) {
                    m_procedureAttributes[index] |=
                        value == 0 ? kProcedureDisabled : kProcedureEnabled;
                }
            }
        }
        index = next;
    }
    return EnterProcedureFrom(firstProcedure, true);
}

void CJbcPlayer::Release() {
    for (size_t i = 0; i < m_variables.size(); ++i) {
        if ((m_attributes[i] & kOwned) != 0) std::free(Storage(static_cast<uint32_t>(i)));
    }
    m_variables.clear();
    m_attributes.clear();
}

int32_t CJbcPlayer::Run(int32_t reset, uint32_t* pErrorAddress, int32_t* pExitCode,
                        int32_t* pVersion) {
    m_budget = m_jtag.m_qwInstructionBudget;
    Load(pVersion);
    if (m_status != kJbcSuccess) m_done = true;
    m_jtag.InitJtag();
    m_pc = m_header.codeSection;
    if (!m_done && m_version == 2) ChooseStart();
    if (m_status != kJbcSuccess) m_done = true;
    while (!m_done) {
        Step();
        if (m_status == kJbcSuccess && (m_depth < 0 || m_depth >= kStackSize)) {
            m_status = kJbcStackError;
        }
        if (m_status != kJbcSuccess) {
            m_done = true;
            if (pErrorAddress != nullptr) *pErrorAddress = m_instruction - m_header.codeSection;
        }
    }
    m_jtag.FreeJtagBuffers(reset);
    if (m_exitWritten && pExitCode != nullptr) *pExitCode = m_exitCode;
    return m_status;
}

// ---------------------------------------------------------------------------
// Fetch and flow.

bool CJbcPlayer::Fetch(uint32_t* pValue, uint32_t bytes) {
    if (m_pc < m_header.codeSection || uint64_t{m_pc} + bytes > m_header.debugSection) {
        return Fail(kJbcBoundsError);
    }
    *pValue = bytes == 1 ? m_image.Data()[m_pc] : LoadBe32(m_image.Data() + m_pc);
    m_pc += bytes;
    return true;
}

bool CJbcPlayer::JumpTo(int64_t offset) {
    const int64_t target = int64_t{m_header.codeSection} + offset;
    if (offset < 0 || target >= int64_t{m_header.debugSection}) return Fail(kJbcBoundsError);
    m_pc = static_cast<uint32_t>(target);
    return true;
}

bool CJbcPlayer::Spend(uint64_t clocks) {
    if (m_budget == 0) return true;
    if (clocks >= m_budget) return Fail(kJbcBoundsError);
    m_budget -= clocks;
    return true;
}

void CJbcPlayer::Append(const char* text) {
    while (*text != '\0' && m_messageLength < kMessageLength)
        m_message[m_messageLength++] = *text++;
    m_message[m_messageLength] = '\0';
}

void CJbcPlayer::Return() {
    if (m_version == 2 && m_depth == 0) {
        uint32_t next = 0, entry = 0;
        uint8_t attributes = 0;
        const char* name = nullptr;
        if (!ProcedureEntry(m_procedure, &next, &attributes, &entry, &name)) return;
        if (!EnterProcedureFrom(next, false) && m_done && m_status == kJbcSuccess) {
            m_exitCode = 0;
            m_exitWritten = true;
        }
        return;
    }
    if (!Need(1)) return;
    const int32_t address = Pop();
    if (address == 0) {
        Fail(kJbcBoundsError);
        return;
    }
    JumpTo(address);
}

void CJbcPlayer::Next(uint32_t i) {
    if (!Need(3) || !Symbol(i)) return;
    if ((m_attributes[i] & 0x08) != 0) {
        Fail(kJbcBoundsError);
        return;
    }
    const int32_t step = Top(1), end = Top(2), loop = Top(3);
    const int32_t value = static_cast<int32_t>(m_variables[i]);
    if ((step >= 0 && value >= end) || (step < 0 && value <= end)) {
        m_depth -= 3;
        return;
    }
    m_variables[i] = Wrap(int64_t{value} + step);
    JumpTo(loop);
}

void CJbcPlayer::StackShuffle() {
    auto exchange = [&](int k) {
        if (Need(k)) std::swap(Top(1), Top(k));
    };
    auto copy = [&](int k) {
        if (Need(k)) Push(Top(k));
    };
    exchange(2);
    exchange(8);
    exchange(2);
    exchange(7);
    copy(9);
    exchange(3);
    exchange(2);
    copy(7);
    copy(7);
}

// ---------------------------------------------------------------------------
// The instruction loop.

void CJbcPlayer::Step() {
    m_instruction = m_pc;
    if (!Spend(1)) return;
    uint32_t opcode = 0;
    if (!Fetch(&opcode, 1)) return;
    const uint32_t argumentCount = opcode >> 6;
    for (uint32_t i = 0; i < argumentCount; ++i) {
        if (!Fetch(&m_args[i], 4)) return;
    }
    const uint32_t k = m_args[0];
    const int32_t sk = static_cast<int32_t>(k);
    const bool v2 = m_version == 2;

    switch (opcode) {
        case 0x00:
            break;
        case 0x01:
            if (Need(1)) Push(Top());
            break;
        case 0x02:
            if (Need(2)) std::swap(Top(1), Top(2));
            break;
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06:
        case 0x07:
        case 0x08:
        case 0x09:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x0F:
        case 0x10:
        case 0x26: {
            if (!Need(2)) break;
            const int32_t a = Pop();
            int32_t& b = Top();
            switch (opcode) {
                case 0x03:
                    b = Wrap(int64_t{b} + a);
                    break;
                case 0x04:
                    b = Wrap(int64_t{b} - a);
                    break;
                case 0x05:
                    b = Wrap(int64_t{b} * a);
                    break;
                case 0x06:
                case 0x07:
                    if (a == 0 || (a == -1 && b == INT32_MIN)) {
                        ++m_depth;
                        Fail(kJbcBoundsError);
                        break;
                    }
                    b = opcode == 0x06 ? b / a : b % a;
                    break;
                case 0x08:
                    b = static_cast<int32_t>(static_cast<uint32_t>(b) << (uint32_t(a) % 32));
                    break;
                case 0x09:
                    b = b >> (uint32_t(a) % 32);
                    break;
                case 0x0B:
                    b &= a;
                    break;
                case 0x0C:
                    b |= a;
                    break;
                case 0x0D:
                    b ^= a;
                    break;
                case 0x0F:
                    b = b > a ? 1 : 0;
                    break;
                case 0x10:
                    b = b < a ? 1 : 0;
                    break;
                case 0x26:
                    b = b == a ? 1 : 0;
                    break;
            }
            break;
        }
        case 0x0A:
            if (Need(1)) Top() = ~Top();
            break;
        case 0x0E:
            if (Need(1)) Top() = Top() == 0 ? 1 : 0;
            break;
        case 0x11:
            Return();
            break;
        case 0x12: {
            if (!Need(4)) break;
            const int32_t count = Top(4);
            if (count < 1 || count > 32) {
                Fail(kJbcBoundsError);
                break;
            }
            const uint32_t x = static_cast<uint32_t>(Pop());
            const uint32_t y = static_cast<uint32_t>(Pop());
            const uint32_t mask = static_cast<uint32_t>(Pop());
            const uint32_t low = count == 32 ? 0xFFFFFFFFu : (1u << count) - 1;
            Top() = ((x ^ y) & mask & low) == 0 ? 1 : 0;
            break;
        }
        case 0x13: {
            if (!Need(1)) break;
            char text[16];
            CAlteraJtagConfig::FormatDecimal(Pop(), text);
            Append(text);
            break;
        }
        case 0x14:
            m_messageLength = 0;
            m_message[0] = '\0';
            break;
        case 0x15:
        case 0x17:
            ScanValue(opcode == 0x17, false);
            break;
        case 0x16:
        case 0x18:
            ScanValue(opcode == 0x18, true);
            break;
        case 0x1C:
        case 0x1E:
        case 0x20:
        case 0x22:
            AmbleOnes((opcode - 0x1C) / 2);
            break;
        case 0x1D:
        case 0x1F:
        case 0x21:
        case 0x23:
            AmbleValue((opcode - 0x1D) / 2);
            break;
        case 0x24: {
            if (!Need(1)) break;
            const uint32_t code = static_cast<uint32_t>(Pop()) & 0xFF;
            const char text[2] = {static_cast<char>(code >= 1 && code <= 127 ? code : 127), '\0'};
            Append(text);
            break;
        }
        case 0x25:
            if (!Need(1)) break;
            m_exitCode = Pop();
            m_exitWritten = true;
            m_done = true;
            break;
        case 0x27:
            if (Need(1)) --m_depth;
            break;
        case 0x2C:
            if (Need(1) && Top() < 0) Top() = Wrap(-int64_t{Top()});
            break;
        case 0x2D:
            StackShuffle();
            break;
        case 0x2F:
            Push(0);
            break;
        case 0x40:
            Push(sk);
            break;
        case 0x41:
            if (Symbol(k)) Push(static_cast<int32_t>(m_variables[k]));
            break;
        case 0x42:
            JumpTo(k);
            break;
        case 0x43:
            if (Push(static_cast<int32_t>(m_pc - m_header.codeSection))) JumpTo(k);
            break;
        case 0x44:
            Next(k);
            break;
        case 0x45: {
            const char* text = m_image.String(uint64_t{m_header.stringTable} + k);
            if (text == nullptr) {
                Fail(kJbcBadImage);
                break;
            }
            Append(text);
            break;
        }
        case 0x47:
        case 0x48:
            if (Spend(9)) {
                const int32_t status = m_jtag.GotoJtagState(sk);
                if (status != kJbcSuccess) Fail(status);
            }
            break;
        case 0x49:
            m_jtag.SetIrStopState(sk);
            break;
        case 0x4A:
            m_jtag.SetDrStopState(sk);
            break;
        case 0x4B:
            if (Need(int64_t{sk} + 1) && sk >= 0) std::swap(Top(1), Top(sk + 1));
            break;
        case 0x4C:
            if (Need(int64_t{sk} + 1) && sk >= 0) Push(Top(sk + 1));
            break;
        case 0x4D:
            if (!Need(1) || !Symbol(k)) break;
            if ((m_attributes[k] & 0x08) != 0) {
                Fail(kJbcBoundsError);
                break;
            }
            m_variables[k] = Pop();
            break;
        case 0x4E:
            if (Symbol(k)) PopIntegerElement(k);
            break;
        case 0x4F:
            if (Symbol(k)) PopBooleanBits(k);
            break;
        case 0x50:
            if (Need(1) && Pop() == 0) JumpTo(k);
            break;
        case 0x51:
        case 0x52:
            if (Symbol(k)) ScanArray(opcode == 0x52, k);
            break;
        case 0x53:
        case 0x54:
        case 0x55:
        case 0x56:
            if (Symbol(k)) AmbleArray(opcode - 0x53, k);
            break;
        case 0x57:
            if (Need(1)) {
                --m_depth;
                CheckString(k);
            }
            break;
        case 0x58:
            if (Symbol(k)) PushIntegerElement(k);
            break;
        case 0x59:
            if (Symbol(k)) PushBooleanBits(k);
            break;
        case 0x5A:
            if (Symbol(k)) ResizeArray(k);
            break;
        case 0x5C: {
            if (!v2) {
                Fail(kJbcIllegalOpcode);
                break;
            }
            if (!Need(3)) break;
            Pop();
            const int32_t low = Pop(), high = Pop();
            if (low > high) {
                Fail(kJbcBoundsError);
                break;
            }
            CheckString(k);
            break;
        }
        case 0x80:
            if (Symbol(m_args[0]) && Symbol(m_args[1])) CopyBits(m_args[0], m_args[1]);
            break;
        case 0x82:
        case 0x83:
            if (Symbol(m_args[0]) && Symbol(m_args[1])) {
                ScanArrayCapture(opcode == 0x83, m_args[0], m_args[1]);
            }
            break;
        case 0x84:
            Wait(static_cast<int32_t>(m_args[0]), static_cast<int32_t>(m_args[1]));
            break;
        case 0xC0:
            if (Symbol(m_args[0]) && Symbol(m_args[1]) && Symbol(m_args[2])) {
                CompareArrays(m_args[0], m_args[1], m_args[2]);
            }
            break;
        default:
            Fail(kJbcIllegalOpcode);
            break;
    }
}

// ---------------------------------------------------------------------------
// JTAG instructions.

void CJbcPlayer::ScanValue(bool ir, bool capture) {
    if (!Need(2)) return;
    const int32_t count = Top(2);
    // A count of 0 shifts only the pre- and postamble; the value has no
    // bits above 32.
    if (count < 0 || count > 32) {
        Fail(kJbcBoundsError);
        return;
    }
    const uint32_t value = static_cast<uint32_t>(Pop());
    uint8_t bytes[4];
    CAlteraJtagConfig::StoreLe32(bytes, value);
    if (!Spend(uint64_t(count) + 16)) return;
    int32_t status = kJbcSuccess;
    if (!capture) {
        --m_depth;
        status = ir ? m_jtag.IrScan(count, bytes, 0) : m_jtag.DrScan(count, bytes, 0);
    } else {
        uint8_t captured[4] = {};
        status = ir ? m_jtag.IrScanCapture(count, bytes, 0, captured, 0)
                    : m_jtag.DrScanCapture(count, bytes, 0, captured, 0);
        const uint32_t bits = CAlteraJtagConfig::LoadLe32(captured);
        const uint32_t mask = count == 32 ? 0xFFFFFFFFu : (1u << count) - 1;
        Top() = static_cast<int32_t>((value & ~mask) | (bits & mask));
    }
    if (status != kJbcSuccess) Fail(status);
}

int32_t CJbcPlayer::SetAmble(int which, uint32_t count, uint32_t start, const uint8_t* pSource) {
    switch (which) {
        case 0:
            return m_jtag.SetDrPreamble(count, start, pSource);
        case 1:
            return m_jtag.SetDrPostamble(count, start, pSource);
        case 2:
            return m_jtag.SetIrPreamble(count, start, pSource);
        default:
            return m_jtag.SetIrPostamble(count, start, pSource);
    }
}

void CJbcPlayer::AmbleOnes(int which) {
    if (!Need(1)) return;
    const int32_t count = Pop();
    // A chain of four devices needs a few hundred bits at most.
    if (count < 0 || !Spend(uint64_t(count))) {
        Fail(kJbcBoundsError);
        return;
    }
    const int32_t status = SetAmble(which, static_cast<uint32_t>(count), 0, nullptr);
    if (status != kJbcSuccess) Fail(status);
}

void CJbcPlayer::AmbleValue(int which) {
    if (!Need(2)) return;
    const int32_t count = Top(1);
    // A count of 0 leaves the amble empty.
    if (count < 0 || count > 32) {
        Fail(kJbcBoundsError);
        return;
    }
    m_depth -= 2;
    const uint32_t value = static_cast<uint32_t>(m_stack[m_depth]);
    uint8_t bytes[4];
    CAlteraJtagConfig::StoreLe32(bytes, value);
    const int32_t status = SetAmble(which, static_cast<uint32_t>(count), 0, bytes);
    if (status != kJbcSuccess) Fail(status);
}

void CJbcPlayer::AmbleArray(int which, uint32_t v) {
    if (!Need(2)) return;
    const int32_t a = Pop(), b = Pop();
    const int64_t count = m_version == 2 ? int64_t{b} + 1 - a : b;
    if (!IsBoolean(v)) {
        Fail(kJbcBoundsError);
        return;
    }
    if (!BitRange(v, a, count) || !Spend(uint64_t(count))) return;
    const int32_t status =
        SetAmble(which, static_cast<uint32_t>(count), static_cast<uint32_t>(a), Storage(v));
    if (status != kJbcSuccess) Fail(status);
}

void CJbcPlayer::ScanArray(bool ir, uint32_t v) {
    if (!Need(m_version == 2 ? 3 : 2)) return;
    if (!IsBoolean(v)) {
        Fail(kJbcBoundsError);
        return;
    }
    const int32_t a = Pop(), b = Pop();
    int64_t start = a, count = b;
    bool reversed = false;
    if (m_version == 2) {
        count = Pop();
        reversed = a > b;
        start = reversed ? int64_t{b} : int64_t{a};
    }
    if (count < 0 || !BitRange(v, start, count) || !Spend(uint64_t(count) + 16)) {
        Fail(kJbcBoundsError);
        return;
    }
    int32_t status = kJbcSuccess;
    if (!reversed) {
        status = ir ? m_jtag.IrScan(static_cast<uint32_t>(count), Storage(v),
                                    static_cast<uint32_t>(start))
                    : m_jtag.DrScan(static_cast<uint32_t>(count), Storage(v),
                                    static_cast<uint32_t>(start));
    } else {
        std::vector<uint8_t> bits(static_cast<size_t>(count / 8 + 1), 0);
        for (int64_t i = 0; i < count; ++i) {
            if (ReadBit(v, uint64_t(start + count - 1 - i))) bits[i >> 3] |= uint8_t(1u << (i & 7));
        }
        status = ir ? m_jtag.IrScan(static_cast<uint32_t>(count), bits.data(), 0)
                    : m_jtag.DrScan(static_cast<uint32_t>(count), bits.data(), 0);
    }
    if (status != kJbcSuccess) Fail(status);
}

void CJbcPlayer::ScanArrayCapture(bool ir, uint32_t v, uint32_t w) {
    const bool v2 = m_version == 2;
    if (!Need(v2 ? 5 : 3)) return;
    int64_t captureStart = 0, sourceStart = 0, count = 0;
    if (!v2) {
        captureStart = Pop();
        sourceStart = Pop();
        count = Pop();
    } else {
        const int64_t a = Pop(), b = Pop(), c = Pop(), d = Pop(), e = Pop();
        if (e > b + 1 - a || e > d + 1 - c) {
            Fail(kJbcBoundsError);
            return;
        }
        captureStart = a;
        sourceStart = c;
        count = e;
        if (!CopyOnWrite(w)) return;
    }
    if (!IsWritableBoolean(w) || !IsBoolean(v) || count < 0) {
        Fail(kJbcBoundsError);
        return;
    }
    if (!BitRange(v, sourceStart, count) || !BitRange(w, captureStart, count) ||
        !Spend(uint64_t(count) + 16)) {
        return;
    }
    const uint32_t n = static_cast<uint32_t>(count);
    const int32_t status = ir ? m_jtag.IrScanCapture(n, Storage(v), uint32_t(sourceStart),
                                                     Storage(w), uint32_t(captureStart))
                              : m_jtag.DrScanCapture(n, Storage(v), uint32_t(sourceStart),
                                                     Storage(w), uint32_t(captureStart));
    if (status != kJbcSuccess) Fail(status);
}

void CJbcPlayer::Wait(int32_t state, int32_t end) {
    const bool v2 = m_version == 2;
    if (!Need(v2 ? 4 : 2)) return;
    const int32_t cycles = Pop();
    if (cycles != 0) {
        if (!Spend(cycles > 0 ? uint64_t(cycles) : 0)) return;
        const int32_t status = m_jtag.WaitCycles(cycles, state);
        if (status != kJbcSuccess) Fail(status);
    }
    const int32_t microseconds = Pop();
    if (m_status == kJbcSuccess && microseconds != 0) {
        const int32_t status = m_jtag.WaitMicroseconds(microseconds, state);
        if (status != kJbcSuccess) Fail(status);
    }
    if (m_status == kJbcSuccess && end != state) {
        const int32_t status = m_jtag.GotoJtagState(end);
        if (status != kJbcSuccess) Fail(status);
    }
    if (v2) m_depth -= 2;
}

// ---------------------------------------------------------------------------
// Array instructions.

bool CJbcPlayer::CopyOnWrite(uint32_t v) {
    if (m_version != 2) return true;
    const uint8_t attributes = m_attributes[v];
    const bool boolean = (attributes & 0x9C) == 0x0C;
    const bool integer = (attributes & 0x9C) == 0x1C;
    if (!boolean && !integer) return true;
    const uint8_t* source = Storage(v);
    const uint64_t bound = Capacity(v);
    const uint64_t bytes = integer ? bound * 4 : (bound + 7) / 8;
    if (bytes > kMaxArrayBytes) return Fail(kJbcOutOfMemory);
    auto* storage = static_cast<uint8_t*>(std::calloc(bytes + 1, 1));
    if (storage == nullptr) return Fail(kJbcOutOfMemory);
    if (integer) {
        for (uint64_t i = 0; i < bound; ++i) {
            const int32_t element = static_cast<int32_t>(LoadBe32(source + 4 * i));
            std::memcpy(storage + 4 * i, &element, 4);
        }
    } else if (source != nullptr) {
        for (uint64_t i = 0; i < bound; ++i) {
            if ((source[i >> 3] >> (i & 7)) & 1) storage[i >> 3] |= uint8_t(1u << (i & 7));
        }
    }
    m_variables[v] = reinterpret_cast<intptr_t>(storage);
    m_attributes[v] = static_cast<uint8_t>((attributes | kOwned | kCopied) & ~0x04);
    return true;
}

void CJbcPlayer::PopIntegerElement(uint32_t v) {
    if (!Need(2) || !CopyOnWrite(v)) return;
    if ((m_attributes[v] & 0x1C) != 0x18) {
        Fail(kJbcBoundsError);
        return;
    }
    const int32_t index = Pop(), value = Pop();
    if (index < 0 || uint64_t(index) >= Capacity(v) || Storage(v) == nullptr) {
        Fail(kJbcBoundsError);
        return;
    }
    std::memcpy(Storage(v) + 4 * uint64_t(index), &value, 4);
}

void CJbcPlayer::PushIntegerElement(uint32_t v) {
    if (!Need(1)) return;
    const int32_t index = Top();
    const uint8_t kind = m_attributes[v] & 0x1F;
    if ((kind != 0x19 && kind != 0x1C) || index < 0 || uint64_t(index) >= Capacity(v) ||
        Storage(v) == nullptr) {
        Fail(kJbcBoundsError);
        return;
    }
    const uint8_t* element = Storage(v) + 4 * uint64_t(index);
    int32_t value = 0;
    if (kind == 0x19) {
        std::memcpy(&value, element, 4);
    } else {
        value = static_cast<int32_t>(LoadBe32(element));
    }
    Top() = value;
}

void CJbcPlayer::PopBooleanBits(uint32_t v) {
    if (!Need(3) || !CopyOnWrite(v)) return;
    if (!IsWritableBoolean(v)) {
        Fail(kJbcBoundsError);
        return;
    }
    const int32_t a = Pop(), b = Pop();
    int64_t count = a, start = b;
    if (m_version == 2) {
        if (b > a) {
            Fail(kJbcBoundsError);
            return;
        }
        count = int64_t{a} + 1 - b;
    }
    const uint32_t value = static_cast<uint32_t>(Pop());
    if (count < 1) {
        Fail(kJbcBoundsError);
        return;
    }
    if (!BitRange(v, start, count)) return;
    for (int64_t i = 0; i < count; ++i)
        WriteBit(v, uint64_t(start + i), (value >> (i % 32)) & 1);
}

void CJbcPlayer::PushBooleanBits(uint32_t v) {
    if (!Need(2)) return;
    if (!IsBoolean(v)) {
        Fail(kJbcBoundsError);
        return;
    }
    const int32_t a = Top(1), start = Top(2);
    const int64_t count = m_version == 2 ? int64_t{a} + 1 - start : a;
    if (count < 1 || count > 32) {
        Fail(kJbcBoundsError);
        return;
    }
    if (!BitRange(v, start, count)) return;
    uint32_t value = 0;
    for (int64_t i = 0; i < count; ++i) {
        if (ReadBit(v, uint64_t(start + i))) value |= 1u << i;
    }
    --m_depth;
    Top() = static_cast<int32_t>(value);
}

void CJbcPlayer::ResizeArray(uint32_t v) {
    if (!Need(1)) return;
    const int32_t size = Pop();
    if ((m_attributes[v] & 0x08) == 0) {
        Fail(kJbcBoundsError);
        return;
    }
    if (size <= m_bounds[v]) return;
    AllocateArray(v, size);
}

void CJbcPlayer::CopyBits(uint32_t v, uint32_t w) {
    const bool v2 = m_version == 2;
    if (!Need(v2 ? 4 : 3)) return;
    int64_t count = 0, sourceStart = 0, destinationStart = 0;
    bool downward = false;
    if (!v2) {
        count = Pop();
        sourceStart = Pop();
        destinationStart = Pop();
    } else {
        const int64_t a = Pop(), b = Pop(), c = Pop(), d = Pop();
        const bool sourceReversed = a > b, destinationReversed = c > d;
        const int64_t sourceLength = sourceReversed ? a + 1 - b : b + 1 - a;
        const int64_t destinationLength = destinationReversed ? c + 1 - d : d + 1 - c;
        sourceStart = sourceReversed ? b : a;
        destinationStart = destinationReversed ? d : c;
        count = std::min(sourceLength, destinationLength);
        if ((sourceReversed || destinationReversed) && sourceLength != destinationLength) {
            Fail(kJbcBoundsError);
            return;
        }
        downward = sourceReversed != destinationReversed;
        if (!CopyOnWrite(w)) return;
    }
    if (!IsWritableBoolean(w) || !IsBoolean(v) || count < 1) {
        Fail(kJbcBoundsError);
        return;
    }
    if (!BitRange(v, sourceStart, count) || !BitRange(w, destinationStart, count)) return;
    // Through a copy: source and destination may be the same array.
    std::vector<bool> bits(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i)
        bits[size_t(i)] = ReadBit(v, uint64_t(sourceStart + i));
    for (int64_t i = 0; i < count; ++i) {
        const int64_t target = downward ? destinationStart + count - 1 - i : destinationStart + i;
        WriteBit(w, uint64_t(target), bits[size_t(i)]);
    }
}

void CJbcPlayer::CompareArrays(uint32_t v, uint32_t w, uint32_t m) {
    const bool v2 = m_version == 2;
    if (!Need(v2 ? 6 : 4)) return;
    int64_t vi = 0, wi = 0, mi = 0, count = 0;
    if (!v2) {
        vi = Pop();
        wi = Pop();
        mi = Pop();
        count = Pop();
    } else {
        const int64_t a = Pop(), b = Pop(), c = Pop(), d = Pop(), e = Pop(), f = Pop();
        vi = a;
        wi = c;
        mi = e;
        count = std::min({b + 1 - a, d + 1 - c, f + 1 - e});
    }
    if (count < 1 || !IsBoolean(v) || !IsBoolean(w) || !IsBoolean(m)) {
        Fail(kJbcBoundsError);
        return;
    }
    if (!BitRange(v, vi, count) || !BitRange(w, wi, count) || !BitRange(m, mi, count)) return;
    int32_t result = 1;
    for (int64_t i = 0; i < count && result; ++i) {
        if (ReadBit(m, uint64_t(mi + i)) &&
            ReadBit(v, uint64_t(vi + i)) != ReadBit(w, uint64_t(wi + i))) {
            result = 0;
        }
    }
    Push(result);
}

// ---------------------------------------------------------------------------

int32_t CAlteraJtagConfig::Execute(int32_t reset, uint32_t* pErrorAddress, int32_t* pExitCode,
                                   int32_t* pVersion) {
    CJbcPlayer player(*this);
    return player.Run(reset, pErrorAddress, pExitCode, pVersion);
}

}  // namespace velmora::program

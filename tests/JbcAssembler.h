#pragma once

// A JBC assembler and compressor for the player's tests, written from the
// file format: both header formats, string, note, symbol, action and
// procedure tables, data and code sections, and the CRC-16/X-25 at the end.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velmora::jbctest {

inline uint16_t Crc16X25(const uint8_t* data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return static_cast<uint16_t>(~crc);
}

inline uint32_t BitsNeeded(uint32_t value) {
    value &= 0xFFFF;
    uint32_t bits = 1;
    while (value >> bits)
        ++bits;
    return value == 0 ? 1 : bits;
}

// LSB-first bit writer.
class BitWriter {
  public:
    void Put(uint32_t value, uint32_t bits) {
        for (uint32_t i = 0; i < bits; ++i) {
            if (m_bit == 0) m_bytes.push_back(0);
            if ((value >> i) & 1) m_bytes.back() |= static_cast<uint8_t>(1u << m_bit);
            m_bit = (m_bit + 1) & 7;
        }
    }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

  private:
    std::vector<uint8_t> m_bytes;
    uint32_t m_bit = 0;
};

// Literal triples and greedy back-references (at least 4 bytes, at most
// 255, within the format's window: 8192 for format 1, 8191 for format 2).
inline std::vector<uint8_t> Compress(const std::vector<uint8_t>& data, int format) {
    const uint32_t window = format == 1 ? 8192 : 8191;
    BitWriter out;
    const uint32_t n = static_cast<uint32_t>(data.size());
    out.Put(n, 32);
    std::map<uint32_t, std::vector<uint32_t>> chains;
    auto key = [&](uint32_t i) {
        return (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    };
    uint32_t i = 0;
    auto remember = [&](uint32_t from, uint32_t to) {
        for (uint32_t j = from; j < to && j + 2 < n; ++j)
            chains[key(j)].push_back(j);
    };
    while (i < n) {
        uint32_t bestLength = 0, bestOffset = 0;
        if (i + 2 < n) {
            auto found = chains.find(key(i));
            if (found != chains.end()) {
                const auto& positions = found->second;
                int tried = 0;
                for (auto p = positions.rbegin(); p != positions.rend() && tried < 64;
                     ++p, ++tried) {
                    const uint32_t offset = i - *p;
                    if (offset > (i < window ? i : window)) break;
                    uint32_t length = 0;
                    while (length < 255 && i + length < n && data[*p + length] == data[i + length])
                        ++length;
                    if (length > bestLength) {
                        bestLength = length;
                        bestOffset = offset;
                    }
                }
            }
        }
        if (bestLength >= 4) {
            out.Put(1, 1);
            out.Put(bestOffset, BitsNeeded(i < window ? i : window));
            out.Put(bestLength, 8);
            remember(i, i + bestLength);
            i += bestLength;
        } else {
            out.Put(0, 1);
            const uint32_t start = i;
            for (int k = 0; k < 3 && i < n; ++k)
                out.Put(data[i++], 8);
            remember(start, i);
        }
    }
    return out.Bytes();
}

enum : uint8_t {
    kScalar = 0x04,
    kBoolArray = 0x08,       // no data
    kIntArray = 0x19,        // no data
    kBoolPacked = 0x0C,      // bits in the data section
    kBoolCompressed = 0x0E,  // compressed block in the data section
    kIntData = 0x1C,         // big-endian elements in the data section
};

class JbcAssembler {
  public:
    explicit JbcAssembler(int format) : m_format(format) {}

    // Symbols; the index is returned.
    uint32_t Scalar(const std::string& name, int32_t value) {
        return AddSymbol(kScalar, name, static_cast<uint32_t>(value), 0, {});
    }
    uint32_t BoolArray(const std::string& name, uint32_t bits) {
        return AddSymbol(kBoolArray, name, 0, bits, {});
    }
    uint32_t IntArray(const std::string& name, uint32_t elements) {
        return AddSymbol(kIntArray, name, 0, elements, {});
    }
    uint32_t BoolPacked(const std::string& name, const std::vector<uint8_t>& bytes, uint32_t bits) {
        return AddSymbol(kBoolPacked, name, 0, bits, bytes);
    }
    uint32_t BoolCompressed(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::vector<uint8_t> block = Compress(bytes, m_format);
        const uint32_t size = static_cast<uint32_t>(block.size());
        return AddSymbol(kBoolCompressed, name, 0, size, block);
    }
    uint32_t IntData(const std::string& name, const std::vector<int32_t>& values) {
        std::vector<uint8_t> bytes;
        for (int32_t v : values) {
            for (int s = 24; s >= 0; s -= 8)
                bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> s));
        }
        return AddSymbol(kIntData, name, 0, static_cast<uint32_t>(values.size()), bytes);
    }
    // A symbol of any type byte, value and bound, without data.
    uint32_t RawSymbol(uint8_t type, const std::string& name, uint32_t value, uint32_t bound) {
        return AddSymbol(type, name, value, bound, {});
    }

    void Note(const std::string& key, const std::string& value) { m_notes.push_back({key, value}); }
    // Format 2.
    void Action(const std::string& name, const std::string& description, uint32_t first) {
        m_actions.push_back({name, description, first});
    }
    uint32_t Procedure(const std::string& name, uint32_t next, uint8_t attributes,
                       const std::string& entryLabel) {
        m_procedures.push_back({name, next, attributes, entryLabel});
        return static_cast<uint32_t>(m_procedures.size() - 1);
    }

    // Code.
    void Label(const std::string& name) { m_labels[name] = static_cast<uint32_t>(m_code.size()); }
    uint32_t Here() const { return static_cast<uint32_t>(m_code.size()); }
    void Op(uint8_t opcode) { m_code.push_back(opcode); }
    void Op(uint8_t opcode, uint32_t a) {
        Op(opcode);
        Word(a);
    }
    void Op(uint8_t opcode, uint32_t a, uint32_t b) {
        Op(opcode, a);
        Word(b);
    }
    void Op(uint8_t opcode, uint32_t a, uint32_t b, uint32_t c) {
        Op(opcode, a, b);
        Word(c);
    }
    // An instruction whose one argument is a label's code address.
    void OpTo(uint8_t opcode, const std::string& label) {
        Op(opcode);
        m_fixups.push_back({Here(), label});
        Word(0);
    }
    void Push(int32_t value) { Op(0x40, static_cast<uint32_t>(value)); }
    void PushLabel(const std::string& label) { OpTo(0x40, label); }
    void Exit(int32_t code) {
        Push(code);
        Op(0x25);
    }
    // String table offset of a text (added when new).
    uint32_t String(const std::string& text) { return StringOffset(text); }

    std::vector<uint8_t> Build() const;

  private:
    struct SymbolEntry {
        uint8_t type;
        std::string name;
        uint32_t value, bound;
        std::vector<uint8_t> data;
    };
    struct ActionEntry {
        std::string name, description;
        uint32_t first;
    };
    struct ProcedureEntry {
        std::string name;
        uint32_t next;
        uint8_t attributes;
        std::string entry;
    };

    uint32_t AddSymbol(uint8_t type, const std::string& name, uint32_t value, uint32_t bound,
                       const std::vector<uint8_t>& data) {
        StringOffset(name);
        m_symbols.push_back({type, name, value, bound, data});
        return static_cast<uint32_t>(m_symbols.size() - 1);
    }
    void Word(uint32_t value) {
        for (int s = 24; s >= 0; s -= 8)
            m_code.push_back(static_cast<uint8_t>(value >> s));
    }
    uint32_t StringOffset(const std::string& text) const {
        auto found = m_stringOffsets.find(text);
        if (found != m_stringOffsets.end()) return found->second;
        const uint32_t offset = static_cast<uint32_t>(m_strings.size());
        m_strings.insert(m_strings.end(), text.begin(), text.end());
        m_strings.push_back(0);
        m_stringOffsets[text] = offset;
        return offset;
    }

    int m_format;
    std::vector<uint8_t> m_code;
    std::map<std::string, uint32_t> m_labels;
    std::vector<std::pair<uint32_t, std::string>> m_fixups;
    std::vector<SymbolEntry> m_symbols;
    std::vector<std::pair<std::string, std::string>> m_notes;
    std::vector<ActionEntry> m_actions;
    std::vector<ProcedureEntry> m_procedures;
    mutable std::vector<uint8_t> m_strings;
    mutable std::map<std::string, uint32_t> m_stringOffsets;
};

inline std::vector<uint8_t> JbcAssembler::Build() const {
    const bool v2 = m_format == 2;
    std::vector<uint8_t> out(v2 ? 68 : 52, 0);
    auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            out[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    };
    auto append32 = [&](uint32_t value) {
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(static_cast<uint8_t>(value >> s));
    };
    // Strings every table needs, before the table is laid out.
    for (const auto& action : m_actions) {
        StringOffset(action.name);
        StringOffset(action.description);
    }
    for (const auto& procedure : m_procedures)
        StringOffset(procedure.name);

    const uint32_t d = v2 ? 8 : 0;
    put32(0, v2 ? 0x4A414D01 : 0x4A414D00);

    uint32_t actionTable = 0, procedureTable = 0;
    if (v2) {
        actionTable = static_cast<uint32_t>(out.size());
        for (const auto& action : m_actions) {
            append32(StringOffset(action.name));
            append32(StringOffset(action.description));
            append32(action.first);
        }
        procedureTable = static_cast<uint32_t>(out.size());
        for (const auto& procedure : m_procedures) {
            append32(StringOffset(procedure.name));
            append32(procedure.next);
            out.push_back(procedure.attributes);
            append32(m_labels.at(procedure.entry));
        }
    }
    const uint32_t stringTable = static_cast<uint32_t>(out.size());
    out.insert(out.end(), m_strings.begin(), m_strings.end());
    // Note strings after the string table.
    const uint32_t noteStrings = static_cast<uint32_t>(out.size());
    std::vector<std::pair<uint32_t, uint32_t>> noteOffsets;
    for (const auto& [key, value] : m_notes) {
        const uint32_t k = static_cast<uint32_t>(out.size()) - noteStrings;
        out.insert(out.end(), key.begin(), key.end());
        out.push_back(0);
        const uint32_t v = static_cast<uint32_t>(out.size()) - noteStrings;
        out.insert(out.end(), value.begin(), value.end());
        out.push_back(0);
        noteOffsets.push_back({k, v});
    }
    const uint32_t noteTable = static_cast<uint32_t>(out.size());
    for (const auto& [k, v] : noteOffsets) {
        append32(k);
        append32(v);
    }
    // Data section first in memory order after the symbol table is known.
    std::vector<uint8_t> dataSection;
    std::vector<uint32_t> dataOffsets;
    for (const auto& symbol : m_symbols) {
        dataOffsets.push_back(static_cast<uint32_t>(dataSection.size()));
        dataSection.insert(dataSection.end(), symbol.data.begin(), symbol.data.end());
    }
    const uint32_t symbolTable = static_cast<uint32_t>(out.size());
    for (size_t i = 0; i < m_symbols.size(); ++i) {
        const auto& symbol = m_symbols[i];
        out.push_back(symbol.type);
        const uint32_t name = StringOffset(symbol.name);
        if (v2) {
            append32(name);
        } else {
            out.push_back(static_cast<uint8_t>(name >> 8));
            out.push_back(static_cast<uint8_t>(name));
        }
        append32(symbol.data.empty() ? symbol.value : dataOffsets[i]);
        append32(symbol.bound);
    }
    const uint32_t dataOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), dataSection.begin(), dataSection.end());
    const uint32_t codeOffset = static_cast<uint32_t>(out.size());
    std::vector<uint8_t> code = m_code;
    for (const auto& [at, label] : m_fixups) {
        const uint32_t target = m_labels.at(label);
        for (int i = 0; i < 4; ++i)
            code[at + i] = static_cast<uint8_t>(target >> (24 - 8 * i));
    }
    out.insert(out.end(), code.begin(), code.end());
    const uint32_t debugOffset = static_cast<uint32_t>(out.size());
    const uint32_t crcOffset = debugOffset;

    if (v2) {
        put32(4, actionTable);
        put32(8, procedureTable);
        put32(48, static_cast<uint32_t>(m_actions.size()));
        put32(52, static_cast<uint32_t>(m_procedures.size()));
    }
    put32(4 + d, stringTable);
    put32(8 + d, noteStrings);
    put32(12 + d, noteTable);
    put32(16 + d, symbolTable);
    put32(20 + d, dataOffset);
    put32(24 + d, codeOffset);
    put32(28 + d, debugOffset);
    put32(32 + d, crcOffset);
    put32(44 + 2 * d, static_cast<uint32_t>(m_notes.size()));
    put32(48 + 2 * d, static_cast<uint32_t>(m_symbols.size()));
    const uint16_t crc = Crc16X25(out.data(), out.size());
    out.push_back(static_cast<uint8_t>(crc >> 8));
    out.push_back(static_cast<uint8_t>(crc));
    return out;
}

}  // namespace velmora::jbctest

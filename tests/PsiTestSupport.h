#pragma once

// Hand-built PSI/SI sections and their transport packets, and the committed
// multi-program fixture, for the section library's tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ts/Crc32Mpeg.h"
#include "ts/PsiSiParser.h"

namespace velmora::psitest {

using Bytes = std::vector<uint8_t>;

// A long-form section: header (table_id, syntax 1, the length patched by
// Finish, id, version, current_next 1, section numbers), the body, the CRC.
class SectionBuilder {
  public:
    SectionBuilder(uint8_t tableId, uint16_t id, uint8_t version = 0, uint8_t number = 0,
                   uint8_t last = 0) {
        m_bytes = {tableId,
                   0xB0,
                   0x00,
                   static_cast<uint8_t>(id >> 8),
                   static_cast<uint8_t>(id),
                   static_cast<uint8_t>(0xC1 | (version << 1)),
                   number,
                   last};
    }
    SectionBuilder& U8(uint8_t v) {
        m_bytes.push_back(v);
        return *this;
    }
    SectionBuilder& U16(uint16_t v) { return U8(static_cast<uint8_t>(v >> 8)).U8(uint8_t(v)); }
    SectionBuilder& Raw(const Bytes& b) {
        m_bytes.insert(m_bytes.end(), b.begin(), b.end());
        return *this;
    }
    SectionBuilder& Text(const std::string& s) { return Raw(Bytes(s.begin(), s.end())); }
    size_t Size() const { return m_bytes.size(); }
    // Patches a 12-bit length at `at` to cover everything after it.
    SectionBuilder& PatchLength(size_t at, uint8_t high = 0xF0) {
        const size_t n = m_bytes.size() - at - 2;
        m_bytes[at] = static_cast<uint8_t>(high | (n >> 8));
        m_bytes[at + 1] = static_cast<uint8_t>(n);
        return *this;
    }
    Bytes Finish() const {
        Bytes s = m_bytes;
        const size_t length = s.size() + 4 - 3;
        s[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
        s[2] = static_cast<uint8_t>(length);
        const uint32_t crc = ts::Crc32Mpeg(s.data(), static_cast<uint32_t>(s.size()));
        for (int shift = 24; shift >= 0; shift -= 8)
            s.push_back(uint8_t(crc >> shift));
        return s;
    }

  private:
    Bytes m_bytes;
};

// One transport packet of `pid` carrying `payload` (padded with 0xFF).
inline Bytes Packet(uint16_t pid, bool unitStart, uint8_t counter, const Bytes& payload) {
    Bytes p(ts::kTsPacketSize, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | (pid >> 8));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | (counter & 0x0F));
    std::memcpy(p.data() + 4, payload.data(), std::min<size_t>(payload.size(), 184));
    return p;
}

// The packets that carry `sections` back to back from a unit start, the
// counter running from `counter`.
inline std::vector<Bytes> Packetize(uint16_t pid, const std::vector<Bytes>& sections,
                                    uint8_t counter = 0) {
    Bytes stream;
    for (const Bytes& s : sections)
        stream.insert(stream.end(), s.begin(), s.end());
    std::vector<Bytes> packets;
    size_t pos = 0;
    bool first = true;
    while (pos < stream.size()) {
        const size_t head = first ? 1 : 0;  // the pointer_field
        const size_t n = std::min(stream.size() - pos, 184 - head);
        Bytes payload(head + n, 0);
        std::memcpy(payload.data() + head, stream.data() + pos, n);
        packets.push_back(Packet(pid, first, counter++, payload));
        pos += n;
        first = false;
    }
    return packets;
}

// Accepts every section on the PID.
inline void OpenAll(ts::CPsiSiParser& parser, uint16_t pid) {
    ts::SECTION_FILTER any{};
    any.byDepth = 1;
    ASSERT_GE(parser.OpenPidChannel(pid), 0);
    ASSERT_EQ(parser.AddSectionFilter(pid, &any), 1);
}

inline std::string DataPath(const std::string& name) {
    return std::string(VELMORA_TEST_DATA_DIR) + "/" + name;
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace velmora::psitest

#pragma once

// Test-side readers of the recorder's input and output: the elementary
// streams of a transport stream, and the packs of a program-stream file with
// the elementary streams they carry.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace velmora::test {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Bytes LoadRecorderFixture(const char* name) {
    return ReadWholeFile(std::string(VELMORA_TEST_DATA_DIR) + "/" + name);
}

// The PES packets of one PID, whole (header included), in order; a packet
// with transport_error_indicator ends the PES in progress.
inline std::vector<Bytes> TsPesPackets(const Bytes& ts, uint32_t pid) {
    std::vector<Bytes> list;
    bool open = false;
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        const uint8_t* p = &ts[at];
        if (((p[1] & 0x1Fu) << 8 | p[2]) != pid) continue;
        if ((p[1] & 0x80) != 0) {
            open = false;
            continue;
        }
        const uint32_t control = (p[3] >> 4) & 3;
        if ((control & 1) == 0) continue;
        const uint32_t offset = control == 3 ? 5u + p[4] : 4u;
        if (offset >= 188) continue;
        if ((p[1] & 0x40) != 0) {
            list.emplace_back();
            open = true;
        }
        if (open) list.back().insert(list.back().end(), p + offset, p + 188);
    }
    return list;
}

inline Bytes PesPayload(const Bytes& pes) {
    if (pes.size() < 9 || pes.size() < 9u + pes[8]) return {};
    return Bytes(pes.begin() + 9 + pes[8], pes.end());
}

inline int64_t ReadScr(const uint8_t* p) {
    const int64_t base =
        static_cast<int64_t>((p[4] >> 3) & 7) << 30 | static_cast<int64_t>(p[4] & 3) << 28 |
        static_cast<int64_t>(p[5]) << 20 | static_cast<int64_t>(p[6] >> 3) << 15 |
        static_cast<int64_t>(p[6] & 3) << 13 | static_cast<int64_t>(p[7]) << 5 | (p[8] >> 3);
    const int64_t extension = (p[8] & 3) << 7 | p[9] >> 1;
    return base * 300 + extension;
}

struct PsPack {
    int64_t scr;
    uint8_t streamId;      // 0: no PES in the pack (the stream start)
    uint32_t headerBytes;  // 9 + PES_header_data_length as written
    uint32_t subHeader;    // 4 for private stream 1
    bool subHeaderOk;
};

struct PsFile {
    std::string error;  // empty when the file is well formed
    std::vector<PsPack> packs;
    std::map<uint8_t, Bytes> streams;  // elementary bytes by stream id
    uint8_t systemHeaderStreams[2] = {};
};

// Reads a recorder file: 2048-byte packs, each a pack header followed by a
// system header and padding (the first) or one PES packet and an optional
// padding packet, then the 4-byte end code.
inline PsFile ReadPsFile(const Bytes& file) {
    PsFile ps;
    if (file.size() < 4 || (file.size() - 4) % 2048 != 0) {
        ps.error = "size " + std::to_string(file.size()) + " is not packs + end code";
        return ps;
    }
    const uint8_t* end = &file[file.size() - 4];
    if (end[0] != 0 || end[1] != 0 || end[2] != 1 || end[3] != 0xB9) {
        ps.error = "no end code";
        return ps;
    }
    for (size_t at = 0; at + 2048 <= file.size() - 4; at += 2048) {
        const uint8_t* pack = &file[at];
        if (pack[0] != 0 || pack[1] != 0 || pack[2] != 1 || pack[3] != 0xBA ||
            (pack[4] >> 6) != 1) {
            ps.error = "no pack header at " + std::to_string(at);
            return ps;
        }
        PsPack info{ReadScr(pack), 0, 0, 0, true};
        size_t pos = 14 + (pack[13] & 7);
        while (pos + 6 <= 2048) {
            const uint8_t* h = pack + pos;
            if (h[0] != 0 || h[1] != 0 || h[2] != 1) {
                ps.error = "no start code in pack at " + std::to_string(at);
                return ps;
            }
            const uint32_t length = static_cast<uint32_t>(h[4]) << 8 | h[5];
            if (pos + 6 + length > 2048) {
                ps.error = "packet past the pack at " + std::to_string(at);
                return ps;
            }
            if (h[3] == 0xBB && at == 0 && length >= 9) {
                ps.systemHeaderStreams[0] = h[12];
                if (length >= 12) ps.systemHeaderStreams[1] = h[15];
            } else if (h[3] != 0xBE && h[3] != 0xBB) {
                info.streamId = h[3];
                info.headerBytes = 9u + h[8];
                uint32_t data = info.headerBytes;
                if (h[3] == 0xBD) {
                    info.subHeader = 4;
                    info.subHeaderOk = h[data] == 0x80 && h[data + 1] == 0x01 &&
                                       h[data + 2] == 0x00 && h[data + 3] == 0x02;
                    data += 4;
                }
                Bytes& es = ps.streams[h[3]];
                es.insert(es.end(), h + data, h + 6 + length);
            }
            pos += 6 + length;
        }
        if (pos != 2048) {
            ps.error = "pack not filled at " + std::to_string(at);
            return ps;
        }
        ps.packs.push_back(info);
    }
    return ps;
}

inline Bytes Concat(const std::vector<Bytes>& list, size_t first, size_t last) {
    Bytes all;
    for (size_t i = first; i < last && i < list.size(); ++i) {
        const Bytes payload = PesPayload(list[i]);
        all.insert(all.end(), payload.begin(), payload.end());
    }
    return all;
}

// True when es is the payload run of PES packets first..last-1 of the list
// for some first; the first index found goes to *first.
inline bool IsPesRun(const Bytes& es, const std::vector<Bytes>& list, size_t last, size_t* first) {
    for (size_t k = 0; k < last; ++k) {
        if (Concat(list, k, last) == es) {
            *first = k;
            return true;
        }
    }
    return false;
}

// The SCR of every pack follows the byte clock: each pack adds its 2048
// bytes plus its PES header, stuffing and sub-stream header once more.
inline void ExpectScrByteRule(const PsFile& ps) {
    ASSERT_GE(ps.packs.size(), 2u);
    const int64_t base = ps.packs[0].scr;
    int64_t bytes = 0;
    for (size_t i = 1; i < ps.packs.size(); ++i) {
        ASSERT_EQ(ps.packs[i].scr, base + bytes * 27000000 / 2401587) << "pack " << i;
        bytes += 2048 + ps.packs[i].headerBytes + ps.packs[i].subHeader;
    }
}

// The PES packets of one PID that a recording task collects from a run of
// transport packets (the first 188 bytes of each unit): a bad sync byte drops
// the PES packets in progress of every stream, a transport error that PID's
// one, and a repeated packet (same counter, with payload) is taken once.
inline std::vector<Bytes> KeptPesPackets(const std::vector<Bytes>& packets, uint32_t pid) {
    std::vector<Bytes> list;
    bool open = false;
    int last = -1;
    const auto drop = [&] {
        if (open) list.pop_back();
        open = false;
    };
    for (const Bytes& unit : packets) {
        const uint8_t* p = unit.data();
        if (p[0] != 0x47 && p[0] != 0x72 && p[0] != 0x29) {
            drop();
            continue;
        }
        if (((p[1] & 0x1Fu) << 8 | p[2]) != pid) continue;
        const uint32_t control = (p[3] >> 4) & 3;
        const int counter = p[3] & 0x0F;
        const bool repeated = (control & 1) != 0 && counter == last;
        last = counter;
        if (repeated) continue;
        if ((p[1] & 0x80) != 0) {
            drop();
            continue;
        }
        if ((control & 1) == 0) continue;
        const uint32_t offset = control == 3 ? 5u + p[4] : 4u;
        if (offset >= 188) continue;
        if ((p[1] & 0x40) != 0) {
            list.emplace_back();
            open = true;
        }
        if (open) list.back().insert(list.back().end(), p + offset, p + 188);
    }
    return list;
}

// True when es is the payload run of some whole PES packets first..last-1 of
// the list; the run goes to *first and *last.
inline bool FindPesRun(const Bytes& es, const std::vector<Bytes>& list, size_t* first,
                       size_t* last) {
    std::vector<Bytes> payloads;
    for (const Bytes& pes : list)
        payloads.push_back(PesPayload(pes));
    for (size_t k = 0; k < payloads.size(); ++k) {
        size_t at = 0;
        for (size_t j = k; j < payloads.size() && at < es.size(); ++j) {
            const Bytes& p = payloads[j];
            if (at + p.size() > es.size() || !std::equal(p.begin(), p.end(), es.begin() + at)) {
                break;
            }
            at += p.size();
            if (at == es.size()) {
                *first = k;
                *last = j + 1;
                return true;
            }
        }
    }
    return false;
}

inline size_t CountPictures(const Bytes& video) {
    size_t pictures = 0;
    for (size_t k = 0; k + 4 <= video.size(); ++k)
        pictures += video[k] == 0 && video[k + 1] == 0 && video[k + 2] == 1 && video[k + 3] == 0;
    return pictures;
}

}  // namespace velmora::test

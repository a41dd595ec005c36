#pragma once

// Streams for the transport-stream engine tests and a small reader of their
// output written here (sections reassembled per PID, CRC checked bit by bit),
// so that the engine's own writers and the library's parser are judged by
// code they do not share.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "WaitSupport.h"
#include "sim/SimTsGenerator.h"

namespace velmora::tstest {

using Bytes = std::vector<uint8_t>;

inline std::string DataPath(const std::string& name) {
    return std::string(VELMORA_TEST_DATA_DIR) + "/" + name;
}

// The 188-byte packets of a file.
inline std::vector<Bytes> ReadPackets(const std::string& path, uint32_t length = 188) {
    std::ifstream in(path, std::ios::binary);
    const Bytes all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Bytes> packets;
    for (size_t at = 0; at + length <= all.size(); at += length) {
        packets.emplace_back(all.begin() + at, all.begin() + at + length);
    }
    return packets;
}

inline std::vector<Bytes> FixturePackets() {
    return ReadPackets(DataPath("psi_three_programs.ts"));
}

// The card's built-in stream from packet `first` on.
inline std::vector<Bytes> GeneratorPackets(uint64_t first, size_t count) {
    std::vector<Bytes> packets(count, Bytes(188));
    for (size_t i = 0; i < count; ++i)
        sim::SimTsGenerator::Packet(first + i, packets[i].data());
    return packets;
}

inline uint16_t Pid(const uint8_t* p) {
    return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
}

inline uint32_t BitwiseCrc(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < size; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((data[i] >> bit) & 1) != 0;
            const bool top = (crc & 0x80000000u) != 0;
            crc <<= 1;
            if (in != top) crc ^= 0x04C11DB7u;
        }
    }
    return crc;
}

inline uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// A name field of TS_PROGRAM_ENTRY, all 16 units, and a name as the field
// holds it.
inline std::u16string Field(const uint16_t* field) {
    return std::u16string(field, field + 16);
}

inline std::u16string Padded(std::u16string text) {
    text.resize(16, 0);
    return text;
}

inline size_t CountPid(const std::vector<Bytes>& packets, uint16_t pid) {
    size_t n = 0;
    for (const Bytes& p : packets)
        n += Pid(p.data()) == pid;
    return n;
}

// Whole sections of one PID, in order; `crcOk` counts the intact ones.
struct Sections {
    std::vector<Bytes> all;
    size_t crcOk = 0;
};

inline Sections CollectSections(const std::vector<Bytes>& packets, uint16_t pid) {
    Sections out;
    Bytes building;
    size_t need = 0;
    auto take = [&](const uint8_t* data, size_t size) {
        while (size > 0) {
            if (need == 0) {
                if (data[0] == 0xFF) return;  // stuffing
                if (size < 3) return;
                need = 3 + (((data[1] & 0x0F) << 8) | data[2]);
                building.clear();
            }
            const size_t now = std::min(need - building.size(), size);
            building.insert(building.end(), data, data + now);
            data += now;
            size -= now;
            if (building.size() == need) {
                if (BitwiseCrc(building.data(), building.size()) == 0) ++out.crcOk;
                out.all.push_back(building);
                need = 0;
            }
        }
    };
    for (const Bytes& p : packets) {
        if (Pid(p.data()) != pid || !(p[3] & 0x10)) continue;
        size_t at = (p[3] & 0x20) ? 5u + p[4] : 4u;
        if (at >= 188) continue;
        if (p[1] & 0x40) {
            const size_t pointer = p[at];
            ++at;
            if (need != 0 && at + pointer <= 188) take(p.data() + at, pointer);
            need = 0;
            at += pointer;
            if (at < 188) take(p.data() + at, 188 - at);
        } else if (need != 0) {
            take(p.data() + at, 188 - at);
        }
    }
    return out;
}

// Program number -> PMT PID of a PAT section.
inline std::map<uint16_t, uint16_t> PatPrograms(const Bytes& s) {
    std::map<uint16_t, uint16_t> programs;
    for (size_t at = 8; at + 4 <= s.size() - 4; at += 4) {
        programs[U16(&s[at])] = U16(&s[at + 2]) & 0x1FFF;
    }
    return programs;
}

// Service id -> service name of an SDT section.
inline std::map<uint16_t, std::string> SdtServices(const Bytes& s) {
    std::map<uint16_t, std::string> services;
    size_t at = 11;
    while (at + 5 <= s.size() - 4) {
        const uint16_t id = U16(&s[at]);
        const size_t loop = ((s[at + 3] & 0x0F) << 8) | s[at + 4];
        std::string name;
        for (size_t d = at + 5; d + 2 <= at + 5 + loop;) {
            if (s[d] == 0x48) {
                const size_t provider = s[d + 3];
                const size_t nameLength = s[d + 4 + provider];
                name.assign(s.begin() + d + 5 + provider,
                            s.begin() + d + 5 + provider + nameLength);
            }
            d += 2 + s[d + 1];
        }
        services[id] = name;
        at += 5 + loop;
    }
    return services;
}

// Waits until `done` holds; a failure reported as a hang when it never does.
inline bool WaitFor(const std::function<bool()>& done, const std::string& what = "the condition") {
    return test::WaitUntil(done, what);
}

// How long a stress test goes on: VELMORA_TEST_STRESS_SECONDS, else a minute
// (a third of it under a sanitizer, which slows every step).
inline uint32_t StressSeconds() {
    if (const char* seconds = std::getenv("VELMORA_TEST_STRESS_SECONDS"))
        return static_cast<uint32_t>(std::strtoul(seconds, nullptr, 10));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 20;
#else
    return 60;
#endif
}

// Whether `run` is a stretch of the cyclic `source`, none lost or repeated.
inline bool IsCyclicRun(const std::vector<Bytes>& run, const std::vector<Bytes>& source) {
    if (run.empty()) return true;
    for (size_t start = 0; start < source.size(); ++start) {
        if (run[0] != source[start]) continue;
        bool all = true;
        for (size_t i = 1; i < run.size() && all; ++i) {
            all = run[i] == source[(start + i) % source.size()];
        }
        if (all) return true;
    }
    return false;
}

// How many times `run` jumps within the cyclic `source`: 0 for one stretch
// of it. Each stretch is matched where it runs longest.
inline size_t JumpsInRun(const std::vector<Bytes>& run, const std::vector<Bytes>& source) {
    size_t jumps = 0;
    size_t at = 0;
    while (at < run.size()) {
        size_t best = 0;
        for (size_t start = 0; start < source.size(); ++start) {
            size_t n = 0;
            while (at + n < run.size() && run[at + n] == source[(start + n) % source.size()])
                ++n;
            best = std::max(best, n);
        }
        if (best == 0) return run.size();  // a packet that is not in the source
        at += best;
        if (at < run.size()) ++jumps;
    }
    return jumps;
}

}  // namespace velmora::tstest

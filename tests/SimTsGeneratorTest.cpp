// The card's built-in transport stream, checked by a small demultiplexer of
// its own here, the library's intra decoder and a player: nothing of the
// generator's code is used to judge it.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "PlatformTestSupport.h"
#include "record/MpegVideoInfo.h"
#include "record/VideoParser.h"
#include "sim/SimTsGenerator.h"

namespace velmora::sim {
namespace {

using Gen = SimTsGenerator;
using Packet = std::array<uint8_t, 188>;

constexpr uint64_t kPacketsPerSecond = 27'000'000 / Gen::kTicksPerPacket;

uint32_t BitwiseCrc(const uint8_t* data, size_t size) {
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

Packet Make(uint64_t index) {
    Packet p{};
    Gen::Packet(index, p.data());
    return p;
}

uint16_t Pid(const Packet& p) {
    return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
}
bool UnitStart(const Packet& p) {
    return (p[1] & 0x40) != 0;
}
bool HasPayload(const Packet& p) {
    return (p[3] & 0x10) != 0;
}
size_t PayloadStart(const Packet& p) {
    return (p[3] & 0x20) ? 5 + p[4] : 4;
}
uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint64_t Timestamp(const uint8_t* p) {
    return (uint64_t{p[0] & 0x0Eu} << 29) | (uint64_t{p[1]} << 22) |
           (uint64_t{p[2] & 0xFEu} << 14) | (uint64_t{p[3]} << 7) | (p[4] >> 1);
}

// A section that starts in this packet and fits in it (as all of the
// generator's do).
std::vector<uint8_t> Section(const Packet& p) {
    const size_t start = PayloadStart(p) + 1 + p[PayloadStart(p)];
    const size_t length = 3 + (((p[start + 1] & 0x0F) << 8) | p[start + 2]);
    EXPECT_LE(start + length, p.size());
    return std::vector<uint8_t>(p.begin() + start, p.begin() + start + length);
}

struct Stream {
    std::map<uint16_t, std::vector<uint64_t>> byPid;  // packet indices per PID
    std::vector<Packet> packets;
};

Stream Capture(uint64_t first, uint64_t count) {
    Stream s;
    for (uint64_t i = 0; i < count; ++i) {
        s.packets.push_back(Make(first + i));
        s.byPid[Pid(s.packets.back())].push_back(i);
    }
    return s;
}

TEST(SimTsGeneratorTest, CrcMatchesBitwiseDefinition) {
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Gen::Crc32(text, sizeof(text)), 0x0376E6E7u);  // CRC-32/MPEG-2 check value
    EXPECT_EQ(BitwiseCrc(text, sizeof(text)), 0x0376E6E7u);
}

TEST(SimTsGeneratorTest, TablesParseAndAgree) {
    // Two seconds: every table has been sent at least once.
    const Stream s = Capture(0, 2 * kPacketsPerSecond);
    for (const auto& [pid, indices] : s.byPid) {
        (void)indices;
        for (const Packet& p : s.packets)
            ASSERT_EQ(p[0], 0x47);
    }

    // PAT: program 0 points at the NIT, the others at their PMTs.
    ASSERT_TRUE(s.byPid.count(0));
    const std::vector<uint8_t> pat = Section(s.packets[s.byPid.at(0).front()]);
    ASSERT_EQ(pat[0], 0x00);
    EXPECT_EQ(BitwiseCrc(pat.data(), pat.size()), 0u);
    EXPECT_EQ(U16(&pat[3]), Gen::kTransportStreamId);
    std::map<uint16_t, uint16_t> pmtPidOf;  // program number -> PMT PID
    for (size_t at = 8; at + 4 <= pat.size() - 4; at += 4)
        pmtPidOf[U16(&pat[at])] = U16(&pat[at + 2]) & 0x1FFF;
    ASSERT_EQ(pmtPidOf.size(), 1 + Gen::kPrograms);
    EXPECT_EQ(pmtPidOf.at(0), 0x0010);

    std::set<uint16_t> elementary;
    for (const auto& [program, pmtPid] : pmtPidOf) {
        if (program == 0) continue;
        ASSERT_TRUE(s.byPid.count(pmtPid)) << "no PMT for program " << program;
        const std::vector<uint8_t> pmt = Section(s.packets[s.byPid.at(pmtPid).front()]);
        ASSERT_EQ(pmt[0], 0x02);
        EXPECT_EQ(BitwiseCrc(pmt.data(), pmt.size()), 0u);
        EXPECT_EQ(U16(&pmt[3]), program);
        const uint16_t pcrPid = U16(&pmt[8]) & 0x1FFF;
        std::map<uint8_t, uint16_t> streams;  // stream_type -> PID
        size_t at = 12 + (U16(&pmt[10]) & 0x0FFF);
        while (at + 5 <= pmt.size() - 4) {
            streams[pmt[at]] = U16(&pmt[at + 1]) & 0x1FFF;
            at += 5 + (U16(&pmt[at + 3]) & 0x0FFF);
        }
        ASSERT_EQ(streams.size(), 2u);
        ASSERT_TRUE(streams.count(0x02) && streams.count(0x03));
        EXPECT_EQ(pcrPid, streams.at(0x02));
        for (const auto& [type, pid] : streams) {
            EXPECT_TRUE(s.byPid.count(pid)) << "stream " << pid << " never sent";
            EXPECT_TRUE(elementary.insert(pid).second);
        }
    }

    // SDT: one named service per PAT program, same numbers.
    ASSERT_TRUE(s.byPid.count(0x11));
    const std::vector<uint8_t> sdt = Section(s.packets[s.byPid.at(0x11).front()]);
    ASSERT_EQ(sdt[0], 0x42);
    EXPECT_EQ(BitwiseCrc(sdt.data(), sdt.size()), 0u);
    EXPECT_EQ(U16(&sdt[3]), Gen::kTransportStreamId);
    std::map<uint16_t, std::string> names;
    for (size_t at = 11; at + 5 <= sdt.size() - 4;) {
        const uint16_t service = U16(&sdt[at]);
        const size_t loop = U16(&sdt[at + 3]) & 0x0FFF;
        const uint8_t* d = &sdt[at + 5];
        ASSERT_EQ(d[0], 0x48);
        const uint8_t providerLength = d[3];
        const uint8_t nameLength = d[4 + providerLength];
        names[service] =
            std::string(reinterpret_cast<const char*>(d + 5 + providerLength), nameLength);
        at += 5 + loop;
    }
    ASSERT_EQ(names.size(), Gen::kPrograms);
    for (const auto& [service, name] : names) {
        EXPECT_TRUE(pmtPidOf.count(service));
        EXPECT_EQ(name, "Velmora Sim " + std::to_string(service));
    }

    // NIT: the network's name and this transport stream with its services.
    ASSERT_TRUE(s.byPid.count(0x10));
    const std::vector<uint8_t> nit = Section(s.packets[s.byPid.at(0x10).front()]);
    ASSERT_EQ(nit[0], 0x40);
    EXPECT_EQ(BitwiseCrc(nit.data(), nit.size()), 0u);
    const size_t networkLength = U16(&nit[8]) & 0x0FFF;
    ASSERT_EQ(nit[10], 0x40);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&nit[12]), nit[11]), "Velmora Sim Network");
    const size_t ts = 10 + networkLength + 2;
    EXPECT_EQ(U16(&nit[ts]), Gen::kTransportStreamId);
    EXPECT_EQ(nit[ts + 6], 0x41);  // service list
    EXPECT_EQ(nit[ts + 7], 3 * Gen::kPrograms);
}

TEST(SimTsGeneratorTest, ContinuityAndRepetition) {
    // Start somewhere in the middle: the counters carry on from before.
    const uint64_t first = 123'457;
    const Stream s = Capture(first, 12 * kPacketsPerSecond);
    for (const auto& [pid, indices] : s.byPid) {
        if (pid == 0x1FFF) continue;
        for (size_t k = 1; k < indices.size(); ++k) {
            const Packet& a = s.packets[indices[k - 1]];
            const Packet& b = s.packets[indices[k]];
            ASSERT_TRUE(HasPayload(b));
            ASSERT_EQ(b[3] & 0x0F, (a[3] + 1) & 0x0F) << "PID " << pid << " at " << indices[k];
        }
        // Largest gap between two sendings of each table, in seconds x 1000.
        uint64_t gap = 0;
        for (size_t k = 1; k < indices.size(); ++k)
            gap = std::max<uint64_t>(gap, indices[k] - indices[k - 1]);
        const uint64_t gapMs = gap * 1000 / kPacketsPerSecond;
        if (pid == 0 || pid == 0x100 || pid == 0x200 || pid == 0x300) {
            EXPECT_LE(gapMs, 100u);
        } else if (pid == 0x11) {
            EXPECT_LE(gapMs, 2000u);
        } else if (pid == 0x10) {
            EXPECT_LE(gapMs, 10000u);
        }
    }
    EXPECT_GT(s.byPid.at(0x1FFF).size(), 0u) << "no null packets to fill the rate";
}

TEST(SimTsGeneratorTest, PesFramingOfVideoAndAudio) {
    const Stream s = Capture(0, 2 * kPacketsPerSecond);
    for (unsigned program = 0; program < Gen::kPrograms; ++program) {
        for (const uint16_t pid : {Gen::VideoPid(program), Gen::AudioPid(program)}) {
            const bool video = pid == Gen::VideoPid(program);
            std::vector<std::vector<uint8_t>> pes;  // reassembled PES packets
            for (uint64_t index : s.byPid.at(pid)) {
                const Packet& p = s.packets[index];
                if (UnitStart(p)) pes.emplace_back();
                if (pes.empty()) continue;
                pes.back().insert(pes.back().end(), p.begin() + PayloadStart(p), p.end());
            }
            ASSERT_GE(pes.size(), 40u);
            pes.pop_back();  // may be cut short by the end of the capture
            std::vector<uint64_t> pts;
            unsigned sequenceHeaders = 0;
            for (const auto& unit : pes) {
                ASSERT_GE(unit.size(), 14u);
                ASSERT_EQ(unit[0], 0);
                ASSERT_EQ(unit[1], 0);
                ASSERT_EQ(unit[2], 1);
                ASSERT_EQ(unit[3], video ? 0xE0 : 0xC0);
                EXPECT_EQ(unit.size(), 6u + U16(&unit[4]));
                ASSERT_EQ(unit[7] & 0xC0, 0x80) << "PTS expected";
                pts.push_back(Timestamp(&unit[9]));
                const size_t es = 9 + unit[8];
                if (video) {
                    const bool sequence = unit[es] == 0 && unit[es + 1] == 0 && unit[es + 2] == 1 &&
                                          unit[es + 3] == 0xB3;
                    if (sequence) {
                        ++sequenceHeaders;
                        EXPECT_EQ((unit[es + 4] << 4) | (unit[es + 5] >> 4), 720);
                        EXPECT_EQ(((unit[es + 5] & 0x0F) << 8) | unit[es + 6], 576);
                    }
                    // Every PES holds exactly one picture start code.
                    unsigned pictures = 0;
                    for (size_t i = es; i + 3 < unit.size(); ++i) {
                        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1 &&
                            unit[i + 3] == 0x00) {
                            ++pictures;
                        }
                    }
                    EXPECT_EQ(pictures, 1u);
                } else {
                    // Layer II frames every 576 bytes of the audio stream.
                    bool sync = false;
                    for (size_t i = es; i + 1 < unit.size() && !sync; ++i)
                        sync = unit[i] == 0xFF && (unit[i + 1] & 0xF0) == 0xF0;
                    EXPECT_TRUE(sync);
                }
            }
            for (size_t k = 1; k < pts.size(); ++k) {
                if (video) {
                    EXPECT_EQ(pts[k] - pts[k - 1], 3600u);  // 25 frames/s at 90 kHz
                } else {
                    EXPECT_GT(pts[k], pts[k - 1]);
                    EXPECT_LE(pts[k] - pts[k - 1], 2u * 2160);
                }
            }
            if (video) {
                EXPECT_GE(sequenceHeaders, 4u);  // one per GOP of 12 frames
            }
        }
    }
}

TEST(SimTsGeneratorTest, PcrsGiveTheBitRate) {
    const uint64_t first = 5 * kPacketsPerSecond;
    const Stream s = Capture(first, kPacketsPerSecond);
    for (unsigned program = 0; program < Gen::kPrograms; ++program) {
        std::vector<std::pair<uint64_t, uint64_t>> pcrs;  // packet index, PCR
        for (uint64_t index : s.byPid.at(Gen::VideoPid(program))) {
            const Packet& p = s.packets[index];
            if (!(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10)) continue;
            const uint64_t base = (uint64_t{p[6]} << 25) | (uint64_t{p[7]} << 17) |
                                  (uint64_t{p[8]} << 9) | (uint64_t{p[9]} << 1) | (p[10] >> 7);
            const uint64_t extension = ((p[10] & 1u) << 8) | p[11];
            pcrs.emplace_back(first + index, base * 300 + extension);
        }
        ASSERT_GE(pcrs.size(), 24u);  // at least one every 40 ms
        for (size_t k = 1; k < pcrs.size(); ++k) {
            const uint64_t bytes = (pcrs[k].first - pcrs[k - 1].first) * 188;
            const uint64_t ticks = pcrs[k].second - pcrs[k - 1].second;
            EXPECT_LE(ticks, 27'000u * 40);
            EXPECT_EQ(bytes * 8 * 27'000'000 / ticks, Gen::kBitRate);
        }
        // The PCR is the card time at which the packet arrives.
        EXPECT_EQ(pcrs.front().second / Gen::kTicksPerPacket, pcrs.front().first);
    }
}

// The pictures decode: the library's own intra decoder finds vertical bars,
// each one colour, in the first I picture of every program; a player decodes
// three seconds of every program, pictures and sound, without an error (when
// ffmpeg is here).
TEST(SimTsGeneratorTest, PicturesDecode) {
    std::vector<uint8_t> ts;
    for (uint64_t i = 0; i < 3 * kPacketsPerSecond; ++i) {
        const Packet p = Make(i);
        ts.insert(ts.end(), p.begin(), p.end());
    }
    constexpr uint32_t kWidth = 720 / 8, kHeight = 576 / 8;
    for (unsigned program = 0; program < Gen::kPrograms; ++program) {
        SCOPED_TRACE(program);
        std::vector<uint8_t> pixels(kWidth * kHeight * 3);
        record::MPEG_THUMBNAIL thumbnail{pixels.data(), kWidth, kHeight, kWidth * 3, 0, 0, 0, 0, 0};
        ASSERT_EQ(record::FindFirstIntraPicture(ts.data(), uint32_t(ts.size()),
                                                Gen::VideoPid(program), &thumbnail),
                  1);
        ASSERT_EQ(thumbnail.usedWidth, kWidth);
        ASSERT_EQ(thumbnail.usedHeight, kHeight);
        // Every row alike, eight colours across.
        const size_t row = kWidth * 3;
        for (uint32_t y = 1; y < kHeight; ++y)
            ASSERT_TRUE(std::equal(&pixels[y * row], &pixels[y * row] + row, pixels.begin())) << y;
        std::set<std::string> bars;
        for (uint32_t x = 0; x < kWidth; ++x)
            bars.emplace(reinterpret_cast<const char*>(&pixels[x * 3]), 3);
        EXPECT_EQ(bars.size(), 8u);
    }

    if (std::system("command -v ffmpeg > /dev/null 2>&1") != 0) {
        std::printf("ffmpeg not installed: the generator's stream not played\n");
        return;
    }
    const platform::test::TempDir directory;
    ASSERT_TRUE(directory.Valid());
    const std::string path = directory.File("generator.ts");
    const std::string errors = path + ".err";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(ts.data()), static_cast<std::streamsize>(ts.size()));
    const std::string command =
        "ffmpeg -nostdin -v error -i '" + path + "' -map 0 -f null - 2> '" + errors + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::ifstream log(errors);
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(text.empty()) << text.substr(0, 400);
}

TEST(SimTsGeneratorTest, SameIndexSameBytes) {
    // Random access gives what a sequential run gives, every time.
    const uint64_t far = 987'654'321;
    const Packet a = Make(far);
    Stream run = Capture(far - 3, 7);
    EXPECT_EQ(run.packets[3], a);
    EXPECT_EQ(Make(far), a);
    EXPECT_NE(Make(far + Gen::kPacketsPerFrame), a);  // time moves on
}

}  // namespace
}  // namespace velmora::sim

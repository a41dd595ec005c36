// The ASI engine on a state, a register file and a card memory of the test's
// own, driven by explicit card times.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sim/SimAsiEngine.h"
#include "sim/SimTsGenerator.h"

namespace velmora::sim {
namespace {

using E = SimAsiEngine;

constexpr uint32_t kUnitWords = E::kUnitWords;

// A card time (µs) by which exactly `packets` source packets have arrived.
uint64_t UsForPackets(uint64_t packets) {
    return (packets * E::kSourcePacketTicks + E::kTicksPerUs - 1) / E::kTicksPerUs;
}

class Rig {
  public:
    explicit Rig(uint32_t fpgaVersion = 0x50103, enum AsiInput input = AsiInput::Generator,
                 const std::string& file = {})
        : m_state(std::make_unique<SimAsiState>()), m_bar3(1024, 0), m_memory(32u << 20, 0) {
        m_bar3[E::kRegFpgaVersion / 4] = fpgaVersion;
        m_config.asiInput = input;
        m_config.asiFile = file;
        E::PowerUp(*m_state, m_bar3.data(), m_config);
    }

    E Engine() { return E(*m_state, m_bar3.data(), m_memory.data(), m_config, 0); }
    SimAsiState& State() { return *m_state; }

    void At(uint64_t us) { Engine().CatchUp(us); }
    void Write(uint32_t offset, uint32_t value) {
        const uint32_t old = m_bar3[offset / 4];
        m_bar3[offset / 4] = value;
        Engine().OnRegisterWrite(offset, old, value);
    }
    uint32_t Read(uint32_t offset) {
        uint32_t value = 0;
        return Engine().ReadRegister(offset, &value) ? value : m_bar3[offset / 4];
    }
    void SetC(uint32_t bits, bool on) {
        const uint32_t c = m_bar3[E::kRegBlockC / 4];
        Write(E::kRegBlockC, on ? c | bits : c & ~bits);
    }
    void Pulse(uint32_t bit) {
        SetC(bit, false);
        SetC(bit, true);
        SetC(bit, false);
    }
    void CommitInputRead(uint32_t pointer) {
        Write(E::kRegInputReadPointer, pointer);
        Pulse(E::kCInputCommit);
    }
    void CommitOutputWrite(uint32_t pointer) {
        Write(E::kRegOutputWritePointer, pointer);
        Pulse(E::kCOutputCommit);
    }

    // Filled units of the input ring, as the board support counts them.
    uint32_t InputFilled() {
        const uint32_t h = Read(E::kRegInputWritePointer);
        const uint32_t r = m_state->inputRead;
        if (h == r) return 0;
        return h > r ? (h - r) >> 6 : E::kUnits - ((r - h) >> 6);
    }
    const uint8_t* InputEntry(uint32_t unit) {
        return &m_memory[(uint64_t{E::kInputFirst} + unit * kUnitWords) * 4];
    }
    uint8_t* OutputEntry(uint32_t unit) {
        return &m_memory[(uint64_t{E::kOutputFirst} + unit * kUnitWords) * 4];
    }
    // Output entry `unit`: pacing H and L, a packet numbered `tag`.
    void PutOutput(uint32_t unit, uint16_t h, uint16_t l, uint32_t tag, size_t length = 188) {
        uint8_t* e = OutputEntry(unit);
        std::memset(e, 0, E::kUnitBytes);
        e[0] = static_cast<uint8_t>(h >> 8);
        e[1] = static_cast<uint8_t>(h);
        e[2] = static_cast<uint8_t>(l >> 8);
        e[3] = static_cast<uint8_t>(l);
        e[4] = 0x47;
        e[5] = 0x01;
        std::memcpy(e + 8, &tag, sizeof(tag));
        e[4 + length - 1] = 0xEE;
    }

  private:
    std::unique_ptr<SimAsiState> m_state;
    std::vector<uint32_t> m_bar3;
    std::vector<uint8_t> m_memory;
    SimConfig m_config;
};

std::array<uint8_t, 188> GeneratorPacket(uint64_t index) {
    std::array<uint8_t, 188> p{};
    SimTsGenerator::Packet(index, p.data());
    return p;
}

TEST(SimAsiEngineTest, PowerUpLeavesEmptyRingsAndTheConfiguredSource) {
    Rig rig;
    EXPECT_EQ(rig.Read(E::kRegInputWritePointer), E::kInputFirst);
    EXPECT_EQ(rig.Read(E::kRegOutputReadPointer), E::kOutputFirst);
    EXPECT_EQ(rig.State().source, SimAsiSource::Generator);
    EXPECT_EQ(rig.Read(E::kRegAsiStatus), 5u << 16);

    SimAsiState zero{};
    std::vector<uint32_t> bar3(1024, 0);
    uint32_t value = 0;
    SimConfig config;
    E off(zero, bar3.data(), nullptr, config, 0);
    EXPECT_FALSE(off.ReadRegister(E::kRegInputWritePointer, &value)) << "not powered up";
}

TEST(SimAsiEngineTest, InputAdvancesWithCardTimeOnlyWhileEnabled) {
    Rig rig;
    rig.At(UsForPackets(100));
    EXPECT_EQ(rig.InputFilled(), 0u) << "capture not enabled";

    rig.SetC(E::kCInputEnable, true);
    rig.At(UsForPackets(100) + 1);
    EXPECT_EQ(rig.InputFilled(), 0u) << "what arrived before the enable is gone";
    rig.At(UsForPackets(127));
    ASSERT_EQ(rig.InputFilled(), 27u);
    EXPECT_EQ(rig.Read(E::kRegInputWritePointer), E::kInputFirst + 27 * kUnitWords);
    EXPECT_EQ(rig.Engine().CapturedPacketCount(), 27u);

    // 188-byte entries: empty header, then packets 100..126 of the stream.
    for (uint32_t unit = 0; unit < 27; ++unit) {
        const uint8_t* e = rig.InputEntry(unit);
        const auto expected = GeneratorPacket(100 + unit);
        ASSERT_EQ(std::memcmp(e + 4, expected.data(), 188), 0) << "unit " << unit;
        EXPECT_EQ(e[0] | e[1] | e[2] | e[3], 0);
    }

    rig.SetC(E::kCInputEnable, false);
    rig.At(UsForPackets(500));
    EXPECT_EQ(rig.InputFilled(), 27u);
    // Earlier times are ignored: card time never runs backwards.
    rig.SetC(E::kCInputEnable, true);
    rig.At(UsForPackets(10));
    EXPECT_EQ(rig.InputFilled(), 27u);
}

TEST(SimAsiEngineTest, Entries204CarryTheStreamPacketAndSixteenMoreBytes) {
    Rig rig;
    std::memset(const_cast<uint8_t*>(rig.InputEntry(0)), 0xCC, 256);
    rig.SetC(E::kCInputEnable | E::kCPacket204, true);
    rig.At(UsForPackets(1));
    ASSERT_EQ(rig.InputFilled(), 1u);
    const uint8_t* e = rig.InputEntry(0);
    const auto expected = GeneratorPacket(0);
    EXPECT_EQ(std::memcmp(e + 4, expected.data(), 188), 0);
    for (int i = 4 + 188; i < 256; ++i)
        ASSERT_EQ(e[i], 0) << i;
    EXPECT_EQ(rig.Engine().PacketLength(), 204u);
}

TEST(SimAsiEngineTest, FullRingStopsShortOfTheReadPointerAndCountsLosses) {
    Rig rig;
    rig.SetC(E::kCInputEnable, true);
    // Ten seconds of stream into a ring of 25,920 units.
    const uint64_t arrived = 10 * 6750;
    rig.At(UsForPackets(arrived));
    EXPECT_EQ(rig.InputFilled(), E::kUnits - 1);
    EXPECT_EQ(rig.Read(E::kRegInputWritePointer), E::kInputEnd - kUnitWords);
    EXPECT_EQ(rig.State().captured, E::kUnits - 1);
    EXPECT_EQ(rig.State().overflows, arrived - (E::kUnits - 1));
    EXPECT_EQ(rig.Engine().CapturedPacketCount(), arrived) << "the register counts the lost too";

    // A commit of 100 units frees exactly those: the next 100 arrivals fit,
    // the 101st is lost.
    rig.CommitInputRead(E::kInputFirst + 100 * kUnitWords);
    EXPECT_EQ(rig.InputFilled(), E::kUnits - 1 - 100);
    rig.At(UsForPackets(arrived + 101));
    EXPECT_EQ(rig.InputFilled(), E::kUnits - 1);
    EXPECT_EQ(rig.State().overflows, arrived - (E::kUnits - 1) + 1);
    // The write pointer wrapped and stops one unit behind the read pointer.
    EXPECT_EQ(rig.Read(E::kRegInputWritePointer), E::kInputFirst + 99 * kUnitWords);
    const auto expected = GeneratorPacket(arrived);
    EXPECT_EQ(std::memcmp(rig.InputEntry(E::kUnits - 1) + 4, expected.data(), 188), 0);

    // Emptying the ring by committing up to the write pointer.
    rig.CommitInputRead(rig.Read(E::kRegInputWritePointer));
    EXPECT_EQ(rig.InputFilled(), 0u);
}

TEST(SimAsiEngineTest, CommitsOfPointersOutsideTheWindowAreIgnored) {
    Rig rig;
    rig.SetC(E::kCInputEnable, true);
    rig.At(UsForPackets(50));
    for (uint32_t bad : {0u, E::kInputEnd, E::kInputFirst + 3, E::kOutputFirst + kUnitWords}) {
        rig.CommitInputRead(bad);
        EXPECT_EQ(rig.State().inputRead, E::kInputFirst);
    }
    rig.PutOutput(0, 0, 0, 1);
    rig.CommitOutputWrite(E::kInputFirst + kUnitWords);
    EXPECT_EQ(rig.State().outputWrite, E::kOutputFirst);
    EXPECT_EQ(rig.Read(E::kRegAsiStatus) & E::kStatusOutputBit, 0u);
}

TEST(SimAsiEngineTest, LongIdleGapCostsOneRingAtMost) {
    Rig rig;
    rig.SetC(E::kCInputEnable, true);
    // Eleven days of card time in one step: only what fits is made.
    const uint64_t us = 1'000'000ull * 86'400 * 11;
    rig.At(us);
    const uint64_t arrived = us * E::kTicksPerUs / E::kSourcePacketTicks;
    EXPECT_EQ(rig.InputFilled(), E::kUnits - 1);
    EXPECT_EQ(rig.State().captured + rig.State().overflows, arrived);
    // The ring holds the first packets of the gap.
    const auto expected = GeneratorPacket(0);
    EXPECT_EQ(std::memcmp(rig.InputEntry(0) + 4, expected.data(), 188), 0);
}

TEST(SimAsiEngineTest, GeneratorInputIsTheSameForTheSameCardTime) {
    Rig a;
    Rig b;
    a.SetC(E::kCInputEnable, true);
    b.SetC(E::kCInputEnable, true);
    // Different catch-up steps, same card times at the end.
    for (uint64_t us = 1000; us <= 40'000; us += 1000)
        a.At(us);
    b.At(17'321);
    b.At(40'000);
    ASSERT_EQ(a.InputFilled(), b.InputFilled());
    ASSERT_EQ(a.InputFilled(), 270u);
    for (uint32_t unit = 0; unit < 270; ++unit)
        ASSERT_EQ(std::memcmp(a.InputEntry(unit), b.InputEntry(unit), 256), 0) << unit;
}

class SimAsiFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("velmora-asi-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        const auto path = m_dir / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    static std::vector<uint8_t> TsPacket(uint8_t tag) {
        std::vector<uint8_t> p(188, tag);
        p[0] = 0x47;
        p[1] = 0x00;
        p[2] = tag;
        p[3] = 0x10;
        return p;
    }

    std::filesystem::path m_dir;
};

TEST_F(SimAsiFileTest, FileSourceSkipsGarbageAndLoops) {
    std::vector<uint8_t> bytes;
    const auto append = [&bytes](const std::vector<uint8_t>& part) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    };
    std::vector<uint8_t> garbage(37, 0x13);
    garbage[5] = 0x47;  // a stray sync byte with no packet behind it
    append(garbage);
    append(TsPacket(1));
    append(TsPacket(2));
    append(std::vector<uint8_t>(50, 0x00));
    append(TsPacket(3));
    append(TsPacket(4));
    append(std::vector<uint8_t>(5, 0x47));  // garbage that looks like a packet start
    append(TsPacket(5));
    append(std::vector<uint8_t>(100, 0x47));  // a short tail
    const std::string path = WriteFile("stream.ts", bytes);

    Rig rig(0x50103, AsiInput::File, path);
    EXPECT_EQ(rig.State().source, SimAsiSource::File);
    EXPECT_EQ(rig.Read(E::kRegAsiStatus), 5u << 16);
    rig.SetC(E::kCInputEnable, true);
    rig.At(UsForPackets(8));
    ASSERT_EQ(rig.InputFilled(), 8u);
    EXPECT_EQ(rig.Engine().InputRate(), E::kDefaultInputRate);  // no PCRs: the default rate
    const uint8_t expected[] = {1, 2, 3, 4, 5, 1, 2, 3};
    for (uint32_t unit = 0; unit < 8; ++unit) {
        const auto packet = TsPacket(expected[unit]);
        ASSERT_EQ(std::memcmp(rig.InputEntry(unit) + 4, packet.data(), 188), 0) << unit;
    }

    // Switching to another file starts it from its first packet.
    const std::string other = WriteFile("other.ts", TsPacket(9));
    ASSERT_TRUE(rig.Engine().SetSource(SimAsiSource::File, other.c_str()));
    rig.At(UsForPackets(9));
    ASSERT_EQ(rig.InputFilled(), 9u);
    const auto nine = TsPacket(9);
    EXPECT_EQ(std::memcmp(rig.InputEntry(8) + 4, nine.data(), 188), 0);
}

TEST_F(SimAsiFileTest, FileWithoutPacketsGivesNoSignal) {
    const std::string garbage = WriteFile("garbage.ts", std::vector<uint8_t>(1000, 0x47 ^ 0xFF));
    // Files that are not transport streams, with a few sync bytes 188 bytes
    // apart as any such file may hold.
    std::vector<std::string> others;
    const std::pair<const char*, std::vector<uint8_t>> heads[] = {
        {"random.bin", {}},
        {"program.mpg", {0x00, 0x00, 0x01, 0xBA, 0x44}},
        {"movie.mp4", {0x00, 0x00, 0x00, 0x18, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'}}};
    std::mt19937 random(37);
    for (const auto& [name, head] : heads) {
        std::vector<uint8_t> bytes = head;
        while (bytes.size() < 20000)
            bytes.push_back(static_cast<uint8_t>(random()));
        for (size_t k = 0; k < 4; ++k)
            bytes[5000 + 188 * k] = 0x47;
        others.push_back(WriteFile(name, bytes));
    }
    // Neither a file without packets, nor one that is not a transport stream,
    // is missing or is a folder, gives a packet or a signal.
    for (const std::string& path : {garbage, others[0], others[1], others[2],
                                    (m_dir / "missing.ts").string(), m_dir.string()}) {
        Rig rig(0x50103, AsiInput::File, path);
        rig.SetC(E::kCInputEnable, true);
        rig.At(UsForPackets(50));
        EXPECT_EQ(rig.InputFilled(), 0u) << path;
        EXPECT_EQ(rig.State().overflows, 0u) << path;
        EXPECT_EQ(rig.Read(E::kRegAsiStatus), 0u) << path;
        EXPECT_FALSE(rig.Engine().SignalPresent()) << path;
    }
    Rig rig(0x50103, AsiInput::File, garbage);

    // A file that cannot be read is refused and changes nothing.
    EXPECT_FALSE(rig.Engine().SetSource(SimAsiSource::File, (m_dir / "missing.ts").c_str()));
    EXPECT_EQ(rig.State().source, SimAsiSource::File);
    EXPECT_FALSE(rig.Engine().SetSource(static_cast<SimAsiSource>(7)));
}

TEST(SimAsiEngineTest, OutputDrainsInTheTimeItsPacingSays) {
    Rig rig;
    // 38 Mbit/s for 188-byte packets: H = 4, L = 130, 1068 byte times each.
    constexpr uint32_t kEntries = 10;
    constexpr uint64_t kTicks = 188 + 187 * 4 + 130 + 2;
    static_assert(kTicks == 1068);
    for (uint32_t unit = 0; unit < kEntries; ++unit)
        rig.PutOutput(unit, 4, 130, unit);
    const uint64_t t0 = 1000;  // µs
    rig.At(t0);
    rig.CommitOutputWrite(E::kOutputFirst + kEntries * kUnitWords);
    EXPECT_EQ(rig.Read(E::kRegAsiStatus) & E::kStatusOutputBit, E::kStatusOutputBit);

    // Just before the last entry ends, nine are gone; at its end, all.
    const uint64_t endTick = t0 * E::kTicksPerUs + kEntries * kTicks;
    rig.At(endTick / E::kTicksPerUs);
    EXPECT_EQ(rig.Read(E::kRegOutputReadPointer), E::kOutputFirst + 9 * kUnitWords);
    EXPECT_EQ(rig.Engine().SentPacketCount(), 9u);
    rig.At(endTick / E::kTicksPerUs + 1);
    EXPECT_EQ(rig.Read(E::kRegOutputReadPointer), E::kOutputFirst + kEntries * kUnitWords);
    EXPECT_EQ(rig.Engine().SentPacketCount(), kEntries);
    EXPECT_EQ(rig.Read(E::kRegAsiStatus) & E::kStatusOutputBit, 0u);

    // The monitor has each packet, when it ended and its pacing.
    for (uint32_t k = 0; k < kEntries; ++k) {
        const SimAsiPlayedPacket& p = rig.State().monitor[k];
        EXPECT_EQ(p.sequence, k);
        EXPECT_EQ(p.playedTick, t0 * E::kTicksPerUs + (k + 1) * kTicks);
        EXPECT_EQ(p.length, 188u);
        EXPECT_EQ(p.spacingH, 4);
        EXPECT_EQ(p.spacingL, 130);
        uint32_t tag = 0;
        std::memcpy(&tag, p.bytes + 4, sizeof(tag));
        EXPECT_EQ(tag, k);
        EXPECT_EQ(p.bytes[187], 0xEE);
    }

    // An output that went idle starts on new entries when they are committed.
    const uint64_t t1 = 50'000;
    rig.At(t1);
    rig.PutOutput(kEntries, 0, 0, 99);
    rig.CommitOutputWrite(E::kOutputFirst + (kEntries + 1) * kUnitWords);
    rig.At(t1 + 7);  // 189 ticks: one byte short of 188 + 0 + 0 + 2
    EXPECT_EQ(rig.Engine().SentPacketCount(), kEntries);
    rig.At(t1 + 8);
    EXPECT_EQ(rig.Engine().SentPacketCount(), kEntries + 1);
}

TEST(SimAsiEngineTest, OutputWrapsAndTheMonitorKeepsTheLatest) {
    Rig rig;
    // Start near the window's end so the ring wraps.
    const uint32_t start = E::kUnits - 5;
    rig.Write(E::kRegOutputWritePointer, E::kOutputFirst + start * kUnitWords);
    rig.State().outputRead = rig.State().outputWrite = E::kOutputFirst + start * kUnitWords;
    const uint32_t total = SimAsiState::kMonitorCapacity + 44;
    for (uint32_t k = 0; k < total; ++k)
        rig.PutOutput((start + k) % E::kUnits, 0, 0, k, 204);
    rig.SetC(E::kCPacket204, true);
    rig.At(1);
    const uint32_t end = (start + total) % E::kUnits;
    rig.CommitOutputWrite(E::kOutputFirst + end * kUnitWords);
    rig.At(1 + (total * (204 + 203 * 0 + 0 + 2)) / E::kTicksPerUs + 1);
    EXPECT_EQ(rig.Read(E::kRegOutputReadPointer), E::kOutputFirst + end * kUnitWords);
    EXPECT_EQ(rig.State().sent, total);
    for (uint32_t k = total - SimAsiState::kMonitorCapacity; k < total; ++k) {
        const SimAsiPlayedPacket& p = rig.State().monitor[k % SimAsiState::kMonitorCapacity];
        ASSERT_EQ(p.sequence, k);
        ASSERT_EQ(p.length, 204u);
        uint32_t tag = 0;
        std::memcpy(&tag, p.bytes + 4, sizeof(tag));
        ASSERT_EQ(tag, k);
        ASSERT_EQ(p.bytes[203], 0xEE);
    }
}

TEST(SimAsiEngineTest, LoopbackFeedsPlayedPacketsToTheInput) {
    Rig rig(0x50103, AsiInput::Loopback);
    EXPECT_EQ(rig.Read(E::kRegAsiStatus), 5u << 16);
    for (uint32_t k = 0; k < 6; ++k)
        rig.PutOutput(k, 0, 0, k);
    rig.At(10);
    rig.CommitOutputWrite(E::kOutputFirst + 3 * kUnitWords);
    rig.At(1000);  // played with the input off: not captured
    EXPECT_EQ(rig.State().sent, 3u);
    EXPECT_EQ(rig.InputFilled(), 0u);

    rig.SetC(E::kCInputEnable, true);
    rig.CommitOutputWrite(E::kOutputFirst + 6 * kUnitWords);
    rig.At(2000);
    ASSERT_EQ(rig.InputFilled(), 3u);
    for (uint32_t unit = 0; unit < 3; ++unit)
        EXPECT_EQ(std::memcmp(rig.InputEntry(unit) + 4, rig.OutputEntry(3 + unit) + 4, 188), 0);
    // No generator packets come with the loopback, however long it runs.
    rig.At(1'000'000);
    EXPECT_EQ(rig.InputFilled(), 3u);
    EXPECT_EQ(rig.State().overflows, 0u);
}

TEST(SimAsiEngineTest, StatusAndOutputModeFollowTheFpgaVersion) {
    Rig old(0x50102);
    EXPECT_EQ(old.Read(E::kRegAsiStatus), 5u);
    old.PutOutput(0, 0xFFFF, 0xFFFF, 0);
    old.At(1);
    old.CommitOutputWrite(E::kOutputFirst + kUnitWords);
    EXPECT_EQ(old.Read(E::kRegAsiStatus), 5u | E::kStatusOutputBit);
    old.Write(E::kRegTsControl, E::kTsControlOutputMode);
    EXPECT_EQ(old.Engine().OutputMode(), 0u) << "0x170 bit 5 is not the mode before 0x50103";
    old.SetC(E::kCOutputModeOld, true);
    EXPECT_EQ(old.Engine().OutputMode(), 1u);
    old.SetC(E::kCOutputModeOld, false);
    EXPECT_EQ(old.Engine().OutputMode(), 0u);

    Rig now(0x50103);
    EXPECT_EQ(now.Read(E::kRegAsiStatus), 5u << 16);
    now.SetC(E::kCOutputModeOld, true);
    EXPECT_EQ(now.Engine().OutputMode(), 0u) << "C bit 6 is not the mode from 0x50103";
    now.Write(E::kRegTsControl, E::kTsControlOutputMode | (1u << 6));
    EXPECT_EQ(now.Engine().OutputMode(), 1u);

    // No signal, and the invalid-status knob.
    ASSERT_TRUE(now.Engine().SetSource(SimAsiSource::None));
    EXPECT_EQ(now.Read(E::kRegAsiStatus), 0u);
    now.SetC(E::kCInputEnable, true);
    now.At(UsForPackets(30));
    EXPECT_EQ(now.InputFilled(), 0u);
    ASSERT_TRUE(now.Engine().SetSource(SimAsiSource::Generator));
    now.State().invalidStatus = 1;
    EXPECT_EQ((now.Read(E::kRegAsiStatus) >> 16) & 0xF, E::kInvalidSignal);
    old.State().invalidStatus = 1;
    EXPECT_EQ(old.Read(E::kRegAsiStatus) & 0xF, E::kInvalidSignal);
}

}  // namespace
}  // namespace velmora::sim

// The ASI engine of a simulated card as the library drives it: BAR-3 requests
// for pointers, commits and status, DMA for the entries, the manual clock for
// card time.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "SimTestSupport.h"
#include "sim/SimAsiEngine.h"
#include "sim/SimControl.h"
#include "sim/SimTsGenerator.h"

namespace velmora::sim::testing {
namespace {

using E = SimAsiEngine;
constexpr uint32_t kAsiRegisterA = 0x10;
constexpr uint32_t kC = E::kRegBlockC;
constexpr uint32_t kUnit = E::kUnitWords;
constexpr uint32_t kPacketsPerField = 135;  // 20 ms of the built-in stream

class SimAsiCardTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(m_device.Open());
        ASSERT_TRUE(SetClockMode(0, ClockMode::Manual));
        ASSERT_EQ(m_device.Status(hw::PLX_IOCTL_DMA_CHANNEL_OPEN, 0), hw::ApiSuccess);
    }
    void TearDown() override {
        m_device.Close();
        SimTest::TearDown();
    }

    uint32_t Read(uint32_t offset) const { return m_device.Read(offset); }
    void Write(uint32_t offset, uint32_t value) const { m_device.Write(offset, value); }
    void SetC(uint32_t bits, bool on) const {
        const uint32_t c = Read(kC);
        Write(kC, on ? c | bits : c & ~bits);
    }
    void Pulse(uint32_t offset, uint32_t bit) const {
        const uint32_t v = Read(offset);
        Write(offset, v & ~bit);
        Write(offset, v | bit);
        Write(offset, v & ~bit);
    }
    std::pair<uint32_t, uint32_t> Counters() const {
        Pulse(kAsiRegisterA, 1u << 22);
        return {Read(0x54), Read(0x58)};
    }
    std::vector<uint8_t> ReadEntries(uint32_t word, uint32_t count) const {
        std::vector<uint8_t> entries(count * E::kUnitBytes);
        EXPECT_EQ(m_device.Dma(0, entries.data(), word * 4, static_cast<uint32_t>(entries.size()),
                               hw::kPlxDirectionCardToHost),
                  hw::ApiSuccess);
        return entries;
    }
    // Output entries paced by H and L, each packet tagged with its number.
    void WriteOutput(uint32_t word, uint32_t count, uint16_t h, uint16_t l) const {
        std::vector<uint8_t> entries(count * E::kUnitBytes, 0);
        for (uint32_t k = 0; k < count; ++k) {
            uint8_t* e = &entries[k * E::kUnitBytes];
            e[0] = static_cast<uint8_t>(h >> 8);
            e[1] = static_cast<uint8_t>(h);
            e[2] = static_cast<uint8_t>(l >> 8);
            e[3] = static_cast<uint8_t>(l);
            e[4] = 0x47;
            e[5] = 0x02;
            e[6] = 0x00;
            e[7] = static_cast<uint8_t>(0x10 | (k & 0x0F));
            e[8] = static_cast<uint8_t>(k);
        }
        ASSERT_EQ(m_device.Dma(0, entries.data(), word * 4, static_cast<uint32_t>(entries.size()),
                               hw::kPlxDirectionHostToCard),
                  hw::ApiSuccess);
    }

    Device m_device{Device::Closed{}};
};

TEST_F(SimAsiCardTest, InputPointersAdvanceAndACommitFreesUnits) {
    EXPECT_EQ(Read(E::kRegInputWritePointer), E::kInputFirst);
    ASSERT_TRUE(StepFields(0, 2));
    EXPECT_EQ(Read(E::kRegInputWritePointer), E::kInputFirst) << "capture is off";

    SetC(E::kCInputEnable, true);
    ASSERT_TRUE(StepFields(0, 2));
    const uint32_t h = Read(E::kRegInputWritePointer);
    ASSERT_EQ(h, E::kInputFirst + 2 * kPacketsPerField * kUnit);
    const std::vector<uint8_t> entries = ReadEntries(E::kInputFirst, 2 * kPacketsPerField);
    for (uint32_t k = 0; k < 2 * kPacketsPerField; ++k)
        ASSERT_EQ(entries[k * E::kUnitBytes + 4], 0x47) << k;
    EXPECT_EQ(Counters().first, 2 * kPacketsPerField);

    // Four seconds later the ring is full, one unit short of the read pointer.
    ASSERT_TRUE(StepFields(0, 200));
    EXPECT_EQ(Read(E::kRegInputWritePointer), E::kInputEnd - kUnit);
    const auto counts = AsiCaptureCounts(0);
    ASSERT_TRUE(counts);
    EXPECT_EQ(counts->captured, E::kUnits - 1);
    EXPECT_EQ(counts->captured + counts->overflows, 202u * kPacketsPerField);

    // A commit of 100 units lets exactly 100 more in.
    Write(E::kRegInputReadPointer, E::kInputFirst + 100 * kUnit);
    Pulse(kC, E::kCInputCommit);
    ASSERT_TRUE(StepFields(0, 1));
    EXPECT_EQ(Read(E::kRegInputWritePointer), E::kInputFirst + 99 * kUnit);
    // The card counts what it received, what found no room included.
    EXPECT_EQ(Counters().first, 203u * kPacketsPerField);
}

TEST_F(SimAsiCardTest, OutputCommitDrainsAsCardTimePasses) {
    // 38 Mbit/s pacing: 1068 byte times a packet; 400 packets take 15.8 ms.
    constexpr uint32_t kCount = 400;
    WriteOutput(E::kOutputFirst, kCount, 4, 130);
    Write(E::kRegOutputWritePointer, E::kOutputFirst + kCount * kUnit);
    Pulse(kC, E::kCOutputCommit);
    EXPECT_EQ(Read(E::kRegOutputReadPointer), E::kOutputFirst);
    EXPECT_NE(Read(E::kRegAsiStatus) & E::kStatusOutputBit, 0u);

    ASSERT_TRUE(StepFields(0, 1));
    EXPECT_EQ(Read(E::kRegOutputReadPointer), E::kOutputFirst + kCount * kUnit);
    EXPECT_EQ(Read(E::kRegAsiStatus) & E::kStatusOutputBit, 0u);
    EXPECT_EQ(Counters().second, kCount);

    const auto played = PlayedAsiPackets(0);
    ASSERT_TRUE(played);
    EXPECT_EQ(played->played, kCount);
    ASSERT_EQ(played->recent.size(), SimAsiState::kMonitorCapacity);
    const SimAsiPlayedPacket& last = played->recent.back();
    EXPECT_EQ(last.sequence, kCount - 1);
    EXPECT_EQ(last.bytes[0], 0x47);
    EXPECT_EQ(last.bytes[4], static_cast<uint8_t>(kCount - 1));
    EXPECT_EQ(last.playedTick - played->recent.front().playedTick,
              (SimAsiState::kMonitorCapacity - 1) * 1068u);
}

TEST_F(SimAsiCardTest, LoopbackCapturesWhatTheOutputPlays) {
    ASSERT_TRUE(SetAsiInput(0, SimAsiSource::Loopback));
    EXPECT_EQ(AsiInput(0), SimAsiSource::Loopback);
    SetC(E::kCInputEnable | E::kCPacket204, true);
    WriteOutput(E::kOutputFirst, 10, 0, 0);
    Write(E::kRegOutputWritePointer, E::kOutputFirst + 10 * kUnit);
    Pulse(kC, E::kCOutputCommit);
    ASSERT_TRUE(StepFields(0, 1));
    ASSERT_EQ(Read(E::kRegInputWritePointer), E::kInputFirst + 10 * kUnit);
    const std::vector<uint8_t> in = ReadEntries(E::kInputFirst, 10);
    const std::vector<uint8_t> out = ReadEntries(E::kOutputFirst, 10);
    for (uint32_t k = 0; k < 10; ++k) {
        EXPECT_EQ(std::memcmp(&in[k * 256 + 4], &out[k * 256 + 4], 204), 0) << k;
    }
}

TEST_F(SimAsiCardTest, StatusAndOutputModeSplitAtFpga50103) {
    // 0x50103 (the default): status in bits 16-19, mode in 0x170 bit 5.
    EXPECT_EQ(Read(E::kRegAsiStatus), 5u << 16);
    Write(E::kRegTsControl, E::kTsControlOutputMode);
    EXPECT_EQ(AsiOutputMode(0), 1u);
    SetC(E::kCOutputModeOld, true);
    Write(E::kRegTsControl, 0);
    EXPECT_EQ(AsiOutputMode(0), 0u);

    SetFpgaVersion(0x50102);
    EXPECT_EQ(Read(E::kRegAsiStatus), 5u);
    SetC(E::kCOutputModeOld, false);
    EXPECT_EQ(AsiOutputMode(0), 0u);
    Write(E::kRegTsControl, E::kTsControlOutputMode);
    EXPECT_EQ(AsiOutputMode(0), 0u);
    SetC(E::kCOutputModeOld, true);
    EXPECT_EQ(AsiOutputMode(0), 1u);

    // No signal, then a signal reported as invalid.
    ASSERT_TRUE(SetAsiInput(0, SimAsiSource::None));
    EXPECT_EQ(Read(E::kRegAsiStatus), 0u);
    ASSERT_TRUE(SetAsiInput(0, SimAsiSource::Generator));
    ASSERT_TRUE(SetAsiInvalidStatus(0, true));
    EXPECT_NE(Read(E::kRegAsiStatus) & 0xF, 5u);
    ASSERT_TRUE(SetAsiInvalidStatus(0, false));
    EXPECT_EQ(Read(E::kRegAsiStatus), 5u);
    // Pointers and status are computed: writes do not stick.
    Write(E::kRegAsiStatus, 0xFFFFFFFF);
    Write(E::kRegInputWritePointer, 0x1234);
    EXPECT_EQ(Read(E::kRegAsiStatus), 5u);
    EXPECT_EQ(Read(E::kRegInputWritePointer), E::kInputFirst);
}

TEST_F(SimAsiCardTest, NoSignalMeansNoInput) {
    ASSERT_TRUE(SetAsiInput(0, SimAsiSource::None));
    SetC(E::kCInputEnable, true);
    ASSERT_TRUE(StepFields(0, 4));
    EXPECT_EQ(Read(E::kRegInputWritePointer), E::kInputFirst);
    EXPECT_FALSE(SetAsiInput(0, SimAsiSource::File, "/nonexistent/velmora.ts"));
    EXPECT_EQ(AsiInput(0), SimAsiSource::None);
    EXPECT_FALSE(SetAsiInput(7, SimAsiSource::Generator)) << "no such card";
}

}  // namespace
}  // namespace velmora::sim::testing

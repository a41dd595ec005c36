// The L3 decoder on FPGA register 0x6C and the UDA1345TS behind it, driven
// with the line sequences of the codec's driver: directly, then through BAR-3
// writes on a simulated card.

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "SimTestSupport.h"
#include "sim/SimAudioCodec.h"
#include "sim/SimControl.h"

namespace velmora::sim::testing {
namespace {

// The codec driver's bus procedures on the pin word: mode bit 0, clock bit 1,
// data bit 2; each line change is one write of the whole word.
class L3Lines {
  public:
    explicit L3Lines(std::function<void(uint32_t)> write) : m_write(std::move(write)) {}

    void Mode(bool high) { Set(1u << 0, high); }
    void Clock(bool high) { Set(1u << 1, high); }
    void Data(bool high) { Set(1u << 2, high); }
    void Aux(bool high) { Set(1u << 3, high); }

    void WriteByte(uint8_t byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Clock(false);
            Data((byte >> bit) & 1);
            Clock(true);
        }
    }
    void Address(uint8_t address) {
        Mode(false);
        WriteByte(address);
        Mode(true);
    }
    void DataByte(uint8_t byte) {
        Mode(true);
        WriteByte(byte);
        Mode(true);
    }
    void WriteStatus(uint8_t status) {
        Mode(true);
        Clock(true);
        Address(0x16);
        DataByte(status);
    }
    void WriteData(const std::vector<uint8_t>& bytes) {
        Mode(true);
        Clock(true);
        Address(0x14);
        for (size_t i = 0; i < bytes.size(); ++i) {
            DataByte(bytes[i]);
            if (i + 1 < bytes.size()) {
                Mode(false);
                Mode(true);
            }
        }
    }

    uint32_t word = 0;

  private:
    void Set(uint32_t bit, bool high) {
        const uint32_t next = high ? (word | bit) : (word & ~bit);
        m_write(next);
        word = next;
    }

    std::function<void(uint32_t)> m_write;
};

class SimChipL3Test : public ::testing::Test {
  protected:
    // The lines start idle high; the clock edge that takes them there is a
    // one-bit byte of its own.
    void SetUp() override {
        SimAudioCodec::PowerUp(m_state);
        L3Lines lines = Lines();
        lines.Mode(true);
        lines.Clock(true);
        lines.Mode(false);
        lines.Mode(true);
        const std::vector<SimL3Transfer> log = Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].bits, 1);
        EXPECT_EQ(log[0].accepted, 0);
        SimAudioCodec(m_state).ClearLog();
    }
    L3Lines Lines() {
        L3Lines lines([this](uint32_t next) {
            SimAudioCodec(m_state).OnRegisterWrite(m_word, next);
            m_word = next;
        });
        lines.word = m_word;
        return lines;
    }
    std::vector<SimL3Transfer> Log() {
        std::vector<SimL3Transfer> log(SimL3State::kLogCapacity);
        log.resize(SimAudioCodec(m_state).CopyLog(log.data(), log.size()));
        return log;
    }

    SimL3State m_state{};
    uint32_t m_word = 0;
};

TEST_F(SimChipL3Test, StatusAndDataTransfersReachTheirRegisters) {
    L3Lines lines = Lines();
    lines.WriteStatus(0x21);
    lines.WriteData({0x00, 0x40, 0x80, 0xC3});
    const SimAudioCodecRegisters& codec = m_state.codec;
    EXPECT_EQ(codec.status, 0x21);
    EXPECT_EQ(codec.data[0], 0x00);
    EXPECT_EQ(codec.data[1], 0x40);
    EXPECT_EQ(codec.data[2], 0x80);
    EXPECT_EQ(codec.data[3], 0xC3);
    EXPECT_EQ(codec.written, 0x1F);

    // A single data byte goes to the register its top bits name.
    lines.WriteData({0x84});
    EXPECT_EQ(codec.data[2], 0x84);
    lines.WriteData({0x3F});
    EXPECT_EQ(codec.data[0], 0x3F);

    const std::vector<SimL3Transfer> log = Log();
    ASSERT_EQ(log.size(), 11u);
    const uint8_t bytes[] = {0x16, 0x21, 0x14, 0x00, 0x40, 0x80, 0xC3, 0x14, 0x84, 0x14, 0x3F};
    const uint8_t address[] = {1, 0, 1, 0, 0, 0, 0, 1, 0, 1, 0};
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log[i].bits, 8);
        EXPECT_EQ(log[i].byte, bytes[i]);
        EXPECT_EQ(log[i].address, address[i]);
        EXPECT_EQ(log[i].accepted, 1);
        if (i > 0) {
            EXPECT_LE(log[i - 1].timeUs, log[i].timeUs);
        }
    }
}

TEST_F(SimChipL3Test, OtherAddressesAndBrokenBytesChangeNothing) {
    L3Lines lines = Lines();
    lines.WriteStatus(0x21);
    // Another device (address 6) and a transfer type the codec does not take.
    lines.Mode(true);
    lines.Clock(true);
    lines.Address(0x18);
    lines.DataByte(0x99);
    lines.Address(0x15);
    lines.DataByte(0x55);
    EXPECT_EQ(m_state.codec.status, 0x21);
    EXPECT_EQ(m_state.codec.written, 0x01);

    // An address cut short by the mode line selects nobody.
    lines.Mode(false);
    for (int bit = 0; bit < 5; ++bit) {
        lines.Clock(false);
        lines.Data(false);
        lines.Clock(true);
    }
    lines.Mode(true);
    lines.DataByte(0x11);
    EXPECT_EQ(m_state.codec.status, 0x21);
    lines.Aux(true);
    EXPECT_EQ(m_state.codec.auxLine, 1);

    const std::vector<SimL3Transfer> log = Log();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[2].accepted, 0);  // 0x18
    EXPECT_EQ(log[3].accepted, 0);
    EXPECT_EQ(log[4].accepted, 0);  // 0x15
    EXPECT_EQ(log[5].accepted, 0);
    EXPECT_EQ(log[6].bits, 5);
    EXPECT_EQ(log[6].address, 1);
    EXPECT_EQ(log[6].accepted, 0);
    EXPECT_EQ(log[7].byte, 0x11);
    EXPECT_EQ(log[7].address, 0);
    EXPECT_EQ(log[7].accepted, 0);
}

class SimChipL3CardTest : public SimTest {};

TEST_F(SimChipL3CardTest, PinRegisterWritesReachTheCodec) {
    SetBoardId(0x5100);
    Device device;
    ASSERT_TRUE(device.IsOpen());
    L3Lines lines([&device](uint32_t word) { device.Write(SimAudioCodec::kRegister, word); });
    // The idle lines, the bring-up, then mute on.
    lines.Mode(true);
    lines.Clock(true);
    lines.WriteStatus(0x21);
    lines.WriteData({0x00, 0x40, 0x80, 0xC3});
    lines.WriteData({0x00});
    lines.WriteData({0x84});
    EXPECT_EQ(device.Read(SimAudioCodec::kRegister), lines.word);

    const auto codec = AudioCodecRegisters(0);
    ASSERT_TRUE(codec.has_value());
    EXPECT_EQ(*codec, (SimAudioCodecRegisters{0x21, {0x00, 0x40, 0x84, 0xC3}, 0x1F, 0, 0}));
    // The first clock edge after power-up, with mode high, makes a one-bit
    // byte; then every byte of the bring-up whole.
    std::vector<uint8_t> bytes;
    const std::vector<SimL3Transfer> log = L3TransferLog(0);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].bits, 1);
    for (size_t i = 1; i < log.size(); ++i)
        bytes.push_back(log[i].byte);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x16, 0x21, 0x14, 0x00, 0x40, 0x80, 0xC3, 0x14, 0x00,
                                           0x14, 0x84}));
    ASSERT_TRUE(ClearL3TransferLog(0));
    EXPECT_TRUE(L3TransferLog(0).empty());
}

}  // namespace
}  // namespace velmora::sim::testing

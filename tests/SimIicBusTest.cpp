// The IIC byte engine of register 0x60 and the devices behind it, driven
// directly on a card's IIC state.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "SimIicSupport.h"
#include "sim/SimIicBus.h"

namespace velmora::sim::testing {
namespace {

class SimIicBusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_config.stateDir =
            TestStateDir(::testing::UnitTest::GetInstance()->current_test_info()->name()).string();
        PowerUp(0x5110);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_config.stateDir, ignored);
    }

    void PowerUp(uint32_t boardId) {
        m_state = std::make_unique<SimIicState>();
        SimIicBus::PowerUp(*m_state, m_config, 0, boardId);
    }
    SimIicBus Bus() { return SimIicBus(*m_state, m_config, 0); }
    IicMaster Master() {
        return IicMaster({[this](uint32_t v) { Bus().WriteRegister(v); },
                          [this] { return Bus().ReadRegister(); }});
    }
    std::vector<IicTransfer> Log() {
        std::vector<IicTransfer> log(SimIicState::kTransferLogCapacity);
        log.resize(Bus().CopyTransferLog(log.data(), log.size()));
        return log;
    }

    SimConfig m_config;
    std::unique_ptr<SimIicState> m_state;
};

TEST_F(SimIicBusTest, LibraryByteSequencesRoundTripOnEveryDevice) {
    IicMaster master = Master();
    for (uint8_t address : {0xA0, 0x40, 0x42, 0x56}) {
        SCOPED_TRACE(address);
        ASSERT_TRUE(master.Write(address, 0x30, 0x5A ^ address));
        bool ok = false;
        EXPECT_EQ(master.Read(address, 0x30, &ok), 0x5A ^ address);
        EXPECT_TRUE(ok);
    }
    // Each device kept its own byte.
    EXPECT_EQ(m_state->eeprom.bytes[0x30], 0x5A ^ 0xA0);
    EXPECT_EQ(m_state->chips[static_cast<unsigned>(SimIicChip::Adv7180Second)][0x30], 0x5A ^ 0x42);
    // The chips start from cleared registers.
    EXPECT_EQ(master.Read(0x40, 0x31), 0x00);
}

TEST_F(SimIicBusTest, PointerAdvancesWrapsAndSurvivesRepeatedStart) {
    IicMaster master = Master();
    // One write transaction of three data bytes from register 0xFE on.
    ASSERT_TRUE(master.Start(0x40, false));
    ASSERT_TRUE(master.WriteByte(0xFE));
    ASSERT_TRUE(master.WriteByte(0x11));
    ASSERT_TRUE(master.WriteByte(0x22));
    ASSERT_TRUE(master.WriteByteStop(0x33));
    const auto& chip = m_state->chips[static_cast<unsigned>(SimIicChip::Adv7180First)];
    EXPECT_EQ(chip[0xFE], 0x11);
    EXPECT_EQ(chip[0xFF], 0x22);
    EXPECT_EQ(chip[0x00], 0x33);

    // Set the pointer, then read on through a repeated start: the pointer is
    // kept and advances by one per byte, wrapping past 0xFF.
    ASSERT_TRUE(master.Start(0x40, false));
    ASSERT_TRUE(master.WriteByte(0xFF));
    ASSERT_TRUE(master.Start(0x41, true));
    Bus().WriteRegister(0x21);  // read, acknowledge
    EXPECT_EQ(master.ReadData(), 0x22);
    ASSERT_TRUE(master.ReadStop());
    EXPECT_EQ(master.ReadData(), 0x33);

    // The EEPROM keeps a pointer of its own: a transfer that starts with a
    // read address goes on from where the last one left it.
    ASSERT_TRUE(master.Write(0xA0, 0x10, 0x77));
    ASSERT_TRUE(master.Start(0xA1, true));
    ASSERT_TRUE(master.ReadStop());
    EXPECT_EQ(master.ReadData(), m_state->eeprom.bytes[0x11]);
}

TEST_F(SimIicBusTest, AbsentDevicesDoNotAnswer) {
    IicMaster master = Master();
    // Nobody at 0x30, and the other board's chips are not on this one.
    for (uint8_t address : {0x30, 0xB8, 0x8C, 0x88, 0x54}) {
        SCOPED_TRACE(address);
        master.Write(address, 0x01, 0x12);
        EXPECT_EQ(master.Read(address, 0x01), 0xFF);
        EXPECT_EQ(m_state->acknowledged, 0u);
    }

    // The knob takes a present device off the bus: its writes are lost.
    const uint8_t before = m_state->eeprom.bytes[0x05];
    Bus().SetDeviceAbsent(0xA1, true);  // the read bit does not matter
    master.Write(0xA0, 0x05, static_cast<uint8_t>(before + 1));
    EXPECT_EQ(master.Read(0xA0, 0x05), 0xFF);
    EXPECT_EQ(m_state->eeprom.bytes[0x05], before);
    Bus().SetDeviceAbsent(0xA0, false);
    EXPECT_EQ(master.Read(0xA0, 0x05), before);

    // Bytes with no transfer behind them (no start, after a stop, after a
    // not-acknowledge) reach nobody.
    Bus().WriteRegister(0x5511);
    Bus().WriteRegister(0x21);
    EXPECT_EQ(master.ReadData(), 0xFF);
    ASSERT_TRUE(master.Start(0x40, false));
    ASSERT_TRUE(master.WriteByte(0x07));
    ASSERT_TRUE(master.Start(0x41, true));
    ASSERT_TRUE(master.ReadStop());
    Bus().WriteRegister(0x21);
    EXPECT_EQ(master.ReadData(), 0xFF);
}

TEST_F(SimIicBusTest, StatusNeverEchoesTheCommand) {
    IicMaster master = Master();
    const uint32_t words[] = {0xFFFFFFFFu, 0x0000FF91u, 0x00A01191u, 0xFFFF0069u, 0x0000FF7Eu};
    for (uint32_t word : words) {
        Bus().WriteRegister(word);
        EXPECT_EQ(Bus().ReadRegister() & ~0x00FF0000u, 0u) << std::hex << word;
    }
    ASSERT_TRUE(master.Write(0x40, 0x02, 0xC3));
    EXPECT_EQ(master.Read(0x40, 0x02), 0xC3);
    EXPECT_EQ(Bus().ReadRegister(), 0x00C30000u);
    // A word without the go bit runs nothing.
    const uint64_t commands = m_state->commandCount;
    Bus().WriteRegister(0x0000A0FEu);
    EXPECT_EQ(m_state->commandCount, commands);
    EXPECT_EQ(Bus().ReadRegister(), 0x00C30000u);
}

TEST_F(SimIicBusTest, ChipAddressesFollowBoardAndBoardVersion) {
    // Factory board version: the encoder answers at 0x56 only.
    EXPECT_EQ(Bus().ChipAddress(SimIicChip::Adv7343), 0x56);
    IicMaster master = Master();
    ASSERT_TRUE(master.Write(0x56, 0x00, 0x9A));
    EXPECT_EQ(master.Read(0x54, 0x00), 0xFF);

    const auto setVersion = [&](uint32_t version) {
        for (int i = 0; i < 4; ++i)
            master.Write(0xA0, static_cast<uint8_t>(124 + i),
                         static_cast<uint8_t>(version >> (8 * i)));
    };
    setVersion(0x200FF);
    EXPECT_EQ(Bus().ChipAddress(SimIicChip::Adv7343), 0x54);
    EXPECT_EQ(master.Read(0x54, 0x00), 0x9A);  // the same chip, moved
    EXPECT_EQ(master.Read(0x56, 0x00), 0xFF);
    setVersion(0x201FF);
    EXPECT_EQ(Bus().ChipAddress(SimIicChip::Adv7343), 0x56);
    setVersion(0xFFFFFFFF);  // erased: the board takes it for 0x10000
    EXPECT_EQ(Bus().ChipAddress(SimIicChip::Adv7343), 0x54);

    PowerUp(0x5100);
    EXPECT_EQ(Bus().ChipAddress(SimIicChip::Tvp5147), 0xB8);
    EXPECT_EQ(Bus().ChipAddress(SimIicChip::Saa7128), 0x8C);
    EXPECT_EQ(Bus().ChipAddress(SimIicChip::Adv7180First), 0);
    for (uint8_t address : {0xB8, 0x8C}) {
        ASSERT_TRUE(master.Write(address, 0x3B, address));
        EXPECT_EQ(master.Read(address, 0x3B), address);
    }
    // The encoder's strap puts it at 0x8C; nothing answers at 0x88 or 0x40.
    EXPECT_EQ(master.Read(0x88, 0x3B), 0xFF);
    EXPECT_EQ(master.Read(0x40, 0x3B), 0xFF);

    SimIicBus::SetBoardId(*m_state, 0x5111);
    EXPECT_EQ(Bus().ChipAddress(SimIicChip::Adv7180Second), 0x42);
    EXPECT_EQ(Bus().ChipAddress(SimIicChip::Tvp5147), 0);
}

TEST_F(SimIicBusTest, StuckBusyBitsFailTheLibraryWaitsAndReachNoDevice) {
    IicMaster master = Master();
    ASSERT_TRUE(master.Write(0x40, 0x11, 0x44));

    m_state->busyStuck = 1;
    EXPECT_EQ(Bus().ReadRegister() & SimIicBus::kBusy, SimIicBus::kBusy);
    bool ok = true;
    EXPECT_EQ(master.Read(0x40, 0x11, &ok), 0xFF);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(master.Write(0x40, 0x11, 0x55));
    m_state->busyStuck = 0;
    EXPECT_EQ(master.Read(0x40, 0x11), 0x44);  // the stuck engine wrote nothing

    m_state->secondBusyStuck = 1;
    EXPECT_EQ(Bus().ReadRegister() & (SimIicBus::kBusy | SimIicBus::kSecondBusy),
              SimIicBus::kSecondBusy);
    master.polls = 0;
    EXPECT_EQ(master.Read(0x40, 0x11, &ok), 0xFF);
    EXPECT_FALSE(ok);
    EXPECT_LE(master.polls, 3000u);  // bounded: the waits ran out
    EXPECT_FALSE(master.Write(0x40, 0x11, 0x55));
    m_state->secondBusyStuck = 0;
    EXPECT_EQ(master.Read(0x40, 0x11), 0x44);
}

TEST_F(SimIicBusTest, TransferLogRecordsRegisterBytesAndStaysBounded) {
    IicMaster master = Master();
    ASSERT_TRUE(master.Write(0x42, 0x0D, 0x81));
    EXPECT_EQ(master.Read(0x42, 0x0D), 0x81);
    master.Write(0x30, 0x02, 0x03);

    const auto log = Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].address, 0x42);
    EXPECT_EQ(log[0].reg, 0x0D);
    EXPECT_EQ(log[0].value, 0x81);
    EXPECT_EQ(log[0].read, 0);
    EXPECT_EQ(log[0].acknowledged, 1);
    EXPECT_EQ(log[1].address, 0x42);  // logged without the read bit
    EXPECT_EQ(log[1].read, 1);
    EXPECT_EQ(log[1].value, 0x81);
    EXPECT_LE(log[0].timeUs, log[1].timeUs);
    EXPECT_EQ(log[2].address, 0x30);  // the master's intent, although nobody took it
    EXPECT_EQ(log[2].reg, 0x02);
    EXPECT_EQ(log[2].acknowledged, 0);

    for (unsigned i = 0; i < SimIicState::kTransferLogCapacity + 10; ++i)
        master.Write(0x40, static_cast<uint8_t>(i), static_cast<uint8_t>(i));
    const auto full = Log();
    ASSERT_EQ(full.size(), SimIicState::kTransferLogCapacity);
    EXPECT_EQ(full.back().reg, static_cast<uint8_t>(SimIicState::kTransferLogCapacity + 9));
    EXPECT_EQ(full.front().reg, 10);

    Bus().ClearTransferLog();
    EXPECT_TRUE(Log().empty());
}

}  // namespace
}  // namespace velmora::sim::testing

// The video chip models behind the IIC bus: input status from the signal
// table, the TVP5147's indirect store, self-test registers, stuck registers
// and placed chips. Driven directly on a card's IIC state, then end to end
// through BAR-3 writes of register 0x60.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "SimIicSupport.h"
#include "SimTestSupport.h"
#include "sim/SimChipTvp5147.h"
#include "sim/SimControl.h"
#include "sim/SimIicBus.h"

namespace velmora::sim::testing {
namespace {

// The self-test the chip drivers run on their test register, one round.
bool SelfTestRound(IicMaster& master, uint8_t address, uint8_t reg) {
    for (uint8_t pattern : {0x55, 0xAA}) {
        if (!master.Write(address, reg, pattern) || master.Read(address, reg) != pattern)
            return false;
    }
    return true;
}

class SimChipModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_config.stateDir =
            TestStateDir(::testing::UnitTest::GetInstance()->current_test_info()->name()).string();
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
    SimChips Bench() { return SimChips(m_state->bench); }
    IicMaster Master() {
        return IicMaster({[this](uint32_t v) { Bus().WriteRegister(v); },
                          [this] { return Bus().ReadRegister(); }});
    }

    SimConfig m_config;
    std::unique_ptr<SimIicState> m_state;
};

TEST_F(SimChipModelTest, InputStatusFollowsSelectedInputAndSignalTable) {
    PowerUp(0x5110);
    IicMaster master = Master();
    // ADV7180: register 0x10 bit 0, input in register 0x00 bits 0-3.
    ASSERT_TRUE(master.Write(0x40, 0x00, 0x01));
    ASSERT_TRUE(master.Write(0x42, 0x00, 0x01));
    EXPECT_EQ(master.Read(0x40, 0x10), 0x01);  // every cable plugged in at power-up
    Bench().SetSignal(SimIicChip::Adv7180First, 0x01, false);
    EXPECT_EQ(master.Read(0x40, 0x10), 0x00);
    EXPECT_EQ(master.Read(0x42, 0x10), 0x01);     // the other decoder has its own cables
    ASSERT_TRUE(master.Write(0x40, 0x10, 0xFF));  // the status register takes no writes
    EXPECT_EQ(master.Read(0x40, 0x10), 0x00);
    ASSERT_TRUE(master.Write(0x40, 0x00, 0x58));  // bits 4-7 are not the input: input 8
    EXPECT_EQ(master.Read(0x40, 0x10), 0x01);
    Bench().SetAllSignals(false);
    EXPECT_EQ(master.Read(0x40, 0x10), 0x00);
    EXPECT_EQ(master.Read(0x42, 0x10), 0x00);

    // TVP5147: register 0x3A bits 1 and 2, input in all of register 0x00.
    PowerUp(0x5100);
    master = Master();
    ASSERT_TRUE(master.Write(0xB8, 0x00, 0x55));
    EXPECT_EQ(master.Read(0xB8, 0x3A), 0x06);
    Bench().SetSignal(SimIicChip::Tvp5147, 0x55, false);
    EXPECT_EQ(master.Read(0xB8, 0x3A), 0x00);
    ASSERT_TRUE(master.Write(0xB8, 0x00, 0x0C));
    EXPECT_EQ(master.Read(0xB8, 0x3A), 0x06);

    // SAA7113 (placed: no board carries it): register 0x1F bit 6 set while
    // there is no signal; input in register 0x02 bits 0-3.
    ASSERT_TRUE(Bus().PlaceChip(SimIicChip::Saa7113, 0x49));
    EXPECT_EQ(Bus().ChipAddress(SimIicChip::Saa7113), 0x48);
    ASSERT_TRUE(master.Write(0x48, 0x02, 0xC9));
    EXPECT_EQ(master.Read(0x48, 0x1F), 0x00);
    Bench().SetSignal(SimIicChip::Saa7113, 0x09, false);
    EXPECT_EQ(master.Read(0x48, 0x1F), 0x40);
    ASSERT_TRUE(master.Write(0x48, 0x02, 0xC0));
    EXPECT_EQ(master.Read(0x48, 0x1F), 0x00);
}

TEST_F(SimChipModelTest, Tvp5147IndirectStoreTakesTheByteWrittenToE0) {
    PowerUp(0x5100);
    IicMaster master = Master();
    // The indirect groups of the TVP5147's bring-up, one register per transfer.
    const uint8_t groups[][4] = {{0x02, 0x00, 0x80, 0x01}, {0x60, 0x00, 0xB0, 0x01},
                                 {0x16, 0x00, 0xA0, 0x16}, {0x60, 0x00, 0xB0, 0x00},
                                 {0x61, 0x00, 0x80, 0x11}, {0x4D, 0x00, 0x80, 0x08}};
    for (const auto& g : groups) {
        ASSERT_TRUE(master.Write(0xB8, 0xE8, g[0]));
        ASSERT_TRUE(master.Write(0xB8, 0xE9, g[1]));
        ASSERT_TRUE(master.Write(0xB8, 0xEA, g[2]));
        ASSERT_TRUE(master.Write(0xB8, 0xE0, g[3]));
    }
    const auto byte = [&](uint32_t address) {
        return SimChipTvp5147::IndirectByte(m_state->bench, address);
    };
    EXPECT_EQ(byte(0x800002), 0x01);
    EXPECT_EQ(byte(0xB00060), 0x00);  // rewritten by the fourth group
    EXPECT_EQ(byte(0xA00016), 0x16);
    EXPECT_EQ(byte(0x800061), 0x11);
    EXPECT_EQ(byte(0x80004D), 0x08);
    EXPECT_FALSE(byte(0x000002).has_value());
    EXPECT_EQ(m_state->bench.indirectCount, 5u);
    // The address registers read back; 0xE0 reads the byte at the address.
    EXPECT_EQ(master.Read(0xB8, 0xE8), 0x4D);
    EXPECT_EQ(master.Read(0xB8, 0xE0), 0x08);
    ASSERT_TRUE(master.Write(0xB8, 0xE8, 0x16));
    ASSERT_TRUE(master.Write(0xB8, 0xEA, 0xA0));
    EXPECT_EQ(master.Read(0xB8, 0xE0), 0x16);

    // A full store counts what it cannot keep instead of overwriting.
    for (uint32_t i = 0; i < SimChipState::kIndirectCapacity; ++i) {
        ASSERT_TRUE(master.Write(0xB8, 0xE8, static_cast<uint8_t>(i)));
        ASSERT_TRUE(master.Write(0xB8, 0xEA, 0x10));
        ASSERT_TRUE(master.Write(0xB8, 0xE0, 0x77));
    }
    EXPECT_EQ(m_state->bench.indirectCount, SimChipState::kIndirectCapacity);
    EXPECT_EQ(m_state->bench.indirectLost, 5u);
    EXPECT_EQ(byte(0x800002), 0x01);
}

TEST_F(SimChipModelTest, SelfTestRegistersReadBackUnlessStuckOrAbsent) {
    struct Case {
        uint32_t board;
        SimIicChip chip;
        uint8_t address;
        uint8_t reg;
    };
    const Case cases[] = {
        {0x5110, SimIicChip::Adv7180First, 0x40, 0xE8},
        {0x5110, SimIicChip::Adv7180Second, 0x42, 0xE8},
        {0x5110, SimIicChip::Adv7343, 0x56, 0x84},
        {0x5100, SimIicChip::Tvp5147, 0xB8, 0xE8},
        {0x5100, SimIicChip::Saa7128, 0x8C, 0x26},
        {0x5100, SimIicChip::Saa7113, 0x48, 0x05},
        {0x5100, SimIicChip::Saa7105, 0x88, 0x26},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<unsigned>(c.chip));
        PowerUp(c.board);
        ASSERT_TRUE(Bus().PlaceChip(SimIicChip::Saa7113, 0x48));
        ASSERT_TRUE(Bus().PlaceChip(SimIicChip::Saa7105, 0x88));
        IicMaster master = Master();
        EXPECT_TRUE(SelfTestRound(master, c.address, c.reg));
        EXPECT_EQ(m_state->chips[static_cast<unsigned>(c.chip)][c.reg], 0xAA);

        // Stuck: writes are lost, the fixed value reads back, the self-test
        // fails; other registers of the chip and the same register of other
        // chips are untouched.
        ASSERT_TRUE(Bench().SetStuck(c.address | 1, c.reg, true, 0x55));
        EXPECT_FALSE(SelfTestRound(master, c.address, c.reg));
        EXPECT_EQ(master.Read(c.address, c.reg), 0x55);
        EXPECT_EQ(m_state->chips[static_cast<unsigned>(c.chip)][c.reg], 0xAA);
        EXPECT_TRUE(SelfTestRound(master, c.address, c.reg + 1));
        EXPECT_TRUE(SelfTestRound(master, 0xA0, c.reg));
        ASSERT_TRUE(Bench().SetStuck(c.address, c.reg, false, 0));
        EXPECT_TRUE(SelfTestRound(master, c.address, c.reg));

        Bus().SetDeviceAbsent(c.address, true);
        EXPECT_FALSE(SelfTestRound(master, c.address, c.reg));
    }
}

TEST_F(SimChipModelTest, PlacementsAndStuckTableLimits) {
    PowerUp(0x5100);
    IicMaster master = Master();
    EXPECT_EQ(Bus().ChipAddress(SimIicChip::Saa7105), 0);
    EXPECT_EQ(master.Read(0x88, 0x26), 0xFF);                  // nobody at 0x88 on this board
    EXPECT_FALSE(Bus().PlaceChip(SimIicChip::Saa7105, 0xA0));  // the EEPROM's address

    // A chip placed on a board chip's address answers there instead of it.
    ASSERT_TRUE(Bus().PlaceChip(SimIicChip::Saa7105, 0x8C));
    ASSERT_TRUE(master.Write(0x8C, 0x26, 0x12));
    EXPECT_EQ(m_state->chips[static_cast<unsigned>(SimIicChip::Saa7105)][0x26], 0x12);
    EXPECT_EQ(m_state->chips[static_cast<unsigned>(SimIicChip::Saa7128)][0x26], 0x00);
    // Back to where the board carries each: the SAA7105 nowhere.
    ASSERT_TRUE(Bus().PlaceChip(SimIicChip::Saa7105, 0));
    EXPECT_EQ(master.Read(0x8C, 0x26), 0x00);
    // A board chip moved to another address answers only there.
    ASSERT_TRUE(Bus().PlaceChip(SimIicChip::Saa7128, 0x88));
    EXPECT_EQ(master.Read(0x8C, 0x26), 0xFF);
    EXPECT_EQ(master.Read(0x88, 0x26), 0x00);

    for (uint8_t reg = 0; reg < SimChipState::kStuckCapacity; ++reg)
        ASSERT_TRUE(Bench().SetStuck(0xB8, reg, true, reg));
    EXPECT_FALSE(Bench().SetStuck(0xB8, 0x40, true, 0));
    EXPECT_TRUE(Bench().SetStuck(0xB8, 0x03, true, 0x33));  // re-sticking takes no room
    EXPECT_EQ(master.Read(0xB8, 0x03), 0x33);
    ASSERT_TRUE(Bench().SetStuck(0xB8, 0x00, false, 0));
    EXPECT_TRUE(Bench().SetStuck(0xB8, 0x40, true, 0x44));
}

// End to end: BAR-3 writes of 0x60 on a simulated card and the control API.
class SimChipCardTest : public SimTest {};

IicMaster ChipMasterOf(const Device& device) {
    return IicMaster({[&device](uint32_t v) { device.Write(SimIicBus::kRegister, v); },
                      [&device] { return device.Read(SimIicBus::kRegister); }});
}

TEST_F(SimChipCardTest, ControlApiDrivesTheChipsSeenThroughTheByteEngine) {
    SetBoardId(0x5100);
    Device device;
    ASSERT_TRUE(device.IsOpen());
    IicMaster master = ChipMasterOf(device);
    ASSERT_TRUE(ClearIicTransferLog(0));

    ASSERT_TRUE(master.Write(0xB8, 0x00, 0x96));
    EXPECT_EQ(master.Read(0xB8, 0x3A), 0x06);
    ASSERT_TRUE(SetVideoSignal(0, SimIicChip::Tvp5147, 0x96, false));
    EXPECT_EQ(master.Read(0xB8, 0x3A), 0x00);
    ASSERT_TRUE(SetAllVideoSignals(0, true));
    EXPECT_EQ(master.Read(0xB8, 0x3A), 0x06);

    ASSERT_TRUE(master.Write(0xB8, 0xE8, 0x61));
    ASSERT_TRUE(master.Write(0xB8, 0xE9, 0x00));
    ASSERT_TRUE(master.Write(0xB8, 0xEA, 0x80));
    ASSERT_TRUE(master.Write(0xB8, 0xE0, 0x11));
    EXPECT_EQ(Tvp5147IndirectByte(0, 0x800061), 0x11);
    EXPECT_FALSE(Tvp5147IndirectByte(0, 0x800062).has_value());

    ASSERT_TRUE(SetIicRegisterStuck(0, 0xB8, 0xE8, 0x00));
    EXPECT_FALSE(SelfTestRound(master, 0xB8, 0xE8));
    ASSERT_TRUE(SetIicRegisterStuck(0, 0xB8, 0xE8, std::nullopt));
    EXPECT_TRUE(SelfTestRound(master, 0xB8, 0xE8));

    ASSERT_TRUE(PlaceIicChip(0, SimIicChip::Saa7113, 0x48));
    EXPECT_EQ(IicChipAddress(0, SimIicChip::Saa7113), 0x48);
    EXPECT_EQ(IicChipAddress(0, SimIicChip::Adv7180First), 0);
    EXPECT_TRUE(SelfTestRound(master, 0x48, 0x05));
    const auto registers = IicChipRegisters(0, SimIicChip::Saa7113);
    ASSERT_TRUE(registers.has_value());
    EXPECT_EQ((*registers)[0x05], 0xAA);

    // Every chip byte is in the log, in bus order, with times that never run
    // backwards.
    const std::vector<IicTransfer> log = IicTransferLog(0);
    ASSERT_GE(log.size(), 12u);
    EXPECT_EQ(log[0], (IicTransfer{log[0].timeUs, 0xB8, 0x00, 0x96, 0, 1, {}}));
    EXPECT_EQ(log[1], (IicTransfer{log[1].timeUs, 0xB8, 0x3A, 0x06, 1, 1, {}}));
    EXPECT_EQ(log[2], (IicTransfer{log[2].timeUs, 0xB8, 0x3A, 0x00, 1, 1, {}}));
    for (size_t i = 1; i < log.size(); ++i)
        EXPECT_LE(log[i - 1].timeUs, log[i].timeUs);
    EXPECT_EQ(log.back().address, 0x48);
    EXPECT_EQ(log.back().value, 0xAA);
}

}  // namespace
}  // namespace velmora::sim::testing

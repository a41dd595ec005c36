#pragma once

// One simulated card opened the way the card's object graph opens it: the
// bridge, the card globals with their named mutexes, this card's FPGA
// object, IIC master and settings store.

#include <gtest/gtest.h>

#include <memory>

#include "card/GlobalVars.h"
#include "card/OstrevoNvRam.h"
#include "hw/VelmoraFpga.h"
#include "hw/VelmoraIicMaster.h"
#include "hw/VelmoraPciBridge.h"
#include "sim/SimControl.h"

namespace velmora::iictest {

class SimCardStack {
  public:
    SimCardStack() : m_globals(0) { m_globals.SetName("QuorvelVelmora"); }
    ~SimCardStack() { Close(); }
    SimCardStack(const SimCardStack&) = delete;
    SimCardStack& operator=(const SimCardStack&) = delete;

    bool Open() {
        uint32_t count = 0;
        if (!m_bridge.GetBoardCount(&count) || count == 0) return false;
        if (!m_bridge.FindBoard(0) || !m_bridge.OpenBoard()) return false;
        if (!m_globals.CreateMutexes()) return false;
        fpga = std::make_unique<hw::CVelmoraFpga>(&m_bridge, &m_globals);
        iic = std::make_unique<hw::CVelmoraIicMaster>(fpga.get(), &m_globals);
        nvram = std::make_unique<card::COstrevoNvRam>(iic.get());
        return true;
    }
    void Close() {
        nvram.reset();
        iic.reset();
        fpga.reset();
        m_globals.ReleaseMutexes();
        m_bridge.CloseBoard();
    }

    card::CGlobalVars& globals() { return m_globals; }
    hw::CVelmoraPciBridge& bridge() { return m_bridge; }

    std::unique_ptr<hw::CVelmoraFpga> fpga;
    std::unique_ptr<hw::CVelmoraIicMaster> iic;
    std::unique_ptr<card::COstrevoNvRam> nvram;

  private:
    hw::CVelmoraPciBridge m_bridge;
    card::CGlobalVars m_globals;
};

// Every test starts from one fresh simulated card, opened.
class SimCardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim::SetCardCount(1));
        ASSERT_TRUE(card.Open());
    }
    void TearDown() override {
        card.Close();
        sim::ReleaseCards();
    }

    uint8_t EepromByte(uint32_t address) {
        const auto image = sim::ReadEepromImage(0);
        EXPECT_TRUE(image.has_value());
        return image ? (*image)[address] : 0;
    }

    SimCardStack card;
};

}  // namespace velmora::iictest

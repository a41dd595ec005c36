#pragma once

// The first simulated card, opened for a benchmark the way the card's object
// graph opens it: bridge, card globals, FPGA object and IIC master.

#include <memory>

#include "card/GlobalVars.h"
#include "hw/VelmoraFpga.h"
#include "hw/VelmoraIicMaster.h"
#include "hw/VelmoraPciBridge.h"
#include "sim/SimControl.h"

namespace velmora::bench {

class BenchCard {
  public:
    BenchCard() : m_globals(0) {
        sim::SetCardCount(1);
        m_globals.SetName("QuorvelVelmora");
        uint32_t count = 0;
        m_bridge.GetBoardCount(&count);
        m_open =
            count > 0 && m_bridge.FindBoard(0) && m_bridge.OpenBoard() && m_globals.CreateMutexes();
        if (!m_open) return;
        fpga = std::make_unique<hw::CVelmoraFpga>(&m_bridge, &m_globals);
        iic = std::make_unique<hw::CVelmoraIicMaster>(fpga.get(), &m_globals);
    }
    ~BenchCard() {
        iic.reset();
        fpga.reset();
        m_globals.ReleaseMutexes();
        m_bridge.CloseBoard();
        sim::ReleaseCards();
    }
    BenchCard(const BenchCard&) = delete;
    BenchCard& operator=(const BenchCard&) = delete;

    bool IsOpen() const { return m_open; }
    hw::CVelmoraPciBridge& Bridge() { return m_bridge; }

    std::unique_ptr<hw::CVelmoraFpga> fpga;
    std::unique_ptr<hw::CVelmoraIicMaster> iic;

  private:
    hw::CVelmoraPciBridge m_bridge;
    card::CGlobalVars m_globals;
    bool m_open = false;
};

}  // namespace velmora::bench

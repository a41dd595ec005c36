#pragma once

// The board support over one simulated card, opened the way the card object
// opens it: bridge, card globals, FPGA, IIC master and settings store, then
// the board's bring-up for the first opener (or only the PCI device for a
// later one), the relays and the stored sync source.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "card/GlobalVars.h"
#include "card/LogFile.h"
#include "card/OstrevoNvRam.h"
#include "card/VelmoraBoardSupport.h"
#include "hw/VelmoraFpga.h"
#include "hw/VelmoraIicMaster.h"
#include "hw/VelmoraPciBridge.h"
#include "sim/SimControl.h"
#include "sim/SimEeprom.h"

namespace velmora::boardtest {

class BoardStack {
  public:
    explicit BoardStack(
        std::unique_ptr<hw::CVelmoraPciBridge> bridge = std::make_unique<hw::CVelmoraPciBridge>())
        : m_bridge(std::move(bridge)), m_globals(0) {
        m_globals.SetName("QuorvelVelmora");
        EXPECT_TRUE(m_globals.CreateMutexes());
        fpga = std::make_unique<hw::CVelmoraFpga>(m_bridge.get(), &m_globals);
        iic = std::make_unique<hw::CVelmoraIicMaster>(fpga.get(), &m_globals);
        nvram = std::make_unique<card::COstrevoNvRam>(iic.get());
        board = std::make_unique<card::CVelmoraBoardSupport>(0, m_bridge.get(), fpga.get(),
                                                             iic.get(), &m_globals, nvram.get(),
                                                             nullptr, nullptr, nullptr);
        board->SetProductName(L"QuorvelVelmora");
        board->SetCardModel(0x5100);
    }
    ~BoardStack() {
        if (m_open) Close(m_first);
        board.reset();
        nvram.reset();
        iic.reset();
        fpga.reset();
        m_globals.ReleaseMutexes();
    }
    BoardStack(const BoardStack&) = delete;
    BoardStack& operator=(const BoardStack&) = delete;

    // `first`: the first opener in the system, which initialises the card.
    bool Open(bool first = true) {
        m_first = first;
        if (!board->OpenPciDevice(first) || !board->MapBars()) return false;
        m_open = true;
        if (first) {
            if (!board->InitDevice()) return false;
            const uint32_t persist = board->GetPersistFlag();
            board->SetPersistFlag(0);
            const uint32_t restored = board->RestoreSettings();
            board->SetPersistFlag(persist);
            if (!restored) return false;
        }
        for (uint32_t channel = 0; channel < 4; ++channel) {
            if (!board->SetVideoRelayMode(channel, 1)) return false;
        }
        for (uint32_t channel = 0; channel < 4; ++channel) {
            if (!board->SetAudioRelayMode(channel, 1)) return false;
        }
        uint32_t sync = 0;
        board->GetSyncSource(&sync);
        board->SetSyncSource(sync);
        return true;
    }
    // `last`: the last user in the system, which closes the devices.
    void Close(bool last = true) {
        if (!m_open) return;
        if (last) board->CloseDevice();
        board->ClosePciDevice(last);
        m_open = false;
    }

    hw::CVelmoraPciBridge& bridge() { return *m_bridge; }
    card::CGlobalVars& globals() { return m_globals; }

    std::unique_ptr<hw::CVelmoraFpga> fpga;
    std::unique_ptr<hw::CVelmoraIicMaster> iic;
    std::unique_ptr<card::COstrevoNvRam> nvram;
    std::unique_ptr<card::CVelmoraBoardSupport> board;

  private:
    std::unique_ptr<hw::CVelmoraPciBridge> m_bridge;
    card::CGlobalVars m_globals;
    bool m_open = false;
    bool m_first = true;
};

class BoardSupportTest : public ::testing::Test {
  protected:
    void TearDown() override {
        stack.reset();
        sim::ReleaseCards();
    }

    // One card of the given board ID with a factory EEPROM (or `image`).
    void StartCard(uint32_t boardId, const sim::EepromImage* image = nullptr) {
        ASSERT_TRUE(sim::SetCardCount(1));
        sim::SetBoardId(boardId);
        ASSERT_TRUE(sim::LoadEepromImage(0, image ? *image : FactoryImage()));
    }
    void OpenCard(uint32_t boardId, const sim::EepromImage* image = nullptr) {
        StartCard(boardId, image);
        stack = std::make_unique<BoardStack>();
        ASSERT_TRUE(stack->Open());
    }

    static sim::EepromImage FactoryImage() {
        uint8_t bytes[sim::SimEeprom::kSize];
        sim::SimEeprom::FactoryImage(0, bytes);
        sim::EepromImage image;
        std::copy(std::begin(bytes), std::end(bytes), image.begin());
        return image;
    }
    static uint8_t EepromByte(uint32_t address) {
        const auto image = sim::ReadEepromImage(0);
        EXPECT_TRUE(image.has_value());
        return image ? (*image)[address] : 0;
    }
    static uint8_t ChipRegister(sim::SimIicChip chip, uint8_t reg) {
        const auto registers = sim::IicChipRegisters(0, chip);
        EXPECT_TRUE(registers.has_value());
        return registers ? (*registers)[reg] : 0;
    }
    static uint32_t Register(uint32_t offset) { return sim::PeekRegister(0, offset).value_or(0); }
    // Whether a byte was written to register `reg` of the chip at `address`
    // since the log was last cleared.
    static bool WasWritten(uint8_t address, uint8_t reg, uint8_t value) {
        for (const auto& transfer : sim::IicTransferLog(0)) {
            if (!transfer.read && transfer.address == address && transfer.reg == reg &&
                transfer.value == value) {
                return true;
            }
        }
        return false;
    }
    static std::string LogText() {
        std::ifstream file(card::g_LogFile.GetLogFilePath());
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    card::CVelmoraBoardSupport& board() { return *stack->board; }

    std::unique_ptr<BoardStack> stack;
};

}  // namespace velmora::boardtest

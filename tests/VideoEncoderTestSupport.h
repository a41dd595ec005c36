#pragma once

// The encoder and codec tests drive the drivers through the card's real IIC
// master and FPGA object on one simulated card, and read what reached the
// chips from the simulated bus's transfer log.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <vector>

#include "IicMasterSimCard.h"
#include "sim/SimConfig.h"
#include "sim/SimControl.h"
#include "sim/SimEeprom.h"

namespace velmora::avtest {

// One register byte on the bus, as a test expects it.
struct Access {
    uint8_t reg;
    uint8_t value;
    bool read;
    bool operator==(const Access&) const = default;
};

inline void PrintTo(const Access& a, std::ostream* os) {
    *os << (a.read ? "R " : "W ") << std::hex << "0x" << int(a.reg) << "=0x" << int(a.value);
}

inline Access W(uint8_t reg, uint8_t value) {
    return {reg, value, false};
}
inline Access R(uint8_t reg, uint8_t value) {
    return {reg, value, true};
}

// A stretch of a register table as it is written down: registers first to
// last, each given value.
struct Span {
    uint8_t first;
    uint8_t last;
    uint8_t value;
};

// The writes a table of spans stands for, in order.
inline std::vector<Access> Expand(std::initializer_list<Span> spans) {
    std::vector<Access> rows;
    for (const Span& s : spans)
        for (unsigned reg = s.first; reg <= s.last; ++reg)
            rows.push_back(W(static_cast<uint8_t>(reg), s.value));
    return rows;
}

inline std::vector<sim::IicTransfer> TransfersTo(uint8_t address) {
    std::vector<sim::IicTransfer> out;
    for (const sim::IicTransfer& t : sim::IicTransferLog(0))
        if (t.address == (address & 0xFE)) out.push_back(t);
    return out;
}

// What the bus carried to and from one chip since the log was cleared.
inline std::vector<Access> AccessesTo(uint8_t address) {
    std::vector<Access> out;
    for (const sim::IicTransfer& t : TransfersTo(address))
        out.push_back({t.reg, t.value, t.read != 0});
    return out;
}

inline std::vector<Access> WritesTo(uint8_t address) {
    std::vector<Access> out;
    for (const Access& a : AccessesTo(address))
        if (!a.read) out.push_back(a);
    return out;
}

inline std::vector<Access> Concat(std::initializer_list<std::vector<Access>> parts) {
    std::vector<Access> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One simulated card of the given board, fresh from the factory (board
// version 0x20100 in its EEPROM), opened through the card's own objects.
class ChipSimCardTest : public ::testing::Test {
  protected:
    explicit ChipSimCardTest(uint32_t boardId) : m_boardId(boardId) {}

    void SetUp() override {
        std::error_code ignored;
        std::filesystem::remove(
            sim::SimEeprom::FilePath(sim::SimConfig::FromEnvironment().stateDir, 0), ignored);
        ASSERT_TRUE(sim::SetCardCount(1));
        sim::SetBoardId(m_boardId);
        ASSERT_TRUE(card.Open());
        ASSERT_TRUE(sim::ClearIicTransferLog(0));
    }
    void TearDown() override {
        card.Close();
        sim::ReleaseCards();
    }

    // Reads a chip register over the bus, outside the driver under test.
    uint8_t Peek(uint8_t address, uint8_t reg) {
        uint8_t value = 0;
        EXPECT_TRUE(card.iic->Read(address, reg, &value, 1));
        return value;
    }
    void Poke(uint8_t address, uint8_t reg, uint8_t value) {
        EXPECT_TRUE(card.iic->Write(address, reg, &value, 1));
    }

    iictest::SimCardStack card;
    uint32_t m_boardId;
};

}  // namespace velmora::avtest

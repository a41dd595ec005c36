#pragma once

// What the video decoder tests share: the expected register traffic written
// out as text, the simulated card opened for one board model, the chip's
// traffic taken from the card's IIC transfer log, and a small IIC master with
// register files of its own for what the simulated card cannot give.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "IicMasterSimCard.h"
#include "hw/IicMaster.h"
#include "sim/SimControl.h"

namespace velmora::av::test {

struct Row {
    uint8_t reg;
    uint8_t value;
    bool operator==(const Row&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Row& row) {
    return os << std::hex << "0x" << int{row.reg} << " = 0x" << int{row.value} << std::dec;
}

// Rows written "0x00 = 0x01, 0x04 = 0xD7, 0x18 to 0x1E = 0x00": a range
// stands for one row per register, ascending.
inline std::vector<Row> ParseRows(std::string_view text) {
    std::vector<Row> rows;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string item(text.substr(pos, end - pos));
        pos = end + 1;
        unsigned first = 0, last = 0, value = 0;
        if (std::sscanf(item.c_str(), " %x to %x = %x", &first, &last, &value) == 3) {
        } else if (std::sscanf(item.c_str(), " %x = %x", &first, &value) == 2) {
            last = first;
        } else {
            ADD_FAILURE() << "unreadable row: " << item;
            continue;
        }
        for (unsigned reg = first; reg <= last; ++reg)
            rows.push_back(Row{static_cast<uint8_t>(reg), static_cast<uint8_t>(value)});
    }
    return rows;
}

// The traffic of one chip address (the read bit ignored), oldest first.
inline std::vector<sim::IicTransfer> ChipTraffic(uint8_t address) {
    std::vector<sim::IicTransfer> result;
    for (const auto& t : sim::IicTransferLog(0)) {
        if (t.address == (address & 0xFE)) result.push_back(t);
    }
    return result;
}

// The written bytes of `traffic` as rows; fails the test on a read among
// them.
inline std::vector<Row> WrittenRows(const std::vector<sim::IicTransfer>& traffic) {
    std::vector<Row> rows;
    for (const auto& t : traffic) {
        EXPECT_EQ(t.read, 0) << "unexpected read of 0x" << std::hex << int{t.reg};
        rows.push_back(Row{t.reg, t.value});
    }
    return rows;
}

// One simulated card of the given model, opened, with an empty transfer log.
class DecoderCardTest : public ::testing::Test {
  protected:
    void TearDown() override {
        card.Close();
        sim::ReleaseCards();
    }
    void OpenBoard(uint32_t boardId) {
        ASSERT_TRUE(sim::SetCardCount(1));
        sim::SetBoardId(boardId);
        ASSERT_TRUE(card.Open());
        ASSERT_TRUE(sim::ClearIicTransferLog(0));
    }
    void ClearLog() { ASSERT_TRUE(sim::ClearIicTransferLog(0)); }
    hw::CIicMaster* iic() { return card.iic.get(); }
    // A register as the chip holds it, read over the bus outside the log.
    uint8_t ChipRegister(uint8_t address, uint8_t reg) {
        const auto before = sim::IicTransferLog(0).size();
        uint8_t value = 0;
        EXPECT_EQ(card.iic->Read(address, reg, &value, 1), 1u);
        EXPECT_EQ(sim::IicTransferLog(0).size(), before + 1);
        return value;
    }

    iictest::SimCardStack card;
};

// An IIC master with a register file per device address (read bit ignored),
// a log of every call and the faults the simulated card does not have.
class RecordingIicMaster : public hw::CIicMaster {
  public:
    struct Op {
        char kind;  // 'W' write, 'R' read, 'F' field update (its read and write follow)
        uint8_t address;
        uint8_t reg;
        uint8_t value;  // written, read, or the field value
        uint8_t shift = 0;
        uint8_t width = 0;
        bool operator==(const Op&) const = default;
    };

    uint32_t Write(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                   uint32_t count) override {
        for (uint32_t i = 0; i < count; ++i) {
            const auto reg = static_cast<uint8_t>(subAddress + i);
            ops.push_back(Op{'W', device, reg, pSource[i]});
            if (!(stuckDevice == (device & 0xFE) && stuckRegister == reg))
                Registers(device)[reg] = pSource[i];
        }
        return 1;
    }
    uint32_t Read(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                  uint32_t count) override {
        for (uint32_t i = 0; i < count; ++i) {
            const auto reg = static_cast<uint8_t>(subAddress + i);
            if (failReads) {
                ops.push_back(Op{'R', device, reg, pDestination[i]});
                continue;
            }
            pDestination[i] = Registers(device)[reg];
            ops.push_back(Op{'R', device, reg, pDestination[i]});
        }
        // A failed read leaves the buffer as it was.
        return failReads ? 0 : 1;
    }
    uint32_t WriteField(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                        const uint8_t* pValue, uint8_t shift, uint8_t width) override {
        ops.push_back(Op{'F', writeDevice, subAddress, *pValue, shift, width});
        return hw::CIicMaster::WriteField(writeDevice, readDevice, subAddress, pValue, shift,
                                          width);
    }

    std::array<uint8_t, 256>& Registers(uint8_t device) { return files[device & 0xFE]; }
    // The ops of one kind, in order.
    std::vector<Op> Only(char kind) const {
        std::vector<Op> out;
        for (const auto& op : ops)
            if (op.kind == kind) out.push_back(op);
        return out;
    }
    std::vector<Row> WrittenRows() const {
        std::vector<Row> out;
        for (const auto& op : ops)
            if (op.kind == 'W') out.push_back(Row{op.reg, op.value});
        return out;
    }

    std::vector<Op> ops;
    std::map<uint8_t, std::array<uint8_t, 256>> files;
    bool failReads = false;
    // A register that keeps its value whatever is written.
    int stuckDevice = -1;
    int stuckRegister = -1;
};

}  // namespace velmora::av::test

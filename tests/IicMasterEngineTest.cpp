// The byte-engine path and this card's IIC master against the simulated
// card's engine in register 0x60 and its EEPROM at 0xA0.

#include <gtest/gtest.h>

#include <atomic>

#include "IicMasterSimCard.h"
#include "hw/FpgaIicMasterPro.h"

namespace velmora::hw {
namespace {

using iictest::SimCardTest;

constexpr uint8_t kEeprom = 0xA0;

std::vector<sim::IicTransfer> EepromTransfers() {
    std::vector<sim::IicTransfer> result;
    for (const auto& t : sim::IicTransferLog(0)) {
        if (t.address == kEeprom) result.push_back(t);
    }
    return result;
}

class IicMasterEngineTest : public SimCardTest {};

// Counts this process's register reads of card 0 while it lives.
class RegisterReadCounter {
  public:
    RegisterReadCounter() { Arm(); }
    ~RegisterReadCounter() {
        m_counting = false;
        sim::RunAfterNextRegisterAccess(0, false, {});
    }
    RegisterReadCounter(const RegisterReadCounter&) = delete;
    RegisterReadCounter& operator=(const RegisterReadCounter&) = delete;

    uint64_t Reads() const { return m_reads; }

  private:
    void Arm() {
        sim::RunAfterNextRegisterAccess(0, false, [this] {
            ++m_reads;
            if (m_counting) Arm();
        });
    }

    std::atomic<uint64_t> m_reads{0};
    std::atomic<bool> m_counting{true};
};

TEST_F(IicMasterEngineTest, MultiByteTransfersGoToConsecutiveRegisters) {
    CFpgaIicMasterPro engine(card.fpga.get());
    const uint8_t data[] = {0x11, 0x22, 0x33};
    ASSERT_TRUE(sim::ClearIicTransferLog(0));
    EXPECT_EQ(engine.Write(kEeprom, 0x80, data, 3), 1u);
    EXPECT_EQ(EepromByte(0x80), 0x11);
    EXPECT_EQ(EepromByte(0x81), 0x22);
    EXPECT_EQ(EepromByte(0x82), 0x33);
    const auto log = EepromTransfers();
    ASSERT_EQ(log.size(), 3u);
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i].reg, 0x80 + i);
        EXPECT_EQ(log[i].read, 0);
    }

    uint8_t in[3] = {};
    EXPECT_EQ(engine.Read(kEeprom, 0x80, in, 3), 1u);
    EXPECT_EQ(in[0], 0x11);
    EXPECT_EQ(in[1], 0x22);
    EXPECT_EQ(in[2], 0x33);

    // The shadow and the device agree byte for byte.
    uint8_t shadow[256] = {};
    const uint8_t more[] = {0x44, 0x55};
    EXPECT_EQ(engine.WriteShadowed(kEeprom, 0x90, more, 2, shadow), 1u);
    EXPECT_EQ(shadow[0x90], EepromByte(0x90));
    EXPECT_EQ(shadow[0x91], EepromByte(0x91));
    EXPECT_EQ(shadow[0x91], 0x55);
}

TEST_F(IicMasterEngineTest, StuckEngineFailsReadsWithFFAndWritesWithZeroInBoundedTime) {
    const uint8_t before = EepromByte(0x10);
    ASSERT_TRUE(sim::SetIicBusyStuck(0, true));
    const uint8_t value = static_cast<uint8_t>(before ^ 0x5A);
    uint64_t reads = 0;
    {
        const RegisterReadCounter counter;
        uint8_t byte = 0x12;
        EXPECT_EQ(card.iic->Read(kEeprom, 0x10, &byte, 1), 0u);
        EXPECT_EQ(byte, 0xFF);
        uint8_t two[2] = {1, 2};
        EXPECT_EQ(card.iic->Read(kEeprom, 0x10, two, 2), 0u);
        EXPECT_EQ(two[0], 0xFF);
        EXPECT_EQ(two[1], 0xFF);
        EXPECT_EQ(card.iic->Write(kEeprom, 0x10, &value, 1), 0u);
        const uint8_t three = 3;
        EXPECT_EQ(card.iic->WriteField(kEeprom, kEeprom, 0x10, &three, 0, 2), 0u);
        reads = counter.Reads();
    }
    // Each call gives up after one wait's polls: a bound in reads holds
    // however busy the machine, where one in seconds would not.
    EXPECT_LE(reads, 4 * (CFpga::kPollTries + 1));

    ASSERT_TRUE(sim::SetIicBusyStuck(0, false));
    ASSERT_TRUE(sim::SetIicSecondBusyStuck(0, true));
    EXPECT_EQ(card.iic->Write(kEeprom, 0x10, &value, 1), 0u);
    ASSERT_TRUE(sim::SetIicSecondBusyStuck(0, false));
    EXPECT_EQ(EepromByte(0x10), before);
    EXPECT_EQ(card.iic->Write(kEeprom, 0x10, &value, 1), 1u);
    EXPECT_EQ(EepromByte(0x10), value);
}

TEST_F(IicMasterEngineTest, FieldWritesMergeIntoTheDeviceByte) {
    const uint8_t three = 3;
    for (const auto& [current, expected] :
         {std::pair<uint8_t, uint8_t>{0x00, 0x18}, {0xFF, 0xFF}, {0x81, 0x99}}) {
        ASSERT_EQ(card.iic->Write(kEeprom, 0x20, &current, 1), 1u);
        EXPECT_EQ(card.iic->WriteField(kEeprom, kEeprom | 1, 0x20, &three, 3, 2), 1u);
        EXPECT_EQ(EepromByte(0x20), expected) << int(current);
    }

    // The shadowed form takes the current byte from the shadow, not the bus.
    uint8_t shadow[256] = {};
    shadow[0x21] = 0xA5;
    const uint8_t zero = 0;
    ASSERT_TRUE(sim::ClearIicTransferLog(0));
    EXPECT_EQ(card.iic->WriteFieldShadowed(kEeprom, kEeprom | 1, 0x21, &zero, 0, 4, shadow), 1u);
    EXPECT_EQ(EepromByte(0x21), 0xA0);
    EXPECT_EQ(shadow[0x21], 0xA0);
    const auto log = EepromTransfers();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].read, 0);
    uint8_t out = 0;
    EXPECT_EQ(card.iic->ReadFromShadow(kEeprom, 0x21, &out, 1, shadow), 1u);
    EXPECT_EQ(out, 0xA0);
}

// An engine whose read phase fails while its write phase works.
class ReadStartFailsFpga : public CVelmoraFpga {
  public:
    using CVelmoraFpga::CVelmoraFpga;
    uint32_t IicEngineStart(uint32_t address, uint32_t readFlag) override {
        return readFlag == 1 ? 0 : CVelmoraFpga::IicEngineStart(address, readFlag);
    }
};

TEST_F(IicMasterEngineTest, FieldWriteAfterAFailedReadWritesNothing) {
    const uint8_t original = 0x3C;
    ASSERT_EQ(card.iic->Write(kEeprom, 0x22, &original, 1), 1u);
    ReadStartFailsFpga fpga(&card.bridge(), &card.globals());
    CVelmoraIicMaster master(&fpga, &card.globals());
    ASSERT_TRUE(sim::ClearIicTransferLog(0));
    const uint8_t three = 3;
    EXPECT_EQ(master.WriteField(kEeprom, kEeprom | 1, 0x22, &three, 3, 2), 0u);
    EXPECT_EQ(EepromByte(0x22), original);
    for (const auto& t : EepromTransfers())
        EXPECT_EQ(t.read, 1) << "a byte was written back";
    // Writes still work through it.
    EXPECT_EQ(master.Write(kEeprom, 0x22, &three, 1), 1u);
    EXPECT_EQ(EepromByte(0x22), 3);
}

TEST_F(IicMasterEngineTest, StartWithAnInvalidReadFlagTouchesNoRegister) {
    ASSERT_TRUE(sim::EnableRegisterWriteLog(0, true));
    ASSERT_TRUE(sim::ClearRegisterWriteLog(0));
    EXPECT_EQ(card.fpga->IicEngineStart(kEeprom, 2), 0u);
    EXPECT_TRUE(sim::RegisterWriteLog(0).empty());
    EXPECT_EQ(card.fpga->IicEngineStart(kEeprom, 0), 1u);
    EXPECT_EQ(sim::RegisterWriteLog(0).size(), 1u);
}

TEST_F(IicMasterEngineTest, CardMasterAlwaysUsesTheEngine) {
    // The bit-banged lines are no use on this card's FPGA: a plain front end
    // in its initial mode fails (its strobe never completes).
    CIicMasterPro plain(card.fpga.get(), &card.globals());
    const uint8_t value = 0x6B;
    EXPECT_EQ(plain.Write(kEeprom, 0x30, &value, 1), 0u);
    EXPECT_EQ(plain.SetMode(CIicMasterPro::kModeByteEngine), 1u);
    EXPECT_EQ(plain.Write(kEeprom, 0x30, &value, 1), 1u);
    EXPECT_EQ(EepromByte(0x30), value);

    // Another user clears the card master's mode flag; the next transfer
    // still runs on the engine and puts the flag back.
    ASSERT_EQ(card.iic->SetMode(CIicMasterPro::kModeBitBanged), 1u);
    const uint8_t next = 0x6C;
    EXPECT_EQ(card.iic->Write(kEeprom, 0x30, &next, 1), 1u);
    EXPECT_EQ(EepromByte(0x30), next);
    EXPECT_EQ(card.iic->GetMode(), CIicMasterPro::kModeByteEngine);
    ASSERT_EQ(card.iic->SetMode(CIicMasterPro::kModeBitBanged), 1u);
    uint8_t in = 0;
    EXPECT_EQ(card.iic->Read(kEeprom, 0x30, &in, 1), 1u);
    EXPECT_EQ(in, next);
}

}  // namespace
}  // namespace velmora::hw

// The register object against the simulated card, through the real bridge
// and driver.

#include <gtest/gtest.h>

#include "FpgaTestSupport.h"
#include "sim/SimControl.h"

namespace velmora::hw::testing {
namespace {

class FpgaSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim::SetCardCount(1));
        uint32_t count = 0;
        ASSERT_EQ(m_bridge.GetBoardCount(&count), 1u);
        ASSERT_EQ(count, 1u);
        ASSERT_EQ(m_bridge.FindBoard(0), 1u);
        ASSERT_EQ(m_bridge.OpenBoard(), 1u);
        m_globals.SetName("QuorvelVelmora");
        ASSERT_EQ(m_globals.CreateMutexes(), 1u);
        m_fpga = std::make_unique<CVelmoraFpga>(&m_bridge, &m_globals);
        ASSERT_TRUE(sim::EnableRegisterWriteLog(0, true));
        ASSERT_TRUE(sim::ClearRegisterWriteLog(0));
    }
    void TearDown() override {
        m_fpga.reset();
        m_bridge.CloseBoard();
        sim::ReleaseCards();
    }

    CVelmoraPciBridge m_bridge;
    card::CGlobalVars m_globals{0};
    std::unique_ptr<CVelmoraFpga> m_fpga;
};

TEST_F(FpgaSimTest, ScratchRegisterTestPasses) {
    EXPECT_EQ(m_fpga->TestScratchRegister(), 1u);
    const std::vector<Write> log = sim::RegisterWriteLog(0);
    ASSERT_FALSE(log.empty());
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].offset, 0x50u);
        EXPECT_EQ(log[log.size() - 1 - i].value, i % 2 == 0 ? 0xAA55AA55u : 0x55AA55AAu);
    }
}

TEST_F(FpgaSimTest, IdentityRegistersAndScratchRoundTrips) {
    uint32_t value = 0;
    EXPECT_EQ(m_fpga->ReadBoardId(&value), 1u);
    EXPECT_EQ(value, sim::PeekRegister(0, 0x1C).value_or(0));
    EXPECT_EQ(m_fpga->GetFpgaVersion(&value), 1u);
    EXPECT_EQ(value, sim::PeekRegister(0, 0xF0).value_or(0));

    const uint32_t ones = 0xFFFFFFFF;
    EXPECT_EQ(m_fpga->WriteRegister(0x50, &ones), 1u);
    EXPECT_EQ(m_fpga->WriteBitField(0x50, 5, 3, 2), 1u);
    EXPECT_EQ(m_fpga->ReadRegister(0x50, &value), 1u);
    EXPECT_EQ(value, 0xFFFFFFEFu);
    EXPECT_EQ(m_fpga->WriteBit(0x50, 31, 0), 1u);
    EXPECT_EQ(m_fpga->OrRegister(0x50, 0x10), 1u);
    EXPECT_EQ(sim::PeekRegister(0, 0x50), 0x7FFFFFFFu);
    EXPECT_EQ(sim::RegisterWriteLog(0),
              (std::vector<Write>{
                  {0x50, 0xFFFFFFFF}, {0x50, 0xFFFFFFEF}, {0x50, 0x7FFFFFEF}, {0x50, 0x7FFFFFFF}}));
}

TEST_F(FpgaSimTest, BlockBitsReachTheCard) {
    EXPECT_EQ(m_fpga->SelectNtsc(), 1u);
    EXPECT_EQ(m_fpga->VideoRelayOn(0), 1u);
    EXPECT_EQ(m_fpga->SetSourceModeBit(), 1u);
    EXPECT_EQ(m_fpga->SetTsRecordFlag(1), 1u);
    EXPECT_NE(sim::PeekRegister(0, 0x10).value_or(0) & Bit(12), 0u);
    EXPECT_EQ(sim::PeekRegister(0, 0x90).value_or(0) & (Bit(20) | Bit(17)), Bit(20) | Bit(17));
    EXPECT_NE(sim::PeekRegister(0, 0x170).value_or(0) & Bit(9), 0u);
    const std::vector<Write> log = sim::RegisterWriteLog(0);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].offset, 0x10u);
    EXPECT_EQ(log[1].offset, 0x90u);
    EXPECT_EQ(log[2].offset, 0x90u);
    EXPECT_EQ(log[3].offset, 0x170u);
}

TEST(FpgaSimClosedTest, ClosedBoardReportsFailedAccess) {
    ASSERT_TRUE(sim::SetCardCount(1));
    CVelmoraPciBridge bridge;
    card::CGlobalVars globals(0);
    ASSERT_EQ(globals.CreateMutexes(), 1u);
    CVelmoraFpga fpga(&bridge, &globals);
    uint32_t value = 0;
    EXPECT_EQ(fpga.ReadBoardId(&value), 0u);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_EQ(fpga.SelectNtsc(), 0u);
    EXPECT_EQ(fpga.TestScratchRegister(), 0u);
    sim::ReleaseCards();
}

}  // namespace
}  // namespace velmora::hw::testing

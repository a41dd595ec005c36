// The bit-banged IIC path against a bit-level slave model, and the front
// end's dispatch and locking over it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "IicMasterTestSupport.h"
#include "WaitSupport.h"
#include "card/GlobalVars.h"
#include "hw/FpgaIicMaster.h"
#include "hw/IicMasterPro.h"

namespace velmora::hw {
namespace {

using iictest::SlaveModelFpga;

constexpr uint8_t kSlave = 0xA0;
constexpr uint8_t kAbsent = 0x50;

TEST(IicMasterBitBangTest, WriteAndReadAreSingleTransactionsWithAutoIncrement) {
    SlaveModelFpga fpga;
    CFpgaIicMaster master(&fpga);
    // Asymmetric bit patterns: bytes sent least significant bit first would
    // land reversed.
    const uint8_t data[] = {0x01, 0x80, 0xC3, 0x5A};
    EXPECT_EQ(master.Write(kSlave, 0x10, data, sizeof(data)), 1u);
    EXPECT_EQ(fpga.starts, 1u);
    EXPECT_EQ(fpga.stops, 1u);
    EXPECT_EQ(0, std::memcmp(fpga.regs + 0x10, data, sizeof(data)));
    EXPECT_EQ(fpga.regs[0x14], 0);

    fpga.regs[0x20] = 0x96;
    fpga.regs[0x21] = 0x0F;
    fpga.regs[0x22] = 0xF0;
    uint8_t in[3] = {};
    EXPECT_EQ(master.Read(kSlave | 1, 0x20, in, sizeof(in)), 1u);
    EXPECT_EQ(in[0], 0x96);
    EXPECT_EQ(in[1], 0x0F);
    EXPECT_EQ(in[2], 0xF0);
    // A start for the register pointer, a repeated start for reading, one
    // stop; every byte but the last acknowledged by the master.
    EXPECT_EQ(fpga.starts, 3u);
    EXPECT_EQ(fpga.stops, 2u);
    EXPECT_EQ(fpga.readAddressed, 1u);
    EXPECT_EQ(fpga.masterAcks, (std::vector<bool>{true, true, false}));
}

TEST(IicMasterBitBangTest, UnansweredDeviceFailsAfterTheWholeTransaction) {
    SlaveModelFpga fpga;
    CFpgaIicMaster master(&fpga);
    const uint8_t data[] = {0x11, 0x22};
    EXPECT_EQ(master.Write(kAbsent, 0x00, data, sizeof(data)), 0u);
    EXPECT_EQ(fpga.stops, 1u);  // the bus is left idle
    EXPECT_TRUE(fpga.written.empty());

    uint8_t in[2] = {0x12, 0x34};
    EXPECT_EQ(master.Read(kAbsent, 0x00, in, sizeof(in)), 0u);
    EXPECT_EQ(in[0], 0xFF);
    EXPECT_EQ(in[1], 0xFF);
}

TEST(IicMasterBitBangTest, ReadOfNothingTouchesNoLine) {
    SlaveModelFpga fpga;
    CFpgaIicMaster master(&fpga);
    uint8_t untouched = 0x42;
    EXPECT_EQ(master.Read(kSlave, 0x00, &untouched, 0), 1u);
    EXPECT_EQ(fpga.steps, 0u);
    EXPECT_EQ(untouched, 0x42);
}

TEST(IicMasterBitBangTest, FailedLineStepEndsTheTransfer) {
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (unsigned failAt : {1u, 2u, 9u, 40u, 100u}) {
        SlaveModelFpga fpga;
        fpga.failAtStep = failAt;
        CFpgaIicMaster master(&fpga);
        EXPECT_EQ(master.Write(kSlave, 0, data, sizeof(data)), 0u) << failAt;
        EXPECT_EQ(fpga.steps, failAt) << "no line step after the failed one";

        SlaveModelFpga readFpga;
        readFpga.failAtStep = failAt;
        CFpgaIicMaster reader(&readFpga);
        uint8_t in[4] = {};
        EXPECT_EQ(reader.Read(kSlave, 0, in, sizeof(in)), 0u) << failAt;
        EXPECT_EQ(readFpga.steps, failAt);
        EXPECT_EQ(in[0], 0xFF);
        EXPECT_EQ(in[3], 0xFF);
    }
    // The class without lines cannot carry out any step.
    CIicMaster lineless;
    uint8_t byte = 0;
    EXPECT_EQ(lineless.Write(kSlave, 0, &byte, 1), 0u);
    EXPECT_EQ(lineless.Read(kSlave, 0, &byte, 1), 0u);
}

// The FPGA's own line operations over a register 0x60 whose strobe never
// reports done: each wait gives up after its polls, and the transfer stops
// at the first of them.
class StrobeNeverDoneFpga : public CFpga {
  public:
    StrobeNeverDoneFpga() : CFpga(nullptr, nullptr) {}
    unsigned reads = 0;
    unsigned writes = 0;
    uint32_t ReadRegister(uint32_t, uint32_t* pValue) override {
        ++reads;
        *pValue = m_value & ~(1u << 5);
        return 1;
    }
    uint32_t WriteRegister(uint32_t, const uint32_t* pValue) override {
        ++writes;
        m_value = *pValue;
        return 1;
    }

  private:
    uint32_t m_value = 0;
};

TEST(IicMasterBitBangTest, StrobeThatNeverCompletesStopsTheTransfer) {
    StrobeNeverDoneFpga fpga;
    CFpgaIicMaster master(&fpga);
    const uint8_t data[] = {1, 2};
    EXPECT_EQ(master.Write(kSlave, 0, data, sizeof(data)), 0u);
    // One line change and one strobe: a few writes and one poll loop.
    EXPECT_LE(fpga.writes, 4u);
    EXPECT_LE(fpga.reads, CFpga::kPollTries + 4);
}

TEST(IicMasterBitBangTest, FieldMergeReadsTheDeviceAndFailsWithoutWritingOnAFailedRead) {
    SlaveModelFpga fpga;
    CFpgaIicMaster master(&fpga);
    const uint8_t three = 3;
    fpga.regs[0x07] = 0x00;
    EXPECT_EQ(master.WriteField(kSlave, kSlave | 1, 0x07, &three, 3, 2), 1u);
    EXPECT_EQ(fpga.regs[0x07], 0x18);
    fpga.regs[0x07] = 0xFF;
    EXPECT_EQ(master.WriteField(kSlave, kSlave | 1, 0x07, &three, 3, 2), 1u);
    EXPECT_EQ(fpga.regs[0x07], 0xFF);
    const uint8_t zero = 0;
    EXPECT_EQ(master.WriteField(kSlave, kSlave | 1, 0x07, &zero, 3, 2), 1u);
    EXPECT_EQ(fpga.regs[0x07], 0xE7);

    // The byte cannot be read (nobody answers the read address): nothing is
    // written back.
    const unsigned startsBefore = fpga.starts;
    const size_t writtenBefore = fpga.written.size();
    EXPECT_EQ(master.WriteField(kSlave, kAbsent, 0x07, &zero, 0, 8), 0u);
    EXPECT_EQ(fpga.regs[0x07], 0xE7);
    EXPECT_EQ(fpga.written.size(), writtenBefore);
    EXPECT_EQ(fpga.starts, startsBefore + 2) << "only the failed read's two starts";
}

TEST(IicMasterBitBangTest, ShadowFollowsWhatTheDeviceTook) {
    SlaveModelFpga fpga;
    CFpgaIicMaster master(&fpga);
    uint8_t shadow[256] = {};
    const uint8_t data[] = {0xAB, 0xCD};
    EXPECT_EQ(master.WriteShadowed(kSlave, 0x30, data, sizeof(data), shadow), 1u);
    EXPECT_EQ(fpga.regs[0x30], 0xAB);
    EXPECT_EQ(fpga.regs[0x31], 0xCD);
    EXPECT_EQ(shadow[0x30], 0xAB);
    EXPECT_EQ(shadow[0x31], 0xCD);

    // A device that does not answer keeps its old bytes, and so does the
    // shadow.
    EXPECT_EQ(master.WriteShadowed(kAbsent, 0x30, data + 1, 1, shadow), 0u);
    EXPECT_EQ(shadow[0x30], 0xAB);

    // The field merge of the shadowed form reads no bus byte.
    shadow[0x40] = 0xA5;
    const unsigned readsBefore = fpga.readAddressed;
    const uint8_t zero = 0;
    EXPECT_EQ(master.WriteFieldShadowed(kSlave, kSlave | 1, 0x40, &zero, 0, 4, shadow), 1u);
    EXPECT_EQ(fpga.regs[0x40], 0xA0);
    EXPECT_EQ(shadow[0x40], 0xA0);
    EXPECT_EQ(fpga.readAddressed, readsBefore);

    uint8_t out[2] = {};
    EXPECT_EQ(master.ReadFromShadow(0, 0x30, out, 2, shadow), 1u);
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[1], 0xCD);
    // Register numbers wrap at 256, so a 256-byte shadow is never overrun.
    shadow[0] = 0x77;
    EXPECT_EQ(master.ReadFromShadow(0, 0xFF, out, 2, shadow), 1u);
    EXPECT_EQ(out[1], 0x77);
}

TEST(IicMasterBitBangTest, FieldMaskArithmetic) {
    EXPECT_EQ(iic::MergeField(0x00, 0x03, 3, 2), 0x18);
    EXPECT_EQ(iic::MergeField(0xFF, 0x03, 3, 2), 0xFF);
    EXPECT_EQ(iic::MergeField(0xA5, 0x00, 0, 4), 0xA0);
    // Value bits beyond the width do not leak into neighbouring bits.
    EXPECT_EQ(iic::MergeField(0x00, 0xFF, 2, 3), 0x1C);
    // Widths past the byte and shifts off its end.
    EXPECT_EQ(iic::MergeField(0x12, 0x34, 0, 200), 0x34);
    EXPECT_EQ(iic::MergeField(0x12, 0xFF, 8, 1), 0x12);
    EXPECT_EQ(iic::MergeField(0x12, 0xFF, 255, 255), 0x12);
    EXPECT_EQ(iic::MergeField(0x00, 0xFF, 6, 4), 0xC0);
}

// The front end in its bit-banged mode.

TEST(IicMasterBitBangTest, FrontEndPassesTheTransferResultOnWithoutGlobals) {
    SlaveModelFpga fpga;
    CIicMasterPro master(&fpga, nullptr);
    EXPECT_EQ(master.GetMode(), CIicMasterPro::kModeBitBanged);
    const uint8_t byte = 0x3C;
    EXPECT_EQ(master.Write(kSlave, 0x05, &byte, 1), 1u);
    EXPECT_EQ(fpga.regs[0x05], 0x3C);
    EXPECT_EQ(master.Write(kAbsent, 0x05, &byte, 1), 0u);
    uint8_t in = 0;
    EXPECT_EQ(master.Read(kAbsent, 0x05, &in, 1), 0u);
    EXPECT_EQ(in, 0xFF);
    EXPECT_EQ(master.SetMode(2), 0u);
    EXPECT_EQ(master.GetMode(), CIicMasterPro::kModeBitBanged);

    CIicMasterPro noFpga(nullptr, nullptr);
    EXPECT_EQ(noFpga.Write(kSlave, 0x05, &byte, 1), 0u);
    EXPECT_EQ(noFpga.SetIicControl(), 0u);
}

// Runs `op` on another thread while this thread holds `held`; the operation
// must wait for the release.
template <typename Op>
void ExpectWaitsFor(platform::NamedMutex* held, Op op) {
    ASSERT_NE(held, nullptr);
    ASSERT_EQ(held->Lock(), platform::WaitResult::Signaled);
    std::atomic<bool> done{false};
    std::thread other([&] {
        op();
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());
    held->Unlock();
    other.join();
    EXPECT_TRUE(done.load());
}

template <typename Op>
void ExpectRunsDespite(platform::NamedMutex* held, Op op) {
    ASSERT_NE(held, nullptr);
    ASSERT_EQ(held->Lock(), platform::WaitResult::Signaled);
    std::atomic<bool> done{false};
    std::thread other([&] {
        op();
        done = true;
    });
    EXPECT_TRUE(::velmora::test::WaitUntil([&] { return done.load(); }, "the operation"));
    held->Unlock();
    other.join();
}

TEST(IicMasterBitBangTest, FieldAndShadowOperationsHoldBothMutexesPlainTransfersOnlyMutex0) {
    card::CGlobalVars globals(0);
    globals.SetName("IicMasterLockTest");
    ASSERT_EQ(globals.CreateMutexes(), 1u);
    SlaveModelFpga fpga;
    CIicMasterPro master(&fpga, &globals);
    uint8_t shadow[256] = {};
    const uint8_t one = 1;

    auto plainWrite = [&] { EXPECT_EQ(master.Write(kSlave, 0x01, &one, 1), 1u); };
    auto fieldWrite = [&] { EXPECT_EQ(master.WriteField(kSlave, kSlave, 0x02, &one, 0, 1), 1u); };
    auto shadowWrite = [&] { EXPECT_EQ(master.WriteShadowed(kSlave, 0x03, &one, 1, shadow), 1u); };
    auto shadowRead = [&] {
        uint8_t out = 0;
        EXPECT_EQ(master.ReadFromShadow(kSlave, 0x03, &out, 1, shadow), 1u);
    };

    ExpectWaitsFor(globals.GetIicMutex0(), plainWrite);
    ExpectWaitsFor(globals.GetIicMutex0(), fieldWrite);
    ExpectWaitsFor(globals.GetIicMutex0(), shadowWrite);
    ExpectWaitsFor(globals.GetIicMutex1(), fieldWrite);
    ExpectWaitsFor(globals.GetIicMutex1(), shadowWrite);
    ExpectWaitsFor(globals.GetIicMutex1(), shadowRead);
    ExpectRunsDespite(globals.GetIicMutex1(), plainWrite);
    EXPECT_EQ(fpga.regs[0x01], 1);
    EXPECT_EQ(fpga.regs[0x02], 1);
    EXPECT_EQ(fpga.regs[0x03], 1);
    globals.ReleaseMutexes();
}

}  // namespace
}  // namespace velmora::hw

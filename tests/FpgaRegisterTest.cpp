// The register object's access primitives, global operations and the guards
// it keeps against a failing bus, a stuck bit and concurrent writers.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FpgaTestSupport.h"
#include "WaitSupport.h"
#include "hw/Fpga.h"
#include "hw/IoCardFpga.h"

namespace velmora::hw::testing {
namespace {

using std::chrono::steady_clock;

TEST_F(FpgaTest, RegistersAreReachedThroughBar3AtTheirByteOffsets) {
    EXPECT_EQ(m_fpga->WriteControl24(0x1234), 1u);
    EXPECT_EQ(m_fpga->WriteControl28(0x28), 1u);
    m_bridge.Set(0x1C, 0x5110);
    uint32_t value = 0;
    EXPECT_EQ(m_fpga->ReadControl24(&value), 1u);
    EXPECT_EQ(value, 0x1234u);
    EXPECT_EQ(m_fpga->ReadBoardId(&value), 1u);
    EXPECT_EQ(value, 0x5110u);
    EXPECT_EQ(m_bridge.Writes(), (std::vector<Write>{{0x24, 0x1234}, {0x28, 0x28}}));
    EXPECT_EQ(m_bridge.WrongBarAccesses(), 0u);
}

TEST_F(FpgaTest, FailedBridgeAccessIsReportedAndLeavesAllOnes) {
    m_bridge.FailReads(true);
    uint32_t value = 0;
    EXPECT_EQ(m_fpga->ReadRegister(0x1C, &value), 0u);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    value = 0;
    EXPECT_EQ(m_fpga->ReadBoardId(&value), 0u);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    uint64_t wide = 0;
    EXPECT_EQ(m_fpga->ReadRegister64Stable(0x158, 0x15C, &wide), 0u);
    EXPECT_EQ(wide, ~uint64_t{0});
    // A read-modify-write whose read failed must not write a guess.
    EXPECT_EQ(m_fpga->WriteBit(kBlockA, 3, 1), 0u);
    EXPECT_EQ(m_fpga->SelectNtsc(), 0u);
    EXPECT_TRUE(m_bridge.Writes().empty());
    // Status tests report "not set" rather than a bit of the all-ones word.
    EXPECT_EQ(m_fpga->IsStatusBit1Set(), 0u);
    EXPECT_EQ(m_fpga->IsVideoCaptureBufferFull(0), 0u);
    uint32_t count = 99;
    EXPECT_EQ(m_fpga->GetVideoCaptureBufferCount(&count, 0), 0u);
    EXPECT_EQ(count, 0u);

    m_bridge.FailReads(false);
    m_bridge.FailWrites(true);
    const uint32_t word = 7;
    EXPECT_EQ(m_fpga->WriteRegister(0x24, &word), 0u);
    EXPECT_EQ(m_fpga->WriteBit(kBlockA, 3, 1), 0u);
    EXPECT_EQ(m_fpga->StartVideoCapture(1), 0u);
    EXPECT_EQ(m_fpga->StrobeVideoCaptureBuffer(0), 0u);
    EXPECT_EQ(m_fpga->SetVideoPlaybackTimeStamp(100, 0), 0u);
}

TEST(FpgaWithoutPartsTest, NullBridgeOrGlobalsFailsWithoutCrashing) {
    CVelmoraFpga noBridge(nullptr, nullptr);
    uint32_t value = 0;
    EXPECT_EQ(noBridge.ReadBoardId(&value), 0u);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_EQ(noBridge.WriteControl24(1), 0u);
    EXPECT_EQ(noBridge.SelectNtsc(), 0u);
    EXPECT_EQ(noBridge.TestScratchRegister(), 0u);
    EXPECT_EQ(noBridge.FlushVideoPlaybackBuffer(0), 0u);
    uint64_t clock = 0;
    EXPECT_EQ(noBridge.ReadCardClock64(&clock), 0u);

    // Plain accesses work without globals; read-modify-writes need the
    // FPGA mutex and fail without it.
    RegisterFileBridge bridge;
    CVelmoraFpga noGlobals(&bridge, nullptr);
    EXPECT_EQ(noGlobals.WriteControl24(5), 1u);
    EXPECT_EQ(noGlobals.ReadControl24(&value), 1u);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(noGlobals.WriteBit(kBlockA, 12, 1), 0u);
    EXPECT_EQ(bridge.WritesTo(kBlockA).size(), 0u);
}

TEST_F(FpgaTest, MappedWindowIsUsedInsteadOfTheBridge) {
    volatile uint32_t window[0x400 / 4] = {};
    window[0x1C / 4] = 0x5100;
    m_fpga->SetMappedRegisters(window);
    uint32_t value = 0;
    EXPECT_EQ(m_fpga->ReadBoardId(&value), 1u);
    EXPECT_EQ(value, 0x5100u);
    EXPECT_EQ(m_fpga->SelectNtsc(), 1u);
    EXPECT_EQ(window[kBlockA / 4], Bit(12));
    EXPECT_EQ(m_bridge.TotalReads(), 0u);
    EXPECT_TRUE(m_bridge.Writes().empty());
}

TEST_F(FpgaTest, WriteBitChangesOneBitAndRejectsOtherValues) {
    m_bridge.Set(kBlockA, 0x0F0);
    EXPECT_EQ(m_fpga->WriteBit(kBlockA, 0, 1), 1u);
    EXPECT_EQ(m_fpga->WriteBit(kBlockA, 4, 0), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockA), 0x0E1u);
    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->WriteBit(kBlockA, 5, 2), 0u);
    EXPECT_EQ(m_fpga->WriteBit(kBlockA, 32, 1), 0u);
    EXPECT_TRUE(m_bridge.Writes().empty());
    EXPECT_EQ(m_bridge.Get(kBlockA), 0x0E1u);
}

TEST_F(FpgaTest, WriteBitFieldMasksTheValueToItsWidth) {
    m_bridge.Set(0x10, 0xFFFFFFFF);
    EXPECT_EQ(m_fpga->WriteBitField(0x10, 5, 3, 2), 1u);
    EXPECT_EQ(m_bridge.Get(0x10), 0xFFFFFFEFu);

    m_bridge.Set(0x24, 0x12345678);
    EXPECT_EQ(m_fpga->WriteBitField(0x24, 0xCAFEF00D, 0, 32), 1u);
    EXPECT_EQ(m_bridge.Get(0x24), 0xCAFEF00Du);
    EXPECT_EQ(m_fpga->WriteBitField(0x24, 1, 31, 1), 1u);
    EXPECT_EQ(m_bridge.Get(0x24), 0xCAFEF00Du | Bit(31));

    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->WriteBitField(0x24, 1, 0, 33), 0u);
    EXPECT_EQ(m_fpga->WriteBitField(0x24, 1, 32, 1), 0u);
    EXPECT_TRUE(m_bridge.Writes().empty());
}

TEST_F(FpgaTest, StableReadRepeatsUntilTwoPassesAgree) {
    // Low then high per pass: the high word carries between the first two
    // passes, then holds.
    m_bridge.Script(0x158, {0x10, 0x10, 0x10, 0x10});
    m_bridge.Script(0x15C, {1, 2, 2, 2});
    uint64_t value = 0;
    EXPECT_EQ(m_fpga->ReadRegister64Stable(0x158, 0x15C, &value), 1u);
    EXPECT_EQ(value, 0x10 + (uint64_t{2} << 32));
    EXPECT_EQ(m_bridge.ReadCount(0x15C), 4u);
}

TEST_F(FpgaTest, StableReadOfAnEverChangingCounterGivesUp) {
    std::atomic<uint32_t> ticks{0};
    m_bridge.SetReadHook([&](uint32_t offset, uint32_t) -> std::optional<uint32_t> {
        if (offset == 0x15C) return ticks++;
        return std::nullopt;
    });
    uint64_t value = 0;
    EXPECT_EQ(m_fpga->ReadRegister64Stable(0x158, 0x15C, &value), 0u);
    EXPECT_LE(m_bridge.ReadCount(0x15C), 2u * CFpga::kPollTries);
    EXPECT_GE(m_bridge.ReadCount(0x15C), 2u * (CFpga::kPollTries - 1));
    // The caller that passed the failure on gets no stamp.
    EXPECT_EQ(m_fpga->ReadTimeStampCounter(&value, 0), 0u);
}

TEST_F(FpgaTest, WaitForBitReadsOncePlusItsTries) {
    m_bridge.Set(0x60, Bit(9));
    EXPECT_EQ(m_fpga->WaitForBit(0x60, 9, 0, 0), 0u);
    EXPECT_EQ(m_bridge.ReadCount(0x60), 1u);
    EXPECT_EQ(m_fpga->WaitForBit(0x60, 9, 1, 0), 1u);
    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->WaitForBit(0x60, 9, 0, 3), 0u);
    EXPECT_EQ(m_bridge.ReadCount(0x60), 4u);
    m_bridge.ClearLog();
    m_bridge.Script(0x60, {Bit(9), Bit(9)});
    m_bridge.Set(0x60, 0);
    EXPECT_EQ(m_fpga->WaitForBit(0x60, 9, 0, 5), 1u);
    EXPECT_EQ(m_bridge.ReadCount(0x60), 3u);
}

TEST_F(FpgaTest, NoHardwareModeReadsZeroAndTouchesNothing) {
    m_fpga->SetNoHardwareMode(1);
    m_bridge.Set(0x1C, 0x5110);
    m_bridge.Set(0x14, 0xFFFFFFFF);
    uint32_t value = 77;
    EXPECT_EQ(m_fpga->ReadBoardId(&value), 1u);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(m_fpga->IsStatusBit1Set(), 0u);
    EXPECT_EQ(m_fpga->SelectNtsc(), 1u);
    EXPECT_EQ(m_fpga->IicLineStrobe(), 1u);
    EXPECT_EQ(m_fpga->IicEngineStart(0xA0, 0), 1u);
    EXPECT_EQ(m_fpga->IsVideoCaptureReadDone(1), 1u);
    EXPECT_EQ(m_fpga->IsAudioCaptureReadDone(0), 1u);
    uint32_t count = 99;
    EXPECT_EQ(m_fpga->GetVideoCaptureBufferCount(&count, 0), 1u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(m_fpga->GetAudioPlaybackBufferCount(&count, 1), 1u);
    EXPECT_EQ(count, 0u);
    const auto start = steady_clock::now();
    EXPECT_EQ(m_fpga->FlushVideoPlaybackBuffer(0), 1u);
    EXPECT_EQ(m_fpga->FlushAudioPlaybackBuffer(1), 1u);
    EXPECT_LT(steady_clock::now() - start, ::velmora::test::kHangBound) << "hang";
    EXPECT_EQ(m_bridge.TotalReads(), 0u);
    EXPECT_TRUE(m_bridge.Writes().empty());
}

TEST(FpgaRegisterBasesTest, SwappedDevicesTradeBlocksAAndB) {
    const uint32_t normal[4] = {0x10, 0x90, 0x200, 0x300};
    const uint32_t swapped[4] = {0x90, 0x10, 0x200, 0x300};
    auto copy = [](const uint32_t(&from)[4], uint32_t(&to)[4]) {
        std::copy(std::begin(from), std::end(from), std::begin(to));
    };
    CFpga generic(nullptr, nullptr);
    CIoCardFpga family(nullptr, nullptr);
    CVelmoraFpga card(nullptr, nullptr);
    for (const auto& [vendor, device] : std::vector<std::pair<uint32_t, uint32_t>>{
             {0x4B57, 0x5111}, {0x4B57, 0x5100}, {0x4B57, 0x2000}, {0x10B5, 0x5111}}) {
        uint32_t expectFamily[4];
        uint32_t expectCard[4];
        copy(vendor == 0x4B57 && device == 0x2000 ? swapped : normal, expectFamily);
        copy(vendor == 0x4B57 && device == 0x5111 ? swapped : normal, expectCard);
        uint32_t got[4] = {};
        SCOPED_TRACE(::testing::Message() << std::hex << vendor << ":" << device);
        EXPECT_EQ(generic.GetRegisterBases(vendor, device, &got[0], &got[1], &got[2], &got[3]), 1u);
        EXPECT_TRUE(std::equal(got, got + 4, normal));
        EXPECT_EQ(family.GetRegisterBases(vendor, device, &got[0], &got[1], &got[2], &got[3]), 1u);
        EXPECT_TRUE(std::equal(got, got + 4, expectFamily));
        EXPECT_EQ(card.GetRegisterBases(vendor, device, &got[0], &got[1], &got[2], &got[3]), 1u);
        EXPECT_TRUE(std::equal(got, got + 4, expectCard));
    }
}

TEST_F(FpgaTest, BlockOperationsFollowTheStoredBases) {
    EXPECT_EQ(m_fpga->SetRegisterBases(0x90, 0x10, 0x200, 0x300), 1u);
    EXPECT_EQ(m_fpga->SelectNtsc(), 1u);          // A 12
    EXPECT_EQ(m_fpga->SetIicControlBit19(), 1u);  // B 19
    EXPECT_EQ(m_bridge.Writes(), (std::vector<Write>{{0x90, Bit(12)}, {0x10, Bit(19)}}));
}

TEST(FpgaGenericTest, GenericRelaysActOnChannel0Only) {
    card::CGlobalVars globals(0);
    ASSERT_EQ(globals.CreateMutexes(), 1u);
    RegisterFileBridge bridge;
    CFpga fpga(&bridge, &globals);
    EXPECT_EQ(fpga.VideoRelayOn(1), 1u);
    EXPECT_EQ(fpga.AudioRelayOn(3), 1u);
    EXPECT_TRUE(bridge.Writes().empty());
    EXPECT_EQ(fpga.VideoRelayOn(0), 1u);
    EXPECT_EQ(fpga.AudioRelayOn(0), 1u);
    EXPECT_EQ(bridge.Writes(), (std::vector<Write>{{kBlockA, Bit(0)}, {0x6C, Bit(7)}}));
    // The generic level has no sync source on channel 1.
    bridge.ClearLog();
    EXPECT_EQ(fpga.SelectSyncFromChannel1(), 1u);
    EXPECT_TRUE(bridge.Writes().empty());
}

TEST_F(FpgaTest, ControlBit17And18SelectorsTreatUnknownLikeZero) {
    m_bridge.Set(kBlockA, Bit(17));
    EXPECT_EQ(m_fpga->WriteControlBit17(2), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockA), 0u);
    EXPECT_EQ(m_fpga->WriteControlBit17(1), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockA), Bit(18));
    EXPECT_EQ(m_fpga->WriteControlBit18(1), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockA), 0u);
    EXPECT_EQ(m_fpga->WriteControlBit18(5), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockA), Bit(17));
}

TEST_F(FpgaTest, PulsesWriteZeroOneZeroAndStopAtTheFirstFailure) {
    EXPECT_EQ(m_fpga->AcknowledgeInterrupt(), 1u);
    EXPECT_EQ(m_bridge.WritesTo(kBlockA), (std::vector<uint32_t>{0, Bit(21), 0}));
    m_bridge.ClearLog();
    m_bridge.FailReadsOf(kBlockA);
    EXPECT_EQ(m_fpga->PulseControlBit2(), 0u);
    EXPECT_EQ(m_bridge.ReadCount(kBlockA), 1u);
    EXPECT_TRUE(m_bridge.Writes().empty());
}

TEST_F(FpgaTest, CardClockLatchAndReadsHoldTheMutexTogether) {
    m_bridge.Set(0x68, 0x89ABCDEF);
    m_bridge.Set(0x100, 0x12);
    auto other = OtherHolder();
    int readsSeenLocked = 0;
    int reads = 0;
    m_bridge.SetReadHook([&](uint32_t offset, uint32_t) -> std::optional<uint32_t> {
        if (offset == 0x68 || offset == 0x100) {
            ++reads;
            if (!FpgaMutexFreeForOthers(*other)) ++readsSeenLocked;
        }
        return std::nullopt;
    });
    uint64_t clock = 0;
    EXPECT_EQ(m_fpga->ReadCardClock64(&clock), 1u);
    EXPECT_EQ(clock, 0x1289ABCDEFull);
    uint32_t low = 0;
    EXPECT_EQ(m_fpga->ReadCardClock(&low), 1u);
    EXPECT_EQ(low, 0x89ABCDEFu);
    EXPECT_EQ(reads, 3);
    EXPECT_EQ(readsSeenLocked, 3);
    EXPECT_EQ(m_bridge.WritesTo(kBlockA), (std::vector<uint32_t>{0, Bit(22), 0, 0, Bit(22), 0}));
    EXPECT_TRUE(FpgaMutexFreeForOthers(*other));
}

TEST_F(FpgaTest, AbandonedFpgaMutexIsTakenOver) {
    // A holder that dies with the mutex leaves it abandoned; the next
    // read-modify-write owns it all the same and must go on.
    std::thread dying([this] { m_globals.GetFpgaMutex()->Lock(); });
    dying.join();
    EXPECT_EQ(m_fpga->SelectNtsc(), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockA), Bit(12));
    auto other = OtherHolder();
    EXPECT_TRUE(FpgaMutexFreeForOthers(*other));
}

TEST_F(FpgaTest, TwoThreadsWritingBitsOfOneBlockLoseNone) {
    // Two objects over two openings of the named mutex, as two processes
    // would have them, share one register.
    auto otherGlobals = OtherHolder();
    CVelmoraFpga other(&m_bridge, otherGlobals.get());
    m_bridge.YieldInRead(true);
    std::atomic<int> lost{0};
    auto toggle = [&](CFpga& fpga, uint32_t bit) {
        for (int i = 0; i < 400; ++i) {
            uint32_t value = 0;
            fpga.WriteBit(kBlockB, bit, 1);
            if (!fpga.ReadBit(kBlockB, bit, &value) || value != 1) ++lost;
            fpga.WriteBit(kBlockB, bit, 0);
            if (!fpga.ReadBit(kBlockB, bit, &value) || value != 0) ++lost;
        }
        fpga.WriteBit(kBlockB, bit, 1);
    };
    std::thread first([&] { toggle(*m_fpga, 3); });
    std::thread second([&] { toggle(other, 17); });
    first.join();
    second.join();
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(m_bridge.Get(kBlockB), Bit(3) | Bit(17));
}

TEST_F(FpgaTest, LineStrobeWaitsForDoneAndGivesUp) {
    m_bridge.Set(0x60, 0x5);
    m_bridge.Script(0x60, {0x5, 0x5, 0x5, 0x5 | Bit(5)});
    EXPECT_EQ(m_fpga->IicLineStrobe(), 1u);
    EXPECT_EQ(m_bridge.WritesTo(0x60), (std::vector<uint32_t>{0x5 | Bit(3), 0x5}));

    m_bridge.ClearLog();
    const auto start = steady_clock::now();
    EXPECT_EQ(m_fpga->IicLineStrobe(), 0u);
    EXPECT_LT(steady_clock::now() - start, ::velmora::test::kHangBound) << "hang";
    EXPECT_EQ(m_bridge.ReadCount(0x60), 1u + CFpga::kPollTries);
}

TEST_F(FpgaTest, LineOperationsSetTheirBitThenStrobe) {
    // The strobe-done bit reads set whatever was written.
    m_bridge.SetReadHook([](uint32_t offset, uint32_t stored) -> std::optional<uint32_t> {
        if (offset == 0x60) return stored | Bit(5);
        return std::nullopt;
    });
    m_bridge.Set(0x60, Bit(1));
    EXPECT_EQ(m_fpga->SetSdaLevel(1), 1u);
    // Drive SDA (bit 1 := 0), strobe, then level (bit 0 := 1), strobe; every
    // write stores what was read, done bit included.
    const uint32_t d = Bit(5);
    EXPECT_EQ(m_bridge.WritesTo(0x60), (std::vector<uint32_t>{d, d | Bit(3), d, d | Bit(0),
                                                              d | Bit(0) | Bit(3), d | Bit(0)}));
    m_bridge.ClearLog();
    m_bridge.Set(0x60, Bit(4));
    uint32_t level = 0;
    EXPECT_EQ(m_fpga->GetSdaLevel(&level), 1u);
    EXPECT_EQ(level, 1u);
    EXPECT_EQ(m_bridge.WritesTo(0x60).front(), Bit(4) | Bit(5) | Bit(1));
    EXPECT_EQ(m_fpga->SetSclLevel(0), 1u);
    EXPECT_EQ(m_bridge.Get(0x60) & Bit(2), 0u);
}

TEST_F(FpgaTest, ByteEngineCommandsAndWaits) {
    // The engine never echoes commands: it reads idle with the last byte in
    // bits 16 to 23.
    m_bridge.SetReadHook([](uint32_t offset, uint32_t) -> std::optional<uint32_t> {
        if (offset == 0x60) return 0x5A0000;
        return std::nullopt;
    });
    const uint8_t data = 0x34;
    EXPECT_EQ(m_fpga->IicEngineStart(0xA0, 0), 1u);
    EXPECT_EQ(m_fpga->IicEngineStart(0xA0, 1), 1u);
    EXPECT_EQ(m_fpga->IicEngineWriteByte(0xA0, 0x12), 1u);
    EXPECT_EQ(m_fpga->IicEngineWriteByteStop(0xA0, &data), 1u);
    EXPECT_EQ(m_fpga->IicEngineReadStop(0xA1), 1u);
    uint8_t byte = 0;
    EXPECT_EQ(m_fpga->IicEngineReadData(&byte), 1u);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(m_bridge.WritesTo(0x60),
              (std::vector<uint32_t>{0xA091, 0xA191, 0x1211, 0x3451, 0x69}));
    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->IicEngineStart(0xA0, 2), 0u);
    EXPECT_TRUE(m_bridge.Writes().empty());
}

TEST_F(FpgaTest, StuckByteEngineFailsAfterItsPolls) {
    m_bridge.SetReadHook([](uint32_t offset, uint32_t) -> std::optional<uint32_t> {
        if (offset == 0x60) return Bit(9) | Bit(15);
        return std::nullopt;
    });
    // The polls are counted, not timed: a loaded machine takes longer.
    EXPECT_EQ(m_fpga->IicEngineStart(0xA0, 0), 0u);
    EXPECT_EQ(m_bridge.ReadCount(0x60), 1u + CFpga::kPollTries);
    // The second busy bit holds the byte back: nothing is written.
    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->IicEngineWriteByte(0xA0, 0x12), 0u);
    EXPECT_TRUE(m_bridge.Writes().empty());
}

TEST_F(FpgaTest, IndirectAccessPollsDoneAndGivesUp) {
    m_bridge.Set(0x08, 0x1234);
    m_bridge.Script(0x0C, {0, 0, 1});
    uint32_t value = 0;
    EXPECT_EQ(m_fpga->IndirectRead16(0x42, &value), 1u);
    EXPECT_EQ(value, 0x34u);
    const uint32_t data = 0xAB;
    m_bridge.Script(0x0C, {1});
    EXPECT_EQ(m_fpga->IndirectWrite16(0x43, &data), 1u);
    EXPECT_EQ(m_bridge.Writes(),
              (std::vector<Write>{{0x04, 0x42}, {0x00, 2}, {0x04, 0x43}, {0x08, 0xAB}, {0x00, 1}}));

    m_bridge.Set(0x0C, 0);
    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->IndirectRead16(0x42, &value), 0u);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_EQ(m_fpga->IndirectWrite16(0x43, &data), 0u);
    EXPECT_EQ(m_bridge.ReadCount(0x0C), 2u * CFpga::kPollTries);
}

TEST_F(FpgaTest, ScratchTestFailsAtTheFirstMismatch) {
    int reads = 0;
    m_bridge.SetReadHook([&](uint32_t offset, uint32_t stored) -> std::optional<uint32_t> {
        if (offset == 0x50 && ++reads == 7) return stored ^ Bit(12);
        return std::nullopt;
    });
    EXPECT_EQ(m_fpga->TestScratchRegister(), 0u);
    EXPECT_EQ(m_bridge.ReadCount(0x50), 7u);
    EXPECT_EQ(m_bridge.WritesTo(0x50).back(), 0x55AA55AAu);
}

}  // namespace
}  // namespace velmora::hw::testing

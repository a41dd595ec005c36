// This card's sync, relay and source bits and its transport-stream registers.

#include <gtest/gtest.h>

#include <functional>

#include "FpgaTestSupport.h"

namespace velmora::hw::testing {
namespace {

TEST_F(FpgaTest, AsiStatusAndOutputModeFollowTheFpgaVersion) {
    m_bridge.Set(0x16C, 0x00050003);
    uint32_t status = 0;
    m_bridge.Set(0xF0, 0x50102);
    EXPECT_EQ(m_fpga->GetAsiStatus(&status), 1u);
    EXPECT_EQ(status, 0x00050003u);
    EXPECT_EQ(m_fpga->SetAsiOutputMode(1), 1u);
    EXPECT_EQ(m_bridge.Writes(), (std::vector<Write>{{kBlockC, Bit(6)}}));

    m_bridge.ClearLog();
    m_bridge.Set(kBlockC, 0);
    m_bridge.Set(0xF0, 0x50103);
    EXPECT_EQ(m_fpga->GetAsiStatus(&status), 1u);
    EXPECT_EQ(status, 0x5u);
    EXPECT_EQ(m_fpga->SetAsiOutputMode(1), 1u);
    EXPECT_EQ(m_bridge.Writes(), (std::vector<Write>{{0x170, Bit(5)}}));

    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->SetAsiOutputMode(2), 0u);
    EXPECT_EQ(m_fpga->SetAsiPacketLength(2), 0u);
    EXPECT_TRUE(m_bridge.Writes().empty());
    EXPECT_EQ(m_fpga->SetAsiPacketLength(1), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockC), Bit(5));
}

TEST_F(FpgaTest, VideoSourceWritesDependOnTheBoard) {
    m_bridge.Set(0x1C, 0x5100);
    EXPECT_EQ(m_fpga->SelectVideoSource(0, 2), 1u);
    EXPECT_EQ(m_bridge.WritesTo(kBlockB), (std::vector<uint32_t>{Bit(15), Bit(15) | Bit(14)}));

    m_bridge.ClearLog();
    m_bridge.Set(kBlockB, Bit(15) | Bit(14));
    m_bridge.Set(0x1C, 0x5111);
    EXPECT_EQ(m_fpga->SelectVideoSource(1, 2), 1u);
    // Reset B 15, B 14, then B 15 := 1, B 14 := 0.
    EXPECT_EQ(m_bridge.WritesTo(kBlockB), (std::vector<uint32_t>{Bit(14), 0, Bit(15), Bit(15)}));

    m_bridge.Set(0x1C, 0x5110);
    EXPECT_EQ(m_fpga->SelectVideoSource(0, 0), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockB), Bit(14));
    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->SelectVideoSource(0, 3), 0u);
    EXPECT_TRUE(m_bridge.Writes().empty());
}

TEST_F(FpgaTest, AudioSourceBitsAndInvalidSourceLeavesRoutingAlone) {
    m_bridge.Set(0x1C, 0x5110);
    m_bridge.Set(kBlockB, Bit(16));
    EXPECT_EQ(m_fpga->SelectAudioSource(0, 1), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockC), Bit(18));
    EXPECT_EQ(m_bridge.Get(kBlockB), 0u);
    EXPECT_EQ(m_fpga->SelectAudioSource(0, 0), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockC), 0u);
    EXPECT_EQ(m_bridge.Get(kBlockB), Bit(16));

    m_bridge.Set(0x1C, 0x5100);
    m_bridge.Set(kBlockB, 0);
    m_bridge.Set(kBlockC, Bit(18));
    EXPECT_EQ(m_fpga->SelectAudioSource(1, 1), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockB), Bit(16));
    EXPECT_EQ(m_bridge.Get(kBlockC), Bit(18));

    m_bridge.Set(0x1C, 0x5111);
    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->SelectAudioSource(0, 2), 0u);
    EXPECT_TRUE(m_bridge.Writes().empty());
    EXPECT_EQ(m_bridge.Get(kBlockB), Bit(16));
    EXPECT_EQ(m_bridge.Get(kBlockC), Bit(18));
}

TEST_F(FpgaTest, SourceModeZeroSetsAndOneClearsB17) {
    EXPECT_EQ(m_fpga->SelectSourceMode(0), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockB), Bit(17));
    EXPECT_EQ(m_fpga->SelectSourceMode(1), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockB), 0u);
    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->SelectSourceMode(5), 1u);
    EXPECT_TRUE(m_bridge.Writes().empty());
}

TEST_F(FpgaTest, RelaysAndSyncOfThisCard) {
    EXPECT_EQ(m_fpga->VideoRelayOn(0), 1u);
    EXPECT_EQ(m_fpga->VideoRelayOn(1), 1u);
    EXPECT_EQ(m_fpga->AudioRelayOn(0), 1u);
    EXPECT_EQ(m_fpga->AudioRelayOn(1), 1u);
    EXPECT_EQ(m_fpga->VideoRelayOn(2), 1u);
    EXPECT_EQ(m_fpga->AudioRelayOff(5), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockB), Bit(20) | Bit(21) | Bit(22));
    EXPECT_EQ(m_bridge.Get(kBlockA), Bit(0));
    EXPECT_EQ(m_bridge.Get(0x6C), 0u);
    EXPECT_EQ(m_fpga->AudioRelayOff(0), 1u);
    EXPECT_EQ(m_fpga->VideoRelayOff(1), 1u);
    EXPECT_EQ(m_bridge.Get(kBlockB), Bit(20) | Bit(22));
    EXPECT_EQ(m_bridge.Get(kBlockA), 0u);

    struct SyncCase {
        uint32_t (CFpga::*op)();
        uint32_t a4, b12;
    };
    const SyncCase syncs[] = {{&CFpga::SelectSyncFromChannel1, 1, 1},
                              {&CFpga::SelectSyncFromChannel2, 0, 1},
                              {&CFpga::SelectSyncFromChannel0, 1, 0},
                              {&CFpga::SelectInternalSync, 0, 0}};
    for (const SyncCase& sync : syncs) {
        EXPECT_EQ((m_fpga.get()->*sync.op)(), 1u);
        EXPECT_EQ((m_bridge.Get(kBlockA) >> 4) & 1, sync.a4);
        EXPECT_EQ((m_bridge.Get(kBlockB) >> 12) & 1, sync.b12);
    }
    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->SelectSyncFromChannel3(), 1u);
    EXPECT_TRUE(m_bridge.Writes().empty());
}

TEST_F(FpgaTest, OutputParametersAndWordShareOneRegister) {
    EXPECT_EQ(m_fpga->WriteTsOutputParameters(0x12, 0x34), 1u);
    EXPECT_EQ(m_fpga->WriteTsOutputWord(0xABCD), 1u);
    EXPECT_EQ(m_bridge.WritesTo(0x168), (std::vector<uint32_t>{0x00003412, 0xABCD3412}));
}

TEST_F(FpgaTest, OutputWordIsWrittenUnderTheFpgaMutex) {
    auto other = OtherHolder();
    bool freeDuringRead = true;
    m_bridge.SetReadHook([&](uint32_t offset, uint32_t) -> std::optional<uint32_t> {
        if (offset == 0x168) freeDuringRead = FpgaMutexFreeForOthers(*other);
        return std::nullopt;
    });
    EXPECT_EQ(m_fpga->WriteTsOutputWord(0x1111), 1u);
    EXPECT_FALSE(freeDuringRead);
    EXPECT_TRUE(FpgaMutexFreeForOthers(*other));
}

TEST_F(FpgaTest, RecordFlagsOfChannelsZeroAndOne) {
    EXPECT_EQ(m_fpga->SetTsRecordFlag(1), 1u);
    EXPECT_EQ(m_bridge.Get(0x170), Bit(9));
    EXPECT_EQ(m_fpga->SetTsRecordFlag(0), 1u);
    EXPECT_EQ(m_bridge.Get(0x170), Bit(9) | Bit(4));
    EXPECT_EQ(m_fpga->ClearTsRecordFlag(1), 1u);
    EXPECT_EQ(m_bridge.Get(0x170), Bit(4));
    m_bridge.ClearLog();
    EXPECT_EQ(m_fpga->SetTsRecordFlag(7), 0u);
    EXPECT_EQ(m_fpga->ClearTsRecordFlag(12), 0u);
    EXPECT_EQ(m_fpga->SetTsRecordFlag(3), 1u);
    EXPECT_TRUE(m_bridge.Writes().empty());
}

TEST_F(FpgaTest, CodeRateTrackingSetsOnlyForFlagOne) {
    EXPECT_EQ(m_fpga->StartAsiCodeRateTrack(1), 1u);
    EXPECT_EQ(m_bridge.Get(0x170), Bit(6));
    EXPECT_EQ(m_fpga->StartAsiCodeRateTrack(2), 1u);
    EXPECT_EQ(m_bridge.Get(0x170), 0u);
}

TEST_F(FpgaTest, PacketCountersAreLatchedAndReadUnderOneLock) {
    auto other = OtherHolder();
    int unlockedReads = 0;
    m_bridge.SetReadHook([&](uint32_t offset, uint32_t) -> std::optional<uint32_t> {
        if ((offset == 0x54 || offset == 0x58) && FpgaMutexFreeForOthers(*other)) ++unlockedReads;
        return std::nullopt;
    });
    m_bridge.Set(0x54, 1000);
    m_bridge.Set(0x58, 2000);
    uint32_t captured = 0;
    uint32_t sent = 0;
    EXPECT_EQ(m_fpga->ReadTsPacketCounters(&captured, &sent), 1u);
    EXPECT_EQ(captured, 1000u);
    EXPECT_EQ(sent, 2000u);
    EXPECT_EQ(unlockedReads, 0);
    EXPECT_EQ(m_bridge.WritesTo(kBlockA), (std::vector<uint32_t>{0, Bit(22), 0}));
}

TEST_F(FpgaTest, AsiPointersAndCommits) {
    m_bridge.Set(0x204, 0x465440);
    m_bridge.Set(0x250, 0x5FA400);
    uint32_t pointer = 0;
    EXPECT_EQ(m_fpga->ReadTsCaptureStatus(&pointer), 1u);
    EXPECT_EQ(pointer, 0x465440u);
    EXPECT_EQ(m_fpga->ReadTsPlaybackStatus(&pointer), 1u);
    EXPECT_EQ(pointer, 0x5FA400u);
    EXPECT_EQ(m_fpga->StartTsCapture(), 1u);
    EXPECT_EQ(m_fpga->WriteTsCaptureControl(0x465480), 1u);
    EXPECT_EQ(m_fpga->StrobeTsCaptureBuffer(), 1u);
    EXPECT_EQ(m_fpga->WriteTsPlaybackControl(0x5FA440), 1u);
    EXPECT_EQ(m_fpga->StrobeTsPlaybackBuffer(), 1u);
    EXPECT_EQ(m_fpga->StopTsCapture(), 1u);
    EXPECT_EQ(m_bridge.Writes(), (std::vector<Write>{{kBlockC, Bit(4)},
                                                     {0x260, 0x465480},
                                                     {kBlockC, Bit(4)},
                                                     {kBlockC, Bit(4) | Bit(0)},
                                                     {kBlockC, Bit(4)},
                                                     {0x264, 0x5FA440},
                                                     {kBlockC, Bit(4)},
                                                     {kBlockC, Bit(4) | Bit(2)},
                                                     {kBlockC, Bit(4)},
                                                     {kBlockC, 0}}));
}

TEST_F(FpgaTest, StatusWordsAndMonitors) {
    m_bridge.Set(0x14, 0xC0FFEE);
    m_bridge.Set(0x16C, Bit(7));
    m_bridge.Set(0x170, 0x210);
    for (uint32_t k = 0; k < 9; ++k)
        m_bridge.Set(0x380 + 4 * k, 0xA00 + k);
    uint32_t value = 0;
    EXPECT_EQ(m_fpga->ReadCardStatus(&value), 1u);
    EXPECT_EQ(value, 0xC0FFEEu);
    EXPECT_EQ(m_fpga->ReadTsStatusCh0(&value), 1u);
    EXPECT_EQ(value, Bit(7));
    EXPECT_EQ(m_fpga->ReadTsStatusCh1(&value), 1u);
    EXPECT_EQ(value, 0x210u);
    EXPECT_EQ(m_fpga->IsTsOutputStatusBit7Set(&value), 1u);
    EXPECT_EQ(value, 1u);
    CVelmoraFpga& f = *m_fpga;
    const std::function<uint32_t(uint32_t*)> monitors[] = {
        [&](uint32_t* p) { return f.ReadTsMonitor380(p); },
        [&](uint32_t* p) { return f.ReadTsMonitor384(p); },
        [&](uint32_t* p) { return f.ReadTsMonitor388(p); },
        [&](uint32_t* p) { return f.ReadTsMonitor38C(p); },
        [&](uint32_t* p) { return f.ReadTsMonitor390(p); },
        [&](uint32_t* p) { return f.ReadTsMonitor394(p); },
        [&](uint32_t* p) { return f.ReadTsMonitor398(p); },
        [&](uint32_t* p) { return f.ReadTsMonitor39C(p); },
        [&](uint32_t* p) { return f.ReadTsMonitor3A0(p); }};
    for (uint32_t k = 0; k < 9; ++k) {
        EXPECT_EQ(monitors[k](&value), 1u);
        EXPECT_EQ(value, 0xA00 + k);
    }
}

TEST_F(FpgaTest, AudioCodecPinsWriteTheWholeShadow) {
    m_bridge.Set(0x6C, Bit(7) | Bit(1));
    EXPECT_EQ(m_fpga->ReadAudioCodecPins(), 1u);
    EXPECT_EQ(m_fpga->SetAudioCodecPin3(), 1u);
    EXPECT_EQ(m_fpga->ClearAudioCodecPin1(), 1u);
    EXPECT_EQ(m_bridge.WritesTo(0x6C),
              (std::vector<uint32_t>{Bit(7) | Bit(3) | Bit(1), Bit(7) | Bit(3)}));
    // A failed read keeps the shadow rather than taking all ones.
    m_bridge.FailReadsOf(0x6C);
    EXPECT_EQ(m_fpga->ReadAudioCodecPins(), 0u);
    EXPECT_EQ(m_fpga->GetAudioCodecShadow(), Bit(7) | Bit(3));
}

}  // namespace
}  // namespace velmora::hw::testing

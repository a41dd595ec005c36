// The UDA1345TS driver on a simulated 0x5100 card: the L3 lines it drives in
// FPGA register 0x6C, decoded here from the card's register-write log, and
// the codec state the simulated codec rebuilds from them.

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "VideoEncoderTestSupport.h"
#include "av/AudioCodecUda1345ts.h"

namespace velmora::avtest {
namespace {

constexpr uint32_t kPins = 0x6C;
constexpr uint32_t kMode = 1u << 0;
constexpr uint32_t kClock = 1u << 1;
constexpr uint32_t kData = 1u << 2;
constexpr uint32_t kAux = 1u << 3;

// One byte on the L3 lines: clocked in with mode low (an address) or high.
struct L3Byte {
    bool address;
    uint8_t value;
    bool operator==(const L3Byte&) const = default;
};

inline void PrintTo(const L3Byte& b, std::ostream* os) {
    *os << (b.address ? "A " : "D ") << std::hex << "0x" << int(b.value);
}

L3Byte A(uint8_t v) {
    return {true, v};
}
L3Byte D(uint8_t v) {
    return {false, v};
}

// What the lines carried, from the successive words written to 0x6C: bits are
// taken on rising clock edges, least significant first; a change of the mode
// line ends a byte, and a byte cut short is dropped.
struct L3Trace {
    std::vector<L3Byte> bytes;
    std::vector<int> dataAtRisingEdges;
    std::vector<uint32_t> words;
    int dataChangesWithClockHigh = 0;
};

L3Trace DecodePins(const std::vector<sim::RegisterWrite>& log, uint32_t initial = 0) {
    L3Trace trace;
    uint32_t previous = initial;
    uint32_t shift = 0;
    int bits = 0;
    for (const sim::RegisterWrite& w : log) {
        if (w.offset != kPins) continue;
        const uint32_t now = w.value;
        trace.words.push_back(now);
        if ((previous ^ now) & kMode) {
            shift = 0;
            bits = 0;
        }
        if (((previous ^ now) & kData) && (now & kClock)) ++trace.dataChangesWithClockHigh;
        if (!(previous & kClock) && (now & kClock)) {
            const int bit = (now & kData) ? 1 : 0;
            trace.dataAtRisingEdges.push_back(bit);
            shift |= static_cast<uint32_t>(bit) << bits;
            if (++bits == 8) {
                trace.bytes.push_back({(now & kMode) == 0, static_cast<uint8_t>(shift)});
                shift = 0;
                bits = 0;
            }
        }
        previous = now;
    }
    return trace;
}

class AudioCodecUda1345tsTest : public ChipSimCardTest {
  protected:
    AudioCodecUda1345tsTest() : ChipSimCardTest(0x5100) {}

    void SetUp() override {
        ChipSimCardTest::SetUp();
        ASSERT_TRUE(sim::EnableRegisterWriteLog(0, true));
    }

    // The lines since the last call.
    L3Trace Lines() {
        L3Trace trace = DecodePins(sim::RegisterWriteLog(0), m_lastPins);
        if (!trace.words.empty()) m_lastPins = trace.words.back();
        EXPECT_TRUE(sim::ClearRegisterWriteLog(0));
        return trace;
    }

    void ExpectCodec(uint8_t status, std::array<uint8_t, 4> data) {
        const auto regs = sim::AudioCodecRegisters(0);
        ASSERT_TRUE(regs.has_value());
        EXPECT_EQ(regs->status, status);
        EXPECT_EQ(regs->data[0], data[0]);
        EXPECT_EQ(regs->data[1], data[1]);
        EXPECT_EQ(regs->data[2], data[2]);
        EXPECT_EQ(regs->data[3], data[3]);
        EXPECT_EQ(regs->written, 0x1F);
    }

    uint32_t m_lastPins = 0;
};

TEST_F(AudioCodecUda1345tsTest, InitialisationSendsStatusAllDataAndFullVolume) {
    av::CIoCardAudioCodecUda1345ts codec(card.fpga.get());
    EXPECT_EQ(codec.InitCodec(), 1u);

    const L3Trace lines = Lines();
    EXPECT_EQ(lines.bytes, (std::vector<L3Byte>{A(0x16), D(0x21),                             //
                                                A(0x14), D(0x00), D(0x40), D(0x80), D(0xC3),  //
                                                A(0x14), D(0x00)}));
    EXPECT_EQ(lines.dataChangesWithClockHigh, 0);
    // Mode and clock end idle high; the auxiliary line is not touched.
    ASSERT_FALSE(lines.words.empty());
    EXPECT_EQ(lines.words.back() & (kMode | kClock), kMode | kClock);
    for (uint32_t word : lines.words)
        EXPECT_EQ(word & kAux, 0u);

    // The simulated codec took every byte and holds what was sent.
    std::vector<L3Byte> carried;
    for (const sim::SimL3Transfer& t : sim::L3TransferLog(0)) {
        if (t.bits != 8) continue;
        EXPECT_TRUE(t.accepted) << std::hex << int(t.byte);
        carried.push_back({t.address != 0, t.byte});
    }
    EXPECT_EQ(carried, lines.bytes);
    ExpectCodec(0x21, {0x00, 0x40, 0x80, 0xC3});
    EXPECT_EQ(codec.GetStatusShadow(), 0x21);
    EXPECT_EQ(codec.GetDataShadow(0), 0x00);
}

TEST_F(AudioCodecUda1345tsTest, VolumeMuteAndStatusFieldsSendOneRegisterEach) {
    av::CIoCardAudioCodecUda1345ts codec(card.fpga.get());
    ASSERT_EQ(codec.InitCodec(), 1u);
    Lines();

    EXPECT_EQ(codec.MuteOn(), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x14), D(0x84)}));
    ExpectCodec(0x21, {0x00, 0x40, 0x84, 0xC3});
    EXPECT_EQ(codec.MuteOff(), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x14), D(0x80)}));
    ExpectCodec(0x21, {0x00, 0x40, 0x80, 0xC3});

    EXPECT_EQ(codec.SetVolume(0), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x14), D(0x3F)}));
    EXPECT_EQ(codec.SetVolume(200), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x14), D(0x00)}));
    EXPECT_EQ(codec.SetVolume(20), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x14), D(43)}));
    EXPECT_EQ(codec.CloseCodec(), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x14), D(0x3F)}));
    ExpectCodec(0x21, {0x3F, 0x40, 0x80, 0xC3});

    EXPECT_EQ(codec.SetStatusField4(1), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x16), D(0x11)}));
    EXPECT_EQ(codec.SetStatusField1(5), 1u);
    EXPECT_EQ(codec.ClearStatusBit0(), 1u);
    EXPECT_EQ(codec.SetStatusBit0(), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x16), D(0x1B), A(0x16), D(0x1A),  //
                                                  A(0x16), D(0x1B)}));
    ExpectCodec(0x1B, {0x3F, 0x40, 0x80, 0xC3});
}

TEST_F(AudioCodecUda1345tsTest, DataRangesOutsideTheFourRegistersTouchNoLine) {
    av::CIoCardAudioCodecUda1345ts codec(card.fpga.get());
    ASSERT_EQ(codec.InitCodec(), 1u);
    Lines();

    EXPECT_EQ(codec.L3WriteData(0, 0), 0u);
    EXPECT_EQ(codec.L3WriteData(1, 0), 0u);  // an empty range is refused from any start
    EXPECT_EQ(codec.L3WriteData(3, 0), 0u);
    EXPECT_EQ(codec.L3WriteData(2, 3), 0u);
    EXPECT_EQ(codec.L3WriteData(4, 1), 0u);
    EXPECT_EQ(codec.L3WriteData(0, 5), 0u);
    EXPECT_EQ(codec.L3WriteData(0xFFFFFFFFu, 2), 0u);
    EXPECT_EQ(codec.WriteDataField(4, 0, 1, 1), 0u);
    EXPECT_EQ(codec.WriteStatusField(1, 0, 1, 1), 0u);
    EXPECT_TRUE(Lines().words.empty());

    EXPECT_EQ(codec.L3WriteData(3, 1), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x14), D(0xC3)}));
    EXPECT_EQ(codec.L3WriteData(1, 3), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x14), D(0x40), D(0x80), D(0xC3)}));
}

TEST_F(AudioCodecUda1345tsTest, FieldWritesKeepTheRegisterSelectBits) {
    av::CIoCardAudioCodecUda1345ts codec(card.fpga.get());
    // Even before the initialisation a mute goes to data register 2, not to
    // the volume register.
    EXPECT_EQ(codec.MuteOn(), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x14), D(0x84)}));
    EXPECT_EQ(sim::AudioCodecRegisters(0)->data[0], 0x00);
    ASSERT_EQ(codec.InitCodec(), 1u);
    Lines();
    // A field reaching into bits 6..7 must not send the byte to register 3.
    EXPECT_EQ(codec.WriteDataField(1, 4, 4, 0xF), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x14), D(0x70)}));
    EXPECT_EQ(codec.GetDataShadow(1), 0x70);
    // Widths and shifts past the byte are cut off, not undefined.
    EXPECT_EQ(codec.WriteDataField(0, 0, 40, 0xFF), 1u);
    EXPECT_EQ(codec.GetDataShadow(0), 0x3F);
    EXPECT_EQ(codec.WriteDataField(0, 40, 1, 0), 1u);
    EXPECT_EQ(codec.GetDataShadow(0), 0x3F);
}

TEST_F(AudioCodecUda1345tsTest, ByteGoesOutLeastSignificantBitFirst) {
    av::CIoCardAudioCodecUda1345ts codec(card.fpga.get());
    EXPECT_EQ(codec.L3WriteByte(0x16), 1u);
    const L3Trace lines = Lines();
    EXPECT_EQ(lines.dataAtRisingEdges, (std::vector<int>{0, 1, 1, 0, 1, 0, 0, 0}));
    EXPECT_EQ(lines.dataChangesWithClockHigh, 0);
}

TEST_F(AudioCodecUda1345tsTest, DisabledBusFailsEveryTransferWithoutTouchingAPin) {
    av::CIoCardAudioCodecUda1345ts codec(card.fpga.get());
    ASSERT_EQ(codec.InitCodec(), 1u);
    Lines();

    EXPECT_EQ(codec.DisableL3Bus(), 1u);
    EXPECT_EQ(codec.MuteOn(), 0u);
    EXPECT_EQ(codec.SetVolume(10), 0u);
    EXPECT_EQ(codec.SetStatusBit0(), 0u);
    EXPECT_EQ(codec.L3WriteStatus(), 0u);
    EXPECT_EQ(codec.L3WriteData(0, 4), 0u);
    EXPECT_EQ(codec.L3WriteByte(0x55), 0u);
    EXPECT_EQ(codec.L3SendDataAddress(), 0u);
    EXPECT_EQ(codec.L3SendDataByte(0x12), 0u);
    EXPECT_EQ(codec.AuxLineHigh(), 0u);
    EXPECT_EQ(codec.DriveAuxHigh(), 1u);
    EXPECT_EQ(codec.ApplyAuxLine(), 1u);
    EXPECT_TRUE(Lines().words.empty());
    EXPECT_EQ(codec.GetDataShadow(2), 0x80);

    EXPECT_EQ(codec.EnableL3Bus(), 1u);
    EXPECT_EQ(codec.MuteOn(), 1u);
    EXPECT_EQ(Lines().bytes, (std::vector<L3Byte>{A(0x14), D(0x84)}));

    // The auxiliary line, at the level this card gives it.
    const uint32_t before = m_lastPins;
    EXPECT_EQ(before & kAux, 0u);
    EXPECT_EQ(codec.ApplyAuxLine(), 1u);
    EXPECT_EQ(Lines().words, (std::vector<uint32_t>{before | kAux}));
    EXPECT_EQ(codec.LowerAuxLine(), 1u);
    EXPECT_EQ(Lines().words, (std::vector<uint32_t>{before}));
}

TEST(AudioCodecUda1345tsBaseTest, WithoutPinsEverythingSucceedsInTheObjectOnly) {
    av::CAudioCodecUda1345ts codec(0);
    EXPECT_EQ(codec.InitCodec(), 1u);
    EXPECT_EQ(codec.GetStatusShadow(), 0x21);
    EXPECT_EQ(codec.GetDataShadow(3), 0xC3);
    EXPECT_EQ(codec.LowerAuxLine(), 0u);
    EXPECT_EQ(codec.MuteOn(), 1u);
    EXPECT_EQ(codec.GetDataShadow(2), 0x84);

    // A codec whose FPGA object is missing reports failure rather than
    // success.
    av::CIoCardAudioCodecUda1345ts orphan(nullptr);
    EXPECT_EQ(orphan.InitCodec(), 0u);
}

}  // namespace
}  // namespace velmora::avtest

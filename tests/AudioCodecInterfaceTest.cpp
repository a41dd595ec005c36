// The audio input and output interfaces the board-support object holds: the
// 0x5110 card's FPGA-switched input and empty output, and a codec seen
// through both interfaces.

#include <gtest/gtest.h>

#include "VideoEncoderTestSupport.h"
#include "av/AudioCodecUda1345ts.h"
#include "av/AudioDecoder.h"
#include "av/AudioEncoder.h"

namespace velmora::avtest {
namespace {

constexpr uint32_t kBlockB = 0x90;
constexpr uint32_t kSourceModeBit = 1u << 17;

class AudioCodecInterfaceTest : public ChipSimCardTest {
  protected:
    AudioCodecInterfaceTest() : ChipSimCardTest(0x5110) {}

    uint32_t BlockB() { return sim::PeekRegister(0, kBlockB).value_or(0xDEADBEEF); }
};

TEST_F(AudioCodecInterfaceTest, VelmoraInputSwitchesTheFpgaSourceModeBit) {
    av::CVelmoraAudioDecoder decoder(card.fpga.get());
    av::CAudioDecoder& input = decoder;
    EXPECT_EQ(input.SetMode(0), 1u);
    EXPECT_EQ(decoder.GetMode(), 0u);

    ASSERT_TRUE(sim::PokeRegister(0, kBlockB, 0x00000401));
    EXPECT_EQ(input.SelectInput(0), 1u);
    EXPECT_EQ(BlockB(), 0x00000401 | kSourceModeBit);
    EXPECT_EQ(input.SelectInput(1), 1u);
    EXPECT_EQ(BlockB(), 0x00000401u);

    EXPECT_EQ(input.SelectInput(0), 1u);
    ASSERT_TRUE(sim::EnableRegisterWriteLog(0, true));
    EXPECT_EQ(input.SelectInput(2), 1u);
    EXPECT_EQ(input.SelectInput(3), 1u);
    EXPECT_TRUE(sim::RegisterWriteLog(0).empty());
    EXPECT_EQ(BlockB(), 0x00000401 | kSourceModeBit);

    av::CVelmoraAudioDecoder orphan(nullptr);
    EXPECT_EQ(orphan.SelectInput(0), 0u);
}

TEST_F(AudioCodecInterfaceTest, OutputsAndTheCodecsTwoFacesAnswerTheBoard) {
    ASSERT_TRUE(sim::EnableRegisterWriteLog(0, true));
    av::CVelmoraAudioEncoder velmoraOutput(card.fpga.get());
    av::CAudioEncoder& output = velmoraOutput;
    EXPECT_EQ(output.SelectOutput(0), 1u);
    EXPECT_EQ(output.SelectOutput(7), 1u);

    // The board keeps the codec as audio input 0 and its encoder part as
    // audio output 0, and deletes it through the input pointer.
    auto* codec = new av::CIoCardAudioCodecUda1345ts(card.fpga.get());
    av::CAudioDecoder* input = codec;
    av::CAudioEncoder* codecOutput = codec;
    EXPECT_EQ(input->SelectInput(1), 1u);
    EXPECT_EQ(input->SetMode(4), 1u);
    EXPECT_EQ(input->GetMode(), 4u);
    EXPECT_EQ(codecOutput->SelectOutput(1), 1u);
    EXPECT_TRUE(sim::RegisterWriteLog(0).empty());
    delete input;
}

}  // namespace
}  // namespace velmora::avtest

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "RecordTestSupport.h"
#include "record/BitStream.h"
#include "record/IntraDecoder.h"
#include "record/TsAnalysis.h"
#include "record/VideoParser.h"

namespace velmora::record {
namespace {

using test::FixturePath;
using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

using Bytes = std::vector<uint8_t>;

// Composes a stream with the library's bit writer.
class StreamBuilder {
  public:
    StreamBuilder() : m_Bytes(4096, 0) {
        InitBitStream(m_Bytes.data(), uint32_t(m_Bytes.size()), 1);
    }
    StreamBuilder& Bits(uint32_t value, int32_t n) {
        PutBits(value, n);
        return *this;
    }
    StreamBuilder& Code(const char* bits) {
        for (const char* c = bits; *c != 0; ++c)
            PutBits(*c == '1', 1);
        return *this;
    }
    StreamBuilder& Align() {
        while (g_BitStream.position % 8 != 0)
            PutBits(0, 1);
        return *this;
    }
    StreamBuilder& StartCode(uint32_t value) {
        Align();
        return Bits(0x000001, 24).Bits(value, 8);
    }
    StreamBuilder& Sequence(uint32_t width, uint32_t height, uint32_t chroma = 1) {
        StartCode(0xB3).Bits(width, 12).Bits(height, 12).Bits(2, 4).Bits(3, 4);
        Bits(0x3FFFF, 18).Bits(1, 1).Bits(112, 10).Bits(0, 1).Bits(0, 1).Bits(0, 1);
        StartCode(0xB5).Bits(1, 4).Bits(0x48, 8).Bits(1, 1).Bits(chroma, 2).Bits(0, 2).Bits(0, 2);
        return Bits(0, 12).Bits(1, 1).Bits(0, 8).Bits(0, 1).Bits(0, 2).Bits(0, 5);
    }
    StreamBuilder& Picture(uint32_t type) {
        StartCode(0x00).Bits(0, 10).Bits(type, 3).Bits(0xFFFF, 16);
        if (type >= 2) Bits(0, 1).Bits(7, 3);
        if (type == 3) Bits(0, 1).Bits(7, 3);
        Bits(0, 1);
        StartCode(0xB5).Bits(8, 4).Bits(0xFFFF, 16).Bits(0, 2).Bits(3, 2);
        // top_field_first 0, frame_pred_frame_dct 1, then zeros, chroma_420_type and
        // progressive_frame 1, composite_display_flag 0.
        return Bits(0, 1).Bits(1, 1).Bits(0, 5).Bits(1, 1).Bits(1, 1).Bits(0, 1);
    }
    StreamBuilder& Slice(uint32_t code) { return StartCode(code).Bits(8, 5).Bits(0, 1); }
    // An intra macroblock: a luminance DC differential of 3 in block 0 when
    // lumaStep is 3 and a Cb differential of 3 in chroma block cbStepAt (an
    // even index from 2; the Cb predictor carries it to the later Cb
    // blocks), every other differential 0.
    StreamBuilder& Macroblock(const char* increment, const char* type, int lumaStep = 0,
                              uint32_t chromaBlocks = 2, uint32_t cbStepAt = 0) {
        Code(increment).Code(type);
        for (int b = 0; b < 4; ++b) {
            if (b == 0 && lumaStep == 3) {
                Code("01").Code("11");  // size 2, +3
            } else {
                Code("100");
            }
            Code("10");  // end of block
        }
        for (uint32_t b = 0; b < chromaBlocks; ++b) {
            if (b != 0 && b == cbStepAt) {
                Code("10").Code("11");
            } else {
                Code("00");
            }
            Code("10");
        }
        return *this;
    }
    Bytes Finish() {
        StartCode(0xB7);  // sequence end: the zeros before it end the last slice
        Bytes out(m_Bytes.begin(), m_Bytes.begin() + GetBitStreamBytes());
        return out;
    }

  private:
    Bytes m_Bytes;
};

struct Thumbnail {
    Thumbnail(uint32_t width, uint32_t height) : pixels(size_t{width} * height * 3, 7) {
        record.pixels = pixels.data();
        record.maximumWidth = width;
        record.maximumHeight = height;
        record.stride = width * 3;
    }
    const uint8_t* At(uint32_t x, uint32_t y) const {
        return &pixels[(size_t{record.maximumHeight} - y - 1) * record.stride + 3 * x];
    }
    Bytes pixels;
    MPEG_THUMBNAIL record{};
};

void ExpectPixel(const Thumbnail& t, uint32_t x, uint32_t y, uint8_t b, uint8_t g, uint8_t r) {
    const uint8_t* p = t.At(x, y);
    EXPECT_EQ(p[0], b) << x << "," << y;
    EXPECT_EQ(p[1], g) << x << "," << y;
    EXPECT_EQ(p[2], r) << x << "," << y;
}

TEST(IntraDecoderTest, GreyBlocksAndEscapes) {
    const Bytes s = StreamBuilder()
                        .Sequence(720, 576)
                        .Picture(1)
                        .Slice(1)
                        .Macroblock("1", "1", 3)
                        // Two escapes and an increment of 1: 67 macroblocks on,
                        // DC predictors reset.
                        .Macroblock("00000001000000000010001", "1")
                        .Finish();
    Thumbnail t(90, 72);
    MPEG_SEQUENCE_INFO sequence;
    ASSERT_EQ(ParseVideoHeaders(s.data(), int32_t(s.size()), &sequence, &t.record), 1);
    EXPECT_EQ(t.record.pictureValid, 1u);
    EXPECT_EQ(t.record.usedWidth, 90u);
    EXPECT_EQ(t.record.usedHeight, 72u);
    // Y 131 (128 + 3): brighter than grey.
    ExpectPixel(t, 0, 0, 134, 133, 133);
    ExpectPixel(t, 1, 1, 134, 133, 133);
    // Address 67: column 22 of row 1, DC 128 again: 112/219 of full scale.
    ExpectPixel(t, 44, 2, 130, 130, 130);
    ExpectPixel(t, 45, 3, 130, 130, 130);
    ExpectPixel(t, 2, 0, 7, 7, 7);  // never written
}

// Cb blocks lie beside their luminance blocks: in 4:2:2 block 6 under block
// 4; in 4:4:4 blocks 4, 8 over 6, 10.
TEST(IntraDecoderTest, LowerLuminanceBlocksTakeTheirOwnChromaIn422And444) {
    struct Case {
        uint32_t chroma;
        uint32_t blocks;
        uint32_t cbStepAt;
        bool bluer[4];  // luminance blocks 0 to 3
    };
    const Case cases[] = {
        {2, 4, 2, {false, false, true, true}},  // block 6 and on: the lower half
        {3, 8, 4, {false, true, false, true}},  // block 8 and on: the right half
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chroma * 10 + c.cbStepAt);
        const Bytes s = StreamBuilder()
                            .Sequence(720, 576, c.chroma)
                            .Picture(1)
                            .Slice(1)
                            .Macroblock("1", "1", 0, c.blocks, c.cbStepAt)
                            .Finish();
        Thumbnail t(90, 72);
        ASSERT_EQ(ParseVideoHeaders(s.data(), int32_t(s.size()), nullptr, &t.record), 1);
        for (uint32_t b = 0; b < 4; ++b) {
            if (c.bluer[b]) {
                EXPECT_GT(t.At(b & 1, b / 2)[0], 130) << b;
            } else {
                ExpectPixel(t, b & 1, b / 2, 130, 130, 130);
            }
        }
    }
}

TEST(VideoParserTest, LaterPictureDoesNotOverwriteTheIntraThumbnail) {
    const Bytes s = StreamBuilder()
                        .Sequence(720, 576)
                        .Picture(1)
                        .Slice(1)
                        .Macroblock("1", "1")
                        .Picture(2)
                        .Slice(1)
                        .Macroblock("1", "00011", 3)  // an intra macroblock of a P picture
                        .Finish();
    Thumbnail t(90, 72);
    ASSERT_EQ(ParseVideoHeaders(s.data(), int32_t(s.size()), nullptr, &t.record), 1);
    ExpectPixel(t, 0, 0, 130, 130, 130);
}

TEST(VideoParserTest, EndsAtTheStartCodeAfterTheLastRow) {
    const Bytes s = StreamBuilder()
                        .Sequence(720, 576)
                        .Picture(1)
                        .Slice(0x24)
                        .Macroblock("1", "1")
                        .Slice(0x01)  // still handled
                        .Macroblock("1", "1")
                        .Slice(0x02)  // not reached
                        .Macroblock("1", "1")
                        .Finish();
    Thumbnail t(90, 72);
    ASSERT_EQ(ParseVideoHeaders(s.data(), int32_t(s.size()), nullptr, &t.record), 1);
    ExpectPixel(t, 0, 70, 130, 130, 130);
    ExpectPixel(t, 0, 0, 130, 130, 130);
    ExpectPixel(t, 0, 2, 7, 7, 7);
}

TEST(VideoParserTest, ExtensionsOffsetsAndRepeatedSequenceHeaders) {
    StreamBuilder b;
    // A sequence header loading an intra matrix, a sequence extension and a
    // sequence display extension (not handled: it ends the loop).
    b.StartCode(0xB3).Bits(352, 12).Bits(288, 12).Bits(3, 4).Bits(4, 4).Bits(1000, 18).Bits(1, 1);
    b.Bits(50, 10).Bits(0, 1).Bits(1, 1);
    for (int i = 0; i < 64; ++i)
        b.Bits(uint32_t(i + 1), 8);
    b.Bits(0, 1);
    b.StartCode(0xB5).Bits(1, 4).Bits(0x48, 8).Bits(0, 1).Bits(1, 2).Bits(1, 2).Bits(0, 2);
    b.Bits(2, 12).Bits(1, 1).Bits(3, 8).Bits(1, 1).Bits(0, 2).Bits(0, 5);
    b.StartCode(0xB5).Bits(2, 4).Bits(1, 3).Bits(0, 1).Bits(0x5555, 16);
    // A second sequence header without matrices.
    b.StartCode(0xB3).Bits(720, 12).Bits(576, 12).Bits(2, 4).Bits(3, 4).Bits(2000, 18).Bits(1, 1);
    b.Bits(60, 10).Bits(0, 1).Bits(0, 1).Bits(0, 1);
    b.Picture(1);
    // A picture spatial scalable extension with offsets 0x4000 and 5.
    b.StartCode(0xB5).Bits(9, 4).Bits(77, 10).Bits(1, 1).Bits(0x4000, 15).Bits(1, 1).Bits(5, 15);
    b.Bits(2, 2).Bits(1, 1).Bits(0, 1);
    b.StartCode(0xB2).Bits(0x12345678, 32);  // user data: seen again by the outer loop
    const Bytes s = b.Finish();
    MPEG_SEQUENCE_INFO sequence;
    MPEG_PICTURE_INFO picture;
    ASSERT_EQ(ParseVideoHeaders(s.data(), int32_t(s.size()), &sequence, nullptr, &picture), 1);
    EXPECT_EQ(sequence.horizontalSize, 720u);  // the second header's
    EXPECT_EQ(sequence.bitRate, 2000u);
    EXPECT_EQ(sequence.sequenceExtensionId, 1);  // the first header's extension stays
    EXPECT_EQ(sequence.vbvBufferSizeExtension, 3);
    EXPECT_EQ(sequence.flags & kSeqLoadIntraQuantiserMatrix, 0u);
    EXPECT_EQ(sequence.intraQuantiserMatrix[63], 64);  // bytes kept
    EXPECT_EQ(sequence.flags & kSeqLowDelay, kSeqLowDelay);
    EXPECT_EQ(picture.pictureSpatialScalableExtensionId, 9);
    EXPECT_EQ(picture.lowerLayerTemporalReference, 77u);
    EXPECT_EQ(picture.lowerLayerHorizontalOffset, -16384);
    EXPECT_EQ(picture.lowerLayerVerticalOffset, 5);
    EXPECT_EQ(picture.spatialTemporalWeightCodeTableIndex, 2);
    EXPECT_EQ(picture.pictureCodingExtensionId, 8);
}

TEST(VideoParserTest, CutHeadersAndBadInput) {
    const Bytes s =
        StreamBuilder().Sequence(720, 576).Picture(1).Slice(1).Macroblock("1", "1").Finish();
    MPEG_SEQUENCE_INFO sequence;
    // A sequence header cut by the end of the buffer counts as absent; so
    // does a cut picture header. The copies live on the heap, exactly as long
    // as given, so a read past them would show under ASan.
    for (size_t cut : {size_t{6}, size_t{10}, size_t{28}}) {
        const Bytes part(s.begin(), s.begin() + cut);
        EXPECT_EQ(ParseVideoHeaders(part.data(), int32_t(part.size()), &sequence, nullptr), 0);
        if (cut < 12) {
            EXPECT_EQ(sequence.marker, 0u) << cut;
        }
    }
    EXPECT_EQ(ParseVideoHeaders(nullptr, 100, &sequence, nullptr), 0);
    EXPECT_EQ(ParseVideoHeaders(s.data(), 0, &sequence, nullptr), 0);
    EXPECT_EQ(ParseVideoHeaders(s.data(), -5, &sequence, nullptr), 0);
    EXPECT_EQ(sequence.marker, 0u);

    MPEG_PICTURE_INFO picture{};
    picture.pictureCodingType = 1;
    picture.pictureStructure = 3;
    MPEG_SEQUENCE_INFO narrow{};
    narrow.chromaFormat = 1;
    narrow.verticalSize = 16;
    uint8_t slice[8] = {0x40, 0xA0, 0, 0, 0, 0, 0, 0};
    InitBitStream(slice, sizeof(slice), 0);
    EXPECT_FALSE(DecodeIntraPicture(1, 0, nullptr, &narrow, &picture));  // no columns
    narrow.horizontalSize = 16;
    narrow.chromaFormat = 0;
    InitBitStream(slice, sizeof(slice), 0);
    EXPECT_FALSE(DecodeIntraPicture(1, 0, nullptr, &narrow, &picture));
    narrow.chromaFormat = 1;
    narrow.sequenceScalableExtensionId = 5;
    narrow.scalableMode = 2;  // SNR
    InitBitStream(slice, sizeof(slice), 0);
    EXPECT_FALSE(DecodeIntraPicture(1, 0, nullptr, &narrow, &picture));
    EXPECT_FALSE(DecodeIntraPicture(1, 0, nullptr, nullptr, &picture));
    // A non-intra macroblock cannot be followed.
    narrow.sequenceScalableExtensionId = 0;
    picture.pictureCodingType = 2;
    const Bytes p = StreamBuilder().Bits(8, 5).Bits(0, 1).Code("1").Code("1").Bits(0, 32).Finish();
    InitBitStream(const_cast<uint8_t*>(p.data()), uint32_t(p.size()), 0);
    EXPECT_FALSE(DecodeIntraPicture(1, 0, nullptr, &narrow, &picture));
}

TEST(VideoParserTest, Ac3SyncWordAndFirstIntraPicture) {
    Bytes pes = {0, 0, 1, 0xBD, 0, 20, 0x84, 0x80, 5, 0x21, 0, 1, 0, 1, 0x0B, 0x77, 0x12};
    uint32_t sync[3] = {1, 2, 3};
    EXPECT_EQ(FindAc3SyncWord(pes.data(), int32_t(pes.size()), sync, nullptr), 1);
    EXPECT_EQ(sync[0], 0x0B77u);
    EXPECT_EQ(sync[1], 0u);
    pes[14] = 0x0C;
    EXPECT_EQ(FindAc3SyncWord(pes.data(), int32_t(pes.size()), sync, nullptr), 1);
    EXPECT_EQ(sync[0], 0u);
    EXPECT_EQ(FindAc3SyncWord(nullptr, 10, nullptr, nullptr), 1);

    const Bytes ts = ReadWholeFile(FixturePath("ts3_mux.ts"));
    std::vector<uint8_t> pixels(44 * 36 * 3, 0);
    MPEG_THUMBNAIL thumbnail{pixels.data(), 44, 36, 44 * 3, 0, 0, 0, 0, 0};
    ASSERT_EQ(FindFirstIntraPicture(ts.data(), uint32_t(ts.size()), 0x101, &thumbnail), 1);
    EXPECT_EQ(thumbnail.pictureValid, 1u);
    EXPECT_EQ(thumbnail.usedWidth, 44u);
    EXPECT_EQ(thumbnail.usedHeight, 36u);
    EXPECT_EQ(FindFirstIntraPicture(ts.data(), uint32_t(ts.size()), 0x555, &thumbnail), 0);
}

// Seeded random damage to the fixtures through every entry that reads them.
TEST(VideoParserTest, MutatedFixturesAreHandledSafely) {
    const char* streams[] = {"m2v_pal_bframes", "m2v_intra_vlc",  "m2v_yuv422",
                             "m2v_dc11",        "m2v_interlaced", "m2v_tall"};
    std::mt19937 rng(20261207);
    std::vector<uint8_t> pixels(240 * 360 * 3);
    for (int round = 0; round < 360; ++round) {
        Bytes s = ReadWholeFile(FixturePath(std::string(streams[round % 6]) + ".m2v"));
        s.resize(std::min<size_t>(s.size(), 20000 + rng() % 40000));
        for (int k = 0; k < 1 + int(rng() % 20); ++k)
            s[rng() % s.size()] = uint8_t(rng());
        s.resize(s.size() - rng() % 64);
        MPEG_THUMBNAIL thumbnail{pixels.data(), 240, 360, 240 * 3, 0, 0, 0, 0, 0};
        MPEG_SEQUENCE_INFO sequence;
        ParseVideoHeaders(s.data(), int32_t(s.size()), &sequence, &thumbnail);
    }
    const Bytes original = ReadWholeFile(FixturePath("ts3_mux.ts"));
    TempDir dir;
    for (int round = 0; round < 90; ++round) {
        Bytes ts(original.begin(), original.begin() + 188 * (200 + rng() % 600));
        for (int k = 0; k < 1 + int(rng() % 200); ++k)
            ts[rng() % ts.size()] = uint8_t(rng());
        ts.resize(ts.size() - rng() % 188);
        SCAN_PROGRAM_RECORD records[8];
        uint32_t count = 0;
        uint16_t words[3] = {};
        ScanPrograms(ts.data(), int32_t(ts.size()), 8, records, &count, words, nullptr);
        EXPECT_LE(count, 8u);
        MPEG_THUMBNAIL thumbnail{pixels.data(), 44, 36, 44 * 3, 0, 0, 0, 0, 0};
        FindFirstIntraPicture(ts.data(), uint32_t(ts.size()), 0x100 + round % 3, &thumbnail);
        if (round % 5 == 0) {
            const std::string path = dir.File("m.ts");
            WriteWholeFile(path, ts);
            DumpTsFile(path.c_str());
        }
    }
}

}  // namespace
}  // namespace velmora::record

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "RecordTestSupport.h"
#include "record/BitStream.h"
#include "record/Idct.h"
#include "record/IntraDecoder.h"
#include "record/VideoParser.h"

namespace velmora::record {
namespace {

using test::FixturePath;
using test::ReadWholeFile;

using Bytes = std::vector<uint8_t>;

std::map<std::string, uint32_t> HeaderValues(const std::string& name) {
    const Bytes text = ReadWholeFile(FixturePath(name + ".txt"));
    std::istringstream in(std::string(text.begin(), text.end()));
    std::map<std::string, uint32_t> values;
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = std::stoul(line.substr(eq + 1));
    }
    return values;
}

std::vector<size_t> StartCodes(const Bytes& s, uint8_t code) {
    std::vector<size_t> at;
    for (size_t i = 0; i + 3 < s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && s[i + 3] == code) at.push_back(i);
    }
    return at;
}

// One picture of an elementary stream: from the sequence header before it
// (when there is one since the previous picture) up to and including the
// next picture's start code.
struct PictureSpan {
    size_t begin, picture, end;
};

std::vector<PictureSpan> Pictures(const Bytes& s) {
    const auto pictures = StartCodes(s, 0x00);
    const auto sequences = StartCodes(s, 0xB3);
    std::vector<PictureSpan> spans;
    for (size_t i = 0; i < pictures.size(); ++i) {
        size_t begin = pictures[i];
        for (size_t q : sequences) {
            if (q < pictures[i] && (i == 0 || q > pictures[i - 1])) begin = q;
        }
        const size_t end = i + 1 < pictures.size() ? pictures[i + 1] + 4 : s.size();
        spans.push_back({begin, pictures[i], end});
    }
    return spans;
}

// A thumbnail over its own pixels, filled with a colour no decode writes.
struct ParsedThumbnail {
    ParsedThumbnail(uint32_t width, uint32_t height) : pixels(size_t{width} * height * 3, 0) {
        for (size_t i = 0; i < pixels.size(); i += 3)
            pixels[i] = 1, pixels[i + 1] = 2, pixels[i + 2] = 250;
        record.pixels = pixels.data();
        record.maximumWidth = width;
        record.maximumHeight = height;
        record.stride = width * 3;
    }
    const uint8_t* At(uint32_t x, uint32_t y) const {
        return &pixels[(size_t{record.maximumHeight} - y - 1) * record.stride + 3 * x];
    }
    bool Written(uint32_t x, uint32_t y) const {
        const uint8_t* p = At(x, y);
        return !(p[0] == 1 && p[1] == 2 && p[2] == 250);
    }
    Bytes pixels;
    MPEG_THUMBNAIL record{};
};

struct FixtureCase {
    const char* name;
    bool progressive;
};

const FixtureCase kFixtures[] = {
    {"m2v_pal_bframes", true}, {"m2v_ntsc", true},     {"m2v_interlaced", false},
    {"m2v_intra_vlc", true},   {"m2v_alt_scan", true}, {"m2v_nonlinear_q", true},
    {"m2v_matrices", true},    {"m2v_dc9", true},      {"m2v_dc10", true},
    {"m2v_dc11", true},        {"m2v_yuv422", true},   {"m2v_hd1080", true},
    {"m2v_tall", true},
};

// Decodes every slice of one I picture on its own: each must end with true
// at its following start code.
void CheckSlices(const Bytes& s, const PictureSpan& span, const MPEG_SEQUENCE_INFO& sequence,
                 const MPEG_PICTURE_INFO& picture, uint8_t fullDecode, ParsedThumbnail* thumbnail) {
    std::vector<size_t> starts;
    for (size_t i = span.picture + 4; i + 3 < span.end; ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) starts.push_back(i);
    }
    uint32_t slices = 0;
    for (size_t k = 0; k < starts.size(); ++k) {
        const uint8_t code = s[starts[k] + 3];
        if (code < 1 || code > 0xAF) continue;
        ++slices;
        const size_t body = starts[k] + 4;
        InitBitStream(const_cast<uint8_t*>(s.data()) + body, static_cast<uint32_t>(span.end - body),
                      0);
        ASSERT_TRUE(DecodeIntraPicture(code, fullDecode, &thumbnail->record, &sequence, &picture))
            << "slice at " << starts[k];
        const size_t next = k + 1 < starts.size() ? starts[k + 1] : span.end;
        const size_t consumed = body + static_cast<size_t>(GetBitStreamBytes());
        ASSERT_LE(consumed, next);
        for (size_t i = consumed + 1; i < next; ++i)
            ASSERT_EQ(s[i], 0) << "slice at " << starts[k];
    }
    EXPECT_GT(slices, 0u);
}

double MeanAbsoluteDifference(const ParsedThumbnail& t, const uint8_t* reference, uint32_t width,
                              uint32_t height, int channel) {
    double sum = 0;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            sum += std::abs(int(t.At(x, y)[channel]) -
                            int(reference[(size_t{y} * width + x) * 3 + channel]));
        }
    }
    return sum / (double(width) * height);
}

// Headers as made, slices that end where they should, thumbnails near
// ffmpeg's decode and the full mode near the DC mode.
TEST(VideoParserFixtureTest, HeadersSlicesAndThumbnails) {
    idct* const before = GetSelectedIdct();
    ASSERT_TRUE(SelectIdct());
    for (const FixtureCase& fixture : kFixtures) {
        SCOPED_TRACE(fixture.name);
        const Bytes stream = ReadWholeFile(FixturePath(std::string(fixture.name) + ".m2v"));
        const Bytes reference = ReadWholeFile(FixturePath(std::string(fixture.name) + ".bgr"));
        auto values = HeaderValues(fixture.name);
        ASSERT_FALSE(stream.empty());
        const uint32_t width = values["width"] / 8, height = values["height"] / 8;
        const size_t thumbnailBytes = size_t{width} * height * 3;
        uint32_t intraPictures = 0, pictures = 0;
        for (const PictureSpan& span : Pictures(stream)) {
            ++pictures;
            const Bytes buffer(stream.begin() + span.begin, stream.begin() + span.end);
            MPEG_SEQUENCE_INFO sequence;
            MPEG_PICTURE_INFO picture;
            ParsedThumbnail dc(width, height);
            const uint8_t intra = ParseVideoHeaders(buffer.data(), int32_t(buffer.size()),
                                                    &sequence, &dc.record, &picture);
            ASSERT_EQ(picture.marker, 0x100u);
            if (span.begin != span.picture) {
                ASSERT_EQ(sequence.marker, 0x1B3u);
                EXPECT_EQ(sequence.horizontalSize, values["width"]);
                EXPECT_EQ(sequence.verticalSize, values["height"]);
                EXPECT_EQ(sequence.aspectRatioInformation, values["aspect"]);
                EXPECT_EQ(sequence.frameRateCode, values["frame_rate_code"]);
                EXPECT_EQ(sequence.chromaFormat, values["chroma_format"]);
                EXPECT_EQ((sequence.flags & kSeqProgressiveSequence) != 0,
                          values["progressive_sequence"] != 0);
                EXPECT_EQ((sequence.flags & kSeqLoadIntraQuantiserMatrix) != 0,
                          values["load_intra_quantiser_matrix"] != 0);
                EXPECT_EQ((sequence.flags & kSeqLoadNonIntraQuantiserMatrix) != 0,
                          values["load_non_intra_quantiser_matrix"] != 0);
                EXPECT_EQ(dc.record.usedWidth, width);
                EXPECT_EQ(dc.record.usedHeight, height);
                EXPECT_EQ(dc.record.aspect, values["aspect"]);
            }
            EXPECT_EQ(picture.intraDcPrecision, values["intra_dc_precision"]);
            EXPECT_EQ(picture.pictureStructure, values["picture_structure"]);
            EXPECT_EQ((picture.flags & kPicQScaleType) != 0, values["q_scale_type"] != 0);
            EXPECT_EQ((picture.flags & kPicIntraVlcFormat) != 0, values["intra_vlc_format"] != 0);
            EXPECT_EQ((picture.flags & kPicAlternateScan) != 0, values["alternate_scan"] != 0);
            EXPECT_EQ(intra, picture.pictureCodingType == 1 ? 1 : 0);
            if (intra == 0) continue;
            ++intraPictures;
            EXPECT_EQ(dc.record.pictureValid, 1u);
            // Every pixel of the picture came from a decoded macroblock.
            for (uint32_t y = 0; y < height; ++y) {
                for (uint32_t x = 0; x < width; ++x)
                    ASSERT_TRUE(dc.Written(x, y)) << x << "," << y;
            }
            ParsedThumbnail slices(width, height), full(width, height);
            CheckSlices(buffer, {0, span.picture - span.begin, buffer.size()}, sequence, picture, 0,
                        &slices);
            EXPECT_EQ(slices.pixels, dc.pixels);
            CheckSlices(buffer, {0, span.picture - span.begin, buffer.size()}, sequence, picture, 1,
                        &full);
            uint32_t near = 0;
            for (size_t i = 0; i < full.pixels.size(); ++i)
                near += std::abs(full.pixels[i] - dc.pixels[i]) <= 1;
            EXPECT_GE(near, full.pixels.size() * 95 / 100) << "full mode against DC mode";
            if (fixture.progressive) {
                ASSERT_GE(reference.size(), intraPictures * thumbnailBytes);
                const uint8_t* ref = reference.data() + (intraPictures - 1) * thumbnailBytes;
                for (int c = 0; c < 3; ++c) {
                    const double mad = MeanAbsoluteDifference(dc, ref, width, height, c);
                    EXPECT_LE(mad, 3.0) << "channel " << c << " picture " << intraPictures;
                }
            }
        }
        EXPECT_EQ(intraPictures, values["i_pictures"]);
        EXPECT_EQ(pictures, values["pictures"]);
    }
    SetSelectedIdct(before);
}

}  // namespace
}  // namespace velmora::record

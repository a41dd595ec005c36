// Audio-frame measurements and whole-frame effects of the video image helper;
// every frame and buffer lies between guard pages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "GuardedBuffer.h"
#include "av/VideoImageHelper.h"

namespace velmora::test {
namespace {

using av::CVideoImageHelper;
using av::MOSAIC_REGION;
constexpr int kPairs = CVideoImageHelper::kAudioPairs;

// A guarded stereo frame filled pair by pair.
struct AudioFrame {
    template <typename Fill>
    explicit AudioFrame(Fill fill) : bytes(kPairs * 4) {
        for (int i = 0; i < kPairs; ++i)
            fill(i, samples()[2 * i], samples()[2 * i + 1]);
    }
    int16_t* samples() { return bytes.as<int16_t>(); }
    GuardedBuffer bytes;
};

TEST(VideoImageAudioTest, DecibelsAndGains) {
    CVideoImageHelper helper;
    EXPECT_FLOAT_EQ(helper.LevelToDecibels(32767.0f, 0.0f), -100.0f);
    EXPECT_FLOAT_EQ(helper.LevelToDecibels(1000.0f, 1000.0f), 0.0f);
    EXPECT_FLOAT_EQ(helper.LevelToDecibels(1000.0f, 100.0f), -20.0f);
    // No reference: the floor, not NaN or infinity.
    EXPECT_EQ(helper.LevelToDecibels(0.0f, 100.0f), -100.0f);
    EXPECT_EQ(helper.LevelToDecibels(-5.0f, 100.0f), -100.0f);
    EXPECT_FLOAT_EQ(helper.DecibelsToGain(0.0f), 1.0f);
    EXPECT_FLOAT_EQ(helper.DecibelsToGain(-20.0f), 0.1f);

    AudioFrame frame([](int i, int16_t& l, int16_t& r) {
        l = i % 2 ? 30000 : -30000;
        r = static_cast<int16_t>(i - 960);
    });
    ASSERT_EQ(helper.ApplyAudioGain(frame.samples(), 6.0f, -20.0f), 1);
    const float gain = std::pow(10.0f, -20.0f / 20.0f);
    for (int i = 0; i < kPairs; ++i) {
        EXPECT_EQ(frame.samples()[2 * i], i % 2 ? 32767 : -32768);
        EXPECT_EQ(frame.samples()[2 * i + 1], static_cast<int16_t>(std::trunc((i - 960) * gain)));
    }
    // An infinite gain saturates; on silence it gives silence, not a
    // conversion of NaN.
    AudioFrame loud([](int i, int16_t& l, int16_t& r) {
        l = static_cast<int16_t>(i % 3 - 1);
        r = 0;
    });
    ASSERT_EQ(helper.ApplyAudioGain(loud.samples(), INFINITY, INFINITY), 1);
    for (int i = 0; i < kPairs; ++i) {
        EXPECT_EQ(loud.samples()[2 * i], i % 3 == 0 ? -32768 : i % 3 == 1 ? 0 : 32767);
        EXPECT_EQ(loud.samples()[2 * i + 1], 0);
    }
    EXPECT_EQ(helper.ApplyAudioGain(nullptr, 0.0f, 0.0f), 0);
}

TEST(VideoImageAudioTest, LevelsAndPhase) {
    CVideoImageHelper helper;
    AudioFrame square([](int i, int16_t& l, int16_t& r) {
        l = static_cast<int16_t>(500 + (i % 2 ? 1000 : -1000));
        r = static_cast<int16_t>((i * 7919) % 20001 - 10000);
    });
    float left = 0, right = 0;
    ASSERT_EQ(helper.MeasureAudioLevels(square.samples(), 0, &left, &right), 1);
    EXPECT_NEAR(left, 1000.0f, 0.1f);  // squares summed in single precision
    // The model: single precision, summed in sample order.
    float sum = 0, squares = 0;
    for (int i = 0; i < kPairs; ++i)
        sum += square.samples()[2 * i + 1];
    const float mean = sum / kPairs;
    for (int i = 0; i < kPairs; ++i) {
        const float d = square.samples()[2 * i + 1] - mean;
        squares += d * d;
    }
    EXPECT_EQ(right, std::sqrt(squares / kPairs));

    uint32_t inverted = 7;
    AudioFrame opposite([](int i, int16_t& l, int16_t& r) {
        l = static_cast<int16_t>((i * 37) % 2001 - 1000);
        r = static_cast<int16_t>(-l);
    });
    ASSERT_EQ(helper.DetectPhaseInversion(opposite.samples(), &inverted), 1);
    EXPECT_EQ(inverted, 1u);
    AudioFrame same([](int i, int16_t& l, int16_t& r) {
        l = r = static_cast<int16_t>((i * 37) % 2001 - 1000);
    });
    ASSERT_EQ(helper.DetectPhaseInversion(same.samples(), &inverted), 1);
    EXPECT_EQ(inverted, 0u);
    AudioFrame silence([](int, int16_t& l, int16_t& r) { l = r = 0; });
    ASSERT_EQ(helper.DetectPhaseInversion(silence.samples(), &inverted), 1);
    EXPECT_EQ(inverted, 0u);
}

TEST(VideoImageAudioTest, MixModes) {
    CVideoImageHelper helper;
    const auto mix = [&](int16_t l, int16_t r, uint32_t mode, uint32_t flag) {
        AudioFrame frame([&](int, int16_t& left, int16_t& right) {
            left = l;
            right = r;
        });
        EXPECT_EQ(helper.MixAudioChannels(frame.samples(), mode, flag), 1);
        return std::pair<int, int>(frame.samples()[2 * kPairs - 2],
                                   frame.samples()[2 * kPairs - 1]);
    };
    EXPECT_EQ(mix(5, 9, 1, 0), std::make_pair(5, 5));
    EXPECT_EQ(mix(5, 9, 2, 0), std::make_pair(9, 9));
    EXPECT_EQ(mix(3, 0, 3, 0), std::make_pair(2, 2));
    EXPECT_EQ(mix(0, 3, 3, 1), std::make_pair(-1, -1));
    EXPECT_EQ(mix(-32768, -32768, 3, 0), std::make_pair(-32767, -32767));
    // Full-scale opposite samples: their half difference rounds to 32768,
    // which saturates instead of wrapping to -32768.
    EXPECT_EQ(mix(32767, -32768, 3, 1), std::make_pair(32767, 32767));
    EXPECT_EQ(mix(-32768, 32767, 3, 1), std::make_pair(-32767, -32767));
    EXPECT_EQ(mix(5, 9, 4, 0), std::make_pair(5, 9));
}

// Planes, keys and audio frames on odd addresses are read and written byte
// by byte (the undefined-behaviour sanitizer checks the accesses): each
// gives what the same data at an aligned address gives. A group larger than
// any row is accepted without overflowing its byte count.
TEST(VideoImageEffectsTest, OddAddressesAndOversizedGroups) {
    CVideoImageHelper helper;
    // A copy of `bytes` one byte into a guarded buffer.
    const auto oddCopy = [](const std::vector<uint8_t>& bytes) {
        auto buffer = std::make_unique<GuardedBuffer>(bytes.size() + 1);
        std::memcpy(buffer->data() + 1, bytes.data(), bytes.size());
        return buffer;
    };
    AudioFrame frame([](int i, int16_t& left, int16_t& right) {
        left = static_cast<int16_t>((i * 7919) % 20001 - 10000);
        right = static_cast<int16_t>(-left / 2 + i % 13);
    });
    auto odd = oddCopy(frame.bytes.Bytes());
    auto* oddSamples = reinterpret_cast<int16_t*>(odd->data() + 1);
    float levels[4] = {};
    ASSERT_EQ(helper.MeasureAudioLevels(frame.samples(), 0, &levels[0], &levels[1]), 1);
    ASSERT_EQ(helper.MeasureAudioLevels(oddSamples, 0, &levels[2], &levels[3]), 1);
    EXPECT_EQ(levels[0], levels[2]);
    EXPECT_EQ(levels[1], levels[3]);
    uint32_t phase[2] = {2, 2};
    ASSERT_EQ(helper.DetectPhaseInversion(frame.samples(), &phase[0]), 1);
    ASSERT_EQ(helper.DetectPhaseInversion(oddSamples, &phase[1]), 1);
    EXPECT_EQ(phase[0], phase[1]);
    for (int16_t* samples : {frame.samples(), oddSamples}) {
        ASSERT_EQ(helper.MixAudioChannels(samples, 3, 1), 1);
        ASSERT_EQ(helper.ApplyAudioGain(samples, 6.0f, -3.0f), 1);
    }
    EXPECT_EQ(0, std::memcmp(frame.bytes.data(), odd->data() + 1, kPairs * 4));

    // Key planes of a 6 x 4 BGRA image, and the keys of a smoothed YUY2 one.
    constexpr int kW = 6, kH = 4;
    GuardedBuffer image(kW * kH * 4), yuy2(kW * kH * 2), aligned(kW * kH * 4);
    image.FillRandom(40);
    yuy2.FillRandom(41);
    const av::RECT rect{1, 1, 5, 3};
    auto plane = oddCopy(std::vector<uint8_t>(kW * kH * 4, 0));
    ASSERT_EQ(helper.ExtractAlpha16(image.data(), kW, kH, kW * 4, rect, aligned.as<uint16_t>()), 1);
    ASSERT_EQ(helper.ExtractAlpha16(image.data(), kW, kH, kW * 4, rect,
                                    reinterpret_cast<uint16_t*>(plane->data() + 1)),
              1);
    EXPECT_EQ(0, std::memcmp(aligned.data(), plane->data() + 1, 4 * 2 * 2));
    ASSERT_EQ(helper.ExtractAlpha32(image.data(), kW, kH, kW * 4, rect, aligned.as<uint32_t>()), 1);
    ASSERT_EQ(helper.ExtractAlpha32(image.data(), kW, kH, kW * 4, rect,
                                    reinterpret_cast<uint32_t*>(plane->data() + 1)),
              1);
    EXPECT_EQ(0, std::memcmp(aligned.data(), plane->data() + 1, 4 * 2 * 4));
    aligned.Fill(0);
    std::memset(plane->data() + 1, 0, kW * kH * 4);
    ASSERT_EQ(
        helper.StoreAlphaInKeyPlane(image.data(), kW, kH, kW * 4, rect, aligned.as<uint16_t>()), 1);
    ASSERT_EQ(helper.StoreAlphaInKeyPlane(image.data(), kW, kH, kW * 4, rect,
                                          reinterpret_cast<uint16_t*>(plane->data() + 1)),
              1);
    EXPECT_EQ(0, std::memcmp(aligned.data(), plane->data() + 1, kW * kH * 2));
    std::vector<uint8_t> keys(kW * kH * 2);
    for (size_t i = 0; i < keys.size(); i += 2)
        keys[i] = static_cast<uint8_t>(i % 3 == 0 ? 50 : 5);
    auto oddKeys = oddCopy(keys);
    auto smoothed = oddCopy(yuy2.Bytes());
    ASSERT_EQ(helper.SmoothWhereKeyInRange(
                  yuy2.data(), reinterpret_cast<const uint16_t*>(keys.data()), kW, kH, 0, 100, 10),
              1);
    ASSERT_EQ(helper.SmoothWhereKeyInRange(smoothed->data() + 1,
                                           reinterpret_cast<const uint16_t*>(oddKeys->data() + 1),
                                           kW, kH, 0, 100, 10),
              1);
    EXPECT_EQ(0, std::memcmp(yuy2.data(), smoothed->data() + 1, kW * kH * 2));

    GuardedBuffer current(32), reference(32), output(32);
    EXPECT_EQ(helper.UpdateChangedBlocks(current.data(), 0, 2, reference.data(), output.data(), 0,
                                         INT32_MAX),
              1);
}

uint8_t Avg(int a, int b) {
    return static_cast<uint8_t>((a + b + 1) >> 1);
}
uint8_t ModelBlend(int a, int b, int w) {
    return static_cast<uint8_t>((a * w + b * (255 - w)) / 256);
}

// A frame of rows x rowBytes with rows `step` apart.
struct Frame {
    Frame(int r, int bytes, int s, uint32_t seed)
        : rows(r), rowBytes(bytes), step(s), data(size_t(s) * (r - 1) + bytes) {
        data.FillRandom(seed);
    }
    uint8_t* row(int r) { return data.data() + size_t(r) * step; }
    std::vector<uint8_t> Row(int r) { return {row(r), row(r) + rowBytes}; }
    int rows, rowBytes, step;
    GuardedBuffer data;
};

TEST(VideoImageEffectsTest, DeinterlaceAndInterpolate) {
    CVideoImageHelper helper;
    {
        Frame src(3, 16, 16, 1), dst(3, 16, 16, 2);
        for (int r = 0; r < 3; ++r)
            std::memset(src.row(r), r == 1 ? 255 : 0, 16);
        ASSERT_EQ(helper.DeinterlaceBlend(dst.row(0), src.row(0), 16, 16, 16, 3), 1);
        EXPECT_EQ(dst.Row(0), std::vector<uint8_t>(16, 0));
        EXPECT_EQ(dst.Row(1), std::vector<uint8_t>(16, 128));
        EXPECT_EQ(dst.Row(2), std::vector<uint8_t>(16, 0));
    }
    Frame src(8, 48, 64, 3), dst(8, 48, 80, 4);
    ASSERT_EQ(helper.DeinterlaceBlend(dst.row(0), src.row(0), 64, 80, 48, 8), 1);
    for (int r = 0; r < 8; ++r)
        for (int i = 0; i < 48; ++i) {
            const uint8_t expected =
                r == 0 || r == 7 ? src.row(r)[i]
                                 : Avg(Avg(src.row(r - 1)[i], src.row(r + 1)[i]), src.row(r)[i]);
            ASSERT_EQ(dst.row(r)[i], expected) << r << "," << i;
        }
    const auto before = dst.data.Bytes();
    EXPECT_EQ(helper.DeinterlaceBlend(dst.row(0), src.row(0), 64, 80, 48, 2), 0);
    EXPECT_EQ(helper.DeinterlaceBlend(dst.row(0), src.row(0), 64, 80, 40, 8), 0);
    EXPECT_EQ(helper.DeinterlaceBlend(dst.row(0), src.row(0), 56, 80, 48, 8), 0);
    EXPECT_TRUE(dst.data.Bytes() == before);

    // Field 1 keeps the even rows and the last, field 2 row 0 and the odd
    // rows; the others are averages of the field lines around them.
    for (const int field : {1, 2}) {
        ASSERT_EQ(helper.InterpolateField(dst.row(0), src.row(0), 64, 80, field, 48, 8), 1);
        for (int r = 0; r < 8; ++r) {
            const bool own = (r % 2 == field - 1) || r == 0 || r == 7;
            for (int i = 0; i < 48; ++i) {
                const uint8_t expected =
                    own ? src.row(r)[i] : Avg(src.row(r - 1)[i], src.row(r + 1)[i]);
                ASSERT_EQ(dst.row(r)[i], expected) << "field " << field << " row " << r;
            }
        }
    }
    // Bottom-up frames (negative steps): the same rows, counted from the
    // buffers' last rows.
    for (const int field : {1, 2}) {
        ASSERT_EQ(helper.InterpolateField(dst.row(7), src.row(7), -64, -80, field, 48, 8), 1);
        for (int v = 0; v < 8; ++v) {
            const bool own = (v % 2 == field - 1) || v == 0 || v == 7;
            for (int i = 0; i < 48; ++i) {
                const uint8_t expected =
                    own ? src.row(7 - v)[i] : Avg(src.row(8 - v)[i], src.row(6 - v)[i]);
                ASSERT_EQ(dst.row(7 - v)[i], expected) << "bottom-up field " << field << " " << v;
            }
        }
    }
    // Field 2 of an odd frame ends on its last odd row and leaves the last
    // row; field 1 would copy a row past both frames.
    {
        Frame src7(7, 48, 64, 5), dst7(7, 48, 80, 6);
        const auto last = dst7.Row(6);
        ASSERT_EQ(helper.InterpolateField(dst7.row(0), src7.row(0), 64, 80, 2, 48, 7), 1);
        for (int r = 0; r < 6; ++r) {
            for (int i = 0; i < 48; ++i) {
                const uint8_t expected = r % 2 == 1 || r == 0
                                             ? src7.row(r)[i]
                                             : Avg(src7.row(r - 1)[i], src7.row(r + 1)[i]);
                ASSERT_EQ(dst7.row(r)[i], expected) << "odd frame, row " << r;
            }
        }
        EXPECT_EQ(dst7.Row(6), last);
        EXPECT_EQ(helper.InterpolateField(dst7.row(0), src7.row(0), 64, 80, 2, 48, 1), 0);
    }
    const auto interpolated = dst.data.Bytes();
    EXPECT_EQ(helper.InterpolateField(dst.row(0), src.row(0), 64, 80, 1, 48, 7), 0);
    EXPECT_EQ(helper.InterpolateField(dst.row(0), src.row(0), 64, 80, 3, 48, 8), 0);
    EXPECT_EQ(helper.InterpolateField(dst.row(0), src.row(0), 64, 80, 1, 48, 0), 0);
    EXPECT_TRUE(dst.data.Bytes() == interpolated);
}

TEST(VideoImageEffectsTest, BlendsByWeight) {
    CVideoImageHelper helper;
    Frame a(6, 32, 48, 10), b(6, 32, 48, 11), dst(6, 32, 64, 12);
    std::memset(b.row(0), 0, 32);
    ASSERT_EQ(helper.BlendFrames(dst.row(0), a.row(0), b.row(0), 0, 255, 48, 64, 32, 6), 1);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(dst.row(0)[i], a.row(0)[i] ? a.row(0)[i] - 1 : 0);
    ASSERT_EQ(helper.BlendFrames(dst.row(0), a.row(0), b.row(0), 0, 0, 48, 64, 32, 6), 1);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(dst.row(1)[i], b.row(1)[i] * 255 / 256);

    for (const int mode : {1, 2}) {
        const auto before = dst.data.Bytes();
        ASSERT_EQ(helper.BlendFrames(dst.row(0), a.row(0), b.row(0), mode, 77, 48, 64, 32, 6), 1);
        for (int r = 0; r < 6; ++r)
            for (int i = 0; i < 32; ++i) {
                const bool done = r % 2 == mode - 1;
                ASSERT_EQ(dst.row(r)[i], done ? ModelBlend(a.row(r)[i], b.row(r)[i], 77)
                                              : before[size_t(r) * 64 + i]);
            }
    }
    // A weight above 255, an odd row count or another mode: nothing done.
    const auto before = dst.data.Bytes();
    EXPECT_EQ(helper.BlendFrames(dst.row(0), a.row(0), b.row(0), 0, 256, 48, 64, 32, 6), 0);
    EXPECT_EQ(helper.BlendFrames(dst.row(0), a.row(0), b.row(0), 0, 9, 48, 64, 32, 5), 0);
    EXPECT_EQ(helper.BlendFrames(dst.row(0), a.row(0), b.row(0), 3, 9, 48, 64, 32, 6), 0);
    EXPECT_EQ(helper.BlendImages(dst.row(0), a.row(0), b.row(0), -1, 48, 64, 16, 6), 0);
    EXPECT_EQ(helper.BlendImages(dst.row(0), a.row(0), b.row(0), 256, 48, 64, 16, 6), 0);
    EXPECT_EQ(helper.BlendImages(dst.row(0), a.row(0), nullptr, 9, 48, 64, 16, 6), 0);
    EXPECT_TRUE(dst.data.Bytes() == before);
    ASSERT_EQ(helper.BlendImages(dst.row(0), a.row(0), b.row(0), 200, 48, 64, 16, 6), 1);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(dst.row(5)[i], ModelBlend(a.row(5)[i], b.row(5)[i], 200));

    // Cross-fade: field 2 of A against field 1 of B (order set), then blended.
    Frame fieldA(6, 32, 48, 13), fieldB(6, 32, 48, 14), interpA(6, 32, 48, 15),
        interpB(6, 32, 48, 16);
    ASSERT_EQ(helper.InterpolateField(interpA.row(0), a.row(0), 48, 48, 2, 32, 6), 1);
    ASSERT_EQ(helper.InterpolateField(interpB.row(0), b.row(0), 48, 48, 1, 32, 6), 1);
    ASSERT_EQ(helper.CrossFadeFields(dst.row(0), a.row(0), b.row(0), fieldA.row(0), fieldB.row(0),
                                     1, 90, 48, 64, 16, 6),
              1);
    for (int r = 0; r < 6; ++r) {
        EXPECT_EQ(fieldA.Row(r), interpA.Row(r));
        EXPECT_EQ(fieldB.Row(r), interpB.Row(r));
    }
    for (int r = 0; r < 6; ++r)
        for (int i = 0; i < 32; ++i)
            ASSERT_EQ(dst.row(r)[i], ModelBlend(interpA.row(r)[i], interpB.row(r)[i], 90));
    EXPECT_EQ(helper.CrossFadeFields(dst.row(0), a.row(0), b.row(0), fieldA.row(0), fieldB.row(0),
                                     1, 256, 48, 64, 16, 6),
              0);
}

TEST(VideoImageEffectsTest, WeaveUpdateAndCopyRows) {
    CVideoImageHelper helper;
    Frame a(5, 32, 32, 20), b(5, 32, 32, 21), dst(5, 32, 48, 22);
    ASSERT_EQ(helper.WeaveFrames(dst.row(0), a.row(0), b.row(0), 32, 48, 32, 5), 1);
    for (int r = 0; r < 5; ++r)
        EXPECT_EQ(dst.Row(r), (r % 2 ? b : a).Row(r));
    EXPECT_EQ(helper.WeaveFrames(dst.row(0), a.row(0), nullptr, 32, 48, 32, 5), 0);

    // Rows rowBytes apart in all three images.
    GuardedBuffer current(4 * 64), reference(4 * 64), output(4 * 64);
    current.FillRandom(23);
    reference.Assign(current.Bytes());
    output.Fill(0);
    ASSERT_EQ(
        helper.UpdateChangedBlocks(current.data(), 64, 4, reference.data(), output.data(), 0, 2),
        1);
    EXPECT_EQ(output.Bytes(), std::vector<uint8_t>(256, 0));
    current.data()[64 + 40] ^= 1;  // row 1, second group of 32 bytes
    current.data()[128 + 3] ^= 1;  // row 2, first group
    ASSERT_EQ(
        helper.UpdateChangedBlocks(current.data(), 64, 4, reference.data(), output.data(), 2, 2),
        1);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(output.data()[i], i >= 96 && i < 128 ? current.data()[i] : 0) << i;
    EXPECT_NE(reference.data()[128 + 3], current.data()[128 + 3]) << "row 2 is not in field 2";
    ASSERT_EQ(
        helper.UpdateChangedBlocks(current.data(), 64, 4, reference.data(), output.data(), 1, 4),
        1);
    EXPECT_EQ(reference.Bytes(), current.Bytes());
    EXPECT_EQ(
        helper.UpdateChangedBlocks(current.data(), 64, 4, reference.data(), output.data(), 0, 0),
        0);
    EXPECT_EQ(
        helper.UpdateChangedBlocks(current.data(), 64, 4, reference.data(), output.data(), 0, 3),
        0);
    EXPECT_EQ(
        helper.UpdateChangedBlocks(current.data(), 64, 3, reference.data(), output.data(), 0, 1),
        0);

    Frame wide(3, 4 * 7, 36, 24), copy(3, 4 * 7, 44, 25);
    ASSERT_EQ(helper.CopyRows32(copy.row(0), 44, wide.row(0), 36, 7, 3), 1);
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(copy.Row(r), wide.Row(r));
    EXPECT_EQ(helper.CopyRows32(copy.row(0), 44, wide.row(0), 36, -1, 3), 0);
}

TEST(VideoImageEffectsTest, Mosaic) {
    CVideoImageHelper helper;
    constexpr int kW = 20, kH = 9, kStep = 2 * kW;
    GuardedBuffer image(kStep * kH);
    image.FillRandom(30);
    const auto original = image.Bytes();
    const MOSAIC_REGION ones{1, 7, 3, 17, 1, 1};
    ASSERT_EQ(helper.MosaicRegions(image.data(), kStep, &ones, 1), 1);
    EXPECT_EQ(image.Bytes(), original);

    // Left 3 becomes 2, width 16 (15 + 1, kept even), block width 5 becomes
    // 4: four blocks of 4 x 3 in rows 1 to 6, each from its cell (row + 1,
    // column + 2); the last band of one row samples itself.
    const MOSAIC_REGION region{1, 7, 3, 17, 5, 3};
    ASSERT_EQ(helper.MosaicRegions(image.data(), kStep, &region, 1), 1);
    for (int r = 0; r < kH; ++r)
        for (int c = 0; c < kW; ++c) {
            const uint8_t* cell = image.data() + r * kStep + 2 * c;
            const uint8_t* old = original.data() + r * kStep + 2 * c;
            if (r < 1 || r > 7 || c < 2 || c >= 18) {
                EXPECT_TRUE(cell[0] == old[0] && cell[1] == old[1]) << r << "," << c;
                continue;
            }
            const int sampleRow = r < 7 ? 1 + (r - 1) / 3 * 3 + 1 : 7;
            const int sampleColumn = 2 + (c - 2) / 4 * 4 + 2;
            const uint8_t* sample = original.data() + sampleRow * kStep + 2 * sampleColumn;
            EXPECT_EQ(cell[0], sample[0]) << r << "," << c;
            EXPECT_EQ(cell[1], sample[c % 2 ? 3 : 1]) << r << "," << c;
        }

    // A band of more blocks than the old fixed cache held.
    constexpr int kWide = 4200;
    GuardedBuffer wide(2 * kWide * 2);
    wide.FillRandom(31);
    const auto wideBefore = wide.Bytes();
    const MOSAIC_REGION many{0, 1, 0, kWide - 1, 2, 2};
    ASSERT_EQ(helper.MosaicRegions(wide.data(), 2 * kWide, &many, 1), 1);
    for (int c = 0; c < kWide; ++c) {
        const uint8_t* sample = wideBefore.data() + 2 * kWide + 4 * (c / 2);
        EXPECT_EQ(wide.data()[2 * c], sample[0]);
        EXPECT_EQ(wide.data()[2 * kWide + 2 * c + 1], sample[c % 2 ? 3 : 1]);
    }

    // A region without width ends the call; the earlier region stays done.
    const MOSAIC_REGION pair[2] = {{0, 1, 0, 3, 2, 2}, {0, 1, 5, 3, 2, 2}};
    wide.Assign(wideBefore);
    EXPECT_EQ(helper.MosaicRegions(wide.data(), 2 * kWide, pair, 2), 0);
    EXPECT_NE(wide.Bytes(), wideBefore);
    const MOSAIC_REGION zeroBlock{0, 1, 0, 3, 0, 2};
    EXPECT_EQ(helper.MosaicRegions(wide.data(), 2 * kWide, &zeroBlock, 1), 0);
    EXPECT_EQ(helper.MosaicRegions(wide.data(), 2 * kWide, pair, 0), 1);
}

TEST(VideoImageEffectsTest, SafeAreaBorder) {
    CVideoImageHelper helper;
    constexpr int kW = 720, kH = 576;
    GuardedBuffer frame(kW * kH * 2);
    frame.Fill(0);
    const uint32_t fill = 0x80EB80EB;  // Y 235, U 128, Y 235, V 128
    ASSERT_EQ(helper.DrawSafeAreaBorder(frame.data(), kW, kH, fill, 3, 10), 1);
    // Insets 72 and 57, inner 576 x 462, thickness 4.
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const bool inner = y >= 57 && y < 57 + 462 && x >= 72 && x < 72 + 576;
            const bool band = y < 57 + 4 || y >= 57 + 462 - 4 || x < 72 + 4 || x >= 72 + 576 - 4;
            const uint8_t* cell = frame.data() + (y * kW + x) * 2;
            const bool drawn = inner && band;
            ASSERT_EQ(cell[0], drawn ? 0xEB : 0) << y << "," << x;
            ASSERT_EQ(cell[1], drawn ? 0x80 : 0) << y << "," << x;
        }
    // Insets past the middle, or a border wider than the area on a row
    // between the bands, would be drawn outside the frame.
    GuardedBuffer small(16 * 8 * 2), tall(16 * 40 * 2);
    small.Fill(0);
    tall.Fill(0);
    EXPECT_EQ(helper.DrawSafeAreaBorder(small.data(), 16, 8, fill, 2, 51), 0);
    EXPECT_EQ(helper.DrawSafeAreaBorder(small.data(), 16, 8, fill, 2, 200), 0);
    EXPECT_EQ(helper.DrawSafeAreaBorder(tall.data(), 16, 40, fill, 13, 10), 0);
    EXPECT_EQ(helper.DrawSafeAreaBorder(small.data(), 721, 8, fill, 2, 10), 0);
    EXPECT_EQ(small.Bytes(), std::vector<uint8_t>(small.size(), 0));
    EXPECT_EQ(tall.Bytes(), std::vector<uint8_t>(tall.size(), 0));
    // With no row between the bands every row of the area is a band row,
    // filled over the inner width whatever the border: 720 x 576 at 45 %
    // with thickness 100 is a 72 x 58 block at (324, 259).
    for (const uint32_t thickness : {100u, 0xFFFFFFFFu}) {
        frame.Fill(0);
        ASSERT_EQ(helper.DrawSafeAreaBorder(frame.data(), kW, kH, fill, thickness, 45), 1);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const bool drawn = y >= 259 && y < 259 + 58 && x >= 324 && x < 324 + 72;
                ASSERT_EQ(frame.data()[(y * kW + x) * 2], drawn ? 0xEB : 0) << y << "," << x;
            }
    }
    // An odd width at 0 % would make the area one pixel wider than a row.
    GuardedBuffer odd(15 * 4 * 2);
    odd.Fill(0);
    EXPECT_EQ(helper.DrawSafeAreaBorder(odd.data(), 15, 4, fill, 2, 0), 0);
    EXPECT_EQ(helper.DrawSafeAreaBorder(small.data(), 16, 8, fill, 16, 0), 1);
}

}  // namespace
}  // namespace velmora::test

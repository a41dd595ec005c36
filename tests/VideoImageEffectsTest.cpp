// Audio-frame measurements and whole-frame effects of the video image helper;
// every frame and buffer lies between guard pages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
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
// by byte (the undefined-behaviour sanitizer checks the accesses) and end as
// at an aligned address. A group larger than any row does not overflow.
TEST(VideoImageEffectsTest, OddAddressesAndOversizedGroups) {
    CVideoImageHelper helper;
    constexpr size_t kBytes = kPairs * 4;
    // Runs a call on the same random bytes at an aligned and an odd address.
    const auto alike = [](const std::function<void(uint8_t*)>& call) {
        GuardedBuffer aligned(2 * kBytes, GuardedBuffer::Edge::Start),
            odd(2 * kBytes + 1, GuardedBuffer::Edge::Start);
        aligned.FillRandom(9);
        std::memcpy(odd.data() + 1, aligned.data(), 2 * kBytes);
        call(aligned.data());
        call(odd.data() + 1);
        return std::memcmp(aligned.data(), odd.data() + 1, 2 * kBytes) == 0;
    };
    EXPECT_TRUE(alike([&](uint8_t* p) {
        auto* samples = reinterpret_cast<int16_t*>(p);
        helper.MixAudioChannels(samples, 3, 1);
        helper.ApplyAudioGain(samples, 6.0f, -3.0f);
        float levels[2] = {};
        uint32_t phase = 2;
        helper.MeasureAudioLevels(samples, 0, &levels[0], &levels[1]);
        helper.DetectPhaseInversion(samples, &phase);
        std::memcpy(p + kBytes, levels, sizeof(levels));
        std::memcpy(p + kBytes + sizeof(levels), &phase, sizeof(phase));
    }));
    const av::RECT rect{1, 1, 5, 3};
    EXPECT_TRUE(alike([&](uint8_t* p) {
        helper.ExtractAlpha16(p, 6, 4, 24, rect, reinterpret_cast<uint16_t*>(p + kBytes));
        helper.ExtractAlpha32(p, 6, 4, 24, rect, reinterpret_cast<uint32_t*>(p + kBytes + 64));
        helper.StoreAlphaInKeyPlane(p, 6, 4, 24, rect,
                                    reinterpret_cast<uint16_t*>(p + kBytes + 128));
        helper.SmoothWhereKeyInRange(p + 256, reinterpret_cast<uint16_t*>(p + kBytes + 256), 6, 4,
                                     0, 0xFFFF, 0);
    }));
    GuardedBuffer rows(32);
    EXPECT_EQ(helper.UpdateChangedBlocks(rows.data(), 0, 2, rows.data(), rows.data(), 0, INT32_MAX),
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
    // Field 2 of an odd frame is the even frame's first rows; its last row
    // stays.
    {
        ASSERT_EQ(helper.InterpolateField(dst.row(0), src.row(0), 64, 80, 2, 48, 8), 1);
        Frame odd(7, 48, 80, 6);
        const auto last = odd.Row(6);
        ASSERT_EQ(helper.InterpolateField(odd.row(0), src.row(0), 64, 80, 2, 48, 7), 1);
        for (int r = 0; r < 6; ++r)
            EXPECT_EQ(odd.Row(r), dst.Row(r)) << r;
        EXPECT_EQ(odd.Row(6), last);
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
    // Insets past the middle (rows from 16 to 8 - 16 - 1, unsigned), or a
    // border whose left block on a row between the bands runs past the row's
    // end, would be drawn outside the frame; insets just past the middle
    // leave no row to draw.
    GuardedBuffer small(16 * 8 * 2), tall(16 * 48 * 2);
    small.Fill(0);
    tall.Fill(0);
    EXPECT_EQ(helper.DrawSafeAreaBorder(small.data(), 16, 8, fill, 2, 51), 1);
    EXPECT_EQ(helper.DrawSafeAreaBorder(small.data(), 16, 8, fill, 2, 200), 0);
    EXPECT_EQ(helper.DrawSafeAreaBorder(tall.data(), 16, 48, fill, 15, 10), 0);
    EXPECT_EQ(helper.DrawSafeAreaBorder(small.data(), 721, 8, fill, 2, 10), 0);
    EXPECT_EQ(small.Bytes(), std::vector<uint8_t>(small.size(), 0));
    EXPECT_EQ(tall.Bytes(), std::vector<uint8_t>(tall.size(), 0));
    // With no row between the bands every row of the area is a band row,
    // filled over the inner width whatever the border: 720 x 576 at 45 %
    // with thickness 100 is a 72 x 58 block at (324, 259).
    frame.Fill(0);
    ASSERT_EQ(helper.DrawSafeAreaBorder(frame.data(), kW, kH, fill, 100, 45), 1);
    EXPECT_EQ(frame.data()[(259 * kW + 324) * 2], 0xEB);
    EXPECT_EQ(frame.data()[((259 + 57) * kW + 324 + 71) * 2], 0xEB);
    EXPECT_EQ(frame.data()[((259 + 30) * kW + 324 + 30) * 2], 0xEB);
    EXPECT_EQ(frame.data()[((259 + 58) * kW + 324) * 2], 0);
    EXPECT_EQ(frame.data()[(259 * kW + 324 + 72) * 2], 0);
    // An odd width at 0 % would make the area one pixel wider than a row.
    GuardedBuffer odd(15 * 4 * 2);
    odd.Fill(0);
    EXPECT_EQ(helper.DrawSafeAreaBorder(odd.data(), 15, 4, fill, 2, 0), 0);
    EXPECT_EQ(helper.DrawSafeAreaBorder(small.data(), 16, 8, fill, 16, 0), 1);
    // Only band rows: any border fills the area (inner width 12, all 8 rows);
    // a thickness of 0xFFFFFFFF is raised to even as no border at all.
    EXPECT_EQ(helper.DrawSafeAreaBorder(small.data(), 16, 8, fill, 13, 10), 1);
    EXPECT_EQ(helper.DrawSafeAreaBorder(small.data(), 16, 8, fill, 0xFFFFFFFF, 10), 1);
    // A border of no thickness draws nothing, also at the frame's top row.
    const uint32_t noBorders[][4] = {
        {720, 576, 0, 0}, {720, 99, 0, 1}, {720, 576, 0xFFFFFFFF, 0}, {16, 8, 0, 10}};
    for (const auto& [width, height, thickness, percent] : noBorders) {
        GuardedBuffer image(size_t{width} * height * 2);
        image.Fill(0);
        EXPECT_EQ(helper.DrawSafeAreaBorder(image.data(), width, height, fill, thickness, percent),
                  1);
        EXPECT_EQ(image.Bytes(), std::vector<uint8_t>(image.size(), 0)) << width << "x" << height;
    }
    // A border wider than the area still fits each row between the bands:
    // the right block starts left of the area and overlaps the left one, so
    // such a row is drawn over [first, last) only.
    struct WideBorder {
        uint32_t width, height, thickness, percent, row, first, last;
    };
    const WideBorder wideBorders[] = {
        {16, 40, 13, 10, 20, 0, 16},        // insetX 2, inner 12, border 14
        {200, 576, 42, 40, 288, 78, 122},   // insetX 80, inner 40
        {143, 512, 100, 24, 256, 10, 134},  // insetX 34, inner 76
    };
    for (const WideBorder& c : wideBorders) {
        GuardedBuffer image(size_t{c.width} * c.height * 2);
        image.Fill(0);
        ASSERT_EQ(helper.DrawSafeAreaBorder(image.data(), c.width, c.height, fill, c.thickness,
                                            c.percent),
                  1)
            << c.width << "x" << c.height;
        const uint8_t* row = image.data() + size_t{c.row} * c.width * 2;
        for (uint32_t x = 0; x < c.width; ++x) {
            const bool drawn = x >= c.first && x < c.last;
            ASSERT_EQ(row[2 * x], drawn ? 0xEB : 0) << c.width << "x" << c.height << " x " << x;
            ASSERT_EQ(row[2 * x + 1], drawn ? 0x80 : 0) << c.width << "x" << c.height << " x " << x;
        }
    }
}

}  // namespace
}  // namespace velmora::test

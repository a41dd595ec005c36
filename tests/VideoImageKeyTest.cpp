// The key, fill, copy and blend operations of the video image helper on
// regions of BGRA and YUY2 images; every buffer lies between guard pages.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "GuardedBuffer.h"
#include "av/VideoImageHelper.h"

namespace velmora::test {
namespace {

using av::CVideoImageHelper;
using av::RECT;

uint8_t KeyModelBlend(int fg, int bg, int k) {
    return static_cast<uint8_t>((fg * k + bg * (255 - k)) / 256);
}

// The YUV of a BGRA pixel, as the overlay converts it.
int ModelY(const uint8_t* p) {
    return ((66 * p[2] + 129 * p[1] + 25 * p[0]) >> 8) + 16;
}
int ModelU(const uint8_t* p) {
    return (112 * p[0] - 74 * p[1] - 38 * p[2] + 32768) >> 8;
}
int ModelV(const uint8_t* p) {
    return (112 * p[2] - 94 * p[1] - 18 * p[0] + 32768) >> 8;
}

TEST(VideoImageKeyTest, KeyPlanesFollowTheRegion) {
    CVideoImageHelper helper;
    constexpr int kW = 9, kH = 5, kStep = 40;
    GuardedBuffer image(kStep * (kH - 1) + 4 * kW);
    image.FillRandom(1);
    const RECT rect{2, 1, 7, 4};  // 5 x 3
    for (int r = 1; r < 4; ++r)
        image.data()[r * kStep + 4 * 2 + 3] = static_cast<uint8_t>(r * 50);

    GuardedBuffer plane16(5 * 3 * 2), plane32(5 * 3 * 4), luma(5 * 3 * 2);
    luma.Fill(0x77);
    ASSERT_EQ(helper.ExtractAlpha16(image.data(), kW, kH, kStep, rect, plane16.as<uint16_t>()), 1);
    ASSERT_EQ(helper.ExtractAlpha32(image.data(), kW, kH, kStep, rect, plane32.as<uint32_t>()), 1);
    ASSERT_EQ(helper.ExtractAlphaToLuma(image.data(), kW, kH, kStep, rect, luma.data()), 1);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 5; ++c) {
            const uint8_t a = image.data()[(r + 1) * kStep + 4 * (c + 2) + 3];
            EXPECT_EQ(plane16.as<uint16_t>()[r * 5 + c], a);
            EXPECT_EQ(plane32.as<uint32_t>()[r * 5 + c], a);
            EXPECT_EQ(luma.data()[(r * 5 + c) * 2 + 1], 0x77) << "second byte of a cell";
        }
    }

    // The studio-range figures of the luma key.
    const uint8_t alphas[] = {0, 99, 255};
    const uint8_t lumas[] = {16, 101, 235};
    for (int i = 0; i < 3; ++i) {
        image.data()[4 * 2 + 3] = alphas[i];
        GuardedBuffer one(2);
        ASSERT_EQ(helper.ExtractAlphaToLuma(image.data(), kW, kH, kStep, {2, 0, 3, 1}, one.data()),
                  1);
        EXPECT_EQ(one.data()[0], lumas[i]) << "A " << int(alphas[i]);
    }

    // Store writes at the pixel's own position of an image-sized plane; Load
    // brings the keys' low bytes back as A of an image-sized BGRA target.
    GuardedBuffer keys(kW * kH * 2), target(kW * kH * 4);
    keys.Fill(0);
    target.Fill(0);
    ASSERT_EQ(helper.StoreAlphaInKeyPlane(image.data(), kW, kH, kStep, rect, keys.as<uint16_t>()),
              1);
    ASSERT_EQ(helper.LoadAlphaFromKeyPlane(keys.data(), kW, kH, kW * 2, rect, target.data()), 1);
    for (int r = 0; r < kH; ++r) {
        for (int c = 0; c < kW; ++c) {
            const bool inside = r >= 1 && r < 4 && c >= 2 && c < 7;
            const uint8_t a = image.data()[r * kStep + 4 * c + 3];
            EXPECT_EQ(keys.as<uint16_t>()[r * kW + c], inside ? (a | 0x8000) : 0);
            EXPECT_EQ(target.data()[(r * kW + c) * 4 + 3], inside ? a : 0);
            EXPECT_EQ(target.data()[(r * kW + c) * 4], 0) << "colour of the target kept";
        }
    }
}

TEST(VideoImageKeyTest, GrayAndFillsChangeOnlyTheirPixels) {
    CVideoImageHelper helper;
    GuardedBuffer image(256 * 4);
    image.FillRandom(2);
    for (int i = 0; i < 256; ++i)
        image.data()[4 * i + 3] = static_cast<uint8_t>(i);
    const auto before = image.Bytes();
    ASSERT_EQ(helper.GrayWhereAlphaInRange(image.data(), 256, 1, 1024, {0, 0, 256, 1}, 20, 10, 0),
              1);
    for (int i = 0; i < 256; ++i) {
        const uint8_t* p = image.data() + 4 * i;
        const uint8_t* o = before.data() + 4 * i;
        if (i > 10 && i < 20) {
            EXPECT_EQ(p[0], o[1]);
            EXPECT_EQ(p[2], o[1]);
        } else {
            EXPECT_TRUE(std::equal(p, p + 4, o)) << "A " << i;
        }
    }

    const auto grayed = image.Bytes();
    ASSERT_EQ(helper.FillAlpha(image.data(), 16, 16, 64, {3, 2, 5, 9}, 0x42), 1);
    ASSERT_EQ(helper.FillColor(image.data(), 16, 16, 64, {4, 8, 6, 10}, 1, 2, 3), 1);
    for (int r = 0; r < 16; ++r) {
        for (int c = 0; c < 16; ++c) {
            const uint8_t* p = image.data() + r * 64 + 4 * c;
            const uint8_t* o = grayed.data() + r * 64 + 4 * c;
            const bool alpha = r >= 2 && r < 9 && c >= 3 && c < 5;
            const bool colour = r >= 8 && r < 10 && c >= 4 && c < 6;
            EXPECT_EQ(p[0], colour ? 1 : o[0]);
            EXPECT_EQ(p[1], colour ? 2 : o[1]);
            EXPECT_EQ(p[2], colour ? 3 : o[2]);
            EXPECT_EQ(p[3], alpha ? 0x42 : o[3]);
        }
    }
}

TEST(VideoImageKeyTest, SmoothingReadsTheKeyAtThePixel) {
    CVideoImageHelper helper;
    constexpr int kW = 8, kH = 5;
    GuardedBuffer image(kW * kH * 2), key(kW * kH * 2);
    image.Fill(100);
    key.Fill(0);
    image.data()[2 * (2 * kW + 4)] = 200;  // Y of row 2, column 4
    image.data()[2 * (2 * kW + 3)] = 50;   // its left neighbour, key out of range
    key.as<uint16_t>()[2 * kW + 4] = 15;
    key.as<uint16_t>()[0] = 15;  // an edge pixel is never smoothed
    ASSERT_EQ(helper.SmoothWhereKeyInRange(image.data(), key.as<uint16_t>(), kW, kH, 0, 20, 10), 1);
    for (int i = 0; i < kW * kH * 2; ++i) {
        uint8_t expected = 100;
        if (i == 2 * (2 * kW + 4)) expected = (200 + 50 + 100 + 100 + 100) / 5;
        if (i == 2 * (2 * kW + 3)) expected = 50;
        EXPECT_EQ(image.data()[i], expected) << "byte " << i;
    }
}

// The softening computed from an untouched copy of the image.
std::vector<uint8_t> ModelSoften(const std::vector<uint8_t>& in, int w, int h) {
    std::vector<uint8_t> out = in;
    for (int r = 1; r + 1 < h; ++r) {
        for (int c = 1; c + 1 < w; ++c) {
            const uint8_t* centre = &in[(r * w + c) * 4];
            int sum[4] = {}, n = 0;
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) {
                    const uint8_t* q = &in[((r + dr) * w + c + dc) * 4];
                    if ((dr || dc) && q[3]) {
                        ++n;
                        for (int k = 0; k < 4; ++k)
                            sum[k] += q[k];
                    }
                }
            uint8_t* o = &out[(r * w + c) * 4];
            for (int k = 0; k < 4; ++k) {
                if (centre[3]) {
                    o[k] = k < 3 ? ((8 - n) * centre[k] + centre[k] + sum[k]) / 9
                                 : (centre[3] + sum[3]) / 9;
                } else {
                    o[k] = n == 0 || sum[3] <= 100 ? 0 : k < 3 ? sum[k] / n : sum[3] / 10;
                }
            }
        }
    }
    return out;
}

TEST(VideoImageKeyTest, SoftenAlphaEdges) {
    CVideoImageHelper helper;
    {
        GuardedBuffer narrow(2 * 6 * 4), flat(6 * 2 * 4);
        narrow.FillRandom(3);
        flat.FillRandom(4);
        const auto n = narrow.Bytes(), f = flat.Bytes();
        ASSERT_EQ(helper.SoftenAlphaEdges(narrow.data(), 2, 6), 1);
        ASSERT_EQ(helper.SoftenAlphaEdges(flat.data(), 6, 2), 1);
        EXPECT_EQ(narrow.Bytes(), n);
        EXPECT_EQ(flat.Bytes(), f);
    }
    GuardedBuffer image(5 * 5 * 4);
    for (int i = 0; i < 25; ++i) {
        const uint8_t pixel[4] = {10, 20, 30, 255};
        std::memcpy(image.data() + 4 * i, pixel, 4);
    }
    const auto uniform = image.Bytes();
    ASSERT_EQ(helper.SoftenAlphaEdges(image.data(), 5, 5), 1);
    EXPECT_EQ(image.Bytes(), uniform);
    image.data()[(2 * 5 + 2) * 4 + 3] = 0;  // an isolated transparent pixel
    ASSERT_EQ(helper.SoftenAlphaEdges(image.data(), 5, 5), 1);
    const uint8_t* hole = image.data() + (2 * 5 + 2) * 4;
    EXPECT_EQ(hole[0], 10);
    EXPECT_EQ(hole[1], 20);
    EXPECT_EQ(hole[2], 30);
    EXPECT_EQ(hole[3], 204);

    // Every pixel from values before the pass, on a random key.
    constexpr int kW = 13, kH = 9;
    GuardedBuffer noisy(kW * kH * 4);
    noisy.FillRandom(5);
    for (int i = 0; i < kW * kH; i += 3)
        noisy.data()[4 * i + 3] = 0;
    const auto expected = ModelSoften(noisy.Bytes(), kW, kH);
    ASSERT_EQ(helper.SoftenAlphaEdges(noisy.data(), kW, kH), 1);
    EXPECT_EQ(noisy.Bytes(), expected);
    EXPECT_EQ(helper.SoftenAlphaEdges(noisy.data(), -1, kH), 0);
}

// A packed plane of 16-bit keys between guard pages.
class GuardedKeys {
  public:
    explicit GuardedKeys(size_t count, uint16_t value = 0) : m_nCount(count), m_bytes(2 * count) {
        std::fill(begin(), end(), value);
    }
    uint16_t* data() { return m_bytes.as<uint16_t>(); }
    uint16_t* begin() { return data(); }
    uint16_t* end() { return data() + m_nCount; }

  private:
    size_t m_nCount;
    GuardedBuffer m_bytes;
};

// A YUY2 or BGRA image of its own size and step, between guard pages.
struct Image {
    Image(int w, int h, int s, int pixelBytes, uint32_t seed)
        : width(w),
          height(h),
          step(s),
          bytes(h == 0 ? 0 : size_t(s) * (h - 1) + size_t(w) * pixelBytes) {
        bytes.FillRandom(seed);
    }
    uint8_t* at(int row, int byte) { return bytes.data() + size_t(row) * step + byte; }
    int width, height, step;
    GuardedBuffer bytes;
};

TEST(VideoImageKeyTest, RegionCopiesMoveExactlyTheRegion) {
    CVideoImageHelper helper;
    for (const int pixelBytes : {2, 4}) {
        const auto copy = [&](uint8_t* dst, int dw, int dh, int ds, Image& a, RECT ra, int xa,
                              int ya, Image& b, RECT rb, int xb, int yb) {
            return pixelBytes == 2
                       ? helper.CopyTwoRegionsYuv422(dst, dw, dh, ds, a.bytes.data(), a.width,
                                                     a.height, a.step, ra, xa, ya, b.bytes.data(),
                                                     b.width, b.height, b.step, rb, xb, yb)
                       : helper.CopyTwoRegions32(dst, dw, dh, ds, a.bytes.data(), a.width, a.height,
                                                 a.step, ra, xa, ya, b.bytes.data(), b.width,
                                                 b.height, b.step, rb, xb, yb);
        };
        Image dst(40, 12, 40 * pixelBytes + 6, pixelBytes, 10);
        Image a(30, 10, 30 * pixelBytes + 2, pixelBytes, 11),
            b(20, 8, 20 * pixelBytes, pixelBytes, 12);
        // Widths that are no multiple of 8, left edges and steps off any block.
        const RECT ra{3, 2, 16, 7}, rb{1, 1, 20, 4};
        auto expected = dst.bytes.Bytes();
        for (int r = 0; r < 5; ++r)
            std::memcpy(&expected[size_t(6 + r) * dst.step + 5 * pixelBytes],
                        a.at(2 + r, 3 * pixelBytes), 13 * pixelBytes);
        for (int r = 0; r < 3; ++r)
            std::memcpy(&expected[size_t(r) * dst.step + 21 * pixelBytes],
                        b.at(1 + r, 1 * pixelBytes), 19 * pixelBytes);
        ASSERT_EQ(copy(dst.bytes.data(), 40, 12, dst.step, a, ra, 5, 6, b, rb, 21, 0), 1);
        EXPECT_EQ(dst.bytes.Bytes(), expected) << pixelBytes << "-byte pixels";

        // A region past the destination's right edge or a negative position
        // writes nothing; a failing second source leaves the first copied.
        const auto before = dst.bytes.Bytes();
        EXPECT_EQ(copy(dst.bytes.data(), 40, 12, dst.step, a, ra, 28, 0, b, rb, 0, 0), 0);
        EXPECT_EQ(copy(dst.bytes.data(), 40, 12, dst.step, a, ra, -2, 0, b, rb, 0, 0), 0);
        EXPECT_EQ(copy(dst.bytes.data(), 40, 12, dst.step, a, ra, 0, 8, b, rb, 0, 0), 0);
        EXPECT_EQ(copy(dst.bytes.data(), 40, 12, dst.step, a, {-1, 0, 4, 4}, 0, 0, b, rb, 0, 0), 0);
        EXPECT_EQ(
            copy(dst.bytes.data(), 40, 12, dst.step, a, {2, 0, INT32_MIN, 4}, 0, 0, b, rb, 0, 0),
            0);
        EXPECT_EQ(dst.bytes.Bytes(), before);
        EXPECT_EQ(copy(dst.bytes.data(), 40, 12, dst.step, a, {0, 0, 2, 1}, 0, 0, b, rb, 30, 0), 0);
        EXPECT_TRUE(std::equal(a.at(0, 0), a.at(0, 2 * pixelBytes), dst.bytes.data()));
    }
}

// Keyed composite: the region of fg blended over dst at (x, y) by the key.
void ModelComposite(const Image& fg, int left, int top, int w, int h, const uint16_t* key,
                    std::vector<uint8_t>& dst, int dstStep, int x, int y) {
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c)
            for (int b = 0; b < 2; ++b) {
                uint8_t& out = dst[size_t(y + r) * dstStep + 2 * (x + c) + b];
                const uint8_t in = fg.bytes.data()[size_t(top + r) * fg.step + 2 * (left + c) + b];
                out = key ? KeyModelBlend(in, out, key[r * w + c] & 0xFF) : in;
            }
}

TEST(VideoImageKeyTest, CompositeBlendsOnlyTheRegion) {
    CVideoImageHelper helper;
    Image fg(64, 20, 136, 2, 20), dst(48, 16, 112, 2, 21), scratch(48, 16, 112, 2, 22);
    GuardedBuffer scratchKey(CVideoImageHelper::kScratchKeyBytes);
    const auto run = [&](RECT rect, const uint16_t* key, int x, int y) {
        return helper.CompositeYuv422Keyed(fg.bytes.data(), fg.width, fg.height, fg.step, rect, key,
                                           dst.bytes.data(), dst.step, dst.width, dst.height, x, y,
                                           scratch.bytes.data(), scratchKey.data());
    };
    GuardedKeys key(64 * 20);

    // Key 255 (high byte ignored) gives fg - 1, key 0 floor(255 bg / 256),
    // on the 8-pixel path.
    std::fill(key.begin(), key.end(), 0x3FF);
    auto before = dst.bytes.Bytes();
    ASSERT_EQ(run({8, 2, 24, 6}, key.data(), 16, 5), 1);
    for (int r = 0; r < 16; ++r)
        for (int b = 0; b < 96; ++b) {
            const bool inside = r >= 4 && r < 8 && b >= 32 && b < 64;
            const uint8_t f = *fg.at(r - 2, 16 + b - 32);
            EXPECT_EQ(*dst.at(r, b), inside ? (f ? f - 1 : 0) : before[size_t(r) * 112 + b]);
        }
    std::fill(key.begin(), key.end(), 0x100);
    before = dst.bytes.Bytes();
    ASSERT_EQ(run({8, 2, 24, 6}, key.data(), 16, 5), 1);
    for (int r = 0; r < 16; ++r)
        for (int b = 0; b < 96; ++b) {
            const bool inside = r >= 4 && r < 8 && b >= 32 && b < 64;
            const uint8_t old = before[size_t(r) * 112 + b];
            EXPECT_EQ(*dst.at(r, b), inside ? old * 255 / 256 : old);
        }

    // Random keys on both paths; the scratch path (region off 8-pixel
    // boundaries) leaves every byte outside the region as it was. An odd top
    // 5 and height 10 work on fg rows 6 to 14.
    std::mt19937 random(23);
    for (auto& k : key)
        k = static_cast<uint16_t>(random());
    struct Case {
        RECT rect;
        int x, y, left, top, w, h, dx, dy;
    };
    const Case cases[] = {{{16, 4, 32, 12}, 8, 2, 16, 4, 16, 8, 8, 2},
                          {{3, 5, 14, 15}, 7, 4, 2, 6, 10, 9, 6, 4},
                          {{1, 0, 12, 16}, 35, 1, 0, 0, 10, 16, 34, 0}};
    for (const Case& c : cases) {
        auto expected = dst.bytes.Bytes();
        ModelComposite(fg, c.left, c.top, c.w, c.h, key.data(), expected, dst.step, c.dx, c.dy);
        ASSERT_EQ(run(c.rect, key.data(), c.x, c.y), 1);
        EXPECT_EQ(dst.bytes.Bytes(), expected) << "left " << c.rect.left;
        expected = dst.bytes.Bytes();
        ModelComposite(fg, c.left, c.top, c.w, c.h, nullptr, expected, dst.step, c.dx, c.dy);
        ASSERT_EQ(run(c.rect, nullptr, c.x, c.y), 1);
        EXPECT_EQ(dst.bytes.Bytes(), expected) << "copy, left " << c.rect.left;
    }

    // Refusals write nothing: a region past either image, a negative
    // position, no scratch buffers, a step off 16 bytes with a key.
    before = dst.bytes.Bytes();
    EXPECT_EQ(run({0, 0, 50, 2}, key.data(), 0, 0), 0);
    EXPECT_EQ(run({8, 0, 24, 2}, key.data(), 40, 0), 0);
    EXPECT_EQ(run({8, 0, 24, 2}, key.data(), -8, 0), 0);
    EXPECT_EQ(run({8, 0, 24, 2}, key.data(), 8, -2), 0);
    EXPECT_EQ(run({-8, 0, 24, 2}, key.data(), 8, 0), 0);
    EXPECT_EQ(helper.CompositeYuv422Keyed(fg.bytes.data(), 64, 20, 136, {2, 0, 6, 2}, key.data(),
                                          dst.bytes.data(), 112, 48, 16, 0, 0, nullptr, nullptr),
              0);
    EXPECT_EQ(helper.CompositeYuv422Keyed(fg.bytes.data(), 64, 20, 136, {8, 0, 16, 2}, key.data(),
                                          dst.bytes.data(), 104, 48, 16, 0, 0, nullptr, nullptr),
              0);
    EXPECT_EQ(run({4, 4, 5, 8}, key.data(), 0, 0), 1) << "width below 2 does nothing";
    EXPECT_EQ(run({24, 0, 8, 2}, key.data(), 0, 0), 1) << "right below left does nothing";
    EXPECT_EQ(run({8, 6, 24, 2}, nullptr, 0, 0), 1) << "bottom above top does nothing";
    EXPECT_EQ(dst.bytes.Bytes(), before);
}

TEST(VideoImageKeyTest, CompositeScratchKeyHoldsOnlyAFrameSizedDestination) {
    // The scratch key has 829,440 bytes; a destination whose rows span more
    // would be indexed past it.
    CVideoImageHelper helper;
    Image fg(16, 4, 32, 2, 30), dst(720, 576, 1456, 2, 31), scratch(720, 576, 1456, 2, 32);
    GuardedBuffer scratchKey(CVideoImageHelper::kScratchKeyBytes);
    GuardedKeys key(16 * 4, 200);
    const auto before = dst.bytes.Bytes();
    EXPECT_EQ(helper.CompositeYuv422Keyed(fg.bytes.data(), 16, 4, 32, {2, 0, 12, 4}, key.data(),
                                          dst.bytes.data(), 1456, 720, 576, 700, 570,
                                          scratch.bytes.data(), scratchKey.data()),
              0);
    EXPECT_TRUE(dst.bytes.Bytes() == before);
    EXPECT_EQ(helper.CompositeYuv422Keyed(fg.bytes.data(), 16, 4, 32, {2, 0, 12, 4}, key.data(),
                                          dst.bytes.data(), 1440, 720, 576, 700, 570,
                                          scratch.bytes.data(), scratchKey.data()),
              1);

    // A step shorter than the row: 16 x 51,840 rows is the key's size, but
    // the last rows' keys end 2 x (x + width) bytes further on.
    Image tall(720, 51840, 16, 2, 33), tallScratch(720, 51840, 16, 2, 34);
    const auto intoTall = [&](int x, int y) {
        return helper.CompositeYuv422Keyed(fg.bytes.data(), 16, 4, 32, {2, 0, 12, 4}, key.data(),
                                           tall.bytes.data(), 16, 720, 51840, x, y,
                                           tallScratch.bytes.data(), scratchKey.data());
    };
    const auto tallBefore = tall.bytes.Bytes();
    EXPECT_EQ(intoTall(700, 51836), 0);
    EXPECT_TRUE(tall.bytes.Bytes() == tallBefore);
    EXPECT_EQ(intoTall(0, 0), 1);
    // A bottom-up destination (its last row first): only a region on its
    // first row keeps the scratch key's rows after the key's start.
    const auto bottomUp = [&](int height) {
        return helper.CompositeYuv422Keyed(fg.bytes.data(), 16, 4, 32, {2, 0, 12, height},
                                           key.data(), dst.at(575, 0), -1456, 720, 576, 100, 0,
                                           scratch.at(575, 0), scratchKey.data());
    };
    EXPECT_EQ(bottomUp(2), 0);
    EXPECT_EQ(bottomUp(1), 1);
}

TEST(VideoImageKeyTest, WeightPlaneBlendsExactlyTheWidth) {
    CVideoImageHelper helper;
    constexpr int kW = 13, kH = 3, kStep = 64;
    const size_t bytes = kStep * (kH - 1) + kW * 4;
    GuardedBuffer fg(bytes), bg(bytes), out(bytes), weight(bytes);
    fg.FillRandom(40);
    bg.FillRandom(41);
    out.FillRandom(42);
    weight.FillRandom(43);
    auto expected = out.Bytes();
    for (int r = 0; r < kH; ++r)
        for (int c = 0; c < kW; ++c) {
            const size_t p = size_t(r) * kStep + 4 * c;
            for (int k = 0; k < 3; ++k)
                expected[p + k] =
                    KeyModelBlend(fg.data()[p + k], bg.data()[p + k], weight.data()[p]);
            expected[p + 3] = 0;
        }
    ASSERT_EQ(helper.BlendBgraByWeightPlane(fg.data(), bg.data(), out.data(), weight.as<uint32_t>(),
                                            kW, kH, kStep),
              1);
    EXPECT_EQ(out.Bytes(), expected);
    EXPECT_EQ(helper.BlendBgraByWeightPlane(fg.data(), bg.data(), out.data(), weight.as<uint32_t>(),
                                            kW, kH, 56),
              0);
    EXPECT_EQ(helper.BlendBgraByWeightPlane(fg.data(), bg.data(), out.data(), weight.as<uint32_t>(),
                                            kW, kH, 0),
              0);
    EXPECT_EQ(out.Bytes(), expected);
}

void ModelOverlay(const Image& bgra, int left, int top, int w, int h, std::vector<uint8_t>& dst,
                  int dstStep, int x, int y) {
    for (int r = 0; r < h; ++r)
        for (int g = 0; g < w; g += 8) {
            const uint8_t* px = bgra.bytes.data() + size_t(top + r) * bgra.step + 4 * (left + g);
            bool visible = false;
            for (int p = 0; p < 8; ++p)
                visible |= px[4 * p + 3] != 0;
            if (!visible) continue;
            for (int p = 0; p < 8; ++p) {
                uint8_t* cell = &dst[size_t(y + r) * dstStep + 2 * (x + g + p)];
                const uint8_t* even = px + 4 * (p & ~1);
                const int a = px[4 * p + 3];
                cell[0] = KeyModelBlend(ModelY(px + 4 * p), cell[0], a);
                cell[1] = KeyModelBlend(p % 2 == 0 ? ModelU(even) : ModelV(even), cell[1], a);
            }
        }
}

TEST(VideoImageKeyTest, OverlayConvertsAndBlendsByAlpha) {
    CVideoImageHelper helper;
    Image bgra(32, 6, 136, 4, 50), dst(40, 8, 96, 2, 51);
    // Group 0 of row 0 fully transparent, group 1 opaque black.
    for (int p = 0; p < 8; ++p)
        bgra.at(0, 4 * p)[3] = 0;
    for (int p = 8; p < 16; ++p) {
        const uint8_t black[4] = {0, 0, 0, 255};
        std::memcpy(bgra.at(0, 4 * p), black, 4);
    }
    for (int p = 0; p < 32; p += 3)
        bgra.at(2, 4 * p)[3] = 0;
    // The corners of the colour cube, where the conversion's sums are widest.
    for (int p = 0; p < 24; ++p) {
        uint8_t* px = bgra.at(3, 4 * p);
        for (int c = 0; c < 3; ++c)
            px[c] = (p >> c) & 1 ? 255 : 0;
    }
    auto expected = dst.bytes.Bytes();
    ModelOverlay(bgra, 0, 0, 24, 4, expected, dst.step, 8, 2);
    ASSERT_EQ(helper.OverlayBgraOnYuv422(bgra.bytes.data(), 32, 6, 136, {1, 0, 25, 4},
                                         dst.bytes.data(), 96, 40, 8, 9, 2),
              1);
    EXPECT_EQ(dst.bytes.Bytes(), expected);
    for (int p = 8; p < 16; ++p) {
        EXPECT_EQ(*dst.at(2, 2 * (8 + p)), 15);
        EXPECT_EQ(*dst.at(2, 2 * (8 + p) + 1), 127);
    }
    EXPECT_TRUE(std::equal(dst.at(2, 16), dst.at(2, 32), &expected[2 * 96 + 16]));
    // Off 8-pixel boundaries, past either image or at a negative position:
    // nothing written.
    for (const auto& [rect, x] : std::vector<std::pair<RECT, int>>{{{2, 0, 10, 2}, 8},
                                                                   {{0, 0, 8, 2}, 4},
                                                                   {{0, 0, 12, 2}, 8},
                                                                   {{24, 0, 40, 2}, 0},
                                                                   {{0, 0, 8, 2}, 40},
                                                                   {{0, 0, 8, 2}, -8},
                                                                   {{0, 3, 8, 9}, 0}}) {
        EXPECT_EQ(helper.OverlayBgraOnYuv422(bgra.bytes.data(), 32, 6, 136, rect, dst.bytes.data(),
                                             96, 40, 8, x, 0),
                  0);
    }
    EXPECT_EQ(dst.bytes.Bytes(), expected);
}

TEST(VideoImageKeyTest, RegionOnePixelWiderThanTheImageWritesNothing) {
    CVideoImageHelper helper;
    constexpr int kW = 16, kH = 4, kStep = 64;
    Image bgra(kW, kH, kStep, 4, 60), yuy2(kW, kH, 32, 2, 61), dst(kW, kH, kStep, 4, 62);
    GuardedBuffer plane(kW * kH * 4 + 8), scratchKey(CVideoImageHelper::kScratchKeyBytes);
    GuardedKeys key(kW * kH * 2, 255);
    const RECT wide{0, 0, kW + 1, kH}, wideRight{1, 0, kW + 1, kH}, tall{0, 1, kW, kH + 1};
    for (const RECT& rect : {wide, wideRight, tall}) {
        const std::vector<std::function<int32_t()>> calls = {
            [&] {
                return helper.ExtractAlpha16(bgra.bytes.data(), kW, kH, kStep, rect,
                                             plane.as<uint16_t>());
            },
            [&] {
                return helper.ExtractAlpha32(bgra.bytes.data(), kW, kH, kStep, rect,
                                             plane.as<uint32_t>());
            },
            [&] {
                return helper.ExtractAlphaToLuma(bgra.bytes.data(), kW, kH, kStep, rect,
                                                 plane.data());
            },
            [&] {
                return helper.GrayWhereAlphaInRange(bgra.bytes.data(), kW, kH, kStep, rect, 255, 0,
                                                    0);
            },
            [&] {
                return helper.StoreAlphaInKeyPlane(bgra.bytes.data(), kW, kH, kStep, rect,
                                                   plane.as<uint16_t>());
            },
            [&] {
                return helper.LoadAlphaFromKeyPlane(yuy2.bytes.data(), kW, kH, 32, rect,
                                                    bgra.bytes.data());
            },
            [&] { return helper.FillAlpha(bgra.bytes.data(), kW, kH, kStep, rect, 1); },
            [&] { return helper.FillColor(bgra.bytes.data(), kW, kH, kStep, rect, 1, 2, 3); },
            [&] {
                return helper.CopyTwoRegions32(dst.bytes.data(), kW, kH, kStep, bgra.bytes.data(),
                                               kW, kH, kStep, rect, 0, 0, bgra.bytes.data(), kW, kH,
                                               kStep, {0, 0, 1, 1}, 0, 0);
            },
            [&] {
                return helper.CopyTwoRegionsYuv422(
                    dst.bytes.data(), kW, kH, kStep, yuy2.bytes.data(), kW, kH, 32, rect, 0, 0,
                    yuy2.bytes.data(), kW, kH, 32, {0, 0, 1, 1}, 0, 0);
            },
        };
        for (size_t i = 0; i < calls.size(); ++i) {
            const auto images = bgra.bytes.Bytes(), out = dst.bytes.Bytes(), keys = plane.Bytes();
            EXPECT_EQ(calls[i](), 0) << "operation " << i << ", left " << rect.left;
            EXPECT_TRUE(bgra.bytes.Bytes() == images && dst.bytes.Bytes() == out &&
                        plane.Bytes() == keys)
                << "operation " << i << " wrote";
        }
    }
    // The composites even their regions down: an image of odd width shows
    // the region one pixel wider.
    constexpr int kOdd = kW - 1;
    for (const RECT& rect : {RECT{0, 0, kOdd + 1, kH}, tall}) {
        const std::vector<std::function<int32_t()>> calls = {
            [&] {
                return helper.CompositeYuv422Keyed(yuy2.bytes.data(), kOdd, kH, 32, rect,
                                                   key.data(), dst.bytes.data(), kStep, 2 * kW, kH,
                                                   0, 0, dst.bytes.data(), scratchKey.data());
            },
            [&] {
                return helper.CompositeYuv422Keyed(yuy2.bytes.data(), kOdd, kH, 32, rect, nullptr,
                                                   dst.bytes.data(), kStep, 2 * kW, kH, 0, 0,
                                                   nullptr, nullptr);
            },
            [&] {
                return helper.OverlayBgraOnYuv422(bgra.bytes.data(), kOdd, kH, kStep, rect,
                                                  dst.bytes.data(), kStep, 2 * kW, kH, 0, 0);
            },
        };
        for (size_t i = 0; i < calls.size(); ++i) {
            const auto out = dst.bytes.Bytes();
            EXPECT_EQ(calls[i](), 0) << "composite " << i << ", top " << rect.top;
            EXPECT_TRUE(dst.bytes.Bytes() == out) << "composite " << i << " wrote";
        }
    }
}

}  // namespace
}  // namespace velmora::test

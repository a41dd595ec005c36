// Every member of both conversions against an independent row model built on
// the per-pixel formulas, over random frames, every tail path and both step
// signs; the formulas themselves against known colours.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "CpuClassFake.h"
#include "av/ColorConvert.h"
#include "av/ColorConvertModel.h"
#include "resize/ImageStatus.h"

namespace velmora::test {
namespace {

using namespace velmora::av;

constexpr const char* kVariantNames[] = {"Generic", "Sse", "Sse2", "Sse3", "Ssse3"};
constexpr uint8_t kGuard = 0xCD;

bool IsVectorVariant(int variant) {
    return variant >= Sse2;
}

// A member and the widest vectors it may use: the Ssse3 members run once per
// vector width the processor has, the others once.
struct Config {
    int variant;
    int vectorBits;
    std::string Name() const {
        return std::string(kVariantNames[variant]) + "/" + std::to_string(vectorBits);
    }
};

std::vector<Config> Configs(int firstVariant = Generic) {
    std::vector<Config> configs;
    for (int variant = firstVariant; variant < Ssse3; ++variant)
        configs.push_back({variant, 128});
    const int widest = ColorConvertVectorBits();
    for (int bits = 128; bits <= widest; bits *= 2)
        configs.push_back({Ssse3, bits});
    return configs;
}

class ScopedVectorBits {
  public:
    explicit ScopedVectorBits(int bits) : m_saved(ColorConvertVectorBits()) {
        EXPECT_EQ(LimitColorConvertVectorBits(bits), bits);
    }
    ~ScopedVectorBits() { LimitColorConvertVectorBits(m_saved); }

  private:
    int m_saved;
};

// Pixels below this count go through the 16-bit formula in a vector member.
int Yuy2ToBgraVectorEnd(int width) {
    return (width & ~15) + ((width & 14) >= 8 ? 8 : 0);
}
int BgraToYuy2VectorEnd(int width) {
    return (width & ~31) + ((width & 15) >= 8 ? 8 : 0);
}

void ModelYuy2ToBgraRow(const uint8_t* s, uint8_t* d, int width, uint8_t alpha, bool vector) {
    const int vectorEnd = vector ? Yuy2ToBgraVectorEnd(width) : 0;
    for (int x = 0; x < width; ++x) {
        const int pair = x & ~1;
        int u = s[2 * pair + 1];
        int v = s[2 * pair + 3];
        if ((width & 1) && x == width - 1) {
            u = s[2 * x + 1];
            v = s[2 * x - 1];
        }
        const model::Bgr p = x < vectorEnd ? model::Yuy2ToBgrVector(s[2 * x], u, v)
                                           : model::Yuy2ToBgrScalar(s[2 * x], u, v);
        d[4 * x] = p.b;
        d[4 * x + 1] = p.g;
        d[4 * x + 2] = p.r;
        d[4 * x + 3] = alpha;
    }
}

void ModelBgraToYuy2Row(const uint8_t* s, uint8_t* d, int width, bool vector) {
    const int vectorEnd = vector ? BgraToYuy2VectorEnd(width) : 0;
    for (int x = 0; x + 1 < width; x += 2) {
        const uint8_t* p = s + 4 * x;
        const int bs = p[0] + p[4], gs = p[1] + p[5], rs = p[2] + p[6];
        const bool v = x < vectorEnd;
        d[2 * x] = v ? model::LumaVector(p[0], p[1], p[2]) : model::LumaScalar(p[0], p[1], p[2]);
        d[2 * x + 1] = v ? model::PairUVector(bs, gs, rs) : model::PairUScalar(bs, gs, rs);
        d[2 * x + 2] =
            v ? model::LumaVector(p[4], p[5], p[6]) : model::LumaScalar(p[4], p[5], p[6]);
        d[2 * x + 3] = v ? model::PairVVector(bs, gs, rs) : model::PairVScalar(bs, gs, rs);
    }
    if (width & 1) {
        const uint8_t* p = s + 4 * (width - 1);
        d[2 * width - 2] = model::LumaScalar(p[0], p[1], p[2]);
        d[2 * width - 1] = model::SingleUScalar(p[0], p[1], p[2]);
    }
}

// A frame buffer with guard bytes between rows and around the frame; `step`
// is negative for a frame stored bottom-up, and First() is row 0.
struct ConvertFrame {
    ConvertFrame(int rowBytes, int rows, bool bottomUp, std::mt19937* random = nullptr)
        : rowBytes(rowBytes),
          rows(rows),
          pitch(rowBytes + 7),
          step(bottomUp ? -pitch : pitch),
          bytes(static_cast<size_t>(pitch) * rows + 32, kGuard) {
        if (random) {
            for (auto& b : bytes)
                b = static_cast<uint8_t>((*random)());
        }
    }
    uint8_t* First() { return bytes.data() + 16 + (step < 0 ? pitch * (rows - 1) : 0); }
    uint8_t* Row(int r) { return First() + static_cast<ptrdiff_t>(r) * step; }

    int rowBytes, rows, pitch, step;
    std::vector<uint8_t> bytes;
};

// Compares row contents pixel by pixel and checks that nothing outside the
// rows was written.
void ExpectFramesEqual(ConvertFrame& actual, ConvertFrame& expected, int bytesPerPixel,
                       const char* what) {
    for (int r = 0; r < actual.rows; ++r) {
        const int mismatch = [&] {
            for (int i = 0; i < actual.rowBytes; ++i) {
                if (actual.Row(r)[i] != expected.Row(r)[i]) return i;
            }
            return -1;
        }();
        ASSERT_EQ(mismatch, -1) << what << ": row " << r << " pixel " << mismatch / bytesPerPixel
                                << " byte " << mismatch % bytesPerPixel;
    }
    size_t untouched = 0;
    for (uint8_t b : actual.bytes)
        untouched += b == kGuard;
    size_t expectedUntouched = 0;
    for (uint8_t b : expected.bytes)
        expectedUntouched += b == kGuard;
    EXPECT_EQ(untouched, expectedUntouched) << what << ": bytes outside the rows were written";
}

TEST(ColorConvertTest, FormulasGiveKnownColours) {
    struct Case {
        int y, u, v;
        model::Bgr both;
    };
    for (const Case& c : {Case{0, 0, 0, {0, 135, 0}}, Case{255, 255, 255, {255, 125, 255}},
                          Case{128, 128, 128, {130, 130, 130}}, Case{16, 128, 128, {0, 0, 0}}}) {
        for (const model::Bgr p :
             {model::Yuy2ToBgrScalar(c.y, c.u, c.v), model::Yuy2ToBgrVector(c.y, c.u, c.v)}) {
            EXPECT_EQ(p.b, c.both.b);
            EXPECT_EQ(p.g, c.both.g);
            EXPECT_EQ(p.r, c.both.r);
        }
    }
    EXPECT_EQ(model::Yuy2ToBgrScalar(235, 128, 128).g, 254);
    EXPECT_EQ(model::Yuy2ToBgrScalar(41, 240, 110).b, 255);
    EXPECT_EQ(model::Yuy2ToBgrVector(41, 240, 110).b, 254);
    // Pure red, black and white pairs by both BGRA formulas.
    EXPECT_EQ(model::LumaScalar(0, 0, 255), 82);
    EXPECT_EQ(model::LumaVector(0, 0, 255), 82);
    EXPECT_EQ(model::PairUScalar(0, 0, 510), 90);
    EXPECT_EQ(model::PairUVector(0, 0, 510), 90);
    EXPECT_EQ(model::PairVScalar(0, 0, 510), 240);
    EXPECT_EQ(model::PairVVector(0, 0, 510), 240);
    for (int c : {0, 255}) {
        EXPECT_EQ(model::LumaScalar(c, c, c), c ? 235 : 16);
        EXPECT_EQ(model::LumaVector(c, c, c), c ? 235 : 16);
        EXPECT_EQ(model::PairUScalar(2 * c, 2 * c, 2 * c), 128);
        EXPECT_EQ(model::PairVVector(2 * c, 2 * c, 2 * c), 128);
    }
}

TEST(ColorConvertTest, ArgumentChecks) {
    uint8_t src[64] = {}, dst[64] = {};
    for (int variant = 0; variant < kCpuVariantCount; ++variant) {
        SCOPED_TRACE(kVariantNames[variant]);
        const auto toBgra = Yuy2ToBgraDispatchTable[variant];
        const auto toYuy2 = BgraToYuy2DispatchTable[variant];
        EXPECT_EQ(toBgra(src, 4, dst, 8, 1, 1, 0), resize::STS_SIZE_ERR);
        EXPECT_EQ(toBgra(src, 4, dst, 8, 2, 0, 0), resize::STS_SIZE_ERR);
        EXPECT_EQ(toBgra(src, 4, nullptr, 8, 1, 0, 0), resize::STS_NULL_PTR_ERR);
        EXPECT_EQ(toYuy2(nullptr, 8, dst, 4, 2, 1), resize::STS_NULL_PTR_ERR);
        EXPECT_EQ(toYuy2(src, 8, dst, 4, 1, 1), resize::STS_SIZE_ERR);
        EXPECT_EQ(toYuy2(src, 8, dst, 4, 2, -1), resize::STS_SIZE_ERR);
        for (uint8_t b : dst)
            ASSERT_EQ(b, 0);
    }
}

TEST(ColorConvertTest, EveryVariantMatchesModelOverWidthsAndSteps) {
    std::mt19937 random(20240601);
    std::vector<int> widths;
    for (int w = 2; w <= 72; ++w)
        widths.push_back(w);
    widths.push_back(720);
    for (const Config& config : Configs()) {
        ScopedVectorBits bits(config.vectorBits);
        const int variant = config.variant;
        const bool vector = IsVectorVariant(variant);
        for (int width : widths) {
            // Buffers of exactly one row, so that the sanitizer build sees
            // any access past the row's end.
            std::vector<uint8_t> yuy2Row(2 * width, 0x80), bgraRow(4 * width, 0x80);
            ASSERT_EQ(
                Yuy2ToBgraDispatchTable[variant](yuy2Row.data(), 0, bgraRow.data(), 0, width, 1, 0),
                resize::STS_OK);
            ASSERT_EQ(
                BgraToYuy2DispatchTable[variant](bgraRow.data(), 0, yuy2Row.data(), 0, width, 1),
                resize::STS_OK);
            for (int layout = 0; layout < 4; ++layout) {
                const bool srcUp = layout & 1, dstUp = layout & 2;
                const int height = 1 + (width + layout) % 3;
                std::string what = config.Name() + " width " + std::to_string(width) + " layout " +
                                   std::to_string(layout);
                const auto alpha = static_cast<uint8_t>(random());

                ConvertFrame yuy2(2 * width, height, srcUp, &random);
                ConvertFrame bgra(4 * width, height, dstUp), expectedBgra(4 * width, height, dstUp);
                ASSERT_EQ(Yuy2ToBgraDispatchTable[variant](yuy2.First(), yuy2.step, bgra.First(),
                                                           bgra.step, width, height, alpha),
                          resize::STS_OK);
                for (int r = 0; r < height; ++r) {
                    ModelYuy2ToBgraRow(yuy2.Row(r), expectedBgra.Row(r), width, alpha, vector);
                }
                ExpectFramesEqual(bgra, expectedBgra, 4, ("to BGRA, " + what).c_str());

                ConvertFrame source(4 * width, height, srcUp, &random);
                ConvertFrame out(2 * width, height, dstUp), expectedOut(2 * width, height, dstUp);
                ASSERT_EQ(BgraToYuy2DispatchTable[variant](source.First(), source.step, out.First(),
                                                           out.step, width, height),
                          resize::STS_OK);
                for (int r = 0; r < height; ++r) {
                    ModelBgraToYuy2Row(source.Row(r), expectedOut.Row(r), width, vector);
                }
                ExpectFramesEqual(out, expectedOut, 2, ("to YUY2, " + what).c_str());
            }
        }
    }
}

// Every (Y, U, V) triple through the vector blocks of each vector body: one
// frame per U, a row per V, Y running along the row.
TEST(ColorConvertTest, VectorBlocksMatchFormulaForEveryYuv) {
    constexpr int kWidth = 256, kHeight = 256;
    std::vector<uint8_t> src(kWidth * 2 * kHeight), dst(kWidth * 4 * kHeight);
    for (const Config& config : Configs(Sse2)) {
        // One run per distinct body: Sse3 and 128-bit Ssse3 are Sse2's.
        if (config.variant == Sse3 || (config.variant == Ssse3 && config.vectorBits == 128)) {
            continue;
        }
        ScopedVectorBits bits(config.vectorBits);
        for (int u = 0; u < 256; ++u) {
            for (int v = 0; v < kHeight; ++v) {
                for (int x = 0; x < kWidth; ++x) {
                    src[v * kWidth * 2 + 2 * x] = static_cast<uint8_t>(x);
                    src[v * kWidth * 2 + 2 * x + 1] = static_cast<uint8_t>(x & 1 ? v : u);
                }
            }
            Yuy2ToBgraDispatchTable[config.variant](src.data(), kWidth * 2, dst.data(), kWidth * 4,
                                                    kWidth, kHeight, 0);
            for (int v = 0; v < kHeight; ++v) {
                for (int y = 0; y < 256; ++y) {
                    const model::Bgr p = model::Yuy2ToBgrVector(y, u, v);
                    const uint8_t* d = &dst[v * kWidth * 4 + 4 * y];
                    if (d[0] != p.b || d[1] != p.g || d[2] != p.r) {
                        FAIL() << config.Name() << " Y " << y << " U " << u << " V " << v;
                    }
                }
            }
        }
    }
}

TEST(ColorConvertTest, DispatchCallsSelectedVariant) {
    // The first 16 pixels of a row go through the 16-bit formula only in the
    // vector members; Y 41, U 240, V 110 tells the two formulas apart.
    uint8_t src[64];
    for (int i = 0; i < 16; ++i) {
        src[4 * i] = src[4 * i + 2] = 41;
        src[4 * i + 1] = 240;
        src[4 * i + 3] = 110;
    }
    const FakeCpu generic = MakeFakeCpu(false, 6, kMmx);
    const FakeCpu sse2 = MakeFakeCpu(true, 6, kSse | kSse2);
    const FakeCpu ssse3 = MakeFakeCpu(true, 6, kSse | kSse2 | kSse3 | kSsse3, 4);
    for (const FakeCpu* cpu : {&generic, &sse2, &ssse3}) {
        ScopedCpuidSource scope(*cpu);
        SelectCpuVariant();
        uint8_t dst[128] = {};
        ASSERT_EQ(Yuy2ToBgraDispatch(src, 64, dst, 128, 16, 1, 9), resize::STS_OK);
        EXPECT_EQ(dst[0], g_nCpuClass.load() >= Sse2 ? 254 : 255);
        EXPECT_EQ(dst[3], 9);
        uint8_t yuy2[32] = {};
        EXPECT_EQ(BgraToYuy2Dispatch(dst, 128, yuy2, 32, 1, 1), resize::STS_SIZE_ERR);
    }
}

}  // namespace
}  // namespace velmora::test

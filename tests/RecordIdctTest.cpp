#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "card/LoadTimeGlobals.h"
#include "record/Idct.h"
#include "record/IdctModel.h"

namespace velmora::record {
namespace {

struct alignas(16) Block {
    int16_t v[64];
};

using Transform = std::function<void(const int16_t*, int16_t*)>;

struct Variant {
    const char* name;
    Transform run;
    bool saturating;
};

std::vector<Variant> Variants() {
    return {
        {"MMX", [](const int16_t* in, int16_t* out) { card::g_IdctMmx.Transform(in, out); }, true},
        {"SSE2", [](const int16_t* in, int16_t* out) { card::g_IdctSse2.Transform(in, out); },
         true},
        {"SSE2 vector class", IdctSse2Vec, false},
    };
}

Block Model(const Block& in, bool saturating) {
    Block out;
    if (saturating) {
        IdctScalarModel<true>(in.v, out.v);
    } else {
        IdctScalarModel<false>(in.v, out.v);
    }
    return out;
}

// Whether any 16-bit sum of the column pass leaves the 16-bit range, found
// by running the column pass on 32-bit lanes.
struct WideOps {
    static int32_t Check(int64_t v) {
        if (v < -32768 || v > 32767) overflow = true;
        return static_cast<int32_t>(v);
    }
    static int32_t Add(int32_t a, int32_t b) { return Check(int64_t(a) + b); }
    static int32_t Sub(int32_t a, int32_t b) { return Check(int64_t(a) - b); }
    static int32_t MulHi(int32_t a, int32_t c) {
        return static_cast<int32_t>((int64_t(a) * c) >> 16);
    }
    static int32_t Or1(int32_t a) { return a | 1; }
    static int32_t Sra5(int32_t a) { return a >> 5; }
    static inline thread_local bool overflow = false;
};

bool ColumnsOverflow(const Block& in) {
    Block rows;
    for (int r = 0; r < 8; ++r) {
        IdctRowScalar(in.v + 8 * r, rows.v + 8 * r, kIdctRowSets[kIdctRowSetOfRow[r]]);
    }
    WideOps::overflow = false;
    const IDCT_COLUMN_CONSTANTS<int32_t> k = {kIdctT1, kIdctT2, kIdctT3, kIdctC4, 1, 16, 15};
    for (int c = 0; c < 8; ++c) {
        int32_t x[8];
        for (int r = 0; r < 8; ++r)
            x[r] = rows.v[8 * r + c];
        IdctColumns<WideOps>(k, x);
    }
    return WideOps::overflow;
}

TEST(IdctTest, ExampleBlocks) {
    for (const Variant& variant : Variants()) {
        SCOPED_TRACE(variant.name);
        Block in{}, out;
        std::memset(out.v, 0x55, sizeof(out.v));
        variant.run(in.v, out.v);
        for (int16_t s : out.v)
            EXPECT_EQ(s, 0);

        in.v[0] = 64;
        variant.run(in.v, out.v);
        for (int16_t s : out.v)
            EXPECT_EQ(s, 8);

        in.v[0] = 0;
        in.v[1] = 100;
        const Block copy = in;
        variant.run(in.v, out.v);
        const int16_t row[8] = {17, 15, 10, 3, -3, -10, -15, -17};
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x)
                EXPECT_EQ(out.v[8 * y + x], row[x]) << y << "," << x;
        }
        EXPECT_EQ(0, std::memcmp(in.v, copy.v, sizeof(in.v)));  // input untouched
    }
}

// Random blocks in the MPEG-2 range, dense and sparse, equal the scalar model
// wherever no column sum overflows, into a separate block and in place.
TEST(IdctTest, VariantsEqualTheScalarModel) {
    std::mt19937 rng(2024);
    int compared = 0;
    for (int i = 0; i < 4000; ++i) {
        Block in{};
        const bool sparse = i % 2 == 0;
        for (int16_t& c : in.v) {
            if (!sparse || rng() % 8 == 0) c = static_cast<int16_t>(int(rng() % 4096) - 2048);
        }
        // The two interface variants agree even where columns saturate.
        Block mmx, sse2;
        card::g_IdctMmx.Transform(in.v, mmx.v);
        card::g_IdctSse2.Transform(in.v, sse2.v);
        ASSERT_EQ(0, std::memcmp(mmx.v, sse2.v, sizeof(mmx.v))) << "block " << i;
        if (ColumnsOverflow(in)) continue;
        ++compared;
        for (const Variant& variant : Variants()) {
            const Block expected = Model(in, variant.saturating);
            Block out;
            variant.run(in.v, out.v);
            ASSERT_EQ(0, std::memcmp(out.v, expected.v, sizeof(out.v)))
                << variant.name << " block " << i;
            Block inPlace = in;
            variant.run(inPlace.v, inPlace.v);
            ASSERT_EQ(0, std::memcmp(inPlace.v, expected.v, sizeof(out.v)))
                << variant.name << " in place, block " << i;
        }
    }
    EXPECT_GT(compared, 500);
}

// The vector-class form keeps nothing between calls: threads transforming at
// once each get the model's result.
TEST(IdctTest, VectorClassFormIsReentrant) {
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &mismatches] {
            std::mt19937 rng(100 + t);
            for (int i = 0; i < 3000; ++i) {
                Block in{};
                for (int16_t& c : in.v) {
                    if (rng() % 4 == 0) c = static_cast<int16_t>(int(rng() % 1024) - 512);
                }
                if (ColumnsOverflow(in)) continue;
                Block out;
                IdctSse2Vec(in.v, out.v);
                const Block expected = Model(in, false);
                if (std::memcmp(out.v, expected.v, sizeof(out.v)) != 0) ++mismatches;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// The exact transform in double precision.
void ReferenceIdct(const double* in, double* out) {
    static double c[8][8];
    static bool ready = false;
    if (!ready) {
        for (int x = 0; x < 8; ++x) {
            for (int u = 0; u < 8; ++u) {
                c[x][u] = (u == 0 ? std::sqrt(0.125) : 0.5) * std::cos((2 * x + 1) * u * M_PI / 16);
            }
        }
        ready = true;
    }
    double tmp[64];
    for (int v = 0; v < 8; ++v) {
        for (int x = 0; x < 8; ++x) {
            double s = 0;
            for (int u = 0; u < 8; ++u)
                s += c[x][u] * in[8 * v + u];
            tmp[8 * v + x] = s;
        }
    }
    for (int x = 0; x < 8; ++x) {
        for (int y = 0; y < 8; ++y) {
            double s = 0;
            for (int v = 0; v < 8; ++v)
                s += c[y][v] * tmp[8 * v + x];
            out[8 * y + x] = s;
        }
    }
}

void ForwardDct(const double* in, double* out) {
    // The transpose of the inverse's basis.
    double c[8][8];
    for (int x = 0; x < 8; ++x) {
        for (int u = 0; u < 8; ++u) {
            c[x][u] = (u == 0 ? std::sqrt(0.125) : 0.5) * std::cos((2 * x + 1) * u * M_PI / 16);
        }
    }
    double tmp[64];
    for (int y = 0; y < 8; ++y) {
        for (int u = 0; u < 8; ++u) {
            double s = 0;
            for (int x = 0; x < 8; ++x)
                s += c[x][u] * in[8 * y + x];
            tmp[8 * y + u] = s;
        }
    }
    for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v) {
            double s = 0;
            for (int y = 0; y < 8; ++y)
                s += c[y][v] * tmp[8 * y + u];
            out[8 * v + u] = s;
        }
    }
}

// The pseudo-random generator of the IEEE 1180 test procedure.
class Ieee1180Random {
  public:
    long Next(long low, long high) {
        m_x = m_x * 1103515245u + 12345u;  // the procedure's 32-bit arithmetic
        const long i = static_cast<long>(m_x & 0x7FFFFFFE);
        double x = static_cast<double>(i) / static_cast<double>(0x7FFFFFFF);
        x *= (low + high + 1);
        return static_cast<long>(x) - low;
    }

  private:
    uint32_t m_x = 1;
};

struct Ieee1180Figures {
    int peak = 0;
    double worstPixelMse = 0, overallMse = 0, worstPixelMean = 0, overallMean = 0;
};

Ieee1180Figures RunIeee1180(const Transform& run, long low, long high, int sign) {
    Ieee1180Random rng;
    constexpr int kBlocks = 10000;
    double sumError[64] = {}, sumSquared[64] = {};
    Ieee1180Figures f;
    for (int b = 0; b < kBlocks; ++b) {
        double pixels[64], coefficients[64], reference[64];
        for (double& p : pixels)
            p = static_cast<double>(sign * rng.Next(low, high));
        ForwardDct(pixels, coefficients);
        Block in;
        double rounded[64];
        for (int i = 0; i < 64; ++i) {
            const double r = std::clamp(std::floor(coefficients[i] + 0.5), -2048.0, 2047.0);
            rounded[i] = r;
            in.v[i] = static_cast<int16_t>(r);
        }
        ReferenceIdct(rounded, reference);
        Block out;
        run(in.v, out.v);
        for (int i = 0; i < 64; ++i) {
            const int ref =
                static_cast<int>(std::clamp(std::floor(reference[i] + 0.5), -256.0, 255.0));
            const int got = std::clamp<int>(out.v[i], -256, 255);
            const int error = got - ref;
            f.peak = std::max(f.peak, std::abs(error));
            sumError[i] += error;
            sumSquared[i] += error * error;
        }
    }
    double totalError = 0, totalSquared = 0;
    for (int i = 0; i < 64; ++i) {
        f.worstPixelMse = std::max(f.worstPixelMse, sumSquared[i] / kBlocks);
        f.worstPixelMean = std::max(f.worstPixelMean, std::fabs(sumError[i] / kBlocks));
        totalError += sumError[i];
        totalSquared += sumSquared[i];
    }
    f.overallMse = totalSquared / (64.0 * kBlocks);
    f.overallMean = std::fabs(totalError / (64.0 * kBlocks));
    return f;
}

// The IEEE 1180 accuracy procedure on each variant: ranges -256..255, -5..5
// and -300..300, both signs, 10,000 blocks each. The figures are printed;
// the limits are the standard's.
TEST(IdctTest, Ieee1180Accuracy) {
    struct Range {
        long low, high;
    } ranges[] = {{256, 255}, {5, 5}, {300, 300}};
    for (const Variant& variant : Variants()) {
        for (const Range& range : ranges) {
            for (int sign : {1, -1}) {
                const Ieee1180Figures f = RunIeee1180(variant.run, range.low, range.high, sign);
                std::printf(
                    "IEEE 1180 %-17s range -%ld..%ld sign %+d: peak %d, worst pixel mse %.4f, "
                    "overall mse %.4f, worst pixel mean %.4f, overall mean %.5f\n",
                    variant.name, range.low, range.high, sign, f.peak, f.worstPixelMse,
                    f.overallMse, f.worstPixelMean, f.overallMean);
                SCOPED_TRACE(std::string(variant.name) + " range " + std::to_string(range.high) +
                             " sign " + std::to_string(sign));
                EXPECT_LE(f.peak, 1);
                EXPECT_LE(f.worstPixelMse, 0.06);
                EXPECT_LE(f.overallMse, 0.02);
                EXPECT_LE(f.worstPixelMean, 0.015);
                EXPECT_LE(f.overallMean, 0.0015);
            }
        }
        Block zero{}, out;
        variant.run(zero.v, out.v);
        for (int16_t s : out.v)
            EXPECT_EQ(s, 0) << variant.name;
    }
}

}  // namespace
}  // namespace velmora::record

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "ResizeTestSupport.h"
#include "resize/Lanczos3.h"
#include "resize/ResizeLinearRows.h"

namespace velmora::test {
namespace {

using namespace velmora::resize;

// ---- Lanczos-3 weights ----

using LanczosFn = void (*)(const float*, int32_t, float*);
void Sse2Weights(const float* f, int32_t n, float* w) {
    CalcLanczos3Weights_Sse2(f, n, w, Lanczos3Table.data());
}
void Sse3Weights(const float* f, int32_t n, float* w) {
    CalcLanczos3Weights_Sse3(f, n, w, Lanczos3Table.data());
}
void Ssse3Weights(const float* f, int32_t n, float* w) {
    CalcLanczos3Weights_Ssse3(f, n, w, Lanczos3Table.data());
}
constexpr LanczosFn kLanczos[] = {CalcLanczos3Weights_Generic, CalcLanczos3Weights_Sse, Sse2Weights,
                                  Sse3Weights, Ssse3Weights};

TEST(ResizeLanczos, TableHoldsTheWindow) {
    const std::pair<int, double> rows[] = {
        {1, 0.99981719},    {50, 0.60792708},  {99, 0.00838497},
        {101, -0.00815418}, {137, -0.147255},  {150, -0.13509491},
        {231, 0.0311567},   {250, 0.02431709}, {299, 0.00001118}};
    for (const auto& [i, value] : rows)
        EXPECT_NEAR(Lanczos3Table[i], value, 1e-6) << i;
    EXPECT_EQ(Lanczos3Table[0], 1.0f);
    for (int i : {100, 200, 300, 301})
        EXPECT_EQ(Lanczos3Table[i], 0.0f) << i;
}

// Normalised weights of the window itself, in double precision.
std::vector<double> ReferenceWeights(double t) {
    std::vector<double> w(6);
    double sum = 0;
    for (int k = 0; k < 6; ++k) {
        const double x = std::fabs(k - 2 - t);
        if (x < 3) {
            const double a = x * 100;
            const int j = static_cast<int>(a);
            w[k] = Lanczos3Table[j] + (a - j) * (Lanczos3Table[j + 1] - Lanczos3Table[j]);
        }
        sum += w[k];
    }
    for (double& v : w)
        v /= sum;
    return w;
}

// The Sse2, Sse3 and Ssse3 weights one tap at a time: single precision,
// every distance clamped to 3, summed in the order w0, w1, w3, w2, w4, w5.
void ClampedWeightsModel(float t, float* w) {
    const float base = -t - 2.0f;
    for (int k = 0; k < 6; ++k) {
        const float a = std::fmin(std::fabs(base + static_cast<float>(k)), 3.0f) * 100.0f;
        const auto j = static_cast<int32_t>(a);
        w[k] = Lanczos3Table[j] +
               (a - static_cast<float>(j)) * (Lanczos3Table[j + 1] - Lanczos3Table[j]);
    }
    const float sum = (((((0.0f + w[0]) + w[1]) + w[3]) + w[2]) + w[4]) + w[5];
    for (int k = 0; k < 6; ++k)
        w[k] = w[k] / sum;
}

TEST(ResizeLanczos, EveryMemberGivesNormalisedWeights) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> fraction(0.0f, 0.9999f);
    std::vector<float> t(200);
    for (float& v : t)
        v = fraction(rng);
    t[0] = 0.0f;
    t[1] = 0.5f;
    t[2] = -1e-8f;
    // Then the fractions of grids of random scales and offsets, as the
    // driver makes them (t = P - trunc(P + 1e-7)).
    for (int grid = 0; grid < 100; ++grid) {
        const double step = std::exp(std::uniform_real_distribution<double>(-4.0, 4.0)(rng));
        const double first = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        for (int i = 0; i < 50; ++i) {
            const double p = first + i * step;
            t.push_back(static_cast<float>(p - std::trunc(p + 1e-7)));
        }
    }
    for (const LanczosFn fn : kLanczos) {
        std::vector<float> w(6 * t.size() + 6, 99.0f);
        fn(t.data(), static_cast<int32_t>(t.size()), w.data());
        EXPECT_EQ(w[6 * t.size()], 99.0f) << "nothing past count positions";
        for (int k = 0; k < 6; ++k)
            EXPECT_EQ(w[k], k == 2 ? 1.0f : 0.0f) << "t = 0";
        EXPECT_FLOAT_EQ(w[6 + 0], w[6 + 5]);
        EXPECT_FLOAT_EQ(w[6 + 1], w[6 + 4]);
        EXPECT_FLOAT_EQ(w[6 + 2], w[6 + 3]);
        EXPECT_EQ(w[12 + 5], 0.0f) << "a fraction just below 0 leaves tap 5 at distance 3";
        for (size_t i = 0; i < t.size(); ++i) {
            const std::vector<double> ref = ReferenceWeights(t[i]);
            double sum = 0;
            for (int k = 0; k < 6; ++k) {
                EXPECT_NEAR(w[6 * i + k], ref[k], 1e-6) << "t " << t[i] << " tap " << k;
                sum += w[6 * i + k];
            }
            EXPECT_NEAR(sum, 1.0, 1e-6);
        }
        if (fn == CalcLanczos3Weights_Generic || fn == CalcLanczos3Weights_Sse) continue;
        for (size_t i = 0; i < t.size(); ++i) {
            float model[6];
            ClampedWeightsModel(t[i], model);
            ASSERT_EQ(std::memcmp(model, &w[6 * i], sizeof model), 0) << "t " << t[i];
        }
    }
    float untouched = 5.0f;
    CalcLanczos3Weights_Generic(t.data(), 0, &untouched);
    CalcLanczos3Weights_Sse(t.data(), -1, &untouched);
    EXPECT_EQ(untouched, 5.0f);
}

// ---- linear row kernels ----

template <typename T>
struct IntegerRows {
    LinearRowHFn<T> rowH;
    LinearRowHPartFn<T> rowHPart;
    LinearRowHFn<T> rowHOneCh;
    LinearRowVFn<T> rowV;
    LinearRowVFn<T> rowVPart;
};
const IntegerRows<uint8_t> kRows8u[] = {
    {ResizeLinearRowH8u_Generic, ResizeLinearRowHPart8u_Generic, ResizeLinearRowHOneCh8u_Generic,
     ResizeLinearRowV8u_Generic, ResizeLinearRowVPart8u_Generic},
    {ResizeLinearRowH8u_Sse2, ResizeLinearRowHPart8u_Sse2, ResizeLinearRowHOneCh8u_Sse2,
     ResizeLinearRowV8u_Sse2, ResizeLinearRowVPart8u_Sse2},
    {ResizeLinearRowH8u_Sse3, ResizeLinearRowHPart8u_Sse3, ResizeLinearRowHOneCh8u_Sse3,
     ResizeLinearRowV8u_Sse3, ResizeLinearRowVPart8u_Sse3},
    {ResizeLinearRowH8u_Ssse3, ResizeLinearRowHPart8u_Ssse3, ResizeLinearRowHOneCh8u_Ssse3,
     ResizeLinearRowV8u_Ssse3, ResizeLinearRowVPart8u_Ssse3},
};
const IntegerRows<uint16_t> kRows16u[] = {
    {ResizeLinearRowH16u_Generic, ResizeLinearRowHPart16u_Generic, ResizeLinearRowHOneCh16u_Generic,
     ResizeLinearRowV16u_Generic, ResizeLinearRowVPart16u_Generic},
    {ResizeLinearRowH16u_Sse2, ResizeLinearRowHPart16u_Sse2, ResizeLinearRowHOneCh16u_Sse2,
     ResizeLinearRowV16u_Sse2, ResizeLinearRowVPart16u_Sse2},
    {ResizeLinearRowH16u_Sse3, ResizeLinearRowHPart16u_Sse3, ResizeLinearRowHOneCh16u_Sse3,
     ResizeLinearRowV16u_Sse3, ResizeLinearRowVPart16u_Sse3},
    {ResizeLinearRowH16u_Ssse3, ResizeLinearRowHPart16u_Sse3, ResizeLinearRowHOneCh16u_Ssse3,
     ResizeLinearRowV16u_Ssse3, ResizeLinearRowVPart16u_Ssse3},
};

// Aligned buffers with room after them, as the driver allocates them.
template <typename E>
struct AlignedRow {
    explicit AlignedRow(int32_t n) : storage(n + 64) {
        auto address = reinterpret_cast<uintptr_t>(storage.data());
        data = reinterpret_cast<E*>((address + 31) & ~uintptr_t{31});
    }
    std::vector<E> storage;
    E* data;
};

// Every member equals the integer model on random rows, for every width
// (every remainder block), writing nothing past its values; sources end at
// a guard page.
template <typename T>
void CheckIntegerMembers(const IntegerRows<T>* members, int count, int32_t maxValue) {
    std::mt19937 rng(11);
    for (int32_t width = 1; width <= 40; ++width) {
        for (int32_t stride : {3, 4}) {
            const int32_t srcPixels = width + 3;
            GuardedRegion src(sizeof(T) * srcPixels * stride, Flush::Back);
            auto* s = reinterpret_cast<T*>(src.data());
            for (int32_t i = 0; i < srcPixels * stride; ++i)
                s[i] = rng() % (maxValue + 1);
            std::vector<int32_t> offsets(width), offsetsOne(width);
            AlignedRow<uint16_t> weights(2 * width);
            for (int32_t x = 0; x < width; ++x) {
                // The last column takes the last pixel pair of the row.
                const int32_t pixel = x == width - 1 ? srcPixels - 2 : rng() % (srcPixels - 1);
                offsets[x] = pixel * stride;
                offsetsOne[x] =
                    x == width - 1 ? srcPixels * stride - 2 : rng() % (srcPixels * stride - 1);
                const uint16_t w1 = (x % 5 == 0) ? 16384 : rng() % 16385;
                weights.data[2 * x] = static_cast<uint16_t>(16384 - w1);
                weights.data[2 * x + 1] = w1;
            }
            AlignedRow<uint16_t> want(4 * width + 8), got(4 * width + 8);
            auto compare = [&](int32_t values, const char* what) {
                for (int32_t i = 0; i < values + 8; ++i) {
                    ASSERT_EQ(got.data[i], want.data[i])
                        << what << " width " << width << " at " << i;
                }
            };
            for (int m = 0; m < count; ++m) {
                std::fill(want.storage.begin(), want.storage.end(), 0xBEEF);
                std::fill(got.storage.begin(), got.storage.end(), 0xBEEF);
                LinearRowHModel<T, 3, LinearForm::Integer>(s, width, stride, offsets.data(),
                                                           weights.data, want.data);
                members[m].rowHPart(s, width, stride, offsets.data(), weights.data, got.data);
                compare(3 * width, "RowHPart");
                if (stride == 4) {
                    LinearRowHModel<T, 4, LinearForm::Integer>(s, width, 4, offsets.data(),
                                                               weights.data, want.data);
                    members[m].rowH(s, width, offsets.data(), weights.data, got.data);
                    compare(4 * width, "RowH");
                }
                LinearRowHModel<T, 1, LinearForm::Integer>(s, width, 1, offsetsOne.data(),
                                                           weights.data, want.data);
                members[m].rowHOneCh(s, width, offsetsOne.data(), weights.data, got.data);
                compare(width, "RowHOneCh");

                // Vertical: all values, and three of four with byte 3 kept.
                const int32_t limit = sizeof(T) == 1 ? 16320 : 65535;
                AlignedRow<uint16_t> upper(4 * width + 8), lower(4 * width + 8);
                for (int32_t i = 0; i < 4 * width + 8; ++i) {
                    upper.data[i] = rng() % (limit + 1);
                    lower.data[i] = rng() % (limit + 1);
                }
                const uint32_t w = (width % 7 == 0) ? 16384 : rng() % 16385;
                std::vector<T> dWant(4 * width + 4), dGot(4 * width + 4);
                for (size_t i = 0; i < dWant.size(); ++i)
                    dWant[i] = dGot[i] = static_cast<T>(i * 37);
                LinearRowVModel<T, LinearForm::Integer>(dWant.data(), 4 * width, w, upper.data,
                                                        lower.data);
                members[m].rowV(dGot.data(), 4 * width, w, upper.data, lower.data);
                ASSERT_EQ(dGot, dWant) << "RowV width " << width;
                LinearRowVPartModel<T, LinearForm::Integer>(dWant.data(), width, w, upper.data,
                                                            lower.data);
                members[m].rowVPart(dGot.data(), width, w, upper.data, lower.data);
                ASSERT_EQ(dGot, dWant) << "RowVPart width " << width;
            }
        }
    }
}

TEST(ResizeLinearRows, IntegerMembersEqualTheModel) {
    CheckIntegerMembers<uint8_t>(kRows8u, 4, 255);
    CheckIntegerMembers<uint16_t>(kRows16u, 4, 65535);
}

// The single-form 32f members equal the single model on random rows of every
// width (every remainder), writing nothing past their values.
TEST(ResizeLinearRows, SingleFormFloatMembersEqualTheModel) {
    const LinearRowHFn<float> rowH[] = {ResizeLinearRowH32f_Sse, ResizeLinearRowH32f_Sse2};
    const LinearRowHFn<float> rowHOneCh[] = {
        ResizeLinearRowHOneCh32f_Sse, ResizeLinearRowHOneCh32f_Sse2, ResizeLinearRowHOneCh32f_Sse3,
        ResizeLinearRowHOneCh32f_Ssse3};
    const LinearRowVFn<float> rowV[] = {ResizeLinearRowV32f_Sse, ResizeLinearRowV32f_Sse2,
                                        ResizeLinearRowV32f_Sse3, ResizeLinearRowV32f_Ssse3};
    std::mt19937 rng(23);
    auto sample = [&] {
        return static_cast<float>(static_cast<int32_t>(rng() % 200001) - 100000) / 77.0f;
    };
    for (int32_t width = 1; width <= 40; ++width) {
        const int32_t srcPixels = width + 3;
        GuardedRegion src(sizeof(float) * srcPixels * 4, Flush::Back);
        auto* s = reinterpret_cast<float*>(src.data());
        for (int32_t i = 0; i < srcPixels * 4; ++i)
            s[i] = sample();
        std::vector<int32_t> offsets(width), offsetsOne(width);
        AlignedRow<float> weights(width), upper(4 * width + 8), lower(4 * width + 8);
        for (int32_t x = 0; x < width; ++x) {
            offsets[x] = static_cast<int32_t>(rng() % (srcPixels - 1)) * 4;
            offsetsOne[x] = static_cast<int32_t>(rng() % (srcPixels * 4 - 1));
            weights.data[x] = x % 5 == 0 ? 1.0f : static_cast<float>(rng() % 1000) / 1000.0f;
        }
        for (int32_t i = 0; i < 4 * width + 8; ++i) {
            upper.data[i] = sample();
            lower.data[i] = sample();
        }
        AlignedRow<float> want(4 * width + 8), got(4 * width + 8);
        auto check = [&](auto member, auto model, int32_t values, const char* what) {
            std::fill(want.storage.begin(), want.storage.end(), 5.0f);
            std::fill(got.storage.begin(), got.storage.end(), 5.0f);
            model(want.data);
            member(got.data);
            for (int32_t i = 0; i < values + 8; ++i)
                ASSERT_EQ(got.data[i], want.data[i]) << what << " width " << width << " at " << i;
        };
        using LinearForm::Single;
        for (auto m : rowH)
            check([&](float* d) { m(s, width, offsets.data(), weights.data, d); },
                  [&](float* d) {
                      LinearRowHModel<float, 4, Single>(s, width, 4, offsets.data(), weights.data,
                                                        d);
                  },
                  4 * width, "RowH");
        for (auto m : rowHOneCh)
            check([&](float* d) { m(s, width, offsetsOne.data(), weights.data, d); },
                  [&](float* d) {
                      LinearRowHModel<float, 1, Single>(s, width, 1, offsetsOne.data(),
                                                        weights.data, d);
                  },
                  width, "RowHOneCh");
        const float w = width % 7 == 0 ? 1.0f : weights.data[width - 1];
        for (auto m : rowV)
            check([&](float* d) { m(d, 4 * width, w, upper.data, lower.data); },
                  [&](float* d) {
                      LinearRowVModel<float, Single>(d, 4 * width, w, upper.data, lower.data);
                  },
                  4 * width, "RowV");
    }
}

TEST(ResizeLinearRows, IntegerRounding) {
    for (const auto& m : kRows8u) {
        // Pair (8192, 8192) over 0 and 255 gives 8160; blended at 8192 with
        // itself, 128 (127.5 rounded up).
        const uint8_t src[8] = {0, 0, 0, 0, 255, 255, 255, 255};
        const int32_t offset = 0;
        AlignedRow<uint16_t> w(2), buf(8);
        w.data[0] = w.data[1] = 8192;
        m.rowH(src, 1, &offset, w.data, buf.data);
        EXPECT_EQ(buf.data[0], 8160);
        uint8_t out[4] = {1, 2, 3, 4};
        m.rowVPart(out, 1, 8192, buf.data, buf.data);
        EXPECT_EQ(out[0], 128);
        EXPECT_EQ(out[3], 4);
        AlignedRow<uint16_t> u(8), l(8);
        u.data[0] = 100 * 64, l.data[0] = 200 * 64;
        u.data[1] = 100 * 64, l.data[1] = 101 * 64;
        u.data[2] = 32, l.data[2] = 0;
        u.data[3] = 31, l.data[3] = 0;
        uint8_t v[4];
        m.rowV(v, 1, 4096, u.data, l.data);
        EXPECT_EQ(v[0], 125);
        m.rowV(v + 1, 1, 8192, u.data + 1, l.data + 1);
        EXPECT_EQ(v[1], 101);
        m.rowV(v + 2, 2, 0, u.data + 2, l.data + 2);
        EXPECT_EQ(v[2], 1);
        EXPECT_EQ(v[3], 0);
    }
    for (const auto& m : kRows16u) {
        AlignedRow<uint16_t> u(8), l(8);
        u.data[0] = 0;
        l.data[0] = 65535;
        uint16_t out = 0;
        m.rowV(&out, 1, 8192, u.data, l.data);
        EXPECT_EQ(out, 32768);
    }
}

TEST(ResizeLinearRows, FloatFormsDifferWhereTheyShould) {
    // U = 2.6, L = 0.5, w = 0.4: three neighbouring floats, double lowest.
    AlignedRow<float> u(8), l(8);
    u.data[0] = 2.6f;
    l.data[0] = 0.5f;
    float d = 0, s = 0, mixed = 0, part[4] = {};
    ResizeLinearRowV32f_Generic(&d, 1, 0.4f, u.data, l.data);
    ResizeLinearRowV32f_Sse2(&s, 1, 0.4f, u.data, l.data);
    ResizeLinearRowVPart32f_Sse3(part, 1, 0.4f, u.data, l.data);
    mixed = part[0];
    EXPECT_LT(d, mixed);
    EXPECT_LT(mixed, s);
    EXPECT_EQ(std::nextafter(d, 10.0f), mixed);
    EXPECT_EQ(std::nextafter(mixed, 10.0f), s);

    // a = 1e8, b = 1, w = 1: 0 in single precision, 1 in double.
    const float row[2] = {1e8f, 1.0f};
    const int32_t offset = 0;
    AlignedRow<float> w(1), out(8);
    w.data[0] = 1.0f;
    ResizeLinearRowHOneCh32f_Generic(row, 1, &offset, w.data, out.data);
    EXPECT_EQ(out.data[0], 1.0f);
    ResizeLinearRowHOneCh32f_Sse3(row, 1, &offset, w.data, out.data);
    EXPECT_EQ(out.data[0], 0.0f);
}

}  // namespace
}  // namespace velmora::test

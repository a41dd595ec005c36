// The packed 4:2:2 resize: row filters against their model, the entry's
// checks, output sizes and mends, the figures of each method, and random
// requests in every variant against a double-precision reference (linear,
// super-sampling) and against each other, under guard pages.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <random>
#include <vector>

#include "resize/ImageStatus.h"
#include "resize/ResizeMemory.h"
#include "resize/ResizeYuv422.h"
#include "resize/ResizeYuv422Cubic.h"
#include "resize/ResizeYuv422Rows.h"
#include "tests/ResizeTestSupport.h"

namespace velmora::test {
namespace {

using namespace velmora::resize;

TEST(ResizeYuv422Rows, MembersEqualTheModel) {
    const struct {
        decltype(&ResizeYuv422LinearRowH_Generic) h;
        decltype(&ResizeYuv422LinearRowV_Generic) v;
    } members[] = {{ResizeYuv422LinearRowH_Generic, ResizeYuv422LinearRowV_Generic},
                   {ResizeYuv422LinearRowH_Sse2, ResizeYuv422LinearRowV_Sse2},
                   {ResizeYuv422LinearRowH_Sse3, ResizeYuv422LinearRowV_Sse3},
                   {ResizeYuv422LinearRowH_Ssse3, ResizeYuv422LinearRowV_Ssse3}};
    std::mt19937 rng(3);
    for (int32_t pairs = 0; pairs <= 5; ++pairs) {
        std::vector<uint8_t> row(4 * 8);
        for (auto& b : row)
            b = static_cast<uint8_t>(rng());
        std::vector<int32_t> yIndex(2 * pairs), cIndex(pairs);
        std::vector<uint16_t> yW(4 * pairs + 8), cW(2 * pairs);
        for (int32_t i = 0; i < 2 * pairs; ++i) {
            yIndex[i] = 2 * static_cast<int32_t>(rng() % 15);
            yW[2 * i + 1] = static_cast<uint16_t>(rng() % 16385);
            yW[2 * i] = static_cast<uint16_t>(16384 - yW[2 * i + 1]);
        }
        for (int32_t i = 0; i < pairs; ++i) {
            cIndex[i] = 4 * static_cast<int32_t>(rng() % 7);
            cW[2 * i + 1] = i == 0 ? 16384 : static_cast<uint16_t>(rng() % 16385);
            cW[2 * i] = static_cast<uint16_t>(16384 - cW[2 * i + 1]);
        }
        std::vector<uint16_t> want(4 * pairs + 1, 9), got(want.size(), 9);
        ResizeYuv422LinearRowHModel(row.data(), pairs, yIndex.data(), cIndex.data(), yW.data(),
                                    cW.data(), want.data(), want.data() + 2 * pairs,
                                    want.data() + 3 * pairs);
        for (const auto& m : members) {
            std::fill(got.begin(), got.end(), 9);
            m.h(row.data(), pairs, yIndex.data(), cIndex.data(), yW.data(), cW.data(), got.data(),
                got.data() + 2 * pairs, got.data() + 3 * pairs);
            EXPECT_EQ(got, want) << "pairs " << pairs;
            std::vector<uint8_t> out(4 * pairs + 1, 7), ref(out.size(), 7);
            const uint32_t w = static_cast<uint32_t>(rng() % 16385);
            ResizeYuv422LinearRowVModel(ref.data(), pairs, w, want.data(), want.data(),
                                        want.data() + 2 * pairs, want.data() + 2 * pairs,
                                        want.data() + 3 * pairs, want.data() + 3 * pairs);
            m.v(out.data(), pairs, w, want.data(), want.data(), want.data() + 2 * pairs,
                want.data() + 2 * pairs, want.data() + 3 * pairs, want.data() + 3 * pairs);
            EXPECT_EQ(out, ref);
            EXPECT_EQ(out.back(), 7);
        }
    }
    // Equal weights between 10 and 11: 672 in the buffer, 11 in the output.
    const uint8_t two[8] = {10, 0, 11, 0, 0, 0, 0, 0};
    const int32_t yIndex[2] = {0, 0}, cIndex[1] = {0};
    alignas(16) const uint16_t yW[4] = {8192, 8192, 8192, 8192};
    const uint16_t cW[2] = {8192, 8192};
    alignas(16) uint16_t y[2];
    uint16_t u, v;
    ResizeYuv422LinearRowH_Generic(two, 1, yIndex, cIndex, yW, cW, y, &u, &v);
    EXPECT_EQ(y[0], 672);
    uint8_t out[4];
    ResizeYuv422LinearRowV_Generic(out, 1, 5000, y, y, &u, &u, &v, &v);
    EXPECT_EQ(out[0], 11);
}

// A packed image between guards; pixel (x, y) has luma at byte 2x and its
// pair's U, V at bytes 4(x / 2) + 1 and + 3.
struct Yuv422Image {
    Yuv422Image(int32_t w, int32_t h, bool bottomUp, uint8_t fill, Flush flush = Flush::Back)
        : image(2 * w, h, 1, flush, bottomUp), width(w) {
        image.Fill([fill] { return fill; });
    }
    uint8_t* origin() const { return image.origin(); }
    int32_t step() const { return image.step(); }
    uint8_t& at(int32_t byte, int32_t y) const { return image.at(byte, y, 0); }
    GuardedImage<uint8_t> image;
    int32_t width;
};

struct Yuv422Call {
    int32_t srcW = 8, srcH = 8, roiX = 0, roiY = 0, roiW = 8, roiH = 8, dstW = 16, dstH = 16;
    double xF = 1, yF = 1;
    int32_t code = INTERP_NEAREST;
};

// Runs `c` in variant v on `src` into a fresh destination filled with 7.
int32_t CallVariant(int v, const Yuv422Call& c, const Yuv422Image& src, Yuv422Image& dst) {
    return ResizeYuv422DispatchTable[v](src.origin(), c.srcW, c.srcH, src.step(), c.roiX, c.roiY,
                                        c.roiW, c.roiH, dst.origin(), dst.step(), c.dstW, c.dstH,
                                        c.xF, c.yF, c.code);
}

// Output pixels and rows: the first byte per row and the first row that
// kept their fill.
std::pair<int32_t, int32_t> Written(const Yuv422Image& dst, int32_t w, int32_t h) {
    int32_t cols = 0, rows = 0;
    while (cols < 2 * w && dst.at(cols, 0) != 7)
        ++cols;
    while (rows < h && dst.at(0, rows) != 7)
        ++rows;
    return {cols / 2, rows};
}

TEST(ResizeYuv422Entry, ChecksAndOutputSizes) {
    Yuv422Image src(200, 8, false, 100);
    for (int v = 0; v < av::kCpuVariantCount; ++v) {
        auto run = [&](auto change) {
            Yuv422Call c;
            c.srcW = 200;
            change(c);
            Yuv422Image dst(c.dstW > 0 ? c.dstW : 2, c.dstH > 0 ? c.dstH : 1, false, 7);
            const int32_t status = CallVariant(v, c, src, dst);
            const auto written = Written(dst, c.dstW > 0 ? c.dstW : 2, c.dstH > 0 ? c.dstH : 1);
            return std::tuple{status, written.first, written.second};
        };
        using T = std::tuple<int32_t, int32_t, int32_t>;
        EXPECT_EQ(run([](auto& c) { c.srcW = 8, c.roiX = 4, c.roiW = 8; }), (T{0, 4, 8}));
        EXPECT_EQ(run([](auto& c) { c.dstW = 5, c.xF = 2; }), (T{0, 4, 8}));
        EXPECT_EQ(run([](auto& c) { c.roiW = 2, c.xF = 0.75; }), (T{0, 2, 8}));
        EXPECT_EQ(std::get<0>(run([](auto& c) { c.roiW = 2, c.xF = 0.7; })), STS_NO_OUTPUT_ERR);
        EXPECT_EQ(run([](auto& c) { c.roiH = 2, c.yF = 0.25; }), (T{0, 8, 1}));
        EXPECT_EQ(std::get<0>(run([](auto& c) { c.roiH = 2, c.yF = 0.2; })), STS_NO_OUTPUT_ERR);
        EXPECT_EQ(run([](auto& c) { c.roiW = 100, c.xF = 0.58, c.dstW = 100; }), (T{0, 58, 8}));
        EXPECT_EQ(run([](auto& c) { c.roiW = 10, c.xF = 0.7; }), (T{0, 6, 8}));
        EXPECT_EQ(std::get<0>(run([](auto& c) { c.code = 8, c.xF = 1.5; })), STS_RESIZE_FACTOR_ERR);
        EXPECT_EQ(std::get<0>(run([](auto& c) { c.code = 16; })), STS_INTERPOLATION_ERR);
        EXPECT_EQ(std::get<0>(run([](auto& c) { c.roiX = 201, c.srcW = 201; })),
                  STS_NO_INTERSECTION_WARN);
        EXPECT_EQ(std::get<0>(run([](auto& c) { c.roiX = 3; })), STS_SIZE_ERR);
        EXPECT_EQ(std::get<0>(run([](auto& c) { c.dstW = 1; })), STS_SIZE_ERR);
        // Mends: non-finite factors refused; a huge factor clipped in double;
        // a ROI width near INT_MAX clipped.
        for (double bad : {std::nan(""), HUGE_VAL})
            EXPECT_EQ(std::get<0>(run([&](auto& c) { c.yF = bad; })), STS_RESIZE_FACTOR_ERR);
        EXPECT_EQ(run([](auto& c) { c.xF = 1e10; }), (T{0, 16, 8}));
        EXPECT_EQ(run([](auto& c) { c.roiX = 196, c.roiW = INT_MAX - 1; }), (T{0, 4, 8}));
        Yuv422Image dst(4, 4, false, 7);
        EXPECT_EQ(ResizeYuv422DispatchTable[v](src.origin(), -1, 8, src.step(), 0, 0, 8, 8, nullptr,
                                               8, 0, 0, 1, 1, 1),
                  STS_NULL_PTR_ERR);
    }
}

TEST(ResizeYuv422Methods, Figures) {
    for (int v = 0; v < av::kCpuVariantCount; ++v) {
        // Linear x2 on a ROI of 4 pixels ending at the image's edge: the last
        // output luma is the last source luma.
        Yuv422Image src(8, 4, false, 0);
        for (int32_t x = 0; x < 16; ++x)
            for (int32_t y = 0; y < 4; ++y)
                src.at(x, y) = static_cast<uint8_t>(10 * x + y);
        Yuv422Call c;
        c.srcW = 8, c.srcH = 4, c.roiX = 4, c.roiW = 4, c.roiH = 4, c.xF = 2, c.yF = 1;
        c.code = INTERP_LINEAR;
        Yuv422Image dst(16, 16, false, 7);
        ASSERT_EQ(CallVariant(v, c, src, dst), STS_OK);
        EXPECT_EQ(dst.at(14, 0), src.at(14, 0));
        EXPECT_EQ(dst.at(0, 0), src.at(8, 0));
        // A 6-pixel image asked for cubic runs linear; a 2-pixel one nearest.
        for (int32_t w : {6, 2}) {
            Yuv422Call cubic = c;
            cubic.srcW = cubic.roiW = w, cubic.roiX = 0, cubic.code = INTERP_CUBIC;
            Yuv422Call lower = cubic;
            lower.code = w == 6 ? INTERP_LINEAR : INTERP_NEAREST;
            Yuv422Image a(16, 16, false, 7), b(16, 16, false, 7);
            ASSERT_EQ(CallVariant(v, cubic, src, a), STS_OK);
            ASSERT_EQ(CallVariant(v, lower, src, b), STS_OK);
            EXPECT_EQ(a.image.Pixels(), b.image.Pixels());
        }
        // Nearest x0.5 on 8 pixels: luma 1, 3, 5, 7, pairs 1 and 3.
        Yuv422Call n;
        n.srcW = 8, n.srcH = 4, n.roiW = 8, n.roiH = 4, n.xF = 0.5;
        Yuv422Image near(16, 16, false, 7);
        ASSERT_EQ(CallVariant(v, n, src, near), STS_OK);
        const int32_t want[8] = {2, 5, 6, 7, 10, 13, 14, 15};
        for (int k = 0; k < 8; ++k)
            EXPECT_EQ(near.at(k, 0), src.at(want[k], 0)) << k;
        // Super-sampling halves: 2 + 3 + 3 + 3 gives 3.
        Yuv422Image ss(4, 2, false, 3);
        ss.at(0, 0) = 2;
        Yuv422Call s;
        s.srcW = s.roiW = 4, s.srcH = s.roiH = 2, s.xF = s.yF = 0.5, s.code = INTERP_SUPERSAMPLE;
        Yuv422Image out(4, 4, false, 7);
        ASSERT_EQ(CallVariant(v, s, ss, out), STS_OK);
        EXPECT_EQ(out.at(0, 0), 3);
        EXPECT_EQ(out.at(4, 0), 7);  // one pair only
        // An output raised to one row or one pair takes the ROI's own rows
        // and pixels, its last repeated (byte b of row y holds 60y + 3b).
        Yuv422Image ramp(8, 4, false, 0);
        for (int32_t b = 0; b < 16; ++b)
            for (int32_t y = 0; y < 4; ++y)
                ramp.at(b, y) = static_cast<uint8_t>(60 * y + 3 * b);
        const struct {
            int32_t code, roiX, roiY, roiW, roiH;
            double xF, yF;
            int32_t byte, want;
        } raised[] = {
            {INTERP_NEAREST, 0, 1, 8, 2, 1, 0.25, 0, 120},     // ROI row 1, not 2
            {INTERP_NEAREST, 4, 0, 2, 4, 0.75, 1, 2, 30},      // ROI luma 1, not 2
            {INTERP_SUPERSAMPLE, 0, 1, 8, 1, 1, 0.75, 0, 60},  // no third of row 2
            {INTERP_SUPERSAMPLE, 4, 0, 2, 4, 0.75, 1, 2, 30},  // no share of luma 2
            {INTERP_SUPERSAMPLE, 4, 0, 2, 4, 0.75, 1, 1, 27},  // no share of pair 1
        };
        for (const auto& r : raised) {
            Yuv422Call rc;
            rc.roiX = r.roiX, rc.roiY = r.roiY, rc.roiW = r.roiW, rc.roiH = r.roiH;
            rc.srcH = 4, rc.xF = r.xF, rc.yF = r.yF, rc.code = r.code;
            Yuv422Image got(16, 16, false, 7);
            ASSERT_EQ(CallVariant(v, rc, ramp, got), STS_OK);
            EXPECT_EQ(got.at(r.byte, 0), r.want) << "variant " << v << " code " << r.code;
        }
        // Allocation failure: -9 and nothing written.
        // Allocation failure at every block: -9, nothing written, all freed.
        for (int32_t code : {INTERP_NEAREST, INTERP_LINEAR, INTERP_CUBIC, INTERP_SUPERSAMPLE}) {
            c.code = code, c.xF = 0.5;
            GuardedResizeHeap heap;
            SetResizeAllocFailure(0);
            Yuv422Image ok(16, 16, false, 7);
            ASSERT_EQ(CallVariant(v, c, src, ok), STS_OK);
            const int64_t blocks = SetResizeAllocFailure(0);
            for (int64_t n = 1; n <= blocks; ++n) {
                Yuv422Image none(16, 16, false, 7);
                SetResizeAllocFailure(n);
                EXPECT_EQ(CallVariant(v, c, src, none), STS_NO_MEM_ERR) << code << " block " << n;
                SetResizeAllocFailure(0);
                EXPECT_EQ(Written(none, 16, 16).first, 0);
                EXPECT_EQ(heap.Outstanding(), 0u);
            }
        }
    }
}

template <CubicForm F>
void CheckCubicForm() {
    EXPECT_NEAR(ResizeYuv422CubicValue<F>(0, 0, 255, 255, 0.5f, false), 127.5, 1e-4);
    EXPECT_EQ(ResizeYuv422CubicByte<F>(ResizeYuv422CubicValue<F>(0, 0, 255, 255, 0.5f, true)), 128);
    EXPECT_NEAR(ResizeYuv422CubicValue<F>(0, 255, 255, 255, 0.5f, true), 270.9375, 1e-3);
    EXPECT_EQ(ResizeYuv422CubicByte<F>(270.9375), 255);
    EXPECT_EQ(ResizeYuv422CubicByte<F>(ResizeYuv422CubicValue<F>(255, 0, 0, 0, 0.5f, true)), 0);
    EXPECT_EQ(ResizeYuv422CubicByte<F>(2.5), 3);
    EXPECT_EQ(ResizeYuv422CubicByte<F>(2.4999), 2);
    for (float t : {-1.0f, 0.0f, 1.0f, 2.0f})
        EXPECT_NEAR(ResizeYuv422CubicValue<F>(10, 20, 40, 80, t, false),
                    t == -1  ? 10
                    : t == 0 ? 20
                    : t == 1 ? 40
                             : 80,
                    1e-4);
}

template <CubicForm F>
float CubicModelH(const uint8_t* q, int32_t stride, float t) {
    return static_cast<float>(
        ResizeYuv422CubicValue<F>(q[-stride], q[0], q[stride], q[2 * stride], t, false));
}

// Positions from -1 to 2, the edge ones among them.
float CubicFrac(std::mt19937& rng) {
    return static_cast<float>(rng() % 301) / 100 - 1;
}

void CheckCubicVectorRowH(std::mt19937& rng, int32_t pairs) {
    std::vector<uint8_t> row(4 * pairs + 64);
    for (auto& b : row)
        b = static_cast<uint8_t>(rng());
    std::vector<int32_t> yIndex(2 * pairs), cIndex(pairs);
    std::vector<float> yFrac(2 * pairs + 4), cFrac(pairs);
    float* const yF =
        yFrac.data() + (16 - (reinterpret_cast<uintptr_t>(yFrac.data()) & 15)) % 16 / 4;
    for (int32_t i = 0; i < 2 * pairs; ++i) {
        yIndex[i] = 2 + 2 * static_cast<int32_t>(rng() % (2 * pairs + 28));
        yF[i] = CubicFrac(rng);
    }
    for (int32_t i = 0; i < pairs; ++i) {
        cIndex[i] = 4 + 4 * static_cast<int32_t>(rng() % (pairs + 12));
        cFrac[i] = CubicFrac(rng);
    }
    const decltype(&ResizeYuv422CubicRowH_Generic) members[] = {
        ResizeYuv422CubicRowH_Sse2, ResizeYuv422CubicRowH_Sse3, ResizeYuv422CubicRowH_Ssse3};
    for (auto member : members) {
        alignas(16) float y[80], u[40], v[40];
        member(row.data(), pairs, yIndex.data(), cIndex.data(), yF, cFrac.data(), y, u, v);
        for (int32_t p = 0; p < pairs; ++p) {
            auto model = [&](int32_t at, int32_t stride, float t) {
                return p < (pairs & ~1)
                           ? CubicModelH<CubicForm::Core>(row.data() + at, stride, t)
                           : CubicModelH<CubicForm::Single>(row.data() + at, stride, t);
            };
            EXPECT_EQ(y[2 * p], model(yIndex[2 * p], 2, yF[2 * p])) << pairs << " " << p;
            EXPECT_EQ(y[2 * p + 1], model(yIndex[2 * p + 1], 2, yF[2 * p + 1]));
            EXPECT_EQ(u[p], model(cIndex[p] + 1, 4, cFrac[p])) << pairs << " " << p;
            EXPECT_EQ(v[p], model(cIndex[p] + 3, 4, cFrac[p])) << pairs << " " << p;
        }
    }
}

// Rows with the overshoot of a cubic, values near halves among them.
void CheckCubicVectorRowV(std::mt19937& rng, int32_t pairs) {
    alignas(16) float y[4][80], u[4][40], v[4][40];
    auto value = [&] {
        return rng() % 4 == 0 ? static_cast<float>(rng() % 256) + 0.5f
                              : static_cast<float>(rng() % 40001) / 100.0f - 80.0f;
    };
    for (int k = 0; k < 4; ++k) {
        for (int32_t i = 0; i < 2 * pairs; ++i)
            y[k][i] = value();
        for (int32_t i = 0; i < pairs; ++i)
            u[k][i] = value(), v[k][i] = value();
    }
    const float t = CubicFrac(rng);
    const decltype(&ResizeYuv422CubicRowV_Generic) members[] = {
        ResizeYuv422CubicRowV_Sse2, ResizeYuv422CubicRowV_Sse3, ResizeYuv422CubicRowV_Ssse3};
    for (auto member : members) {
        std::vector<uint8_t> out(4 * pairs + 8, 0x5A);
        member(out.data(), pairs, &t, y[0], y[1], y[2], y[3], u[0], u[1], u[2], u[3], v[0], v[1],
               v[2], v[3]);
        auto model = [&](const auto& rows, int32_t k, int32_t p) {
            const bool core = p < (pairs & ~1);
            const double r = core ? ResizeYuv422CubicValue<CubicForm::Core>(
                                        rows[0][k], rows[1][k], rows[2][k], rows[3][k], t, true)
                                  : ResizeYuv422CubicValue<CubicForm::Single>(
                                        rows[0][k], rows[1][k], rows[2][k], rows[3][k], t, true);
            return core ? ResizeYuv422CubicByte<CubicForm::Core>(r)
                        : ResizeYuv422CubicByte<CubicForm::Single>(r);
        };
        for (int32_t p = 0; p < pairs; ++p) {
            EXPECT_EQ(out[4 * p], model(y, 2 * p, p)) << pairs << " " << p;
            EXPECT_EQ(out[4 * p + 1], model(u, p, p)) << pairs << " " << p;
            EXPECT_EQ(out[4 * p + 2], model(y, 2 * p + 1, p)) << pairs << " " << p;
            EXPECT_EQ(out[4 * p + 3], model(v, p, p)) << pairs << " " << p;
        }
        EXPECT_EQ(out[4 * pairs], 0x5A) << "nothing past the row";
    }
}

TEST(ResizeYuv422Cubic, FormsAndMembers) {
    CheckCubicForm<CubicForm::Double>();
    CheckCubicForm<CubicForm::Single>();
    CheckCubicForm<CubicForm::Core>();
    // The vector members: the even part in the core form, an odd last pair
    // in the single form.
    std::mt19937 rng(9);
    for (int32_t pairs : {1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 33, 34}) {
        CheckCubicVectorRowH(rng, pairs);
        CheckCubicVectorRowV(rng, pairs);
    }
    // x2 on 8 pixels ending at the image's right edge: the last output luma is
    // the last source luma (t = 2 on the last four samples).
    for (int v = 0; v < av::kCpuVariantCount; ++v) {
        Yuv422Image src(12, 6, false, 0);
        for (int32_t b = 0; b < 24; ++b)
            for (int32_t r = 0; r < 6; ++r)
                src.at(b, r) = static_cast<uint8_t>(7 * b + r);
        Yuv422Call c;
        c.srcW = 12, c.srcH = 6, c.roiX = 4, c.roiW = 8, c.roiH = 6, c.xF = 2, c.yF = 1;
        c.code = INTERP_CUBIC;
        Yuv422Image dst(16, 16, false, 7);
        ASSERT_EQ(CallVariant(v, c, src, dst), STS_OK);
        EXPECT_EQ(dst.at(30, 0), src.at(22, 0));
        EXPECT_EQ(dst.at(0, 0), src.at(8, 0));
    }
}

// A uniform source stays uniform for every factor and method, outputs
// raised to their minimum and ROIs at the image's edges included.
TEST(ResizeYuv422Methods, UniformStaysUniform) {
    const double factors[] = {1, 0.5, 1.0 / 3, 0.4, 0.75, 0.9999999, 0.3, 0.26, 2, 1.5};
    Yuv422Image src(10, 6, true, 77, Flush::Front);
    for (int v = 0; v < av::kCpuVariantCount; ++v)
        for (int32_t code : {INTERP_NEAREST, INTERP_LINEAR, INTERP_CUBIC, INTERP_SUPERSAMPLE})
            for (double xF : factors)
                for (double yF : factors)
                    for (int32_t roiX : {0, 6, 8}) {
                        Yuv422Call c;
                        c.srcW = 10, c.srcH = 6, c.roiX = roiX, c.roiY = roiX / 2;
                        c.roiW = 10 - roiX, c.roiH = 6 - roiX / 2, c.xF = xF, c.yF = yF;
                        c.code = code, c.dstW = 16, c.dstH = 10;
                        Yuv422Image dst(16, 10, false, 7);
                        const int32_t status = CallVariant(v, c, src, dst);
                        if (status != STS_OK) continue;
                        const auto [w, h] = Written(dst, 16, 10);
                        for (int32_t y = 0; y < h; ++y)
                            for (int32_t b = 0; b < 2 * w; ++b)
                                ASSERT_EQ(dst.at(b, y), 77) << "code " << code << " factors " << xF
                                                            << " " << yF << " roi " << roiX;
                    }
}

// Double-precision references on the sequences' own grids.
double LinearRef(const std::vector<double>& seq, double p) {
    const auto last = static_cast<int32_t>(seq.size()) - 1;
    if (p >= last) return seq[last];
    const auto k = static_cast<int32_t>(p);
    return seq[k] + (seq[k + 1] - seq[k]) * (p - k);
}
double AreaRef(const std::vector<double>& seq, double a, double b) {
    double sum = 0;
    for (auto k = static_cast<int64_t>(a); k < b; ++k) {
        const double w = std::max(0.0, std::min(b, k + 1.0) - std::max(a, static_cast<double>(k)));
        sum += w * seq[std::min<int64_t>(k, static_cast<int64_t>(seq.size()) - 1)];
    }
    return sum / (b - a);
}

// Random requests in every variant under guard pages: statuses agree; the
// output stays in its rectangle; nearest and linear are bit-exact across
// variants and super-sampling within one; linear is within one of a
// separable double bilinear and super-sampling within one of the area mean
// (both on images whose rows are a ramp plus a column pattern).
TEST(ResizeYuv422Random, VariantsAgreeAndFollowTheReferences) {
    std::mt19937 rng(422);
    auto pick = [&](int32_t n) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(n)); };
    const double factors[] = {1,         0.5, 0.25, 1.0 / 3, 0.4,  0.75,
                              0.9999999, 0.6, 2,    1.5,     13.7, static_cast<float>(1.0 / 3)};
    const int32_t codes[] = {INTERP_NEAREST, INTERP_LINEAR, INTERP_SUPERSAMPLE, INTERP_CUBIC};
    for (int i = 0; i < 2500; ++i) {
        Yuv422Call c;
        c.srcW = 2 + 2 * pick(17);
        c.srcH = 1 + pick(33);
        c.roiX = 2 * pick(c.srcW / 2);
        c.roiY = pick(c.srcH);
        c.roiW = 2 + 2 * pick(c.srcW / 2 + 1);
        c.roiH = 1 + pick(c.srcH + 1);
        c.dstW = 2 + pick(60);
        c.dstH = 1 + pick(60);
        c.xF = factors[pick(std::size(factors))];
        c.yF = factors[pick(std::size(factors))];
        c.code = codes[pick(4)];
        const bool bottomUp = pick(2) == 0;
        Yuv422Image src(c.srcW, c.srcH, bottomUp, 0, pick(2) ? Flush::Front : Flush::Back);
        for (int32_t y = 0; y < c.srcH; ++y)
            for (int32_t b = 0; b < 2 * c.srcW; ++b)
                src.at(b, y) = static_cast<uint8_t>(3 * y + 5 * (b / 2) + (b % 4) * 20);
        GuardedResizeHeap heap;
        std::vector<uint8_t> first, single;
        int32_t firstStatus = 0;
        for (int v = 0; v < av::kCpuVariantCount; ++v) {
            Yuv422Image dst(c.dstW, c.dstH, !bottomUp, 7, pick(2) ? Flush::Front : Flush::Back);
            const int32_t status = CallVariant(v, c, src, dst);
            const auto out = dst.image.Pixels();
            if (v == 0) {
                firstStatus = status;
                first = out;
            }
            // The vector super-sampling members run the single-precision
            // form of the scalar Sse member, byte for byte.
            if (v == 1) single = out;
            if (v > 1 && c.code == INTERP_SUPERSAMPLE) {
                ASSERT_EQ(out, single) << "case " << i << " variant " << v;
            }
            ASSERT_EQ(status, firstStatus) << "case " << i << " variant " << v;
            if (status != STS_OK) continue;
            for (size_t k = 0; k < out.size(); ++k) {
                const int tol = c.code == INTERP_SUPERSAMPLE || c.code == INTERP_CUBIC ? 1 : 0;
                ASSERT_LE(std::abs(out[k] - first[k]), tol) << "case " << i << " variant " << v;
            }
        }
        ASSERT_EQ(heap.Outstanding(), 0u);
        if (firstStatus != STS_OK || c.code == INTERP_NEAREST || c.code == INTERP_CUBIC) continue;
        if (c.code == INTERP_LINEAR && (c.srcW < 4 || c.srcH < 2)) continue;
        const int32_t roiW = std::min(c.roiW, c.srcW - c.roiX);
        const int32_t roiH = std::min(c.roiH, c.srcH - c.roiY);
        const double w = roiW * c.xF + 1e-7, h = roiH * c.yF + 1e-7;
        // Raised linear outputs place their last position past the ROI.
        if (c.code == INTERP_LINEAR && (w < 2 || h < 1)) continue;
        const auto outW = static_cast<int32_t>(std::min<double>(w, c.dstW)) / 2 * 2;
        const auto outH = static_cast<int32_t>(std::min<double>(h, c.dstH));
        // Luma of pixel x, row y; U of pair p.
        auto seqAt = [&](int32_t byte, int32_t y) {
            return static_cast<double>(src.at(2 * c.roiX + byte, c.roiY + y));
        };
        Yuv422Image dst(c.dstW, c.dstH, false, 7);
        ASSERT_EQ(CallVariant(0, c, src, dst), STS_OK);
        for (int32_t y = 0; y < outH; ++y) {
            for (int32_t x = 0; x < outW; ++x) {
                for (int32_t comp = 0; comp < 2; ++comp) {  // luma, then U
                    const int32_t n = comp == 0 ? roiW : roiW / 2;
                    const int32_t byteOf = comp == 0 ? 2 : 4;
                    const int32_t offset = comp == 0 ? 0 : 1;
                    const int32_t idx = comp == 0 ? x : x / 2;
                    std::vector<std::vector<double>> rows(roiH, std::vector<double>(n));
                    for (int32_t r = 0; r < roiH; ++r)
                        for (int32_t k = 0; k < n; ++k)
                            rows[r][k] = seqAt(byteOf * k + offset, r);
                    double ref;
                    if (c.code == INTERP_LINEAR) {
                        const double sx = n * c.xF > 1 ? (n - 1) / (n * c.xF - 1) : 0.0;
                        const double sy = roiH * c.yF > 1 ? (roiH - 1) / (roiH * c.yF - 1) : 0.0;
                        std::vector<double> column(roiH);
                        for (int32_t r = 0; r < roiH; ++r)
                            column[r] = LinearRef(rows[r], idx * sx);
                        ref = LinearRef(column, y * sy);
                        if (static_cast<int32_t>(c.roiY + y * sy + 1e-7) >= c.srcH - 1 ||
                            c.roiX / byteOf * 2 + static_cast<int32_t>(idx * sx) >=
                                c.srcW / (comp ? 2 : 1) - 1)
                            continue;  // the image's edge rule, checked in the figures
                    } else {
                        const double rx = 1 / c.xF, ry = 1 / c.yF;
                        std::vector<double> column(roiH);
                        for (int32_t r = 0; r < roiH; ++r)
                            column[r] = AreaRef(rows[r], idx * rx, (idx + 1) * rx);
                        ref = AreaRef(column, y * ry, (y + 1) * ry);
                    }
                    const double got = dst.at(4 * (x / 2) + (comp == 0 ? 2 * (x % 2) : 1), y);
                    ASSERT_LE(std::fabs(got - ref), 1.0 + 1e-6)
                        << "case " << i << " code " << c.code << " at " << x << "," << y << " comp "
                        << comp;
                }
            }
        }
    }
}

}  // namespace
}  // namespace velmora::test

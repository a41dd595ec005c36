#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "ResizeCubicModel.h"
#include "ResizeDriverTestSupport.h"
#include "ResizeRowTestSupport.h"
#include "ResizeTestSupport.h"
#include "resize/ResizeColor4.h"
#include "resize/ResizeCubicRows.h"
#include "resize/ResizeCubicWalk.h"
#include "resize/ResizeInterpolate.h"
#include "resize/ResizeKernelTable.h"

namespace velmora::test {
namespace {

using namespace velmora::resize;

template <typename T>
struct CubicMembers {
    const char* name;
    int variant;
    CubicRowHFn<T> rowH;
    CubicRowHPartFn<T> rowHPart;
    CubicRowHFn<T> rowHOneCh;
    CubicRowVFn<T> rowV;
    CubicRowVFn<T> rowVPart;
};

#define VELMORA_TEST_CUBIC_MEMBERS(S, V, v)                                                       \
    {                                                                                             \
#V, v, ResizeCubicRowH##S##_##V, ResizeCubicRowHPart##S##_##V,                            \
            ResizeCubicRowHOneCh##S##_##V, ResizeCubicRowV##S##_##V, ResizeCubicRowVPart##S##_##V \
    }
#define VELMORA_TEST_CUBIC_VARIANTS(S)                                                      \
    {                                                                                       \
        VELMORA_TEST_CUBIC_MEMBERS(S, Generic, 0), VELMORA_TEST_CUBIC_MEMBERS(S, Sse, 1),   \
            VELMORA_TEST_CUBIC_MEMBERS(S, Sse2, 2), VELMORA_TEST_CUBIC_MEMBERS(S, Sse3, 3), \
            VELMORA_TEST_CUBIC_MEMBERS(S, Ssse3, 4)                                         \
    }

template <typename T>
const std::vector<CubicMembers<T>>& MembersOf() {
    static const std::vector<CubicMembers<uint8_t>> k8u = VELMORA_TEST_CUBIC_VARIANTS(8u);
    static const std::vector<CubicMembers<uint16_t>> k16u = VELMORA_TEST_CUBIC_VARIANTS(16u);
    static const std::vector<CubicMembers<float>> k32f = VELMORA_TEST_CUBIC_VARIANTS(32f);
    if constexpr (std::is_same_v<T, uint8_t>) {
        return k8u;
    } else if constexpr (std::is_same_v<T, uint16_t>) {
        return k16u;
    } else {
        return k32f;
    }
}

float Fraction(std::mt19937& rng, int32_t j) {
    const float special[] = {-1.0f, 0.0f, 1.0f, 2.0f};
    if (j % 7 < 4) return special[j % 7];
    return -1.0f + 3.0f * static_cast<float>(rng() % 1000001) / 1000000.0f;
}

bool SameBits(float a, float b) {
    return std::memcmp(&a, &b, 4) == 0;
}

const int32_t kWidths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 720, 1920};

// One horizontal member against its model: a source row of `pixels` pixels
// flush against a guard page, columns on random bases including the first
// and last base the row allows.
template <typename T, int C>
void CheckRowH(const CubicMembers<T>& m, int32_t width, int32_t stride, std::mt19937& rng) {
    const int32_t pixels = 4 + static_cast<int32_t>(rng() % 40);
    GuardedRegion row(static_cast<size_t>(pixels) * stride * sizeof(T), Flush::Back);
    T* src = reinterpret_cast<T*>(row.data());
    for (int32_t k = 0; k < pixels * stride; ++k)
        src[k] = Sample<T>(rng);
    std::vector<int32_t> offsets(width);
    AlignedFloats weights(width);
    for (int32_t j = 0; j < width; ++j) {
        const int32_t base = j == 0 ? 1 : (j == width - 1 ? pixels - 3 : 1 + rng() % (pixels - 3));
        offsets[j] = base * stride;
        weights.p[j] = Fraction(rng, j);
    }
    AlignedFloats got(static_cast<size_t>(width) * C), want(static_cast<size_t>(width) * C);
    if constexpr (C == 4) {
        m.rowH(src, width, offsets.data(), weights.p, got.p);
    } else if constexpr (C == 3) {
        m.rowHPart(src, width, stride, offsets.data(), weights.p, got.p);
    } else {
        m.rowHOneCh(src, width, offsets.data(), weights.p, got.p);
    }
    CubicModelRowH<T, C>(CubicHFormOf<T>(m.variant, C), src, width, stride, offsets.data(),
                         weights.p, want.p);
    for (int32_t k = 0; k < width * C; ++k) {
        ASSERT_TRUE(SameBits(got.p[k], want.p[k]))
            << m.name << " C " << C << " stride " << stride << " width " << width << " value " << k
            << ": " << got.p[k] << " != " << want.p[k] << " t " << weights.p[k / C];
    }
    EXPECT_TRUE(got.TailIntact()) << m.name << " wrote past the row";
}

template <typename T>
void CheckAllRowH() {
    std::mt19937 rng(41);
    for (const CubicMembers<T>& m : MembersOf<T>()) {
        for (int32_t width : kWidths) {
            CheckRowH<T, 4>(m, width, 4, rng);
            CheckRowH<T, 3>(m, width, 3, rng);
            CheckRowH<T, 3>(m, width, 4, rng);
            CheckRowH<T, 1>(m, width, 1, rng);
        }
    }
}

TEST(ResizeCubicRows, HorizontalMembersEqualTheirModels) {
    CheckAllRowH<uint8_t>();
    CheckAllRowH<uint16_t>();
    CheckAllRowH<float>();
}

template <typename T>
void CheckCountsBelowOne() {
    for (const CubicMembers<T>& m : MembersOf<T>()) {
        for (int32_t n : kCountsBelowOne) {
            SCOPED_TRACE(testing::Message() << m.name << " count " << n);
            UntouchedRows r;
            const float* f = r.floats();
            m.rowH(r.src<T>(), n, r.offsets(), r.weights(), r.floats());
            m.rowHPart(r.src<T>(), n, 3, r.offsets(), r.weights(), r.floats());
            m.rowHPart(r.src<T>(), n, 4, r.offsets(), r.weights(), r.floats());
            m.rowHOneCh(r.src<T>(), n, r.offsets(), r.weights(), r.floats());
            m.rowV(r.dst<T>(), n, 0.5f, f, f, f, f);
            m.rowVPart(r.dst<T>(), n, 0.5f, f, f, f, f);
        }
    }
}

TEST(ResizeCubicRows, CountsBelowOneTouchNothing) {
    CheckCountsBelowOne<uint8_t>();
    CheckCountsBelowOne<uint16_t>();
    CheckCountsBelowOne<float>();
}

// Buffered values with the overshoot a cubic leaves in them.
template <typename T>
float BufferValue(std::mt19937& rng) {
    const double range = std::is_same_v<T, uint16_t> ? 65535.0 : 255.0;
    return static_cast<float>((static_cast<double>(rng() % 1000001) / 1000000.0 * 1.5 - 0.25) *
                              range);
}

template <typename T>
void CheckRowV(const CubicMembers<T>& m, int32_t width, bool part, std::mt19937& rng) {
    const int32_t values = part ? 3 * width : width;
    const int32_t samples = part ? 4 * width : width;
    std::vector<std::unique_ptr<AlignedFloats>> bufs;
    const float* b[4];
    for (int k = 0; k < 4; ++k) {
        bufs.push_back(std::make_unique<AlignedFloats>(values));
        for (int32_t e = 0; e < values; ++e)
            bufs[k]->p[e] = BufferValue<T>(rng);
        b[k] = bufs[k]->p;
    }
    const float t = Fraction(rng, static_cast<int32_t>(rng() % 9));
    GuardedRegion region(static_cast<size_t>(samples) * sizeof(T), Flush::Back);
    T* got = reinterpret_cast<T*>(region.data());
    for (int32_t k = 0; k < samples; ++k)
        got[k] = Sample<T>(rng);
    std::vector<T> want(got, got + samples);
    (part ? m.rowVPart : m.rowV)(got, width, t, b[0], b[1], b[2], b[3]);
    CubicModelRowV<T>(CubicVFormOf<T>(m.variant, part), part, want.data(), width, t, b);
    for (int32_t k = 0; k < samples; ++k) {
        ASSERT_EQ(std::memcmp(&got[k], &want[k], sizeof(T)), 0)
            << m.name << (part ? " part" : "") << " width " << width << " sample " << k << ": "
            << +got[k] << " != " << +want[k] << " t " << t;
    }
}

template <typename T>
void CheckAllRowV() {
    std::mt19937 rng(43);
    for (const CubicMembers<T>& m : MembersOf<T>()) {
        for (int32_t width : kWidths) {
            for (int repeat = 0; repeat < 3; ++repeat) {
                CheckRowV<T>(m, width, false, rng);
                CheckRowV<T>(m, width, true, rng);
            }
        }
    }
}

TEST(ResizeCubicRows, VerticalMembersEqualTheirModels) {
    CheckAllRowV<uint8_t>();
    CheckAllRowV<uint16_t>();
    CheckAllRowV<float>();
}

// ---- figures ----

// One-channel filter of taps p0..p3 at t through a member's first column of
// a row `width` wide (main columns take the vector scheme, tails S).
float FilterOne(CubicRowHFn<uint8_t> f, const uint8_t (&taps)[4], float t, int32_t width) {
    std::vector<int32_t> offsets(width, 1);
    AlignedFloats weights(width), out(width);
    for (int32_t j = 0; j < width; ++j)
        weights.p[j] = t;
    f(taps, width, offsets.data(), weights.p, out.p);
    return out.p[0];
}

TEST(ResizeCubicRows, FiguresOfTheSchemes) {
    for (const CubicMembers<uint8_t>& m : MembersOf<uint8_t>()) {
        for (int32_t width : {1, 4}) {
            EXPECT_EQ(FilterOne(m.rowHOneCh, {10, 20, 30, 40}, 0.25f, width), 22.5f) << m.name;
            EXPECT_EQ(FilterOne(m.rowHOneCh, {10, 20, 30, 40}, 0.5f, width), 25.0f) << m.name;
            EXPECT_EQ(FilterOne(m.rowHOneCh, {0, 255, 255, 0}, 0.5f, width), 286.875f) << m.name;
            EXPECT_EQ(FilterOne(m.rowHOneCh, {255, 0, 0, 255}, 0.5f, width), -31.875f) << m.name;
            EXPECT_EQ(FilterOne(m.rowHOneCh, {0, 0, 255, 255}, 0.5f, width), 127.5f) << m.name;
            EXPECT_EQ(FilterOne(m.rowHOneCh, {0, 255, 255, 255}, 0.5f, width), 270.9375f);
            EXPECT_EQ(FilterOne(m.rowHOneCh, {3, 77, 200, 9}, 0.0f, width), 77.0f) << m.name;
            EXPECT_EQ(FilterOne(m.rowHOneCh, {3, 77, 200, 9}, 1.0f, width), 200.0f) << m.name;
            // D and S divide by 3, V multiplies by K: a main column and a
            // tail column of one member may differ.
            const bool vector = m.variant != 0 && width == 4;
            EXPECT_EQ(FilterOne(m.rowHOneCh, {0, 0, 0, 255}, 0.5f, width),
                      vector ? -15.937499046325684f : -15.9375f)
                << m.name << " width " << width;
        }
    }
    // Vertical: the bias in double (D, S) against the single-precision h (V).
    auto vertical = [](const CubicMembers<uint8_t>& m, float value, int32_t count) {
        AlignedFloats b(count);
        for (int32_t i = 0; i < count; ++i)
            b.p[i] = value;
        std::vector<uint8_t> out(count, 99);
        m.rowV(out.data(), count, 0.0f, b.p, b.p, b.p, b.p);
        return +out[0];
    };
    for (const CubicMembers<uint8_t>& m : MembersOf<uint8_t>()) {
        const bool simd = m.variant != 0;
        EXPECT_EQ(vertical(m, 2.5f, 4), 3) << m.name;
        EXPECT_EQ(vertical(m, 127.5f, 1), 128) << m.name;
        EXPECT_EQ(vertical(m, 286.875f, 4), 255) << m.name;
        EXPECT_EQ(vertical(m, -31.875f, 4), 0) << m.name;
        EXPECT_EQ(vertical(m, -0.6f, 1), 0) << m.name;
        EXPECT_EQ(vertical(m, 0.49999988f, 4), simd ? 1 : 0) << m.name;
        EXPECT_EQ(vertical(m, 0.49999988f, 3), 0) << m.name;
        EXPECT_EQ(vertical(m, 2.4999998f, 4), simd ? 3 : 2) << m.name;
        EXPECT_EQ(vertical(m, 2.4999998f, 1), 2) << m.name;
    }
    for (const CubicMembers<float>& m : MembersOf<float>()) {
        AlignedFloats b0(4), b3(4);
        for (int i = 0; i < 4; ++i)
            b0.p[i] = 0.0f, b3.p[i] = 255.0f;
        float out[4];
        m.rowV(out, 4, 0.5f, b0.p, b0.p, b0.p, b3.p);
        EXPECT_EQ(out[0], m.variant == 0 ? -15.9375f : -15.937499046325684f) << m.name;
        m.rowV(out, 1, 0.5f, b0.p, b0.p, b0.p, b3.p);
        EXPECT_EQ(out[0], -15.9375f) << m.name;
    }
}

// ---- the ring walk ----

// Row kernels that record what they are asked: the row each buffer holds
// and, per output row, the rows the vertical call sees.
struct WalkLog {
    static inline const uint8_t* origin = nullptr;
    static inline int32_t step = 0;
    static inline std::vector<int64_t> filtered;           // rows, in call order
    static inline std::vector<std::vector<int64_t>> taps;  // per output row
    static inline std::vector<std::pair<float*, int64_t>> held;
    static int64_t RowOf(const uint8_t* row) { return (row - origin) / step; }
    static void Hold(float* buf, int64_t r) {
        for (auto& h : held)
            if (h.first == buf) return void(h.second = r);
        held.emplace_back(buf, r);
    }
    static int64_t Held(const float* buf) {
        for (auto& h : held)
            if (h.first == buf) return h.second;
        return -1000;
    }
    static void RowH(const uint8_t* srcRow, int32_t, const int32_t*, const float*, float* buf) {
        filtered.push_back(RowOf(srcRow));
        Hold(buf, RowOf(srcRow));
    }
    static void RowHPart(const uint8_t* srcRow, int32_t w, int32_t, const int32_t* o,
                         const float* c, float* buf) {
        RowH(srcRow, w, o, c, buf);
    }
    static void RowV(uint8_t*, int32_t, float, const float* b0, const float* b1, const float* b2,
                     const float* b3) {
        taps.push_back({Held(b0), Held(b1), Held(b2), Held(b3)});
    }
};
struct CountingPolicy {
    static constexpr CubicRows<uint8_t> k8u{WalkLog::RowH, WalkLog::RowHPart, WalkLog::RowH,
                                            WalkLog::RowV, WalkLog::RowV};
};

TEST(ResizeCubicWalk, MovesFilterAtMostFourRowsBottomFirst) {
    for (int32_t sign : {1, -1}) {
        // Base rows moving by 1, 0, 1, 2, 3, 4, 5 and 9 rows.
        const int64_t bases[] = {1, 1, 2, 4, 7, 11, 16, 25};
        const int32_t step = 64 * sign;
        std::vector<uint8_t> image(64 * 40);
        const uint8_t* origin = sign > 0 ? image.data() : image.data() + 64 * 39;
        WalkLog::origin = origin;
        WalkLog::step = step;
        WalkLog::filtered.clear();
        WalkLog::taps.clear();
        WalkLog::held.clear();
        std::vector<int32_t> rowOffsets;
        for (int64_t b : bases)
            rowOffsets.push_back(static_cast<int32_t>(b * step));
        std::vector<float> weights(std::size(bases)), bufs(4 * 64);
        const int32_t colOffsets[1] = {4};
        const float colWeights[1] = {0.0f};
        CubicResize<CountingPolicy, uint8_t, false>(
            origin, image.data(), step, 0, 1, static_cast<int32_t>(std::size(bases)),
            rowOffsets.data(), colOffsets, weights.data(), colWeights, &bufs[0], &bufs[64],
            &bufs[128], &bufs[192], 4, 4);
        // Prologue: rows 0, 1, 2; then per move by k rows min(k, 4) rows from
        // base + 2 upwards.
        const std::vector<int64_t> expected = {0,  1,  2,  3,  4,  6,  5,  9,  8,  7,  13,
                                               12, 11, 10, 18, 17, 16, 15, 27, 26, 25, 24};
        EXPECT_EQ(WalkLog::filtered, expected) << "sign " << sign;
        ASSERT_EQ(WalkLog::taps.size(), std::size(bases));
        for (size_t i = 0; i < std::size(bases); ++i) {
            const std::vector<int64_t> want = {bases[i] - 1, bases[i], bases[i] + 1, bases[i] + 2};
            EXPECT_EQ(WalkLog::taps[i], want) << "output row " << i << " sign " << sign;
        }
    }
}

// ---- through the driver ----

std::vector<uint8_t> Color4(int v, const std::vector<uint8_t>& src, int32_t w, int32_t h,
                            int32_t dw, int32_t dh, int32_t code = INTERP_CUBIC) {
    return velmora::test::Color4(v, src, w, h, dw, dh, code);
}

// First and last output rows and columns of an enlargement sit on the
// image's first and last samples: the edge rule reproduces them.
TEST(ResizeCubicDriver, EdgesReproduceTheImageAndConstantsStay) {
    std::mt19937 rng(3);
    const int32_t w = 13, h = 9, dw = 37, dh = 25;
    std::vector<uint8_t> src(w * h * 4), flat(w * h * 4, 201);
    for (auto& s : src)
        s = static_cast<uint8_t>(rng());
    for (int v = 0; v < 5; ++v) {
        const std::vector<uint8_t> out = Color4(v, src, w, h, dw, dh);
        for (int32_t c = 0; c < 3; ++c) {
            EXPECT_EQ(out[c], src[c]) << v;
            EXPECT_EQ(out[((dh - 1) * dw + dw - 1) * 4 + c], src[((h - 1) * w + w - 1) * 4 + c])
                << v;
        }
        for (size_t k = 3; k < out.size(); k += 4)
            ASSERT_EQ(out[k], 0xA5) << "byte 3 kept";
        const std::vector<uint8_t> still = Color4(v, flat, w, h, dw, dh);
        for (size_t k = 0; k < still.size(); ++k)
            ASSERT_EQ(still[k], k % 4 == 3 ? 0xA5 : 201) << v;
    }
}

// Double-precision four-point cubic on the same grid and edge rule.
double ReferenceCubic(const std::vector<uint8_t>& src, int32_t w, int32_t x, int32_t y, int32_t c,
                      double tx, double ty) {
    auto cubic = [](double p0, double p1, double p2, double p3, double t) {
        return p0 * (-t * (t - 1) * (t - 2) / 6) + p1 * ((t + 1) * (t - 1) * (t - 2) / 2) +
               p2 * (-(t + 1) * t * (t - 2) / 2) + p3 * ((t + 1) * t * (t - 1) / 6);
    };
    double rows[4];
    for (int k = 0; k < 4; ++k) {
        auto at = [&](int32_t dx) { return src[((y + k - 1) * w + x + dx) * 4 + c]; };
        rows[k] = cubic(at(-1), at(0), at(1), at(2), tx);
    }
    return cubic(rows[0], rows[1], rows[2], rows[3], ty);
}

TEST(ResizeCubicDriver, WithinOneOfADoubleCubic) {
    std::mt19937 rng(8);
    const int32_t w = 61, h = 47;
    std::vector<uint8_t> src(w * h * 4);
    for (auto& s : src)
        s = static_cast<uint8_t>(rng());
    for (auto [dw, dh] : {std::pair{150, 100}, std::pair{23, 19}}) {
        const ModelAxis cols = ModelGrid(w, static_cast<double>(dw) / w, dw, false, true);
        const ModelAxis rows = ModelGrid(h, static_cast<double>(dh) / h, dh, false, true);
        for (int v = 0; v < 5; ++v) {
            const std::vector<uint8_t> out = Color4(v, src, w, h, dw, dh);
            for (int32_t i = 0; i < dh; ++i) {
                const CubicModelTap ty = CubicModelTapOf(rows.positions[i], 0, h - 1);
                for (int32_t j = 0; j < dw; ++j) {
                    const CubicModelTap tx = CubicModelTapOf(cols.positions[j], 0, w - 1);
                    for (int32_t c = 0; c < 3; ++c) {
                        const double ref = std::clamp(
                            ReferenceCubic(src, w, tx.base, ty.base, c, tx.t, ty.t), 0.0, 255.0);
                        ASSERT_LE(std::abs(out[(i * dw + j) * 4 + c] - std::round(ref)), 1.0)
                            << v << " at " << i << "," << j << " ref " << ref;
                    }
                }
            }
        }
    }
}

// Frame sizes: every variant equals its model, and the variants agree
// within 1 (8u) and 1e-3 (32f on samples 0..255).
TEST(ResizeCubicDriver, FrameSizesAgreeAcrossVariants) {
    ExpectFrameSizesAgreeAcrossVariants(
        INTERP_CUBIC, 5,
        [](int v, const std::vector<uint8_t>& src, int32_t w, int32_t h, const ModelAxis& cols,
           const ModelAxis& rows, std::vector<uint8_t>* want) {
            ModelResizeCubic<uint8_t>(v, src, w, h, 4, 3, 0, 0, cols, rows, want);
        });
}

}  // namespace
}  // namespace velmora::test

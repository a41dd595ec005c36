#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "ResizeDriverTestSupport.h"
#include "ResizeLanczosModel.h"
#include "ResizeRowTestSupport.h"
#include "ResizeTestSupport.h"
#include "resize/ResizeColor4.h"
#include "resize/ResizeInterpolate.h"
#include "resize/ResizeKernelTable.h"
#include "resize/ResizeLanczos.h"
#include "resize/ResizeLanczosWalk.h"

namespace velmora::test {
namespace {

using namespace velmora::resize;

template <typename T>
struct LanczosMembers {
    const char* name;
    int variant;
    LanczosNoBorderRowHFn<T> nbRowH;
    LanczosNoBorderRowHPartFn<T> nbRowHPart;
    LanczosNoBorderRowHFn<T> nbRowHOneCh;
    LanczosRowHFn<T> rowH;
    LanczosRowHPartFn<T> rowHPart;
    LanczosRowHFn<T> rowHOneCh;
    LanczosRowVFn<T> rowV;
    LanczosRowVFn<T> rowVPart;
};

#define VELMORA_TEST_LANCZOS_MEMBERS(S, V, v)                                              \
    {                                                                                      \
#V, v, ResizeLanczosNoBorderRowH##S##_##V, ResizeLanczosNoBorderRowHPart##S##_##V, \
            ResizeLanczosNoBorderRowHOneCh##S##_##V, ResizeLanczosRowH##S##_##V,           \
            ResizeLanczosRowHPart##S##_##V, ResizeLanczosRowHOneCh##S##_##V,               \
            ResizeLanczosRowV##S##_##V, ResizeLanczosRowVPart##S##_##V                     \
    }
#define VELMORA_TEST_LANCZOS_VARIANTS(S)                                                        \
    {                                                                                           \
        VELMORA_TEST_LANCZOS_MEMBERS(S, Generic, 0), VELMORA_TEST_LANCZOS_MEMBERS(S, Sse, 1),   \
            VELMORA_TEST_LANCZOS_MEMBERS(S, Sse2, 2), VELMORA_TEST_LANCZOS_MEMBERS(S, Sse3, 3), \
            VELMORA_TEST_LANCZOS_MEMBERS(S, Ssse3, 4)                                           \
    }

template <typename T>
const std::vector<LanczosMembers<T>>& LanczosMembersOf() {
    static const std::vector<LanczosMembers<uint8_t>> k8u = VELMORA_TEST_LANCZOS_VARIANTS(8u);
    static const std::vector<LanczosMembers<uint16_t>> k16u = VELMORA_TEST_LANCZOS_VARIANTS(16u);
    static const std::vector<LanczosMembers<float>> k32f = VELMORA_TEST_LANCZOS_VARIANTS(32f);
    if constexpr (std::is_same_v<T, uint8_t>) {
        return k8u;
    } else if constexpr (std::is_same_v<T, uint16_t>) {
        return k16u;
    } else {
        return k32f;
    }
}

bool SameFloatBits(float a, float b) {
    return std::memcmp(&a, &b, 4) == 0;
}

// Six weights summing to about 1, with negative lobes.
void RandomWeights(std::mt19937& rng, float* w) {
    const float f = static_cast<float>(rng() % 1000) / 1000.0f;
    const float base[6] = {0.02f, -0.1f, 0.6f, 0.6f, -0.1f, 0.02f};
    for (int k = 0; k < 6; ++k)
        w[k] = base[k] + (k < 3 ? -0.3f : 0.3f) * f + static_cast<float>(rng() % 100) * 1e-4f;
}

const int32_t kLanczosWidths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 720, 1920};

// A source row of pixels -before .. W - 1 flush against one guard or the
// other; returns the pointer to pixel 0.
template <typename T>
struct GuardedRow {
    GuardedRow(int32_t before, int32_t W, int32_t stride, Flush flush, std::mt19937& rng)
        : region(static_cast<size_t>(before + W) * stride * sizeof(T), flush) {
        T* p = reinterpret_cast<T*>(region.data());
        for (int32_t k = 0; k < (before + W) * stride; ++k)
            p[k] = Sample<T>(rng);
        row = p + static_cast<ptrdiff_t>(before) * stride;
    }
    GuardedRegion region;
    const T* row;
};

// ---- no-border row kernels ----

// With `unitTap` 0 .. 5 the weights are 1 on that tap and 0 on the others.
template <typename T, int C>
void CheckNoBorder(const LanczosMembers<T>& m, int32_t width, int32_t stride, bool tableAligned,
                   int unitTap, std::mt19937& rng) {
    const int32_t W = 6 + static_cast<int32_t>(rng() % 40);
    // Every base's taps lie in the row: bases 2 .. W - 4, the first and last
    // of them taken.
    const GuardedRow<T> src(0, W, stride, rng() % 2 ? Flush::Front : Flush::Back, rng);
    std::vector<int32_t> offsets(width);
    AlignedFloats weights(6 * static_cast<size_t>(width), tableAligned ? 0 : 2);
    for (int32_t j = 0; j < width; ++j) {
        const int32_t b = j == 0 ? 2 : (j == width - 1 ? W - 4 : 2 + rng() % (W - 5));
        offsets[j] = b * stride;
        RandomWeights(rng, weights.p + 6 * j);
        for (int k = 0; k < 6 && unitTap >= 0; ++k)
            weights.p[6 * j + k] = k == unitTap ? 1.0f : 0.0f;
    }
    AlignedFloats got(static_cast<size_t>(width) * C), want(static_cast<size_t>(width) * C);
    const int v = m.variant;
    using F = LanczosNoBorderForm;
    if constexpr (C == 4) {
        m.nbRowH(src.row, offsets.data(), weights.p, got.p, width);
        if (v == 0)
            LanczosNoBorderRowModel<T, 4, F::Double>(src.row, 4, offsets.data(), weights.p, want.p,
                                                     width);
        if (v == 1)
            LanczosNoBorderRowModel<T, 4, F::Single>(src.row, 4, offsets.data(), weights.p, want.p,
                                                     width);
        if (v >= 2)
            LanczosNoBorderRowModel<T, 4, F::Pairwise>(src.row, 4, offsets.data(), weights.p,
                                                       want.p, width);
    } else if constexpr (C == 3) {
        m.nbRowHPart(src.row, stride, offsets.data(), weights.p, got.p, width);
        if (v == 0)
            LanczosNoBorderRowModel<T, 3, F::Double>(src.row, stride, offsets.data(), weights.p,
                                                     want.p, width);
        if (v == 1)
            LanczosNoBorderRowModel<T, 3, F::Single>(src.row, stride, offsets.data(), weights.p,
                                                     want.p, width);
        if (v >= 2)
            LanczosNoBorderRowModel<T, 3, F::Pairwise>(src.row, stride, offsets.data(), weights.p,
                                                       want.p, width);
    } else {
        m.nbRowHOneCh(src.row, offsets.data(), weights.p, got.p, width);
        if (v == 0)
            LanczosNoBorderRowModel<T, 1, F::Double>(src.row, 1, offsets.data(), weights.p, want.p,
                                                     width);
        if (v == 1)
            LanczosNoBorderRowModel<T, 1, F::Single>(src.row, 1, offsets.data(), weights.p, want.p,
                                                     width);
        if (v >= 2) LanczosNoBorderOneChSteps<T>(src.row, offsets.data(), weights.p, want.p, width);
    }
    for (int32_t k = 0; k < width * C; ++k) {
        ASSERT_TRUE(SameFloatBits(got.p[k], want.p[k]))
            << m.name << " no-border C " << C << " stride " << stride << " width " << width
            << (tableAligned ? "" : " weights +8") << " value " << k;
        // A unit weight gives its tap's sample exactly, whatever the order.
        if (unitTap >= 0) {
            const T sample = src.row[offsets[k / C] + (unitTap - 2) * stride + k % C];
            ASSERT_EQ(got.p[k], static_cast<float>(sample)) << m.name << " value " << k;
        }
    }
    EXPECT_TRUE(got.TailIntact()) << m.name;
}

template <typename T>
void CheckAllNoBorder() {
    std::mt19937 rng(51);
    for (const LanczosMembers<T>& m : LanczosMembersOf<T>()) {
        for (int32_t width : kLanczosWidths) {
            for (bool aligned : {true, false}) {
                for (int unitTap = -1; unitTap < (width > 16 ? 0 : 6); ++unitTap) {
                    CheckNoBorder<T, 4>(m, width, 4, aligned, unitTap, rng);
                    CheckNoBorder<T, 3>(m, width, 3, aligned, unitTap, rng);
                    CheckNoBorder<T, 3>(m, width, 4, aligned, unitTap, rng);
                    CheckNoBorder<T, 1>(m, width, 1, aligned, unitTap, rng);
                }
            }
        }
    }
}

TEST(ResizeLanczosRows, NoBorderMembersEqualTheirModels) {
    CheckAllNoBorder<uint8_t>();
    CheckAllNoBorder<uint16_t>();
    CheckAllNoBorder<float>();
}

// ---- border row kernels ----

template <typename T, int C>
void CheckBorder(const LanczosMembers<T>& m, int32_t width, int32_t stride, int32_t leftAvail,
                 int32_t W, bool tableAligned, std::mt19937& rng) {
    const GuardedRow<T> src(std::min(leftAvail, 2), W, stride,
                            rng() % 2 ? Flush::Front : Flush::Back, rng);
    std::vector<int32_t> bases(width);
    for (auto& b : bases)
        b = static_cast<int32_t>(rng() % W);
    std::sort(bases.begin(), bases.end());
    if (width > 2) bases.front() = 0, bases.back() = W - 1;
    std::vector<int32_t> offsets(width);
    AlignedFloats weights(6 * static_cast<size_t>(width), tableAligned ? 0 : 2);
    for (int32_t j = 0; j < width; ++j) {
        offsets[j] = bases[j] * stride;
        RandomWeights(rng, weights.p + 6 * j);
    }
    AlignedFloats got(static_cast<size_t>(width) * C);
    if constexpr (C == 4) {
        m.rowH(src.row, offsets.data(), weights.p, got.p, width, leftAvail, W);
    } else if constexpr (C == 3) {
        m.rowHPart(src.row, stride, offsets.data(), weights.p, got.p, width, leftAvail, W);
    } else {
        m.rowHOneCh(src.row, offsets.data(), weights.p, got.p, width, leftAvail, W);
    }
    const std::vector<float> want = LanczosModelRowH<T>(m.variant, C, src.row, stride, bases,
                                                        weights.p, leftAvail, W, tableAligned);
    for (int32_t k = 0; k < width * C; ++k) {
        ASSERT_TRUE(SameFloatBits(got.p[k], want[k]))
            << m.name << " C " << C << " stride " << stride << " width " << width << " leftAvail "
            << leftAvail << " W " << W << " value " << k << " base " << bases[k / C] << ": "
            << got.p[k] << " != " << want[k];
    }
    EXPECT_TRUE(got.TailIntact()) << m.name;
}

template <typename T>
void CheckAllBorder() {
    std::mt19937 rng(53);
    for (const LanczosMembers<T>& m : LanczosMembersOf<T>()) {
        for (int32_t leftAvail : {0, 1, 2, 5}) {
            const int32_t minW = leftAvail == 0 ? 5 : (leftAvail == 1 ? 4 : 1);
            for (int32_t W : {1, 2, 3, 4, 5, 6, 7, 8, 23}) {
                if (W < minW) continue;
                for (int32_t width : kLanczosWidths) {
                    if (width > 16 && W != 23) continue;
                    const bool aligned = (width + W) % 2 == 0;
                    CheckBorder<T, 4>(m, width, 4, leftAvail, W, aligned, rng);
                    CheckBorder<T, 3>(m, width, 3, leftAvail, W, aligned, rng);
                    CheckBorder<T, 3>(m, width, 4, leftAvail, W, aligned, rng);
                    CheckBorder<T, 1>(m, width, 1, leftAvail, W, aligned, rng);
                }
            }
        }
    }
}

TEST(ResizeLanczosRows, BorderMembersReplicateTheEdgesAsTheModel) {
    CheckAllBorder<uint8_t>();
    CheckAllBorder<uint16_t>();
    CheckAllBorder<float>();
}

// An offset that fits no run still ahead ends the call; later columns keep
// their contents.
TEST(ResizeLanczosRows, AnOffsetPastTheRunsEndsTheCall) {
    std::vector<uint8_t> row(4 * 12, 100);
    const int32_t offsets[4] = {8, 4 * 11, 4 * 12, 8};
    AlignedFloats weights(24), out(16);
    for (int k = 0; k < 24; ++k)
        weights.p[k] = k % 6 == 2 ? 1.0f : 0.0f;
    for (const LanczosMembers<uint8_t>& m : LanczosMembersOf<uint8_t>()) {
        for (int k = 0; k < 16; ++k)
            out.p[k] = -1.0f;
        m.rowH(row.data(), offsets, weights.p, out.p, 4, 0, 12);
        for (int k = 0; k < 16; ++k)
            EXPECT_EQ(out.p[k], k < 8 ? 100.0f : -1.0f) << m.name << " value " << k;
        m.rowH(row.data(), offsets, weights.p, out.p, 0, 0, 12);
        EXPECT_EQ(out.p[0], 100.0f) << "width 0 writes nothing";
    }
}

// ---- vertical row kernels ----

template <typename T>
void CheckVertical(const LanczosMembers<T>& m, int32_t width, bool part, std::mt19937& rng) {
    const int32_t values = part ? 3 * width : width;
    const int32_t samples = part ? 4 * width : width;
    const double range = std::is_same_v<T, uint16_t> ? 65535.0 : 255.0;
    std::vector<std::unique_ptr<AlignedFloats>> bufs;
    const float* b[6];
    for (int k = 0; k < 6; ++k) {
        bufs.push_back(std::make_unique<AlignedFloats>(values));
        for (int32_t e = 0; e < values; ++e)
            bufs[k]->p[e] = static_cast<float>((rng() % 100001 / 100000.0 * 1.2 - 0.1) * range);
        b[k] = bufs[k]->p;
    }
    float w[6];
    RandomWeights(rng, w);
    GuardedRegion region(static_cast<size_t>(samples) * sizeof(T), Flush::Back);
    T* got = reinterpret_cast<T*>(region.data());
    for (int32_t k = 0; k < samples; ++k)
        got[k] = Sample<T>(rng);
    std::vector<T> want(got, got + samples);
    (part ? m.rowVPart : m.rowV)(got, width, w, b[0], b[1], b[2], b[3], b[4], b[5]);
    const float* const(&bufsRef)[6] = b;
    auto model = [&](auto form) {
        constexpr LanczosVForm F = decltype(form)::value;
        if (part) {
            LanczosRowVPartModel<T, F>(want.data(), width, w, bufsRef);
        } else {
            LanczosRowVModel<T, F>(want.data(), width, w, bufsRef);
        }
    };
    if (m.variant == 0) {
        model(std::integral_constant<LanczosVForm, LanczosVForm::Double>{});
    } else if (m.variant == 1) {
        model(std::integral_constant<LanczosVForm, LanczosVForm::Single>{});
    } else {
        model(std::integral_constant<LanczosVForm, LanczosVForm::Vector>{});
    }
    for (int32_t k = 0; k < samples; ++k) {
        ASSERT_EQ(std::memcmp(&got[k], &want[k], sizeof(T)), 0)
            << m.name << (part ? " part" : "") << " width " << width << " sample " << k;
    }
}

template <typename T>
void CheckVerticalBelowOne(const LanczosMembers<T>& m) {
    const float w[6] = {0.02f, -0.1f, 0.58f, 0.58f, -0.1f, 0.02f};
    for (int32_t n : kCountsBelowOne) {
        SCOPED_TRACE(testing::Message() << m.name << " count " << n);
        UntouchedRows r;
        const float* f = r.floats();
        m.rowV(r.dst<T>(), n, w, f, f, f, f, f, f);
        m.rowVPart(r.dst<T>(), n, w, f, f, f, f, f, f);
    }
}

template <typename T>
void CheckAllVertical() {
    std::mt19937 rng(57);
    for (const LanczosMembers<T>& m : LanczosMembersOf<T>()) {
        for (int32_t width : kLanczosWidths) {
            CheckVertical<T>(m, width, false, rng);
            CheckVertical<T>(m, width, true, rng);
        }
        CheckVerticalBelowOne(m);
    }
}

TEST(ResizeLanczosRows, VerticalMembersEqualTheirModels) {
    CheckAllVertical<uint8_t>();
    CheckAllVertical<uint16_t>();
    CheckAllVertical<float>();
}

TEST(ResizeLanczosRows, VerticalConversionFigures) {
    const float single[6] = {0, 0, 1, 0, 0, 0};
    auto convert = [&](const LanczosMembers<uint8_t>& m, float value, int32_t count) {
        AlignedFloats b(count), z(count);
        for (int32_t i = 0; i < count; ++i)
            b.p[i] = value, z.p[i] = 1000.0f;
        std::vector<uint8_t> out(count);
        m.rowV(out.data(), count, single, z.p, z.p, b.p, z.p, z.p, z.p);
        return +out[count - 1];
    };
    for (const LanczosMembers<uint8_t>& m : LanczosMembersOf<uint8_t>()) {
        for (int32_t count : {4, 5}) {
            EXPECT_EQ(convert(m, 254.6f, count), 255) << m.name;
            EXPECT_EQ(convert(m, 255.7f, count), 255) << m.name;
            EXPECT_EQ(convert(m, -3.2f, count), 0) << m.name;
            EXPECT_EQ(convert(m, 127.5f, count), 128) << m.name;
            EXPECT_EQ(convert(m, 127.49f, count), 127) << m.name;
            EXPECT_EQ(convert(m, 2.5f, count), 3) << m.name;
        }
    }
    for (const LanczosMembers<uint16_t>& m : LanczosMembersOf<uint16_t>()) {
        AlignedFloats b(5);
        for (int i = 0; i < 5; ++i)
            b.p[i] = i % 2 ? 65535.6f : -7.0f;
        uint16_t out[5];
        m.rowV(out, 5, single, b.p, b.p, b.p, b.p, b.p, b.p);
        EXPECT_EQ(out[1], 65535) << m.name;
        EXPECT_EQ(out[4], 0) << m.name;
    }
}

// The conversions truncate whatever the thread's rounding mode, and leave
// the mode as it was.
TEST(ResizeLanczosRows, ConversionsKeepTheRoundingMode) {
    const float single[6] = {0, 0, 1, 0, 0, 0};
    AlignedFloats b(5);
    for (int i = 0; i < 5; ++i)
        b.p[i] = i % 2 ? 2.5f : 7.75f;
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        for (const LanczosMembers<uint8_t>& m : LanczosMembersOf<uint8_t>()) {
            uint8_t out[5];
            m.rowV(out, 5, single, b.p, b.p, b.p, b.p, b.p, b.p);
            EXPECT_EQ(out[1], 3) << m.name;
            EXPECT_EQ(out[4], 8) << m.name;
            EXPECT_EQ(std::fegetround(), mode) << m.name;
        }
        std::fesetround(FE_TONEAREST);
    }
}

// ---- the ring walk ----

struct LanczosLog {
    static inline const uint8_t* origin = nullptr;
    static inline int32_t step = 0;
    static inline std::vector<int64_t> filtered;
    static inline std::vector<std::vector<int64_t>> taps;
    static inline std::vector<std::pair<const float*, int64_t>> held;
    static void Reset(const uint8_t* o, int32_t s) {
        origin = o, step = s;
        filtered.clear(), taps.clear(), held.clear();
    }
    static void Hold(const float* buf, int64_t r) {
        for (auto& h : held)
            if (h.first == buf) return void(h.second = r);
        held.emplace_back(buf, r);
    }
    static int64_t Held(const float* buf) {
        for (auto& h : held)
            if (h.first == buf) return h.second;
        return -1000;
    }
    static void Filter(const uint8_t* row, float* buf) {
        const int64_t r = (row - origin) / step;
        filtered.push_back(r);
        Hold(buf, r);
    }
    static void RowH(const uint8_t* row, const int32_t*, const float*, float* buf, int32_t, int32_t,
                     int32_t) {
        Filter(row, buf);
    }
    static void RowHPart(const uint8_t* row, int32_t, const int32_t*, const float*, float* buf,
                         int32_t, int32_t, int32_t) {
        Filter(row, buf);
    }
    static void NoBorderRowH(const uint8_t* row, const int32_t*, const float*, float* buf,
                             int32_t) {
        Filter(row, buf);
    }
    static void NoBorderRowHPart(const uint8_t* row, int32_t, const int32_t*, const float*,
                                 float* buf, int32_t) {
        Filter(row, buf);
    }
    static void RowV(uint8_t*, int32_t, const float*, const float* b0, const float* b1,
                     const float* b2, const float* b3, const float* b4, const float* b5) {
        taps.push_back({Held(b0), Held(b1), Held(b2), Held(b3), Held(b4), Held(b5)});
    }
    static int32_t Copy(const void* src, void* dst, int32_t) {
        Hold(static_cast<const float*>(dst), Held(static_cast<const float*>(src)));
        return 0;
    }
};
struct LoggingPolicy {
    static constexpr LanczosRows<uint8_t> k8u{LanczosLog::RowH,
                                              LanczosLog::RowHPart,
                                              LanczosLog::RowH,
                                              LanczosLog::NoBorderRowH,
                                              LanczosLog::NoBorderRowHPart,
                                              LanczosLog::NoBorderRowH,
                                              LanczosLog::RowV,
                                              LanczosLog::RowV,
                                              LanczosLog::Copy};
};

struct WalkRun {
    std::vector<int64_t> filtered;
    std::vector<std::vector<int64_t>> taps;
};

WalkRun Walk(const std::vector<int64_t>& bases, int32_t sign, int32_t top, int32_t bottom,
             int32_t enlarge, bool border) {
    const int32_t step = 64 * sign;
    static std::vector<uint8_t> image(64 * 80);
    const uint8_t* origin = sign > 0 ? image.data() + 64 * 10 : image.data() + 64 * 69;
    LanczosLog::Reset(origin, step);
    std::vector<int32_t> rowOffsets;
    for (int64_t b : bases)
        rowOffsets.push_back(static_cast<int32_t>(b * step));
    std::vector<float> weights(6 * bases.size()), bufs(6 * 16);
    float* const ring[6] = {&bufs[0], &bufs[16], &bufs[32], &bufs[48], &bufs[64], &bufs[80]};
    const int32_t colOffsets[1] = {0};
    const float colWeights[6] = {};
    const auto run = border ? LanczosResize<LoggingPolicy, uint8_t, false, true>
                            : LanczosResize<LoggingPolicy, uint8_t, false, false>;
    run(origin, nullptr, step, 0, 1, static_cast<int32_t>(bases.size()), rowOffsets.data(),
        colOffsets, weights.data(), colWeights, ring, {0, top, 1, bottom, enlarge}, 4, 4);
    return {LanczosLog::filtered, LanczosLog::taps};
}

std::vector<int64_t> ClampedTaps(int64_t q, int32_t top, int32_t bottom) {
    std::vector<int64_t> rows;
    for (int k = 0; k < 6; ++k)
        rows.push_back(std::clamp<int64_t>(q - 2 + k, -std::min(top, 2), bottom - 1));
    return rows;
}

TEST(ResizeLanczosWalk, StartFillsTheRingByTheImageExtent) {
    for (int32_t sign : {1, -1}) {
        for (int32_t top : {0, 1, 2, 7}) {
            for (int32_t bottom : {1, 2, 3, 30}) {
                const WalkRun w = Walk({0}, sign, top, bottom, 0, true);
                ASSERT_EQ(w.taps.size(), 1u);
                EXPECT_EQ(w.taps[0], ClampedTaps(0, top, bottom))
                    << "top " << top << " bottom " << bottom << " sign " << sign;
                // Rows below first, then above; each image row once.
                std::vector<int64_t> want = {0};
                if (bottom >= 2) want.push_back(1);
                if (bottom >= 3) want.push_back(2);
                if (top == 1) want.push_back(-1);
                if (top >= 2) want.push_back(-2), want.push_back(-1);
                want.push_back(std::min<int64_t>(3, bottom - 1));
                EXPECT_EQ(w.filtered, want) << "top " << top << " bottom " << bottom;
            }
        }
    }
}

TEST(ResizeLanczosWalk, MovesRefillMinOfKAndSixRowsBottomFirst) {
    // Moves by 1, 0, 2, 3, 4, 5, 6 and 9 rows in an image of 60 rows below.
    const std::vector<int64_t> bases = {0, 0, 2, 5, 9, 14, 20, 29};
    for (int32_t sign : {1, -1}) {
        for (bool border : {true, false}) {
            const WalkRun w = Walk(bases, sign, 2, 60, 0, border);
            std::vector<int64_t> want = {0, 1, 2, -2, -1, 3};
            if (!border) want = {-2, -1, 0, 1, 2, 3};
            int64_t last = 0;
            for (size_t i = 1; i < bases.size(); ++i) {
                const int64_t k = std::min<int64_t>(bases[i] - last, 6);
                for (int64_t t = 3; t > 3 - k; --t)
                    want.push_back(bases[i] + t);
                last = bases[i];
            }
            EXPECT_EQ(w.filtered, want) << "sign " << sign << " border " << border;
            for (size_t i = 0; i < bases.size(); ++i)
                EXPECT_EQ(w.taps[i], ClampedTaps(bases[i], 2, 60)) << "row " << i;
        }
    }
}

// Near the bottom the general path reads the last row again where the
// enlarging path copies it; the rows the vertical pass sees are the same.
TEST(ResizeLanczosWalk, BottomRowsClampInBothPaths) {
    const std::vector<int64_t> bases = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    for (int32_t enlarge : {0, 1}) {
        const WalkRun w = Walk(bases, 1, 0, 10, enlarge, true);
        for (size_t i = 0; i < bases.size(); ++i)
            EXPECT_EQ(w.taps[i], ClampedTaps(bases[i], 0, 10)) << "row " << i << " " << enlarge;
        for (int64_t r : w.filtered)
            EXPECT_LE(r, 9);
    }
    // A jump to the last row in the general path.
    const WalkRun jump = Walk({0, 9}, 1, 0, 10, 0, true);
    EXPECT_EQ(jump.taps[1], ClampedTaps(9, 0, 10));
}

// ---- through the driver and the table ----

std::vector<uint8_t> LanczosColor4(int v, const std::vector<uint8_t>& src, int32_t w, int32_t h,
                                   int32_t dw, int32_t dh) {
    return velmora::test::Color4(v, src, w, h, dw, dh, INTERP_LANCZOS);
}

TEST(ResizeLanczosDriver, IdentityAndConstantsAndByteThree) {
    std::mt19937 rng(9);
    const int32_t w = 17, h = 11;
    std::vector<uint8_t> src(w * h * 4), flat(w * h * 4, 77);
    for (auto& s : src)
        s = static_cast<uint8_t>(rng());
    for (int v = 0; v < 5; ++v) {
        // Factor 1: every fraction is 0, weights (0, 0, 1, 0, 0, 0).
        const std::vector<uint8_t> same = LanczosColor4(v, src, w, h, w, h);
        for (size_t k = 0; k < same.size(); ++k)
            ASSERT_EQ(same[k], k % 4 == 3 ? 0xA5 : src[k]) << v << " at " << k;
        for (auto [dw, dh] : {std::pair{40, 23}, std::pair{6, 5}}) {
            const std::vector<uint8_t> still = LanczosColor4(v, flat, w, h, dw, dh);
            for (size_t k = 0; k < still.size(); ++k)
                ASSERT_EQ(still[k], k % 4 == 3 ? 0xA5 : 77) << v;
        }
    }
}

// Double-precision Lanczos-3 with the exact window, normalised, the image's
// edge samples replicated.
double ReferenceLanczos(const std::vector<uint8_t>& src, int32_t w, int32_t h, double px, double py,
                        int32_t c) {
    auto kernel = [](double x) {
        if (x == 0) return 1.0;
        if (std::abs(x) >= 3) return 0.0;
        const double pi = 3.14159265358979323846;
        return 3 * std::sin(pi * x) * std::sin(pi * x / 3) / (pi * pi * x * x);
    };
    const auto bx = static_cast<int32_t>(std::trunc(px + 1e-7));
    const auto by = static_cast<int32_t>(std::trunc(py + 1e-7));
    double wx[6], wy[6], sx = 0, sy = 0;
    for (int k = 0; k < 6; ++k) {
        sx += wx[k] = kernel(px - (bx - 2 + k));
        sy += wy[k] = kernel(py - (by - 2 + k));
    }
    double sum = 0;
    for (int i = 0; i < 6; ++i) {
        const int32_t y = std::clamp(by - 2 + i, 0, h - 1);
        for (int k = 0; k < 6; ++k) {
            const int32_t x = std::clamp(bx - 2 + k, 0, w - 1);
            sum += wy[i] / sy * wx[k] / sx * src[(y * w + x) * 4 + c];
        }
    }
    return sum;
}

TEST(ResizeLanczosDriver, WithinOneOfADoubleLanczos) {
    std::mt19937 rng(10);
    const int32_t w = 53, h = 41;
    std::vector<uint8_t> src(w * h * 4);
    for (auto& s : src)
        s = static_cast<uint8_t>(rng() % 256);
    for (auto [dw, dh] : {std::pair{131, 97}, std::pair{29, 17}}) {
        const ModelAxis cols = ModelGrid(w, static_cast<double>(dw) / w, dw, false, true);
        const ModelAxis rows = ModelGrid(h, static_cast<double>(dh) / h, dh, false, true);
        for (int v = 0; v < 5; ++v) {
            const std::vector<uint8_t> out = LanczosColor4(v, src, w, h, dw, dh);
            for (int32_t i = 0; i < dh; ++i) {
                for (int32_t j = 0; j < dw; ++j) {
                    for (int32_t c = 0; c < 3; ++c) {
                        const double ref = std::clamp(
                            ReferenceLanczos(src, w, h, cols.positions[j], rows.positions[i], c),
                            0.0, 255.0);
                        ASSERT_LE(std::abs(out[(i * dw + j) * 4 + c] - std::round(ref)), 1.0)
                            << v << " at " << i << "," << j << " ref " << ref;
                    }
                }
            }
        }
    }
}

// Small sources lower the method: 7 x 100 runs cubic, 3 x 100 linear,
// 1 x 100 nearest.
TEST(ResizeLanczosDriver, SmallSourcesLower) {
    std::mt19937 rng(12);
    for (auto [w, code] :
         {std::pair{7, INTERP_CUBIC}, std::pair{3, INTERP_LINEAR}, std::pair{1, INTERP_NEAREST}}) {
        const int32_t h = 100;
        std::vector<uint8_t> src(w * h * 4);
        for (auto& s : src)
            s = static_cast<uint8_t>(rng());
        for (int v = 0; v < 5; ++v) {
            std::vector<uint8_t> a(2 * w * 150 * 4, 1), b = a;
            ASSERT_EQ(ResizeColor4DispatchTable[v](src.data(), w, h, 4 * w, 0, 0, w, h, a.data(),
                                                   8 * w, 2 * w, 150, 2.0, 1.5, INTERP_LANCZOS),
                      STS_OK);
            ASSERT_EQ(ResizeColor4DispatchTable[v](src.data(), w, h, 4 * w, 0, 0, w, h, b.data(),
                                                   8 * w, 2 * w, 150, 2.0, 1.5, code),
                      STS_OK);
            EXPECT_TRUE(a == b) << w << " variant " << v;
        }
    }
}

// The table entries of one variant on an enlarging table: enlargeRows 1 and
// 0 give the same output; the no-border entries on a source with margins
// filter the same rows with their own arithmetic (within 1 for 8u).
TEST(ResizeLanczosKernels, EnlargingFlagAndNoBorderRows) {
    std::mt19937 rng(14);
    const int32_t w = 24, h = 20, dw = 37, dh = 31;
    std::vector<uint8_t> image(w * h * 4);
    for (auto& s : image)
        s = static_cast<uint8_t>(rng());
    // Region 2 pixels and rows in from the top left, 3 before the right and
    // bottom edges: every tap of the no-border kernels lies in the image.
    const int32_t rx = 2, ry = 2, rw = w - 5, rh = h - 5;
    const uint8_t* region = image.data() + (ry * w + rx) * 4;
    std::vector<int32_t> rowOffsets(dh), colOffsets(dw);
    std::vector<float> rowT(dh), colT(dw);
    for (int32_t i = 0; i < dh; ++i) {
        const double p = i * (rh - 1.0) / (dh - 1);
        const auto q = static_cast<int32_t>(p);
        rowOffsets[i] = q * w * 4, rowT[i] = static_cast<float>(p - q);
    }
    for (int32_t j = 0; j < dw; ++j) {
        const double p = j * (rw - 1.0) / (dw - 1);
        const auto q = static_cast<int32_t>(p);
        colOffsets[j] = q * 4, colT[j] = static_cast<float>(p - q);
    }
    for (int v = 0; v < 5; ++v) {
        const std::vector<float> rowW = LanczosModelWeights(v, rowT);
        std::unique_ptr<AlignedFloats> colW = std::make_unique<AlignedFloats>(6 * dw);
        const std::vector<float> cw = LanczosModelWeights(v, colT);
        std::copy(cw.begin(), cw.begin() + 6 * dw, colW->p);
        std::vector<std::unique_ptr<AlignedFloats>> bufs;
        for (int k = 0; k < 6; ++k)
            bufs.push_back(std::make_unique<AlignedFloats>(4 * (dw + 4)));
        const ResizeKernelTable& table =
            *std::array{&ResizeKernelTable_Generic, &ResizeKernelTable_Sse, &ResizeKernelTable_Sse2,
                        &ResizeKernelTable_Sse3, &ResizeKernelTable_Ssse3}[v];
        std::vector<std::vector<uint8_t>> outs;
        for (int32_t enlarge : {1, 0, -1}) {
            outs.emplace_back(static_cast<size_t>(dw) * dh * 4, 0x5A);
            if (enlarge >= 0) {
                table[ResizeKernelIndex(LanczosMultiCh, RESIZE_DATA_8U)].lanczos(
                    region, outs.back().data(), w * 4, dw * 4, dw, dh, rowOffsets.data(),
                    colOffsets.data(), rowW.data(), colW->p, bufs[0]->p, bufs[1]->p, bufs[2]->p,
                    bufs[3]->p, bufs[4]->p, bufs[5]->p, rx, ry, w - rx, h - ry, enlarge, 4, 3);
            } else {
                table[ResizeKernelIndex(LanczosNoBorderMultiCh, RESIZE_DATA_8U)].lanczosNoBorder(
                    region, outs.back().data(), w * 4, dw * 4, dw, dh, rowOffsets.data(),
                    colOffsets.data(), rowW.data(), colW->p, bufs[0]->p, bufs[1]->p, bufs[2]->p,
                    bufs[3]->p, bufs[4]->p, bufs[5]->p, 4, 3);
            }
        }
        EXPECT_TRUE(outs[0] == outs[1]) << "variant " << v;
        for (size_t k = 0; k < outs[0].size(); ++k) {
            ASSERT_LE(std::abs(outs[2][k] - outs[0][k]), 1) << "variant " << v << " at " << k;
            if (k % 4 == 3) {
                ASSERT_EQ(outs[2][k], 0x5A);
            }
        }
    }
}

// Frame sizes: every variant equals its model; the variants agree within 1
// (8u) and 1e-3 (32f on samples 0..255).
TEST(ResizeLanczosDriver, FrameSizesAgreeAcrossVariants) {
    ExpectFrameSizesAgreeAcrossVariants(
        INTERP_LANCZOS, 6,
        [](int v, const std::vector<uint8_t>& src, int32_t w, int32_t h, const ModelAxis& cols,
           const ModelAxis& rows, std::vector<uint8_t>* want) {
            ModelResizeLanczos<uint8_t>(v, src, w, h, 4, 3, 0, 0, cols, rows, want);
        });
}

}  // namespace
}  // namespace velmora::test

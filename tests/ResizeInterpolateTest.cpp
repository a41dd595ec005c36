#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "ResizeCubicModel.h"
#include "ResizeLanczosModel.h"
#include "ResizeTestSupport.h"
#include "resize/ResizeColor4.h"
#include "resize/ResizeInterpolate.h"
#include "resize/ResizeKernelTable.h"

namespace velmora::test {
namespace {

using namespace velmora::resize;

using InterpolateFn = int32_t (*)(const void*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                  int32_t, void*, int32_t, int32_t, int32_t, double, double, double,
                                  double, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t);

struct Variant {
    const char* name;
    InterpolateFn interpolate;
    ResizeColor4Function color4;
};
const Variant kVariants[] = {
    {"Generic", ResizeInterpolate_Generic, ResizeColor4_Generic},
    {"Sse", ResizeInterpolate_Sse, ResizeColor4_Sse},
    {"Sse2", ResizeInterpolate_Sse2, ResizeColor4_Sse2},
    {"Sse3", ResizeInterpolate_Sse3, ResizeColor4_Sse3},
    {"Ssse3", ResizeInterpolate_Ssse3, ResizeColor4_Ssse3},
};

// The 32f forms the kernels of variant v use for a layout.
FloatForms FormsOf(int v, bool oneCh, bool partV) {
    FloatForms f{LinearForm::Single, LinearForm::Single};
    if (v == 0) return {LinearForm::Double, LinearForm::Double};
    if (v == 3) {
        if (!oneCh) f.horizontal = LinearForm::Double;
        if (partV) f.vertical = LinearForm::Mixed;
    }
    return f;
}

struct ChannelLayout {
    int32_t channels;
    int32_t processed;
    bool planar;
};

struct Case {
    int variant = 0;
    int32_t srcW = 8, srcH = 8;
    int32_t roiX = 0, roiY = 0, roiW = 8, roiH = 8;
    int32_t dstW = 16, dstH = 16;
    double xF = 1.0, yF = 1.0;
    int32_t code = INTERP_LINEAR;
    int32_t sizeMode = 1;
    ChannelLayout layout{4, 3, false};
    Flush flush = Flush::Back;
    bool bottomUp = false;
    uint32_t seed = 1;
    bool sealed = false;  // the destination's rows end in a sample without access
};

template <typename T>
T RandomSample(std::mt19937& rng) {
    if constexpr (std::is_same_v<T, float>) {
        return static_cast<float>(rng() % 25600) / 100.0f;
    } else {
        return static_cast<T>(rng() % (std::numeric_limits<T>::max() + 1u));
    }
}

template <typename T>
constexpr int32_t DataTypeOf() {
    return std::is_same_v<T, uint8_t>
               ? RESIZE_DATA_8U
               : (std::is_same_v<T, uint16_t> ? RESIZE_DATA_16U : RESIZE_DATA_32F);
}

// The method the driver runs for a request: small sources lower it.
int32_t LoweredCode(const Case& c) {
    int32_t code = c.code;
    if ((c.srcW < 8 || c.srcH < 8) && code == INTERP_LANCZOS) code = INTERP_CUBIC;
    if ((c.srcW < 4 || c.srcH < 4) && code == INTERP_CUBIC) code = INTERP_LINEAR;
    if (c.srcW < 2 || c.srcH < 2) code = INTERP_NEAREST;
    return code;
}

// Runs one resize under guards and compares it with the model: processed
// samples equal, every other destination sample untouched. Returns the
// driver's status.
template <typename T>
int32_t RunAgainstModel(const Case& c) {
    std::mt19937 rng(c.seed);
    const ChannelLayout& L = c.layout;
    const int32_t planes = L.planar ? (L.processed == 3 ? 3 : 4) : 1;
    const int32_t imageChannels = L.planar ? 1 : L.channels;
    std::vector<std::unique_ptr<GuardedImage<T>>> src, dst;
    std::vector<const void*> srcPlanes;
    std::vector<void*> dstPlanes;
    for (int32_t p = 0; p < planes; ++p) {
        src.push_back(
            std::make_unique<GuardedImage<T>>(c.srcW, c.srcH, imageChannels, c.flush, c.bottomUp));
        dst.push_back(
            c.sealed ? std::make_unique<GuardedImage<T>>(c.dstW, c.dstH, imageChannels,
                                                         typename GuardedImage<T>::SealedRowEnds{})
                     : std::make_unique<GuardedImage<T>>(
                           c.dstW, c.dstH, imageChannels,
                           c.flush == Flush::Back ? Flush::Front : Flush::Back, c.bottomUp));
        src.back()->Fill([&] { return RandomSample<T>(rng); });
        dst.back()->Fill([&] { return RandomSample<T>(rng); });
        srcPlanes.push_back(src.back()->origin());
        dstPlanes.push_back(dst.back()->origin());
    }
    std::vector<std::vector<T>> before;
    for (auto& d : dst)
        before.push_back(d->Pixels());

    int32_t status;
    {
        GuardedResizeHeap heap;
        status = kVariants[c.variant].interpolate(
            L.planar ? static_cast<const void*>(srcPlanes.data()) : srcPlanes[0], c.srcW, c.srcH,
            src[0]->step(), c.roiX, c.roiY, c.roiW, c.roiH,
            L.planar ? static_cast<void*>(dstPlanes.data()) : dstPlanes[0], dst[0]->step(), c.dstW,
            c.dstH, c.xF, c.yF, 0.0, 0.0, L.channels, L.processed, DataTypeOf<T>(),
            L.planar ? 1 : 0, c.code, c.sizeMode);
        EXPECT_EQ(heap.Outstanding(), 0u) << "working memory released";
    }
    if (status != STS_OK) {
        for (int32_t p = 0; p < planes; ++p)
            EXPECT_EQ(dst[p]->Pixels(), before[p]) << "untouched";
        return status;
    }
    const int32_t roiW = std::min(c.roiW, c.srcW - c.roiX);
    const int32_t roiH = std::min(c.roiH, c.srcH - c.roiY);
    const int32_t code = LoweredCode(c);
    const bool nearest = code == INTERP_NEAREST;
    const ModelAxis cols = ModelGrid(roiW, c.xF, c.dstW, nearest, c.sizeMode != 0);
    const ModelAxis rows = ModelGrid(roiH, c.yF, c.dstH, nearest, c.sizeMode != 0);
    const auto outW = static_cast<int32_t>(cols.positions.size());
    const auto outH = static_cast<int32_t>(rows.positions.size());
    const bool oneCh = L.planar || L.processed == 1;
    const FloatForms forms = FormsOf(c.variant, oneCh, !oneCh && L.channels != L.processed);
    for (int32_t p = 0; p < planes; ++p) {
        std::vector<T> want(static_cast<size_t>(outW) * outH * imageChannels);
        for (int32_t i = 0; i < outH; ++i)
            for (int32_t j = 0; j < outW; ++j)
                for (int32_t ch = 0; ch < imageChannels; ++ch)
                    want[(static_cast<size_t>(i) * outW + j) * imageChannels + ch] =
                        before[p][(static_cast<size_t>(i) * c.dstW + j) * imageChannels + ch];
        if (code == INTERP_LANCZOS) {
            ModelResizeLanczos<T>(c.variant, src[p]->Pixels(), c.srcW, c.srcH, imageChannels,
                                  L.planar ? 1 : L.processed, c.roiX, c.roiY, cols, rows, &want);
        } else if (code == INTERP_CUBIC) {
            ModelResizeCubic<T>(c.variant, src[p]->Pixels(), c.srcW, c.srcH, imageChannels,
                                L.planar ? 1 : L.processed, c.roiX, c.roiY, cols, rows, &want);
        } else {
            ModelResize<T>(src[p]->Pixels(), c.srcW, c.srcH, imageChannels,
                           L.planar ? 1 : L.processed, c.roiX, c.roiY, cols, rows, nearest, forms,
                           &want);
        }
        const std::vector<T> got = dst[p]->Pixels();
        for (int32_t i = 0; i < c.dstH; ++i) {
            for (int32_t j = 0; j < c.dstW; ++j) {
                for (int32_t ch = 0; ch < imageChannels; ++ch) {
                    const size_t at = (static_cast<size_t>(i) * c.dstW + j) * imageChannels + ch;
                    const T expected =
                        (i < outH && j < outW)
                            ? want[(static_cast<size_t>(i) * outW + j) * imageChannels + ch]
                            : before[p][at];
                    if (std::memcmp(&got[at], &expected, sizeof(T)) != 0) {
                        ADD_FAILURE()
                            << kVariants[c.variant].name << " plane " << p << " row " << i
                            << " col " << j << " ch " << ch << ": " << +got[at]
                            << " != " << +expected << " (src " << c.srcW << "x" << c.srcH
                            << ", factors " << c.xF << " " << c.yF << ", code " << c.code << ")";
                        return status;
                    }
                }
            }
        }
    }
    return status;
}

int32_t RunTyped(int32_t dataType, const Case& c) {
    switch (dataType) {
        case RESIZE_DATA_8U:
            return RunAgainstModel<uint8_t>(c);
        case RESIZE_DATA_16U:
            return RunAgainstModel<uint16_t>(c);
        default:
            return RunAgainstModel<float>(c);
    }
}

const ChannelLayout kLayouts[] = {{4, 4, false}, {3, 3, false}, {4, 3, false},
                                  {1, 1, false}, {1, 3, true},  {1, 4, true}};
const double kScaleFactors[] = {1.0,  2.0, 0.5,        0.25, 1.0 / 3,  0.4,
                                0.75, 1.5, 1.0 / 1000, 13.7, 0.9999999};

// Every variant through its table entries, layouts, types and factors
// against the model on odd sizes from 1 to 33, both directions and flushes.
TEST(ResizeInterpolate, EveryVariantEqualsTheModel) {
    uint32_t seed = 1;
    for (int v = 0; v < 5; ++v) {
        for (int32_t dataType = 0; dataType < 3; ++dataType) {
            for (const ChannelLayout& layout : kLayouts) {
                for (int32_t code : {INTERP_NEAREST, INTERP_LINEAR, INTERP_CUBIC, INTERP_LANCZOS}) {
                    for (int32_t size = 1; size <= 33; size += 4) {
                        Case c;
                        c.variant = v;
                        c.layout = layout;
                        c.code = code;
                        c.srcW = size;
                        c.srcH = 34 - size;
                        c.roiW = c.srcW;
                        c.roiH = c.srcH;
                        c.xF = kScaleFactors[seed % std::size(kScaleFactors)];
                        c.yF = kScaleFactors[(seed * 7 + 3) % std::size(kScaleFactors)];
                        c.dstW = 1 + static_cast<int32_t>(seed * 13 % 33);
                        c.dstH = 1 + static_cast<int32_t>(seed * 5 % 33);
                        c.flush = seed % 2 ? Flush::Front : Flush::Back;
                        c.bottomUp = seed % 3 == 0;
                        c.seed = seed++;
                        const int32_t status = RunTyped(dataType, c);
                        ASSERT_TRUE(status == STS_OK || status == STS_NO_OUTPUT_ERR) << status;
                        if (layout.planar || layout.channels == layout.processed) continue;
                        // Three of four: the last pixel of every output row ends in a
                        // fourth sample without access, in a vector block (widths of
                        // whole blocks) or in the scalar tail (11, 23, 35).
                        c.sealed = true;
                        c.dstW = size + 3 - (size / 4 % 3 == 2 ? 1 : 0);
                        c.xF = std::max(c.xF, static_cast<double>(c.dstW) / c.srcW);
                        c.yF = std::max(c.yF, 1.0 / c.srcH);
                        ASSERT_EQ(RunTyped(dataType, c), STS_OK);
                    }
                }
            }
        }
    }
}

// Frame sizes: Generic against the model, every other variant against
// Generic (the 8u and 16u paths are bit-exact across variants).
TEST(ResizeInterpolate, FrameSizesEqualTheModel) {
    const std::pair<int32_t, int32_t> sizes[] = {{720, 576}, {1920, 1080}};
    for (const auto& [w, h] : sizes) {
        Case c;
        c.srcW = c.roiW = w;
        c.srcH = c.roiH = h;
        c.dstW = w == 720 ? 1920 : 1280;
        c.dstH = w == 720 ? 1080 : 720;
        c.xF = static_cast<double>(c.dstW) / w;
        c.yF = static_cast<double>(c.dstH) / h;
        EXPECT_EQ(RunTyped(RESIZE_DATA_8U, c), STS_OK);

        std::mt19937 rng(5);
        std::vector<uint16_t> src(static_cast<size_t>(w) * h * 4);
        for (auto& v : src)
            v = static_cast<uint16_t>(rng());
        for (int32_t code : {INTERP_NEAREST, INTERP_LINEAR}) {
            std::vector<uint8_t> src8(src.begin(), src.end());
            std::vector<std::vector<uint8_t>> out8;
            std::vector<std::vector<uint16_t>> out16;
            for (int v = 0; v < 5; ++v) {
                out8.emplace_back(static_cast<size_t>(c.dstW) * c.dstH * 4, 0x11);
                ASSERT_EQ(
                    kVariants[v].color4(src8.data(), w, h, 4 * w, 0, 0, w, h, out8.back().data(),
                                        4 * c.dstW, c.dstW, c.dstH, c.xF, c.yF, code),
                    STS_OK);
                out16.emplace_back(static_cast<size_t>(c.dstW) * c.dstH * 4, 0x11);
                ASSERT_EQ(kVariants[v].interpolate(
                              src.data(), w, h, 8 * w, 0, 0, w, h, out16.back().data(), 8 * c.dstW,
                              c.dstW, c.dstH, c.xF, c.yF, 0, 0, 4, 4, RESIZE_DATA_16U, 0, code, 1),
                          STS_OK);
                EXPECT_TRUE(out8[v] == out8[0]) << kVariants[v].name << " 8u code " << code;
                EXPECT_TRUE(out16[v] == out16[0]) << kVariants[v].name << " 16u code " << code;
            }
        }
    }
}

// ---- figures of the grid ----

// Runs ResizeColor4 on a one-row image whose samples are the column index.
std::vector<uint8_t> Color4Row(int v, int32_t width, int32_t roiX, int32_t roiW, double xF,
                               int32_t code, int32_t room) {
    std::vector<uint8_t> src(4 * width * 2);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < width; ++x)
            for (int c = 0; c < 4; ++c)
                src[(y * width + x) * 4 + c] = static_cast<uint8_t>(x * 10 + c);
    std::vector<uint8_t> dst(4 * room * 2, 0xCC);
    EXPECT_EQ(kVariants[v].color4(src.data(), width, 2, 4 * width, roiX, 0, roiW, 2, dst.data(),
                                  4 * room, room, 2, xF, 1.0, code),
              STS_OK);
    return dst;
}

TEST(ResizeInterpolate, NearestAndLinearFigures) {
    for (int v = 0; v < 5; ++v) {
        std::vector<uint8_t> d = Color4Row(v, 3, 0, 3, 2.0, INTERP_NEAREST, 6);
        for (int32_t j = 0; j < 6; ++j) {
            EXPECT_EQ(d[4 * j], (j / 2) * 10) << "x2.0 takes 0,0,1,1,2,2";
            EXPECT_EQ(d[4 * j + 3], 0xCC) << "byte 3 kept";
        }
        d = Color4Row(v, 12, 0, 12, 0.5, INTERP_NEAREST, 6);
        for (int32_t j = 0; j < 6; ++j)
            EXPECT_EQ(d[4 * j + 1], (2 * j + 1) * 10 + 1) << "x0.5";

        // ROI 3 at the right edge x2.0: positions 0 .. 2.0 step 0.4; the
        // last column is the image's last column exactly.
        d = Color4Row(v, 5, 2, 3, 2.0, INTERP_LINEAR, 6);
        const int expected[] = {20, 24, 28, 32, 36, 40};
        for (int32_t j = 0; j < 6; ++j) {
            EXPECT_EQ(d[4 * j], expected[j]) << "column " << j;
            EXPECT_EQ(d[4 * j + 3], 0xCC);
        }
    }
}

TEST(ResizeInterpolate, BottomUpEqualsTopDown) {
    for (int v = 0; v < 5; ++v) {
        for (int32_t code : {INTERP_NEAREST, INTERP_LINEAR, INTERP_CUBIC, INTERP_LANCZOS}) {
            Case c;
            c.variant = v;
            c.code = code;
            c.srcW = c.roiW = 13;
            c.srcH = c.roiH = 11;
            c.xF = 1.5;
            c.yF = 0.4;
            c.bottomUp = true;
            EXPECT_EQ(RunTyped(RESIZE_DATA_8U, c), STS_OK);
            c.yF = 2.5;
            EXPECT_EQ(RunTyped(RESIZE_DATA_32F, c), STS_OK);
        }
    }
}

// ---- statuses ----

struct Call {
    const void* src;
    int32_t w = 8, h = 8, step = 32, rx = 0, ry = 0, rw = 8, rh = 8;
    void* dst;
    int32_t dstStep = 64, dw = 16, dh = 16;
    double xF = 1.0, yF = 1.0, xS = 0.0, yS = 0.0;
    int32_t nChannels = 4, nProcessed = 3, type = RESIZE_DATA_8U, planar = 0, code = INTERP_LINEAR,
            sizeMode = 1;
    int32_t Run(int v) const {
        return kVariants[v].interpolate(src, w, h, step, rx, ry, rw, rh, dst, dstStep, dw, dh, xF,
                                        yF, xS, yS, nChannels, nProcessed, type, planar, code,
                                        sizeMode);
    }
};

TEST(ResizeInterpolate, StatusesInOrder) {
    std::vector<uint8_t> src(8 * 32, 7), dst(16 * 64, 0xCC);
    const std::vector<uint8_t> clean = dst;
    for (int v = 0; v < 5; ++v) {
        Call base;
        base.src = src.data();
        base.dst = dst.data();
        auto with = [&](auto change) {
            Call c = base;
            change(c);
            return c.Run(v);
        };
        EXPECT_EQ(with([](Call& c) { c.dst = nullptr, c.w = -1, c.dw = 0; }), STS_NULL_PTR_ERR);
        EXPECT_EQ(with([](Call& c) { c.rw = 0, c.rx = 8; }), STS_SIZE_ERR);
        EXPECT_EQ(with([](Call& c) { c.rx = 8; }), STS_NO_INTERSECTION_WARN);
        EXPECT_EQ(with([](Call& c) { c.ry = 8, c.dw = 0; }), STS_NO_INTERSECTION_WARN);
        EXPECT_EQ(with([](Call& c) { c.dh = 0, c.xF = 0; }), STS_SIZE_ERR);
        EXPECT_EQ(with([](Call& c) { c.xF = 0, c.code = 3; }), STS_RESIZE_FACTOR_ERR);
        for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, -1.0}) {
            EXPECT_EQ(with([&](Call& c) { c.yF = bad; }), STS_RESIZE_FACTOR_ERR);
        }
        for (int32_t code : {0, 3, 8, 32}) {
            EXPECT_EQ(with([&](Call& c) { c.code = code; }), STS_INTERPOLATION_ERR);
        }
        // ROI 4 x 0.1 gives no output; x 0.15 one column.
        EXPECT_EQ(with([](Call& c) { c.rw = 4, c.xF = 0.1; }), STS_NO_OUTPUT_ERR);
        EXPECT_EQ(dst, clean);
        // Sizes and types the kernels cannot address.
        EXPECT_EQ(with([](Call& c) { c.type = 3; }), STS_SIZE_ERR);
        EXPECT_EQ(with([](Call& c) { c.type = -1; }), STS_SIZE_ERR);
        EXPECT_EQ(with([](Call& c) { c.type = RESIZE_DATA_16U, c.step = 31; }), STS_SIZE_ERR);
        EXPECT_EQ(with([](Call& c) { c.type = RESIZE_DATA_32F, c.dstStep = -62; }), STS_SIZE_ERR);
        EXPECT_EQ(with([](Call& c) { c.nChannels = 2; }), STS_SIZE_ERR);
        EXPECT_EQ(with([](Call& c) { c.nProcessed = 2; }), STS_SIZE_ERR);
        EXPECT_EQ(with([](Call& c) { c.xS = std::nan(""); }), STS_SIZE_ERR);
        EXPECT_EQ(dst, clean);

        EXPECT_EQ(with([](Call& c) { c.rw = 4, c.xF = 0.15; }), STS_OK);
        EXPECT_EQ(dst[4], 0xCC) << "one column";
        EXPECT_EQ(dst[0], 7);
        dst = clean;
        // Lanczos on a source narrower than 8 runs cubic.
        EXPECT_EQ(with([](Call& c) { c.code = INTERP_LANCZOS, c.w = 7; }), STS_OK);
        EXPECT_EQ(dst[0], 7);
        dst = clean;
    }
}

TEST(ResizeInterpolate, PlanarNullPlaneIsRefused) {
    std::vector<uint8_t> a(64, 1), b(64, 2);
    const void* src[4] = {a.data(), a.data(), nullptr, a.data()};
    void* dst[4] = {b.data(), b.data(), b.data(), b.data()};
    for (int v = 0; v < 5; ++v) {
        Call c;
        c.src = src;
        c.dst = dst;
        c.planar = 1;
        c.step = c.dstStep = 8;
        c.dw = c.dh = 8;
        EXPECT_EQ(c.Run(v), STS_NULL_PTR_ERR);
        src[2] = a.data();
        c.nProcessed = 3;
        dst[3] = nullptr;  // three planes: the fourth is not looked at
        EXPECT_EQ(c.Run(v), STS_OK);
        dst[3] = b.data();
        src[2] = nullptr;
    }
}

TEST(ResizeInterpolate, EachAllocationFailingInTurnGivesNoMem) {
    for (int v = 0; v < 5; ++v) {
        for (int32_t code : {INTERP_NEAREST, INTERP_LINEAR}) {
            for (int32_t type : {RESIZE_DATA_8U, RESIZE_DATA_32F}) {
                GuardedResizeHeap heap;
                std::vector<uint8_t> src(8 * 8 * 4 * 4, 9), dst(16 * 16 * 4 * 4, 0xCC);
                const std::vector<uint8_t> clean = dst;
                Call c;
                c.src = src.data();
                c.dst = dst.data();
                c.step = 8 * 4 * (type == RESIZE_DATA_8U ? 1 : 4);
                c.dstStep = 16 * 4 * (type == RESIZE_DATA_8U ? 1 : 4);
                c.type = type;
                c.code = code;
                c.xF = c.yF = 1.5;
                SetResizeAllocFailure(0);
                ASSERT_EQ(c.Run(v), STS_OK);
                const int64_t allocations = SetResizeAllocFailure(0);
                EXPECT_EQ(allocations, code == INTERP_NEAREST ? 2 : 6);
                dst = clean;
                for (int64_t n = 1; n <= allocations; ++n) {
                    SetResizeAllocFailure(n);
                    EXPECT_EQ(c.Run(v), STS_NO_MEM_ERR) << "allocation " << n;
                    EXPECT_EQ(dst, clean);
                    EXPECT_EQ(heap.Outstanding(), 0u);
                }
                SetResizeAllocFailure(0);
            }
        }
    }
}

// ---- mended faults ----

// A one-pixel output centred past the ROI's end takes the ROI's last pixel:
// at the image's edge (guarded), and inside the image.
TEST(ResizeInterpolate, OnePixelOutputStaysInsideTheRoi) {
    const Case rows[] = {
        // The image's last pixel, the ROI clipped to it: position 1.0, one
        // past the ROI; a step over twice the ROI.
        {.srcW = 9, .srcH = 7, .roiX = 8, .roiY = 6, .xF = 0.5, .yF = 0.5},
        {.srcW = 9, .srcH = 7, .roiX = 8, .roiY = 6, .xF = 2.5, .yF = 2.5, .sizeMode = 0},
        // Rows 2-3 of 4 x 8 at 0.25 and at a step of 5; columns 2-3 of 8 x 4.
        {.srcW = 4, .srcH = 8, .roiY = 2, .roiW = 4, .roiH = 2, .yF = 0.25},
        {.srcW = 4, .srcH = 8, .roiY = 2, .roiW = 4, .roiH = 2, .yF = 5.0, .sizeMode = 0},
        {.srcW = 8, .srcH = 4, .roiX = 2, .roiW = 2, .roiH = 4, .xF = 0.25},
    };
    for (int v = 0; v < 5; ++v) {
        for (int32_t dataType = 0; dataType < 3; ++dataType) {
            for (Case c : rows) {
                c.variant = v;
                c.code = INTERP_NEAREST;
                c.flush = Flush::Back;
                EXPECT_EQ(RunTyped(dataType, c), STS_OK);
            }
        }
    }
}

TEST(ResizeInterpolate, HugeFactorsAndRoisAreClipped) {
    std::vector<uint8_t> src(8 * 32, 5), dst(16 * 64, 0xCC);
    for (int v = 0; v < 5; ++v) {
        for (int32_t code : {INTERP_NEAREST, INTERP_LINEAR}) {
            std::fill(dst.begin(), dst.end(), 0xCC);
            Call c;
            c.src = src.data();
            c.dst = dst.data();
            c.code = code;
            c.xF = 1e10;
            ASSERT_EQ(c.Run(v), STS_OK);
            EXPECT_EQ(dst[4 * 15], 5) << "the destination's width is filled";
            c.xF = 1.0;
            c.rx = 3;
            c.rw = std::numeric_limits<int32_t>::max();
            c.rh = std::numeric_limits<int32_t>::max();
            std::fill(dst.begin(), dst.end(), 0xCC);
            ASSERT_EQ(c.Run(v), STS_OK);
            EXPECT_EQ(dst[4 * 4], 5);
            EXPECT_EQ(dst[4 * 5], 0xCC) << "clipped to the 5 columns left of the edge";
            // Step mode with a huge step: one column.
            c.sizeMode = 0;
            c.rx = 0;
            c.xF = 1e300;
            std::fill(dst.begin(), dst.end(), 0xCC);
            ASSERT_EQ(c.Run(v), STS_OK);
            EXPECT_EQ(dst[4], 0xCC);
        }
    }
}

TEST(ResizeInterpolate, SmallSourcesFallBackToSimplerMethods) {
    for (int v = 0; v < 5; ++v) {
        // A 3-row image asked for Lanczos is resized linearly, a one-row
        // image by nearest neighbour.
        for (auto [h, code] : {std::pair{3, INTERP_LANCZOS}, std::pair{3, INTERP_CUBIC}}) {
            std::vector<uint8_t> src(100 * 4 * h);
            for (size_t i = 0; i < src.size(); ++i)
                src[i] = static_cast<uint8_t>(i * 13);
            std::vector<uint8_t> a(200 * 4 * 6, 1), b(200 * 4 * 6, 1);
            ASSERT_EQ(kVariants[v].color4(src.data(), 100, h, 400, 0, 0, 100, h, a.data(), 800, 200,
                                          6, 2.0, 2.0, code),
                      STS_OK);
            ASSERT_EQ(kVariants[v].color4(src.data(), 100, h, 400, 0, 0, 100, h, b.data(), 800, 200,
                                          6, 2.0, 2.0, INTERP_LINEAR),
                      STS_OK);
            EXPECT_EQ(a, b);
        }
        std::vector<uint8_t> src(4 * 100, 3), a(4 * 200 * 2, 1);
        EXPECT_EQ(kVariants[v].color4(src.data(), 100, 1, 400, 0, 0, 100, 1, a.data(), 800, 200, 2,
                                      2.0, 2.0, INTERP_LANCZOS),
                  STS_OK);
        EXPECT_EQ(a[0], 3);
    }
}

TEST(ResizeInterpolate, TapsFollowTheEdgeRules) {
    EXPECT_EQ(ResizeNearestTap(2.75, 2).base, 2);
    EXPECT_EQ(ResizeNearestTap(3.0, 2).base, 2);
    EXPECT_EQ(ResizeLinearTap(2.0, 2).base, 1);
    EXPECT_EQ(ResizeLinearTap(2.0, 2).t, 1.0);
    EXPECT_EQ(ResizeLinearTap(1.6, 2).base, 1);
    // Cubic: the top row moves down with a negative fraction, the last row
    // two up with 2.0, the row before it one up.
    const ResizeTap top = ResizeCubicTap(0.25, 0, 9);
    EXPECT_EQ(top.base, 1);
    EXPECT_DOUBLE_EQ(top.t, -0.75);
    EXPECT_EQ(ResizeCubicTap(9.0, 0, 9).base, 7);
    EXPECT_EQ(ResizeCubicTap(9.0, 0, 9).t, 2.0);
    EXPECT_EQ(ResizeCubicTap(8.5, 0, 9).base, 7);
    EXPECT_DOUBLE_EQ(ResizeCubicTap(8.5, 0, 9).t, 1.5);
    EXPECT_EQ(ResizeCubicTap(0.5, 3, 9).base, 0) << "inside the image: no move";
}

TEST(ResizeInterpolate, KernelTablesShareAsNamed) {
    const ResizeKernelTable* tables[] = {&ResizeKernelTable_Generic, &ResizeKernelTable_Sse,
                                         &ResizeKernelTable_Sse2, &ResizeKernelTable_Sse3,
                                         &ResizeKernelTable_Ssse3};
    for (const ResizeKernelTable* t : tables) {
        for (int32_t e = 0; e < kResizeKernelEntries; ++e) {
            const ResizeKernelKind kind = (*t)[e].kind;
            const int32_t row = e / 3;
            EXPECT_EQ(kind, row <= 2   ? ResizeKernelKind::Nearest
                            : row <= 4 ? ResizeKernelKind::Linear
                            : row <= 6 ? ResizeKernelKind::Cubic
                            : row <= 8 ? ResizeKernelKind::Lanczos
                                       : ResizeKernelKind::LanczosNoBorder);
            EXPECT_TRUE((*t)[e].Present());
        }
    }
    for (int e = 0; e < 9; ++e) {
        EXPECT_EQ(ResizeKernelTable_Sse[e].nearest, ResizeKernelTable_Generic[e].nearest);
    }
    for (int e = 0; e < 6; ++e) {
        EXPECT_EQ(ResizeKernelTable_Ssse3[e].nearest, ResizeKernelTable_Sse3[e].nearest);
    }
    for (int e = 6; e < 9; ++e) {
        EXPECT_EQ(ResizeKernelTable_Sse3[e].nearest, ResizeKernelTable_Sse2[e].nearest);
        EXPECT_EQ(ResizeKernelTable_Ssse3[e].nearest, ResizeKernelTable_Sse2[e].nearest);
    }
    for (int e = 9; e < 15; ++e) {
        EXPECT_NE(ResizeKernelTable_Sse[e].linear, ResizeKernelTable_Generic[e].linear);
    }
}

TEST(ResizeInterpolate, DispatchFollowsTheSelectedVariant) {
    EXPECT_EQ(ResizeColor4DispatchTable[av::Generic], ResizeColor4_Generic);
    EXPECT_EQ(ResizeColor4DispatchTable[av::Ssse3], ResizeColor4_Ssse3);
    std::vector<uint8_t> src(16 * 4 * 16, 77), dst(8 * 4 * 8, 0);
    EXPECT_EQ(ResizeColor4Dispatch(src.data(), 16, 16, 64, 0, 0, 16, 16, dst.data(), 32, 8, 8, 0.5,
                                   0.5, INTERP_LINEAR),
              STS_OK);
    EXPECT_EQ(dst[0], 77);
    EXPECT_EQ(dst[3], 0);
}

}  // namespace
}  // namespace velmora::test

namespace velmora::test {
namespace {

// The status the driver owes a request whose images are valid.
int32_t ExpectedCaseStatus(const Case& c) {
    if (c.roiX < 0 || c.roiY < 0 || c.roiW <= 0 || c.roiH <= 0) return STS_SIZE_ERR;
    if (c.roiX >= c.srcW || c.roiY >= c.srcH) return STS_NO_INTERSECTION_WARN;
    if (!(c.xF > 0) || !(c.yF > 0) || !std::isfinite(c.xF) || !std::isfinite(c.yF)) {
        return STS_RESIZE_FACTOR_ERR;
    }
    if (c.code != INTERP_NEAREST && c.code != INTERP_LINEAR && c.code != INTERP_CUBIC &&
        c.code != INTERP_LANCZOS) {
        return STS_INTERPOLATION_ERR;
    }
    const int32_t code = LoweredCode(c);
    const int32_t roiW = std::min(c.roiW, c.srcW - c.roiX);
    const int32_t roiH = std::min(c.roiH, c.srcH - c.roiY);
    const bool nearest = code == INTERP_NEAREST;
    if (ModelGrid(roiW, c.xF, c.dstW, nearest, c.sizeMode != 0).status != STS_OK ||
        ModelGrid(roiH, c.yF, c.dstH, nearest, c.sizeMode != 0).status != STS_OK) {
        return STS_NO_OUTPUT_ERR;
    }
    return STS_OK;
}

// Random requests (sizes, ROIs, factors with NaN, infinities and extremes,
// codes, types, layouts, both step signs and both modes) against the status
// order and the model, under guard pages.
TEST(ResizeInterpolate, RandomRequestsMatchStatusesAndModel) {
    std::mt19937 rng(20261207);
    const double oddFactors[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, 0.0, -0.5, 1e10, 1e-10};
    const int32_t codes[] = {1, 2, 2, 1, 3, 4, 8, 16, 0};
    auto pick = [&](int32_t n) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(n)); };
    for (int i = 0; i < 20000; ++i) {
        Case c;
        c.variant = pick(5);
        c.layout = kLayouts[pick(6)];
        c.srcW = 1 + pick(40);
        c.srcH = 1 + pick(40);
        c.roiX = pick(10) == 0 ? -1 : pick(c.srcW + 2);
        c.roiY = pick(c.srcH + 1);
        c.roiW = pick(10) == 0 ? std::numeric_limits<int32_t>::max() : pick(c.srcW + 4);
        c.roiH = 1 + pick(c.srcH + 4);
        c.dstW = 1 + pick(40);
        c.dstH = 1 + pick(40);
        auto factor = [&] {
            return pick(12) == 0 ? oddFactors[pick(7)]
                                 : kScaleFactors[pick(std::size(kScaleFactors))];
        };
        c.xF = factor();
        c.yF = factor();
        c.code = codes[pick(std::size(codes))];
        c.sizeMode = pick(4) == 0 ? 0 : 1;
        c.flush = pick(2) ? Flush::Front : Flush::Back;
        c.bottomUp = pick(3) == 0;
        c.seed = static_cast<uint32_t>(i);
        const int32_t dataType = pick(3);
        ASSERT_EQ(RunTyped(dataType, c), ExpectedCaseStatus(c))
            << "case " << i << " variant " << c.variant << " type " << dataType << " src " << c.srcW
            << "x" << c.srcH << " roi " << c.roiX << "," << c.roiY << " " << c.roiW << "x" << c.roiH
            << " dst " << c.dstW << "x" << c.dstH << " factors " << c.xF << " " << c.yF << " code "
            << c.code << " mode " << c.sizeMode;
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace velmora::test

// Super-sampling: the row sums against plain sums, the kernels' figures, the
// driver's checks and mends, ResizeColor4's code 8, and every variant on
// random images against an independent area-coverage reference and against
// the Generic member, under guard pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <initializer_list>
#include <random>
#include <vector>

#include "resize/ImageStatus.h"
#include "resize/ResizeColor4.h"
#include "resize/ResizeKernelTable.h"
#include "resize/ResizeMemory.h"
#include "resize/ResizeSuperSample.h"
#include "resize/ResizeSuperSampleKernels.h"
#include "resize/ResizeSuperSampleModel.h"
#include "resize/ResizeSuperSampleRows.h"
#include "tests/ResizeTestSupport.h"

#if defined(VELMORA_TEST_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace velmora::test {
namespace {

using namespace velmora::resize;

using Driver = int32_t (*)(const void*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                           int32_t, void*, int32_t, int32_t, int32_t, double, double, int32_t,
                           int32_t, int32_t, int32_t);
const Driver kDrivers[] = {ResizeSuperSample_Generic, ResizeSuperSample_Sse, ResizeSuperSample_Sse2,
                           ResizeSuperSample_Sse3, ResizeSuperSample_Ssse3};

// ---- row sums ----

template <typename T>
using Acc = SuperSampleAcc<T>;
template <typename T>
using MultiSum = void (*)(const T*, int32_t, int32_t, int32_t, Acc<T>*, int32_t);
template <typename T>
using PlainSum = void (*)(const T*, int32_t, int32_t, int32_t, Acc<T>*);

// One member under test: its stride rule and form.
template <typename T>
struct SumMember {
    MultiSum<T> multi;
    PlainSum<T> plain;
    SuperSampleLayout layout;
    bool store;
};

template <typename T>
void CheckRowSum(const SumMember<T>& m, int32_t width, int32_t nRows, int32_t nChannels,
                 std::mt19937& rng) {
    const int32_t stride = m.layout == SuperSampleLayout::OneCh    ? 1
                           : m.layout == SuperSampleLayout::FourCh ? 4
                                                                   : nChannels;
    const int32_t summed = m.layout == SuperSampleLayout::OneCh    ? 1
                           : m.layout == SuperSampleLayout::FourCh ? 4
                                                                   : 3;
    const int32_t rowSamples = width * stride;
    GuardedImage<T> src(rowSamples, nRows, 1, Flush::Back, rng() % 2 == 0);
    // Fractional floats: single-precision sums depend on their order.
    src.Fill([&] {
        return std::is_same_v<T, float> ? static_cast<T>(rng() % 25600 / 100.0)
                                        : static_cast<T>(rng() % 256);
    });
    GuardedRegion accRegion(static_cast<size_t>(rowSamples) * 4 + 16, Flush::Back);
    auto* acc = reinterpret_cast<Acc<T>*>(
        accRegion.data() + (reinterpret_cast<uintptr_t>(accRegion.data()) % 16 == 0 ? 0 : 8));
    for (int32_t k = 0; k < rowSamples; ++k)
        acc[k] = static_cast<Acc<T>>(3 + k % 5);
    if (m.multi)
        m.multi(src.origin(), src.step(), width, nRows, acc, nChannels);
    else
        m.plain(src.origin(), src.step(), width, nRows, acc);
    const bool doubleTail =
        m.store && m.layout == SuperSampleLayout::OneCh && std::is_same_v<T, float>;
    for (int32_t p = 0; p < width; ++p) {
        for (int32_t c = 0; c < stride; ++c) {
            const int32_t k = p * stride + c;
            const auto before = static_cast<Acc<T>>(3 + k % 5);
            if (c >= summed) {
                ASSERT_EQ(acc[k], before) << "unsummed element " << k;
                continue;
            }
            Acc<T> want = m.store ? 0 : before;
            double wide = 0;
            for (int32_t r = 0; r < nRows; ++r) {
                want += static_cast<Acc<T>>(src.at(k, r, 0));
                wide += src.at(k, r, 0);
            }
            if (doubleTail && p >= width - width % 16) want = static_cast<float>(wide);
            ASSERT_EQ(acc[k], want) << "width " << width << " rows " << nRows << " element " << k;
        }
    }
}

template <typename T>
void CheckRowSums(const std::vector<SumMember<T>>& members) {
    std::mt19937 rng(7);
    for (const auto& m : members)
        for (int32_t width : {1, 2, 3, 6, 7, 8, 9, 15, 16, 17, 33})
            for (int32_t nRows : {1, 2, 5})
                for (int32_t nChannels : {3, 4})
                    CheckRowSum(m, width, nRows, nChannels, rng);
}

#define VELMORA_SUMS(T, V, store)                                                          \
    {nullptr, ResizeSuperSampleSumRowsOneCh##T##_##V, SuperSampleLayout::OneCh, store}, {  \
        nullptr, ResizeSuperSampleSumRowsFourCh##T##_##V, SuperSampleLayout::FourCh, store \
    }

TEST(ResizeSuperSampleRows, MembersAddOrStoreTheBlockSums) {
    using L = SuperSampleLayout;
    CheckRowSums<uint8_t>({
        {ResizeSuperSampleSumRowsMultiCh8u_Generic, nullptr, L::MultiCh, false},
        {ResizeSuperSampleSumRowsMultiCh8u_Sse2, nullptr, L::MultiCh, true},
        {ResizeSuperSampleSumRowsMultiCh8u_Sse3, nullptr, L::MultiCh, true},
        {ResizeSuperSampleSumRowsMultiCh8u_Ssse3, nullptr, L::MultiCh, true},
        VELMORA_SUMS(8u, Generic, false),
        VELMORA_SUMS(8u, Sse, false),
        VELMORA_SUMS(8u, Sse2, true),
        VELMORA_SUMS(8u, Sse3, true),
        VELMORA_SUMS(8u, Ssse3, true),
    });
    CheckRowSums<uint16_t>({
        {ResizeSuperSampleSumRowsMultiCh16u_Generic, nullptr, L::MultiCh, false},
        {ResizeSuperSampleSumRowsMultiCh16u_Sse2, nullptr, L::MultiCh, true},
        {ResizeSuperSampleSumRowsMultiCh16u_Sse3, nullptr, L::MultiCh, true},
        {ResizeSuperSampleSumRowsMultiCh16u_Ssse3, nullptr, L::MultiCh, true},
        VELMORA_SUMS(16u, Generic, false),
        VELMORA_SUMS(16u, Sse, false),
        VELMORA_SUMS(16u, Sse2, true),
        VELMORA_SUMS(16u, Sse3, true),
        VELMORA_SUMS(16u, Ssse3, true),
    });
    CheckRowSums<float>({
        {ResizeSuperSampleSumRowsMultiCh32f_Generic, nullptr, L::MultiCh, false},
        {ResizeSuperSampleSumRowsMultiCh32f_Sse, nullptr, L::MultiCh, false},
        {ResizeSuperSampleSumRowsMultiCh32f_Sse2, nullptr, L::MultiCh, true},
        {ResizeSuperSampleSumRowsMultiCh32f_Sse3, nullptr, L::MultiCh, true},
        {ResizeSuperSampleSumRowsMultiCh32f_Ssse3, nullptr, L::MultiCh, true},
        VELMORA_SUMS(32f, Generic, false),
        VELMORA_SUMS(32f, Sse, false),
        VELMORA_SUMS(32f, Sse2, true),
        VELMORA_SUMS(32f, Sse3, true),
        VELMORA_SUMS(32f, Ssse3, true),
    });
}

// 65537 rows of 65535 fill 32 bits exactly (a step of 0 repeats one row).
TEST(ResizeSuperSampleRows, SixteenBitSumsAreExactTo32Bits) {
    const uint16_t white[2] = {65535, 65535};
    for (auto sum : {ResizeSuperSampleSumRowsOneCh16u_Generic, ResizeSuperSampleSumRowsOneCh16u_Sse,
                     ResizeSuperSampleSumRowsOneCh16u_Sse2, ResizeSuperSampleSumRowsOneCh16u_Sse3,
                     ResizeSuperSampleSumRowsOneCh16u_Ssse3}) {
        alignas(16) uint32_t acc[4] = {};
        sum(white, 0, 2, 65537, acc);
        EXPECT_EQ(acc[0], 4294967295u);
        EXPECT_EQ(acc[1], 4294967295u);
    }
}

// ---- kernels ----

TEST(ResizeSuperSampleKernels, HalvingFiguresAndTheFourthSample) {
    // 2 x 2 pixels of 4 samples: channel blocks {1,2,2,2}, {1,1,2,2}, {0,0,0,1}.
    const uint8_t src[16] = {1, 1, 0, 9, 2, 1, 0, 9, 2, 2, 0, 9, 2, 2, 1, 9};
    const float srcf[4] = {1.0f, 2.0f, 2.0f, 2.0f};
    for (int v = 0; v < av::kCpuVariantCount; ++v) {
        uint8_t dst[4] = {77, 77, 77, 77};
        ASSERT_EQ(
            kDrivers[v](src, 2, 2, 8, 0, 0, 2, 2, dst, 4, 1, 1, 0.5, 0.5, 4, 3, RESIZE_DATA_8U, 0),
            STS_OK);
        EXPECT_EQ(dst[0], 2);
        EXPECT_EQ(dst[1], 2);
        EXPECT_EQ(dst[2], 0);
        EXPECT_EQ(dst[3], 77);
        float out = 0;
        ASSERT_EQ(kDrivers[v](srcf, 2, 2, 8, 0, 0, 2, 2, &out, 4, 1, 1, 0.5, 0.5, 1, 1,
                              RESIZE_DATA_32F, 0),
                  STS_OK);
        EXPECT_EQ(out, 1.75f);
    }
}

// Mend: the fourth sample of a three-of-four output is neither read nor
// written, in the 16-bit and the 32-bit vector paths: the last pixel's
// fourth byte lies on a guard page.
TEST(ResizeSuperSampleKernels, FourthSampleIsNeverTouched) {
    std::vector<uint8_t> src(48 * 4 * 60, 200);
    for (int32_t ratio : {2, 3, 12}) {
        const int32_t dstW = 48 / ratio;
        GuardedRegion dst(static_cast<size_t>(dstW) * 4 - 1, Flush::Back);
        for (int v = 0; v < av::kCpuVariantCount; ++v) {
            std::fill(dst.data(), dst.data() + dst.size(), 0);
            const double f = 1.0 / ratio;
            ASSERT_EQ(ResizeColor4DispatchTable[v](src.data(), 48, 60, 48 * 4, 0, 0, 48, ratio,
                                                   dst.data(), dstW * 4, dstW, 1, f, f,
                                                   INTERP_SUPERSAMPLE),
                      STS_OK);
            for (int32_t k = 0; k < dstW * 4 - 1; ++k)
                ASSERT_EQ(dst.data()[k], k % 4 == 3 ? 0 : 200) << "variant " << v << " " << k;
        }
    }
}

// Mend: a region lower than one block averages its own rows, its last one
// repeated (row y holds 10 (y + 1); rows 0-1 in a block of 3 1/3 rows give
// (10 + 20 + 20 + 20 / 3) x 0.3 = 17; row 2 in a block of 1 1/3 rows, 30).
TEST(ResizeSuperSampleDriver, ShortRegionAveragesOnlyItsRows) {
    std::vector<uint8_t> src(4 * 4 * 8);
    for (size_t k = 0; k < src.size(); ++k)
        src[k] = static_cast<uint8_t>(10 * (k / 16 + 1));
    struct Row {
        int32_t roiY, roiH;
        double yF;
        int want;
    };
    for (int v = 0; v < av::kCpuVariantCount; ++v) {
        for (const Row& row : {Row{0, 2, 0.3, 17}, Row{6, 2, 0.3, 77}, Row{2, 1, 0.75, 30}}) {
            uint8_t dst[4] = {5, 5, 5, 5};
            ASSERT_EQ(ResizeColor4DispatchTable[v](src.data(), 4, 8, 16, 0, row.roiY, 4, row.roiH,
                                                   dst, 4, 1, 1, 0.3, row.yF, INTERP_SUPERSAMPLE),
                      STS_OK);
            EXPECT_EQ(dst[0], row.want) << "variant " << v << " top " << row.roiY;
            EXPECT_EQ(dst[3], 5);
        }
    }
}

using OneCh8u = int32_t (*)(const uint8_t*, uint8_t*, int32_t, int32_t, int32_t, int32_t, int32_t,
                            int32_t, double, double, double, int32_t);
using OneCh32f = int32_t (*)(const float*, float*, int32_t, int32_t, int32_t, int32_t, int32_t,
                             int32_t, double, double, double, int32_t);
const OneCh8u kOneCh8u[] = {ResizeSuperSampleOneCh8u_Generic, ResizeSuperSampleOneCh8u_Sse,
                            ResizeSuperSampleOneCh8u_Sse2, ResizeSuperSampleOneCh8u_Sse3,
                            ResizeSuperSampleOneCh8u_Ssse3};
const OneCh32f kOneCh32f[] = {ResizeSuperSampleOneCh32f_Generic, ResizeSuperSampleOneCh32f_Sse,
                              ResizeSuperSampleOneCh32f_Sse2, ResizeSuperSampleOneCh32f_Sse3,
                              ResizeSuperSampleOneCh32f_Ssse3};

TEST(ResizeSuperSampleKernels, FractionalWalksAcrossColumnsAndRows) {
    const uint8_t row[10] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
    const float column[6] = {1, 10, 100, 1000, 10000, 100000};
    for (int v = 0; v < av::kCpuVariantCount; ++v) {
        uint8_t out[3] = {};
        ASSERT_EQ(kOneCh8u[v](row, out, 10, 3, 9, 1, 3, 1, 2.5, 1.0, 0.4, 2), STS_OK);
        EXPECT_EQ(out[0], 18);
        EXPECT_EQ(out[1], 42);
        EXPECT_EQ(out[2], 68);
        // yRatio 1.5: rows 0 + half of 1, half of 1 + 2, 3 + half of 4, half of 4 + 5.
        float rows[4] = {};
        ASSERT_EQ(kOneCh32f[v](column, rows, 4, 4, 1, 6, 1, 4, 1.0, 1.5, 1.0, 1), STS_OK);
        EXPECT_EQ(rows[0], 6.0f);
        EXPECT_EQ(rows[1], 105.0f);
        EXPECT_EQ(rows[2], 6000.0f);
        EXPECT_EQ(rows[3], 105000.0f);
        // A mode outside 0..3 or no output row: nothing written, no allocation.
        SetResizeAllocFailure(0);
        for (int32_t mode : {-1, 4}) {
            ASSERT_EQ(kOneCh8u[v](row, out, 10, 3, 9, 1, 3, 1, 2.5, 1.0, 0.4, mode), STS_OK);
        }
        EXPECT_EQ(SetResizeAllocFailure(0), 0);
        ASSERT_EQ(kOneCh8u[v](row, out, 10, 3, 9, 1, 3, 0, 2.5, 1.0, 0.4, 2), STS_OK);
        EXPECT_EQ(out[0], 18);
        SetResizeAllocFailure(1);
        EXPECT_EQ(kOneCh8u[v](row, out, 10, 3, 9, 1, 3, 1, 2.5, 1.0, 0.4, 2), STS_NO_MEM_ERR);
        SetResizeAllocFailure(0);
    }
}

// A OneCh block of 11 or more whole pixels is summed in eight interleaved
// lanes: 1e8 and -1e8 in lanes 0 and 1, 3 in lane 2 cancel only when lanes 0
// and 1 meet first (Ssse3); the other vector members lose the 3 to rounding.
TEST(ResizeSuperSampleKernels, InterleavedBlockSumsCombineLanesPerVariant) {
    float row[12] = {1e8f, -1e8f, 3.0f, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const float want[] = {3.0f, 0.0f, 0.0f, 0.0f, 3.0f};
    for (int v = 0; v < av::kCpuVariantCount; ++v) {
        float out = -1;
        ASSERT_EQ(kOneCh32f[v](row, &out, 48, 4, 12, 1, 1, 1, 12.0, 1.0, 1.0, 0), STS_OK);
        EXPECT_EQ(out, want[v]) << "variant " << v;
    }
    // Ten whole pixels are summed in order in every variant.
    float ten[10] = {1e8f, -1e8f, 3.0f, 0, 0, 0, 0, 0, 0, 0};
    for (int v = 0; v < av::kCpuVariantCount; ++v) {
        float out = -1;
        ASSERT_EQ(kOneCh32f[v](ten, &out, 40, 4, 10, 1, 1, 1, 10.0, 1.0, 1.0, 0), STS_OK);
        EXPECT_EQ(out, 3.0f) << "variant " << v;
    }
}

// One source row, so the working row holds the samples: the vector one-sample
// members against the model of their form on blocks of 7 to 24 pixels
// (integer sums, interleaved float lanes), past the row's end, at output
// offsets 0-3.
template <typename T, SuperSampleForm F, typename Member>
void CheckOneChAgainstModel(std::initializer_list<Member> members) {
    std::mt19937 rng(31);
    for (double rx : {7.0, 8.0, 9.0, 10.0, 11.0, 12.0, 13.0, 24.0, 10.5, 11.5, 12.75, 20.3})
        for (int32_t dstW : {1, 5, 13, 22})
            for (int32_t offset : {0, 1, 2, 3}) {
                const int32_t mode = rx != std::trunc(rx) ? 2 : 0;
                const auto cols = static_cast<int32_t>(std::ceil(dstW * rx)) - offset;
                std::vector<T> src(static_cast<size_t>(cols)), want(dstW + 4, T(9)), got;
                std::vector<uint32_t> row(src.size());  // the working row's bits
                for (size_t k = 0; k < src.size(); ++k) {
                    src[k] = static_cast<T>(static_cast<int32_t>(rng() % 2000001) - 1000000) /
                             (std::is_same_v<T, float> ? T(7) : T(1));
                    const float f = static_cast<float>(src[k]);
                    row[k] = mode != 0 || std::is_same_v<T, float> ? std::bit_cast<uint32_t>(f)
                                                                   : static_cast<uint32_t>(src[k]);
                }
                SuperSampleModel<T, SuperSampleLayout::OneCh, F>::OutputRow(
                    reinterpret_cast<const SuperSampleAcc<T>*>(row.data()), want.data() + offset,
                    cols, 1, 1, dstW, rx, 1.0 / rx, mode);
                for (Member member : members) {
                    got.assign(want.size(), T(9));
                    ASSERT_EQ(member(src.data(), got.data() + offset, cols * sizeof(T), 0, cols, 1,
                                     dstW, 1, rx, 1.0, 1.0 / rx, mode),
                              STS_OK);
                    ASSERT_EQ(got, want) << "ratio " << rx << " width " << dstW << " at " << offset;
                }
            }
}

#define VELMORA_ONECH_FORMS(T, E)                                                           \
    CheckOneChAgainstModel<E, SuperSampleForm::Single>({ResizeSuperSampleOneCh##T##_Sse,    \
                                                        ResizeSuperSampleOneCh##T##_Sse2,   \
                                                        ResizeSuperSampleOneCh##T##_Sse3}); \
    CheckOneChAgainstModel<E, SuperSampleForm::SingleSsse3>({ResizeSuperSampleOneCh##T##_Ssse3})

TEST(ResizeSuperSampleKernels, OneSamplePixelsEqualTheModelOfTheirForm) {
    VELMORA_ONECH_FORMS(8u, uint8_t);
    VELMORA_ONECH_FORMS(16u, uint16_t);
    VELMORA_ONECH_FORMS(32f, float);
}

// Mend: whole-ratio block sums in 64 bits (257 x 257 x 65535 passes 2^32),
// also over more than 2^14 steps of eight elements of more than 16 bits.
TEST(ResizeSuperSampleKernels, LargeWhiteBlockAveragesToWhite) {
    const std::vector<uint16_t> white(140000, 65535);
    const decltype(&ResizeSuperSampleOneCh16u_Generic) kernels[] = {
        ResizeSuperSampleOneCh16u_Generic, ResizeSuperSampleOneCh16u_Sse,
        ResizeSuperSampleOneCh16u_Sse2, ResizeSuperSampleOneCh16u_Sse3,
        ResizeSuperSampleOneCh16u_Ssse3};
    for (auto kernel : kernels)
        for (const auto& [w, h] : {std::pair{257, 257}, {140000, 300}}) {
            uint16_t out = 0;
            // Step 0: the one row stands for all.
            ASSERT_EQ(kernel(white.data(), &out, 0, 2, w, h, 1, 1, w, h,
                             1.0 / (static_cast<double>(w) * h), 0),
                      STS_OK);
            EXPECT_EQ(out, 65535);
        }
}

// ---- driver ----

TEST(ResizeSuperSampleDriver, ChecksInOrderAndMends) {
    std::vector<uint8_t> src(8 * 8 * 4, 100);
    std::vector<uint8_t> dst(8 * 8 * 4, 7);
    const std::vector<uint8_t> untouched = dst;
    for (Driver run : kDrivers) {
        auto call = [&](const void* s, int32_t roiX, int32_t roiW, int32_t dstW, double xF,
                        double yF, int32_t type) {
            return run(s, 8, 8, 32, roiX, 0, roiW, 8, dst.data(), 32, dstW, 8, xF, yF, 4, 3, type,
                       0);
        };
        EXPECT_EQ(call(nullptr, 0, 0, 0, 0, 0, 5), STS_NULL_PTR_ERR);
        EXPECT_EQ(call(src.data(), 0, 0, 0, 0, 0, 0), STS_SIZE_ERR);
        EXPECT_EQ(call(src.data(), 0, 8, 8, 0.5, 0.5, 5), STS_SIZE_ERR);  // mend: was STS_OK
        EXPECT_EQ(call(src.data(), 8, 8, 0, 0, 0, 0), STS_NO_INTERSECTION_WARN);
        EXPECT_EQ(call(src.data(), 0, 8, 0, 0, 0, 0), STS_SIZE_ERR);
        for (double bad : {std::nan(""), HUGE_VAL, 0.0, -0.5})
            EXPECT_EQ(call(src.data(), 0, 8, 8, 0.5, bad, 0), STS_RESIZE_FACTOR_ERR);
        EXPECT_EQ(call(src.data(), 0, 2, 8, 0.2, 1.0, 0), STS_NO_OUTPUT_ERR);
        EXPECT_EQ(dst, untouched);
        // 2 x 0.3 = 0.6: one column, the block's missing columns taken from
        // the ROI's last, so a uniform ROI stays uniform.
        ASSERT_EQ(call(src.data(), 0, 2, 8, 0.3, 1.0, 0), STS_OK);
        EXPECT_EQ(dst[0], 100);
        EXPECT_EQ(dst[4], 7);
        // Mend: a ROI width near INT_MAX is clipped (roiX + roiWidth overflows).
        std::vector<uint8_t> clipped(dst.size(), 7), wanted(dst.size(), 7);
        for (size_t k = 0; k < src.size(); ++k)
            src[k] = static_cast<uint8_t>(k * 7);
        ASSERT_EQ(run(src.data(), 8, 8, 32, 2, 0, INT_MAX, 8, clipped.data(), 32, 8, 8, 0.5, 0.5, 4,
                      3, 0, 0),
                  STS_OK);
        ASSERT_EQ(
            run(src.data(), 8, 8, 32, 2, 0, 6, 8, wanted.data(), 32, 8, 8, 0.5, 0.5, 4, 3, 0, 0),
            STS_OK);
        EXPECT_EQ(clipped, wanted);
        std::fill(src.begin(), src.end(), 100);
        std::fill(dst.begin(), dst.end(), 7);
    }
}

// Mend: the first plane that fails is reported and no later plane starts.
TEST(ResizeSuperSampleDriver, FailingPlaneIsReported) {
    std::vector<uint8_t> planes[4], outs[4];
    const void* src[4];
    void* dst[4];
    for (int p = 0; p < 4; ++p) {
        planes[p].assign(16, static_cast<uint8_t>(10 * (p + 1)));
        outs[p].assign(4, 0);
        src[p] = planes[p].data();
        dst[p] = outs[p].data();
    }
    for (Driver run : kDrivers) {
        for (auto& o : outs)
            std::fill(o.begin(), o.end(), 0);
        SetResizeAllocFailure(2);
        EXPECT_EQ(run(src, 4, 4, 4, 0, 0, 4, 4, dst, 2, 2, 2, 0.5, 0.5, 1, 4, 0, 1),
                  STS_NO_MEM_ERR);
        SetResizeAllocFailure(0);
        EXPECT_EQ(outs[0][0], 10);
        for (int p = 1; p < 4; ++p)
            EXPECT_EQ(outs[p][0], 0) << "plane " << p;
        ASSERT_EQ(run(src, 4, 4, 4, 0, 0, 4, 4, dst, 2, 2, 2, 0.5, 0.5, 1, 3, 0, 1), STS_OK);
        EXPECT_EQ(outs[2][3], 30);
        EXPECT_EQ(outs[3][0], 0);
    }
}

// ---- ResizeColor4 ----

TEST(ResizeSuperSampleColor4, CodeEightRoutesBySize) {
    std::mt19937 rng(5);
    GuardedImage<uint8_t> top(9, 7, 4, Flush::Back), bottom(9, 7, 4, Flush::Front, true);
    top.Fill([&] { return static_cast<uint8_t>(rng()); });
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 9; ++x)
            for (int c = 0; c < 4; ++c)
                bottom.at(x, y, c) = top.at(x, y, c);
    for (int v = 0; v < av::kCpuVariantCount; ++v) {
        std::vector<uint8_t> a(9 * 7 * 4, 55), b = a, c = a;
        ASSERT_EQ(ResizeColor4DispatchTable[v](top.origin(), 9, 7, top.step(), 1, 0, 8, 7, a.data(),
                                               36, 9, 7, 0.5, 1.0, INTERP_SUPERSAMPLE),
                  STS_OK);
        ASSERT_EQ(ResizeColor4DispatchTable[v](bottom.origin(), 9, 7, bottom.step(), 1, 0, 8, 7,
                                               b.data(), 36, 9, 7, 0.5, 1.0, INTERP_SUPERSAMPLE),
                  STS_OK);
        EXPECT_EQ(a, b);  // bottom-up equals top-down
        ASSERT_EQ(kDrivers[v](top.origin(), 9, 7, top.step(), 1, 0, 8, 7, c.data(), 36, 9, 7, 0.5,
                              1.0, 4, 3, RESIZE_DATA_8U, 0),
                  STS_OK);
        EXPECT_EQ(a, c);
        for (size_t k = 3; k < a.size(); k += 4)
            ASSERT_EQ(a[k], 55);
        EXPECT_EQ(ResizeColor4DispatchTable[v](top.origin(), 9, 7, top.step(), 0, 0, 9, 7, a.data(),
                                               36, 9, 7, 0.5, 1.5, INTERP_SUPERSAMPLE),
                  STS_INTERPOLATION_ERR);
        EXPECT_EQ(ResizeColor4DispatchTable[v](top.origin(), 9, 7, top.step(), 0, 0, 9, 7, a.data(),
                                               36, 9, 7, 1.5, 0.5, INTERP_SUPERSAMPLE),
                  STS_INTERPOLATION_ERR);
    }
}

// ---- random images against the area reference and the Generic member ----

enum class Layout { Multi3, Multi4, One, Four, Planar3, Planar4 };

struct Request {
    Layout layout = Layout::Four;
    int32_t type = RESIZE_DATA_8U;
    int32_t srcW = 8, srcH = 8, roiX = 0, roiY = 0, roiW = 8, roiH = 8, roomW = 8, roomH = 8;
    double xF = 0.5, yF = 0.5;
    bool bottomUp = false;
    Flush flush = Flush::Back;
    uint32_t seed = 1;
};

int32_t Channels(Layout l) {
    return l == Layout::Multi3                                                  ? 3
           : (l == Layout::One || l == Layout::Planar3 || l == Layout::Planar4) ? 1
                                                                                : 4;
}
bool Planar(Layout l) {
    return l == Layout::Planar3 || l == Layout::Planar4;
}
int32_t Planes(Layout l) {
    return l == Layout::Planar3 ? 3 : l == Layout::Planar4 ? 4 : 1;
}
int32_t Processed(Layout l) {
    switch (l) {
        case Layout::Multi3:
        case Layout::Multi4:
        case Layout::Planar3:
            return 3;
        case Layout::One:
            return 1;
        default:
            return 4;
    }
}
int32_t Resized(Layout l) {
    return l == Layout::Multi3 || l == Layout::Multi4 ? 3 : Channels(l);
}

// The status the driver owes a request with valid images.
int32_t ExpectedStatus(const Request& r) {
    if (r.roiX < 0 || r.roiY < 0 || r.roiW <= 0 || r.roiH <= 0) return STS_SIZE_ERR;
    if (r.roiX >= r.srcW || r.roiY >= r.srcH) return STS_NO_INTERSECTION_WARN;
    if (!(r.xF > 0) || !(r.yF > 0) || !std::isfinite(r.xF) || !std::isfinite(r.yF))
        return STS_RESIZE_FACTOR_ERR;
    const double w = std::min(r.roiW, r.srcW - r.roiX) * r.xF + 1e-7;
    const double h = std::min(r.roiH, r.srcH - r.roiY) * r.yF + 1e-7;
    return w < 0.5 || h < 0.5 ? STS_NO_OUTPUT_ERR : STS_OK;
}

// Share of source index k in [a, b).
double Cover(double a, double b, int64_t k) {
    return std::max(0.0, std::min(b, k + 1.0) - std::max(a, static_cast<double>(k)));
}

// Area average over [j rx, (j + 1) rx) x [i ry, (i + 1) ry) of the ROI, by
// coverage alone: columns past the ROI read its last one, rows past `rows`
// (the image's rows from the ROI's top) the last of them.
template <typename Sample>
double AreaMean(Sample&& sample, int32_t cols, int32_t rows, double rx, double ry, int32_t j,
                int32_t i) {
    double sum = 0;
    const double x0 = j * rx, x1 = (j + 1) * rx, y0 = i * ry, y1 = (i + 1) * ry;
    for (auto y = static_cast<int64_t>(y0); y < y1; ++y) {
        const double wy = Cover(y0, y1, y);
        if (wy < 1e-6) continue;
        for (auto x = static_cast<int64_t>(x0); x < x1; ++x) {
            const double wx = Cover(x0, x1, x);
            if (wx < 1e-6) continue;
            sum += wx * wy * sample(std::min<int64_t>(x, cols - 1), std::min<int64_t>(y, rows - 1));
        }
    }
    return sum / (rx * ry);
}

template <typename T>
struct Images {
    std::vector<std::unique_ptr<GuardedImage<T>>> src, dst;
};

template <typename T>
Images<T> MakeImages(const Request& r, int32_t dstW, int32_t dstH) {
    std::mt19937 rng(r.seed);
    const int32_t scaleUp = std::is_same_v<T, uint16_t> ? 257 : 1;
    Images<T> im;
    for (int32_t p = 0; p < Planes(r.layout); ++p) {
        im.src.push_back(std::make_unique<GuardedImage<T>>(r.srcW, r.srcH, Channels(r.layout),
                                                           r.flush, r.bottomUp));
        im.src.back()->Fill([&] { return static_cast<T>((rng() % 256) * scaleUp); });
        im.dst.push_back(std::make_unique<GuardedImage<T>>(dstW, dstH, Channels(r.layout), r.flush,
                                                           !r.bottomUp));
        im.dst.back()->Fill([] { return static_cast<T>(3); });
    }
    return im;
}

template <typename T>
int32_t RunRequest(int v, const Request& r, Images<T>& im) {
    const void* srcPlanes[4];
    void* dstPlanes[4];
    for (size_t p = 0; p < im.src.size(); ++p) {
        srcPlanes[p] = im.src[p]->origin();
        dstPlanes[p] = im.dst[p]->origin();
    }
    const bool planar = Planar(r.layout);
    return kDrivers[v](planar ? static_cast<const void*>(srcPlanes) : srcPlanes[0], r.srcW, r.srcH,
                       im.src[0]->step(), r.roiX, r.roiY, r.roiW, r.roiH,
                       planar ? static_cast<void*>(dstPlanes) : dstPlanes[0], im.dst[0]->step(),
                       r.roomW, r.roomH, r.xF, r.yF, Channels(r.layout), Processed(r.layout),
                       r.type, planar ? 1 : 0);
}

template <typename T>
void CheckRequest(const Request& r, const char* what) {
    const int32_t want = ExpectedStatus(r);
    GuardedResizeHeap heap;
    Images<T> generic = MakeImages<T>(r, r.roomW, r.roomH);
    ASSERT_EQ(RunRequest(0, r, generic), want) << what;
    ASSERT_EQ(heap.Outstanding(), 0u);
    if (want != STS_OK) return;
    const int32_t roiW = std::min(r.roiW, r.srcW - r.roiX);
    const int32_t roiH = std::min(r.roiH, r.srcH - r.roiY);
    const int32_t outW = SuperSampleOutputSize(roiW, r.xF, r.roomW).count;
    const int32_t outH = SuperSampleOutputSize(roiH, r.yF, r.roomH).count;
    const double rx = 1 / r.xF, ry = 1 / r.yF;
    const bool exact = !std::is_same_v<T, float> && rx == std::trunc(rx) && ry == std::trunc(ry);
    const double tolerance = std::is_same_v<T, float> ? 1e-3 : 1.0;
    // The Sse members run the scalar model of the single-precision form; the
    // vector bodies of pixels 4 samples apart in Sse2, Sse3 and Ssse3 equal it,
    // those of one-sample pixels in Sse2 and Sse3 (Ssse3 combines its lanes in
    // another order).
    const bool quad = r.layout == Layout::Four || r.layout == Layout::Multi4;
    const bool oneCh = Channels(r.layout) == 1;
    Images<T> model = MakeImages<T>(r, r.roomW, r.roomH);
    if (quad || oneCh) {
        ASSERT_EQ(RunRequest(1, r, model), STS_OK) << what;
    }
    for (int v = 1; v <= av::kCpuVariantCount; ++v) {
        Images<T> other = MakeImages<T>(r, r.roomW, r.roomH);
        if (v < av::kCpuVariantCount) {
            ASSERT_EQ(RunRequest(v, r, other), STS_OK) << what;
            if ((quad && v > 1) || (oneCh && (v == 2 || v == 3))) {
                for (size_t p = 0; p < model.dst.size(); ++p)
                    ASSERT_EQ(other.dst[p]->Pixels(), model.dst[p]->Pixels())
                        << what << " variant " << v << " plane " << p;
            }
        }
        for (size_t p = 0; p < generic.dst.size(); ++p) {
            const auto& src = *generic.src[p];
            const auto& got = *generic.dst[p];
            for (int32_t y = 0; y < r.roomH; ++y) {
                for (int32_t x = 0; x < r.roomW; ++x) {
                    for (int32_t c = 0; c < Channels(r.layout); ++c) {
                        const double g = got.at(x, y, c);
                        if (x >= outW || y >= outH || c >= Resized(r.layout)) {
                            ASSERT_EQ(g, 3) << what << " outside the output at " << x << "," << y;
                            continue;
                        }
                        double ref;
                        if (v < av::kCpuVariantCount) {
                            ref = other.dst[p]->at(x, y, c);
                            if (exact) {
                                ASSERT_EQ(g, ref) << what << " variant " << v;
                                continue;
                            }
                        } else {
                            ref = AreaMean(
                                [&](int64_t sx, int64_t sy) {
                                    return static_cast<double>(
                                        src.at(r.roiX + static_cast<int32_t>(sx),
                                               r.roiY + static_cast<int32_t>(sy), c));
                                },
                                roiW, roiH, rx, ry, x, y);
                        }
                        ASSERT_LE(std::fabs(g - ref), tolerance)
                            << what << (v < av::kCpuVariantCount ? " variant " : " reference ") << v
                            << " at " << x << "," << y << "," << c;
                    }
                }
            }
        }
    }
}

void CheckTyped(const Request& r, const char* what) {
    if (r.type == RESIZE_DATA_8U) CheckRequest<uint8_t>(r, what);
    if (r.type == RESIZE_DATA_16U) CheckRequest<uint16_t>(r, what);
    if (r.type == RESIZE_DATA_32F) CheckRequest<float>(r, what);
}

const double kFactors[] = {
    1.0, 0.5,  0.25,   1.0 / 3, 0.4, 0.75, 1.0 / 1000, 0.9999999, static_cast<float>(1.0 / 3),
    0.6, 0.15, 2.0 / 3};

using Quad8u = int32_t (*)(const uint8_t*, uint8_t*, int32_t, int32_t, int32_t, int32_t, int32_t,
                           int32_t, double, double, double, int32_t);
int32_t MultiCh8uFourOfFour(const uint8_t* s, uint8_t* d, int32_t ss, int32_t ds, int32_t c,
                            int32_t r, int32_t w, int32_t h, double x, double y, double sc,
                            int32_t m, int32_t v) {
    static const decltype(&ResizeSuperSampleMultiCh8u_Generic) kMembers[] = {
        ResizeSuperSampleMultiCh8u_Generic, ResizeSuperSampleMultiCh8u_Sse2,
        ResizeSuperSampleMultiCh8u_Sse3, ResizeSuperSampleMultiCh8u_Ssse3};
    return kMembers[v](s, d, ss, ds, c, r, w, h, x, y, sc, 4, m);
}

// Whole-ratio 8u blocks of pixels 4 samples apart: the vector members equal
// the Generic one bit for bit, through the 16-bit and the 32-bit sums, on
// vector tails, odd destination offsets, blocks past the last row and scales
// whose results leave the byte range (the model keeps the low byte).
TEST(ResizeSuperSampleKernels, VectorWholeBlocksEqualTheModel) {
    const Quad8u fourCh[] = {ResizeSuperSampleFourCh8u_Generic, ResizeSuperSampleFourCh8u_Sse2,
                             ResizeSuperSampleFourCh8u_Sse3, ResizeSuperSampleFourCh8u_Ssse3};
    std::mt19937 rng(19);
    const int32_t ratios[][2] = {{2, 2}, {3, 3}, {1, 4}, {4, 1}, {2, 5}, {12, 12}, {20, 30}};
    for (const auto& ratio : ratios)
        for (int32_t dstW : {1, 3, 4, 5, 9, 17})
            for (double scale : {0.0, 1.0, 0.3, 0.2, 1.0 / (ratio[0] * ratio[1])})
                for (bool multi : {true, false}) {
                    const int32_t kx = ratio[0], ky = ratio[1], dstH = 3;
                    const int32_t cols = dstW * kx + static_cast<int32_t>(rng() % 3);
                    const int32_t rows = dstH * ky - static_cast<int32_t>(rng() % 2);
                    std::vector<uint8_t> src(static_cast<size_t>(cols) * 4 * rows);
                    for (auto& b : src)
                        b = rng() % 4 == 0 ? 255 : static_cast<uint8_t>(rng());
                    const int32_t offset = static_cast<int32_t>(rng() % 4);
                    std::vector<uint8_t> want(static_cast<size_t>(dstW) * 4 * dstH + 4, 9);
                    for (int v = 0; v < 4; ++v) {
                        std::vector<uint8_t> got(want.size(), 9);
                        uint8_t* out = (v == 0 ? want : got).data() + (v == 0 ? 0 : offset);
                        const int32_t status =
                            multi ? MultiCh8uFourOfFour(src.data(), out, cols * 4, dstW * 4, cols,
                                                        rows, dstW, dstH, kx, ky, scale, 0, v)
                                  : fourCh[v](src.data(), out, cols * 4, dstW * 4, cols, rows, dstW,
                                              dstH, kx, ky, scale, 0);
                        ASSERT_EQ(status, STS_OK);
                        if (v == 0) continue;
                        for (size_t k = 0; k + 4 < want.size(); ++k)
                            ASSERT_EQ(got[k + offset], want[k])
                                << "variant " << v << " ratio " << kx << "x" << ky << " width "
                                << dstW << " scale " << scale << " sample " << k;
                    }
                }
}

// Members of pixels 4 samples apart, in the order Sse, Sse2, Sse3, Ssse3.
template <typename T>
using QuadKernel = int32_t (*)(const T*, T*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                               double, double, double, int32_t);
template <typename T>
using QuadMultiKernel = int32_t (*)(const T*, T*, int32_t, int32_t, int32_t, int32_t, int32_t,
                                    int32_t, double, double, double, int32_t, int32_t);
template <typename T>
struct QuadMembers {
    QuadKernel<T> fourCh[4];
    QuadMultiKernel<T> multiCh[4];
};
#define VELMORA_QUAD_MEMBERS(T)                                                         \
    {                                                                                   \
        {ResizeSuperSampleFourCh##T##_Sse, ResizeSuperSampleFourCh##T##_Sse2,           \
         ResizeSuperSampleFourCh##T##_Sse3, ResizeSuperSampleFourCh##T##_Ssse3},        \
        {                                                                               \
            ResizeSuperSampleMultiCh##T##_Sse, ResizeSuperSampleMultiCh##T##_Sse2,      \
                ResizeSuperSampleMultiCh##T##_Sse3, ResizeSuperSampleMultiCh##T##_Ssse3 \
        }                                                                               \
    }

// The scalar model of form F over an image of `cols` x `rows` pixels of one
// or four samples: each output row's block of source rows (rows at or past
// `rows` read the last) added into a cleared working row, in 32-bit integers
// in mode 0 of 8u and 16u; then the model's horizontal and output passes.
// Output rows lie `dstW` pixels and 4 samples apart from `offset` in a run of
// 9s.
template <typename T, SuperSampleLayout L, SuperSampleForm F>
std::vector<T> ModelImage(const std::vector<T>& src, int32_t cols, int32_t rows, int32_t dstW,
                          int32_t dstH, double rx, double ry, int32_t offset, int32_t mode) {
    using M = SuperSampleModel<T, L, F>;
    const int32_t stride = L == SuperSampleLayout::OneCh ? 1 : 4, dstStep = dstW * stride + 4;
    const bool integer = mode == 0 && !std::is_same_v<T, float>;
    std::vector<uint32_t> whole(static_cast<size_t>(cols) * stride);
    std::vector<float> row(whole.size());
    std::vector<T> out(static_cast<size_t>(dstStep) * dstH + 4, T(9));
    auto rowAt = [&](int64_t r) { return &src[std::min<int64_t>(r, rows - 1) * cols * stride]; };
    SuperSampleWalk walk(ry, (mode & 1) != 0);
    for (int32_t i = 0; i < dstH; ++i) {
        const SuperSampleBlock b = walk.Next();
        std::fill(whole.begin(), whole.end(), 0u);
        std::fill(row.begin(), row.end(), 0.0f);
        if (b.hasFirst) M::AddWeighted(row.data(), rowAt(b.first), cols, stride, b.firstWeight);
        for (int64_t k = 0; k < b.count; ++k) {
            if (integer)
                M::AddWhole(whole.data(), rowAt(b.whole + k), cols, stride);
            else
                M::AddWhole(row.data(), rowAt(b.whole + k), cols, stride);
        }
        if (b.hasLast) M::AddWeighted(row.data(), rowAt(b.last), cols, stride, b.lastWeight);
        const auto* acc = integer ? reinterpret_cast<const SuperSampleAcc<T>*>(whole.data())
                                  : reinterpret_cast<const SuperSampleAcc<T>*>(row.data());
        M::OutputRow(acc, out.data() + offset + static_cast<ptrdiff_t>(i) * dstStep, cols, stride,
                     stride, dstW, rx, 1.0 / (rx * ry), mode);
    }
    return out;
}

// Every mode, widths across the packed output stretch and its alignment head
// (destinations 0-3 samples past a 16-byte boundary), rows past the last,
// blocks of 9, 10 and 11 whole pixels, mode-0 blocks that start off an
// 8-byte boundary and working-row elements past 16 bits: the members `run`
// (v = 0 to 3: Sse, Sse2, Sse3, Ssse3) equal the model of their form bit for
// bit, and a three-of-four output leaves sample 3 as it was. OneCh32f in
// mode 0 is left to the one-row test: the SSE2 members' row sums add their
// tails in double precision.
template <typename T, SuperSampleLayout L, typename Run>
void CheckPackedMembers(Run run) {
    using F = SuperSampleForm;
    std::mt19937 rng(29);
    const double ratios[][2] = {{1.5, 1.5},  {2.5, 1.0},  {1.0, 1.25},      {3.0, 2.0},
                                {7.3, 1.7},  {2.0, 2.0},  {1.0000001, 4.4}, {9.0, 3.0},
                                {10.0, 2.0}, {11.0, 2.0}, {13.0, 1.0},      {10.5, 1.5},
                                {11.6, 2.4}};
    const int32_t stride = L == SuperSampleLayout::OneCh ? 1 : 4;
    for (const auto& ratio : ratios)
        for (int32_t dstW : {1, 3, 4, 5, 13, 22})
            for (int32_t offset : {0, 1, 2, 3}) {
                const double rx = ratio[0], ry = ratio[1];
                const int32_t dstH = 3;
                const auto cols = static_cast<int32_t>(std::ceil((dstW + 1) * rx)) + 1;
                const auto rows = static_cast<int32_t>(std::ceil(dstH * ry)) - 1;
                const int32_t mode =
                    (rx != std::trunc(rx) ? 2 : 0) + (ry != std::trunc(ry) ? 1 : 0);
                if (std::is_same_v<T, float> && stride == 1 && mode == 0) continue;
                std::vector<T> src(static_cast<size_t>(cols) * stride * rows);
                for (auto& x : src)
                    x = std::is_same_v<T, float> ? static_cast<T>(rng() % 25600 / 100.0)
                                                 : static_cast<T>(rng());
                const std::vector<T> wants[2] = {
                    ModelImage<T, L, F::Single>(src, cols, rows, dstW, dstH, rx, ry, offset, mode),
                    ModelImage<T, L, F::SingleSsse3>(src, cols, rows, dstW, dstH, rx, ry, offset,
                                                     mode)};
                const int32_t dstStep = (dstW * stride + 4) * static_cast<int32_t>(sizeof(T));
                for (int v = 0; v < 4; ++v) {
                    const std::vector<T>& want = wants[v == 3 ? 1 : 0];
                    std::vector<T> got(want.size(), T(9));
                    ASSERT_EQ(run(v, src.data(), got.data() + offset,
                                  cols * stride * static_cast<int32_t>(sizeof(T)), dstStep, cols,
                                  rows, dstW, dstH, rx, ry, 1.0 / (rx * ry), mode),
                              STS_OK);
                    ASSERT_EQ(got, want) << "variant " << v << " ratio " << rx << "x" << ry
                                         << " width " << dstW << " offset " << offset;
                    for (int32_t y = 0; y < dstH && L == SuperSampleLayout::MultiCh; ++y)
                        for (int32_t x = 0; x < dstW; ++x)
                            ASSERT_EQ(got[offset + y * (dstW * 4 + 4) + x * 4 + 3], T(9));
                }
            }
}

template <typename T>
void CheckQuadMembers(const QuadMembers<T>& m) {
    CheckPackedMembers<T, SuperSampleLayout::FourCh>(
        [&](int v, auto... a) { return m.fourCh[v](a...); });
    CheckPackedMembers<T, SuperSampleLayout::MultiCh>(
        [&](int v, const T* s, T* d, int32_t ss, int32_t ds, int32_t c, int32_t r, int32_t w,
            int32_t h, double x, double y, double sc,
            int32_t mode) { return m.multiCh[v](s, d, ss, ds, c, r, w, h, x, y, sc, 4, mode); });
}

TEST(ResizeSuperSampleKernels, FourSamplePixelsEqualTheSingleModel) {
    CheckQuadMembers<uint8_t>(VELMORA_QUAD_MEMBERS(8u));
    CheckQuadMembers<uint16_t>(VELMORA_QUAD_MEMBERS(16u));
    CheckQuadMembers<float>(VELMORA_QUAD_MEMBERS(32f));
}

#define VELMORA_ONECH_ROWS(T, E)                                                  \
    CheckPackedMembers<E, SuperSampleLayout::OneCh>([](int v, auto... a) {        \
        const QuadKernel<E> members[] = {                                         \
            ResizeSuperSampleOneCh##T##_Sse, ResizeSuperSampleOneCh##T##_Sse2,    \
            ResizeSuperSampleOneCh##T##_Sse3, ResizeSuperSampleOneCh##T##_Ssse3}; \
        return members[v](a...);                                                  \
    })

TEST(ResizeSuperSampleKernels, OneSamplePixelRowsEqualTheModelOfTheirForm) {
    VELMORA_ONECH_ROWS(8u, uint8_t);
    VELMORA_ONECH_ROWS(16u, uint16_t);
    VELMORA_ONECH_ROWS(32f, float);
}

// 600 rows of 255 pass the 16-bit partial sums of the 8u vector row sums.
TEST(ResizeSuperSampleRows, LongEightBitBlocksAreExact) {
    std::vector<uint8_t> white(64, 255);
    for (auto sum : {ResizeSuperSampleSumRowsFourCh8u_Sse2, ResizeSuperSampleSumRowsOneCh8u_Sse3,
                     ResizeSuperSampleSumRowsOneCh8u_Ssse3}) {
        std::vector<uint32_t> acc(64, 1);
        sum(white.data(), 0, 16, 600, acc.data());
        for (int32_t k = 0; k < 16; ++k)
            EXPECT_EQ(acc[k], 153000u) << k;
    }
}

TEST(ResizeSuperSampleRandom, VariantsMatchTheAreaReference) {
    std::mt19937 rng(20261207);
    auto pick = [&](int32_t n) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(n)); };
    const double odd[] = {std::nan(""), HUGE_VAL, 0.0, -0.5};
    for (int i = 0; i < 5000; ++i) {
        Request r;
        r.layout = static_cast<Layout>(pick(6));
        r.type = pick(3);
        r.srcW = 1 + 2 * pick(17);
        r.srcH = 1 + 2 * pick(17);
        r.roiX = pick(20) == 0 ? -1 : pick(r.srcW + 1);
        r.roiY = pick(r.srcH);
        r.roiW = pick(20) == 0 ? INT_MAX : 1 + pick(r.srcW + 2);
        r.roiH = 1 + pick(r.srcH);
        r.roomW = 1 + pick(34);
        r.roomH = 1 + pick(34);
        auto factor = [&] {
            return pick(30) == 0 ? odd[pick(4)] : kFactors[pick(std::size(kFactors))];
        };
        r.xF = factor();
        r.yF = factor();
        r.bottomUp = pick(2) == 0;
        r.flush = pick(2) ? Flush::Front : Flush::Back;
        r.seed = static_cast<uint32_t>(i);
        const std::string what =
            "case " + std::to_string(i) + " layout " + std::to_string(static_cast<int>(r.layout)) +
            " type " + std::to_string(r.type) + " src " + std::to_string(r.srcW) + "x" +
            std::to_string(r.srcH) + " roi " + std::to_string(r.roiX) + "," +
            std::to_string(r.roiY) + " " + std::to_string(r.roiW) + "x" + std::to_string(r.roiH) +
            " room " + std::to_string(r.roomW) + "x" + std::to_string(r.roomH) + " factors " +
            std::to_string(r.xF) + " " + std::to_string(r.yF);
        CheckTyped(r, what.c_str());
        if (HasFatalFailure()) return;
    }
}

// Mend: a ratio held as the float 0.33333334 covers three rows and columns
// a block, as 1/3 does.
TEST(ResizeSuperSampleRandom, FloatThirdMatchesThird) {
    Request r;
    r.srcW = r.srcH = r.roiW = r.roiH = 33;
    r.roomW = r.roomH = 11;
    std::vector<uint8_t> outs[2];
    for (int k = 0; k < 2; ++k) {
        r.xF = r.yF = k == 0 ? 1.0 / 3 : static_cast<float>(1.0 / 3);
        for (int v = 0; v < av::kCpuVariantCount; ++v) {
            Images<uint8_t> im = MakeImages<uint8_t>(r, 11, 11);
            ASSERT_EQ(RunRequest(v, r, im), STS_OK);
            outs[k] = im.dst[0]->Pixels();
            if (k == 1) {
                Images<uint8_t> third = MakeImages<uint8_t>(r, 11, 11);
                Request t = r;
                t.xF = t.yF = 1.0 / 3;
                ASSERT_EQ(RunRequest(v, t, third), STS_OK);
                const auto want = third.dst[0]->Pixels();
                for (size_t s = 0; s < want.size(); ++s)
                    ASSERT_LE(std::abs(outs[1][s] - want[s]), 1) << "variant " << v << " " << s;
            }
        }
    }
}

TEST(ResizeSuperSampleRandom, LargeImages) {
    const struct {
        int32_t w, h;
        Layout layout;
        int32_t type;
        double f;
    } cases[] = {{720, 576, Layout::One, RESIZE_DATA_8U, 0.5},
                 {720, 576, Layout::Four, RESIZE_DATA_32F, 1.0 / 3},
                 {720, 576, Layout::Multi4, RESIZE_DATA_16U, 0.4},
                 {1920, 1080, Layout::Multi4, RESIZE_DATA_8U, 2.0 / 3}};
    for (const auto& c : cases) {
        Request r;
        r.layout = c.layout;
        r.type = c.type;
        r.srcW = r.roiW = r.roomW = c.w;
        r.srcH = r.roiH = r.roomH = c.h;
        r.xF = r.yF = c.f;
        CheckTyped(r, "large");
    }
}

#if defined(VELMORA_TEST_OPENCV)
// OpenCV's INTER_AREA on sizes the factor divides; at 0.25 it rounds exact
// halves to even, so those are left out there.
TEST(ResizeSuperSampleColor4, MatchesOpenCvArea) {
    std::mt19937 rng(11);
    const int32_t w = 48, h = 36;
    cv::Mat src(h, w, CV_8UC4);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < 4 * w; ++x)
            src.ptr<uint8_t>(y)[x] = static_cast<uint8_t>(rng());
    cv::setNumThreads(1);
    for (double f : {0.5, 1.0 / 3, 0.25}) {
        const int32_t outW = static_cast<int32_t>(w * f + 1e-7);
        const int32_t outH = static_cast<int32_t>(h * f + 1e-7);
        cv::Mat want;
        cv::resize(src, want, cv::Size(outW, outH), 0, 0, cv::INTER_AREA);
        for (int v = 0; v < av::kCpuVariantCount; ++v) {
            std::vector<uint8_t> dst(static_cast<size_t>(outW) * outH * 4, 0);
            ASSERT_EQ(ResizeColor4DispatchTable[v](src.data, w, h, static_cast<int32_t>(src.step),
                                                   0, 0, w, h, dst.data(), 4 * outW, outW, outH, f,
                                                   f, INTERP_SUPERSAMPLE),
                      STS_OK);
            for (int32_t y = 0; y < outH; ++y)
                for (int32_t x = 0; x < outW; ++x)
                    for (int c = 0; c < 3; ++c) {
                        const int got = dst[(static_cast<size_t>(y) * outW + x) * 4 + c];
                        const int ref = want.ptr<uint8_t>(y)[4 * x + c];
                        if (f == 0.25) {
                            int sum = 0;
                            for (int dy = 0; dy < 4; ++dy)
                                for (int dx = 0; dx < 4; ++dx)
                                    sum += src.ptr<uint8_t>(4 * y + dy)[4 * (4 * x + dx) + c];
                            if (sum % 16 == 8) continue;
                        }
                        ASSERT_EQ(got, ref) << "factor " << f << " variant " << v << " at " << x
                                            << "," << y << "," << c;
                    }
        }
    }
}
#endif

}  // namespace
}  // namespace velmora::test

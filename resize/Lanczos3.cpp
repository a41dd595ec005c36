#include "resize/Lanczos3.h"

#include <immintrin.h>

#include <cmath>
#include <numbers>

#include "resize/ResizeLinearRowModel.h"  // VELMORA_RESIZE_INLINE

namespace velmora::resize {
namespace {

double Sinc(double x) {
    if (x == 0.0) return 1.0;
    const double px = std::numbers::pi * x;
    return std::sin(px) / px;
}

std::array<float, kLanczos3TableSize> MakeLanczos3Table() {
    std::array<float, kLanczos3TableSize> table{};
    for (int32_t i = 0; i <= 300; ++i) {
        // The window's zeros are exact; sin(k pi) in double is not.
        table[i] =
            (i > 0 && i % 100 == 0) ? 0.0f : static_cast<float>(Sinc(i / 100.0) * Sinc(i / 300.0));
    }
    return table;
}

// Generic: extended precision, taps with |x| >= 3 get 0, summed in tap order.
void CalcWeightsExtended(const float* fractions, int32_t count, float* weights) {
    const float* table = Lanczos3Table.data();
    for (int32_t i = 0; i < count; ++i) {
        float* w = weights + 6 * i;
        long double x = -2.0L - fractions[i];
        long double sum = 0.0L;
        for (int k = 0; k < 6; ++k, x += 1.0L) {
            long double value = 0.0L;
            if (x > -3.0L && x < 3.0L) {
                const long double a = std::fabs(x) * 100.0L;
                const auto j = static_cast<int32_t>(a);
                value = table[j] + (a - j) * (static_cast<long double>(table[j + 1]) - table[j]);
            }
            w[k] = static_cast<float>(value);
            sum += value;
        }
        for (int k = 0; k < 6; ++k)
            w[k] = static_cast<float>(w[k] / sum);
    }
}

// Sse: the same steps in single precision.
void CalcWeightsSingle(const float* fractions, int32_t count, float* weights) {
    const float* table = Lanczos3Table.data();
    for (int32_t i = 0; i < count; ++i) {
        float* w = weights + 6 * i;
        float x = -2.0f - fractions[i];
        float sum = 0.0f;
        for (int k = 0; k < 6; ++k, x += 1.0f) {
            float value = 0.0f;
            if (x > -3.0f && x < 3.0f) {
                const float a = std::fabs(x) * 100.0f;
                const auto j = static_cast<int32_t>(a);
                value = table[j] + (a - static_cast<float>(j)) * (table[j + 1] - table[j]);
            }
            w[k] = value;
            sum += value;
        }
        for (int k = 0; k < 6; ++k)
            w[k] = w[k] / sum;
    }
}

// Taps of distances x (N of the four lanes used; the others 0): |x| clamped
// to 3, a = 100 |x|, table[j] + (a - j)(table[j + 1] - table[j]) with j the
// truncation of a, in single precision, without a branch.
template <int N>
VELMORA_RESIZE_INLINE __m128 ClampedTaps(__m128 x, const float* table) {
    const __m128 distance = _mm_min_ps(_mm_andnot_ps(_mm_set1_ps(-0.0f), x), _mm_set1_ps(3.0f));
    const __m128 a = _mm_mul_ps(distance, _mm_set1_ps(100.0f));
    const __m128i j = _mm_cvttps_epi32(a);
    alignas(16) int32_t at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at), j);
    auto entries = [&](int32_t next) VELMORA_LAMBDA_INLINE {
        auto entry = [&](int l) { return l < N ? table[at[l] + next] : 0.0f; };
        return _mm_setr_ps(entry(0), entry(1), entry(2), entry(3));
    };
    const __m128 lo = entries(0);
    return _mm_add_ps(lo,
                      _mm_mul_ps(_mm_sub_ps(a, _mm_cvtepi32_ps(j)), _mm_sub_ps(entries(1), lo)));
}

// Sse2, Sse3, Ssse3: taps 0-3 as one batch of four lanes, taps 4-5 as one of
// two, x_k = (-t - 2) + k; the sum ((((((0 + w0) + w1) + w3) + w2) + w4) + w5).
VELMORA_RESIZE_INLINE void CalcWeightsClamped(const float* fractions, int32_t count, float* weights,
                                              const float* table) {
    for (int32_t i = 0; i < count; ++i) {
        float* w = weights + 6 * i;
        const __m128 base = _mm_set1_ps(-fractions[i] - 2.0f);
        const __m128 w03 =
            ClampedTaps<4>(_mm_add_ps(base, _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f)), table);
        const __m128 w45 =
            ClampedTaps<2>(_mm_add_ps(base, _mm_setr_ps(4.0f, 5.0f, 0.0f, 0.0f)), table);
        __m128 sum = _mm_add_ss(_mm_setzero_ps(), w03);
        sum = _mm_add_ss(sum, _mm_shuffle_ps(w03, w03, 1));
        sum = _mm_add_ss(sum, _mm_shuffle_ps(w03, w03, 3));
        sum = _mm_add_ss(sum, _mm_movehl_ps(w03, w03));
        sum = _mm_add_ss(sum, w45);
        sum = _mm_add_ss(sum, _mm_shuffle_ps(w45, w45, 1));
        sum = _mm_shuffle_ps(sum, sum, 0);
        _mm_storeu_ps(w, _mm_div_ps(w03, sum));
        _mm_storel_pi(reinterpret_cast<__m64*>(w + 4), _mm_div_ps(w45, sum));
    }
}

}  // namespace

const std::array<float, kLanczos3TableSize> Lanczos3Table = MakeLanczos3Table();

void CalcLanczos3Weights_Generic(const float* fractions, int32_t count, float* weights) {
    CalcWeightsExtended(fractions, count, weights);
}
void CalcLanczos3Weights_Sse(const float* fractions, int32_t count, float* weights) {
    CalcWeightsSingle(fractions, count, weights);
}
__attribute__((target("sse2"))) void CalcLanczos3Weights_Sse2(const float* fractions, int32_t count,
                                                              float* weights, const float* table) {
    CalcWeightsClamped(fractions, count, weights, table);
}
__attribute__((target("sse3"))) void CalcLanczos3Weights_Sse3(const float* fractions, int32_t count,
                                                              float* weights, const float* table) {
    CalcWeightsClamped(fractions, count, weights, table);
}
__attribute__((target("ssse3"))) void CalcLanczos3Weights_Ssse3(const float* fractions,
                                                                int32_t count, float* weights,
                                                                const float* table) {
    CalcWeightsClamped(fractions, count, weights, table);
}

}  // namespace velmora::resize

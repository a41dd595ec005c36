#include "resize/Lanczos3.h"

#include <cmath>
#include <numbers>

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

// Sse2, Sse3, Ssse3: single precision, every tap clamped to distance 3.
inline __attribute__((always_inline)) void CalcWeightsClamped(const float* fractions, int32_t count,
                                                              float* weights, const float* table) {
    for (int32_t i = 0; i < count; ++i) {
        float* w = weights + 6 * i;
        const float base = -fractions[i] - 2.0f;
        for (int k = 0; k < 6; ++k) {
            const float x = base + static_cast<float>(k);
            const float a = std::fmin(std::fabs(x), 3.0f) * 100.0f;
            const auto j = static_cast<int32_t>(a);
            w[k] = table[j] + (a - static_cast<float>(j)) * (table[j + 1] - table[j]);
        }
        const float sum = (((((0.0f + w[0]) + w[1]) + w[3]) + w[2]) + w[4]) + w[5];
        for (int k = 0; k < 6; ++k)
            w[k] = w[k] / sum;
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

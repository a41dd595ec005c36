#pragma once

// The three-lobe Lanczos window and the six tap weights of every output
// column and row of the Lanczos resize.

#include <array>
#include <cstdint>

namespace velmora::resize {

// Entry i = L(i / 100) for i = 0..300, L(x) = sinc(x) sinc(x / 3), computed
// in double precision and stored as floats; entries 100, 200 and 300 are 0.
// A 302nd entry of 0 lets the branch-free members interpolate at distance 3
// (a = 300 reads entries 300 and 301) and get 0 there.
constexpr int32_t kLanczos3TableSize = 302;
extern const std::array<float, kLanczos3TableSize> Lanczos3Table;

// For each of `count` fractions t (position q + t, -1e-7 < t < 1) stores the
// six weights of taps q - 2 .. q + 3, normalised to sum 1, at weights[6i..].
// The members differ in precision and summing order, so in the last bits:
// Generic in extended precision, Sse in single precision summed in tap order,
// Sse2/Sse3/Ssse3 in single precision without branches, summed in the order
// w0, w1, w3, w2, w4, w5. Generic and Sse return at once for count < 1.
void CalcLanczos3Weights_Generic(const float* fractions, int32_t count, float* weights);
void CalcLanczos3Weights_Sse(const float* fractions, int32_t count, float* weights);
void CalcLanczos3Weights_Sse2(const float* fractions, int32_t count, float* weights,
                              const float* table);
void CalcLanczos3Weights_Sse3(const float* fractions, int32_t count, float* weights,
                              const float* table);
void CalcLanczos3Weights_Ssse3(const float* fractions, int32_t count, float* weights,
                               const float* table);

}  // namespace velmora::resize

#pragma once

// Scalar models of the linear row kernels, one per arithmetic form. The
// Generic members are these models; the vector members must give exactly
// what the model of their form gives, and the tests hold them to it.
//
// Forms: integer Q14 (8u keeps six fraction bits between the passes, 16u
// rounds after each); 32f double (differences, products and sums in double,
// rounded once at the store), single (every step rounded to float) and, for
// the vertical pass only, mixed (1 - w rounded to float, the rest in double).

#include <cstddef>
#include <cstdint>
#include <type_traits>

#define VELMORA_RESIZE_INLINE inline __attribute__((always_inline))
// A lambda of a vector body, inlined so that it is compiled for the member's
// instruction set.
#define VELMORA_LAMBDA_INLINE __attribute__((always_inline))

namespace velmora::resize {

enum class LinearForm { Integer, Double, Single, Mixed };

// Row-buffer element and column weight: Q14 16-bit for 8u and 16u (weights in
// (left, right) pairs), float for 32f (the right pixel's weight).
template <typename T>
using LinearBuf = std::conditional_t<std::is_same_v<T, float>, float, uint16_t>;
template <typename T>
using LinearColWeight = LinearBuf<T>;
// The lower row's weight as the vertical pass takes it.
template <typename T>
using LinearRowWeight = std::conditional_t<std::is_same_v<T, float>, float, uint32_t>;

// Rounding of the integer passes.
template <typename T>
struct LinearQ14 {
    static constexpr uint32_t kHRound = sizeof(T) == 1 ? 128 : 8192;
    static constexpr int kHShift = sizeof(T) == 1 ? 8 : 14;
    static constexpr uint32_t kVRound = sizeof(T) == 1 ? 524288 : 8192;
    static constexpr int kVShift = sizeof(T) == 1 ? 20 : 14;
};

template <LinearForm F>
VELMORA_RESIZE_INLINE float LinearBlendH32f(float a, float b, float w) {
    if constexpr (F == LinearForm::Double) {
        const double da = a;
        return static_cast<float>(da + (static_cast<double>(b) - da) * static_cast<double>(w));
    } else {
        return a + (b - a) * w;
    }
}

// Weight of the upper row in the form: double in the double form, float else.
template <LinearForm F>
VELMORA_RESIZE_INLINE auto LinearUpperWeight32f(float w) {
    if constexpr (F == LinearForm::Double) {
        return 1.0 - static_cast<double>(w);
    } else {
        return 1.0f - w;
    }
}

template <LinearForm F, typename U>
VELMORA_RESIZE_INLINE float LinearBlendV32f(float upper, float lower, float w, U u) {
    if constexpr (F == LinearForm::Single) {
        return upper * u + lower * w;
    } else {
        return static_cast<float>(static_cast<double>(lower) * static_cast<double>(w) +
                                  static_cast<double>(upper) * static_cast<double>(u));
    }
}

// Horizontal pass of one source row: C values per column (4, 3 or 1), the
// right pixel `stride` samples after the left one.
template <typename T, int C, LinearForm F>
VELMORA_RESIZE_INLINE void LinearRowHModel(const T* srcRow, int32_t width, int32_t stride,
                                           const int32_t* colOffsets,
                                           const LinearColWeight<T>* colWeights,
                                           LinearBuf<T>* dstBuf) {
    for (int32_t x = 0; x < width; ++x) {
        const T* a = srcRow + colOffsets[x];
        const T* b = a + stride;
        LinearBuf<T>* d = dstBuf + static_cast<ptrdiff_t>(C) * x;
        for (int c = 0; c < C; ++c) {
            if constexpr (std::is_same_v<T, float>) {
                d[c] = LinearBlendH32f<F>(a[c], b[c], colWeights[x]);
            } else {
                const uint32_t w0 = colWeights[2 * x];
                const uint32_t w1 = colWeights[2 * x + 1];
                d[c] = static_cast<uint16_t>((w1 * b[c] + w0 * a[c] + LinearQ14<T>::kHRound) >>
                                             LinearQ14<T>::kHShift);
            }
        }
    }
}

template <typename T, LinearForm F, typename U>
VELMORA_RESIZE_INLINE T LinearBlendV(LinearBuf<T> upper, LinearBuf<T> lower, LinearRowWeight<T> w,
                                     U u) {
    if constexpr (std::is_same_v<T, float>) {
        return LinearBlendV32f<F>(upper, lower, w, u);
    } else {
        return static_cast<T>((upper * (16384u - w) + lower * w + LinearQ14<T>::kVRound) >>
                              LinearQ14<T>::kVShift);
    }
}

// The upper row's weight of the vertical pass (unused by the integer form).
template <typename T, LinearForm F>
VELMORA_RESIZE_INLINE auto LinearUpperWeight([[maybe_unused]] LinearRowWeight<T> w) {
    if constexpr (std::is_same_v<T, float>) {
        return LinearUpperWeight32f<F>(w);
    } else {
        return 0;
    }
}

// Vertical pass, all samples: `count` values.
template <typename T, LinearForm F>
VELMORA_RESIZE_INLINE void LinearRowVModel(T* dstRow, int32_t count, LinearRowWeight<T> w,
                                           const LinearBuf<T>* upper, const LinearBuf<T>* lower) {
    const auto u = LinearUpperWeight<T, F>(w);
    for (int32_t k = 0; k < count; ++k)
        dstRow[k] = LinearBlendV<T, F>(upper[k], lower[k], w, u);
}

// Vertical pass, samples 0-2 of `width` four-sample pixels from three
// buffered values each; sample 3 is not touched.
template <typename T, LinearForm F>
VELMORA_RESIZE_INLINE void LinearRowVPartModel(T* dstRow, int32_t width, LinearRowWeight<T> w,
                                               const LinearBuf<T>* upper,
                                               const LinearBuf<T>* lower) {
    const auto u = LinearUpperWeight<T, F>(w);
    for (int32_t p = 0; p < width; ++p) {
        for (int c = 0; c < 3; ++c) {
            dstRow[4 * p + c] = LinearBlendV<T, F>(upper[3 * p + c], lower[3 * p + c], w, u);
        }
    }
}

}  // namespace velmora::resize

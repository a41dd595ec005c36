#pragma once

// Support of the row-kernel tests: aligned float rows with a sentinel tail
// and random samples of each type.

#include <cstdint>
#include <cstdlib>
#include <random>
#include <type_traits>

namespace velmora::test {

// 16-byte aligned floats with a sentinel tail.
struct AlignedFloats {
    explicit AlignedFloats(size_t n, size_t offsetFloats = 0)
        : data(static_cast<float*>(
              std::aligned_alloc(16, ((n + 8 + offsetFloats) * 4 + 15) / 16 * 16))),
          p(data + offsetFloats),
          size(n) {
        for (size_t i = 0; i < n + 8; ++i)
            p[i] = -7777.0f;
    }
    ~AlignedFloats() { std::free(data); }
    AlignedFloats(const AlignedFloats&) = delete;
    AlignedFloats& operator=(const AlignedFloats&) = delete;
    bool TailIntact() const {
        for (size_t i = size; i < size + 8; ++i)
            if (p[i] != -7777.0f) return false;
        return true;
    }
    float* data;
    float* p;
    size_t size;
};

template <typename T>
inline T Sample(std::mt19937& rng) {
    if constexpr (std::is_same_v<T, float>) {
        return static_cast<float>(static_cast<int32_t>(rng() % 40000) - 5000) / 64.0f;
    } else {
        return static_cast<T>(rng());
    }
}

}  // namespace velmora::test

#pragma once

// Support of the row-kernel tests: aligned float rows with a sentinel tail
// and random samples of each type.

#include <cstdint>
#include <cstdlib>
#include <random>
#include <type_traits>

#include "GuardedBuffer.h"

namespace velmora::test {

// 16-byte aligned floats with a sentinel tail.
struct AlignedFloats {
    explicit AlignedFloats(size_t n, size_t offsetFloats = 0)
        : data(Allocate(n + 8 + offsetFloats)), p(data + offsetFloats), size(n) {
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

  private:
    // No row of a test comes near the bound; it tells the compiler, which
    // otherwise warns of sizes no call makes, that the size is not wrapped.
    static float* Allocate(size_t floats) {
        if (floats > (size_t{1} << 32)) std::abort();
        return static_cast<float*>(std::aligned_alloc(16, (floats * 4 + 15) / 16 * 16));
    }
};

template <typename T>
inline T Sample(std::mt19937& rng) {
    if constexpr (std::is_same_v<T, float>) {
        return static_cast<float>(static_cast<int32_t>(rng() % 40000) - 5000) / 64.0f;
    } else {
        return static_cast<T>(rng());
    }
}

// Counts and widths below 1: a row kernel given one reads and writes nothing.
inline constexpr int32_t kCountsBelowOne[] = {0, -1, -2, -3, -4, -5, -7};

// Each pointer a row kernel takes at the start of its own guarded page: a
// touch before it faults at once, a write after it is seen when it goes.
struct UntouchedRows {
    template <typename T>
    T* dst() {
        return dstPage.as<T>();
    }
    template <typename T>
    const T* src() {
        return srcPage.as<T>();
    }
    const int32_t* offsets() { return offsetPage.as<int32_t>(); }
    const float* weights() { return weightPage.as<float>(); }
    float* floats() { return floatPage.as<float>(); }

    GuardedBuffer dstPage{0, GuardedBuffer::Edge::Start};
    GuardedBuffer srcPage{0, GuardedBuffer::Edge::Start};
    GuardedBuffer offsetPage{0, GuardedBuffer::Edge::Start};
    GuardedBuffer weightPage{0, GuardedBuffer::Edge::Start};
    GuardedBuffer floatPage{0, GuardedBuffer::Edge::Start};
};

}  // namespace velmora::test

#pragma once

// The per-pixel arithmetic of the two colour conversions, as plain integer
// code. Each conversion has two formulas: the 32-bit one used for every
// pixel that a scalar path converts, and the 16-bit one of the vector blocks.
// They round differently, so a pixel's value depends on which path converted
// it; the vector kernels must match the 16-bit formula bit for bit, and the
// tests hold them to these functions.

#include <cstdint>

namespace velmora::av::model {

struct Bgr {
    uint8_t b;
    uint8_t g;
    uint8_t r;
};

constexpr uint8_t ClampToByte(int32_t value) {
    return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// The high half of a signed 16 x 16-bit product: floor(a * b / 65536).
constexpr int32_t MulHigh(int32_t a, int32_t b) {
    return (a * b) >> 16;
}

// ---- YUY2 to BGRA (BT.601 studio range) ----

// 16 fraction bits, truncated toward minus infinity (no rounding half).
constexpr Bgr Yuy2ToBgrScalar(int32_t y, int32_t u, int32_t v) {
    const int32_t luma = 76284 * y;
    return {ClampToByte((luma + 132186 * u - 18140365) >> 16),
            ClampToByte((luma - 25690 * u - 53281 * v + 8887730) >> 16),
            ClampToByte((luma + 104595 * v - 14608761) >> 16)};
}

// Luma and chroma scaled by 128, multiplied as 16-bit high products, 3
// fraction bits left for the final shift.
constexpr Bgr Yuy2ToBgrVector(int32_t y, int32_t u, int32_t v) {
    const int32_t luma = MulHigh((y - 16) * 128, 4767);
    const int32_t cu = (u - 128) * 128;
    const int32_t cv = (v - 128) * 128;
    return {ClampToByte((luma + MulHigh(cu, 8261)) >> 3),
            ClampToByte((luma - MulHigh(cu, 1605) - MulHigh(cv, 3330)) >> 3),
            ClampToByte((luma + MulHigh(cv, 6537)) >> 3)};
}

// ---- BGRA to YUY2 (BT.601 studio range) ----
// Chroma is taken from the sums (bs, gs, rs) of a pixel pair's components.
// The results always lie in 16..235 (luma) and 16..240 (chroma).

constexpr uint8_t LumaScalar(int32_t b, int32_t g, int32_t r) {
    return static_cast<uint8_t>((6423 * b + 33030 * g + 16843 * r + 1081344) >> 16);
}
// The chroma offset is 128.125, not 128.5.
constexpr uint8_t PairUScalar(int32_t bs, int32_t gs, int32_t rs) {
    return static_cast<uint8_t>((28770 * bs - 19071 * gs - 9699 * rs + 16793600) >> 17);
}
constexpr uint8_t PairVScalar(int32_t bs, int32_t gs, int32_t rs) {
    return static_cast<uint8_t>((28770 * rs - 24117 * gs - 4653 * bs + 16793600) >> 17);
}
// A row's odd last pixel has a U of its own and no V.
constexpr uint8_t SingleUScalar(int32_t b, int32_t g, int32_t r) {
    return static_cast<uint8_t>((28770 * b - 19071 * g - 9699 * r + 8396800) >> 16);
}

// Unsigned 16-bit high products of values pre-scaled by 256 (luma) and 32
// (chroma sums), each product truncated on its own.
constexpr uint8_t LumaVector(int32_t b, int32_t g, int32_t r) {
    return static_cast<uint8_t>(((8422 * r >> 8) + (16515 * g >> 8) + (3212 * b >> 8) + 2112) >> 7);
}
constexpr uint8_t PairUVector(int32_t bs, int32_t gs, int32_t rs) {
    return static_cast<uint8_t>(
        ((28770 * bs >> 11) - (9699 * rs >> 11) - (19071 * gs >> 11) + 8200) >> 6);
}
constexpr uint8_t PairVVector(int32_t bs, int32_t gs, int32_t rs) {
    return static_cast<uint8_t>(
        ((28770 * rs >> 11) - (24117 * gs >> 11) - (4653 * bs >> 11) + 8200) >> 6);
}

}  // namespace velmora::av::model

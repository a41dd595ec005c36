#pragma once

// The conversion bodies compiled for AVX2 (ColorConvertAvx2.cpp) and
// AVX-512BW (ColorConvertAvx512.cpp). Call them only on a processor that has
// the instruction set. `pixels` is a multiple of 16 for the block runs; the
// scalar-pair runs convert the largest multiple of their step that fits and
// return it.

#include <cstdint>

namespace velmora::av::detail {

void Yuy2ToBgraBlocksAvx2(const uint8_t* src, uint8_t* dst, int32_t pixels, uint8_t alpha);
void BgraToYuy2BlocksAvx2(const uint8_t* src, uint8_t* dst, int32_t pixels);
int32_t BgraToYuy2ScalarPairsAvx2(const uint8_t* src, uint8_t* dst, int32_t pixels);

void Yuy2ToBgraBlocksAvx512(const uint8_t* src, uint8_t* dst, int32_t pixels, uint8_t alpha);
void BgraToYuy2BlocksAvx512(const uint8_t* src, uint8_t* dst, int32_t pixels);

}  // namespace velmora::av::detail

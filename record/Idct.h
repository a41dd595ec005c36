#pragma once

// The 8 x 8 inverse DCT of the intra decoder in its processor variants. All
// of them give the results of the scalar model in IdctModel.h for every
// block in which no 16-bit sum of the column pass overflows.

#include <emmintrin.h>

#include <cstdint>

namespace velmora::record {

class idct {
  public:
    virtual ~idct() = default;
    // in, out: 64 signed 16-bit values, row-major; they may be the same
    // block. Returns 0. The processor's MMX state is clear on return.
    virtual int32_t Transform(const int16_t* in, int16_t* out) = 0;
};

// MMX with the SSE integer extensions; 16-bit saturating columns.
class idct_M64ASM final : public idct {
  public:
    int32_t Transform(const int16_t* in, int16_t* out) override;
};

// SSE2; in and out 16-byte aligned; 16-bit saturating columns.
class idct_M128ASM final : public idct {
  public:
    int32_t Transform(const int16_t* in, int16_t* out) override;
};

// The constant vectors of IdctSse2Vec (eight 16-bit lanes each), set up when
// the library is loaded (card/LoadTimeGlobals).
struct IDCT_VECTOR_CONSTANTS {
    __m128i one;       // all 1
    __m128i rounding;  // 2048 in every 32-bit lane
    __m128i sixteen;
    __m128i fifteen;
    __m128i t1;  // 13036
    __m128i t2;  // 27146
    __m128i t3;  // 43790 as a 16-bit pattern
    __m128i c4;  // 46341 as a 16-bit pattern
};

// SSE2 written with vector types, outside the interface: out 16-byte
// aligned, in unaligned; 16-bit wrapping columns. Re-entrant.
void IdctSse2Vec(const int16_t* in, int16_t* out);

// The object the intra decoder's full mode transforms with; null until
// SelectIdct chose one.
idct* GetSelectedIdct();
void SetSelectedIdct(idct* selected);
// Chooses the SSE2 object on a processor with SSE2, else the MMX object
// where the SSE integer extensions are offered; false, selection unchanged,
// when neither fits.
bool SelectIdct();

}  // namespace velmora::record

// MMX form: half a row per register, the word shuffle of the SSE integer
// extensions to pair the coefficients, columns in two halves of four.
#include <mmintrin.h>
#include <xmmintrin.h>

#include <cstring>

#include "record/Idct.h"
#include "record/IdctModel.h"

// The column template takes the vector type as an argument; its alignment
// attribute does not matter there, as values are only passed and stored.
#pragma GCC diagnostic ignored "-Wignored-attributes"

namespace velmora::record {

namespace {

struct MmxOps {
    static __m64 Add(__m64 a, __m64 b) { return _mm_adds_pi16(a, b); }
    static __m64 Sub(__m64 a, __m64 b) { return _mm_subs_pi16(a, b); }
    static __m64 MulHi(__m64 a, __m64 c) { return _mm_mulhi_pi16(a, c); }
    static __m64 Or1(__m64 a) { return _mm_or_si64(a, _mm_set1_pi16(1)); }
    static __m64 Sra5(__m64 a) { return _mm_srai_pi16(a, 5); }
};

__m64 Load(const int16_t* p) {
    __m64 v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

void Store(int16_t* p, __m64 v) {
    std::memcpy(p, &v, sizeof(v));
}

void Row(const int16_t* in, int16_t* out, const int16_t* table) {
    const __m64 lo = _mm_shuffle_pi16(Load(in), 0xD8);      // x0 x2 x1 x3
    const __m64 hi = _mm_shuffle_pi16(Load(in + 4), 0xD8);  // x4 x6 x5 x7
    const __m64 x02 = _mm_shuffle_pi16(lo, 0x44);
    const __m64 x13 = _mm_shuffle_pi16(lo, 0xEE);
    const __m64 x46 = _mm_shuffle_pi16(hi, 0x44);
    const __m64 x57 = _mm_shuffle_pi16(hi, 0xEE);
    const __m64 rounding = _mm_set1_pi32(kIdctRowRounding);
    const __m64 a01 = _mm_add_pi32(
        _mm_add_pi32(_mm_madd_pi16(x02, Load(table)), _mm_madd_pi16(x46, Load(table + 8))),
        rounding);
    const __m64 a23 = _mm_add_pi32(
        _mm_add_pi32(_mm_madd_pi16(x02, Load(table + 4)), _mm_madd_pi16(x46, Load(table + 12))),
        rounding);
    const __m64 b01 =
        _mm_add_pi32(_mm_madd_pi16(x13, Load(table + 16)), _mm_madd_pi16(x57, Load(table + 24)));
    const __m64 b23 =
        _mm_add_pi32(_mm_madd_pi16(x13, Load(table + 20)), _mm_madd_pi16(x57, Load(table + 28)));
    const __m64 y01 = _mm_srai_pi32(_mm_add_pi32(a01, b01), 12);
    const __m64 y23 = _mm_srai_pi32(_mm_add_pi32(a23, b23), 12);
    const __m64 y76 = _mm_srai_pi32(_mm_sub_pi32(a01, b01), 12);
    const __m64 y54 = _mm_srai_pi32(_mm_sub_pi32(a23, b23), 12);
    Store(out, _mm_packs_pi32(y01, y23));
    Store(out + 4, _mm_shuffle_pi16(_mm_packs_pi32(y54, y76), 0xB1));
}

}  // namespace

int32_t idct_M64ASM::Transform(const int16_t* in, int16_t* out) {
    for (int r = 0; r < 8; ++r) {
        Row(in + 8 * r, out + 8 * r, kIdctRowTable.words[kIdctRowSetOfRow[r]]);
    }
    const IDCT_COLUMN_CONSTANTS<__m64> k = {_mm_set1_pi16(kIdctT1), _mm_set1_pi16(kIdctT2),
                                            _mm_set1_pi16(kIdctT3), _mm_set1_pi16(kIdctC4),
                                            _mm_set1_pi16(1),       _mm_set1_pi16(16),
                                            _mm_set1_pi16(15)};
    for (int half = 0; half < 2; ++half) {
        __m64 x[8];
        for (int r = 0; r < 8; ++r)
            x[r] = Load(out + 8 * r + 4 * half);
        IdctColumns<MmxOps>(k, x);
        for (int r = 0; r < 8; ++r)
            Store(out + 8 * r + 4 * half, x[r]);
    }
    _mm_empty();
    return 0;
}

}  // namespace velmora::record

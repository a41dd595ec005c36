// SSE2 forms: one row per register, all eight columns at once.
#include <atomic>

#include "card/LoadTimeGlobals.h"
#include "record/Idct.h"
#include "record/IdctModel.h"

// The column template takes the vector type as an argument; its alignment
// attribute does not matter there, as values are only passed and stored.
#pragma GCC diagnostic ignored "-Wignored-attributes"

namespace velmora::record {

namespace {

template <bool Saturate>
struct Sse2Ops {
    static __m128i Add(__m128i a, __m128i b) {
        return Saturate ? _mm_adds_epi16(a, b) : _mm_add_epi16(a, b);
    }
    static __m128i Sub(__m128i a, __m128i b) {
        return Saturate ? _mm_subs_epi16(a, b) : _mm_sub_epi16(a, b);
    }
    static __m128i MulHi(__m128i a, __m128i c) { return _mm_mulhi_epi16(a, c); }
    static __m128i Or1(__m128i a) { return _mm_or_si128(a, _mm_set1_epi16(1)); }
    static __m128i Sra5(__m128i a) { return _mm_srai_epi16(a, 5); }
};

__m128i Row(__m128i row, const int16_t* table, __m128i rounding) {
    const __m128i s = _mm_shufflehi_epi16(_mm_shufflelo_epi16(row, 0xD8), 0xD8);
    const __m128i* t = reinterpret_cast<const __m128i*>(table);
    const __m128i a = _mm_add_epi32(
        _mm_add_epi32(_mm_madd_epi16(_mm_shuffle_epi32(s, 0x00), _mm_load_si128(t)),
                      _mm_madd_epi16(_mm_shuffle_epi32(s, 0xAA), _mm_load_si128(t + 1))),
        rounding);
    const __m128i b =
        _mm_add_epi32(_mm_madd_epi16(_mm_shuffle_epi32(s, 0x55), _mm_load_si128(t + 2)),
                      _mm_madd_epi16(_mm_shuffle_epi32(s, 0xFF), _mm_load_si128(t + 3)));
    const __m128i low = _mm_srai_epi32(_mm_add_epi32(a, b), 12);
    const __m128i high = _mm_shuffle_epi32(_mm_srai_epi32(_mm_sub_epi32(a, b), 12), 0x1B);
    return _mm_packs_epi32(low, high);
}

template <bool Saturate, bool AlignedInput>
void TransformBlock(const int16_t* in, int16_t* out, const IDCT_COLUMN_CONSTANTS<__m128i>& k,
                    __m128i rounding) {
    __m128i x[8];
    for (int r = 0; r < 8; ++r) {
        const auto* p = reinterpret_cast<const __m128i*>(in + 8 * r);
        const __m128i row = AlignedInput ? _mm_load_si128(p) : _mm_loadu_si128(p);
        x[r] = Row(row, kIdctRowTable.words[kIdctRowSetOfRow[r]], rounding);
    }
    IdctColumns<Sse2Ops<Saturate>>(k, x);
    for (int r = 0; r < 8; ++r)
        _mm_store_si128(reinterpret_cast<__m128i*>(out + 8 * r), x[r]);
}

std::atomic<idct*> g_pSelectedIdct{nullptr};

}  // namespace

int32_t idct_M128ASM::Transform(const int16_t* in, int16_t* out) {
    const IDCT_COLUMN_CONSTANTS<__m128i> k = {_mm_set1_epi16(kIdctT1), _mm_set1_epi16(kIdctT2),
                                              _mm_set1_epi16(kIdctT3), _mm_set1_epi16(kIdctC4),
                                              _mm_set1_epi16(1),       _mm_set1_epi16(16),
                                              _mm_set1_epi16(15)};
    TransformBlock<true, true>(in, out, k, _mm_set1_epi32(kIdctRowRounding));
    return 0;
}

void IdctSse2Vec(const int16_t* in, int16_t* out) {
    const IDCT_VECTOR_CONSTANTS& c = card::g_IdctVectorConstants;
    const IDCT_COLUMN_CONSTANTS<__m128i> k = {c.t1, c.t2, c.t3, c.c4, c.one, c.sixteen, c.fifteen};
    TransformBlock<false, false>(in, out, k, c.rounding);
}

idct* GetSelectedIdct() {
    return g_pSelectedIdct.load();
}

void SetSelectedIdct(idct* selected) {
    g_pSelectedIdct.store(selected);
}

}  // namespace velmora::record

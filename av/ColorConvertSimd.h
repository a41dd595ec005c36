#pragma once

// The vector body of both conversions, written once over a vector type: V128
// (SSE2), and V256 (AVX2) and V512 (AVX-512BW) where the including file is
// compiled for them. Every lane computation is 16 or 32 bits wide whatever
// the vector width, so each pixel gets the same value from every width.
//
// Everything here has internal linkage: a file compiled for a wider
// instruction set must not hand out code that other files could end up
// calling on a processor without it.

#include <immintrin.h>

#include <cstdint>

#define VELMORA_SIMD_INLINE inline __attribute__((always_inline))

namespace velmora::av {
namespace {

// Two 16-bit constants per 32-bit lane: `low` in the even word.
constexpr int32_t WordPair(int32_t low, int32_t high) {
    return static_cast<int32_t>((static_cast<uint32_t>(high) << 16) | static_cast<uint32_t>(low));
}

struct V128 {
    using Vec = __m128i;
    static constexpr int kBytes = 16;

    static VELMORA_SIMD_INLINE Vec Load(const uint8_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
    static VELMORA_SIMD_INLINE void Store(uint8_t* p, Vec v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    }
    static VELMORA_SIMD_INLINE Vec Set16(int16_t v) { return _mm_set1_epi16(v); }
    static VELMORA_SIMD_INLINE Vec Set32(int32_t v) { return _mm_set1_epi32(v); }
    // Eight words, the same in every 128-bit block.
    static VELMORA_SIMD_INLINE Vec Pattern(int16_t a, int16_t b, int16_t c, int16_t d) {
        return _mm_setr_epi16(a, b, c, d, a, b, c, d);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Slli16(Vec a) {
        return _mm_slli_epi16(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Srli16(Vec a) {
        return _mm_srli_epi16(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Srai16(Vec a) {
        return _mm_srai_epi16(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Slli32(Vec a) {
        return _mm_slli_epi32(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Srli32(Vec a) {
        return _mm_srli_epi32(a, N);
    }
    static VELMORA_SIMD_INLINE Vec Add16(Vec a, Vec b) { return _mm_add_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec Sub16(Vec a, Vec b) { return _mm_sub_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec Add32(Vec a, Vec b) { return _mm_add_epi32(a, b); }
    static VELMORA_SIMD_INLINE Vec Sub32(Vec a, Vec b) { return _mm_sub_epi32(a, b); }
    static VELMORA_SIMD_INLINE Vec MulHi16(Vec a, Vec b) { return _mm_mulhi_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec MulHiU16(Vec a, Vec b) { return _mm_mulhi_epu16(a, b); }
    static VELMORA_SIMD_INLINE Vec Madd16(Vec a, Vec b) { return _mm_madd_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec And(Vec a, Vec b) { return _mm_and_si128(a, b); }
    static VELMORA_SIMD_INLINE Vec Or(Vec a, Vec b) { return _mm_or_si128(a, b); }
    static VELMORA_SIMD_INLINE Vec PackUs16(Vec a, Vec b) { return _mm_packus_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackLo8(Vec a, Vec b) { return _mm_unpacklo_epi8(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackHi8(Vec a, Vec b) { return _mm_unpackhi_epi8(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackLo16(Vec a, Vec b) { return _mm_unpacklo_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackHi16(Vec a, Vec b) { return _mm_unpackhi_epi16(a, b); }
    // Word 2k to words 2k and 2k+1; word 2k+1 likewise; neighbours swapped.
    static VELMORA_SIMD_INLINE Vec DupEvenWords(Vec a) {
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(a, 0xA0), 0xA0);
    }
    static VELMORA_SIMD_INLINE Vec DupOddWords(Vec a) {
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(a, 0xF5), 0xF5);
    }
    static VELMORA_SIMD_INLINE Vec SwapWords(Vec a) {
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(a, 0xB1), 0xB1);
    }
    static VELMORA_SIMD_INLINE Vec SwapDwords(Vec a) { return _mm_shuffle_epi32(a, 0xB1); }
    // (Y - 16) * 128 and (C - 128) * 128 of YUY2 words (Y low, C high).
    static VELMORA_SIMD_INLINE Vec LumaIn(Vec w) {
        return _mm_sub_epi16(_mm_srli_epi16(_mm_slli_epi16(w, 8), 1), _mm_set1_epi16(2048));
    }
    static VELMORA_SIMD_INLINE Vec ChromaIn(Vec w) {
        return _mm_sub_epi16(_mm_slli_epi16(_mm_srli_epi16(w, 8), 7), _mm_set1_epi16(16384));
    }
    // Arranges YUY2 input so that the in-block unpacks at the end leave the
    // BGRA output in pixel order: nothing to do for a single block.
    static VELMORA_SIMD_INLINE Vec ArrangeYuy2(Vec a) { return a; }
    // Stores the two unpacked halves of a step's BGRA output.
    static VELMORA_SIMD_INLINE void StoreBgra(uint8_t* p, Vec low, Vec high) {
        Store(p, low);
        Store(p + kBytes, high);
    }
    // 32-bit values below 65536 to 16-bit, in order. SSE2 has only a signed
    // pack, so the values are moved around it.
    static VELMORA_SIMD_INLINE Vec PackWords(Vec a, Vec b) {
        const Vec offset = _mm_set1_epi32(0x8000);
        return _mm_xor_si128(_mm_packs_epi32(_mm_sub_epi32(a, offset), _mm_sub_epi32(b, offset)),
                             _mm_set1_epi16(static_cast<int16_t>(0x8000)));
    }
};

#if defined(__AVX2__)
struct V256 {
    using Vec = __m256i;
    static constexpr int kBytes = 32;

    static VELMORA_SIMD_INLINE Vec Load(const uint8_t* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    static VELMORA_SIMD_INLINE void Store(uint8_t* p, Vec v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }
    static VELMORA_SIMD_INLINE Vec Set16(int16_t v) { return _mm256_set1_epi16(v); }
    static VELMORA_SIMD_INLINE Vec Set32(int32_t v) { return _mm256_set1_epi32(v); }
    static VELMORA_SIMD_INLINE Vec Pattern(int16_t a, int16_t b, int16_t c, int16_t d) {
        return _mm256_broadcastsi128_si256(_mm_setr_epi16(a, b, c, d, a, b, c, d));
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Slli16(Vec a) {
        return _mm256_slli_epi16(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Srli16(Vec a) {
        return _mm256_srli_epi16(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Srai16(Vec a) {
        return _mm256_srai_epi16(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Slli32(Vec a) {
        return _mm256_slli_epi32(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Srli32(Vec a) {
        return _mm256_srli_epi32(a, N);
    }
    static VELMORA_SIMD_INLINE Vec Add16(Vec a, Vec b) { return _mm256_add_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec Sub16(Vec a, Vec b) { return _mm256_sub_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec Add32(Vec a, Vec b) { return _mm256_add_epi32(a, b); }
    static VELMORA_SIMD_INLINE Vec Sub32(Vec a, Vec b) { return _mm256_sub_epi32(a, b); }
    static VELMORA_SIMD_INLINE Vec MulHi16(Vec a, Vec b) { return _mm256_mulhi_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec MulHiU16(Vec a, Vec b) { return _mm256_mulhi_epu16(a, b); }
    static VELMORA_SIMD_INLINE Vec Madd16(Vec a, Vec b) { return _mm256_madd_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec And(Vec a, Vec b) { return _mm256_and_si256(a, b); }
    static VELMORA_SIMD_INLINE Vec Or(Vec a, Vec b) { return _mm256_or_si256(a, b); }
    static VELMORA_SIMD_INLINE Vec PackUs16(Vec a, Vec b) { return _mm256_packus_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackLo8(Vec a, Vec b) { return _mm256_unpacklo_epi8(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackHi8(Vec a, Vec b) { return _mm256_unpackhi_epi8(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackLo16(Vec a, Vec b) { return _mm256_unpacklo_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackHi16(Vec a, Vec b) { return _mm256_unpackhi_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec DupEvenWords(Vec a) {
        return _mm256_shuffle_epi8(a, Bytes(0, 1, 0, 1));
    }
    static VELMORA_SIMD_INLINE Vec DupOddWords(Vec a) {
        return _mm256_shuffle_epi8(a, Bytes(2, 3, 2, 3));
    }
    static VELMORA_SIMD_INLINE Vec SwapWords(Vec a) {
        return _mm256_shuffle_epi8(a, Bytes(2, 3, 0, 1));
    }
    static VELMORA_SIMD_INLINE Vec SwapDwords(Vec a) { return _mm256_shuffle_epi32(a, 0xB1); }
    // As V128's, with one byte multiply-add: -2048 - (-128 * Y).
    static VELMORA_SIMD_INLINE Vec LumaIn(Vec w) {
        return _mm256_sub_epi16(_mm256_set1_epi16(-2048),
                                _mm256_maddubs_epi16(w, _mm256_set1_epi16(0x0080)));
    }
    static VELMORA_SIMD_INLINE Vec ChromaIn(Vec w) {
        return _mm256_sub_epi16(_mm256_set1_epi16(-16384),
                                _mm256_maddubs_epi16(w, _mm256_set1_epi16(-0x8000)));
    }
    // Block 0 holds pixels 0-7 and block 1 pixels 8-15; the unpacks leave
    // pixels 0-3 and 8-11 in the low half-step, 4-7 and 12-15 in the high
    // one, and the stores put the quarters in order.
    static VELMORA_SIMD_INLINE Vec ArrangeYuy2(Vec a) { return a; }
    static VELMORA_SIMD_INLINE void StoreBgra(uint8_t* p, Vec low, Vec high) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm256_castsi256_si128(high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 32), _mm256_extracti128_si256(low, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 48), _mm256_extracti128_si256(high, 1));
    }
    static VELMORA_SIMD_INLINE Vec PackWords(Vec a, Vec b) {
        return _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
    }

  private:
    // A byte shuffle applying the same 4-byte selection to every dword.
    static VELMORA_SIMD_INLINE Vec Bytes(char a, char b, char c, char d) {
        return _mm256_setr_epi8(a, b, c, d, a + 4, b + 4, c + 4, d + 4, a + 8, b + 8, c + 8, d + 8,
                                a + 12, b + 12, c + 12, d + 12, a, b, c, d, a + 4, b + 4, c + 4,
                                d + 4, a + 8, b + 8, c + 8, d + 8, a + 12, b + 12, c + 12, d + 12);
    }
};
#endif

#if defined(__AVX512BW__)
struct V512 {
    using Vec = __m512i;
    static constexpr int kBytes = 64;

    static VELMORA_SIMD_INLINE Vec Load(const uint8_t* p) { return _mm512_loadu_si512(p); }
    static VELMORA_SIMD_INLINE void Store(uint8_t* p, Vec v) { _mm512_storeu_si512(p, v); }
    static VELMORA_SIMD_INLINE Vec Set16(int16_t v) { return _mm512_set1_epi16(v); }
    static VELMORA_SIMD_INLINE Vec Set32(int32_t v) { return _mm512_set1_epi32(v); }
    static VELMORA_SIMD_INLINE Vec Pattern(int16_t a, int16_t b, int16_t c, int16_t d) {
        return _mm512_broadcast_i32x4(_mm_setr_epi16(a, b, c, d, a, b, c, d));
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Slli16(Vec a) {
        return _mm512_slli_epi16(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Srli16(Vec a) {
        return _mm512_srli_epi16(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Srai16(Vec a) {
        return _mm512_srai_epi16(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Slli32(Vec a) {
        return _mm512_slli_epi32(a, N);
    }
    template <int N>
    static VELMORA_SIMD_INLINE Vec Srli32(Vec a) {
        return _mm512_srli_epi32(a, N);
    }
    static VELMORA_SIMD_INLINE Vec Add16(Vec a, Vec b) { return _mm512_add_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec Sub16(Vec a, Vec b) { return _mm512_sub_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec Add32(Vec a, Vec b) { return _mm512_add_epi32(a, b); }
    static VELMORA_SIMD_INLINE Vec Sub32(Vec a, Vec b) { return _mm512_sub_epi32(a, b); }
    static VELMORA_SIMD_INLINE Vec MulHi16(Vec a, Vec b) { return _mm512_mulhi_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec MulHiU16(Vec a, Vec b) { return _mm512_mulhi_epu16(a, b); }
    static VELMORA_SIMD_INLINE Vec Madd16(Vec a, Vec b) { return _mm512_madd_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec And(Vec a, Vec b) { return _mm512_and_si512(a, b); }
    static VELMORA_SIMD_INLINE Vec Or(Vec a, Vec b) { return _mm512_or_si512(a, b); }
    static VELMORA_SIMD_INLINE Vec PackUs16(Vec a, Vec b) { return _mm512_packus_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackLo8(Vec a, Vec b) { return _mm512_unpacklo_epi8(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackHi8(Vec a, Vec b) { return _mm512_unpackhi_epi8(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackLo16(Vec a, Vec b) { return _mm512_unpacklo_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec UnpackHi16(Vec a, Vec b) { return _mm512_unpackhi_epi16(a, b); }
    static VELMORA_SIMD_INLINE Vec DupEvenWords(Vec a) {
        return _mm512_shuffle_epi8(a, Bytes(0, 1, 0, 1));
    }
    static VELMORA_SIMD_INLINE Vec DupOddWords(Vec a) {
        return _mm512_shuffle_epi8(a, Bytes(2, 3, 2, 3));
    }
    static VELMORA_SIMD_INLINE Vec SwapWords(Vec a) {
        return _mm512_shuffle_epi8(a, Bytes(2, 3, 0, 1));
    }
    static VELMORA_SIMD_INLINE Vec SwapDwords(Vec a) {
        return _mm512_shuffle_epi32(a, _MM_PERM_CDAB);
    }
    static VELMORA_SIMD_INLINE Vec LumaIn(Vec w) {
        return _mm512_sub_epi16(_mm512_set1_epi16(-2048),
                                _mm512_maddubs_epi16(w, _mm512_set1_epi16(0x0080)));
    }
    static VELMORA_SIMD_INLINE Vec ChromaIn(Vec w) {
        return _mm512_sub_epi16(_mm512_set1_epi16(-16384),
                                _mm512_maddubs_epi16(w, _mm512_set1_epi16(-0x8000)));
    }
    // Block k gets pixels 4k..4k+3 and 16+4k..16+4k+3.
    static VELMORA_SIMD_INLINE Vec ArrangeYuy2(Vec a) {
        return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 4, 1, 5, 2, 6, 3, 7), a);
    }
    static VELMORA_SIMD_INLINE void StoreBgra(uint8_t* p, Vec low, Vec high) {
        Store(p, low);
        Store(p + kBytes, high);
    }
    static VELMORA_SIMD_INLINE Vec PackWords(Vec a, Vec b) {
        return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7),
                                        _mm512_packus_epi32(a, b));
    }

  private:
    static VELMORA_SIMD_INLINE Vec Bytes(char a, char b, char c, char d) {
        return _mm512_broadcast_i32x4(_mm_setr_epi8(a, b, c, d, a + 4, b + 4, c + 4, d + 4, a + 8,
                                                    b + 8, c + 8, d + 8, a + 12, b + 12, c + 12,
                                                    d + 12));
    }
};
#endif

// ---- YUY2 to BGRA, 16-bit formula: kBytes / 2 pixels a step ----

template <class V>
VELMORA_SIMD_INLINE void Yuy2ToBgraStep(const uint8_t* src, uint8_t* dst,
                                        typename V::Vec alphaWords) {
    // Each word: the pixel's Y, and the pair's U (even pixel) or V (odd) above it.
    const auto words = V::ArrangeYuy2(V::Load(src));
    const auto chroma = V::ChromaIn(words);
    const auto luma = V::MulHi16(V::LumaIn(words), V::Set16(4767));
    const auto buRv = V::MulHi16(chroma, V::Set32(WordPair(8261, 6537)));
    const auto guGv = V::MulHi16(chroma, V::Set32(WordPair(1605, 3330)));
    const auto gSum = V::Add16(guGv, V::SwapWords(guGv));
    const auto b = V::template Srai16<3>(V::Add16(luma, V::DupEvenWords(buRv)));
    const auto g = V::template Srai16<3>(V::Sub16(luma, gSum));
    const auto r = V::template Srai16<3>(V::Add16(luma, V::DupOddWords(buRv)));
    // The saturating packs are the clamp to 0..255.
    const auto br = V::PackUs16(b, r);
    const auto ga = V::PackUs16(g, alphaWords);
    const auto bg = V::UnpackLo8(br, ga);
    const auto ra = V::UnpackHi8(br, ga);
    V::StoreBgra(dst, V::UnpackLo16(bg, ra), V::UnpackHi16(bg, ra));
}

// Converts the largest multiple of the step not above `pixels`; returns it.
template <class V>
VELMORA_SIMD_INLINE int32_t Yuy2ToBgraRun(const uint8_t* src, uint8_t* dst, int32_t pixels,
                                          uint8_t alpha) {
    constexpr int32_t kStep = V::kBytes / 2;
    const auto alphaWords = V::Set16(alpha);
    int32_t x = 0;
    for (; x + kStep <= pixels; x += kStep) {
        Yuy2ToBgraStep<V>(src + 2 * x, dst + 4 * x, alphaWords);
    }
    return x;
}

// ---- BGRA to YUY2 ----
// A formula turns one vector of BGRA pixels into 32-bit lanes, each the YUY2
// word of its pixel: Y in the low byte, and U (even pixel) or V (odd pixel)
// of the pair above it.

// The 16-bit formula of the vector blocks.
struct Yuy2WordsVector {
    template <class V>
    static VELMORA_SIMD_INLINE typename V::Vec Words(typename V::Vec pixels) {
        // Per pixel: [B * 256, R * 256] and [G * 256, 0].
        const auto br = V::template Slli16<8>(pixels);
        const auto g0 = V::And(pixels, V::Set32(0xFF00));
        const auto lumaTerms = V::Add16(V::MulHiU16(br, V::Set32(WordPair(3212, 8422))),
                                        V::MulHiU16(g0, V::Set32(16515)));
        const auto luma =
            V::template Srli32<7>(V::Add32(V::Madd16(lumaTerms, V::Set16(1)), V::Set32(2112)));
        // The pair's sums times 32, in both of its pixels.
        const auto br32 = V::template Srli16<3>(br);
        const auto g32 = V::template Srli16<3>(g0);
        const auto brSum = V::Add16(br32, V::SwapDwords(br32));
        const auto gSum = V::Add16(g32, V::SwapDwords(g32));
        // Even pixel: U = bu - ru - gu; odd pixel: V = rv - bv - gv.
        const auto brTerms = V::MulHiU16(brSum, V::Pattern(28770, 9699, 4653, 28770));
        const auto gTerm = V::MulHiU16(gSum, V::Pattern(19071, 0, 24117, 0));
        const auto chroma = V::template Srli32<6>(V::Add32(
            V::Sub32(V::Madd16(brTerms, V::Pattern(1, -1, -1, 1)), gTerm), V::Set32(8200)));
        return V::Or(luma, V::template Slli32<8>(chroma));
    }
};

// The 32-bit formula of the scalar pairs, in exact 32-bit lanes: the same
// values as the scalar code, several pairs at a time.
struct Yuy2WordsScalar {
    template <class V>
    static VELMORA_SIMD_INLINE typename V::Vec Words(typename V::Vec pixels) {
        // Per pixel: [B, R] and [G, A].
        const auto br = V::And(pixels, V::Set32(0x00FF00FF));
        const auto ga = V::template Srli16<8>(pixels);
        // 33030 does not fit a signed word: G is weighted by 16515 and doubled.
        const auto luma = V::template Srli32<16>(
            V::Add32(V::Add32(V::Madd16(br, V::Set32(WordPair(6423, 16843))),
                              V::template Slli32<1>(V::Madd16(ga, V::Set32(16515)))),
                     V::Set32(1081344)));
        const auto brSum = V::Add16(br, V::SwapDwords(br));
        const auto gaSum = V::Add16(ga, V::SwapDwords(ga));
        const auto chroma = V::template Srli32<17>(
            V::Add32(V::Add32(V::Madd16(brSum, V::Pattern(28770, -9699, -4653, 28770)),
                              V::Madd16(gaSum, V::Pattern(-19071, 0, -24117, 0))),
                     V::Set32(16793600)));
        return V::Or(luma, V::template Slli32<8>(chroma));
    }
};

// kBytes / 2 pixels a step (two loads, one store).
template <class V, class Formula>
VELMORA_SIMD_INLINE void BgraToYuy2Step(const uint8_t* src, uint8_t* dst) {
    const auto first = Formula::template Words<V>(V::Load(src));
    const auto second = Formula::template Words<V>(V::Load(src + V::kBytes));
    V::Store(dst, V::PackWords(first, second));
}

template <class V, class Formula>
VELMORA_SIMD_INLINE int32_t BgraToYuy2Run(const uint8_t* src, uint8_t* dst, int32_t pixels) {
    constexpr int32_t kStep = V::kBytes / 2;
    int32_t x = 0;
    for (; x + kStep <= pixels; x += kStep) {
        BgraToYuy2Step<V, Formula>(src + 4 * x, dst + 2 * x);
    }
    return x;
}

}  // namespace
}  // namespace velmora::av

#include "av/VideoImageKernels.h"

#include <emmintrin.h>

#include <cstring>

#include "card/UtilityFunc.h"

namespace velmora::av {
namespace {

__m128i Load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

void Store(uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Blends 16 bytes whose weights (0 to 255) are given as two halves of eight
// 16-bit lanes. Products and their sum stay below 65536, so 16-bit lanes hold
// them exactly.
__m128i Blend16(__m128i fg, __m128i bg, __m128i weightLo, __m128i weightHi) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i full = _mm_set1_epi16(255);
    const __m128i lo =
        _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(fg, zero), weightLo),
                      _mm_mullo_epi16(_mm_unpacklo_epi8(bg, zero), _mm_sub_epi16(full, weightLo)));
    const __m128i hi =
        _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(fg, zero), weightHi),
                      _mm_mullo_epi16(_mm_unpackhi_epi8(bg, zero), _mm_sub_epi16(full, weightHi)));
    return _mm_packus_epi16(_mm_srli_epi16(lo, 8), _mm_srli_epi16(hi, 8));
}

}  // namespace

void BlendRowByKey16(uint8_t* pDst, const uint8_t* pFg, const uint8_t* pBg,
                     const uint8_t* pKeyBytes, size_t pixels) {
    const __m128i lowByte = _mm_set1_epi16(0xFF);
    size_t p = 0;
    for (; p + 8 <= pixels; p += 8) {
        const __m128i keys = _mm_and_si128(Load(pKeyBytes + 2 * p), lowByte);
        Store(pDst + 2 * p,
              Blend16(Load(pFg + 2 * p), Load(pBg + 2 * p), _mm_unpacklo_epi16(keys, keys),
                      _mm_unpackhi_epi16(keys, keys)));
    }
    for (; p < pixels; ++p) {
        const uint32_t k = pKeyBytes[2 * p];
        pDst[2 * p] = BlendByte(pFg[2 * p], pBg[2 * p], k);
        pDst[2 * p + 1] = BlendByte(pFg[2 * p + 1], pBg[2 * p + 1], k);
    }
}

void BlendRowByWeight32(uint8_t* pDst, const uint8_t* pFg, const uint8_t* pBg,
                        const uint8_t* pWeightBytes, size_t pixels) {
    const __m128i lowByte = _mm_set1_epi32(0xFF);
    const __m128i colour = _mm_set1_epi32(0x00FFFFFF);
    size_t p = 0;
    for (; p + 4 <= pixels; p += 4) {
        const __m128i weights = _mm_and_si128(Load(pWeightBytes + 4 * p), lowByte);
        const __m128i packed = _mm_packs_epi32(weights, weights);  // w0 w1 w2 w3 twice
        const __m128i pairs = _mm_unpacklo_epi16(packed, packed);  // w0 w0 w1 w1 ...
        const __m128i blended =
            Blend16(Load(pFg + 4 * p), Load(pBg + 4 * p), _mm_unpacklo_epi32(pairs, pairs),
                    _mm_unpackhi_epi32(pairs, pairs));
        Store(pDst + 4 * p, _mm_and_si128(blended, colour));
    }
    for (; p < pixels; ++p) {
        const uint32_t w = pWeightBytes[4 * p];
        for (size_t c = 0; c < 3; ++c) {
            pDst[4 * p + c] = BlendByte(pFg[4 * p + c], pBg[4 * p + c], w);
        }
        pDst[4 * p + 3] = 0;
    }
}

void BlendRowConstant(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB, uint32_t weight,
                      size_t bytes) {
    const __m128i w = _mm_set1_epi16(static_cast<int16_t>(weight));
    size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        Store(pDst + i, Blend16(Load(pA + i), Load(pB + i), w, w));
    }
    for (; i < bytes; ++i) {
        pDst[i] = BlendByte(pA[i], pB[i], weight);
    }
}

void DeinterlaceRow(uint8_t* pDst, const uint8_t* pAbove, const uint8_t* pCentre,
                    const uint8_t* pBelow, size_t bytes) {
    size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        Store(pDst + i,
              _mm_avg_epu8(_mm_avg_epu8(Load(pAbove + i), Load(pBelow + i)), Load(pCentre + i)));
    }
    for (; i < bytes; ++i) {
        pDst[i] = AverageByte(AverageByte(pAbove[i], pBelow[i]), pCentre[i]);
    }
}

void AverageRows(uint8_t* pDst, const uint8_t* pA, const uint8_t* pB, size_t bytes) {
    size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        Store(pDst + i, _mm_avg_epu8(Load(pA + i), Load(pB + i)));
    }
    for (; i < bytes; ++i) {
        pDst[i] = AverageByte(pA[i], pB[i]);
    }
}

void CopyRowBytes(uint8_t* pDst, const uint8_t* pSrc, size_t bytes) {
    card::CUtilityFunc utility;
    const size_t words = bytes / 4;
    utility.MemCopyDword128(pDst, pSrc, static_cast<uint32_t>(words));
    if (bytes % 4 != 0) std::memcpy(pDst + words * 4, pSrc + words * 4, bytes % 4);
}

}  // namespace velmora::av

namespace velmora::av {

bool CheckRegion(int32_t imageWidth, int32_t imageHeight, int32_t step, int32_t left, int32_t top,
                 int32_t right, int32_t bottom, CheckedRegion& region) {
    region = {left, top, int64_t{right} - left, int64_t{bottom} - top};
    if (imageWidth < 0 || imageHeight < 0 || step < 0) return false;
    if (region.width < 0 || region.height < 0) return false;
    return FitsAt(region.left, region.top, region.width, region.height, imageWidth, imageHeight);
}

bool FitsAt(int64_t x, int64_t y, int64_t width, int64_t height, int64_t imageWidth,
            int64_t imageHeight) {
    return x >= 0 && y >= 0 && width >= 0 && height >= 0 && x + width <= imageWidth &&
           y + height <= imageHeight;
}

}  // namespace velmora::av

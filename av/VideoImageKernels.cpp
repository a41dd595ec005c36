#include "av/VideoImageKernels.h"

#include <emmintrin.h>

#include <cstring>

namespace velmora::av {
namespace {

__m128i Load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

void Store(uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Blends 16 bytes as eight 16-bit lanes, both bytes of a lane by that lane's
// weight (0 to 255). Each product sum stays below 65536, so the lanes hold it
// exactly; the low bytes' results are shifted down, the high bytes' kept in
// place.
__m128i BlendLanes(__m128i fg, __m128i bg, __m128i weight) {
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    const __m128i inverse = _mm_sub_epi16(lowBytes, weight);
    const __m128i low = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(fg, lowBytes), weight),
                                      _mm_mullo_epi16(_mm_and_si128(bg, lowBytes), inverse));
    const __m128i high = _mm_add_epi16(_mm_mullo_epi16(_mm_srli_epi16(fg, 8), weight),
                                       _mm_mullo_epi16(_mm_srli_epi16(bg, 8), inverse));
    return _mm_or_si128(_mm_srli_epi16(low, 8), _mm_andnot_si128(lowBytes, high));
}

}  // namespace

void BlendRowByKey16(uint8_t* pDst, const uint8_t* pFg, const uint8_t* pBg,
                     const uint8_t* pKeyBytes, size_t pixels) {
    const __m128i lowByte = _mm_set1_epi16(0xFF);
    size_t p = 0;
    for (; p + 8 <= pixels; p += 8) {
        const __m128i keys = _mm_and_si128(Load(pKeyBytes + 2 * p), lowByte);
        Store(pDst + 2 * p, BlendLanes(Load(pFg + 2 * p), Load(pBg + 2 * p), keys));
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
        const __m128i blended = BlendLanes(Load(pFg + 4 * p), Load(pBg + 4 * p), pairs);
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
        Store(pDst + i, BlendLanes(Load(pA + i), Load(pB + i), w));
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

void OverlayRowBgraOnYuy2(uint8_t* pYuy2, const uint8_t* pBgra, size_t pixels) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lowByte = _mm_set1_epi32(0xFF);
    const __m128i evenLanes = _mm_set1_epi32(0x0000FFFF);
    const auto channel = [&](__m128i first, __m128i second, int shift) {
        return _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(first, shift), lowByte),
                               _mm_and_si128(_mm_srli_epi32(second, shift), lowByte));
    };
    const auto times = [](__m128i value, int16_t factor) {
        return _mm_mullo_epi16(value, _mm_set1_epi16(factor));
    };
    for (size_t p = 0; p + 8 <= pixels; p += 8) {
        const __m128i first = Load(pBgra + 4 * p), second = Load(pBgra + 4 * p + 16);
        // One 16-bit lane a pixel for each channel.
        const __m128i alpha = channel(first, second, 24);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(alpha, zero)) == 0xFFFF) continue;
        const __m128i blue = channel(first, second, 0);
        const __m128i green = channel(first, second, 8);
        const __m128i red = channel(first, second, 16);
        // Every sum lies in 0..65535, so the lanes' wrapping arithmetic is
        // exact.
        const __m128i luma = _mm_add_epi16(
            _mm_srli_epi16(
                _mm_add_epi16(_mm_add_epi16(times(red, 66), times(green, 129)), times(blue, 25)),
                8),
            _mm_set1_epi16(16));
        const __m128i bias = _mm_set1_epi16(static_cast<int16_t>(-32768));
        const __m128i u = _mm_srli_epi16(
            _mm_sub_epi16(_mm_sub_epi16(_mm_add_epi16(times(blue, 112), bias), times(green, 74)),
                          times(red, 38)),
            8);
        const __m128i v = _mm_srli_epi16(
            _mm_sub_epi16(_mm_sub_epi16(_mm_add_epi16(times(red, 112), bias), times(green, 94)),
                          times(blue, 18)),
            8);
        // U and V of a pair both come from its even pixel: V moves one lane up.
        const __m128i chroma = _mm_or_si128(_mm_and_si128(u, evenLanes),
                                            _mm_andnot_si128(evenLanes, _mm_slli_si128(v, 2)));
        const __m128i cells = _mm_or_si128(luma, _mm_slli_epi16(chroma, 8));
        uint8_t* out = pYuy2 + 2 * p;
        Store(out, BlendLanes(cells, Load(out), alpha));
    }
}

void CopyRowBytes(uint8_t* pDst, const uint8_t* pSrc, size_t bytes) {
    std::memcpy(pDst, pSrc, bytes);
}

}  // namespace velmora::av

namespace velmora::av {

bool CheckRegion(int32_t imageWidth, int32_t imageHeight, int32_t left, int32_t top, int32_t right,
                 int32_t bottom, CheckedRegion& region) {
    region = {left, top, int64_t{right} - left, int64_t{bottom} - top};
    if (imageWidth < 0 || imageHeight < 0) return false;
    if (region.width < 0 || region.height < 0) return false;
    return FitsAt(region.left, region.top, region.width, region.height, imageWidth, imageHeight);
}

bool FitsAt(int64_t x, int64_t y, int64_t width, int64_t height, int64_t imageWidth,
            int64_t imageHeight) {
    return x >= 0 && y >= 0 && width >= 0 && height >= 0 && x + width <= imageWidth &&
           y + height <= imageHeight;
}

}  // namespace velmora::av

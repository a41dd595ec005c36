#include "resize/ResizeYuv422SuperSample.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "resize/ImageStatus.h"
#include "resize/ResizeLinearRowModel.h"  // VELMORA_RESIZE_INLINE
#include "resize/ResizeMemory.h"
#include "resize/ResizeSuperSampleModel.h"

namespace velmora::resize {
namespace {

// One term of the footprints of an output pair's four elements (Y0 U Y1 V):
// the accumulator element each lane reads and its weight. Elements with
// fewer terms than the pair's longest get terms of weight 0, which add +0
// and so change no sum.
// Where every weight of a term is a float, a product with a float element
// is exact in double, so rounding it to single gives the single-precision
// product: `single` holds the weights for that shorter path.
struct alignas(16) Yuv422Term {
    double weight[4];
    int32_t element[4];
    float single[4];
    bool singleExact;
};

// A product of w and a float (or byte), rounded to single, is the single-
// precision product of the float of w when w is a float.
inline bool IsFloat(double w) {
    return static_cast<double>(static_cast<float>(w)) == w;
}

// The footprints of every output pair, the same for every output row: pair
// q's terms are terms[termEnd[q - 1] .. termEnd[q]).
class Yuv422Footprints {
  public:
    Yuv422Footprints(int32_t srcPairs, int32_t pairs, double rx)
        : m_srcPairs(srcPairs), m_pairs(pairs), m_rx(rx), m_wholeX(rx == std::trunc(rx)) {}

    int64_t CountTerms() const {
        int64_t total = 0;
        Walk([&](int32_t, const Pair&, int64_t n) { total += n; });
        return total;
    }
    void Fill(int32_t* termEnd, Yuv422Term* terms) const {
        int64_t at = 0;
        Walk([&](int32_t q, const Pair& pair, int64_t n) {
            for (int k = 0; k < 4; ++k) {
                int64_t t = 0;
                ForLaneTerms(pair, k, [&](int64_t element, double w) {
                    terms[at + t].element[k] = static_cast<int32_t>(element);
                    terms[at + t].weight[k] = w;
                    ++t;
                });
                for (; t < n; ++t) {
                    terms[at + t].element[k] = 0;
                    terms[at + t].weight[k] = 0.0;
                }
            }
            for (int64_t t = at; t < at + n; ++t) {
                terms[t].singleExact = true;
                for (int k = 0; k < 4; ++k) {
                    terms[t].single[k] = static_cast<float>(terms[t].weight[k]);
                    terms[t].singleExact = terms[t].singleExact && IsFloat(terms[t].weight[k]);
                }
            }
            at += n;
            termEnd[q] = static_cast<int32_t>(at);
        });
    }

  private:
    // The blocks of one output pair: U and V share one; each luma sample a
    // block of whole samples or a fractional column [a0, a1).
    struct Pair {
        SuperSampleBlock chroma;
        SuperSampleBlock luma[2];
        double a0[2], a1[2];
    };

    // Lane k's terms (accumulator element, weight) in the order summed.
    template <typename Fn>
    void ForLaneTerms(const Pair& pair, int k, Fn fn) const {
        const int64_t lumaCount = 2 * static_cast<int64_t>(m_srcPairs);
        if (k % 2 == 1) {
            ForBlockTerms(pair.chroma, m_srcPairs, 4, k, fn);
        } else if (m_wholeX) {
            ForBlockTerms(pair.luma[k / 2], lumaCount, 2, 0, fn);
        } else {
            ForColumnTerms(pair.a0[k / 2], pair.a1[k / 2], lumaCount, fn);
        }
    }

    // A walk block over indices `stride` elements apart from `offset`.
    template <typename Fn>
    static void ForBlockTerms(const SuperSampleBlock& b, int64_t count, int32_t stride,
                              int32_t offset, Fn fn) {
        auto element = [&](int64_t i) { return SuperSampleClamp(i, count - 1) * stride + offset; };
        if (b.hasFirst) fn(element(b.first), b.firstWeight);
        for (int64_t i = b.whole; i < b.whole + b.count; ++i)
            fn(element(i), 1.0);
        if (b.hasLast) fn(element(b.last), b.lastWeight);
    }

    // Fractional luma column [a0, a1): from trunc(a0 + 1e-7), the first
    // sample by its uncovered share, then each by its covered share or 1.
    template <typename Fn>
    static void ForColumnTerms(double a0, double a1, int64_t lumaCount, Fn fn) {
        const auto s = static_cast<int64_t>(std::trunc(a0 + 1e-7));
        const auto e = static_cast<int64_t>(std::trunc(a1 + 1e-7));
        const int64_t n = e - s + (std::fabs(a1 - static_cast<double>(e)) > 1e-7 ? 1 : 0);
        for (int64_t k = s; k < s + n; ++k) {
            double w = 1.0;
            if (k == s) {
                w = 1.0 - (a0 - static_cast<double>(s));
            } else {
                const double share = a1 - static_cast<double>(k);
                if (share >= -1e-7 && share < 1 - 1e-7) w = share;
            }
            fn(SuperSampleClamp(k, lumaCount - 1) * 2, w);
        }
    }

    // Pair by pair, with the count of terms of its longest lane (at least 1).
    template <typename Emit>
    void Walk(Emit emit) const {
        SuperSampleWalk chroma(m_rx, !m_wholeX);
        SuperSampleWalk luma(m_rx, false);
        double a = 0.0;
        for (int32_t q = 0; q < m_pairs; ++q) {
            Pair pair{};
            pair.chroma = chroma.Next();
            for (int k = 0; k < 2; ++k) {
                if (m_wholeX) {
                    pair.luma[k] = luma.Next();
                } else {
                    pair.a0[k] = a;
                    pair.a1[k] = a + m_rx;
                    a = pair.a1[k];
                }
            }
            int64_t n = 1;
            for (int k = 0; k < 4; ++k) {
                int64_t count = 0;
                ForLaneTerms(pair, k, [&](int64_t, double) { ++count; });
                n = std::max(n, count);
            }
            emit(q, pair, n);
        }
    }

    int32_t m_srcPairs;
    int32_t m_pairs;
    double m_rx;
    bool m_wholeX;
};

// The row additions and the reduction of one arithmetic form.
enum class Yuv422AddForm {
    Double,  // Generic: product and sum in double, rounded once
    Single,  // Sse: the product rounded to single before the addition
    Vector,  // Sse2, Sse3, Ssse3: Single over four lanes, 16 bytes a step
};

struct Yuv422SuperSamplePolicy {
    Yuv422AddForm form;
    uint8_t* (*alloc8u)(int32_t);
    int32_t (*zero)(void*, int32_t);
};

// The bytes of a row widened to 32-bit lanes, 16 a step (whole steps
// first), then 4 a step: rows are whole pairs, so their length is a multiple
// of 4.
template <typename Lanes>
VELMORA_RESIZE_INLINE void ForByteLanes(const uint8_t* s, int32_t elements, Lanes lanes) {
    const __m128i zero = _mm_setzero_si128();
    int32_t k = 0;
    for (; k + 16 <= elements; k += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k));
        const __m128i lo = _mm_unpacklo_epi8(b, zero), hi = _mm_unpackhi_epi8(b, zero);
        lanes(k, _mm_unpacklo_epi16(lo, zero));
        lanes(k + 4, _mm_unpackhi_epi16(lo, zero));
        lanes(k + 8, _mm_unpacklo_epi16(hi, zero));
        lanes(k + 12, _mm_unpackhi_epi16(hi, zero));
    }
    for (; k < elements; k += 4) {
        int32_t four;
        std::memcpy(&four, s + k, 4);
        lanes(k, _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(four), zero), zero));
    }
}

// Whole rows: exact integer sums, or each byte converted to float and added.
template <Yuv422AddForm F>
void AddWhole(void* row, const uint8_t* s, int32_t elements, bool integer) {
    if constexpr (F == Yuv422AddForm::Vector) {
        if (integer) {
            ForByteLanes(s, elements, [&](int32_t k, __m128i v) {
                auto* acc = reinterpret_cast<__m128i*>(static_cast<uint32_t*>(row) + k);
                _mm_store_si128(acc, _mm_add_epi32(_mm_load_si128(acc), v));
            });
        } else {
            ForByteLanes(s, elements, [&](int32_t k, __m128i v) {
                float* acc = static_cast<float*>(row) + k;
                _mm_store_ps(acc, _mm_add_ps(_mm_load_ps(acc), _mm_cvtepi32_ps(v)));
            });
        }
    } else if (integer) {
        auto* acc = static_cast<uint32_t*>(row);
        for (int32_t k = 0; k < elements; ++k)
            acc[k] += s[k];
    } else {
        auto* acc = static_cast<float*>(row);
        for (int32_t k = 0; k < elements; ++k)
            acc[k] += s[k];
    }
}

// Element plus byte times w, the product formed in double and rounded to
// single before the addition (the Generic form rounds the sum once).
template <Yuv422AddForm F>
void AddWeighted(float* acc, const uint8_t* s, int32_t elements, double w) {
    if constexpr (F == Yuv422AddForm::Vector) {
        if (IsFloat(w)) {
            const __m128 weight = _mm_set1_ps(static_cast<float>(w));
            ForByteLanes(s, elements, [&](int32_t k, __m128i v) {
                const __m128 products = _mm_mul_ps(_mm_cvtepi32_ps(v), weight);
                _mm_store_ps(acc + k, _mm_add_ps(_mm_load_ps(acc + k), products));
            });
            return;
        }
        const __m128d weight = _mm_set1_pd(w);
        ForByteLanes(s, elements, [&](int32_t k, __m128i v) {
            const __m128d lo = _mm_mul_pd(_mm_cvtepi32_pd(v), weight);
            const __m128d hi = _mm_mul_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(v, v)), weight);
            const __m128 products = _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
            _mm_store_ps(acc + k, _mm_add_ps(_mm_load_ps(acc + k), products));
        });
    } else {
        for (int32_t k = 0; k < elements; ++k) {
            if constexpr (F == Yuv422AddForm::Double)
                acc[k] = static_cast<float>(acc[k] + s[k] * w);
            else
                acc[k] += static_cast<float>(s[k] * w);
        }
    }
}

uint8_t OutputByte(double value, double scale) {
    return static_cast<uint8_t>(static_cast<uint64_t>(std::trunc(value * scale + 0.5)));
}

// One output pair from its terms: exact integer sums, or running sums in
// the form's precision.
template <Yuv422AddForm F>
void ReducePair(const void* row, bool integer, const Yuv422Term* t, const Yuv422Term* end,
                double scale, uint8_t* d) {
    if (integer) {
        const auto* acc = static_cast<const uint32_t*>(row);
        for (int k = 0; k < 4; ++k) {
            uint64_t sum = 0;
            for (const Yuv422Term* u = t; u < end; ++u)
                sum += u->weight[k] != 0.0 ? acc[u->element[k]] : 0;
            d[k] = OutputByte(static_cast<double>(sum), scale);
        }
        return;
    }
    const auto* acc = static_cast<const float*>(row);
    if constexpr (F == Yuv422AddForm::Vector) {
        __m128 sum = _mm_setzero_ps();
        for (const Yuv422Term* u = t; u < end; ++u) {
            const __m128 x = _mm_setr_ps(acc[u->element[0]], acc[u->element[1]], acc[u->element[2]],
                                         acc[u->element[3]]);
            if (u->singleExact) {
                sum = _mm_add_ps(sum, _mm_mul_ps(x, _mm_load_ps(u->single)));
                continue;
            }
            const __m128d lo = _mm_mul_pd(_mm_cvtps_pd(x), _mm_load_pd(u->weight));
            const __m128d hi =
                _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), _mm_load_pd(u->weight + 2));
            sum = _mm_add_ps(sum, _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)));
        }
        const __m128d s = _mm_set1_pd(scale), half = _mm_set1_pd(0.5);
        const __m128i lo = _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(sum), s), half));
        const __m128i hi = _mm_cvttpd_epi32(
            _mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(sum, sum)), s), half));
        // The low byte of each value, as the scalar conversion keeps it.
        const __m128i words = _mm_and_si128(_mm_unpacklo_epi64(lo, hi), _mm_set1_epi32(0xFF));
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(words, words), words);
        const int32_t four = _mm_cvtsi128_si32(bytes);
        std::memcpy(d, &four, 4);
    } else {
        for (int k = 0; k < 4; ++k) {
            double sumD = 0.0;
            float sumF = 0.0f;
            for (const Yuv422Term* u = t; u < end; ++u) {
                const double x = acc[u->element[k]];
                if constexpr (F == Yuv422AddForm::Double)
                    sumD += x * u->weight[k];
                else
                    sumF += static_cast<float>(x * u->weight[k]);
            }
            d[k] = OutputByte(F == Yuv422AddForm::Double ? static_cast<float>(sumD) : sumF, scale);
        }
    }
}

// Blocks of the resize heap, released on every path.
struct HeapBlock {
    void* p;
    explicit HeapBlock(void* block) : p(block) {}
    ~HeapBlock() { AlignedFree(p); }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
};

template <Yuv422AddForm F>
int32_t SuperSample(const Yuv422SuperSamplePolicy& v, const uint8_t* pRoi, uint8_t* pDst,
                    int32_t srcStep, int32_t dstStep, int32_t srcPairs, int32_t srcRows,
                    int32_t pairs, int32_t dstHeight, double rx, double ry, double scale) {
    if (srcPairs < 1 || srcPairs > INT32_MAX / 16) return STS_NO_MEM_ERR;
    const int32_t elements = 4 * srcPairs;
    const HeapBlock row(v.alloc8u(4 * elements));
    if (row.p == nullptr) return STS_NO_MEM_ERR;
    const Yuv422Footprints footprints(srcPairs, pairs, rx);
    const int64_t terms = footprints.CountTerms();
    const int64_t endBytes = (4 * static_cast<int64_t>(pairs) + 15) / 16 * 16;
    const int64_t tableBytes = endBytes + terms * static_cast<int64_t>(sizeof(Yuv422Term));
    if (tableBytes > INT32_MAX) return STS_NO_MEM_ERR;
    const HeapBlock table(v.alloc8u(static_cast<int32_t>(tableBytes)));
    if (table.p == nullptr) return STS_NO_MEM_ERR;
    auto* termEnd = static_cast<int32_t*>(table.p);
    auto* term = reinterpret_cast<Yuv422Term*>(static_cast<uint8_t*>(table.p) + endBytes);
    footprints.Fill(termEnd, term);

    const bool wholeX = rx == std::trunc(rx);
    const bool wholeY = ry == std::trunc(ry);
    const bool integer = wholeX && wholeY;
    const int64_t lastRow = srcRows - 1;
    auto rowAt = [&](int64_t r) {
        return pRoi + static_cast<ptrdiff_t>(SuperSampleClamp(r, lastRow)) * srcStep;
    };
    SuperSampleWalk rows(ry, !wholeY);
    auto* acc = static_cast<float*>(row.p);
    for (int32_t j = 0; j < dstHeight; ++j) {
        v.zero(row.p, 4 * elements);
        const SuperSampleBlock b = rows.Next();
        if (b.hasFirst) AddWeighted<F>(acc, rowAt(b.first), elements, b.firstWeight);
        for (int64_t k = 0; k < b.count; ++k)
            AddWhole<F>(row.p, rowAt(b.whole + k), elements, integer);
        if (b.hasLast) AddWeighted<F>(acc, rowAt(b.last), elements, b.lastWeight);

        uint8_t* d = pDst + static_cast<ptrdiff_t>(j) * dstStep;
        for (int32_t q = 0; q < pairs; ++q) {
            ReducePair<F>(row.p, integer, term + (q == 0 ? 0 : termEnd[q - 1]), term + termEnd[q],
                          scale, d + 4 * static_cast<ptrdiff_t>(q));
        }
    }
    return STS_OK;
}

}  // namespace

#define VELMORA_YUV422_SUPERSAMPLE_DEFINE(V, FORM, ALLOC)                                        \
    int32_t ResizeYuv422SuperSample_##V(                                                         \
        const uint8_t* pRoi, uint8_t* pDst, int32_t srcStep, int32_t dstStep, int32_t srcPairs,  \
        int32_t srcRows, int32_t pairs, int32_t dstHeight, double rx, double ry, double scale) { \
        static const Yuv422SuperSamplePolicy policy{Yuv422AddForm::FORM, ALLOC, ZeroBytes_##V};  \
        return SuperSample<Yuv422AddForm::FORM>(policy, pRoi, pDst, srcStep, dstStep, srcPairs,  \
                                                srcRows, pairs, dstHeight, rx, ry, scale);       \
    }
VELMORA_YUV422_SUPERSAMPLE_DEFINE(Generic, Double, AlignedMalloc8u)
VELMORA_YUV422_SUPERSAMPLE_DEFINE(Sse, Single, AlignedMalloc8u)
VELMORA_YUV422_SUPERSAMPLE_DEFINE(Sse2, Vector, AlignedMalloc8u)
VELMORA_YUV422_SUPERSAMPLE_DEFINE(Sse3, Vector, AlignedMalloc8u_Sse3)
VELMORA_YUV422_SUPERSAMPLE_DEFINE(Ssse3, Vector, AlignedMalloc8u)

}  // namespace velmora::resize

#include "resize/ResizeMemory.h"

#include <immintrin.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "av/CpuClass.h"
#include "resize/ImageStatus.h"

namespace velmora::resize {
namespace {

std::atomic<int64_t> g_failCountdown{0};
std::atomic<int64_t> g_allocRequests{0};
std::atomic<const ResizeHeap*> g_heap{nullptr};

// Entry 0: the C heap behind the test seams.
void* HookAllocate(size_t bytes) {
    g_allocRequests.fetch_add(1, std::memory_order_relaxed);
    int64_t left = g_failCountdown.load(std::memory_order_relaxed);
    while (left > 0 &&
           !g_failCountdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
    }
    if (left == 1) return nullptr;
    const ResizeHeap* heap = g_heap.load(std::memory_order_acquire);
    return heap != nullptr ? heap->allocate(bytes) : std::malloc(bytes);
}

void HookRelease(void* block) {
    const ResizeHeap* heap = g_heap.load(std::memory_order_acquire);
    if (heap != nullptr) {
        heap->release(block);
    } else {
        std::free(block);
    }
}

// The raw pointer takes a pointer-sized word before the block handed out.
constexpr size_t kAlignSlack = 40;

void* AlignedAllocate(int32_t n, size_t elementSize) {
    if (n < 1) return nullptr;
    size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(n), elementSize, &bytes) ||
        __builtin_add_overflow(bytes, kAlignSlack, &bytes)) {
        return nullptr;
    }
    void* raw = ResizeAllocHooks.allocate(bytes);
    if (raw == nullptr) return nullptr;
    const uintptr_t p = (reinterpret_cast<uintptr_t>(raw) + kAlignSlack - 1) & ~uintptr_t{31};
    std::memcpy(reinterpret_cast<void*>(p - sizeof(void*)), &raw, sizeof(void*));
    return reinterpret_cast<void*>(p);
}

void* AlignedAllocatePrefetched(int32_t n, size_t elementSize) {
    void* p = AlignedAllocate(n, elementSize);
    if (p != nullptr) __builtin_prefetch(static_cast<const uint8_t*>(p) + 128, 0, 3);
    return p;
}

inline void Store32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}
inline void Store64(uint8_t* p, uint64_t v) {
    std::memcpy(p, &v, 8);
}
inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
// A load of one byte of a source line brings the line into the cache ahead
// of the non-temporal stores, which would otherwise wait on each miss.
inline void TouchLine(const uint8_t* p) {
    static_cast<void>(*reinterpret_cast<const volatile uint8_t*>(p));
}

inline uintptr_t Address(const void* p) {
    return reinterpret_cast<uintptr_t>(p);
}

// Bytes to the next multiple of 16 (0 when aligned).
inline size_t ToAlign16(const void* p) {
    return (16 - (Address(p) & 15)) & 15;
}

// ---- the 16-byte clear of Sse2, Sse3 and Ssse3 ----

// Below 16 bytes: overlapping 8- or 4-byte stores, else single bytes.
void ZeroSmall(uint8_t* p, size_t n) {
    if (n >= 8) {
        Store64(p + n - 8, 0);
        if (n > 8) Store64(p, 0);
    } else if (n >= 4) {
        Store32(p + n - 4, 0);
        if (n > 4) Store32(p, 0);
    } else {
        for (size_t i = 0; i < n; ++i)
            p[i] = 0;
    }
}

bool ZeroStreams16(size_t remaining) {
    if (remaining < 64 || remaining <= 524288) return false;
    const uint64_t cache = QueryCacheSize();
    return cache != 0 && remaining >= cache;
}

void* ZeroBytes16(void* dst, size_t n) {
    auto* p = static_cast<uint8_t*>(dst);
    if (n < 16) {
        ZeroSmall(p, n);
        return dst;
    }
    const size_t a = ToAlign16(p);
    if (a != 0) {
        if (a & 1) *p = 0;
        if (a & 2) std::memset(p + (a & 1), 0, 2);
        if (a & 4) Store32(p + (a & 3), 0);
        if (a & 8) Store64(p + (a & 7), 0);
        p += a;
        n -= a;
        if (n == 0) return dst;
    }
    const __m128i zero = _mm_setzero_si128();
    if (ZeroStreams16(n)) {
        for (; n >= 16; n -= 16, p += 16)
            _mm_stream_si128(reinterpret_cast<__m128i*>(p), zero);
        _mm_sfence();
    } else {
        for (; n >= 64; n -= 64, p += 64) {
            auto* v = reinterpret_cast<__m128i*>(p);
            _mm_store_si128(v, zero);
            _mm_store_si128(v + 1, zero);
            _mm_store_si128(v + 2, zero);
            _mm_store_si128(v + 3, zero);
        }
    }
    for (; n >= 16; n -= 16, p += 16)
        _mm_store_si128(reinterpret_cast<__m128i*>(p), zero);
    ZeroSmall(p, n);
    return dst;
}

// ---- the 8-byte clear of Sse ----

void* ZeroBytes8(void* dst, size_t n, bool streaming) {
    auto* p = static_cast<uint8_t*>(dst);
    const size_t alignFrom = streaming ? 8 : 64;
    if (n >= alignFrom && (Address(p) & 7) != 0) {
        Store64(p, 0);
        const size_t step = 8 - (Address(p) & 7);
        p += step;
        n -= step;
    }
    auto store8 = [streaming](uint8_t* q) {
        if (streaming) {
            _mm_stream_si64(reinterpret_cast<long long*>(q), 0);
        } else {
            Store64(q, 0);
        }
    };
    for (; n >= 64; n -= 64, p += 64) {
        for (int i = 0; i < 8; ++i)
            store8(p + 8 * i);
    }
    if (n >= 32) {
        for (int i = 0; i < 4; ++i)
            store8(p + 8 * i);
        p += 32;
        n -= 32;
    }
    if (n >= 16) {
        store8(p);
        store8(p + 8);
        p += 16;
        n -= 16;
    }
    if (n >= 8) {
        store8(p);
        p += 8;
        n -= 8;
    }
    if (n >= 4) {
        Store32(p, 0);
        p += 4;
        n -= 4;
    }
    for (; n > 0; --n)
        *p++ = 0;
    if (streaming) _mm_sfence();
    return dst;
}

// ---- copies ----

// The tail of every copy: 16-byte units, then 8, 4, 2 and 1 bytes.
void CopyTail(uint8_t* d, const uint8_t* s, size_t n) {
    for (; n >= 16; n -= 16, d += 16, s += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
    }
    if (n & 8) {
        Store64(d, Load64(s));
        d += 8;
        s += 8;
    }
    if (n & 4) {
        Store32(d, Load32(s));
        d += 4;
        s += 4;
    }
    if (n & 2) {
        std::memcpy(d, s, 2);
        d += 2;
        s += 2;
    }
    if (n & 1) *d = *s;
}

// Aligns the destination to 16 with one unaligned 16-byte copy (n >= 64).
// Returns the bytes advanced.
size_t AlignCopyDestination(uint8_t* d, const uint8_t* s) {
    const size_t a = ToAlign16(d);
    if (a != 0) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
    }
    return a;
}

// ---- the tuned copies below the streaming size ----

inline void Move16(uint8_t* d, const uint8_t* s) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
}
inline void MoveAligned16(uint8_t* d, const uint8_t* s) {
    _mm_store_si128(reinterpret_cast<__m128i*>(d),
                    _mm_load_si128(reinterpret_cast<const __m128i*>(s)));
}
inline void Move8(uint8_t* d, const uint8_t* s) {
    Store64(d, Load64(s));
}
inline void Move4(uint8_t* d, const uint8_t* s) {
    Store32(d, Load32(s));
}

// Small copy of Sse2 and Sse3: the last 4 bytes, then 4-byte units down
// from the last multiple-of-4 end of dst, the first 4 bytes for a piece
// below 4 left at the start (units may overlap); below 4, bytes from the end.
void CopySmallDown(uint8_t* d, const uint8_t* s, size_t n) {
    if (n < 4) {
        for (; n > 0; --n)
            d[n - 1] = s[n - 1];
        return;
    }
    Move4(d + n - 4, s + n - 4);
    size_t end = n - ((Address(d) + n) & 3);
    for (; end >= 4; end -= 4)
        Move4(d + end - 4, s + end - 4);
    if (end > 0) Move4(d, s);
}

// Small copy of Ssse3: 32, 16 and 8 bytes as 8-byte moves and 4 bytes by
// the bits of n, then up to 3 bytes from the end.
void CopySmallForward(uint8_t* d, const uint8_t* s, size_t n) {
    size_t i = 0;
    for (size_t piece = 32; piece >= 8; piece /= 2) {
        if ((n & piece) == 0) continue;
        for (size_t k = 0; k < piece; k += 8)
            Move8(d + i + k, s + i + k);
        i += piece;
    }
    if (n & 4) {
        Move4(d + i, s + i);
        i += 4;
    }
    for (size_t k = n; k > i; --k)
        d[k - 1] = s[k - 1];
}

// Both 16-aligned: 64-byte blocks, then 32, 16, 8, 4, 2 and 1 bytes by the
// bits of the rest.
void CopyAlignedForward(uint8_t* d, const uint8_t* s, size_t n) {
    for (; n >= 64; n -= 64, d += 64, s += 64) {
        for (size_t k = 0; k < 64; k += 16)
            MoveAligned16(d + k, s + k);
    }
    if (n & 32) {
        MoveAligned16(d, s);
        MoveAligned16(d + 16, s + 16);
        d += 32;
        s += 32;
    }
    if (n & 16) {
        MoveAligned16(d, s);
        d += 16;
        s += 16;
    }
    CopyTail(d, s, n & 15);
}

// Both 16-aligned, from the end: the pieces the bits of n give (1, 2, 4, 8,
// 16 and 32 bytes, in that order), then 64-byte blocks towards the start.
void CopyAlignedBackward(uint8_t* d, const uint8_t* s, size_t n) {
    size_t e = n;
    if (n & 1) {
        e -= 1;
        d[e] = s[e];
    }
    if (n & 2) {
        e -= 2;
        std::memcpy(d + e, s + e, 2);
    }
    if (n & 4) {
        e -= 4;
        Move4(d + e, s + e);
    }
    if (n & 8) {
        e -= 8;
        Move8(d + e, s + e);
    }
    if (n & 16) {
        e -= 16;
        MoveAligned16(d + e, s + e);
    }
    if (n & 32) {
        e -= 32;
        MoveAligned16(d + e + 16, s + e + 16);
        MoveAligned16(d + e, s + e);
    }
    for (; e >= 64; e -= 64) {
        for (size_t k = 64; k > 0; k -= 16)
            MoveAligned16(d + e - 64 + k - 16, s + e - 64 + k - 16);
    }
}

// Forwards when the source lies a little (up to 160 bytes) above the
// destination in the 4 KiB page order, backwards otherwise, so that a load
// does not wait on a recent store to the same page offset.
bool CopiesForward(const uint8_t* d, const uint8_t* s) {
    const auto gap =
        static_cast<int64_t>(Address(s) % 4096) - static_cast<int64_t>(Address(d) % 4096);
    return (gap > 0 && gap <= 160) || gap < -3936;
}

// Sse2, source not 16-aligned: each aligned store assembled from two 8-byte
// loads, or from four 4-byte loads for a source 4 bytes past a multiple of
// 8, so that no load of an 8- or 4-aligned source is split across lines.
// They are written as loads into vector elements: plain integer loads would
// be merged by the compiler into the one unaligned 16-byte load this form
// avoids.
template <bool Fours>
size_t CopyAssembledRun(uint8_t* d, const uint8_t* s, size_t n) {
    size_t i = 0;
    for (; n - i >= 64; i += 64) {
        for (size_t k = i; k < i + 64; k += 16) {
            const uint8_t* q = s + k;
            __m128i v;
            if constexpr (Fours) {
                auto pair = [](const uint8_t* p) {
                    return _mm_unpacklo_epi32(
                        _mm_cvtsi32_si128(static_cast<int32_t>(Load32(p))),
                        _mm_cvtsi32_si128(static_cast<int32_t>(Load32(p + 4))));
                };
                v = _mm_unpacklo_epi64(pair(q), pair(q + 8));
            } else {
                const __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q));
                v = _mm_castpd_si128(
                    _mm_loadh_pd(_mm_castsi128_pd(low), reinterpret_cast<const double*>(q + 8)));
            }
            _mm_store_si128(reinterpret_cast<__m128i*>(d + k), v);
        }
    }
    return i;
}

size_t CopyAssembled(uint8_t* d, const uint8_t* s, size_t n) {
    return (Address(s) & 7) == 4 ? CopyAssembledRun<true>(d, s, n)
                                 : CopyAssembledRun<false>(d, s, n);
}

// Sse3, source not 16-aligned: loads meant for data across cache lines.
__attribute__((target("sse3"))) size_t CopyCrossingLoads(uint8_t* d, const uint8_t* s, size_t n) {
    size_t i = 0;
    for (; n - i >= 64; i += 64) {
        for (size_t k = i; k < i + 64; k += 16) {
            _mm_store_si128(reinterpret_cast<__m128i*>(d + k),
                            _mm_lddqu_si128(reinterpret_cast<const __m128i*>(s + k)));
        }
    }
    return i;
}

// Ssse3, source 4, 8 or 12 bytes past a multiple of 16: aligned blocks of
// the source joined pairwise, shifted by that offset; at least 16 bytes are
// left over.
template <int Offset>
__attribute__((target("ssse3"))) size_t CopyJoined(uint8_t* d, const uint8_t* s, size_t n) {
    const auto* base = reinterpret_cast<const __m128i*>(s - Offset);
    __m128i previous = _mm_load_si128(base);
    size_t i = 0;
    for (; n - i >= 80; i += 64, base += 4) {
        for (int k = 0; k < 4; ++k) {
            const __m128i next = _mm_load_si128(base + k + 1);
            _mm_store_si128(reinterpret_cast<__m128i*>(d + i) + k,
                            _mm_alignr_epi8(next, previous, Offset));
            previous = next;
        }
    }
    return i;
}

// Ssse3, source not 16-aligned: a source that is a multiple of 4 by the
// shifted join after one 16-byte move, any other with unaligned loads.
__attribute__((target("ssse3"))) size_t CopyShifted(uint8_t* d, const uint8_t* s, size_t n) {
    size_t i = 0;
    if ((Address(s) & 3) == 0 && n >= 96) {
        Move16(d, s);
        i = 16;
        switch (Address(s) & 15) {
            case 4:
                i += CopyJoined<4>(d + i, s + i, n - i);
                break;
            case 8:
                i += CopyJoined<8>(d + i, s + i, n - i);
                break;
            default:
                i += CopyJoined<12>(d + i, s + i, n - i);
                break;
        }
    }
    for (; n - i >= 16; i += 16) {
        _mm_store_si128(reinterpret_cast<__m128i*>(d + i),
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
    }
    return i;
}

enum class Copy16 { Sse2, Sse3, Ssse3 };

template <Copy16 V>
void CopySmall(uint8_t* d, const uint8_t* s, size_t n) {
    if constexpr (V == Copy16::Ssse3) {
        CopySmallForward(d, s, n);
    } else {
        CopySmallDown(d, s, n);
    }
}

// The streaming copy of the 16-byte variants, the destination first aligned
// to 16: each 256 KiB block of the source is read in one byte a line, then
// copied with unaligned loads and non-temporal stores. The last partial
// block is read in from its end backwards and its whole 16-byte units
// streamed; the fence orders the non-temporal stores before the small copy
// of the rest, and before any later store of the caller.
template <Copy16 V>
void* CopyStreaming(void* dst, const void* src, size_t n) {
    constexpr size_t kBlock = 262144;
    constexpr size_t kLine = V == Copy16::Sse2 ? 32 : 64;
    auto* d = static_cast<uint8_t*>(dst);
    auto* s = static_cast<const uint8_t*>(src);
    auto stream = [&](size_t bytes) {
        for (size_t i = 0; i < bytes; i += 16) {
            _mm_stream_si128(reinterpret_cast<__m128i*>(d + i),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
        }
        d += bytes;
        s += bytes;
        n -= bytes;
    };
    const size_t a = AlignCopyDestination(d, s);
    d += a;
    s += a;
    n -= a;
    while (n >= kBlock) {
        for (size_t line = 0; line < kBlock; line += kLine)
            TouchLine(s + line);
        stream(kBlock);
    }
    for (size_t end = n; end > 0; end = end > kLine ? end - kLine : 0)
        TouchLine(s + end - 1);
    stream(n & ~size_t{15});
    _mm_sfence();
    CopySmall<V>(d, s, n);
    return dst;
}

// The 16-byte copies below their streaming size.
template <Copy16 V>
void CopyTuned(uint8_t* d, const uint8_t* s, size_t n, bool checkDeclined) {
    if (n < 64) return CopySmall<V>(d, s, n);
    const size_t a = AlignCopyDestination(d, s);
    d += a;
    s += a;
    n -= a;
    if (n < 64) return CopySmall<V>(d, s, n);
    const bool sourceAligned = (Address(s) & 15) == 0;
    if constexpr (V == Copy16::Sse2) {
        if (sourceAligned && (a == 0 || checkDeclined)) {
            for (; n >= 64; n -= 64, d += 64, s += 64) {
                for (size_t k = 0; k < 64; k += 16)
                    MoveAligned16(d + k, s + k);
            }
            for (; n >= 16; n -= 16, d += 16, s += 16)
                MoveAligned16(d, s);
            return CopySmall<V>(d, s, n);
        }
    } else {
        if (sourceAligned) {
            const bool forward = CopiesForward(d, s) && (V == Copy16::Ssse3 || n >= 512);
            return forward ? CopyAlignedForward(d, s, n) : CopyAlignedBackward(d, s, n);
        }
    }
    size_t done;
    if constexpr (V == Copy16::Sse2) {
        done = CopyAssembled(d, s, n);
    } else if constexpr (V == Copy16::Sse3) {
        done = CopyCrossingLoads(d, s, n);
    } else {
        done = CopyShifted(d, s, n);
    }
    CopySmall<V>(d + done, s + done, n - done);
}

// Sse, below 2048 values: the destination aligned to 16, then blocks of 8-
// or 4-byte moves chosen so that the loads are aligned, or aligned 16-byte
// moves for a 16-aligned source.
void CopyBytes8(uint8_t* d, const uint8_t* s, size_t n) {
    auto advance = [&](size_t k) {
        d += k;
        s += k;
        n -= k;
    };
    if (n >= 64 && (Address(d) & 15) != 0) {
        Move16(d, s);
        advance(16 - (Address(d) & 15));
    }
    if (n >= 64) {
        // A source off a multiple of 4 is brought to a multiple of 8, which
        // moves the destination off 16: 8-byte moves only.
        const bool eights = (Address(s) & 3) != 0;
        if (eights) {
            Move8(d, s);
            advance(8 - (Address(s) & 7));
        }
        const size_t form = eights ? 8 : Address(s) & 15;
        for (; n >= 64; advance(64)) {
            for (size_t k = 0; k < 64; k += 16) {
                if (form == 0) {
                    MoveAligned16(d + k, s + k);
                } else if ((form & 7) == 4) {
                    Move4(d + k, s + k);
                    Move8(d + k + 4, s + k + 4);
                    Move4(d + k + 12, s + k + 12);
                } else {
                    Move8(d + k, s + k);
                    Move8(d + k + 8, s + k + 8);
                }
            }
        }
    }
    for (; n >= 16; advance(16)) {
        Move8(d, s);
        Move8(d + 8, s + 8);
    }
    CopyTail(d, s, n);
}

// Sse mid-size copy: the destination aligned to 16 and then the source to
// 16, 64-byte blocks of 8-byte loads and non-temporal 8-byte stores, the rest
// as the ordinary copy's, a store fence at the end.
void CopyBytes8Streaming(uint8_t* d, const uint8_t* s, size_t n) {
    auto advance = [&](size_t k) {
        d += k;
        s += k;
        n -= k;
    };
    if (n >= 64) {
        if ((Address(d) & 15) != 0) {
            Move16(d, s);
            advance(16 - (Address(d) & 15));
        }
        if (n >= 64 && (Address(s) & 7) != 0) {
            Move16(d, s);
            advance(16 - (Address(s) & 15));
        }
    }
    for (; n >= 64; advance(64)) {
        for (size_t k = 0; k < 64; k += 8) {
            _mm_stream_si64(reinterpret_cast<long long*>(d + k),
                            static_cast<long long>(Load64(s + k)));
        }
    }
    for (; n >= 16; advance(16)) {
        Move8(d, s);
        Move8(d + 8, s + 8);
    }
    CopyTail(d, s, n);
    _mm_sfence();
}

// The streaming check of the 16-byte copies. `threshold`: bytes that must
// remain; `alignedEntryOnly`: Sse3 and Ssse3 test a source that is already
// 16-aligned after the destination was aligned no further.
bool CopyStreams16(const void* dst, const void* src, size_t n, size_t threshold,
                   bool strictThreshold, bool alignedEntryOnly) {
    if (n < 64) return false;
    const size_t a = ToAlign16(dst);
    const size_t remaining = n - a;
    if (remaining < 64) return false;
    if (alignedEntryOnly && a != 0 && ToAlign16(static_cast<const uint8_t*>(src) + a) == 0) {
        return false;
    }
    if (strictThreshold ? remaining <= threshold : remaining < threshold) return false;
    const uint64_t cache = QueryCacheSize();
    return cache != 0 && remaining >= cache / 2;
}

int32_t CheckZero(const void* p, int32_t n) {
    if (p == nullptr) return STS_NULL_PTR_ERR;
    return n < 1 ? STS_SIZE_ERR : STS_OK;
}

int32_t CheckCopy(const void* src, const void* dst, int32_t n) {
    if (src == nullptr || dst == nullptr) return STS_NULL_PTR_ERR;
    return n < 1 ? STS_SIZE_ERR : STS_OK;
}

constexpr size_t RowBytes(int32_t values) {
    return static_cast<size_t>(values) * 4;
}

}  // namespace

const ResizeAllocHookTable ResizeAllocHooks = {HookAllocate, std::calloc, std::realloc,
                                               HookRelease};

uint8_t* AlignedMalloc8u(int32_t n) {
    return static_cast<uint8_t*>(AlignedAllocate(n, 1));
}
int16_t* AlignedMalloc16s(int32_t n) {
    return static_cast<int16_t*>(AlignedAllocate(n, 2));
}
int32_t* AlignedMalloc32s(int32_t n) {
    return static_cast<int32_t*>(AlignedAllocate(n, 4));
}
uint8_t* AlignedMalloc8u_Sse3(int32_t n) {
    return static_cast<uint8_t*>(AlignedAllocatePrefetched(n, 1));
}
int16_t* AlignedMalloc16s_Sse3(int32_t n) {
    return static_cast<int16_t*>(AlignedAllocatePrefetched(n, 2));
}
int32_t* AlignedMalloc32s_Sse3(int32_t n) {
    return static_cast<int32_t*>(AlignedAllocatePrefetched(n, 4));
}

void AlignedFree(void* p) {
    if (p == nullptr) return;
    void* raw = nullptr;
    std::memcpy(&raw, static_cast<uint8_t*>(p) - sizeof(void*), sizeof(void*));
    ResizeAllocHooks.release(raw);
}

int64_t SetResizeAllocFailure(int64_t n) {
    g_failCountdown.store(n > 0 ? n : 0, std::memory_order_relaxed);
    return g_allocRequests.exchange(0, std::memory_order_relaxed);
}

void SetResizeHeap(const ResizeHeap* heap) {
    g_heap.store(heap, std::memory_order_release);
}

// ---- cache size ----

const uint32_t CacheDescriptorSizes[26][2] = {
    {0x4D, 0x16},                                                                        // 16 MiB
    {0x4C, 0x34},                                                                        // 12 MiB
    {0x4B, 0x15}, {0x47, 0x15},                                                          // 8 MiB
    {0x4A, 0x33},                                                                        // 6 MiB
    {0x49, 0x14}, {0x29, 0x14}, {0x46, 0x14},                                            // 4 MiB
    {0x25, 0x13}, {0x7D, 0x13}, {0x85, 0x13}, {0x45, 0x13},                              // 2 MiB
    {0x23, 0x12}, {0x87, 0x12}, {0x7C, 0x12}, {0x78, 0x12}, {0x84, 0x12}, {0x44, 0x12},  // 1 MiB
    {0x22, 0x11}, {0x7B, 0x11}, {0x86, 0x11}, {0x3E, 0x11}, {0x7F, 0x11}, {0x83, 0x11},
    {0x43, 0x11},  // 512 KiB
    {0, 0},
};

uint64_t QueryCacheSize() {
    if (!av::IsGenuineIntel()) return 0;
    const int32_t code = av::LookupCacheDescriptor(&CacheDescriptorSizes[0][0]);
    if (code <= 0) return 0;
    const auto c = static_cast<uint32_t>(code);
    return static_cast<uint64_t>(c >> 4) << ((c & 15) + 18);
}

// ---- loop choices ----

bool ZeroBytesStreams_Sse(size_t n) {
    return n >= 20480;
}
bool ZeroBytesStreams_Sse2(const void* p, size_t n) {
    if (n < 16) return false;
    const size_t a = ToAlign16(p);
    return ZeroStreams16(n - a);
}
bool CopyBytesStreams_Sse(size_t n) {
    return n >= RowBytes(2048);
}
bool CopyBytesStreams_Sse2(const void* dst, const void* src, size_t n) {
    return CopyStreams16(dst, src, n, 131072, true, false);
}
bool CopyBytesStreams_Sse3(const void* dst, const void* src, size_t n) {
    return CopyStreams16(dst, src, n, 524288, false, true);
}
bool CopyBytesStreams_Ssse3(const void* dst, const void* src, size_t n) {
    return CopyStreams16(dst, src, n, 1048576, false, true);
}

// ---- inner loops ----

void* ZeroBytesCore_Generic(void* dst, size_t n) {
    auto* p = static_cast<uint8_t*>(dst);
    for (; n > 0 && (Address(p) & 3) != 0; --n)
        *p++ = 0;
    for (size_t blocks = n / 32; blocks > 0; --blocks, p += 32) {
        for (int i = 0; i < 8; ++i)
            Store32(p + 4 * i, 0);
    }
    for (n %= 32; n > 0; --n)
        *p++ = 0;
    return dst;
}

void* ZeroBytesCore_Sse(void* p, size_t n) {
    return ZeroBytes8(p, n, false);
}
void* ZeroBytesLargeCore_Sse(void* p, size_t n) {
    return ZeroBytes8(p, n, true);
}
void* ZeroBytesCore_Sse2(void* p, size_t n) {
    return ZeroBytes16(p, n);
}
void* ZeroBytesCore_Sse3(void* p, size_t n) {
    return ZeroBytes16(p, n);
}
void* ZeroBytesCore_Ssse3(void* p, size_t n) {
    return ZeroBytes16(p, n);
}

void* CopyBytesCore_Generic(void* dst, const void* src, size_t n) {
    auto* d = static_cast<uint8_t*>(dst);
    auto* s = static_cast<const uint8_t*>(src);
    for (; n > 0 && (Address(d) & 3) != 0; --n)
        *d++ = *s++;
    for (size_t blocks = n / 32; blocks > 0; --blocks, d += 32, s += 32) {
        for (int i = 0; i < 8; ++i)
            Store32(d + 4 * i, Load32(s + 4 * i));
    }
    for (n %= 32; n > 0; --n)
        *d++ = *s++;
    return dst;
}

void* CopyBytesCore_Sse(void* dst, const void* src, size_t n) {
    CopyBytes8(static_cast<uint8_t*>(dst), static_cast<const uint8_t*>(src), n);
    return dst;
}
void* CopyBytesMidCore_Sse(void* dst, const void* src, size_t n) {
    CopyBytes8Streaming(static_cast<uint8_t*>(dst), static_cast<const uint8_t*>(src), n);
    return dst;
}
void* CopyBytesLargeCore_Sse(void* dst, const void* src, size_t n) {
    auto* d = static_cast<uint8_t*>(dst);
    auto* s = static_cast<const uint8_t*>(src);
    for (; n > 0 && (Address(d) & 7) != 0; --n)
        *d++ = *s++;
    if (n < 20480) {
        CopyBytesMidCore_Sse(d, s, n);
        return dst;
    }
    // Up to the source's next 4 KiB boundary, then block by block with the
    // block's lines fetched ahead.
    const size_t head = (0 - (Address(s) & ~uintptr_t{7})) % 4096;
    if (head > 0) {
        CopyBytesMidCore_Sse(d, s, head);
        d += head;
        s += head;
        n -= head;
    }
    for (; n >= 4096; n -= 4096, d += 4096, s += 4096) {
        TouchLine(s);
        TouchLine(s + 4095);
        for (size_t line = 0; line < 4096; line += 32)
            _mm_prefetch(reinterpret_cast<const char*>(s + line), _MM_HINT_NTA);
        CopyBytesMidCore_Sse(d, s, 4096);
    }
    if (n > 0) CopyBytesMidCore_Sse(d, s, n);
    return dst;
}
#define VELMORA_COPY_CORE_DEFINE(V, threshold)                                                \
    void* CopyBytesCore_##V(void* dst, const void* src, size_t n) {                           \
        if (CopyBytesStreams_##V(dst, src, n)) return CopyStreaming<Copy16::V>(dst, src, n);  \
        const size_t remaining = n - ToAlign16(dst);                                          \
        CopyTuned<Copy16::V>(static_cast<uint8_t*>(dst), static_cast<const uint8_t*>(src), n, \
                             n >= 64 && remaining > (threshold));                             \
        return dst;                                                                           \
    }
VELMORA_COPY_CORE_DEFINE(Sse2, 131072)
VELMORA_COPY_CORE_DEFINE(Sse3, 524288)
VELMORA_COPY_CORE_DEFINE(Ssse3, 1048576)

// ---- the row utilities ----

int32_t ZeroBytes_Generic(void* p, int32_t n) {
    const int32_t status = CheckZero(p, n);
    if (status == STS_OK) ZeroBytesCore_Generic(p, static_cast<size_t>(n));
    return status;
}
int32_t ZeroBytes_Sse(void* p, int32_t n) {
    const int32_t status = CheckZero(p, n);
    if (status != STS_OK) return status;
    const auto bytes = static_cast<size_t>(n);
    if (ZeroBytesStreams_Sse(bytes)) {
        ZeroBytesLargeCore_Sse(p, bytes);
    } else {
        ZeroBytesCore_Sse(p, bytes);
    }
    return STS_OK;
}
int32_t ZeroBytes_Sse2(void* p, int32_t n) {
    const int32_t status = CheckZero(p, n);
    if (status == STS_OK) ZeroBytesCore_Sse2(p, static_cast<size_t>(n));
    return status;
}
int32_t ZeroBytes_Sse3(void* p, int32_t n) {
    const int32_t status = CheckZero(p, n);
    if (status == STS_OK) ZeroBytesCore_Sse3(p, static_cast<size_t>(n));
    return status;
}
int32_t ZeroBytes_Ssse3(void* p, int32_t n) {
    const int32_t status = CheckZero(p, n);
    if (status == STS_OK) ZeroBytesCore_Ssse3(p, static_cast<size_t>(n));
    return status;
}

int32_t CopyRow32f_Generic(const void* src, void* dst, int32_t n) {
    const int32_t status = CheckCopy(src, dst, n);
    if (status == STS_OK) CopyBytesCore_Generic(dst, src, RowBytes(n));
    return status;
}
int32_t CopyRow32f_Sse(const void* src, void* dst, int32_t n) {
    const int32_t status = CheckCopy(src, dst, n);
    if (status != STS_OK) return status;
    if (n < 2048) {
        CopyBytesCore_Sse(dst, src, RowBytes(n));
    } else if (n < 4096) {
        CopyBytesMidCore_Sse(dst, src, RowBytes(n));
    } else {
        CopyBytesLargeCore_Sse(dst, src, RowBytes(n));
    }
    return STS_OK;
}
int32_t CopyRow32f_Sse2(const void* src, void* dst, int32_t n) {
    const int32_t status = CheckCopy(src, dst, n);
    if (status == STS_OK) CopyBytesCore_Sse2(dst, src, RowBytes(n));
    return status;
}
int32_t CopyRow32f_Sse3(const void* src, void* dst, int32_t n) {
    const int32_t status = CheckCopy(src, dst, n);
    if (status == STS_OK) CopyBytesCore_Sse3(dst, src, RowBytes(n));
    return status;
}
int32_t CopyRow32f_Ssse3(const void* src, void* dst, int32_t n) {
    const int32_t status = CheckCopy(src, dst, n);
    if (status == STS_OK) CopyBytesCore_Ssse3(dst, src, RowBytes(n));
    return status;
}

}  // namespace velmora::resize

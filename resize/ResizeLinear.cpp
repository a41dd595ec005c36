#include "resize/ResizeLinear.h"

#include <cstddef>
#include <utility>

#include "resize/ResizeLinearRows.h"

namespace velmora::resize {
namespace {

// The row kernels one variant's linear kernels call for one sample type.
template <typename T>
struct LinearRows {
    LinearRowHFn<T> rowH;
    LinearRowHPartFn<T> rowHPart;
    LinearRowHFn<T> rowHOneCh;
    LinearRowVFn<T> rowV;
    LinearRowVFn<T> rowVPart;
};

// Per variant, the members its kernel table names (the Sse variant uses the
// Generic integer members; Ssse3 the Sse3 RowHPart 16u and the Sse2 RowH and
// RowHPart 32f members).
struct LinearPolicy_Generic {
    static constexpr LinearRows<uint8_t> k8u{
        ResizeLinearRowH8u_Generic, ResizeLinearRowHPart8u_Generic, ResizeLinearRowHOneCh8u_Generic,
        ResizeLinearRowV8u_Generic, ResizeLinearRowVPart8u_Generic};
    static constexpr LinearRows<uint16_t> k16u{
        ResizeLinearRowH16u_Generic, ResizeLinearRowHPart16u_Generic,
        ResizeLinearRowHOneCh16u_Generic, ResizeLinearRowV16u_Generic,
        ResizeLinearRowVPart16u_Generic};
    static constexpr LinearRows<float> k32f{
        ResizeLinearRowH32f_Generic, ResizeLinearRowHPart32f_Generic,
        ResizeLinearRowHOneCh32f_Generic, ResizeLinearRowV32f_Generic,
        ResizeLinearRowVPart32f_Generic};
};

struct LinearPolicy_Sse {
    static constexpr LinearRows<uint8_t> k8u = LinearPolicy_Generic::k8u;
    static constexpr LinearRows<uint16_t> k16u = LinearPolicy_Generic::k16u;
    static constexpr LinearRows<float> k32f{ResizeLinearRowH32f_Sse, ResizeLinearRowHPart32f_Sse,
                                            ResizeLinearRowHOneCh32f_Sse, ResizeLinearRowV32f_Sse,
                                            ResizeLinearRowVPart32f_Sse};
};

struct LinearPolicy_Sse2 {
    static constexpr LinearRows<uint8_t> k8u{ResizeLinearRowH8u_Sse2, ResizeLinearRowHPart8u_Sse2,
                                             ResizeLinearRowHOneCh8u_Sse2, ResizeLinearRowV8u_Sse2,
                                             ResizeLinearRowVPart8u_Sse2};
    static constexpr LinearRows<uint16_t> k16u{
        ResizeLinearRowH16u_Sse2, ResizeLinearRowHPart16u_Sse2, ResizeLinearRowHOneCh16u_Sse2,
        ResizeLinearRowV16u_Sse2, ResizeLinearRowVPart16u_Sse2};
    static constexpr LinearRows<float> k32f{ResizeLinearRowH32f_Sse2, ResizeLinearRowHPart32f_Sse2,
                                            ResizeLinearRowHOneCh32f_Sse2, ResizeLinearRowV32f_Sse2,
                                            ResizeLinearRowVPart32f_Sse2};
};

struct LinearPolicy_Sse3 {
    static constexpr LinearRows<uint8_t> k8u{ResizeLinearRowH8u_Sse3, ResizeLinearRowHPart8u_Sse3,
                                             ResizeLinearRowHOneCh8u_Sse3, ResizeLinearRowV8u_Sse3,
                                             ResizeLinearRowVPart8u_Sse3};
    static constexpr LinearRows<uint16_t> k16u{
        ResizeLinearRowH16u_Sse3, ResizeLinearRowHPart16u_Sse3, ResizeLinearRowHOneCh16u_Sse3,
        ResizeLinearRowV16u_Sse3, ResizeLinearRowVPart16u_Sse3};
    static constexpr LinearRows<float> k32f{ResizeLinearRowH32f_Sse3, ResizeLinearRowHPart32f_Sse3,
                                            ResizeLinearRowHOneCh32f_Sse3, ResizeLinearRowV32f_Sse3,
                                            ResizeLinearRowVPart32f_Sse3};
};

struct LinearPolicy_Ssse3 {
    static constexpr LinearRows<uint8_t> k8u{
        ResizeLinearRowH8u_Ssse3, ResizeLinearRowHPart8u_Ssse3, ResizeLinearRowHOneCh8u_Ssse3,
        ResizeLinearRowV8u_Ssse3, ResizeLinearRowVPart8u_Ssse3};
    static constexpr LinearRows<uint16_t> k16u{
        ResizeLinearRowH16u_Ssse3, ResizeLinearRowHPart16u_Sse3, ResizeLinearRowHOneCh16u_Ssse3,
        ResizeLinearRowV16u_Ssse3, ResizeLinearRowVPart16u_Ssse3};
    static constexpr LinearRows<float> k32f{
        ResizeLinearRowH32f_Sse2, ResizeLinearRowHPart32f_Sse2, ResizeLinearRowHOneCh32f_Ssse3,
        ResizeLinearRowV32f_Ssse3, ResizeLinearRowVPart32f_Ssse3};
};

template <typename Policy, typename T>
constexpr const LinearRows<T>& RowsOf() {
    if constexpr (std::is_same_v<T, uint8_t>) {
        return Policy::k8u;
    } else if constexpr (std::is_same_v<T, uint16_t>) {
        return Policy::k16u;
    } else {
        return Policy::k32f;
    }
}

// The ring walk of every linear kernel. Offsets and steps count elements.
template <typename Policy, typename T, bool OneCh>
void LinearResize(const void* pSrc, void* pDst, int32_t srcStep, int32_t dstStep, int32_t dstWidth,
                  int32_t dstHeight, const int32_t* rowOffsets, const int32_t* colOffsets,
                  const void* rowWeightTable, const void* colWeightTable, void* rowBuf0,
                  void* rowBuf1, int32_t nChannels, int32_t nProcessed) {
    constexpr const LinearRows<T>& rows = RowsOf<Policy, T>();
    using Buf = LinearBuf<T>;
    using RowWeight = std::conditional_t<std::is_same_v<T, float>, float, uint16_t>;
    const auto* src = static_cast<const T*>(pSrc);
    const auto* colWeights = static_cast<const LinearColWeight<T>*>(colWeightTable);
    const auto* rowWeights = static_cast<const RowWeight*>(rowWeightTable);

    auto filter = [&](ptrdiff_t offset, Buf* buf) {
        const T* row = src + offset;
        if constexpr (OneCh) {
            rows.rowHOneCh(row, dstWidth, colOffsets, colWeights, buf);
        } else if (nProcessed == 3) {
            rows.rowHPart(row, dstWidth, nChannels, colOffsets, colWeights, buf);
        } else {
            rows.rowH(row, dstWidth, colOffsets, colWeights, buf);
        }
    };

    Buf* upper = static_cast<Buf*>(rowBuf0);
    Buf* lower = static_cast<Buf*>(rowBuf1);
    const ptrdiff_t step = srcStep;
    const bool down = srcStep > 0;
    filter(rowOffsets[0], lower);
    // As if the ring held the row one step before the first: the first
    // output row then moves by one row and filters only its lower row.
    ptrdiff_t last = down ? rowOffsets[0] - ptrdiff_t{1} : rowOffsets[0] + ptrdiff_t{1};
    for (int32_t i = 0; i < dstHeight; ++i) {
        const ptrdiff_t off = rowOffsets[i];
        if (down ? off > last : off < last) {
            std::swap(upper, lower);
            filter(off + step, lower);
            if (down ? off > last + step : off < last + step) filter(off, upper);
            last = off;
        }
        T* dstRow = static_cast<T*>(pDst) + static_cast<ptrdiff_t>(i) * dstStep;
        const LinearRowWeight<T> w = rowWeights[i];
        if (OneCh || nChannels == nProcessed) {
            rows.rowV(dstRow, OneCh ? dstWidth : dstWidth * nProcessed, w, upper, lower);
        } else {
            rows.rowVPart(dstRow, dstWidth, w, upper, lower);
        }
    }
}

}  // namespace

#define VELMORA_RESIZE_LINEAR_DEFINE(name, Policy, T, OneCh)                                    \
    void name(const void* pSrc, void* pDst, int32_t srcStep, int32_t dstStep, int32_t dstWidth, \
              int32_t dstHeight, const int32_t* rowOffsets, const int32_t* colOffsets,          \
              const void* rowWeights, const void* colWeights, void* rowBuf0, void* rowBuf1,     \
              int32_t nChannels, int32_t nProcessed) {                                          \
        LinearResize<Policy, T, OneCh>(pSrc, pDst, srcStep, dstStep, dstWidth, dstHeight,       \
                                       rowOffsets, colOffsets, rowWeights, colWeights, rowBuf0, \
                                       rowBuf1, nChannels, nProcessed);                         \
    }

#define VELMORA_RESIZE_LINEAR_MEMBERS(V)                                                        \
    VELMORA_RESIZE_LINEAR_DEFINE(ResizeLinearMultiCh8u_##V, LinearPolicy_##V, uint8_t, false)   \
    VELMORA_RESIZE_LINEAR_DEFINE(ResizeLinearMultiCh16u_##V, LinearPolicy_##V, uint16_t, false) \
    VELMORA_RESIZE_LINEAR_DEFINE(ResizeLinearMultiCh32f_##V, LinearPolicy_##V, float, false)    \
    VELMORA_RESIZE_LINEAR_DEFINE(ResizeLinearOneCh8u_##V, LinearPolicy_##V, uint8_t, true)      \
    VELMORA_RESIZE_LINEAR_DEFINE(ResizeLinearOneCh16u_##V, LinearPolicy_##V, uint16_t, true)    \
    VELMORA_RESIZE_LINEAR_DEFINE(ResizeLinearOneCh32f_##V, LinearPolicy_##V, float, true)

VELMORA_RESIZE_LINEAR_MEMBERS(Generic)
VELMORA_RESIZE_LINEAR_MEMBERS(Sse)
VELMORA_RESIZE_LINEAR_MEMBERS(Sse2)
VELMORA_RESIZE_LINEAR_MEMBERS(Sse3)
VELMORA_RESIZE_LINEAR_MEMBERS(Ssse3)

}  // namespace velmora::resize

// Members of the super-sampling row sums: the scalar model of their form (a
// vector body for the Store-form members and the Sse members of pixels of
// one and four samples and of 32f pixels of three), compiled
// for their variant's instruction set.
#include "resize/ResizeSuperSampleRows.h"

#include "resize/ResizeSuperSampleVector.h"

namespace velmora::resize {
namespace {
using SuperSampleLayout::FourCh;
using SuperSampleLayout::MultiCh;
using SuperSampleLayout::OneCh;

// The Store-form members and the Sse members (but the MultiCh 8u and 16u,
// which are the Generic ones) run a vector body; the others the model.
template <typename T, SuperSampleLayout L, RowSumForm F, bool Packed>
VELMORA_RESIZE_INLINE void SumRows(const T* srcRow, int32_t srcStep, int32_t width, int32_t nRows,
                                   SuperSampleAcc<T>* acc, int32_t nChannels) {
    if constexpr (F == RowSumForm::Store)
        SuperSampleSumRowsStore<T, L>(srcRow, srcStep, width, nRows, acc, nChannels);
    else if constexpr (Packed && std::is_same_v<T, float>)
        SuperSampleSumRowsAdd32f<L>(srcRow, srcStep, width, nRows, acc, nChannels);
    else if constexpr (Packed && L != MultiCh)
        SuperSampleSumRowsAddMmx<T, L>(srcRow, srcStep, width, nRows, acc);
    else
        SuperSampleSumRowsModel<T, L, F>(srcRow, srcStep, width, nRows, acc, nChannels);
}
}  // namespace

// Packed: the member runs the vector body of its form where it has one.
#define VELMORA_SUMROWS_MULTI_DEFINE(name, T, F, Packed, target)                       \
    target void name(const T* srcRow, int32_t srcStep, int32_t width, int32_t nRows,   \
                     SuperSampleAcc<T>* acc, int32_t nChannels) {                      \
        SumRows<T, MultiCh, F, Packed>(srcRow, srcStep, width, nRows, acc, nChannels); \
    }
#define VELMORA_SUMROWS_DEFINE(name, T, L, F, Packed, target)                        \
    target void name(const T* srcRow, int32_t srcStep, int32_t width, int32_t nRows, \
                     SuperSampleAcc<T>* acc) {                                       \
        SumRows<T, L, F, Packed>(srcRow, srcStep, width, nRows, acc, 0);             \
    }

#define VELMORA_SUMROWS_MEMBERS(V, F, Packed, target)                                              \
    VELMORA_SUMROWS_MULTI_DEFINE(ResizeSuperSampleSumRowsMultiCh32f_##V, float, F, Packed, target) \
    VELMORA_SUMROWS_DEFINE(ResizeSuperSampleSumRowsOneCh8u_##V, uint8_t, OneCh, F, Packed, target) \
    VELMORA_SUMROWS_DEFINE(ResizeSuperSampleSumRowsOneCh16u_##V, uint16_t, OneCh, F, Packed,       \
                           target)                                                                 \
    VELMORA_SUMROWS_DEFINE(ResizeSuperSampleSumRowsOneCh32f_##V, float, OneCh, F, Packed, target)  \
    VELMORA_SUMROWS_DEFINE(ResizeSuperSampleSumRowsFourCh8u_##V, uint8_t, FourCh, F, Packed,       \
                           target)                                                                 \
    VELMORA_SUMROWS_DEFINE(ResizeSuperSampleSumRowsFourCh16u_##V, uint16_t, FourCh, F, Packed,     \
                           target)                                                                 \
    VELMORA_SUMROWS_DEFINE(ResizeSuperSampleSumRowsFourCh32f_##V, float, FourCh, F, Packed, target)
#define VELMORA_SUMROWS_INTEGER_MULTI_MEMBERS(V, F, target)                                       \
    VELMORA_SUMROWS_MULTI_DEFINE(ResizeSuperSampleSumRowsMultiCh8u_##V, uint8_t, F, true, target) \
    VELMORA_SUMROWS_MULTI_DEFINE(ResizeSuperSampleSumRowsMultiCh16u_##V, uint16_t, F, true, target)

#define VELMORA_NO_TARGET
#define VELMORA_SSE __attribute__((target("sse")))
#define VELMORA_SSE2 __attribute__((target("sse2")))
#define VELMORA_SSE3 __attribute__((target("sse3")))
#define VELMORA_SSSE3 __attribute__((target("ssse3")))

VELMORA_SUMROWS_MULTI_DEFINE(ResizeSuperSampleSumRowsMultiCh8u_Generic, uint8_t, RowSumForm::Add,
                             false, VELMORA_NO_TARGET)
VELMORA_SUMROWS_MULTI_DEFINE(ResizeSuperSampleSumRowsMultiCh16u_Generic, uint16_t, RowSumForm::Add,
                             false, VELMORA_NO_TARGET)
VELMORA_SUMROWS_MEMBERS(Generic, RowSumForm::Add, false, VELMORA_NO_TARGET)
VELMORA_SUMROWS_MEMBERS(Sse, RowSumForm::Add, true, VELMORA_SSE)
VELMORA_SUMROWS_INTEGER_MULTI_MEMBERS(Sse2, RowSumForm::Store, VELMORA_SSE2)
VELMORA_SUMROWS_MEMBERS(Sse2, RowSumForm::Store, true, VELMORA_SSE2)
VELMORA_SUMROWS_INTEGER_MULTI_MEMBERS(Sse3, RowSumForm::Store, VELMORA_SSE3)
VELMORA_SUMROWS_MEMBERS(Sse3, RowSumForm::Store, true, VELMORA_SSE3)
VELMORA_SUMROWS_INTEGER_MULTI_MEMBERS(Ssse3, RowSumForm::Store, VELMORA_SSSE3)
VELMORA_SUMROWS_MEMBERS(Ssse3, RowSumForm::Store, true, VELMORA_SSSE3)

}  // namespace velmora::resize

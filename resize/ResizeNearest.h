#pragma once

// Nearest-neighbour kernels of the kernel tables (rows 0 to 2): for every
// output pixel the samples of one source pixel are copied, 32f samples as
// their bit patterns. MultiCh copies samples 0-2 into pixels nChannels apart,
// OneCh one sample, FourCh four samples into pixels 4 apart. Samples of a
// destination pixel that are not copied are never touched.
//
// Members (all with the ResizeNearestKernel argument list): Generic (the Sse
// table uses them too), Sse2 (the Sse3 and Ssse3 tables use its FourCh
// members), and Sse3 (also the Ssse3 table's), which copies two columns a
// step. All members of one row and type give identical results.

#include <cstdint>

namespace velmora::resize {

#define VELMORA_RESIZE_NEAREST_DECLARE(name)                                                      \
    void name(const void* pSrc, void* pDst, int32_t dstStep, int32_t dstWidth, int32_t dstHeight, \
              const int32_t* rowOffsets, const int32_t* colOffsets, int32_t nChannels);

#define VELMORA_RESIZE_NEAREST_VARIANT(X, V) \
    X(ResizeNearestMultiCh8u_##V)            \
    X(ResizeNearestMultiCh16u_##V)           \
    X(ResizeNearestMultiCh32f_##V)           \
    X(ResizeNearestOneCh8u_##V) X(ResizeNearestOneCh16u_##V) X(ResizeNearestOneCh32f_##V)

VELMORA_RESIZE_NEAREST_VARIANT(VELMORA_RESIZE_NEAREST_DECLARE, Generic)
VELMORA_RESIZE_NEAREST_VARIANT(VELMORA_RESIZE_NEAREST_DECLARE, Sse2)
VELMORA_RESIZE_NEAREST_VARIANT(VELMORA_RESIZE_NEAREST_DECLARE, Sse3)
VELMORA_RESIZE_NEAREST_DECLARE(ResizeNearestFourCh8u_Generic)
VELMORA_RESIZE_NEAREST_DECLARE(ResizeNearestFourCh16u_Generic)
VELMORA_RESIZE_NEAREST_DECLARE(ResizeNearestFourCh32f_Generic)
VELMORA_RESIZE_NEAREST_DECLARE(ResizeNearestFourCh8u_Sse2)
VELMORA_RESIZE_NEAREST_DECLARE(ResizeNearestFourCh16u_Sse2)
VELMORA_RESIZE_NEAREST_DECLARE(ResizeNearestFourCh32f_Sse2)

}  // namespace velmora::resize

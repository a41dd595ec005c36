#pragma once

// Row kernels of the linear resize. A horizontal kernel filters one source
// row into a row buffer (RowH: four-sample pixels; RowHPart: samples 0-2 of
// pixels `nChannels` apart, three values per column; RowHOneCh: one sample);
// a vertical kernel blends two buffered rows into a destination row (RowV:
// `count` values; RowVPart: samples 0-2 of four-sample pixels, sample 3
// neither read nor written). Members serve the variants their kernel tables
// name; the arithmetic of every form is ResizeLinearRowModel.h. Nothing is
// checked; a width or count below 1 does nothing. Vector members need 16-byte
// aligned row buffers and column weights, and RowVPart 8u/16u members may
// read one buffer value past the last pixel.

#include <cstdint>

#include "resize/ResizeLinearRowModel.h"

namespace velmora::resize {

template <typename T>
using LinearRowHFn = void (*)(const T* srcRow, int32_t width, const int32_t* colOffsets,
                              const LinearColWeight<T>* colWeights, LinearBuf<T>* dstBuf);
template <typename T>
using LinearRowHPartFn = void (*)(const T* srcRow, int32_t width, int32_t nChannels,
                                  const int32_t* colOffsets, const LinearColWeight<T>* colWeights,
                                  LinearBuf<T>* dstBuf);
template <typename T>
using LinearRowVFn = void (*)(T* dstRow, int32_t count, LinearRowWeight<T> rowWeight,
                              const LinearBuf<T>* bufUpper, const LinearBuf<T>* bufLower);

#define VELMORA_LINEAR_ROWH(T, name)                                     \
    void name(const T* srcRow, int32_t width, const int32_t* colOffsets, \
              const LinearColWeight<T>* colWeights, LinearBuf<T>* dstBuf);
#define VELMORA_LINEAR_ROWHPART(T, name)                                                    \
    void name(const T* srcRow, int32_t width, int32_t nChannels, const int32_t* colOffsets, \
              const LinearColWeight<T>* colWeights, LinearBuf<T>* dstBuf);
#define VELMORA_LINEAR_ROWV(T, name)                                  \
    void name(T* dstRow, int32_t count, LinearRowWeight<T> rowWeight, \
              const LinearBuf<T>* bufUpper, const LinearBuf<T>* bufLower);

// 8u and 16u: Generic (also the Sse variant's), Sse2, Sse3, Ssse3.
#define VELMORA_LINEAR_INTEGER_ROWS(X, V)                                              \
    X(ResizeLinearRowH8u_##V, ResizeLinearRowHPart8u_##V, ResizeLinearRowHOneCh8u_##V, \
      ResizeLinearRowV8u_##V, ResizeLinearRowVPart8u_##V, ResizeLinearRowH16u_##V,     \
      ResizeLinearRowHOneCh16u_##V, ResizeLinearRowV16u_##V, ResizeLinearRowVPart16u_##V)
#define VELMORA_LINEAR_DECLARE_INTEGER(h8, hp8, h18, v8, vp8, h16, h116, v16, vp16) \
    VELMORA_LINEAR_ROWH(uint8_t, h8)                                                \
    VELMORA_LINEAR_ROWHPART(uint8_t, hp8)                                           \
    VELMORA_LINEAR_ROWH(uint8_t, h18)                                               \
    VELMORA_LINEAR_ROWV(uint8_t, v8)                                                \
    VELMORA_LINEAR_ROWV(uint8_t, vp8)                                               \
    VELMORA_LINEAR_ROWH(uint16_t, h16)                                              \
    VELMORA_LINEAR_ROWH(uint16_t, h116)                                             \
    VELMORA_LINEAR_ROWV(uint16_t, v16)                                              \
    VELMORA_LINEAR_ROWV(uint16_t, vp16)

VELMORA_LINEAR_INTEGER_ROWS(VELMORA_LINEAR_DECLARE_INTEGER, Generic)
VELMORA_LINEAR_INTEGER_ROWS(VELMORA_LINEAR_DECLARE_INTEGER, Sse2)
VELMORA_LINEAR_INTEGER_ROWS(VELMORA_LINEAR_DECLARE_INTEGER, Sse3)
VELMORA_LINEAR_INTEGER_ROWS(VELMORA_LINEAR_DECLARE_INTEGER, Ssse3)

// RowHPart 16u: Generic (Generic, Sse), Sse2, Sse3 (Sse3, Ssse3).
VELMORA_LINEAR_ROWHPART(uint16_t, ResizeLinearRowHPart16u_Generic)
VELMORA_LINEAR_ROWHPART(uint16_t, ResizeLinearRowHPart16u_Sse2)
VELMORA_LINEAR_ROWHPART(uint16_t, ResizeLinearRowHPart16u_Sse3)

// 32f RowH and RowHPart: Generic and Sse3 double; Sse and Sse2 (Sse2, Ssse3)
// single.
VELMORA_LINEAR_ROWH(float, ResizeLinearRowH32f_Generic)
VELMORA_LINEAR_ROWH(float, ResizeLinearRowH32f_Sse)
VELMORA_LINEAR_ROWH(float, ResizeLinearRowH32f_Sse2)
VELMORA_LINEAR_ROWH(float, ResizeLinearRowH32f_Sse3)
VELMORA_LINEAR_ROWHPART(float, ResizeLinearRowHPart32f_Generic)
VELMORA_LINEAR_ROWHPART(float, ResizeLinearRowHPart32f_Sse)
VELMORA_LINEAR_ROWHPART(float, ResizeLinearRowHPart32f_Sse2)
VELMORA_LINEAR_ROWHPART(float, ResizeLinearRowHPart32f_Sse3)
// 32f RowHOneCh: Generic double, every other member single.
VELMORA_LINEAR_ROWH(float, ResizeLinearRowHOneCh32f_Generic)
VELMORA_LINEAR_ROWH(float, ResizeLinearRowHOneCh32f_Sse)
VELMORA_LINEAR_ROWH(float, ResizeLinearRowHOneCh32f_Sse2)
VELMORA_LINEAR_ROWH(float, ResizeLinearRowHOneCh32f_Sse3)
VELMORA_LINEAR_ROWH(float, ResizeLinearRowHOneCh32f_Ssse3)
// 32f RowV: Generic double, every other member single. RowVPart: Generic
// double, Sse3 mixed, the others single.
VELMORA_LINEAR_ROWV(float, ResizeLinearRowV32f_Generic)
VELMORA_LINEAR_ROWV(float, ResizeLinearRowV32f_Sse)
VELMORA_LINEAR_ROWV(float, ResizeLinearRowV32f_Sse2)
VELMORA_LINEAR_ROWV(float, ResizeLinearRowV32f_Sse3)
VELMORA_LINEAR_ROWV(float, ResizeLinearRowV32f_Ssse3)
VELMORA_LINEAR_ROWV(float, ResizeLinearRowVPart32f_Generic)
VELMORA_LINEAR_ROWV(float, ResizeLinearRowVPart32f_Sse)
VELMORA_LINEAR_ROWV(float, ResizeLinearRowVPart32f_Sse2)
VELMORA_LINEAR_ROWV(float, ResizeLinearRowVPart32f_Sse3)
VELMORA_LINEAR_ROWV(float, ResizeLinearRowVPart32f_Ssse3)

}  // namespace velmora::resize

#pragma once

// The YUY2 <-> BGRA colour conversions of the image library: five members
// each, one per processor variant, their dispatch tables and the stubs that
// call the member of the selected variant (g_nCpuClass, CpuClass.h).
//
// Every member returns STS_OK, or STS_NULL_PTR_ERR for a null buffer and
// then STS_SIZE_ERR for a width below 2 or a height below 1. Row steps are
// signed byte distances and are not checked: a negative step walks the rows
// bottom-up. Nothing needs alignment and nothing is allocated.
//
// The Generic and Sse members use the 32-bit formula for every pixel; the
// Sse2, Sse3 and Ssse3 members convert blocks of 16 and 8 pixels with the
// 16-bit formula and the rest of each row with the 32-bit one, so their
// output differs from Generic's by at most 1 in some channels
// (ColorConvertModel.h).

#include <cstdint>

#include "av/CpuClass.h"

namespace velmora::av {

// pSrc, srcStep, pDst, dstStep, width, height, alpha (stored as every A).
using Yuy2ToBgraFunction = int32_t (*)(const uint8_t*, int32_t, uint8_t*, int32_t, int32_t, int32_t,
                                       uint8_t);
// pSrc, srcStep, pDst, dstStep, width, height. The source's A is not read.
using BgraToYuy2Function = int32_t (*)(const uint8_t*, int32_t, uint8_t*, int32_t, int32_t,
                                       int32_t);

int32_t Yuy2ToBgraGeneric(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                          int32_t width, int32_t height, uint8_t alpha);
int32_t Yuy2ToBgraSse(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                      int32_t width, int32_t height, uint8_t alpha);
int32_t Yuy2ToBgraSse2(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                       int32_t width, int32_t height, uint8_t alpha);
int32_t Yuy2ToBgraSse3(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                       int32_t width, int32_t height, uint8_t alpha);
int32_t Yuy2ToBgraSsse3(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                        int32_t width, int32_t height, uint8_t alpha);

int32_t BgraToYuy2Generic(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                          int32_t width, int32_t height);
int32_t BgraToYuy2Sse(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                      int32_t width, int32_t height);
int32_t BgraToYuy2Sse2(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                       int32_t width, int32_t height);
int32_t BgraToYuy2Sse3(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                       int32_t width, int32_t height);
int32_t BgraToYuy2Ssse3(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                        int32_t width, int32_t height);

// Indexed by CpuVariant.
extern const Yuy2ToBgraFunction Yuy2ToBgraDispatchTable[kCpuVariantCount];
extern const BgraToYuy2Function BgraToYuy2DispatchTable[kCpuVariantCount];

// Call the table entry of g_nCpuClass with the arguments unchanged.
int32_t Yuy2ToBgraDispatch(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                           int32_t width, int32_t height, uint8_t alpha);
int32_t BgraToYuy2Dispatch(const uint8_t* pSrc, int32_t srcStep, uint8_t* pDst, int32_t dstStep,
                           int32_t width, int32_t height);

// The widest vectors (128, 256 or 512 bits) that the Ssse3 members use on this
// processor: the same lane arithmetic on more lanes, so the results do not
// depend on it. Tests and benchmarks narrow it to reach each body; the
// processor's own limit always applies. Both return the width in effect.
int32_t ColorConvertVectorBits();
int32_t LimitColorConvertVectorBits(int32_t bits);

}  // namespace velmora::av

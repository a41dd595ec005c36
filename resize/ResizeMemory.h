#pragma once

// Working memory of the resize library: 32-byte aligned blocks from the C
// heap (through ResizeAllocHooks), and the two row utilities ZeroBytes_<V>
// and CopyRow32f_<V> with the clear and copy loops of each processor variant.
//
// A block handed out lies 8 to 39 bytes after the raw heap block, whose
// address is kept in the pointer-sized word just before it.

#include <cstddef>
#include <cstdint>

namespace velmora::resize {

// The C heap, in the order allocate, allocate zero-filled, reallocate,
// release. The allocators call only entry 0 and AlignedFree only entry 3.
struct ResizeAllocHookTable {
    void* (*allocate)(size_t bytes);
    void* (*allocateZeroed)(size_t count, size_t bytes);
    void* (*reallocate)(void* block, size_t bytes);
    void (*release)(void* block);
};
extern const ResizeAllocHookTable ResizeAllocHooks;

// Null when n < 1, when the byte size does not fit in size_t or when the heap
// has no memory. The _Sse3 members also prefetch the line 128 bytes on.
uint8_t* AlignedMalloc8u(int32_t n);
int16_t* AlignedMalloc16s(int32_t n);
int32_t* AlignedMalloc32s(int32_t n);
uint8_t* AlignedMalloc8u_Sse3(int32_t n);
int16_t* AlignedMalloc16s_Sse3(int32_t n);
int32_t* AlignedMalloc32s_Sse3(int32_t n);
// Null is ignored.
void AlignedFree(void* p);

// Clears n bytes from p: STS_NULL_PTR_ERR for a null p, then STS_SIZE_ERR for
// n < 1, else STS_OK. Nothing is written on failure.
int32_t ZeroBytes_Generic(void* p, int32_t n);
int32_t ZeroBytes_Sse(void* p, int32_t n);
int32_t ZeroBytes_Sse2(void* p, int32_t n);
int32_t ZeroBytes_Sse3(void* p, int32_t n);
int32_t ZeroBytes_Ssse3(void* p, int32_t n);

// Copies n 32-bit values from src to dst (distinct ranges): STS_NULL_PTR_ERR
// when either pointer is null, then STS_SIZE_ERR for n < 1, else STS_OK.
int32_t CopyRow32f_Generic(const void* src, void* dst, int32_t n);
int32_t CopyRow32f_Sse(const void* src, void* dst, int32_t n);
int32_t CopyRow32f_Sse2(const void* src, void* dst, int32_t n);
int32_t CopyRow32f_Sse3(const void* src, void* dst, int32_t n);
int32_t CopyRow32f_Ssse3(const void* src, void* dst, int32_t n);

// The clear and copy loops (n >= 1 bytes); each returns its destination.
void* ZeroBytesCore_Generic(void* p, size_t n);
void* ZeroBytesCore_Sse(void* p, size_t n);
void* ZeroBytesLargeCore_Sse(void* p, size_t n);
void* ZeroBytesCore_Sse2(void* p, size_t n);
void* ZeroBytesCore_Sse3(void* p, size_t n);
void* ZeroBytesCore_Ssse3(void* p, size_t n);
void* CopyBytesCore_Generic(void* dst, const void* src, size_t n);
void* CopyBytesCore_Sse(void* dst, const void* src, size_t n);
void* CopyBytesMidCore_Sse(void* dst, const void* src, size_t n);
void* CopyBytesLargeCore_Sse(void* dst, const void* src, size_t n);
void* CopyBytesCore_Sse2(void* dst, const void* src, size_t n);
void* CopyBytesCore_Sse3(void* dst, const void* src, size_t n);
void* CopyBytesCore_Ssse3(void* dst, const void* src, size_t n);

// Pairs {descriptor, size code} of the leaf-2 cache descriptors that name a
// second- or third-level cache, largest first, ended by descriptor 0. A size
// code c stands for (c >> 4) << ((c & 15) + 18) bytes.
extern const uint32_t CacheDescriptorSizes[26][2];

// The largest cache in bytes as the cache descriptors report it, 0 when no
// size is found (another vendor, a report of another form, no descriptor of
// the table). Asked afresh on every use.
uint64_t QueryCacheSize();

// Which loop a variant's clear or copy of n bytes from dst (and src) takes:
// true for the non-temporal one. They follow the loops' own decisions, so
// that tests can see the thresholds without timing anything.
bool ZeroBytesStreams_Sse(size_t n);
bool ZeroBytesStreams_Sse2(const void* p, size_t n);  // Sse2, Sse3 and Ssse3 alike
bool CopyBytesStreams_Sse(size_t n);
bool CopyBytesStreams_Sse2(const void* dst, const void* src, size_t n);
bool CopyBytesStreams_Sse3(const void* dst, const void* src, size_t n);
bool CopyBytesStreams_Ssse3(const void* dst, const void* src, size_t n);

// Test seam behind entry 0 of ResizeAllocHooks: the n-th allocation from now
// fails (1 the next one; 0 none). Returns how many allocations were asked for
// since the previous call.
int64_t SetResizeAllocFailure(int64_t n);

// Test seam: entries 0 and 3 use these heap functions instead of the C heap
// (null: the C heap again). Both must stay valid while blocks are out.
struct ResizeHeap {
    void* (*allocate)(size_t bytes);
    void (*release)(void* block);
};
void SetResizeHeap(const ResizeHeap* heap);

}  // namespace velmora::resize

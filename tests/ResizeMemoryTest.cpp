#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "CpuClassFake.h"
#include "ResizeTestSupport.h"
#include "resize/ResizeMemory.h"

namespace velmora::test {
namespace {

using namespace velmora::resize;

using ZeroFn = int32_t (*)(void*, int32_t);
using CopyFn = int32_t (*)(const void*, void*, int32_t);
constexpr ZeroFn kZero[] = {ZeroBytes_Generic, ZeroBytes_Sse, ZeroBytes_Sse2, ZeroBytes_Sse3,
                            ZeroBytes_Ssse3};
constexpr CopyFn kCopy[] = {CopyRow32f_Generic, CopyRow32f_Sse, CopyRow32f_Sse2, CopyRow32f_Sse3,
                            CopyRow32f_Ssse3};

TEST(ResizeMemory, AllocatorsAlignAndKeepTheRawPointer) {
    GuardedResizeHeap heap;
    using Alloc = void* (*)(int32_t);
    const Alloc allocators[] = {
        [](int32_t n) -> void* { return AlignedMalloc8u(n); },
        [](int32_t n) -> void* { return AlignedMalloc16s(n); },
        [](int32_t n) -> void* { return AlignedMalloc32s(n); },
        [](int32_t n) -> void* { return AlignedMalloc8u_Sse3(n); },
        [](int32_t n) -> void* { return AlignedMalloc16s_Sse3(n); },
        [](int32_t n) -> void* { return AlignedMalloc32s_Sse3(n); },
    };
    const size_t sizes[] = {1, 2, 4, 1, 2, 4};
    for (int a = 0; a < 6; ++a) {
        SetResizeAllocFailure(0);
        EXPECT_EQ(allocators[a](0), nullptr);
        EXPECT_EQ(allocators[a](-5), nullptr);
        EXPECT_EQ(SetResizeAllocFailure(0), 0) << "no heap call below one element";
        for (int32_t n : {1, 7, 33, 1000}) {
            auto* p = static_cast<uint8_t*>(allocators[a](n));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u);
            void* raw;
            std::memcpy(&raw, p - sizeof(void*), sizeof(void*));
            const ptrdiff_t gap = p - static_cast<uint8_t*>(raw);
            EXPECT_GE(gap, 8);
            EXPECT_LE(gap, 39);
            std::memset(p, 0xAB, n * sizes[a]);  // every usable byte lies inside the block
            AlignedFree(p);
        }
    }
    AlignedFree(nullptr);
    EXPECT_EQ(heap.Outstanding(), 0u);
}

TEST(ResizeMemory, FailureSeamFailsTheNthAllocation) {
    SetResizeAllocFailure(2);
    int32_t* first = AlignedMalloc32s(4);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(AlignedMalloc32s(4), nullptr);
    int32_t* third = AlignedMalloc32s(4);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(SetResizeAllocFailure(0), 3);
    AlignedFree(first);
    AlignedFree(third);
}

TEST(ResizeMemory, UtilitiesCheckNullBeforeSize) {
    uint8_t byte = 7;
    for (int v = 0; v < 5; ++v) {
        EXPECT_EQ(kZero[v](nullptr, 0), STS_NULL_PTR_ERR);
        EXPECT_EQ(kZero[v](&byte, 0), STS_SIZE_ERR);
        EXPECT_EQ(kZero[v](&byte, -1), STS_SIZE_ERR);
        EXPECT_EQ(kCopy[v](nullptr, &byte, 0), STS_NULL_PTR_ERR);
        EXPECT_EQ(kCopy[v](&byte, nullptr, 1), STS_NULL_PTR_ERR);
        EXPECT_EQ(kCopy[v](&byte, &byte + 0, 0), STS_SIZE_ERR);
        EXPECT_EQ(byte, 7);
    }
}

// Every variant writes exactly the bytes asked for, at every alignment and
// on both sides of the block and tail sizes, right up to a guard page.
TEST(ResizeMemory, ClearAndCopyWriteExactlyTheirRange) {
    for (int v = 0; v < 5; ++v) {
        // Sizes on both sides of the Sse loop changes: 2048 and 4096 values
        // (copies), 20480 bytes (clears).
        for (int32_t n : {1,  3,  4,   15,   16,   17,   31,   32,   33,    63,
                          64, 65, 200, 1031, 2047, 2048, 4095, 4096, 20479, 20480}) {
            for (int32_t offset = 0; offset < 16; ++offset) {
                for (Flush flush : {Flush::Front, Flush::Back}) {
                    const int32_t bytes = n + 32;
                    GuardedRegion region(static_cast<size_t>(bytes), flush);
                    std::memset(region.data(), 0x5A, bytes);
                    const int32_t start = flush == Flush::Back ? bytes - n : offset;
                    ASSERT_EQ(kZero[v](region.data() + start, n), STS_OK);
                    for (int32_t i = 0; i < bytes; ++i) {
                        const bool inside = i >= start && i < start + n;
                        ASSERT_EQ(region.data()[i], inside ? 0 : 0x5A)
                            << "variant " << v << " n " << n << " at " << i;
                    }
                }
                // Copies of n values, destination and source at any offset.
                const int32_t bytes = 4 * n + 32;
                GuardedRegion src(static_cast<size_t>(4 * n), Flush::Back);
                GuardedRegion dst(static_cast<size_t>(bytes), Flush::Front);
                for (int32_t i = 0; i < 4 * n; ++i)
                    src.data()[i] = static_cast<uint8_t>(i * 7 + 1);
                std::memset(dst.data(), 0xEE, bytes);
                ASSERT_EQ(kCopy[v](src.data(), dst.data() + offset, n), STS_OK);
                for (int32_t i = 0; i < bytes; ++i) {
                    const bool inside = i >= offset && i < offset + 4 * n;
                    ASSERT_EQ(dst.data()[i], inside ? src.data()[i - offset] : 0xEE)
                        << "variant " << v << " n " << n << " offset " << offset;
                }
            }
        }
    }
}

// The copy loops at byte level: every source alignment (the length steps
// through 16 values with the source's end on a guard page), every
// destination offset, sizes that take the small copy, the aligning move, the
// block loops of each source alignment and either direction.
using CopyCoreFn = void* (*)(void*, const void*, size_t);
TEST(ResizeMemory, CopyLoopsCopyExactlyTheirRange) {
    const CopyCoreFn cores[] = {CopyBytesCore_Generic,  CopyBytesCore_Sse,  CopyBytesMidCore_Sse,
                                CopyBytesLargeCore_Sse, CopyBytesCore_Sse2, CopyBytesCore_Sse3,
                                CopyBytesCore_Ssse3};
    for (size_t base : {1u, 17u, 48u, 64u, 90u, 160u, 500u, 1000u, 4100u, 24600u}) {
        for (size_t n = base; n<base + 16; n += base> 4096 ? 5 : 1) {
            GuardedRegion src(n, Flush::Back);
            for (size_t i = 0; i < n; ++i)
                src.data()[i] = static_cast<uint8_t>(i * 7 + 1);
            // The destination at the start of a page, or 48 bytes below the
            // source in the page order (the forward direction).
            const size_t below =
                (reinterpret_cast<uintptr_t>(src.data()) + 4096 - 48) % 4096 / 16 * 16;
            for (size_t offset = 0; offset < 32; ++offset) {
                const size_t start = offset < 16 ? offset : below + offset - 16;
                for (size_t c = 0; c < std::size(cores); ++c) {
                    const size_t bytes = start + n + 32;
                    GuardedRegion dst(bytes, Flush::Front);
                    std::memset(dst.data(), 0xEE, bytes);
                    ASSERT_EQ(cores[c](dst.data() + start, src.data(), n), dst.data() + start);
                    for (size_t i = 0; i < bytes; ++i) {
                        const bool inside = i >= start && i < start + n;
                        ASSERT_EQ(dst.data()[i], inside ? src.data()[i - start] : 0xEE)
                            << "core " << c << " n " << n << " start " << start << " at " << i;
                    }
                }
            }
        }
    }
}

// A GenuineIntel processor whose leaf 2 reports `descriptor`.
FakeCpu CacheCpu(bool intel, uint32_t descriptor, uint32_t leaf2Count = 1) {
    FakeCpu cpu = MakeFakeCpu(intel, 6, kMmx | kSse | kSse2 | kSse3 | kSsse3);
    cpu.leaves[2] = {leaf2Count | (descriptor << 8), 0x80000000u, 0, 0};
    return cpu;
}

TEST(ResizeMemory, CacheSizeFollowsVendorAndDescriptors) {
    {
        const FakeCpu cpu = CacheCpu(true, 0x4D);
        ScopedCpuidSource scope(cpu);
        EXPECT_EQ(QueryCacheSize(), 16u << 20);
    }
    {
        const FakeCpu cpu = CacheCpu(true, 0x43);
        ScopedCpuidSource scope(cpu);
        EXPECT_EQ(QueryCacheSize(), 512u << 10);
    }
    {
        const FakeCpu cpu = CacheCpu(true, 0x4C);  // 12 MiB
        ScopedCpuidSource scope(cpu);
        EXPECT_EQ(QueryCacheSize(), 12u << 20);
    }
    for (const FakeCpu& cpu :
         {CacheCpu(false, 0x4D), CacheCpu(true, 0x4D, 2), CacheCpu(true, 0x30)}) {
        ScopedCpuidSource scope(cpu);
        EXPECT_EQ(QueryCacheSize(), 0u);
    }
    {
        // The largest size named wins, whatever the register order.
        FakeCpu cpu = CacheCpu(true, 0x43);
        cpu.leaves[2].ebx = 0x00004900;  // 4 MiB in a kept register
        ScopedCpuidSource scope(cpu);
        EXPECT_EQ(QueryCacheSize(), 4u << 20);
    }
}

TEST(ResizeMemory, StreamingThresholds) {
    EXPECT_FALSE(ZeroBytesStreams_Sse(20479));
    EXPECT_TRUE(ZeroBytesStreams_Sse(20480));
    EXPECT_FALSE(CopyBytesStreams_Sse(4 * 2047));
    EXPECT_TRUE(CopyBytesStreams_Sse(4 * 2048));

    alignas(64) static uint8_t block[64];
    const FakeCpu cpu = CacheCpu(true, 0x43);  // 512 KiB
    {
        ScopedCpuidSource scope(cpu);
        EXPECT_FALSE(ZeroBytesStreams_Sse2(block, 524288));
        EXPECT_TRUE(ZeroBytesStreams_Sse2(block, 524289));
        EXPECT_FALSE(CopyBytesStreams_Sse2(block, block, 131072));
        EXPECT_TRUE(CopyBytesStreams_Sse2(block, block, 262144));
        EXPECT_FALSE(CopyBytesStreams_Sse3(block, block, 524287));
        EXPECT_TRUE(CopyBytesStreams_Sse3(block, block, 524288));
        EXPECT_FALSE(CopyBytesStreams_Ssse3(block, block, 1048575));
        EXPECT_TRUE(CopyBytesStreams_Ssse3(block, block, 1048576));
        // Sse3 with a destination it had to align: only a source that is
        // still unaligned is tested.
        EXPECT_FALSE(CopyBytesStreams_Sse3(block + 4, block + 4, 1 << 21));
        EXPECT_TRUE(CopyBytesStreams_Sse3(block + 4, block + 8, 1 << 21));
    }
    const FakeCpu other = CacheCpu(false, 0x43);
    ScopedCpuidSource scope(other);
    EXPECT_FALSE(ZeroBytesStreams_Sse2(block, 8 << 20));
    EXPECT_FALSE(CopyBytesStreams_Ssse3(block, block, 8 << 20));
}

TEST(ResizeMemory, LargeStreamingClearAndCopyAreExact) {
    const FakeCpu cpu = CacheCpu(true, 0x43);
    ScopedCpuidSource scope(cpu);
    const int32_t values = (1 << 20) / 4 + 7;
    std::vector<uint32_t> src(values), dst(values + 2, 0xFFFFFFFFu);
    for (int32_t i = 0; i < values; ++i)
        src[i] = static_cast<uint32_t>(i + 1) * 2654435761u;
    for (int v = 0; v < 5; ++v) {
        std::fill(dst.begin(), dst.end(), 0xFFFFFFFFu);
        ASSERT_EQ(kCopy[v](src.data(), dst.data() + 1, values), STS_OK);
        EXPECT_TRUE(std::equal(src.begin(), src.end(), dst.begin() + 1));
        EXPECT_EQ(dst.front(), 0xFFFFFFFFu);
        EXPECT_EQ(dst.back(), 0xFFFFFFFFu);
        ASSERT_EQ(kZero[v](reinterpret_cast<uint8_t*>(dst.data() + 1) + 1, 4 * values - 2), STS_OK);
        EXPECT_EQ(dst[1], src[0] & 0x000000FFu);
        EXPECT_EQ(dst[values], src[values - 1] & 0xFF000000u);
        EXPECT_EQ(dst[values / 2], 0u);
        EXPECT_EQ(dst.back(), 0xFFFFFFFFu);
    }
}

// The streaming copies byte by byte: a whole 256 KiB block or more with the
// last partial block empty, below 16, and with whole units before the small
// copy; every kind of destination offset and, through the length, of source
// alignment; the source's end on a guard page (the last line is read in
// from the end) and nothing written outside the range.
TEST(ResizeMemory, StreamingCopiesCopyExactlyTheirRange) {
    const FakeCpu cpu = CacheCpu(true, 0x43);  // 512 KiB: streaming from 256 KiB
    ScopedCpuidSource scope(cpu);
    struct Core {
        CopyCoreFn copy;
        bool (*streams)(const void*, const void*, size_t);
        size_t from;
    };
    const Core cores[] = {{CopyBytesCore_Sse2, CopyBytesStreams_Sse2, 262144},
                          {CopyBytesCore_Sse3, CopyBytesStreams_Sse3, 524288},
                          {CopyBytesCore_Ssse3, CopyBytesStreams_Ssse3, 1048576}};
    for (const Core& core : cores) {
        // Sse3 and Ssse3 do not stream a source that aligning the destination
        // has aligned too: those copies take the ordinary loops.
        int streamed = 0;
        for (size_t extra : {0u, 1u, 15u, 17u, 31u, 63u, 100u, 262144u + 45u}) {
            for (size_t offset : {0u, 1u, 8u, 12u, 15u}) {
                const size_t n = core.from + extra + offset;
                GuardedRegion src(n, Flush::Back);
                for (size_t i = 0; i < n; ++i)
                    src.data()[i] = static_cast<uint8_t>(i * 13 + i / 4093);
                const size_t bytes = offset + n + 32;
                GuardedRegion dst(bytes, Flush::Front);
                std::memset(dst.data(), 0xEE, bytes);
                streamed += core.streams(dst.data() + offset, src.data(), n) ? 1 : 0;
                ASSERT_EQ(core.copy(dst.data() + offset, src.data(), n), dst.data() + offset);
                ASSERT_EQ(std::memcmp(dst.data() + offset, src.data(), n), 0)
                    << "n " << n << " offset " << offset;
                for (size_t i = 0; i < bytes; ++i) {
                    if (i < offset || i >= offset + n) {
                        ASSERT_EQ(dst.data()[i], 0xEE) << i;
                    }
                }
            }
        }
        EXPECT_GE(streamed, 30);
    }
}

}  // namespace
}  // namespace velmora::test

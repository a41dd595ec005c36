// Processor detection against made-up processors, and the processor-state
// routines on the real one.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "CpuClassFake.h"
#include "av/CpuClass.h"

namespace velmora::test {
namespace {

using namespace velmora::av;

struct DetectionCase {
    const char* what;
    bool intel;
    uint32_t family;
    uint32_t features;
    uint32_t cores;
    int32_t type;
    int32_t variant;
};

// Expected codes worked out by hand from the detection rules.
constexpr DetectionCase kDetectionCases[] = {
    {"Intel family 5 with MMX", true, 5, kMmx, 1, 2, Generic},
    {"Intel family 5", true, 5, 0, 1, 1, Generic},
    {"Intel family 6, SSE only", true, 6, kMmx | kSse, 1, 5, Sse},
    {"Intel family 6, MMX only", true, 6, kMmx, 1, 4, Generic},
    {"Intel family 6, nothing", true, 6, 0, 1, 3, Generic},
    {"Intel family 6, SSSE3, 4 cores", true, 6, kSse | kSse2 | kSse3 | kSsse3, 4, 34, Ssse3},
    {"Intel family 6, SSSE3, 2 cores", true, 6, kSse | kSse2 | kSse3 | kSsse3, 2, 33, Ssse3},
    {"Intel family 6, SSE2 without SSE3", true, 6, kSse | kSse2, 4, 9, Sse2},
    {"Intel family 6, SSE3, 1 core", true, 6, kSse | kSse2 | kSse3, 1, 10, Sse3},
    {"Intel family 6, SSE3, 2 cores", true, 6, kSse | kSse2 | kSse3, 2, 11, Sse3},
    {"Intel family 7", true, 7, kSse | kSse2 | kSse3 | kSsse3, 4, 16, Sse},
    {"Intel family 15 without SSE2", true, 15, kMmx | kSse, 1, 17, Sse},
    {"Intel family 15, SSE2 and SSSE3 without SSE3", true, 15, kSse2 | kSsse3, 1, 67, Ssse3},
    {"Intel family 15, SSE2, hyper-threading", true, 15, kSse2 | kHyperThreading, 1, 7, Sse2},
    {"Intel family 15, SSE2", true, 15, kSse2, 1, 6, Sse2},
    {"Intel family 15, SSE3 without Intel 64", true, 15, kSse2 | kSse3, 1, 8, Sse3},
    {"Intel family 15, SSE3 and Intel 64", true, 15, kSse2 | kSse3 | kIntel64, 1, 32, Sse3},
    {"Intel family 15, SSSE3, 4 cores", true, 15, kSse2 | kSse3 | kSsse3 | kIntel64, 4, 34, Ssse3},
    {"Intel family 15, SSSE3, 2 cores", true, 15, kSse2 | kSse3 | kSsse3 | kIntel64, 2, 33, Ssse3},
    {"Intel family 4 goes by features", true, 4, kSse | kSse2, 1, 65, Sse2},
    {"other vendor, SSSE3", false, 6, kSse | kSse2 | kSse3 | kSsse3, 8, 67, Ssse3},
    {"other vendor, SSE3", false, 15, kSse | kSse2 | kSse3, 8, 66, Sse3},
    {"other vendor, SSE2", false, 15, kSse | kSse2, 8, 65, Sse2},
    {"other vendor, SSE", false, 6, kSse, 1, 64, Sse},
    {"other vendor, Intel 64 only", false, 15, kIntel64, 1, 68, Generic},
    {"other vendor, nothing", false, 5, kMmx, 1, 0, Generic},
};

TEST(CpuClassTest, DetectionTableWithFakeCpuid) {
    for (const auto& c : kDetectionCases) {
        SCOPED_TRACE(c.what);
        const FakeCpu cpu = MakeFakeCpu(c.intel, c.family, c.features, c.cores);
        ScopedCpuidSource scope(cpu);
        EXPECT_EQ(DetectCpuType(), c.type);
        EXPECT_EQ(SelectCpuVariant(), c.intel ? 0 : kCpuNotGenuineIntel);
        EXPECT_EQ(g_nCpuClass.load(), c.variant);
    }
}

TEST(CpuClassTest, NoCpuidOrFewLeavesFallBack) {
    FakeCpu none = MakeFakeCpu(true, 6, kSse | kSse2 | kSse3 | kSsse3, 4);
    none.hasCpuid = false;
    {
        ScopedCpuidSource scope(none);
        EXPECT_EQ(DetectCpuType(), 0);
        EXPECT_EQ(SelectCpuVariant(), kCpuNotGenuineIntel);
        EXPECT_EQ(g_nCpuClass.load(), Generic);
        EXPECT_EQ(GetCoresPerPackage(), 1);
        EXPECT_EQ(HasSse2(), 0);
        EXPECT_EQ(IsGenuineIntel(), 0);
    }
    // Below leaf 4 the core count is 1; without the extended leaf there is no
    // Intel 64 whatever its bit says.
    FakeCpu old = MakeFakeCpu(true, 6, kSse | kSse2 | kSse3 | kSsse3, 4, 3);
    FakeCpu noExtended = MakeFakeCpu(true, 15, kSse2 | kSse3 | kIntel64, 1);
    noExtended.leaves[0x80000000u].eax = 0x80000000u;
    {
        ScopedCpuidSource scope(old);
        EXPECT_EQ(DetectCpuType(), 33);
    }
    {
        ScopedCpuidSource scope(noExtended);
        EXPECT_EQ(DetectCpuType(), 8);
        EXPECT_EQ(HasIntel64(), 0);
    }
}

TEST(CpuClassTest, VariantRuleCoversEveryCode) {
    for (int32_t code = -1; code < 200; ++code) {
        int32_t expected = Generic;
        if (code == 5 || code == 16 || code == 17 || code == 64) expected = Sse;
        if (code == 6 || code == 7 || code == 9 || code == 65) expected = Sse2;
        if (code == 8 || code == 10 || code == 11 || code == 32 || code == 66) expected = Sse3;
        if (code == 33 || code == 34 || code == 35 || code == 67) expected = Ssse3;
        EXPECT_EQ(CpuTypeToVariant(code), expected) << code;
    }
}

TEST(CpuClassTest, FeatureRecordAndProbes) {
    FakeCpu cpu = MakeFakeCpu(true, 6, kMmx | kSse | kSse2 | kSse3 | kSsse3 | kHyperThreading, 6);
    cpu.leaves[1].eax = 0x000206A7;  // type 0, family 6, model 10, stepping 7
    cpu.leaves[1].edx |= 1u << 4;
    cpu.leaves[2] = {0x665B5001, 0, 0, 0x007A7000};
    ScopedCpuidSource scope(cpu);
    CPU_FEATURE_RECORD record{};
    record.reserved = 0xDEAD;
    GetCpuFeatureRecord(&record);
    EXPECT_EQ(record.family, 6u);
    EXPECT_EQ(record.model, 10u);
    EXPECT_EQ(record.stepping, 7u);
    EXPECT_EQ(record.processorType, 0u);
    EXPECT_EQ(record.featureWord, cpu.leaves[1].edx);
    EXPECT_EQ(record.leaf2Eax, 0x665B5001u);
    EXPECT_EQ(record.leaf2Edx, 0x007A7000u);
    EXPECT_EQ(record.reserved, 0xDEADu);
    EXPECT_EQ(record.coresPerPackage, 6u);
    const uint32_t flags[] = {record.mmx,  record.sse,     record.sse2, record.hyperThreading,
                              record.sse3, record.intel64, record.ssse3};
    const uint32_t expected[] = {1, 1, 1, 1, 1, 0, 1};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(flags[i], expected[i]) << i;
    EXPECT_EQ(HasTsc() + HasMmx() + HasSse() + HasSse2() + HasSse3() + HasSsse3(), 6);
    EXPECT_EQ(HasHyperThreading(), 1);
    EXPECT_EQ(GetMaxCpuidLeaf(), 4u);
}

TEST(CpuClassTest, CacheDescriptorLookup) {
    FakeCpu cpu = MakeFakeCpu(true, 6, kSse2);
    // EAX: one query, descriptors 0x50, 0x5B, 0x66; EBX empty (bit 31);
    // ECX 0; EDX descriptors 0x70, 0x7A.
    cpu.leaves[2] = {0x665B5001, 0x80000044, 0, 0x007A7000};
    const uint32_t table[] = {0x44, 1, 0x1234567A, 2, 0x5B, 3, 0};
    const uint32_t missing[] = {0x44, 1, 0x99, 2, 0};
    ScopedCpuidSource scope(cpu);
    EXPECT_EQ(LookupCacheDescriptor(table), 2);  // first entry that matches, in table order
    EXPECT_EQ(LookupCacheDescriptor(missing), -1);
    EXPECT_EQ(LookupCacheDescriptor(nullptr), -1);
    const uint32_t queryCount[] = {0x01, 7, 0};  // the count byte is not a descriptor
    EXPECT_EQ(LookupCacheDescriptor(queryCount), -1);
    cpu.leaves[2].eax = 0x665B5002;
    EXPECT_EQ(LookupCacheDescriptor(table), -1);
    cpu.leaves[2] = {0x80000001, 0x80000000, 0x80000000, 0x80000000};
    EXPECT_EQ(LookupCacheDescriptor(table), -1);
}

TEST(CpuClassTest, RunningProcessorSelectsVectorVariant) {
    // Any x86-64 processor has SSE2, whoever made it.
    SelectCpuVariant();
    EXPECT_GE(g_nCpuClass.load(), Sse2);
    EXPECT_EQ(HasSse2(), 1);
    EXPECT_EQ(IsCpuidSupported(), 1);
}

TEST(CpuClassTest, FloatingPointStateRoutines) {
    const uint32_t savedControl = GetX87ControlWord();
    const uint32_t flags = SetFpControl(0x300, 0x300);
    EXPECT_EQ(flags & 0x300u, 0x300u);
    EXPECT_EQ(GetX87ControlWord() & 0xC00u, 0xC00u);
    // 24-bit precision both ways; the exception masks survive.
    EXPECT_EQ(SetFpControl(0x30000, 0x30000) & 0x30000u, 0x30000u);
    EXPECT_EQ(GetX87ControlWord() & 0x300u, 0u);
    EXPECT_EQ(GetX87ControlWord() & 0x3Fu, savedControl & 0x3Fu);
    EXPECT_EQ(SetX87ControlWord(0x000, 0xC00) & 0xC00u, 0xC00u);
    SetX87ControlBits(0x400, 0xC00);
    EXPECT_EQ(GetX87ControlWord() & 0xC00u, 0x400u);
    LoadX87ControlWord(savedControl);
    EXPECT_EQ(GetX87ControlWord(), savedControl);

    const uint32_t savedMxcsr = GetMxcsr();
    EXPECT_EQ(SetMxcsr(0x6000, 0x6000), savedMxcsr);
    EXPECT_EQ(GetMxcsr() & 0x6000u, 0x6000u);
    SetMxcsrRounding(0x2000);
    EXPECT_EQ(GetMxcsr() & 0x6000u, 0x2000u);
    ResetMxcsr();
    EXPECT_EQ(GetMxcsr() & 0xFFC0u, 0x1F80u);
    LoadMxcsr(savedMxcsr);

    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(IsNaN(inf), 0);
    EXPECT_EQ(IsNaN(nan), 1);
    EXPECT_EQ(IsFinite(inf), 0);
    EXPECT_EQ(IsFinite(nan), 0);
    EXPECT_EQ(IsFinite(-1e308), 1);
    EXPECT_EQ(IsNaN(0.0), 0);
}

// Reserved MXCSR bits fault when loaded; the loads keep to the writable ones.
TEST(CpuClassTest, MxcsrLoadsKeepToTheWritableBits) {
    const uint32_t writable = MxcsrWritableBits();
    EXPECT_EQ(writable & 0xFFBFu, 0xFFBFu);  // every processor with SSE writes these
    EXPECT_EQ(writable == kDefaultMxcsrMask || writable == SavedMxcsrMask(), true);

    const uint32_t saved = GetMxcsr();
    EXPECT_EQ(SetMxcsr(0xFFFF1F80, 0xFFFFFFFF), saved);
    EXPECT_EQ(GetMxcsr(), 0xFFFF1F80u & writable);
    LoadMxcsr(0xFFFFFFFF);
    EXPECT_EQ(GetMxcsr(), writable);
    SetMxcsrRounding(0x4000);
    EXPECT_EQ(GetMxcsr(), (writable & ~0x6000u) | 0x4000u);
    LoadMxcsr(saved);
    EXPECT_EQ(GetMxcsr(), saved);
}

}  // namespace
}  // namespace velmora::test

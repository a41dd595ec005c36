#pragma once

// A processor made up for the detection tests: cpuid leaves answered from a
// table, installed as the detection source for the lifetime of a scope.

#include <map>

#include "av/CpuClass.h"

namespace velmora::test {

struct FakeCpu final : av::CpuidSource {
    bool hasCpuid = true;
    std::map<uint32_t, av::CpuidRegisters> leaves;

    bool IdFlagToggles() const override { return hasCpuid; }
    av::CpuidRegisters Query(uint32_t leaf, uint32_t) const override {
        const auto it = leaves.find(leaf);
        return it == leaves.end() ? av::CpuidRegisters{} : it->second;
    }
};

enum FakeFeature : uint32_t {
    kMmx = 1u << 0,
    kSse = 1u << 1,
    kSse2 = 1u << 2,
    kSse3 = 1u << 3,
    kSsse3 = 1u << 4,
    kIntel64 = 1u << 5,
    kHyperThreading = 1u << 6,  // the flag and two logical processors
};

inline FakeCpu MakeFakeCpu(bool intel, uint32_t family, uint32_t features, uint32_t cores = 1,
                           uint32_t maxLeaf = 4) {
    FakeCpu cpu;
    // "GenuineIntel" or "AuthenticAMD" in EBX, EDX, ECX.
    cpu.leaves[0] = intel ? av::CpuidRegisters{maxLeaf, 0x756E6547u, 0x6C65746Eu, 0x49656E69u}
                          : av::CpuidRegisters{maxLeaf, 0x68747541u, 0x444D4163u, 0x69746E65u};
    av::CpuidRegisters leaf1;
    leaf1.eax = (family & 0xF) << 8;
    if (features & kMmx) leaf1.edx |= 1u << 23;
    if (features & kSse) leaf1.edx |= 1u << 25;
    if (features & kSse2) leaf1.edx |= 1u << 26;
    if (features & kHyperThreading) {
        leaf1.edx |= 1u << 28;
        leaf1.ebx |= 2u << 16;
    }
    if (features & kSse3) leaf1.ecx |= 1u;
    if (features & kSsse3) leaf1.ecx |= 1u << 9;
    cpu.leaves[1] = leaf1;
    cpu.leaves[4] = {(cores - 1) << 26, 0, 0, 0};
    cpu.leaves[0x80000000u] = {0x80000008u, 0, 0, 0};
    cpu.leaves[0x80000001u] = {0, 0, 0, (features & kIntel64) ? 1u << 29 : 0u};
    return cpu;
}

class ScopedCpuidSource {
  public:
    explicit ScopedCpuidSource(const av::CpuidSource& source)
        : m_previous(av::SetCpuidSource(&source)) {}
    ~ScopedCpuidSource() { av::SetCpuidSource(m_previous); }
    ScopedCpuidSource(const ScopedCpuidSource&) = delete;
    ScopedCpuidSource& operator=(const ScopedCpuidSource&) = delete;

  private:
    const av::CpuidSource* m_previous;
};

}  // namespace velmora::test

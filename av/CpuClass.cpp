#include "av/CpuClass.h"

#include <cpuid.h>
#include <x86intrin.h>

#include <cstring>

#if !defined(__x86_64__)
#error "the processor routines are written for x86-64"
#endif

namespace velmora::av {

std::atomic<int32_t> g_nCpuClass{Generic};

namespace {

class HardwareSource final : public CpuidSource {
  public:
    bool IdFlagToggles() const override {
        constexpr uint64_t kIdFlag = 1u << 21;
        const uint64_t original = __readeflags();
        __writeeflags(original ^ kIdFlag);
        const uint64_t toggled = __readeflags();
        __writeeflags(original);
        return ((original ^ toggled) & kIdFlag) != 0;
    }
    CpuidRegisters Query(uint32_t leaf, uint32_t subleaf) const override {
        CpuidRegisters r;
        __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
        return r;
    }
};

const HardwareSource g_hardware;
std::atomic<const CpuidSource*> g_source{nullptr};

// The detection result, kept so that the conversions do not run cpuid ten
// times per frame: bit 31 set when valid, the variant in bits 8-15 and the
// status in bits 0-7.
std::atomic<uint32_t> g_cachedSelection{0};
constexpr uint32_t kCacheValid = 0x80000000u;

const CpuidSource& Source() {
    const CpuidSource* source = g_source.load(std::memory_order_acquire);
    return source != nullptr ? *source : g_hardware;
}

uint32_t Bit(uint32_t word, int bit) {
    return (word >> bit) & 1u;
}

CpuidRegisters Leaf1() {
    return Source().Query(1, 0);
}

uint32_t HighestExtendedLeaf() {
    return Source().Query(0x80000000u, 0).eax;
}

uint32_t Intel64Flag() {
    if (HighestExtendedLeaf() < 0x80000001u) return 0;
    return Bit(Source().Query(0x80000001u, 0).edx, 29);
}

uint32_t HyperThreadingFlag(const CpuidRegisters& leaf1) {
    const uint32_t logicalProcessors = (leaf1.ebx >> 16) & 0xFF;
    return (Bit(leaf1.edx, 28) != 0 && logicalProcessors > 1) ? 1 : 0;
}

int32_t DetectIntelFamily(const CPU_FEATURE_RECORD& r, bool* decided) {
    *decided = true;
    switch (r.family) {
        case 7:
            return 16;
        case 5:
            return r.mmx ? 2 : 1;
        case 6:
            if (!r.sse2) return r.sse ? 5 : (r.mmx ? 4 : 3);
            if (r.ssse3) return GetCoresPerPackage() > 2 ? 34 : 33;
            if (!r.sse3) return 9;
            return GetCoresPerPackage() > 1 ? 11 : 10;
        case 15:
            if (!r.sse2) return 17;
            if (!r.sse3) return r.ssse3 ? 67 : (r.hyperThreading ? 7 : 6);
            if (!r.intel64) return 8;
            if (!r.ssse3) return 32;
            return GetCoresPerPackage() > 2 ? 34 : 33;
        default:
            *decided = false;
            return 0;
    }
}

// x87 control-word fields and their abstract counterparts.
struct FlagPair {
    uint32_t x87;
    uint32_t abstract;
};
constexpr FlagPair kExceptionFlags[] = {
    {0x01, 0x10}, {0x02, 0x80000}, {0x04, 0x08}, {0x08, 0x04}, {0x10, 0x02}, {0x20, 0x01},
};
constexpr uint32_t kX87Rounding = 0xC00;
constexpr uint32_t kX87Precision = 0x300;
constexpr uint32_t kX87Infinity = 0x1000;
constexpr uint32_t kAbstractRounding = 0x300;
constexpr uint32_t kAbstractPrecision = 0x30000;
constexpr uint32_t kAbstractInfinity = 0x40000;

uint32_t ExceptionsToAbstract(uint32_t word) {
    uint32_t flags = 0;
    for (const auto& pair : kExceptionFlags) {
        if (word & pair.x87) flags |= pair.abstract;
    }
    return flags;
}

uint32_t ControlToAbstract(uint32_t word) {
    uint32_t flags = ExceptionsToAbstract(word);
    flags |= ((word & kX87Rounding) >> 10) << 8;
    switch (word & kX87Precision) {
        case 0x200:
            flags |= 0x10000;
            break;
        case 0x000:
            flags |= 0x20000;
            break;
        default:  // 0x300 (64-bit) and the reserved 0x100
            break;
    }
    if (word & kX87Infinity) flags |= kAbstractInfinity;
    return flags;
}

// Bits of the control word that have no abstract flag are kept as they are.
uint32_t AbstractToControl(uint32_t flags, uint32_t oldWord) {
    uint32_t word = oldWord & ~(0x3Fu | kX87Rounding | kX87Precision | kX87Infinity);
    for (const auto& pair : kExceptionFlags) {
        if (flags & pair.abstract) word |= pair.x87;
    }
    word |= ((flags & kAbstractRounding) >> 8) << 10;
    switch (flags & kAbstractPrecision) {
        case 0x00000:
            word |= 0x300;
            break;
        case 0x10000:
            word |= 0x200;
            break;
        default:  // 0x20000 and 0x30000: 24-bit
            break;
    }
    if (flags & kAbstractInfinity) word |= kX87Infinity;
    return word;
}

uint64_t DoubleBits(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

constexpr uint64_t kExponentMask = 0x7FF0000000000000ull;
constexpr uint64_t kMantissaMask = 0x000FFFFFFFFFFFFFull;

}  // namespace

const CpuidSource& HardwareCpuidSource() {
    return g_hardware;
}

const CpuidSource* SetCpuidSource(const CpuidSource* source) {
    const CpuidSource* previous = g_source.exchange(source, std::memory_order_acq_rel);
    g_cachedSelection.store(0, std::memory_order_release);
    return previous;
}

int32_t IsCpuidSupported() {
    return Source().IdFlagToggles() ? 1 : 0;
}

int32_t IsGenuineIntel() {
    if (!IsCpuidSupported()) return 0;
    const CpuidRegisters leaf0 = Source().Query(0, 0);
    // "Genu", "ineI", "ntel" as little-endian words.
    return (leaf0.ebx == 0x756E6547u && leaf0.edx == 0x49656E69u && leaf0.ecx == 0x6C65746Eu) ? 1
                                                                                              : 0;
}

int32_t QueryCoresPerPackage() {
    if (GetMaxCpuidLeaf() < 4) return 1;
    return static_cast<int32_t>(Source().Query(4, 0).eax >> 26) + 1;
}

int32_t GetCoresPerPackage() {
    return IsCpuidSupported() ? QueryCoresPerPackage() : 1;
}

void GetCpuFeatureRecord(CPU_FEATURE_RECORD* record) {
    if (record == nullptr) return;
    const CpuidRegisters leaf1 = Leaf1();
    const CpuidRegisters leaf2 = Source().Query(2, 0);
    record->family = (leaf1.eax >> 8) & 0xF;
    record->stepping = leaf1.eax & 0xF;
    record->model = (leaf1.eax >> 4) & 0xF;
    record->processorType = (leaf1.eax >> 12) & 0x3;
    record->featureWord = leaf1.edx;
    record->leaf2Eax = leaf2.eax;
    record->leaf2Edx = leaf2.edx;
    record->mmx = Bit(leaf1.edx, 23);
    record->sse = Bit(leaf1.edx, 25);
    record->sse2 = Bit(leaf1.edx, 26);
    record->hyperThreading = HyperThreadingFlag(leaf1);
    record->sse3 = Bit(leaf1.ecx, 0);
    record->intel64 = Intel64Flag();
    record->ssse3 = Bit(leaf1.ecx, 9);
    record->coresPerPackage = static_cast<uint32_t>(QueryCoresPerPackage());
}

int32_t DetectCpuType() {
    if (!IsCpuidSupported()) return 0;
    CPU_FEATURE_RECORD record{};
    GetCpuFeatureRecord(&record);
    if (IsGenuineIntel()) {
        bool decided = false;
        const int32_t type = DetectIntelFamily(record, &decided);
        if (decided) return type;
    }
    if (record.ssse3) return 67;
    if (record.sse3) return 66;
    if (record.sse2) return 65;
    if (record.sse) return 64;
    if (record.intel64) return 68;
    return 0;
}

int32_t CpuTypeToVariant(int32_t typeCode) {
    switch (typeCode) {
        case 5:
        case 16:
        case 17:
        case 64:
            return Sse;
        case 6:
        case 7:
        case 9:
        case 65:
            return Sse2;
        case 8:
        case 10:
        case 11:
        case 32:
        case 66:
            return Sse3;
        case 33:
        case 34:
        case 35:
        case 67:
            return Ssse3;
        default:
            return Generic;
    }
}

int32_t SelectCpuVariant() {
    const uint32_t cached = g_cachedSelection.load(std::memory_order_acquire);
    if (cached & kCacheValid) {
        const auto variant = static_cast<int32_t>((cached >> 8) & 0xFF);
        g_nCpuClass.store(variant, std::memory_order_relaxed);
        return static_cast<int32_t>(cached & 0xFF);
    }
    const int32_t variant = CpuTypeToVariant(DetectCpuType());
    const int32_t status = (IsCpuidSupported() && IsGenuineIntel()) ? 0 : kCpuNotGenuineIntel;
    g_nCpuClass.store(variant, std::memory_order_relaxed);
    g_cachedSelection.store(
        kCacheValid | (static_cast<uint32_t>(variant) << 8) | static_cast<uint32_t>(status),
        std::memory_order_release);
    return status;
}

uint32_t GetMaxCpuidLeaf() {
    return IsCpuidSupported() ? Source().Query(0, 0).eax : 0;
}

int32_t HasTsc() {
    return IsCpuidSupported() ? static_cast<int32_t>(Bit(Leaf1().edx, 4)) : 0;
}
int32_t HasMmx() {
    return IsCpuidSupported() ? static_cast<int32_t>(Bit(Leaf1().edx, 23)) : 0;
}
int32_t HasSse() {
    return IsCpuidSupported() ? static_cast<int32_t>(Bit(Leaf1().edx, 25)) : 0;
}
int32_t HasSse2() {
    return IsCpuidSupported() ? static_cast<int32_t>(Bit(Leaf1().edx, 26)) : 0;
}
int32_t HasHyperThreading() {
    return IsCpuidSupported() ? static_cast<int32_t>(HyperThreadingFlag(Leaf1())) : 0;
}
int32_t HasSse3() {
    return IsCpuidSupported() ? static_cast<int32_t>(Bit(Leaf1().ecx, 0)) : 0;
}
int32_t HasSsse3() {
    return IsCpuidSupported() ? static_cast<int32_t>(Bit(Leaf1().ecx, 9)) : 0;
}
int32_t HasIntel64() {
    return IsCpuidSupported() ? static_cast<int32_t>(Intel64Flag()) : 0;
}

uint64_t ReadTimeStampCounter() {
    return __rdtsc();
}

int32_t LookupCacheDescriptor(const uint32_t* table) {
    if (table == nullptr || !IsCpuidSupported()) return -1;
    const CpuidRegisters leaf2 = Source().Query(2, 0);
    if ((leaf2.eax & 0xFF) != 1) return -1;
    uint8_t bytes[16];
    int count = 0;
    const uint32_t registers[4] = {leaf2.eax, leaf2.ebx, leaf2.ecx, leaf2.edx};
    for (int r = 0; r < 4; ++r) {
        if (registers[r] & 0x80000000u) continue;
        // The low byte of EAX is the query count, not a descriptor.
        for (int b = (r == 0 ? 1 : 0); b < 4; ++b) {
            bytes[count++] = static_cast<uint8_t>(registers[r] >> (8 * b));
        }
    }
    if (count == 0) return -1;
    for (const uint32_t* entry = table; entry[0] != 0; entry += 2) {
        for (int i = 0; i < count; ++i) {
            if ((entry[0] & 0xFF) == bytes[i]) return static_cast<int32_t>(entry[1]);
        }
    }
    return -1;
}

uint32_t GetX87ControlWord() {
    uint16_t word;
    __asm__ volatile("fnstcw %0" : "=m"(word));
    return word;
}

void LoadX87ControlWord(uint32_t word) {
    const auto value = static_cast<uint16_t>(word);
    __asm__ volatile("fldcw %0" : : "m"(value));
}

uint32_t SetX87ControlWord(uint32_t value, uint32_t mask) {
    const uint32_t old = GetX87ControlWord();
    LoadX87ControlWord((value & mask) | (old & ~mask));
    return old;
}

void SetX87ControlBits(uint32_t value, uint32_t mask) {
    const uint32_t old = GetX87ControlWord();
    if ((old & mask) != value) LoadX87ControlWord((old & ~mask) | value);
}

uint32_t GetX87StatusWord() {
    uint16_t word;
    __asm__ volatile("fnstsw %0" : "=m"(word));
    return word;
}

uint32_t ClearX87Status() {
    const uint32_t old = GetX87StatusWord();
    __asm__ volatile("fnclex");
    return old;
}

uint32_t GetMxcsr() {
    return _mm_getcsr();
}

// Loading a reserved bit into MXCSR faults, so every load keeps to the bits
// this processor lets software write.
void LoadMxcsr(uint32_t value) {
    _mm_setcsr(value & MxcsrWritableBits());
}

uint32_t SetMxcsr(uint32_t value, uint32_t mask) {
    const uint32_t old = GetMxcsr();
    LoadMxcsr((value & mask) | (old & ~mask));
    return old;
}

uint32_t ResetMxcsr() {
    const uint32_t old = GetMxcsr();
    LoadMxcsr(0x1F80);
    return old;
}

void SetMxcsrRounding(uint32_t value) {
    constexpr uint32_t kRounding = 0x6000;
    const uint32_t old = GetMxcsr();
    if ((old & kRounding) != value) LoadMxcsr((old & ~kRounding) | (value & kRounding));
}

uint32_t SetFpControl(uint32_t value, uint32_t mask) {
    const uint32_t oldWord = GetX87ControlWord();
    const uint32_t flags = (value & mask) | (ControlToAbstract(oldWord) & ~mask);
    LoadX87ControlWord(AbstractToControl(flags, oldWord));
    return flags;
}

uint32_t GetFpStatus() {
    return ExceptionsToAbstract(GetX87StatusWord());
}

uint32_t ClearFpStatus() {
    return ExceptionsToAbstract(ClearX87Status());
}

int32_t IsNaN(double value) {
    const uint64_t bits = DoubleBits(value);
    return ((bits & kExponentMask) == kExponentMask && (bits & kMantissaMask) != 0) ? 1 : 0;
}

int32_t IsFinite(double value) {
    return (DoubleBits(value) & kExponentMask) != kExponentMask ? 1 : 0;
}

uint32_t SavedMxcsrMask() {
    alignas(16) uint8_t area[512] = {};
    __asm__ volatile("fxsave %0" : "=m"(area));
    uint32_t mxcsrMask;
    std::memcpy(&mxcsrMask, area + 28, sizeof mxcsrMask);
    return mxcsrMask;
}

uint32_t MxcsrWritableBits() {
    // Processors that save no mask have the default one, without DAZ.
    static const uint32_t bits = [] {
        const uint32_t saved = SavedMxcsrMask();
        return saved != 0 ? saved : kDefaultMxcsrMask;
    }();
    return bits;
}

int32_t IsDazSupported() {
    const uint32_t mxcsrMask = SavedMxcsrMask();
    return (mxcsrMask != 0 && (mxcsrMask & 0x40) != 0) ? 1 : 0;
}

}  // namespace velmora::av

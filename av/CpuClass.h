#pragma once

// Processor detection and the choice of code variant for the image
// primitives, plus the small set of processor-state routines that go with it
// (x87 control and status words, MXCSR, NaN tests, denormals-are-zero probe).
//
// Detection reads the processor through a CpuidSource. The hardware source is
// used unless a test installs another one, so the whole detection table can
// be exercised on any machine.

#include <atomic>
#include <cstdint>

namespace velmora::av {

// The code variants of every image primitive, in dispatch-table order.
enum CpuVariant : int32_t {
    Generic = 0,  // base instruction set only
    Sse = 1,
    Sse2 = 2,
    Sse3 = 3,   // SSE2 and SSE3
    Ssse3 = 4,  // SSE2, SSE3 and SSSE3
};
constexpr int32_t kCpuVariantCount = 5;

// SelectCpuVariant's result when the processor is not a GenuineIntel one with
// cpuid; the variant is chosen all the same.
constexpr int32_t kCpuNotGenuineIntel = 20;

struct CpuidRegisters {
    uint32_t eax = 0;
    uint32_t ebx = 0;
    uint32_t ecx = 0;
    uint32_t edx = 0;
};

class CpuidSource {
  public:
    virtual ~CpuidSource() = default;
    // Whether bit 21 (ID) of the flags register can be toggled, which is how
    // a processor shows that it has cpuid.
    virtual bool IdFlagToggles() const = 0;
    virtual CpuidRegisters Query(uint32_t leaf, uint32_t subleaf) const = 0;
};

// The running processor.
const CpuidSource& HardwareCpuidSource();

// Makes detection read from `source` (null: the hardware again) and forgets
// the cached selection, so the next SelectCpuVariant detects afresh. Returns
// the source that was installed before (null for the hardware). Meant for
// tests; not to be called while other threads convert.
const CpuidSource* SetCpuidSource(const CpuidSource* source);

// Sixteen 32-bit words; flags are 0 or 1.
struct CPU_FEATURE_RECORD {
    uint32_t family;         // leaf-1 EAX bits 8-11
    uint32_t stepping;       // bits 0-3
    uint32_t model;          // bits 4-7
    uint32_t processorType;  // bits 12-13
    uint32_t featureWord;    // leaf-1 EDX
    uint32_t leaf2Eax;
    uint32_t leaf2Edx;
    uint32_t mmx;
    uint32_t reserved;  // never filled
    uint32_t sse;
    uint32_t sse2;
    uint32_t hyperThreading;
    uint32_t sse3;
    uint32_t intel64;
    uint32_t ssse3;
    uint32_t coresPerPackage;
};
static_assert(sizeof(CPU_FEATURE_RECORD) == 64);

// The variant the dispatch stubs call. Generic until the first
// SelectCpuVariant; afterwards every writer stores the same value, and the
// atomic makes the concurrent stores and reads well defined.
extern std::atomic<int32_t> g_nCpuClass;

// Detects the processor (once per installed source), stores the variant in
// g_nCpuClass and returns 0 for a GenuineIntel processor with cpuid, else
// kCpuNotGenuineIntel.
int32_t SelectCpuVariant();
// The processor type code (0 and the family/feature codes of the detection).
int32_t DetectCpuType();
// The variant that a processor type code selects.
int32_t CpuTypeToVariant(int32_t typeCode);

int32_t IsCpuidSupported();
void GetCpuFeatureRecord(CPU_FEATURE_RECORD* record);
int32_t IsGenuineIntel();
int32_t GetCoresPerPackage();
int32_t QueryCoresPerPackage();

// The probes below answer 0 when the processor has no cpuid.
uint32_t GetMaxCpuidLeaf();
int32_t HasTsc();
int32_t HasMmx();
int32_t HasSse();
int32_t HasSse2();
int32_t HasHyperThreading();
int32_t HasSse3();
int32_t HasSsse3();
int32_t HasIntel64();
uint64_t ReadTimeStampCounter();
// `table`: pairs {descriptor, value} ended by a descriptor 0. Returns the
// value of the first entry whose descriptor's low byte is one of the cache
// descriptor bytes of leaf 2, else -1 (also for a null table, or when leaf 2
// needs more than one query or reports no descriptors).
int32_t LookupCacheDescriptor(const uint32_t* table);

// x87 control and status words.
uint32_t GetX87ControlWord();
uint32_t SetX87ControlWord(uint32_t value, uint32_t mask);  // returns the old word
void SetX87ControlBits(uint32_t value, uint32_t mask);
void LoadX87ControlWord(uint32_t word);
uint32_t GetX87StatusWord();
uint32_t ClearX87Status();  // returns the status before clearing

// SSE control and status register.
uint32_t GetMxcsr();
uint32_t SetMxcsr(uint32_t value, uint32_t mask);  // returns the old MXCSR
uint32_t ResetMxcsr();                             // 0x1F80; returns the old MXCSR
void SetMxcsrRounding(uint32_t value);             // value in place (bits 13-14)
void LoadMxcsr(uint32_t value);
// The MXCSR bits software may set: the mask the processor saves with FXSAVE,
// or 0xFFBF when it saves none. Every load above keeps to them.
inline constexpr uint32_t kDefaultMxcsrMask = 0xFFBF;
uint32_t MxcsrWritableBits();
// The MXCSR_MASK word of an FXSAVE area, as saved (0 on processors without one).
uint32_t SavedMxcsrMask();

// The x87 control and status words in abstract flags (exception bits 0x10
// invalid, 0x80000 denormal, 0x08 zero divide, 0x04 overflow, 0x02 underflow,
// 0x01 precision; rounding 0/0x100/0x200/0x300; precision 0/0x10000/0x20000;
// infinity control 0x40000).
uint32_t SetFpControl(uint32_t value, uint32_t mask);  // returns the new flags
uint32_t GetFpStatus();
uint32_t ClearFpStatus();  // returns the status before clearing

int32_t IsNaN(double value);
int32_t IsFinite(double value);
int32_t IsDazSupported();

}  // namespace velmora::av

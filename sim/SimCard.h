#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "platform/ProcessSharedMutex.h"
#include "sim/SimAsiEngine.h"
#include "sim/SimConfig.h"
#include "sim/SimFpga.h"
#include "sim/SimIicBus.h"
#include "sim/SimProgramming.h"

namespace velmora::platform {
class SharedMemory;
}

namespace velmora::sim {

enum class DmaFault : uint32_t {
    None = 0,
    // The next transfer is accepted but never finishes: nothing is copied,
    // nothing is signalled and the channel stays busy until an abort or a
    // reset, which also spends this fault.
    NeverCompletes = 1,
    // Every transfer copies its data but its completion is never signalled,
    // until the fault is changed.
    CompletesWithoutNotification = 2,
    // The channel is busy from now on, as if a transfer were stuck in it,
    // until an abort or a reset clears it (which also spends this fault).
    Busy = 3,
};

struct RegisterWrite {
    uint32_t offset;
    uint32_t value;
    bool operator==(const RegisterWrite&) const = default;
};

// Everything one simulated board holds, laid out in its shared segment. All
// of it after the header's identity words is changed only under `lock`; a
// step of the hardware that changes several words keeps a journal of them
// (SimStep.h), so that a holder killed half-way leaves the card whole.
struct SimCardState {
    static constexpr uint32_t kMagic = 0x4D495356;  // "VSIM"
    static constexpr uint32_t kLayoutVersion = 8;
    static constexpr uint32_t kBar3Size = 0x1000;
    static constexpr uint32_t kPlxRegisterSize = 0x200;
    static constexpr uint32_t kPciConfigSize = 0x1000;
    static constexpr uint32_t kBar2Size = 0x8000;
    static constexpr uint32_t kMemorySize = 32u << 20;
    static constexpr unsigned kDmaChannels = 4;
    static constexpr unsigned kWriteLogCapacity = 4096;

    struct DmaChannel {
        uint32_t open;
        uint32_t busy;
        DmaFault fault;
        uint32_t faultDelay;  // transfers still to go through before the fault strikes
    };

    // Identity and the configuration the creator started the card with.
    uint32_t magic;
    uint32_t layoutVersion;
    uint32_t cardIndex;
    uint32_t boardId;
    uint32_t fpgaVersion;
    uint32_t driverVersion;  // of the process that created the card
    uint64_t createdUs;      // monotonic microseconds at creation

    alignas(64) platform::ProcessSharedMutex lock;

    // Field clock: the count is clockBase plus the whole fields elapsed since
    // clockEpochUs (realtime), or clockBase alone (manual).
    alignas(64) ClockMode clockMode;
    uint32_t clockNtsc;  // the standard the current epoch runs at
    uint64_t clockEpochUs;
    uint64_t clockBase;

    uint32_t interruptMask;  // PLX_INTERRUPT flag bits enabled on the device
    uint32_t writeLogEnabled;
    uint64_t writeLogCount;  // writes logged since the last clear
    DmaChannel dma[kDmaChannels];

    uint32_t bar3[kBar3Size / 4];
    uint32_t plx[kPlxRegisterSize / 4];
    uint32_t pciConfig[kPciConfigSize / 4];
    RegisterWrite writeLog[kWriteLogCapacity];

    // The hardware models behind BAR 3.
    SimFpgaState fpga;
    SimAsiState asi;
    SimIicState iic;
    // The programming lines behind BAR 2 and their devices.
    SimProgState prog;

    alignas(4096) uint8_t bar2[kBar2Size];
    alignas(4096) uint8_t memory[kMemorySize];
};

// Every process maps the same bytes, whatever its build; the card's lock keeps
// to its 256 bytes.
static_assert(sizeof(platform::ProcessSharedMutex) <= 256);
static_assert(std::is_standard_layout_v<SimCardState>);
static_assert(std::is_trivially_copyable_v<SimCardState>);
static_assert(offsetof(SimCardState, memory) % 4096 == 0);

// One simulated board as seen by this process: its shared segment, attached
// while any device or control hold of this process uses it. Every method
// takes the card's lock for the few words it touches and returns a PLX status
// (512 on success).
class SimCard {
  public:
    // The card's identity on the bus.
    static constexpr uint16_t kVendorId = 0x4B57;
    static constexpr uint16_t kDeviceId = 0x5100;
    static constexpr uint16_t kSubVendorId = 0x4B57;
    static constexpr uint16_t kSubDeviceId = 0x5100;
    static constexpr uint8_t kRevision = 0x01;
    static uint8_t BusOf(unsigned index) { return static_cast<uint8_t>(1 + index); }

    // Register offsets the driver itself gives meaning to.
    static constexpr uint32_t kRegBlockA = 0x10;
    static constexpr uint32_t kRegBoardId = 0x1C;
    static constexpr uint32_t kRegFpgaVersion = 0xF0;
    static constexpr uint32_t kBlockAFieldInterruptEnable = 1u << 1;
    static constexpr uint32_t kBlockANtsc = 1u << 12;

    // Opens (creating it when no process has it) the segment of board
    // `index`; null when it cannot be mapped or holds another layout.
    static std::unique_ptr<SimCard> Attach(unsigned index, const SimConfig& config,
                                           uint32_t driverVersion);
    ~SimCard();
    SimCard(const SimCard&) = delete;
    SimCard& operator=(const SimCard&) = delete;

    unsigned Index() const { return m_index; }

    // Around fork(): the child gets a hold on the board of its own, so that
    // the board lives while the child has it, whatever the parent does (the
    // attachment it inherits is the parent's). The hold is taken before the
    // fork, and is the child's before fork() returns in the parent, as the
    // parent may let go at once; the parent drops its copy.
    void PrepareFork();
    void ParentAfterFork();
    void ChildAfterFork();

    // BAR 3 as the driver presents it: dword registers below 0x1000; writes
    // are logged and pass the register model.
    uint32_t ReadRegister(uint32_t offset, uint32_t* value);
    uint32_t WriteRegister(uint32_t offset, uint32_t value);
    static constexpr uint32_t kAnyRegister = UINT32_MAX;
    // Runs `hook` once, in this process, after its next write (or, without
    // `write`, read) of `offset` (kAnyRegister: of any register) has passed
    // the register model and let go of the card.
    void RunAfterNext(uint32_t offset, bool write, std::function<void()> hook);
    // The same registers without the model or the log, for tests.
    uint32_t PeekRegister(uint32_t offset, uint32_t* value);
    uint32_t PokeRegister(uint32_t offset, uint32_t value);

    uint32_t ReadPlxRegister(uint32_t offset, uint32_t* value);
    uint32_t WritePlxRegister(uint32_t offset, uint32_t value);
    uint32_t ReadPciConfig(uint32_t offset, uint32_t* value);
    uint32_t WritePciConfig(uint32_t offset, uint32_t value);

    // The BAR-2 window as mapped into this process.
    void* Bar2Window() const;
    // A 32-bit write into the BAR-2 window below kBar2Size: the programming
    // lines take the word offset / 4. Refused while READY# input is enabled
    // (PLX register 0x18 bit 6, set at power-up).
    uint32_t WriteLines(uint32_t offset);

    uint32_t EnableInterrupts(uint32_t flags);
    uint32_t DisableInterrupts(uint32_t flags);

    uint32_t Reset();
    uint32_t DmaOpen(unsigned channel);
    uint32_t DmaSetProperties(unsigned channel);
    uint32_t DmaClose(unsigned channel);
    uint32_t DmaControl(unsigned channel, uint64_t command);
    uint32_t DmaStatus(unsigned channel);
    // Runs one block transfer between this process's buffer and card memory.
    // *notify tells whether the completion is to be signalled to this
    // process's registrations for the channel's DMA-done bit.
    uint32_t DmaTransfer(unsigned channel, uint64_t userVa, uint32_t localAddress, uint32_t count,
                         uint32_t direction, bool* notify);
    uint32_t SetDmaFault(unsigned channel, DmaFault fault, uint32_t transfersFirst);

    // The field clock. FieldState gives the count and whether a field
    // interrupt would reach the host now, under one lock, waiting for it at
    // most `waitMs`.
    uint32_t FieldState(uint64_t* count, bool* interruptEnabled,
                        uint32_t waitMs = platform::kInfinite);
    uint32_t SetClockMode(ClockMode mode);
    uint32_t StepFields(uint64_t fields);
    // Whether no process holds the card's lock at this moment.
    bool LockFree();

    uint32_t SetBoardId(uint32_t id);
    uint32_t SetFpgaVersion(uint32_t version);

    uint32_t EnableWriteLog(bool enable);
    uint32_t ClearWriteLog();
    uint32_t ReadWriteLog(std::vector<RegisterWrite>* entries);

    // Runs `f` on the whole state under the card's lock, with the card
    // brought up to the present first; the control API's way to the hardware
    // models' own state.
    uint32_t WithState(const std::function<void(SimCardState&)>& f);
    // The configuration this process attached the card with (what the model
    // views are built with).
    const SimConfig& Config() const { return m_config; }

    uint32_t PeekMemory(uint32_t address, void* data, size_t size);
    uint32_t PokeMemory(uint32_t address, const void* data, size_t size);

  private:
    class Guard;

    SimCard(unsigned index, std::unique_ptr<platform::SharedMemory> memory,
            const SimConfig& config);
    static void Initialise(SimCardState* state, unsigned index, const SimConfig& config,
                           uint32_t driverVersion);

    // The register model (SimFpga and the models it routes to): the single
    // place that gives a BAR-3 access its side effects. Called under the
    // lock; each brings the card up to the present first.
    uint32_t ReadRegisterLocked(uint32_t offset);
    void WriteRegisterLocked(uint32_t offset, uint32_t value);
    // The card's hardware as it stands now, under the lock.
    SimFpga Fpga() { return SimFpga(*m_state, m_config); }

    static void FreeChannel(SimCardState::DmaChannel& channel);

    unsigned m_index;
    SimConfig m_config;
    // Let go after m_memory, so that a child that lets go last sees that
    // nobody else holds the board.
    std::unique_ptr<platform::SharedMemory> m_forkHold;
    std::unique_ptr<platform::SharedMemory> m_forkHoldForChild;
    std::unique_ptr<platform::SharedMemory> m_memory;
    SimCardState* m_state;
    // Runs the hook set for this access, if any.
    void RunHook(uint32_t offset, bool write);

    struct Hook {
        uint32_t offset = 0;
        std::function<void()> run;
    };
    std::mutex m_hookMutex;
    Hook m_hooks[2];  // after a read, after a write
};

}  // namespace velmora::sim

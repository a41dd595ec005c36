#include "sim/SimCard.h"

#include <cstring>
#include <string>
#include <utility>

#include "hw/PlxTypes.h"
#include "platform/SharedMemory.h"
#include "platform/Time.h"

namespace velmora::sim {

using namespace velmora::hw;

namespace {

bool IsDwordOffset(uint32_t offset, uint32_t size) {
    return offset % 4 == 0 && offset < size;
}

constexpr uint32_t kPlxSpace0Descriptor = 0x18;
constexpr uint32_t kReadyInputEnable = 1u << 6;
constexpr uint32_t kPlxUserPins = 0x6C;
constexpr uint32_t kUserOutput = 1u << 16;
constexpr uint32_t kUserInput = 1u << 17;

bool InRange(uint64_t address, uint64_t size, uint64_t limit) {
    return address <= limit && size <= limit - address;
}

std::string SegmentName(unsigned index) {
    return "VelmoraSimCard" + std::to_string(index);
}

}  // namespace

// Holds the card lock for one operation. An owner that died inside the lock
// may have left a step of the hardware half done: its words are put back, and
// the next catch-up does it whole. A process stopped inside the lock keeps it:
// a request then fails, as a driver's request times out, at the deadline of
// the call it serves, on a thread that is to stop, or after `waitMs`.
class SimCard::Guard {
  public:
    explicit Guard(SimCardState* state, uint32_t waitMs = platform::kInfinite)
        : m_lock(state->lock) {
        const platform::WaitResult result = m_lock.Lock(waitMs);
        m_owned =
            result == platform::WaitResult::Signaled || result == platform::WaitResult::Abandoned;
        if (result == platform::WaitResult::Abandoned) SimFpga::UndoTornSteps(*state);
    }
    ~Guard() {
        if (m_owned) m_lock.Unlock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    bool Owned() const { return m_owned; }

  private:
    platform::ProcessSharedMutex& m_lock;
    bool m_owned = false;
};

std::unique_ptr<SimCard> SimCard::Attach(unsigned index, const SimConfig& config,
                                         uint32_t driverVersion) {
    auto memory =
        platform::SharedMemory::Open(SegmentName(index), sizeof(SimCardState), [&](void* data) {
            Initialise(static_cast<SimCardState*>(data), index, config, driverVersion);
        });
    if (!memory) return nullptr;
    const auto* state = static_cast<const SimCardState*>(memory->Data());
    if (state->magic != SimCardState::kMagic ||
        state->layoutVersion != SimCardState::kLayoutVersion || state->cardIndex != index) {
        return nullptr;
    }
    return std::unique_ptr<SimCard>(new SimCard(index, std::move(memory), config));
}

SimCard::SimCard(unsigned index, std::unique_ptr<platform::SharedMemory> memory,
                 const SimConfig& config)
    : m_index(index),
      m_config(config),
      m_memory(std::move(memory)),
      m_state(static_cast<SimCardState*>(m_memory->Data())) {}

SimCard::~SimCard() = default;

void SimCard::PrepareFork() {
    // The block exists (this process maps it), so this opens it and never
    // makes a new one.
    m_forkHoldForChild =
        platform::SharedMemory::OpenForForkedChild(SegmentName(m_index), sizeof(SimCardState));
}

void SimCard::ParentAfterFork() {
    if (m_forkHoldForChild) m_forkHoldForChild->HandOverToForkedChild();
    m_forkHoldForChild.reset();
}

void SimCard::ChildAfterFork() {
    // A hold this process had as a forked child itself is let go at the next
    // fork's preparation or with the card, not here: its close allocates,
    // which the child of a process with threads may not before its exec.
    m_forkHold.swap(m_forkHoldForChild);
    if (m_forkHold) m_forkHold->ClaimInForkedChild();
}

void SimCard::Initialise(SimCardState* state, unsigned index, const SimConfig& config,
                         uint32_t driverVersion) {
    const uint64_t now = platform::MonotonicUs();
    state->layoutVersion = SimCardState::kLayoutVersion;
    state->cardIndex = index;
    state->boardId = config.boardId;
    state->fpgaVersion = config.fpgaVersion;
    state->driverVersion = driverVersion;
    state->createdUs = now;
    state->lock.Init(false);

    state->clockMode = config.clock;
    state->clockNtsc = 0;
    state->clockEpochUs = now;
    state->clockBase = 0;

    state->bar3[kRegBoardId / 4] = config.boardId;
    state->bar3[kRegFpgaVersion / 4] = config.fpgaVersion;

    // Local address space 0 starts with READY# input enabled; the device
    // programmers clear and restore that bit.
    state->plx[kPlxSpace0Descriptor / 4] = kReadyInputEnable;

    uint32_t* config_space = state->pciConfig;
    const uint32_t barBase = 0xE0000000u + index * 0x00100000u;
    config_space[0x00 / 4] = kVendorId | (uint32_t{kDeviceId} << 16);
    config_space[0x04 / 4] = 0x00000006;                    // memory space and bus master on
    config_space[0x08 / 4] = kRevision | (0x048000u << 8);  // multimedia device
    config_space[0x10 / 4] = barBase;                       // BAR 0: bridge registers
    config_space[0x18 / 4] = barBase + 0x10000;             // BAR 2: local window
    config_space[0x1C / 4] = barBase + 0x20000;             // BAR 3: FPGA registers
    config_space[0x2C / 4] = kSubVendorId | (uint32_t{kSubDeviceId} << 16);
    config_space[0x3C / 4] = 0x00000100u | ((0x10 + index) & 0xFF);  // INTA#

    SimFpga::PowerUp(*state, config);
    SimProgramming::PowerUp(state->prog, config.stateDir, index);

    // Last, so that a reader never accepts a half-initialised card.
    state->magic = SimCardState::kMagic;
}

uint32_t SimCard::ReadRegisterLocked(uint32_t offset) {
    const uint64_t now = platform::MonotonicUs();
    SimFpga fpga = Fpga();
    fpga.CatchUp(now);
    return fpga.ReadRegister(offset, now);
}

void SimCard::WriteRegisterLocked(uint32_t offset, uint32_t value) {
    const uint64_t now = platform::MonotonicUs();
    SimFpga fpga = Fpga();
    fpga.CatchUp(now);
    SimCardState& s = *m_state;
    if (s.writeLogEnabled) {
        s.writeLog[s.writeLogCount % SimCardState::kWriteLogCapacity] = {offset, value};
        ++s.writeLogCount;
    }
    const uint32_t oldValue = s.bar3[offset / 4];
    s.bar3[offset / 4] = value;
    fpga.WriteRegister(offset, oldValue, value, now);
}

uint32_t SimCard::ReadRegister(uint32_t offset, uint32_t* value) {
    if (!IsDwordOffset(offset, SimCardState::kBar3Size)) return ApiInvalidAddress;
    {
        Guard guard(m_state);
        if (!guard.Owned()) return ApiFailed;
        *value = ReadRegisterLocked(offset);
    }
    RunHook(offset, false);
    return ApiSuccess;
}

uint32_t SimCard::WriteRegister(uint32_t offset, uint32_t value) {
    if (!IsDwordOffset(offset, SimCardState::kBar3Size)) return ApiInvalidAddress;
    {
        Guard guard(m_state);
        if (!guard.Owned()) return ApiFailed;
        WriteRegisterLocked(offset, value);
    }
    RunHook(offset, true);
    return ApiSuccess;
}

void SimCard::RunHook(uint32_t offset, bool write) {
    std::function<void()> run;
    {
        std::lock_guard lock(m_hookMutex);
        Hook& hook = m_hooks[write ? 1 : 0];
        if (hook.offset == offset || hook.offset == kAnyRegister) std::swap(run, hook.run);
    }
    if (run) run();
}

void SimCard::RunAfterNext(uint32_t offset, bool write, std::function<void()> hook) {
    std::lock_guard lock(m_hookMutex);
    m_hooks[write ? 1 : 0] = {offset, std::move(hook)};
}

bool SimCard::LockFree() {
    const platform::WaitResult result = m_state->lock.TryLock();
    if (result == platform::WaitResult::Abandoned) {
        SimFpga::UndoTornSteps(*m_state);
    } else if (result != platform::WaitResult::Signaled) {
        return false;
    }
    m_state->lock.Unlock();
    return true;
}

uint32_t SimCard::WithState(const std::function<void(SimCardState&)>& f) {
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    Fpga().CatchUp(platform::MonotonicUs());
    f(*m_state);
    return ApiSuccess;
}

uint32_t SimCard::PeekRegister(uint32_t offset, uint32_t* value) {
    if (!IsDwordOffset(offset, SimCardState::kBar3Size)) return ApiInvalidAddress;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    *value = m_state->bar3[offset / 4];
    return ApiSuccess;
}

uint32_t SimCard::PokeRegister(uint32_t offset, uint32_t value) {
    if (!IsDwordOffset(offset, SimCardState::kBar3Size)) return ApiInvalidAddress;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    m_state->bar3[offset / 4] = value;
    return ApiSuccess;
}

uint32_t SimCard::ReadPlxRegister(uint32_t offset, uint32_t* value) {
    if (!IsDwordOffset(offset, SimCardState::kPlxRegisterSize)) return ApiInvalidOffset;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    *value = m_state->plx[offset / 4];
    // USERi is an input: it reads the programming lines, whatever the host
    // wrote there.
    if (offset == kPlxUserPins) {
        *value = (*value & ~kUserInput) | (SimProgramming(m_state->prog).InputLevel() << 17);
    }
    return ApiSuccess;
}

uint32_t SimCard::WriteLines(uint32_t offset) {
    if (!IsDwordOffset(offset, SimCardState::kBar2Size)) return ApiInvalidAddress;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    // With READY# input enabled the local bus waits for a READY# that the
    // line logic never gives.
    if (m_state->plx[kPlxSpace0Descriptor / 4] & kReadyInputEnable) return ApiFailed;
    const bool reach = !(m_state->plx[kPlxUserPins / 4] & kUserOutput);
    SimProgramming(m_state->prog).WriteLine(offset / 4, reach);
    return ApiSuccess;
}

uint32_t SimCard::WritePlxRegister(uint32_t offset, uint32_t value) {
    if (!IsDwordOffset(offset, SimCardState::kPlxRegisterSize)) return ApiInvalidOffset;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    m_state->plx[offset / 4] = value;
    return ApiSuccess;
}

uint32_t SimCard::ReadPciConfig(uint32_t offset, uint32_t* value) {
    if (!IsDwordOffset(offset, SimCardState::kPciConfigSize)) return ApiInvalidOffset;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    *value = m_state->pciConfig[offset / 4];
    return ApiSuccess;
}

uint32_t SimCard::WritePciConfig(uint32_t offset, uint32_t value) {
    if (!IsDwordOffset(offset, SimCardState::kPciConfigSize)) return ApiInvalidOffset;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    m_state->pciConfig[offset / 4] = value;
    return ApiSuccess;
}

void* SimCard::Bar2Window() const {
    return m_state->bar2;
}

uint32_t SimCard::EnableInterrupts(uint32_t flags) {
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    m_state->interruptMask |= flags;
    return ApiSuccess;
}

uint32_t SimCard::DisableInterrupts(uint32_t flags) {
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    m_state->interruptMask &= ~flags;
    return ApiSuccess;
}

// Ends the stuck transfer of a busy channel. A fault that stands for one stuck
// transfer ends with it, so that the recovery leaves a working channel; first,
// so that a holder killed between the two leaves a busy channel, not a fault
// that strikes again.
void SimCard::FreeChannel(SimCardState::DmaChannel& channel) {
    if (!channel.busy) return;
    if (channel.fault == DmaFault::NeverCompletes || channel.fault == DmaFault::Busy) {
        channel.fault = DmaFault::None;
    }
    channel.busy = 0;
}

uint32_t SimCard::Reset() {
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    for (auto& channel : m_state->dma)
        FreeChannel(channel);
    return ApiSuccess;
}

uint32_t SimCard::DmaOpen(unsigned channel) {
    if (channel >= SimCardState::kDmaChannels) return ApiDmaChannelInvalid;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    m_state->dma[channel].open = 1;
    return ApiSuccess;
}

uint32_t SimCard::DmaSetProperties(unsigned channel) {
    if (channel >= SimCardState::kDmaChannels) return ApiDmaChannelInvalid;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    return m_state->dma[channel].open ? ApiSuccess : ApiFailed;
}

uint32_t SimCard::DmaClose(unsigned channel) {
    if (channel >= SimCardState::kDmaChannels) return ApiDmaChannelInvalid;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    SimCardState::DmaChannel& state = m_state->dma[channel];
    if (!state.open) return ApiFailed;
    if (state.busy) return ApiDmaInProgress;
    state.open = 0;
    return ApiSuccess;
}

uint32_t SimCard::DmaControl(unsigned channel, uint64_t command) {
    if (channel >= SimCardState::kDmaChannels) return ApiDmaChannelInvalid;
    constexpr uint64_t kAbort = 3;
    if (command != kAbort) return ApiSuccess;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    FreeChannel(m_state->dma[channel]);
    return ApiSuccess;
}

uint32_t SimCard::DmaStatus(unsigned channel) {
    return channel < SimCardState::kDmaChannels ? ApiSuccess : ApiDmaChannelInvalid;
}

uint32_t SimCard::DmaTransfer(unsigned channel, uint64_t userVa, uint32_t localAddress,
                              uint32_t count, uint32_t direction, bool* notify) {
    *notify = false;
    if (channel >= SimCardState::kDmaChannels) return ApiDmaChannelInvalid;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    SimCardState::DmaChannel& state = m_state->dma[channel];
    if (!state.open) return ApiFailed;
    if (state.busy) return ApiDmaInProgress;
    if (userVa == 0) return ApiNullParam;
    if (count == 0 || direction > kPlxDirectionCardToHost) return ApiInvalidData;
    if (!InRange(localAddress, count, SimCardState::kMemorySize)) return ApiInvalidAddress;
    // The transfer sees the card memory of the present.
    Fpga().CatchUp(platform::MonotonicUs());

    const bool struck = state.faultDelay == 0;
    if (struck && state.fault == DmaFault::NeverCompletes) {
        state.busy = 1;
        return ApiSuccess;
    }
    void* user = reinterpret_cast<void*>(static_cast<uintptr_t>(userVa));
    uint8_t* card = m_state->memory + localAddress;
    if (direction == kPlxDirectionHostToCard) {
        std::memcpy(card, user, count);
    } else {
        std::memcpy(user, card, count);
    }
    const uint32_t doneBit = kPlxIntDmaDoneBase << channel;
    *notify = !(struck && state.fault == DmaFault::CompletesWithoutNotification) &&
              (m_state->interruptMask & doneBit) && (m_state->interruptMask & kPlxIntPciMain);
    // Busy before the count that strikes, so that a holder killed between
    // the two leaves the fault struck.
    if (!struck && state.faultDelay == 1 && state.fault == DmaFault::Busy) state.busy = 1;
    if (!struck) --state.faultDelay;
    return ApiSuccess;
}

uint32_t SimCard::SetDmaFault(unsigned channel, DmaFault fault, uint32_t transfersFirst) {
    if (channel >= SimCardState::kDmaChannels) return ApiDmaChannelInvalid;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    SimCardState::DmaChannel& state = m_state->dma[channel];
    state.fault = fault;
    state.faultDelay = transfersFirst;
    if (fault == DmaFault::Busy && transfersFirst == 0) state.busy = 1;
    return ApiSuccess;
}

uint32_t SimCard::FieldState(uint64_t* count, bool* interruptEnabled, uint32_t waitMs) {
    Guard guard(m_state, waitMs);
    if (!guard.Owned()) return ApiFailed;
    const uint64_t now = platform::MonotonicUs();
    SimFpga fpga = Fpga();
    // The interrupt thread polls here, so the rings keep pace with the
    // fields even while no request comes.
    fpga.CatchUp(now);
    *count = fpga.FieldCount(now);
    *interruptEnabled = (m_state->interruptMask & kPlxIntLocal1) &&
                        (m_state->bar3[kRegBlockA / 4] & kBlockAFieldInterruptEnable);
    return ApiSuccess;
}

uint32_t SimCard::SetClockMode(ClockMode mode) {
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    // The count and card time carry on from where they stand in either
    // direction.
    Fpga().SetClockMode(mode, platform::MonotonicUs());
    return ApiSuccess;
}

uint32_t SimCard::StepFields(uint64_t fields) {
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    return Fpga().StepFields(fields, platform::MonotonicUs()) ? ApiSuccess : ApiFailed;
}

uint32_t SimCard::SetBoardId(uint32_t id) {
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    m_state->boardId = id;
    m_state->bar3[kRegBoardId / 4] = id;
    SimIicBus::SetBoardId(m_state->iic, id);
    return ApiSuccess;
}

uint32_t SimCard::SetFpgaVersion(uint32_t version) {
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    m_state->fpgaVersion = version;
    m_state->bar3[kRegFpgaVersion / 4] = version;
    return ApiSuccess;
}

uint32_t SimCard::EnableWriteLog(bool enable) {
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    m_state->writeLogEnabled = enable ? 1 : 0;
    return ApiSuccess;
}

uint32_t SimCard::ClearWriteLog() {
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    m_state->writeLogCount = 0;
    return ApiSuccess;
}

uint32_t SimCard::ReadWriteLog(std::vector<RegisterWrite>* entries) {
    // Sized before taking the lock: the ring never holds more than this.
    entries->clear();
    entries->reserve(SimCardState::kWriteLogCapacity);
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    const uint64_t total = m_state->writeLogCount;
    const uint64_t kept =
        total < SimCardState::kWriteLogCapacity ? total : uint64_t{SimCardState::kWriteLogCapacity};
    for (uint64_t i = total - kept; i < total; ++i) {
        entries->push_back(m_state->writeLog[i % SimCardState::kWriteLogCapacity]);
    }
    return ApiSuccess;
}

uint32_t SimCard::PeekMemory(uint32_t address, void* data, size_t size) {
    if (!InRange(address, size, SimCardState::kMemorySize)) return ApiInvalidAddress;
    if (size == 0) return ApiSuccess;
    if (!data) return ApiNullParam;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    std::memcpy(data, m_state->memory + address, size);
    return ApiSuccess;
}

uint32_t SimCard::PokeMemory(uint32_t address, const void* data, size_t size) {
    if (!InRange(address, size, SimCardState::kMemorySize)) return ApiInvalidAddress;
    if (size == 0) return ApiSuccess;
    if (!data) return ApiNullParam;
    Guard guard(m_state);
    if (!guard.Owned()) return ApiFailed;
    std::memcpy(m_state->memory + address, data, size);
    return ApiSuccess;
}

}  // namespace velmora::sim

#include "card/TsInputShare.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "card/LogFile.h"
#include "platform/NamedMutex.h"
#include "platform/SharedMemory.h"

namespace velmora::card {

namespace {

constexpr const char* kMutexSuffix = "TsInputMutex_%u";
constexpr const char* kSlotSuffix = "TsInputHolder%u_%u";
constexpr const char* kRecordSuffix = "TsInputRecord%u";
// A slot holds nothing but its life.
constexpr size_t kSlotBytes = 4;

void SetUpRecord(void* data) {
    static_cast<TsInputRecord*>(data)->dropped = TsInputRecord::kUnknown;
}

// The share's mutex for one switch; a holder that died with it leaves the
// slots as whole objects, so an abandoned mutex is taken as it is.
class ShareLock {
  public:
    ShareLock(platform::NamedMutex* pMutex, const char* what) : m_pMutex(pMutex) {
        const platform::WaitResult result =
            m_pMutex ? m_pMutex->Lock(CTsInputShare::kLockWaitMs) : platform::WaitResult::Failed;
        m_bHeld =
            result == platform::WaitResult::Signaled || result == platform::WaitResult::Abandoned;
        if (!m_bHeld) g_LogFile.WriteLogA("%s: the card's input switch is not free", what);
    }
    ~ShareLock() {
        if (m_bHeld) m_pMutex->Unlock();
    }
    ShareLock(const ShareLock&) = delete;
    ShareLock& operator=(const ShareLock&) = delete;

    bool Held() const { return m_bHeld; }

  private:
    platform::NamedMutex* m_pMutex;
    bool m_bHeld = false;
};

}  // namespace

CTsInputShare::CTsInputShare(std::string cardName, uint32_t cardIndex)
    : m_strCardName(std::move(cardName)), m_dwCardIndex(cardIndex) {
    char suffix[64];
    std::snprintf(suffix, sizeof(suffix), kMutexSuffix, m_dwCardIndex);
    m_pMutex = platform::NamedMutex::Create(m_strCardName + suffix);
    std::snprintf(suffix, sizeof(suffix), kRecordSuffix, m_dwCardIndex);
    m_pRecordBlock =
        platform::SharedMemory::Open(m_strCardName + suffix, sizeof(TsInputRecord), SetUpRecord);
}

CTsInputShare::~CTsInputShare() = default;

std::string CTsInputShare::SlotName(uint32_t slot) const {
    char suffix[64];
    std::snprintf(suffix, sizeof(suffix), kSlotSuffix, m_dwCardIndex, slot);
    return m_strCardName + suffix;
}

bool CTsInputShare::FindHeldSlots(std::vector<bool>* held) const {
    std::vector<std::string> names;
    for (uint32_t slot = 0; slot < kSlots; ++slot)
        names.push_back(SlotName(slot));
    return platform::SharedMemory::FindHeld(names, held);
}

std::unique_ptr<platform::SharedMemory> CTsInputShare::TakeFreeSlot() {
    std::vector<bool> held;
    if (!FindHeldSlots(&held)) return nullptr;
    for (uint32_t slot = 0; slot < kSlots; ++slot) {
        if (held[slot]) continue;
        auto block = platform::SharedMemory::Open(SlotName(slot), kSlotBytes);
        if (block && !block->AlreadyExisted()) return block;
    }
    return nullptr;
}

uint32_t CTsInputShare::Hold(const std::function<uint32_t()>& switchOn) {
    ShareLock lock(m_pMutex.get(), "TsCaptureEnable");
    if (!lock.Held()) return 0;
    const bool taken = !m_pSlot;
    if (taken) m_pSlot = TakeFreeSlot();
    if (!m_pSlot) {
        g_LogFile.WriteLogA("TsCaptureEnable: no capture slot of card %u is free", m_dwCardIndex);
        return 0;
    }
    const uint32_t result = switchOn();
    // A slot kept without an input on would keep it on after the others stop.
    if (!result && taken) m_pSlot.reset();
    return result;
}

uint32_t CTsInputShare::Release(const std::function<uint32_t()>& switchOff) {
    ShareLock lock(m_pMutex.get(), "TsCaptureDisable");
    // Without the lock nothing changes: the slot stays for the next release
    // to give up, which then switches the input off if this was the last.
    if (!lock.Held()) return 0;
    m_pSlot.reset();
    std::vector<bool> held;
    if (!FindHeldSlots(&held)) {
        g_LogFile.WriteLogA("TsCaptureDisable: the capture slots of card %u cannot be looked at",
                            m_dwCardIndex);
        return 0;
    }
    for (const bool other : held) {
        if (other) return 1;
    }
    return switchOff();
}

TsInputRecord* CTsInputShare::Record() {
    return m_pRecordBlock ? static_cast<TsInputRecord*>(m_pRecordBlock->Data()) : &m_OwnRecord;
}

}  // namespace velmora::card

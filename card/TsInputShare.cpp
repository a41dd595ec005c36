#include "card/TsInputShare.h"

#include <algorithm>
#include <atomic>
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
constexpr const char* kCommitsSuffix = "TsInputCommits%u";
// A slot holds nothing but its life.
constexpr size_t kSlotBytes = 4;

// The block every process that has the card open keeps: the commits of the
// card's input read pointer, the capture slots held at the last switch (one
// left by a process that died capturing stays counted until the next), and
// the input's record.
struct CommitsBlock {
    uint64_t commits;
    uint32_t captures;
    uint32_t unused;
    TsInputRecord record;
};

void SetUpBlock(void* data) {
    static_cast<CommitsBlock*>(data)->record.dropped = TsInputRecord::kUnknown;
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
    std::snprintf(suffix, sizeof(suffix), kCommitsSuffix, m_dwCardIndex);
    m_pCommits =
        platform::SharedMemory::Open(m_strCardName + suffix, sizeof(CommitsBlock), SetUpBlock);
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
    m_bHolding = m_pSlot != nullptr;
    std::vector<bool> held;
    if (FindHeldSlots(&held)) NoteCaptures(held);
    return result;
}

uint32_t CTsInputShare::Release(const std::function<uint32_t()>& switchOff) {
    ShareLock lock(m_pMutex.get(), "TsCaptureDisable");
    // Without the lock nothing changes: the slot stays for the next release
    // to give up, which then switches the input off if this was the last.
    if (!lock.Held()) return 0;
    m_bHolding = false;
    m_pSlot.reset();
    std::vector<bool> held;
    if (!FindHeldSlots(&held)) {
        g_LogFile.WriteLogA("TsCaptureDisable: the capture slots of card %u cannot be looked at",
                            m_dwCardIndex);
        return 0;
    }
    NoteCaptures(held);
    for (const bool other : held) {
        if (other) return 1;
    }
    return switchOff();
}

void CTsInputShare::NoteCaptures(const std::vector<bool>& held) {
    if (!m_pCommits) return;
    std::atomic_ref<uint32_t>(static_cast<CommitsBlock*>(m_pCommits->Data())->captures)
        .store(static_cast<uint32_t>(std::count(held.begin(), held.end(), true)));
}

void CTsInputShare::NoteCommit() {
    if (!m_pCommits) return;
    std::atomic_ref<uint64_t> commits(static_cast<CommitsBlock*>(m_pCommits->Data())->commits);
    const uint64_t before = commits.fetch_add(1);
    if (before != m_ullOwnCommit) m_bCommittedElsewhere = true;
    m_ullOwnCommit = before + 1;
}

uint64_t CTsInputShare::Commits() const {
    return std::atomic_ref<uint64_t>(static_cast<CommitsBlock*>(m_pCommits->Data())->commits)
        .load();
}

bool CTsInputShare::CommittedElsewhereSinceAsked() {
    if (!m_pCommits) return false;
    // Another's commit after this one's last moved the count past it; one
    // before this one's last was noted by that commit.
    const uint64_t now = Commits();
    const bool fresh =
        m_bCommittedElsewhere.exchange(false) || (now != m_ullOwnCommit && now != m_ullAsked);
    m_ullAsked = now;
    return fresh;
}

bool CTsInputShare::OthersCapture() const {
    // Without the block the card's room is shared as beside another capture.
    if (!m_pCommits) return true;
    const uint32_t captures =
        std::atomic_ref<uint32_t>(static_cast<CommitsBlock*>(m_pCommits->Data())->captures).load();
    return captures > (m_bHolding ? 1u : 0u);
}

TsInputRecord* CTsInputShare::Record() {
    return m_pCommits ? &static_cast<CommitsBlock*>(m_pCommits->Data())->record : &m_OwnRecord;
}

}  // namespace velmora::card

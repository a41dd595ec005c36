#include "card/TsOutputHold.h"

#include <cstdio>
#include <vector>

#include "card/LogFile.h"
#include "platform/SharedMemory.h"

namespace velmora::card {

namespace {
constexpr const char* kHoldSuffix = "TsOutputHolder%u";
// The block holds nothing but its life.
constexpr size_t kHoldBytes = 4;
}  // namespace

CTsOutputHold::CTsOutputHold(const std::string& cardName, uint32_t cardIndex)
    : m_dwCardIndex(cardIndex) {
    char suffix[64];
    std::snprintf(suffix, sizeof(suffix), kHoldSuffix, cardIndex);
    m_strName = cardName + suffix;
}

CTsOutputHold::~CTsOutputHold() = default;

uint32_t CTsOutputHold::Take() {
    if (m_pHold) return 1;
    auto hold = platform::SharedMemory::Open(m_strName, kHoldBytes);
    if (!hold) {
        g_LogFile.WriteLogA("TsPlaybackEnable: the output of card %u cannot be had", m_dwCardIndex);
        return 0;
    }
    // The block is there only while a holder keeps it: another player's.
    if (hold->AlreadyExisted()) {
        g_LogFile.WriteLogA("TsPlaybackEnable: another process plays on card %u", m_dwCardIndex);
        return 0;
    }
    m_pHold = std::move(hold);
    return 1;
}

void CTsOutputHold::Give() {
    m_pHold.reset();
}

bool CTsOutputHold::HeldAnywhere() const {
    std::vector<bool> held;
    return !platform::SharedMemory::FindHeld({m_strName}, &held) || held.at(0);
}

}  // namespace velmora::card

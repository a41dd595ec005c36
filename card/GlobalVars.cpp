#include "card/GlobalVars.h"

#include <cstdio>

namespace velmora::card {

CGlobalVars::CGlobalVars(uint32_t cardIndex) : m_dwCardIndex(cardIndex) {}

CGlobalVars::~CGlobalVars() {
    ReleaseMutexes();
}

std::string CGlobalVars::MutexName(const char* suffix) const {
    // The suffix's conversion takes the card index; the card name is not a
    // format and goes in unformatted.
    char formatted[64];
    std::snprintf(formatted, sizeof(formatted), suffix, static_cast<int>(m_dwCardIndex));
    return m_strName + formatted;
}

uint32_t CGlobalVars::CreateMutexes() {
    // Opening the mutexes again would leave a thread's ownership behind on
    // the objects being replaced.
    ReleaseMutexes();
    m_pMcuMutex = platform::NamedMutex::Create(MutexName(kMcuMutexSuffix));
    m_pFpgaMutex = platform::NamedMutex::Create(MutexName(kFpgaMutexSuffix));
    m_pIicMutex0 = platform::NamedMutex::Create(MutexName(kIicMutex0Suffix));
    m_pIicMutex1 = platform::NamedMutex::Create(MutexName(kIicMutex1Suffix));
    if (!m_pMcuMutex || !m_pFpgaMutex || !m_pIicMutex0 || !m_pIicMutex1) {
        // A card without one of its guards must not be driven unguarded.
        ReleaseMutexes();
        return 0;
    }
    return 1;
}

uint32_t CGlobalVars::ReleaseMutexes() {
    if (m_pMcuMutex) m_pMcuMutex->Unlock();
    if (m_pIicMutex0) m_pIicMutex0->Unlock();
    if (m_pIicMutex1) m_pIicMutex1->Unlock();
    if (m_pFpgaMutex) m_pFpgaMutex->Unlock();
    m_pMcuMutex.reset();
    m_pIicMutex1.reset();
    m_pIicMutex0.reset();
    m_pFpgaMutex.reset();
    return 1;
}

}  // namespace velmora::card

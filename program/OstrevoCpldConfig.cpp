#include "program/OstrevoCpldConfig.h"

namespace velmora::program {

COstrevoCpldConfig::COstrevoCpldConfig(uint32_t cardIndex, hw::CPlxPex8311* pPciBridge)
    : m_Lines(cardIndex, pPciBridge, kInitialLineWord) {}

void COstrevoCpldConfig::IdleLines() {
    SetTck(0);
    SetTms(1);
    SetTdi(0);
}

uint32_t COstrevoCpldConfig::EnterProgrammingMode() {
    if (!m_Lines.Open()) return 0;
    m_Lines.SetUserOutput(0);
    // Wakes the JTAG lines with a few edges before they settle at idle.
    for (uint32_t (COstrevoCpldConfig::*setLine)(uint32_t) :
         {&COstrevoCpldConfig::SetTck, &COstrevoCpldConfig::SetTms, &COstrevoCpldConfig::SetTdi}) {
        for (int i = 0; i < 6; ++i)
            (this->*setLine)(i & 1);
    }
    return m_Lines.Engage([this] { IdleLines(); });
}

uint32_t COstrevoCpldConfig::LeaveProgrammingMode() {
    return m_Lines.Disengage([this] { IdleLines(); });
}

uint32_t COstrevoCpldConfig::SetTck(uint32_t level) {
    return m_Lines.SetLine(kLineTck, level);
}
uint32_t COstrevoCpldConfig::SetTms(uint32_t level) {
    return m_Lines.SetLine(kLineTms, level);
}
uint32_t COstrevoCpldConfig::SetTdi(uint32_t level) {
    return m_Lines.SetLine(kLineTdi, level);
}
uint32_t COstrevoCpldConfig::GetTdo(uint32_t* pLevel) {
    return m_Lines.ReadInput(kLineFixed200 | kLineFixed100 | kLineFixed080, pLevel);
}

}  // namespace velmora::program

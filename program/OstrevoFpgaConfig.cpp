#include "program/OstrevoFpgaConfig.h"

namespace velmora::program {

COstrevoFpgaConfig::COstrevoFpgaConfig(uint32_t cardIndex, hw::CPlxPex8311* pPciBridge)
    : m_Lines(cardIndex, pPciBridge, kInitialLineWord) {}

void COstrevoFpgaConfig::IdleLines() {
    SetDclk(0);
    SetNConfig(1);
    SetAsdi(0);
    SetNCs(1);
    SetNCe(1);
}

uint32_t COstrevoFpgaConfig::EnterConfigMode() {
    uint32_t count = 0;
    if (!m_Lines.Bridge()->GetBoardCount(&count) || m_Lines.CardIndex() >= count) return 0;
    if (!m_Lines.Open()) return 0;
    return m_Lines.Engage([this] { IdleLines(); });
}

uint32_t COstrevoFpgaConfig::LeaveConfigMode() {
    return m_Lines.Disengage([this] { IdleLines(); });
}

uint32_t COstrevoFpgaConfig::WaitConfigDone() {
    return 1;
}

uint32_t COstrevoFpgaConfig::GetData(uint32_t* pLevel) {
    return m_Lines.ReadInput(kLineFixed200 | kLineFixed100, pLevel);
}

uint32_t COstrevoFpgaConfig::SetDclk(uint32_t level) {
    return m_Lines.SetLine(kLineDclk, level);
}
uint32_t COstrevoFpgaConfig::SetNConfig(uint32_t level) {
    return m_Lines.SetLine(kLineNconfig, level);
}
uint32_t COstrevoFpgaConfig::SetAsdi(uint32_t level) {
    return m_Lines.SetLine(kLineAsdi, level);
}
uint32_t COstrevoFpgaConfig::SetNCs(uint32_t level) {
    return m_Lines.SetLine(kLineNcs, level);
}
uint32_t COstrevoFpgaConfig::SetNCe(uint32_t level) {
    return m_Lines.SetLine(kLineNce, level);
}

}  // namespace velmora::program

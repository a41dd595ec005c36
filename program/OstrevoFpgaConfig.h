#pragma once

// The programmer of the card's FPGA configuration flash: the EPCS programmer
// on the card's programming lines. The card builds it with the rest of its
// objects and the board support forwards the flash operations to it;
// building and deleting it touch no hardware.

#include <cstdint>

#include "hw/PlxPex8311.h"
#include "program/AlteraFpgaAsConfig.h"
#include "program/OstrevoLines.h"

namespace velmora::program {

class COstrevoFpgaConfig : public CAlteraFpgaAsConfig {
  public:
    // Every line at its idle level, 0x80 clear: USERi reads DATA.
    static constexpr uint32_t kInitialLineWord = 0x132C;

    COstrevoFpgaConfig(uint32_t cardIndex, hw::CPlxPex8311* pPciBridge);

    uint32_t EnterConfigMode() override;
    uint32_t LeaveConfigMode() override;
    uint32_t WaitConfigDone() override;
    uint32_t GetData(uint32_t* pLevel) override;
    uint32_t SetDclk(uint32_t level) override;
    uint32_t SetNConfig(uint32_t level) override;
    uint32_t SetAsdi(uint32_t level) override;
    uint32_t SetNCs(uint32_t level) override;
    uint32_t SetNCe(uint32_t level) override;

    // Whether the configuration mode holds the programming lines (and with
    // them the board and its DMA channels).
    bool HoldsLines() const { return m_Lines.Held(); }
    uint32_t GetCardIndex() const { return m_Lines.CardIndex(); }
    hw::CPlxPex8311* GetPciBridge() const { return m_Lines.Bridge(); }
    uint32_t GetLineWord() const { return m_Lines.LineWord(); }

  private:
    void IdleLines();

    COstrevoLines m_Lines;
};

}  // namespace velmora::program

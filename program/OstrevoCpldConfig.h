#pragma once

// The programmer of the card's CPLD: the byte-code player on the card's
// JTAG lines. The card builds it with the rest of its objects and deletes it
// at close; building and deleting it touch no hardware and no other object of
// the card.

#include <cstdint>

#include "hw/PlxPex8311.h"
#include "program/AlteraJtagConfig.h"
#include "program/OstrevoLines.h"

namespace velmora::program {

class COstrevoCpldConfig : public CAlteraJtagConfig {
  public:
    // Every line at its idle level, 0x80 set: USERi reads TDO.
    static constexpr uint32_t kInitialLineWord = 0x13AC;

    COstrevoCpldConfig(uint32_t cardIndex, hw::CPlxPex8311* pPciBridge);

    uint32_t EnterProgrammingMode() override;
    uint32_t LeaveProgrammingMode() override;
    uint32_t SetTck(uint32_t level) override;
    uint32_t SetTms(uint32_t level) override;
    uint32_t SetTdi(uint32_t level) override;
    uint32_t GetTdo(uint32_t* pLevel) override;

    // Whether the programming mode holds the programming lines (and with
    // them the board and its DMA channels).
    bool HoldsLines() const { return m_Lines.Held(); }
    uint32_t GetCardIndex() const { return m_Lines.CardIndex(); }
    hw::CPlxPex8311* GetPciBridge() const { return m_Lines.Bridge(); }
    uint32_t GetLineWord() const { return m_Lines.LineWord(); }

  private:
    // TCK low, TMS high, TDI low.
    void IdleLines();

    COstrevoLines m_Lines;
};

}  // namespace velmora::program

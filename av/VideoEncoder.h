#pragma once

// The analog video encoder chips on the card's IIC bus. The board-support
// object drives every encoder through this one table of virtual operations;
// a chip class overrides what its chip supports, and whatever it leaves
// alone does nothing and returns 1.
//
// Chip operations do not report IIC errors: transfers are issued and their
// status dropped. The only results a caller reads are TestIicAccess and the
// value ReadRegister delivers.

#include <cstdint>

#include "av/ChipRegisterAccess.h"

namespace velmora::av {

class CVideoEncoder : public CChipRegisterAccess {
  public:
    // The IIC master is shared by every chip on the bus and not owned. A chip
    // class passes its address pair.
    explicit CVideoEncoder(hw::CIicMaster* pIicMaster, uint8_t writeAddress = 0,
                           uint8_t readAddress = 0);

    virtual uint32_t InitDevice();
    virtual uint32_t CloseDevice();
    // Delivers the register byte zero-extended (0 when the read fails).
    virtual uint32_t ReadRegister(uint8_t reg, uint32_t* pValue);
    virtual uint32_t WriteRegister(uint8_t reg, uint8_t value);
    virtual uint32_t SetPal();
    virtual uint32_t SetNtsc();
    virtual uint32_t SetFreeRunSync();
    virtual uint32_t SetGenlockSync(uint32_t mode);
    virtual uint32_t SetGenlockMode(uint32_t mode);
    virtual uint32_t DisableGenlock();
    virtual uint32_t Reserved10();
    virtual uint32_t Reserved11();
    virtual uint32_t Reserved12();
    virtual uint32_t Reserved13();
    virtual uint32_t Reserved14();
    virtual uint32_t Reserved15();
    virtual uint32_t Reserved16();
    virtual uint32_t Reserved17();
    virtual uint32_t EnableExternalSync();
    virtual uint32_t DisableExternalSync();
    virtual uint32_t SetChromaPhase(uint8_t value);
    virtual uint32_t EnableColorBars();
    virtual uint32_t DisableColorBars();
    virtual uint32_t SelectOutputFormat0();
    virtual uint32_t SelectOutputFormat1();
    virtual uint32_t SelectOutputFormat2();
    virtual uint32_t SelectOutputFormat3();
    // 1 when the chip's test register holds what is written to it, 100
    // times over with two patterns; 0 at the first mismatch.
    virtual uint32_t TestIicAccess();

    virtual ~CVideoEncoder();
};

}  // namespace velmora::av

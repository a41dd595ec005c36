#pragma once

// The driver of one analog video decoder chip on the card's IIC bus. The
// board-support object drives every decoder through these operations without
// knowing the chip; each chip class overrides what its chip supports and
// inherits the do-nothing base for the rest.
//
// No operation reports a bus error: transfers are issued and their status is
// dropped. The only results a caller reads are GetInputStatus (1 signal, 0 no
// signal), TestIicAccess (1 pass, 0 fail) and ReadRegister's out-value. The
// set-up operations return 1.
//
// Decoders hold no lock of their own: the board calls them under the card's
// API lock, and the IIC master serialises every transfer.

#include <cstdint>

#include "av/ChipRegisterAccess.h"

namespace velmora::av {

class CVideoDecoder : public CChipRegisterAccess {
  public:
    // The master is not owned; it is shared by every chip on the bus. A chip
    // class passes its address pair.
    explicit CVideoDecoder(hw::CIicMaster* pIicMaster, uint8_t writeAddress = 0,
                           uint8_t readAddress = 0);
    virtual ~CVideoDecoder() = default;

    // One-byte register access with the chip's read and write address; the
    // out-value receives the byte zero-extended (0 when the read failed).
    virtual uint32_t ReadRegister(uint8_t reg, uint32_t* pValue);
    virtual uint32_t WriteRegister(uint8_t reg, uint8_t value);
    virtual uint32_t Reserved2();
    virtual uint32_t InitDevice();
    virtual uint32_t SetPal();
    virtual uint32_t SetNtsc();
    virtual uint32_t EnableSyncOutput();
    virtual uint32_t DisableSyncOutput();
    virtual uint32_t ResetChromaDto();
    // 1 when the selected input carries a signal; the base has no way to
    // tell and answers 1.
    virtual uint32_t GetInputStatus();
    virtual uint32_t SelectInput0();
    virtual uint32_t SelectInput8();
    virtual uint32_t SelectInput9();
    virtual uint32_t SelectInput10();
    virtual uint32_t SelectInput1();
    virtual uint32_t SelectInput2();
    virtual uint32_t SelectInput7();
    virtual uint32_t SelectInput3();
    virtual uint32_t SetFastLockOff();
    virtual uint32_t SetFastLockOn();
    // Picture controls take the board's byte 0..255 (128 is the midpoint).
    virtual uint32_t SetContrast(uint8_t value);
    virtual uint32_t SetBrightness(uint8_t value);
    virtual uint32_t SetHue(uint8_t value);
    // component: 0 = Cb, 1 = Cr.
    virtual uint32_t SetChromaSaturation(uint8_t value, uint32_t component);
    virtual uint32_t SetSaturation(uint8_t value);
    // The IIC self-test of the chip's test register; the base has no test
    // register and answers 1.
    virtual uint32_t TestIicAccess();

  protected:
    // Reads a status register. A read that fails gives `noSignalValue`, so a
    // chip that does not answer never reports a signal.
    uint8_t ReadStatusRegister(uint8_t reg, uint8_t noSignalValue);

    // The board's picture byte is offset by 128 (128 is no offset); the
    // chips take two's complement, which is the same byte with its top bit
    // inverted.
    static uint8_t OffsetToTwosComplement(uint8_t value) {
        return static_cast<uint8_t>(value - 0x80);
    }
};

}  // namespace velmora::av

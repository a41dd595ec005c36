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

#include <cstddef>
#include <cstdint>

#include "av/ChipRegisterTable.h"
#include "hw/IicMaster.h"

namespace velmora::av {

class CVideoDecoder {
  public:
    // The master is not owned; it is shared by every chip on the bus.
    explicit CVideoDecoder(hw::CIicMaster* pIicMaster);
    virtual ~CVideoDecoder() = default;
    CVideoDecoder(const CVideoDecoder&) = delete;
    CVideoDecoder& operator=(const CVideoDecoder&) = delete;

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

    uint8_t WriteAddress() const { return m_byWriteAddress; }
    uint8_t ReadAddress() const { return m_byReadAddress; }

  protected:
    // Register `reg` bits shift..shift+width-1 := the low `width` bits of
    // `value`, a read-modify-write under the master's field lock.
    void UpdateField(uint8_t reg, uint8_t value, uint8_t shift, uint8_t width);

    template <std::size_t N>
    void WriteTable(const CHIP_REGISTER_TABLE<N>& table) {
        WriteChipRegisterTable(m_pIicMaster, m_byWriteAddress, table);
    }
    template <std::size_t N>
    void WriteTableRows(const CHIP_REGISTER_TABLE<N>& table, uint32_t first, uint32_t end) {
        WriteChipRegisterRows(m_pIicMaster, m_byWriteAddress, table, first, end);
    }

    // Reads a status register. A read that fails gives `noSignalValue`, so a
    // chip that does not answer never reports a signal.
    uint8_t ReadStatusRegister(uint8_t reg, uint8_t noSignalValue);

    // The self-test every chip runs on its test register: 100 rounds of
    // writing 0x55 and 0xAA and reading each back, failing at the first
    // mismatch. The register's previous value is put back afterwards, since
    // on some chips it is a live control register.
    uint32_t RunIicSelfTest(uint8_t testRegister);

    uint8_t m_byWriteAddress = 0;
    uint8_t m_byReadAddress = 0;
    hw::CIicMaster* m_pIicMaster;
};

}  // namespace velmora::av

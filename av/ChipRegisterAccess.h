#pragma once

// What every video chip driver does on the card's IIC bus, written once for
// the decoder and the encoder interfaces: the chip's address pair and the
// shared IIC master, one-byte register access, field updates, table writes
// and the IIC self-test of the chip's test register.
//
// Nothing here reports a bus error: transfers are issued and their status
// dropped. What a caller reads is the self-test's result and the value a
// register read delivers.

#include <cstddef>
#include <cstdint>

#include "av/ChipRegisterTable.h"
#include "hw/IicMaster.h"

namespace velmora::av {

class CChipRegisterAccess {
  public:
    CChipRegisterAccess(const CChipRegisterAccess&) = delete;
    CChipRegisterAccess& operator=(const CChipRegisterAccess&) = delete;

    uint8_t GetWriteAddress() const { return m_byWriteAddress; }
    uint8_t GetReadAddress() const { return m_byReadAddress; }

  protected:
    // The master is not owned; it is shared by every chip on the bus.
    CChipRegisterAccess(hw::CIicMaster* pIicMaster, uint8_t writeAddress, uint8_t readAddress)
        : m_byWriteAddress(writeAddress), m_byReadAddress(readAddress), m_pIicMaster(pIicMaster) {}
    // Only the chip interfaces derive from this, and they are deleted
    // through their own virtual destructors.
    ~CChipRegisterAccess() = default;

    // The ReadRegister and WriteRegister of both interfaces. The out-value
    // receives the byte zero-extended (0 when the read failed). Both return
    // 1; the read returns 0 only when it has no out-value to fill.
    uint32_t ReadChipRegister(uint8_t reg, uint32_t* pValue);
    uint32_t WriteChipRegister(uint8_t reg, uint8_t value);

    // Register `reg` bits shift..shift+width-1 := the low `width` bits of
    // `value`, one read-modify-write under the master's field lock.
    void UpdateField(uint8_t reg, uint8_t value, uint8_t shift, uint8_t width);
    // The same with the write address in both address positions, as some
    // chip operations issue it.
    void UpdateFieldAtWriteAddress(uint8_t reg, uint8_t value, uint8_t shift, uint8_t width);

    // Writes a register table, or rows first..end-1 of it, in row order to
    // the write address.
    template <std::size_t N>
    void WriteTable(const CHIP_REGISTER_TABLE<N>& table) {
        WriteChipRegisterTable(m_pIicMaster, m_byWriteAddress, table);
    }
    template <std::size_t N>
    void WriteTableRows(const CHIP_REGISTER_TABLE<N>& table, uint32_t first, uint32_t end) {
        WriteChipRegisterRows(m_pIicMaster, m_byWriteAddress, table, first, end);
    }

    // The self-test every chip runs on its test register: 100 rounds of
    // writing 0x55 and 0xAA and reading each back, 0 at the first mismatch.
    // The register's previous value is put back afterwards, since on some
    // chips it is a live control register.
    uint32_t RunIicSelfTest(uint8_t testRegister);

    uint8_t m_byWriteAddress;
    uint8_t m_byReadAddress;
    hw::CIicMaster* m_pIicMaster;
};

}  // namespace velmora::av

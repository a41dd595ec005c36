#pragma once

// Philips UDA1345TS audio codec (card model 0x5100). Its control port is the
// three-wire L3 bus (mode, clock, data), bit-banged through the line
// operations below; CIoCardAudioCodecUda1345ts binds them, and an auxiliary
// line, to bits 0 to 3 of the FPGA's audio-codec pin register 0x6C.
//
// The codec cannot be read back, so the object keeps shadows of its status
// register and data registers 0 to 3 and builds every transfer from them.
// Results: 1 for success, 0 for failure. A transfer runs to its end even
// when a step fails, and then reports 0.

#include <cstdint>

#include "av/AudioCodec.h"

namespace velmora::hw {
class CIoCardFpga;
}

namespace velmora::av {

class CAudioCodecUda1345ts : public CAudioCodec {
  public:
    // The codec's L3 device address and the address bytes of the two
    // transfer types (address in bits 7..2, type in bits 1..0).
    static constexpr uint32_t kL3Address = 5;
    static constexpr uint8_t kDataAddressByte = 0x14;
    static constexpr uint8_t kStatusAddressByte = 0x16;
    static constexpr uint32_t kDataRegisterCount = 4;
    static constexpr uint8_t kMaxVolume = 63;

    // auxLineLevel: what ApplyAuxLine drives the auxiliary line to.
    explicit CAudioCodecUda1345ts(uint32_t auxLineLevel);
    ~CAudioCodecUda1345ts() override;

    // Lines idle high, shadows to their start values, everything written,
    // volume to full (attenuation 0).
    uint32_t InitCodec() override;
    // Full attenuation.
    uint32_t CloseCodec() override;
    uint32_t Reserved4(uint32_t value) override;
    uint32_t MuteOn() override;
    uint32_t MuteOff() override;
    uint32_t Reserved7() override;
    uint32_t Reserved8() override;
    virtual uint32_t Reserved9();
    virtual uint32_t Reserved10();
    virtual uint32_t Reserved11();
    virtual uint32_t Reserved12();
    virtual uint32_t Reserved13();
    virtual uint32_t Reserved14();

    // The lines. This class has no pins: each succeeds without effect.
    virtual uint32_t SetL3ModeHigh();
    virtual uint32_t SetL3ModeLow();
    virtual uint32_t SetL3ClockHigh();
    virtual uint32_t SetL3ClockLow();
    virtual uint32_t SetL3DataHigh();
    virtual uint32_t SetL3DataLow();
    virtual uint32_t SetAuxLineHigh();
    virtual uint32_t SetAuxLineLow();
    // The bus's only timing.
    virtual uint32_t L3Delay();

    uint32_t L3ModeHigh();
    uint32_t L3ModeLow();
    uint32_t L3ClockHigh();
    uint32_t L3ClockLow();
    uint32_t L3DataHigh();
    uint32_t L3DataLow();
    // 0 while the bus is disabled.
    uint32_t AuxLineHigh();
    uint32_t AuxLineLow();
    // Drive the auxiliary line only while the bus is enabled; always 1.
    uint32_t DriveAuxHigh();
    uint32_t DriveAuxLow();
    uint32_t ApplyAuxLine();
    // Lowers the line; 1 when its configured level is high, else 0.
    uint32_t LowerAuxLine();

    uint32_t EnableL3Bus();
    // While disabled, every transfer, field write and auxiliary-line step
    // fails and touches no line.
    uint32_t DisableL3Bus();

    // One byte, least significant bit first, data changing while the clock
    // is low.
    uint32_t L3WriteByte(uint8_t byte);
    uint32_t L3SendDataAddress();
    uint32_t L3SendStatusAddress();
    uint32_t L3SendDataByte(uint8_t byte);
    // The status shadow in one transfer.
    uint32_t L3WriteStatus();
    // Data shadows first .. first + count - 1 in one transfer; the range must
    // lie within registers 0 to 3 and hold at least one register.
    uint32_t L3WriteData(uint32_t first, uint32_t count);

    // Shadow bits shift..shift+width-1 := the low `width` bits of value,
    // then the register is sent. Status: register 0 only; data: 0 to 3. The
    // top two bits of a data byte select the register in the codec and are
    // kept.
    uint32_t WriteStatusField(uint32_t reg, uint32_t shift, uint32_t width, uint8_t value);
    uint32_t WriteDataField(uint32_t reg, uint32_t shift, uint32_t width, uint8_t value);

    // Volume 0 to 63 (above counts as 63), as attenuation 63 - volume.
    uint32_t SetVolume(uint8_t volume);
    uint32_t SetStatusBit0();
    uint32_t ClearStatusBit0();
    uint32_t SetStatusField1(uint8_t value);
    uint32_t SetStatusField4(uint8_t value);

    uint8_t GetStatusShadow() const { return m_abyShadow[0]; }
    // 0 for a register past 3.
    uint8_t GetDataShadow(uint32_t reg) const;
    bool IsL3Disabled() const { return m_bL3Disabled != 0; }

  private:
    // The address or a data phase of a transfer.
    uint32_t L3SendPhase(uint8_t byte, bool addressPhase);
    // Mode and clock high: the bus idle before a transfer.
    uint32_t L3BeginTransfer();
    // One transfer: the address phase, then `count` data bytes.
    uint32_t L3Transfer(uint8_t addressByte, const uint8_t* bytes, uint32_t count);

    uint32_t m_byL3Address = kL3Address;
    uint32_t m_bL3Disabled = 0;
    uint32_t m_nAuxLineLevel;
    // The status register, then data registers 0 to 3. Before InitCodec the
    // data bytes hold only their register-select bits, so that a field write
    // made that early still reaches its own register.
    uint8_t m_abyShadow[5] = {0x00, 0x00, 0x40, 0x80, 0xC0};
};

// The codec on this card's FPGA lines: mode bit 0, clock bit 1, data bit 2,
// auxiliary bit 3 of register 0x6C.
class CIoCardAudioCodecUda1345ts : public CAudioCodecUda1345ts {
  public:
    // The FPGA object is not owned. The auxiliary line's level is high.
    explicit CIoCardAudioCodecUda1345ts(hw::CIoCardFpga* pFpga);
    ~CIoCardAudioCodecUda1345ts() override;

    uint32_t SetL3ModeHigh() override;
    uint32_t SetL3ModeLow() override;
    uint32_t SetL3ClockHigh() override;
    uint32_t SetL3ClockLow() override;
    uint32_t SetL3DataHigh() override;
    uint32_t SetL3DataLow() override;
    uint32_t SetAuxLineHigh() override;
    uint32_t SetAuxLineLow() override;
    // Ten reads of the pin register.
    uint32_t L3Delay() override;

  private:
    hw::CIoCardFpga* m_pFpga;
};

}  // namespace velmora::av

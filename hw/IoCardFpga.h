#pragma once

// The card family's level of the FPGA register object: its register bases and
// sync selection, the card clock, status readers and the audio codec pins.

#include "hw/Fpga.h"

namespace velmora::hw {

class CIoCardFpga : public CFpga {
  public:
    // The family member whose blocks A and B trade places.
    static constexpr uint32_t kSwappedVendorId = 0x4B57;
    static constexpr uint32_t kSwappedDeviceId = 0x2000;
    static constexpr uint32_t kRegTsStatusCh0 = 0x16C;

    CIoCardFpga(CPciBridge* pPciBridge, card::CGlobalVars* pGlobalVars);
    ~CIoCardFpga() override;

    uint32_t GetRegisterBases(uint32_t vendorId, uint32_t deviceId, uint32_t* pBaseA,
                              uint32_t* pBaseB, uint32_t* pBaseC, uint32_t* pBaseD) override;
    uint32_t SelectInternalSync() override;
    uint32_t SelectSyncFromChannel0() override;
    uint32_t SelectSyncFromChannel1() override;

    // The card clock, latched by a 0-1-0 pulse of A 22. Latch and reads hold
    // the FPGA mutex together so that no other latch (the packet counters use
    // the same bit) lands between them.
    uint32_t ReadCardClock(uint32_t* pClock);
    uint32_t ReadCardClock64(uint64_t* pClock);
    uint32_t ReadRegisterF4(uint32_t* pValue);
    uint32_t ReadTsStatusCh0(uint32_t* pValue);
    uint32_t ReadCardStatus(uint32_t* pValue);

    // Audio codec pins: bits 0 to 3 of register 0x6C, written from a shadow
    // of the whole register (so its other bits go back as last read).
    uint32_t ReadAudioCodecPins();
    uint32_t SetAudioCodecPin0();
    uint32_t SetAudioCodecPin1();
    uint32_t SetAudioCodecPin2();
    uint32_t SetAudioCodecPin3();
    uint32_t ClearAudioCodecPin0();
    uint32_t ClearAudioCodecPin1();
    uint32_t ClearAudioCodecPin2();
    uint32_t ClearAudioCodecPin3();

    uint32_t GetAudioCodecShadow() const { return m_dwAudioCodecShadow; }

  protected:
    // The family's register bases: the defaults, with blocks A and B traded
    // on the one board (swappedVendorId, swappedDeviceId) that has them so.
    uint32_t RegisterBasesSwappedOn(uint32_t swappedVendorId, uint32_t swappedDeviceId,
                                    uint32_t vendorId, uint32_t deviceId, uint32_t* pBaseA,
                                    uint32_t* pBaseB, uint32_t* pBaseC, uint32_t* pBaseD);
    // Sync selection is A 4 together with B 12.
    uint32_t SelectSyncBits(uint32_t blockABit4, uint32_t blockBBit12);

    // Pulses the latch and reads the low word (and the high word when asked)
    // under one hold of the FPGA mutex.
    uint32_t LatchAndRead(uint32_t firstOffset, uint32_t* pFirst, uint32_t secondOffset,
                          uint32_t* pSecond);
    // The latch between two reads of `watchedOffset`, nothing else between
    // them, then `latchedOffset` read: when both reads agree, the latched
    // value and the watched one are of one moment.
    uint32_t LatchBetweenReads(uint32_t watchedOffset, uint32_t* pBefore, uint32_t* pAfter,
                               uint32_t latchedOffset, uint32_t* pLatched);
    uint32_t WriteAudioCodecPin(uint32_t pin, bool set);

    uint32_t m_dwAudioCodecShadow = 0;
};

}  // namespace velmora::hw

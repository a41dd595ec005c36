#pragma once

// This card's level of the FPGA register object: its own sync, relay and
// source bits, and the registers of the DVB-ASI transport-stream path. Port
// 1's video rings carry the ASI streams here, so their status registers read
// as ring pointers and their strobes commit them.

#include "hw/IoCardFpga.h"

namespace velmora::hw {

// A card-memory word address inside the ASI input or output ring.
using ASI_RING_POINTER = uint32_t;

class CVelmoraFpga : public CIoCardFpga {
  public:
    // The board whose blocks A and B trade places.
    static constexpr uint32_t kSwappedVendorId = 0x4B57;
    static constexpr uint32_t kSwappedDeviceId = 0x5111;
    // Board IDs read from register 0x1C; 0x5110 and 0x5111 are alike.
    static constexpr uint32_t kBoardId5100 = 0x5100;
    static constexpr uint32_t kBoardId5110 = 0x5110;
    static constexpr uint32_t kBoardId5111 = 0x5111;
    // From this FPGA version on the ASI status sits in the upper half of
    // 0x16C and the output mode in 0x170.
    static constexpr uint32_t kAsiSplitVersion = 0x50103;

    static constexpr uint32_t kRegCapturedPackets = 0x54;
    static constexpr uint32_t kRegSentPackets = 0x58;
    static constexpr uint32_t kRegTsOutputParameters = 0x168;
    static constexpr uint32_t kRegTsStatus = 0x16C;
    static constexpr uint32_t kRegTsControl = 0x170;
    static constexpr uint32_t kRegAsiInputWritePointer = 0x204;
    static constexpr uint32_t kRegAsiOutputReadPointer = 0x250;
    static constexpr uint32_t kRegAsiInputReadPointer = 0x260;
    static constexpr uint32_t kRegAsiOutputWritePointer = 0x264;
    static constexpr uint32_t kRegTsMonitorFirst = 0x380;

    CVelmoraFpga(CPciBridge* pPciBridge, card::CGlobalVars* pGlobalVars);
    ~CVelmoraFpga() override;

    uint32_t GetRegisterBases(uint32_t vendorId, uint32_t deviceId, uint32_t* pBaseA,
                              uint32_t* pBaseB, uint32_t* pBaseC, uint32_t* pBaseD) override;
    // Internal sync and channels 0 and 1 select as the card family does.
    uint32_t SelectSyncFromChannel2() override;
    uint32_t VideoRelayOn(uint32_t channel) override;
    uint32_t VideoRelayOff(uint32_t channel) override;
    uint32_t AudioRelayOn(uint32_t channel) override;
    uint32_t AudioRelayOff(uint32_t channel) override;
    // decoderIndex 0 to 2; the channel is not used.
    uint32_t SelectVideoSource(uint32_t channel, uint32_t decoderIndex) override;
    // source 0 or 1; the channel is not used.
    uint32_t SelectAudioSource(uint32_t channel, uint32_t source) override;
    uint32_t SelectSourceMode(uint32_t mode) override;

    virtual uint32_t ClearSourceModeBit();
    virtual uint32_t SetSourceModeBit();
    virtual uint32_t SetAudioSourceBit();
    virtual uint32_t ClearAudioSourceBit();
    virtual uint32_t StartTsCapture();
    virtual uint32_t StopTsCapture();
    // Whether the card captures (the bit StartTsCapture sets), whichever
    // process switched it on.
    uint32_t ReadTsCaptureEnable(uint32_t* pOn);
    // 0: 188-byte packets, 1: 204-byte packets.
    virtual uint32_t SetAsiPacketLength(uint32_t flag);
    virtual uint32_t GetAsiStatus(uint32_t* pStatus);
    virtual uint32_t SetAsiOutputMode(uint32_t mode);
    // The output mode the card holds (the bit SetAsiOutputMode writes), so
    // that every process reads the same mode.
    uint32_t ReadAsiOutputMode(uint32_t* pMode);
    virtual uint32_t ReservedOperationE(uint32_t unused);
    // The host's ASI input read pointer (a card word address).
    virtual uint32_t WriteTsCaptureControl(ASI_RING_POINTER pointer);
    // The FPGA's ASI input write pointer.
    virtual uint32_t ReadTsCaptureStatus(ASI_RING_POINTER* pPointer);
    // Commits the written read pointer.
    virtual uint32_t StrobeTsCaptureBuffer();
    virtual uint32_t ReservedOperationF(uint32_t unused);
    // The host's ASI output write pointer.
    virtual uint32_t WriteTsPlaybackControl(ASI_RING_POINTER pointer);
    // The FPGA's ASI output read pointer.
    virtual uint32_t ReadTsPlaybackStatus(ASI_RING_POINTER* pPointer);
    // Commits the written write pointer.
    virtual uint32_t StrobeTsPlaybackBuffer();
    virtual uint32_t WriteTsOutputParameters(uint8_t first, uint8_t second);
    virtual uint32_t WriteTsOutputWord(uint32_t word);
    virtual uint32_t StartAsiCodeRateTrack(uint32_t flag);
    virtual uint32_t IsTsOutputStatusBit7Set(uint32_t* pValue);
    virtual uint32_t ReadTsMonitor380(uint32_t* pValue);
    virtual uint32_t ReadTsMonitor384(uint32_t* pValue);
    virtual uint32_t ReadTsMonitor388(uint32_t* pValue);
    virtual uint32_t ReadTsMonitor38C(uint32_t* pValue);
    virtual uint32_t ReadTsMonitor390(uint32_t* pValue);
    virtual uint32_t ReadTsMonitor394(uint32_t* pValue);
    virtual uint32_t ReadTsMonitor398(uint32_t* pValue);
    virtual uint32_t ReadTsMonitor39C(uint32_t* pValue);
    virtual uint32_t ReadTsMonitor3A0(uint32_t* pValue);
    // Latches both counters with A 22 and reads them under one hold of the
    // FPGA mutex.
    virtual uint32_t ReadTsPacketCounters(uint32_t* pCaptured, uint32_t* pSent);
    // The captured-packet counter latched between two reads of the input
    // write pointer.
    uint32_t ReadCapturedPacketsAtWritePointer(uint32_t* pCaptured, uint32_t* pWriteBefore,
                                               uint32_t* pWriteAfter);
    virtual uint32_t ReadCardStatus(uint32_t* pValue);
    virtual uint32_t ReadTsStatusCh1(uint32_t* pValue);

    // Record flags of channels 0 and 1; 0 for a channel of 7 or more.
    uint32_t SetTsRecordFlag(uint32_t channel);
    uint32_t ClearTsRecordFlag(uint32_t channel);

  private:
    // 1 when the board ID reads 0x5110 or 0x5111, 0 for other boards; false
    // when the ID cannot be read.
    bool ReadIsBoard5110(uint32_t* pIs5110);
    uint32_t WriteRecordFlag(uint32_t channel, uint32_t value);
};

}  // namespace velmora::hw

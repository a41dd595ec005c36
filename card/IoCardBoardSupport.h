#pragma once

// The card family's level of the board support: the bridge's two DMA
// channels, the card clock, one board operation per FPGA frame-ring operation
// of the audio and video workers, two stored NVRAM bytes, the card-memory
// tests through DMA, and the ASI operations that this card's level fills in
// (constant stubs here: each returns 1 and writes nothing).

#include <cstdint>

#include "card/BoardSupport.h"

namespace velmora::hw {
class CIoCardFpga;
class CDmaManager;
}  // namespace velmora::hw

namespace velmora::card {

class CIoCardBoardSupport : public CBoardSupport {
  public:
    // DMA card-memory test: 16 blocks of 1 MB on channel 0.
    static constexpr uint32_t kMemoryTestBlocks = 16;
    static constexpr uint32_t kMemoryTestBlockBytes = 0x100000;
    static constexpr uint32_t kMemoryTestSettleMs = 100;
    // DMA speed test: the eight frames of the channel-0 video playback ring.
    static constexpr uint32_t kSpeedTestRingAddress = 8294400;
    static constexpr uint32_t kSpeedTestFrameBytes = 829440;
    static constexpr uint32_t kSpeedTestFrames = 8;
    static constexpr uint32_t kSpeedTestRepetitions = 10;

    // The chip table goes to the base; the DMA manager is kept and not used.
    CIoCardBoardSupport(uint32_t cardIndex, hw::CPciBridge* pPciBridge, hw::CIoCardFpga* pFpga,
                        CGlobalVars* pGlobalVars, CNonvolatileRam* pNvram,
                        COstrevoFpgaConfig* pFpgaConfig, COstrevoCpldConfig* pCpldConfig,
                        const BOARD_CHIP_TABLE& chips, hw::CDmaManager* pDmaManager);
    ~CIoCardBoardSupport() override;

    // --- Overrides of the base. ---
    uint32_t ReadFieldStatus(uint32_t* pStatus) override;
    // The base bring-up; logs " \n CardDeviceInitial fail !!" when it fails.
    uint32_t InitDevice() override;
    uint32_t CloseDevice() override;
    // Not reached on this card: its level restores through the base directly.
    uint32_t RestoreSettings() override;
    // `reset` marks the first opener in the system: only it opens the DMA
    // channels and enables their interrupts; every opener registers its own
    // DMA-done notifications.
    uint32_t OpenPciDevice(uint32_t reset) override;
    // The last user in the system closes the DMA channels; the board is
    // closed in any case.
    uint32_t ClosePciDevice(uint32_t lastInSystem) override;
    // This family maps no memory window: both return 1.
    uint32_t MapBars() override;
    uint32_t UnmapBars() override;
    uint32_t SetDefaultSettings() override;
    // Write, read back and compare the first 16 MB of card memory over DMA
    // channel 0; the result goes to a message box on failure.
    uint32_t TestCardMemory() override;

    // --- Slots added by this level, in slot order. ---

    // The 64-bit card clock in 10 µs ticks; in no-hardware mode the tick
    // count x 100.
    virtual uint32_t GetCardClock64(uint64_t* pClock);
    virtual uint32_t GetCardClock(uint32_t* pClock);
    virtual uint32_t GetFpgaRegisterF4(uint32_t* pValue);

    // Frame-ring operations: the port first (1 = port 1, other = port 0),
    // then the FPGA operation's arguments; each returns the FPGA's result.
    virtual uint32_t FlushAudioPlaybackBuffer(uint32_t port);
    virtual uint32_t FlushVideoPlaybackBuffer(uint32_t port);
    virtual uint32_t IsAudioCaptureBufferFull(uint32_t port);
    virtual uint32_t IsAudioCaptureBufferEmpty(uint32_t port);
    virtual uint32_t IsAudioPlaybackBufferFull(uint32_t port);
    virtual uint32_t IsAudioPlaybackBufferEmpty(uint32_t port);
    virtual uint32_t IsVideoCaptureBufferFull(uint32_t port);
    virtual uint32_t IsVideoCaptureBufferEmpty(uint32_t port);
    virtual uint32_t IsVideoPlaybackBufferFull(uint32_t port);
    virtual uint32_t IsVideoPlaybackBufferEmpty(uint32_t port);
    virtual uint32_t SetVideoCaptureReadRequest(uint32_t port);
    virtual uint32_t ClearVideoCaptureReadRequest(uint32_t port);
    virtual uint32_t IsVideoCaptureReadDone(uint32_t port);
    virtual uint32_t GetVideoCaptureBufferReadNo(uint32_t port, uint32_t* pNumber);
    virtual uint32_t GetVideoCaptureBufferWriteNo(uint32_t port, uint32_t* pNumber);
    virtual uint32_t GetVideoCaptureBufferCount(uint32_t port, uint32_t* pCount);
    virtual uint32_t GetVideoCaptureTimeStamp(uint32_t port, uint32_t index, uint64_t* pTime);
    virtual uint32_t GetVideoCaptureEntry(uint32_t port, uint32_t index, uint32_t* pEntry);
    virtual uint32_t StrobeVideoCaptureBuffer(uint32_t port);
    virtual uint32_t ReadTimeStampCounter(uint32_t port, uint64_t* pTime);
    virtual uint32_t GetVideoPlaybackBufferReadNo(uint32_t port, uint32_t* pNumber);
    virtual uint32_t GetVideoPlaybackBufferWriteNo(uint32_t port, uint32_t* pNumber);
    virtual uint32_t GetVideoPlaybackBufferCount(uint32_t port, uint32_t* pCount);
    // The 64-bit stamp in two words, low first.
    virtual uint32_t SetVideoPlaybackTimeStamp(uint32_t port, uint32_t low, uint32_t high);
    virtual uint32_t WriteVideoPlaybackTimeStampLow(uint32_t port, uint32_t value);
    virtual uint32_t StrobeVideoPlaybackBuffer(uint32_t port);
    virtual uint32_t SetAudioCaptureReadRequest(uint32_t port);
    virtual uint32_t ClearAudioCaptureReadRequest(uint32_t port);
    virtual uint32_t IsAudioCaptureReadDone(uint32_t port);
    virtual uint32_t GetAudioCaptureBufferReadNo(uint32_t port, uint32_t* pNumber);
    virtual uint32_t GetAudioCaptureBufferWriteNo(uint32_t port, uint32_t* pNumber);
    virtual uint32_t GetAudioCaptureBufferCount(uint32_t port, uint32_t* pCount);
    virtual uint32_t GetAudioCaptureTimeStamp(uint32_t port, uint32_t index, uint64_t* pTime);
    virtual uint32_t GetAudioCaptureEntry(uint32_t port, uint32_t index, uint32_t* pEntry);
    virtual uint32_t StrobeAudioCaptureBuffer(uint32_t port);
    virtual uint32_t ReadTimeStampCounter2(uint32_t port, uint64_t* pTime);
    virtual uint32_t GetAudioPlaybackBufferReadNo(uint32_t port, uint32_t* pNumber);
    virtual uint32_t GetAudioPlaybackBufferWriteNo(uint32_t port, uint32_t* pNumber);
    virtual uint32_t GetAudioPlaybackBufferCount(uint32_t port, uint32_t* pCount);
    virtual uint32_t SetAudioPlaybackTimeStamp(uint32_t port, uint32_t low, uint32_t high);
    virtual uint32_t WriteAudioPlaybackTimeStampLow(uint32_t port, uint32_t value);
    virtual uint32_t WriteAudioPlaybackControlEC(uint32_t port, uint32_t value);
    virtual uint32_t StrobeAudioPlaybackBuffer(uint32_t port);

    // NVRAM bytes 94 and 95.
    virtual uint32_t SetStoredByte94(uint32_t value);
    virtual uint32_t GetStoredByte94(uint32_t* pValue);
    virtual uint32_t SetStoredByte95(uint32_t value);
    virtual uint32_t GetStoredByte95(uint32_t* pValue);

    // ASI operations; the last argument is a port word that is not used.
    virtual uint32_t EnableAsiInput(uint32_t port);
    virtual uint32_t DisableAsiInput(uint32_t port);
    // flag 0: 188-byte packets, 1: 204-byte packets.
    virtual uint32_t SetAsiPacketLength(uint32_t flag, uint32_t port);
    virtual uint32_t GetAsiPacketLength(uint32_t* pFlag, uint32_t port);
    virtual uint32_t SetAsiOutputControl(uint8_t first, uint8_t second, uint32_t port);
    virtual uint32_t SetAsiOutputControlWord(uint16_t word, uint32_t port);
    virtual uint32_t GetAsiOutputControl(uint32_t port);
    virtual uint32_t GetAsiOutputStatusBit(uint32_t* pBit, uint32_t port);
    virtual uint32_t IsAsiOutputBufferFull(uint32_t port);
    virtual uint32_t IsAsiOutputBufferEmpty(uint32_t port);
    virtual uint32_t GetAsiOutputFreeUnits(uint32_t* pUnits, uint32_t port);
    virtual uint32_t GetAsiOutputWritePointer(uint32_t* pPointer, uint32_t port);
    virtual uint32_t SetAsiOutputWritePointer(uint32_t pointer, uint32_t port);
    virtual uint32_t GetAsiOutputReadPointer(uint32_t* pPointer, uint32_t port);
    virtual uint32_t CommitAsiOutputWritePointer(uint32_t port);
    virtual uint32_t IsAsiInputBufferFull(uint32_t port);
    virtual uint32_t IsAsiInputBufferEmpty(uint32_t port);
    virtual uint32_t GetAsiInputFilledUnits(uint32_t* pUnits, uint32_t port);
    virtual uint32_t GetAsiInputReadPointer(uint32_t* pPointer, uint32_t port);
    virtual uint32_t SetAsiInputReadPointer(uint32_t pointer, uint32_t port);
    virtual uint32_t GetAsiInputWritePointer(uint32_t* pPointer, uint32_t port);
    virtual uint32_t CommitAsiInputReadPointer(uint32_t port);

    // --- Not virtual. ---

    // Three timed DMA passes over the channel-0 video playback ring, each
    // reported in a message box; run only while nothing else uses channel 0.
    uint32_t TestSdramSpeed();

  protected:
    hw::CPciBridge* m_pIoPciBridge;
    hw::CIoCardFpga* m_pIoFpga;
    CNonvolatileRam* m_pIoNvram;
    hw::CDmaManager* m_pDmaManager;
};

}  // namespace velmora::card

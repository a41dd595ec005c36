#pragma once

// This card's level of the board support, the one the card object builds.
// It tells the board models apart by the board ID the FPGA reports, builds
// and owns the chip objects of the model, adds the DVB-ASI ring, status and
// packet-length operations, and refuses the sources a model lacks.
//
// Models and their chips:
//   0x5100          TVP5147 decoder 0, SAA7128 encoder 1 (IIC 0x8C),
//                   UDA1345TS codec as audio input 0 and output 0
//   0x5110, 0x5111  ADV7180 decoders 0 (0x40) and 1 (0x42), ADV7343 encoder 1
//                   (0x54, or 0x56 from board version 0x20100), the FPGA
//                   audio path as audio input 0 and output 0

#include <cstdint>
#include <memory>

#include "card/IoCardBoardSupport.h"
#include "card/TsInputShare.h"
#include "card/TsOutputHold.h"

namespace velmora::hw {
class CVelmoraFpga;
class CVelmoraIicMaster;
class CIicMaster;
}  // namespace velmora::hw
namespace velmora::av {
class CVideoDecoderTvp5147;
class CVideoDecoderAdv7180;
class CVideoDecoderSaa7113;
class CVideoEncoderSaa7105;
class CVideoEncoderSaa7128;
class CVideoEncoderAdv7343;
class CVelmoraAudioDecoder;
class CVelmoraAudioEncoder;
class CIoCardAudioCodecUda1345ts;
}  // namespace velmora::av

namespace velmora::card {

class CBaseCard;

// The board IDs (FPGA register 0x1C) of this card's models.
using BOARD_ID = uint32_t;
inline constexpr BOARD_ID kBoardId5100 = 0x5100;
inline constexpr BOARD_ID kBoardId5110 = 0x5110;
// Treated as 0x5110 wherever the model is tested, but not accepted by the
// device initialisation.
inline constexpr BOARD_ID kBoardId5111 = 0x5111;

// The ASI rings in card memory: word addresses, 25,920 units of 64 words.
namespace asi_ring {
inline constexpr uint32_t kInputBase = 0x465400;
inline constexpr uint32_t kOutputBase = 0x5FA400;
inline constexpr uint32_t kUnits = 0x6540;
inline constexpr uint32_t kUnitShift = 6;

// Free units of the output ring between the host's write pointer and the
// card's read pointer.
constexpr uint32_t OutputFreeUnits(uint32_t write, uint32_t read) {
    if (write == read) return kUnits;
    if (write > read) return kUnits - ((write - read) >> kUnitShift);
    return (read - write) >> kUnitShift;
}
// Filled units of the input ring between the card's write pointer and the
// host's read pointer.
constexpr uint32_t InputFilledUnits(uint32_t hardwareWrite, uint32_t read) {
    if (hardwareWrite == read) return 0;
    if (hardwareWrite > read) return (hardwareWrite - read) >> kUnitShift;
    return kUnits - ((read - hardwareWrite) >> kUnitShift);
}
}  // namespace asi_ring

class CVelmoraBoardSupport : public CIoCardBoardSupport {
  public:
    // Board version from which the ADV7343 answers at 0x56/0x57.
    static constexpr uint32_t kAdv7343HighAddressVersion = 0x20100;
    // The PCI Express bridge function whose configuration word 0x68 the
    // bring-up sets.
    static constexpr uint16_t kBridgeVendorId = 0x10B5;
    static constexpr uint16_t kBridgeDeviceId = 0x8111;
    static constexpr uint8_t kBridgeConfigRegister = 0x68;
    static constexpr uint32_t kBridgeConfigValue = 0x5100;
    // What the ASI operations answer in no-hardware mode.
    static constexpr uint32_t kNoHardwareInputFilledUnits = 3240;

    // The bridge, the IIC master, the DMA manager and the programmers are not
    // owned; the chip objects this level builds are.
    CVelmoraBoardSupport(uint32_t cardIndex, hw::CPciBridge* pPciBridge, hw::CVelmoraFpga* pFpga,
                         hw::CVelmoraIicMaster* pIicMaster, CGlobalVars* pGlobalVars,
                         CNonvolatileRam* pNvram, COstrevoFpgaConfig* pFpgaConfig,
                         COstrevoCpldConfig* pCpldConfig, hw::CDmaManager* pDmaManager);
    // Deletes the chip objects still held (a process that was not the last
    // user of the card never runs CloseDevice); touches no hardware.
    ~CVelmoraBoardSupport() override;

    // --- Overrides of inherited slots. ---

    // Model detection and chip selection, the family's bring-up, then the
    // configuration fix-up of the PCI Express bridge. An unknown board ID
    // with hardware present logs "%x  %x " (model, ID) and fails.
    uint32_t InitDevice() override;
    // Codec closed (model 0x5100), the base close, the chip objects deleted
    // and the chip table cleared.
    uint32_t CloseDevice() override;
    // ASI packet length 188 and output mode 0, then the base restore.
    uint32_t RestoreSettings() override;
    // A process that does not initialise the card still needs the chip
    // objects its sync-source and picture operations drive: after the bridge
    // is open, an opener that is not the first in the system detects the
    // model and builds the chip objects without initialising the chips.
    uint32_t OpenPciDevice(uint32_t reset) override;
    uint32_t SetDefaultSettings() override;
    // The board ID; the out word is left as it was when the read fails.
    uint32_t GetCardTypeNumber(uint32_t* pId) override;
    // 0x10 (sync from decoder 1's first input) needs model 0x5110.
    uint32_t SetSyncSource(SYNC_SOURCE_CODE code) override;
    uint32_t SetVideoSource(uint32_t channel, VIDEO_SOURCE_CODE code) override;
    // 0x11 (the second audio path) needs model 0x5110.
    uint32_t SetAudioSource(uint32_t channel, AUDIO_SOURCE_CODE code) override;

    // The input is shared by every process that captures from the card: on
    // while any of them has it enabled, off once the last one disables it.
    uint32_t EnableAsiInput(uint32_t port) override;
    uint32_t DisableAsiInput(uint32_t port) override;
    // Whether the card's input is on, whichever process switched it on; 1
    // also when that cannot be read.
    uint32_t IsAsiInputOn(uint32_t port);
    // Keeps the flag in bit 0 of NVRAM byte 100; any flag other than 0 and 1
    // leaves the byte as it was and is then refused by the FPGA. Every
    // process that has the card open counts its packets in the card's one
    // length, which it took at its open: the length is not changed (0, with
    // a log line) while another process has the card open. A set to the
    // length the card has answers 1 at once and writes nothing.
    uint32_t SetAsiPacketLength(uint32_t flag, uint32_t port) override;
    uint32_t GetAsiPacketLength(uint32_t* pFlag, uint32_t port) override;
    uint32_t SetAsiOutputControl(uint8_t first, uint8_t second, uint32_t port) override;
    uint32_t SetAsiOutputControlWord(uint16_t word, uint32_t port) override;
    uint32_t GetAsiOutputStatusBit(uint32_t* pBit, uint32_t port) override;
    // Full when at most one unit is free (never when the pointers are equal).
    uint32_t IsAsiOutputBufferFull(uint32_t port) override;
    uint32_t IsAsiOutputBufferEmpty(uint32_t port) override;
    // Free units minus the one that keeps a full ring apart from an empty one.
    uint32_t GetAsiOutputFreeUnits(uint32_t* pUnits, uint32_t port) override;
    uint32_t GetAsiOutputWritePointer(uint32_t* pPointer, uint32_t port) override;
    uint32_t SetAsiOutputWritePointer(uint32_t pointer, uint32_t port) override;
    uint32_t GetAsiOutputReadPointer(uint32_t* pPointer, uint32_t port) override;
    uint32_t CommitAsiOutputWritePointer(uint32_t port) override;
    // The card's one output, held by this process while it plays.
    CTsOutputHold& TsOutputHold();
    // Whether some process, this one included, holds the output; 1 also when
    // that cannot be looked at.
    uint32_t IsAsiOutputHeld(uint32_t port);
    uint32_t IsAsiInputBufferFull(uint32_t port) override;
    uint32_t IsAsiInputBufferEmpty(uint32_t port) override;
    uint32_t GetAsiInputFilledUnits(uint32_t* pUnits, uint32_t port) override;
    uint32_t GetAsiInputReadPointer(uint32_t* pPointer, uint32_t port) override;
    uint32_t SetAsiInputReadPointer(uint32_t pointer, uint32_t port) override;
    uint32_t CommitAsiInputReadPointer(uint32_t port) override;
    // The card's count of packets received, latched between two reads of its
    // input write pointer.
    uint32_t GetTsCapturedPacketsAt(uint32_t* pCaptured, uint32_t* pWriteBefore,
                                    uint32_t* pWriteAfter);
    // Moves this process's read pointer without a commit: past entries it
    // lets go of, or past entries it read while the card's pointer is
    // another process's further on, which a commit would take back.
    uint32_t SkipAsiInputReadPointer(uint32_t pointer, uint32_t port);
    // Commits `pointer` for the card alone, this process's read pointer
    // staying as it is: a commit that a process that died left half done is
    // finished so.
    uint32_t RecommitAsiInputReadPointer(uint32_t pointer, uint32_t port);
    // What every process capturing from the card knows of its input.
    TsInputRecord* GetAsiInputRecord(uint32_t port);

    // --- Slots added by this level, in slot order. ---

    // The card's ASI_STATUS word.
    virtual uint32_t GetAsiStatus(uint32_t* pStatus, uint32_t unused);
    virtual uint32_t SetAsiOutputMode(uint32_t mode, uint32_t unused);
    // The output mode last set through this object (0 until one is set).
    virtual uint32_t GetAsiOutputMode(uint32_t* pMode, uint32_t unused);
    // flag 1 turns code-rate tracking on, any other value off.
    virtual uint32_t StartAsiCodeRateTrack(uint32_t flag, uint32_t unused);
    // NVRAM bytes 223-226; the erased value reads as 0. Always 1.
    virtual uint32_t GetStoredDword(uint32_t* pValue);
    // 1 when the four bytes read back as written.
    virtual uint32_t SetStoredDword(uint32_t value);
    virtual uint32_t GetTsPacketCounters(uint32_t* pCaptured, uint32_t* pSent);
    virtual uint32_t GetCardStatusWord(uint32_t* pStatus);
    virtual uint32_t GetTsStatus0(uint32_t* pStatus);
    virtual uint32_t GetTsStatus1(uint32_t* pStatus);

    // --- Not virtual. ---

    // The card whose other users the packet length is kept for; a board
    // driven without a card object has none.
    void SetCard(const CBaseCard* pCard) { m_pCard = pCard; }

    // Record trigger flags of the mailbox: channels 0 and 1 change a bit,
    // 2 to 6 succeed without effect, 7 and above fail.
    uint32_t SetTsRecordTriggerBit(uint32_t channel);
    uint32_t ClearTsRecordTriggerBit(uint32_t channel);
    uint32_t TsStubTrue(uint32_t value);

    // The model InitDevice (or the open of a later process) detected;
    // 0x5100 until then.
    uint32_t GetBoardModel() const { return m_uiBoardModel; }
    bool HasChipObjects() const;

  private:
    bool IsModel5110() const {
        return m_uiBoardModel == kBoardId5110 || m_uiBoardModel == kBoardId5111;
    }
    // Reads the board ID and settles m_uiBoardModel; false for an ID that is
    // not accepted while hardware is present (the line is logged when `log`).
    bool DetectModel(bool log);
    // Builds the model's chip objects and fills the base table; nothing
    // touches a chip.
    void BuildChipObjects();
    // Deletes the chip objects and clears the base table.
    void DeleteChipObjects();
    uint32_t ReadOutputPointers(uint32_t* pWrite, uint32_t* pRead);
    uint32_t ReadInputPointers(uint32_t* pHardwareWrite, uint32_t* pRead);
    CTsInputShare& TsInputShare();
    // The packet-length step, with `othersOpen` telling whether a change
    // would meet another process that has the card open.
    uint32_t WriteAsiPacketLength(uint32_t flag, bool othersOpen);

    hw::CVelmoraFpga* m_pVelmoraFpga;
    hw::CPciBridge* m_pVelmoraPciBridge;
    CNonvolatileRam* m_pVelmoraNvram;
    hw::CIicMaster* m_pIicMaster;
    av::CVideoDecoderTvp5147* m_pVideoDecoderTvp5147 = nullptr;
    av::CVideoDecoderAdv7180* m_pVideoDecoderAdv7180[2] = {};
    av::CVideoDecoderSaa7113* m_pVideoDecoderSaa7113 = nullptr;
    av::CVideoEncoderSaa7105* m_pVideoEncoderSaa7105 = nullptr;
    av::CVideoEncoderSaa7128* m_pVideoEncoderSaa7128 = nullptr;
    av::CVideoEncoderAdv7343* m_pVideoEncoderAdv7343 = nullptr;
    av::CVelmoraAudioDecoder* m_pAudioDecoder = nullptr;
    av::CVelmoraAudioEncoder* m_pAudioEncoder = nullptr;
    av::CIoCardAudioCodecUda1345ts* m_pAudioCodec = nullptr;
    uint32_t m_uiAsiOutputWritePointer = asi_ring::kOutputBase;
    uint32_t m_uiAsiInputReadPointer = asi_ring::kInputBase;
    // What the last SetAsiInputReadPointer wrote, this process's from its
    // commit on.
    uint32_t m_uiAsiInputReadPointerWritten = asi_ring::kInputBase;
    CGlobalVars* m_pVelmoraGlobalVars;
    hw::CDmaManager* m_pVelmoraDmaManager;
    uint32_t m_uiBoardModel = kBoardId5100;
    std::unique_ptr<CTsInputShare> m_pTsInputShare;
    std::unique_ptr<CTsOutputHold> m_pTsOutputHold;
    const CBaseCard* m_pCard = nullptr;
};

}  // namespace velmora::card

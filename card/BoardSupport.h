#pragma once

// The card's hardware facade: one object per open card that holds the PCI
// bridge, the FPGA register object, the card variables, the settings store,
// the device programmers and the table of video and audio chip objects. Every
// other layer reaches the card's chips, relays and settings through these
// virtual operations; the card family (CIoCardBoardSupport) and this card
// (CVelmoraBoardSupport) override and extend them.
//
// Every operation returns 1 for success and 0 for failure unless its comment
// says otherwise. Setters of stored settings also write the value to NVRAM
// while the persist flag is set; getters of stored settings read NVRAM.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/HandleTable.h"
#include "velmora/Velmora.h"

namespace velmora::hw {
class CPciBridge;
class CFpga;
}  // namespace velmora::hw
namespace velmora::program {
class COstrevoFpgaConfig;
class COstrevoCpldConfig;
}  // namespace velmora::program
namespace velmora::av {
class CVideoDecoder;
class CVideoEncoder;
class CAudioDecoder;
class CAudioEncoder;
}  // namespace velmora::av

namespace velmora::card {

class CGlobalVars;
class CNonvolatileRam;
using program::COstrevoCpldConfig;
using program::COstrevoFpgaConfig;

// Board-side codes of the source, routing and relay operations.
// High nibble: decoder 0-3; low nibble: decoder input 0-3, 7-10 (4-6 too).
using VIDEO_SOURCE_CODE = uint32_t;
// As VIDEO_SOURCE_CODE, naming the input whose signal times the card; 0x80 is
// internal (free-running) sync.
using SYNC_SOURCE_CODE = uint32_t;
// High nibble: audio input (or output) object 0-3; low nibble: its input
// (or output) 0-3.
using AUDIO_SOURCE_CODE = uint32_t;
// High nibble: video encoder 0-3; low nibble: format 0-6.
using VIDEO_OUTPUT_FORMAT_CODE = uint32_t;
// 0 off, 1 on.
using RELAY_MODE = uint32_t;

inline constexpr SYNC_SOURCE_CODE kInternalSync = 0x80;

// The command block of Test and of the recording mailbox's register command,
// filled in place.
using TEST_REQUEST = ::TEST_REQUEST;
static_assert(sizeof(TEST_REQUEST) == 16);
static_assert(offsetof(TEST_REQUEST, dwRegister) == 4);
static_assert(offsetof(TEST_REQUEST, dwValue) == 8);
static_assert(offsetof(TEST_REQUEST, dwResult) == 12);

// Test commands.
namespace test_command {
inline constexpr uint32_t kWriteReadDecoder0 = 0x00;  // 0x00-0x02: decoder 0-2
inline constexpr uint32_t kWriteReadEncoder0 = 0x10;  // 0x10-0x12: encoder 0-2
inline constexpr uint32_t kReadDecoder0 = 0x80;       // 0x80-0x82
inline constexpr uint32_t kReadEncoder0 = 0x90;       // 0x90-0x92
inline constexpr uint32_t kPortControlBit4 = 0xF0;
inline constexpr uint32_t kWriteReadFpga = 0xF1;
inline constexpr uint32_t kReadFpga = 0xF2;
}  // namespace test_command

// The chip objects a level hands to the base: null entries are absent chips.
struct BOARD_CHIP_TABLE {
    av::CVideoDecoder* pVideoDecoder[4] = {};
    av::CVideoEncoder* pVideoEncoder[4] = {};
    av::CAudioDecoder* pAudioDecoder[4] = {};
    av::CAudioEncoder* pAudioEncoder[4] = {};
};

// Configuration-word fix-up of every PCI function with the given identifiers,
// through the port-I/O driver library. 0 only when the library cannot be
// initialised; the mask is accepted and not used.
uint8_t FixPciConfigWord(uint16_t vendorId, uint16_t deviceId, uint8_t configRegister,
                         uint32_t value, uint32_t mask);

class CBoardSupport {
  public:
    static constexpr uint32_t kChannels = 4;
    static constexpr uint32_t kInitialCardModel = 0x1000;
    // Card version that stands for an erased board version.
    static constexpr uint32_t kDefaultCardVersion = 0x10000;
    // What the card's bring-up mark holds once the card was brought up.
    static constexpr uint32_t kBroughtUpMark = 0x56424455;  // "UDBV"
    // From this card version on the FPGA window is unmapped at close.
    static constexpr uint32_t kUnmapFpgaWindowVersion = 0x10301;
    static constexpr uint32_t kLocalBusBar = 2;
    static constexpr uint32_t kFpgaRegisterBar = 3;
    // Byte size of the FPGA register window that Test may reach.
    static constexpr uint32_t kFpgaRegisterWindowSize = 0x1000;
    // Pause after the PCI device is opened.
    static constexpr uint32_t kOpenSettleMs = 200;
    // Pause before a sync source's signal is checked, and before the chroma
    // oscillator of the sync decoder is reset.
    static constexpr uint32_t kSyncSettleMs = 500;

    // Neither pointer is owned; the card object builds and deletes them all.
    CBoardSupport(uint32_t cardIndex, hw::CPciBridge* pPciBridge, hw::CFpga* pFpga,
                  CGlobalVars* pGlobalVars, CNonvolatileRam* pNvram, const BOARD_CHIP_TABLE& chips,
                  COstrevoFpgaConfig* pFpgaConfig, COstrevoCpldConfig* pCpldConfig);
    virtual ~CBoardSupport();
    CBoardSupport(const CBoardSupport&) = delete;
    CBoardSupport& operator=(const CBoardSupport&) = delete;

    // --- Virtual operations, in slot order. ---

    // Copies the name into this object, the card variables, the bridge and
    // the FPGA object.
    virtual uint32_t SetProductName(const wchar_t* name);
    virtual uint32_t EnableNoHardwareMode();
    virtual uint32_t EnableFieldInterrupt();
    virtual uint32_t DisableFieldInterrupt();
    virtual uint32_t SetControlBit13();
    virtual uint32_t StartAudioCapture(uint32_t port);
    virtual uint32_t StopAudioCapture(uint32_t port);
    virtual uint32_t StopVideoCapture(uint32_t port);
    virtual uint32_t StartVideoCapture(uint32_t port);
    virtual uint32_t ClearControlBit11(uint32_t value);
    virtual uint32_t SetControlBit11(uint32_t value);
    virtual uint32_t SetControlBit19();
    virtual uint32_t ClearControlBit19();
    virtual uint32_t ReadFieldStatus(uint32_t* pStatus);
    virtual uint32_t WriteControl28(uint32_t value);
    virtual uint32_t SetControlBit10();
    virtual uint32_t ClearControlBit10();
    virtual uint32_t SetControlBit29();
    virtual uint32_t ClearControlBit29();
    // Bring-up from the chip table; 1 whatever the steps return.
    virtual uint32_t InitDevice();
    // Field interrupt off, encoders closed, every relay off; 1.
    virtual uint32_t CloseDevice();
    // Re-applies every stored setting (not the sync source); the caller
    // clears the persist flag around it.
    virtual uint32_t RestoreSettings();
    virtual uint32_t GetCardVersion(uint32_t* pVersion);
    virtual uint32_t OpenPciDevice(uint32_t reset);
    // The flag is 1 for the last user of the card in the system, who alone
    // switches the card's local interrupt off.
    virtual uint32_t ClosePciDevice(uint32_t lastInSystem);
    virtual uint32_t MapBars();
    virtual uint32_t UnmapBars();
    // Factory defaults, stored as they are applied.
    virtual uint32_t SetDefaultSettings();
    virtual uint32_t ResetPciBridge();
    // Whether the card was brought up since it was powered: InitDevice and
    // the settings restore of an opener ran to their end, and no last user
    // has closed the device since. The card keeps this mark itself (in a
    // bridge mailbox), so it goes with the card's state and outlives the
    // process that set it. No-hardware mode: always brought up.
    uint32_t IsBroughtUp();
    uint32_t SetBroughtUp(uint32_t broughtUp);
    virtual uint32_t OpenFieldInterruptNotify();
    // An existing named event with full access; null when there is none. The
    // handle is released by CloseNamedEvent, which refuses (0) a closed or
    // unknown one.
    virtual platform::Handle OpenNamedEvent(const wchar_t* name);
    virtual uint32_t CloseNamedEvent(platform::Handle handle);
    virtual uint32_t GetRegisterBase(void** ppBase);
    virtual uint32_t GetCardTypeNumber(uint32_t* pId);
    virtual uint32_t GetCardSubType(uint32_t* pValue);
    virtual uint32_t GetDriverVersion(uint32_t* pVersion);
    virtual uint32_t GetBoardVersion(uint32_t* pVersion);
    virtual uint32_t SetBoardVersion(uint32_t version);
    virtual uint32_t WriteIdentityRecord(uint32_t word0, uint32_t format, uint32_t word1,
                                         uint32_t dword0, uint32_t dword1);
    virtual uint32_t ReadIdentityRecord(uint32_t* pWord0, uint32_t* pFormat, uint32_t* pWord1,
                                        uint32_t* pDword0, uint32_t* pDword1);
    virtual uint32_t GetSerialNumber(uint32_t* pSerial);
    virtual uint32_t GetHostChipsetType(uint32_t* pType);
    virtual uint32_t GetVideoInputContrast(uint32_t channel, uint32_t* pValue);
    virtual uint32_t SetVideoInputContrast(uint32_t channel, uint32_t value);
    virtual uint32_t GetVideoInputBrightness(uint32_t channel, uint32_t* pValue);
    virtual uint32_t SetVideoInputBrightness(uint32_t channel, uint32_t value);
    virtual uint32_t GetVideoInputHue(uint32_t channel, uint32_t* pValue);
    virtual uint32_t SetVideoInputHue(uint32_t channel, uint32_t value);
    // component 0 = Cb (shares the saturation byte), 1 = Cr.
    virtual uint32_t GetVideoInputChromaSaturation(uint32_t channel, uint32_t component,
                                                   uint32_t* pValue);
    virtual uint32_t GetVideoInputSaturation(uint32_t channel, uint32_t* pValue);
    virtual uint32_t SetVideoInputChromaSaturation(uint32_t channel, uint32_t component,
                                                   uint32_t value);
    virtual uint32_t SetVideoInputSaturation(uint32_t channel, uint32_t value);
    virtual uint32_t GetGlobalSelectSetting(uint32_t* pFlag);
    // Stores the flag when `store` is nonzero (whatever the persist flag).
    virtual uint32_t SetGlobalSelectSetting(uint32_t value, uint32_t store);
    virtual uint32_t WriteGlobalSelectBit(uint32_t value, uint32_t which);
    virtual uint32_t GetVideoMode(uint32_t* pMode);
    // 0 NTSC, any other value PAL.
    virtual uint32_t SetVideoMode(uint32_t mode);
    virtual uint32_t GetSyncSource(SYNC_SOURCE_CODE* pCode);
    virtual uint32_t SetSyncSource(SYNC_SOURCE_CODE code);
    virtual uint32_t GetVideoInputStatus(uint32_t code, uint32_t* pStatus);
    virtual uint32_t GetVideoSource(uint32_t channel, VIDEO_SOURCE_CODE* pCode);
    virtual uint32_t SetVideoSource(uint32_t channel, VIDEO_SOURCE_CODE code);
    virtual uint32_t GetVideoOutputFormat(uint32_t channel, uint32_t encoder,
                                          VIDEO_OUTPUT_FORMAT_CODE* pCode);
    virtual uint32_t SetVideoOutputFormat(uint32_t channel, VIDEO_OUTPUT_FORMAT_CODE code);
    virtual uint32_t GetFastLockMode(uint32_t channel, uint32_t* pMode);
    virtual uint32_t SetFastLockMode(uint32_t channel, uint32_t mode);
    virtual uint32_t GetAudioSource(uint32_t channel, AUDIO_SOURCE_CODE* pCode);
    virtual uint32_t SetAudioSource(uint32_t channel, AUDIO_SOURCE_CODE code);
    virtual uint32_t GetAudioOutputSelect(uint32_t channel, uint32_t output,
                                          AUDIO_SOURCE_CODE* pCode);
    virtual uint32_t SetAudioOutputSelect(uint32_t channel, AUDIO_SOURCE_CODE code);
    virtual uint32_t GetVideoOutputChromaPhase(uint32_t* pValue);
    virtual uint32_t SetVideoOutputChromaPhase(uint32_t value);
    // Reads FPGA register 0x24, not the stored level.
    virtual uint32_t GetControl24(uint32_t* pValue);
    virtual uint32_t SetControl24(uint32_t value);
    virtual uint32_t GetControl2C(uint32_t* pValue);
    virtual uint32_t SetControl2C(uint32_t value);
    virtual uint32_t GetControl30(uint32_t* pValue);
    virtual uint32_t SetControl30(uint32_t value);
    virtual uint32_t GetGlobalFlag65(uint32_t* pFlag);
    virtual uint32_t SetGlobalFlag65(uint32_t value);
    virtual uint32_t PulseGlobalControlBit2();
    // The status bit goes to the out word.
    virtual uint32_t GetGlobalStatusBit0(uint32_t* pBit);
    // The FPGA-flash programmer's operations, forwarded; without a programmer
    // each logs a line and returns 0.
    virtual uint32_t EnterFpgaConfigMode();
    virtual uint32_t LeaveFpgaConfigMode();
    virtual uint32_t ReadBackFpgaConfigData(void* pBuffer, uint32_t size);
    virtual uint32_t ReadBackFpgaConfigFile(const wchar_t* path);
    virtual uint32_t ProgramFpgaConfigData(const void* pBuffer, uint32_t size);
    virtual uint32_t ProgramFpgaConfigFile(const wchar_t* path);
    virtual uint32_t VerifyFpgaConfigData(const void* pBuffer, uint32_t size);
    virtual uint32_t VerifyFpgaConfigFile(const wchar_t* path);
    virtual uint32_t ProgramAndVerifyFpgaConfigData(const void* pBuffer, uint32_t size);
    virtual uint32_t ProgramAndVerifyFpgaConfigFile(const wchar_t* path);
    virtual uint32_t ReconfigureFpga();
    virtual uint32_t GetFpgaConfigProgress(uint32_t* pStage, uint32_t* pPercent);
    virtual uint32_t ReconfigureFpgaAndWait();
    virtual uint32_t CheckFieldInterrupt();
    // Blocks until the next field interrupt (at most the bridge's wait).
    virtual uint32_t WaitForFieldInterrupt();
    virtual uint32_t GetVideoRelayMode(uint32_t channel, RELAY_MODE* pMode);
    virtual uint32_t SetVideoRelayMode(uint32_t channel, RELAY_MODE mode);
    virtual uint32_t GetAudioRelayMode(uint32_t channel, RELAY_MODE* pMode);
    virtual uint32_t SetAudioRelayMode(uint32_t channel, RELAY_MODE mode);
    virtual uint32_t TestCardMemory();
    virtual uint32_t TestScratchRegister();
    virtual uint32_t TestChipRegisters();
    virtual uint32_t TestNvram();
    virtual uint32_t GetFPGAVersion(uint32_t* pVersion);
    virtual uint32_t SetPortControlBit4(uint32_t unused);
    virtual uint32_t ClearPortControlBit4(uint32_t unused);
    virtual uint32_t GetReservedStatus(uint32_t* pValue);
    // Chip and FPGA register access by command block; FPGA offsets must be
    // 4-aligned and inside the register window.
    virtual uint32_t Test(TEST_REQUEST* pRequest);
    virtual uint32_t WritePortControlBit23(uint32_t value);
    virtual uint32_t IsStatusBit1Set();
    virtual uint32_t ReadStatus(uint32_t* pStatus);
    virtual uint32_t EnableLog(uint32_t flag);
    virtual uint32_t SetLogFileName(const wchar_t* name);

    // --- Members the card object and the main function reach directly. ---

    // While set, the setters store their values in NVRAM.
    uint32_t GetPersistFlag() const { return m_bPersist; }
    void SetPersistFlag(uint32_t persist) { m_bPersist = persist; }
    // 1 PAL, 0 NTSC.
    uint32_t GetVideoStandard() const { return m_bPal.load(std::memory_order_relaxed); }
    // Takes the standard stored in NVRAM as the current one without touching
    // the chips (an opener that is not the card's first).
    void AdoptStoredVideoStandard();
    uint32_t GetCardModel() const { return m_uiCardModel; }
    void SetCardModel(uint32_t model) { m_uiCardModel = model; }
    uint32_t GetBoardNumber() const { return m_uiBoardNumber; }
    void SetBoardNumber(uint32_t number) { m_uiBoardNumber = number; }
    uint32_t GetNoRelaysFlag() const { return m_bNoRelays; }
    void SetNoRelaysFlag(uint32_t noRelays) { m_bNoRelays = noRelays; }
    uint32_t IsNoHardwareMode() const { return m_bNoHardware; }
    // The bridge this board support drives; the frame workers move their frames
    // through it.
    hw::CPciBridge* GetPciBridge() const { return m_pPciBridge; }
    uint32_t GetCardIndex() const { return m_uiCardIndex; }
    const std::wstring& GetProductName() const { return m_strProductName; }
    uint32_t GetCachedCardVersion() const { return m_uiCardVersion; }

    // The chip table as it stands (null = absent).
    av::CVideoDecoder* VideoDecoder(uint32_t index) const {
        return index < kChannels ? m_pVideoDecoder[index] : nullptr;
    }
    av::CVideoEncoder* VideoEncoder(uint32_t index) const {
        return index < kChannels ? m_pVideoEncoder[index] : nullptr;
    }
    av::CAudioDecoder* AudioDecoder(uint32_t index) const {
        return index < kChannels ? m_pAudioInput[index] : nullptr;
    }
    av::CAudioEncoder* AudioEncoder(uint32_t index) const {
        return index < kChannels ? m_pAudioOutput[index] : nullptr;
    }

  protected:
    // Picks the decoder of a channel; null for an absent one or a channel
    // above 3.
    av::CVideoDecoder* DecoderOf(uint32_t channel) const { return VideoDecoder(channel); }
    // The common shape of the four picture-control setters.
    template <typename ChipCall, typename StoreCall>
    uint32_t SetPictureControl(uint32_t channel, ChipCall chipCall, StoreCall storeCall);
    uint32_t HasFpgaProgrammer(const char* operation);

    // Application threads may wait for fields at once; the first to come
    // registers the notification, and the others must neither register again
    // (cancelling the registration a thread already waits on) nor wait first.
    std::mutex m_FieldNotifyLock;
    uint32_t m_bFieldNotifyRegistered = 0;
    hw::CPciBridge* m_pPciBridge;
    hw::CFpga* m_pFpga;
    CGlobalVars* m_pGlobalVars;
    CNonvolatileRam* m_pNvram;
    COstrevoFpgaConfig* m_pFpgaConfig;
    COstrevoCpldConfig* m_pCpldConfig;
    av::CVideoDecoder* m_pVideoDecoder[kChannels] = {};
    av::CVideoEncoder* m_pVideoEncoder[kChannels] = {};
    av::CAudioDecoder* m_pAudioInput[kChannels] = {};
    av::CAudioEncoder* m_pAudioOutput[kChannels] = {};
    // The relay and version caches are written by the API threads' calls
    // and read by others'.
    std::atomic<uint32_t> m_uiVideoRelayMode[kChannels] = {};
    std::atomic<uint32_t> m_uiAudioRelayMode[kChannels] = {};
    std::wstring m_strProductName;
    uint32_t m_uiCardIndex;
    uint32_t m_uiCardModel = kInitialCardModel;
    std::atomic<uint32_t> m_uiCardVersion;
    uint32_t m_bNoHardware = 0;
    void* m_pRegisterWindow = nullptr;
    // The FPGA register window when MapBars could map it.
    void* m_pFpgaWindow = nullptr;
    // Set by SetVideoMode on an API thread, read by frame and time-stamp
    // calls on others.
    std::atomic<uint32_t> m_bPal{1};
    uint32_t m_bPersist = 1;
    uint32_t m_bNoRelays = 0;
    uint32_t m_uiBoardNumber = 0;
    // Informational copies of what the version reads returned.
    std::atomic<uint32_t> m_uiDriverVersion{0};
    std::atomic<uint32_t> m_uiHostChipsetType{0};
    std::atomic<uint32_t> m_uiFpgaVersion{0};
};

}  // namespace velmora::card

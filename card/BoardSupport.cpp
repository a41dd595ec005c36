#include "card/BoardSupport.h"

#include <cstring>
#include <memory>
#include <vector>

#include "av/AudioDecoder.h"
#include "av/AudioEncoder.h"
#include "av/VideoDecoder.h"
#include "av/VideoEncoder.h"
#include "card/GlobalVars.h"
#include "card/LoadTimeGlobals.h"
#include "card/LogFile.h"
#include "card/NonvolatileRam.h"
#include "card/UtilityFunc.h"
#include "hw/Fpga.h"
#include "hw/PciBridge.h"
#include "platform/Event.h"
#include "platform/PortIo.h"
#include "platform/TextConv.h"
#include "platform/Time.h"
#include "program/OstrevoFpgaConfig.h"

namespace velmora::card {

namespace {

constexpr uint32_t kControl28Value = 0x78;
constexpr uint32_t kLocalInterruptLine = 1;
constexpr uint32_t kPictureDefault = 0x80;
constexpr uint32_t kErasedWord = 0xFFFFFFFF;

// Board IDs on which the sync source's signal is checked first.
bool ChecksSyncSignal(uint32_t boardId) {
    return boardId == 0x1000 || boardId == 0x1100 || boardId == 0x5050 || boardId == 0x5060 ||
           boardId == 0x5110;
}
// Board IDs whose encoder 1 follows the video source instead of genlocking.
bool HasSpecialEncoder1(uint32_t boardId) {
    return boardId == 0x5020 || boardId == 0x5030 || boardId == 0x5060 || boardId == 0x5110;
}
// Inputs x0, x1, x2 and x7 of decoders 0-3: the ones whose signal can be told.
bool IsSignalCode(uint32_t code) {
    const uint32_t low = code & 0x0F;
    return code <= 0x37 && (low <= 2 || low == 7);
}

uint32_t ClampByte(uint32_t value) {
    return value > 0xFF ? 0xFF : value;
}
uint8_t LowByte(uint32_t value) {
    return static_cast<uint8_t>(value & 0xFF);
}

// "   " + 19 '@' + text + " " + trailing '@'s.
void LogRelayLine(const wchar_t* text, size_t trailing) {
    std::wstring line =
        L"   " + std::wstring(19, L'@') + text + L" " + std::wstring(trailing, L'@');
    g_LogFile.WriteLog(L"%ls", line.c_str());
}

}  // namespace

uint8_t FixPciConfigWord(uint16_t vendorId, uint16_t deviceId, uint8_t configRegister,
                         uint32_t value, uint32_t /*mask*/) {
    if (!platform::InitializeOls()) return 0;
    const uint16_t wanted = static_cast<uint16_t>(value);
    for (uint32_t index = 0; index < 8; ++index) {
        const platform::PciAddress address =
            platform::FindPciDeviceById(vendorId, deviceId, static_cast<uint8_t>(index));
        if (address == platform::kNoPciDevice) continue;
        if (platform::ReadPciConfigWord(address, configRegister) != wanted) {
            platform::WritePciConfigWord(address, configRegister, wanted);
        }
    }
    platform::DeinitializeOls();
    return 1;
}

CBoardSupport::CBoardSupport(uint32_t cardIndex, hw::CPciBridge* pPciBridge, hw::CFpga* pFpga,
                             CGlobalVars* pGlobalVars, CNonvolatileRam* pNvram,
                             const BOARD_CHIP_TABLE& chips, COstrevoFpgaConfig* pFpgaConfig,
                             COstrevoCpldConfig* pCpldConfig)
    : m_pPciBridge(pPciBridge),
      m_pFpga(pFpga),
      m_pGlobalVars(pGlobalVars),
      m_pNvram(pNvram),
      m_pFpgaConfig(pFpgaConfig),
      m_pCpldConfig(pCpldConfig),
      m_uiCardIndex(cardIndex),
      m_uiCardVersion(kDefaultCardVersion) {
    for (uint32_t i = 0; i < kChannels; ++i) {
        m_pVideoDecoder[i] = chips.pVideoDecoder[i];
        m_pVideoEncoder[i] = chips.pVideoEncoder[i];
        m_pAudioInput[i] = chips.pAudioDecoder[i];
        m_pAudioOutput[i] = chips.pAudioEncoder[i];
    }
    // Every board object starts a new log file of its own.
    g_LogFile.InitLogFile();
}

CBoardSupport::~CBoardSupport() = default;

// ---------------------------------------------------------------------------
// Identity of the object and no-hardware mode

uint32_t CBoardSupport::SetProductName(const wchar_t* name) {
    m_strProductName = name ? name : L"";
    if (m_pGlobalVars) m_pGlobalVars->SetName(platform::WideToUtf8(m_strProductName));
    if (m_pPciBridge) m_pPciBridge->SetProductName(m_strProductName);
    if (m_pFpga) m_pFpga->SetProductName(m_strProductName);
    return 1;
}

uint32_t CBoardSupport::EnableNoHardwareMode() {
    m_bNoHardware = 1;
    if (m_pGlobalVars) m_pGlobalVars->SetNoHardware(1);
    if (m_pPciBridge) m_pPciBridge->SetNoHardwareMode(1);
    if (m_pFpga) m_pFpga->SetNoHardwareMode(1);
    if (m_pNvram) m_pNvram->SetNoHardwareMode(1);
    return 1;
}

// ---------------------------------------------------------------------------
// One-line FPGA forwarders

uint32_t CBoardSupport::EnableFieldInterrupt() {
    return m_pFpga->EnableFieldInterrupt();
}
uint32_t CBoardSupport::DisableFieldInterrupt() {
    return m_pFpga->DisableFieldInterrupt();
}
uint32_t CBoardSupport::SetControlBit13() {
    return m_pFpga->SetControlBit13();
}
uint32_t CBoardSupport::StartAudioCapture(uint32_t port) {
    return m_pFpga->StartAudioCapture(port);
}
uint32_t CBoardSupport::StopAudioCapture(uint32_t port) {
    return m_pFpga->StopAudioCapture(port);
}
uint32_t CBoardSupport::StopVideoCapture(uint32_t port) {
    return m_pFpga->StopVideoCapture(port);
}
uint32_t CBoardSupport::StartVideoCapture(uint32_t port) {
    return m_pFpga->StartVideoCapture(port);
}
uint32_t CBoardSupport::ClearControlBit11(uint32_t value) {
    return m_pFpga->ClearControlBit11(value);
}
uint32_t CBoardSupport::SetControlBit11(uint32_t value) {
    return m_pFpga->SetControlBit11(value);
}
uint32_t CBoardSupport::SetControlBit19() {
    return m_pFpga->SetControlBit19();
}
uint32_t CBoardSupport::ClearControlBit19() {
    return m_pFpga->ClearControlBit19();
}
uint32_t CBoardSupport::ReadFieldStatus(uint32_t* pStatus) {
    return m_pFpga->ReadFieldStatus(pStatus);
}
uint32_t CBoardSupport::WriteControl28(uint32_t value) {
    return m_pFpga->WriteControl28(value);
}
uint32_t CBoardSupport::SetControlBit10() {
    return m_pFpga->SetControlBit10();
}
uint32_t CBoardSupport::ClearControlBit10() {
    return m_pFpga->ClearControlBit10();
}
uint32_t CBoardSupport::SetControlBit29() {
    return m_pFpga->SetControlBit29();
}
uint32_t CBoardSupport::ClearControlBit29() {
    return m_pFpga->ClearControlBit29();
}
uint32_t CBoardSupport::PulseGlobalControlBit2() {
    return m_pFpga->PulseControlBit2();
}
uint32_t CBoardSupport::GetGlobalStatusBit0(uint32_t* pBit) {
    if (!pBit) return 0;
    *pBit = m_pFpga->ReadStatusBit0();
    return 1;
}
uint32_t CBoardSupport::SetPortControlBit4(uint32_t) {
    return m_pFpga->SetPortControlBit4();
}
uint32_t CBoardSupport::ClearPortControlBit4(uint32_t) {
    return m_pFpga->ClearPortControlBit4();
}
uint32_t CBoardSupport::WritePortControlBit23(uint32_t value) {
    return m_pFpga->WritePortControlBit23(value);
}
uint32_t CBoardSupport::IsStatusBit1Set() {
    return m_pFpga->IsStatusBit1Set();
}
uint32_t CBoardSupport::ReadStatus(uint32_t* pStatus) {
    return m_pFpga->ReadStatus(pStatus);
}
uint32_t CBoardSupport::ResetPciBridge() {
    return m_pPciBridge->ResetBoard();
}

uint32_t CBoardSupport::IsBroughtUp() {
    if (m_bNoHardware) return 1;
    uint32_t mark = 0;
    return m_pPciBridge->ReadHostMailbox(&mark) && mark == kBroughtUpMark ? 1 : 0;
}

uint32_t CBoardSupport::SetBroughtUp(uint32_t broughtUp) {
    if (m_bNoHardware) return 1;
    return m_pPciBridge->WriteHostMailbox(broughtUp ? kBroughtUpMark : 0);
}

// ---------------------------------------------------------------------------
// Bring-up and close

uint32_t CBoardSupport::InitDevice() {
    uint32_t baseA = 0, baseB = 0, baseC = 0, baseD = 0;
    m_pFpga->GetRegisterBases(m_pPciBridge->GetSelectedVendorId(),
                              m_pPciBridge->GetSelectedDeviceId(), &baseA, &baseB, &baseC, &baseD);
    m_pFpga->SetRegisterBases(baseA, baseB, baseC, baseD);
    SetControlBit13();
    SetControlBit19();
    SetControlBit29();
    m_pFpga->PulseControlBit14();
    for (av::CVideoDecoder* decoder : m_pVideoDecoder) {
        if (decoder) decoder->InitDevice();
    }
    for (av::CVideoEncoder* encoder : m_pVideoEncoder) {
        if (encoder) encoder->InitDevice();
    }
    WriteControl28(kControl28Value);
    return 1;
}

uint32_t CBoardSupport::CloseDevice() {
    DisableFieldInterrupt();
    for (av::CVideoEncoder* encoder : m_pVideoEncoder) {
        if (encoder) encoder->CloseDevice();
    }
    for (uint32_t channel = 0; channel < kChannels; ++channel)
        SetVideoRelayMode(channel, 0);
    for (uint32_t channel = 0; channel < kChannels; ++channel)
        SetAudioRelayMode(channel, 0);
    return 1;
}

// A value that cannot be read is not applied: the setting keeps what it has
// rather than taking a value that was never stored.
uint32_t CBoardSupport::RestoreSettings() {
    uint32_t value = 0;
    if (GetVideoMode(&value)) SetVideoMode(value);
    if (GetVideoSource(0, &value)) SetVideoSource(0, value);
    if (GetAudioSource(0, &value)) SetAudioSource(0, value);
    for (uint32_t output = 0; output < kChannels; ++output) {
        if (GetVideoOutputFormat(0, output, &value)) SetVideoOutputFormat(0, value);
    }
    for (uint32_t output = 0; output < kChannels; ++output) {
        if (GetAudioOutputSelect(0, output, &value)) SetAudioOutputSelect(0, value);
    }
    for (uint32_t channel = 0; channel < 3; ++channel) {
        if (GetFastLockMode(channel, &value)) SetFastLockMode(channel, value);
    }
    if (GetControl24(&value)) SetControl24(value);
    if (GetControl2C(&value)) SetControl2C(value);
    if (GetControl30(&value)) SetControl30(value);
    if (GetGlobalFlag65(&value)) SetGlobalFlag65(value);
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
        if (GetVideoInputContrast(channel, &value)) SetVideoInputContrast(channel, value);
    }
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
        if (GetVideoInputBrightness(channel, &value)) SetVideoInputBrightness(channel, value);
    }
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
        if (GetVideoInputHue(channel, &value)) SetVideoInputHue(channel, value);
    }
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
        if (GetVideoInputSaturation(channel, &value)) SetVideoInputSaturation(channel, value);
    }
    if (GetVideoOutputChromaPhase(&value)) SetVideoOutputChromaPhase(value);
    if (GetGlobalSelectSetting(&value)) SetGlobalSelectSetting(value, 0);
    return 1;
}

uint32_t CBoardSupport::SetDefaultSettings() {
    SetSyncSource(1);
    SetFastLockMode(0, 1);
    SetVideoMode(1);
    SetVideoSource(0, 0);
    SetGlobalFlag65(1);
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
        SetVideoInputContrast(channel, kPictureDefault);
    }
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
        SetVideoInputBrightness(channel, kPictureDefault);
    }
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
        SetVideoInputHue(channel, kPictureDefault);
    }
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
        SetVideoInputSaturation(channel, kPictureDefault);
    }
    SetVideoOutputChromaPhase(0x32);
    SetControl30(0x92);
    SetControl24(0x80);
    SetControl2C(0x82);
    return 1;
}

uint32_t CBoardSupport::GetCardVersion(uint32_t* pVersion) {
    if (!pVersion) return 0;
    uint32_t version = 0;
    if (!GetBoardVersion(&version)) return 0;
    if (version == kErasedWord) version = kDefaultCardVersion;
    m_uiCardVersion = version;
    *pVersion = version;
    return 1;
}

uint32_t CBoardSupport::OpenPciDevice(uint32_t reset) {
    uint32_t count = 0;
    if (!m_pPciBridge->GetBoardCount(&count)) {
        g_LogFile.WriteLog(L"pci getcardnumber err");
        return 0;
    }
    if (m_uiCardIndex + 1 > count && !m_bNoHardware) return 0;
    if (!m_pPciBridge->FindBoard(m_uiCardIndex)) {
        g_LogFile.WriteLog(L"pci find err");
        return 0;
    }
    if (!m_pPciBridge->OpenBoard()) {
        g_LogFile.WriteLog(L"pci open err");
        return 0;
    }
    if (m_pGlobalVars) m_pGlobalVars->SetCardType(m_pPciBridge->GetSelectedCardType());
    if (reset) m_pPciBridge->ResetBoard();
    platform::SettlingSleep(kOpenSettleMs);
    return 1;
}

// Every step runs even after one failed, so that the board is not left open.
// The local interrupt is one for the whole card: only the last user switches
// it off, or the field events of the others stop until their field threads
// switch it on again.
uint32_t CBoardSupport::ClosePciDevice(uint32_t lastInSystem) {
    uint32_t ok = UnmapBars() ? 1 : 0;
    if (lastInSystem && !m_pPciBridge->DisableLocalInterrupt(kLocalInterruptLine)) ok = 0;
    if (!m_pPciBridge->CloseBoard()) ok = 0;
    return ok;
}

uint32_t CBoardSupport::MapBars() {
    void* window = nullptr;
    if (!m_pPciBridge->MapBar(kLocalBusBar, &window)) {
        g_LogFile.WriteLog(L"mapbar err");
        return 0;
    }
    m_pRegisterWindow = window;
    void* fpgaWindow = nullptr;
    if (!m_pPciBridge->MapBar(kFpgaRegisterBar, &fpgaWindow)) fpgaWindow = nullptr;
    m_pFpgaWindow = fpgaWindow;
    m_pFpga->SetMappedRegisters(static_cast<volatile uint32_t*>(fpgaWindow));
    if (!m_pPciBridge->MapRegisterBar()) {
        g_LogFile.WriteLog(L"mapbar reg err");
        return 0;
    }
    return 1;
}

uint32_t CBoardSupport::UnmapBars() {
    uint32_t ok = 1;
    if (!m_pPciBridge->UnmapBar(&m_pRegisterWindow)) ok = 0;
    m_pRegisterWindow = nullptr;
    if (m_uiCardVersion >= kUnmapFpgaWindowVersion && m_pFpgaWindow) {
        m_pFpga->SetMappedRegisters(nullptr);
        if (!m_pPciBridge->UnmapBar(&m_pFpgaWindow)) ok = 0;
        m_pFpgaWindow = nullptr;
    }
    if (!m_pPciBridge->UnmapRegisterBar()) ok = 0;
    return ok;
}

// ---------------------------------------------------------------------------
// Picture controls

template <typename ChipCall, typename StoreCall>
uint32_t CBoardSupport::SetPictureControl(uint32_t channel, ChipCall chipCall,
                                          StoreCall storeCall) {
    if (channel >= kChannels) return 0;
    av::CVideoDecoder* decoder = DecoderOf(channel);
    if (!decoder) return 1;
    chipCall(decoder);
    if (m_bPersist) storeCall();
    return 1;
}

uint32_t CBoardSupport::GetVideoInputContrast(uint32_t channel, uint32_t* pValue) {
    return m_pNvram->GetVideoInputContrast(channel, pValue);
}

// The chip gets the value the store keeps, so that the next open restores
// what the chip shows now.
uint32_t CBoardSupport::SetVideoInputContrast(uint32_t channel, uint32_t value) {
    const uint8_t chipValue = static_cast<uint8_t>(ClampByte(value));
    return SetPictureControl(
        channel, [&](av::CVideoDecoder* decoder) { decoder->SetContrast(chipValue); },
        [&] { m_pNvram->SetVideoInputContrast(channel, value); });
}

uint32_t CBoardSupport::GetVideoInputBrightness(uint32_t channel, uint32_t* pValue) {
    return m_pNvram->GetVideoInputBrightness(channel, pValue);
}

uint32_t CBoardSupport::SetVideoInputBrightness(uint32_t channel, uint32_t value) {
    const uint8_t chipValue = static_cast<uint8_t>(ClampByte(value));
    return SetPictureControl(
        channel, [&](av::CVideoDecoder* decoder) { decoder->SetBrightness(chipValue); },
        [&] { m_pNvram->SetVideoInputBrightness(channel, value); });
}

uint32_t CBoardSupport::GetVideoInputHue(uint32_t channel, uint32_t* pValue) {
    return m_pNvram->GetVideoInputHue(channel, pValue);
}

uint32_t CBoardSupport::SetVideoInputHue(uint32_t channel, uint32_t value) {
    return SetPictureControl(
        channel, [&](av::CVideoDecoder* decoder) { decoder->SetHue(LowByte(value)); },
        [&] { m_pNvram->SetVideoInputHue(channel, LowByte(value)); });
}

uint32_t CBoardSupport::GetVideoInputChromaSaturation(uint32_t channel, uint32_t component,
                                                      uint32_t* pValue) {
    if (component > 1) return 0;
    return m_pNvram->GetVideoInputSaturation(channel, component, pValue);
}

uint32_t CBoardSupport::GetVideoInputSaturation(uint32_t channel, uint32_t* pValue) {
    return m_pNvram->GetVideoInputSaturation(channel, 0, pValue);
}

uint32_t CBoardSupport::SetVideoInputChromaSaturation(uint32_t channel, uint32_t component,
                                                      uint32_t value) {
    if (channel >= kChannels) return 0;
    av::CVideoDecoder* decoder = DecoderOf(channel);
    if (!decoder) return 1;
    decoder->SetChromaSaturation(LowByte(value), component);
    if (m_bPersist) {
        if (component > 1) return 0;
        m_pNvram->SetVideoInputSaturation(channel, component, LowByte(value));
    }
    return 1;
}

uint32_t CBoardSupport::SetVideoInputSaturation(uint32_t channel, uint32_t value) {
    return SetPictureControl(
        channel, [&](av::CVideoDecoder* decoder) { decoder->SetSaturation(LowByte(value)); },
        [&] { m_pNvram->SetVideoInputSaturation(channel, 0, LowByte(value)); });
}

// ---------------------------------------------------------------------------
// Global select, video standard, sync

uint32_t CBoardSupport::GetGlobalSelectSetting(uint32_t* pFlag) {
    return m_pNvram->GetGlobalSelectSetting(pFlag);
}

uint32_t CBoardSupport::SetGlobalSelectSetting(uint32_t value, uint32_t store) {
    if (store) m_pNvram->SetGlobalSelectSetting(value);
    const uint32_t flag = value != 0 ? 1 : 0;
    return m_pFpga->WriteControlBit17(flag);
}

uint32_t CBoardSupport::WriteGlobalSelectBit(uint32_t value, uint32_t which) {
    if (value >= 3) return 0;
    if (which == 0) return m_pFpga->WriteControlBit18(value);
    return m_pFpga->WriteControlBit17(value);
}

uint32_t CBoardSupport::GetVideoMode(uint32_t* pMode) {
    return m_pNvram->GetVideoMode(pMode);
}

void CBoardSupport::AdoptStoredVideoStandard() {
    uint32_t mode = 0;
    if (GetVideoMode(&mode)) m_bPal = LowByte(mode) == 0 ? 0 : 1;
}

uint32_t CBoardSupport::SetVideoMode(uint32_t mode) {
    const uint32_t pal = LowByte(mode) == 0 ? 0 : 1;
    if (m_bPersist) m_pNvram->SetVideoMode(pal);
    m_bPal = pal;
    if (pal) {
        m_pFpga->SelectPal();
        for (av::CVideoDecoder* decoder : m_pVideoDecoder) {
            if (decoder) decoder->SetPal();
        }
        for (av::CVideoEncoder* encoder : m_pVideoEncoder) {
            if (encoder) encoder->SetPal();
        }
    } else {
        m_pFpga->SelectNtsc();
        for (av::CVideoDecoder* decoder : m_pVideoDecoder) {
            if (decoder) decoder->SetNtsc();
        }
        for (av::CVideoEncoder* encoder : m_pVideoEncoder) {
            if (encoder) encoder->SetNtsc();
        }
    }
    return 1;
}

uint32_t CBoardSupport::GetSyncSource(SYNC_SOURCE_CODE* pCode) {
    return m_pNvram->GetSyncSource(pCode);
}

uint32_t CBoardSupport::SetSyncSource(SYNC_SOURCE_CODE code) {
    // The requested code is kept even when it falls back to internal sync
    // below, so that it is tried again at the next open.
    if (m_bPersist) m_pNvram->SetSyncSource(LowByte(code));

    uint32_t boardId = 0;
    m_pFpga->ReadBoardId(&boardId);

    if (ChecksSyncSignal(boardId) && IsSignalCode(code)) {
        platform::SettlingSleep(kSyncSettleMs);
        const uint32_t decoderIndex = code >> 4;
        if ((code & 0x0F) != 0 || m_pVideoDecoder[decoderIndex]) {
            uint32_t status = 0;
            GetVideoInputStatus(code, &status);
            if (!status) code = kInternalSync;
        }
    }

    WritePortControlBit23(0);

    const uint32_t low = code & 0x0F;
    const uint32_t group = code >> 4;
    int syncDecoder = -1;
    if (code != kInternalSync && group < 4 && (low <= 4 || low == 7)) {
        switch (group) {
            case 0:
                m_pFpga->SelectSyncFromChannel0();
                break;
            case 1:
                m_pFpga->SelectSyncFromChannel1();
                break;
            case 2:
                m_pFpga->SelectSyncFromChannel2();
                break;
            default:
                m_pFpga->SelectSyncFromChannel3();
                break;
        }
        syncDecoder = static_cast<int>(group);
    } else {
        m_pFpga->SelectInternalSync();
    }

    for (uint32_t i = 0; i < kChannels; ++i) {
        av::CVideoEncoder* encoder = m_pVideoEncoder[i];
        if (!encoder) continue;
        if (code == kInternalSync) {
            encoder->SetFreeRunSync();
        } else if (i == 1 && HasSpecialEncoder1(boardId) && (code == 0x23 || code == 0x02)) {
            encoder->DisableGenlock();
        } else if (i == 1 && HasSpecialEncoder1(boardId) && (code == 0x00 || code == 0x01)) {
            uint32_t videoSource = 0;
            if (m_pNvram->GetVideoSource(0, &videoSource) && videoSource == 2) {
                encoder->DisableGenlock();
            } else {
                encoder->SetGenlockSync(0);
            }
        } else {
            encoder->SetGenlockSync(0);
        }
    }

    if (syncDecoder >= 0 && m_pVideoDecoder[syncDecoder]) {
        av::CVideoDecoder* decoder = m_pVideoDecoder[syncDecoder];
        decoder->EnableSyncOutput();
        if (code <= 0x03) {
            platform::SettlingSleep(kSyncSettleMs);
            decoder->ResetChromaDto();
        }
    }

    WritePortControlBit23(1);
    return 1;
}

uint32_t CBoardSupport::GetVideoInputStatus(uint32_t code, uint32_t* pStatus) {
    if (!pStatus || !IsSignalCode(code)) return 0;
    av::CVideoDecoder* decoder = m_pVideoDecoder[code >> 4];
    if (!decoder) return 0;
    *pStatus = decoder->GetInputStatus() ? 1 : 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Sources and routing. A refused code is not stored: the next open would
// only refuse it again.

uint32_t CBoardSupport::GetVideoSource(uint32_t channel, VIDEO_SOURCE_CODE* pCode) {
    return m_pNvram->GetVideoSource(channel, pCode);
}

uint32_t CBoardSupport::SetVideoSource(uint32_t channel, VIDEO_SOURCE_CODE code) {
    if (channel >= 5) return 0;
    const auto store = [&] {
        if (m_bPersist) m_pNvram->SetVideoSource(channel, LowByte(code));
    };
    if (code & 0x80000000u) {
        store();
        return 1;
    }
    const uint32_t group = code >> 4;
    const uint32_t input = code & 0x0F;
    if (group >= 4 || input > 0x0A) return 0;
    if (input == 4) {
        store();
        return 1;
    }
    av::CVideoDecoder* decoder = m_pVideoDecoder[group];
    if (!decoder) return 0;
    store();
    m_pFpga->SelectVideoSource(channel, group);
    switch (input) {
        case 0:
            decoder->SelectInput0();
            break;
        case 1:
            decoder->SelectInput1();
            break;
        case 2:
            decoder->SelectInput2();
            break;
        case 3:
            decoder->SelectInput3();
            break;
        case 7:
            decoder->SelectInput7();
            break;
        case 8:
            decoder->SelectInput8();
            break;
        case 9:
            decoder->SelectInput9();
            break;
        case 10:
            decoder->SelectInput10();
            break;
        default:
            // Inputs 5 and 6 select decoder 0's first input, whatever the group.
            if (m_pVideoDecoder[0]) m_pVideoDecoder[0]->SelectInput0();
            break;
    }
    return 1;
}

uint32_t CBoardSupport::GetVideoOutputFormat(uint32_t channel, uint32_t encoder,
                                             VIDEO_OUTPUT_FORMAT_CODE* pCode) {
    if (encoder >= kChannels) return 0;
    return m_pNvram->GetVideoOutputFormat(channel, encoder, pCode);
}

uint32_t CBoardSupport::SetVideoOutputFormat(uint32_t channel, VIDEO_OUTPUT_FORMAT_CODE code) {
    const uint32_t index = code >> 4;
    const uint32_t format = code & 0x0F;
    if (index >= kChannels || format > 6) return 0;
    av::CVideoEncoder* encoder = m_pVideoEncoder[index];
    if (!encoder) return 0;
    if (m_bPersist) m_pNvram->SetVideoOutputFormat(LowByte(channel), index, LowByte(code));
    m_pFpga->SelectVideoRoute(channel, index);
    switch (format) {
        case 0:
            encoder->SelectOutputFormat0();
            break;
        case 1:
            encoder->SelectOutputFormat1();
            break;
        case 2:
            encoder->SelectOutputFormat2();
            break;
        case 3:
            encoder->SelectOutputFormat3();
            break;
        default:
            break;
    }
    return 1;
}

uint32_t CBoardSupport::GetFastLockMode(uint32_t, uint32_t* pMode) {
    return m_pNvram->GetFastLockMode(pMode);
}

uint32_t CBoardSupport::SetFastLockMode(uint32_t, uint32_t mode) {
    av::CVideoDecoder* decoder = m_pVideoDecoder[0];
    if (!decoder) return 1;
    if (m_bPersist) m_pNvram->SetFastLockMode(LowByte(mode));
    if (LowByte(mode) == 0) {
        decoder->SetFastLockOff();
    } else {
        decoder->SetFastLockOn();
    }
    return 1;
}

uint32_t CBoardSupport::GetAudioSource(uint32_t channel, AUDIO_SOURCE_CODE* pCode) {
    return m_pNvram->GetAudioSource(channel, pCode);
}

uint32_t CBoardSupport::SetAudioSource(uint32_t channel, AUDIO_SOURCE_CODE code) {
    if (channel >= 5) return 0;
    const uint32_t index = code >> 4;
    const uint32_t input = code & 0x0F;
    if (index >= kChannels || input > 3) return 0;
    av::CAudioDecoder* decoder = m_pAudioInput[index];
    if (!decoder) return 0;
    if (m_bPersist) m_pNvram->SetAudioSource(channel, LowByte(code));
    m_pFpga->SelectAudioSource(channel, index);
    decoder->SelectInput(input);
    return 1;
}

uint32_t CBoardSupport::GetAudioOutputSelect(uint32_t channel, uint32_t output,
                                             AUDIO_SOURCE_CODE* pCode) {
    if (output >= kChannels) return 0;
    return m_pNvram->GetAudioOutputSelect(channel, output, pCode);
}

uint32_t CBoardSupport::SetAudioOutputSelect(uint32_t channel, AUDIO_SOURCE_CODE code) {
    const uint32_t index = code >> 4;
    const uint32_t output = code & 0x0F;
    if (index >= kChannels || output > 3) return 0;
    av::CAudioEncoder* encoder = m_pAudioOutput[index];
    if (!encoder) return 0;
    if (m_bPersist) m_pNvram->SetAudioOutputSelect(LowByte(channel), index, LowByte(code));
    m_pFpga->SelectAudioRoute(channel, index);
    encoder->SelectOutput(output);
    return 1;
}

// ---------------------------------------------------------------------------
// Encoder chroma phase, FPGA levels and the global flag

uint32_t CBoardSupport::GetVideoOutputChromaPhase(uint32_t* pValue) {
    return m_pNvram->GetVideoOutputChromaPhase(pValue);
}

uint32_t CBoardSupport::SetVideoOutputChromaPhase(uint32_t value) {
    if (m_bPersist) m_pNvram->SetVideoOutputChromaPhase(LowByte(value));
    if (m_pVideoEncoder[0]) m_pVideoEncoder[0]->SetChromaPhase(LowByte(value));
    return 1;
}

uint32_t CBoardSupport::GetControl24(uint32_t* pValue) {
    return m_pFpga->ReadControl24(pValue);
}

uint32_t CBoardSupport::SetControl24(uint32_t value) {
    if (m_bPersist) m_pNvram->SetControl24(value);
    return m_pFpga->WriteControl24(value);
}

uint32_t CBoardSupport::GetControl2C(uint32_t* pValue) {
    return m_pNvram->GetControl2C(pValue);
}

uint32_t CBoardSupport::SetControl2C(uint32_t value) {
    if (m_bPersist) m_pNvram->SetControl2C(value);
    return m_pFpga->WriteControl2C(value);
}

uint32_t CBoardSupport::GetControl30(uint32_t* pValue) {
    return m_pNvram->GetControl30(pValue);
}

uint32_t CBoardSupport::SetControl30(uint32_t value) {
    if (m_bPersist) m_pNvram->SetControl30(value);
    return m_pFpga->WriteControl30(value);
}

uint32_t CBoardSupport::GetGlobalFlag65(uint32_t* pFlag) {
    return m_pNvram->GetGlobalFlag65(pFlag);
}

uint32_t CBoardSupport::SetGlobalFlag65(uint32_t value) {
    const uint32_t flag = value != 0 ? 1 : 0;
    if (flag) {
        m_pFpga->SetControlBit3();
    } else {
        m_pFpga->ClearControlBit3();
    }
    if (m_bPersist) m_pNvram->SetGlobalFlag65(flag);
    return 1;
}

// ---------------------------------------------------------------------------
// Relays: not stored; the open switches them on and the close off.

uint32_t CBoardSupport::GetVideoRelayMode(uint32_t channel, RELAY_MODE* pMode) {
    if (channel >= kChannels || !pMode) return 0;
    *pMode = m_uiVideoRelayMode[channel];
    return 1;
}

uint32_t CBoardSupport::SetVideoRelayMode(uint32_t channel, RELAY_MODE mode) {
    if (mode > 1 || channel >= kChannels) return 0;
    uint32_t ok = 0;
    if (mode == 0) {
        ok = m_pFpga->VideoRelayOff(channel);
        LogRelayLine(L"Video Relay off", 25);
    } else {
        ok = m_pFpga->VideoRelayOn(channel);
        LogRelayLine(L"Video Relay on", 28);
    }
    if (!ok) return 0;
    m_uiVideoRelayMode[channel] = mode;
    return 1;
}

uint32_t CBoardSupport::GetAudioRelayMode(uint32_t channel, RELAY_MODE* pMode) {
    if (channel >= kChannels || !pMode) return 0;
    *pMode = m_uiAudioRelayMode[channel];
    return 1;
}

uint32_t CBoardSupport::SetAudioRelayMode(uint32_t channel, RELAY_MODE mode) {
    if (mode > 1 || channel >= kChannels) return 0;
    uint32_t ok = 0;
    if (mode == 0) {
        ok = m_pFpga->AudioRelayOff(channel);
        LogRelayLine(L"Audio Relay off", 25);
    } else {
        ok = m_pFpga->AudioRelayOn(channel);
        LogRelayLine(L"Audio Relay on", 25);
    }
    if (!ok) return 0;
    m_uiAudioRelayMode[channel] = mode;
    return 1;
}

// ---------------------------------------------------------------------------
// Versions and identity

uint32_t CBoardSupport::GetCardTypeNumber(uint32_t* pId) {
    return m_pFpga->ReadBoardId(pId);
}

uint32_t CBoardSupport::GetCardSubType(uint32_t* pValue) {
    if (!pValue) return 0;
    *pValue = 0;
    return 1;
}

uint32_t CBoardSupport::GetDriverVersion(uint32_t* pVersion) {
    if (!pVersion) return 0;
    uint32_t version = 0;
    if (!m_pPciBridge->GetDriverVersion(&version)) return 0;
    m_uiDriverVersion = version;
    *pVersion = version;
    return 1;
}

uint32_t CBoardSupport::GetBoardVersion(uint32_t* pVersion) {
    if (!pVersion) return 0;
    // A word that cannot be read counts as erased.
    uint8_t bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    m_pNvram->GetBoardVersion(bytes);
    uint32_t version = uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
                       (uint32_t{bytes[3]} << 24);
    if (version == kErasedWord) version = m_uiCardVersion;
    m_uiCardVersion = version;
    *pVersion = version;
    return 1;
}

uint32_t CBoardSupport::SetBoardVersion(uint32_t version) {
    const uint8_t written[4] = {LowByte(version), LowByte(version >> 8), LowByte(version >> 16), 0};
    m_pNvram->SetBoardVersion(written);
    uint8_t readBack[4] = {};
    if (!m_pNvram->GetBoardVersion(readBack)) return 0;
    return std::memcmp(written, readBack, sizeof(written)) == 0 ? 1 : 0;
}

uint32_t CBoardSupport::WriteIdentityRecord(uint32_t word0, uint32_t format, uint32_t word1,
                                            uint32_t dword0, uint32_t dword1) {
    return m_pNvram->WriteIdentityRecord(word0, format, word1, dword0, dword1);
}

uint32_t CBoardSupport::ReadIdentityRecord(uint32_t* pWord0, uint32_t* pFormat, uint32_t* pWord1,
                                           uint32_t* pDword0, uint32_t* pDword1) {
    return m_pNvram->ReadIdentityRecord(pWord0, pFormat, pWord1, pDword0, pDword1);
}

uint32_t CBoardSupport::GetSerialNumber(uint32_t* pSerial) {
    if (!pSerial) return 0;
    uint32_t word0 = 0, format = 0, word1 = 0, dword0 = 0, dword1 = 0;
    if (!ReadIdentityRecord(&word0, &format, &word1, &dword0, &dword1)) return 0;
    *pSerial = (dword0 & 0xFFFF0000u) + (dword1 & 0xFFFFu);
    return 1;
}

uint32_t CBoardSupport::GetHostChipsetType(uint32_t* pType) {
    if (!pType) return 0;
    uint32_t type = 0;
    if (!m_pPciBridge->GetHostChipsetClass(&type)) return 0;
    m_uiHostChipsetType = type;
    *pType = type;
    return 1;
}

uint32_t CBoardSupport::GetFPGAVersion(uint32_t* pVersion) {
    if (!pVersion) return 0;
    uint32_t version = 0;
    if (!m_pFpga->GetFpgaVersion(&version)) return 0;
    m_uiFpgaVersion = version;
    *pVersion = version;
    return 1;
}

uint32_t CBoardSupport::GetReservedStatus(uint32_t* pValue) {
    if (!pValue) return 0;
    *pValue = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Events and the field interrupt

uint32_t CBoardSupport::OpenFieldInterruptNotify() {
    if (!m_pPciBridge->EnableLocalInterrupt(kLocalInterruptLine)) return 0;
    return m_pPciBridge->RegisterLocalInterruptNotification(kLocalInterruptLine) ? 1 : 0;
}

platform::Handle CBoardSupport::OpenNamedEvent(const wchar_t* name) {
    if (!name) return nullptr;
    return platform::HandleTable::Instance().Insert(
        platform::Event::Open(platform::WideToUtf8(name)));
}

uint32_t CBoardSupport::CloseNamedEvent(platform::Handle handle) {
    return platform::HandleTable::Instance().Close(handle) ? 1 : 0;
}

uint32_t CBoardSupport::GetRegisterBase(void** ppBase) {
    if (!ppBase) return 0;
    *ppBase = m_pRegisterWindow;
    return 1;
}

uint32_t CBoardSupport::CheckFieldInterrupt() {
    if (!m_pPciBridge->EnableLocalInterrupt(kLocalInterruptLine)) return 0;
    if (!m_pPciBridge->WaitLocalInterrupt(kLocalInterruptLine)) return 0;
    return m_pFpga->AcknowledgeInterrupt();
}

uint32_t CBoardSupport::WaitForFieldInterrupt() {
    {
        std::lock_guard<std::mutex> lock(m_FieldNotifyLock);
        if (!m_bFieldNotifyRegistered) {
            EnableFieldInterrupt();
            if (!m_pPciBridge->RegisterFieldNotification()) return 0;
            m_bFieldNotifyRegistered = 1;
        }
    }
    if (!m_pPciBridge->EnableLocalInterrupt(kLocalInterruptLine)) return 0;
    if (!m_pPciBridge->WaitFieldNotification()) return 0;
    return m_pFpga->AcknowledgeInterrupt();
}

// ---------------------------------------------------------------------------
// FPGA configuration flash: each operation is the programmer's. A board
// built without one refuses them with a log line.

uint32_t CBoardSupport::HasFpgaProgrammer(const char* operation) {
    if (m_pFpgaConfig != nullptr) return 1;
    g_LogFile.WriteLog(L"fpga config %s : programmer not available", operation);
    return 0;
}

uint32_t CBoardSupport::EnterFpgaConfigMode() {
    if (!HasFpgaProgrammer("EnterConfigMode")) return 0;
    return m_pFpgaConfig->EnterConfigMode();
}
uint32_t CBoardSupport::LeaveFpgaConfigMode() {
    if (!HasFpgaProgrammer("LeaveConfigMode")) return 0;
    return m_pFpgaConfig->LeaveConfigMode();
}
uint32_t CBoardSupport::ReadBackFpgaConfigData(void* pBuffer, uint32_t size) {
    if (!HasFpgaProgrammer("ReadDeviceToFile")) return 0;
    m_pFpgaConfig->SetProgramData(static_cast<uint8_t*>(pBuffer), size);
    return m_pFpgaConfig->ReadDeviceToFile();
}
uint32_t CBoardSupport::ReadBackFpgaConfigFile(const wchar_t* path) {
    if (!HasFpgaProgrammer("ReadDeviceToFile")) return 0;
    m_pFpgaConfig->SetProgramFileName(path != nullptr ? path : L"");
    return m_pFpgaConfig->ReadDeviceToFile();
}
// The programmer only reads a programming source; the memory source is
// writable because the read-back shares it.
uint32_t CBoardSupport::ProgramFpgaConfigData(const void* pBuffer, uint32_t size) {
    if (!HasFpgaProgrammer("ProgramDevice")) return 0;
    m_pFpgaConfig->SetProgramData(static_cast<uint8_t*>(const_cast<void*>(pBuffer)), size);
    return m_pFpgaConfig->ProgramDevice();
}
uint32_t CBoardSupport::ProgramFpgaConfigFile(const wchar_t* path) {
    if (!HasFpgaProgrammer("ProgramDevice")) return 0;
    m_pFpgaConfig->SetProgramFileName(path != nullptr ? path : L"");
    return m_pFpgaConfig->ProgramDevice();
}
uint32_t CBoardSupport::VerifyFpgaConfigData(const void* pBuffer, uint32_t size) {
    if (!HasFpgaProgrammer("VerifyDevice")) return 0;
    m_pFpgaConfig->SetProgramData(static_cast<uint8_t*>(const_cast<void*>(pBuffer)), size);
    return m_pFpgaConfig->VerifyDevice();
}
uint32_t CBoardSupport::VerifyFpgaConfigFile(const wchar_t* path) {
    if (!HasFpgaProgrammer("VerifyDevice")) return 0;
    m_pFpgaConfig->SetProgramFileName(path != nullptr ? path : L"");
    return m_pFpgaConfig->VerifyDevice();
}
uint32_t CBoardSupport::ProgramAndVerifyFpgaConfigData(const void* pBuffer, uint32_t size) {
    if (!HasFpgaProgrammer("ProgramAndVerify")) return 0;
    m_pFpgaConfig->SetProgramData(static_cast<uint8_t*>(const_cast<void*>(pBuffer)), size);
    return m_pFpgaConfig->ProgramAndVerify();
}
uint32_t CBoardSupport::ProgramAndVerifyFpgaConfigFile(const wchar_t* path) {
    if (!HasFpgaProgrammer("ProgramAndVerify")) return 0;
    m_pFpgaConfig->SetProgramFileName(path != nullptr ? path : L"");
    return m_pFpgaConfig->ProgramAndVerify();
}
uint32_t CBoardSupport::ReconfigureFpga() {
    if (!HasFpgaProgrammer("Reconfigure")) return 0;
    return m_pFpgaConfig->Reconfigure();
}
uint32_t CBoardSupport::GetFpgaConfigProgress(uint32_t* pStage, uint32_t* pPercent) {
    if (!HasFpgaProgrammer("GetProgress")) return 0;
    return m_pFpgaConfig->GetProgress(pStage, pPercent);
}
uint32_t CBoardSupport::ReconfigureFpgaAndWait() {
    if (!HasFpgaProgrammer("ReconfigureAndWait")) return 0;
    return m_pFpgaConfig->ReconfigureAndWait();
}

// ---------------------------------------------------------------------------
// Tests

uint32_t CBoardSupport::TestCardMemory() {
    constexpr uint32_t kWords = 0x200000;
    auto* window = static_cast<volatile uint32_t*>(m_pRegisterWindow);
    if (!window) return 0;
    for (uint32_t i = 0; i < kWords; ++i)
        window[i] = 0x80000000u + i;
    std::vector<uint32_t> buffer(kWords);
    for (uint32_t i = 0; i < kWords; ++i)
        buffer[i] = 0x80000000u + i;
    CUtilityFunc().MemCopyDword(const_cast<uint32_t*>(window), buffer.data(), kWords);
    for (uint32_t i = 0; i < kWords; ++i) {
        if (window[i] != 0x80000000u + i) return 0;
    }
    return 1;
}

uint32_t CBoardSupport::TestScratchRegister() {
    return m_pFpga->TestScratchRegister();
}

uint32_t CBoardSupport::TestChipRegisters() {
    uint32_t ok = 1;
    for (av::CVideoDecoder* decoder : m_pVideoDecoder) {
        if (decoder && !decoder->TestIicAccess()) ok = 0;
    }
    for (av::CVideoEncoder* encoder : m_pVideoEncoder) {
        if (encoder && !encoder->TestIicAccess()) ok = 0;
    }
    return ok;
}

uint32_t CBoardSupport::TestNvram() {
    return m_pNvram->SelfTest();
}

uint32_t CBoardSupport::Test(TEST_REQUEST* pRequest) {
    if (!pRequest) return 0;
    const uint32_t command = pRequest->dwCommand;
    const uint8_t reg = LowByte(pRequest->dwRegister);
    uint32_t value = 0;

    if (command <= 0x02 || (command >= 0x80 && command <= 0x82)) {
        av::CVideoDecoder* decoder = m_pVideoDecoder[command & 0x0F];
        if (!decoder) return 0;
        if (command <= 0x02) decoder->WriteRegister(reg, LowByte(pRequest->dwValue));
        decoder->ReadRegister(reg, &value);
        pRequest->dwResult = value & 0xFF;
        return 1;
    }
    if ((command >= 0x10 && command <= 0x12) || (command >= 0x90 && command <= 0x92)) {
        av::CVideoEncoder* encoder = m_pVideoEncoder[command & 0x0F];
        if (!encoder) return 0;
        if (command <= 0x12) encoder->WriteRegister(reg, LowByte(pRequest->dwValue));
        encoder->ReadRegister(reg, &value);
        pRequest->dwResult = value & 0xFF;
        return 1;
    }
    switch (command) {
        case test_command::kPortControlBit4:
            return pRequest->dwRegister == 0 ? m_pFpga->ClearPortControlBit4()
                                             : m_pFpga->SetPortControlBit4();
        case test_command::kWriteReadFpga:
        case test_command::kReadFpga: {
            // The block may come from another process through the mailbox:
            // only whole registers of the FPGA window are reachable.
            const uint32_t offset = pRequest->dwRegister;
            if (offset >= kFpgaRegisterWindowSize || offset % 4 != 0) return 0;
            if (command == test_command::kWriteReadFpga) {
                const uint32_t written = pRequest->dwValue;
                m_pFpga->WriteRegister(offset, &written);
            }
            m_pFpga->ReadRegister(offset, &value);
            pRequest->dwResult = value;
            return 1;
        }
        default:
            return 0;
    }
}

// ---------------------------------------------------------------------------
// Log

uint32_t CBoardSupport::EnableLog(uint32_t flag) {
    g_LogFile.EnableLog(static_cast<int32_t>(flag));
    return 1;
}

uint32_t CBoardSupport::SetLogFileName(const wchar_t* name) {
    if (!name) return 0;
    g_LogFile.SetLogFileName(name);
    return 1;
}

}  // namespace velmora::card

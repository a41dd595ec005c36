#include "card/VelmoraBoardSupport.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "av/AudioCodecUda1345ts.h"
#include "av/AudioDecoder.h"
#include "av/AudioEncoder.h"
#include "av/VideoDecoderAdv7180.h"
#include "av/VideoDecoderSaa7113.h"
#include "av/VideoDecoderTvp5147.h"
#include "av/VideoEncoderAdv7343.h"
#include "av/VideoEncoderSaa7105.h"
#include "av/VideoEncoderSaa7128.h"
#include "card/BaseCard.h"
#include "card/GlobalVars.h"
#include "card/LogFile.h"
#include "card/NonvolatileRam.h"
#include "hw/VelmoraFpga.h"
#include "hw/VelmoraIicMaster.h"
#include "platform/Trace.h"

namespace velmora::card {

namespace {

constexpr uint32_t kAdv7343WriteAddressHigh = 0x56;
constexpr uint32_t kAdv7343ReadAddressHigh = 0x57;
constexpr SYNC_SOURCE_CODE kSyncFromDecoder1 = 0x10;
constexpr AUDIO_SOURCE_CODE kAudioSecondPath = 0x11;
constexpr uint32_t kErasedWord = 0xFFFFFFFF;

template <typename T>
void DeleteAndClear(T*& pointer) {
    delete pointer;
    pointer = nullptr;
}

}  // namespace

CVelmoraBoardSupport::CVelmoraBoardSupport(
    uint32_t cardIndex, hw::CPciBridge* pPciBridge, hw::CVelmoraFpga* pFpga,
    hw::CVelmoraIicMaster* pIicMaster, CGlobalVars* pGlobalVars, CNonvolatileRam* pNvram,
    COstrevoFpgaConfig* pFpgaConfig, COstrevoCpldConfig* pCpldConfig, hw::CDmaManager* pDmaManager)
    : CIoCardBoardSupport(cardIndex, pPciBridge, pFpga, pGlobalVars, pNvram, pFpgaConfig,
                          pCpldConfig, BOARD_CHIP_TABLE{}, pDmaManager),
      m_pVelmoraFpga(pFpga),
      m_pVelmoraPciBridge(pPciBridge),
      m_pVelmoraNvram(pNvram),
      m_pIicMaster(pIicMaster),
      m_pVelmoraGlobalVars(pGlobalVars),
      m_pVelmoraDmaManager(pDmaManager) {}

CVelmoraBoardSupport::~CVelmoraBoardSupport() {
    DeleteChipObjects();
}

// ---------------------------------------------------------------------------
// Model detection and chip objects

bool CVelmoraBoardSupport::HasChipObjects() const {
    return m_pVideoDecoderTvp5147 || m_pVideoDecoderAdv7180[0] || m_pVideoDecoderAdv7180[1] ||
           m_pVideoDecoderSaa7113 || m_pVideoEncoderSaa7105 || m_pVideoEncoderSaa7128 ||
           m_pVideoEncoderAdv7343 || m_pAudioDecoder || m_pAudioEncoder || m_pAudioCodec;
}

bool CVelmoraBoardSupport::DetectModel(bool log) {
    uint32_t boardId = 0;
    m_pVelmoraFpga->ReadBoardId(&boardId);
    char text[64];
    std::snprintf(text, sizeof(text), "%x  %x ", m_uiBoardModel, boardId);
    if (log) platform::OutputDebugString(text);
    if (boardId == kBoardId5100 || boardId == kBoardId5110) {
        m_uiBoardModel = boardId;
        return true;
    }
    if (!m_bNoHardware) {
        if (log) g_LogFile.WriteLog(L"%s", text);
        return false;
    }
    m_uiBoardModel = kBoardId5100;
    return true;
}

void CVelmoraBoardSupport::BuildChipObjects() {
    DeleteChipObjects();
    if (IsModel5110()) {
        m_pAudioDecoder = new (std::nothrow) av::CVelmoraAudioDecoder(m_pVelmoraFpga);
        m_pAudioEncoder = new (std::nothrow) av::CVelmoraAudioEncoder(m_pVelmoraFpga);
        m_pVideoDecoderAdv7180[0] = new (std::nothrow) av::CVideoDecoderAdv7180(m_pIicMaster);
        m_pVideoDecoderAdv7180[1] = new (std::nothrow) av::CVideoDecoderAdv7180(m_pIicMaster);
        if (m_pVideoDecoderAdv7180[0]) m_pVideoDecoderAdv7180[0]->UseIicAddress40();
        if (m_pVideoDecoderAdv7180[1]) m_pVideoDecoderAdv7180[1]->UseIicAddress42();
        uint32_t boardVersion = 0;
        GetBoardVersion(&boardVersion);
        if (boardVersion < kAdv7343HighAddressVersion) {
            m_pVideoEncoderAdv7343 = new (std::nothrow) av::CVideoEncoderAdv7343(m_pIicMaster);
        } else {
            m_pVideoEncoderAdv7343 = new (std::nothrow) av::CVideoEncoderAdv7343(
                m_pIicMaster, kAdv7343WriteAddressHigh, kAdv7343ReadAddressHigh);
        }
        m_pAudioInput[0] = m_pAudioDecoder;
        if (m_pAudioDecoder) m_pAudioDecoder->SetMode(0);
        m_pAudioOutput[0] = m_pAudioEncoder;
        m_pVideoDecoder[0] = m_pVideoDecoderAdv7180[0];
        m_pVideoDecoder[1] = m_pVideoDecoderAdv7180[1];
        m_pVideoEncoder[0] = m_pVideoEncoderSaa7105;
        m_pVideoEncoder[1] = m_pVideoEncoderAdv7343;
        return;
    }
    m_pAudioCodec = new (std::nothrow) av::CIoCardAudioCodecUda1345ts(m_pVelmoraFpga);
    m_pVideoDecoderTvp5147 = new (std::nothrow) av::CVideoDecoderTvp5147(m_pIicMaster);
    m_pVideoEncoderSaa7128 = new (std::nothrow) av::CVideoEncoderSaa7128(m_pIicMaster);
    m_pAudioInput[0] = m_pAudioCodec;
    m_pAudioOutput[0] = m_pAudioCodec ? static_cast<av::CAudioEncoder*>(m_pAudioCodec) : nullptr;
    m_pVideoDecoder[0] = m_pVideoDecoderTvp5147;
    m_pVideoDecoder[1] = m_pVideoDecoderSaa7113;
    m_pVideoEncoder[0] = m_pVideoEncoderSaa7105;
    m_pVideoEncoder[1] = m_pVideoEncoderSaa7128;
    if (m_pVideoEncoderSaa7128) m_pVideoEncoderSaa7128->UseIicAddress8C();
}

// The base table only borrows the objects; it must not keep pointers to
// objects that are gone.
void CVelmoraBoardSupport::DeleteChipObjects() {
    DeleteAndClear(m_pAudioDecoder);
    DeleteAndClear(m_pAudioEncoder);
    DeleteAndClear(m_pAudioCodec);
    DeleteAndClear(m_pVideoDecoderTvp5147);
    DeleteAndClear(m_pVideoDecoderAdv7180[0]);
    DeleteAndClear(m_pVideoDecoderAdv7180[1]);
    DeleteAndClear(m_pVideoDecoderSaa7113);
    DeleteAndClear(m_pVideoEncoderSaa7105);
    DeleteAndClear(m_pVideoEncoderSaa7128);
    DeleteAndClear(m_pVideoEncoderAdv7343);
    for (uint32_t i = 0; i < kChannels; ++i) {
        m_pVideoDecoder[i] = nullptr;
        m_pVideoEncoder[i] = nullptr;
        m_pAudioInput[i] = nullptr;
        m_pAudioOutput[i] = nullptr;
    }
}

uint32_t CVelmoraBoardSupport::InitDevice() {
    if (!DetectModel(true)) return 0;
    BuildChipObjects();
    if (IsModel5110()) {
        if (!CIoCardBoardSupport::InitDevice()) return 0;
        if (m_pVideoDecoder[1]) m_pVideoDecoder[1]->SelectInput0();
    } else {
        if (m_pAudioCodec) m_pAudioCodec->InitCodec();
        if (!CIoCardBoardSupport::InitDevice()) return 0;
        if (m_pVideoEncoderSaa7128) {
            m_pVideoEncoderSaa7128->SetInputControlBit();
            m_pVideoEncoderSaa7128->EnableOutputs();
        }
    }
    FixPciConfigWord(kBridgeVendorId, kBridgeDeviceId, kBridgeConfigRegister, kBridgeConfigValue,
                     0xFFFF);
    return 1;
}

uint32_t CVelmoraBoardSupport::OpenPciDevice(uint32_t reset) {
    if (!CIoCardBoardSupport::OpenPciDevice(reset)) return 0;
    if (!reset && !HasChipObjects() && DetectModel(false)) BuildChipObjects();
    return 1;
}

uint32_t CVelmoraBoardSupport::CloseDevice() {
    if (!IsModel5110() && m_pAudioCodec) m_pAudioCodec->CloseCodec();
    if (!CIoCardBoardSupport::CloseDevice()) return 0;
    DeleteChipObjects();
    return 1;
}

// The ASI settings are not kept from one opening of the card to the next:
// the first opener starts from 188-byte packets and output mode 0.
uint32_t CVelmoraBoardSupport::RestoreSettings() {
    // Nobody counts in the card's length before its first opener is done.
    WriteAsiPacketLength(0, false);
    SetAsiOutputMode(0, 0);
    return CBoardSupport::RestoreSettings();
}

uint32_t CVelmoraBoardSupport::SetDefaultSettings() {
    constexpr uint32_t kPictureDefault = 0x80;
    SetControl30(0x80);
    SetControl24(0x80);
    SetControl2C(0x82);
    SetAsiPacketLength(0, 0);
    SetAsiOutputMode(0, 0);
    if (!CIoCardBoardSupport::SetDefaultSettings()) return 0;
    if (IsModel5110()) {
        for (uint32_t channel = 0; channel < 2; ++channel) {
            SetVideoInputContrast(channel, kPictureDefault);
        }
        for (uint32_t channel = 0; channel < 2; ++channel) {
            SetVideoInputBrightness(channel, kPictureDefault);
        }
        for (uint32_t channel = 0; channel < 2; ++channel) {
            SetVideoInputHue(channel, kPictureDefault);
        }
        for (uint32_t channel = 0; channel < 2; ++channel) {
            SetVideoInputChromaSaturation(channel, 0, kPictureDefault);
            SetVideoInputChromaSaturation(channel, 1, kPictureDefault);
        }
    }
    return 1;
}

uint32_t CVelmoraBoardSupport::GetCardTypeNumber(uint32_t* pId) {
    if (!pId) return 0;
    uint32_t boardId = 0;
    if (!m_pVelmoraFpga->ReadBoardId(&boardId)) return 0;
    *pId = boardId;
    return 1;
}

uint32_t CVelmoraBoardSupport::SetSyncSource(SYNC_SOURCE_CODE code) {
    if (code == kSyncFromDecoder1 && !IsModel5110()) return 0;
    return CBoardSupport::SetSyncSource(code);
}

uint32_t CVelmoraBoardSupport::SetVideoSource(uint32_t channel, VIDEO_SOURCE_CODE code) {
    return CBoardSupport::SetVideoSource(channel, code);
}

uint32_t CVelmoraBoardSupport::SetAudioSource(uint32_t channel, AUDIO_SOURCE_CODE code) {
    if (code == kAudioSecondPath && !IsModel5110()) return 0;
    return CBoardSupport::SetAudioSource(channel, code);
}

// ---------------------------------------------------------------------------
// ASI input and output

CTsInputShare& CVelmoraBoardSupport::TsInputShare() {
    if (!m_pTsInputShare) {
        m_pTsInputShare = std::make_unique<CTsInputShare>(
            m_pVelmoraGlobalVars ? m_pVelmoraGlobalVars->GetName() : std::string(), GetCardIndex());
    }
    return *m_pTsInputShare;
}

uint32_t CVelmoraBoardSupport::EnableAsiInput(uint32_t) {
    return TsInputShare().Hold([this] { return m_pVelmoraFpga->StartTsCapture(); });
}

uint32_t CVelmoraBoardSupport::DisableAsiInput(uint32_t) {
    return TsInputShare().Release([this] { return m_pVelmoraFpga->StopTsCapture(); });
}

uint32_t CVelmoraBoardSupport::IsAsiInputOn(uint32_t) {
    uint32_t on = 0;
    return !m_pVelmoraFpga->ReadTsCaptureEnable(&on) || on ? 1 : 0;
}

uint32_t CVelmoraBoardSupport::SetAsiPacketLength(uint32_t flag, uint32_t) {
    if (m_bNoHardware || !m_pCard) return WriteAsiPacketLength(flag, false);
    // The length the card has already changes nothing for any process, so it
    // does not wait for the open mutex, which a process stopped in its open
    // or close keeps. Nothing is written either: a change under way on
    // another thread then leaves the card's NVRAM and FPGA as it makes them.
    uint32_t current = 0;
    if (flag <= 1 && GetAsiPacketLength(&current, 0) && current == flag) return 1;
    // Under the open mutex: a process that opens meanwhile takes the length
    // the card has once this call is over.
    return m_pCard->WhileNoneOpensOrCloses("ASI packet length", [&](bool othersOpen) {
        return WriteAsiPacketLength(flag, othersOpen);
    });
}

uint32_t CVelmoraBoardSupport::WriteAsiPacketLength(uint32_t flag, bool othersOpen) {
    if (m_bNoHardware) return 1;
    uint8_t stored = 0;
    if (!m_pVelmoraNvram->GetAsiPacketLength(&stored)) return 0;
    // The card has one length for the input and the output of every process
    // that has it open, each of which counts its buffers in it.
    if (othersOpen && flag <= 1 && (stored & 1u) != flag) {
        g_LogFile.WriteLogA(
            "ASI packet length: another process has card %u open: its packets stay %u bytes",
            GetCardIndex(), (stored & 1u) ? 204u : 188u);
        return 0;
    }
    if (flag == 0) stored &= static_cast<uint8_t>(~1u);
    if (flag == 1) stored |= 1u;
    if (!m_pVelmoraNvram->SetAsiPacketLength(stored)) return 0;
    return m_pVelmoraFpga->SetAsiPacketLength(flag);
}

uint32_t CVelmoraBoardSupport::GetAsiPacketLength(uint32_t* pFlag, uint32_t) {
    if (!pFlag) return 0;
    if (m_bNoHardware) {
        *pFlag = 0;
        return 1;
    }
    uint8_t stored = 0;
    if (!m_pVelmoraNvram->GetAsiPacketLength(&stored)) return 0;
    *pFlag = stored & 1u;
    return 1;
}

uint32_t CVelmoraBoardSupport::SetAsiOutputControl(uint8_t first, uint8_t second, uint32_t) {
    return m_pVelmoraFpga->WriteTsOutputParameters(first, second);
}

uint32_t CVelmoraBoardSupport::SetAsiOutputControlWord(uint16_t word, uint32_t) {
    return m_pVelmoraFpga->WriteTsOutputWord(word);
}

uint32_t CVelmoraBoardSupport::GetAsiOutputStatusBit(uint32_t* pBit, uint32_t) {
    return m_pVelmoraFpga->IsTsOutputStatusBit7Set(pBit);
}

uint32_t CVelmoraBoardSupport::ReadOutputPointers(uint32_t* pWrite, uint32_t* pRead) {
    *pWrite = m_uiAsiOutputWritePointer;
    return m_pVelmoraFpga->ReadTsPlaybackStatus(pRead);
}

uint32_t CVelmoraBoardSupport::ReadInputPointers(uint32_t* pHardwareWrite, uint32_t* pRead) {
    *pRead = m_uiAsiInputReadPointer;
    return m_pVelmoraFpga->ReadTsCaptureStatus(pHardwareWrite);
}

// A read pointer that cannot be read makes the ring look full, so that no
// writer overwrites entries still to be played.
uint32_t CVelmoraBoardSupport::IsAsiOutputBufferFull(uint32_t) {
    if (m_bNoHardware) return 0;
    uint32_t write = 0, read = 0;
    if (!ReadOutputPointers(&write, &read)) return 1;
    if (write == read) return 0;
    return asi_ring::OutputFreeUnits(write, read) <= 1 ? 1 : 0;
}

uint32_t CVelmoraBoardSupport::IsAsiOutputBufferEmpty(uint32_t) {
    if (m_bNoHardware) return 0;
    uint32_t write = 0, read = 0;
    if (!ReadOutputPointers(&write, &read)) return 0;
    return read == write ? 1 : 0;
}

uint32_t CVelmoraBoardSupport::GetAsiOutputFreeUnits(uint32_t* pUnits, uint32_t) {
    if (!pUnits) return 0;
    if (m_bNoHardware) {
        *pUnits = asi_ring::kUnits - 1;
        return 1;
    }
    uint32_t write = 0, read = 0;
    if (!ReadOutputPointers(&write, &read)) return 0;
    const uint32_t free = asi_ring::OutputFreeUnits(write, read);
    *pUnits = free == 0 ? 0 : free - 1;
    return 1;
}

uint32_t CVelmoraBoardSupport::GetAsiOutputWritePointer(uint32_t* pPointer, uint32_t) {
    if (!pPointer) return 0;
    *pPointer = m_bNoHardware ? asi_ring::kOutputBase : m_uiAsiOutputWritePointer;
    return 1;
}

uint32_t CVelmoraBoardSupport::SetAsiOutputWritePointer(uint32_t pointer, uint32_t) {
    if (m_bNoHardware) return 1;
    const uint32_t ok = m_pVelmoraFpga->WriteTsPlaybackControl(pointer);
    if (ok) m_uiAsiOutputWritePointer = pointer;
    return ok;
}

uint32_t CVelmoraBoardSupport::GetAsiOutputReadPointer(uint32_t* pPointer, uint32_t) {
    if (!pPointer) return 0;
    if (m_bNoHardware) {
        *pPointer = asi_ring::kOutputBase;
        return 1;
    }
    return m_pVelmoraFpga->ReadTsPlaybackStatus(pPointer);
}

uint32_t CVelmoraBoardSupport::CommitAsiOutputWritePointer(uint32_t) {
    if (m_bNoHardware) return 1;
    return m_pVelmoraFpga->StrobeTsPlaybackBuffer();
}

CTsOutputHold& CVelmoraBoardSupport::TsOutputHold() {
    if (!m_pTsOutputHold) {
        m_pTsOutputHold = std::make_unique<CTsOutputHold>(
            m_pVelmoraGlobalVars ? m_pVelmoraGlobalVars->GetName() : std::string(), GetCardIndex());
    }
    return *m_pTsOutputHold;
}

uint32_t CVelmoraBoardSupport::IsAsiOutputHeld(uint32_t) {
    return TsOutputHold().HeldAnywhere() ? 1 : 0;
}

// A write pointer that cannot be read makes the ring look full, so that the
// reader takes nothing it cannot trust and the caller sees the trouble.
uint32_t CVelmoraBoardSupport::IsAsiInputBufferFull(uint32_t) {
    if (m_bNoHardware) return 0;
    uint32_t hardwareWrite = 0, read = 0;
    if (!ReadInputPointers(&hardwareWrite, &read)) return 1;
    if (hardwareWrite == read) return 0;
    const uint32_t free = asi_ring::kUnits - asi_ring::InputFilledUnits(hardwareWrite, read);
    return free <= 1 ? 1 : 0;
}

uint32_t CVelmoraBoardSupport::IsAsiInputBufferEmpty(uint32_t) {
    if (m_bNoHardware) return 0;
    uint32_t hardwareWrite = 0, read = 0;
    if (!ReadInputPointers(&hardwareWrite, &read)) return 0;
    return hardwareWrite == read ? 1 : 0;
}

uint32_t CVelmoraBoardSupport::GetAsiInputFilledUnits(uint32_t* pUnits, uint32_t) {
    if (!pUnits) return 0;
    if (m_bNoHardware) {
        *pUnits = kNoHardwareInputFilledUnits;
        return 1;
    }
    uint32_t hardwareWrite = 0, read = 0;
    if (!ReadInputPointers(&hardwareWrite, &read)) return 0;
    *pUnits = asi_ring::InputFilledUnits(hardwareWrite, read);
    return 1;
}

uint32_t CVelmoraBoardSupport::GetAsiInputReadPointer(uint32_t* pPointer, uint32_t) {
    if (!pPointer) return 0;
    *pPointer = m_bNoHardware ? asi_ring::kInputBase : m_uiAsiInputReadPointer;
    return 1;
}

uint32_t CVelmoraBoardSupport::SetAsiInputReadPointer(uint32_t pointer, uint32_t) {
    if (m_bNoHardware) return 1;
    const uint32_t ok = m_pVelmoraFpga->WriteTsCaptureControl(pointer);
    if (ok) m_uiAsiInputReadPointerWritten = pointer;
    return ok;
}

// The card takes the written pointer only at the commit, and so does this
// process: entries a failed commit would have let go of are read again.
uint32_t CVelmoraBoardSupport::CommitAsiInputReadPointer(uint32_t) {
    if (m_bNoHardware) return 1;
    const uint32_t ok = m_pVelmoraFpga->StrobeTsCaptureBuffer();
    if (ok) m_uiAsiInputReadPointer = m_uiAsiInputReadPointerWritten;
    return ok;
}

uint32_t CVelmoraBoardSupport::RecommitAsiInputReadPointer(uint32_t pointer, uint32_t) {
    if (m_bNoHardware) return 1;
    // This process's own commits write its pointer before each strobe.
    return m_pVelmoraFpga->WriteTsCaptureControl(pointer) && m_pVelmoraFpga->StrobeTsCaptureBuffer()
               ? 1
               : 0;
}

uint32_t CVelmoraBoardSupport::SkipAsiInputReadPointer(uint32_t pointer, uint32_t) {
    if (!m_bNoHardware) m_uiAsiInputReadPointer = pointer;
    return 1;
}

TsInputRecord* CVelmoraBoardSupport::GetAsiInputRecord(uint32_t) {
    return TsInputShare().Record();
}

uint32_t CVelmoraBoardSupport::GetTsCapturedPacketsAt(uint32_t* pCaptured, uint32_t* pWriteBefore,
                                                      uint32_t* pWriteAfter) {
    return m_pVelmoraFpga->ReadCapturedPacketsAtWritePointer(pCaptured, pWriteBefore, pWriteAfter);
}

// ---------------------------------------------------------------------------
// Slots of this level

uint32_t CVelmoraBoardSupport::GetAsiStatus(uint32_t* pStatus, uint32_t) {
    return m_pVelmoraFpga->GetAsiStatus(pStatus) ? 1 : 0;
}

uint32_t CVelmoraBoardSupport::SetAsiOutputMode(uint32_t mode, uint32_t) {
    return m_pVelmoraFpga->SetAsiOutputMode(mode);
}

uint32_t CVelmoraBoardSupport::GetAsiOutputMode(uint32_t* pMode, uint32_t) {
    if (!pMode) return 0;
    return m_pVelmoraFpga->ReadAsiOutputMode(pMode);
}

uint32_t CVelmoraBoardSupport::StartAsiCodeRateTrack(uint32_t flag, uint32_t) {
    return m_pVelmoraFpga->StartAsiCodeRateTrack(flag) ? 1 : 0;
}

uint32_t CVelmoraBoardSupport::GetStoredDword(uint32_t* pValue) {
    if (!pValue) return 0;
    // A word that cannot be read is delivered like an erased one.
    uint8_t bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    m_pVelmoraNvram->GetStoredDword(bytes);
    const uint32_t value = uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) |
                           (uint32_t{bytes[2]} << 16) | (uint32_t{bytes[3]} << 24);
    *pValue = value == kErasedWord ? 0 : value;
    return 1;
}

uint32_t CVelmoraBoardSupport::SetStoredDword(uint32_t value) {
    const uint8_t written[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                static_cast<uint8_t>(value >> 16),
                                static_cast<uint8_t>(value >> 24)};
    m_pVelmoraNvram->SetStoredDword(written);
    uint8_t readBack[4] = {};
    if (!m_pVelmoraNvram->GetStoredDword(readBack)) return 0;
    return std::memcmp(written, readBack, sizeof(written)) == 0 ? 1 : 0;
}

uint32_t CVelmoraBoardSupport::GetTsPacketCounters(uint32_t* pCaptured, uint32_t* pSent) {
    return m_pVelmoraFpga->ReadTsPacketCounters(pCaptured, pSent);
}

uint32_t CVelmoraBoardSupport::GetCardStatusWord(uint32_t* pStatus) {
    return m_pVelmoraFpga->ReadCardStatus(pStatus);
}

uint32_t CVelmoraBoardSupport::GetTsStatus0(uint32_t* pStatus) {
    return m_pVelmoraFpga->ReadTsStatusCh0(pStatus);
}

uint32_t CVelmoraBoardSupport::GetTsStatus1(uint32_t* pStatus) {
    return m_pVelmoraFpga->ReadTsStatusCh1(pStatus);
}

uint32_t CVelmoraBoardSupport::SetTsRecordTriggerBit(uint32_t channel) {
    return m_pVelmoraFpga->SetTsRecordFlag(channel);
}

uint32_t CVelmoraBoardSupport::ClearTsRecordTriggerBit(uint32_t channel) {
    return m_pVelmoraFpga->ClearTsRecordFlag(channel);
}

uint32_t CVelmoraBoardSupport::TsStubTrue(uint32_t) {
    return 1;
}

}  // namespace velmora::card

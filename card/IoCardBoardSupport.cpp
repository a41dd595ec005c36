#include "card/IoCardBoardSupport.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "card/GlobalVars.h"
#include "card/LogFile.h"
#include "card/NonvolatileRam.h"
#include "hw/DmaChannelLock.h"
#include "hw/IoCardFpga.h"
#include "hw/PciBridge.h"
#include "platform/TextConv.h"
#include "platform/Time.h"
#include "platform/Trace.h"

namespace velmora::card {

namespace {

constexpr uint32_t kTestChannel = 0;
constexpr uint32_t kHostToCard = 0;
constexpr uint32_t kCardToHost = 1;
constexpr uint32_t kReadPattern = 0x55AA55AA;
constexpr uint32_t kClockTicksPerMs = 100;

// The library's message box: a log line and a line on standard error.
void ShowMessageBox(const std::string& text, const std::wstring& caption) {
    g_LogFile.WriteLog(L"%s", text.c_str());
    platform::ShowMessage(text, platform::WideToUtf8(caption));
}

}  // namespace

CIoCardBoardSupport::CIoCardBoardSupport(uint32_t cardIndex, hw::CPciBridge* pPciBridge,
                                         hw::CIoCardFpga* pFpga, CGlobalVars* pGlobalVars,
                                         CNonvolatileRam* pNvram, COstrevoFpgaConfig* pFpgaConfig,
                                         COstrevoCpldConfig* pCpldConfig,
                                         const BOARD_CHIP_TABLE& chips,
                                         hw::CDmaManager* pDmaManager)
    : CBoardSupport(cardIndex, pPciBridge, pFpga, pGlobalVars, pNvram, chips, pFpgaConfig,
                    pCpldConfig),
      m_pIoPciBridge(pPciBridge),
      m_pIoFpga(pFpga),
      m_pIoNvram(pNvram),
      m_pDmaManager(pDmaManager) {}

CIoCardBoardSupport::~CIoCardBoardSupport() = default;

// ---------------------------------------------------------------------------
// Overrides

uint32_t CIoCardBoardSupport::ReadFieldStatus(uint32_t* pStatus) {
    return m_pIoFpga->ReadFieldStatus(pStatus);
}

uint32_t CIoCardBoardSupport::InitDevice() {
    if (!CBoardSupport::InitDevice()) {
        g_LogFile.WriteLogA(" \n CardDeviceInitial fail !!");
        return 0;
    }
    return 1;
}

uint32_t CIoCardBoardSupport::CloseDevice() {
    return CBoardSupport::CloseDevice() ? 1 : 0;
}

uint32_t CIoCardBoardSupport::RestoreSettings() {
    uint32_t value = 0;
    if (GetVideoSource(0, &value)) SetVideoSource(0, value);
    if (GetAudioSource(0, &value)) SetAudioSource(0, value);
    for (uint32_t output = 0; output < kChannels; ++output) {
        if (GetVideoOutputFormat(0, output, &value)) SetVideoOutputFormat(0, value);
    }
    for (uint32_t output = 0; output < kChannels; ++output) {
        if (GetAudioOutputSelect(0, output, &value)) SetAudioOutputSelect(0, value);
    }
    if (GetVideoMode(&value)) SetVideoMode(value);
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
    if (GetSyncSource(&value)) SetSyncSource(value);
    return 1;
}

uint32_t CIoCardBoardSupport::OpenPciDevice(uint32_t reset) {
    if (!CBoardSupport::OpenPciDevice(reset)) return 0;
    if (reset) {
        m_pIoPciBridge->DmaChannelClose(0);
        m_pIoPciBridge->DmaChannelClose(1);
        if (!m_pIoPciBridge->DmaChannelOpen(0)) {
            g_LogFile.WriteLog(L"dma open 0 err");
            return 0;
        }
        if (!m_pIoPciBridge->DmaChannelOpen(1)) {
            g_LogFile.WriteLog(L"dma open 1 err");
            return 0;
        }
        if (!m_pIoPciBridge->EnableDmaInterrupt(0)) {
            g_LogFile.WriteLog(L"dma Interrupt 0 enable err");
            return 0;
        }
        if (!m_pIoPciBridge->EnableDmaInterrupt(1)) {
            g_LogFile.WriteLog(L"dma Interrupt 1 enable err");
            return 0;
        }
    }
    if (!m_pIoPciBridge->RegisterDmaNotification(0)) {
        g_LogFile.WriteLog(L"dma Interrupt 0 reg err");
        return 0;
    }
    if (!m_pIoPciBridge->RegisterDmaNotification(1)) {
        g_LogFile.WriteLog(L"dma Interrupt 1 reg err");
        return 0;
    }
    return 1;
}

// Every step runs even after one failed: stopping would leave the board open
// with nobody left to close it.
uint32_t CIoCardBoardSupport::ClosePciDevice(uint32_t lastInSystem) {
    uint32_t ok = 1;
    if (lastInSystem) {
        if (!m_pIoPciBridge->DisableDmaInterrupt(0)) ok = 0;
        if (!m_pIoPciBridge->DisableDmaInterrupt(1)) ok = 0;
        if (!m_pIoPciBridge->DmaChannelClose(0)) ok = 0;
        if (!m_pIoPciBridge->DmaChannelClose(1)) ok = 0;
    }
    if (!CBoardSupport::ClosePciDevice(lastInSystem)) ok = 0;
    return ok;
}

uint32_t CIoCardBoardSupport::MapBars() {
    return 1;
}

uint32_t CIoCardBoardSupport::UnmapBars() {
    return 1;
}

uint32_t CIoCardBoardSupport::SetDefaultSettings() {
    SetSyncSource(kInternalSync);
    SetVideoMode(1);
    SetVideoSource(0, 0);
    SetAudioSource(0, 0);
    SetVideoOutputFormat(0, 0);
    SetAudioOutputSelect(0, 0);
    constexpr uint32_t kPictureDefault = 0x80;
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
    SetVideoOutputChromaPhase(0);
    return 1;
}

uint32_t CIoCardBoardSupport::TestCardMemory() {
    constexpr uint32_t kWords = kMemoryTestBlockBytes / 4;
    const auto expected = [](uint32_t block, uint32_t index) { return block * 0x1000000u + index; };
    platform::SettlingSleep(kMemoryTestSettleMs);

    std::vector<uint32_t> pattern(kWords);
    {
        hw::CDmaChannelLock lock(m_pIoPciBridge, kTestChannel);
        bool passed = lock.Held();
        for (uint32_t block = 0; passed && block < kMemoryTestBlocks; ++block) {
            for (uint32_t i = 0; i < kWords; ++i)
                pattern[i] = expected(block, i);
            passed = m_pIoPciBridge->DmaTransfer(kTestChannel, pattern.data(), block << 20,
                                                 kMemoryTestBlockBytes, kHostToCard) &&
                     m_pIoPciBridge->WaitDmaInterrupt(kTestChannel);
        }
        if (!passed) {
            ShowMessageBox("TestSdram Dma Operation Error!", m_strProductName);
            return 0;
        }
    }

    hw::CDmaChannelLock lock(m_pIoPciBridge, kTestChannel);
    if (!lock.Held()) {
        ShowMessageBox("TestSdram Dma Operation Error!", m_strProductName);
        return 0;
    }
    std::vector<uint32_t> readBack(kWords);
    for (uint32_t block = 0; block < kMemoryTestBlocks; ++block) {
        for (uint32_t i = 0; i < kWords; ++i)
            pattern[i] = expected(block, i);
        std::fill(readBack.begin(), readBack.end(), kReadPattern);
        if (!m_pIoPciBridge->DmaTransfer(kTestChannel, readBack.data(), block << 20,
                                         kMemoryTestBlockBytes, kCardToHost)) {
            return 0;
        }
        if (!m_pIoPciBridge->WaitDmaInterrupt(kTestChannel)) {
            ShowMessageBox("TestSdram Dma Operation Error!", m_strProductName);
            return 0;
        }
        for (uint32_t i = 0; i < kWords; ++i) {
            if (readBack[i] == pattern[i]) continue;
            char text[96];
            std::snprintf(text, sizeof(text), "addr:0x%.8x error! 0x%.8x shall be 0x%.8x",
                          block * kMemoryTestBlockBytes + 4 * i, readBack[i], pattern[i]);
            ShowMessageBox(text, m_strProductName);
            return 0;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Card clock and register

uint32_t CIoCardBoardSupport::GetCardClock64(uint64_t* pClock) {
    if (!pClock) return 0;
    if (m_pGlobalVars && m_pGlobalVars->IsNoHardware()) {
        // 64 bits: a 32-bit product of the tick count wraps within 12 hours.
        *pClock = platform::MonotonicMs() * kClockTicksPerMs;
        return 1;
    }
    return m_pIoFpga->ReadCardClock64(pClock);
}

uint32_t CIoCardBoardSupport::GetCardClock(uint32_t* pClock) {
    return m_pIoFpga->ReadCardClock(pClock);
}

uint32_t CIoCardBoardSupport::GetFpgaRegisterF4(uint32_t* pValue) {
    return m_pIoFpga->ReadRegisterF4(pValue);
}

// ---------------------------------------------------------------------------
// Frame-ring forwarders

uint32_t CIoCardBoardSupport::FlushAudioPlaybackBuffer(uint32_t port) {
    return m_pIoFpga->FlushAudioPlaybackBuffer(port);
}
uint32_t CIoCardBoardSupport::FlushVideoPlaybackBuffer(uint32_t port) {
    return m_pIoFpga->FlushVideoPlaybackBuffer(port);
}
uint32_t CIoCardBoardSupport::IsAudioCaptureBufferFull(uint32_t port) {
    return m_pIoFpga->IsAudioCaptureBufferFull(port);
}
uint32_t CIoCardBoardSupport::IsAudioCaptureBufferEmpty(uint32_t port) {
    return m_pIoFpga->IsAudioCaptureBufferEmpty(port);
}
uint32_t CIoCardBoardSupport::IsAudioPlaybackBufferFull(uint32_t port) {
    return m_pIoFpga->IsAudioPlaybackBufferFull(port);
}
uint32_t CIoCardBoardSupport::IsAudioPlaybackBufferEmpty(uint32_t port) {
    return m_pIoFpga->IsAudioPlaybackBufferEmpty(port);
}
uint32_t CIoCardBoardSupport::IsVideoCaptureBufferFull(uint32_t port) {
    return m_pIoFpga->IsVideoCaptureBufferFull(port);
}
uint32_t CIoCardBoardSupport::IsVideoCaptureBufferEmpty(uint32_t port) {
    return m_pIoFpga->IsVideoCaptureBufferEmpty(port);
}
uint32_t CIoCardBoardSupport::IsVideoPlaybackBufferFull(uint32_t port) {
    return m_pIoFpga->IsVideoPlaybackBufferFull(port);
}
uint32_t CIoCardBoardSupport::IsVideoPlaybackBufferEmpty(uint32_t port) {
    return m_pIoFpga->IsVideoPlaybackBufferEmpty(port);
}
uint32_t CIoCardBoardSupport::SetVideoCaptureReadRequest(uint32_t port) {
    return m_pIoFpga->SetVideoCaptureReadRequest(port);
}
uint32_t CIoCardBoardSupport::ClearVideoCaptureReadRequest(uint32_t port) {
    return m_pIoFpga->ClearVideoCaptureReadRequest(port);
}
uint32_t CIoCardBoardSupport::IsVideoCaptureReadDone(uint32_t port) {
    return m_pIoFpga->IsVideoCaptureReadDone(port);
}
uint32_t CIoCardBoardSupport::GetVideoCaptureBufferReadNo(uint32_t port, uint32_t* pNumber) {
    return m_pIoFpga->GetVideoCaptureBufferReadNo(pNumber, port);
}
uint32_t CIoCardBoardSupport::GetVideoCaptureBufferWriteNo(uint32_t port, uint32_t* pNumber) {
    return m_pIoFpga->GetVideoCaptureBufferWriteNo(pNumber, port);
}
uint32_t CIoCardBoardSupport::GetVideoCaptureBufferCount(uint32_t port, uint32_t* pCount) {
    return m_pIoFpga->GetVideoCaptureBufferCount(pCount, port);
}
uint32_t CIoCardBoardSupport::GetVideoCaptureTimeStamp(uint32_t port, uint32_t index,
                                                       uint64_t* pTime) {
    return m_pIoFpga->GetVideoCaptureTimeStamp(index, pTime, port);
}
uint32_t CIoCardBoardSupport::GetVideoCaptureEntry(uint32_t port, uint32_t index,
                                                   uint32_t* pEntry) {
    return m_pIoFpga->GetVideoCaptureEntry(index, pEntry, port);
}
uint32_t CIoCardBoardSupport::StrobeVideoCaptureBuffer(uint32_t port) {
    return m_pIoFpga->StrobeVideoCaptureBuffer(port);
}
uint32_t CIoCardBoardSupport::ReadTimeStampCounter(uint32_t port, uint64_t* pTime) {
    return m_pIoFpga->ReadTimeStampCounter(pTime, port);
}
uint32_t CIoCardBoardSupport::GetVideoPlaybackBufferReadNo(uint32_t port, uint32_t* pNumber) {
    return m_pIoFpga->GetVideoPlaybackBufferReadNo(pNumber, port);
}
uint32_t CIoCardBoardSupport::GetVideoPlaybackBufferWriteNo(uint32_t port, uint32_t* pNumber) {
    return m_pIoFpga->GetVideoPlaybackBufferWriteNo(pNumber, port);
}
uint32_t CIoCardBoardSupport::GetVideoPlaybackBufferCount(uint32_t port, uint32_t* pCount) {
    return m_pIoFpga->GetVideoPlaybackBufferCount(pCount, port);
}
uint32_t CIoCardBoardSupport::SetVideoPlaybackTimeStamp(uint32_t port, uint32_t low,
                                                        uint32_t high) {
    const uint64_t stamp = (uint64_t{high} << 32) | low;
    return m_pIoFpga->SetVideoPlaybackTimeStamp(static_cast<int64_t>(stamp), port);
}
uint32_t CIoCardBoardSupport::WriteVideoPlaybackTimeStampLow(uint32_t port, uint32_t value) {
    return m_pIoFpga->WriteVideoPlaybackTimeStampLow(value, port);
}
uint32_t CIoCardBoardSupport::StrobeVideoPlaybackBuffer(uint32_t port) {
    return m_pIoFpga->StrobeVideoPlaybackBuffer(port);
}
uint32_t CIoCardBoardSupport::SetAudioCaptureReadRequest(uint32_t port) {
    return m_pIoFpga->SetAudioCaptureReadRequest(port);
}
uint32_t CIoCardBoardSupport::ClearAudioCaptureReadRequest(uint32_t port) {
    return m_pIoFpga->ClearAudioCaptureReadRequest(port);
}
uint32_t CIoCardBoardSupport::IsAudioCaptureReadDone(uint32_t port) {
    return m_pIoFpga->IsAudioCaptureReadDone(port);
}
uint32_t CIoCardBoardSupport::GetAudioCaptureBufferReadNo(uint32_t port, uint32_t* pNumber) {
    return m_pIoFpga->GetAudioCaptureBufferReadNo(pNumber, port);
}
uint32_t CIoCardBoardSupport::GetAudioCaptureBufferWriteNo(uint32_t port, uint32_t* pNumber) {
    return m_pIoFpga->GetAudioCaptureBufferWriteNo(pNumber, port);
}
uint32_t CIoCardBoardSupport::GetAudioCaptureBufferCount(uint32_t port, uint32_t* pCount) {
    return m_pIoFpga->GetAudioCaptureBufferCount(pCount, port);
}
uint32_t CIoCardBoardSupport::GetAudioCaptureTimeStamp(uint32_t port, uint32_t index,
                                                       uint64_t* pTime) {
    return m_pIoFpga->GetAudioCaptureTimeStamp(index, pTime, port);
}
uint32_t CIoCardBoardSupport::GetAudioCaptureEntry(uint32_t port, uint32_t index,
                                                   uint32_t* pEntry) {
    return m_pIoFpga->GetAudioCaptureEntry(index, pEntry, port);
}
uint32_t CIoCardBoardSupport::StrobeAudioCaptureBuffer(uint32_t port) {
    return m_pIoFpga->StrobeAudioCaptureBuffer(port);
}
uint32_t CIoCardBoardSupport::ReadTimeStampCounter2(uint32_t port, uint64_t* pTime) {
    return m_pIoFpga->ReadTimeStampCounter2(pTime, port);
}
uint32_t CIoCardBoardSupport::GetAudioPlaybackBufferReadNo(uint32_t port, uint32_t* pNumber) {
    return m_pIoFpga->GetAudioPlaybackBufferReadNo(pNumber, port);
}
uint32_t CIoCardBoardSupport::GetAudioPlaybackBufferWriteNo(uint32_t port, uint32_t* pNumber) {
    return m_pIoFpga->GetAudioPlaybackBufferWriteNo(pNumber, port);
}
uint32_t CIoCardBoardSupport::GetAudioPlaybackBufferCount(uint32_t port, uint32_t* pCount) {
    return m_pIoFpga->GetAudioPlaybackBufferCount(pCount, port);
}
uint32_t CIoCardBoardSupport::SetAudioPlaybackTimeStamp(uint32_t port, uint32_t low,
                                                        uint32_t high) {
    const uint64_t stamp = (uint64_t{high} << 32) | low;
    return m_pIoFpga->SetAudioPlaybackTimeStamp(static_cast<int64_t>(stamp), port);
}
uint32_t CIoCardBoardSupport::WriteAudioPlaybackTimeStampLow(uint32_t port, uint32_t value) {
    return m_pIoFpga->WriteAudioPlaybackTimeStampLow(value, port);
}
uint32_t CIoCardBoardSupport::WriteAudioPlaybackControlEC(uint32_t port, uint32_t value) {
    return m_pIoFpga->WriteAudioPlaybackControlEC(value, port);
}
uint32_t CIoCardBoardSupport::StrobeAudioPlaybackBuffer(uint32_t port) {
    return m_pIoFpga->StrobeAudioPlaybackBuffer(port);
}

// ---------------------------------------------------------------------------
// Stored bytes

uint32_t CIoCardBoardSupport::SetStoredByte94(uint32_t value) {
    return m_pIoNvram->SetStoredByte94(value);
}
uint32_t CIoCardBoardSupport::GetStoredByte94(uint32_t* pValue) {
    return m_pIoNvram->GetStoredByte94(pValue);
}
uint32_t CIoCardBoardSupport::SetStoredByte95(uint32_t value) {
    return m_pIoNvram->SetStoredByte95(value);
}
uint32_t CIoCardBoardSupport::GetStoredByte95(uint32_t* pValue) {
    return m_pIoNvram->GetStoredByte95(pValue);
}

// ---------------------------------------------------------------------------
// ASI operations: the card's own level gives them their behaviour.

uint32_t CIoCardBoardSupport::EnableAsiInput(uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::DisableAsiInput(uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::SetAsiPacketLength(uint32_t, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::GetAsiPacketLength(uint32_t*, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::SetAsiOutputControl(uint8_t, uint8_t, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::SetAsiOutputControlWord(uint16_t, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::GetAsiOutputControl(uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::GetAsiOutputStatusBit(uint32_t*, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::IsAsiOutputBufferFull(uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::IsAsiOutputBufferEmpty(uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::GetAsiOutputFreeUnits(uint32_t*, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::GetAsiOutputWritePointer(uint32_t*, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::SetAsiOutputWritePointer(uint32_t, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::GetAsiOutputReadPointer(uint32_t*, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::CommitAsiOutputWritePointer(uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::IsAsiInputBufferFull(uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::IsAsiInputBufferEmpty(uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::GetAsiInputFilledUnits(uint32_t*, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::GetAsiInputReadPointer(uint32_t*, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::SetAsiInputReadPointer(uint32_t, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::GetAsiInputWritePointer(uint32_t*, uint32_t) {
    return 1;
}
uint32_t CIoCardBoardSupport::CommitAsiInputReadPointer(uint32_t) {
    return 1;
}

// ---------------------------------------------------------------------------
// DMA speed test

uint32_t CIoCardBoardSupport::TestSdramSpeed() {
    constexpr uint32_t kBufferWords = kMemoryTestBlockBytes / 4;
    constexpr double kPassBytes =
        double{kSpeedTestRepetitions} * kSpeedTestFrames * kSpeedTestFrameBytes;  // 66,355,200
    std::vector<uint32_t> writeBuffer(kBufferWords);
    std::vector<uint32_t> readBuffer(kBufferWords);
    for (uint32_t i = 0; i < kBufferWords; ++i)
        writeBuffer[i] = 0x80000000u + i;

    const auto frameAddress = [](uint32_t frame) {
        return kSpeedTestRingAddress + frame * kSpeedTestFrameBytes;
    };
    const auto transfer = [&](std::vector<uint32_t>& buffer, uint32_t frame, uint32_t direction) {
        return m_pIoPciBridge->DmaTransfer(kTestChannel, buffer.data(), frameAddress(frame),
                                           kSpeedTestFrameBytes, direction) &&
               m_pIoPciBridge->WaitDmaInterrupt(kTestChannel);
    };
    const auto report = [&](const char* format, uint32_t startMs, double bytes) {
        // A pass shorter than the clock's resolution counts as 1 ms.
        uint32_t elapsed = platform::TickCount() - startMs;
        if (elapsed == 0) elapsed = 1;
        const double speed = bytes * 8 / elapsed * 1000 / 1000000;
        char text[160];
        std::snprintf(text, sizeof(text), format, static_cast<int>(elapsed), speed);
        ShowMessageBox(text, m_strProductName);
    };

    uint32_t start = platform::TickCount();
    for (uint32_t rep = 0; rep < kSpeedTestRepetitions; ++rep) {
        for (uint32_t frame = 0; frame < kSpeedTestFrames; ++frame) {
            if (!transfer(writeBuffer, frame, kHostToCard)) return 0;
        }
    }
    report("\nWrite SDRAM speed test result : Time - %d ms, Speed - %f MBits/Second", start,
           kPassBytes);

    start = platform::TickCount();
    for (uint32_t rep = 0; rep < kSpeedTestRepetitions; ++rep) {
        for (uint32_t frame = 0; frame < kSpeedTestFrames; ++frame) {
            if (!transfer(readBuffer, frame, kCardToHost)) return 0;
        }
    }
    report("\nRead SDRAM speed test result : Time - %d ms, Speed - %f MBits/Second", start,
           kPassBytes);

    for (uint32_t i = 0; i < kBufferWords; ++i)
        writeBuffer[i] = i;
    std::fill(readBuffer.begin(), readBuffer.end(), kReadPattern);
    start = platform::TickCount();
    for (uint32_t rep = 0; rep < kSpeedTestRepetitions; ++rep) {
        for (uint32_t frame = 0; frame < kSpeedTestFrames; ++frame) {
            if (!transfer(writeBuffer, frame, kHostToCard)) return 0;
            if (!transfer(readBuffer, frame, kCardToHost)) return 0;
        }
    }
    report("\nRead SDRAM speed test result : Time - %d ms, Speed - %f MBits/Second", start,
           2 * kPassBytes);
    return 1;
}

}  // namespace velmora::card

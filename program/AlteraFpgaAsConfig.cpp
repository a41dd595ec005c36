#include "program/AlteraFpgaAsConfig.h"

#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/Time.h"

namespace velmora::program {

namespace {

// EPCS_OPCODE
constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kBulkErase = 0xC7;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kPageProgram = 0x02;
constexpr uint8_t kReadBytes = 0x03;
constexpr uint8_t kReadSiliconId = 0xAB;

constexpr uint32_t kPageSize = 256;
// The read-back flow's file size: no size check.
constexpr uint32_t kNoSizeCheck = 255;

// A line wait shorter than any sleep: the processor's spin-wait hint, as a
// zero-length sleep would cost tens of microseconds a bit.
void YieldProcessor() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

}  // namespace

CAlteraFpgaAsConfig::CAlteraFpgaAsConfig()
    : m_pProgramFile(std::make_unique<CAlteraFpgaProgramFile>()),
      m_pProgressLock(std::make_unique<platform::CCriticalSection>()) {}

CAlteraFpgaAsConfig::~CAlteraFpgaAsConfig() {
    m_pProgramFile->Close();
}

void CAlteraFpgaAsConfig::SetProgramFileName(std::wstring path) {
    m_pProgramFile->SetFileName(std::move(path));
}

void CAlteraFpgaAsConfig::SetProgramData(uint8_t* pData, uint32_t size) {
    m_pProgramFile->SetMemorySource(pData, size);
}

void CAlteraFpgaAsConfig::SetBusyLimits(uint32_t eraseMs, uint32_t pageMs) {
    m_dwEraseBusyLimitMs = eraseMs;
    m_dwPageBusyLimitMs = pageMs;
}

uint32_t CAlteraFpgaAsConfig::EnterConfigMode() {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::LeaveConfigMode() {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::WaitConfigDone() {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::GetData(uint32_t*) {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::SetDclk(uint32_t) {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::SetNConfig(uint32_t) {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::SetAsdi(uint32_t) {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::SetNCs(uint32_t) {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::SetNCe(uint32_t) {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::Reserved16(uint32_t) {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::Reserved17(uint32_t, uint32_t, uint32_t) {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::Reserved18(uint32_t, uint32_t) {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::Reserved19(uint32_t) {
    return 1;
}
uint32_t CAlteraFpgaAsConfig::FlushLines() {
    return 1;
}

uint32_t CAlteraFpgaAsConfig::GetProgress(uint32_t* pStage, uint32_t* pPercent) {
    std::lock_guard<platform::CCriticalSection> guard(*m_pProgressLock);
    if (pStage != nullptr) *pStage = static_cast<uint32_t>(m_nProgressStage);
    if (pPercent != nullptr) *pPercent = static_cast<uint32_t>(m_nProgressPercent);
    return 1;
}

void CAlteraFpgaAsConfig::SetProgress(int32_t stage, int32_t percent) {
    std::lock_guard<platform::CCriticalSection> guard(*m_pProgressLock);
    m_nProgressStage = stage;
    m_nProgressPercent = percent;
}

// ---------------------------------------------------------------------------
// Bits and bytes.

uint8_t CAlteraFpgaAsConfig::ReverseBits(uint32_t value) {
    uint8_t result = 0;
    for (int i = 0; i < 8; ++i) {
        if (value & (1u << i)) result |= static_cast<uint8_t>(0x80u >> i);
    }
    return result;
}

uint32_t CAlteraFpgaAsConfig::ShiftOutByteLsbFirst(uint32_t value) {
    for (int i = 0; i < 8; ++i) {
        if (SetDclk(0) != 1 || SetAsdi((value >> i) & 1) != 1 || SetDclk(1) != 1) return 0;
    }
    return 1;
}

uint32_t CAlteraFpgaAsConfig::ShiftOutByteMsbFirst(uint32_t value) {
    return ShiftOutByteLsbFirst(ReverseBits(value));
}

uint32_t CAlteraFpgaAsConfig::ShiftInByte(uint8_t* pValue) {
    *pValue = 0;
    if (FlushLines() != 1) return 0;
    for (int i = 0; i < 8; ++i) {
        if (SetDclk(0) != 1) return 0;
        YieldProcessor();
        if (SetDclk(1) != 1) return 0;
        YieldProcessor();
        uint32_t level = 0;
        if (FlushLines() != 1 || GetData(&level) != 1) return 0;
        if (level != 0) *pValue |= static_cast<uint8_t>(1u << i);
    }
    return 1;
}

uint32_t CAlteraFpgaAsConfig::ShiftInByteMsbFirst(uint8_t* pValue) {
    if (ShiftInByte(pValue) != 1) return 0;
    *pValue = ReverseBits(*pValue);
    return 1;
}

uint32_t CAlteraFpgaAsConfig::SendCommand(uint8_t opcode) {
    return Select() == 1 && ShiftOutByteMsbFirst(opcode) == 1 && Deselect() == 1 &&
                   FlushLines() == 1
               ? 1
               : 0;
}

uint32_t CAlteraFpgaAsConfig::SendAddressed(uint8_t opcode, uint32_t address) {
    // A lost address bit would read or program the wrong place.
    return Select() == 1 && ShiftOutByteMsbFirst(opcode) == 1 &&
                   ShiftOutByteMsbFirst((address >> 16) & 0xFF) == 1 &&
                   ShiftOutByteMsbFirst((address >> 8) & 0xFF) == 1 &&
                   ShiftOutByteMsbFirst(address & 0xFF) == 1 && FlushLines() == 1
               ? 1
               : 0;
}

uint32_t CAlteraFpgaAsConfig::WaitWhileBusy(uint32_t limitMs) {
    // A flash that never ends its write must not hold the caller for ever.
    const uint64_t deadline = platform::MonotonicMs() + limitMs;
    uint8_t status = 0;
    do {
        if (ShiftInByteMsbFirst(&status) != 1) return 0;
        if ((status & 1) != 0 && platform::MonotonicMs() > deadline) {
            std::fprintf(stderr, "\nError: Device stays busy\n");
            return 0;
        }
    } while ((status & 1) != 0);
    return 1;
}

// ---------------------------------------------------------------------------
// Steps.

uint32_t CAlteraFpgaAsConfig::EnterAsMode() {
    return SetNConfig(0) == 1 && SetNCe(1) == 1 && SetNCs(1) == 1 && FlushLines() == 1 ? 1 : 0;
}

uint32_t CAlteraFpgaAsConfig::LeaveAsMode() {
    return SetNCe(0) == 1 && SetNConfig(1) == 1 && SetNCs(1) == 1 && FlushLines() == 1 ? 1 : 0;
}

uint32_t CAlteraFpgaAsConfig::ReadEpcsSiliconId(uint32_t fileSize) {
    uint8_t id = 0;
    if (SendAddressed(kReadSiliconId, 0) != 1 || ShiftInByteMsbFirst(&id) != 1) return 0;
    switch (id) {
        case 0x10:
            m_nDensity = 1;
            break;
        case 0x12:
            m_nDensity = 4;
            break;
        case 0x14:
            m_nDensity = 16;
            break;
        default:
            std::fprintf(stderr, "\nError: Unsupported Device");
            return 0;
    }
    std::fprintf(stderr, "\nInfo: Silicon ID - 0x%x \n", id);
    std::fprintf(stderr, "Info: Serial Configuration Device - EPCS%d\n", m_nDensity);
    m_nDeviceSize = m_nDensity << 17;
    // Unsigned: a size of 2 GiB or more must not pass for a small one.
    if (fileSize != kNoSizeCheck && fileSize > static_cast<uint32_t>(m_nDeviceSize)) {
        std::fprintf(stderr, "\nError: Wrong programming file");
        return 0;
    }
    return Deselect() == 1 && FlushLines() == 1 ? 1 : 0;
}

uint32_t CAlteraFpgaAsConfig::EraseEpcs() {
    if (SendCommand(kWriteEnable) != 1 || SendCommand(kBulkErase) != 1) return 0;
    if (Select() != 1 || ShiftOutByteMsbFirst(kReadStatus) != 1 || FlushLines() != 1) return 0;
    std::fprintf(stderr, "Info: Erasing...\n");
    if (WaitWhileBusy(m_dwEraseBusyLimitMs) != 1) return 0;
    std::fprintf(stderr, "Info: Erase Done");
    return Deselect() == 1 && FlushLines() == 1 ? 1 : 0;
}

uint32_t CAlteraFpgaAsConfig::ProgramEpcs(uint32_t fileSize) {
    const uint32_t remainder = fileSize % kPageSize;
    const uint32_t pages = fileSize / kPageSize + (remainder != 0 ? 1 : 0);
    std::fprintf(stderr, "\nInfo: Start programming process.\n");
    SetProgress(kEpcsStageProgramming, 0);
    if (SendCommand(kWriteEnable) != 1) return 0;
    std::fprintf(stderr, "\nInfo: Programming...\n");
    for (uint32_t page = 0; page < pages; ++page) {
        if (SendCommand(kWriteEnable) != 1) return 0;
        if (SendAddressed(kPageProgram, page * kPageSize) != 1) return 0;
        const uint32_t count = page + 1 == pages && remainder != 0 ? remainder : kPageSize;
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t value = 0;
            if (ReadProgramFileByte(&value) != 1 || ShiftOutByteLsbFirst(value) != 1) return 0;
        }
        if (Deselect() != 1 || FlushLines() != 1) return 0;
        if (Select() != 1 || ShiftOutByteMsbFirst(kReadStatus) != 1 || FlushLines() != 1) return 0;
        if (WaitWhileBusy(m_dwPageBusyLimitMs) != 1) return 0;
        if (Deselect() != 1 || FlushLines() != 1) return 0;
        SetProgress(kEpcsStageProgramming, static_cast<int32_t>(uint64_t{page} * 100 / pages));
    }
    SetProgress(kEpcsStageProgramming, 100);
    std::fprintf(stderr, "Info: Programming successful\n");
    return 1;
}

uint32_t CAlteraFpgaAsConfig::ReadEpcs() {
    std::fprintf(stderr, "Info: Reading...\n");
    SetProgress(kEpcsStageReading, 0);
    if (SendAddressed(kReadBytes, 0) != 1) return 0;
    const uint32_t size = static_cast<uint32_t>(m_nDeviceSize);
    // A memory block smaller than the flash keeps its first bytes; a file
    // that cannot take a byte (a full disk) ends the read.
    const bool fileMode = m_pProgramFile->IsFileMode() != 0;
    for (uint32_t i = 0; i < size; ++i) {
        uint8_t value = 0;
        if (ShiftInByte(&value) != 1) return 0;
        if (WriteProgramFileByte(value) != 1 && fileMode) {
            std::fprintf(stderr, "\nError: Cannot write the read-back file\n");
            return 0;
        }
        if (i % kPageSize == 0) {
            SetProgress(kEpcsStageReading, static_cast<int32_t>(uint64_t{i} * 100 / size));
        }
    }
    if (Deselect() != 1 || FlushLines() != 1) return 0;
    std::fprintf(stderr, "Info: Read successful\n");
    SetProgress(kEpcsStageReading, 100);
    return 1;
}

uint32_t CAlteraFpgaAsConfig::VerifyEpcs(uint32_t fileSize) {
    std::fprintf(stderr, "Info: Verifying...\n");
    SetProgress(kEpcsStageVerifying, 0);
    RewindProgramFile();
    if (SendAddressed(kReadBytes, 0) != 1) return 0;
    for (uint32_t i = 0; i < fileSize; ++i) {
        uint8_t device = 0, file = 0;
        if (ShiftInByte(&device) != 1 || ReadProgramFileByte(&file) != 1) return 0;
        if (device != file) return 0;
        if (i % kPageSize == 0) {
            SetProgress(kEpcsStageVerifying, static_cast<int32_t>(uint64_t{i} * 100 / fileSize));
        }
    }
    std::fprintf(stderr, "Info: Verify completed\n");
    SetProgress(kEpcsStageVerifying, 100);
    return Deselect() == 1 && FlushLines() == 1 ? 1 : 0;
}

uint32_t CAlteraFpgaAsConfig::BeginProgramSession(uint32_t* pSize) {
    if (OpenProgramFileForRead() != 1) return 0;
    // Refused: the data loaded for the session are let go again.
    if (EnterConfigMode() != 1) {
        CloseProgramFile();
        return 0;
    }
    if (GetProgramFileSize(pSize) != 1) {
        LeaveConfigMode();
        CloseProgramFile();
        return 0;
    }
    return 1;
}

uint32_t CAlteraFpgaAsConfig::EndSession() {
    // The file is let go also when leaving fails, so a read-back file is
    // complete and no handle stays behind until the next flow.
    const uint32_t left = LeaveConfigMode() == 1 ? 1 : 0;
    CloseProgramFile();
    return left;
}

// ---------------------------------------------------------------------------
// Flows.

uint32_t CAlteraFpgaAsConfig::ProgramFlow(bool verify) {
    uint32_t size = 0;
    if (BeginProgramSession(&size) != 1) return 0;
    const bool ok = EnterAsMode() == 1 && ReadEpcsSiliconId(size) == 1 && EraseEpcs() == 1 &&
                    ProgramEpcs(size) == 1 && (!verify || VerifyEpcs(size) == 1) &&
                    LeaveAsMode() == 1;
    if (!ok) {
        EndSession();
        return 0;
    }
    return EndSession();
}

uint32_t CAlteraFpgaAsConfig::ProgramAndVerify() {
    return ProgramFlow(true);
}

uint32_t CAlteraFpgaAsConfig::ProgramDevice() {
    return ProgramFlow(false);
}

uint32_t CAlteraFpgaAsConfig::VerifyDevice() {
    uint32_t size = 0;
    if (BeginProgramSession(&size) != 1) return 0;
    const bool ok = EnterAsMode() == 1 && ReadEpcsSiliconId(size) == 1 && VerifyEpcs(size) == 1 &&
                    LeaveAsMode() == 1;
    if (!ok) {
        EndSession();
        return 0;
    }
    return EndSession();
}

uint32_t CAlteraFpgaAsConfig::ReadDeviceToFile() {
    if (EnterConfigMode() != 1) return 0;
    const bool ok = OpenProgramFileForWrite() == 1 && EnterAsMode() == 1 &&
                    ReadEpcsSiliconId(kNoSizeCheck) == 1 && ReadEpcs() == 1 && LeaveAsMode() == 1;
    if (!ok) {
        EndSession();
        return 0;
    }
    return EndSession();
}

uint32_t CAlteraFpgaAsConfig::Reconfigure() {
    if (EnterConfigMode() == 0) return 0;
    // A failed pulse still leaves the mode: the board must not stay held.
    const bool pulsed = SetNConfig(0) != 0 && SetNConfig(1) != 0;
    return LeaveConfigMode() != 0 && pulsed ? 1 : 0;
}

uint32_t CAlteraFpgaAsConfig::ReconfigureAndWait() {
    return EnterConfigMode() != 0 && SetNConfig(0) != 0 && SetNConfig(1) != 0 &&
                   WaitConfigDone() != 0
               ? 1
               : 0;
}

// ---------------------------------------------------------------------------
// Program file.

uint32_t CAlteraFpgaAsConfig::OpenProgramFileForRead() {
    return m_pProgramFile->Open(0) != 0 ? 1 : 0;
}
uint32_t CAlteraFpgaAsConfig::OpenProgramFileForWrite() {
    return m_pProgramFile->Open(1) != 0 ? 1 : 0;
}
void CAlteraFpgaAsConfig::CloseProgramFile() {
    m_pProgramFile->Close();
}
uint32_t CAlteraFpgaAsConfig::GetProgramFileSize(uint32_t* pSize) {
    return m_pProgramFile->GetSize(pSize) != 0 ? 1 : 0;
}
uint32_t CAlteraFpgaAsConfig::ReadProgramFileByte(uint8_t* pValue) {
    return m_pProgramFile->Read(pValue, 1) != 0 ? 1 : 0;
}
uint32_t CAlteraFpgaAsConfig::WriteProgramFileByte(uint8_t value) {
    return m_pProgramFile->Write(&value, 1);
}
void CAlteraFpgaAsConfig::RewindProgramFile() {
    m_pProgramFile->Rewind();
}

}  // namespace velmora::program

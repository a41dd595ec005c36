#pragma once

// Programs, verifies and reads back the FPGA's EPCS configuration flash over
// the active-serial lines, and makes the FPGA reload. The protocol and flows
// live here; the line operations do nothing and the board class drives them.
// Status lines go to standard error ("Info: ", "Error: "): standard output
// may carry the application's own data.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/CriticalSection.h"
#include "program/FpgaProgramFile.h"

namespace velmora::program {

// EPCS_PROGRESS_STAGE
enum : uint32_t {
    kEpcsStageNone = 0,
    kEpcsStageProgramming = 1,
    kEpcsStageReading = 2,
    kEpcsStageVerifying = 3,
};

class CAlteraFpgaAsConfig {
  public:
    // Bounds of the busy polls of the flash.
    static constexpr uint32_t kEraseBusyLimitMs = 120000;
    static constexpr uint32_t kPageBusyLimitMs = 1000;

    CAlteraFpgaAsConfig();
    virtual ~CAlteraFpgaAsConfig();
    CAlteraFpgaAsConfig(const CAlteraFpgaAsConfig&) = delete;
    CAlteraFpgaAsConfig& operator=(const CAlteraFpgaAsConfig&) = delete;

    void SetProgramFileName(std::wstring path);
    void SetProgramData(uint8_t* pData, uint32_t size);
    // Shortens the busy bounds (tests).
    void SetBusyLimits(uint32_t eraseMs, uint32_t pageMs);

    virtual uint32_t EnterConfigMode();
    virtual uint32_t LeaveConfigMode();
    virtual uint32_t ReadDeviceToFile();
    virtual uint32_t ProgramAndVerify();
    virtual uint32_t ProgramDevice();
    virtual uint32_t VerifyDevice();
    virtual uint32_t Reconfigure();
    virtual uint32_t GetProgress(uint32_t* pStage, uint32_t* pPercent);
    virtual uint32_t ReconfigureAndWait();
    virtual uint32_t WaitConfigDone();
    virtual uint32_t GetData(uint32_t* pLevel);
    virtual uint32_t SetDclk(uint32_t level);
    virtual uint32_t SetNConfig(uint32_t level);
    virtual uint32_t SetAsdi(uint32_t level);
    virtual uint32_t SetNCs(uint32_t level);
    virtual uint32_t SetNCe(uint32_t level);
    virtual uint32_t Reserved16(uint32_t value);
    virtual uint32_t Reserved17(uint32_t value0, uint32_t value1, uint32_t value2);
    virtual uint32_t Reserved18(uint32_t value0, uint32_t value1);
    virtual uint32_t Reserved19(uint32_t value);
    virtual uint32_t FlushLines();

    static uint8_t ReverseBits(uint32_t value);

  protected:
    uint32_t EnterAsMode();
    uint32_t LeaveAsMode();
    uint32_t ReadEpcsSiliconId(uint32_t fileSize);
    uint32_t EraseEpcs();
    uint32_t ProgramEpcs(uint32_t fileSize);
    uint32_t ReadEpcs();
    uint32_t VerifyEpcs(uint32_t fileSize);
    uint32_t ShiftOutByteLsbFirst(uint32_t value);
    uint32_t ShiftOutByteMsbFirst(uint32_t value);
    uint32_t ShiftInByte(uint8_t* pValue);
    uint32_t ShiftInByteMsbFirst(uint8_t* pValue);
    uint32_t BeginProgramSession(uint32_t* pSize);
    uint32_t EndSession();

    uint32_t OpenProgramFileForRead();
    uint32_t OpenProgramFileForWrite();
    void CloseProgramFile();
    uint32_t GetProgramFileSize(uint32_t* pSize);
    uint32_t ReadProgramFileByte(uint8_t* pValue);
    uint32_t WriteProgramFileByte(uint8_t value);
    void RewindProgramFile();

    std::unique_ptr<CAlteraFpgaProgramFile> m_pProgramFile;
    int32_t m_nProgressStage = kEpcsStageNone;
    int32_t m_nProgressPercent = 0;
    int32_t m_nDensity = 0;
    int32_t m_nDeviceSize = 0;
    std::unique_ptr<platform::CCriticalSection> m_pProgressLock;

  private:
    // One instruction alone between select and deselect.
    uint32_t SendCommand(uint8_t opcode);
    // An instruction followed by three address (or dummy) bytes, left selected.
    uint32_t SendAddressed(uint8_t opcode, uint32_t address);
    // Reads status bytes (selected after 0x05) until the write ends or the
    // bound passes.
    uint32_t WaitWhileBusy(uint32_t limitMs);
    uint32_t Select() { return SetNCs(0); }
    uint32_t Deselect() { return SetNCs(1); }
    void SetProgress(int32_t stage, int32_t percent);
    uint32_t ProgramFlow(bool verify);

    uint32_t m_dwEraseBusyLimitMs = kEraseBusyLimitMs;
    uint32_t m_dwPageBusyLimitMs = kPageBusyLimitMs;
};

}  // namespace velmora::program

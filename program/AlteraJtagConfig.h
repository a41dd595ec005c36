#pragma once

// Programs, verifies and reads a CPLD over JTAG by running one action of a
// Jam STAPL byte-code image (JBC). The pin operations and the programming
// mode do nothing here; the board's subclass drives them. Everything else
// (file services, TAP layer, decompressor, player) is written once against
// the virtual pin operations.

#include <cstdint>
#include <memory>
#include <string>

#include "program/FpgaProgramFile.h"

namespace velmora::program {

// JbcStatus
enum JbcStatus : int32_t {
    kJbcSuccess = 0,
    kJbcOutOfMemory = 1,
    kJbcBadImage = 2,
    kJbcNotFound = 4,
    kJbcCrcMismatch = 9,
    kJbcStateNotReached = 10,
    kJbcBoundsError = 11,
    kJbcStackError = 20,
    kJbcIllegalOpcode = 21,
    kJbcActionNotFound = 24,
};

// TapState; -1 while undetermined.
enum : int32_t {
    kTapUndetermined = -1,
    kTapReset = 0,
    kTapIdle = 1,
    kTapSelectDr = 2,
    kTapCaptureDr = 3,
    kTapShiftDr = 4,
    kTapExit1Dr = 5,
    kTapPauseDr = 6,
    kTapExit2Dr = 7,
    kTapUpdateDr = 8,
    kTapSelectIr = 9,
    kTapCaptureIr = 10,
    kTapShiftIr = 11,
    kTapExit1Ir = 12,
    kTapPauseIr = 13,
    kTapExit2Ir = 14,
    kTapUpdateIr = 15,
};

// One procedure of an action's chain (GetActionInfo); owned by the caller,
// released with FreeProcedureList.
struct JBC_PROCEDURE_NODE {
    const char* name;
    uint8_t attributes;
    JBC_PROCEDURE_NODE* next;
};
void FreeProcedureList(JBC_PROCEDURE_NODE* head);

class CJbcPlayer;

class CAlteraJtagConfig {
  public:
    // The smallest work area that holds the fixed JTAG buffers.
    static constexpr int32_t kWorkAreaMinimum = 640;

    CAlteraJtagConfig();
    virtual ~CAlteraJtagConfig();
    CAlteraJtagConfig(const CAlteraJtagConfig&) = delete;
    CAlteraJtagConfig& operator=(const CAlteraJtagConfig&) = delete;

    virtual uint32_t EnterProgrammingMode();
    virtual uint32_t LeaveProgrammingMode();
    virtual uint32_t ReadDevice();
    virtual uint32_t ProgramViaByteBlaster();
    virtual uint32_t ProgramDevice();
    virtual uint32_t VerifyDevice();
    virtual uint32_t Reserved6();
    virtual uint32_t Reserved7(uint32_t value0, uint32_t value1);
    virtual uint32_t SetTck(uint32_t level);
    virtual uint32_t SetTms(uint32_t level);
    virtual uint32_t SetTdi(uint32_t level);
    virtual uint32_t GetTdo(uint32_t* pLevel);
    virtual uint32_t JtagIo(uint32_t tms, uint32_t tdi, uint32_t read);
    virtual void DelayMicroseconds(int32_t microseconds);

    void SetProgramFileName(std::wstring path);
    void SetProgramData(uint8_t* pData, int32_t size);
    void SetImage(const uint8_t* pImage, int32_t size);
    void SetAction(const char* pszAction) { m_pszAction = pszAction; }
    void SetInitList(const char* const* ppInitList) { m_ppInitList = ppInitList; }
    bool AllocateWorkArea(int32_t size);
    // Test seam: a run stops with 11 after this many instructions (0: none).
    void SetInstructionBudget(uint64_t budget) { m_qwInstructionBudget = budget; }

    // File services.
    int32_t CheckCrc(uint16_t* pStored, uint16_t* pComputed);
    int32_t GetFileInfo(int32_t* pVersion, int32_t* pActionCount, int32_t* pProcedureCount);
    int32_t GetActionInfo(int32_t index, const char** ppName, const char** ppDescription,
                          JBC_PROCEDURE_NODE** ppList);
    int32_t GetNote(int32_t* pIndex, char* pKey, char* pValue, int32_t length);

    // The player.
    int32_t Execute(int32_t reset, uint32_t* pErrorAddress, int32_t* pExitCode, int32_t* pVersion);

    // TAP layer.
    int32_t InitJtag();
    void ResetJtagToIdle();
    int32_t GotoJtagState(int32_t target);
    int32_t SetDrStopState(int32_t state);
    int32_t SetIrStopState(int32_t state);
    int32_t SetDrPreamble(uint32_t count, uint32_t start, const uint8_t* pSource);
    int32_t SetDrPostamble(uint32_t count, uint32_t start, const uint8_t* pSource);
    int32_t SetIrPreamble(uint32_t count, uint32_t start, const uint8_t* pSource);
    int32_t SetIrPostamble(uint32_t count, uint32_t start, const uint8_t* pSource);
    int32_t WaitCycles(int32_t cycles, int32_t state);
    int32_t WaitMicroseconds(int32_t microseconds, int32_t state);
    int32_t DrScan(uint32_t count, const uint8_t* pSource, uint32_t start);
    int32_t IrScan(uint32_t count, const uint8_t* pSource, uint32_t start);
    int32_t DrScanCapture(uint32_t count, const uint8_t* pSource, uint32_t sourceStart,
                          uint8_t* pCapture, uint32_t captureStart);
    int32_t IrScanCapture(uint32_t count, const uint8_t* pSource, uint32_t sourceStart,
                          uint8_t* pCapture, uint32_t captureStart);
    void FreeJtagBuffers(int32_t reset);
    int32_t GetTapState() const { return m_nTapState; }

    // Decompressor: 0 when the block does not fit the output or is corrupt.
    uint32_t Uncompress(const uint8_t* pInput, uint32_t compressedLength, uint8_t* pOutput,
                        uint32_t capacity, int32_t version);
    uint32_t ReadBits(const uint8_t* pInput, int32_t count);
    static uint32_t BitsNeeded(uint32_t value);

    // Text and number utilities of the player (8-bit text).
    static int32_t StrLength(const char* text);
    // Unsigned decimal digits from the start; no digit gives 0.
    static uint32_t ParseDecimal(const char* text);
    // Signed decimal text, terminated; the buffer holds at least 12 chars.
    static void FormatDecimal(int32_t value, char* text);
    static char ToUpperAscii(char c);
    // The difference of the first pair that differs after ToUpperAscii; 0
    // when both end together.
    static int32_t CompareNoCase(const char* a, const char* b);
    // At most n characters, stopping after the terminator.
    static void CopyString(char* target, const char* source, int32_t n);
    static void StoreLe32(uint8_t* p, uint32_t value);
    static uint32_t LoadLe32(const uint8_t* p);

  protected:
    // Runs one action of the program file's image (the device operations).
    uint32_t RunAction(const char* pszAction, bool viaCable);

  private:
    friend class CJbcPlayer;

    // Empty buffers: in the work area when there is one, else none yet
    // (the scans allocate them).
    void PlaceJtagBuffers();
    // One scan's framing: which fields, which limit.
    struct ScanFields;
    int32_t SetAmble(uint32_t count, uint32_t start, const uint8_t* pSource, uint32_t& length,
                     uint8_t*& pBits, uint32_t limit);
    int32_t Scan(bool ir, uint32_t count, const uint8_t* pSource, uint32_t sourceStart,
                 uint8_t* pCapture, uint32_t captureStart);
    bool ShiftBits(bool ir, int kind, uint32_t total, uint8_t* pBits, uint8_t* pCapture);
    void Clock(uint32_t tms);

    std::unique_ptr<CAlteraCpldProgramFile> m_pProgramFile;
    const uint8_t* m_pImage = nullptr;
    int32_t m_nImageSize = 0;
    std::unique_ptr<uint8_t[]> m_pWorkArea;
    const char* m_pszAction = nullptr;
    const char* const* m_ppInitList = nullptr;
    int32_t m_nTapState = kTapUndetermined;
    int32_t m_nDrStopState = kTapIdle;
    int32_t m_nIrStopState = kTapIdle;
    uint32_t m_dwDrPreambleLength = 0;
    uint32_t m_dwDrPostambleLength = 0;
    uint32_t m_dwIrPreambleLength = 0;
    uint32_t m_dwIrPostambleLength = 0;
    uint32_t m_dwDrScanCapacity = 0;
    uint32_t m_dwIrScanCapacity = 0;
    uint8_t* m_pDrPreamble = nullptr;
    uint8_t* m_pDrPostamble = nullptr;
    uint8_t* m_pIrPreamble = nullptr;
    uint8_t* m_pIrPostamble = nullptr;
    uint8_t* m_pDrScan = nullptr;
    uint8_t* m_pIrScan = nullptr;
    uint32_t m_dwCompressedLength = 0;
    uint32_t m_dwInputIndex = 0;
    uint32_t m_dwBitsLeft = 8;
    bool m_bInputOverrun = false;
    uint64_t m_qwInstructionBudget = 0;
};

}  // namespace velmora::program

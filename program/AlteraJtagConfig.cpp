#include "program/AlteraJtagConfig.h"

#include <cstdio>
#include <new>

#include "card/LogFile.h"
#include "platform/Time.h"
#include "platform/Trace.h"
#include "program/ByteBlaster.h"
#include "program/JbcImage.h"

namespace velmora::program {

namespace {

// Every line operation of a clock is repeated, so that slow line drivers
// settle.
constexpr int kLineRepeat = 50;

}  // namespace

void FreeProcedureList(JBC_PROCEDURE_NODE* head) {
    while (head != nullptr) {
        JBC_PROCEDURE_NODE* next = head->next;
        delete head;
        head = next;
    }
}

CAlteraJtagConfig::CAlteraJtagConfig()
    : m_pProgramFile(std::make_unique<CAlteraCpldProgramFile>()) {}

CAlteraJtagConfig::~CAlteraJtagConfig() {
    FreeJtagBuffers(0);
    m_pProgramFile->Close();
}

uint32_t CAlteraJtagConfig::EnterProgrammingMode() {
    return 1;
}
uint32_t CAlteraJtagConfig::LeaveProgrammingMode() {
    return 1;
}
uint32_t CAlteraJtagConfig::Reserved6() {
    return 1;
}
uint32_t CAlteraJtagConfig::Reserved7(uint32_t, uint32_t) {
    return 1;
}
uint32_t CAlteraJtagConfig::SetTck(uint32_t) {
    return 1;
}
uint32_t CAlteraJtagConfig::SetTms(uint32_t) {
    return 1;
}
uint32_t CAlteraJtagConfig::SetTdi(uint32_t) {
    return 1;
}
uint32_t CAlteraJtagConfig::GetTdo(uint32_t*) {
    return 1;
}

uint32_t CAlteraJtagConfig::JtagIo(uint32_t tms, uint32_t tdi, uint32_t read) {
    uint32_t tdo = 0;
    for (int i = 0; i < kLineRepeat; ++i)
        SetTms(tms);
    for (int i = 0; i < kLineRepeat; ++i)
        SetTdi(tdi);
    if (read) {
        for (int i = 0; i < kLineRepeat; ++i)
            GetTdo(&tdo);
    }
    for (int i = 0; i < kLineRepeat; ++i)
        SetTck(1);
    for (int i = 0; i < kLineRepeat; ++i)
        SetTck(0);
    return tdo;
}

void CAlteraJtagConfig::DelayMicroseconds(int32_t microseconds) {
    // Rounded up: a device wait cut short by a dropped remainder is a failed
    // erase or program cycle. Never shorter than 1 ms.
    uint32_t ms = 1;
    if (microseconds > 1000) ms = static_cast<uint32_t>((int64_t{microseconds} + 999) / 1000);
    platform::SettlingSleep(ms);
}

void CAlteraJtagConfig::SetProgramFileName(std::wstring path) {
    m_pProgramFile->SetFileName(std::move(path));
}

void CAlteraJtagConfig::SetProgramData(uint8_t* pData, int32_t size) {
    m_pProgramFile->SetMemorySource(pData, size > 0 ? static_cast<uint32_t>(size) : 0);
}

void CAlteraJtagConfig::SetImage(const uint8_t* pImage, int32_t size) {
    if (pImage == nullptr || size < 1) return;
    m_pImage = pImage;
    m_nImageSize = size;
}

bool CAlteraJtagConfig::AllocateWorkArea(int32_t size) {
    // The fixed buffers need the whole layout; a smaller area would put them
    // past its end.
    if (size < kWorkAreaMinimum) return false;
    std::unique_ptr<uint8_t[]> area(new (std::nothrow) uint8_t[static_cast<size_t>(size)]());
    if (!area) return false;
    FreeJtagBuffers(0);
    m_pWorkArea = std::move(area);
    // Buffers that lay in a previous area would be left in freed memory.
    PlaceJtagBuffers();
    return true;
}

// ---------------------------------------------------------------------------
// Text and number utilities.

int32_t CAlteraJtagConfig::StrLength(const char* text) {
    int32_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

uint32_t CAlteraJtagConfig::ParseDecimal(const char* text) {
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10 + static_cast<uint32_t>(*text - '0');
    return value;
}

void CAlteraJtagConfig::FormatDecimal(int32_t value, char* text) {
    // Through the magnitude as unsigned: the most negative value has no
    // positive counterpart.
    uint32_t magnitude =
        value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *text++ = '-';
    while (count > 0)
        *text++ = digits[--count];
    *text = '\0';
}

char CAlteraJtagConfig::ToUpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

int32_t CAlteraJtagConfig::CompareNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const int32_t difference = ToUpperAscii(*a) - ToUpperAscii(*b);
        if (difference != 0 || *a == '\0') return difference;
    }
}

void CAlteraJtagConfig::CopyString(char* target, const char* source, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        target[i] = source[i];
        if (source[i] == '\0') return;
    }
}

void CAlteraJtagConfig::StoreLe32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t CAlteraJtagConfig::LoadLe32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// ---------------------------------------------------------------------------
// Device operations.

uint32_t CAlteraJtagConfig::ReadDevice() {
    return RunAction("READ", false);
}
uint32_t CAlteraJtagConfig::ProgramDevice() {
    return RunAction("PROGRAM", false);
}
uint32_t CAlteraJtagConfig::VerifyDevice() {
    return RunAction("VERIFY", false);
}
uint32_t CAlteraJtagConfig::ProgramViaByteBlaster() {
    return RunAction("PROGRAM", true);
}

uint32_t CAlteraJtagConfig::RunAction(const char* pszAction, bool viaCable) {
    // Holds the program file and the cable for the run; both are released on
    // every way out, and the image taken from the file's buffer goes with it.
    struct Session {
        CAlteraJtagConfig& owner;
        bool cable;
        ~Session() {
            uint8_t* buffer = nullptr;
            owner.m_pProgramFile->GetBuffer(&buffer);
            if (buffer != nullptr && owner.m_pImage == buffer) {
                owner.m_pImage = nullptr;
                owner.m_nImageSize = 0;
            }
            owner.m_pProgramFile->Close();
            if (cable) CloseByteBlaster();
        }
    } session{*this, false};

    if (viaCable) {
        if (!InitByteBlaster()) return 0;
        session.cable = true;
    }
    uint8_t* pBuffer = nullptr;
    uint32_t size = 0;
    if (!m_pProgramFile->Open(0)) {
        card::g_LogFile.WriteLogA("jtag %s : program file cannot be opened", pszAction);
        return 0;
    }
    m_pProgramFile->GetBuffer(&pBuffer);
    m_pProgramFile->GetSize(&size);
    // The previous image must not run in place of a missing one.
    if (pBuffer == nullptr || size == 0 || size > INT32_MAX) {
        card::g_LogFile.WriteLogA("jtag %s : program file is empty", pszAction);
        return 0;
    }
    SetImage(pBuffer, static_cast<int32_t>(size));
    // A damaged image runs no action: its scan lengths and loops are
    // arbitrary, and the device lines stay held while it runs.
    const int32_t crc = CheckCrc(nullptr, nullptr);
    if (crc != kJbcSuccess) {
        card::g_LogFile.WriteLogA("jtag %s : image refused, CRC check status %d", pszAction,
                                  static_cast<int>(crc));
        return 0;
    }
    if (!EnterProgrammingMode()) return 0;
    SetAction(pszAction);
    uint32_t errorAddress = 0;
    int32_t exitCode = 0;
    int32_t version = 0;
    const int32_t status = Execute(1, &errorAddress, &exitCode, &version);
    if (viaCable) {
        // A run that fails sets no exit code: its status says why.
        char text[32];
        if (status == kJbcSuccess) {
            std::snprintf(text, sizeof(text), "Result : %d", static_cast<int>(exitCode));
        } else {
            std::snprintf(text, sizeof(text), "Status : %d", static_cast<int>(status));
        }
        platform::ShowMessage(text, "");
    }
    const uint32_t left = LeaveProgrammingMode();
    if (status != kJbcSuccess || exitCode != 0) {
        card::g_LogFile.WriteLogA("jtag %s : status %d, error address %u, exit code %d", pszAction,
                                  static_cast<int>(status), errorAddress,
                                  static_cast<int>(exitCode));
        return 0;
    }
    return left ? 1 : 0;
}

}  // namespace velmora::program

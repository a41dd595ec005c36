#include "api/SdkApi.h"

#include "card/CardMainFunc.h"
#include "card/LogFile.h"
#include "card/UtilityFunc.h"

namespace velmora::api {

CSdkApi::CSdkApi(card::CCardMainFunc* pCardMainFunc, card::CBoardSupport* pBoardSupport)
    : m_pCardMainFunc(pCardMainFunc), m_pBoardSupport(pBoardSupport) {}

CSdkApi::~CSdkApi() = default;

uint32_t CSdkApi::RestoreDefault() {
    return m_pBoardSupport->SetDefaultSettings();
}

uint32_t CSdkApi::InitialFieldEvent(const wchar_t* name, platform::Handle* pHandle) {
    return m_pCardMainFunc->RegisterFieldEvent(name, pHandle);
}

uint32_t CSdkApi::CloseFieldEvent(platform::Handle handle) {
    return m_pCardMainFunc->UnregisterFieldEvent(handle);
}

uint32_t CSdkApi::CloseFieldEventByName(const wchar_t* name) {
    return m_pCardMainFunc->UnregisterFieldEventByName(name);
}

uint32_t CSdkApi::CheckEventExists(const wchar_t* name) {
    platform::Handle handle = m_pBoardSupport->OpenNamedEvent(name);
    if (!handle) return 0;
    return m_pBoardSupport->CloseNamedEvent(handle);
}

uint32_t CSdkApi::CloseNamedEvent(platform::Handle handle) {
    return m_pBoardSupport->CloseNamedEvent(handle);
}

platform::Handle CSdkApi::FindFieldEvent(const wchar_t* name) {
    platform::Handle handle = nullptr;
    return m_pCardMainFunc->FindFieldEvent(name, &handle) ? handle : nullptr;
}

platform::Handle CSdkApi::CreateFieldEvent(const wchar_t* name) {
    platform::Handle handle = nullptr;
    return m_pCardMainFunc->RegisterFieldEvent(name, &handle) ? handle : nullptr;
}

uint32_t CSdkApi::ReleaseFieldEvent(platform::Handle handle) {
    return m_pCardMainFunc->UnregisterFieldEvent(handle);
}

void CSdkApi::Reserved9() {}

uint32_t CSdkApi::GetCardTypeNumber(uint32_t* pType) {
    // A board ID that could not be read is a failure, not a type.
    return m_pBoardSupport->GetCardTypeNumber(pType);
}

uint32_t CSdkApi::GetCardSubType(uint32_t* pValue) {
    return m_pBoardSupport->GetCardSubType(pValue);
}

uint32_t CSdkApi::GetCardTypeId(uint32_t* pType) {
    if (!pType) return 0;
    *pType = m_pBoardSupport->GetCardModel();
    return 1;
}

uint32_t CSdkApi::GetRegisterBase(void** ppBase) {
    if (!ppBase) return 0;
    m_pBoardSupport->GetRegisterBase(ppBase);
    return 1;
}

uint32_t CSdkApi::GetFrameMemoryPointer(void** ppFrameMemory) {
    if (!ppFrameMemory) return 0;
    m_pCardMainFunc->GetFrameMemoryPointer(ppFrameMemory);
    return 1;
}

void CSdkApi::MemCopyDword(void* destination, const void* source, uint32_t count) {
    card::CUtilityFunc utility;
    utility.MemCopyDword(destination, source, count);
}

void CSdkApi::MemFillDword(void* destination, uint32_t value, uint32_t count) {
    card::CUtilityFunc utility;
    utility.MemFillDword(destination, value, count);
}

void CSdkApi::MemCopyDword128(void* destination, const void* source, uint32_t count) {
    card::CUtilityFunc utility;
    utility.MemCopyDword128(destination, source, count);
}

uint32_t CSdkApi::GetFieldNumber(uint32_t* pField) {
    return m_pCardMainFunc->GetFieldNumber(pField);
}

uint32_t CSdkApi::GetVideoMode(uint32_t* pMode) {
    return m_pBoardSupport->GetVideoMode(pMode);
}

uint32_t CSdkApi::SetVideoMode(uint32_t mode) {
    return m_pBoardSupport->SetVideoMode(mode);
}

uint32_t CSdkApi::GetSyncSource(SYNC_SOURCE_CODE* pCode) {
    return m_pBoardSupport->GetSyncSource(pCode);
}

uint32_t CSdkApi::SetSyncSource(SYNC_SOURCE_CODE code) {
    return m_pBoardSupport->SetSyncSource(code);
}

uint32_t CSdkApi::GetVideoInputStatus(uint32_t inputCode, uint32_t* pStatus) {
    return m_pBoardSupport->GetVideoInputStatus(inputCode, pStatus);
}

uint32_t CSdkApi::GetVideoSource(uint32_t channel, VIDEO_SOURCE_CODE* pCode) {
    return m_pBoardSupport->GetVideoSource(channel, pCode);
}

uint32_t CSdkApi::SetVideoSource(uint32_t channel, VIDEO_SOURCE_CODE code) {
    return m_pBoardSupport->SetVideoSource(channel, code);
}

uint32_t CSdkApi::GetVideoOutputFormat(uint32_t channel, uint32_t encoder,
                                       VIDEO_OUTPUT_FORMAT_CODE* pCode) {
    return m_pBoardSupport->GetVideoOutputFormat(channel, encoder, pCode);
}

uint32_t CSdkApi::SetVideoOutputFormat(uint32_t channel, VIDEO_OUTPUT_FORMAT_CODE code) {
    return m_pBoardSupport->SetVideoOutputFormat(channel, code);
}

uint32_t CSdkApi::SetVideoBlackLevel(uint32_t, uint32_t) {
    return 1;
}

uint32_t CSdkApi::GetVideoBlackLevel(uint32_t, uint32_t* pLevel) {
    // A success must deliver a value; with no control the level is 0.
    if (!pLevel) return 0;
    *pLevel = 0;
    return 1;
}

uint32_t CSdkApi::GetFastLockMode(uint32_t channel, uint32_t* pMode) {
    return m_pBoardSupport->GetFastLockMode(channel, pMode);
}

uint32_t CSdkApi::SetFastLockMode(uint32_t channel, uint32_t mode) {
    return m_pBoardSupport->SetFastLockMode(channel, mode);
}

uint32_t CSdkApi::GetAudioSource(uint32_t channel, AUDIO_SOURCE_CODE* pCode) {
    return m_pBoardSupport->GetAudioSource(channel, pCode);
}

uint32_t CSdkApi::SetAudioSource(uint32_t channel, AUDIO_SOURCE_CODE code) {
    return m_pBoardSupport->SetAudioSource(channel, code);
}

uint32_t CSdkApi::GetAudioOutputSelect(uint32_t channel, uint32_t output,
                                       AUDIO_SOURCE_CODE* pCode) {
    return m_pBoardSupport->GetAudioOutputSelect(channel, output, pCode);
}

uint32_t CSdkApi::SetAudioOutputSelect(uint32_t channel, AUDIO_SOURCE_CODE code) {
    return m_pBoardSupport->SetAudioOutputSelect(channel, code);
}

uint32_t CSdkApi::GetVideoOutputChromaPhase(uint32_t* pValue) {
    return m_pBoardSupport->GetVideoOutputChromaPhase(pValue);
}

uint32_t CSdkApi::SetVideoOutputChromaPhase(uint32_t value) {
    return m_pBoardSupport->SetVideoOutputChromaPhase(value);
}

uint32_t CSdkApi::GetFpgaLevel24(uint32_t* pValue) {
    return m_pBoardSupport->GetControl24(pValue);
}

uint32_t CSdkApi::SetFpgaLevel24(uint32_t value) {
    return m_pBoardSupport->SetControl24(value);
}

uint32_t CSdkApi::SetFpgaRegister28(uint32_t value) {
    return m_pBoardSupport->WriteControl28(value);
}

uint32_t CSdkApi::GetFpgaLevel2C(uint32_t* pValue) {
    return m_pBoardSupport->GetControl2C(pValue);
}

uint32_t CSdkApi::SetFpgaLevel2C(uint32_t value) {
    return m_pBoardSupport->SetControl2C(value);
}

uint32_t CSdkApi::GetFpgaLevel30(uint32_t* pValue) {
    return m_pBoardSupport->GetControl30(pValue);
}

uint32_t CSdkApi::SetFpgaLevel30(uint32_t value) {
    return m_pBoardSupport->SetControl30(value);
}

uint32_t CSdkApi::GetGlobalFlag65(uint32_t* pFlag) {
    return m_pBoardSupport->GetGlobalFlag65(pFlag);
}

uint32_t CSdkApi::PulseGlobalControlBit3(uint32_t) {
    return 0;
}

uint32_t CSdkApi::GetVideoInputContrast(uint32_t channel, uint32_t* pValue) {
    return m_pBoardSupport->GetVideoInputContrast(channel, pValue);
}

uint32_t CSdkApi::SetVideoInputContrast(uint32_t channel, uint32_t value) {
    return m_pBoardSupport->SetVideoInputContrast(channel, value);
}

uint32_t CSdkApi::GetVideoInputBrightness(uint32_t channel, uint32_t* pValue) {
    return m_pBoardSupport->GetVideoInputBrightness(channel, pValue);
}

uint32_t CSdkApi::SetVideoInputBrightness(uint32_t channel, uint32_t value) {
    return m_pBoardSupport->SetVideoInputBrightness(channel, value);
}

uint32_t CSdkApi::GetVideoInputHue(uint32_t channel, uint32_t* pValue) {
    return m_pBoardSupport->GetVideoInputHue(channel, pValue);
}

uint32_t CSdkApi::SetVideoInputHue(uint32_t channel, uint32_t value) {
    return m_pBoardSupport->SetVideoInputHue(channel, value);
}

uint32_t CSdkApi::GetVideoInputChromaSaturation(uint32_t channel, uint32_t component,
                                                uint32_t* pValue) {
    return m_pBoardSupport->GetVideoInputChromaSaturation(channel, component, pValue);
}

uint32_t CSdkApi::GetVideoInputSaturation(uint32_t channel, uint32_t* pValue) {
    return m_pBoardSupport->GetVideoInputSaturation(channel, pValue);
}

uint32_t CSdkApi::SetVideoInputChromaSaturation(uint32_t channel, uint32_t component,
                                                uint32_t value) {
    return m_pBoardSupport->SetVideoInputChromaSaturation(channel, component, value);
}

uint32_t CSdkApi::SetVideoInputSaturation(uint32_t channel, uint32_t value) {
    return m_pBoardSupport->SetVideoInputSaturation(channel, value);
}

uint32_t CSdkApi::GetPixel(uint32_t x, uint32_t y, uint32_t* pValue) {
    return m_pCardMainFunc->GetPixel(x, y, pValue);
}

uint32_t CSdkApi::SetPixel(uint32_t x, uint32_t y, uint32_t value) {
    return m_pCardMainFunc->SetPixel(x, y, value);
}

uint32_t CSdkApi::ReadLine(uint32_t y, uint32_t* pBuffer) {
    return m_pCardMainFunc->ReadLine(y, pBuffer);
}

uint32_t CSdkApi::WriteLine(uint32_t y, const uint32_t* pBuffer) {
    return m_pCardMainFunc->WriteLine(y, pBuffer);
}

uint32_t CSdkApi::ReadLineSegment(uint32_t x, uint32_t y, uint32_t count, uint32_t* pBuffer) {
    return m_pCardMainFunc->ReadLineSegment(x, y, count, pBuffer);
}

uint32_t CSdkApi::WriteLineSegment(uint32_t x, uint32_t y, uint32_t count,
                                   const uint32_t* pBuffer) {
    return m_pCardMainFunc->WriteLineSegment(x, y, count, pBuffer);
}

uint32_t CSdkApi::ReadColumn(uint32_t x, uint32_t* pBuffer) {
    return m_pCardMainFunc->ReadColumn(x, pBuffer);
}

uint32_t CSdkApi::WriteColumn(uint32_t x, const uint32_t* pBuffer) {
    return m_pCardMainFunc->WriteColumn(x, pBuffer);
}

uint32_t CSdkApi::ReadColumnSegment(uint32_t x, uint32_t y, uint32_t count, uint32_t* pBuffer) {
    return m_pCardMainFunc->ReadColumnSegment(x, y, count, pBuffer);
}

uint32_t CSdkApi::WriteColumnSegment(uint32_t x, uint32_t y, uint32_t count,
                                     const uint32_t* pBuffer) {
    return m_pCardMainFunc->WriteColumnSegment(x, y, count, pBuffer);
}

uint32_t CSdkApi::ReadPage(uint32_t* pBuffer, uint32_t page) {
    return m_pCardMainFunc->ReadPage(pBuffer, page);
}

uint32_t CSdkApi::WritePage(const uint32_t* pBuffer, uint32_t page) {
    return m_pCardMainFunc->WritePage(pBuffer, page);
}

uint32_t CSdkApi::ClearFrameMemory() {
    return m_pCardMainFunc->ClearFrameMemory();
}

uint32_t CSdkApi::ReadRectangle(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                uint32_t* pBuffer) {
    return m_pCardMainFunc->ReadRectangle(x, y, width, height, pBuffer);
}

uint32_t CSdkApi::WriteRectangle(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                 const uint32_t* pBuffer) {
    return m_pCardMainFunc->WriteRectangle(x, y, width, height, pBuffer);
}

uint32_t CSdkApi::WriteRectangleIndirect(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                         const uint32_t* pBuffer) {
    return WriteRectangle(x, y, width, height, pBuffer);
}

uint32_t CSdkApi::PulseGlobalControlBit2() {
    return m_pCardMainFunc->PulseGlobalControlBit2();
}

uint32_t CSdkApi::GetGlobalStatusBit0(uint32_t* pBit) {
    return m_pCardMainFunc->GetGlobalStatusBit0(pBit);
}

uint32_t CSdkApi::ReadBackgroundPage(uint32_t* pBuffer) {
    return m_pCardMainFunc->ReadBackgroundPage(pBuffer);
}

namespace {

// Clamps to [low, high] and truncates; the +0.5 of each formula's constant
// makes the truncation a rounding to the nearest.
uint8_t StudioByte(double value, double low, double high) {
    if (value > high) {
        value = high;
    } else if (value < low) {
        value = low;
    }
    return static_cast<uint8_t>(value);
}

}  // namespace

void CSdkApi::RgbToYCbCr(uint8_t r, uint8_t g, uint8_t b, uint8_t* pY, uint8_t* pCb, uint8_t* pCr) {
    const double y = 0.257 * r + 0.504 * g + 0.098 * b + 16.5;
    const double cb = -0.148 * r - 0.291 * g + 0.439 * b + 128.5;
    const double cr = 0.439 * r - 0.368 * g - 0.071 * b + 128.5;
    if (pY) *pY = StudioByte(y, 16, 235);
    if (pCb) *pCb = StudioByte(cb, 16, 240);
    if (pCr) *pCr = StudioByte(cr, 16, 240);
}

void CSdkApi::RgbImageToYCbCr422(const uint32_t* pSource, uint32_t* pDestination, uint32_t width,
                                 uint32_t height) {
    if (!pSource || !pDestination) return;
    const uint32_t pairs = (width + 1) / 2;
    const size_t pixels = static_cast<size_t>(width) * height;
    for (uint32_t row = 0; row < height; ++row) {
        const size_t first = static_cast<size_t>(row) * width;
        uint32_t* out = pDestination + static_cast<size_t>(row) * pairs;
        for (uint32_t k = 0; k < pairs; ++k) {
            const size_t index = first + 2 * static_cast<size_t>(k);
            const uint32_t even = pSource[index];
            // With an odd width the last pair of a row takes the next row's
            // first pixel as its odd one; the last row has none after it and
            // pairs its last pixel with itself instead of reading past the
            // image.
            const uint32_t odd = index + 1 < pixels ? pSource[index + 1] : even;
            uint8_t y0, cb0, cr0, y1, cb1, cr1;
            RgbToYCbCr(static_cast<uint8_t>(even >> 16), static_cast<uint8_t>(even >> 8),
                       static_cast<uint8_t>(even), &y0, &cb0, &cr0);
            RgbToYCbCr(static_cast<uint8_t>(odd >> 16), static_cast<uint8_t>(odd >> 8),
                       static_cast<uint8_t>(odd), &y1, &cb1, &cr1);
            out[k] = (static_cast<uint32_t>(cb0) << 24) | (static_cast<uint32_t>(y0) << 16) |
                     (static_cast<uint32_t>(cr1) << 8) | y1;
        }
    }
}

uint32_t CSdkApi::WriteGlobalSelectBit(uint32_t value, uint32_t which) {
    return m_pBoardSupport->WriteGlobalSelectBit(value, which);
}

uint32_t CSdkApi::TestFpgaRegisters() {
    return m_pBoardSupport->TestScratchRegister();
}

uint32_t CSdkApi::TestChipRegisters() {
    return m_pBoardSupport->TestChipRegisters();
}

uint32_t CSdkApi::TestNvram() {
    return m_pBoardSupport->TestNvram();
}

uint32_t CSdkApi::TestCardMemory() {
    constexpr uint32_t kPorts = 4;
    for (uint32_t port = 0; port < kPorts; ++port)
        m_pBoardSupport->StopAudioCapture(port);
    for (uint32_t port = 0; port < kPorts; ++port)
        m_pBoardSupport->StopVideoCapture(port);
    const uint32_t result = m_pBoardSupport->TestCardMemory();
    for (uint32_t port = 0; port < kPorts; ++port)
        m_pBoardSupport->StartAudioCapture(port);
    for (uint32_t port = 0; port < kPorts; ++port)
        m_pBoardSupport->StartVideoCapture(port);
    return result;
}

uint32_t CSdkApi::EnterFpgaConfigMode() {
    return m_pBoardSupport->EnterFpgaConfigMode();
}

uint32_t CSdkApi::LeaveFpgaConfigMode() {
    return m_pBoardSupport->LeaveFpgaConfigMode();
}

uint32_t CSdkApi::ReadBackFpgaConfigData(void* pBuffer, uint32_t size) {
    return m_pBoardSupport->ReadBackFpgaConfigData(pBuffer, size);
}

uint32_t CSdkApi::ReadBackFpgaConfigFile(std::wstring fileName) {
    return m_pBoardSupport->ReadBackFpgaConfigFile(fileName.c_str());
}

uint32_t CSdkApi::ProgramFpgaConfigData(const void* pBuffer, uint32_t size) {
    return m_pBoardSupport->ProgramFpgaConfigData(pBuffer, size);
}

uint32_t CSdkApi::ProgramFpgaConfigFile(std::wstring fileName) {
    return m_pBoardSupport->ProgramFpgaConfigFile(fileName.c_str());
}

uint32_t CSdkApi::VerifyFpgaConfigData(const void* pBuffer, uint32_t size) {
    return m_pBoardSupport->VerifyFpgaConfigData(pBuffer, size);
}

uint32_t CSdkApi::VerifyFpgaConfigFile(std::wstring fileName) {
    return m_pBoardSupport->VerifyFpgaConfigFile(fileName.c_str());
}

uint32_t CSdkApi::ProgramAndVerifyFpgaConfigData(const void* pBuffer, uint32_t size) {
    return m_pBoardSupport->ProgramAndVerifyFpgaConfigData(pBuffer, size);
}

uint32_t CSdkApi::ProgramAndVerifyFpgaConfigFile(std::wstring fileName) {
    return m_pBoardSupport->ProgramAndVerifyFpgaConfigFile(fileName.c_str());
}

uint32_t CSdkApi::GetFpgaConfigProgress(uint32_t* pStage, uint32_t* pPercent) {
    return m_pBoardSupport->GetFpgaConfigProgress(pStage, pPercent);
}

uint32_t CSdkApi::ReconfigureFpga() {
    return m_pBoardSupport->ReconfigureFpga();
}

uint32_t CSdkApi::WaitForFieldInterrupt() {
    return m_pBoardSupport->WaitForFieldInterrupt();
}

uint32_t CSdkApi::SetGlobalSelectSetting(uint32_t value, uint32_t store) {
    return m_pBoardSupport->SetGlobalSelectSetting(value, store);
}

uint32_t CSdkApi::GetVideoRelayMode(uint32_t channel, RELAY_MODE* pMode) {
    return m_pBoardSupport->GetVideoRelayMode(channel, pMode);
}

uint32_t CSdkApi::SetVideoRelayMode(uint32_t channel, RELAY_MODE mode) {
    return m_pBoardSupport->SetVideoRelayMode(channel, mode);
}

uint32_t CSdkApi::GetAudioRelayMode(uint32_t channel, RELAY_MODE* pMode) {
    return m_pBoardSupport->GetAudioRelayMode(channel, pMode);
}

uint32_t CSdkApi::SetAudioRelayMode(uint32_t channel, RELAY_MODE mode) {
    return m_pBoardSupport->SetAudioRelayMode(channel, mode);
}

uint32_t CSdkApi::GetSerialNumber(uint32_t* pSerial) {
    return m_pBoardSupport->GetSerialNumber(pSerial);
}

uint32_t CSdkApi::Test(TEST_REQUEST* pRequest, uint32_t size) {
    // The board reads and fills a whole record: a smaller block would be read
    // and written past its end.
    if (size < sizeof(TEST_REQUEST)) {
        card::g_LogFile.WriteLogA("Test: block of %u bytes refused, a request needs %zu", size,
                                  sizeof(TEST_REQUEST));
        return 0;
    }
    return m_pBoardSupport->Test(pRequest);
}

uint32_t CSdkApi::ReconfigureFpgaAndWait() {
    return m_pBoardSupport->ReconfigureFpgaAndWait();
}

uint32_t CSdkApi::GetBoardVersion(uint32_t* pVersion) {
    return m_pBoardSupport->GetBoardVersion(pVersion);
}

uint32_t CSdkApi::SetBoardVersion(uint32_t version) {
    return m_pBoardSupport->SetBoardVersion(version);
}

uint32_t CSdkApi::GetFPGAVersion(uint32_t* pVersion) {
    return m_pBoardSupport->GetFPGAVersion(pVersion);
}

uint32_t CSdkApi::GetDriverVersion(uint32_t* pVersion) {
    return m_pBoardSupport->GetDriverVersion(pVersion);
}

uint32_t CSdkApi::WriteIdentityRecord(uint32_t word0, uint32_t format, uint32_t word1,
                                      uint32_t dword0, uint32_t dword1) {
    return m_pBoardSupport->WriteIdentityRecord(word0, format, word1, dword0, dword1);
}

uint32_t CSdkApi::ReadIdentityRecord(uint32_t* pWord0, uint32_t* pFormat, uint32_t* pWord1,
                                     uint32_t* pDword0, uint32_t* pDword1) {
    return m_pBoardSupport->ReadIdentityRecord(pWord0, pFormat, pWord1, pDword0, pDword1);
}

uint32_t CSdkApi::GetGlobalStatusBit1() {
    return m_pBoardSupport->IsStatusBit1Set();
}

uint32_t CSdkApi::GetGlobalStatus(uint32_t* pStatus) {
    return m_pBoardSupport->ReadStatus(pStatus);
}

uint32_t CSdkApi::EnableLog(uint32_t flag) {
    return m_pBoardSupport->EnableLog(flag);
}

uint32_t CSdkApi::SetLogFileName(std::wstring fileName) {
    return m_pBoardSupport->SetLogFileName(fileName.c_str());
}

}  // namespace velmora::api

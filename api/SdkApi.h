#pragma once

// The API object of one open card: the exported functions reach the card
// through it. Each operation forwards one call to the card's main-function
// object or board support (a few adapt the call, a few do work of their own)
// and returns that call's result. The API lock serialises, within this
// process, the calls that change or query the running A/V and transport-
// stream state; the generic operations of this level take no lock (the
// layers below guard registers and IIC with the card's named mutexes).

#include <cstdint>
#include <string>

#include "card/BoardSupport.h"
#include "platform/CriticalSection.h"

namespace velmora::card {
class CCardMainFunc;
}

namespace velmora::api {

using card::AUDIO_SOURCE_CODE;
using card::RELAY_MODE;
using card::SYNC_SOURCE_CODE;
using card::TEST_REQUEST;
using card::VIDEO_OUTPUT_FORMAT_CODE;
using card::VIDEO_SOURCE_CODE;

class CSdkApi {
  public:
    // Neither object is owned; the card builds and deletes them.
    CSdkApi(card::CCardMainFunc* pCardMainFunc, card::CBoardSupport* pBoardSupport);
    virtual ~CSdkApi();
    CSdkApi(const CSdkApi&) = delete;
    CSdkApi& operator=(const CSdkApi&) = delete;

    virtual uint32_t RestoreDefault();
    virtual uint32_t InitialFieldEvent(const wchar_t* name, platform::Handle* pHandle);
    virtual uint32_t CloseFieldEvent(platform::Handle handle);
    virtual uint32_t CloseFieldEventByName(const wchar_t* name);
    // 1 when an event of that name exists; the event itself is not touched.
    virtual uint32_t CheckEventExists(const wchar_t* name);
    virtual uint32_t CloseNamedEvent(platform::Handle handle);
    // These two return the handle itself, null on failure.
    virtual platform::Handle FindFieldEvent(const wchar_t* name);
    virtual platform::Handle CreateFieldEvent(const wchar_t* name);
    virtual uint32_t ReleaseFieldEvent(platform::Handle handle);
    virtual void Reserved9();
    // The board ID; 0 when it cannot be read.
    virtual uint32_t GetCardTypeNumber(uint32_t* pType);
    virtual uint32_t GetCardSubType(uint32_t* pValue);
    virtual uint32_t GetCardTypeId(uint32_t* pType);
    virtual uint32_t GetRegisterBase(void** ppBase);
    virtual uint32_t GetFrameMemoryPointer(void** ppFrameMemory);
    virtual void MemCopyDword(void* destination, const void* source, uint32_t count);
    virtual void MemFillDword(void* destination, uint32_t value, uint32_t count);
    virtual void MemCopyDword128(void* destination, const void* source, uint32_t count);
    virtual uint32_t GetFieldNumber(uint32_t* pField);

    virtual uint32_t GetVideoMode(uint32_t* pMode);
    virtual uint32_t SetVideoMode(uint32_t mode);
    virtual uint32_t GetSyncSource(SYNC_SOURCE_CODE* pCode);
    virtual uint32_t SetSyncSource(SYNC_SOURCE_CODE code);
    virtual uint32_t GetVideoInputStatus(uint32_t inputCode, uint32_t* pStatus);
    virtual uint32_t GetVideoSource(uint32_t channel, VIDEO_SOURCE_CODE* pCode);
    virtual uint32_t SetVideoSource(uint32_t channel, VIDEO_SOURCE_CODE code);
    virtual uint32_t GetVideoOutputFormat(uint32_t channel, uint32_t encoder,
                                          VIDEO_OUTPUT_FORMAT_CODE* pCode);
    virtual uint32_t SetVideoOutputFormat(uint32_t channel, VIDEO_OUTPUT_FORMAT_CODE code);
    // The card has no black-level control: the setter changes nothing and
    // the getter reads 0.
    virtual uint32_t SetVideoBlackLevel(uint32_t channel, uint32_t level);
    virtual uint32_t GetVideoBlackLevel(uint32_t channel, uint32_t* pLevel);
    virtual uint32_t GetFastLockMode(uint32_t channel, uint32_t* pMode);
    virtual uint32_t SetFastLockMode(uint32_t channel, uint32_t mode);
    virtual uint32_t GetAudioSource(uint32_t channel, AUDIO_SOURCE_CODE* pCode);
    virtual uint32_t SetAudioSource(uint32_t channel, AUDIO_SOURCE_CODE code);
    virtual uint32_t GetAudioOutputSelect(uint32_t channel, uint32_t output,
                                          AUDIO_SOURCE_CODE* pCode);
    virtual uint32_t SetAudioOutputSelect(uint32_t channel, AUDIO_SOURCE_CODE code);
    virtual uint32_t GetVideoOutputChromaPhase(uint32_t* pValue);
    virtual uint32_t SetVideoOutputChromaPhase(uint32_t value);
    virtual uint32_t GetFpgaLevel24(uint32_t* pValue);
    virtual uint32_t SetFpgaLevel24(uint32_t value);
    virtual uint32_t SetFpgaRegister28(uint32_t value);
    virtual uint32_t GetFpgaLevel2C(uint32_t* pValue);
    virtual uint32_t SetFpgaLevel2C(uint32_t value);
    virtual uint32_t GetFpgaLevel30(uint32_t* pValue);
    virtual uint32_t SetFpgaLevel30(uint32_t value);
    virtual uint32_t GetGlobalFlag65(uint32_t* pFlag);
    // The board support offers no pulse of control bit 3: always 0.
    virtual uint32_t PulseGlobalControlBit3(uint32_t value);
    virtual uint32_t GetVideoInputContrast(uint32_t channel, uint32_t* pValue);
    virtual uint32_t SetVideoInputContrast(uint32_t channel, uint32_t value);
    virtual uint32_t GetVideoInputBrightness(uint32_t channel, uint32_t* pValue);
    virtual uint32_t SetVideoInputBrightness(uint32_t channel, uint32_t value);
    virtual uint32_t GetVideoInputHue(uint32_t channel, uint32_t* pValue);
    virtual uint32_t SetVideoInputHue(uint32_t channel, uint32_t value);
    virtual uint32_t GetVideoInputChromaSaturation(uint32_t channel, uint32_t component,
                                                   uint32_t* pValue);
    virtual uint32_t GetVideoInputSaturation(uint32_t channel, uint32_t* pValue);
    virtual uint32_t SetVideoInputChromaSaturation(uint32_t channel, uint32_t component,
                                                   uint32_t value);
    virtual uint32_t SetVideoInputSaturation(uint32_t channel, uint32_t value);

    // Frame memory, forwarded to the main function.
    virtual uint32_t GetPixel(uint32_t x, uint32_t y, uint32_t* pValue);
    virtual uint32_t SetPixel(uint32_t x, uint32_t y, uint32_t value);
    virtual uint32_t ReadLine(uint32_t y, uint32_t* pBuffer);
    virtual uint32_t WriteLine(uint32_t y, const uint32_t* pBuffer);
    virtual uint32_t ReadLineSegment(uint32_t x, uint32_t y, uint32_t count, uint32_t* pBuffer);
    virtual uint32_t WriteLineSegment(uint32_t x, uint32_t y, uint32_t count,
                                      const uint32_t* pBuffer);
    virtual uint32_t ReadColumn(uint32_t x, uint32_t* pBuffer);
    virtual uint32_t WriteColumn(uint32_t x, const uint32_t* pBuffer);
    virtual uint32_t ReadColumnSegment(uint32_t x, uint32_t y, uint32_t count, uint32_t* pBuffer);
    virtual uint32_t WriteColumnSegment(uint32_t x, uint32_t y, uint32_t count,
                                        const uint32_t* pBuffer);
    virtual uint32_t ReadPage(uint32_t* pBuffer, uint32_t page);
    virtual uint32_t WritePage(const uint32_t* pBuffer, uint32_t page);
    virtual uint32_t ClearFrameMemory();
    virtual uint32_t ReadRectangle(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                   uint32_t* pBuffer);
    virtual uint32_t WriteRectangle(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                    const uint32_t* pBuffer);
    virtual uint32_t WriteRectangleIndirect(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                            const uint32_t* pBuffer);
    virtual uint32_t PulseGlobalControlBit2();
    virtual uint32_t GetGlobalStatusBit0(uint32_t* pBit);
    virtual uint32_t ReadBackgroundPage(uint32_t* pBuffer);

    // Studio-range YCbCr of one RGB pixel.
    virtual void RgbToYCbCr(uint8_t r, uint8_t g, uint8_t b, uint8_t* pY, uint8_t* pCb,
                            uint8_t* pCr);
    // 0x00RRGGBB pixels to packed 4:2:2 words (Cb0 Y0 Cr1 Y1 from the top
    // byte down), (width + 1) / 2 words a row.
    virtual void RgbImageToYCbCr422(const uint32_t* pSource, uint32_t* pDestination, uint32_t width,
                                    uint32_t height);
    virtual uint32_t WriteGlobalSelectBit(uint32_t value, uint32_t which);
    virtual uint32_t TestFpgaRegisters();
    virtual uint32_t TestChipRegisters();
    virtual uint32_t TestNvram();
    // Stops capture on ports 0-3 around the board's memory test and starts it
    // again afterwards, whatever its state was.
    virtual uint32_t TestCardMemory();
    virtual uint32_t EnterFpgaConfigMode();
    virtual uint32_t LeaveFpgaConfigMode();
    virtual uint32_t ReadBackFpgaConfigData(void* pBuffer, uint32_t size);
    virtual uint32_t ReadBackFpgaConfigFile(std::wstring fileName);
    virtual uint32_t ProgramFpgaConfigData(const void* pBuffer, uint32_t size);
    virtual uint32_t ProgramFpgaConfigFile(std::wstring fileName);
    virtual uint32_t VerifyFpgaConfigData(const void* pBuffer, uint32_t size);
    virtual uint32_t VerifyFpgaConfigFile(std::wstring fileName);
    virtual uint32_t ProgramAndVerifyFpgaConfigData(const void* pBuffer, uint32_t size);
    virtual uint32_t ProgramAndVerifyFpgaConfigFile(std::wstring fileName);
    virtual uint32_t GetFpgaConfigProgress(uint32_t* pStage, uint32_t* pPercent);
    virtual uint32_t ReconfigureFpga();
    virtual uint32_t WaitForFieldInterrupt();
    virtual uint32_t SetGlobalSelectSetting(uint32_t value, uint32_t store);
    virtual uint32_t GetVideoRelayMode(uint32_t channel, RELAY_MODE* pMode);
    virtual uint32_t SetVideoRelayMode(uint32_t channel, RELAY_MODE mode);
    virtual uint32_t GetAudioRelayMode(uint32_t channel, RELAY_MODE* pMode);
    virtual uint32_t SetAudioRelayMode(uint32_t channel, RELAY_MODE mode);
    virtual uint32_t GetSerialNumber(uint32_t* pSerial);
    // The size is the caller's block size; the board reads and fills one
    // TEST_REQUEST.
    virtual uint32_t Test(TEST_REQUEST* pRequest, uint32_t size);
    virtual uint32_t ReconfigureFpgaAndWait();
    virtual uint32_t GetBoardVersion(uint32_t* pVersion);
    virtual uint32_t SetBoardVersion(uint32_t version);
    virtual uint32_t GetFPGAVersion(uint32_t* pVersion);
    virtual uint32_t GetDriverVersion(uint32_t* pVersion);
    virtual uint32_t WriteIdentityRecord(uint32_t word0, uint32_t format, uint32_t word1,
                                         uint32_t dword0, uint32_t dword1);
    virtual uint32_t ReadIdentityRecord(uint32_t* pWord0, uint32_t* pFormat, uint32_t* pWord1,
                                        uint32_t* pDword0, uint32_t* pDword1);
    virtual uint32_t GetGlobalStatusBit1();
    virtual uint32_t GetGlobalStatus(uint32_t* pStatus);
    virtual uint32_t EnableLog(uint32_t flag);
    virtual uint32_t SetLogFileName(std::wstring fileName);

    // The API lock, for tests that check who waits for it.
    platform::CCriticalSection& ApiLock() { return m_csSdkApi; }

  protected:
    card::CCardMainFunc* m_pCardMainFunc;
    card::CBoardSupport* m_pBoardSupport;
    platform::CCriticalSection m_csSdkApi;
};

}  // namespace velmora::api

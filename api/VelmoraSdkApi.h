#pragma once

// This card's level of the API object: the ASI settings of the board support
// and the transport-stream, NIT and TS-over-IP operations of the main
// function, every one under the API lock.

#include <cstdint>
#include <string>

#include "api/IoCardSdkApi.h"
#include "velmora/Velmora.h"

namespace velmora::card {
class CVelmoraMainFunc;
class CVelmoraBoardSupport;
}  // namespace velmora::card

namespace velmora::api {

class CVelmoraSdkApi : public CIoCardSdkApi {
  public:
    CVelmoraSdkApi(card::CVelmoraMainFunc* pMainFunc, card::CVelmoraBoardSupport* pBoardSupport);
    ~CVelmoraSdkApi() override;

    virtual uint32_t TsSetAsiOutputMode(uint32_t mode);
    virtual uint32_t TsGetAsiOutputMode(uint32_t* pMode);
    virtual uint32_t TsSetAsiPacketLength(uint32_t lengthFlag);
    virtual uint32_t TsGetAsiPacketLength(uint32_t* pLengthFlag);
    virtual uint32_t TsGetAsiStatus(uint32_t* pStatus);
    virtual uint32_t TsCaptureEnable(uint32_t channel);
    virtual uint32_t TsCaptureDisable(uint32_t channel);
    virtual uint32_t TsCaptureGetFillBufferNum(uint32_t* pCount);
    virtual uint32_t TsCaptureReadPacketsFromBuffer(void* pBuffer, uint32_t count);
    virtual uint32_t TsCaptureRecorderEnable(uint32_t programNumber, const wchar_t* path,
                                             uint32_t word);
    virtual uint32_t TsCaptureRecorderDisable(uint32_t programNumber, const wchar_t* path,
                                              uint32_t word);
    virtual uint32_t TsCaptureRecorderGetLength(uint32_t programNumber, uint32_t word,
                                                RECORD_LENGTH* pLength, uint32_t reserved);
    virtual uint32_t TsCaptureGetProgramInformation(TS_PROGRAM_INFORMATION* pInformation,
                                                    uint32_t* pState);
    virtual uint32_t TsCaptureSetFilteredProgram(int32_t count, FILTERED_PROGRAM* pList);
    virtual uint32_t TsPlaybackEnable(uint32_t channel);
    virtual uint32_t TsPlaybackDisable(uint32_t channel);
    virtual uint32_t TsPlaybackGetEmptyBufferNum(uint32_t* pCount);
    virtual uint32_t TsPlaybackWritePacketsToBuffer(void* pBuffer, uint32_t count);
    virtual uint32_t TsPlaybackSetBitRate(uint32_t bitRate);
    // The multiplexer's tracking follows flag == 1; the board gets the flag
    // unchanged and its result is the result.
    virtual uint32_t TsSetAsiCodeRateTrackStart(uint32_t flag);
    virtual uint32_t TsStubTrue(uint32_t value);
    virtual uint32_t TsReplaceNitEnable();
    virtual uint32_t TsReplaceNitDisable();
    virtual uint32_t TsReplaceNitGetNitInformation(NIT_INFORMATION* pNit, uint32_t word);
    virtual uint32_t TsReplaceNitSetNitInformation(const NIT_INFORMATION* pNit);
    virtual uint32_t TsCaptureSetWorkMode(uint32_t mode);
    virtual uint32_t TsCaptureGetWorkMode(uint32_t* pMode);
    virtual uint32_t SetParameter(TS_OVER_IP_PARAM param);
    virtual uint32_t UdpRun();
    virtual uint32_t UdpStop();
    virtual uint32_t StartWriteTsFile(std::wstring fileName);
    virtual uint32_t StopWriteTsFile();
    virtual uint32_t UdpReceiveStop();
    virtual uint32_t UdpReceiveRun();
    virtual uint32_t SetReceiveParameter(TS_OVER_IP_PARAM param);
    virtual uint32_t TsSetInputSource(uint32_t source);

  protected:
    card::CVelmoraMainFunc* m_pVelmoraMainFunc;
    card::CVelmoraBoardSupport* m_pVelmoraBoardSupport;
};

}  // namespace velmora::api

#include "api/VelmoraSdkApi.h"

#include <mutex>

#include "card/VelmoraBoardSupport.h"
#include "card/VelmoraMainFunc.h"

namespace velmora::api {

using Lock = std::lock_guard<platform::CCriticalSection>;

CVelmoraSdkApi::CVelmoraSdkApi(card::CVelmoraMainFunc* pMainFunc,
                               card::CVelmoraBoardSupport* pBoardSupport)
    : CIoCardSdkApi(pMainFunc, pBoardSupport),
      m_pVelmoraMainFunc(pMainFunc),
      m_pVelmoraBoardSupport(pBoardSupport) {}

CVelmoraSdkApi::~CVelmoraSdkApi() = default;

uint32_t CVelmoraSdkApi::TsSetAsiOutputMode(uint32_t mode) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraBoardSupport->SetAsiOutputMode(mode, 0);
}

uint32_t CVelmoraSdkApi::TsGetAsiOutputMode(uint32_t* pMode) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraBoardSupport->GetAsiOutputMode(pMode, 0);
}

uint32_t CVelmoraSdkApi::TsSetAsiPacketLength(uint32_t lengthFlag) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraBoardSupport->SetAsiPacketLength(lengthFlag, 0);
}

uint32_t CVelmoraSdkApi::TsGetAsiPacketLength(uint32_t* pLengthFlag) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraBoardSupport->GetAsiPacketLength(pLengthFlag, 0);
}

uint32_t CVelmoraSdkApi::TsGetAsiStatus(uint32_t* pStatus) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraBoardSupport->GetAsiStatus(pStatus, 0);
}

uint32_t CVelmoraSdkApi::TsCaptureEnable(uint32_t channel) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsCaptureEnable(channel);
}

uint32_t CVelmoraSdkApi::TsCaptureDisable(uint32_t channel) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsCaptureDisable(channel);
}

uint32_t CVelmoraSdkApi::TsCaptureGetFillBufferNum(uint32_t* pCount) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsCaptureGetFillBufferNum(pCount);
}

uint32_t CVelmoraSdkApi::TsCaptureReadPacketsFromBuffer(void* pBuffer, uint32_t count) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsCaptureReadPacketsFromBuffer(pBuffer, count);
}

uint32_t CVelmoraSdkApi::TsCaptureRecorderEnable(uint32_t programNumber, const wchar_t* path,
                                                 uint32_t word) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsCaptureRecorderEnable(programNumber, path, word);
}

uint32_t CVelmoraSdkApi::TsCaptureRecorderDisable(uint32_t programNumber, const wchar_t* path,
                                                  uint32_t word) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsCaptureRecorderDisable(programNumber, path, word);
}

uint32_t CVelmoraSdkApi::TsCaptureRecorderGetLength(uint32_t programNumber, uint32_t word,
                                                    RECORD_LENGTH* pLength, uint32_t) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsCaptureRecorderGetLength(programNumber, word, pLength);
}

uint32_t CVelmoraSdkApi::TsCaptureGetProgramInformation(TS_PROGRAM_INFORMATION* pInformation,
                                                        uint32_t* pState) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsCaptureGetProgramInformation(pInformation, pState);
}

uint32_t CVelmoraSdkApi::TsCaptureSetFilteredProgram(int32_t count, FILTERED_PROGRAM* pList) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsCaptureSetFilteredProgram(count, pList);
}

uint32_t CVelmoraSdkApi::TsPlaybackEnable(uint32_t channel) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsPlaybackEnable(channel);
}

uint32_t CVelmoraSdkApi::TsPlaybackDisable(uint32_t channel) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsPlaybackDisable(channel);
}

uint32_t CVelmoraSdkApi::TsPlaybackGetEmptyBufferNum(uint32_t* pCount) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsPlaybackGetEmptyBufferNum(pCount);
}

uint32_t CVelmoraSdkApi::TsPlaybackWritePacketsToBuffer(void* pBuffer, uint32_t count) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsPlaybackWritePacketsToBuffer(pBuffer, count);
}

uint32_t CVelmoraSdkApi::TsPlaybackSetBitRate(uint32_t bitRate) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsPlaybackSetBitRate(bitRate);
}

uint32_t CVelmoraSdkApi::TsSetAsiCodeRateTrackStart(uint32_t flag) {
    Lock lock(m_csSdkApi);
    m_pVelmoraMainFunc->TsSetAsiCodeRateTrackStart(flag == 1 ? 1 : 0);
    return m_pVelmoraBoardSupport->StartAsiCodeRateTrack(flag, 0);
}

uint32_t CVelmoraSdkApi::TsStubTrue(uint32_t value) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraBoardSupport->TsStubTrue(value);
}

uint32_t CVelmoraSdkApi::TsReplaceNitEnable() {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsReplaceNitEnable();
}

uint32_t CVelmoraSdkApi::TsReplaceNitDisable() {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsReplaceNitDisable();
}

uint32_t CVelmoraSdkApi::TsReplaceNitGetNitInformation(NIT_INFORMATION* pNit, uint32_t) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsReplaceNitGetNitInformation(pNit);
}

uint32_t CVelmoraSdkApi::TsReplaceNitSetNitInformation(const NIT_INFORMATION* pNit) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsReplaceNitSetNitInformation(pNit);
}

uint32_t CVelmoraSdkApi::TsCaptureSetWorkMode(uint32_t mode) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsCaptureSetWorkMode(mode);
}

uint32_t CVelmoraSdkApi::TsCaptureGetWorkMode(uint32_t* pMode) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsCaptureGetWorkMode(pMode);
}

uint32_t CVelmoraSdkApi::SetParameter(TS_OVER_IP_PARAM param) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->SetParameter(param);
}

uint32_t CVelmoraSdkApi::UdpRun() {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->UdpRun();
}

uint32_t CVelmoraSdkApi::UdpStop() {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->UdpStop();
}

uint32_t CVelmoraSdkApi::StartWriteTsFile(std::wstring fileName) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->StartWriteTsFile(fileName.c_str());
}

uint32_t CVelmoraSdkApi::StopWriteTsFile() {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->StopWriteTsFile();
}

uint32_t CVelmoraSdkApi::UdpReceiveStop() {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->UdpReceiveStop();
}

uint32_t CVelmoraSdkApi::UdpReceiveRun() {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->UdpReceiveRun();
}

uint32_t CVelmoraSdkApi::SetReceiveParameter(TS_OVER_IP_PARAM param) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->SetReceiveParameter(param);
}

uint32_t CVelmoraSdkApi::TsSetInputSource(uint32_t source) {
    Lock lock(m_csSdkApi);
    return m_pVelmoraMainFunc->TsSetInputSource(source);
}

}  // namespace velmora::api

#include "card/VelmoraMainFunc.h"

#include <algorithm>

#include "card/AudioCapture.h"
#include "card/AudioPlayback.h"
#include "card/VelmoraBoardSupport.h"
#include "card/VideoCapture.h"
#include "card/VideoPlayback.h"

namespace velmora::card {

CVelmoraMainFunc::CVelmoraMainFunc(uint32_t cardIndex, CVelmoraBoardSupport* pBoardSupport,
                                   hw::CDmaManager* pDmaManager)
    : CIoCardMainFunc(cardIndex, pBoardSupport, pDmaManager),
      m_pVelmoraBoardSupport(pBoardSupport) {}

CVelmoraMainFunc::~CVelmoraMainFunc() = default;

uint32_t CVelmoraMainFunc::Init(uint32_t firstInSystem, uint32_t firstInProcess) {
    // Every process needs its own workers, so the process's first open builds
    // them; the frame stores are cleared only by the first opener in the
    // system, as other processes may be reading or playing them.
    if (!InitChannels(firstInSystem && firstInProcess, firstInProcess, firstInProcess)) return 0;
    // Neighbouring cards move their channel-0 frames on different DMA
    // channels.
    const uint32_t dmaChannel = GetCardIndex() % 2;
    if (m_pAudioCapture[0]) m_pAudioCapture[0]->SetDmaChannel(dmaChannel);
    if (m_pAudioPlayback[0]) m_pAudioPlayback[0]->SetDmaChannel(dmaChannel);
    if (m_pVideoCapture[0]) m_pVideoCapture[0]->SetDmaChannel(dmaChannel);
    if (m_pVideoPlayback[0]) m_pVideoPlayback[0]->SetDmaChannel(dmaChannel);
    return 1;
}

uint32_t CVelmoraMainFunc::Exit(uint32_t lastInSystem, uint32_t lastInProcess) {
    return CIoCardMainFunc::Exit(lastInSystem, lastInProcess);
}

uint32_t CVelmoraMainFunc::AddRecorderListEntry(RECORDER_PROGRAM_INFO entry) {
    m_RecorderList.push_back(entry);
    return 1;
}

uint32_t CVelmoraMainFunc::RemoveRecorderListEntry(RECORDER_PROGRAM_INFO entry) {
    const auto found = std::find_if(m_RecorderList.begin(), m_RecorderList.end(),
                                    [&](const RECORDER_PROGRAM_INFO& listed) {
                                        return listed.dwProgramNumber == entry.dwProgramNumber;
                                    });
    if (found != m_RecorderList.end()) m_RecorderList.erase(found);
    return 1;
}

uint32_t CVelmoraMainFunc::FindRecorderListEntry(RECORDER_PROGRAM_INFO entry) {
    return std::any_of(m_RecorderList.begin(), m_RecorderList.end(),
                       [&](const RECORDER_PROGRAM_INFO& listed) {
                           return listed.dwProgramNumber == entry.dwProgramNumber;
                       })
               ? 1
               : 0;
}

// The transport-stream engines and the mailbox are not available yet: every
// operation below finds its engine missing.

uint32_t CVelmoraMainFunc::TsCaptureEnable(uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsCaptureDisable(uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsCaptureGetFillBufferNum(uint32_t* pCount) {
    if (pCount) *pCount = 0;
    return 0;
}

uint32_t CVelmoraMainFunc::TsCaptureReadPacketsFromBuffer(void*, uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::SelectRecorderProgram(const wchar_t*, uint32_t, uint32_t, uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsCaptureRecorderEnable(uint32_t, const wchar_t*, uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsCaptureRecorderDisable(uint32_t, const wchar_t*, uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsCaptureRecorderGetLength(uint32_t, uint32_t, RECORD_LENGTH*) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsCaptureGetProgramInformation(TS_PROGRAM_INFORMATION*, uint32_t*) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsCaptureSetFilteredProgram(int32_t, FILTERED_PROGRAM*) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsPlaybackEnable(uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsPlaybackDisable(uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsPlaybackGetEmptyBufferNum(uint32_t* pCount) {
    if (pCount) *pCount = 0;
    return 0;
}

uint32_t CVelmoraMainFunc::TsPlaybackWritePacketsToBuffer(void*, uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsPlaybackSetBitRate(uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsCaptureSetWorkMode(uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsCaptureGetWorkMode(uint32_t*) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsSetAsiCodeRateTrackStart(uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsReplaceNitEnable() {
    return 0;
}

uint32_t CVelmoraMainFunc::TsReplaceNitDisable() {
    return 0;
}

uint32_t CVelmoraMainFunc::TsReplaceNitGetNitInformation(NIT_INFORMATION*) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsReplaceNitSetNitInformation(const NIT_INFORMATION*) {
    return 0;
}

uint32_t CVelmoraMainFunc::SetParameter(TS_OVER_IP_PARAM) {
    return 0;
}

uint32_t CVelmoraMainFunc::UdpRun() {
    return 0;
}

uint32_t CVelmoraMainFunc::UdpStop() {
    return 0;
}

uint32_t CVelmoraMainFunc::StartWriteTsFile(const wchar_t*) {
    return 0;
}

uint32_t CVelmoraMainFunc::StopWriteTsFile() {
    return 0;
}

uint32_t CVelmoraMainFunc::UdpReceiveStop() {
    return 0;
}

uint32_t CVelmoraMainFunc::UdpReceiveRun() {
    return 0;
}

uint32_t CVelmoraMainFunc::SetReceiveParameter(TS_OVER_IP_PARAM) {
    return 0;
}

uint32_t CVelmoraMainFunc::TsSetInputSource(uint32_t) {
    return 0;
}

uint32_t CVelmoraMainFunc::MailboxThread() {
    return 0;
}

}  // namespace velmora::card

#include "card/VelmoraMainFunc.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "card/AudioCapture.h"
#include "card/AudioPlayback.h"
#include "card/LogFile.h"
#include "card/VelmoraBoardSupport.h"
#include "card/VideoCapture.h"
#include "card/VideoPlayback.h"
#include "ts/TsDemultiplexer.h"
#include "ts/TsMultiplexer.h"
#include "ts/TsProgramEngine.h"

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
    return InitTsEngines();
}

uint32_t CVelmoraMainFunc::InitTsEngines() {
    uint32_t flag = 0;
    m_pVelmoraBoardSupport->GetAsiPacketLength(&flag, 0);
    const uint32_t packetLength = flag == 0 ? 188 : flag == 1 ? 204 : flag;
    // The two engines move their rings on different DMA channels.
    const uint32_t even = GetCardIndex() % 2 == 0 ? 1 : 0;
    m_pDemultiplexer = std::make_unique<ts::CTsDemultiplexer>(
        m_pVelmoraBoardSupport, IsNoHardwareMode(), GetCardIndex(), &g_LogFile);
    if (!m_pDemultiplexer->Open(packetLength, kTsCaptureStart, kTsCaptureEnd, 0)) return 0;
    if (!m_pDemultiplexer->SetChannel(even)) return 0;
    m_pMultiplexer =
        std::make_unique<ts::CTsMultiplexer>(m_pVelmoraBoardSupport, nullptr, 0, nullptr);
    if (!m_pMultiplexer->Open(packetLength, kTsPlaybackStart, kTsPlaybackEnd, 0)) return 0;
    return m_pMultiplexer->SetChannel(1 - even);
}

uint32_t CVelmoraMainFunc::Exit(uint32_t lastInSystem, uint32_t lastInProcess) {
    // Whatever a failed Init built goes too.
    TsCaptureDisable(0);
    if (m_pDemultiplexer) {
        m_pDemultiplexer->Close();
        m_pDemultiplexer.reset();
    }
    TsPlaybackDisable(0);
    if (m_pMultiplexer) {
        m_pMultiplexer->Close();
        m_pMultiplexer.reset();
    }
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

uint32_t CVelmoraMainFunc::TsCaptureEnable(uint32_t) {
    if (IsNoHardwareMode()) return 1;
    return m_pDemultiplexer ? m_pDemultiplexer->Start() : 0;
}

uint32_t CVelmoraMainFunc::TsCaptureDisable(uint32_t) {
    if (IsNoHardwareMode()) return 1;
    return m_pDemultiplexer ? m_pDemultiplexer->Stop() : 0;
}

uint32_t CVelmoraMainFunc::TsCaptureGetFillBufferNum(uint32_t* pCount) {
    if (!m_pDemultiplexer) {
        if (pCount) *pCount = 0;
        return 0;
    }
    return m_pDemultiplexer->GetFillBufferNum(pCount);
}

uint32_t CVelmoraMainFunc::TsCaptureReadPacketsFromBuffer(void* pBuffer, uint32_t count) {
    return m_pDemultiplexer ? m_pDemultiplexer->ReadPacketsFromBuffer(pBuffer, count) : 0;
}

uint32_t CVelmoraMainFunc::SelectRecorderProgram(const wchar_t* path, uint32_t programNumber,
                                                 uint32_t, uint32_t on) {
    if (IsNoHardwareMode()) return 1;
    if (path == nullptr || !m_pDemultiplexer || m_ProgramInformation.dwProgramCount < 1) return 0;
    const uint32_t count =
        std::min<uint32_t>(m_ProgramInformation.dwProgramCount, VELMORA_TS_MAX_PROGRAMS);
    const TS_PROGRAM_ENTRY* program = nullptr;
    for (uint32_t i = 0; i < count && program == nullptr; ++i) {
        if (m_ProgramInformation.Program[i].dwProgramNumber == programNumber) {
            program = &m_ProgramInformation.Program[i];
        }
    }
    if (program == nullptr) return 0;
    record::RECORDER_TASK_REQUEST request = {programNumber, 0, 0, 0, path, 0};
    bool video = false;
    bool audio = false;
    const uint32_t streams =
        std::min<uint32_t>(program->byStreamCount, VELMORA_TS_PROGRAM_MAX_STREAMS);
    for (uint32_t s = 0; s < streams && !(video && audio); ++s) {
        const TS_STREAM_ENTRY& stream = program->Stream[s];
        if (stream.byStreamType == 2) {
            request.dwVideoPid = stream.wElementaryPid;
            video = true;
        } else if (stream.byStreamType == 3 || stream.byStreamType == 4 ||
                   stream.byStreamType >= 0x80) {
            request.dwAudioPid = stream.wElementaryPid;
            request.dwAudioStreamType = stream.byStreamType;
            audio = true;
        }
    }
    if (!video && !audio) return 0;
    return on ? m_pDemultiplexer->AddRecorderProgram(&request)
              : m_pDemultiplexer->RemoveRecorderProgram(programNumber);
}

uint32_t CVelmoraMainFunc::TsCaptureRecorderEnable(uint32_t programNumber, const wchar_t* path,
                                                   uint32_t word) {
    if (FindRecorderListEntry({programNumber, path})) return 0;
    if (!SelectRecorderProgram(path, programNumber, word, 1)) return 0;
    return AddRecorderListEntry({programNumber, path});
}

uint32_t CVelmoraMainFunc::TsCaptureRecorderDisable(uint32_t programNumber, const wchar_t* path,
                                                    uint32_t word) {
    if (!FindRecorderListEntry({programNumber, path})) return 0;
    if (!SelectRecorderProgram(path, programNumber, word, 0)) return 0;
    return RemoveRecorderListEntry({programNumber, path});
}

uint32_t CVelmoraMainFunc::TsCaptureRecorderGetLength(uint32_t programNumber, uint32_t,
                                                      RECORD_LENGTH* pLength) {
    if (!m_pDemultiplexer || !m_pDemultiplexer->GetProgramEngine()) return 0;
    // Nothing is written without a recorder: that is a failure.
    return m_pDemultiplexer->GetProgramEngine()->GetRecorderLength(programNumber, pLength);
}

uint32_t CVelmoraMainFunc::TsCaptureGetProgramInformation(TS_PROGRAM_INFORMATION* pInformation,
                                                          uint32_t* pState) {
    if (!m_pDemultiplexer) return 0;
    if (pInformation == nullptr || pState == nullptr) {
        g_LogFile.WriteLog(L"TsCaptureGetProgramInformation: null argument");
        return 0;
    }
    uint32_t status = 0;
    m_pVelmoraBoardSupport->GetAsiStatus(&status, 0);
    if ((status & 0x0F) != 5) {
        std::memset(pInformation, 0, sizeof(*pInformation));
        *pState = 3;
        return 1;
    }
    auto record = std::make_unique<TS_PROGRAM_INFORMATION>();
    uint32_t state = 1;
    m_pDemultiplexer->GetProgramInformation(record.get(), &state);
    if (state != 2) return 0;
    *pInformation = *record;
    m_ProgramInformation = *record;
    *pState = 2;
    return 1;
}

uint32_t CVelmoraMainFunc::TsCaptureSetFilteredProgram(int32_t count, FILTERED_PROGRAM* pList) {
    return m_pDemultiplexer ? m_pDemultiplexer->SetFilteredProgram(count, pList) : 0;
}

uint32_t CVelmoraMainFunc::TsPlaybackEnable(uint32_t channel) {
    if (IsNoHardwareMode()) return 1;
    if (channel >= 8 || !m_pMultiplexer) return 0;
    m_pMultiplexer->SetThreadMode(11);
    return m_pMultiplexer->Start();
}

uint32_t CVelmoraMainFunc::TsPlaybackDisable(uint32_t channel) {
    if (IsNoHardwareMode()) return 1;
    if (channel >= 8 || !m_pMultiplexer) return 0;
    return m_pMultiplexer->Stop();
}

uint32_t CVelmoraMainFunc::TsPlaybackGetEmptyBufferNum(uint32_t* pCount) {
    if (!m_pMultiplexer) {
        if (pCount) *pCount = 0;
        return 0;
    }
    return m_pMultiplexer->GetEmptyBufferNum(pCount);
}

uint32_t CVelmoraMainFunc::TsPlaybackWritePacketsToBuffer(void* pBuffer, uint32_t count) {
    return m_pMultiplexer ? m_pMultiplexer->WritePacketsToBuffer(pBuffer, count) : 0;
}

uint32_t CVelmoraMainFunc::TsPlaybackSetBitRate(uint32_t bitRate) {
    return m_pMultiplexer ? m_pMultiplexer->SetBitRate(bitRate) : 0;
}

uint32_t CVelmoraMainFunc::TsCaptureSetWorkMode(uint32_t mode) {
    return m_pDemultiplexer ? m_pDemultiplexer->SetWorkMode(mode) : 0;
}

uint32_t CVelmoraMainFunc::TsCaptureGetWorkMode(uint32_t* pMode) {
    return m_pDemultiplexer ? m_pDemultiplexer->GetWorkMode(pMode) : 0;
}

uint32_t CVelmoraMainFunc::TsSetAsiCodeRateTrackStart(uint32_t on) {
    return m_pMultiplexer ? m_pMultiplexer->SetCodeRateTrack(on) : 0;
}

uint32_t CVelmoraMainFunc::TsReplaceNitEnable() {
    return 0;
}

uint32_t CVelmoraMainFunc::TsReplaceNitDisable() {
    ts::CTsProgramEngine* engine =
        m_pDemultiplexer ? m_pDemultiplexer->GetProgramEngine() : nullptr;
    if (engine == nullptr) return 0;
    engine->DisableNitReplace();
    return 1;
}

uint32_t CVelmoraMainFunc::TsReplaceNitGetNitInformation(NIT_INFORMATION* pNit) {
    ts::CTsProgramEngine* engine =
        m_pDemultiplexer ? m_pDemultiplexer->GetProgramEngine() : nullptr;
    if (engine == nullptr) return 0;
    return engine->GetNitInformation(pNit, 0);
}

uint32_t CVelmoraMainFunc::TsReplaceNitSetNitInformation(const NIT_INFORMATION* pNit) {
    ts::CTsProgramEngine* engine =
        m_pDemultiplexer ? m_pDemultiplexer->GetProgramEngine() : nullptr;
    if (engine == nullptr) return 0;
    return engine->SetNitInformation(pNit);
}

uint32_t CVelmoraMainFunc::SetParameter(TS_OVER_IP_PARAM param) {
    return m_pMultiplexer ? m_pMultiplexer->SetTsOverIpParameter(param) : 0;
}

uint32_t CVelmoraMainFunc::UdpRun() {
    return m_pMultiplexer ? m_pMultiplexer->UdpRun() : 0;
}

uint32_t CVelmoraMainFunc::UdpStop() {
    return m_pMultiplexer ? m_pMultiplexer->UdpStop() : 0;
}

uint32_t CVelmoraMainFunc::StartWriteTsFile(const wchar_t* fileName) {
    return m_pDemultiplexer ? m_pDemultiplexer->StartWriteTsFile(fileName) : 0;
}

uint32_t CVelmoraMainFunc::StopWriteTsFile() {
    return m_pDemultiplexer ? m_pDemultiplexer->StopWriteTsFile() : 0;
}

uint32_t CVelmoraMainFunc::UdpReceiveStop() {
    return m_pDemultiplexer ? m_pDemultiplexer->UdpReceiveStop() : 0;
}

uint32_t CVelmoraMainFunc::UdpReceiveRun() {
    return m_pDemultiplexer ? m_pDemultiplexer->UdpReceiveRun() : 0;
}

uint32_t CVelmoraMainFunc::SetReceiveParameter(TS_OVER_IP_PARAM param) {
    return m_pDemultiplexer ? m_pDemultiplexer->SetReceiveParameter(param) : 0;
}

uint32_t CVelmoraMainFunc::TsSetInputSource(uint32_t source) {
    return m_pDemultiplexer ? m_pDemultiplexer->SetInputSource(source) : 0;
}

uint32_t CVelmoraMainFunc::MailboxThread() {
    return 0;
}

}  // namespace velmora::card

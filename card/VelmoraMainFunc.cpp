#include "card/VelmoraMainFunc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "card/AudioCapture.h"
#include "card/AudioPlayback.h"
#include "card/FfmServer.h"
#include "card/LogFile.h"
#include "card/VelmoraBoardSupport.h"
#include "card/VideoCapture.h"
#include "card/VideoPlayback.h"
#include "platform/Event.h"
#include "platform/Paths.h"
#include "platform/TextConv.h"
#include "platform/Time.h"
#include "ts/TsDemultiplexer.h"
#include "ts/TsMultiplexer.h"
#include "ts/TsProgramEngine.h"

namespace velmora::card {

CVelmoraMainFunc::CVelmoraMainFunc(uint32_t cardIndex, CVelmoraBoardSupport* pBoardSupport,
                                   hw::CDmaManager* pDmaManager)
    : CIoCardMainFunc(cardIndex, pBoardSupport, pDmaManager),
      m_pVelmoraBoardSupport(pBoardSupport) {}

CVelmoraMainFunc::~CVelmoraMainFunc() {
    // A card deleted without its Exit must not leave the thread on this object.
    StopMailbox();
}

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
    if (!InitTsEngines()) return 0;
    StartMailbox();
    return 1;
}

uint32_t CVelmoraMainFunc::CardPacketLength() {
    uint32_t flag = 0;
    m_pVelmoraBoardSupport->GetAsiPacketLength(&flag, 0);
    return flag == 0 ? 188 : flag == 1 ? 204 : flag;
}

bool CVelmoraMainFunc::PacketLengthTaken(uint32_t taken, const wchar_t* call) {
    if (!taken) {
        g_LogFile.WriteLog(
            L"%ls: the card's packet length is taken only while this direction and "
            L"its IP side are stopped",
            call);
    }
    return taken != 0;
}

uint32_t CVelmoraMainFunc::InitTsEngines() {
    const uint32_t packetLength = CardPacketLength();
    // The two engines move their rings on different DMA channels. Each knows
    // its channel before its open, which may commit the card's pointer under
    // it.
    const uint32_t even = GetCardIndex() % 2 == 0 ? 1 : 0;
    m_pDemultiplexer = std::make_unique<ts::CTsDemultiplexer>(
        m_pVelmoraBoardSupport, IsNoHardwareMode(), GetCardIndex(), &g_LogFile);
    if (!m_pDemultiplexer->SetChannel(even)) return 0;
    if (!m_pDemultiplexer->Open(packetLength, kTsCaptureStart, kTsCaptureEnd, 0)) return 0;
    m_pMultiplexer =
        std::make_unique<ts::CTsMultiplexer>(m_pVelmoraBoardSupport, nullptr, 0, nullptr);
    if (!m_pMultiplexer->SetChannel(1 - even)) return 0;
    return m_pMultiplexer->Open(packetLength, kTsPlaybackStart, kTsPlaybackEnd, 0);
}

uint32_t CVelmoraMainFunc::Exit(uint32_t lastInSystem, uint32_t lastInProcess) {
    // The mailbox drives the engines' capture file: it stops first.
    StopMailbox();
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
    if (!m_pDemultiplexer) return 0;
    // This process may have set another length since the engines were made:
    // nobody else changes it while this process has the card open.
    if (!PacketLengthTaken(m_pDemultiplexer->SetPacketLength(CardPacketLength()),
                           L"TsCaptureEnable")) {
        return 0;
    }
    return m_pDemultiplexer->Start();
}

uint32_t CVelmoraMainFunc::TsCaptureDisable(uint32_t) {
    if (IsNoHardwareMode()) return 1;
    if (!m_pDemultiplexer) return 0;
    const uint32_t result = m_pDemultiplexer->Stop();
    ForgetStoppedRecorders();
    return result;
}

void CVelmoraMainFunc::ForgetStoppedRecorders() {
    // A program engine that stopped has ended every recording task: the list
    // must not keep the programs from being recorded again.
    const ts::CTsProgramEngine* engine = m_pDemultiplexer->GetProgramEngine();
    if (engine == nullptr || !engine->IsRunning()) m_RecorderList.clear();
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
    // Two players' entries in the one output window would overwrite each
    // other's.
    CTsOutputHold& output = m_pVelmoraBoardSupport->TsOutputHold();
    const bool playing = output.Held();
    if (!output.Take()) return 0;
    uint32_t started = 0;
    if (PacketLengthTaken(m_pMultiplexer->SetPacketLength(CardPacketLength()),
                          L"TsPlaybackEnable")) {
        m_pMultiplexer->SetThreadMode(11);
        started = m_pMultiplexer->Start();
    }
    if (!started && !playing) output.Give();
    return started;
}

uint32_t CVelmoraMainFunc::TsPlaybackDisable(uint32_t channel) {
    if (IsNoHardwareMode()) return 1;
    if (channel >= 8 || !m_pMultiplexer) return 0;
    const uint32_t stopped = m_pMultiplexer->Stop();
    m_pVelmoraBoardSupport->TsOutputHold().Give();
    return stopped;
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
    if (!m_pMultiplexer) return 0;
    // A running playout keeps its length. A stopped one's rate is for its
    // next enable, which takes the card's length (the one this process set
    // last); it is read only then, since the read waits on the card's NVRAM.
    if (!m_pMultiplexer->IsStopped()) return m_pMultiplexer->SetBitRate(bitRate);
    return m_pMultiplexer->SetBitRate(bitRate, CardPacketLength());
}

uint32_t CVelmoraMainFunc::TsCaptureSetWorkMode(uint32_t mode) {
    if (!m_pDemultiplexer) return 0;
    const uint32_t result = m_pDemultiplexer->SetWorkMode(mode);
    ForgetStoppedRecorders();
    return result;
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

// ---------------------------------------------------------------------------
// Recording mailbox

std::string GetPathDirectory(const std::string& path) {
    size_t end = path.rfind('\\');
    if (end == std::string::npos) end = path.rfind('/');
    return end == std::string::npos ? std::string() : path.substr(0, end);
}

namespace {

// The local time of a recording file's name.
std::string LocalTimeStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &local);
    return text;
}

}  // namespace

void CVelmoraMainFunc::StartMailbox() {
    m_dwMailboxStop = 0;
    if (m_MailboxThread.IsRunning() || !m_pVelmoraBoardSupport) return;
    const unsigned boardId = m_pVelmoraBoardSupport->GetBoardModel();
    const unsigned cardIndex = GetCardIndex();
    char name[64];
    if (!m_pFfmServer) {
        std::snprintf(name, sizeof(name), "MAP_TQ%x_Read_%u", boardId, cardIndex);
        auto server = std::make_unique<CFFMServer>(nullptr, name, mailbox::kBlockSize);
        if (server->GetView()) {
            m_pFfmServer = std::move(server);
        } else {
            g_LogFile.WriteLog(L"Mailbox: block %s cannot be created (%u)", name,
                               server->GetLastError());
        }
    }
    std::snprintf(name, sizeof(name), "Global\\Event_TQ%x_Read_%u", boardId, cardIndex);
    m_pMailboxEvent = platform::Event::Create(false, false, name);
    if (!m_pMailboxEvent) {
        // Every wait would fail at once: the mailbox stays closed.
        g_LogFile.WriteLog(L"Mailbox: event %s cannot be created, no mailbox thread", name);
        return;
    }
    if (!m_MailboxThread.Start([this] { return MailboxThreadProc(this); })) {
        g_LogFile.WriteLog(L"Mailbox: thread cannot be started");
        m_pMailboxEvent.reset();
    }
}

void CVelmoraMainFunc::StopMailbox() {
    m_dwMailboxStop = 1;
    if (!m_pMailboxEvent) return;
    // Only the serving thread waits on the event; one that waits for its
    // turn sees the stop within one poll.
    if (m_bMailboxServing) m_pMailboxEvent->Set();
    m_MailboxThread.Join();
    m_pMailboxEvent.reset();
}

uint32_t CVelmoraMainFunc::MailboxThreadProc(CVelmoraMainFunc* pMainFunc) {
    return pMainFunc->MailboxThread();
}

namespace {

// This process's turn at serving a mailbox, given back on every way out. A
// mailbox without a block has no turns: it is served at once.
class MailboxTurn {
  public:
    MailboxTurn(CFFMServer* pServer, uint32_t waitMs)
        : m_pServer(pServer),
          m_Result(pServer ? pServer->TakeServing(waitMs) : platform::WaitResult::Signaled) {}
    ~MailboxTurn() {
        if (m_pServer && Taken()) m_pServer->LeaveServing();
    }
    MailboxTurn(const MailboxTurn&) = delete;
    MailboxTurn& operator=(const MailboxTurn&) = delete;

    platform::WaitResult Result() const { return m_Result; }
    bool Taken() const {
        return m_Result == platform::WaitResult::Signaled ||
               m_Result == platform::WaitResult::Abandoned;
    }

  private:
    CFFMServer* m_pServer;
    platform::WaitResult m_Result;
};

}  // namespace

uint32_t CVelmoraMainFunc::MailboxThread() {
    const std::string directory = GetPathDirectory(platform::ExecutablePath());
    const int cardIndex = static_cast<int>(GetCardIndex());
    uint32_t lastResult = 0;
    // Every process that has the card open runs this thread, but one serves
    // the mailbox at a time, so that a peer's stop reaches the process whose
    // file its start began. The others wait for their turn, which comes when
    // the server closes the card or ends.
    while (!m_dwMailboxStop) {
        const MailboxTurn turn(m_pFfmServer.get(), mailbox::kTurnPollMs);
        if (turn.Result() == platform::WaitResult::Failed) {
            g_LogFile.WriteLog(
                L"Mailbox: card %d: no turn at serving can be taken, not served here", cardIndex);
            break;
        }
        if (!turn.Taken()) continue;
        g_LogFile.WriteLog(turn.Result() == platform::WaitResult::Abandoned
                               ? L"Mailbox: card %d served here; the process that served it "
                                 L"before ended without closing it"
                               : L"Mailbox: card %d served here",
                           cardIndex);
        ServeMailbox(directory, &lastResult);
    }
    return 0;
}

void CVelmoraMainFunc::ServeMailbox(const std::string& directory, uint32_t* pLastResult) {
    using mailbox::kReplyWords;
    std::vector<uint32_t> request(mailbox::kRequestBufferBytes / 4);
    // The reply last written to the block, by this process or by the server
    // before it, is no request: its status words would be taken for a
    // command.
    uint32_t lastReply[kReplyWords] = {};
    bool replied = ReadMailboxReply(lastReply);
    // A request the block holds instead was left for the server before: its
    // wake-up may have gone to that server's stop, or merged with it.
    uint32_t length = 0;
    uint32_t type = 0;
    bool waiting =
        !replied && m_pFfmServer && m_pFfmServer->ReadMessageHeader(&length, &type) && length > 0;

    m_bMailboxServing = 1;
    while (!m_dwMailboxStop) {
        // Timed, so that the stop is seen whatever became of its wake-up.
        if (!waiting &&
            m_pMailboxEvent->Wait(mailbox::kTurnPollMs) != platform::WaitResult::Signaled) {
            continue;
        }
        waiting = false;
        // The wake-up of the stop: no command runs while the card closes.
        if (m_dwMailboxStop) break;

        const bool stale = replied && MailboxHoldsReply(lastReply);
        if (!stale && m_pFfmServer && m_pFfmServer->ReadMessageHeader(&length, &type) &&
            length > 0) {
            // A length past the block is no request either; one past the
            // buffer is cut to it.
            if (length <= m_pFfmServer->GetSize() - CFFMServer::kPayloadOffset) {
                std::fill(request.begin(), request.end(), 0);
                m_pFfmServer->ReadMessageData(
                    type, std::min<uint32_t>(length, mailbox::kRequestBufferBytes), request.data());
                ExecuteMailboxRequest(request.data(), directory, pLastResult);
            }
        }

        uint32_t reply[kReplyWords];
        BuildMailboxReply(*pLastResult, reply);
        // A stale wake-up replies only over the reply it found: a peer may
        // have left its next request meanwhile, and its own wake-up follows.
        if (stale && !MailboxHoldsReply(lastReply)) continue;
        if (m_pFfmServer && m_pFfmServer->WriteMessage(mailbox::kReplyType, sizeof(reply), reply)) {
            std::memcpy(lastReply, reply, sizeof(reply));
            replied = true;
        }
    }
    m_bMailboxServing = 0;
}

bool CVelmoraMainFunc::ReadMailboxReply(uint32_t* pReply) {
    uint32_t length = 0;
    uint32_t type = 0;
    if (!m_pFfmServer || !m_pFfmServer->ReadMessageHeader(&length, &type) ||
        length != mailbox::kReplyWords * 4 || type != mailbox::kReplyType) {
        return false;
    }
    return m_pFfmServer->ReadMessageData(type, length, pReply) != 0;
}

bool CVelmoraMainFunc::MailboxHoldsReply(const uint32_t* pReply) {
    uint32_t current[mailbox::kReplyWords];
    return ReadMailboxReply(current) && std::memcmp(current, pReply, sizeof(current)) == 0;
}

void CVelmoraMainFunc::ExecuteMailboxRequest(const uint32_t* pRequest, const std::string& directory,
                                             uint32_t* pLastResult) {
    switch (pRequest[0]) {
        case mailbox::kCommandChipTest: {
            TEST_REQUEST test{pRequest[1], pRequest[2], pRequest[3], pRequest[4]};
            m_pVelmoraBoardSupport->Test(&test);
            *pLastResult = test.dwResult;
            break;
        }
        case mailbox::kCommandStream:
            switch (pRequest[1]) {
                case mailbox::kStartCaptureFile:
                    StartCaptureFile(directory + "/ts_0-" + LocalTimeStamp() + ".ts",
                                     pRequest[2] != 0 ? 1 : 0, pRequest[3]);
                    break;
                case mailbox::kStopCaptureFile:
                    StopCaptureFile();
                    break;
                case mailbox::kRecordFlagOn:
                    SetRecordFlag(1);
                    break;
                case mailbox::kRecordFlagOff:
                    SetRecordFlag(0);
                    break;
                case mailbox::kStartRecordAll:
                    m_pVelmoraBoardSupport->SetTsRecordTriggerBit(0);
                    platform::Sleep(mailbox::kTriggerSettleMs);
                    StartCaptureFile(directory + "/ts_0_all-" + LocalTimeStamp() + ".ts", 0, 0);
                    break;
                case mailbox::kStopRecordAll:
                    StopCaptureFile();
                    m_pVelmoraBoardSupport->ClearTsRecordTriggerBit(0);
                    break;
                default:
                    break;
            }
            break;
        default:
            break;
    }
}

void CVelmoraMainFunc::BuildMailboxReply(uint32_t lastResult, uint32_t* pReply) {
    std::fill(pReply, pReply + mailbox::kReplyWords, 0);
    pReply[0] = lastResult;
    m_pVelmoraBoardSupport->GetCardStatusWord(&pReply[1]);
    m_pVelmoraBoardSupport->GetTsStatus0(&pReply[2]);
    m_pVelmoraBoardSupport->GetTsStatus1(&pReply[3]);
    m_pVelmoraBoardSupport->GetTsPacketCounters(&pReply[4], &pReply[5]);
    g_LogFile.WriteLog(
        L"Card %d ch %d TsStatus   %4x ch %d TsStatus   %4x  Status   %4x     Cap %d  Send %d  "
        L"Diff %d",
        static_cast<int>(GetCardIndex()), 0, pReply[2], 1, pReply[3], pReply[1],
        static_cast<int>(pReply[4]), static_cast<int>(pReply[5]),
        static_cast<int>(pReply[4] - pReply[5]));
}

// The transport-stream engines own the capture file and the record flag;
// without them there is nothing to start.

uint32_t CVelmoraMainFunc::StartCaptureFile(const std::string& path, uint32_t pidFilter,
                                            uint32_t pid) {
    if (!m_pDemultiplexer) return 0;
    // The mailbox names its files from the clock, beside the executable: a
    // name that is taken already was planted there or belongs to an earlier
    // file, and neither is written.
    return m_pDemultiplexer->StartCaptureFile(platform::Utf8ToWide(path).c_str(), pidFilter, pid,
                                              platform::FileCreation::kNewOnly);
}

uint32_t CVelmoraMainFunc::StopCaptureFile() {
    return m_pDemultiplexer ? m_pDemultiplexer->StopCaptureFile() : 0;
}

uint32_t CVelmoraMainFunc::SetRecordFlag(uint32_t on) {
    if (!m_pMultiplexer) return 0;
    m_pMultiplexer->SetRecordFlag(on != 0 ? 1 : 0);
    return 1;
}

}  // namespace velmora::card

#pragma once

// This card's level of the main-function family: on top of the audio/video
// channels it owns the transport-stream engines (the demultiplexer for ASI or
// IP capture and the multiplexer for ASI playback, both in channel 1's video
// rings of card memory), the list of programs selected for recording, the
// last program information read from the stream and the recording mailbox.
//
// Init builds and opens the engines; Exit closes and deletes them. An
// operation that finds its engine missing returns 0.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card/IoCardMainFunc.h"
#include "platform/Thread.h"
#include "velmora/Velmora.h"

namespace velmora::ts {
class CTsDemultiplexer;
class CTsMultiplexer;
}  // namespace velmora::ts

namespace velmora::platform {
class Event;
}

namespace velmora::card {

class CFFMServer;
class CVelmoraBoardSupport;

// The path up to its last backslash, or when there is none its last slash,
// without that separator; empty when it has neither.
std::string GetPathDirectory(const std::string& path);

// The mailbox's request (in 32-bit words) and its reply.
namespace mailbox {
inline constexpr uint32_t kBlockSize = 0x10000;
inline constexpr uint32_t kRequestBufferBytes = 4096;
inline constexpr uint32_t kCommandChipTest = 0x10;
inline constexpr uint32_t kCommandStream = 0x100;
inline constexpr uint32_t kStartCaptureFile = 0x10000;
inline constexpr uint32_t kStopCaptureFile = 0x10010;
inline constexpr uint32_t kRecordFlagOn = 0x11000;
inline constexpr uint32_t kRecordFlagOff = 0x11010;
inline constexpr uint32_t kStartRecordAll = 0x100000;
inline constexpr uint32_t kStopRecordAll = 0x100010;
// Pause between the record trigger and the file's start.
inline constexpr uint32_t kTriggerSettleMs = 40;
inline constexpr uint32_t kReplyType = 0x1211DBFF;
inline constexpr uint32_t kReplyWords = 6;
// How long a mailbox thread waits at a time for its turn or for a wake-up
// before it looks at the stop again.
inline constexpr uint32_t kTurnPollMs = 100;
}  // namespace mailbox

// A program selected for recording; entries are matched by program number.
struct RECORDER_PROGRAM_INFO {
    uint32_t dwProgramNumber;
    const wchar_t* pszOutputPath;
};

class CVelmoraMainFunc : public CIoCardMainFunc {
  public:
    // The transport-stream windows in card memory (words): channel 1's video
    // capture and playback rings.
    static constexpr uint32_t kTsCaptureStart = 0x465400;
    static constexpr uint32_t kTsCaptureEnd = 0x5FA400;
    static constexpr uint32_t kTsPlaybackStart = 0x5FA400;
    static constexpr uint32_t kTsPlaybackEnd = 0x78F400;

    // Neither the board support nor the DMA manager is owned.
    CVelmoraMainFunc(uint32_t cardIndex, CVelmoraBoardSupport* pBoardSupport,
                     hw::CDmaManager* pDmaManager);
    ~CVelmoraMainFunc() override;

    // The capture engine (null before Init): its recorder error counts have
    // no export.
    ts::CTsDemultiplexer* GetTsDemultiplexer() const { return m_pDemultiplexer.get(); }

    // The channel workers are built at the first open of the card in each
    // process; the frame stores are cleared only by the first opener in the
    // system.
    uint32_t Init(uint32_t firstInSystem, uint32_t firstInProcess) override;
    uint32_t Exit(uint32_t lastInSystem, uint32_t lastInProcess) override;

    // --- Slots added by this level, in slot order. ---
    virtual uint32_t TsCaptureEnable(uint32_t channel);
    virtual uint32_t TsCaptureDisable(uint32_t channel);
    virtual uint32_t TsCaptureGetFillBufferNum(uint32_t* pCount);
    virtual uint32_t TsCaptureReadPacketsFromBuffer(void* pBuffer, uint32_t count);
    // Appends without a duplicate test.
    virtual uint32_t AddRecorderListEntry(RECORDER_PROGRAM_INFO entry);
    // Removes the first entry of the program, if any.
    virtual uint32_t RemoveRecorderListEntry(RECORDER_PROGRAM_INFO entry);
    // 1 when the program is listed.
    virtual uint32_t FindRecorderListEntry(RECORDER_PROGRAM_INFO entry);
    virtual uint32_t SelectRecorderProgram(const wchar_t* path, uint32_t programNumber,
                                           uint32_t unused, uint32_t on);
    virtual uint32_t TsCaptureRecorderEnable(uint32_t programNumber, const wchar_t* path,
                                             uint32_t word);
    virtual uint32_t TsCaptureRecorderDisable(uint32_t programNumber, const wchar_t* path,
                                              uint32_t word);
    virtual uint32_t TsCaptureRecorderGetLength(uint32_t programNumber, uint32_t unused,
                                                RECORD_LENGTH* pLength);
    virtual uint32_t TsCaptureGetProgramInformation(TS_PROGRAM_INFORMATION* pInformation,
                                                    uint32_t* pState);
    virtual uint32_t TsCaptureSetFilteredProgram(int32_t count, FILTERED_PROGRAM* pList);
    virtual uint32_t TsPlaybackEnable(uint32_t channel);
    virtual uint32_t TsPlaybackDisable(uint32_t channel);
    virtual uint32_t TsPlaybackGetEmptyBufferNum(uint32_t* pCount);
    virtual uint32_t TsPlaybackWritePacketsToBuffer(void* pBuffer, uint32_t count);
    virtual uint32_t TsPlaybackSetBitRate(uint32_t bitRate);
    virtual uint32_t TsCaptureSetWorkMode(uint32_t mode);
    virtual uint32_t TsCaptureGetWorkMode(uint32_t* pMode);
    virtual uint32_t TsSetAsiCodeRateTrackStart(uint32_t on);
    virtual uint32_t TsReplaceNitEnable();
    virtual uint32_t TsReplaceNitDisable();
    virtual uint32_t TsReplaceNitGetNitInformation(NIT_INFORMATION* pNit);
    virtual uint32_t TsReplaceNitSetNitInformation(const NIT_INFORMATION* pNit);
    virtual uint32_t SetParameter(TS_OVER_IP_PARAM param);
    virtual uint32_t UdpRun();
    virtual uint32_t UdpStop();
    virtual uint32_t StartWriteTsFile(const wchar_t* fileName);
    virtual uint32_t StopWriteTsFile();
    virtual uint32_t UdpReceiveStop();
    virtual uint32_t UdpReceiveRun();
    virtual uint32_t SetReceiveParameter(TS_OVER_IP_PARAM param);
    virtual uint32_t TsSetInputSource(uint32_t source);
    virtual uint32_t MailboxThread();

    static uint32_t MailboxThreadProc(CVelmoraMainFunc* pMainFunc);

  protected:
    // Opens the mailbox block (kept from an earlier start) and its event and
    // starts the thread; without the event the mailbox runs no thread.
    void StartMailbox();
    // Ends the thread (within one poll while it waits for its turn); nothing
    // happens when none runs.
    void StopMailbox();

    // The capture-file operations of the transport-stream engines that the
    // mailbox drives; 0 while the engines are missing. A capture file is
    // only ever a new one.
    virtual uint32_t StartCaptureFile(const std::string& path, uint32_t pidFilter, uint32_t pid);
    virtual uint32_t StopCaptureFile();
    virtual uint32_t SetRecordFlag(uint32_t on);
    // Fills the six reply words and writes the status line to the log.
    virtual void BuildMailboxReply(uint32_t lastResult, uint32_t* pReply);

    // Steps 3 to 5 of Init: packet length, demultiplexer, multiplexer.
    uint32_t InitTsEngines();
    // 188 or 204 as the card is set now (another value of the flag as it is).
    uint32_t CardPacketLength();
    // Whether an engine took the card's packet length before its start (the
    // engine's answer); a log line naming the call when it did not.
    static bool PacketLengthTaken(uint32_t taken, const wchar_t* call);
    // Empties the recorder list once the program engine has stopped.
    void ForgetStoppedRecorders();

    std::unique_ptr<ts::CTsDemultiplexer> m_pDemultiplexer;
    std::unique_ptr<ts::CTsMultiplexer> m_pMultiplexer;
    std::vector<RECORDER_PROGRAM_INFO> m_RecorderList;
    platform::Thread m_MailboxThread;
    std::unique_ptr<platform::Event> m_pMailboxEvent;
    std::atomic<uint32_t> m_dwMailboxStop{0};
    // Set while this process's thread serves the mailbox.
    std::atomic<uint32_t> m_bMailboxServing{0};
    CVelmoraBoardSupport* m_pVelmoraBoardSupport;
    TS_PROGRAM_INFORMATION m_ProgramInformation = {};
    std::unique_ptr<CFFMServer> m_pFfmServer;

  private:
    // Serves the mailbox in this process's turn, until the stop.
    void ServeMailbox(const std::string& directory, uint32_t* pLastResult);
    // The six words of the reply the block holds; false when it holds none.
    bool ReadMailboxReply(uint32_t* pReply);
    // Whether the block still holds the reply given.
    bool MailboxHoldsReply(const uint32_t* pReply);
    // Runs the request in the buffer (words); lastResult keeps the read-back
    // word of the last chip test.
    void ExecuteMailboxRequest(const uint32_t* pRequest, const std::string& directory,
                               uint32_t* pLastResult);
};

}  // namespace velmora::card

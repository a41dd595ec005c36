#pragma once

// This card's level of the main-function family: on top of the audio/video
// channels it owns the transport-stream engines (the demultiplexer for ASI or
// IP capture and the multiplexer for ASI playback, both in channel 1's video
// rings of card memory), the list of programs selected for recording, the
// last program information read from the stream and the recording mailbox.
//
// Init builds and opens the engines; Exit closes and deletes them. An
// operation that finds its engine missing returns 0.

#include <cstdint>
#include <memory>
#include <vector>

#include "card/IoCardMainFunc.h"
#include "velmora/Velmora.h"

namespace velmora::ts {
class CTsDemultiplexer;
class CTsMultiplexer;
}  // namespace velmora::ts

namespace velmora::card {

class CVelmoraBoardSupport;

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

  protected:
    // Steps 3 to 5 of Init: packet length, demultiplexer, multiplexer.
    uint32_t InitTsEngines();

    std::unique_ptr<ts::CTsDemultiplexer> m_pDemultiplexer;
    std::unique_ptr<ts::CTsMultiplexer> m_pMultiplexer;
    std::vector<RECORDER_PROGRAM_INFO> m_RecorderList;
    CVelmoraBoardSupport* m_pVelmoraBoardSupport;
    TS_PROGRAM_INFORMATION m_ProgramInformation = {};
};

}  // namespace velmora::card

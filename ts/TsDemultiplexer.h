#pragma once

// The capture engine of one card channel: reads the ASI input ring of card
// memory into host memory, checks every PID's continuity counter, hands the
// packets to the application (work mode 0) or to the program engine (work
// mode 1), writes one PID (or all) to a capture file, and receives the
// stream over IP as the program engine's second input. Results are 1 for
// success and 0 for failure unless said otherwise.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/ExclusiveFile.h"
#include "platform/Thread.h"
#include "record/ProgramRecorder.h"
#include "ts/TsOverIp.h"
#include "velmora/Velmora.h"

namespace velmora::card {
class CVelmoraBoardSupport;
class CLogFile;
}  // namespace velmora::card

namespace velmora::ts {

class CAsiInputPort;
class CLockedRingBuffer;
class CTsProgramEngine;

// The per-PID continuity check both engines run on their own tables.
class CContinuityCheck {
  public:
    void Reset();
    void Check(const uint8_t* packet);
    uint32_t Errors() const { return m_dwErrors; }

  private:
    uint8_t m_FirstPacket[8192] = {};
    uint8_t m_LastCounter[8192] = {};
    uint32_t m_dwErrors = 0;
};

class CTsDemultiplexer {
  public:
    static constexpr uint32_t kRingElements = 25920;
    static constexpr uint32_t kEntryBytes = 256;
    static constexpr uint32_t kMaxReported = 3240;
    // The card is read in blocks of at least this many entries while
    // packets keep coming; fewer once its input has stood still for
    // kInputStillMs.
    static constexpr uint32_t kMinUnits = 32;

    CTsDemultiplexer(card::CVelmoraBoardSupport* pBoardSupport, uint32_t asiOff, uint32_t cardIndex,
                     card::CLogFile* pLog);
    virtual ~CTsDemultiplexer();
    CTsDemultiplexer(const CTsDemultiplexer&) = delete;
    CTsDemultiplexer& operator=(const CTsDemultiplexer&) = delete;

    virtual uint32_t CaptureDmaThread();
    virtual uint32_t OpenDebugDumpFile();
    virtual uint32_t PacketDistributionThread();
    virtual uint32_t TsOverIpInputThread();
    virtual uint32_t Open(uint32_t packetLength, uint32_t firstWord, uint32_t endWord,
                          uint32_t port);
    virtual uint32_t Close();
    virtual uint32_t Start();
    virtual uint32_t Stop();
    virtual uint32_t SetWorkMode(uint32_t mode);
    virtual uint32_t GetWorkMode(uint32_t* pMode);
    virtual uint32_t GetFillBufferNum(uint32_t* pCount);
    virtual uint32_t ReadPacketsFromBuffer(void* pDestination, uint32_t count);
    virtual uint32_t GetProgramInformation(TS_PROGRAM_INFORMATION* pInformation, uint32_t* pState);
    virtual uint32_t SetFilteredProgram(int32_t count, FILTERED_PROGRAM* pList);
    virtual uint32_t GetRecorderLength(uint32_t programNumber, RECORD_LENGTH* pLength);
    virtual uint32_t GetRecorderErrorCounts(uint32_t programNumber,
                                            record::RECORDER_ERROR_COUNTS* pCounts);
    virtual uint32_t EnableInputPort();
    virtual uint32_t DisableInputPort();
    virtual uint32_t SetChannel(uint32_t channel);
    virtual uint32_t ResetBuffers();
    virtual uint32_t GetNitInformation(NIT_INFORMATION* pNit);
    virtual uint32_t ProcessPacketTimeStamp(const uint8_t* pEntry, uint64_t* pOut);
    virtual uint32_t DecodePesTimeStamp(const uint8_t* pPes, uint64_t* pOut);
    virtual uint32_t FindPesHeader(const uint8_t* pPacket, uint64_t* pOut);
    virtual uint32_t UdpReceiveStop();
    virtual uint32_t UdpReceiveRun();
    virtual uint32_t SetReceiveParameter(TS_OVER_IP_PARAM param);
    virtual uint32_t SetInputSource(uint32_t source);
    // Takes 188- or 204-byte packets from the next start on: the rings and
    // the program engine change over only while capture and IP input are
    // stopped (0 otherwise).
    uint32_t SetPacketLength(uint32_t packetLength);

    uint32_t AddRecorderProgram(const record::RECORDER_TASK_REQUEST* pRequest);
    uint32_t RemoveRecorderProgram(uint32_t programNumber);
    void StopRecorders();
    uint32_t StartWriteTsFile(const wchar_t* fileName);
    uint32_t StopWriteTsFile();
    uint32_t StartCaptureFile(
        const wchar_t* path, uint32_t mode, uint32_t pid,
        platform::FileCreation creation = platform::FileCreation::kOpenOrCreate);
    uint32_t StopCaptureFile();
    void WriteCaptureFile(const uint8_t* pPacket, uint32_t onePid);
    void CheckContinuity(const uint8_t* pPacket) { m_Continuity.Check(pPacket); }

    CTsProgramEngine* GetProgramEngine() const { return m_pEngine.get(); }
    uint32_t GetContinuityErrors() const { return m_Continuity.Errors(); }
    uint32_t GetPacketLength() const { return m_dwPacketLength; }

  private:
    bool EngineRunning() const;
    void StopThreads();
    uint32_t ReleaseInput();

    std::unique_ptr<CTsProgramEngine> m_pEngine;
    uint32_t m_dwPort = 0;
    // Kept for the port, which may be made after it is set.
    uint32_t m_dwDmaChannel = 0;
    uint32_t m_bAsiOff;
    card::CLogFile* m_pLog;
    CContinuityCheck m_Continuity;
    uint32_t m_dwCardIndex;
    std::atomic<uint32_t> m_dwWorkMode{0};
    uint32_t m_dwPacketLength = 188;
    std::atomic<uint32_t> m_bStopped{1};
    bool m_bInputReleasePending = false;
    uint32_t m_dwFirstWord = 0;
    uint32_t m_dwEndWord = 0;
    card::CVelmoraBoardSupport* m_pBoardSupport;
    std::unique_ptr<CAsiInputPort> m_pInputPort;
    std::unique_ptr<CLockedRingBuffer> m_pRawRing;
    std::unique_ptr<CLockedRingBuffer> m_pPacketRing;
    std::unique_ptr<CLockedRingBuffer> m_pIpRing;
    std::atomic<uint32_t> m_bMoverBusy{0};
    // Set once the reader has counted the capture's last moments.
    std::unique_ptr<platform::Event> m_pCounted = platform::Event::Create(true, false);
    static constexpr uint32_t kLastCountWaitMs = 1000;
    platform::Thread m_ReaderThread;
    platform::Thread m_MoverThread;
    platform::Thread m_IpThread;
    // Held around every receiver call of the IP input thread and around its
    // open and close.
    platform::CCriticalSection m_IpLock;
    std::atomic<uint32_t> m_bIpReceiving{0};
    // The capture file is written by the reader and closed by the caller;
    // the reader looks at the flag and the mode before it takes the lock.
    platform::CCriticalSection m_CaptureLock;
    std::atomic<uint32_t> m_bCaptureFileOn{0};
    std::atomic<uint32_t> m_dwCaptureMode{0};
    uint32_t m_dwCapturePid = 0;
    std::unique_ptr<platform::ExclusiveFile> m_pCaptureFile;
    CTsOverIpCapture m_IpReceiver;
    std::atomic<uint32_t> m_dwInputSource{VELMORA_TS_INPUT_ASI};
};

}  // namespace velmora::ts

#pragma once

// The playback engine of one card channel: the application writes packets
// into a host ring; a pacing thread turns each into a 256-byte card entry
// whose header tells the card how much idle to send around it, so that the
// stream leaves at the set bit rate; a DMA thread moves the entries into the
// card's ASI output window. The DMA thread can copy every packet to the
// TS-over-IP sender, which sends it once the card has played it; a packet the
// sender has no room for is dropped from the IP copy (counted, a trace line
// every 2000), and the card's output goes on. Results are 1 for success and 0
// for failure.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "platform/CriticalSection.h"
#include "platform/Thread.h"
#include "record/TsBufferAnalyzeFeeder.h"
#include "ts/TsDemultiplexer.h"
#include "ts/TsOverIp.h"
#include "velmora/Velmora.h"

namespace velmora::card {
class CVelmoraBoardSupport;
class CLogFile;
}  // namespace velmora::card

namespace velmora::ts {

class CAsiOutputPort;
class CLockedRingBuffer;

// What an application-side client gives the engine instead of the packet
// ring: entries (or packets) filled in place. No path of the card sets one.
class CTsMultiplexerClient {
  public:
    virtual ~CTsMultiplexerClient() = default;
    // Fills up to `count` units of `unitSize` bytes at `pDestination`;
    // returns how many it filled.
    virtual uint32_t FillEntries(uint8_t* pDestination, uint32_t count, uint32_t unitSize) = 0;
    virtual uint32_t FillAnalysisPackets(uint8_t* pDestination, uint32_t count,
                                         uint32_t packetLength) = 0;
};

// The idle around one packet at a rate: H and L of the entry header, and the
// fraction of an idle byte per packet the pacing carries over.
struct ASI_GAP_WORD {
    uint16_t wHigh;
    uint16_t wLow;
    double dFraction;
};

class CTsMultiplexer : public record::CTsBufferAnalyzeClient {
  public:
    static constexpr uint32_t kRingElements = 25920;
    static constexpr uint32_t kEntryBytes = 256;
    static constexpr uint32_t kMaxReported = 3240;
    static constexpr uint32_t kDmaStartEntries = 12961;
    static constexpr uint32_t kMinUnits = 32;
    static constexpr uint32_t kEmptyCardUnits = 25919;
    static constexpr uint32_t kDrainWaitMs = 2000;
    static constexpr double kAsiRate = 216000000.0;
    static constexpr uint32_t kClientThreadMode = 10;

    CTsMultiplexer(card::CVelmoraBoardSupport* pBoardSupport, CTsMultiplexerClient* pClient,
                   uint32_t cardIndex, card::CLogFile* pLog);
    ~CTsMultiplexer() override;
    CTsMultiplexer(const CTsMultiplexer&) = delete;
    CTsMultiplexer& operator=(const CTsMultiplexer&) = delete;

    // 1 and the gap word for a rate the card can pace at this packet length;
    // 0 for a rate at or above the line rate, or one whose idle the header
    // cannot express.
    static uint32_t ComputeGapWord(uint32_t bitRate, uint32_t packetLength, ASI_GAP_WORD* pGap);

    virtual uint32_t PacedOutputThread();
    virtual uint32_t ClientOutputThread();
    virtual uint32_t DmaOutputThread();
    virtual uint32_t ClientPacedOutputThread();
    virtual uint32_t VideoAnalysisThread();
    virtual uint32_t Open(uint32_t packetLength, uint32_t firstWord, uint32_t endWord,
                          uint32_t port);
    virtual uint32_t Close();
    virtual uint32_t Start();
    virtual uint32_t Stop();
    virtual uint32_t SetBitRate(uint32_t bitRate);
    virtual uint32_t SetOutputMode(uint32_t mode);
    virtual uint32_t GetOutputMode(uint32_t* pMode);
    virtual uint32_t GetEmptyBufferNum(uint32_t* pCount);
    virtual uint32_t GetCardClock(uint64_t* pClock);
    virtual uint32_t WritePacketsToBuffer(const void* pSource, uint32_t count);
    virtual uint32_t EnableVideoAnalysis(uint32_t on, uint32_t unused);
    virtual uint32_t SetChannel(uint32_t channel);
    virtual uint32_t CreateVideoAnalysis();
    virtual uint32_t DestroyVideoAnalysis();
    virtual uint32_t SetTsOverIpParameter(TS_OVER_IP_PARAM param);
    virtual uint32_t UdpRun();
    virtual uint32_t UdpStop();
    virtual uint32_t SetCodeRateTrack(uint32_t on);

    // As SetBitRate, for a start that will take `nextPacketLength`-byte
    // packets: while stopped, the rate must suit that length; while running,
    // the length of the packets under way.
    uint32_t SetBitRate(uint32_t bitRate, uint32_t nextPacketLength);
    // Takes 188- or 204-byte packets from the next start on: the packet ring
    // changes over only while playback and the IP output are stopped (0
    // otherwise).
    uint32_t SetPacketLength(uint32_t packetLength);
    void SetRecordFlag(uint8_t flag) { m_byRecordFlag = flag; }
    uint8_t GetRecordFlag() const { return m_byRecordFlag; }
    void CheckContinuity(const uint8_t* pPacket) { m_Continuity.Check(pPacket); }
    uint32_t FindSyncOffset(const uint8_t* pBuffer, uint32_t count, uint32_t* pOffset) const;
    void SetThreadMode(uint32_t mode) { m_dwThreadMode = mode; }
    uint32_t GetContinuityErrors() const { return m_Continuity.Errors(); }
    uint32_t GetSyncErrors() const { return m_dwSyncErrors; }
    uint32_t GetPacketLength() const { return m_dwPacketLength; }
    bool IsStopped() const { return m_bStopped != 0; }

    // The feeder's running state.
    void OnFeederRunning(uint32_t running) override { m_bAnalysisOn = running; }

  private:
    // Waits until a rate is set, the engine stops or code-rate tracking is
    // on.
    void WaitForRate();
    bool ApplyRate(uint32_t rate, ASI_GAP_WORD* pGap);
    // One packet at `entry + 4` finished into an entry and committed.
    void FinishEntry(uint8_t* entry, const ASI_GAP_WORD& gap, double* pAccumulator);
    // The packets of `count` entries the card took, to the IP sender as far
    // as it has room; the rest are dropped from the IP copy.
    void CopyToIp(const uint8_t* entries, uint32_t count);
    void CountIpDrops(uint32_t count);
    // Lets the IP sender send what the card has played, from the card's free
    // units.
    void ReleasePlayedToIp(uint32_t freeUnits);
    void ReportStatus();
    // Runs the paced loop; `fill` puts up to n packets at entry + 4 of the
    // next n entries and returns how many.
    template <typename Fill>
    uint32_t PacedLoop(Fill fill);
    void WriteEntries(uint32_t count);

    std::atomic<uint32_t> m_dwThreadMode{11};
    uint32_t m_dwPort = 0;
    // Kept for the port, which may be made after it is set.
    uint32_t m_dwDmaChannel = 0;
    std::atomic<uint32_t> m_dwOutputMode{0};
    std::atomic<uint32_t> m_dwCodeRateTrack{0};
    uint32_t m_dwPacketLength = 188;
    std::atomic<uint32_t> m_bStopped{1};
    card::CVelmoraBoardSupport* m_pBoardSupport;
    CTsMultiplexerClient* m_pClient;
    uint32_t m_dwFirstWord = 0;
    uint32_t m_dwEndWord = 0;
    CContinuityCheck m_Continuity;
    uint32_t m_dwSyncErrors = 0;
    std::unique_ptr<CAsiOutputPort> m_pOutputPort;
    std::unique_ptr<CLockedRingBuffer> m_pPacketRing;
    std::unique_ptr<CLockedRingBuffer> m_pEntryRing;
    std::unique_ptr<CLockedRingBuffer> m_pAnalysisRing;
    std::unique_ptr<record::CTsBufferAnalyzeFeeder> m_pAnalysisFeeder;
    std::atomic<uint32_t> m_bAnalysisOn{0};
    std::atomic<uint32_t> m_bAnalysisRun{0};
    platform::Thread m_DmaThread;
    platform::Thread m_PacingThread;
    platform::Thread m_AnalysisThread;
    std::atomic<uint32_t> m_dwBitRate{0};
    // The sender is opened and closed under the lock the pacing thread
    // writes it under.
    platform::CCriticalSection m_IpLock;
    std::atomic<uint32_t> m_bTsOverIpOn{0};
    CTsOverIpMulticast m_IpSender;
    // Where the IP copies lie in the stream of entries the card took: runs
    // of {first entry, count}, oldest first, that the card has yet to play.
    struct IP_COPY_RUN {
        uint64_t qwFirst;
        uint32_t dwCount;
    };
    std::deque<IP_COPY_RUN> m_IpOnCard;
    // Entries the card has taken since construction.
    uint64_t m_qwCardEntries = 0;
    uint64_t m_qwIpDrops = 0;
    card::CLogFile* m_pLog;
    uint32_t m_dwCardIndex;
    uint8_t m_byRecordFlag = 0;
    uint32_t m_dwReportedSync = 0;
    uint32_t m_dwReportedContinuity = 0;
    uint32_t m_dwLastReport = 0;
    bool m_bReported = false;
};

}  // namespace velmora::ts

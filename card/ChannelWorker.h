#pragma once

// What the four audio/video channel workers share: the board support that
// speaks the ring protocol, the PCI bridge that moves the units by DMA, the
// channel's DMA channel, FPGA port and ring base, the buffer status built
// from the ring's empty and full flags, and the steps that move one unit
// between the host and the card's ring.

#include <cstddef>
#include <cstdint>

#include "hw/DmaChannelLock.h"
#include "platform/Time.h"

namespace velmora::card {

class CBoardSupport;
class CIoCardBoardSupport;

class CChannelWorker {
  public:
    // FRAME_BUFFER_STATUS.
    static constexpr uint32_t kStatusNeither = 0;
    static constexpr uint32_t kStatusEmpty = 1;
    static constexpr uint32_t kStatusFull = 2;

    // The board support is not owned; the worker uses the PCI bridge it holds.
    // Without a card-family board support every ring operation fails.
    CChannelWorker(CBoardSupport* pBoardSupport, uint32_t defaultRingBase);
    virtual ~CChannelWorker() = default;
    CChannelWorker(const CChannelWorker&) = delete;
    CChannelWorker& operator=(const CChannelWorker&) = delete;

    // Set by the main function when it builds the worker (the channel's
    // CHANNEL_MEMORY_CONFIG and its DMA channel). The ring base is in card
    // words.
    void SetDmaChannel(uint32_t channel) { m_dwDmaChannel = channel; }
    void SetPort(uint32_t port) { m_dwPort = port; }
    void SetRingBase(uint32_t baseWords) { m_dwRingBase = baseWords; }
    uint32_t GetDmaChannel() const { return m_dwDmaChannel; }
    uint32_t GetPort() const { return m_dwPort; }
    uint32_t GetRingBase() const { return m_dwRingBase; }

    virtual uint32_t IsBufferFull() = 0;
    virtual uint32_t IsBufferEmpty() = 0;
    // Empty is tested first, so a ring that reports both is empty.
    uint32_t GetBufferStatus(uint32_t* pStatus);

  protected:
    // Units of every ring.
    static constexpr uint32_t kRingUnits = 8;
    // The direction arguments of a DMA transfer.
    static constexpr uint32_t kHostToCard = 0;
    static constexpr uint32_t kCardToHost = 1;

    // Log lines of one unit's transfer; a null text writes no line.
    struct RingLog {
        const wchar_t* lockFailed = nullptr;
        const wchar_t* unlockFailed = nullptr;
        const wchar_t* dmaFailed = nullptr;
        const wchar_t* dmaStarted = nullptr;
        const wchar_t* noInterrupt = nullptr;
    };

    // Moves one unit between the host and the card's ring, in the order the
    // card expects, for every worker alike: lock the DMA channel; request the
    // ring and wait for it (steps.Request, a capture's read request); read the
    // ring's index (steps.Index) and refuse one past the ring (steps.Refuse:
    // nothing moves, since the memory there is another ring's); stamp the
    // unit (steps.Stamp); transfer it and wait for the DMA (steps.Transfer,
    // through MoveUnit); strobe the ring (steps.Strobe) and take the result
    // (steps.Done); end the request (steps.Release); unlock. The channel is
    // released on every way out.
    template <typename Steps>
    uint32_t TransferRingUnit(Steps& steps, const RingLog& log) {
        hw::CDmaChannelLock channel(m_pPciBridge, m_dwDmaChannel);
        if (!channel.Held()) {
            WriteRingLog(log.lockFailed);
            return 0;
        }
        uint32_t result = 0;
        if (steps.Request()) {
            const uint32_t index = steps.Index();
            if (index >= kRingUnits) {
                steps.Refuse(index);
            } else {
                steps.Stamp(index);
                if (steps.Transfer(index)) {
                    steps.Strobe();
                    result = steps.Done();
                }
            }
        }
        steps.Release();
        if (!channel.Unlock()) WriteRingLog(log.unlockFailed);
        return result;
    }

    // The board support's operations on one capture ring, and the trace
    // names of its reader.
    struct CaptureRing {
        uint32_t (CIoCardBoardSupport::*isEmpty)(uint32_t port);
        uint32_t (CIoCardBoardSupport::*setReadRequest)(uint32_t port);
        uint32_t (CIoCardBoardSupport::*clearReadRequest)(uint32_t port);
        uint32_t (CIoCardBoardSupport::*isReadDone)(uint32_t port);
        uint32_t (CIoCardBoardSupport::*getReadNo)(uint32_t port, uint32_t* pNumber);
        uint32_t (CIoCardBoardSupport::*getTimeStamp)(uint32_t port, uint32_t index,
                                                      uint64_t* pTime);
        uint32_t (CIoCardBoardSupport::*getEntry)(uint32_t port, uint32_t index, uint32_t* pEntry);
        uint32_t (CIoCardBoardSupport::*strobe)(uint32_t port);
        uint32_t readDoneTimeoutMs;
        size_t traceInstance;
        const wchar_t* traceClass;
    };

    // The steps of a capture read that every capture ring shares; a reader
    // adds its Transfer. Request finds the ring empty, and asks for nothing,
    // when a reader in another process took its last unit meanwhile. The
    // 64-bit read stamps into pStamp64 and traces a refused index; the 32-bit
    // read (null pStamp64) takes the ring's entry into pStamp32.
    struct CaptureSteps {
        CChannelWorker& worker;
        const CaptureRing& ring;
        uint64_t* pStamp64;
        uint32_t* pStamp32;
        // The index the ring answered with.
        uint32_t readNo = 0;
        bool requested = false;

        bool Request();
        uint32_t Index();
        void Refuse(uint32_t index);
        void Stamp(uint32_t index);
        void Strobe();
        uint32_t Done() { return 1; }
        void Release();
    };

    // Whether a playback ring is full (isFull), logging fullLog when it is.
    // Writers answer a full ring at once and look again under the channel
    // lock, in their steps.Request: a writer in another process may have
    // queued the last free unit meanwhile, and a unit written then would land
    // on the one the card plays next.
    bool PlaybackRingFull(uint32_t (CIoCardBoardSupport::*isFull)(uint32_t port),
                          const wchar_t* fullLog);

    // One DMA transfer on the worker's channel and the wait for its done
    // interrupt; the caller holds the channel.
    bool MoveUnit(void* pHost, uint32_t cardByteAddress, uint32_t bytes, uint32_t direction,
                  const RingLog& log);

    // Polls done() until it answers nonzero, yielding the processor between
    // polls; false after timeoutMs. The DMA channel lock is held meanwhile,
    // so a card that never answers must not keep every other mover on the
    // channel waiting.
    template <typename Done>
    static bool WaitUntil(Done done, uint32_t timeoutMs) {
        const uint32_t start = platform::TickCount();
        while (!done()) {
            if (platform::TickCount() - start >= timeoutMs) return false;
            platform::Sleep(0);
        }
        return true;
    }

    static void WriteRingLog(const wchar_t* text);

    CIoCardBoardSupport* m_pBoardSupport;
    hw::CPciBridge* m_pPciBridge;
    uint32_t m_dwDmaChannel = 0;
    uint32_t m_dwPort = 0;
    uint32_t m_dwRingBase;
};

}  // namespace velmora::card

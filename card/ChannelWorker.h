#pragma once

// What the four audio/video channel workers share: the board support that
// speaks the ring protocol, the PCI bridge that moves the units by DMA, the
// channel's DMA channel, FPGA port and ring base, and the buffer status built
// from the ring's empty and full flags.

#include <cstdint>

namespace velmora::hw {
class CPciBridge;
}

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
    CIoCardBoardSupport* m_pBoardSupport;
    hw::CPciBridge* m_pPciBridge;
    uint32_t m_dwDmaChannel = 0;
    uint32_t m_dwPort = 0;
    uint32_t m_dwRingBase;
};

}  // namespace velmora::card

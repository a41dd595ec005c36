#pragma once

// Reads captured frames, one at a time, out of an 8-frame video capture ring
// in card memory: the board support speaks the ring protocol (read request,
// done, index, stamp, strobe) and the PCI bridge moves the frame by DMA. The
// caller gets the card's YUY2 frame or, by frame type, 32-bit BGRA.
//
// Two threads must not read through one worker at once (the ring protocol is
// not atomic). A frame-type change may come beside a read: the worker's own
// lock keeps it from freeing the work buffers the read is using. DMA on a
// channel is serialised across threads and processes by the bridge's DMA
// channel lock, and a read decides under it whether the ring holds a frame,
// so that readers in several processes each get a frame the others do not.

#include <cstdint>
#include <mutex>

#include "card/ChannelWorker.h"
#include "card/VideoFrame.h"

namespace velmora::card {

class CBoardSupport;

class CVideoCapture : public CChannelWorker {
  public:
    static constexpr uint32_t kDefaultRingBase = 0x65400;
    // How long a read request may wait for the card's done bit.
    static constexpr uint32_t kReadDoneTimeoutMs = 1000;

    explicit CVideoCapture(CBoardSupport* pBoardSupport);
    ~CVideoCapture() override;

    // Set by the main function when it builds the worker.
    // Ring base and frame size, in card words.
    void SetFrameSize(uint32_t frameWords) { m_dwFrameSize = frameWords; }
    uint32_t GetFrameSize() const { return m_dwFrameSize; }

    // Every operation returns 1 for success and 0 for failure; the forwarding
    // ones return the board support's result.
    uint32_t Start();
    uint32_t Stop();
    uint32_t IsBufferFull() override;
    uint32_t IsBufferEmpty() override;
    // VIDEO_FRAME_TYPE. 0, with the type unchanged, when a work buffer the
    // type needs cannot be allocated.
    uint32_t SetFrameType(uint32_t frameType);
    uint32_t GetFrameType() const {
        std::lock_guard<std::mutex> lock(m_FrameLock);
        return m_dwFrameType;
    }

    // The oldest captured frame with its stamp (100 ns units). 0 for an empty
    // ring, a card that does not answer the read request within
    // kReadDoneTimeoutMs, or a failed transfer: the frame then stays in the
    // ring.
    uint32_t ReadOneFrameFromBuffer(uint64_t* pTimeStamp, void* pFrame);
    // As ReadOneFrameFromBuffer, with the ring's 32-bit stamp entry.
    uint32_t ReadOneFrame32(uint32_t* pTimeStamp, void* pFrame);

    const uint8_t* WorkBuffer1() const { return m_pWorkBuffer1; }
    const uint8_t* WorkBuffer2() const { return m_pWorkBuffer2; }

  protected:
    // Where the work buffers come from.
    virtual uint8_t* AllocateWorkBuffer();

  private:
    // This reader's part of the ring transfer.
    struct ReadSteps;

    // The ring protocol of both reads; `pStamp64` or `pStamp32` receives the
    // stamp.
    uint32_t ReadFrame(uint64_t* pStamp64, uint32_t* pStamp32, void* pFrame);

    // Guards the frame type and the work buffers.
    mutable std::mutex m_FrameLock;
    uint32_t m_dwFrameType = VIDEO_FRAME_TYPE_YUY2;
    uint8_t* m_pWorkBuffer1 = nullptr;
    uint8_t* m_pWorkBuffer2 = nullptr;
    uint32_t m_dwFrameSize = video_frame::kFrameWords;
};

}  // namespace velmora::card

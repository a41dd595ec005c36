#pragma once

// Queues frames, one at a time, into an 8-frame video playback ring in card
// memory, each with the card time (100 ns units) at which the card is to play
// it: the board support speaks the ring protocol (write index, stamp, strobe)
// and the PCI bridge moves the frame by DMA. The caller gives the card's YUY2
// frame or, by frame type, 32-bit BGRA.
//
// Two threads must not write through one worker at once (the ring protocol is
// not atomic). A frame-type change may come beside a write: the worker's own
// lock keeps it from freeing the work buffers the write is using. DMA on a
// channel is serialised across threads and processes by the bridge's DMA
// channel lock, and a write decides under it whether the ring has room, so
// that writers in several processes never write over a queued frame.

#include <cstdint>
#include <mutex>

#include "card/ChannelWorker.h"
#include "card/VideoFrame.h"

namespace velmora::card {

class CBoardSupport;

class CVideoPlayback : public CChannelWorker {
  public:
    static constexpr uint32_t kDefaultRingBase = 0x1FA400;
    // Two PAL field periods: the stamp step the verifying write expects.
    static constexpr int64_t kPalFramePeriod = 400000;

    explicit CVideoPlayback(CBoardSupport* pBoardSupport);
    ~CVideoPlayback() override;

    // Set by the main function when it builds the worker.
    // Ring base and frame size, in card words.
    void SetFrameSize(uint32_t frameWords) { m_dwFrameSize = frameWords; }
    uint32_t GetFrameSize() const { return m_dwFrameSize; }

    // Every operation returns 1 for success and 0 for failure; the forwarding
    // ones return the board support's result.
    uint32_t IsBufferFull() override;
    uint32_t IsBufferEmpty() override;
    // Drops the queued frames; the last stamps stay.
    uint32_t FlushBuffer();
    // VIDEO_FRAME_TYPE. 0, with the type unchanged, when a work buffer the
    // type needs cannot be allocated.
    uint32_t SetFrameType(uint32_t frameType);
    uint32_t GetFrameType(uint32_t* pFrameType);
    // The card's current time, 100 ns units.
    uint32_t GetTimeStamp(uint64_t* pTimeStamp);

    // Queues one frame to be played at `timeStamp`. A stamp not newer than
    // the last frame's drops the frame and succeeds. 0 for a full ring, a
    // channel lock that cannot be taken or a failed transfer: the frame is
    // then not queued and the last stamp stays.
    uint32_t WriteOneFrame(uint64_t timeStamp, const void* pFrame);
    // As WriteOneFrame with a 32-bit stamp, compared only against the last
    // 32-bit stamp.
    uint32_t WriteOneFrame32(uint32_t timeStamp, const void* pFrame);
    // WriteOneFrame that reads the frame back from the card and logs where it
    // differs from what was sent, and stamps that are not one PAL frame apart.
    uint32_t WriteOneFrameAndVerify(uint64_t timeStamp, const void* pFrame);

    int64_t GetLastFrameTimeStamp() const { return m_rtLastFrameTimeStamp; }
    uint32_t GetLastFrameTimeStamp32() const { return m_dwLastTimeStamp32; }
    const uint8_t* WorkBuffer1() const { return m_pWorkBuffer1; }
    const uint8_t* WorkBuffer2() const { return m_pWorkBuffer2; }

  protected:
    // Where the work buffers come from.
    virtual uint8_t* AllocateWorkBuffer();

  private:
    // The three writers' part of the ring transfer.
    struct WriteSteps;

    uint32_t CardByteAddress(uint32_t writeNo) const;
    // Converts the caller's frame by the frame type and moves it into ring
    // unit writeNo, waiting for the transfer's end. Returns the bytes sent,
    // or null when the conversion was refused or the transfer failed. The
    // 64-bit writers log the transfer's steps, the 32-bit one does not.
    const uint8_t* SendFrame(const void* pFrame, uint32_t writeNo, const RingLog& log);

    // Guards the frame type and the work buffers.
    std::mutex m_FrameLock;
    uint32_t m_dwFrameType = VIDEO_FRAME_TYPE_YUY2;
    uint8_t* m_pWorkBuffer1 = nullptr;
    uint8_t* m_pWorkBuffer2 = nullptr;
    uint32_t m_dwLastTimeStamp32 = 0;
    int64_t m_rtLastFrameTimeStamp = 0;
    uint32_t m_dwFrameSize = video_frame::kFrameWords;
    // Outside 0 to 7, so that the first write never looks like a repeat.
    uint32_t m_dwPreviousWriteNo = 0xFFFFFFFF;
};

}  // namespace velmora::card

#pragma once

// The card side of ASI playback and capture: whole 256-byte entries moved by
// DMA between host memory and the card's ASI output and input windows, and
// the card's ring pointers advanced after each completed transfer. The ring
// pointers live in the board support, the DMA in its PCI bridge; the ports
// own neither. The port argument is the ASI port the engine passes through
// (0 on this card). Results are 1 for success and 0 for failure.
//
// Each pointer register is one for every process on the card, and the card
// takes up whatever it holds at the next commit strobe, whoever strobes: a
// port writes a pointer only together with its commit, under the direction's
// DMA channel, which orders every process's commits.

#include <cstdint>

#include "ts/AsiInputCount.h"

namespace velmora::card {
class CVelmoraBoardSupport;
}
namespace velmora::hw {
class CPciBridge;
}

namespace velmora::ts {

// One entry of the card's window in bytes: a unit of kAsiUnitWords words.
inline constexpr uint32_t kAsiEntryBytes = 256;

class CAsiOutputPort {
  public:
    static constexpr uint32_t kDefaultFirstWord = 0x5FA400;
    static constexpr uint32_t kDefaultEndWord = 0x78F400;
    // Free units above which the output counts as neither empty nor filling.
    static constexpr uint32_t kLowWaterFreeUnits = 3241;
    // How long the card's read pointer stays put before the entry it points
    // at is looked at: longer than one packet lasts from 150 kbit/s up. The
    // card counts as having nothing left to play once the pointer stays put
    // for as long as that entry lasts, with a quarter and kSettledMs to
    // spare.
    static constexpr uint32_t kSettledMs = 10;
    // The card sends one byte of packet or idle per 27 MHz tick.
    static constexpr uint64_t kAsiBytesPerSecond = 27000000;
    static constexpr uint64_t kMaxPacketBytes = 204;

    explicit CAsiOutputPort(card::CVelmoraBoardSupport* pBoardSupport);
    CAsiOutputPort(const CAsiOutputPort&) = delete;
    CAsiOutputPort& operator=(const CAsiOutputPort&) = delete;

    void SetDmaChannel(uint32_t channel) { m_dwDmaChannel = channel; }
    uint32_t GetDmaChannel() const { return m_dwDmaChannel; }

    // Stores the window and puts the card's write pointer at its start,
    // unless the card's output is in use (see CardOutputInUse).
    uint32_t SetWindow(uint32_t firstWord, uint32_t endWord, uint32_t port);
    // At most two transfers, split at the window end; the card pointer moves
    // only past transfers that completed. Nothing moves without the channel.
    uint32_t WriteDma(const void* pEntries, uint32_t count, uint32_t port);
    // Overwrites the entries the card has yet to play, past the one it may
    // be sending, with null packets without idle: they leave at once, and
    // nothing of the stream that queued them plays after it. The card's
    // pointers stay where they are.
    uint32_t ReplacePending(uint32_t port);
    // Puts this process's write pointer where the card reads, once the card
    // has stopped reading: the card's read pointer is the card's, while every
    // process's write pointer starts at the window start, so entries between
    // them would play again ahead of the next stream. A card still playing
    // after `waitMs` (its player died with a window queued) is stopped just
    // past the entry it sends, and the write pointer follows it there.
    // 0 when the read pointer cannot be trusted.
    uint32_t FollowCardReadPointer(uint32_t port, uint32_t waitMs);
    // Already one less than the true free count (25,919 = empty).
    uint32_t GetFreeUnits(uint32_t* pCount, uint32_t port);
    uint32_t IsBufferFull(uint32_t port);
    uint32_t IsBufferEmpty(uint32_t port);
    // 1 empty; 0 more than 3241 units free; else 2.
    uint32_t GetOutputStatus(uint32_t* pStatus, uint32_t port);
    uint32_t SetOutputControl(uint8_t first, uint8_t second, uint32_t port);
    uint32_t SetOutputControlWord(uint16_t word, uint32_t port);
    uint32_t GetOutputControl(uint32_t port);
    uint32_t GetOutputStatusBit(uint32_t* pBit, uint32_t port);
    uint32_t GetPacketLength(uint32_t* pFlag, uint32_t port);
    uint32_t GetCardClock(uint64_t* pClock);

  private:
    // Whether the card's write pointer is not this open's to move: a process
    // holds the output to play, or the card's read pointer has left the
    // window start, so that a start committed there would play the stale
    // entries up to it.
    uint32_t CardOutputInUse(uint32_t port);
    // Writes and commits the card's write pointer; the caller holds the
    // channel.
    uint32_t PublishWritePointer(uint32_t pointer, uint32_t port);
    // The card's read pointer, when it lies on a unit of the window.
    uint32_t ReadCardPointer(uint32_t* pRead, uint32_t port);
    // How long the card takes to send the entry at card word `pointer`:
    // its packet and the idle its gap halves ask for.
    uint32_t EntryPlayMs(uint32_t pointer);
    // Commits a write pointer a little past `read`, further each time the
    // card turns out to have passed it before the commit took effect.
    uint32_t StopCardAfter(uint32_t read, uint32_t port);
    // One transfer of `count` entries at the card pointer, which then moves
    // past them and, with `publish`, is given to the card; the failure
    // messages carry `pass`.
    uint32_t TransferAt(uint32_t* pPointer, const uint8_t* pEntries, uint32_t count, uint32_t port,
                        int pass, bool publish);
    // At most two transfers from card word `pointer`, split at the window
    // end, under the DMA channel.
    uint32_t TransferRun(uint32_t pointer, const uint8_t* pEntries, uint32_t count, uint32_t port,
                         bool publish);

    card::CVelmoraBoardSupport* m_pBoardSupport;
    hw::CPciBridge* m_pPciBridge;
    uint32_t m_dwDmaChannel = 0;
    uint32_t m_dwFirstWord = kDefaultFirstWord;
    uint32_t m_dwEndWord = kDefaultEndWord;
};

class CAsiInputPort {
  public:
    static constexpr uint32_t kDefaultFirstWord = 0x465400;
    static constexpr uint32_t kDefaultEndWord = 0x5FA400;
    // Filled units from which the input counts as neither empty nor full.
    static constexpr uint32_t kHighWaterFilledUnits = 3240;

    explicit CAsiInputPort(card::CVelmoraBoardSupport* pBoardSupport);
    CAsiInputPort(const CAsiInputPort&) = delete;
    CAsiInputPort& operator=(const CAsiInputPort&) = delete;

    void SetDmaChannel(uint32_t channel) { m_dwDmaChannel = channel; }
    uint32_t GetDmaChannel() const { return m_dwDmaChannel; }

    // Stores the window and puts the card's read pointer at its start,
    // unless the card's input is on (whoever switched it on).
    uint32_t SetWindow(uint32_t firstWord, uint32_t endWord, uint32_t port);
    // At most two transfers, split at the window end: 1 only when every
    // transfer completed, and the read pointer moves past the entries only
    // then. The card's pointer is committed there unless another process's
    // is further on: the card then follows the reader furthest on. Entries
    // the card wrote over while they were read are let go of, and only
    // they: with `pRead`, the rest are moved to the destination's start and
    // `*pRead` tells how many came (1 with fewer than `count`); without it,
    // such a transfer delivers nothing (0) and the rest come again with the
    // next read. So a 0 is either a failure, which moves nothing, or
    // entries let go of (without `pRead`, or with it when all were written
    // over), which this process's read pointer moves past; either way the
    // next read starts where it should. A capture tells the two apart by
    // LostPackets: its next look raises it by the entries let go of, and
    // after a failure only by what the card wrote over since.
    uint32_t ReadDma(void* pDestination, uint32_t count, uint32_t port, uint32_t* pRead = nullptr);
    uint32_t GetFilledUnits(uint32_t* pCount, uint32_t port);
    // This process's capture from here on: what the card holds is let go of,
    // unread, since what it captured before a restart (or for another
    // process) is not this capture's, and what arrives from then on is its.
    // When the channel cannot be had, the capture's first look does it.
    uint32_t StartCapture(uint32_t port);
    // The capture's look at the card, without the channel. What the card
    // wrote over is let go of, and nothing else: a capture behind another's
    // point keeps all the card has not written over, and moves only its own
    // pointer. `pFilled` gets the entries held whole. With `settle`, the
    // capture's last look, it tries longer to count what the card dropped
    // while commits keep coming.
    uint32_t LookAtCapture(uint32_t port, uint32_t* pFilled, bool settle = false);
    // Packets that reached the card's input since StartCapture and that this
    // capture will never read: dropped by a full card, written over, or let
    // go of as above. As of the last look, and never short: what the card
    // dropped is taken at the most the record allows (its count and the
    // doubt a commit left).
    uint64_t LostPackets() const { return m_Capture.lost; }
    // Whether LostPackets may be off, short or over, by whole multiples of
    // 2^32: the card counts in 32 bits, and since the start a latch could
    // not tell how often it wrapped (the card's clock since the last known
    // count let the fastest input wrap it more than one number of times, or
    // could not be read) and took the input's rate's estimate, or no wrap
    // without one.
    bool LostMayBeOff() const {
        return m_Capture.active && m_Count.Guesses() != m_Capture.guessesAtStart;
    }
    // Switched on from off, the card's count is latched first, while the
    // card writes nothing, so that what it drops from then on is known.
    uint32_t EnableInput(uint32_t port);
    uint32_t DisableInput(uint32_t port);
    uint32_t IsBufferFull(uint32_t port);
    uint32_t IsBufferEmpty(uint32_t port);
    // 2 full; 0 at least 3240 units filled; else 1.
    uint32_t GetInputStatus(uint32_t* pStatus, uint32_t port);

  private:
    // This process's capture, in the units of the card's record.
    struct CaptureLedger {
        bool active = false;
        uint64_t start = 0;     // the unit the capture began at
        uint64_t position = 0;  // the unit of this process's read pointer
        uint64_t taken = 0;     // units read whole
        // What the card had dropped at the start.
        uint64_t droppedAtStart = 0;
        uint64_t lost = 0;
        uint64_t guessesAtStart = 0;
    };

    uint32_t WindowUnits() const { return (m_dwEndWord - m_dwFirstWord) / kAsiUnitWords; }
    // Commits the read pointer at `unit`, or moves only this process's when
    // the card's is further on; the caller holds the channel.
    uint32_t PublishUnit(uint64_t unit, uint32_t port);
    // Moves only this process's read pointer (and its capture's) to `unit`.
    uint32_t SkipTo(uint64_t unit, uint32_t port);
    // StartCapture's work; the caller holds the channel.
    uint32_t BeginCapture(uint32_t port);
    // The card without the channel, what it dropped taken in when it is
    // full: a few looks (more to `settle`), then one under the channel when
    // it is free.
    bool LookAtCard(CAsiInputCount::View* pView, bool settle);
    // One transfer of `count` entries from card word `*pPointer`, which then
    // moves past them.
    uint32_t TransferAt(uint32_t* pPointer, uint8_t* pDestination, uint32_t count);

    card::CVelmoraBoardSupport* m_pBoardSupport;
    hw::CPciBridge* m_pPciBridge;
    uint32_t m_dwFirstWord = kDefaultFirstWord;
    uint32_t m_dwDmaChannel = 0;
    uint32_t m_dwEndWord = kDefaultEndWord;
    CAsiInputCount m_Count;
    CaptureLedger m_Capture;
};

}  // namespace velmora::ts

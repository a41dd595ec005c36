#pragma once

// The card's FPGA register interface: the only code that knows register
// offsets and bit numbers. Every register lives in BAR 3 and is reached
// through the PCI bridge (or a mapped window); every read-modify-write holds
// the card's named FPGA mutex so that bits changed by other threads or
// processes are not lost. All operations return 1 for success and 0 for
// failure; values travel through out-arguments.
//
// Per-port operations are a dispatcher taking the port as its last argument
// (1 selects port 1, any other value port 0) over a Port0 and a Port1
// operation; both ports are driven from one table of register offsets and
// control bits.

#include <cstdint>
#include <string>

#include "card/GlobalVars.h"
#include "hw/PciBridge.h"
#include "platform/NamedMutex.h"

namespace velmora::hw {

// Status word of one frame ring: write number in bits 0 to 7, read number in
// bits 8 to 15, bit 29 done, bit 30 empty, bit 31 full.
using FRAME_RING_STATUS = uint32_t;

namespace ring {
inline constexpr uint32_t kDoneBit = 29;
inline constexpr uint32_t kEmptyBit = 30;
inline constexpr uint32_t kFullBit = 31;
inline constexpr uint32_t kBuffers = 8;

// Ring numbers of 8 or more are reported as 7.
constexpr uint32_t ClampNumber(uint32_t number) {
    return number >= kBuffers ? kBuffers - 1 : number;
}
constexpr uint32_t WriteNumber(FRAME_RING_STATUS status) {
    return ClampNumber(status & 0xFF);
}
constexpr uint32_t ReadNumber(FRAME_RING_STATUS status) {
    return ClampNumber((status >> 8) & 0xFF);
}
constexpr bool IsFull(FRAME_RING_STATUS status) {
    return (status >> kFullBit) & 1;
}
constexpr bool IsEmpty(FRAME_RING_STATUS status) {
    return (status >> kEmptyBit) & 1;
}
// Filled buffers of a capture ring; full is tested before empty.
constexpr uint32_t CaptureCount(FRAME_RING_STATUS status) {
    if (IsFull(status)) return kBuffers;
    if (IsEmpty(status)) return 0;
    return (WriteNumber(status) + kBuffers - ReadNumber(status)) % kBuffers;
}
// Free buffers of a playback ring; full is tested before empty.
constexpr uint32_t PlaybackCount(FRAME_RING_STATUS status) {
    if (IsFull(status)) return 0;
    if (IsEmpty(status)) return kBuffers;
    return (ReadNumber(status) + kBuffers - WriteNumber(status)) % kBuffers;
}
}  // namespace ring

// FPGA stamps and counters count in units of 10 us; the library's card times
// are in 100 ns units.
inline constexpr uint64_t kCardTimeScale = 100;
constexpr uint64_t CardTimeFromStamp(uint64_t stamp) {
    return stamp * kCardTimeScale;
}
// Signed division, quotient toward zero.
constexpr int64_t StampFromCardTime(int64_t time) {
    return time / static_cast<int64_t>(kCardTimeScale);
}

class CFpga {
  public:
    // Default block bases: A global control, B port-0 control, C port-1 video
    // and stream control, D port-1 audio control.
    static constexpr uint32_t kDefaultBlockBaseA = 0x10;
    static constexpr uint32_t kDefaultBlockBaseB = 0x90;
    static constexpr uint32_t kDefaultBlockBaseC = 0x200;
    static constexpr uint32_t kDefaultBlockBaseD = 0x300;
    static constexpr uint32_t kRegisterBar = 3;
    // Polls of a busy or done bit before a wait gives up.
    static constexpr uint32_t kPollTries = 1000;
    // Longest wait for a playback ring to report its flush done.
    static constexpr uint32_t kFlushTimeoutMs = 1000;
    // What a failed register read leaves in the caller's word.
    static constexpr uint32_t kFailedRead = 0xFFFFFFFF;

    // Fixed registers (byte offsets in BAR 3).
    static constexpr uint32_t kRegIndirectCommand = 0x00;
    static constexpr uint32_t kRegIndirectAddress = 0x04;
    static constexpr uint32_t kRegIndirectData = 0x08;
    static constexpr uint32_t kRegIndirectDone = 0x0C;
    static constexpr uint32_t kRegStatus = 0x14;
    static constexpr uint32_t kRegFieldStatus = 0x18;
    static constexpr uint32_t kRegBoardId = 0x1C;
    static constexpr uint32_t kRegControl24 = 0x24;
    static constexpr uint32_t kRegControl28 = 0x28;
    static constexpr uint32_t kRegControl2C = 0x2C;
    static constexpr uint32_t kRegControl30 = 0x30;
    static constexpr uint32_t kRegWindowStartX = 0x3C;
    static constexpr uint32_t kRegWindowWidth = 0x40;
    static constexpr uint32_t kRegWindowStartY = 0x44;
    static constexpr uint32_t kRegWindowHeight = 0x48;
    static constexpr uint32_t kRegScratch = 0x50;
    static constexpr uint32_t kRegIic = 0x60;
    static constexpr uint32_t kRegCardClockLow = 0x68;
    static constexpr uint32_t kRegAudioCodec = 0x6C;
    static constexpr uint32_t kRegFpgaVersion = 0xF0;
    static constexpr uint32_t kRegF4 = 0xF4;
    static constexpr uint32_t kRegCardClockHigh = 0x100;

    // Block A bits.
    static constexpr uint32_t kBitVideoRelay = 0;
    static constexpr uint32_t kBitFieldInterrupt = 1;
    static constexpr uint32_t kBitControl2 = 2;
    static constexpr uint32_t kBitSyncSelect = 4;
    static constexpr uint32_t kBitNtsc = 12;
    static constexpr uint32_t kBitWindowStrobe = 20;
    static constexpr uint32_t kBitInterruptAck = 21;
    static constexpr uint32_t kBitLatch = 22;

    // The constructor takes the card's FPGA mutex from the globals; neither
    // argument is owned. Without a bridge every register access fails;
    // without the FPGA mutex every read-modify-write fails.
    CFpga(CPciBridge* pPciBridge, card::CGlobalVars* pGlobalVars);
    virtual ~CFpga();
    CFpga(const CFpga&) = delete;
    CFpga& operator=(const CFpga&) = delete;

    // Access primitives. A failed read leaves kFailedRead in the out word
    // (all ones in a 64-bit one) and returns 0.
    virtual uint32_t ReadRegister(uint32_t offset, uint32_t* pValue);
    virtual uint32_t WriteRegister(uint32_t offset, const uint32_t* pValue);
    virtual uint32_t ReadRegister64(uint32_t lowOffset, uint32_t highOffset, uint64_t* pValue);
    // Repeats low/high pass pairs until two agree, at most kPollTries times.
    virtual uint32_t ReadRegister64Stable(uint32_t lowOffset, uint32_t highOffset,
                                          uint64_t* pValue);
    virtual uint32_t WriteRegister64(uint32_t lowOffset, uint32_t highOffset, uint64_t value);
    // 0 for a width above 32 or a shift of 32 or more.
    virtual uint32_t WriteBitField(uint32_t offset, uint32_t value, uint32_t shift, uint32_t width);
    // value 0 clears the bit, 1 sets it; any other value fails and writes
    // nothing.
    virtual uint32_t WriteBit(uint32_t offset, uint32_t bit, uint32_t value);
    virtual uint32_t ReadBit(uint32_t offset, uint32_t bit, uint32_t* pValue);
    virtual uint32_t OrRegister(uint32_t offset, uint32_t mask);
    virtual uint32_t ReservedOperationD(uint32_t first, uint32_t second, uint32_t third);
    // Reads the bit once and then up to `tries` more times, yielding between
    // reads; 1 when the last read shows the expected value.
    virtual uint32_t WaitForBit(uint32_t offset, uint32_t bit, uint32_t expected, uint32_t tries);
    virtual uint32_t ReadControl24(uint32_t* pValue);
    virtual uint32_t ReadStatus(uint32_t* pValue);

    // Global operations.
    virtual uint32_t GetRegisterBases(uint32_t vendorId, uint32_t deviceId, uint32_t* pBaseA,
                                      uint32_t* pBaseB, uint32_t* pBaseC, uint32_t* pBaseD);
    virtual uint32_t SetRegisterBases(uint32_t baseA, uint32_t baseB, uint32_t baseC,
                                      uint32_t baseD);
    virtual uint32_t ReservedOperationA();
    virtual uint32_t ReservedOperationB();
    virtual uint32_t ReadFieldStatus(uint32_t* pValue);
    virtual uint32_t SelectInternalSync();
    virtual uint32_t SelectSyncFromChannel0();
    virtual uint32_t SelectSyncFromChannel1();
    virtual uint32_t SelectSyncFromChannel2();
    virtual uint32_t SelectSyncFromChannel3();
    virtual uint32_t SelectPal();
    virtual uint32_t SelectNtsc();
    virtual uint32_t WriteControl24(uint32_t value);
    virtual uint32_t WriteControl2C(uint32_t value);
    virtual uint32_t WriteControl30(uint32_t value);
    virtual uint32_t SetControlBit3();
    virtual uint32_t ClearControlBit3();
    virtual uint32_t PulseControlBit2();
    virtual uint32_t ReadStatusBit0();
    virtual uint32_t GetFpgaVersion(uint32_t* pVersion);
    virtual uint32_t EnableFieldInterrupt();
    virtual uint32_t DisableFieldInterrupt();
    virtual uint32_t AcknowledgeInterrupt();
    virtual uint32_t SetControlBit13();
    virtual uint32_t PulseControlBit14();
    virtual uint32_t WriteRegisterSet3C();
    virtual uint32_t VideoRelayOn(uint32_t channel);
    virtual uint32_t VideoRelayOff(uint32_t channel);
    virtual uint32_t AudioRelayOn(uint32_t channel);
    virtual uint32_t AudioRelayOff(uint32_t channel);
    virtual uint32_t IsStatusBit1Set();
    // IIC line bits of register 0x60 (bit-banged bus).
    virtual uint32_t IicLineStrobe();
    virtual uint32_t SetSdaDirection(uint32_t release);
    virtual uint32_t SetSdaLevel(uint32_t level);
    virtual uint32_t GetSdaLevel(uint32_t* pLevel);
    virtual uint32_t SetSclLevel(uint32_t level);
    virtual uint32_t SetControlBit19();
    virtual uint32_t ClearControlBit19();
    virtual uint32_t WriteControl28(uint32_t value);
    virtual uint32_t SetControlBit10();
    virtual uint32_t ClearControlBit10();
    virtual uint32_t SetControlBit29();
    virtual uint32_t ClearControlBit29();
    virtual uint32_t ReadBoardId(uint32_t* pBoardId);
    virtual uint32_t WriteControlBit17(uint32_t selector);
    virtual uint32_t WriteControlBit18(uint32_t selector);
    virtual uint32_t IndirectRead16(uint32_t address, uint32_t* pValue);
    virtual uint32_t IndirectWrite16(uint32_t address, const uint32_t* pValue);
    virtual uint32_t SetPortControlBit4();
    virtual uint32_t ClearPortControlBit4();
    virtual uint32_t SelectVideoSource(uint32_t channel, uint32_t decoderIndex);
    virtual uint32_t SelectAudioSource(uint32_t channel, uint32_t source);
    virtual uint32_t SelectVideoRoute(uint32_t first, uint32_t second);
    virtual uint32_t SelectAudioRoute(uint32_t first, uint32_t second);
    virtual uint32_t SelectSourceMode(uint32_t mode);

    // Per-port ring and capture control, video side.
    virtual uint32_t StopVideoCapture(uint32_t port);
    virtual uint32_t StopVideoCapturePort0();
    virtual uint32_t StopVideoCapturePort1();
    virtual uint32_t StartVideoCapture(uint32_t port);
    virtual uint32_t StartVideoCapturePort0();
    virtual uint32_t StartVideoCapturePort1();
    virtual uint32_t StopAudioCapture(uint32_t port);
    virtual uint32_t StopAudioCapturePort0();
    virtual uint32_t StopAudioCapturePort1();
    virtual uint32_t StartAudioCapture(uint32_t port);
    virtual uint32_t StartAudioCapturePort0();
    virtual uint32_t StartAudioCapturePort1();
    virtual uint32_t FlushAudioPlaybackBuffer(uint32_t port);
    virtual uint32_t FlushAudioPlaybackBufferPort0();
    virtual uint32_t FlushAudioPlaybackBufferPort1();
    virtual uint32_t FlushVideoPlaybackBuffer(uint32_t port);
    virtual uint32_t FlushVideoPlaybackBufferPort0();
    virtual uint32_t FlushVideoPlaybackBufferPort1();
    virtual uint32_t IsAudioCaptureBufferFull(uint32_t port);
    virtual uint32_t IsAudioCaptureBufferFullPort0();
    virtual uint32_t IsAudioCaptureBufferFullPort1();
    virtual uint32_t IsAudioCaptureBufferEmpty(uint32_t port);
    virtual uint32_t IsAudioCaptureBufferEmptyPort0();
    virtual uint32_t IsAudioCaptureBufferEmptyPort1();
    virtual uint32_t IsAudioPlaybackBufferFull(uint32_t port);
    virtual uint32_t IsAudioPlaybackBufferFullPort0();
    virtual uint32_t IsAudioPlaybackBufferFullPort1();
    virtual uint32_t IsAudioPlaybackBufferEmpty(uint32_t port);
    virtual uint32_t IsAudioPlaybackBufferEmptyPort0();
    virtual uint32_t IsAudioPlaybackBufferEmptyPort1();
    virtual uint32_t IsVideoCaptureBufferFull(uint32_t port);
    virtual uint32_t IsVideoCaptureBufferFullPort0();
    virtual uint32_t IsVideoCaptureBufferFullPort1();
    virtual uint32_t IsVideoCaptureBufferEmpty(uint32_t port);
    virtual uint32_t IsVideoCaptureBufferEmptyPort0();
    virtual uint32_t IsVideoCaptureBufferEmptyPort1();
    virtual uint32_t IsVideoPlaybackBufferFull(uint32_t port);
    virtual uint32_t IsVideoPlaybackBufferFullPort0();
    virtual uint32_t IsVideoPlaybackBufferFullPort1();
    virtual uint32_t IsVideoPlaybackBufferEmpty(uint32_t port);
    virtual uint32_t IsVideoPlaybackBufferEmptyPort0();
    virtual uint32_t IsVideoPlaybackBufferEmptyPort1();
    virtual uint32_t SetVideoCaptureReadRequest(uint32_t port);
    virtual uint32_t SetVideoCaptureReadRequestPort0();
    virtual uint32_t SetVideoCaptureReadRequestPort1();
    virtual uint32_t ClearVideoCaptureReadRequest(uint32_t port);
    virtual uint32_t ClearVideoCaptureReadRequestPort0();
    virtual uint32_t ClearVideoCaptureReadRequestPort1();
    virtual uint32_t IsVideoCaptureReadDone(uint32_t port);
    virtual uint32_t IsVideoCaptureReadDonePort0();
    virtual uint32_t IsVideoCaptureReadDonePort1();
    virtual uint32_t GetVideoCaptureBufferReadNo(uint32_t* pNumber, uint32_t port);
    virtual uint32_t GetVideoCaptureBufferReadNoPort0(uint32_t* pNumber);
    virtual uint32_t GetVideoCaptureBufferReadNoPort1(uint32_t* pNumber);
    virtual uint32_t GetVideoCaptureBufferWriteNo(uint32_t* pNumber, uint32_t port);
    virtual uint32_t GetVideoCaptureBufferWriteNoPort0(uint32_t* pNumber);
    virtual uint32_t GetVideoCaptureBufferWriteNoPort1(uint32_t* pNumber);
    virtual uint32_t GetVideoCaptureBufferCount(uint32_t* pCount, uint32_t port);
    virtual uint32_t GetVideoCaptureBufferCountPort0(uint32_t* pCount);
    virtual uint32_t GetVideoCaptureBufferCountPort1(uint32_t* pCount);
    virtual uint32_t GetVideoCaptureTimeStamp(uint32_t index, uint64_t* pTime, uint32_t port);
    virtual uint32_t GetVideoCaptureEntry(uint32_t index, uint32_t* pEntry, uint32_t port);
    virtual uint32_t GetVideoCaptureTimeStampPort0(uint32_t index, uint64_t* pTime);
    virtual uint32_t GetVideoCaptureEntryPort0(uint32_t index, uint32_t* pEntry);
    virtual uint32_t GetVideoCaptureTimeStampPort1(uint32_t index, uint64_t* pTime);
    virtual uint32_t GetVideoCaptureEntryPort1(uint32_t index, uint32_t* pEntry);
    virtual uint32_t StrobeVideoCaptureBuffer(uint32_t port);
    virtual uint32_t StrobeVideoCaptureBufferPort0();
    virtual uint32_t StrobeVideoCaptureBufferPort1();
    virtual uint32_t ReadTimeStampCounter(uint64_t* pTime, uint32_t port);
    virtual uint32_t ReadTimeStampCounterPort0(uint64_t* pTime);
    virtual uint32_t ReadTimeStampCounterPort1(uint64_t* pTime);
    virtual uint32_t GetVideoPlaybackBufferReadNo(uint32_t* pNumber, uint32_t port);
    virtual uint32_t GetVideoPlaybackBufferReadNoPort0(uint32_t* pNumber);
    virtual uint32_t GetVideoPlaybackBufferReadNoPort1(uint32_t* pNumber);
    virtual uint32_t GetVideoPlaybackBufferWriteNo(uint32_t* pNumber, uint32_t port);
    virtual uint32_t GetVideoPlaybackBufferWriteNoPort0(uint32_t* pNumber);
    virtual uint32_t GetVideoPlaybackBufferWriteNoPort1(uint32_t* pNumber);
    virtual uint32_t GetVideoPlaybackBufferCount(uint32_t* pCount, uint32_t port);
    virtual uint32_t GetVideoPlaybackBufferCountPort0(uint32_t* pCount);
    virtual uint32_t GetVideoPlaybackBufferCountPort1(uint32_t* pCount);
    virtual uint32_t SetVideoPlaybackTimeStamp(int64_t time, uint32_t port);
    virtual uint32_t WriteVideoPlaybackTimeStampLow(uint32_t value, uint32_t port);
    virtual uint32_t SetVideoPlaybackTimeStampPort0(int64_t time);
    virtual uint32_t WriteVideoPlaybackTimeStampLowPort0(uint32_t value);
    virtual uint32_t SetVideoPlaybackTimeStampPort1(int64_t time);
    virtual uint32_t WriteVideoPlaybackTimeStampLowPort1(uint32_t value);
    virtual uint32_t StrobeVideoPlaybackBuffer(uint32_t port);
    virtual uint32_t StrobeVideoPlaybackBufferPort0();
    virtual uint32_t StrobeVideoPlaybackBufferPort1();

    virtual uint32_t ClearControlBit11(uint32_t unused);
    virtual uint32_t SetControlBit11(uint32_t unused);
    virtual uint32_t WritePortControlBit23(uint32_t value);

    // Per-port ring and capture control, audio side.
    virtual uint32_t SetAudioCaptureReadRequest(uint32_t port);
    virtual uint32_t SetAudioCaptureReadRequestPort0();
    virtual uint32_t SetAudioCaptureReadRequestPort1();
    virtual uint32_t ClearAudioCaptureReadRequest(uint32_t port);
    virtual uint32_t ClearAudioCaptureReadRequestPort0();
    virtual uint32_t ClearAudioCaptureReadRequestPort1();
    virtual uint32_t IsAudioCaptureReadDone(uint32_t port);
    virtual uint32_t IsAudioCaptureReadDonePort0();
    virtual uint32_t IsAudioCaptureReadDonePort1();
    virtual uint32_t GetAudioCaptureBufferReadNo(uint32_t* pNumber, uint32_t port);
    virtual uint32_t GetAudioCaptureBufferReadNoPort0(uint32_t* pNumber);
    virtual uint32_t GetAudioCaptureBufferReadNoPort1(uint32_t* pNumber);
    virtual uint32_t GetAudioCaptureBufferWriteNo(uint32_t* pNumber, uint32_t port);
    virtual uint32_t GetAudioCaptureBufferWriteNoPort0(uint32_t* pNumber);
    virtual uint32_t GetAudioCaptureBufferWriteNoPort1(uint32_t* pNumber);
    virtual uint32_t GetAudioCaptureBufferCount(uint32_t* pCount, uint32_t port);
    virtual uint32_t GetAudioCaptureBufferCountPort0(uint32_t* pCount);
    virtual uint32_t GetAudioCaptureBufferCountPort1(uint32_t* pCount);
    virtual uint32_t GetAudioCaptureTimeStamp(uint32_t index, uint64_t* pTime, uint32_t port);
    virtual uint32_t GetAudioCaptureEntry(uint32_t index, uint32_t* pEntry, uint32_t port);
    virtual uint32_t GetAudioCaptureTimeStampPort0(uint32_t index, uint64_t* pTime);
    virtual uint32_t GetAudioCaptureEntryPort0(uint32_t index, uint32_t* pEntry);
    virtual uint32_t GetAudioCaptureTimeStampPort1(uint32_t index, uint64_t* pTime);
    virtual uint32_t GetAudioCaptureEntryPort1(uint32_t index, uint32_t* pEntry);
    virtual uint32_t StrobeAudioCaptureBuffer(uint32_t port);
    virtual uint32_t StrobeAudioCaptureBufferPort0();
    virtual uint32_t StrobeAudioCaptureBufferPort1();
    virtual uint32_t ReadTimeStampCounter2(uint64_t* pTime, uint32_t port);
    virtual uint32_t ReadTimeStampCounter2Port0(uint64_t* pTime);
    virtual uint32_t ReadTimeStampCounter2Port1(uint64_t* pTime);
    virtual uint32_t GetAudioPlaybackBufferReadNo(uint32_t* pNumber, uint32_t port);
    virtual uint32_t GetAudioPlaybackBufferReadNoPort0(uint32_t* pNumber);
    virtual uint32_t GetAudioPlaybackBufferReadNoPort1(uint32_t* pNumber);
    virtual uint32_t GetAudioPlaybackBufferWriteNo(uint32_t* pNumber, uint32_t port);
    virtual uint32_t GetAudioPlaybackBufferWriteNoPort0(uint32_t* pNumber);
    virtual uint32_t GetAudioPlaybackBufferWriteNoPort1(uint32_t* pNumber);
    virtual uint32_t GetAudioPlaybackBufferCount(uint32_t* pCount, uint32_t port);
    virtual uint32_t GetAudioPlaybackBufferCountPort0(uint32_t* pCount);
    virtual uint32_t GetAudioPlaybackBufferCountPort1(uint32_t* pCount);
    virtual uint32_t SetAudioPlaybackTimeStamp(int64_t time, uint32_t port);
    virtual uint32_t WriteAudioPlaybackTimeStampLow(uint32_t value, uint32_t port);
    virtual uint32_t SetAudioPlaybackTimeStampPort0(int64_t time);
    virtual uint32_t WriteAudioPlaybackTimeStampLowPort0(uint32_t value);
    virtual uint32_t SetAudioPlaybackTimeStampPort1(int64_t time);
    virtual uint32_t WriteAudioPlaybackTimeStampLowPort1(uint32_t value);
    virtual uint32_t WriteAudioPlaybackControlEC(uint32_t value, uint32_t port);
    virtual uint32_t WriteAudioPlaybackControlECPort0(uint32_t value);
    virtual uint32_t WriteAudioPlaybackControlECPort1(uint32_t value);
    virtual uint32_t StrobeAudioPlaybackBuffer(uint32_t port);
    virtual uint32_t StrobeAudioPlaybackBufferPort0();
    virtual uint32_t StrobeAudioPlaybackBufferPort1();

    virtual uint32_t ReservedOperationC();
    // IIC byte engine of register 0x60. The IIC master serialises its users
    // with its own mutexes; these take no FPGA mutex.
    virtual uint32_t IicEngineStart(uint32_t address, uint32_t readFlag);
    virtual uint32_t IicEngineWriteByte(uint32_t address, uint8_t byte);
    virtual uint32_t IicEngineWriteByteStop(uint32_t address, const uint8_t* pByte);
    virtual uint32_t IicEngineReadData(uint8_t* pByte);
    virtual uint32_t IicEngineReadStop(uint32_t address);
    virtual uint32_t SetIicControlBit19();
    virtual uint32_t ClearIicControlBit19();
    virtual uint32_t TestScratchRegister();

    // Set by the board support.
    void SetNoHardwareMode(uint32_t enable) { m_bNoHardware = enable; }
    uint32_t IsNoHardwareMode() const { return m_bNoHardware; }
    void SetProductName(const std::wstring& name) { m_strProductName = name; }
    const std::wstring& GetProductName() const { return m_strProductName; }
    // A mapped BAR-3 window, or null to go through the bridge.
    void SetMappedRegisters(volatile uint32_t* pWindow) { m_pMappedRegisters = pWindow; }

    uint32_t GetBlockBaseA() const { return m_dwBlockBaseA; }
    uint32_t GetBlockBaseB() const { return m_dwBlockBaseB; }
    uint32_t GetBlockBaseC() const { return m_dwBlockBaseC; }
    uint32_t GetBlockBaseD() const { return m_dwBlockBaseD; }

  protected:
    // Holds the FPGA mutex for a scope. The mutex is recursive per thread, so
    // an operation may hold it around others that take it again. A wait that
    // reports an abandoned mutex still owns it.
    class FpgaLock {
      public:
        explicit FpgaLock(platform::NamedMutex* pMutex);
        ~FpgaLock();
        FpgaLock(const FpgaLock&) = delete;
        FpgaLock& operator=(const FpgaLock&) = delete;
        bool Held() const { return m_bHeld; }

      private:
        platform::NamedMutex* m_pMutex;
        bool m_bHeld = false;
    };

    enum Block : uint8_t { kBlockA, kBlockB, kBlockC, kBlockD };
    struct BlockBit {
        Block block;
        uint8_t bit;
    };
    // One ring of one port: its status register, its stamp registers (entry
    // 0 of a capture ring; the single stamp of a playback ring) and its
    // control bits.
    struct RingRegisters {
        uint32_t status;
        uint32_t stampLow;
        uint32_t stampHigh;
        BlockBit enable;
        BlockBit readRequest;
        BlockBit strobe;
        BlockBit flush;
    };
    struct PortRegisters {
        RingRegisters videoCapture;
        RingRegisters videoPlayback;
        RingRegisters audioCapture;
        RingRegisters audioPlayback;
        uint32_t audioPlaybackControl;
        uint32_t counter1Low;
        uint32_t counter1High;
        uint32_t counter2Low;
        uint32_t counter2High;
    };
    static const PortRegisters kPorts[2];

    uint32_t BlockBase(Block block) const;
    uint32_t WriteBlockBit(BlockBit bit, uint32_t value);
    uint32_t WriteBlockBit(Block block, uint32_t bit, uint32_t value) {
        return WriteBlockBit(BlockBit{block, static_cast<uint8_t>(bit)}, value);
    }
    // 0, 1, 0 as three writes, each under the mutex by itself; all three are
    // tried, 1 when all succeeded.
    uint32_t StrobeBlockBit(BlockBit bit);
    // 0, 1, 0 stopping at the first failing write.
    uint32_t PulseBlockBit(Block block, uint32_t bit);
    // 1 when the bit of the register is set, 0 when clear or unreadable.
    uint32_t TestRegisterBit(uint32_t offset, uint32_t bit);
    uint32_t ReadRingNumber(uint32_t statusOffset, bool readSide, uint32_t* pNumber);
    uint32_t ReadRingCount(uint32_t statusOffset, bool capture, uint32_t* pCount);
    uint32_t ReadCaptureEntry(const RingRegisters& ring, uint32_t index, uint32_t* pEntry);
    uint32_t ReadCaptureStamp(const RingRegisters& ring, uint32_t index, uint64_t* pTime);
    uint32_t ReadCardTime(uint32_t lowOffset, uint32_t highOffset, uint64_t* pTime);
    uint32_t WritePlaybackStamp(const RingRegisters& ring, int64_t time);
    uint32_t IsReadDone(const RingRegisters& ring);
    uint32_t FlushPlaybackRing(const RingRegisters& ring);
    // Writes one IIC engine command and waits for the engine.
    uint32_t IicEngineCommand(uint32_t command);
    uint32_t ChangeIicLineBit(uint32_t bit, uint32_t set);
    // Polls until the register reads non-zero.
    uint32_t WaitIndirectDone();

    volatile uint32_t* m_pMappedRegisters = nullptr;
    std::wstring m_strProductName;
    uint32_t m_bNoHardware = 0;
    uint32_t m_dwBlockBaseA = kDefaultBlockBaseA;
    uint32_t m_dwBlockBaseB = kDefaultBlockBaseB;
    uint32_t m_dwBlockBaseC = kDefaultBlockBaseC;
    uint32_t m_dwBlockBaseD = kDefaultBlockBaseD;
    card::CGlobalVars* m_pGlobalVars;
    platform::NamedMutex* m_pFpgaMutex;
    CPciBridge* m_pPciBridge;
};

}  // namespace velmora::hw

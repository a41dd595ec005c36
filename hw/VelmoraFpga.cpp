#include "hw/VelmoraFpga.h"

namespace velmora::hw {
namespace {

// Block B bits of this card.
constexpr uint32_t kBitVideoSourceLow = 14;
constexpr uint32_t kBitVideoSourceHigh = 15;
constexpr uint32_t kBitAudioSourceB = 16;
constexpr uint32_t kBitSourceMode = 17;
constexpr uint32_t kBitVideoRelayCh0 = 20;
constexpr uint32_t kBitAudioRelayCh0 = 21;
constexpr uint32_t kBitAudioRelayCh1 = 22;
// Block C bits of this card.
constexpr uint32_t kBitAsiInputCommit = 0;
constexpr uint32_t kBitAsiOutputCommit = 2;
constexpr uint32_t kBitAsiInputEnable = 4;
constexpr uint32_t kBitAsiPacketLength = 5;
constexpr uint32_t kBitAsiOutputModeOld = 6;
constexpr uint32_t kBitAudioSourceC = 18;
// Bits of the transport-stream control register 0x170 and status 0x16C.
constexpr uint32_t kBitRecordFlagCh0 = 4;
constexpr uint32_t kBitAsiOutputMode = 5;
constexpr uint32_t kBitCodeRateTrack = 6;
constexpr uint32_t kBitRecordFlagCh1 = 9;
constexpr uint32_t kBitOutputStatus = 7;

constexpr uint32_t kMaxDecoderIndex = 2;
constexpr uint32_t kRecordChannels = 7;

// B 15 and B 14 for decoder indexes 0 to 2.
struct VideoSourceBits {
    uint8_t high;
    uint8_t low;
};
constexpr VideoSourceBits kVideoSource5110[kMaxDecoderIndex + 1] = {{0, 1}, {1, 0}, {1, 0}};
constexpr VideoSourceBits kVideoSourceOther[kMaxDecoderIndex + 1] = {{0, 0}, {1, 0}, {1, 1}};

}  // namespace

CVelmoraFpga::CVelmoraFpga(CPciBridge* pPciBridge, card::CGlobalVars* pGlobalVars)
    : CIoCardFpga(pPciBridge, pGlobalVars) {}

CVelmoraFpga::~CVelmoraFpga() = default;

uint32_t CVelmoraFpga::GetRegisterBases(uint32_t vendorId, uint32_t deviceId, uint32_t* pBaseA,
                                        uint32_t* pBaseB, uint32_t* pBaseC, uint32_t* pBaseD) {
    return RegisterBasesSwappedOn(kSwappedVendorId, kSwappedDeviceId, vendorId, deviceId, pBaseA,
                                  pBaseB, pBaseC, pBaseD);
}

uint32_t CVelmoraFpga::SelectSyncFromChannel2() {
    return SelectSyncBits(0, 1);
}

uint32_t CVelmoraFpga::VideoRelayOn(uint32_t channel) {
    if (channel == 0) return WriteBlockBit(kBlockB, kBitVideoRelayCh0, 1);
    if (channel == 1) return WriteBlockBit(kBlockA, kBitVideoRelay, 1);
    return 1;
}

uint32_t CVelmoraFpga::VideoRelayOff(uint32_t channel) {
    if (channel == 0) return WriteBlockBit(kBlockB, kBitVideoRelayCh0, 0);
    if (channel == 1) return WriteBlockBit(kBlockA, kBitVideoRelay, 0);
    return 1;
}

uint32_t CVelmoraFpga::AudioRelayOn(uint32_t channel) {
    if (channel == 0) return WriteBlockBit(kBlockB, kBitAudioRelayCh0, 1);
    if (channel == 1) return WriteBlockBit(kBlockB, kBitAudioRelayCh1, 1);
    return 1;
}

uint32_t CVelmoraFpga::AudioRelayOff(uint32_t channel) {
    if (channel == 0) return WriteBlockBit(kBlockB, kBitAudioRelayCh0, 0);
    if (channel == 1) return WriteBlockBit(kBlockB, kBitAudioRelayCh1, 0);
    return 1;
}

bool CVelmoraFpga::ReadIsBoard5110(uint32_t* pIs5110) {
    uint32_t boardId = 0;
    if (!ReadBoardId(&boardId)) return false;
    *pIs5110 = (boardId == kBoardId5110 || boardId == kBoardId5111) ? 1 : 0;
    return true;
}

uint32_t CVelmoraFpga::SelectVideoSource(uint32_t, uint32_t decoderIndex) {
    if (decoderIndex > kMaxDecoderIndex) return 0;
    uint32_t is5110 = 0;
    if (!ReadIsBoard5110(&is5110)) return 0;
    uint32_t ok = 1;
    if (is5110) {
        ok &= WriteBlockBit(kBlockB, kBitVideoSourceHigh, 0);
        ok &= WriteBlockBit(kBlockB, kBitVideoSourceLow, 0);
    }
    const VideoSourceBits bits =
        is5110 ? kVideoSource5110[decoderIndex] : kVideoSourceOther[decoderIndex];
    ok &= WriteBlockBit(kBlockB, kBitVideoSourceHigh, bits.high);
    ok &= WriteBlockBit(kBlockB, kBitVideoSourceLow, bits.low);
    return ok;
}

uint32_t CVelmoraFpga::SelectAudioSource(uint32_t, uint32_t source) {
    // An invalid source must leave the routing as it was.
    if (source > 1) return 0;
    uint32_t is5110 = 0;
    if (!ReadIsBoard5110(&is5110)) return 0;
    if (is5110) {
        if (!WriteBlockBit(kBlockC, kBitAudioSourceC, 0) ||
            !WriteBlockBit(kBlockB, kBitAudioSourceB, 0)) {
            return 0;
        }
    }
    return source == 0 ? ClearAudioSourceBit() : SetAudioSourceBit();
}

uint32_t CVelmoraFpga::SelectSourceMode(uint32_t mode) {
    if (mode == 0) return SetSourceModeBit();
    if (mode == 1) return ClearSourceModeBit();
    return 1;
}

uint32_t CVelmoraFpga::ClearSourceModeBit() {
    return WriteBlockBit(kBlockB, kBitSourceMode, 0);
}

uint32_t CVelmoraFpga::SetSourceModeBit() {
    return WriteBlockBit(kBlockB, kBitSourceMode, 1);
}

uint32_t CVelmoraFpga::SetAudioSourceBit() {
    uint32_t is5110 = 0;
    if (!ReadIsBoard5110(&is5110)) return 0;
    if (!is5110) return WriteBlockBit(kBlockB, kBitAudioSourceB, 1);
    const uint32_t c = WriteBlockBit(kBlockC, kBitAudioSourceC, 1);
    const uint32_t b = WriteBlockBit(kBlockB, kBitAudioSourceB, 0);
    return c && b ? 1 : 0;
}

uint32_t CVelmoraFpga::ClearAudioSourceBit() {
    uint32_t is5110 = 0;
    if (!ReadIsBoard5110(&is5110)) return 0;
    if (!is5110) return WriteBlockBit(kBlockB, kBitAudioSourceB, 0);
    const uint32_t c = WriteBlockBit(kBlockC, kBitAudioSourceC, 0);
    const uint32_t b = WriteBlockBit(kBlockB, kBitAudioSourceB, 1);
    return c && b ? 1 : 0;
}

uint32_t CVelmoraFpga::StartTsCapture() {
    return WriteBlockBit(kBlockC, kBitAsiInputEnable, 1);
}

uint32_t CVelmoraFpga::StopTsCapture() {
    return WriteBlockBit(kBlockC, kBitAsiInputEnable, 0);
}

uint32_t CVelmoraFpga::ReadTsCaptureEnable(uint32_t* pOn) {
    return ReadBit(BlockBase(kBlockC), kBitAsiInputEnable, pOn);
}

uint32_t CVelmoraFpga::SetAsiPacketLength(uint32_t flag) {
    if (flag > 1) return 0;
    return WriteBlockBit(kBlockC, kBitAsiPacketLength, flag);
}

uint32_t CVelmoraFpga::GetAsiStatus(uint32_t* pStatus) {
    if (!pStatus) return 0;
    uint32_t version = 0;
    if (!GetFpgaVersion(&version)) {
        *pStatus = kFailedRead;
        return 0;
    }
    if (!ReadRegister(kRegTsStatus, pStatus)) return 0;
    if (version >= kAsiSplitVersion) *pStatus >>= 16;
    return 1;
}

uint32_t CVelmoraFpga::SetAsiOutputMode(uint32_t mode) {
    if (mode > 1) return 0;
    uint32_t version = 0;
    if (!GetFpgaVersion(&version)) return 0;
    if (version < kAsiSplitVersion) return WriteBlockBit(kBlockC, kBitAsiOutputModeOld, mode);
    return WriteBit(kRegTsControl, kBitAsiOutputMode, mode);
}

uint32_t CVelmoraFpga::ReadAsiOutputMode(uint32_t* pMode) {
    if (!pMode) return 0;
    uint32_t version = 0;
    if (!GetFpgaVersion(&version)) return 0;
    if (version < kAsiSplitVersion) return ReadBit(BlockBase(kBlockC), kBitAsiOutputModeOld, pMode);
    return ReadBit(kRegTsControl, kBitAsiOutputMode, pMode);
}

uint32_t CVelmoraFpga::ReservedOperationE(uint32_t) {
    return 1;
}

uint32_t CVelmoraFpga::WriteTsCaptureControl(ASI_RING_POINTER pointer) {
    return WriteRegister(kRegAsiInputReadPointer, &pointer);
}

uint32_t CVelmoraFpga::ReadTsCaptureStatus(ASI_RING_POINTER* pPointer) {
    return ReadRegister(kRegAsiInputWritePointer, pPointer);
}

uint32_t CVelmoraFpga::StrobeTsCaptureBuffer() {
    return StrobeBlockBit({kBlockC, kBitAsiInputCommit});
}

uint32_t CVelmoraFpga::ReservedOperationF(uint32_t) {
    return 1;
}

uint32_t CVelmoraFpga::WriteTsPlaybackControl(ASI_RING_POINTER pointer) {
    return WriteRegister(kRegAsiOutputWritePointer, &pointer);
}

uint32_t CVelmoraFpga::ReadTsPlaybackStatus(ASI_RING_POINTER* pPointer) {
    return ReadRegister(kRegAsiOutputReadPointer, pPointer);
}

uint32_t CVelmoraFpga::StrobeTsPlaybackBuffer() {
    return StrobeBlockBit({kBlockC, kBitAsiOutputCommit});
}

uint32_t CVelmoraFpga::WriteTsOutputParameters(uint8_t first, uint8_t second) {
    const uint32_t value = (uint32_t{second} << 8) | first;
    return WriteRegister(kRegTsOutputParameters, &value);
}

uint32_t CVelmoraFpga::WriteTsOutputWord(uint32_t word) {
    // A read-modify-write like any other: the parameter bytes written by
    // another thread between the read and the write must survive.
    FpgaLock lock(m_pFpgaMutex);
    if (!lock.Held()) return 0;
    uint32_t current = 0;
    if (!ReadRegister(kRegTsOutputParameters, &current)) return 0;
    const uint32_t value = (word << 16) | (current & 0xFFFF);
    return WriteRegister(kRegTsOutputParameters, &value);
}

uint32_t CVelmoraFpga::StartAsiCodeRateTrack(uint32_t flag) {
    return WriteBit(kRegTsControl, kBitCodeRateTrack, flag == 1 ? 1 : 0);
}

uint32_t CVelmoraFpga::IsTsOutputStatusBit7Set(uint32_t* pValue) {
    return ReadBit(kRegTsStatus, kBitOutputStatus, pValue);
}

uint32_t CVelmoraFpga::ReadTsMonitor380(uint32_t* pValue) {
    return ReadRegister(kRegTsMonitorFirst + 0x00, pValue);
}

uint32_t CVelmoraFpga::ReadTsMonitor384(uint32_t* pValue) {
    return ReadRegister(kRegTsMonitorFirst + 0x04, pValue);
}

uint32_t CVelmoraFpga::ReadTsMonitor388(uint32_t* pValue) {
    return ReadRegister(kRegTsMonitorFirst + 0x08, pValue);
}

uint32_t CVelmoraFpga::ReadTsMonitor38C(uint32_t* pValue) {
    return ReadRegister(kRegTsMonitorFirst + 0x0C, pValue);
}

uint32_t CVelmoraFpga::ReadTsMonitor390(uint32_t* pValue) {
    return ReadRegister(kRegTsMonitorFirst + 0x10, pValue);
}

uint32_t CVelmoraFpga::ReadTsMonitor394(uint32_t* pValue) {
    return ReadRegister(kRegTsMonitorFirst + 0x14, pValue);
}

uint32_t CVelmoraFpga::ReadTsMonitor398(uint32_t* pValue) {
    return ReadRegister(kRegTsMonitorFirst + 0x18, pValue);
}

uint32_t CVelmoraFpga::ReadTsMonitor39C(uint32_t* pValue) {
    return ReadRegister(kRegTsMonitorFirst + 0x1C, pValue);
}

uint32_t CVelmoraFpga::ReadTsMonitor3A0(uint32_t* pValue) {
    return ReadRegister(kRegTsMonitorFirst + 0x20, pValue);
}

uint32_t CVelmoraFpga::ReadTsPacketCounters(uint32_t* pCaptured, uint32_t* pSent) {
    if (!pCaptured || !pSent) return 0;
    return LatchAndRead(kRegCapturedPackets, pCaptured, kRegSentPackets, pSent);
}

uint32_t CVelmoraFpga::ReadCapturedPacketsAtWritePointer(uint32_t* pCaptured,
                                                         uint32_t* pWriteBefore,
                                                         uint32_t* pWriteAfter) {
    if (!pCaptured || !pWriteBefore || !pWriteAfter) return 0;
    return LatchBetweenReads(kRegAsiInputWritePointer, pWriteBefore, pWriteAfter,
                             kRegCapturedPackets, pCaptured);
}

uint32_t CVelmoraFpga::ReadCardStatus(uint32_t* pValue) {
    return ReadRegister(kRegStatus, pValue);
}

uint32_t CVelmoraFpga::ReadTsStatusCh1(uint32_t* pValue) {
    return ReadRegister(kRegTsControl, pValue);
}

uint32_t CVelmoraFpga::WriteRecordFlag(uint32_t channel, uint32_t value) {
    if (channel >= kRecordChannels) return 0;
    if (channel == 0) return WriteBit(kRegTsControl, kBitRecordFlagCh0, value);
    if (channel == 1) return WriteBit(kRegTsControl, kBitRecordFlagCh1, value);
    return 1;
}

uint32_t CVelmoraFpga::SetTsRecordFlag(uint32_t channel) {
    return WriteRecordFlag(channel, 1);
}

uint32_t CVelmoraFpga::ClearTsRecordFlag(uint32_t channel) {
    return WriteRecordFlag(channel, 0);
}

}  // namespace velmora::hw

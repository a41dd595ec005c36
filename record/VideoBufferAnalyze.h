#pragma once

// The T-STD model of a program's MPEG-1/2 video stream: the transport buffer
// TB, the multiplexing buffer MB and the elementary-stream buffer EB, sized
// from the first sequence header and its profile and level.

#include <cstdint>
#include <deque>

#include "record/CirBufferAnalyze.h"

namespace velmora::record {

class CBufferAnalyzeFrame;
class CBufferAnalyzeObserver;

// Maximum bit rate and VBV size of a profile and level; 0 when the pair is
// not defined.
struct PROFILE_LEVEL_LIMITS {
    uint32_t maxBitRate;  // bit/s
    uint32_t maxVbvBits;
};
PROFILE_LEVEL_LIMITS GetProfileLevelLimits(uint32_t profile, uint32_t level);

class CVideoBufferAnalyze {
  public:
    static constexpr int32_t kTbSize = 512;

    // Statuses of the packet input.
    static constexpr int32_t kRead = 1;
    static constexpr int32_t kNoStart = -1;
    static constexpr int32_t kOtherPid = -3;
    static constexpr int32_t kPastPacket = -4;
    static constexpr int32_t kNoSequenceExtension = -6;

    CVideoBufferAnalyze();
    CVideoBufferAnalyze(uint16_t pid, CBufferAnalyzeFrame* owner, uint8_t leak,
                        CBufferAnalyzeObserver* observer);
    virtual ~CVideoBufferAnalyze() = default;
    CVideoBufferAnalyze(const CVideoBufferAnalyze&) = delete;
    CVideoBufferAnalyze& operator=(const CVideoBufferAnalyze&) = delete;

    int32_t InputPacket(const uint8_t* packet, int32_t length, uint16_t pid);

    // The flow through the buffers; nothing chains them.
    // Queues the arrival time of every picture start code of the packet.
    void RecordPictureArrivals(const uint8_t* packet, int32_t length);
    // Whole transport packets leaving TB, in order (split anywhere): their
    // payload bytes go into MB.
    void OutputTransportBuffer(const uint8_t* bytes, int32_t length);
    // Bytes leaving MB up to `time` (27 MHz) into destination (at most
    // capacity): at Rbx while the leak flag is set, else at Rmax from the
    // decoding time of the next picture on. Returns the count.
    int32_t OutputMultiplexBuffer(double time, uint8_t* destination, int32_t capacity);
    // Bytes leaving MB: PES headers removed, their time stamps made the
    // removal times of the access units written into EB.
    void MoveToElementaryBuffer(const uint8_t* bytes, int32_t length);

    CCirBufferAnalyze& Tb() { return m_Tb; }
    CCirBufferAnalyze& Mb() { return m_Mb; }
    CCirBufferAnalyzeEB& Eb() { return m_Eb; }
    int32_t GetRbx() const { return m_nRbx; }
    int32_t GetRxn() const { return m_nRxn; }
    uint8_t GetLeak() const { return m_bLeak; }
    bool IsSequenceKnown() const { return m_bSequenceKnown; }
    bool IsScrambled() const { return m_bScrambled; }
    uint32_t GetBitRate() const { return m_dwBitRate; }
    double GetFrameRate() const { return m_dFrameRate; }
    const std::deque<double>& PictureArrivalTimes() const { return m_ArrivalTimes; }

  private:
    struct SEQUENCE_VALUES {
        uint32_t profile;
        uint32_t level;
        double frameRate;
        uint32_t bitRate;
        uint32_t lowDelay;
        uint32_t vbvBufferSize;  // bytes
        uint8_t streamId;
    };
    enum class PesState { kData, kHeader };

    void LookAtPictureHeader(const uint8_t* payload, int32_t n);
    int32_t ReadSequence(const uint8_t* payload, int32_t n, SEQUENCE_VALUES* values);
    void SizeBuffers(const SEQUENCE_VALUES& values);
    double OwnerRate() const;
    double OwnerTime() const;
    void Notify(uint32_t level, uint32_t index, double value);
    void WriteElementaryByte(uint8_t b);
    void EndPesHeader();
    double PictureInterval() const;

    uint16_t m_wPid = 8192;
    CCirBufferAnalyzeEB m_Eb;
    CCirBufferAnalyze m_Mb;
    CCirBufferAnalyze m_Tb{kTbSize, 1.0};
    double m_dLastDecodingTime = -1.0;
    int32_t m_nRbx = -1;
    int32_t m_nRxn = -1;
    uint32_t m_dwRmax = 0;
    bool m_bPictureLookedAt = false;
    double m_dLastOutputTime = 0.0;
    double m_dOutputCarry = 0.0;
    double m_dFramePeriod = -1.0;
    std::deque<double> m_ArrivalTimes;
    double m_dFrameRate = -1.0;
    uint8_t m_bLeak = 0;
    bool m_bSequenceKnown = false;
    bool m_bScrambled = false;
    SEQUENCE_VALUES m_Sequence{};
    uint32_t m_dwBitRate = 0;
    CBufferAnalyzeFrame* m_pOwner = nullptr;
    // Picture coding of the current and the previous picture.
    uint8_t m_bFieldPicture[2] = {};
    uint8_t m_bTopFieldFirst[2] = {};
    uint8_t m_bRepeatFirstField[2] = {};
    // Carries across calls.
    uint8_t m_PictureCarry[3] = {};
    int32_t m_nPictureCarry = 0;
    uint8_t m_TbCarry[188] = {};
    int32_t m_nTbCarry = 0;
    PesState m_PesState = PesState::kData;
    uint8_t m_PesHeader[9 + 255] = {};
    int32_t m_nPesHeader = 0;
    int32_t m_nPending = 0;  // held-back bytes of 00 00 01
    double m_dNextDecodingTime = -1.0;
    bool m_bAccessUnitOpen = false;
};

}  // namespace velmora::record

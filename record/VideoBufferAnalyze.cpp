#include "record/VideoBufferAnalyze.h"

#include <algorithm>
#include <cstdio>

#include "record/BufferAnalyzeFrame.h"
#include "record/RecordingTask.h"

namespace velmora::record {

namespace {

constexpr uint32_t kProfileRows = 6;
constexpr uint32_t kLevelColumns = 11;
constexpr uint32_t kUndefined = 0xFFFFFFFFu;
constexpr int32_t kPacketSize = 188;
constexpr double kClockHz = 27000000.0;
// Buffer indexes of the state records: TBsys 0, Bsys 1, then TB, MB, EB.
constexpr uint32_t kMbIndex = 3;
constexpr uint32_t kEbIndex = 4;

struct ProfileLevelTables {
    uint32_t rate[kProfileRows][kLevelColumns];
    uint32_t vbv[kProfileRows][kLevelColumns];
};

constexpr ProfileLevelTables MakeTables() {
    ProfileLevelTables t{};
    for (uint32_t p = 0; p < kProfileRows; ++p)
        for (uint32_t l = 0; l < kLevelColumns; ++l)
            t.rate[p][l] = t.vbv[p][l] = kUndefined;
    t.rate[4][4] = 80000000;
    t.vbv[4][4] = 9781248;
    t.rate[4][6] = 60000000;
    t.vbv[4][6] = 7340032;
    t.rate[4][8] = 15000000;
    t.vbv[4][8] = 1835008;
    t.rate[4][10] = 4000000;
    t.vbv[4][10] = 475136;
    t.rate[5][8] = 15000000;
    t.vbv[5][8] = 1835008;
    return t;
}
constexpr ProfileLevelTables kTables = MakeTables();

const double kFrameRates[9] = {-1.0, 24000.0 / 1001, 24.0,           25.0, 30000.0 / 1001,
                               30.0, 50.0,           60000.0 / 1001, 60.0};

bool IsStartCode(const uint8_t* p, uint8_t value) {
    return p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == value;
}

// Offset of the packet's payload, or kPacketSize when it has none.
int32_t PayloadOffset(const uint8_t* packet) {
    const uint32_t control = (packet[3] >> 4) & 0x03;
    if ((control & 1) == 0) return kPacketSize;
    return control == 3 ? std::min(kPacketSize, 5 + packet[4]) : 4;
}

}  // namespace

PROFILE_LEVEL_LIMITS GetProfileLevelLimits(uint32_t profile, uint32_t level) {
    if (profile >= kProfileRows || level >= kLevelColumns) return {0, 0};
    if (kTables.rate[profile][level] == kUndefined) return {0, 0};
    return {kTables.rate[profile][level], kTables.vbv[profile][level]};
}

CVideoBufferAnalyze::CVideoBufferAnalyze() = default;

CVideoBufferAnalyze::CVideoBufferAnalyze(uint16_t pid, CBufferAnalyzeFrame* owner, uint8_t leak,
                                         CBufferAnalyzeObserver* /*observer*/)
    : m_wPid(pid), m_bLeak(leak), m_pOwner(owner) {}

double CVideoBufferAnalyze::OwnerRate() const {
    return m_pOwner != nullptr ? m_pOwner->m_dTsBitRate : 0.0;
}

double CVideoBufferAnalyze::OwnerTime() const {
    return m_pOwner != nullptr ? m_pOwner->GetCurrentTime() : 0.0;
}

void CVideoBufferAnalyze::Notify(uint32_t level, uint32_t index, double value) {
    if (m_pOwner != nullptr) m_pOwner->NotifyBufferState(level, index, value);
}

void CVideoBufferAnalyze::LookAtPictureHeader(const uint8_t* payload, int32_t n) {
    for (int32_t i = 0; i + 7 < n; ++i) {
        if (!IsStartCode(payload + i, 0x00)) continue;
        const uint32_t vbvDelay =
            (payload[i + 5] & 0x07u) << 13 | payload[i + 6] << 5 | payload[i + 7] >> 3;
        if (vbvDelay == 0xFFFF) m_bLeak = 1;
        m_bPictureLookedAt = true;
        return;
    }
}

int32_t CVideoBufferAnalyze::InputPacket(const uint8_t* packet, int32_t length, uint16_t pid) {
    if (pid != m_wPid) return kOtherPid;
    if (packet == nullptr || length < kPacketSize) return kPastPacket;
    const int32_t offset = PayloadOffset(packet);
    const uint8_t* payload = packet + offset;
    const int32_t n = kPacketSize - offset;
    if (!m_bPictureLookedAt) LookAtPictureHeader(payload, n);
    if ((packet[1] & 0x40) == 0 || n <= 0) return kNoStart;
    if ((packet[3] & 0xC0) != 0) {
        m_bScrambled = true;
        return kRead;
    }
    SEQUENCE_VALUES values{};
    const int32_t status = ReadSequence(payload, n, &values);
    if (status != kRead) return status;
    if (!m_bSequenceKnown) {
        m_Sequence = values;
        m_bSequenceKnown = true;
        SizeBuffers(values);
    } else if (values.profile != m_Sequence.profile || values.level != m_Sequence.level ||
               values.vbvBufferSize != m_Sequence.vbvBufferSize ||
               values.frameRate != m_Sequence.frameRate || values.lowDelay != m_Sequence.lowDelay) {
        std::fprintf(stderr, "error:bufferinfo changed!\n");
    }
    return kRead;
}

int32_t CVideoBufferAnalyze::ReadSequence(const uint8_t* payload, int32_t n,
                                          SEQUENCE_VALUES* values) {
    if (n < 9) return kPastPacket;
    if (payload[0] != 0 || payload[1] != 0 || payload[2] != 1 || (payload[3] & 0xF0) != 0xE0)
        return kNoStart;
    int32_t s = 9 + payload[8];
    while (s + 12 <= n && !IsStartCode(payload + s, 0xB3))
        ++s;
    if (s + 12 > n) return kPastPacket;
    const uint8_t* seq = payload + s;
    const uint32_t frameRateCode = seq[7] & 0x0F;
    const uint32_t bitRateValue = seq[8] << 10 | seq[9] << 2 | seq[10] >> 6;
    const uint32_t vbvValue = (seq[10] & 0x1Fu) << 5 | seq[11] >> 3;
    const bool loadIntra = (seq[11] & 0x02) != 0;
    if (loadIntra && s + 12 + 64 > n) return kPastPacket;
    const bool loadNonIntra = (seq[loadIntra ? 11 + 64 : 11] & 0x01) != 0;
    const int32_t e = s + 12 + 64 * (loadIntra ? 1 : 0) + 64 * (loadNonIntra ? 1 : 0);
    if (e + 10 > n) return kPastPacket;
    const uint8_t* ext = payload + e;
    if (!IsStartCode(ext, 0xB5)) return kNoSequenceExtension;
    const uint32_t profileAndLevel = (ext[4] & 0x0Fu) << 4 | ext[5] >> 4;
    const uint32_t bitRateExtension = (ext[6] & 0x1Fu) << 7 | ext[7] >> 1;
    values->streamId = payload[3];
    values->profile = (profileAndLevel >> 4) & 0x07;
    values->level = profileAndLevel & 0x0F;
    values->frameRate = frameRateCode <= 8 ? kFrameRates[frameRateCode] : -1.0;
    values->bitRate = (bitRateValue + (bitRateExtension << 18)) * 400u;
    values->lowDelay = ext[9] >> 7;
    values->vbvBufferSize = (vbvValue + (static_cast<uint32_t>(ext[8]) << 10)) * 2048u;
    return kRead;
}

void CVideoBufferAnalyze::SizeBuffers(const SEQUENCE_VALUES& values) {
    m_dFrameRate = values.frameRate;
    m_dwBitRate = values.bitRate;
    m_dFramePeriod = values.frameRate > 0 ? kClockHz / values.frameRate : -1.0;
    const PROFILE_LEVEL_LIMITS limits = GetProfileLevelLimits(values.profile, values.level);
    // Outside the defined profiles and levels, or with a VBV buffer larger
    // than the level allows, the sizes would be meaningless: no model.
    if (limits.maxBitRate == 0 || values.vbvBufferSize > limits.maxVbvBits / 8) return;
    m_dwRmax = limits.maxBitRate;
    m_Eb.Resize(static_cast<int32_t>(values.vbvBufferSize), 3.0);
    int64_t mbSize =
        static_cast<int64_t>(m_dwRmax) / 750 / 8 + static_cast<int64_t>(m_dwRmax * 0.004 / 8);
    if (values.level == 4 || values.level == 6) {
        m_nRbx =
            static_cast<int32_t>(std::min(static_cast<double>(m_dwRmax), 1.05 * values.bitRate));
    } else {
        mbSize += limits.maxVbvBits / 8 - static_cast<int64_t>(values.vbvBufferSize);
        m_nRbx = static_cast<int32_t>(m_dwRmax);
    }
    m_Mb.Resize(static_cast<int32_t>(mbSize), 3.0);
    m_nRxn = static_cast<int32_t>(1.2 * m_dwRmax);
}

void CVideoBufferAnalyze::RecordPictureArrivals(const uint8_t* packet, int32_t length) {
    if (packet == nullptr || length < kPacketSize || (packet[1] & 0x80) != 0) return;
    int32_t offset = PayloadOffset(packet);
    if (offset >= kPacketSize) return;
    if ((packet[1] & 0x40) != 0) {
        m_nPictureCarry = 0;
        const uint8_t* pes = packet + offset;
        if (offset + 9 <= kPacketSize && pes[0] == 0 && pes[1] == 0 && pes[2] == 1)
            offset = std::min(kPacketSize, offset + 9 + pes[8]);
    }
    uint8_t window[3 + kPacketSize];
    std::copy(m_PictureCarry, m_PictureCarry + m_nPictureCarry, window);
    const int32_t n = m_nPictureCarry + (kPacketSize - offset);
    std::copy(packet + offset, packet + kPacketSize, window + m_nPictureCarry);
    const double rate = OwnerRate();
    for (int32_t i = 0; i + 4 <= n; ++i) {
        if (IsStartCode(window + i, 0x00)) {
            const int32_t position = offset + i - m_nPictureCarry;
            const double delay = rate > 0 ? std::max(0, position) * 8.0 / rate * kClockHz : 0.0;
            m_ArrivalTimes.push_back(OwnerTime() + delay);
        } else if (IsStartCode(window + i, 0xB5) && i + 8 <= n && (window[i + 4] >> 4) == 8) {
            // Picture coding extension: the timing of field pictures and
            // repeated fields.
            m_bFieldPicture[1] = m_bFieldPicture[0];
            m_bTopFieldFirst[1] = m_bTopFieldFirst[0];
            m_bRepeatFirstField[1] = m_bRepeatFirstField[0];
            m_bFieldPicture[0] = (window[i + 6] & 0x03) != 3;
            m_bTopFieldFirst[0] = window[i + 7] >> 7;
            m_bRepeatFirstField[0] = (window[i + 7] >> 1) & 1;
        }
    }
    m_nPictureCarry = std::min(3, n);
    std::copy(window + n - m_nPictureCarry, window + n, m_PictureCarry);
}

void CVideoBufferAnalyze::OutputTransportBuffer(const uint8_t* bytes, int32_t length) {
    while (bytes != nullptr && length > 0) {
        const int32_t take = std::min(length, kPacketSize - m_nTbCarry);
        std::copy(bytes, bytes + take, m_TbCarry + m_nTbCarry);
        m_nTbCarry += take;
        bytes += take;
        length -= take;
        if (m_nTbCarry < kPacketSize) return;
        m_nTbCarry = 0;
        const int32_t offset = PayloadOffset(m_TbCarry);
        if (offset >= kPacketSize) continue;
        m_Mb.Write(m_TbCarry + offset, kPacketSize - offset);
        if (m_Mb.GetFillLength() > m_Mb.GetSize()) Notify(1, kMbIndex, m_Mb.GetFullnessRatio());
    }
}

int32_t CVideoBufferAnalyze::OutputMultiplexBuffer(double time, uint8_t* destination,
                                                   int32_t capacity) {
    const double elapsed = time - m_dLastOutputTime;
    m_dLastOutputTime = time;
    // The leak method drains at Rbx; the vbv_delay method moves data at
    // Rmax, beginning with the first decoding time.
    const bool started = m_bLeak != 0 || (m_dLastDecodingTime >= 0 && time >= m_dLastDecodingTime);
    const double rate = m_bLeak != 0 ? m_nRbx : static_cast<double>(m_dwRmax);
    if (!started || rate <= 0 || elapsed <= 0 || destination == nullptr) return 0;
    const double amount = rate / 8.0 * elapsed / kClockHz + m_dOutputCarry;
    const int32_t whole = static_cast<int32_t>(std::min(amount, static_cast<double>(capacity)));
    m_dOutputCarry = std::min(amount - whole, 1.0);
    return m_Mb.ReadAtMost(destination, whole);
}

double CVideoBufferAnalyze::PictureInterval() const {
    if (m_dFramePeriod <= 0) return 0.0;
    double interval = m_bFieldPicture[1] ? m_dFramePeriod / 2 : m_dFramePeriod;
    if (!m_bFieldPicture[1] && m_bRepeatFirstField[1]) interval += m_dFramePeriod / 2;
    return interval;
}

void CVideoBufferAnalyze::WriteElementaryByte(uint8_t b) {
    m_Eb.Write(&b, 1);
    m_bAccessUnitOpen = true;
}

void CVideoBufferAnalyze::EndPesHeader() {
    const uint32_t flags = m_PesHeader[7] >> 6;
    const uint32_t headerLength = m_PesHeader[8];
    double time = m_dLastDecodingTime >= 0 ? m_dLastDecodingTime + PictureInterval() : -1.0;
    if (flags == 3 && headerLength >= 10)
        time = static_cast<double>(ReadTimeStamp33(m_PesHeader + 14) * 300);
    else if (flags >= 2 && headerLength >= 5)
        time = static_cast<double>(ReadTimeStamp33(m_PesHeader + 9) * 300);
    if (m_bAccessUnitOpen) m_Eb.PushAccessUnit(m_dNextDecodingTime);
    m_bAccessUnitOpen = false;
    m_dNextDecodingTime = time;
    m_dLastDecodingTime = time;
}

void CVideoBufferAnalyze::MoveToElementaryBuffer(const uint8_t* bytes, int32_t length) {
    static constexpr uint8_t kPrefix[3] = {0, 0, 1};
    for (int32_t k = 0; bytes != nullptr && k < length; ++k) {
        const uint8_t b = bytes[k];
        if (m_PesState == PesState::kHeader) {
            m_PesHeader[m_nPesHeader++] = b;
            if (m_nPesHeader >= 9 && m_nPesHeader == 9 + m_PesHeader[8]) {
                EndPesHeader();
                m_PesState = PesState::kData;
            }
            continue;
        }
        // Held back: up to two zero bytes, then a one, that may begin a PES
        // start code.
        if (m_nPending == 3) {
            if ((b & 0xF0) == 0xE0) {
                std::copy(kPrefix, kPrefix + 3, m_PesHeader);
                m_PesHeader[3] = b;
                m_nPesHeader = 4;
                m_nPending = 0;
                m_PesState = PesState::kHeader;
                continue;
            }
            for (const uint8_t held : kPrefix)
                WriteElementaryByte(held);
            m_nPending = 0;
        }
        if (b == 0) {
            if (m_nPending == 2)
                WriteElementaryByte(0);
            else
                ++m_nPending;
            continue;
        }
        if (b == 1 && m_nPending == 2) {
            m_nPending = 3;
            continue;
        }
        for (; m_nPending > 0; --m_nPending)
            WriteElementaryByte(0);
        WriteElementaryByte(b);
    }
    if (m_Eb.GetFillLength() > m_Eb.GetSize()) Notify(1, kEbIndex, m_Eb.GetFullnessRatio());
}

}  // namespace velmora::record

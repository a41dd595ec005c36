#include "record/BufferAnalyzeFrame.h"

#include <algorithm>
#include <cstring>

#include "record/CirBufferAnalyze.h"
#include "record/SystemBufferAnalyze.h"
#include "record/VideoBufferAnalyze.h"

namespace velmora::record {

namespace {

constexpr int32_t kPacketSize = 188;
constexpr double kClockHz = 27000000.0;
constexpr uint8_t kStdDescriptorTag = 0x11;
constexpr int32_t kCrcSize = 4;

uint16_t Pid(const uint8_t* packet) {
    return static_cast<uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
}

}  // namespace

CBufferAnalyzeFrame::CBufferAnalyzeFrame() = default;

CBufferAnalyzeFrame::CBufferAnalyzeFrame(uint16_t pmtPid, uint32_t programId, void* pClient)
    : m_dwProgramId(programId),
      m_wPmtPid(pmtPid),
      m_pSystem(std::make_unique<CSystemBufferAnalyze>(pmtPid, this)),
      m_pClient(pClient) {}

CBufferAnalyzeFrame::~CBufferAnalyzeFrame() = default;

void CBufferAnalyzeFrame::ClearSectionState() {
    m_nSectionCollected = 0;
    m_dwLastCounter = 0;
    m_nSectionMissing = 0;
}

void CBufferAnalyzeFrame::Reset() {
    m_pVideo.reset();
    m_pSystem.reset();
    m_Streams.clear();
    m_dLastPcrTime = 0.0;
    m_dCurrentTime = 0.0;
    m_dTsBitRate = 0.0;
    m_nBytesSincePcr = 0;
    m_wPcrPid = kNoPid;
    m_pSystem = std::make_unique<CSystemBufferAnalyze>(m_wPmtPid, this);
    m_bLeak = 1;
    ClearSectionState();
    m_bPmtParsed = false;
}

uint32_t CBufferAnalyzeFrame::NotifyBufferState(uint32_t level, uint32_t bufferIndex, double time) {
    if (m_pObserver == nullptr || bufferIndex >= kBufferRecords) return 0;
    m_States[bufferIndex].dwLevel = level;
    m_States[bufferIndex].dTime = time;
    m_pObserver->OnBufferState(m_States[bufferIndex], bufferIndex);
    return 0;
}

void CBufferAnalyzeFrame::InputPacket(const uint8_t* pPacket, int32_t length, uint32_t /*flag*/) {
    if (pPacket == nullptr || length < kPacketSize || pPacket[0] != 0x47) return;
    m_nBytesSincePcr += static_cast<uint32_t>(length);
    const uint16_t pid = Pid(pPacket);
    if (!m_bPmtParsed) {
        if (pid != m_wPmtPid) return;
        if (AssemblePmtSection(pPacket) == 1) {
            ParsePmt();
            m_bPmtParsed = true;
        }
    }
    const bool clock =
        pid == m_wPcrPid && (pPacket[3] & 0x20) != 0 && pPacket[4] != 0 && (pPacket[5] & 0x10) != 0;
    if (clock) {
        ReadClock(pPacket);
    } else if (m_dTsBitRate != 0.0) {
        m_dCurrentTime += length * 8.0 / m_dTsBitRate * kClockHz;
    }
}

void CBufferAnalyzeFrame::ReadClock(const uint8_t* pPacket) {
    if ((pPacket[5] & 0x80) != 0) {
        Reset();
        return;
    }
    const uint8_t* p = pPacket + 6;
    const int64_t base = static_cast<int64_t>(p[0]) << 25 | static_cast<int64_t>(p[1]) << 17 |
                         static_cast<int64_t>(p[2]) << 9 | static_cast<int64_t>(p[3]) << 1 |
                         p[4] >> 7;
    const int64_t extension = (p[4] & 0x01) << 8 | p[5];
    const double pcr = static_cast<double>(base * 300 + extension);
    if (m_dLastPcrTime != 0.0 && pcr == m_dLastPcrTime) return;  // no time passed: keep the rate
    m_dCurrentTime = pcr;
    if (m_dLastPcrTime != 0.0) {
        const double rate = m_nBytesSincePcr * 8.0 / (pcr - m_dLastPcrTime) * kClockHz;
        if (rate < 0.0) {
            Reset();
            return;
        }
        m_dTsBitRate = rate;
    }
    m_dLastPcrTime = pcr;
    m_nBytesSincePcr = 0;
}

int32_t CBufferAnalyzeFrame::AssemblePmtSection(const uint8_t* pPacket) {
    if (pPacket == nullptr || pPacket[0] != 0x47 || (pPacket[1] & 0x80) != 0 ||
        (pPacket[3] & 0xC0) != 0 || (pPacket[3] & 0x10) == 0)
        return -1;
    const uint32_t control = (pPacket[3] >> 4) & 0x03;
    const int32_t payload = 4 + (control == 3 ? pPacket[4] + 1 : 0);
    const uint32_t counter = pPacket[3] & 0x0F;
    if (counter == m_dwLastCounter) return -1;
    if (counter != ((m_dwLastCounter + 1) & 0x0F)) m_nSectionMissing = 0;
    m_dwLastCounter = counter;
    if (payload >= kPacketSize) return -3;
    if ((pPacket[1] & 0x40) != 0) {
        m_nSectionCollected = 0;
        m_nSectionMissing = 0;
        const int32_t start = payload + 1 + pPacket[payload];
        if (start + 3 > kPacketSize) return -1;
        const int32_t total = ((pPacket[start + 1] & 0x0F) << 8 | pPacket[start + 2]) + 3;
        if (total < 8 || total > kSectionBufferSize) return -1;
        const int32_t copied = std::min(total, kPacketSize - start);
        std::memcpy(m_Section, pPacket + start, static_cast<size_t>(copied));
        m_nSectionCollected = copied;
        m_nSectionMissing = total - copied;
        return m_nSectionMissing == 0 ? 1 : 0;
    }
    if (m_nSectionMissing == 0) return -1;
    const int32_t n = std::min(m_nSectionMissing, kPacketSize - payload);
    std::memcpy(m_Section + m_nSectionCollected, pPacket + payload, static_cast<size_t>(n));
    m_nSectionCollected += n;
    m_nSectionMissing -= n;
    return m_nSectionMissing == 0 ? 1 : 0;
}

void CBufferAnalyzeFrame::ParsePmt() {
    const uint8_t* s = m_Section;
    const int32_t total = m_nSectionCollected;
    if (total < 12 + kCrcSize) return;
    m_wPcrPid = static_cast<uint16_t>((s[8] & 0x1F) << 8 | s[9]);
    const int32_t end = total - kCrcSize;
    int32_t pos = 12 + ((s[10] & 0x0F) << 8 | s[11]);
    while (pos + 5 <= end) {
        const uint8_t streamType = s[pos];
        const uint16_t pid = static_cast<uint16_t>((s[pos + 1] & 0x1F) << 8 | s[pos + 2]);
        const int32_t infoEnd = std::min(end, pos + 5 + ((s[pos + 3] & 0x0F) << 8 | s[pos + 4]));
        for (int32_t d = pos + 5; d + 2 <= infoEnd; d += 2 + s[d + 1]) {
            if (s[d] == kStdDescriptorTag && s[d + 1] >= 1 && d + 2 < infoEnd &&
                (s[d + 2] & 0x01) == 0)
                m_bLeak = 0;
        }
        if (m_pVideo == nullptr && (streamType == 1 || streamType == 2))
            m_pVideo = std::make_unique<CVideoBufferAnalyze>(pid, this, m_bLeak, m_pObserver);
        pos = infoEnd;
    }
}

CCirBufferAnalyze* CBufferAnalyzeFrame::SelectBuffer(uint32_t kind, uint32_t category,
                                                     int32_t index, bool* known) {
    *known =
        (category == kCategoryVideo && kind <= 2) ||
        ((category == kCategoryStream || category == kCategorySystem) && (kind == 0 || kind == 3));
    if (!*known) return nullptr;
    if (category == kCategoryVideo) {
        if (m_pVideo == nullptr) return nullptr;
        if (kind == 0) return &m_pVideo->Tb();
        return kind == 1 ? &m_pVideo->Mb() : &m_pVideo->Eb();
    }
    CSystemBufferAnalyze* model = m_pSystem.get();
    if (category == kCategoryStream)
        model = index >= 0 && static_cast<size_t>(index) < m_Streams.size()
                    ? m_Streams[static_cast<size_t>(index)].get()
                    : nullptr;
    if (model == nullptr) return nullptr;
    return kind == 0 ? &model->TBsys() : &model->Bsys();
}

uint32_t CBufferAnalyzeFrame::GetBufferSize(uint32_t kind, uint32_t category, int32_t index) {
    if (!m_bPmtParsed) return 0;
    bool known = false;
    const CCirBufferAnalyze* buffer = SelectBuffer(kind, category, index, &known);
    if (!known) return 0xFFFFFFFFu;
    return buffer != nullptr ? static_cast<uint32_t>(buffer->GetSize()) : 0;
}

int32_t CBufferAnalyzeFrame::GetBufferFullness(uint32_t kind, uint32_t category, int32_t index) {
    if (!m_bPmtParsed) return 0;
    bool known = false;
    const CCirBufferAnalyze* buffer = SelectBuffer(kind, category, index, &known);
    if (!known) return -1;
    return buffer != nullptr ? buffer->GetFillLength() : 0;
}

double CBufferAnalyzeFrame::GetBufferFullnessRatio(uint32_t kind, uint32_t category,
                                                   int32_t index) {
    if (!m_bPmtParsed) return 0.0;
    bool known = false;
    const CCirBufferAnalyze* buffer = SelectBuffer(kind, category, index, &known);
    if (!known) return -1.0;
    return buffer != nullptr ? buffer->GetFullnessRatio() : 0.0;
}

}  // namespace velmora::record

#include "record/TsBufferAnalyzeFeeder.h"

#include <algorithm>

#include "platform/Time.h"
#include "record/BufferAnalyzeFrame.h"
#include "ts/LockedRingBuffer.h"

namespace velmora::record {

namespace {

constexpr uint32_t kPacketSize = 188;

}  // namespace

CTsBufferAnalyzeFeeder::CTsBufferAnalyzeFeeder(ts::CLockedRingBuffer* pRing) : m_pRing(pRing) {}

CTsBufferAnalyzeFeeder::~CTsBufferAnalyzeFeeder() {
    // The thread reads the ring and the analyser: it ends before they go.
    if (m_bRunning.load() != 0 || m_Thread.IsRunning()) Stop();
}

bool CTsBufferAnalyzeFeeder::Start(CTsBufferAnalyzeClient* pClient) {
    if (pClient == nullptr || m_pRing == nullptr || m_Thread.IsRunning()) return false;
    m_pClient = pClient;
    if (!FindProgramMapPid()) {
        m_pClient = nullptr;
        return false;
    }
    // Raised before the thread starts, so that a Stop right after Start is
    // never undone by the thread.
    m_bRunning = 1;
    m_Thread.Join();
    if (!m_Thread.Start([this] { return ThreadProc(); })) {
        m_bRunning = 0;
        return false;
    }
    return true;
}

bool CTsBufferAnalyzeFeeder::ReadPacket(uint8_t* packet) {
    uint32_t fill = 0;
    uint32_t contiguous = 0;
    if (m_pRing->GetFillCount(&fill, &contiguous) == 0 || fill == 0) return false;
    return m_pRing->Read(packet, kPacketSize) != 0;
}

uint16_t CTsBufferAnalyzeFeeder::PmtPidFromPat(const uint8_t* p) const {
    const uint32_t pid = static_cast<uint32_t>(p[1] & 0x1F) << 8 | p[2];
    if (pid != 0 || (p[1] & 0x80) != 0 || (p[1] & 0x40) == 0 || (p[3] & 0x10) == 0) return kNoPid;
    const uint32_t control = (p[3] >> 4) & 0x03;
    const uint32_t offset = control == 3 ? p[4] + 1u : 0u;
    if (offset >= kPacketSize - 4) return kNoPid;
    const uint32_t start = 4 + offset + 1 + p[4 + offset];
    if (start + 8 > kPacketSize) return kNoPid;
    const uint8_t* s = p + start;
    const uint32_t total = (static_cast<uint32_t>(s[1] & 0x0F) << 8 | s[2]) + 3;
    if (total < 8 || total > 1024 || s[0] != 0 || (s[5] & 0x01) == 0 || (s[1] & 0x80) == 0)
        return kNoPid;
    // Only what this packet holds of the section is read.
    const uint32_t end = std::min(total, kPacketSize - start);
    for (uint32_t pos = 8; pos + 4 + 4 <= total && pos + 4 <= end; pos += 4) {
        const uint32_t program = static_cast<uint32_t>(s[pos]) << 8 | s[pos + 1];
        if (program != 0) return static_cast<uint16_t>((s[pos + 2] & 0x1F) << 8 | s[pos + 3]);
    }
    return kNoPid;
}

bool CTsBufferAnalyzeFeeder::FindProgramMapPid() {
    if (m_pRing == nullptr) return false;
    uint8_t packet[kPacketSize];
    uint32_t read = 0;
    uint32_t idleMs = 0;
    while (read < kPatSearchPackets) {
        if (!ReadPacket(packet)) {
            if (idleMs++ >= kEmptyRingTimeoutMs) return false;
            platform::Sleep(1);
            continue;
        }
        idleMs = 0;
        ++read;
        const uint16_t pmtPid = PmtPidFromPat(packet);
        if (pmtPid == kNoPid) continue;
        m_wPmtPid = pmtPid;
        m_pFrame = std::make_unique<CBufferAnalyzeFrame>(pmtPid, 0, m_pClient);
        return true;
    }
    return false;
}

uint32_t CTsBufferAnalyzeFeeder::ThreadProc() {
    Run();
    return 0;
}

void CTsBufferAnalyzeFeeder::Run() {
    uint8_t packet[kPacketSize];
    while (m_bRunning.load() != 0) {
        if (ReadPacket(packet))
            m_pFrame->InputPacket(packet, kPacketSize, 0);
        else
            platform::Sleep(1);
        m_pClient->OnFeederRunning(m_bRunning.load());
    }
}

bool CTsBufferAnalyzeFeeder::Stop() {
    m_bRunning = 0;
    if (m_pClient != nullptr) m_pClient->OnFeederRunning(0);
    m_Thread.Join();
    return true;
}

}  // namespace velmora::record

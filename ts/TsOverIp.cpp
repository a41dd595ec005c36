#include "ts/TsOverIp.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdio>
#include <mutex>

#include "card/LogFile.h"
#include "platform/TextConv.h"
#include "platform/Time.h"
#include "ts/CirBuffer.h"
#include "ts/LockedRingBuffer.h"
#include "ts/Socket.h"
#include "ts/UDPSender.h"

namespace velmora::ts {

namespace ts_over_ip {

namespace {
// A private address until Open takes the host's first one.
constexpr char kDefaultLocalAddress[] = "192.168.1.2";
// The receiver binds every local address.
constexpr char kWildcardAddress[] = "0.0.0.0";

TS_OVER_IP_SETTINGS DefaultSettings() {
    return TS_OVER_IP_SETTINGS{kDefaultGroup, kDefaultPort, 0, 188, 0, 0};
}

// Standard error, not standard output, which may carry the application's
// stream; and the log, when there is one.
void SayNoAddress(card::CLogFile* pLog) {
    std::fputs("No ip address!\n", stderr);
    if (pLog) pLog->WriteLog(L"No ip address!");
}

// Waits up to `timeoutMs` (the socket time-out unless given) for `events` on
// `handle`.
bool WaitSocket(int handle, short events, int timeoutMs = kSocketWaitUs / 1000) {
    pollfd p{handle, events, 0};
    return handle >= 0 && ::poll(&p, 1, timeoutMs) > 0;
}

// A host name of letters, digits and hyphens in dot-separated labels.
bool IsHostName(const std::string& text) {
    if (text.empty() || text.size() > 253) return false;
    size_t label = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : '.';
        if (c == '.') {
            if (label == 0 || label > 63 || text[i - 1] == '-' || text[i - label] == '-') {
                return false;
            }
            label = 0;
        } else if (std::isalnum(uint8_t(c)) || c == '-') {
            ++label;
        } else {
            return false;
        }
    }
    return true;
}
}  // namespace

bool IsAddress(const std::string& text) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) == 1) return true;
    // Digits and dots that did not parse are a broken dotted address, not a name.
    const bool numeric = text.find_first_not_of("0123456789.") == std::string::npos;
    return !numeric && IsHostName(text);
}

bool MatchesCardPacketLength(uint32_t ipPacketLength, uint32_t cardPacketLength,
                             card::CLogFile* pLog) {
    if (ipPacketLength == cardPacketLength) return true;
    if (pLog) {
        pLog->WriteLog(L"TsOverIp: packet length %u differs from the card's %u", ipPacketLength,
                       cardPacketLength);
    }
    return false;
}

uint32_t TakeParameter(const TS_OVER_IP_PARAM& param, TS_OVER_IP_SETTINGS* pSettings) {
    if (param.pszAddress == nullptr || param.dwPort > 65535) return 0;
    // Port 0 would send nowhere, or bind a port nobody can learn.
    if (param.dwPort == 0) {
        card::g_LogFile.WriteLog(L"TsOverIp: port 0 refused");
        return 0;
    }
    if (param.dwPacketLength != 188 && param.dwPacketLength != 204) return 0;
    std::string address = platform::WideToUtf8(param.pszAddress);
    if (address.size() >= kAddressSize || !IsAddress(address)) return 0;
    pSettings->strAddress = std::move(address);
    pSettings->dwPort = param.dwPort;
    pSettings->dwReserved = param.dwReserved;
    pSettings->dwPacketLength = param.dwPacketLength;
    pSettings->dwRtp = param.dwRtp != 0 ? 1 : 0;
    pSettings->dwFlag = param.dwFlag != 0 ? 1 : 0;
    return 1;
}

bool SelectsGroup(const std::string& address) {
    uint32_t octet = 0;
    size_t digits = 0;
    while (digits < 3 && digits < address.size() && std::isdigit(uint8_t(address[digits]))) {
        octet = octet * 10 + (address[digits++] - '0');
    }
    return digits > 0 && octet >= 224 && octet <= 239;
}

}  // namespace ts_over_ip

using namespace ts_over_ip;

// --- Sender -----------------------------------------------------------------

CTsOverIpMulticast::CTsOverIpMulticast(card::CLogFile* pLog)
    : m_Parameters(DefaultSettings()),
      m_dwDatagramSize(kPacketsPerDatagram * m_Parameters.dwPacketLength),
      m_strLocalAddress(kDefaultLocalAddress),
      m_Active(m_Parameters),
      m_pLog(pLog) {}

CTsOverIpMulticast::~CTsOverIpMulticast() {
    Close();
}

uint32_t CTsOverIpMulticast::SetParameter(TS_OVER_IP_PARAM param) {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    if (!TakeParameter(param, &m_Parameters)) return 0;
    m_bMulticast = SelectsGroup(m_Parameters.strAddress) ? 1 : 0;
    if (!IsOpen()) m_dwDatagramSize = kPacketsPerDatagram * m_Parameters.dwPacketLength;
    return 1;
}

void CTsOverIpMulticast::ReleaseResources() {
    if (m_pSendRing != nullptr) m_pSendRing->Free();
    delete m_pSendRing;
    m_pSendRing = nullptr;
    delete m_pUdp;
    m_pUdp = nullptr;
    delete m_pRtp;
    m_pRtp = nullptr;
    delete m_pUdpSender;
    m_pUdpSender = nullptr;
}

uint32_t CTsOverIpMulticast::Open() {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    if (IsOpen()) return 1;
    m_Active = m_Parameters;
    m_bActiveMulticast = m_bMulticast;
    m_dwDatagramSize = kPacketsPerDatagram * m_Active.dwPacketLength;
    const uint16_t port = static_cast<uint16_t>(m_Active.dwPort);

    m_pSendRing = new CLockedRingBuffer;
    m_pSendRing->SetSize(kRingPackets, m_Active.dwPacketLength);
    bool made = m_pSendRing->Allocate() != 0;
    if (made && !m_bActiveMulticast) {
        m_pUdpSender = new CUDPSender(m_pLog);
        made = m_pUdpSender->Connect(m_Active.strAddress.c_str(), port) == 0;
    } else if (made) {
        m_LocalAddresses.clear();
        if (!GetLocalIPList(&m_LocalAddresses) || m_LocalAddresses.empty()) {
            SayNoAddress(m_pLog);
            made = false;
        } else {
            m_strLocalAddress = m_LocalAddresses.front();
            Udp* socket = m_Active.dwRtp ? (m_pRtp = new Rtp(m_pLog)) : (m_pUdp = new Udp(m_pLog));
            made = socket->Open(m_strLocalAddress.c_str(), m_wLocalPort) &&
                   socket->Connect(m_Active.strAddress.c_str(), port, Udp::kModeSend);
        }
    }
    m_bStopped = 0;
    if (!made || !m_SendThread.Start([this] { return SendThread(); })) {
        m_bStopped = 1;
        ReleaseResources();
        return 0;
    }
    return 1;
}

uint32_t CTsOverIpMulticast::Close() {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    if (!IsOpen()) return 1;
    m_bStopped = 1;
    m_SendThread.Join();
    ReleaseResources();
    return 1;
}

uint32_t CTsOverIpMulticast::GetPacketLength() {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    return m_Parameters.dwPacketLength;
}

uint32_t CTsOverIpMulticast::GetEmptyBufferNum(uint32_t* pCount) {
    if (pCount == nullptr || m_pSendRing == nullptr) return 0;
    uint32_t contiguous = 0;
    return m_pSendRing->GetFreeCount(pCount, &contiguous);
}

uint32_t CTsOverIpMulticast::WritePackets(const void* pSource, uint32_t count) {
    if (m_pSendRing == nullptr) return 0;
    return m_pSendRing->Write(pSource, count * m_Active.dwPacketLength);
}

uint32_t CTsOverIpMulticast::SendTo(const void* pData, uint32_t count) {
    if (m_Active.dwRtp) return 1;
    if (pData == nullptr || count < 1 || count > kPacketsPerDatagram || !IsOpen()) return 0;
    const uint32_t bytes = count * m_Active.dwPacketLength;
    if (m_pUdpSender != nullptr) {
        const int handle = m_pUdpSender->GetHandle();
        const sockaddr_in& to = m_pUdpSender->GetDestination();
        return WaitSocket(handle, POLLOUT) &&
                       ::sendto(handle, pData, bytes, MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), sizeof(to)) > 0
                   ? 1
                   : 0;
    }
    return m_pUdp != nullptr && m_pUdp->Send(pData, bytes, kSocketWaitUs) > 0 ? 1 : 0;
}

bool CTsOverIpMulticast::SendDatagram(uint8_t* pDatagram, uint16_t* pSequence) {
    const uint32_t payload = kPacketsPerDatagram * m_Active.dwPacketLength;
    const uint8_t* packets = pDatagram + kRtpHeaderSize;
    if (m_pUdpSender != nullptr && m_Active.dwRtp) {
        WriteRtpHeader(pDatagram, kPayloadType, false, (*pSequence)++, platform::TickCount(), 0);
        return m_pUdpSender->Send(pDatagram, kRtpHeaderSize + payload) == 0;
    }
    if (m_pUdpSender != nullptr) return m_pUdpSender->Send(packets, payload) == 0;
    if (m_pRtp != nullptr) {
        return m_pRtp->Send(packets, payload, kPayloadType, platform::TickCount(), 0, false,
                            kSocketWaitUs) > 0;
    }
    return m_pUdp->Send(packets, payload, kSocketWaitUs) > 0;
}

bool CTsOverIpMulticast::WaitWritable(int timeoutMs) const {
    const Udp* socket = m_pRtp != nullptr ? static_cast<const Udp*>(m_pRtp) : m_pUdp;
    const int handle = m_pUdpSender != nullptr ? m_pUdpSender->GetHandle()
                       : socket != nullptr     ? socket->GetHandle()
                                               : -1;
    return WaitSocket(handle, POLLOUT, timeoutMs);
}

uint32_t CTsOverIpMulticast::SendThread() {
    const uint32_t payload = kPacketsPerDatagram * m_Active.dwPacketLength;
    // Room for the RTP header of the unicast path before the packets.
    std::vector<uint8_t> datagram(kRtpHeaderSize + payload);
    uint16_t sequence = 0;
    for (;;) {
        // Played packets still leave after a stop, but only while the socket
        // takes them at once: a slow network never holds up the close.
        const bool stopping = m_bStopped;
        uint32_t fill = 0;
        uint32_t contiguous = 0;
        m_pSendRing->GetFillCount(&fill, &contiguous);
        if (fill < kQueuedBeforeSend || m_dwReleased < kPacketsPerDatagram) {
            if (stopping) break;
            platform::Sleep(1);
            continue;
        }
        // A socket with no room keeps the packets queued: the wait is bounded
        // so that a stop is seen.
        if (!WaitWritable(stopping ? 0 : kSocketWaitUs / 1000)) {
            if (stopping) break;
            continue;
        }
        m_pSendRing->Read(datagram.data() + kRtpHeaderSize, payload);
        m_dwReleased -= kPacketsPerDatagram;
        if (!SendDatagram(datagram.data(), &sequence) && stopping) break;
    }
    m_dwReleased = 0;
    return 0;
}

// --- Receiver ---------------------------------------------------------------

CTsOverIpCapture::CTsOverIpCapture()
    : m_Parameters(DefaultSettings()),
      m_strLocalAddress(kDefaultLocalAddress),
      m_Active(m_Parameters) {}

CTsOverIpCapture::~CTsOverIpCapture() {
    Close();
}

uint32_t CTsOverIpCapture::SetParameter(TS_OVER_IP_PARAM param) {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    return TakeParameter(param, &m_Parameters);
}

void CTsOverIpCapture::ReleaseResources() {
    delete m_pReceiveBuffer;
    m_pReceiveBuffer = nullptr;
    delete m_pUdp;
    m_pUdp = nullptr;
    delete m_pRtp;
    m_pRtp = nullptr;
}

uint32_t CTsOverIpCapture::Open() {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    if (IsOpen()) return 1;
    m_Active = m_Parameters;
    m_pReceiveBuffer = new CCirBuffer(kBufferBytes);
    bool made = m_pReceiveBuffer->GetFreeSize() == kBufferBytes;
    m_LocalAddresses.clear();
    if (made && (!GetLocalIPList(&m_LocalAddresses) || m_LocalAddresses.empty())) {
        SayNoAddress(nullptr);
        made = false;
    }
    if (made) {
        m_wLocalPort = static_cast<uint16_t>(m_Active.dwPort);
        m_strLocalAddress = m_LocalAddresses.front();
        Udp* socket = m_Active.dwRtp ? (m_pRtp = new Rtp) : (m_pUdp = new Udp);
        made = socket->Open(kWildcardAddress, m_wLocalPort) &&
               socket->Connect(m_Active.strAddress.c_str(), m_wLocalPort, Udp::kModeReceive);
    }
    m_bStopped = 0;
    if (!made || !m_ReceiveThread.Start([this] { return ReceiveThread(); })) {
        m_bStopped = 1;
        ReleaseResources();
        return 0;
    }
    return 1;
}

uint32_t CTsOverIpCapture::Close() {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    if (!IsOpen()) return 1;
    m_bStopped = 1;
    m_ReceiveThread.Join();
    ReleaseResources();
    return 1;
}

uint32_t CTsOverIpCapture::GetPacketLength() {
    std::lock_guard<platform::CCriticalSection> lock(m_Lock);
    return m_Parameters.dwPacketLength;
}

uint32_t CTsOverIpCapture::GetFillPacketNum(uint32_t* pCount) {
    if (pCount == nullptr || m_pReceiveBuffer == nullptr) return 0;
    *pCount = m_pReceiveBuffer->GetFillSize() / m_Active.dwPacketLength;
    return 1;
}

uint32_t CTsOverIpCapture::ReadPackets(void* pDestination, uint32_t count) {
    if (m_pReceiveBuffer == nullptr) return 0;
    return m_pReceiveBuffer->Read(pDestination, count * m_Active.dwPacketLength);
}

int32_t CTsOverIpCapture::RecvFrom(void* pBuffer, uint32_t length, int flags) {
    const Udp* socket = m_pRtp != nullptr ? static_cast<const Udp*>(m_pRtp) : m_pUdp;
    if (pBuffer == nullptr || socket == nullptr || !WaitSocket(socket->GetHandle(), POLLIN)) {
        return -1;
    }
    const ssize_t received = ::recv(socket->GetHandle(), pBuffer, length, flags);
    return received < 0 ? -1 : static_cast<int32_t>(received);
}

uint32_t ts_over_ip::WholePacketBytes(const uint8_t* datagram, uint32_t size,
                                      uint32_t packetLength) {
    // Every packet boundary inside the datagram, that of a torn tail too,
    // must hold a sync byte: a stream of another packet length or garbage
    // fails this and gives nothing.
    for (uint32_t at = 0; at < size; at += packetLength) {
        if (datagram[at] != kSyncByte) return 0;
    }
    return size - size % packetLength;
}

uint32_t CTsOverIpCapture::ReceiveThread() {
    const uint32_t packetLength = m_Active.dwPacketLength;
    const uint32_t maximum = kPacketsPerDatagram * packetLength;
    std::vector<uint8_t> datagram(maximum);
    while (!m_bStopped) {
        if (m_pReceiveBuffer->GetFreeSize() / packetLength < kRoomBeforeReceive) {
            platform::Sleep(1);
            continue;
        }
        const int32_t received = m_pRtp != nullptr
                                     ? m_pRtp->Receive(datagram.data(), maximum, nullptr, nullptr,
                                                       nullptr, nullptr, kSocketWaitUs)
                                     : m_pUdp->Receive(datagram.data(), maximum, kSocketWaitUs);
        // Only whole packets go in: a torn tail would misalign every later
        // packet.
        const uint32_t whole =
            received > 0 ? WholePacketBytes(datagram.data(), received, packetLength) : 0;
        if (whole > 0) m_pReceiveBuffer->Write(datagram.data(), whole);
    }
    return 0;
}

}  // namespace velmora::ts

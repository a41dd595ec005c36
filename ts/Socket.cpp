#include "ts/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "card/LogFile.h"

namespace velmora::ts {

namespace {
bool ParseDotted(const char* address, in_addr* out) {
    return address != nullptr && inet_pton(AF_INET, address, out) == 1;
}

// A socket opened on one local address sends to a group by that address's
// interface, not by whichever the routes pick.
bool LeaveByBoundInterface(int handle, in_addr bound) {
    return bound.s_addr == htonl(INADDR_ANY) ||
           ::setsockopt(handle, IPPROTO_IP, IP_MULTICAST_IF, &bound, sizeof(bound)) == 0;
}
}  // namespace

bool IsMulticastAddress(const char* pAddress) {
    in_addr a{};
    return ParseDotted(pAddress, &a) && (ntohl(a.s_addr) >> 28) == 0xE;
}

void WriteRtpHeader(uint8_t* pOut, uint8_t payloadType, bool marker, uint16_t sequence,
                    uint32_t timeStamp, uint32_t ssrc) {
    pOut[0] = kRtpVersionByte;
    pOut[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | (payloadType & 0x7F));
    pOut[2] = static_cast<uint8_t>(sequence >> 8);
    pOut[3] = static_cast<uint8_t>(sequence);
    for (int i = 0; i < 4; ++i) {
        pOut[4 + i] = static_cast<uint8_t>(timeStamp >> (24 - 8 * i));
        pOut[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    }
}

// --- Buffer -----------------------------------------------------------------

Buffer::~Buffer() {
    Free();
}

void Buffer::Free() {
    delete[] m_pData;
    m_pData = nullptr;
    m_dwCapacity = m_dwCursor = m_dwSize = 0;
}

uint32_t Buffer::Allocate(uint32_t n) {
    Free();
    if (n == 0) return 0;
    m_pData = new (std::nothrow) uint8_t[n];
    if (m_pData == nullptr) return 0;
    m_dwCapacity = n;
    return 1;
}

uint32_t Buffer::Reserve(uint32_t n) {
    return n > m_dwCapacity ? Allocate(n) : 1;
}

uint32_t Buffer::Set(const void* pSource, uint32_t n) {
    if (n > m_dwCapacity && !Allocate(n)) return 0;
    m_dwCursor = 0;
    if (n > 0) std::memcpy(m_pData, pSource, n);
    m_dwSize = n;
    return 1;
}

uint32_t Buffer::Append(const void* pSource, uint32_t n) {
    if (m_dwCursor + m_dwSize + uint64_t{n} > m_dwCapacity) {
        const uint32_t size = m_dwSize + n;
        uint8_t* grown = new (std::nothrow) uint8_t[size];
        if (grown == nullptr) return 0;
        if (m_dwSize > 0) std::memcpy(grown, m_pData + m_dwCursor, m_dwSize);
        delete[] m_pData;
        m_pData = grown;
        m_dwCapacity = size;
        m_dwCursor = 0;
    }
    if (n > 0) std::memcpy(m_pData + m_dwCursor + m_dwSize, pSource, n);
    m_dwSize += n;
    return 1;
}

void Buffer::Reset() {
    m_dwSize = 0;
    m_dwCursor = 0;
}

// --- Socket -----------------------------------------------------------------

Socket::Socket(uint32_t type, card::CLogFile* pLog) : m_dwType(type), m_pLog(pLog) {}

Socket::~Socket() {
    Close();
}

void Socket::PrintSocketError(int error) {
    std::fprintf(stderr, "Socket error is:%d\n", error);
    if (m_pLog) m_pLog->WriteLog(L"Socket error is:%d", error);
}

void Socket::Close() {
    if (m_hSocket != kNoHandle) ::close(m_hSocket);
    m_hSocket = kNoHandle;
    m_bOpen = false;
}

int Socket::WaitReady(int mode, uint32_t timeoutUs) {
    pollfd p{m_hSocket, static_cast<short>(mode == kWaitRead ? POLLIN : POLLOUT), 0};
    // Round up, so that a short wait still waits.
    const int result = ::poll(&p, 1, static_cast<int>((uint64_t{timeoutUs} + 999) / 1000));
    if (result > 0) return kReady;
    if (result == 0) return kTimedOut;
    if (errno == EINTR) return kInterrupted;
    PrintSocketError(errno);
    return kWaitError;
}

// The socket is non-blocking: a transfer is tried first and the wait comes
// only when the socket is not ready, which saves a system call per datagram
// while a stream flows.
int32_t Socket::Send(const void* pBuffer, uint32_t length, uint32_t timeoutUs) {
    if (pBuffer == nullptr || !m_bOpen) return -1;
    ssize_t sent = ::send(m_hSocket, pBuffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const int wait = WaitReady(kWaitWrite, timeoutUs);
        if (wait == kTimedOut) return 0;
        if (wait != kReady) return -1;
        sent = ::send(m_hSocket, pBuffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    return sent < 1 ? -1 : static_cast<int32_t>(sent);
}

int32_t Socket::Recv(void* pBuffer, uint32_t length, uint32_t timeoutUs) {
    if (pBuffer == nullptr || !m_bOpen) return -1;
    ssize_t received = ::recv(m_hSocket, pBuffer, length, MSG_DONTWAIT);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const int wait = WaitReady(kWaitRead, timeoutUs);
        if (wait == kTimedOut) return 0;
        if (wait != kReady) return -1;
        received = ::recv(m_hSocket, pBuffer, length, MSG_DONTWAIT);
    }
    return received < 1 ? -1 : static_cast<int32_t>(received);
}

void Socket::GetLocalAddress(sockaddr_in* pAddress) const {
    if (pAddress != nullptr) *pAddress = m_LocalAddress;
}

void Socket::GetRemoteAddress(sockaddr_in* pAddress) const {
    if (pAddress != nullptr) *pAddress = m_RemoteAddress;
}

uint32_t Socket::GetType() const {
    return m_dwType;
}

// --- Udp --------------------------------------------------------------------

Udp::Udp(card::CLogFile* pLog) : Socket(SOCK_DGRAM, pLog) {}

uint32_t Udp::Open(const char* pAddress, uint16_t port) {
    if (m_bOpen || pAddress == nullptr) return 0;
    m_hSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (m_hSocket < 0) {
        m_hSocket = kNoHandle;
        PrintSocketError(errno);
        return 0;
    }
    const int size = kSocketBufferSize;
    const int on = 1;
    const int ttl = kMulticastTtl;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (IsMulticastAddress(pAddress) || !ParseDotted(pAddress, &local.sin_addr)) {
        local.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    socklen_t length = sizeof(m_LocalAddress);
    const bool made =
        ::fcntl(m_hSocket, F_SETFL, ::fcntl(m_hSocket, F_GETFL) | O_NONBLOCK) == 0 &&
        ::setsockopt(m_hSocket, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) == 0 &&
        ::setsockopt(m_hSocket, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) == 0 &&
        ::setsockopt(m_hSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
        ::setsockopt(m_hSocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == 0 &&
        ::bind(m_hSocket, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0 &&
        LeaveByBoundInterface(m_hSocket, local.sin_addr) &&
        ::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&m_LocalAddress), &length) == 0;
    if (!made) {
        PrintSocketError(errno);
        Close();
        return 0;
    }
    if (!JoinGroup(pAddress)) {
        Close();
        return 0;
    }
    m_bOpen = true;
    return 1;
}

uint32_t Udp::JoinGroup(const char* pAddress) {
    in_addr address{};
    if (IsMulticastAddress(pAddress)) {
        ParseDotted(pAddress, &address);
        const int on = 1;
        ip_mreq request{};
        request.imr_multiaddr = address;
        request.imr_interface.s_addr = htonl(INADDR_ANY);
        if (::setsockopt(m_hSocket, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof(on)) != 0 ||
            ::setsockopt(m_hSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) !=
                0) {
            PrintSocketError(errno);
            return 0;
        }
    }
    if (ParseDotted(pAddress, &address) && address.s_addr != htonl(INADDR_BROADCAST)) return 1;
    const int on = 1;
    if (::setsockopt(m_hSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
        PrintSocketError(errno);
        return 0;
    }
    return 1;
}

uint32_t Udp::Connect(const char* pAddress, uint16_t port, uint32_t mode) {
    if (!m_bOpen) return 0;
    m_RemoteAddress = sockaddr_in{};
    if (!JoinGroup(pAddress)) return 0;
    if (mode != kModeSend) return 1;
    m_RemoteAddress.sin_family = AF_INET;
    m_RemoteAddress.sin_port = htons(port);
    if (!ParseDotted(pAddress, &m_RemoteAddress.sin_addr)) {
        PrintSocketError(EINVAL);
        return 0;
    }
    if (::connect(m_hSocket, reinterpret_cast<sockaddr*>(&m_RemoteAddress),
                  sizeof(m_RemoteAddress)) != 0) {
        PrintSocketError(errno);
        return 0;
    }
    m_bConnected = true;
    return 1;
}

int32_t Udp::Receive(void* pBuffer, uint32_t length, uint32_t timeoutUs) {
    if (!m_bOpen) return -1;
    return Socket::Recv(pBuffer, length, timeoutUs);
}

int32_t Udp::Send(const void* pBuffer, uint32_t length, uint32_t timeoutUs) {
    if (!m_bOpen || !m_bConnected) return -1;
    return Socket::Send(pBuffer, length, timeoutUs);
}

// --- Rtp --------------------------------------------------------------------

Rtp::Rtp(card::CLogFile* pLog) : Udp(pLog) {}

int32_t Rtp::Send(const void* pPayload, uint32_t length, uint8_t payloadType, uint32_t timeStamp,
                  uint32_t ssrc, bool marker, uint32_t timeoutUs) {
    if (pPayload == nullptr || !m_Buffer.Reserve(length + kRtpHeaderSize)) return -1;
    m_Buffer.Reset();
    uint8_t header[kRtpHeaderSize];
    WriteRtpHeader(header, payloadType, marker, m_wSequence++, timeStamp, ssrc);
    m_Buffer.Append(header, kRtpHeaderSize);
    m_Buffer.Append(pPayload, length);
    const int32_t sent = Udp::Send(m_Buffer.Data(), m_Buffer.Size(), timeoutUs);
    return sent < static_cast<int32_t>(kRtpHeaderSize) ? -1 : sent - int32_t{kRtpHeaderSize};
}

int32_t Rtp::Receive(void* pDestination, uint32_t maximum, uint8_t* pPayloadType,
                     uint16_t* pSequence, uint32_t* pTimeStamp, uint32_t* pSsrc,
                     uint32_t timeoutUs) {
    if (pDestination == nullptr || !m_Buffer.Reserve(maximum + kRtpHeaderSize)) return -1;
    m_Buffer.Reset();
    const int32_t received = Udp::Receive(m_Buffer.Data(), maximum + kRtpHeaderSize, timeoutUs);
    const uint8_t* d = m_Buffer.Data();
    if (received < static_cast<int32_t>(kRtpHeaderSize) || d[0] != kRtpVersionByte) return -1;
    const uint32_t payload = static_cast<uint32_t>(received) - kRtpHeaderSize;
    std::memcpy(pDestination, d + kRtpHeaderSize, payload);
    if (pPayloadType != nullptr) *pPayloadType = d[1];
    if (pSequence != nullptr) *pSequence = static_cast<uint16_t>((d[2] << 8) | d[3]);
    auto word = [d](int at) {
        return (uint32_t{d[at]} << 24) | (uint32_t{d[at + 1]} << 16) | (uint32_t{d[at + 2]} << 8) |
               d[at + 3];
    };
    if (pTimeStamp != nullptr) *pTimeStamp = word(4);
    if (pSsrc != nullptr) *pSsrc = word(8);
    return static_cast<int32_t>(payload);
}

// --- Local addresses --------------------------------------------------------

uint32_t GetLocalIPList(std::vector<std::string>* pList) {
    if (pList == nullptr) return 0;
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) {
        std::fprintf(stderr, "Socket\t: Gethostname failed, Error code: %d\n", errno);
        return 0;
    }
    std::vector<std::string> loopback;
    for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET ||
            !(i->ifa_flags & IFF_UP)) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) == nullptr) continue;
        (i->ifa_flags & IFF_LOOPBACK ? loopback : *pList).push_back(text);
    }
    ::freeifaddrs(interfaces);
    pList->insert(pList->end(), loopback.begin(), loopback.end());
    return 1;
}

}  // namespace velmora::ts

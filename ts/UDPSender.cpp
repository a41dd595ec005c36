#include "ts/UDPSender.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "card/LogFile.h"

namespace velmora::ts {

namespace {
// A private address that every path replaces before sending.
constexpr char kDefaultHost[] = "192.168.1.100";
}  // namespace

CUDPSender::CUDPSender(card::CLogFile* pLog) : m_strHost(kDefaultHost), m_pLog(pLog) {}

CUDPSender::~CUDPSender() {
    Close();
}

uint32_t CUDPSender::Connect(const char* pHost, uint16_t port) {
    Close();
    if (pHost == nullptr) return 1;
    m_strHost = pHost;
    m_wPort = port;
    m_hSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (m_hSocket < 0) {
        m_hSocket = -1;
        return 1;
    }
    m_Destination = sockaddr_in{};
    m_Destination.sin_family = AF_INET;
    m_Destination.sin_port = htons(port);
    if (inet_pton(AF_INET, pHost, &m_Destination.sin_addr) == 1) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(pHost, nullptr, &hints, &found) != 0 || found == nullptr) {
        if (m_pLog) m_pLog->WriteLog(L"TsOverIp: host %s does not resolve", pHost);
        return 1;
    }
    m_Destination.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return 0;
}

uint32_t CUDPSender::Send(const void* pData, uint32_t length) {
    if (m_hSocket < 0 || pData == nullptr) return 1;
    const ssize_t sent =
        ::sendto(m_hSocket, pData, length, MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&m_Destination), sizeof(m_Destination));
    return sent < 1 ? 1 : 0;
}

uint32_t CUDPSender::Close() {
    if (m_hSocket >= 0) ::close(m_hSocket);
    m_hSocket = -1;
    return 0;
}

}  // namespace velmora::ts

#pragma once

// A plain unicast datagram sender: one socket, one destination. Its results
// are 0 for success and 1 for failure.

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace velmora::card {
class CLogFile;
}

namespace velmora::ts {

class CUDPSender {
  public:
    static constexpr uint16_t kDefaultPort = 1234;

    // `pLog` (may be null) gets the line of a host that does not resolve.
    explicit CUDPSender(card::CLogFile* pLog);
    virtual ~CUDPSender();
    CUDPSender(const CUDPSender&) = delete;
    CUDPSender& operator=(const CUDPSender&) = delete;

    // Closes any socket, then makes one for (host, port); a host that is not
    // a dotted address is resolved by name.
    uint32_t Connect(const char* pHost, uint16_t port);
    // One datagram, never waiting for room in the socket; 1 when it fails or
    // sends nothing.
    uint32_t Send(const void* pData, uint32_t length);
    uint32_t Close();
    int GetHandle() const { return m_hSocket; }
    const sockaddr_in& GetDestination() const { return m_Destination; }

  private:
    sockaddr_in m_Destination{};
    int m_hSocket = -1;
    std::string m_strHost;
    uint16_t m_wPort = kDefaultPort;
    card::CLogFile* m_pLog;
};

}  // namespace velmora::ts

#pragma once

// The datagram socket family under the TS-over-IP sender and receiver:
// `Socket` (waits and plain transfers), `Udp` (non-blocking datagram socket
// with multicast membership) and `Rtp` (the RFC 3550 fixed header before
// each payload), with the growable `Buffer`, and the host's address list.
// Socket errors print "Socket error is:%d\n" with the error of the step that
// failed on standard error, never on standard output, which may carry the
// application's stream; and into the log when one was handed in.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::card {
class CLogFile;
}

namespace velmora::ts {

inline constexpr uint32_t kRtpHeaderSize = 12;
inline constexpr uint8_t kRtpVersionByte = 0x80;

// Writes the 12-byte RTP fixed header: version 2, no padding, extension or
// CSRC; the marker bit or'ed with the payload type.
void WriteRtpHeader(uint8_t* pOut, uint8_t payloadType, bool marker, uint16_t sequence,
                    uint32_t timeStamp, uint32_t ssrc);

class Buffer {
  public:
    Buffer() = default;
    virtual ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    virtual void Free();
    // A new block of n bytes (the content is not kept); 0 for n = 0 or no
    // memory.
    virtual uint32_t Allocate(uint32_t n);
    // Allocate when n exceeds the capacity.
    virtual uint32_t Reserve(uint32_t n);
    virtual uint32_t Set(const void* pSource, uint32_t n);
    // Grows keeping the content when the room after the cursor is too small.
    virtual uint32_t Append(const void* pSource, uint32_t n);
    virtual void Reset();

    uint8_t* Data() const { return m_pData + m_dwCursor; }
    uint32_t Size() const { return m_dwSize; }
    uint32_t Capacity() const { return m_dwCapacity; }

  private:
    uint8_t* m_pData = nullptr;
    uint32_t m_dwCapacity = 0;
    uint32_t m_dwCursor = 0;
    uint32_t m_dwSize = 0;
};

class Socket {
  public:
    static constexpr int kNoHandle = -1;
    // WaitReady modes and results.
    static constexpr int kWaitRead = 1;
    static constexpr int kWaitWrite = 2;
    static constexpr int kReady = 0;
    static constexpr int kWaitError = 1;
    static constexpr int kInterrupted = 2;
    static constexpr int kTimedOut = 3;

    // `pLog` (may be null) also gets the socket error lines.
    Socket(uint32_t type, card::CLogFile* pLog);
    virtual ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    virtual void Close();
    // -1 for a null buffer, a closed socket or a failed wait or transfer; 0
    // when the time-out (µs) passes; else the bytes moved.
    virtual int32_t Send(const void* pBuffer, uint32_t length, uint32_t timeoutUs);
    virtual int32_t Recv(void* pBuffer, uint32_t length, uint32_t timeoutUs);
    virtual void GetLocalAddress(sockaddr_in* pAddress) const;
    virtual void GetRemoteAddress(sockaddr_in* pAddress) const;
    virtual uint32_t GetType() const;

    int WaitReady(int mode, uint32_t timeoutUs);
    int GetHandle() const { return m_hSocket; }
    bool IsOpen() const { return m_bOpen; }

  protected:
    // `error` is the system's error number of the step that failed, EINVAL
    // for an address that does not parse.
    void PrintSocketError(int error);

    bool m_bOpen = false;
    int m_hSocket = kNoHandle;
    sockaddr_in m_LocalAddress{};
    sockaddr_in m_RemoteAddress{};
    uint32_t m_dwType;
    card::CLogFile* m_pLog;
};

class Udp : public Socket {
  public:
    static constexpr int kSocketBufferSize = 0x140000;
    static constexpr int kMulticastTtl = 5;
    // Connect modes: the receiver joins only, the sender also connects.
    static constexpr uint32_t kModeReceive = 1;
    static constexpr uint32_t kModeSend = 2;

    explicit Udp(card::CLogFile* pLog = nullptr);
    using Socket::Send;

    // 1 when the socket is made and bound to (address, port); a multicast or
    // non-dotted address binds the wildcard. 0 when already open or on any
    // socket error.
    virtual uint32_t Open(const char* pAddress, uint16_t port);
    virtual uint32_t Connect(const char* pAddress, uint16_t port, uint32_t mode);
    // -1 when not open (Send: or not connected); else as Socket.
    virtual int32_t Receive(void* pBuffer, uint32_t length, uint32_t timeoutUs);
    virtual int32_t Send(const void* pBuffer, uint32_t length, uint32_t timeoutUs);
    // Joins a multicast group on the wildcard interface with loop-back on;
    // turns broadcast on for an address that is not a dotted one.
    uint32_t JoinGroup(const char* pAddress);
    bool IsConnected() const { return m_bConnected; }

  protected:
    bool m_bConnected = false;
};

class Rtp : public Udp {
  public:
    explicit Rtp(card::CLogFile* pLog = nullptr);
    using Udp::Receive;
    using Udp::Send;

    // The header (sequence post-incremented) and the payload in one
    // datagram; -1 when fewer than 12 bytes went, else the payload bytes.
    int32_t Send(const void* pPayload, uint32_t length, uint8_t payloadType, uint32_t timeStamp,
                 uint32_t ssrc, bool marker, uint32_t timeoutUs);
    // The payload of one datagram, at most `maximum` bytes; -1 for fewer than
    // 12 bytes or a first byte other than 0x80. The out values are optional.
    int32_t Receive(void* pDestination, uint32_t maximum, uint8_t* pPayloadType,
                    uint16_t* pSequence, uint32_t* pTimeStamp, uint32_t* pSsrc, uint32_t timeoutUs);
    uint16_t GetSequence() const { return m_wSequence; }

  private:
    uint16_t m_wSequence = 0;
    Buffer m_Buffer;
};

// IPv4 addresses of the interfaces that are up, in dotted form, loopback
// ones last. 0 when the interfaces cannot be listed (with a line on standard
// error).
uint32_t GetLocalIPList(std::vector<std::string>* pList);

// True for a dotted IPv4 address in 224.0.0.0/4.
bool IsMulticastAddress(const char* pAddress);

}  // namespace velmora::ts

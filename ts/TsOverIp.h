#pragma once

// The transport stream over IP: CTsOverIpMulticast sends every packet the
// playback engine plays out, CTsOverIpCapture receives datagrams into a byte
// ring for the capture engine. A datagram carries 7 packets, with or without
// a 12-byte RTP header (payload type 33, the millisecond tick as time stamp,
// SSRC 0), to a unicast destination or a multicast group.
//
// Results are 1 for success and 0 for failure. Parameters may be set at any
// time; an open object keeps the ones it opened with until it is closed.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/CriticalSection.h"
#include "platform/Thread.h"
#include "velmora/Velmora.h"

namespace velmora::card {
class CLogFile;
}

namespace velmora::ts {

class CLockedRingBuffer;
class CCirBuffer;
class CUDPSender;
class Udp;
class Rtp;

// The parameter words as an object stores them.
struct TS_OVER_IP_SETTINGS {
    std::string strAddress;  // UTF-8, shorter than kAddressSize bytes
    uint32_t dwPort;
    uint32_t dwReserved;
    uint32_t dwPacketLength;
    uint32_t dwRtp;   // 0 or 1
    uint32_t dwFlag;  // 0 or 1, not used
};

namespace ts_over_ip {
inline constexpr uint32_t kAddressSize = 260;
inline constexpr uint16_t kDefaultPort = 8008;
inline constexpr uint32_t kPacketsPerDatagram = 7;
inline constexpr uint8_t kPayloadType = 33;
// Every socket wait is bounded, so the threads notice a stop.
inline constexpr uint32_t kSocketWaitUs = 500000;
// A built-in group until one is set.
inline constexpr char kDefaultGroup[] = "239.255.42.42";

inline constexpr uint8_t kSyncByte = 0x47;

// A dotted IPv4 address or a host name.
bool IsAddress(const std::string& text);
// Takes the parameter record into settings: 0 (and nothing changed) for a
// null, over-long or unparsable address, port 0 (with a log line), a port
// above 65535 or a packet length other than 188 and 204.
uint32_t TakeParameter(const TS_OVER_IP_PARAM& param, TS_OVER_IP_SETTINGS* pSettings);
// The group path is taken for a first octet of 224 to 239: the number at
// the start of the address, from at most its first three characters.
bool SelectsGroup(const std::string& address);
// The bytes of the whole packets at the start of a received datagram; 0 when
// any packet boundary in it lacks the sync byte.
uint32_t WholePacketBytes(const uint8_t* datagram, uint32_t size, uint32_t packetLength);
// Whether settings of `ipPacketLength` suit an engine that counts in
// `cardPacketLength`; a log line, when there is a log, when they do not.
bool MatchesCardPacketLength(uint32_t ipPacketLength, uint32_t cardPacketLength,
                             card::CLogFile* pLog);
}  // namespace ts_over_ip

class CTsOverIpMulticast {
  public:
    // Packets written and not yet let go: the playback engine holds those
    // its card has yet to play, at most a card window of them.
    static constexpr uint32_t kHeldPackets = 25920;
    // Packets let go that the network has yet to take.
    static constexpr uint32_t kBacklogPackets = 25900;
    static constexpr uint32_t kRingPackets = kHeldPackets + kBacklogPackets;
    // Packets that stay queued in the send ring: a datagram leaves once 8
    // are there.
    static constexpr uint32_t kQueuedBeforeSend = 8;

    // `pLog` (may be null) is handed to the unicast sender and the sockets.
    explicit CTsOverIpMulticast(card::CLogFile* pLog = nullptr);
    virtual ~CTsOverIpMulticast();
    CTsOverIpMulticast(const CTsOverIpMulticast&) = delete;
    CTsOverIpMulticast& operator=(const CTsOverIpMulticast&) = delete;

    virtual uint32_t SetParameter(TS_OVER_IP_PARAM param);
    // Makes the send ring and the socket and starts the send thread; 0, with
    // nothing left behind, when any of them fails.
    virtual uint32_t Open();
    virtual uint32_t Close();
    virtual uint32_t GetEmptyBufferNum(uint32_t* pCount);
    virtual uint32_t WritePackets(const void* pSource, uint32_t count);
    // The next `count` packets written may leave: the playback engine writes
    // packets as they go to the card and lets them go as the card plays them,
    // so that the datagrams follow the stream's pace. At a close, what was
    // let go still leaves as far as the socket takes it without waiting.
    void ReleasePackets(uint32_t count) { m_dwReleased += count; }
    // 1 to 7 packets straight to the destination (skipped, with 1, when RTP
    // is on); 0 on a failed wait or send.
    uint32_t SendTo(const void* pData, uint32_t count);

    bool IsOpen() const { return m_bStopped == 0; }
    // The group path (1) or the unicast path (0) of the stored address.
    uint32_t IsMulticast() const { return m_bMulticast; }
    uint32_t GetDatagramSize() const { return m_dwDatagramSize; }
    // The packet length the next Open takes.
    uint32_t GetPacketLength();

  private:
    uint32_t SendThread();
    // Whether the socket of the path opened takes a datagram within
    // `timeoutMs`.
    bool WaitWritable(int timeoutMs) const;
    // One datagram of 7 packets by the path opened; whether it went.
    bool SendDatagram(uint8_t* pDatagram, uint16_t* pSequence);
    void ReleaseResources();

    TS_OVER_IP_SETTINGS m_Parameters;
    std::atomic<uint32_t> m_bStopped{1};
    std::atomic<uint32_t> m_dwReleased{0};
    platform::Thread m_SendThread;
    platform::CCriticalSection m_Lock;
    CLockedRingBuffer* m_pSendRing = nullptr;
    Udp* m_pUdp = nullptr;
    Rtp* m_pRtp = nullptr;
    CUDPSender* m_pUdpSender = nullptr;
    uint32_t m_dwDatagramSize;
    std::vector<std::string> m_LocalAddresses;
    std::string m_strLocalAddress;
    uint16_t m_wLocalPort = 0;
    uint32_t m_bMulticast = 1;
    // What the running object opened with.
    TS_OVER_IP_SETTINGS m_Active;
    uint32_t m_bActiveMulticast = 1;
    card::CLogFile* m_pLog;
};

class CTsOverIpCapture {
  public:
    static constexpr uint32_t kBufferBytes = 5369280;
    // Room, in packets, the buffer must have before a datagram is taken.
    static constexpr uint32_t kRoomBeforeReceive = 8;

    CTsOverIpCapture();
    virtual ~CTsOverIpCapture();
    CTsOverIpCapture(const CTsOverIpCapture&) = delete;
    CTsOverIpCapture& operator=(const CTsOverIpCapture&) = delete;

    virtual uint32_t SetParameter(TS_OVER_IP_PARAM param);
    // Binds the wildcard address on the port (Linux delivers a group's
    // datagrams only to sockets bound to the wildcard or the group) and
    // joins the group; 0, with nothing left behind, when that fails.
    virtual uint32_t Open();
    virtual uint32_t Close();
    virtual uint32_t GetFillPacketNum(uint32_t* pCount);
    // The bytes read; 0 when fewer packets are there.
    virtual uint32_t ReadPackets(void* pDestination, uint32_t count);
    // One datagram straight from the socket after waiting for it; -1 when
    // none can be had.
    int32_t RecvFrom(void* pBuffer, uint32_t length, int flags);

    bool IsOpen() const { return m_bStopped == 0; }
    // The packet length the next Open takes.
    uint32_t GetPacketLength();

  private:
    uint32_t ReceiveThread();
    void ReleaseResources();

    TS_OVER_IP_SETTINGS m_Parameters;
    std::atomic<uint32_t> m_bStopped{1};
    platform::Thread m_ReceiveThread;
    platform::CCriticalSection m_Lock;
    CCirBuffer* m_pReceiveBuffer = nullptr;
    Udp* m_pUdp = nullptr;
    Rtp* m_pRtp = nullptr;
    std::vector<std::string> m_LocalAddresses;
    std::string m_strLocalAddress;
    uint16_t m_wLocalPort = 0;
    TS_OVER_IP_SETTINGS m_Active;
};

}  // namespace velmora::ts

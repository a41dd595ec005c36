// Transport stream over IP on 127.0.0.1 (and multicast inside a private
// network namespace): datagram sizes and bytes, the RTP header, the receiver's
// ring and what it drops, parameters, and the rings and buffers beneath.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CardTestSupport.h"
#include "NetTestSupport.h"
#include "card/LogFile.h"
#include "ts/CirBuffer.h"
#include "ts/Socket.h"
#include "ts/TsOverIp.h"

namespace velmora::ts {
namespace {

using cardtest::LogText;
using nettest::PlainSocket;
using Bytes = std::vector<uint8_t>;

// Packet k of a test stream: sync byte, then k in every other byte.
Bytes Packets(uint32_t first, uint32_t count, uint32_t length) {
    Bytes b(size_t{count} * length);
    for (uint32_t k = 0; k < count; ++k) {
        uint8_t* p = &b[size_t{k} * length];
        std::memset(p, 0, length);
        p[0] = 0x47;
        const uint32_t n = first + k;
        std::memcpy(p + 4, &n, 4);
        p[length - 1] = static_cast<uint8_t>(n);
    }
    return b;
}

TS_OVER_IP_PARAM Param(const wchar_t* address, uint16_t port, uint32_t length, uint32_t rtp) {
    return TS_OVER_IP_PARAM{address, port, 0, length, rtp, 0};
}

uint16_t Sequence(const Bytes& d) {
    return static_cast<uint16_t>((d[2] << 8) | d[3]);
}

TEST(CirBufferTest, RefusalsAndWrap) {
    CCirBuffer ring(10);
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t out[10] = {};
    EXPECT_EQ(ring.Write(data, 11), CCirBuffer::kRefused);
    EXPECT_EQ(ring.GetFreeSize(), 10u);
    EXPECT_EQ(ring.Read(out, 1), 0u);
    ASSERT_EQ(ring.Write(data, 8), 0u);
    EXPECT_EQ(ring.Write(data, 3), CCirBuffer::kRefused);
    ASSERT_EQ(ring.Read(out, 6), 6u);
    ASSERT_EQ(ring.Write(data, 8), 0u);  // wraps
    EXPECT_EQ(ring.Read(out, 11), 0u);
    EXPECT_EQ(ring.ReadUpTo(out, 100), 10u);
    const uint8_t expected[10] = {7, 8, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(0, std::memcmp(out, expected, 10));
    CCirBuffer none;
    EXPECT_EQ(none.Write(data, 1), CCirBuffer::kRefused);
}

TEST(SocketBufferTest, AppendKeepsTheContent) {
    Buffer b;
    EXPECT_EQ(b.Allocate(0), 0u);
    ASSERT_EQ(b.Set("abc", 3), 1u);
    ASSERT_EQ(b.Append("defgh", 5), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.Data()), b.Size()), "abcdefgh");
    b.Reset();
    EXPECT_EQ(b.Size(), 0u);
}

TEST(TsOverIpParameterTest, PathChoiceAndRefusals) {
    using ts_over_ip::SelectsGroup;
    EXPECT_TRUE(SelectsGroup("224.0.0.1"));
    EXPECT_TRUE(SelectsGroup("239.1.2.3"));
    EXPECT_FALSE(SelectsGroup("223.255.255.255"));
    EXPECT_FALSE(SelectsGroup("240.0.0.1"));
    EXPECT_FALSE(SelectsGroup("127.0.0.1"));

    CTsOverIpMulticast sender;
    CTsOverIpCapture receiver;
    EXPECT_EQ(sender.SetParameter(Param(L"239.1.1.1", 1, 188, 0)), 1u);
    EXPECT_EQ(sender.IsMulticast(), 1u);
    EXPECT_EQ(sender.GetDatagramSize(), 1316u);
    EXPECT_EQ(sender.SetParameter(Param(L"127.0.0.1", 1, 0, 0)), 0u);
    EXPECT_EQ(sender.SetParameter(Param(L"127.0.0.1", 1, 189, 0)), 0u);
    EXPECT_EQ(sender.SetParameter(Param(nullptr, 1, 188, 0)), 0u);
    const std::wstring longAddress(260, L'1');
    EXPECT_EQ(sender.SetParameter(Param(longAddress.c_str(), 1, 188, 0)), 0u);
    EXPECT_EQ(receiver.SetParameter(Param(longAddress.c_str(), 1, 188, 0)), 0u);
    EXPECT_EQ(sender.IsMulticast(), 1u);  // refused calls changed nothing
    EXPECT_EQ(sender.GetDatagramSize(), 1316u);
    EXPECT_EQ(sender.SetParameter(Param(L"127.0.0.1", 1, 204, 1)), 1u);
    EXPECT_EQ(sender.IsMulticast(), 0u);
    EXPECT_EQ(sender.GetDatagramSize(), 1428u);
}

// Datagrams to a plain socket: 7 packets each, byte-exact, RTP header with
// consecutive sequence numbers from 0 when asked for.
TEST(TsOverIpSenderTest, UnicastDatagramsAreByteExact) {
    for (uint32_t length : {188u, 204u}) {
        for (uint32_t rtp : {0u, 1u}) {
            SCOPED_TRACE(std::to_string(length) + (rtp ? " rtp" : " udp"));
            PlainSocket peer;
            CTsOverIpMulticast sender;
            ASSERT_EQ(sender.SetParameter(Param(L"127.0.0.1", peer.Port(), length, rtp)), 1u);
            ASSERT_EQ(sender.Open(), 1u);
            const Bytes stream = Packets(0, 36, length);
            // With 7 queued nothing goes; the 8th releases the first 7. Of
            // 29 let go, 28 go in 4 datagrams; the 7 written after them wait
            // to be let go.
            for (uint32_t k = 0; k < 36; ++k) {
                uint32_t free = 0;
                ASSERT_EQ(sender.GetEmptyBufferNum(&free), 1u);
                ASSERT_GE(free, 1u);
                ASSERT_EQ(sender.WritePackets(&stream[size_t{k} * length], 1), 1u);
                if (k < 29) sender.ReleasePackets(1);
                if (k == 6) {
                    EXPECT_TRUE(peer.Receive(100).empty());
                }
            }
            const uint32_t header = rtp ? kRtpHeaderSize : 0;
            for (uint32_t d = 0; d < 4; ++d) {
                const Bytes datagram = peer.Receive();
                ASSERT_EQ(datagram.size(), header + 7 * length);
                EXPECT_EQ(
                    0, std::memcmp(datagram.data() + header, &stream[d * 7 * length], 7 * length));
                if (rtp) {
                    EXPECT_EQ(datagram[0], 0x80);
                    EXPECT_EQ(datagram[1], 33);
                    EXPECT_EQ(Sequence(datagram), d);
                    EXPECT_EQ(0, std::memcmp(datagram.data() + 8, "\0\0\0\0", 4));  // SSRC 0
                }
            }
            EXPECT_TRUE(peer.Receive(50).empty());  // one stays, seven wait
            // Parameters set while open wait for the next open.
            ASSERT_EQ(sender.SetParameter(Param(L"127.0.0.1", peer.Port(), 188, rtp)), 1u);
            EXPECT_EQ(sender.GetDatagramSize(), 7 * length);
            EXPECT_EQ(sender.Close(), 1u);
        }
    }
}

TEST(TsOverIpSenderTest, DirectSendsAndTheAddressList) {
    PlainSocket peer;
    CTsOverIpMulticast sender;
    const Bytes packets = Packets(0, 8, 188);
    EXPECT_EQ(sender.SendTo(packets.data(), 1), 0u);  // not open
    ASSERT_EQ(sender.SetParameter(Param(L"127.0.0.1", peer.Port(), 188, 0)), 1u);
    ASSERT_EQ(sender.Open(), 1u);
    EXPECT_EQ(sender.SendTo(packets.data(), 8), 0u);
    ASSERT_EQ(sender.SendTo(packets.data(), 2), 1u);
    EXPECT_EQ(peer.Receive(), Bytes(packets.begin(), packets.begin() + 2 * 188));
    sender.Close();
    ASSERT_EQ(sender.SetParameter(Param(L"127.0.0.1", peer.Port(), 188, 1)), 1u);
    ASSERT_EQ(sender.Open(), 1u);
    EXPECT_EQ(sender.SendTo(packets.data(), 2), 1u);  // skipped with RTP
    EXPECT_TRUE(peer.Receive(50).empty());

    CTsOverIpCapture receiver;
    uint8_t buffer[16];
    EXPECT_EQ(receiver.RecvFrom(buffer, sizeof(buffer), 0), -1);  // not open
    // Loopback addresses come last.
    std::vector<std::string> addresses;
    ASSERT_EQ(GetLocalIPList(&addresses), 1u);
    bool loopbackSeen = false;
    for (const std::string& a : addresses) {
        const bool loopback = a.rfind("127.", 0) == 0;
        EXPECT_TRUE(loopback || !loopbackSeen) << a;
        loopbackSeen = loopbackSeen || loopback;
    }
}

TEST(TsOverIpSenderTest, RtpSequenceWrapsAfter65535) {
    PlainSocket peer;
    Rtp rtp;
    ASSERT_EQ(rtp.Open("127.0.0.1", 0), 1u);
    ASSERT_EQ(rtp.Connect("127.0.0.1", peer.Port(), Udp::kModeSend), 1u);
    const uint8_t payload[4] = {1, 2, 3, 4};
    uint32_t received = 0;
    bool consecutive = true;
    while (received < 65538 && consecutive) {
        const uint32_t batch = std::min(500u, 65538 - received);
        for (uint32_t k = 0; k < batch; ++k) {
            ASSERT_EQ(rtp.Send(payload, 4, 33, 0, 0, false, 500000), 4);
        }
        for (uint32_t k = 0; k < batch && consecutive; ++k, ++received) {
            const Bytes d = peer.Receive();
            consecutive = d.size() == 16 && Sequence(d) == uint16_t(received);
        }
    }
    EXPECT_TRUE(consecutive) << "datagram " << received;
    EXPECT_EQ(rtp.GetSequence(), 2);
    Udp plain;
    ASSERT_EQ(plain.Open("127.0.0.1", 0), 1u);
    EXPECT_EQ(plain.Send(payload, 4, 1000), -1);  // open, not connected
}

class TsOverIpReceiverTest : public ::testing::Test {
  protected:
    uint32_t Fill() {
        uint32_t count = 0;
        receiver.GetFillPacketNum(&count);
        return count;
    }
    static Bytes WithRtp(const Bytes& payload, uint16_t sequence, uint8_t first = 0x80) {
        Bytes d(kRtpHeaderSize);
        WriteRtpHeader(d.data(), 33, false, sequence, 0, 0);
        d[0] = first;
        d.insert(d.end(), payload.begin(), payload.end());
        return d;
    }
    CTsOverIpCapture receiver;
};

// Torn and foreign datagrams are dropped without misaligning the packets
// after them; our sender feeds the ring as a plain one does.
TEST_F(TsOverIpReceiverTest, FillsItsRingAndDropsWhatIsNotWholePackets) {
    const uint16_t port = nettest::FreePort();
    ASSERT_EQ(receiver.SetParameter(Param(L"127.0.0.1", port, 188, 1)), 1u);
    ASSERT_EQ(receiver.Open(), 1u);
    PlainSocket peer;
    ASSERT_TRUE(peer.SendTo(port, WithRtp(Packets(0, 7, 188), 0)));
    ASSERT_TRUE(peer.SendTo(port, Bytes(11, 0x80)));
    ASSERT_TRUE(peer.SendTo(port, WithRtp(Packets(100, 7, 188), 1, 0x90)));
    Bytes torn = WithRtp(Packets(7, 6, 188), 2);
    torn.resize(1000);  // 5 whole packets and 48 bytes of the 6th
    ASSERT_TRUE(peer.SendTo(port, torn));
    ASSERT_TRUE(peer.SendTo(port, WithRtp(Packets(12, 7, 188), 3)));
    ASSERT_TRUE(nettest::WaitFor([&] { return Fill() >= 19; }));
    // Parameters set while open do not change the running receiver.
    ASSERT_EQ(receiver.SetParameter(Param(L"127.0.0.1", port, 204, 1)), 1u);
    EXPECT_EQ(Fill(), 19u);

    CTsOverIpMulticast sender;
    ASSERT_EQ(sender.SetParameter(Param(L"127.0.0.1", port, 188, 1)), 1u);
    ASSERT_EQ(sender.Open(), 1u);
    const Bytes ours = Packets(19, 15, 188);
    uint32_t free = 0;
    ASSERT_EQ(sender.GetEmptyBufferNum(&free), 1u);
    ASSERT_EQ(sender.WritePackets(ours.data(), 15), 1u);
    sender.ReleasePackets(15);
    ASSERT_TRUE(nettest::WaitFor([&] { return Fill() >= 33; }));
    sender.Close();

    Bytes out(33 * 188);
    ASSERT_EQ(receiver.ReadPackets(out.data(), 33), 33u * 188);
    EXPECT_EQ(out, Packets(0, 33, 188));
    EXPECT_EQ(receiver.ReadPackets(out.data(), 1), 0u);
    EXPECT_EQ(receiver.Close(), 1u);
    EXPECT_EQ(receiver.GetFillPacketNum(&free), 0u);
}

TEST_F(TsOverIpReceiverTest, PlainUdpKeepsWholePacketsOnly) {
    const uint16_t port = nettest::FreePort();
    ASSERT_EQ(receiver.SetParameter(Param(L"127.0.0.1", port, 204, 0)), 1u);
    ASSERT_EQ(receiver.Open(), 1u);
    PlainSocket peer;
    Bytes torn = Packets(0, 5, 204);
    torn.resize(1000);  // 4 whole packets
    ASSERT_TRUE(peer.SendTo(port, torn));
    ASSERT_TRUE(peer.SendTo(port, Bytes(11, 0x47)));
    // Packets of the other length do not line up with this one's sync bytes.
    ASSERT_TRUE(peer.SendTo(port, Packets(100, 7, 188)));
    ASSERT_TRUE(peer.SendTo(port, Packets(4, 7, 204)));
    ASSERT_TRUE(nettest::WaitFor([&] { return Fill() >= 11; }));
    Bytes out(11 * 204);
    ASSERT_EQ(receiver.ReadPackets(out.data(), 11), 11u * 204);
    EXPECT_EQ(out, Packets(0, 11, 204));
}

// A failed open says why on standard error, with the error of the step that
// failed, and never on standard output, which may carry the application's
// stream; the sender's line also goes into its log.
TEST_F(TsOverIpReceiverTest, FailedOpenLeavesNothingBehind) {
    card::g_LogFile.InitLogFile();
    // The port is held by a socket that does not share it.
    const int handle = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(nettest::FreePort());
    ASSERT_EQ(::bind(handle, reinterpret_cast<sockaddr*>(&any), sizeof(any)), 0);
    const uint16_t taken = ntohs(any.sin_port);
    ASSERT_EQ(receiver.SetParameter(Param(L"127.0.0.1", taken, 188, 0)), 1u);
    // What an open that fails says, on standard error only.
    const auto failedOpen = [](auto& object) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(object.Open(), 0u);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        return said;
    };
    EXPECT_EQ(failedOpen(receiver), "Socket error is:" + std::to_string(EADDRINUSE) + "\n");
    // A name that begins like a group takes the group path, where it does
    // not parse: no system call failed there.
    CTsOverIpMulticast group(&card::g_LogFile);
    ASSERT_EQ(group.SetParameter(Param(L"239abc", 9, 188, 0)), 1u);
    const std::string invalid = "Socket error is:" + std::to_string(EINVAL);
    EXPECT_EQ(failedOpen(group), invalid + "\n");
    EXPECT_NE(LogText().find(invalid), std::string::npos);
    EXPECT_FALSE(receiver.IsOpen());
    EXPECT_FALSE(group.IsOpen());
    uint32_t count = 0;
    EXPECT_EQ(receiver.GetFillPacketNum(&count), 0u);
    ::close(handle);
    EXPECT_EQ(receiver.Open(), 1u);

    CTsOverIpMulticast sender(&card::g_LogFile);
    ASSERT_EQ(sender.SetParameter(Param(L"no-such-host.invalid", 9, 188, 0)), 1u);
    EXPECT_EQ(sender.Open(), 0u);
    EXPECT_NE(LogText().find("host no-such-host.invalid does not resolve"), std::string::npos);
    EXPECT_FALSE(sender.IsOpen());
    EXPECT_EQ(sender.GetEmptyBufferNum(&count), 0u);
}

TEST(TsOverIpMulticastTest, GroupReachesItsMembersInAPrivateNetwork) {
    const std::string result = nettest::RunInPrivateNetwork([]() -> std::string {
        std::vector<std::string> addresses;
        if (!GetLocalIPList(&addresses) || addresses.empty()) return "no local address";
        const uint16_t port = 8008;
        CTsOverIpCapture receiver;
        CTsOverIpMulticast sender;
        receiver.SetParameter(Param(L"239.1.2.3", port, 188, 1));
        sender.SetParameter(Param(L"239.1.2.3", port, 188, 1));
        if (sender.IsMulticast() != 1) return "the group path was not chosen";
        if (receiver.Open() != 1) return "receiver did not open";
        if (sender.Open() != 1) return "sender did not open";
        const Bytes stream = Packets(0, 70, 188);
        uint32_t free = 0;
        sender.GetEmptyBufferNum(&free);
        if (sender.WritePackets(stream.data(), 70) != 1) return "packets refused";
        sender.ReleasePackets(70);
        uint32_t filled = 0;
        nettest::WaitFor([&] { return receiver.GetFillPacketNum(&filled) && filled >= 63; });
        if (filled != 63) return "received " + std::to_string(filled) + " packets, not 63";
        Bytes out(63 * 188);
        receiver.ReadPackets(out.data(), 63);
        if (out != Packets(0, 63, 188)) return "packets differ";
        return "";
    });
    if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
    EXPECT_EQ(result, "");
}

}  // namespace
}  // namespace velmora::ts

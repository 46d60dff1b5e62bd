// The proxy exchange inside the TCP tunnel socket, against a proxy the test
// plays byte by byte: tunnel bytes that arrive with the proxy's reply, and
// Shutdown while the exchange waits for the proxy.

#include "ProxyRequestText.h"
#include "TunnelPacketFormat.h"
#include "tcp_test_support.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

namespace zan {
namespace {

using tcptest::RawListener;
using Bytes = std::vector<uint8_t>;

constexpr char kLegacyKey[] = "proxy socket test key";

Bytes Text(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

// A TCP tunnel socket of crypto type 0 that connects through a proxy the
// test plays; SetUp leaves the exchange waiting for the proxy's reply.
class TcpTunnelProxy : public ::testing::Test {
protected:
    void SetUp() override
    {
        socket.SetCryptoType(0);
        ASSERT_EQ(socket.SetLegacyKey(kLegacyKey), CipherEngine::kKeyOk);
        socket.SetProxy("127.0.0.1", proxy.Port(), nullptr, nullptr);
        connected = std::async(std::launch::async, [&] { return socket.Connect("relay.example", 443); });
        far = proxy.Accept();
        ASSERT_GE(far.Get(), 0);
        const std::string request = ConnectRequest("relay.example", 443);
        ASSERT_EQ(tcptest::ReadExactly(far, request.size()), Text(request));
    }

    RawListener proxy;
    tcptest::RecordingEvents events;
    TCPTunnelSocket socket{&events};
    std::future<bool> connected;
    tcptest::Fd far;
};

TEST_F(TcpTunnelProxy, TunnelBytesThatCameWithTheReplyStartTheStream)
{
    // A frame from the peer, sent right behind the proxy's reply in one write.
    TunnelCrypto peer;
    peer.SetCryptoType(0);
    ASSERT_EQ(peer.SetLegacyKey(kLegacyKey), CipherEngine::kKeyOk);
    const Bytes payload = Text("first datagram of the tunnel");
    Bytes frame(TunnelPacketFormat::SendBufferSize(0, static_cast<uint32_t>(payload.size()), true));
    const int32_t frameSize = TunnelPacketFormat::BuildFrame(peer, payload, 5004, TunnelPacketFormat::kDataKind, frame);
    ASSERT_GT(frameSize, 0);
    Bytes reply = Text("HTTP/1.0 200 Connection established\r\n\r\n");
    reply.insert(reply.end(), frame.begin(), frame.begin() + frameSize);
    tcptest::Write(far, reply);

    ASSERT_TRUE(connected.get()) << socket.LastErrorText();
    TunnelPacket packet;
    ASSERT_TRUE(tcptest::ReceiveOne(socket, packet));
    EXPECT_EQ(Bytes(packet.data, packet.data + packet.length), payload);
    EXPECT_EQ(packet.endpoint.port, 5004u);
}

TEST_F(TcpTunnelProxy, ShutdownEndsAnExchangeThatWaitsForTheProxy)
{
    // The exchange waits up to 3000 ms for the reply; Shutdown ends it well
    // before that.
    socket.Shutdown();
    ASSERT_EQ(connected.wait_for(std::chrono::milliseconds(2000)), std::future_status::ready);
    EXPECT_FALSE(connected.get());
    EXPECT_EQ(events.Count(tcptest::RecordingEvents::Kind::kConnected), 0u);
}

}  // namespace
}  // namespace zan

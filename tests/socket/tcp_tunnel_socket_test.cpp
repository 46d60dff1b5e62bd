// The TCP tunnel socket against a far end played by the test (raw loopback
// listener, for exact bytes) and against the test peer (echo, for traffic
// and reconnection): connecting and its messages, the greeting byte,
// framing in the byte stream, stream errors, losses and reconnection from
// either side, and Shutdown.

#include "ResultCodes.h"
#include "TCPTunnelSocket.h"
#include "TcpTestPeer.h"
#include "TunnelPacketFormat.h"
#include "TunnelStatistics.h"

#include "tcp_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace zan {

namespace {

using tcptest::Fd;
using tcptest::RawListener;
using tcptest::RecordingEvents;
using Kind = RecordingEvents::Kind;
using Bytes = std::vector<uint8_t>;
using TunnelPacketFormat::OpenResult;

constexpr uint16_t kPort = 5004;
constexpr uint8_t kMasterKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr uint8_t kMasterSalt[14] = {21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34};
const std::string kStreamError = "TCPTunnel : stream error, connection closed.";

void ConfigureCrypto(TunnelCrypto& crypto, int32_t type)
{
    crypto.SetCryptoType(type);
    if (type == TunnelCrypto::kAuthenticatedType) {
        crypto.AddKey(1, kMasterKey, sizeof kMasterKey, kMasterSalt, sizeof kMasterSalt, 0);
    } else {
        ASSERT_EQ(crypto.SetLegacyKey("tcp tunnel test key"), CipherEngine::kKeyOk);
    }
}

Bytes Payload(size_t size, uint8_t seed)
{
    Bytes payload(size);
    for (size_t i = 0; i < size; ++i) {
        payload[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return payload;
}

// One frame as a far end of the same crypto type would send it.
Bytes FrameOf(int32_t type, const Bytes& payload)
{
    TunnelCrypto sender;
    ConfigureCrypto(sender, type);
    Bytes frame(TunnelPacketFormat::SendBufferSize(type, static_cast<uint32_t>(payload.size()), true));
    const int32_t size = TunnelPacketFormat::BuildFrame(sender, payload, kPort, TunnelPacketFormat::kDataKind, frame);
    EXPECT_GT(size, 0);
    frame.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return frame;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes joined;
    for (const Bytes& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

// FillStream until it added bytes; false after 10 s.
bool FillUntilRead(TCPTunnelSocket& socket)
{
    return WaitUntil([&] { return socket.FillStream(); }, static_cast<int>(tcptest::kWaitMs));
}

Bytes PayloadOf(const TunnelPacket& packet)
{
    return Bytes(packet.data, packet.data + packet.length);
}

// A socket of crypto type 0 with the engine's greeting byte, connected to a
// listener of the test; `far` is the accepted end, its greeting byte read.
class TcpTunnelAgainstListener : public ::testing::Test {
protected:
    void SetUp() override
    {
        ConfigureCrypto(socket, 0);
        socket.SetGreetingByte(2);
        socket.SetReconnectPause(20);
        ASSERT_TRUE(socket.Connect("127.0.0.1", listener.Port()));
        far = listener.Accept();
        ASSERT_TRUE(far.Get() >= 0);
        ASSERT_EQ(tcptest::ReadExactly(far, 1), Bytes{2});
    }

    RecordingEvents events;
    TunnelStatistics stats;
    TCPTunnelSocket socket{&events, &stats};
    RawListener listener;
    Fd far;
    TunnelPacket packet;
};

// ---- connecting -----------------------------------------------------------

TEST(TcpTunnelConnect, DirectConnectResolvesTheNameAndGreetsBeforeTheFirstFrame)
{
    RawListener listener;
    RecordingEvents events;
    TCPTunnelSocket socket(&events);
    ConfigureCrypto(socket, 0);
    socket.SetGreetingByte(2);
    ASSERT_TRUE(socket.Connect("localhost", listener.Port()));
    EXPECT_TRUE(socket.IsConnected());
    EXPECT_EQ(socket.DestinationHost(), "127.0.0.1");
    ASSERT_EQ(events.Count(Kind::kConnected), 1u);
    EXPECT_EQ(events.Calls(Kind::kConnected)[0].text, "127.0.0.1");
    EXPECT_EQ(events.Calls(Kind::kConnected)[0].value, listener.Port());

    const Bytes payload = Payload(5, 1);
    EXPECT_GT(socket.Send(payload.data(), 5, kPort, TunnelPacketFormat::kDataKind), 0);
    Fd far = listener.Accept();
    EXPECT_EQ(tcptest::ReadExactly(far, 1 + 2 + 12 + 5), Join({Bytes{2}, FrameOf(0, payload)}));
}

TEST(TcpTunnelConnect, RefusedPortReportsTheExactMessageAndNeverReconnects)
{
    RecordingEvents events;
    TCPTunnelSocket socket(&events);
    const uint16_t port = tcptest::RefusedPort();
    EXPECT_FALSE(socket.Connect("127.0.0.1", port));
    const std::string expected = "TCPTunnel : connect(127.0.0.1:" + std::to_string(port) + ") failed : -2147467259\n";
    ASSERT_EQ(events.Count(Kind::kError), 1u);
    EXPECT_EQ(events.Calls(Kind::kError)[0].text, expected);
    EXPECT_EQ(events.Calls(Kind::kError)[0].value, static_cast<uint32_t>(E_FAIL));
    EXPECT_EQ(socket.LastErrorText(), expected);
    EXPECT_FALSE(socket.IsConnected());

    // Never connected: a write fails for good, a read finds nothing, and no
    // reconnection is tried.
    const uint8_t byte = 0;
    EXPECT_EQ(socket.SendAll(&byte, 1), TCPTunnelSocket::kGaveUp);
    EXPECT_FALSE(socket.FillStream());
    EXPECT_EQ(events.Count(Kind::kDisconnected), 0u);
    EXPECT_EQ(events.Count(Kind::kError), 1u);
}

TEST(TcpTunnelConnect, ProxyUserTextSplitsIntoDomainAndUser)
{
    struct Case {
        const char* user;
        const char* domain;
        const char* name;
    };
    for (const Case& c : {Case{"CORP\\alice", "CORP", "alice"}, Case{"CORP+alice", "CORP", "alice"},
                          Case{"alice", "", "alice"}, Case{"a+b\\c", "a+b", "c"}, Case{"a\\b+c", "a", "b+c"}}) {
        TCPTunnelSocket socket(nullptr);
        socket.SetProxy("127.0.0.1", 3128, c.user, "secret");
        EXPECT_EQ(socket.ProxyDomain(), c.domain) << c.user;
        EXPECT_EQ(socket.ProxyUser(), c.name) << c.user;
    }
    TCPTunnelSocket socket(nullptr);
    socket.SetProxy("127.0.0.1", 3128, "CORP\\alice", "secret");
    socket.SetProxy("127.0.0.1", 3128, nullptr, nullptr);
    EXPECT_EQ(socket.ProxyUser(), "alice") << "a null user text is skipped";
    EXPECT_EQ(socket.ProxyDomain(), "CORP");
}

TEST(TcpTunnelConnect, ProxyPathConnectsToTheProxyEveryTimeAndKeepsTheNameUnresolved)
{
    RawListener proxy;
    RecordingEvents events;
    TCPTunnelSocket socket(&events);
    socket.SetProxy("127.0.0.1", proxy.Port(), "CORP\\alice", "secret");
    for (int attempt = 0; attempt < 2; ++attempt) {
        // The listener never answers: the reply read gives up after 3000 ms.
        EXPECT_FALSE(socket.Connect("relay.example", 443));
        EXPECT_TRUE(proxy.Accept().Get() >= 0) << "connection " << attempt << " goes to the proxy";
        EXPECT_EQ(socket.DestinationHost(), "relay.example");
        EXPECT_EQ(socket.LastErrorText(), "Proxy login : invalid proxy response :  : 127.0.0.1\n");
    }
    EXPECT_EQ(events.Count(Kind::kConnected), 0u);

    const uint16_t refused = tcptest::RefusedPort();
    socket.SetProxy("127.0.0.1", refused, nullptr, nullptr);
    EXPECT_FALSE(socket.Connect("relay.example", 443));
    EXPECT_EQ(socket.LastErrorText(), "Proxy login : connect() failed : -2147467259\n");
}

// ---- framing --------------------------------------------------------------

TEST_F(TcpTunnelAgainstListener, TwoFramesInOneReadAreDeliveredWithoutAnotherRead)
{
    tcptest::Write(far, Join({FrameOf(0, Payload(10, 1)), FrameOf(0, Payload(300, 2))}));
    // One write on loopback is queued whole before the first read.
    ASSERT_TRUE(FillUntilRead(socket));
    ASSERT_TRUE(socket.Receive(packet));
    EXPECT_EQ(PayloadOf(packet), Payload(10, 1));
    EXPECT_EQ(packet.endpoint.port, kPort);
    EXPECT_EQ(packet.kind, 2);
    ASSERT_TRUE(socket.Receive(packet)) << "the second frame needs no further read";
    EXPECT_EQ(PayloadOf(packet), Payload(300, 2));
    EXPECT_FALSE(socket.Receive(packet));
    EXPECT_EQ(socket.LastDrop(), OpenResult::kNothing);
}

TEST_F(TcpTunnelAgainstListener, FrameSplitOverThreeReadsIsDeliveredOnceComplete)
{
    const Bytes frame = FrameOf(0, Payload(100, 3));
    const size_t cuts[] = {0, 1, 60, frame.size()};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(socket.Receive(packet)) << "piece " << i;
        tcptest::Write(far, Bytes(frame.begin() + static_cast<ptrdiff_t>(cuts[i]),
                                  frame.begin() + static_cast<ptrdiff_t>(cuts[i + 1])));
        ASSERT_TRUE(FillUntilRead(socket));
    }
    ASSERT_TRUE(socket.Receive(packet));
    EXPECT_EQ(PayloadOf(packet), Payload(100, 3));
}

TEST_F(TcpTunnelAgainstListener, ZeroLengthFramesAreSkippedAndDroppedFramesDoNotHideTheNext)
{
    tcptest::Write(far, Join({Bytes{0, 0}, FrameOf(8, Payload(20, 4)), FrameOf(0, Payload(7, 5))}));
    ASSERT_TRUE(FillUntilRead(socket));
    EXPECT_FALSE(socket.Receive(packet)) << "a frame of the other format is dropped";
    EXPECT_EQ(socket.LastDrop(), OpenResult::kFormat);
    ASSERT_TRUE(socket.Receive(packet));
    EXPECT_EQ(PayloadOf(packet), Payload(7, 5));
    EXPECT_EQ(stats.Read(0).drops[static_cast<size_t>(OpenResult::kFormat)], 1u);
}

TEST_F(TcpTunnelAgainstListener, NegativeLengthClosesTheConnectionWhichIsThenRemade)
{
    // The bytes after the bad prefix, a valid frame among them, are not examined.
    tcptest::Write(far, Join({Bytes{0x00, 0x80}, FrameOf(0, Payload(4, 6))}));
    ASSERT_TRUE(FillUntilRead(socket));
    EXPECT_FALSE(socket.Receive(packet));
    EXPECT_EQ(socket.LastDrop(), OpenResult::kNothing);
    ASSERT_EQ(events.Count(Kind::kError), 1u);
    EXPECT_EQ(events.Calls(Kind::kError)[0].text, kStreamError);
    EXPECT_EQ(events.Calls(Kind::kError)[0].value, static_cast<uint32_t>(E_FAIL));
    EXPECT_EQ(socket.LastErrorText(), kStreamError);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_TRUE(tcptest::SeesEndOfStream(far));
    EXPECT_FALSE(socket.Receive(packet)) << "nothing of the old stream is left";

    // The next read finds the connection gone and makes a new one.
    EXPECT_FALSE(socket.FillStream());
    EXPECT_EQ(events.Count(Kind::kDisconnected), 1u);
    Fd second = listener.Accept();
    ASSERT_TRUE(second.Get() >= 0);
    EXPECT_EQ(tcptest::ReadExactly(second, 1), Bytes{2});
    EXPECT_TRUE(socket.IsConnected());
    tcptest::Write(second, FrameOf(0, Payload(9, 7)));
    ASSERT_TRUE(tcptest::ReceiveOne(socket, packet));
    EXPECT_EQ(PayloadOf(packet), Payload(9, 7));
}

// ---- writing --------------------------------------------------------------

TEST_F(TcpTunnelAgainstListener, UnwritableConnectionWaitsWithoutCountingFailuresUntilShutdown)
{
    // The far end never reads: once both buffers are full every writable
    // wait times out. The write neither fails nor reconnects; Shutdown ends it.
    const Bytes big(size_t{32} << 20, 0x5A);
    auto writer = std::async(std::launch::async, [&] {
        return socket.SendAll(big.data(), static_cast<uint32_t>(big.size()));
    });
    EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(1000)), std::future_status::timeout);
    socket.Shutdown();
    ASSERT_EQ(writer.wait_for(std::chrono::milliseconds(tcptest::kWaitMs)), std::future_status::ready);
    EXPECT_EQ(writer.get(), TCPTunnelSocket::kGaveUp);
    EXPECT_EQ(events.Count(Kind::kDisconnected), 0u);
    EXPECT_EQ(socket.ReconnectAttempts(), 0u);
}

TEST_F(TcpTunnelAgainstListener, ResetSeenByWaitingReaderAndWriterGivesOneReconnection)
{
    // The writer waits for room (the far end does not read) and the reader
    // waits for data, both on the same connection, when the far end resets
    // it: both transfers fail on that connection, and only one re-makes it.
    const Bytes big(size_t{32} << 20, 0x5A);
    auto writer = std::async(std::launch::async, [&] {
        return socket.SendAll(big.data(), static_cast<uint32_t>(big.size()));
    });
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            (void)socket.FillStream();
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return tcptest::QueuedBytes(far) >= (32 << 10); }));
    const linger reset{1, 0};
    ::setsockopt(far.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    far.Reset();

    ASSERT_EQ(writer.wait_for(std::chrono::milliseconds(tcptest::kWaitMs)), std::future_status::ready);
    EXPECT_EQ(writer.get(), TCPTunnelSocket::kConnectionLost);
    EXPECT_TRUE(events.WaitFor(Kind::kConnected, 2));
    stop.store(true);
    reader.join();
    EXPECT_EQ(events.Count(Kind::kConnected), 2u);
    EXPECT_EQ(events.Count(Kind::kDisconnected), 1u);
    EXPECT_EQ(stats.Read(0).tcpReconnects, 1u);
    Fd second = listener.Accept();
    EXPECT_EQ(tcptest::ReadExactly(second, 1), Bytes{2}) << "the rest of the interrupted write is not sent";
    EXPECT_FALSE(sockettest::Readable(second, 0));
}

TEST_F(TcpTunnelAgainstListener, PacketsAboveTheFrameLimitAreRefusedAndSendNothing)
{
    // Legacy type 0: 12 header bytes, so 32755 bytes of payload is the
    // largest packet a frame can carry.
    const Bytes largest = Payload(32755, 8);
    const Bytes tooLarge = Payload(32756, 9);
    EXPECT_LT(socket.Send(tooLarge.data(), static_cast<uint32_t>(tooLarge.size()), kPort, 0), 0);
    EXPECT_EQ(socket.Send(largest.data(), static_cast<uint32_t>(largest.size()), kPort, 0), 2 + 12 + 32755);
    EXPECT_EQ(tcptest::ReadExactly(far, 2 + 12 + 32755), FrameOf(0, largest));
    EXPECT_TRUE(socket.IsConnected());
}

// ---- traffic and losses against the echo peer ------------------------------

class TcpTunnelEcho : public ::testing::TestWithParam<int32_t> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.Start());
        ConfigureCrypto(socket, GetParam());
        socket.SetGreetingByte(2);
        socket.SetReconnectPause(20);
        ASSERT_TRUE(socket.Connect("127.0.0.1", peer.Port()));
    }

    void ExpectRoundTrip(const Bytes& payload, uint8_t kind = TunnelPacketFormat::kDataKind)
    {
        ASSERT_GT(socket.Send(payload.data(), static_cast<uint32_t>(payload.size()), kPort, kind), 0);
        ASSERT_TRUE(tcptest::ReceiveOne(socket, packet)) << payload.size() << " bytes";
        EXPECT_EQ(packet.kind, kind + TunnelPacketFormat::kKindBias);
        if (GetParam() == TunnelCrypto::kAuthenticatedType && kind != TunnelPacketFormat::kDataKind) {
            return;  // only data packets are opened; the rest is read unchecked
        }
        EXPECT_EQ(PayloadOf(packet), payload);
        EXPECT_EQ(packet.endpoint.port, kPort);
    }

    TcpTestPeer peer{TcpTestPeer::Mode::kEcho};
    RecordingEvents events;
    TunnelStatistics stats;
    TCPTunnelSocket socket{&events, &stats};
    TunnelPacket packet;
};

using TcpTunnelEchoLosses = TcpTunnelEcho;

TEST_P(TcpTunnelEcho, FramesRoundTrip)
{
    ExpectRoundTrip(Payload(1, 1));
    ExpectRoundTrip(Payload(1400, 2));
    ExpectRoundTrip(Payload(32000, 3));
    ExpectRoundTrip(Bytes{0}, TunnelPacketFormat::kKeepAliveKind);
    const TcpTestPeer::Counters counters = peer.Read();
    EXPECT_EQ(counters.greetingOk, 1u);
    EXPECT_EQ(counters.greetingBad, 0u);
    EXPECT_EQ(counters.framesReceived, 4u);
}

TEST_P(TcpTunnelEchoLosses, PeerClosingLeadsToOneReconnectionAndTrafficAgain)
{
    ExpectRoundTrip(Payload(50, 4));
    ASSERT_TRUE(peer.CloseAllConnections());
    ASSERT_TRUE(tcptest::FillUntil(socket, [&] { return events.Count(Kind::kConnected) == 2; }))
        << "the read side finds the loss and reconnects";
    ASSERT_EQ(events.Count(Kind::kDisconnected), 1u);
    EXPECT_EQ(events.Calls(Kind::kDisconnected)[0].text, "127.0.0.1");
    EXPECT_EQ(socket.ReconnectAttempts(), 0u);
    EXPECT_TRUE(socket.IsConnected());
    ExpectRoundTrip(Payload(60, 5));
    const TcpTestPeer::Counters counters = peer.Read();
    EXPECT_EQ(counters.accepted, 2u);
    EXPECT_EQ(counters.greetingOk, 2u) << "every new connection starts with the greeting byte";
    const TunnelStatistics::Snapshot snapshot = stats.Read(0);
    EXPECT_EQ(snapshot.tcpConnects, 2u);
    EXPECT_EQ(snapshot.tcpLosses, 1u);
    EXPECT_EQ(snapshot.tcpReconnects, 1u);
}

TEST_P(TcpTunnelEchoLosses, PeerGoneForGoodGivesFiveAttemptsThenGivesUp)
{
    ExpectRoundTrip(Payload(50, 6));
    peer.Stop();
    const uint8_t byte = 0;
    std::vector<int32_t> results;
    for (int i = 0; i < 40 && (results.empty() || results.back() != TCPTunnelSocket::kGaveUp); ++i) {
        const int32_t result = socket.SendAll(&byte, 1);
        if (result <= 0) {
            results.push_back(result);  // writes the kernel took before the loss showed are left out
        }
    }
    EXPECT_EQ(results, std::vector<int32_t>({0, 0, 0, 0, 0, TCPTunnelSocket::kGaveUp}));
    EXPECT_EQ(socket.ReconnectAttempts(), TCPTunnelSocket::kMaxReconnectAttempts);
    EXPECT_EQ(events.Count(Kind::kDisconnected), 1u) << "one loss, however many attempts";
    EXPECT_EQ(events.Count(Kind::kError), 5u) << "each failed attempt reports its connect failure";
    EXPECT_EQ(socket.SendAll(&byte, 1), TCPTunnelSocket::kGaveUp) << "no further attempt";
    EXPECT_FALSE(socket.FillStream()) << "reads no longer try either";
    EXPECT_EQ(events.Count(Kind::kError), 5u);
}

INSTANTIATE_TEST_SUITE_P(CryptoTypes, TcpTunnelEcho, ::testing::Values(0, 2, 8));
// Losses do not depend on the packet format.
INSTANTIATE_TEST_SUITE_P(Legacy, TcpTunnelEchoLosses, ::testing::Values(0));

// ---- both sides at once -----------------------------------------------------

TEST(TcpTunnelConcurrency, ShutdownEndsThePauseBetweenReconnections)
{
    TcpTestPeer peer(TcpTestPeer::Mode::kEcho);
    ASSERT_TRUE(peer.Start());
    RecordingEvents events;
    TCPTunnelSocket socket(&events);
    ConfigureCrypto(socket, 0);
    socket.SetReconnectPause(600000);
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.Port()));
    peer.Stop();

    auto reader = std::async(std::launch::async, [&] {
        while (events.Count(Kind::kError) == 0) {
            (void)socket.FillStream();
        }
        return socket.FillStream();
    });
    ASSERT_TRUE(events.WaitFor(Kind::kError, 1)) << "the first reconnection failed";
    socket.Shutdown();
    ASSERT_EQ(reader.wait_for(std::chrono::milliseconds(tcptest::kWaitMs)), std::future_status::ready)
        << "the 10-minute pause must end at Shutdown";
    EXPECT_FALSE(reader.get());
    const uint8_t byte = 0;
    EXPECT_EQ(socket.SendAll(&byte, 1), TCPTunnelSocket::kGaveUp);
    EXPECT_EQ(events.Count(Kind::kError), 1u) << "no attempt after Shutdown";
}

}  // namespace

} // namespace zan

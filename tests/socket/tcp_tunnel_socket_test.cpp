// The TCP tunnel socket against a far end played by the test (raw loopback
// listener, for exact bytes): connecting and its messages, the greeting
// byte, framing in the byte stream, stream errors, losses and reconnection
// from either side, the reconnection schedule and its limit, datagrams
// queued while the connection is down, Shutdown, and the proxy exchange
// inside the socket. Time is the fake clock's where a test steps through the
// schedule. Then the test peer the engine's tests relay through.

#include "FakeClock.h"
#include "ProxyRequestText.h"
#include "ResultCodes.h"
#include "TCPTunnelSocket.h"
#include "TcpTestPeer.h"
#include "TunnelPacketFormat.h"
#include "TunnelStatistics.h"

#include "tcp_test_support.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <future>
#include <iterator>
#include <thread>
#include <vector>

namespace zan {

namespace {

using tcptest::Fd;
using tcptest::RawListener;
using tcptest::RecordingEvents;
using Kind = RecordingEvents::Kind;
using Bytes = std::vector<uint8_t>;
using State = TcpConnectionState;
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

std::string Failure(const std::string& text)
{
    return text + "/" + std::to_string(static_cast<uint32_t>(E_FAIL)) + ";";
}

Bytes PayloadOf(const TunnelPacket& packet)
{
    return Bytes(packet.data, packet.data + packet.length);
}

// A socket of crypto type 0 with the engine's greeting byte, connected to a
// listener of the test by name; `far` is the accepted end, its greeting
// byte read before any frame.
class TcpTunnelAgainstListener : public ::testing::Test {
protected:
    void SetUp() override
    {
        ConfigureCrypto(socket, 0);
        socket.SetGreetingByte(2);
        ASSERT_TRUE(socket.Connect("localhost", listener.Port()));
        EXPECT_EQ(socket.DestinationHost(), "127.0.0.1");
        EXPECT_EQ(events.Texts(Kind::kConnected), "127.0.0.1/" + std::to_string(listener.Port()) + ";");
        // The connection has lived long enough that its loss is followed
        // by an immediate try.
        clock.Advance(TCPTunnelSocket::kShortLivedMs);
        far = listener.Accept();
        ASSERT_TRUE(far.Get() >= 0);
        ASSERT_EQ(tcptest::ReadExactly(far, 1), Bytes{2});
    }

    // The far end resets the connection and writes go on until one finds
    // it lost. No read runs, so nothing reconnects until the test says so.
    bool ResetUntilWritesFindItLost()
    {
        const linger reset{1, 0};
        ::setsockopt(far.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        far.Reset();
        const Bytes probe = Payload(10, 1);
        return WaitUntil([&] {
            (void)socket.Send(probe.data(), 10, kPort, TunnelPacketFormat::kDataKind);
            return socket.State() == State::kLost;
        });
    }

    // A 32 MiB write the far end never reads, on its own thread.
    std::future<int32_t> StartUnreadWrite()
    {
        return std::async(std::launch::async, [this] {
            return socket.SendAll(big.data(), static_cast<uint32_t>(big.size()));
        });
    }

    const Bytes big = Bytes(size_t{32} << 20, 0x5A);
    FakeClock clock;
    RecordingEvents events;
    TunnelStatistics stats;
    TCPTunnelSocket socket{&events, &stats};
    RawListener listener;
    Fd far;
    TunnelPacket packet;
};

// ---- connecting -----------------------------------------------------------

TEST(TcpTunnelConnect, RefusedPortReportsTheExactMessageAndIsTriedAgainLater)
{
    RecordingEvents events;
    TCPTunnelSocket socket(&events);
    const uint16_t port = tcptest::RefusedPort();
    EXPECT_FALSE(socket.Connect("127.0.0.1", port));
    const std::string expected = "TCPTunnel : connect(127.0.0.1:" + std::to_string(port) + ") failed : -2147467259\n";
    EXPECT_EQ(events.Texts(Kind::kError), Failure(expected));
    EXPECT_EQ(socket.LastErrorText(), expected);
    EXPECT_FALSE(socket.IsConnected());

    // A failed first connect is the first failed try: a write does not
    // wait for the next, and no loss is reported (nothing was up).
    EXPECT_EQ(socket.State(), State::kReconnecting);
    EXPECT_EQ(socket.ReconnectAttempts(), 1u);
    EXPECT_TRUE(socket.WillCarry());
    const uint8_t byte = 0;
    EXPECT_EQ(socket.SendAll(&byte, 1), TCPTunnelSocket::kConnectionLost);
    EXPECT_FALSE(socket.FillStream()) << "the next try is a second away";
    EXPECT_EQ(events.Counts(), "0 0 1");
}

TEST(TcpTunnelConnect, ProxyUserTextSplitsIntoDomainAndUser)
{
    struct Case {
        const char* before;  // set first, when not null
        const char* user;
        const char* split;
    };
    // Null texts are skipped and the split before stays; a whole user text
    // without a domain part clears the domain an earlier text named.
    for (const Case& c : {Case{nullptr, "CORP\\alice", "CORP|alice"}, Case{nullptr, "CORP+alice", "CORP|alice"},
                          Case{nullptr, "alice", "|alice"}, Case{nullptr, "a+b\\c", "a+b|c"},
                          Case{nullptr, "a\\b+c", "a|b+c"}, Case{"a\\b+c", nullptr, "a|b+c"},
                          Case{"CORP+alice", "bob", "|bob"}}) {
        TCPTunnelSocket socket(nullptr);
        if (c.before != nullptr) {
            socket.SetProxy("127.0.0.1", 3128, c.before, "secret");
        }
        socket.SetProxy("127.0.0.1", 3128, c.user, c.user ? "secret" : nullptr);
        EXPECT_EQ(socket.ProxyDomain() + "|" + socket.ProxyUser(), c.split) << (c.user ? c.user : "null");
    }
}

// A socket of crypto type 0 that connects through a proxy the test plays;
// SetUp leaves the exchange waiting for the proxy's reply.
class TcpTunnelProxy : public ::testing::Test {
protected:
    void SetUp() override
    {
        ConfigureCrypto(socket, 0);
        socket.SetProxy("127.0.0.1", proxy.Port(), nullptr, nullptr);
        connected = std::async(std::launch::async, [&] { return socket.Connect("relay.example", 443); });
        far = proxy.Accept();
        ASSERT_GE(far.Get(), 0);
        const std::string request = ConnectRequest("relay.example", 443);
        ASSERT_EQ(tcptest::ReadExactly(far, request.size()), Bytes(request.begin(), request.end()));
    }

    RawListener proxy;
    RecordingEvents events;
    TCPTunnelSocket socket{&events};
    std::future<bool> connected;
    Fd far;
};

TEST_F(TcpTunnelProxy, TunnelBytesThatCameWithTheReplyStartTheStream)
{
    // A frame from the peer, sent right behind the proxy's reply in one write.
    const std::string reply = "HTTP/1.0 200 Connection established\r\n\r\n";
    tcptest::Write(far, Join({Bytes(reply.begin(), reply.end()), FrameOf(0, Payload(28, 3))}));
    ASSERT_TRUE(connected.get()) << socket.LastErrorText();
    TunnelPacket packet;
    ASSERT_TRUE(tcptest::ReceiveOne(socket, packet));
    EXPECT_EQ(PayloadOf(packet), Payload(28, 3));
    EXPECT_EQ(packet.endpoint.port, kPort);
}

TEST_F(TcpTunnelProxy, ShutdownEndsAnExchangeThatWaitsForTheProxy)
{
    // The exchange waits up to 3000 ms for the reply; Shutdown ends it well
    // before that.
    socket.Shutdown();
    ASSERT_EQ(connected.wait_for(std::chrono::milliseconds(2000)), std::future_status::ready);
    EXPECT_FALSE(connected.get());
    EXPECT_EQ(events.Count(Kind::kConnected), 0u);
}

TEST_F(TcpTunnelProxy, ProxyPathConnectsToTheProxyEveryTimeAndKeepsTheNameUnresolved)
{
    far.Reset();  // the proxy closes without a reply
    EXPECT_FALSE(connected.get());
    EXPECT_EQ(socket.LastErrorText(), "Proxy login : invalid proxy response :  : 127.0.0.1\n");
    EXPECT_EQ(socket.DestinationHost(), "relay.example");
    connected = std::async(std::launch::async, [&] { return socket.Connect("relay.example", 443); });
    far = proxy.Accept();
    EXPECT_GE(far.Get(), 0) << "the next try goes to the proxy too";
    far.Reset();
    EXPECT_FALSE(connected.get());
    EXPECT_EQ(events.Count(Kind::kConnected), 0u);

    socket.SetProxy("127.0.0.1", tcptest::RefusedPort(), nullptr, nullptr);
    EXPECT_FALSE(socket.Connect("relay.example", 443));
    EXPECT_EQ(socket.LastErrorText(), "Proxy login : connect() failed : -2147467259\n");
}

// ---- framing --------------------------------------------------------------

TEST_F(TcpTunnelAgainstListener, FramesOfOneReadComeOutInOrderPastEmptyAndDroppedOnes)
{
    // One write on loopback is queued whole before the first read.
    tcptest::Write(far, Join({FrameOf(0, Payload(10, 1)), Bytes{0, 0}, FrameOf(8, Payload(20, 4)),
                              FrameOf(0, Payload(300, 2))}));
    ASSERT_TRUE(WaitUntil([&] { return socket.FillStream(); }));
    ASSERT_TRUE(socket.Receive(packet));
    EXPECT_EQ(PayloadOf(packet), Payload(10, 1));
    EXPECT_EQ(packet.endpoint.port, kPort);
    EXPECT_EQ(packet.kind, 2);
    EXPECT_FALSE(socket.Receive(packet)) << "a frame of the other format is dropped";
    EXPECT_EQ(socket.LastDrop(), OpenResult::kFormat);
    ASSERT_TRUE(socket.Receive(packet)) << "the last frame needs no further read";
    EXPECT_EQ(PayloadOf(packet), Payload(300, 2));
    EXPECT_FALSE(socket.Receive(packet));
    EXPECT_EQ(socket.LastDrop(), OpenResult::kNothing);
    EXPECT_EQ(stats.Read(0).drops[static_cast<size_t>(OpenResult::kFormat)], 1u);
}

TEST_F(TcpTunnelAgainstListener, NegativeLengthClosesTheConnectionWhichIsThenRemade)
{
    // The bytes after the bad prefix, a valid frame among them, are not examined.
    tcptest::Write(far, Join({Bytes{0x00, 0x80}, FrameOf(0, Payload(4, 6))}));
    ASSERT_TRUE(WaitUntil([&] { return socket.FillStream(); }));
    EXPECT_FALSE(socket.Receive(packet));
    EXPECT_EQ(socket.LastDrop(), OpenResult::kNothing);
    EXPECT_EQ(events.Texts(Kind::kError), Failure(kStreamError));
    EXPECT_EQ(socket.LastErrorText(), kStreamError);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_TRUE(tcptest::SeesEndOfStream(far));
    EXPECT_FALSE(socket.Receive(packet)) << "nothing of the old stream is left";

    // The next read finds the connection gone and makes a new one at once
    // (it had lived for more than a second).
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
    auto writer = StartUnreadWrite();
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
    auto writer = StartUnreadWrite();
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            (void)socket.FillStream();
        }
    });
    ASSERT_TRUE(WaitUntil([&] {
        int queued = 0;
        return ::ioctl(far.Get(), FIONREAD, &queued) == 0 && queued >= (32 << 10);
    }));
    const linger reset{1, 0};
    ::setsockopt(far.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    far.Reset();

    ASSERT_EQ(writer.wait_for(std::chrono::milliseconds(tcptest::kWaitMs)), std::future_status::ready);
    EXPECT_EQ(writer.get(), TCPTunnelSocket::kConnectionLost);
    EXPECT_TRUE(WaitUntil([&] { return events.Count(Kind::kConnected) == 2; }));
    stop.store(true);
    reader.join();
    EXPECT_EQ(events.Counts(), "2 1 0");
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

// ---- the reconnection schedule (fake clock) ---------------------------------

// A socket whose first connect was refused: its first failed try. Tries are
// counted by the statistics; the jitter is fixed.
struct FailingSocket {
    explicit FailingSocket(double jitterUnit, uint32_t limit = 0)
    {
        socket.SetJitterSource([jitterUnit] { return jitterUnit; });
        socket.SetReconnectLimit(limit);
        EXPECT_FALSE(socket.Connect("127.0.0.1", refused));
    }
    uint64_t Tries() const { return stats.Read(0).tcpReconnects; }
    // Steps the clock to 1 ms before the next try is due and then to its
    // due time: false when a try came early or did not come.
    bool NextTryComesAfter(int64_t pauseMs)
    {
        const uint64_t before = Tries();
        clock.Advance(pauseMs - 1);
        (void)socket.FillStream();
        if (Tries() != before) {
            ADD_FAILURE() << "a try came 1 ms before its pause of " << pauseMs << " ms was over";
            return false;
        }
        clock.Advance(1);
        (void)socket.FillStream();
        return Tries() == before + 1;
    }

    FakeClock clock;
    const uint16_t refused = tcptest::RefusedPort();
    RecordingEvents events;
    TunnelStatistics stats;
    TCPTunnelSocket socket{&events, &stats};
};

TEST(TcpReconnectSchedule, FiveTriesASecondApartThenBackOffDoublingToTheCap)
{
    FailingSocket failing(0.5);  // no variation
    // The pause before each further try, after 1, 2, ... failed tries.
    const int64_t pauses[] = {1000, 1000, 1000, 1000, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000};
    for (size_t i = 0; i < std::size(pauses); ++i) {
        ASSERT_TRUE(failing.NextTryComesAfter(pauses[i])) << "after " << i + 1 << " failed tries";
    }
    EXPECT_EQ(failing.socket.ReconnectAttempts(), std::size(pauses) + 1);
    EXPECT_EQ(failing.socket.State(), State::kReconnecting) << "no limit: it never gives up";

    // 13 tries over 125 s with the same failure: reported at 0 s, then at the
    // first try a minute later with the count of those held back, then once
    // more a minute after that.
    const std::string text = "TCPTunnel : connect(127.0.0.1:" + std::to_string(failing.refused) + ") failed : -2147467259";
    EXPECT_EQ(failing.events.Texts(Kind::kError),
              Failure(text + "\n") + Failure(text + " (9 repeats not shown)\n") +  // at 65 s
                  Failure(text + " (1 repeat not shown)\n"));                       // at 125 s
    EXPECT_EQ(failing.events.Counts(), "0 0 3");
    EXPECT_EQ(failing.socket.LastErrorText(), text + "\n") << "the last error text is never held back";
}

TEST(TcpReconnectSchedule, JitterVariesBackOffPausesByAFifthAtMostAndNotTheFirstFive)
{
    // The pause after the fifth failed try, 1 s nominal.
    for (const auto& [unit, firstBackOff] : {std::pair{0.0, 800}, std::pair{0.25, 900}, std::pair{0.999, 1200}}) {
        FailingSocket failing(unit);
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(failing.NextTryComesAfter(1000)) << unit << ": the first pauses are not varied";
        }
        EXPECT_TRUE(failing.NextTryComesAfter(firstBackOff)) << unit;
    }
}

TEST(TcpReconnectSchedule, ALimitGivesUpAfterThatManyFailedTriesInARow)
{
    for (const uint32_t limit : {1u, TCPTunnelSocket::kSteadyTries}) {
        FailingSocket failing(0.5, limit);
        for (uint32_t i = 1; i < limit; ++i) {
            EXPECT_TRUE(failing.socket.WillCarry()) << limit;
            ASSERT_TRUE(failing.NextTryComesAfter(1000)) << limit;
        }
        EXPECT_EQ(failing.socket.State(), State::kGivenUp) << limit;
        EXPECT_FALSE(failing.socket.WillCarry());
        EXPECT_EQ(failing.socket.ReconnectAttempts(), limit);
        EXPECT_TRUE(failing.stats.Read(0).tcpGivenUp) << "a host sees that no further try comes";
        failing.clock.Advance(60000);
        (void)failing.socket.FillStream();
        EXPECT_EQ(failing.Tries(), limit - 1) << "no try after giving up";
        const uint8_t byte = 0;
        EXPECT_EQ(failing.socket.SendAll(&byte, 1), TCPTunnelSocket::kGaveUp);
        EXPECT_EQ(failing.socket.Send(&byte, 1, kPort, TunnelPacketFormat::kDataKind), TCPTunnelSocket::kGaveUp);
    }
}

TEST_F(TcpTunnelAgainstListener, ConnectionsClosedWithinASecondAreFailedTriesAndSlowDown)
{
    socket.SetJitterSource([] { return 0.5; });
    // How long each connection lives before the far end closes it (SetUp
    // let the first live a second), and the failed tries counted then: a
    // loss after a second starts the count afresh with an immediate try.
    constexpr int64_t kShort = TCPTunnelSocket::kShortLivedMs - 1;
    for (const auto& [lived, attempts] : {std::pair<int64_t, uint32_t>{0, 0}, {kShort, 1}, {kShort, 2}, {kShort, 3},
                                          {TCPTunnelSocket::kShortLivedMs, 0}}) {
        clock.Advance(lived);
        far.Reset();
        const size_t losses = events.Count(Kind::kDisconnected) + 1;
        ASSERT_TRUE(tcptest::FillUntil(socket, [&] { return events.Count(Kind::kDisconnected) == losses; }));
        EXPECT_EQ(socket.ReconnectAttempts(), attempts) << "loss " << losses;
        if (attempts != 0) {
            const uint64_t tries = stats.Read(0).tcpReconnects;
            clock.Advance(999);
            (void)socket.FillStream();
            EXPECT_EQ(stats.Read(0).tcpReconnects, tries) << "loss " << losses << ": paused like a failed try";
            clock.Advance(1);
        }
        ASSERT_TRUE(tcptest::FillUntil(socket, [&] { return socket.IsConnected(); })) << "loss " << losses;
        far = listener.Accept();
        ASSERT_EQ(tcptest::ReadExactly(far, 1), Bytes{2});
    }
    EXPECT_EQ(events.Counts(), "6 5 0");
    EXPECT_EQ(events.Texts(Kind::kDisconnected).substr(0, 10), "127.0.0.1/");
    const TunnelStatistics::Snapshot snapshot = stats.Read(0);
    EXPECT_EQ(std::vector({snapshot.tcpConnects, snapshot.tcpLosses, snapshot.tcpReconnects}),
              std::vector<uint64_t>({6, 5, 5}));
}

// ---- datagrams queued while the connection is down --------------------------

TEST_F(TcpTunnelAgainstListener, QueuedFramesAreSentAfterReconnectionOnlyWhileYoungerThanTheLimit)
{
    ASSERT_TRUE(ResetUntilWritesFindItLost());
    const uint64_t staleBefore = stats.Read(0).staleDatagrams;

    const Bytes old = Payload(20, 2);
    const Bytes young = Payload(30, 3);
    const Bytes edge = Payload(40, 4);
    EXPECT_GT(socket.Send(edge.data(), 40, kPort, TunnelPacketFormat::kDataKind), 0) << "queued";
    clock.Advance(1);
    EXPECT_GT(socket.Send(old.data(), 20, kPort, TunnelPacketFormat::kDataKind), 0);
    clock.Advance(400);
    EXPECT_GT(socket.Send(young.data(), 30, kPort, TunnelPacketFormat::kDataKind), 0);
    EXPECT_EQ(socket.Send(TunnelPacketFormat::kKeepAlivePayload, 1, kPort, TunnelPacketFormat::kKeepAliveKind),
              TCPTunnelSocket::kConnectionLost)
        << "a keep-alive is not kept for later";
    constexpr int64_t kLimit = TCPTunnelSocket::kDefaultQueueAgeLimitMs;
    clock.Advance(kLimit - 401);  // edge: at the limit, old: 1 ms younger, young: 401 ms younger

    ASSERT_TRUE(tcptest::FillUntil(socket, [&] { return socket.IsConnected(); }));
    Fd second = listener.Accept();
    const Bytes expected = Join({Bytes{2}, FrameOf(0, old), FrameOf(0, young)});
    EXPECT_EQ(tcptest::ReadExactly(second, expected.size()), expected) << "in order, after the greeting";
    EXPECT_FALSE(sockettest::Readable(second, 100)) << "the frame at the age limit is not sent";
    EXPECT_EQ(stats.Read(0).staleDatagrams - staleBefore, 1u);
    EXPECT_EQ(events.Counts(), "2 1 0");

    // Queued frames go before any later one.
    const Bytes after = Payload(50, 5);
    EXPECT_EQ(socket.Send(after.data(), 50, kPort, TunnelPacketFormat::kDataKind), 2 + 12 + 50);
    EXPECT_EQ(tcptest::ReadExactly(second, 2 + 12 + 50), FrameOf(0, after));
}

TEST_F(TcpTunnelAgainstListener, FramesTooOldWhileStillDownAreDroppedAtOnce)
{
    socket.SetQueueAgeLimit(100);
    ASSERT_TRUE(ResetUntilWritesFindItLost());
    const Bytes payload = Payload(10, 1);
    const uint64_t staleBefore = stats.Read(0).staleDatagrams;
    // A long outage queues no more than the age limit's worth.
    for (int i = 0; i < 50; ++i) {
        EXPECT_GT(socket.Send(payload.data(), 10, kPort, TunnelPacketFormat::kDataKind), 0);
        clock.Advance(10);
    }
    EXPECT_GE(stats.Read(0).staleDatagrams - staleBefore, 39u) << "dropped as they aged, not only at reconnection";
}

// A relay that is being restarted still completes a connect on its dying
// listener and resets it a moment later. The frames queued meanwhile must
// wait for a connection that lasts instead of being lost in that one.
TEST(TcpTunnelReconnect, AConnectionResetAsSoonAsMadeTakesNoQueuedFrames)
{
    FakeClock clock;
    RecordingEvents events;
    TCPTunnelSocket socket(&events);
    ConfigureCrypto(socket, 0);
    socket.SetGreetingByte(2);
    socket.SetQueueAgeLimit(60000);
    const uint16_t port = tcptest::RefusedPort();
    ASSERT_FALSE(socket.Connect("127.0.0.1", port));
    const Bytes payload = Payload(20, 9);
    ASSERT_GT(socket.Send(payload.data(), 20, kPort, TunnelPacketFormat::kDataKind), 0) << "queued";

    // The dying listener closes, without accepting, as soon as a connection waits on it.
    Fd dying = sockettest::BoundSocket(SOCK_STREAM, true, port);
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        (void)sockettest::Readable(dying, static_cast<int>(tcptest::kWaitMs));
        dying.Reset();
        closed = true;
    });
    clock.Advance(TCPTunnelSocket::kReconnectPauseMs);
    const bool tried =
        tcptest::FillUntil(socket, [&] { return closed.load() && socket.State() == State::kReconnecting; });
    closer.join();
    ASSERT_TRUE(tried);

    Fd listener = sockettest::BoundSocket(SOCK_STREAM, true, port);
    clock.Advance(TCPTunnelSocket::kReconnectPauseMs);
    ASSERT_TRUE(tcptest::FillUntil(socket, [&] { return socket.IsConnected(); }));
    Fd far = sockettest::Accept(listener);
    EXPECT_EQ(tcptest::ReadExactly(far, 1 + 2 + 12 + 20), Join({Bytes{2}, FrameOf(0, payload)}));
    EXPECT_EQ(events.Count(Kind::kConnected), 1u) << "the reset connection never counted as made";
}

// ---- interrupting a connect ---------------------------------------------------

TEST(TcpTunnelConcurrency, ShutdownOrTheOwnersHaltEndsAHangingConnectAtOnce)
{
    for (const bool byShutdown : {false, true}) {
        tcptest::FullListener hanging;
        std::atomic<bool> halt{false};
        TCPTunnelSocket socket(nullptr);
        socket.SetHaltSignal(&halt);
        auto connecting = std::async(std::launch::async, [&] { return socket.Connect("127.0.0.1", hanging.Port()); });
        ASSERT_EQ(connecting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
            << "the connect hangs";
        if (byShutdown) {
            socket.Shutdown();
        } else {
            halt.store(true);
        }
        ASSERT_EQ(connecting.wait_for(std::chrono::milliseconds(1000)), std::future_status::ready) << byShutdown;
        EXPECT_FALSE(connecting.get());
        EXPECT_EQ(socket.ReconnectAttempts(), 0u) << "an interrupted connect is not a failed try";
        EXPECT_EQ(socket.State(), byShutdown ? State::kGivenUp : State::kReconnecting);
        EXPECT_EQ(socket.WillCarry(), !byShutdown);
    }
}

// ---- the test peer ---------------------------------------------------------
// What the engine's end-to-end tests and benchmarks rely on: greeting
// checks, echo, holding for a lone connection, and its controls. Clients are
// raw sockets.

Fd ConnectTo(uint16_t port)
{
    Fd fd = sockettest::Connected(port);
    EXPECT_GE(fd.Get(), 0);
    return fd;
}

// A 2-byte little-endian length prefix and `length` bytes of `fill`.
Bytes RawFrame(uint8_t length, uint8_t fill)
{
    Bytes frame{length, 0};
    frame.insert(frame.end(), length, fill);
    return frame;
}

TEST(TcpTestPeer, EchoesWithOrWithoutGreetingAndControlsReachEveryConnection)
{
    TcpTestPeer peer(TcpTestPeer::Mode::kEcho);
    ASSERT_TRUE(peer.Start());
    ASSERT_NE(peer.Port(), 0);
    EXPECT_FALSE(peer.WaitForConnections(1, 50));
    Fd a = ConnectTo(peer.Port());
    Fd b = ConnectTo(peer.Port());
    ASSERT_TRUE(peer.WaitForConnections(2, tcptest::kWaitMs));

    const Bytes raw{0x00, 0x80};
    ASSERT_TRUE(peer.InjectRaw(raw));
    EXPECT_EQ(tcptest::ReadExactly(a, 2), raw);
    EXPECT_EQ(tcptest::ReadExactly(b, 2), raw);
    const Bytes frame = RawFrame(5, 0xAB);
    tcptest::Write(b, frame);  // first byte 0x05: a violation, but the frame is still read
    EXPECT_EQ(tcptest::ReadExactly(b, frame.size()), frame);

    // A client's own stream error ends its connection only.
    tcptest::Write(a, Bytes{TcpTestPeer::kGreeting, 0x00, 0x90, 1, 2});
    EXPECT_TRUE(tcptest::SeesEndOfStream(a));
    EXPECT_TRUE(peer.WaitForClosed(1, tcptest::kWaitMs));
    const TcpTestPeer::Counters counters = peer.Read();
    EXPECT_EQ(std::vector({counters.greetingOk, counters.greetingBad, counters.framesForwarded, counters.streamErrors,
                           counters.open}),
              std::vector<uint64_t>({1, 1, 1, 1, 1}));

    ASSERT_TRUE(peer.CloseAllConnections());
    EXPECT_TRUE(tcptest::SeesEndOfStream(b));
    EXPECT_EQ(peer.Read().open, 0u);
    peer.Stop();
    EXPECT_FALSE(peer.CloseAllConnections()) << "a stopped peer runs no command";
}

// Pair mode with a hold: what a lone connection sent reaches its partner
// first, in order, up to the hold's size; without a hold it is dropped.
TEST(TcpTestPeer, HoldsFramesOfALoneConnectionForItsPartner)
{
    const Bytes first = RawFrame(5, 0x11);
    const Bytes second = RawFrame(5, 0x22);
    const Bytes third = RawFrame(5, 0x33);  // beyond a hold of two frames
    const Bytes later = RawFrame(3, 0x44);
    struct Case {
        size_t hold;
        std::vector<Bytes> expected;
    };
    for (const Case& c : {Case{0, {later}}, Case{2 * first.size(), {first, second, later}}}) {
        TcpTestPeer peer(TcpTestPeer::Mode::kPair);
        peer.HoldUnpaired(c.hold);
        ASSERT_TRUE(peer.Start());
        Fd a = ConnectTo(peer.Port());
        Bytes lone{TcpTestPeer::kGreeting};
        for (const Bytes* frame : {&first, &second, &third}) {
            lone.insert(lone.end(), frame->begin(), frame->end());
        }
        tcptest::Write(a, lone);
        ASSERT_TRUE(peer.WaitForFrames(3, tcptest::kWaitMs));

        Fd b = ConnectTo(peer.Port());
        tcptest::Write(b, Bytes{TcpTestPeer::kGreeting});
        ASSERT_TRUE(peer.WaitForConnections(2, tcptest::kWaitMs));
        tcptest::Write(a, later);
        for (const Bytes& frame : c.expected) {
            EXPECT_EQ(tcptest::ReadExactly(b, frame.size()), frame) << "hold " << c.hold;
        }
        EXPECT_EQ(peer.Read().framesHeld, c.expected.size() - 1) << "hold " << c.hold;

        const Bytes back = RawFrame(2, 0x55);
        tcptest::Write(b, back);
        EXPECT_EQ(tcptest::ReadExactly(a, back.size()), back) << "hold " << c.hold;
    }
}

}  // namespace

} // namespace zan

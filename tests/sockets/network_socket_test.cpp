#include "CNetworkSocket.h"
#include "ResultCodes.h"
#include "socket_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace sockettest;

// A datagram socket bound to 127.0.0.1 on an ephemeral port.
struct BoundUdp {
    CNetworkSocket socket;
    uint32_t port = 0;

    BoundUdp()
    {
        EXPECT_TRUE(socket.OpenUdp());
        EXPECT_EQ(socket.Bind("127.0.0.1", 0), S_OK);
        std::string address;
        EXPECT_EQ(socket.GetLocalEndPoint(address, port), S_OK);
    }
};

// A connect socket connected to a listener made here, and the accepted end.
struct StreamPair {
    Fd listener = Listener();
    CNetworkSocket socket;
    Fd peer;

    StreamPair()
    {
        EXPECT_TRUE(socket.OpenTcp());
        EXPECT_EQ(socket.Connect("127.0.0.1", LocalPort(listener.Get())), S_OK);
        peer = Accept(listener);
        EXPECT_GE(peer.Get(), 0);
    }
};

TEST(CNetworkSocketWaits, TimeOutIsSplitIntoSecondsAndMicroseconds)
{
    struct Case {
        int64_t ms, seconds, microseconds;
    };
    for (const Case& c : {Case{1500, 1, 500000}, Case{200, 0, 200000}, Case{0, 0, 0}, Case{1000, 1, 0},
                          Case{3000, 3, 0}, Case{1, 0, 1000}, Case{-1, 0, -1000}}) {
        const auto split = CNetworkSocket::SplitTimeout(c.ms);
        EXPECT_EQ(split.seconds, c.seconds) << c.ms;
        EXPECT_EQ(split.microseconds, c.microseconds) << c.ms;
    }
}

TEST(CNetworkSocketWaits, NegativeTimeOutFailsInsteadOfWaitingForever)
{
    StreamPair pair;
    char buffer[8];
    EXPECT_EQ(pair.socket.Receive(buffer, sizeof buffer, -1), E_FAIL);
    EXPECT_EQ(pair.socket.LastErrorCode(), EINVAL);
}

TEST(CNetworkSocketBind, NullAddressMeansEveryAddressOnTheGivenPort)
{
    const uint16_t port = FreePort(SOCK_DGRAM);
    CNetworkSocket socket;
    ASSERT_TRUE(socket.OpenUdp());
    ASSERT_EQ(socket.Bind(nullptr, port), S_OK);
    std::string address;
    uint32_t bound = 0;
    ASSERT_EQ(socket.GetLocalEndPoint(address, bound), S_OK);
    EXPECT_EQ(address, "0.0.0.0");
    EXPECT_EQ(bound, port);
}

TEST(CNetworkSocketBind, StreamPairBindsTheBindSocketWithAddressReuseOff)
{
    CNetworkSocket socket;
    ASSERT_TRUE(socket.OpenTcp());
    ASSERT_EQ(socket.SetReuseAddress(), S_OK);
    ASSERT_EQ(socket.Bind("127.0.0.1", 0), S_OK);
    std::string address;
    uint32_t port = 0;
    ASSERT_EQ(socket.GetLocalEndPoint(address, port), S_OK);
    EXPECT_EQ(address, "127.0.0.1");
    ASSERT_NE(port, 0u);

    // Two unconnected stream sockets may share a port only when both allow
    // reuse: a second one that allows it is refused, so the bind socket's
    // reuse was turned off before binding.
    Fd other(::socket(AF_INET, SOCK_STREAM, 0));
    const int on = 1;
    ::setsockopt(other.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in sa = Loopback(static_cast<uint16_t>(port));
    EXPECT_NE(::bind(other.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(errno, EADDRINUSE);
}

TEST(CNetworkSocketBind, DatagramSocketTakesPrecedenceAndNoSocketIsNoError)
{
    CNetworkSocket none;
    EXPECT_EQ(none.Bind("127.0.0.1", 0), S_OK) << "nothing open: nothing to bind";

    CNetworkSocket socket;
    ASSERT_TRUE(socket.OpenTcp());
    ASSERT_TRUE(socket.OpenUdp());
    ASSERT_EQ(socket.Bind("127.0.0.1", 0), S_OK);
    std::string address;
    uint32_t port = 0;
    ASSERT_EQ(socket.GetLocalEndPoint(address, port), S_OK);
    EXPECT_NE(port, 0u) << "the datagram socket was bound";

    // The connect socket was left alone: it can still connect.
    Fd listener = Listener();
    EXPECT_EQ(socket.Connect("127.0.0.1", LocalPort(listener.Get())), S_OK);
}

TEST(CNetworkSocketDatagrams, IdleReceiveReturnsZeroWithNoSender)
{
    BoundUdp udp;
    std::string address = "stale";
    uint32_t port = 0;
    char buffer[16];
    EXPECT_EQ(udp.socket.ReceiveFrom(address, port, buffer, sizeof buffer), 0);
    EXPECT_EQ(address, "");
}

TEST(CNetworkSocketDatagrams, RoundTripReportsTheSender)
{
    BoundUdp receiver;
    BoundUdp sender;
    const std::string payload = "datagram payload";
    ASSERT_EQ(sender.socket.SendTo("127.0.0.1", receiver.port, payload.data(), payload.size()),
              static_cast<int32_t>(payload.size()));

    char buffer[64] = {};
    std::string address;
    uint32_t port = 0;
    ASSERT_EQ(receiver.socket.ReceiveFrom(address, port, buffer, sizeof buffer),
              static_cast<int32_t>(payload.size()));
    EXPECT_EQ(std::string(buffer, payload.size()), payload);
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, sender.port);
}

TEST(CNetworkSocketDatagrams, DatagramLargerThanTheBufferFailsAndIsNotDeliveredCut)
{
    BoundUdp receiver;
    Fd peer = BoundSocket(SOCK_DGRAM);
    SendDatagram(peer, static_cast<uint16_t>(receiver.port), std::string(100, 'x'));
    SendDatagram(peer, static_cast<uint16_t>(receiver.port), "next");

    char buffer[10];
    std::string address;
    uint32_t port = 0;
    EXPECT_EQ(receiver.socket.ReceiveFrom(address, port, buffer, sizeof buffer), E_FAIL);
    EXPECT_EQ(receiver.socket.LastErrorCode(), EMSGSIZE);
    ASSERT_EQ(receiver.socket.ReceiveFrom(address, port, buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "next");
}

TEST(CNetworkSocketDatagrams, ReceiveManyKeepsArrivalOrder)
{
    BoundUdp receiver;
    Fd peer = BoundSocket(SOCK_DGRAM);
    for (const char* text : {"one", "two", "three-is-long"}) {
        SendDatagram(peer, static_cast<uint16_t>(receiver.port), text);
    }
    std::vector<std::vector<char>> buffers(4, std::vector<char>(8));
    std::vector<CNetworkSocket::Datagram> batch(4);
    for (size_t i = 0; i < batch.size(); ++i) {
        batch[i].buffer = buffers[i].data();
        batch[i].capacity = static_cast<uint32_t>(buffers[i].size());
    }
    ASSERT_EQ(receiver.socket.ReceiveMany(batch), 3);
    EXPECT_EQ(std::string(buffers[0].data(), batch[0].length), "one");
    EXPECT_EQ(std::string(buffers[1].data(), batch[1].length), "two");
    EXPECT_TRUE(batch[2].truncated) << "13 bytes do not fit 8";
    EXPECT_FALSE(batch[0].truncated);
    EXPECT_EQ(batch[1].address, "127.0.0.1");
    EXPECT_EQ(batch[1].port, LocalPort(peer.Get()));
    EXPECT_EQ(batch[3].length, 0u);

    EXPECT_EQ(receiver.socket.ReceiveMany(batch), 0) << "nothing left: an idle wait";
}

TEST(CNetworkSocketStream, SendAndReceiveBetweenConnectSocketAndListener)
{
    StreamPair pair;
    const std::string request = "CONNECT example:443 HTTP/1.0\r\n\r\n";
    ASSERT_EQ(pair.socket.Send(request.data(), request.size()), static_cast<int32_t>(request.size()));
    EXPECT_EQ(ReadSome(pair.peer, 5000), request);

    ASSERT_EQ(pair.socket.SendWhenWritable("abc", 3), 3);
    EXPECT_EQ(ReadSome(pair.peer, 5000), "abc");

    char buffer[64] = {};
    EXPECT_EQ(pair.socket.Receive(buffer, sizeof buffer, 50), 0) << "nothing sent yet: a time-out";
    const std::string reply = "HTTP/1.0 200 OK\r\n\r\n";
    ASSERT_EQ(::send(pair.peer.Get(), reply.data(), reply.size(), 0), static_cast<ssize_t>(reply.size()));
    ASSERT_EQ(pair.socket.Receive(buffer, sizeof buffer, 5000), static_cast<int32_t>(reply.size()));
    EXPECT_EQ(std::string(buffer, reply.size()), reply);

    // A read takes only what fits; the rest waits for the next read.
    ASSERT_EQ(::send(pair.peer.Get(), "0123456789", 10, 0), 10);
    ASSERT_EQ(pair.socket.Receive(buffer, 4, 5000), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    ASSERT_EQ(pair.socket.Receive(buffer, sizeof buffer, 5000), 6);
}

TEST(CNetworkSocketStream, PeerCloseGivesIoFailureOnReadAndWrite)
{
    StreamPair pair;
    pair.peer.Reset();
    char buffer[16];
    EXPECT_EQ(pair.socket.Receive(buffer, sizeof buffer, 5000), IoFailure);
    EXPECT_FALSE(pair.socket.LastErrorText().empty());

    // The first writes after the close may still be accepted locally; the
    // peer's reset makes a later one fail.
    int32_t result = 0;
    for (int attempt = 0; attempt < 50 && result != IoFailure; ++attempt) {
        result = pair.socket.SendWhenWritable("x", 1);
        if (result != IoFailure) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_EQ(result, IoFailure);
    EXPECT_TRUE(pair.socket.LastErrorCode() == EPIPE || pair.socket.LastErrorCode() == ECONNRESET)
        << pair.socket.LastErrorCode();
    EXPECT_EQ(pair.socket.Send("x", 1), IoFailure);
}

TEST(CNetworkSocketStream, SendWhenWritableReturnsZeroOnceThePeerStopsReading)
{
    StreamPair pair;
    ASSERT_EQ(pair.socket.SetSendBufferSize(4096), S_OK);
    const std::vector<char> chunk(65536, 'z');
    int64_t total = 0;
    int32_t result = 1;
    // Each call takes what fits without blocking; with nobody reading the
    // socket stops being writable and the call gives up after its wait.
    for (int calls = 0; calls < 10000 && result > 0; ++calls) {
        result = pair.socket.SendWhenWritable(chunk.data(), chunk.size());
        total += result > 0 ? result : 0;
    }
    EXPECT_EQ(result, 0);
    EXPECT_GT(total, 0);
}

TEST(CNetworkSocketStream, ConnectFailuresAndReopenAfterClose)
{
    CNetworkSocket unopened;
    EXPECT_EQ(unopened.Connect("127.0.0.1", 1), E_FAIL) << "no stream socket object";

    CNetworkSocket socket;
    ASSERT_TRUE(socket.OpenTcp());
    const uint16_t closedPort = FreePort(SOCK_STREAM);
    EXPECT_EQ(socket.Connect("127.0.0.1", closedPort), E_FAIL);
    EXPECT_EQ(socket.LastErrorCode(), ECONNREFUSED);

    socket.Close();
    char buffer[4];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer, 10), E_FAIL) << "closed: no open stream socket";
    Fd listener = Listener();
    ASSERT_EQ(socket.Connect("127.0.0.1", LocalPort(listener.Get())), S_OK) << "Connect reopens a closed socket";
    Fd peer = Accept(listener);
    ASSERT_EQ(socket.Send("hi", 2), 2);
    EXPECT_EQ(ReadSome(peer, 5000), "hi");
}

// Shutdown from another thread ends a pending wait at once with a failure,
// without touching the socket objects the waiting thread uses.
TEST(CNetworkSocketShutdown, WakesABlockedStreamReader)
{
    StreamPair pair;
    int32_t result = 0;
    std::thread reader([&] {
        char buffer[16];
        result = pair.socket.Receive(buffer, sizeof buffer, 60000);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pair.socket.Shutdown();
    reader.join();
    EXPECT_EQ(result, IoFailure) << "a 60 s wait would have returned 0";
    EXPECT_EQ(pair.socket.Send("x", 1), IoFailure);
}

TEST(CNetworkSocketShutdown, EndsADatagramReceiveLoop)
{
    BoundUdp udp;
    std::atomic<int32_t> result{0};
    std::thread reader([&] {
        char buffer[16];
        std::string address;
        uint32_t port = 0;
        // The loop the engine's threads run: 0 means "wait again".
        for (int waits = 0; waits < 100 && result == 0; ++waits) {
            result = udp.socket.ReceiveFrom(address, port, buffer, sizeof buffer);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    udp.socket.Shutdown();
    reader.join();
    EXPECT_EQ(result.load(), E_FAIL);
}

TEST(CNetworkSocketBadInput, RefusedWithEFailAndATextAndTheCodeKept)
{
    BoundUdp udp;
    StreamPair pair;
    // Give both a known code first; input refused before any system call
    // must leave it.
    char buffer[8];
    ASSERT_EQ(udp.socket.Connect("127.0.0.1", 1), E_FAIL);
    ASSERT_EQ(pair.socket.Receive(buffer, sizeof buffer, -5), E_FAIL);
    const int32_t udpCode = udp.socket.LastErrorCode();
    const int32_t streamCode = pair.socket.LastErrorCode();

    auto expectRefused = [](CNetworkSocket& socket, int32_t result, int32_t code, const char* what) {
        EXPECT_EQ(result, E_FAIL) << what;
        EXPECT_EQ(socket.LastErrorCode(), code) << what;
        EXPECT_FALSE(socket.LastErrorText().empty()) << what;
    };
    std::string address;
    uint32_t port = 0;
    expectRefused(udp.socket, udp.socket.SendTo("not-an-address", 9, "x", 1), udpCode, "host name");
    expectRefused(udp.socket, udp.socket.SendTo("127.0.0.1", 70000, "x", 1), udpCode, "port above 65535");
    expectRefused(udp.socket, udp.socket.SendTo(nullptr, 9, "x", 1), udpCode, "null address");
    expectRefused(udp.socket, udp.socket.SendTo("127.0.0.1", 9, nullptr, 4), udpCode, "null data");
    expectRefused(udp.socket, udp.socket.SendTo("127.0.0.1", 9, "x", 0x80000000u), udpCode, "oversize");
    expectRefused(udp.socket, udp.socket.ReceiveFrom(address, port, nullptr, 4), udpCode, "null buffer");
    expectRefused(udp.socket, udp.socket.Bind("256.1.1.1", 0), udpCode, "bad literal");
    expectRefused(udp.socket, udp.socket.Bind("127.0.0.1", 65536), udpCode, "bind port");
    expectRefused(udp.socket, udp.socket.SetMulticastInterface("::1"), udpCode, "IPv6 interface");
    expectRefused(udp.socket, udp.socket.JoinGroup(nullptr), udpCode, "null group");
    expectRefused(udp.socket, udp.socket.SetReceiveBufferSize(-1), udpCode, "negative size");
    expectRefused(pair.socket, pair.socket.Connect("example.invalid", 80), streamCode, "host name");
    expectRefused(pair.socket, pair.socket.Send(nullptr, 3), streamCode, "null data");
    expectRefused(pair.socket, pair.socket.SendWhenWritable(nullptr, 3), streamCode, "null data");
    expectRefused(pair.socket, pair.socket.Receive(nullptr, 3, 10), streamCode, "null buffer");
    expectRefused(pair.socket, pair.socket.Receive(buffer, 0, 10), streamCode, "no room");

    // An IPv6 literal parses, then fails at the system call on this IPv4 socket.
    EXPECT_EQ(udp.socket.SendTo("::1", 9, "x", 1), E_FAIL);
    EXPECT_NE(udp.socket.LastErrorCode(), udpCode);
}

TEST(CNetworkSocketBadInput, OperationsWithoutSocketsFailOrDoNothingAsListed)
{
    CNetworkSocket socket;
    char buffer[8];
    std::string address;
    uint32_t port = 0;
    EXPECT_EQ(socket.SendTo("127.0.0.1", 9, "x", 1), E_FAIL);
    EXPECT_EQ(socket.ReceiveFrom(address, port, buffer, sizeof buffer), E_FAIL);
    EXPECT_EQ(socket.Send("x", 1), E_FAIL);
    EXPECT_EQ(socket.SendWhenWritable("x", 1), E_FAIL);
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer, 10), E_FAIL);
    EXPECT_EQ(socket.GetLocalEndPoint(address, port), E_FAIL);
    EXPECT_EQ(socket.SetSendBufferSize(1000), E_FAIL);
    EXPECT_EQ(socket.SetReceiveBufferSize(1000), E_FAIL);
    std::vector<CNetworkSocket::Datagram> batch(1);
    EXPECT_EQ(socket.ReceiveMany(batch), E_FAIL);

    EXPECT_EQ(socket.SetReuseAddress(), S_OK);
    EXPECT_EQ(socket.SetMulticastLoop(false), S_OK);
    EXPECT_EQ(socket.SetMulticastInterface("127.0.0.1"), S_OK);
    EXPECT_EQ(socket.JoinGroup("239.1.1.1"), S_OK);
    EXPECT_EQ(socket.LeaveGroup("239.1.1.1"), S_OK);
    EXPECT_EQ(socket.LastErrorCode(), 0);
    socket.Close();
    socket.Shutdown();
}

TEST(CNetworkSocketOptions, ClosedSocketRecordsTheSystemError)
{
    CNetworkSocket socket;
    ASSERT_TRUE(socket.OpenUdp());
    socket.Close();
    EXPECT_EQ(socket.SetMulticastLoop(true), E_FAIL);
    EXPECT_EQ(socket.LastErrorCode(), EBADF);
    EXPECT_EQ(socket.LastErrorText(), std::strerror(EBADF));
    EXPECT_EQ(socket.Bind("127.0.0.1", 0), S_OK) << "a closed socket is not bound";
    ASSERT_TRUE(socket.OpenUdp()) << "a second open replaces the socket";
    EXPECT_EQ(socket.SetMulticastLoop(true), S_OK);
}

TEST(CNetworkSocketOptions, MulticastMembershipRules)
{
    BoundUdp udp;
    EXPECT_EQ(udp.socket.JoinGroup("10.1.2.3"), E_FAIL) << "not a multicast group";
    EXPECT_EQ(udp.socket.LastErrorCode(), EINVAL);
    EXPECT_EQ(udp.socket.SetMulticastInterface("198.51.100.1"), E_FAIL) << "no local interface has it";
    EXPECT_EQ(udp.socket.LastErrorCode(), EADDRNOTAVAIL);
    EXPECT_EQ(udp.socket.SetMulticastInterface("127.0.0.1"), S_OK);
    EXPECT_EQ(udp.socket.SetMulticastLoop(false), S_OK);
    EXPECT_EQ(udp.socket.LeaveGroup("239.1.2.3"), E_FAIL) << "never joined";
}

TEST(CNetworkSocketAddresses, MulticastClassification)
{
    for (const char* yes : {"224.0.0.1", "239.255.255.255", "224.0.0.0", "230.1.2.3"}) {
        EXPECT_TRUE(CNetworkSocket::IsMulticastAddress(yes)) << yes;
    }
    for (const char* no : {"223.255.255.255", "240.0.0.1", "127.0.0.1", "0.0.0.0", "localhost", "ff02::1",
                           "::ffff:224.0.0.1", "224.1", "", "239.0.0.1 "}) {
        EXPECT_FALSE(CNetworkSocket::IsMulticastAddress(no)) << no;
    }
    EXPECT_FALSE(CNetworkSocket::IsMulticastAddress(nullptr));
}

TEST(CNetworkSocketAddresses, Resolution)
{
    EXPECT_EQ(CNetworkSocket::ResolveHostAddress("10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(CNetworkSocket::ResolveHostAddress("::1"), "::1");
    EXPECT_EQ(CNetworkSocket::ResolveHostAddress("localhost"), "127.0.0.1");
    EXPECT_EQ(CNetworkSocket::ResolveHostAddress("no-such-host.invalid"), "");
    EXPECT_EQ(CNetworkSocket::ResolveHostAddress(""), "");
    EXPECT_EQ(CNetworkSocket::ResolveHostAddress(nullptr), "");
}

}  // namespace

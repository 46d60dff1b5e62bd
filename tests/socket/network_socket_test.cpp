// The socket layer's system calls (CNetworkSocket), its bounded connect,
// and the engine's datagram socket (CZANSocket) with its fixed reports.

#include "CNetworkSocket.h"
#include "CZANSocket.h"
#include "ResultCodes.h"
#include "ThreadWaitPump.h"
#include "base_exception.h"

#include "tcp_test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <system_error>
#include <thread>
#include <vector>

namespace zan {

namespace {

using namespace sockettest;
using tcptest::FullListener;

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
    Fd listener = BoundSocket(SOCK_STREAM, true);
    CNetworkSocket socket;
    Fd peer;
    StreamPair()
    {
        EXPECT_TRUE(socket.OpenTcp());
        EXPECT_EQ(socket.Connect("127.0.0.1", LocalPort(listener)), S_OK);
        peer = Accept(listener);
    }
};

TEST(CNetworkSocket, TimeOutSplit)
{
    struct Case {
        int64_t ms, seconds, microseconds;
    };
    for (const Case& c : {Case{1500, 1, 500000}, Case{200, 0, 200000}, Case{1000, 1, 0}, Case{1, 0, 1000},
                          Case{-1, 0, -1000}}) {
        const auto split = CNetworkSocket::SplitTimeout(c.ms);
        EXPECT_EQ(std::pair(split.seconds, split.microseconds), std::pair(c.seconds, c.microseconds)) << c.ms;
    }
}

TEST(CNetworkSocket, BindRules)
{
    CNetworkSocket none;
    EXPECT_EQ(none.Bind("127.0.0.1", 0), S_OK) << "nothing open: nothing to bind";

    const uint16_t port = FreePort(SOCK_DGRAM);
    CNetworkSocket udp;
    ASSERT_TRUE(udp.OpenTcp());
    ASSERT_TRUE(udp.OpenUdp());
    ASSERT_EQ(udp.Bind(nullptr, port), S_OK);
    std::string address;
    uint32_t bound = 0;
    ASSERT_EQ(udp.GetLocalEndPoint(address, bound), S_OK);
    EXPECT_EQ(address, "0.0.0.0") << "a null address is every address";
    EXPECT_EQ(bound, port);
    Fd listener = BoundSocket(SOCK_STREAM, true);
    EXPECT_EQ(udp.Connect("127.0.0.1", LocalPort(listener)), S_OK) << "the stream sockets were left alone";

    // Only the stream pair: the bind socket is bound, with address reuse off
    // even after SetReuseAddress turned it on. Two unconnected stream
    // sockets share a port only when both allow reuse, so a second one that
    // allows it must be refused.
    CNetworkSocket stream;
    ASSERT_TRUE(stream.OpenTcp());
    ASSERT_EQ(stream.SetReuseAddress(), S_OK);
    ASSERT_EQ(stream.Bind("127.0.0.1", 0), S_OK);
    ASSERT_EQ(stream.GetLocalEndPoint(address, bound), S_OK);
    EXPECT_EQ(address, "127.0.0.1");
    Fd other(::socket(AF_INET, SOCK_STREAM, 0));
    const int on = 1;
    ::setsockopt(other.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in sa = Loopback(static_cast<uint16_t>(bound));
    EXPECT_NE(::bind(other.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(errno, EADDRINUSE);
}

TEST(CNetworkSocket, DatagramsRoundTripWithTheirSender)
{
    BoundUdp receiver;
    BoundUdp sender;
    char buffer[64] = {};
    std::string address = "stale";
    uint32_t port = 0;
    EXPECT_EQ(receiver.socket.ReceiveFrom(address, port, buffer, sizeof buffer), 0) << "an idle wait";
    EXPECT_EQ(address, "");

    ASSERT_EQ(sender.socket.SendTo("127.0.0.1", receiver.port, "payload", 7), 7);
    ASSERT_EQ(receiver.socket.ReceiveFrom(address, port, buffer, sizeof buffer), 7);
    EXPECT_EQ(std::string(buffer, 7), "payload");
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, sender.port);

    // A datagram larger than the buffer fails and is never delivered cut.
    Fd peer = BoundSocket(SOCK_DGRAM);
    SendDatagram(peer, receiver.port, std::string(100, 'x'));
    SendDatagram(peer, receiver.port, "next");
    EXPECT_EQ(receiver.socket.ReceiveFrom(address, port, buffer, 10), E_FAIL);
    EXPECT_EQ(receiver.socket.LastErrorCode(), EMSGSIZE);
    ASSERT_EQ(receiver.socket.ReceiveFrom(address, port, buffer, 10), 4);
    EXPECT_EQ(std::string(buffer, 4), "next");
}

TEST(CNetworkSocket, PeerCloseGivesIoFailureOnWrite)
{
    StreamPair pair;
    pair.peer.Reset();
    // The first writes after the close may still be taken locally; the
    // peer's reset makes a later one fail.
    int32_t result = 0;
    for (int attempt = 0; attempt < 50 && result != IoFailure; ++attempt) {
        result = pair.socket.SendWhenWritable("x", 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(result == IoFailure ? 0 : 10));
    }
    EXPECT_EQ(result, IoFailure);
    EXPECT_TRUE(pair.socket.LastErrorCode() == EPIPE || pair.socket.LastErrorCode() == ECONNRESET);
    EXPECT_EQ(pair.socket.Send("x", 1), IoFailure);
}

TEST(CNetworkSocket, SendWhenWritableGivesUpOnceThePeerStopsReading)
{
    StreamPair pair;
    ASSERT_EQ(pair.socket.SetSendBufferSize(4096), S_OK);
    const std::vector<char> chunk(65536, 'z');
    int32_t result = 1;
    for (int calls = 0; calls < 10000 && result > 0; ++calls) {
        result = pair.socket.SendWhenWritable(chunk.data(), chunk.size());
    }
    EXPECT_EQ(result, 0) << "not writable within the wait, and no blocking send";
}

TEST(ConnectBounded, RefusedPortFailsWithTheSystemErrorAndAClosedSocketReopens)
{
    CNetworkSocket socket;
    EXPECT_EQ(socket.ConnectBounded("127.0.0.1", 1, 5000), E_FAIL) << "not open";
    ASSERT_TRUE(socket.OpenTcp());
    EXPECT_EQ(socket.ConnectBounded("127.0.0.1", FreePort(SOCK_STREAM), 5000), E_FAIL);
    EXPECT_EQ(socket.LastErrorCode(), ECONNREFUSED);
    socket.Close();
    Fd listener = BoundSocket(SOCK_STREAM, true);
    ASSERT_EQ(socket.ConnectBounded("127.0.0.1", LocalPort(listener), 5000), S_OK);
    Fd peer = Accept(listener);
    ASSERT_EQ(socket.Send("hi", 2), 2);
    EXPECT_EQ(ReadSome(peer, 5000), "hi");
}

TEST(CNetworkSocket, BadInputIsRefusedWithATextAndTheCodeKept)
{
    BoundUdp udp;
    StreamPair pair;
    char buffer[8];
    ASSERT_EQ(udp.socket.Connect("127.0.0.1", 1), E_FAIL);  // a known code first
    ASSERT_EQ(pair.socket.Receive(buffer, sizeof buffer, -5), E_FAIL);
    const int32_t udpCode = udp.socket.LastErrorCode();
    const int32_t streamCode = pair.socket.LastErrorCode();

    auto refused = [](CNetworkSocket& socket, int32_t result, int32_t code, const char* what) {
        EXPECT_EQ(result, E_FAIL) << what;
        EXPECT_EQ(socket.LastErrorCode(), code) << what;
        EXPECT_FALSE(socket.LastErrorText().empty()) << what;
    };
    std::string address;
    uint32_t port = 0;
    refused(udp.socket, udp.socket.SendTo("not-an-address", 9, "x", 1), udpCode, "host name");
    refused(udp.socket, udp.socket.SendTo("127.0.0.1", 70000, "x", 1), udpCode, "port above 65535");
    refused(udp.socket, udp.socket.SendTo(nullptr, 9, "x", 1), udpCode, "null address");
    refused(udp.socket, udp.socket.SendTo("127.0.0.1", 9, nullptr, 4), udpCode, "null data");
    refused(udp.socket, udp.socket.SendTo("127.0.0.1", 9, "x", 0x80000000u), udpCode, "oversize");
    refused(udp.socket, udp.socket.ReceiveFrom(address, port, nullptr, 4), udpCode, "null buffer");
    refused(udp.socket, udp.socket.Bind("256.1.1.1", 0), udpCode, "bad literal");
    refused(udp.socket, udp.socket.SetMulticastInterface("::1"), udpCode, "IPv6 interface");
    refused(udp.socket, udp.socket.JoinGroup(nullptr), udpCode, "null group");
    refused(udp.socket, udp.socket.SetReceiveBufferSize(-1), udpCode, "negative size");
    refused(pair.socket, pair.socket.Connect("example.invalid", 80), streamCode, "host name");
    refused(pair.socket, pair.socket.Send(nullptr, 3), streamCode, "null data");
    refused(pair.socket, pair.socket.SendWhenWritable(nullptr, 3), streamCode, "null data");
    refused(pair.socket, pair.socket.Receive(nullptr, 3, 10), streamCode, "null buffer");
    refused(pair.socket, pair.socket.Receive(buffer, 0, 10), streamCode, "no room");

    // An IPv6 literal parses, then fails at the system call on this IPv4 socket.
    EXPECT_EQ(udp.socket.SendTo("::1", 9, "x", 1), E_FAIL);
    EXPECT_NE(udp.socket.LastErrorCode(), udpCode);
    EXPECT_EQ(udp.socket.LeaveGroup("239.1.2.3"), E_FAIL) << "never joined";
}

TEST(CNetworkSocket, MissingOrClosedSocketsFailOrDoNothingAsListed)
{
    CNetworkSocket socket;
    char buffer[8];
    std::string address;
    uint32_t port = 0;
    std::vector<CNetworkSocket::Datagram> batch(1);
    for (int32_t result : {socket.SendTo("127.0.0.1", 9, "x", 1), socket.ReceiveFrom(address, port, buffer, 8),
                           socket.Send("x", 1), socket.SendWhenWritable("x", 1), socket.Receive(buffer, 8, 10),
                           socket.GetLocalEndPoint(address, port), socket.SetSendBufferSize(1000),
                           socket.SetReceiveBufferSize(1000), socket.ReceiveMany(batch)}) {
        EXPECT_EQ(result, E_FAIL);
    }
    for (int32_t result : {socket.SetReuseAddress(), socket.SetMulticastLoop(false),
                           socket.SetMulticastInterface("127.0.0.1"), socket.JoinGroup("239.1.1.1"),
                           socket.LeaveGroup("239.1.1.1")}) {
        EXPECT_EQ(result, S_OK);
    }
    EXPECT_EQ(socket.LastErrorCode(), 0);

    ASSERT_TRUE(socket.OpenUdp());
    socket.Close();
    EXPECT_EQ(socket.SetMulticastLoop(true), E_FAIL);
    EXPECT_EQ(socket.LastErrorCode(), EBADF);
    EXPECT_EQ(socket.LastErrorText(), std::strerror(EBADF));
    EXPECT_EQ(socket.Bind("127.0.0.1", 0), S_OK) << "a closed socket is not bound";
    ASSERT_TRUE(socket.OpenUdp()) << "a second open replaces the socket";
    EXPECT_EQ(socket.SetMulticastLoop(true), S_OK);
}

TEST(CNetworkSocket, AddressClassificationAndResolution)
{
    for (const char* yes : {"224.0.0.1", "239.255.255.255", "224.0.0.0"}) {
        EXPECT_TRUE(CNetworkSocket::IsMulticastAddress(yes)) << yes;
    }
    for (const char* no : {"223.255.255.255", "240.0.0.1", "127.0.0.1", "localhost", "ff02::1",
                           "::ffff:224.0.0.1", "224.1", "", "239.0.0.1 "}) {
        EXPECT_FALSE(CNetworkSocket::IsMulticastAddress(no)) << no;
    }
    EXPECT_FALSE(CNetworkSocket::IsMulticastAddress(nullptr));
    for (const auto& [address, text] : {std::pair{0u, "0.0.0.0"}, std::pair{0x7F000002u, "127.0.0.2"},
                                        std::pair{0xFFFFFFFFu, "255.255.255.255"}, std::pair{0x0A00FF01u, "10.0.255.1"}}) {
        EXPECT_EQ(CNetworkSocket::AddressText(address), text);
    }

    EXPECT_EQ(CNetworkSocket::ResolveHostAddress("10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(CNetworkSocket::ResolveHostAddress("::1"), "::1");
    EXPECT_EQ(CNetworkSocket::ResolveHostAddress("localhost"), "127.0.0.1") << "IPv4 first for IPv4 sockets";
    EXPECT_EQ(CNetworkSocket::ResolveHostAddress("no-such-host.invalid"), "");
    EXPECT_EQ(CNetworkSocket::ResolveHostAddress(""), "");
    EXPECT_EQ(CNetworkSocket::ResolveHostAddress(nullptr), "");
}

// `count` slots of `capacity` bytes each.
struct Slots {
    Slots(size_t count, uint32_t capacity) : buffers(count, std::string(capacity, '\0')), slots(count)
    {
        for (size_t i = 0; i < count; ++i) {
            slots[i].buffer = buffers[i].data();
            slots[i].capacity = capacity;
        }
    }
    // The first `count` datagrams, "|" between them, "<cut>" for a truncated one.
    std::string Texts(size_t count) const
    {
        std::string texts;
        for (size_t i = 0; i < count; ++i) {
            texts += (i == 0 ? "" : "|") + (slots[i].truncated ? "<cut>" : buffers[i].substr(0, slots[i].length));
        }
        return texts;
    }

    std::vector<std::string> buffers;
    std::vector<CNetworkSocket::Slot> slots;
};

// What is waiting, in order and no more than the slots. An empty datagram
// is marked (length 0) so the reader can count and skip it, even alone in
// its batch; only a read that names no sender (what a shut-down socket
// reads) is a failure.
TEST(BatchTransfer, ReceiveBatchTakesWhatIsWaitingInOrderEmptyOnesMarked)
{
    BoundUdp receiver;
    Fd peer = BoundSocket(SOCK_DGRAM);
    for (const char* text : {"one", "", "three-is-long", "four"}) {
        SendDatagram(peer, receiver.port, text);
    }
    Slots batch(3, 8);
    ASSERT_EQ(receiver.socket.ReceiveBatch(batch.slots), 3);
    EXPECT_EQ(batch.Texts(3), "one||<cut>") << "13 bytes do not fit 8";
    EXPECT_EQ(batch.slots[0].senderPort, LocalPort(peer));
    EXPECT_EQ(CNetworkSocket::AddressText(batch.slots[0].senderAddress), "127.0.0.1");
    ASSERT_EQ(receiver.socket.ReceiveBatch(batch.slots), 1) << "the rest, without waiting for more";
    EXPECT_EQ(batch.Texts(1), "four");
    SendDatagram(peer, receiver.port, "");
    ASSERT_EQ(receiver.socket.ReceiveBatch(batch.slots), 1);
    EXPECT_EQ(batch.Texts(1), "");
    EXPECT_EQ(receiver.socket.ReceiveBatch(batch.slots), 0) << "an idle wait ends with nothing";
}

TEST(BatchTransfer, SendBatchSendsInOrderAndFailsOnlyTheBadDatagrams)
{
    BoundUdp udp;
    CNetworkSocket& sender = udp.socket;
    Fd first = BoundSocket(SOCK_DGRAM);
    Fd second = BoundSocket(SOCK_DGRAM);
    const std::string big(70000, 'x');  // beyond what UDP carries
    const std::vector<CNetworkSocket::Outgoing> datagrams = {
        {"p1", 2, LocalPort(first)},
        {big.data(), static_cast<uint32_t>(big.size()), LocalPort(first)},
        {"q1", 2, LocalPort(second)},
        {nullptr, 5, LocalPort(first)},
        {"p2", 2, 70000},
        {"p3", 2, LocalPort(first)},
    };
    std::vector<int32_t> results(datagrams.size(), 12345);
    EXPECT_EQ(sender.SendBatch("127.0.0.1", datagrams, results), 3);
    EXPECT_EQ(results, (std::vector<int32_t>{2, E_FAIL, 2, E_FAIL, E_FAIL, 2}));
    EXPECT_EQ(ReadSome(first, 5000), "p1");
    EXPECT_EQ(ReadSome(first, 5000), "p3") << "the datagram after a failed one still goes";
    EXPECT_EQ(ReadSome(second, 5000), "q1");
    EXPECT_NE(sender.LastErrorText(), "");

    std::vector<int32_t> one(1);
    EXPECT_EQ(sender.SendBatch("no.such.literal", std::span(datagrams.data(), 1), one), 0);
    EXPECT_EQ(one[0], E_FAIL);
    CNetworkSocket unopened;
    EXPECT_EQ(unopened.SendBatch("127.0.0.1", std::span(datagrams.data(), 1), one), 0);
    EXPECT_EQ(one[0], E_FAIL);
    Slots batch(1, 8);
    EXPECT_EQ(unopened.ReceiveBatch(batch.slots), E_FAIL);
}

// A stream read takes the bytes already there at once (no wait first),
// only what fits, refuses a negative time-out even with bytes waiting and
// sees the end of the stream.
TEST(CNetworkSocket, StreamSendAndReceive)
{
    StreamPair pair;
    const std::string request = "CONNECT example:443 HTTP/1.0\r\n\r\n";
    ASSERT_EQ(pair.socket.Send(request.data(), request.size()), static_cast<int32_t>(request.size()));
    EXPECT_EQ(ReadSome(pair.peer, 5000), request);
    ASSERT_EQ(pair.socket.SendWhenWritable("abc", 3), 3);
    EXPECT_EQ(ReadSome(pair.peer, 5000), "abc");

    char buffer[16] = {};
    EXPECT_EQ(pair.socket.Receive(buffer, sizeof buffer, 50), 0) << "nothing sent yet: a time-out";
    ASSERT_EQ(::send(pair.peer.Get(), "abcdef", 6, 0), 6);
    ASSERT_EQ(pair.socket.Receive(buffer, 1, 5000), 1);  // the other five came in the same segment
    EXPECT_EQ(pair.socket.Receive(buffer + 1, sizeof buffer - 1, -1), E_FAIL) << "refused even with bytes waiting";
    EXPECT_EQ(pair.socket.LastErrorCode(), EINVAL) << "refused, not an endless wait";
    ASSERT_EQ(pair.socket.Receive(buffer + 1, 3, 0), 3) << "a zero wait still reads what is there";
    ASSERT_EQ(pair.socket.Receive(buffer + 4, sizeof buffer - 4, 0), 2);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
    EXPECT_EQ(pair.socket.Receive(buffer, sizeof buffer, 0), 0) << "nothing left: a time-out";
    pair.peer.Reset();
    EXPECT_EQ(pair.socket.Receive(buffer, sizeof buffer, 5000), IoFailure);
}

// Shutdown from another thread ends a pending wait with a failure at once,
// without touching the socket objects the waiting thread uses.
TEST(BatchTransfer, ShutdownWakesBlockedReaders)
{
    StreamPair pair;
    BoundUdp receiver;
    BoundUdp sender;
    auto stream = std::async(std::launch::async, [&] {
        char buffer[16];
        return pair.socket.Receive(buffer, sizeof buffer, 60000);
    });
    // The engine's loops: 0 means "wait again".
    auto datagram = std::async(std::launch::async, [&] {
        char buffer[16];
        std::string address;
        uint32_t from = 0;
        int32_t result = 0;
        for (int waits = 0; waits < 100 && result == 0; ++waits) {
            result = sender.socket.ReceiveFrom(address, from, buffer, sizeof buffer);
        }
        return result;
    });
    auto batch = std::async(std::launch::async, [&] {
        Slots slots(4, 64);
        int32_t result = 0;
        for (int waits = 0; waits < 100 && result == 0; ++waits) {
            result = receiver.socket.ReceiveBatch(slots.slots);
        }
        return result;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (CNetworkSocket* socket : {&pair.socket, &sender.socket, &receiver.socket}) {
        socket->Shutdown();
    }
    EXPECT_EQ(stream.get(), IoFailure) << "a 60 s wait would have given 0";
    EXPECT_EQ(datagram.get(), E_FAIL);
    EXPECT_EQ(batch.get(), E_FAIL);
}

// ---- connecting with a bound --------------------------------------------------
// The connect the host's thread makes must keep serving the thread's wait
// pump and end on a limit, a cancel flag or Shutdown. A listener with a full
// queue keeps a further connect pending, as an unanswering host would.

// Installs `action` as the calling thread's wait pump while it lives.
struct ScopedPump {
    explicit ScopedPump(std::function<void()> action) : action(std::move(action))
    {
        SetThreadWaitPump([](void* self) { static_cast<ScopedPump*>(self)->Run(); }, this);
    }
    ~ScopedPump() { SetThreadWaitPump(nullptr, nullptr); }
    void Run()
    {
        ++calls;
        action();
    }
    std::function<void()> action;
    int calls = 0;
};

TEST(ConnectBounded, PendingConnectServesThePumpAndEndsAtTheLimitShutdownOrCancel)
{
    FullListener full;
    enum class End { kLimit, kShutdown, kCancel };
    for (const End end : {End::kLimit, End::kShutdown, End::kCancel}) {
        SCOPED_TRACE(static_cast<int>(end));
        CNetworkSocket socket;
        ASSERT_TRUE(socket.OpenTcp());
        std::atomic<bool> cancel{false};
        ScopedPump pump([&] {
            if (end == End::kShutdown) {
                socket.Shutdown();
            }
            cancel.store(end == End::kCancel);
        });
        EXPECT_EQ(socket.ConnectBounded("127.0.0.1", full.Port(), end == End::kLimit ? 300 : 60000, &cancel), E_FAIL);
        if (end == End::kLimit) {
            EXPECT_EQ(socket.LastErrorCode(), ETIMEDOUT);
            EXPECT_GE(pump.calls, 1) << "the host's queue must be served while the connect waits";
        } else {
            EXPECT_EQ(pump.calls, 1) << "ended at the first call";
        }
        if (end == End::kCancel) {
            EXPECT_EQ(socket.LastErrorText(), "Connect cancelled.");
        }
    }
}

// ---- the engine's datagram socket ---------------------------------------------

// Runs `step`, which must throw exc_ZANSocket, and checks its fixed parts.
void ExpectThrow(const std::function<void()>& step, int32_t line, const char* message, uint32_t code)
{
    try {
        step();
        ADD_FAILURE() << "no exception for " << message;
    } catch (const exc_ZANSocket& e) {
        EXPECT_EQ(e.line, line) << message;
        EXPECT_EQ(e.message, message);
        EXPECT_EQ(e.code, code) << message;
        EXPECT_EQ(e.sourceFile, "CTunnel_library/src/CZANSocket");
        EXPECT_EQ(e.component, "ZANSocket");
    }
}

size_t OpenFdCount()
{
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) {
            ++count;
        }
        ::closedir(dir);
    }
    return count;
}

// A descriptor limit that leaves room for the socket's I/O machinery (which
// opens its descriptors first) but not for the socket itself. The room is
// measured on a first socket, which also has the sanitizers meet every type
// of the failing path while they can still open the pipes they check with.
TEST(CZANSocket, CreatingSocketFailsWhenNoDescriptorIsLeft)
{
    const size_t before = OpenFdCount();
    size_t perSocket = 0;
    {
        CZANSocket first;
        perSocket = OpenFdCount() - before;
        EXPECT_THROW(first.Bind("no-address", 0), exc_ZANSocket);
        try {
            throw std::system_error(std::error_code(EMFILE, std::system_category()), "first");
        } catch (const std::exception& e) {
            EXPECT_NE(e.what(), nullptr);
        }
    }
    ASSERT_GE(perSocket, 1u);
    const int probe = ::dup(0);  // the lowest free descriptor
    ::close(probe);

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe) + perSocket - 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    ExpectThrow([] { CZANSocket socket; }, 33, "Creating socket.", 0);  // an open failure records no code
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

// Every exception carries its fixed line: these pin the lines of the file.
TEST(CZANSocket, ConfigurationFailuresThrowWithTheirLinesAndCodes)
{
    CZANSocket socket;
    ExpectThrow([&] { socket.Bind("198.51.100.1", 0); }, 49, "Bind Error.", EADDRNOTAVAIL);
    EXPECT_EQ(socket.Socket().LastErrorText(), std::strerror(EADDRNOTAVAIL));
    ExpectThrow([&] { socket.SetMulticastSenderNIC("198.51.100.1"); }, 72, "Setting multicast sender NIC.",
                EADDRNOTAVAIL);
    ExpectThrow([&] { socket.JoinMulticastGroup("10.1.2.3"); }, 81, "Joining multicast address.", EINVAL);
    // Refused before any system call: these carry the last code (EINVAL).
    ExpectThrow([&] { socket.SetReceiverBufferLength(-1); }, 149, "Setting receiver buffer length.", EINVAL);
    ExpectThrow([&] { socket.SetSenderBufferLength(-1); }, 160, "Setting sender buffer length.", EINVAL);
    ExpectThrow([&] { socket.Bind("127.0.0.1", 65536); }, 49, "Bind Error.", EINVAL);

    // The failures left the socket as it was.
    socket.Bind("127.0.0.1", 0);
    socket.SetReceiverBufferLength(2000000);
    socket.SetSenderBufferLength(2000000);
    socket.SetMulticastSenderNIC("127.0.0.1");
    socket.DisableMulticastLoop();
    std::string address;
    uint32_t port = 0;
    ASSERT_EQ(socket.Socket().GetLocalEndPoint(address, port), S_OK);
    SendDatagram(BoundSocket(SOCK_DGRAM), port, "still works");
    char buffer[32];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 11);

    socket.Socket().Close();
    TunnelPacket packet;
    ExpectThrow([&] { socket.ReceivePacket(packet); }, 64, "GetLocalEndPoint Error.", EBADF);
    ExpectThrow([&] { socket.DisableMulticastLoop(); }, 86, "Disabling multicast loop.", EBADF);
    ExpectThrow([&] { socket.SetSenderBufferLength(1000); }, 160, "Setting sender buffer length.", EBADF);
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 0) << "transfers fold failures into 0";
}

// A packet as "<bytes>@<address>:<port>" of the end point it is stamped with.
std::string Stamped(const TunnelPacket& packet)
{
    return std::string(reinterpret_cast<const char*>(packet.data), packet.length) + "@" + packet.endpoint.address +
           ":" + std::to_string(packet.endpoint.port);
}

// The receive-port reads stamp each packet with the local end point: the
// port it arrived on, not the sender's. The batch read keeps arrival order
// and drops a datagram too large for its packet (the ones behind it move
// up) and an empty one. The single read names the sender; its empty wait
// clears the sender's address, keeps its port and still stamps the packet.
TEST(CZANSocket, ReceivePacketsStampTheLocalEndPointAndTheSender)
{
    CZANSocket socket;
    socket.Bind("127.0.0.1", 0);
    const PacketEndpoint local = socket.LocalEndPoint();
    const std::string at = "@127.0.0.1:" + std::to_string(local.port);
    std::array<TunnelPacket, 4> packets;
    for (TunnelPacket& packet : packets) {
        packet.Reserve(8);
    }
    packets[3].Reserve(100);
    Fd peer = BoundSocket(SOCK_DGRAM);
    for (const char* text : {"one", "too-long-for-8", "three", "four"}) {
        SendDatagram(peer, local.port, text);
    }
    ASSERT_EQ(socket.ReceivePackets(packets, local), 3u);
    EXPECT_EQ(Stamped(packets[0]) + " " + Stamped(packets[1]) + " " + Stamped(packets[2]),
              "one" + at + " three" + at + " four" + at);
    EXPECT_GE(packets[2].capacity, packets[2].length);
    EXPECT_EQ(socket.SenderEndPoint.port, LocalPort(peer));
    EXPECT_EQ(socket.ReceivePackets(packets, local), 0u) << "an idle wait";
    SendDatagram(peer, local.port, "");
    SendDatagram(peer, local.port, "c");
    ASSERT_EQ(socket.ReceivePackets(packets, local), 1u);
    EXPECT_EQ(Stamped(packets[0]), "c" + at);

    TunnelPacket packet;
    packet.Reserve(65535);
    socket.SenderEndPoint = {0, "", "kept"};
    auto sender = [&] {
        const PacketEndpoint& from = socket.SenderEndPoint;
        return from.address + ":" + std::to_string(from.port) + "/" + from.text;
    };
    const std::string peerPort = std::to_string(LocalPort(peer));
    SendDatagram(peer, local.port, "media");
    ASSERT_EQ(socket.ReceivePacket(packet), 5);
    EXPECT_EQ(Stamped(packet), "media" + at);
    EXPECT_EQ(sender(), "127.0.0.1:" + peerPort + "/kept");
    packet.endpoint.port = 0;
    EXPECT_EQ(socket.ReceivePacket(packet), 0);
    EXPECT_EQ(Stamped(packet), at);
    EXPECT_EQ(sender(), ":" + peerPort + "/kept");
}

}  // namespace

} // namespace zan

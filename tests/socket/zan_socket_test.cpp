#include "CZANSocket.h"
#include "ResultCodes.h"
#include "base_exception.h"
#include "LoopbackSockets.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <system_error>

namespace zan {

namespace {

using namespace sockettest;

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

TEST(CZANSocket, SendToReachesTheEndPointAndRefusesBadOnes)
{
    CZANSocket socket;
    Fd receiver = BoundSocket(SOCK_DGRAM);
    const PacketEndpoint to{LocalPort(receiver), "127.0.0.1", ""};
    ASSERT_EQ(socket.SendTo("tunnel", 6, to), 6);
    EXPECT_EQ(ReadSome(receiver, 5000), "tunnel");

    EXPECT_EQ(socket.SendTo("x", 1, PacketEndpoint{to.port + 65536, "127.0.0.1", ""}), E_FAIL)
        << "a port beyond 16 bits is refused, not wrapped onto the receiver's";
    EXPECT_EQ(socket.SendTo("x", 1, PacketEndpoint{to.port, "", ""}), E_FAIL);
    EXPECT_EQ(socket.SendTo(nullptr, 1, to), E_FAIL);
    EXPECT_EQ(ReadSome(receiver, 50), "") << "nothing went out";
}

}  // namespace

} // namespace zan

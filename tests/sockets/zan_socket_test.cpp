#include "CZANSocket.h"
#include "ResultCodes.h"
#include "base_exception.h"
#include "socket_test_util.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>

namespace {

using namespace sockettest;

// Runs `step`, which must throw exc_ZANSocket, and checks the parts every
// such exception shares; returns it for the checks of the caller.
exc_ZANSocket Thrown(const std::function<void()>& step)
{
    try {
        step();
    } catch (const exc_ZANSocket& e) {
        EXPECT_EQ(e.sourceFile, "CTunnel_library/src/CZANSocket");
        EXPECT_EQ(e.component, "ZANSocket");
        return e;
    }
    ADD_FAILURE() << "no exc_ZANSocket was thrown";
    return exc_ZANSocket(0, 0, "");
}

void ExpectThrow(const std::function<void()>& step, int32_t line, const char* message, uint32_t code)
{
    const exc_ZANSocket e = Thrown(step);
    EXPECT_EQ(e.line, line) << message;
    EXPECT_EQ(e.message, message);
    EXPECT_EQ(e.code, code) << message;
}

// The lowest free descriptor and the number of open ones.
rlim_t LowestFreeFd()
{
    const int probe = ::dup(0);
    ::close(probe);
    return static_cast<rlim_t>(probe);
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
// measured, not assumed: a first socket shows how many descriptors one
// takes. Leaving that room also keeps the sanitizers working, and the first
// socket has them meet every type of the path while they can.
TEST(CZANSocketErrors, CreatingSocketWhenNoDescriptorIsLeft)
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

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = LowestFreeFd() + perSocket - 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const exc_ZANSocket e = Thrown([] { CZANSocket socket; });
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(e.line, 33);
    EXPECT_EQ(e.message, "Creating socket.");
    EXPECT_EQ(e.code, 0u) << "an open failure is not recorded as a code";
}

TEST(CZANSocketErrors, ConfigurationFailuresThrowWithTheirLinesAndCodes)
{
    CZANSocket socket;
    ExpectThrow([&] { socket.Bind("198.51.100.1", 0); }, 49, "Bind Error.", EADDRNOTAVAIL);
    EXPECT_EQ(socket.Socket().LastErrorText(), std::strerror(EADDRNOTAVAIL));
    ExpectThrow([&] { socket.SetMulticastSenderNIC("198.51.100.1"); }, 72, "Setting multicast sender NIC.",
                EADDRNOTAVAIL);
    ExpectThrow([&] { socket.JoinMulticastGroup("10.1.2.3"); }, 81, "Joining multicast address.", EINVAL);
    // Refused before any system call: the exceptions carry the code of the
    // last failed call (EINVAL, just above).
    ExpectThrow([&] { socket.SetReceiverBufferLength(-1); }, 149, "Setting receiver buffer length.", EINVAL);
    ExpectThrow([&] { socket.SetSenderBufferLength(-1); }, 160, "Setting sender buffer length.", EINVAL);
    ExpectThrow([&] { socket.Bind("not-an-address", 0); }, 49, "Bind Error.", EINVAL);
    EXPECT_NE(socket.Socket().LastErrorText().find("not-an-address"), std::string::npos);
    ExpectThrow([&] { socket.Bind("127.0.0.1", 65536); }, 49, "Bind Error.", EINVAL);

    // The failures left the socket as it was: it still binds and works.
    socket.Bind("127.0.0.1", 0);
    socket.SetReceiverBufferLength(2000000);
    socket.SetSenderBufferLength(2000000);
    socket.SetMulticastSenderNIC("127.0.0.1");
    socket.DisableMulticastLoop();
    TunnelPacket packet;
    packet.Reserve(64);
    Fd peer = BoundSocket(SOCK_DGRAM);
    std::string address;
    uint32_t port = 0;
    ASSERT_EQ(socket.Socket().GetLocalEndPoint(address, port), S_OK);
    SendDatagram(peer, static_cast<uint16_t>(port), "still works");
    EXPECT_EQ(socket.ReceivePacket(packet), 11);
}

TEST(CZANSocketErrors, ClosedSocketFailuresCarryTheSystemCode)
{
    CZANSocket socket;
    socket.Socket().Close();
    TunnelPacket packet;
    ExpectThrow([&] { socket.ReceivePacket(packet); }, 64, "GetLocalEndPoint Error.", EBADF);
    ExpectThrow([&] { socket.DisableMulticastLoop(); }, 86, "Disabling multicast loop.", EBADF);
    ExpectThrow([&] { socket.SetReceiverBufferLength(1000); }, 149, "Setting receiver buffer length.", EBADF);
    ExpectThrow([&] { socket.SetSenderBufferLength(1000); }, 160, "Setting sender buffer length.", EBADF);
    socket.Bind("127.0.0.1", 0);  // no open socket: nothing to bind, no error

    char buffer[8];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 0) << "transfers fold failures into 0";
    EXPECT_EQ(socket.SendTo("x", 1, PacketEndpoint{9, "127.0.0.1", ""}), E_FAIL);
}

TEST(CZANSocketTransfers, ReceivePacketStampsTheLocalEndPointAndReceiveTheSender)
{
    CZANSocket socket;
    socket.Bind("127.0.0.1", 0);
    std::string localAddress;
    uint32_t localPort = 0;
    ASSERT_EQ(socket.Socket().GetLocalEndPoint(localAddress, localPort), S_OK);

    TunnelPacket packet;
    packet.Reserve(65535);
    packet.endpoint.text = "kept";
    socket.SenderEndPoint.text = "also kept";
    Fd peer = BoundSocket(SOCK_DGRAM);
    SendDatagram(peer, static_cast<uint16_t>(localPort), "media");
    ASSERT_EQ(socket.ReceivePacket(packet), 5);
    EXPECT_EQ(packet.length, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(packet.data), 5), "media");
    EXPECT_EQ(packet.endpoint.port, localPort) << "the port it arrived on, not the sender's";
    EXPECT_EQ(packet.endpoint.address, "127.0.0.1");
    EXPECT_EQ(packet.endpoint.text, "kept");
    EXPECT_EQ(socket.SenderEndPoint.port, LocalPort(peer.Get()));
    EXPECT_EQ(socket.SenderEndPoint.address, "127.0.0.1");
    EXPECT_EQ(socket.SenderEndPoint.text, "also kept");

    // A wait that ends empty clears the sender's address, keeps its port,
    // and still stamps the packet.
    packet.endpoint.port = 0;
    EXPECT_EQ(socket.ReceivePacket(packet), 0);
    EXPECT_EQ(packet.length, 0u);
    EXPECT_EQ(packet.endpoint.port, localPort);
    EXPECT_EQ(socket.SenderEndPoint.address, "");
    EXPECT_EQ(socket.SenderEndPoint.port, LocalPort(peer.Get()));
}

TEST(CZANSocketTransfers, SendToReachesTheEndPointAndRefusesBadOnes)
{
    CZANSocket socket;
    Fd receiver = BoundSocket(SOCK_DGRAM);
    const PacketEndpoint to{LocalPort(receiver.Get()), "127.0.0.1", ""};
    ASSERT_EQ(socket.SendTo("tunnel", 6, to), 6);
    EXPECT_EQ(ReadSome(receiver, 5000), "tunnel");

    EXPECT_EQ(socket.SendTo("x", 1, PacketEndpoint{70000, "127.0.0.1", ""}), E_FAIL)
        << "a port that does not fit 16 bits is refused, not wrapped";
    EXPECT_EQ(socket.SendTo("x", 1, PacketEndpoint{9, "", ""}), E_FAIL);
    EXPECT_EQ(socket.SendTo(nullptr, 1, to), E_FAIL);
    EXPECT_EQ(ReadSome(receiver, 50), "") << "nothing went out";
}

}  // namespace

#include "CNetworkSocket.h"
#include "HostProcess.h"
#include "control_test_util.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>

namespace zan {

namespace {

using namespace controltest;

#ifdef ZAN_TUNNEL_PROGRAM

constexpr char kKey[] =
    "tunnel_cc=9 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f a0a1a2a3a4a5a6a7a8a9aaabacad 500";

class Socket {
public:
    Socket(const char* address, uint16_t port)
    {
        socket.OpenUdp();
        EXPECT_EQ(socket.Bind(address, port), S_OK);
    }
    std::vector<uint8_t> Receive()
    {
        std::vector<uint8_t> buffer(2048);
        std::string from;
        uint32_t fromPort = 0;
        const int32_t n = socket.ReceiveFrom(from, fromPort, buffer.data(), 2048);
        buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buffer;
    }
    CNetworkSocket socket;
};

// Sends until the datagram comes out at `out` (the far end may still be
// learning its peer), for at most 10 s.
bool CarriedWithin(Socket& sender, const char* to, uint16_t port, Socket& out, const std::vector<uint8_t>& payload)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        sender.socket.SendTo(to, port, payload.data(), static_cast<uint32_t>(payload.size()));
        if (out.Receive() == payload) {  // waits up to 200 ms
            return true;
        }
    }
    return false;
}

TEST(CommandLineHost, TwoHostsCarryDatagramsBothWays)
{
    const uint16_t tunnelPort = FreePort();
    const uint16_t portA = FreePort();
    const uint16_t portB = FreePort();
    Socket outOfB("127.0.0.5", portA);
    Socket outOfA("127.0.0.4", portB);
    Socket sender("127.0.0.1", 0);

    HostProcess b({"--learn-port", std::to_string(tunnelPort), "--set", "receiver_nic=127.0.0.1", "--receive-address",
                   "127.0.0.3", "--receive-port", std::to_string(portB), "--send-address", "127.0.0.5",
                   "--crypto-type", "8", "--set", kKey, "--duration", "60"});
    HostProcess a({"--destination", "127.0.0.1:" + std::to_string(tunnelPort), "--receive-address", "127.0.0.2",
                   "--receive-port", std::to_string(portA), "--send-address", "127.0.0.4", "--crypto-type", "8",
                   "--set", kKey, "--duration", "60"});

    const std::vector<uint8_t> forward = {'t', 'o', ' ', 'B'};
    const std::vector<uint8_t> backward = {'t', 'o', ' ', 'A'};
    EXPECT_TRUE(CarriedWithin(sender, "127.0.0.2", portA, outOfB, forward));
    EXPECT_TRUE(CarriedWithin(sender, "127.0.0.3", portB, outOfA, backward));
    EXPECT_EQ(a.Stop(), 0);
    EXPECT_EQ(b.Stop(), 0);
}

TEST(CommandLineHost, BadValuesStopBeforeAnythingIsCreated)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--receive-port", "70000"}, {"--destination", "127.0.0.1"},
          {"--crypto-key-file", "/nonexistent/key"}, {"--no-such-option"}, {"--set", "novalue"}}) {
        HostProcess host(args);
        // A bad command line ends the process at once with a non-zero code.
        const auto code = host.WaitForExit(5000);
        ASSERT_TRUE(code.has_value()) << args[0] << " did not end";
        EXPECT_NE(*code, 0) << args[0];
    }
}

#endif

} // namespace

} // namespace zan

// zan-tcp-peer as a user runs it: help and version on standard output with
// exit 0, every usage error on standard error with exit 2, and a run that
// listens, serves a tunnel connection and reports its counters.
#include "LoopbackSockets.h"
#include "ProgramRun.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace zan {

TEST(TcpPeerProgram, HelpAndVersionSucceedAndUsageErrorsExitTwo)
{
    const ProgramCase cases[] = {
        {"--help", 0, "--mode", ""},
        {"-h", 0, "--duration", ""},
        {"--version", 0, "zan-tcp-peer 0.1", ""},
        {"--mode relay", 2, "", "relay"},
        {"--port 65536", 2, "", "--port"},
        {"--port -1", 2, "", "--port"},
        {"--duration soon", 2, "", "--duration"},
        {"--colour", 2, "", "--colour"},
        {"extra", 2, "", "extra"},
    };
    ExpectAnswers(ZAN_TCP_PEER_PROGRAM, cases);
}

TEST(TcpPeerProgram, ListensEchoesAFrameAndCountsWhatItServed)
{
    Program program({ZAN_TCP_PEER_PROGRAM, "--mode", "echo", "--duration", "2"});
    unsigned port = 0;
    ASSERT_TRUE(WaitUntil([&] {
        return std::sscanf(program.Out().c_str(), "listening on 127.0.0.1:%u (mode echo)", &port) == 1;
    })) << program.Out();

    // A tunnel client: the greeting byte, then one frame with a 2-byte
    // little-endian length; the same frame comes back.
    sockettest::Fd client = sockettest::Connected(static_cast<uint16_t>(port));
    ASSERT_GE(client.Get(), 0);
    const char greetingAndFrame[] = {2, 3, 0, 'a', 'b', 'c'};
    ASSERT_EQ(::send(client.Get(), greetingAndFrame, sizeof greetingAndFrame, 0), 6);
    std::string echoed;
    for (std::string got; echoed.size() < 5 && !(got = sockettest::ReadSome(client, 5000)).empty();) {
        echoed += got;
    }
    EXPECT_EQ(echoed, std::string("\x03\x00" "abc", 5));
    client.Reset();

    EXPECT_EQ(program.WaitForExit(10000), 0);
    EXPECT_NE(program.Out().find("accepted 1, greeting ok 1, greeting bad 0, frames received 1, forwarded 1"),
              std::string::npos)
        << program.Out();
}

} // namespace zan

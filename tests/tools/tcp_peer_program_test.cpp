// zan-tcp-peer as a user runs it: help and version on standard output with
// exit 0, every usage error on standard error with exit 2, and a run that
// listens, serves a tunnel connection and reports its counters.
#include "LoopbackSockets.h"
#include "ProgramRun.h"

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
    FILE* program = ::popen((std::string(ZAN_TCP_PEER_PROGRAM) + " --mode echo --duration 2").c_str(), "r");
    ASSERT_NE(program, nullptr);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, program), nullptr);
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(line, "listening on 127.0.0.1:%u (mode echo)", &port), 1) << line;

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

    char buffer[64];
    std::string rest;
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, program)) > 0;) {
        rest.append(buffer, got);
    }
    const int status = ::pclose(program);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(rest.find("accepted 1, greeting ok 1, greeting bad 0, frames received 1, forwarded 1"), std::string::npos)
        << rest;
}

} // namespace zan

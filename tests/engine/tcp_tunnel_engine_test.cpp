#include "engine_test_util.h"

#include <gtest/gtest.h>

namespace zan {

namespace {

using namespace enginetest;

TEST(TcpTunnelEngine, CarriesDatagramsBothWaysThroughThePeer)
{
    for (uint32_t type : {0u, 2u, 8u}) {
        EnginePair pair(type, {.tcp = true});
        ASSERT_TRUE(pair.a.IsDestinationSet());
        EXPECT_TRUE(pair.CarriesBothWays(Pattern(1, 1))) << "type " << type;
        EXPECT_TRUE(pair.CarriesBothWays(Pattern(1200, 2))) << "type " << type;
        EXPECT_TRUE(pair.CarriesBothWays(Pattern(30000, 3))) << "type " << type;
        const auto counters = pair.relay.Read();
        EXPECT_EQ(counters.greetingOk, 2u) << "every connection starts with the greeting byte";
        EXPECT_EQ(counters.greetingBad, 0u);
        EXPECT_EQ(pair.eventsA.Count("connected"), 1u);
        EXPECT_TRUE(pair.eventsA.Errors().empty());
    }
}

TEST(TcpTunnelEngine, StreamErrorClosesTheConnectionWithItsMessage)
{
    EnginePair pair(0, {.tcp = true});
    ASSERT_TRUE(pair.CarriesBothWays(Pattern(10, 1)));
    const uint64_t closedBefore = pair.relay.Read().closed;
    const std::array<uint8_t, 2> badPrefix = {0x00, 0x80};
    ASSERT_TRUE(pair.relay.InjectRaw(badPrefix));
    ASSERT_TRUE(pair.eventsA.WaitFor([](const auto& e) {
        for (const auto& event : e) {
            if (event.kind == "error" && event.text == "TCPTunnel : stream error, connection closed.") {
                return true;
            }
        }
        return false;
    }));
    EXPECT_TRUE(pair.relay.WaitForClosed(closedBefore + 1, 5000)) << "the engine closed its connection";
}

} // namespace

} // namespace zan

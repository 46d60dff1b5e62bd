#include "engine_test_util.h"

namespace zan {

namespace {

using namespace enginetest;

TEST(TcpTunnelEngine, CarriesDatagramsBothWaysThroughThePeer)
{
    for (uint32_t type : {0u, 2u, 8u}) {
        SCOPED_TRACE(type);
        EnginePair pair(type, {.tcp = true});
        ASSERT_TRUE(pair.a.IsDestinationSet());
        for (const size_t size : {1, 1200, 30000}) {
            EXPECT_TRUE(pair.CarriesBothWays(Pattern(size, static_cast<uint8_t>(size)))) << size;
        }
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
        return std::ranges::count(e, "TCPTunnel : stream error, connection closed.", &Event::text) > 0;
    }));
    EXPECT_TRUE(pair.relay.WaitForClosed(closedBefore + 1, 5000)) << "the engine closed its connection";
}

} // namespace

} // namespace zan

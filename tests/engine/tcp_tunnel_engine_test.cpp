#include "CTunnel.h"
#include "TcpTestPeer.h"
#include "base_exception.h"
#include "engine_test_util.h"

#include <gtest/gtest.h>

namespace zan {

namespace {

using namespace enginetest;

constexpr std::array<uint8_t, 32> kKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr std::array<uint8_t, 14> kSalt = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4};

// Two engines whose TCP tunnels meet in a pairing test peer. Datagrams given
// to A on 127.0.0.2:portA come out of B at 127.0.0.5:portA and the other way
// round from 127.0.0.3:portB to 127.0.0.4:portB.
class TcpPair {
public:
    explicit TcpPair(uint32_t cryptoType)
        : peer(TcpTestPeer::Mode::kPair), portA(FreeUdpPort()), portB(FreeUdpPort()), outOfB("127.0.0.5", portA),
          outOfA("127.0.0.4", portB)
    {
        EXPECT_TRUE(peer.Start()) << peer.Error();
        SetUp(a, eventsA, "127.0.0.4", portA, "127.0.0.2", cryptoType);
        EXPECT_TRUE(peer.WaitForConnections(1, 5000));
        SetUp(b, eventsB, "127.0.0.5", portB, "127.0.0.3", cryptoType);
        EXPECT_TRUE(peer.WaitForConnections(2, 5000));
    }

    void SetUp(CTunnel& engine, RecordingEvents& events, const char* delivery, uint16_t port, const char* receive,
               uint32_t cryptoType)
    {
        engine.SetEvents(&events);
        engine.SetDeliveryAddress(delivery);
        engine.SetTcpTunnel("127.0.0.1", peer.Port(), cryptoType, "tcp key text", nullptr, 0, nullptr, nullptr);
        engine.AddReceivePort(port, receive);
        engine.AddKey(3, kKey.data(), 32, kSalt.data(), 14, 500);
        engine.StartReceiver();
    }

    bool CarriesBothWays(const std::vector<uint8_t>& payload)
    {
        sender.SendTo("127.0.0.2", portA, payload);
        sender.SendTo("127.0.0.3", portB, payload);
        return outOfB.Receive() == payload && outOfA.Receive() == payload;
    }

    TcpTestPeer peer;
    RecordingEvents eventsA, eventsB;
    CTunnel a, b;
    uint16_t portA, portB;
    UdpEnd outOfB, outOfA;
    UdpEnd sender;
};

size_t Count(RecordingEvents& events, const std::string& kind)
{
    size_t n = 0;
    for (const Event& e : events.Events()) {
        n += e.kind == kind ? 1 : 0;
    }
    return n;
}

TEST(TcpTunnelEngine, CarriesDatagramsBothWaysThroughThePeer)
{
    for (uint32_t type : {0u, 2u, 8u}) {
        TcpPair pair(type);
        ASSERT_TRUE(pair.a.IsDestinationSet());
        EXPECT_TRUE(pair.CarriesBothWays(Pattern(1, 1))) << "type " << type;
        EXPECT_TRUE(pair.CarriesBothWays(Pattern(1200, 2))) << "type " << type;
        EXPECT_TRUE(pair.CarriesBothWays(Pattern(30000, 3))) << "type " << type;
        const auto counters = pair.peer.Read();
        EXPECT_EQ(counters.greetingOk, 2u) << "every connection starts with the greeting byte";
        EXPECT_EQ(counters.greetingBad, 0u);
        EXPECT_EQ(Count(pair.eventsA, "connected"), 1u);
        EXPECT_TRUE(pair.eventsA.Errors().empty());
    }
}

TEST(TcpTunnelEngine, ReconnectsAfterThePeerClosesAndTrafficFlowsAgain)
{
    TcpPair pair(8);
    ASSERT_TRUE(pair.CarriesBothWays(Pattern(100, 1)));
    ASSERT_TRUE(pair.peer.CloseAllConnections());

    // Both ends see the loss and connect again; the peer pairs them anew.
    ASSERT_TRUE(pair.eventsA.WaitFor([](const auto& e) {
        size_t connects = 0;
        for (const auto& event : e) {
            connects += event.kind == "connected";
        }
        return connects >= 2;
    }, 10000));
    ASSERT_TRUE(pair.peer.WaitForConnections(4, 10000));
    EXPECT_GE(Count(pair.eventsA, "disconnected"), 1u);
    EXPECT_GE(Count(pair.eventsB, "disconnected"), 1u);
    // Connections made anew start with the greeting byte too.
    EXPECT_TRUE(WaitUntil([&] { return pair.peer.Read().greetingOk >= 4; }));
    EXPECT_TRUE(WaitUntil([&] { return pair.CarriesBothWays(Pattern(200, 2)); }, 10000));
    EXPECT_GE(pair.a.Statistics().tcpLosses, 1u);
}

TEST(TcpTunnelEngine, StreamErrorClosesTheConnectionWithItsMessage)
{
    TcpPair pair(0);
    ASSERT_TRUE(pair.CarriesBothWays(Pattern(10, 1)));
    const uint64_t closedBefore = pair.peer.Read().closed;
    const std::array<uint8_t, 2> badPrefix = {0x00, 0x80};
    ASSERT_TRUE(pair.peer.InjectRaw(badPrefix));
    ASSERT_TRUE(pair.eventsA.WaitFor([](const auto& e) {
        for (const auto& event : e) {
            if (event.kind == "error" && event.text == "TCPTunnel : stream error, connection closed.") {
                return true;
            }
        }
        return false;
    }));
    EXPECT_TRUE(pair.peer.WaitForClosed(closedBefore + 1, 5000)) << "the engine closed its connection";
}

TEST(TcpTunnelEngine, NoDestinationIsRefusedAfterTheSocketWasMade)
{
    CTunnel engine;
    try {
        engine.SetTcpTunnel("127.0.0.1", 0, 0, "", nullptr, 0, nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const exc_ZANTunnel& e) {
        EXPECT_EQ(e.message, "No TCP destination address/port.");
        EXPECT_EQ(e.line, 753);
    }
    EXPECT_FALSE(engine.IsDestinationSet());
}

} // namespace

} // namespace zan

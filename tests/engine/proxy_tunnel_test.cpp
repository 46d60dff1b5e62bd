// TCP tunnels through a real HTTP proxy (squid on loopback): without a
// login, with Basic and with NTLM, refused logins and CONNECTs, and
// reconnection through the proxy after the relay or the proxy went away.

#include "CTunnel.h"
#include "SquidProxy.h"
#include "TcpTestPeer.h"
#include "engine_test_util.h"

#include <gtest/gtest.h>

#include <array>

namespace zan {

namespace {

using namespace enginetest;
using squidtest::SquidProxy;

constexpr std::array<uint8_t, 32> kKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr std::array<uint8_t, 14> kSalt = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4};
constexpr int kEventWaitMs = 20000;

struct Login {
    const char* user;
    const char* password;
};

size_t Count(RecordingEvents& events, const std::string& kind)
{
    size_t n = 0;
    for (const Event& e : events.Events()) {
        n += e.kind == kind ? 1 : 0;
    }
    return n;
}

bool WaitForCount(RecordingEvents& events, const std::string& kind, size_t count)
{
    return events.WaitFor(
        [&](const std::vector<Event>& all) {
            size_t n = 0;
            for (const Event& e : all) {
                n += e.kind == kind ? 1 : 0;
            }
            return n >= count;
        },
        kEventWaitMs);
}

std::string AllErrors(RecordingEvents& events)
{
    std::string text;
    for (const std::string& e : events.Errors()) {
        text += "[" + e + "]";
    }
    return text;
}

// Two engines whose TCP tunnels reach a pairing relay through the proxy.
// Datagrams given to A on 127.0.0.2:portA come out of B at
// 127.0.0.5:portA, and from 127.0.0.3:portB out of A at 127.0.0.4:portB.
class ProxiedPair {
public:
    ProxiedPair(const SquidProxy& proxy, Login login, uint32_t cryptoType = 8)
        : relay(TcpTestPeer::Mode::kPair), portA(FreeUdpPort()), portB(FreeUdpPort()), outOfB("127.0.0.5", portA),
          outOfA("127.0.0.4", portB)
    {
        EXPECT_TRUE(relay.Start()) << relay.Error();
        SetUp(a, eventsA, "127.0.0.4", portA, "127.0.0.2", proxy, login, cryptoType);
        SetUp(b, eventsB, "127.0.0.5", portB, "127.0.0.3", proxy, login, cryptoType);
    }

    void SetUp(CTunnel& engine, RecordingEvents& events, const char* delivery, uint16_t port, const char* receive,
               const SquidProxy& proxy, Login login, uint32_t cryptoType)
    {
        engine.SetEvents(&events);
        engine.SetDeliveryAddress(delivery);
        engine.SetTcpTunnel("127.0.0.1", relay.Port(), cryptoType, "tcp key text", "127.0.0.1", proxy.Port(),
                            login.user, login.password);
        engine.AddReceivePort(port, receive);
        engine.AddKey(3, kKey.data(), 32, kSalt.data(), 14, 500);
        engine.StartReceiver();
    }

    bool CarriesBothWays(const std::vector<uint8_t>& payload)
    {
        sender.SendTo("127.0.0.2", portA, payload);
        sender.SendTo("127.0.0.3", portB, payload);
        return outOfB.Receive(2000) == payload && outOfA.Receive(2000) == payload;
    }

    TcpTestPeer relay;
    RecordingEvents eventsA, eventsB;
    CTunnel a, b;
    uint16_t portA, portB;
    UdpEnd outOfB, outOfA;
    UdpEnd sender;
};

#define SKIP_WITHOUT_SQUID()                                   \
    if (const auto missing = squidtest::MissingSquid()) {      \
        GTEST_SKIP() << *missing;                              \
    }

TEST(ProxyTunnel, CarriesDatagramsThroughOpenBasicAndNtlmProxies)
{
    SKIP_WITHOUT_SQUID();
    struct Case {
        SquidProxy::Kind kind;
        Login login;
        const char* name;
    };
    const Case cases[] = {
        {SquidProxy::Kind::kOpen, {nullptr, nullptr}, "open"},
        {SquidProxy::Kind::kBasic, {squidtest::kBasicUser, squidtest::kBasicPassword}, "basic"},
        {SquidProxy::Kind::kNtlm, {"CORP\\alice", "ntlm password"}, "ntlm"},
    };
    for (const Case& c : cases) {
        SquidProxy proxy(c.kind);
        ASSERT_TRUE(proxy.Start()) << proxy.Error();
        uint16_t relayPort = 0;
        {
            ProxiedPair pair(proxy, c.login);
            relayPort = pair.relay.Port();
            ASSERT_TRUE(pair.relay.WaitForConnections(2, kEventWaitMs)) << c.name << AllErrors(pair.eventsA);
            EXPECT_TRUE(WaitUntil([&] { return pair.CarriesBothWays(Pattern(1200, 1)); }, 10000)) << c.name;
            EXPECT_TRUE(pair.CarriesBothWays(Pattern(30000, 2))) << c.name;
            EXPECT_TRUE(pair.eventsA.Errors().empty()) << c.name << AllErrors(pair.eventsA);
            EXPECT_EQ(Count(pair.eventsA, "connected"), 1u) << c.name;
            EXPECT_EQ(pair.relay.Read().greetingOk, 2u) << c.name << ": the greeting follows the proxy's reply";
        }
        // The tunnels went through the proxy: it logs each CONNECT once the
        // tunnel closed, with the user it logged in.
        const std::string logged = "CONNECT 127.0.0.1:" + std::to_string(relayPort);
        EXPECT_TRUE(WaitUntil([&] { return proxy.AccessLog().find(logged) != std::string::npos; }, 10000))
            << c.name << ": " << proxy.AccessLog();
        // A logged-in CONNECT names its user ("-" when none; squid's NTLM
        // test helper reads only the first letter of each name).
        const bool anonymous = proxy.AccessLog().find(logged + " - HIER_DIRECT") != std::string::npos;
        EXPECT_EQ(anonymous, c.login.user == nullptr) << c.name << " [" << logged << "]: " << proxy.AccessLog();
        if (c.kind == SquidProxy::Kind::kBasic) {
            EXPECT_NE(proxy.AccessLog().find(logged + " alice HIER_DIRECT"), std::string::npos) << proxy.AccessLog();
        }
    }
}

TEST(ProxyTunnel, RefusedLoginAndRefusedConnectEndWithTheirMessages)
{
    SKIP_WITHOUT_SQUID();
    struct Case {
        SquidProxy::Kind kind;
        Login login;
        std::string prefix;
    };
    const Case cases[] = {
        {SquidProxy::Kind::kBasic, {squidtest::kBasicUser, "wrong:password"}, "Proxy Authentication failed : Basic.\n"},
        {SquidProxy::Kind::kBasic, {"", ""}, "Proxy Authentication failed : Basic.\n"},
        {SquidProxy::Kind::kDeny, {nullptr, nullptr}, "Proxy login : invalid proxy response : 403 : 127.0.0.1\n"},
    };
    for (const Case& c : cases) {
        SquidProxy proxy(c.kind);
        ASSERT_TRUE(proxy.Start()) << proxy.Error();
        TcpTestPeer relay(TcpTestPeer::Mode::kEcho);
        ASSERT_TRUE(relay.Start());
        RecordingEvents events;
        CTunnel engine;
        engine.SetEvents(&events);
        engine.SetTcpTunnel("127.0.0.1", relay.Port(), 0, "key", "127.0.0.1", proxy.Port(), c.login.user,
                            c.login.password);
        const std::vector<std::string> errors = events.Errors();
        ASSERT_FALSE(errors.empty()) << c.prefix;
        EXPECT_EQ(errors.back().substr(0, c.prefix.size()), c.prefix);
        EXPECT_EQ(Count(events, "connected"), 0u);
        EXPECT_EQ(relay.Read().accepted, 0u) << "nothing reached the relay";
    }
}

TEST(ProxyTunnel, ReconnectsThroughTheProxyAfterTheRelayDropsTheTunnel)
{
    SKIP_WITHOUT_SQUID();
    SquidProxy proxy(SquidProxy::Kind::kBasic);
    ASSERT_TRUE(proxy.Start()) << proxy.Error();
    ProxiedPair pair(proxy, {squidtest::kBasicUser, squidtest::kBasicPassword});
    ASSERT_TRUE(pair.relay.WaitForConnections(2, kEventWaitMs)) << AllErrors(pair.eventsA);
    ASSERT_TRUE(WaitUntil([&] { return pair.CarriesBothWays(Pattern(500, 1)); }, 10000));

    ASSERT_TRUE(pair.relay.CloseAllConnections());
    EXPECT_TRUE(WaitForCount(pair.eventsA, "disconnected", 1));
    EXPECT_TRUE(WaitForCount(pair.eventsA, "connected", 2)) << AllErrors(pair.eventsA);
    EXPECT_TRUE(WaitForCount(pair.eventsB, "connected", 2)) << AllErrors(pair.eventsB);
    ASSERT_TRUE(pair.relay.WaitForConnections(4, kEventWaitMs));
    EXPECT_TRUE(WaitUntil([&] { return pair.CarriesBothWays(Pattern(500, 2)); }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return pair.relay.Read().greetingOk >= 4; }));
}

TEST(ProxyTunnel, ReconnectsAfterTheProxyRestartsOnItsPort)
{
    SKIP_WITHOUT_SQUID();
    SquidProxy proxy(SquidProxy::Kind::kNtlm);
    ASSERT_TRUE(proxy.Start()) << proxy.Error();
    ProxiedPair pair(proxy, {"CORP\\alice", "ntlm password"});
    ASSERT_TRUE(pair.relay.WaitForConnections(2, kEventWaitMs)) << AllErrors(pair.eventsA);
    ASSERT_TRUE(WaitUntil([&] { return pair.CarriesBothWays(Pattern(500, 1)); }, 10000));

    ASSERT_TRUE(proxy.Restart()) << proxy.Error();
    EXPECT_TRUE(WaitForCount(pair.eventsA, "disconnected", 1));
    EXPECT_TRUE(WaitForCount(pair.eventsA, "connected", 2)) << AllErrors(pair.eventsA);
    EXPECT_TRUE(WaitForCount(pair.eventsB, "connected", 2)) << AllErrors(pair.eventsB);
    EXPECT_TRUE(WaitUntil([&] { return pair.CarriesBothWays(Pattern(500, 2)); }, 10000));
}

}  // namespace

}  // namespace zan

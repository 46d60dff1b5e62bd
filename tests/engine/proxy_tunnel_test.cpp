// TCP tunnels through a real HTTP proxy (squid on loopback): without a
// login, with Basic and with NTLM, and refused logins and CONNECTs.

#include "SquidProxy.h"
#include "engine_test_util.h"

namespace zan {

namespace {

using namespace enginetest;
using squidtest::SquidProxy;

struct Login {
    const char* user;
    const char* password;
};

// A pair of engines whose tunnels go through `proxy` with `login`.
EnginePair::Options Through(const SquidProxy& proxy, Login login)
{
    return {.tcp = true, .proxyPort = proxy.Port(), .user = login.user, .password = login.password};
}

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
            EnginePair pair(8, Through(proxy, c.login));
            relayPort = pair.relay.Port();
            EXPECT_TRUE(WaitUntil([&] { return pair.CarriesBothWays(Pattern(1200, 1), 2000); }, 10000)) << c.name;
            EXPECT_TRUE(pair.CarriesBothWays(Pattern(30000, 2), 2000)) << c.name;
            EXPECT_TRUE(pair.eventsA.Errors().empty()) << c.name << pair.eventsA.AllErrors();
            EXPECT_EQ(pair.eventsA.Count("connected"), 1u) << c.name;
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
        EXPECT_EQ(events.Count("connected"), 0u);
        EXPECT_EQ(relay.Read().accepted, 0u) << "nothing reached the relay";
    }
}

}  // namespace

}  // namespace zan

#include "CNetworkSocket.h"
#include "CTunnel.h"
#include "ResultCodes.h"
#include "WaitUntil.h"
#include "properties_test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace zan {

namespace {

using namespace proptest;

// A UDP socket of the test bound on a loopback address, ephemeral port.
struct LoopbackUdp {
    explicit LoopbackUdp(const char* address)
    {
        EXPECT_TRUE(socket.OpenUdp());
        EXPECT_EQ(socket.Bind(address, 0), S_OK);
        std::string bound;
        EXPECT_EQ(socket.GetLocalEndPoint(bound, port), S_OK);
    }
    // True when a datagram arrives within about two seconds.
    bool Receives()
    {
        std::vector<uint8_t> buffer(2048);
        for (int wait = 0; wait < 10; ++wait) {
            std::string from;
            uint32_t fromPort = 0;
            if (socket.ReceiveFrom(from, fromPort, buffer.data(), static_cast<uint32_t>(buffer.size())) > 0) {
                return true;
            }
        }
        return false;
    }

    CNetworkSocket socket;
    uint32_t port = 0;
};

// A port on 127.0.0.2 that is free right now, for the engine to listen on.
uint16_t FreeReceivePort()
{
    LoopbackUdp probe("127.0.0.2");
    return static_cast<uint16_t>(probe.port);
}

// The authenticated format cannot seal a packet before a key is added: a
// datagram the engine forwards fails until tunnel_cc gives it the key, and
// goes out to the peer after.
TEST_F(PropertiesTest, TunnelCcAddsTheKeyToARunningEngineAtOnce)
{
    LoopbackUdp peer("127.0.0.1");
    LoopbackUdp local("127.0.0.1");
    CTunnel engine;
    engine.SetUdpTunnel("127.0.0.1", nullptr, static_cast<uint16_t>(peer.port), 8, "", 0);
    const uint16_t receivePort = FreeReceivePort();
    engine.AddReceivePort(receivePort, "127.0.0.2");
    const uint8_t datagram[] = {1, 2, 3, 4};

    ASSERT_EQ(local.socket.SendTo("127.0.0.2", receivePort, datagram, sizeof datagram), 4);
    ASSERT_TRUE(WaitUntil([&] { return engine.Statistics().sendFailures == 1; }));

    const std::u16string value = u"5 " + std::u16string(64, u'a') + u" " + std::u16string(28, u'b') + u" 1000";
    EXPECT_EQ(TunnelProperties::Set(names, settings, &engine, u"tunnel_cc", value.c_str()), S_OK);
    ASSERT_EQ(local.socket.SendTo("127.0.0.2", receivePort, datagram, sizeof datagram), 4);
    EXPECT_TRUE(WaitUntil([&] { return engine.Statistics().datagramsSent == 1; }));
    EXPECT_TRUE(peer.Receives());
    EXPECT_EQ(engine.Statistics().sendFailures, 1u);

    // The control keeps the key for the next Start, under its own id.
    EXPECT_EQ(std::tuple(settings.masterKeyLength, settings.masterSaltLength, settings.masterKey[31], settings.keyId,
                         settings.rekeyPeriod),
              std::tuple(32, 14, 0xaa, 0u, 0u));
}

} // namespace

} // namespace zan

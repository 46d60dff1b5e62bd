#include "CTunnel.h"
#include "LoopbackSockets.h"
#include "ResultCodes.h"
#include "WaitUntil.h"
#include "control_test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace zan {

namespace {

using namespace proptest;

// The authenticated format cannot seal a packet before a key is added: a
// datagram the engine forwards fails until tunnel_cc gives it the key, and
// goes out to the peer after.
TEST_F(PropertiesTest, TunnelCcAddsTheKeyToARunningEngineAtOnce)
{
    const sockettest::Fd peer = sockettest::BoundUdp("127.0.0.1");
    const sockettest::Fd local = sockettest::BoundUdp("127.0.0.1");
    CTunnel engine;
    engine.SetUdpTunnel("127.0.0.1", nullptr, sockettest::LocalPort(peer), 8, "", 0);
    const uint16_t receivePort = sockettest::FreePort(SOCK_DGRAM);
    engine.AddReceivePort(receivePort, "127.0.0.2");

    sockettest::SendDatagram(local, receivePort, "data", "127.0.0.2");
    ASSERT_TRUE(WaitUntil([&] { return engine.Statistics().sendFailures == 1; }));

    const std::u16string value = u"5 " + std::u16string(64, u'a') + u" " + std::u16string(28, u'b') + u" 1000";
    EXPECT_EQ(TunnelProperties::Set(names, settings, &engine, u"tunnel_cc", value.c_str()), S_OK);
    sockettest::SendDatagram(local, receivePort, "data", "127.0.0.2");
    EXPECT_TRUE(WaitUntil([&] { return engine.Statistics().datagramsSent == 1; }));
    EXPECT_FALSE(sockettest::ReadSome(peer, 2000).empty());
    EXPECT_EQ(engine.Statistics().sendFailures, 1u);

    // The control keeps the key for the next Start, under its own id.
    EXPECT_EQ(std::tuple(settings.masterKeyLength, settings.masterSaltLength, settings.masterKey[31], settings.keyId,
                         settings.rekeyPeriod),
              std::tuple(32, 14, 0xaa, 0u, 0u));
}

} // namespace

} // namespace zan

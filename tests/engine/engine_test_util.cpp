#include "engine_test_util.h"

namespace zan {

namespace enginetest {

EnginePair::EnginePair(uint32_t cryptoType, Options options)
    : portA(FreeUdpPort()), portB(FreeUdpPort()), outOfB("127.0.0.5", portA, options.receiveBuffer),
      outOfA("127.0.0.4", portB)
{
    static constexpr char kKeyText[] = "engine pair key text";
    if (!options.tcp) {
        tunnelPort = FreeUdpPort();
        SetUp(b, eventsB, "127.0.0.5", portB, "127.0.0.3",
              [&](CTunnel& engine) { ListenOnLoopback(engine, tunnelPort, cryptoType, kKeyText); }, options.keys);
        SetUp(a, eventsA, "127.0.0.4", portA, "127.0.0.2",
              [&](CTunnel& engine) { engine.SetUdpTunnel("127.0.0.1", nullptr, tunnelPort, cryptoType, kKeyText, 0); },
              options.keys);
        return;
    }
    EXPECT_TRUE(relay.Start()) << relay.Error();
    const auto viaRelay = [&](CTunnel& engine) {
        engine.SetTcpTunnel("127.0.0.1", relay.Port(), cryptoType, kKeyText,
                            options.proxyPort != 0 ? "127.0.0.1" : nullptr, options.proxyPort, options.user,
                            options.password);
    };
    SetUp(a, eventsA, "127.0.0.4", portA, "127.0.0.2", viaRelay, options.keys);
    EXPECT_TRUE(relay.WaitForConnections(1, 20000)) << eventsA.AllErrors();
    SetUp(b, eventsB, "127.0.0.5", portB, "127.0.0.3", viaRelay, options.keys);
    EXPECT_TRUE(relay.WaitForConnections(2, 20000)) << eventsB.AllErrors();
}

void EnginePair::SetUp(CTunnel& engine, RecordingEvents& events, const char* delivery, uint16_t port,
                       const char* receive, const std::function<void(CTunnel&)>& tunnel, bool keys)
{
    engine.SetEvents(&events);
    engine.SetDeliveryAddress(delivery);
    tunnel(engine);
    engine.AddReceivePort(port, receive);
    if (keys) {
        engine.AddKey(7, packet_test_data::kMasterKey.data(), 32, packet_test_data::kMasterSalt.data(), 14, 500);
    }
    engine.StartReceiver();
}

bool EnginePair::CarriesBothWays(const std::vector<uint8_t>& payload, int ms)
{
    sender.SendTo("127.0.0.2", portA, payload);
    sender.SendTo("127.0.0.3", portB, payload);
    return outOfB.Receive(ms) == payload && outOfA.Receive(ms) == payload;
}

} // namespace enginetest

} // namespace zan

// Set-up against a starting receive loop, ports that are in use, and the
// counters of what the receive paths read and drop.

#include "base_exception.h"
#include "engine_test_util.h"


namespace zan {

namespace {

using namespace enginetest;

// The receive loop reads the tunnel socket from the moment its thread
// exists: a set-up right after StartReceiver must be refused even before
// the loop has said it runs, or it replaces the socket under the loop.
TEST(EngineSetUp, RefusedFromTheMomentTheReceiverThreadExists)
{
    CTunnel engine;
    const auto expectRefused = [](const std::function<void()>& setUp, int line) {
        try {
            setUp();
            ADD_FAILURE() << "no exception";
        } catch (const exc_ZANTunnel& e) {
            EXPECT_EQ(std::tie(e.message, e.line, e.code, e.sourceFile),
                      std::make_tuple("Can't set tunnel if tunnel is started", line, 0u, "CTunnel_library/src/CTunnel"));
        }
    };
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        engine.SetUdpTunnel("127.0.0.1", nullptr, 9, 0, "", 0);
        engine.StartReceiver();
        expectRefused([&] { engine.SetUdpTunnel("127.0.0.1", nullptr, 9, 0, "", 0); }, 631);
        expectRefused([&] { engine.SetTcpTunnel("127.0.0.1", 9, 0, "", nullptr, 0, nullptr, nullptr); }, 717);
        engine.Stop();
    }
}

// A host thread setting up while another starts and stops the engine: each
// set-up either happens wholly before a start or is refused. ThreadSanitizer
// reports the socket swap against the loop's reads if it is not.
TEST(EngineSetUp, SetUpRacingStartReceiverIsRefusedOrWhole)
{
    CTunnel engine;
    engine.SetUdpTunnel("127.0.0.1", nullptr, 9, 0, "", 0);
    std::atomic<bool> done{false};
    std::atomic<int> accepted{0};
    std::atomic<int> refused{0};
    std::thread setUp([&] {
        while (!done.load()) {
            try {
                engine.SetUdpTunnel("127.0.0.1", nullptr, 9, 0, "", 0);
                ++accepted;
            } catch (const exc_ZANTunnel&) {
                ++refused;
            }
        }
    });
    // Each stop waits out the loop's current 200 ms read at most.
    for (int round = 0; round < 30; ++round) {
        engine.StartReceiver();
        engine.Stop();
    }
    done.store(true);
    setUp.join();
    EXPECT_GT(accepted.load() + refused.load(), 0);
    EXPECT_FALSE(engine.IsReceiving());
}

TEST(EngineSetUp, SecondTunnelOnAUsedPortGetsBindError)
{
    const uint16_t port = FreeUdpPort();
    CTunnel first, second;
    ListenOnLoopback(first, port, 0, "");
    try {
        ListenOnLoopback(second, port, 0, "");
        ADD_FAILURE() << "the second tunnel bound a port in use";
    } catch (const exc_ZANSocket& e) {
        EXPECT_EQ(std::tie(e.message, e.line, e.code), std::make_tuple("Bind Error.", 49, uint32_t{EADDRINUSE}));
    }

    // A local receive port in use: the second engine's thread reports it.
    RecordingEvents events;
    second.SetEvents(&events);
    const uint16_t local = FreeUdpPort();
    first.AddReceivePort(local, "127.0.0.2");
    second.AddReceivePort(local, "127.0.0.2");
    ASSERT_TRUE(events.WaitFor([](const auto& e) { return !e.empty(); }));
    const Event report = events.Events().at(0);
    EXPECT_EQ(std::tie(report.text, report.code),
              std::make_tuple("Exception : Bind Error.\nFile : CTunnel_library/src/CZANSocket\nLine : 49\n",
                              0x80004005u));
    EXPECT_EQ(second.ReceivePortCount(), 1u) << "the thread stays registered without running";

    // The first one still gets its datagrams.
    UdpEnd peer;
    peer.SendTo("127.0.0.1", port, LegacyPacket());
    first.StartReceiver();
    EXPECT_TRUE(WaitUntil([&] { return first.IsDestinationSet(); }));
}

TEST(EngineCounters, EmptyDatagramsOnTunnelAndReceivePorts)
{
    const uint16_t tunnelPort = FreeUdpPort();
    const uint16_t local = FreeUdpPort();
    CTunnel engine;
    ListenOnLoopback(engine, tunnelPort, 0, "");
    engine.AddReceivePort(local, "127.0.0.2");
    engine.StartReceiver();
    UdpEnd sender;
    sender.SendTo("127.0.0.1", tunnelPort, {});
    sender.SendTo("127.0.0.2", local, {});
    sender.SendTo("127.0.0.2", local, {});
    EXPECT_TRUE(WaitUntil([&] { return engine.Statistics().emptyDatagrams == 3; }));
    EXPECT_EQ(engine.Statistics().Drops(), 0u) << "an empty datagram is no malformed packet";
    EXPECT_FALSE(engine.IsDestinationSet());
}

// Datagrams that arrive while the tunnel socket's small queue is full are
// dropped by the system; the next datagram queued after them brings the
// count to the reader.
TEST(EngineCounters, KernelDropsOfTheTunnelSocket)
{
    const uint16_t tunnelPort = FreeUdpPort();
    CTunnel engine;
    ListenOnLoopback(engine, tunnelPort, 0, "");
    engine.SetTunnelReceiveBuffer(1);  // the system's smallest queue
    UdpEnd sender;
    const std::vector<uint8_t> packet(1000, 0);  // legacy format, kind byte 0: opens, never delivered
    for (int i = 0; i < 200; ++i) {
        sender.SendTo("127.0.0.1", tunnelPort, packet);
    }
    const auto read = [&] {
        const auto s = engine.Statistics();
        return s.datagramsReceived + s.keepAlivesReceived + s.Drops();
    };
    engine.StartReceiver();
    ASSERT_TRUE(WaitUntil([&] { return read() > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the queue is read empty
    sender.SendTo("127.0.0.1", tunnelPort, packet);
    // Every datagram is either read (and opened or dropped) or counted as
    // dropped by the system.
    EXPECT_TRUE(WaitUntil([&] { return engine.Statistics().kernelDrops + read() == 201; }));
    const auto stats = engine.Statistics();
    EXPECT_GT(stats.kernelDrops, 0u);
    EXPECT_LT(stats.kernelDrops, 200u);
    EXPECT_EQ(stats.emptyDatagrams, 0u);
}

} // namespace

} // namespace zan

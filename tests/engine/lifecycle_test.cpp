#include "CTunnel.h"
#include "engine_test_util.h"

#include <gtest/gtest.h>

namespace zan {

namespace {

using namespace enginetest;

TEST(EngineLifecycle, StartStopStartReusesTheEngine)
{
    const uint16_t tunnelPort = FreeUdpPort();
    const uint16_t port = FreeUdpPort();
    UdpEnd out("127.0.0.5", port);
    CTunnel listening;
    listening.SetDeliveryAddress("127.0.0.5");
    ListenOnLoopback(listening, tunnelPort, 0, "");
    listening.StartReceiver();

    CTunnel calling;
    UdpEnd sender;
    for (int round = 0; round < 3; ++round) {
        calling.SetUdpTunnel("127.0.0.1", nullptr, tunnelPort, 0, "", 0);
        calling.AddReceivePort(port, "127.0.0.2");  // the second time finds the key
        calling.StartReceiver();
        EXPECT_EQ(calling.ReceivePortCount(), 1u);
        const auto payload = Pattern(100, static_cast<uint8_t>(round));
        sender.SendTo("127.0.0.2", port, payload);
        EXPECT_EQ(out.Receive(), payload) << "round " << round;
        calling.Stop();
        EXPECT_FALSE(calling.IsReceiving());
    }
    // After Stop the receive port still forwards: its thread lives on.
    sender.SendTo("127.0.0.2", port, {1});
    EXPECT_EQ(out.Receive(), std::vector<uint8_t>{1});
}

TEST(EngineLifecycle, StopWithoutStartOnlySetsTheMarks)
{
    CTunnel engine;
    engine.Stop();
    EXPECT_TRUE(engine.SenderStopRequested());
    EXPECT_FALSE(engine.IsReceiving());
}

// Engines are destroyed while datagrams flow both ways, and many start and
// stop cycles leave no thread behind.
TEST(EngineLifecycle, DestructionUnderTrafficAndRepeatedCycles)
{
    const uint16_t port = FreeUdpPort();
    {
        // Sanitizer runtimes start helper threads with the first thread of
        // the process; count from a state where they exist already.
        CTunnel warmUp;
        warmUp.AddReceivePort(FreeUdpPort(), "127.0.0.2");
    }
    const int threadsBefore = ThreadCount();
    UdpEnd sender;
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        const auto payload = Pattern(500, 9);
        while (!stop) {
            sender.SendTo("127.0.0.2", port, payload);
            sender.SendTo("127.0.0.3", port, payload);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    for (int engineRound = 0; engineRound < 5; ++engineRound) {
        const uint16_t tunnelPort = FreeUdpPort();
        auto b = std::make_unique<CTunnel>();
        auto a = std::make_unique<CTunnel>();
        b->SetDeliveryAddress("127.0.0.5");
        b->SetReceiverNic("127.0.0.1");
        a->SetDeliveryAddress("127.0.0.4");
        for (int cycle = 0; cycle < 10; ++cycle) {
            b->SetUdpTunnel(nullptr, nullptr, tunnelPort, 8, "", 0);
            b->AddKey(1, reinterpret_cast<const uint8_t*>("0123456789abcdef0123456789abcdef"), 32,
                      reinterpret_cast<const uint8_t*>("saltsaltsaltsa"), 14, 100);
            b->AddReceivePort(port, "127.0.0.3");
            b->StartReceiver();
            a->SetUdpTunnel("127.0.0.1", nullptr, tunnelPort, 8, "", 0);
            a->AddKey(1, reinterpret_cast<const uint8_t*>("0123456789abcdef0123456789abcdef"), 32,
                      reinterpret_cast<const uint8_t*>("saltsaltsaltsa"), 14, 100);
            a->AddReceivePort(port, "127.0.0.2");
            a->StartReceiver();
            a->StackFactory()->CreateSenderStack()->SendTo("s", 1, StackAddress{"", port});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            a->Stop();
            b->Stop();
        }
        a->StartReceiver();
        b->StartReceiver();
        ASSERT_TRUE(WaitUntil([&] { return b->Statistics().datagramsReceived > 0; }));
        // Destroyed while running and receiving.
        a.reset();
        b.reset();
    }
    stop = true;
    flood.join();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }))
        << ThreadCount() << " threads, " << threadsBefore << " before";
}

} // namespace

} // namespace zan

#include "LoopbackSockets.h"
#include "engine_test_util.h"

#include <gtest/gtest.h>

#include <random>

namespace zan {

namespace {

using namespace enginetest;

// Random datagrams of every size at the tunnel port and at a receive port:
// each is dropped or carried, nothing crashes, and the engine still works.
TEST(HostileInput, RandomDatagramsAreDroppedOrCarried)
{
    for (uint32_t type : {0u, 3u, 8u}) {
        const uint16_t tunnelPort = FreeUdpPort();
        const uint16_t port = FreeUdpPort();
        UdpEnd out("127.0.0.5", port);
        CTunnel listening;
        listening.SetDeliveryAddress("127.0.0.5");
        ListenOnLoopback(listening, tunnelPort, type, "key");
        listening.AddReceivePort(FreeUdpPort(), "127.0.0.3");
        listening.StartReceiver();

        std::mt19937 random(type);
        UdpEnd attacker;
        for (int i = 0; i < 300; ++i) {
            std::vector<uint8_t> bytes(random() % 2000);
            for (auto& b : bytes) {
                b = static_cast<uint8_t>(random());
            }
            if (!bytes.empty() && i % 3 == 0) {
                bytes[0] = type == 8 ? 2 : 0;  // the right format byte: deeper into the checks
            }
            attacker.SendTo("127.0.0.1", tunnelPort, bytes);
        }
        attacker.SendTo("127.0.0.1", tunnelPort, Pattern(65000, 1));
        ASSERT_TRUE(WaitUntil([&] {
            const auto s = listening.Statistics();
            return s.Drops() + s.datagramsReceived + s.keepAlivesReceived >= 250;
        })) << "type " << type;

        // A legitimate peer still gets through afterwards (type 0 only: the
        // others need the peer's key, which an attacker does not have).
        if (type == 0) {
            CTunnel peer;
            peer.SetUdpTunnel("127.0.0.1", nullptr, tunnelPort, 0, "", 0);
            peer.AddReceivePort(port, "127.0.0.2");
            UdpEnd sender;
            sender.SendTo("127.0.0.2", port, {1, 2, 3});
            EXPECT_EQ(out.Receive(), (std::vector<uint8_t>{1, 2, 3}));
        }
    }
}

// A far end that accepts the tunnel's TCP connection, sends random bytes and
// closes, again and again: the engine reconnects or gives up, never hangs.
TEST(HostileInput, TcpPeerThatSendsGarbageAndCloses)
{
    const sockettest::Fd listener = sockettest::BoundSocket(SOCK_STREAM, true, 0, 8);
    const uint16_t port = sockettest::LocalPort(listener);

    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0};
    std::thread farEnd([&] {
        std::mt19937 random(7);
        while (!stop) {
            pollfd ready{listener.Get(), POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) {
                continue;
            }
            const int connection = accept(listener.Get(), nullptr, nullptr);
            if (connection < 0) {
                continue;
            }
            ++accepted;
            std::vector<uint8_t> garbage(random() % 300);
            for (auto& b : garbage) {
                b = static_cast<uint8_t>(random());
            }
            (void)send(connection, garbage.data(), garbage.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 50));
            close(connection);
        }
    });

    RecordingEvents events;
    {
        CTunnel engine;
        engine.SetEvents(&events);
        engine.SetTcpTunnel("127.0.0.1", port, 0, "", nullptr, 0, nullptr, nullptr);
        engine.AddReceivePort(FreeUdpPort(), "127.0.0.2");
        engine.StartReceiver();
        EXPECT_TRUE(WaitUntil([&] { return accepted >= 3; }, 15000)) << "the engine reconnects after each loss";
        // Destroyed while the far end keeps misbehaving.
    }
    stop = true;
    farEnd.join();
    EXPECT_FALSE(events.Events().empty());
}

} // namespace

} // namespace zan

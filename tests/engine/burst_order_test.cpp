// Bursts through a pair of engines: the receive-port threads and the
// receiver thread read the datagrams that wait in batches and send them on
// in batches; every datagram must still arrive once, whole and in order,
// and be counted once.
#include "CTunnel.h"
#include "TcpTestPeer.h"
#include "engine_test_util.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>

namespace zan {

namespace {

using namespace enginetest;

constexpr std::array<uint8_t, 32> kKey = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3,
                                          2, 3, 8, 4, 6, 2, 6, 4, 3, 3, 8, 3, 2, 7, 9, 5};
constexpr std::array<uint8_t, 14> kSalt = {2, 7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0};
constexpr size_t kBurst = 400;

// Datagram i: its number in the first two bytes, then a pattern; sizes
// vary so that a datagram delivered in another's place shows.
std::vector<uint8_t> Numbered(size_t i)
{
    std::vector<uint8_t> bytes = Pattern(2 + (i * 37) % 1200, static_cast<uint8_t>(i));
    bytes[0] = static_cast<uint8_t>(i >> 8);
    bytes[1] = static_cast<uint8_t>(i);
    return bytes;
}

// Where B delivers: a socket with room for a whole burst.
class Collector {
public:
    Collector(const char* address, uint16_t port)
    {
        EXPECT_TRUE(socket.OpenUdp());
        EXPECT_EQ(socket.SetReceiveBufferSize(4 << 20), S_OK);
        EXPECT_EQ(socket.Bind(address, port), S_OK);
    }

    // Up to `count` datagrams, each waited for at most `idleWaits` times
    // 200 ms.
    std::vector<std::vector<uint8_t>> Take(size_t count, int idleWaits = 25)
    {
        std::vector<std::vector<uint8_t>> taken;
        std::vector<uint8_t> buffer(65536);
        for (int idle = 0; taken.size() < count && idle < idleWaits;) {
            std::string from;
            uint32_t port = 0;
            const int32_t n = socket.ReceiveFrom(from, port, buffer.data(), static_cast<uint32_t>(buffer.size()));
            if (n > 0) {
                taken.emplace_back(buffer.begin(), buffer.begin() + n);
                idle = 0;
            } else {
                ++idle;
            }
        }
        return taken;
    }

private:
    CNetworkSocket socket;
};

// Engine A takes datagrams on 127.0.0.2:port and B delivers them to
// 127.0.0.5:port, over UDP (B learns A) or through a pairing TCP peer.
class BurstPair {
public:
    BurstPair(bool tcp, uint32_t cryptoType, bool keys = true)
        : port(FreeUdpPort("127.0.0.2")), out("127.0.0.5", port)
    {
        if (tcp) {
            peer = std::make_unique<TcpTestPeer>(TcpTestPeer::Mode::kPair);
            EXPECT_TRUE(peer->Start()) << peer->Error();
            b.SetTcpTunnel("127.0.0.1", peer->Port(), cryptoType, "burst key", nullptr, 0, nullptr, nullptr);
            EXPECT_TRUE(peer->WaitForConnections(1, 5000));
            a.SetTcpTunnel("127.0.0.1", peer->Port(), cryptoType, "burst key", nullptr, 0, nullptr, nullptr);
            EXPECT_TRUE(peer->WaitForConnections(2, 5000));
        } else {
            const uint16_t tunnelPort = FreeUdpPort();
            ListenOnLoopback(b, tunnelPort, cryptoType, "burst key");
            a.SetUdpTunnel("127.0.0.1", nullptr, tunnelPort, cryptoType, "burst key", 0);
        }
        b.SetDeliveryAddress("127.0.0.5");
        a.SetEvents(&eventsA);
        a.AddReceivePort(port, "127.0.0.2");
        for (CTunnel* engine : {&a, &b}) {
            if (keys) {
                engine->AddKey(4, kKey.data(), 32, kSalt.data(), 14, 100);
            }
            engine->StartReceiver();
        }
    }

    bool Ready()
    {
        return WaitUntil([&] { return a.IsDestinationSet() && (peer || b.IsDestinationSet()); });
    }

    void SendBurst()
    {
        for (size_t i = 0; i < kBurst; ++i) {
            sender.SendTo("127.0.0.2", port, Numbered(i));
        }
    }

    std::unique_ptr<TcpTestPeer> peer;  // outlives the engines
    RecordingEvents eventsA;
    CTunnel a, b;
    uint16_t port;
    Collector out;
    UdpEnd sender;
};

void ExpectBurstArrivesInOrder(bool tcp, uint32_t cryptoType)
{
    SCOPED_TRACE(std::string(tcp ? "TCP" : "UDP") + " type " + std::to_string(cryptoType));
    BurstPair pair(tcp, cryptoType);
    ASSERT_TRUE(pair.Ready());
    pair.SendBurst();
    const auto taken = pair.out.Take(kBurst);
    ASSERT_EQ(taken.size(), kBurst);
    for (size_t i = 0; i < kBurst; ++i) {
        ASSERT_EQ(taken[i], Numbered(i)) << "datagram " << i;
    }
    EXPECT_TRUE(WaitUntil([&] { return pair.a.Statistics().datagramsSent == kBurst; }));
    EXPECT_EQ(pair.b.Statistics().datagramsReceived, kBurst);
    EXPECT_EQ(pair.a.Statistics().sendFailures, 0u);
}

TEST(BurstOrder, UdpBurstArrivesWholeOnceAndInOrder)
{
    ExpectBurstArrivesInOrder(false, 0);
    ExpectBurstArrivesInOrder(false, 8);
}

TEST(BurstOrder, TcpBurstArrivesWholeOnceAndInOrder)
{
    ExpectBurstArrivesInOrder(true, 2);
}

// Every datagram of a batch that cannot be sealed fails and is counted on
// its own; the batch does not stop at the first.
TEST(BurstOrder, EachFailedDatagramOfABatchIsCounted)
{
    BurstPair pair(false, 8, false);
    ASSERT_TRUE(pair.a.IsDestinationSet());  // B cannot learn A: nothing A sends is sealed
    pair.SendBurst();
    EXPECT_TRUE(WaitUntil([&] { return pair.a.Statistics().sendFailures == kBurst; }));
    EXPECT_EQ(pair.a.Statistics().datagramsSent, 0u);
    EXPECT_EQ(pair.a.LastErrorText(), "Tunnel : Sending packet error : SSL_Crypto error");
    EXPECT_TRUE(pair.out.Take(1, 2).empty());
}

}  // namespace

} // namespace zan

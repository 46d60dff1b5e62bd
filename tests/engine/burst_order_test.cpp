// Bursts through a pair of engines: the receive-port threads and the
// receiver thread read the datagrams that wait in batches and send them on
// in batches; every datagram must still arrive once, whole and in order,
// and be counted once.
#include "engine_test_util.h"

namespace zan {

namespace {

using namespace enginetest;

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

void SendBurst(EnginePair& pair)
{
    for (size_t i = 0; i < kBurst; ++i) {
        pair.sender.SendTo("127.0.0.2", pair.portA, Numbered(i));
    }
}

TEST(BurstOrder, BurstArrivesWholeOnceAndInOrderOverUdpAndTcp)
{
    for (const auto& [tcp, cryptoType] : {std::pair{false, 0u}, std::pair{false, 8u}, std::pair{true, 2u}}) {
        SCOPED_TRACE(std::string(tcp ? "TCP" : "UDP") + " type " + std::to_string(cryptoType));
        // Where B delivers has room for a whole burst.
        EnginePair pair(cryptoType, {.tcp = tcp, .receiveBuffer = 4 << 20});
        ASSERT_TRUE(tcp ? pair.a.IsDestinationSet() : pair.WaitForPeer());
        SendBurst(pair);
        for (size_t i = 0; i < kBurst; ++i) {
            ASSERT_EQ(pair.outOfB.Receive(), Numbered(i)) << "datagram " << i;
        }
        EXPECT_TRUE(WaitUntil([&] { return pair.a.Statistics().datagramsSent == kBurst; }));
        EXPECT_EQ(pair.b.Statistics().datagramsReceived, kBurst);
        EXPECT_EQ(pair.a.Statistics().sendFailures, 0u);
    }
}

// Without keys nothing can be sealed: every datagram of a batch fails and is
// counted on its own (the batch does not stop at the first), the reason is
// reported, and B never hears of A.
TEST(BurstOrder, EachFailedDatagramOfABatchIsCounted)
{
    EnginePair pair(8, {.keys = false});
    ASSERT_TRUE(pair.a.IsDestinationSet());
    SendBurst(pair);
    EXPECT_TRUE(WaitUntil([&] { return pair.a.Statistics().sendFailures == kBurst; }));
    EXPECT_EQ(pair.a.Statistics().datagramsSent, 0u);
    EXPECT_EQ(pair.a.LastErrorText(), "Tunnel : Sending packet error : SSL_Crypto error");
    EXPECT_TRUE(pair.outOfB.Receive(400).empty());
    EXPECT_FALSE(pair.b.IsDestinationSet());
}

}  // namespace

} // namespace zan
